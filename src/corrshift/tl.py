"""Analyses of an AnnData object that store their results in it, as scanpy's ``sc.tl`` does.

Each function compares two groups of cells (two levels, or lists of levels, of the obs
column `groupby`), optionally within each level of another obs column (`within`, e.g. the
cell type), and stores the result tables in ``adata.uns[key_added]``: the parameters, the
columns of every table (each level's entries one after another, most significant first),
the levels compared, the levels left out and the rows each level's run left out (genes
that cannot be correlated there, see ``result.dropped``). The stored form survives ``write_h5ad`` and
``read_h5ad``; :mod:`corrshift.get` returns it as a DataFrame. Keyword arguments that a
function does not name itself (``n_jobs``, ``class_alpha``, ``max_q``, ``top``, ``out``,
``client``, ...) go to the analysis function of :mod:`corrshift.api` unchanged.
"""

from typing import Any, Callable, Dict, List, Optional, Sequence, Tuple

import numpy as np

from . import _inputs, _settings, _within, api
from ._inputs import MIN_GROUP_SIZE, InputError

#: The keyword arguments whose values are kept with the stored parameters (simple values
#: only; a Dask client or the progress flag say nothing about the result).
_NOT_KEPT = ("client", "progress", "overwrite")
_OWN_NAMES = ("row_names", "column_names")


def _is_categorical(values: Any) -> bool:
    return hasattr(values, "cat") and hasattr(values.cat, "categories")


def obs_labels(adata: Any, column: Any, argname: str) -> Tuple[np.ndarray, Optional[List[Any]]]:
    """One label per cell (text; "" where missing) from an obs column, and its categories
    when it is categorical."""
    if not isinstance(column, str):
        raise InputError("{} must name a column of adata.obs, got {!r}".format(argname, column))
    if column not in adata.obs.columns:
        raise InputError(
            "{}={!r}: adata.obs has no such column; it has {}".format(
                argname, column, _inputs._quote_list([str(c) for c in adata.obs.columns], 10) or "none"
            )
        )
    values = adata.obs[column]
    missing = values.isna().to_numpy()
    labels = np.asarray([str(v) for v in values.tolist()], dtype=object)
    labels[missing] = ""
    categories = list(values.cat.categories) if _is_categorical(values) else None
    return labels, categories


def _levels_of(given: Any) -> List[str]:
    levels = [given] if isinstance(given, (str, int, float, np.integer, np.floating)) else list(given)
    return [str(v) for v in levels]


def _group_levels(groups: Any, labels: np.ndarray, groupby: str, reference: Any = None) -> Tuple[List[str], List[str]]:
    """The levels of group 1 and group 2: ``groups=(a, b)``, or with `reference` group 1 =
    `groups` (a level or a list of levels) and group 2 = `reference` (a level, a list of
    levels, or "rest": every other level)."""
    present = _within.level_order(labels)
    if reference is None:
        if isinstance(groups, (str, bytes)) or not isinstance(groups, Sequence) or len(groups) != 2:
            raise InputError(
                "groups must be the two groups to compare, e.g. groups=('stim', 'ctrl'): two levels "
                "of {!r} (or two lists of levels), or one group with reference=('rest' or a level), "
                "got {!r}".format(groupby, groups)
            )
        given = [("groups[0]", groups[0]), ("groups[1]", groups[1])]
    else:
        if isinstance(groups, (bytes, type(None))):
            raise InputError(
                "groups: name the level(s) compared with reference={!r}, got {!r}".format(reference, groups)
            )
        given = [("groups", groups)]
        if not (isinstance(reference, str) and reference == "rest"):
            given.append(("reference", reference))
    chosen = []
    for argname, value in given:
        wanted = _levels_of(value)
        missing = [v for v in wanted if v not in present]
        if not wanted or missing:
            raise InputError(
                "{}: {!r} has no level {}; its levels are {}".format(
                    argname,
                    groupby,
                    _inputs._quote_list(missing or ["(none given)"], 3),
                    _inputs._quote_list(present, 10),
                )
            )
        chosen.append(wanted)
    if len(chosen) == 1:  # reference="rest"
        chosen.append([level for level in present if level not in set(chosen[0])])
        if not chosen[1]:
            raise InputError(
                "reference='rest': {!r} has no level besides {}".format(groupby, _inputs._quote_list(chosen[0], 3))
            )
    if set(chosen[0]) & set(chosen[1]):
        raise InputError(
            "groups: the two groups share the level(s) {}; give each level to one group".format(
                _inputs._quote_list(sorted(set(chosen[0]) & set(chosen[1])), 3)
            )
        )
    return chosen[0], chosen[1]


