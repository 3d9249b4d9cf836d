#!/usr/bin/env bash
# Runs the fuzz target for SECONDS (default 60) from the seed corpus; new inputs it finds go to
# build/fuzz/corpus, crashes to build/fuzz/. Exits non-zero when it finds a fault.
set -euo pipefail
cd "$(dirname "$0")/.."
seconds="${1:-60}"
bash fuzz/build.sh
mkdir -p build/fuzz/corpus
# qemu's emulator has no ptrace for LeakSanitizer; leaks are the unit tests' allocation counts.
leaks=1
[ -e /proc/sys/fs/binfmt_misc/qemu-i386 ] && leaks=0
ASAN_OPTIONS="detect_leaks=$leaks:allocator_may_return_null=1" \
  build/fuzz/fuzz_host_script -max_total_time="$seconds" -timeout=10 -max_len=2048 -print_final_stats=1 \
  -artifact_prefix=build/fuzz/ build/fuzz/corpus fuzz/corpus > build/fuzz/last-run.log 2>&1 || {
  tail -n 40 build/fuzz/last-run.log
  echo "fuzz: the target found a fault; its input is in build/fuzz/" >&2
  exit 1
}
tail -n 12 build/fuzz/last-run.log
