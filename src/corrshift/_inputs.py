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
#: What a pair test's headline significance is: the robust permutation p-values (with the
#: columns p_robust, q_robust, p_how, n_passes) or the normal approximation alone.
SIGNIFICANCE = ("robust", "normal")
SCORES = ("mean", "median")
#: Most permutation passes: the native exceedance counts are exact float32 integers up to 2**24.
MAX_PERMUTATIONS = 2**24


class InputError(ValueError):
    """An argument that the analysis cannot use; the message says which and how to fix it."""


def _quote_list(names: Sequence[Any], limit: int = 5) -> str:
    shown = ", ".join(repr(str(n)) for n in names[:limit])
    if len(names) > limit:
        shown += ", ... ({} in all)".format(len(names))
    return shown


class Matrix:
    """The data with its row and column names, not yet converted to float32.

    `values` is a dense NumPy array or a SciPy sparse matrix; with `transposed` it holds
    samples as rows and variables as columns (AnnData's cells x genes), and the matrix
    seen here is its transpose. `sheet` maps annotation names to one value per column
    (AnnData's ``obs``, the per-sample arrays of an ``.npz``), or is None. For AnnData,
    `source` names the matrix read (".raw", "X" or "layer 'name'", see :func:`anndata_matrix`)
    and `row_sheet` is the annotation of the rows (``var``), which tells a transposed object.
    """

    source: Optional[str] = None
    row_sheet: Any = None

    def __init__(
        self,
        values: Any,
        row_names: np.ndarray,
        column_names: Optional[np.ndarray],
        transposed: bool = False,
        sheet: Optional[Mapping[str, Any]] = None,
    ):
        self.values = values
        self.row_names = row_names
        self.column_names = column_names
        self.transposed = transposed
        self.sheet = sheet
        self._row_lookup: Optional[Dict[str, int]] = None
        self._column_lookup: Optional[Dict[str, int]] = None

    @property
    def nrows(self) -> int:
        return int(self.values.shape[1 if self.transposed else 0])

    @property
    def ncols(self) -> int:
        return int(self.values.shape[0 if self.transposed else 1])

    def block(self, rows: np.ndarray, columns: np.ndarray) -> np.ndarray:
        """The values at `rows` x `columns` as a dense float64 array; a sparse matrix is
        densified only there."""
        first, second = (columns, rows) if self.transposed else (rows, columns)
        values = self.values
        if _is_sparse(values):
            if getattr(values, "format", None) == "csc":
                part = values[:, second][first, :]
            else:
                part = values.tocsr()[first, :][:, second]
            dense = np.asarray(part.toarray(), dtype=np.float64)
        else:
            dense = np.asarray(values[np.ix_(first, second)], dtype=np.float64)
        return dense.T if self.transposed else dense

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


def _is_sparse(values: Any) -> bool:
    return hasattr(values, "tocsr") and hasattr(values, "toarray") and hasattr(values, "nnz")


def _index_array(array: Any, name: str, source: str) -> np.ndarray:
    array = np.asarray(array)
    if array.ndim != 1 or array.dtype.kind not in "iu":
        raise InputError(
            "{}: the sparse matrix's {} is not a one-dimensional integer array ({} of shape {}); the matrix "
            "is damaged".format(source, name, array.dtype, array.shape)
        )
    return array


def _check_range(values: np.ndarray, limit: int, what: str, source: str, shape: Tuple[int, int]) -> None:
    if values.size and (int(values.min()) < 0 or int(values.max()) >= limit):
        k = int(np.flatnonzero((values < 0) | (values >= limit))[0])
        raise InputError(
            "{}: the sparse matrix's {} {} at position {} lies outside 0 to {} in a {} x {} matrix; the "
            "matrix is damaged (rebuild it from its values)".format(
                source, what, int(values[k]), k, limit - 1, shape[0], shape[1]
            )
        )


def _check_compressed(values: Any, major: int, minor: int, data_ndim: int, names: Tuple[str, str], source: str) -> None:
    """indptr, indices and data of a CSR, CSC or BSR matrix: the arrays SciPy's indexing and
    conversion code reads without checking them."""
    shape = values.shape
    indptr = _index_array(values.indptr, "indptr", source)
    indices = _index_array(values.indices, "indices", source)
    data = np.asarray(values.data)
    if indptr.size != major + 1:
        raise InputError(
            "{}: the sparse matrix's indptr has {} entries, but a {} x {} matrix needs {} (one per {} and one "
            "more); the matrix is damaged".format(source, indptr.size, shape[0], shape[1], major + 1, names[0])
        )
    if indptr[0] != 0:
        raise InputError(
            "{}: the sparse matrix's indptr starts at {}, not 0; the matrix is damaged".format(source, indptr[0])
        )
    falls = np.flatnonzero(indptr[1:] < indptr[:-1])
    if falls.size:
        k = int(falls[0]) + 1
        raise InputError(
            "{}: the sparse matrix's indptr falls from {} to {} at entry {}; the matrix is damaged".format(
                source, int(indptr[k - 1]), int(indptr[k]), k
            )
        )
    end = int(indptr[-1])
    stored = data.shape[0] if data.ndim else 0
    if end > indices.size or end > stored or data.ndim != data_ndim:
        raise InputError(
            "{}: the sparse matrix's indptr ends at {}, but it holds {} indices and {} values; the matrix is "
            "damaged".format(source, end, indices.size, stored)
        )
    _check_range(indices[:end], minor, "{} index".format(names[1]), source, shape)


