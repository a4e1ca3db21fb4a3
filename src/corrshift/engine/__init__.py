"""The engine behind the analyses: a problem cut into tasks, run here or on a Dask cluster.

A problem (all pairs, listed pairs, row scores or set scores) is cut into *tiles* (a band
of rows of the pair table, a slice of the pair list, a range of rows, a range of sets)
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
computed with the same float64 operations as :func:`corrshift.results.bh_qvalues`. Since
q >= p, a tile keeps only entries that can pass ``max_q``. A run that keeps every entry in
memory does none of this: it joins the tiles' arrays, and the table makes ``p1``, ``p2``,
``class`` and the q-values when they are first asked for.

With ``out=DIR`` the run writes a Parquet dataset and can be resumed: ``DIR`` holds a
manifest (a hash of the inputs and the finished tiles) and a work folder of finished
tasks; a run started again with the same inputs computes only what is missing and ends
with the same files as an uninterrupted run.
"""
import concurrent.futures
import contextlib
import hashlib
import importlib
import json
import math
import os
import shutil
import socket
import time
from typing import Any, Callable, Dict, Iterator, List, Optional, Sequence, Tuple

import numpy as np

from . import _inputs
from ._inputs import InputError
from .results import (PairResult, RowResult, SetResult, bh_from_counts, correlation_classes, correlation_pvalues,
                      pair_order, permutation_pvalues)

#: Module holding the native block functions; tests point it at an exact stand-in.
#: Tasks import it by name, so that Dask worker processes do the same.
BLOCKS = "corrshift._blocks"

#: Version of the work files and manifest; part of the input hash.
FORMAT = 1
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
#: With ``out``, the returned table holds at most this many of the written entries.
KEEP_IN_MEMORY = 1000000
#: Bytes per pair of an unfiltered all-pairs table held in memory.
BYTES_PER_PAIR = 90

_MANIFEST = "_corrshift.json"
_LOCK = "_corrshift.lock"
_WORK = "_work"
_KEPT = "_kept.npz"
_DASK_MESSAGE = 'cluster runs need dask and distributed: pip install "corrshift[dask]"'


# --------------------------------------------------------------------------------------
# Problems and plans

class Problem:
    """What to compute: the float32 matrix of the rows in use and the two groups' columns,
    the items (pairs, rows or sets) and the options."""

    def __init__(self, kind: str, data: np.ndarray, first: np.ndarray, second: np.ndarray, names: np.ndarray,
                 method: str, alternative: str, permutations: int, score: Optional[str] = None,
                 rows: Optional[np.ndarray] = None, index1: Optional[np.ndarray] = None,
                 index2: Optional[np.ndarray] = None, local1: Optional[np.ndarray] = None,
                 local2: Optional[np.ndarray] = None, hubs: Optional[Sequence[int]] = None,
                 partners: Optional[List[np.ndarray]] = None, labels: Tuple[str, str] = ("group 1", "group 2"),
                 class_alpha: float = 0.05):
        self.kind = kind                  # "all", "list", "rows" or "sets"
        self.data = data
        self.first, self.second = first, second
        self.names = names
        self.method, self.alternative, self.score = method, alternative, score
        self.permutations = permutations
        self.rows = rows                  # data row -> row of the user's matrix (None: the same)
        self.index1, self.index2 = index1, index2      # listed pairs, user's rows
        self.local1, self.local2 = local1, local2      # listed pairs or set pairs, data rows
        self.hubs, self.partners = hubs, partners      # sets, user's rows, in the order given
        self.labels = labels
        self.class_alpha = class_alpha
        self.local_hubs: Optional[np.ndarray] = None           # sets, data rows
        self.local_partners: Optional[List[np.ndarray]] = None

    @property
    def nrows(self) -> int:
        return int(self.data.shape[0])

    @property
    def ncols(self) -> int:
        return int(self.data.shape[1])

    @property
    def is_pairs(self) -> bool:
        return self.kind in ("all", "list")

    def item_count(self) -> int:
        if self.kind == "all":
            return self.nrows * (self.nrows - 1) // 2
        if self.kind == "list":
            return int(self.local1.size)  # type: ignore[union-attr]
        if self.kind == "rows":
            return self.nrows
        return len(self.hubs)  # type: ignore[arg-type]


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


def _split(total_cost: np.ndarray, target: float) -> List[Tuple[int, int]]:
    """Cut items with the given cumulative cost (length n + 1, from 0) into ranges of about
    `target` each, balanced: the number of ranges is fixed first, then the cuts."""
    n = total_cost.size - 1
    if n <= 0:
        return []
    count = max(1, min(n, int(math.ceil(float(total_cost[-1]) / target))))
    marks = np.searchsorted(total_cost, total_cost[-1] * np.arange(1, count) / count, side="left")
    cuts = [0] + sorted(set(int(m) for m in marks if 0 < m < n)) + [n]
    return list(zip(cuts[:-1], cuts[1:]))


def plan_tiles(problem: Problem) -> List[Tuple[int, int]]:
    """The tiles of a problem, deterministic in its sizes: half-open ranges of rows (all
    pairs: bands of first rows; row scores), of listed pairs, or of sets."""
    passes = problem.permutations + 1
    # Small enough that all passes of a tile fit in a task when possible.
    by_time = TASK_SECONDS * CORE_RATE / (max(problem.ncols, 1) * passes)
    target = max(float(MIN_TILE_PAIRS), min(float(TILE_PAIRS), by_time))
    n = problem.nrows
    if problem.kind == "all":
        if n < 2:
            return []
        # A band [a0, a1) of first rows costs its pairs plus the rows it reads; rows
        # 0 .. n-2 have pairs.
        cost = np.zeros(n, dtype=np.float64)
        np.cumsum((n - 1 - np.arange(n - 1, dtype=np.float64)) + ROW_COST, out=cost[1:])
        return _split(cost, target)
    if problem.kind == "rows":
        per_row = float(n + ROW_COST)
        return _split(np.arange(n + 1, dtype=np.float64) * per_row, target)
    if problem.kind == "list":
        count = problem.item_count()
        return _split(np.arange(count + 1, dtype=np.float64), target)
    sizes = np.asarray([p.size for p in problem.partners], dtype=np.float64)  # type: ignore[union-attr]
    cost = np.zeros(sizes.size + 1)
    np.cumsum(sizes + ROW_COST, out=cost[1:])
    return _split(cost, target)


def tile_items(problem: Problem, tile: Tuple[int, int]) -> int:
    a, b = tile
    if problem.kind == "all":
        return int(band_starts(a, b, problem.nrows)[-1])
    return b - a


def tile_cost(problem: Problem, tile: Tuple[int, int]) -> float:
    """Estimated pair computations of one pass over the tile."""
    a, b = tile
    if problem.kind == "all":
        return tile_items(problem, tile) + ROW_COST * float(problem.nrows - a)
    if problem.kind == "rows":
        return float(b - a) * (problem.nrows + ROW_COST)
    if problem.kind == "sets":
        return float(sum(p.size for p in problem.partners[a:b])) + ROW_COST * (b - a)  # type: ignore[index]
    return float(b - a)


def plan_passes(problem: Problem, tiles: List[Tuple[int, int]], slots: int) -> List[List[Tuple[int, int]]]:
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


# --------------------------------------------------------------------------------------
# Tasks

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


