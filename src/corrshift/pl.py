"""Figures of the results that :mod:`corrshift.tl` stored in an AnnData object, in the manner
of scanpy's ``sc.pl`` functions. Each draws into the axes given (``ax=``) or a new figure,
and treats ``save=`` and ``show=`` as scanpy's functions do:

* ``save=True`` writes ``<figdir>/<name><plot_suffix>.<format>`` (``corrshift_pair``,
  ``corrshift_overview``, ``corrshift_heatmap``); a text such as ``"_monocytes.png"`` is put
  after the name (its ending ``.png``, ``.pdf`` or ``.svg`` chooses the format), so
  ``save=".pdf"`` writes ``figures/corrshift_overview.pdf``. The folder, format and suffix
  are ``sc.settings.figdir``, ``file_format_figs`` and ``plot_suffix`` when scanpy has been
  imported, else ``./figures``, png and none (scanpy's defaults); the folder is made when
  missing. ``save=None`` saves when ``sc.settings.autosave`` is set. A path (a
  :class:`pathlib.Path`, or a text with a folder in it such as ``"out/pair.png"``) is written
  as given. A saved figure is closed.
* ``show=None`` shows the figure when ``sc.settings.autoshow`` is set (scanpy imported), or
  else when matplotlib is interactive (a notebook); a shown figure returns None, else the
  axes are returned.

Needs matplotlib (the ``plot`` extra: ``pip install 'corrshift[plot]'``).

* :func:`pair` -- one pair of genes in the two groups: a scatter per group with its fitted
  line, the group's correlation in the title, the cells at (0, 0) counted.
* :func:`overview` -- every entry of a result: the change of correlation ``r1 - r2`` (the
  score for rows, sets and modules) against ``-log10`` of its p-value, coloured by the
  correlation class, the significance threshold drawn and the best entries labelled
  without overlaps.
* :func:`heatmap` -- the correlations ``r1`` and ``r2`` of the most significant pairs,
  each level where a pair is significant boxed.

The significance shown is that of :func:`corrshift.get.significance` (``p_value`` and
``q_value`` for pairs, ``perm_p`` and ``perm_q`` for scores).
"""

import os
from typing import Any, List, Optional, Sequence, Tuple

import numpy as np

from . import _inputs, _labels, _settings, get, tl
from ._inputs import InputError

#: Colours of group 1 and group 2.
GROUP_COLOURS = ("#1f77b4", "#d62728")
#: Colours of the correlation classes of a pair table (see the ``class`` column): a change
#: of sign in red and blue, a correlation in one group only in lighter shades, none in grey.
CLASS_COLOURS = {
    "+/-": "#b2182b",
    "-/+": "#2166ac",
    "+/0": "#ef8a62",
    "0/+": "#67a9cf",
    "-/0": "#8073ac",
    "0/-": "#e08214",
    "+/+": "#1b7837",
    "-/-": "#762a83",
    "0/0": "#b3b3b3",
}
#: Resolution of saved figures when matplotlib's ``savefig.dpi`` is left at "figure".
SAVE_DPI = 120


def _pyplot() -> Any:
    try:
        import matplotlib.pyplot as plt  # type: ignore[import]
    except ImportError:
        raise ImportError(
            "corrshift.pl needs matplotlib: pip install 'corrshift[plot]' (or pip install matplotlib)"
        ) from None
    return plt


def figure_path(save: Any, name: str) -> Tuple[Optional[str], bool]:
    """Where ``save=`` puts the figure called `name` (see the module's description; None when
    it is not saved), and whether that is in the figure folder (made when missing)."""
    settings = _settings.scanpy_settings()
    if save is None:
        save = bool(getattr(settings, "autosave", False))
    if isinstance(save, (bool, np.bool_)):
        if not save:
            return None, False
        save = ""
    if isinstance(save, os.PathLike):
        return os.fspath(save), False
    if not isinstance(save, str):
        raise InputError("save must be True, a text put after the figure's name, or a path; got {!r}".format(save))
    if os.sep in save or (os.altsep and os.altsep in save):
        return save, False
    folder = os.fspath(getattr(settings, "figdir", "figures"))
    extension = str(getattr(settings, "file_format_figs", "png"))
    for ending in (".svg", ".pdf", ".png"):
        if save.endswith(ending):
            extension, save = ending[1:], save[: -len(ending)]
            break
    suffix = str(getattr(settings, "plot_suffix", ""))
    return os.path.join(folder, "{}{}{}.{}".format(name, save, suffix, extension)), True


