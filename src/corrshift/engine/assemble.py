"""From finished tiles to the result table.

Benjamini-Hochberg q-values are exact without holding every pair: each tile counts its
distinct p-values, the counts are merged (:class:`Histogram`), and the q-value of each
distinct value is computed with the same float64 operations as
:func:`corrshift.results.bh_qvalues`. Since q >= p, a tile keeps only entries that can pass
``max_q``. A run that keeps every entry in memory does none of this: it joins the tiles'
arrays, and the table makes ``p1``, ``p2``, ``class`` and the q-values when they are first
asked for.
"""

from typing import TYPE_CHECKING, Any, Callable, Dict, List, Optional, Tuple

import numpy as np

from ..results import PairResult, bh_from_counts, permutation_pvalues
from .summary import at_most, count_at_most

if TYPE_CHECKING:
    from .analyses import PairAnalysis, ScoreAnalysis
    from .plan import Tile
    from .problem import Filters, Problem
    from .tasks import Settings

Writer = Optional[Callable[[int, Any], None]]


def merge_counts(values: List[np.ndarray], counts: List[np.ndarray]) -> Tuple[np.ndarray, np.ndarray]:
    """Distinct values (ascending) and their summed counts, from lists of both."""
    present = [k for k, v in enumerate(values) if v.size]
    if not present:
        return np.zeros(0, dtype=np.float32), np.zeros(0, dtype=np.int64)
    if len(present) == 1:  # already distinct and sorted
        return values[present[0]], counts[present[0]].astype(np.int64)
    found, inverse = np.unique(np.concatenate(values), return_inverse=True)
    # Weights are whole numbers below 2**53, so the float64 sums are exact.
    total = np.bincount(inverse.reshape(-1), weights=np.concatenate(counts).astype(np.float64), minlength=found.size)
    return found, total.astype(np.int64)


class QBound:
    """An upper bound on the largest p-value whose Benjamini-Hochberg q-value can be at most
    `limit` (``max_q`` with its rounding margin), tightened as the tiles' counts arrive.

    Every reported p-value v lies at or below p*, the largest distinct p-value w with
    ``w * m / R(w) <= max_q`` (R(w): the p-values at most w, m: all that are not NaN). While
    u of the run's `items` p-values have not been seen, R(w) <= R_seen(w) + u and m >= m_seen
    + u for the u that are not NaN, and ``(R + u) / (m + u)`` grows with u; so from any bound
    c >= p*, ``c' = limit * (R_seen(c) + U) / (m_seen + U)`` with U = items - m_seen is a bound
    too (rounded up). R_seen(c) is taken from the counts in fixed bins (64 per halving of
    the p-value, down to the smallest doubles), at the upper edge of c's bin, which can only
    overcount. On null data c falls from max_q towards p* as the tiles arrive (to about
    max_q (1 - f) / (1 - max_q f) after a share f of them), and with it the entries a run
    holds: the reported ones and those that may still be.

    The q-value of every entry at or below p* depends only on the counts of the values up to
    p*, so counts and entries above c can be let go without changing a bit of the table."""

    STEPS = 64 * 1100

    def __init__(self, limit: float, items: int):
        self.limit = float(limit)
        self.items = int(items)
        self.m = 0
        # Ascending bin edges limit * 2**(-k/64); bin i holds the values in (edges[i-1], edges[i]].
        self.edges = self.limit * np.exp2(-np.arange(self.STEPS, -1, -1, dtype=np.float64) / 64)
        self.edges[-1] = self.limit
        self.bins = np.zeros(self.edges.size, dtype=np.int64)
        self.bound = self.limit

    def add(self, values: np.ndarray, counts: np.ndarray, m: int) -> float:
        """Count a tile's distinct p-values (at most `limit`) and its m; the new bound."""
        self.m += int(m)
        if values.size:
            where = np.minimum(np.searchsorted(self.edges, values, side="left"), self.bins.size - 1)
            self.bins += np.bincount(where, weights=counts, minlength=self.bins.size).astype(np.int64)
        return self.tighten()

    def tighten(self) -> float:
        if self.items <= 0:
            return self.bound
        below = np.cumsum(self.bins)
        unseen = max(self.items - self.m, 0)
        c = self.bound
        for _ in range(64):  # every step gives a valid bound; the fixed point is approached fast
            at = min(int(np.searchsorted(self.edges, c, side="left")), below.size - 1)
            new = self.limit * ((int(below[at]) + unseen) / self.items) * (1 + 2.0**-40)
            if not new < c:
                break
            c = new
        self.bound = c
        return c


