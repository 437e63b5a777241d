"""read_batches(): rescued rows as a stream of Arrow record batches, through the Arrow PyCapsule
interface, so that pyarrow, polars, DuckDB and pandas take them without a clean file in between."""

from __future__ import annotations

import dataclasses
import os
from collections.abc import Mapping
from typing import Any

from typing import Literal

from . import _native
from ._call.progress import PassReporter, ProgressCallable, Reporter, source_size
from ._call import args as _args, table as _table
from ._call.options import SharedOptions, text_dialect
from ._call.reporting import left_out_and_guessed, make_report, pass_arguments as pass_settings
from ._encoding import check_unchanged, open_utf8
from ._files.inputs import refuse_compressed
from ._files.outputs import OutputFile, check_paths
from ._report import CellError, Report


class RecordBatches:
    """The rows of a rescue as Arrow record batches: one string column per column of the clean
    file, named from its header (``column_1``… without one).

    The stream (``__arrow_c_stream__``) can be taken once; it is produced as it is read, in
    bounded memory. ``report`` is there once the stream has been read to its end.
    """

    __slots__ = ("_handle", "_dialect", "_layout", "_names", "_pass", "_types", "_typed", "_raised",
                 "__weakref__")

    def __init__(self, handle: Any, dialect: tuple[str, str | None, Any],
                 layout: tuple[Any, Any, Any, str | None], pass_arguments: dict[str, Any] | None = None,
                 types: Any = None) -> None:
        self._handle = handle
        self._dialect = dialect
        self._layout = layout
        self._names: list[str] | None = None
        self._pass = pass_arguments or {}
        self._types = types  # None, "infer" or a dict of ColumnType
        self._typed: Any = None  # (TypedBatches, pyarrow reader) once the stream is taken
        self._raised: list[BaseException] = []  # what the progress callable stopped the pass with

    @property
    def column_names(self) -> list[str]:
        if self._names is None:
            try:
                self._names = _native.batches_names(self._handle)
            except OSError:
                check_unchanged(self._layout[0])  # a source cut short: say so, with its name
                raise
        return list(self._names)

    @property
    def schema(self) -> Any:
        """The pyarrow schema (needs pyarrow)."""
        pa = import_extra("pyarrow", "arrow")
        return pa.schema(self)

    def __arrow_c_schema__(self) -> Any:
        if self._types is not None:
            return self._typed_reader().schema.__arrow_c_schema__()
        return _native.batches_schema(self._handle)

    def __arrow_c_stream__(self, requested_schema: Any = None) -> Any:
        if self._types is not None:
            return self._typed_reader().__arrow_c_stream__(requested_schema)
        return _native.batches_stream(self._handle, requested_schema)

    def _typed_reader(self) -> Any:
        """A pyarrow reader of the typed batches, made once: the types are settled from the
        first batch (read ahead here), so every batch has the same schema."""
        if self._typed is None:
            pa = import_extra("pyarrow", "arrow")
            from ._typed_columns import TypedBatches

            given = None if self._types == "infer" else self._types
            typed = TypedBatches(given, self._types == "infer", self._dialect[0])
            text = pa.RecordBatchReader.from_stream(_TextStream(self._handle))
            try:
                first = text.read_next_batch()
            except StopIteration:
                first = None
            schema = typed.settle(text.schema, first)

            def batches() -> Any:
                if first is not None:
                    yield typed.convert(first)
                for batch in text:
                    yield typed.convert(batch)

            self._typed = (typed, pa.RecordBatchReader.from_batches(schema, batches()))
        return self._typed[1]

    @property
    def report(self) -> Report:
        whole, table, where, escape = self._layout
        if self._raised:
            raise self._raised[0]
        try:
            result = _native.batches_result(self._handle)
        except OSError:
            check_unchanged(whole)  # a source cut short: say so, with its name
            raise
        if result is None:
            raise RuntimeError("the report is ready once the stream has been read to its end")
        delim, quote, info = self._dialect
        seen = left_out_and_guessed(whole, table, where, result, info)
        check_unchanged(whole)  # what the skipped lines' texts were read from was the file
        report = make_report(result, delim, quote, escape, info, seen)
        typed = None if self._typed is None else self._typed[0]
        if typed is not None and typed.failures:
            if typed.errors is None:  # found once: it takes a pass over the file
                typed.errors = self._cell_errors(typed.failures)
            report = dataclasses.replace(report, cell_errors=typed.errors)
        return report

    def _cell_errors(self, failures: list[Any]) -> tuple[CellError, ...]:
        """The failures by line. The stream knows rows, not lines, so the file is read once more
        by the same pass with the same options, which traces each row's lines (16 bytes a row)
        into the null device: only for a run with a cell that failed."""
        whole, table, where, escape = self._layout
        fd = os.open(os.devnull, os.O_WRONLY | os.O_CLOEXEC)
        try:
            result = _native.rescue(
                whole, out_fd=fd, quarantine_fd=-1, out_path=os.devnull, quarantine_path=None,
                output_delimiter=ord(","), source_fd=-1, source_offset=0, begin=where.begin,
                end=where.end, trace_rows=True, **self._pass,
            )
        finally:
            os.close(fd)
        check_unchanged(whole)
        lines = memoryview(result["row_lines"]).cast("Q")
        return tuple(CellError(lines[2 * f.row], f.column, f.value, f.expected) for f in failures)

    def _failure(self) -> OSError | None:
        """The OSError the stream ended with, if it failed."""
        try:
            _native.batches_result(self._handle)
        except OSError as e:
            return e
        return None

    def __repr__(self) -> str:
        return f"<csv_quorle.RecordBatches delimiter={self._dialect[0]!r}>"


