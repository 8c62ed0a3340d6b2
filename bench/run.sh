#!/usr/bin/env bash
# The benchmark: portsift against the libpcap floor on large synthetic captures.
#
# Builds portsift and the tools in Release mode, generates the captures into a
# scratch folder (once; they are reused while the generator is unchanged), checks
# portsift's report against the totals the generator expects, then times a plain
# read of the file, the floor and portsift in turn for ROUNDS rounds after one
# warm-up round and prints, per workload, the medians of all three, the medians of
# the per-round ratios of portsift to the floor and to the read, and portsift's peak
# RSS per connection open at the peak.
#
# Settings (environment):
#   BENCH_DIR        where the captures go (default /tmp/portsift-bench)
#   BENCH_BUILD      the Release build folder (default build-bench in the repo)
#   ROUNDS           timed rounds per workload, at least 5 (default 7)
#   SEED             generator seed (default 1)
#   WORKLOADS        any of: mixed handshake open-peak ipv6-vlan ports10 scale (default
#                    the first five, mixed+conns and mixed+any; ipv6-vlan runs both
#                    with --decode-all; ports10 is the mixed capture's connections
#                    spread over ports 80 to 89, watched with -p 80-89); a workload
#                    followed by +conns times portsift writing every connection's
#                    record (--conns to /dev/null, CSV), by +all also the JSON report
#                    and one-second interval rows, by +any watching every port (-p
#                    any), by +html writing the --html page, by +1thread the
#                    file run on one thread (PORTSIFT_TRACKER_THREADS=1: the
#                    tracker not split), by +1core the run held to one processor
#                    (taskset -c 0), and prints its time against the plain
#                    workload's when both ran (ports10 against mixed too)
#   SCALE_OPEN       scale: connections left open at the end (default 2000000)
#   SCALE_COMPLETED  scale: connections completed (default 10000000)
#   KEEP_CAPTURES=0  delete each capture after its workload
#   DECODE_ALL=1     run every workload with --decode-all (the floor with its filter)
#   INPUTS           compressed and split inputs, each timed against its own baseline
#                    in the same rounds (default: mixed.zst mixed.gz handshake.zst
#                    handshake.gz mixed.set100; empty: none): W.zst and W.gz are
#                    workload W compressed, against zstd -dc and gzip -dc of the same
#                    file to /dev/null; W.setN is W cut into N files of equal record
#                    counts (split_capture), read as a directory, against portsift on
#                    the one file
#
# With libabsl-dev installed it also runs bench/index_bench.cc, which compares the
# connection table's endpoint index with absl::flat_hash_map.
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
bench_dir=${BENCH_DIR:-/tmp/portsift-bench}
build=${BENCH_BUILD:-$root/build-bench}
rounds=${ROUNDS:-7}
seed=${SEED:-1}
workloads=${WORKLOADS:-mixed mixed+conns mixed+any ports10 handshake open-peak ipv6-vlan}
scale_open=${SCALE_OPEN:-2000000}
scale_completed=${SCALE_COMPLETED:-10000000}
port=80

if [ "$rounds" -lt 5 ]; then
  echo "ROUNDS must be at least 5" >&2
  exit 2
