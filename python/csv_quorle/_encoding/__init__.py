"""The encoding step: any input file becomes UTF-8 bytes for the engine.

`open_utf8` maps the file when it already is UTF-8, and otherwise decodes it chunk by chunk
into an unnamed spill file that is mapped in turn, so the decoded text is never held whole. The
map of the file is guarded (`_native.SourceMap`): a file cut short while it is read reads as
zeros past its new end instead of killing the process, and `check_unchanged` says so after.

With ``encoding="auto"`` the choice is, in order:

1. a byte-order mark (UTF-8, UTF-16 LE/BE, UTF-32 LE/BE);
2. no mark, but NUL bytes in every second (or three of every four) positions: BOM-less UTF-16
   (or UTF-32) of mostly ASCII text;
3. valid UTF-8;
4. *mostly* UTF-8: the invalid bytes are read as Windows-1252 and counted (`recoded_bytes`).
   A native scan of the whole file counts the valid multi-byte sequences on lines with no
   invalid byte ("clean": real UTF-8, since a legacy export's bytes almost never pair up into
   valid sequences for a whole line), those on lines with invalid bytes, and the invalid bytes.
   The file is mostly UTF-8 when it has clean sequences and at most STRAY_PER_SEQUENCE invalid
   bytes per clean sequence; or, beyond that, when the legacy part reads as Windows-1252 and the
   clean sequences outnumber the others: reading its bytes as Windows-1252 is then what a
   whole-file decode would do, and the UTF-8 lines stay intact. With STRAY_HINT stray bytes or
   more, the warning names a code page that suits them better, if one does;
5. otherwise a legacy code page guessed from a 64 KiB sample (`_codec_guess`: Windows-1252 unless
   the evidence for another is strong), and the file is decoded with it.

Every guess (steps 2, 4 and 5) comes with a confidence and a warning sentence in `EncodingInfo`.
Bytes a codec cannot decode become U+FFFD and are counted (`replaced_bytes`). Single-byte code
pages are converted natively from a table of their 256 characters; other codecs go through
Python's incremental decoders. With an explicit ``encoding="utf-8"`` nothing is transcoded: the
engine replaces invalid sequences itself. A caller whose engine can read stray bytes as
Windows-1252 passes ``engine_recodes=True``: a mostly-UTF-8 file is then handed over as it is,
with no rewritten copy.
"""

from __future__ import annotations

import codecs
import contextlib
import errno
import functools
import mmap
import os
import stat
import sys
import tempfile
import threading
from dataclasses import dataclass
from typing import NamedTuple, Union

from .. import _native
from .codec_guess import NAMES, Guess, guess

__all__ = [
    "EncodingInfo", "Utf8Input", "check_unchanged", "open_utf8", "sniff_encoding", "sniff_sample",
]

# Transcoding works on pieces this size: small enough to stay in the CPU cache, large enough
# that the per-piece Python overhead is noise. Tests lower it to split multibyte sequences.
CHUNK_SIZE = 1 << 18
DECODE_SIZE = 1 << 14  # UTF-8 check of non-ASCII blocks: measured best
DETECT_SIZE = 1 << 16  # what the detector sees: detect()'s head, so that both agree
SNIFF_SIZE = 1 << 12  # what the NUL-pattern check sees
# Invalid bytes one clean UTF-8 sequence outweighs. Legacy text (even Thai or CJK, whose bytes
# pair up most often) has well under one clean sequence per 20 invalid bytes.
STRAY_PER_SEQUENCE = 10
STRAY_HINT = 16  # stray bytes enough to tell their code page
MAX_LINES = 10

_BOMS = (  # longest first: the UTF-32 LE mark starts with the UTF-16 LE one
    (codecs.BOM_UTF32_LE, "utf-32-le", "UTF-32 little-endian"),
    (codecs.BOM_UTF32_BE, "utf-32-be", "UTF-32 big-endian"),
    (codecs.BOM_UTF8, "utf-8", "UTF-8"),
    (codecs.BOM_UTF16_LE, "utf-16-le", "UTF-16 little-endian"),
    (codecs.BOM_UTF16_BE, "utf-16-be", "UTF-16 big-endian"),
)

