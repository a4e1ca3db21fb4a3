"""The studentized blocks of ``corrshift._blocks`` against a plain NumPy computation.

The observed statistic T (studentized difference of Fisher-transformed correlations) must
match NumPy to about 1e-9 relative; the robust passes must count, pass by pass in the
engine's pass sequence, the defined passes at least as extreme as the observed T, leave out
the passes where a permuted group leaves a row constant, and give the same bits whatever
the split into pass ranges, the threads, the order or the subset of the pairs.
"""

import math
import os

import numpy as np
import pytest
import reference

from corrshift import _blocks, pipelines

F32, I32 = np.float32, np.int32
CLAMP = 0.9999
ALTERNATIVES = ["two-sided", "greater", "less"]


# --------------------------------------------------------------------------- NumPy reference
def average_ranks(a):
    """Average ranks along the last axis (ties share their mean rank)."""
    order = np.argsort(a, axis=-1, kind="stable")
    s = np.take_along_axis(a, order, axis=-1)
    out = np.empty(a.shape)
    for index in np.ndindex(a.shape[:-1]):
        row, ranks, k = s[index], np.empty(a.shape[-1]), 0
        while k < row.size:
            e = k
            while e + 1 < row.size and row[e + 1] == row[k]:
                e += 1
            ranks[k : e + 1] = (k + e) / 2.0 + 1.0
            k = e + 1
        out[index + (order[index],)] = ranks
    return out


def group_statistics(v, method):
    """(u, ok) of rows v (... x n): standardised with divisor n, ok where not constant."""
    v = np.asarray(v, np.float64)
    if method == "spearman":
        v = average_ranks(v)
    ok = ~np.all(v == v[..., :1], axis=-1)
    c = v - v.mean(axis=-1, keepdims=True)
    sd = np.sqrt((c * c).mean(axis=-1, keepdims=True))
    with np.errstate(invalid="ignore", divide="ignore"):
        return c / sd, ok


def studentized_numpy(x, first, second, g1, g2, method):
    """T of the pairs (first[k], second[k]) for each pass's groups g1, g2 (P x n1, P x n2):
    K x P, NaN where a group leaves a row constant. tau^2 = mean(w^2), its definition."""
    rows, index = np.unique(np.concatenate([first, second]), return_inverse=True)
    x = np.asarray(x, np.float64)[rows]
    first, second = index[: len(first)], index[len(first) :]
    parts = []
    for g in (g1, g2):
        u, ok = group_statistics(x[:, g], method)  # rows x P x n
        ua, ub = u[first], u[second]
        r = np.clip((ua * ub).mean(axis=-1), -1.0, 1.0)
        w = ua * ub - (r[..., None] / 2) * (ua * ua + ub * ub)
        tau = (w * w).mean(axis=-1)
        c = np.clip(r, -CLAMP, CLAMP)
        parts.append((c, tau / (1 - c * c) ** 2, ok[first] & ok[second], g.shape[-1]))
    (c1, v1, ok1, n1), (c2, v2, ok2, n2) = parts
    with np.errstate(invalid="ignore", divide="ignore"):
        t = (np.arctanh(c1) - np.arctanh(c2)) / np.sqrt(v1 / (n1 - 3) + v2 / (n2 - 3))
    return np.where(ok1 & ok2, t, np.nan)


def extremeness(t, alternative):
    return np.abs(t) if alternative == "two-sided" else (t if alternative == "greater" else -t)


def normal_p(t, alternative):
    z = {"two-sided": -abs(t), "greater": -t, "less": t}[alternative]
    return math.erfc(-z / math.sqrt(2.0)) * (1.0 if alternative == "two-sided" else 0.5)


def pass_groups(ncols, g1, g2, passes):
    """Groups of the passes 0 .. passes - 1: the caller's, then the engine's shuffles."""
    drawn = reference.permutation_groups(ncols, g1.size, g2.size, passes - 1)
    return np.array([g1] + [a for a, _ in drawn]), np.array([g2] + [b for _, b in drawn])


def pass_sequence(x, first, second, g1, g2, method, alternative, passes):
    """Per pair and pass 1 .. passes - 1: extremeness (NaN where undefined), and each pair's
    observed extremeness."""
    a, b = pass_groups(x.shape[1], g1, g2, passes)
    e = extremeness(studentized_numpy(x, first, second, a, b, method), alternative)
    return e[:, 1:], e[:, 0]