def at_most(p: np.ndarray, limit: float) -> np.ndarray:
    """``p <= limit`` with float32 `p` as float64, without a float64 copy of `p`: against the
    largest float32 at most `limit`, which gives the same answer for every float32."""
    bound = np.float32(limit)
    if float(bound) > limit:
        bound = np.nextafter(bound, np.float32(-np.inf))
    return p <= bound


def _candidates(p: np.ndarray, keep_p: Optional[float]) -> Optional[np.ndarray]:
    """Positions of the entries that can pass the filters; None for all of them."""
    if keep_p is None:
        return None
    passing = at_most(p, keep_p)
    return None if passing.all() else np.flatnonzero(passing).astype(np.int32)


def _distinct(values: np.ndarray) -> Tuple[np.ndarray, np.ndarray, np.ndarray]:
    """Distinct values other than NaN with their counts, and each entry's code: the position
    of its value among them, -1 for NaN."""
    values = np.ascontiguousarray(values, dtype=np.float32)
    nan = np.isnan(values)
    if values.size >= 2 ** 32 or np.any(np.signbit(values[~nan])):
        distinct, code, counts = np.unique(values[~nan], return_inverse=True, return_counts=True)
        full = np.full(values.size, -1, dtype=np.int32)
        full[~nan] = code.reshape(-1)
        return distinct, counts.astype(np.int64), full
    # For floats without sign bit the bit patterns sort as the values do, so one sort of
    # (bits, position) keys does what an argsort would, several times faster.
    finite = np.flatnonzero(~nan).astype(np.uint64)
    keys = values[~nan].view(np.uint32).astype(np.uint64) << np.uint64(32)
    keys |= finite
    keys.sort()
    bits = (keys >> np.uint64(32)).astype(np.uint32)
    starts = np.ones(bits.size, dtype=bool)
    starts[1:] = bits[1:] != bits[:-1]
    code = np.full(values.size, -1, dtype=np.int32)
    code[(keys & np.uint64(0xFFFFFFFF)).astype(np.int64)] = np.cumsum(starts, dtype=np.int32) - 1
    first = np.flatnonzero(starts)
    counts = np.diff(np.append(first, bits.size)).astype(np.int64)
    return bits[first].view(np.float32), counts, code


def pair_summary(r1: np.ndarray, r2: np.ndarray, z: np.ndarray, p: np.ndarray, counts: Optional[np.ndarray],
                 settings: Dict[str, Any]) -> Dict[str, np.ndarray]:
    """What the run keeps of a finished tile of pairs.

    A run that keeps every entry in memory keeps the five arrays as they are: the result
    makes its other columns when they are asked for. Otherwise the entries that can pass
    the filters (with the code of their p-value among the distinct p-values they hold), the
    distinct p-values up to the q-value limit with their counts, and the counts of each
    exceedance count; with the columns that depend on a pair alone when the run writes
    files.
    """
    permutations = settings["permutations"]
    if counts is None:
        counts = np.zeros(p.size, dtype=np.int32)
    if not settings["summary"]:
        return {"r1": r1, "r2": r2, "z": z, "p": p, "b": counts}
    # Entries whose statistic is NaN have no permutation p-value and do not count for perm_q.
    b_hist = np.zeros(0, dtype=np.int64)
    if permutations:
        nan = np.isnan(z)
        b_hist = np.bincount(counts[~nan] if nan.any() else counts, minlength=permutations + 1).astype(np.int64)
    pos = _candidates(p, settings["keep_p"])
    top = settings["tile_top"]
    if top is not None and (pos.size if pos is not None else p.size) > top:
        take = pos if pos is not None else slice(None)
        best = np.sort(pair_order(p[take], z[take])[:top]).astype(np.int32)
        pos = best if pos is None else pos[best]
    kept = {"r1": r1, "r2": r2, "z": z, "p": p, "b": counts}
    if pos is not None:
        kept = {k: v[pos] for k, v in kept.items()}
    kept_values, kept_counts, code = _distinct(kept["p"])
    m = np.int64(p.size - np.count_nonzero(np.isnan(p)))
    counted = None if settings["hist_limit"] == math.inf else at_most(p, settings["hist_limit"])
    if pos is None and (counted is None or np.count_nonzero(counted) == m):
        values, value_counts = kept_values, kept_counts  # every p-value is kept: one sort serves both
    else:
        values, value_counts, _ = _distinct(p if counted is None else p[counted])
    if settings["columns"]:
        # Made here, on the worker that ran the task, for the files.
        kept["p1"], kept["p2"] = _correlation_pvalues(kept["r1"], kept["r2"], settings)
        kept["class_code"] = correlation_classes(kept["r1"], kept["p1"], kept["r2"], kept["p2"],
                                                 settings["class_alpha"])
    summary = dict(kept, pos=pos if pos is not None else np.zeros(0, np.int32), all=np.bool_(pos is None),
                   code=code, kept_vals=kept_values, b_hist=b_hist, p_vals=values, p_counts=value_counts, m=m)
    return summary


def _correlation_pvalues(r1: np.ndarray, r2: np.ndarray, settings: Dict[str, Any]) -> Tuple[np.ndarray, np.ndarray]:
    """The t-test p-values of r1 and r2 (the costliest columns). NumPy lets go of the
    interpreter lock in its loops, so for large tables the two run side by side."""
    if settings.get("threads", 1) > 1 and r1.size >= 1 << 16:
        with concurrent.futures.ThreadPoolExecutor(1) as pool:
            first = pool.submit(correlation_pvalues, r1, settings["n1"])
            p2 = correlation_pvalues(r2, settings["n2"])
            return first.result(), p2
    return correlation_pvalues(r1, settings["n1"]), correlation_pvalues(r2, settings["n2"])


def _pair_result(names: np.ndarray, index1: np.ndarray, index2: np.ndarray, arrays: List[np.ndarray],
                 settings: Dict[str, Any], q: Optional[np.ndarray] = None, perm_q: Optional[np.ndarray] = None,
                 columns: Optional[Dict[str, np.ndarray]] = None) -> PairResult:
    """A pair table; `columns` may bring p1, p2 and class_code already made, and the
    q-values may be given (otherwise all of these are made when asked for)."""
    r1, r2, z, p, perm_p = arrays
    return PairResult(names, index1, index2, r1, r2, z, p, perm_p, settings["n1"], settings["n2"],
                      settings["method"], settings["alternative"], settings["permutations"],
                      group1=settings["group1"], group2=settings["group2"], class_alpha=settings["class_alpha"],
                      q_value=q, perm_q=perm_q, **(columns or {}))


