"""Native z-tests and set scores of differential correlation, with permutation p-values.

Arguments are positional only; arrays must be C-contiguous float32 (data) and int32
(row and column lists). Every call draws a progress line on the process's standard
output (written by native code, not through ``sys.stdout``).
"""

from typing import Tuple

import numpy as np
import numpy.typing as npt

_F32 = npt.NDArray[np.float32]
_I32 = npt.NDArray[np.int32]

def _ztest_pipeline_indexed(
    data: _F32,
    first_rows: _I32,
    second_rows: _I32,
    first_columns: _I32,
    second_columns: _I32,
    method: str,
    alternative: str,
    permutations: int,
    n_jobs: int,
    /,
) -> Tuple[_F32, _F32, _F32, _F32, _F32]:
    """(first_r, second_r, z_diff, p_value, perm_p) for the pairs (first_rows[k], second_rows[k])."""
    ...

def _score_pipeline_indexed(
    data: _F32,
    first_rows: _I32,
    second_rows: _I32,
    first_columns: _I32,
    second_columns: _I32,
    method: str,
    score: str,
    alternative: str,
    permutations: int,
    n_jobs: int,
    /,
) -> Tuple[_I32, _F32, _F32]:
    """(labels, observed, perm_p) per set; a set is a run of equal, ascending first_rows."""
    ...

def _ztest_pipeline_exhaustive(
    data: _F32,
    first_columns: _I32,
    second_columns: _I32,
    method: str,
    alternative: str,
    permutations: int,
    n_jobs: int,
    /,
) -> Tuple[_F32, _F32, _F32, _F32, _F32]:
    """The five arrays of ``_ztest_pipeline_indexed`` for all pairs (i, j), i < j, with pair
    (i, j) of n rows at i*(2n-i-1)/2 + j-i-1."""
    ...

def _score_pipeline_exhaustive(
    data: _F32,
    first_columns: _I32,
    second_columns: _I32,
    method: str,
    score: str,
    alternative: str,
    permutations: int,
    n_jobs: int,
    /,
) -> Tuple[_F32, _F32]:
    """(observed, perm_p) per row, each row scored over its pairs with all other rows."""
    ...
