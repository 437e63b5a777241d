"""Rescuing many files at once on a pool of processes: one result per file, and one bad file never
stops the others."""

from __future__ import annotations

import contextlib
import dataclasses
import errno
import functools
import inspect
import os
import stat
import sys
from collections.abc import Callable, Iterable, Iterator, Sequence
from typing import Any

from ._files.inputs import plain_input, stem_of


@dataclasses.dataclass(frozen=True, slots=True)
class FileResult:
    """What became of one input: its report, or the error that stopped it (and then no output)."""

    source: str
    output: str
    quarantine: str | None
    report: Any = None  # csv_quorle.Report
    error_type: str | None = None
    error: str | None = None

    @property
    def ok(self) -> bool:
        return self.error_type is None

    def to_dict(self) -> dict[str, Any]:
        d: dict[str, Any] = {
            "source": self.source,
            "output": self.output,
            "quarantine": self.quarantine,
        }
        if self.ok:
            d["report"] = self.report.to_dict()
        else:
            d["error"] = {"type": self.error_type, "message": self.error}
        return d


@dataclasses.dataclass(frozen=True, slots=True)
class Job:
    """One file's work, as sent to a worker process."""

    source: str  # the path to read
    output: str
    quarantine: str | None
    options: dict[str, Any]
    name: str = ""  # what the result calls the source, when it differs from the path read
    refused: tuple[str, str] | None = None  # why and which path, when an output is another's input

    def failed(self, exc: BaseException, read: str | None = None) -> FileResult:
        """The result of a failure; `read` is the unpacked copy of the source, if any."""
        return FileResult(self.name or self.source, self.output, self.quarantine,
                          error_type=type(exc).__name__, error=describe_error(exc, self.source, read))


def describe_error(exc: BaseException, *sources: str | None) -> str:
    """One plain line for an exception; the file it names is left out when it is one of `sources`
    (the line already names the input)."""
    if isinstance(exc, OSError) and exc.strerror:
        filename = exc.filename
        if filename is not None:
            filename = os.fsdecode(filename)
            if filename not in sources:
                return f"{filename}: {exc.strerror}"
        return exc.strerror
    text = str(exc).strip().splitlines()
    return text[0] if text else type(exc).__name__


def run_job(job: Job, progress: Callable[[int, int | None], object] | None = None) -> FileResult:
    """Rescues one file, catching whatever goes wrong into the result. Runs in the workers."""
    path = None
    try:
        from ._rescue import rescue

        if job.refused is not None:
            raise OSError(errno.EINVAL, *job.refused)

        # Files are what runs side by side here: each on one thread unless the caller says.
        options = {"threads": 1, **job.options}
        with plain_input(job.source, temp_dir=None, options=options) as path, _interruptible():
            if progress is not None and rescue_takes_progress():
                options = {**options, "progress": _unpacked_size_unknown(progress, path != job.source)}
            report = rescue(path, job.output, job.quarantine, **options)
        return FileResult(job.name or job.source, job.output, job.quarantine, report)
    except Exception as exc:  # one file's failure, whatever it is, is that file's result
        return job.failed(exc, path)


def _unpacked_size_unknown(progress: Callable[[int, int | None], object], unpacked: bool
                           ) -> Callable[[int, int | None], object]:
    """For an unpacked input the total of its unpacked bytes is not the file's: none is given."""
    if not unpacked:
        return progress
    return lambda done, total: progress(done, None)


@functools.cache
def rescue_takes_progress() -> bool:
    """Whether `rescue` reports bytes done through a `progress` callable."""
    from ._rescue import rescue

    return "progress" in inspect.signature(rescue).parameters


def plan_outputs(
    names: Sequence[str], out_dir: str | os.PathLike[str], quarantine_dir: str | os.PathLike[str] | None
) -> list[tuple[str, str | None]]:
    """Output and quarantine paths for each input: `<stem>.csv` and `<stem>.quarantine.csv`.

    Inputs with the same stem (`a.csv`, `a.tsv`, `x/a.csv`) keep it in the order given for the first
    and get `a-2`, `a-3`, ... after it, skipping any stem another input has by its own name, so the
    names depend only on the list of inputs."""
    stems = [stem_of(os.fsdecode(n)) for n in names]
    taken = set(stems)
    out_dir = os.fsdecode(out_dir)
    q_dir = None if quarantine_dir is None else os.fsdecode(quarantine_dir)
    used: set[str] = set()  # paths given out, so that no output is another's quarantine either
    plans = []
    for stem in stems:
        chosen, n = stem, 1
        while True:
            output = os.path.join(out_dir, f"{chosen}.csv")
            quarantine = None if q_dir is None else os.path.join(q_dir, f"{chosen}.quarantine.csv")
            paths = {os.path.normpath(p) for p in (output, quarantine) if p is not None}
            if not paths & used and (chosen == stem or chosen not in taken):
                break
            n += 1
            chosen = f"{stem}-{n}"
        used |= paths
        plans.append((output, quarantine))
    return plans


