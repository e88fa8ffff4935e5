#!/usr/bin/env bash
# Runs clang-tidy (checks of .clang-tidy, every warning an error) over the
# changed .cpp files, with the compile commands of a configured build tree:
#   scripts/tidy.sh [BUILD_DIR]               (default build)
#   VARNHOLT_TIDY_ALL=1 scripts/tidy.sh       (every project .cpp)
# Changed means: changed between the merge-base with the upstream branch and
# HEAD when the branch has an upstream it is ahead of, else in the last commit, plus what is
# not committed yet (staged, unstaged, untracked). A changed header brings in
# the .cpp of the same name. Two files are checked at a time; the exit status
# is non-zero when any file has a warning.
set -euo pipefail
cd "$(dirname "$0")/.."
dir="${1:-build}"
tidy="${CLANG_TIDY:-clang-tidy}"
db="$dir/compile_commands.json"
if [ ! -f "$db" ]; then
  echo "tidy: $db not found: configure the tree first (scripts/build.sh $dir)" >&2
  exit 2
fi
command -v "$tidy" >/dev/null || { echo "tidy: $tidy not installed (scripts/install-deps.sh)" >&2; exit 2; }

# The project's .cpp files the build tree compiles, relative to the source tree
# (CMake writes one absolute "file" per entry).
mapfile -t known < <(sed -n 's/^ *"file": *"\(.*\)",\{0,1\}$/\1/p' "$db" | sed "s|^$PWD/||" |
  grep -v -e '^/' -e '^build' | grep '\.cpp$' | sort -u)

if [ "${VARNHOLT_TIDY_ALL:-0}" = 1 ]; then
  files=("${known[@]}")
else
  # A fresh clone (HEAD is its upstream) checks its last commit.
  if base=$(git merge-base HEAD '@{upstream}' 2>/dev/null) && [ "$base" != "$(git rev-parse HEAD)" ]; then
    range="$base"
  elif git rev-parse -q --verify HEAD~1 >/dev/null; then
    range="HEAD~1"
  else
    range="$(git hash-object -t tree /dev/null)"  # a first commit: all of it
  fi
  mapfile -t changed < <({
    git diff --name-only --diff-filter=d "$range" HEAD
    git diff --name-only --diff-filter=d HEAD
    git ls-files --others --exclude-standard
  } | sed -E 's/\.h$/.cpp/' | sort -u)
  files=()
  for f in "${changed[@]}"; do
    [[ "$f" == *.cpp ]] || continue
    if printf '%s\n' "${known[@]}" | grep -qxF -- "$f"; then
      files+=("$f")
    elif [ -f "$f" ] && [[ "$f" != */build* ]]; then
      echo "tidy: $f is not compiled in $dir, not checked"
    fi
  done
fi

if [ ${#files[@]} -eq 0 ]; then
  echo "tidy: no changed .cpp file to check"
  exit 0
fi
echo "tidy: checking ${#files[@]} file(s) with $("$tidy" --version | sed -n 's/.*version \([0-9.]*\).*/\1/p' | head -n 1)"
start=$SECONDS
status=0
# clang's "N warnings generated." counts what the header filter hid: left out.
# shellcheck disable=SC2016
printf '%s\0' "${files[@]}" | xargs -0 -n 1 -P 2 bash -c \
  'set -o pipefail; "$0" -p "$1" --quiet "$2" 2>&1 | { grep -v "^[0-9]* warnings\? generated\.$" || true; }' \
  "$tidy" "$dir" || status=1
echo "tidy: ${#files[@]} file(s) in $((SECONDS - start)) s: $([ $status -eq 0 ] && echo clean || echo WARNINGS)"
exit $status
