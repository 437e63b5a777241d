"""_native.dialect_counts and weak_block against the counts dialect scoring made in Python
before they moved: the same widths (in the order first seen), weights, split rows, weak
delimiter block and fields opening with a blank on random records; and the counts made
without a regular expression search against that search."""
from __future__ import annotations

import random
import re
from collections import Counter

from outcomes import run_property
from csv_quorle import _native
from csv_quorle._detection.cells import cell_weight
from csv_quorle._detection.dialects import counts
from csv_quorle._detection.split import Record

_CELLS = ["", "", " ", "#", "# note", "12", "1,5", "NA", "x", " y", '"q', "2024-01-02", "é",
          "\xa0", "\u3000", "\t z", " \u2028"]

Case = tuple[list[Record], int, int, bool]


def _width(r: Record) -> int:
    n = len(r.fields)
    while n > 1 and not r.fields[n - 1]:
        n -= 1
    return n


def _reference_counts(records: list[Record], typed: int, lines: int) -> tuple:
    rows = [r for r in records if r.filled] or [r for r in records if not r.bare]
    cells = [c for r in rows[:typed] for c in r.fields]
    read = sum(r.last <= lines and r.filled > 0 for r in records)
    split = [r for r in records if not r.bare and not r.fields[0].startswith("#")] or [
        r for r in records if not r.bare]
    multi = [i for i, r in enumerate(split) if any(r.fields[1:])]
    run = best = 1
    for a, b in zip(multi, multi[1:]):
        run = run + 1 if b == a + 1 else 1
        best = max(best, run)
    filled = [r for r in records if r.filled]
    return (dict(Counter(len(r.fields) for r in rows)), len(rows),
            int(2 * sum(map(cell_weight, cells))), len(cells), read, len(split),
            bool(split) and len({len(r.fields) for r in split}) == 1 and split[0].width >= 2,
            len(multi), multi[:1] == [0], best, len(filled),
            sum(len(r.fields) >= 2 for r in filled),
            dict(Counter(w for w in map(_width, filled) if w >= 2)))


def _reference_block(records: list[Record], width: int, wider: bool) -> tuple:
    blocks: list[list[int]] = [[]]
    for i, r in enumerate(records):
        if not r.filled:
            blocks.append([])
        elif blocks[-1] or not r.fields[0].startswith("#"):
            blocks[-1].append(i)
    block = max(blocks, key=lambda b: sum(_width(records[i]) == width for i in b))
    fit = [k for k, i in enumerate(block) if width in (_width(records[i]), len(records[i].fields))
           or wider and len(records[i].fields) > width]
    start = block[0] if block else None
    return start, (block[-1] + 1 if block else None), fit[0] if fit else -1, len(fit)


def _make(rng: random.Random) -> Case:
    records = []
    for k in range(rng.randint(0, 14)):
        fields = [rng.choice(_CELLS) for _ in range(rng.randint(1, 5))]
        filled = sum(map(bool, map(str.strip, fields)))
        records.append(Record(k + 1, k + 1 + rng.randint(0, 1), fields, filled,
                              not filled and rng.random() < 0.5))
    return records, rng.randint(0, 8), rng.randint(0, 16), rng.random() < 0.3


def _check(case: Case) -> None:
    records, typed, lines, wider = case
    got = _native.dialect_counts(records, typed=typed, lines=lines, weights={},
                                 weigh=lambda c: int(2 * cell_weight(c)))
    assert got == _reference_counts(records, typed, lines), f"{case!r}: counts {got}"
    after = [f for r in records for f in r.fields[1:] if f.strip()]
    want = len(after), sum(f[:1] == " " for f in after)
    assert _native.blank_openings(records) == want, f"{case!r}: blank openings"
    for width in range(1, 6):
        start, end, first, agree = _native.weak_block(records, width=width, wider=wider)
        want = _reference_block(records, width, wider)
        # An empty block may stand anywhere: only that it is empty is asked.
        assert (start, end) == want[:2] or want[0] is None and start == end, (case, width)
        assert (first, agree) == want[2:], f"{case!r}: width {width}"


def _shrink(case: Case, fails) -> Case:
    records, *rest = case
    for i in range(len(records)):
        smaller = (records[:i] + records[i + 1:], *rest)
        if fails(smaller):
            return _shrink(smaller, fails)  # type: ignore[arg-type]
    return case


def test_counts_as_counted_in_python() -> None:
    run_property("dialect counts", 2000, _make, _check, _shrink)


