"""Result tables of the pair test and of the row and set scores.

Each result holds one NumPy array per column, in the order the items were given (pairs as
listed or in condensed order, rows in data order, sets as given), plus what the run was:
group labels and sizes, options. Every table view -- :meth:`~_Result.format`,
:meth:`~_Result.to_tsv`, :meth:`~_Result.to_pandas`, :meth:`~_Result.top` -- lists the
entries most significant first (see :func:`pair_order` and :func:`score_order`).

The small functions at the top work on plain arrays, so that any driver of the native
calls can build the same columns: :func:`bh_qvalues`, :func:`exceedance_counts`,
:func:`permutation_pvalues`, :func:`correlation_pvalues`, :func:`correlation_classes`,
:func:`pair_order` and :func:`score_order`.
"""

import copy
import functools
import gzip
import math
import os
from typing import IO, Any, Dict, List, Optional, Sequence, Tuple, TypeVar, Union

import numpy as np

from . import robust

PathArg = Union[str, "os.PathLike[str]"]
_T = TypeVar("_T", bound="_Result")

#: Pair columns, in output order (the TSV, the DataFrame and any other table writer).
PAIR_COLUMNS = (
    "row1",
    "row2",
    "r1",
    "r2",
    "p1",
    "p2",
    "class",
    "z_diff",
    "p_value",
    "q_value",
    "perm_p",
    "perm_q",
    "n1",
    "n2",
)
#: The robust significance columns of a pair table whose run computed them (after z_diff).
ROBUST_COLUMNS = ("p_robust", "q_robust", "p_how", "n_passes")
#: The non-zero samples of each pair's rows in each group (last), where the run counted them.
NONZERO_COLUMNS = ("nonzero1_row1", "nonzero1_row2", "nonzero2_row1", "nonzero2_row2")
ROW_COLUMNS = ("row", "score", "perm_p", "perm_q", "n1", "n2")
SET_COLUMNS = ("hub", "size", "score", "perm_p", "perm_q", "n1", "n2")
MODULE_COLUMNS = ("module", "n_genes", "n_pairs", "score", "mean_r1", "mean_r2", "perm_p", "perm_q", "n1", "n2")
#: Labels of the correlation classes, by code (see :func:`correlation_classes`).
CLASS_LABELS = np.asarray(["{}/{}".format(a, b) for a in "-0+" for b in "-0+"], dtype=object)


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
    p = np.asarray(p_values).reshape(-1)
    q = np.full(p.shape, np.nan)
    missing = np.isnan(p)
    if missing.all():
        return q
    if missing.any():
        valid = np.flatnonzero(~missing)
        order = valid[np.argsort(p[valid], kind="stable")]
    else:
        order = np.argsort(p, kind="stable")
    m = order.size
    scaled = np.asarray(p[order], dtype=np.float64)  # no second copy of float64 input
    scaled *= m
    step = 1 << 20  # ranks in pieces: no second full-size array
    for start in range(0, m, step):
        scaled[start : start + step] /= np.arange(start + 1, min(m, start + step) + 1, dtype=np.float64)
    # Running minimum from the largest p-value down (the step-up rule).
    backwards = scaled[::-1]
    np.minimum.accumulate(backwards, out=backwards)
    np.minimum(scaled, 1.0, out=scaled)
    q[order] = scaled
    return q


def bh_qvalues_below(p_values: Any, limit: float) -> np.ndarray:
    """The q-values of :func:`bh_qvalues` that are at most `limit`, bit for bit, and NaN for
    the others, sorting only the p-values up to `limit`.

    The q-value of a p-value at most `limit` is the smaller of the step-up minimum over
    the p-values up to `limit` (whose positions in the sorted order are their ranks among
    all) and that over the larger ones; every term of the latter, p * m / rank, is at least
    p > `limit`. So where the first is at most `limit` it is the q-value, with the same
    operations as the full computation; a q-value above `limit` is not made.
    """
    p = np.asarray(p_values, dtype=np.float64).reshape(-1)
    q = np.full(p.shape, np.nan)
    with np.errstate(invalid="ignore"):
        below = np.flatnonzero(p <= limit)
    if below.size == 0:
        return q
    m = p.size - int(np.count_nonzero(np.isnan(p)))
    order = below[np.argsort(p[below], kind="stable")]
    scaled = p[order] * m
    scaled /= np.arange(1, order.size + 1, dtype=np.float64)
    backwards = scaled[::-1]
    np.minimum.accumulate(backwards, out=backwards)
    np.minimum(scaled, 1.0, out=scaled)
    scaled[scaled > limit] = np.nan
    q[order] = scaled
    return q


def bh_from_counts(values: np.ndarray, counts: np.ndarray, m: int) -> np.ndarray:
    """q-value of each distinct value, given every value up to the largest one asked for.

    `values` ascending and distinct, `counts` how often each occurs, `m` the number of all
    values (also those above the last one). The same float64 operations as ``bh_qvalues``:
    all entries of a tied value get p * m / rank of the last of them, then the running
    minimum from the top, capped at 1.
    """
    if values.size == 0:
        return np.zeros(0)
    ranks = np.cumsum(counts.astype(np.int64))
    scaled = values.astype(np.float64) * m / ranks
    return np.minimum(np.minimum.accumulate(scaled[::-1])[::-1], 1.0)


