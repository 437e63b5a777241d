"""Where the table sits among the lines: preamble, header lines, column count, footer, a second
table. Works on records already split with the chosen dialect.

Records are grouped at blank lines (rows of bare delimiters count as blank, as spreadsheets pad
them). The main table is the first group that holds rows of the sample's common width; lines
before its first full row are preamble. It runs on through later groups and stops at notes,
`Total` lines or a group that starts over with a header of its own: a second table.

A line is left out only on strong evidence; in doubt it stays a row. A table of one column has
no preamble, footer or second table: nothing tells such lines from its values. A line that
another common dialect splits into exactly the table's width is a row written in that dialect,
never preamble, footer or a header line. A header line repeated inside the table starts no
second table.
"""

from __future__ import annotations

import re
from collections import Counter
from collections.abc import Callable
from typing import Any, NamedTuple

from .cells import (KINDS, cell_weight, column_class, column_class_counts, column_kind_counts,
                    is_footer_text, is_missing, is_numeric, kind)
from .split import Record

_PROFILE_ROWS = 100
_MAX_HEADER_LINES = 3
_UNITS_EVIDENCE = 3  # rows below a further header line that show its columns are numbers
_MAX_PREAMBLE_LINES = 5  # above the table with no blank line between, comments aside
_MAX_FOOTER_LINES = 5  # closing the table with no blank line between
# A header this sure (names over columns of numbers, or given) has its repeats left out.
SURE_HEADER = 0.75
# A single cell of text that reads as a note on the table rather than a value in it.
_NOTE = re.compile(r"(?:notes?\b|source\b|generated\b|exported\b|printed\b|created\b|prepared\b|"
                   r"copyright\b|disclaimer\b|\(c\)|©|\*|#|\(|\[)", re.IGNORECASE)

Fits = Callable[[Record, int], bool]  # whether another dialect splits the row into the width


class Verdict(NamedTuple):
    value: Any
    confidence: float
    evidence: tuple[str, ...]


class Layout(NamedTuple):
    skip_rows: Verdict
    header: Verdict
    columns: Verdict
    end: Verdict  # value: (table_end, second_table_line), both None when the table runs on


class Found(NamedTuple):
    layout: Layout
    names: tuple[str, ...] | None  # the header's names, its lines joined
    repeats: tuple[int, ...]  # lines of the sample's head that repeat the header


def groups(records: list[Record]) -> list[list[Record]]:
    out: list[list[Record]] = [[]]
    for r in records:
        if r.bare:
            if out[-1]:
                out.append([])
        else:
            out[-1].append(r)
    return [g for g in out if g]


def modal_width(rows: list[Record]) -> int:
    full = [len(r.fields) for r in rows if r.filled >= 2] or [len(r.fields) for r in rows]
    return Counter(full).most_common(1)[0][0] if full else 0


def table_width(rows: list[Record]) -> int:
    """The width of the rows' table: the most common; but where rows are weighed by their
    width, one more than twice as wide when it wins so over a few rows: a ragged wide table (an
    exporter dropping trailing empty fields) under a few key-value lines."""
    full = [len(r.fields) for r in rows if r.filled >= 2] or [len(r.fields) for r in rows]
    if not full:
        return 0
    counts = Counter(full)
    common = counts.most_common(1)[0][0]
    heaviest = max(counts, key=lambda w: (counts[w] * w, -full.index(w)))
    few = counts[common] <= _MAX_PREAMBLE_LINES
    return heaviest if heaviest > 2 * common and few else common


def _full(r: Record, width: int) -> bool:
    """A row that can start a table: the table's width and at least two cells filled."""
    return r.width == width and r.filled >= min(2, width)


def _table_like(g: list[Record]) -> bool:
    w = modal_width(g)
    if w < 2:
        return False
    full = 0  # two full rows will do
    for r in g:
        if len(r.fields) == w and r.filled >= 2:
            full += 1
            if full == 2:
                return True
    return False


