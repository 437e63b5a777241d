"""What an input file holds, judged by its first bytes: plain text, a compressed stream to unpack
first, or binary data that must not be "rescued" into garbage."""

from __future__ import annotations

import contextlib
import errno
import os
import re
import shutil
import stat
import tempfile
from collections.abc import Iterator, Mapping
from typing import Any, BinaryIO

# Long enough to judge text from binary on a real sample, short enough to cost nothing.
SAMPLE_BYTES = 64 * 1024
# What a compressed input must show, unpacked, before the rest is unpacked to disk: a stream of
# zeros or of binary data stops here, not when the temporary folder is full.
CHECK_BYTES = 1 << 20
COPY_CHUNK = 1 << 20

COMPRESSED = (
    (b"\x1f\x8b\x08", "gzip"),
    (b"\xfd7zXZ\x00", "xz"),
    (b"\x28\xb5\x2f\xfd", "zstd"),
    # bz2: "BZh", a block size digit, then the magic of a block (pi) or of the stream end (sqrt pi).
    (b"BZh", "bz2"),
)

# Formats people mistake for CSV exports, named so that the refusal says what the file is.
KNOWN_BINARY = (
    (b"PK\x03\x04", "a ZIP archive (an .xlsx workbook?)"),
    (b"PK\x05\x06", "an empty ZIP archive"),
    (b"\xd0\xcf\x11\xe0\xa1\xb1\x1a\xe1", "an OLE2 file (an .xls workbook?)"),
    (b"PAR1", "a Parquet file"),
    (b"ARROW1", "an Arrow IPC file"),
    (b"SQLite format 3\x00", "an SQLite database"),
    (b"%PDF-", "a PDF document"),
    (b"\x89PNG\r\n\x1a\n", "a PNG image"),
    (b"\xff\xd8\xff", "a JPEG image"),
    (b"GIF8", "a GIF image"),
    (b"\x7fELF", "an executable"),
    (b"7z\xbc\xaf\x27\x1c", "a 7-Zip archive"),
    (b"Rar!\x1a\x07", "a RAR archive"),
)

TEXT_BOMS = (
    b"\xef\xbb\xbf",
    b"\xff\xfe\x00\x00",
    b"\x00\x00\xfe\xff",
    b"\xff\xfe",
    b"\xfe\xff",
)

# C0 controls that do not occur in text: everything below 0x20 except tab, LF, VT, FF, CR and ESC,
# plus DEL. NUL counts, so UTF-16 and UTF-32 without a byte-order mark are recognised first.
_CONTROL = bytes(b for b in range(32) if b not in b"\t\n\x0b\x0c\r\x1b") + b"\x7f"
# A damaged export may hold a few stray NULs or control bytes; binary data has them everywhere
# (about one byte in nine of random data). A few are damage even in a file of a few bytes.
BINARY_CONTROL_SHARE = 0.05
STRAY_CONTROLS = 4
# Fixed-width-ish exports pad fields with NULs (`AB\0\0\0\0,`), as C strings in fixed buffers do.
# A run of NULs that ends a field or a line is such padding and is not held against the text;
# a longer run (a zero-filled block) is not padding.
PAD_RUN = 256
_FIELD_ENDS = b",;\t|\"\r\n"


class BinaryInputError(ValueError):
    """The input is binary data (not text, not a compressed stream), so there is nothing to rescue."""


class DamagedCompressedInputError(ValueError):
    """The compressed stream ends early or is corrupt, so the input is incomplete."""


class CompressedInputError(ValueError):
    """A compressed file where text is read as it is: read as text, its bytes would become rows
    of nonsense. The command line, rescue_many and csv_quorle.dask unpack it first."""


def refuse_compressed(path: str | bytes) -> None:
    """Raises CompressedInputError when the regular file at `path` starts like a compressed
    stream. Pipes are left alone: their first bytes, once read, would be gone."""
    try:
        if not stat.S_ISREG(os.stat(path).st_mode):
            return
        head = _read_head(path, 16)
    except OSError:
        return  # the read that follows raises it, with the message of its case
    kind = compression_of(head)
    if kind is not None:
        raise CompressedInputError(
            f"{os.fsdecode(path)}: {kind}-compressed data: unpack it first (the command line, "
            "rescue_many and csv_quorle.dask unpack it)")


