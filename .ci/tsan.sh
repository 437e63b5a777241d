#!/usr/bin/env bash
# The C++ tests that start threads, built with ThreadSanitizer: the writer thread of a rescue and
# its queue (rescue_tests), the reader's borrow flag taken from many threads (module_tests), the
# SIGBUS guard's slots shared by threads (native_tests), the Arrow stream (arrow_tests), and the pass
# on several threads (parallel_tests).
#   tsan.sh [BUILD_DIR]    build/ci-tsan by default
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."
build=${1:-build/ci-tsan}
targets=(rescue_tests module_tests native_tests arrow_tests parallel_tests)

# Flags from the command line rather than an option of the project: this build is for these
# tests alone.
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQUORLE_BUILD_MODULE=OFF \
    -DQUORLE_BUILD_TESTS=ON -DQUORLE_DEBUG_CHECKS=ON \
    -DCMAKE_CXX_FLAGS="-fsanitize=thread -fno-omit-frame-pointer" \
    -DCMAKE_EXE_LINKER_FLAGS=-fsanitize=thread >/dev/null
cmake --build "$build" -j "$(nproc)" --target "${targets[@]}"
# A report fails the test that caused it. Death tests fork, which ThreadSanitizer only warns of.
export TSAN_OPTIONS="halt_on_error=1 abort_on_error=1 second_deadlock_stack=1 die_after_fork=0"
labels=$(IFS='|'; echo "^(${targets[*]%_tests})\$")
ctest --test-dir "$build" --output-on-failure -j "$(nproc)" -L "$labels"
