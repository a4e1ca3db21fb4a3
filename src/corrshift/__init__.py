"""Differential correlation between two groups of observations.

The compiled modules ``scores`` and ``pipelines`` hold the native functions; ``ztest``,
``row_scores`` and ``set_scores`` are the functions to call with names, keyword
arguments and NumPy, pandas, SciPy sparse or AnnData data.
"""
from . import pipelines, scores
from ._version import __version__
from .api import (MAX_EXHAUSTIVE_ROWS, MAX_PERMUTATIONS, MIN_GROUP_SIZE, Example, InputError, example_path,
                  load_example, row_scores, set_scores, ztest)
from .engine.execute import ClusterLost
from .results import PairResult, RowResult, SetResult, bh_qvalues

__all__ = ["pipelines", "scores", "ztest", "row_scores", "set_scores", "PairResult", "RowResult",
           "SetResult", "bh_qvalues", "InputError", "ClusterLost", "load_example", "example_path", "Example",
           "MAX_EXHAUSTIVE_ROWS", "MAX_PERMUTATIONS", "MIN_GROUP_SIZE", "__version__"]
