"""Numbers the API reports beyond the native arrays: accuracy against double precision
whatever the data's offset and scale, the permutation p-value convention against a
direct count, the correlation p-values against SciPy, and the table order."""

import numpy as np
import pytest

import corrshift
import reference as ref
from corrshift import results
from corrshift._inputs import scale_rows

N1, N2 = 40, 40


def float64_r(values, columns):
    """Pearson r of every pair of rows over `columns`, in float64, condensed order."""
    r = np.corrcoef(np.asarray(values, dtype=np.float64)[:, columns])
    return r[np.triu_indices(values.shape[0], 1)]


@pytest.fixture(scope="module")
def noise():
    return np.random.default_rng(2024).normal(size=(150, N1 + N2))


@pytest.mark.parametrize("scale", [1e-20, 1.0, 1e19], ids=["scale-1e-20", "scale-1", "scale-1e19"])
@pytest.mark.parametrize("offset", [0.0, 1e3, 1e6], ids=["offset-0", "offset-1e3", "offset-1e6"])
def test_correlations_match_float64_whatever_offset_and_scale(noise, offset, scale):
    values = (scale * (offset + noise)).astype(np.float32)  # no true difference between the groups
    g1, g2 = list(range(N1)), list(range(N1, N1 + N2))
    res = corrshift.ztest(values, g1, g2, permutations=0)
    assert np.abs(res.r1 - float64_r(values, g1)).max() <= 5e-6
    assert np.abs(res.r2 - float64_r(values, g2)).max() <= 5e-6
    assert 0.005 <= np.mean(res.p_value < 0.01) <= 0.015


def test_spearman_ranks_survive_standardising(noise):
    stats = pytest.importorskip("scipy.stats")
    values = 1e3 + noise[:40]  # float64 data far from zero
    g1 = list(range(N1))
    res = corrshift.ztest(values, g1, list(range(N1, N1 + N2)), method="spearman", permutations=0)
    ranks = np.apply_along_axis(stats.rankdata, 1, values[:, g1])
    assert np.abs(res.r1 - float64_r(ranks, list(range(N1)))).max() <= 5e-6


def test_leukemia_subset_matches_float64():
    ex = corrshift.load_example()
    first, second = ex.mol_biol == "BCR/ABL", ex.mol_biol == "NEG"
    res = corrshift.ztest(ex.expression[:300], first, second, permutations=0)
    assert np.abs(res.r1 - float64_r(ex.expression[:300], np.flatnonzero(first))).max() <= 2e-6
    assert np.abs(res.r2 - float64_r(ex.expression[:300], np.flatnonzero(second))).max() <= 2e-6


def test_huge_values_give_finite_statistics(noise):
    values = noise[:20] * 1e300  # squares overflow float64 too
    res = corrshift.ztest(values, list(range(N1)), list(range(N1, N1 + N2)), permutations=5)
    assert np.isfinite(res.z_diff).all() and (res.perm_p > 0).all()


@pytest.mark.parametrize("alternative", ["two-sided", "greater", "less"])
def test_permutation_p_is_count_plus_one_over_passes_plus_one(alternative):
    rng = np.random.default_rng(5)
    values = rng.normal(size=(6, 13))
    values[1] += values[0]
    permutations, n1 = 40, 6
    res = corrshift.ztest(
        values, list(range(n1)), list(range(n1, 13)), alternative=alternative, permutations=permutations
    )
    sub = scale_rows(values).astype(np.float32)  # what the native code is given
    i, j = np.triu_indices(6, 1)

    def z_diff(g1, g2):
        r1, r2 = ref.pair_correlation(sub, i, j, g1), ref.pair_correlation(sub, i, j, g2)
        return ref.fisher_difference(r1, len(g1), r2, len(g2), "pearson", alternative, with_p=False)[0]

    observed = z_diff(np.arange(n1), np.arange(n1, 13))
    counts = np.zeros(observed.size)
    for g1, g2 in ref.permutation_groups(13, n1, 13 - n1, permutations):
        counts += ref._exceeds(z_diff(g1, g2), observed, alternative)
    np.testing.assert_array_equal(res.perm_p, (counts + 1) / (permutations + 1))
    np.testing.assert_array_equal(res.perm_q, results.bh_qvalues(res.perm_p))


