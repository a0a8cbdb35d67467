#!/usr/bin/env bash
# Fails when a source folder includes a header of a folder above it. From the top down:
#   app -> capture, reports -> library, pipeline -> display -> engine
#       -> pipeline/interfaces -> core -> platform, ciapi
# Folders of one rank may include each other; tests, benchmarks and tools are not checked.
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."

rank() {
    case "$1" in
        app) echo 7 ;;
        capture | reports) echo 6 ;;
        library | pipeline) echo 5 ;;
        display) echo 4 ;;
        engine) echo 3 ;;
        pipeline/interfaces) echo 2 ;;
        core) echo 1 ;;
        platform | ciapi) echo 0 ;;
        *) echo "" ;;
    esac
}

# The layer a path belongs to: its first folder, or pipeline/interfaces.
layer() {
    case "$1" in
        pipeline/interfaces/*) echo pipeline/interfaces ;;
        *) echo "${1%%/*}" ;;
    esac
}

bad=0
for folder in app capture reports library pipeline display engine core platform ciapi; do
    [ -d "$folder" ] || continue
    while IFS=: read -r file line include; do
        target=$(echo "$include" | sed -E 's/.*#include "([^"]+)".*/\1/')
        from_rank=$(rank "$(layer "$file")")
        to_rank=$(rank "$(layer "$target")")
        [ -n "$to_rank" ] || continue
        if [ "$to_rank" -gt "$from_rank" ]; then
            echo "$file:$line: includes $target, which lies above $(layer "$file")/"
            bad=1
        fi
    done < <(grep -rnE '^\s*#\s*include\s+"[a-z]+/' "$folder" --include='*.h' --include='*.cpp' || true)
done
if [ "$bad" -ne 0 ]; then
    echo "Includes must point down the layers (see scripts/check-layers.sh)." >&2
    exit 1
fi
