"""quorle_file end to end: the bytes of the clean and quarantine files, and what each failure leaves on disk."""

import os
import pathlib
import stat

import pytest

HEADER = b"line,reason,raw_content\n"
WINAPI_NUL = "strings passed to WinAPI cannot contain NULs"
ENOENT = "No such file or directory (os error 2)"
EISDIR = "Is a directory (os error 21)"
ENOSPC = "No space left on device (os error 28)"


def few(n, line):
    return f'{line},"Row has too few columns (expected {n})",'.encode()


def extra(n, line):
    return f'{line},"Row has extra columns (expected {n})",'.encode()


# id, input bytes, options, clean output, quarantine lines after the header,
# (total, quorled, repaired, quarantined, detected delimiter, inferred columns)
RESCUE_CASES = [
    ("plain", b"a,b,c\n1,2,3\n", {}, b"a,b,c\n1,2,3\n", b"", (2, 2, 0, 0, ",", 3)),
    ("bom-dropped", b"\xef\xbb\xbfa,b\n1,2\n", {}, b"a,b\n1,2\n", b"", (2, 2, 0, 0, ",", 2)),
    ("bom-only", b"\xef\xbb\xbf", {"expected_columns": 4}, b"", b"", (0, 0, 0, 0, ",", 4)),
    ("crlf-cr-lf-mix", b"a,b\r\n1,2\r3,4\n5,6", {}, b"a,b\n1,2\n3,4\n5,6\n", b"", (4, 4, 0, 0, ",", 2)),
    ("blank-lines-padded", b"a,b\n\n\n1,2\n", {}, b"a,b\n,\n,\n1,2\n", b"", (4, 4, 2, 0, ",", 2)),
    ("blank-line-one-column", b"a\n\nb\n", {}, b"a\n\nb\n", b"", (3, 3, 0, 0, ",", 1)),
    ("blank-line-quarantined", b"a,b\n\n1,2\n", {"fill_ragged_rows": False},
     b"a,b\n1,2\n", few(2, 2) + b'""\n', (3, 2, 0, 1, ",", 2)),
    ("quotes-only-where-needed", b'"abc",d\n"x""y",z\n" a ",b\n', {},
     b'abc,d\n"x""y",z\n a ,b\n', b"", (3, 3, 0, 0, ",", 2)),
    ("line-breaks-inside-fields", b'"l1\nl2",x\n"c1\rc2",y\n"d1\r\nd2",z\n', {},
     b'"l1\nl2",x\n"c1\rc2",y\n"d1\r\nd2",z\n', b"", (3, 3, 0, 0, ",", 2)),
    ("padding", b"a,b,c\n1,2,3\n4\n", {}, b"a,b,c\n1,2,3\n4,,\n", b"", (3, 3, 1, 0, ",", 3)),
    ("merged-field-is-quoted", b"a,b,c\n1,2,3\n4,5,6,7\n", {},
     b'a,b,c\n1,2,3\n4,5,"6,7"\n', b"", (3, 3, 1, 0, ",", 3)),
    ("merge-off-quarantines", b"a,b,c\n1,2,3\n4,5,6,7\n", {"merge_overflow": False},
     b"a,b,c\n1,2,3\n", extra(3, 3) + b'"4,5,6,7"\n', (3, 2, 0, 1, ",", 3)),
    ("short-record-line", b"a,b,c\n1,2\nx,y,z\n", {"fill_ragged_rows": False},
     b"a,b,c\nx,y,z\n", few(3, 2) + b'"1,2"\n', (3, 2, 0, 1, ",", 3)),
    ("crlf-record-line", b"a,b,c\r\n1,2\r\nx,y,z\r\n", {"fill_ragged_rows": False},
     b"a,b,c\nx,y,z\n", few(3, 2) + b'"1,2"\n', (3, 2, 0, 1, ",", 3)),
    ("lone-cr-in-quotes-is-no-line", b'a,b,c\n"p\rq",r\nx,y,z\n', {"fill_ragged_rows": False},
     b"a,b,c\nx,y,z\n", few(3, 2) + b'"p\rq,r"\n', (3, 2, 0, 1, ",", 3)),
    ("multi-line-record-line", b'a,b,c\n"p\nq",r\nx,y,z\n', {"fill_ragged_rows": False},
     b"a,b,c\nx,y,z\n", few(3, 3) + b'"p\nq,r"\n', (3, 2, 0, 1, ",", 3)),
    ("last-record-without-break", b"a,b,c\nx,y,z\n1,2", {"fill_ragged_rows": False},
     b"a,b,c\nx,y,z\n", few(3, 3) + b'"1,2"\n', (3, 2, 0, 1, ",", 3)),
    ("raw-content-rebuilt", b'a,b,c\n"x""y","p,q"\nd,e,f\n', {"fill_ragged_rows": False},
     b"a,b,c\nd,e,f\n", few(3, 2) + b'"x""y,p,q"\n', (3, 2, 0, 1, ",", 3)),
    ("both-reasons", b"a,b,c\n1\n1,2,3,4\n", {"fill_ragged_rows": False, "merge_overflow": False, "expected_columns": 3},
     b"a,b,c\n", few(3, 2) + b'"1"\n' + extra(3, 3) + b'"1,2,3,4"\n', (3, 1, 0, 2, ",", 3)),
    ("semicolon-sniffed", b'a;b\nc,d;e\n"f;g";h\n', {}, b'a;b\nc,d;e\n"f;g";h\n', b"", (3, 3, 0, 0, ";", 2)),
    ("semicolon-raw-content", b"a;b;c\n1;2\nx;y;z\n", {"fill_ragged_rows": False},
     b"a;b;c\nx;y;z\n", few(3, 2) + b'"1;2"\n', (3, 2, 0, 1, ";", 3)),
    ("semicolon-given-as-two", b"a;b\n1;2;3\n", {"delimiter": ";;", "expected_columns": 2},
     b'a;b\n1;"2;3"\n', b"", (2, 2, 1, 0, ";", 2)),
    ("tab-sniffed", b"a\tb\nc d\te\n", {}, b"a\tb\nc d\te\n", b"", (2, 2, 0, 0, "\t", 2)),
    ("tab-given", b"a\tb\tc\nd,e\tf\tg\n1\t2\n", {"delimiter": "\t", "fill_ragged_rows": False},
     b"a\tb\tc\nd,e\tf\tg\n", few(3, 3) + b'"1\t2"\n', (3, 2, 0, 1, "\t", 3)),
    ("stray-quote-repaired", b'"say "hi" now",x\n"a",b\n', {},
     b'"say ""hi"" now",x\na,b\n', b"", (2, 2, 0, 0, ",", 2)),
    ("stray-quote-repair-off", b'"say "hi" now",x\n"a",b\n', {"repair_quotes": False},
     b'"say hi"" now""",x\na,b\n', b"", (2, 2, 0, 0, ",", 2)),
    ("unterminated-quote", b'a,b\n"c,d\ne,f\n', {"expected_columns": 2},
     b'a,b\n"c,d\ne,f\n",\n', b"", (2, 2, 1, 0, ",", 2)),
    ("apostrophe-quote", b"'a,b',\"c\"\n'd''e',f\n", {"delimiter": ",", "quote_char": "'", "expected_columns": 2},
     b"'a,b',\"c\"\n'd''e',f\n", b"", (2, 2, 0, 0, ",", 2)),
    ("apostrophe-quote-in-quarantine", b"a,b,c\n'x''y',\"z\"\n",
     {"delimiter": ",", "quote_char": "'", "expected_columns": 3, "fill_ragged_rows": False},
     b"a,b,c\n", few(3, 2) + b'"x\'y,""z"""\n', (2, 1, 0, 1, ",", 3)),
    # The sniffer and the column inference read quotes as double quotes whatever quote_char says.
    ("sniffer-reads-double-quotes", b'"x,y";z\n"u,v";w\n', {"quote_char": "'"},
     b'"x,y";z\n"u,v";w\n', b"", (2, 2, 0, 0, ";", 2)),
    ("inference-reads-double-quotes", b'"a,b",c\n"d,e",f\n', {"delimiter": ",", "quote_char": "'"},
     b"\"a,'b\",c'\n\"d,'e\",f'\n", b"", (2, 2, 2, 0, ",", 2)),
    ("invalid-utf8-replaced", b"a\xffb,c\n\xe0\x80,d\n", {},
     b"a\xef\xbf\xbdb,c\n\xef\xbf\xbd\xef\xbf\xbd,d\n", b"", (2, 2, 0, 0, ",", 2)),
]


