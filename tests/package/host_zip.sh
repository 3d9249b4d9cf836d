#!/usr/bin/env bash
# The ZIP for host users, as one of them gets it: built by cpack from the windows build, unpacked
# into an empty folder; one folder named after the release, every text with Windows line
# endings, the Module.sep that was built, and grindlet-check.exe run on it as the README inside
# says (under wine where wine runs; elsewhere our PE loader checks the same Module.sep, and the
# skip is said). Usage: host_zip.sh WINE(ON|OFF)
set -euo pipefail
cd "$(dirname "$0")/../.."
wine=${1:-OFF}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

version=$(head -n 1 VERSION)
release="QZ-Grindlet-$version-windows-module"
(cd build/windows && cpack --config CPackConfig.cmake > /dev/null)
command -v unzip > /dev/null || { echo "unzip is missing (scripts/setup.sh installs it)" >&2; exit 1; }
unzip -q "build/windows/$release.zip" -d "$work"

fail() { echo "host ZIP: $*" >&2; exit 1; }
[ "$(ls -A "$work")" = "$release" ] || fail "unpacks into $(ls -A "$work" | tr '\n' ' '), not one folder $release"
folder="$work/$release"
for file in Module.sep grindlet-check.exe grindlet-check-guard.dll README.txt LICENSE.txt; do
  [ -f "$folder/$file" ] || fail "$file is missing"
done
for text in README.txt LICENSE.txt; do
  # Every line ends in CR LF, the last one too.
  lines=$(wc -l < "$folder/$text")
  if [ "$(LC_ALL=C grep -c $'\r$' "$folder/$text")" != "$lines" ] || [ "$(tail -c 1 "$folder/$text")" != "" ]; then
    fail "$text has a line without a Windows line ending"
  fi
done
grep -q "grindlet-check.exe Module.sep" "$folder/README.txt" || fail "README.txt does not say how to run grindlet-check.exe"
grep -q "QZ-Grindlet $version " "$folder/README.txt" || fail "README.txt does not name release $version"
cmp -s "$folder/Module.sep" build/windows/Module.sep || fail "Module.sep is not the one built"
[ "$(head -c 2 "$folder/grindlet-check.exe")" = "MZ" ] || fail "grindlet-check.exe is not a Windows program"

if [ "$wine" = ON ]; then
  (cd "$folder" && "$OLDPWD/cmake/wine-run.sh" grindlet-check.exe Module.sep) | tail -n 1
else
  echo "host ZIP: grindlet-check.exe not run: wine does not run on this machine (32-bit code only under qemu); our PE loader checks the ZIP's Module.sep instead"
  build/linux/grindlet-check "$folder/Module.sep" | tail -n 1
fi
echo "host ZIP: $release.zip unpacks into one folder: Module.sep, grindlet-check.exe, README.txt and LICENSE.txt with CRLF line endings"
