"""Random tables for the property tests: well-formed CSV files written by Python's csv module (the
oracle that is not the code under test), damaged variants of them, and the shrinking of a failing
case to a small one.

Every generator takes a seeded `random.Random`, so a case is its seed. QUORLE_PROPERTY_CASES sets
how many cases each property test runs (each test has its own modest default) and
QUORLE_PROPERTY_SEED the first seed, so that a failure can be run again alone.
"""

from __future__ import annotations

import csv
import dataclasses
import io
import os
import random
import re
from collections.abc import Callable, Iterator, Sequence

DELIMITERS = (",", ";", "\t", "|")
# Any ASCII character but CR, LF and the double quote may separate the output's fields.
ODD_DELIMITERS = (" ", ":", "'", "\\", "a", "^", "\x01", "\x7f")
LINE_ENDS = ("\n", "\r\n")

# The pieces fields are made of: every delimiter, both quotes, every line break, spaces,
# non-ASCII text, and ordinary words and numbers (weighted up, as in real exports).
SPECIAL = (",", ";", "\t", "|", '"', "'", "\r", "\n", "\r\n", " ", "  ")
NON_ASCII = ("é", "Müller", "中文", "🙂", "ß", "\u00a0", "€", "\ufeff")
WORDS = ("a", "abc", "Hans", "Mueller", "x y", "N/A", "null", "TRUE", "2024-01-31",
         "12:30", "#", "-", "\\", "=1+2")
NUMBERS = ("0", "1", "42", "-7", "3.25", "1,50", "1e5", "007")


def seeds(default: int) -> range:
    """The seeds of a property test's cases."""
    count = int(os.environ.get("QUORLE_PROPERTY_CASES", default))
    first = int(os.environ.get("QUORLE_PROPERTY_SEED", 0))
    return range(first, first + count)


@dataclasses.dataclass(frozen=True)
class Table:
    """A header (or None) and rows of text fields; every row has the header's field count."""

    header: list[str] | None
    rows: list[list[str]]

    @property
    def records(self) -> list[list[str]]:
        """The header and the rows: what a reader of the file gets back."""
        return ([self.header] if self.header is not None else []) + self.rows


# The encodings exports come in besides UTF-8: with a byte-order mark, UTF-16, Windows-1252.
ENCODINGS = ("utf-8-sig", "utf-16", "cp1252")
BYTE_ENCODINGS = ("utf-8-sig", "cp1252")  # whose lines the damages below can work on


@dataclasses.dataclass(frozen=True)
class Dialect:
    """How a table is written: csv.writer's delimiter, line end and quoting, and the encoding."""

    delimiter: str
    line_end: str
    quote_all: bool
    final_line_end: bool = True
    encoding: str = "utf-8"


@dataclasses.dataclass(frozen=True)
class Written:
    """A table as the bytes of a file, with the dialect it was written in."""

    table: Table
    dialect: Dialect
    data: bytes

    def given(self) -> dict[str, object]:
        """rescue()'s options that name the dialect and layout the file was written in."""
        given: dict[str, object] = dict(delimiter=self.dialect.delimiter, quote_char='"',
                                        escape_char=None, header=self.table.header is not None,
                                        skip_rows=0)
        if self.dialect.encoding != "utf-8":
            given["encoding"] = self.dialect.encoding
        return given


def random_field(rng: random.Random) -> str:
    """Mostly plain text; now and then empty, or holding delimiters, quotes, line breaks."""
    roll = rng.random()
    if roll < 0.15:
        return ""
    if roll < 0.55:
        return rng.choice(WORDS + NUMBERS)
    parts = []
    for _ in range(rng.randint(1, 4)):
        pick = rng.random()
        source = SPECIAL if pick < 0.45 else NON_ASCII if pick < 0.6 else WORDS + NUMBERS
        parts.append(rng.choice(source))
    return "".join(parts)


def random_name(rng: random.Random, taken: set[str]) -> str:
    """A column name: a word, now and then with a special piece; unique in its header."""
    while True:
        name = rng.choice(WORDS + NON_ASCII) + rng.choice(("", "", "", str(len(taken)),
                                                           rng.choice(SPECIAL)))
        if name not in taken:
            taken.add(name)
            return name


def blank_field(rng: random.Random) -> str:
    return rng.choice(("", "", " ", "  ", "\t"))


