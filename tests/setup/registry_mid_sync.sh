#!/usr/bin/env bash
# scripts/setup.sh against a package registry in mid-sync, through stand-ins for apt-get, dpkg
# and sudo: an index update that fails at first is tried again, one that keeps failing is said
# and gone past, and an install that apt refuses is named in one line with apt's reason.
set -euo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mkdir "$work/bin"
cat > "$work/bin/dpkg-query" <<'STUB'
#!/bin/sh
exit 1
STUB
cat > "$work/bin/dpkg" <<'STUB'
#!/bin/sh
echo i386
STUB
cat > "$work/bin/sudo" <<'STUB'
#!/bin/sh
exec "$@"
STUB
cat > "$work/bin/sleep" <<'STUB'
#!/bin/sh
exit 0
STUB
# apt-get: `update` fails the first $UPDATE_FAILURES times; `install` fails when INSTALL=skew.
cat > "$work/bin/apt-get" <<'STUB'
#!/bin/bash
count="$STATE/updates"
if [ "$1" = update ]; then
  n=$(( $(cat "$count" 2>/dev/null || echo 0) + 1 )); echo "$n" > "$count"
  if [ "$n" -le "$UPDATE_FAILURES" ]; then
    echo "E: Failed to fetch http://mirror/debian-security/dists/bookworm-security/main/binary-i386/Packages.xz  File has unexpected size (1234 != 5678). Mirror sync in progress? [IP: 10.0.0.1 80]" >&2
    exit 100
  fi
  exit 0
fi
if [ "$INSTALL" = skew ]; then
  printf '%s\n' "Some packages could not be installed." \
    " libsndfile1-dev:i386 : Depends: libflac-dev:i386 (= 1.4.2+ds-2) but 1.4.2+ds-1 is to be installed" \
    "E: Unable to correct problems, you have held broken packages." >&2
  exit 100
fi
exit 0
STUB
chmod +x "$work/bin/"*

run() {  # UPDATE_FAILURES INSTALL: runs the set-up's package step, stderr in $work/said
  rm -f "$work/updates"
  set +e
  PATH="$work/bin:$PATH" STATE="$work" UPDATE_FAILURES=$1 INSTALL=$2 GRINDLET_SETUP_PACKAGES_ONLY=1 \
    bash "$root/scripts/setup.sh" demo 2> "$work/said"
  status=$?
  set -e
}
fail() { echo "FAIL: $*"; cat "$work/said"; exit 1; }

run 1 ok   # a mirror mid-sync for a moment: tried again, quietly
[ "$status" -eq 0 ] || fail "a failed first update stopped the set-up ($status)"
grep -q "could not be fetched" "$work/said" && fail "a retried update was reported as failed"
[ "$(cat "$work/updates")" -eq 2 ] || fail "the update was not tried again"

run 99 ok  # an index that stays broken: said, and the install goes on
[ "$status" -eq 0 ] || fail "an index that kept failing stopped the set-up ($status)"
grep -q "some package indexes could not be fetched; going on with the rest: Failed to fetch" \
  "$work/said" || fail "the failed index was not reported"

run 0 skew  # a version skew apt refuses: one line, the package and apt's reason
[ "$status" -eq 1 ] || fail "a refused install did not fail the set-up ($status)"
grep -qx "setup: cannot install libsndfile1-dev:i386: Unable to correct problems, you have held broken packages." \
  "$work/said" || fail "the refused install was not named in one line"
echo "setup against a registry in mid-sync: as expected"
