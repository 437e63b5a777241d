#!/usr/bin/env bash
# Run a command with CPython 3.14 from Debian sid, in the cached root made by
# sid_root.sh (built on first use).
#
#   .ci/in_sid.sh [--dbg] CMD [ARG...]
#
# Inside:
#   /work/src      the checkout (git top level of $PWD, or $QUORLE_SRC)
#   /work/shared   ../shared beside the checkout, read-only, if it exists,
#                  so ../shared from the checkout resolves as it does outside
#   /src           symlink to /work/src
#   /tmp           fresh scratch for this call (HOME=/tmp/home, TMPDIR=/tmp),
#                  deleted afterwards unless $QUORLE_SID_TMP names a host
#                  directory to use (and keep) instead
#   $QUORLE_PY     release python3.14, $QUORLE_PY_DBG  debug python3.14-dbg
#
# Both are venvs on the system site-packages (Debian's numpy, pytest,
# scikit-build-core, pip), made fresh in /tmp each call: `$QUORLE_PY -m pip
# install .` works (no externally-managed refusal) and never changes the
# cached root.  Install and test in the same call, e.g.
#   .ci/in_sid.sh sh -c '$QUORLE_PY -m pip install --no-build-isolation . && $QUORLE_PY -m pytest'
# Use `$QUORLE_PY -m pytest` rather than `pytest`: Debian's pytest script runs
# /usr/bin/python3, outside the venv.
#
# python, python3 and python3.14 on PATH are the release venv's, or with --dbg
# the debug venv's (QUORLE_DBG=1 then).  The working directory is the same
# place in the checkout as the caller's, else /work/src.
#
# Everything is mounted in a private mount namespace, so the mounts go away
# with the command on any exit, kill -9 included, and never pile up on the
# host.  Only a small allowlist of the caller's environment is passed in.
set -euo pipefail

here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)

dbg=0
if [[ ${1:-} == --dbg ]]; then dbg=1; shift; fi
if [[ $# -eq 0 || $1 == -h || $1 == --help ]]; then
    sed -n '2,/^set -euo/{/^set -euo/d;s/^# \{0,1\}//;p}' "${BASH_SOURCE[0]}" >&2
    exit 2
fi

root=$("$here/sid_root.sh" | tail -n 1)
[[ -n $root && -d $root ]] || { echo "in_sid: no sid root" >&2; exit 1; }

if [[ -n ${QUORLE_SRC:-} ]]; then
    src=$QUORLE_SRC
else
    src=$(git rev-parse --show-toplevel 2>/dev/null) \
        || { echo "in_sid: not in a git checkout; set QUORLE_SRC" >&2; exit 1; }
fi
src=$(cd "$src" && pwd -P)
shared=$(dirname "$src")/shared
[[ -d $shared ]] || shared=

here_phys=$(pwd -P)
case $here_phys/ in
    "$src"/*) cwd=/work/src${here_phys#"$src"} ;;
    *) cwd=/work/src ;;
esac

if [[ -n ${QUORLE_SID_TMP:-} ]]; then
    scratch=$QUORLE_SID_TMP
    mkdir -p "$scratch"
else
    scratch=$(mktemp -d "${TMPDIR:-/tmp}/quorle-sid.XXXXXX")
    chmod 1777 "$scratch"
    trap 'rm -rf --one-file-system -- "$scratch"' EXIT
fi
# Let the EXIT trap run when we are told to stop.
trap 'exit 130' INT
trap 'exit 143' TERM

venvs=/tmp/quorle-venv
pybin=$venvs/py/bin
[[ $dbg == 1 ]] && pybin=$venvs/py-dbg/bin
envs=(
    HOME=/tmp/home TMPDIR=/tmp LANG=C.UTF-8
    "PATH=$pybin:/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin"
    "QUORLE_PY=$venvs/py/bin/python"
    "QUORLE_PY_DBG=$venvs/py-dbg/bin/python"
    "QUORLE_DBG=$dbg"
    QUORLE_SID=1
)
# Host paths mean nothing inside, so pass only what is about behaviour.
while IFS= read -r name; do
    case $name in
        QUORLE_PY | QUORLE_PY_DBG | QUORLE_DBG | QUORLE_SID | QUORLE_SRC | QUORLE_SID_TMP | QUORLE_SID_ROOT) ;;
        CI | TERM | SOURCE_DATE_EPOCH | MAKEFLAGS | CMAKE_BUILD_PARALLEL_LEVEL | \
        PYTEST_ADDOPTS | OMP_NUM_THREADS | OPENBLAS_* | QUORLE_* | \
        PIP_INDEX_URL | PIP_EXTRA_INDEX_URL | PIP_DEFAULT_TIMEOUT | PIP_DISABLE_PIP_VERSION_CHECK | \
        http_proxy | https_proxy | no_proxy | HTTP_PROXY | HTTPS_PROXY | NO_PROXY)
            envs+=("$name=${!name}") ;;
    esac
done < <(compgen -e)

# Runs in the new mount namespace, as root of the host.
# shellcheck disable=SC2317 # called through bash -c below
enter() {
    set -euo pipefail
    local root=$1 src=$2 shared=$3 scratch=$4
    shift 4
    mount -t proc proc "$root/proc"
    mount --rbind /dev "$root/dev"
    mount --rbind /sys "$root/sys"
    mount --bind "$scratch" "$root/tmp"
    mkdir -p "$root/work/src" "$root/work/shared"
    mount --bind "$src" "$root/work/src"
    if [[ -n $shared ]]; then
        mount --bind "$shared" "$root/work/shared"
        mount -o remount,bind,ro "$root/work/shared"
    fi
    # DNS and the CA bundle come from the host at each call, so pip reaches
    # PyPI the way the host does (its CAs, proxy's included, can change).
    # Only onto plain files: a symlink would lead out of the root.
    local f
    for f in /etc/resolv.conf /etc/ssl/certs/ca-certificates.crt; do
        if [[ -f $f && -f $root$f && ! -L $root$f ]]; then
            mount --bind "$f" "$root$f"
        fi
    done
    exec chroot "$root" "$@"
}

# The venvs are made on each call (about 0.1s): a venv is what lets pip
# install the project without touching Debian's site-packages in the root.
# shellcheck disable=SC2016 # expanded inside the root
setup='
set -e
mkdir -p "$HOME"
[ -x "$QUORLE_PY" ] || python3.14 -m venv --without-pip --system-site-packages "${QUORLE_PY%/bin/python}"
[ -x "$QUORLE_PY_DBG" ] || python3.14-dbg -m venv --without-pip --system-site-packages "${QUORLE_PY_DBG%/bin/python}"
cd "$1"
shift
exec "$@"
'

exec 9>>"$root.lock"
flock -s 9 # a rebuild of the root waits for us
rc=0
unshare --mount --propagation private -- \
    bash -c "$(declare -f enter); enter \"\$@\"" enter "$root" "$src" "$shared" "$scratch" \
    /usr/bin/env -i "${envs[@]}" /bin/bash -c "$setup" in_sid "$cwd" "$@" || rc=$?
exit "$rc"
