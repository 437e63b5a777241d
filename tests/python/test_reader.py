"""The streaming reader: rows, summary, iteration protocol, context manager and argument errors."""

import csv
import io
import os
import pathlib
import random
import shutil
import subprocess
import sys
import tempfile

import pytest


def counts(summary):
    return (summary.total_rows, summary.quorled_rows, summary.repaired_rows,
            summary.quarantined_rows, summary.detected_delimiter, summary.inferred_columns)


@pytest.fixture(params=["open", "QuorleReader"])
def make_reader(request, q):
    """Both ways of creating a reader; they must behave alike in every way."""
    return getattr(q, request.param)


# (input bytes, options, rows handed out, (total, good, repaired, quarantined, delimiter, columns))
ROW_CASES = {
    "bom_and_crlf": (b"\xef\xbb\xbfa,b\r\nc,d\r\n", {}, [["a", "b"], ["c", "d"]], (2, 2, 0, 0, ",", 2)),
    "mixed_line_breaks": (b"a,b\rc,d\ne,f\r\ng,h", {},
                          [["a", "b"], ["c", "d"], ["e", "f"], ["g", "h"]], (4, 4, 0, 0, ",", 2)),
    "lf_then_cr_is_two_breaks": (b"a\n\rb\n", {"expected_columns": 0},
                                 [["a"], [""], ["b"]], (3, 3, 0, 0, ",", 0)),
    "blank_line_padded": (b"a,b\n\nc,d\n", {}, [["a", "b"], ["", ""], ["c", "d"]], (3, 3, 1, 0, ",", 2)),
    "blank_line_one_column": (b"a\n\nb\n", {}, [["a"], [""], ["b"]], (3, 3, 0, 0, ",", 1)),
    "doubled_quotes_and_breaks": (b'"a""b","x\r\ny"\n\'\'\'a\'\'\',"",z\n', {"expected_columns": 0},
                                  [['a"b', "x\r\ny"], ["'''a'''", "", "z"]], (2, 2, 0, 0, ",", 0)),
    "stray_quote_repaired": (b'"say "hi" now",x\n', {"delimiter": ","},
                             [['say "hi" now', "x"]], (1, 1, 0, 0, ",", 2)),
    "stray_quote_unrepaired": (b'"say "hi" now",x\n', {"delimiter": ",", "repair_quotes": False},
                               [['say hi" now"', "x"]], (1, 1, 0, 0, ",", 2)),
    "stray_quote_swallows_delimiter": (b'"abc"def,ghi"\n', {"expected_columns": 0},
                                       [["abc\"def,ghi"]], (1, 1, 0, 0, ",", 0)),
    "text_after_closing_quote": (b'"abc"def,g\n"a" b,c\n "a",b\n', {},
                                 [["abcdef", "g"], ["ab", "c"], [' "a"', "b"]], (3, 3, 0, 0, ",", 2)),
    "line_break_stops_quote_scan": (b"'He said 'hi\nthere',x\n", {"quote_char": "'", "expected_columns": 0},
                                    [["He said hi"], ["there'", "x"]], (2, 2, 0, 0, ",", 0)),
    "unterminated_quote": (b'a,b\n"c,d\ne\n', {"expected_columns": 2},
                           [["a", "b"], ["c,d\ne\n", ""]], (2, 2, 1, 0, ",", 2)),
    "padding_and_merging": (b"a,b,c\n1,2\nx,y,z,w,v\n", {},
                            [["a", "b", "c"], ["1", "2", ""], ["x", "y", "z,w,v"]], (3, 3, 2, 0, ",", 3)),
    "merge_joins_with_delimiter": (b"a;b\nc;d\ne;f;g;h\n", {"delimiter": ";"},
                                   [["a", "b"], ["c", "d"], ["e", "f;g;h"]], (3, 3, 1, 0, ";", 2)),
    "quarantine_without_repair": (b"a,b,c\n1,2\nx,y,z\n1,2,3,4\n\n",
                                  {"fill_ragged_rows": False, "merge_overflow": False},
                                  [["a", "b", "c"], ["x", "y", "z"]], (5, 2, 0, 3, ",", 3)),
    "zero_columns_enforces_nothing": (b"a\nb,c\nd,e,f\n", {"expected_columns": 0},
                                      [["a"], ["b", "c"], ["d", "e", "f"]], (3, 3, 0, 0, ",", 0)),
    "bom_only": (b"\xef\xbb\xbf", {"expected_columns": 4}, [], (0, 0, 0, 0, ",", 4)),
    # The delimiter is tested before a blank after a quote, so a tab or space delimiter closes
    # the quoted field as a comma would.
    "tab_delimiter_closes_quote": (b"'ab'\t'cd'\n", {"delimiter": "\t", "quote_char": "'", "expected_columns": 0},
                                   [["ab", "cd"]], (1, 1, 0, 0, "\t", 0)),
    "tab_delimiter_unrepaired": (b"'ab'\t'cd'\n", {"delimiter": "\t", "quote_char": "'", "repair_quotes": False,
                                  "expected_columns": 0}, [["ab", "cd"]], (1, 1, 0, 0, "\t", 0)),
    "space_delimiter_closes_quote": (b'"a" "b"\n', {"delimiter": " ", "expected_columns": 0},
                                     [["a", "b"]], (1, 1, 0, 0, " ", 0)),
    "tab_delimiter_after_later_quote": (b"'a'b'\tc\n", {"delimiter": "\t", "quote_char": "'", "expected_columns": 0},
                                        [["a'b", "c"]], (1, 1, 0, 0, "\t", 0)),
    "empty_delimiter_is_sniffed": (b"a;b\nc;d\n", {"delimiter": ""}, [["a", "b"], ["c", "d"]], (2, 2, 0, 0, ";", 2)),
    "first_character_of_delimiter": (b"a;b\nc;d\n", {"delimiter": ";;"}, [["a", "b"], ["c", "d"]], (2, 2, 0, 0, ";", 2)),
    "empty_quote_is_double_quote": (b'"a,b",c\n', {"quote_char": ""}, [["a,b", "c"]], (1, 1, 0, 0, ",", 2)),
    "bool_count_is_one": (b"a,b\n", {"expected_columns": True}, [["a,b"]], (1, 1, 1, 0, ",", 1)),
}


