"""Block entry points: parts of the all-pairs and listed-pairs z-tests, the row, set and module scores,
over a range of passes, bit-identical to the matching values of ``pipelines``.

Pass 0 is the observed pass with the caller's groups; pass r >= 1 is the r-th
permutation pass of the public functions. A call computes passes [pass_first,
pass_last), always including the observed pass, whose values it returns; ``counts``
covers the permutation passes of the range, so counts of ranges that cover 1..P add up
to ``perm_p * P`` of the public call. The calls print nothing, release the interpreter
lock while they compute, and call ``progress(n)`` after each pass of the range with
the number of the range's passes done so far. Arrays must be C-contiguous float32
(data) and int32 (lists).

``statistics="native"`` (the default) gives the public functions' values bit for bit.
``statistics="api"`` gives the statistics the API reports: average ranks for tied values
("spearman"), every row standardised within each group in double precision while it is
packed, the z-tests' observed r, z_diff and p-value computed in double (r clamped to
[-1, 1], p_value float64, the Spearman standard error sqrt(1.06/(n1-3) + 1.06/(n2-3))),
and permutation passes in single precision, each counting where its z_diff is at least as
extreme as the returned (float32) observed z_diff. A row constant within a group gets NaN
correlations in the observed pass there.
"""

from typing import Callable, Optional, Tuple

import numpy as np
import numpy.typing as npt

_F32 = npt.NDArray[np.float32]
_I32 = npt.NDArray[np.int32]
_I64 = npt.NDArray[np.int64]
_F64 = npt.NDArray[np.float64]

def ztest_block(
    data: _F32,
    first_columns: _I32,
    second_columns: _I32,
    rows_a: Tuple[int, int],
    rows_b: Tuple[int, int],
    method: str,
    alternative: str,
    pass_first: int,
    pass_last: int,
    n_jobs: int,
    *,
    progress: Optional[Callable[[int], object]] = None,
    statistics: str = "native",
) -> Tuple[_F32, _F32, _F32, npt.NDArray[np.floating], _I32]:
    """(first_r, second_r, z_diff, p_value, counts) for the pairs (i, j) with i in
    [rows_a), j in [rows_b) and j > i, ordered by i, then j; p_value is float32, float64
    with statistics="api"."""
    ...

def pairs_block(
    data: _F32,
    first_rows: _I32,
    second_rows: _I32,
    first_columns: _I32,
    second_columns: _I32,
    method: str,
    alternative: str,
    pass_first: int,
    pass_last: int,
    n_jobs: int,
    *,
    progress: Optional[Callable[[int], object]] = None,
    statistics: str = "native",
) -> Tuple[_F32, _F32, _F32, npt.NDArray[np.floating], _I32]:
    """(first_r, second_r, z_diff, p_value, counts) for the pairs (first_rows[k],
    second_rows[k]); len(second_rows) pairs, first_rows at least as long."""
    ...

def ztest_block_kept(
    data: _F32,
    first_columns: _I32,
    second_columns: _I32,
    rows_a: Tuple[int, int],
    rows_b: Tuple[int, int],
    method: str,
    alternative: str,
    n_jobs: int,
    *,
    keep_p: float,
    count_p: float = ...,
    progress: Optional[Callable[[int], object]] = None,
) -> Tuple[_I64, _F32, _F32, _F32, _F64, _F64, _I64, int]:
    """The observed pass of ``ztest_block(..., 0, 1, n_jobs, statistics="api")`` for a tile
    whose pairs are filtered on their p-values, without its per-pair outputs:
    (positions, first_r, second_r, z_diff, p_value, counted_p, counted_pairs, defined).
    The pairs with p_value <= keep_p, in ascending position among the tile's pairs, with
    the full outputs' values bit for bit; the distinct p-values <= count_p in ascending
    order with the number of pairs that have each (what exact Benjamini-Hochberg q-values
    need); and the number of p-values that are not NaN. Either limit may be inf. Pairs
    whose p-value is surely above both limits are decided from their correlations, with
    no atanh or erfc."""
    ...

