#!/usr/bin/env bash
# The LV2 bundle for Windows (build/win64) against the Linux one (build/native): the DLL is a
# 64-bit PE exporting lv2_descriptor alone, with the runtime linked in (it needs nothing beyond
# what every Windows has); its Turtle is the Linux bundle's but for the library's name; and the
# descriptor-level host, built for each, gives the same output bytes on both, the Windows pair
# run under wine64. Needs both presets built.
set -euo pipefail
cd "$(dirname "$0")/../.."

linux=build/native/bundles/qz-grindlet.lv2
windows=build/win64/bundles/qz-grindlet.lv2
dll=$windows/qz-grindlet.dll
for file in "$linux/qz-grindlet.so" "$dll" build/native/tests/lv2/grindlet-lv2-descriptor-host \
  build/win64/tests/lv2/grindlet-lv2-descriptor-host.exe; do
  [ -f "$file" ] || { echo "win64 bundle: $file is missing: build the native and win64 presets" >&2; exit 1; }
done
fail() { echo "win64 bundle: $*" >&2; exit 1; }

headers=$(x86_64-w64-mingw32-objdump -p "$dll")
grep -q "file format pei-x86-64" <<< "$headers" || fail "$dll is not a 64-bit PE file"
exports=$(awk '/^\[Ordinal\/Name Pointer\] Table/ { table = 1; next } table && NF == 0 { exit }
  table { print $NF }' <<< "$headers")
[ "$exports" = "lv2_descriptor" ] || fail "$dll exports '$exports', not lv2_descriptor alone"
# The DLLs it needs: Windows' own only, never a MinGW runtime DLL a host would not have.
imports=$(awk '/DLL Name:/ { print $3 }' <<< "$headers" | sort | tr '\n' ' ')
[ "$imports" = "KERNEL32.dll msvcrt.dll " ] || fail "$dll needs $imports(only KERNEL32.dll and msvcrt.dll are everywhere)"
echo "$dll: x86-64, exports lv2_descriptor alone, needs only $imports"

for file in qz-grindlet.ttl presets.ttl; do
  cmp -s "$linux/$file" "$windows/$file" || fail "$file differs from the Linux bundle's"
done
sed 's/qz-grindlet\.so/qz-grindlet.dll/g' "$linux/manifest.ttl" | cmp -s - "$windows/manifest.ttl" ||
  fail "manifest.ttl differs from the Linux bundle's by more than the library's name"
echo "its Turtle is the Linux bundle's, naming qz-grindlet.dll"

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
build/native/tests/lv2/grindlet-lv2-descriptor-host "$linux/qz-grindlet.so" "$work/linux.raw" \
  > "$work/linux.txt"
# Under wine64, bounded: a wine that cannot start must fail the run, not hang it.
timeout 300 cmake/wine64-run.sh build/win64/tests/lv2/grindlet-lv2-descriptor-host.exe "$dll" \
  "$work/windows.raw" > "$work/windows.crlf" || fail "the Windows host did not run under wine64"
tr -d '\r' < "$work/windows.crlf" > "$work/windows.txt"
if ! diff "$work/linux.txt" "$work/windows.txt" > "$work/cases.diff" ||
  ! cmp -s "$work/linux.raw" "$work/windows.raw"; then
  echo "the cases' hashes, Linux (<) against Windows (>):" >&2
  cat "$work/cases.diff" >&2
  cmp "$work/linux.raw" "$work/windows.raw" >&2 || true
  fail "the Windows bundle's output differs from the Linux bundle's"
fi
echo "the Windows bundle under wine64 gives the Linux bundle's output, bit for bit: $(wc -l < "$work/linux.txt") cases, $(($(stat -c %s "$work/linux.raw") / 4)) samples"
