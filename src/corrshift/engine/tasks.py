"""Tasks: one pass range of one tile, computed by a native block call.

This is what a worker imports. A task is pure: the column split of every permutation
pass depends only on the number of columns and the fixed seed, and a pair's statistics
only on its two rows, so the exceedance counts of a tile's pass ranges add up to those of
a single call, bit for bit, wherever and however often a task runs.
"""

import dataclasses
import importlib
from dataclasses import dataclass
from typing import TYPE_CHECKING, Any, Callable, Dict, List, Optional, Tuple

import numpy as np

from .. import _inputs

if TYPE_CHECKING:
    from .analyses import Analysis

#: Module holding the native block functions; tests point it at an exact stand-in.
#: Tasks import it by name, so that Dask worker processes do the same.
BLOCKS = "corrshift._blocks"


@dataclass(frozen=True, eq=False)
class Settings:
    """What every task of a run needs besides its matrix and its job: the options of the
    block calls and of the tile summaries."""

    blocks: str  # module of the block functions
    first: np.ndarray  # the groups' columns of the matrix
    second: np.ndarray
    method: str
    alternative: str
    score: Optional[str]  # row and set scores
    permutations: int
    n1: int  # the groups' sizes
    n2: int
    group1: str  # the groups' labels
    group2: str
    class_alpha: float
    threads: int  # threads of a task (replaced by each Dask worker's own)
    # Tiles are summarised (kept entries, distinct p-values) unless every entry is kept
    # in memory, and make their per-pair columns only for the files.
    summary: bool
    columns: bool
    keep_p: Optional[float]  # a tile keeps only entries with p at most this
    hist_limit: float  # a tile counts the distinct p-values up to this
    tile_top: Optional[int]  # a tile keeps at most this many entries
    # The statistics of the block calls: "api" (average ranks for ties, rows standardised
    # within each group, the observed pass and float64 p-values in double) or "native"
    # (the public pipelines' values).
    statistics: str = "api"


@dataclass(frozen=True, eq=False)
class Job:
    """One task: the pass range `passes` of tile number `index`, the items `tile` of the
    problem. Listed pairs and sets bring the pairs of the tile (data rows), sets also the
    order that puts the block's results back into the order of the tile's sets; modules
    bring their distinct pairs and each module's positions among them."""

    analysis: "Analysis"
    index: int
    tile: Tuple[int, int]
    passes: Tuple[int, int] = (0, 1)
    rows1: Optional[np.ndarray] = None
    rows2: Optional[np.ndarray] = None
    order: Optional[np.ndarray] = None
    # Modules: module g of the tile holds the pairs members[starts[g] .. starts[g + 1]).
    starts: Optional[np.ndarray] = None
    members: Optional[np.ndarray] = None

    def covers(self, settings: Settings) -> bool:
        """Whether the task holds every pass of its tile."""
        return self.passes == (0, settings.permutations + 1)


def _host_threads(host_slots: Optional[Dict[str, int]]) -> int:
    """Threads for a task on this Dask worker: its host's cores over the tasks the host runs
    at once."""
    cores = _inputs.usable_cores()
    if not host_slots:
        return cores
    from distributed import get_worker  # type: ignore[import]
    from distributed.comm import get_address_host  # type: ignore[import]

    host = get_address_host(get_worker().address)
    return max(1, cores // max(1, host_slots.get(host, 1)))


def run_task(
    data: np.ndarray,
    settings: Settings,
    job: Job,
    n_jobs: Optional[int] = None,
    host_slots: Optional[Dict[str, int]] = None,
    progress: Optional[Callable[[int], None]] = None,
) -> Dict[str, Any]:
    """Compute one task: a pass range of a tile. Pure: the same arguments give the same result.

    A task that covers every pass of its tile returns the tile's summary (see
    :func:`.summary.pair_summary`); otherwise the raw counts, and the observed values when
    it holds pass 0.
    """
    blocks = importlib.import_module(settings.blocks)
    threads = n_jobs if n_jobs is not None else _host_threads(host_slots)
    out = job.analysis.block(blocks, data, settings, job, threads, progress)
    # The summary's side-by-side columns use this worker's cores.
    return job.analysis.task_result(dataclasses.replace(settings, threads=threads), job, out)


def combine(settings: Settings, analysis: "Analysis", parts: List[Dict[str, Any]]) -> Dict[str, Any]:
    """The summary of a tile from the raw results of its pass ranges (pass 0 first)."""
    counts = parts[0]["counts"].astype(np.int64)
    for part in parts[1:]:
        counts += part["counts"]
    return analysis.tile_summary(settings, parts[0], counts.astype(np.int32))