class _QValues:
    """Benjamini-Hochberg q-values over one set of p-values, for any of its entries.

    Asked for the whole set (the very array it was made from), it gives
    :func:`bh_qvalues` of it; asked for some of its entries, it looks each p-value up among
    the set's distinct values (counted on first use), which gives the same bits.
    """

    def __init__(self, p_values: np.ndarray):
        self.whole = p_values
        self.values: Optional[np.ndarray] = None
        self.q: Optional[np.ndarray] = None

    def __call__(self, p: np.ndarray) -> np.ndarray:
        if p is self.whole:
            return bh_qvalues(p)
        if self.values is None:
            whole = self.whole[~np.isnan(self.whole)]
            self.values, counts = np.unique(whole, return_counts=True)
            self.q = bh_from_counts(self.values, counts, whole.size)
        q = np.full(p.shape, np.nan)
        valid = ~np.isnan(p)
        q[valid] = self.q[np.searchsorted(self.values, p[valid])]  # type: ignore[index]
        return q


def exceedance_counts(native_p: Any, permutations: int) -> np.ndarray:
    """The number of permutation passes at least as extreme, from the native share.

    The native functions return ``count / P`` in float32. For counts below 2**23 the
    product with P rounds back to the count exactly (the float32 quotient is within half
    an ulp); above it the recovered count is within one of the true count.
    """
    counts = np.asarray(native_p, dtype=np.float32).astype(np.float64)
    counts *= float(np.float32(permutations))
    return np.rint(counts, out=counts).astype(np.int64)


def permutation_pvalues(counts: Any, permutations: int, statistic: Any = None) -> np.ndarray:
    """Permutation p-values ``(b + 1) / (P + 1)`` from exceedance counts b of P passes.

    The observed split counts as one of the equally likely splits, so the smallest
    p-value is ``1 / (P + 1)``, never 0. Without passes (P = 0), and wherever the
    observed `statistic` is NaN, the p-value is NaN.
    """
    if permutations <= 0:
        return np.full(np.shape(counts), np.nan)
    p = np.array(counts, dtype=np.float64)
    p += 1.0
    p /= permutations + 1.0
    if statistic is not None:
        p[np.isnan(np.asarray(statistic))] = np.nan
    return p


# Regularised incomplete beta function by its continued fraction (modified Lentz).
_TINY = 1e-300
_EPS = 1e-15


def _beta_fraction(x: np.ndarray, a: float, b: float) -> np.ndarray:
    """The continued fraction of I_x(a, b), element-wise, for x < (a + 1) / (a + b + 2).

    Each element takes the same float64 steps until its own convergence, whatever its
    neighbours do; the elements still converging are packed at the front of the work
    arrays, which are updated in place.
    """
    qab, qap, qam = a + b, a + 1.0, a - 1.0
    n = x.size
    c = np.ones_like(x)
    d = 1.0 - qab * x / qap
    d[np.abs(d) < _TINY] = _TINY
    d = 1.0 / d
    h = d.copy()
    out = np.empty_like(x)
    where = np.arange(n)
    xs = x.copy()
    coef, ca, tmp = np.empty_like(x), np.empty_like(x), np.empty_like(x)
    flag = np.empty(n, dtype=bool)

    def floor_tiny(v: np.ndarray, scratch: np.ndarray, mask: np.ndarray) -> None:
        np.abs(v, out=scratch)
        np.less(scratch, _TINY, out=mask)
        if mask.any():
            v[mask] = _TINY

    # Convergence takes about sqrt(max(a, b)) steps near the switch point, fewer elsewhere.
    limit = 200 + 20 * int(math.sqrt(max(a, b)))
    for m in range(1, limit + 1):
        m2 = 2.0 * m
        X, C, D, H = xs[:n], c[:n], d[:n], h[:n]
        K, CA, T, F = coef[:n], ca[:n], tmp[:n], flag[:n]
        for scale, over in ((m * (b - m), (qam + m2) * (a + m2)), (-(a + m) * (qab + m), (a + m2) * (qap + m2))):
            np.multiply(scale, X, out=K)
            np.divide(K, over, out=K)  # coef
            np.multiply(K, D, out=T)
            np.add(1.0, T, out=T)  # da = 1 + coef d
            floor_tiny(T, CA, F)
            np.divide(1.0, T, out=D)  # d = 1 / da
            np.divide(K, C, out=CA)
            np.add(1.0, CA, out=CA)  # c = 1 + coef / c
            floor_tiny(CA, T, F)
            C[...] = CA
            np.multiply(D, CA, out=T)  # step = d c
            np.multiply(H, T, out=H)
        np.subtract(T, 1.0, out=T)
        np.abs(T, out=T)
        np.greater(T, _EPS, out=F)
        going = int(np.count_nonzero(F))
        if going < n:
            out[where[:n][~F]] = H[~F]
            for array in (where, xs, c, d, h):
                array[:going] = array[:n][F]
            n = going
            if n == 0:
                break
    out[where[:n]] = h[:n]
    return out


