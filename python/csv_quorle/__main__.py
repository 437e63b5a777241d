"""`python -m csv_quorle`: the csv-quorle command."""

import sys

from ._cli import main

# The guard matters: worker processes import the main module again, as `__mp_main__`.
if __name__ == "__main__":
    sys.exit(main())
