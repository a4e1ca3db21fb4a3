"""Checks and conversions between what a user passes and what the native calls take.

Everything here raises :class:`InputError` with a message that names the argument and
says how to fix it, so the native functions only ever see well-formed input.
"""
import os
from typing import Any, Dict, Iterable, List, Mapping, NamedTuple, Optional, Sequence, Tuple, Union

import numpy as np

#: Largest row count for which every pair of rows can be numbered in one native call.
MAX_EXHAUSTIVE_ROWS = 46341
#: Fewest observations per group: the standard error of the Fisher difference is
#: sqrt(1/(n1 - 3) + 1/(n2 - 3)).
MIN_GROUP_SIZE = 4
METHODS = ("pearson", "spearman")
ALTERNATIVES = ("two-sided", "greater", "less")
SCORES = ("mean", "median")
_INT32_MAX = 2 ** 31 - 1


class InputError(ValueError):
    """An argument that the analysis cannot use; the message says which and how to fix it."""


def _quote_list(names: Sequence[Any], limit: int = 5) -> str:
    shown = ", ".join(repr(str(n)) for n in names[:limit])
    if len(names) > limit:
        shown += ", ... ({} in all)".format(len(names))
    return shown


class Matrix:
    """The data matrix with its row and column names, not yet converted to float32."""

    def __init__(self, values: np.ndarray, row_names: np.ndarray, column_names: Optional[np.ndarray]):
        self.values = values
        self.row_names = row_names
        self.column_names = column_names
        self._row_lookup: Optional[Dict[str, int]] = None
        self._column_lookup: Optional[Dict[str, int]] = None

    @property
    def nrows(self) -> int:
        return int(self.values.shape[0])

    @property
    def ncols(self) -> int:
        return int(self.values.shape[1])

    def row_lookup(self) -> Dict[str, int]:
        if self._row_lookup is None:
            self._row_lookup = _lookup(self.row_names)
        return self._row_lookup

    def column_lookup(self) -> Dict[str, int]:
        if self._column_lookup is None:
            assert self.column_names is not None
            self._column_lookup = _lookup(self.column_names)
        return self._column_lookup

    def column_label(self, index: int) -> str:
        if self.column_names is None:
            return str(index)
        return str(self.column_names[index])


def _lookup(names: np.ndarray) -> Dict[str, int]:
    """Name -> position; a name that occurs more than once maps to -1."""
    table: Dict[str, int] = {}
    for i, name in enumerate(names.tolist()):
        table[name] = -1 if name in table else i
    return table


def _is_dataframe(data: Any) -> bool:
    return all(hasattr(data, a) for a in ("iloc", "columns", "index", "dtypes"))


def _names(values: Any, count: int, argname: str) -> np.ndarray:
    names = np.asarray([str(v) for v in values], dtype=object)
    if names.ndim != 1 or names.shape[0] != count:
        raise InputError("{} has {} entries but data has {}; give one name for each".format(
            argname, names.shape[0] if names.ndim == 1 else names.size, count))
    return names


def as_matrix(data: Any, row_names: Optional[Iterable[Any]] = None,
              column_names: Optional[Iterable[Any]] = None) -> Matrix:
    """Accept a 2-D NumPy array (or anything array-like) or a pandas DataFrame."""
    if _is_dataframe(data):
        if row_names is not None or column_names is not None:
            raise InputError("row_names/column_names: a DataFrame brings its own names (its index and "
                             "columns); leave these arguments out or rename the DataFrame")
        from pandas.api.types import is_bool_dtype, is_numeric_dtype  # type: ignore[import]

        bad = [c for c, dt in data.dtypes.items() if not is_numeric_dtype(dt) or is_bool_dtype(dt)]
        if bad:
            raise InputError("data: the DataFrame columns {} are not numeric; every column must be one "
                             "sample (move label columns into the index, e.g. "
                             "df.set_index({!r}))".format(_quote_list(bad), str(bad[0])))
        if all(isinstance(dt, np.dtype) for dt in data.dtypes):
            values = data.to_numpy()
        else:  # nullable extension columns: their missing values become NaN
            values = data.to_numpy(dtype=np.float64, na_value=np.nan)
        nrows, ncols = values.shape
        return Matrix(values, _names(data.index, nrows, "data.index"),
                      _names(data.columns, ncols, "data.columns"))

    values = np.asarray(data)
    if values.ndim != 2:
        raise InputError("data must be two-dimensional (rows are variables, columns are samples), "
                         "got an array of shape {}".format(values.shape))
    kind = values.dtype.kind
    if kind not in "iuf":
        what = {"b": "booleans", "c": "complex numbers", "O": "Python objects",
                "U": "strings", "S": "bytes"}.get(kind, str(values.dtype))
        raise InputError("data must hold real numbers, got {}; convert it with "
                         "numpy.asarray(data, dtype=float)".format(what))
    nrows, ncols = values.shape
    rows = (_names(row_names, nrows, "row_names") if row_names is not None
            else np.asarray([str(i) for i in range(nrows)], dtype=object))
    cols = _names(column_names, ncols, "column_names") if column_names is not None else None
    return Matrix(values, rows, cols)


