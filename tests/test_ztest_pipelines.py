"""Pair z-tests of differential correlation: listed pairs and all pairs of rows.

Results are compared bit for bit with the slow reference in tests/reference.py.
"""

import numpy as np
import pytest

import reference as ref
from corrshift import pipelines as pl

F32, I32 = np.float32, np.int32
METHODS = ["pearson", "spearman"]
ALTERNATIVES = ["two-sided", "greater", "less", "sideways"]


def i32(*values):
    return np.array(values, I32)


def span(first, last):
    return np.arange(first, last, dtype=I32)


def assert_same(got, want):
    """Same dtype, shape and values; NaN matches NaN, and zeros keep their sign."""
    assert len(got) == len(want)
    for g, w in zip(got, want):
        assert g.dtype == w.dtype and g.shape == w.shape
        np.testing.assert_array_equal(g, w)
        numbers = ~np.isnan(w)
        np.testing.assert_array_equal(np.signbit(g[numbers]), np.signbit(w[numbers]))


def random_data(seed, rows, cols, ties=False):
    rng = np.random.default_rng(seed)
    if ties:
        return rng.integers(0, 3, (rows, cols)).astype(F32)
    return rng.standard_normal((rows, cols)).astype(F32)


def indexed_problem(
    seed=0, rows=6, cols=12, g1=span(0, 6), g2=span(6, 12), pairs=10, permutations=30, jobs=2, ties=False, edit=None
):
    data = random_data(seed, rows, cols, ties)
    if edit:
        edit(data)
    rng = np.random.default_rng(seed + 100)
    first_rows = rng.integers(0, rows, pairs).astype(I32)
    second_rows = rng.integers(0, rows, pairs).astype(I32)
    first_rows[-1], second_rows[-1] = first_rows[0], second_rows[0]  # a pair listed twice
    return data, first_rows, second_rows, I32(g1), I32(g2), permutations, jobs


def _constant_rows(data):
    data[2, :] = 1.5  # constant everywhere
    data[4, 0:6] = -3.0  # constant over group 1 only


def _nan_values(data):
    data[1, 2] = np.nan
    data[3, 7] = np.nan
    data[3, 9] = np.nan


INDEXED = {
    "p30-jobs2": dict(),
    "p0-jobs1": dict(permutations=0, jobs=1),
    "p1-jobs3": dict(permutations=1, jobs=3),
    "jobs-over-pairs": dict(jobs=12),
    "shared-columns": dict(g1=span(0, 5), g2=span(3, 9)),
    "groups-not-covering": dict(cols=16, g1=i32(9, 2, 14, 5), g2=i32(0, 11, 7, 3, 12)),
    "constant-rows": dict(edit=_constant_rows),
    "empty-group": dict(g1=i32(), g2=span(0, 7)),
    "groups-3-and-2": dict(g1=i32(0, 4, 8), g2=i32(1, 5)),
    "groups-1-and-3": dict(g1=i32(3), g2=i32(2, 6, 10), permutations=25),
    "ties": dict(ties=True, cols=14, g1=span(0, 7), g2=span(7, 14)),
    "nan-data": dict(edit=_nan_values),
}


@pytest.mark.parametrize("alternative", ALTERNATIVES)
@pytest.mark.parametrize("method", METHODS)
@pytest.mark.parametrize("case", INDEXED.values(), ids=INDEXED.keys())
def test_indexed_matches_reference(case, method, alternative, capfd):
    data, first_rows, second_rows, g1, g2, permutations, jobs = indexed_problem(**case)
    got = pl._ztest_pipeline_indexed(data, first_rows, second_rows, g1, g2, method, alternative, permutations, jobs)
    want = ref.ztest_pipeline_indexed(data, first_rows, second_rows, g1, g2, method, alternative, permutations)
    assert_same(got, want)
    if alternative == "sideways":
        assert (got[3] == -2).all() and (got[4] == 0).all()
    assert capfd.readouterr().out.startswith("Permutation progress: [")


