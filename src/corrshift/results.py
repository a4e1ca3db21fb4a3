"""Result tables of the pair test and of the row and set scores.

Each result holds one NumPy array per column, plus what the run was (group sizes,
options). Tables can be sorted, cut to the best entries, printed, written as TSV and,
when pandas is installed, turned into a DataFrame.
"""
import gzip
import os
import re
from typing import IO, Any, Dict, List, Optional, Sequence, Tuple, TypeVar, Union

import numpy as np

PathArg = Union[str, "os.PathLike[str]"]
_T = TypeVar("_T", bound="_Result")


def bh_qvalues(p_values: Any) -> np.ndarray:
    """Benjamini-Hochberg adjusted p-values (q-values).

    ``q[i] = min(1, min over k with p[k] >= p[i] of p[k] * m / rank(k))``, with m the
    number of p-values that are not NaN; NaN p-values get NaN q-values and do not count.

    Parameters
    ----------
    p_values : array_like
        P-values in [0, 1]; NaN marks a missing one.

    Returns
    -------
    numpy.ndarray
        float64 q-values, in the order of `p_values`.
    """
    p = np.asarray(p_values, dtype=np.float64).reshape(-1)
    q = np.full(p.shape, np.nan)
    valid = np.flatnonzero(~np.isnan(p))
    m = valid.size
    if m == 0:
        return q
    order = valid[np.argsort(p[valid], kind="stable")]
    scaled = p[order] * m / np.arange(1, m + 1)
    # Running minimum from the largest p-value down (the step-up rule).
    q[order] = np.minimum(np.minimum.accumulate(scaled[::-1])[::-1], 1.0)
    return q


def _format_number(value: float) -> str:
    if np.isnan(value):
        return "NA"
    return "{:.4g}".format(value)


def _format_perm(value: float, permutations: int) -> str:
    """A permutation p-value of 0 means fewer than one pass in `permutations`."""
    if np.isnan(value):
        return "NA"
    if value == 0 and permutations > 0:
        return "<{:.2g}".format(1.0 / permutations)
    return "{:.4g}".format(value)


class _Result:
    """Common behaviour of the result tables."""

    #: Column names of the table, in output order.
    columns: Tuple[str, ...] = ()
    #: Columns holding permutation p-values, shown as "<1/P" when 0.
    _perm_columns = ("perm_p",)
    _text_columns: Tuple[str, ...] = ()

    n1: int
    n2: int
    method: str
    alternative: str
    permutations: int

    def __len__(self) -> int:
        raise NotImplementedError

    def column(self, name: str) -> np.ndarray:
        """The column `name` as an array (names for the text columns)."""
        if name not in self.columns:
            raise KeyError("no column {!r}; the columns are {}".format(name, ", ".join(self.columns)))
        value = getattr(self, name)
        if np.isscalar(value):
            return np.full(len(self), value)
        return np.asarray(value)

    def __getitem__(self, name: str) -> np.ndarray:
        return self.column(name)

    def _sort_keys(self) -> List[np.ndarray]:
        raise NotImplementedError

    def order(self) -> np.ndarray:
        """Positions of the entries, most significant first; missing values last."""
        keys = [np.where(np.isnan(k), np.inf, k) for k in self._sort_keys()]
        return np.lexsort(keys[::-1])

    def _take(self: _T, positions: np.ndarray) -> _T:
        raise NotImplementedError

    def top(self: _T, n: Optional[int] = None) -> _T:
        """The `n` most significant entries (all when None), sorted, as a new result."""
        order = self.order()
        return self._take(order if n is None else order[:max(0, int(n))])

    def to_dict(self) -> Dict[str, np.ndarray]:
        """The columns as a dict of arrays, in table order."""
        return {name: self.column(name) for name in self.columns}

    def to_pandas(self) -> Any:
        """The table as a pandas DataFrame (needs pandas)."""
        try:
            import pandas as pd  # type: ignore[import]
        except ImportError:
            raise ImportError("to_pandas() needs pandas: pip install pandas") from None
        return pd.DataFrame(self.to_dict())

    def to_tsv(self, path: Union[PathArg, IO[str]], *, sort: bool = True, top: Optional[int] = None) -> None:
        """Write the table as tab-separated text with a header line.

        Parameters
        ----------
        path : str, path-like or text file
            Destination; a name ending in ``.gz`` is written gzip-compressed.
        sort : bool, default True
            Most significant entries first (see :meth:`order`); otherwise in result order.
        top : int, optional
            Write only this many entries (after sorting).

        Notes
        -----
        Numbers are written with 6 significant digits, missing values as ``NA``.
        """
        table = self.top(top) if sort else (self._take(np.arange(min(len(self), top)))
                                            if top is not None else self)
        if hasattr(path, "write"):
            table._write(path)  # type: ignore[arg-type]
            return
        name = str(path)
        if name.endswith(".gz"):
            with gzip.open(name, "wt", encoding="utf-8", newline="", compresslevel=3) as out:
                table._write(out)
        else:
            with open(name, "w", encoding="utf-8", newline="") as out:
                table._write(out)

    def _write(self, out: IO[str], chunk: int = 100000) -> None:
        out.write("\t".join(self.columns) + "\n")
        fields = []
        for name in self.columns:
            if name in self._text_columns:
                fields.append("%s")
            elif name in ("n1", "n2", "size", "index", "index1", "index2"):
                fields.append("%d")
            else:
                fields.append("%.6g")
        line = "\t".join(fields) + "\n"
        nan_field = re.compile(r"(?<=\t)nan(?=[\t\n])")
        for start in range(0, len(self), chunk):
            part = self._take(np.arange(start, min(start + chunk, len(self))))
            cols = [part.column(name).tolist() for name in self.columns]
            text = "".join([line % row for row in zip(*cols)])
            if "nan" in text:
                text = nan_field.sub("NA", text)
            out.write(text)

    def format(self, n: Optional[int] = 15, columns: Optional[Sequence[str]] = None) -> str:
        """The `n` most significant entries as an aligned text table.

        `columns` defaults to every column but the group sizes. A permutation p-value of 0
        is shown as ``<1/permutations``.
        """
        table = self.top(n)
        header = [c for c in self.columns if c not in ("n1", "n2")] if columns is None else list(columns)
        cells: List[List[str]] = []
        for name in header:
            values = table.column(name)
            if name in self._text_columns:
                cells.append([str(v) for v in values])
            elif name in self._perm_columns:
                cells.append([_format_perm(float(v), self.permutations) for v in values])
            elif values.dtype.kind in "iu":
                cells.append([str(int(v)) for v in values])
            else:
                cells.append([_format_number(float(v)) for v in values])
        widths = [max([len(h)] + [len(c) for c in col]) for h, col in zip(header, cells)]
        lines = []
        for r in range(-1, len(table)):
            row = []
            for h, col, w in zip(header, cells, widths):
                text = h if r < 0 else col[r]
                row.append(text.ljust(w) if h in self._text_columns else text.rjust(w))
            lines.append("  ".join(row).rstrip())
        return "\n".join(lines)

    def _describe(self) -> str:
        return "{} entries, group sizes {} and {}, method {!r}, alternative {!r}, {} permutations".format(
            len(self), self.n1, self.n2, self.method, self.alternative, self.permutations)

    def __repr__(self) -> str:
        return "<{}: {}>\n{}".format(type(self).__name__, self._describe(), self.format(5))


