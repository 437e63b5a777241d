"""sniff() on text samples, and the QuorleSummary object returned by a run."""

import pytest

FIELDS = ["total_rows", "quorled_rows", "repaired_rows", "quarantined_rows", "detected_delimiter", "inferred_columns"]

# Each line holds one semicolon; the commas give 3, 3, 3 and 2 fields.
COMMA_MOSTLY_THREE = "a,b,c;d\ne,f,g;h\ni,j,k;l\nm,n;o\n"


@pytest.mark.parametrize(
    "sample, expected",
    [
        ("", ","),
        ("\ufeff", ","),
        ("\n\n\n", ","),
        ("a;b;c\n", ","),
        ("a;b\nc;d\n", ";"),
        ("a\tb\nc\td\n", "\t"),
        ("a|b\nc|d\n", "|"),
        ("\ufeffa;b\nc;d", ";"),
        ("a\nb\nc\n", ","),
        ("a,b;c\nd,e;f\n", ","),
        ("a;b|c\nd;e|f\n", ";"),
        ("a\tb|c\nd\te|f\n", "\t"),
        (COMMA_MOSTLY_THREE, ";"),
        ("a;b;c,d\ne;f;g,h\n", ";"),
        ('"a,b";c\n"d,e";f\n', ";"),
        ("a;b\r\nc;d\r\n", ";"),
        ("a|b\rc|d\r", "|"),
        ("a;b\nxyz\n", ";"),
        ("a;b\n\t\n", "\t"),
        ("a;b\n \n", ","),
    ],
    ids=[
        "empty", "bom-only", "blank-lines", "single-record", "semicolon", "tab", "bar", "bom-then-semicolon",
        "never-split", "tie-comma-semicolon", "tie-semicolon-bar", "tie-tab-bar", "consistent-two-beats-mostly-three",
        "consistent-three-beats-two", "quoted-comma", "crlf", "cr",
        "one-field-text-counts", "tab-line-splits", "space-line-skipped",
    ],
)
def test_sniff(q, sample, expected):
    assert q.sniff(sample) == expected


@pytest.mark.parametrize(
    "space",
    ["\x0b", "\x0c", "\x85", "\xa0", "\u1680", "\u2000", "\u200a", "\u2028", "\u2029", "\u202f", "\u205f", "\u3000"],
    ids=lambda c: f"U+{ord(c):04X}",
)
def test_sniff_skips_unicode_whitespace_lines(q, space):
    # With the white-space lines skipped only one record is counted, so nothing scores above zero.
    assert q.sniff(f"a;b\n{space}\n {space} \n") == ","


@pytest.mark.parametrize("char", ["\u200b", "\u180e", "x"], ids=["U+200B", "U+180E", "letter"])
def test_sniff_counts_lines_of_other_characters(q, char):
    assert q.sniff(f"a;b\n{char}\n") == ";"


def test_sniff_samples_only_the_first_fifty_records(q):
    head = "a;b\n" * 50
    tail = "a,b,c\n" * 100
    assert q.sniff(head + tail) == ";"
    # Skipped blank and white-space lines do not use up the fifty: the semicolon lines after them are reached.
    assert q.sniff("a,b,c\n" * 5 + "\n  \n" * 30 + "a;b\n" * 100) == ";"


def test_sniff_of_a_long_sample(q):
    assert q.sniff("a;b;c\n" * 1_000_000) == ";"
    assert q.sniff("x" * 5_000_000) == ","
    assert q.sniff("h1|h2\n" * 49 + "v1|v2\n" + "p,q,r,s\n" * 800_000) == "|"


def test_sniff_refuses_bytes(q):
    with pytest.raises(TypeError) as info:
        q.sniff(b"a;b\nc;d\n")
    assert str(info.value) == "'bytes' object is not an instance of 'str'"
    assert info.value.__notes__ == ["while processing 'sample'"]


@pytest.fixture
def run(q, write, tmp_path):
    def _run(content, **options):
        return q.quorle_file(write(content), str(tmp_path / "out.csv"), **options)

    return _run


