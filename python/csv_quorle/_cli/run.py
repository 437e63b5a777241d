"""The running side of the command line: standard input and output as files, the progress bar,
and the jobs handed to the library."""

from __future__ import annotations

import contextlib
import errno
import os
import shutil
import sys
import tempfile
from collections.abc import Callable, Iterator, Sequence
from typing import Any, BinaryIO

from .._many_files import FileResult, Job, plan_outputs, refuse_crossed, rescue_takes_progress, run_jobs
from .._files.outputs import OutputFile, commit, descriptor_path, naming, same_file

STDIN_NAME = "<stdin>"
STDOUT_NAME = "<stdout>"


class Workspace(contextlib.ExitStack):
    """The run's own files: standard input copied to an unnamed file (a rescue reads its input
    twice) and an unnamed file for an output headed for standard output. They have no name, so
    nothing is left behind however the process ends; the pool's workers open them through
    /proc/<pid>/fd."""

    def unnamed(self) -> tuple[BinaryIO, str]:
        """A new unnamed file, closed when the run ends, and a path that opens it."""
        f = self.enter_context(tempfile.TemporaryFile())
        return f, descriptor_path(f.fileno())  # type: ignore[return-value]

    def inputs(self, names: Sequence[str]) -> list[tuple[str, str]]:
        """(name shown, path read) for each input; `-` is standard input."""
        from .._files.inputs import spool

        pairs = []
        for name in names:
            if name == "-":
                f = self.enter_context(spool(sys.stdin.buffer))
                pairs.append((STDIN_NAME, descriptor_path(f.fileno())))
            else:
                pairs.append((name, name))
        return pairs


def stem_name(name: str) -> str:
    return "stdin" if name == STDIN_NAME else name


def jobs_to_dir(
    inputs: Sequence[tuple[str, str]], out_dir: str, quarantine_dir: str | None, options: dict[str, Any]
) -> list[Job]:
    plans = plan_outputs([stem_name(n) for n, _ in inputs], out_dir, quarantine_dir)
    return refuse_crossed([Job(path, out, q, options, name) for (name, path), (out, q) in zip(inputs, plans)])


def file_size(path: str) -> int:
    try:
        return os.stat(path).st_size
    except OSError:
        return 0


UNSIZED_TERMINAL = {"ncols": 80, "nrows": 24, "dynamic_ncols": False}


def bar_size() -> dict[str, Any]:
    """tqdm's size options: following standard error's terminal when it has a size. One with no
    size set (a bare pty, some CI runners) reads as 0 columns and 0 rows, in which tqdm draws
    nothing (its bar lies beyond the last row): a fixed size then."""
    try:
        size = os.get_terminal_size(sys.stderr.fileno())
    except (OSError, ValueError):
        return UNSIZED_TERMINAL
    return {"dynamic_ncols": True} if size.columns > 0 and size.lines > 0 else UNSIZED_TERMINAL


class Progress:
    """A bar of input bytes on standard error, only when it is a terminal: exact within a file when
    the rescue reports its progress, else moved on as each file is done."""

    def __init__(self, jobs: Sequence[Job]) -> None:
        self.bar = None
        if not sys.stderr.isatty() or not jobs:
            return
        from tqdm import tqdm

        self.sizes = [file_size(job.source) for job in jobs]
        self.by_name = {(job.name or job.source): size for job, size in zip(jobs, self.sizes)}
        self.finished = 0  # bytes of the files done
        self.count = 0  # files done; in this process they are done in order
        self.files = len(jobs)
        desc = os.path.basename(jobs[0].name or jobs[0].source) if len(jobs) == 1 else f"{len(jobs):,} files"
        self.bar = tqdm(
            total=sum(self.sizes), desc=desc, unit="B", unit_scale=True, unit_divisor=1024,
            file=sys.stderr, leave=False, **bar_size(),
        )

    def file_done(self, result: FileResult) -> None:
        if self.bar is None:
            return
        self.finished += self.by_name.get(result.source, 0)
        self.count += 1
        if self.files > 1:
            self.bar.set_postfix_str(f"{self.count:,}/{self.files:,} files", refresh=False)
        self.bar.update(self.finished - self.bar.n)

    def bytes_done(self, done: int, total: int | None) -> None:
        """Within one file, run in this process. The share done is what counts; an unpacked input
        has no total (its unpacked size is not the one on the bar) and moves the bar once done."""
        if self.bar is None or total is None or total <= 0:
            return
        size = self.sizes[self.count] if self.count < len(self.sizes) else 0
        position = self.finished + size * min(done, total) // total
        if position > self.bar.n:
            self.bar.update(position - self.bar.n)

    def close(self) -> None:
        if self.bar is not None:
            self.bar.close()


