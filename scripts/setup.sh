#!/usr/bin/env bash
# Installs what building and testing the module needs on a fresh Debian 12 machine.
# Idempotent: quiet, and asks nothing of the package registry, when everything is there.
set -euo pipefail

packages=(
  cmake ninja-build g++-multilib g++-mingw-w64-i686 binutils-mingw-w64-i686
  wine wine32:i386
  libgtest-dev:i386 libgmock-dev:i386 libbenchmark-dev:i386 libsndfile1-dev:i386
  clang libclang-rt-14-dev lib32gcc-12-dev
)

missing=()
for pkg in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q 'install ok installed'; then
    missing+=("$pkg")
  fi
done
[ ${#missing[@]} -eq 0 ] && exit 0

sudo=""
[ "$(id -u)" -eq 0 ] || sudo="sudo"
echo "setup: installing ${missing[*]}" >&2
if ! dpkg --print-foreign-architectures | grep -qx i386; then
  $sudo dpkg --add-architecture i386
fi
export DEBIAN_FRONTEND=noninteractive
$sudo apt-get update -qq >/dev/null
$sudo apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
echo "setup: done" >&2
