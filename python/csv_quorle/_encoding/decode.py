"""Decoding the whole input into a spill file: UTF-8 with stray bytes read as Windows-1252, or
any codec (single-byte code pages natively), with the bytes replaced and their first lines."""

from __future__ import annotations

import codecs
import functools
import os
import sys
import threading

from .. import _native
from .spill import Spill, spill_file

# Transcoding works on pieces this size: small enough to stay in the CPU cache, large enough
# that the per-piece Python overhead is noise. Tests lower it to split multibyte sequences.
CHUNK_SIZE = 1 << 18
DECODE_SIZE = 1 << 14  # UTF-8 check of non-ASCII blocks: measured best
MAX_LINES = 10


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



def recode_utf8(data: memoryview, spill: Spill):
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
def single_byte_table(codec: str) -> bytes | None:
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


def transcode(data: memoryview, codec: str, spill_dir: str | None):
    """Decodes `data` with `codec` into a UTF-8 spill file: (file, replaced bytes, lines)."""
    out = spill_file(spill_dir)
    try:
        table = single_byte_table(codec)
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
