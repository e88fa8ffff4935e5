#!/usr/bin/env bash
# Builds the libFuzzer targets (build-fuzz: clang, address and undefined-
# behaviour sanitizers) and runs each over its seed corpus:
#   scripts/fuzz.sh [SECONDS_PER_TARGET]      (default 10)
# New inputs go to a scratch copy, never into tests/fuzz/corpus. Fails when a
# target crashes, hangs or reports a sanitizer error; the input that did it
# and the run's output are left in build-fuzz/fuzz-artifacts/<target>/.
set -euo pipefail
cd "$(dirname "$0")/.."
seconds="${1:-10}"
targets=(fuzz_record_task fuzz_method3 fuzz_ini fuzz_snapshot_sql fuzz_info_query)

CC=clang CXX=clang++ VARNHOLT_TARGETS="${targets[*]}" \
  scripts/build.sh build-fuzz -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVARNHOLT_FUZZ=ON -DVARNHOLT_BUILD_TESTS=OFF

work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
failed=0
for t in "${targets[@]}"; do
  artifacts="build-fuzz/fuzz-artifacts/$t"
  mkdir -p "$work/$t" "$artifacts"
  log="$artifacts/last-run.log"
  status=ok
  # Snapshots nested tens of thousands of levels deep are what the snapshot
  # pre-reading has to stop, so that target may grow its inputs that far.
  options=()
  if [ "$t" = fuzz_snapshot_sql ]; then options=(-max_len=262144); fi
  if ! "build-fuzz/bin/$t" -max_total_time="$seconds" -timeout=25 -print_final_stats=1 "${options[@]}" \
      -artifact_prefix="$artifacts/" "$work/$t" "tests/fuzz/corpus/$t" >"$log" 2>&1; then
    status=FAILED
    failed=1
  fi
  execs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log")
  rate=$(sed -n 's/^stat::average_exec_per_sec: *//p' "$log")
  cov=$(grep -o 'cov: [0-9]* ft: [0-9]*' "$log" | tail -n 1 || true)
  printf 'fuzz: %-18s %s  %s executions, %s/s, %s, %s new corpus inputs\n' "$t" "$status" "${execs:-?}" \
    "${rate:-?}" "${cov:-cov: ?}" "$(find "$work/$t" -type f | wc -l)"
  if [ "$status" != ok ]; then
    tail -n 60 "$log" >&2
  fi
done
exit "$failed"
