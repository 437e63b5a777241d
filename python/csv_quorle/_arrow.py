"""read_arrow(), read_polars(), read_pandas(): a rescued file as a table of text columns, built
from the Arrow stream of read_batches() with no clean file in between. Each library is optional
and imported here, on first use."""

from __future__ import annotations

from typing import Any

from collections.abc import Callable

from ._record_batches import RecordBatches, import_extra, read_batches


def _consume(batches: RecordBatches, consume: Callable[[RecordBatches], Any]) -> Any:
    """`consume(batches)`; when the stream itself failed (its quarantine file, say), its own
    OSError, with errno and file name, rather than the consumer's retelling of its message."""
    try:
        return consume(batches)
    except Exception:
        own = batches._failure()
        if own is None:
            raise
        raise own from None


def read_arrow(source: Any, **options: Any) -> Any:
    """A pyarrow.Table of the rescued rows; `options` are read_batches()'s."""
    pa = import_extra("pyarrow", "arrow")
    return _consume(read_batches(source, **options),
                    lambda b: pa.RecordBatchReader.from_stream(b).read_all())


def read_polars(source: Any, **options: Any) -> Any:
    """A polars.DataFrame of the rescued rows; `options` are read_batches()'s."""
    pl = import_extra("polars", "polars")
    return _consume(read_batches(source, **options), pl.DataFrame)


def read_pandas(source: Any, **options: Any) -> Any:
    """A pandas.DataFrame of the rescued rows (through pyarrow); `options` are read_batches()'s."""
    import_extra("pandas", "pandas")
    return read_arrow(source, **options).to_pandas()
