#!/usr/bin/env bash
# The LV2 bundle for Windows (build/win64) against the Linux one (build/native): the DLL is a
# 64-bit PE exporting lv2_descriptor alone, with the runtime linked in (it needs nothing beyond
# what every Windows has); its Turtle is the Linux bundle's but for the library's name; the ZIP
# for Windows users unpacks into one folder holding the bundle and CRLF texts; and the
# descriptor-level host, built for each, gives the same output bytes on the Linux bundle and on
# the ZIP's, the Windows pair run under wine64. Needs both presets built.
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
# The Linux bundle's window (an X11 UI) is its own: its entries are the paragraphs that say "ui:".
without_ui() { awk -v RS= -v ORS='\n\n' '!/ui:/' "$1"; }
[ "$(without_ui "$linux/manifest.ttl" | sed 's/qz-grindlet\.so/qz-grindlet.dll/g')" = \
  "$(without_ui "$windows/manifest.ttl")" ] ||
  fail "manifest.ttl differs from the Linux bundle's by more than the library's name and the UI"
! grep -q "ui:X11UI" "$windows/manifest.ttl" || fail "the Windows bundle names an X11 UI"
echo "its Turtle is the Linux bundle's, naming qz-grindlet.dll, without the X11 UI"

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

version=$(head -n 1 VERSION)
release="QZ-Grindlet-$version-windows-x64-lv2"
(cd build/win64 && cpack --config CPackConfig.cmake > /dev/null)
mkdir "$work/unpacked"
unzip -q "build/win64/$release.zip" -d "$work/unpacked"
[ "$(ls -A "$work/unpacked")" = "$release" ] || fail "the ZIP unpacks into $(ls -A "$work/unpacked" | tr '\n' ' '), not one folder $release"
folder="$work/unpacked/$release"
[ "$(cd "$folder" && find . -type f | sort | tr '\n' ' ')" = "./LICENSE.txt ./README.txt ./qz-grindlet.lv2/manifest.ttl ./qz-grindlet.lv2/presets.ttl ./qz-grindlet.lv2/qz-grindlet.dll ./qz-grindlet.lv2/qz-grindlet.ttl " ] ||
  fail "the ZIP holds $(cd "$folder" && find . -type f | sort | tr '\n' ' ')"
for file in "$windows"/*; do
  cmp -s "$file" "$folder/qz-grindlet.lv2/${file##*/}" || fail "the ZIP's ${file##*/} is not the one built"
done
for text in README.txt LICENSE.txt; do
  lines=$(wc -l < "$folder/$text")
  [ "$(LC_ALL=C grep -c $'\r$' "$folder/$text")" = "$lines" ] && [ "$(tail -c 1 "$folder/$text")" = "" ] ||
    fail "$text has a line without a Windows line ending"
done
grep -q "QZ-Grindlet $version " "$folder/README.txt" || fail "README.txt does not name release $version"
echo "$release.zip unpacks into one folder: qz-grindlet.lv2 as built, README.txt and LICENSE.txt with CRLF line endings"

build/native/tests/lv2/grindlet-lv2-descriptor-host "$linux/qz-grindlet.so" "$work/linux.raw" \
  > "$work/linux.txt"
# The ZIP's DLL, as a user gets it, under wine64, bounded: a wine that cannot start must fail
# the run, not hang it.
timeout 300 cmake/wine64-run.sh build/win64/tests/lv2/grindlet-lv2-descriptor-host.exe \
  "$folder/qz-grindlet.lv2/qz-grindlet.dll" "$work/windows.raw" > "$work/windows.crlf" ||
  fail "the Windows host did not run under wine64"
tr -d '\r' < "$work/windows.crlf" > "$work/windows.txt"
if ! diff "$work/linux.txt" "$work/windows.txt" > "$work/cases.diff" ||
  ! cmp -s "$work/linux.raw" "$work/windows.raw"; then
  echo "the cases' hashes, Linux (<) against Windows (>):" >&2
  cat "$work/cases.diff" >&2
  cmp "$work/linux.raw" "$work/windows.raw" >&2 || true
  fail "the Windows bundle's output differs from the Linux bundle's"
fi
echo "the ZIP's bundle under wine64 gives the Linux bundle's output, bit for bit: $(wc -l < "$work/linux.txt") cases, $(($(stat -c %s "$work/linux.raw") / 4)) samples"
