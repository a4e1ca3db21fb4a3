"""The robust p-values: the tail estimate against the NumPy/SciPy reference of bench/, and
the engine's stage against an independent computation of the same passes."""

import importlib.util
import math
import os

import numpy as np
import pytest

import corrshift
from corrshift import engine, results, robust
from corrshift.results import ROBUST_COLUMNS, bh_qvalues

import reference

_PATH = os.path.join(os.path.dirname(__file__), os.pardir, "bench", "robust_reference.py")


@pytest.fixture(scope="module")
def ref():
    pytest.importorskip("scipy")
    spec = importlib.util.spec_from_file_location("robust_reference", _PATH)
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    return module


def tops(seed):
    """Largest |T| of 10,000 passes, descending, from tails of three shapes."""
    rng = np.random.default_rng(seed)
    light = np.abs(rng.normal(size=10000))
    exponential = rng.exponential(size=10000)
    heavy = np.abs(rng.standard_t(3, size=10000))
    return [-np.sort(-v)[: robust.KEEP] for v in (light, exponential, heavy)]


class TestTail:
    def test_fit_and_check_equal_the_reference(self, ref):
        for top in tops(1):
            y = top[:250] - 0.5 * (top[249] + top[250])
            xi, sigma = robust.gpd_pwm(y)
            assert (xi, sigma) == ref.gpd_pwm(y)
            assert robust.anderson_darling(y, xi, sigma) == ref.anderson_darling(y, xi, sigma)
        for xi, m in ((-0.23, 250), (0.0, 100), (0.31, 50)):
            # Stored values (made with NumPy 2 here): NumPy's log and power may differ in the
            # last bit with other versions and processors.
            assert robust.ad_critical(xi, m) == pytest.approx(ref.ad_critical(xi, m), rel=1e-9)

    def test_tail_p_equals_the_reference_with_shape_kept_non_negative(self, ref):
        for seed in (1, 2):
            for top in tops(seed):
                for t in (top[0] * 0.9, top[0] * 1.5, top[0] * 3):
                    got = robust.tail_p(top, 10000, -t)
                    want, _ = ref.gpd_tail_p(top, 10000, -t, shape="nonneg")
                    assert got == pytest.approx(want, rel=1e-12)
        # A light tail (negative fitted shape) is extrapolated as exponential, not bounded.
        light = tops(3)[0]
        beyond = robust.tail_p(light, 10000, light[0] * 4)
        assert beyond is not None and beyond > 0
        # Too few values for a fit: none.
        assert robust.tail_p(light[:40], 10000, 5.0) is None

    def test_pass_pvalues_sequential_bound_tail_and_undefined(self):
        top = np.vstack([tops(4)[1]] * 4 + [np.full(robust.KEEP, np.nan)])
        t_obs = np.array([3.0, top[1, 0] * 2, 2.0, np.nan, 9.0])
        counts = np.array([10, 0, 3, 0, 0], np.int32)
        defined = np.array([400, 9000, 9990, 0, 20], np.int32)
        p, how = robust.pass_pvalues(t_obs, counts, defined, top, 1e-300)
        assert p[0] == 10 / 400 and how[0] == robust.SEQUENTIAL
        assert how[1] == robust.TAIL and 0 < p[1] < 1 / 9001
        assert (how[2] == robust.TAIL and p[2] < 4 / 9991) or (how[2] == robust.BOUND and p[2] == 4 / 9991)
        assert np.isnan(p[3]) and how[3] == robust.UNDEFINED
        assert p[4] == 1 / 21 and how[4] == robust.BOUND  # no tail from 20 passes
        assert list(robust.HOW_LABELS[how[[0, 1, 3, 4]]]) == ["sequential", "tail", "undefined", "bound"]
        # A tail above the exact bound gives the bound, and says so.
        above, how_above = robust.pass_pvalues(np.array([top[0, 200]]), np.array([0]), np.array([10000]), top[:1], 0.0)
        assert above[0] == 1 / 10001 and how_above[0] == robust.BOUND
        # Far beyond every pass the tail would give 0: no permutation p-value is below one
        # split of all the splits of the samples.
        far, _ = robust.pass_pvalues(t_obs[1:2] * 1e3, counts[1:2], defined[1:2], top[1:2], robust.smallest_p(20, 20))
        assert far[0] == 1 / 137846528820 == robust.smallest_p(20, 20)
        assert robust.smallest_p(2000, 2000) == np.finfo(np.float64).tiny

    def test_screen_scales_with_the_pairs(self):
        assert robust.screen_of(10) == 0.05 and robust.screen_of(2 * 10**8) == 2.5e-6


