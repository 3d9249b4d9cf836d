#!/usr/bin/env bash
# The main job on its built-in default: builds both module files, checks that each runs in our
# host, and renders the built-in demo (a sine sweep and a chord) through the effect, writing
# build/demo/grindlet-demo.wav and a picture of its waveforms, build/demo/grindlet-demo.svg.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh demo  # what the demo needs, no more (the test run installs the rest)
# The module files and the tools, without the tests (the test run builds those: it configures
# with GRINDLET_TESTS on again).
cmake --preset linux -DGRINDLET_TESTS=OFF >/dev/null
cmake --build --preset linux --target grindlet_module grindlet-check grindlet-render >/dev/null
cmake --preset windows -DGRINDLET_TESTS=OFF >/dev/null
cmake --build --preset windows --target grindlet_module >/dev/null
for module in build/linux/Module.sep build/windows/Module.sep; do
  echo "== $module in our host"
  build/linux/grindlet-check "$module" | tail -n 1
done
echo "== the demo"
mkdir -p build/demo
build/linux/grindlet-render -f -o build/demo/grindlet-demo.wav \
  --plot build/demo/grindlet-demo.svg --at 3.2 --window 0.012
echo "listen to build/demo/grindlet-demo.wav; open build/demo/grindlet-demo.svg in a browser"