def _data(adata: Any, layer: Optional[str], use_raw: Optional[bool]) -> Tuple[_inputs.Matrix, bool]:
    """The matrix to analyse (X, a layer, or .raw: the rule of every entry point, see
    :func:`corrshift._inputs.anndata_matrix`) and whether it is .raw."""
    matrix = _inputs.as_matrix(adata, layer=layer, use_raw=use_raw)
    return matrix, matrix.source == ".raw"


def _params(
    analysis: str,
    groupby: str,
    groups: Tuple[List[str], List[str]],
    within: Optional[str],
    layer: Optional[str],
    use_raw: bool,
    min_group_size: int,
    options: Dict[str, Any],
) -> Dict[str, Any]:
    params: Dict[str, Any] = {
        "analysis": analysis,
        "groupby": groupby,
        "groups": np.asarray(["+".join(groups[0]), "+".join(groups[1])], dtype=object),
        "group_levels1": np.asarray(groups[0], dtype=object),
        "group_levels2": np.asarray(groups[1], dtype=object),
        "use_raw": bool(use_raw),
        "min_group_size": min_group_size,
    }
    if within is not None:
        params["within"] = within
    if layer is not None:
        params["layer"] = layer
    for name, value in options.items():
        if name in _NOT_KEPT or value is None:
            continue
        if hasattr(value, "__fspath__"):
            value = str(value)
        if isinstance(value, (str, bool, int, float, np.generic)):
            params[name] = value
    return params


def _columns(results: Sequence[Any]) -> Tuple[List[str], Dict[str, np.ndarray]]:
    """Every column of the tables, each table most significant first, one after another."""
    names = list(results[0].columns)
    parts = [r.to_dict(sort=True) for r in results]
    table = {}
    for name in names:
        arrays = [np.asarray(p[name]) for p in parts]
        joined = np.concatenate(arrays) if arrays else np.zeros(0)
        table[name] = joined.astype(object) if joined.dtype.kind in "OUS" else joined
    return names, table


def _level_table(names: Sequence[str], results: Sequence[Any]) -> Dict[str, np.ndarray]:
    sizes = np.asarray([len(r) for r in results], dtype=np.int64)
    stops = np.cumsum(sizes)
    table: Dict[str, np.ndarray] = {
        "name": np.asarray(list(names), dtype=object),
        "start": stops - sizes,
        "stop": stops,
    }
    metadata = [r.metadata() for r in results]
    for key, value in metadata[0].items():
        values = [m.get(key) for m in metadata]
        if all(isinstance(v, str) for v in values):
            table[key] = np.asarray(values, dtype=object)
        elif all(isinstance(v, (bool, int, float, np.generic)) and v is not None for v in values):
            table[key] = np.asarray(values)
    return table


def _dropped_table(names: Sequence[str], results: Sequence[Any]) -> Dict[str, np.ndarray]:
    """The rows each level's run left out (``result.dropped``), one entry per row: its
    level, the reason and its name."""
    entries = [
        (level, why, row)
        for level, result in zip(names, results)
        for why, rows in (getattr(result, "dropped", None) or {}).items()
        for row in rows
    ]
    return {
        field: np.asarray([e[k] for e in entries], dtype=object) for k, field in enumerate(("level", "reason", "row"))
    }


