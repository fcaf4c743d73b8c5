#!/usr/bin/env bash
# Runs clang-tidy (the checks in .clang-tidy) over the product sources.
# Needs a configured build in ./build (scripts/build.sh) for the compile
# commands; exits non-zero on any finding.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${ORVANTIS_BUILD_DIR:-$root/build}
cd "$root"
git ls-files -- 'app/*.cpp' 'net/*.cpp' 'shell/*.cpp' 'workspace/*.cpp' 'widgets/*.cpp' |
    xargs -P 2 -n 4 clang-tidy -p "$build" --quiet