def expected_run(e, observed, stop_at, keep):
    """counts, defined, top of each pair over the passes of e, stopping at stop_at."""
    counts, defined, top = [], [], np.full((e.shape[0], keep), np.nan)
    for k in range(e.shape[0]):
        c = d = 0
        kept = []
        if np.isfinite(observed[k]):
            threshold = observed[k] - 1e-9 * abs(observed[k])
            for value in e[k]:
                if np.isnan(value):
                    continue
                d += 1
                kept.append(value)
                if value >= threshold:
                    c += 1
                    if stop_at and c >= stop_at:
                        break
        kept = sorted(kept, reverse=True)[:keep]
        top[k, : len(kept)] = kept
        counts.append(c)
        defined.append(d)
    return np.array(counts), np.array(defined), top


# --------------------------------------------------------------------------- data
def leukemia():
    path = os.path.join(os.path.dirname(pipelines.__file__), "data", "all_leukemia_bcrabl_neg.npz")
    with np.load(path) as d:
        x, probes, kind = d["expression"], list(d["probes"]), d["mol_biol"]
    return x, probes, np.flatnonzero(kind == "BCR/ABL").astype(I32), np.flatnonzero(kind == "NEG").astype(I32)


def sparse_toy(seed=5, nrows=7, ncols=16):
    """Counts with many zeros and repeated values: undefined passes (a group left with
    only zeros in a row) and exact ties between passes."""
    rng = np.random.default_rng(seed)
    x = rng.poisson(0.7, size=(nrows, ncols)).astype(F32)
    x[0, :] = 0.0
    x[0, [1, 9, 12]] = [2.0, 1.0, 3.0]  # non-zero in 3 samples only
    x[1, :] = rng.integers(0, 3, ncols)
    x[2, 5] = 4.0
    return x


def all_pairs(n):
    i, j = np.triu_indices(n, 1)
    return i.astype(I32), j.astype(I32)


def robust(x, first, second, g1, g2, method, alternative, lo, hi, state, stop_at=0, keep=0, n_jobs=1):
    return _blocks.robust_pass_block(
        x, first, second, g1, g2, method, alternative, lo, hi, state, stop_at, keep, n_jobs
    )


def bits(a):
    return np.ascontiguousarray(a).view(np.uint8)


# --------------------------------------------------------------------------- observed T
@pytest.mark.parametrize("method", ["pearson", "spearman"])
@pytest.mark.parametrize("alternative", ALTERNATIVES)
def test_observed_statistic_matches_numpy(method, alternative):
    x, _, g1, g2 = leukemia()
    x = x[:40]
    want = studentized_numpy(x, *all_pairs(40), g1[None], g2[None], method)[:, 0]
    t, p = _blocks.studentized_block(x, g1, g2, (0, 40), (0, 40), method, alternative, 2)
    assert t.dtype == p.dtype == np.float64 and t.shape == p.shape == want.shape
    np.testing.assert_allclose(t, want, rtol=1e-9, atol=0)
    np.testing.assert_allclose(p, [normal_p(v, alternative) for v in want], rtol=1e-9, atol=1e-300)
    # A tile gives its pairs in ztest_block's order: by i, then j > i.
    tile_t, _ = _blocks.studentized_block(x, g1, g2, (5, 9), (7, 30), method, alternative, 1)
    index = {pair: k for k, pair in enumerate(zip(*all_pairs(40)))}
    order = [index[i, j] for i in range(5, 9) for j in range(max(7, i + 1), 30)]
    np.testing.assert_array_equal(bits(tile_t), bits(t[order]))
    # Listed pairs, either way round for the two-group difference; pass 0 of the robust passes.
    first, second = np.array([3, 17, 39, 0], I32), np.array([11, 2, 38, 39], I32)
    lt, lp = _blocks.studentized_pairs_block(x, first, second, g1, g2, method, alternative, 1)
    want = studentized_numpy(x, first, second, g1[None], g2[None], method)[:, 0]
    np.testing.assert_allclose(lt, want, rtol=1e-9)
    np.testing.assert_allclose(lp, [normal_p(v, alternative) for v in want], rtol=1e-9)
    (t_obs, counts, defined), top = robust(x, first, second, g1, g2, method, alternative, 0, 1, None, keep=2)
    np.testing.assert_allclose(t_obs, want, rtol=1e-9)
    assert counts.tolist() == defined.tolist() == [0] * 4 and np.isnan(top).all() and top.shape == (4, 2)
    assert t_obs.dtype == np.float64 and counts.dtype == defined.dtype == np.int32


