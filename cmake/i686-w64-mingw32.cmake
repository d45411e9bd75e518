# Cross build for 32-bit Windows, the programs we ship.
set(CMAKE_SYSTEM_PROCESSOR i686)
set(KTL_MINGW_PREFIX i686-w64-mingw32)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-w64-common.cmake)