def counters(summary):
    return (summary.total_rows, summary.quorled_rows, summary.repaired_rows, summary.quarantined_rows,
            summary.detected_delimiter, summary.inferred_columns)


@pytest.fixture
def out(tmp_path):
    return str(tmp_path / "out.csv")


@pytest.fixture
def quar(tmp_path):
    return str(tmp_path / "quarantine.csv")


@pytest.mark.parametrize(
    "data, options, clean, quarantined, expected",
    [pytest.param(*case[1:], id=case[0]) for case in RESCUE_CASES],
)
def test_rescued_bytes(q, write, read, out, quar, data, options, clean, quarantined, expected):
    summary = q.quorle_file(write(data), out, quar, **options)
    assert read(out) == clean
    assert read(quar) == HEADER + quarantined
    assert counters(summary) == expected


@pytest.mark.parametrize(
    "options",
    [{}, {"delimiter": ";", "expected_columns": 5}, {"delimiter": "\t", "fill_ragged_rows": False}, {"expected_columns": 0}],
    ids=["defaults", "semicolon-and-five", "tab", "zero-columns"],
)
def test_empty_input(q, write, read, out, quar, options):
    summary = q.quorle_file(write(b""), out, quar, **options)
    assert read(out) == b""
    assert read(quar) == HEADER
    assert counters(summary) == (0, 0, 0, 0, ",", 0)