# Values of the calibration reference (float64, n - 3 in T's standard error, clamp 0.9999).
NAMED = [
    ("36809_at", "37194_at", "pearson", -2.495984, 0.01256),
    ("33338_at", "36753_at", "pearson", 5.633373, 1.767e-08),
    ("1637_at", "995_g_at", "pearson", 6.072211, 1.262e-09),
    ("36809_at", "37194_at", "spearman", 0.552492, 0.5806),
    ("33338_at", "36753_at", "spearman", 5.017291, 5.241e-07),
    ("1637_at", "995_g_at", "spearman", 3.770950, 0.0001626),
]


@pytest.mark.parametrize("a,b,method,t,p", NAMED)
def test_named_leukemia_pairs(a, b, method, t, p):
    x, probes, g1, g2 = leukemia()
    first, second = np.array([probes.index(a)], I32), np.array([probes.index(b)], I32)
    got_t, got_p = _blocks.studentized_pairs_block(x, first, second, g1, g2, method, "two-sided", 1)
    assert got_t[0] == pytest.approx(t, abs=1e-6) and got_p[0] == pytest.approx(p, rel=1e-3)


def test_named_single_cell_pairs_near_a_perfect_correlation():
    sc = pytest.importorskip("scanpy")
    adata = sc.datasets.pbmc68k_reduced()
    raw = adata.raw.X
    x = np.ascontiguousarray(np.asarray(raw.todense() if hasattr(raw, "todense") else raw).T, dtype=F32)
    genes, cells = list(adata.raw.var_names), adata.obs["bulk_labels"].astype(str).to_numpy()
    g1 = np.flatnonzero(cells == "CD14+ Monocyte")
    for a, b, other, t in [("MZB1", "GNG7", "Dendritic", 335.576291), ("TSC22D1", "ESD", "CD56+ NK", -299.387616)]:
        g2 = np.flatnonzero(cells == other)
        # The engine's passes re-split the two groups' samples: their columns only.
        both = np.ascontiguousarray(x[:, np.concatenate([g1, g2])])
        h1, h2 = np.arange(g1.size, dtype=I32), np.arange(g1.size, g1.size + g2.size, dtype=I32)
        pair = np.array([genes.index(a)], I32), np.array([genes.index(b)], I32)
        got, p = _blocks.studentized_pairs_block(both, *pair, h1, h2, "pearson", "two-sided", 1)
        # r = 1 in one group: tau^2 there is float noise of about 1e-14, and 1 / (1 - 0.9999^2)^2
        # turns it into T's fifth digit (MZB1/GNG7).
        assert got[0] == pytest.approx(t, rel=1e-4) and p[0] == 0.0
        if a == "TSC22D1":
            # 43.7% undefined passes and p = 0.0087 in 20,000 passes of another sequence.
            (t_obs, count, defined), _ = robust(both, *pair, h1, h2, "pearson", "two-sided", 0, 20001, None, n_jobs=2)
            assert t_obs[0] == pytest.approx(t, rel=1e-6)
            assert abs((20000 - defined[0]) / 20000 - 0.437) < 4 * math.sqrt(0.437 * 0.563 / 20000)
            assert abs(count[0] / defined[0] - 0.0087) < 4 * math.sqrt(0.0087 * 0.9913 / defined[0])


# --------------------------------------------------------------------------- robust passes
@pytest.mark.parametrize("method", ["pearson", "spearman"])
@pytest.mark.parametrize("alternative", ALTERNATIVES)
def test_pass_counts_match_numpy_on_the_leukemia_pairs(method, alternative):
    x, _, g1, g2 = leukemia()
    rng = np.random.default_rng(3)
    first, second = rng.choice(2000, size=(2, 24), replace=False).astype(I32)
    passes, keep = 300, 6
    e, observed = pass_sequence(x, first, second, g1, g2, method, alternative, passes)
    (t_obs, counts, defined), top = robust(x, first, second, g1, g2, method, alternative, 0, passes, None, keep=keep)
    np.testing.assert_allclose(extremeness(t_obs, alternative), observed, rtol=1e-9)
    want_counts, want_defined, want_top = expected_run(e, observed, 0, keep)
    assert counts.tolist() == want_counts.tolist() and defined.tolist() == want_defined.tolist()
    assert counts.sum() > 0 and (defined == passes - 1).all()
    np.testing.assert_allclose(top, want_top, rtol=1e-9)


