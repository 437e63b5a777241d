"""File-system faults met by quorle_file and the reader, and exactly what each one leaves on disk:
paths the system refuses, a disk that fills up, and files and directories that an unprivileged
user may not read or write."""

import base64
import json
import os
import pathlib
import shutil
import subprocess
import sys
import tempfile

import pytest

import _csv_quorle_backend as quorle

HEADER = b"line,reason,raw_content\n"
ENOENT = "No such file or directory (os error 2)"
EACCES = "Permission denied (os error 13)"
ENOTDIR = "Not a directory (os error 20)"
ENOSPC = "No space left on device (os error 28)"
ENAMETOOLONG = "File name too long (os error 36)"
ELOOP = "Too many levels of symbolic links (os error 40)"

# Two good rows and two that are set aside when nothing is repaired.
DATA = b"a,b\n1,2\n3\n4,5,6\n"
STRICT = {"fill_ragged_rows": False, "merge_overflow": False}
CLEAN = b"a,b\n1,2\n"
QUARANTINED = (HEADER + b'3,"Row has too few columns (expected 2)","3"\n'
               b'4,"Row has extra columns (expected 2)","4,5,6"\n')

NOBODY = 65534


def snapshot(root):
    """Everything under root: relative path -> file bytes, "<dir>", or ("->", link target)."""
    root = pathlib.Path(root)
    found = {}
    for path in sorted(root.rglob("*")):
        name = str(path.relative_to(root))
        if path.is_symlink():
            found[name] = ("->", os.readlink(path))
        elif path.is_dir():
            found[name] = "<dir>"
        else:
            found[name] = path.read_bytes()
    return found


def assert_plain_oserror(error, message):
    assert type(error) is OSError
    assert error.args == (message,)


# --- paths the system refuses, for both ways in -------------------------------------------------

# id, the input path made under tmp, its message, the class the reader raises
BAD_INPUTS = [
    ("missing-parent", lambda tmp: tmp / "nowhere" / "in.csv", ENOENT, FileNotFoundError),
    ("under-a-file", lambda tmp: tmp / "in.csv" / "x.csv", ENOTDIR, NotADirectoryError),
    ("dangling-symlink", lambda tmp: tmp / "dangling", ENOENT, FileNotFoundError),
    ("symlink-loop", lambda tmp: tmp / "loop", ELOOP, OSError),
    ("name-too-long", lambda tmp: tmp / ("n" * 300), ENAMETOOLONG, OSError),
]


@pytest.fixture
def bad_input_tree(tmp_path):
    (tmp_path / "in.csv").write_bytes(DATA)
    (tmp_path / "out.csv").write_bytes(b"old output\n")
    (tmp_path / "dangling").symlink_to(tmp_path / "gone.csv")
    (tmp_path / "loop").symlink_to(tmp_path / "loop")
    return tmp_path


@pytest.mark.parametrize("make_path, message, reader_error", [pytest.param(*c[1:], id=c[0]) for c in BAD_INPUTS])
def test_refused_input_paths(bad_input_tree, make_path, message, reader_error):
    tmp = bad_input_tree
    before = snapshot(tmp)
    path = str(make_path(tmp))
    with pytest.raises(OSError) as caught:
        quorle.open(path)
    assert type(caught.value) is reader_error
    assert caught.value.args == (message,)
    assert (caught.value.errno, caught.value.filename) == (None, None)
    with pytest.raises(OSError) as caught:
        quorle.quorle_file(path, str(tmp / "out.csv"), str(tmp / "q.csv"))
    assert_plain_oserror(caught.value, message)
    assert snapshot(tmp) == before


