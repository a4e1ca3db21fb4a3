"""Exact q-values over any number of pairs in bounded memory.

Without ``max_q`` a run counts every distinct p-value of every tile, and merging all of them
takes about BYTES_PER_DISTINCT bytes each (float64 p-values are nearly all distinct). When
that would not fit, each tile's distinct values and counts are appended to one file instead
(16 bytes a value: the float64 value and its int64 count, in ascending order within the
tile), and the q-values of the reported entries are computed from it in one ascending sweep
that holds one range of values at a time:

* every reported entry has a p-value at most ``tau``, the largest p-value a tile kept (with
  ``top``, the top-th smallest of them: no entry above it is among the top best);
* ``q(v) = min(1, min over distinct w >= v of w * m / R(w))`` with R(w) the number of
  p-values at most w (ties take the rank of the last of them); the terms of the values up
  to ``tau`` are kept, those above ``tau`` only enter through their minimum ``T``;
* a term is ``float64(w) * m / R(w)``, the same operations as ``bh_from_counts``, with
  R(w) the same whole number, and minima are exact, so the q-values are bit-identical to
  those of the in-memory table.

The file is read in bounded pieces (never memory-mapped, so its pages do not count as the
process's resident memory). Each tile keeps every ``step``-th of its values in memory (a
sample, 8 bytes per ``step`` values); the cuts between ranges are taken from the sample, and
the sample tells, for each tile, a position past which all of its values lie above the cut:
a tile is read up to there, and the few values read beyond the cut (fewer than ``step`` a
tile) wait for the next range.

Memory: the values up to ``tau`` with their terms (16 bytes each, as many as the distinct
p-values reported, which become the q-value table), one range of at most CHUNK_VALUES values
(about 45 bytes each while it is read and sorted: about 190 MB for the default), the values
waiting for the next range (at most ``step`` per tile, 16 bytes each) and the sample (8
bytes per ``step`` values of the file, 34 MB for 1.1e9). The file takes 16 bytes per
distinct value of each tile on disk.
"""

import os
import shutil
import tempfile
from typing import Any, BinaryIO, Dict, List, Optional, Tuple

import numpy as np

from . import files
from .store import FolderStore, MemoryStore

#: Most values of one ascending range of the sweep.
CHUNK_VALUES = 1 << 22
#: Every this many values of a tile one is kept in memory, to cut the ranges (smaller with a
#: small CHUNK_VALUES, so that the ranges stay within it).
SAMPLE_STEP = 256
#: One distinct value of a tile in the file.
RECORD = np.dtype([("value", "<f8"), ("count", "<i8")])


def distinct_ranks(pieces: List[np.ndarray]) -> Tuple[np.ndarray, np.ndarray]:
    """The distinct values (ascending) of the records of several tiles, and for each the sum
    of the counts of the values up to it (emptying `pieces`, so that each step holds about
    two copies of the values)."""
    values = np.concatenate([p["value"] for p in pieces])
    # Most counts are 1: a value counts once, the few others add their count less one.
    more = np.concatenate([p[p["count"] != 1] for p in pieces])
    pieces.clear()
    values.sort()
    last = np.flatnonzero(values[1:] != values[:-1])
    last = np.append(last, values.size - 1) if values.size else last
    distinct = values[last]
    del values
    ranks = last + 1
    if more.size:
        order = np.argsort(more["value"])
        added = np.zeros(more.size + 1, dtype=np.int64)
        np.cumsum(more["count"][order] - 1, out=added[1:])
        ranks += added[np.searchsorted(more["value"][order], distinct, side="right")]
    return distinct, ranks