def correlation_pvalues(r: Any, n: int, chunk: int = 1 << 15) -> np.ndarray:
    """Two-sided p-values of correlations against 0, from the t distribution with n - 2
    degrees of freedom (used for Spearman correlations too), in float64.

    ``t = r sqrt((n - 2) / (1 - r^2))`` and ``p = I_{1 - r^2}((n - 2) / 2, 1 / 2)``, the
    regularised incomplete beta function; ``1 - r^2`` is formed as ``(1 - |r|)(1 + |r|)``
    so that p-values of correlations near +-1 keep their precision. |r| >= 1 gives 0, a
    NaN correlation a NaN p-value. Needs n >= 3.
    """
    flat = np.asarray(r).reshape(-1)
    if flat.size > chunk:  # work arrays that stay in the cache, whatever the table's length
        out = np.empty(flat.size)
        for k in range(0, flat.size, chunk):
            out[k : k + chunk] = correlation_pvalues(flat[k : k + chunk], n, chunk)
        return out.reshape(np.shape(r))
    a = np.abs(flat.astype(np.float64))
    p = np.full(a.shape, np.nan)
    p[a >= 1.0] = 0.0
    p[a == 0.0] = 1.0
    inside = np.flatnonzero((a > 0.0) & (a < 1.0))
    if inside.size == 0 or n < 3:
        return p.reshape(np.shape(r))
    alpha, beta = (n - 2) / 2.0, 0.5
    ai = a[inside]
    log_x = np.log1p(-ai) + np.log1p(ai)  # log(1 - r^2)
    log_1mx = 2.0 * np.log(ai)  # log(r^2)
    x = np.exp(log_x)
    log_beta = math.lgamma(alpha) + math.lgamma(beta) - math.lgamma(alpha + beta)
    front = np.exp(alpha * log_x + beta * log_1mx - log_beta)
    direct = x < (alpha + 1.0) / (alpha + beta + 2.0)
    out = np.empty(ai.shape)
    k = np.flatnonzero(direct)
    out[k] = front[k] * _beta_fraction(x[k], alpha, beta) / alpha
    k = np.flatnonzero(~direct)
    # I_x(a, b) = 1 - I_{1-x}(b, a), with 1 - x = r^2.
    out[k] = 1.0 - front[k] * _beta_fraction(ai[k] * ai[k], beta, alpha) / beta
    p[inside] = np.clip(out, 0.0, 1.0)
    return p.reshape(np.shape(r))


def correlation_classes(r1: Any, p1: Any, r2: Any, p2: Any, alpha: float = 0.05) -> np.ndarray:
    """Codes of the sign pattern of two correlations, as int8 indices into CLASS_LABELS.

    A correlation counts as "+" or "-" when its p-value is below `alpha`, else as "0";
    the label joins the two groups' signs, e.g. "+/0" or "-/+".
    """
    codes = np.full(np.shape(r1), 4, dtype=np.int8)  # "0/0"; built in place to spare memory
    for weight, r, p in ((3, r1, p1), (1, r2, p2)):
        r = np.asarray(r)
        significant = np.asarray(p) < alpha
        codes[significant & (r > 0)] += weight
        codes[significant & (r < 0)] -= weight
    return codes


def _nan_last(values: Any) -> np.ndarray:
    v = np.asarray(values, dtype=np.float64)
    return np.where(np.isnan(v), np.inf, v)


def pair_order(p_value: Any, z_diff: Any) -> np.ndarray:
    """Positions of pairs, most significant first: by p_value, ties by |z_diff| descending;
    missing values last."""
    z = np.abs(np.asarray(z_diff, dtype=np.float64))
    return np.lexsort((_nan_last(-z), _nan_last(p_value)))


def score_order(perm_p: Any, score: Any, alternative: str) -> np.ndarray:
    """Positions of rows or sets, most significant first: by perm_p, ties by the score,
    most extreme first (highest; lowest for alternative "less"); missing values last."""
    sign = 1.0 if alternative == "less" else -1.0
    return np.lexsort((_nan_last(sign * np.asarray(score, dtype=np.float64)), _nan_last(perm_p)))


def describe_group(names: Sequence[str], level: Optional[str] = None, shown: int = 3) -> str:
    """A short label for a group of samples: its level, or its first sample names."""
    if level is not None:
        return str(level)
    names = [str(n) for n in names]
    return ", ".join(names[:shown]) + (", ..." if len(names) > shown else "")


def _format_number(value: float) -> str:
    if np.isnan(value):
        return "NA"
    return "{:.4g}".format(value)


def _format_field(value: Any, integer: bool) -> str:
    """One TSV field: 6 significant digits, NA for a missing value."""
    if integer:
        return "%d" % value
    return "NA" if value != value else "%.6g" % value


def _open_output(path: PathArg) -> IO[str]:
    name = os.fspath(path)
    if str(name).endswith(".gz"):
        # Level 1: the text compresses well at any level, and level 1 is several times faster.
        return gzip.open(name, "wt", encoding="utf-8", newline="", compresslevel=1)  # type: ignore
    return open(name, "w", encoding="utf-8", newline="")