@pytest.mark.parametrize("data, options, rows, summary", ROW_CASES.values(), ids=ROW_CASES.keys())
def test_rows_and_summary(make_reader, write, data, options, rows, summary):
    reader = make_reader(write(data), **options)
    assert len(reader) == len(rows)
    assert list(reader) == rows
    assert counts(reader.summary) == summary
    s = reader.summary
    assert s.total_rows == len(reader) + s.quarantined_rows


@pytest.mark.parametrize("options", [{}, {"delimiter": ";", "expected_columns": 5}, {"delimiter": "|"}])
def test_empty_file(make_reader, write, options):
    reader = make_reader(write(b""), **options)
    assert len(reader) == 0
    with pytest.raises(StopIteration):
        next(reader)
    assert counts(reader.summary) == (0, 0, 0, 0, ",", 0)


def test_exhaustion_is_final(make_reader, write):
    reader = make_reader(write(b"a,b\nc,d\ne,f\n"))
    assert iter(reader) is reader
    assert next(reader) == ["a", "b"]
    assert list(reader) == [["c", "d"], ["e", "f"]]
    assert list(reader) == []
    assert len(reader) == 3
    with pytest.raises(StopIteration):
        next(reader)


def test_returned_rows_are_fresh_objects(make_reader, write):
    path = write(b"alpha,beta\nalpha,beta\nalpha\n")
    reader = make_reader(path)
    first = next(reader)
    first[0] = "changed"
    first.append("extra")
    second = next(reader)
    assert second == ["alpha", "beta"]
    assert second is not first
    next(reader).clear()
    assert len(reader) == 3
    # A second reader of the same file hands out equal rows, never the same objects.
    again = list(make_reader(path))
    assert again == [["alpha", "beta"], ["alpha", "beta"], ["alpha", ""]]
    assert again[1][0] is not second[0]


def test_rows_do_not_follow_later_changes_of_the_file(make_reader, write):
    path = write(b"alpha,beta\ngamma,delta\n")
    reader = make_reader(path)
    with pathlib.Path(path).open("r+b") as f:  # same file, same length, new content
        f.write(b"ALPHA,BETA\nGAMMA,DELTA\n")
    assert list(reader) == [["alpha", "beta"], ["gamma", "delta"]]


def test_reader_survives_truncation_of_its_file(write):
    # Run in a child process: a reader that still depended on the file's pages could be killed by
    # a signal here rather than raise.
    path = write(b"alpha,beta\ngamma,delta\n" * 1000)
    script = (
        "import sys, _csv_quorle_backend as q\n"
        "r = q.open(sys.argv[1])\n"
        "open(sys.argv[1], 'wb').close()\n"
        "print(len(list(r)), list(q.open(sys.argv[1])))\n"
    )
    done = subprocess.run([sys.executable, "-c", script, path], capture_output=True, text=True, timeout=60)
    assert (done.returncode, done.stdout) == (0, "2000 []\n"), done.stderr


