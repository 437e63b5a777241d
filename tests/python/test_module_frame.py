"""The module object itself: its attributes, the shape of its functions and classes, and their docstrings."""

import importlib.metadata
import inspect
import pathlib
import tomllib
import types
import weakref

import pytest

MODULE_DOC = (
    "High-performance, fault-tolerant CSV quorle and reconstruction engine.\n"
    "\n"
    "Rescues corrupted, broken, and malformed CSV files where strict parsers\n"
    "(Polars, DuckDB, Pandas) abort with ParserError."
)

QUORLE_FILE_SIGNATURE = (
    '(input_path, output_path, quarantine_path=None, delimiter=None, quote_char="\\"", '
    "fill_ragged_rows=True, merge_overflow=True, expected_columns=None, repair_quotes=True)"
)
QUORLE_FILE_DOC = "\n".join(
    [
        "Quorles a corrupted CSV file and writes a clean, standard RFC-4180 file.",
        "",
        "Args:",
        "    input_path: Path to the corrupted CSV file.",
        "    output_path: Path where the repaired CSV file will be written.",
        "    quarantine_path: Optional path to write unrecoverable / quarantined rows.",
        '    delimiter: Optional single-character delimiter (e.g. "," or ";"). If None, auto-sniffed.',
        "    quote_char: Optional single-character quote enclosure (default '\"').",
        "    fill_ragged_rows: If True, pads short rows with empty strings. Default True.",
        "    merge_overflow: If True, merges extra tokens into the last column. Default True.",
        "    expected_columns: Optional explicit column count. If None, inferred automatically.",
        "    repair_quotes: If True, disambiguates and repairs stray internal quotes. Default True.",
    ]
)
READER_SIGNATURE = (
    '(file_path, delimiter=None, quote_char="\\"", fill_ragged_rows=True, '
    "merge_overflow=True, expected_columns=None, repair_quotes=True)"
)


@pytest.fixture
def summary(q, write, tmp_path):
    return q.quorle_file(write("a,b\n1,2\n"), str(tmp_path / "out.csv"))


@pytest.fixture
def reader(q, write):
    return q.open(write("a,b\n1,2\n"))


def test_public_names(q):
    assert type(q.__all__) is list
    assert q.__all__ == ["quorle_file", "sniff", "open", "QuorleSummary", "QuorleReader"]
    assert all(hasattr(q, name) for name in q.__all__)
    assert q.__name__ == "_csv_quorle_backend"


def test_version_is_the_distributions(q):
    # Installed by pip: the metadata's version. Built by plain CMake (the sanitizer run): the one
    # in pyproject.toml, which that build reads for itself.
    try:
        dist = importlib.metadata.distribution("csv-quorle")
        held = {pathlib.Path(dist.locate_file(f)).resolve() for f in dist.files or ()}
    except importlib.metadata.PackageNotFoundError:
        dist, held = None, set()
    if pathlib.Path(q.__file__).resolve() in held:
        assert q.__version__ == dist.version
    else:
        pyproject = pathlib.Path(__file__).parents[2] / "pyproject.toml"
        assert q.__version__ == tomllib.loads(pyproject.read_text())["project"]["version"]


def test_module_docstring_replaces_the_definition_one(q):
    assert q.__doc__ == MODULE_DOC


def test_internal_failure_class_is_not_exposed(q):
    assert not hasattr(q, "InternalFailure")
    assert "InternalFailure" not in dir(q)


@pytest.mark.parametrize("name", ["quorle_file", "sniff", "open"])
def test_functions_are_builtins_bound_to_the_module(q, name):
    func = getattr(q, name)
    assert isinstance(func, types.BuiltinFunctionType)
    assert func.__name__ == name
    assert func.__qualname__ == name
    assert func.__module__ == "_csv_quorle_backend"
    assert func.__self__ is q


@pytest.mark.parametrize("name", ["QuorleSummary", "QuorleReader"])
def test_classes_are_named_as_builtins(q, name):
    cls = getattr(q, name)
    assert isinstance(cls, type)
    assert cls.__name__ == name
    assert cls.__qualname__ == name
    assert cls.__module__ == "builtins"
    assert cls.__bases__ == (object,)


@pytest.mark.parametrize("name", ["QuorleSummary", "QuorleReader"])
def test_classes_cannot_be_subclassed(q, name):
    base = getattr(q, name)
    with pytest.raises(TypeError):
        type("Sub", (base,), {})


def test_summary_cannot_be_constructed_from_python(q):
    with pytest.raises(TypeError):
        q.QuorleSummary()
    with pytest.raises(TypeError):
        q.QuorleSummary.__new__(q.QuorleSummary)


@pytest.mark.parametrize("which", ["summary", "reader"])
def test_instances_have_no_dict_and_no_weakrefs(request, which):
    obj = request.getfixturevalue(which)
    assert not hasattr(obj, "__dict__")
    with pytest.raises(AttributeError):
        obj.some_new_attribute = 1
    with pytest.raises(TypeError):
        weakref.ref(obj)


DOCS = [
    ("quorle_file", QUORLE_FILE_DOC, QUORLE_FILE_SIGNATURE),
    ("sniff", "Detects the most likely delimiter from a CSV string sample.", "(sample)"),
    ("open", "Convenience function to open and stream a quorled CSV file.", READER_SIGNATURE),
    ("QuorleReader", "In-memory streaming reader iterating over quorled rows.", READER_SIGNATURE),
    ("QuorleSummary", "Python-exposed summary of a quorle operation.", None),
    ("QuorleSummary.to_dict", "Converts the summary into a native Python dictionary.", "($self)"),
    ("QuorleReader.__enter__", None, "($self)"),
    ("QuorleReader.__exit__", None, "($self, _exc_type=None, _exc_val=None, _exc_tb=None)"),
]


@pytest.mark.parametrize("target, doc, signature", DOCS, ids=[d[0] for d in DOCS])
def test_docstrings_and_text_signatures(q, target, doc, signature):
    obj = q
    for attr in target.split("."):
        obj = getattr(obj, attr)
    assert obj.__doc__ == doc
    assert getattr(obj, "__text_signature__", None) == signature


def test_signatures_are_introspectable(q):
    sig = inspect.signature(q.quorle_file)
    assert list(sig.parameters) == [
        "input_path", "output_path", "quarantine_path", "delimiter", "quote_char",
        "fill_ragged_rows", "merge_overflow", "expected_columns", "repair_quotes",
    ]
    assert sig.parameters["quote_char"].default == '"'
    assert sig.parameters["input_path"].default is inspect.Parameter.empty
    assert sig.parameters["expected_columns"].default is None
    assert sig.parameters["repair_quotes"].default is True
    assert all(p.kind is inspect.Parameter.POSITIONAL_OR_KEYWORD for p in sig.parameters.values())

    for reader_entry in (q.open, q.QuorleReader):
        sig = inspect.signature(reader_entry)
        assert list(sig.parameters)[0] == "file_path"
        assert sig.parameters["quote_char"].default == '"'
        assert len(sig.parameters) == 7

    assert list(inspect.signature(q.sniff).parameters) == ["sample"]
    assert list(inspect.signature(q.QuorleReader.__exit__).parameters) == [
        "self", "_exc_type", "_exc_val", "_exc_tb",
    ]