def is_blank(field: str) -> bool:
    """Nothing but spaces and tabs, or nothing at all."""
    return field.strip(" \t") == ""


def random_table(rng: random.Random, header: bool | None = None, ambiguous: bool = True) -> Table:
    """One to six columns (one in six tables has one), zero to twelve rows; a header in three
    tables out of four unless `header` says. One row in ten is all empty or blank fields.

    Without `ambiguous`, no table holds what reads two ways until the layout is settled: a
    field of only spaces and tabs in a one-column table (a blank line?), a last row of blank
    fields or a first row of empty ones (a spreadsheet's padding of delimiters?) and a U+FEFF
    opening the file (a byte-order mark?)."""
    columns = 1 if rng.random() < 1 / 6 else rng.randint(2, 6)
    if header is None:
        header = rng.random() < 0.75
    names: set[str] = set()
    head = [random_name(rng, names) for _ in range(columns)] if header else None
    rows = []
    for _ in range(rng.randint(0, 12)):
        blank = rng.random() < 0.1
        rows.append([blank_field(rng) if blank else random_field(rng) for _ in range(columns)])
    table = Table(head, rows)
    return table if ambiguous else unambiguous(table)


def unambiguous(table: Table) -> Table:
    """The table without what reads two ways (see random_table)."""
    while True:
        header, rows = table.header, table.rows
        if header is not None:
            header = [header[0].lstrip("\ufeff")] + header[1:]
        elif rows:
            rows = [[rows[0][0].lstrip("\ufeff")] + rows[0][1:]] + rows[1:]
        if len(header or (rows[0] if rows else ())) == 1:
            rows = [row for row in rows if row[0] == "" or not is_blank(row[0])]
            if header is not None and is_blank(header[0]):
                header = [""]  # written `""`, as csv.writer writes a lone empty field
        while rows and all(is_blank(f) for f in rows[-1]):
            rows = rows[:-1]
        if header is None and rows and len(rows[0]) > 1 and not any(rows[0]):
            rows = rows[1:]
        if header is not None and len(header) > 1 and not rows and all(map(is_blank, header)):
            header = ["h"] + header[1:]  # the last line, blank names and delimiters: padding
        if (header, rows) == (table.header, table.rows):
            return table
        table = Table(header, rows)


_DATE_OR_TIME = re.compile(r"\d{4}-\d\d-\d\d|\d{1,2}:\d\d")
# Words that stand for a missing value or a flag in a column of numbers, never for its name.
_VALUE_WORDS = frozenset(("na", "n/a", "null", "none", "nan", "true", "false", "-"))


def _number(cell: str) -> bool:
    """A number as Python reads one (an amount of money too: `€1`; a decimal comma too: `1,50`,
    as European exports write it), a date or a time."""
    try:
        float(cell.lstrip("$€£¥").replace(",", ".", 1))
        return cell == cell.strip() and any(c.isdigit() for c in cell)
    except ValueError:
        return bool(_DATE_OR_TIME.fullmatch(cell))


def _name(cell: str) -> bool:
    """Text no column of numbers holds as a value: letters, no digit, no missing-value word."""
    return (any(c.isalpha() for c in cell) and not any(c.isdigit() for c in cell)
            and cell.strip().lower() not in _VALUE_WORDS)


def header_evidence(table: Table) -> bool | None:
    """What the columns of numbers below the first record say of it: True when it names one
    with a word (a header), False when it continues one with a number (data), None when no
    column says, or columns say both."""
    records = table.records
    named = continued = False
    for j, first in enumerate(records[0] if len(records) > 1 else ()):
        below = [r[j] for r in records[1:] if r[j] != ""]
        if below and all(map(_number, below)):
            named = named or _name(first)
            continued = continued or _number(first)
    return None if named == continued else named


def header_reads_both_ways(table: Table) -> bool:
    """Whether no reader could know that the table has a header, or has none: nothing tells,
    or what tells says the opposite (names that read as numbers: `2024-01-31`, `-1`)."""
    return header_evidence(table) != (table.header is not None)


