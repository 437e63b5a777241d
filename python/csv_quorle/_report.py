"""The report of a rescue: counters, the dialect used, every repair, and warnings."""

from __future__ import annotations

import struct
from collections.abc import Iterator, Sequence
from dataclasses import dataclass, field
from typing import Any, NamedTuple, overload

from ._dialect import Decision

# Packed by the native module: first line, last line, count, kind, padding (24 bytes).
_RECORD = struct.Struct("=QQIB3x")
_KINDS = ("padded", "merged", "trimmed", "reread", "literal quotes", "stray quote")


class Repair(NamedTuple):
    """One changed record: the lines it stood on, what was done, and in words."""

    first_line: int
    last_line: int
    # 'padded', 'merged', 'trimmed', 'reread' (an unterminated quote read as text), 'literal
    # quotes' (a quoted field with text after its closing quote read as text) or 'stray quote'
    # (an opening quote read as text, so that the lines after it are not merged into the record)
    kind: str
    detail: str


class SkippedLines(NamedTuple):
    """Lines that are neither rows nor quarantined."""

    first_line: int
    last_line: int
    # 'preamble', 'header' (its records after the first, and repeats of it), 'footer', 'second
    # table', 'padding' (rows of nothing but delimiters ending the file) or 'comment'
    kind: str


class CellError(NamedTuple):
    """A cell that did not fit its column's type, read as null: where it stands and its text."""

    line: int  # the first line of its record
    column: str
    value: str
    expected: str  # the column's type: 'int64', 'float64', 'bool', 'date32', 'timestamp'...


def _plain(value: Any) -> Any:
    return list(value) if isinstance(value, tuple) else value


def _detail(kind: str, count: int) -> str:
    s = "" if count == 1 else "s"
    if kind == "padded":
        return f"{count} empty field{s} added"
    if kind == "merged":
        return f"{count} surplus field{s} merged into the last column"
    if kind == "trimmed":
        return f"{count} trailing empty field{s} dropped"
    if kind == "literal quotes":
        return "quotes kept as text" + (f" in {count} fields" if count > 1 else "")
    if kind == "stray quote":
        return f"opening quote read as text; read as a quote it merged {count} lines"
    return "unterminated quote read again as text" + (f" ({count} times)" if count > 1 else "")


class RepairList(Sequence[Repair]):
    """The repairs of a run, kept packed (24 bytes each) and unpacked on access."""

    __slots__ = ("_packed",)

    def __init__(self, packed: bytes = b"") -> None:
        if len(packed) % _RECORD.size:
            raise ValueError("packed repairs must be a multiple of 24 bytes")
        self._packed = bytes(packed)

    def __len__(self) -> int:
        return len(self._packed) // _RECORD.size

    @overload
    def __getitem__(self, index: int) -> Repair: ...
    @overload
    def __getitem__(self, index: slice) -> list[Repair]: ...
    def __getitem__(self, index: int | slice) -> Repair | list[Repair]:
        if isinstance(index, slice):
            return [self[i] for i in range(*index.indices(len(self)))]
        n = len(self)
        i = index.__index__()
        if i < 0:
            i += n
        if not 0 <= i < n:
            raise IndexError("repair index out of range")
        first, last, count, kind = _RECORD.unpack_from(self._packed, i * _RECORD.size)
        name = _KINDS[kind]
        return Repair(first, last, name, _detail(name, count))

    def __iter__(self) -> Iterator[Repair]:
        for i in range(len(self)):
            yield self[i]

    def __eq__(self, other: object) -> bool:
        if isinstance(other, RepairList):
            return self._packed == other._packed
        if isinstance(other, Sequence) and not isinstance(other, (str, bytes)):
            return list(self) == list(other)
        return NotImplemented

    def __hash__(self) -> int:
        return hash(self._packed)

    def __reduce__(self) -> tuple[type[RepairList], tuple[bytes]]:
        return (RepairList, (self._packed,))

    def __repr__(self) -> str:
        shown = ", ".join(repr(r) for r in self[:3])
        more = f", ... {len(self) - 3} more" if len(self) > 3 else ""
        return f"RepairList([{shown}{more}])"


@dataclass(frozen=True, slots=True)
class Report:
    """What a rescue did. Immutable, comparable and picklable."""

    total_rows: int  # data records: good plus quarantined (the header and blank lines apart)
    good_rows: int  # rows written, repaired ones included
    repaired_rows: int
    quarantined_rows: int
    blank_lines: int  # blank records skipped
    delimiter: str
    quote_char: str | None  # None: quote bytes were text
    encoding: str
    columns: int  # the column count applied; 0: none enforced
    header: tuple[str, ...] | None
    repairs: RepairList = field(default_factory=RepairList)
    replaced_bytes: int = 0  # bytes replaced by U+FFFD
    recoded_bytes: int = 0  # bytes of a mostly UTF-8 file read as Windows-1252
    warnings: tuple[str, ...] = ()
    # preamble, header lines, comments, footer, second table, in the order of the file
    skipped_lines: tuple[SkippedLines, ...] = ()
    escape_char: str | None = None
    # How sure the encoding is: 1.0 when given, marked or valid UTF-8; less for a guess.
    encoding_confidence: float = 1.0
    # For each of skipped_lines, its first line holding more than blanks and delimiters,
    # stripped and cut to 60 characters; '' when they hold nothing.
    skipped_text: tuple[str, ...] = ()
    # The choices made without being told that change the rows, each with its confidence and
    # evidence: a guessed 'encoding', one column ('delimiter'), an 'escape_char', a
    # 'repeated_header' of one name kept as rows. Report.warnings says each in a sentence.
    guesses: tuple[Decision, ...] = ()
    # With typed columns (read_batches' `types`), every non-empty cell read as null because it
    # did not fit its column's type, in the order of the rows.
    cell_errors: tuple[CellError, ...] = ()

    def to_dict(self) -> dict[str, Any]:
        """Plain values only (lists, dicts, str, int, None), ready for JSON."""
        return {
            "total_rows": self.total_rows,
            "good_rows": self.good_rows,
            "repaired_rows": self.repaired_rows,
            "quarantined_rows": self.quarantined_rows,
            "blank_lines": self.blank_lines,
            "delimiter": self.delimiter,
            "quote_char": self.quote_char,
            "encoding": self.encoding,
            "columns": self.columns,
            "header": None if self.header is None else list(self.header),
            "repairs": [r._asdict() for r in self.repairs],
            "replaced_bytes": self.replaced_bytes,
            "recoded_bytes": self.recoded_bytes,
            "warnings": list(self.warnings),
            "skipped_lines": [s._asdict() for s in self.skipped_lines],
            "escape_char": self.escape_char,
            "encoding_confidence": self.encoding_confidence,
            "skipped_text": list(self.skipped_text),
            "guesses": [{**g.to_dict(), "value": _plain(g.value)} for g in self.guesses],
            "cell_errors": [c._asdict() for c in self.cell_errors],
        }

    def _repr_html_(self) -> str:
        """The report in a notebook: counters, where along the file things happened, the dialect,
        warnings and the first repairs and skipped lines."""
        from ._html import report_html

        return report_html(self)

    def to_json(self, **kwargs: Any) -> str:
        """The dictionary as JSON; keyword arguments go to json.dumps."""
        import json  # only here: a rescue need not pay for importing it

        return json.dumps(self.to_dict(), **kwargs)
