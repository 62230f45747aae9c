# The package is the extension module `orvelle.orvelle` seen under its own name:
# the same functions, `__all__` and (empty) doc string.
import sys as _sys

# The extension initialises once per process. A fresh import of the package
# (after it was dropped from sys.modules) initialises it again and is refused
# with ImportError, as an import of the extension alone would be; a reload of
# the package keeps the extension already loaded.
if "orvelle" not in globals():
    _sys.modules.pop(__name__ + ".orvelle", None)
del _sys

from .orvelle import *  # noqa: E402,F401,F403
from .orvelle import __all__, calculator, version, visualize  # noqa: E402,F401

__doc__ = orvelle.__doc__  # noqa: F405

# Package-level additions, outside the extension's __all__.
from .measurement import Measurement, measure  # noqa: E402,F401
from .orvelle import MissingWordWarning, RankDeficiencyWarning, SparseSpaceWarning  # noqa: E402,F401
