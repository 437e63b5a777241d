"""Reports and dialects as HTML: the view of a notebook (`_repr_html_`) and of `check --html`.

Everything shown is escaped: a quarantined record's text is whatever the damaged file held.
Nothing is loaded from the network; the strip of where things happen is inline SVG."""

from __future__ import annotations

import bisect
from collections.abc import Iterable, Iterator, Sequence
from html import escape
from typing import Any, NamedTuple

from ._report import _RECORD, RepairList

SHOWN = 10  # repairs, quarantined records and skipped lines listed before the rest are counted

# The strip's colours, also the counters' edges: a test looks for them in a screenshot.
REPAIRED = "#e69f00"
QUARANTINED = "#d62728"
SKIPPED = "#1f77b4"
STRIP_GROUND = "#e8e8e8"
QUARANTINE_GROUND = "#fde0dd"  # the quarantined counter's box, when anything was quarantined

STRIP_WIDTH = 1000  # SVG units across; the strip is stretched to the width it is given
MARK_WIDTH = 3  # the narrowest mark, so that one line of a million stays visible

_BOX = "display:inline-block;margin:0 6px 6px 0;padding:4px 10px;background:{ground};border-left:5px solid {edge}"
_CELL = "padding:2px 8px;text-align:left;vertical-align:top;border-bottom:1px solid #ddd"
_RAW = "margin:0;white-space:pre-wrap;word-break:break-all;font-family:monospace"


class Quarantined(NamedTuple):
    """One record of a quarantine file, as `check` reads it back."""

    first_line: int
    last_line: int
    reason: str
    raw: str


def _text(value: Any) -> str:
    return escape(str(value), quote=True)


def _char(c: str | None) -> str:
    if c is None:
        return "none"
    return {"\t": "tab", " ": "space"}.get(c, repr(c))


def _lines(first: int, last: int) -> str:
    return f"{first:,}" if first == last else f"{first:,}–{last:,}"


def lines_spanned(report: Any, quarantined: Iterable[Quarantined] = ()) -> int:
    """The file's lines as far as the report tells them: its records, blank and skipped lines
    (a record over several lines counts one), and never fewer than the last line it names."""
    skipped = sum(s.last_line - s.first_line + 1 for s in report.skipped_lines)
    counted = report.total_rows + report.blank_lines + skipped + (report.header is not None)
    named = [s.last_line for s in report.skipped_lines] + [q.last_line for q in quarantined]
    if len(report.repairs):
        named.append(report.repairs[len(report.repairs) - 1].last_line)
    return max([counted, *named, 1])


def strip(total_lines: int, marks: Iterable[tuple[int, int, str]], label: str = "") -> str:
    """An SVG bar for lines 1 to `total_lines`; each mark (first line, last line, colour) drawn
    where those lines fall, MARK_WIDTH units wide at least. Marks of one colour that touch are
    drawn as one, so a million repairs make a few hundred rectangles at most."""
    total = max(total_lines, 1)
    runs: dict[str, list[list[float]]] = {}  # colour: [start, end] in strip units, in drawing order
    for first, last, colour in marks:
        x = (min(max(first, 1), total) - 1) * STRIP_WIDTH / total
        width = max((min(last, total) - max(first, 1) + 1) * STRIP_WIDTH / total, MARK_WIDTH)
        x = min(x, STRIP_WIDTH - width)
        same = runs.setdefault(colour, [])
        if same and same[-1][0] <= x <= same[-1][1]:
            same[-1][1] = max(same[-1][1], x + width)
        else:
            same.append([x, x + width])
    rects = [f'<rect x="{x:.2f}" y="0" width="{end - x:.2f}" height="24" fill="{colour}"/>'
             for colour, spans in runs.items() for x, end in spans]
    return (
        f'<svg class="quorle-strip" role="img" aria-label="{_text(label)}" viewBox="0 0 {STRIP_WIDTH} 24" '
        f'preserveAspectRatio="none" width="100%" height="24" style="display:block">'
        f'<rect x="0" y="0" width="{STRIP_WIDTH}" height="24" fill="{STRIP_GROUND}"/>'
        + "".join(rects) + "</svg>"
        f'<div style="display:flex;justify-content:space-between;font-size:85%;color:#555">'
        f"<span>line 1</span><span>line {total:,}</span></div>"
    )


EXACT_REPAIRS = 2000  # past this many, repairs are drawn by the column of the strip they fall in