def test_counts_through_the_weights_kept() -> None:
    """A weight the caller's dict holds is taken as it stands; one out of range is refused."""
    record = Record(1, 1, ["a", "b"], 2)
    assert counts([record], 10).halves == 2  # 0.5 each
    assert _native.dialect_counts([record], typed=1, lines=1, weights={"a": 2, "b": 0},
                                  weigh=lambda c: 1)[2] == 2
    try:
        _native.dialect_counts([record], typed=1, lines=1, weights={}, weigh=lambda c: 3)
    except ValueError:
        return
    raise AssertionError("a weight of 3 halves taken")


def test_opening_quotes_as_the_forward_search_counts_them() -> None:
    """The count of quotes that open a field, searched in the reversed text, against the
    search forward from every line start and delimiter."""
    from csv_quorle._detect import _opening_quotes

    rng = random.Random("opening quotes")
    pieces = [",", ";", " ", "\t", "\n", "\r", "\r\n", '"', "'", "a", "|", "^", "\\", "\u2028"]
    for _ in range(5000):
        text = "".join(rng.choice(pieces) for _ in range(rng.randint(0, 14)))
        d, q = rng.choice([",", ";", " ", "\t", "|", "^", ":"]), rng.choice(['"', "'"])
        forward = len(re.findall(f"(?:^|{re.escape(d)})[ \t]*{re.escape(q)}", text, re.M))
        assert _opening_quotes(text, d, q) == forward, (text, d, q)


def test_characters_of_no_text_as_the_search_counts_them() -> None:
    from csv_quorle._detection.dialects import _no_text

    rng = random.Random("no text")
    pieces = ["a", "\x00", "\x08", "\t", "\n", "\x0b", "\r", "\x1f", " ", "\x7f", "é", "\ufffd",
              "\ud800", "😀", "\u2028"]
    for _ in range(3000):
        text = "".join(rng.choice(pieces) for _ in range(rng.randint(0, 12)))
        want = len(re.findall("[\x00-\x08\x0b\x0c\x0e-\x1f\ufffd]", text))
        assert _no_text(text) == want, repr(text)


def test_quoted_field_searches_as_written_before() -> None:
    """The searches for quoted fields, rewritten to run faster (a run of plain characters taken
    at once, the quote written first), against the way they were written before."""
    from csv_quorle._detection import dialects, split

    rng = random.Random("quoted fields")
    pieces = [",", ";", " ", "\t", "\n", "\r", '"', '""', "'", "''", "a", "\\", "|"]
    apostrophe = re.compile(r"(?:^|[,;\t|:^~ ])'(?:[^'\r\n]|'')*+'(?=[,;\t|:^~ ]|\r|\n|$)", re.M)
    for _ in range(3000):
        text = "".join(rng.choice(pieces) for _ in range(rng.randint(0, 16)))
        d, q = rng.choice([",", ";", " ", "|"]), rng.choice(['"', "'"])
        e, eq = re.escape(d), re.escape(q)
        assert dialects._outside(text, q) == re.sub(f"{eq}(?:[^{eq}]|{eq}{eq})*+{eq}", "", text)
        assert dialects._outside_fields(text, split.Candidate(d, q)) == re.sub(
            f"{eq}(?<![^\\n{e}]{eq})(?:[^{eq}]|{eq}{eq})*+{eq}(?={e}|\\r|\\n|$)", "", text,
            flags=re.M), (text, d, q)
        found = dialects._APOSTROPHE_FIELD.search(text) is not None
        assert found == (apostrophe.search(text) is not None), repr(text)
        for skip, escape in ((False, None), (True, None), (False, "\\")):
            cand = split.Candidate(d, q, skip, escape)
            body = f"[^{eq}]|{eq}{eq}" if escape is None else f"[^{eq}\\\\]|{eq}{eq}|\\\\[\\s\\S]"
            opening = f"(?:^|(?<={e})) *{eq}" if skip else f"{eq}(?<![^\\r\\n{e}]{eq})"
            before = re.compile(f"{opening}(?:{body})*+{eq}(?:(?=[ \\t]*(?:{e}|\\r|\\n|\\Z))|(.))",
                                re.M)
            assert split.strays(text, cand) == sum(map(bool, before.findall(text))), (text, cand)


def test_records_of_another_shape_are_refused() -> None:
    good = {"typed": 1, "lines": 1, "weights": {}, "weigh": lambda c: 1}
    calls = [lambda r: _native.dialect_counts(r, **good),  # type: ignore[arg-type]
             lambda r: _native.weak_block(r, width=2, wider=False),
             lambda r: _native.blank_openings(r)]
    for bad in ((Record(1, 1, ["a"], 1),), [(1, 1, ["a"], 1)], [(1, 1, "a,b", 1, False)],
                [(1, 1, ["a", 2], 1, False)], [(1, "1", ["a"], 1, False)]):
        for call in calls:
            try:
                call(bad)
            except TypeError:
                continue
            raise AssertionError(f"{bad!r} accepted")
