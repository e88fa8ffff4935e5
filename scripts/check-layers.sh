#!/usr/bin/env bash
# Checks that the source folders form layers: a .h/.cpp file may include
# headers of its own folder and of the folders below it, never of one above
# (docs/architecture.md). Prints file:line and the two folders of every
# include that goes up, and fails (exit 1) when there is one.
set -euo pipefail
cd "$(dirname "$0")/.."

# Lowest first. bench/ and tests/ may include anything; nothing includes them.
layers=(platform core config db protocol datafile audit writers maintenance node info service tools bench tests)

declare -A rank
for i in "${!layers[@]}"; do rank[${layers[$i]}]=$i; done

status=0
for folder in platform core config db protocol datafile audit writers maintenance node info service tools; do
    [[ -d $folder ]] || continue
    while IFS=: read -r file line text; do
        target=${text#*\"}
        target=${target%%/*}
        [[ -n ${rank[$target]+set} ]] || continue
        if (( rank[$target] > rank[$folder] )); then
            echo "$file:$line: $folder includes $target, a higher layer: ${text#"${text%%#*}"}"
            status=1
        fi
    done < <(grep -rnE --include='*.h' --include='*.cpp' '^[[:space:]]*#[[:space:]]*include[[:space:]]*"[A-Za-z0-9_]+/' "$folder" || true)
done
if (( status != 0 )); then
    echo "check-layers: includes against the layer order (${layers[*]})" >&2
fi
exit $status