def _file_key(path: str | None) -> tuple[int, int] | None:
    try:
        st = os.stat(path) if path is not None else None
    except (OSError, ValueError):
        return None
    return None if st is None or stat.S_ISCHR(st.st_mode) else (st.st_dev, st.st_ino)


def refuse_crossed(jobs: Sequence[Job]) -> list[Job]:
    """The jobs, each whose output or quarantine is the source of another job refused: in
    whatever order the pool runs them, a rescue must not replace another's input. (A job's own
    source is refused by `rescue` itself.)"""
    sources: dict[tuple[int, int], str] = {}
    for job in jobs:
        key = _file_key(job.source)
        if key is not None:
            sources.setdefault(key, job.name or job.source)
    checked = []
    for job in jobs:
        own = _file_key(job.source)
        for role, path in (("output", job.output), ("quarantine", job.quarantine)):
            key = _file_key(path)
            if key is not None and key != own and key in sources and path is not None:
                job = dataclasses.replace(job, refused=(f"{role} names the input {sources[key]}", path))
                break
        checked.append(job)
    return checked


def check_options(options: dict[str, Any]) -> None:
    """Refuses unknown keyword arguments of `rescue` at once, not once per file in the workers."""
    from ._rescue import rescue

    inspect.signature(rescue).bind("source", "output", None, **options)


def make_dirs(*folders: str | os.PathLike[str] | None) -> None:
    """The output folders, created when missing (as Dask's writers do)."""
    for folder in folders:
        if folder is not None:
            os.makedirs(folder, exist_ok=True)


def make_jobs(
    sources: Iterable[str | os.PathLike[str]],
    out_dir: str | os.PathLike[str],
    quarantine_dir: str | os.PathLike[str] | None,
    options: dict[str, Any],
) -> list[Job]:
    paths = [os.fsdecode(os.fspath(s)) for s in sources]
    plans = plan_outputs(paths, out_dir, quarantine_dir)
    return refuse_crossed([Job(p, out, q, options) for p, (out, q) in zip(paths, plans)])


def default_workers() -> int:
    """The processors this process may run on."""
    if hasattr(os, "process_cpu_count"):
        return os.process_cpu_count() or 1
    try:
        return len(os.sched_getaffinity(0)) or 1
    except AttributeError:
        return os.cpu_count() or 1


def _pool_context():
    import multiprocessing

    # Never fork a process that may have threads running (the caller's, or Dask's).
    methods = multiprocessing.get_all_start_methods()
    return multiprocessing.get_context("forkserver" if "forkserver" in methods else "spawn")


_in_pool_worker = False


def _pool_worker_init() -> None:
    """Ctrl-C reaches every process of the terminal's group. A worker that is waiting for work
    ignores it (or it would print a traceback of its own); one that is rescuing a file stops that
    rescue the way `rescue` stops on Ctrl-C, leaving nothing half-written, and the parent ends
    the pool."""
    global _in_pool_worker
    import signal

    _in_pool_worker = True
    signal.signal(signal.SIGINT, signal.SIG_IGN)


@contextlib.contextmanager
def _interruptible() -> Iterator[None]:
    if not _in_pool_worker:
        yield
        return
    import signal

    signal.signal(signal.SIGINT, signal.default_int_handler)
    try:
        yield
    finally:
        signal.signal(signal.SIGINT, signal.SIG_IGN)


def _stop_workers(pool) -> None:
    """Interrupts the files being rescued, drops those not started, and waits for the workers."""
    import signal

    for process in list((getattr(pool, "_processes", None) or {}).values()):
        with contextlib.suppress(OSError):
            os.kill(process.pid, signal.SIGINT)
    pool.shutdown(wait=True, cancel_futures=True)


# Files travel to the workers in groups: a task costs a round trip between processes (a few
# milliseconds on a busy Dask cluster), about what rescuing a 1 MB file costs. Enough groups per
# worker remain for the load to even out at the end.
MAX_GROUP = 32
GROUPS_PER_SLOT = 16


def run_file_group(jobs: Sequence[Job]) -> list[FileResult]:
    """Rescues a few files in a row, each failure caught into its own result. Runs in the workers."""
    return [run_job(job) for job in jobs]