@pytest.mark.parametrize("size", [8191, 8192, 8193, 100_000])
@pytest.mark.parametrize("quoted", [False, True], ids=["plain", "quoted"])
def test_long_lines_are_written_whole(q, write, read, out, quar, size, quoted):
    # `size` is the length of the whole line, line feed included.
    if quoted:
        long_line = b'"' + b"x" * (size - 7) + b'""",z\n'
    else:
        long_line = b"x" * (size - 3) + b",z\n"
    assert len(long_line) == size
    data = b"a,b\n" + long_line + b"c,d\n" + long_line + b"tail\n"
    summary = q.quorle_file(write(data), out, quar, fill_ragged_rows=False, merge_overflow=False, expected_columns=2)
    assert read(out) == b"a,b\n" + long_line + b"c,d\n" + long_line
    assert read(quar) == HEADER + few(2, 5) + b'"tail"\n'
    assert summary.quorled_rows == 4


def test_many_rows_cross_the_write_buffer(q, write, read, out, quar):
    lines = [f"{i},{'v' * (i % 97)},\"q\"\"{i}\"\n" for i in range(20_000)]
    short = [f"{i}\n" for i in range(3_000)]
    summary = q.quorle_file(write("".join(lines + short)), out, quar, fill_ragged_rows=False)
    expected = "".join(f"{i},{'v' * (i % 97)},\"q\"\"{i}\"\n" for i in range(20_000))
    assert read(out) == expected.encode()
    assert read(quar) == HEADER + b"".join(few(3, 20_001 + i) + f'"{i}"\n'.encode() for i in range(3_000))
    assert counters(summary) == (23_000, 20_000, 0, 3_000, ",", 3)


def assert_plain_oserror(error, message):
    assert type(error) is OSError
    assert error.args == (message,)
    assert str(error) == message
    assert error.errno is None and error.strerror is None and error.filename is None


# id, which path is broken, the broken path, message
FAILURES = [
    ("missing-input", "input", lambda tmp: str(tmp / "missing.csv"), ENOENT),
    ("input-is-directory", "input", lambda tmp: str(tmp / "sub"), EISDIR),
    ("nul-in-input", "input", lambda tmp: str(tmp / "in\0.csv"), WINAPI_NUL),
    ("output-is-directory", "output", lambda tmp: str(tmp / "sub"), EISDIR),
    ("output-in-missing-directory", "output", lambda tmp: str(tmp / "nowhere" / "out.csv"), ENOENT),
    ("nul-in-output", "output", lambda tmp: str(tmp / "out\0.csv"), WINAPI_NUL),
    ("output-device-full", "output", lambda tmp: "/dev/full", ENOSPC),
    ("quarantine-in-missing-directory", "quarantine", lambda tmp: str(tmp / "nowhere" / "q.csv"), ENOENT),
    ("quarantine-empty-path", "quarantine", lambda tmp: "", ENOENT),
    ("nul-in-quarantine", "quarantine", lambda tmp: str(tmp / "q\0.csv"), WINAPI_NUL),
    ("quarantine-is-directory", "quarantine", lambda tmp: str(tmp / "sub"), EISDIR),
    ("quarantine-device-full", "quarantine", lambda tmp: "/dev/full", ENOSPC),
]


