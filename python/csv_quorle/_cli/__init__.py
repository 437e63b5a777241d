"""The `csv-quorle` command: `main` parses the arguments (main.py), `commands` does each command's
work, `run` rescues the inputs one by one or in a pool, `show` writes reports, tables and JSON."""

from .exits import EXIT_FAILED, EXIT_INTERRUPTED, EXIT_OK, EXIT_QUARANTINE, EXIT_TERMINATED, EXIT_USAGE, PROG
from .main import main

__all__ = ["EXIT_FAILED", "EXIT_INTERRUPTED", "EXIT_OK", "EXIT_QUARANTINE", "EXIT_TERMINATED", "EXIT_USAGE",
           "PROG", "main"]
