"""rescue() with no options on every layout case: the clean output is the case's table.

Each expected table comes from the case file and its manifest alone: the lines between the
preamble and the table's end, read with Python's csv module in the case's dialect; the names are
the header's first line's or, over several lines, their parts joined by a space; the header's
further lines, its repeats and blank lines are no rows.
"""

from __future__ import annotations

import csv
import io
import json
import random
import re
from pathlib import Path

import pytest

LAYOUTS = Path(__file__).parent / "layouts"
MANIFEST = json.loads((LAYOUTS / "expected.json").read_text(encoding="utf-8"))


def expected_table(name: str) -> list[list[str]]:
    facts = MANIFEST[name]
    text = (LAYOUTS / f"{name}.csv").read_bytes().decode(facts.get("encoding", "utf-8"))
    lines = re.findall(r"[^\r\n]*(?:\r\n|\r|\n)|[^\r\n]+$", text.removeprefix("\ufeff"))
    end = facts["table_end"] or len(lines)
    table = lines[facts["skip_rows"] : end]
    delimiter, quote = facts["delimiter"], facts["quote_char"]
    if facts["escape_char"]:  # the escape acts inside quoted fields only: an unquoted \N stays
        table = [re.sub(r"\\(?=N)", r"\\\\", line) for line in table]
    if delimiter == " " and facts["skip_initial_space"]:  # columns aligned with spaces
        rows = [line.split() for line in table]
    else:
        rows = list(csv.reader(
            io.StringIO("".join(table), newline=""), delimiter=delimiter, quotechar=quote or '"',
            quoting=csv.QUOTE_NONE if quote is None else csv.QUOTE_MINIMAL,
            escapechar=facts["escape_char"], skipinitialspace=facts["skip_initial_space"]))
    rows = [r for r in rows if any(f.strip() for f in r)]
    width = facts["columns"]  # a stray delimiter ending the header adds no column
    rows = [r[:width] if not any(r[width:]) else r for r in rows]
    rows = [r + [""] * (width - len(r)) for r in rows]  # short rows are padded
    rows = [r[:width - 1] + [delimiter.join(r[width - 1:])] for r in rows]  # long ones merged
    header = facts["header_lines"]
    if not header:
        return rows
    names = [" ".join(p.strip() for p in parts if p.strip()) for parts in zip(*rows[:header])]
    if sum(map(bool, rows[0])) > 1:  # a header of two names or more, come again, is no row
        rows = rows[:header] + [r for r in rows[header:] if r != rows[0]]
    return [names if header > 1 else rows[0]] + rows[header:]


def rescued_table(tmp_path: Path, name: str):
    import csv_quorle

    out = tmp_path / f"{name}.clean.csv"
    report = csv_quorle.rescue(LAYOUTS / f"{name}.csv", out)
    return report, list(csv.reader(io.StringIO(out.read_text(encoding="utf-8"))))


def test_line_ends_and_a_mark_change_nothing(tmp_path) -> None:
    """CR LF, a lone CR and a UTF-8 mark move every byte offset; the tables stay the same."""
    import csv_quorle

    changes = {"crlf": lambda b: b.replace(b"\r\n", b"\n").replace(b"\n", b"\r\n"),
               "cr": lambda b: b.replace(b"\r\n", b"\n").replace(b"\n", b"\r"),
               "bom": lambda b: b"\xef\xbb\xbf" + b}
    failures = []
    for name, facts in MANIFEST.items():
        if "encoding" in facts:
            continue
        for how, change in changes.items():
            source, out = tmp_path / f"{name}.{how}.csv", tmp_path / "out.csv"
            source.write_bytes(change((LAYOUTS / f"{name}.csv").read_bytes()))
            csv_quorle.rescue(source, out)
            got = list(csv.reader(io.StringIO(out.read_text(encoding="utf-8"))))
            if got != expected_table(name):
                failures.append(f"{name} ({how})")
    assert not failures


def test_every_case_reads_to_its_table_with_no_options(tmp_path) -> None:
    failures = []
    for name in MANIFEST:
        report, got = rescued_table(tmp_path, name)
        if got != expected_table(name) or report.quarantined_rows:
            failures.append(name)
    passed = len(MANIFEST) - len(failures)
    print(f"\nlayout cases rescued: {passed}/{len(MANIFEST)} ({passed / len(MANIFEST):.0%}); "
          f"failing: {', '.join(failures) or 'none'}")
    assert not failures


@pytest.mark.parametrize("name", ["erp_total_0", "instrument_0", "two_tables_0"])
def test_lines_around_the_table_are_listed(tmp_path, name) -> None:
    facts = MANIFEST[name]
    report, _ = rescued_table(tmp_path, name)
    lines = (LAYOUTS / f"{name}.csv").read_bytes().count(b"\n")
    kinds = {s.kind: (s.first_line, s.last_line) for s in report.skipped_lines}
    if facts["skip_rows"]:
        assert kinds.pop("preamble") == (1, facts["skip_rows"])
    if facts["header_lines"] > 1:
        first = facts["skip_rows"] + 2
        assert kinds.pop("header") == (first, first + facts["header_lines"] - 2)
    if facts["second_table_line"]:
        assert kinds.pop("second table") == (facts["second_table_line"], lines)
        assert any(f"line {facts['second_table_line']}" in w for w in report.warnings)
    if facts["table_end"] and facts["table_end"] + 1 < (facts["second_table_line"] or lines + 1):
        assert kinds.pop("footer")[0] == facts["table_end"] + 1
    assert not kinds


