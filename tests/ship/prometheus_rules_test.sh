#!/bin/sh
# The Prometheus rules: promtool accepts them, and their unit tests pass (the
# quantiles of made-up histograms, each alert firing where it should and only
# there, after its wait).
# Usage: prometheus_rules_test.sh SOURCE_DIR
# Without promtool the test is skipped (status 77), except under CI, which installs
# it (scripts/install-deps.sh): there it fails.
set -eu
dir=$1/dist/prometheus
if ! command -v promtool > /dev/null; then
  echo "promtool not found: apt-get install prometheus"
  [ -n "${CI:-}" ] && exit 1
  exit 77
fi
cd "$dir"
promtool check rules portsift.rules.yml
promtool test rules portsift.rules.test.yml
