"""The robust stage of a pair test: ``p_robust``, ``q_robust``, ``p_how``, ``n_passes``.

1. The studentized statistic T and its asymptotic p-value for every pair, in the tiles of
   the observed pass (``_blocks.studentized_block``, or ``studentized_pairs_block`` for
   listed pairs); a tile keeps its p-values (8 bytes a pair).
2. The pairs whose asymptotic p is at most the screen (:func:`corrshift.robust.screen_of`)
   run adaptive permutation passes (``_blocks.robust_pass_block``: the engine's fixed
   pass sequence, undefined passes left out, a pair stops at STOP_AT passes at least as
   extreme, else runs to CAP); a tile of them is one task, which also makes their p-values
   (sequential, tail or bound; :func:`corrshift.robust.pass_pvalues`) where it runs.
3. q_robust is Benjamini-Hochberg over all pairs of these p-values (the asymptotic one for
   the pairs not screened). Where a pair left out by the screen would be a discovery at
   `alpha`, the screen is widened to twice the largest such p (at least doubled) and the
   pairs in between run their passes, until none is: no pair is reported significant on
   its asymptotic p.

Tasks run here or on Dask as every task does; a pair's counts depend only on its two rows
and the fixed seed, so the p-values do not depend on tiles, threads or workers.
"""

import copy
import hashlib
import importlib
from typing import TYPE_CHECKING, Any, Callable, Dict, List, Optional, Tuple

import numpy as np

from .. import robust
from ..results import PairResult, bh_qvalues, bh_qvalues_below
from . import plan
from .analyses import AllPairs, ListedPairs, Progress
from .store import MemoryStore, Store
from .tasks import Job
from .two_phase import _data_rows

if TYPE_CHECKING:
    from .problem import Filters, Problem
    from .tasks import Settings


class ObservedAll(AllPairs):
    """T and its asymptotic p of every pair of a band of rows."""

    name = "robust-observed"

    def block(
        self, blocks: Any, data: np.ndarray, settings: "Settings", job: Job, threads: int, progress: Progress
    ) -> Tuple[np.ndarray, ...]:
        a, b = job.tile
        return tuple(
            blocks.studentized_block(
                data,
                settings.first,
                settings.second,
                (a, b),
                (a, data.shape[0]),
                settings.method,
                settings.alternative,
                threads,
            )
        )

    def task_result(self, settings: "Settings", job: Job, out: Tuple[np.ndarray, ...]) -> Dict[str, Any]:
        return {"p": out[1]}


class ObservedListed(ListedPairs):
    """T and its asymptotic p of a range of listed pairs."""

    name = "robust-observed-list"

    def block(
        self, blocks: Any, data: np.ndarray, settings: "Settings", job: Job, threads: int, progress: Progress
    ) -> Tuple[np.ndarray, ...]:
        return tuple(
            blocks.studentized_pairs_block(
                data,
                job.rows1,
                job.rows2,
                settings.first,
                settings.second,
                settings.method,
                settings.alternative,
                threads,
            )
        )

    def task_result(self, settings: "Settings", job: Job, out: Tuple[np.ndarray, ...]) -> Dict[str, Any]:
        return {"p": out[1]}


class Passes(ListedPairs):
    """The adaptive passes of a range of screened pairs, and their p-values."""

    name = "robust-passes"

    def block(
        self, blocks: Any, data: np.ndarray, settings: "Settings", job: Job, threads: int, progress: Progress
    ) -> Tuple[np.ndarray, ...]:
        (t_obs, counts, defined), top = blocks.robust_pass_block(
            data,
            job.rows1,
            job.rows2,
            settings.first,
            settings.second,
            settings.method,
            settings.alternative,
            0,
            settings.permutations + 1,
            None,
            robust.STOP_AT,
            robust.KEEP,
            threads,
            progress=progress,
        )
        return t_obs, counts, defined, top

    def task_result(self, settings: "Settings", job: Job, out: Tuple[np.ndarray, ...]) -> Dict[str, Any]:
        t_obs, counts, defined, top = out
        smallest = robust.smallest_p(len(settings.first), len(settings.second))
        p, how = robust.pass_pvalues(t_obs, counts, defined, top, smallest)
        return {"p": p, "how": how, "passes": defined.astype(np.int32)}


