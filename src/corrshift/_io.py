"""Reading data files without pandas.

Matrices: TSV or CSV (optionally gzip-compressed) with a header of sample names and a
first column of row names, NumPy ``.npy``/``.npz`` files, or AnnData ``.h5ad`` files
(needs anndata). Sample sheets: the same text formats (first column sample names), an
``.npz`` of per-sample arrays, or an ``.h5ad`` file's ``obs``.
"""

import csv
import gzip
import io
import os
import re
from typing import IO, Any, Dict, Iterator, List, Optional, Tuple

import numpy as np

from ._inputs import InputError, Matrix

_HDF5_MAGIC = b"\x89HDF\r\n\x1a\n"

#: Text cells read as missing values.
MISSING = frozenset(["", "NA", "NaN", "nan", "NULL", "null", "N/A", "#N/A", "-"])
_ROW_KEYS = ("row_names", "rows", "probes", "genes")
_COLUMN_KEYS = ("column_names", "columns", "samples")
_DATA_KEYS = ("data", "expression", "values")


def _open_text(path: str) -> IO[str]:
    try:
        if path.endswith(".gz"):
            return io.TextIOWrapper(gzip.open(path, "rb"), encoding="utf-8-sig", newline="")
        return open(path, "r", encoding="utf-8-sig", newline="")
    except FileNotFoundError:
        raise InputError("{}: no such file".format(path)) from None
    except IsADirectoryError:
        raise InputError("{}: is a directory, not a file".format(path)) from None


def _delimiter(path: str) -> str:
    name = path[:-3] if path.endswith(".gz") else path
    return "," if name.lower().endswith(".csv") else "\t"


def _rows(path: str) -> Iterator[Tuple[int, List[str]]]:
    """Non-empty lines of a text table as (line number, fields)."""
    with _open_text(path) as handle:
        try:
            for number, fields in enumerate(csv.reader(handle, delimiter=_delimiter(path)), start=1):
                if fields and any(f.strip() for f in fields):
                    yield number, [f.strip() for f in fields]
        except (UnicodeDecodeError, gzip.BadGzipFile, EOFError, csv.Error) as err:
            raise InputError("{}: cannot be read as text ({})".format(path, err)) from None


def _is_numpy(path: str) -> bool:
    return path.endswith(".npy") or path.endswith(".npz")


def _check_npy_header(fh: IO[bytes], size: int, where: str) -> None:
    """Refuse an array (the .npy stream at `fh`, `size` bytes in all) of Python objects, or
    whose header promises more values than the stream holds or than memory can take, before
    anything is allocated for it."""
    from numpy.lib import format as npy

    try:
        version = npy.read_magic(fh)
        if version == (1, 0):
            shape, _, dtype = npy.read_array_header_1_0(fh)
        elif version == (2, 0):
            shape, _, dtype = npy.read_array_header_2_0(fh)
        else:
            shape, _, dtype = npy._read_array_header(fh, version)  # type: ignore[attr-defined]
    except (ValueError, OSError, EOFError, SyntaxError, TypeError) as err:
        raise InputError("{}: not a readable NumPy file ({})".format(where, " ".join(str(err).split()))) from None
    if dtype.hasobject:
        raise InputError(
            "{}: holds an array of Python objects, which corrshift does not load (it never unpickles data); "
            "save the values as numbers".format(where)
        )
    count = 1
    for n in shape:
        count *= int(n)
    need = count * dtype.itemsize
    held = size - fh.tell()
    if need > held:
        raise InputError(
            "{}: its header describes a {} array of shape {} ({:,} bytes), but the file holds {:,} bytes of "
            "values; the file is damaged or cut short".format(where, dtype, tuple(shape), need, max(held, 0))
        )
    from . import _memory

    have, limit = _memory.headroom()
    if need > have:
        raise InputError(
            "{}: its {} array of shape {} needs {} in memory, more than this process can take ({}: {})".format(
                where, dtype, tuple(shape), _memory.size_text(need), _memory.size_text(have), limit
            )
        )


