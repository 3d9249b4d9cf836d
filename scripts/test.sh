#!/usr/bin/env bash
# The full test run: set-up, then every preset configured, built and tested (the native signal
# code and the sanitizer build included), then the two module files compared bit for bit, the
# LV2 plugin, the Python package and the browser edition against them, then every fuzz target
# for 10 seconds each.
# Exits non-zero on any failure.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/setup.sh

# Where 32-bit programs only run under qemu's emulator, wine hangs setting up its prefix; the
# windows build's code then runs in the linux host instead, which loads PE module files itself.
wine=ON
[ -e /proc/sys/fs/binfmt_misc/qemu-i386 ] && wine=OFF

# LeakSanitizer stops the world with ptrace, which qemu's user-mode emulator lacks: there the
# leak checks are the tests' own allocation counts.
# There too the emulated 32-bit address space runs out under ASan's default quarantine.
asan="detect_leaks=1:abort_on_error=1:allocator_may_return_null=1"
[ "$wine" = OFF ] && asan="detect_leaks=0:abort_on_error=1:allocator_may_return_null=1:quarantine_size_mb=16:malloc_context_size=8"
export ASAN_OPTIONS="$asan"

werror=OFF
[ "${CI:-}" = "true" ] && werror=ON
jobs=$(nproc)

# Each stage says when it starts, so a slow one shows.
stage() { echo "== $* (at ${SECONDS} s)"; }

tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT

stage "format (clang-format --dry-run over every C++ file)"
find binding dsp effect host lv2 python tools tests bench fuzz web/src -name '*.cpp' -o -name '*.h' |
  xargs clang-format --dry-run --Werror
echo "every C++ file as clang-format lays it out"

# windows before linux: the linux tests also run the windows module file in our PE loader.
for preset in native windows linux linux-asan; do
  stage "$preset: configure and build"
  cmake --preset "$preset" -DGRINDLET_WERROR="$werror" -DGRINDLET_RUN_WINE="$wine" \
    -DGRINDLET_TESTS=ON >/dev/null
  cmake --build --preset "$preset" -j "$jobs"
  stage "$preset: tests"
  ctest --preset "$preset" -j "$jobs"
done

stage "conformance of both module files, and their outputs sample for sample"
# --dump --samples: every scenario's output hash and every output sample's bit pattern.
build/linux/grindlet-check build/linux/Module.sep --dump "$tmp/check-linux.txt" --samples | tail -n 1
build/linux-asan/grindlet-check build/linux-asan/Module.sep | tail -n 1
build/linux/grindlet-check build/windows/Module.sep --dump "$tmp/check-windows.txt" --samples | tail -n 1
if [ "$wine" = ON ]; then
  cmake/wine-run.sh build/windows/grindlet-check.exe build/windows/Module.sep --dump "$tmp/check-wine.txt" --samples | tail -n 1
  tr -d '\r' < "$tmp/check-wine.txt" | cmp - "$tmp/check-windows.txt"
fi
# agree NAME A B: the same bits in two dumps, or where they first part.
agree() {
  if ! cmp -s "$2" "$3"; then
    diff "$2" "$3" | head -20
    echo "$1 differ" >&2
    exit 1
  fi
}
agree "the linux and windows modules" "$tmp/check-linux.txt" "$tmp/check-windows.txt"
echo "both builds agree on $(grep -c '^[^ ]' "$tmp/check-linux.txt") scenarios, $(grep -c '^ ' "$tmp/check-linux.txt") output samples"

stage "the ZIP for host users, unpacked as they unpack it"
bash tests/package/host_zip.sh "$wine"

stage "the fast paths against the plain loops, through the whole module"
cmake --preset linux-reference -DGRINDLET_WERROR="$werror" -DGRINDLET_RUN_WINE="$wine" >/dev/null
cmake --build --preset linux-reference -j "$jobs" >/dev/null
build/linux-reference/grindlet-check build/linux-reference/Module.sep --dump "$tmp/check-reference.txt" --samples | tail -n 1
agree "the fast paths and the plain loops" "$tmp/check-linux.txt" "$tmp/check-reference.txt"
echo "the module on its plain loops gives every scenario's output, bit for bit, as on its fast paths"

stage "the LV2 plugin and the x86-64 render tool against the module file"
bash tests/lv2/compare_with_module.sh

stage "x86-64 Windows under wine64 (every machine): the LV2 bundle against the Linux one, and the Windows checker's own code"
cmake --preset win64 -DGRINDLET_WERROR="$werror" >/dev/null
cmake --build --preset win64 -j "$jobs"
bash tests/lv2/win64_bundle.sh
# The checker as Windows runs it (in its own process, with its watchdog and exit guard) on
# modules that hang, crash or end the process; then its dump of the module file, built at
# x86-64's width, against the 32-bit module's.
ctest --preset win64 -j "$jobs"
cmake/wine64-run.sh build/win64/grindlet-check.exe build/win64/Module.sep --dump "$tmp/check-wine64.txt" --samples | tail -n 1
tr -d '\r' < "$tmp/check-wine64.txt" > "$tmp/check-wine64-lf.txt"
agree "the linux module and the Windows checker's run of the x86-64 one" "$tmp/check-linux.txt" "$tmp/check-wine64-lf.txt"

stage "the Python package: sdist, its wheel built from it, pip-installed into a fresh virtual environment of Debian's python3"
# The source package first, then the wheel built from it alone (what pip does on a machine
# without a wheel for it).
/usr/bin/python3 -m build --no-isolation --outdir "$tmp/wheel" ./python >/dev/null
rm -rf python/build python/qz_grindlet.egg-info  # setuptools' work, left in the tree
/usr/bin/python3 -m venv --system-site-packages "$tmp/venv"
"$tmp/venv/bin/pip" install --no-index -q "$tmp"/wheel/qz_grindlet-*.whl
"$tmp/venv/bin/python" -c "import qz_grindlet, sys; assert '$tmp/venv' in qz_grindlet.__file__, qz_grindlet.__file__"
GRINDLET_REQUIRE_RENDER=1 "$tmp/venv/bin/python" -m pytest -q -p no:cacheprovider python/tests

stage "the browser edition: the engine as WebAssembly, in headless Chromium against the render tool and Python"
cmake --preset web -DGRINDLET_WERROR="$werror" >/dev/null
cmake --build --preset web -j "$jobs"
(cd web && GRINDLET_PYTHON="$tmp/venv/bin/python" GRINDLET_PYTHONPATH= node --test tests/)

# A smoke run, so that the whole test run stays under 25 minutes on a machine that emulates i686
# (bash fuzz/run.sh SECONDS TARGET fuzzes for longer).
fuzz_seconds=${GRINDLET_FUZZ_SECONDS:-10}
stage "fuzz smoke ($fuzz_seconds s each)"
bash fuzz/run.sh "$fuzz_seconds" host_script
bash fuzz/run.sh "$fuzz_seconds" fast_paths
bash fuzz/run.sh "$fuzz_seconds" engine
bash fuzz/run.sh "$fuzz_seconds" audio_input
bash fuzz/run.sh "$fuzz_seconds" pe_image

echo "all tests passed in ${SECONDS} s"