@pytest.mark.parametrize("method", ["pearson", "spearman"])
@pytest.mark.parametrize("alternative", ALTERNATIVES)
@pytest.mark.parametrize("ncols", [16, 19], ids=["groups hold every column", "columns left out"])
def test_sparse_rows_leave_undefined_passes_out_and_count_ties(method, alternative, ncols):
    x = sparse_toy(ncols=ncols)
    g1, g2 = np.arange(0, 14, 2, dtype=I32), np.array([1, 3, 5, 7, 9, 11, 13, 15, 14], I32)
    first, second = all_pairs(x.shape[0])
    passes = 400
    e, observed = pass_sequence(x, first, second, g1, g2, method, alternative, passes)
    (t_obs, counts, defined), top = robust(x, first, second, g1, g2, method, alternative, 0, passes, None, keep=5)
    want_counts, want_defined, want_top = expected_run(e, observed, 0, 5)
    assert np.isnan(observed).tolist() == np.isnan(t_obs).tolist()
    assert counts.tolist() == want_counts.tolist() and defined.tolist() == want_defined.tolist()
    # Near |r| = 1 (a pair's few non-zero samples) tau^2 is a difference of nearly equal
    # moments: the passes' power sums and NumPy's mean(w^2) agree to about 1e-7 there.
    np.testing.assert_allclose(top, want_top, rtol=1e-6)
    # The toy has what it is for: undefined passes, and passes tied with one another.
    assert (defined[np.isfinite(t_obs)] < passes - 1).any()
    assert any(np.unique(row[np.isfinite(row)]).size < np.isfinite(row).sum() for row in e)


def test_a_pair_with_a_constant_row_has_no_statistic_and_no_passes():
    x = sparse_toy()
    x[3, :8] = 2.0
    g1, g2 = np.arange(8, dtype=I32), np.arange(8, 16, dtype=I32)
    first, second = np.array([3, 0], I32), np.array([1, 4], I32)
    t, p = _blocks.studentized_pairs_block(x, first, second, g1, g2, "pearson", "two-sided", 1)
    assert np.isnan(t[0]) and np.isnan(p[0])
    (t_obs, counts, defined), top = robust(x, first, second, g1, g2, "pearson", "two-sided", 0, 50, None, keep=3)
    assert np.isnan(t_obs[0]) and counts[0] == defined[0] == 0 and np.isnan(top[0]).all()
    assert defined[1] > 0


# --------------------------------------------------------------------------- bit identity
def run_split(x, first, second, g1, g2, method, alternative, split, jobs, stop_at=0, keep=0):
    """The ranges of `split` one after another, state carried over; the last state and each
    range's top."""
    state, tops = None, []
    for k, (lo, hi) in enumerate(zip(split, split[1:])):
        state, top = robust(x, first, second, g1, g2, method, alternative, lo, hi, state, stop_at, keep, jobs[k % 2])
        tops.append(top)
    return state, tops


def merged_top(tops, keep):
    values = np.concatenate(tops, axis=1)
    values = -np.sort(-np.where(np.isnan(values), -np.inf, values), axis=1)[:, :keep]
    return np.where(np.isinf(values), np.nan, values)


@pytest.mark.parametrize("method", ["pearson", "spearman"])
def test_pass_ranges_threads_and_pair_order_give_the_same_bits(method):
    x, _, g1, g2 = leukemia()
    x = np.ascontiguousarray(x[:30])
    first, second = all_pairs(30)
    passes, keep = 260, 4
    (t_obs, counts, defined), top = robust(x, first, second, g1, g2, method, "two-sided", 0, passes, None, keep=keep)
    for split, jobs in [((0, 1, passes), (1, 2)), ((0, 7, 8, 133, passes), (2, 1)), ((0, 200, passes), (2, 2))]:
        state, tops = run_split(x, first, second, g1, g2, method, "two-sided", split, jobs, keep=keep)
        for got, want in zip(state, (t_obs, counts, defined)):
            np.testing.assert_array_equal(bits(got), bits(want))
        np.testing.assert_array_equal(bits(merged_top(tops, keep)), bits(top))
    order = np.random.default_rng(1).permutation(first.size)[:150]
    (sub_t, sub_c, sub_d), sub_top = robust(
        x, second[order], first[order], g1, g2, method, "two-sided", 0, passes, None, keep=keep, n_jobs=2
    )
    assert sub_c.tolist() == counts[order].tolist() and sub_d.tolist() == defined[order].tolist()
    np.testing.assert_array_equal(bits(sub_t), bits(t_obs[order]))
    np.testing.assert_array_equal(bits(sub_top), bits(top[order]))


