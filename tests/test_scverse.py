"""scanpy's conventions: save/show/figdir, verbosity and log lines, warnings at the caller,
get.*_df(pval_cutoff=, gene_symbols=), reference="rest"; figures whose labels never overlap."""

import logging
import sys
import types
import warnings

import numpy as np
import pytest

import corrshift
from corrshift import InputError, _labels, _settings, results

OPTIONS = dict(permutations=20, n_jobs=2, progress=False, use_raw=False)


@pytest.fixture
def fake_scanpy(monkeypatch, tmp_path):
    """A stand-in for an imported scanpy: its settings, and its logging collecting lines."""
    lines = []
    settings = types.SimpleNamespace(
        figdir=tmp_path / "figs",
        file_format_figs="pdf",
        plot_suffix="",
        autosave=False,
        autoshow=False,
        verbosity=1,
    )
    log = types.SimpleNamespace(info=lambda m: lines.append(("info", m)), warning=lambda m: lines.append(("warn", m)))
    monkeypatch.setitem(sys.modules, "scanpy", types.SimpleNamespace(settings=settings, logging=log))
    settings.lines = lines
    return settings


# --- Labels -----------------------------------------------------------------------------


@pytest.fixture
def plt():
    matplotlib = pytest.importorskip("matplotlib")
    matplotlib.use("Agg")
    import matplotlib.pyplot as pyplot

    yield pyplot
    pyplot.close("all")


def test_labels_never_overlap_even_on_one_spot(plt):
    """Fifteen long labels, five of them on one point and the rest in a dense cloud: every
    label lies inside the axes, clear of every other and of every labelled point."""
    rng = np.random.default_rng(3)
    cloud = rng.normal(size=(4000, 2))
    figure, ax = plt.subplots(figsize=(5, 4))
    ax.scatter(cloud[:, 0], cloud[:, 1], s=3)
    x = np.concatenate([np.full(5, 2.5), rng.normal(size=10)])
    y = np.concatenate([np.full(5, 2.5), rng.normal(size=10)])
    ax.set_xlim(-4, 4)
    ax.set_ylim(-4, 4)
    figure.canvas.draw()
    drawn, left_out = _labels.place(
        ax, x, y, ["GENE{}/PARTNER{}".format(k, k) for k in range(15)], (cloud[:, 0], cloud[:, 1])
    )
    assert len(drawn) + left_out == 15 and len(drawn) >= 13
    boxes = _labels.text_boxes(ax)
    assert _labels.overlapping(boxes) == []
    frame = ax.get_window_extent()
    assert (boxes[:, 0] >= frame.x0).all() and (boxes[:, 2] <= frame.x1).all()
    anchors = ax.transData.transform(np.column_stack([x, y]))
    for x0, y0, x1, y1 in boxes:
        assert not ((anchors[:, 0] > x0) & (anchors[:, 0] < x1) & (anchors[:, 1] > y0) & (anchors[:, 1] < y1)).any()


def test_labels_keep_their_room_at_any_saving_dpi(plt):
    """A label beside a ring keeps clear of it when the figure is drawn at twice the dpi it
    was placed at (text widths do not scale exactly with the dpi)."""
    figure, ax = plt.subplots(figsize=(4, 3))
    ax.set_xlim(-0.2, 3)
    ax.set_ylim(-0.2, 3)
    figure.canvas.draw()
    room = 8.0
    (label,), _ = _labels.place(ax, [0.0], [0.0], ["9 of 20 cells at (0, 0)"], room=room, fontsize=7.5)
    for dpi in (100, 200, 300):
        figure.set_dpi(dpi)
        figure.canvas.draw()
        box = label.get_window_extent(figure.canvas.get_renderer())
        x, y = ax.transData.transform((0.0, 0.0))
        gap = max(box.x0 - x, x - box.x1, box.y0 - y, y - box.y1)  # in pixels at this dpi
        assert gap >= room * dpi / 100.0 - 0.5, dpi


