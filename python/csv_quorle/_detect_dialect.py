"""Choosing delimiter, quote and escape character from a sample of lines.

Every candidate dialect splits the sample; its score is the consistency of the record widths
(wide, agreeing records score high) times the share of cells that look typed and clean. A wrong
delimiter gives ragged widths; a wrong quote merges records or leaves quotes in cells; a missing
skip of initial spaces leaves blanks in front of cells. Ties go to the earlier candidate below.
"""

from __future__ import annotations

import re
from collections import Counter
from typing import NamedTuple

from ._detect_cells import cell_weight
from ._detect_split import Candidate, Record, parse

# Order matters only for ties: the common delimiters first, the space last.
DELIMITERS: tuple[tuple[str, bool], ...] = (
    (",", False),
    (";", False),
    ("\t", False),
    ("|", False),
    (",", True),
    (":", False),
    ("^", False),
    ("~", False),
    (" ", False),
    (" ", True),
)
QUOTES: tuple[str | None, ...] = ('"', "'", None)
_SAMPLE_RECORDS = 300
_TYPED_RECORDS = 120

NAMES = {",": "comma", ";": "semicolon", "\t": "tab", "|": "vertical bar", " ": "space",
         ":": "colon", "^": "caret", "~": "tilde"}


def describe(cand: Candidate) -> str:
    name = NAMES.get(cand.delimiter, repr(cand.delimiter))
    if cand.skip_initial_space:
        return "comma followed by a space" if cand.delimiter == "," else f"runs of {name}s"
    return name


class Scored(NamedTuple):
    score: float
    cand: Candidate
    width: int  # most common record width
    agreeing: int  # records of that width
    counted: int  # records that hold something


def score(records: list[Record]) -> tuple[float, int, int, int]:
    """(score, modal width, records of that width, records counted) of one candidate's split."""
    rows = [r for r in records if not r.blank]
    if not rows:
        return 0.0, 0, 0, 0
    widths = Counter(r.width for r in rows)
    width, agreeing = max(widths.items(), key=lambda kv: kv[1])  # first seen wins a tie
    pattern = sum(n * (w - 1) / w for w, n in widths.items()) / len(widths)
    cells = [c for r in rows[:_TYPED_RECORDS] for c in r.fields]
    typed = sum(map(cell_weight, cells)) / len(cells)
    return pattern * typed, width, agreeing, len(rows)


def candidates(text: str) -> list[Candidate]:
    # The apostrophe is tried only where it opens a field. The double quote is always tried:
    # where it never occurs it reads as no quote at all, and wins the tie as the usual one.
    quotes = [q for q in QUOTES if q != "'" or re.search(r"(?:^|[,;\t|:^~ ])'", text, re.M)]
    if '"' not in text:
        quotes.remove(None)  # would read exactly as the double quote
    found: list[Candidate] = []
    for delimiter, skip in DELIMITERS:
        if delimiter not in text:
            continue
        # Skipping blanks is a dialect only where most delimiters are followed by one.
        if skip and _blank_after(text, delimiter) < 0.5:
            continue
        found.extend(Candidate(delimiter, q, skip) for q in quotes)
    return found


def _blank_after(text: str, delimiter: str) -> float:
    """Share of delimiters followed by a blank; for the space, of runs longer than one."""
    if delimiter == " ":
        runs = re.findall(r" +", text)
        return sum(len(r) > 1 for r in runs) / len(runs)
    return text.count(delimiter + " ") / text.count(delimiter)


def _typed_share(records: list[Record]) -> float:
    cells = [c for r in records[:_TYPED_RECORDS] if not r.blank for c in r.fields if c]
    return sum(cell_weight(c) == 1.0 for c in cells) / len(cells) if cells else 0.0


def rank(lines: list[str], text: str) -> list[Scored]:
    """Every candidate with its score, best first; ties keep the order of DELIMITERS x QUOTES."""
    scored = []
    for cand in candidates(text):
        records = parse(lines, cand, _SAMPLE_RECORDS)
        s, width, agreeing, counted = score(records)
        # Words split at spaces agree too often: a space-separated table must hold numbers.
        if cand.delimiter == " " and _typed_share(records) < 0.2:
            s = 0.0
        scored.append(Scored(s, cand, width, agreeing, counted))
    scored.sort(key=lambda s: -s.score)  # stable: ties keep candidate order
    return scored


def escape_for(lines: list[str], text: str, best: Scored) -> tuple[str | None, int]:
    """Backslash when quotes inside quoted fields are written \\" and reading them so costs
    nothing; with the number of such escapes seen."""
    quote = best.cand.quote
    if quote is None:
        return None, 0
    seen = len(re.findall(r"(?<!\\)\\" + re.escape(quote) + r"(?![" + re.escape(
        best.cand.delimiter) + r"\r\n])", text))
    if not seen:
        return None, 0
    escaped = best.cand._replace(escape="\\")
    if score(parse(lines, escaped, _SAMPLE_RECORDS))[0] >= best.score:
        return "\\", seen
    return None, seen