OBSERVED_ALL, OBSERVED_LISTED, PASSES = ObservedAll(), ObservedListed(), Passes()

RunTasks = Callable[..., None]

#: Memory of the stage at its peak, per pair: every pair's p-value, how it was made and its
#: passes, and Benjamini-Hochberg's order and q-values over them.
BYTES_PER_PAIR = 37


def pair_rows(problem: "Problem", positions: np.ndarray) -> Tuple[np.ndarray, np.ndarray]:
    """Data rows of the pairs at `positions` of the problem's pair order."""
    if problem.kind == "list":
        return problem.local1[positions], problem.local2[positions]  # type: ignore[index]
    n = problem.nrows
    starts = plan.band_starts(0, n - 1, n)[:-1]
    i = np.searchsorted(starts, positions, side="right") - 1
    j = i + 1 + (positions - starts[i])
    return i.astype(np.int32), j.astype(np.int32)


class Stage:
    """The robust columns of every pair of a problem, by position in its pair order."""

    def __init__(
        self,
        problem: "Problem",
        p: np.ndarray,
        how: np.ndarray,
        passes: np.ndarray,
        screen: float,
        q: Optional[np.ndarray] = None,
    ):
        self.problem = problem
        self.p, self.how, self.passes, self.screen = p, how, passes, screen
        self.q = bh_qvalues(p) if q is None else q

    def state(self) -> Dict[str, np.ndarray]:
        """What a finished output keeps of the stage (13 bytes a pair)."""
        return {"robust_p": self.p, "robust_how": self.how, "robust_passes": self.passes}

    @classmethod
    def of_state(cls, problem: "Problem", state: Dict[str, Any]) -> Optional["Stage"]:
        """The stage a finished output kept, if it ran one."""
        if "robust_p" not in state:
            return None
        return cls(problem, state["robust_p"], state["robust_how"], state["robust_passes"], float("nan"))

    def positions(self, table: PairResult) -> np.ndarray:
        """The positions in the pair order of the entries of `table` (a table of the problem)."""
        problem = self.problem
        if problem.kind == "list":
            local1, local2 = problem.local1, problem.local2
            assert local1 is not None and local2 is not None
            if len(table) == local1.size and np.array_equal(table.index1, problem.index1):
                if np.array_equal(table.index2, problem.index2):
                    return np.arange(local1.size)
            # A pair's values depend only on its two rows: any listing of it serves.
            n = np.int64(max(problem.nrows, 1))
            keys = local1.astype(np.int64) * n + local2
            order = np.argsort(keys, kind="stable")
            wanted = _data_rows(problem, table.index1).astype(np.int64) * n + _data_rows(problem, table.index2)
            return order[np.searchsorted(keys[order], wanted)]
        i, j = _data_rows(problem, table.index1), _data_rows(problem, table.index2)
        i, j = np.minimum(i, j).astype(np.int64), np.maximum(i, j).astype(np.int64)
        return i * (2 * problem.nrows - i - 1) // 2 + (j - i - 1)

    def select(self, filters: "Filters") -> np.ndarray:
        """Positions (ascending) of the pairs that pass `filters` by the robust columns:
        q_robust at most max_q, p_robust at most max_p, then the `top` smallest p_robust
        (with every pair tied with the last; the table's order then cuts the ties)."""
        keep = ~np.isnan(self.p)
        with np.errstate(invalid="ignore"):
            if filters.max_q is not None:
                keep &= self.q <= filters.max_q
            if filters.max_p is not None:
                keep &= self.p <= filters.max_p
        positions = np.flatnonzero(keep)
        top = filters.top
        if top is not None and positions.size > top:
            p = self.p[positions]
            positions = positions[p <= np.partition(p, max(top, 1) - 1)[max(top, 1) - 1]] if top else positions[:0]
        return positions

    def annotate(self, table: PairResult) -> None:
        """Attach the robust columns to the entries of `table`."""
        k = self.positions(table)
        table.set_robust(self.p[k], self.q[k], self.how[k], self.passes[k])


