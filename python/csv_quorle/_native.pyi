import sys
from typing import Any

if sys.version_info >= (3, 12):
    from collections.abc import Buffer
else:
    from typing_extensions import Buffer

def sniff(buffer: Buffer, /) -> int: ...
def rescue(
    buffer: Buffer,
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
    /,
) -> dict[str, Any]: ...
def transcode_single_byte(table: bytes, source: Buffer, out_fd: int, /) -> tuple[int, int, tuple[int, ...]]: ...
def utf8_evidence(source: Buffer, final: bool, /) -> tuple[int, int, int, int]: ...
def open_batches(
    buffer: Buffer,
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
    batch_rows: int,
    null_padding: bool,
    mapped: bool,
    quarantine_fd: int,
    quarantine_temp: bytes,
    quarantine_path: bytes,
    first_line: int,
    header_rows: int,
    skip_initial_space: bool,
    /,
) -> Any: ...
def batches_names(handle: Any, /) -> list[str]: ...
def batches_schema(handle: Any, /) -> Any: ...
def batches_stream(handle: Any, requested_schema: Any, /) -> Any: ...
def batches_result(handle: Any, /) -> dict[str, Any] | None: ...
