#!/usr/bin/env bash
# Runs a Windows program of the build under wine, in the project's wine prefix, quietly.
export WINEPREFIX="${GRINDLET_WINEPREFIX:-$HOME/.cache/grindlet/wine}"
export WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml=" DISPLAY=
exec wine "$@"
