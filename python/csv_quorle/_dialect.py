"""The dialect of a CSV file as `detect` found it, with the evidence for every decision."""

from __future__ import annotations

import dataclasses
from dataclasses import dataclass
from typing import Any


@dataclass(frozen=True)
class Decision:
    """One decision: its name, the value taken, a confidence from 0 to 1 and the evidence in
    plain sentences."""

    name: str
    value: Any
    confidence: float
    evidence: tuple[str, ...]

    def to_dict(self) -> dict[str, Any]:
        return {"name": self.name, "value": self.value, "confidence": self.confidence,
                "evidence": list(self.evidence)}


@dataclass(frozen=True)
class Dialect:
    """How a file is written and where its table sits.

    Line numbers are physical lines of the file (CR LF, LF or a lone CR ends one), counted from
    1. A negative line number counts from the end of the file, -1 being the last line: `detect`
    gives one when it saw the end of a file too large to sample whole; `resolve(total_lines)`
    turns them into plain numbers once the caller knows how many lines the file has.

    - `skip_rows`: lines before the table (titles, export dates, blank lines).
    - `header_lines`: how many rows, from the table's first one, form its header (0: none).
    - `columns`: fields per row (the header's count when there is a header).
    - `table_end`: the table's last line when lines that are not rows follow it (totals, notes,
      a second table); None when it runs to the end of the file, trailing blank lines aside.
    - `second_table_line`: where a second table starts, after a blank line and under names of
      its own, or None.
    - `skip_initial_space`: blanks after a delimiter are not part of the next field (the comma
      followed by a space). With the space as delimiter: a run of spaces is one delimiter and
      the blanks that indent a line are no field (columns aligned with spaces).
    """

    encoding: str = "utf-8"
    delimiter: str = ","
    quote_char: str | None = '"'
    escape_char: str | None = None
    skip_initial_space: bool = False
    skip_rows: int = 0
    header_lines: int = 0
    columns: int = 0
    table_end: int | None = None
    second_table_line: int | None = None
    decisions: tuple[Decision, ...] = ()
    # The header's names: its first line's, or over several lines their parts joined by a space
    header: tuple[str, ...] | None = None

    @property
    def has_header(self) -> bool:
        return self.header_lines > 0

    @property
    def data_line(self) -> int:
        """The line of the first data row, when every header row is one line long."""
        return self.skip_rows + self.header_lines + 1

    def decision(self, name: str) -> Decision:
        for d in self.decisions:
            if d.name == name:
                return d
        raise KeyError(name)

    def resolve(self, total_lines: int) -> Dialect:
        """The same dialect with lines counted from the end turned into plain line numbers."""

        def plain(line: int | None) -> int | None:
            return total_lines + 1 + line if line is not None and line < 0 else line

        return dataclasses.replace(self, table_end=plain(self.table_end),
                                   second_table_line=plain(self.second_table_line))

    def to_dict(self) -> dict[str, Any]:
        out = {f.name: getattr(self, f.name) for f in dataclasses.fields(self)}
        out["decisions"] = [d.to_dict() for d in self.decisions]
        return out

    def _repr_html_(self) -> str:
        """The dialect in a notebook, with each decision's confidence and evidence."""
        from ._html import dialect_html

        return dialect_html(self)

    def explain(self) -> str:
        """Each decision with its confidence and evidence, one sentence a line."""
        lines = []
        for d in self.decisions:
            lines.append(f"{d.name}: {d.value!r} (confidence {d.confidence:.2f})")
            lines.extend(f"  - {e}" for e in d.evidence)
        return "\n".join(lines)