class _Result:
    """Common behaviour of the result tables."""

    #: Column names of the table, in output order.
    columns: Tuple[str, ...] = ()
    _text_columns: Tuple[str, ...] = ()
    _int_columns: Tuple[str, ...] = ("n1", "n2", "size")
    _noun = "entries"
    #: Attributes with one value per entry (what :meth:`take` cuts).
    _entries: Tuple[str, ...] = ()

    n1: int
    n2: int
    method: str
    alternative: str
    permutations: int
    group1: str
    group2: str
    #: Rows of the data that the run left out, by reason (rows constant within a group,
    #: or expressed in too few samples): their names in row order. Empty when none was.
    dropped: Dict[str, List[str]] = {}
    #: Why the perm_q column holds no values, when a run did not compute it (a filtered
    #: z-test that ran the permutation passes only for the pairs it reports).
    perm_q_note: Optional[str] = None
    #: Why the q_value column holds no values, when a run did not compute it (a filtered
    #: z-test whose pairs were chosen by the robust significance).
    q_value_note: Optional[str] = None
    #: The matrix of an AnnData object that the run read: ".raw", "X" or "layer 'name'"
    #: (None for other data).
    matrix: Optional[str] = None

    def __len__(self) -> int:
        raise NotImplementedError

    def column(self, name: str) -> np.ndarray:
        """The column `name` as an array in result order (names for the text columns)."""
        if name not in self.columns:
            raise KeyError("no column {!r}; the columns are {}".format(name, ", ".join(self.columns)))
        value = getattr(self, self._attribute(name))
        if np.isscalar(value):
            return np.full(len(self), value)
        return np.asarray(value)

    @staticmethod
    def _attribute(name: str) -> str:
        return "pair_class" if name == "class" else name

    def __getitem__(self, name: str) -> np.ndarray:
        return self.column(name)

    def order(self) -> np.ndarray:
        """Positions of the entries, most significant first; missing values last."""
        raise NotImplementedError

    def made(self, name: str) -> Optional[np.ndarray]:
        """The column attribute `name` if the table holds it already, else None (a column
        made from the others on first use that was not asked for yet)."""
        return self.__dict__.get(name)

    def take(self: _T, positions: np.ndarray) -> _T:
        """The entries at `positions`, as a new result of the same run. A column made from
        the others on first use is taken only when it was made: the new result makes it
        for its own entries (q-values from the whole set they were taken from)."""
        taken = copy.copy(self)
        fields = taken.__dict__
        fields.pop("output", None)  # the cut is not what an output folder holds
        for name in self._entries:
            value = fields.get(name)
            if value is None:
                continue
            if isinstance(value, np.ndarray):
                fields[name] = value[positions]
            else:
                fields[name] = [value[int(k)] for k in positions]
        return taken

    def top(self: _T, n: Optional[int] = None) -> _T:
        """The `n` most significant entries (all when None), sorted, as a new result."""
        order = self.order()
        return self.take(order if n is None else order[: max(0, int(n))])

    def _positions(self, sort: bool, top: Optional[int]) -> np.ndarray:
        positions = self.order() if sort else np.arange(len(self))
        return positions if top is None else positions[: max(0, int(top))]

    def metadata(self) -> Dict[str, Any]:
        """What the run was: group labels and sizes, options (and the rows left out, if any)."""
        meta = {
            "group1": self.group1,
            "group2": self.group2,
            "n1": self.n1,
            "n2": self.n2,
            "method": self.method,
            "alternative": self.alternative,
            "permutations": self.permutations,
        }
        if self.matrix is not None:
            meta["matrix"] = self.matrix
        if self.dropped:
            meta["dropped"] = self.dropped
        if self.q_value_note:
            meta["q_value"] = self.q_value_note
        if self.perm_q_note:
            meta["perm_q"] = self.perm_q_note
        return meta

    def to_dict(self, *, sort: bool = True) -> Dict[str, np.ndarray]:
        """The columns as a dict of arrays, most significant first (in result order when
        `sort` is False)."""
        positions = self._positions(sort, None)
        return {name: self.column(name)[positions] for name in self.columns}

    def to_pandas(self, *, sort: bool = True) -> Any:
        """The table as a pandas DataFrame (needs pandas), most significant first (in result
        order when `sort` is False). ``df.attrs`` holds :meth:`metadata`."""
        try:
            import pandas as pd  # type: ignore[import]
        except ImportError:
            raise ImportError("to_pandas() needs pandas: pip install pandas") from None
        frame = pd.DataFrame(self.to_dict(sort=sort))
        frame.attrs.update(self.metadata())
        return frame

    def header_comment(self) -> str:
        """The first line of the TSV output: the two groups."""
        return "# group1 = {} ({} samples); group2 = {} ({} samples)".format(self.group1, self.n1, self.group2, self.n2)

    def to_tsv(self, path: Union[PathArg, IO[str]], *, sort: bool = True, top: Optional[int] = None) -> None:
        """Write the table as tab-separated text.

        The first line is a comment naming the groups (``# group1 = ... ; group2 = ...``),
        then, where the run left rows out, a comment naming them (``# left out: ...``), where
        the run did not compute ``q_value`` or ``perm_q`` a comment saying why (``# perm_q: ...``), then
        the column names. Numbers have 6 significant digits, missing values are
        ``NA``. Read it back with ``pandas.read_csv(path, sep="\\t", comment="#")``.

        Parameters
        ----------
        path : str, path-like or text file
            Destination; a name ending in ``.gz`` is written gzip-compressed.
        sort : bool, default True
            Most significant entries first (see :meth:`order`); otherwise in result order.
        top : int, optional
            Write only this many entries (after sorting).
        """
        positions = self._positions(sort, top)
        if hasattr(path, "write"):
            self._write(path, positions)  # type: ignore[arg-type]
            return
        with _open_output(path) as out:  # type: ignore[arg-type]
            self._write(out, positions)

    def _write(
        self, out: IO[str], positions: np.ndarray, chunk: int = 100000, lead: Optional[str] = None, header: bool = True
    ) -> None:
        """The lines of the entries at `positions`, after the comment and column lines
        unless `header` is False; `lead` is a first field put before every entry."""
        if header:
            out.write(self.header_comment() + "\n")
            if self.dropped:
                out.write(
                    "# left out: {}\n".format(
                        "; ".join("{} ({})".format(why, ", ".join(names)) for why, names in self.dropped.items())
                    )
                )
            if self.q_value_note:
                out.write("# q_value: {}\n".format(self.q_value_note))
            if self.perm_q_note:
                out.write("# perm_q: {}\n".format(self.perm_q_note))
            out.write("\t".join(self.columns) + "\n")
        arrays = [self.column(name) for name in self.columns]
        # Formatting one value costs far more than substituting a ready string, so columns
        # with one value (the group sizes) go into the line format, and columns with few
        # distinct values (permutation p-values) are formatted once per distinct value.
        constant = [
            name not in self._text_columns
            and array.size > 0
            and array.dtype.kind in "iuf"
            and not np.isnan(array[0])
            and bool(np.all(array == array[0]))
            for name, array in zip(self.columns, arrays)
        ]
        few = [name in ("perm_p", "perm_q") for name in self.columns]
        for start in range(0, positions.size, chunk):
            part = positions[start : start + chunk]
            fields: List[str] = []
            values: List[List[Any]] = []
            for name, array, fixed, lookup in zip(self.columns, arrays, constant, few):
                if fixed:
                    fields.append(_format_field(array[0], name in self._int_columns).replace("%", "%%"))
                    continue
                taken = array[part]
                if name in self._text_columns:
                    fields.append("%s")
                    values.append(taken.tolist() if taken.dtype == object else [str(v) for v in taken.tolist()])
                elif name in self._int_columns:
                    fields.append("%d")
                    values.append(taken.tolist())
                elif lookup or np.isnan(taken).any():
                    distinct, inverse = np.unique(taken, return_inverse=True)
                    texts = np.asarray([_format_field(v, False) for v in distinct.tolist()], dtype=object)
                    fields.append("%s")
                    values.append(texts[inverse].tolist())
                else:
                    fields.append("%.6g")
                    values.append(taken.tolist())
            line = "\t".join(fields) + "\n"
            if lead is not None:
                line = lead.replace("%", "%%") + "\t" + line
            if values:
                out.write("".join([line % row for row in zip(*values)]))
            else:
                out.write((line % ()) * part.size)

    def format(self, n: Optional[int] = 15, columns: Optional[Sequence[str]] = None) -> str:
        """The `n` most significant entries as an aligned text table.

        `columns` defaults to every column but the group sizes (and a pair table's
        non-zero counts).
        """
        table = self.top(n)
        header = (
            [c for c in self.columns if c not in ("n1", "n2") + NONZERO_COLUMNS] if columns is None else list(columns)
        )
        cells: List[List[str]] = []
        for name in header:
            values = table.column(name)
            if name in self._text_columns:
                cells.append([str(v) for v in values])
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
        return (
            "{} {}; group1 = {} ({} samples), group2 = {} ({} samples); method {!r}, alternative {!r}, "
            "{} permutations".format(
                len(self),
                self._noun,
                self.group1,
                self.n1,
                self.group2,
                self.n2,
                self.method,
                self.alternative,
                self.permutations,
            )
        )

    def summary(self) -> str:
        """One line saying what the table is."""
        return "{}: {}".format(type(self).__name__, self._describe())

    def __repr__(self) -> str:
        return "<{}>\n{}".format(self.summary(), self.format(5))