@pytest.mark.parametrize("kind", ["correlations", "volcano"])
def test_overview_labels_do_not_overlap_and_the_threshold_is_drawn(cells, plt, kind):
    corrshift.tl.pairs(cells, "condition", ("stim", "ctrl"), **OPTIONS)
    ax = corrshift.pl.overview(cells, kind=kind, n_labels=12, show=False)
    assert len(ax.texts) == 12 and _labels.overlapping(_labels.text_boxes(ax)) == []
    table = corrshift.get.pairs_df(cells)
    passing = int((table["q_robust"] <= 0.05).sum())
    assert passing > 0 and "{} of 28 pairs with q_robust <= 0.05".format(passing) in ax.get_title()
    assert "q_robust = 0.05" in [t.get_text() for t in ax.get_legend().get_texts()]
    if kind == "volcano":  # the line lies at the largest p-value that passes
        cut = [line.get_ydata()[0] for line in ax.get_lines() if line.get_linestyle() == "--"]
        assert cut == [pytest.approx(-np.log10(table["p_robust"][table["q_robust"] <= 0.05].max()))]
    else:  # the curves: r1 whose z_diff with r2 is the passing z_diff nearest 0, on each side
        # where pairs pass (the robust p-value is not a function of z_diff alone)
        curves = [line for line in ax.get_lines() if line.get_linestyle() == "--"]
        z_passing = table["z_diff"][table["q_robust"] <= 0.05].to_numpy()
        edges = [z_passing[z_passing > 0].min()] if (z_passing > 0).any() else []
        edges += [z_passing[z_passing < 0].max()] if (z_passing < 0).any() else []
        assert len(curves) == len(edges) >= 1
        for curve, edge in zip(curves, edges):
            r1, r2 = curve.get_xdata(), curve.get_ydata()
            z = np.arctanh(np.clip(r1, -0.99, 0.99)) - np.arctanh(np.clip(r2, -0.99, 0.99))
            assert np.allclose(z[np.isfinite(z)], edge, atol=1e-6)


def test_overview_of_scores_and_of_many_levels(cells, plt):
    with pytest.warns(UserWarning, match="left out"):
        corrshift.tl.pairs(cells, "condition", ("stim", "ctrl"), within="cell_type", **OPTIONS)
    ax = corrshift.pl.overview(cells, show=False)
    assert "(within each level)" in ax.get_title()
    assert not [line for line in ax.get_lines() if line.get_linestyle() == "--"]  # a threshold per level
    corrshift.tl.rows(cells, "condition", ("stim", "ctrl"), **OPTIONS)
    ax = corrshift.pl.overview(cells, "corrshift_rows", show=False)
    legend = [t.get_text() for t in ax.get_legend().get_texts()]
    assert legend == ["perm_q = 0.05 (none reach it)"]  # 20 permutations: no perm_q that small
    with pytest.raises(InputError, match="kind='correlations' needs the correlations"):
        corrshift.pl.overview(cells, "corrshift_rows", kind="correlations")
    with pytest.raises(InputError, match="kind must be 'correlations' or 'volcano'"):
        corrshift.pl.overview(cells, kind="bars")


def test_pair_counts_the_cells_at_zero_and_names_the_values(cells, plt):
    corrshift.tl.pairs(cells, "condition", ("stim", "ctrl"), layer="counts", **dict(OPTIONS, use_raw=None))
    cells.layers["counts"][:12, 0] = 0.0
    cells.layers["counts"][:12, 1] = 0.0
    left, right = corrshift.pl.pair(cells, "G0", "G1", show=False)
    stim, ctrl = (cells.obs["condition"] == level for level in ("stim", "ctrl"))
    at_zero = (cells.layers["counts"][:, 0] == 0) & (cells.layers["counts"][:, 1] == 0)
    texts = [t.get_text() for t in left.texts + right.texts]
    assert texts == ["{} of {} cells at (0, 0)".format(int((at_zero & m).sum()), int(m.sum())) for m in (stim, ctrl)]
    assert left.get_xlabel() == "G0 (layer 'counts')" and left.get_ylabel() == "G1 (layer 'counts')"
    left, _ = corrshift.pl.pair(cells, "G0", "G1", units="counts", jitter=0.02, show=False)
    assert left.get_xlabel() == "G0 (counts)"
    with pytest.raises(InputError, match="pair: jitter must be a number from 0 to 0.5, got 2"):
        corrshift.pl.pair(cells, "G0", "G1", jitter=2)


def test_heatmap_boxes_each_level_where_a_pair_is_significant(cells, plt):
    with pytest.warns(UserWarning, match="left out"):
        corrshift.tl.pairs(cells, "condition", ("stim", "ctrl"), within="cell_type", **OPTIONS)
    ax = corrshift.pl.heatmap(cells, n_pairs=28, alpha=0.1, show=False)
    table = corrshift.get.pairs_df(cells)
    assert (table["q_robust"] <= 0.1).sum() > 0
    boxes = [p for p in ax.patches if p.get_edgecolor()[:3] == (0.0, 0.0, 0.0)]
    assert len(boxes) == int((table["q_robust"] <= 0.1).sum())
    rows = [t.get_text() for t in ax.get_yticklabels()]
    for box in boxes:
        row, level = int(round(box.get_y() + 0.45)), int(round(box.get_x() + 0.45)) // 2
        pair = rows[row].split("/")
        hit = table[(table["row1"] == pair[0]) & (table["row2"] == pair[1]) & (table["cell_type"] == ["T", "B"][level])]
        assert hit["q_robust"].item() <= 0.1


