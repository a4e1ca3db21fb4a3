"""Exact, slow stand-in for the native block functions, built on the public pipelines.

With ``statistics="native"`` each function computes what the native block computes: the observed values of a block of
pairs, rows or sets, and the raw exceedance counts over the permutation passes
[max(pass_first, 1), pass_last). Two facts make that possible with the public calls:
every pass's column split depends only on the column count and the fixed seed, so a call
with P' permutations runs the first P' permutation passes of any longer call; and each
pair's statistics depend only on its two rows. Counts of a pass range are the difference
of two such calls.

With ``statistics="api"`` it computes the API's statistics with the slow reference of
``reference.py`` (``api_ztest``, ``api_scores``) over every pass up to ``pass_last``.

The engine tests point ``corrshift.engine.BLOCKS`` at this module (by name, so that Dask
worker processes import it too). ``CORRSHIFT_TEST_BLOCK_DELAY`` (seconds) slows every call,
for tests that need a run to be in flight.
"""

import os
import time
from typing import Any, Callable, Optional, Tuple

import numpy as np

import reference
from corrshift import pipelines, scores

_METHODS = ("pearson", "spearman")
_ALTERNATIVES = ("two-sided", "greater", "less")
_SCORES = ("mean", "median")


def _check(
    data: Any,
    first: Any,
    second: Any,
    method: str,
    alternative: str,
    pass_first: int,
    pass_last: int,
    score: Optional[str] = None,
    statistics: str = "native",
) -> None:
    if statistics not in ("native", "api"):
        raise ValueError("unknown statistics")
    if not (isinstance(data, np.ndarray) and data.dtype == np.float32 and data.ndim == 2 and data.flags.c_contiguous):
        raise TypeError("data must be a C-contiguous 2-D float32 array")
    for cols in (first, second):
        if not (isinstance(cols, np.ndarray) and cols.dtype == np.int32):
            raise TypeError("column lists must be int32 arrays")
    if method not in _METHODS or alternative not in _ALTERNATIVES or (score is not None and score not in _SCORES):
        raise ValueError("unknown option")
    if not 0 <= pass_first < pass_last:
        raise ValueError("pass range must satisfy 0 <= pass_first < pass_last")


def _counts(
    run: Callable[[int], Tuple[Any, np.ndarray]],
    pass_first: int,
    pass_last: int,
    progress: Optional[Callable[[int], None]],
) -> Tuple[Any, np.ndarray]:
    """Observed values and the raw counts over the permutation passes of [pass_first, pass_last)."""
    delay = float(os.environ.get("CORRSHIFT_TEST_BLOCK_DELAY", "0"))
    if delay:
        time.sleep(delay)
    upper = pass_last - 1
    observed, perm_p = run(upper)
    counts = np.rint(perm_p.astype(np.float64) * upper).astype(np.int32)
    lower = max(pass_first, 1) - 1
    if lower > 0:
        counts -= np.rint(run(lower)[1].astype(np.float64) * lower).astype(np.int32)
    if progress is not None:
        progress(pass_last - pass_first)
    return observed, counts


def _api_counts(
    run: Callable[[int], Tuple[Any, np.ndarray]],
    pass_first: int,
    pass_last: int,
    progress: Optional[Callable[[int], None]],
) -> Tuple[Any, np.ndarray]:
    """_counts for the reference's API statistics, whose runs give raw counts."""
    observed, counts = run(pass_last - 1)
    lower = max(pass_first, 1) - 1
    if lower > 0:
        counts = counts - run(lower)[1]
    if progress is not None:
        progress(pass_last - pass_first)
    return observed, counts.astype(np.int32)


def _api_pairs(
    data: np.ndarray,
    first: np.ndarray,
    second: np.ndarray,
    first_columns: np.ndarray,
    second_columns: np.ndarray,
    method: str,
    alternative: str,
    pass_first: int,
    pass_last: int,
    progress: Optional[Callable[[int], None]],
) -> Tuple[np.ndarray, ...]:
    def run(perms: int) -> Tuple[Any, np.ndarray]:
        *observed, counts = reference.api_ztest(
            data, first, second, first_columns, second_columns, method, alternative, perms
        )
        return tuple(observed), counts

    observed, counts = _api_counts(run, pass_first, pass_last, progress)
    return observed + (counts,)


def _listed(
    data: np.ndarray,
    first_rows: np.ndarray,
    second_rows: np.ndarray,
    first_columns: np.ndarray,
    second_columns: np.ndarray,
    method: str,
    alternative: str,
    n_jobs: int,
) -> Callable[[int], Tuple[Any, np.ndarray]]:
    def run(perms: int) -> Tuple[Any, np.ndarray]:
        r1, r2, z, p, perm_p = pipelines._ztest_pipeline_indexed(
            data, first_rows, second_rows, first_columns, second_columns, method, alternative, perms, n_jobs
        )
        return (r1, r2, z, p), perm_p

    return run


