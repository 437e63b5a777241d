"""Choosing delimiter, quote and escape character from a sample of lines.

Every candidate dialect splits the sample; its score is the consistency of the record widths
(wide, agreeing records score high) times the share of cells that look typed and clean, times
the share of records without stray quotes. A wrong delimiter gives ragged widths; a wrong quote
merges records or leaves quotes in cells; a wrong delimiter or quote inside quoted fields leaves
text after closing quotes; a missing skip of initial spaces leaves blanks in front of cells.
Ties go to the earlier candidate below.

A candidate must split the lines for real to be taken: most lines, or one block of them, into
two fields or more. Where none does, the file is one column. The weak delimiters (colon, caret,
tilde, space), which ordinary text holds too, need more: two lines or more, the table's first
line splits into the width of its rows, and nearly every row does; so does a comma that stands
between digits, as in numbers. A colon inside times and URLs and a space inside date-times are
no delimiters; a table of spaces holds numbers; and no weak delimiter is taken where a common
one reads every record into the same width.
"""

from __future__ import annotations

import re
from typing import NamedTuple, cast

from .. import _native
from .cells import WEIGHT_HALVES, is_numeric, weight_halves
from .split import Candidate, Record, parse, strays

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
WEAK = frozenset(":^~ ")
_SAMPLE_RECORDS = 300
_TYPED_RECORDS = 120
_WEAK_AGREEMENT = 0.8
_STAT_CHARS = 256 * 1024
# What no text holds: controls other than tab and line breaks, and U+FFFD, counted as bytes.
_CONTROLS = bytes(c for c in range(0x20) if c not in b"\t\n\r")
_REPLACEMENT = "\ufffd".encode()

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
    width: int  # most common record width of two fields or more
    agreeing: int  # records of that width
    counted: int  # records that hold something
    strays: int = 0  # quoted fields with text after their closing quote
    plain_strays: int = 0  # the same without the escape, when cand has one


class Counts(NamedTuple):
    """What _native.dialect_counts counts over one candidate's records (see its doc)."""
    widths: dict[int, int]  # of the rows scored, first seen first
    counted: int  # rows scored: the filled records, else those not bare
    halves: int  # the weights of the first _TYPED_RECORDS rows' cells, in halves
    cells: int
    read: int  # filled records on the lines the text holds
    split_rows: int  # records not bare, comment lines aside
    split_same: bool  # all of one width, two fields or more
    multi: int  # of those, records with a filled field past the first
    multi_first: bool  # the first is one
    multi_run: int  # the longest run of them
    filled_rows: int
    filled_multi: int  # filled records of two fields or more
    trimmed: dict[int, int]  # widths of filled records, trailing empty fields aside, >= 2


def counts(records: list[Record], lines: int) -> Counts:
    return Counts(*_native.dialect_counts(records, typed=_TYPED_RECORDS, lines=lines,
                                          weights=WEIGHT_HALVES, weigh=weight_halves))


def score(c: Counts) -> tuple[float, int, int, int]:
    """(score, modal width, records of that width, records counted) of one candidate's split;
    the modal width is that of the records split in two or more, where there are such."""
    # Rows of blank values count where nothing else is written: they show the delimiters.
    if not c.counted:
        return 0.0, 0, 0, 0
    widths = c.widths
    split = {w: n for w, n in widths.items() if w >= 2} or widths
    width, agreeing = max(split.items(), key=lambda kv: kv[1])  # first seen wins a tie
    pattern = sum(n * (w - 1) / w for w, n in widths.items()) / len(widths)
    # Quoted fields that hold quotes at their ends weigh nothing, yet their split is real.
    typed = max(0.05, c.halves / 2 / c.cells)
    return pattern * typed, width, agreeing, c.counted


def splits(c: Counts) -> bool:
    """Whether the split is real: every record holds the same two fields or more, or most
    records do, or those that do stand together in one block (a table under a few lines of
    text). Comment lines (#) do not count; rows of blank values do (a value of one column may
    be empty). Where the records disagree, a split that leaves only an empty field behind (a
    trailing delimiter, `1,50,` in a column of amounts) is none."""
    if c.split_same:
        return True
    # Half of them will do when the first line splits: a header over short rows.
    if 2 * c.multi > c.split_rows or 2 * c.multi == c.split_rows and c.multi_first:
        return True
    if c.multi < 2:
        return False
    return c.multi_run >= 0.8 * c.multi


