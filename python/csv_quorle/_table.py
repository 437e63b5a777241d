"""Where the table sits: what `detect` found, overruled by whatever the caller gave."""

from __future__ import annotations

from dataclasses import dataclass
from typing import Any

from . import _args, _lines
from ._dialect import Dialect
from ._report import SkippedLines

AUTO = "auto"


@dataclass(frozen=True)
class Table:
    """The settled dialect and the table's place in the file's lines."""

    delimiter: str | None  # None: the backend's sniffer decides
    quote_char: str | None  # None: quote bytes are text
    escape_char: str | None
    skip_initial_space: bool
    header: bool
    header_rows: int  # records forming the header; the names come from the first
    skip_rows: int
    table_end: int | None  # the table's last line; negative: counted from the end
    second_table_line: int | None
    columns: int | None  # the column count detect found, applied when the header was its call
    dialect: Dialect | None  # what detect found, when it was asked
    layout: bool = True  # False: no preamble, footer, padding or second table is looked for


@dataclass(frozen=True)
class Choices:
    """The caller's dialect and layout options, checked; AUTO where `detect` is to decide."""

    delimiter: str | None
    quote_char: Any
    escape_char: Any
    codec: str
    header: Any
    skip_rows: Any
    columns: int | None
    layout: bool = True


def choices(delimiter: Any, quote_char: Any, escape_char: Any, encoding: Any, header: Any,
            skip_rows: Any, expected_columns: Any,
            bytes_per_field: int = _args.PADDED_FIELD_BYTES, *, layout: Any = True) -> Choices:
    """Checks the options that rescue() and read_batches() share, naming the bad one;
    `bytes_per_field` is what the caller's output costs per column of a padded row."""
    delim = _args.char(delimiter, "delimiter", optional=True)
    quote = _args.auto(quote_char, "quote_char", lambda v, n: _args.char(v, n, optional=True))
    escape = _args.auto(escape_char, "escape_char", lambda v, n: _args.char(v, n, optional=True))
    _args.distinct(delim, None if quote == AUTO else quote, None if escape == AUTO else escape)
    codec = _args.encoding(encoding)
    with_header = _args.auto(header, "header", _args.flag)
    skip = _args.auto(skip_rows, "skip_rows", _args.line_count)
    columns = _args.columns_fit(_args.column_count(expected_columns, "expected_columns"),
                                "expected_columns", bytes_per_field)
    return Choices(delim, quote, escape, codec, with_header, skip, columns,
                   _args.flag(layout, "layout"))


def settle_choices(source: str | bytes, c: Choices) -> tuple[Table, int | None]:
    """The settled table and the column count to apply (given, or detected)."""
    table = settle(source, c.codec, c.delimiter, c.quote_char, c.escape_char, c.header,
                   c.skip_rows, c.layout)
    if c.delimiter is None and table.delimiter is not None and table.delimiter == table.quote_char:
        raise ValueError(
            f"the detected delimiter {table.delimiter!r} is the quote character; "
            "pass delimiter= or another quote_char="
        )
    _args.distinct(table.delimiter, table.quote_char, table.escape_char)
    return table, c.columns if c.columns is not None else table.columns


def settle(source: str | bytes, codec: str, delimiter: str | None, quote_char: Any,
           escape_char: Any, header: Any, skip_rows: Any, layout: bool = True) -> Table:
    """Asks `detect` only when something is left to it, with the caller's delimiter when given:
    its layout (preamble, header lines, table end) is then that of the caller's rows. With
    `layout` False none of it is taken: every line is a row, or the header."""
    wanted = (delimiter is None or AUTO in (quote_char, escape_char, header, skip_rows))
    found = _detect(source, codec, delimiter) if wanted else None
    trusted = found is not None and delimiter in (None, found.delimiter)
    if delimiter is None and found is not None:
        delimiter = found.delimiter
    if quote_char == AUTO:
        # Quoting is never turned off unasked: where detect reads quotes as text, the engine's
        # repairs (a stray quote kept as text, an unterminated one read again) still apply
        # and are reported.
        quote_char = found.quote_char if found is not None and found.quote_char else '"'
    if escape_char == AUTO:
        escape_char = found.escape_char if trusted and found.quote_char == quote_char else None
    if quote_char is None:
        escape_char = None  # it acts inside quoted fields only
    # Spaces after the delimiter: a trait of the file, taken when the delimiter is detect's.
    skip_space = trusted and found.skip_initial_space
    if skip_rows == AUTO:
        skip_rows = found.skip_rows if trusted and layout else 0
    # Detect's header is its table's: after another preamble the first line is the header.
    same_start = trusted and skip_rows == found.skip_rows
    header_rows = 1
    columns = None
    if header == AUTO:
        header = found.header_lines > 0 if same_start else True
        if same_start and found.header_lines:
            header_rows = found.header_lines if layout else 1
            # narrower than the header when a stray delimiter ends it
            columns = found.columns or None
    end = found.table_end if trusted and layout else None
    second = found.second_table_line if trusted and layout else None
    if end is not None and end > 0 and end <= skip_rows + header_rows:
        # No data row would be left: what detect took for a footer is the table's only row.
        end = second = None
    return Table(delimiter, quote_char, escape_char, skip_space, header, header_rows, skip_rows,
                 end, second, columns, found, layout)


def _detect(source: str | bytes, codec: str, delimiter: str | None) -> Dialect | None:
    from ._detect import detect_rows

    try:
        return detect_rows(source, None if codec == AUTO else codec, delimiter=delimiter)
    except OSError:
        raise
    except (ValueError, UnicodeError, LookupError):  # undecodable sample: the backend's ways
        return None


