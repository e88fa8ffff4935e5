#!/usr/bin/env bash
# Configures and builds one build tree: scripts/build.sh DIR [cmake options...]
# With VARNHOLT_TARGETS set (names separated by blanks) only those targets and
# what they need are built; the tree stays configured for everything.
set -euo pipefail
cd "$(dirname "$0")/.."
dir="$1"
shift
# With ccache installed, compilations are cached across build trees and
# clones of the repository: paths are made relative to the source tree and
# the build directory is left out of the hash (the debug information would
# otherwise name it), so a fresh clone reuses what an earlier one compiled.
launcher=()
if command -v ccache >/dev/null 2>&1; then
  export CCACHE_BASEDIR="$PWD" CCACHE_NOHASHDIR=1
  launcher=(-DCMAKE_C_COMPILER_LAUNCHER=ccache -DCMAKE_CXX_COMPILER_LAUNCHER=ccache)
fi
cmake -S . -B "$dir" -G Ninja "${launcher[@]}" "$@" >/dev/null
# shellcheck disable=SC2086
ninja -C "$dir" ${VARNHOLT_TARGETS:-}
