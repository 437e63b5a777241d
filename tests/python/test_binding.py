"""Binding of positional and keyword arguments, and conversion of argument values, for every callable."""

import os
import pathlib

import numpy
import pytest

# Placeholders resolved per test: an existing input file, and output / quarantine paths that do not exist yet.
IN, OUT, QUAR = object(), object(), object()

NINE = (IN, OUT, None, None, '"', True, True, None, True)
SEVEN = (IN, None, '"', True, True, None, True)

MSG_DELIM = "delimiter must be an ASCII character other than CR or LF"
MSG_QUOTE = "quote_char must be an ASCII character other than CR or LF"
MSG_DIFFER = "delimiter and quote_char must differ"


class Outer:
    class Inner:
        pass


class Columns:
    def __index__(self):
        return 4


class TextPath(str):
    pass


def note(name):
    return f"while processing '{name}'"


BINDING_CASES = [
    # quorle_file
    ("no-args", "quorle_file", (), {}, "quorle_file() missing 2 required positional arguments: 'input_path' and 'output_path'"),
    ("one-positional", "quorle_file", (IN,), {}, "quorle_file() missing 1 required positional argument: 'output_path'"),
    ("too-many-positional", "quorle_file", NINE + (True,), {}, "quorle_file() takes from 2 to 9 positional arguments but 10 were given"),
    ("too-many-positional-before-unknown-keyword", "quorle_file", NINE + (True,), {"bogus": 1}, "quorle_file() takes from 2 to 9 positional arguments but 10 were given"),
    ("multiple-values-input", "quorle_file", (IN, OUT), {"input_path": "c"}, "quorle_file() got multiple values for argument 'input_path'"),
    ("multiple-values-quarantine", "quorle_file", (IN, OUT, QUAR), {"quarantine_path": QUAR}, "quorle_file() got multiple values for argument 'quarantine_path'"),
    ("unknown-keyword-before-missing", "quorle_file", (), {"output_path": OUT, "bogus": 1}, "quorle_file() got an unexpected keyword argument 'bogus'"),
    ("keyword-case-matters", "quorle_file", (IN, OUT), {"Delimiter": ","}, "quorle_file() got an unexpected keyword argument 'Delimiter'"),
    ("keywords-checked-in-call-order-unknown", "quorle_file", (IN, OUT), {"bogus": 1, "input_path": IN}, "quorle_file() got an unexpected keyword argument 'bogus'"),
    ("keywords-checked-in-call-order-duplicate", "quorle_file", (IN, OUT), {"input_path": IN, "bogus": 1}, "quorle_file() got multiple values for argument 'input_path'"),
    ("binding-before-conversion", "quorle_file", (pathlib.Path("x"),), {}, "quorle_file() missing 1 required positional argument: 'output_path'"),
    # sniff
    ("sniff-no-args", "sniff", (), {}, "sniff() missing 1 required positional argument: 'sample'"),
    ("sniff-too-many", "sniff", ("a", "b"), {}, "sniff() takes 1 positional arguments but 2 were given"),
    ("sniff-unknown-keyword", "sniff", (), {"sample": "a", "x": 1}, "sniff() got an unexpected keyword argument 'x'"),
    ("sniff-multiple-values", "sniff", ("a",), {"sample": "b"}, "sniff() got multiple values for argument 'sample'"),
    # open and the reader class
    ("open-no-args", "open", (), {}, "open() missing 1 required positional argument: 'file_path'"),
    ("open-too-many", "open", SEVEN + (True,), {}, "open() takes from 1 to 7 positional arguments but 8 were given"),
    ("open-unknown-keyword", "open", (), {"delimiter": ",", "path": IN}, "open() got an unexpected keyword argument 'path'"),
    ("open-multiple-values", "open", (IN,), {"file_path": IN}, "open() got multiple values for argument 'file_path'"),
    ("reader-no-args", "QuorleReader", (), {}, "QuorleReader.__new__() missing 1 required positional argument: 'file_path'"),
    ("reader-too-many", "QuorleReader", SEVEN + (True,), {}, "QuorleReader.__new__() takes from 1 to 7 positional arguments but 8 were given"),
    ("reader-unknown-keyword", "QuorleReader", (), {"file_path": IN, "quote": "'"}, "QuorleReader.__new__() got an unexpected keyword argument 'quote'"),
    ("reader-multiple-values", "QuorleReader", (IN, ","), {"delimiter": ";"}, "QuorleReader.__new__() got multiple values for argument 'delimiter'"),
    # the reader's __exit__
    ("exit-too-many", "__exit__", (1, 2, 3, 4), {}, "QuorleReader.__exit__() takes from 0 to 3 positional arguments but 4 were given"),
    ("exit-unknown-keyword", "__exit__", (), {"exc_type": None}, "QuorleReader.__exit__() got an unexpected keyword argument 'exc_type'"),
    ("exit-multiple-values", "__exit__", (None,), {"_exc_type": None}, "QuorleReader.__exit__() got multiple values for argument '_exc_type'"),
]

