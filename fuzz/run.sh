#!/usr/bin/env bash
# Runs the fuzz target for SECONDS (default 60) from the seed corpus and what earlier runs found
# (kept in build/fuzz/corpus); a fault's input goes to build/fuzz/. Exits non-zero on a fault.
set -euo pipefail
cd "$(dirname "$0")/.."
seconds="${1:-60}"
bash fuzz/build.sh
mkdir -p build/fuzz/corpus
# Under qemu's emulator: LeakSanitizer needs ptrace, which it lacks (leaks are the unit tests'
# allocation counts), and ASan's quarantine is kept small, as its address space runs out.
options="allocator_may_return_null=1:quarantine_size_mb=16:malloc_context_size=8"
if [ -e /proc/sys/fs/binfmt_misc/qemu-i386 ]; then options="detect_leaks=0:$options"; fi
# A 32-bit readdir fails on file systems with 64-bit inode numbers: run the corpus from tmpfs.
work=$(mktemp -d /dev/shm/grindlet-fuzz.XXXXXX)
trap 'rm -rf "$work"' EXIT
mkdir -p "$work/corpus"
cp fuzz/corpus/* "$work/corpus/"
find build/fuzz/corpus -type f -exec cp -t "$work/corpus/" {} + 2>/dev/null || true
status=0
ASAN_OPTIONS="$options" build/fuzz/fuzz_host_script -max_total_time="$seconds" -timeout=10 \
  -rss_limit_mb=1536 -max_len=2048 -print_final_stats=1 -artifact_prefix=build/fuzz/ \
  "$work/corpus" > build/fuzz/last-run.log 2>&1 || status=$?
find "$work/corpus" -type f -exec cp -n -t build/fuzz/corpus/ {} + 2>/dev/null || true
if [ "$status" -ne 0 ]; then
  tail -n 40 build/fuzz/last-run.log
  echo "fuzz: the target found a fault; its input is in build/fuzz/" >&2
  exit 1
fi
grep -E 'INFO: +[0-9]+ files found|^#[0-9]+.*(INITED|DONE)' build/fuzz/last-run.log | tail -n 3
grep '^stat::' build/fuzz/last-run.log
