"""The statistics the API reports: average ranks for ties, r within a few 1e-7 of
float64 on sparse and near-constant data, double-precision p-values, a calibrated
Spearman standard error, and rows that cannot be correlated left out instead of refused."""

import io
import warnings

import numpy as np
import pytest

import blocks_reference
import corrshift
import reference as ref
from corrshift import _blocks, cli


@pytest.fixture(scope="module")
def stats():
    return pytest.importorskip("scipy.stats")


def condensed(square):
    return square[np.triu_indices(square.shape[0], 1)]


def float64_r(values, columns):
    with np.errstate(invalid="ignore", divide="ignore"):
        return condensed(np.corrcoef(np.asarray(values, dtype=np.float64)[:, columns]))


def spearman_r(stats, values, columns):
    return condensed(stats.spearmanr(np.asarray(values, dtype=np.float64)[:, columns].T).correlation)


def quiet(call, *args, **kwargs):
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", UserWarning)
        return call(*args, progress=False, **kwargs)


@pytest.fixture(scope="module")
def ties():
    """Counts with many zeros (most values tied), a row constant within group 2."""
    x = np.random.default_rng(4).poisson(0.8, size=(14, 30)).astype(np.float32)
    x[5, 13:] = 0.0
    return x


@pytest.mark.parametrize("method", ["pearson", "spearman"])
@pytest.mark.parametrize("alternative", ["two-sided", "greater", "less"])
def test_block_functions_equal_the_reference(ties, method, alternative):
    # Every block function's API statistics, bit for bit, also over a range of passes.
    g1, g2 = np.arange(13, dtype=np.int32), np.arange(13, 28, dtype=np.int32)
    rows1, rows2 = np.array([1, 1, 4, 4, 5, 9], np.int32), np.array([2, 3, 0, 5, 9, 8], np.int32)
    calls = [
        ("ztest_block", (ties, g1, g2, (2, 9), (0, 14), method, alternative, 3, 12, 2)),
        ("pairs_block", (ties, rows1, rows2, g1, g2, method, alternative, 0, 9, 2)),
        ("row_score_block", (ties, g1, g2, (2, 8), method, "median", alternative, 2, 9, 2)),
        ("row_score_block", (ties, g1, g2, (0, 14), method, "mean", alternative, 0, 9, 2)),
        ("set_block", (ties, rows1, rows2, g1, g2, method, "median", alternative, 0, 9, 2)),
    ]
    for name, args in calls:
        got = getattr(_blocks, name)(*args, statistics="api")
        want = getattr(blocks_reference, name)(*args, statistics="api")
        for a, b in zip(got, want):
            assert a.dtype == b.dtype and np.array_equal(a, b, equal_nan=True), name


