"""Figures of the results that :mod:`corrshift.tl` stored in an AnnData object, in the manner
of scanpy's ``sc.pl`` functions: each draws into the axes given (``ax=``) or a new figure,
saves it with ``save=`` (a file name; True for the function's default name), shows it with
``show=True`` (by default when matplotlib is interactive, e.g. in a notebook) and returns
its axes unless it was shown.

Needs matplotlib (the ``plot`` extra: ``pip install 'corrshift[plot]'``).

* :func:`pair` -- one pair of genes in the two groups: a scatter per group with its fitted
  line, the group's correlation in the title.
* :func:`overview` -- every pair of a result: ``z_diff`` against ``-log10(p_value)``, the
  most significant pairs labelled.
* :func:`heatmap` -- the correlations ``r1`` and ``r2`` of the most significant pairs.
"""

import os
from typing import Any, List, Optional, Sequence, Tuple

import numpy as np

from . import _inputs, get, tl
from ._inputs import InputError

#: Colours of group 1 and group 2.
GROUP_COLOURS = ("#1f77b4", "#d62728")


def _pyplot() -> Any:
    try:
        import matplotlib.pyplot as plt  # type: ignore[import]
    except ImportError:
        raise ImportError(
            "corrshift.pl needs matplotlib: pip install 'corrshift[plot]' (or pip install matplotlib)"
        ) from None
    return plt


def _finish(figure: Any, axes: Any, show: Optional[bool], save: Any, name: str) -> Any:
    plt = _pyplot()
    if save:
        path = name if save is True else os.fspath(save)
        try:
            figure.savefig(path, dpi=120, bbox_inches="tight")
        except OSError as err:
            raise InputError("save={!r}: cannot write the figure: {}".format(path, err.strerror or err)) from None
    if show is None:
        show = plt.isinteractive()
    if show:
        plt.show()
        return None
    return axes


def _ranks(values: np.ndarray) -> np.ndarray:
    """Ranks 1..n, ties given their average rank."""
    order = np.argsort(values, kind="stable")
    ranks = np.empty(values.size)
    ranks[order] = np.arange(1, values.size + 1)
    distinct, inverse = np.unique(values, return_inverse=True)
    if distinct.size < values.size:
        sums = np.bincount(inverse, weights=ranks)
        ranks = (sums / np.bincount(inverse))[inverse]
    return ranks


def _correlation(x: np.ndarray, y: np.ndarray, method: str) -> float:
    if method == "spearman":
        x, y = _ranks(x), _ranks(y)
    if x.size < 2 or np.ptp(x) == 0 or np.ptp(y) == 0:
        return float("nan")
    return float(np.corrcoef(x, y)[0, 1])


def _run_params(adata: Any, key: Optional[str]) -> dict:
    if key is None or key not in getattr(adata, "uns", {}):
        return {}
    return get.params(adata, key)


