"""Differential correlation between two groups of observations.

The compiled modules ``scores`` and ``pipelines`` hold the native functions; ``ztest``,
``row_scores``, ``set_scores`` and ``module_scores`` are the functions to call with names, keyword
arguments and NumPy, pandas, SciPy sparse or AnnData data.
``corrshift.tl`` (analyses that store their results in an AnnData object), ``corrshift.get``
(those results as DataFrames) and ``corrshift.pl`` (figures) follow scanpy's conventions;
``corrshift.network`` turns the significant pairs into a network (NetworkX, GraphML, edge list).
"""

from . import get, network, pipelines, pl, scores, tl
from ._version import __version__
from .api import (
    MAX_EXHAUSTIVE_ROWS,
    MAX_PERMUTATIONS,
    MIN_GROUP_SIZE,
    Example,
    InputError,
    example_path,
    load_example,
    module_scores,
    row_scores,
    set_scores,
    ztest,
)
from .engine.compute import OutOfMemory
from .engine.execute import ClusterLost
from .results import ModuleResult, PairResult, RowResult, SetResult, bh_qvalues

__all__ = [
    "pipelines",
    "scores",
    "tl",
    "get",
    "pl",
    "network",
    "ztest",
    "row_scores",
    "set_scores",
    "module_scores",
    "PairResult",
    "RowResult",
    "SetResult",
    "ModuleResult",
    "bh_qvalues",
    "InputError",
    "ClusterLost",
    "OutOfMemory",
    "load_example",
    "example_path",
    "Example",
    "MAX_EXHAUSTIVE_ROWS",
    "MAX_PERMUTATIONS",
    "MIN_GROUP_SIZE",
    "__version__",
]
