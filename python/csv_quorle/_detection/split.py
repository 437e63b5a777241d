"""Splitting a decoded sample into physical lines and, with a candidate dialect, into records."""

from __future__ import annotations

import csv
import re
from functools import lru_cache
from typing import NamedTuple, cast

from .. import _native

# CR LF, LF and a lone CR each end one physical line.
_LINE = re.compile(r"[^\r\n]*(?:\r\n|\r|\n)|[^\r\n]+\Z")


class Candidate(NamedTuple):
    delimiter: str
    quote: str | None
    skip_initial_space: bool = False
    escape: str | None = None


class Record(NamedTuple):
    first: int  # 1-based index of its first and last physical line within the sample
    last: int
    fields: list[str]
    filled: int  # cells holding more than blanks
    # Nothing written: a blank line, or bare delimiters (a spreadsheet's empty row). Quoted
    # empty fields, or blanks between delimiters, are values someone wrote.
    bare: bool = False

    @property
    def blank(self) -> bool:
        """No cell holds anything: a blank line, blanks only, or a row of bare delimiters."""
        return not self.filled

    @property
    def width(self) -> int:
        return len(self.fields)


def record(first: int, last: int, fields: list[str]) -> Record:
    return Record(first, last, fields, sum(map(bool, map(str.strip, fields))))  # in C


def strays(text: str, cand: Candidate) -> int:
    """Quoted fields in `text` whose closing quote is followed by more text than blanks before
    the delimiter or the line's end: what a wrong delimiter, quote or escape leaves behind.

    The csv module reads such fields without complaint (it appends the rest to the field), so
    a dialect that splits a file's text inside its quoted fields would look clean without this
    count. A quote opens a field only at the field's start, as in the readers.
    """
    if cand.quote is None or cand.quote not in text:
        return 0
    return sum(map(bool, _stray_pattern(cand).findall(text)))


@lru_cache(maxsize=64)
def _stray_pattern(cand: Candidate) -> re.Pattern[str]:
    d, q = re.escape(cand.delimiter), re.escape(cast(str, cand.quote))
    body = f"[^{q}]++|{q}{q}"
    if cand.escape is not None:
        e = re.escape(cand.escape)
        body = f"[^{q}{e}]++|{q}{q}|{e}[\\s\\S]"
    # The opening quote stands at a line's start or after the delimiter (and blanks, when they
    # are skipped). Written quote first, so that the search jumps from quote to quote.
    if cand.skip_initial_space:
        opening = f"(?:^|(?<={d})) *{q}"
    else:
        opening = f"{q}(?<![^\\r\\n{d}]{q})"
    # Possessive: a doubled quote is never taken apart to find a closing quote early. Every
    # quoted field is matched, so that none of its quotes is taken for an opening one; a stray
    # one captures the character after its closing quote.
    return re.compile(f"{opening}(?:{body})*+{q}(?:(?=[ \\t]*(?:{d}|\\r|\\n|\\Z))|(.))",
                      re.M)


# What str.splitlines ends a line at besides CR and LF.
_OTHER_BREAKS = ("\x0b", "\x0c", "\x1c", "\x1d", "\x1e", "\x85", "\u2028", "\u2029")


def split_lines(text: str) -> list[str]:
    """Physical lines with their line breaks kept, so the csv module can rejoin quoted ones."""
    if not any(b in text for b in _OTHER_BREAKS):
        return text.splitlines(True)  # the same lines, split in C
    return _LINE.findall(text)


def parse(lines: list[str], cand: Candidate, limit: int | None = None,
          ending: bool = False) -> list[Record]:
    """Records of `lines` under `cand`; never raises, stops quietly where the csv module gives up.

    `ending`: the lines end the file. A quote that opens a field and is never closed is then
    read as text, and the lines after it as records of their own, as rescue() reads them:
    otherwise the quoted field would swallow every line to the end."""
    records = _parse(lines, cand, limit)
    read_as_text = 0  # the lines up to this one are read; a quote on them is text
    while ending and records and records[-1].first > read_as_text and \
            records[-1].last == len(lines) and (limit is None or len(records) < limit) and \
            _unclosed(lines, records[-1], cand):
        read_as_text = records.pop().first
        records += _parse(lines[read_as_text - 1 : read_as_text], cand._replace(quote=None),
                          None)[:1]
        records[-1] = records[-1]._replace(first=read_as_text, last=read_as_text)
        records += [_shifted(r, read_as_text) for r in _parse(lines[read_as_text:], cand, limit)]
    return records


def _shifted(r: Record, by: int) -> Record:
    return Record(r.first + by, r.last + by, r.fields, r.filled, r.bare)


def _unclosed(lines: list[str], r: Record, cand: Candidate) -> bool:
    """Whether the record's lines end inside a quoted field."""
    if cand.quote is None:
        return False
    try:
        for _ in csv.reader(lines[r.first - 1 : r.last], delimiter=cand.delimiter,
                            quotechar=cand.quote, escapechar=cand.escape, strict=True,
                            skipinitialspace=cand.skip_initial_space):
            pass
    except csv.Error as e:
        return "unexpected end of data" in str(e)
    return False


@lru_cache(maxsize=64)
def _check_dialect(cand: Candidate) -> None:
    """The csv module's own check of the dialect: the same errors for the same odd arguments
    (raised each time; only a dialect that passes is remembered)."""
    csv.reader((), delimiter=cand.delimiter, quotechar=cand.quote or '"',
               quoting=csv.QUOTE_NONE if cand.quote is None else csv.QUOTE_MINIMAL,
               escapechar=cand.escape, skipinitialspace=cand.skip_initial_space)


def _parse(lines: list[str], cand: Candidate, limit: int | None) -> list[Record]:
    """The records, read in one native pass by the csv module's rules (strict off), up to where
    that reader would give up."""
    _check_dialect(cand)
    if cand.delimiter == " " and cand.skip_initial_space:
        lines = [line.lstrip(" ") for line in lines]  # aligned columns: indent is no field
    read, _ = _native.sample_records(lines, delimiter=cand.delimiter, quote=cand.quote,
                                     escape=cand.escape,
                                     skip_initial_space=cand.skip_initial_space, limit=limit)
    new = tuple.__new__  # Record's own __new__ is a Python call
    return [new(Record, r) for r in read]


# Other dialects a single row may be written in: a row pasted from another export.
_OTHER_DIALECTS = tuple((d, q) for q in ('"', "'") for d in (",", ";", "\t", "|"))


def fits_other_dialect(raw: str, cand: Candidate, width: int) -> bool:
    """Whether another common delimiter or quote splits the row's text into exactly `width`
    fields, two of them filled: a data row written in another dialect."""
    if width < 2:
        return False
    for d, q in _OTHER_DIALECTS:
        if (d, q) == (cand.delimiter, cand.quote) or d not in raw:
            continue
        try:
            rows = list(csv.reader(raw.splitlines(True), delimiter=d, quotechar=q,
                                   strict=True))
        except csv.Error:
            continue
        if len(rows) == 1 and len(rows[0]) == width and sum(map(bool, map(str.strip, rows[0]))) >= 2:
            return True
    return False
