"""Set and row scores of correlation differences, with their permutation p-values.

Results are compared bit for bit with the slow reference in tests/reference.py.
"""

import numpy as np
import pytest

import reference as ref
from corrshift import pipelines as pl

F32, I32 = np.float32, np.int32
METHODS = ["pearson", "spearman"]
SCORES = ["mean", "median"]
ALTERNATIVES = ["two-sided", "greater", "less"]


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
        if w.dtype == F32:
            numbers = ~np.isnan(w)
            np.testing.assert_array_equal(np.signbit(g[numbers]), np.signbit(w[numbers]))


def random_data(seed, rows, cols, ties=False):
    rng = np.random.default_rng(seed)
    if ties:
        return rng.integers(0, 3, (rows, cols)).astype(F32)
    return rng.standard_normal((rows, cols)).astype(F32)


def _constant_rows(data):
    data[2, :] = 1.5
    data[4, 0:6] = -3.0


def _nan_values(data):
    data[4, 2] = np.nan
    data[6, 7] = np.nan


def score_problem(
    seed=0,
    rows=8,
    cols=12,
    first_rows=(0, 0, 0, 1, 1, 3, 3, 3, 3, 6),
    g1=span(0, 6),
    g2=span(6, 12),
    permutations=25,
    jobs=2,
    ties=False,
    edit=None,
):
    data = random_data(seed, rows, cols, ties)
    if edit:
        edit(data)
    second_rows = np.random.default_rng(seed + 100).integers(0, rows, len(first_rows))
    return data, I32(first_rows), second_rows.astype(I32), I32(g1), I32(g2), permutations, jobs


INDEXED = {
    "p25-jobs2": dict(),
    "p0-jobs1": dict(permutations=0, jobs=1),
    "p1-jobs16": dict(permutations=1, jobs=16),
    "p25-jobs3": dict(jobs=3),
    "unsorted": dict(first_rows=(3, 3, 1, 5, 5, 3)),
    "single-pair-sets": dict(first_rows=(0, 1, 2, 4, 7), jobs=3),
    "one-pair": dict(first_rows=(2,)),
    "one-row": dict(rows=1, first_rows=(0, 0)),
    "shared-columns": dict(g1=span(0, 5), g2=span(3, 9)),
    "ties": dict(ties=True, cols=14, g1=span(0, 7), g2=span(7, 14)),
    "constant-rows": dict(first_rows=(1, 2, 2, 4, 4, 4), edit=_constant_rows),
    "nan-data": dict(first_rows=(1, 1, 1, 3, 3, 3, 3, 5), edit=_nan_values),
}


def indexed_both(case, method, score, alternative):
    data, first_rows, second_rows, g1, g2, permutations, jobs = score_problem(**case)
    got = pl._score_pipeline_indexed(
        data, first_rows, second_rows, g1, g2, method, score, alternative, permutations, jobs
    )
    want = ref.score_pipeline_indexed(data, first_rows, second_rows, g1, g2, method, score, alternative, permutations)
    return got, want


@pytest.mark.parametrize("alternative", ALTERNATIVES)
@pytest.mark.parametrize("score", SCORES)
@pytest.mark.parametrize("method", METHODS)
@pytest.mark.parametrize("case", INDEXED.values(), ids=INDEXED.keys())
def test_indexed_matches_reference(case, method, score, alternative, capfd):
    got, want = indexed_both(case, method, score, alternative)
    assert got[0].dtype == I32
    assert_same(got, want)
    assert capfd.readouterr().out.startswith("Permutation progress: [")


EXHAUSTIVE = {  # rows, permutations, n_jobs, edit
    "R1": (1, 25, 2, None),
    "R2-jobs4": (2, 10, 4, None),
    "R5": (5, 25, 1, None),
    "R7-p0": (7, 0, 3, None),
    "R7-p1-jobs16": (7, 1, 16, None),
    "R7-nan-data": (7, 25, 2, _nan_values),
    "R6-constant-rows": (6, 25, 3, _constant_rows),
}