def _repair_lines(repairs: Any, total: int) -> Iterator[tuple[int, int]]:
    """(first line, last line) of each repair; past EXACT_REPAIRS, one span for each of the
    strip's STRIP_WIDTH columns that a repair falls in, found by bisection over the packed
    records (repairs come in the order of the file), so a million repairs cost a few thousand
    look-ups rather than a million Repairs."""
    n = len(repairs)
    if n <= EXACT_REPAIRS or not isinstance(repairs, RepairList):
        for r in repairs:
            yield r.first_line, r.last_line
        return
    packed = repairs._packed

    def last_line(i: int) -> int:
        return _RECORD.unpack_from(packed, i * _RECORD.size)[1]

    i = 0
    for column in range(STRIP_WIDTH):
        lo = column * total // STRIP_WIDTH + 1  # the column's lines: lo to hi
        hi = (column + 1) * total // STRIP_WIDTH
        i = bisect.bisect_left(range(n), lo, lo=i, key=last_line)  # the first repair ending at lo or later
        if i < n and _RECORD.unpack_from(packed, i * _RECORD.size)[0] <= hi:
            yield max(lo, 1), max(hi, lo)


def _marks(report: Any, quarantined: Sequence[Quarantined], total: int) -> Iterator[tuple[int, int, str]]:
    """Skipped lines first, then repairs, then quarantines on top: the worst is what is seen."""
    for s in report.skipped_lines:
        yield s.first_line, s.last_line, SKIPPED
    for first, last in _repair_lines(report.repairs, total):
        yield first, last, REPAIRED
    for q in quarantined:
        yield q.first_line, q.last_line, QUARANTINED


def _table(head: Sequence[str], rows: Iterable[Sequence[str]]) -> str:
    """A table of cells already escaped (or built from escaped parts)."""
    top = "".join(f'<th style="{_CELL}">{_text(h)}</th>' for h in head)
    body = "".join("<tr>" + "".join(f'<td style="{_CELL}">{c}</td>' for c in row) + "</tr>" for row in rows)
    return f'<table style="border-collapse:collapse;margin:4px 0 10px 0"><tr>{top}</tr>{body}</table>'


def _more(shown: int, total: int) -> str:
    return f"<p>… and {total - shown:,} more</p>" if total > shown else ""


def _counter(label: str, value: int, edge: str, ground: str = "#f4f4f4") -> str:
    return (f'<div class="quorle-counter" style="{_BOX.format(ground=ground, edge=edge)}">'
            f'<div style="font-size:140%;font-weight:bold">{value:,}</div><div>{_text(label)}</div></div>')


def _heading(text: str) -> str:
    return f'<h4 style="margin:12px 0 4px 0">{_text(text)}</h4>'


