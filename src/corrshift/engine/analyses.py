"""The analyses the engine runs, one class each: what a tile holds and costs, the block
call of a task, what a task and a tile keep, and how the result table is made.

An analysis is named by the problem's kind ("all", "list", "rows", "sets", "modules");
everything that differs between analyses is here, and the rest of the engine asks the
problem's analysis. Adding an analysis means adding a class and naming it in ANALYSES.
"""

from typing import TYPE_CHECKING, Any, Callable, Dict, List, Optional, Tuple

import numpy as np

from ..results import ModuleResult, PairResult, RowResult, SetResult
from . import plan
from .assemble import PairParts, finish_pairs, finish_scores
from .plan import Tile
from .summary import pair_summary
from .tasks import Job

if TYPE_CHECKING:
    from .problem import Problem
    from .tasks import Settings

Progress = Optional[Callable[[int], None]]


def _need(value: Any, what: str) -> Any:
    if value is None:
        raise ValueError("the problem has no {}".format(what))
    return value


class Analysis:
    """What one analysis is to the engine. Tiles are half-open ranges of items."""

    #: The problem kind that names the analysis (part of the input hash).
    name = ""
    #: What the table's entries are: "pairs", "rows" or "sets" (the output's kind).
    table = ""
    #: What a progress bar counts: "pair", "row" or "set" passes.
    unit = ""
    #: Whether the table has an entry for every pair of rows, which grows with the
    #: square of the rows (checked against the free memory before a run).
    every_pair = False
    #: Whether the table has the correlation classes (made at the run's class_alpha).
    has_classes = False

    def item_count(self, problem: "Problem") -> int:
        raise NotImplementedError

    def tiles(self, problem: "Problem", target: float) -> List[Tile]:
        """Tiles of about `target` pair computations per pass."""
        raise NotImplementedError

    def tile_items(self, problem: "Problem", tile: Tile) -> int:
        return tile[1] - tile[0]

    def tile_cost(self, problem: "Problem", tile: Tile) -> float:
        """Estimated pair computations of one pass over the tile."""
        raise NotImplementedError

    def job(self, problem: "Problem", index: int, tile: Tile) -> Job:
        """The job of tile number `index` (pass range 0 .. 1, replaced for each task), with
        the pair lists it brings (see :class:`.tasks.Job`)."""
        return Job(self, index, tile)

    def block(
        self, blocks: Any, data: np.ndarray, settings: "Settings", job: Job, threads: int, progress: Progress
    ) -> Tuple[np.ndarray, ...]:
        """The native block call of a task: the observed values and the int32 counts."""
        raise NotImplementedError

    def held_whole(self, settings: "Settings") -> bool:
        """Whether a run that keeps its table in memory holds every entry anyway: then, in
        this process, it computes the problem as one tile."""
        raise NotImplementedError

    def task_result(self, settings: "Settings", job: Job, out: Tuple[np.ndarray, ...]) -> Dict[str, Any]:
        """What a task returns from its block call: the tile's summary when it covers every
        pass, else its counts (and the observed values when it holds pass 0)."""
        raise NotImplementedError

    def tile_summary(self, settings: "Settings", head: Dict[str, Any], counts: np.ndarray) -> Dict[str, Any]:
        """A tile's summary from its first pass range and the counts of all of them."""
        raise NotImplementedError

    #: Whether a part of the files is made again from its tile's summary (else from the
    #: kept counts alone).
    part_needs_tile = True

    def finish(
        self,
        problem: "Problem",
        settings: "Settings",
        tiles: List[Tile],
        store: Any,
        filters: Any,
        write: Any,
        keep_limit: Optional[int],
        state: Optional[Dict[str, Any]] = None,
    ) -> Any:
        """The result table from the finished tiles in `store` (and the files, through
        `write`); `state` receives what `remake_part` needs besides the tile."""
        raise NotImplementedError

    def remake_part(
        self,
        problem: "Problem",
        settings: "Settings",
        tiles: List[Tile],
        store: Any,
        filters: Any,
        state: Dict[str, Any],
        t: int,
    ) -> Any:
        """The part of the files of tile `t` again, from `state` (and the tile in `store`)."""
        raise NotImplementedError

    def kept_arrays(self, problem: "Problem", result: Any) -> Dict[str, np.ndarray]:
        """The returned table as arrays, kept with a finished output."""
        raise NotImplementedError

    def kept_table(self, problem: "Problem", settings: "Settings", arrays: Dict[str, np.ndarray]) -> Any:
        """The table of `kept_arrays` again."""
        raise NotImplementedError


