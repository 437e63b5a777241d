"""Which paths name the same file, and output written beside its target then renamed into place."""

from __future__ import annotations

import errno
import os
import tempfile
from types import TracebackType


def same_file(a: str | bytes, b: str | bytes) -> bool:
    """The same path once resolved, or two existing paths of one device and inode."""
    try:
        if os.path.samefile(a, b):
            return True
    except (OSError, ValueError):
        pass
    return os.path.realpath(os.fsdecode(a)) == os.path.realpath(os.fsdecode(b))


def _umask() -> int:
    try:
        with open("/proc/self/status") as status:
            for line in status:
                if line.startswith("Umask:"):
                    return int(line.split()[1], 8)
    except (OSError, ValueError):
        pass
    return 0o022


class PendingFile:
    """A temporary file beside `path`; commit() renames it into place, abort() removes it.

    Failures name `path`, not the temporary name, so a missing folder reads as what it is.
    """

    def __init__(self, path: str | bytes) -> None:
        self.path = path
        text = os.fsdecode(path)
        if os.path.isdir(text):
            raise IsADirectoryError(errno.EISDIR, os.strerror(errno.EISDIR), path)
        # A symlink's target is what gets replaced, not the link itself.
        self._target = os.path.realpath(text)
        folder, name = os.path.split(self._target)
        try:
            # Cut the name so that a long one stays a valid file name with the marks around it.
            self.fd, self._temporary = tempfile.mkstemp(
                prefix=f".{name[:200]}.", suffix=".part", dir=folder
            )
        except OSError as e:
            raise type(e)(e.errno, e.strerror, path) from None

    def close(self) -> None:
        """Gives the file the mode a new file would have (or the one it replaces) and closes it."""
        if self.fd < 0:
            return
        try:
            try:
                mode = os.stat(self._target).st_mode & 0o7777
            except OSError:
                mode = 0o666 & ~_umask()
            os.fchmod(self.fd, mode)
            os.close(self.fd)
            self.fd = -1
        except OSError as e:
            self.abort()
            raise type(e)(e.errno, e.strerror, self.path) from None

    def commit(self) -> None:
        """Closes the file if still open and renames it into place."""
        self.close()
        try:
            os.replace(self._temporary, self._target)
        except OSError as e:
            self.abort()
            raise type(e)(e.errno, e.strerror, self.path) from None

    def abort(self) -> None:
        if self.fd >= 0:
            os.close(self.fd)
            self.fd = -1
        try:
            os.unlink(self._temporary)
        except FileNotFoundError:
            pass

    def __enter__(self) -> PendingFile:
        return self

    def __exit__(
        self,
        kind: type[BaseException] | None,
        value: BaseException | None,
        trace: TracebackType | None,
    ) -> None:
        if kind is not None:
            self.abort()
