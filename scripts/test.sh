#!/usr/bin/env bash
# Installs what is missing, builds, and runs the whole test suite offscreen:
# first as shipped, then again built with the address and undefined-behaviour
# sanitizers (leak detection on), where any report fails the run.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
"$root/scripts/install-deps.sh"
build=${ORVANTIS_BUILD_DIR:-$root/build}
asan_build=${ORVANTIS_ASAN_BUILD_DIR:-$root/build-asan}
export QT_QPA_PLATFORM=offscreen

stage() { printf '\n==== %s (%s)\n' "$1" "$(date +%T)"; }

# Both builds compile each library as a few unity sources: the Qt headers are
# parsed once a batch, not once a file, which cuts the libraries' compile to
# about a quarter. A build configured without it, like the mutation tool's,
# compiles file by file, so the code is kept compiling both ways.
unity=-DCMAKE_UNITY_BUILD=ON

stage "build"
"$root/scripts/build.sh" "$unity"
stage "test suite"
(cd "$build" && ctest --output-on-failure -j 2 --timeout 300)

stage "sanitizer build"
# Debug compiles fastest; the benchmarks are not part of the suite.
cmake -S "$root" -B "$asan_build" -G Ninja -DCMAKE_BUILD_TYPE=Debug -DORVANTIS_SANITIZE=ON \
    -DORVANTIS_BUILD_BENCH=OFF "$unity" >/dev/null
cmake --build "$asan_build" -j 2
stage "test suite under sanitizers"
(
    export ASAN_OPTIONS=detect_leaks=1:abort_on_error=0:detect_stack_use_after_return=1
    export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
    # The soak's memory and stall bounds are the shipped build's, not the sanitizers'.
    cd "$asan_build" && ctest --output-on-failure -j 2 --timeout 400 -E '^(format|soak)$'
)
stage "fuzzing the network layer"
"$root/scripts/fuzz.sh" 30
stage "done"
