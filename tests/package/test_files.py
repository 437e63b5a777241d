"""The files rescue(), read_batches() and the command write, and what they never replace: a path
naming another file of the call, targets that are not regular files, modes and links, a full
disk, and signals or a crash inside the commit. The file system is the oracle: types, modes,
bytes and folder listings before and after."""

from __future__ import annotations

import errno
import json
import os
import pathlib
import signal
import stat
import subprocess
import sys
import tempfile
import threading
import time

import pytest

import csv_quorle
from csv_quorle import _native

STRICT = {"fill_ragged_rows": False, "merge_overflow": False}
ROWS = 'id,name\n1,Ann\n2\n3,"Bo, Jr."\n4,Cy,extra\n'
as_root = pytest.mark.skipif(os.geteuid() != 0, reason="needs root (mknod, chown, mount)")


def listing(folder: pathlib.Path) -> list[str]:
    return sorted(os.listdir(folder))


def rescued(source, tmp_path, **options) -> tuple[bytes, bytes]:
    """The oracle for any other route: the same rescue into two new regular files (in
    tmp_path/oracle)."""
    (tmp_path / "oracle").mkdir(exist_ok=True)
    folder = pathlib.Path(tempfile.mkdtemp(dir=tmp_path / "oracle"))
    csv_quorle.rescue(source, folder / "o.csv", folder / "q.csv", **options)
    return (folder / "o.csv").read_bytes(), (folder / "q.csv").read_bytes()


def cli(*args, **kwargs) -> subprocess.CompletedProcess:
    return subprocess.run([sys.executable, "-m", "csv_quorle", *map(str, args)], capture_output=True,
                          timeout=120, **kwargs)


class TestPathsNamingAnotherFile:
    CASES = [
        # (what the output is, what the quarantine is, the refusal, the path it names)
        ("source spelled differently", None, "output names the source file", "output"),
        ("hard link to source", None, "output names the source file", "output"),
        ("symlink to source", None, "output names the source file", "output"),
        ("out.csv", "source", "quarantine names the source file", "quarantine"),
        ("out.csv", "symlink to source", "quarantine names the source file", "quarantine"),
        ("out.csv", "out.csv spelled differently", "quarantine names the output file", "quarantine"),
        ("out.csv", "hard link to out.csv", "quarantine names the output file", "quarantine"),
    ]

    @staticmethod
    def make(tmp_path, source, kind):
        """The path a case names: as written, or a new hard or symbolic link."""
        spelled = {None: None, "source": str(source), "out.csv": str(tmp_path / "out.csv"),
                   "source spelled differently": f"{tmp_path}/./sub/../{source.name}",
                   "out.csv spelled differently": f"{tmp_path}//out.csv"}
        if kind in spelled:
            return spelled[kind]
        link = tmp_path / f"link{len(os.listdir(tmp_path))}.csv"
        target = tmp_path / ("out.csv" if kind.endswith("out.csv") else source.name)
        if kind.startswith("hard"):
            os.link(target, link)
        else:
            link.symlink_to(target.name)
        return str(link)

    @pytest.mark.parametrize("out_kind, q_kind, message, role", CASES)
    def test_refused_before_anything_is_opened(self, tmp_path, write, out_kind, q_kind, message, role):
        (tmp_path / "sub").mkdir()
        source = write(ROWS, "d.csv")
        (tmp_path / "out.csv").write_text("old output")
        out, q = self.make(tmp_path, source, out_kind), self.make(tmp_path, source, q_kind)
        before = listing(tmp_path)
        with pytest.raises(OSError) as info:
            csv_quorle.rescue(source, out, q)
        assert (info.value.errno, info.value.strerror) == (errno.EINVAL, message)
        assert info.value.filename == (out if role == "output" else q)
        assert source.read_text() == ROWS and (tmp_path / "out.csv").read_text() == "old output"
        assert listing(tmp_path) == before

    def test_read_batches_quarantine_as_a_link_to_its_source(self, tmp_path, write):
        source = write(ROWS, "d.csv")
        os.link(source, tmp_path / "q.csv")
        with pytest.raises(OSError, match="quarantine names the source file") as info:
            csv_quorle.read_batches(source, quarantine=tmp_path / "q.csv")
        assert info.value.filename == str(tmp_path / "q.csv") and source.read_text() == ROWS

    def test_the_command_reports_it_per_file_and_goes_on(self, tmp_path):
        (tmp_path / "sub").mkdir()
        (tmp_path / "d.csv").write_text(ROWS)
        (tmp_path / "sub" / "e.csv").write_text(ROWS)
        run = cli("rescue", "--out-dir", ".", "d.csv", "sub/e.csv", cwd=tmp_path)
        assert run.returncode == 1
        assert run.stderr.decode() == "csv-quorle: d.csv: ./d.csv: output names the source file\n"
        assert (tmp_path / "d.csv").read_text() == ROWS
        assert (tmp_path / "e.csv").read_bytes() == rescued(tmp_path / "d.csv", tmp_path)[0]

    def test_an_output_of_one_file_is_the_input_of_another(self, tmp_path):
        for folder in ("in", "out"):
            (tmp_path / folder).mkdir()
            (tmp_path / folder / "a.csv").write_text(ROWS)
        sources = [tmp_path / "in" / "a.csv", tmp_path / "out" / "a.csv"]
        first, second = csv_quorle.rescue_many(sources, tmp_path / "out", workers=1)
        assert first.error == f"{first.output}: output names the input {sources[1]}"
        assert second.ok and second.output.endswith("a-2.csv")
        assert sources[1].read_text() == ROWS

    def test_repairs_naming_an_input_is_refused_before_any_work(self, tmp_path):
        (tmp_path / "d.csv").write_text(ROWS)
        run = cli("rescue", "d.csv", "-o", "c.csv", "--repairs", "./d.csv", cwd=tmp_path)
        assert run.returncode == 1
        assert run.stderr.decode() == "csv-quorle: ./d.csv: --repairs names the source file of d.csv\n"
        assert listing(tmp_path) == ["d.csv"] and (tmp_path / "d.csv").read_text() == ROWS


