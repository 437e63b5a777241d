"""csv_quorle: rescues damaged CSV files into clean ones, with a report of every change.

>>> import csv_quorle
>>> report = csv_quorle.rescue("export.csv", "clean.csv", "quarantine.csv")  # doctest: +SKIP
"""

from ._report import Repair, RepairList, Report
from ._rescue import rescue

__all__ = ["Repair", "RepairList", "Report", "rescue"]
__version__ = "0.2.0"
