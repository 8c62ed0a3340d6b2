#!/bin/sh
# portsift-chart on real reports of the bundled capture: a PNG for the default
# ordering, an SVG whose texts show the labels, unit and run taken from the report,
# and a clear refusal for what it cannot draw.
# Usage: chart_test.sh SOURCE_DIR PORTSIFT_BINARY
set -eu
src=$1
portsift=$2
chart=$src/scripts/portsift-chart
demo=$src/examples/demo.pcap
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
status=0
fail() { echo "FAIL: $*"; status=1; }

"$portsift" -p 8080 -r "$demo" -R | "$chart" -o "$tmp/d.png" 2>/dev/null || fail "PNG: exit status $?"
[ "$(head -c 8 "$tmp/d.png" | od -An -tx1 | tr -d ' \n')" = 89504e470d0a1a0a ] ||
  fail "PNG: not a PNG image"

# SVG keeps its texts: check what the chart says (gnuplot escapes & < > only).
"$portsift" -p 8080 -r "$demo" -R | "$chart" -o "$tmp/d.svg" 2>/dev/null || fail "SVG: exit status $?"
for text in 'Connections by duration' 'port 8080, 30 connections in 3.9 s' 'Duration (msecs)' \
  '>0-20<' '>300-320<' '>400+<' '>4<' '>3<'; do
  grep -qF -- "$text" "$tmp/d.svg" || fail "duration SVG lacks $text"
done
# The byte ordering from a file, only the table (no summary), a title of our own.
"$portsift" -p 8080 -r "$demo" -R -C -s 1 -n 6 | sed -n '/ClientBytes/,$p' > "$tmp/c.txt"
"$chart" -o "$tmp/c.svg" -t 'Request sizes' "$tmp/c.txt" 2>/dev/null || fail "bytes: exit status $?"
for text in 'Request sizes' 'ClientBytes (KB)' '>4-5<' '>6+<' '>24<' '>6<'; do
  grep -qF -- "$text" "$tmp/c.svg" || fail "bytes SVG lacks $text"
done
grep -qF 'connections in' "$tmp/c.svg" && fail "bytes SVG has a subtitle without a summary"

# What cannot be drawn: the case, the input, the expected message.
refuse() {
  name=$1
  expected=$2
  shift 2
  if "$@" > "$tmp/out" 2> "$tmp/err"; then
    fail "$name: accepted"
  elif ! grep -qF -- "$expected" "$tmp/err"; then
    fail "$name: said $(cat "$tmp/err")"
  fi
}
"$portsift" -p 8080 -r "$demo" > "$tmp/aligned.txt"
"$portsift" -p 81 -r "$demo" -R > "$tmp/empty.txt"
refuse aligned "not in raw form: run portsift with -R" "$chart" -o "$tmp/x.png" "$tmp/aligned.txt"
refuse no-connections "no connections were counted" "$chart" -o "$tmp/x.png" "$tmp/empty.txt"
echo "Results of monitoring port 8080 for 1.000000 seconds" > "$tmp/summary.txt"
refuse not-a-report "no distribution table found" "$chart" -o "$tmp/x.png" "$tmp/summary.txt"
refuse missing-file "cannot read" "$chart" -o "$tmp/x.png" "$tmp/none.txt"
refuse no-gnuplot "apt-get install gnuplot-nox" env PATH=/nonexistent /bin/sh "$chart" "$tmp/c.txt"
[ ! -e "$tmp/x.png" ] || fail "a refused report left a chart behind"

[ $status -eq 0 ] && echo "chart: PNG and SVG drawn, refusals clear"
exit $status
