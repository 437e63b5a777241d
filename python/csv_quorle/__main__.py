"""`python -m csv_quorle`: the csv-quorle command."""

import sys

from ._cli import main

sys.exit(main())