def run_task(data: np.ndarray, settings: Dict[str, Any], job: Dict[str, Any], n_jobs: Optional[int] = None,
             host_slots: Optional[Dict[str, int]] = None,
             progress: Optional[Callable[[int], None]] = None) -> Dict[str, Any]:
    """Compute one task: a pass range of a tile. Pure: the same arguments give the same result.

    A task that covers every pass of its tile returns the tile's summary (see
    :func:`pair_summary`); otherwise the raw counts, and the observed values when it holds
    pass 0.
    """
    blocks = importlib.import_module(settings["blocks"])
    threads = n_jobs if n_jobs is not None else _host_threads(host_slots)
    kind = settings["kind"]
    first, second = settings["first"], settings["second"]
    method, alternative, score = settings["method"], settings["alternative"], settings["score"]
    f, l = job["passes"]
    a, b = job["tile"]
    if kind == "all":
        out = blocks.ztest_block(data, first, second, (a, b), (a, data.shape[0]), method, alternative, f, l,
                                 threads, progress=progress)
    elif kind == "list":
        out = blocks.pairs_block(data, job["rows1"], job["rows2"], first, second, method, alternative, f, l,
                                 threads, progress=progress)
    elif kind == "rows":
        out = blocks.row_score_block(data, first, second, (a, b), method, score, alternative, f, l, threads,
                                     progress=progress)
    else:
        labels, observed, counts = blocks.set_block(data, job["rows1"], job["rows2"], first, second, method,
                                                    score, alternative, f, l, threads, progress=progress)
        # Back from ascending hubs to the order of the sets in the tile.
        out = (observed[job["order"]], counts[job["order"]])
    whole = f == 0 and l == settings["permutations"] + 1
    settings = dict(settings, threads=threads)  # the summary's side-by-side columns use this worker's cores
    if kind in ("all", "list"):
        r1, r2, z, p, counts = out
        if whole:
            return pair_summary(r1, r2, z, p, counts, settings)
        raw = {"counts": counts}
        if f == 0:
            raw.update(r1=r1, r2=r2, z=z, p=p)
        return raw
    observed, counts = out
    return {"obs": observed, "counts": counts} if f == 0 else {"counts": counts}


def combine(settings: Dict[str, Any], parts: List[Dict[str, Any]]) -> Dict[str, Any]:
    """The summary of a tile from the raw results of its pass ranges (pass 0 first)."""
    counts = parts[0]["counts"].astype(np.int64)
    for part in parts[1:]:
        counts += part["counts"]
    counts = counts.astype(np.int32)
    head = parts[0]
    if settings["kind"] in ("all", "list"):
        return pair_summary(head["r1"], head["r2"], head["z"], head["p"], counts, settings)
    return {"obs": head["obs"], "counts": counts}


# --------------------------------------------------------------------------------------
# Where finished tasks and tiles are kept

class _MemoryStore:
    def __init__(self) -> None:
        self.tiles: Dict[int, Dict[str, Any]] = {}
        self.tasks: Dict[Tuple[int, int, int], Dict[str, Any]] = {}
        self.hist: Optional[_Histogram] = None

    def done_tiles(self) -> set:
        return set(self.tiles)

    def done_tasks(self) -> set:
        return set(self.tasks)

    def save_task(self, key: Tuple[int, int, int], result: Dict[str, Any]) -> None:
        self.tasks[key] = result

    def load_task(self, key: Tuple[int, int, int]) -> Dict[str, Any]:
        return self.tasks[key]

    def save_tile(self, tile: int, summary: Dict[str, Any], tasks: Sequence[Tuple[int, int, int]]) -> None:
        if "p_vals" in summary:
            # Folded into one table as tiles finish, rather than kept per tile.
            if self.hist is None:
                self.hist = _Histogram(summary["b_hist"].size - 1 if summary["b_hist"].size else 0)
            self.hist.add(summary)
            summary = {k: v for k, v in summary.items() if k not in ("p_vals", "p_counts", "b_hist", "m")}
        self.tiles[tile] = summary
        for key in tasks:
            self.tasks.pop(key, None)

    def load_tile(self, tile: int) -> Dict[str, Any]:
        return self.tiles[tile]

    def histogram(self, tiles: int, permutations: int) -> "_Histogram":
        return self.hist if self.hist is not None else _Histogram(permutations)


def _save_npz(path: str, arrays: Dict[str, Any]) -> None:
    tmp = path + ".tmp.npz"
    np.savez(tmp, **arrays)
    os.replace(tmp, path)


class _DirectoryStore:
    """Finished tasks and tiles as .npz files in the output's work folder; the manifest lists
    the finished tiles. A file appears under its final name only when complete."""

    def __init__(self, out: str, manifest: Dict[str, Any]):
        self.out = out
        self.work = os.path.join(out, _WORK)
        self.manifest = manifest
        os.makedirs(self.work, exist_ok=True)

    def _tile_path(self, tile: int) -> str:
        return os.path.join(self.work, "tile-{:06d}.npz".format(tile))

    def _task_path(self, key: Tuple[int, int, int]) -> str:
        return os.path.join(self.work, "task-{:06d}-{}-{}.npz".format(*key))

    def done_tiles(self) -> set:
        return {t for t in self.manifest["tiles_done"] if os.path.exists(self._tile_path(t))}

    def done_tasks(self) -> set:
        done = set()
        for name in os.listdir(self.work):
            if name.startswith("task-") and name.endswith(".npz") and ".tmp" not in name:
                tile, f, l = name[5:-4].split("-")
                done.add((int(tile), int(f), int(l)))
        return done

    def save_task(self, key: Tuple[int, int, int], result: Dict[str, Any]) -> None:
        _save_npz(self._task_path(key), result)

    def load_task(self, key: Tuple[int, int, int]) -> Dict[str, Any]:
        with np.load(self._task_path(key)) as archive:
            return {k: archive[k] for k in archive.files}

    def save_tile(self, tile: int, summary: Dict[str, Any], tasks: Sequence[Tuple[int, int, int]]) -> None:
        _save_npz(self._tile_path(tile), summary)
        self.manifest["tiles_done"] = sorted(set(self.manifest["tiles_done"]) | {tile})
        write_manifest(self.out, self.manifest)
        for key in tasks:
            with contextlib.suppress(FileNotFoundError):
                os.remove(self._task_path(key))

    def load_tile(self, tile: int, keys: Optional[Sequence[str]] = None) -> Dict[str, Any]:
        with np.load(self._tile_path(tile)) as archive:
            return {k: archive[k] for k in (archive.files if keys is None else keys)}

    def histogram(self, tiles: int, permutations: int) -> "_Histogram":
        hist = _Histogram(permutations)
        for t in range(tiles):
            hist.add(self.load_tile(t, ("m", "b_hist", "p_vals", "p_counts")))
        return hist


def write_manifest(out: str, manifest: Dict[str, Any]) -> None:
    path = os.path.join(out, _MANIFEST)
    with open(path + ".tmp", "w", encoding="utf-8") as fh:
        json.dump(manifest, fh, indent=1, sort_keys=True)
    os.replace(path + ".tmp", path)


# --------------------------------------------------------------------------------------
# Running tasks

class _Progress:
    """A tqdm bar over pair-passes (or row- and set-passes), drawn on standard error."""

    def __init__(self, enabled: bool, total: int, what: str):
        self.bar = None
        if enabled and total > 0:
            from tqdm.auto import tqdm  # type: ignore[import]
            self.bar = tqdm(total=total, desc="corrshift", unit=" {}-passes".format(what), unit_scale=True,
                            dynamic_ncols=True, smoothing=0.1)

    def update(self, n: int) -> None:
        if self.bar is not None and n:
            self.bar.update(n)

    def close(self) -> None:
        if self.bar is not None:
            self.bar.close()


