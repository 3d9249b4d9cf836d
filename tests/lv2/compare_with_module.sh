#!/usr/bin/env bash
# The x86-64 front ends against the module file: lv2apply renders 32-bit float WAV files (mono
# through the mono plugin, stereo through the stereo one), the x86-64 grindlet-render renders them
# on the signal code, and the 32-bit grindlet-render renders them through build/linux/Module.sep,
# all with the same settings; the samples must be identical, bit for bit, for both modes, all
# three rounding rules and the levels around the crusher (and, between the two render tools,
# sweeps, block sizes, 16-bit files and the demo); then the LV2 plugin, the x86-64 render tool and
# Python's process() on random settings. Needs the native and linux builds.
set -euo pipefail
cd "$(dirname "$0")/../.."
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
export LV2_PATH="$PWD/build/native/bundles"
# Debian's interpreter, the one the package is built for (another on the PATH, such as a version
# manager's shim, can take ten times as long to start, and this script starts it 150 times).
python=/usr/bin/python3

"$python" tests/lv2/float_wav.py write "$work/mono.wav" 1
"$python" tests/lv2/float_wav.py write "$work/stereo.wav" 2

compared=0
tools=0
# render_both NAME "RENDER OPTIONS...": the 32-bit tool through the module file into
# NAME-module.wav, the x86-64 tool on the signal code into NAME-signal.wav, the same bits.
render_both() {
  local name=$1
  read -r -a render_options <<< "$2"
  build/linux/grindlet-render "${render_options[@]}" -o "$work/$name-module.wav" > /dev/null
  build/native/grindlet-render "${render_options[@]}" -o "$work/$name-signal.wav" > /dev/null
  # Byte for byte, or, for float WAV, sample for sample: its PEAK chunk holds the time written.
  if ! cmp -s "$work/$name-module.wav" "$work/$name-signal.wav" &&
    ! "$python" tests/lv2/float_wav.py compare "$work/$name-module.wav" "$work/$name-signal.wav"; then
    echo "the two grindlet-render builds differ: $name" >&2
    exit 1
  fi
  tools=$((tools + 1))
}

# compare NAME CHANNELS "RENDER OPTIONS" "LV2APPLY CONTROLS": one input through all three.
compare() {
  local name=$1 channels=$2
  read -r -a controls <<< "$4"
  render_both "$name" "$work/$channels.wav $3"
  lv2apply -i "$work/$channels.wav" -o "$work/$name-lv2.wav" "${controls[@]}" \
    "urn:qz-grindlet:$channels" > /dev/null
  if ! "$python" tests/lv2/float_wav.py compare "$work/$name-module.wav" "$work/$name-lv2.wav"; then
    echo "lv2apply and grindlet-render differ: $name" >&2
    exit 1
  fi
  compared=$((compared + 1))
}

for channels in mono stereo; do
  for mode in step linear; do
    for quant in floor round inside; do
      mode_index=$([ "$mode" = step ] && echo 0 || echo 1)
      case "$quant" in floor) quant_index=0 ;; round) quant_index=1 ;; inside) quant_index=2 ;; esac
      # Whole and fractional bits, a rate that divides the sample rate and one that does not.
      # (5535.95 Hz and 6.3 bits are no float: each front end must round them as a host does.)
      for setting in "8 11025" "5.5 3000" "6.3 5535.95"; do
        read -r bits rate <<< "$setting"
        compare "$channels-$mode-$quant-${bits}-${rate}" "$channels" \
          "--bits $bits --rate $rate --quant $quant --mode $mode" \
          "-c bits $bits -c rate $rate -c quantize $quant_index -c mode $mode_index"
      done
    done
  done
done
# The levels around the crusher: the same arithmetic in both front ends.
for channels in mono stereo; do
  for levels in "9 40 -6" "-12 100 3" "0 0 0" "1.1 33.3 -0.7"; do
    read -r drive mix gain <<< "$levels"
    compare "$channels-levels-$drive-$mix-$gain" "$channels" \
      "--bits 6 --rate 5000 --drive $drive --mix $mix --gain $gain" \
      "-c bits 6 -c rate 5000 -c drive $drive -c mix $mix -c gain $gain"
  done
done
# With no control given, both front ends take the same defaults from the one table.
for channels in mono stereo; do
  compare "$channels-defaults" "$channels" "" ""
