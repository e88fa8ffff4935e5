#!/usr/bin/env bash
# Installs what is missing, builds, and runs every test: the normal build
# (unit and integration tests, clang-tidy over the changed files), the
# address/undefined-behaviour sanitizer build of the unit tests and the
# thread sanitizer build of the threaded subsystems' tests.
set -euo pipefail
cd "$(dirname "$0")"

scripts/install-deps.sh
scripts/check-layers.sh

# The database tests run against a private MariaDB on 127.0.0.1.
scripts/mariadb-local.sh start
eval "$(scripts/mariadb-local.sh env)"

scripts/build.sh build -DCMAKE_BUILD_TYPE=RelWithDebInfo
# clang-tidy over the .cpp files this change touches (docs/checks.md).
scripts/tidy.sh build
(cd build && ctest --output-on-failure -j 2)

scripts/build.sh build-asan -DCMAKE_BUILD_TYPE=Debug -DVARNHOLT_SANITIZE=ON
(cd build-asan && ASAN_OPTIONS=detect_leaks=1:symbolize=0 UBSAN_OPTIONS=print_stacktrace=1:symbolize=0 ctest --output-on-failure -j 2)

# Data races and lock-order inversions: the threaded subsystems' tests built
# with ThreadSanitizer (build-tsan), see docs/checks.md.
scripts/tsan.sh build-tsan

# Fuzz targets (clang, libFuzzer): a short run of each over its seed corpus.
scripts/fuzz.sh 10

# Fault tests of the whole service (real binaries of build/, a private MariaDB
# of their own): outage, kill, full disk, garbage; each
# must end with the loss accounting balanced. See docs/reliability.md.
tests/faults/run.sh build

# The Debian package in a booted Debian 12 under a real systemd (root and
# systemd-nspawn needed, else skipped with a line saying why).
tests/system/run.sh build
