#!/usr/bin/env bash
# Builds the fuzz target with clang, 32-bit, libFuzzer with AddressSanitizer and UBSan.
set -euo pipefail
cd "$(dirname "$0")/.."
mkdir -p build/fuzz
sources=(binding/module_base.cpp binding/pin.cpp dsp/quantizer.cpp dsp/rate_reducer.cpp
         effect/reducer_module.cpp effect/exports.cpp fuzz/fuzz_host_script.cpp)
clang++ -std=c++17 -m32 -msse2 -mfpmath=sse -ffp-contract=off -O1 -g -I. \
  -fsanitize=fuzzer,address,undefined -fno-sanitize-recover=undefined \
  "${sources[@]}" -o build/fuzz/fuzz_host_script
