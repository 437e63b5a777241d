"""The `progress=` callable of rescue(): the pass's offsets in its text turned into bytes done of
the source's bytes."""

from __future__ import annotations

import os
import stat
from collections.abc import Callable

ProgressCallable = Callable[[int, "int | None"], object]


def source_size(path: str | bytes) -> int | None:
    """The size of a regular file; None for a pipe, a terminal or a device, whose end is not
    known before it is read."""
    try:
        st = os.stat(path)
    except OSError:
        return None
    return st.st_size if stat.S_ISREG(st.st_mode) else None


class Reporter:
    """Calls `report(done, total)` with bytes of the source done, never going back. The text the
    pass reads may be longer or shorter than the file (a byte-order mark dropped, another encoding
    rewritten as UTF-8): offsets in it are scaled to the file's size. Without a size, `done`
    counts bytes of text read."""

    def __init__(self, report: ProgressCallable, begin: int, text_size: int, total: int | None) -> None:
        if not callable(report):
            raise TypeError("progress must be callable or None")
        self.report = report
        self.begin = begin
        self.text_size = text_size
        self.total = total
        self.done = 0

    def offset(self, at: int) -> None:
        """From the pass: it has gone `at` bytes into the table, which starts at `begin`."""
        position = min(self.begin + at, self.text_size)
        if self.total is not None:
            position = position * self.total // max(self.text_size, 1)
        if position > self.done:
            self.done = position
            self.report(position, self.total)

    def finish(self) -> None:
        """The last call, once the pass is complete: done equals the total."""
        self.done = self.text_size if self.total is None else self.total
        self.report(self.done, self.total)


class PassReporter:
    """For read_batches, whose pass calls with the offset reached and, at its end, the table's
    length: the exception the callable raised is kept for the caller, since the pass's own thread
    can only stop on it."""

    def __init__(self, reporter: Reporter, span: int) -> None:
        self.reporter = reporter
        self.span = span
        self.raised: list[BaseException] = []

    def __call__(self, at: int) -> None:
        try:
            if at >= self.span:
                self.reporter.finish()
            else:
                self.reporter.offset(at)
        except BaseException as e:
            self.raised.append(e)
            raise