PREAMBLE = "Sales report\nExported 2024-05-01\n\nid;item;qty\n1;Bolt;3\n2;Nut;4\nTotal;;7\n"


@pytest.mark.parametrize("options, rows, skipped", [
    ({}, [["id", "item", "qty"], ["1", "Bolt", "3"], ["2", "Nut", "4"]],
     [(1, 3, "preamble"), (7, 7, "footer")]),
    ({"skip_rows": 0, "header": False, "delimiter": ";"},
     [["Sales report", "", ""], ["Exported 2024-05-01", "", ""], ["id", "item", "qty"],
      ["1", "Bolt", "3"], ["2", "Nut", "4"]], [(7, 7, "footer")]),
    ({"skip_rows": 4, "header": False},
     [["1", "Bolt", "3"], ["2", "Nut", "4"]], [(1, 4, "preamble"), (7, 7, "footer")]),
    # Another delimiter: the layout of its rows, one column, whose last line reads as a total.
    ({"delimiter": ","}, [["Sales report"], ["Exported 2024-05-01"], ["id;item;qty"],
                          ["1;Bolt;3"], ["2;Nut;4"]], [(7, 7, "footer")]),
], ids=["detected", "given_wins", "given_skip", "other_delimiter_its_layout"])
def test_what_the_caller_gives_wins(run, options, rows, skipped) -> None:
    report, clean, _ = run(PREAMBLE, **options)
    got = list(csv.reader(io.StringIO(clean)))
    assert got == rows
    assert [tuple(s) for s in report.skipped_lines] == skipped


def test_report_with_skipped_lines_pickles_and_serialises(run) -> None:
    import pickle

    report, _, _ = run(PREAMBLE)
    assert pickle.loads(pickle.dumps(report)) == report
    d = json.loads(report.to_json())
    assert d["skipped_lines"][0] == {"first_line": 1, "last_line": 3, "kind": "preamble"}


def test_second_table_in_the_tail_of_a_large_file(tmp_path, write) -> None:
    import csv_quorle

    lines = ["sku;item;count"] + [f"S{k};Bolt M{k % 20};{k % 97}" for k in range(20_000)]
    text = "\n".join(lines + ["", "region;total", "North;1", "South;2"]) + "\n"
    out = tmp_path / "clean.csv"
    report = csv_quorle.rescue(write(text), out)
    assert report.good_rows == 20_000 and report.quarantined_rows == 0
    assert [tuple(s) for s in report.skipped_lines] == [
        (20_002, 20_002, "footer"), (20_003, 20_005, "second table")]
    assert any("line 20003" in w for w in report.warnings)
    assert out.read_text().endswith("S19999,Bolt M19,17\n")


def test_no_quoting_reads_quotes_as_text(run) -> None:
    report, clean, _ = run('size,pipe\n1,12" pipe\n"2,3/4" "bend\n', quote_char=None)
    assert list(csv.reader(io.StringIO(clean))) == [
        ["size", "pipe"], ["1", '12" pipe'], ['"2', '3/4" "bend']]
    assert report.quote_char is None and report.quarantined_rows == 0


def test_padding_found_however_long_it_runs(monkeypatch) -> None:
    """The run of bare-delimiter lines ending a text, against a line-by-line reading, with
    chunks small enough that runs and CR LF cross their edges."""
    from conftest_detect import load

    lines = load("_call.lines")
    monkeypatch.setattr(lines, "CHUNK", 7)
    rng = random.Random(11)
    pieces = [b"1,2", b",,", b" , ", b"", b"\t", b"a"]
    for _ in range(500):
        text = b"".join(rng.choice(pieces) + rng.choice([b"\n", b"\r\n", b"\r"])
                        for _ in range(rng.randint(0, 12)))
        found = re.findall(rb"[^\r\n]*(?:\r\n|\r|\n)|[^\r\n]+$", text)
        start = len(text)
        while found and not found[-1].strip(b" \t\r\n,"):
            start -= len(found.pop())
        want = start if b"," in text[start:] else len(text)
        assert lines.empty_rows_at_end(text, ",") == want, text


def test_every_left_out_line_is_quoted_in_a_warning(run) -> None:
    body = "id,name\n" + "".join(f"{k},n{k}\n" for k in range(50))
    report, clean, _ = run("Customer list\n\n" + body + "Total,50\n" + ",,\n" * 30_000)
    assert [tuple(s) for s in report.skipped_lines] == [
        (1, 2, "preamble"), (54, 30_054, "footer")]  # the total, and the padding after it
    assert report.warnings == ("Lines 1-2 were taken for a preamble and left out: "
                               "'Customer list'.",
                               "Lines 54-30054 were taken for a footer and left out: "
                               "'Total,50'.")
    report, clean, _ = run(body + ",,\n" * 30_000)
    assert report.skipped_lines == ((52, 30_051, "padding"),) and clean == body
    assert "Lines 52-30051 were left out as padding" in report.warnings[0]
    report, clean, _ = run(body + ",,\n" * 2)  # short enough to be read whole
    assert report.warnings == ("Lines 52-53 were left out as padding: nothing but delimiters and "
                               "blanks.",)
