"""Differential correlation between two groups of samples: the functions a user calls.

Rows of the data are variables (genes, probe sets), columns are samples. Each function
takes the two groups of samples, computes every statistic once for the groups as given
and again for ``permutations`` random re-splits of those samples, and returns a result
table (see :mod:`corrshift.results`). Only the samples of the two groups take part.

The permutation passes use a fixed seed: the same input gives the same result in every
run, whatever ``n_jobs`` is. Every function runs through :mod:`corrshift.engine`: in this
process by default, or on a Dask cluster (``client=``); it can keep only the most
significant entries (``max_q``, ``max_p``, ``top``), write a Parquet dataset (``out=``)
and resume an interrupted run. A progress bar is drawn on standard error (or in a
notebook) unless ``progress=False``.
"""

import os
from typing import Any, Iterable, Mapping, NamedTuple, Optional, Tuple, Union

import numpy as np

from . import _inputs, _settings, engine
from ._inputs import ALTERNATIVES, MAX_EXHAUSTIVE_ROWS, MAX_PERMUTATIONS, METHODS, MIN_GROUP_SIZE, SCORES, InputError
from .results import ModuleResult, PairResult, RowResult, SetResult

Names = Optional[Iterable[Any]]



class _Run(NamedTuple):
    matrix: _inputs.Matrix
    groups: _inputs.Groups
    method: str
    alternative: str
    permutations: int
    jobs: int
    min_cells: Optional[float]
    min_fraction: Optional[float]


def _prepare(
    data: Any,
    group1: Any,
    group2: Any,
    groupby: Any,
    layer: Optional[str],
    method: str,
    alternative: str,
    permutations: Any,
    n_jobs: Any,
    row_names: Names,
    column_names: Names,
    allow_overlap: bool,
    min_cells: Any,
    min_fraction: Any,
    use_raw: Optional[bool] = None,
) -> _Run:
    method = _inputs.option(method, METHODS, "method")
    alternative = _inputs.option(alternative, ALTERNATIVES, "alternative")
    count = _inputs.permutation_count(permutations)
    jobs = _inputs.job_count(n_jobs)
    cells = _inputs.fraction_or_count(min_cells, "min_cells", False)
    fraction = _inputs.fraction_or_count(min_fraction, "min_fraction", True)
    matrix = _inputs.as_matrix(data, row_names, column_names, layer, use_raw)
    grp = _inputs.groups(matrix, group1, group2, allow_overlap, groupby)
    return _Run(matrix, grp, method, alternative, count, jobs, cells, fraction)


def _screen(run: _Run, rows: Optional[np.ndarray] = None) -> _inputs.Screened:
    """The rows of `rows` (all when None) that the run keeps, with the others named once in
    a warning."""
    screened = _inputs.screened_submatrix(run.matrix, run.groups, rows, run.min_cells, run.min_fraction)
    if screened.dropped:
        total = sum(len(names) for names in screened.dropped.values())
        _settings.warn(
            "left out {} row(s) that cannot be correlated in both groups or are expressed in too "
            "few samples (listed in the result's .dropped): {}".format(
                total,
                "; ".join(
                    "{}: {}".format(why, _inputs._quote_list(names, 20)) for why, names in screened.dropped.items()
                ),
            )
        )
    return screened


def _left_out(dropped: Mapping[str, Any]) -> str:
    """The rows left out, by reason, in a few words."""
    return "; ".join("{}: {}".format(why, _inputs._quote_list(names, 5)) for why, names in dropped.items())


def _used_rows(*row_lists: np.ndarray) -> Tuple[np.ndarray, Tuple[np.ndarray, ...]]:
    """The rows a call reads, ascending, and the given lists renumbered into them."""
    used = np.unique(np.concatenate(row_lists))
    return used, tuple(np.searchsorted(used, r).astype(np.int32) for r in row_lists)