done
# What only the render tools take: sweeps, block sizes, 16-bit files, the demo.
render_both sweep-step "$work/stereo.wav --bits 16:2.5 --rate 44100:300"
render_both sweep-linear "$work/mono.wav --bits 3:12 --rate 200:20000 --mode linear --quant inside"
render_both block-1 "$work/stereo.wav --block 1 --bits 7 --rate 6000 --mode linear"
render_both block-4096 "$work/stereo.wav --block 4096 --bits 4 --rate 7000 --drive 6 --mix 70"
render_both pcm16 "$work/stereo.wav --format pcm16 --bits 12 --rate 16000"
render_both from-pcm16 "$work/pcm16-module.wav --bits 5 --rate 9000 --type flac"
render_both demo ""
# The engine's stages around the module file and around its own reducers alike.
render_both stages "$work/stereo.wav --bits 7.3 --rate 9876.54 --antialias 73.3 --tone 3210.7 --law mu-law --lfo_depth 0.7 --lfo_shape random --jitter 12.5 --dither tpdf --seed 99"
# Random settings as users type them (values a float cannot hold), at 44.1 and 48 kHz, every
# stage on in about half of them (seeded): the LV2 plugin, the x86-64 render tool and Python's
# process() give the same bits.
"$python" tests/lv2/float_wav.py write "$work/mono-48000.wav" 1 48000
"$python" tests/lv2/float_wav.py write "$work/stereo-48000.wav" 2 48000
ln -s mono.wav "$work/mono-44100.wav"
ln -s stereo.wav "$work/stereo-44100.wav"
front_ends=0
while read -r rate channels pairs; do
  name=$([ "$channels" = 1 ] && echo mono || echo stereo)
  input="$work/$name-$rate.wav"
  render_args=()
  lv2_args=()
  for pair in $pairs; do
    symbol=${pair%%=*} value=${pair#*=}
    lv2_args+=(-c "$symbol" "$value")
    render_args+=("--$symbol=$value")
  done
  # The render tool takes a choice by its name.
  for i in "${!render_args[@]}"; do
    case "${render_args[$i]}" in
      --quantize=*) render_args[$i]=--quantize=$(echo floor round inside | cut -d' ' -f$((${render_args[$i]#*=} + 1))) ;;
      --mode=*) render_args[$i]=--mode=$(echo step linear | cut -d' ' -f$((${render_args[$i]#*=} + 1))) ;;
      --law=*) render_args[$i]=--law=$(echo linear mu-law a-law | cut -d' ' -f$((${render_args[$i]#*=} + 1))) ;;
      --lfo_shape=*) render_args[$i]=--lfo_shape=$(echo sine triangle random | cut -d' ' -f$((${render_args[$i]#*=} + 1))) ;;
      --dither=*) render_args[$i]=--dither=$(echo none tpdf | cut -d' ' -f$((${render_args[$i]#*=} + 1))) ;;
      --lfo_sync=*) render_args[$i]=--lfo_sync=$(echo off 4bars 2bars 1bar 1/2 1/2d 1/2t 1/4 1/4d 1/4t 1/8 1/8d 1/8t 1/16 1/16d 1/16t 1/32 1/32d 1/32t | cut -d' ' -f$((${render_args[$i]#*=} + 1))) ;;
    esac
  done
  build/native/grindlet-render "$input" -o "$work/random-render.wav" -f "${render_args[@]}" > /dev/null
  lv2apply -i "$input" -o "$work/random-lv2.wav" "${lv2_args[@]}" "urn:qz-grindlet:$name" > /dev/null
  # shellcheck disable=SC2086
  PYTHONPATH="$PWD/build/native/python" "$python" tests/lv2/float_wav.py process "$input" \
    "$work/random-python.wav" $pairs
  for other in lv2 python; do
    if ! "$python" tests/lv2/float_wav.py compare "$work/random-render.wav" "$work/random-$other.wav"; then
      echo "grindlet-render and $other differ: $rate Hz, $channels channel(s), $pairs" >&2
      exit 1
    fi
  done
  front_ends=$((front_ends + 1))
done < <("$python" tests/lv2/float_wav.py settings 20 27)
# Every factory preset: the LV2 bundle's presets.ttl (its port values, as a host applies them)
# through lv2apply, grindlet-render --preset and Python's process(preset=) give the same bits.
presets_ttl=build/native/bundles/qz-grindlet.lv2/presets.ttl
presets=0
while read -r preset _; do
  lv2_args=()
  # "symbol value" per port, from the preset's triples.
  while read -r symbol value; do
    lv2_args+=(-c "$symbol" "$value")
  done < <(sordi -o ntriples "$presets_ttl" | "$python" -c '
import re, sys
subject = "<urn:qz-grindlet:preset:" + sys.argv[1] + ">"
ports, symbols, values = set(), {}, {}
for line in sys.stdin:
    s, p, o = re.match(r"(\S+) (\S+) (.*) \.$", line).groups()
    if s == subject and p.endswith("#port>"): ports.add(o)
    if p.endswith("#symbol>"): symbols[s] = o.split("\"")[1]
    if p.endswith("#value>"): values[s] = o.split("\"")[1]
for port in sorted(ports): print(symbols[port], values[port])' "$preset")
  build/native/grindlet-render "$work/stereo.wav" --preset "$preset" -o "$work/preset-render.wav" -f > /dev/null
  lv2apply -i "$work/stereo.wav" -o "$work/preset-lv2.wav" "${lv2_args[@]}" urn:qz-grindlet:stereo > /dev/null
  PYTHONPATH="$PWD/build/native/python" "$python" tests/lv2/float_wav.py process "$work/stereo.wav" \
    "$work/preset-python.wav" "preset=$preset"
  for other in lv2 python; do
    if ! "$python" tests/lv2/float_wav.py compare "$work/preset-render.wav" "$work/preset-$other.wav"; then
      echo "grindlet-render --preset $preset and $other differ" >&2
      exit 1
    fi
  done
  presets=$((presets + 1))
done < <(build/native/grindlet-render --list-presets)
[ "$presets" -ge 10 ] || { echo "only $presets presets compared" >&2; exit 1; }
echo "lv2apply equals grindlet-render through Module.sep, bit for bit: $compared renders"
echo "the x86-64 grindlet-render equals the 32-bit one through Module.sep, bit for bit: $tools renders"
echo "the LV2 plugin, grindlet-render and Python's process() agree on $front_ends random settings, bit for bit"
echo "every factory preset, from the LV2 bundle's presets.ttl, --preset and preset=, gives the same bits: $presets presets"