def report_html(report: Any, *, name: str | None = None, quarantined: Sequence[Quarantined] = (),
                decisions: Sequence[Any] = (), shown: int = SHOWN) -> str:
    """A report as one HTML block: counters, the strip, the dialect, warnings, the first repairs,
    quarantined records (those given: a Report does not hold them) and skipped lines, and the
    detection's decisions when given."""
    r = report
    total = lines_spanned(r, quarantined)
    skipped_count = sum(s.last_line - s.first_line + 1 for s in r.skipped_lines)
    parts = [f'<div class="quorle-report" style="font-family:sans-serif;line-height:1.35;max-width:1100px">']
    if name is not None:
        parts.append(f'<h3 style="margin:4px 0 8px 0">{_text(name)}</h3>')
    parts += [
        '<div class="quorle-counters">',
        _counter("rows", r.total_rows, "#888"),
        _counter("good", r.good_rows, "#2ca02c"),
        _counter("repaired", r.repaired_rows, REPAIRED),
        _counter("quarantined", r.quarantined_rows, QUARANTINED,
                 QUARANTINE_GROUND if r.quarantined_rows else "#f4f4f4"),
        _counter("skipped lines", skipped_count, SKIPPED),
        _counter("blank lines", r.blank_lines, "#888"),
        "</div>",
        _heading(f"Where along the file ({total:,} lines)"),
        strip(total, _marks(r, quarantined, total), "repairs, quarantined records and skipped lines by line"),
        f'<div style="font-size:85%;margin:2px 0 8px 0">'
        f'<span style="color:{REPAIRED}">■</span> repaired '
        f'<span style="color:{QUARANTINED}">■</span> quarantined '
        f'<span style="color:{SKIPPED}">■</span> skipped</div>',
        _heading("Dialect"),
        _table(("delimiter", "quote", "escape", "encoding", "columns", "header"), [[
            _text(_char(r.delimiter)), _text(_char(r.quote_char)), _text(_char(r.escape_char)),
            f"{_text(r.encoding)} (confidence {r.encoding_confidence:.2f})", f"{r.columns:,}",
            "(none)" if r.header is None else _text(", ".join(r.header))]]),
    ]
    if r.replaced_bytes or r.recoded_bytes:
        parts.append(f"<p>{r.replaced_bytes:,} bytes replaced or recoded, {r.recoded_bytes:,} read as cp1252</p>")
    if r.warnings:
        parts += [_heading("Warnings"), "<ul>", *(f"<li>{_text(w)}</li>" for w in r.warnings), "</ul>"]
    if len(r.repairs):
        rows = [[_lines(p.first_line, p.last_line), _text(p.kind), _text(p.detail)] for p in r.repairs[:shown]]
        parts += [_heading("Repairs"), _table(("lines", "kind", "detail"), rows), _more(len(rows), len(r.repairs))]
    if quarantined:
        rows = [[_lines(q.first_line, q.last_line), _text(q.reason), f'<pre style="{_RAW}">{_text(q.raw)}</pre>']
                for q in quarantined[:shown]]
        parts += [_heading("Quarantined"), _table(("lines", "reason", "raw text"), rows),
                  _more(len(rows), r.quarantined_rows)]
    if r.skipped_lines:
        texts = tuple(r.skipped_text) + ("",) * len(r.skipped_lines)
        rows = [[_lines(s.first_line, s.last_line), _text(s.kind), f'<pre style="{_RAW}">{_text(t)}</pre>']
                for s, t in zip(r.skipped_lines[:shown], texts)]
        parts += [_heading("Skipped lines"), _table(("lines", "kind", "first text"), rows),
                  _more(len(rows), len(r.skipped_lines))]
    if r.guesses:
        parts += [_heading("Guessed"), _decisions(r.guesses)]
    if decisions:
        parts += [_heading("Detection"), _decisions(decisions)]
    parts.append("</div>")
    return "".join(parts)


def _decisions(decisions: Sequence[Any]) -> str:
    rows = []
    for d in decisions:
        evidence = "".join(f"<li>{_text(e)}</li>" for e in d.evidence)
        rows.append([_text(d.name), _text(repr(d.value)), f"{d.confidence:.2f}",
                     f'<ul style="margin:0;padding-left:18px">{evidence}</ul>' if evidence else ""])
    return _table(("decision", "value", "confidence", "evidence"), rows)


def dialect_html(dialect: Any) -> str:
    """A dialect as an HTML block: how the file is written, where its table sits, and each
    decision with its confidence and evidence."""
    d = dialect
    fields = [("encoding", d.encoding), ("delimiter", _char(d.delimiter)), ("quote", _char(d.quote_char)),
              ("escape", _char(d.escape_char)), ("skip initial space", d.skip_initial_space),
              ("lines before the table", d.skip_rows), ("header lines", d.header_lines),
              ("columns", d.columns), ("table end", "end of file" if d.table_end is None else d.table_end),
              ("second table", "none" if d.second_table_line is None else d.second_table_line),
              ("header", "(none)" if d.header is None else ", ".join(d.header))]
    parts = ['<div class="quorle-dialect" style="font-family:sans-serif;line-height:1.35">',
             _heading("Dialect"), _table(("field", "value"), [[_text(k), _text(v)] for k, v in fields])]
    if d.decisions:
        parts += [_heading("Decisions"), _decisions(d.decisions)]
    parts.append("</div>")
    return "".join(parts)


def failure_html(name: str, message: str) -> str:
    """A file that could not be checked, on the page beside the others."""
    return (f'<div class="quorle-report" style="font-family:sans-serif"><h3 style="margin:4px 0 8px 0">'
            f'{_text(name)}</h3><p style="color:{QUARANTINED}">failed: {_text(message)}</p></div>')


def page(title: str, blocks: Iterable[str]) -> str:
    """A standalone page around the blocks: no script, no link to anything outside."""
    body = '<hr style="margin:18px 0">'.join(blocks)
    return ("<!DOCTYPE html>\n<html lang=\"en\"><head><meta charset=\"utf-8\">"
            f"<title>{_text(title)}</title></head>"
            f'<body style="margin:16px;background:#fff;color:#222">{body}</body></html>\n')
