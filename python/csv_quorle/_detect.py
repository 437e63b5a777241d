"""`detect`: the dialect and layout of a CSV file from two bounded samples, its start and end.

Only HEAD_BYTES from the start and TAIL_BYTES from the end are read, so a 10 GB file costs no
more than a small one. Lines in the head are numbered from the start of the file. Lines seen
only in the tail of a larger file are numbered from its end (-1 is the last line), since
counting the lines in between would mean reading the whole file.
"""

from __future__ import annotations

import os
import re
from typing import BinaryIO

from . import _detect_layout as lay
from ._detect_dialect import NAMES, Scored, describe, escape_for, rank
from ._detect_split import Candidate, Record, parse
from ._detect_text import EncodingSniffer, choose, head_lines, tail_lines, unit_size
from ._dialect import Decision, Dialect

_SEP_LINE = re.compile(r"sep=([,;\t|:^~ ])")
HEAD_BYTES = 64 * 1024
TAIL_BYTES = 16 * 1024


def detect(source: str | bytes | os.PathLike[str] | os.PathLike[bytes], *,
           encoding: str | None = None,
           sniff_encoding: EncodingSniffer | None = None) -> Dialect:
    """The dialect of the file at `source`, read from its first and last few kilobytes."""
    if not isinstance(source, (str, bytes, os.PathLike)):
        raise TypeError(f"source must be str, bytes or os.PathLike, not {type(source).__name__}")
    with open(source, "rb") as f:
        head, tail = read_samples(f)
    return detect_sample(head, tail, encoding=encoding, sniff_encoding=sniff_encoding)