def test_counts_come_back_exactly_from_the_float32_share():
    for permutations in (1, 999, 1000, 12345, 2**23 + 3, 2**24):
        counts = np.unique(
            np.concatenate(
                [np.arange(0, min(permutations, 4000) + 1), np.arange(0, min(permutations, 2**23 - 1) + 1, 997)]
            )
        )
        share = (counts.astype(np.float32) / np.float32(permutations)).astype(np.float32)
        np.testing.assert_array_equal(results.exceedance_counts(share, permutations), counts)


def test_nan_statistic_gets_nan_p_values():
    p = results.permutation_pvalues([0, 3, 5], 9, statistic=[1.0, np.nan, -2.0])
    np.testing.assert_array_equal(p, [0.1, np.nan, 0.6])
    assert np.isnan(results.permutation_pvalues([0, 1], 0)).all()


@pytest.mark.parametrize("n", [3, 4, 10, 37, 1000, 50000])
def test_correlation_p_values_match_the_t_distribution(n):
    special = pytest.importorskip("scipy.special")
    r = np.concatenate([np.random.default_rng(n).uniform(-1, 1, 3000), [1e-9, -0.3, 0.999999, -0.9999]])
    df = n - 2
    t = np.abs(r) * np.sqrt(df / ((1 - np.abs(r)) * (1 + np.abs(r))))
    expected = 2 * special.stdtr(df, -t)
    p = results.correlation_pvalues(r, n)
    usable = expected > 1e-290
    np.testing.assert_allclose(p[usable], expected[usable], rtol=1e-9)
    np.testing.assert_array_equal(results.correlation_pvalues([0.0, 1.0, -1.0, np.nan], n)[:3], [1, 0, 0])
    assert np.isnan(results.correlation_pvalues([np.nan], n)[0])


def test_classes_follow_sign_and_significance():
    codes = results.correlation_classes(
        [0.9, 0.9, -0.9, 0.1], [0.001, 0.001, 0.001, 0.5], [-0.8, 0.1, 0.9, 0.1], [0.01, 0.3, 0.001, 0.5], alpha=0.05
    )
    assert results.CLASS_LABELS[codes].tolist() == ["+/-", "+/0", "-/+", "0/0"]
    codes = results.correlation_classes([0.9], [0.02], [0.9], [0.02], alpha=0.01)
    assert results.CLASS_LABELS[codes].tolist() == ["0/0"]


@pytest.fixture(scope="module")
def demo_subset():
    ex = corrshift.load_example()
    kw = dict(groupby=ex.mol_biol, row_names=ex.probes[:200], column_names=ex.samples, permutations=100)
    pairs = corrshift.ztest(ex.expression[:200], "BCR/ABL", "NEG", **kw)
    rows = corrshift.row_scores(ex.expression[:200], "BCR/ABL", "NEG", **kw)
    less = corrshift.row_scores(ex.expression[:200], "BCR/ABL", "NEG", alternative="less", **kw)
    return pairs, rows, less


def test_pairs_are_listed_by_robust_p_then_difference(demo_subset):
    pairs, _, _ = demo_subset
    table = pairs.to_dict()
    p, z = table["p_robust"], np.abs(table["z_diff"])
    assert (np.diff(p) >= 0).all()
    ties = np.flatnonzero(np.diff(p) == 0)
    assert (z[ties] >= z[ties + 1]).all()
    assert table["p_robust"][0] == pairs.p_robust.min()


def test_scores_are_listed_by_permutation_p_then_most_extreme_score(demo_subset):
    _, rows, less = demo_subset
    for res, sign in ((rows, 1), (less, -1)):
        table = res.to_dict()
        p, score = table["perm_p"], sign * table["score"].astype(np.float64)
        assert (np.diff(p) >= 0).all()
        same = np.flatnonzero(np.diff(p) == 0)
        assert (score[same] >= score[same + 1]).all()
    assert rows.to_dict()["score"][0] == rows.score[rows.perm_p == rows.perm_p.min()].max()
