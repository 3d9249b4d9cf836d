#!/usr/bin/env bash
# The full test run: set-up, then every preset configured, built and tested (the sanitizer
# build included), then the two module files compared bit for bit. Exits non-zero on any failure.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/setup.sh

# Where 32-bit programs only run under qemu's emulator, wine hangs setting up its prefix; the
# windows build's code then runs in the linux host instead, which loads PE module files itself.
wine=ON
[ -e /proc/sys/fs/binfmt_misc/qemu-i386 ] && wine=OFF

werror=OFF
[ "${CI:-}" = "true" ] && werror=ON
jobs=$(nproc)

for preset in linux linux-asan windows; do
  echo "== $preset: configure and build"
  cmake --preset "$preset" -DGRINDLET_WERROR="$werror" -DGRINDLET_RUN_WINE="$wine" >/dev/null
  cmake --build --preset "$preset" -j "$jobs"
  echo "== $preset: tests"
  ctest --preset "$preset" -j "$jobs"
done

echo "== both module files give the same output, bit for bit"
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
build/linux/grindlet-e2e build/linux/Module.sep --dump > "$tmp/linux.txt"
build/linux/grindlet-e2e build/windows/Module.sep --dump > "$tmp/windows.txt"
if [ "$wine" = ON ]; then
  cmake/wine-run.sh build/windows/grindlet-e2e.exe build/windows/Module.sep --dump | tr -d '\r' > "$tmp/wine.txt"
  cmp "$tmp/windows.txt" "$tmp/wine.txt"
fi
if ! cmp -s "$tmp/linux.txt" "$tmp/windows.txt"; then
  diff "$tmp/linux.txt" "$tmp/windows.txt" | head -20
  echo "the linux and windows modules differ" >&2
  exit 1
fi
echo "identical: $(grep -c . "$tmp/linux.txt") lines"
echo "all tests passed"