def test_summary_is_a_new_object_each_read(make_reader, write):
    reader = make_reader(write(b"a,b\nc\n"))
    first, second = reader.summary, reader.summary
    assert first is not second
    assert first.to_dict() == second.to_dict()
    assert list(reader) and reader.summary.to_dict() == first.to_dict()


@pytest.mark.parametrize("args, kwargs", [
    ((), {}),
    ((None, None, None), {}),
    ((ValueError, ValueError("x"), None), {}),
    ((1,), {"_exc_val": 2, "_exc_tb": 3}),
    ((), {"_exc_type": None, "_exc_val": None, "_exc_tb": None}),
])
def test_exit_ignores_its_arguments(make_reader, write, args, kwargs):
    reader = make_reader(write(b"a,b\nc,d\n"))
    assert reader.__exit__(*args, **kwargs) is False
    assert list(reader) == [["a", "b"], ["c", "d"]]


@pytest.mark.parametrize("args, kwargs, message", [
    ((1, 2, 3, 4), {}, "QuorleReader.__exit__() takes from 0 to 3 positional arguments but 4 were given"),
    ((), {"exc_type": None}, "QuorleReader.__exit__() got an unexpected keyword argument 'exc_type'"),
    ((1,), {"_exc_type": 1}, "QuorleReader.__exit__() got multiple values for argument '_exc_type'"),
])
def test_exit_binding_errors(q, write, args, kwargs, message):
    reader = q.open(write(b"a\n"))
    with pytest.raises(TypeError) as caught:
        reader.__exit__(*args, **kwargs)
    assert caught.value.args == (message,)


def test_with_block_keeps_cursor_after_exception(make_reader, write):
    reader = make_reader(write(b"a,b\nc,d\ne,f\n"))
    with pytest.raises(KeyError):
        with reader as entered:
            assert entered is reader
            assert next(entered) == ["a", "b"]
            raise KeyError("boom")
    assert next(reader) == ["c", "d"]
    with reader:
        pass
    assert list(reader) == [["e", "f"]]


@pytest.mark.parametrize("options, error, message, note", [
    ({"delimiter": "é"}, ValueError, "delimiter must be an ASCII character other than CR or LF", "delimiter"),
    ({"delimiter": "§"}, ValueError, "delimiter must be an ASCII character other than CR or LF", "delimiter"),
    ({"delimiter": "\n"}, ValueError, "delimiter must be an ASCII character other than CR or LF", "delimiter"),
    ({"delimiter": "\r\n"}, ValueError, "delimiter must be an ASCII character other than CR or LF", "delimiter"),
    ({"quote_char": "ü"}, ValueError, "quote_char must be an ASCII character other than CR or LF", "quote_char"),
    ({"quote_char": "\r"}, ValueError, "quote_char must be an ASCII character other than CR or LF", "quote_char"),
    ({"delimiter": '"'}, ValueError, "delimiter and quote_char must differ", "quote_char"),
    ({"delimiter": '""', "quote_char": ""}, ValueError, "delimiter and quote_char must differ", "quote_char"),
    ({"delimiter": "'", "quote_char": "'x"}, ValueError, "delimiter and quote_char must differ", "quote_char"),
    ({"quote_char": None}, TypeError, "'None' is not an instance of 'str'", "quote_char"),
    ({"delimiter": b","}, TypeError, "'bytes' object is not an instance of 'str'", "delimiter"),
    ({"fill_ragged_rows": 1}, TypeError, "'int' object is not an instance of 'bool'", "fill_ragged_rows"),
    ({"repair_quotes": None}, TypeError, "'None' is not an instance of 'bool'", "repair_quotes"),
    ({"expected_columns": -1}, OverflowError, None, "expected_columns"),
    ({"expected_columns": 2**64}, OverflowError, None, "expected_columns"),
    ({"expected_columns": 2.0}, TypeError, None, "expected_columns"),
    ({"expected_columns": "3"}, TypeError, None, "expected_columns"),
])
def test_option_errors(make_reader, write, options, error, message, note):
    with pytest.raises(error) as caught:
        make_reader(write(b"a,b\n"), **options)
    assert type(caught.value) is error
    if message is not None:
        assert caught.value.args == (message,)
    assert caught.value.__notes__ == [f"while processing '{note}'"]


