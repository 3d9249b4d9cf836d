#!/usr/bin/env bash
# The LV2 plugin in a real host: jalv on a JACK server with the dummy driver (no sound card, no
# real-time privileges), at two sample rates and two period sizes. A test client plays a signal
# through it and checks every sample that comes back against the effect rendered offline.
# Every wait is bounded; on failure the server's and jalv's logs are shown.
#   tests/lv2/jalv_roundtrip.sh ROUNDTRIP_CLIENT BUNDLES_DIR
set -euo pipefail
roundtrip=$1
export LV2_PATH=$2
work=$(mktemp -d)
# jalv reads commands from its standard input and quits at its end: a FIFO this script holds
# open for writing never ends, and leaves no process behind.
mkfifo "$work/commands"
exec 3<>"$work/commands"
# Ends jalv, then the server.
# shellcheck source=tests/lv2/started_processes.sh
source "$(dirname "$0")/started_processes.sh"
trap 'stop; rm -rf "$work"' EXIT

for rate in 22050 96000; do
  for period in 64 1024; do
    server="grindlet-test-$$-$rate-$period"
    export JACK_DEFAULT_SERVER="$server"
    # Synchronous, with a long timeout: a slow cycle on a loaded machine waits rather than drops.
    jackd -n "$server" --no-realtime -S -t 10000 -d dummy -r "$rate" -p "$period" \
      > "$work/jackd.log" 2>&1 &
    pids+=($!)
    if ! timeout 30 jack_wait -s "$server" -w -t 30 > /dev/null; then
      echo "the JACK server ($rate Hz, period $period) did not start within 30 s:" >&2
      cat "$work/jackd.log" >&2
      exit 1
    fi
    # Every hold a whole number of frames: the plugin's phase after the silence before the
    # signal is then one of a few the client tries.
    reduced=$(awk -v r="$rate" 'BEGIN { printf "%.6f", r / 8 }')
    jalv -x -n grindlet -c bits=6 -c "rate=$reduced" urn:qz-grindlet:mono <&3 \
      > "$work/jalv.log" 2>&1 &
    pids+=($!)
    if ! timeout 120 "$roundtrip" grindlet:in grindlet:out 6 "$reduced" 0.5; then
      echo "--- jackd ($rate Hz, period $period):" >&2
      cat "$work/jackd.log" >&2
      echo "--- jalv:" >&2
      cat "$work/jalv.log" >&2
      exit 1
    fi
    stop
  done
done
echo "jalv ran the plugin on a JACK server at 2 rates and 2 period sizes, every sample exact"
