#!/usr/bin/env bash
# Builds and runs the C++ unit tests (and builds the benchmarks, so that they keep compiling):
#   cpp_tests.sh BUILD_DIR [--sanitize]
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."
build=$1
sanitize=OFF
[[ ${2:-} == --sanitize ]] && sanitize=ON

cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQUORLE_BUILD_MODULE=OFF \
    -DQUORLE_BUILD_TESTS=ON -DQUORLE_BUILD_BENCH=ON -DQUORLE_DEBUG_CHECKS=ON \
    -DQUORLE_SANITIZE="$sanitize" >/dev/null
cmake --build "$build" -j "$(nproc)"
export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
ctest --test-dir "$build" --output-on-failure -j "$(nproc)"