def weak_fits(records: list[Record], c: Counts, wider: bool = False) -> bool:
    """A weak delimiter's evidence: it splits most records; in the block holding most rows of
    the table's width (blocks end at blank lines), the first line past comment lines splits
    into that width, or lines of text stand above names of that width; and nearly every line
    from there on splits so."""
    if 2 * c.filled_multi < c.filled_rows:
        return False
    # Trailing delimiters aside: a header need not end with them as the rows do.
    if not c.trimmed:
        return False  # splits at trailing blanks only: text, not a table
    width = max(c.trimmed.items(), key=lambda kv: kv[1])[0]  # first seen wins a tie
    start, end, first, agree = _native.weak_block(records, width=width, wider=wider)
    if first < 0:
        return False
    # Titles may stand above the table's first line when that line names its columns.
    at = start + first
    if first and not _names(records[at], records[at + 1:min(end, at + 51)]):
        return False
    return agree >= (_WEAK_AGREEMENT if not wider else 0.5) * (end - at)


def _named(records: list[Record], width: int) -> bool:
    """Whether the first line of the width names the columns."""
    first = next((k for k, r in enumerate(records) if len(r.fields) == width), None)
    return first is not None and _names(records[first], records[first + 1:first + 51])


def _names(r: Record, below: list[Record]) -> bool:
    """Distinct text cells, none of them repeated in its column below: a header's names."""
    cells = [c.strip() for c in r.fields]
    if not all(cells) or len(set(cells)) < len(cells) or any(map(is_numeric, cells)):
        return False
    return not any(j < len(b.fields) and b.fields[j].strip() == c for b in below
                   for j, c in enumerate(cells))


# Times and date-times hold colons and a space of their own (written delimiter first: the
# search jumps from one to the next).
_TIME_COLONS = re.compile(r":(?<=\b\d:)(?=\d\d\b)|:(?<=\b\d\d:)(?=\d\d\b)")
_DATE_TIME_SPACES = re.compile(r" (?<=\d )(?=\d{1,2}:\d\d)")


def cuts_values(text: str, delimiter: str) -> bool:
    """Whether most of the colons sit inside times and URLs, or most spaces inside
    date-times."""
    if delimiter == ":":
        inside = len(_TIME_COLONS.findall(text)) + text.count("://")
    elif delimiter == " ":
        inside = len(_DATE_TIME_SPACES.findall(text))
    else:
        return False
    return 2 * inside >= text.count(delimiter)


def _outside(text: str, quote: str | None) -> str:
    """The text without its quoted fields: what a delimiter splits."""
    if quote is None or quote not in text:
        return text
    q = re.escape(quote)
    return re.sub(f"{q}(?:[^{q}]++|{q}{q})*+{q}", "", text)


def _no_text(text: str) -> int:
    """How many characters are controls (but tab and line breaks) or U+FFFD. In UTF-8 a control
    is its own byte and U+FFFD its own three, which bytes count faster than a search (Latin-1,
    a copy, where the text holds no more)."""
    try:
        data = text.encode("latin-1")
        return len(data) - len(data.translate(None, _CONTROLS))
    except UnicodeEncodeError:
        pass
    data = text.encode("utf-8", "surrogatepass")
    return len(data) - len(data.translate(None, _CONTROLS)) + data.count(_REPLACEMENT)


def between_digits(text: str, delimiter: str) -> bool:
    """Whether most commas stand between digits, as in numbers written 1,234.50 or 12,5."""
    return delimiter == "," and 2 * len(_DIGIT_COMMA.findall(text)) >= text.count(",")


def thousands(text: str) -> bool:
    """Whether every comma is followed by three digits and no more: thousands separators."""
    return len(_THOUSANDS.findall(text)) == text.count(",")


# Quote first, so that the search jumps from quote to quote: one at a line's start (after LF) or
# after a delimiter.
_APOSTROPHE_FIELD = re.compile(
    r"'(?<![^\n,;\t|:^~ ]')(?:[^'\r\n]++|'')*+'(?=[,;\t|:^~ ]|\r|\n|$)", re.M)
_SPACES = re.compile("  +")
_DIGIT_COMMA = re.compile(r",(?<=\d,)(?=\d)")
_THOUSANDS = re.compile(r",(?<=\d,)\d{3}(?!\d)")


