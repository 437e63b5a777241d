#!/usr/bin/env bash
# The Python tests on a free-threaded CPython 3.14 (no interpreter lock), from the interpreter in
# ../shared/cpython-3.14t: both extensions must leave the lock off when imported, and the thread
# tests run there, where threads really race, along with the rest of the package's and the
# backend's tests.
#   free_threaded.sh [BUILD_DIR]    the interpreter, venv and probes go under BUILD_DIR
#                                   (build/py314t by default), unpacked once and then reused
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."
top=$PWD
unset PYTHONPATH
export CMAKE_BUILD_PARALLEL_LEVEL=${CMAKE_BUILD_PARALLEL_LEVEL:-2}
# The shared folder beside the checkout, or where QUORLE_SHARED says.
tarball=${QUORLE_SHARED:-$top/../shared}/cpython-3.14t/py314t.tar.xz
dir=${1:-build/py314t}
mkdir -p "$dir"
dir=$(cd "$dir" && pwd)

# The interpreter, unpacked beside a stamp written last, so that a run cut short unpacks again.
if [[ ! -f $dir/unpacked ]]; then
    rm -rf "$dir/inst"
    tar -C "$dir" -xJf "$tarball"
    touch "$dir/unpacked"
fi
if [[ ! -x $dir/venv/bin/python ]]; then
    "$dir/inst/bin/python3.14t" -m venv "$dir/venv"
fi
python=$dir/venv/bin/python
"$python" -m pip install -q pytest
# The optional libraries, each only where it has a free-threaded wheel (never built from source
# here); the tests that need a missing one skip themselves.
while read -r requirement; do
    [[ $requirement == pytest* || -z $requirement || $requirement == \#* ]] && continue
    if ! "$python" -m pip install -q --only-binary=:all: "$requirement" </dev/null >/dev/null 2>&1; then
        echo "no free-threaded wheel of $requirement: its tests skip"
    fi
done < tests/requirements.txt
"$python" -m pip install -q .

# Importing both extensions must not turn the lock back on: each declares that it runs without
# it, and an extension that did not would re-enable it with a warning.
"$python" -W error::RuntimeWarning -c '
import sys
import csv_quorle, csv_quorle._native, _csv_quorle_backend
assert not sys._is_gil_enabled(), "importing the extensions enabled the interpreter lock"
print(sys.version.split()[0], "free-threaded, lock off after importing both extensions")
'

# The test-only extensions for this interpreter, as py_tests.sh builds them.
probe=$dir/probe
cmake -S . -B "$probe" -G Ninja -DCMAKE_BUILD_TYPE=Release -DQUORLE_BUILD_GUARD_PROBE=ON \
    -DQUORLE_BUILD_ARROW_PROBE=ON -DPython_EXECUTABLE="$python" >/dev/null
cmake --build "$probe" --target _quorle_guard_probe _quorle_arrow_probe >/dev/null
export QUORLE_GUARD_PROBE=$probe/backend
export QUORLE_ARROW_PROBE=$probe/arrow

# -X gil=0: should some import turn the lock on, the tests still run without it.
# The thread tests first, so that a race shows up under its own name.
"$python" -X gil=0 -m pytest -q -p no:cacheprovider -m threads tests/python tests/package
# Left out: a test that the lock is let go while a stream is read, told by how often a ticking
# thread gets through 1 ms waits; without a lock it says nothing, and on this interpreter such a
# thread stalls for long stretches even while the reader runs plain Python code.
"$python" -X gil=0 -m pytest -q -p no:cacheprovider -m "not threads" tests/python tests/package \
    --deselect tests/package/test_arrow.py::test_a_consumer_thread_keeps_running