fi
case "$bench_dir" in
  "$root"|"$root"/*) echo "BENCH_DIR must lie outside the repository" >&2; exit 2 ;;
esac

cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=Release -DCMAKE_CXX_FLAGS_RELEASE="-O2 -DNDEBUG" \
  -DPORTSIFT_TESTS=OFF >/dev/null
cmake --build "$build" -j"${JOBS:-2}" --target portsift floor gen_capture measure read_file \
  split_capture >/dev/null
# The index comparison needs libabsl-dev; without it the rest still runs.
cmake --build "$build" -j"${JOBS:-2}" --target index_bench >/dev/null 2>&1 || true
portsift=$build/portsift
floor=$build/bench/floor
gen=$build/bench/gen_capture
measure=$build/bench/measure
read_file=$build/bench/read_file
split_capture=$build/bench/split_capture
inputs=${INPUTS-mixed.zst mixed.gz handshake.zst handshake.gz mixed.set100}

mkdir -p "$bench_dir"
# Captures are named after the generator's source, so a changed generator makes new ones.
gen_id=$(sha1sum "$root/bench/gen_capture.cc" | cut -c1-8)

# The value of name=... in a generator line.
field() { tr ' ' '\n' <<<"$2" | sed -n "s/^$1=//p"; }
median() { sort -g | awk '{v[NR] = $1} END {print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2}'; }

# The arguments a +variant adds to portsift's command line.
variant_args() {
  case "$1" in
    "") ;;
    conns) echo "--conns /dev/null --conns-format csv" ;;
    all) echo "--conns /dev/null --conns-format csv --interval 1 --intervals /dev/null --intervals-format csv --json" ;;
    any) echo "-p any" ;;
    # The page of the run, written at its end (the percentiles and top lists it
    # gathers included): scale+html against scale is what a page costs at scale.
    html) echo "--html $bench_dir/page.html" ;;
    1thread|1core) ;;  # how it runs, not what it is asked (variant_runner)
    *) echo "unknown variant: +$1" >&2; exit 2 ;;
  esac
}

# What a variant runs portsift under.
variant_runner() {
  case "$1" in
    1thread) echo "env PORTSIFT_TRACKER_THREADS=1" ;;
    1core) echo "taskset -c 0" ;;
  esac
}

# Generates (if needed) and checks one capture; sets $capture, $meta and the options
# portsift and the floor run with ($options, $floor_options).
prepare() {
  local w=$1 args
  options=()
  floor_options=()
  port=80
  case "$w" in
    scale)
      capture=$bench_dir/scale-${scale_open}open-${scale_completed}done-seed$seed-$gen_id.pcap
      args=(--workload scale --open "$scale_open" --completed "$scale_completed") ;;
    mixed|handshake|open-peak|ipv6-vlan)
      capture=$bench_dir/$w-seed$seed-$gen_id.pcap
      args=(--workload "$w") ;;
    ports10)
      capture=$bench_dir/$w-seed$seed-$gen_id.pcap
      args=(--workload mixed --ports 10)
      port=80-89 ;;
    *) echo "unknown workload: $w" >&2; exit 2 ;;
  esac
  if [ "$w" = ipv6-vlan ] || [ "${DECODE_ALL:-0}" = 1 ]; then
    options=(--decode-all)
    floor_options=(--decode-all)
  fi
  if [ ! -s "$capture.meta" ] || [ ! -f "$capture" ]; then
    echo "generating $capture" >&2
    "$gen" "${args[@]}" --seed "$seed" --out "$capture" >"$capture.meta.tmp"
    mv "$capture.meta.tmp" "$capture.meta"
  fi
  meta=$(cat "$capture.meta")

  # The report must show what the generator put in: otherwise the timing means nothing.
  local out expected
  if [ "$port" != 80 ]; then
    # Several ports: the run's totals across them.
    out=$("$portsift" "${options[@]}" -p "$port" --json -r "$capture" |
      python3 -c 'import json, sys; t = json.load(sys.stdin)["totals"]; print(t["connections"], t["syns"], t["duplicate_syns"], t["resets"], t["dropped_by_server"], t["incomplete_syns"], t["in_progress"])')
    expected="$(field completed "$meta") $(field syns "$meta") $(field dup_syns "$meta") $(field resets "$meta") $(field unanswered "$meta") $(field unanswered_syns "$meta") $(field left_open "$meta")"
    if [ "$out" != "$expected" ]; then
      echo "portsift's totals on $capture do not match the generator: $out against $expected" >&2
      exit 1
    fi
    return
  fi
  out=$("$portsift" "${options[@]}" -p "$port" -r "$capture")
  expected="Total Connections (terminated by FIN): $(field completed "$meta")
Total number of SYNs: $(field syns "$meta") (duplicates: $(field dup_syns "$meta"))
Connections terminated by RESET: $(field resets "$meta")
Number of unique connections dropped by the server: $(field unanswered "$meta")
Number of SYNs from incomplete connections: $(field unanswered_syns "$meta")
Number of established connections in progress: $(field left_open "$meta") (0 may have been discarded by the client)"
  if [ "$(grep -E '^(Total Connections|Total number of SYNs|Connections terminated|Number of unique|Number of SYNs from|Number of established)' <<<"$out")" != "$expected" ]; then
    echo "portsift's report on $capture does not match the generator:" >&2
    echo "$out" >&2
    exit 1
  fi
}

echo "load before: $(cut -d' ' -f1-3 /proc/loadavg)"
results=()
capped_line=
declare -A wall_of cpu_of ratio_of cpu_ratio_of read_ratio_of
for w in $workloads; do
  base=${w%%+*}
  variant=
  [ "$base" != "$w" ] && variant=${w#*+}
  read -r -a extra <<<"$(variant_args "$variant")"
  read -r -a runner <<<"$(variant_runner "$variant")"
  prepare "$base"
  times=$(mktemp -d)
  # Warm-up: the capture into the page cache, the binaries into memory.
  "$measure" "$times/warm" "$read_file" "$capture"
  "$measure" "$times/warm" "$floor" "$capture" "$port" "${floor_options[@]}"
  "$measure" "$times/warm" "${runner[@]}" "$portsift" "${options[@]}" -p "$port" "${extra[@]}" -r "$capture" >/dev/null
  for r in $(seq "$rounds"); do
    # Reverse the order every other round, so a drifting machine favours none.
    if [ $((r % 2)) -eq 1 ]; then
      "$measure" "$times/read" "$read_file" "$capture"
      "$measure" "$times/floor" "$floor" "$capture" "$port" "${floor_options[@]}"
      "$measure" "$times/portsift" "${runner[@]}" "$portsift" "${options[@]}" -p "$port" "${extra[@]}" -r "$capture" >/dev/null
    else
      "$measure" "$times/portsift" "${runner[@]}" "$portsift" "${options[@]}" -p "$port" "${extra[@]}" -r "$capture" >/dev/null
      "$measure" "$times/floor" "$floor" "$capture" "$port" "${floor_options[@]}"
      "$measure" "$times/read" "$read_file" "$capture"
    fi
  done
  floor_wall=$(cut -d' ' -f1 "$times/floor" | median)
  portsift_wall=$(cut -d' ' -f1 "$times/portsift" | median)
  ratio=$(paste -d' ' "$times/portsift" "$times/floor" | awk '{print $1 / $6}' | median)
  read_wall=$(cut -d' ' -f1 "$times/read" | median)
  read_ratio=$(paste -d' ' "$times/portsift" "$times/read" | awk '{print $1 / $6}' | median)
  floor_cpu=$(awk '{print $4 + $5}' "$times/floor" | median)
  portsift_cpu=$(awk '{print $4 + $5}' "$times/portsift" | median)
  cpu_ratio=$(paste -d' ' "$times/portsift" "$times/floor" | awk '{print ($4 + $5) / ($9 + $10)}' | median)
  wall_of[$w]=$portsift_wall
  cpu_of[$w]=$portsift_cpu
  ratio_of[$w]=$ratio
  cpu_ratio_of[$w]=$cpu_ratio
  read_ratio_of[$w]=$read_ratio
  rss_kib=$(cut -d' ' -f2 "$times/portsift" | sort -n | tail -1)
  peak=$(field peak_open "$meta")
  per_conn=$(awk -v k="$rss_kib" -v n="$peak" 'BEGIN {printf "%.0f", k * 1024 / n}')
  results+=("$(printf '%-11s %10s %9s %8.3f %9.3f %6.3f %8.3f %9.3f %6.3f %8.1f %7s %7.3f %7.2f' \
    "$w" "$(field packets "$meta")" "$peak" "$floor_wall" "$portsift_wall" "$ratio" \
    "$floor_cpu" "$portsift_cpu" "$cpu_ratio" "$((rss_kib / 1024)).$((rss_kib % 1024 * 10 / 1024))" \
    "$per_conn" "$read_wall" "$read_ratio")")
  rm -rf "$times"
  if [ "$w" = open-peak ] && [ -z "$variant" ]; then
    # Memory bounded by --max-conns: the peak RSS of a run that may follow 100 000
    # connections at once, against 100 000 times this run's bytes per open
    # connection plus the process's baseline (its RSS on a capture of one packet).
    times=$(mktemp -d)
    "$measure" "$times/capped" "$portsift" -p "$port" -r "$capture" --max-conns 100000 \
      >/dev/null 2>&1
    head -c 24 "$capture" >"$times/empty.pcap"
    "$measure" "$times/baseline" "$portsift" -p "$port" -r "$times/empty.pcap" >/dev/null
    capped_kib=$(cut -d' ' -f2 "$times/capped")
    baseline_kib=$(cut -d' ' -f2 "$times/baseline")
    bound_kib=$(awk -v b="$baseline_kib" -v p="$per_conn" 'BEGIN {printf "%.0f", b + 100000 * p / 1024}')
    capped_line="$(printf 'open-peak --max-conns 100000: peak RSS %.1f MiB; bound 100000 x %s B + baseline %.1f MiB = %.1f MiB (%s)' \
      "$(awk -v k="$capped_kib" 'BEGIN {print k / 1024}')" "$per_conn" \
      "$(awk -v k="$baseline_kib" 'BEGIN {print k / 1024}')" \
      "$(awk -v k="$bound_kib" 'BEGIN {print k / 1024}')" \
      "$([ "$capped_kib" -le "$bound_kib" ] && echo within || echo EXCEEDED)")"
    rm -rf "$times"
  fi
  [ "${KEEP_CAPTURES:-1}" = 0 ] && rm -f "$capture" "$capture.meta"
done
# Compressed and split inputs: each timed against its baseline in alternating rounds
# of its own; the ratio is the median of the per-round ratios.
input_lines=()
for i in $inputs; do
  base=${i%%.*}
  kind=${i#*.}
  prepare "$base"
  case "$kind" in
    zst)
      input=$capture.zst
      [ -s "$input" ] || { echo "compressing $input" >&2; zstd -q -T2 -3 -f -o "$input" "$capture"; }
      baseline=(zstd -dc "$input") ;;
    gz)
      input=$capture.gz
      [ -s "$input" ] || { echo "compressing $input" >&2; gzip -c "$capture" >"$input.tmp" && mv "$input.tmp" "$input"; }
      baseline=(gzip -dc "$input") ;;
    set*)
      n=${kind#set}
      input=$capture.set$n
      if [ ! -d "$input" ]; then
        echo "splitting $capture into $n files" >&2
        mkdir -p "$input.tmp" && "$split_capture" "$capture" "$n" "$input.tmp" && mv "$input.tmp" "$input"
      fi
      baseline=("$portsift" "${options[@]}" -p "$port" -r "$capture") ;;
    *) echo "unknown input: $i" >&2; exit 2 ;;
  esac
  # The input must give the one file's report, or its time means nothing.
  if [ "$("$portsift" "${options[@]}" -p "$port" -r "$input")" != "$("$portsift" "${options[@]}" -p "$port" -r "$capture")" ]; then
    echo "portsift's report on $input differs from its report on $capture" >&2
    exit 1
  fi
  times=$(mktemp -d)
  "$measure" "$times/warm" "${baseline[@]}" >/dev/null
  "$measure" "$times/warm" "$portsift" "${options[@]}" -p "$port" -r "$input" >/dev/null
  for r in $(seq "$rounds"); do
    if [ $((r % 2)) -eq 1 ]; then
      "$measure" "$times/base" "${baseline[@]}" >/dev/null
      "$measure" "$times/portsift" "$portsift" "${options[@]}" -p "$port" -r "$input" >/dev/null
    else
      "$measure" "$times/portsift" "$portsift" "${options[@]}" -p "$port" -r "$input" >/dev/null
      "$measure" "$times/base" "${baseline[@]}" >/dev/null
    fi
  done
  base_wall=$(cut -d' ' -f1 "$times/base" | median)
  ps_wall=$(cut -d' ' -f1 "$times/portsift" | median)
  ratio=$(paste -d' ' "$times/portsift" "$times/base" | awk '{print $1 / $6}' | median)
  ps_cpu=$(awk '{print $4 + $5}' "$times/portsift" | median)
  input_lines+=("$(printf '%-16s %-28s %9.3f %9.3f %7.3f %8.3f' "$i" "${baseline[0]##*/}" \
    "$base_wall" "$ps_wall" "$ratio" "$ps_cpu")")
  rm -rf "$times"
