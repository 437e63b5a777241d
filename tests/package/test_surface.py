"""The surface of csv_quorle: arguments, paths, errors, the report object, threads, interrupts."""

from __future__ import annotations

import errno
import importlib.metadata
import os
import pathlib
import pickle
import threading
import _thread

import pytest

import _csv_quorle_backend
import csv_quorle


def leftovers(folder: pathlib.Path) -> list[str]:
    return sorted(p.name for p in folder.iterdir() if p.name.endswith(".part"))


def test_both_modules_carry_the_installed_version():
    installed = importlib.metadata.version("csv-quorle")
    assert csv_quorle.__version__ == installed
    assert _csv_quorle_backend.__version__ == installed


class TestArguments:
    @pytest.mark.parametrize(
        "options, error, words",
        [
            ({"delimiter": "tab"}, ValueError, "delimiter must be exactly one character"),
            ({"delimiter": "||"}, ValueError, "delimiter"),
            ({"delimiter": ""}, ValueError, "delimiter"),
            ({"delimiter": 44}, TypeError, "delimiter"),
            ({"quote_char": 34}, TypeError, "quote_char"),
            ({"delimiter": '"'}, ValueError, "delimiter and quote_char must differ"),
            ({"escape_char": '"'}, ValueError, "escape_char"),
            ({"delimiter": "é"}, ValueError, "ASCII"),
            ({"encoding": "no-such-codec"}, ValueError, "encoding"),
            ({"header": 1}, TypeError, "header"),
            ({"header": "yes"}, TypeError, "header"),
            ({"skip_rows": -1}, ValueError, "skip_rows"),
            ({"skip_rows": "2"}, TypeError, "skip_rows"),
            ({"quote_char": "automatic"}, ValueError, "quote_char"),
            ({"expected_columns": -1}, ValueError, "expected_columns"),
            ({"expected_columns": "3"}, TypeError, "expected_columns"),
            ({"output_delimiter": '"'}, ValueError, "output_delimiter"),
            ({"bom": 1}, TypeError, "bom must be True or False"),
            ({"comment": "//"}, ValueError, "comment must be exactly one character"),
            ({"comment": 35}, TypeError, "comment"),
            ({"comment": "\n"}, ValueError, "comment cannot be a line break"),
            ({"comment": ";", "delimiter": ";"}, ValueError, "comment must differ from delimiter"),
            ({"comment": "'", "quote_char": "'"}, ValueError, "comment must differ from quote_char"),
            ({"threads": 0}, ValueError, "threads must be at least 1"),
            ({"threads": "2"}, TypeError, "threads must be an int or None"),
            ({"threads": True}, TypeError, "threads"),
        ],
    )
    def test_refused_before_any_file(self, tmp_path, write, options, error, words):
        source = write("a,b\n")
        with pytest.raises(error, match=words):
            csv_quorle.rescue(source, tmp_path / "out.csv", tmp_path / "q.csv", **options)
        assert sorted(p.name for p in tmp_path.iterdir()) == [source.name]

    def test_tab_is_a_tab(self, run):
        report, clean, _ = run("a\tb\n1\t2\n", delimiter="\t")
        assert report.delimiter == "\t" and clean == "a,b\n1,2\n"

    def test_detected_delimiter_equal_to_quote(self, tmp_path, write):
        source = write("a|b|c\n1|2|3\n")
        with pytest.raises(ValueError, match="detected delimiter '\\|' is the quote"):
            csv_quorle.rescue(source, tmp_path / "out.csv", quote_char="|")
        assert not (tmp_path / "out.csv").exists()

    def test_paths_as_str_bytes_and_pathlib(self, tmp_path, write):
        source = write("a,b\n1,2\n")
        for out in (tmp_path / "p.csv", str(tmp_path / "s.csv"), os.fsencode(tmp_path / "b.csv")):
            assert csv_quorle.rescue(source, out).good_rows == 1
        assert (tmp_path / "b.csv").read_text() == "a,b\n1,2\n"

    def test_path_of_wrong_type(self, tmp_path):
        with pytest.raises(TypeError, match="output must be a str, bytes or os.PathLike"):
            csv_quorle.rescue(tmp_path / "x.csv", 3)


