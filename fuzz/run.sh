#!/usr/bin/env bash
# Runs a fuzz target for SECONDS (default 60) from its seed corpus and what earlier runs found
# (kept in build/fuzz/TARGET-corpus); a fault's input goes to build/fuzz/. Exits non-zero on a
# fault. TARGET: host_script (default), fast_paths, engine, audio_input or pe_image (which damages
# the windows preset's Module.sep, built first).
set -euo pipefail
cd "$(dirname "$0")/.."
seconds="${1:-60}"
target="${2:-host_script}"
max_len=2048
case "$target" in
  host_script) seeds=fuzz/corpus; saved=build/fuzz/corpus ;;
  fast_paths) seeds=fuzz/corpus-fast-paths; saved=build/fuzz/corpus-fast-paths ;;
  engine) seeds=fuzz/corpus-engine; saved=build/fuzz/corpus-engine ;;
  audio_input) seeds=fuzz/corpus-audio; saved=build/fuzz/corpus-audio; max_len=16384 ;;
  pe_image)
    seeds=fuzz/corpus-pe-image; saved=build/fuzz/corpus-pe-image; max_len=512
    if [ ! -f build/windows/Module.sep ]; then
      echo "fuzz: pe_image damages build/windows/Module.sep: build the windows preset first" >&2
      exit 2
    fi ;;
  *) echo "fuzz: unknown target '$target' (host_script, fast_paths, engine, audio_input or pe_image)" >&2; exit 2 ;;
esac
bash fuzz/build.sh
mkdir -p "$saved"
# ASan's quarantine is kept small. Under qemu's emulator LeakSanitizer needs ptrace, which it
# lacks (leaks are the unit tests' allocation counts), and ASan sees memory end at the emulated
# stack (0x40000000): freed blocks go back at once, or a minute's run exhausts that space (at
# the cost of reporting fewer uses after free there than on a machine that runs i686 itself).
# qemu-i386 (7.2) also loses the x87 register stack when it delivers a signal, and libFuzzer
# limits each input's time with a SIGALRM: a float on its way back from a call (the i386 ABI
# returns floats there) then came back as garbage now and then, and a sound input was reported
# as a fault. Under the emulator the only time limit is the whole run's, which also ends a hang.
quarantine=16
leaks=""
input_limit=-timeout=10
if [ -e /proc/sys/fs/binfmt_misc/qemu-i386 ]; then
  quarantine=0; leaks="detect_leaks=0:"; input_limit=-timeout=0
fi
options="${leaks}allocator_may_return_null=1:quarantine_size_mb=$quarantine:malloc_context_size=8"
# A 32-bit readdir fails on file systems with 64-bit inode numbers: run the corpus from tmpfs.
work=$(mktemp -d /dev/shm/grindlet-fuzz.XXXXXX)
trap 'rm -rf "$work"' EXIT
mkdir -p "$work/corpus"
cp "$seeds"/* "$work/corpus/"
find "$saved" -type f -exec cp -t "$work/corpus/" {} + 2>/dev/null || true
log=$(mktemp "build/fuzz/run-$target-XXXXXX.log")  # one per run: runs may overlap
status=0
# Loading a large saved corpus under the emulator can take minutes of its own.
run_limit=$((2 * seconds + 600))
LSAN_OPTIONS="suppressions=$PWD/fuzz/lsan.supp" ASAN_OPTIONS="$options" \
  timeout --kill-after=10 "$run_limit" "build/fuzz/fuzz_$target" -max_total_time="$seconds" \
  "$input_limit" -rss_limit_mb=1536 -max_len="$max_len" -print_final_stats=1 \
  -artifact_prefix=build/fuzz/ "$work/corpus" > "$log" 2>&1 || status=$?
if [ "$status" -eq 124 ] || [ "$status" -eq 137 ]; then
  tail -n 20 "$log"
  echo "fuzz: the target $target was still running after $run_limit s (a hang?)" >&2
  exit 1
fi
find "$work/corpus" -type f -exec cp -n -t "$saved/" {} + 2>/dev/null || true
if [ "$status" -ne 0 ]; then
  tail -n 40 "$log"
  # The input goes into the log as well: a CI run's build folder does not outlive it.
  artifact=$(grep -o "Test unit written to [^ ]*" "$log" | tail -n 1 | cut -d' ' -f5 || true)
  if [ -n "$artifact" ] && [ -f "$artifact" ]; then
    echo "fuzz: the input, in base64 (base64 -d > input; build/fuzz/fuzz_$target input):"
    base64 -w 76 "$artifact"
  fi
  echo "fuzz: the target $target found a fault; its input is in build/fuzz/" >&2
  exit 1
fi
grep -E 'INFO: +[0-9]+ files found|^#[0-9]+.*(INITED|DONE)' "$log" | tail -n 3
grep '^stat::' "$log"