def without_mark(table: Table) -> Table:
    """The table without a U+FEFF opening its first field: opening a file, any reader takes it
    for a byte-order mark."""
    records = table.records
    if not records or not records[0] or not records[0][0].startswith("\ufeff"):
        return table
    first = [records[0][0].lstrip("\ufeff")] + records[0][1:]
    return Table(first, table.rows) if table.header is not None else Table(None,
                                                                          [first] + table.rows)


def blank_values_unquoted(written: Written) -> bool:
    """Whether a table of one column holds a value of only spaces and tabs written bare: a line
    the engine skips as blank (it reads every line of blanks so) and no reader could keep."""
    return (len(written.table.records[0] if written.table.records else ()) == 1
            and not written.dialect.quote_all
            and any(r[0] != "" and is_blank(r[0]) for r in written.table.records))


def other_readings(written: Written) -> list[list[list[str]]]:
    """The file's records as another usual delimiter reads them, where it splits every record
    into the same number of fields, two or more: the file is a table in that dialect too (one
    line `,-7` written in a table of one column, say) and no reader could know which it is."""
    text = written.data.decode(written.dialect.encoding).removeprefix("\ufeff")
    readings = []
    for delimiter in DELIMITERS:
        if delimiter == written.dialect.delimiter or delimiter not in text:
            continue
        records = list(csv.reader(io.StringIO(text, newline=""), delimiter=delimiter))
        if records and len({len(r) for r in records}) == 1 and len(records[0]) >= 2:
            readings.append(records)
    return readings


def _needs_all_quoted(row: Sequence[str], line_end: str) -> bool:
    # csv.writer quotes a field for the characters of its own line end only: with "\n", a lone CR
    # would go out bare, and no reader could tell it from a line break.
    return line_end == "\n" and any("\r" in field for field in row)


def write_table(table: Table, dialect: Dialect) -> Written:
    """The table as csv.writer writes it, in the dialect's encoding (UTF-8 when the text has a
    character that encoding lacks). The file reads back as the same records (checked here, so
    that a fault of the generator never passes for one of the package)."""
    out = io.StringIO(newline="")
    common = dict(delimiter=dialect.delimiter, lineterminator=dialect.line_end)
    minimal = csv.writer(out, quoting=csv.QUOTE_MINIMAL, **common)
    every = csv.writer(out, quoting=csv.QUOTE_ALL, **common)
    for record in table.records:
        quote_all = dialect.quote_all or _needs_all_quoted(record, dialect.line_end)
        (every if quote_all else minimal).writerow(record)
    text = out.getvalue()
    if not dialect.final_line_end and text.endswith(dialect.line_end):
        text = text[: -len(dialect.line_end)]
    back = list(csv.reader(io.StringIO(text, newline=""), delimiter=dialect.delimiter))
    assert back == table.records, f"generator fault: {text!r} reads as {back!r}"
    try:
        data = text.encode(dialect.encoding)
    except UnicodeEncodeError:
        dialect = dataclasses.replace(dialect, encoding="utf-8")
        data = text.encode("utf-8")
    return Written(table, dialect, data)


def random_dialect(rng: random.Random, encodings: Sequence[str] = ENCODINGS) -> Dialect:
    """Any delimiter, line end and quoting; UTF-8 in four files out of five."""
    encoding = rng.choice(encodings) if encodings and rng.random() < 0.2 else "utf-8"
    return Dialect(rng.choice(DELIMITERS), rng.choice(LINE_ENDS), rng.random() < 0.25,
                   final_line_end=rng.random() < 0.85, encoding=encoding)


def random_written(rng: random.Random, header: bool | None = None, ambiguous: bool = True,
                   encodings: Sequence[str] = ENCODINGS) -> Written:
    """A random table in a random dialect."""
    return write_table(random_table(rng, header, ambiguous), random_dialect(rng, encodings))


def random_output_delimiter(rng: random.Random) -> str:
    """One of the usual delimiters, or now and then an odd one."""
    return rng.choice(DELIMITERS if rng.random() < 0.85 else ODD_DELIMITERS)


def random_options(rng: random.Random, written: Written) -> dict[str, object]:
    """What a caller leaves to detection or gives, now and then wrongly; the command line has
    each of these options."""
    delimiter = written.dialect.delimiter if rng.random() < 0.8 else rng.choice(DELIMITERS)
    return rng.choice(({}, {"delimiter": delimiter}, {"header": False},
                       {"delimiter": delimiter, "header": written.table.header is not None,
                        "skip_rows": 0}, {"comment": "#"}))