class _Run:
    """Bookkeeping of one run: which tasks remain, and turning finished tasks into tiles."""

    def __init__(self, problem: Problem, settings: Dict[str, Any], tiles: List[Tuple[int, int]],
                 ranges: List[List[Tuple[int, int]]], store: Any):
        self.problem, self.settings, self.tiles, self.ranges = problem, settings, tiles, ranges
        self.store, self.bar = store, _Progress(False, 0, "")
        done_tiles = store.done_tiles()
        done_tasks = store.done_tasks()
        self.pending: Dict[int, set] = {}
        self.jobs: List[Dict[str, Any]] = []
        for t, tile in enumerate(tiles):
            if t in done_tiles:
                continue
            keys = {(t, f, l) for f, l in ranges[t]}
            self.pending[t] = keys - done_tasks
            if self.pending[t]:
                job = self._job(t, tile)  # the tile's rows, shared by its pass ranges
                self.jobs += [dict(job, passes=(f, l)) for f, l in ranges[t] if (t, f, l) not in done_tasks]
            else:
                self._finish_tile(t)

    def _job(self, t: int, tile: Tuple[int, int]) -> Dict[str, Any]:
        job: Dict[str, Any] = {"index": t, "tile": tile}
        p = self.problem
        a, b = tile
        if p.kind == "list":
            job["rows1"] = np.ascontiguousarray(p.local1[a:b])  # type: ignore[index]
            job["rows2"] = np.ascontiguousarray(p.local2[a:b])  # type: ignore[index]
        elif p.kind == "sets":
            hubs = [int(p.local_hubs[k]) for k in range(a, b)]  # type: ignore[index]
            by_hub = sorted(range(b - a), key=lambda k: hubs[k])
            job["rows1"] = np.concatenate([np.full(p.local_partners[a + k].size, hubs[k], np.int32)  # type: ignore
                                           for k in by_hub])
            job["rows2"] = np.concatenate([p.local_partners[a + k] for k in by_hub])  # type: ignore[attr-defined]
            order = np.empty(b - a, dtype=np.int64)
            order[by_hub] = np.arange(b - a)
            job["order"] = order
        return job

    def weight(self, job: Dict[str, Any]) -> int:
        f, l = job["passes"]
        return tile_items(self.problem, job["tile"]) * (l - f)

    def total_weight(self) -> int:
        return sum(self.weight(j) for j in self.jobs)

    def finished(self, job: Dict[str, Any], result: Dict[str, Any]) -> None:
        t = job["index"]
        f, l = job["passes"]
        if len(self.ranges[t]) == 1:
            self.store.save_tile(t, result, [])
            self.pending.pop(t, None)
            return
        self.store.save_task((t, f, l), result)
        self.pending[t].discard((t, f, l))
        if not self.pending[t]:
            self._finish_tile(t)

    def _finish_tile(self, t: int) -> None:
        keys = [(t, f, l) for f, l in self.ranges[t]]
        parts = [self.store.load_task(k) for k in keys]
        self.store.save_tile(t, combine(self.settings, parts), keys)
        self.pending.pop(t, None)


def _run_here(run: _Run, n_jobs: int) -> None:
    for job in run.jobs:
        items = tile_items(run.problem, job["tile"])
        shown = [0]

        def progress(n: int, items: int = items, shown: List[int] = shown) -> None:
            run.bar.update(items * (n - shown[0]))
            shown[0] = n

        result = run_task(run.problem.data, run.settings, job, n_jobs, progress=progress)
        run.bar.update(run.weight(job) - items * shown[0])
        run.finished(job, result)


def require_dask() -> Any:
    try:
        import distributed  # type: ignore[import]
    except ImportError:
        raise ImportError(_DASK_MESSAGE) from None
    return distributed


def host_slots(client: Any) -> Dict[str, int]:
    """Tasks each host of the cluster runs at once: the sum of its workers' threads."""
    from distributed.comm import get_address_host  # type: ignore[import]
    try:
        info = client.scheduler_info(n_workers=-1)
    except TypeError:  # older distributed lists every worker anyway
        info = client.scheduler_info()
    slots: Dict[str, int] = {}
    for address, worker in info.get("workers", {}).items():
        host = get_address_host(address)
        slots[host] = slots.get(host, 0) + int(worker.get("nthreads", 1))
    return slots


def _run_dask(run: _Run, client: Any, slots: Dict[str, int], key_prefix: str,
              after_result: Optional[Callable[[int], None]] = None) -> None:
    distributed = require_dask()
    if not run.jobs:
        return
    data = client.scatter(run.problem.data, broadcast=True)
    futures = {}
    for job in run.jobs:
        f, l = job["passes"]
        key = "{}-{}-{}-{}".format(key_prefix, job["index"], f, l)
        futures[client.submit(run_task, data, run.settings, job, None, slots, key=key, pure=True)] = job
    done = 0
    try:
        for future in distributed.as_completed(list(futures)):
            job = futures.pop(future)
            result = future.result()
            future.release()
            run.finished(job, result)
            run.bar.update(run.weight(job))
            done += 1
            if after_result is not None:
                after_result(done)
    finally:
        if futures:
            client.cancel(list(futures))


@contextlib.contextmanager
def local_cluster(workers: int, threads: int = 1) -> Iterator[Any]:
    """A client of a new cluster of `workers` worker processes on this machine."""
    distributed = require_dask()
    import dask  # type: ignore[import]
    # Dask starts workers with a 64 KiB malloc trim threshold, which makes every large NumPy
    # temporary a fresh mmap and the per-pair columns several times slower; these workers
    # keep freed memory for reuse up to 256 MiB and map only blocks of 32 MiB and more.
    environ = dict(dask.config.get("distributed.nanny.pre-spawn-environ", {}) or {})
    environ.update(MALLOC_TRIM_THRESHOLD_=str(256 << 20), MALLOC_MMAP_THRESHOLD_=str(32 << 20))
    with dask.config.set({"distributed.nanny.pre-spawn-environ": environ}):
        cluster = distributed.LocalCluster(n_workers=workers, threads_per_worker=threads, processes=True,
                                           dashboard_address=":0")
    try:
        with distributed.Client(cluster) as client:
            yield client
    finally:
        cluster.close()


@contextlib.contextmanager
def connect(scheduler: Optional[str] = None, workers: Optional[int] = None,
            timeout: str = "30s") -> Iterator[Any]:
    """A client of the cluster at `scheduler`, or of a new local cluster of `workers` worker
    processes; None when neither is given (the run stays in this process)."""
    if scheduler is not None and workers is not None:
        raise InputError("give either a scheduler address or a number of local workers, not both")
    if scheduler is None and workers is None:
        yield None
        return
    distributed = require_dask()
    if workers is not None:
        if isinstance(workers, bool) or not isinstance(workers, int) or workers < 1:
            raise InputError("workers must be a positive whole number, got {!r}".format(workers))
        with local_cluster(workers) as client:
            yield client
        return
    try:
        client = distributed.Client(scheduler, timeout=timeout)
    except (OSError, TimeoutError) as exc:
        raise InputError("cannot reach the Dask scheduler at {!r}: {}".format(scheduler, exc)) from None
    with client:
        yield client


# --------------------------------------------------------------------------------------
# From tiles to the result

