"""Physical lines of a text buffer, found without reading more of it than needed.

A line ends at CR LF, LF or a lone CR; a final line break starts no further line. The table's
byte range comes from here: the preamble is skipped from the start, a footer counted from the end.
"""

from __future__ import annotations

import re
from collections.abc import Iterator
from typing import Any

CHUNK = 1 << 20
_BREAK = re.compile(rb"\r\n?|\n")


def skip_lines(buf: Any, start: int, count: int) -> int:
    """The offset after `count` line breaks from `start`, or the buffer's end."""
    n = len(buf)
    pos = start
    while count > 0 and pos < n:
        chunk = bytes(buf[pos : pos + CHUNK + 1])  # one byte more: a CR LF cut at the edge
        usable = len(chunk) if pos + len(chunk) >= n else len(chunk) - 1
        step = usable
        for m in _BREAK.finditer(chunk):
            if m.start() >= usable:
                break
            count -= 1
            step = max(step, m.end())
            if count == 0:
                return pos + m.end()
        pos += step
    return start if count == 0 else n


def runs_marked(buf: Any, begin: int, end: int, first_line: int,
                mark: bytes) -> Iterator[tuple[bool, int, int, int, int]]:
    """The lines of buf[begin:end] (`begin` the start of line `first_line`) in runs of those that
    start with `mark` and runs of those that do not: (marked, first line, last line, offset of
    the run, length of its first line's text)."""
    run: tuple[bool, int, int, int, int] | None = None
    line = first_line
    for start, stop in _line_spans(buf, begin, end):
        marked = bytes(buf[start : start + len(mark)]) == mark
        if run is not None and run[0] == marked:
            run = (marked, run[1], line, run[3], run[4])
        else:
            if run is not None:
                yield run
            run = (marked, line, line, start, stop - start)
        line += 1
    if run is not None:
        yield run


def _line_spans(buf: Any, begin: int, end: int) -> Iterator[tuple[int, int]]:
    """(start, end of text) of each line of buf[begin:end], `begin` a line's start."""
    pos = begin
    start = begin
    while pos < end:
        chunk = bytes(buf[pos : min(end, pos + CHUNK + 1)])  # one byte more: a CR LF cut
        usable = len(chunk) if pos + len(chunk) >= end else len(chunk) - 1
        step = usable
        for m in _BREAK.finditer(chunk):
            if m.start() >= usable:
                break
            yield start, pos + m.start()
            start = pos + m.end()
            step = max(step, m.end())
        pos += step
    if start < end:
        yield start, end


def line_start_from_end(buf: Any, k: int) -> int:
    """The offset of the first byte of the `k`-th line from the end (1: the last line)."""
    n = len(buf)
    size = 16 * 1024
    while True:
        base = max(0, n - size)
        tail = bytes(buf[base:])
        e = len(tail)
        if tail.endswith(b"\r\n"):
            e -= 2
        elif tail.endswith((b"\n", b"\r")):
            e -= 1
        found = 0
        while found < k:
            j = max(tail.rfind(b"\n", 0, e), tail.rfind(b"\r", 0, e))
            if j < 0 or (j == 0 and base > 0):  # the chunk may have cut a CR LF or a line
                break
            found += 1
            if found == k:
                return base + j + 1
            e = j - 1 if tail[j] == 0x0A and j > 0 and tail[j - 1] == 0x0D else j
        if base == 0:
            return 0
        size *= 4


def empty_rows_at_end(buf: Any, delimiter: str) -> int:
    """The offset of the first of the lines ending the text that hold only delimiters and blanks,
    at least one delimiter among them (a spreadsheet's padding); the text's end when none.

    Reads backwards over that run only, a chunk at a time, however long it is."""
    n = len(buf)
    padding = b" \t\r\n" + delimiter.encode()
    d = delimiter.encode()
    pos, seen = n, False
    size = 1 << 12  # the run is mostly a few bytes: a small first chunk, larger ones after
    while pos > 0:
        base = max(0, pos - size)
        size = min(CHUNK, size * 8)
        chunk = bytes(buf[base:pos])
        kept = len(chunk.rstrip(padding))
        if kept:
            # The run starts on the line after the last byte that is no padding.
            start = _next_line(buf, base + kept, chunk, base)
            return start if seen or d in bytes(buf[start:pos]) else n
        seen = seen or d in chunk
        pos = base
    return 0 if seen else n


def _next_line(buf: Any, at: int, chunk: bytes, base: int) -> int:
    """The start of the line after the one holding offset `at`, found in `chunk` (the bytes
    from `base`) or after it."""
    n = len(buf)
    pos = at
    while pos < n:
        part = chunk[pos - base:] if pos - base < len(chunk) else bytes(buf[pos:pos + CHUNK])
        m = _BREAK.search(part)
        if m is None:
            pos += len(part)
            continue
        end = pos + m.end()
        if m.group() == b"\r" and bytes(buf[end:end + 1]) == b"\n":
            end += 1  # a CR LF cut at the edge of the part
        return end
    return n


def absent_byte(buf: Any, begin: int, end: int) -> int | None:
    """A control byte that does not occur in buf[begin:end], or None when each of them does. As
    the quote, it reads the text with no field quoted."""
    for candidate in (*range(1, 9), *range(14, 32), 127):  # the first is nearly always absent
        b = bytes((candidate,))
        if not any(b in bytes(buf[p : min(end, p + CHUNK)]) for p in range(begin, end, CHUNK)):
            return candidate
    return None


def count_lines(buf: Any, start: int) -> int:
    """How many lines the text from `start` (the first byte of a line) to the end holds."""
    n = len(buf)
    breaks = 0
    last = b""
    pos = start
    while pos < n:
        chunk = bytes(buf[pos : pos + CHUNK])
        breaks += chunk.count(b"\n") + chunk.count(b"\r") - chunk.count(b"\r\n")
        if last == b"\r" and chunk[:1] == b"\n":
            breaks -= 1  # a CR LF cut between two chunks
        last = chunk[-1:]
        pos += len(chunk)
    if pos > start and last not in (b"\n", b"\r"):
        breaks += 1  # a last line without a line break
    return breaks


def ends_with_break(buf: Any, end: int) -> bool:
    return end > 0 and bytes(buf[end - 1 : end]) in (b"\n", b"\r")