def _problem(run: _Run, kind: str, screened: _inputs.Screened, **items: Any) -> engine.Problem:
    grp = run.groups
    first, second = _inputs.local_groups(grp.first.size, grp.second.size)
    problem = engine.Problem(
        kind,
        screened.data,
        first,
        second,
        run.matrix.row_names,
        run.method,
        run.alternative,
        run.permutations,
        labels=(grp.label1, grp.label2),
        **items,
    )
    problem.dropped = screened.dropped
    problem.matrix = run.matrix.source
    return problem


def _row_nonzero(nrows: int, screened: _inputs.Screened, rows: Optional[np.ndarray]) -> np.ndarray:
    """The non-zero samples of each row of the data in each group (-1 for rows not read):
    the pair tables' non-zero columns are looked up in it (memory per row, not per pair)."""
    counts = np.full((nrows, 2), -1, dtype=np.int32)
    assert screened.nonzero is not None
    counts[np.arange(nrows) if rows is None else rows] = screened.nonzero
    return counts


def _kept_rows(screened: _inputs.Screened, rows: np.ndarray) -> np.ndarray:
    """The user's rows among `rows` that the run keeps."""
    return np.asarray(rows)[screened.kept].astype(np.int32)


_ENGINE_DOC = """max_q, max_p : float, optional
        Keep only the entries whose q-value (p-value) is at most this: ``q_robust`` and
        ``p_robust`` for pairs (``q_value`` and ``p_value`` with ``significance="normal"``),
        ``perm_q`` and ``perm_p`` for rows and sets. The q-values are exact
        Benjamini-Hochberg over all entries, also when not all are kept.
    top : int, optional
        Keep only the `top` most significant entries (after `max_q` and `max_p`); the
        result is then sorted, most significant first.
    out : str or path, optional
        A folder to write the kept entries to as a Parquet dataset (one ``part-*.parquet``
        file per tile, in result order). A run of the same inputs into the same folder
        resumes an interrupted run, or reads a finished one back. With `out`, the result
        holds at most the best 1,000,000 entries; ``result.output`` names the folder. A
        symbolic link is resolved once, before any work; a folder holding files that
        corrshift did not write, or a mount point, is refused before any work.
    overwrite : bool, default False
        Replace an output folder that holds corrshift's output of other inputs or options
        (never a folder that holds files corrshift did not write).
    client : distributed.Client, optional
        Run on this Dask cluster; the data goes to each worker once.
    progress : bool, default True
        Draw a progress bar on standard error (or in a notebook)."""


_DATA_DOC = """data : numpy.ndarray, pandas.DataFrame, scipy.sparse matrix, AnnData, or path
        Rows are variables (genes), columns are samples. Any real dtype. A DataFrame keeps
        its index as row names and its columns as sample names. An AnnData object is read
        in its own cells x genes orientation: its genes (``var_names``) become the rows
        and its cells (``obs_names``) the samples. Sparse matrices are densified only for
        the rows and samples in use. A path names a ``.h5ad``, ``.tsv[.gz]``,
        ``.csv[.gz]``, ``.npy`` or ``.npz`` file. Missing or infinite values are rejected."""


