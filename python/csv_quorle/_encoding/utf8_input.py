"""What `open_utf8` hands back: the UTF-8 text of one input and how its encoding was chosen."""

from __future__ import annotations

from dataclasses import dataclass

from .source_map import Map, check_unchanged


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

    def __init__(self, buffer: memoryview, info: EncodingInfo, maps: list[Map]):
        self.buffer = buffer
        self.info = info
        self._maps = maps

    def __enter__(self) -> Utf8Input:
        return self

    def __exit__(self, *exc_info: object) -> None:
        self.close()

    @property
    def mapped(self) -> bool:
        """The text is a read-only map of a file (the source or a spill), not bytes in memory:
        a reader may drop its pages once read past."""
        return any(self.buffer.obj is m for m in self._maps)

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