class Histogram:
    """Counts of the distinct p-values of the finished tiles, the number of p-values that are
    not NaN, and the counts of each exceedance count. Merged in batches, so that memory
    stays within a small multiple of the merged table.

    With a :class:`QBound` (runs filtered by max_q) each tile's counts are kept apart, only
    up to the bound, and cut again as it falls (``prune``); they are merged once, at the end."""

    def __init__(self, permutations: int, bound: Optional[QBound] = None):
        self.values = np.zeros(0, dtype=np.float32)
        self.counts = np.zeros(0, dtype=np.int64)
        self.pending: Tuple[List[np.ndarray], List[np.ndarray]] = ([], [])
        self.pending_size = 0
        self.m = 0
        self.b_hist = np.zeros(permutations + 1 if permutations else 0, dtype=np.int64)
        self.bound = bound
        self.parts: Dict[int, Tuple[np.ndarray, np.ndarray]] = {}

    def add(self, summary: Dict[str, Any], key: int = -1) -> None:
        self.m += int(summary["m"])
        if self.b_hist.size:
            self.b_hist += summary["b_hist"]
        if self.bound is not None:
            c = self.bound.add(summary["p_vals"], summary["p_counts"], int(summary["m"]))
            self.parts[key] = (summary["p_vals"], summary["p_counts"])
            self.prune(key, c)
            return
        self.pending[0].append(summary["p_vals"])
        self.pending[1].append(summary["p_counts"])
        self.pending_size += summary["p_vals"].size
        if self.pending_size > max(self.values.size, 1 << 20):
            self._merge()

    def prune(self, key: int, limit: float, shared: Tuple[Any, Any] = (None, None)) -> None:
        """Let go of the counts of tile `key` above `limit`; where they were the array
        ``shared[0]``, take its cut copy ``shared[1]`` instead of making another."""
        values, counts = self.parts[key]
        n = count_at_most(values, limit)
        if n == values.size:
            return
        cut = shared[1] if values is shared[0] and shared[1] is not None and shared[1].size == n else values[:n].copy()
        self.parts[key] = (cut, counts[:n].copy())

    def _merge(self) -> None:
        if self.bound is not None:
            c = self.bound.bound
            for key in list(self.parts):
                self.prune(key, c)
            kept = [self.parts[k] for k in sorted(self.parts)]
            self.parts = {}
            self.values, self.counts = merge_counts(
                [self.values] + [v for v, _ in kept], [self.counts] + [n for _, n in kept]
            )
            return
        if self.pending_size or self.pending[0]:
            self.values, self.counts = merge_counts([self.values] + self.pending[0], [self.counts] + self.pending[1])
        self.pending, self.pending_size = ([], []), 0

    def table(self) -> Tuple[np.ndarray, np.ndarray]:
        self._merge()
        return self.values, self.counts

    def q_values(self) -> Tuple[np.ndarray, np.ndarray]:
        """The distinct values and their exact q-values."""
        values, counts = self.table()
        return values, bh_from_counts(values, counts, self.m)


class Kept:
    """The entries of the returned table, at most `limit` of the best (in the order they
    were added, that is pair order), and with a limit their positions. Parts that no one
    else holds (`own`) give up their columns as the table is joined."""

    def __init__(self, limit: Optional[int], own: bool = False):
        self.limit, self.own = limit, own
        self.parts: List[PairResult] = []
        self.positions: List[np.ndarray] = []
        self.size = 0

    def add(self, part: PairResult, positions: np.ndarray) -> None:
        self.parts.append(part)
        self.size += len(part)
        if self.limit is not None:
            self.positions.append(positions)
            if self.size > 2 * self.limit:
                self._trim()

    def _trim(self) -> None:
        whole, pos = PairResult.concatenate(self.parts), np.concatenate(self.positions)
        best = np.sort(whole.order()[: self.limit])
        self.parts, self.positions, self.size = [whole.take(best)], [pos[best]], best.size

    def result(self, empty: PairResult) -> PairResult:
        if self.limit is not None and self.size > self.limit:
            self._trim()
        if not self.parts:
            return empty
        parts, self.parts = self.parts, []
        return PairResult.concatenate(parts, consume=self.own)


def pair_result(
    names: np.ndarray,
    index1: np.ndarray,
    index2: np.ndarray,
    arrays: List[np.ndarray],
    settings: "Settings",
    q: Optional[np.ndarray] = None,
    perm_q: Optional[np.ndarray] = None,
    columns: Optional[Dict[str, np.ndarray]] = None,
) -> PairResult:
    """A pair table; `columns` may bring p1, p2 and class_code already made, and the
    q-values may be given (otherwise all of these are made when asked for)."""
    r1, r2, z, p, perm_p = arrays
    return PairResult(
        names,
        index1,
        index2,
        r1,
        r2,
        z,
        p,
        perm_p,
        settings.n1,
        settings.n2,
        settings.method,
        settings.alternative,
        settings.permutations,
        group1=settings.group1,
        group2=settings.group2,
        class_alpha=settings.class_alpha,
        q_value=q,
        perm_q=perm_q,
        **(columns or {}),
    )


