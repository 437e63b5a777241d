#!/usr/bin/env bash
# Builds the C++ unit tests for aarch64 with Debian's cross compiler and runs them under
# qemu-user, so that the NEON kernels and the portable ones are checked on an ARM processor:
#   cross_aarch64.sh [BUILD_DIR]     (default build/ci-aarch64)
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."
build=${1:-build/ci-aarch64}

need_apt=()
command -v aarch64-linux-gnu-g++ >/dev/null || need_apt+=(g++-aarch64-linux-gnu)
command -v qemu-aarch64 >/dev/null || need_apt+=(qemu-user)
[[ -f /usr/src/googletest/CMakeLists.txt ]] || need_apt+=(googletest)
if ((${#need_apt[@]})); then
    echo "installing ${need_apt[*]}"
    export DEBIAN_FRONTEND=noninteractive
    apt-get -o DPkg::Lock::Timeout=600 update -qq
    apt-get -o DPkg::Lock::Timeout=600 install -y -qq --no-install-recommends "${need_apt[@]}" >/dev/null
fi
export QEMU_LD_PREFIX=/usr/aarch64-linux-gnu

cross=(-G Ninja -DCMAKE_SYSTEM_NAME=Linux -DCMAKE_SYSTEM_PROCESSOR=aarch64
       -DCMAKE_CXX_COMPILER=aarch64-linux-gnu-g++ -DCMAKE_C_COMPILER=aarch64-linux-gnu-gcc
       -DCMAKE_CROSSCOMPILING_EMULATOR=qemu-aarch64)

# GoogleTest from Debian's source package, built once with the cross compiler.
gtest=$PWD/build/gtest-aarch64
if [[ ! -f $gtest/lib/cmake/GTest/GTestConfig.cmake ]]; then
    cmake -S /usr/src/googletest -B "$gtest.build" "${cross[@]}" -DCMAKE_BUILD_TYPE=Release \
        -DBUILD_GMOCK=OFF -DCMAKE_INSTALL_PREFIX="$gtest" >/dev/null
    cmake --build "$gtest.build" -j 2 >/dev/null
    cmake --install "$gtest.build" >/dev/null
fi

cmake -S . -B "$build" "${cross[@]}" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQUORLE_BUILD_MODULE=OFF \
    -DQUORLE_BUILD_TESTS=ON -DQUORLE_DEBUG_CHECKS=ON -DCMAKE_PREFIX_PATH="$gtest" >/dev/null
cmake --build "$build" -j 2
# Death tests run their child by executing the test binary again, which needs the system to
# know how to run an aarch64 binary; qemu-user without binfmt does not. Those tests (signal
# chaining, nothing processor-specific) run on the host.
ctest --test-dir "$build" --output-on-failure -j 2 -E DeathTest
