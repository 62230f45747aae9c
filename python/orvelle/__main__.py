"""python -m orvelle FEATURES --seeds he,him --seeds she,her ...: see orvelle.cli."""

import sys

from .cli import main

sys.exit(main())
