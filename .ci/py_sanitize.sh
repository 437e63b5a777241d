#!/usr/bin/env bash
# Builds the extension with the address and undefined-behaviour sanitizers and runs the whole
# Python test suite against it, on this machine's python3.
#
#   py_sanitize.sh [PYTEST_ARG...]
#
# The build, and a venv of its own with pytest and numpy, are kept in build/asan-py between runs.
# The interpreter itself is not instrumented, so the sanitizer runtimes are preloaded. Leak
# detection is off: the interpreter keeps its own objects alive at exit. PYTHONMALLOC=malloc routes
# every Python object through the sanitizer's allocator, so a use of a freed str or list is caught
# too, not only of the module's own memory.
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."

build=build/asan-py
venv=$build/venv

# Only pytest and numpy in the venv, never an installed copy of the module, so that the import
# can only find the sanitized build.
if [[ ! -x $venv/bin/python ]]; then
    python3 -m venv "$venv"
    "$venv/bin/python" -m pip install -q --upgrade pip
    "$venv/bin/python" -m pip install -q pytest numpy
fi
python=$(cd "$venv/bin" && pwd)/python

cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DQUORLE_BUILD_MODULE=ON -DQUORLE_BUILD_TESTS=OFF -DQUORLE_SANITIZE=ON \
    -DPython_EXECUTABLE="$python" >/dev/null
cmake --build "$build" -j "$(nproc)" --target _csv_quorle_backend

module_dir=$(cd "$build/backend" && pwd)
asan=$(g++ -print-file-name=libasan.so)
ubsan=$(g++ -print-file-name=libubsan.so)
[[ -f $asan && -f $ubsan ]] || { echo "py_sanitize: no libasan or libubsan beside g++" >&2; exit 1; }

export PYTHONPATH=$module_dir${PYTHONPATH:+:$PYTHONPATH}
export PYTHONMALLOC=malloc
export PYTHONDONTWRITEBYTECODE=1
export LD_PRELOAD="$asan $ubsan"
export ASAN_OPTIONS=detect_leaks=0:abort_on_error=1:strict_string_checks=1:detect_stack_use_after_return=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1

"$python" -c 'import sys, _csv_quorle_backend as q
assert q.__file__.startswith(sys.argv[1]), q.__file__
print(sys.version.split()[0], q.__file__)' "$module_dir"
"$python" -m pytest -q -p no:cacheprovider tests/python "$@"
