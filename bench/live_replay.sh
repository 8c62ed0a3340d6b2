#!/usr/bin/env bash
# The replay phase of the live load: the handshake capture replayed onto a veth pair
# with tcpreplay, captured on the other end by portsift and, on the same replay, by
# `tcpdump -w /dev/null` with the same filter and kernel buffer. Per rate offered it
# prints the packets a second tcpreplay reached under each capture, the share of
# packets each one's kernel buffer dropped (libpcap's own counts), and for portsift
# whether its report counts exactly the connections the generator put in.
#
# Run by live_load.sh inside its network namespace (it needs root and a namespace of
# its own: the veth pair it adds carries the replay and nothing else), or by hand
# inside one: unshare -n bench/live_replay.sh BUILD.
#
# Settings (environment):
#   REPLAY_RATES    packets a second asked of tcpreplay (--pps), lowest first; "max":
#                   --topspeed (default "25000 50000 100000 200000 max")
#   REPLAY_SECONDS  seconds each rate's capture lasts at that rate; "max" replays the
#                   capture of REPLAY_TOP_CONNECTIONS (default 4)
#   REPLAY_TOP_CONNECTIONS  connections of the capture replayed at top speed
#                   (default 300000: about 1.2 million packets)
#   REPLAY_REPEATS  runs per rate and capturer (default 3)
#   BUFFERS         kernel buffer sizes in MB to compare, each portsift's from its build
#                   in BUILD-live-<N>mb (live_load.sh makes them) and tcpdump's -B;
#                   empty: portsift's built-in size, PORTSIFT_LIVE_BUFFER_KB as
#                   src/run/source.cc sets it (default empty)
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
build=${1:?usage: live_replay.sh BUILD}
rates=${REPLAY_RATES-25000 50000 100000 200000 max}
seconds=${REPLAY_SECONDS:-4}
top_connections=${REPLAY_TOP_CONNECTIONS:-300000}
repeats=${REPLAY_REPEATS:-3}
default_kb=$(sed -n 's/^#define PORTSIFT_LIVE_BUFFER_KB \([0-9]*\)$/\1/p' "$root/src/run/source.cc")
sizes=${BUFFERS:-default}
port=80
sender=psreplay0
capturer=pscapture0
gen=$build/bench/gen_capture
# The handshake workload averages 3.98 packets a connection.
packets_per_connection=3.98

[ -n "$rates" ] || exit 0
for tool in tcpreplay tcpdump; do
  if ! command -v "$tool" >/dev/null; then
    echo "live_replay.sh: $tool is missing (Debian package $tool; make bench-live installs it)" >&2
    exit 2
  fi
done

scratch=$(mktemp -d)
cleanup() {
  ip link del "$sender" 2>/dev/null || true
  rm -rf "$scratch"
}
trap cleanup EXIT

# The pair: tcpreplay writes to one end, the capture reads the other. The capturing
# end has an address, since portsift looks the interface's network up for its
# filter; the replayed frames are for other hardware addresses, so the kernel's own
# stack drops them after the capture and answers none. No IPv6: no router
# solicitations on the pair.
sysctl -qw net.ipv6.conf.all.disable_ipv6=1 net.ipv6.conf.default.disable_ipv6=1 2>/dev/null || true
ip link add "$sender" type veth peer name "$capturer"
ip addr add 198.51.100.2/30 dev "$capturer"
ip link set "$sender" up
ip link set "$capturer" up
ip link set lo up

# portsift's filter text, from its own trace of it on the smallest capture.
"$gen" --workload handshake --connections 1 --out "$scratch/one.pcap" >/dev/null
filter=$("$build/portsift" -d -p "$port" -r "$scratch/one.pcap" | sed -n 's/^.*Setting filter to //p')

# field and wait_filter.
# shellcheck source=bench/live_common.sh
source "$root/bench/live_common.sh"

# The capture of a rate: its size made for REPLAY_SECONDS at that rate.
capture_of() {
  local rate=$1 connections file
  if [ "$rate" = max ]; then
    connections=$top_connections
  else
    connections=$(awk -v r="$rate" -v s="$seconds" -v p="$packets_per_connection" \
      'BEGIN {print int(r * s / p)}')
  fi
  file=$scratch/handshake-$connections.pcap
  if [ ! -f "$file" ]; then
    "$gen" --workload handshake --connections "$connections" --out "$file" >"$file.meta"
  fi
  echo "$file"
}