WrittenCase = tuple[Written, str]  # a table and the output delimiter
DamagedCase = tuple[bytes, dict, str]  # input, options, output delimiter


# --- damage -----------------------------------------------------------------------------------
# Each damage works on the lines of a file (bytes, line breaks kept) and is what exporters and
# hand edits do to real files.


def _end_of(line: bytes) -> int:
    """Where the line's text ends, before its line break."""
    return len(line.rstrip(b"\r\n"))


def _insert(rng: random.Random, lines: list[bytes], piece: bytes) -> None:
    i = rng.randrange(len(lines))
    at = rng.randint(0, _end_of(lines[i]))
    lines[i] = lines[i][:at] + piece + lines[i][at:]


def stray_quote(rng: random.Random, lines: list[bytes], delim: bytes) -> None:
    _insert(rng, lines, rng.choice((b'"', b"'", b'""')))


def unterminated_quote(rng: random.Random, lines: list[bytes], delim: bytes) -> None:
    i = rng.randrange(len(lines))
    end = _end_of(lines[i])
    fields = lines[i][:end].split(delim)
    k = rng.randrange(len(fields))
    fields[k] = b'"' + fields[k]
    lines[i] = delim.join(fields) + lines[i][end:]


def ragged_row(rng: random.Random, lines: list[bytes], delim: bytes) -> None:
    i = rng.randrange(len(lines))
    end = _end_of(lines[i])
    text, brk = lines[i][:end], lines[i][end:]
    if rng.random() < 0.5 and delim in text:
        text = text[: text.rindex(delim)]  # a field short
    else:
        text += b"".join(delim + rng.choice((b"x", b"surplus", b"7"))
                         for _ in range(rng.randint(1, 3)))
    lines[i] = text + brk


def trailing_delimiters(rng: random.Random, lines: list[bytes], delim: bytes) -> None:
    for i in rng.sample(range(len(lines)), rng.randint(1, len(lines))):
        end = _end_of(lines[i])
        lines[i] = lines[i][:end] + delim * rng.randint(1, 2) + lines[i][end:]


def blank_lines(rng: random.Random, lines: list[bytes], delim: bytes) -> None:
    for _ in range(rng.randint(1, 3)):
        lines.insert(rng.randint(0, len(lines)), rng.choice((b"\n", b"\r\n", b"  \n", b"\r")))


def invalid_utf8(rng: random.Random, lines: list[bytes], delim: bytes) -> None:
    _insert(rng, lines, rng.choice((b"\xff", b"\xc3", b"\xe9", b"\x80\x80", b"\xed\xa0\x80",
                                    b"\xf0\x9f")))


def mixed_line_breaks(rng: random.Random, lines: list[bytes], delim: bytes) -> None:
    for i in rng.sample(range(len(lines)), rng.randint(1, len(lines))):
        end = _end_of(lines[i])
        if end < len(lines[i]):
            lines[i] = lines[i][:end] + rng.choice((b"\n", b"\r\n", b"\r"))


def preamble(rng: random.Random, lines: list[bytes], delim: bytes) -> None:
    lines.insert(0, rng.choice((b"Sales report\n", b"Exported 2024-01-31 12:00\n",
                                b"# generated by the shop\n", b"Report" + delim + b"Q1\n\n")))


def footer(rng: random.Random, lines: list[bytes], delim: bytes) -> None:
    if not lines[-1].endswith((b"\n", b"\r")):
        lines[-1] += b"\n"
    lines.append(rng.choice((b"Total" + delim + b"123\n", b"\n(3 rows)\n", b"End of report")))


def nul_byte(rng: random.Random, lines: list[bytes], delim: bytes) -> None:
    _insert(rng, lines, b"\x00")


def _line_ended(lines: list[bytes], i: int) -> None:
    if not lines[i].endswith((b"\n", b"\r")):
        lines[i] += b"\n"


def comment_lines(rng: random.Random, lines: list[bytes], delim: bytes) -> None:
    for _ in range(rng.randint(1, 3)):
        at = rng.randint(0, len(lines))
        if at:
            _line_ended(lines, at - 1)
        lines.insert(at, rng.choice((b"# note\n", b"#\n", b'# "quoted' + delim + b' open\n',
                                     b"#a" + delim + b"b\r\n")))


