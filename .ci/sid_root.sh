#!/usr/bin/env bash
# Make sure the cached Debian sid root exists and print its path (last line of
# stdout; everything else goes to stderr).
#
# sid is where CPython 3.14 comes from: python3.14 is sid's default python3, so
# Debian's own numpy, pytest and scikit-build-core are built for it.  The debug
# interpreter (python3.14-dbg, for sys.gettotalrefcount leak checks) has no
# separate -dbg numpy any more and needs none: it also loads release-ABI
# extensions (.cpython-314-*.so), so the same Debian packages serve both
# interpreters and nothing comes from PyPI.
#
#   QUORLE_SID_ROOT  where the root lives (default /var/cache/csv-quorle/sid-root)
#
# The root is built beside its final place and renamed in only once it is
# complete and has passed a smoke test, so an interrupted build is never used.
# Its stamp holds the recipe version and the package list: bump RECIPE or edit
# the lists and the next call rebuilds.
set -euo pipefail

RECIPE=2

# Installed by debootstrap itself.
PACKAGES=(
    python3.14 python3.14-dev python3.14-dbg
    python3-numpy python3-pytest python3-scikit-build-core python3-pip
    python3-charset-normalizer python3-click python3-tqdm
    g++ cmake ninja-build make
    ca-certificates # pip over https
)
# Installed afterwards only if sid still has them (venvs are made without pip,
# so nothing depends on these).
OPTIONAL_PACKAGES=(python3.14-venv)

ROOT=${QUORLE_SID_ROOT:-/var/cache/csv-quorle/sid-root}
ROOT=${ROOT%/}
STAMP_FILE=.quorle-sid-stamp
LOCK=$ROOT.lock
LOG=$ROOT.build.log

log() { printf 'sid_root: %s\n' "$*" >&2; }
die() { log "error: $*"; exit 1; }

stamp_text() {
    printf 'recipe=%s\n' "$RECIPE"
    printf 'packages=%s\n' "${PACKAGES[*]}"
    printf 'optional=%s\n' "${OPTIONAL_PACKAGES[*]}"
}

is_current() {
    [[ -f $ROOT/$STAMP_FILE ]] && [[ "$(cat "$ROOT/$STAMP_FILE")" == "$(stamp_text)" ]]
}

# --one-file-system: never follow into something still mounted inside.
remove_tree() { [[ -e $1 ]] && rm -rf --one-file-system -- "$1"; return 0; }

# Run a command chrooted into $1 with /proc mounted, in a private mount
# namespace so the mount disappears with the process whatever happens.
in_root() {
    local dir=$1; shift
    # shellcheck disable=SC2016
    unshare --mount --propagation private -- \
        bash -c 'mount -t proc proc "$1/proc" && d=$1 && shift && exec chroot "$d" "$@"' \
        in_root "$dir" /usr/bin/env -i PATH=/usr/sbin:/usr/bin:/sbin:/bin HOME=/root \
        LANG=C.UTF-8 DEBIAN_FRONTEND=noninteractive "$@"
}

build() {
    local tmp=$1

    if ! command -v debootstrap >/dev/null && [[ ! -x /usr/sbin/debootstrap ]]; then
        log "installing debootstrap"
        apt-get update -q >&2
        DEBIAN_FRONTEND=noninteractive apt-get install -y -q debootstrap >&2
    fi

    local inc
    inc=$(IFS=,; echo "${PACKAGES[*]}")
    log "debootstrap sid into $tmp (log: $LOG)"
    mkdir -p "$tmp"
    # Own mount namespace: the mounts debootstrap makes in the target can't
    # outlive it if it gets killed.
    if ! PATH=/usr/sbin:/sbin:$PATH unshare --mount --propagation private -- \
            debootstrap --variant=minbase --include="$inc" sid "$tmp" >"$LOG" 2>&1; then
        tail -n 40 "$LOG" >&2
        die "debootstrap failed"
    fi

    # Snapshots of sid can serve a Release file past its Valid-Until; apt
    # inside the root should still work then.
    cat >"$tmp/etc/apt/apt.conf.d/90csv-quorle" <<'EOF'
Acquire::Check-Valid-Until "false";
APT::Install-Recommends "false";
EOF

    local p extra=()
    for p in "${OPTIONAL_PACKAGES[@]}"; do
        if in_root "$tmp" apt-cache show "$p" >/dev/null 2>&1; then
            extra+=("$p")
        else
            log "optional package $p not in sid, skipping"
        fi
    done
    if ((${#extra[@]})); then
        log "installing ${extra[*]}"
        in_root "$tmp" apt-get install -y -q "${extra[@]}" >>"$LOG" 2>&1 \
            || { tail -n 40 "$LOG" >&2; die "apt-get install ${extra[*]} failed"; }
    fi
    in_root "$tmp" apt-get clean

    # Mount points used by in_sid.sh; /src is a shortcut to the checkout.
    mkdir -p "$tmp/work/src" "$tmp/work/shared"
    ln -sfn work/src "$tmp/src"

    # Don't cache a root that can't do the basics.
    log "smoke test"
    in_root "$tmp" /bin/sh -ec '
        python3.14 -c "import numpy, pytest, scikit_build_core, pip"
        python3.14-dbg -c "import sys, numpy, pytest; sys.gettotalrefcount()"
        python3.14 -m venv --help >/dev/null
        command -v g++ cmake ninja make >/dev/null
    ' >&2 || die "smoke test failed in $tmp"

    stamp_text >"$tmp/$STAMP_FILE"
}

main() {
    [[ $EUID -eq 0 ]] || die "needs root (debootstrap, chroot, mounts)"

    if ! is_current; then
        mkdir -p "$(dirname "$ROOT")"
        exec 9>>"$LOCK"
        # in_sid.sh holds this lock shared while a command runs in the root,
        # so a rebuild waits for them and concurrent callers build only once.
        flock -x 9
        if ! is_current; then
            local tmp=$ROOT.tmp.$$ old=$ROOT.old.$$ d
            # Leftovers of interrupted builds (safe: we hold the lock).
            for d in "$ROOT".tmp.* "$ROOT".old.*; do remove_tree "$d"; done
            trap 'remove_tree "$tmp"' EXIT
            local t0=$SECONDS
            build "$tmp"
            [[ -e $ROOT ]] && mv -T "$ROOT" "$old"
            mv -T "$tmp" "$ROOT"
            trap - EXIT
            remove_tree "$old"
            log "built $ROOT in $((SECONDS - t0))s"
        fi
        exec 9>&-
    fi
    printf '%s\n' "$ROOT"
}

main "$@"
