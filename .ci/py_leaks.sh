#!/usr/bin/env bash
# Reference, descriptor and memory leak checks of the module on the debug build of CPython 3.14
# (sys.gettotalrefcount), from the cached sid root.
#
#   py_leaks.sh [PYTEST_ARG...]
#
# Run from the host it enters the sid root itself (through in_sid.sh --dbg); inside the root
# (QUORLE_SID=1, e.g. `.ci/in_sid.sh --dbg .ci/py_leaks.sh`) it runs directly. The module is built
# in build/leaks-py314d, so that it never shares a build tree with the release interpreter.
#
# Debian's /usr/include/python3.14d holds links to the release headers beside its own
# pyconfig.h, and the compiler looks for "pyconfig.h" next to the file the link points to, so the
# release configuration is what the module sees. Py_DEBUG is therefore defined here by hand:
# without it the module's own increments and decrements of reference counts are not counted by
# sys.gettotalrefcount and every check below would be blind. A debug build type keeps the
# interpreter's assertions in its inline functions.
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."

if [[ ${QUORLE_SID:-} != 1 ]]; then
    exec .ci/in_sid.sh --dbg .ci/py_leaks.sh "$@"
fi

python=$QUORLE_PY_DBG
"$python" -m pip install -q --no-build-isolation -C build-dir=build/leaks-py314d \
    -C cmake.build-type=Debug -C cmake.define.CMAKE_CXX_FLAGS=-DPy_DEBUG .
so=$("$python" -c 'import _csv_quorle_backend as q; print(q.__file__)')
if [[ $(nm -D "$so") != *_Py_INCREF_IncRefTotal* ]]; then
    echo "py_leaks: $so does not count its references (built without Py_DEBUG)" >&2
    exit 1
fi
"$python" -c 'import sys, _csv_quorle_backend as q
assert hasattr(sys, "gettotalrefcount"), "not a debug interpreter"
print(sys.version.split()[0], "debug", q.__file__)'
"$python" -m pytest -q -p no:cacheprovider tests/python/test_leaks.py "$@"
