"""Where the table sits: what `detect` found, overruled by whatever the caller gave."""

from __future__ import annotations

import struct
from dataclasses import dataclass
from typing import Any, NamedTuple

from . import args as _args, lines as _lines
from .._detection.layout import SURE_HEADER
from .._dialect import Decision, Dialect
from .._report import SkippedLines

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
    comment: str | None = None  # lines starting with it are skipped
    given: frozenset[str] = frozenset()  # the options the caller gave: no guesses of detect's
    # The names detect joined over the header's lines, when it decided them; None: the first
    # line's names
    header_names: tuple[str, ...] | None = None
    width: int = 0  # the fields per row detect found for this table; 0: unknown
    # The header found by the columns of numbers below it: its repeats are left out.
    sure_header: bool = False


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
    comment: str | None = None


def choices(delimiter: Any, quote_char: Any, escape_char: Any, encoding: Any, header: Any,
            skip_rows: Any, expected_columns: Any,
            bytes_per_field: int = _args.PADDED_FIELD_BYTES, *, layout: Any = True,
            comment: Any = None) -> Choices:
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
    mark = _args.char(comment, "comment", optional=True)
    _comment_apart(mark, delim, None if quote == AUTO else quote)
    return Choices(delim, quote, escape, codec, with_header, skip, columns,
                   _args.flag(layout, "layout"), mark)


def _comment_apart(comment: str | None, delimiter: str | None, quote: Any) -> None:
    if comment is not None and comment in (delimiter, quote):
        which = "quote_char" if comment == quote else "delimiter"
        raise ValueError(f"comment must differ from {which}, both are {comment!r}")


def settle_choices(source: str | bytes, c: Choices) -> tuple[Table, int | None]:
    """The settled table and the column count to apply (given, or detected)."""
    table = settle(source, c.codec, c.delimiter, c.quote_char, c.escape_char, c.header,
                   c.skip_rows, c.layout, c.comment)
    if c.delimiter is None and table.delimiter is not None:
        refuse_quote_as_delimiter(table.delimiter, table.quote_char)
    _args.distinct(table.delimiter, table.quote_char, table.escape_char)
    _comment_apart(table.comment, table.delimiter, table.quote_char)
    return table, c.columns if c.columns is not None else table.columns


def refuse_quote_as_delimiter(detected: str, quote: str | None) -> None:
    """A detected delimiter equal to the quote reads nothing right: the caller must choose."""
    if detected == quote:
        raise ValueError(
            f"the detected delimiter {detected!r} is the quote character; "
            "pass delimiter= or another quote_char="
        )


def settle(source: str | bytes, codec: str, delimiter: str | None, quote_char: Any,
           escape_char: Any, header: Any, skip_rows: Any, layout: bool = True,
           comment: str | None = None) -> Table:
    """Asks `detect` only when something is left to it, with the caller's delimiter when given:
    its layout (preamble, header lines, table end) is then that of the caller's rows. With
    `layout` False none of it is taken: every line is a row, or the header."""
    wanted = (delimiter is None or AUTO in (quote_char, escape_char, header, skip_rows))
    given = frozenset(name for name, left in (("delimiter", delimiter is None),
                                              ("escape_char", escape_char == AUTO)) if not left)
    found = _detect(source, codec, delimiter, comment) if wanted else None
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
    names = None
    sure_header = False
    if header == AUTO:
        header = found.header_lines > 0 if same_start else True
        sure_header = header and same_start and any(
            d.name == "header_lines" and d.confidence >= SURE_HEADER for d in found.decisions)
        if same_start and found.header_lines:
            header_rows = found.header_lines if layout else 1
            # narrower than the header when a stray delimiter ends it
            columns = found.columns or None
            if header_rows > 1:
                names = found.header  # joined over the header's lines
    end = found.table_end if trusted and layout else None
    second = found.second_table_line if trusted and layout else None
    if end is not None and end > 0 and end <= skip_rows + header_rows:
        # No data row would be left: what detect took for a footer is the table's only row.
        end = second = None
    # The width a stray opening quote is judged by (the engine's own counts come first).
    width = found.columns if same_start else 0
    return Table(delimiter, quote_char, escape_char, skip_space, header, header_rows, skip_rows,
                 end, second, columns, found, layout, comment, given, names, width, sure_header)


def _detect(source: str | bytes, codec: str, delimiter: str | None,
            comment: str | None) -> Dialect | None:
    from .._detect import detect_rows

    try:
        return detect_rows(source, None if codec == AUTO else codec, delimiter=delimiter,
                           comment=comment)
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