def _numbers_share(records: list[Record]) -> float:
    """The share of numbers among the cells of the records split in two or more."""
    cells = [c for r in records[:_TYPED_RECORDS] if len(r.fields) >= 2 for c in r.fields if c]
    return sum(map(is_numeric, cells)) / len(cells) if cells else 0.0


def _blank_after(records: list[Record], text: str, delimiter: str) -> float:
    """Share of the values after a delimiter that open with a blank, read with the quotes
    (three at least: a field of blanks, or a value or two indented, is no dialect); for the
    space, of runs longer than one."""
    if delimiter == " ":
        if "  " not in text:
            return 0.0  # every run is one space (and there is one: the delimiter is in text)
        longer = _SPACES.findall(text)
        # Every run of spaces: the spaces, less those after the first of each longer run.
        runs = text.count(" ") - (sum(map(len, longer)) - len(longer))
        return len(longer) / runs
    after, opened = _native.blank_openings(records)
    return opened / after if opened >= 3 else 0.0


class _Sample:
    """The lines, and the text of those that the scored records stand on."""

    def __init__(self, lines: list[str], text: str) -> None:
        self.lines, self.text = lines, text
        self._texts: dict[int, tuple[str, int]] = {}
        self._records: dict[Candidate, list[Record]] = {}
        self._outside: dict[tuple[str, str | None], str] = {}

    def records(self, cand: Candidate) -> list[Record]:
        """The candidate's records, read once: a delimiter with and without its blanks skipped
        asks for the same plain records twice. Nobody changes them."""
        if cand not in self._records:
            self._records[cand] = parse(self.lines, cand, _SAMPLE_RECORDS)
        return self._records[cand]

    def outside(self, text: str, quote: str | None) -> str:
        """_outside(text, quote), worked out once: every candidate with the quote asks."""
        key = (text, quote)  # text is one of text_of's, its hash kept
        if key not in self._outside:
            self._outside[key] = _outside(text, quote)
        return self._outside[key]

    def text_of(self, records: list[Record]) -> tuple[str, int]:
        """The text of the lines the records stand on and how many lines that is, cut after
        _STAT_CHARS characters (the regular expressions need no more)."""
        last = records[-1].last if records else 0
        if last not in self._texts:
            size, count = 0, last
            for k, line in enumerate(self.lines[:last]):
                size += len(line)
                if size > _STAT_CHARS:
                    count = k + 1
                    break
            self._texts[last] = ("".join(self.lines[:count]), count)
        return self._texts[last]


def evaluate(sample: _Sample, cand: Candidate, records: list[Record] | None = None) -> Scored:
    if records is None:
        records = sample.records(cand)
    text, lines = sample.text_of(records)
    c = counts(records, lines)
    s, width, agreeing, counted = score(c)
    stray = strays(text, cand)
    read = c.read or counted
    if counted:
        s *= (1 - min(1.0, stray / read)) ** 2
    if s <= 0:
        pass  # nothing left to weigh
    elif not splits(c):
        s = 0.0
    elif cand.delimiter in WEAK and (counted < 2 or not weak_fits(records, c)
                                     or cuts_values(text, cand.delimiter)):
        s = 0.0  # one line of text split at its blanks or colons is no table
    elif between_digits(sample.outside(text, cand.quote), cand.delimiter):
        # Weak evidence too, and weighed so against a delimiter that cuts no number.
        if not weak_fits(records, c, wider=True) or thousands(sample.outside(text, cand.quote)):
            s = 0.0
        elif not _named(records, width):
            s /= 2
    # Words split at spaces agree too often: a space-separated table must hold numbers.
    elif cand.delimiter == " " and _numbers_share(records) < 0.2:
        s = 0.0
    return Scored(s, cand, width, agreeing, counted, stray)


def _with_escape(sample: _Sample, plain: Scored) -> Scored:
    """The candidate read with a backslash escape, when that is what makes it clean: its quoted
    fields leave text behind without the escape and fewer with it, at no cost in score."""
    q = plain.cand.quote
    if q is None or not plain.strays or "\\" + q not in sample.text:
        return plain
    escaped = evaluate(sample, plain.cand._replace(escape="\\"))
    if escaped.strays < plain.strays and escaped.score >= plain.score:
        return escaped._replace(plain_strays=plain.strays)
    return plain


