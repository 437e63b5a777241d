"""rescue_many: one result per file in order, outputs equal to single rescues, names that never
collide, compressed and binary inputs, and a worker that dies taking nothing else down."""

import bz2
import gzip
import lzma
import multiprocessing
import os
import random
import signal

import pytest

import csv_quorle
from csv_quorle._files.inputs import (CompressedInputError, DamagedCompressedInputError, binary_kind,
                                      plain_input)
from csv_quorle._many_files import plan_outputs

SEPARATORS = ",;|\t"


def damaged_csv(seed, rows=40):
    """A small export with the usual damage: short and long rows, stray quotes, quoted commas."""
    rnd = random.Random(seed)
    d = SEPARATORS[seed % len(SEPARATORS)]
    lines = [d.join(["id", "name", "city", "amount"])]
    for i in range(rows):
        name, city, amount = rnd.choice(["Ann", "Bo", "Zoë"]), rnd.choice(["Lyon", "Köln"]), f"{i}.5"
        kind = rnd.random()
        if kind < 0.1:
            fields = [str(i), name]
        elif kind < 0.2:
            fields = [str(i), name, city, amount, "extra", "more"]
        elif kind < 0.3:
            fields = [str(i), f'"Bob "the" {name}"', city, amount]
        else:
            fields = [str(i), f'"{name}{d} Jr."', city, amount]
        lines.append(d.join(fields))
    return ("\n".join(lines) + "\n").encode()


def single(source, tmp_path, name, **options):
    """The library's own rescue of one file: output bytes, quarantine bytes, report."""
    out, q = tmp_path / f"{name}.csv", tmp_path / f"{name}.q.csv"
    report = csv_quorle.rescue(source, out, q, **options)
    return out.read_bytes(), q.read_bytes(), report


@pytest.fixture
def inputs(tmp_path):
    folder = tmp_path / "in"
    folder.mkdir()
    paths = []
    for i in range(12):
        p = folder / f"export_{i:02}.csv"
        p.write_bytes(damaged_csv(i))
        paths.append(str(p))
    return paths


class TestResults:
    def test_each_file_as_if_rescued_alone_and_failures_in_place(self, inputs, tmp_path):
        folder = tmp_path / "in"
        (folder / "picture.csv").write_bytes(b"\x89PNG\r\n\x1a\n" + os.urandom(2000))
        (folder / "subdir").mkdir()
        bad = [str(tmp_path / "missing.csv"), str(folder / "picture.csv"), str(folder / "subdir")]
        sources = inputs[:3] + bad + inputs[3:]
        results = csv_quorle.rescue_many(sources, tmp_path / "out", quarantine_dir=tmp_path / "q", workers=2)

        assert [r.source for r in results] == sources
        failed = {r.source: r.error_type for r in results if not r.ok}
        assert failed == {bad[0]: "FileNotFoundError", bad[1]: "BinaryInputError", bad[2]: "IsADirectoryError"}
        assert all(r.report is None and r.error for r in results if not r.ok)
        for r in results:
            if r.ok:
                out, q, report = single(r.source, tmp_path, "alone")
                assert open(r.output, "rb").read() == out
                assert open(r.quarantine, "rb").read() == q
                assert r.report == report
        assert "PNG image" in results[4].error

    def test_one_worker_in_process_gives_the_same(self, inputs, tmp_path):
        pooled = csv_quorle.rescue_many(inputs, tmp_path / "a", workers=2, delimiter=None, header=False)
        alone = csv_quorle.rescue_many(inputs, tmp_path / "b", workers=1, delimiter=None, header=False)
        assert [r.report for r in pooled] == [r.report for r in alone]
        for p, a in zip(pooled, alone):
            assert open(p.output, "rb").read() == open(a.output, "rb").read()

    def test_unknown_option_refused_before_any_work(self, inputs, tmp_path):
        with pytest.raises(TypeError):
            csv_quorle.rescue_many(inputs, tmp_path / "out", delimter=";")
        assert not (tmp_path / "out").exists()

    def test_progress_callable_sees_every_result(self, inputs, tmp_path):
        seen = []
        results = csv_quorle.rescue_many(inputs, tmp_path / "out", workers=2, progress=seen.append)
        assert sorted(r.source for r in seen) == sorted(r.source for r in results)

    def test_a_killed_worker_fails_no_file(self, tmp_path):
        # Many files, so that some are still queued when a worker is killed after the first one.
        folder = tmp_path / "in"
        folder.mkdir()
        sources = []
        for i in range(150):
            (folder / f"{i}.csv").write_bytes(damaged_csv(i, rows=400))
            sources.append(str(folder / f"{i}.csv"))
        killed = []

        def kill_a_worker(result):
            if not killed:
                child = multiprocessing.active_children()[0]
                os.kill(child.pid, signal.SIGKILL)
                killed.append(child.pid)

        results = csv_quorle.rescue_many(sources, tmp_path / "out", workers=2, progress=kill_a_worker)
        assert killed
        assert [r.error for r in results if not r.ok] == []
        assert all(os.path.exists(r.output) for r in results)


