# Cross build for 64-bit Windows: the same sources, for testing under Wine's 64-bit loader on
# a machine whose kernel cannot start 32-bit programs.
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(KTL_MINGW_PREFIX x86_64-w64-mingw32)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-w64-common.cmake)