_Map = Union[_native.SourceMap, mmap.mmap]  # the source's guarded map, or a spill file's

# Windows-1252 as browsers read it: the five undefined bytes are the C1 controls of Latin-1.
_CP1252_UTF8 = tuple((bytes([b]).decode("cp1252", "ignore") or chr(b)).encode() for b in range(256))


@dataclass(frozen=True)
class EncodingInfo:
    encoding: str  # codec actually used, Python's normalised name: 'utf-8', 'cp1252', 'utf-16-le', ...
    bom: bool  # a byte-order mark was present (and is not part of the text)
    recoded_bytes: int  # bytes of a mostly-UTF-8 file decoded as Windows-1252 instead
    replaced_bytes: int  # bytes replaced by U+FFFD during transcoding (not counting the engine's own)
    first_lines: tuple[int, ...]  # 1-based line numbers of the first (up to 10) recoded/replaced bytes
    evidence: str  # one plain sentence: why this encoding
    engine_replaces: bool  # the buffer may still hold invalid UTF-8 that the engine replaces
    engine_recodes: bool = False  # a mostly-UTF-8 file handed over as it is: the engine reads
    # its invalid bytes as Windows-1252 and counts them (recoded_bytes and first_lines stay empty)
    confidence: float = 1.0  # how sure the choice is: 1.0 when given, marked or valid UTF-8
    warning: str | None = None  # the sentence for Report.warnings when the choice is a guess


class Utf8Input:
    """UTF-8 text of one input, valid until `close()` or the end of the `with` block.

    `buffer` maps the original file when no transcoding was needed, else an unnamed spill file.
    Callers must release every memoryview they took from `buffer` before closing; a view still
    alive then keeps its map until it is released (closing never fails because of it). A mapped
    source that is cut short meanwhile reads as zeros past its new end: `check_unchanged`, after
    the last read, turns that into an error.
    """

    __slots__ = ("buffer", "info", "_maps")

    def __init__(self, buffer: memoryview, info: EncodingInfo, maps: list[_Map]):
        self.buffer = buffer
        self.info = info
        self._maps = maps

    def __enter__(self) -> Utf8Input:
        return self

    def __exit__(self, *exc_info: object) -> None:
        self.close()

    def check_unchanged(self) -> None:
        check_unchanged(self.buffer)

    def close(self) -> None:
        try:
            self.buffer.release()
        except BufferError:
            pass
        for m in self._maps:
            try:
                m.close()
            except BufferError:  # a caller's view is still alive; the map goes with it
                pass
        self._maps = []


# --- arguments and files -------------------------------------------------------------------


def _codec_name(encoding: object) -> str | None:
    """Python's normalised codec name, or None for "auto"."""
    if not isinstance(encoding, str):
        raise TypeError(f"encoding must be a str, not {type(encoding).__name__}")
    if encoding.lower() == "auto":
        return None
    try:
        info = codecs.lookup(encoding)
    except (LookupError, ValueError):
        raise ValueError(f"encoding: unknown codec {encoding!r}") from None
    if not getattr(info, "_is_text_encoding", True):
        raise ValueError(f"encoding: {encoding!r} is not a text encoding")
    return info.name


def check_unchanged(view: memoryview) -> None:
    """Raises OSError when `view` is part of a mapped source that changed while it was read:
    cut short, so that reads past its new end saw zeros."""
    source = view.obj
    if isinstance(source, _native.SourceMap) and not source.closed and source.changed():
        raise OSError(errno.EIO, "the source changed while it was read", source.name)


def _read_source(path: str | bytes | os.PathLike) -> tuple[memoryview, list[_Map], int | None]:
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
        with _named(name):
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
def _named(name):
    """Gives an OSError raised without a file name (a read, a spill write) the path at fault."""
    try:
        yield
    except OSError as e:
        if e.filename is not None or e.errno is None:
            raise
        raise OSError(e.errno, e.strerror, name) from e  # OSError() picks the subclass


