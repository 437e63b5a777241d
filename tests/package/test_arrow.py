"""read_batches() and the DataFrame conveniences: the stream holds exactly the clean file's rows,
real consumers take it, and a stream abandoned or failing leaves nothing behind."""

from __future__ import annotations

import csv
import gc
import io
import os
import shutil
import subprocess
import sys
from pathlib import Path

import pytest

import csv_quorle

pa = pytest.importorskip("pyarrow")

LAYOUTS = sorted((Path(__file__).parent / "layouts").glob("*.csv"))


@pytest.fixture(scope="module")
def generated(tmp_path_factory) -> dict[str, Path]:
    """A clean and a dirty file from the benchmark generator, each over two hand-overs long."""
    if shutil.which("g++") is None:
        pytest.skip("no C++ compiler for the generator")
    folder = tmp_path_factory.mktemp("gen")
    exe = folder / "gen_csv"
    source = Path(__file__).resolve().parents[2] / "bench" / "gen_csv.cpp"
    subprocess.run(["g++", "-std=c++20", "-O1", "-pthread", str(source), "-o", str(exe)],
                   check=True)
    files = {}
    for preset in ("clean", "dirty"):
        files[preset] = folder / f"{preset}.csv"
        subprocess.run([str(exe), "--preset", preset, "--header", "--size", "9M", "--seed", "7",
                        str(files[preset])], check=True)
    return files


def clean_rows(source: Path, tmp_path: Path, **options) -> tuple[list[list[str]], object, str]:
    out, rest = tmp_path / "clean.csv", tmp_path / "rest.csv"
    report = csv_quorle.rescue(source, out, rest, **options)
    with open(out, newline="", encoding="utf-8") as f:
        return list(csv.reader(f)), report, rest.read_text(encoding="utf-8")


def assert_same_as_clean(source: Path, tmp_path: Path, batch_rows: int, **options) -> None:
    rows, report, quarantined = clean_rows(source, tmp_path, **options)
    batches = csv_quorle.read_batches(source, batch_rows=batch_rows,
                                      quarantine=tmp_path / "q.csv", **options)
    table = pa.table(batches)
    if report.header is not None and rows:  # the clean file starts with its header
        rows = rows[1:]
    width = table.num_columns
    for i, name in enumerate(table.column_names):
        assert table.column(name).to_pylist() == [r[i] if i < len(r) else "" for r in rows], name
    assert all(len(r) <= width for r in rows)
    assert batches.report == report
    assert (tmp_path / "q.csv").read_text(encoding="utf-8") == quarantined


@pytest.mark.parametrize("preset", ["clean", "dirty"])
def test_generated_files_equal_the_clean_output(generated, tmp_path, preset):
    assert_same_as_clean(generated[preset], tmp_path, 5000)


@pytest.mark.parametrize("path", LAYOUTS, ids=[p.stem for p in LAYOUTS])
def test_damaged_exports_equal_the_clean_output(path, tmp_path):
    try:
        assert_same_as_clean(path, tmp_path, 7)
    except ValueError as e:  # a layout whose dialect is refused is refused by both
        with pytest.raises(ValueError, match=str(e)[:20]):
            csv_quorle.rescue(path, tmp_path / "c.csv")


def test_names_padding_nulls_and_no_header(write):
    src = write('id,name,,name\n1,"a,b",x\n2,,,y,z\n')
    batches = csv_quorle.read_batches(src)
    assert batches.column_names == ["id", "name", "column_3", "name_2"]
    assert pa.table(batches).column("name_2").to_pylist() == ["", "y,z"]
    table = pa.table(csv_quorle.read_batches(src, null_padding=True))
    assert table.column("name_2").to_pylist() == [None, "y,z"]
    table = pa.table(csv_quorle.read_batches(src, header=False, expected_columns=4))
    assert table.column_names == ["column_1", "column_2", "column_3", "column_4"]
    assert table.column(0).to_pylist() == ["id", "1", "2"]
    assert table.schema.field(0).type == pa.string()


def test_large_string_when_requested(write):
    src = write("a,b\n1,2\n")
    wanted = pa.schema([("a", pa.large_string()), ("b", pa.large_string())])
    stream = csv_quorle.read_batches(src).__arrow_c_stream__(wanted.__arrow_c_schema__())
    table = pa.RecordBatchReader._import_from_c_capsule(stream).read_all()
    assert table.schema == wanted and table.column("b").to_pylist() == ["2"]