@functools.lru_cache(maxsize=None)
def _malloc_trim() -> Any:
    try:
        import ctypes

        return ctypes.CDLL(None).malloc_trim
    except (OSError, AttributeError, TypeError):
        return None


def _give_back_memory() -> None:
    """Hands the memory freed inside the C heap back to the system, where the C library
    can (glibc): small arrays are freed there rather than unmapped, so that their pages
    would still count as the process's memory while a large table is made from them."""
    trim = _malloc_trim()
    if trim is not None:
        trim(0)


class _PairColumns:
    """The columns of a pair table: PAIR_COLUMNS on the class; on a table also the robust
    columns and the non-zero counts where its run made them."""

    def __get__(self, table: Optional["PairResult"], owner: type) -> Tuple[str, ...]:
        if table is None:
            return PAIR_COLUMNS
        names = PAIR_COLUMNS
        if table.made("p_robust") is not None:
            at = names.index("z_diff") + 1
            names = names[:at] + ROBUST_COLUMNS + names[at:]
        if table.row_nonzero is not None:
            names = names + NONZERO_COLUMNS
        return names


class PairResult(_Result):
    """Differential correlation of pairs of rows between two groups of samples.

    Attributes hold one entry per pair, in the order the pairs were given (all pairs:
    ``(0, 1), (0, 2), ..., (1, 2), ...``); the table views sort by ``p_robust`` where the
    run computed it, else by ``p_value``, ties by ``|z_diff|`` descending. ``p1``, ``p2``, ``class``, ``q_value`` and ``perm_q`` are made
    from the other columns when first asked for (a table cut by :meth:`top` makes them for
    its own entries only), unless the run made them already.

    Attributes
    ----------
    row1, row2 : numpy.ndarray of str
        Names of the two rows of each pair.
    index1, index2 : numpy.ndarray of int32
        Their row positions in the data.
    r1, r2 : numpy.ndarray of float32
        Correlation of the pair within group 1 and within group 2.
    p1, p2 : numpy.ndarray of float64
        Two-sided p-value of r1 and of r2 against 0 (t distribution, n - 2 degrees of freedom).
    pair_class : numpy.ndarray of str
        The ``class`` column: sign pattern of the two correlations at ``class_alpha``,
        e.g. "+/0" (positive in group 1, not significant in group 2).
    z_diff : numpy.ndarray of float32
        atanh(r1) - atanh(r2), each correlation clamped to [-0.99, 0.99] first;
        positive when the pair is more strongly correlated in group 1.
    p_value, q_value : numpy.ndarray
        Normal-approximation p-value of `z_diff` and its Benjamini-Hochberg q-value.
    perm_p, perm_q : numpy.ndarray of float64
        Permutation p-value ``(b + 1) / (permutations + 1)``, b the number of passes at
        least as extreme, and its q-value; NaN when no permutations were run.
    n1, n2 : int
        Group sizes.
    group1, group2 : str
        Labels of the two groups.
    """

    columns = _PairColumns()  # type: ignore[assignment]
    _text_columns = ("row1", "row2", "class", "p_how")
    _int_columns = ("n1", "n2", "n_passes") + NONZERO_COLUMNS
    _noun = "pairs"
    _entries = (
        "index1",
        "index2",
        "r1",
        "r2",
        "z_diff",
        "p_value",
        "perm_p",
        "p1",
        "p2",
        "class_code",
        "q_value",
        "perm_q",
        "p_robust",
        "q_robust",
        "how_code",
        "n_passes",
    )
    #: Non-zero samples of each row of `names` in group 1 and group 2 (int32, n x 2), where
    #: the run counted them (the NONZERO_COLUMNS are looked up in it).
    row_nonzero: Optional[np.ndarray] = None

    def __init__(
        self,
        names: np.ndarray,
        index1: np.ndarray,
        index2: np.ndarray,
        r1: np.ndarray,
        r2: np.ndarray,
        z_diff: np.ndarray,
        p_value: np.ndarray,
        perm_p: np.ndarray,
        n1: int,
        n2: int,
        method: str,
        alternative: str,
        permutations: int,
        *,
        group1: str = "group 1",
        group2: str = "group 2",
        class_alpha: float = 0.05,
        p1: Optional[np.ndarray] = None,
        p2: Optional[np.ndarray] = None,
        class_code: Optional[np.ndarray] = None,
        q_value: Optional[np.ndarray] = None,
        perm_q: Optional[np.ndarray] = None,
    ):
        self.names = names
        self.index1, self.index2 = index1, index2
        self.r1, self.r2, self.z_diff, self.p_value, self.perm_p = r1, r2, z_diff, p_value, perm_p
        self.class_alpha = class_alpha
        self.n1, self.n2 = n1, n2
        self.method, self.alternative, self.permutations = method, alternative, permutations
        self.group1, self.group2 = group1, group2
        self._q_of = _QValues(p_value)
        self._perm_q_of = _QValues(perm_p)
        # Columns given are kept; the others are made on first use.
        made = {"p1": p1, "p2": p2, "class_code": class_code, "q_value": q_value, "perm_q": perm_q}
        self.__dict__.update((k, v) for k, v in made.items() if v is not None)

    @functools.cached_property
    def p1(self) -> np.ndarray:
        return correlation_pvalues(self.r1, self.n1)

    @functools.cached_property
    def p2(self) -> np.ndarray:
        return correlation_pvalues(self.r2, self.n2)

    @functools.cached_property
    def class_code(self) -> np.ndarray:
        return correlation_classes(self.r1, self.p1, self.r2, self.p2, self.class_alpha)

    @functools.cached_property
    def q_value(self) -> np.ndarray:
        return self._q_of(self.p_value)

    @functools.cached_property
    def perm_q(self) -> np.ndarray:
        return self._perm_q_of(self.perm_p)

    def set_robust(
        self, p_robust: np.ndarray, q_robust: np.ndarray, how_code: np.ndarray, n_passes: np.ndarray
    ) -> None:
        """Attach the robust significance columns (one entry per pair, in result order)."""
        self.p_robust, self.q_robust = p_robust, q_robust
        self.how_code, self.n_passes = how_code, n_passes

    @property
    def p_how(self) -> np.ndarray:
        return robust.HOW_LABELS[self.how_code]

    def _nonzero(self, group: int, index: np.ndarray) -> np.ndarray:
        assert self.row_nonzero is not None
        return self.row_nonzero[index, group]

    @property
    def nonzero1_row1(self) -> np.ndarray:
        return self._nonzero(0, self.index1)

    @property
    def nonzero1_row2(self) -> np.ndarray:
        return self._nonzero(0, self.index2)

    @property
    def nonzero2_row1(self) -> np.ndarray:
        return self._nonzero(1, self.index1)

    @property
    def nonzero2_row2(self) -> np.ndarray:
        return self._nonzero(1, self.index2)

    @property
    def row1(self) -> np.ndarray:
        return self.names[self.index1]

    @property
    def row2(self) -> np.ndarray:
        return self.names[self.index2]

    @property
    def pair_class(self) -> np.ndarray:
        return CLASS_LABELS[self.class_code]

    def __len__(self) -> int:
        return int(self.index1.shape[0])

    def metadata(self) -> Dict[str, Any]:
        meta = super().metadata()
        meta["class_alpha"] = self.class_alpha
        return meta

    def order(self) -> np.ndarray:
        """Most significant first: by p_robust where the table has it, else by p_value; ties
        by |z_diff| descending."""
        p_robust = self.made("p_robust")
        return pair_order(self.p_value if p_robust is None else p_robust, self.z_diff)

    def to_networkx(self, max_q: Optional[float] = 0.05) -> Any:
        """The pairs with q-value at most `max_q` as a networkx Graph, the pair statistics
        as edge attributes (see :mod:`corrshift.network`; needs networkx)."""
        from . import network

        return network.to_networkx(self, max_q)

    def write_graphml(self, path: PathArg, max_q: Optional[float] = 0.05) -> int:
        """Write the pairs with q-value at most `max_q` as GraphML (Cytoscape, Gephi); returns
        the number of edges (see :mod:`corrshift.network`)."""
        from . import network

        return network.write_graphml(self, path, max_q)

    def write_edge_list(self, path: PathArg, max_q: Optional[float] = 0.05) -> int:
        """Write the pairs with q-value at most `max_q` as a tab-separated edge list without
        comment lines; returns the number of edges (see :mod:`corrshift.network`)."""
        from . import network

        return network.write_edge_list(self, path, max_q)

    @classmethod
    def concatenate(cls, parts: Sequence["PairResult"], consume: bool = False) -> "PairResult":
        """The entries of `parts`, tables of one run, one after another as one table. Its
        q-values are those of the parts; ``p1``, ``p2`` and ``class`` are joined where every
        part holds them, and made on first use otherwise. With `consume` the parts, which
        are not used again, give up each column as it is joined, so that the join holds
        only one column twice."""
        first = parts[0]
        if len(parts) == 1:
            return first

        if consume:
            for p in parts:  # made first: they are made from columns that go
                getattr(p, "q_value"), getattr(p, "perm_q")
                del p._q_of, p._perm_q_of  # which they would hold on to

        def joined(name: str) -> np.ndarray:
            if consume:
                column = np.concatenate([p.__dict__.pop(name) for p in parts])
                _give_back_memory()
                return column
            return np.concatenate([getattr(p, name) for p in parts])

        made = {k: joined(k) for k in ("p1", "p2", "class_code") if all(p.made(k) is not None for p in parts)}
        robust = (
            [joined(k) for k in ("p_robust", "q_robust", "how_code", "n_passes")]
            if all(p.made("p_robust") is not None for p in parts)
            else None
        )
        whole = cls(
            first.names,
            joined("index1"),
            joined("index2"),
            joined("r1"),
            joined("r2"),
            joined("z_diff"),
            joined("p_value"),
            joined("perm_p"),
            first.n1,
            first.n2,
            first.method,
            first.alternative,
            first.permutations,
            group1=first.group1,
            group2=first.group2,
            class_alpha=first.class_alpha,
            q_value=joined("q_value"),
            perm_q=joined("perm_q"),
            **made,
        )
        if robust is not None:
            whole.set_robust(*robust)
        whole.row_nonzero = first.row_nonzero
        return whole