class Skipped(NamedTuple):
    """A group of skipped lines and where to read its text."""

    lines: SkippedLines
    offset: int  # the first line's first byte in the text
    size: int  # bytes of the text read for its sample at most
    repeat: bool = False  # the header again (kind 'header')


_READ = 4096  # bytes of a group read for its sample at most
# Packed by the native module: first line, last line, begin and end of the first record's bytes
# in the table's text, the kind, padding (40 bytes).
_RUN = struct.Struct("=QQQQB7x")
_RUN_KINDS = ("comment", "header", "header")  # comment, further header lines, repeated header


def skipped(buf: Any, table: Table, where: Span, result: dict) -> tuple[Skipped, ...]:
    """The lines that are neither rows nor quarantined, in the order of the file: preamble,
    comment lines, further header lines, repeats of the header, what follows the table."""
    out = []
    if where.begin > 0:
        last = table.skip_rows
        if where.begin == len(buf):  # fewer lines than were to be skipped
            last = _lines.count_lines(buf, 0)
        out += _split_comments(buf, table, 0, where.begin, 1, last, "preamble")
    for first, last, begin, end, kind in _RUN.iter_unpack(result["skipped"]):
        out.append(Skipped(SkippedLines(first, last, _RUN_KINDS[kind]), where.begin + begin,
                           min(_READ, end - begin) if kind != 1 else _READ, kind == 2))
    if where.end < len(buf):
        # The engine stopped on the line after the table when the table's last line break
        # was in its range; on its first line when it had none.
        last = result["end_line"] - (1 if _lines.ends_with_break(buf, where.end) else 0)
        if where.end == where.begin:
            last = where.first_line - 1
        total = last + _lines.count_lines(buf, where.end)
        second = table.second_table_line
        if second is not None and second < 0:
            second = total + 1 + second
        if second is not None and last < second <= total:
            at = _lines.skip_lines(buf, where.end, second - last - 1)
            out += _split_comments(buf, table, where.end, at, last + 1, second - 1, "footer")
            out += _split_comments(buf, table, at, len(buf), second, total, "second table")
        elif total > last:
            out += _split_comments(buf, table, where.end, len(buf), last + 1, total, where.after)
    return _joined_comments(out)


def _joined_comments(groups: list[Skipped]) -> tuple[Skipped, ...]:
    """The groups, comment lines on both sides of the table's first or last line made one."""
    out: list[Skipped] = []
    for g in groups:
        before = out[-1].lines if out else None
        if (before is not None and before.kind == g.lines.kind == "comment"
                and before.last_line + 1 == g.lines.first_line):
            out[-1] = out[-1]._replace(lines=before._replace(last_line=g.lines.last_line))
        else:
            out.append(g)
    return tuple(out)


def _split_comments(buf: Any, table: Table, begin: int, end: int, first: int, last: int,
                    kind: str) -> list[Skipped]:
    """Lines `first` to `last`, the text from `begin` to `end`, as a group of `kind`; with a
    comment character, its lines apart, in runs of kind 'comment'."""
    if first > last:
        return []
    if table.comment is None:
        return [Skipped(SkippedLines(first, last, kind), begin, _READ)]
    out = []
    mark = table.comment.encode()
    for commented, run_first, run_last, at, size in _lines.runs_marked(buf, begin, end, first,
                                                                       mark):
        out.append(Skipped(SkippedLines(run_first, min(run_last, last),
                                        "comment" if commented else kind), at,
                           min(size, _READ) if commented else _READ))
    return out


_QUOTED = 60  # characters of a skipped line quoted in its warning
_KIND_WORDS = {"preamble": "a preamble", "footer": "a footer", "header": "further header lines",
               "padding": "padding (nothing but delimiters)", "comment": "comments"}
_LISTED = 5  # groups of lines named in a sentence on many of them


def samples(buf: Any, groups: tuple[Skipped, ...]) -> tuple[str | None, ...]:
    """For each group of skipped lines, the first of them that holds more than blanks and
    delimiters, stripped and shortened; None when none does."""
    return tuple(_first_filled(buf, g.offset, g.lines.last_line - g.lines.first_line + 1, g.size)
                 for g in groups)