def _merge_counts(values: List[np.ndarray], counts: List[np.ndarray]) -> Tuple[np.ndarray, np.ndarray]:
    present = [k for k, v in enumerate(values) if v.size]
    if not present:
        return np.zeros(0, dtype=np.float32), np.zeros(0, dtype=np.int64)
    if len(present) == 1:  # already distinct and sorted
        return values[present[0]], counts[present[0]].astype(np.int64)
    distinct, inverse = np.unique(np.concatenate(values), return_inverse=True)
    # Weights are whole numbers below 2**53, so the float64 sums are exact.
    total = np.bincount(inverse.reshape(-1), weights=np.concatenate(counts).astype(np.float64),
                        minlength=distinct.size)
    return distinct, total.astype(np.int64)


class _Histogram:
    """Counts of the distinct p-values of the finished tiles, the number of p-values that are
    not NaN, and the counts of each exceedance count. Merged in batches, so that memory
    stays within a small multiple of the merged table."""

    def __init__(self, permutations: int):
        self.values = np.zeros(0, dtype=np.float32)
        self.counts = np.zeros(0, dtype=np.int64)
        self.pending: Tuple[List[np.ndarray], List[np.ndarray]] = ([], [])
        self.pending_size = 0
        self.m = 0
        self.b_hist = np.zeros(permutations + 1 if permutations else 0, dtype=np.int64)

    def add(self, summary: Dict[str, Any]) -> None:
        self.m += int(summary["m"])
        if self.b_hist.size:
            self.b_hist += summary["b_hist"]
        self.pending[0].append(summary["p_vals"])
        self.pending[1].append(summary["p_counts"])
        self.pending_size += summary["p_vals"].size
        if self.pending_size > max(self.values.size, 1 << 20):
            self._merge()

    def _merge(self) -> None:
        if self.pending_size or self.pending[0]:
            self.values, self.counts = _merge_counts([self.values] + self.pending[0],
                                                     [self.counts] + self.pending[1])
        self.pending, self.pending_size = ([], []), 0

    def table(self) -> Tuple[np.ndarray, np.ndarray]:
        self._merge()
        return self.values, self.counts


class _Kept:
    """The entries of the returned table, at most `limit` of the best (in the order they
    were added, that is pair order)."""

    def __init__(self, limit: Optional[int]):
        self.limit = limit
        self.parts: List[PairResult] = []
        self.positions: List[np.ndarray] = []
        self.size = 0

    def add(self, part: PairResult, positions: np.ndarray) -> None:
        self.parts.append(part)
        self.positions.append(positions)
        self.size += len(part)
        if self.limit is not None and self.size > 2 * self.limit:
            self._trim()

    def _trim(self) -> None:
        whole, pos = _concat_pairs(self.parts), np.concatenate(self.positions)
        best = np.sort(whole.order()[:self.limit])
        self.parts, self.positions, self.size = [whole._take(best)], [pos[best]], best.size

    def result(self, empty: PairResult) -> PairResult:
        if self.limit is not None and self.size > self.limit:
            self._trim()
        return _concat_pairs(self.parts) if self.parts else empty


def _concat_pairs(parts: List[PairResult]) -> PairResult:
    first = parts[0]
    if len(parts) == 1:
        return first

    def cat(name: str) -> np.ndarray:
        return np.concatenate([getattr(p, name) for p in parts])

    # Columns of a pair alone stay unmade where a part has not made them.
    made = {k: cat(k) for k in ("p1", "p2", "class_code") if all(p._made(k) is not None for p in parts)}
    return PairResult(first.names, cat("index1"), cat("index2"), cat("r1"), cat("r2"), cat("z_diff"),
                      cat("p_value"), cat("perm_p"), first.n1, first.n2, first.method, first.alternative,
                      first.permutations, group1=first.group1, group2=first.group2,
                      class_alpha=first.class_alpha, q_value=cat("q_value"), perm_q=cat("perm_q"), **made)


def _tile_pairs(problem: Problem, tile: Tuple[int, int],
                pos: Optional[np.ndarray]) -> Tuple[np.ndarray, np.ndarray, int]:
    """User's rows of the pairs at `pos` of a tile (all when None), and the tile's first
    position overall."""
    a, b = tile
    if problem.kind != "all":
        take = slice(a, b) if pos is None else a + pos
        return problem.index1[take], problem.index2[take], a  # type: ignore[index]
    i, j = band_pairs(a, b, problem.nrows, pos)
    if problem.rows is not None:
        i, j = problem.rows[i], problem.rows[j]
    return i, j, condensed_offset(a, problem.nrows)


def _empty_pairs(problem: Problem, settings: Dict[str, Any]) -> PairResult:
    none32, none64 = np.zeros(0, np.float32), np.zeros(0)
    return _pair_result(problem.names, np.zeros(0, np.int32), np.zeros(0, np.int32),
                        [none32, none32, none32, none32, none64], settings, none64, none64)


def _whole_pairs(problem: Problem, settings: Dict[str, Any], tiles: List[Tuple[int, int]], store: Any) -> PairResult:
    """Every pair in memory: the arrays of the tiles joined; the table makes its other
    columns when they are asked for."""
    if not tiles:
        return _empty_pairs(problem, settings)
    parts = [store.load_tile(t) for t in range(len(tiles))]
    r1, r2, z, p, b = (parts[0][k] if len(parts) == 1 else np.concatenate([s[k] for s in parts])
                       for k in ("r1", "r2", "z", "p", "b"))
    del parts
    i, j, _ = _tile_pairs(problem, (tiles[0][0], tiles[-1][1]), None)
    perm_p = permutation_pvalues(b, settings["permutations"], z)
    return _pair_result(problem.names, i, j, [r1, r2, z, p, perm_p], settings)


def _finish_pairs(problem: Problem, settings: Dict[str, Any], tiles: List[Tuple[int, int]], store: Any,
                  filters: Dict[str, Any], write: Optional[Callable[[int, Any], None]],
                  keep_limit: Optional[int]) -> PairResult:
    permutations = settings["permutations"]
    if not settings["summary"]:
        return _whole_pairs(problem, settings, tiles, store)
    hist = store.histogram(len(tiles), permutations)
    p_table, p_counts = hist.table()
    q_table = bh_from_counts(p_table, p_counts, hist.m)
    b_hist = hist.b_hist
    if permutations:
        perm_values = permutation_pvalues(np.arange(permutations + 1), permutations)
        seen = b_hist > 0
        perm_table, perm_counts = _merge_counts([perm_values[seen]], [b_hist[seen]])
        perm_q_table = bh_from_counts(perm_table, perm_counts, int(b_hist.sum()))
        # Counts that no entry has get some neighbour's value; no entry looks them up.
        perm_q_of_count = perm_q_table[np.minimum(np.searchsorted(perm_table, perm_values),
                                                  max(perm_table.size - 1, 0))] if perm_table.size else \
            np.full(perm_values.shape, np.nan)

    def tile_result(t: int) -> Tuple[PairResult, np.ndarray]:
        s = store.load_tile(t)
        pos = np.arange(s["p"].size, dtype=np.int64) if s["all"] else s["pos"].astype(np.int64)
        i, j, offset = _tile_pairs(problem, tiles[t], None if s["all"] else pos)
        perm_p = permutation_pvalues(s["b"], permutations, s["z"])
        # q-values through the codes of the tile's distinct p-values (NaN at code -1).
        q_of_code = np.append(q_table[np.searchsorted(p_table, s["kept_vals"])], np.nan)
        q = q_of_code[s["code"]]
        pq = perm_q_of_count[s["b"]] if permutations else np.full(perm_p.shape, np.nan)
        pq[np.isnan(perm_p)] = np.nan
        part = _pair_result(problem.names, i, j, [s["r1"], s["r2"], s["z"], s["p"], perm_p], settings, q, pq,
                            {k: s[k] for k in ("p1", "p2", "class_code") if k in s})
        keep = np.ones(len(part), dtype=bool)
        if filters["max_p"] is not None:
            keep &= at_most(part.p_value, filters["max_p"])
        if filters["max_q"] is not None:
            keep &= part.q_value <= filters["max_q"]
        if keep.all():
            return part, pos + offset
        where = np.flatnonzero(keep)
        return part._take(where), pos[where] + offset

    selected = None
    if filters["top"] is not None:
        best = _Kept(filters["top"])
        for t in range(len(tiles)):
            best.add(*tile_result(t))
        best.result(_empty_pairs(problem, settings))
        selected = np.concatenate(best.positions) if best.positions else np.zeros(0, np.int64)
    kept = _Kept(keep_limit)
    for t in range(len(tiles)):
        part, positions = tile_result(t)
        if selected is not None:
            take = np.flatnonzero(np.isin(positions, selected))
            part, positions = part._take(take), positions[take]
        if write is not None:
            write(t, part)
        kept.add(part, positions)
    result = kept.result(_empty_pairs(problem, settings))
    return result.top() if filters["top"] is not None else result


