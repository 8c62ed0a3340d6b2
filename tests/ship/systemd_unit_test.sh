#!/bin/sh
# The service unit: systemd-analyze verify finds nothing to say about it, and its
# sandbox rates an exposure of 2.0 or lower. verify also wants the ExecStart binary
# and the Documentation= page to exist; it reads a copy whose ExecStart names the
# built binary (that line alone differs) with the page on MANPATH.
# The unit's fallback options are those the defaults file ships.
# Usage: systemd_unit_test.sh SOURCE_DIR PORTSIFT_BINARY
# Without systemd-analyze the test is skipped (status 77), except under CI, which
# installs it (scripts/install-deps.sh): there it fails.
set -eu
src=$1
built=$2
unit=$src/dist/systemd/portsift.service
if ! command -v systemd-analyze > /dev/null; then
  echo "systemd-analyze not found: apt-get install systemd"
  [ -n "${CI:-}" ] && exit 1
  exit 77
fi
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
status=0
fail() { echo "FAIL: $*"; status=1; }

mkdir -p "$tmp/man/man1"
cp "$src/doc/portsift.1" "$tmp/man/man1/"
sed "s|^ExecStart=/usr/bin/portsift |ExecStart=$built |" "$unit" > "$tmp/portsift.service"
changed=$(diff "$unit" "$tmp/portsift.service" | grep -c '^>') || true
[ "$changed" = 1 ] || fail "the copy for verify differs in $changed lines, not in ExecStart alone"
if ! out=$(cd "$tmp" && MANPATH="$tmp/man" systemd-analyze verify ./portsift.service 2>&1); then
  fail "systemd-analyze verify failed: $out"
elif [ -n "$out" ]; then
  fail "systemd-analyze verify says: $out"
fi

out=$(cd "$tmp" && systemd-analyze security --offline=yes "$unit" 2>&1) || true
exposure=$(printf '%s\n' "$out" | sed -n 's/.*Overall exposure level for portsift\.service: \([0-9.]*\).*/\1/p')
if [ -z "$exposure" ]; then
  fail "systemd-analyze security gave no exposure level: $out"
elif ! awk -v e="$exposure" 'BEGIN { exit !(e <= 2.0) }'; then
  fail "exposure level $exposure, above 2.0:"
  printf '%s\n' "$out" | grep '✗'
fi

unit_options=$(sed -n 's/^Environment="PORTSIFT_OPTIONS=\(.*\)"$/\1/p' "$unit")
default_options=$(sed -n 's/^PORTSIFT_OPTIONS="\(.*\)"$/\1/p' "$src/dist/default/portsift")
[ -n "$unit_options" ] && [ "$unit_options" = "$default_options" ] ||
  fail "the unit's options ($unit_options) are not the defaults file's ($default_options)"

[ $status -eq 0 ] && echo "systemd unit: verify clean, exposure level $exposure"
exit $status