done
echo "load after: $(cut -d' ' -f1-3 /proc/loadavg)"
echo
echo "medians of $rounds rounds; ratio = median of the per-round ratios portsift/floor;"
echo "read s = reading the file alone (read_file), ps/read = median of the ratios portsift/read"
printf '%-11s %10s %9s %8s %9s %6s %8s %9s %6s %8s %7s %7s %7s\n' workload packets "peak open" \
  "floor s" "portsift" ratio "floor cpu" "ps cpu" "cpu x" "RSS MiB" "B/open" "read s" "ps/read"
for line in "${results[@]}"; do echo "$line"; done
[ -n "${capped_line:-}" ] && { echo; echo "$capped_line"; }
if [ ${#input_lines[@]} -gt 0 ]; then
  echo
  echo "compressed and split inputs: ratio = median of the per-round ratios portsift/baseline"
  printf '%-16s %-28s %9s %9s %7s %8s\n' input baseline "base s" "portsift" ratio "ps cpu"
  for line in "${input_lines[@]}"; do echo "$line"; done
fi
# What a variant adds to its plain workload's time (the records' limit on mixed is 1.10):
# the medians' quotient, and the quotients of the two rows' ratios to the floor and to
# reading the file, which each row measured alternately in its own rounds and so drift
# less with the machine's load.
for w in $workloads; do
  base=${w%%+*}
  [ "$base" = "$w" ] && continue
  [ -n "${wall_of[$base]:-}" ] || continue
  q() { awk -v a="$1" -v b="$2" 'BEGIN {printf "%.3f", a / b}'; }
  printf '%s against %s: wall %s (through the floor %s, through the read %s), cpu %s\n' \
    "$w" "$base" "$(q "${wall_of[$w]}" "${wall_of[$base]}")" \
    "$(q "${ratio_of[$w]}" "${ratio_of[$base]}")" \
    "$(q "${read_ratio_of[$w]}" "${read_ratio_of[$base]}")" \
    "$(q "${cpu_of[$w]}" "${cpu_of[$base]}")"
done

# Several ports against one: the same connections spread over ten ports.
if [ -n "${wall_of[ports10]:-}" ] && [ -n "${wall_of[mixed]:-}" ]; then
  q() { awk -v a="$1" -v b="$2" 'BEGIN {printf "%.3f", a / b}'; }
  printf 'ports10 against mixed: wall %s (through the floor %s, through the read %s), cpu %s\n' \
    "$(q "${wall_of[ports10]}" "${wall_of[mixed]}")" "$(q "${ratio_of[ports10]}" "${ratio_of[mixed]}")" \
    "$(q "${read_ratio_of[ports10]}" "${read_ratio_of[mixed]}")" "$(q "${cpu_of[ports10]}" "${cpu_of[mixed]}")"
fi

if [ -x "$build/bench/index_bench" ]; then
  echo
  echo "the endpoint index against absl::flat_hash_map (bench/index_bench.cc):"
  "$build/bench/index_bench"
fi
