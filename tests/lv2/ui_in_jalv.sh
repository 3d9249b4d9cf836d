#!/usr/bin/env bash
# The plugin's window as a user meets it: jalv.gtk3 embeds it on a virtual X display (Xvfb), a
# JACK server with the dummy driver runs the plugin, and a metronome plays into it. Through the
# window only, as a mouse does (xdotool): the meters show the signal, a drag on the Output knob
# and a preset chosen from the menu reach the plugin (its output meter, as jalv prints it, moves
# to the level each gives). Resized, it draws larger; at 200 % (GDK_SCALE=2) it opens at twice the
# size, the mono plugin's this time, and takes clicks where it draws.
# Screenshots go to SHOT_DIR. Every wait is on an event, bounded only to stop a hang.
#   tests/lv2/ui_in_jalv.sh BUNDLES_DIR SHOT_DIR
set -euo pipefail
LV2_PATH=$(cd "$1" && pwd)  # lilv maps it to file URIs: absolute
export LV2_PATH
shots=$2
mkdir -p "$shots"
work=$(mktemp -d)
# shellcheck source=tests/lv2/started_processes.sh
source "$(dirname "$0")/started_processes.sh"
fail() {
  echo "FAIL: $*" >&2
  for log in "$work"/*.log; do echo "--- ${log##*/}:" >&2; tail -n 20 "$log" >&2; done
  exit 1
}
trap 'stop; rm -rf "$work"' EXIT

# Polls `condition` (a command) every 0.1 s until it holds; fails after `cap` seconds.
wait_for() {
  local cap=$1 what=$2
  shift 2
  local tries=$((cap * 10))
  until "$@"; do
    tries=$((tries - 1))
    [ "$tries" -gt 0 ] || fail "waited ${cap} s for $what"
    sleep 0.1
  done
}

# A display of our own: Xvfb picks a free number and writes it down.
Xvfb -displayfd 5 -screen 0 4096x2560x24 -nolisten tcp 5> "$work/display" > "$work/xvfb.log" 2>&1 &
pids+=($!)
wait_for 30 "Xvfb to start" test -s "$work/display"
DISPLAY=":$(head -n 1 "$work/display")"
export DISPLAY

export JACK_DEFAULT_SERVER="grindlet-ui-$$"
jackd -n "$JACK_DEFAULT_SERVER" --no-realtime -S -t 10000 -d dummy -r 48000 -p 256 \
  > "$work/jackd.log" 2>&1 &
pids+=($!)
timeout 30 jack_wait -s "$JACK_DEFAULT_SERVER" -w -t 30 > /dev/null 2>&1 || fail "the JACK server did not start"

# The last level jalv printed for a meter port ("level_out = -12.3").
level() { awk -v port="$1" '$1 == port && $2 == "=" { v = $3 } END { print v == "" ? -999 : v }' "$work/jalv.log"; }
level_between() { awk -v v="$(level "$1")" -v lo="$2" -v hi="$3" 'BEGIN { exit !(v >= lo && v <= hi) }'; }

# Whether a rectangle of a screenshot (a binary PPM) has a pixel of the meters' green.
green_in() {
  python3 - "$1" "$2" "$3" "$4" "$5" <<'EOF'
import sys
path, x0, y0, w, h = sys.argv[1], *map(int, sys.argv[2:])
data = open(path, "rb").read()
fields, at = [], 0
while len(fields) < 4:  # P6 width height maxval, then one whitespace byte
    while data[at:at + 1].isspace(): at += 1
    start = at
    while not data[at:at + 1].isspace(): at += 1
    fields.append(data[start:at])
width = int(fields[1]); pixels = data[at + 1:]
for y in range(y0, y0 + h):
    for x in range(x0, x0 + w):
        r, g, b = pixels[3 * (y * width + x):3 * (y * width + x) + 3]
        if g > 150 and r < 120 and b < 120: sys.exit(0)
sys.exit(1)
EOF
}
grab() { xwd -silent -id "$1" | xwdtopnm 2>/dev/null > "$2"; }

window_shown() {
  kill -0 "$1" 2>/dev/null || fail "jalv ended"
  xdotool search --onlyvisible --name '^QZ-Grindlet$' > /dev/null
}
start_jalv() {
  local plugin=$1
  : > "$work/jalv.log"
  started=$(date +%s.%N)
  jalv.gtk3 -x --jack-name grindlet --print-controls "$plugin" > "$work/jalv.log" 2>&1 &
  pids+=($!)
  # Our window is the one named "QZ-Grindlet" inside jalv's.
  wait_for 60 "the plugin's window" window_shown "${pids[-1]}"
  window=$(xdotool search --onlyvisible --name '^QZ-Grindlet$' | head -n 1)
  toplevel=$(xdotool search --onlyvisible --name "^QZ-Grindlet (Mono|Stereo)$" | head -n 1)
  echo "$plugin: its window opened $(awk -v a="$started" -v b="$(date +%s.%N)" 'BEGIN { printf "%.2f", b - a }') s after jalv started"
}
size_of() { xwininfo -id "$1" | awk '/Width:/ { w = $2 } /Height:/ { h = $2 } END { print w "x" h }'; }

