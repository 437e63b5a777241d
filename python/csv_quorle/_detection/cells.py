"""What a single cell looks like: a number, a date, a missing value or free text.

Dialect scoring and header detection both lean on this. The patterns are strict on purpose: a
cell with a leading space or an unstripped quote is not a number, so a dialect that leaves such
cells behind scores lower than one that splits them cleanly.
"""

from __future__ import annotations

import re
from functools import lru_cache
from typing import Any

from .. import _native

_NUMBER = re.compile(
    r"[-+]?[$€£¥]?[-+]?"
    r"(?:\d{1,3}(?:[,.' ]\d{3})+(?:[.,]\d+)?|\d+(?:[.,]\d*)?|[.,]\d+)"
    r"(?:[eE][-+]?\d+)?\s?(?:%|[$€£¥]|EUR|USD)?"
)
_DATE = re.compile(
    r"(?:\d{4}[-/.]\d{1,2}[-/.]\d{1,2}|\d{1,2}[-/.]\d{1,2}[-/.]\d{2,4}|\d{8})"
    r"(?:[T ]\d{1,2}:\d{2}(?::\d{2}(?:[.,]\d+)?)?(?:Z|[-+]\d{2}:?\d{2})?)?"
)
_TIME = re.compile(r"\d{1,2}:\d{2}(?::\d{2}(?:[.,]\d+)?)?(?:\s?[AaPp][Mm])?")
_MISSING = frozenset({"na", "n/a", "nan", "null", "none", "nil", "-", "--", "?", "\\n", "#n/a"})
_FLAGS = frozenset({"true", "false", "yes", "no", "y", "n", "t", "f"})
_CONTACT = re.compile(r"[\w.+-]+@[\w-]+\.[\w.-]+|https?://\S+")

# Lines whose first filled cell opens like this close a table rather than add a row to it.
FOOTER_WORDS = re.compile(
    r"(?:grand\s+|sub\s*-?)?totals?\b|sum\b|summe\b|gesamt|totaal\b|totale\b|somme\b|suma\b|razem\b|"
    r"celkem|yhteens|итого|всего|合计|合計|page\s+\d+\s+of\b|"
    r"average\b|avg\b|count\b|end\s+of\b|\(?\d+\s+(?:rows?|records?|lines?)\b|"
    r"(?:rows?|records?)\s*(?:count|total|returned)?\s*[:=]",
    re.IGNORECASE,
)


@lru_cache(maxsize=1 << 14)
def is_numeric(cell: str) -> bool:
    """A number, date or time: what fills the columns a header row names."""
    return bool(_NUMBER.fullmatch(cell) or _DATE.fullmatch(cell) or _TIME.fullmatch(cell))


def is_missing(cell: str) -> bool:
    return not cell or len(cell) <= 4 and cell.lower() in _MISSING


# A raw cell's class as the column profiles count it: 0 blank or missing, 1 text, 2 a number.
_CLASSES: dict[str, int] = {}
_MAX_CLASSES = 1 << 15


def column_class_counts(rows: list[Any], columns: int, limit: int) -> list[int]:
    """Per column of the first `limit` records, how many cells are of each column_class:
    entry 3 * column + class."""
    return _native.column_counts(rows, columns=columns, limit=limit, classes=_CLASSES,
                                 classify=column_class, count=3)


def column_class(cell: str) -> int:
    """0: the cell, stripped, is blank or a missing marker; 2: a number; 1: anything else.
    Kept in a plain dict: the profiles ask once per cell of a hundred rows, many times over."""
    found = _CLASSES.get(cell)
    if found is None:
        c = cell.strip()
        found = 0 if not c or is_missing(c) else 2 if is_numeric(c) else 1
        if len(_CLASSES) >= _MAX_CLASSES:
            _CLASSES.clear()
        _CLASSES[cell] = found
    return found


@lru_cache(maxsize=1 << 14)
def cell_weight(cell: str) -> float:
    """How much a cell speaks for the dialect that produced it, from 0 to 1.

    Typed cells (numbers, dates, flags, missing markers) weigh 1; clean text 0.5; a cell that
    still carries surrounding blanks, or a quote character at either end left by a wrong
    dialect, weighs 0.
    """
    if cell == "":
        return 1.0
    if cell[0] in " \t" or cell[-1] in " \t":
        return 0.0
    if cell[0] in "\"'" or cell[-1] in "\"'":  # a quoted field, or a piece of one, left as text
        return 0.0
    if is_numeric(cell) or cell.lower() in _MISSING or cell.lower() in _FLAGS:
        return 1.0
    if _CONTACT.fullmatch(cell):
        return 1.0
    return 0.5


# cell_weight in halves (0, 1 or 2), kept in a plain dict for _native.dialect_counts: it asks
# once per cell of a hundred records, for every candidate dialect.
WEIGHT_HALVES: dict[str, int] = {}


def weight_halves(cell: str) -> int:
    found = WEIGHT_HALVES.get(cell)
    if found is None:
        found = int(2 * cell_weight(cell))
        if len(WEIGHT_HALVES) >= _MAX_CLASSES:
            WEIGHT_HALVES.clear()
        WEIGHT_HALVES[cell] = found
    return found


_EMAIL = re.compile(r"[\w.+-]+@[\w-]+\.[\w.-]+")
_URL = re.compile(r"(?:https?|ftp)://\S+|www\.\S+")
_CODE = re.compile(r"[A-Za-z]{1,6}[-_/.]?\d[\w./-]*")


@lru_cache(maxsize=1 << 14)
def kind(cell: str) -> str:
    """What a filled cell holds: 'flag' (true, no, 0, 1…), 'number' (dates and times too),
    'email', 'url', 'code' (letters then digits, as ids are written) or 'text'."""
    if cell.lower() in _FLAGS or cell in ("0", "1"):
        return "flag"
    if is_numeric(cell):
        return "number"
    if _EMAIL.fullmatch(cell):
        return "email"
    if _URL.fullmatch(cell):
        return "url"
    if _CODE.fullmatch(cell):
        return "code"
    return "text"


KINDS = ("flag", "number", "email", "url", "code", "text")
_KIND_CODES: dict[str, int] = {}


def kind_code(cell: str) -> int:
    """0 for a raw cell that is blank or missing, else 1 + the index of its kind in KINDS."""
    found = _KIND_CODES.get(cell)
    if found is None:
        found = 1 + KINDS.index(kind(cell.strip())) if column_class(cell) else 0
        if len(_KIND_CODES) >= _MAX_CLASSES:
            _KIND_CODES.clear()
        _KIND_CODES[cell] = found
    return found


def column_kind_counts(rows: list[Any], columns: int, limit: int) -> list[int]:
    """Per column of the first `limit` records, how many cells are of each kind_code: entry
    (len(KINDS) + 1) * column + code."""
    return _native.column_counts(rows, columns=columns, limit=limit, classes=_KIND_CODES,
                                 classify=kind_code, count=len(KINDS) + 1)


def is_footer_text(cell: str) -> bool:
    return bool(FOOTER_WORDS.match(cell.strip()))