def main_group(gs: list[list[Record]]) -> int:
    """Index of the group holding the main table: the first table-like group of the common
    width, or a wide one of five rows or more. Blocks before it are preamble, and so is a block
    of four rows or fewer (key-value lines) when a larger one of its width follows soon."""
    everything = [r for g in gs for r in g]
    common = table_width(everything)
    for i, g in enumerate(gs):
        w = table_width(g)
        if not _table_like(g) or (w != common and (len(g) < 5 or w < 3)):
            continue
        if w <= 3 and len(g) <= 4 and any(_holds_table(h, g) for h in gs[i + 1:i + 4]):
            continue
        return i
    for i, g in enumerate(gs):
        if any(r.filled >= 2 for r in g):
            return i
    return 0


def _holds_table(h: list[Record], block: list[Record]) -> bool:
    """Whether `h` is a larger table of the block's width to which the block's rows do not
    belong as data."""
    w = modal_width(h)
    if w != modal_width(block) or len(h) <= 2 * len(block):
        return False
    prof = profile(h, w)
    return not any(_is_data(r, prof) for r in block)


def table_start(g: list[Record], fits: Fits) -> int:
    """Index in `g` of the first row of the table: the first full row, or the text row just
    before it when that row is a header one field longer or shorter, or wider with every name
    given. Rows just before it that are data (numbers where it has them, or its width in
    another dialect) belong to the table too. Whether what stands above is a preamble is
    `preamble_end`'s call."""
    w = table_width(g)
    i = next((k for k, r in enumerate(g) if _full(r, w)), 0)
    prof, kinds = profile(g[i:], w), column_kinds(g[i:], w)
    # When that row is data, sparse or ragged rows just before it are data too if they hold
    # numbers, and no text, in its numeric columns, or what its columns hold, or its width in
    # another dialect.
    if _is_data(g[i], prof) or not _names(g[i], w) or like_rows(g[i], kinds):
        while i > 0 and (_is_data(g[i - 1], prof) or like_rows(g[i - 1], kinds)
                         or fits(g[i - 1], w)):
            i -= 1
    if i > 0 and _is_data(g[i], prof):
        prev = g[i - 1]
        if prev.filled >= min(2, prev.width) and abs(prev.width - w) <= 1 and _text_row(prev):
            i -= 1
        # Wider names over the rows: an exporter that drops trailing empty fields.
        elif prev.width > w and prev.filled == prev.width == len(set(prev.fields)) and \
                _text_row(prev):
            i -= 1
    return i


def preamble_end(above: list[Record], rows: list[Record], width: int) -> int:
    """How many of the records `above` the table's first row (blank lines apart) are its
    preamble; from the first that is not, they are rows of the table.

    What stays above must read as a preamble, and there must be few such lines (comments
    aside): comments and titles narrower than the table; and, over a table that opens with
    names over columns of numbers, lines of a few cells (titles, notes, key-value lines; a
    title may hold a comma). A line of the table's shape, sparse or of blank values, is a row:
    nothing tells it from one."""
    named = _names_over_numbers(rows, width)
    lead = 0
    while lead < len(above) and _preamble_line(above[lead], width, named):
        lead += 1
    if sum(not r.bare and not _comment(r) for r in above[:lead]) > _MAX_PREAMBLE_LINES:
        return 0
    if lead < len(above) and above[lead].width < width:
        # The rows open with narrow lines too: a narrow text line above them is one of them.
        lead = next((k for k, r in enumerate(above[:lead]) if not (r.bare or _comment(r))),
                    lead)
    return lead


def _names_over_numbers(rows: list[Record], width: int) -> bool:
    """Whether the table's first row names its columns: text over a column of numbers below,
    three of them at least."""
    first = rows[0] if rows else None
    if first is None or not _names(first, width):
        return False
    below = rows[1:_PROFILE_ROWS + 1]
    counts = column_class_counts(below, width, len(below))
    numbers = [counts[3 * j + 2] for j in range(width)]  # as is_numeric(c.strip()) has it
    return any(n >= 3 and p is not None and p >= 0.7 and not is_numeric(c.strip())
               for n, p, c in zip(numbers, profile(below, width), first.fields))


def _comment(r: Record) -> bool:
    return bool(r.fields) and r.fields[0].lstrip().startswith("#")


