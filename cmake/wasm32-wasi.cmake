# WebAssembly (wasm32) with Debian's clang, lld, wasi-libc and libc++ for WASI: the engine for
# browsers. Nothing is run at build time but Node.js (to write the tables the page takes).
set(CMAKE_SYSTEM_NAME Generic)
set(CMAKE_SYSTEM_PROCESSOR wasm32)
set(CMAKE_C_COMPILER clang)
set(CMAKE_CXX_COMPILER clang++)
set(CMAKE_C_COMPILER_TARGET wasm32-wasi)
set(CMAKE_CXX_COMPILER_TARGET wasm32-wasi)
# wasi-libc and libc++ put their headers under /usr/include/wasm32-wasi and libraries under
# /usr/lib/wasm32-wasi, which clang finds from this sysroot.
set(CMAKE_SYSROOT /usr)
# A WebAssembly module has no entry point: the compiler's check links a library instead.
set(CMAKE_TRY_COMPILE_TARGET_TYPE STATIC_LIBRARY)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