@dataclass(frozen=True)
class Span:
    """The table's bytes in the text and the line its first byte stands on."""

    begin: int
    end: int
    first_line: int
    after: str  # what the lines after the table are: 'footer' or 'padding'


def span(buf: Any, table: Table) -> Span:
    begin = _lines.skip_lines(buf, 0, table.skip_rows)
    end = len(buf)
    after = "footer"
    if table.table_end is None and table.delimiter is not None and table.layout:
        end = max(begin, _lines.empty_rows_at_end(buf, table.delimiter))
        after = "padding"
    elif table.table_end is not None and table.table_end > 0:
        end = max(begin, _lines.skip_lines(buf, begin, table.table_end - table.skip_rows))
    elif table.table_end is not None and table.table_end < -1:
        end = max(begin, _lines.line_start_from_end(buf, -table.table_end - 1))
    return Span(begin, end, table.skip_rows + 1, after)


def skipped(buf: Any, table: Table, where: Span, result: dict) -> tuple[SkippedLines, ...]:
    """The lines that are neither rows nor quarantined: preamble, further header lines, what
    follows the table."""
    out = []
    if where.begin > 0:
        out.append(SkippedLines(1, table.skip_rows, "preamble"))
    # Lines of the header's further records; the first record may span lines of its own (a
    # quoted line break in a name), and those are the header, not skipped.
    if table.header_rows > 1 and result["header_last_line"] > result["header_first_line"]:
        out.append(SkippedLines(result["header_first_line"] + 1, result["header_last_line"],
                                "header"))
    if where.end < len(buf):
        # The engine stopped on the line after the table when the table's last line break
        # was in its range.
        last = result["end_line"] - (1 if _lines.ends_with_break(buf, where.end) else 0)
        total = last + _lines.count_lines(buf, where.end)
        second = table.second_table_line
        if second is not None and second < 0:
            second = total + 1 + second
        if second is not None and last < second <= total:
            if second > last + 1:
                out.append(SkippedLines(last + 1, second - 1, "footer"))
            out.append(SkippedLines(second, total, "second table"))
        elif total > last:
            out.append(SkippedLines(last + 1, total, where.after))
    return tuple(out)


_QUOTED = 60  # characters of a skipped line quoted in its warning
_KIND_WORDS = {"preamble": "a preamble", "footer": "a footer", "header": "further header lines",
               "padding": "padding (nothing but delimiters)"}


def warnings(buf: Any, table: Table, where: Span, lines: tuple[SkippedLines, ...]) -> list[str]:
    """A sentence for each group of skipped lines, quoting the first of them that holds
    something, and for each guess of detect's that changes the rows: a repeated header kept as
    a row, a file read as one column, a backslash escape."""
    out = []
    after = min((s.first_line for s in lines if s.kind not in ("preamble", "header")), default=0)
    for s in lines:
        if s.kind in ("preamble", "header"):
            offset = _lines.skip_lines(buf, 0, s.first_line - 1)
        else:  # the lines after the table start where it ends
            offset = _lines.skip_lines(buf, where.end, s.first_line - after)
        text = _quote(buf, offset, s.last_line - s.first_line + 1)
        if text is None:
            continue  # blank lines: no data left out
        span_text = (f"Line {s.first_line} was" if s.first_line == s.last_line
                     else f"Lines {s.first_line}-{s.last_line} were")
        if s.kind == "second table":
            out.append(f"A second table starts on line {s.first_line}; its lines ({s.first_line}-"
                       f"{s.last_line}) are not part of the output: {text}.")
        elif s.kind == "padding":
            out.append(f"{span_text} left out as padding: nothing but delimiters and blanks.")
        else:
            out.append(f"{span_text} taken for {_KIND_WORDS[s.kind]} and left out: {text}"
                       + (_joined(table) if s.kind == "header" else "") + ".")
    out += _guesses(table)
    return out


def _guesses(table: Table) -> list[str]:
    found = table.dialect
    if found is None or found.delimiter != table.delimiter:
        return []
    out = []
    for d in found.decisions:
        if d.name == "repeated_header" and table.header and table.layout:
            shown = ", ".join(map(str, d.value[:10]))
            out.append(f"The header is repeated on line(s) {shown} (in the first part of the "
                       "file); those lines stay as rows.")
        elif d.name == "delimiter" and found.columns == 1 and d.confidence < 0.7:
            out.append("No delimiter splits the lines into agreeing fields outside quotes: the "
                       "file was read as one column.")
        elif d.name == "escape_char" and d.value and table.escape_char == d.value:
            out.append(f"A backslash escapes quotes inside quoted fields: {d.evidence[0]}.")
    return out


def _joined(table: Table) -> str:
    names = table.dialect.header if table.dialect is not None else None
    if not names:
        return ""
    shown = ", ".join(repr(n) for n in names[:4]) + (", …" if len(names) > 4 else "")
    return f"; joined with the first line the names read {shown} (the output keeps the first's)"


def _quote(buf: Any, offset: int, count: int) -> str | None:
    """The first of `count` lines from `offset` that holds more than blanks and delimiters,
    quoted and shortened; None when none does."""
    text = bytes(buf[offset : offset + 4096]).decode("utf-8", "replace")
    for line in text.splitlines()[:count]:
        if line.strip(" \t,;|"):
            line = line.strip()
            return repr(line if len(line) <= _QUOTED else line[:_QUOTED] + "…")
    return None if count <= len(text.splitlines()) else "''"