class TestFiles:
    def test_missing_source(self, tmp_path):
        with pytest.raises(FileNotFoundError) as info:
            csv_quorle.rescue(tmp_path / "none.csv", tmp_path / "out.csv")
        assert info.value.errno == errno.ENOENT and info.value.strerror
        assert info.value.filename == str(tmp_path / "none.csv")
        assert list(tmp_path.iterdir()) == []

    @pytest.mark.parametrize("which", ["output", "quarantine"])
    def test_missing_folder_names_its_file(self, tmp_path, write, which):
        source = write("a,b\n")
        paths = {"output": tmp_path / "out.csv", "quarantine": tmp_path / "q.csv"}
        paths[which] = tmp_path / "no" / "such.csv"
        with pytest.raises(FileNotFoundError) as info:
            csv_quorle.rescue(source, paths["output"], paths["quarantine"])
        assert info.value.filename == str(paths[which])
        assert sorted(p.name for p in tmp_path.iterdir()) == [source.name]

    def test_output_is_a_folder(self, tmp_path, write):
        with pytest.raises(IsADirectoryError) as info:
            csv_quorle.rescue(write("a\n"), tmp_path)
        assert info.value.filename == str(tmp_path)

    @pytest.mark.skipif(os.geteuid() == 0, reason="root may write anywhere")
    def test_folder_without_permission(self, tmp_path, write):
        locked = tmp_path / "locked"
        locked.mkdir(mode=0o500)
        with pytest.raises(PermissionError) as info:
            csv_quorle.rescue(write("a\n"), locked / "out.csv")
        assert info.value.filename == str(locked / "out.csv")

    @pytest.mark.parametrize("same_as", ["source", "output"])
    def test_quarantine_naming_another_file_is_refused(self, tmp_path, write, same_as):
        source = write("a,b\n1\n")
        out = tmp_path / "out.csv"
        out.write_text("keep")
        target = source if same_as == "source" else tmp_path / "." / "out.csv"
        with pytest.raises(OSError, match=f"quarantine names the {same_as} file") as info:
            csv_quorle.rescue(source, out, target)
        assert info.value.filename == str(target)
        assert out.read_text() == "keep" and source.read_text() == "a,b\n1\n"

    def test_source_is_never_changed_and_nothing_is_left_over(self, tmp_path, write):
        source = write('a,b\n1,"x\n')
        before = source.stat()
        csv_quorle.rescue(source, tmp_path / "out.csv", tmp_path / "q.csv")
        after = source.stat()
        assert (before.st_mtime_ns, before.st_size) == (after.st_mtime_ns, after.st_size)
        assert leftovers(tmp_path) == []

    def test_symlinked_and_long_output_names(self, tmp_path, write):
        source = write("a\n1\n")
        (tmp_path / "real.csv").write_text("old")
        (tmp_path / "link.csv").symlink_to("real.csv")
        long_name = tmp_path / ("x" * 250 + ".csv")
        csv_quorle.rescue(source, tmp_path / "link.csv", long_name)
        assert (tmp_path / "link.csv").is_symlink()
        assert (tmp_path / "real.csv").read_text() == "a\n1\n"
        assert long_name.read_text().startswith("first_line,")
        assert leftovers(tmp_path) == []

    def test_output_mode_follows_umask(self, tmp_path, write):
        csv_quorle.rescue(write("a\n"), tmp_path / "out.csv")
        mask = os.umask(0)
        os.umask(mask)
        assert (tmp_path / "out.csv").stat().st_mode & 0o777 == 0o666 & ~mask


class TestReport:
    def test_immutable_comparable_picklable(self, run):
        report, _, _ = run("a,b\n1\n1,2,3\n")
        assert pickle.loads(pickle.dumps(report)) == report
        with pytest.raises(AttributeError):
            report.good_rows = 0  # type: ignore[misc]
        assert report.repairs[-1] == report.repairs[1]
        assert report.repairs[:1] == [report.repairs[0]]

    def test_to_dict_and_json(self, run):
        import json

        report, _, _ = run("a,b\n1\n")
        d = report.to_dict()
        assert json.loads(report.to_json()) == d
        assert d["header"] == ["a", "b"]
        assert d["repairs"] == [
            {"first_line": 2, "last_line": 2, "kind": "padded", "detail": "1 empty field added"}
        ]


def big_file(path: pathlib.Path, megabytes: int) -> pathlib.Path:
    block = b"".join(b"%d,some text,more text,%d\n" % (i, i * 7) for i in range(20_000))
    with open(path, "wb") as f:
        for _ in range(megabytes * (1 << 20) // len(block) + 1):
            f.write(block)
    return path


class TestThreadsAndInterrupts:
    def test_two_threads(self, tmp_path, write):
        sources = [write("a,b\n" + "1,2\n" * 100_000) for _ in range(2)]
        reports = [None, None]
        barrier = threading.Barrier(2)

        def work(i):
            barrier.wait()
            reports[i] = csv_quorle.rescue(sources[i], tmp_path / f"out{i}.csv")

        threads = [threading.Thread(target=work, args=(i,)) for i in range(2)]
        for t in threads:
            t.start()
        for t in threads:
            t.join()
        assert [r.good_rows for r in reports] == [100_000, 100_000]

    def test_interrupt_leaves_no_output(self, tmp_path, sigint_raises):
        source = big_file(tmp_path / "big.csv", 140)
        # Given UTF-8, the text is not scanned first: the interrupt arrives during the native work.
        timer = threading.Timer(0.03, _thread.interrupt_main)
        timer.start()
        with pytest.raises(KeyboardInterrupt):
            try:
                csv_quorle.rescue(source, tmp_path / "out.csv", tmp_path / "q.csv", encoding="utf-8")
            finally:
                timer.cancel()
        assert sorted(p.name for p in tmp_path.iterdir()) == ["big.csv"]
