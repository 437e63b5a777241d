"""csv_quorle: rescues damaged CSV files into clean ones, with a report of every change.

>>> import csv_quorle
>>> report = csv_quorle.rescue("export.csv", "clean.csv", "quarantine.csv")  # doctest: +SKIP
"""

from typing import TYPE_CHECKING, Any

from ._detect import detect
from ._dialect import Decision, Dialect
from ._report import Repair, RepairList, Report, SkippedLines
from ._rescue import rescue

if TYPE_CHECKING:
    from ._many import FileResult, rescue_many

__all__ = [
    "Decision",
    "Dialect",
    "FileResult",
    "Repair",
    "RepairList",
    "Report",
    "SkippedLines",
    "detect",
    "rescue",
    "rescue_many",
]
__version__ = "0.2.0"


def __getattr__(name: str) -> Any:
    # The process pool is imported only by those who use it, so the command line starts fast.
    if name in ("rescue_many", "FileResult"):
        from . import _many

        return getattr(_many, name)
    raise AttributeError(f"module 'csv_quorle' has no attribute {name!r}")