def ztest(
    data: Any,
    group1: Any,
    group2: Any,
    pairs: Optional[Any] = None,
    *,
    groupby: Any = None,
    layer: Optional[str] = None,
    use_raw: Optional[bool] = None,
    method: str = "pearson",
    alternative: str = "two-sided",
    permutations: int = 1000,
    class_alpha: float = 0.05,
    n_jobs: Optional[int] = None,
    row_names: Names = None,
    column_names: Names = None,
    allow_overlap: bool = False,
    min_cells: Optional[int] = 5,
    min_fraction: Optional[float] = None,
    max_q: Optional[float] = None,
    max_p: Optional[float] = None,
    top: Optional[int] = None,
    perm_q: bool = False,
    significance: str = "robust",
    out: Any = None,
    overwrite: bool = False,
    client: Any = None,
    progress: bool = True,
) -> PairResult:
    """Test pairs of rows for a difference in correlation between two groups of samples.

    For each pair the correlation is computed within group 1 (``r1``) and within group 2
    (``r2``); ``z_diff = atanh(r1) - atanh(r2)`` (each clamped to [-0.99, 0.99]) is tested
    against the normal approximation (standard error ``sqrt(1/(n1-3) + 1/(n2-3))``, for
    Spearman ``sqrt(1.06/(n1-3) + 1.06/(n2-3))``) and by permutation of the samples between
    the groups.

    Parameters
    ----------
    {data}
    group1, group2 : sequence of int or str, boolean mask, or level(s) of `groupby`
        The two groups of samples: column positions, column names, or a boolean mask over
        the columns (a boolean pandas Series indexed by sample names is aligned by name).
        Integers are always positions, strings always names. With `groupby`, a level (or
        a list of levels) of that annotation. Each group needs at least 4 samples.
    pairs : sequence of (row, row), array of shape (n, 2), or two-column DataFrame, optional
        Pairs of rows to test, by row position or row name. None (the default) tests every
        pair of rows (rows with unique names). A table of all pairs larger than the free
        memory (about 90 bytes a pair) is refused: keep fewer with `max_q`, `max_p` or
        `top`, or write them with `out`.
    groupby : str or sequence, optional
        The sample annotation whose levels `group1` and `group2` name: a column of an
        AnnData object's ``obs`` (or a per-sample array of an ``.npz`` file), or one label
        per sample (a pandas Series indexed by sample names is aligned by name).
    layer : str, optional
        For AnnData: use this layer instead of ``X``.
    use_raw : bool, optional
        For AnnData: use ``adata.raw``. By default (None) ``.raw`` is used when it is
        present and no `layer` is given, as in scanpy (and :mod:`corrshift.tl` and the
        command line); False uses ``X`` (or the layer). The result's ``matrix`` (and its
        metadata) says which was read.
    method : {{"pearson", "spearman"}}, default "pearson"
        Pearson correlation of the values, or of their ranks within each group.
    alternative : {{"two-sided", "greater", "less"}}, default "two-sided"
        "greater" asks whether the correlation is higher in group 1 (``z_diff`` > 0),
        "less" whether it is lower.
    permutations : int, default 1000
        Number of permutation passes, 0 to 2**24; 0 skips the permutation test
        (``perm_p`` is NaN).
    class_alpha : float, default 0.05
        Significance level of the ``class`` column: a correlation with ``p1`` (``p2``)
        below it counts as "+" or "-", else as "0".
    n_jobs : int, optional
        Worker threads; None, or any larger number, uses every core this process may run on.
    row_names, column_names : sequence, optional
        Names for the rows and columns of a NumPy array or sparse matrix. Rows are named
        "0", "1", ... when no row names are given.
    allow_overlap : bool, default False
        Allow samples that belong to both groups (their values are used in both).
    min_cells : int, default 5
        Leave out rows non-zero in fewer than `min_cells` samples of either group (capped at
        the group's size: a group of 4 samples needs all 4 non-zero); 0 or None keeps them.
        A correlation carried by the 1 to 3 samples where both rows are non-zero (r = 1
        from one cell) is an artefact of sparse data, not a difference in correlation. Bulk
        data without zeros keeps every row. The left-out rows are listed in
        ``result.dropped`` with the rows constant within a group.
    min_fraction : float, optional
        Leave out rows non-zero in fewer than this fraction of the samples of either group,
        as scanpy's ``sc.pp.filter_genes`` does (applied besides `min_cells`).
    {engine}
    perm_q : bool, default False
        With `max_q`, `max_p` or `top`, the permutation passes run only for the pairs
        reported (their ``perm_p`` is the same as in a full run) and ``perm_q``, which
        needs every pair's permutation count, is NaN (``result.perm_q_note`` and the
        table's metadata say so). True runs every pass for every pair and reports it
        (with ``significance="normal"`` only).
    significance : {{"robust", "normal"}}, default "robust"
        What decides the order of the table and `max_q`, `max_p` and `top`. "robust":
        ``p_robust``, the permutation p-value of the studentized difference of the Fisher
        z values (each group's variance of r from its own fourth moments, so heavy tails,
        outlier samples and sparse genes do not make it small), resolved with up to 10,000
        passes for every pair that may be significant (``p_how`` says how each was made),
        and ``q_robust``, its Benjamini-Hochberg q-value over all pairs; a pair whose
        ``q_robust`` is at most `max_q` (0.05 without it) always has a permutation p-value.
        With filters, only the reported pairs run the table's passes: their ``q_value``
        and ``perm_q`` are NaN (the metadata says why). "normal": ``p_value`` and
        ``q_value``, the normal approximation, which assumes normal data in both groups.

    Returns
    -------
    PairResult
        One entry per pair (in the order of `pairs`, or ``(0, 1), (0, 2), ..., (1, 2),
        ...`` for all pairs) with the columns ``row1, row2, r1, r2, p1, p2, class, z_diff,
        p_robust, q_robust, p_how, n_passes, p_value, q_value, perm_p, perm_q, n1, n2``
        (without the robust four for ``significance="normal"``), and the non-zero counts
        of each row in each group. Its table views (``format``, ``to_tsv``,
        ``to_pandas``, ``top``) sort by ``p_robust`` (``p_value``), ties by ``|z_diff|``
        descending.

    Raises
    ------
    InputError
        For unusable arguments, with a message that says which argument and how to fix it.

    Notes
    -----
    Each row is standardised within each group in double precision, and ``r1``, ``r2``,
    ``z_diff`` and ``p_value`` (float64) of the observed split are computed in double;
    Spearman ranks tied values by their average rank. Rows constant within a group (or
    whose spread there is single-precision rounding noise) are left out of every pair,
    named in a ``UserWarning`` and in ``result.dropped``. See "The API's statistics and the
    native functions" in docs/usage.md.

    ``perm_p = (b + 1) / (permutations + 1)``, with b the number of permutation passes
    whose ``z_diff`` is at least as extreme as the observed one: the observed split counts
    as one of the possible splits, so the smallest value is ``1 / (permutations + 1)``.
    Each pass re-splits the samples of the two groups at random into groups of the same
    sizes; the passes use a fixed seed, so the same input gives the same result.

    Examples
    --------
    >>> import corrshift
    >>> ex = corrshift.load_example()
    >>> res = corrshift.ztest(ex.expression[:50], "BCR/ABL", "NEG", groupby=ex.mol_biol,
    ...                       permutations=100, row_names=ex.probes[:50])  # doctest: +SKIP
    >>> print(res.format(5))  # doctest: +SKIP
    """
    _inputs.option(significance, _inputs.SIGNIFICANCE, "significance")
    if significance == "robust" and perm_q is True and any(v is not None for v in (max_q, max_p, top)):
        raise InputError(
            "perm_q=True needs significance='normal': with the robust significance, max_q, max_p and top "
            "choose the pairs by q_robust and p_robust, and only those run the table's permutation passes"
        )
    run = _prepare(
        data,
        group1,
        group2,
        groupby,
        layer,
        method,
        alternative,
        permutations,
        n_jobs,
        row_names,
        column_names,
        allow_overlap,
        min_cells,
        min_fraction,
        use_raw,
    )
    matrix, grp = run.matrix, run.groups
    if (
        isinstance(class_alpha, (bool, np.bool_))
        or not isinstance(class_alpha, (int, float, np.integer, np.floating))
        or not 0.0 < float(class_alpha) < 1.0
    ):
        raise InputError("class_alpha must be a number between 0 and 1, got {!r}".format(class_alpha))
    if pairs is None:
        _inputs.exhaustive_rows(matrix, "the pair test", max_rows=None)
        screened = _screen(run)
        rows = _kept_rows(screened, np.arange(matrix.nrows)) if screened.dropped else None
        problem = _problem(run, "all", screened, rows=rows)
    else:
        index1, index2 = _inputs.pair_list(matrix, pairs)
        used, _ = _used_rows(index1, index2)
        used_given = used
        screened = _screen(run, used)
        if screened.dropped:
            # Pairs with a row left out are left out too.
            used = _kept_rows(screened, used)
            keep = np.isin(index1, used) & np.isin(index2, used)
            index1, index2 = index1[keep], index2[keep]
        local1, local2 = (np.searchsorted(used, r).astype(np.int32) for r in (index1, index2))
        problem = _problem(run, "list", screened, rows=used, index1=index1, index2=index2, local1=local1, local2=local2)
    problem.class_alpha = float(class_alpha)
    problem.robust = significance == "robust"
    problem.row_nonzero = _row_nonzero(matrix.nrows, screened, None if pairs is None else used_given)
    if not isinstance(perm_q, (bool, np.bool_)):
        raise InputError("perm_q must be True or False, got {!r}".format(perm_q))
    return engine.run(
        problem,
        n_jobs=run.jobs,
        max_p=max_p,
        max_q=max_q,
        top=top,
        perm_q=bool(perm_q),
        out=out,
        overwrite=overwrite,
        client=client,
        progress=progress,
    )


