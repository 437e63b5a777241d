"""rescue() and read_batches() called from many threads at once, on different files and on one
file shared by all, give what the same calls give one by one. On a free-threaded interpreter
(.ci/free_threaded.sh) the calls really overlap; elsewhere the lock is handed over as often as it
can be. The stream is read through its C interface with ctypes, so no Arrow library is needed."""

from __future__ import annotations

import csv
import ctypes
import io
import random
import sys
import threading
from pathlib import Path

import pytest

import csv_quorle

pytestmark = pytest.mark.threads

THREADS = 8


@pytest.fixture(autouse=True)
def frequent_switches():
    before = sys.getswitchinterval()
    sys.setswitchinterval(1e-6)
    yield
    sys.setswitchinterval(before)


def run_together(work, count=THREADS):
    """work(i) on `count` threads released together; the results in thread order."""
    barrier = threading.Barrier(count)
    results, errors = [None] * count, []

    def body(i):
        try:
            barrier.wait()
            results[i] = work(i)
        except BaseException as error:  # noqa: BLE001 - reported below
            errors.append(error)

    threads = [threading.Thread(target=body, args=(i,)) for i in range(count)]
    for t in threads:
        t.start()
    for t in threads:
        t.join(timeout=120)
    assert not any(t.is_alive() for t in threads)
    assert errors == []
    return results


def table_text(seed: int, rows: int, dirty: bool) -> str:
    """A header and `rows` records; dirty ones add ragged rows, stray quotes and blank lines."""
    rng = random.Random(seed)
    d = ",;\t|"[seed % 4]
    lines = [d.join(["id", "name", "amount", "note"])]
    for i in range(rows):
        fields = [str(i), f"name {rng.randrange(10**6)}", f"{rng.random() * 1000:.2f}",
                  rng.choice(["", "plain", '"quoted, with delimiter"', "naïve ✓"])]
        if dirty:
            roll = rng.random()
            if roll < 0.05:
                fields = fields[:rng.randrange(1, 4)]
            elif roll < 0.08:
                fields.append("extra")
            elif roll < 0.10:
                fields[1] = f'"say "x{i}" now"'
            elif roll < 0.11:
                lines.append("")
        lines.append(d.join(fields))
    return ("\r\n" if seed % 3 == 0 else "\n").join(lines) + "\n"


@pytest.fixture(scope="module")
def sources(tmp_path_factory) -> list[Path]:
    """Small clean and dirty files, and one dirty file large enough for several hand-overs
    between the pass and the writer or the stream; the first is read by every thread."""
    folder = tmp_path_factory.mktemp("sources")
    specs = [(0, 120_000, True)] + [(seed, 2_000, seed % 2 == 1) for seed in range(1, 6)]
    paths = []
    for seed, rows, dirty in specs:
        path = folder / f"table_{seed}.csv"
        path.write_text(table_text(seed, rows, dirty), encoding="utf-8", newline="")
        paths.append(path)
    return paths


def rescued(source: Path, folder: Path, tag: str, options: dict) -> tuple:
    out, rest = folder / f"{tag}.csv", folder / f"{tag}.quarantine.csv"
    report = csv_quorle.rescue(source, out, rest, **options)
    return out.read_bytes(), rest.read_bytes(), report


# --- the Arrow C stream, read with ctypes ---

class ArrowArray(ctypes.Structure):
    pass


ArrowArray._fields_ = [
    ("length", ctypes.c_int64), ("null_count", ctypes.c_int64), ("offset", ctypes.c_int64),
    ("n_buffers", ctypes.c_int64), ("n_children", ctypes.c_int64),
    ("buffers", ctypes.POINTER(ctypes.c_void_p)),
    ("children", ctypes.POINTER(ctypes.POINTER(ArrowArray))),
    ("dictionary", ctypes.c_void_p), ("release", ctypes.c_void_p), ("private_data", ctypes.c_void_p),
]
RELEASE_ARRAY = ctypes.CFUNCTYPE(None, ctypes.POINTER(ArrowArray))


class ArrowArrayStream(ctypes.Structure):
    _fields_ = [
        ("get_schema", ctypes.c_void_p),
        ("get_next", ctypes.CFUNCTYPE(ctypes.c_int, ctypes.c_void_p, ctypes.POINTER(ArrowArray))),
        ("get_last_error", ctypes.c_void_p), ("release", ctypes.c_void_p),
        ("private_data", ctypes.c_void_p),
    ]