def rank(lines: list[str], text: str, given: str | None = None) -> list[Scored]:
    """Every candidate with its score, best first; ties keep the order of DELIMITERS x QUOTES.
    A score of 0: the candidate does not split the lines for real. `given`: the delimiter is
    known; its quotes and blanks are what is left to rank."""
    sample = _Sample(lines, text)
    # Bytes that are no text (a compressed file, say): the common delimiters, plainly read.
    plain = _no_text(text) > 0.02 * len(text)
    # The apostrophe is tried only where it quotes a field (outside double-quoted ones): it
    # opens one and closes it on the same line.
    apostrophe = "'" in text and _APOSTROPHE_FIELD.search(_outside(text, '"')) is not None
    candidates = DELIMITERS[:4] if plain else DELIMITERS
    if given is not None:
        candidates = ((given, False),) + (((given, True),) if given in ", " else ())
    scored: list[Scored] = []
    for delimiter, skip in candidates:
        if delimiter not in text or delimiter == '"':
            continue
        base = Candidate(delimiter, '"')
        if plain:
            scored.append(evaluate(sample, base))
            continue
        records = sample.records(base)
        # Skipping blanks is a dialect only where most delimiters are followed by one.
        if skip and _blank_after(records, text, delimiter) < 0.5:
            continue
        cand = base._replace(skip_initial_space=skip)
        double = _with_escape(sample, evaluate(sample, cand, None if skip else records))
        scored.append(double)
        if apostrophe:
            scored.append(_with_escape(sample, evaluate(sample, cand._replace(quote="'"))))
        # Quotes read as text only where reading them as quotes fails as often as it works:
        # strays for at least half of the fields that open with a quote.
        failed = double.plain_strays or double.strays
        if failed:
            # Quote first, so that the search jumps from quote to quote: one at a line's start
            # (after LF, as ^ has it) or after the delimiter.
            opened = len(re.findall(f'"(?<![^\\n{re.escape(delimiter)}]")', text))
            if 2 * failed >= opened:
                scored.append(evaluate(sample, cand._replace(quote=None)))
    scored = _inside_fields(scored, text[:_STAT_CHARS])
    scored.sort(key=lambda s: -s.score)  # stable: ties keep candidate order
    return scored


def _inside_fields(scored: list[Scored], text: str) -> list[Scored]:
    """The candidates, without those that split only text inside the fields of another that
    reads every record into the same width with no stray quotes: a weak delimiter, anywhere in
    its fields (`a,"x y",1` is no table of spaces); any other, where it stands only inside its
    quoted fields and not the other way round (`1,"a\tb"` is no table of tabs)."""
    clean = [s for s in scored if s.score > 0 and s.cand.delimiter not in WEAK and s.width >= 2
             and not s.strays and s.agreeing == s.counted]
    if not clean or sum(s.score > 0 for s in scored) < 2:
        return scored
    outside: dict[Candidate, str] = {}

    def outside_of(c: Candidate) -> str:
        if c not in outside:
            outside[c] = text if c.quote is None else _outside_fields(text, c)
        return outside[c]

    def hidden(s: Scored) -> bool:
        d = s.cand.delimiter
        others = [c for c in clean if c.cand.delimiter != d]
        if d in WEAK:
            return bool(others)
        return any(d not in outside_of(c.cand) and c.cand.delimiter in outside_of(s.cand)
                   for c in others)

    return [s._replace(score=0.0) if s.score > 0 and hidden(s) else s for s in scored]


def _outside_fields(text: str, cand: Candidate) -> str:
    """The text without the fields `cand` reads as quoted: opened at a field's start, closed
    at its end."""
    d, q = re.escape(cand.delimiter), re.escape(cast(str, cand.quote))
    # Written quote first, so that the search jumps from quote to quote; the quote stands at a
    # line's start (after LF, as ^ has it) or after the delimiter.
    return re.sub(f"{q}(?<![^\\n{d}]{q})(?:[^{q}]++|{q}{q})*+{q}(?={d}|\\r|\\n|$)", "", text,
                  flags=re.M)


def one_column(lines: list[str], text: str) -> Candidate:
    """The dialect of a file of one column: the first delimiter that splits no record, read
    with the double quote, or the comma when each of them splits some."""
    for delimiter, skip in DELIMITERS:
        if skip:
            continue
        cand = Candidate(delimiter, '"')
        if delimiter not in text or all(len(r.fields) <= 1 for r in parse(lines, cand,
                                                                    _SAMPLE_RECORDS)):
            return cand
    return Candidate(",", '"')
