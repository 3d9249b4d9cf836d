# 32-bit x86 Linux build with clang: the fuzz targets (libFuzzer comes with clang).
include(${CMAKE_CURRENT_LIST_DIR}/linux-i686.cmake)
set(CMAKE_C_COMPILER clang)
set(CMAKE_CXX_COMPILER clang++)