capsule_pointer = ctypes.pythonapi.PyCapsule_GetPointer
capsule_pointer.restype = ctypes.c_void_p
capsule_pointer.argtypes = [ctypes.py_object, ctypes.c_char_p]


def string_column(child: ArrowArray) -> list[str]:
    """The values of a string array (32-bit offsets, no nulls: the default schema)."""
    assert child.null_count == 0
    ends = (ctypes.c_int32 * (child.offset + child.length + 1)).from_address(child.buffers[1])
    ends = ends[child.offset:]
    text = ctypes.string_at((child.buffers[2] or 0) + ends[0], ends[-1] - ends[0])
    return [text[a - ends[0]:b - ends[0]].decode() for a, b in zip(ends, ends[1:])]


def stream_columns(capsule, width: int) -> list[list[str]]:
    """The values of every batch of a stream capsule, by column."""
    address = capsule_pointer(capsule, b"arrow_array_stream")
    stream = ArrowArrayStream.from_address(address)
    columns: list[list[str]] = [[] for _ in range(width)]
    while True:
        array = ArrowArray()
        assert stream.get_next(address, array) == 0
        if not array.release:
            return columns
        assert array.n_children == width
        for k, column in enumerate(columns):
            column.extend(string_column(array.children[k].contents))
        RELEASE_ARRAY(array.release)(ctypes.byref(array))


def streamed(source: Path, folder: Path, tag: str, options: dict) -> tuple:
    """The column names, the rows by column and the report of read_batches()."""
    batches = csv_quorle.read_batches(source, batch_rows=4096,
                                      quarantine=folder / f"{tag}.quarantine.csv", **options)
    names = batches.column_names
    columns = stream_columns(batches.__arrow_c_stream__(), len(names))
    return names, columns, batches.report


# --- the tests ---

OPTIONS = [{}, {"merge_overflow": False}, {"fill_ragged_rows": False}, {"repair_quotes": False}]


@pytest.mark.parametrize("call", [rescued, streamed], ids=["rescue", "read_batches"])
def test_calls_from_many_threads_match_calls_one_by_one(call, sources, tmp_path):
    """Every thread goes through every file, starting at a different one, so that at any moment
    some threads share a source and others do not."""
    def work(i):
        folder = tmp_path / f"t{i}"
        folder.mkdir()
        order = [(i + k) % len(sources) for k in range(len(sources))]
        return {k: call(sources[k], folder, f"f{k}", OPTIONS[(i + k) % len(OPTIONS)]) for k in order}

    parallel = run_together(work)
    serial = {(k, o): call(sources[k], tmp_path, f"serial_{k}_{o}", OPTIONS[o])
              for k in range(len(sources)) for o in range(len(OPTIONS))}
    for i, results in enumerate(parallel):
        for k, result in results.items():
            assert result == serial[k, (i + k) % len(OPTIONS)], f"thread {i}, file {k}"


def test_both_calls_at_once_on_one_source(sources, tmp_path):
    """Half the threads rescue the large file while the other half stream it: the streamed rows
    are the clean file's, and every report is the same."""
    source = sources[0]

    def work(i):
        folder = tmp_path / f"t{i}"
        folder.mkdir()
        return (rescued if i % 2 else streamed)(source, folder, "x", {})

    results = run_together(work)
    clean, quarantine, report = results[1]
    names, columns, streamed_report = results[0]
    header, *rows = csv.reader(io.StringIO(clean.decode(), newline=""))
    assert names == header and streamed_report == report
    assert [list(r) for r in zip(*columns)] == rows
    assert all(r == results[i % 2] for i, r in enumerate(results))


def test_one_record_batches_shared_by_threads(sources, tmp_path):
    """Threads asking one RecordBatches for its columns at once, and all but one then failing to
    take its stream, leave the stream whole for the one that took it."""
    source = sources[0]
    expected = streamed(source, tmp_path, "serial", {})
    batches = csv_quorle.read_batches(source, batch_rows=4096)
    asked = threading.Barrier(THREADS)

    def work(i):
        names = batches.column_names
        asked.wait()  # a late ask would find the stream taken, and be refused
        try:
            return names, batches.__arrow_c_stream__()
        except RuntimeError as error:
            assert "already taken" in str(error)
            return names, None

    results = run_together(work)
    assert all(names == expected[0] for names, _ in results)
    (capsule,) = [c for _, c in results if c is not None]
    assert stream_columns(capsule, len(expected[0])) == expected[1]
    assert batches.report == expected[2]
