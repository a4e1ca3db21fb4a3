"""Filtered z-tests in two phases: the permutation passes only for the pairs that are reported.

When ``max_p``, ``max_q`` or ``top`` decide which pairs a z-test reports, those pairs
are known from the observed pass alone (the filters are on the normal-approximation
p-values and their exact Benjamini-Hochberg q-values). Phase 1 runs pass 0 over every
pair, in tiles as any run does, and finds the reported pairs; phase 2 runs passes
1 .. P only for them, as a list of pairs (the listed-pair block function: the same column
splits and the same counting rule), in tiles and pass ranges, here or on Dask. A pair's
exceedance count depends only on its two rows and the fixed seed, so ``perm_p`` is the
full run's, bit for bit.

``perm_q`` needs the exceedance count of every pair, which phase 2 does not have: a
two-phase table reports it as NaN and says so in its metadata; ``perm_q=True`` runs every
pass over every pair instead.

With ``out=DIR`` both phases are resumable: phase 1 keeps its finished tiles as a
one-phase run does, phase 2 in the work folder's ``perm`` folder, listed in the
manifest under ``perm_tiles_done`` (their checksums under ``perm_work``). A finished
two-phase output whose files are damaged is computed again in full on the next run: its
parts are cut by the reported pairs, not by the tiles of phase 1.
"""

import copy
import hashlib
from typing import TYPE_CHECKING, Any, Callable, Dict, List, Optional, Tuple

import numpy as np

from ..results import PairResult, permutation_pvalues
from . import plan
from .analyses import ListedPairs
from .assemble import empty_pairs, pair_result
from .store import FolderStore, MemoryStore, Store
from .tasks import Job, Settings

if TYPE_CHECKING:
    from .problem import Filters, Problem

#: What a two-phase table says of its perm_q column (metadata, TSV comment).
PERM_Q_NOTE = (
    "not computed: the permutation passes ran only for the reported pairs; pass perm_q=True "
    "(--perm-q) to run them for every pair and report perm_q"
)


def applies(problem: "Problem", filters: "Filters", perm_q: bool) -> bool:
    """Whether a run of `problem` is done in two phases."""
    return problem.analysis.table == "pairs" and problem.permutations > 0 and filters.any and not perm_q


def digest_of(digest: str) -> str:
    """The input hash of a two-phase run: its work files differ from a one-phase run's."""
    return hashlib.sha256((digest + "|two-phase").encode("ascii")).hexdigest()


class PermutationCounts(ListedPairs):
    """Phase 2: the exceedance counts of passes 1 .. P for a list of pairs (data rows)."""

    name = "perm-counts"

    def task_result(self, settings: Settings, job: Job, out: Tuple[np.ndarray, ...]) -> Dict[str, Any]:
        return {"counts": out[4]}

    def tile_summary(self, settings: Settings, head: Dict[str, Any], counts: np.ndarray) -> Dict[str, Any]:
        return {"counts": counts}


COUNTS = PermutationCounts()


def _observed_problem(problem: "Problem") -> "Problem":
    observed = copy.copy(problem)
    observed.permutations = 0
    return observed


def _data_rows(problem: "Problem", rows: np.ndarray) -> np.ndarray:
    """The data rows (of problem.data) of user's rows that the problem uses."""
    if problem.kind == "list":
        user = np.concatenate([problem.index1, problem.index2])  # type: ignore[list-item]
        local = np.concatenate([problem.local1, problem.local2])  # type: ignore[list-item]
    elif problem.rows is not None:
        user, local = problem.rows, np.arange(problem.rows.size)
    else:
        return rows.astype(np.int32)
    inverse = np.full(int(user.max()) + 1 if user.size else 0, -1, dtype=np.int64)
    inverse[user] = local
    found = inverse[rows]
    assert (found >= 0).all()
    return found.astype(np.int32)