def warnings(table: Table, groups: tuple[Skipped, ...], texts: tuple[str | None, ...],
             guessed: list[Decision]) -> list[str]:
    """A sentence for each group of skipped lines, quoting the first of them that holds
    something (`texts`, from samples()); one for all comment lines, one for all repeats of the
    header; and one for each of `guessed` (from guesses())."""
    out = []
    comments = [g.lines for g in groups if g.lines.kind == "comment"]
    repeats = [g.lines for g in groups if g.repeat]
    for g, sample in zip(groups, texts):
        s = g.lines
        if s.kind == "comment" or g.repeat or sample is None and s.kind != "padding":
            continue  # blank lines: no data left out (padding is said however short)
        text = repr(sample)
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
    if comments:
        n = sum(c.last_line - c.first_line + 1 for c in comments)
        out.append(f"{_count(n, 'line')} starting with {table.comment!r} "
                   f"{'was' if n == 1 else 'were'} left out as comments: {_listed(comments)}.")
    if repeats:
        n = sum(r.last_line - r.first_line + 1 for r in repeats)
        out.append(f"The header is repeated on {_listed(repeats)} (exports put one after the "
                   f"other); {'that line was' if n == 1 else f'those {n} lines were'} left out, "
                   "the rows after them kept.")
    out += [_guess_sentence(d) for d in guessed]
    return out


def _count(n: int, word: str) -> str:
    return f"1 {word}" if n == 1 else f"{n:,} {word}s"


def _listed(groups: list[SkippedLines]) -> str:
    """'line 4', 'lines 4, 9-10' or 'lines 4, 9, 12, 20, 31, … (40 lines in all)'."""
    shown = ", ".join(str(g.first_line) if g.first_line == g.last_line
                      else f"{g.first_line}-{g.last_line}" for g in groups[:_LISTED])
    lines = sum(g.last_line - g.first_line + 1 for g in groups)
    if len(groups) > _LISTED:
        return f"lines {shown}, … ({lines:,} lines in all)"
    return f"line {shown}" if lines == 1 else f"lines {shown}"


def guesses(table: Table, result: dict) -> list[Decision]:
    """Detect's choices that change the rows and that the caller did not make: a repeated
    header kept as rows (the engine leaves a header of two names or more out when it comes
    again), a file read as one column, a backslash escape."""
    found = table.dialect
    if found is None or found.delimiter != table.delimiter:
        return []
    out = []
    for d in found.decisions:
        if (d.name == "repeated_header" and table.header and table.layout
                and not result["skips_repeated_header"]):
            out.append(d)
        elif (d.name == "delimiter" and found.columns == 1 and d.confidence < 0.7
              and "delimiter" not in table.given):
            out.append(d)
        elif (d.name == "escape_char" and d.value and table.escape_char == d.value
              and "escape_char" not in table.given):
            out.append(d)
    return out


def _guess_sentence(d: Decision) -> str:
    if d.name == "repeated_header":
        shown = ", ".join(map(str, d.value[:10]))
        return (f"The header is repeated on line(s) {shown} (in the first part of the file); "
                "those lines stay as rows.")
    if d.name == "delimiter":
        return ("No delimiter splits the lines into agreeing fields outside quotes: the file was "
                "read as one column.")
    return f"A backslash escapes quotes inside quoted fields: {d.evidence[0]}."


def _joined(table: Table) -> str:
    names = table.header_names
    if not names:
        return ""
    shown = ", ".join(repr(n) for n in names[:4]) + (", …" if len(names) > 4 else "")
    return f"; the names joined with the first line's are the output's: {shown}"


def native_arguments(table: Table) -> dict[str, Any]:
    """The native pass's comment byte (-1: none), whether repeats of the header are skipped,
    the header's names joined over its lines (UTF-8) and the width detect found (0: none),
    from the settled table, by the names the pass takes them by."""
    names = (None if table.header_names is None
             else tuple(n.encode("utf-8", "replace") for n in table.header_names))
    return {
        "comment": -1 if table.comment is None else ord(table.comment),
        "skip_repeated_header": table.header and table.layout and table.sure_header,
        "header_names": names,
        "width_hint": table.width,
    }


def _first_filled(buf: Any, offset: int, count: int, size: int = _READ) -> str | None:
    """The first of `count` lines from `offset` that holds more than blanks and delimiters,
    stripped and shortened; None when none does. Reads `size` bytes at most."""
    text = bytes(buf[offset : offset + size]).decode("utf-8", "replace")
    for line in text.splitlines()[:count]:
        if line.strip(" \t,;|"):
            line = line.strip()
            return line if len(line) <= _QUOTED else line[:_QUOTED] + "…"
    return None if count <= len(text.splitlines()) else ""