def _check_numpy_file(path: str) -> None:
    """The header checks of :func:`_check_npy_header` for an .npy file or each array of an
    .npz archive, made before NumPy reads any of them."""
    import zipfile

    try:
        if zipfile.is_zipfile(path):
            with zipfile.ZipFile(path) as archive:
                for info in archive.infolist():
                    if info.filename.endswith(".npy"):
                        with archive.open(info) as member:
                            _check_npy_header(member, info.file_size, "{} ({})".format(path, info.filename[:-4]))
        else:
            with open(path, "rb") as fh:
                _check_npy_header(fh, os.fstat(fh.fileno()).st_size, path)
    except (zipfile.BadZipFile, zipfile.LargeZipFile, NotImplementedError) as err:
        raise InputError("{}: not a readable NumPy file ({})".format(path, err)) from None
    except FileNotFoundError:
        raise InputError("{}: no such file".format(path)) from None
    except OSError as err:
        raise InputError("{}: cannot be read ({})".format(path, err.strerror or err)) from None


def _load_numpy(path: str) -> Dict[str, np.ndarray]:
    _check_numpy_file(path)
    try:
        loaded = np.load(path, allow_pickle=False)
    except FileNotFoundError:
        raise InputError("{}: no such file".format(path)) from None
    except (ValueError, OSError) as err:
        raise InputError("{}: not a readable NumPy file ({})".format(path, err)) from None
    if isinstance(loaded, np.ndarray):
        return {"data": loaded}
    import zipfile

    try:
        with loaded:
            return {key: loaded[key] for key in loaded.files}
    except (ValueError, OSError, EOFError, zipfile.BadZipFile) as err:
        raise InputError("{}: not a readable NumPy file ({})".format(path, " ".join(str(err).split()))) from None


def _is_h5ad(path: str) -> bool:
    if path.lower().endswith(".h5ad"):
        return True
    try:
        with open(path, "rb") as handle:
            return handle.read(8) == _HDF5_MAGIC
    except OSError:
        return False


def load(path: str) -> Any:
    """A data file as a :class:`Matrix` (with its per-sample arrays as the sheet, for an
    ``.npz``), or an ``.h5ad`` file as an AnnData object."""
    if os.path.isdir(path):
        raise InputError("{}: is a directory, not a file".format(path))
    if not os.path.exists(path):
        raise InputError("{}: no such file".format(path))
    if _is_h5ad(path):
        return read_h5ad(path)
    values, rows, columns = read_matrix(path)
    sheet = None
    if _is_numpy(path) and path.endswith(".npz"):
        archive = _load_numpy(path)
        sheet = {k: v for k, v in archive.items() if v.ndim == 1 and v.shape[0] == values.shape[1]}
    return Matrix(values, rows, columns, sheet=sheet)


def read_h5ad(path: str) -> Any:
    try:
        import anndata  # type: ignore[import]
    except ImportError:
        raise InputError("{}: reading .h5ad files needs anndata (pip install anndata)".format(path)) from None
    try:
        return anndata.read_h5ad(path)
    except Exception as err:  # h5py and anndata raise many kinds
        newer = _newer_encoding(err)
        if newer is not None:
            raise InputError(_newer_anndata_message(path, *newer)) from None
        raise InputError("{}: not a readable .h5ad file ({})".format(path, err)) from None


def _newer_encoding(err: BaseException) -> Optional[Tuple[str, str, str]]:
    """(element, encoding type, encoding version) when `err` says that the installed anndata
    has no reader for an element's encoding, i.e. the file is from a newer anndata."""
    key = ""
    seen = 0
    while err is not None and seen < 20:
        text = "\n".join([str(err)] + [str(n) for n in getattr(err, "__notes__", ())])
        found = re.search(r"while reading key '([^']*)'(?: of .*? from (/\S*?)\.?$)?", text, re.M)
        if found and not key:
            key = found.group(1)
            if not key.startswith("/"):
                key = (found.group(2) or "/").rstrip("/") + "/" + key
        found = re.search(
            r"No read method registered for \w+\(encoding_type='([^']*)', "
            r"encoding_version='([^']*)'\)",
            text,
        )
        if found:
            return key, found.group(1), found.group(2)
        err = err.__cause__ or err.__context__  # type: ignore[assignment]
        seen += 1
    return None


def _installed_version(name: str) -> str:
    try:
        from importlib.metadata import version

        return version(name)
    except Exception:  # not installed as a distribution
        return "?"