def exhaustive_both(case, method, score, alternative):
    rows, permutations, jobs, edit = case
    data = random_data(rows, rows, 12)
    if edit:
        edit(data)
    g1, g2 = i32(0, 2, 4, 6, 8, 10), i32(1, 3, 5, 7, 9, 11)
    got = pl._score_pipeline_exhaustive(data, g1, g2, method, score, alternative, permutations, jobs)
    want = ref.score_pipeline_exhaustive(data, g1, g2, method, score, alternative, permutations)
    return got, want


@pytest.mark.parametrize("alternative", ALTERNATIVES)
@pytest.mark.parametrize("score", SCORES)
@pytest.mark.parametrize("method", METHODS)
@pytest.mark.parametrize("case", EXHAUSTIVE.values(), ids=EXHAUSTIVE.keys())
def test_exhaustive_matches_reference(case, method, score, alternative, capfd):
    got, want = exhaustive_both(case, method, score, alternative)
    assert all(a.shape == (case[0],) for a in got)
    assert_same(got, want)
    assert capfd.readouterr().out.startswith("Permutation progress: [")


@pytest.mark.parametrize("score", SCORES)
def test_unrecognised_alternative_counts_nothing(score, capfd):
    got, want = indexed_both(INDEXED["p25-jobs2"], "pearson", score, "sideways")
    assert_same(got, want)
    assert (got[2] == 0).all()
    got, want = exhaustive_both(EXHAUSTIVE["R5"], "spearman", score, "sideways")
    assert_same(got, want)
    assert (got[1] == 0).all()
    capfd.readouterr()


@pytest.mark.parametrize("score", SCORES)
def test_pairs_outside_every_set_are_ignored(score, capfd):
    data, first_rows, second_rows, g1, g2, permutations, jobs = score_problem(first_rows=(3, 3, 1, 5, 5, 3))
    labels, observed, p_values = pl._score_pipeline_indexed(
        data, first_rows, second_rows, g1, g2, "spearman", score, "two-sided", permutations, jobs
    )
    assert labels.dtype == I32 and labels.tolist() == [3, 5]
    other = second_rows.copy()
    other[2], other[5] = (second_rows[2] + 1) % 8, (second_rows[5] + 3) % 8
    assert_same(
        pl._score_pipeline_indexed(data, first_rows, other, g1, g2, "spearman", score, "two-sided", permutations, jobs),
        (labels, observed, p_values),
    )
    capfd.readouterr()


@pytest.mark.parametrize("alternative", ALTERNATIVES)
@pytest.mark.parametrize("score", SCORES)
def test_single_row_scores_zero_with_p_value_one(score, alternative, capfd):
    observed, p_values = pl._score_pipeline_exhaustive(
        random_data(9, 1, 10), span(0, 5), span(5, 10), "pearson", score, alternative, 7, 2
    )
    assert observed.tolist() == [0.0] and p_values.tolist() == [1.0]
    capfd.readouterr()


@pytest.mark.parametrize("method", METHODS)
def test_median_of_nan_differences_is_repeatable(method, capfd):
    data, first_rows, second_rows, g1, g2, permutations, _ = score_problem(
        first_rows=(1, 1, 1, 3, 3, 3, 3, 5), edit=_nan_values
    )
    indexed = [
        pl._score_pipeline_indexed(
            data, first_rows, second_rows, g1, g2, method, "median", "greater", permutations, jobs
        )
        for jobs in (1, 3, 1)
    ]
    exhaustive = [
        pl._score_pipeline_exhaustive(data, g1, g2, method, "median", "two-sided", permutations, jobs)
        for jobs in (1, 4, 1)
    ]
    if method == "pearson":  # ranks place NaN last, so only raw values give NaN differences
        z_diff = pl._ztest_pipeline_indexed(data, first_rows, second_rows, g1, g2, method, "greater", 0, 1)[2]
        assert 0 < np.isnan(z_diff).sum() < len(z_diff)
    for runs in (indexed, exhaustive):
        for other in runs[1:]:
            assert_same(other, runs[0])
    capfd.readouterr()