def _spill_file(spill_dir: str | None):
    """An unnamed file for the decoded text; a failure names the folder, not a random name."""
    folder = tempfile.gettempdir() if spill_dir is None else spill_dir
    try:
        return tempfile.TemporaryFile(dir=folder)
    except OSError as e:
        raise OSError(e.errno, e.strerror, folder) from e


def _map_spill(f) -> tuple[memoryview, list[_Map]]:
    f.flush()
    if os.fstat(f.fileno()).st_size == 0:
        return memoryview(b""), []
    m = mmap.mmap(f.fileno(), 0, access=mmap.ACCESS_READ)  # keeps its own descriptor
    return memoryview(m), [m]


# --- line numbers ----------------------------------------------------------------------------


class _Lines:
    """Distinct 1-based lines (LF, CRLF or lone CR end a line) of the first few odd bytes.

    Offsets arrive in increasing order; `read(a, b)` gives the text's bytes in [a, b), so the
    count runs once over the prefix, and only when something is noted.
    """

    def __init__(self, read, limit: int = MAX_LINES):
        self.found: list[int] = []
        self._limit = limit
        self._read = read
        self._pos = 0
        self._breaks = 0
        self._cr = False

    @property
    def full(self) -> bool:
        return len(self.found) >= self._limit

    def note(self, offset: int) -> None:
        if self.full:
            return
        while self._pos < offset:
            end = min(offset, self._pos + CHUNK_SIZE)
            seg = bytes(self._read(self._pos, end))
            self._breaks += seg.count(b"\n") + seg.count(b"\r") - seg.count(b"\r\n")
            if self._cr and seg[:1] == b"\n":
                self._breaks -= 1
            self._cr = seg[-1:] == b"\r"
            self._pos = end
        line = self._breaks + 1
        if not self.found or self.found[-1] != line:
            self.found.append(line)


# --- error handlers ---------------------------------------------------------------------------
# Registered once, they find the per-call state in a thread-local: two threads may be
# transcoding at once.

_tls = threading.local()
_SENTINEL = "\udcff"  # a lone surrogate: no decoder emits one, so it marks our replacements


def _find_invalid(exc: UnicodeError):
    """UTF-8 scan: invalid bytes are counted, noted and listed; the scan patches them after."""
    st = _tls.state
    st.bad += exc.end - exc.start
    st.marks += (exc.start, exc.end)
    if not st.lines.full:
        for i in range(exc.start, exc.end):
            st.lines.note(st.base + i)
    return "", exc.end


def _mark_replaced(exc: UnicodeError):
    """Transcoding: undecodable bytes are counted and marked; the encode step makes them U+FFFD."""
    st = _tls.state
    st.bad += exc.end - exc.start
    return _SENTINEL, exc.end


def _emit_fffd(exc: UnicodeError):
    """Encoding to UTF-8: each marked (or stray) surrogate becomes U+FFFD; the first are noted."""
    st = _tls.state
    st.marks.extend(range(exc.start, exc.end))
    return b"\xef\xbf\xbd" * (exc.end - exc.start), exc.end  # this encoder takes bytes


codecs.register_error("csv_quorle.find_invalid", _find_invalid)
codecs.register_error("csv_quorle.mark_replaced", _mark_replaced)
codecs.register_error("csv_quorle.emit_fffd", _emit_fffd)


class _State:
    __slots__ = ("bad", "base", "lines", "marks")

    def __init__(self, lines: _Lines):
        self.bad = 0
        self.base = 0
        self.lines = lines
        self.marks: list[int] = []


# --- detection --------------------------------------------------------------------------------


def _bom(head) -> tuple[bytes, str, str] | None:
    head = bytes(head[:4])
    for mark, codec, label in _BOMS:
        if head.startswith(mark):
            return mark, codec, label
    return None