# id, output path, quarantine path (under tmp), message, what the directory holds afterwards
BAD_OUTPUTS = [
    ("output-under-a-file", "in.csv/out.csv", "q.csv", ENOTDIR, {}),
    ("output-name-too-long", "o" * 300, "q.csv", ENAMETOOLONG, {}),
    ("output-symlink-loop", "loop", "q.csv", ELOOP, {}),
    # The output is complete before the quarantine file is tried, and stays.
    ("quarantine-under-a-file", "out.csv", "in.csv/q.csv", ENOTDIR, {"out.csv": CLEAN}),
    ("quarantine-symlink-loop", "out.csv", "loop", ELOOP, {"out.csv": CLEAN}),
    # Unless it was to replace the input: then the rescued copy is dropped, the input stays.
    ("quarantine-under-a-file-onto-input", "in.csv", "in.csv/q.csv", ENOTDIR, {}),
]


@pytest.mark.parametrize("output, quarantine, message, changed", [pytest.param(*c[1:], id=c[0]) for c in BAD_OUTPUTS])
def test_refused_output_paths(bad_input_tree, output, quarantine, message, changed):
    tmp = bad_input_tree
    expected = {**snapshot(tmp), **changed}
    with pytest.raises(OSError) as caught:
        quorle.quorle_file(str(tmp / "in.csv"), str(tmp / output), str(tmp / quarantine), **STRICT)
    assert_plain_oserror(caught.value, message)
    assert snapshot(tmp) == expected


# --- the input named as the quarantine file ---------------------------------------------------


# Refused before any file is opened, so no output failure comes first.
@pytest.mark.parametrize("output", ["out.csv", "nowhere/out.csv", "/dev/full"],
                         ids=["output-would-succeed", "output-would-fail", "output-device-full"])
def test_quarantine_onto_the_input(tmp_path, output):
    src = tmp_path / "in.csv"
    src.write_bytes(DATA)
    out = output if output.startswith("/") else str(tmp_path / output)
    with pytest.raises(OSError) as caught:
        quorle.quorle_file(str(src), out, str(src), **STRICT)
    assert_plain_oserror(caught.value, "quarantine_path names the input file")
    assert snapshot(tmp_path) == {"in.csv": DATA}


# --- a disk that fills up ---------------------------------------------------------------------

DISK_KB = 64
DISK_BYTES = DISK_KB * 1024


def short_rows(count):
    return lambda: b"".join(b"%06d,%s\n" % (i, b"v" * 40) for i in range(count)) + b"tail\n"


def long_rows():
    # Every line is longer than the writer's buffer and goes straight to the file.
    return b"".join(b"%d,%s\n" % (i, b"w" * 9000) for i in range(20)) + b"tail\n"


def short_records(good, bad):
    # Each record set aside takes about twenty times its size in the quarantine file.
    return lambda: b"a,b\n" + b"1,2\n" * good + b"".join(b"%d\n" % i for i in range(bad))


def mount_namespace_prefix():
    """The command that runs a child in a mount namespace of its own, or None."""
    unshare = shutil.which("unshare")
    if unshare is None or os.geteuid() != 0:
        return None
    with open("/proc/self/mountinfo") as info:
        shared = "shared:" in info.read()
    # A namespace whose mounts are all private already (a chroot, where / is no mount point to
    # change) can keep them as they are; otherwise a tmpfs would show up outside too.
    for mode in ["private"] + ([] if shared else ["unchanged"]):
        prefix = [unshare, "--mount", f"--propagation={mode}"]
        if subprocess.run([*prefix, "true"], capture_output=True).returncode == 0:
            return prefix
    return None


# Runs in the child, on a fresh tmpfs at argv[1]: writes the files it is given (on stdin) there,
# makes one quorle_file call, and reports the outcome and everything left on the tmpfs.
ON_SMALL_DISK = r"""
import base64, json, os, pathlib, sys
import _csv_quorle_backend as q
disk = pathlib.Path(sys.argv[1])
job = json.load(sys.stdin)
for name, data in job["files"].items():
    (disk / name).write_bytes(base64.b64decode(data))
paths = [p.format(disk=disk) if p is not None else None for p in job["paths"]]
try:
    q.quorle_file(*paths, **job["options"])
    outcome = None
except OSError as e:
    outcome = [type(e).__name__, list(e.args)]
left = {str(p.relative_to(disk)): base64.b64encode(p.read_bytes()).decode() for p in disk.rglob("*")}
print(json.dumps({"outcome": outcome, "left": left}))
"""


