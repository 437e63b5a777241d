"""The choice of ``encoding="auto"``: a byte-order mark, a pattern of NUL bytes, (mostly) UTF-8 or a
legacy code page, each with its evidence and, for a guess, its confidence and warning."""

from __future__ import annotations

import codecs
from typing import NamedTuple

from .. import _native
from .codec_guess import NAMES, Guess, guess

DETECT_SIZE = 1 << 16  # what the detector sees: detect()'s head, so that both agree
SNIFF_SIZE = 1 << 12  # what the NUL-pattern check sees
# Invalid bytes one clean UTF-8 sequence outweighs. Legacy text (even Thai or CJK, whose bytes
# pair up most often) has well under one clean sequence per 20 invalid bytes.
STRAY_PER_SEQUENCE = 10
STRAY_HINT = 16  # stray bytes enough to tell their code page

BOMS = (  # longest first: the UTF-32 LE mark starts with the UTF-16 LE one
    (codecs.BOM_UTF32_LE, "utf-32-le", "UTF-32 little-endian"),
    (codecs.BOM_UTF32_BE, "utf-32-be", "UTF-32 big-endian"),
    (codecs.BOM_UTF8, "utf-8", "UTF-8"),
    (codecs.BOM_UTF16_LE, "utf-16-le", "UTF-16 little-endian"),
    (codecs.BOM_UTF16_BE, "utf-16-be", "UTF-16 big-endian"),
)


def find_bom(head) -> tuple[bytes, str, str] | None:
    head = bytes(head[:4])
    for mark, codec, label in BOMS:
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


class Choice(NamedTuple):
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


def decide(data, final: bool = True) -> Choice:
    """UTF-8, mostly UTF-8 or a legacy code page, for data with no byte-order mark or NUL pattern."""
    clean, mixed, invalid, first = _native.utf8_evidence(data, final)
    if invalid == 0:
        return Choice("utf-8", 1.0, "The whole file is valid UTF-8.", None, False)
    found = f"{count(clean, 'UTF-8 character')} on lines of their own, {not_utf8(invalid)}"
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
    return Choice(g.codec, g.confidence, evidence, warning, False)


def count(n: int, thing: str) -> str:
    return f"1 {thing}" if n == 1 else f"{n:,} {thing}s"


def not_utf8(n: int) -> str:
    return f"{count(n, 'byte')} {'is' if n == 1 else 'are'} not UTF-8"


def _mostly(confidence: float, found: str, invalid: int) -> Choice:
    evidence = f"The file is UTF-8 but for {count(invalid, 'byte')}, read as Windows-1252: {found}."
    warning = (f"The file was read as UTF-8 with the bytes that are not UTF-8 as Windows-1252 "
               f"(utf-8, confidence {confidence:.2f}): {found}.")
    return Choice("utf-8", confidence, evidence, warning, True)


def sniff_sample(head: bytes, complete: bool = False) -> Guess:
    """The choice of ``encoding="auto"`` for the first bytes of a file (all of it: `complete`).

    A byte-order mark gives the codec that also removes it ('utf-8-sig', 'utf-16', 'utf-32').
    The evidence is a sentence.
    """
    head = bytes(head)
    if not head:
        return Guess("utf-8", 1.0, "The input is empty.")
    found = find_bom(head)
    if found:
        codec = {"utf-8": "utf-8-sig"}.get(found[1], found[1][:6])
        return Guess(codec, 1.0, f"A {found[2]} byte-order mark opens the file.")
    nul = nul_pattern(head)
    if nul:
        return Guess(nul, NUL_CONFIDENCE, nul_evidence(nul))
    choice = decide(head, complete)
    return Guess(choice.codec, choice.confidence, choice.evidence)


def sniff_encoding(head: bytes) -> tuple[str, str]:
    """(codec, evidence) for the first bytes of a file, by the rules of ``encoding="auto"``."""
    codec, _, evidence = sniff_sample(head)
    return codec, evidence


NUL_CONFIDENCE = 0.95


def nul_evidence(codec: str) -> str:
    order = "little" if codec.endswith("le") else "big"
    return f"No byte-order mark, but its NUL bytes fall like {codec[:6].upper()} {order}-endian text."


def nul_warning(codec: str) -> str:
    order = "little" if codec.endswith("le") else "big"
    return (f"The file has no byte-order mark; it was read as {codec[:6].upper()} {order}-endian "
            f"({codec}, confidence {NUL_CONFIDENCE:.2f}) from where its NUL bytes fall.")