def _pass_ranges(problem: "Problem", tiles: List[plan.Tile], slots: int, split: bool) -> List[List[plan.Tile]]:
    """Ranges of passes 1 .. P of each phase-2 tile."""
    passes = problem.permutations
    if not split:
        return [[(1, passes + 1)] for _ in tiles]
    shorter = copy.copy(problem)
    shorter.permutations = passes - 1  # plan_passes cuts 0 .. permutations
    return [[(f + 1, l + 1) for f, l in r] for r in plan.plan_passes(shorter, tiles, slots)]


RunTasks = Callable[..., None]


def compute(
    problem: "Problem",
    settings: Settings,
    filters: "Filters",
    store: Store,
    run_tasks: RunTasks,
    settings_of: Callable[["Problem"], Settings],
    write: Optional[Callable[[int, Any, bool], None]],
    keep_limit: Optional[int],
    split: bool,
    slots: int,
) -> PairResult:
    """The table of a filtered z-test in two phases (see the module docstring).

    `store` holds phase 1 (a FolderStore with ``out``, whose output folder also gets phase
    2's store); `run_tasks(problem, settings, tiles, ranges, store)` runs the tasks that a
    store does not hold yet; `settings_of` gives the settings of another problem of the
    same run; `split` asks for pass ranges planned for `slots` workers (else one task per
    tile); `write` takes the part files.
    """
    # Phase 1: the observed pass over every pair, and the reported pairs in pair order.
    observed = _observed_problem(problem)
    settings1 = settings_of(observed)
    tiles1 = plan.plan_tiles(observed)
    run_tasks(observed, settings1, tiles1, [[(0, 1)] for _ in tiles1], store)
    if filters.top is None:
        kept = problem.analysis.finish(observed, settings1, tiles1, store, filters, None, None)
    else:  # the table of the top best is sorted; its parts are in pair order
        parts: List[PairResult] = []
        problem.analysis.finish(observed, settings1, tiles1, store, filters, lambda t, part: parts.append(part), None)
        kept = PairResult.concatenate(parts) if parts else empty_pairs(problem, settings)

    # Phase 2: passes 1 .. P for the reported pairs, as a list of pairs.
    listed = copy.copy(problem)
    listed.kind = "list"
    listed.local1, listed.local2 = _data_rows(problem, kept.index1), _data_rows(problem, kept.index2)
    listed.index1, listed.index2 = kept.index1, kept.index2
    listed.analysis = COUNTS
    tiles2 = plan.plan_tiles(listed)
    store2: Store = FolderStore(store.out, store.manifest, "perm") if isinstance(store, FolderStore) else MemoryStore()
    run_tasks(listed, settings, tiles2, _pass_ranges(listed, tiles2, slots, split), store2)
    counts = (
        np.concatenate([store2.load_tile(t)["counts"] for t in range(len(tiles2))]) if tiles2 else np.zeros(0, np.int32)
    )

    perm_p = permutation_pvalues(counts, problem.permutations, kept.z_diff)
    columns = {k: kept.made(k) for k in ("p1", "p2", "class_code") if kept.made(k) is not None}
    result = pair_result(
        problem.names,
        kept.index1,
        kept.index2,
        [kept.r1, kept.r2, kept.z_diff, kept.p_value, perm_p],
        settings,
        kept.q_value,
        np.full(perm_p.shape, np.nan),
        columns,
    )
    return deliver(result, tiles2, write, filters.top is not None, keep_limit)


def deliver(
    result: PairResult,
    cuts: List[plan.Tile],
    write: Optional[Callable[[int, Any, bool], None]],
    sort: bool,
    keep_limit: Optional[int],
) -> PairResult:
    """Write the parts of a table of reported pairs (cut at `cuts`, in pair order), then
    return it sorted (`sort`, a table of the top best) or its best `keep_limit` entries."""
    if write is not None:
        cuts = cuts or [(0, 0)]
        for t, (a, b) in enumerate(cuts):
            write(t, result.take(np.arange(a, b)), t == len(cuts) - 1)
    if sort:
        return result.top()
    if keep_limit is not None and len(result) > keep_limit:
        return result.take(np.sort(result.order()[:keep_limit]))
    return result
