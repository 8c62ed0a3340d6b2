#!/usr/bin/env bash
# Runs both libFuzzer targets for SECONDS each, from the seeds the capture builder
# writes, the findings kept in tests/fuzz/regressions, and a working corpus that
# stays in the build directory between runs. A fault stops the run with a non-zero
# status and leaves the input that caused it in BUILD_DIR/findings.
# Usage: scripts/fuzz.sh BUILD_DIR SECONDS
set -euo pipefail
build=$(cd "$1" && pwd)
seconds=$2
root=$(cd "$(dirname "$0")/.." && pwd)

mkdir -p "$build/findings"
for kind in frames savefile; do mkdir -p "$build/seeds/$kind" "$build/corpus/$kind"; done
"$build/tests/fuzz/fuzz_seeds" "$build/seeds/frames" "$build/seeds/savefile" \
  "$root/examples/demo.pcap"

run() {
  local kind=$1 fuzzer=$2
  local dirs=("$build/corpus/$kind" "$build/seeds/$kind")
  [ -d "$root/tests/fuzz/regressions/$kind" ] && dirs+=("$root/tests/fuzz/regressions/$kind")
  echo "== $fuzzer: $seconds seconds" >&2
  # -close_fd_mask=3: the reports and warnings of every input are not wanted; the
  # fuzzer's own progress and any crash report still show.
  "$build/tests/fuzz/$fuzzer" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 \
    -close_fd_mask=3 -print_final_stats=1 -dict="$root/tests/fuzz/$kind.dict" \
    -artifact_prefix="$build/findings/$kind-" "${dirs[@]}"
}
run frames frame_fuzzer
run savefile savefile_fuzzer