def compression_of(head: bytes) -> str | None:
    """The compression format whose magic bytes begin `head`, or None."""
    for magic, name in COMPRESSED:
        if head.startswith(magic):
            if name == "bz2" and not (
                head[3:4].isdigit() and head[4:10] in (b"1AY&SY", b"\x17rE8P\x90")
            ):
                continue
            return name
    return None


def _wide_text(sample: bytes) -> bool:
    """UTF-16 or UTF-32 text without a byte-order mark: in ASCII-range text, all but one byte of
    each code unit are zero, always in the same places."""
    for width in (2, 4):
        n = len(sample) - len(sample) % width
        if n < 8 * width:
            continue
        shares = [sample[i:n:width].count(0) * width / n for i in range(width)]
        if sum(s >= 0.9 for s in shares) == width - 1 and sum(s <= 0.1 for s in shares) == 1:
            return True
    return False


def _padding_nuls(sample: bytes, ends: bytes) -> int:
    """NULs in runs of at most PAD_RUN that end a field or a line (or the sample)."""
    runs = re.finditer(rb"(?<!\x00)\x00{1,%d}(?=[%s]|\Z)" % (PAD_RUN, re.escape(ends)), sample)
    return sum(m.end() - m.start() for m in runs)


def binary_kind(sample: bytes, text_bytes: bytes = b"") -> str | None:
    """What the binary data of `sample` (a file's first bytes) looks like, or None for text.

    `text_bytes` are the delimiter, quote and escape the caller gave: in their file they are
    text, whatever their code.
    """
    for magic, name in KNOWN_BINARY:
        if sample.startswith(magic):
            return name
    if not sample or sample.startswith(TEXT_BOMS) or _wide_text(sample):
        return None
    counted = _CONTROL.translate(None, text_bytes)
    controls = len(sample) - len(sample.translate(None, counted))
    if 0 in counted:
        controls -= _padding_nuls(sample, _FIELD_ENDS + text_bytes)
    if controls > max(len(sample) * BINARY_CONTROL_SHARE, STRAY_CONTROLS):
        return "binary data"
    return None


def given_text_bytes(options: Mapping[str, Any] | None) -> bytes:
    """The delimiter, quote and escape among rescue()'s keyword options, as bytes."""
    given = options or {}
    chars = [given.get(name) for name in ("delimiter", "quote_char", "escape_char")]
    return bytes(ord(c) for c in chars if isinstance(c, str) and len(c) == 1 and c.isascii())


def _read_head(path: str, n: int = SAMPLE_BYTES) -> bytes:
    with open(path, "rb") as f:
        return f.read(n)


def _open_decompressed(path: str, kind: str):
    if kind == "gzip":
        import gzip

        return gzip.open(path, "rb")
    if kind == "bz2":
        import bz2

        return bz2.open(path, "rb")
    if kind == "xz":
        import lzma

        return lzma.open(path, "rb")
    try:
        import zstandard
    except ImportError:
        raise ModuleNotFoundError(
            "the input is zstd-compressed; reading it needs the zstandard package: "
            "pip install 'csv-quorle[zstd]'",
            name="zstandard",
        ) from None
    raw = open(path, "rb")
    try:
        return zstandard.ZstdDecompressor().stream_reader(raw, read_across_frames=True, closefd=True)
    except BaseException:
        raw.close()
        raise


def _damaged_data_errors() -> tuple[type[BaseException], ...]:
    """The exceptions by which the decompressors say their data is cut short or corrupt."""
    import lzma
    import zlib

    errors: tuple[type[BaseException], ...] = (EOFError, lzma.LZMAError, zlib.error)
    try:
        import zstandard
    except ImportError:
        return errors
    return (*errors, zstandard.ZstdError)


def _read_up_to(stream, n: int) -> bytes:
    parts = []
    while n > 0:
        part = stream.read(n)
        if not part:
            break
        parts.append(part)
        n -= len(part)
    return b"".join(parts)


def _in_temporary_folder(e: OSError) -> str:
    """The strerror of a failure in the temporary folder, saying that it is that folder."""
    if e.errno in (errno.ENOSPC, errno.EDQUOT):
        return (f"{e.strerror}: the temporary folder cannot hold the unpacked input "
                "(TMPDIR can name another)")
    return f"{e.strerror} (the temporary folder, where the input is unpacked)"


