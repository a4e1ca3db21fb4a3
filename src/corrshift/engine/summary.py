"""What a finished tile of pairs keeps, computed where its task ran.

A run that keeps every entry in memory keeps the five arrays of the block call. Otherwise
a tile keeps the entries that can pass the filters and counts its distinct p-values and
its exceedance counts, from which the run computes exact q-values without holding every
pair (:mod:`.assemble`).
"""

import concurrent.futures
import math
from typing import TYPE_CHECKING, Any, Dict, Optional, Tuple

import numpy as np

from ..results import correlation_classes, correlation_pvalues, pair_order

if TYPE_CHECKING:
    from .tasks import Settings


def at_most(p: np.ndarray, limit: float) -> np.ndarray:
    """``p <= limit`` with float32 `p` as float64, without a float64 copy of `p`: against the
    largest float32 at most `limit`, which gives the same answer for every float32. (Float64
    `p` is compared as it is.)"""
    if p.dtype != np.float32:
        return p <= limit
    bound = np.float32(limit)
    if float(bound) > limit:
        bound = np.nextafter(bound, np.float32(-np.inf))
    return p <= bound


def count_at_most(values: np.ndarray, limit: float) -> int:
    """How many of the ascending `values` are at most `limit` (float32 values compared as
    float64, as :func:`at_most` does)."""
    if values.dtype == np.float32:
        return int(np.count_nonzero(at_most(values, limit)))
    return int(np.searchsorted(values, limit, side="right"))


#: The arrays of a tile summary with one entry per kept entry.
ENTRY_KEYS = ("r1", "r2", "z", "p", "b", "code", "p1", "p2", "class_code")


def prune_summary(summary: Dict[str, Any], limit: float) -> Dict[str, Any]:
    """A tile's summary without the kept entries whose p-value is above `limit` (and their
    distinct values), the arrays cut to copies so that the rest is let go; the summary
    itself when none is above it."""
    keep = at_most(summary["p"], limit)
    if keep.all():
        return summary
    where = np.flatnonzero(keep)
    cut = dict(summary)
    for key in ENTRY_KEYS:
        if key in summary:
            cut[key] = summary[key][where]
    positions = np.arange(summary["p"].size, dtype=np.int32) if summary["all"] else summary["pos"]
    cut["pos"], cut["all"] = positions[where], np.bool_(False)
    # Entries up to `limit` have codes of the values up to it, which come first.
    cut["kept_vals"] = summary["kept_vals"][: count_at_most(summary["kept_vals"], limit)].copy()
    return cut


def _candidates(p: np.ndarray, keep_p: Optional[float]) -> Optional[np.ndarray]:
    """Positions of the entries that can pass the filters; None for all of them."""
    if keep_p is None:
        return None
    passing = at_most(p, keep_p)
    return None if passing.all() else np.flatnonzero(passing).astype(np.int32)


def _distinct(values: np.ndarray) -> Tuple[np.ndarray, np.ndarray, np.ndarray]:
    """Distinct values other than NaN with their counts, and each entry's code: the position
    of its value among them, -1 for NaN."""
    values = np.ascontiguousarray(values, dtype=values.dtype if values.dtype == np.float64 else np.float32)
    nan = np.isnan(values)
    if values.dtype == np.float64 or values.size >= 2**32 or np.any(np.signbit(values[~nan])):
        found, code, counts = np.unique(values[~nan], return_inverse=True, return_counts=True)
        full = np.full(values.size, -1, dtype=np.int32)
        full[~nan] = code.reshape(-1)
        return found, counts.astype(np.int64), full
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


def pair_summary(
    r1: np.ndarray, r2: np.ndarray, z: np.ndarray, p: np.ndarray, counts: Optional[np.ndarray], settings: "Settings"
) -> Dict[str, Any]:
    """What the run keeps of a finished tile of pairs.

    A run that keeps every entry in memory keeps the five arrays as they are: the result
    makes its other columns when they are asked for. Otherwise the entries that can pass
    the filters (with the code of their p-value among the distinct p-values they hold), the
    distinct p-values up to the q-value limit with their counts, and the counts of each
    exceedance count; with the columns that depend on a pair alone when the run writes
    files.
    """
    permutations = settings.permutations
    if counts is None:
        counts = np.zeros(p.size, dtype=np.int32)
    if not settings.summary:
        return {"r1": r1, "r2": r2, "z": z, "p": p, "b": counts}
    # Entries whose statistic is NaN have no permutation p-value and do not count for perm_q.
    b_hist = np.zeros(0, dtype=np.int64)
    if permutations:
        nan = np.isnan(z)
        b_hist = np.bincount(counts[~nan] if nan.any() else counts, minlength=permutations + 1).astype(np.int64)
    pos = _candidates(p, settings.keep_p)
    top = settings.tile_top
    if top is not None and (pos.size if pos is not None else p.size) > top:
        take = pos if pos is not None else slice(None)
        best = np.sort(pair_order(p[take], z[take])[:top]).astype(np.int32)
        pos = best if pos is None else pos[best]
    kept = {"r1": r1, "r2": r2, "z": z, "p": p, "b": counts}
    if pos is not None:
        kept = {k: v[pos] for k, v in kept.items()}
    kept_values, kept_counts, code = _distinct(kept["p"])
    m = np.int64(p.size - np.count_nonzero(np.isnan(p)))
    counted = None if settings.hist_limit == math.inf else at_most(p, settings.hist_limit)
    if pos is None and (counted is None or np.count_nonzero(counted) == m):
        values, value_counts = kept_values, kept_counts  # every p-value is kept: one sort serves both
    else:
        values, value_counts, _ = _distinct(p if counted is None else p[counted])
    if settings.columns:
        # Made here, on the worker that ran the task, for the files.
        kept["p1"], kept["p2"] = _correlation_pvalues(kept["r1"], kept["r2"], settings)
        kept["class_code"] = correlation_classes(kept["r1"], kept["p1"], kept["r2"], kept["p2"], settings.class_alpha)
    return dict(
        kept,
        pos=pos if pos is not None else np.zeros(0, np.int32),
        all=np.bool_(pos is None),
        code=code,
        kept_vals=kept_values,
        b_hist=b_hist,
        p_vals=values,
        p_counts=value_counts,
        m=m,
    )


def _correlation_pvalues(r1: np.ndarray, r2: np.ndarray, settings: "Settings") -> Tuple[np.ndarray, np.ndarray]:
    """The t-test p-values of r1 and r2 (the costliest columns). NumPy lets go of the
    interpreter lock in its loops, so for large tables the two run side by side."""
    if settings.threads > 1 and r1.size >= 1 << 16:
        with concurrent.futures.ThreadPoolExecutor(1) as pool:
            first = pool.submit(correlation_pvalues, r1, settings.n1)
            p2 = correlation_pvalues(r2, settings.n2)
            return first.result(), p2
    return correlation_pvalues(r1, settings.n1), correlation_pvalues(r2, settings.n2)
