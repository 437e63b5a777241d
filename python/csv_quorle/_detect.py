"""`detect`: the dialect and layout of a CSV file from two bounded samples, its start and end.

Only HEAD_BYTES from the start (more, up to a few megabytes, when its lines are very long) and
TAIL_BYTES from the end are read, so a 10 GB file costs no more than a small one. Lines in the
head are numbered from the start of the file. Lines seen only in the tail of a larger file are
numbered from its end (-1 is the last line), since counting the lines in between would mean
reading the whole file.
"""

from __future__ import annotations

import os
import re
from typing import BinaryIO

from ._detection import layout as lay
from ._detection.dialects import Scored, describe, one_column, rank
from ._detection.split import Candidate, Record, fits_other_dialect, parse
from ._detection.text import EncodingSniffer, choose, head_lines, tail_lines, unit_size
from ._dialect import Decision, Dialect

_SEP_LINE = re.compile(r"sep=([,;\t|:^~ ])")
HEAD_BYTES = 64 * 1024
MAX_HEAD_BYTES = 4 * 1024 * 1024
HEAD_LINES = 20
TAIL_BYTES = 16 * 1024


def detect(source: str | bytes | os.PathLike[str] | os.PathLike[bytes], *,
           encoding: str | None = None,
           sniff_encoding: EncodingSniffer | None = None,
           comment: str | None = None) -> Dialect:
    """The dialect of the file at `source`, read from its first and last few kilobytes. Lines
    starting with `comment` are no part of the table: the dialect and the layout are read
    without them."""
    if not isinstance(source, (str, bytes, os.PathLike)):
        raise TypeError(f"source must be str, bytes or os.PathLike, not {type(source).__name__}")
    return detect_rows(source, encoding, sniff_encoding, comment=comment)


def detect_rows(source: str | bytes | os.PathLike[str] | os.PathLike[bytes],
                encoding: str | None = None, sniff_encoding: EncodingSniffer | None = None,
                delimiter: str | None = None, comment: str | None = None) -> Dialect:
    """`detect`, with the delimiter when the caller knows it: the layout is then found among
    the rows that delimiter makes."""
    with open(source, "rb") as f:
        head, tail = read_samples(f)
    return detect_sample(head, tail, encoding=encoding, sniff_encoding=sniff_encoding,
                         delimiter=delimiter, comment=comment)


