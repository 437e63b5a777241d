"""rescue(): a damaged CSV file in, a clean one, a quarantine file and a report out."""

from __future__ import annotations

import contextlib

from typing import Any, Literal

from . import _args, _native, _table
from ._paths import OutputFile, commit, check_paths
from ._dialect import Decision
from ._report import Report, RepairList
from ._encoding import open_utf8
from ._lines import absent_byte
from ._source import file_behind

LONG_QUOTED_LINES = 100  # a quoted field spanning more line breaks is worth a warning
LISTED = 10  # line numbers listed in one warning


def rescue(
    source: _args.PathArg,
    output: _args.PathArg,
    quarantine: _args.PathArg | None = None,
    *,
    delimiter: str | None = None,
    quote_char: str | None = "auto",
    escape_char: str | None = "auto",
    encoding: str = "auto",
    header: bool | Literal["auto"] = "auto",
    skip_rows: int | Literal["auto"] = "auto",
    expected_columns: int | None = None,
    skip_blank_lines: bool = True,
    fill_ragged_rows: bool = True,
    merge_overflow: bool = True,
    repair_quotes: bool = True,
    output_delimiter: str = ",",
    layout: bool = True,
    comment: str | None = None,
) -> Report:
    """Rescues a damaged CSV file.

    Writes every record that can be saved to `output` (RFC 4180: `output_delimiter`, double
    quotes where needed, LF line ends, UTF-8) and, when `quarantine` is given, the records set
    aside to it as `first_line,last_line,reason,raw`. Both are written as unnamed files beside
    their targets and put in place together when complete (a device, a FIFO or /dev/stdout is
    written straight into). A path naming the file of another (the source, the output) is an
    OSError naming it, raised before anything is opened; the source is only read.

    What is not given is left to `detect`: the delimiter, the quote, a backslash escape (only
    when the file shows escaped quotes), the lines before the table (`skip_rows`), whether and
    how many lines the header spans, and where the table ends (totals, notes, a second table).
    Anything given wins. The layout found by `detect` is used only when its delimiter is the
    one used. Preamble, further header lines and lines after the table are neither rows nor
    quarantined: `Report.skipped_lines` lists them and `Report.warnings` quotes them; so are
    the header's line repeated inside the table (exports put one after the other; for a header
    of two names or more) and, with `comment` (one character), every line that starts with it,
    inside the table or not, its quotes opening nothing. A header that detect found spread over
    several lines is named by their names joined. `layout=False` looks for none of these: every
    line is a row, or the header, comment lines aside. Every choice left to detection that
    changes the rows is in `Report.guesses`, with its confidence, and in a sentence in
    `Report.warnings`.

    >>> report = rescue("export.csv", "clean.csv", "quarantine.csv")  # doctest: +SKIP
    >>> report.good_rows, report.repairs[:1]  # doctest: +SKIP
    """
    src = _args.path(source, "source")
    out = _args.path(output, "output")
    qpath = None if quarantine is None else _args.path(quarantine, "quarantine")
    chosen = _table.choices(delimiter, quote_char, escape_char, encoding, header, skip_rows,
                            expected_columns, layout=layout, comment=comment)
    codec = chosen.codec
    flags = {
        name: _args.flag(value, name)
        for name, value in (
            ("skip_blank_lines", skip_blank_lines),
            ("fill_ragged_rows", fill_ragged_rows),
            ("merge_overflow", merge_overflow),
            ("repair_quotes", repair_quotes),
        )
    }
    out_delim = _args.char(output_delimiter, "output_delimiter")
    if out_delim == '"':
        raise ValueError("output_delimiter cannot be the double quote, which the output quotes with")
    check_paths(("source", src), ("output", out), ("quarantine", qpath))

    table, count = _table.settle_choices(src, chosen)
    delim, quote, escape = table.delimiter, table.quote_char, table.escape_char
    with open_utf8(src, codec, engine_recodes=True) as text:
        buffer = text.buffer
        info = text.info
        where = _table.span(buffer, table)
        # No quoting: a byte the table lacks serves as the quote, so no field ever opens one.
        quote_byte = ord(quote) if quote is not None else absent_byte(
            buffer, where.begin, where.end)
        if quote_byte is None:
            raise ValueError("quote_char=None needs a control byte that the file lacks; "
                             "every one of them occurs in it")
        # A mostly UTF-8 file handed over as it is: the engine reads its stray bytes as
        # Windows-1252 and counts them, with no rewritten copy of the file.
        recode = info.engine_recodes
        if delim is None:
            delim = chr(_native.sniff(buffer))
            if delim == quote:
                raise ValueError(
                    f"the detected delimiter {delim!r} is the quote character; "
                    "pass delimiter= or another quote_char="
                )
            _args.distinct(delim, quote, escape)
        with contextlib.ExitStack() as pending:
            source_fd, source_offset = pending.enter_context(file_behind(src, buffer, info))
            clean = pending.enter_context(OutputFile(out))
            rest = None if qpath is None else pending.enter_context(OutputFile(qpath))
            result = _native.rescue(
                buffer,
                out_fd=clean.fd,
                quarantine_fd=-1 if rest is None else rest.fd,
                out_path=out,
                quarantine_path=qpath,
                delimiter=ord(delim),
                quote=quote_byte,
                escape=-1 if escape is None else ord(escape),
                header=table.header,
                expected_columns=-1 if count is None else count,
                skip_blank_lines=flags["skip_blank_lines"],
                fill_ragged_rows=flags["fill_ragged_rows"],
                merge_overflow=flags["merge_overflow"],
                repair_quotes=flags["repair_quotes"],
                output_delimiter=ord(out_delim),
                long_quoted_lines=LONG_QUOTED_LINES,
                recode_cp1252=recode,
                source_fd=source_fd,
                source_offset=source_offset,
                begin=where.begin,
                end=where.end,
                first_line=where.first_line,
                header_rows=table.header_rows,
                skip_initial_space=table.skip_initial_space,
                **_table.native_arguments(table),
            )
            seen = left_out_and_guessed(buffer, table, where, result, info)
            text.check_unchanged()  # after the last read of the source, before any commit
            commit(clean, rest)

    repairs = RepairList(result["repairs"])
    return Report(
        total_rows=result["total_rows"],
        good_rows=result["good_rows"],
        repaired_rows=result["repaired_rows"],
        quarantined_rows=result["quarantined_rows"],
        blank_lines=result["blank_lines"],
        delimiter=delim,
        quote_char=quote,
        encoding=info.encoding,
        columns=result["columns"],
        header=None if result["header"] is None else tuple(result["header"]),
        repairs=repairs,
        replaced_bytes=result["replaced_bytes"] + info.replaced_bytes,
        recoded_bytes=info.recoded_bytes + result["recoded_bytes"],
        escape_char=escape,
        **seen,
    )


