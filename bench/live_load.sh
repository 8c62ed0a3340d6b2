#!/usr/bin/env bash
# Live load: how many connections a second portsift follows live without losing one.
#
# The traffic driver (tests/live/traffic_driver.cc) makes connections on the loopback
# interface, from 127.0.0.2 to a server on 127.0.0.1, as fast as it can or at set
# rates, while `portsift -p PORT -i lo -t SECONDS` captures them. A run is clean when
# portsift exits 0, says "0 Packets dropped", and its report counts exactly what the
# driver made: completed connections, resets, SYNs (those the kernel sent again are
# the duplicates), and none left unanswered, open or closing.
#
# Everything runs in a network namespace of its own (unshare -n): its loopback
# carries the load and nothing else, so the live tests of other work on this machine
# neither see this traffic nor add to it. Needs root.
#
# Settings (environment):
#   BENCH_BUILD   the Release build folder (default build-bench in the repo, as make bench)
#   RATES         connection rates to try, a second, lowest first; "max": as fast as
#                 the driver goes (default "6000 9000 12000 max"; empty: none)
#   THREADS       the driver's clients, and as many server threads; several numbers
#                 compare them (default 4)
#   REPEATS       runs per rate (default 3)
#   DURATION      seconds of traffic per run (default 8)
#   BUFFERS       kernel capture buffer sizes in MB to compare, each in a portsift
#                 built for it (in BENCH_BUILD-live-<N>mb), in the replay against
#                 tcpdump with the same -B; empty: only the built-in default
#                 (default empty)
#   CLIENT_BYTES, SERVER_BYTES  bytes of each request and answer (default 100, 1000)
#   SCRAPE_PORTS  after the rates: runs as fast as the driver goes with --metrics and a
#                 scrape every second, watching this many ports each (the load on
#                 one of them); the scrapes' latency p50 and p99 (default "1 100";
#                 empty: none)
#   SCRAPE_RATE   the rate of those runs (default max)
#   REPLAY_RATES  last, the replay phase (bench/live_replay.sh, its settings there):
#                 the handshake capture replayed with tcpreplay onto a veth pair at
#                 these packet rates, captured by portsift and by tcpdump in turn
#                 (default "25000 50000 100000 200000 max"; empty: none)
#
# RATES= SCRAPE_PORTS= runs the replay phase alone.
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
build=${BENCH_BUILD:-$root/build-bench}
rates=${RATES-6000 9000 12000 max}
threads=${THREADS:-4}
repeats=${REPEATS:-3}
duration=${DURATION:-8}
buffers=${BUFFERS:-}
client_bytes=${CLIENT_BYTES:-100}
server_bytes=${SERVER_BYTES:-1000}
scrape_ports=${SCRAPE_PORTS-1 100}
scrape_rate=${SCRAPE_RATE:-max}
metrics=127.0.0.1:9920
port=8080
refused_port=8081
# The sequence each client repeats: completed connections, closed by either side in
# turn, and one in twenty aborted with a reset.
mix=(--completed 19 --resets 1)

if [ "$(id -u)" -ne 0 ]; then
  echo "live_load.sh: needs root, to capture on the loopback interface" >&2
  exit 2
fi

# Outside the namespace: build, then run this script again inside one.
if [ -z "${LIVE_LOAD_NAMESPACE:-}" ]; then
  configure() {  # folder, extra C++ flags
    cmake -S "$root" -B "$1" -DCMAKE_BUILD_TYPE=Release \
      -DCMAKE_CXX_FLAGS_RELEASE="-O2 -DNDEBUG" -DCMAKE_CXX_FLAGS="$2" -DPORTSIFT_TESTS=OFF \
      >/dev/null
  }
  configure "$build" ""
  cmake --build "$build" -j"${JOBS:-2}" --target portsift traffic_driver measure gen_capture >/dev/null
  for mb in $buffers; do
    configure "$build-live-${mb}mb" "-DPORTSIFT_LIVE_BUFFER_KB=$(awk -v m="$mb" 'BEGIN {print int(m * 1024)}')"
    cmake --build "$build-live-${mb}mb" -j"${JOBS:-2}" --target portsift >/dev/null
  done
  if ! unshare -n true 2>/dev/null; then
    echo "live_load.sh: cannot make a network namespace (unshare -n)" >&2
    exit 2
  fi
  LIVE_LOAD_NAMESPACE=1 BENCH_BUILD=$build exec unshare -n "$0" "$@"
fi

ip link set lo up
driver=$build/bench/traffic_driver
[ -x "$driver" ] || driver=$build/tests/traffic_driver
measure=$build/bench/measure
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT

# field and wait_filter.
# shellcheck source=bench/live_common.sh
source "$root/bench/live_common.sh"

# The ports a run with N ports watches: the loaded one, then others that see nothing.
ports_of() {
  if [ "$1" -le 1 ]; then echo "$port"; else echo "$port,9000-$((9000 + $1 - 2))"; fi
}