def run(jobs: Sequence[Job], after_each: Callable[[FileResult], None] | None = None) -> list[FileResult]:
    """Runs the jobs with a progress bar when standard error is a terminal."""
    progress = Progress(jobs)

    def done(result: FileResult) -> None:
        if after_each is not None:
            after_each(result)
        progress.file_done(result)

    per_byte = progress.bytes_done if progress.bar is not None and rescue_takes_progress() else None
    try:
        return run_jobs(jobs, done=done, progress=per_byte)
    finally:
        progress.close()


def is_columnar(output: str | None) -> bool:
    """Whether the output's suffix asks for Parquet or Arrow IPC rather than CSV."""
    from .._columnar_out import COLUMNAR_SUFFIXES

    return output is not None and os.path.splitext(output)[1].lower() in COLUMNAR_SUFFIXES


def run_columnar(job: Job) -> FileResult:
    """One file into Parquet or Arrow IPC, by the output's suffix; whatever goes wrong is the
    result's error, as for a CSV output."""
    from .._columnar_out import write_columnar
    from .._files.inputs import plain_input

    path = None
    try:
        with plain_input(job.source, temp_dir=None, options=job.options) as path:
            report = write_columnar(path, job.output, job.quarantine, **job.options)
        return FileResult(job.name or job.source, job.output, job.quarantine, report)
    except Exception as exc:
        return job.failed(exc, path)


def copy_to_stdout(f: BinaryIO) -> None:
    f.seek(0)
    shutil.copyfileobj(f, sys.stdout.buffer, 1 << 20)
    sys.stdout.buffer.flush()


def refuse_repairs_over(path: str, jobs: Sequence[Job]) -> None:
    """The repairs file must not replace an input or an output of the same run."""
    for job in jobs:
        for role, other in (("source", job.source), ("output", job.output),
                            ("quarantine", job.quarantine)):
            if other is not None and same_file(path, other):
                message = f"--repairs names the {role} file of {job.name or job.source}"
                raise OSError(errno.EINVAL, message, path)


REPAIR_FIELDS = ("file", "first_line", "last_line", "kind", "detail")


def repair_records(results: Sequence[FileResult]) -> Iterator[tuple[Any, ...]]:
    for res in results:
        if res.ok:
            for rep in res.report.repairs:
                yield res.source, rep.first_line, rep.last_line, rep.kind, rep.detail


def write_repairs(path: str, results: Sequence[FileResult], form: str = "csv") -> None:
    """Every repair of every rescued file, one line each (CSV under a header line, or one JSON
    object a line), put in place when complete."""
    import csv
    import json

    with OutputFile(path) as out:
        try:
            with open(out.fd, "w", encoding="utf-8", newline="", closefd=False) as f:
                if form == "jsonl":
                    for record in repair_records(results):
                        f.write(json.dumps(dict(zip(REPAIR_FIELDS, record)), ensure_ascii=False) + "\n")
                else:
                    w = csv.writer(f, lineterminator="\n")
                    w.writerow(REPAIR_FIELDS)
                    w.writerows(repair_records(results))
        except OSError as e:
            raise naming(e, path) from None
        commit(out)


@contextlib.contextmanager
def stdout_guard() -> Iterator[None]:
    """A reader that went away (`| head`) ends the run quietly instead of with a traceback."""
    try:
        yield
    except BrokenPipeError:
        # Python would complain again when it flushes standard output at exit.
        devnull = os.open(os.devnull, os.O_WRONLY)
        os.dup2(devnull, sys.stdout.fileno())
        raise
