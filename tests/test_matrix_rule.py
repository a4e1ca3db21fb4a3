"""One rule for which matrix of an AnnData object every entry point reads (the API, tl, the
command line): .raw when present and no layer is given, as scanpy does; the result says which.
And the messages about AnnData files: what a file holds, a file turned around, a GMT line
without its description."""

import warnings

import numpy as np
import pytest

import corrshift
from conftest import needs_parquet
from corrshift import InputError, cli

OPTIONS = dict(permutations=10, n_jobs=2, progress=False)


def bits(values):
    return np.asarray(values, dtype=np.float32).view(np.uint32)


def cli_table(path, tmp_path, *options):
    """The pair table of `corrshift pairs` on the .h5ad file, as a DataFrame: from a Parquet
    output where pyarrow works (exact values), else from the TSV."""
    import pandas as pd

    parquet = not needs_parquet.args[0]
    out = tmp_path / ("cli.parquet" if parquet else "cli.tsv")
    args = ["pairs", str(path), "--by", "condition", "--levels", "stim", "ctrl", "--permutations", "10", "-o", str(out)]
    assert cli.main(args + list(options)) == 0
    table = pd.read_parquet(out) if parquet else pd.read_csv(out, sep="\t", comment="#")
    return table.sort_values(["row1", "row2"]).reset_index(drop=True), parquet


@pytest.mark.parametrize(
    "use_raw, layer, source, genes",
    [(None, None, ".raw", 10), (False, None, "X", 8), (None, "counts", "layer 'counts'", 8)],
)
def test_every_entry_point_reads_the_same_matrix(cells, tmp_path, use_raw, layer, source, genes):
    cells.write_h5ad(tmp_path / "cells.h5ad")
    res = corrshift.ztest(cells, "stim", "ctrl", groupby="condition", use_raw=use_raw, layer=layer, **OPTIONS)
    assert len(res) == genes * (genes - 1) // 2 and res.matrix == source
    assert res.to_pandas().attrs["matrix"] == source
    corrshift.tl.pairs(cells, "condition", ("stim", "ctrl"), use_raw=use_raw, layer=layer, **OPTIONS)
    stored = corrshift.get.pairs_df(cells)
    assert stored.attrs["matrix"] == source and stored.attrs["use_raw"] is (source == ".raw")
    options = (["--no-use-raw"] if use_raw is False else []) + (["--layer", layer] if layer else [])
    table, exact = cli_table(tmp_path / "cells.h5ad", tmp_path, *options)
    api = res.to_pandas().sort_values(["row1", "row2"]).reset_index(drop=True)
    stored = stored.sort_values(["row1", "row2"]).reset_index(drop=True)
    assert table["row1"].tolist() == api["row1"].tolist() == stored["row1"].tolist()
    for column in ("r1", "r2", "z_diff"):
        assert np.array_equal(bits(api[column]), bits(stored[column]))
        if exact:
            assert np.array_equal(bits(table[column]), bits(api[column]))
        else:
            np.testing.assert_allclose(table[column], api[column], rtol=1e-5, atol=1e-7)


def test_the_command_line_says_which_matrix_it_read(cells, tmp_path, capsys):
    cells.write_h5ad(tmp_path / "cells.h5ad")
    base = [
        "rows",
        str(tmp_path / "cells.h5ad"),
        "--by",
        "condition",
        "--levels",
        "stim",
        "ctrl",
        "--permutations",
        "5",
    ]
    assert cli.main(base) == 0
    assert "(values: .raw)" in capsys.readouterr().err
    assert cli.main(base + ["--no-use-raw", "--within", "cell_type"]) == 0
    assert "(values: X)" in capsys.readouterr().err
    with pytest.raises(SystemExit):
        cli.main(base + ["--use-raw", "--no-use-raw"])
    assert "not allowed with argument" in capsys.readouterr().err


def test_refusals_name_what_the_data_holds(cells, tmp_path, capsys):
    cells.write_h5ad(tmp_path / "cells.h5ad")
    with pytest.raises(InputError, match="use_raw=True and layer='counts': give one of them"):
        corrshift.ztest(cells, "stim", "ctrl", groupby="condition", use_raw=True, layer="counts")
    plain = cells.copy()
    del plain.raw
    with pytest.raises(
        InputError, match="use_raw=True: the AnnData object has no .raw; it holds X \\(47 cells x 8 genes\\)"
    ):
        corrshift.ztest(plain, "stim", "ctrl", groupby="condition", use_raw=True)
    with pytest.raises(InputError, match="use_raw=True: only AnnData data has .raw"):
        corrshift.ztest(np.ones((3, 8)), [0, 1, 2, 3], [4, 5, 6, 7], use_raw=True)
    args = ["pairs", str(tmp_path / "cells.h5ad"), "--by", "condition", "--levels", "stim", "ctrl"]
    assert cli.main(args + ["--layer", "raw"]) == 1
    err = capsys.readouterr().err
    assert (
        "cells.h5ad: layer='raw': the file has no such layer; its layers are 'counts' (it holds X (47 cells x 8 genes), "
        in err
    )
    assert ".raw (47 cells x 10 genes), layers 'counts'; use_raw=True reads .raw)" in err


