#!/usr/bin/env bash
# Soak: portsift as a service under ten minutes of steady churn, a spoofed SYN flood
# and clients that vanish without FIN or RST, its record files rotated every 30 s.
# It passes when
#   - the peak RSS of the last minute is within 10 % of the second minute's (the
#     first fills the table up to where expiry holds it),
#   - the open descriptors never change,
#   - every counter of /metrics only grows from one scrape to the next,
#   - the rotated record files hold every record once, each file whole, and agree
#     with the final report.
# Everything runs in a network namespace of its own (unshare -n). Needs root.
#
# Settings (environment):
#   BENCH_BUILD  the Release build folder (default build-bench in the repo)
#   DURATION     seconds (default 600)
#   CHURN        the driver's connections a second (default 300)
#   FLOOD        spoofed SYNs a second (default 500)
#   VANISH       vanishing connections a second (default 20)
#   ROTATE       seconds between rotations (default 30)
#   SAMPLE       seconds between samples of RSS, descriptors and /metrics (default 5)
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
build=${BENCH_BUILD:-$root/build-bench}
duration=${DURATION:-600}
churn=${CHURN:-300}
flood=${FLOOD:-500}
vanish=${VANISH:-20}
rotate=${ROTATE:-30}
sample=${SAMPLE:-5}
port=8080          # the driver's server, and the flood's target
vanish_port=8090   # soak_load's listener
metrics=127.0.0.1:9920
# Expiry short enough that the table is steady within the first minute.
expiry=(--syn-timeout 20 --closing-timeout 20 --max-age 40)

if [ "$(id -u)" -ne 0 ]; then
  echo "soak.sh: needs root (capture, raw socket, TCP repair)" >&2
  exit 2
fi
if [ -z "${SOAK_NAMESPACE:-}" ]; then
  cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=Release -DPORTSIFT_TESTS=OFF >/dev/null
  cmake --build "$build" -j"${JOBS:-2}" --target portsift traffic_driver soak_load >/dev/null
  SOAK_NAMESPACE=1 BENCH_BUILD=$build exec unshare -n "$0" "$@"
fi

ip link set lo up
driver=$build/bench/traffic_driver
[ -x "$driver" ] || driver=$build/tests/traffic_driver
work=$(mktemp -d /tmp/portsift-soak.XXXXXX)
echo "soak: $duration s in $work (churn $churn/s, flood $flood/s, vanish $vanish/s, rotation every $rotate s)"

"$build/portsift" -i lo -p "$port,$vanish_port" --metrics "$metrics" "${expiry[@]}" \
  --conns "$work/conns.csv" --interval 10 --intervals "$work/rows.csv" \
  >"$work/report" 2>"$work/err" &
pid=$!
for _ in $(seq 100); do
  curl -sf -o /dev/null "http://$metrics/metrics" && break
  sleep 0.1
done

"$driver" --port "$port" --completed 19 --resets 1 --client-bytes 200 --server-bytes 2000 \
  --threads 2 --rate "$churn" --duration-ms $((duration * 1000)) >"$work/driver" 2>&1 &
driver_pid=$!
"$build/bench/soak_load" --port "$port" --seconds "$duration" --flood "$flood" >"$work/flood" 2>&1 &
flood_pid=$!
"$build/bench/soak_load" --port "$vanish_port" --seconds "$duration" --vanish "$vanish" \
  >"$work/vanish" 2>&1 &
vanish_pid=$!

# Samples: seconds since the start, RSS in kB, open descriptors; and the exposition.
start=$(date +%s)
rotation=0
next_rotation=$rotate
: >"$work/samples"
mkdir -p "$work/scrapes"
while kill -0 "$driver_pid" 2>/dev/null; do
  now=$(($(date +%s) - start))
  rss=$(awk '/^VmRSS:/ {print $2}' "/proc/$pid/status")
  fds=$(find "/proc/$pid/fd" -mindepth 1 | wc -l)
  echo "$now $rss $fds" >>"$work/samples"
  curl -sf "http://$metrics/metrics" >"$work/scrapes/$(printf '%06d' "$now")" || true
  if [ "$now" -ge "$next_rotation" ]; then
    rotation=$((rotation + 1))
    mv "$work/conns.csv" "$work/conns.$rotation.csv"
    mv "$work/rows.csv" "$work/rows.$rotation.csv"
    kill -HUP "$pid"
    next_rotation=$((next_rotation + rotate))
  fi
  sleep "$sample"
