"""The source as it is read: a file cut short meanwhile is an error naming it (never a SIGBUS),
compressed inputs are judged before they are unpacked into an unnamed file, the binary check
reads what the caller gave as text, and a column count that cannot fit is refused up front."""

import csv
import errno
import gzip
import io
import os
import subprocess
import sys
import textwrap
import threading
import time

import pytest

import csv_quorle
from csv_quorle import _native
from csv_quorle._files.inputs import BinaryInputError, binary_kind, plain_input

pa = pytest.importorskip("pyarrow")


def export(rows: int, width: int = 8) -> bytes:
    line = ",".join(f"field{i}" for i in range(width)) + "\n"
    return line.encode() * rows


def listing(folder) -> list[str]:
    return sorted(os.listdir(folder))


def cut_before(native_name: str, monkeypatch, size: int = 100) -> None:
    """Wraps a native entry point so that the source is cut short once it is mapped, just before
    the pass starts."""
    original = getattr(_native, native_name)

    def cut_then_run(buffer, *args, **options):
        os.truncate(buffer.obj.name, size)
        return original(buffer, *args, **options)

    monkeypatch.setattr(_native, native_name, cut_then_run)


class TestSourceCutShort:
    def test_rescue_before_the_pass(self, tmp_path, monkeypatch):
        src = tmp_path / "export.csv"
        src.write_bytes(export(20_000))
        cut_before("rescue", monkeypatch)
        with pytest.raises(OSError, match="the source changed while it was read") as caught:
            csv_quorle.rescue(src, tmp_path / "clean.csv", tmp_path / "q.csv")
        assert caught.value.errno == errno.EIO and caught.value.filename == str(src)
        assert listing(tmp_path) == ["export.csv"]

    def test_rescue_during_the_pass(self, tmp_path):
        src = tmp_path / "export.csv"
        src.write_bytes(export(1_500_000))  # 80 MB: the pass outlasts the cut by far
        done = threading.Event()

        def output_flows() -> bool:
            # The output is an unnamed file in its folder until the commit: find it among this
            # process's descriptors.
            for fd in os.listdir("/proc/self/fd"):
                try:
                    target = os.readlink(f"/proc/self/fd/{fd}")
                    if target.startswith(f"{tmp_path}/#") and os.stat(f"/proc/self/fd/{fd}").st_size:
                        return True
                except OSError:
                    pass
            return False

        def cut_once_output_flows():
            while not done.is_set():
                if output_flows():
                    os.truncate(src, 4096)
                    return
                time.sleep(0.0005)

        cutter = threading.Thread(target=cut_once_output_flows)
        cutter.start()
        try:
            with pytest.raises(OSError, match="changed while it was read") as caught:
                csv_quorle.rescue(src, tmp_path / "clean.csv", tmp_path / "q.csv")
        finally:
            done.set()
            cutter.join()
        assert caught.value.filename == str(src)
        assert listing(tmp_path) == ["export.csv"]

    def test_read_batches_before_the_stream(self, tmp_path, monkeypatch):
        src = tmp_path / "export.csv"
        src.write_bytes(export(20_000))
        cut_before("open_batches", monkeypatch)
        batches = csv_quorle.read_batches(src, quarantine=tmp_path / "q.csv")
        with pytest.raises(OSError, match=f"{src}: the source changed"):
            pa.table(batches)
        with pytest.raises(OSError, match="the source changed") as caught:
            batches.report
        assert caught.value.filename == str(src)
        del batches
        assert listing(tmp_path) == ["export.csv"]

    def test_read_batches_during_the_stream(self, tmp_path):
        src = tmp_path / "export.csv"
        src.write_bytes(export(400_000))
        batches = csv_quorle.read_batches(src, batch_rows=10_000, quarantine=tmp_path / "q.csv")
        reader = pa.RecordBatchReader.from_stream(batches)
        assert reader.read_next_batch().num_rows == 10_000
        os.truncate(src, 4096)
        with pytest.raises(OSError, match="changed while it was read"):
            reader.read_all()
        del reader, batches
        assert listing(tmp_path) == ["export.csv"]

    def test_cli_fails_that_file_only(self, tmp_path):
        # In every process of the run (the pool's workers too), the source named bad.csv is cut
        # short right after it is mapped.
        hook = tmp_path / "hook"
        hook.mkdir()
        (hook / "sitecustomize.py").write_text(textwrap.dedent("""
            import os
            from csv_quorle import _native
            original = _native.rescue
            def rescue(buffer, *args, **options):
                if buffer.obj.name.endswith("bad.csv"):
                    os.truncate(buffer.obj.name, 10)
                return original(buffer, *args, **options)
            _native.rescue = rescue
        """))
        inputs = tmp_path / "in"
        inputs.mkdir()
        for name in ("bad.csv", "good.csv"):
            (inputs / name).write_bytes(export(5_000))
        env = {**os.environ, "PYTHONPATH": str(hook)}
        run = subprocess.run([sys.executable, "-m", "csv_quorle", "rescue", inputs / "bad.csv",
                              inputs / "good.csv", "--out-dir", tmp_path / "out"],
                             capture_output=True, env=env, timeout=300)
        assert run.returncode == 1
        errors = run.stderr.decode().splitlines()
        assert errors == [f"csv-quorle: {inputs / 'bad.csv'}: the source changed while it was read"]
        assert listing(tmp_path / "out") == ["good.csv"]


