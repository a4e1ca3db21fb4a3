"""Exact q-values over any number of pairs in bounded memory.

Without ``max_q`` a run counts every distinct p-value of every tile, and merging all of them
takes about BYTES_PER_DISTINCT bytes each (float64 p-values are nearly all distinct). When
that would not fit, each tile's distinct values and counts go to files instead (16 bytes a
value: the float64 value and its int64 count, in ascending order), and the q-values of the
reported entries are computed from them in one ascending sweep that holds one range of
values at a time:

* every reported entry has a p-value at most ``tau``, the largest p-value a tile kept (with
  ``top``, the top-th smallest of them: no entry above it is among the top best);
* ``q(v) = min(1, min over distinct w >= v of w * m / R(w))`` with R(w) the number of
  p-values at most w (ties take the rank of the last of them); the terms of the values up
  to ``tau`` are kept, those above ``tau`` only enter through their minimum ``T``;
* a term is ``float64(w) * m / R(w)``, the same operations as ``bh_from_counts``, with
  R(w) the same whole number, and minima are exact, so the q-values are bit-identical to
  those of the in-memory table.

Memory: the values up to ``tau`` (about as many as the entries reported, 16 bytes each
plus their terms), a range of at most CHUNK_VALUES values with their counts and terms
(about 48 bytes each, 200 MB for the default), and a sample of every SAMPLE_STEP-th value
above ``tau`` to cut the ranges (8 bytes each). The files take 16 bytes per distinct value
of each tile on disk.
"""
import os
import shutil
import tempfile
from typing import Any, Dict, List, Optional, Tuple

import numpy as np

from .assemble import merge_counts
from .store import FolderStore, MemoryStore

#: Most values of one ascending range of the sweep (plus a sample step per tile).
CHUNK_VALUES = 1 << 22