done
wait "$flood_pid" "$vanish_pid" || true
sleep 1
kill -INT "$pid"
wait "$pid" || { echo "soak: portsift ended with status $?"; cat "$work/err"; exit 1; }

failed=0
fail() { echo "FAIL: $*"; failed=1; }

# RSS: the peaks of the second and of the last minute.
peak() { awk -v from="$1" -v to="$2" '$1 >= from && $1 < to && $2 > p {p = $2} END {print p + 0}' "$work/samples"; }
second=$(peak 60 120)
last=$(peak $((duration - 60)) $((duration + 60)))
echo "peak RSS: second minute $second kB, last minute $last kB"
awk -v a="$second" -v b="$last" 'BEGIN {exit !(b <= a * 1.1 && b >= a * 0.9)}' ||
  fail "the last minute's peak RSS is not within 10 % of the second minute's"
fd_counts=$(cut -d' ' -f3 "$work/samples" | sort -u | paste -sd' ')
echo "open descriptors: $fd_counts"
[ "$(wc -w <<<"$fd_counts")" -eq 1 ] || fail "the open descriptors changed"

# Counters: every sample of every counter series at least the one before.
scrapes=("$work"/scrapes/*)
echo "scrapes: ${#scrapes[@]}"
if ! awk '
  FNR == 1 { file++ }
  /^# TYPE / { type[$3] = $4; next }
  /^#/ { next }
  {
    series = $1; name = series; sub(/\{.*/, "", name); base = name
    sub(/_(bucket|sum|count)$/, "", base)
    if (type[name] != "counter" && type[base] != "histogram") next
    if (series in last && $2 + 0 < last[series] + 0) {
      print "not monotonic: " series " " last[series] " then " $2; bad = 1
    }
    last[series] = $2
  }
  END { exit bad }' "${scrapes[@]}"; then
  fail "a counter went down"
fi

# Records: each file whole (the header, then rows of as many fields), no record
# twice, and the counted, reset and unanswered ones as many as the report says.
conn_files=("$work"/conns.*.csv "$work/conns.csv")
if ! awk -F, '
  FNR == 1 { if (NR > 1 && $0 != header) { print FILENAME ": another header"; bad = 1 }
             header = $0; fields = NF
             for (i = 1; i <= NF; i++) col[$i] = i; next }
  NF != fields { print FILENAME ":" FNR ": " NF " fields"; bad = 1; next }
  {
    key = $col["client"] "," $col["client_port"] "," $col["start_us"] "," $col["state"]
    if (key in seen) { print "twice: " key; bad = 1 }
    seen[key] = 1
    if ($col["counted"] == "true") counted++
    states[$col["state"]]++
  }
  END {
    printf "records: %d, counted %d", NR, counted
    for (s in states) printf ", %s %d", s, states[s]
    printf "\n"
    print counted + 0 > "/dev/stderr"
    print states["reset"] + 0 > "/dev/stderr"
    print states["unanswered"] + 0 > "/dev/stderr"
    exit bad
  }' "${conn_files[@]}" 2>"$work/record_counts"; then
  fail "the record files are not whole, or hold a record twice"
fi
mapfile -t counts <"$work/record_counts"
sum_report() { sed -n "s/^$1\([0-9]*\).*/\1/p" "$work/report" | awk '{s += $1} END {print s + 0}'; }
report_counted=$(sum_report 'Total Connections (terminated by FIN): ')
report_resets=$(sum_report 'Connections terminated by RESET: ')
report_dropped=$(sum_report 'Number of unique connections dropped by the server: ')
echo "report: counted $report_counted, resets $report_resets, dropped by the server $report_dropped"
[ "${counts[0]}" = "$report_counted" ] || fail "counted records ${counts[0]}, report $report_counted"
[ "${counts[1]}" = "$report_resets" ] || fail "reset records ${counts[1]}, report $report_resets"
[ "${counts[2]}" = "$report_dropped" ] || fail "unanswered records ${counts[2]}, report $report_dropped"
echo "driver: $(grep '^DONE' "$work/driver" || tail -1 "$work/driver")"
echo "flood: $(cat "$work/flood")  vanish: $(cat "$work/vanish")"
echo "rotations: $rotation"
[ "$failed" -eq 0 ] && echo "soak: passed" && rm -rf "$work"
exit "$failed"