# Scrapes /metrics once a second while portsift ($1) runs, each scrape's seconds on a
# line of $2.
scrape_loop() {
  local pid=$1 into=$2
  while kill -0 "$pid" 2>/dev/null; do
    curl -s -o /dev/null --max-time 5 -w '%{time_total}\n' "http://$metrics/metrics" >>"$into" || true
    sleep 1
  done
}

# One run: portsift binary, rate ("max" or a number), driver threads, and with a
# fourth argument N the run serves --metrics for N ports and is scraped every second
# (the latencies go to $scratch/scrapes). Prints one result line:
# connections a second reached, packets received, dropped, exact (yes/no), SYNs
# sent again, portsift's processor time (user + system, s), and the reason when the
# run is not clean.
one_run() {
  local portsift=$1 rate=$2 threads=$3 nports=${4:-0} rate_args=() out=$scratch/out err=$scratch/err
  local watch=("-p" "$port")
  [ "$nports" -eq 0 ] || watch=(-p "$(ports_of "$nports")" --metrics "$metrics")
  local drv=$scratch/drv
  [ "$rate" = max ] || rate_args=(--rate "$rate")
  rm -f "$scratch/go"
  mkfifo "$scratch/go"
  "$driver" --port "$port" --refused-port "$refused_port" "${mix[@]}" \
    --client-bytes "$client_bytes" --server-bytes "$server_bytes" --threads "$threads" \
    "${rate_args[@]}" --duration-ms $((duration * 1000)) --stats --go-on-stdin \
    <"$scratch/go" >"$drv" 2>&1 &
  local driver_pid=$!
  exec 3>"$scratch/go"
  # The capture outlasts the traffic: the filter's wait, and the last connections.
  rm -f "$scratch/cpu"
  "$measure" "$scratch/cpu" "$portsift" "${watch[@]}" -i lo -t $((duration + 3)) >"$out" 2>"$err" &
  local portsift_pid=$!
  wait_filter "$portsift_pid" || true
  local scraper_pid=
  if [ "$nports" -ne 0 ]; then
    scrape_loop "$portsift_pid" "$scratch/scrapes" &
    scraper_pid=$!
  fi
  echo go >&3
  exec 3>&-
  local driver_status=0 portsift_status=0
  wait "$driver_pid" || driver_status=$?
  wait "$portsift_pid" || portsift_status=$?
  [ -z "$scraper_pid" ] || wait "$scraper_pid" || true

  local done_line stats_line
  done_line=$(grep '^DONE ' "$drv" || true)
  stats_line=$(grep '^STATS ' "$drv" || true)
  if [ "$driver_status" -ne 0 ] || [ -z "$stats_line" ]; then
    echo "- - - no - - driver failed: $(tr '\n' ' ' <"$drv")"
    return
  fi
  local completed resets again reached received dropped cpu
  cpu=$(awk '{printf "%.2f", $4 + $5}' "$scratch/cpu")
  completed=$(field completed "$done_line")
  resets=$(field resets "$done_line")
  again=$(field syn_retransmits "$stats_line")
  reached=$(field rate "$stats_line")  # the mix has no refused attempts: all are connections
  received=$(sed -n 's/^\([0-9]*\) Packets received$/\1/p' "$err")
  dropped=$(sed -n 's/^\([0-9]*\) Packets dropped$/\1/p' "$err")
  local expected got why=
  expected="Total Connections (terminated by FIN): $completed
Avg Client Data: $((client_bytes + 1)) bytes
Avg Server Data: $((server_bytes + 1)) bytes
Total number of SYNs: $((completed + resets + again)) (duplicates: $again)
Connections terminated by RESET: $resets
Number of unique connections dropped by the server: 0
Number of SYNs from incomplete connections: 0
Number of established connections in progress: 0 (0 may have been discarded by the client)
Number of connections in closing state: 0"
  # With several ports the loaded port's report is the first.
  got=$(sed -n "1,/^\$/p" "$out" | grep -E '^(Total Connections|Avg Client Data|Avg Server Data|Total number of SYNs|Connections terminated|Number of unique|Number of SYNs from|Number of established|Number of connections in closing)' "$out" || true)
  if [ "$portsift_status" -ne 0 ]; then
    why="portsift exit status $portsift_status: $(tr '\n' ' ' <"$err")"
  elif [ "$nports" -ne 0 ] && ! grep -q ": serving as root" "$err"; then
    why="no metrics endpoint: $(tr '\n' ' ' <"$err")"
  elif [ "$got" != "$expected" ]; then
    why="report: $(diff <(echo "$expected") <(echo "$got") | grep '^>' | tr '\n' ' ')"
  fi
  echo "$reached ${received:--} ${dropped:--} $([ -z "$why" ] && echo yes || echo no) $again $cpu $why"
}

median() { sort -g | awk '{v[NR] = $1} END {print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2}'; }