def test_consumers(write):
    pl = pytest.importorskip("polars")
    duckdb = pytest.importorskip("duckdb")
    src = write("k,v\n" + "".join(f"{i},é{i}\n" for i in range(3000)))
    df = pl.DataFrame(csv_quorle.read_batches(src, batch_rows=1000))
    assert df.shape == (3000, 2) and df["v"][2999] == "é2999"
    obj = csv_quorle.read_batches(src, batch_rows=1000)  # noqa: F841 (read by name by DuckDB)
    assert duckdb.sql("select count(*), max(k::int) from obj").fetchall() == [(3000, 2999)]
    assert csv_quorle.read_arrow(src).num_rows == 3000
    assert csv_quorle.read_polars(src).shape == (3000, 2)
    assert list(csv_quorle.read_pandas(src).columns) == ["k", "v"]


def test_stream_once_and_report_after_the_end(write):
    batches = csv_quorle.read_batches(write("a\n1\n"))
    with pytest.raises(RuntimeError, match="end"):
        batches.report
    reader = pa.RecordBatchReader.from_stream(batches)
    with pytest.raises(RuntimeError, match="already taken"):
        batches.__arrow_c_stream__()
    reader.read_all()
    assert batches.report.good_rows == 1


def task_count() -> int:
    return len(os.listdir("/proc/self/task"))


@pytest.mark.skipif(not os.path.isdir("/proc/self/task"), reason="needs /proc")
def test_stream_dropped_half_way_leaves_nothing(generated, tmp_path):
    before = task_count()
    batches = csv_quorle.read_batches(generated["dirty"], batch_rows=100,
                                      quarantine=tmp_path / "q.csv")
    reader = pa.RecordBatchReader.from_stream(batches)
    reader.read_next_batch()
    del reader
    gc.collect()
    with pytest.raises(RuntimeError):
        batches.report
    del batches
    gc.collect()
    assert os.listdir(tmp_path) == []
    assert task_count() == before
    # Never taken at all: the pass is stopped too.
    csv_quorle.read_batches(generated["clean"], quarantine=tmp_path / "q.csv")
    gc.collect()
    assert os.listdir(tmp_path) == [] and task_count() == before


def test_failing_sources_raise_at_creation(write, tmp_path):
    with pytest.raises(FileNotFoundError) as caught:
        csv_quorle.read_batches(tmp_path / "missing.csv")
    assert caught.value.filename == str(tmp_path / "missing.csv")
    src = write("a\n1\n")
    with pytest.raises(FileNotFoundError):
        csv_quorle.read_batches(src, quarantine=tmp_path / "no" / "q.csv")
    with pytest.raises(ValueError, match="batch_rows"):
        csv_quorle.read_batches(src, batch_rows=0)
    with pytest.raises(OSError, match="quarantine names the source file"):
        csv_quorle.read_batches(src, quarantine=src)
    assert os.listdir(tmp_path) == [src.name]


def test_missing_library_names_the_extra(write, monkeypatch):
    monkeypatch.setitem(sys.modules, "polars", None)
    with pytest.raises(ImportError, match=r"csv-quorle\[polars\]"):
        csv_quorle.read_polars(write("a\n1\n"))


def test_a_consumer_thread_keeps_running(generated):
    import threading

    ticks = []
    stop = threading.Event()

    def tick():
        while not stop.is_set():
            ticks.append(1)
            stop.wait(0.001)

    t = threading.Thread(target=tick)
    t.start()
    try:
        table = pa.table(csv_quorle.read_batches(generated["dirty"]))
    finally:
        stop.set()
        t.join()
    assert table.num_rows > 0 and len(ticks) > 5


def test_texts_past_the_piece_size_and_rows_past_the_whole_row_size(tmp_path):
    """Fields of over 64 MiB: one with doubled quotes stored as the input's bytes, the same stored
    as a text of its own (a blank after its closing quote) beside a plain one, go into the batch
    in pieces; a row of more fields than go in at once, one by one."""
    text = ('abcdefghi"' * ((64 << 20) // 10 + 20))[: (64 << 20) + 100]
    plain = "p" * ((64 << 20) + 7)
    raw = '"' + text.replace('"', '""') + '"'
    wide = [f"w{i}" for i in range(5000)]
    src = tmp_path / "long.csv"
    with open(src, "w", encoding="utf-8", newline="") as f:
        f.write(",".join(f"c{i}" for i in range(5000)) + "\n")
        f.write("1," + raw + "\n")
        f.write("2," + raw + " ," + plain + "\n")
        f.write(",".join(f'"{w}" ' for w in wide) + "\n")
    expected = [["1", text], ["2", text, plain], wide]
    table = pa.table(csv_quorle.read_batches(src, batch_rows=2, header=True))
    assert [[v for v in row.values() if v != ""] for row in table.to_pylist()] == expected