class PairResult(_Result):
    """Differential correlation of pairs of rows between two groups of samples.

    Attributes
    ----------
    row1, row2 : numpy.ndarray of str
        Names of the two rows of each pair.
    index1, index2 : numpy.ndarray of int32
        Their row positions in the data.
    r1, r2 : numpy.ndarray of float32
        Correlation of the pair within group 1 and within group 2.
    z_diff : numpy.ndarray of float32
        atanh(r1) - atanh(r2), each correlation clamped to [-0.99, 0.99] first;
        positive when the pair is more strongly correlated in group 1.
    p_value, q_value : numpy.ndarray
        Normal-approximation p-value of `z_diff` and its Benjamini-Hochberg q-value.
    perm_p, perm_q : numpy.ndarray
        Permutation p-value (share of permutation passes at least as extreme; no added
        one, so 0 means "below 1/permutations") and its q-value; NaN when no
        permutations were run.
    n1, n2 : int
        Group sizes.
    """

    columns = ("row1", "row2", "r1", "r2", "z_diff", "p_value", "q_value", "perm_p", "perm_q", "n1", "n2")
    _text_columns = ("row1", "row2")

    def __init__(self, names: np.ndarray, index1: np.ndarray, index2: np.ndarray,
                 arrays: Sequence[np.ndarray], n1: int, n2: int, method: str, alternative: str,
                 permutations: int, q_value: Optional[np.ndarray] = None,
                 perm_q: Optional[np.ndarray] = None):
        self.names = names
        self.index1 = index1
        self.index2 = index2
        self.r1, self.r2, self.z_diff, self.p_value, self.perm_p = arrays
        self.q_value = bh_qvalues(self.p_value) if q_value is None else q_value
        self.perm_q = bh_qvalues(self.perm_p) if perm_q is None else perm_q
        self.n1, self.n2 = n1, n2
        self.method, self.alternative, self.permutations = method, alternative, permutations

    @property
    def row1(self) -> np.ndarray:
        return self.names[self.index1]

    @property
    def row2(self) -> np.ndarray:
        return self.names[self.index2]

    def __len__(self) -> int:
        return int(self.index1.shape[0])

    def _sort_keys(self) -> List[np.ndarray]:
        primary = [self.perm_p.astype(np.float64)] if self.permutations > 0 else []
        return primary + [self.p_value.astype(np.float64), -np.abs(self.z_diff.astype(np.float64))]

    def _take(self, positions: np.ndarray) -> "PairResult":
        arrays = [a[positions] for a in (self.r1, self.r2, self.z_diff, self.p_value, self.perm_p)]
        return PairResult(self.names, self.index1[positions], self.index2[positions], arrays, self.n1,
                          self.n2, self.method, self.alternative, self.permutations,
                          self.q_value[positions], self.perm_q[positions])