@pytest.mark.parametrize("broken, make_path, message", [pytest.param(*f[1:], id=f[0]) for f in FAILURES])
def test_io_failures(q, write, read, tmp_path, out, quar, broken, make_path, message):
    (tmp_path / "sub").mkdir()
    paths = {"input": write(b"a,b\n1,2\n3\n"), "output": out, "quarantine": quar}
    paths[broken] = make_path(tmp_path)
    pathlib.Path(out).write_bytes(b"old output\n")
    with pytest.raises(OSError) as info:
        q.quorle_file(paths["input"], paths["output"], paths["quarantine"], fill_ragged_rows=False)
    assert_plain_oserror(info.value, message)
    # A failure before the output is created leaves it alone; a quarantine failure comes after it is complete.
    assert read(out) == (b"a,b\n1,2\n" if broken == "quarantine" else b"old output\n")
    if broken != "quarantine":
        assert not os.path.exists(quar)


def test_without_quarantine_path_nothing_else_is_written(q, write, read, tmp_path, out):
    src = write(b"a,b\n1\n", "in.csv")
    summary = q.quorle_file(src, out, None, fill_ragged_rows=False)
    assert summary.quarantined_rows == 1
    assert sorted(os.listdir(tmp_path)) == ["in.csv", "out.csv"]
    assert read(out) == b"a,b\n"


SAME_FILE = "quarantine_path and output_path name the same file"
NAMES_INPUT = "quarantine_path names the input file"

# Spellings of the file {name} in tmp, run from tmp, which holds a directory "sub".
SPELLINGS = pytest.mark.parametrize(
    "spelling",
    ["{tmp}/{name}", "{tmp}/./{name}", "{tmp}/sub/../{name}", "{tmp}//{name}", "{name}", "./sub/../{name}"],
    ids=["identical", "dot", "dot-dot", "double-slash", "relative", "relative-dot-dot"],
)


@SPELLINGS
@pytest.mark.parametrize("existing", [False, True], ids=["missing-output", "existing-output"])
def test_quarantine_naming_the_output_is_refused(q, write, read, tmp_path, monkeypatch, spelling, existing):
    (tmp_path / "sub").mkdir()
    monkeypatch.chdir(tmp_path)
    out = str(tmp_path / "out.csv")
    if existing:
        pathlib.Path(out).write_bytes(b"keep me\n")
    for src in (write(b"a,b\n1\n"), str(tmp_path / "missing.csv")):
        with pytest.raises(OSError) as info:
            q.quorle_file(src, out, spelling.format(tmp=tmp_path, name="out.csv"), fill_ragged_rows=False)
        assert_plain_oserror(info.value, SAME_FILE)
        if existing:
            assert read(out) == b"keep me\n"
        else:
            assert not os.path.exists(out)


@pytest.mark.parametrize("link", [os.link, os.symlink], ids=["hard-link", "symlink"])
def test_quarantine_linked_to_the_output_is_refused(q, write, read, tmp_path, link):
    out = tmp_path / "out.csv"
    out.write_bytes(b"keep me\n")
    alias = tmp_path / "alias.csv"
    link(out, alias)
    with pytest.raises(OSError) as info:
        q.quorle_file(write(b"a,b\n1\n"), str(out), str(alias), fill_ragged_rows=False)
    assert_plain_oserror(info.value, SAME_FILE)
    assert read(out) == b"keep me\n"


@SPELLINGS
def test_quarantine_naming_the_input_is_refused(q, read, tmp_path, monkeypatch, spelling):
    (tmp_path / "sub").mkdir()
    monkeypatch.chdir(tmp_path)
    data = b"a,b\n1\n"
    src = tmp_path / "in.csv"
    src.write_bytes(data)
    for out in (tmp_path / "out.csv", src):  # the output elsewhere, or over the input too
        with pytest.raises(OSError) as info:
            q.quorle_file(str(src), str(out), spelling.format(tmp=tmp_path, name="in.csv"), fill_ragged_rows=False)
        assert_plain_oserror(info.value, NAMES_INPUT)
        assert read(src) == data
        assert sorted(os.listdir(tmp_path)) == ["in.csv", "sub"]


@pytest.mark.parametrize("link", [os.link, os.symlink], ids=["hard-link", "symlink"])
def test_quarantine_linked_to_the_input_is_refused(q, read, tmp_path, link):
    data = b"a,b\n1\n"
    src = tmp_path / "in.csv"
    src.write_bytes(data)
    alias = tmp_path / "alias.csv"
    link(src, alias)
    with pytest.raises(OSError) as info:
        q.quorle_file(str(src), str(tmp_path / "out.csv"), str(alias), fill_ragged_rows=False)
    assert_plain_oserror(info.value, NAMES_INPUT)
    assert read(src) == data
    assert sorted(os.listdir(tmp_path)) == ["alias.csv", "in.csv"]