class PairAnalysis(Analysis):
    """Z-tests of pairs of rows: the table has an entry per pair."""

    table = "pairs"
    unit = "pair"
    has_classes = True
    _kept_fields = (
        "index1",
        "index2",
        "r1",
        "r2",
        "z_diff",
        "p_value",
        "perm_p",
        "q_value",
        "perm_q",
        "p1",
        "p2",
        "class_code",
    )
    _robust_fields = ("p_robust", "q_robust", "how_code", "n_passes")

    def tile_pairs(
        self, problem: "Problem", tile: Tile, pos: Optional[np.ndarray]
    ) -> Tuple[np.ndarray, np.ndarray, int]:
        """User's rows of the pairs at `pos` of a tile (all when None), and the tile's first
        position overall."""
        raise NotImplementedError

    def held_whole(self, settings: "Settings") -> bool:
        return not settings.summary

    def task_result(self, settings: "Settings", job: Job, out: Tuple[np.ndarray, ...]) -> Dict[str, Any]:
        r1, r2, z, p, counts = out
        if job.covers(settings):
            return pair_summary(r1, r2, z, p, counts, settings)
        raw = {"counts": counts}
        if job.passes[0] == 0:
            raw.update(r1=r1, r2=r2, z=z, p=p)
        return raw

    def tile_summary(self, settings: "Settings", head: Dict[str, Any], counts: np.ndarray) -> Dict[str, Any]:
        return pair_summary(head["r1"], head["r2"], head["z"], head["p"], counts, settings)

    def finish(
        self,
        problem: "Problem",
        settings: "Settings",
        tiles: List[Tile],
        store: Any,
        filters: Any,
        write: Any,
        keep_limit: Optional[int],
        state: Optional[Dict[str, Any]] = None,
    ) -> Any:
        return finish_pairs(self, problem, settings, tiles, store, filters, write, keep_limit, state)

    def remake_part(
        self,
        problem: "Problem",
        settings: "Settings",
        tiles: List[Tile],
        store: Any,
        filters: Any,
        state: Dict[str, Any],
        t: int,
    ) -> Any:
        return PairParts(self, problem, settings, tiles, filters, state).part(t, store.load_tile(t))[0]

    def kept_arrays(self, problem: "Problem", result: Any) -> Dict[str, np.ndarray]:
        arrays = {k: getattr(result, k) for k in self._kept_fields}
        if result.made("p_robust") is not None:
            arrays.update((k, getattr(result, k)) for k in self._robust_fields)
        return arrays

    def kept_table(self, problem: "Problem", settings: "Settings", arrays: Dict[str, np.ndarray]) -> Any:
        f = arrays
        table = PairResult(
            problem.names,
            f["index1"],
            f["index2"],
            f["r1"],
            f["r2"],
            f["z_diff"],
            f["p_value"],
            f["perm_p"],
            settings.n1,
            settings.n2,
            problem.method,
            problem.alternative,
            problem.permutations,
            class_alpha=settings.class_alpha,
            p1=f["p1"],
            p2=f["p2"],
            class_code=f["class_code"],
            q_value=f["q_value"],
            perm_q=f["perm_q"],
            group1=settings.group1,
            group2=settings.group2,
        )
        if "p_robust" in f:
            table.set_robust(*(f[k] for k in self._robust_fields))
        return table