def on_small_disk(tmp_path, files, paths, options):
    prefix = mount_namespace_prefix()
    if prefix is None:
        pytest.skip("a small tmpfs needs root and a mount namespace")
    disk = tmp_path / "disk"
    disk.mkdir()
    job = json.dumps({"files": {k: base64.b64encode(v).decode() for k, v in files.items()},
                       "paths": paths, "options": options})
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(
        [os.path.dirname(quorle.__file__)] + os.environ.get("PYTHONPATH", "").split(os.pathsep)))
    mount = 'mount -t tmpfs -o size="$1" tmpfs "$2" && shift 2 && exec "$@"'
    done = subprocess.run([*prefix, "sh", "-c", mount, "sh", f"{DISK_KB}k", str(disk),
                           sys.executable, "-c", ON_SMALL_DISK, str(disk)],
                          input=job, capture_output=True, text=True, timeout=120, env=env)
    assert done.returncode == 0, done.stderr
    report = json.loads(done.stdout)
    assert os.listdir(disk) == []  # the tmpfs went with the namespace
    left = {k: base64.b64decode(v) for k, v in report["left"].items()}
    return report["outcome"], left


def reference(tmp_path, data, options):
    src = tmp_path / "reference.csv"
    src.write_bytes(data)
    quorle.quorle_file(str(src), str(tmp_path / "reference.out"), str(tmp_path / "reference.q"), **options)
    return (tmp_path / "reference.out").read_bytes(), (tmp_path / "reference.q").read_bytes()