class Reader(threading.Thread):
    """Reads a file (a FIFO, a pipe's end) to its end on a thread of its own."""

    def __init__(self, open_it):
        super().__init__(daemon=True)  # a FIFO nobody writes to would hold it forever
        self.open_it, self.data = open_it, None
        self.start()

    def run(self):
        with self.open_it() as f:
            self.data = f.read()

    def received(self):
        self.join(timeout=30)
        return self.data


def straight_target(kind, folder):
    """(path, after) for a target that is not a regular file; after() gives what it received
    (None for a device that keeps nothing) once the writer is done."""
    path = folder / kind
    if kind == "char device":
        os.mknod(path, stat.S_IFCHR | 0o666, os.makedev(1, 3))  # what /dev/null is
        return str(path), lambda: None
    if kind == "fifo":
        os.mkfifo(path)
        reader = Reader(lambda: open(path, "rb"))
        return str(path), reader.received
    if kind == "pipe by /proc/self/fd":
        r, w = os.pipe()
        reader = Reader(lambda: open(r, "rb"))

        def after():
            os.close(w)
            return reader.received()
        return f"/proc/self/fd/{w}", after
    f = tempfile.TemporaryFile(dir=folder)  # an unnamed file, as /proc/self/fd/N
    return f"/proc/self/fd/{f.fileno()}", lambda: (f.seek(0), f.read(), f.close())[1]


STRAIGHT = ["char device", "fifo", "pipe by /proc/self/fd", "unnamed file by /proc/self/fd"]