def empty_pairs(problem: "Problem", settings: "Settings") -> PairResult:
    none32, none64 = np.zeros(0, np.float32), np.zeros(0)
    p = none64 if settings.statistics == "api" else none32
    return pair_result(
        problem.names,
        np.zeros(0, np.int32),
        np.zeros(0, np.int32),
        [none32, none32, none32, p, none64],
        settings,
        none64,
        none64,
    )


def _whole_pairs(
    analysis: "PairAnalysis", problem: "Problem", settings: "Settings", tiles: List["Tile"], store: Any
) -> PairResult:
    """Every pair in memory: the arrays of the tiles joined; the table makes its other
    columns when they are asked for."""
    if not tiles:
        return empty_pairs(problem, settings)
    parts = [store.load_tile(t) for t in range(len(tiles))]
    r1, r2, z, p, b = (
        parts[0][k] if len(parts) == 1 else np.concatenate([s[k] for s in parts]) for k in ("r1", "r2", "z", "p", "b")
    )
    del parts
    i, j, _ = analysis.tile_pairs(problem, (tiles[0][0], tiles[-1][1]), None)
    perm_p = permutation_pvalues(b, settings.permutations, z)
    return pair_result(problem.names, i, j, [r1, r2, z, p, perm_p], settings)


def _perm_q_of_counts(b_hist: np.ndarray, permutations: int) -> np.ndarray:
    """The perm_q value of each exceedance count 0 .. permutations, from their counts."""
    perm_values = permutation_pvalues(np.arange(permutations + 1), permutations)
    seen = b_hist > 0
    perm_table, perm_counts = merge_counts([perm_values[seen]], [b_hist[seen]])
    if not perm_table.size:
        return np.full(perm_values.shape, np.nan)
    perm_q_table = bh_from_counts(perm_table, perm_counts, int(b_hist.sum()))
    # Counts that no entry has get some neighbour's value; no entry looks them up.
    return perm_q_table[np.minimum(np.searchsorted(perm_table, perm_values), max(perm_table.size - 1, 0))]


class PairParts:
    """The parts of a pair table, tile by tile, from the tiles' summaries and the counts over
    all tiles (`state`: the distinct p-values and their q-values, the exceedance-count
    counts, and with ``top`` the positions of the best entries)."""

    def __init__(
        self,
        analysis: "PairAnalysis",
        problem: "Problem",
        settings: "Settings",
        tiles: List["Tile"],
        filters: "Filters",
        state: Dict[str, Any],
    ):
        self.analysis, self.problem, self.settings, self.tiles, self.filters = (
            analysis,
            problem,
            settings,
            tiles,
            filters,
        )
        self.p_table, self.q_table = state["p_table"], state["q_table"]
        permutations = settings.permutations
        self.perm_q_of_count = _perm_q_of_counts(state["b_hist"], permutations) if permutations else None
        self.selected = state.get("selected")

    def tile_result(self, t: int, s: Dict[str, Any]) -> Tuple[PairResult, np.ndarray]:
        """The entries of tile `t` (summary `s`) that pass the filters, and their positions."""
        problem, settings, filters = self.problem, self.settings, self.filters
        pos = np.arange(s["p"].size, dtype=np.int64) if s["all"] else s["pos"].astype(np.int64)
        i, j, offset = self.analysis.tile_pairs(problem, self.tiles[t], None if s["all"] else pos)
        perm_p = permutation_pvalues(s["b"], settings.permutations, s["z"])
        # q-values through the codes of the tile's distinct p-values (NaN at code -1).
        # Counts kept in files give the values up to the largest that can be reported: the
        # entries above it get NaN and are not among the top best (see .spilled_counts).
        where = np.searchsorted(self.p_table, s["kept_vals"])
        found = where < self.p_table.size
        q_of_code = np.full(where.size + 1, np.nan)
        q_of_code[:-1][found] = self.q_table[where[found]]
        q = q_of_code[s["code"]]
        pq = self.perm_q_of_count[s["b"]] if self.perm_q_of_count is not None else np.full(perm_p.shape, np.nan)
        pq[np.isnan(perm_p)] = np.nan
        part = pair_result(
            problem.names,
            i,
            j,
            [s["r1"], s["r2"], s["z"], s["p"], perm_p],
            settings,
            q,
            pq,
            {k: s[k] for k in ("p1", "p2", "class_code") if k in s},
        )
        keep = np.ones(len(part), dtype=bool)
        if filters.max_p is not None:
            keep &= at_most(part.p_value, filters.max_p)
        if filters.max_q is not None:
            keep &= part.q_value <= filters.max_q
        if keep.all():
            return part, pos + offset
        where = np.flatnonzero(keep)
        return part.take(where), pos[where] + offset

    def part(self, t: int, s: Dict[str, Any]) -> Tuple[PairResult, np.ndarray]:
        """The entries of tile `t` in the table (and in its file), and their positions."""
        part, positions = self.tile_result(t, s)
        if self.selected is not None:
            take = np.flatnonzero(np.isin(positions, self.selected))
            part, positions = part.take(take), positions[take]
        return part, positions


