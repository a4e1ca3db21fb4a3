"""corrshift.pl: each figure drawn from a stored result and written as a PNG of the
expected size; without matplotlib a clear message."""

import sys

import numpy as np
import pytest

import corrshift
from corrshift import InputError

matplotlib = pytest.importorskip("matplotlib")
matplotlib.use("Agg")
plt = pytest.importorskip("matplotlib.pyplot")

OPTIONS = dict(permutations=20, n_jobs=2, progress=False, use_raw=False)


@pytest.fixture(autouse=True)
def scanpy_shows_nothing():
    """Where another test imported scanpy, its default autoshow would show every figure (and
    return None, as scanpy's functions do): these tests look at the axes instead."""
    settings = getattr(sys.modules.get("scanpy"), "settings", None)
    if settings is None:
        yield
        return
    before = settings.autoshow
    settings.autoshow = False
    try:
        yield
    finally:
        settings.autoshow = before


@pytest.fixture
def analysed(cells):
    with pytest.warns(UserWarning, match="left out"):
        corrshift.tl.pairs(cells, "condition", ("stim", "ctrl"), within="cell_type", **OPTIONS)
    corrshift.tl.pairs(cells, "condition", ("stim", "ctrl"), key_added="whole", **OPTIONS)
    yield cells
    plt.close("all")


def png_size(path):
    """Width and height of a PNG file, from its header."""
    with open(path, "rb") as handle:
        header = handle.read(24)
    assert header[:8] == b"\x89PNG\r\n\x1a\n"
    return int.from_bytes(header[16:20], "big"), int.from_bytes(header[20:24], "big")


FIGURES = [
    ("pair", lambda a, save: corrshift.pl.pair(a, "G0", "G1", within="B", save=save), 2, (867, 482)),
    ("pair-whole", lambda a, save: corrshift.pl.pair(a, "G0", "G1", key="whole", save=save), 2, (867, 482)),
    ("overview", lambda a, save: corrshift.pl.overview(a, save=save), 1, (718, 542)),
    ("overview-whole", lambda a, save: corrshift.pl.overview(a, "whole", n_labels=3, save=save), 1, (681, 542)),
    ("heatmap", lambda a, save: corrshift.pl.heatmap(a, n_pairs=6, save=save), 1, (573, 366)),
    ("heatmap-level", lambda a, save: corrshift.pl.heatmap(a, within="T", save=save), 1, (470, 701)),
]


@pytest.mark.parametrize("name, draw, panels, size", FIGURES, ids=[f[0] for f in FIGURES])
def test_figure_is_written(analysed, tmp_path, name, draw, panels, size):
    path = tmp_path / (name + ".png")
    axes = draw(analysed, path)
    assert len(axes if isinstance(axes, list) else [axes]) == panels
    width, height = png_size(path)
    # About the size drawn (tight bounding boxes differ a little between matplotlib versions).
    assert 0.8 <= width / size[0] <= 1.4 and 0.8 <= height / size[1] <= 1.4, (width, height)
    assert path.stat().st_size > 10000


def test_pair_titles_hold_both_correlations(analysed):
    left, right = corrshift.pl.pair(analysed, "G0", "G1", within="T", show=False)
    t = analysed[(analysed.obs.cell_type == "T").to_numpy()]
    table = corrshift.get.pairs_df(analysed, within="T").set_index(["row1", "row2"])
    r1, r2 = table.loc[("G0", "G1"), ["r1", "r2"]]
    assert left.get_title() == "stim (n = {}): r1 = {:.2f}".format(int((t.obs.condition == "stim").sum()), r1)
    assert right.get_title().endswith("r2 = {:.2f}".format(r2))
    assert len(left.get_lines()) == 1  # the fitted line
    corrshift.tl.pairs(analysed, "cell_type", (["T", "B"], "rare"), key_added="kinds", **OPTIONS)
    left, right = corrshift.pl.pair(analysed, "G0", "G1", key="kinds")
    assert left.get_title().startswith("T+B (n = 38): r1 = ") and right.get_title().startswith("rare (n = 9)")


def test_figures_draw_into_given_axes(analysed, tmp_path):
    figure, (a, b, c) = plt.subplots(1, 3)
    assert corrshift.pl.pair(analysed, "G2", "G3", key="whole", ax=a) == [a]
    assert "stim: r1 = " in a.get_title() and "ctrl: r2 = " in a.get_title()
    assert corrshift.pl.overview(analysed, ax=b, within="B") is b
    assert corrshift.pl.heatmap(analysed, ax=c) is c
    assert len(c.get_yticklabels()) == 20 and [t.get_text() for t in c.get_xticklabels()][:2] == ["T: stim", "T: ctrl"]


def test_show_shows_and_returns_nothing(analysed, monkeypatch):
    shown = []
    monkeypatch.setattr(plt, "show", lambda: shown.append(True))
    assert corrshift.pl.overview(analysed, show=True) is None and shown == [True]


def test_unusable_arguments(analysed):
    with pytest.raises(InputError, match="within='B' needs key= of a result made with within="):
        corrshift.pl.pair(analysed, "G0", "G1", key="whole", within="B")
    with pytest.raises(InputError, match="name the groups"):
        corrshift.pl.pair(analysed, "G0", "G1", key=None)
    with pytest.raises(InputError, match="gene2"):
        corrshift.pl.pair(analysed, "G0", "nope")
    corrshift.tl.rows(analysed, "condition", ("stim", "ctrl"), **OPTIONS)
    with pytest.raises(InputError, match="holds no correlations"):
        corrshift.pl.heatmap(analysed, "corrshift_rows")
    assert corrshift.pl.overview(analysed, "corrshift_rows").get_xlabel() == "score"
    corrshift.tl.modules(analysed, "condition", ("stim", "ctrl"), {"a": ["G0", "G1", "G2"]}, **OPTIONS)
    labels = [t.get_text() for t in corrshift.pl.overview(analysed, "corrshift_modules").texts]
    assert labels == ["a"]


def test_without_matplotlib_the_message_says_what_to_install(analysed, monkeypatch):
    monkeypatch.setitem(sys.modules, "matplotlib.pyplot", None)
    with pytest.raises(ImportError, match="corrshift.pl needs matplotlib: pip install 'corrshift\\[plot\\]'"):
        corrshift.pl.overview(analysed)


def test_ranks_average_ties():
    np.testing.assert_array_equal(corrshift.pl._ranks(np.asarray([3.0, 1.0, 3.0, 2.0])), [3.5, 1, 3.5, 2])
