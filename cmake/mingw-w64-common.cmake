# What both mingw-w64 cross builds share; the including file sets KTL_MINGW_PREFIX and
# CMAKE_SYSTEM_PROCESSOR first. The POSIX-thread compilers are used.
set(CMAKE_SYSTEM_NAME Windows)

set(CMAKE_C_COMPILER ${KTL_MINGW_PREFIX}-gcc-posix)
set(CMAKE_CXX_COMPILER ${KTL_MINGW_PREFIX}-g++-posix)
set(CMAKE_RC_COMPILER ${KTL_MINGW_PREFIX}-windres)

set(CMAKE_FIND_ROOT_PATH /usr/${KTL_MINGW_PREFIX})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# No runtime DLLs beside the programs: libgcc, libstdc++ and winpthread go in statically.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")

# ctest runs the Windows programs under Wine, in the prefix that the test script prepares.
set(CMAKE_CROSSCOMPILING_EMULATOR wine)