def _finish_scores(problem: Problem, settings: Dict[str, Any], tiles: List[Tuple[int, int]], store: Any,
                   filters: Dict[str, Any], write: Optional[Callable[[int, Any], None]]) -> Any:
    summaries = [store.load_tile(t) for t in range(len(tiles))]
    observed = np.concatenate([s["obs"] for s in summaries])
    counts = np.concatenate([s["counts"] for s in summaries])
    perm_p = permutation_pvalues(counts, problem.permutations, observed)
    n1, n2 = settings["n1"], settings["n2"]
    labels = {"group1": settings["group1"], "group2": settings["group2"]}
    if problem.kind == "rows":
        index = (np.arange(problem.nrows, dtype=np.int32) if problem.rows is None
                 else problem.rows.astype(np.int32))
        whole: Any = RowResult(problem.names, index, observed, perm_p, n1, n2, problem.score or "",
                               problem.method, problem.alternative, problem.permutations, **labels)
    else:
        whole = SetResult(problem.names, np.asarray(problem.hubs, dtype=np.int32), problem.partners or [],
                          observed, perm_p, n1, n2, problem.score or "", problem.method, problem.alternative,
                          problem.permutations, **labels)
    keep = np.ones(len(whole), dtype=bool)
    if filters["max_p"] is not None:
        keep &= whole.perm_p <= filters["max_p"]
    if filters["max_q"] is not None:
        keep &= whole.perm_q <= filters["max_q"]
    where = np.flatnonzero(keep)
    if filters["top"] is not None:
        where = np.sort(where[whole._take(where).order()[:filters["top"]]])
    if write is not None:
        for t, (a, b) in enumerate(tiles):
            write(t, whole._take(where[(where >= a) & (where < b)]))
    result = whole._take(where) if where.size < len(whole) else whole
    return result.top() if filters["top"] is not None else result


# --------------------------------------------------------------------------------------
# Checks, hashing and the output folder

def check_filters(max_p: Any, max_q: Any, top: Any) -> Dict[str, Any]:
    out: Dict[str, Any] = {}
    for name, value in (("max_p", max_p), ("max_q", max_q)):
        if value is not None:
            if isinstance(value, (bool, np.bool_)) or not isinstance(value, (int, float, np.integer, np.floating)) \
                    or not 0 <= float(value) <= 1:
                raise InputError("{} must be a number from 0 to 1, got {!r}".format(name, value))
            value = float(value)
        out[name] = value
    if top is not None:
        if isinstance(top, (bool, np.bool_)) or not isinstance(top, (int, np.integer)) or top < 1:
            raise InputError("top must be a positive whole number, got {!r}".format(top))
        top = int(top)
    out["top"] = top
    return out


def _available_memory() -> int:
    try:
        with open("/proc/meminfo") as fh:
            for line in fh:
                if line.startswith("MemAvailable:"):
                    return int(line.split()[1]) * 1024
    except OSError:
        pass
    return 1 << 62


def check_memory(problem: Problem, filters: Dict[str, Any], out: Optional[str]) -> None:
    """Refuse an unfiltered in-memory table of all pairs that would not fit."""
    if problem.kind != "all" or out is not None or any(filters[k] is not None for k in ("max_p", "max_q", "top")):
        return
    need = problem.item_count() * BYTES_PER_PAIR
    have = _available_memory()
    if need > 0.8 * have:
        raise InputError("all {:,} pairs of {:,} rows need about {:.1f} GB in memory, more than this machine "
                         "has free ({:.1f} GB); write them to disk with out='pairs.parquet', or keep only "
                         "the best with max_q=..., max_p=... or top=...".format(
                             problem.item_count(), problem.nrows, need / 1e9, have / 1e9))


def _version() -> str:
    from ._version import __version__
    return __version__


#: Bytes per distinct p-value while the counts of all of them are merged.
BYTES_PER_DISTINCT = 36
#: Distinct float32 values in [0, 1].
FLOAT32_UNIT_VALUES = 0x3F800001


def check_histogram_memory(problem: Problem, filters: Dict[str, Any]) -> None:
    """Exact q-values need the counts of every distinct p-value unless max_q bounds them."""
    if problem.kind != "all" or filters["max_q"] is not None:
        return
    need = min(problem.item_count(), FLOAT32_UNIT_VALUES) * BYTES_PER_DISTINCT
    have = _available_memory()
    if need > 0.8 * have:
        raise InputError("exact q-values over all {:,} pairs without max_q need the counts of every distinct "
                         "p-value, up to {:.1f} GB of memory ({:.1f} GB free); add max_q=... (only p-values "
                         "up to it are then counted)".format(problem.item_count(), need / 1e9, have / 1e9))


def input_hash(problem: Problem, filters: Dict[str, Any]) -> str:
    """A hash of everything the output depends on."""
    h = hashlib.sha256()
    options = {"format": FORMAT, "version": _version(), "kind": problem.kind, "method": problem.method,
               "alternative": problem.alternative, "score": problem.score,
               "permutations": problem.permutations, "labels": list(problem.labels),
               "class_alpha": problem.class_alpha,
               "shape": list(problem.data.shape), "filters": filters}
    h.update(json.dumps(options, sort_keys=True).encode("utf-8"))
    for array in (problem.data, problem.first, problem.second, problem.rows, problem.index1, problem.index2,
                  problem.local1, problem.local2):
        h.update(b"|")
        if array is not None:
            h.update(np.ascontiguousarray(array).view(np.uint8).reshape(-1).data)
    h.update("\0".join(str(n) for n in problem.names).encode("utf-8"))
    if problem.hubs is not None:
        h.update(np.asarray(problem.hubs, dtype=np.int64).tobytes())
        for partners in problem.partners or []:
            h.update(b"|" + np.asarray(partners, dtype=np.int64).tobytes())
    return h.hexdigest()


