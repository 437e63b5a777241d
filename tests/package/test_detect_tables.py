"""rescue() with everything detected on ordinary tables written by Python's csv module: no record
is lost, split or merged, and nothing is left out; around a real preamble and ending (titles,
comments, "Exported on", totals, notes) those lines, and only those, are left out and quoted in
a warning."""

from __future__ import annotations

import csv
import io
import random

import pytest
from ordinary_tables import export, sparse, table, write

CASES = 400


def rescued(run, text: str):
    report, clean, _ = run(text)
    return report, list(csv.reader(io.StringIO(clean)))


def test_ordinary_tables_keep_every_record(run) -> None:
    failures = []
    for seed in range(CASES):
        case = export(random.Random(seed))
        report, rows = rescued(run, case.text)
        if rows != case.table.records or report.skipped_lines or report.quarantined_rows:
            failures.append((seed, case.delimiter, case.text[:120]))
    assert not failures, f"{len(failures)} of {CASES}: {failures[:5]}"


def test_sparse_rows_and_blank_lines_inside_stay(run) -> None:
    failures = []
    for seed in range(CASES):
        text, records = sparse(random.Random(seed))
        report, rows = rescued(run, text)
        rows = [r for r in rows if any(r)]
        left_out = [s for s in report.skipped_lines if s.kind != "padding"
                    and any(t.strip(" \t,;|") for t in text.splitlines()[s.first_line - 1:
                                                                          s.last_line])]
        if [r[:len(w)] for r, w in zip(rows, records)] != records or left_out:
            failures.append((seed, text[:120]))
    assert not failures, f"{len(failures)} of {CASES}: {failures[:5]}"


def test_real_preambles_and_endings_are_left_out_and_quoted(run) -> None:
    failures = []
    for seed in range(CASES // 2):
        case = export(random.Random(seed), polluted=True)
        report, rows = rescued(run, case.text)
        lines = case.text.splitlines()
        kinds = [s.kind for s in report.skipped_lines]
        wanted = ["preamble"] * bool(case.preamble) + ["footer"] * bool(case.ending)
        firsts = [next(t.strip() for t in lines[s.first_line - 1:s.last_line] if t.strip())
                  for s in report.skipped_lines]
        quoted = all(any(repr(f)[1:20] in w for w in report.warnings) for f in firsts)
        if rows != case.table.records or kinds != wanted or not quoted:
            failures.append((seed, kinds, case.text[:160]))
    assert not failures, f"{len(failures)} of {CASES // 2}: {failures[:5]}"


@pytest.mark.parametrize("width", [1, 2, 5])
def test_a_header_line_repeated_inside_is_left_out_and_named(run, width) -> None:
    rng = random.Random(width)
    parts = [table(rng, width=width, kinds=["id", "money", "date", "word", "int"][:width])
             for _ in range(3)]
    header = ["id", "amount", "date", "city", "qty"][:width]
    records = [header] + [r for i, p in enumerate(parts)
                          for r in ([header] if i else []) + p.rows]
    report, rows = rescued(run, write(records, ","))
    repeats = [i + 1 for i, r in enumerate(records) if i and r == header]
    if width == 1:  # one column: nothing tells the name from a value, so it stays a row
        assert rows == records and not report.skipped_lines
        return
    assert rows == [r for i, r in enumerate(records) if i + 1 not in repeats]
    assert report.skipped_lines == tuple((n, n, "header") for n in repeats)
    assert any("header is repeated on lines " + ", ".join(map(str, repeats)) in w
               for w in report.warnings)


def test_given_options_win(run) -> None:
    case = next(c for c in (export(random.Random(s), polluted=True) for s in range(100))
                if c.preamble and c.ending)
    report, clean, _ = run(case.text, layout=False, header=False)
    every = [r for r in csv.reader(io.StringIO(case.text), delimiter=case.delimiter) if r]
    got = list(csv.reader(io.StringIO(clean)))
    assert [r[:len(e)] for r, e in zip(got, every)] == every and not report.skipped_lines
    report, clean, _ = run(case.text, skip_rows=case.preamble + 1, header=False)
    assert list(csv.reader(io.StringIO(clean)))[0] == case.table.rows[0]
    assert report.skipped_lines[0] == (1, case.preamble + 1, "preamble")
