#!/usr/bin/env bash
# Builds the fuzz targets with clang, libFuzzer with AddressSanitizer and UBSan: the host script
# on the 32-bit module code, and the fast loops against the reference loops natively (x86-64).
set -euo pipefail
cd "$(dirname "$0")/.."
mkdir -p build/fuzz
flags=(-std=c++17 -msse2 -mfpmath=sse -ffp-contract=off -O1 -g -I.
       -fsanitize=fuzzer,address,undefined -fno-sanitize-recover=undefined)
dsp=(dsp/quantizer.cpp dsp/quantize_block.cpp dsp/fast_loops.cpp dsp/rate_reducer.cpp)
clang++ "${flags[@]}" -m32 binding/module_base.cpp binding/pin.cpp "${dsp[@]}" \
  effect/reducer_module.cpp effect/exports.cpp fuzz/fuzz_host_script.cpp \
  -o build/fuzz/fuzz_host_script
clang++ "${flags[@]}" "${dsp[@]}" fuzz/fuzz_fast_paths.cpp -o build/fuzz/fuzz_fast_paths