def left_out_and_guessed(buf: Any, table: _table.Table, where: _table.Span, result: dict,
                         info: Any) -> dict[str, Any]:
    """The report's fields on the lines left out, the guesses and the warnings, read from the
    text (before it is checked unchanged)."""
    skipped = _table.skipped(buf, table, where, result)
    texts = _table.samples(buf, skipped)
    guessed = _table.guesses(table, result)
    encoding = ([Decision("encoding", info.encoding, info.confidence, (info.evidence,))]
                if info.warning else [])
    return {
        "warnings": tuple(_warnings(result, info) + _table.warnings(table, skipped, texts, guessed)),
        "skipped_lines": tuple(g.lines for g in skipped),
        "encoding_confidence": info.confidence,
        "skipped_text": tuple(t or "" for t in texts),
        "guesses": tuple(encoding + guessed),
    }


def _bytes(n: int) -> str:
    return "1 byte" if n == 1 else f"{n} bytes"


def _lines(lines: tuple[int, ...] | list[int]) -> str:
    """'line 4' or 'lines 4, 9, 12'."""
    shown = ", ".join(str(n) for n in lines[:LISTED])
    return f"line {shown}" if len(lines) == 1 else f"lines {shown}"


def _warnings(result: dict, info: object) -> list[str]:
    guessed = getattr(info, "warning", None)  # the encoding, when it is a guess
    warnings = [guessed] if guessed else []
    recoded = getattr(info, "recoded_bytes", 0)
    replaced = getattr(info, "replaced_bytes", 0)
    first = _lines(getattr(info, "first_lines", ()))
    if recoded:
        warnings.append(
            f"{_bytes(recoded)} of non-UTF-8 text read as Windows-1252 (first on {first})."
        )
    if result["recoded_bytes"]:
        warnings.append(
            f"{_bytes(result['recoded_bytes'])} of non-UTF-8 text read as Windows-1252 "
            f"(first on {_lines(result['recoded_lines'])})."
        )
    if replaced:
        warnings.append(
            f"{_bytes(replaced)} could not be decoded as {info.encoding} and became U+FFFD "  # type: ignore[attr-defined]
            f"(first on {first})."
        )
    if result["replaced_bytes"]:
        warnings.append(
            f"{_bytes(result['replaced_bytes'])} of invalid UTF-8 became U+FFFD "
            f"(first on {_lines(result['replaced_lines'])})."
        )
    for line in result["reread_lines"]:
        warnings.append(
            f"The quote opening a field on line {line} is never closed; "
            "it was read again as text, so the records after it were kept."
        )
    for line in result["stray_quote_lines"]:
        warnings.append(
            f"The quote opening a field on line {line} would have merged the lines after it into "
            "one record of the wrong width; it was read as text, so the line keeps its record."
        )
    if result["literal_quotes"]:
        n = result["literal_quotes"]
        fields = "1 quoted field has" if n == 1 else f"{n} quoted fields have"
        warnings.append(
            f"{fields} more text after the closing quote (first on "
            f"{_lines(result['literal_quote_lines'])}); the quotes were kept as text."
        )
    for line in result["long_quote_lines"]:
        warnings.append(
            f"A quoted field starting on line {line} spans more than {LONG_QUOTED_LINES} lines; "
            "check that its quotes are balanced."
        )
    if result["long_quotes"] > len(result["long_quote_lines"]):
        more = result["long_quotes"] - len(result["long_quote_lines"])
        warnings.append(f"{more} more quoted fields span more than {LONG_QUOTED_LINES} lines.")
    return warnings