def _preamble_line(r: Record, width: int, named: bool) -> bool:
    if r.bare:
        return True
    if not r.filled or not r.fields[0].strip():
        return False  # blank values, or a sparse row: titles and notes open the line
    if r.width < width and (_comment(r) or _text_row(r)):
        return True
    few = r.filled <= max(1, min(2, width - 1), width // 3)
    return named and (_comment(r) or few or _note(" ".join(f.strip() for f in r.fields)))


def _is_data(r: Record, prof: list[float | None]) -> bool:
    pos, neg = votes(r, prof)
    return neg > 0 and pos == 0


def names_row(r: Record, width: int) -> bool:
    return _names(r, width)


def _names(r: Record, width: int) -> bool:
    """Could be a header: the table's width, every cell filled with distinct text (no email
    address or URL)."""
    return (r.width == width == r.filled == len(set(r.fields)) and _text_row(r)
            and not any(kind(c.strip()) in ("email", "url") for c in r.fields))


def _text_row(r: Record) -> bool:
    cells = [c.strip() for c in r.fields if c.strip()]
    return bool(cells) and not any(is_numeric(c) and not _year(c) for c in cells)


def _year(c: str) -> bool:
    return len(c) == 4 and c.isdigit() and 1900 <= int(c) <= 2100


def _note(text: str) -> bool:
    return bool(_NOTE.match(text)) or ": " in text or text.endswith(".") and text.count(" ") >= 2


def is_footer(r: Record, width: int, prof: list[float | None], kinds: list[Column],
              fits: Fits) -> bool:
    """A closing line: it opens with a word like Total; or it is a short line (one cell of text
    where the rows are wide) that reads as a note or stands where the rows hold numbers; or a
    ragged line with words over two numeric columns or more. Never a row of the table's width
    in another dialect, nor one with numbers where the rows have them."""
    cells = [c.strip() for c in r.fields if c.strip()]
    if not cells or r.last > r.first:  # a quoted value over several lines is no footer
        return False
    if cells[0].startswith('"') and not cells[0].endswith('"'):
        return False  # a quote never closed, read as text: a broken row, not a note
    if is_footer_text(cells[0]) and not is_numeric(cells[0]):
        return True
    if _is_data(r, prof) or fits(r, width) or like_rows(r, kinds):
        return False
    pos = votes(r, prof)[0]
    if r.width != width and pos >= 2:
        return True  # text over the numeric columns, words where the values stand
    short = r.filled <= 1 and width >= 3 or r.width < width and r.filled <= max(1, width // 3)
    return short and (pos > 0 or _note(cells[0]))


# The last profiles made, each with the records it read: layout asks for the same rows' profile
# several times. The records kept alive keep their ids from being reused while an entry stands.
_PROFILES: dict[tuple[int, ...], tuple[list[Record], list[float | None]]] = {}


def profile(rows: list[Record], ncols: int) -> list[float | None]:
    """Per column, the share of filled cells that are numbers or dates (None: nothing filled)."""
    read = rows[:_PROFILE_ROWS]
    key = (ncols, *map(id, read))
    known = _PROFILES.get(key)
    if known is not None:
        return list(known[1])
    if len(_PROFILES) >= 8:
        _PROFILES.clear()
    _PROFILES[key] = (read, _profile(read, ncols))
    return list(_PROFILES[key][1])


def _profile(rows: list[Record], ncols: int) -> list[float | None]:
    counts = column_class_counts(rows, ncols, _PROFILE_ROWS)
    shares: list[float | None] = []
    for j in range(ncols):
        numbers, filled = counts[3 * j + 2], counts[3 * j + 1] + counts[3 * j + 2]
        shares.append(numbers / filled if filled else None)
    return shares


Column = str | None  # the kind of cell that fills a column (None: no kind fills 70% of it)


_KINDS: dict[tuple[int, ...], tuple[list[Record], list[Column]]] = {}


def column_kinds(rows: list[Record], ncols: int) -> list[Column]:
    """Per column, the kind of cell that fills 70% of it or more; made once for the same rows
    (see _PROFILES)."""
    read = rows[:_PROFILE_ROWS]
    key = (ncols, *map(id, read))
    known = _KINDS.get(key)
    if known is not None:
        return list(known[1])
    if len(_KINDS) >= 8:
        _KINDS.clear()
    _KINDS[key] = (read, _column_kinds(read, ncols))
    return list(_KINDS[key][1])


def _column_kinds(rows: list[Record], ncols: int) -> list[Column]:
    width = len(KINDS) + 1
    counts = column_kind_counts(rows, ncols, _PROFILE_ROWS)
    out: list[Column] = []
    for j in range(ncols):
        filled = counts[width * j + 1:width * (j + 1)]
        top, total = max(filled), sum(filled)
        # Above 70%, the most common kind is the only one that common.
        out.append(KINDS[filled.index(top)] if total and top >= 0.7 * total else None)
    return out


def like_rows(r: Record, cols: list[Column]) -> bool:
    """A row of the table's width whose filled cells are of the kinds their columns hold: a
    sparse row of data (a title standing where text does cannot tell itself from one)."""
    if r.width != len(cols) or not r.filled:
        return False
    return all(col is None or kind(c.strip()) in _FITS.get(col, (col,))
               for c, col in zip(r.fields, cols) if c.strip() and not is_missing(c.strip()))


_FITS = {"number": ("number", "flag"), "flag": ("flag", "number")}  # 0 and 1 are both


def votes(r: Record, prof: list[float | None]) -> tuple[int, int]:
    """(text cells over numeric columns, numeric cells over numeric columns)."""
    pos = neg = 0
    for c, p in zip(r.fields, prof):
        c = c.strip()
        if p is None or p < 0.7 or not c or is_missing(c) or _year(c):
            continue
        if is_numeric(c):
            neg += 1
        elif not c.lstrip("+-")[:1].isdigit():  # a garbled number is no column name
            pos += 1
    return pos, neg


def _further_header(r: Record, widths: tuple[int, int], prof: list[float | None],
                    fits: Fits) -> bool:
    """A second or third header line: the header's or the table's width, two cells or more of
    short text (names or units), each over a numeric column; no numbers, no typed values
    (quoted ones neither), not a row in another dialect."""
    if r.width not in widths or r.filled < 2 or fits(r, widths[0]):
        return False
    cells = [c.strip() for c in r.fields if c.strip()]
    if any(len(c) > 24 or c.count(" ") > 2 or cell_weight(_unquoted(c)) == 1.0 for c in cells):
        return False
    pos, neg = votes(r, prof)
    return pos == len(cells) and not neg


def _cells(r: Record) -> list[str]:
    return [_unquoted(c.strip()) for c in r.fields]


def _same_cells(r: Record, cells: list[str]) -> bool:
    """_cells(r) == cells, stopping at the first cell that differs."""
    if len(r.fields) != len(cells):
        return False
    for c, want in zip(r.fields, cells):
        if _unquoted(c.strip()) != want:
            return False
    return True


def _unquoted(c: str) -> str:
    """The cell without quotes around it: a value quoted in another dialect."""
    return c[1:-1] if len(c) >= 2 and c[0] == c[-1] and c[0] in "'\"" else c


def header_lines(rows: list[Record], width: int, fits: Fits) -> Verdict:
    """How many of the first rows of the table are header lines (0 to 3)."""
    if not rows:
        return Verdict(0, 0.5, ("no rows to look at",))
    first, ncols = rows[0], rows[0].width
    # Exports put one after the other repeat their header: its repeats are no rows to weigh it by.
    names = _cells(first)
    n, lead = len(names), names[0] if names else ""
    # The first cell tells most rows from the header without a call.
    unlike = [r for r in rows[1:] if len(r.fields) != n or n and
              _unquoted(r.fields[0].strip()) != lead or not _same_cells(r, names)]
    if unlike:  # a file of one line over and over holds rows only
        rows = [first] + unlike
    data = rows[3:] if len(rows) >= 6 else rows[1:]
    if not data:
        if _text_row(first) and len(set(first.fields)) == first.width:
            return Verdict(1, 0.6, ("a single row of distinct text cells: taken as a header "
                                    "with no data",))
        return Verdict(0, 0.6, ("a single row holding numbers: taken as data",))
    # Numbers over numbers: the columns as every row below has them (the first rows may
    # hold units, but then they are no numbers).
    pos, neg = votes(first, profile(data, ncols))[0], votes(first, profile(rows[1:], ncols))[1]
    if neg:
        return Verdict(0, min(0.95, 0.6 + 0.1 * neg), (
            f"the first row holds numbers in {neg} numeric column(s): it is data",))
    if pos:
        evidence = [f"the first row holds text in {pos} column(s) where the rows below hold "
                    "numbers or dates"]
        count = 1
        # A further line needs rows enough below to show columns of numbers.
        while count < min(_MAX_HEADER_LINES, len(rows) - 1 - _UNITS_EVIDENCE):
            r = rows[count]
            if not _further_header(r, (width, ncols), profile(rows[count + 1:], ncols), fits):
                break
            evidence.append(f"line {r.first}: short text over numeric columns again (units or "
                            "a second line of names)")
            count += 1
        # A number or two below say little: the header is then taken but not sure.
        sure = _numeric_rows(data, _UNITS_EVIDENCE) >= _UNITS_EVIDENCE
        return Verdict(count, min(0.98, 0.75 + 0.05 * pos) if sure else 0.7, tuple(evidence))
    repeated = any(c.strip() and c in (d.fields[j] for d in data if j < d.width)
                   for j, c in enumerate(first.fields))
    if _text_row(first) and len(set(first.fields)) == first.width and not repeated:
        return Verdict(1, 0.6, ("no numeric columns to compare with; the first row's cells are "
                                "distinct text not repeated below, as a header's are",))
    return Verdict(0, 0.55, ("the first row looks like the rows below it",))


def _numeric_rows(rows: list[Record], enough: int) -> int:
    """How many of the rows hold a number, counted up to `enough`."""
    found = 0
    for d in rows:
        if any(column_class(c) == 2 for c in d.fields):
            found += 1
            if found >= enough:
                break
    return found


def joined_names(rows: list[Record], count: int, columns: int) -> tuple[str, ...]:
    """Each column's name: the first header line's, or over several lines their non-empty parts
    joined by a space."""
    def part(r: Record, j: int) -> str:
        return r.fields[j] if j < r.width else ""

    if count == 1:
        return tuple(part(rows[0], j) for j in range(columns))
    return tuple(" ".join(p for p in (part(r, j).strip() for r in rows[:count]) if p)
                 for j in range(columns))


def _continues(g: list[Record], width: int, header: list[str] | None,
               prof: list[float | None], kinds: list[Column], fits: Fits) -> bool:
    """A group after a blank line that carries on the table: anything but notes (short text
    lines, Total lines) and a second table (a header of its own)."""
    head = g[0]
    if header is not None and head.fields == header:
        return True  # the header again: exports put one after the other
    if _second_table(g, width, header, prof):
        return False
    return not all(_closing(r, width, prof, kinds, fits) for r in g)


def _closing(r: Record, width: int, prof: list[float | None], kinds: list[Column],
             fits: Fits) -> bool:
    """A line of notes past a blank line after the table: a footer, or text that is no row (a
    note, one cell where the rows are wide, words over numeric columns on a ragged line)."""
    if is_footer(r, width, prof, kinds, fits):
        return True
    if (not r.filled or _is_data(r, prof) or fits(r, width) or r.last > r.first
            or like_rows(r, kinds)):
        return False  # blank values, data, a row in another dialect, a quoted value
    first = next(c.strip() for c in r.fields if c.strip())
    return (r.filled <= 1 and width >= 3 or _note(first)
            or r.width != width and votes(r, prof)[0] > 0)


def _second_table(g: list[Record], width: int, header: list[str] | None,
                  prof: list[float | None]) -> bool:
    """A table of its own: rows under names that are not the table's header, of another
    width, or over numbers in the table's columns and in its own."""
    head = g[0]
    if header is not None and head.fields == header or not _table_like(g):
        return False
    w = modal_width(g)
    if not _names(head, head.width) or abs(head.width - w) > 1:
        return False
    return w != width or votes(head, prof)[0] >= 2 and votes(head, profile(g[1:], w))[0] >= 2


def line_label(n: int) -> str:
    return f"line {n}" if n > 0 else f"line {-n} from the end"


def find_end(gs: list[list[Record]], width: int, header: list[str] | None,
             prof: list[float | None], kinds: list[Column], fits: Fits,
             shift: int = 0) -> tuple[int | None, int | None, list[str]]:
    """(last line of the table or None, first line of a second table or None, evidence) for
    the table's groups `gs`, the first of which is the table itself; `shift` is added to every
    line number (a negative shift numbers a tail's lines from the end of the file)."""
    body = list(gs[0])
    i = 1
    while i < len(gs) and _continues(gs[i], width, header, prof, kinds, fits):
        body.extend(gs[i])
        i += 1
    evidence: list[str] = []
    end = len(body)
    # A footer closes rows that hold values, two at least (rescue() keeps a lone line's).
    while end > 1 and is_footer(body[end - 1], width, prof, kinds, fits) and \
            sum(r.filled > 0 for r in body[:end - 1]) >= 2:
        end -= 1
    if len(body) - end > _MAX_FOOTER_LINES:
        end = len(body)  # that many lines are rows of another shape, not a footer
    if end < len(body):
        closing = next(c.strip() for c in body[end].fields if c.strip())
        evidence.append(f"{line_label(body[end].first + shift)} closes the table: {closing!r}")
    second = next((g[0].first + shift for g in gs[i:] if _second_table(g, width, header, prof)),
                  None)
    if second is not None:
        evidence.append(f"a second table starts on {line_label(second)} after a blank line")
    elif i < len(gs):
        evidence.append(f"{line_label(gs[i][0].first + shift)} and after, past a blank line, "
                        "are notes")
    if end == len(body) and i == len(gs):
        return None, None, evidence
    return body[end - 1].last + shift, second, evidence


def _no_rows() -> Found:
    v = Verdict
    return Found(Layout(v(0, 0.5, ("no rows in the sample",)), v(0, 0.5, ("no rows",)),
                        v(0, 0.5, ("no rows",)), v((None, None), 0.5, ("no rows",))), None, ())


def one_column(head: list[Record], tail: list[Record] | None = None,
               tail_count: int = 0) -> Found:
    """A table of one column: every line a value, the first maybe its name. It has no preamble
    and no second table: nothing tells such lines from its values. Its last lines are a footer
    only when their words say so (`Total: 12`, `(3 rows)`, `End of report`). `tail`: the
    records of the file's last lines, when `head` does not reach its end."""
    rows = [r for r in head if not r.blank]
    if not rows:
        return _no_rows()
    header = header_lines(rows, 1, lambda r, w: False)
    names = joined_names(rows, header.value, 1) if header.value else None
    end, evidence = None, ("a table of one column runs to the end of the file",)
    ending, shift = (head, 0) if tail is None else (tail, -tail_count - 1)
    lines = [r for r in ending if not r.bare]
    k = len(lines)
    while k > 1 and len(lines) - k < _MAX_FOOTER_LINES and _footer_words(lines[k - 1]):
        k -= 1
    if k < len(lines) and (tail is not None or k > header.value):
        end = lines[k - 1].last + shift
        closing = " ".join(c.strip() for c in lines[k].fields if c.strip())
        evidence = (f"{line_label(lines[k].first + shift)} closes the table: {closing!r}",)
    return Found(Layout(Verdict(0, 0.9, ("a table of one column has no preamble: nothing tells "
                                         "its lines from values",)),
                        header, Verdict(1, 0.9, ("one column",)),
                        Verdict((end, None), 0.9, evidence)), names, ())


def _footer_words(r: Record) -> bool:
    """A line of one cell (or its cells read as one) that opens like a total or a count of
    rows."""
    text = " ".join(c.strip() for c in r.fields if c.strip())
    return r.first == r.last and bool(text) and is_footer_text(text) and not is_numeric(text)


def find(head: list[Record], tail: list[Record], tail_count: int, fits_head: Fits,
         fits_tail: Fits) -> Found:
    """The layout of the records of a file's head and tail (the tail's lines counted from the
    end of the file, `tail_count` of them)."""
    gs = groups(head)
    if not gs:
        return _no_rows()
    mi = main_group(gs)
    s = table_start(gs[mi], fits_head)
    rows = gs[mi][s:]
    width = table_width(rows)
    kinds = column_kinds(rows, width)
    # Blank lines inside the table: the groups just above that hold its rows (sparse ones
    # too), perhaps under its names, belong to it.
    following = gs[mi + 1:]
    named = False
    while s == 0 and mi > 0 and not named and not (_names(rows[0], width)
                                                   and not like_rows(rows[0], kinds)):
        group = gs[mi - 1]
        named = _names(group[0], width)
        if not all(like_rows(r, kinds) for r in group[int(named):]):
            named = False
            break
        rows = group + rows
        mi -= 1
    above = [r for r in head if r.last < rows[0].first]
    lead = preamble_end(above, rows, width)
    if lead < len(above):
        # The table starts higher: the records from there, blank lines apart, are its rows.
        rows = [r for r in above[lead:] if not r.bare] + rows
        named = False
    start = rows[0]
    skip = _skip_verdict(head, start)
    body = rows
    while len(body) > 1 and is_footer(body[-1], width, [], [], fits_head):
        body = body[:-1]
    # Rows of its width past a blank line tell what the columns hold too.
    header = header_lines(body + [r for g in following for r in g if r.width == width],
                          width, fits_head)
    prof = profile(body[header.value:], width)
    if named and not header.value:
        header = Verdict(1, 0.7, (f"line {start.first} names every column, a blank line apart "
                                  "from the rows",))
    columns = start.width if header.value else width
    if columns > width and not any(f.strip() for f in start.fields[width:]):
        columns = width  # a header ended by a stray delimiter
    if header.value and columns == width - 1 and any(
            r.width >= width and r.fields[width - 1].strip() for r in rows[header.value:]):
        columns = width  # a header one name short: the rows keep every field
    agree = [len(r.fields) for r in rows].count(columns)
    cols = Verdict(columns, agree / len(rows),
                   (f"{agree} of {len(rows)} rows in the sample have {columns} fields",))
    header_row = start.fields if header.value else None
    names = joined_names(body, header.value, columns) if header.value else None
    kinds = column_kinds(body[header.value:], width)
    end, second, ev = find_end([rows] + following, width, header_row, prof, kinds, fits_head)
    # In a partial head, a table still open at the head's last group ends in the tail.
    # Unless the tail holds nothing but blank lines and padding.
    tail_groups = groups(tail) if tail else []
    if tail_groups and second is None and (end is None or end >= gs[-1][0].first):
        end, second, ev = find_end(tail_groups, width, header_row, prof, kinds, fits_tail,
                                   -tail_count - 1)
    conf = 0.9 if ev else 0.8
    if not ev:
        ev = ["the table runs to the end of the file" + ("" if not tail else " (last lines)")]
    # Repeats count after a row of the table's own, as the rescue skips them.
    first_row = next((r.first for r in body[header.value:] if r.fields != header_row), None)
    sure = header.confidence >= SURE_HEADER
    repeats = () if header_row is None or first_row is None or not sure else tuple(
        r.first for r in head if r.first > first_row and r.fields == header_row
        and (end is None or end < 0 or r.first <= end))
    layout = Layout(skip, header, cols, Verdict((end, second), conf, tuple(ev)))
    return Found(layout, names, repeats)


def _skip_verdict(records: list[Record], start: Record) -> Verdict:
    skip = start.first - 1
    if not skip:
        return Verdict(0, 0.95, ("the table starts on the first line",))
    before = [r for r in records if r.last < start.first]
    blanks = sum(r.blank for r in before)
    text = next((" ".join(f.strip() for f in r.fields if f.strip()) for r in before
                 if not r.blank), "")
    evidence = [f"{skip} line(s) before the table's first full row on line {start.first}, "
                f"{blanks} of them blank"]
    if text:
        evidence.append(f"the first of them reads {text[:60]!r}")
    return Verdict(skip, 0.9 if blanks else 0.75, tuple(evidence))
