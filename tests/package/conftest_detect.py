"""Loads the detect modules of csv_quorle for the tests.

The installed package is used when it is there. Otherwise the files are loaded straight from
python/csv_quorle/ under a private package name, so these tests need neither the package's
__init__ nor its native module.
"""

from __future__ import annotations

import importlib
import runpy
import sys
import types
from pathlib import Path
from types import ModuleType

SOURCE = Path(__file__).resolve().parents[2] / "python" / "csv_quorle"
_BARE = "_csv_quorle_source"


def load(name: str) -> ModuleType:
    try:
        return importlib.import_module(f"csv_quorle.{name}")
    except ImportError:
        pass
    if _BARE not in sys.modules:
        package = types.ModuleType(_BARE)
        package.__path__ = [str(SOURCE)]
        sys.modules[_BARE] = package
    return importlib.import_module(f"{_BARE}.{name}")


def load_path(path: Path) -> types.SimpleNamespace:
    """The names a helper script of the tests defines, run from its file."""
    return types.SimpleNamespace(**runpy.run_path(str(path)))
