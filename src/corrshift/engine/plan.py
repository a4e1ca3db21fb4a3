"""Planning a run: a problem cut into tiles of items and each tile into ranges of passes.

The plan depends only on the problem's sizes (and, for the pass ranges, on the number of
workers), so a run started again makes the same tiles. What a tile of each analysis
holds and costs is the analysis's own (:mod:`.analyses`); the cuts are made here.
"""

import math
from typing import TYPE_CHECKING, List, Optional, Tuple

import numpy as np

if TYPE_CHECKING:
    from .problem import Problem

Tile = Tuple[int, int]

#: Target cost of a tile, in pairs (a tile of pairs is written as one file).
TILE_PAIRS = 1 << 19
#: Smallest tile worth a task, in pairs.
MIN_TILE_PAIRS = 1 << 16
#: Longest a task should take on one core, in seconds (Dask declares a silent worker
#: dead after some minutes; the native calls let its heartbeat run, but short tasks
#: also keep the progress display and the load balance fine-grained).
TASK_SECONDS = 60.0
#: Conservative speed of one core: pairs x columns x passes per second.
CORE_RATE = 2.5e9
#: A touched row costs about as much as this many pairs per pass (loading, ranking).
ROW_COST = 16


def band_starts(a0: int, a1: int, nrows: int) -> np.ndarray:
    """Offsets of rows a0 .. a1 in the pair table of the band [a0, a1) x all later rows (int64,
    a1 - a0 + 1 entries, the last one the band's pair count)."""
    counts = nrows - 1 - np.arange(a0, a1, dtype=np.int64)
    starts = np.zeros(a1 - a0 + 1, dtype=np.int64)
    np.cumsum(counts, out=starts[1:])
    return starts


def band_pairs(a0: int, a1: int, nrows: int, positions: Optional[np.ndarray] = None) -> Tuple[np.ndarray, np.ndarray]:
    """Rows (i, j) of the pairs at `positions` of a band (all of them when None), as int32."""
    starts = band_starts(a0, a1, nrows)
    if positions is None:
        first = np.repeat(np.arange(a0, a1, dtype=np.int32), np.diff(starts))
        # Row a's partners are a + 1 .. nrows - 1: steps of 1, and at the start of each row's
        # run the step from the previous run's last partner (nrows - 1) to a + 1.
        second = np.ones(int(starts[-1]), dtype=np.int32)
        if second.size:
            paired = starts[:-1] < second.size  # only the last row, nrows - 1, has no partner
            second[starts[:-1][paired]] = np.arange(a0 + 1, a1 + 1, dtype=np.int32)[paired] - (nrows - 1)
            second[0] = a0 + 1
        return first, np.cumsum(second, out=second)
    first = np.searchsorted(starts, positions, side="right") - 1
    second = positions - starts[first] + first + a0 + 1
    return (first + a0).astype(np.int32), second.astype(np.int32)


def condensed_offset(a0: int, nrows: int) -> int:
    """Position of the first pair of row a0 in the condensed order of all pairs."""
    return a0 * (2 * nrows - a0 - 1) // 2


def split(total_cost: np.ndarray, target: float) -> List[Tile]:
    """Cut items with the given cumulative cost (length n + 1, from 0) into ranges of about
    `target` each, balanced: the number of ranges is fixed first, then the cuts."""
    n = total_cost.size - 1
    if n <= 0:
        return []
    count = max(1, min(n, int(math.ceil(float(total_cost[-1]) / target))))
    marks = np.searchsorted(total_cost, total_cost[-1] * np.arange(1, count) / count, side="left")
    cuts = [0] + sorted(set(int(m) for m in marks if 0 < m < n)) + [n]
    return list(zip(cuts[:-1], cuts[1:]))


def tile_target(problem: "Problem") -> float:
    """The cost of one pass over a tile, in pairs: small enough that all passes of a tile
    fit in a task when possible."""
    passes = problem.permutations + 1
    by_time = TASK_SECONDS * CORE_RATE / (max(problem.ncols, 1) * passes)
    return max(float(MIN_TILE_PAIRS), min(float(TILE_PAIRS), by_time))


def plan_tiles(problem: "Problem") -> List[Tile]:
    """The tiles of a problem, deterministic in its sizes: half-open ranges of rows (all
    pairs: bands of first rows; row scores), of listed pairs, or of sets."""
    return problem.analysis.tiles(problem, tile_target(problem))


def tile_items(problem: "Problem", tile: Tile) -> int:
    """The entries a tile holds."""
    return problem.analysis.tile_items(problem, tile)


def tile_cost(problem: "Problem", tile: Tile) -> float:
    """Estimated pair computations of one pass over the tile."""
    return problem.analysis.tile_cost(problem, tile)


def plan_passes(problem: "Problem", tiles: List[Tile], slots: int) -> List[List[Tile]]:
    """Pass ranges of each tile: short enough for TASK_SECONDS on one core, and enough tasks
    to keep `slots` workers busy."""
    passes = problem.permutations + 1
    per_pass = [tile_cost(problem, t) * problem.ncols / CORE_RATE for t in tiles]
    parts = [max(1, int(math.ceil(s * passes / TASK_SECONDS))) for s in per_pass]
    wanted = 2 * slots if slots > 1 else 1
    while sum(parts) < wanted and any(p < passes for p in parts):
        k = int(np.argmax([s * passes / p if p < passes else -1 for s, p in zip(per_pass, parts)]))
        parts[k] += 1
    out = []
    for p in parts:
        p = min(p, passes)
        cuts = [passes * k // p for k in range(p + 1)]
        out.append(list(zip(cuts[:-1], cuts[1:])))
    return out


def whole(tiles: List[Tile]) -> List[Tile]:
    """One tile covering `tiles` (none when there are none)."""
    return tiles[:1] and [(tiles[0][0], tiles[-1][1])]
