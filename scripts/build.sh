#!/usr/bin/env bash
# Configures and builds one build tree: scripts/build.sh DIR [cmake options...]
# With VARNHOLT_TARGETS set (names separated by blanks) only those targets and
# what they need are built; the tree stays configured for everything.
set -euo pipefail
cd "$(dirname "$0")/.."
dir="$1"
shift
cmake -S . -B "$dir" -G Ninja "$@" >/dev/null
# shellcheck disable=SC2086
ninja -C "$dir" ${VARNHOLT_TARGETS:-}