def _skipped_table(skipped: Sequence[_within.Level]) -> Dict[str, np.ndarray]:
    return {
        "name": np.asarray([s.name for s in skipped], dtype=object),
        "n1": np.asarray([s.n1 for s in skipped], dtype=np.int64),
        "n2": np.asarray([s.n2 for s in skipped], dtype=np.int64),
    }


def _rows_into_var(
    adata: Any, key: str, matrix: _inputs.Matrix, names: Sequence[str], results: Sequence[Any], within: Optional[str]
) -> List[str]:
    """Per-gene scores into ``adata.var`` (one comparison) or ``adata.varm`` (one column per
    level), where the rows analysed are the genes of ``adata.var``; NaN for a gene a table
    does not hold. Returns the keys written."""
    genes = [str(g) for g in adata.var_names]
    if [str(r) for r in matrix.row_names] != genes:
        return []
    written = []
    where = {g: k for k, g in enumerate(genes)}
    for column in results[0].columns:
        values = results[0].column(column)
        if column in ("n1", "n2") or values.dtype.kind not in "iuf":
            continue
        block = np.full((len(genes), len(results)), np.nan)
        for k, result in enumerate(results):
            positions = [where[str(g)] for g in result.row]
            block[positions, k] = result.column(column)
        if within is None:
            adata.var["{}_{}".format(key, column)] = block[:, 0]
        else:
            adata.varm["{}_{}".format(key, column)] = block
        written.append("{}_{}".format(key, column))
    return written


def _analyse(
    analysis: str,
    function: Callable[..., Any],
    adata: Any,
    groupby: Any,
    groups: Any,
    *,
    within: Optional[str],
    layer: Optional[str],
    use_raw: Optional[bool],
    min_group_size: Any,
    key_added: Any,
    copy: bool,
    options: Dict[str, Any],
    leading: Sequence[Any] = (),
    reference: Any = None,
) -> Any:
    """Run `function` (an API function) on `adata`, per level of `within` when given, and
    store its tables in ``adata.uns[key_added]``."""
    if not _inputs._is_anndata(adata):
        raise InputError(
            "adata must be an AnnData object, got {}; the functions of corrshift.api take other data".format(
                type(adata).__name__
            )
        )
    if not isinstance(key_added, str) or not key_added or "/" in key_added:
        raise InputError("key_added must be a non-empty name without '/', got {!r}".format(key_added))
    given = [name for name in _OWN_NAMES if name in options]
    if given:
        raise InputError("{}: an AnnData object brings its own names; leave this argument out".format(given[0]))
    limit = _within.group_size_limit(min_group_size)
    labels, _ = obs_labels(adata, groupby, "groupby")
    chosen = _group_levels(groups, labels, groupby, reference)
    rest = isinstance(reference, str) and reference == "rest"
    if rest:
        # The other levels make one group, named "rest" in the results.
        labels = np.where(np.isin(labels, chosen[1]), "rest", labels).astype(object)
    if within is not None and within == groupby:
        raise InputError("within={!r} is also groupby: each of its levels holds one group only".format(within))
    if copy:
        adata = adata.copy()
    matrix, used_raw = _data(adata, layer, use_raw)
    asked = (chosen[0], ["rest"] if rest else chosen[1])
    first, second = np.isin(labels, asked[0]), np.isin(labels, asked[1])
    skipped: List[_within.Level] = []
    if within is None:
        names = [""]
        results = [function(matrix, *leading, asked[0], asked[1], groupby=labels, **options)]
    else:
        within_labels, categories = obs_labels(adata, within, "within")
        kept, skipped = _within.split_levels(
            within_labels, first, second, limit, _within.level_order(within_labels, categories)
        )
        if not kept:
            raise _within.no_level_error(skipped, within, limit)
        names = [level.name for level in kept]
        results = _within.run_levels(
            function,
            matrix,
            kept,
            within,
            lambda level: (asked[0], asked[1], {"groupby": labels[level.columns]}),
            options,
            leading,
        )
        if skipped:
            _settings.warn(_within.describe_skipped(skipped, within, limit))
    columns, table = _columns(results)
    params = _params(analysis, groupby, chosen, within, layer, used_raw, limit, options)
    if rest:
        params["groups"][1] = "rest"
        params["reference"] = "rest"
    adata.uns[key_added] = {
        "params": params,
        "columns": np.asarray(columns, dtype=object),
        "table": table,
        "levels": _level_table(names, results),
        "skipped": _skipped_table(skipped),
        "dropped": _dropped_table(names, results),
    }
    entries = sum(len(r) for r in results)
    _settings.info(
        "corrshift.tl.{}: added to `.uns[{!r}]`: {:,} {} of {} vs {}{}, from {}".format(
            analysis,
            key_added,
            entries,
            analysis if entries != 1 else analysis[:-1],
            params["groups"][0],
            params["groups"][1],
            "" if within is None else " in {} level(s) of {!r}".format(len(names), within),
            matrix.source,
        )
    )
    if analysis == "rows":
        stored = _rows_into_var(adata, key_added, matrix, names, results, within)
        if stored:
            _settings.info(
                "corrshift.tl.rows: added to `.{}`: {}".format(
                    "var" if within is None else "varm", ", ".join(repr(k) for k in stored)
                )
            )
    return adata if copy else None


