"""Where the table sits among the lines: preamble, header lines, column count, footer, a second
table. Works on records already split with the chosen dialect.

Records are grouped at blank lines (rows of bare delimiters count as blank, as spreadsheets pad
them). The main table is the first group that holds rows of the sample's common width; lines
before its first full row are preamble. It runs on through later groups of the same width and
stops at notes, `Total` lines or a group that starts over with a header: a second table.
"""

from __future__ import annotations

from collections import Counter
from typing import Any, NamedTuple

from ._detect_cells import is_footer_text, is_missing, is_numeric
from ._detect_split import Record

_PROFILE_ROWS = 200
_MAX_HEADER_LINES = 3


class Verdict(NamedTuple):
    value: Any
    confidence: float
    evidence: tuple[str, ...]


def groups(records: list[Record]) -> list[list[Record]]:
    out: list[list[Record]] = [[]]
    for r in records:
        if r.blank:
            if out[-1]:
                out.append([])
        else:
            out[-1].append(r)
    return [g for g in out if g]


def modal_width(rows: list[Record]) -> int:
    full = [r.width for r in rows if r.filled >= 2] or [r.width for r in rows]
    return Counter(full).most_common(1)[0][0] if full else 0


def _full(r: Record, width: int) -> bool:
    """A row that can start a table: the table's width and at least two cells filled."""
    return r.width == width and r.filled >= min(2, width)


def _table_like(g: list[Record]) -> bool:
    w = modal_width(g)
    return w >= 2 and sum(_full(r, w) for r in g) >= 2


def main_group(gs: list[list[Record]]) -> int:
    """Index of the group holding the main table: the first table-like group of the common
    width, or a wide one of five rows or more. Blocks before it are preamble, and so is a block
    of four rows or fewer (key-value lines) when a larger one of its width follows soon."""
    everything = [r for g in gs for r in g]
    common = modal_width(everything)
    for i, g in enumerate(gs):
        w = modal_width(g)
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


def table_start(g: list[Record]) -> int:
    """Index in `g` of the first row of the table: the first full row, or the text row just
    before it when that row is a header one field longer or shorter, or wider with every name
    given."""
    w = modal_width(g)
    i = next((k for k, r in enumerate(g) if _full(r, w)), 0)
    prof = profile(g[i:], w)
    # When that row is data, sparse or ragged rows just before it are data too if they hold
    # numbers, and no text, in its numeric columns.
    if _is_data(g[i], prof):
        while i > 0 and _is_data(g[i - 1], prof):
            i -= 1
    if i > 0 and _is_data(g[i], prof):
        prev = g[i - 1]
        if prev.filled >= 2 and abs(prev.width - w) <= 1 and _text_row(prev):
            return i - 1
        # Wider names over the rows: an exporter that drops trailing empty fields.
        if prev.width > w and prev.filled == prev.width == len(set(prev.fields)) and _text_row(prev):
            return i - 1
    return i


def _is_data(r: Record, prof: list[float | None]) -> bool:
    pos, neg = votes(r, prof)
    return neg > 0 and pos == 0


def names_row(r: Record, width: int) -> bool:
    return _names(r, width)


def _names(r: Record, width: int) -> bool:
    """Could be a header: the table's width, every cell filled with distinct text."""
    return r.width == width == r.filled == len(set(r.fields)) and _text_row(r)


def _text_row(r: Record) -> bool:
    cells = [c.strip() for c in r.fields if c.strip()]
    return bool(cells) and not any(is_numeric(c) and not _year(c) for c in cells)


def _year(c: str) -> bool:
    return len(c) == 4 and c.isdigit() and 1900 <= int(c) <= 2100