class _ScoreResult(_Result):
    score_name: str
    score: np.ndarray
    perm_p: np.ndarray
    perm_q: np.ndarray

    def _describe(self) -> str:
        return "score {!r}, {}".format(self.score_name, super()._describe())

    def _sort_keys(self) -> List[np.ndarray]:
        # Lower scores are the extreme ones when testing "less".
        sign = 1.0 if self.alternative == "less" else -1.0
        primary = [self.perm_p.astype(np.float64)] if self.permutations > 0 else []
        return primary + [sign * self.score.astype(np.float64)]


class RowResult(_ScoreResult):
    """Score of each row over its differential correlation with all other rows.

    Attributes
    ----------
    row : numpy.ndarray of str
        Row names.
    index : numpy.ndarray of int32
        Row positions in the data.
    score : numpy.ndarray of float32
        The row's score over the `z_diff` of its pairs with every other row ("mean": mean of
        absolute values; "median": median, of absolute values for "two-sided").
    perm_p, perm_q : numpy.ndarray
        Permutation p-value of the score and its Benjamini-Hochberg q-value; NaN when no
        permutations were run.
    n1, n2 : int
        Group sizes.
    """

    columns = ("row", "score", "perm_p", "perm_q", "n1", "n2")
    _text_columns = ("row",)

    def __init__(self, names: np.ndarray, index: np.ndarray, score: np.ndarray, perm_p: np.ndarray,
                 n1: int, n2: int, score_name: str, method: str, alternative: str, permutations: int,
                 perm_q: Optional[np.ndarray] = None):
        self.names = names
        self.index = index
        self.score = score
        self.perm_p = perm_p
        self.perm_q = bh_qvalues(perm_p) if perm_q is None else perm_q
        self.n1, self.n2 = n1, n2
        self.score_name = score_name
        self.method, self.alternative, self.permutations = method, alternative, permutations

    @property
    def row(self) -> np.ndarray:
        return self.names[self.index]

    def __len__(self) -> int:
        return int(self.index.shape[0])

    def _take(self, positions: np.ndarray) -> "RowResult":
        return RowResult(self.names, self.index[positions], self.score[positions], self.perm_p[positions],
                         self.n1, self.n2, self.score_name, self.method, self.alternative,
                         self.permutations, self.perm_q[positions])


class SetResult(_ScoreResult):
    """Score of each set of pairs that share a hub row.

    Attributes
    ----------
    hub : numpy.ndarray of str
        Name of each set's hub row, in the order the sets were given.
    index : numpy.ndarray of int32
        Row position of each hub.
    size : numpy.ndarray of int32
        Number of partner rows (pairs) in each set.
    partners : list of numpy.ndarray of int32
        Row positions of each set's partners.
    score : numpy.ndarray of float32
        Set score over the `z_diff` of the hub's pairs with its partners.
    perm_p, perm_q : numpy.ndarray
        Permutation p-value and its Benjamini-Hochberg q-value; NaN when no permutations
        were run.
    n1, n2 : int
        Group sizes.
    """

    columns = ("hub", "size", "score", "perm_p", "perm_q", "n1", "n2")
    _text_columns = ("hub",)

    def __init__(self, names: np.ndarray, index: np.ndarray, partners: List[np.ndarray], score: np.ndarray,
                 perm_p: np.ndarray, n1: int, n2: int, score_name: str, method: str, alternative: str,
                 permutations: int, perm_q: Optional[np.ndarray] = None):
        self.names = names
        self.index = index
        self.partners = partners
        self.size = np.asarray([p.size for p in partners], dtype=np.int32)
        self.score = score
        self.perm_p = perm_p
        self.perm_q = bh_qvalues(perm_p) if perm_q is None else perm_q
        self.n1, self.n2 = n1, n2
        self.score_name = score_name
        self.method, self.alternative, self.permutations = method, alternative, permutations

    @property
    def hub(self) -> np.ndarray:
        return self.names[self.index]

    def __len__(self) -> int:
        return int(self.index.shape[0])

    def _take(self, positions: np.ndarray) -> "SetResult":
        return SetResult(self.names, self.index[positions], [self.partners[int(k)] for k in positions],
                         self.score[positions], self.perm_p[positions], self.n1, self.n2, self.score_name,
                         self.method, self.alternative, self.permutations, self.perm_q[positions])


__all__ = ["PairResult", "RowResult", "SetResult", "bh_qvalues"]