def _newer_anndata_message(path: str, key: str, encoding: str, version: str) -> str:
    installed = _installed_version("anndata")
    where = " its element {}".format(key) if key else " an element"
    hint = ""
    if encoding == "nullable-string-array":
        hint = (
            "; or have the newer anndata write it without that encoding: anndata.settings."
            "allow_write_nullable_strings = False before write_h5ad"
        )
    return (
        "{}: the file was written by a newer anndata than the anndata {} installed here:{} is stored as "
        "{!r} (encoding version {}), which anndata {} cannot read. Read it with a newer anndata (pip "
        "install --upgrade anndata; newer releases need a newer Python){}".format(
            path, installed, where, encoding, version, installed, hint
        )
    )


def read_matrix(path: str) -> Tuple[np.ndarray, np.ndarray, np.ndarray]:
    """Values, row names and column names of a text or NumPy data file."""
    if _is_numpy(path):
        return _matrix_from_numpy(path, _load_numpy(path))
    lines = _rows(path)
    try:
        _, header = next(lines)
    except StopIteration:
        raise InputError("{}: the file is empty".format(path)) from None
    names: List[str] = []
    values: List[np.ndarray] = []
    ncols = None
    for number, fields in lines:
        if ncols is None:
            ncols = len(fields) - 1
            if ncols < 1:
                raise InputError("{} line {}: a row needs a name and at least one value".format(path, number))
            if len(header) == ncols + 1:
                header = header[1:]  # the first header cell labels the row names
            elif len(header) != ncols:
                raise InputError(
                    "{}: the header has {} fields but line {} has {} values; the header lists the sample names".format(
                        path, len(header), number, ncols
                    )
                )
        if len(fields) != ncols + 1:
            raise InputError(
                "{} line {}: {} fields, expected {} (a row name and {} values)".format(
                    path, number, len(fields), ncols + 1, ncols
                )
            )
        row = np.empty(ncols, dtype=np.float64)
        for k, cell in enumerate(fields[1:]):
            if cell in MISSING:
                row[k] = np.nan
                continue
            try:
                row[k] = float(cell)
            except ValueError:
                raise InputError(
                    "{} line {}, column {!r}: {!r} is not a number".format(path, number, header[k], cell)
                ) from None
        names.append(fields[0])
        values.append(row)
    if not values:
        raise InputError("{}: no data rows below the header".format(path))
    seen: Dict[str, int] = {}
    for k, name in enumerate(header):
        if name in seen:
            # Groups and sample sheets refer to samples by name: a repeated one is ambiguous.
            raise InputError(
                "{}: the header names sample {!r} twice (columns {} and {}); give each sample a name of its own".format(
                    path, name, seen[name] + 2, k + 2
                )
            )
        seen[name] = k
    return np.vstack(values), np.asarray(names, dtype=object), np.asarray(header, dtype=object)


def _first_key(archive: Dict[str, np.ndarray], keys: Tuple[str, ...], length: int) -> Optional[np.ndarray]:
    for key in keys:
        if key in archive and archive[key].ndim == 1 and archive[key].shape[0] == length:
            return np.asarray([str(v) for v in archive[key].tolist()], dtype=object)
    return None


def _matrix_from_numpy(path: str, archive: Dict[str, np.ndarray]) -> Tuple[np.ndarray, np.ndarray, np.ndarray]:
    candidates = [k for k in _DATA_KEYS if k in archive and archive[k].ndim == 2]
    if len(archive) == 1 and not candidates:
        only = next(iter(archive.values()))
        raise InputError(
            "{}: holds a {}-dimensional array of shape {}; the data must be a two-dimensional "
            "matrix (rows are variables, columns are samples)".format(path, only.ndim, only.shape)
        )
    if not candidates:
        candidates = [k for k, v in archive.items() if v.ndim == 2]
        if len(candidates) != 1:
            raise InputError(
                "{}: expected one two-dimensional array (or one named {}), found {}".format(
                    path, " or ".join(repr(k) for k in _DATA_KEYS), len(candidates)
                )
            )
    values = archive[candidates[0]]
    nrows, ncols = values.shape
    rows = _first_key(archive, _ROW_KEYS, nrows)
    cols = _first_key(archive, _COLUMN_KEYS, ncols)
    if rows is None:
        rows = np.asarray([str(i) for i in range(nrows)], dtype=object)
    if cols is None:
        cols = np.asarray([str(i) for i in range(ncols)], dtype=object)
    return values, rows, cols