def on_disk(size):
    """What a file of `size` bytes takes of a tmpfs: whole pages."""
    page = os.sysconf("SC_PAGE_SIZE")
    return -(-size // page) * page


# id, input bytes, whether the input lies on the small disk, output path, quarantine path, and
# what the disk holds afterwards, given the input, the clean output and the quarantine file
# that the same call writes where there is room
FULL_DISK = [
    # The clean file fills the disk, as far as it goes; the quarantine file is never created.
    ("output-short-rows", short_rows(4000), False, "{disk}/out.csv", "{disk}/q.csv",
     lambda data, clean, quarantined: {"out.csv": clean[:DISK_BYTES]}),
    ("output-long-rows", long_rows, False, "{disk}/out.csv", "{disk}/q.csv",
     lambda data, clean, quarantined: {"out.csv": clean[:DISK_BYTES]}),
    ("output-without-quarantine", short_rows(4000), False, "{disk}/out.csv", None,
     lambda data, clean, quarantined: {"out.csv": clean[:DISK_BYTES]}),
    # The clean file is complete; the quarantine file fills the rest of the disk.
    ("quarantine", short_records(0, 20000), False, "{disk}/out.csv", "{disk}/q.csv",
     lambda data, clean, quarantined: {
         "out.csv": clean, "q.csv": quarantined[:DISK_BYTES - on_disk(len(clean))]}),
    # The input takes more than half of the disk: no room for its rescued copy. The input is as
    # it was and the copy is gone.
    ("in-place", short_rows(800), True, "{disk}/in.csv", None,
     lambda data, clean, quarantined: {"in.csv": data}),
    # The rescued copy fits, the quarantine file does not: it fills what the input and the copy
    # leave; then the copy is dropped and the input stays as it was.
    ("in-place-quarantine", short_records(500, 2000), True, "{disk}/in.csv", "{disk}/q.csv",
     lambda data, clean, quarantined: {
         "in.csv": data,
         "q.csv": quarantined[:DISK_BYTES - on_disk(len(data)) - on_disk(len(clean))]}),
]


@pytest.mark.parametrize("make_data, input_on_disk, output, quarantine, left_on_disk",
                         [pytest.param(*c[1:], id=c[0]) for c in FULL_DISK])
def test_full_disk(tmp_path, make_data, input_on_disk, output, quarantine, left_on_disk):
    data = make_data()
    options = {**STRICT, "expected_columns": 2}
    clean, quarantined = reference(tmp_path, data, options)
    if input_on_disk:
        src, files = "{disk}/in.csv", {"in.csv": data}
    else:
        src, files = str(tmp_path / "in.csv"), {}
        (tmp_path / "in.csv").write_bytes(data)
    outcome, left = on_small_disk(tmp_path, files, [src, output, quarantine], options)
    assert outcome == ["OSError", [ENOSPC]]
    assert left == left_on_disk(data, clean, quarantined)


# --- an unprivileged user ---------------------------------------------------------------------

# Runs as the unprivileged user: makes one call and reports its outcome.
AS_NOBODY = r"""
import json, sys
try:
    import _csv_quorle_backend as q
except ImportError:
    print(json.dumps("no module")); sys.exit()
call = json.loads(sys.argv[1])
try:
    result = getattr(q, call["function"])(*call["args"], **call["options"])
    outcome = ["ok", len(result) if call["function"] == "open" else result.quorled_rows]
except OSError as e:
    outcome = [type(e).__name__, list(e.args)]
print(json.dumps(outcome))
"""


def as_nobody(function, *args, **options):
    setpriv = shutil.which("setpriv")
    if setpriv is None:
        pytest.skip("setpriv is needed to run as an unprivileged user")
    if os.geteuid() != 0:
        pytest.skip("dropping privileges needs root")
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(
        [os.path.dirname(quorle.__file__)] + os.environ.get("PYTHONPATH", "").split(os.pathsep)))
    call = json.dumps({"function": function, "args": args, "options": options})
    done = subprocess.run([setpriv, f"--reuid={NOBODY}", f"--regid={NOBODY}", "--clear-groups",
                           sys.executable, "-c", AS_NOBODY, call],
                          capture_output=True, text=True, timeout=60, env=env, cwd="/")
    if done.returncode != 0 or done.stdout.strip() == '"no module"':
        pytest.skip(f"cannot run the module unprivileged: {done.stderr.strip()[-300:]}")
    return json.loads(done.stdout)


@pytest.fixture
def tree():
    """A tree the unprivileged user can reach (tmp_path lies in a private directory):
        open/            writable by everyone
        closed/          root's, readable, not writable
          in.csv         readable
          secret.csv     root's only
          shared.csv     writable by everyone
          kept.csv       readable, not writable
          locked/in.csv  behind a directory that only root may enter
    """
    root = pathlib.Path(tempfile.mkdtemp(prefix="quorle-faults-"))
    os.chmod(root, 0o755)
    (root / "open").mkdir(mode=0o777)
    os.chmod(root / "open", 0o777)
    closed = root / "closed"
    closed.mkdir(mode=0o755)
    for name, data, mode in [("in.csv", DATA, 0o644), ("secret.csv", DATA, 0o600),
                             ("shared.csv", DATA, 0o666), ("kept.csv", b"keep me\n", 0o644)]:
        (closed / name).write_bytes(data)
        os.chmod(closed / name, mode)
    (closed / "locked").mkdir(mode=0o700)
    (closed / "locked" / "in.csv").write_bytes(DATA)
    try:
        yield root
    finally:
        shutil.rmtree(root)


