"""The files a call writes: which paths name the same file, and the outputs themselves.

An output that names a regular file (or nothing yet) is written as an unnamed file in its
target's folder and put in place by `commit` once complete, so a failure or a killed process
leaves neither a half-written output nor a temporary file. An output that names anything else
(a device, a FIFO, a socket, a descriptor's link in /proc/<pid>/fd such as /dev/stdout) is
written straight into, as a shell redirection would.
"""

from __future__ import annotations

import errno
import functools
import os
import stat
import tempfile
from types import TracebackType

from .. import _native

MAX_LINKS = 40  # symbolic links followed in one path before ELOOP, as the kernel does


@functools.cache
def _proc_device() -> int | None:
    try:
        return os.stat("/proc/self").st_dev
    except OSError:
        return None


def _is_fd_folder(folder: str) -> bool:
    """/proc/<pid>/fd (or a thread's): its links lead to open files, not to names."""
    return os.path.basename(folder) == "fd" and _proc_device() is not None and (
        os.stat(folder).st_dev == _proc_device()
    )


def _own_descriptor(link: str) -> int:
    """For /proc/self/fd/N (/dev/stdout, /dev/fd/N): a duplicate of descriptor N, so the output
    goes where N writes (at its offset, appending if it appends) rather than truncating its file
    from the start; -1 for another process's descriptor."""
    folder, name = os.path.split(link)
    if not name.isdigit() or not any(
        os.path.samefile(folder, own) for own in ("/proc/self/fd", "/proc/thread-self/fd")
        if os.path.exists(own)
    ):
        return -1
    return os.dup(int(name))


def _refuse_protected(link: os.stat_result, folder: str, given: str | bytes) -> None:
    """The kernel's protected_symlinks rule, applied whether or not the machine turns it on: a
    link in a sticky world-writable folder (/tmp) is followed only when the folder's owner or
    the caller owns it, so nobody can point another user's output at a file of their choice."""
    sticky = stat.S_ISVTX | stat.S_IWOTH
    owner = os.stat(folder)
    if owner.st_mode & sticky == sticky and link.st_uid not in (owner.st_uid, os.geteuid()):
        raise PermissionError(errno.EACCES, os.strerror(errno.EACCES), given)


def resolve(path: str | bytes, *, protect_links: bool = False) -> tuple[str, bool]:
    """`path` as an absolute path with every symbolic link followed, and whether one of the
    links is a descriptor's link in /proc/<pid>/fd (then the path ends there: what it leads to
    is an open file, which may have no name at all). A missing part ends the walk too; the rest
    is taken as written. `protect_links` refuses links that `_refuse_protected` refuses."""
    text = os.fsdecode(path)
    done = "/" if text.startswith("/") else os.getcwd()
    pending = list(reversed(text.split("/")))
    followed = 0
    while pending:
        name = pending.pop()
        if name in ("", "."):
            continue
        if name == "..":
            done = os.path.dirname(done)
            continue
        here = os.path.join(done, name)
        try:
            st = os.lstat(here)
        except OSError:  # kept as written: `missing/../x` names nothing, as for the kernel
            return os.path.join(here, *reversed(pending)), False
        if not stat.S_ISLNK(st.st_mode):
            done = here
            continue
        if _is_fd_folder(done):
            return here, True
        if protect_links:
            _refuse_protected(st, done, path)
        followed += 1
        if followed > MAX_LINKS:
            raise OSError(errno.ELOOP, os.strerror(errno.ELOOP), path)
        target = os.readlink(here)
        if target.startswith("/"):
            done = "/"
        pending.extend(reversed(target.split("/")))
    return done, False


def same_file(a: str | bytes, b: str | bytes) -> bool:
    """Whether two paths name one file: the same device and inode (hard and symbolic links
    included), or, for paths not there yet, the same path once resolved. A character device
    (/dev/null) stores nothing, so two outputs may both name one."""
    try:
        sa, sb = os.stat(a), os.stat(b)
    except (OSError, ValueError):
        pass
    else:
        return not stat.S_ISCHR(sa.st_mode) and (sa.st_dev, sa.st_ino) == (sb.st_dev, sb.st_ino)
    try:
        (ra, through_a), (rb, through_b) = resolve(a), resolve(b)
    except OSError:
        return False
    return not (through_a or through_b) and ra == rb


def check_paths(*named: tuple[str, str | bytes | None]) -> None:
    """The (role, path) of one call, the source first, before anything is opened: an output
    through a link that `_refuse_protected` refuses is a PermissionError, a path naming the file
    of an earlier role an OSError (EINVAL), each naming the path."""
    for role, path in named[1:]:
        if path is not None:
            resolve(path, protect_links=True)
    for i, (role, path) in enumerate(named):
        for other_role, other in named[:i]:
            if path is not None and other is not None and same_file(path, other):
                raise OSError(errno.EINVAL, f"{role} names the {other_role} file", path)


def _umask() -> int:
    try:
        with open("/proc/self/status") as status:
            for line in status:
                if line.startswith("Umask:"):
                    return int(line.split()[1], 8)
    except (OSError, ValueError):
        pass
    return 0o022