CONVERSION_CASES = [
    # text parameters
    ("path-for-input", "quorle_file", (pathlib.Path("in.csv"), OUT), {}, TypeError, "'PosixPath' object is not an instance of 'str'", "input_path"),
    ("path-for-output", "quorle_file", (IN, pathlib.Path("out.csv")), {}, TypeError, "'PosixPath' object is not an instance of 'str'", "output_path"),
    ("first-failure-in-order", "quorle_file", (pathlib.Path("a"), pathlib.Path("b")), {}, TypeError, "'PosixPath' object is not an instance of 'str'", "input_path"),
    ("nested-class-name", "quorle_file", (IN, Outer.Inner()), {}, TypeError, "'Outer.Inner' object is not an instance of 'str'", "output_path"),
    ("none-quote", "quorle_file", (IN, OUT), {"quote_char": None}, TypeError, "'None' is not an instance of 'str'", "quote_char"),
    ("lone-surrogate-input", "quorle_file", ("\ud800", OUT), {}, UnicodeEncodeError, None, "input_path"),
    # optional text parameters
    ("path-for-quarantine", "quorle_file", (IN, OUT), {"quarantine_path": pathlib.Path("q.csv")}, TypeError, "'PosixPath' object is not an instance of 'str'", "quarantine_path"),
    ("int-delimiter", "quorle_file", (IN, OUT), {"delimiter": 44}, TypeError, "'int' object is not an instance of 'str'", "delimiter"),
    # flags
    ("int-flag-1", "quorle_file", (IN, OUT), {"fill_ragged_rows": 1}, TypeError, "'int' object is not an instance of 'bool'", "fill_ragged_rows"),
    ("none-flag", "quorle_file", (IN, OUT), {"repair_quotes": None}, TypeError, "'None' is not an instance of 'bool'", "repair_quotes"),
    ("numpy-int-flag", "quorle_file", (IN, OUT), {"repair_quotes": numpy.int64(1)}, TypeError, "'int64' object is not an instance of 'bool'", "repair_quotes"),
    # optional count
    ("negative-count", "quorle_file", (IN, OUT), {"expected_columns": -1}, OverflowError, None, "expected_columns"),
    ("count-above-u64", "quorle_file", (IN, OUT), {"expected_columns": 2**64}, OverflowError, None, "expected_columns"),
    ("float-count", "quorle_file", (IN, OUT), {"expected_columns": 2.0}, TypeError, None, "expected_columns"),
    # conversion runs in parameter order, not in the order the keywords were given
    ("quote-before-flag", "quorle_file", (IN, OUT), {"repair_quotes": 1, "quote_char": None}, TypeError, "'None' is not an instance of 'str'", "quote_char"),
    ("flag-before-count", "quorle_file", (IN, OUT), {"expected_columns": -1, "fill_ragged_rows": 1}, TypeError, "'int' object is not an instance of 'bool'", "fill_ragged_rows"),
    # delimiter and quote must be single ASCII bytes other than CR / LF, and must differ
    ("delimiter-latin1", "quorle_file", (IN, OUT), {"delimiter": "\xa7"}, ValueError, MSG_DELIM, "delimiter"),
    ("delimiter-two-byte", "quorle_file", (IN, OUT), {"delimiter": "é"}, ValueError, MSG_DELIM, "delimiter"),
    ("delimiter-lf", "quorle_file", (IN, OUT), {"delimiter": "\n"}, ValueError, MSG_DELIM, "delimiter"),
    ("delimiter-starts-with-cr", "quorle_file", (IN, OUT), {"delimiter": "\r;"}, ValueError, MSG_DELIM, "delimiter"),
    ("quote-cr", "quorle_file", (IN, OUT), {"quote_char": "\r"}, ValueError, MSG_QUOTE, "quote_char"),
    ("quote-non-ascii", "quorle_file", (IN, OUT), {"quote_char": "\u00ab"}, ValueError, MSG_QUOTE, "quote_char"),
    ("delimiter-equals-default-quote", "quorle_file", (IN, OUT), {"delimiter": '"'}, ValueError, MSG_DIFFER, "quote_char"),
    ("delimiter-equals-empty-quote", "quorle_file", (IN, OUT), {"delimiter": '"', "quote_char": ""}, ValueError, MSG_DIFFER, "quote_char"),
    ("double-semicolon-equals-quote", "quorle_file", (IN, OUT), {"delimiter": ";;", "quote_char": ";"}, ValueError, MSG_DIFFER, "quote_char"),
    ("delimiter-checked-before-quote", "quorle_file", (IN, OUT), {"delimiter": "\n", "quote_char": "\n"}, ValueError, MSG_DELIM, "delimiter"),
    ("type-error-before-validation", "quorle_file", (IN, OUT), {"delimiter": 1, "quote_char": "\n"}, TypeError, "'int' object is not an instance of 'str'", "delimiter"),
    ("validation-before-flag", "quorle_file", (IN, OUT), {"delimiter": "\n", "fill_ragged_rows": 1}, ValueError, MSG_DELIM, "delimiter"),
    ("quote-validation-before-flag", "quorle_file", (IN, OUT), {"quote_char": "\n", "fill_ragged_rows": 1}, ValueError, MSG_QUOTE, "quote_char"),
    ("differ-before-count", "quorle_file", (IN, OUT), {"delimiter": "'", "quote_char": "'", "expected_columns": -1}, ValueError, MSG_DIFFER, "quote_char"),
    # the input "a,b\n1,2\n" sniffs as comma-separated: a comma quote is refused once it is read
    ("sniffed-delimiter-equals-quote", "quorle_file", (IN, OUT), {"quote_char": ","}, ValueError, MSG_DIFFER, "quote_char"),
    ("empty-delimiter-sniffed-equals-quote", "quorle_file", (IN, OUT), {"delimiter": "", "quote_char": ","}, ValueError, MSG_DIFFER, "quote_char"),
    ("conversion-before-validation", "quorle_file", (IN, pathlib.Path("o")), {"delimiter": "\n"}, TypeError, "'PosixPath' object is not an instance of 'str'", "output_path"),
    # sniff
    ("sniff-none", "sniff", (None,), {}, TypeError, "'None' is not an instance of 'str'", "sample"),
    ("sniff-lone-surrogate", "sniff", ("a\ud800b",), {}, UnicodeEncodeError, None, "sample"),
    # open and the reader class
    ("open-path", "open", (pathlib.Path("in.csv"),), {}, TypeError, "'PosixPath' object is not an instance of 'str'", "file_path"),
    ("open-none-quote", "open", (IN,), {"quote_char": None}, TypeError, "'None' is not an instance of 'str'", "quote_char"),
    ("open-cr-delimiter", "open", (IN,), {"delimiter": "\r"}, ValueError, MSG_DELIM, "delimiter"),
    ("open-non-ascii-quote", "open", (IN,), {"quote_char": "ß"}, ValueError, MSG_QUOTE, "quote_char"),
    ("open-same-delimiter-and-quote", "open", (IN,), {"delimiter": "|", "quote_char": "|"}, ValueError, MSG_DIFFER, "quote_char"),
    ("reader-float-count", "QuorleReader", (IN,), {"expected_columns": 2.5}, TypeError, None, "expected_columns"),
    ("reader-non-ascii-delimiter", "QuorleReader", (IN,), {"delimiter": "\xa7"}, ValueError, MSG_DELIM, "delimiter"),
    ("reader-positional-quote-delimiter", "QuorleReader", (IN, '"'), {}, ValueError, MSG_DIFFER, "quote_char"),
    ("open-sniffed-delimiter-equals-quote", "open", (IN,), {"quote_char": ","}, ValueError, MSG_DIFFER, "quote_char"),
    ("reader-sniffed-delimiter-equals-quote", "QuorleReader", (IN,), {"quote_char": ","}, ValueError, MSG_DIFFER, "quote_char"),
]


