"""corrshift.tl and corrshift.get: results stored in the AnnData object, per level of an
obs column, read back from an .h5ad file."""

import warnings

import numpy as np
import pytest

import corrshift
from conftest import needs_parquet
from corrshift import InputError

PERMS = 30
OPTIONS = dict(permutations=PERMS, n_jobs=2, progress=False)


def quietly(function, *args, **kwargs):
    """A tl call whose levels left out (the "rare" cell type) are only warned about."""
    with pytest.warns(UserWarning, match="1 level of 'cell_type' .* left out .*'rare' \\(3 \\+ 6\\)"):
        return function(*args, **kwargs)


def frame_of(result):
    frame = result.to_pandas()
    frame.attrs = {}
    return frame


def same_frame(actual, expected):
    import pandas as pd

    actual = actual.reset_index(drop=True)
    actual.attrs = {}
    pd.testing.assert_frame_equal(actual, expected, check_exact=True)


ANALYSES = [
    ("pairs", corrshift.tl.pairs, corrshift.get.pairs_df, corrshift.ztest, (), {"class_alpha": 0.2}),
    ("rows", corrshift.tl.rows, corrshift.get.rows_df, corrshift.row_scores, (), {"score": "mean"}),
    ("sets", corrshift.tl.sets, corrshift.get.sets_df, corrshift.set_scores, ({"G0": ["G1", "G2"], "G3": ["G4"]},), {}),
    (
        "modules",
        corrshift.tl.modules,
        corrshift.get.modules_df,
        corrshift.module_scores,
        ({"a": ["G0", "G1", "G2"], "b": ["G3", "G4", "G5", "G7"]},),
        {"score": "mean"},
    ),
]


@pytest.mark.parametrize("kind, tool, getter, api, extra, options", ANALYSES, ids=[a[0] for a in ANALYSES])
def test_each_level_equals_a_run_on_its_cells_alone(cells, kind, tool, getter, api, extra, options):
    quietly(tool, cells, "condition", ("stim", "ctrl"), *extra, within="cell_type", use_raw=False, **options, **OPTIONS)
    assert corrshift.get.levels(cells, "corrshift_" + kind) == ["T", "B"]  # category order
    for level in ("T", "B"):
        alone = cells[cells.obs.cell_type == level]
        # use_raw=False: every entry point reads .raw by default, as scanpy does
        expected = api(alone, *extra, "stim", "ctrl", groupby="condition", use_raw=False, **options, **OPTIONS)
        same_frame(getter(cells, within=level), frame_of(expected))
    everything = getter(cells)
    assert everything["cell_type"].tolist()[0] == "T" and set(everything["cell_type"]) == {"T", "B"}
    stored = cells.uns["corrshift_" + kind]
    assert stored["skipped"]["name"].tolist() == ["rare"] and stored["skipped"]["n1"].tolist() == [3]


def test_without_within_the_whole_data_is_compared(cells):
    corrshift.tl.pairs(cells, "condition", ("stim", "ctrl"), layer="counts", key_added="whole", **OPTIONS)
    expected = corrshift.ztest(cells, "stim", "ctrl", groupby="condition", layer="counts", **OPTIONS)
    table = corrshift.get.pairs_df(cells, key="whole")
    same_frame(table, frame_of(expected))
    assert table.attrs["n1"] == expected.n1 and table.attrs["layer"] == "counts"


@pytest.mark.parametrize("use_raw, layer, genes", [(None, None, 10), (False, None, 8), (None, "counts", 8)])
def test_raw_is_used_as_scanpy_does(cells, use_raw, layer, genes):
    corrshift.tl.rows(cells, "condition", ("stim", "ctrl"), use_raw=use_raw, layer=layer, **OPTIONS)
    assert len(corrshift.get.rows_df(cells)) == genes
    assert corrshift.get.params(cells, "corrshift_rows")["use_raw"] is (genes == 10)
    # Scores go into var only where the genes scored are those of var.
    assert ("corrshift_rows_score" in cells.var.columns) is (genes == 8)