@pytest.mark.parametrize("call, message", [
    (lambda f: f(), "{} missing 1 required positional argument: 'file_path'"),
    (lambda f: f("x", None, '"', True, True, None, True, 8),
     "{} takes from 1 to 7 positional arguments but 8 were given"),
    (lambda f: f("x", delim=","), "{} got an unexpected keyword argument 'delim'"),
    (lambda f: f("x", file_path="y"), "{} got multiple values for argument 'file_path'"),
    (lambda f: f(delimiter=",", bogus=1), "{} got an unexpected keyword argument 'bogus'"),
])
def test_binding_errors_name_the_callable(q, call, message):
    for entry, name in [(q.open, "open()"), (q.QuorleReader, "QuorleReader.__new__()")]:
        with pytest.raises(TypeError) as caught:
            call(entry)
        assert caught.value.args == (message.format(name),)


def test_path_object_is_refused(make_reader, write):
    path = pathlib.Path(write(b"a\n"))
    with pytest.raises(TypeError) as caught:
        make_reader(path)
    assert caught.value.args == ("'PosixPath' object is not an instance of 'str'",)
    assert caught.value.__notes__ == ["while processing 'file_path'"]


@pytest.mark.parametrize("target, error, message", [
    ("missing", FileNotFoundError, "No such file or directory (os error 2)"),
    ("directory", IsADirectoryError, "Is a directory (os error 21)"),
    ("nul", OSError, "strings passed to WinAPI cannot contain NULs"),
])
def test_file_errors(make_reader, tmp_path, target, error, message):
    path = {"missing": str(tmp_path / "absent.csv"), "directory": str(tmp_path), "nul": "a\0b.csv"}[target]
    with pytest.raises(OSError) as caught:
        make_reader(path)
    assert type(caught.value) is error
    assert caught.value.args == (message,)
    assert (caught.value.errno, caught.value.strerror, caught.value.filename) == (None, None, None)


def test_unreadable_file_raises_permission_error():
    setpriv = shutil.which("setpriv")
    if setpriv is None:
        pytest.skip("setpriv is needed to read as an unprivileged user")
    if os.geteuid() != 0:
        pytest.skip("dropping privileges needs root")
    folder = tempfile.mkdtemp()
    try:
        os.chmod(folder, 0o755)
        path = os.path.join(folder, "locked.csv")
        pathlib.Path(path).write_bytes(b"a,b\n")
        os.chmod(path, 0)
        script = (
            "import sys\n"
            "try:\n    import _csv_quorle_backend as q\n"
            "except ImportError:\n    print('no module'); sys.exit()\n"
            "try:\n    q.open(sys.argv[1])\n"
            "except OSError as e:\n    print(type(e).__name__, e.args, e.errno)\n"
        )
        done = subprocess.run([setpriv, "--reuid=65534", "--regid=65534", "--clear-groups",
                               sys.executable, "-c", script, path],
                              capture_output=True, text=True, timeout=60)
        if done.returncode != 0 or done.stdout == "no module\n":
            pytest.skip(f"cannot run the module unprivileged: {done.stderr.strip()[-200:]}")
        assert done.stdout == "PermissionError ('Permission denied (os error 13)',) None\n"
    finally:
        shutil.rmtree(folder)


def test_padding_to_a_huge_count_raises_memory_error(q, write):
    path = write(b"a,b\n")
    with pytest.raises(MemoryError):
        q.open(path, expected_columns=2**40)
    # Without padding the short row is only counted, so the count costs nothing.
    reader = q.open(path, expected_columns=2**40, fill_ragged_rows=False)
    assert len(reader) == 0
    assert reader.summary.inferred_columns == 2**40


def test_wide_rows(q, write):
    reader = q.open(write(b"a,b\nc\n"), expected_columns=10**5)
    rows = list(reader)
    assert [len(r) for r in rows] == [10**5, 10**5]
    assert rows[1][:2] == ["c", ""] and set(rows[1][1:]) == {""}
    fields = [f"f{i}" for i in range(100_000)]
    reader = q.open(write(",".join(fields) + "\n"))
    assert list(reader) == [fields]
    assert reader.summary.inferred_columns == 100_000


def test_large_clean_file_matches_csv_module(q, write):
    rng = random.Random(20240607)
    alphabet = "abcxyz 0123456789,\"'\r\né€😀"
    width = 7
    buffer = io.StringIO()
    writer = csv.writer(buffer)  # QUOTE_MINIMAL, CRLF line ends
    while buffer.tell() < 5_000_000:
        writer.writerow(["".join(rng.choices(alphabet, k=rng.randint(0, 12))) for _ in range(width)])
    text = buffer.getvalue()
    expected = list(csv.reader(io.StringIO(text, newline=""), strict=True))
    reader = q.open(write(text))
    assert len(reader) == len(expected)
    assert list(reader) == expected
    assert counts(reader.summary) == (len(expected), len(expected), 0, 0, ",", width)