# --- save= and show= as scanpy's -----------------------------------------------------------


def test_save_and_show_follow_scanpys_settings(cells, plt, fake_scanpy, tmp_path, monkeypatch):
    corrshift.tl.pairs(cells, "condition", ("stim", "ctrl"), **OPTIONS)
    figdir = fake_scanpy.figdir
    cases = [
        (True, figdir / "corrshift_overview.pdf"),
        (".png", figdir / "corrshift_overview.png"),
        ("_b.svg", figdir / "corrshift_overview_b.svg"),
        ("_c", figdir / "corrshift_overview_c.pdf"),  # file_format_figs
        (tmp_path / "given.png", tmp_path / "given.png"),  # a path: as given
    ]
    for save, expected in cases:
        assert corrshift.pl.figure_path(save, "corrshift_overview")[0] == str(expected)
    assert corrshift.pl.overview(cells, save=".png") is not None  # autoshow off: the axes
    assert (figdir / "corrshift_overview.png").stat().st_size > 5000
    assert fake_scanpy.lines[-1] == ("warn", "saving figure to file {}".format(figdir / "corrshift_overview.png"))
    fake_scanpy.plot_suffix = "_v2"
    fake_scanpy.autosave = True
    corrshift.pl.heatmap(cells)
    assert (figdir / "corrshift_heatmap_v2.pdf").exists()
    shown = []
    monkeypatch.setattr(plt, "show", lambda: shown.append(True))
    fake_scanpy.autosave, fake_scanpy.autoshow = False, True
    assert corrshift.pl.pair(cells, "G0", "G1") is None and shown == [True]


def test_without_scanpy_figures_go_to_the_figures_folder(cells, plt, tmp_path, monkeypatch):
    monkeypatch.setitem(sys.modules, "scanpy", None)
    monkeypatch.chdir(tmp_path)
    corrshift.tl.pairs(cells, "condition", ("stim", "ctrl"), **OPTIONS)
    assert corrshift.pl.overview(cells, save=".png") is not None  # not interactive: not shown
    assert (tmp_path / "figures" / "corrshift_overview.png").exists()
    with pytest.raises(InputError, match="cannot write the figure"):
        corrshift.pl.overview(cells, save=str(tmp_path / "no" / "such" / "folder.png"))


# --- Progress, log lines, warnings ---------------------------------------------------------


def test_verbosity_0_and_progress_false_silence_the_bar(fake_scanpy, capsys):
    ex = corrshift.load_example()
    args = (ex.expression[:40], ex.mol_biol == "BCR/ABL", ex.mol_biol == "NEG")
    corrshift.ztest(*args, permutations=30)
    assert "corrshift" in capsys.readouterr().err
    fake_scanpy.verbosity = 0
    corrshift.ztest(*args, permutations=30)
    assert capsys.readouterr().err == ""
    assert _settings.show_progress(True) is False
    fake_scanpy.verbosity = 2
    assert _settings.show_progress(True) is True and _settings.show_progress(False) is False


def test_one_log_line_per_stored_result(cells, fake_scanpy, monkeypatch, caplog):
    corrshift.tl.pairs(cells, "condition", ("stim", "ctrl"), **OPTIONS)
    corrshift.tl.rows(cells, "condition", ("stim", "ctrl"), **OPTIONS)
    assert [m for kind, m in fake_scanpy.lines if kind == "info"] == [
        "corrshift.tl.pairs: added to `.uns['corrshift_pairs']`: 28 pairs of stim vs ctrl, from X",
        "corrshift.tl.rows: added to `.uns['corrshift_rows']`: 8 rows of stim vs ctrl, from X",
        "corrshift.tl.rows: added to `.var`: 'corrshift_rows_score', 'corrshift_rows_perm_p', 'corrshift_rows_perm_q'",
    ]
    monkeypatch.setitem(sys.modules, "scanpy", None)  # without scanpy: the "corrshift" logger
    with caplog.at_level(logging.INFO, logger="corrshift"):
        corrshift.tl.pairs(cells, "condition", ("stim", "ctrl"), key_added="again", **dict(OPTIONS, use_raw=None))
    assert caplog.messages == ["corrshift.tl.pairs: added to `.uns['again']`: 45 pairs of stim vs ctrl, from .raw"]