# One run: capturer (portsift or tcpdump), rate, capture, buffer size in MB or
# "default". Prints one result line:
# packets sent, packets a second reached, packets received and dropped as the
# capturer's libpcap counts them, exact (portsift's report against the generator's
# totals; - for tcpdump), connections missing from the report, and why a run failed.
one_run() {
  local who=$1 rate=$2 file=$3 mb=$4 out=$scratch/out err=$scratch/err replay=$scratch/replay
  local portsift=$build/portsift buffer_kb=$default_kb
  if [ "$mb" != default ]; then
    portsift=$build-live-${mb}mb/portsift
    buffer_kb=$(awk -v m="$mb" 'BEGIN {print int(m * 1024)}')
  fi
  local meta pid speed=(--topspeed)
  meta=$(cat "$file.meta")
  [ "$rate" = max ] || speed=(--pps="$rate")
  # The capture lasts past the replay: it is stopped by SIGINT once the replay is done,
  # and by its own limit (portsift's -t) or timeout's at the latest.
  local limit
  limit=$(awk -v n="$(field packets "$meta")" -v s="$seconds" 'BEGIN {print int(n / 20000 + 3 * s) + 20}')
  if [ "$who" = portsift ]; then
    timeout -s KILL $((limit + 10)) "$portsift" -p "$port" -i "$capturer" -t "$limit" \
      >"$out" 2>"$err" &
  else
    timeout -s KILL $((limit + 10)) tcpdump -p -n -i "$capturer" -B "$buffer_kb" -w /dev/null \
      "$filter" >"$out" 2>"$err" &
  fi
  pid=$!
  wait_filter "$pid" || true
  local replay_status=0
  timeout "$limit" tcpreplay -q -i "$sender" "${speed[@]}" "$file" >"$replay" 2>&1 ||
    replay_status=$?
  # What is still in the ring, and the last block of the kernel's, handed over.
  sleep 1.5
  kill -INT "$pid" 2>/dev/null || true
  local status=0
  wait "$pid" || status=$?

  local sent pps received dropped exact=- missing=- why=
  sent=$(sed -n 's/^Actual: \([0-9]*\) packets.*/\1/p' "$replay")
  pps=$(sed -n 's/^Rated: .* \([0-9.]*\) pps$/\1/p' "$replay")
  if [ "$replay_status" -ne 0 ] || [ -z "$sent" ]; then
    echo "- - - - - - tcpreplay failed: $(tr '\n' ' ' <"$replay")"
    return
  fi
  if [ "$who" = portsift ]; then
    received=$(sed -n 's/^\([0-9]*\) Packets received$/\1/p' "$err")
    dropped=$(sed -n 's/^\([0-9]*\) Packets dropped$/\1/p' "$err")
    local expected got
    expected="$(field completed "$meta") $(field resets "$meta") $(field syns "$meta") $(field dup_syns "$meta") $(field unanswered "$meta") $(field unanswered_syns "$meta") $(field left_open "$meta")"
    got=$(awk '
      /^Total Connections \(terminated by FIN\):/ {c = $NF}
      /^Connections terminated by RESET:/ {r = $NF}
      /^Total number of SYNs:/ {s = $5; d = $7; sub(/\)/, "", d)}
      /^Number of unique connections dropped by the server:/ {u = $NF}
      /^Number of SYNs from incomplete connections:/ {i = $NF}
      /^Number of established connections in progress:/ {o = $7}
      END {print c, r, s, d, u, i, o}' "$out")
    [ "$got" = "$expected" ] && exact=yes || exact=no
    # Completed and reset connections the report lacks.
    missing=$(awk -v e="$expected" -v g="$got" 'BEGIN {split(e, x); split(g, y); print x[1] + x[2] - y[1] - y[2]}')
    [ "$status" -eq 0 ] || why="portsift exit status $status: $(tr '\n' ' ' <"$err")"
  else
    received=$(sed -n 's/^\([0-9]*\) packets\{0,1\} received by filter$/\1/p' "$err")
    dropped=$(sed -n 's/^\([0-9]*\) packets\{0,1\} dropped by kernel$/\1/p' "$err")
    [ "$status" -eq 0 ] || why="tcpdump exit status $status: $(tr '\n' ' ' <"$err")"
  fi
  echo "$sent ${pps%.*} ${received:--} ${dropped:--} $exact $missing $why"
}

median() { sort -g | awk '{v[NR] = $1} END {if (NR == 0) {print "-"; exit} print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2}'; }

echo
echo "replay: the handshake capture onto a veth pair, $seconds s a rate, $repeats runs a point,"
echo "the same kernel buffer for both (default: portsift's $default_kb KB), filter: $filter"
echo "load before: $(cut -d' ' -f1-3 /proc/loadavg)"
for rate in $rates; do
  file=$(capture_of "$rate")
  for r in $(seq "$repeats"); do
    # Every other round tcpdump goes first, so a drifting machine favours neither.
    order="portsift tcpdump"
    [ $((r % 2)) -eq 1 ] || order="tcpdump portsift"
    for mb in $sizes; do
      for who in $order; do
        line=$(one_run "$who" "$rate" "$file" "$mb")
        echo "$line" >>"$scratch/runs-$who-$mb-$rate"
        read -r sent pps received dropped exact missing why <<<"$line"
        printf 'replay %s, buffer %s, rate %s, run %d: %s sent at %s packets/s, %s received, %s dropped, exact %s, connections missing %s %s\n' \
          "$who" "$mb" "$rate" "$r" "$sent" "$pps" "$received" "$dropped" "$exact" "$missing" "$why"
      done
    done
  done
done
echo "load after: $(cut -d' ' -f1-3 /proc/loadavg)"
echo
echo "buffer: kernel buffer in MB; asked: packets a second asked of tcpreplay; reached: what"
echo "it reached under each capture (median of the runs); dropped: share of the packets sent"
echo "that libpcap counted dropped (highest of the runs); exact: portsift runs whose report"
echo "counts every connection the generator made"
printf '%-8s %-8s %17s %17s %13s %13s %6s\n' buffer asked reached_portsift reached_tcpdump \
  drop_portsift drop_tcpdump exact
share() {  # the highest share of sent packets dropped among the runs of a file
  awk '$4 != "-" && $1 > 0 {s = $4 / $1; if (s > m) m = s; n++} END {if (n == 0) print "-"; else printf "%.4f%%", m * 100}' "$1"
}
for mb in $sizes; do
  for rate in $rates; do
    p=$scratch/runs-portsift-$mb-$rate
    t=$scratch/runs-tcpdump-$mb-$rate
    printf '%-8s %-8s %17s %17s %13s %13s %6s\n' "$mb" "$rate" \
      "$(cut -d' ' -f2 "$p" | grep -v -- - | median)" "$(cut -d' ' -f2 "$t" | grep -v -- - | median)" \
      "$(share "$p")" "$(share "$t")" "$(awk '$5 == "yes"' "$p" | wc -l)/$repeats"
  done
done