class Groups(NamedTuple):
    """Column positions of the two groups in the data matrix."""

    first: np.ndarray
    second: np.ndarray


def _as_index_list(spec: Any, size: int, kind: str, argname: str,
                   lookup: Optional[Dict[str, int]]) -> np.ndarray:
    """Positions from indices, names or a boolean mask over `size` rows or columns ("row" or
    "column" is `kind`)."""
    if spec is None:
        raise InputError("{} is missing: give {} indices, names or a boolean mask".format(argname, kind))
    if isinstance(spec, (str, bytes)):
        raise InputError("{} is a single string {!r}; give a list of {} names, e.g. [{!r}]".format(
            argname, spec, kind, spec))
    if _is_series(spec) and lookup is not None and spec.dtype == bool:
        # A boolean Series indexed by names (e.g. sheet["condition"] == "A") is aligned by name.
        keys = [str(key) for key in spec.index]
        if all(key in lookup for key in keys):
            mask = np.zeros(size, dtype=bool)
            for key, flag in zip(keys, spec.to_numpy()):
                mask[lookup[key]] = bool(flag)
            return np.flatnonzero(mask).astype(np.int32)
    items = list(spec.tolist() if isinstance(spec, np.ndarray) else spec)
    if all(isinstance(v, (bool, np.bool_)) for v in items) and items:
        if len(items) != size:
            raise InputError("{} is a boolean mask of length {} but data has {} {}s; give one "
                             "True/False per {}".format(argname, len(items), size, kind, kind))
        return np.flatnonzero(np.asarray(items, dtype=bool)).astype(np.int32)
    if all(isinstance(v, (int, np.integer)) and not isinstance(v, (bool, np.bool_)) for v in items):
        for k, v in enumerate(items):
            if not 0 <= v < size:
                raise InputError("{}[{}] = {} is not a {} of data (0 to {}); negative indices are not "
                                 "accepted".format(argname, k, v, kind, size - 1))
        return np.asarray(items, dtype=np.int32).reshape(-1)
    if all(isinstance(v, str) for v in items):
        if lookup is None:
            raise InputError("{} lists {} names but data has no {} names; pass {}_names=... or use "
                             "{} indices".format(argname, kind, kind, kind, kind))
        unknown = [v for v in items if v not in lookup]
        if unknown:
            raise InputError("{} names {} {}(s) that data does not have: {}".format(
                argname, len(unknown), kind, _quote_list(unknown)))
        twice = [v for v in items if lookup[v] < 0]
        if twice:
            raise InputError("{}: the {} name {!r} occurs more than once in data; use {} indices "
                             "instead".format(argname, kind, twice[0], kind))
        return np.asarray([lookup[v] for v in items], dtype=np.int32)
    raise InputError("{} must be a list of {} indices, a list of {} names or a boolean mask, not a mix "
                     "(first entries: {})".format(argname, kind, kind, _quote_list(items, 3)))


def _is_series(value: Any) -> bool:
    return hasattr(value, "index") and hasattr(value, "dtype") and hasattr(value, "to_numpy")


def groups(matrix: Matrix, group1: Any, group2: Any, allow_overlap: bool) -> Groups:
    lookup = matrix.column_lookup() if matrix.column_names is not None else None
    label = matrix.column_label
    resolved = []
    for argname, spec in (("group1", group1), ("group2", group2)):
        idx = _as_index_list(spec, matrix.ncols, "column", argname, lookup)
        if idx.size == 0:
            raise InputError("{} is empty: give at least {} columns (samples)".format(
                argname, MIN_GROUP_SIZE))
        unique, counts = np.unique(idx, return_counts=True)
        if counts.max() > 1:
            raise InputError("{} lists column {!r} more than once; list each sample once".format(
                argname, label(int(unique[counts > 1][0]))))
        if idx.size < MIN_GROUP_SIZE:
            raise InputError("{} has {} column(s), but the test needs at least {} observations in each "
                             "group".format(argname, idx.size, MIN_GROUP_SIZE))
        resolved.append(idx)
    shared = np.intersect1d(resolved[0], resolved[1])
    if shared.size and not allow_overlap:
        raise InputError("group1 and group2 share {} column(s): {}; give each sample to one group, or "
                         "pass allow_overlap=True to use shared samples in both".format(
                             shared.size, _quote_list([label(int(c)) for c in shared])))
    return Groups(resolved[0], resolved[1])