@pytest.mark.parametrize(
    "names, expected",
    [
        (["a.csv", "b.csv"], ["a", "b"]),
        (["x/a.csv", "y/a.csv", "a.tsv"], ["a", "a-2", "a-3"]),
        (["a.csv", "a.csv.gz", "a-2.csv"], ["a", "a-3", "a-2"]),  # a-2 belongs to its own file
        (["a.quarantine.csv", "a.csv"], ["a.quarantine", "a-2"]),  # same folder: no output is a quarantine
        (["dump.csv.zst", "README"], ["dump", "README"]),
    ],
)
def test_output_names_never_collide(names, expected):
    plans = plan_outputs(names, "out", "out")
    assert [os.path.basename(out)[: -len(".csv")] for out, _ in plans] == expected
    assert [q for _, q in plans] == [os.path.join("out", f"{s}.quarantine.csv") for s in expected]


def _zstd(data):
    zstandard = pytest.importorskip("zstandard")
    return zstandard.ZstdCompressor().compress(data)


class TestInputs:
    @pytest.mark.parametrize("pack", [gzip.compress, bz2.compress, lzma.compress, _zstd],
                             ids=["gzip", "bz2", "xz", "zstd"])
    def test_compressed_input_known_by_its_bytes_not_its_name(self, pack, tmp_path):
        data = damaged_csv(3)
        packed = tmp_path / "export.csv"  # no telling suffix
        packed.write_bytes(pack(data))
        plain = tmp_path / "plain.csv"
        plain.write_bytes(data)
        [result] = csv_quorle.rescue_many([packed], tmp_path / "out")
        out, _, report = single(plain, tmp_path, "alone")
        assert result.ok and result.report == report
        assert open(result.output, "rb").read() == out

    @pytest.mark.parametrize("pack", [gzip.compress, bz2.compress, lzma.compress, _zstd],
                             ids=["gzip", "bz2", "xz", "zstd"])
    def test_a_function_reading_text_as_it_is_refuses_compressed_data(self, pack, tmp_path):
        """rescue() and read_batches() do not unpack: read as text, the bytes would be rows."""
        packed = tmp_path / "export.csv"
        packed.write_bytes(pack(damaged_csv(3)))
        out, rest = tmp_path / "clean.csv", tmp_path / "rest.csv"
        for call in (lambda: csv_quorle.rescue(packed, out, rest),
                     lambda: csv_quorle.read_batches(packed, quarantine=rest)):
            with pytest.raises(CompressedInputError, match="compressed data: unpack it first"):
                call()
        assert sorted(os.listdir(tmp_path)) == ["export.csv"]

    def test_cut_compressed_stream_is_refused(self, tmp_path):
        cut = tmp_path / "cut.csv.gz"
        cut.write_bytes(gzip.compress(damaged_csv(1, rows=2000))[:-200])
        with pytest.raises(DamagedCompressedInputError, match="gzip"):
            with plain_input(str(cut)):
                pass

    def test_zstd_without_its_package_names_the_extra(self, tmp_path, monkeypatch):
        path = tmp_path / "a.csv.zst"
        path.write_bytes(b"\x28\xb5\x2f\xfd" + bytes(20))
        monkeypatch.setitem(__import__("sys").modules, "zstandard", None)
        with pytest.raises(ModuleNotFoundError, match=r"csv-quorle\[zstd\]"):
            with plain_input(str(path)):
                pass

    @pytest.mark.parametrize(
        "sample, kind",
        [
            (os.urandom(4096), "binary data"),
            (b"PK\x03\x04" + damaged_csv(1), "a ZIP archive (an .xlsx workbook?)"),
            (b"SQLite format 3\x00" + bytes(100), "an SQLite database"),
            (damaged_csv(1), None),
            (damaged_csv(1).decode().encode("cp1252"), None),
            (damaged_csv(1).decode().encode("utf-16-le"), None),  # no byte-order mark
            (damaged_csv(1).decode().encode("utf-32-be"), None),
            (damaged_csv(1).decode().encode("utf-16"), None),
            (damaged_csv(5)[:500] + bytes(30) + damaged_csv(5)[500:], None),  # a few stray NULs
            (b"", None),
        ],
    )
    def test_binary_or_text(self, sample, kind):
        assert binary_kind(sample) == kind
