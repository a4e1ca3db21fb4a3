"""What to compute: the matrix of the rows in use, the two groups' columns, the items and
the options of one analysis, and the hash of everything an output depends on."""

import hashlib
import json
from dataclasses import asdict, dataclass
from typing import Dict, List, Optional, Sequence, Tuple

import numpy as np

from .analyses import Analysis, analysis_named

#: Version of the work files and manifest; part of the input hash.
FORMAT = 1


@dataclass(frozen=True)
class Filters:
    """Which entries a run keeps: p-value (permutation p-value for scores) at most `max_p`,
    q-value at most `max_q`, then the `top` most significant."""

    max_p: Optional[float] = None
    max_q: Optional[float] = None
    top: Optional[int] = None

    @property
    def any(self) -> bool:
        return self.max_p is not None or self.max_q is not None or self.top is not None


class Problem:
    """What to compute: the float32 matrix of the rows in use and the two groups' columns,
    the items (pairs, rows or sets) and the options. `kind` names the analysis: "all"
    (every pair of rows), "list" (listed pairs), "rows" (row scores), "sets" (set
    scores) or "modules" (module scores)."""

    def __init__(
        self,
        kind: str,
        data: np.ndarray,
        first: np.ndarray,
        second: np.ndarray,
        names: np.ndarray,
        method: str,
        alternative: str,
        permutations: int,
        score: Optional[str] = None,
        rows: Optional[np.ndarray] = None,
        index1: Optional[np.ndarray] = None,
        index2: Optional[np.ndarray] = None,
        local1: Optional[np.ndarray] = None,
        local2: Optional[np.ndarray] = None,
        hubs: Optional[Sequence[int]] = None,
        partners: Optional[List[np.ndarray]] = None,
        labels: Tuple[str, str] = ("group 1", "group 2"),
        class_alpha: float = 0.05,
        statistics: str = "api",
    ):
        self.analysis: Analysis = analysis_named(kind)
        self.kind = kind
        self.data = data
        self.first, self.second = first, second
        self.names = names
        self.method, self.alternative, self.score = method, alternative, score
        self.permutations = permutations
        self.rows = rows  # data row -> row of the user's matrix (None: the same)
        self.index1, self.index2 = index1, index2  # listed pairs, user's rows
        self.local1, self.local2 = local1, local2  # listed pairs or set pairs, data rows
        self.hubs, self.partners = hubs, partners  # sets, user's rows, in the order given
        self.labels = labels
        self.class_alpha = class_alpha
        # The block functions' statistics (see tasks.Settings); "native" for the public
        # pipelines' values.
        self.statistics = statistics
        # Rows the caller's data had but the run leaves out, by reason (see
        # corrshift._inputs.screen_rows): names of the user's rows.
        self.dropped: Dict[str, List[str]] = {}
        #: The matrix of an AnnData object that was read (".raw", "X", "layer 'name'"), or None.
        self.matrix: Optional[str] = None
        # Pair tests: the non-zero samples of each user's row in each group (n x 2, -1 for
        # rows not read), which the pair tables' non-zero columns look up.
        self.row_nonzero: Optional[np.ndarray] = None
        # Pair tests: compute the robust columns (see engine/robust_stage.py).
        self.robust = False
        self.local_hubs: Optional[np.ndarray] = None  # sets, data rows
        self.local_partners: Optional[List[np.ndarray]] = None
        # Modules: their names, their genes (user's rows, ascending) and the same as data
        # rows, per module the genes the data does not have, the modules skipped and the
        # genes not found over all modules.
        self.module_names: Optional[List[str]] = None
        self.module_genes: Optional[List[np.ndarray]] = None
        self.local_genes: Optional[List[np.ndarray]] = None
        self.module_missing: Optional[List[int]] = None
        self.module_skipped: List[str] = []
        self.module_unknown = 0

    @property
    def nrows(self) -> int:
        return int(self.data.shape[0])

    @property
    def ncols(self) -> int:
        return int(self.data.shape[1])

    def item_count(self) -> int:
        return self.analysis.item_count(self)


def input_hash(problem: Problem, filters: Filters, version: str) -> str:
    """A hash of everything the output depends on."""
    h = hashlib.sha256()
    options = {
        "format": FORMAT,
        "version": version,
        "kind": problem.kind,
        "method": problem.method,
        "alternative": problem.alternative,
        "score": problem.score,
        "permutations": problem.permutations,
        "labels": list(problem.labels),
        "class_alpha": problem.class_alpha,
        "statistics": problem.statistics,
        "shape": list(problem.data.shape),
        "filters": asdict(filters),
    }
    h.update(json.dumps(options, sort_keys=True).encode("utf-8"))
    for array in (
        problem.data,
        problem.first,
        problem.second,
        problem.rows,
        problem.index1,
        problem.index2,
        problem.local1,
        problem.local2,
    ):
        h.update(b"|")
        if array is not None:
            h.update(np.ascontiguousarray(array).view(np.uint8).reshape(-1).data)
    h.update("\0".join(str(n) for n in problem.names).encode("utf-8"))
    if problem.hubs is not None:
        h.update(np.asarray(problem.hubs, dtype=np.int64).tobytes())
        for partners in problem.partners or []:
            h.update(b"|" + np.asarray(partners, dtype=np.int64).tobytes())
    if problem.module_genes is not None:
        h.update("\0".join(problem.module_names or []).encode("utf-8"))
        for genes in problem.module_genes:
            h.update(b"|" + np.asarray(genes, dtype=np.int64).tobytes())
    return h.hexdigest()
