#!/usr/bin/env bash
# Installs the module and the csv_quorle package with pip into a fresh virtual environment and
# runs the Python tests of both.
#   py_tests.sh          with this machine's python3
#   py_tests.sh --sid    inside the CPython 3.14 root (run through in_sid.sh)
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."

if [[ ${1:-} == --sid ]]; then
    # The sid root's venv already sees Debian's pytest, numpy, scikit-build-core and the
    # package's own dependencies.
    python=$QUORLE_PY
    "$python" -m pip install -q --no-build-isolation .
else
    venv=build/venv-$(python3 -c 'import sys; print("%d.%d" % sys.version_info[:2])')
    rm -rf "$venv"
    python3 -m venv "$venv"
    python=$venv/bin/python
    "$python" -m pip install -q --upgrade pip
    "$python" -m pip install -q -r tests/requirements.txt
    "$python" -m pip install -q .
fi
"$python" -c 'import sys, _csv_quorle_backend as q; print(sys.version.split()[0], q.__file__)'

# The test-only extensions, for the same interpreter: one fails on purpose inside the entry guard,
# the other makes Arrow streams of given rows.
probe=build/probe-$("$python" -c 'import sys; print("%d.%d" % sys.version_info[:2])')
cmake -S . -B "$probe" -G Ninja -DCMAKE_BUILD_TYPE=Release -DQUORLE_BUILD_GUARD_PROBE=ON \
    -DQUORLE_BUILD_ARROW_PROBE=ON -DPython_EXECUTABLE="$python" >/dev/null
cmake --build "$probe" --target _quorle_guard_probe _quorle_arrow_probe >/dev/null
export QUORLE_GUARD_PROBE=$PWD/$probe/backend
export QUORLE_ARROW_PROBE=$PWD/$probe/arrow

"$python" -m pytest -q -p no:cacheprovider tests/python
# The csv_quorle package: arguments, files, errors and the report.
"$python" -m pytest -q -p no:cacheprovider tests/package