def finish_pairs(
    analysis: "PairAnalysis",
    problem: "Problem",
    settings: "Settings",
    tiles: List["Tile"],
    store: Any,
    filters: "Filters",
    write: Writer,
    keep_limit: Optional[int],
    state: Optional[Dict[str, Any]] = None,
) -> PairResult:
    """The pair table of a run: the entries that pass the filters, at most `keep_limit` of
    the best; every kept entry goes to `write` tile by tile. `state` receives the counts
    over all tiles that any one part can be made again with."""
    permutations = settings.permutations
    if not settings.summary:
        return _whole_pairs(analysis, problem, settings, tiles, store)
    hist = store.histogram(len(tiles), permutations)
    p_table, q_table = hist.q_values()
    counts = {"p_table": p_table, "q_table": q_table, "b_hist": hist.b_hist}
    parts = PairParts(analysis, problem, settings, tiles, filters, counts)
    if filters.top is not None:
        best = Kept(filters.top)
        for t in range(len(tiles)):
            best.add(*parts.tile_result(t, store.load_tile(t)))
        best.result(empty_pairs(problem, settings))
        parts.selected = counts["selected"] = (
            np.concatenate(best.positions) if best.positions else np.zeros(0, np.int64)
        )
    if state is not None:
        state.update(counts)
    kept = Kept(keep_limit, own=write is None)
    for t in range(len(tiles)):
        part, positions = parts.part(t, store.take_tile(t))
        if write is not None:
            write(t, part)
        kept.add(part, positions)
    result = kept.result(empty_pairs(problem, settings))
    return result.top() if filters.top is not None else result


def finish_scores(
    analysis: "ScoreAnalysis",
    problem: "Problem",
    settings: "Settings",
    tiles: List["Tile"],
    store: Any,
    filters: "Filters",
    write: Writer,
    state: Optional[Dict[str, Any]] = None,
    only: Optional[int] = None,
) -> Any:
    """The row or set table of a run: every entry, or those that pass the filters. `state`
    receives (or, with `only`, gives: then only the part of tile `only` is made) the scores
    and exceedance counts of every entry."""
    if only is None:
        summaries = [store.load_tile(t) for t in range(len(tiles))]
        # No tiles: no row or set is left to score (an empty table).
        empty = {"obs": np.zeros(0, np.float32), "counts": np.zeros(0, np.int32)}
        summaries = summaries or [dict(empty, **{k: np.zeros(0, np.float32) for k in analysis.tile_columns})]
        observed = np.concatenate([s["obs"] for s in summaries])
        counts = np.concatenate([s["counts"] for s in summaries])
        extra = {k: np.concatenate([s[k] for s in summaries]) for k in analysis.tile_columns}
        if state is not None:
            state.update(obs=observed, counts=counts, **extra)
    else:
        assert state is not None
        observed, counts = state["obs"], state["counts"]
        extra = {k: state[k] for k in analysis.tile_columns}
    perm_p = permutation_pvalues(counts, problem.permutations, observed)
    whole = analysis.score_table(problem, settings, observed, perm_p, **extra)
    keep = np.ones(len(whole), dtype=bool)
    if filters.max_p is not None:
        keep &= whole.perm_p <= filters.max_p
    if filters.max_q is not None:
        keep &= whole.perm_q <= filters.max_q
    where = np.flatnonzero(keep)
    if filters.top is not None:
        where = np.sort(where[whole.take(where).order()[: filters.top]])
    if only is not None:
        a, b = tiles[only]
        return whole.take(where[(where >= a) & (where < b)])
    if write is not None:
        for t, (a, b) in enumerate(tiles):
            write(t, whole.take(where[(where >= a) & (where < b)]))
    result = whole.take(where) if where.size < len(whole) else whole
    return result.top() if filters.top is not None else result