def nul_pattern(head) -> str | None:
    """BOM-less UTF-16/32 of mostly-ASCII text: NUL bytes in the high positions only."""
    head = bytes(head[: SNIFF_SIZE & ~3])
    n = len(head) // 4
    if n < 2 or head.count(0) < len(head) // 4:
        return None

    def share(k: int, step: int) -> float:
        lane = head[k::step]
        return lane.count(0) / len(lane)

    if share(0, 4) < 0.05 and min(share(1, 4), share(2, 4), share(3, 4)) > 0.9:
        return "utf-32-le"
    if share(3, 4) < 0.05 and min(share(0, 4), share(1, 4), share(2, 4)) > 0.9:
        return "utf-32-be"
    if share(0, 2) < 0.05 and share(1, 2) > 0.3:
        return "utf-16-le"
    if share(1, 2) < 0.05 and share(0, 2) > 0.3:
        return "utf-16-be"
    return None


class _Choice(NamedTuple):
    codec: str
    confidence: float
    evidence: str  # a sentence
    warning: str | None
    mostly: bool  # UTF-8 with stray bytes read as Windows-1252


def _whole_lines(sample: bytes) -> bytes:
    """The sample up to its last line end: a character cut at the end would count against a codec."""
    cut = max(sample.rfind(b"\n"), sample.rfind(b"\r"))
    return sample[: cut + 1] if cut > 0 and len(sample) >= DETECT_SIZE else sample