class _TextStream:
    """The native stream of text batches, for pyarrow to take."""

    __slots__ = ("_handle",)

    def __init__(self, handle: Any) -> None:
        self._handle = handle

    def __arrow_c_stream__(self, requested_schema: Any = None) -> Any:
        return _native.batches_stream(self._handle, requested_schema)


def import_extra(module: str, extra: str) -> Any:
    try:
        return __import__(module)
    except ImportError as e:
        raise ImportError(
            f"{module} is needed for this; install it with: pip install 'csv-quorle[{extra}]'"
        ) from e


def read_batches(
    source: _args.PathArg,
    *,
    batch_rows: int = 65536,
    quarantine: _args.PathArg | OutputFile | None = None,
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
    null_padding: bool = False,
    layout: bool = True,
    comment: str | None = None,
    types: Literal["infer"] | Mapping[str, Any] | None = None,
    threads: int | None = None,
    progress: ProgressCallable | None = None,
) -> RecordBatches:
    """Rescues `source` into Arrow record batches of at most `batch_rows` rows.

    The options are rescue()'s. Values are the fields of the clean file rescue() would write, all
    text; a padded field is "" (a null with `null_padding=True`). Records set aside go to
    `quarantine`, which appears when the stream has been read to its end (a device or a FIFO
    is written straight into); it naming the source is an OSError, raised at once. The rows
    come in the file's order whatever the number of `threads`.

    `types` (needs pyarrow) casts the columns: "infer" gives int64, float64, bool, date32,
    timestamp (tz-aware UTC when the text has offsets) or decimal128 to each column every
    non-empty cell of the first batch fits (decimal commas and thousands separators included
    when all its cells write them alike), text otherwise; a dict gives them by column name
    (the rest stay text). The schema is the same for every batch: a later cell that does not
    fit is null, listed in `report.cell_errors` with its line. Empty cells are null.

    `progress` is rescue()'s, called from the pass's own thread as the stream is read. An
    exception it raises fails the stream (no quarantine is kept) and `report` raises it.

    >>> import pyarrow as pa  # doctest: +SKIP
    >>> table = pa.table(read_batches("export.csv"))  # doctest: +SKIP
    """
    src = _args.path(source, "source")
    # An OutputFile is a writer's (write_parquet): it commits it together with its own output.
    held = quarantine if isinstance(quarantine, OutputFile) else None
    qpath = held.path if held is not None else (
        None if quarantine is None else _args.path(quarantine, "quarantine"))
    if isinstance(batch_rows, bool) or not isinstance(batch_rows, int):
        raise TypeError("batch_rows must be an int")
    if batch_rows < 1:
        raise ValueError("batch_rows must be at least 1")
    shared = SharedOptions(
        delimiter=delimiter, quote_char=quote_char, escape_char=escape_char, encoding=encoding,
        header=header, skip_rows=skip_rows, expected_columns=expected_columns,
        skip_blank_lines=skip_blank_lines, fill_ragged_rows=fill_ragged_rows,
        merge_overflow=merge_overflow, repair_quotes=repair_quotes, layout=layout, comment=comment,
    )
    from ._typed_columns import check_types  # it imports import_extra from here

    checked_types = check_types(types)
    chosen, flags = shared.check(_args.ARROW_COLUMN_BYTES, null_padding=null_padding)
    parallel = _args.threads(threads)
    codec = chosen.codec
    check_paths(("source", src), ("quarantine", qpath))
    refuse_compressed(src)

    table, count = _table.settle_choices(src, chosen)
    delim, quote, escape = table.delimiter, table.quote_char, table.escape_char
    # The text stays mapped as long as the stream holds its buffer, whoever holds the stream.
    text = open_utf8(src, codec, engine_recodes=True)
    whole, info = text.buffer, text.info
    where = _table.span(whole, table)
    buffer = whole[where.begin : where.end]  # the table's lines only, without a copy
    delim, quote_byte = text_dialect(whole, where, table, buffer)
    # What the pass takes besides its input and outputs: the stream's, and once more the
    # trace of the rows' lines that cell errors are told by.
    pass_arguments = pass_settings(table, count, flags, delim, quote_byte, info.engine_recodes,
                                   where.first_line)
    told = None
    if progress is not None:
        told = PassReporter(Reporter(progress, where.begin, len(whole), source_size(src)), len(buffer))
    rest = held if held is not None else None if qpath is None else OutputFile(qpath)
    committed_here = rest is not None and held is None
    try:
        # The stream gets a descriptor of its own (closed by it whatever happens), so this
        # one is closed here whatever happens too.
        handle = _native.open_batches(
            buffer,
            batch_rows=batch_rows,
            null_padding=flags["null_padding"],
            mapped=text.mapped,
            quarantine_fd=-1 if rest is None else os.dup(rest.fd),
            quarantine_temporary=os.fsencode(rest.temporary or "") if committed_here else b"",
            quarantine_target=b"" if not committed_here or rest.straight else os.fsencode(rest.target),
            quarantine_name=b"" if rest is None else os.fsencode(rest.path),
            progress=told,
            **pass_arguments,
            **parallel,
        )
    except BaseException:
        if committed_here:
            rest.abort()
        raise
    if committed_here:
        os.close(rest.fd)
        rest.release()  # the stream's now: put in place when it ends, dropped if abandoned
    batches = RecordBatches(handle, (delim, quote, info), (whole, table, where, escape),
                            pass_arguments, checked_types)
    batches._raised = [] if told is None else told.raised
    return batches