def check_sparse(values: Any, source: str) -> Any:
    """A SciPy sparse matrix whose index arrays fit its shape, or InputError naming `source`
    and what is wrong. SciPy's constructors do not check them fully and its indexing and
    conversion code trusts them, so a crafted or damaged matrix must be refused before any
    of its values is read. CSR and CSC matrices are returned as they are, other formats as
    CSR (converted after their own arrays are checked)."""
    shape = getattr(values, "shape", None)
    if not (
        isinstance(shape, tuple)
        and len(shape) == 2
        and all(isinstance(n, (int, np.integer)) and not isinstance(n, bool) and n >= 0 for n in shape)
    ):
        raise InputError("{}: a sparse matrix must be two-dimensional, got shape {!r}".format(source, shape))
    shape = (int(shape[0]), int(shape[1]))
    kind = getattr(values, "format", None)
    try:
        if kind == "csr":
            _check_compressed(values, shape[0], shape[1], 1, ("row", "column"), source)
        elif kind == "csc":
            _check_compressed(values, shape[1], shape[0], 1, ("column", "row"), source)
        elif kind == "bsr":
            r, c = (int(n) for n in values.blocksize)
            if r < 1 or c < 1 or shape[0] % r or shape[1] % c:
                raise InputError(
                    "{}: the sparse matrix's blocks {} do not tile its shape {}".format(source, (r, c), shape)
                )
            _check_compressed(values, shape[0] // r, shape[1] // c, 3, ("block row", "block column"), source)
            values = values.tocsr()
        elif kind == "coo":
            rows = _index_array(values.row, "row array", source)
            cols = _index_array(values.col, "column array", source)
            data = np.asarray(values.data)
            if not rows.size == cols.size == (data.shape[0] if data.ndim == 1 else -1):
                raise InputError(
                    "{}: the sparse matrix holds {} row indices, {} column indices and {} values; the matrix "
                    "is damaged".format(source, rows.size, cols.size, data.size)
                )
            _check_range(rows, shape[0], "row index", source, shape)
            _check_range(cols, shape[1], "column index", source, shape)
            values = values.tocsr()
        else:  # list, dictionary and diagonal formats: converted, then checked as CSR
            values = values.tocsr()
            if getattr(values, "format", None) != "csr":
                raise InputError("{}: a sparse matrix of format {!r} is not supported".format(source, kind))
            return check_sparse(values, source)
    except InputError:
        raise
    except (ValueError, TypeError, IndexError, OverflowError) as exc:  # SciPy's own checks while converting
        raise InputError("{}: the sparse matrix cannot be read ({})".format(source, exc)) from None
    return values


def _is_anndata(data: Any) -> bool:
    return all(hasattr(data, a) for a in ("obs", "var", "obs_names", "var_names", "X", "layers"))


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
        raise InputError(
            "{} has {} entries but data has {}; give one name for each".format(
                argname, names.shape[0] if names.ndim == 1 else names.size, count
            )
        )
    return names


def _check_kind(dtype: np.dtype, what: str) -> None:
    kind = dtype.kind
    if kind not in "iuf":
        name = {"b": "booleans", "c": "complex numbers", "O": "Python objects", "U": "strings", "S": "bytes"}.get(
            kind, str(dtype)
        )
        raise InputError(
            "{} must hold real numbers, got {}; convert it with numpy.asarray(data, dtype=float)".format(what, name)
        )


def _dense(data: Any) -> np.ndarray:
    """`data` as a NumPy array; a list of rows of different lengths is refused by name."""
    try:
        return np.asarray(data)
    except (ValueError, TypeError) as exc:
        if isinstance(data, (list, tuple)):
            lengths = [len(row) if hasattr(row, "__len__") else None for row in data]
            other = next((k for k, n in enumerate(lengths) if n != lengths[0]), None)
            if other is not None:
                raise InputError(
                    "data is a list of rows of different lengths (row 0 has {}, row {} has {}); every row needs "
                    "one value per sample".format(lengths[0], other, lengths[other])
                ) from None
        raise InputError("data cannot be read as a matrix ({})".format(" ".join(str(exc).split()))) from None


def _shape_text(values: Any) -> str:
    shape = getattr(values, "shape", None)
    return "{} cells x {} genes".format(*shape) if shape is not None and len(shape) == 2 else "no matrix"


def _layer_names(adata: Any) -> List[str]:
    """The names of an AnnData object's layers (anndata 0.13 also lists X, under None)."""
    return [str(k) for k in adata.layers.keys() if k is not None]


def holds(adata: Any) -> str:
    """What an AnnData object holds, for messages: X, .raw and the layers, with their shapes."""
    parts = ["X ({})".format(_shape_text(adata.X)) if adata.X is not None else "no X"]
    raw = getattr(adata, "raw", None)
    if raw is not None:
        parts.append(".raw ({})".format(_shape_text(raw.X)))
    layers = _layer_names(adata)
    parts.append("layers {}".format(_quote_list(layers, 10)) if layers else "no layers")
    return ", ".join(parts)


def anndata_matrix(adata: Any, layer: Optional[str] = None, use_raw: Optional[bool] = None) -> Tuple[Any, Any, str]:
    """The values, the gene annotation (``var``) and the source (".raw", "X" or "layer
    'name'") that an analysis of `adata` reads: scanpy's rule, ``.raw`` when it is present and
    no `layer` is given (``use_raw=None``), else the `layer`, else ``X``."""
    raw = getattr(adata, "raw", None)
    if use_raw is not None and not isinstance(use_raw, (bool, np.bool_)):
        raise InputError("use_raw must be True, False or None, got {!r}".format(use_raw))
    if use_raw is None:
        use_raw = raw is not None and layer is None
    if use_raw:
        if layer is not None:
            raise InputError("use_raw=True and layer={!r}: give one of them (the layer, or .raw)".format(layer))
        if raw is None:
            raise InputError(
                "use_raw=True: the AnnData object has no .raw; it holds {}; leave use_raw out to use X".format(
                    holds(adata)
                )
            )
        return raw.X, raw.var, ".raw"
    if layer is None:
        if adata.X is None:
            raise InputError(
                "data: the AnnData object has no X; it holds {}: name one with layer=...".format(holds(adata))
            )
        return adata.X, adata.var, "X"
    if not isinstance(layer, str) or layer not in adata.layers:
        raise InputError(
            "layer={!r}: the AnnData object has no such layer; its layers are {} (it holds {}{})".format(
                layer,
                _quote_list(_layer_names(adata), 10) or "none",
                holds(adata),
                "; use_raw=True reads .raw" if raw is not None else "",
            )
        )
    return adata.layers[layer], adata.var, "layer {!r}".format(layer)


def _from_anndata(adata: Any, layer: Optional[str], use_raw: Optional[bool] = None) -> Matrix:
    values, var, source = anndata_matrix(adata, layer, use_raw)
    if _is_sparse(values):
        values = check_sparse(values, "data ({})".format(source))
    elif not isinstance(values, np.ndarray):
        values = np.asarray(values)
    if values.ndim != 2:
        raise InputError("data: the AnnData matrix must be two-dimensional, got shape {}".format(values.shape))
    _check_kind(values.dtype, "data")
    # AnnData stores cells x genes: genes become the rows here, cells the columns (samples).
    matrix = Matrix(
        values,
        _names(var.index, values.shape[1], "data.var_names"),
        _names(adata.obs_names, values.shape[0], "data.obs_names"),
        transposed=True,
        sheet=adata.obs,
    )
    matrix.source, matrix.row_sheet = source, var
    return matrix


def as_matrix(
    data: Any,
    row_names: Optional[Iterable[Any]] = None,
    column_names: Optional[Iterable[Any]] = None,
    layer: Optional[str] = None,
    use_raw: Optional[bool] = None,
) -> Matrix:
    """Accept a 2-D NumPy array (or anything array-like), a SciPy sparse matrix, a pandas
    DataFrame, an AnnData object, or the path of a data file. Of AnnData, `layer` and
    `use_raw` choose the matrix as scanpy does (see :func:`anndata_matrix`)."""
    if isinstance(data, Matrix):
        return data
    path = None
    if isinstance(data, (str, os.PathLike)):
        from . import _io

        path = os.fspath(data)
        data = _io.load(path)
        if isinstance(data, Matrix):
            if layer is not None:
                raise InputError("layer={!r}: only AnnData (.h5ad) data has layers".format(layer))
            if use_raw:
                raise InputError("use_raw=True: only AnnData (.h5ad) data has .raw")
            return _named(data, row_names, column_names)
    if _is_anndata(data):
        if row_names is not None or column_names is not None:
            raise InputError(
                "row_names/column_names: an AnnData object brings its own names (var_names "
                "and obs_names); leave these arguments out"
            )
        if path is None:
            return _from_anndata(data, layer, use_raw)
        try:
            return _from_anndata(data, layer, use_raw)
        except InputError as err:
            raise InputError("{}: {}".format(path, str(err).replace("the AnnData object", "the file"))) from None
    if layer is not None:
        raise InputError("layer={!r}: only AnnData data has layers".format(layer))
    if use_raw:
        raise InputError("use_raw=True: only AnnData data has .raw")
    if _is_dataframe(data):
        if row_names is not None or column_names is not None:
            raise InputError(
                "row_names/column_names: a DataFrame brings its own names (its index and "
                "columns); leave these arguments out or rename the DataFrame"
            )
        from pandas.api.types import is_bool_dtype, is_numeric_dtype  # type: ignore[import]

        bad = [c for c, dt in data.dtypes.items() if not is_numeric_dtype(dt) or is_bool_dtype(dt)]
        if bad:
            raise InputError(
                "data: the DataFrame columns {} are not numeric; every column must be one "
                "sample (move label columns into the index, e.g. "
                "df.set_index({!r}))".format(_quote_list(bad), str(bad[0]))
            )
        if all(isinstance(dt, np.dtype) for dt in data.dtypes):
            values = data.to_numpy()
        else:  # nullable extension columns: their missing values become NaN
            values = data.to_numpy(dtype=np.float64, na_value=np.nan)
        nrows, ncols = values.shape
        return Matrix(values, _names(data.index, nrows, "data.index"), _names(data.columns, ncols, "data.columns"))

    values = check_sparse(data, "data") if _is_sparse(data) else _dense(data)
    if values.ndim != 2:
        raise InputError(
            "data must be two-dimensional (rows are variables, columns are samples), got an array of shape {}".format(
                values.shape
            )
        )
    _check_kind(values.dtype, "data")
    return _named(Matrix(values, np.empty(0, dtype=object), None), row_names, column_names)


def _named(matrix: Matrix, row_names: Optional[Iterable[Any]], column_names: Optional[Iterable[Any]]) -> Matrix:
    """The matrix with the given names, or numbered rows where it has none."""
    nrows, ncols = matrix.nrows, matrix.ncols
    if row_names is not None:
        matrix.row_names = _names(row_names, nrows, "row_names")
    elif matrix.row_names.shape[0] != nrows:
        matrix.row_names = np.asarray([str(i) for i in range(nrows)], dtype=object)
    if column_names is not None:
        matrix.column_names = _names(column_names, ncols, "column_names")
    matrix._row_lookup = matrix._column_lookup = None
    return matrix


class Groups(NamedTuple):
    """Column positions of the two groups in the data matrix, and their labels."""

    first: np.ndarray
    second: np.ndarray
    label1: str = "group 1"
    label2: str = "group 2"


_TRANSPOSE_HINT = (
    "data seems to hold samples as rows: corrshift needs variables (genes) as rows and "
    "samples as columns; pass data.T (an AnnData object is turned around by itself)"
)


def _as_index_list(
    spec: Any,
    size: int,
    kind: str,
    argname: str,
    lookup: Optional[Dict[str, int]],
    other: Optional[Tuple[int, Dict[str, int]]] = None,
) -> np.ndarray:
    """Positions from indices, names or a boolean mask over `size` rows or columns ("row" or
    "column" is `kind`). `other` (the size and name lookup of the other axis) lets an
    error say when the argument fits the other axis instead, i.e. the data is turned around."""
    if spec is None:
        raise InputError("{} is missing: give {} indices, names or a boolean mask".format(argname, kind))
    if isinstance(spec, (str, bytes)):
        raise InputError(
            "{} is a single string {!r}; give a list of {} names, e.g. [{!r}]{}".format(
                argname,
                spec,
                kind,
                spec,
                ", or pass groupby=... to pick samples by a label" if kind == "column" else "",
            )
        )
    if (isinstance(spec, np.ndarray) and spec.ndim == 0) or not (
        isinstance(spec, np.ndarray) or hasattr(spec, "__iter__")
    ):
        value = spec.item() if isinstance(spec, (np.ndarray, np.generic)) else spec
        whole = isinstance(value, (int, np.integer)) and not isinstance(value, (bool, np.bool_))
        raise InputError(
            "{} is a single value {!r}; give a list of {} positions or names{}, or a boolean mask{}".format(
                argname,
                value,
                kind,
                ", e.g. [{}]".format(int(value)) if whole else "",
                ", or pass groupby=... to pick samples by a label" if kind == "column" else "",
            )
        )
    if _is_series(spec) and lookup is not None and spec.dtype == bool:
        # A boolean Series indexed by names (e.g. sheet["condition"] == "A") is aligned by name.
        keys = [str(key) for key in spec.index]
        if all(key in lookup for key in keys):
            mask = np.zeros(size, dtype=bool)
            for key, flag in zip(keys, spec.to_numpy()):
                mask[lookup[key]] = bool(flag)
            return np.flatnonzero(mask).astype(np.int32)
    if isinstance(spec, np.ndarray):
        items = spec.tolist() if spec.ndim == 1 else list(spec)
    else:
        items = list(spec.tolist() if hasattr(spec, "tolist") else spec)
    if all(isinstance(v, (bool, np.bool_)) for v in items) and items:
        if len(items) != size:
            if other is not None and len(items) == other[0]:
                raise InputError(
                    "{} is a boolean mask of length {}, the number of rows, but data has {} columns; {}".format(
                        argname, len(items), size, _TRANSPOSE_HINT
                    )
                )
            raise InputError(
                "{} is a boolean mask of length {} but data has {} {}s; give one True/False per {}".format(
                    argname, len(items), size, kind, kind
                )
            )
        return np.flatnonzero(np.asarray(items, dtype=bool)).astype(np.int32)
    if all(isinstance(v, (int, np.integer)) and not isinstance(v, (bool, np.bool_)) for v in items):
        for k, v in enumerate(items):
            if not 0 <= v < size:
                raise InputError(
                    "{}[{}] = {} is not a {} of data (0 to {}); negative indices are not accepted".format(
                        argname, k, v, kind, size - 1
                    )
                )
        return np.asarray(items, dtype=np.int32).reshape(-1)
    if all(isinstance(v, str) for v in items):
        if lookup is None:
            raise InputError(
                "{} lists {} names but data has no {} names; pass {}_names=... or use {} indices".format(
                    argname, kind, kind, kind, kind
                )
            )
        unknown = [v for v in items if v not in lookup]
        if unknown:
            if other is not None and all(v in other[1] for v in unknown) and len(unknown) == len(items):
                raise InputError(
                    "{} names rows of data ({}), not columns; {}".format(
                        argname, _quote_list(unknown, 3), _TRANSPOSE_HINT
                    )
                )
            raise InputError(
                "{} names {} {}(s) that data does not have: {}".format(
                    argname, len(unknown), kind, _quote_list(unknown)
                )
            )
        twice = [v for v in items if lookup[v] < 0]
        if twice:
            raise InputError(
                "{}: the {} name {!r} occurs more than once in data; use {} indices instead".format(
                    argname, kind, twice[0], kind
                )
            )
        return np.asarray([lookup[v] for v in items], dtype=np.int32)
    raise InputError(
        "{} must be a list of {} indices, a list of {} names or a boolean mask, not a mix (first entries: {})".format(
            argname, kind, kind, _quote_list(items, 3)
        )
    )


def _is_series(value: Any) -> bool:
    return hasattr(value, "index") and hasattr(value, "dtype") and hasattr(value, "to_numpy")


def _sample_labels(matrix: Matrix, groupby: Any) -> Tuple[np.ndarray, str]:
    """One label per column (as text) from `groupby`, and a name for it in messages."""
    if isinstance(groupby, str):
        sheet = matrix.sheet
        if sheet is None:
            raise InputError(
                "groupby={!r} names a sample annotation, but data has none (an AnnData "
                "object's obs, or an .npz file with per-sample arrays); pass one label per "
                "sample instead, e.g. groupby=sheet['condition']".format(groupby)
            )
        keys = [str(k) for k in sheet.keys()]
        if groupby not in keys:
            rows = getattr(matrix.row_sheet, "columns", ())
            if groupby in [str(c) for c in rows]:
                raise InputError(
                    "groupby={!r} is a column of var, not of obs: the AnnData object seems to hold its cells "
                    "in var and its genes in obs (turned around); corrshift reads AnnData as cells x genes, "
                    "so pass adata.T".format(groupby)
                )
            raise InputError(
                "groupby={!r}: no such sample annotation; there are {}".format(
                    groupby, ", ".join(repr(k) for k in keys) or "none"
                )
            )
        labels = sheet[groupby]
        labels = labels.to_numpy() if hasattr(labels, "to_numpy") else np.asarray(labels)
        name = "groupby={!r}".format(groupby)
    else:
        name = "groupby"
        if _is_series(groupby) and matrix.column_names is not None:
            lookup = matrix.column_lookup()
            keys = [str(k) for k in groupby.index]
            if keys and all(k in lookup for k in keys):  # aligned by sample name
                aligned = np.full(matrix.ncols, None, dtype=object)
                for k, v in zip(keys, groupby.to_numpy().tolist()):
                    aligned[lookup[k]] = v
                return np.asarray(["" if v is None else str(v) for v in aligned.tolist()], dtype=object), name
            if keys and all(k in matrix.row_lookup() for k in keys):
                raise InputError("groupby is indexed by row names of data, not by samples; " + _TRANSPOSE_HINT)
        labels = groupby.to_numpy() if hasattr(groupby, "to_numpy") else np.asarray(groupby, dtype=object)
    if labels.ndim != 1 or labels.shape[0] != matrix.ncols:
        count = labels.shape[0] if labels.ndim == 1 else labels.size
        if labels.ndim == 1 and count == matrix.nrows:
            raise InputError(
                "{} has {} labels, one per row, but data has {} columns; {}".format(
                    name, count, matrix.ncols, _TRANSPOSE_HINT
                )
            )
        raise InputError(
            "{} has {} labels but data has {} columns (samples); give one label per sample".format(
                name, count, matrix.ncols
            )
        )
    return np.asarray([str(v) for v in labels.tolist()], dtype=object), name


def _level_members(labels: np.ndarray, spec: Any, argname: str, name: str) -> Tuple[np.ndarray, str]:
    """Columns whose label is the level `spec` (or one of a list of levels)."""
    levels = [spec] if isinstance(spec, (str, bytes)) or not hasattr(spec, "__iter__") else list(spec)
    if not levels:
        raise InputError("{} is empty: name a level of {}".format(argname, name))
    wanted = [str(v) for v in levels]
    present = sorted(set(labels.tolist()))
    missing = [v for v in wanted if v not in present]
    if missing:
        raise InputError(
            "{}: {} has no level {}; its levels are {}".format(
                argname, name, _quote_list(missing, 3), _quote_list(present, 10)
            )
        )
    return np.flatnonzero(np.isin(labels, wanted)).astype(np.int32), "+".join(wanted)


def groups(matrix: Matrix, group1: Any, group2: Any, allow_overlap: bool, groupby: Any = None) -> Groups:
    lookup = matrix.column_lookup() if matrix.column_names is not None else None
    label = matrix.column_label
    other = (matrix.nrows, matrix.row_lookup())
    labels = None
    if groupby is not None:
        labels, by_name = _sample_labels(matrix, groupby)
    resolved = []
    names = []
    for argname, spec in (("group1", group1), ("group2", group2)):
        if labels is not None:
            idx, level = _level_members(labels, spec, argname, by_name)
            names.append(level)
        else:
            idx = _as_index_list(spec, matrix.ncols, "column", argname, lookup, other)
            names.append(None)
        if idx.size == 0:
            raise InputError("{} is empty: give at least {} columns (samples)".format(argname, MIN_GROUP_SIZE))
        unique, counts = np.unique(idx, return_counts=True)
        if counts.max() > 1:
            raise InputError(
                "{} lists column {!r} more than once; list each sample once".format(
                    argname, label(int(unique[counts > 1][0]))
                )
            )
        if idx.size < MIN_GROUP_SIZE:
            raise InputError(
                "{} has {} column(s), but the test needs at least {} observations in each group".format(
                    argname, idx.size, MIN_GROUP_SIZE
                )
            )
        resolved.append(idx)
    shared = np.intersect1d(resolved[0], resolved[1])
    if shared.size and not allow_overlap:
        raise InputError(
            "group1 and group2 share {} column(s): {}; give each sample to one group, or "
            "pass allow_overlap=True to use shared samples in both".format(
                shared.size, _quote_list([label(int(c)) for c in shared])
            )
        )
    from .results import describe_group

    described = []
    for idx, level in zip(resolved, names):
        text = describe_group([label(int(c)) for c in idx[:4]], level)
        described.append(text if level is not None or matrix.column_names is not None else "columns " + text)
    return Groups(resolved[0], resolved[1], described[0], described[1])


def option(value: Any, choices: Sequence[str], argname: str) -> str:
    if not isinstance(value, str) or value not in choices:
        raise InputError("{} must be one of {}, got {!r}".format(argname, ", ".join(repr(c) for c in choices), value))
    return value


def permutation_count(value: Any) -> int:
    if isinstance(value, (bool, np.bool_)) or not isinstance(value, (int, np.integer)):
        raise InputError("permutations must be a whole number (0 or more), got {!r}".format(value))
    if not 0 <= value <= MAX_PERMUTATIONS:
        raise InputError(
            "permutations must be between 0 and {} (2**24, the most passes whose counts are "
            "kept exactly), got {}".format(MAX_PERMUTATIONS, value)
        )
    return int(value)


def usable_cores() -> int:
    try:
        return max(1, len(os.sched_getaffinity(0)))
    except (AttributeError, OSError):
        return max(1, os.cpu_count() or 1)


def job_count(value: Any) -> int:
    """Worker threads: None means every usable core; more than that is capped at it, since
    extra threads on the same cores only add overhead."""
    cores = usable_cores()
    if value is None:
        return cores
    if isinstance(value, (bool, np.bool_)) or not isinstance(value, (int, np.integer)) or value < 1:
        raise InputError(
            "n_jobs must be a positive whole number, or None for all usable cores ({}), got {!r}".format(cores, value)
        )
    return int(min(value, cores))


def exhaustive_rows(matrix: Matrix, what: str, max_rows: Optional[int] = MAX_EXHAUSTIVE_ROWS) -> None:
    """Refuse data that all-pairs work cannot use: fewer than 2 rows, more than `max_rows`
    (None: no limit; the engine cuts any row count into tiles), or repeated row names."""
    if matrix.nrows < 2:
        raise InputError("data has {} row(s); {} needs at least 2 rows".format(matrix.nrows, what))
    if max_rows is not None and matrix.nrows > max_rows:
        raise InputError(
            "data has {} rows, but {} over all pairs works for at most {} rows; select rows first{}".format(
                matrix.nrows, what, max_rows, " or pass pairs=..." if what == "the pair test" else ""
            )
        )
    names, counts = np.unique(matrix.row_names.astype(str), return_counts=True)
    if counts.max() > 1:
        twice = names[counts > 1].tolist()
        raise InputError(
            "data has {} row name(s) that occur more than once ({}); {} over all pairs needs "
            "unique row names to tell the pairs apart: make them unique (for AnnData: "
            "adata.var_names_make_unique()) or drop the duplicates".format(len(twice), _quote_list(twice), what)
        )


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
    if _is_dataframe(pairs):
        if pairs.shape[1] != 2:
            raise InputError(
                "pairs as a DataFrame must have two columns (the two rows of each pair), got {}".format(pairs.shape[1])
            )
        pairs = list(zip(pairs.iloc[:, 0].tolist(), pairs.iloc[:, 1].tolist()))
    if isinstance(pairs, np.ndarray):
        if pairs.ndim != 2 or pairs.shape[1] != 2:
            raise InputError("pairs as an array must have shape (number of pairs, 2), got {}".format(pairs.shape))
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
            raise InputError("pairs[{}] has {} entries; each pair names exactly 2 rows".format(k, len(members)))
        first.append(members[0])
        second.append(members[1])
    a = np.asarray([one_row(matrix, v, "pairs[{}]".format(k)) for k, v in enumerate(first)], np.int32)
    b = np.asarray([one_row(matrix, v, "pairs[{}]".format(k)) for k, v in enumerate(second)], np.int32)
    same = np.flatnonzero(a == b)
    if same.size:
        raise InputError(
            "pairs[{}] pairs row {!r} with itself; a pair needs two different rows".format(
                int(same[0]), matrix.row_names[a[same[0]]]
            )
        )
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
                raise InputError(
                    "sets[{}] is not a (hub, partners) pair; pass a dict that maps each hub "
                    "row to its partner rows".format(k)
                )
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
            raise InputError(
                "sets: row {!r} is the hub of two sets ({!r} and {!r}); merge their partners into one set".format(
                    matrix.row_names[hub], seen[hub], hub_spec
                )
            )
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
            raise InputError(
                "{} lists partner {!r} more than once".format(where, matrix.row_names[int(unique[counts > 1][0])])
            )
        hubs.append(hub)
        partners.append(idx)
    return hubs, partners


#: Values converted to float64 at a time while the data is prepared.
_CHUNK_VALUES = 1 << 22


def scale_rows(block: np.ndarray, how: str = "standardise") -> np.ndarray:
    """Rows of a float64 block centred ("centre") or centred and divided by their standard
    deviation ("standardise"), in float64; any other `how` returns the block unchanged.

    Neither changes a Pearson correlation or the order of a row's values, but both spare
    the single-precision moments their cancellation: a row far from zero (log intensities
    around 10, data plus a constant) keeps only a few digits in ``Sxx/m - mean^2``, and very
    large or very small values overflow or underflow float32 squares. Dividing by the
    largest magnitude first keeps even huge values finite.
    """
    if how not in ("centre", "standardise"):
        return block
    scale = np.max(np.abs(block), axis=1, keepdims=True)
    scale[~(scale > 0)] = 1.0
    x = block / scale
    x -= x.mean(axis=1, keepdims=True)
    if how == "centre":
        return x * scale
    sd = np.sqrt(np.mean(x * x, axis=1, keepdims=True))
    sd[~(sd > 0)] = 1.0
    x /= sd
    return x


def _read_rows(matrix: Matrix, grp: Groups, rows: np.ndarray, visit: Any) -> None:
    """Reads the groups' columns of `rows` in chunks, visit(start, chunk, block) with each
    chunk's float64 block; refuses missing or infinite values (after reading them all, to
    count them)."""
    columns = np.concatenate([grp.first, grp.second])
    step = max(1, _CHUNK_VALUES // max(1, columns.size))
    bad_count, first_bad = 0, None
    for start in range(0, rows.size, step):
        chunk = rows[start : start + step]
        block = matrix.block(chunk, columns)
        finite = np.isfinite(block)
        if not finite.all():
            bad_count += int((~finite).sum())
            if first_bad is None:
                bad_row, bad_col = np.argwhere(~finite)[0]
                first_bad = (int(chunk[bad_row]), int(columns[bad_col]))
        if first_bad is None:
            visit(start, chunk, block)
    if first_bad is not None:
        raise InputError(
            "data holds {} missing or non-finite value(s) in the samples of the two groups "
            "(the first at row {!r}, column {!r}); remove those rows or fill in the "
            "values".format(bad_count, matrix.row_names[first_bad[0]], matrix.column_label(first_bad[1]))
        )


#: How far (relative to itself) a value may lie from its float32 rounding and still be
#: taken as float32 data: a 9-digit decimal of a float32 value lies within 5e-9 of it,
#: while values with more digits lie up to 6e-8 away (most of them beyond this).
FLOAT32_DATA = 2.0**-27

#: A row's standard deviation within a group, relative to its largest magnitude there, at
#: or below which single precision cannot tell its values apart from rounding: about two
#: units in the last place (one step of float32 variation in a group of two or more).
RESOLVABLE_SPREAD = 2.0**-22


def fraction_or_count(value: Any, argname: str, fraction: bool) -> Optional[float]:
    """min_cells (a whole number, 0 or more) or min_fraction (0 to 1); None for no filter."""
    if value is None:
        return None
    if fraction:
        if (
            isinstance(value, (bool, np.bool_))
            or not isinstance(value, (int, float, np.integer, np.floating))
            or not 0 <= float(value) <= 1
        ):
            raise InputError("{} must be a fraction from 0 to 1, got {!r}".format(argname, value))
    elif isinstance(value, (bool, np.bool_)) or not isinstance(value, (int, np.integer)) or value < 0:
        raise InputError("{} must be a whole number (0 or more), got {!r}".format(argname, value))
    return float(value)


class Screened(NamedTuple):
    """The rows of a run that can be correlated in both groups: their values (the groups'
    columns side by side, float32), their positions among the rows given, and the rows
    left out (names by reason, in row order)."""

    data: np.ndarray
    kept: np.ndarray
    dropped: Dict[str, List[str]]
    #: Per row given (kept or not): its non-zero samples in group 1 and in group 2 (int32).
    nonzero: Optional[np.ndarray] = None


def screened_submatrix(
    matrix: Matrix,
    grp: Groups,
    row_subset: Optional[np.ndarray] = None,
    min_cells: Optional[float] = None,
    min_fraction: Optional[float] = None,
) -> Screened:
    """The rows in use and the two groups' columns side by side (group 1 as columns
    0 .. n1-1, group 2 after it) as C-contiguous float32, without the rows that cannot be
    correlated within a group, and without those non-zero in fewer than `min_cells`
    samples (or that fraction of the samples) of either group.

    Each row is scaled by a power of two (exact) so that its largest magnitude is near 1,
    unless float32 cannot hold its values exactly (then it is standardised over both groups
    in float64, see :func:`scale_rows`); the block functions standardise it within each
    group in double precision. A row is
    left out when it is constant within a group, or when its standard deviation there is
    at most RESOLVABLE_SPREAD times its largest magnitude there: such a spread is rounding
    noise in single precision, and its correlations would be artefacts.
    """
    rows = np.arange(matrix.nrows) if row_subset is None else np.asarray(row_subset)
    n1, n2 = grp.first.size, grp.second.size
    out = np.empty((rows.size, n1 + n2), dtype=np.float32)
    reasons = np.zeros(rows.size, dtype=np.int8)  # 0: kept, else the position of its text
    nonzero = np.zeros((rows.size, 2), dtype=np.int32)
    texts = [
        "",
        "constant within group1",
        "constant within group2",
        "varies too little within group1 to be told apart in single precision",
        "varies too little within group2 to be told apart in single precision",
    ]
    # (group, fewest non-zero values, text) of each filter asked for.
    expressed: List[Tuple[int, float, int]] = []
    for argname, limit in (("min_cells", min_cells), ("min_fraction", min_fraction)):
        if limit is None:
            continue
        for g, n in enumerate((n1, n2)):
            # A count is capped at the group's size: a group of 4 needs all 4 non-zero.
            need = min(limit, n) if argname == "min_cells" else limit * n
            expressed.append((g, need, len(texts)))
            texts.append(
                "non-zero in fewer than {:g} of the {} samples of group{} ({}={:g})".format(
                    need, n, g + 1, argname, limit
                )
            )

    def visit(start: int, chunk: np.ndarray, block: np.ndarray) -> None:
        top = np.max(np.abs(block), axis=1)
        _, exponent = np.frexp(np.where(top > 0, top, 1.0))
        scaled = np.ldexp(block, -exponent[:, None])
        values = scaled.astype(np.float32)
        # Rows that float32 does not hold (to within FLOAT32_DATA: float32 data written
        # out with 9 digits still counts as held) are standardised over both groups in
        # float64 first, which keeps as many of their digits as float32 can.
        inexact = np.flatnonzero((np.abs(values - scaled) > FLOAT32_DATA * np.abs(scaled)).any(axis=1))
        if inexact.size:
            values[inexact] = scale_rows(block[inexact]).astype(np.float32)
        out[start : start + chunk.size] = values
        why = reasons[start : start + chunk.size]
        parts = (values[:, :n1].astype(np.float64), values[:, n1:].astype(np.float64))
        # Counted in the values given: a row standardised above has no zeros left.
        counts = nonzero[start : start + chunk.size]
        counts[:, 0] = np.count_nonzero(block[:, :n1], axis=1)
        counts[:, 1] = np.count_nonzero(block[:, n1:], axis=1)
        for g, need, text in expressed:
            why[(why == 0) & (counts[:, g] < need)] = text
        for g, part in enumerate(parts):
            constant = part.min(axis=1) == part.max(axis=1)
            fuzzy = part.std(axis=1) <= RESOLVABLE_SPREAD * np.max(np.abs(part), axis=1)
            why[(why == 0) & constant] = 1 + g
            why[(why == 0) & fuzzy] = 3 + g

    _read_rows(matrix, grp, rows, visit)
    kept = np.flatnonzero(reasons == 0)
    dropped: Dict[str, List[str]] = {}
    for r in np.flatnonzero(reasons):
        dropped.setdefault(texts[reasons[r]], []).append(str(matrix.row_names[int(rows[r])]))
    data = out if kept.size == rows.size else np.ascontiguousarray(out[kept])
    return Screened(data, kept, dropped, nonzero)


def local_groups(n1: int, n2: int) -> Tuple[np.ndarray, np.ndarray]:
    """The two groups' columns in a submatrix: 0 .. n1-1 and n1 .. n1+n2-1."""
    return np.arange(n1, dtype=np.int32), np.arange(n1, n1 + n2, dtype=np.int32)


class Modules(NamedTuple):
    """Gene sets as rows of the data: the modules scored (each with at least two genes)
    and what was left out."""

    names: List[str]
    genes: List[np.ndarray]  # row positions, ascending, no repeats
    missing: List[int]  # genes of each scored module that data does not have
    skipped: List[str]  # modules with fewer than two genes in data
    unknown: int  # genes of all modules that data does not have
    #: GMT lines whose description (second field) is a gene of the data: (line, module, gene).
    described: Tuple[Tuple[int, str, str], ...] = ()


def _module_entries(modules: Any, descriptions: Optional[Dict[str, Tuple[int, str]]] = None) -> List[Tuple[str, Any]]:
    if isinstance(modules, (str, os.PathLike)):
        from ._io import read_gmt

        return list(read_gmt(os.fspath(modules), descriptions))
    if isinstance(modules, Mapping):
        return [(str(name), genes) for name, genes in modules.items()]
    if isinstance(modules, Iterable) and not isinstance(modules, bytes):
        return [("module_{}".format(k + 1), genes) for k, genes in enumerate(modules)]
    raise InputError(
        "modules must be a dict of module name -> genes, a list of gene sets or the path of a GMT file, got {}".format(
            type(modules).__name__
        )
    )


def module_list(matrix: Matrix, modules: Any) -> Modules:
    """The modules' genes as rows of the data. Gene names the data does not have are
    dropped and counted; row numbers must be rows of the data."""
    descriptions: Dict[str, Tuple[int, str]] = {}
    entries = _module_entries(modules, descriptions)
    if not entries:
        raise InputError("modules is empty: give at least one gene set")
    lookup = matrix.row_lookup()
    given = dict(entries)
    described = tuple(
        (line, name, text)
        for name, (line, text) in descriptions.items()
        if text in lookup and text not in set(str(g) for g in given[name])
    )
    names: List[str] = []
    genes: List[np.ndarray] = []
    missing_counts: List[int] = []
    skipped: List[str] = []
    unknown = 0
    seen = set()
    for name, given in entries:
        if name in seen:
            raise InputError("modules: the name {!r} names two gene sets; give each module its own name".format(name))
        seen.add(name)
        if isinstance(given, (str, bytes)) or not isinstance(given, Iterable):
            raise InputError("modules[{!r}] must be a list of gene names or row numbers, got {!r}".format(name, given))
        found: List[int] = []
        missing = 0
        for gene in given:
            if isinstance(gene, str):
                row = lookup.get(gene)
                if row is None:
                    missing += 1
                    continue
                if row < 0:
                    raise InputError(
                        "modules[{!r}]: the row name {!r} occurs more than once in data; use row "
                        "numbers instead".format(name, gene)
                    )
                found.append(row)
            elif isinstance(gene, (int, np.integer)) and not isinstance(gene, (bool, np.bool_)):
                if not 0 <= gene < matrix.nrows:
                    raise InputError(
                        "modules[{!r}]: {} is not a row of data (0 to {})".format(name, gene, matrix.nrows - 1)
                    )
                found.append(int(gene))
            else:
                raise InputError("modules[{!r}]: {!r} is neither a gene name nor a row number".format(name, gene))
        unknown += missing
        rows_found = np.unique(np.asarray(found, dtype=np.int32))
        if rows_found.size < 2:
            skipped.append(name)
            continue
        names.append(name)
        genes.append(rows_found.astype(np.int32))
        missing_counts.append(missing)
    if not names:
        raise InputError(
            "modules: no module has two or more genes in data ({} gene names not found); check that "
            "the gene names match the data's row names".format(unknown)
        )
    return Modules(names, genes, missing_counts, skipped, unknown, described)