class AllPairs(PairAnalysis):
    """Every pair of rows; a tile is a band of first rows [a, b), each with all later rows."""

    name = "all"
    every_pair = True

    def item_count(self, problem: "Problem") -> int:
        return problem.nrows * (problem.nrows - 1) // 2

    def tiles(self, problem: "Problem", target: float) -> List[Tile]:
        n = problem.nrows
        if n < 2:
            return []
        # A band [a0, a1) of first rows costs its pairs plus the rows it reads; rows
        # 0 .. n-2 have pairs.
        cost = np.zeros(n, dtype=np.float64)
        np.cumsum((n - 1 - np.arange(n - 1, dtype=np.float64)) + plan.ROW_COST, out=cost[1:])
        return plan.split(cost, target)

    def tile_items(self, problem: "Problem", tile: Tile) -> int:
        return int(plan.band_starts(tile[0], tile[1], problem.nrows)[-1])

    def tile_cost(self, problem: "Problem", tile: Tile) -> float:
        return self.tile_items(problem, tile) + plan.ROW_COST * float(problem.nrows - tile[0])

    def block(
        self, blocks: Any, data: np.ndarray, settings: "Settings", job: Job, threads: int, progress: Progress
    ) -> Tuple[np.ndarray, ...]:
        a, b = job.tile
        return blocks.ztest_block(
            data,
            settings.first,
            settings.second,
            (a, b),
            (a, data.shape[0]),
            settings.method,
            settings.alternative,
            job.passes[0],
            job.passes[1],
            threads,
            progress=progress,
            statistics=settings.statistics,
        )

    def tile_pairs(
        self, problem: "Problem", tile: Tile, pos: Optional[np.ndarray]
    ) -> Tuple[np.ndarray, np.ndarray, int]:
        a, b = tile
        i, j = plan.band_pairs(a, b, problem.nrows, pos)
        if problem.rows is not None:
            i, j = problem.rows[i], problem.rows[j]
        return i, j, plan.condensed_offset(a, problem.nrows)


class ListedPairs(PairAnalysis):
    """The pairs a caller listed; a tile is a range of the list."""

    name = "list"

    def item_count(self, problem: "Problem") -> int:
        return int(_need(problem.local1, "pair list").size)

    def tiles(self, problem: "Problem", target: float) -> List[Tile]:
        return plan.split(np.arange(self.item_count(problem) + 1, dtype=np.float64), target)

    def tile_cost(self, problem: "Problem", tile: Tile) -> float:
        return float(tile[1] - tile[0])

    def job(self, problem: "Problem", index: int, tile: Tile) -> Job:
        a, b = tile
        return Job(
            self,
            index,
            tile,
            rows1=np.ascontiguousarray(_need(problem.local1, "pair list")[a:b]),
            rows2=np.ascontiguousarray(_need(problem.local2, "pair list")[a:b]),
        )

    def block(
        self, blocks: Any, data: np.ndarray, settings: "Settings", job: Job, threads: int, progress: Progress
    ) -> Tuple[np.ndarray, ...]:
        return blocks.pairs_block(
            data,
            job.rows1,
            job.rows2,
            settings.first,
            settings.second,
            settings.method,
            settings.alternative,
            job.passes[0],
            job.passes[1],
            threads,
            progress=progress,
            statistics=settings.statistics,
        )

    def tile_pairs(
        self, problem: "Problem", tile: Tile, pos: Optional[np.ndarray]
    ) -> Tuple[np.ndarray, np.ndarray, int]:
        a, b = tile
        take = slice(a, b) if pos is None else a + pos
        return _need(problem.index1, "pair list")[take], _need(problem.index2, "pair list")[take], a