def _write_all(fd: int, data: bytes, folder: str) -> None:
    """Writes to the unpacked copy; a failure names the temporary folder, which is what is full
    (or read-only), not the input."""
    view = memoryview(data)
    try:
        while view:
            view = view[os.write(fd, view) :]
    except OSError as e:
        raise OSError(e.errno, _in_temporary_folder(e), folder) from None


def _decompress(path: str, kind: str, folder: str, fd: int, text_bytes: bytes) -> None:
    """Unpacks `path` into the open file `fd` once its first CHECK_BYTES are found to be text;
    a cut or corrupt stream is refused."""
    try:
        with _open_decompressed(path, kind) as stream:
            first = _read_up_to(stream, CHECK_BYTES)
            refuse_binary(path, first, text_bytes)
            _write_all(fd, first, folder)
            del first
            while chunk := stream.read(COPY_CHUNK):
                _write_all(fd, chunk, folder)
    except OSError as exc:
        if exc.errno is not None:
            raise  # a file-system failure, not damaged data (gzip and bz2 raise OSError for those)
        reason = exc
    except _damaged_data_errors() as exc:
        reason = exc
    else:
        return
    raise DamagedCompressedInputError(
        f"the {kind} data is damaged or cut short ({reason or type(reason).__name__})"
    )


def refuse_binary(path: str, head: bytes | None = None, text_bytes: bytes = b"") -> None:
    """Raises BinaryInputError when the file at `path` holds binary data."""
    kind = binary_kind(_read_head(path) if head is None else head, text_bytes)
    if kind is not None:
        raise BinaryInputError(f"{kind}, not CSV text: refused")


@contextlib.contextmanager
def _unnamed_file(folder: str) -> Iterator[int]:
    """A file without a name in `folder` (O_TMPFILE, else unlinked at once): nothing is left
    behind, even by a killed process."""
    try:
        f = tempfile.TemporaryFile(dir=folder, buffering=0)
    except OSError as e:
        raise OSError(e.errno, _in_temporary_folder(e), folder) from None
    with f:
        yield f.fileno()


@contextlib.contextmanager
def plain_input(path: str, temp_dir: str | None = None,
                options: Mapping[str, Any] | None = None) -> Iterator[str]:
    """Yields the path of a plain-text file with the content of `path`: the file itself, or an
    unnamed temporary file with its content unpacked, as `/proc/self/fd/N` (gone on leaving; an
    OSError naming it names `path` instead). Binary input is refused, a compressed one after its
    first CHECK_BYTES unpacked. `options` are rescue()'s: a delimiter, quote or escape given there
    is text in the binary check."""
    text_bytes = given_text_bytes(options)
    with open(path, "rb") as f:  # raises the OSError of the case for a missing or unreadable file
        head = f.read(SAMPLE_BYTES)
    kind = compression_of(head)
    if kind is None:
        refuse_binary(path, head, text_bytes)
        yield path
        return
    folder = tempfile.gettempdir() if temp_dir is None else temp_dir
    with _unnamed_file(folder) as fd:
        _decompress(path, kind, folder, fd, text_bytes)
        unpacked = f"/proc/self/fd/{fd}"
        try:
            yield unpacked
        except OSError as e:
            if e.filename != unpacked:
                raise
            raise OSError(e.errno, e.strerror, path) from e  # OSError() picks the subclass


def spool(stream: BinaryIO, temp_dir: str | None = None) -> BinaryIO:
    """Copies a binary stream (standard input) into an unnamed temporary file and returns it
    open, at its start; the caller closes it. Having no name, it is gone with its descriptor
    however the process ends (`_paths.descriptor_path` gives a path that opens it)."""
    f = tempfile.TemporaryFile(dir=temp_dir)
    try:
        shutil.copyfileobj(stream, f, COPY_CHUNK)
        f.flush()
        f.seek(0)
    except BaseException:
        f.close()
        raise
    return f  # type: ignore[return-value]


_COMPRESSION_SUFFIXES = (".gz", ".gzip", ".bz2", ".xz", ".zst", ".zstd")


def stem_of(name: str) -> str:
    """The name an input's outputs are called by: `exports/a.csv.gz` -> `a`."""
    base = os.path.basename(os.path.normpath(name)) or "input"
    lower = base.lower()
    for suffix in _COMPRESSION_SUFFIXES:
        if lower.endswith(suffix) and len(base) > len(suffix):
            base = base[: -len(suffix)]
            break
    root, ext = os.path.splitext(base)
    return root if root and ext else base