@pytest.mark.parametrize(
    "content, options, text",
    [
        ("h1,h2,h3\n1,2,3\n4,5,6\n7,8,9\n", {},
         "<QuorleSummary total_rows=4 quorled_rows=4 repaired_rows=0 quarantined_rows=0 delimiter=',' inferred_columns=3>"),
        ("a\tb\nc\td\n", {},
         "<QuorleSummary total_rows=2 quorled_rows=2 repaired_rows=0 quarantined_rows=0 delimiter='\t' inferred_columns=2>"),
        ("a|b|c\n1\n1|2|3|4\n5|6|7\n", {"merge_overflow": False},
         "<QuorleSummary total_rows=4 quorled_rows=3 repaired_rows=1 quarantined_rows=1 delimiter='|' inferred_columns=3>"),
        ("a;b\n", {"expected_columns": 0},
         "<QuorleSummary total_rows=1 quorled_rows=1 repaired_rows=0 quarantined_rows=0 delimiter=',' inferred_columns=0>"),
        ("", {"delimiter": ";"},
         "<QuorleSummary total_rows=0 quorled_rows=0 repaired_rows=0 quarantined_rows=0 delimiter=',' inferred_columns=0>"),
        ("a'b\n", {"delimiter": "'", "quote_char": "|"},
         "<QuorleSummary total_rows=1 quorled_rows=1 repaired_rows=0 quarantined_rows=0 delimiter=''' inferred_columns=2>"),
    ],
    ids=["comma", "tab", "bar-mixed-counters", "semicolon-single-line", "empty", "apostrophe-unescaped"],
)
def test_repr(run, content, options, text):
    summary = run(content, **options)
    assert repr(summary) == text
    assert str(summary) == text


def test_to_dict(run):
    summary = run("a;b;c\n1;2\n3;4;5;6\n7;8;9\n", fill_ragged_rows=False)
    first, second = summary.to_dict(), summary.to_dict()
    assert list(first.items()) == [
        ("total_rows", 4), ("quorled_rows", 3), ("repaired_rows", 1),
        ("quarantined_rows", 1), ("detected_delimiter", ";"), ("inferred_columns", 3),
    ]
    assert first == second and first is not second
    assert [type(v) for v in first.values()] == [int, int, int, int, str, int]
    first["total_rows"] = 99
    del first["detected_delimiter"]
    assert summary.total_rows == 4
    assert summary.to_dict() == second


@pytest.mark.parametrize("name", FIELDS)
def test_properties_are_read_only(run, name):
    summary = run("a,b\n1,2\n")
    before = getattr(summary, name)
    with pytest.raises(AttributeError):
        setattr(summary, name, before)
    with pytest.raises(AttributeError):
        delattr(summary, name)
    assert getattr(summary, name) == before


def test_equality_is_identity(run):
    first, second = run("a,b\n1,2\n"), run("a,b\n1,2\n")
    assert first.to_dict() == second.to_dict()
    assert first != second
    assert first == first
    assert hash(first) == hash(first) and hash(first) != hash(second)


def test_summary_outlives_its_reader(q, write):
    reader = q.open(write("a,b\n1\nc,d\n"))
    first = reader.summary
    second = reader.summary
    assert first is not second and first.to_dict() == second.to_dict()
    del reader
    assert repr(first) == (
        "<QuorleSummary total_rows=3 quorled_rows=3 repaired_rows=1 quarantined_rows=0 delimiter=',' inferred_columns=2>"
    )


@pytest.mark.parametrize("columns", [2**32 + 1, 2**40, 2**63, 2**64 - 1], ids=["2^32+1", "2^40", "2^63", "2^64-1"])
def test_large_counters(run, columns):
    summary = run("a\nb\n", expected_columns=columns, fill_ragged_rows=False)
    assert summary.inferred_columns == columns
    assert summary.to_dict()["inferred_columns"] == columns
    assert repr(summary).endswith(f" inferred_columns={columns}>")


def test_many_rows_are_counted(run):
    summary = run("a,b\n" * 150_000 + "c\n" * 70_000 + "d,e,f\n" * 30_000, merge_overflow=False)
    assert (summary.total_rows, summary.quorled_rows, summary.repaired_rows, summary.quarantined_rows) == (
        250_000, 220_000, 70_000, 30_000,
    )
