"""read_arrow(), read_polars(), read_pandas(): a rescued file as a table of text columns, built
from the Arrow stream of read_batches() with no clean file in between. Each library is optional
and imported here, on first use."""

from __future__ import annotations

from typing import Any

from ._batches import _import, read_batches


def read_arrow(source: Any, **options: Any) -> Any:
    """A pyarrow.Table of the rescued rows; `options` are read_batches()'s."""
    pa = _import("pyarrow", "arrow")
    return pa.RecordBatchReader.from_stream(read_batches(source, **options)).read_all()


def read_polars(source: Any, **options: Any) -> Any:
    """A polars.DataFrame of the rescued rows; `options` are read_batches()'s."""
    pl = _import("polars", "polars")
    return pl.DataFrame(read_batches(source, **options))


def read_pandas(source: Any, **options: Any) -> Any:
    """A pandas.DataFrame of the rescued rows (through pyarrow); `options` are read_batches()'s."""
    _import("pandas", "pandas")
    return read_arrow(source, **options).to_pandas()
