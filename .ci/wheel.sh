#!/usr/bin/env bash
# Builds the source distribution and, from it alone, the wheel with the standard build frontend;
# checks what each holds; installs the wheel into a fresh virtual environment and runs the Python
# tests against that installed copy, from a directory outside the source tree so that nothing in
# the checkout can stand in for it.
#   wheel.sh          with this machine's python3 (the build backend comes from PyPI)
#   wheel.sh --sid    with CPython 3.14 inside the sid root (run through in_sid.sh), on Debian's
#                     scikit-build-core, pytest and numpy
# The guard probe tests run only if QUORLE_GUARD_PROBE is set (see py_tests.sh); they cover the
# same sources whether installed from a wheel or not.
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."
top=$PWD
unset PYTHONPATH
export CMAKE_BUILD_PARALLEL_LEVEL=${CMAKE_BUILD_PARALLEL_LEVEL:-2}

if [[ ${1:-} == --sid ]]; then
    python=$QUORLE_PY
    build_flags=(--no-isolation)
    # No ensurepip in the root: the venv borrows Debian's pip, pytest and numpy.
    venv_flags=(--without-pip --system-site-packages)
else
    python=python3
    build_flags=()
    venv_flags=()
fi
# -P: the checkout's build/ directory would pass for the frontend's package.
"$python" -P -c 'import build.__main__' 2>/dev/null || "$python" -m pip install -q build

pyver=$("$python" -c 'import sys; print("%d.%d" % sys.version_info[:2])')
work=$top/build/wheel-$pyver
rm -rf "$work"
mkdir -p "$work/dist" "$work/run"

# With neither --sdist nor --wheel, build makes the sdist, unpacks it elsewhere and builds the
# wheel from that alone: a file missing from the sdist fails here.
echo "building the sdist and, from it, the wheel (log: $work/build.log)"
"$python" -P -m build "${build_flags[@]}" --outdir "$work/dist" . >"$work/build.log" 2>&1 ||
    { tail -n 40 "$work/build.log"; exit 1; }
sdist=$(echo "$work"/dist/*.tar.gz)
wheel=$(echo "$work"/dist/*.whl)
ls -l "$sdist" "$wheel" | awk '{print $5, $NF}'

# The sdist: only files under version control (no build trees, results, worktree or editor
# files) and small. The sid root has no git; the host run covers it.
if [[ ${1:-} != --sid ]]; then
    git ls-files >"$work/tracked"
    "$python" - "$sdist" "$work/tracked" <<'EOF'
import os, sys, tarfile
sdist, tracked = sys.argv[1], set(open(sys.argv[2]).read().split("\n"))
with tarfile.open(sdist) as tar:
    names = [m.name for m in tar.getmembers() if not m.isdir()]
top = os.path.basename(sdist)[: -len(".tar.gz")] + "/"
stray = [n for n in names if not n.startswith(top) or n[len(top):] not in tracked | {"PKG-INFO"}]
assert not stray, f"sdist holds files not under version control: {stray}"
for need in ("pyproject.toml", "CMakeLists.txt", "README.md", "LICENSE"):
    assert top + need in names, f"sdist lacks {need}"
size = os.path.getsize(sdist)
assert size < 1 << 20, f"sdist is {size} bytes"
print(f"sdist: {len(names)} files, all under version control")
EOF
fi

# The wheel: tagged for this interpreter only (an extension module, no stable ABI), with the
# licence and the metadata an index shows.
"$python" - "$wheel" "$pyver" <<'EOF'
import email, sys, zipfile
from packaging.tags import sys_tags
from packaging.utils import parse_wheel_filename
wheel, pyver = sys.argv[1], sys.argv[2]
_, version, _, tags = parse_wheel_filename(wheel.rsplit("/", 1)[-1])
cp = "cp" + pyver.replace(".", "")
assert all(t.interpreter == cp and t.abi == cp for t in tags), tags
assert tags & set(sys_tags()), f"{tags} not installable here"
with zipfile.ZipFile(wheel) as z:
    names = z.namelist()
    info = next(n.split("/")[0] for n in names if n.endswith(".dist-info/METADATA"))
    meta = email.message_from_bytes(z.read(info + "/METADATA"))
assert info + "/licenses/LICENSE" in names, names
bad = [n for n in names if n.endswith((".a", ".o", ".cpp", ".hpp")) or n.startswith(("tests/", "build/"))]
assert not bad, f"wheel holds build leftovers: {bad}"
assert meta["License-Expression"] == "MIT" and meta["Requires-Python"], meta
assert meta["Description-Content-Type"] == "text/markdown" and meta.get_payload().startswith("# ")
assert f"Programming Language :: Python :: {pyver}" in meta.get_all("Classifier"), "version not listed"
print("wheel:", ", ".join(sorted(str(t) for t in tags)), f"({len(names)} files)")
EOF

venv=$work/venv
"$python" -m venv "${venv_flags[@]}" "$venv"
vpy=$venv/bin/python
"$vpy" -m pip install -q --disable-pip-version-check "$wheel[test]"

tests=("$top/tests/python")
[[ -d $top/tests/package ]] && tests+=("$top/tests/package")
cd "$work/run"
# Every top-level module of the wheel must come from the venv, not from anywhere else on the path.
"$vpy" - "$wheel" <<'EOF'
import importlib, sys, sysconfig, zipfile
site = sysconfig.get_paths()["platlib"]
names = zipfile.ZipFile(sys.argv[1]).namelist()
tops = {n.split("/")[0].split(".")[0] for n in names if n.endswith((".so", "/__init__.py")) or "/" not in n}
tops = {t for t in tops if not t.endswith("-stubs") and "-" not in t}
for name in sorted(tops):
    path = importlib.import_module(name).__file__
    assert path.startswith(site + "/"), f"{name} imported from {path}, not {site}"
    print(sys.version.split()[0], path)
EOF
"$vpy" -m pytest -q -p no:cacheprovider "${tests[@]}"