@pytest.fixture
def paths(tmp_path, write):
    return {
        IN: write("a,b\n1,2\n", "in.csv"),
        OUT: str(tmp_path / "out.csv"),
        QUAR: str(tmp_path / "quarantine.csv"),
    }


@pytest.fixture
def call(q, paths):
    reader = q.open(paths[IN])
    targets = {
        "quorle_file": q.quorle_file,
        "sniff": q.sniff,
        "open": q.open,
        "QuorleReader": q.QuorleReader,
        "__exit__": reader.__exit__,
    }

    def _call(name, args, kwargs):
        def resolve(v):
            return paths[v] if v is IN or v is OUT or v is QUAR else v

        return targets[name](*map(resolve, args), **{k: resolve(v) for k, v in kwargs.items()})

    return _call


def params(cases):
    return [pytest.param(*case[1:], id=case[0]) for case in cases]


@pytest.mark.parametrize("name, args, kwargs, message", params(BINDING_CASES))
def test_binding_errors(call, paths, name, args, kwargs, message):
    with pytest.raises(TypeError) as info:
        call(name, args, kwargs)
    assert type(info.value) is TypeError
    assert str(info.value) == message
    assert not getattr(info.value, "__notes__", None)
    assert not os.path.exists(paths[OUT])
    assert not os.path.exists(paths[QUAR])