IN = "closed/in.csv"
# id, input, output, quarantine (relative to the tree; None: not given), outcome, changed files
UNPRIVILEGED_RESCUES = [
    ("unreadable-input", "closed/secret.csv", "open/out.csv", "open/q.csv", ["OSError", [EACCES]], {}),
    ("input-behind-locked-directory", "closed/locked/in.csv", "open/out.csv", "open/q.csv",
     ["OSError", [EACCES]], {}),
    ("output-in-unwritable-directory", IN, "closed/out.csv", "open/q.csv", ["OSError", [EACCES]], {}),
    ("unwritable-output-file", IN, "closed/kept.csv", "open/q.csv", ["OSError", [EACCES]], {}),
    # A file that may be written is truncated in place; its directory need not be writable.
    ("writable-output-in-unwritable-directory", IN, "closed/shared.csv", "open/q.csv", ["ok", 2],
     {"closed/shared.csv": CLEAN, "open/q.csv": QUARANTINED}),
    ("quarantine-in-unwritable-directory", IN, "open/out.csv", "closed/q.csv", ["OSError", [EACCES]],
     {"open/out.csv": CLEAN}),
    ("unwritable-quarantine-file", IN, "open/out.csv", "closed/kept.csv", ["OSError", [EACCES]],
     {"open/out.csv": CLEAN}),
    # Rescuing in place goes through a new file beside the input, which needs a writable directory;
    # without one the input stays as it was.
    ("in-place-in-unwritable-directory", "closed/shared.csv", "closed/shared.csv", None,
     ["OSError", [EACCES]], {}),
    ("in-place-in-writable-directory", "open/mine.csv", "open/mine.csv", "open/q.csv", ["ok", 2],
     {"open/mine.csv": CLEAN, "open/q.csv": QUARANTINED}),
]


@pytest.mark.parametrize("src, output, quarantine, outcome, changed",
                         [pytest.param(*c[1:], id=c[0]) for c in UNPRIVILEGED_RESCUES])
def test_unprivileged_rescue(tree, src, output, quarantine, outcome, changed):
    if src == "open/mine.csv":
        (tree / src).write_bytes(DATA)
        os.chown(tree / src, NOBODY, NOBODY)
    expected = {**snapshot(tree), **changed}
    got = as_nobody("quorle_file", str(tree / src), str(tree / output),
                    str(tree / quarantine) if quarantine else None, **STRICT)
    assert got == outcome
    assert snapshot(tree) == expected


@pytest.mark.parametrize("path, outcome", [
    ("closed/in.csv", ["ok", 4]),
    ("closed/secret.csv", ["PermissionError", [EACCES]]),
    ("closed/locked/in.csv", ["PermissionError", [EACCES]]),
    ("closed/missing.csv", ["FileNotFoundError", [ENOENT]]),
    ("closed", ["IsADirectoryError", ["Is a directory (os error 21)"]]),
    ("closed/in.csv/x", ["NotADirectoryError", [ENOTDIR]]),
], ids=["readable", "unreadable", "behind-locked-directory", "missing", "directory", "under-a-file"])
def test_unprivileged_reader_errors_by_kind(tree, path, outcome):
    before = snapshot(tree)
    assert as_nobody("open", str(tree / path)) == outcome
    assert snapshot(tree) == before


def test_in_place_rescue_respects_a_read_only_input(tree):
    # root's file, readable by all, in a directory where everyone may create files
    src = tree / "open" / "readonly.csv"
    src.write_bytes(DATA)
    os.chmod(src, 0o444)
    before = snapshot(tree)
    assert as_nobody("quorle_file", str(src), str(src)) == ["OSError", [EACCES]]
    assert snapshot(tree) == before
    assert os.stat(src).st_uid == 0


def test_in_place_rescue_keeps_owner_and_mode(tmp_path):
    if os.geteuid() != 0:
        pytest.skip("giving a file away needs root")
    src = tmp_path / "theirs.csv"
    src.write_bytes(DATA)
    os.chown(src, NOBODY, NOBODY)
    os.chmod(src, 0o600)
    quorle.quorle_file(str(src), str(src), **STRICT)
    assert src.read_bytes() == CLEAN
    st = os.stat(src)
    assert (st.st_uid, st.st_gid, st.st_mode & 0o7777) == (NOBODY, NOBODY, 0o600)
