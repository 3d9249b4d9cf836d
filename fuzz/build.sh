#!/usr/bin/env bash
# Builds the fuzz targets with clang, libFuzzer with AddressSanitizer and UBSan: the host script
# on the 32-bit module code, the fast loops against the reference loops natively (x86-64), and
# the render tool's reading and chunked processing of audio files (32-bit, module linked in).
set -euo pipefail
cd "$(dirname "$0")/.."
mkdir -p build/fuzz
flags=(-std=c++17 -msse2 -mfpmath=sse -ffp-contract=off -O1 -g -I.
       -fsanitize=fuzzer,address,undefined -fno-sanitize-recover=undefined)
dsp=(dsp/quantizer.cpp dsp/quantize_block.cpp dsp/fast_loops.cpp dsp/rate_reducer.cpp)

clang++ "${flags[@]}" "${dsp[@]}" fuzz/fuzz_fast_paths.cpp -o build/fuzz/fuzz_fast_paths
module=(binding/module_base.cpp binding/pin.cpp "${dsp[@]}" effect/reducer_module.cpp effect/exports.cpp)
host=(host/hosted_module.cpp host/module_library.cpp host/pe_image.cpp host/pe_runtime.cpp)
clang++ "${flags[@]}" -m32 "${module[@]}" "${host[@]}" fuzz/fuzz_host_script.cpp -ldl \
  -o build/fuzz/fuzz_host_script
render=(tools/scenario.cpp tools/render/audio_files.cpp tools/render/safe_files.cpp tools/render/render_engine.cpp
        tools/render/render_options.cpp)
clang++ "${flags[@]}" -m32 "${module[@]}" "${host[@]}" "${render[@]}" fuzz/fuzz_audio_input.cpp \
  -L/usr/lib/i386-linux-gnu -lsndfile -ldl -o build/fuzz/fuzz_audio_input