class _ScoreResult(_Result):
    """What row and set scores share: a score and its permutation p-value per entry."""

    _entries = ("index", "score", "perm_p", "perm_q")

    def __init__(
        self,
        names: np.ndarray,
        index: np.ndarray,
        score: np.ndarray,
        perm_p: np.ndarray,
        n1: int,
        n2: int,
        score_name: str,
        method: str,
        alternative: str,
        permutations: int,
        *,
        group1: str = "group 1",
        group2: str = "group 2",
        perm_q: Optional[np.ndarray] = None,
    ):
        self.names = names
        self.index = index
        self.score = score
        self.perm_p = perm_p
        self.n1, self.n2 = n1, n2
        self.score_name = score_name
        self.method, self.alternative, self.permutations = method, alternative, permutations
        self.group1, self.group2 = group1, group2
        self._perm_q_of = _QValues(perm_p)
        if perm_q is not None:
            self.__dict__["perm_q"] = perm_q

    @functools.cached_property
    def perm_q(self) -> np.ndarray:
        return self._perm_q_of(self.perm_p)

    def __len__(self) -> int:
        return int(self.index.shape[0])

    def _describe(self) -> str:
        return "score {!r}, {}".format(self.score_name, super()._describe())

    def metadata(self) -> Dict[str, Any]:
        meta = super().metadata()
        meta["score"] = self.score_name
        return meta

    def order(self) -> np.ndarray:
        return score_order(self.perm_p, self.score, self.alternative)