# A fault outside the guarded maps meets whatever was there before: the default action, or
# faulthandler (as under pytest), which reports it once and ends the process.
FOREIGN_FAULT = """
import mmap, os, sys, csv_quorle
src, other = sys.argv[1], sys.argv[2]
with open(src, "w") as f:
    f.write("a,b\\n1,2\\n" * 100_000)
original = csv_quorle._native.rescue
def cut_then_run(buffer, *args, **options):
    os.truncate(src, 10)
    return original(buffer, *args, **options)
csv_quorle._native.rescue = cut_then_run
try:
    csv_quorle.rescue(src, other + ".out")
except OSError as e:
    print("guarded:", e.strerror, flush=True)
with open(other, "wb") as f:
    f.write(b"x" * 65536)
with open(other, "rb") as f:
    m = mmap.mmap(f.fileno(), 0, access=mmap.ACCESS_READ)
os.truncate(other, 0)
m[40000]
print("not reached")
"""


@pytest.mark.parametrize("flags, reports", [((), 0), (("-X", "faulthandler"), 1)],
                         ids=["default", "faulthandler"])
def test_fault_outside_the_source_meets_the_previous_action(flags, reports, tmp_path):
    run = subprocess.run([sys.executable, *flags, "-c", FOREIGN_FAULT, tmp_path / "a.csv", tmp_path / "b"],
                         capture_output=True, timeout=60)
    assert run.stdout == b"guarded: the source changed while it was read\n"
    # SIGBUS, as if the guard were not there; under AddressSanitizer, its report ends the chain.
    assert run.returncode == -7 or b"AddressSanitizer: BUS" in run.stderr
    assert run.stderr.count(b"Fatal Python error: Bus error") == reports