def pairs(
    adata: Any,
    groupby: str,
    groups: Sequence[Any],
    *,
    reference: Optional[Any] = None,
    pairs: Optional[Any] = None,
    within: Optional[str] = None,
    layer: Optional[str] = None,
    use_raw: Optional[bool] = None,
    method: str = "pearson",
    alternative: str = "two-sided",
    permutations: int = 1000,
    min_group_size: int = MIN_GROUP_SIZE,
    key_added: str = "corrshift_pairs",
    copy: bool = False,
    **kwargs: Any,
) -> Any:
    """Test gene pairs for a change in correlation between two groups of cells.

    Parameters
    ----------
    adata : AnnData
        Cells x genes. Genes are paired, cells are the samples.
    groupby : str
        The obs column whose levels make the two groups.
    groups : pair of levels, or level(s)
        The two groups: ``(a, b)``, each a level of `groupby` or a list of levels. With
        `reference`, group 1 only: a level or a list of levels (one group, one comparison).
    reference : str or list of str, optional
        Group 2, as in scanpy's ``rank_genes_groups``: "rest" (the cells of every other
        level of `groupby`; cells without a level take no part), or a level or list of
        levels. The results name it "rest". None: `groups` holds both groups.
    pairs : sequence of (gene, gene), optional
        The pairs to test (see :func:`corrshift.ztest`); None tests every pair of genes.
    within : str, optional
        An obs column (e.g. the cell type): compare the groups within each of its levels
        that has at least `min_group_size` cells in both groups, each level as if its cells
        were given alone. Levels left out are listed in a warning and stored.
    layer : str, optional
        Use this layer instead of X.
    use_raw : bool, optional
        Use ``adata.raw``; by default it is used when present and no `layer` is given, as
        in scanpy.
    method, alternative, permutations
        As in :func:`corrshift.ztest`.
    min_group_size : int, default 4
        With `within`: the fewest cells of each group a level needs (at least 4).
    key_added : str, default "corrshift_pairs"
        The key of ``adata.uns`` that receives the results.
    copy : bool, default False
        Work on a copy of `adata` and return it.
    **kwargs
        Passed on to :func:`corrshift.ztest`: ``class_alpha``, ``n_jobs``, ``max_q``,
        ``max_p``, ``top``, ``out`` (with `within`, one Parquet folder per level inside it),
        ``client``, ``progress``, ...

    Returns
    -------
    None, or the AnnData copy with `copy`. ``corrshift.get.pairs_df(adata)`` gives the table.
    """
    options = dict(kwargs, method=method, alternative=alternative, permutations=permutations, pairs=pairs)
    return _analyse(
        "pairs",
        api.ztest,
        adata,
        groupby,
        groups,
        within=within,
        layer=layer,
        use_raw=use_raw,
        min_group_size=min_group_size,
        key_added=key_added,
        copy=copy,
        options=options,
        reference=reference,
    )


