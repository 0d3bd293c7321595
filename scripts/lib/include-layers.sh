#!/usr/bin/env bash
# The folders of src/ in layers, highest first. A folder includes its own headers and those of
# folders in lower layers, never those of a folder beside or above it, so no two folders depend
# on each other. Prints the folder include graph, one line per folder; fails on an include that
# goes sideways or up, or on a folder that no layer names.
# Usage: include-layers.sh [SRC_DIR]
set -euo pipefail

layers=(
    "bin"
    "service"
    "tunnel"
    "split_tunnel full_tunnel"
    "engines"
    "tunnel_core"
    "platform"
    "common"
)

src="${1:-$(cd "$(dirname "$0")/../../src" && pwd)}"
[ -d "$src" ] || { echo "include-layers: no folder $src" >&2; exit 2; }

declare -A rank=()
order=()
for i in "${!layers[@]}"; do
    for folder in ${layers[$i]}; do
        rank[$folder]=$i
        order+=("$folder")
    done
done

status=0
for dir in "$src"/*/; do
    folder=$(basename "$dir")
    if [ -z "${rank[$folder]+set}" ]; then
        echo "include-layers: src/$folder is in no layer" >&2
        status=1
    fi
done

# "file:line:folder" for every quoted include that names a folder of src/.
declare -A edges=()
while IFS=: read -r file line target; do
    from=${file#"$src"/}
    from=${from%%/*}
    [ "$target" = "$from" ] && continue
    [ -n "${rank[$target]+set}" ] || continue
    [ -n "${rank[$from]+set}" ] || continue
    edges["$from $target"]=1
    if (( rank[$target] <= rank[$from] )); then
        echo "include-layers: src/${file#"$src"/}:$line: $from includes $target, which is not below it" >&2
        status=1
    fi
done < <(grep -rnoE --include='*.h' --include='*.cpp' --include='*.c' --include='*.in' \
             '^[[:space:]]*#[[:space:]]*include[[:space:]]*"[A-Za-z0-9_]+/' "$src" |
         sed -E 's/^([^:]*):([0-9]+):.*"([A-Za-z0-9_]+)\/$/\1:\2:\3/')

for from in "${order[@]}"; do
    targets=()
    for to in "${order[@]}"; do
        [ -n "${edges["$from $to"]+set}" ] && targets+=("$to")
    done
    line="$from ->"
    [ ${#targets[@]} -gt 0 ] && line="$line $(IFS=,; echo "${targets[*]}" | sed 's/,/, /g')"
    echo "$line"
done

exit $status
