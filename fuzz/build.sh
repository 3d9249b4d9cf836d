#!/usr/bin/env bash
# Builds the fuzz targets from the fuzz preset (clang, i686, libFuzzer with AddressSanitizer and
# UBSan): the host script on the module, the fast loops against the reference loops, and the
# render tool's reading and chunked processing of audio files.
set -euo pipefail
cd "$(dirname "$0")/.."
cmake --preset fuzz > /dev/null
cmake --build --preset fuzz
