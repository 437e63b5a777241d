"""rescue(progress=): bytes done of bytes total, from the pass, at most every 100 ms."""

from __future__ import annotations

import gzip
import io
import os
import pathlib
import tempfile
import time

import pytest

import csv_quorle
from csv_quorle._cli import run as cli_run
from csv_quorle._many_files import Job, run_jobs

PERIOD = 0.1


class Recorder:
    """Notes each call with its time; sleeps a little so that the pass spans several periods."""

    def __init__(self, pause: float = 0.02, fail_after: int | None = None) -> None:
        self.calls: list[tuple[int, int | None]] = []
        self.times: list[float] = []
        self.pause = pause
        self.fail_after = fail_after

    def __call__(self, done: int, total: int | None) -> None:
        self.times.append(time.monotonic())
        self.calls.append((done, total))
        if self.fail_after is not None and len(self.calls) > self.fail_after:
            raise LookupError("stop here")
        time.sleep(self.pause)


def table_bytes(rows: int) -> bytes:
    # Some damage, so that the pass does some of its real work: short rows padded.
    lines = [b"id,name,note,amount"]
    for i in range(rows):
        if i % 31 == 0:
            lines.append(b"%d,short" % i)
        else:
            lines.append(b"%d,name %d,some note text here,%d.%02d" % (i, i, i * 7, i % 100))
    return b"\n".join(lines) + b"\n"


@pytest.fixture(scope="module")
def big_source(tmp_path_factory) -> pathlib.Path:
    path = tmp_path_factory.mktemp("progress") / "big.csv"
    path.write_bytes(table_bytes(100_000))  # about 5 MB
    return path


def test_calls_are_spaced_monotonic_and_end_at_the_total(big_source, tmp_path):
    seen = Recorder()
    # One thread: with more, the calls come part by part (16 MB), past the end of this file.
    report = csv_quorle.rescue(big_source, tmp_path / "clean.csv", tmp_path / "rest.csv", progress=seen,
                               threads=1)
    size = big_source.stat().st_size
    assert report.total_rows == 100_000
    assert len(seen.calls) >= 2
    assert seen.calls[-1] == (size, size)
    done = [d for d, _ in seen.calls]
    assert done == sorted(done) and all(t == size for _, t in seen.calls)
    assert all(0 < d < size for d in done[:-1])
    gaps = [b - a for a, b in zip(seen.times[:-2], seen.times[1:-1])]
    assert all(g >= PERIOD for g in gaps), gaps


def test_an_exception_from_the_callable_leaves_nothing_behind(big_source, tmp_path):
    before = set(os.listdir(tempfile.gettempdir()))
    stop = Recorder(fail_after=0)
    with pytest.raises(LookupError, match="stop here"):
        csv_quorle.rescue(big_source, tmp_path / "clean.csv", tmp_path / "rest.csv", progress=stop,
                          threads=1)
    assert len(stop.calls) == 1 and stop.calls[0][0] < big_source.stat().st_size  # from the pass
    assert os.listdir(tmp_path) == []
    assert set(os.listdir(tempfile.gettempdir())) <= before


def test_an_unpacked_input_has_no_total(tmp_path):
    data = table_bytes(2000)
    packed = tmp_path / "in.csv.gz"
    packed.write_bytes(gzip.compress(data))
    seen = Recorder(pause=0)
    job = Job(str(packed), str(tmp_path / "in.csv"), None, {})
    (result,) = run_jobs([job], workers=1, progress=seen)
    assert result.report is not None
    assert seen.calls[-1] == (len(data), None)


class Terminal(io.StringIO):
    """Standard error as a terminal with no size set."""

    def isatty(self) -> bool:
        return True


def test_the_cli_bar_moves_within_a_file(big_source, tmp_path, monkeypatch):
    monkeypatch.setattr("sys.stderr", Terminal())
    positions: list[tuple[int, int]] = []
    moved = cli_run.Progress.bytes_done

    def noting(self, done, total):
        moved(self, done, total)
        positions.append((self.bar.n, self.bar.total))

    monkeypatch.setattr(cli_run.Progress, "bytes_done", noting)
    monkeypatch.setattr(cli_run.Progress, "close", lambda self: None)  # keeps the bar's text
    job = Job(str(big_source), str(tmp_path / "clean.csv"), None, {})
    (result,) = cli_run.run([job])
    assert result.report is not None
    size = big_source.stat().st_size
    assert any(0 < n < size for n, _ in positions), positions
    assert positions[-1] == (size, size)
    assert "%" in __import__("sys").stderr.getvalue()  # drawn at a fixed width


def test_read_batches_reports_from_its_pass(big_source):
    pa = pytest.importorskip("pyarrow")
    seen = Recorder()
    batches = csv_quorle.read_batches(big_source, progress=seen)
    rows = pa.RecordBatchReader.from_stream(batches).read_all().num_rows
    size = big_source.stat().st_size
    assert rows == batches.report.good_rows == 100_000
    assert len(seen.calls) >= 2 and seen.calls[-1] == (size, size)
    assert [d for d, _ in seen.calls] == sorted(d for d, _ in seen.calls)


def test_read_batches_stopped_by_the_callable(big_source, tmp_path):
    pa = pytest.importorskip("pyarrow")
    before = set(os.listdir(tempfile.gettempdir()))
    batches = csv_quorle.read_batches(big_source, quarantine=tmp_path / "rest.csv",
                                      progress=Recorder(fail_after=0))
    with pytest.raises(Exception, match="progress callable"):
        pa.RecordBatchReader.from_stream(batches).read_all()
    with pytest.raises(LookupError, match="stop here"):
        batches.report
    del batches
    assert os.listdir(tmp_path) == []
    assert set(os.listdir(tempfile.gettempdir())) <= before