def read_samples(f: BinaryIO) -> tuple[bytes, bytes | None]:
    """(head, tail) of an open binary file: tail None when the head holds the whole file, b""
    when the file cannot seek and its end is unknown.

    The head grows past HEAD_BYTES, up to MAX_HEAD_BYTES, until it holds HEAD_LINES whole
    lines: very long lines (a huge header name, a thousand columns) still leave lines to read.
    """
    head = f.read(HEAD_BYTES)
    while len(head) < MAX_HEAD_BYTES and head.count(b"\n") + head.count(b"\r") < HEAD_LINES:
        more = f.read(min(len(head), MAX_HEAD_BYTES - len(head)))
        if not more:
            return head, None
        head += more
    if len(head) < HEAD_BYTES:
        return head, None
    try:
        size = f.seek(0, os.SEEK_END)
    except (OSError, ValueError):
        return head, b""
    if size <= len(head) + TAIL_BYTES:
        f.seek(len(head))
        return head + f.read(size - len(head)), None
    unit = unit_size(head)
    start = -(-(size - TAIL_BYTES) // unit) * unit  # rounded up to a whole code unit
    f.seek(start)
    return head, f.read(size - start)


def detect_sample(head: bytes, tail: bytes | None = None, *, encoding: str | None = None,
                  sniff_encoding: EncodingSniffer | None = None,
                  delimiter: str | None = None, comment: str | None = None) -> Dialect:
    """The dialect from a file's first bytes `head` and last bytes `tail`.

    `tail` None: `head` is the whole file. `tail` b"": the end of the file is unknown.
    `encoding` forces a codec; otherwise a byte-order mark, then valid UTF-8 decide, then
    `sniff_encoding(head) -> (codec, reason)` when given, else the choice rescue() makes on
    the same bytes (mostly UTF-8, or a guessed legacy code page). `delimiter` forces the
    delimiter.
    """
    complete = tail is None
    enc = choose(head, complete, encoding, sniff_encoding, tail)
    decisions = [Decision("encoding", enc.head_codec, enc.confidence, (enc.evidence,))]
    lines = head_lines(head, enc.head_codec, complete)
    kept = lines if comment is None else [line for line in lines if not line.startswith(comment)]
    text = "".join(kept)
    ranked = rank(kept, text, delimiter)
    # Spreadsheet exports may name their delimiter on a first line of its own: sep=;
    named = _SEP_LINE.fullmatch(lines[0].rstrip("\r\n")) if lines else None
    if named and delimiter is not None and named.group(1) != delimiter:
        named = None  # the caller's delimiter wins; the line is then text
    if named:
        ranked = [s for s in ranked if s.cand.delimiter == named.group(1)] or [
            Scored(1.0, Candidate(named.group(1), '"'), 1, 1, 1)]
        ranked[0] = ranked[0]._replace(score=max(ranked[0].score, 1.0))
    if not ranked or ranked[0].score <= 0:
        alone = Candidate(delimiter, '"' if delimiter != '"' else None) if delimiter else None
        best = Scored(0.0, alone or one_column(kept, text), 1, 0, 0)
    else:
        best = ranked[0]
    cand = best.cand
    decisions += _dialect_decisions(ranked, best, text)
    if named:
        decisions[1] = Decision("delimiter", cand.delimiter, 1.0,
                                (f"the first line names it: {lines[0].strip()!r}",))
    elif delimiter is not None:
        decisions[1] = Decision("delimiter", delimiter, 1.0, ("given by the caller",))
    records = _records(lines, cand, comment, ending=complete)
    if not complete and records:
        records.pop()  # the sample may have cut it
    if named:
        records = records[1:]  # the sep= line is never part of the table
    end_lines = tail_lines(tail, enc.tail_codec) if tail else []
    if best.score <= 0:
        found = lay.one_column(
            records, None if complete else _records(end_lines, cand, comment, ending=True),
            len(end_lines))
    else:
        found = lay.find(records, _records(end_lines, cand, comment, ending=True), len(end_lines),
                         _fits(lines, cand), _fits(end_lines, cand))
    layout, names = found.layout, found.names
    table_end, second = layout.end.value
    decisions += [Decision(name, v.value, round(v.confidence, 2), v.evidence)
                  for name, v in zip(("skip_rows", "header_lines", "columns"), layout)]
    decisions.append(Decision("table_end", table_end, layout.end.confidence, layout.end.evidence))
    if second is not None:
        decisions.append(Decision("second_table_line", second, layout.end.confidence,
                                  layout.end.evidence[-1:]))
    if found.repeats:
        shown = ", ".join(map(str, found.repeats[:10]))
        decisions.append(Decision("repeated_header", found.repeats, 0.9, (
            f"line(s) {shown} repeat the header: exports put one after the other; a rescue "
            "leaves them out when the header has two names or more",)))
    return Dialect(enc.head_codec, cand.delimiter, cand.quote, cand.escape,
                   cand.skip_initial_space,
                   layout.skip_rows.value, layout.header.value, layout.columns.value,
                   table_end, second, tuple(decisions), names)


def _records(lines: list[str], cand: Candidate, comment: str | None,
             ending: bool = False) -> list[Record]:
    """The records of `lines`, comment lines left out before they are read (their quotes open
    nothing); the others keep their line numbers."""
    if comment is None:
        return parse(lines, cand, ending=ending)
    numbers = [i for i, line in enumerate(lines, 1) if not line.startswith(comment)]
    return [r._replace(first=numbers[r.first - 1], last=numbers[r.last - 1])
            for r in parse([lines[i - 1] for i in numbers], cand, ending=ending)]


def _dialect_decisions(ranked: list[Scored], best: Scored, text: str) -> list[Decision]:
    cand = best.cand
    same = (cand.delimiter, cand.skip_initial_space)
    rival = next((s for s in ranked if (s.cand.delimiter, s.cand.skip_initial_space) != same),
                 None)
    if best.score <= 0:
        delim = Decision("delimiter", cand.delimiter, 0.6, (
            "no candidate splits the lines into agreeing fields outside quotes: the file is "
            f"read as one column (the {describe(cand)} splits no record)",))
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
        if cand.escape:
            why = (f"{best.plain_strays} quoted field(s) leave text after their closing quote "
                   f"without a backslash escape, {best.strays} with it")
        else:
            why = "quoted fields read cleanly without a backslash escape"
        decisions.append(Decision("escape_char", cand.escape,
                                  0.9 if best.plain_strays >= 3 else 0.7, (why,)))
    return decisions


def _quote_decision(ranked: list[Scored], best: Scored, text: str) -> Decision:
    quote = best.cand.quote
    if quote is None:
        return Decision("quote_char", None, 0.7, (
            "reading quotes as quoting makes the rows disagree; they are taken as text",))
    opening = _opening_quotes(text, best.cand.delimiter, quote) if quote in text else 0
    if not opening:
        return Decision("quote_char", quote, 0.6, ("no field is quoted in the sample; the "
                                                  "double quote is the usual one",))
    name = "double quote" if quote == '"' else "apostrophe"
    others = [s for s in ranked if s.cand[0] == best.cand[0] and s.cand.quote != quote]
    rival = max((s.score for s in others), default=0.0)
    conf = 0.95 if rival < best.score else 0.75
    return Decision("quote_char", quote, conf, (f"{opening} field(s) open with a {name}",))


def _opening_quotes(text: str, delimiter: str, quote: str) -> int:
    """How many quotes open a field: at a line's start (after LF) or after the delimiter, blanks
    between. Searched in the reversed text, so that the pattern starts with the quote and the
    search jumps from quote to quote instead of trying every position."""
    d, q = re.escape(delimiter), re.escape(quote)
    return len(re.findall(f"{q}[ \t]*(?:{d}|(?=\n)|\\Z)", text[::-1]))


def _fits(lines: list[str], cand: Candidate) -> lay.Fits:
    """Whether another common dialect splits a record of `lines` into the table's width."""
    def fits(r: Record, width: int) -> bool:
        return r.width != width and fits_other_dialect("".join(lines[r.first - 1:r.last]),
                                                       cand, width)
    return fits
