"""rescue(): a damaged CSV file in, a clean one, a quarantine file and a report out."""

from __future__ import annotations

import contextlib

from typing import Literal

from . import _native
from ._call import args as _args, table as _table
from ._call.progress import ProgressCallable, Reporter, source_size
from ._call.byte_order_mark import write_bom
from ._call.options import SharedOptions, text_dialect
from ._call.reporting import left_out_and_guessed, make_report, pass_arguments
from ._encoding import open_utf8
from ._files.inputs import refuse_compressed
from ._files.outputs import OutputFile, commit, check_paths
from ._files.source import file_behind
from ._report import Report


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
    bom: bool = False,
    threads: int | None = None,
    progress: ProgressCallable | None = None,
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

    `bom=True` starts the clean output and the quarantine with a UTF-8 byte-order mark, which
    spreadsheets need to read the text as UTF-8.

    `threads` threads read the file (None: one a core; 1: the calling thread alone), with the
    same outcome whatever their number.

    `progress`, a callable, is called as `progress(done, total)` with the source's bytes done,
    from the pass, at most every 100 ms and once more at the end with `done == total` (with
    more than one thread, as each part of 16 MB is put in order). For a
    pipe or a device (standard input) `total` is None and `done` counts bytes read. An exception
    it raises stops the rescue: no output is kept and the exception reaches the caller.

    >>> report = rescue("export.csv", "clean.csv", "quarantine.csv")  # doctest: +SKIP
    >>> report.good_rows, report.repairs[:1]  # doctest: +SKIP
    """
    src = _args.path(source, "source")
    out = _args.path(output, "output")
    qpath = None if quarantine is None else _args.path(quarantine, "quarantine")
    shared = SharedOptions(
        delimiter=delimiter, quote_char=quote_char, escape_char=escape_char, encoding=encoding,
        header=header, skip_rows=skip_rows, expected_columns=expected_columns,
        skip_blank_lines=skip_blank_lines, fill_ragged_rows=fill_ragged_rows,
        merge_overflow=merge_overflow, repair_quotes=repair_quotes, layout=layout, comment=comment,
    )
    chosen, flags = shared.check(_args.PADDED_FIELD_BYTES)
    parallel = _args.threads(threads)
    codec = chosen.codec
    out_delim = _args.char(output_delimiter, "output_delimiter")
    if out_delim == '"':
        raise ValueError("output_delimiter cannot be the double quote, which the output quotes with")
    with_bom = _args.flag(bom, "bom")
    check_paths(("source", src), ("output", out), ("quarantine", qpath))
    refuse_compressed(src)

    table, count = _table.settle_choices(src, chosen)
    delim, quote, escape = table.delimiter, table.quote_char, table.escape_char
    with open_utf8(src, codec, engine_recodes=True) as text:
        buffer = text.buffer
        info = text.info
        where = _table.span(buffer, table)
        reporter = None
        if progress is not None:
            reporter = Reporter(progress, where.begin, len(buffer), source_size(src))
        delim, quote_byte = text_dialect(buffer, where, table, buffer)
        # A mostly UTF-8 file handed over as it is: the engine reads its stray bytes as
        # Windows-1252 and counts them, with no rewritten copy of the file.
        recode = info.engine_recodes
        with contextlib.ExitStack() as pending:
            source_fd, source_offset = pending.enter_context(file_behind(src, buffer, info))
            clean = pending.enter_context(OutputFile(out))
            rest = None if qpath is None else pending.enter_context(OutputFile(qpath))
            if with_bom:
                write_bom(clean.fd, out)
                if rest is not None:
                    write_bom(rest.fd, qpath)
            result = _native.rescue(
                buffer,
                out_fd=clean.fd,
                quarantine_fd=-1 if rest is None else rest.fd,
                out_path=out,
                quarantine_path=qpath,
                output_delimiter=ord(out_delim),
                source_fd=source_fd,
                source_offset=source_offset,
                begin=where.begin,
                end=where.end,
                progress=None if reporter is None else reporter.offset,
                **pass_arguments(table, count, flags, delim, quote_byte, recode, where.first_line),
                **parallel,
            )
            if reporter is not None:
                reporter.finish()  # before the commit: an exception here still keeps nothing
            seen = left_out_and_guessed(buffer, table, where, result, info)
            text.check_unchanged()  # after the last read of the source, before any commit
            commit(clean, rest)

    return make_report(result, delim, quote, escape, info, seen)
