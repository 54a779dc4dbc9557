"""python -m zantu: see zantu.cli."""

import sys

from zantu.cli import main

if __name__ == "__main__":
    sys.exit(main())
