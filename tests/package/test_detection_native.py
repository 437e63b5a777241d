"""The native parts of detection against what they replace. _native.sample_records, which reads
every candidate dialect, against the csv module: the same records, line numbers, filled counts
and blank rows on random lines of delimiters, quotes, escapes, blanks and line breaks, and the
same point where reading stops. _native.column_counts against a count in Python."""
from __future__ import annotations

import csv
import random

from outcomes import run_property
from csv_quorle import _native
from csv_quorle._detection.cells import column_class, column_class_counts
from csv_quorle._detection.split import Record, split_lines

_PIECES = [",", ";", "\t", "|", " ", "  ", '"', '""', "'", "\\", "a", "7", "é", "😀", "\x00",
           "\r\n", "\n", "\r", "\u2028", "\xa0"]

Case = tuple[list[str], dict[str, object]]


def _reference(lines: list[str], options: dict[str, object]) -> tuple[list[tuple], bool]:
    """The records as the csv module reads them, with each record's flags worked out in Python."""
    quote = options["quote"]
    reader = csv.reader(lines, delimiter=options["delimiter"], quotechar=quote or '"',
                        quoting=csv.QUOTE_NONE if quote is None else csv.QUOTE_MINIMAL,
                        escapechar=options["escape"], strict=False,
                        skipinitialspace=options["skip_initial_space"])
    records: list[tuple] = []
    previous, limit = 0, options["limit"]
    try:
        for fields in reader:
            now = reader.line_num
            filled = sum(map(bool, map(str.strip, fields)))
            bare = not filled and (len(fields) <= 1 or not any(fields)) and not (
                quote and any(quote in line for line in lines[previous:now]))
            records.append((previous + 1, now, fields, filled, bare))
            previous = now
            if limit is not None and len(records) >= limit:
                break
    except csv.Error:
        return records, True
    return records, False


def _make(rng: random.Random) -> Case:
    text = "".join(rng.choice(_PIECES) for _ in range(rng.randint(0, 40)))
    # Lines as detection cuts them, or now and then pieces that hold a line break mid-way.
    lines = split_lines(text) if rng.random() < 0.8 else [
        "".join(rng.choice(_PIECES) for _ in range(rng.randint(0, 6))) for _ in range(3)]
    options = {"delimiter": rng.choice([",", ";", "\t", "|", " ", ":"]),
               "quote": rng.choice(['"', '"', "'", None]),
               "escape": rng.choice([None, None, "\\"]),
               "skip_initial_space": rng.random() < 0.3,
               "limit": rng.choice([None, None, 1, 3])}
    return lines, options


def _check(case: Case) -> None:
    lines, options = case
    got, stopped = _native.sample_records(lines, **options)  # type: ignore[arg-type]
    want, raised = _reference(lines, options)
    assert (got, stopped) == (want, raised), f"{lines!r} {options}"


def _shrink(case: Case, fails) -> Case:
    lines, options = case
    for i in range(len(lines)):
        smaller = (lines[:i] + lines[i + 1:], options)
        if fails(smaller):
            return _shrink(smaller, fails)
    return case


def test_records_as_the_csv_module_reads_them() -> None:
    run_property("sample records", 3000, _make, _check, _shrink)


def test_a_dialect_character_must_be_one_character() -> None:
    for bad in ({"delimiter": ",,"}, {"delimiter": ",", "quote": ""}, {"delimiter": 44}):
        try:
            _native.sample_records(["a\n"], **bad)  # type: ignore[arg-type]
        except TypeError as e:
            assert any("while processing" in note for note in getattr(e, "__notes__", [])), e
        else:
            raise AssertionError(f"{bad} accepted")


def test_column_counts_as_counted_in_python() -> None:
    rng = random.Random("column counts")
    cells = ["", " ", "12", "1,5", "NA", "n/a", "x", " y ", "2024-01-02", "-", "é"]
    for _ in range(300):
        rows = [Record(1, 1, [rng.choice(cells) for _ in range(rng.randint(0, 6))], 0)
                for _ in range(rng.randint(0, 12))]
        columns, limit = rng.randint(0, 7), rng.randint(0, 14)
        want = [0] * (3 * columns)
        for r in rows[:limit]:
            for j, c in enumerate(r.fields[:columns]):
                want[3 * j + column_class(c)] += 1
        assert column_class_counts(rows, columns, limit) == want


def test_column_counts_refuses_a_class_out_of_range() -> None:
    try:
        _native.column_counts([Record(1, 1, ["a"], 1)], columns=1, limit=1, classes={},
                              classify=lambda cell: 5, count=3)
    except ValueError:
        return
    raise AssertionError("a class of 5 counted among 3")
