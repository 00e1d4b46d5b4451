"""`python -m hovra`: the command-line tool (see hovra.cli)."""

import sys

from .cli import main

if __name__ == "__main__":
    sys.exit(main())