def planted(seed=11, rows=14, n1=12, n2=13):
    """Rows with two pairs whose correlation differs strongly between the groups (float32)."""
    rng = np.random.default_rng(seed)
    x = rng.normal(size=(rows, n1 + n2))
    x[1, :n1] = x[0, :n1] + 0.15 * rng.normal(size=n1)
    x[1, n1:] = -x[0, n1:] + 0.15 * rng.normal(size=n2)
    x[3, :n1] = x[2, :n1] + 0.4 * rng.normal(size=n1)
    return x.astype(np.float32), list(range(n1)), list(range(n1, n1 + n2))


def independent_p(ref, x, n1, pairs, method, cap):
    """p-values of the screened pairs by NumPy: the studentized statistic of the reference in
    the engine's passes (tests/reference.py), stop at 10, the shape >= 0 tail at the cap."""
    groups = reference.permutation_groups(x.shape[1], n1, x.shape[1] - n1, cap)
    perms = np.vstack([np.arange(x.shape[1])] + [np.concatenate(g) for g in groups])
    a, b = pairs[:, 0], pairs[:, 1]
    s = np.abs(ref.pass_statistics(x.astype(np.float64), a, b, perms, n1, method, "tz"))
    p = np.empty(len(pairs))
    for k in range(len(pairs)):
        exceed = (s[k, 1:] >= s[k, 0] * (1 - 1e-9)) & ~np.isnan(s[k, 1:])
        defined = np.cumsum(~np.isnan(s[k, 1:]))
        hits = np.cumsum(exceed)
        if hits[-1] >= 10:
            p[k] = 10 / defined[np.argmax(hits >= 10)]
            continue
        L, count = int(defined[-1]), int(hits[-1])
        top = -np.sort(-s[k, 1:][~np.isnan(s[k, 1:])])[: robust.KEEP]
        tail, _ = ref.gpd_tail_p(top, L, s[k, 0], shape="nonneg")
        tail = None if tail is None else max(tail, 1 / math.comb(x.shape[1], n1))  # no p below one split
        p[k] = (count + 1) / (L + 1) if tail is None else min(tail, (count + 1) / (L + 1))
    return p


@pytest.mark.parametrize("method", ["pearson", "spearman"])
def test_stage_equals_numpy_and_does_not_depend_on_tiles(ref, monkeypatch, method):
    monkeypatch.setattr(robust, "CAP", 600)
    monkeypatch.setattr(robust, "SCREEN", 0.02)  # a few screened pairs in a small problem
    x, g1, g2 = planted()
    res = corrshift.ztest(x, g1, g2, method=method, permutations=0, progress=False)
    assert set(res.columns) >= set(ROBUST_COLUMNS)
    how, p = res.p_how, res.p_robust
    screened = np.flatnonzero(how != "asymptotic")
    assert 2 <= screened.size < len(res)
    pairs = np.stack([res.index1[screened], res.index2[screened]], axis=1)
    np.testing.assert_allclose(p[screened], independent_p(ref, x, len(g1), pairs, method, 600), rtol=1e-6)
    assert (res.n_passes[screened] > 0).all() and (res.n_passes[how == "asymptotic"] == 0).all()
    # The others keep the asymptotic p of T, all above the screen; q is BH over every pair.
    assert (p[how == "asymptotic"] > 0.02).all()
    np.testing.assert_array_equal(res.q_robust, bh_qvalues(p))
    # Tiles, threads and listed pairs give the same values.
    monkeypatch.setattr(engine, "TILE_PAIRS", 10)
    tiled = corrshift.ztest(x, g1, g2, method=method, permutations=0, progress=False, n_jobs=1)
    for name in ROBUST_COLUMNS:
        np.testing.assert_array_equal(tiled.column(name), res.column(name))
    listed = corrshift.ztest(x, g1, g2, pairs[::-1], method=method, permutations=0, progress=False)
    np.testing.assert_array_equal(listed.p_robust, p[screened][::-1])