def option(value: Any, choices: Sequence[str], argname: str) -> str:
    if not isinstance(value, str) or value not in choices:
        raise InputError("{} must be one of {}, got {!r}".format(
            argname, ", ".join(repr(c) for c in choices), value))
    return value


def permutation_count(value: Any) -> int:
    if isinstance(value, (bool, np.bool_)) or not isinstance(value, (int, np.integer)):
        raise InputError("permutations must be a whole number (0 or more), got {!r}".format(value))
    if not 0 <= value < _INT32_MAX:
        raise InputError("permutations must be between 0 and {}, got {}".format(_INT32_MAX - 1, value))
    return int(value)


def usable_cores() -> int:
    try:
        return max(1, len(os.sched_getaffinity(0)))
    except (AttributeError, OSError):
        return max(1, os.cpu_count() or 1)


def job_count(value: Any) -> int:
    if value is None:
        return usable_cores()
    if isinstance(value, (bool, np.bool_)) or not isinstance(value, (int, np.integer)) or value < 1:
        raise InputError("n_jobs must be a positive whole number, or None for all usable cores "
                         "({}), got {!r}".format(usable_cores(), value))
    return int(min(value, _INT32_MAX))


def exhaustive_rows(matrix: Matrix, what: str) -> None:
    if matrix.nrows < 2:
        raise InputError("data has {} row(s); {} needs at least 2 rows".format(matrix.nrows, what))
    if matrix.nrows > MAX_EXHAUSTIVE_ROWS:
        raise InputError("data has {} rows, but {} over all pairs works for at most {} rows; select "
                         "rows first{}".format(matrix.nrows, what, MAX_EXHAUSTIVE_ROWS,
                                               " or pass pairs=..." if what == "the pair test" else ""))


def rows(matrix: Matrix, spec: Any, argname: str) -> np.ndarray:
    """Row positions from row indices or row names."""
    lookup = matrix.row_lookup()
    return _as_index_list(spec, matrix.nrows, "row", argname, lookup)


def one_row(matrix: Matrix, value: Any, argname: str) -> int:
    if isinstance(value, (bool, np.bool_)) or not isinstance(value, (str, int, np.integer)):
        raise InputError("{}: {!r} is neither a row index nor a row name".format(argname, value))
    return int(rows(matrix, [value], argname)[0])


def pair_list(matrix: Matrix, pairs: Any) -> Tuple[np.ndarray, np.ndarray]:
    """Two row-position arrays from pairs of row indices or names."""
    if isinstance(pairs, np.ndarray):
        if pairs.ndim != 2 or pairs.shape[1] != 2:
            raise InputError("pairs as an array must have shape (number of pairs, 2), got {}".format(
                pairs.shape))
        items: List[Any] = pairs.tolist()
    else:
        if isinstance(pairs, (str, bytes)) or not isinstance(pairs, Iterable):
            raise InputError("pairs must be a list of (row, row) pairs, e.g. [('a', 'b'), ('a', 'c')]")
        items = list(pairs)
    if not items:
        raise InputError("pairs is empty: give at least one (row, row) pair, or pairs=None for all pairs")
    first: List[Any] = []
    second: List[Any] = []
    for k, pair in enumerate(items):
        if isinstance(pair, (str, bytes)) or not isinstance(pair, Iterable):
            raise InputError("pairs[{}] = {!r} is not a pair of rows; write it as (row, row)".format(k, pair))
        members = list(pair)
        if len(members) != 2:
            raise InputError("pairs[{}] has {} entries; each pair names exactly 2 rows".format(
                k, len(members)))
        first.append(members[0])
        second.append(members[1])
    a = np.asarray([one_row(matrix, v, "pairs[{}]".format(k)) for k, v in enumerate(first)], np.int32)
    b = np.asarray([one_row(matrix, v, "pairs[{}]".format(k)) for k, v in enumerate(second)], np.int32)
    same = np.flatnonzero(a == b)
    if same.size:
        raise InputError("pairs[{}] pairs row {!r} with itself; a pair needs two different rows".format(
            int(same[0]), matrix.row_names[a[same[0]]]))
    return a, b