def repeated_first_line(rng: random.Random, lines: list[bytes], delim: bytes) -> None:
    """Exports put one after the other: the first line (a header, mostly) comes again."""
    at = rng.randint(1, len(lines))
    _line_ended(lines, at - 1)
    lines.insert(at, lines[0] if lines[0].endswith((b"\n", b"\r")) else lines[0] + b"\n")


DAMAGES = (stray_quote, unterminated_quote, ragged_row, trailing_delimiters, blank_lines,
           invalid_utf8, mixed_line_breaks, preamble, footer, nul_byte, comment_lines,
           repeated_first_line)


def damage(rng: random.Random, written: Written, count: int | None = None,
           damages: Sequence[Callable[..., None]] = DAMAGES) -> bytes:
    """The file with one to three random damages (or `count`)."""
    lines = written.data.splitlines(keepends=True) or [b""]
    for _ in range(rng.randint(1, 3) if count is None else count):
        rng.choice(damages)(rng, lines, written.dialect.delimiter.encode())
    return b"".join(lines)


# --- shrinking --------------------------------------------------------------------------------
# A failing case is cut down while it keeps failing in the same way: the first candidate that
# still fails is kept, and the search starts again from it.

SHRINK_TRIES = 3000  # checks spent on one failure at most


def _shrink(case, smaller: Callable[[object], Iterator[object]], fails: Callable[[object], bool]):
    tries = 0
    progress = True
    while progress and tries < SHRINK_TRIES:
        progress = False
        for candidate in smaller(case):
            tries += 1
            if fails(candidate):
                case, progress = candidate, True
                break
            if tries >= SHRINK_TRIES:
                break
    return case


def _shorter_texts(text):
    """The text without a chunk, for chunk sizes from half its length down to one."""
    size = len(text) // 2
    while size >= 1:
        for at in range(0, len(text), size):
            yield text[:at] + text[at + size :]
        size //= 2


def _smaller_tables(table: Table) -> Iterator[Table]:
    rows = table.rows
    for i in range(len(rows)):
        yield Table(table.header, rows[:i] + rows[i + 1 :])
    width = len(table.records[0]) if table.records else 0
    if width > 1:
        for c in range(width):
            cut = [r[:c] + r[c + 1 :] for r in table.records]
            yield Table(cut[0], cut[1:]) if table.header is not None else Table(None, cut)
    records = table.records
    for r, record in enumerate(records):
        for c, field in enumerate(record):
            for shorter in ([""] if field else []) + list(_shorter_texts(field)):
                changed = [list(x) for x in records]
                changed[r][c] = shorter
                if table.header is not None:
                    yield Table(changed[0], changed[1:])
                else:
                    yield Table(None, changed)


def shrink_table(table: Table, fails: Callable[[Table], bool]) -> Table:
    """A smaller table that still fails: fewer rows and columns, shorter fields."""
    return _shrink(table, _smaller_tables, fails)  # type: ignore[arg-type, return-value]


def shrink_written(case: WrittenCase, fails: Callable[[WrittenCase], bool],
                   keep: Callable[[Table], bool] = lambda table: True) -> WrittenCase:
    """A smaller table in the same dialect that still fails; `keep` says which tables count."""
    written, out_delim = case

    def table_fails(table: Table) -> bool:
        return keep(table) and fails((write_table(table, written.dialect), out_delim))

    return write_table(shrink_table(written.table, table_fails), written.dialect), out_delim


def _smaller_bytes(data: bytes) -> Iterator[bytes]:
    lines = data.splitlines(keepends=True)
    for i in range(len(lines)):
        yield b"".join(lines[:i] + lines[i + 1 :])
    yield from _shorter_texts(data)


def shrink_bytes(data: bytes, fails: Callable[[bytes], bool]) -> bytes:
    """Shorter input that still fails: fewer lines, fewer bytes."""
    return _shrink(data, _smaller_bytes, fails)  # type: ignore[arg-type, return-value]


def reproducer(data: bytes, **options: object) -> str:
    """A case as a line that can be pasted into a test (the `write` fixture makes the file)."""
    shown = "".join(f", {k}={v!r}" for k, v in options.items())
    return f"rescue(write({data!r}), out{shown})"