class TestTargetsThatAreNotRegularFiles:
    @as_root
    @pytest.mark.parametrize("kind", STRAIGHT)
    @pytest.mark.parametrize("role", ["output", "quarantine", "read_batches quarantine"])
    def test_written_straight_into_and_left_what_they_are(self, tmp_path, write, kind, role):
        source = write(ROWS, "d.csv")
        clean, rest = rescued(source, tmp_path, **STRICT)
        folder = tmp_path / "t"
        folder.mkdir()
        path, received = straight_target(kind, folder)
        before = {p: os.lstat(folder / p) for p in listing(folder)}
        if role == "output":
            csv_quorle.rescue(source, path, folder / "q.csv", **STRICT)
            expected = clean
        elif role == "quarantine":
            csv_quorle.rescue(source, folder / "o.csv", path, **STRICT)
            expected = rest
        else:
            pytest.importorskip("pyarrow")
            csv_quorle.read_arrow(source, quarantine=path, **STRICT)
            expected = rest
        assert received() in (None, expected)
        for name, st in before.items():  # the device or FIFO is still that, the same inode
            now = os.lstat(folder / name)
            assert (now.st_mode, now.st_ino, now.st_rdev) == (st.st_mode, st.st_ino, st.st_rdev)
        assert not any(p.endswith(".part") for p in listing(folder))

    def test_a_source_read_through_proc_self_fd(self, tmp_path, write):
        source = write(ROWS, "d.csv")
        with tempfile.TemporaryFile(dir=tmp_path) as f:
            f.write(source.read_bytes())
            f.flush()
            report = csv_quorle.rescue(f"/proc/self/fd/{f.fileno()}", tmp_path / "o.csv")
        assert report == csv_quorle.rescue(source, tmp_path / "p.csv")
        assert (tmp_path / "o.csv").read_bytes() == (tmp_path / "p.csv").read_bytes()

    @as_root
    def test_the_command_writes_straight_into_fifo_and_device(self, tmp_path):
        (tmp_path / "d.csv").write_text(ROWS)
        path, received = straight_target("fifo", tmp_path)
        os.mknod(tmp_path / "null", stat.S_IFCHR | 0o666, os.makedev(1, 3))
        run = cli("rescue", "d.csv", "-o", path, "-q", "null", "--repairs", "null", cwd=tmp_path)
        assert run.returncode == 0, run.stderr
        assert received() == rescued(tmp_path / "d.csv", tmp_path)[0]
        assert stat.S_ISCHR(os.stat(tmp_path / "null").st_mode)
        assert stat.S_ISFIFO(os.stat(tmp_path / "fifo").st_mode)

    def test_standard_input_among_many_reaches_the_workers(self, tmp_path):
        (tmp_path / "d.csv").write_text(ROWS)
        piped = ROWS.replace("Ann", "Eve").encode()
        run = cli("rescue", "-", "d.csv", "--out-dir", "out", cwd=tmp_path, input=piped)
        assert run.returncode == 0, run.stderr
        clean = rescued(tmp_path / "d.csv", tmp_path)[0]
        assert (tmp_path / "out" / "d.csv").read_bytes() == clean
        assert (tmp_path / "out" / "stdin.csv").read_bytes() == clean.replace(b"Ann", b"Eve")

    def test_check_without_a_null_device_writes_nothing(self, tmp_path, monkeypatch, capsys):
        from csv_quorle._cli import main

        monkeypatch.setattr(os, "devnull", str(tmp_path / "null"))  # a regular file, as in a bad container
        (tmp_path / "null").write_text("")
        for name in ("d.csv", "e.csv"):
            (tmp_path / name).write_text(ROWS)
        assert main(["check", str(tmp_path / "d.csv"), str(tmp_path / "e.csv")]) == 0
        assert listing(tmp_path) == ["d.csv", "e.csv", "null"] and (tmp_path / "null").read_text() == ""
        assert "2 files: 2 ok, 0 failed; 8 rows" in capsys.readouterr().out

    def test_standard_output_gets_nothing_from_a_failed_rescue(self, tmp_path):
        run = cli("rescue", "-", "-o", "-", input=b"\x89PNG\r\n\x1a\n" + bytes(range(256)) * 20)
        assert run.returncode == 1 and run.stdout == b""
        assert "PNG image" in run.stderr.decode()


