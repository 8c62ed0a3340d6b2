#!/usr/bin/env bash
# Runs the libFuzzer targets for SECONDS each, from the seeds the capture builder
# writes, the findings kept in tests/fuzz/regressions, and a working corpus that
# stays in the build directory between runs. A fault stops the run with a non-zero
# status and leaves the input that caused it in BUILD_DIR/findings.
# Usage: scripts/fuzz.sh BUILD_DIR SECONDS
set -euo pipefail
build=$(cd "$1" && pwd)
seconds=$2
root=$(cd "$(dirname "$0")/.." && pwd)

mkdir -p "$build/findings"
for kind in frames savefile filter http; do mkdir -p "$build/seeds/$kind"; done
for kind in frames savefile filter reader http; do mkdir -p "$build/corpus/$kind"; done
"$build/tests/fuzz/fuzz_seeds" "$build/seeds/frames" "$build/seeds/savefile" \
  "$root/examples/demo.pcap"
"$build/tests/fuzz/filter_seeds" "$build/seeds/filter"

# run KIND FUZZER [SEED_KIND]: the seeds, the kept findings and the dictionary are
# SEED_KIND's (default KIND's), the working corpus KIND's own.
run() {
  local kind=$1 fuzzer=$2 seeds=${3:-$1}
  local dirs=("$build/corpus/$kind" "$build/seeds/$seeds")
  [ -d "$root/tests/fuzz/regressions/$seeds" ] && dirs+=("$root/tests/fuzz/regressions/$seeds")
  echo "== $fuzzer: $seconds seconds" >&2
  # -close_fd_mask=3: the reports and warnings of every input are not wanted; the
  # fuzzer's own progress and any crash report still show.
  "$build/tests/fuzz/$fuzzer" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 \
    -close_fd_mask=3 -print_final_stats=1 -dict="$root/tests/fuzz/$seeds.dict" \
    -artifact_prefix="$build/findings/$kind-" "${dirs[@]}"
}
run frames frame_fuzzer
run savefile savefile_fuzzer
run filter filter_fuzzer
run reader reader_fuzzer savefile
run http http_fuzzer