def ztest_block(
    data: np.ndarray,
    first_columns: np.ndarray,
    second_columns: np.ndarray,
    rows_a: Tuple[int, int],
    rows_b: Tuple[int, int],
    method: str,
    alternative: str,
    pass_first: int,
    pass_last: int,
    n_jobs: int,
    *,
    progress: Optional[Callable[[int], None]] = None,
    statistics: str = "native",
) -> Tuple[np.ndarray, ...]:
    _check(data, first_columns, second_columns, method, alternative, pass_first, pass_last, statistics=statistics)
    (a0, a1), (b0, b1) = rows_a, rows_b
    if not (0 <= a0 <= a1 <= data.shape[0] and 0 <= b0 <= b1 <= data.shape[0]):
        raise IndexError("row range outside the data")
    # The block's pairs, ordered by first row, then second row.
    firsts = [np.full(max(0, b1 - max(b0, i + 1)), i, dtype=np.int32) for i in range(a0, a1)]
    seconds = [np.arange(max(b0, i + 1), b1, dtype=np.int32) for i in range(a0, a1)]
    first = np.concatenate(firsts + [np.zeros(0, np.int32)])
    second = np.concatenate(seconds + [np.zeros(0, np.int32)])
    if statistics == "api":
        return _api_pairs(
            data, first, second, first_columns, second_columns, method, alternative, pass_first, pass_last, progress
        )
    lo, hi = min(a0, b0), max(a1, b1)
    n = hi - lo
    if 2 * first.size >= n * (n - 1) // 2 and n <= 46341:
        # Most pairs of the rows involved: all of them in one exhaustive call, then pick.
        sub = np.ascontiguousarray(data[lo:hi])
        pick = (first - lo).astype(np.int64) * (2 * n - (first - lo) - 1) // 2 + (second - first - 1)

        def run(perms: int) -> Tuple[Any, np.ndarray]:
            r1, r2, z, p, perm_p = pipelines._ztest_pipeline_exhaustive(
                sub, first_columns, second_columns, method, alternative, perms, n_jobs
            )
            return (r1[pick], r2[pick], z[pick], p[pick]), perm_p[pick]
    else:
        run = _listed(data, first, second, first_columns, second_columns, method, alternative, n_jobs)

    observed, counts = _counts(run, pass_first, pass_last, progress)
    return observed + (counts,)


def pairs_block(
    data: np.ndarray,
    first_rows: np.ndarray,
    second_rows: np.ndarray,
    first_columns: np.ndarray,
    second_columns: np.ndarray,
    method: str,
    alternative: str,
    pass_first: int,
    pass_last: int,
    n_jobs: int,
    *,
    progress: Optional[Callable[[int], None]] = None,
    statistics: str = "native",
) -> Tuple[np.ndarray, ...]:
    _check(data, first_columns, second_columns, method, alternative, pass_first, pass_last, statistics=statistics)
    if statistics == "api":
        count = len(second_rows)
        return _api_pairs(
            data,
            np.asarray(first_rows)[:count],
            second_rows,
            first_columns,
            second_columns,
            method,
            alternative,
            pass_first,
            pass_last,
            progress,
        )
    run = _listed(data, first_rows, second_rows, first_columns, second_columns, method, alternative, n_jobs)
    observed, counts = _counts(run, pass_first, pass_last, progress)
    return observed + (counts,)


def row_score_block(
    data: np.ndarray,
    first_columns: np.ndarray,
    second_columns: np.ndarray,
    rows: Tuple[int, int],
    method: str,
    score: str,
    alternative: str,
    pass_first: int,
    pass_last: int,
    n_jobs: int,
    *,
    progress: Optional[Callable[[int], None]] = None,
    statistics: str = "native",
) -> Tuple[np.ndarray, np.ndarray]:
    _check(data, first_columns, second_columns, method, alternative, pass_first, pass_last, score, statistics)
    p0, p1 = rows
    if not 0 <= p0 <= p1 <= data.shape[0]:
        raise IndexError("row range outside the data")
    if statistics == "api":
        n = data.shape[0]
        first, second = reference.condensed_pairs(n)
        absolute = alternative == "two-sided"
        return _api_counts(
            lambda perms: reference.api_scores(
                data,
                first,
                second,
                first_columns,
                second_columns,
                method,
                alternative,
                perms,
                lambda z: reference.row_scores(z, n, score, absolute)[p0:p1],
            ),
            pass_first,
            pass_last,
            progress,
        )

    def run(perms: int) -> Tuple[Any, np.ndarray]:
        observed, perm_p = pipelines._score_pipeline_exhaustive(
            data, first_columns, second_columns, method, score, alternative, perms, n_jobs
        )
        return observed[p0:p1], perm_p[p0:p1]

    observed, counts = _counts(run, pass_first, pass_last, progress)
    return observed, counts


