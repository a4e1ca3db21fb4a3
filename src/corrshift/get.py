"""The results that :mod:`corrshift.tl` stored in an AnnData object, as pandas DataFrames
(compare scanpy's ``sc.get.rank_genes_groups_df``)."""

from typing import Any, Dict, Iterable, List, Optional, Tuple

import numpy as np

from ._inputs import InputError, _quote_list

#: The significance that figures, labels, ``pval_cutoff`` and the network export use: the
#: (p-value, q-value) columns of a pair table. This is the one place that names them; a
#: table without them (stored before they existed) falls back to FALLBACK_PAIR_SIGNIFICANCE.
PAIR_SIGNIFICANCE = ("p_robust", "q_robust")
FALLBACK_PAIR_SIGNIFICANCE = ("p_value", "q_value")
#: The significance of row, set and module scores: their permutation p-values.
SCORE_SIGNIFICANCE = ("perm_p", "perm_q")


def significance(columns: Iterable[str]) -> Tuple[str, str]:
    """The (p-value, q-value) columns that a table with these columns is judged by."""
    present = set(columns)
    for choice in (PAIR_SIGNIFICANCE, FALLBACK_PAIR_SIGNIFICANCE, SCORE_SIGNIFICANCE):
        if set(choice) <= present:
            return choice
    raise InputError("the table has no p-value and q-value columns ({})".format(", ".join(sorted(present))))


def warn_asymptotic(p_how: Any, keep: np.ndarray, q_name: str, cutoff: float) -> None:
    """Warn when pairs kept at q_robust <= `cutoff` include pairs whose p_robust is the
    asymptotic one: the run tested by permutation only the pairs that its own threshold
    (its max_q, else 0.05) could make significant."""
    if q_name != "q_robust" or p_how is None or cutoff >= 1.0:
        return
    count = int(np.count_nonzero(np.asarray(p_how, dtype=object)[np.asarray(keep, dtype=bool)] == "asymptotic"))
    if count:
        from ._settings import warn

        warn(
            "{:,} of the pairs at q_robust <= {:g} have the asymptotic p-value of the studentized statistic "
            "(p_how 'asymptotic'), not a permutation p-value: the run tested by permutation only the pairs "
            "that its own threshold could make significant; run it with max_q={:g} to test these too".format(
                count, cutoff, cutoff
            )
        )


#: The analysis each function reads, and the key that analysis stores under by default.
_DEFAULT_KEYS = {
    "pairs": "corrshift_pairs",
    "rows": "corrshift_rows",
    "sets": "corrshift_sets",
    "modules": "corrshift_modules",
}


def _plain(value: Any) -> Any:
    """A stored value as a plain Python value (h5ad files give NumPy scalars back)."""
    if isinstance(value, np.generic):
        return value.item()
    if isinstance(value, np.ndarray):
        return [_plain(v) for v in value.tolist()]
    return value


def stored(adata: Any, key: str, analysis: Optional[str] = None) -> Dict[str, Any]:
    """``adata.uns[key]`` after checking that it holds a corrshift result (of `analysis`)."""
    uns = getattr(adata, "uns", None)
    if uns is None:
        raise InputError("adata must be an AnnData object, got {}".format(type(adata).__name__))
    entry = uns.get(key) if hasattr(uns, "get") else None
    if entry is None:
        found = [str(k) for k, v in uns.items() if isinstance(v, dict) and "params" in v and "table" in v]
        raise InputError(
            "adata.uns has no {!r}; {}".format(
                key, "its corrshift results are " + _quote_list(found) if found else "run corrshift.tl first"
            )
        )
    if not (isinstance(entry, dict) and all(k in entry for k in ("params", "columns", "table", "levels"))):
        raise InputError("adata.uns[{!r}] is not a result of corrshift.tl".format(key))
    kind = _plain(entry["params"].get("analysis"))
    if analysis is not None and kind != analysis:
        raise InputError(
            "adata.uns[{!r}] holds a result of corrshift.tl.{}, not of corrshift.tl.{}".format(key, kind, analysis)
        )
    return entry


def params(adata: Any, key: str) -> Dict[str, Any]:
    """The parameters of the run stored under `key`, as plain Python values."""
    return {str(k): _plain(v) for k, v in stored(adata, key)["params"].items()}


def levels(adata: Any, key: str) -> List[str]:
    """The levels of `within` compared by the run stored under `key` ([""] without `within`)."""
    return [str(v) for v in _plain(stored(adata, key)["levels"]["name"])]