def _detect_sample(data, first_invalid: int) -> bytes:
    """What the legacy guess sees: the head (what detect() sees) when the first invalid byte is
    in it, else DETECT_SIZE bytes from the line of the first invalid byte."""
    if first_invalid < DETECT_SIZE - 4:
        return _whole_lines(bytes(data[:DETECT_SIZE]))
    start = max(0, first_invalid - DETECT_SIZE // 8)
    lf = bytes(data[start:first_invalid]).rfind(b"\n")
    start += lf + 1
    return _whole_lines(bytes(data[start : start + DETECT_SIZE]))


def _decide(data, final: bool = True) -> _Choice:
    """UTF-8, mostly UTF-8 or a legacy code page, for data with no byte-order mark or NUL pattern."""
    clean, mixed, invalid, first = _native.utf8_evidence(data, final)
    if invalid == 0:
        return _Choice("utf-8", 1.0, "The whole file is valid UTF-8.", None, False)
    found = f"{_count(clean, 'UTF-8 character')} on lines of their own, {_not_utf8(invalid)}"
    if clean and invalid <= STRAY_PER_SEQUENCE * clean:
        confidence = round(min(0.99, clean / (clean + mixed + invalid / STRAY_PER_SEQUENCE)), 2)
        if invalid >= STRAY_HINT:  # enough of them to say when another code page suits them
            g = guess(_detect_sample(data, first))
            if g.codec != "cp1252":
                found += f"; they read better as {NAMES.get(g.codec, g.codec)} ({g.codec})"
        return _mostly(confidence, found, invalid)
    g = guess(_detect_sample(data, first))
    if clean > mixed and g.codec == "cp1252":
        # The legacy part is Windows-1252: reading its bytes so is what decoding the whole file
        # would do, and the UTF-8 lines stay intact.
        return _mostly(g.confidence, f"{found}, which read best as Windows-1252", invalid)
    name = NAMES.get(g.codec, g.codec)
    evidence = g.evidence[0].upper() + g.evidence[1:] + "."
    warning = (f"The file is not UTF-8; it was decoded as {name} ({g.codec}, confidence "
               f"{g.confidence:.2f}): {g.evidence}.")
    return _Choice(g.codec, g.confidence, evidence, warning, False)


def _count(n: int, thing: str) -> str:
    return f"1 {thing}" if n == 1 else f"{n:,} {thing}s"


def _not_utf8(n: int) -> str:
    return f"{_count(n, 'byte')} {'is' if n == 1 else 'are'} not UTF-8"


def _mostly(confidence: float, found: str, invalid: int) -> _Choice:
    evidence = f"The file is UTF-8 but for {_count(invalid, 'byte')}, read as Windows-1252: {found}."
    warning = (f"The file was read as UTF-8 with the bytes that are not UTF-8 as Windows-1252 "
               f"(utf-8, confidence {confidence:.2f}): {found}.")
    return _Choice("utf-8", confidence, evidence, warning, True)


def sniff_sample(head: bytes, complete: bool = False) -> Guess:
    """The choice of ``encoding="auto"`` for the first bytes of a file (all of it: `complete`).

    A byte-order mark gives the codec that also removes it ('utf-8-sig', 'utf-16', 'utf-32').
    The evidence is a sentence.
    """
    head = bytes(head)
    if not head:
        return Guess("utf-8", 1.0, "The input is empty.")
    found = _bom(head)
    if found:
        codec = {"utf-8": "utf-8-sig"}.get(found[1], found[1][:6])
        return Guess(codec, 1.0, f"A {found[2]} byte-order mark opens the file.")
    nul = nul_pattern(head)
    if nul:
        return Guess(nul, NUL_CONFIDENCE, _nul_evidence(nul))
    choice = _decide(head, complete)
    return Guess(choice.codec, choice.confidence, choice.evidence)


def sniff_encoding(head: bytes) -> tuple[str, str]:
    """(codec, evidence) for the first bytes of a file, by the rules of ``encoding="auto"``."""
    codec, _, evidence = sniff_sample(head)
    return codec, evidence


NUL_CONFIDENCE = 0.95


def _nul_evidence(codec: str) -> str:
    order = "little" if codec.endswith("le") else "big"
    return f"No byte-order mark, but its NUL bytes fall like {codec[:6].upper()} {order}-endian text."


def _nul_warning(codec: str) -> str:
    order = "little" if codec.endswith("le") else "big"
    return (f"The file has no byte-order mark; it was read as {codec[:6].upper()} {order}-endian "
            f"({codec}, confidence {NUL_CONFIDENCE:.2f}) from where its NUL bytes fall.")


# --- the work ---------------------------------------------------------------------------------


class _Spill:
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
        self._write(b"".join(_CP1252_UTF8[b] for b in self._data[start:stop]))
        self.done = stop

    def upto(self, end: int) -> None:
        if self.file is None:
            self.file = _spill_file(self._dir)
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


def _recode_utf8(data: memoryview, spill: _Spill):
    """Rewrites a mostly-UTF-8 view into `spill`, its invalid bytes read as Windows-1252.

    Returns (spill file, invalid bytes, first lines).
    """
    n = len(data)
    lines = _Lines(lambda a, b: data[a:b])
    st = _State(lines)
    pos = 0
    prev = getattr(_tls, "state", None)
    _tls.state = st
    try:
        while pos < n:
            block = data[pos : pos + CHUNK_SIZE]
            if bytes(block).isascii():  # the common case, at memory speed
                pos += len(block)
                continue
            # Decoded in small windows: one wide character widens the decoder's whole output.
            stop = min(n, pos + len(block))
            while pos < stop:
                end = min(n, pos + max(min(CHUNK_SIZE, DECODE_SIZE), 4))  # 4 bytes progress
                st.base = pos
                _, used = codecs.utf_8_decode(data[pos:end], "csv_quorle.find_invalid", end == n)
                spans = iter(st.marks)
                for start, stop_ in zip(spans, spans):
                    spill.patch(pos + start, pos + stop_)
                st.marks = []
                pos += used
        spill.upto(n)
        return spill.file, st.bad, lines.found
    except BaseException:
        spill.close()
        raise
    finally:
        _tls.state = prev


@functools.lru_cache(maxsize=None)
def _single_byte_table(codec: str) -> bytes | None:
    """The packed table of a single-byte code page (for `_native.transcode_single_byte`), or None.

    Each byte gets 4 bytes: the length of its UTF-8 (0 when the codec leaves it undefined), then
    the UTF-8. Only Latin-1, ASCII and Python's charmap codecs qualify: for them one byte is one
    character, whatever comes before or after it.
    """
    info = codecs.lookup(codec)
    module = sys.modules.get(getattr(info.decode, "__module__", None) or "")
    table = getattr(module, "decoding_table", None)
    if info.name not in ("iso8859-1", "ascii") and not (isinstance(table, str) and len(table) == 256):
        return None
    packed = bytearray()
    for b in range(256):
        try:
            char = bytes([b]).decode(info.name, "strict")
        except UnicodeDecodeError:
            packed += bytes(4)
            continue
        if len(char) != 1 or "\ud800" <= char <= "\udfff" or ord(char) > 0xFFFF:
            return None  # not one plain character: Python's decoder knows best
        code = char.encode()
        packed += bytes([len(code)]) + code.ljust(3, b"\0")
    return bytes(packed)


def _transcode(data: memoryview, codec: str, spill_dir: str | None):
    """Decodes `data` with `codec` into a UTF-8 spill file: (file, replaced bytes, lines)."""
    out = _spill_file(spill_dir)
    try:
        table = _single_byte_table(codec)
        if table is not None:
            _, replaced, lines = _native.transcode_single_byte(table, data, out.fileno())
            return out, replaced, list(lines)
        fd = out.fileno()
        lines = _Lines(lambda a, b: os.pread(fd, b - a, a))
        st = _State(lines)
        decoder = codecs.getincrementaldecoder(codec)("csv_quorle.mark_replaced")
        n = len(data)
        written = 0
        prev = getattr(_tls, "state", None)
        _tls.state = st
        try:
            for pos in range(0, max(n, 1), CHUNK_SIZE):
                text = decoder.decode(data[pos : pos + CHUNK_SIZE], pos + CHUNK_SIZE >= n)
                try:
                    chunk = text.encode("utf-8")
                except UnicodeEncodeError:  # our marks, or a codec's lone surrogate
                    st.marks = []
                    chunk = text.encode("utf-8", "csv_quorle.emit_fffd")
                out.write(chunk)
                if st.marks and not lines.full:
                    out.flush()
                    at, last = written, 0
                    for i in st.marks:
                        at += len(text[last:i].encode("utf-8", "surrogatepass"))
                        last = i
                        lines.note(at)
                    st.marks = []
                written += len(chunk)
        finally:
            _tls.state = prev
        return out, st.bad, lines.found
    except BaseException:
        out.close()
        raise


def open_utf8(
    path: str | bytes | os.PathLike,
    encoding: str = "auto",
    *,
    spill_dir: str | None = None,
    engine_recodes: bool = False,
) -> Utf8Input:
    """Opens `path` as UTF-8 text; see the module's notes for how the encoding is chosen."""
    codec = _codec_name(encoding)
    data, maps, fd = _read_source(path)
    try:
        with _named(tempfile.gettempdir() if spill_dir is None else spill_dir):
            view, info, spill_maps = _open(data, fd, codec, encoding, spill_dir, engine_recodes)
        try:  # the scans and the spill read the source: were those the file's bytes?
            check_unchanged(data)
        except OSError:
            view.release()
            if spill_maps is not None:
                _close(spill_maps)
            raise
    except BaseException:
        data.release()
        _close(maps)
        raise
    finally:
        if fd is not None:
            os.close(fd)
    data.release()  # `view` is a slice of it or of the spill, and stays valid
    if spill_maps is None:
        return Utf8Input(view, info, maps)
    _close(maps)
    return Utf8Input(view, info, spill_maps)


def _close(maps: list[_Map]) -> None:
    for m in maps:
        try:
            m.close()
        except BufferError:  # a view is still alive (in a traceback, say); it unmaps on release
            pass


def _open(data: memoryview, fd, codec: str | None, given: str, spill_dir, engine_recodes: bool):
    """(view, info, spill maps or None when `view` is a slice of `data`)."""

    def keep(view, used, evidence, bom, engine_replaces, recodes=False, confidence=1.0, warning=None):
        info = EncodingInfo(used, bom, 0, 0, (), evidence, engine_replaces, recodes, confidence, warning)
        return view[:], info, None  # a view of its own: the caller releases `data`

    def spilled(f, used, evidence, bom, recoded, replaced, lines, confidence=1.0, warning=None):
        try:
            view, maps = _map_spill(f)
        finally:
            f.close()
        info = EncodingInfo(used, bom, recoded, replaced, tuple(lines), evidence, False, False,
                            confidence, warning)
        return view, info, maps

    def recode(view: memoryview, offset: int, bom: bool, choice: _Choice):
        """Mostly UTF-8: the engine reads the stray bytes as Windows-1252, or a rewritten copy."""
        if engine_recodes:
            return keep(view, "utf-8", choice.evidence, bom, False, True, choice.confidence, choice.warning)
        f, recoded, lines = _recode_utf8(view, _Spill(spill_dir, view, fd, offset))
        return spilled(f, "utf-8", choice.evidence, bom, recoded, 0, lines, choice.confidence,
                       choice.warning)

    found = _bom(data)
    if codec is not None:  # given by name
        if codec in ("utf-8", "utf-8-sig"):
            bom = found is not None and found[1] == "utf-8"
            why = f"Given as encoding={given!r}; the engine replaces invalid sequences."
            return keep(data[3:] if bom else data, "utf-8", why, bom, True)
        bom = False
        family = codec[:6]
        if family in ("utf-16", "utf-32"):
            for mark, name, _ in _BOMS:
                if name.startswith(family) and codec in (family, name) and data[: len(mark)] == mark:
                    bom, codec, data = True, name, data[len(mark) :]
                    break
            else:
                if codec == family:  # no mark: the NUL pattern, else little-endian as Python does
                    pattern = nul_pattern(data)
                    codec = pattern if pattern and pattern.startswith(family) else family + "-le"
        f, replaced, lines = _transcode(data, codec, spill_dir)
        return spilled(f, codec, f"Given as encoding={given!r}.", bom, 0, replaced, lines)

    if len(data) == 0:
        return keep(data, "utf-8", "The input is empty.", False, False)

    if found is not None:
        mark, codec, label = found
        why = f"A {label} byte-order mark opens the file."
        body = data[len(mark) :]
        if codec != "utf-8":
            f, replaced, lines = _transcode(body, codec, spill_dir)
            return spilled(f, codec, why, True, 0, replaced, lines)
        clean, mixed, invalid, _ = _native.utf8_evidence(body, True)
        if invalid == 0:
            return keep(body, "utf-8", why, True, False)
        confidence = round(max(0.5, min(0.99, clean / (clean + mixed + invalid / STRAY_PER_SEQUENCE))), 2)
        why = why[:-1] + f"; {_not_utf8(invalid)}, read as Windows-1252."
        seen = (f"{_count(clean, 'UTF-8 character')} on lines of their own" if clean else
                "no line holds UTF-8 beyond ASCII, as in a legacy export with a mark put in front")
        warning = (f"The file has a UTF-8 byte-order mark, but {_not_utf8(invalid)}; read as "
                   f"Windows-1252 (utf-8, confidence {confidence:.2f}): {seen}.")
        choice = _Choice("utf-8", confidence, why, warning, True)
        if (clean and invalid <= STRAY_PER_SEQUENCE * clean) or engine_recodes:
            # Many invalid bytes under a mark: a legacy export with a mark put in front. Reading
            # them as Windows-1252 keeps their text where U+FFFD would lose it.
            return recode(body, len(mark), True, choice)
        # the mark says UTF-8, whatever the bytes say
        why = f"A {label} byte-order mark opens the file; the engine replaces invalid sequences."
        return keep(body, "utf-8", why, True, True)

    nul = nul_pattern(data)
    if nul is not None:
        f, replaced, lines = _transcode(data, nul, spill_dir)
        return spilled(f, nul, _nul_evidence(nul), False, 0, replaced, lines, NUL_CONFIDENCE,
                       _nul_warning(nul))

    choice = _decide(data)
    if choice.mostly:
        return recode(data, 0, False, choice)
    if choice.codec == "utf-8":
        return keep(data, "utf-8", choice.evidence, False, False)
    f, replaced, lines = _transcode(data, choice.codec, spill_dir)
    return spilled(f, choice.codec, choice.evidence, False, 0, replaced, lines, choice.confidence,
                   choice.warning)
