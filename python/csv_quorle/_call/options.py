"""The options rescue() and read_batches() share, and the steps both take with them before the
engine runs: check the options, then settle the dialect of the table's text."""

from __future__ import annotations

from dataclasses import dataclass
from typing import Any

from .. import _native
from . import args as _args, table as _table
from .lines import absent_byte


@dataclass(frozen=True, slots=True)
class SharedOptions:
    """The options both calls take, as the caller gave them (checked by `check`)."""

    delimiter: Any = None
    quote_char: Any = "auto"
    escape_char: Any = "auto"
    encoding: Any = "auto"
    header: Any = "auto"
    skip_rows: Any = "auto"
    expected_columns: Any = None
    skip_blank_lines: Any = True
    fill_ragged_rows: Any = True
    merge_overflow: Any = True
    repair_quotes: Any = True
    layout: Any = True
    comment: Any = None

    def check(self, bytes_per_field: int, **more_flags: Any) -> tuple[_table.Choices, dict[str, bool]]:
        """The dialect and layout choices, then the engine's flags (the caller's own
        `more_flags` last), each failure naming its parameter; `bytes_per_field` is what the
        caller's output costs per column of a padded row."""
        chosen = _table.choices(self.delimiter, self.quote_char, self.escape_char, self.encoding,
                                self.header, self.skip_rows, self.expected_columns,
                                bytes_per_field, layout=self.layout, comment=self.comment)
        given = {
            "skip_blank_lines": self.skip_blank_lines,
            "fill_ragged_rows": self.fill_ragged_rows,
            "merge_overflow": self.merge_overflow,
            "repair_quotes": self.repair_quotes,
            **more_flags,
        }
        return chosen, {name: _args.flag(value, name) for name, value in given.items()}


def text_dialect(whole: Any, where: _table.Span, table: _table.Table, sniffed: Any) -> tuple[str, int]:
    """(delimiter, quote byte) the engine reads the table's text with: the settled ones, else a
    byte the table lacks as the quote and the delimiter the engine sniffs from `sniffed`."""
    quote, escape = table.quote_char, table.escape_char
    # No quoting: a byte the table lacks serves as the quote, so no field ever opens one.
    quote_byte = ord(quote) if quote is not None else absent_byte(whole, where.begin, where.end)
    if quote_byte is None:
        raise ValueError("quote_char=None needs a control byte that the file lacks; "
                         "every one of them occurs in it")
    delim = table.delimiter
    if delim is None:
        delim = chr(_native.sniff(sniffed))
        _table.refuse_quote_as_delimiter(delim, quote)
        _args.distinct(delim, quote, escape)
    return delim, quote_byte
