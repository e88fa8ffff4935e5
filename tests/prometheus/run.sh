#!/usr/bin/env bash
# Checks the Prometheus alert rules with promtool and runs their unit tests;
# with "metrics FILE" it lints a scrape of GET /metrics instead.
#
#   tests/prometheus/run.sh               check rules + test rules
#   tests/prometheus/run.sh metrics FILE  promtool check metrics < FILE
set -euo pipefail

ROOT="$(cd "$(dirname "$0")/../.." && pwd)"
RULES="$ROOT/deploy/prometheus/varnholt-alerts.yml"
TESTS="$ROOT/tests/prometheus/alerts_test.yml"

fail() { echo "prometheus: FAIL: $*" >&2; exit 1; }
command -v promtool >/dev/null 2>&1 || fail "promtool missing (Debian package prometheus; scripts/install-deps.sh installs it)"

case "${1:-}" in
  "")
    promtool check rules "$RULES" || fail "promtool check rules $RULES"
    promtool test rules "$TESTS" || fail "promtool test rules $TESTS"
    echo "prometheus: alert rules ok"
    ;;
  metrics)
    FILE="${2:?usage: run.sh metrics FILE}"
    [ -s "$FILE" ] || fail "no metrics in '$FILE'"
    # Prints each problem (missing HELP, counter without _total, ...) and
    # exits non-zero when there is one.
    promtool check metrics < "$FILE" || fail "promtool check metrics found problems in $FILE"
    echo "prometheus: metrics of $FILE ok"
    ;;
  *)
    echo "usage: $0 [metrics FILE]" >&2
    exit 2
    ;;
esac