def test_cells_in_var_are_noticed(cells, tmp_path, capsys):
    turned = cells.copy()
    del turned.raw
    turned = turned.T.copy()  # genes x cells, annotations in var
    turned.write_h5ad(tmp_path / "turned.h5ad")
    with pytest.raises(InputError, match="groupby='condition' is a column of var, not of obs: .* pass adata.T"):
        corrshift.ztest(turned, "stim", "ctrl", groupby="condition")
    args = ["pairs", str(tmp_path / "turned.h5ad"), "--by", "condition", "--levels", "stim", "ctrl"]
    assert cli.main(args) == 1
    assert "--by 'condition': {} holds it as a column of var, not of obs".format(tmp_path / "turned.h5ad") in (
        capsys.readouterr().err
    )


def test_a_gmt_line_without_its_description(cells, tmp_path, capsys):
    """GMT's second field is the description, whatever it holds: a line without one loses its
    first gene, and the warning (a note on the command line) says so, naming the line."""
    gmt = tmp_path / "sets.gmt"
    gmt.write_text("a\tfirst\tG0\tG1\tG2\nb\tG3\tG4\tG5\tG6\n", encoding="utf-8")
    with pytest.warns(UserWarning, match="is a gene of the data \\(line 2 \\(b\\): 'G3'\\); GMT lines are name"):
        res = corrshift.module_scores(cells, gmt, "stim", "ctrl", groupby="condition", use_raw=False, **OPTIONS)
    assert res.n_genes.tolist() == [3, 3]
    cells.write_h5ad(tmp_path / "cells.h5ad")
    args = ["modules", str(tmp_path / "cells.h5ad"), "--by", "condition", "--levels", "stim", "ctrl", "--gmt", str(gmt)]
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        assert cli.main(args + ["--permutations", "5", "-o", str(tmp_path / "m.tsv")]) == 0
    assert not [w for w in caught if "description" in str(w.message)]  # a note instead
    assert "corrshift: note: {}: the description (second field) of 1 gene set(s)".format(gmt) in capsys.readouterr().err


def test_pbmc68k_reduced_gives_the_same_r_everywhere(tmp_path):
    """The API, tl and the command line on the written .h5ad read .raw and give the same r1
    and r2 for every pair (CD14+ Monocyte vs CD56+ NK: the 215,496 pairs of the genes of .raw
    that vary in both groups)."""
    sc = pytest.importorskip("scanpy")
    pd = pytest.importorskip("pandas")
    if needs_parquet.args[0]:
        pytest.skip("pyarrow is not usable here")
    adata = sc.datasets.pbmc68k_reduced()
    levels = ("CD14+ Monocyte", "CD56+ NK")
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")  # genes constant within a group are left out
        res = corrshift.ztest(adata, *levels, groupby="bulk_labels", permutations=0, min_cells=0, progress=False)
        corrshift.tl.pairs(adata, "bulk_labels", levels, permutations=0, min_cells=0, progress=False)
    api = res.to_pandas()
    stored = corrshift.get.pairs_df(adata)
    del adata.uns["corrshift_pairs"]
    adata.write_h5ad(tmp_path / "pbmc.h5ad")
    args = [
        "pairs",
        str(tmp_path / "pbmc.h5ad"),
        "--by",
        "bulk_labels",
        "--levels",
        *levels,
        "--permutations",
        "0",
        "--min-cells",
        "0",
    ]
    assert cli.main(args + ["-o", str(tmp_path / "pairs.parquet")]) == 0
    table = pd.read_parquet(tmp_path / "pairs.parquet")
    assert res.matrix == ".raw" and len(api) == len(stored) == len(table) > 200000
    keyed = [
        t.astype({"row1": str, "row2": str}).set_index(["row1", "row2"]).sort_index() for t in (api, stored, table)
    ]
    for column in ("r1", "r2"):
        assert np.array_equal(bits(keyed[0][column]), bits(keyed[1][column]))
        assert np.array_equal(bits(keyed[0][column]), bits(keyed[2][column]))
    ftl = keyed[0].loc[("FTL", "CD74") if ("FTL", "CD74") in keyed[0].index else ("CD74", "FTL")]
    assert round(float(ftl["r1"]), 4) == -0.0161  # as tl.pairs gave before, now everywhere