class SpilledCounts:
    """The distinct p-values and counts of the finished tiles, in one file, with the number
    of p-values that are not NaN, the counts of each exceedance count, and what the tiles
    kept (their largest p-value; with `top`, the top smallest)."""

    def __init__(self, permutations: int, top: Optional[int], folder: Optional[str] = None):
        self.own = folder is None
        self.folder = tempfile.mkdtemp(prefix="corrshift-counts-") if folder is None else folder
        files.make_folder(self.folder)
        self.path = os.path.join(self.folder, "counts.bin")
        if files.is_file(self.path):  # left by an earlier run in the work folder: nothing of it is read
            os.remove(self.path)
        files.create(self.path).close()  # made new, never through a link
        self.top = top
        self.m = 0
        self.b_hist = np.zeros(permutations + 1 if permutations else 0, dtype=np.int64)
        self.step = max(1, min(SAMPLE_STEP, CHUNK_VALUES // 64))
        self.starts = [0]  # where each tile's records begin in the file, and the end
        self.samples: List[np.ndarray] = []
        self.kept_max = -np.inf
        self.smallest = np.zeros(0)

    def add(self, summary: Dict[str, Any]) -> None:
        self.m += int(summary["m"])
        if summary["b_hist"].size:
            if self.b_hist.size != summary["b_hist"].size:
                self.b_hist = np.zeros(summary["b_hist"].size, dtype=np.int64)
            self.b_hist += summary["b_hist"]
        values = np.asarray(summary["p_vals"], dtype=np.float64)
        records = np.empty(values.size, dtype=RECORD)
        records["value"] = values
        records["count"] = summary["p_counts"]
        with files.open_append(self.path) as fh:
            fh.write(records.view(np.uint8))
        self.starts.append(self.starts[-1] + values.size)
        self.samples.append(values[:: self.step].copy())
        kept = np.asarray(summary["kept_vals"], dtype=np.float64)
        if kept.size:
            self.kept_max = max(self.kept_max, float(kept[-1]))
            if self.top is not None:
                both = np.concatenate([self.smallest, kept])
                self.smallest = np.partition(both, self.top - 1)[: self.top] if both.size > self.top else both

    def tau(self) -> float:
        """No reported entry has a p-value above this."""
        if self.top is not None and self.smallest.size >= self.top:
            return min(self.kept_max, float(np.max(self.smallest)))
        return self.kept_max

    def _cuts(self, bound: float) -> Tuple[np.ndarray, np.ndarray, np.ndarray]:
        """The ascending cuts of the ranges (a range holds the values below its cut, above
        the previous one; `bound` and infinity among them), and the sample sorted with the
        tile of each of its values."""
        tiles = len(self.samples)
        sample = np.concatenate(self.samples) if tiles else np.zeros(0)
        tile_of = np.repeat(np.arange(tiles, dtype=np.int32), [s.size for s in self.samples])
        order = np.argsort(sample)  # ties between tiles in any order
        sample, tile_of = sample[order], tile_of[order]
        # A range between two cuts holds at most per_range * step values, and fewer than
        # step more from each tile (the values past the last sampled one below the cut).
        per_range = max(1, CHUNK_VALUES // self.step - tiles)
        cuts = np.unique(np.concatenate([sample[per_range::per_range], [bound, np.inf]]))
        return cuts, sample, tile_of

    def _read(self, fh: BinaryIO, tile: int, first: int, stop: int) -> np.ndarray:
        """Records first .. stop - 1 of a tile."""
        records = np.empty(stop - first, dtype=RECORD)
        fh.seek((self.starts[tile] + first) * RECORD.itemsize)
        if fh.readinto(records.view(np.uint8)) != records.nbytes:
            raise OSError("the p-value counts in {} are shorter than written".format(self.path))
        return records

    def q_values(self) -> Tuple[np.ndarray, np.ndarray]:
        """The distinct values up to tau (ascending) and their exact q-values."""
        tau, m = self.tau(), self.m
        if tau == -np.inf:  # no tile kept an entry
            return np.zeros(0), np.zeros(0)
        bound = float(np.nextafter(tau, np.inf))  # the values below it are those up to tau
        cuts, sample, tile_of = self._cuts(bound)
        tiles, step = len(self.samples), self.step
        sizes = np.diff(np.asarray(self.starts, dtype=np.int64))
        # The values up to tau and their terms; room for every one of them as counted by
        # the sample, which is at most step per tile more than there are.
        below = (
            int(np.minimum(np.bincount(tile_of[: np.searchsorted(sample, bound)], minlength=tiles) * step, sizes).sum())
            if tiles
            else 0
        )
        low_values, low_terms = np.empty(below), np.empty(below)
        filled, rank, lowest = 0, 0, np.inf
        sampled = np.zeros(tiles, dtype=np.int64)  # sample values of each tile below the cut
        read = np.zeros(tiles, dtype=np.int64)  # records of each tile read so far
        waiting: Dict[int, np.ndarray] = {}  # records read that are not below the last cut
        seen = 0
        with files.open_existing(self.path) as fh:
            for cut in cuts:
                upto = int(np.searchsorted(sample, cut, side="left"))
                sampled += np.bincount(tile_of[seen:upto], minlength=tiles)
                seen = upto
                # The values of a tile at and after its first sampled value not below the
                # cut are not below it either.
                stops = np.minimum(sampled * step, sizes) if cut != np.inf else sizes
                pieces = []
                for t in sorted(set(np.flatnonzero(stops > read).tolist()) | set(waiting)):
                    got = waiting.pop(t, None)
                    if stops[t] > read[t]:
                        new = self._read(fh, t, int(read[t]), int(stops[t]))
                        got = new if got is None else np.concatenate([got, new])
                        read[t] = stops[t]
                    assert got is not None
                    end = int(np.searchsorted(got["value"], cut, side="left"))
                    if end == 0:
                        waiting[t] = got
                        continue
                    pieces.append(got[:end])
                    if end < got.size:
                        waiting[t] = got[end:].copy()
                if not pieces:
                    continue
                values, ranks = distinct_ranks(pieces)
                ranks += rank
                terms = values * m / ranks
                rank = int(ranks[-1])
                if cut <= bound:
                    low_values[filled : filled + values.size] = values
                    low_terms[filled : filled + values.size] = terms
                    filled += values.size
                else:
                    lowest = min(lowest, float(np.min(terms)))
                del values, ranks, terms  # before the next range is read
        values, q = low_values[:filled], low_terms[:filled]
        np.minimum.accumulate(q[::-1], out=q[::-1])
        np.minimum(q, lowest, out=q)
        np.minimum(q, 1.0, out=q)
        return values, q

    def close(self) -> None:
        if self.own:
            shutil.rmtree(self.folder, ignore_errors=True)


class SpillingMemoryStore(MemoryStore):
    """A MemoryStore whose tiles' p-value counts go to a file as the tiles finish."""

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
    """A FolderStore that reads its tiles' p-value counts into a file one tile at a time."""

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
            _remove_counts(self.spilled.folder)
            self.spilled = None


def _remove_counts(folder: str) -> None:
    """Remove the counts file of a work folder, and the folder once empty."""
    for name in ("counts.bin",):
        path = os.path.join(folder, name)
        if files.is_file(path):
            os.remove(path)
    try:
        os.rmdir(folder)
    except OSError:
        pass