def test_filtered_and_written_tables_carry_the_same_columns(monkeypatch, tmp_path):
    pytest.importorskip("pyarrow")
    pd = pytest.importorskip("pandas")
    monkeypatch.setattr(robust, "CAP", 400)
    monkeypatch.setattr(robust, "SCREEN", 0.02)
    x, g1, g2 = planted(seed=12)
    full = corrshift.ztest(x, g1, g2, permutations=10, progress=False).to_pandas(sort=False)
    key = (full.row1 + "/" + full.row2).to_numpy(dtype=object)
    best = corrshift.ztest(x, g1, g2, permutations=10, progress=False, top=5).to_pandas()
    written = corrshift.ztest(x, g1, g2, permutations=10, progress=False, out=tmp_path / "o")
    files = pd.read_parquet(tmp_path / "o").set_index(pd.Index(key))
    indexed = full.set_index(pd.Index(key))
    for name in ROBUST_COLUMNS:
        np.testing.assert_array_equal(
            best[name].to_numpy(), indexed.loc[(best.row1 + "/" + best.row2).to_numpy(dtype=object), name].to_numpy()
        )
        np.testing.assert_array_equal(files[name].to_numpy(), indexed[name].to_numpy())
    # Read back from the finished folder, with them.
    again = corrshift.ztest(x, g1, g2, permutations=10, progress=False, out=tmp_path / "o")
    np.testing.assert_array_equal(again.p_robust, written.p_robust)
    assert corrshift.ztest(x, g1, g2, permutations=0, progress=False, significance="normal").made("p_robust") is None
    with pytest.raises(corrshift.InputError, match="significance must be one of"):
        corrshift.ztest(x, g1, g2, significance="permutation")


def test_screen_widens_when_the_cutoff_reaches_it(monkeypatch):
    # Many strong pairs: BH's cutoff passes a screen of 1e-12; no pair may then be a
    # discovery on its asymptotic p.
    monkeypatch.setattr(robust, "CAP", 300)
    monkeypatch.setattr(robust, "SCREEN", 1e-12)
    rng = np.random.default_rng(2)
    base = rng.normal(size=(1, 30))
    x = (np.vstack([base * (1 if k % 2 else -1) for k in range(8)]) + 0.3 * rng.normal(size=(8, 30))).astype(np.float32)
    x[:, 15:] = rng.normal(size=(8, 15))  # correlated in group 1 only
    res = corrshift.ztest(x, list(range(15)), list(range(15, 30)), permutations=0, progress=False)
    discoveries = res.q_robust <= 0.05
    assert discoveries.any() and not (discoveries & (res.p_how == "asymptotic")).any()


@pytest.mark.parametrize(
    "filters", [{"max_q": 0.05}, {"top": 6}, {"max_q": 0.05, "top": 1}, {"max_q": 0.0}], ids=str
)
def test_robust_filters_choose_the_pairs_of_the_whole_table(monkeypatch, tmp_path, filters):
    monkeypatch.setattr(robust, "CAP", 400)
    monkeypatch.setattr(robust, "SCREEN", 0.02)
    x, g1, g2 = planted(seed=12, rows=16)
    x[15, :] = np.float32(3.0)  # constant: left out, so the run's rows are a subset of the data's
    names = ["g{}".format(k) for k in range(16)]
    with pytest.warns(UserWarning, match="left out"):
        whole = corrshift.ztest(x, g1, g2, permutations=30, row_names=names, progress=False)
    keep = whole.q_robust <= filters.get("max_q", 1.0)
    expected = whole.take(np.flatnonzero(keep)).top(filters.get("top"))
    if filters.get("max_q") == 0.05:
        assert 0 < keep.sum() < len(whole)
    for where in ("memory", "files"):
        with pytest.warns(UserWarning, match="left out"):
            got = corrshift.ztest(
                x,
                g1,
                g2,
                permutations=30,
                row_names=names,
                progress=False,
                **filters,
                **({"out": tmp_path / "o"} if where == "files" else {}),
            ).top()
        assert list(got.row1) == list(expected.row1) and list(got.row2) == list(expected.row2), where
        for name in ("r1", "r2", "z_diff", "p_value", "perm_p") + ROBUST_COLUMNS:
            np.testing.assert_array_equal(got.column(name), expected.column(name))
        # Only the reported pairs ran their passes: the q-values over every pair are not known.
        assert np.isnan(got.q_value).all() and np.isnan(got.perm_q).all()
        assert got.metadata()["q_value"].startswith("not computed: the pairs were chosen by q_robust")
    if where == "files":
        pd = pytest.importorskip("pandas")
        files = pd.read_parquet(tmp_path / "o")
        assert len(files) == len(expected) and files["q_value"].isna().all()


