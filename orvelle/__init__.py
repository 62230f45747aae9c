"""Bias ratios of language-model token embeddings against groups of seed words."""

from .orvelle import *  # noqa: F401,F403
from .orvelle import __all__, calculator, version, visualize  # noqa: F401
