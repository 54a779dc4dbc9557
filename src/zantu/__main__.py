"""python -m zantu: see zantu.cli."""

import sys

from zantu.cli import main

sys.exit(main())
