#!/usr/bin/env bash
# Installs what building and testing the module needs on a fresh Debian 12 machine, and makes
# 32-bit programs runnable. Idempotent: quiet, and asks nothing of the package registry, when
# everything is already there.
set -euo pipefail

packages=(
  cmake ninja-build g++-multilib g++-mingw-w64-i686 binutils-mingw-w64-i686
  g++-mingw-w64-x86-64 binutils-mingw-w64-x86-64
  wine wine32:i386 wine64 qemu-user
  libgtest-dev:i386 libgmock-dev:i386 libbenchmark-dev:i386 libsndfile1-dev:i386
  clang libclang-rt-14-dev lib32gcc-12-dev clang-format
  libgtest-dev libgmock-dev libbenchmark-dev
  lv2-dev lilv-utils liblilv-dev sordi pkg-config python3
  python3-dev pybind11-dev python3-pybind11 python3-numpy python3-soundfile python3-pytest
  python3-dask python3-distributed python3-venv python3-pip python3-setuptools python3-mypy
  python3-build python3-torch
  jackd2 jalv libjack-jackd2-dev
  libsndfile1-dev libcli11-dev sox alsa-utils hyperfine unzip
  wasi-libc libc++-14-dev-wasm32 libc++abi-14-dev-wasm32 libclang-rt-14-dev-wasm32 lld chromium
)
# The browser edition's build and tests run on Node.js: the machine's own where it has one.
command -v node >/dev/null && command -v npm >/dev/null || packages+=(nodejs npm)

sudo=""
[ "$(id -u)" -eq 0 ] || sudo="sudo"

missing=()
for pkg in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q 'install ok installed'; then
    missing+=("$pkg")
  fi
done
if [ ${#missing[@]} -gt 0 ]; then
  echo "setup: installing ${missing[*]}" >&2
  if ! dpkg --print-foreign-architectures | grep -qx i386; then
    $sudo dpkg --add-architecture i386
  fi
  export DEBIAN_FRONTEND=noninteractive
  $sudo apt-get update -qq >/dev/null
  $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
fi

# Some kernels (sandboxes among them) refuse to execute 32-bit x86 programs. Then every i686
# program, wine's included, runs through qemu's user-mode emulator, registered with binfmt_misc.
probe_dir=$(mktemp -d)
trap 'rm -rf "$probe_dir"' EXIT
printf 'int main(void) { return 0; }\n' > "$probe_dir/probe.c"
gcc -m32 "$probe_dir/probe.c" -o "$probe_dir/probe"
if ! "$probe_dir/probe" 2>/dev/null; then
  binfmt=/proc/sys/fs/binfmt_misc
  [ -e "$binfmt/register" ] || $sudo mount -t binfmt_misc binfmt_misc "$binfmt"
  if [ ! -e "$binfmt/qemu-i386" ]; then
    echo "setup: this kernel runs no 32-bit programs; registering qemu-i386 for them" >&2
    magic='\x7fELF\x01\x01\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00\x02\x00\x03\x00'
    mask='\xff\xff\xff\xff\xff\xfe\xfe\x00\xff\xff\xff\xff\xff\xff\xff\xff\xfe\xff\xff\xff'
    printf '%s' ":qemu-i386:M::${magic}:${mask}:/usr/bin/qemu-i386:F" | $sudo tee "$binfmt/register" >/dev/null
  fi
  "$probe_dir/probe" || { echo "setup: 32-bit programs still do not run" >&2; exit 1; }
fi

# One wine prefix for all runs, where wine can run (natively executed 32-bit programs).
if [ ! -e /proc/sys/fs/binfmt_misc/qemu-i386 ]; then
  export WINEPREFIX="${GRINDLET_WINEPREFIX:-$HOME/.cache/grindlet/wine}"
  if [ ! -f "$WINEPREFIX/system.reg" ]; then
    echo "setup: creating the wine prefix $WINEPREFIX (once)" >&2
    mkdir -p "$WINEPREFIX"
    WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml=" DISPLAY= wineboot --init >/dev/null 2>&1
    wineserver --wait
  fi
fi

# The browser edition's tools (its test driver, the benchmark's peer) from the npm registry, as
# the lock file pins them; again only when the lock file changed.
web=$(dirname "$0")/../web
if ! cmp -s "$web/package-lock.json" "$web/node_modules/.grindlet-lock" 2>/dev/null; then
  echo "setup: installing the browser edition's tools (npm ci in web/)" >&2
  (cd "$web" && npm ci --no-audit --no-fund --loglevel=error >/dev/null)
  cp "$web/package-lock.json" "$web/node_modules/.grindlet-lock"
fi
