"""Checks of the arguments of rescue(): each failure names its parameter, before any file opens."""

from __future__ import annotations

import codecs
import errno
import os
from typing import Union

PathArg = Union[str, bytes, "os.PathLike[str]", "os.PathLike[bytes]"]

# What a row padded to the expected column count costs per field, at the least: the engine holds
# a padded header as one std::string (32 bytes) per field; an Arrow batch gives each column a
# first data buffer of 4 KiB (arrow/builder.cpp) besides its offsets and structs.
PADDED_FIELD_BYTES = 32
ARROW_COLUMN_BYTES = 4096


def path(value: object, name: str) -> str | bytes:
    """A path given as str, bytes or os.PathLike, as the operating system will see it."""
    try:
        p = os.fspath(value)  # type: ignore[arg-type]
    except TypeError:
        raise TypeError(
            f"{name} must be a str, bytes or os.PathLike, not {type(value).__name__}"
        ) from None
    if (b"\0" if isinstance(p, bytes) else "\0") in p:  # type: ignore[operator]
        raise ValueError(f"{name} must not contain a NUL character")
    if not p:
        raise FileNotFoundError(errno.ENOENT, os.strerror(errno.ENOENT), p)
    return p


def char(value: object, name: str, *, optional: bool = False) -> str | None:
    """One ASCII character other than CR and LF; None when allowed."""
    if value is None and optional:
        return None
    if not isinstance(value, str):
        allowed = "a one-character str or None" if optional else "a one-character str"
        raise TypeError(f"{name} must be {allowed}, not {type(value).__name__}")
    if len(value) != 1:
        hint = " (for a tab, pass '\\t')" if value.lower() in ("tab", "\\t") else ""
        raise ValueError(f"{name} must be exactly one character, got {value!r}{hint}")
    if value in "\r\n":
        raise ValueError(f"{name} cannot be a line break")
    if not value.isascii():
        raise ValueError(f"{name} must be an ASCII character, got {value!r}")
    return value


def auto(value: object, name: str, check) -> object:
    """'auto', or a value that passes `check(value, name)`."""
    if isinstance(value, str) and value == "auto":
        return "auto"
    return check(value, name)


def flag(value: object, name: str) -> bool:
    if not isinstance(value, bool):
        raise TypeError(f"{name} must be True or False, not {type(value).__name__}")
    return value


def line_count(value: object, name: str) -> int:
    if isinstance(value, bool) or not isinstance(value, int):
        raise TypeError(f"{name} must be an int or 'auto', not {type(value).__name__}")
    if value < 0:
        raise ValueError(f"{name} must be 0 or more, got {value}")
    return value


def column_count(value: object, name: str) -> int | None:
    if value is None:
        return None
    if isinstance(value, bool) or not isinstance(value, int):
        raise TypeError(f"{name} must be an int or None, not {type(value).__name__}")
    if not 0 <= value < 2**62:
        raise ValueError(f"{name} must be 0 or more (0: no count enforced), got {value}")
    return value


def physical_memory() -> int:
    try:
        return os.sysconf("SC_PHYS_PAGES") * os.sysconf("SC_PAGE_SIZE")
    except (ValueError, OSError):
        return 1 << 46


def _size(n: int) -> str:
    if n < 1024:
        return f"{n} bytes"
    value = n / 1024
    for unit in ("KiB", "MiB", "GiB"):
        if value < 1024:
            return f"{value:.1f} {unit}"
        value /= 1024
    return f"{value:.1f} TiB"


def columns_fit(count: int | None, name: str, bytes_per_field: int) -> int | None:
    """`count`, unless a row padded to it could not be held in this machine's memory."""
    if count is not None and count * bytes_per_field > physical_memory():
        raise ValueError(
            f"{name}={count} cannot fit: a row padded to that many fields needs at least "
            f"{_size(count * bytes_per_field)}, more than this machine's "
            f"{_size(physical_memory())} of memory"
        )
    return count


def encoding(value: object) -> str:
    """'auto', or a codec Python knows, by its normalised name."""
    if not isinstance(value, str):
        raise TypeError(f"encoding must be a str, not {type(value).__name__}")
    if value.lower() == "auto":
        return "auto"
    try:
        return codecs.lookup(value).name
    except LookupError:
        raise ValueError(f"encoding {value!r} is not a codec Python knows") from None


def distinct(delimiter: str | None, quote: str | None, escape: str | None) -> None:
    if delimiter is not None and delimiter == quote:
        raise ValueError(f"delimiter and quote_char must differ, both are {quote!r}")
    if escape is not None and escape in (quote, delimiter):
        which = "quote_char" if escape == quote else "delimiter"
        raise ValueError(f"escape_char must differ from {which}, both are {escape!r}")


# For tests: the bytes of input a part of the pass spans (the engine's own size otherwise), so
# that small files cross many parts.
PART_BYTES_VARIABLE = "CSV_QUORLE_PART_BYTES"


def threads(value: object) -> dict[str, int]:
    """The native pass's `threads` (None: one a core) and, when the environment sets one, its
    `part_bytes`."""
    if value is None:
        count = os.cpu_count() or 1
    elif isinstance(value, bool) or not isinstance(value, int):
        raise TypeError(f"threads must be an int or None, not {type(value).__name__}")
    elif value < 1:
        raise ValueError("threads must be at least 1")
    else:
        count = value
    chosen = {"threads": count}
    part = os.environ.get(PART_BYTES_VARIABLE)
    if part:
        chosen["part_bytes"] = max(1, int(part))
    return chosen
