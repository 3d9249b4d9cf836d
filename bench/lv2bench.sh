#!/usr/bin/env bash
# QZ-Grindlet's LV2 plugins beside the two lo-fi plugins Debian ships (Calf Crusher, mda
# Degrade) in lv2bench, a real LV2 host, in one run: nanoseconds per channel-sample at block
# sizes 64, 512 and 4096. Needs the native build and the packages calf-plugins and mda-lv2.
set -euo pipefail
cd "$(dirname "$0")/.."
export LV2_PATH="$PWD/build/native/bundles:/usr/lib/lv2"
# The peers, from Debian, where they are missing.
if [ ! -d /usr/lib/lv2/calf.lv2 ] || [ ! -d /usr/lib/lv2/mda.lv2 ]; then
  sudo=""; [ "$(id -u)" -eq 0 ] || sudo=sudo
  $sudo apt-get install -y -qq calf-plugins mda-lv2 > /dev/null
fi
frames=${FRAMES:-4194304}
plugins=(urn:qz-grindlet:mono urn:qz-grindlet:stereo http://calf.sourceforge.net/plugins/Crusher
         http://drobilla.net/plugins/mda/Degrade)
echo "CPU: $(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2- | sed 's/^ //')"
printf '%-44s %8s %10s %10s %10s\n' plugin channels "b=64" "b=512" "b=4096"
for plugin in "${plugins[@]}"; do
  channels=$(lv2info "$plugin" | grep -c 'lv2core#AudioPort' || true)
  channels=$((channels / 2))
  row=$(printf '%-44s %8d' "$plugin" "$channels")
  for block in 64 512 4096; do
    seconds=$(lv2bench -b "$block" -n "$frames" "$plugin" 2>/dev/null | tail -n 1 | cut -d' ' -f1)
    row+=$(awk -v s="$seconds" -v n="$frames" -v c="$channels" 'BEGIN { printf " %10.3f", s * 1e9 / (n * c) }')
  done
  echo "$row"
done
echo "(ns per channel-sample; lv2bench $frames frames per run, default control values)"

# The same plugins on real audio, a signal of their own on every input (lv2bench's one shared
# buffer of zeros flatters a plugin whose work depends on the samples).
if [ -x build/native/bench/lv2-audio-bench ]; then
  for signal in noise music; do
    build/native/bench/lv2-audio-bench --frames "$((frames / 2))" --signal "$signal" "${plugins[@]}"
  done
fi

# Every stage of ours on, against Calf Crusher with its anti-aliasing and LFO on, in one run.
if [ -x build/native/bench/lv2-audio-bench ]; then
  echo "every stage on (ours: anti-aliasing, tone, Mu-law, LFO, jitter, dither; Calf: anti-aliasing and LFO):"
  build/native/bench/lv2-audio-bench --frames "$((frames / 2))" --signal music \
    -c antialias 100 -c tone 6000 -c law 1 -c lfo_depth 0.5 -c jitter 10 -c dither 1 -c seed 7 \
    -c anti_aliasing 1 -c lfo 0.5 -c samples 6 \
    urn:qz-grindlet:stereo http://calf.sourceforge.net/plugins/Crusher
fi
