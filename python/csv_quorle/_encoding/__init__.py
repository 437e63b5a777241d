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
5. otherwise a legacy code page guessed from a 64 KiB sample (`codec_guess`: Windows-1252 unless
   the evidence for another is strong), and the file is decoded with it.

Every guess (steps 2, 4 and 5) comes with a confidence and a warning sentence in `EncodingInfo`.
Bytes a codec cannot decode become U+FFFD and are counted (`replaced_bytes`). Single-byte code
pages are converted natively from a table of their 256 characters; other codecs go through
Python's incremental decoders. With an explicit ``encoding="utf-8"`` nothing is transcoded: the
engine replaces invalid sequences itself. A caller whose engine can read stray bytes as
Windows-1252 passes ``engine_recodes=True``: a mostly-UTF-8 file is then handed over as it is,
with no rewritten copy.

The modules: `opening` (open_utf8), `sniff` (the choice of "auto"), `codec_guess` (the legacy
code page), `source_map` (the guarded map of the input), `decode` and `spill` (the decoded text),
`utf8_input` (what open_utf8 returns).
"""

from __future__ import annotations

from .opening import open_utf8
from .sniff import nul_pattern, sniff_encoding, sniff_sample
from .source_map import check_unchanged
from .utf8_input import EncodingInfo, Utf8Input

__all__ = [
    "EncodingInfo", "Utf8Input", "check_unchanged", "open_utf8", "sniff_encoding", "sniff_sample",
]