def set_block(
    data: np.ndarray,
    first_rows: np.ndarray,
    second_rows: np.ndarray,
    first_columns: np.ndarray,
    second_columns: np.ndarray,
    method: str,
    score: str,
    alternative: str,
    pass_first: int,
    pass_last: int,
    n_jobs: int,
    *,
    progress: Optional[Callable[[int], None]] = None,
    statistics: str = "native",
) -> Tuple[np.ndarray, ...]:
    _check(data, first_columns, second_columns, method, alternative, pass_first, pass_last, score, statistics)
    if statistics == "api":
        labels, starts, ends = reference.label_runs(first_rows)
        absolute = alternative == "two-sided"
        observed, counts = _api_counts(
            lambda perms: reference.api_scores(
                data,
                first_rows,
                second_rows,
                first_columns,
                second_columns,
                method,
                alternative,
                perms,
                lambda z: [reference._set_score(z, range(s, e), score, absolute) for s, e in zip(starts, ends)],
            ),
            pass_first,
            pass_last,
            progress,
        )
        return np.asarray(labels, dtype=np.int32), observed, counts
    labels = []

    def run(perms: int) -> Tuple[Any, np.ndarray]:
        lab, observed, perm_p = pipelines._score_pipeline_indexed(
            data, first_rows, second_rows, first_columns, second_columns, method, score, alternative, perms, n_jobs
        )
        labels.append(lab)
        return observed, perm_p

    observed, counts = _counts(run, pass_first, pass_last, progress)
    return labels[0], observed, counts


def module_block(
    data: np.ndarray,
    first_rows: np.ndarray,
    second_rows: np.ndarray,
    module_starts: np.ndarray,
    module_pairs: np.ndarray,
    first_columns: np.ndarray,
    second_columns: np.ndarray,
    method: str,
    score: str,
    alternative: str,
    pass_first: int,
    pass_last: int,
    n_jobs: int,
    *,
    progress: Optional[Callable[[int], None]] = None,
    statistics: str = "native",
) -> Tuple[np.ndarray, ...]:
    """Pass by pass: the pass's z_diff from the public z-test with that pass's groups and
    no permutations (from the reference's API statistics for "api"), the modules' scores
    from the public indexed scores (the reference's set scores), the counts by the
    exceedance rule."""
    from reference import permutation_groups

    _check(data, first_columns, second_columns, method, alternative, pass_first, pass_last, score, statistics)
    starts = np.asarray(module_starts, dtype=np.int64)
    members = np.asarray(module_pairs, dtype=np.int64)
    sizes = np.diff(starts)
    labels = np.repeat(np.arange(sizes.size, dtype=np.int32), sizes)
    absolute = alternative == "two-sided"

    def api_pass(g1: np.ndarray, g2: np.ndarray) -> Tuple[np.ndarray, np.ndarray, np.ndarray]:
        source = reference.api_source(data, g1, g2, method)
        r1, r2 = (
            reference.pair_correlation(reference.standardised(source, g)[0], first_rows, second_rows) for g in (g1, g2)
        )
        z = reference.api_pass_z(source, first_rows, second_rows, g1, g2, g1.size, g2.size, method, alternative)
        out = [
            reference._set_score(z, members[starts[g] : starts[g + 1]], score, absolute and score == "median")
            for g in range(sizes.size)
        ]
        return np.asarray(out, np.float32), r1, r2

    def pass_of(g1: np.ndarray, g2: np.ndarray) -> Tuple[np.ndarray, np.ndarray, np.ndarray]:
        r1, r2, z, _, _ = pipelines._ztest_pipeline_indexed(
            data, first_rows, second_rows, g1, g2, method, alternative, 0, n_jobs
        )
        values = z[members]
        if score == "median" and alternative == "two-sided":
            values = np.abs(values)
        out = np.zeros(sizes.size, np.float32)
        if labels.size:
            found, got = scores._score_indexed(np.ascontiguousarray(values), labels, score, n_jobs)
            out[found.astype(np.int64)] = got
        return out, r1, r2

    run_pass = api_pass if statistics == "api" else pass_of
    observed, r1, r2 = run_pass(first_columns, second_columns)
    means = []
    for r in (r1, r2):
        mean = np.full(sizes.size, np.nan, np.float32)
        for g in range(sizes.size):
            v = r[members[starts[g] : starts[g + 1]]].astype(np.float64)
            v = v[(v != -2.0) & ~np.isnan(v)]
            if v.size:
                mean[g] = np.float32(sum(v.tolist()) / v.size)  # in member order, as the block
        means.append(mean)
    counts = np.zeros(sizes.size, np.int32)
    groups = permutation_groups(data.shape[1], first_columns.size, second_columns.size, max(pass_last - 1, 0))
    for g1, g2 in groups[max(pass_first, 1) - 1 :]:
        values, _, _ = run_pass(g1, g2)
        with np.errstate(invalid="ignore"):
            if alternative == "two-sided":
                hit = np.abs(values) >= np.abs(observed)
            elif alternative == "greater":
                hit = values >= observed
            else:
                hit = values <= observed
        counts += hit
    if progress is not None:
        progress(pass_last - pass_first)
    return observed, means[0], means[1], counts
