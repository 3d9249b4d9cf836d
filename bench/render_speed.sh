#!/usr/bin/env bash
# grindlet-render against a plain copy, and a batch on one core against two: hyperfine runs the
# commands alternately in one go, so the ratios come from the same minutes of the machine.
#   bench/render_speed.sh            speed: a 10-minute stereo 16-bit WAV, and 20 one-minute files
#                                    (beside plain copies of them, one after the other and two at once)
#   bench/render_speed.sh --memory   peak memory of a 3-hour file through standard input
# Needs the native build (build/native/grindlet-render); installs sox and hyperfine if missing.
# Figures count only on a machine that runs the code itself, never under an emulator.
set -euo pipefail
cd "$(dirname "$0")/.."
render=$PWD/build/native/grindlet-render
[ -x "$render" ] || { echo "build the native preset first: cmake --preset native && cmake --build --preset native" >&2; exit 1; }
for tool in sox hyperfine; do
  command -v "$tool" > /dev/null || { sudo=""; [ "$(id -u)" -eq 0 ] || sudo=sudo; $sudo apt-get install -y -qq "$tool" > /dev/null; }
done
work=$(mktemp -d "${TMPDIR:-/var/tmp}/grindlet-speed.XXXXXX")
trap 'rm -rf "$work"' EXIT
cd "$work"

if [ "${1:-}" = "--memory" ]; then
  # Three hours of stereo 16-bit audio, as WAV (read as a stream) and as FLAC (spooled to a
  # temporary file, which FLAC's reader needs to seek in).
  sox -n -r 44100 -c 2 -b 16 long.wav synth 10800 sine 220:3000 sine 330 remix 1 2 vol 0.5
  sox long.wav long.flac
  for input in long.wav long.flac; do
    /usr/bin/time -f "$input through standard input: %M KB peak, %e s" \
      "$render" - -o out.wav -f < "$input" > /dev/null
  done
  exit 0
fi

# 10 minutes: the default settings (8 bits, 8,000 Hz) into 16-bit WAV, against sox copying it;
# sox then sync: the same bytes made as safe on disk as grindlet-render makes its output.
sox -n -r 44100 -c 2 -b 16 in.wav synth 600 sine 220:3000 sine 330 remix 1 2 vol 0.5
hyperfine -N -w 2 -r 10 --export-markdown single.md \
  "sox in.wav copy.wav" "$render in.wav -o out.wav -f"
hyperfine -w 2 -r 10 "sox in.wav copy.wav && sync copy.wav" > /dev/null --export-markdown synced.md
# 20 one-minute files, one job against two.
mkdir corpus
for i in $(seq -w 1 20); do
  sox -n -r 44100 -c 2 -b 16 "corpus/f$i.wav" synth 60 sine "$((100 * 10#$i))":3000 sine 330 remix 1 2 vol 0.5
done
hyperfine -w 1 -r 6 --prepare "rm -rf $work/batch && mkdir $work/batch" --export-markdown batch.md \
  "$render corpus/*.wav -o batch/ -j 1" "$render corpus/*.wav -o batch/ -j 2"
# The yardstick for that ratio: the same files only copied (cat) and made as safe on disk (sync
# of each copy, as the render tool's fsync), one after the other against two at once, in the
# same folders. Where plain copies do not scale, the file system is the limit.
copy_half() { echo "for f in $*; do cat \$f > batch/\${f##*/} && sync batch/\${f##*/}; done"; }
hyperfine -w 1 -r 6 --prepare "rm -rf $work/batch && mkdir $work/batch" --export-markdown copies.md \
  "$(copy_half 'corpus/*.wav')" \
  "($(copy_half 'corpus/f0*.wav')) & ($(copy_half 'corpus/f1*.wav corpus/f20.wav')); wait"
cat single.md synced.md batch.md copies.md