class RowResult(_ScoreResult):
    """Score of each row over its differential correlation with all other rows.

    Attributes hold one entry per row, in data order; the table views sort by ``perm_p``,
    ties by the score (highest first; lowest first for alternative "less").

    Attributes
    ----------
    row : numpy.ndarray of str
        Row names.
    index : numpy.ndarray of int32
        Row positions in the data.
    score : numpy.ndarray of float32
        The row's score over the `z_diff` of its pairs with every other row ("mean": mean of
        absolute values; "median": median, of absolute values for "two-sided").
    perm_p, perm_q : numpy.ndarray of float64
        Permutation p-value ``(b + 1) / (permutations + 1)`` of the score and its
        Benjamini-Hochberg q-value; NaN when no permutations were run.
    n1, n2 : int
        Group sizes.
    group1, group2 : str
        Labels of the two groups.
    """

    columns = ROW_COLUMNS
    _text_columns = ("row",)
    _noun = "rows"

    @property
    def row(self) -> np.ndarray:
        return self.names[self.index]


class SetResult(_ScoreResult):
    """Score of each set of pairs that share a hub row.

    Attributes hold one entry per set, in the order the sets were given; the table views
    sort by ``perm_p``, ties by the score (highest first; lowest first for "less").

    Attributes
    ----------
    hub : numpy.ndarray of str
        Name of each set's hub row.
    index : numpy.ndarray of int32
        Row position of each hub.
    size : numpy.ndarray of int32
        Number of partner rows (pairs) in each set.
    partners : list of numpy.ndarray of int32
        Row positions of each set's partners.
    score : numpy.ndarray of float32
        Set score over the `z_diff` of the hub's pairs with its partners.
    perm_p, perm_q : numpy.ndarray of float64
        Permutation p-value ``(b + 1) / (permutations + 1)`` and its Benjamini-Hochberg
        q-value; NaN when no permutations were run.
    n1, n2 : int
        Group sizes.
    group1, group2 : str
        Labels of the two groups.
    """

    columns = SET_COLUMNS
    _text_columns = ("hub",)
    _noun = "sets"
    _entries = _ScoreResult._entries + ("partners", "size")

    def __init__(
        self,
        names: np.ndarray,
        index: np.ndarray,
        partners: List[np.ndarray],
        score: np.ndarray,
        perm_p: np.ndarray,
        n1: int,
        n2: int,
        score_name: str,
        method: str,
        alternative: str,
        permutations: int,
        *,
        group1: str = "group 1",
        group2: str = "group 2",
        perm_q: Optional[np.ndarray] = None,
    ):
        super().__init__(
            names,
            index,
            score,
            perm_p,
            n1,
            n2,
            score_name,
            method,
            alternative,
            permutations,
            group1=group1,
            group2=group2,
            perm_q=perm_q,
        )
        self.partners = partners
        self.size = np.asarray([p.size for p in partners], dtype=np.int32)

    @property
    def hub(self) -> np.ndarray:
        return self.names[self.index]


