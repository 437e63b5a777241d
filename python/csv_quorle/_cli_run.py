"""The running side of the command line: standard input and output as files, the progress bar,
and the jobs handed to the library."""

from __future__ import annotations

import contextlib
import os
import shutil
import sys
import tempfile
from collections.abc import Callable, Iterator, Sequence
from typing import Any

from ._many import FileResult, Job, plan_outputs, rescue_takes_progress, run_jobs

STDIN_NAME = "<stdin>"
STDOUT_NAME = "<stdout>"


class Workspace(contextlib.ExitStack):
    """A private temporary folder for the run (standard input spooled to a file, outputs headed for
    standard output or for nowhere), removed with everything in it when the run ends."""

    def __init__(self) -> None:
        super().__init__()
        self._dir: str | None = None

    @property
    def dir(self) -> str:
        if self._dir is None:
            self._dir = self.enter_context(tempfile.TemporaryDirectory(prefix="csv-quorle-"))
        return self._dir

    def path(self, name: str) -> str:
        return os.path.join(self.dir, name)

    def inputs(self, names: Sequence[str]) -> list[tuple[str, str]]:
        """(name shown, path read) for each input; `-` is standard input, copied to a file first
        because a rescue reads its input twice."""
        from ._inputs import spool

        pairs = []
        for name in names:
            if name == "-":
                path = spool(sys.stdin.buffer, temp_dir=self.dir)
                pairs.append((STDIN_NAME, path))
            else:
                pairs.append((name, name))
        return pairs


def stem_name(name: str) -> str:
    return "stdin" if name == STDIN_NAME else name


def jobs_to_dir(
    inputs: Sequence[tuple[str, str]], out_dir: str, quarantine_dir: str | None, options: dict[str, Any]
) -> list[Job]:
    plans = plan_outputs([stem_name(n) for n, _ in inputs], out_dir, quarantine_dir)
    return [Job(path, out, q, options, name) for (name, path), (out, q) in zip(inputs, plans)]


def file_size(path: str) -> int:
    try:
        return os.stat(path).st_size
    except OSError:
        return 0


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
        desc = os.path.basename(jobs[0].name or jobs[0].source) if len(jobs) == 1 else f"{len(jobs):,} files"
        self.bar = tqdm(
            total=sum(self.sizes), desc=desc, unit="B", unit_scale=True, unit_divisor=1024,
            file=sys.stderr, leave=False, dynamic_ncols=True,
        )

    def file_done(self, result: FileResult) -> None:
        if self.bar is None:
            return
        self.finished += self.by_name.get(result.source, 0)
        self.count += 1
        self.bar.update(self.finished - self.bar.n)

    def bytes_done(self, done: int, total: int) -> None:
        """Within one file, run in this process; `total` may be the unpacked size of a
        compressed file, so the share done is what counts."""
        if self.bar is None or total <= 0:
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


def copy_to_stdout(path: str) -> None:
    with open(path, "rb") as f:
        shutil.copyfileobj(f, sys.stdout.buffer, 1 << 20)
    sys.stdout.buffer.flush()


def write_atomically(path: str, write: Callable[[Any], None]) -> None:
    """Writes a text file through a temporary file beside it, renamed into place when complete."""
    folder = os.path.dirname(os.path.abspath(path))
    fd, tmp = tempfile.mkstemp(prefix=".csv-quorle-", dir=folder)
    try:
        with os.fdopen(fd, "w", encoding="utf-8", newline="") as f:
            write(f)
        os.replace(tmp, path)
    except BaseException:
        with contextlib.suppress(OSError):
            os.unlink(tmp)
        raise


def write_repairs(path: str, results: Sequence[FileResult]) -> None:
    """Every repair of every rescued file, one CSV line each."""
    import csv

    def write(f: Any) -> None:
        w = csv.writer(f, lineterminator="\n")
        w.writerow(["file", "first_line", "last_line", "kind", "detail"])
        for res in results:
            if res.ok:
                for rep in res.report.repairs:
                    w.writerow([res.source, rep.first_line, rep.last_line, rep.kind, rep.detail])

    write_atomically(path, write)


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