def test_row_scores_go_into_var_and_varm(cells):
    corrshift.tl.rows(cells, "condition", ("stim", "ctrl"), use_raw=False, **OPTIONS)
    table = corrshift.get.rows_df(cells).set_index("row")
    np.testing.assert_array_equal(cells.var["corrshift_rows_perm_p"], table.loc[cells.var_names, "perm_p"])
    quietly(
        corrshift.tl.rows,
        cells,
        "condition",
        ("stim", "ctrl"),
        within="cell_type",
        use_raw=False,
        key_added="per_type",
        **OPTIONS,
    )
    score = cells.varm["per_type_score"]
    assert score.shape == (8, 2)
    b = corrshift.get.rows_df(cells, key="per_type", within="B").set_index("row")
    np.testing.assert_array_equal(score[:, 1], b.loc[cells.var_names, "score"].to_numpy(np.float64))


def test_results_survive_write_and_read(cells, tmp_path):
    anndata = pytest.importorskip("anndata")
    quietly(corrshift.tl.pairs, cells, "condition", ("stim", "ctrl"), within="cell_type", **OPTIONS)
    quietly(corrshift.tl.rows, cells, "condition", ["stim", "ctrl"], within="cell_type", use_raw=False, **OPTIONS)
    corrshift.tl.sets(cells, "condition", ("stim", "ctrl"), {"G0": ["G1", "G5"]}, **OPTIONS)
    path = tmp_path / "cells.h5ad"
    cells.write_h5ad(path)
    back = anndata.read_h5ad(path)
    for getter in (corrshift.get.pairs_df, corrshift.get.rows_df, corrshift.get.sets_df):
        same_frame(getter(back), getter(cells))
        assert getter(back).attrs == getter(cells).attrs
    same_frame(corrshift.get.pairs_df(back, within="B"), corrshift.get.pairs_df(cells, within="B"))
    np.testing.assert_array_equal(back.varm["corrshift_rows_perm_q"], cells.varm["corrshift_rows_perm_q"])


def test_rows_left_out_are_stored_per_level_and_survive_write_and_read(cells, tmp_path):
    anndata = pytest.importorskip("anndata")
    flat = ((cells.obs.cell_type == "B") & (cells.obs.condition == "stim")).to_numpy()
    cells.layers["counts"][flat, 2] = 1.0  # G2 is constant within the stimulated B cells
    with pytest.warns(UserWarning, match="left out 1 row"):
        quietly(
            corrshift.tl.modules,
            cells,
            "condition",
            ("stim", "ctrl"),
            {"a": ["G0", "G1", "G2"]},
            within="cell_type",
            layer="counts",
            **OPTIONS,
        )
    cells.write_h5ad(tmp_path / "cells.h5ad")
    back = anndata.read_h5ad(tmp_path / "cells.h5ad")
    for adata in (cells, back):
        assert corrshift.get.dropped(adata, "corrshift_modules", within="B") == {"constant within group1": ["G2"]}
        assert corrshift.get.dropped(adata, "corrshift_modules", within="T") == {}
        assert corrshift.get.dropped(adata, "corrshift_modules") == {"B: constant within group1": ["G2"]}
    assert corrshift.get.modules_df(back, within="B")["n_genes"].tolist() == [2]


def test_options_pass_through_to_the_analysis(cells):
    quietly(corrshift.tl.pairs, cells, "condition", ("stim", "ctrl"), within="cell_type", top=5, **OPTIONS)
    table = corrshift.get.pairs_df(cells)
    assert table.groupby("cell_type", observed=True).size().tolist() == [5, 5]
    assert corrshift.get.params(cells, "corrshift_pairs")["top"] == 5
    with pytest.raises(InputError, match="min_group_size must be .* at least 4"):
        corrshift.tl.pairs(cells, "condition", ("stim", "ctrl"), min_group_size=3)


def test_copy_leaves_the_object_as_it_was(cells):
    copied = corrshift.tl.pairs(cells, "condition", ("stim", "ctrl"), copy=True, **OPTIONS)
    assert "corrshift_pairs" in copied.uns and "corrshift_pairs" not in cells.uns


@needs_parquet
def test_each_level_writes_a_parquet_folder_of_its_own(cells, tmp_path):
    quietly(
        corrshift.tl.pairs, cells, "condition", ("stim", "ctrl"), within="cell_type", out=tmp_path / "out", **OPTIONS
    )
    assert sorted(p.name for p in (tmp_path / "out").iterdir()) == ["B", "T"]
    assert list((tmp_path / "out" / "T").glob("part-*.parquet"))
    in_memory = cells.copy()
    quietly(corrshift.tl.pairs, in_memory, "condition", ("stim", "ctrl"), within="cell_type", **OPTIONS)
    same_frame(corrshift.get.pairs_df(cells), corrshift.get.pairs_df(in_memory))