class ModuleResult(_ScoreResult):
    """Score of each module (gene set) over all pairs of its genes.

    Attributes hold one entry per module, in the order the modules were given (modules
    with fewer than two genes in the data are left out and named in `skipped`); the
    table views sort by ``perm_p``, ties by the score (highest first; lowest first for
    "less").

    Attributes
    ----------
    module : numpy.ndarray of str
        Name of each module.
    index : numpy.ndarray of int32
        Position of each module among the modules scored.
    genes : list of numpy.ndarray of int32
        Row positions of each module's genes found in the data, ascending.
    n_genes, n_pairs : numpy.ndarray of int32
        Number of genes used and of their pairs, ``n_genes * (n_genes - 1) / 2``.
    missing : numpy.ndarray of int32
        Number of the module's genes that the data does not have (left out).
    score : numpy.ndarray of float32
        Module score over the `z_diff` of its pairs ("mean": mean of absolute values;
        "median": median, of absolute values for "two-sided").
    mean_r1, mean_r2 : numpy.ndarray of float32
        Mean correlation of the module's pairs within group 1 and within group 2 (pairs
        with a row constant within the group left out; NaN when none is left).
    skipped : list of str
        Modules left out because fewer than two of their genes are in the data.
    unknown : int
        Number of module genes, over all modules, that the data does not have.
    perm_p, perm_q, n1, n2, group1, group2
        As for :class:`SetResult`.
    """

    columns = MODULE_COLUMNS
    _text_columns = ("module",)
    _int_columns = ("n1", "n2", "n_genes", "n_pairs")
    _noun = "modules"
    _entries = _ScoreResult._entries + ("genes", "n_genes", "n_pairs", "missing", "mean_r1", "mean_r2")

    def __init__(
        self,
        module_names: Sequence[str],
        genes: List[np.ndarray],
        score: np.ndarray,
        perm_p: np.ndarray,
        mean_r1: np.ndarray,
        mean_r2: np.ndarray,
        n1: int,
        n2: int,
        score_name: str,
        method: str,
        alternative: str,
        permutations: int,
        *,
        names: Optional[np.ndarray] = None,
        missing: Optional[np.ndarray] = None,
        skipped: Sequence[str] = (),
        unknown: Optional[int] = None,
        group1: str = "group 1",
        group2: str = "group 2",
        perm_q: Optional[np.ndarray] = None,
        index: Optional[np.ndarray] = None,
    ):
        where = np.arange(len(genes), dtype=np.int32) if index is None else np.asarray(index, dtype=np.int32)
        super().__init__(
            np.asarray(module_names, dtype=object),
            where,
            score,
            perm_p,
            n1,
            n2,
            score_name,
            method,
            alternative,
            permutations,
            group1=group1,
            group2=group2,
            perm_q=perm_q,
        )
        self.row_names = names
        self.genes = genes
        self.n_genes = np.asarray([g.size for g in genes], dtype=np.int32)
        self.n_pairs = (self.n_genes.astype(np.int64) * (self.n_genes - 1) // 2).astype(np.int32)
        self.missing = np.zeros(len(genes), np.int32) if missing is None else np.asarray(missing, np.int32)
        self.mean_r1, self.mean_r2 = mean_r1, mean_r2
        self.skipped = list(skipped)
        self.unknown = int(self.missing.sum()) if unknown is None else int(unknown)

    @property
    def module(self) -> np.ndarray:
        return self.names[self.index]

    def gene_names(self, k: int) -> np.ndarray:
        """Names of the genes of entry `k` (row names of the data)."""
        genes = self.genes[k]
        return genes.astype(str) if self.row_names is None else self.row_names[genes]

    def metadata(self) -> Dict[str, Any]:
        meta = super().metadata()
        meta.update(skipped=list(self.skipped), unknown=self.unknown)
        return meta


__all__ = [
    "PairResult",
    "RowResult",
    "SetResult",
    "ModuleResult",
    "bh_qvalues",
    "exceedance_counts",
    "permutation_pvalues",
    "correlation_pvalues",
    "correlation_classes",
    "pair_order",
    "score_order",
    "describe_group",
    "PAIR_COLUMNS",
    "ROBUST_COLUMNS",
    "NONZERO_COLUMNS",
    "ROW_COLUMNS",
    "SET_COLUMNS",
    "MODULE_COLUMNS",
    "CLASS_LABELS",
]