ztest.__doc__ = (ztest.__doc__ or "").format(data=_DATA_DOC, engine=_ENGINE_DOC)


def row_scores(
    data: Any,
    group1: Any,
    group2: Any,
    *,
    groupby: Any = None,
    layer: Optional[str] = None,
    use_raw: Optional[bool] = None,
    score: str = "median",
    method: str = "pearson",
    alternative: str = "two-sided",
    permutations: int = 1000,
    n_jobs: Optional[int] = None,
    row_names: Names = None,
    column_names: Names = None,
    allow_overlap: bool = False,
    min_cells: Optional[int] = None,
    min_fraction: Optional[float] = None,
    max_q: Optional[float] = None,
    max_p: Optional[float] = None,
    top: Optional[int] = None,
    out: Any = None,
    overwrite: bool = False,
    client: Any = None,
    progress: bool = True,
) -> RowResult:
    """Score every row by how much its correlations with all other rows change.

    For each row the ``z_diff`` of its pairs with every other row (see :func:`ztest`) are
    condensed into one score, which is tested by permutation of the samples between the
    groups.

    Parameters
    ----------
    data, group1, group2, groupby, layer, use_raw
        As in :func:`ztest`. Every pair of rows is used; rows need unique names.
    score : {"median", "mean"}, default "median"
        "mean": mean of ``|z_diff|``. "median": median of ``|z_diff|`` for "two-sided",
        of the signed ``z_diff`` for "greater" and "less" (upper median for an even count).
    method : {"pearson", "spearman"}, default "pearson"
        As in :func:`ztest`.
    alternative : {"two-sided", "greater", "less"}, default "two-sided"
        Which permutation scores count as at least as extreme: "two-sided" compares
        absolute scores, "greater" larger ones, "less" smaller ones.
    permutations : int, default 1000
        Number of permutation passes, 0 to 2**24; 0 skips the test (``perm_p`` is NaN).
    n_jobs : int, optional
        Worker threads; None, or any larger number, uses every core this process may run on.
    row_names, column_names, allow_overlap, min_cells, min_fraction, max_q, max_p, top, out,
    overwrite, client, progress
        As in :func:`ztest`.

    Returns
    -------
    RowResult
        One entry per row, in row order: ``row``, ``score``, ``perm_p``, ``perm_q``,
        ``n1``, ``n2``. Its table views sort by ``perm_p``, ties by the score, most extreme
        first (highest; lowest for "less").

    Raises
    ------
    InputError
        For unusable arguments.

    Notes
    -----
    ``perm_p = (b + 1) / (permutations + 1)`` as in :func:`ztest`. A pass costs as much as
    a pass of :func:`ztest` over all pairs.
    """
    run = _prepare(
        data,
        group1,
        group2,
        groupby,
        layer,
        method,
        alternative,
        permutations,
        n_jobs,
        row_names,
        column_names,
        allow_overlap,
        min_cells,
        min_fraction,
        use_raw,
    )
    score = _inputs.option(score, SCORES, "score")
    matrix, grp = run.matrix, run.groups
    _inputs.exhaustive_rows(matrix, "row scoring", max_rows=None)
    screened = _screen(run)
    rows = _kept_rows(screened, np.arange(matrix.nrows)) if screened.dropped else None
    problem = _problem(run, "rows", screened, score=score, rows=rows)
    return engine.run(
        problem,
        n_jobs=run.jobs,
        max_p=max_p,
        max_q=max_q,
        top=top,
        out=out,
        overwrite=overwrite,
        client=client,
        progress=progress,
    )