# A metronome at -10.5 dBFS, for both plugins in turn.
jack_metro -n metro -b 240 -f 660 -A 0.3 -D 60 > "$work/metro.log" 2>&1 &
pids+=($!)

# "1-Bit Fuzz"'s row in the presets' menu (the table's order).
presets=$(dirname "$0")/../../dsp/presets.h
fuzz_row=$(awk '/^    \{"/ { n++ } /^    \{"one-bit-fuzz"/ { print n - 1; exit }' "$presets")

# --- 100 %: the stereo plugin, the metronome into both inputs.
start_jalv urn:qz-grindlet:stereo
[ "$(size_of "$window")" = "960x560" ] || fail "the window is $(size_of "$window"), not 960x560"
wait_for 30 "the metronome's port" jack_connect metro:240_bpm grindlet:in_l 2> /dev/null
jack_connect metro:240_bpm grindlet:in_r
# At the defaults the output follows the input: about -10.5 dBFS at each click.
wait_for 60 "the output meter to show the clicks" level_between level_out -13 -9
# The window shows it: both bars green at their foot (the meters' columns, at 100 %).
grab "$window" "$work/meters.ppm"
if ! green_in "$work/meters.ppm" 872 500 28 16 || ! green_in "$work/meters.ppm" 918 500 28 16; then
  fail "the window's meters show no level while the plugin's do"
fi

# A drag down the Output knob's whole travel from 0 dB: -24 dB, so the clicks leave at -34.5.
xdotool mousemove --window "$window" 790 264 mousedown 1
for y in 284 304 324 344 364 384; do xdotool mousemove --window "$window" 790 "$y"; done
xdotool mouseup 1
wait_for 60 "the dragged Output knob to reach the plugin" level_between level_out -37 -32

# "1-Bit Fuzz" from the presets' menu: every click a square at full scale, 6 dB down.
xdotool mousemove --window "$window" 395 22 click 1
xdotool mousemove --window "$window" 300 $((40 + 26 * fuzz_row + 13)) click 1
wait_for 60 "the preset to reach the plugin" level_between level_out -6.5 -5.5
grab "$toplevel" "$work/shot.ppm"
pnmtopng < "$work/shot.ppm" > "$shots/lv2-ui.png"
echo "a drag on Output and the preset \"1-Bit Fuzz\" reached the plugin; $shots/lv2-ui.png"

# Resized by the host to twice the size, everything is drawn twice as large: the meters' feet.
toplevel_height=$(size_of "$toplevel" | cut -dx -f2)
# Asked again until it holds: with no window manager, GTK may put back its own size once.
resized_to() {
  xdotool windowsize "$toplevel" "$1" "$2"
  [ "$(size_of "$window")" = "$3" ]
}
wait_for 30 "the window to follow its host's size" resized_to 1920 $((toplevel_height + 560)) 1920x1120
large_meter_shown() { grab "$window" "$work/large.ppm" && green_in "$work/large.ppm" 1744 1000 56 32; }
wait_for 30 "the meters drawn at twice the size" large_meter_shown
echo "resized to 1920x1120 by the host, the window draws at twice the size"
stop_newest  # jalv; Xvfb, the server and the metronome stay
window_gone() { ! xdotool search --name "^QZ-Grindlet$" > /dev/null; }
wait_for 30 "the first window to close" window_gone

# --- 200 %: the mono plugin's window opens at twice the size (its host's wrapper gives it
# the size in the window's own pixels), and the preset chosen where it is drawn there reaches
# the mono plugin's ports.
GDK_SCALE=2 start_jalv urn:qz-grindlet:mono
[ "$(size_of "$window")" = "1920x1120" ] || fail "at 200 % the window is $(size_of "$window"), not 1920x1120"
wait_for 30 "the metronome's port" jack_connect metro:240_bpm grindlet:in 2> /dev/null
wait_for 60 "the mono plugin's output meter to show the clicks" level_between level_out -13 -9
xdotool mousemove --window "$window" 790 44 click 1
xdotool mousemove --window "$window" 600 $((2 * (40 + 26 * fuzz_row + 13))) click 1
wait_for 60 "the preset to reach the mono plugin" level_between level_out -6.5 -5.5
grab "$window" "$work/shot.ppm"
pnmtopng < "$work/shot.ppm" > "$shots/lv2-ui-200.png"
echo "at 200 % the window opens at 1920x1120 and its presets reach the mono plugin; $shots/lv2-ui-200.png"
