#!/usr/bin/env bash
# The main job on its built-in default: builds both module files, checks that each runs in our
# host, and renders the built-in demo (a sine sweep and a chord) through the effect, writing
# build/demo/grindlet-demo.wav and a picture of its waveforms, build/demo/grindlet-demo.svg.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
for preset in linux windows; do
  cmake --preset "$preset" >/dev/null
  cmake --build --preset "$preset" >/dev/null
done
for module in build/linux/Module.sep build/windows/Module.sep; do
  echo "== $module in our host"
  build/linux/grindlet-check "$module" | tail -n 1
done
echo "== the demo"
mkdir -p build/demo
build/linux/grindlet-render -f -o build/demo/grindlet-demo.wav \
  --plot build/demo/grindlet-demo.svg --at 3.2 --window 0.012
echo "listen to build/demo/grindlet-demo.wav; open build/demo/grindlet-demo.svg in a browser"