SetsArgument = Union[Mapping[Any, Iterable[Any]], Iterable[Tuple[Any, Iterable[Any]]]]


def set_list(matrix: Matrix, sets: Any) -> Tuple[List[int], List[np.ndarray]]:
    """Hub rows and their partner rows, in the order the user gave them."""
    if isinstance(sets, Mapping):
        entries = list(sets.items())
    elif isinstance(sets, Iterable) and not isinstance(sets, (str, bytes)):
        entries = list(sets)
        for k, entry in enumerate(entries):
            if isinstance(entry, (str, bytes)) or not isinstance(entry, Sequence) or len(entry) != 2:
                raise InputError("sets[{}] is not a (hub, partners) pair; pass a dict that maps each hub "
                                 "row to its partner rows".format(k))
    else:
        raise InputError("sets must map each hub row to its partner rows, e.g. {'a': ['b', 'c']}")
    if not entries:
        raise InputError("sets is empty: give at least one hub row with its partner rows")
    hubs: List[int] = []
    partners: List[np.ndarray] = []
    seen: Dict[int, Any] = {}
    for hub_spec, partner_spec in entries:
        where = "sets[{!r}]".format(hub_spec)
        hub = one_row(matrix, hub_spec, "sets (hub {!r})".format(hub_spec))
        if hub in seen:
            raise InputError("sets: row {!r} is the hub of two sets ({!r} and {!r}); merge their partners "
                             "into one set".format(matrix.row_names[hub], seen[hub], hub_spec))
        seen[hub] = hub_spec
        if isinstance(partner_spec, (str, bytes, int, np.integer)):
            partner_spec = [partner_spec]
        idx = rows(matrix, partner_spec, where)
        if idx.size == 0:
            raise InputError("{} has no partner rows; give each hub at least one partner".format(where))
        if np.any(idx == hub):
            raise InputError("{} lists the hub row itself as a partner; remove it".format(where))
        unique, counts = np.unique(idx, return_counts=True)
        if counts.max() > 1:
            raise InputError("{} lists partner {!r} more than once".format(
                where, matrix.row_names[int(unique[counts > 1][0])]))
        hubs.append(hub)
        partners.append(idx)
    return hubs, partners


def submatrix(matrix: Matrix, grp: Groups, row_subset: Optional[np.ndarray] = None) -> np.ndarray:
    """The rows in use and the two groups' columns side by side, as C-contiguous float32.

    Group 1 becomes columns 0 .. n1-1 and group 2 columns n1 .. n1+n2-1, so that every
    permutation pass re-splits exactly these samples.
    """
    columns = np.concatenate([grp.first, grp.second])
    values = matrix.values if row_subset is None else matrix.values[row_subset]
    if (values.dtype == np.float32 and values.flags.c_contiguous and columns.size == values.shape[1]
            and np.array_equal(columns, np.arange(columns.size))):
        sub = values
    else:
        sub = np.ascontiguousarray(values[:, columns], dtype=np.float32)
    finite = np.isfinite(sub)
    if not finite.all():
        bad_row, bad_col = np.argwhere(~finite)[0]
        row = int(bad_row) if row_subset is None else int(row_subset[bad_row])
        raise InputError("data holds {} missing or non-finite value(s) in the samples of the two groups "
                         "(the first at row {!r}, column {!r}); remove those rows or fill in the "
                         "values".format(int((~finite).sum()), matrix.row_names[row],
                                         matrix.column_label(int(columns[bad_col]))))
    # Constant rows have no correlation; for scores they would distort every set they touch.
    n1 = grp.first.size
    for argname, part in (("group1", sub[:, :n1]), ("group2", sub[:, n1:])):
        constant = np.flatnonzero(part.min(axis=1) == part.max(axis=1))
        if constant.size:
            names = [matrix.row_names[int(c) if row_subset is None else int(row_subset[c])] for c in constant]
            raise InputError("data has {} row(s) that are constant within {} ({}); their correlation "
                             "there is undefined: remove them (keep rows that vary within both "
                             "groups)".format(constant.size, argname, _quote_list(names)))
    return sub


def local_groups(grp: Groups) -> Tuple[np.ndarray, np.ndarray]:
    n1, n2 = grp.first.size, grp.second.size
    return np.arange(n1, dtype=np.int32), np.arange(n1, n1 + n2, dtype=np.int32)
