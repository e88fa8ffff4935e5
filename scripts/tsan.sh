#!/usr/bin/env bash
# Builds the test programs of the subsystems that run threads with
# ThreadSanitizer and runs them under ctest:
#   scripts/tsan.sh [BUILD_DIR]      (default build-tsan)
# Fails on any data race or lock-order inversion. tests/tsan.supp holds the
# only suppressions: libraries outside the project, each with its reason.
set -euo pipefail
cd "$(dirname "$0")/.."
dir="${1:-build-tsan}"
options=(-DCMAKE_BUILD_TYPE=Debug -DVARNHOLT_TSAN=ON)

# The suites whose code runs threads. A suite whose folder does not exist (yet)
# in this tree is left out rather than breaking the build.
wanted=(platform_tests core_tests config_tests node_tests protocol_tests writers_tests datafile_tests audit_tests maintenance_tests)

cmake -S . -B "$dir" -G Ninja "${options[@]}" >/dev/null
targets=()
for t in "${wanted[@]}"; do
  if ninja -C "$dir" -t query "$t" >/dev/null 2>&1; then targets+=("$t"); fi
done
[ ${#targets[@]} -gt 0 ] || { echo "tsan: none of ${wanted[*]} exists in $dir" >&2; exit 1; }

VARNHOLT_TARGETS="${targets[*]}" scripts/build.sh "$dir" "${options[@]}"

# halt_on_error: the first report fails the suite. second_deadlock_stack: a
# lock-order report shows where both locks were taken.
export TSAN_OPTIONS="halt_on_error=1:second_deadlock_stack=1:suppressions=$PWD/tests/tsan.supp"
# ThreadSanitizer takes the fault signals over, so the crash handler's own
# handling and stack walk (what its tests check) cannot run here; the normal
# and address-sanitizer builds run those tests.
export GTEST_FILTER="-CrashHandlerTest.*"
regex="^($(IFS='|'; echo "${targets[*]}"))\$"
cd "$dir"
ctest --output-on-failure -j 2 -R "$regex"
