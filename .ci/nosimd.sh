#!/usr/bin/env bash
# The whole suite once on a build without vector instructions (QUORLE_SIMD=OFF): the C++ unit
# tests, then the Python tests against a module installed with the option off.
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."

cmake -S . -B build/ci-nosimd -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQUORLE_BUILD_MODULE=OFF \
    -DQUORLE_BUILD_TESTS=ON -DQUORLE_DEBUG_CHECKS=ON -DQUORLE_SIMD=OFF >/dev/null
cmake --build build/ci-nosimd -j "$(nproc)"
ctest --test-dir build/ci-nosimd --output-on-failure -j "$(nproc)"

venv=build/venv-nosimd
rm -rf "$venv"
python3 -m venv "$venv"
python=$venv/bin/python
"$python" -m pip install -q --upgrade pip
"$python" -m pip install -q pytest numpy
# A build directory of its own, so that the option cannot stay in the cache of the usual build.
"$python" -m pip install -q -C cmake.define.QUORLE_SIMD=OFF \
    -C 'build-dir=build/nosimd-{wheel_tag}' .
grep -q '^QUORLE_SIMD:BOOL=OFF' build/nosimd-*/CMakeCache.txt
"$python" -c 'import sys, _csv_quorle_backend as q; print(sys.version.split()[0], q.__file__)'

probe=build/probe-nosimd
cmake -S . -B "$probe" -G Ninja -DCMAKE_BUILD_TYPE=Release -DQUORLE_BUILD_GUARD_PROBE=ON \
    -DQUORLE_SIMD=OFF -DPython_EXECUTABLE="$python" >/dev/null
cmake --build "$probe" --target _quorle_guard_probe >/dev/null
export QUORLE_GUARD_PROBE=$PWD/$probe/backend

"$python" -m pytest -q -p no:cacheprovider tests/python