class OutputFile:
    """One output of a call, open for writing as `fd`; failures name `path` as given.

    For a regular file (or a new one) `fd` is an unnamed file in the target's folder (a named
    `.part` file, `temporary`, where the file system lacks O_TMPFILE) that `commit` puts in
    place. A new file gets the mode the umask gives; a replaced one keeps its mode (without
    set-user-ID and set-group-ID) and, where the caller may give it away, its owner. Anything
    else is `straight`: `fd` is the target itself, opened as a shell's `>` opens it (one of this
    process's own descriptors is duplicated instead).
    """

    def __init__(self, path: str | bytes) -> None:
        self.path = path
        self.fd = -1
        self.temporary: str | None = None
        try:
            self.target, through_fd = resolve(path, protect_links=True)
            try:
                st: os.stat_result | None = os.stat(path)
            except FileNotFoundError:
                st = None
            if st is not None and stat.S_ISDIR(st.st_mode):
                raise IsADirectoryError(errno.EISDIR, os.strerror(errno.EISDIR), path)
            self.straight = through_fd or (st is not None and not stat.S_ISREG(st.st_mode))
            if self.straight:
                self.fd = _own_descriptor(self.target) if through_fd else -1
                if self.fd < 0:
                    flags = os.O_WRONLY | os.O_CREAT | os.O_TRUNC | os.O_CLOEXEC
                    self.fd = os.open(path, flags, 0o666)
            else:
                self.fd = self._unnamed()
                if st is not None:
                    self._keep_owner_and_mode(st)
        except OSError as e:
            self.abort()
            raise naming(e, path) from None

    def _unnamed(self) -> int:
        folder, name = os.path.split(self.target)
        try:
            return os.open(folder, os.O_TMPFILE | os.O_WRONLY | os.O_CLOEXEC, 0o666)
        except OSError as e:
            if e.errno not in (errno.EOPNOTSUPP, errno.EISDIR, errno.EINVAL):
                raise
        # Cut the name so that a long one stays a valid file name with the marks around it.
        fd, self.temporary = tempfile.mkstemp(prefix=f".{name[:200]}.", suffix=".part", dir=folder)
        os.fchmod(fd, 0o666 & ~_umask())
        return fd

    def _keep_owner_and_mode(self, old: os.stat_result) -> None:
        new = os.fstat(self.fd)
        if (new.st_uid, new.st_gid) != (old.st_uid, old.st_gid):
            try:
                os.fchown(self.fd, old.st_uid, old.st_gid)
            except PermissionError:
                pass
        os.fchmod(self.fd, stat.S_IMODE(old.st_mode) & ~(stat.S_ISUID | stat.S_ISGID))

    def check_written(self) -> None:
        """Raises what writing the file failed with and was not told yet: a straight file is
        closed; for the others a duplicate descriptor is, since file systems that report write
        errors at close (NFS) report them then, while the file can still be dropped."""
        try:
            if self.straight:
                fd, self.fd = self.fd, -1
                os.close(fd)
            else:
                os.close(os.dup(self.fd))
        except OSError as e:
            raise naming(e, self.path) from None

    def pending(self) -> tuple[int, bytes, bytes, str | bytes]:
        """What `_native.commit` takes."""
        return self.fd, os.fsencode(self.temporary or ""), os.fsencode(self.target), self.path

    def release(self) -> None:
        """Forgets the file once it is in place or owned by someone else."""
        self.fd = -1
        self.temporary = None

    def abort(self) -> None:
        """Drops an unfinished file (a straight target keeps what reached it)."""
        if self.fd >= 0:
            try:
                os.close(self.fd)
            except OSError:
                pass
            self.fd = -1
        if self.temporary is not None:
            try:
                os.unlink(self.temporary)
            except FileNotFoundError:
                pass
            self.temporary = None

    def __enter__(self) -> OutputFile:
        return self

    def __exit__(
        self,
        kind: type[BaseException] | None,
        value: BaseException | None,
        trace: TracebackType | None,
    ) -> None:
        self.abort()


def naming(e: OSError, path: str | bytes) -> OSError:
    """The same failure naming `path` (the temporary file's name would mislead)."""
    if e.errno is None or e.filename == path:
        return e
    return OSError(e.errno, e.strerror, path)  # OSError() picks the subclass of the errno


def descriptor_path(fd: int) -> str:
    """A path that opens the file open as `fd` in this process, from this process or another of
    the same user (a pool's worker), even when the file has no name."""
    return f"/proc/{os.getpid()}/fd/{fd}"


def commit(lead: OutputFile | None, follower: OutputFile | None = None) -> None:
    """Puts the outputs of one call in place together, in one native call that runs no Python
    code (a signal arriving meanwhile is handled after it): the follower's old file is removed
    before the lead replaces its own, so no crash leaves a new lead beside an old follower.
    Straight outputs are only closed. The files are closed whatever happens."""
    files = [f for f in (lead, follower) if f is not None]
    try:
        for f in files:
            f.check_written()
        placed = [None if f is None or f.straight else f.pending() for f in (lead, follower)]
        _native.commit(*placed)
        for f in files:
            fd = f.fd
            f.release()
            if fd >= 0:
                try:
                    os.close(fd)
                except OSError:  # the file is in place: a late complaint changes nothing
                    pass
    finally:
        for f in files:
            f.abort()