def test_robust_max_p_runs_the_passes_of_every_pair_it_may_keep(monkeypatch):
    monkeypatch.setattr(robust, "CAP", 300)
    x, g1, g2 = planted(seed=13)
    whole = corrshift.ztest(x, g1, g2, permutations=0, progress=False)
    asymptotic = (whole.p_how == "asymptotic") & (whole.p_robust <= 0.3)
    assert asymptotic.any()  # the whole table tested them by their asymptotic p alone
    kept = corrshift.ztest(x, g1, g2, permutations=0, progress=False, max_p=0.3)
    assert len(kept) and (kept.p_robust <= 0.3).all() and (kept.p_how != "asymptotic").all()
    with pytest.raises(corrshift.InputError, match="perm_q=True needs significance='normal'"):
        corrshift.ztest(x, g1, g2, permutations=10, progress=False, max_q=0.1, perm_q=True)


def test_q_values_below_a_limit_are_those_of_every_pair():
    rng = np.random.default_rng(5)
    # Ties, NaN, exact zeros and a cluster of small p-values, as the robust p-values have.
    p = np.concatenate([rng.uniform(size=4000), rng.uniform(0, 1e-4, size=60), np.zeros(3), np.full(40, 1e-3)])
    p[rng.random(p.size) < 0.02] = np.nan
    rng.shuffle(p)
    full = bh_qvalues(p)
    for limit in (0.0, 0.01, 0.05, 0.3, 1.0):
        below = results.bh_qvalues_below(p, limit)
        made = ~np.isnan(below)
        np.testing.assert_array_equal(made, full <= limit)
        np.testing.assert_array_equal(below[made], full[made])  # bit for bit


def test_tail_fits_made_together_equal_those_made_one_by_one():
    # Light, exponential and heavy tails, with observed values within and far beyond them,
    # and rows whose first fit is rejected (a gap at the threshold) or that hold NaN.
    rng = np.random.default_rng(8)
    rows = [top for seed in range(6) for top in tops(seed)]
    gap = tops(7)[2].copy()
    gap[:120] += 5.0
    rows += [gap, np.concatenate([tops(9)[0][:200], np.full(robust.KEEP - 200, np.nan)])]
    top = np.vstack(rows)
    t_obs = top[:, 0] * rng.uniform(0.8, 3.0, size=len(rows)) * rng.choice([-1, 1], size=len(rows))
    counts = np.zeros(len(rows), np.int32)
    defined = rng.integers(9000, 10001, size=len(rows)).astype(np.int32)
    p, how = robust.pass_pvalues(t_obs, counts, defined, top, 1e-300)
    for k in range(len(rows)):
        alone = robust.tail_p(top[k], int(defined[k]), float(t_obs[k]))
        bound = 1 / (int(defined[k]) + 1)
        if alone is not None and alone < bound:
            # The same operations; NumPy 1.x's power on an array and on a scalar may differ
            # in the last bit (NumPy 2 gives the same bits).
            assert how[k] == robust.TAIL and p[k] == pytest.approx(alone, rel=1e-12, abs=0)
        else:
            assert how[k] == robust.BOUND and p[k] == bound
    assert (how == robust.TAIL).sum() >= len(rows) // 2


def test_stored_critical_values_are_the_simulated_ones():
    from corrshift._critical_values import CRITICAL

    sizes = range(robust.TAIL_FEWEST, robust.TAIL_EXCEEDANCES + 1, robust.TAIL_STEP)
    assert set(CRITICAL) == {(round(g / 10, 1), m, 0.05, 4000) for g in range(-5, 6) for m in sizes}
    for key in [(-0.5, 50, 0.05, 4000), (0.0, 250, 0.05, 4000), (0.3, 120, 0.05, 4000)]:
        # The same draws; NumPy's log and power may differ in the last bit between processors.
        assert CRITICAL[key] == pytest.approx(robust.simulated_critical(key[0], key[1]), rel=1e-9)
    assert robust.ad_critical(0.04, 250) == CRITICAL[(0.0, 250, 0.05, 4000)]