def read_sheet_column(path: str, column: str, samples: np.ndarray, option: str = "--by") -> Tuple[List[str], List[str]]:
    """(sample names, values) of one column of a sample sheet.

    For an ``.npz`` sheet, `column` names a per-sample array; its sample names come from a
    ``samples``/``columns`` array, or it is read in the order of the data's columns.
    """
    if _is_h5ad(path):
        obs = read_h5ad(path).obs
        if column not in obs.columns:
            raise InputError(
                "{} {!r}: the obs of {} has no such column; it has {}".format(
                    option, column, path, ", ".join(repr(str(c)) for c in obs.columns) or "none"
                )
            )
        return [str(n) for n in obs.index], [str(v) for v in obs[column].tolist()]
    if _is_numpy(path):
        archive = _load_numpy(path)
        per_sample = sorted(k for k, v in archive.items() if v.ndim == 1)
        if column not in archive or archive[column].ndim != 1:
            raise InputError(
                "{} {!r}: {} has no such per-sample array; it has {}".format(
                    option, column, path, ", ".join(per_sample)
                )
            )
        values = [str(v) for v in archive[column].tolist()]
        names = _first_key(archive, _COLUMN_KEYS, len(values))
        if names is None:
            if len(values) != samples.shape[0]:
                raise InputError(
                    "{} {!r}: {} holds {} values but the data has {} samples".format(
                        option, column, path, len(values), samples.shape[0]
                    )
                )
            names = samples
        return [str(n) for n in names], values
    lines = _rows(path)
    try:
        _, header = next(lines)
    except StopIteration:
        raise InputError("{}: the sample sheet is empty".format(path)) from None
    if column not in header[1:]:
        raise InputError(
            "{} {!r}: the sample sheet {} has no such column; its columns are {}".format(
                option, column, path, ", ".join(repr(h) for h in header[1:])
            )
        )
    where = header.index(column, 1)
    sheet_names: List[str] = []
    sheet_values: List[str] = []
    for number, fields in lines:
        if len(fields) <= where:
            raise InputError("{} line {}: no value in column {!r}".format(path, number, column))
        sheet_names.append(fields[0])
        sheet_values.append(fields[where])
    return sheet_names, sheet_values


def read_name_list(value: str) -> List[str]:
    """Names from a file (one per line, or separated by tabs or commas) or a comma list."""
    import os

    if os.path.isfile(value):
        names: List[str] = []
        with _open_text(value) as handle:
            for line in handle:
                line = line.split("#", 1)[0].strip()
                if line:
                    names.extend(split_fields(line))
        return names
    return [v.strip() for v in value.split(",") if v.strip()]


def split_fields(line: str) -> List[str]:
    for separator in ("\t", ","):
        if separator in line:
            return [f.strip() for f in line.split(separator) if f.strip()]
    return line.split()


def read_row_lines(path: str) -> List[Tuple[int, List[str]]]:
    """Lines of a pairs or sets file as (line number, fields); '#' starts a comment."""
    out = []
    with _open_text(path) as handle:
        for number, line in enumerate(handle, start=1):
            line = line.split("#", 1)[0].strip()
            if line:
                out.append((number, split_fields(line)))
    if not out:
        raise InputError("{}: the file lists nothing".format(path))
    return out


def read_gmt(path: str, descriptions: Optional[Dict[str, Tuple[int, str]]] = None) -> List[Tuple[str, List[str]]]:
    """Gene sets of a GMT file: one set a line, tab-separated, its name, a description
    (not used) and its genes. Blank lines and lines starting with '#' are skipped. The
    second field is always the description, as the format says; `descriptions`, when
    given, receives each set's (line number, description), so that a caller can say when a
    description is a gene (a line written without one)."""
    sets: List[Tuple[str, List[str]]] = []
    with _open_text(path) as handle:
        try:
            for number, line in enumerate(handle, start=1):
                if not line.strip() or line.startswith("#"):
                    continue
                fields = line.rstrip("\r\n").split("\t")
                name = fields[0].strip()
                if not name or len(fields) < 2:
                    raise InputError(
                        "{} line {}: a GMT line is a set name, a description and the set's "
                        "genes, separated by tabs".format(path, number)
                    )
                sets.append((name, [g.strip() for g in fields[2:] if g.strip()]))
                if descriptions is not None:
                    descriptions[name] = (number, fields[1].strip())
        except (UnicodeDecodeError, gzip.BadGzipFile, EOFError) as err:
            raise InputError("{}: cannot be read as text ({})".format(path, err)) from None
    if not sets:
        raise InputError("{}: the file lists no gene sets".format(path))
    return sets