# ---------------------------------------------------------------------------
# Rejected arguments: the error comes before anything is printed.
# ---------------------------------------------------------------------------


def indexed_args(**change):
    args = dict(
        data=random_data(5, 5, 8),
        first_rows=i32(1, 1, 0, 2),
        second_rows=i32(2, 3, 4, 0),
        first_columns=span(0, 4),
        second_columns=span(4, 8),
        method="pearson",
        score="mean",
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
        score="median",
        alternative="two-sided",
        permutations=3,
        n_jobs=1,
    )
    args.update(change)
    return list(args.values())


PROCESS_NUMBER = (RuntimeError, "^Process number error$")
SHARED_REJECTIONS = {
    "score-unknown": (dict(score="max"), ValueError, "mean.*median"),
    "score-wrong-case": (dict(score="Mean"), ValueError, "mean.*median"),
    "jobs-0": (dict(n_jobs=0),) + PROCESS_NUMBER,
    "jobs-negative": (dict(n_jobs=-1),) + PROCESS_NUMBER,
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
        "no-pairs": (dict(first_rows=i32(), second_rows=i32()),) + PROCESS_NUMBER,
        "no-pairs-longer-second-rows": (dict(first_rows=i32()),) + PROCESS_NUMBER,
        "no-rows": (dict(data=np.zeros((0, 8), F32), first_rows=i32(), second_rows=i32()),) + PROCESS_NUMBER,
        # Position 2 belongs to no set (0 does not exceed the label 1); it is checked all the same.
        "first-row-negative-outside-sets": (dict(first_rows=i32(1, 1, -1, 2)), IndexError, None),
        "first-row-too-large": (dict(first_rows=i32(1, 1, 0, 5)), IndexError, None),
        "second-row-too-large-outside-sets": (dict(second_rows=i32(2, 3, 5, 0)), IndexError, None),
        "second-row-negative": (dict(second_rows=i32(-1, 3, 4, 0)), IndexError, None),
        "second-rows-shorter": (dict(second_rows=i32(2, 3, 4)), ValueError, None),
    },
)
EXHAUSTIVE_REJECTIONS = dict(
    SHARED_REJECTIONS,
    **{
        "no-rows": (dict(data=np.zeros((0, 8), F32)),) + PROCESS_NUMBER,
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
        pl._score_pipeline_indexed(*indexed_args(**change))
    assert capfd.readouterr().out == ""


@pytest.mark.parametrize("change, error, match", EXHAUSTIVE_REJECTIONS.values(), ids=EXHAUSTIVE_REJECTIONS.keys())
def test_exhaustive_rejects(change, error, match, capfd):
    with pytest.raises(error, match=match):
        pl._score_pipeline_exhaustive(*exhaustive_args(**change))
    assert capfd.readouterr().out == ""


ACCEPTED = {
    # Only the first len(first_rows) entries of second_rows are pairs.
    "second-rows-longer": dict(second_rows=i32(2, 3, 4, 0, 99, -7)),
    # Without permutation passes the groups need not fit into the columns together.
    "groups-exceed-columns-p0": dict(first_columns=span(0, 6), second_columns=span(2, 8), permutations=0),
}


@pytest.mark.parametrize("change", ACCEPTED.values(), ids=ACCEPTED.keys())
def test_indexed_accepts(change, capfd):
    args = indexed_args(**change)
    assert_same(pl._score_pipeline_indexed(*args), ref.score_pipeline_indexed(*args[:-1]))
    capfd.readouterr()


def test_exhaustive_accepts_groups_exceeding_columns_without_permutations(capfd):
    args = exhaustive_args(first_columns=span(0, 6), second_columns=span(2, 8), permutations=0)
    assert_same(pl._score_pipeline_exhaustive(*args), ref.score_pipeline_exhaustive(*args[:-1]))
    capfd.readouterr()
