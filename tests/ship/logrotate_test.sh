#!/bin/sh
# The logrotate snippet, run for real on a scratch copy of /var/log/portsift: the
# record files are renamed and no empty ones are put in their place (portsift
# opens them itself), and the running service gets one SIGHUP for all of them,
# through a stand-in systemctl that logs its calls.
# Usage: logrotate_test.sh SOURCE_DIR
# Without logrotate the test is skipped (status 77), except under CI, which
# installs it (scripts/install-deps.sh): there it fails.
set -eu
src=$1
PATH=$PATH:/usr/sbin:/sbin  # where logrotate is, even for a user whose PATH lacks them
if ! command -v logrotate > /dev/null; then
  echo "logrotate not found: apt-get install logrotate"
  [ -n "${CI:-}" ] && exit 1
  exit 77
fi
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
status=0
fail() { echo "FAIL: $*"; status=1; }

mkdir "$tmp/log" "$tmp/bin"
grep -q '^/var/log/portsift/' "$src/dist/logrotate/portsift" || fail "the snippet does not rotate /var/log/portsift"
# Debian's /etc/logrotate.conf says "create" before it includes the snippets.
{ echo create; sed "s|/var/log/portsift/|$tmp/log/|g" "$src/dist/logrotate/portsift"; } > "$tmp/portsift.conf"
chmod 644 "$tmp/portsift.conf"
cat > "$tmp/bin/systemctl" <<SH
#!/bin/sh
echo "\$*" >> "$tmp/systemctl.log"
SH
chmod +x "$tmp/bin/systemctl"
echo client,client_port > "$tmp/log/conns.csv"
echo '{"start_us":1}' > "$tmp/log/intervals.json"
: > "$tmp/log/empty.csv"

PATH="$tmp/bin:$PATH" logrotate -f -s "$tmp/state" "$tmp/portsift.conf" > "$tmp/out" 2>&1 ||
  fail "logrotate failed: $(cat "$tmp/out")"
(cd "$tmp/log" && ls) > "$tmp/files"
printf '%s\n' conns.csv.1 empty.csv intervals.json.1 | cmp -s - "$tmp/files" ||
  fail "after the rotation the folder holds: $(tr '\n' ' ' < "$tmp/files")"
grep -qx client,client_port "$tmp/log/conns.csv.1" || fail "conns.csv.1 is not the old file"
printf '%s\n' "-q is-active portsift.service" "kill -s HUP portsift.service" |
  cmp -s - "$tmp/systemctl.log" || fail "systemctl calls: $(cat "$tmp/systemctl.log")"

[ $status -eq 0 ] && echo "logrotate: record files renamed, one SIGHUP"
exit $status
