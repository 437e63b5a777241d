"""The UTF-8 byte-order mark some spreadsheets need to read a CSV file as UTF-8."""

from __future__ import annotations

import os

from .._files.outputs import naming

UTF8_BOM = b"\xef\xbb\xbf"


def write_bom(fd: int, path: str | bytes) -> None:
    """Writes the mark at the start of an output about to be written by the engine, which goes
    on from the descriptor's position."""
    done = 0
    try:
        while done < len(UTF8_BOM):
            done += os.write(fd, UTF8_BOM[done:])
    except OSError as e:
        raise naming(e, path) from None