def level_slice(entry: Dict[str, Any], within: Optional[Any], key: str) -> slice:
    """The entries of one level, or of all levels for None."""
    info = entry["levels"]
    names = [str(v) for v in _plain(info["name"])]
    column = _plain(entry["params"].get("within"))
    if within is None:
        return slice(0, int(info["stop"][-1]) if len(names) else 0)
    if column is None:
        raise InputError(
            "within={!r}: the run stored under {!r} compared all cells at once (no within=)".format(within, key)
        )
    level = str(within)
    if level not in names:
        left_out = [str(v) for v in _plain(entry["skipped"]["name"])] if "skipped" in entry else []
        why = " (it was left out: too few cells in a group)" if level in left_out else ""
        raise InputError(
            "within={!r}: the run stored under {!r} has no level {!r}{}; its levels are {}".format(
                within, key, level, why, _quote_list(names, 10)
            )
        )
    k = names.index(level)
    return slice(int(info["start"][k]), int(info["stop"][k]))


def _cutoff(value: Any) -> Optional[float]:
    if value is None:
        return None
    if isinstance(value, (bool, np.bool_)) or not isinstance(value, (int, float, np.integer, np.floating)):
        raise InputError("pval_cutoff must be a number from 0 to 1, got {!r}".format(value))
    if not 0.0 <= float(value) <= 1.0:
        raise InputError("pval_cutoff must be a number from 0 to 1, got {!r}".format(value))
    return float(value)


#: The gene columns of each kind of table, and the symbol columns that `gene_symbols` adds
#: after them ({} is the name of the var column).
_GENE_COLUMNS = {"row1": "{}1", "row2": "{}2", "row": "{}", "hub": "{}"}


def _symbols(adata: Any, entry: Dict[str, Any], column: str) -> Dict[str, Any]:
    """Gene name -> the value of var column `column`, from the matrix the run used (.raw
    when it used .raw, else var)."""
    frames = []
    raw = getattr(adata, "raw", None)
    if _plain(entry["params"].get("use_raw")) and raw is not None:
        frames.append(raw.var)
    frames.append(adata.var)
    if not any(column in frame.columns for frame in frames):
        raise InputError(
            "gene_symbols={!r}: adata.var has no such column; it has {}".format(
                column, _quote_list([str(c) for c in adata.var.columns], 10) or "none"
            )
        )
    lookup: Dict[str, Any] = {}
    for frame in reversed(frames):
        if column in frame.columns:
            lookup.update(zip([str(g) for g in frame.index], frame[column].tolist()))
    return lookup


def table_df(
    adata: Any,
    key: str,
    within: Optional[Any] = None,
    analysis: Optional[str] = None,
    pval_cutoff: Optional[float] = None,
    gene_symbols: Optional[str] = None,
) -> Any:
    """The table stored under `key` as a DataFrame: one level's entries with `within`, all
    of them (with a first column naming the level, when the run had ``within=``) without;
    with `pval_cutoff` only the entries whose q-value (see :func:`significance`) is below
    it, with `gene_symbols` a column of each gene's value of that var column."""
    import pandas as pd  # type: ignore[import]

    cutoff = _cutoff(pval_cutoff)
    entry = stored(adata, key, analysis)
    part = level_slice(entry, within, key)
    columns = [str(c) for c in _plain(entry["columns"])]
    data = {name: np.asarray(entry["table"][name])[part] for name in columns}
    if gene_symbols is not None:
        genes = [c for c in columns if c in _GENE_COLUMNS]
        if not genes:
            raise InputError(
                "gene_symbols={!r}: adata.uns[{!r}] holds a table of {}s, not of genes".format(
                    gene_symbols, key, columns[0]
                )
            )
        lookup = _symbols(adata, entry, str(gene_symbols))
        with_symbols: Dict[str, Any] = {}
        for name in columns:
            with_symbols[name] = data[name]
            if name in genes:
                symbol = _GENE_COLUMNS[name].format(gene_symbols)
                with_symbols[symbol] = np.asarray([lookup.get(str(g)) for g in data[name].tolist()], dtype=object)
        data = with_symbols
    column = _plain(entry["params"].get("within"))
    if column is not None and within is None:
        info = entry["levels"]
        sizes = np.asarray(info["stop"]) - np.asarray(info["start"])
        label = "within" if column in columns else str(column)
        data = dict([(label, np.repeat(np.asarray(info["name"], dtype=object), sizes))], **data)
    frame = pd.DataFrame(data)
    if cutoff is not None:
        _, q_name = significance(columns)
        keep = (frame[q_name] < cutoff).to_numpy()
        warn_asymptotic(frame["p_how"].to_numpy() if "p_how" in frame else None, keep, q_name, cutoff)
        frame = frame[keep].reset_index(drop=True)
    frame.attrs.update(params(adata, key))
    if within is not None or column is None:
        info = entry["levels"]
        k = 0 if column is None else [str(v) for v in _plain(info["name"])].index(str(within))
        frame.attrs.update(
            {str(n): _plain(np.asarray(v)[k]) for n, v in info.items() if n not in ("name", "start", "stop")}
        )
    return frame


