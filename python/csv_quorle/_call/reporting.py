"""The report of one call, rescue()'s or read_batches()'s: the engine's counts and repairs, the
lines left out, the guesses, and a sentence for each thing a reader should check."""

from __future__ import annotations

from typing import Any

from .._dialect import Decision
from .._report import RepairList, Report
from . import table as _table

LONG_QUOTED_LINES = 100  # a quoted field spanning more line breaks is worth a warning
LISTED = 10  # line numbers listed in one warning


def make_report(result: dict, delimiter: str, quote: str | None, escape: str | None, info: Any,
           seen: dict[str, Any]) -> Report:
    """The Report of a finished pass: `result` from the engine, `info` from the encoding step,
    `seen` from `left_out_and_guessed`."""
    return Report(
        total_rows=result["total_rows"],
        good_rows=result["good_rows"],
        repaired_rows=result["repaired_rows"],
        quarantined_rows=result["quarantined_rows"],
        blank_lines=result["blank_lines"],
        delimiter=delimiter,
        quote_char=quote,
        encoding=info.encoding,
        columns=result["columns"],
        header=None if result["header"] is None else tuple(result["header"]),
        repairs=RepairList(result["repairs"]),
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


def pass_arguments(table: Any, count: int | None, flags: dict[str, bool], delimiter: str,
                   quote_byte: int, recode: bool, first_line: int) -> dict[str, Any]:
    """The native pass's settings for a settled table, shared by rescue() and read_batches()."""
    escape = table.escape_char
    return dict(
        delimiter=ord(delimiter),
        quote=quote_byte,
        escape=-1 if escape is None else ord(escape),
        header=table.header,
        expected_columns=-1 if count is None else count,
        skip_blank_lines=flags["skip_blank_lines"],
        fill_ragged_rows=flags["fill_ragged_rows"],
        merge_overflow=flags["merge_overflow"],
        repair_quotes=flags["repair_quotes"],
        long_quoted_lines=LONG_QUOTED_LINES,
        recode_cp1252=recode,
        first_line=first_line,
        header_rows=table.header_rows,
        skip_initial_space=table.skip_initial_space,
        **_table.native_arguments(table),
    )
