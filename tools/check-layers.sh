#!/usr/bin/env bash
# The program's layers point one way: a file includes only its own layer and those below.
# Prints each include that climbs (file:line) and exits 1 when there is one; a source file
# outside every layer is reported too, so that a new folder has to take its place here.
#
#   tools/check-layers.sh [SRC_DIR]      (default: src)
set -uo pipefail
cd "$(dirname "$0")/.."
src=${1:-src}

# Bottom to top: the seam, text and paths, the log format, the four sections and file
# removal, the run itself, the checker on top.
layers=(platform environment log actions driver check)

rank() {
    local i
    for i in "${!layers[@]}"; do
        [ "${layers[$i]}" = "$1" ] && { echo "$i"; return; }
    done
    echo -1
}

found=0
while IFS= read -r file; do
    relative=${file#"$src"/}
    own=${relative%%/*}
    [ "$own" = resources ] && continue
    own_rank=$(rank "$own")
    if [ "$own_rank" -lt 0 ]; then
        echo "$file: not in any layer (${layers[*]})"
        found=1
        continue
    fi
    while IFS=: read -r line target; do
        target_rank=$(rank "$target")
        if [ "$target_rank" -gt "$own_rank" ]; then
            echo "$file:$line: includes $target/ from the lower layer $own/"
            found=1
        fi
    done < <(grep -n -o -E '^[[:space:]]*#[[:space:]]*include[[:space:]]+"[^/"]+/' "$file" |
        sed -E 's/^([0-9]+):.*"([^/"]+)\/$/\1:\2/')
done < <(find "$src" -type f \( -name '*.h' -o -name '*.cpp' -o -name '*.def' \) | sort)

if [ "$found" -ne 0 ]; then
    echo "layers: an include points upward (order, bottom to top: ${layers[*]})"
    exit 1
fi
echo "layers: every include points down (${layers[*]})"
