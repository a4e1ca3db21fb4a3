"""Parquet files of result tables: one file per tile of a run, written whole or not at all.

Row names are dictionary-encoded: each text column stores the names of the rows it uses
once, and an int32 code per entry. The options of the run go into the schema metadata
under the key ``corrshift`` (a JSON object).
"""

import json
from typing import Any, Dict

import numpy as np

# pyarrow 26 and later load only beside NumPy 2, though they do not say so to pip.
EXTRA_MESSAGE = 'Parquet output needs pyarrow: pip install "corrshift[parquet]" (beside NumPy 1.x: "pyarrow<26")'


def require() -> Any:
    """The pyarrow modules, or an ImportError that names the extra to install."""
    try:
        import pyarrow  # type: ignore[import]
        import pyarrow.parquet  # type: ignore[import]  # noqa: F401
    except ImportError as exc:
        # A pyarrow that is installed but cannot load (e.g. built for another NumPy) says why.
        raise ImportError("{} ({})".format(EXTRA_MESSAGE, exc)) from None
    return pyarrow


def _names_column(pa: Any, names: np.ndarray, index: np.ndarray) -> Any:
    used, codes = np.unique(np.asarray(index, dtype=np.int64), return_inverse=True)
    dictionary = pa.array([str(n) for n in names[used]], type=pa.string())
    return pa.DictionaryArray.from_arrays(pa.array(codes.astype(np.int32), type=pa.int32()), dictionary)


# The position column behind each text column of the result classes.
_INDEX_OF = {"row1": "index1", "row2": "index2", "row": "index", "hub": "index"}


def table(result: Any, metadata: Dict[str, Any]) -> Any:
    """The result table as a pyarrow Table with the same columns, names dictionary-encoded."""
    pa = require()
    arrays = []
    for name in result.columns:
        if name in _INDEX_OF:
            arrays.append(_names_column(pa, result.names, getattr(result, _INDEX_OF[name])))
        elif name in result._text_columns:
            arrays.append(pa.array([str(v) for v in result.column(name)], type=pa.string()).dictionary_encode())
        else:
            arrays.append(pa.array(np.ascontiguousarray(result.column(name))))
    schema_meta = {b"corrshift": json.dumps(metadata, sort_keys=True).encode("utf-8")}
    return pa.Table.from_arrays(arrays, names=list(result.columns)).replace_schema_metadata(schema_meta)


def write(result: Any, path: str, metadata: Dict[str, Any]) -> None:
    """Write `result` to `path`; the file appears under its name only when complete, and is
    made new, never through a symbolic link (:func:`corrshift.engine.files.replace`)."""
    pa = require()
    from .engine import files

    data = table(result, metadata)
    files.replace(path, lambda fh: pa.parquet.write_table(data, fh, compression="zstd"))
