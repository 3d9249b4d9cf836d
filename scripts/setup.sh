#!/usr/bin/env bash
# Installs what the demo (scripts/setup.sh demo) or building and testing everything (no
# argument) needs on a fresh Debian 12 machine, and makes 32-bit programs runnable. Idempotent:
# quiet, and asks nothing of the package registry, when everything is already there.
set -euo pipefail

need=${1:-all}
case "$need" in
  demo | all) ;;
  *) echo "usage: scripts/setup.sh [demo|all]" >&2; exit 2 ;;
esac

# The demo: both module files, the checker and the render tool (32-bit, with libsndfile).
packages=(
  cmake ninja-build g++-multilib g++-mingw-w64-i686 binutils-mingw-w64-i686 qemu-user
  libsndfile1-dev:i386 libcli11-dev python3
)
if [ "$need" = all ]; then
  packages+=(
    g++-mingw-w64-x86-64 binutils-mingw-w64-x86-64
    wine wine32:i386 wine64
    libgtest-dev:i386 libgmock-dev:i386 libbenchmark-dev:i386
    clang libclang-rt-14-dev lib32gcc-12-dev clang-format
    libgtest-dev libgmock-dev libbenchmark-dev
    lv2-dev lilv-utils liblilv-dev sordi pkg-config
    python3-dev pybind11-dev python3-pybind11 python3-numpy python3-soundfile python3-pytest
    python3-dask python3-distributed python3-venv python3-pip python3-setuptools python3-mypy
    python3-build python3-torch
    jackd2 jalv libjack-jackd2-dev
    libcairo2-dev libx11-dev xvfb xdotool x11-apps x11-utils netpbm fonts-dejavu-core
    libsndfile1-dev sox alsa-utils hyperfine unzip
    wasi-libc libc++-14-dev-wasm32 libc++abi-14-dev-wasm32 libclang-rt-14-dev-wasm32 lld chromium
  )
  # The browser edition's build and tests run on Node.js: the machine's own where it has one.
  command -v node >/dev/null && command -v npm >/dev/null || packages+=(nodejs npm)
fi

sudo=""
[ "$(id -u)" -eq 0 ] || sudo="sudo"
export DEBIAN_FRONTEND=noninteractive

# The package indexes, tried a few times: a registry mirror in mid-sync serves an index of the
# wrong size for a while. One index still failing (the i386 security one, say) does not stop
# the set-up: what it fetched is used, and a package it lacks is named at the install below.
update_indexes() {
  local attempt log
  log=$(mktemp)
  for attempt in 1 2 3; do
    if $sudo apt-get update -qq -o Acquire::Retries=3 >/dev/null 2>"$log"; then
      rm -f "$log"
      return 0
    fi
    [ "$attempt" -lt 3 ] && sleep $((attempt * 10))
  done
  echo "setup: some package indexes could not be fetched; going on with the rest:" \
    "$(grep -m1 -E '^(E|W):' "$log" | sed -E 's/^(E|W): //')" >&2
  rm -f "$log"
}

# Installs, and where that fails says in one line which packages could not be installed and
# why (apt's own reason: a package no index has, a version skew between i386 and amd64).
install_packages() {
  local log
  log=$(mktemp)
  if $sudo apt-get install -y -qq --no-install-recommends "$@" >/dev/null 2>"$log"; then
    rm -f "$log"
    return 0
  fi
  local named reason
  # " pkg:i386 : Depends: ..." lines name the packages apt could not place; "E: Unable to
  # locate package pkg" and "E: Package 'pkg' has no installation candidate" name missing ones.
  named=$( (sed -n -E 's/^ ([^ ]+) : .*/\1/p' "$log"
            sed -n -E "s/^E: Unable to locate package (.*)/\1/p; s/^E: Package '([^']+)'.*/\1/p" "$log") |
          sort -u | tr '\n' ' ')
  named=${named% }
  reason=$(grep -E '^E:' "$log" | tail -n 1 | sed 's/^E: //')
  echo "setup: cannot install ${named:-$*}: ${reason:-apt-get failed}" >&2
  rm -f "$log"
  return 1
}

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
  update_indexes
  if ! install_packages "${missing[@]}" 2>/dev/null; then
    # Once more on fresh indexes: a mirror in mid-sync can pair an i386 index with an older
    # amd64 one for a while.
    sleep 30
    update_indexes
    install_packages "${missing[@]}" || exit 1
  fi
fi
[ "${GRINDLET_SETUP_PACKAGES_ONLY:-}" = 1 ] && exit 0

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
[ "$need" = demo ] && exit 0

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