class TestModesAndLinks:
    @pytest.mark.parametrize("umask", [0o022, 0o077])
    def test_new_outputs_follow_the_umask(self, tmp_path, umask):
        (tmp_path / "d.csv").write_text(ROWS)
        run = cli("rescue", "d.csv", "-o", "o.csv", "-q", "q.csv", "--repairs", "r.csv", cwd=tmp_path,
                  umask=umask)
        assert run.returncode == 0, run.stderr
        modes = {name: stat.S_IMODE(os.stat(tmp_path / name).st_mode) for name in ("o.csv", "q.csv", "r.csv")}
        assert modes == dict.fromkeys(modes, 0o666 & ~umask)

    def test_a_replaced_file_keeps_its_mode_without_set_id_bits(self, tmp_path, write):
        source = write(ROWS)
        for name, mode in (("o.csv", 0o4755), ("q.csv", 0o2640)):
            (tmp_path / name).write_text("old")
            os.chmod(tmp_path / name, mode)
        csv_quorle.rescue(source, tmp_path / "o.csv", tmp_path / "q.csv")
        assert stat.S_IMODE(os.stat(tmp_path / "o.csv").st_mode) == 0o755
        assert stat.S_IMODE(os.stat(tmp_path / "q.csv").st_mode) == 0o640

    OTHER, FOLDER_OWNER = 4242, 4343

    @as_root
    @pytest.mark.parametrize(
        "folder_mode, link_owner, refused",
        [
            (0o1777, OTHER, True),  # someone else's link in /tmp: the kernel's rule refuses it
            (0o1777, 0, False),  # the caller's own link
            (0o1777, FOLDER_OWNER, False),  # the folder owner's link
            (0o0777, OTHER, False),  # not sticky
        ],
    )
    def test_a_link_in_a_sticky_shared_folder(self, tmp_path, write, folder_mode, link_owner, refused):
        source = write(ROWS)
        shared = tmp_path / "shared"
        shared.mkdir()
        os.chown(shared, self.FOLDER_OWNER, self.FOLDER_OWNER)
        os.chmod(shared, folder_mode)
        victim = tmp_path / "victim.csv"
        victim.write_text("precious")
        link = shared / "out.csv"
        link.symlink_to(victim)
        os.lchown(link, link_owner, link_owner)
        before = listing(tmp_path)
        for call in (lambda: csv_quorle.rescue(source, link),
                     lambda: csv_quorle.rescue(source, tmp_path / "o.csv", link)):
            if refused:
                with pytest.raises(PermissionError) as info:
                    call()
                assert info.value.errno == errno.EACCES and info.value.filename == str(link)
                assert victim.read_text() == "precious" and listing(tmp_path) == before
            else:
                call()
                assert link.is_symlink() and victim.read_text() != "precious"
                victim.write_text("precious")


class TestWithoutUnnamedFiles:
    """A file system without O_TMPFILE: a named `.part` file beside the target instead."""

    @pytest.fixture(autouse=True)
    def no_unnamed_files(self, monkeypatch):
        real_open = os.open

        def refusing(path, flags, *args, **kwargs):
            if flags & os.O_TMPFILE == os.O_TMPFILE:
                raise OSError(errno.EOPNOTSUPP, os.strerror(errno.EOPNOTSUPP), path)
            return real_open(path, flags, *args, **kwargs)

        monkeypatch.setattr(os, "open", refusing)

    def test_put_in_place_or_removed(self, tmp_path, write):
        source = write(ROWS)
        expected = rescued(source, tmp_path, **STRICT)
        out, q, q2 = tmp_path / "o.csv", tmp_path / "q.csv", tmp_path / "q2.csv"
        q.write_text("old")
        os.chmod(q, 0o640)
        csv_quorle.rescue(source, out, q, **STRICT)
        assert (out.read_bytes(), q.read_bytes()) == expected and stat.S_IMODE(os.stat(q).st_mode) == 0o640
        pytest.importorskip("pyarrow")
        csv_quorle.read_arrow(source, quarantine=q2, **STRICT)
        assert q2.read_bytes() == expected[1]
        with pytest.raises(FileNotFoundError):
            csv_quorle.rescue(source, tmp_path / "o2.csv", tmp_path / "no" / "q.csv")
        csv_quorle.read_batches(source, quarantine=tmp_path / "q3.csv")  # dropped unread
        assert listing(tmp_path) == ["input_0.csv", "o.csv", "oracle", "q.csv", "q2.csv"]


def big_dirty(path: pathlib.Path, rows: int = 40_000) -> pathlib.Path:
    """About 1 MB, half of it quarantined under STRICT."""
    lines = (f"{i},x,{i * 7}\n" if i % 2 else f"{i},short\n" for i in range(rows))
    path.write_text("id,a,b\n" + "".join(lines))
    return path


