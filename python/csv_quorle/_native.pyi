import sys
from collections.abc import Callable
from typing import Any

if sys.version_info >= (3, 12):
    from collections.abc import Buffer
else:
    from typing_extensions import Buffer

class SourceMap:
    """A read-only map of a regular file, guarded against the file being cut short meanwhile."""

    def __init__(self, fd: int, name: Any, /) -> None: ...
    def __buffer__(self, flags: int, /) -> memoryview: ...
    def __release_buffer__(self, view: memoryview, /) -> None: ...
    @property
    def name(self) -> Any: ...
    @property
    def closed(self) -> bool: ...
    def changed(self) -> bool: ...
    def close(self) -> None: ...

def sniff(buffer: Buffer, /) -> int: ...
def rescue(
    buffer: Buffer,
    /,
    *,
    out_fd: int,
    quarantine_fd: int,
    out_path: Any,
    quarantine_path: Any,
    delimiter: int,
    quote: int,
    escape: int,
    header: bool,
    expected_columns: int,
    skip_blank_lines: bool,
    fill_ragged_rows: bool,
    merge_overflow: bool,
    repair_quotes: bool,
    output_delimiter: int,
    long_quoted_lines: int,
    recode_cp1252: bool,
    source_fd: int,
    source_offset: int,
    begin: int,
    end: int,
    first_line: int,
    header_rows: int,
    skip_initial_space: bool,
    comment: int,
    skip_repeated_header: bool,
    header_names: tuple[bytes, ...] | None,
    width_hint: int,
    trace_rows: bool = False,
    threads: int = 1,
    part_bytes: int = ...,
    progress: Callable[[int], object] | None = None,
) -> dict[str, Any]: ...
def transcode_single_byte(table: bytes, source: Buffer, out_fd: int, /) -> tuple[int, int, tuple[int, ...]]: ...
def utf8_evidence(source: Buffer, final: bool, /) -> tuple[int, int, int, int]: ...
def sample_records(
    lines: list[str],
    /,
    *,
    delimiter: str,
    quote: str | None = None,
    escape: str | None = None,
    skip_initial_space: bool = False,
    limit: int | None = None,
) -> tuple[list[tuple[int, int, list[str], int, bool]], bool]: ...
def column_counts(
    records: list[Any],
    /,
    *,
    columns: int,
    limit: int,
    classes: dict[str, int],
    classify: Callable[[str], int],
    count: int,
) -> list[int]: ...
def dialect_counts(
    records: list[Any],
    /,
    *,
    typed: int,
    lines: int,
    weights: dict[str, int],
    weigh: Callable[[str], int],
) -> tuple[dict[int, int], int, int, int, int, int, bool, int, bool, int, int, int,
           dict[int, int]]: ...
def blank_openings(records: list[Any], /) -> tuple[int, int]: ...
def weak_block(records: list[Any], /, *, width: int, wider: bool) -> tuple[int, int, int, int]: ...
def open_batches(
    buffer: Buffer,
    /,
    *,
    batch_rows: int,
    null_padding: bool,
    mapped: bool,
    quarantine_fd: int,
    quarantine_temporary: bytes,
    quarantine_target: bytes,
    quarantine_name: bytes,
    progress: Callable[[int], object] | None = None,
    delimiter: int,
    quote: int,
    escape: int,
    header: bool,
    expected_columns: int,
    skip_blank_lines: bool,
    fill_ragged_rows: bool,
    merge_overflow: bool,
    repair_quotes: bool,
    long_quoted_lines: int,
    recode_cp1252: bool,
    first_line: int,
    header_rows: int,
    skip_initial_space: bool,
    comment: int,
    skip_repeated_header: bool,
    header_names: tuple[bytes, ...] | None,
    width_hint: int,
    threads: int = 1,
    part_bytes: int = ...,
) -> Any: ...
def batches_names(handle: Any, /) -> list[str]: ...
def batches_schema(handle: Any, /) -> Any: ...
def batches_stream(handle: Any, requested_schema: Any, /) -> Any: ...
def batches_result(handle: Any, /) -> dict[str, Any] | None: ...

_Pending = tuple[int, bytes, bytes, Any]  # fd, named temporary or b"", target, name for errors

def commit(lead: _Pending | None, follower: _Pending | None, /) -> None: ...
def pause_commits_for_tests(fd: int, step: int, /) -> None: ...
