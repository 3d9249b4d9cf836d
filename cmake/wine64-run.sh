#!/usr/bin/env bash
# Runs a 64-bit Windows program of the build under wine64, in the project's 64-bit wine prefix,
# quietly. wine64 runs x86-64 code itself, so this works on machines that only emulate i686
# (where the 32-bit wine cannot start) as well as on the others.
export WINEPREFIX="${GRINDLET_WINE64PREFIX:-$HOME/.cache/grindlet/wine64}"
export WINEARCH=win64 WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml=" DISPLAY=
loader=/usr/lib/wine/wine64
command -v wine64 > /dev/null && loader=$(command -v wine64)
# The prefix is made on first use. Where 32-bit code is only emulated, wine's set-up of its
# 32-bit half waits about a minute for it, once per machine; say so rather than seem to hang.
if [ ! -f "$WINEPREFIX/system.reg" ]; then
  echo "wine64: making the prefix $WINEPREFIX (once; up to a minute or two)" >&2
  mkdir -p "$(dirname "$WINEPREFIX")"
  timeout 600 "$loader" wineboot --init > /dev/null 2>&1 || true
  timeout 60 "$(dirname "$loader")/wineserver64" -w 2> /dev/null || true
  [ -f "$WINEPREFIX/system.reg" ] || { echo "wine64: could not make the prefix $WINEPREFIX" >&2; exit 1; }
fi
exec "$loader" "$@"
