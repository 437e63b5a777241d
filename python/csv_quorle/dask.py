"""More than one machine: the same rescues on a `dask.distributed` cluster, and the rescued rows of
many files as one lazy Dask DataFrame.

Dask is optional: `pip install 'csv-quorle[dask]'`. The paths must name the same files on every
worker (a shared file system), as for Dask's own readers."""

from __future__ import annotations

import glob
import os
from collections.abc import Callable, Iterable, Sequence
from typing import Any

from ._many_files import FileResult, check_options, file_groups, make_dirs, make_jobs, run_file_group
from ._report import Report

__all__ = ["read_csv", "reports_frame", "rescue_many"]


def _require_dask(what: str):
    try:
        import dask.dataframe  # noqa: F401
        import distributed
    except ImportError as exc:
        raise ModuleNotFoundError(
            f"csv_quorle.dask.{what} needs Dask ({exc.name} is missing): pip install 'csv-quorle[dask]'",
            name=exc.name,
        ) from None
    return distributed


def rescue_many(
    sources: Iterable[str | os.PathLike[str]],
    out_dir: str | os.PathLike[str],
    *,
    quarantine_dir: str | os.PathLike[str] | None = None,
    client: Any = None,
    progress: Callable[[FileResult], None] | None = None,
    **options: Any,
) -> list[FileResult]:
    """`csv_quorle.rescue_many` with the files spread over the workers of a Dask `client` (the
    current one when not given). The same output names, the same results; a worker that dies
    fails only the files Dask could not finish elsewhere."""
    distributed = _require_dask("rescue_many")
    if client is None:
        client = distributed.get_client()
    check_options(options)
    make_dirs(out_dir, quarantine_dir)
    jobs = make_jobs(sources, out_dir, quarantine_dir, options)
    if not jobs:
        return []
    slots = sum(client.nthreads().values())
    groups = file_groups(list(enumerate(jobs)), slots)
    futures = client.map(run_file_group, [[job for _, job in group] for group in groups], pure=False)
    indices = {future.key: [i for i, _ in group] for future, group in zip(futures, groups)}
    results: list[FileResult | None] = [None] * len(jobs)
    # Results are fetched as they finish, several futures at a time: one round trip each, not per file.
    for finished in distributed.as_completed(futures).batches():
        for future, outcome in _gather(client, finished):
            for n, i in enumerate(indices[future.key]):
                if isinstance(outcome, list):
                    result = outcome[n]
                else:  # the task itself failed (a worker died each time it ran it) or was cancelled
                    result = jobs[i].failed(outcome)
                results[i] = result
                if progress is not None:
                    progress(result)
    return results  # type: ignore[return-value]


def _gather(client: Any, finished: list[Any]) -> list[tuple[Any, Any]]:
    """(future, FileResult or the exception that failed its task) for each future of `finished`."""
    done = [f for f in finished if f.status == "finished"]
    outcomes = dict(zip(done, client.gather(done, errors="skip"))) if done else {}
    pairs = []
    for future in finished:
        if future in outcomes:
            pairs.append((future, outcomes[future]))
        else:
            try:
                exc = future.exception()
            except Exception as cancelled:  # CancelledError
                exc = cancelled
            pairs.append((future, exc))
    return pairs


def _expand(paths_or_glob: str | os.PathLike[str] | Sequence[str | os.PathLike[str]]) -> list[str]:
    items = [paths_or_glob] if isinstance(paths_or_glob, (str, bytes, os.PathLike)) else list(paths_or_glob)
    paths: list[str] = []
    for item in items:
        item = os.fsdecode(os.fspath(item))
        if glob.has_magic(item):
            matched = sorted(glob.glob(item))
            if not matched:
                raise FileNotFoundError(2, "no file matches", item)
            paths.extend(matched)
        else:
            paths.append(item)
    if not paths:
        raise ValueError("read_csv needs at least one path")
    return paths


