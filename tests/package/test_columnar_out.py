"""write_parquet() and write_ipc(): the file read back by pyarrow is read_arrow()'s table, the
quarantine and report are rescue()'s, and a failure half-way leaves nothing behind."""

from __future__ import annotations

import dataclasses
import os
import subprocess
import sys

import pytest

import csv_quorle

pa = pytest.importorskip("pyarrow")
pq = pytest.importorskip("pyarrow.parquet")
import pyarrow.feather as feather  # noqa: E402

# Damaged on purpose: a ragged row, an unterminated quote and a footer.
DAMAGED = ("id;amount;day;note\n"
           + "".join(f"{i};{i * 1000},5{i % 10};2021-01-{1 + i % 28:02d};n{i}\n" for i in range(1, 40))
           + "40;1,5\n41;x;2021-02-30;\"open\n42;7,25;2021-03-01;ok\n\nTotal;123\n")


@pytest.fixture
def damaged(tmp_path):
    source = tmp_path / "export.csv"
    source.write_text(DAMAGED, encoding="utf-8")
    return source


def listing(folder):
    return sorted(os.listdir(folder))


@pytest.mark.parametrize("suffix, read_back", [
    (".parquet", lambda p: pq.read_table(p)),
    (".arrow", lambda p: feather.read_table(p)),
    (".feather", lambda p: feather.read_table(p)),
])
@pytest.mark.parametrize("types", [None, "infer"])
def test_file_read_back_is_read_arrows_table(damaged, tmp_path, suffix, read_back, types):
    target, rest = tmp_path / f"out{suffix}", tmp_path / "rest.csv"
    write = csv_quorle.write_parquet if suffix == ".parquet" else csv_quorle.write_ipc
    report = write(damaged, target, rest, types=types, batch_rows=16)
    expected = csv_quorle.read_arrow(damaged, types=types, batch_rows=16)
    assert read_back(target).equals(expected)
    # The quarantine and the counts are those of a rescue to CSV.
    oracle = csv_quorle.rescue(damaged, tmp_path / "clean.csv", tmp_path / "oracle.csv")
    assert rest.read_bytes() == (tmp_path / "oracle.csv").read_bytes()
    assert dataclasses.replace(report, cell_errors=()) == oracle
    assert bool(report.cell_errors) == (types == "infer")
    if suffix == ".parquet":
        assert pq.ParquetFile(target).metadata.num_row_groups == -(-report.good_rows // 16)


@pytest.mark.parametrize("where", ["second batch", "closing, the stream read to its end"])
def test_failure_half_way_leaves_nothing(damaged, tmp_path, monkeypatch, where):
    target, rest = tmp_path / "out.parquet", tmp_path / "rest.csv"
    target.write_bytes(b"old output")
    rest.write_bytes(b"old quarantine")
    before = listing(tmp_path)
    calls = []
    write_batch, close = pq.ParquetWriter.write_batch, pq.ParquetWriter.close

    def interrupted_write(self, batch, row_group_size=None):
        calls.append(batch.num_rows)
        if len(calls) == 2 and where == "second batch":
            raise KeyboardInterrupt
        return write_batch(self, batch, row_group_size)

    def interrupted_close(self):
        close(self)
        if where != "second batch":
            raise KeyboardInterrupt

    monkeypatch.setattr(pq.ParquetWriter, "write_batch", interrupted_write)
    monkeypatch.setattr(pq.ParquetWriter, "close", interrupted_close)
    with pytest.raises(KeyboardInterrupt):
        csv_quorle.write_parquet(damaged, target, rest, batch_rows=8)
    assert calls[:2] == [8, 8]
    assert listing(tmp_path) == before and target.read_bytes() == b"old output"
    assert rest.read_bytes() == b"old quarantine"


@pytest.mark.parametrize("name", ["source", "fifo"])
def test_refused_before_anything_is_written(damaged, tmp_path, name):
    target = damaged
    if name == "fifo":
        target = tmp_path / "pipe.parquet"
        os.mkfifo(target)
    before = listing(tmp_path)
    with pytest.raises(OSError):
        csv_quorle.write_parquet(damaged, target, tmp_path / "rest.csv")
    assert listing(tmp_path) == before and damaged.read_text(encoding="utf-8") == DAMAGED


def test_clear_error_without_pyarrow(damaged, tmp_path, monkeypatch):
    monkeypatch.setitem(sys.modules, "pyarrow", None)
    with pytest.raises(ImportError, match=r"csv-quorle\[arrow\]"):
        csv_quorle.write_ipc(damaged, tmp_path / "out.arrow")
    with pytest.raises(ImportError, match=r"csv-quorle\[arrow\]"):
        csv_quorle.read_batches(damaged, types="infer")
    assert listing(tmp_path) == ["export.csv"]


def test_command_line_picks_the_format_by_suffix(damaged, tmp_path):
    run = subprocess.run([sys.executable, "-m", "csv_quorle", "rescue", damaged, "-o",
                          tmp_path / "out.feather", "-q", tmp_path / "rest.csv"],
                         capture_output=True, text=True)
    assert run.returncode == 0, run.stderr
    assert feather.read_table(tmp_path / "out.feather").equals(csv_quorle.read_arrow(damaged))
