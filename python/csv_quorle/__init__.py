"""csv_quorle: rescues damaged CSV files into clean ones, with a report of every change.

>>> import csv_quorle
>>> report = csv_quorle.rescue("export.csv", "clean.csv", "quarantine.csv")  # doctest: +SKIP
"""

from typing import TYPE_CHECKING, Any

from ._detect import detect
from ._dialect import Decision, Dialect
from ._report import CellError, Repair, RepairList, Report, SkippedLines
from ._rescue import rescue
from ._version import __version__  # written by the build, from pyproject.toml

if TYPE_CHECKING:
    from ._arrow import read_arrow, read_pandas, read_polars
    from ._record_batches import RecordBatches, read_batches
    from ._many_files import FileResult, rescue_many
    from ._columnar_out import write_ipc, write_parquet

__all__ = [
    "CellError",
    "Decision",
    "Dialect",
    "FileResult",
    "Repair",
    "RecordBatches",
    "RepairList",
    "Report",
    "SkippedLines",
    "detect",
    "read_arrow",
    "read_batches",
    "read_pandas",
    "read_polars",
    "rescue",
    "rescue_many",
    "write_ipc",
    "write_parquet",
]


def __getattr__(name: str) -> Any:
    # The process pool is imported only by those who use it, so the command line starts fast.
    if name in ("rescue_many", "FileResult"):
        from . import _many_files

        return getattr(_many_files, name)
    # Arrow streams and the DataFrame conveniences: imported on first use, like their libraries.
    if name in ("read_batches", "RecordBatches"):
        from . import _record_batches

        return getattr(_record_batches, name)
    if name in ("read_arrow", "read_polars", "read_pandas"):
        from . import _arrow

        return getattr(_arrow, name)
    if name in ("write_parquet", "write_ipc"):
        from . import _columnar_out

        return getattr(_columnar_out, name)
    raise AttributeError(f"module 'csv_quorle' has no attribute {name!r}")