def file_groups(jobs: Sequence[tuple[int, Job]], slots: int) -> list[list[tuple[int, Job]]]:
    """Consecutive runs of jobs, at most MAX_GROUP long, about GROUPS_PER_SLOT per worker."""
    size = max(1, min(MAX_GROUP, -(-len(jobs) // (max(1, slots) * GROUPS_PER_SLOT))))
    return [list(jobs[i : i + size]) for i in range(0, len(jobs), size)]


def _run_pool(jobs: list[tuple[int, Job]], workers: int, done: Callable[[int, FileResult], None]) -> list[int]:
    """Runs jobs on a fresh pool; returns the indices left unfinished because a worker died."""
    from concurrent.futures import ProcessPoolExecutor, as_completed
    from concurrent.futures.process import BrokenProcessPool

    lost: list[int] = []
    pool = ProcessPoolExecutor(max_workers=workers, mp_context=_pool_context(), initializer=_pool_worker_init)
    try:
        futures = {}
        for group in file_groups(jobs, workers):
            indices = [i for i, _ in group]
            try:
                futures[pool.submit(run_file_group, [job for _, job in group])] = indices
            except BrokenProcessPool:
                lost.extend(indices)
        for future in as_completed(futures):
            indices = futures[future]
            try:
                results = future.result()
            except BrokenProcessPool:
                lost.extend(indices)
                continue
            for i, result in zip(indices, results):
                done(i, result)
    except BaseException:  # KeyboardInterrupt, or a failing `done` callback
        _stop_workers(pool)
        raise
    pool.shutdown()
    return sorted(lost)


def run_jobs(
    jobs: Sequence[Job],
    workers: int | None = None,
    done: Callable[[FileResult], None] | None = None,
    progress: Callable[[int, int | None], object] | None = None,
) -> list[FileResult]:
    """Runs `jobs`, in this process when one worker is enough, else on a process pool; `done` is
    called with each result as it comes, `progress` (in-process runs only) with bytes done and total
    when `rescue` reports them."""
    results: list[FileResult | None] = [None] * len(jobs)

    def finish(i: int, result: FileResult) -> None:
        results[i] = result
        if done is not None:
            done(result)

    workers = min(workers or default_workers(), len(jobs))
    if workers <= 1:
        for i, job in enumerate(jobs):
            finish(i, run_job(job, progress))
        return results  # type: ignore[return-value]

    pending = list(enumerate(jobs))
    lost = _run_pool(pending, workers, finish)
    if lost:
        # A worker died (a crash, or killed from outside). Run what it took down once more; if a
        # pool dies again, isolate each remaining file in a process of its own, so only the file
        # that kills its process is reported failed.
        lost = _run_pool([(i, jobs[i]) for i in lost], workers, finish)
        for i in lost:
            if _run_pool([(i, jobs[i])], 1, finish):
                finish(i, jobs[i].failed(RuntimeError("the worker process rescuing this file died")))
    return results  # type: ignore[return-value]


def _tqdm_done(total: int):
    """A files progress bar on standard error when it is a terminal; None otherwise."""
    if not sys.stderr.isatty():
        return None, None
    from tqdm import tqdm

    bar = tqdm(total=total, unit="file", file=sys.stderr, leave=False)
    return bar, lambda result: bar.update(1)


def rescue_many(
    sources: Iterable[str | os.PathLike[str]],
    out_dir: str | os.PathLike[str],
    *,
    quarantine_dir: str | os.PathLike[str] | None = None,
    workers: int | None = None,
    progress: bool | Callable[[FileResult], None] = False,
    **options: Any,
) -> list[FileResult]:
    """Rescues each source into `out_dir/<stem>.csv` (and `quarantine_dir/<stem>.quarantine.csv`;
    both folders are created when missing) with the keyword options of `rescue`, on a pool of
    `workers` processes (default: one per processor; one runs in this process). Gzip, bzip2, xz
    and zstd inputs are unpacked first; binary inputs are refused. Stems shared by several inputs
    get `-2`, `-3`, ... in the order given.

    Returns one `FileResult` per source, in order: the `Report`, or the error's type and message.
    `progress=True` shows a bar on standard error when it is a terminal; a callable is called with
    each result as it comes in."""
    check_options(options)
    make_dirs(out_dir, quarantine_dir)
    jobs = make_jobs(sources, out_dir, quarantine_dir, options)
    bar = None
    done = progress if callable(progress) else None
    if progress is True:
        bar, done = _tqdm_done(len(jobs))
    try:
        return run_jobs(jobs, workers, done)
    finally:
        if bar is not None:
            bar.close()
