"""The unnamed file decoded text is written to: made, mapped, and, for a mostly-UTF-8 input,\nfilled with its valid runs and its stray bytes read as Windows-1252."""

from __future__ import annotations

import errno
import mmap
import os
import tempfile

from .source_map import Map

# Windows-1252 as browsers read it: the five undefined bytes are the C1 controls of Latin-1.
CP1252_UTF8 = tuple((bytes([b]).decode("cp1252", "ignore") or chr(b)).encode() for b in range(256))


def spill_file(spill_dir: str | None):
    """An unnamed file for the decoded text; a failure names the folder, not a random name."""
    folder = tempfile.gettempdir() if spill_dir is None else spill_dir
    try:
        return tempfile.TemporaryFile(dir=folder)
    except OSError as e:
        raise OSError(e.errno, e.strerror, folder) from e


def map_spill(f) -> tuple[memoryview, list[Map]]:
    f.flush()
    if os.fstat(f.fileno()).st_size == 0:
        return memoryview(b""), []
    m = mmap.mmap(f.fileno(), 0, access=mmap.ACCESS_READ)  # keeps its own descriptor
    return memoryview(m), [m]



class Spill:
    """The mostly-UTF-8 output: the input's valid runs and the rewritten bytes, made lazily.

    Valid runs are copied inside the kernel when the input is a mapped file (one call per run
    between two invalid bytes), else written from memory.
    """

    def __init__(self, spill_dir: str | None, data: memoryview, src_fd: int | None, src_offset: int):
        self.file = None
        self.done = 0  # input offset up to which the output is written
        self._dir = spill_dir
        self._data = data
        self._src = src_fd
        self._offset = src_offset

    def patch(self, start: int, stop: int) -> None:
        """Out to `start` as is, then data[start:stop] read as Windows-1252."""
        self.upto(start)
        self._write(b"".join(CP1252_UTF8[b] for b in self._data[start:stop]))
        self.done = stop

    def upto(self, end: int) -> None:
        if self.file is None:
            self.file = spill_file(self._dir)
        a = self.done
        while a < end and self._src is not None:
            try:
                copied = os.copy_file_range(self._src, self.file.fileno(), end - a, self._offset + a)
            except OSError as e:
                if e.errno not in (errno.EXDEV, errno.EINVAL, errno.ENOSYS, errno.EOPNOTSUPP):
                    raise
                copied = 0
            if copied == 0:  # not here (another file system, say): write from memory
                self._src = None
            a += copied
        for b in range(a, end, 1 << 24):
            self._write(self._data[b : min(end, b + (1 << 24))])
        self.done = end

    def _write(self, raw) -> None:
        view = memoryview(raw)
        while view:
            view = view[os.write(self.file.fileno(), view) :]

    def close(self) -> None:
        if self.file is not None:
            self.file.close()