SetsArgument = Union[Mapping[Any, Iterable[Any]], Iterable[Tuple[Any, Iterable[Any]]]]


def set_scores(
    data: Any,
    sets: SetsArgument,
    group1: Any,
    group2: Any,
    *,
    groupby: Any = None,
    layer: Optional[str] = None,
    use_raw: Optional[bool] = None,
    score: str = "median",
    method: str = "pearson",
    alternative: str = "two-sided",
    permutations: int = 1000,
    n_jobs: Optional[int] = None,
    row_names: Names = None,
    column_names: Names = None,
    allow_overlap: bool = False,
    min_cells: Optional[int] = None,
    min_fraction: Optional[float] = None,
    max_q: Optional[float] = None,
    max_p: Optional[float] = None,
    top: Optional[int] = None,
    out: Any = None,
    overwrite: bool = False,
    client: Any = None,
    progress: bool = True,
) -> SetResult:
    """Score sets of pairs that share a hub row, e.g. a hub gene and its partners.

    Each set is the pairs (hub, partner) for the hub's partner rows; their ``z_diff``
    (see :func:`ztest`) are condensed into one score, which is tested by permutation of
    the samples between the groups.

    Parameters
    ----------
    data
        As in :func:`ztest`.
    sets : mapping of row to rows
        Maps each hub row to its partner rows, by row name or position, e.g.
        ``{"TP53": ["MDM2", "CDKN1A"]}``. A sequence of ``(hub, partners)`` pairs works too.
        A hub may not be its own partner, and each hub names one set.
    group1, group2, groupby, layer, use_raw
        As in :func:`ztest`.
    score : {"median", "mean"}, default "median"
        As in :func:`row_scores`.
    method, alternative, permutations, n_jobs, row_names, column_names, allow_overlap,
    min_cells, min_fraction
        As in :func:`row_scores`.
    max_q, max_p, top, out, overwrite, client, progress
        As in :func:`ztest`.

    Returns
    -------
    SetResult
        One entry per set, in the order given: ``hub``, ``size`` (number of partners),
        ``score``, ``perm_p``, ``perm_q``, ``n1``, ``n2``. Its table views sort as those of
        :func:`row_scores`.

    Raises
    ------
    InputError
        For unusable arguments.
    """
    run = _prepare(
        data,
        group1,
        group2,
        groupby,
        layer,
        method,
        alternative,
        permutations,
        n_jobs,
        row_names,
        column_names,
        allow_overlap,
        min_cells,
        min_fraction,
        use_raw,
    )
    score = _inputs.option(score, SCORES, "score")
    matrix, grp = run.matrix, run.groups
    hubs, partners = _inputs.set_list(matrix, sets)
    used, _ = _used_rows(np.asarray(hubs, dtype=np.int32), *partners)
    screened = _screen(run, used)
    if screened.dropped:
        # Partners left out leave their sets; a set whose hub or every partner is left out
        # is left out.
        used = _kept_rows(screened, used)
        kept_sets = [(h, p[np.isin(p, used)]) for h, p in zip(hubs, partners) if h in set(used.tolist())]
        kept_sets = [(h, p) for h, p in kept_sets if p.size]
        if not kept_sets:
            raise InputError(
                "sets: no set is left to score: the hub or every partner of each set is among the rows left "
                "out ({})".format(_left_out(screened.dropped))
            )
        hubs, partners = [h for h, _ in kept_sets], [p for _, p in kept_sets]
    local_hubs = np.searchsorted(used, np.asarray(hubs, dtype=np.int32)).astype(np.int32)
    problem = _problem(run, "sets", screened, score=score, rows=used, hubs=hubs, partners=partners)
    problem.local_hubs = local_hubs
    problem.local_partners = [np.searchsorted(used, p).astype(np.int32) for p in partners]
    return engine.run(
        problem,
        n_jobs=run.jobs,
        max_p=max_p,
        max_q=max_q,
        top=top,
        out=out,
        overwrite=overwrite,
        client=client,
        progress=progress,
    )