class SpilledCounts:
    """The distinct p-values and counts of the finished tiles, one pair of .npy files per
    tile, with the number of p-values that are not NaN, the counts of each exceedance count,
    and what the tiles kept (their largest p-value; with `top`, the top smallest)."""

    def __init__(self, permutations: int, top: Optional[int], folder: Optional[str] = None):
        self.own = folder is None
        self.folder = tempfile.mkdtemp(prefix="corrshift-counts-") if folder is None else folder
        os.makedirs(self.folder, exist_ok=True)
        self.top = top
        self.m = 0
        self.b_hist = np.zeros(permutations + 1 if permutations else 0, dtype=np.int64)
        self.files: List[Tuple[str, str]] = []
        self.kept_max = -np.inf
        self.smallest = np.zeros(0)

    def add(self, summary: Dict[str, Any]) -> None:
        self.m += int(summary["m"])
        if summary["b_hist"].size:
            if self.b_hist.size != summary["b_hist"].size:
                self.b_hist = np.zeros(summary["b_hist"].size, dtype=np.int64)
            self.b_hist += summary["b_hist"]
        k = len(self.files)
        paths = (os.path.join(self.folder, "values-{:06d}.npy".format(k)),
                 os.path.join(self.folder, "counts-{:06d}.npy".format(k)))
        np.save(paths[0], np.asarray(summary["p_vals"], dtype=np.float64))
        np.save(paths[1], np.asarray(summary["p_counts"], dtype=np.int64))
        self.files.append(paths)
        kept = np.asarray(summary["kept_vals"], dtype=np.float64)
        if kept.size:
            self.kept_max = max(self.kept_max, float(kept[-1]))
            if self.top is not None:
                both = np.concatenate([self.smallest, kept])
                self.smallest = np.partition(both, self.top - 1)[:self.top] if both.size > self.top else both

    def tau(self) -> float:
        """No reported entry has a p-value above this."""
        if self.top is not None and self.smallest.size >= self.top:
            return min(self.kept_max, float(np.max(self.smallest)))
        return self.kept_max

    def q_values(self) -> Tuple[np.ndarray, np.ndarray]:
        """The distinct values up to tau (ascending) and their exact q-values."""
        tau, m = self.tau(), self.m
        if tau == -np.inf:  # no tile kept an entry
            return np.zeros(0), np.zeros(0)
        tiles = [(np.load(v, mmap_mode="r"), np.load(c, mmap_mode="r")) for v, c in self.files]
        ends = [int(np.searchsorted(v, tau, side="right")) for v, _ in tiles]
        values, counts = merge_counts([np.asarray(v[:e]) for (v, _), e in zip(tiles, ends)],
                                      [np.asarray(c[:e]) for (_, c), e in zip(tiles, ends)])
        ranks = np.cumsum(counts)
        terms = values.astype(np.float64) * m / ranks
        below = int(ranks[-1]) if ranks.size else 0
        lowest = self._lowest_term_above(tiles, ends, below)
        q = np.minimum.accumulate(terms[::-1])[::-1]
        return values, np.minimum(np.minimum(q, lowest), 1.0)

    def _lowest_term_above(self, tiles: List[Tuple[np.ndarray, np.ndarray]], ends: List[int], below: int) -> float:
        """min of w * m / R(w) over the distinct values above tau, `below` of the values
        being at most tau; in ascending ranges cut at a sample of the values."""
        above = sum(v.shape[0] - e for (v, _), e in zip(tiles, ends))
        if not above:
            return np.inf
        # A range between two cuts holds at most per_range * step values, and up to step
        # more from each tile (the values past a tile's last sampled one).
        step = max(1, CHUNK_VALUES // (2 * len(tiles)))
        sample = np.sort(np.concatenate([np.asarray(v[e::step]) for (v, _), e in zip(tiles, ends)]))
        per_range = max(1, CHUNK_VALUES // (2 * step))
        cuts = list(sample[per_range::per_range]) + [np.inf]
        starts = list(ends)
        lowest, rank = np.inf, below
        for cut in cuts:
            stops = [int(np.searchsorted(v, cut, side="left")) if cut != np.inf else v.shape[0] for v, _ in tiles]
            values, counts = merge_counts([np.asarray(v[a:b]) for (v, _), a, b in zip(tiles, starts, stops)],
                                          [np.asarray(c[a:b]) for (_, c), a, b in zip(tiles, starts, stops)])
            if values.size:
                ranks = rank + np.cumsum(counts)
                lowest = min(lowest, float(np.min(values.astype(np.float64) * self.m / ranks)))
                rank = int(ranks[-1])
            starts = stops
        return lowest

    def close(self) -> None:
        if self.own:
            shutil.rmtree(self.folder, ignore_errors=True)


class SpillingMemoryStore(MemoryStore):
    """A MemoryStore whose tiles' p-value counts go to files as the tiles finish."""

    def __init__(self, permutations: int, top: Optional[int]):
        super().__init__()
        self.spilled = SpilledCounts(permutations, top)

    def save_tile(self, tile: int, summary: Dict[str, Any], tasks: Any) -> None:
        if "p_vals" in summary:
            self.spilled.add(summary)
            summary = {k: v for k, v in summary.items() if k not in ("p_vals", "p_counts", "b_hist", "m")}
        self.tiles[tile] = summary
        for key in tasks:
            self.tasks.pop(key, None)

    def histogram(self, tiles: int, permutations: int) -> Any:
        return self.spilled

    def close(self) -> None:
        self.spilled.close()


class SpillingFolderStore(FolderStore):
    """A FolderStore that reads its tiles' p-value counts into files one tile at a time."""

    def __init__(self, out: str, manifest: Dict[str, Any], top: Optional[int]):
        super().__init__(out, manifest)
        self.top = top
        self.spilled: Optional[SpilledCounts] = None

    def histogram(self, tiles: int, permutations: int) -> Any:
        self.close()
        self.spilled = SpilledCounts(permutations, self.top, os.path.join(self.work, "counts"))
        for t in range(tiles):
            self.spilled.add(self.load_tile(t, ("m", "b_hist", "p_vals", "p_counts", "kept_vals")))
        return self.spilled

    def close(self) -> None:
        if self.spilled is not None:
            shutil.rmtree(self.spilled.folder, ignore_errors=True)
            self.spilled = None
