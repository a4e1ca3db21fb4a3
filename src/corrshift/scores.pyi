"""Native set scores ("mean" of absolute values, "median") without a correlation step.

Arguments are positional only; arrays must be C-contiguous float32 (values) and int32
(labels). An unknown score name gives NaN scores.
"""

from typing import Tuple

import numpy as np
import numpy.typing as npt

_F32 = npt.NDArray[np.float32]
_I32 = npt.NDArray[np.int32]

def _score_indexed(values: _F32, labels: _I32, score: str, n_jobs: int, /) -> Tuple[_F32, _F32]:
    """(run labels as float32, run scores) over the runs of equal, ascending labels."""
    ...

def _score_exhaustive(pair_values: _F32, n_items: int, score: str, n_jobs: int, /) -> _F32:
    """Score of each of n_items items over its values in a condensed pair vector."""
    ...
