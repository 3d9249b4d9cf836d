#!/usr/bin/env bash
# The main job on its built-in default: builds both module files and runs each through our host
# on a built-in signal, printing every step.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
for preset in linux windows; do
  cmake --preset "$preset" >/dev/null
  cmake --build --preset "$preset" >/dev/null
done
for module in build/linux/Module.sep build/windows/Module.sep; do
  echo "== $module"
  build/linux/grindlet-e2e "$module"
done
