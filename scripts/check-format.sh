#!/usr/bin/env bash
# Fails when clang-format would change any C++ source the project tracks.
# Usage: scripts/check-format.sh [clang-format binary]
set -euo pipefail
cd "$(dirname "$0")/.."
format=${1:-clang-format}
status=0
while IFS= read -r -d '' file; do
    if ! "$format" --style=file "$file" | cmp -s - "$file"; then
        echo "not formatted: $file (run: $format -i $file)"
        status=1
    fi
done < <(git ls-files -z -- '*.cpp' '*.h' 2>/dev/null || find . -path ./build -prune -o \( -name '*.cpp' -o -name '*.h' \) -print0)
exit $status