def pairs_block_kept(
    data: _F32,
    first_rows: _I32,
    second_rows: _I32,
    first_columns: _I32,
    second_columns: _I32,
    method: str,
    alternative: str,
    n_jobs: int,
    *,
    keep_p: float,
    count_p: float = ...,
    progress: Optional[Callable[[int], object]] = None,
) -> Tuple[_I64, _F32, _F32, _F32, _F64, _F64, _I64, int]:
    """ztest_block_kept for the listed pairs of pairs_block; positions in the list."""
    ...

def row_score_block(
    data: _F32,
    first_columns: _I32,
    second_columns: _I32,
    rows: Tuple[int, int],
    method: str,
    score: str,
    alternative: str,
    pass_first: int,
    pass_last: int,
    n_jobs: int,
    *,
    progress: Optional[Callable[[int], object]] = None,
    statistics: str = "native",
) -> Tuple[_F32, _I32]:
    """(observed, counts) for the rows [rows), each scored over its pairs with all rows."""
    ...

def set_block(
    data: _F32,
    first_rows: _I32,
    second_rows: _I32,
    first_columns: _I32,
    second_columns: _I32,
    method: str,
    score: str,
    alternative: str,
    pass_first: int,
    pass_last: int,
    n_jobs: int,
    *,
    progress: Optional[Callable[[int], object]] = None,
    statistics: str = "native",
) -> Tuple[_I32, _F32, _I32]:
    """(labels, observed, counts) per set; a set is a run of equal, ascending first_rows."""
    ...

def module_block(
    data: _F32,
    first_rows: _I32,
    second_rows: _I32,
    module_starts: _I32,
    module_pairs: _I32,
    first_columns: _I32,
    second_columns: _I32,
    method: str,
    score: str,
    alternative: str,
    pass_first: int,
    pass_last: int,
    n_jobs: int,
    *,
    progress: Optional[Callable[[int], object]] = None,
    statistics: str = "native",
) -> Tuple[_F32, _F32, _F32, _I32]:
    """(observed, mean_r1, mean_r2, counts) per module; module g holds the listed pairs at
    module_pairs[module_starts[g]:module_starts[g + 1]]."""
    ...

_F64 = npt.NDArray[np.float64]

def studentized_block(
    data: _F32,
    first_columns: _I32,
    second_columns: _I32,
    rows_a: Tuple[int, int],
    rows_b: Tuple[int, int],
    method: str,
    alternative: str,
    n_jobs: int,
) -> Tuple[_F64, _F64]:
    """(T, p) of the studentized difference of Fisher-transformed correlations for the
    pairs of ztest_block's tile, in its order; p is T's normal p-value for the alternative.
    Average ranks for "spearman", rows standardised within each group in double; NaN where
    a row is constant in a group. At least 4 columns per group."""
    ...

def studentized_pairs_block(
    data: _F32,
    first_rows: _I32,
    second_rows: _I32,
    first_columns: _I32,
    second_columns: _I32,
    method: str,
    alternative: str,
    n_jobs: int,
) -> Tuple[_F64, _F64]:
    """(T, p) of the listed pairs (first_rows[k], second_rows[k])."""
    ...

def robust_pass_block(
    data: _F32,
    first_rows: _I32,
    second_rows: _I32,
    first_columns: _I32,
    second_columns: _I32,
    method: str,
    alternative: str,
    pass_first: int,
    pass_last: int,
    state: Optional[Tuple[_F64, _I32, _I32]],
    stop_at: int,
    keep: int,
    n_jobs: int,
    *,
    progress: Optional[Callable[[int], object]] = None,
) -> Tuple[Tuple[_F64, _I32, _I32], _F64]:
    """((t_obs, counts, defined), top) of the listed pairs after the permutation passes
    [pass_first, pass_last) (the passes of ztest_block). state is None when pass_first is
    0 (the call computes t_obs from pass 0), else the first item a call ending at
    pass_first returned. counts: defined passes whose T is at least as extreme as t_obs
    (1e-9 relative); defined: passes where neither permuted group leaves a row of the pair
    constant; a pair stops at the pass where its count reaches stop_at (0: never). top:
    pairs x keep, each pair's largest extremeness values (|T|, T or -T) of the range's
    defined passes, descending, NaN-padded. The groups must be disjoint."""
    ...