# The connection rates.
if [ -n "$rates" ]; then
  echo "live load: $duration s of traffic a run, $repeats runs a point"
  echo "load before: $(cut -d' ' -f1-3 /proc/loadavg)"
  sizes=${buffers:-default}
  for rate in $rates; do
    for r in $(seq "$repeats"); do
      # Each round runs every buffer size and number of clients once, so a machine
      # whose load drifts favours none of them.
      for t in $threads; do
        for mb in $sizes; do
          portsift=$build/portsift
          [ "$mb" = default ] || portsift=$build-live-${mb}mb/portsift
          line=$(one_run "$portsift" "$rate" "$t")
          echo "$line" >>"$scratch/runs-$t-$mb-$rate"
          read -r reached received dropped exact again cpu why <<<"$line"
          printf 'clients %s, buffer %s, rate %s, run %d: %s connections/s, %s received, %s dropped, exact %s, SYNs sent again %s, portsift CPU %s s %s\n' \
            "$t" "$mb" "$rate" "$r" "$reached" "$received" "$dropped" "$exact" "$again" "$cpu" "$why"
        done
      done
    done
  done
  echo "load after: $(cut -d' ' -f1-3 /proc/loadavg)"
  echo
  echo "clients: the driver's; buffer: kernel capture buffer in MB; reached: connections a"
  echo "second (median, lowest, highest of the runs); drops: each run's; clean: runs with 0"
  echo "drops and exact counts"
  printf '%-7s %-8s %-6s %8s %8s %8s  %-14s %s\n' clients buffer rate reached lowest highest drops clean
  for t in $threads; do
    for mb in $sizes; do
      highest=none
      broken=0
      for rate in $rates; do
        runs=$scratch/runs-$t-$mb-$rate
        reached=$(cut -d' ' -f1 "$runs" | grep -v -- - | median || true)
        lo=$(cut -d' ' -f1 "$runs" | grep -v -- - | sort -g | head -1)
        hi=$(cut -d' ' -f1 "$runs" | grep -v -- - | sort -g | tail -1)
        drops=$(cut -d' ' -f3 "$runs" | paste -sd/)
        clean=$(awk '$3 == "0" && $4 == "yes"' "$runs" | wc -l)
        printf '%-7s %-8s %-6s %8s %8s %8s  %-14s %s/%s\n' "$t" "$mb" "$rate" "${reached:--}" \
          "${lo:--}" "${hi:--}" "$drops" "$clean" "$repeats"
        # The rates are taken in the order given: the highest counts only while every
        # rate before it was clean too.
        [ "$clean" -eq "$repeats" ] || broken=1
        [ "$broken" -eq 0 ] && highest="$rate (median ${reached:--} connections/s)"
      done
      printf '%-7s %-8s highest rate clean in every run, with every rate before it: %s\n' "$t" \
        "$mb" "$highest"
    done
  done
fi

# Scrapes while the load runs as fast as the driver goes: the run must stay clean,
# and a scrape answered quickly however many ports the exposition holds.
if [ -n "$scrape_ports" ]; then
  echo
  echo "scraped every second, rate $scrape_rate, clients ${threads%% *}: reached, drops, clean runs, scrape latency"
  printf '%-6s %8s  %-14s %-6s %10s %10s %s\n' ports reached drops clean p50_ms p99_ms scrapes
  quantile() {  # q: of the numbers on standard input
    sort -g | awk -v q="$1" '{v[NR] = $1} END {if (NR == 0) {print "-"; exit} i = int(q * (NR - 1) + 0.5) + 1; printf "%.2f", v[i] * 1000}'
  }
  for n in $scrape_ports; do
    rm -f "$scratch/scrapes" "$scratch/scraped-$n"
    for r in $(seq "$repeats"); do
      line=$(one_run "$build/portsift" "$scrape_rate" "${threads%% *}" "$n")
      echo "$line" >>"$scratch/scraped-$n"
      read -r reached received dropped exact again cpu why <<<"$line"
      printf 'ports %s, run %d: %s connections/s, %s dropped, exact %s %s\n' "$n" "$r" "$reached" \
        "$dropped" "$exact" "$why"
    done
    runs=$scratch/scraped-$n
    reached=$(cut -d' ' -f1 "$runs" | grep -v -- - | median || true)
    printf '%-6s %8s  %-14s %-6s %10s %10s %s\n' "$n" "${reached:--}" "$(cut -d' ' -f3 "$runs" | paste -sd/)" \
      "$(awk '$3 == "0" && $4 == "yes"' "$runs" | wc -l)/$repeats" \
      "$(quantile 0.5 <"$scratch/scrapes")" "$(quantile 0.99 <"$scratch/scrapes")" \
      "$(wc -l <"$scratch/scrapes")"
  done
fi

# Last, the replay: portsift and tcpdump on the same packets at the same rates.
"$root/bench/live_replay.sh" "$build"
