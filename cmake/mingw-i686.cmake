# 32-bit Windows build, cross-compiled with MinGW-w64; programs run under wine.
set(CMAKE_SYSTEM_PROCESSOR i686)
set(GRINDLET_MINGW_TRIPLE i686-w64-mingw32)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-common.cmake)
set(CMAKE_CROSSCOMPILING_EMULATOR ${CMAKE_CURRENT_LIST_DIR}/wine-run.sh)
