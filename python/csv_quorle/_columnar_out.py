"""write_parquet(), write_ipc(): the rescued rows written batch by batch (one Parquet row group
or IPC record batch each, never the whole table in memory) into a file put in place only when
complete, with the quarantine and the report of rescue()."""

from __future__ import annotations

import contextlib
import errno
import os
import stat
from collections.abc import Callable
from typing import Any

from ._call import args as _args
from ._files.outputs import OutputFile, check_paths, commit
from ._record_batches import import_extra, read_batches
from ._report import Report

COLUMNAR_SUFFIXES = {".parquet": "parquet", ".arrow": "ipc", ".feather": "ipc", ".ipc": "ipc"}


def _refuse_special(path: str | bytes) -> None:
    """A columnar file is written only to a regular file (or a new one): a device or a FIFO
    would get a file that cannot be taken back when the rescue fails half-way."""
    try:
        st = os.stat(path)
    except FileNotFoundError:
        return
    if stat.S_ISDIR(st.st_mode):
        raise IsADirectoryError(errno.EISDIR, os.strerror(errno.EISDIR), path)
    if not stat.S_ISREG(st.st_mode):
        raise OSError(errno.EINVAL, "a Parquet or Arrow file is written only to a regular file", path)


def _write(source: _args.PathArg, output: _args.PathArg, quarantine: _args.PathArg | None,
           options: dict[str, Any], open_writer: Callable[[Any, Any], Any]) -> Report:
    pa = import_extra("pyarrow", "arrow")
    src = _args.path(source, "source")
    out = _args.path(output, "output")
    qpath = None if quarantine is None else _args.path(quarantine, "quarantine")
    check_paths(("source", src), ("output", out), ("quarantine", qpath))
    _refuse_special(out)
    with contextlib.ExitStack() as pending:
        target = pending.enter_context(OutputFile(out))
        rest = None if qpath is None else pending.enter_context(OutputFile(qpath))
        batches = read_batches(src, quarantine=rest, **options)
        try:
            with open(os.dup(target.fd), "wb") as sink:
                reader = pa.RecordBatchReader.from_stream(batches)
                writer = open_writer(sink, reader.schema)
                try:
                    for batch in reader:
                        writer.write_batch(batch)
                except BaseException:
                    # Closed while its file is open, not later by the collector; the file is
                    # dropped anyway.
                    with contextlib.suppress(Exception):
                        writer.close()
                    raise
                writer.close()
        except Exception:
            own = batches._failure()  # the stream's own OSError, naming its file
            if own is None:
                raise
            raise own from None
        report = batches.report
        commit(target, rest)  # together, as rescue() puts its outputs in place
    return report


def write_parquet(source: _args.PathArg, output: _args.PathArg,
                  quarantine: _args.PathArg | None = None, *, compression: str | None = "snappy",
                  **options: Any) -> Report:
    """Rescues `source` into the Parquet file `output`, one row group per batch of
    `batch_rows` rows; `quarantine` and the report as for rescue(). `options` are
    read_batches()'s (`types="infer"` for typed columns; cells that do not fit are in
    `Report.cell_errors`). Needs pyarrow.

    `output` and `quarantine` are written beside their targets and put in place together when
    complete; a failure or Ctrl-C leaves neither. A device or a FIFO is refused, as is an output naming the source."""
    import_extra("pyarrow", "arrow")
    import pyarrow.parquet as pq

    def open_writer(sink: Any, schema: Any) -> Any:
        return pq.ParquetWriter(sink, schema, compression=compression or "none")

    return _write(source, output, quarantine, options, open_writer)


def write_ipc(source: _args.PathArg, output: _args.PathArg,
              quarantine: _args.PathArg | None = None, *, compression: str | None = None,
              **options: Any) -> Report:
    """Rescues `source` into the Arrow IPC file (Feather version 2) `output`, batch by batch;
    otherwise as write_parquet(). `compression` is None, "lz4" or "zstd"."""
    pa = import_extra("pyarrow", "arrow")

    def open_writer(sink: Any, schema: Any) -> Any:
        return pa.ipc.new_file(sink, schema, options=pa.ipc.IpcWriteOptions(compression=compression))

    return _write(source, output, quarantine, options, open_writer)


def write_columnar(source: _args.PathArg, output: _args.PathArg,
                   quarantine: _args.PathArg | None = None, **options: Any) -> Report:
    """write_parquet() or write_ipc(), by the suffix of `output`."""
    kind = COLUMNAR_SUFFIXES.get(os.path.splitext(os.fsdecode(_args.path(output, "output")))[1].lower())
    if kind is None:
        raise ValueError(f"no columnar format for {os.fsdecode(output)!r}: .parquet, .arrow or .feather")
    writer = write_parquet if kind == "parquet" else write_ipc
    return writer(source, output, quarantine, **options)