def is_footer(r: Record, width: int, prof: list[float | None]) -> bool:
    """A closing line: it opens with a word like Total, or it is a short line of text where
    the table's rows are wide, or a line with text over the numeric columns and no numbers
    (notes, 'exported by')."""
    cells = [c.strip() for c in r.fields if c.strip()]
    if not cells:
        return False
    if is_footer_text(cells[0]) and not is_numeric(cells[0]):
        return True
    if _is_data(r, prof):
        return False
    short = r.filled <= 1 and width >= 3 or r.width < width and r.filled <= max(1, width // 3)
    pos, neg = votes(r, prof)
    return short or neg == 0 and (pos >= 2 or pos == 1 and r.width != width)


def profile(rows: list[Record], ncols: int) -> list[float | None]:
    """Per column, the share of filled cells that are numbers or dates (None: nothing filled)."""
    counts = [[0, 0] for _ in range(ncols)]
    for r in rows[:_PROFILE_ROWS]:
        for j, c in enumerate(r.fields[:ncols]):
            c = c.strip()
            if c and not is_missing(c):
                counts[j][0] += is_numeric(c)
                counts[j][1] += 1
    return [n / t if t else None for n, t in counts]


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


def header_lines(rows: list[Record]) -> Verdict:
    """How many of the first rows of the table are header lines (0 to 3)."""
    if not rows:
        return Verdict(0, 0.5, ("no rows to look at",))
    first, ncols = rows[0], rows[0].width
    data = rows[3:] if len(rows) >= 6 else rows[1:]
    if not data:
        if _text_row(first) and len(set(first.fields)) == first.width:
            return Verdict(1, 0.6, ("a single row of distinct text cells: taken as a header "
                                    "with no data",))
        return Verdict(0, 0.6, ("a single row holding numbers: taken as data",))
    pos, neg = votes(first, profile(data, ncols))
    if neg:
        return Verdict(0, min(0.95, 0.6 + 0.1 * neg), (
            f"the first row holds numbers in {neg} numeric column(s): it is data",))
    if pos:
        evidence = [f"the first row holds text in {pos} column(s) where the rows below hold "
                    "numbers or dates"]
        count = 1
        while count < min(_MAX_HEADER_LINES, len(rows) - 1):
            more_pos, more_neg = votes(rows[count], profile(rows[count + 1:], ncols))
            if more_neg or not more_pos:
                break
            evidence.append(f"line {rows[count].first}: text over numeric columns again "
                            "(units or a second header line)")
            count += 1
        return Verdict(count, min(0.98, 0.75 + 0.05 * pos), tuple(evidence))
    repeated = any(c.strip() and c in (d.fields[j] for d in data if j < d.width)
                   for j, c in enumerate(first.fields))
    if _text_row(first) and len(set(first.fields)) == first.width and not repeated:
        return Verdict(1, 0.6, ("no numeric columns to compare with; the first row's cells are "
                                "distinct text not repeated below, as a header's are",))
    return Verdict(0, 0.55, ("the first row looks like the rows below it",))


class Layout(NamedTuple):
    skip_rows: Verdict
    header: Verdict
    columns: Verdict
    end: Verdict  # value: (table_end, second_table_line), both None when the table runs on


def _continues(g: list[Record], width: int, header: list[str] | None,
               prof: list[float | None]) -> bool:
    """A group after a blank line that carries on the table: same width or numbers where the
    table has them, and no header again."""
    head = g[0]
    if header is not None and head.fields == header:
        return False
    pos, neg = votes(head, prof)
    # A header again: text over two numeric columns or more (one may be a garbled row).
    if len(g) > 1 and pos >= 2 and _names(head, modal_width(g)):
        return False
    if any(_is_data(r, prof) for r in g):
        return True
    if modal_width(g) != width or pos:
        return False
    cells = [c.strip() for c in head.fields if c.strip()]
    return not (cells and is_footer_text(cells[0]))


def line_label(n: int) -> str:
    return f"line {n}" if n > 0 else f"line {-n} from the end"


def find_end(gs: list[list[Record]], width: int, header: list[str] | None,
             prof: list[float | None], shift: int = 0) -> tuple[int | None, int | None, list[str]]:
    """(last line of the table or None, first line of a second table or None, evidence) for
    the table's groups `gs`, the first of which is the table itself; `shift` is added to every
    line number (a negative shift numbers a tail's lines from the end of the file)."""
    body = list(gs[0])
    i = 1
    while i < len(gs) and _continues(gs[i], width, header, prof):
        body.extend(gs[i])
        i += 1
    evidence: list[str] = []
    end = len(body)
    while end > 1 and is_footer(body[end - 1], width, prof):
        end -= 1
    if end < len(body):
        closing = next(c.strip() for c in body[end].fields if c.strip())
        evidence.append(f"{line_label(body[end].first + shift)} closes the table: {closing!r}")
    second = next((g[0].first + shift for g in gs[i:] if _table_like(g)), None)
    if second is not None:
        evidence.append(f"a second table starts on {line_label(second)} after a blank line")
    elif i < len(gs):
        evidence.append(f"{line_label(gs[i][0].first + shift)} and after, past a blank line, "
                        "are notes")
    if end == len(body) and i == len(gs):
        return None, None, evidence
    return body[end - 1].last + shift, second, evidence