def test_every_level_is_checked_before_any_runs(cells, tmp_path):
    # A missing value among the stimulated B cells: level "B" fails, after "T" in the order.
    X = cells.layers["counts"].copy()
    X[np.flatnonzero(((cells.obs.cell_type == "B") & (cells.obs.condition == "stim")).to_numpy())[0], 3] = np.nan
    cells.layers["counts"] = X
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", UserWarning)
        with pytest.raises(InputError, match="within='cell_type', level 'B': .*missing or non-finite"):
            corrshift.tl.pairs(
                cells,
                "condition",
                ("stim", "ctrl"),
                within="cell_type",
                layer="counts",
                out=tmp_path / "out",
                **OPTIONS,
            )
    assert "corrshift_pairs" not in cells.uns and not (tmp_path / "out" / "T").exists()


@pytest.mark.parametrize(
    "call, message",
    [
        (lambda a: corrshift.tl.pairs(a.to_df(), "condition", ("stim", "ctrl")), "adata must be an AnnData"),
        (lambda a: corrshift.tl.pairs(a, "phase", ("stim", "ctrl")), "groupby='phase': adata.obs has no such column"),
        (lambda a: corrshift.tl.pairs(a, "condition", "stim"), "groups must be the two groups"),
        (
            lambda a: corrshift.tl.pairs(a, "condition", ("stim", "none")),
            "groups\\[1\\]: 'condition' has no level 'none'",
        ),
        (lambda a: corrshift.tl.pairs(a, "condition", ("stim", ["stim", "ctrl"])), "share the level"),
        (lambda a: corrshift.tl.pairs(a, "condition", ("stim", "ctrl"), within="condition"), "also groupby"),
        (
            lambda a: corrshift.tl.pairs(a, "condition", ("stim", "ctrl"), within="cell_type", min_group_size=20),
            "no level has at least 20 samples in both groups; 3 levels",
        ),
        (
            lambda a: corrshift.tl.pairs(a, "condition", ("stim", "ctrl"), use_raw=True, layer="counts"),
            "give one of them",
        ),
        (lambda a: corrshift.tl.pairs(a, "condition", ("stim", "ctrl"), key_added="a/b"), "key_added"),
        (
            lambda a: corrshift.tl.pairs(a, "condition", ("stim", "ctrl"), row_names=list("abcdefgh")),
            "row_names: an AnnData object brings its own names",
        ),
        (lambda a: corrshift.get.pairs_df(a), "adata.uns has no 'corrshift_pairs'; run corrshift.tl first"),
    ],
)
def test_unusable_arguments_are_refused(cells, call, message):
    with pytest.raises(InputError, match=message):
        call(cells)


def test_get_says_what_a_key_holds(cells):
    quietly(corrshift.tl.rows, cells, "condition", ("stim", "ctrl"), within="cell_type", **OPTIONS)
    with pytest.raises(InputError, match="holds a result of corrshift.tl.rows, not of corrshift.tl.pairs"):
        corrshift.get.pairs_df(cells, key="corrshift_rows")
    with pytest.raises(InputError, match="no level 'rare' \\(it was left out: too few cells in a group\\)"):
        corrshift.get.rows_df(cells, within="rare")
    corrshift.tl.pairs(cells, "condition", ("stim", "ctrl"), **OPTIONS)
    with pytest.raises(InputError, match="compared all cells at once"):
        corrshift.get.pairs_df(cells, within="B")
    with pytest.raises(InputError, match="its corrshift results are 'corrshift_rows', 'corrshift_pairs'"):
        corrshift.get.sets_df(cells)


def test_cells_without_a_level_take_no_part(cells):
    kinds = cells.obs["cell_type"].copy()
    kinds[kinds == "rare"] = None  # missing: no level, no warning
    cells.obs["cell_type"] = kinds.cat.remove_unused_categories()
    corrshift.tl.pairs(cells, "condition", ("stim", "ctrl"), within="cell_type", **OPTIONS)
    assert corrshift.get.levels(cells, "corrshift_pairs") == ["T", "B"]
    assert cells.uns["corrshift_pairs"]["skipped"]["name"].size == 0