def pair(
    adata: Any,
    gene1: str,
    gene2: str,
    *,
    key: Optional[str] = "corrshift_pairs",
    within: Any = None,
    groupby: Optional[str] = None,
    groups: Optional[Sequence[Any]] = None,
    layer: Optional[str] = None,
    use_raw: Optional[bool] = None,
    method: Optional[str] = None,
    ax: Any = None,
    show: Optional[bool] = None,
    save: Any = None,
) -> Any:
    """The values of two genes in the cells of each group, with a fitted line per group.

    Parameters
    ----------
    adata : AnnData
    gene1, gene2 : str
        The genes (x and y axis).
    key : str, default "corrshift_pairs"
        A result of :func:`corrshift.tl.pairs`: its `groupby`, `groups`, `within` column,
        data (`layer`, `use_raw`) and `method` are used unless given here.
    within : optional
        A level of the result's `within` column: only that level's cells.
    groupby, groups, layer, use_raw, method
        As in :func:`corrshift.tl.pairs`, for data without a stored result (pass ``key=None``).
    ax : Axes or pair of Axes, optional
        Two axes: one group in each. One axes: both groups in it. None: a new figure with
        one panel per group.
    show, save
        See the module's description; the default file name is ``corrshift_pair.png``.

    Returns
    -------
    list of Axes (one per group, or the one given), or None when shown.
    """
    plt = _pyplot()
    params = _run_params(adata, key)
    groupby = groupby if groupby is not None else params.get("groupby")
    if groups is None and "group_levels1" in params:
        groups = (params["group_levels1"], params["group_levels2"])
    if groupby is None or groups is None:
        raise InputError("pair: name the groups with groupby= and groups=, or give key= of a corrshift.tl result")
    if layer is None and use_raw is None and params:
        layer, use_raw = params.get("layer"), params.get("use_raw")
    method = method or params.get("method", "pearson")
    labels, _ = tl.obs_labels(adata, groupby, "groupby")
    chosen = tl._group_levels(groups, labels, groupby)
    cells = np.ones(labels.size, dtype=bool)
    title = "{} and {}".format(gene1, gene2)
    if within is not None:
        column = params.get("within")
        if column is None:
            raise InputError(
                "pair: within={!r} needs key= of a result made with within=; or pass the level's "
                "cells, e.g. adata[adata.obs['cell_type'] == 'B']".format(within)
            )
        levels, _ = tl.obs_labels(adata, column, "within")
        cells = levels == str(within)
        if not cells.any():
            raise InputError("pair: {!r} has no level {!r}".format(column, within))
        title += " in {}".format(within)
    matrix, _ = tl._data(adata, layer, use_raw)
    rows = [_inputs.one_row(matrix, gene, "gene{}".format(k + 1)) for k, gene in enumerate((gene1, gene2))]
    members = [np.flatnonzero(cells & np.isin(labels, levels)) for levels in chosen]
    values = [matrix.block(np.asarray(rows), columns) for columns in members]

    if ax is None:
        figure, panels = plt.subplots(1, 2, figsize=(8.4, 3.9), sharex=True, sharey=True)
        panels = list(panels)
        figure.suptitle(title)
    else:
        panels = list(ax) if isinstance(ax, (list, tuple, np.ndarray)) else [ax]
        if len(panels) not in (1, 2):
            raise InputError("pair: ax= takes one axes (both groups in it) or two (one group in each)")
        figure = panels[0].figure
    names = []
    for k, (levels, block) in enumerate(zip(chosen, values)):
        x, y = block[0], block[1]
        target = panels[k] if len(panels) == 2 else panels[0]
        r = _correlation(x, y, method)
        label = "+".join(levels)
        names.append("{}: r{} = {:.2f}".format(label, k + 1, r))
        target.scatter(x, y, s=9, alpha=0.6, color=GROUP_COLOURS[k], label=label, linewidths=0)
        if x.size >= 2 and np.ptp(x) > 0:
            slope, intercept = np.polyfit(x, y, 1)
            line = np.asarray([x.min(), x.max()])
            target.plot(line, intercept + slope * line, color=GROUP_COLOURS[k], linewidth=1.6)
        if len(panels) == 2:
            target.set_title("{} (n = {}): r{} = {:.2f}".format(label, x.size, k + 1, r), fontsize=10)
        target.set_xlabel(gene1)
    panels[0].set_ylabel(gene2)
    if len(panels) == 1:
        panels[0].set_title("; ".join(names), fontsize=10)
        panels[0].legend(frameon=False, fontsize=8)
    return _finish(figure, panels, show, save, "corrshift_pair.png")


def _table(adata: Any, key: str, within: Any) -> Tuple[Any, Optional[str]]:
    """The stored table (one level, or all with its level column) and that column's name."""
    frame = get.table_df(adata, key, within)
    column = get.params(adata, key).get("within")
    if column is None or within is not None:
        return frame, None
    return frame, frame.columns[0]


def _entry_names(frame: Any) -> List[str]:
    if "row1" in frame.columns:
        return ["{}/{}".format(a, b) for a, b in zip(frame["row1"].tolist(), frame["row2"].tolist())]
    name = next(c for c in ("row", "hub", "module") if c in frame.columns)
    return [str(v) for v in frame[name].tolist()]