def read_samples(f: BinaryIO) -> tuple[bytes, bytes | None]:
    """(head, tail) of an open binary file: tail None when the head holds the whole file, b""
    when the file cannot seek and its end is unknown."""
    head = f.read(HEAD_BYTES)
    if len(head) < HEAD_BYTES:
        return head, None
    try:
        size = f.seek(0, os.SEEK_END)
    except (OSError, ValueError):
        return head, b""
    if size <= HEAD_BYTES + TAIL_BYTES:
        f.seek(HEAD_BYTES)
        return head + f.read(size - HEAD_BYTES), None
    unit = unit_size(head)
    start = -(-(size - TAIL_BYTES) // unit) * unit  # rounded up to a whole code unit
    f.seek(start)
    return head, f.read(size - start)


def detect_sample(head: bytes, tail: bytes | None = None, *, encoding: str | None = None,
                  sniff_encoding: EncodingSniffer | None = None) -> Dialect:
    """The dialect from a file's first bytes `head` and last bytes `tail`.

    `tail` None: `head` is the whole file. `tail` b"": the end of the file is unknown.
    `encoding` forces a codec; otherwise a byte-order mark, then valid UTF-8 decide, then
    `sniff_encoding(head) -> (codec, reason)` when given, else the choice rescue() makes on
    the same bytes (mostly UTF-8, or a guessed legacy code page).
    """
    complete = tail is None
    enc = choose(head, complete, encoding, sniff_encoding, tail)
    decisions = [Decision("encoding", enc.head_codec, enc.confidence, (enc.evidence,))]
    lines = head_lines(head, enc.head_codec, complete)
    text = "".join(lines)
    ranked = rank(lines, text)
    # Spreadsheet exports may name their delimiter on a first line of its own: sep=;
    named = _SEP_LINE.fullmatch(lines[0].rstrip("\r\n")) if lines else None
    if named:
        ranked = [s for s in ranked if s.cand.delimiter == named.group(1)] or [
            Scored(1.0, Candidate(named.group(1), '"'), 1, 1, 1)]
    if not ranked or ranked[0].score <= 0:
        best = Scored(0.0, Candidate(",", '"'), 1, 0, 0)
    else:
        best = ranked[0]
    escape, escapes = escape_for(lines, text, best)
    cand = best.cand._replace(escape=escape)
    decisions += _dialect_decisions(ranked, best, text, escape, escapes)
    if named:
        decisions[1] = Decision("delimiter", cand.delimiter, 1.0,
                                (f"the first line names it: {lines[0].strip()!r}",))
    records = parse(lines, cand)
    if not complete and records:
        records.pop()  # the sample may have cut it
    if named:
        records = records[1:]  # the sep= line is never part of the table
    end_lines = tail_lines(tail, enc.tail_codec) if tail else []
    layout, names = _layout(records, parse(end_lines, cand), len(end_lines))
    table_end, second = layout.end.value
    decisions += [Decision(name, v.value, round(v.confidence, 2), v.evidence)
                  for name, v in zip(("skip_rows", "header_lines", "columns"), layout)]
    decisions.append(Decision("table_end", table_end, layout.end.confidence, layout.end.evidence))
    if second is not None:
        decisions.append(Decision("second_table_line", second, layout.end.confidence,
                                  layout.end.evidence[-1:]))
    return Dialect(enc.head_codec, cand.delimiter, cand.quote, escape, cand.skip_initial_space,
                   layout.skip_rows.value, layout.header.value, layout.columns.value,
                   table_end, second, tuple(decisions), names)


def _dialect_decisions(ranked: list[Scored], best: Scored, text: str, escape: str | None,
                       escapes: int) -> list[Decision]:
    cand = best.cand
    same = (cand.delimiter, cand.skip_initial_space)
    rival = next((s for s in ranked if (s.cand.delimiter, s.cand.skip_initial_space) != same),
                 None)
    if best.score <= 0:
        delim = Decision("delimiter", ",", 0.3, ("no candidate splits the lines into agreeing "
                                                 "fields; the comma is assumed",))
    else:
        margin = 1 - (rival.score / best.score if rival else 0)
        share = best.agreeing / best.counted
        evidence = [f"the {describe(cand)} splits {best.agreeing} of {best.counted} sampled "
                    f"records into {best.width} fields"]
        if rival and rival.score > 0:
            evidence.append(f"next best: the {describe(rival.cand)}, scoring "
                            f"{rival.score:.2f} against {best.score:.2f}")
        else:
            evidence.append("no other delimiter splits the lines into agreeing fields")
        delim = Decision("delimiter", cand.delimiter, round(share * (0.5 + 0.5 * margin), 2),
                         tuple(evidence))
    decisions = [delim]
    if cand.delimiter in ", ":
        decisions.append(Decision("skip_initial_space", cand.skip_initial_space, delim.confidence,
                                  (f"read as the {describe(cand)}",)))
    decisions.append(_quote_decision(ranked, best, text))
    if cand.quote is not None:
        decisions.append(Decision("escape_char", escape, 0.9 if escapes >= 3 else 0.7, (
            f"{escapes} backslash-escaped quote(s) inside quoted fields" if escape else
            "quotes inside quoted fields are doubled, or absent",)))
    return decisions


def _quote_decision(ranked: list[Scored], best: Scored, text: str) -> Decision:
    quote = best.cand.quote
    if quote is None:
        return Decision("quote_char", None, 0.7, (
            "reading quotes as quoting makes the rows disagree; they are taken as text",))
    opening = sum(1 for line in text.splitlines()
                  for field in line.split(best.cand.delimiter)
                  if field.lstrip().startswith(quote))
    if not opening:
        return Decision("quote_char", quote, 0.6, ("no field is quoted in the sample; the "
                                                  "double quote is the usual one",))
    name = "double quote" if quote == '"' else "apostrophe"
    others = [s for s in ranked if s.cand[0] == best.cand[0] and s.cand.quote != quote]
    rival = max((s.score for s in others), default=0.0)
    conf = 0.95 if rival < best.score else 0.75
    return Decision("quote_char", quote, conf, (f"{opening} field(s) open with a {name}",))


def _layout(head: list[Record], tail: list[Record],
            tail_count: int) -> tuple[lay.Layout, tuple[str, ...] | None]:
    gs = lay.groups(head)
    if not gs:
        v = lay.Verdict
        return lay.Layout(v(0, 0.5, ("no rows in the sample",)), v(0, 0.5, ("no rows",)),
                          v(0, 0.5, ("no rows",)), v((None, None), 0.5, ("no rows",))), None
    mi = lay.main_group(gs)
    s = lay.table_start(gs[mi])
    rows = gs[mi][s:]
    start = rows[0]
    skip = _skip_verdict(head, start)
    width = lay.modal_width(rows)
    body = rows
    while len(body) > 1 and lay.is_footer(body[-1], width, []):
        body = body[:-1]
    header = lay.header_lines(body)
    prof = lay.profile(body[header.value:], width)
    if not header.value and skip.value:
        # Names over the columns, then a blank line, then the rows: the names are the header.
        above = [r for r in head if r.last < start.first and not r.blank]
        if above and lay.names_row(above[-1], width) and _is_data_row(start, prof):
            start = above[-1]
            skip = _skip_verdict(head, start)
            header = lay.Verdict(1, 0.7, (f"line {start.first} names every column, "
                                          "a blank line apart from the rows",))
    columns = start.width if header.value else width
    if columns > width and not any(f.strip() for f in start.fields[width:]):
        columns = width  # a header ended by a stray delimiter
    agree = sum(r.width == columns for r in rows)
    cols = lay.Verdict(columns, agree / len(rows),
                       (f"{agree} of {len(rows)} rows in the sample have {columns} fields",))
    names = start.fields if header.value else None
    end, second, ev = lay.find_end([rows] + gs[mi + 1:], width, names, prof)
    # In a partial head, a table still open at the head's last group ends in the tail.
    if tail and second is None and (end is None or end >= gs[-1][0].first):
        tail_groups = lay.groups(tail)
        end, second, ev = (lay.find_end(tail_groups, width, names, prof,
                                        -tail_count - 1) if tail_groups else (None, None, []))
    conf = 0.9 if ev else 0.8
    if not ev:
        ev = ["the table runs to the end of the file" + ("" if not tail else " (last lines)")]
    layout = lay.Layout(skip, header, cols, lay.Verdict((end, second), conf, tuple(ev)))
    return layout, tuple(names[:columns]) if names is not None else None


def _is_data_row(r: Record, prof: list) -> bool:
    pos, neg = lay.votes(r, prof)
    return neg > 0 and pos == 0


def _skip_verdict(records: list[Record], start: Record) -> lay.Verdict:
    skip = start.first - 1
    if not skip:
        return lay.Verdict(0, 0.95, ("the table starts on the first line",))
    before = [r for r in records if r.last < start.first]
    blanks = sum(r.blank for r in before)
    text = next((" ".join(f.strip() for f in r.fields if f.strip()) for r in before
                 if not r.blank), "")
    evidence = [f"{skip} line(s) before the table's first full row on line {start.first}, "
                f"{blanks} of them blank"]
    if text:
        evidence.append(f"the first of them reads {text[:60]!r}")
    return lay.Verdict(skip, 0.9 if blanks else 0.75, tuple(evidence))