def test_output_may_replace_the_input(q, write, read, tmp_path):
    data = b'\xef\xbb\xbfa,b,c\r\n1,"x""y"\r\n4,5,6,7\n8\n'
    options = {"fill_ragged_rows": False, "expected_columns": 3}
    reference = q.quorle_file(write(data, "ref.csv"), str(tmp_path / "ref.out"), **options)
    src = write(data, "in.csv")
    os.chmod(src, 0o640)
    summary = q.quorle_file(src, f"{tmp_path}/./in.csv", str(tmp_path / "q.csv"), **options)
    assert read(src) == read(tmp_path / "ref.out") == b'a,b,c\n4,5,"6,7"\n'
    assert read(tmp_path / "q.csv") == HEADER + few(3, 2) + b'"1,x""y"\n' + few(3, 4) + b'"8"\n'
    assert stat.S_IMODE(os.stat(src).st_mode) == 0o640
    assert counters(summary) == counters(reference)
    assert sorted(os.listdir(tmp_path)) == ["in.csv", "q.csv", "ref.csv", "ref.out"]


@pytest.mark.parametrize("quarantine", ["nowhere/q.csv", ""], ids=["missing-directory", "empty-path"])
@pytest.mark.parametrize("spelling", ["{}/in.csv", "{}/./in.csv"], ids=["identical", "dot"])
def test_failed_rescue_onto_the_input_keeps_it_intact(q, write, read, tmp_path, quarantine, spelling):
    data = b"a,b\n1\n2,3,4\n"
    src = write(data, "in.csv")
    with pytest.raises(OSError) as info:
        q.quorle_file(src, spelling.format(tmp_path), str(tmp_path / quarantine) if quarantine else "")
    assert type(info.value) is OSError
    assert read(src) == data
    assert os.listdir(tmp_path) == ["in.csv"]


def test_output_symlink_to_the_input(q, write, read, tmp_path):
    src = write(b"a,b\n1\n", "in.csv")
    link = tmp_path / "link.csv"
    link.symlink_to(src)
    q.quorle_file(src, str(link))
    assert link.is_symlink() and os.readlink(link) == src
    assert read(src) == b"a,b\n1,\n"
    assert sorted(os.listdir(tmp_path)) == ["in.csv", "link.csv"]


@pytest.mark.parametrize("existing", [False, True], ids=["missing-output", "existing-output"])
def test_huge_column_count_with_padding_is_refused_before_writing(q, write, read, out, quar, existing):
    if existing:
        pathlib.Path(out).write_bytes(b"keep me\n")
    with pytest.raises(MemoryError):
        q.quorle_file(write(b"a,b\n1\n"), out, quar, expected_columns=2**40)
    if existing:
        assert read(out) == b"keep me\n"
    else:
        assert not os.path.exists(out)
    assert not os.path.exists(quar)


def test_huge_column_count_without_padding_quarantines(q, write, read, out, quar):
    summary = q.quorle_file(write(b"a,b\n1\n"), out, quar, expected_columns=2**40, fill_ragged_rows=False)
    assert read(out) == b""
    assert read(quar) == HEADER + few(2**40, 1) + b'"a,b"\n' + few(2**40, 2) + b'"1"\n'
    assert counters(summary) == (2, 0, 0, 2, ",", 2**40)


def test_wide_padding_works(q, write, read, out):
    summary = q.quorle_file(write(b"a,b\n1\n"), out, expected_columns=10**5)
    assert read(out) == b"a,b" + b"," * (10**5 - 2) + b"\n1" + b"," * (10**5 - 1) + b"\n"
    assert counters(summary) == (2, 2, 2, 0, ",", 10**5)


@pytest.mark.parametrize("data, clean", [
    (b'a"b,c\n', b'"a""b",c\n'),
    (b'x,a",\n', b'x,"a""",\n'),
    (b' "q",z\n', b'" ""q""",z\n'),
], ids=["quote-inside", "quote-last", "blank-then-quote"])
def test_ordinary_quote_in_unquoted_text_is_written_quoted(q, write, read, tmp_path, data, clean):
    out = str(tmp_path / "out.csv")
    q.quorle_file(write(data), out, expected_columns=0)
    assert read(out) == clean
