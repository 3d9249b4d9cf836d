#!/usr/bin/env bash
# The three front ends of this tree against those of another build, in one run, each pair timed
# alternately so the ratios come from the same minutes of the machine: the LV2 plugin
# (lv2-audio-bench, blocks of 64, 512 and 4,096), grindlet-render (hyperfine, 10 minutes of
# stereo 16-bit WAV) and Python's process() (10 minutes of stereo, the fastest of five calls).
#   bench/front_ends_against.sh OTHER_BUILD      e.g. a worktree of an older commit's build/native
# Needs this tree's native build. Figures count only on a machine that runs the code itself.
set -euo pipefail
cd "$(dirname "$0")/.."
other=$(cd "${1:?usage: bench/front_ends_against.sh OTHER_NATIVE_BUILD}" && pwd)
this=$PWD/build/native
for build in "$this" "$other"; do
  [ -x "$build/grindlet-render" ] || { echo "no native build in $build" >&2; exit 1; }
done
work=$(mktemp -d "${TMPDIR:-/var/tmp}/grindlet-against.XXXXXX")
trap 'rm -rf "$work"' EXIT

echo "== the LV2 plugin (ns per channel-sample; this tree, then $other)"
for round in 1 2 3; do
  for build in "$this" "$other"; do
    label=$([ "$build" = "$this" ] && echo this || echo other)
    LV2_PATH="$build/bundles" "$this/bench/lv2-audio-bench" --frames 2097152 --signal music \
      urn:qz-grindlet:mono urn:qz-grindlet:stereo | grep -v '^plugin' | sed "s|^|$label, round $round: |"
  done
done

echo "== grindlet-render, 10 minutes of stereo 16-bit WAV"
sox -n -r 44100 -c 2 -b 16 "$work/in.wav" synth 600 sine 220:3000 sine 330 remix 1 2 vol 0.5
hyperfine -N -w 1 -r 8 "$this/grindlet-render $work/in.wav -o $work/a.wav -f" \
  "$other/grindlet-render $work/in.wav -o $work/b.wav -f" \
  "$this/grindlet-render $work/in.wav -o $work/c.wav -f --drive 6 --mix 70" \
  "$other/grindlet-render $work/in.wav -o $work/d.wav -f --drive 6 --mix 70"

echo "== Python's process(), 10 minutes of stereo (fastest of five; a 256-frame call)"
cat > "$work/time_process.py" <<'EOF'
import sys, time
import numpy as np
import qz_grindlet
audio = np.random.default_rng(1).uniform(-0.9, 0.9, (2, 600 * 44100)).astype(np.float32)
short = audio[:, :256].copy()
def fastest(call, runs):
    best = float("inf")
    for _ in range(runs):
        start = time.perf_counter(); call(); best = min(best, time.perf_counter() - start)
    return best
plain = fastest(lambda: qz_grindlet.process(audio, 44100), 5)
levels = fastest(lambda: qz_grindlet.process(audio, 44100, drive=6, mix=70), 5)
sweep = fastest(lambda: qz_grindlet.process(audio, 44100, rate=(2000, 20000)), 5)
tiny = fastest(lambda: [qz_grindlet.process(short, 44100) for _ in range(1000)], 5) / 1000
print("%s: default %.3f s, levels %.3f s, sweep %.3f s, a 256-frame call %.2f us"
      % (sys.argv[1], plain, levels, sweep, tiny * 1e6))
EOF
for round in 1 2; do
  for build in "$this" "$other"; do
    PYTHONPATH="$build/python" /usr/bin/python3 "$work/time_process.py" "$build (round $round)"
  done
done