@pytest.fixture
def small_disk(tmp_path):
    """A 256 KB file system under tmp_path, holding an old pair of outputs."""
    if os.geteuid() != 0:
        pytest.skip("mounting needs root")
    disk = tmp_path / "small"
    disk.mkdir()
    if subprocess.run(["mount", "-t", "tmpfs", "-o", "size=256k", "tmpfs", disk]).returncode != 0:
        pytest.skip("cannot mount a tmpfs here")
    try:
        (disk / "o.csv").write_text("old output")
        (disk / "q.csv").write_text("old quarantine")
        yield disk
    finally:
        subprocess.run(["umount", "-l", disk], check=True)


class TestFullDisk:
    @pytest.mark.parametrize("full", ["output", "quarantine", "read_batches quarantine"])
    def test_nothing_is_replaced_and_nothing_is_left(self, tmp_path, small_disk, full):
        source = big_dirty(tmp_path / "big.csv")
        other = tmp_path / "elsewhere"
        other.mkdir()
        (other / "o.csv").write_text("old output")
        out = small_disk / "o.csv" if full == "output" else other / "o.csv"
        q = small_disk / "q.csv"
        if full == "read_batches quarantine":
            pytest.importorskip("pyarrow")
        with pytest.raises(OSError) as info:
            if full == "read_batches quarantine":
                csv_quorle.read_arrow(source, quarantine=q, **STRICT)
            else:
                csv_quorle.rescue(source, out, q, **STRICT)
        assert (info.value.errno, info.value.filename) == (errno.ENOSPC, str(out if full == "output" else q))
        assert listing(small_disk) == ["o.csv", "q.csv"] and listing(other) == ["o.csv"]
        assert (small_disk / "q.csv").read_text() == "old quarantine"
        assert out.read_text() == "old output"


# A child that rescues with the commit paused at a given step, telling the parent through a pipe.
PAUSED_CHILD = """
import sys
from csv_quorle import _native
_native.pause_commits_for_tests(int(sys.argv[1]), int(sys.argv[2]))
if sys.argv[3] == "cli":
    from csv_quorle._cli import main
    sys.exit(main(sys.argv[4:]))
import csv_quorle
csv_quorle.rescue(*sys.argv[3:], fill_ragged_rows=False, merge_overflow=False)
"""


def paused_child(step, args, tmpdir):
    r, w = os.pipe()
    child = subprocess.Popen([sys.executable, "-c", PAUSED_CHILD, str(w), str(step), *map(str, args)],
                             pass_fds=(w,), stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                             env={**os.environ, "TMPDIR": str(tmpdir)})
    os.close(w)
    with open(r, "rb") as pipe:
        assert pipe.read(1) == b"!", child.communicate()
    return child


