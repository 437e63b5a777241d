"""`open_utf8`: an input file opened as UTF-8 text, by the rules the package's notes give."""

from __future__ import annotations

import codecs
import os

from .. import _native
from .decode import recode_utf8, transcode
from .sniff import (
    BOMS,
    NUL_CONFIDENCE,
    STRAY_PER_SEQUENCE,
    Choice,
    count,
    decide,
    find_bom,
    not_utf8,
    nul_evidence,
    nul_pattern,
    nul_warning,
)
from .source_map import check_unchanged, close_maps, named, read_source
from .spill import Spill, map_spill
from .utf8_input import EncodingInfo, Utf8Input


def codec_name(encoding: object) -> str | None:
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


def open_utf8(
    path: str | bytes | os.PathLike,
    encoding: str = "auto",
    *,
    spill_dir: str | None = None,
    engine_recodes: bool = False,
) -> Utf8Input:
    """Opens `path` as UTF-8 text; see the module's notes for how the encoding is chosen."""
    codec = codec_name(encoding)
    data, maps, fd = read_source(path)
    try:
        with named(spill_dir):
            view, info, spill_maps = _open(data, fd, codec, encoding, spill_dir, engine_recodes)
        try:  # the scans and the spill read the source: were those the file's bytes?
            check_unchanged(data)
        except OSError:
            view.release()
            if spill_maps is not None:
                close_maps(spill_maps)
            raise
    except BaseException:
        data.release()
        close_maps(maps)
        raise
    finally:
        if fd is not None:
            os.close(fd)
    data.release()  # `view` is a slice of it or of the spill, and stays valid
    if spill_maps is None:
        return Utf8Input(view, info, maps)
    close_maps(maps)
    return Utf8Input(view, info, spill_maps)


def _open(data: memoryview, fd, codec: str | None, given: str, spill_dir, engine_recodes: bool):
    """(view, info, spill maps or None when `view` is a slice of `data`)."""

    def keep(view, used, evidence, bom, engine_replaces, recodes=False, confidence=1.0, warning=None):
        info = EncodingInfo(used, bom, 0, 0, (), evidence, engine_replaces, recodes, confidence, warning)
        return view[:], info, None  # a view of its own: the caller releases `data`

    def spilled(f, used, evidence, bom, recoded, replaced, lines, confidence=1.0, warning=None):
        try:
            view, maps = map_spill(f)
        finally:
            f.close()
        info = EncodingInfo(used, bom, recoded, replaced, tuple(lines), evidence, False, False,
                            confidence, warning)
        return view, info, maps

    def recode(view: memoryview, offset: int, bom: bool, choice: Choice):
        """Mostly UTF-8: the engine reads the stray bytes as Windows-1252, or a rewritten copy."""
        if engine_recodes:
            return keep(view, "utf-8", choice.evidence, bom, False, True, choice.confidence, choice.warning)
        f, recoded, lines = recode_utf8(view, Spill(spill_dir, view, fd, offset))
        return spilled(f, "utf-8", choice.evidence, bom, recoded, 0, lines, choice.confidence,
                       choice.warning)

    found = find_bom(data)
    if codec is not None:  # given by name
        if codec in ("utf-8", "utf-8-sig"):
            bom = found is not None and found[1] == "utf-8"
            why = f"Given as encoding={given!r}; the engine replaces invalid sequences."
            return keep(data[3:] if bom else data, "utf-8", why, bom, True)
        bom = False
        family = codec[:6]
        if family in ("utf-16", "utf-32"):
            for mark, name, _ in BOMS:
                if name.startswith(family) and codec in (family, name) and data[: len(mark)] == mark:
                    bom, codec, data = True, name, data[len(mark) :]
                    break
            else:
                if codec == family:  # no mark: the NUL pattern, else little-endian as Python does
                    pattern = nul_pattern(data)
                    codec = pattern if pattern and pattern.startswith(family) else family + "-le"
        f, replaced, lines = transcode(data, codec, spill_dir)
        return spilled(f, codec, f"Given as encoding={given!r}.", bom, 0, replaced, lines)

    if len(data) == 0:
        return keep(data, "utf-8", "The input is empty.", False, False)

    if found is not None:
        mark, codec, label = found
        why = f"A {label} byte-order mark opens the file."
        body = data[len(mark) :]
        if codec != "utf-8":
            f, replaced, lines = transcode(body, codec, spill_dir)
            return spilled(f, codec, why, True, 0, replaced, lines)
        clean, mixed, invalid, _ = _native.utf8_evidence(body, True)
        if invalid == 0:
            return keep(body, "utf-8", why, True, False)
        confidence = round(max(0.5, min(0.99, clean / (clean + mixed + invalid / STRAY_PER_SEQUENCE))), 2)
        why = why[:-1] + f"; {not_utf8(invalid)}, read as Windows-1252."
        seen = (f"{count(clean, 'UTF-8 character')} on lines of their own" if clean else
                "no line holds UTF-8 beyond ASCII, as in a legacy export with a mark put in front")
        warning = (f"The file has a UTF-8 byte-order mark, but {not_utf8(invalid)}; read as "
                   f"Windows-1252 (utf-8, confidence {confidence:.2f}): {seen}.")
        choice = Choice("utf-8", confidence, why, warning, True)
        if (clean and invalid <= STRAY_PER_SEQUENCE * clean) or engine_recodes:
            # Many invalid bytes under a mark: a legacy export with a mark put in front. Reading
            # them as Windows-1252 keeps their text where U+FFFD would lose it.
            return recode(body, len(mark), True, choice)
        # the mark says UTF-8, whatever the bytes say
        why = f"A {label} byte-order mark opens the file; the engine replaces invalid sequences."
        return keep(body, "utf-8", why, True, True)

    nul = nul_pattern(data)
    if nul is not None:
        f, replaced, lines = transcode(data, nul, spill_dir)
        return spilled(f, nul, nul_evidence(nul), False, 0, replaced, lines, NUL_CONFIDENCE,
                       nul_warning(nul))

    choice = decide(data)
    if choice.mostly:
        return recode(data, 0, False, choice)
    if choice.codec == "utf-8":
        return keep(data, "utf-8", choice.evidence, False, False)
    f, replaced, lines = transcode(data, choice.codec, spill_dir)
    return spilled(f, choice.codec, choice.evidence, False, 0, replaced, lines, choice.confidence,
                   choice.warning)