EXHAUSTIVE = {  # rows, permutations, n_jobs
    "R0": (0, 5, 2),
    "R1": (1, 5, 2),
    "R2": (2, 12, 4),
    "R4-jobs3": (4, 12, 3),
    "R7-p0": (7, 0, 1),
    "R7-p1": (7, 1, 2),
    "R7-jobs-over-pairs": (7, 20, 22),
}


@pytest.mark.parametrize("alternative", ALTERNATIVES)
@pytest.mark.parametrize("method", METHODS)
@pytest.mark.parametrize("case", EXHAUSTIVE.values(), ids=EXHAUSTIVE.keys())
def test_exhaustive_matches_reference_and_indexed(case, method, alternative, capfd):
    rows, permutations, jobs = case
    data = random_data(rows, rows, 11)
    g1, g2 = i32(0, 2, 4, 6, 8), i32(1, 3, 5, 7, 9, 10)
    got = pl._ztest_pipeline_exhaustive(data, g1, g2, method, alternative, permutations, jobs)
    assert all(a.shape == (rows * (rows - 1) // 2,) for a in got)
    assert_same(got, ref.ztest_pipeline_exhaustive(data, g1, g2, method, alternative, permutations))
    first_rows, second_rows = ref.condensed_pairs(rows)
    assert_same(
        got, pl._ztest_pipeline_indexed(data, first_rows, second_rows, g1, g2, method, alternative, permutations, jobs)
    )
    capfd.readouterr()


def test_worked_correlations(capfd):
    data = np.array(
        [[1, 2, 3, 4, 0, 1, 0, 2], [2, 4, 6, 9, 5, 1, 4, 4], [4, 3, 2, 1, 9, 8, 1, 2], [5, 5, 5, 5, 1, 2, 3, 3]], F32
    )
    first_r, second_r, z_diff, _, _ = pl._ztest_pipeline_indexed(
        data, i32(0, 0, 0), i32(1, 2, 3), span(0, 4), span(4, 8), "pearson", "two-sided", 0, 1
    )
    assert first_r[0] == pytest.approx(0.994377, abs=1e-6)
    assert first_r[1] == -1.0
    assert first_r[2] == -2.0
    # -2 enters the difference as the clamped -0.99
    assert z_diff[2] == ref.atanhf([-0.99])[0] - ref.atanhf([second_r[2]])[0]
    capfd.readouterr()


@pytest.mark.parametrize("method", METHODS)
def test_repeated_calls_are_identical(method, capfd):
    data, first_rows, second_rows, g1, g2, permutations, _ = indexed_problem(seed=3)
    calls = [
        pl._ztest_pipeline_indexed(data, first_rows, second_rows, g1, g2, method, "two-sided", permutations, jobs)
        for jobs in (1, 3, 1)
    ]
    for other in calls[1:]:
        assert_same(other, calls[0])
    exhaustive = [pl._ztest_pipeline_exhaustive(data, g1, g2, method, "less", permutations, jobs) for jobs in (2, 2, 5)]
    for other in exhaustive[1:]:
        assert_same(other, exhaustive[0])
    capfd.readouterr()


@pytest.mark.parametrize("method", METHODS)
def test_no_pairs_gives_five_empty_arrays(method, capfd):
    data = random_data(4, 5, 8)
    result = pl._ztest_pipeline_indexed(data, i32(), i32(), span(0, 4), span(4, 8), method, "two-sided", 2, 2)
    assert len(result) == 5
    assert all(a.dtype == F32 and a.shape == (0,) for a in result)
    out = capfd.readouterr().out
    assert out.startswith("Permutation progress: [") and out.endswith("] 100%\n")


# ---------------------------------------------------------------------------
# Rejected arguments: the error comes before anything is printed.
# ---------------------------------------------------------------------------


def indexed_args(**change):
    args = dict(
        data=random_data(5, 5, 8),
        first_rows=i32(0, 1, 2),
        second_rows=i32(1, 2, 3),
        first_columns=span(0, 4),
        second_columns=span(4, 8),
        method="pearson",
        alternative="two-sided",
        permutations=3,
        n_jobs=1,
    )
    args.update(change)
    return list(args.values())


def exhaustive_args(**change):
    args = dict(
        data=random_data(6, 5, 8),
        first_columns=span(0, 4),
        second_columns=span(4, 8),
        method="spearman",
        alternative="two-sided",
        permutations=3,
        n_jobs=1,
    )
    args.update(change)
    return list(args.values())


SHARED_REJECTIONS = {
    "jobs-0": (dict(n_jobs=0), RuntimeError, "^Process number error$"),
    "jobs-negative": (dict(n_jobs=-1), RuntimeError, "^Process number error$"),
    "permutations-negative": (dict(permutations=-1), ValueError, None),
    "data-1d": (dict(data=np.zeros(8, F32)), ValueError, None),
    "data-3d": (dict(data=np.zeros((5, 8, 1), F32)), ValueError, None),
    "column-negative": (dict(first_columns=i32(0, -1)), IndexError, None),
    "column-too-large": (dict(second_columns=i32(4, 8)), IndexError, None),
    "groups-exceed-columns": (dict(first_columns=span(0, 5), second_columns=span(3, 8)), ValueError, None),
}
INDEXED_REJECTIONS = dict(
    SHARED_REJECTIONS,
    **{
        "first-row-negative": (dict(first_rows=i32(0, -1, 2)), IndexError, None),
        "first-row-too-large": (dict(first_rows=i32(0, 1, 5)), IndexError, None),
        "second-row-negative": (dict(second_rows=i32(-1, 2, 3)), IndexError, None),
        "second-row-too-large": (dict(second_rows=i32(1, 2, 5)), IndexError, None),
        "first-rows-shorter": (dict(first_rows=i32(0, 1)), ValueError, None),
    },
)
EXHAUSTIVE_REJECTIONS = dict(
    SHARED_REJECTIONS,
    **{
        "rows-over-46341": (
            dict(data=np.zeros((46342, 1), F32), first_columns=i32(0), second_columns=i32(), permutations=0),
            ValueError,
            None,
        ),
    },
)


@pytest.mark.parametrize("change, error, match", INDEXED_REJECTIONS.values(), ids=INDEXED_REJECTIONS.keys())
def test_indexed_rejects(change, error, match, capfd):
    with pytest.raises(error, match=match):
        pl._ztest_pipeline_indexed(*indexed_args(**change))
    assert capfd.readouterr().out == ""


@pytest.mark.parametrize("change, error, match", EXHAUSTIVE_REJECTIONS.values(), ids=EXHAUSTIVE_REJECTIONS.keys())
def test_exhaustive_rejects(change, error, match, capfd):
    with pytest.raises(error, match=match):
        pl._ztest_pipeline_exhaustive(*exhaustive_args(**change))
    assert capfd.readouterr().out == ""


ACCEPTED = {
    # Only the first len(second_rows) entries of first_rows are pairs.
    "first-rows-longer": dict(first_rows=i32(0, 1, 2, 99, -7)),
    # Without permutation passes the groups need not fit into the columns together.
    "groups-exceed-columns-p0": dict(first_columns=span(0, 6), second_columns=span(2, 8), permutations=0),
}


@pytest.mark.parametrize("change", ACCEPTED.values(), ids=ACCEPTED.keys())
def test_indexed_accepts(change, capfd):
    args = indexed_args(**change)
    assert_same(pl._ztest_pipeline_indexed(*args), ref.ztest_pipeline_indexed(*args[:-1]))
    capfd.readouterr()


def test_exhaustive_accepts_groups_exceeding_columns_without_permutations(capfd):
    args = exhaustive_args(first_columns=span(0, 6), second_columns=span(2, 8), permutations=0)
    assert_same(pl._ztest_pipeline_exhaustive(*args), ref.ztest_pipeline_exhaustive(*args[:-1]))
    capfd.readouterr()