def _ours(name: str) -> bool:
    return (name in (_MANIFEST, _WORK, _KEPT) or name.startswith(_MANIFEST) or name.startswith(_LOCK)
            or (name.startswith("part-") and (name.endswith(".parquet") or name.endswith(".parquet.tmp"))))


def _clear(out: str) -> None:
    for name in os.listdir(out):
        if name == _LOCK:
            continue
        path = os.path.join(out, name)
        if os.path.isdir(path):
            shutil.rmtree(path)
        else:
            os.remove(path)


def check_output(out: str) -> None:
    """Refuse an output that is a file, or a folder that holds files of others."""
    if os.path.exists(out) and not os.path.isdir(out):
        raise InputError("out: {!r} is a file; Parquet output is a folder (one file per tile), give a "
                         "folder name".format(out))
    if os.path.isdir(out):
        foreign = [n for n in os.listdir(out) if not _ours(n)]
        if foreign:
            raise InputError("out: the folder {!r} holds files that corrshift did not write ({}); give a new "
                             "or empty folder".format(out, ", ".join(sorted(foreign)[:3])))


def _cannot_write(out: str, exc: OSError) -> InputError:
    return InputError("out: cannot write to {!r}: {}".format(out, exc.strerror or exc))


def _process_start(pid: int) -> Optional[str]:
    """When process `pid` of this host started (clock ticks since boot); None where that
    cannot be read. Tells a live process from a later one that got the same number."""
    try:
        with open("/proc/{}/stat".format(pid)) as fh:
            return fh.read().rsplit(")", 1)[1].split()[19]
    except (OSError, IndexError):
        return None


def _running(pid: int, started: Optional[str]) -> bool:
    try:
        os.kill(pid, 0)
    except ProcessLookupError:
        return False
    except PermissionError:  # a process of another user
        return True
    now = _process_start(pid)
    return started is None or now is None or now == started


class OutputLock:
    """The lock of an output folder, held while a run writes into it: a file created only
    if it does not exist, naming the host and process of the run. Another run is refused
    while that process lives; the lock of a process of this host that is gone is taken
    over (a killed run can be resumed)."""

    def __init__(self, out: str):
        self.out = out
        self.path = os.path.join(out, _LOCK)
        self.token = json.dumps({"host": socket.gethostname(), "pid": os.getpid(),
                                 "started": _process_start(os.getpid()),
                                 "since": time.strftime("%Y-%m-%d %H:%M:%S")}, sort_keys=True)

    def __enter__(self) -> "OutputLock":
        try:
            os.makedirs(self.out, exist_ok=True)
            for _ in range(5):
                try:
                    fd = os.open(self.path, os.O_CREAT | os.O_EXCL | os.O_WRONLY, 0o644)
                except FileExistsError:
                    self._take_over()
                    continue
                with os.fdopen(fd, "w", encoding="utf-8") as fh:
                    fh.write(self.token)
                return self
        except OSError as exc:
            raise _cannot_write(self.out, exc) from None
        raise InputError("out: could not lock {!r}: other runs keep taking it".format(self.out))

    def __exit__(self, *exc: Any) -> None:
        if self._read(self.path) == self.token:
            os.remove(self.path)

    @staticmethod
    def _read(path: str) -> Optional[str]:
        try:
            with open(path, encoding="utf-8") as fh:
                return fh.read()
        except FileNotFoundError:
            return None

    def _take_over(self) -> None:
        """Remove the lock of a run that is gone, or refuse."""
        text = self._read(self.path)
        if text == "":  # being written just now, or its run died while starting
            time.sleep(0.2)
            text = self._read(self.path)
        if text is None:
            return  # released meanwhile
        try:
            holder = json.loads(text)
            host, pid, started = str(holder["host"]), int(holder["pid"]), holder.get("started")
        except (ValueError, KeyError, TypeError):
            holder, host, pid, started = None, "", 0, None
        if holder is None or host != socket.gethostname() or _running(pid, started):
            who = ("process {} on {}, since {}".format(pid, host, holder.get("since", "?")) if holder
                   else "a run that did not say which")
            raise InputError("out: {!r} is in use by another run ({}); wait until it ends, or give another "
                             "folder. If that run is gone, delete {}".format(self.out, who, self.path))
        # Moved aside first, so that only the lock judged stale is removed.
        aside = "{}.stale-{}".format(self.path, os.getpid())
        try:
            os.rename(self.path, aside)
        except FileNotFoundError:
            return
        if self._read(aside) != text:  # another run's new lock: give it back
            os.rename(aside, self.path)
            raise InputError("out: {!r} is in use by another run that started just now".format(self.out))
        os.remove(aside)


def prepare_output(out: str, digest: str, description: Dict[str, Any], overwrite: bool) -> Dict[str, Any]:
    """The manifest of the output folder `out` (locked by this run): a new one, or the one
    of an earlier run of the same inputs. Refuses a folder that holds other results, unless
    `overwrite`."""
    manifest = None
    names = [n for n in os.listdir(out) if n != _LOCK]
    path = os.path.join(out, _MANIFEST)
    if os.path.exists(path):
        try:
            with open(path, encoding="utf-8") as fh:
                manifest = json.load(fh)
        except (OSError, ValueError):
            manifest = None
        if manifest is not None and manifest.get("inputs") != digest:
            if not overwrite:
                raise InputError("out: {!r} holds the output of other inputs or options; pass "
                                 "overwrite=True (--overwrite) to replace it, or give another folder"
                                 .format(out))
            manifest = None
    if manifest is None and names:
        if not overwrite:
            raise InputError("out: {!r} holds an unfinished output that cannot be resumed; pass "
                             "overwrite=True (--overwrite) to replace it".format(out))
        _clear(out)
    try:
        if manifest is None:
            manifest = {"inputs": digest, "description": description, "tiles_done": [], "complete": False}
        write_manifest(out, manifest)
    except OSError as exc:
        raise _cannot_write(out, exc) from None
    return manifest


_KEPT_FIELDS = {"pairs": ("index1", "index2", "r1", "r2", "z_diff", "p_value", "perm_p", "q_value", "perm_q",
                          "p1", "p2", "class_code"),
                "rows": ("index", "score", "perm_p", "perm_q"),
                "sets": ("index", "score", "perm_p", "perm_q")}


def _save_kept(out: str, result: Any, kind: str, problem: Problem) -> None:
    fields = {k: getattr(result, k) for k in _KEPT_FIELDS[kind]}
    if kind == "sets":
        where = {int(h): k for k, h in enumerate(problem.hubs or [])}
        fields["set"] = np.asarray([where[int(h)] for h in result.index], dtype=np.int64)
    _save_npz(os.path.join(out, _KEPT), fields)


def _load_kept(out: str, kind: str, problem: Problem, settings: Dict[str, Any]) -> Any:
    with np.load(os.path.join(out, _KEPT)) as archive:
        f = {k: archive[k] for k in archive.files}
    labels = {"group1": settings["group1"], "group2": settings["group2"]}
    if kind == "pairs":
        return PairResult(problem.names, f["index1"], f["index2"], f["r1"], f["r2"], f["z_diff"], f["p_value"],
                          f["perm_p"], settings["n1"], settings["n2"], problem.method, problem.alternative,
                          problem.permutations, class_alpha=settings["class_alpha"], p1=f["p1"], p2=f["p2"],
                          class_code=f["class_code"], q_value=f["q_value"], perm_q=f["perm_q"], **labels)
    args = (settings["n1"], settings["n2"], problem.score or "", problem.method, problem.alternative,
            problem.permutations)
    if kind == "rows":
        return RowResult(problem.names, f["index"], f["score"], f["perm_p"], *args, perm_q=f["perm_q"], **labels)
    partners = [(problem.partners or [])[int(k)] for k in f["set"]]
    return SetResult(problem.names, f["index"], partners, f["score"], f["perm_p"], *args, perm_q=f["perm_q"],
                     **labels)