class ScoreAnalysis(Analysis):
    """Scores tested by permutation: the table has an entry per row or set, always held
    whole."""

    _kept_fields = ("index", "score", "perm_p", "perm_q")
    #: Columns a tile's summary brings besides the observed scores and counts.
    tile_columns: Tuple[str, ...] = ()

    def held_whole(self, settings: "Settings") -> bool:
        return True

    def task_result(self, settings: "Settings", job: Job, out: Tuple[np.ndarray, ...]) -> Dict[str, Any]:
        observed, counts = out
        return {"obs": observed, "counts": counts} if job.passes[0] == 0 else {"counts": counts}

    def tile_summary(self, settings: "Settings", head: Dict[str, Any], counts: np.ndarray) -> Dict[str, Any]:
        return {"obs": head["obs"], "counts": counts}

    def score_table(
        self, problem: "Problem", settings: "Settings", score: np.ndarray, perm_p: np.ndarray, **columns: Any
    ) -> Any:
        """The table of every row or set with its score and permutation p-value."""
        raise NotImplementedError

    part_needs_tile = False

    def finish(
        self,
        problem: "Problem",
        settings: "Settings",
        tiles: List[Tile],
        store: Any,
        filters: Any,
        write: Any,
        keep_limit: Optional[int],
        state: Optional[Dict[str, Any]] = None,
    ) -> Any:
        return finish_scores(self, problem, settings, tiles, store, filters, write, state)

    def remake_part(
        self,
        problem: "Problem",
        settings: "Settings",
        tiles: List[Tile],
        store: Any,
        filters: Any,
        state: Dict[str, Any],
        t: int,
    ) -> Any:
        return finish_scores(self, problem, settings, tiles, store, filters, None, state, only=t)

    def kept_arrays(self, problem: "Problem", result: Any) -> Dict[str, np.ndarray]:
        return {k: getattr(result, k) for k in self._kept_fields}


class RowScores(ScoreAnalysis):
    """A score per row over its pairs with all other rows; a tile is a range of rows."""

    name = "rows"
    table = "rows"
    unit = "row"

    def item_count(self, problem: "Problem") -> int:
        return problem.nrows

    def tiles(self, problem: "Problem", target: float) -> List[Tile]:
        per_row = float(problem.nrows + plan.ROW_COST)
        return plan.split(np.arange(problem.nrows + 1, dtype=np.float64) * per_row, target)

    def tile_cost(self, problem: "Problem", tile: Tile) -> float:
        return float(tile[1] - tile[0]) * (problem.nrows + plan.ROW_COST)

    def block(
        self, blocks: Any, data: np.ndarray, settings: "Settings", job: Job, threads: int, progress: Progress
    ) -> Tuple[np.ndarray, ...]:
        return blocks.row_score_block(
            data,
            settings.first,
            settings.second,
            job.tile,
            settings.method,
            settings.score,
            settings.alternative,
            job.passes[0],
            job.passes[1],
            threads,
            progress=progress,
            statistics=settings.statistics,
        )

    def score_table(
        self, problem: "Problem", settings: "Settings", score: np.ndarray, perm_p: np.ndarray, **columns: Any
    ) -> Any:
        index = np.arange(problem.nrows, dtype=np.int32) if problem.rows is None else problem.rows.astype(np.int32)
        return RowResult(
            problem.names,
            columns.pop("index", index),
            score,
            perm_p,
            settings.n1,
            settings.n2,
            problem.score or "",
            problem.method,
            problem.alternative,
            problem.permutations,
            group1=settings.group1,
            group2=settings.group2,
            **columns,
        )

    def kept_table(self, problem: "Problem", settings: "Settings", arrays: Dict[str, np.ndarray]) -> Any:
        return self.score_table(
            problem, settings, arrays["score"], arrays["perm_p"], index=arrays["index"], perm_q=arrays["perm_q"]
        )


