"""From sampled bytes to text: the encoding, and the lines of the head and of the tail."""

from __future__ import annotations

import codecs
from collections.abc import Callable
from typing import NamedTuple

from .. import _encoding
from .split import split_lines

EncodingSniffer = Callable[[bytes], "tuple[str, str]"]

# (mark, codec for the head, codec for a tail that has no mark, code unit size);
# UTF-32 LE first: its mark starts with the UTF-16 LE one.
_MARKS = (
    (codecs.BOM_UTF32_LE, "utf-32", "utf-32-le", 4),
    (codecs.BOM_UTF32_BE, "utf-32", "utf-32-be", 4),
    (codecs.BOM_UTF8, "utf-8-sig", "utf-8", 1),
    (codecs.BOM_UTF16_LE, "utf-16", "utf-16-le", 2),
    (codecs.BOM_UTF16_BE, "utf-16", "utf-16-be", 2),
)
_MARK_NAMES = {"utf-8-sig": "UTF-8", "utf-16": "UTF-16", "utf-32": "UTF-32"}


class Encoding(NamedTuple):
    head_codec: str
    tail_codec: str
    confidence: float
    evidence: str


def unit_size(head: bytes) -> int:
    """Bytes per code unit, from a byte-order mark or the NUL bytes of UTF-16/32 without one; a
    tail must start at a multiple of it."""
    size = next((size for mark, _, _, size in _MARKS if head.startswith(mark)), None)
    if size is None:
        nul = _encoding.nul_pattern(head)
        size = 1 if nul is None else 4 if nul.startswith("utf-32") else 2
    return size


def choose(head: bytes, complete: bool, given: str | None,
           sniff: EncodingSniffer | None, tail: bytes | None = None) -> Encoding:
    if given is not None:
        try:
            codecs.lookup(given)
        except LookupError:
            raise ValueError(f"encoding {given!r} is not a codec Python knows") from None
        return Encoding(given, given, 1.0, "given by the caller")
    for mark, head_codec, tail_codec, _ in _MARKS:
        if head.startswith(mark):
            return Encoding(head_codec, tail_codec, 1.0,
                            f"the file starts with the {_MARK_NAMES[head_codec]} byte-order mark")
    if sniff is None and _encoding.nul_pattern(head):  # UTF-16/32 without a mark: as rescue()
        found = _encoding.sniff_sample(head, complete)
        return Encoding(found.codec, found.codec, found.confidence, _sentence(found.evidence))
    try:
        head.decode("utf-8")
        valid = True
    except UnicodeDecodeError as e:
        # A sample cut inside a character is still UTF-8.
        valid = not complete and e.start >= len(head) - 3 and e.reason == "unexpected end of data"
    if valid and head.isascii() and tail and sniff is None:
        # Legacy bytes seen only at the end: what rescue() finds in the whole file.
        body = tail[tail.find(b"\n") + 1 :]  # the tail's first line may be cut
        found = _encoding.sniff_sample(body, True)
        if found.codec != "utf-8":
            return Encoding(found.codec, found.codec, found.confidence,
                            "the head is plain ASCII; at the end of the file, "
                            + _sentence(found.evidence))
    if valid:
        if head.isascii():
            return Encoding("utf-8", "utf-8", 0.9, "the sample is plain ASCII, read as UTF-8")
        return Encoding("utf-8", "utf-8", 0.99, "the sample is valid UTF-8 with non-ASCII text")
    if sniff is not None:
        name, why = sniff(head)
        try:
            codecs.lookup(name)
            return Encoding(name, name, 0.8, why)
        except LookupError:
            pass
    # What rescue() decides on the same bytes: mostly UTF-8, or the guessed legacy code page.
    found = _encoding.sniff_sample(head, complete)
    return Encoding(found.codec, found.codec, found.confidence, _sentence(found.evidence))


def _sentence(evidence: str) -> str:
    """The evidence as this module words it: lower case, no full stop."""
    return evidence[:1].lower() + evidence[1:].rstrip(".")


def head_lines(head: bytes, codec: str, complete: bool) -> list[str]:
    """Lines of the head; a last line cut by the sample's end is dropped."""
    lines = split_lines(head.decode(codec, errors="replace"))
    if not complete and lines and not lines[-1].endswith(("\n", "\r")):
        lines.pop()
    return lines


def tail_lines(tail: bytes, codec: str) -> list[str]:
    """Lines of the tail, without the first one, which the sample may have cut."""
    return split_lines(tail.decode(codec, errors="replace"))[1:]