def _finish_output(out: str, written: List[str], manifest: Dict[str, Any]) -> None:
    """Move the finished parts into place, mark the run complete and drop the work files."""
    for name in os.listdir(out):
        if name.startswith("part-") and name not in written:
            os.remove(os.path.join(out, name))
    final = os.path.join(out, _WORK, "final")
    for name in written:
        os.replace(os.path.join(final, name), os.path.join(out, name))
    manifest["complete"] = True
    manifest["parts"] = written
    write_manifest(out, manifest)
    shutil.rmtree(os.path.join(out, _WORK), ignore_errors=True)


# --------------------------------------------------------------------------------------
# The run

def _compute(problem: Problem, settings: Dict[str, Any], tiles: List[Tuple[int, int]], filters: Dict[str, Any],
             store: Any, client: Any, digest: str, progress: bool, after_result: Optional[Callable[[int], None]],
             out: Optional[str] = None, description: Optional[Dict[str, Any]] = None) -> Any:
    """Run the tasks that `store` does not hold yet, then build the result (and the files)."""
    hosts = host_slots(client) if client is not None else {}
    if client is None and out is None:
        # Nothing to resume and no worker to keep alive: every tile is one task.
        ranges = [[(0, problem.permutations + 1)] for _ in tiles]
    else:
        ranges = plan_passes(problem, tiles, sum(hosts.values()) or 1)
    state = _Run(problem, settings, tiles, ranges, store)
    state.bar = _Progress(progress, state.total_weight(),
                          {"all": "pair", "list": "pair", "rows": "row", "sets": "set"}[problem.kind])
    try:
        if client is None:
            _run_here(state, settings["threads"])
        else:
            _run_dask(state, client, hosts, "corrshift-" + digest[:20], after_result)
    finally:
        state.bar.close()

    write = None
    written: List[str] = []
    if out is not None:
        from . import _parquet
        final = os.path.join(out, _WORK, "final")
        os.makedirs(final, exist_ok=True)

        def write(t: int, part: Any) -> None:
            if len(part) or (t == len(tiles) - 1 and not written):
                name = "part-{:05d}.parquet".format(t)
                _parquet.write(part, os.path.join(final, name), description)
                written.append(name)

    limit = KEEP_IN_MEMORY if out is not None else None
    if problem.is_pairs:
        result = _finish_pairs(problem, settings, tiles, store, filters, write, limit)
    else:
        result = _finish_scores(problem, settings, tiles, store, filters, write)
    if out is not None:
        _save_kept(out, result, "pairs" if problem.is_pairs else problem.kind, problem)
        _finish_output(out, written, store.manifest)
    return result


ORDER_NOTE = ("entries in pair order (row1 ascending, then row2) for all pairs, in the order given for "
              "listed pairs and sets, in row order for rows; part files in that order by name")


def run(problem: Problem, *, out: Any = None, overwrite: bool = False, client: Any = None,
        n_jobs: Optional[int] = None, max_p: Optional[float] = None, max_q: Optional[float] = None,
        top: Optional[int] = None, progress: bool = True,
        _after_result: Optional[Callable[[int], None]] = None) -> Any:
    """Compute `problem` and return its result table (see the module docstring).

    Every argument is checked, and `out` created (or its earlier run found), before any
    work. The returned table holds the entries that pass the filters (``max_p``, ``max_q``
    on the p-value for pairs and on the permutation p-value for scores; then the ``top``
    best), sorted when ``top`` is given and in pair (row, set) order otherwise. With
    `out`, at most KEEP_IN_MEMORY of them are held, the best ones; ``result.output`` names
    the folder with all of them.
    """
    filters = check_filters(max_p, max_q, top)
    threads = _inputs.job_count(n_jobs)
    if problem.data.size >= 2 ** 31:
        raise InputError("data has {:,} values in the two groups' samples; at most 2**31 - 1 are "
                         "supported".format(problem.data.size))
    if client is not None:
        distributed = require_dask()
        if not isinstance(client, distributed.Client):
            raise InputError("client must be a distributed.Client, got {!r}".format(type(client).__name__))
    if out is not None:
        from . import _parquet
        _parquet.require()
        out = os.fspath(out)
    check_memory(problem, filters, out)
    check_histogram_memory(problem, filters)
    kind = "pairs" if problem.is_pairs else problem.kind
    q_limit = None if filters["max_q"] is None else filters["max_q"] * (1 + 2.0 ** -40)
    keep = [v for v in (filters["max_p"], q_limit) if v is not None]
    settings = {"blocks": BLOCKS, "kind": problem.kind, "first": problem.first, "second": problem.second,
                "method": problem.method, "alternative": problem.alternative, "score": problem.score,
                "permutations": problem.permutations, "n1": int(problem.first.size),
                "n2": int(problem.second.size), "keep_p": min(keep) if keep else None,
                "group1": problem.labels[0], "group2": problem.labels[1], "class_alpha": problem.class_alpha,
                "threads": threads,
                # Tiles are summarised (kept entries, distinct p-values) unless every entry is
                # kept in memory, and make their per-pair columns only for the files.
                "summary": out is not None or any(v is not None for v in filters.values()),
                "columns": out is not None,
                "hist_limit": math.inf if q_limit is None else q_limit,
                "tile_top": filters["top"] if filters["max_q"] is None else None}
    tiles = plan_tiles(problem)
    if client is None and out is None and (not problem.is_pairs or not settings["summary"]):
        # In this process, what is held whole anyway is computed whole: one task.
        tiles = tiles[:1] and [(tiles[0][0], tiles[-1][1])]
    digest = input_hash(problem, filters)
    description = {"kind": kind, "method": problem.method, "alternative": problem.alternative,
                   "score": problem.score, "permutations": problem.permutations,
                   "n1": settings["n1"], "n2": settings["n2"], "group1": problem.labels[0],
                   "group2": problem.labels[1], "entries": problem.item_count(), "max_p": filters["max_p"],
                   "max_q": filters["max_q"], "top": filters["top"], "order": ORDER_NOTE,
                   "class_alpha": problem.class_alpha if problem.is_pairs else None,
                   "corrshift": _version()}
    if out is None:
        result = _compute(problem, settings, tiles, filters, _MemoryStore(), client, digest, progress,
                          _after_result)
    else:
        check_output(out)
        with OutputLock(out):
            manifest = prepare_output(out, digest, description, overwrite)
            if manifest.get("complete") and os.path.exists(os.path.join(out, _KEPT)):
                result = _load_kept(out, kind, problem, settings)
            else:
                result = _compute(problem, settings, tiles, filters, _DirectoryStore(out, manifest), client,
                                  digest, progress, _after_result, out, description)
    result.output = out
    return result