@pytest.mark.parametrize("nrows, sizes", [(2, (4, 5)), (7, (5, 4)), (13, (4, 5)), (23, (9, 6))])
def test_observed_pass_equals_the_reference_on_every_shape(nrows, sizes):
    # Partner counts off the vector width, a single partner, bands that start and end off
    # it, listed pairs; rows whose correlations are near +-1 and a constant row.
    rng = np.random.default_rng(nrows)
    x = rng.standard_normal((nrows, sum(sizes))).astype(np.float32)
    x[1::3] = x[0] * np.float32(-1.5) + np.float32(1e-4) * x[1::3]
    if nrows > 4:
        x[4] = x[3] + np.float32(1e-6) * x[4]
        x[2, : sizes[0]] = 1.0
    g1 = np.arange(sizes[0], dtype=np.int32)
    g2 = np.arange(sizes[0], sum(sizes), dtype=np.int32)
    rows1 = rng.integers(0, nrows, 31).astype(np.int32)
    rows2 = rng.integers(0, nrows, 31).astype(np.int32)
    calls = [
        ("ztest_block", (x, g1, g2, (0, nrows), (0, nrows), "pearson", "two-sided", 0, 1, 2)),
        ("ztest_block", (x, g1, g2, (1, nrows), (nrows // 3, nrows), "spearman", "less", 0, 1, 1)),
        ("pairs_block", (x, rows1, rows2, g1, g2, "pearson", "greater", 0, 1, 2)),
    ]
    for name, args in calls:
        got = getattr(_blocks, name)(*args, statistics="api")
        want = getattr(blocks_reference, name)(*args, statistics="api")
        for a, b in zip(got, want):
            assert a.dtype == b.dtype and np.array_equal(a, b, equal_nan=True), name


def test_average_ranks_are_scipys(ties, stats):
    ranks = ref.average_rank_rows(ties, np.arange(13), np.zeros(ties.shape, np.float32))[:, :13]
    np.testing.assert_array_equal(ranks, np.apply_along_axis(stats.rankdata, 1, ties[:, :13]) - 1)


def test_spearman_is_scipys_whatever_the_order_of_the_columns(stats):
    x = np.random.default_rng(5).poisson(0.5, size=(40, 60)).astype(np.float32)  # about 60% zeros
    g1, g2 = list(range(25)), list(range(25, 60))
    res = quiet(corrshift.ztest, x, g1, g2, method="spearman", permutations=0)
    keep = np.flatnonzero(np.isin(np.arange(40), [int(r) for r in res.row1] + [int(r) for r in res.row2]))
    for got, columns in ((res.r1, g1), (res.r2, g2)):
        assert np.abs(got - spearman_r(stats, x[keep], columns)).max() <= 1e-6
    shuffled = x[
        :, np.concatenate([np.random.default_rng(6).permutation(g1), 25 + np.random.default_rng(7).permutation(35)])
    ]
    again = quiet(corrshift.ztest, shuffled, g1, g2, method="spearman", permutations=0)
    # The ranks are the same; only the sums run in another order.
    for name in ("r1", "r2", "z_diff"):
        assert np.abs(getattr(again, name) - getattr(res, name)).max() <= 1e-12
    np.testing.assert_allclose(again.p_value, res.p_value, rtol=1e-12)


@pytest.fixture(scope="module")
def pbmc():
    sc = pytest.importorskip("scanpy")
    adata = sc.datasets.pbmc68k_reduced()
    labels = adata.obs["bulk_labels"].astype(str).to_numpy()
    log = adata.raw.X.toarray().T.astype(np.float32)
    return {
        "X": adata.X.T.astype(np.float32),
        "log": log,
        "counts": np.expm1(log).astype(np.float32),
        "first": np.flatnonzero(labels == "CD14+ Monocyte"),
        "second": np.flatnonzero(labels == "Dendritic"),
    }


@pytest.mark.parametrize("layer", ["X", "log", "counts"])
def test_single_cell_correlations_match_float64(pbmc, layer, stats):
    values, first, second = pbmc[layer], pbmc["first"], pbmc["second"]
    res = quiet(corrshift.ztest, values, first, second, permutations=0)
    kept = np.flatnonzero(~np.isin(np.arange(values.shape[0]), [int(r) for v in res.dropped.values() for r in v]))
    for got, columns in ((res.r1, first), (res.r2, second)):
        assert np.abs(got - float64_r(values[kept], columns)).max() <= 1e-6
        assert np.abs(got).max() <= 1.0
    spearman = quiet(corrshift.ztest, values, first, second, method="spearman", permutations=0)
    assert np.abs(spearman.r1 - spearman_r(stats, values[kept], first)).max() <= 1e-6


@pytest.mark.parametrize("alternative", ["two-sided", "greater", "less"])
def test_p_values_are_double_from_the_statistic(pbmc, alternative, stats):
    values, first, second = pbmc["log"], pbmc["first"], pbmc["second"]
    res = quiet(corrshift.ztest, values, first, second, alternative=alternative, permutations=0)
    kept = np.flatnonzero(~np.isin(np.arange(values.shape[0]), [int(r) for v in res.dropped.values() for r in v]))
    bound = float(np.float32(0.99))
    d = np.arctanh(np.clip(float64_r(values[kept], first), -bound, bound)) - np.arctanh(
        np.clip(float64_r(values[kept], second), -bound, bound)
    )
    z = d / np.sqrt(1 / (first.size - 3) + 1 / (second.size - 3))
    want = {"two-sided": 2 * stats.norm.sf(np.abs(z)), "greater": stats.norm.sf(z), "less": stats.norm.cdf(z)}
    want = want[alternative]
    assert res.p_value.dtype == np.float64
    assert not np.any((res.p_value == 0) & (want > 1e-300))
    small = want > 1e-300
    assert np.abs(np.log(res.p_value[small] / want[small])).max() <= 1e-4


@pytest.mark.parametrize("n1,n2", [(37, 42), (10, 12), (129, 240)])
def test_spearman_null_share_is_calibrated(n1, n2):
    x = np.random.default_rng(n1).normal(size=(300, n1 + n2)).astype(np.float32)
    res = corrshift.ztest(
        x, list(range(n1)), list(range(n1, n1 + n2)), method="spearman", permutations=0, progress=False
    )
    assert 0.008 <= np.mean(res.p_value < 0.01) <= 0.012


@pytest.fixture(scope="module")
def sparse_genes():
    x = np.random.default_rng(8).normal(size=(12, 40)).astype(np.float32)
    x[3, :20] = 2.0  # constant within group 1
    x[7, 25:] = 0.0  # non-zero in 5 samples of group 2
    return x


def test_row_constant_in_a_group_is_left_out_and_named(sparse_genes):
    g1, g2 = list(range(20)), list(range(20, 40))
    with pytest.warns(UserWarning, match="constant within group1: '3'") as caught:
        res = corrshift.ztest(sparse_genes, g1, g2, permutations=30, progress=False)
    assert len(caught) == 1
    assert res.dropped == {"constant within group1": ["3"]}
    assert res.to_pandas().attrs["dropped"] == res.dropped == res.top(3).dropped
    tsv = io.StringIO()
    res.to_tsv(tsv, top=1)
    assert tsv.getvalue().splitlines()[1] == "# left out: constant within group1 (3)"
    kept = [r for r in range(12) if r != 3]
    without = corrshift.ztest(
        sparse_genes[kept], g1, g2, permutations=30, progress=False, row_names=[str(r) for r in kept]
    )
    for name in ("r1", "r2", "z_diff", "p_value", "perm_p", "q_value"):
        np.testing.assert_array_equal(getattr(res, name), getattr(without, name))
    rows = quiet(corrshift.row_scores, sparse_genes, g1, g2, permutations=10)
    assert "3" not in rows.row.tolist() and len(rows) == 11
    sets = quiet(corrshift.set_scores, sparse_genes, {3: [1, 2], 0: [3, 5], 6: [3]}, g1, g2, permutations=10)
    assert sets.hub.tolist() == ["0"] and sets.size.tolist() == [1]
    listed = quiet(corrshift.ztest, sparse_genes, g1, g2, [(0, 3), (1, 2)], permutations=10)
    assert listed.row1.tolist() == ["1"]


@pytest.mark.parametrize(
    "option,value,dropped", [("min_cells", 6, ["3", "7"]), ("min_cells", 5, ["3"]), ("min_fraction", 0.3, ["3", "7"])]
)
def test_rows_expressed_in_too_few_samples_are_left_out(sparse_genes, option, value, dropped):
    res = quiet(corrshift.ztest, sparse_genes, list(range(20)), list(range(20, 40)), permutations=0, **{option: value})
    assert sorted(r for names in res.dropped.values() for r in names) == dropped
    with pytest.raises(corrshift.InputError, match=option):
        corrshift.ztest(sparse_genes, list(range(20)), list(range(20, 40)), **{option: -1})


@pytest.mark.parametrize("spread", [1e-3, 1e-4, 3e-5, 1e-5, 3e-6])
def test_near_constant_rows_keep_accurate_correlations(spread):
    x = np.random.default_rng(9).normal(size=(40, 80)).astype(np.float32)
    x[0, :40] = (5.0 + spread * np.random.default_rng(10).normal(size=40)).astype(np.float32)
    res = corrshift.ztest(x, list(range(40)), list(range(40, 80)), permutations=20, progress=False)
    assert res.dropped == {}
    assert np.abs(res.r1 - float64_r(x, list(range(40)))).max() <= 1e-6
    assert np.isfinite(res.p_value).all() and (res.p_value > 1e-10).all()
    rows = corrshift.row_scores(x, list(range(40)), list(range(40, 80)), permutations=20, progress=False)
    assert np.isfinite(rows.score).all()


def test_one_step_of_float32_variation_is_constant():
    x = np.random.default_rng(11).normal(size=(6, 20)).astype(np.float32)
    x[2, :10] = 5.0
    x[2, 4] = np.nextafter(np.float32(5.0), np.float32(6.0))
    with pytest.warns(UserWarning, match="varies too little within group1"):
        res = corrshift.ztest(x, list(range(10)), list(range(10, 20)), permutations=0, progress=False)
    assert "2" not in res.row1.tolist() + res.row2.tolist()


def test_cli_filters_and_names_rows_left_out(sparse_genes, tmp_path, capsys):
    path = tmp_path / "expr.npy"
    np.save(str(path), sparse_genes)
    g1, g2 = ",".join(str(c) for c in range(20)), ",".join(str(c) for c in range(20, 40))
    assert (
        cli.main(
            [
                "pairs",
                str(path),
                "--group1",
                g1,
                "--group2",
                g2,
                "--permutations",
                "0",
                "--min-cells",
                "6",
                "-o",
                str(tmp_path / "out.tsv"),
            ]
        )
        == 0
    )
    err = capsys.readouterr().err
    assert "left out 1 row, constant within group1: 3" in err
    assert "left out 1 row, non-zero in fewer than 6 of the 20 samples of group2 (min_cells=6): 7" in err
    assert "UserWarning" not in err