ModulesArgument = Union[Mapping[Any, Iterable[Any]], Iterable[Iterable[Any]], str, os.PathLike]


def module_scores(
    data: Any,
    modules: ModulesArgument,
    group1: Any,
    group2: Any,
    *,
    groupby: Any = None,
    layer: Optional[str] = None,
    use_raw: Optional[bool] = None,
    score: str = "median",
    method: str = "pearson",
    alternative: str = "two-sided",
    permutations: int = 1000,
    n_jobs: Optional[int] = None,
    row_names: Names = None,
    column_names: Names = None,
    allow_overlap: bool = False,
    min_cells: Optional[int] = None,
    min_fraction: Optional[float] = None,
    max_q: Optional[float] = None,
    max_p: Optional[float] = None,
    top: Optional[int] = None,
    out: Any = None,
    overwrite: bool = False,
    client: Any = None,
    progress: bool = True,
) -> ModuleResult:
    """Score modules (gene sets) by how much the correlations among their genes change.

    For each module the ``z_diff`` (see :func:`ztest`) of every pair of its genes are
    condensed into one score, which is tested by permutation of the samples between the
    groups. A pair that lies in several modules is computed once per pass.

    Parameters
    ----------
    data
        As in :func:`ztest`.
    modules : dict, list of gene sets, or path of a GMT file
        A dict of module name -> genes (row names or row numbers), a list of gene sets
        (named ``module_1``, ``module_2``, ...), or a GMT file (one set a line: name,
        description, genes, tab-separated). Gene names that the data does not have are
        dropped and counted (``result.missing``, ``result.unknown``, and a warning);
        modules left with fewer than two genes are skipped (``result.skipped``). A gene
        listed twice in a module counts once. Genes that cannot be correlated in both
        groups (or, with `min_cells` / `min_fraction`, are expressed in too few samples)
        leave every module, as in :func:`row_scores`, and are listed in ``result.dropped``;
        a module left with fewer than two genes by them is skipped too.
    group1, group2, ..., progress
        The other arguments are those of :func:`set_scores`.

    Returns
    -------
    ModuleResult
        One entry per module scored, in the order given: ``module``, ``n_genes``,
        ``n_pairs``, ``score``, ``mean_r1``, ``mean_r2`` (mean correlation of the module's
        pairs in each group), ``perm_p``, ``perm_q``, ``n1``, ``n2``. Its table views sort
        as those of :func:`row_scores`.

    Raises
    ------
    InputError
        For unusable arguments, also when no module has two genes in the data.

    Notes
    -----
    The statistics are those of :func:`row_scores` (see the Notes of :func:`ztest`).
    ``perm_p = (b + 1) / (permutations + 1)`` as in :func:`ztest`. A pass costs as much as
    a pass of :func:`ztest` over the modules' distinct pairs.
    """
    run = _prepare(
        data,
        group1,
        group2,
        groupby,
        layer,
        method,
        alternative,
        permutations,
        n_jobs,
        row_names,
        column_names,
        allow_overlap,
        min_cells,
        min_fraction,
        use_raw,
    )
    score = _inputs.option(score, SCORES, "score")
    matrix, grp = run.matrix, run.groups
    found = _inputs.module_list(matrix, modules)
    pairs = sum(g.size * (g.size - 1) // 2 for g in found.genes)
    if pairs >= 2**31:
        raise InputError(
            "modules: the modules hold {:,} pairs of genes; at most 2**31 - 1 are supported, "
            "split the largest modules".format(pairs)
        )
    if found.unknown:
        _settings.warn(
            "modules: {} gene name(s) are not in data and were dropped{}".format(
                found.unknown,
                "; {} module(s) with fewer than 2 genes left were skipped: {}".format(
                    len(found.skipped), _inputs._quote_list(found.skipped)
                )
                if found.skipped
                else "",
            )
        )
    elif found.skipped:
        _settings.warn(
            "modules: {} module(s) with fewer than 2 genes were skipped: {}".format(
                len(found.skipped), _inputs._quote_list(found.skipped)
            )
        )
    if found.described:
        _settings.warn(
            "{}: the description (second field) of {} gene set(s) is a gene of the data ({}); GMT lines are "
            "name, description, genes, so that gene is not in its set. If a line has no description, add one "
            "(e.g. NA) before its genes".format(
                os.fspath(modules),
                len(found.described),
                ", ".join("line {} ({}): {!r}".format(*d) for d in found.described[:5])
                + (", ..." if len(found.described) > 5 else ""),
            )
        )
    candidates = np.unique(np.concatenate(found.genes))
    screened = _screen(run, candidates)
    kept_rows = _kept_rows(screened, candidates)
    genes, names, missing, skipped = found.genes, found.names, found.missing, list(found.skipped)
    if screened.dropped:
        # Genes left out leave their modules; a module left with fewer than two is skipped.
        kept = [k for k, g in enumerate(genes) if np.isin(g, kept_rows).sum() >= 2]
        skipped += [names[k] for k in range(len(genes)) if k not in set(kept)]
        if not kept:
            raise InputError(
                "modules: no module keeps two genes that can be correlated in both groups; "
                "the genes left out are listed above"
            )
        genes = [genes[k][np.isin(genes[k], kept_rows)] for k in kept]
        names, missing = [names[k] for k in kept], [missing[k] for k in kept]
    # The rows in use module by module, in the order of first use: the genes of a module
    # then lie together, which lets a pass compute its pairs in runs of nearby rows.
    listed = np.concatenate(genes)
    _, first_use = np.unique(listed, return_index=True)
    used = listed[np.sort(first_use)]
    local_of = np.empty(matrix.nrows, dtype=np.int32)
    local_of[used] = np.arange(used.size, dtype=np.int32)
    local = [np.sort(local_of[g]) for g in genes]
    # The screened rows are ascending; the run's rows are in order of first use.
    data = np.ascontiguousarray(screened.data[np.searchsorted(kept_rows, used)])
    problem = _problem(run, "modules", screened._replace(data=data), score=score, rows=used)
    problem.module_names, problem.module_genes, problem.local_genes = names, genes, local
    problem.module_missing, problem.module_skipped = missing, skipped
    problem.module_unknown = found.unknown
    return engine.run(
        problem,
        n_jobs=run.jobs,
        max_p=max_p,
        max_q=max_q,
        top=top,
        out=out,
        overwrite=overwrite,
        client=client,
        progress=progress,
    )


class Example(NamedTuple):
    """The bundled example: acute lymphoblastic leukemia, B-lineage, BCR/ABL and NEG."""

    expression: np.ndarray
    probes: np.ndarray
    samples: np.ndarray
    mol_biol: np.ndarray
    bt: np.ndarray


def example_path() -> str:
    """Path of the bundled example archive (``.npz``)."""
    return os.path.join(os.path.dirname(os.path.abspath(__file__)), "data", "all_leukemia_bcrabl_neg.npz")


def load_example() -> Example:
    """Load the bundled example data.

    Returns
    -------
    Example
        ``expression`` (2000 probe sets x 79 samples, float32, log2 RMA values),
        ``probes`` (probe-set names), ``samples`` (sample names), ``mol_biol``
        ("BCR/ABL" or "NEG" per sample) and ``bt`` (B-cell stage per sample).
        See ``corrshift/data/README.md`` for source and licence.
    """
    with np.load(example_path()) as archive:
        return Example(*(archive[key] for key in Example._fields))


__all__ = [
    "ztest",
    "row_scores",
    "set_scores",
    "module_scores",
    "load_example",
    "example_path",
    "Example",
    "InputError",
    "MAX_PERMUTATIONS",
    "MAX_EXHAUSTIVE_ROWS",
    "MIN_GROUP_SIZE",
]
