"""One comparison per level of a sample annotation (e.g. per cell type).

The samples of each level with enough members in both groups make a data set of their
own, which the API function analyses as if it were given alone: the same checks, the same
engine run (here or on Dask, into a Parquet folder of its own with ``out``), the same
table. Every level is checked before the first one is computed, so that an unusable level
stops the run before any work. Levels with too few samples in a group are left out and
listed.
"""

import os
import re
from typing import Any, Callable, Dict, List, NamedTuple, Optional, Sequence, Tuple

import numpy as np

from . import engine
from ._inputs import MIN_GROUP_SIZE, InputError, Matrix, _is_sparse, _quote_list


class Level(NamedTuple):
    """A level of the annotation: its name, its samples (column positions of the data) and
    how many of them are in group 1 and in group 2."""

    name: str
    columns: np.ndarray
    n1: int
    n2: int


def group_size_limit(value: Any) -> int:
    if isinstance(value, (bool, np.bool_)) or not isinstance(value, (int, np.integer)) or value < MIN_GROUP_SIZE:
        raise InputError(
            "min_group_size must be a whole number of at least {} (the fewest samples a group "
            "may have), got {!r}".format(MIN_GROUP_SIZE, value)
        )
    return int(value)


def level_order(labels: np.ndarray, categories: Optional[Sequence[Any]] = None) -> List[str]:
    """The distinct labels ("" marks a missing one and is left out): in the order of
    `categories` when given, numerically when every label is a number, else sorted."""
    present = set(labels.tolist()) - {""}
    if categories is not None:
        ordered = [str(c) for c in categories]
        return [c for c in ordered if c in present] + sorted(present - set(ordered))
    try:
        return sorted(present, key=float)
    except ValueError:
        return sorted(present)


def split_levels(
    labels: np.ndarray, first: np.ndarray, second: np.ndarray, min_group_size: int, order: Sequence[str]
) -> Tuple[List[Level], List[Level]]:
    """The levels of `labels` (one per sample) in `order` with at least `min_group_size`
    samples of group 1 (mask `first`) and of group 2 (mask `second`), and those left out."""
    kept: List[Level] = []
    skipped: List[Level] = []
    for name in order:
        members = labels == name
        n1, n2 = int(np.count_nonzero(members & first)), int(np.count_nonzero(members & second))
        level = Level(name, np.flatnonzero(members & (first | second)), n1, n2)
        (kept if min(n1, n2) >= min_group_size else skipped).append(level)
    return kept, skipped


def describe_skipped(skipped: Sequence[Level], column: str, min_group_size: int, limit: int = 10) -> str:
    shown = ["{!r} ({} + {})".format(s.name, s.n1, s.n2) for s in skipped[:limit]]
    more = ", ... ({} in all)".format(len(skipped)) if len(skipped) > limit else ""
    return (
        "{} level{} of {!r} with fewer than {} samples in a group left out (samples in group 1 + group 2): {}{}".format(
            len(skipped), "" if len(skipped) == 1 else "s", column, min_group_size, ", ".join(shown), more
        )
    )


def no_level_error(skipped: Sequence[Level], column: str, min_group_size: int) -> InputError:
    return InputError(
        "within={!r}: no level has at least {} samples in both groups; {}".format(
            column,
            min_group_size,
            describe_skipped(skipped, column, min_group_size) if skipped else "the annotation has no levels",
        )
    )


def columns_of(matrix: Matrix, columns: np.ndarray) -> Matrix:
    """The data of these columns (samples) only, with their names."""
    values = matrix.values
    if matrix.transposed:
        part = values[columns] if _is_sparse(values) else np.asarray(values)[columns, :]
    else:
        part = values[:, columns]
    names = None if matrix.column_names is None else matrix.column_names[columns]
    level = Matrix(part, matrix.row_names, names, transposed=matrix.transposed)
    level.source, level.row_sheet = matrix.source, matrix.row_sheet
    return level


def folder_names(levels: Sequence[str]) -> List[str]:
    """A distinct file-name-safe folder name for each level."""
    names: List[str] = []
    taken = set()
    for k, level in enumerate(levels):
        name = re.sub(r"[^A-Za-z0-9._+-]+", "_", level).strip("._") or "level"
        if name.lower() in taken:
            name = "{}_{}".format(name, k + 1)
        taken.add(name.lower())
        names.append(name)
    return names


#: The groups of one level as the API function takes them: group1, group2 and any
#: further keyword arguments (e.g. the level's groupby labels).
GroupArgs = Callable[[Level], Tuple[Any, Any, Dict[str, Any]]]


def run_levels(
    function: Callable[..., Any],
    matrix: Matrix,
    levels: Sequence[Level],
    column: str,
    group_args: GroupArgs,
    options: Dict[str, Any],
    leading: Sequence[Any] = (),
) -> List[Any]:
    """`function` (an API function) on each level's samples, with `options`; with an ``out``
    option each level writes into a folder of its own inside it (see :func:`folder_names`).

    Every level is checked first (the engine makes all its checks, then stops); an
    unusable level raises :class:`InputError` naming it before any level is computed.
    """
    out = options.get("out")
    if out is not None and os.path.exists(out) and not os.path.isdir(out):
        raise InputError(
            "out: {!r} is a file; with within= it is a folder that holds one Parquet folder per level".format(
                os.fspath(out)
            )
        )
    folders = folder_names([level.name for level in levels]) if out is not None else []
    calls = []
    for k, level in enumerate(levels):
        group1, group2, extra = group_args(level)
        kwargs = dict(options, **extra)
        if out is not None:
            kwargs["out"] = os.path.join(os.fspath(out), folders[k])
        calls.append((level, columns_of(matrix, level.columns), group1, group2, kwargs))
    for level, data, group1, group2, kwargs in calls:
        try:
            with engine.check_only():
                function(data, *leading, group1, group2, **kwargs)
        except engine.Checked:
            continue
        except InputError as err:
            raise InputError("within={!r}, level {!r}: {}".format(column, level.name, err)) from None
        raise AssertionError("the analysis ran without its engine checks")  # pragma: no cover
    return [function(data, *leading, group1, group2, **kwargs) for _, data, group1, group2, kwargs in calls]


def quote_levels(levels: Sequence[str], limit: int = 10) -> str:
    return _quote_list(list(levels), limit)