def pairs_df(
    adata: Any,
    within: Optional[Any] = None,
    *,
    key: str = _DEFAULT_KEYS["pairs"],
    pval_cutoff: Optional[float] = None,
    gene_symbols: Optional[str] = None,
) -> Any:
    """The pair table of :func:`corrshift.tl.pairs` as a DataFrame, most significant first
    (compare scanpy's ``sc.get.rank_genes_groups_df``).

    Parameters
    ----------
    adata : AnnData
    within : optional
        A level of the run's `within` column: that level's table only. None gives every
        level's table, one after another, with a first column named after the `within`
        column (or "within" when a result column has that name).
    key : str, default "corrshift_pairs"
        The ``key_added`` of the run.
    pval_cutoff : float, optional
        Keep only the pairs whose q-value (``q_value``, the Benjamini-Hochberg q-value of
        ``p_value`` within each level; :data:`PAIR_SIGNIFICANCE` names the columns) is
        below this, as scanpy's `pval_cutoff` keeps adjusted p-values below it.
    gene_symbols : str, optional
        A column of ``adata.var`` (of ``adata.raw.var`` when the run used ``.raw``) whose
        value for each gene is added beside it: ``<gene_symbols>1`` after ``row1`` and
        ``<gene_symbols>2`` after ``row2``.

    Returns
    -------
    pandas.DataFrame
        The columns of :func:`corrshift.ztest`'s table; ``df.attrs`` holds the run's
        parameters and, for one level, its groups and sizes.
    """
    return table_df(adata, key, within, "pairs", pval_cutoff, gene_symbols)


def rows_df(
    adata: Any,
    within: Optional[Any] = None,
    *,
    key: str = _DEFAULT_KEYS["rows"],
    pval_cutoff: Optional[float] = None,
    gene_symbols: Optional[str] = None,
) -> Any:
    """The row-score table of :func:`corrshift.tl.rows`, as :func:`pairs_df` gives it
    (`pval_cutoff` on ``perm_q``; `gene_symbols` adds one column after ``row``)."""
    return table_df(adata, key, within, "rows", pval_cutoff, gene_symbols)


def sets_df(
    adata: Any,
    within: Optional[Any] = None,
    *,
    key: str = _DEFAULT_KEYS["sets"],
    pval_cutoff: Optional[float] = None,
    gene_symbols: Optional[str] = None,
) -> Any:
    """The set-score table of :func:`corrshift.tl.sets`, as :func:`pairs_df` gives it
    (`pval_cutoff` on ``perm_q``; `gene_symbols` adds one column after ``hub``)."""
    return table_df(adata, key, within, "sets", pval_cutoff, gene_symbols)


def modules_df(
    adata: Any,
    within: Optional[Any] = None,
    *,
    key: str = _DEFAULT_KEYS["modules"],
    pval_cutoff: Optional[float] = None,
) -> Any:
    """The module-score table of :func:`corrshift.tl.modules`, as :func:`pairs_df` gives it
    (`pval_cutoff` on ``perm_q``)."""
    return table_df(adata, key, within, "modules", pval_cutoff)


def dropped(adata: Any, key: str, within: Optional[Any] = None) -> Dict[str, List[str]]:
    """The rows that the run stored under `key` left out (``result.dropped``: reason ->
    row names), of one level of `within`, or of the whole run without `within` (None
    with a run of several levels gives the rows any level left out, as "level: reason")."""
    entry = stored(adata, key)
    table = entry.get("dropped")
    out: Dict[str, List[str]] = {}
    if table is None:
        return out
    column = _plain(entry["params"].get("within"))
    if within is not None:
        level_slice(entry, within, key)  # a level the run compared
    for level, why, row in zip(*(_plain(np.asarray(table[f], dtype=object)) for f in ("level", "reason", "row"))):
        if within is not None and str(level) != str(within):
            continue
        label = str(why) if within is not None or column is None else "{}: {}".format(level, why)
        out.setdefault(label, []).append(str(row))
    return out


__all__ = ["pairs_df", "rows_df", "sets_df", "modules_df", "dropped", "params", "levels", "significance"]