@pytest.mark.parametrize(
    "name, args, kwargs, exc, message, param", params(CONVERSION_CASES)
)
def test_conversion_errors_carry_a_note(call, paths, name, args, kwargs, exc, message, param):
    kwargs = dict(kwargs)
    if name == "quorle_file":
        kwargs.setdefault("quarantine_path", QUAR)
    with pytest.raises(exc) as info:
        call(name, args, kwargs)
    assert type(info.value) is exc
    if message is not None:
        assert str(info.value) == message
    assert info.value.__notes__ == [note(param)]
    assert not os.path.exists(paths[OUT])
    assert not os.path.exists(paths[QUAR])


@pytest.mark.parametrize(
    "kwargs",
    [{"quote_char": None}, {"expected_columns": 2**64}, {"delimiter": "\n"}, {"bogus": 1}, {"quote_char": ","}],
    ids=["conversion", "overflow", "validation", "binding", "sniffed-delimiter-is-quote"],
)
def test_argument_errors_leave_existing_outputs_alone(q, paths, read, kwargs):
    for path in (paths[OUT], paths[QUAR]):
        pathlib.Path(path).write_bytes(b"previous content\n")
    with pytest.raises((TypeError, OverflowError, ValueError)):
        q.quorle_file(paths[IN], paths[OUT], paths[QUAR], **kwargs)
    assert read(paths[OUT]) == b"previous content\n"
    assert read(paths[QUAR]) == b"previous content\n"


def test_argument_errors_come_before_a_missing_input(q, tmp_path):
    # The input does not exist: an argument error must still win over the file error.
    with pytest.raises(TypeError) as info:
        q.quorle_file(str(tmp_path / "missing.csv"), str(tmp_path / "out.csv"), fill_ragged_rows=1)
    assert info.value.__notes__ == [note("fill_ragged_rows")]
    with pytest.raises(ValueError):
        q.open(str(tmp_path / "missing.csv"), delimiter="\n")


@pytest.mark.parametrize(
    "value, expected_columns",
    [(None, 2), (True, 1), (False, 0), (0, 0), (3, 3), (Columns(), 4), (numpy.int64(5), 5), (2**64 - 1, 2**64 - 1)],
    ids=["none", "true", "false", "zero", "int", "index", "numpy-int", "max-u64"],
)
def test_expected_columns_accepts_integers(q, paths, value, expected_columns):
    summary = q.quorle_file(paths[IN], paths[OUT], expected_columns=value, fill_ragged_rows=False)
    assert summary.inferred_columns == expected_columns


@pytest.mark.parametrize("flag", [numpy.bool_(False), numpy.bool_(True), False, True], ids=repr)
def test_flags_accept_bools_and_numpy_bools(q, write, tmp_path, read, flag):
    src = write("a,b,c\n1,2\n")
    out = str(tmp_path / "out.csv")
    summary = q.quorle_file(src, out, fill_ragged_rows=flag, expected_columns=3)
    if bool(flag):
        assert (summary.repaired_rows, summary.quarantined_rows) == (1, 0)
        assert read(out) == b"a,b,c\n1,2,\n"
    else:
        assert (summary.repaired_rows, summary.quarantined_rows) == (0, 1)
        assert read(out) == b"a,b,c\n"


def test_text_parameters_accept_str_subclasses(q, paths, read):
    summary = q.quorle_file(TextPath(paths[IN]), TextPath(paths[OUT]), TextPath(paths[QUAR]), delimiter=TextPath(","))
    assert summary.total_rows == 2
    assert read(paths[OUT]) == b"a,b\n1,2\n"
    assert q.sniff(TextPath("a;b\nc;d\n")) == ";"


@pytest.mark.parametrize(
    "kwargs, delimiter",
    [
        ({"delimiter": None}, ","),
        ({"delimiter": ""}, ","),
        ({"delimiter": ";;"}, ";"),
        ({"delimiter": "\t"}, "\t"),
        ({"delimiter": ",", "quote_char": "'"}, ","),
        ({"delimiter": "'", "quote_char": ""}, "'"),
    ],
    ids=["none", "empty", "double-semicolon", "tab", "apostrophe-quote", "empty-quote"],
)
def test_accepted_delimiter_and_quote_combinations(q, paths, kwargs, delimiter):
    assert q.quorle_file(paths[IN], paths[OUT], **kwargs).detected_delimiter == delimiter
    assert q.open(paths[IN], **kwargs).summary.detected_delimiter == delimiter


@pytest.mark.parametrize(
    "args, kwargs",
    [((), {}), ((None, None, None), {}), ((ValueError, ValueError("x"), None), {}), ((), {"_exc_tb": 1, "_exc_val": "v"})],
    ids=["none", "three-nones", "exception", "keywords"],
)
def test_exit_accepts_anything_and_returns_false(call, args, kwargs):
    assert call("__exit__", args, kwargs) is False
