"""The input file's bytes: a guarded map of a regular file, else everything read, and the check
that a mapped file did not change while it was read."""

from __future__ import annotations

import contextlib
import errno
import mmap
import os
import stat
import tempfile
from typing import Union

from .. import _native

Map = Union[_native.SourceMap, mmap.mmap]  # the source's guarded map, or a spill file's


def check_unchanged(view: memoryview) -> None:
    """Raises OSError when `view` is part of a mapped source that changed while it was read:
    cut short, so that reads past its new end saw zeros."""
    source = view.obj
    if isinstance(source, _native.SourceMap) and not source.closed and source.changed():
        raise OSError(errno.EIO, "the source changed while it was read", source.name)


def read_source(path: str | bytes | os.PathLike) -> tuple[memoryview, list[Map], int | None]:
    """The file's bytes: a guarded read-only map of a regular file (a `_native.SourceMap`), else
    everything read into memory.

    The descriptor of a mapped file stays open (the caller closes it): the UTF-8 scan copies
    valid runs from it inside the kernel.
    """
    if not isinstance(path, (str, bytes, os.PathLike)):
        raise TypeError(f"path must be str, bytes or os.PathLike, not {type(path).__name__}")
    name = os.fspath(path)
    fd = os.open(name, os.O_RDONLY | os.O_CLOEXEC)
    keep = False
    try:
        with named(name):
            st = os.fstat(fd)
            if stat.S_ISDIR(st.st_mode):
                raise IsADirectoryError(errno.EISDIR, os.strerror(errno.EISDIR), name)
            if stat.S_ISREG(st.st_mode) and st.st_size > 0:
                try:
                    m = _native.SourceMap(fd, name)
                    keep = True
                    return memoryview(m), [m], fd
                except OSError:  # a file system that cannot map: read it instead
                    pass
            # Pipes, terminals, and files like /proc's that claim to be empty.
            with open(fd, "rb", buffering=0, closefd=False) as f:
                return memoryview(f.readall()), [], None
    finally:
        if not keep:
            os.close(fd)


@contextlib.contextmanager
def named(name):
    """Gives an OSError raised without a file name (a read, a spill write) the path at fault;
    None: the temporary folder, looked up only then (the first lookup writes a probe file there,
    which a process killed at that moment would leave behind)."""
    try:
        yield
    except OSError as e:
        if e.filename is not None or e.errno is None:
            raise
        if name is None:
            name = tempfile.gettempdir()
        raise OSError(e.errno, e.strerror, name) from e  # OSError() picks the subclass


def close_maps(maps: list[Map]) -> None:
    for m in maps:
        try:
            m.close()
        except BufferError:  # a view is still alive (in a traceback, say); it unmaps on release
            pass