class SetScores(ScoreAnalysis):
    """A score per set of pairs that share a hub row; a tile is a range of the sets."""

    name = "sets"
    table = "sets"
    unit = "set"

    def item_count(self, problem: "Problem") -> int:
        return len(_need(problem.hubs, "sets"))

    def tiles(self, problem: "Problem", target: float) -> List[Tile]:
        sizes = np.asarray([p.size for p in _need(problem.partners, "sets")], dtype=np.float64)
        cost = np.zeros(sizes.size + 1)
        np.cumsum(sizes + plan.ROW_COST, out=cost[1:])
        return plan.split(cost, target)

    def tile_cost(self, problem: "Problem", tile: Tile) -> float:
        a, b = tile
        return float(sum(p.size for p in _need(problem.partners, "sets")[a:b])) + plan.ROW_COST * (b - a)

    def job(self, problem: "Problem", index: int, tile: Tile) -> Job:
        # The block takes the sets by ascending hub; `order` puts its results back.
        a, b = tile
        local_hubs, local_partners = _need(problem.local_hubs, "sets"), _need(problem.local_partners, "sets")
        hubs = [int(local_hubs[k]) for k in range(a, b)]
        by_hub = sorted(range(b - a), key=lambda k: hubs[k])
        order = np.empty(b - a, dtype=np.int64)
        order[by_hub] = np.arange(b - a)
        return Job(
            self,
            index,
            tile,
            rows1=np.concatenate([np.full(local_partners[a + k].size, hubs[k], np.int32) for k in by_hub]),
            rows2=np.concatenate([local_partners[a + k] for k in by_hub]),
            order=order,
        )

    def block(
        self, blocks: Any, data: np.ndarray, settings: "Settings", job: Job, threads: int, progress: Progress
    ) -> Tuple[np.ndarray, ...]:
        _, observed, counts = blocks.set_block(
            data,
            job.rows1,
            job.rows2,
            settings.first,
            settings.second,
            settings.method,
            settings.score,
            settings.alternative,
            job.passes[0],
            job.passes[1],
            threads,
            progress=progress,
            statistics=settings.statistics,
        )
        return observed[job.order], counts[job.order]

    def score_table(
        self, problem: "Problem", settings: "Settings", score: np.ndarray, perm_p: np.ndarray, **columns: Any
    ) -> Any:
        index = columns.pop("index", np.asarray(problem.hubs, dtype=np.int32))
        partners = columns.pop("partners", problem.partners or [])
        return SetResult(
            problem.names,
            index,
            partners,
            score,
            perm_p,
            settings.n1,
            settings.n2,
            problem.score or "",
            problem.method,
            problem.alternative,
            problem.permutations,
            group1=settings.group1,
            group2=settings.group2,
            **columns,
        )

    def kept_arrays(self, problem: "Problem", result: Any) -> Dict[str, np.ndarray]:
        fields = super().kept_arrays(problem, result)
        where = {int(h): k for k, h in enumerate(problem.hubs or [])}
        fields["set"] = np.asarray([where[int(h)] for h in result.index], dtype=np.int64)
        return fields

    def kept_table(self, problem: "Problem", settings: "Settings", arrays: Dict[str, np.ndarray]) -> Any:
        partners = [(problem.partners or [])[int(k)] for k in arrays["set"]]
        return self.score_table(
            problem,
            settings,
            arrays["score"],
            arrays["perm_p"],
            index=arrays["index"],
            partners=partners,
            perm_q=arrays["perm_q"],
        )