def _finish(figure: Any, axes: Any, show: Optional[bool], save: Any, name: str) -> Any:
    plt = _pyplot()
    path, in_figdir = figure_path(save, name)
    if path is not None:
        dpi = plt.rcParams["savefig.dpi"]
        try:
            if in_figdir:
                os.makedirs(os.path.dirname(path) or ".", exist_ok=True)
            figure.savefig(path, dpi=SAVE_DPI if isinstance(dpi, str) else dpi, bbox_inches="tight")
        except OSError as err:
            raise InputError(
                "save={!r}: cannot write the figure {}: {}".format(save, path, err.strerror or err)
            ) from None
        _settings.saving("saving figure to file {}".format(path))
    if show is None:
        settings = _settings.scanpy_settings()
        show = bool(settings.autoshow) if hasattr(settings, "autoshow") else plt.isinteractive()
    if show:
        plt.show()
    if path is not None:
        plt.close(figure)
    return None if show else axes


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
    units: Optional[str] = None,
    alpha: float = 0.5,
    jitter: float = 0.0,
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
    units : str, optional
        What the values are, for the axis labels (e.g. "log-normalised counts"); by default
        the matrix they come from (".raw", "X" or the layer's name).
    alpha : float, default 0.5
        Opacity of the points, so that cells on one spot show as a darker dot.
    jitter : float, default 0
        Spread the points drawn (not the line or r) by up to this fraction of each axis's
        range, uniformly at random (fixed seed), to show cells that share a value. The
        cells at (0, 0) are counted in each panel whatever it is.
    ax : Axes or pair of Axes, optional
        Two axes: one group in each. One axes: both groups in it. None: a new figure with
        one panel per group.
    show, save
        As in scanpy (see the module's description); the figure's name is ``corrshift_pair``.

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
    for argname, value, low, high in (("alpha", alpha, 0.0, 1.0), ("jitter", jitter, 0.0, 0.5)):
        if isinstance(value, (bool, np.bool_)) or not isinstance(value, (int, float, np.integer, np.floating)):
            raise InputError("pair: {} must be a number from {:g} to {:g}, got {!r}".format(argname, low, high, value))
        if not low <= float(value) <= high:
            raise InputError("pair: {} must be a number from {:g} to {:g}, got {!r}".format(argname, low, high, value))
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
    what = units if units is not None else str(matrix.source)
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
    everything = np.concatenate([block for block in values], axis=1)
    spans = [float(np.ptp(everything[k])) if everything.size else 0.0 for k in (0, 1)]
    rng = np.random.default_rng(0)
    names = []
    at_zero: List[Tuple[Any, int, int, int, np.ndarray, np.ndarray]] = []
    for k, (levels, block) in enumerate(zip(chosen, values)):
        x, y = block[0], block[1]
        target = panels[k] if len(panels) == 2 else panels[0]
        r = _correlation(x, y, method)
        label = str(params["groups"][k]) if "groups" in params else "+".join(levels)
        names.append("{}: r{} = {:.2f}".format(label, k + 1, r))
        shown_x, shown_y = x, y
        if jitter > 0:
            shown_x = x + rng.uniform(-jitter, jitter, x.size) * spans[0]
            shown_y = y + rng.uniform(-jitter, jitter, y.size) * spans[1]
        target.scatter(shown_x, shown_y, s=10, alpha=float(alpha), color=GROUP_COLOURS[k], label=label, linewidths=0)
        if x.size >= 2 and np.ptp(x) > 0:
            slope, intercept = np.polyfit(x, y, 1)
            line = np.linspace(x.min(), x.max(), 40)
            target.plot(line, intercept + slope * line, color=GROUP_COLOURS[k], linewidth=1.6)
        zeros = int(np.count_nonzero((x == 0) & (y == 0)))
        if zeros > 1:
            # The cells at (0, 0) draw one dot: a ring whose area counts them, and its count.
            target.scatter([0.0], [0.0], s=12 + 2.0 * zeros, facecolors="none", edgecolors=GROUP_COLOURS[k])
            at_zero.append((target, k, zeros, x.size, shown_x, shown_y))
        if len(panels) == 2:
            target.set_title("{} (n = {}): r{} = {:.2f}".format(label, x.size, k + 1, r), fontsize=10)
        target.set_xlabel("{} ({})".format(gene1, what))
    panels[0].set_ylabel("{} ({})".format(gene2, what))
    if len(panels) == 1:
        panels[0].set_title("; ".join(names), fontsize=10)
        panels[0].legend(frameon=False, fontsize=8, loc="lower right")
    if at_zero:
        figure.canvas.draw()  # the final layout, for the label boxes
        for target in dict.fromkeys(entry[0] for entry in at_zero):
            mine = [entry for entry in at_zero if entry[0] is target]
            crowd_x = np.concatenate([entry[4] for entry in mine] + [line.get_xdata() for line in target.get_lines()])
            crowd_y = np.concatenate([entry[5] for entry in mine] + [line.get_ydata() for line in target.get_lines()])
            _labels.place(
                target,
                [0.0] * len(mine),
                [0.0] * len(mine),
                ["{} of {} cells at (0, 0)".format(zeros, total) for _, _, zeros, total, _, _ in mine],
                others=(crowd_x, crowd_y),
                room=float(np.sqrt(12 + 2.0 * max(entry[2] for entry in mine)) * figure.dpi / 72.0 / 2.0) + 4.0,
                colors=[GROUP_COLOURS[entry[1]] for entry in mine],
                fontsize=7.5,
            )
    return _finish(figure, panels, show, save, "corrshift_pair")


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


def _level_of_alpha(alpha: Any) -> float:
    if isinstance(alpha, (bool, np.bool_)) or not isinstance(alpha, (int, float, np.integer, np.floating)):
        raise InputError("alpha must be a q-value threshold between 0 and 1, got {!r}".format(alpha))
    if not 0.0 < float(alpha) < 1.0:
        raise InputError("alpha must be a q-value threshold between 0 and 1, got {!r}".format(alpha))
    return float(alpha)


def _pass_region(frame: Any, p_name: str, passes: np.ndarray, alpha: float, params: dict) -> Optional[tuple]:
    """The z_diff values from which on a pair passes, (upper or None, lower or None, whether
    any pair reaches them), where passing is a matter of z_diff alone: the smallest passing
    z_diff above 0 and the largest below 0 when every pair beyond them passes and no other
    does; with no pair passing, for ``p_value`` (the normal approximation, whose p-value
    is a function of z_diff), the z_diff that the best pair would need (p at most alpha/m).
    None otherwise."""
    if "z_diff" not in frame.columns:
        return None
    z = frame["z_diff"].to_numpy(np.float64)
    known = np.isfinite(z)
    symmetric = p_name == "p_value" and params.get("alternative", "two-sided") == "two-sided"
    if passes.any():
        upper = float(np.min(z[passes & (z > 0)])) if (passes & (z > 0)).any() else None
        lower = float(np.max(z[passes & (z < 0)])) if (passes & (z < 0)).any() else None
        if symmetric:  # the two-sided p-value is a function of |z_diff|
            bound = min(v for v in (upper, None if lower is None else -lower) if v is not None)
            upper, lower = bound, -bound
        beyond = np.zeros(z.size, dtype=bool)
        if upper is not None:
            beyond |= z >= upper
        if lower is not None:
            beyond |= z <= lower
        if not np.array_equal(beyond[known], passes[known]):
            return None
        return upper, lower, True
    if p_name != "p_value" or not known.any() or "n1" not in frame.columns:
        return None
    from statistics import NormalDist

    n1, n2 = float(frame["n1"].iloc[0]), float(frame["n2"].iloc[0])
    c = 1.06 if params.get("method") == "spearman" else 1.0
    se = np.sqrt(c / (n1 - 3.0) + c / (n2 - 3.0))
    needed = alpha / int(np.count_nonzero(np.isfinite(frame[p_name].to_numpy(np.float64))))
    alternative = params.get("alternative", "two-sided")
    bound = float(se * abs(NormalDist().inv_cdf(needed / 2.0 if alternative == "two-sided" else needed)))
    return (None if alternative == "less" else bound), (None if alternative == "greater" else -bound), False


def overview(
    adata: Any,
    key: str = "corrshift_pairs",
    *,
    within: Any = None,
    kind: Optional[str] = None,
    n_labels: int = 10,
    alpha: float = 0.05,
    color: Optional[str] = None,
    ax: Any = None,
    show: Optional[bool] = None,
    save: Any = None,
) -> Any:
    """Every entry of a stored result in two dimensions, its significance threshold drawn and
    the `n_labels` most significant entries labelled.

    The significance is that of :func:`corrshift.get.significance` (``p_value`` and
    ``q_value`` for pairs, ``perm_p`` and ``perm_q`` for scores). Entries with a q-value at
    most `alpha` are drawn opaque, the others faint. Labels are placed so that none
    overlaps another or a labelled point; a label with no room is left out, and the title
    says how many.

    Parameters
    ----------
    key : str, default "corrshift_pairs"
        The ``key_added`` of a :mod:`corrshift.tl` run.
    within : optional
        A level of the result's `within` column: that level only; None shows every level.
    kind : {"correlations", "volcano"}, optional
        "correlations" (the default for pairs and modules): ``r1`` against ``r2`` (for
        modules ``mean_r1`` against ``mean_r2``), the diagonal marking no change. The normal
        approximation's p-value is a function of ``z_diff`` alone, so its threshold is a
        pair of curves here (drawn where passing depends on ``z_diff`` alone, one level at a
        time). "volcano" (the default for rows and sets): the change (``r1 - r2`` for pairs,
        the score otherwise) against ``-log10`` p-value, the threshold a line at the largest
        p-value that passes (one level at a time).
    n_labels : int, default 10
    alpha : float, default 0.05
        The q-value threshold.
    color : {"class", "level"}, optional
        Colour the points by correlation class (the ``class`` column of pairs; their
        default) or by level of `within` (the default for scores of several levels).
    ax, show, save
        As in scanpy (see the module's description); the figure's name is ``corrshift_overview``.

    Returns
    -------
    Axes, or None when shown.
    """
    plt = _pyplot()
    alpha = _level_of_alpha(alpha)
    frame, column = _table(adata, key, within)
    p_name, q_name = get.significance(frame.columns)
    params = get.params(adata, key)
    groups = params.get("groups", ["group 1", "group 2"])
    pairs = "r1" in frame.columns and "r2" in frame.columns
    correlations = ("r1", "r2") if pairs else ("mean_r1", "mean_r2") if "mean_r1" in frame.columns else None
    if kind is None:
        kind = "correlations" if correlations is not None else "volcano"
    if kind not in ("correlations", "volcano"):
        raise InputError("overview: kind must be 'correlations' or 'volcano', got {!r}".format(kind))
    if kind == "correlations" and correlations is None:
        raise InputError(
            "overview: kind='correlations' needs the correlations of a pair or module result; "
            "adata.uns[{!r}] holds scores only: use kind='volcano'".format(key)
        )
    p = frame[p_name].to_numpy(np.float64)
    minus_log_p = -np.log10(np.maximum(p, np.finfo(np.float64).tiny))
    if kind == "correlations":
        assert correlations is not None
        x, y = (frame[c].to_numpy(np.float64) for c in correlations)
        x_label = "{} ({})".format(correlations[0], groups[0])
        y_label = "{} ({})".format(correlations[1], groups[1])
    else:
        if pairs:
            x = frame["r1"].to_numpy(np.float64) - frame["r2"].to_numpy(np.float64)
            x_label = "r1 - r2 (change of correlation, {} - {})".format(groups[0], groups[1])
        else:
            x = frame["score"].to_numpy(np.float64)
            x_label = "score"
        y, y_label = minus_log_p, "-log10 {}".format(p_name)
    passes = frame[q_name].to_numpy(np.float64) <= alpha
    if color is None:
        color = "class" if "class" in frame.columns else ("level" if column is not None else None)
    if color not in (None, "class", "level") or (color == "class" and "class" not in frame.columns):
        raise InputError("overview: color must be 'class' (pair results) or 'level', got {!r}".format(color))
    if color == "level" and column is None:
        color = None
    if ax is None:
        figure, ax = plt.subplots(figsize=(5.6, 4.8) if kind == "correlations" else (6.4, 4.8))
    figure = ax.figure
    many = x.size > 5000
    if color == "class":
        kinds = frame["class"].astype(str).to_numpy()
        order = [c for c in reversed(list(CLASS_COLOURS)) if c in set(kinds.tolist())]  # "0/0" underneath
        colours = [CLASS_COLOURS[c] for c in order]
        title = "class ({} / {})".format(groups[0], groups[1])
    elif color == "level":
        kinds = frame[column].astype(str).to_numpy()
        order = list(dict.fromkeys(kinds.tolist()))
        colours = ["C{}".format(k % 10) for k in range(len(order))]
        title = str(column)
    else:
        kinds, order, colours, title = np.full(x.size, ""), [""], ["0.45"], None
    for name, colour in zip(order, colours):
        chosen = kinds == name
        faint, strong = chosen & ~passes, chosen & passes
        ax.scatter(x[faint], y[faint], s=4, color=colour, alpha=0.35, linewidths=0, rasterized=many)
        ax.scatter(
            x[strong],
            y[strong],
            s=9,
            color=colour,
            alpha=0.9,
            linewidths=0,
            rasterized=many,
            label="{} ({:,})".format(name, int(chosen.sum())) if name else None,
        )
    handles, texts = ax.get_legend_handles_labels()
    one_level = column is None
    reached = bool(passes.any())
    none_reach = "" if reached else " (none reach it)"
    if kind == "correlations":
        ax.plot([-1, 1], [-1, 1], color="0.8", linewidth=0.8, zorder=0)
        region = _pass_region(frame, p_name, passes, alpha, params) if one_level and pairs else None
        if region is not None:
            grid = np.linspace(-1.0, 1.0, 801)
            clamp = np.arctanh(0.99)
            line = None
            for z0 in region[:2]:
                if z0 is None:
                    continue
                # r1 whose z_diff with r2 = grid is z0 (each clamped to +-0.99, as z_diff is).
                target = np.arctanh(np.clip(grid, -0.99, 0.99)) + z0
                r1 = np.where(np.abs(target) <= clamp, np.tanh(target), np.nan)
                (line,) = ax.plot(r1, grid, color="0.3", linestyle="--", linewidth=0.8, zorder=1)
            if line is not None:
                handles.append(line)
                texts.append("{} = {:g}{}".format(q_name, alpha, none_reach))
        ax.set_xlim(-1.05, 1.05)
        ax.set_ylim(-1.05, 1.05)
        ax.set_aspect("equal")
    else:
        top = 0.0
        if one_level and np.isfinite(p).any():
            level = float(np.max(p[passes])) if reached else alpha / int(np.count_nonzero(np.isfinite(p)))
            top = -np.log10(max(level, np.finfo(np.float64).tiny))
            handles.append(ax.axhline(top, color="0.3", linestyle="--", linewidth=0.8))
            texts.append("{} = {:g}{}".format(q_name, alpha, none_reach))
        ax.axvline(0.0, color="0.85", linewidth=0.8, zorder=0)
        finite = np.isfinite(x) & np.isfinite(y)
        if finite.any():
            low, high = float(np.min(x[finite])), float(np.max(x[finite]))
            pad = 0.06 * (high - low) if high > low else 0.5
            ax.set_xlim(low - pad, high + pad)
            ax.set_ylim(0.0, max(float(np.max(y[finite])), top) * 1.12 + 0.1)
    ax.set_xlabel(x_label)
    ax.set_ylabel(y_label)
    if handles:
        ax.legend(
            handles,
            texts,
            title=title,
            frameon=False,
            fontsize=7,
            title_fontsize=8,
            markerscale=1.5,
            loc="upper left",
            bbox_to_anchor=(1.02, 1.0),
        )
    names = _entry_names(frame)
    if column is not None:
        names = ["{} ({})".format(n, level) for n, level in zip(names, frame[column].tolist())]
    change = np.abs(frame["z_diff"].to_numpy(np.float64)) if "z_diff" in frame.columns else np.abs(x)
    best = np.lexsort((_nan_last(-change), _nan_last(p)))[: max(0, int(n_labels))]
    best = best[np.isfinite(x[best]) & np.isfinite(y[best])]
    ax.scatter(x[best], y[best], s=16, facecolors="none", edgecolors="k", linewidths=0.7)
    figure.canvas.draw()  # the final layout, for the label boxes
    _, left_out = _labels.place(ax, x[best], y[best], [names[k] for k in best], others=(x, y))
    where = "" if within is None else " in {}".format(within)
    counted = "{:,} of {:,} {} with {} <= {:g}".format(
        int(passes.sum()), x.size, "pairs" if pairs else "entries", q_name, alpha
    )
    if column is not None:
        counted += " (within each level)"
    ax.set_title(
        "{} vs {}{}:\n{}{}".format(
            groups[0],
            groups[1],
            where,
            counted,
            "; {} label(s) left out for room".format(left_out) if left_out else "",
        ),
        fontsize=9,
    )
    return _finish(figure, ax, show, save, "corrshift_overview")


def _nan_last(values: np.ndarray) -> np.ndarray:
    return np.where(np.isnan(values), np.inf, values)


def heatmap(
    adata: Any,
    key: str = "corrshift_pairs",
    *,
    within: Any = None,
    n_pairs: int = 20,
    alpha: float = 0.05,
    ax: Any = None,
    cmap: str = "RdBu_r",
    show: Optional[bool] = None,
    save: Any = None,
) -> Any:
    """The correlations ``r1`` and ``r2`` of the `n_pairs` most significant pairs of a
    stored :func:`corrshift.tl.pairs` result, one row per pair.

    A result made with ``within=`` shows one level (`within`), or, without it, the most
    significant pairs of all levels with a column per level and group (blank where a
    level's table does not hold the pair). The two cells of each level where a pair's
    q-value (:func:`corrshift.get.significance`) is at most `alpha` are boxed, so the figure
    shows which level made the pair significant.

    Returns
    -------
    Axes, or None when shown. The figure's name for `save` is ``corrshift_heatmap``.
    """
    plt = _pyplot()
    from matplotlib.patches import Rectangle  # type: ignore[import]

    alpha = _level_of_alpha(alpha)
    frame, column = _table(adata, key, within)
    if "r1" not in frame.columns:
        raise InputError(
            "heatmap: adata.uns[{!r}] holds no correlations r1, r2 (a result of corrshift.tl.pairs has them)".format(
                key
            )
        )
    p_name, q_name = get.significance(frame.columns)
    groups = get.params(adata, key).get("groups", ["group 1", "group 2"])
    names = np.asarray(_entry_names(frame), dtype=object)
    order = np.lexsort((-np.abs(frame["z_diff"].to_numpy(np.float64)), _nan_last(frame[p_name].to_numpy(np.float64))))
    shown = list(dict.fromkeys(names[order].tolist()))[: max(1, int(n_pairs))]
    where = {name: k for k, name in enumerate(shown)}
    levels = [None] if column is None else list(dict.fromkeys(frame[column].tolist()))
    values = np.full((len(shown), 2 * len(levels)), np.nan)
    marked = np.zeros((len(shown), len(levels)), dtype=bool)
    q = frame[q_name].to_numpy(np.float64)
    for j, level in enumerate(levels):
        chosen = np.ones(len(frame), dtype=bool) if level is None else (frame[column] == level).to_numpy()
        for name, r1, r2, qk in zip(
            names[chosen], frame["r1"].to_numpy()[chosen], frame["r2"].to_numpy()[chosen], q[chosen]
        ):
            if name in where:
                values[where[name], 2 * j : 2 * j + 2] = (r1, r2)
                marked[where[name], j] = qk <= alpha
    labels = [
        "{}{}".format("" if level is None else "{}: ".format(level), group) for level in levels for group in groups
    ]
    if ax is None:
        figure, ax = plt.subplots(figsize=(1.6 + 0.9 * len(labels), 1.4 + 0.28 * len(shown)))
    figure = ax.figure
    image = ax.imshow(
        np.ma.masked_invalid(values), cmap=cmap, vmin=-1.0, vmax=1.0, aspect="auto", interpolation="nearest"
    )
    for j in range(1, len(levels)):
        ax.axvline(2 * j - 0.5, color="white", linewidth=2.0)
    for row, j in zip(*np.nonzero(marked)):
        ax.add_patch(
            Rectangle(
                (2 * j - 0.45, row - 0.45), 1.9, 0.9, fill=False, edgecolor="k", linewidth=1.4, zorder=3, clip_on=False
            )
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
        "r1 and r2 of the {} most significant pairs{}\nboxed: {} <= {:g}{}".format(
            len(shown),
            "" if within is None else " in {}".format(within),
            q_name,
            alpha,
            " in that level" if column is not None else "",
        ),
        fontsize=9,
    )
    return _finish(figure, ax, show, save, "corrshift_heatmap")


__all__ = ["pair", "overview", "heatmap", "figure_path"]
