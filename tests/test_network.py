"""corrshift.network: the significant pairs as a NetworkX graph, GraphML and an edge list,
each holding the pair statistics of the table."""

import math
import sys

import numpy as np
import pytest

import corrshift
from corrshift import InputError, network


@pytest.fixture(scope="module")
def result():
    ex = corrshift.load_example()
    return corrshift.ztest(
        ex.expression[:300],
        "BCR/ABL",
        "NEG",
        groupby=ex.mol_biol,
        permutations=50,
        row_names=ex.probes[:300],
        max_q=0.2,
        progress=False,
    )


def expected_edges(res, max_q):
    table = res.to_pandas()
    return table[table["q_robust"] <= max_q]


def test_networkx_graph_holds_the_significant_pairs(result):
    nx = pytest.importorskip("networkx")
    kept = expected_edges(result, 0.2)
    assert 0 < len(kept) < 100
    graph = result.to_networkx(max_q=0.2)
    assert isinstance(graph, nx.Graph) and graph.number_of_edges() == len(kept)
    for row in kept.itertuples(index=False):
        attributes = graph.edges[row.row1, row.row2]
        assert attributes["r1"] == float(row.r1) and attributes["q_robust"] == row.q_robust
        assert attributes["p_how"] == row.p_how and math.isnan(attributes["q_value"])
        assert attributes["class"] == getattr(row, "_6") and attributes["perm_p"] == row.perm_p
    assert graph.graph["group1"] == "BCR/ABL" and graph.graph["n2"] == 42 and graph.graph["max_q"] == 0.2
    assert network.to_networkx(result, max_q=None).number_of_edges() == len(result)


def test_graphml_and_edge_list_read_back_the_same(result, tmp_path):
    nx = pytest.importorskip("networkx")
    pd = pytest.importorskip("pandas")
    top = corrshift.ztest(
        corrshift.load_example().expression[:120],
        "BCR/ABL",
        "NEG",
        groupby=corrshift.load_example().mol_biol,
        permutations=20,
        top=30,
        progress=False,
    )  # a filtered run: perm_q is missing (NaN)
    for res, max_q in ((result, 0.2), (top, None)):
        kept = res.to_pandas() if max_q is None else expected_edges(res, max_q)
        assert res.write_graphml(tmp_path / "pairs.graphml", max_q=max_q) == len(kept)
        back = nx.read_graphml(tmp_path / "pairs.graphml")
        assert back.number_of_edges() == len(kept) and back.graph["significance"] == "q_robust"
        for row in kept.itertuples(index=False):
            attributes = back.edges[str(row.row1), str(row.row2)]
            assert attributes["z_diff"] == float(row.z_diff) and attributes["p_value"] == row.p_value
            assert (math.isnan(attributes["perm_q"]) and math.isnan(row.perm_q)) or attributes["perm_q"] == row.perm_q
        assert res.write_edge_list(tmp_path / "pairs.tsv", max_q=max_q) == len(kept)
        with open(tmp_path / "pairs.tsv") as handle:
            assert handle.readline().startswith("source\ttarget\tr1\tr2\tp1\tp2\tclass\tz_diff")
        table = pd.read_csv(tmp_path / "pairs.tsv", sep="\t")
        assert table["source"].astype(str).tolist() == kept["row1"].astype(str).tolist()
        np.testing.assert_allclose(table["r2"], kept["r2"], rtol=1e-5)
        assert table["perm_q"].isna().all()  # filtered runs: passes for the reported pairs only


def test_pairs_above_the_runs_threshold_are_flagged(result):
    pytest.importorskip("networkx")
    ex = corrshift.load_example()
    every = corrshift.ztest(
        ex.expression[:300], "BCR/ABL", "NEG", groupby=ex.mol_biol, permutations=0, progress=False
    )  # tested by permutation where q_robust may reach 0.05 only
    with pytest.warns(UserWarning, match=r"of the pairs at q_robust <= 0.5 have the asymptotic p-value"):
        looser = every.to_networkx(max_q=0.5)
    assert looser.number_of_edges() > result.to_networkx(max_q=0.2).number_of_edges()
    assert every.to_networkx(max_q=1.0).number_of_edges() == len(every)  # every pair: nothing claimed


def test_tables_of_one_level_from_anndata(cells):
    pytest.importorskip("networkx")
    with pytest.warns(UserWarning, match="left out"):
        corrshift.tl.pairs(cells, "condition", ("stim", "ctrl"), within="cell_type", permutations=10, progress=False)
    level = corrshift.get.pairs_df(cells, within="T")
    graph = network.to_networkx(level, max_q=1.0)
    assert graph.number_of_edges() == len(level) and graph.graph["group1"] == "stim"
    with pytest.raises(InputError, match="the table holds the pairs of 2 levels of 'cell_type': take one level"):
        network.to_networkx(corrshift.get.pairs_df(cells))


def test_unusable_arguments(result, monkeypatch, tmp_path):
    with pytest.raises(InputError, match="max_q must be a q-value from 0 to 1, or None for every pair; got 2"):
        result.write_edge_list(tmp_path / "x.tsv", max_q=2)
    with pytest.raises(InputError, match="cannot write the network"):
        result.write_graphml(tmp_path / "no" / "x.graphml")
    with pytest.raises(InputError, match="pairs must be a pair result"):
        network.write_edge_list([1, 2], tmp_path / "x.tsv")
    monkeypatch.setitem(sys.modules, "networkx", None)
    with pytest.raises(ImportError, match="to_networkx needs networkx: pip install 'corrshift\\[network\\]'"):
        result.to_networkx()
