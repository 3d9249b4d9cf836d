#!/usr/bin/env bash
# Builds the Python package qz_grindlet (x86-64, from the same signal code as the LV2 plugin)
# and installs it for Debian's own python3, into its local site-packages, whatever other
# python3 is on the PATH.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/setup.sh
cmake --preset native >/dev/null
cmake --build --preset native --target qz_grindlet_extension qz_grindlet_package
cmake --install build/native --component python
/usr/bin/python3 -c 'import qz_grindlet; print("installed", qz_grindlet.__file__)'