def overview(
    adata: Any,
    key: str = "corrshift_pairs",
    *,
    within: Any = None,
    n_labels: int = 10,
    ax: Any = None,
    show: Optional[bool] = None,
    save: Any = None,
) -> Any:
    """Every entry of a stored result: its effect against ``-log10`` of its p-value, the
    `n_labels` most significant labelled.

    For pairs the effect is ``z_diff`` and the p-value ``p_value``; for rows and sets the
    score and ``perm_p`` (also for modules). A result made with ``within=`` shows one level (`within`) or all
    of them, one colour each.

    Returns
    -------
    Axes, or None when shown. The default file name of `save` is ``corrshift_overview.png``.
    """
    plt = _pyplot()
    frame, column = _table(adata, key, within)
    effect, p_name = ("z_diff", "p_value") if "z_diff" in frame.columns else ("score", "perm_p")
    x = frame[effect].to_numpy(np.float64)
    y = -np.log10(np.maximum(frame[p_name].to_numpy(np.float64), np.finfo(np.float64).tiny))
    if ax is None:
        figure, ax = plt.subplots(figsize=(6.4, 4.8))
    figure = ax.figure
    if column is None:
        ax.scatter(x, y, s=6, color="0.55", linewidths=0, rasterized=x.size > 5000)
    else:
        for k, level in enumerate(dict.fromkeys(frame[column].tolist())):
            chosen = (frame[column] == level).to_numpy()
            ax.scatter(
                x[chosen],
                y[chosen],
                s=6,
                color="C{}".format(k % 10),
                linewidths=0,
                label=str(level),
                rasterized=chosen.sum() > 5000,
            )
        ax.legend(title=column, frameon=False, fontsize=7, title_fontsize=8, markerscale=2)
    names = _entry_names(frame)
    if column is not None:
        names = ["{} ({})".format(n, level) for n, level in zip(names, frame[column].tolist())]
    best = np.lexsort((-np.abs(x), -y))[: max(0, int(n_labels))]
    ax.scatter(x[best], y[best], s=14, facecolors="none", edgecolors="k", linewidths=0.8)
    for k in best:
        ax.annotate(names[k], (x[k], y[k]), xytext=(3, 3), textcoords="offset points", fontsize=7)
    ax.axvline(0.0, color="0.8", linewidth=0.8, zorder=0)
    ax.set_xlabel(effect)
    ax.set_ylabel("-log10 {}".format(p_name))
    params = get.params(adata, key)
    groups = params.get("groups", ["group 1", "group 2"])
    ax.set_title(
        "{} vs {}{}".format(groups[0], groups[1], "" if within is None else " in {}".format(within)), fontsize=10
    )
    return _finish(figure, ax, show, save, "corrshift_overview.png")


def heatmap(
    adata: Any,
    key: str = "corrshift_pairs",
    *,
    within: Any = None,
    n_pairs: int = 20,
    ax: Any = None,
    cmap: str = "RdBu_r",
    show: Optional[bool] = None,
    save: Any = None,
) -> Any:
    """The correlations ``r1`` and ``r2`` of the `n_pairs` most significant pairs of a
    stored :func:`corrshift.tl.pairs` result, one row per pair.

    A result made with ``within=`` shows one level (`within`), or, without it, the most
    significant pairs of all levels with a column per level and group (blank where a
    level's table does not hold the pair).

    Returns
    -------
    Axes, or None when shown. The default file name of `save` is ``corrshift_heatmap.png``.
    """
    plt = _pyplot()
    frame, column = _table(adata, key, within)
    if "r1" not in frame.columns:
        raise InputError(
            "heatmap: adata.uns[{!r}] holds no correlations r1, r2 (a result of corrshift.tl.pairs has them)".format(
                key
            )
        )
    groups = get.params(adata, key).get("groups", ["group 1", "group 2"])
    names = np.asarray(_entry_names(frame), dtype=object)
    order = np.lexsort((-np.abs(frame["z_diff"].to_numpy(np.float64)), frame["p_value"].to_numpy(np.float64)))
    shown = list(dict.fromkeys(names[order].tolist()))[: max(1, int(n_pairs))]
    where = {name: k for k, name in enumerate(shown)}
    levels = [None] if column is None else list(dict.fromkeys(frame[column].tolist()))
    values = np.full((len(shown), 2 * len(levels)), np.nan)
    for j, level in enumerate(levels):
        chosen = np.ones(len(frame), dtype=bool) if level is None else (frame[column] == level).to_numpy()
        for name, r1, r2 in zip(names[chosen], frame["r1"].to_numpy()[chosen], frame["r2"].to_numpy()[chosen]):
            if name in where:
                values[where[name], 2 * j : 2 * j + 2] = (r1, r2)
    labels = [
        "{}{}".format("" if level is None else "{}: ".format(level), group) for level in levels for group in groups
    ]
    if ax is None:
        figure, ax = plt.subplots(figsize=(1.6 + 0.9 * len(labels), 1.2 + 0.28 * len(shown)))
    figure = ax.figure
    image = ax.imshow(
        np.ma.masked_invalid(values), cmap=cmap, vmin=-1.0, vmax=1.0, aspect="auto", interpolation="nearest"
    )
    ax.set_facecolor("0.9")
    ax.set_xticks(np.arange(len(labels)))
    ax.set_xticklabels(
        labels, rotation=45 if len(labels) > 2 else 0, ha="right" if len(labels) > 2 else "center", fontsize=8
    )
    ax.set_yticks(np.arange(len(shown)))
    ax.set_yticklabels(shown, fontsize=8)
    figure.colorbar(image, ax=ax, label="r", shrink=0.8)
    ax.set_title(
        "r1 and r2 of the {} most significant pairs{}".format(
            len(shown), "" if within is None else " in {}".format(within)
        ),
        fontsize=10,
    )
    return _finish(figure, ax, show, save, "corrshift_heatmap.png")


__all__ = ["pair", "overview", "heatmap"]