class TestCompressedInput:
    @pytest.fixture
    def small_tmp(self, tmp_path):
        """A 512 KiB file system for the unpacked copies (skipped unless it can be mounted)."""
        folder = tmp_path / "small"
        folder.mkdir()
        if subprocess.run(["mount", "-t", "tmpfs", "-o", "size=512k", "tmpfs", folder],
                          capture_output=True).returncode != 0:
            pytest.skip("cannot mount a tmpfs here")
        yield folder
        subprocess.run(["umount", folder], check=True)

    def test_binary_stream_is_refused_before_anything_is_unpacked(self, tmp_path, small_tmp):
        packed = tmp_path / "zeros.csv.gz"
        packed.write_bytes(gzip.compress(bytes(64 << 20)))
        with pytest.raises(BinaryInputError, match="binary data"):
            with plain_input(str(packed), str(small_tmp)):
                pass
        assert os.statvfs(small_tmp).f_bfree == os.statvfs(small_tmp).f_blocks  # nothing written

    def test_full_temporary_folder_is_named(self, tmp_path, small_tmp):
        packed = tmp_path / "big.csv.gz"
        packed.write_bytes(gzip.compress(export(40_000)))  # 2.6 MB unpacked
        with pytest.raises(OSError) as caught:
            with plain_input(str(packed), str(small_tmp)):
                pass
        assert caught.value.errno == errno.ENOSPC and caught.value.filename == str(small_tmp)
        assert "temporary folder" in caught.value.strerror
        assert listing(small_tmp) == []

    def test_unpacked_copy_has_no_name_and_errors_name_the_input(self, tmp_path):
        packed = tmp_path / "a.csv.gz"
        packed.write_bytes(gzip.compress(export(100)))
        folder = tmp_path / "tmp"
        folder.mkdir()
        with pytest.raises(OSError) as caught:
            with plain_input(str(packed), str(folder)) as plain:
                assert plain.startswith("/proc/self/fd/") and listing(folder) == []
                assert open(plain, "rb").read() == export(100)
                os.open(plain, os.O_RDONLY | os.O_DIRECTORY)  # fails, naming the copy
        assert caught.value.filename == str(packed)


TEXT = export(30).decode()


@pytest.mark.parametrize("sample, given, kind", [
    (bytes(4096), b"", "binary data"),  # a zero-filled block
    (os.urandom(8192), b"", "binary data"),
    (os.urandom(8192), b"\x01", "binary data"),
    (TEXT.encode()[:900] + bytes(2000) + TEXT.encode()[900:], b"", "binary data"),  # not padding
    (TEXT.replace(",", "\x01").encode(), b"", "binary data"),
    (TEXT.replace(",", "\x01").encode(), b"\x01", None),  # a given delimiter is text
    (TEXT.replace(",", "\x1f").replace("\n", "\x1e\n").encode(), b"\x1f\x1e", None),
    (TEXT.replace("field", "AB\0\0\0\0\0\0").encode(), b"", "binary data"),  # NULs amid a field
    (TEXT.replace(",", "\0\0\0\0\0\0,").replace("\n", "\0\0\0\n").encode(), b"", None),  # padding
    (TEXT.replace(",", "\0\0,").encode(), b"\0", None),  # NUL as the delimiter
])
def test_binary_or_text(sample, given, kind):
    assert binary_kind(sample, given) == kind


@pytest.mark.parametrize("data, options", [
    (TEXT.replace(",", "\x01").encode(), ("--delimiter", "\x01")),
    (b"".join(b"%-8s,%-8s\n" % (b"AB", b"C" * i) for i in range(1, 9)).replace(b" ", b"\0"), ()),
])
def test_cli_reads_as_csv_module_does(data, options, tmp_path):
    src = tmp_path / "export.csv.gz"
    src.write_bytes(gzip.compress(data))
    run = subprocess.run([sys.executable, "-m", "csv_quorle", "rescue", src, "-o", tmp_path / "out.csv",
                          "--no-header", *options], capture_output=True, timeout=120)
    assert run.returncode == 0, run.stderr
    delimiter = options[1] if options else ","
    expected = list(csv.reader(io.StringIO(data.decode()), delimiter=delimiter))
    assert list(csv.reader(open(tmp_path / "out.csv", newline=""))) == expected


@pytest.mark.parametrize("call", [
    lambda src, out, n: csv_quorle.rescue(src, out, expected_columns=n),
    lambda src, out, n: csv_quorle.read_batches(src, expected_columns=n, quarantine=out),
], ids=["rescue", "read_batches"])
def test_column_count_that_cannot_fit_is_refused(call, tmp_path):
    src = tmp_path / "export.csv"
    src.write_bytes(b"a,b\n1,2\n")
    with pytest.raises(ValueError, match=r"expected_columns=1099511627776 cannot fit"):
        call(src, tmp_path / "out.csv", 2**40)
    assert listing(tmp_path) == ["export.csv"]
    call(src, tmp_path / "out.csv", 5)  # wider than any row, and it fits: padded