def rows(
    adata: Any,
    groupby: str,
    groups: Sequence[Any],
    *,
    reference: Optional[Any] = None,
    within: Optional[str] = None,
    layer: Optional[str] = None,
    use_raw: Optional[bool] = None,
    score: str = "median",
    method: str = "pearson",
    alternative: str = "two-sided",
    permutations: int = 1000,
    min_group_size: int = MIN_GROUP_SIZE,
    key_added: str = "corrshift_rows",
    copy: bool = False,
    **kwargs: Any,
) -> Any:
    """Score every gene by how much its correlations with all other genes change.

    Parameters are those of :func:`pairs` (without `pairs`), and `score` as in
    :func:`corrshift.row_scores`; other keyword arguments go to
    :func:`corrshift.row_scores`. Besides ``adata.uns[key_added]``, where the genes scored
    are those of ``adata.var`` (not a ``.raw`` with other genes), the scores go into
    ``adata.var`` as ``<key_added>_score``, ``_perm_p`` and ``_perm_q``; with `within`
    into ``adata.varm`` under the same names, one column per level (in the order of
    ``adata.uns[key_added]["levels"]["name"]``).
    """
    options = dict(kwargs, score=score, method=method, alternative=alternative, permutations=permutations)
    return _analyse(
        "rows",
        api.row_scores,
        adata,
        groupby,
        groups,
        within=within,
        layer=layer,
        use_raw=use_raw,
        min_group_size=min_group_size,
        key_added=key_added,
        copy=copy,
        options=options,
        reference=reference,
    )


def sets(
    adata: Any,
    groupby: str,
    groups: Sequence[Any],
    sets: Any,
    *,
    reference: Optional[Any] = None,
    within: Optional[str] = None,
    layer: Optional[str] = None,
    use_raw: Optional[bool] = None,
    score: str = "median",
    method: str = "pearson",
    alternative: str = "two-sided",
    permutations: int = 1000,
    min_group_size: int = MIN_GROUP_SIZE,
    key_added: str = "corrshift_sets",
    copy: bool = False,
    **kwargs: Any,
) -> Any:
    """Score sets of gene pairs that share a hub gene (``{"hub": ["partner", ...]}``).

    Parameters are those of :func:`rows`, and `sets` as in :func:`corrshift.set_scores`;
    other keyword arguments go to :func:`corrshift.set_scores`.
    """
    options = dict(kwargs, score=score, method=method, alternative=alternative, permutations=permutations)
    return _analyse(
        "sets",
        api.set_scores,
        adata,
        groupby,
        groups,
        within=within,
        layer=layer,
        use_raw=use_raw,
        min_group_size=min_group_size,
        key_added=key_added,
        copy=copy,
        options=options,
        leading=(sets,),
        reference=reference,
    )


def modules(
    adata: Any,
    groupby: str,
    groups: Sequence[Any],
    modules: Any,
    *,
    reference: Optional[Any] = None,
    within: Optional[str] = None,
    layer: Optional[str] = None,
    use_raw: Optional[bool] = None,
    score: str = "median",
    method: str = "pearson",
    alternative: str = "two-sided",
    permutations: int = 1000,
    min_group_size: int = MIN_GROUP_SIZE,
    key_added: str = "corrshift_modules",
    copy: bool = False,
    **kwargs: Any,
) -> Any:
    """Score modules (gene sets) by how much the correlations among their genes change.

    Parameters are those of :func:`rows`, and `modules` as in
    :func:`corrshift.module_scores` (a dict of name -> genes, a list of gene sets or a GMT
    path); other keyword arguments go to :func:`corrshift.module_scores`.
    """
    options = dict(kwargs, score=score, method=method, alternative=alternative, permutations=permutations)
    return _analyse(
        "modules",
        api.module_scores,
        adata,
        groupby,
        groups,
        within=within,
        layer=layer,
        use_raw=use_raw,
        min_group_size=min_group_size,
        key_added=key_added,
        copy=copy,
        options=options,
        leading=(modules,),
        reference=reference,
    )


__all__ = ["pairs", "rows", "sets", "modules"]
