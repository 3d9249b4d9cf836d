# 64-bit Windows build of the LV2 bundle, cross-compiled with MinGW-w64; programs run under wine64.
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(GRINDLET_MINGW_TRIPLE x86_64-w64-mingw32)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-common.cmake)
set(CMAKE_CROSSCOMPILING_EMULATOR ${CMAKE_CURRENT_LIST_DIR}/wine64-run.sh)
