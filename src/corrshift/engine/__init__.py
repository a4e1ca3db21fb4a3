"""The engine behind the analyses: a problem cut into tasks, run here or on a Dask cluster.

A problem (all pairs, listed pairs, row scores, set scores or module scores) is cut into
*tiles* (a band of rows of the pair table, a slice of the pair list, a range of rows, of
sets or of modules)
and each tile into *pass ranges*. A task computes one pass range of one tile with the
native block functions. Tasks are pure: the column split of every permutation pass
depends only on the number of columns and the fixed seed, and a pair's statistics only
on its two rows, so the exceedance counts of a tile's pass ranges add up to those of a
single call, bit for bit, wherever and however often a task runs.

Tasks run one after another in this process (each on ``n_jobs`` threads), or on a Dask
cluster (``client=``): the matrix goes to every worker once, a worker runs one task at a
time on all its cores, and the results come back as they complete.

Benjamini-Hochberg q-values are exact without holding every pair: each tile counts its
distinct p-values, the counts are merged, and the q-value of each distinct value is
computed with the same float64 operations as :func:`corrshift.results.bh_qvalues` (when the
merged counts would not fit in memory, from files: :mod:`.spilled_counts`). Since
q >= p, a tile keeps only entries that can pass ``max_q``. A run that keeps every entry in
memory does none of this: it joins the tiles' arrays, and the table makes ``p1``, ``p2``,
``class`` and the q-values when they are first asked for.

With ``out=DIR`` the run writes a Parquet dataset and can be resumed: ``DIR`` holds a
manifest (a hash of the inputs and the finished tiles) and a work folder of finished
tasks; a run started again with the same inputs computes only what is missing and ends
with the same files as an uninterrupted run.

The modules: :mod:`.problem` (what to compute), :mod:`.analyses` (one class per
analysis), :mod:`.plan` (tiles and pass ranges), :mod:`.tasks` (settings, jobs and the
task a worker runs), :mod:`.summary` (what a tile of pairs keeps), :mod:`.execute` (this
process, Dask, local clusters), :mod:`.store` (finished tasks and tiles),
:mod:`.assemble` (the result table), :mod:`.two_phase` (filtered pair runs: the
permutation passes only for the reported pairs), :mod:`.output` (the output folder) and
:mod:`.compute` (a run from its checks to its result); docs/design.md shows how they meet.

The tunables below (TILE_PAIRS, TASK_SECONDS, BLOCKS, ...) and ``run_task`` may be set
on this package, as the tests and the benchmark do: the package passes the new value on
to the module that reads it.
"""

import sys
import types
from typing import Any, Dict

from ..results import bh_from_counts
from . import compute, plan, tasks
from .analyses import ANALYSES, AllPairs, Analysis, ListedPairs, PairAnalysis, RowScores, ScoreAnalysis, SetScores
from .compute import (
    BYTES_PER_DISTINCT,
    BYTES_PER_PAIR,
    FLOAT32_UNIT_VALUES,
    KEEP_IN_MEMORY,
    ORDER_NOTE,
    Checked,
    OutOfMemory,
    check_filters,
    check_histogram_memory,
    check_memory,
    check_only,
    run,
)
from .compute import _available_memory  # noqa: F401  (set by the tests)
from .execute import connect, host_slots, local_cluster, require_dask
from .output import OutputLock, check_output, prepare_output
from .output import process_start as _process_start  # noqa: F401  (used by the tests)
from .plan import (
    CORE_RATE,
    MIN_TILE_PAIRS,
    ROW_COST,
    TASK_SECONDS,
    TILE_PAIRS,
    band_pairs,
    band_starts,
    condensed_offset,
    plan_passes,
    plan_tiles,
    tile_cost,
    tile_items,
)
from .problem import FORMAT, Filters, Problem, input_hash
from .store import FolderStore, MemoryStore, Store, write_manifest
from .summary import _distinct  # noqa: F401  (used by the tests)
from .summary import at_most, pair_summary
from .tasks import BLOCKS, Job, Settings, combine, run_task

__all__ = [
    "Problem",
    "Filters",
    "run",
    "check_only",
    "Checked",
    "OutOfMemory",
    "connect",
    "local_cluster",
    "require_dask",
    "host_slots",
    "ANALYSES",
    "Analysis",
    "PairAnalysis",
    "ScoreAnalysis",
    "AllPairs",
    "ListedPairs",
    "RowScores",
    "SetScores",
    "Settings",
    "Job",
    "run_task",
    "combine",
    "pair_summary",
    "at_most",
    "bh_from_counts",
    "band_starts",
    "band_pairs",
    "condensed_offset",
    "plan_tiles",
    "plan_passes",
    "tile_items",
    "tile_cost",
    "check_filters",
    "check_memory",
    "check_histogram_memory",
    "input_hash",
    "check_output",
    "OutputLock",
    "prepare_output",
    "Store",
    "MemoryStore",
    "FolderStore",
    "write_manifest",
    "TILE_PAIRS",
    "MIN_TILE_PAIRS",
    "TASK_SECONDS",
    "CORE_RATE",
    "ROW_COST",
    "BLOCKS",
    "FORMAT",
    "KEEP_IN_MEMORY",
    "BYTES_PER_PAIR",
    "BYTES_PER_DISTINCT",
    "FLOAT32_UNIT_VALUES",
    "ORDER_NOTE",
]

#: Where each settable name is read: setting it on the package sets it there too.
_HOMES: Dict[str, types.ModuleType] = {
    "TILE_PAIRS": plan,
    "MIN_TILE_PAIRS": plan,
    "TASK_SECONDS": plan,
    "CORE_RATE": plan,
    "ROW_COST": plan,
    "BLOCKS": tasks,
    "run_task": tasks,
    "KEEP_IN_MEMORY": compute,
    "BYTES_PER_PAIR": compute,
    "_available_memory": compute,
}


class _Engine(types.ModuleType):
    def __setattr__(self, name: str, value: Any) -> None:
        home = _HOMES.get(name)
        if home is not None:
            setattr(home, name, value)
        super().__setattr__(name, value)


sys.modules[__name__].__class__ = _Engine