def module_pairs(genes: List[np.ndarray]) -> Tuple[np.ndarray, np.ndarray, np.ndarray, np.ndarray]:
    """The distinct pairs of rows within the modules (rows ascending, each with the genes'
    rows ascending) and each module's pairs among them: (first rows, second rows, starts,
    members). Module g holds the pairs members[starts[g] .. starts[g + 1]), in the order
    (i, j) of its genes' rows, whatever the other modules are."""
    sizes = np.asarray([g.size * (g.size - 1) // 2 for g in genes], dtype=np.int64)
    starts = np.zeros(len(genes) + 1, dtype=np.int64)
    np.cumsum(sizes, out=starts[1:])
    keys = np.empty(int(starts[-1]), dtype=np.int64)
    for g, rows in enumerate(genes):
        i, j = np.triu_indices(rows.size, 1)
        keys[starts[g] : starts[g + 1]] = rows[i].astype(np.int64) << 32 | rows[j].astype(np.int64)
    pairs, members = np.unique(keys, return_inverse=True)
    return (
        (pairs >> 32).astype(np.int32),
        (pairs & 0xFFFFFFFF).astype(np.int32),
        starts.astype(np.int32),
        members.reshape(-1).astype(np.int32),
    )


class ModuleScores(ScoreAnalysis):
    """A score per module over all pairs of its genes; a tile is a range of the modules,
    whose distinct pairs a pass computes once."""

    name = "modules"
    table = "modules"
    unit = "module"
    tile_columns = ("mean_r1", "mean_r2")
    _kept_fields = ScoreAnalysis._kept_fields + tile_columns

    @staticmethod
    def _costs(problem: "Problem") -> np.ndarray:
        sizes = np.asarray([g.size for g in _need(problem.local_genes, "modules")], dtype=np.float64)
        return sizes * (sizes - 1) / 2 + plan.ROW_COST * sizes

    def item_count(self, problem: "Problem") -> int:
        return len(_need(problem.local_genes, "modules"))

    def tiles(self, problem: "Problem", target: float) -> List[Tile]:
        costs = self._costs(problem)
        cost = np.zeros(costs.size + 1)
        np.cumsum(costs, out=cost[1:])
        return plan.split(cost, target)

    def tile_cost(self, problem: "Problem", tile: Tile) -> float:
        return float(self._costs(problem)[tile[0] : tile[1]].sum())

    def job(self, problem: "Problem", index: int, tile: Tile) -> Job:
        a, b = tile
        first, second, starts, members = module_pairs(_need(problem.local_genes, "modules")[a:b])
        return Job(self, index, tile, rows1=first, rows2=second, starts=starts, members=members)

    def block(
        self, blocks: Any, data: np.ndarray, settings: "Settings", job: Job, threads: int, progress: Progress
    ) -> Tuple[np.ndarray, ...]:
        return blocks.module_block(
            data,
            job.rows1,
            job.rows2,
            job.starts,
            job.members,
            settings.first,
            settings.second,
            settings.method,
            settings.score,
            settings.alternative,
            job.passes[0],
            job.passes[1],
            threads,
            progress=progress,
            statistics=settings.statistics,
        )

    def task_result(self, settings: "Settings", job: Job, out: Tuple[np.ndarray, ...]) -> Dict[str, Any]:
        observed, mean_r1, mean_r2, counts = out
        if job.passes[0] == 0:
            return {"obs": observed, "mean_r1": mean_r1, "mean_r2": mean_r2, "counts": counts}
        return {"counts": counts}

    def tile_summary(self, settings: "Settings", head: Dict[str, Any], counts: np.ndarray) -> Dict[str, Any]:
        return {"obs": head["obs"], "mean_r1": head["mean_r1"], "mean_r2": head["mean_r2"], "counts": counts}

    def score_table(
        self, problem: "Problem", settings: "Settings", score: np.ndarray, perm_p: np.ndarray, **columns: Any
    ) -> Any:
        return ModuleResult(
            _need(problem.module_names, "modules"),
            _need(problem.module_genes, "modules"),
            score,
            perm_p,
            columns.pop("mean_r1"),
            columns.pop("mean_r2"),
            settings.n1,
            settings.n2,
            problem.score or "",
            problem.method,
            problem.alternative,
            problem.permutations,
            names=problem.names,
            missing=np.asarray(problem.module_missing or [], np.int32),
            skipped=problem.module_skipped,
            unknown=problem.module_unknown,
            group1=settings.group1,
            group2=settings.group2,
            **columns,
        )

    def kept_arrays(self, problem: "Problem", result: Any) -> Dict[str, np.ndarray]:
        return {k: getattr(result, k) for k in self._kept_fields}

    def kept_table(self, problem: "Problem", settings: "Settings", arrays: Dict[str, np.ndarray]) -> Any:
        # The whole table with the kept entries' values, cut to them.
        count = self.item_count(problem)
        index = arrays["index"].astype(np.int64)
        full = {k: np.full(count, np.nan, arrays[k].dtype) for k in ("score", "perm_p", "perm_q", "mean_r1", "mean_r2")}
        for k, v in full.items():
            v[index] = arrays[k]
        whole = self.score_table(
            problem,
            settings,
            full["score"],
            full["perm_p"],
            perm_q=full["perm_q"],
            mean_r1=full["mean_r1"],
            mean_r2=full["mean_r2"],
        )
        return whole.take(index)


#: The analyses by the problem kind that names them.
ANALYSES: Dict[str, Analysis] = {
    a.name: a for a in (AllPairs(), ListedPairs(), RowScores(), SetScores(), ModuleScores())
}


def analysis_named(kind: str) -> Analysis:
    try:
        return ANALYSES[kind]
    except KeyError:
        raise ValueError("unknown analysis {!r}; the engine runs {}".format(kind, ", ".join(ANALYSES))) from None