class TestCommit:
    @pytest.fixture
    def pair(self, tmp_path, write):
        """The source, the old pair in place, and the new pair a rescue makes of the source."""
        source = write(ROWS, "d.csv")
        new = rescued(source, tmp_path, **STRICT)
        (tmp_path / "o.csv").write_text("old output")
        (tmp_path / "q.csv").write_text("old quarantine")
        (tmp_path / "tmp").mkdir()
        return source, tmp_path / "o.csv", tmp_path / "q.csv", new

    def state(self, out, q, new):
        def which(path, fresh):
            if not path.exists():
                return None
            return "new" if path.read_bytes() == fresh else "old"
        return which(out, new[0]), which(q, new[1])

    def test_sigint_inside_the_commit_is_raised_after_it(self, pair, sigint_raises):
        source, out, q, new = pair
        r, w = os.pipe()
        interrupter = threading.Thread(target=lambda: (os.read(r, 1), os.kill(os.getpid(), signal.SIGINT)))
        interrupter.start()
        _native.pause_commits_for_tests(w, 2)
        try:
            with pytest.raises(KeyboardInterrupt):
                csv_quorle.rescue(source, out, q, **STRICT)
        finally:
            _native.pause_commits_for_tests(-1, 0)
            interrupter.join()
            os.close(r)
            os.close(w)
        assert self.state(out, q, new) == ("new", "new")
        assert listing(out.parent) == KNOWN

    def test_sigterm_to_the_command_inside_the_commit(self, pair):
        source, out, q, new = pair
        child = paused_child(3, ["cli", "rescue", source, "-o", out, "-q", q, "--strict"], out.parent / "tmp")
        child.send_signal(signal.SIGTERM)
        _, err = child.communicate(timeout=60)
        assert child.returncode == 143 and err.strip() == b"csv-quorle: terminated"
        assert self.state(out, q, new) == ("new", "new")
        assert listing(out.parent) == KNOWN and listing(out.parent / "tmp") == []

    # Killed after each step: the old pair, or an output without quarantine; never a new output
    # beside the old quarantine.
    @pytest.mark.parametrize("step, expected", [(1, ("old", "old")), (2, ("old", None)), (3, ("new", None))])
    def test_sigkill_inside_the_commit(self, pair, step, expected):
        source, out, q, new = pair
        child = paused_child(step, [source, out, q], out.parent / "tmp")
        child.kill()
        child.wait(timeout=60)
        assert self.state(out, q, new) == expected
        assert listing(out.parent / "tmp") == []
        # Only within these few calls may the staged names be left behind.
        assert all(p.endswith(".part") for p in set(listing(out.parent)) - set(KNOWN))

    def test_sigkill_while_writing_leaves_nothing(self, pair):
        source, out, q, _ = pair
        os.mkfifo(out.parent / "fifo")  # the child waits there for a reader, its output open
        code = "import csv_quorle, sys; csv_quorle.rescue(*sys.argv[1:])"
        child = subprocess.Popen([sys.executable, "-c", code, source, out, out.parent / "fifo"])
        deadline = time.monotonic() + 60
        while not unnamed_files_of(child.pid, out.parent):
            assert time.monotonic() < deadline and child.poll() is None
            time.sleep(0.01)
        child.kill()
        child.wait(timeout=60)
        assert listing(out.parent) == sorted([*KNOWN, "fifo"]) and out.read_text() == "old output"


KNOWN = ["d.csv", "o.csv", "oracle", "q.csv", "tmp"]  # the folder of TestCommit's pair


def unnamed_files_of(pid: int, folder: pathlib.Path) -> list[str]:
    """The files of `folder` the process has open that have no name (any more)."""
    found = []
    for fd in os.listdir(f"/proc/{pid}/fd"):
        try:
            link = os.readlink(f"/proc/{pid}/fd/{fd}")
        except OSError:
            continue
        if link.startswith(f"{folder}/") and link.endswith(" (deleted)"):
            found.append(link)
    return found


MANY_CHILD = """
import json, multiprocessing, os, signal, sys
import csv_quorle
killed = []
def kill_a_worker(result):
    if not killed:
        worker = multiprocessing.active_children()[0]
        os.kill(worker.pid, signal.SIGKILL)
        killed.append(worker.pid)
if __name__ == "__main__":
    results = csv_quorle.rescue_many(sys.argv[2:], sys.argv[1], workers=2, progress=kill_a_worker)
    print(json.dumps([[r.source, r.output, r.error] for r in results]))
"""


def test_a_killed_worker_leaves_nothing_half_written(tmp_path):
    folder, out, spool = tmp_path / "in", tmp_path / "out", tmp_path / "tmp"
    for d in (folder, spool):
        d.mkdir()
    sources = []
    for i in range(24):
        sources.append(big_dirty(folder / f"{i}.csv", rows=2_000 + 100 * i))
    script = tmp_path / "many.py"
    script.write_text(MANY_CHILD)
    run = subprocess.run([sys.executable, script, out, *sources], capture_output=True, timeout=300,
                         env={**os.environ, "TMPDIR": str(spool)})
    assert run.returncode == 0, run.stderr
    results = json.loads(run.stdout)
    assert [r[0] for r in results] == [str(s) for s in sources]
    for source, output, error in results:
        assert error is None or not os.path.exists(output)
        if error is None:
            assert open(output, "rb").read() == rescued(source, tmp_path)[0]
    assert listing(out) == sorted(os.path.basename(r[1]) for r in results if r[2] is None)
    assert listing(spool) == []
