# Strips the Windows program TARGET after every link, so that the tests run the very image we
# ship, and keeps its symbol table beside it in the build tree as <program>.symbols, where
# scripts/check_release_seams.sh reads it: a stripped program names none of its functions, and
# the seam check looks for the fault hooks by name. The symbols file is never installed.
function(ktl_strip_program target)
  add_custom_command(TARGET ${target} POST_BUILD
    COMMAND ${CMAKE_OBJCOPY} --only-keep-debug $<TARGET_FILE:${target}>
            $<TARGET_FILE:${target}>.symbols
    # Without long section names, as ld -s leaves them: a name past 8 characters (the 32-bit
    # .eh_frame) would keep a string table, and with it a symbol table pointer, in the image.
    COMMAND ${CMAKE_OBJCOPY} --strip-all --long-section-names disable $<TARGET_FILE:${target}>
    COMMENT "Stripping ${target}, its symbol table kept beside it (.symbols)"
    VERBATIM)
endfunction()