@pytest.mark.parametrize("method", ["pearson", "spearman"])
@pytest.mark.parametrize("alternative", ["two-sided", "less"])
def test_stop_at_ends_a_pair_at_the_pass_its_count_reaches(method, alternative):
    x = sparse_toy(seed=11, nrows=8)
    g1, g2 = np.arange(0, 16, 2, dtype=I32), np.arange(1, 16, 2, dtype=I32)
    first, second = all_pairs(8)
    passes, stop_at, keep = 300, 60, 3
    e, observed = pass_sequence(x, first, second, g1, g2, method, alternative, passes)
    want_counts, want_defined, want_top = expected_run(e, observed, stop_at, keep)
    assert 0 < (want_counts == stop_at).sum() < first.size  # some stop, some run to the end
    for split, jobs in [((0, passes), (1, 1)), ((0, 1, 5, 61, passes), (2, 1))]:
        (t_obs, counts, defined), tops = run_split(
            x, first, second, g1, g2, method, alternative, split, jobs, stop_at=stop_at, keep=keep
        )
        assert counts.tolist() == want_counts.tolist() and defined.tolist() == want_defined.tolist()
        np.testing.assert_allclose(merged_top(tops, keep), want_top, rtol=1e-6)  # sparse: see above
    # A state already at the stop runs no passes; keep=0 gives an empty top.
    state = (t_obs, counts, defined)
    (_, again_c, again_d), top = robust(
        x, first, second, g1, g2, method, alternative, passes, passes + 40, state, stop_at
    )
    stopped = counts == stop_at
    assert again_c[stopped].tolist() == counts[stopped].tolist()
    assert again_d[stopped].tolist() == defined[stopped].tolist() and top.shape == (first.size, 0)


def test_progress_counts_the_range_passes_also_when_every_pair_stops():
    x, _, g1, g2 = leukemia()
    seen = []
    robust_args = (x, np.array([0], I32), np.array([1], I32), g1, g2, "pearson", "two-sided")
    _blocks.robust_pass_block(*robust_args, 0, 5000, None, 1, 0, 1, progress=seen.append)
    assert seen[-1] == 5000 and seen == sorted(seen) and len(seen) < 100


# --------------------------------------------------------------------------- arguments
def good_call():
    x = sparse_toy()
    return dict(
        data=x,
        first_rows=np.array([0, 1], I32),
        second_rows=np.array([2, 3], I32),
        first_columns=np.arange(6, dtype=I32),
        second_columns=np.arange(6, 12, dtype=I32),
        method="pearson",
        alternative="two-sided",
        pass_first=3,
        pass_last=9,
        state=(np.zeros(2), np.zeros(2, I32), np.zeros(2, I32)),
        stop_at=0,
        keep=2,
        n_jobs=1,
    )