def compute(
    problem: "Problem",
    run_tasks: RunTasks,
    settings_of: Callable[["Problem"], "Settings"],
    alpha: float,
    store_of: Callable[[str], Store] = lambda phase: MemoryStore(),
    reach_p: Optional[float] = None,
    every_q: bool = True,
) -> Stage:
    """The robust stage of `problem` (see the module docstring); `run_tasks(problem,
    settings, tiles, ranges, store)` runs tasks, `settings_of` gives a problem's settings,
    `store_of(phase)` the store of a phase's tasks (a folder of the output's work folder
    with ``out``, so that an interrupted run resumes them). With `reach_p` (a run's
    ``max_p``) every pair whose asymptotic p is at most it runs its passes too. Without
    `every_q` (a run whose max_q is `alpha`), only the q-values up to 2 `alpha` are made
    (:func:`bh_qvalues_below`; NaN above), which sorts a small share of the pairs."""
    observed = copy.copy(problem)
    observed.permutations = 0
    observed.analysis = OBSERVED_LISTED if problem.kind == "list" else OBSERVED_ALL
    tiles = plan.plan_tiles(observed)
    store = store_of("robust-observed")
    run_tasks(observed, settings_of(observed), tiles, [[(0, 1)] for _ in tiles], store)
    parts: List[np.ndarray] = [store.load_tile(t)["p"] for t in range(len(tiles))]
    asymptotic = np.concatenate(parts) if parts else np.zeros(0)
    del store, parts
    p = asymptotic.copy()
    how = np.zeros(p.size, dtype=np.int8)
    passes = np.zeros(p.size, dtype=np.int32)
    ran = np.zeros(p.size, dtype=bool)
    screen = max(robust.screen_of(p.size), reach_p or 0.0)
    rounds = 0
    with np.errstate(invalid="ignore"):
        while True:
            new = np.flatnonzero(~ran & (asymptotic <= screen))
            if new.size:
                rounds += 1
                store = store_of("robust-passes-{}".format(rounds))
                p[new], how[new], passes[new] = _passes(problem, new, run_tasks, settings_of, store)
                ran[new] = True
            q = bh_qvalues_below(p, 2 * alpha)
            missed = (q <= alpha) & ~ran
            if screen >= 1.0 or not missed.any():
                break
            # BH's cutoff passed the screen: widen it to twice the largest p-value that
            # would be a discovery unless it runs its passes (at least doubling it).
            screen = min(1.0, 2 * max(screen, float(np.max(p[missed]))))
    return Stage(problem, p, how, passes, screen, bh_qvalues(p) if every_q else q)


def _passes(
    problem: "Problem",
    positions: np.ndarray,
    run_tasks: RunTasks,
    settings_of: Callable[["Problem"], "Settings"],
    store: Store,
) -> Tuple[np.ndarray, np.ndarray, np.ndarray]:
    listed = copy.copy(problem)
    listed.kind = "list"
    listed.local1, listed.local2 = pair_rows(problem, positions)
    listed.index1, listed.index2 = listed.local1, listed.local2
    listed.permutations = robust.CAP
    listed.analysis = PASSES
    tiles = plan.plan_tiles(listed)
    run_tasks(listed, settings_of(listed), tiles, [[(0, robust.CAP + 1)] for _ in tiles], store)
    done = [store.load_tile(t) for t in range(len(tiles))]
    return tuple(np.concatenate([d[k] for d in done]) for k in ("p", "how", "passes"))  # type: ignore[return-value]


def applies(problem: "Problem") -> Optional[str]:
    """Why the stage does not run for `problem` (None when it does)."""
    if problem.analysis.table != "pairs" or not getattr(problem, "robust", False):
        return "not asked for"
    from . import tasks

    if not hasattr(importlib.import_module(tasks.BLOCKS), "robust_pass_block"):
        return "the block functions in use have no robust passes"  # a stand-in of the tests
    return None


def digest_of(digest: str) -> str:
    """The input hash of a run with the robust stage: its files have the robust columns."""
    return hashlib.sha256((digest + "|robust").encode("ascii")).hexdigest()
