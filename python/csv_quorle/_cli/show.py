"""What the command line prints: aligned plain-text tables, the report of `check`, JSON lines."""

from __future__ import annotations

import json
import textwrap
from collections.abc import Iterable, Sequence
from typing import Any, TextIO

# How many repairs (or groups of skipped lines) are listed per file before the rest are counted.
FIRST_REPAIRS = 5
HEADER_WIDTH = 60
SAMPLE_WIDTH = 40  # characters of a skipped line shown
WIDTH = 100  # warnings are wrapped to it, as the help is: the same text on any terminal

_CHAR_NAMES = {"\t": "tab", " ": "space", "": "none"}


def char_name(c: str | None) -> str:
    """A delimiter or quote as a reader can see it: `,`, `;`, `tab`."""
    if c is None:
        return "none"
    return _CHAR_NAMES.get(c, c if c.isprintable() else repr(c))


def char_quoted(c: str | None) -> str:
    """The same in running text: `','`, `tab`."""
    name = char_name(c)
    return name if name in ("tab", "space", "none") or name.startswith("'") else f"'{name}'"


def table(rows: Sequence[Sequence[Any]], head: Sequence[str], right: Iterable[int] = ()) -> str:
    """Rows under `head`, columns two spaces apart; the columns numbered in `right` (numbers)
    aligned to the right. No trailing blanks."""
    right = set(right)
    cells = [[str(c) for c in head], *([str(c) for c in row] for row in rows)]
    widths = [max(len(r[i]) for r in cells) for i in range(len(head))]
    lines = []
    for r in cells:
        parts = [c.rjust(w) if i in right else c.ljust(w) for i, (c, w) in enumerate(zip(r, widths))]
        lines.append("  ".join(parts).rstrip())
    return "\n".join(lines)


def plural(n: int, word: str) -> str:
    return f"{n:,} {word}" if n == 1 else f"{n:,} {word}s"


def header_text(header: Sequence[str] | None) -> str:
    if header is None:
        return "(none)"
    text = ", ".join(header)
    return text if len(text) <= HEADER_WIDTH else text[: HEADER_WIDTH - 1] + "…"


def lines_of(first: int, last: int) -> str:
    return f"line {first}" if first == last else f"lines {first}-{last}"


def report_block(name: str, report: Any, *, shown: int = FIRST_REPAIRS, quarantined: Sequence[Any] = (),
                 decisions: Sequence[Any] = (), width: int = WIDTH) -> str:
    """The report of one file, as `check` prints it: the first `shown` repairs, skipped lines and
    `quarantined` records (their text cut to `width`), then the detection's `decisions`."""
    r = report
    out = [
        name,
        f"  dialect   delimiter {char_quoted(r.delimiter)}, quote {char_quoted(r.quote_char)}, "
        + (f"escape {char_quoted(r.escape_char)}, " if r.escape_char else "")
        + f"encoding {r.encoding}, {plural(r.columns, 'column')}",
        f"  header    {header_text(r.header)}",
        f"  rows      {r.total_rows:,} total, {r.good_rows:,} good, {r.repaired_rows:,} repaired, "
        f"{r.quarantined_rows:,} quarantined, {plural(r.blank_lines, 'blank line')}",
        f"  encoding  {r.encoding} (confidence {r.encoding_confidence:.2f})"
        + (f", {plural(r.replaced_bytes, 'byte')} replaced or recoded" if r.replaced_bytes else ""),
    ]
    out += notes(r, shown)
    for i, warning in enumerate(r.warnings):
        first = f"  {'warnings' if i == 0 else '':8}  "
        out.append(textwrap.fill(warning, WIDTH, initial_indent=first, subsequent_indent=" " * 12,
                                 break_long_words=False, break_on_hyphens=False))
    repairs = [f"{lines_of(p.first_line, p.last_line)}: {p.kind}, {p.detail}" for p in report.repairs[:shown]]
    out += _labelled("repairs", repairs, shown, len(report.repairs))
    if quarantined:
        out.append("  quarantined")
        out += [cut(f"{' ' * 12}{lines_of(q.first_line, q.last_line)}: {q.reason}, ", q.raw, width)
                for q in quarantined[:shown]]
        if r.quarantined_rows > min(shown, len(quarantined)):
            out.append(f"{' ' * 12}… and {r.quarantined_rows - min(shown, len(quarantined)):,} more")
    if decisions:
        out.append("  detection")
        for d in decisions:
            out.append(f"{' ' * 12}{d.name}: {d.value!r} (confidence {d.confidence:.2f})")
            out += [f"{' ' * 14}- {e}" for e in d.evidence]
    return "\n".join(out)


def cut(prefix: str, raw: str, width: int) -> str:
    """`prefix` and the quoted `raw` text, cut with … so the line fits `width` characters (some
    of the text is shown however narrow the terminal). Quoting shows line breaks and control
    characters as escapes, so none of them reaches the terminal."""
    text = repr(raw)
    room = max(width - len(prefix), 12)
    if len(text) > room:
        text = text[: room - 1] + "…"
    return prefix + text