@pytest.mark.parametrize(
    "change,error,match",
    [
        (dict(state=None), TypeError, "state must be the"),
        (dict(pass_first=0), ValueError, "state must be None when pass_first is 0"),
        (dict(state=(np.zeros(3), np.zeros(3, I32), np.zeros(3, I32))), ValueError, "one value per pair"),
        (dict(state=(np.zeros(2), np.zeros(2, I32))), TypeError, "state must be the"),
        (dict(state=(np.zeros(2), np.array([2, 0], I32), np.array([1, 0], I32))), ValueError, "counts <= defined"),
        (dict(state=(np.zeros(2), np.array([-1, 0], I32), np.zeros(2, I32))), ValueError, "counts <= defined"),
        (dict(state=(np.zeros(2), "counts", np.zeros(2, I32))), TypeError, "state's counts"),
        (dict(stop_at=-1), ValueError, "stop_at must be"),
        (dict(keep=-2), ValueError, "keep must be"),
        (dict(keep=1 << 20), ValueError, "keep must be"),
        (dict(second_columns=np.arange(5, 11, dtype=I32)), ValueError, "column 5 is listed twice"),
        (dict(first_columns=np.array([0, 1, 2, 0], I32)), ValueError, "column 0 is listed twice"),
        (dict(first_columns=np.arange(3, dtype=I32)), ValueError, "at least 4 columns in each group"),
        (dict(second_columns=np.arange(6, 18, dtype=I32)), IndexError, "not a column"),
        (dict(first_rows=np.array([0, 3], I32)), ValueError, "with itself"),
        (dict(second_rows=np.array([2], I32)), ValueError, "the same pairs"),
        (dict(first_rows=np.array([0, 7], I32)), IndexError, "not a row"),
        (dict(state=(np.zeros(2), np.zeros(2, np.int64), np.zeros(2, I32))), TypeError, "state's counts"),
        (dict(state=(np.zeros(2, F32), np.zeros(2, I32), np.zeros(2, I32))), TypeError, "state's t_obs"),
        (dict(state=(np.zeros(2), [0, 0], np.zeros(2, I32))), TypeError, "state's counts"),
        (dict(pass_first=9, pass_last=3), ValueError, "pass"),
        (dict(method="kendall"), ValueError, "method"),
        (dict(alternative="both"), ValueError, "alternative"),
    ],
)
def test_bad_robust_arguments_are_refused_in_one_line(change, error, match):
    calls = []
    with pytest.raises(error, match=match) as raised:
        _blocks.robust_pass_block(**dict(good_call(), **change), progress=calls.append)
    assert "\n" not in str(raised.value) and calls == []


def test_bad_studentized_arguments_are_refused_in_one_line():
    x = sparse_toy()
    g1, g2 = np.arange(3, dtype=I32), np.arange(3, 12, dtype=I32)
    with pytest.raises(ValueError, match="at least 4 columns") as raised:
        _blocks.studentized_block(x, g1, g2, (0, 7), (0, 7), "pearson", "two-sided", 1)
    assert "\n" not in str(raised.value)
    with pytest.raises(IndexError, match="rows_b"):
        _blocks.studentized_block(x, g2[:4], g2[4:], (0, 7), (0, 9), "pearson", "two-sided", 1)
    with pytest.raises(ValueError, match="with itself"):
        _blocks.studentized_pairs_block(x, [1], [1], g2[:4], g2[4:], "spearman", "less", 1)
    # Overlapping groups are fine for the observed statistic: no pass draws from them.
    t, _ = _blocks.studentized_pairs_block(x, [1], [2], g2[:6], g2[2:], "spearman", "less", 1)
    assert t.shape == (1,)


@pytest.mark.parametrize("method", ["spearman", "pearson"])
def test_groups_of_more_than_6000_columns(method):
    # Spearman's integer sums of such groups need more than 64 bits.
    rng = np.random.default_rng(8)
    x = np.round(rng.normal(size=(3, 12101)) * 20).astype(F32)  # ties
    x[1] += x[0]
    g1, g2 = np.arange(6050, dtype=I32), np.arange(6050, 12100, dtype=I32)
    first, second = np.array([0, 1], I32), np.array([1, 2], I32)
    e, observed = pass_sequence(x, first, second, g1, g2, method, "two-sided", 6)
    (t_obs, counts, defined), top = robust(x, first, second, g1, g2, method, "two-sided", 0, 6, None, keep=5)
    np.testing.assert_allclose(extremeness(t_obs, "two-sided"), observed, rtol=1e-9)
    np.testing.assert_allclose(top, -np.sort(-e, axis=1), rtol=1e-9)
    assert defined.tolist() == [5, 5]


@pytest.mark.parametrize("method", ["pearson", "spearman"])
def test_permutation_p_is_uniform_on_exchangeable_data(method):
    # Independent pairs of heavy-tailed rows whose samples are exchangeable: (b + 1) / (L + 1)
    # is uniform on the grid of its values, whatever T's asymptotic p does at 12 + 16.
    rng = np.random.default_rng(21)
    x = rng.standard_t(3, size=(800, 28)).astype(F32)
    first, second = np.arange(0, 800, 2, dtype=I32), np.arange(1, 800, 2, dtype=I32)
    g1, g2 = np.arange(12, dtype=I32), np.arange(12, 28, dtype=I32)
    (_, counts, defined), _ = robust(x, first, second, g1, g2, method, "two-sided", 0, 500, None, n_jobs=2)
    p = (counts + 1) / (defined + 1)
    for level in (0.05, 0.2, 0.5):
        assert abs((p <= level).mean() - level) < 4 * math.sqrt(level * (1 - level) / p.size)
