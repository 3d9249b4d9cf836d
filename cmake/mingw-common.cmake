# What both Windows builds share, for the triple the including toolchain file names
# (GRINDLET_MINGW_TRIPLE): MinGW-w64's compilers and root, and the runtime linked in.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_C_COMPILER ${GRINDLET_MINGW_TRIPLE}-gcc)
set(CMAKE_CXX_COMPILER ${GRINDLET_MINGW_TRIPLE}-g++)
set(CMAKE_RC_COMPILER ${GRINDLET_MINGW_TRIPLE}-windres)
set(CMAKE_FIND_ROOT_PATH /usr/${GRINDLET_MINGW_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
# A Windows host has no MinGW runtime DLLs: link the runtime into every file.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")
set(CMAKE_MODULE_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")