def _labelled(label: str, items: Sequence[str], shown: int = FIRST_REPAIRS, total: int | None = None) -> list[str]:
    """`items` under `label`, the first `shown` of them, then how many more of `total` (by
    default, of the items)."""
    total = len(items) if total is None else total
    listed = list(items[:shown])
    if total > len(listed):
        listed.append(f"… and {total - len(listed):,} more")
    return [f"  {label if i == 0 else '':8}  {item}" for i, item in enumerate(listed)]


def sample(text: str) -> str:
    """A skipped line's text as shown: quoted, cut to SAMPLE_WIDTH characters."""
    if len(text) > SAMPLE_WIDTH:
        text = text[: SAMPLE_WIDTH - 1].rstrip() + "…"
    return repr(text)


def guess_text(g: Any, report: Any) -> str:
    """One of `report.guesses` in a few words, with its confidence."""
    if g.name == "encoding" and report.recoded_bytes and g.value == "utf-8":
        what = f"encoding utf-8 with {plural(report.recoded_bytes, 'byte')} read as cp1252"
    elif g.name == "encoding":
        what = f"encoding {g.value}"
    elif g.name == "delimiter":
        what = "one column: no delimiter splits the lines"
    elif g.name == "escape_char":
        what = f"escape {char_quoted(g.value)} inside quoted fields"
    elif g.name == "repeated_header":
        shown = ", ".join(map(str, g.value[:10])) + (", …" if len(g.value) > 10 else "")
        what = f"header repeated on {'line' if len(g.value) == 1 else 'lines'} {shown}, kept as rows"
    else:
        what = f"{g.name} {g.value!r}"
    return f"{what} (confidence {g.confidence:.2f})"


def notes(report: Any, limit: int = FIRST_REPAIRS) -> list[str]:
    """The lines a report left out and what it guessed, as labelled lines of `check`'s block:
    `lines 1-3: preamble, 'Sales report'` and `encoding cp1252 (confidence 0.56)`."""
    # A Report made by hand may lack the texts.
    texts = tuple(report.skipped_text) + ("",) * len(report.skipped_lines)
    skipped = []
    for s, text in zip(report.skipped_lines, texts):
        shown = sample(text) if text else "(empty)"
        skipped.append(f"{lines_of(s.first_line, s.last_line)}: {s.kind}, {shown}")
    guessed = [guess_text(g, report) for g in report.guesses]
    return _labelled("skipped", skipped, limit) + _labelled("guessed", guessed, max(limit, FIRST_REPAIRS))


def left_out(results: Sequence[Any]) -> str:
    """Under `rescue`'s table: each file that left lines out or guessed, with its notes."""
    blocks = []
    for res in results:
        lines = notes(res.report) if res.ok else []
        if lines:
            blocks.append("\n".join([res.source, *lines]))
    return "\n".join(blocks)


def summary(results: Sequence[Any], with_output: bool = True) -> str:
    """The table printed at the end of `rescue` and `check`: one line per file, then the totals.
    Failures show here only as such; their messages went to standard error."""
    rows = []
    totals = [0, 0, 0, 0]
    for res in results:
        if res.ok:
            r = res.report
            counts = [r.total_rows, r.good_rows, r.repaired_rows, r.quarantined_rows]
            totals = [a + b for a, b in zip(totals, counts)]
            rows.append([res.source, "ok", *(f"{n:,}" for n in counts), r.encoding, res.output])
        else:
            rows.append([res.source, "failed", "-", "-", "-", "-", "-", "-"])
    head = ["file", "status", "rows", "good", "repaired", "quarantined", "encoding", "output"]
    if not with_output:
        head.pop()
        rows = [row[:-1] for row in rows]
    failed = sum(not res.ok for res in results)
    totals_line = (
        f"{plural(len(results), 'file')}: {len(results) - failed:,} ok, {failed:,} failed; "
        f"{totals[0]:,} rows, {totals[1]:,} good, {totals[2]:,} repaired, {totals[3]:,} quarantined"
    )
    return table(rows, head, right=(2, 3, 4, 5)) + "\n" + totals_line


def sniff_table(entries: Sequence[tuple[str, Any]]) -> str:
    """`sniff`'s table; each entry is a name and a dialect (or report), or a name and None."""
    rows = []
    for name, d in entries:
        if d is None:
            continue
        rows.append([name, char_name(d.delimiter), char_name(d.quote_char), d.encoding, f"{d.columns:,}",
                     header_text(d.header), table_lines(d)])
    return table(rows, ("file", "delimiter", "quote", "encoding", "columns", "header", "table"),
                 right=(4,))


def table_lines(d: Any) -> str:
    """Where the table sits, in lines: 'lines 4-29 (second table on 31)'; '' for a whole file."""
    skip, end = getattr(d, "skip_rows", 0), getattr(d, "table_end", None)
    second = getattr(d, "second_table_line", None)
    if not skip and end is None:
        return "whole file"
    last = "end" if end is None else (str(end) if end > 0 else f"end{end + 1:+d}" if end < -1 else "end")
    text = f"lines {skip + 1}-{last}"
    if second is not None:
        text += f" (second table on {second if second > 0 else f'end{second + 1:+d}'})"
    return text


def json_line(obj: dict[str, Any], out: TextIO) -> None:
    out.write(json.dumps(obj, ensure_ascii=False) + "\n")
