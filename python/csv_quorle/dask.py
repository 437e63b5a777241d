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

__all__ = ["read_csv", "rescue_many"]


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


def read_csv(paths_or_glob: str | os.PathLike[str] | Sequence[str | os.PathLike[str]], **options: Any):
    """The rescued rows of every file as one lazy `dask.dataframe.DataFrame`, a partition per file,
    every column a string column. `options` are those of `csv_quorle.rescue`; the column names are
    the header of the first file (`column_1`… without one)."""
    _require_dask("read_csv")
    import dask.dataframe as dd

    check_options(options)
    paths = _expand(paths_or_glob)
    return dd.from_map(rescued_frame, paths, options=options, label="csv-quorle-read-csv")