def rescued_frame(path: str, options: dict[str, Any]):
    """The rescued rows of one file as a pandas DataFrame of strings: one partition, built from
    the Arrow batches of the rescue, with no clean file in between."""
    import tempfile

    from ._arrow import read_arrow
    from ._files.inputs import plain_input

    # Partitions run side by side on the workers: each file on one thread unless the caller says.
    options = {"threads": 1, **{k: v for k, v in options.items() if k != "output_delimiter"}}
    with tempfile.TemporaryDirectory(prefix="csv-quorle-") as tmp, \
            plain_input(path, tmp, options) as plain:
        return read_arrow(plain, **options).to_pandas()


def rescued_frame_and_report(path: str, options: dict[str, Any]) -> tuple[Any, Report]:
    """rescued_frame() and the report of the same rescue, read once."""
    import tempfile

    from ._arrow import _consume
    from ._files.inputs import plain_input
    from ._record_batches import import_extra, read_batches

    pa = import_extra("pyarrow", "arrow")
    options = {k: v for k, v in options.items() if k != "output_delimiter"}
    with tempfile.TemporaryDirectory(prefix="csv-quorle-") as tmp, \
            plain_input(path, tmp, options) as plain:
        batches = read_batches(plain, **options)
        table = _consume(batches, lambda b: pa.RecordBatchReader.from_stream(b).read_all())
        return table.to_pandas(), batches.report


def read_csv(paths_or_glob: str | os.PathLike[str] | Sequence[str | os.PathLike[str]], *,
             reports: bool = False, **options: Any):
    """The rescued rows of every file as one lazy `dask.dataframe.DataFrame`, a partition per file,
    every column a string column. `options` are those of `csv_quorle.rescue`; the column names are
    the header of the first file (`column_1`… without one).

    With `reports=True`, `(frame, reports)`: `reports` is a `dask.delayed` list of each file's
    `Report`, in the order of the paths, made by the very tasks that make the partitions. Compute
    the two together (`dask.compute(frame, reports)`, or `dask.persist`) to read each file once;
    computing them one after the other reads every file twice."""
    _require_dask("read_csv")
    import dask.dataframe as dd

    check_options(options)
    paths = _expand(paths_or_glob)
    if not reports:
        return dd.from_map(rescued_frame, paths, options=options, label="csv-quorle-read-csv")
    return _frame_and_reports(paths, options)


def _frame_and_reports(paths: list[str], options: dict[str, Any]):
    """One task per file returning (partition, report); the frame and the report list each take
    their half of every task's result, so a graph holding both runs each task once."""
    import operator

    import dask
    import dask.dataframe as dd
    from dask.dataframe.utils import pyarrow_strings_enabled

    read = dask.delayed(rescued_frame_and_report, pure=True)
    pieces = [read(path, options) for path in paths]
    # from_map turns str columns into pyarrow strings when Dask is set so; from_delayed does not
    partition = dask.delayed(_partition_of, pure=True)
    frame = dd.from_delayed([partition(p, pyarrow_strings_enabled()) for p in pieces],
                            prefix="csv-quorle-read-csv-frame", verify_meta=False)  # as from_map
    reports = dask.delayed(list, pure=True)([dask.delayed(operator.getitem, pure=True)(p, 1) for p in pieces])
    return frame, reports


def _partition_of(piece: tuple[Any, Report], pyarrow_strings: bool):
    import pandas as pd

    frame = piece[0]
    return frame.astype(pd.StringDtype("pyarrow")) if pyarrow_strings else frame


REPORT_COLUMNS = ("path", "rows", "good", "quarantined", "repaired", "blank", "encoding", "warnings")


def reports_frame(reports: Sequence[Report],
                  paths_or_glob: str | os.PathLike[str] | Sequence[str | os.PathLike[str]]):
    """A pandas DataFrame of one row a file from the computed reports of `read_csv(...,
    reports=True)` and the same paths or glob: path, rows (total), good, quarantined, repaired,
    blank (lines), encoding and the number of warnings."""
    import pandas as pd

    paths = _expand(paths_or_glob)
    if len(paths) != len(reports):
        raise ValueError(f"{len(reports)} reports for {len(paths)} paths: the glob no longer matches the same files")
    rows = [(path, r.total_rows, r.good_rows, r.quarantined_rows, r.repaired_rows, r.blank_lines, r.encoding,
             len(r.warnings)) for path, r in zip(paths, reports)]
    return pd.DataFrame(rows, columns=list(REPORT_COLUMNS))