def test_warnings_name_the_callers_line(cells):
    ex = corrshift.load_example()
    data = ex.expression[:30].copy()
    data[3, ex.mol_biol == "NEG"] = 1.0
    calls = [
        lambda: corrshift.ztest(data, ex.mol_biol == "BCR/ABL", ex.mol_biol == "NEG", permutations=0),
        lambda: corrshift.module_scores(data, {"m": ["0", "1", "x"]}, ex.mol_biol == "BCR/ABL", ex.mol_biol == "NEG"),
        lambda: corrshift.tl.pairs(cells, "condition", ("stim", "ctrl"), within="cell_type", **OPTIONS),
    ]
    for call in calls:
        with warnings.catch_warnings(record=True) as caught:
            warnings.simplefilter("always")
            call()
        assert caught and {w.filename for w in caught} == {__file__}, [(w.filename, str(w.message)) for w in caught]


# --- get -----------------------------------------------------------------------------------


def test_pval_cutoff_and_gene_symbols(cells):
    cells.raw.var["symbol"] = ["S{}".format(j) for j in range(10)]
    cells.var["symbol"] = ["V{}".format(j) for j in range(8)]
    corrshift.tl.pairs(cells, "condition", ("stim", "ctrl"), **dict(OPTIONS, use_raw=None))
    whole = corrshift.get.pairs_df(cells)
    kept = corrshift.get.pairs_df(cells, pval_cutoff=0.05)
    assert 0 < len(kept) < len(whole)
    assert kept.equals(whole[whole["q_robust"] < 0.05].reset_index(drop=True))
    named = corrshift.get.pairs_df(cells, gene_symbols="symbol")
    assert list(named.columns[:4]) == ["row1", "symbol1", "row2", "symbol2"]
    assert (named["symbol1"] == "S" + named["row1"].str[1:]).all()  # from .raw.var: the run used .raw
    corrshift.tl.rows(cells, "condition", ("stim", "ctrl"), **OPTIONS)
    rows = corrshift.get.rows_df(cells, gene_symbols="symbol", pval_cutoff=1.0)
    assert list(rows.columns[:2]) == ["row", "symbol"] and (rows["symbol"] == "V" + rows["row"].str[1:]).all()
    with pytest.raises(InputError, match="gene_symbols='nope': adata.var has no such column; it has 'symbol'"):
        corrshift.get.pairs_df(cells, gene_symbols="nope")
    with pytest.raises(InputError, match="pval_cutoff must be a number from 0 to 1, got 5"):
        corrshift.get.rows_df(cells, pval_cutoff=5)
    with pytest.raises(TypeError, match="positional argument"):
        corrshift.get.pairs_df(cells, None, "corrshift_pairs")  # key is keyword-only


def test_the_significance_columns_are_one_choice():
    get = corrshift.get
    assert get.significance(results.PAIR_COLUMNS + ("p_robust", "q_robust")) == ("p_robust", "q_robust")
    assert get.significance(results.PAIR_COLUMNS) == ("p_value", "q_value")  # significance="normal"
    assert get.significance(results.ROW_COLUMNS) == ("perm_p", "perm_q")


# --- reference= ----------------------------------------------------------------------------


def test_reference_rest_is_every_other_level(cells):
    corrshift.tl.pairs(cells, "cell_type", "T", reference="rest", key_added="rest", **OPTIONS)
    corrshift.tl.pairs(cells, "cell_type", ("T", ["B", "rare"]), key_added="listed", **OPTIONS)
    rest, listed = corrshift.get.pairs_df(cells, key="rest"), corrshift.get.pairs_df(cells, key="listed")
    assert rest.equals(listed)
    params = corrshift.get.params(cells, "rest")
    assert params["groups"] == ["T", "rest"] and params["group_levels2"] == ["B", "rare"]
    assert rest.attrs["group2"] == "rest" and listed.attrs["group2"] == "B+rare"
    corrshift.tl.rows(cells, "cell_type", "T", reference="B", **OPTIONS)
    assert corrshift.get.params(cells, "corrshift_rows")["groups"] == ["T", "B"]
    with pytest.raises(InputError, match="reference: 'cell_type' has no level 'nope'"):
        corrshift.tl.pairs(cells, "cell_type", "T", reference="nope", **OPTIONS)
    with pytest.raises(InputError, match="reference='rest': 'condition' has no level besides 'stim', 'ctrl'"):
        corrshift.tl.pairs(cells, "condition", ["stim", "ctrl"], reference="rest", **OPTIONS)
