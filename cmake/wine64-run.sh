#!/usr/bin/env bash
# Runs a 64-bit Windows program of the build under wine64, in the project's 64-bit wine prefix,
# quietly. wine64 runs x86-64 code itself, so this works on machines that only emulate i686
# (where the 32-bit wine cannot start) as well as on the others.
export WINEPREFIX="${GRINDLET_WINE64PREFIX:-$HOME/.cache/grindlet/wine64}"
mkdir -p "$(dirname "$WINEPREFIX")"
export WINEARCH=win64 WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml=" DISPLAY=
loader=/usr/lib/wine/wine64
command -v wine64 > /dev/null && loader=$(command -v wine64)
exec "$loader" "$@"
