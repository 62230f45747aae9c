"""python -m orvelle FEATURES --seeds he,him --seeds she,her ...: see orvelle.cli."""

import sys

from .cli import main

try:
    sys.exit(main())
except KeyboardInterrupt:
    print("orvelle: interrupted", file=sys.stderr)
    sys.exit(130)
