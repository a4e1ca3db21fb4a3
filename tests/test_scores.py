"""`scores._score_indexed` and `scores._score_exhaustive` against the reference."""

import numpy as np
import pytest

import reference as ref
from corrshift import scores

F32, I32 = np.float32, np.int32
SCORES = ["mean", "median"]
JOBS = [1, 2, 3, 7]


def _labels(kind, rng):
    """Label arrays of the shapes that exercise run grouping and slicing."""
    if kind == "singletons":
        return np.arange(-20, 40, dtype=I32)
    if kind == "many-runs":
        return np.sort(rng.integers(-500, 500, 3000)).astype(I32)
    if kind == "one-large-run":
        return np.full(4000, 11, I32)
    if kind == "negative":
        return np.sort(rng.integers(-(2**31), -(2**30), 200)).astype(I32)
    if kind == "unsorted":
        return rng.integers(0, 30, 300).astype(I32)
    if kind == "uneven":
        return np.repeat(np.arange(7, dtype=I32), [1, 50, 2, 1, 300, 3, 1])
    raise AssertionError(kind)


@pytest.mark.parametrize("score", SCORES)
@pytest.mark.parametrize("kind", ["singletons", "many-runs", "one-large-run", "negative", "unsorted", "uneven"])
@pytest.mark.parametrize("extra", [0, 17], ids=["same-length", "longer-values"])
def test_indexed_matches_reference(kind, score, extra):
    rng = np.random.default_rng([sum(map(ord, kind)), extra])
    labels = _labels(kind, rng)
    values = rng.standard_normal(len(labels) + extra).astype(F32) * F32(3)
    expected = ref.score_indexed(values[: len(labels)], labels, score)
    for jobs in JOBS:
        got = scores._score_indexed(values, labels, score, jobs)
        assert isinstance(got, tuple) and len(got) == 2
        for g, e in zip(got, expected):
            assert g.dtype == F32 and g.ndim == 1
            np.testing.assert_array_equal(g, e)


@pytest.mark.parametrize("score", SCORES)
@pytest.mark.parametrize("n", [1, 2, 3, 4, 31, 257])
@pytest.mark.parametrize("extra", [0, 5], ids=["exact", "longer-pairs"])
def test_exhaustive_matches_reference(n, score, extra):
    rng = np.random.default_rng(n * 10 + extra)
    pairs = rng.standard_normal(n * (n - 1) // 2 + extra).astype(F32)
    expected = ref.score_exhaustive(pairs[: n * (n - 1) // 2], n, score)
    for jobs in JOBS + [n + 3]:
        got = scores._score_exhaustive(pairs, n, score, jobs)
        assert got.dtype == F32 and got.shape == (n,)
        np.testing.assert_array_equal(got, expected)


def test_job_count_above_item_count_is_clamped():
    values = np.array([1, -3, 2, -2, 5], F32)
    labels = np.array([0, 0, 1, 1, 1], I32)
    for score in SCORES:
        np.testing.assert_array_equal(
            scores._score_indexed(values, labels, score, 2**31 - 1), scores._score_indexed(values, labels, score, 1)
        )
        pairs = np.array([1, -2, 4], F32)
        np.testing.assert_array_equal(
            scores._score_exhaustive(pairs, 3, score, 2**31 - 1), scores._score_exhaustive(pairs, 3, score, 1)
        )


@pytest.mark.parametrize(
    "values, labels, score, expected",
    [
        ([1, -3, 2, -2, 5], [0, 0, 1, 1, 1], "mean", ([0, 1], [2, 3])),
        ([1, -3, 2, -2, 5], [0, 0, 1, 1, 1], "median", ([0, 1], [1, 2])),
        ([4, -6, 100], [7, 7, 3], "mean", ([7], [5])),
        ([4, -6, 100], [7, 7, 3], "median", ([7], [4])),
        ([2.5, -1], [16777217, 16777217], "mean", ([16777216.0], [1.75])),
    ],
    ids=["mean", "median", "skipped-mean", "skipped-median", "label-rounded"],
)
def test_indexed_worked_examples(values, labels, score, expected):
    got = scores._score_indexed(np.array(values, F32), np.array(labels, I32), score, 2)
    for g, e in zip(got, expected):
        np.testing.assert_array_equal(g, np.array(e, F32))


@pytest.mark.parametrize(
    "pairs, n, score, expected",
    [
        ([1, -2, 4], 3, "mean", [1.5, 2.5, 3]),
        ([1, -2, 4], 3, "median", [1, 4, 4]),
        ([], 1, "mean", [0]),
        ([], 1, "median", [0]),
        ([-7], 2, "mean", [7, 7]),
        ([-7], 2, "median", [-7, -7]),
    ],
    ids=["three-mean", "three-median", "one-mean", "one-median", "two-mean", "two-median"],
)
def test_exhaustive_worked_examples(pairs, n, score, expected):
    got = scores._score_exhaustive(np.array(pairs, F32), n, score, 4)
    np.testing.assert_array_equal(got, np.array(expected, F32))


@pytest.mark.parametrize(
    "call",
    [
        lambda: scores._score_indexed(np.ones(3, F32), np.zeros(3, I32), "mean", 0),
        lambda: scores._score_indexed(np.ones(3, F32), np.zeros(3, I32), "median", -1),
        lambda: scores._score_indexed(np.ones(3, F32), np.zeros(0, I32), "mean", 4),
        lambda: scores._score_indexed(np.ones(3, F32), np.zeros(0, I32), "bogus", 4),
        lambda: scores._score_exhaustive(np.ones(3, F32), 3, "mean", 0),
        lambda: scores._score_exhaustive(np.ones(3, F32), 3, "median", -1),
        lambda: scores._score_exhaustive(np.ones(3, F32), 0, "mean", 4),
        lambda: scores._score_exhaustive(np.ones(3, F32), -2, "mean", 4),
    ],
    ids=[
        "indexed-jobs-0",
        "indexed-jobs-neg",
        "indexed-empty",
        "indexed-empty-bad-score",
        "exhaustive-jobs-0",
        "exhaustive-jobs-neg",
        "exhaustive-items-0",
        "exhaustive-items-neg",
    ],
)
def test_process_number_error(call):
    with pytest.raises(RuntimeError, match="^Process number error$"):
        call()


@pytest.mark.parametrize(
    "call",
    [
        lambda: scores._score_indexed(np.ones(4, F32), np.zeros(5, I32), "mean", 1),
        lambda: scores._score_indexed(np.ones(0, F32), np.zeros(1, I32), "median", 1),
        lambda: scores._score_indexed(np.ones(4, F32), np.array(3, I32), "mean", 1),
        lambda: scores._score_exhaustive(np.ones(5, F32), 4, "mean", 1),
        lambda: scores._score_exhaustive(np.ones(0, F32), 2, "median", 1),
        lambda: scores._score_exhaustive(np.ones(3, F32), 46342, "mean", 1),
    ],
    ids=["values-short", "values-empty", "labels-0d", "pairs-short", "pairs-empty", "wide-count-pairs-short"],
)
def test_too_short_or_shapeless_input_is_rejected(call):
    with pytest.raises(
        ValueError,
        match=r"^(labels must have at least one dimension|\w+ has \d+ elements but (labels has|\d+ items need) \d+)$",
    ):
        call()


@pytest.mark.parametrize("score", ["max", "", "median\0", "mea"])
def test_unrecognised_score_gives_nan(score):
    labels = np.array([-4, -4, 2, 9, 9, 9], I32)
    run_labels, values = scores._score_indexed(np.arange(6, dtype=F32), labels, score, 2)
    np.testing.assert_array_equal(run_labels, np.array([-4, 2, 9], F32))
    assert values.shape == (3,) and np.isnan(values).all()
    items = scores._score_exhaustive(np.arange(6, dtype=F32), 4, score, 3)
    assert items.shape == (4,) and np.isnan(items).all()


@pytest.mark.parametrize(
    "non_finite",
    [[np.nan], [np.nan] * 3, [np.inf, -np.inf], [np.nan, np.inf, -np.inf, np.nan]],
    ids=["one-nan", "three-nan", "infinities", "mixed"],
)
@pytest.mark.parametrize("score", SCORES)
def test_non_finite_values(non_finite, score):
    rng = np.random.default_rng(len(non_finite))
    labels = np.sort(rng.integers(0, 12, 200)).astype(I32)
    values = rng.standard_normal(200).astype(F32)
    values[rng.choice(200, len(non_finite) * 4, replace=False)] = np.tile(non_finite, 4)
    for got, expected in zip(scores._score_indexed(values, labels, score, 3), ref.score_indexed(values, labels, score)):
        np.testing.assert_array_equal(got, expected)
    n = 20
    pairs = values[: n * (n - 1) // 2]
    np.testing.assert_array_equal(scores._score_exhaustive(pairs, n, score, 2), ref.score_exhaustive(pairs, n, score))


def test_median_of_mostly_nan_set_is_a_gathered_value():
    values = np.array([np.nan, 3, np.nan, np.nan, -1], F32)
    _, median = scores._score_indexed(values, np.zeros(5, I32), "median", 1)
    assert np.isnan(median[0])
    _, median = scores._score_indexed(values[:2], np.zeros(2, I32), "median", 1)
    np.testing.assert_array_equal(median, np.array([np.nan], F32))
    _, median = scores._score_indexed(values[1:], np.zeros(4, I32), "median", 1)
    np.testing.assert_array_equal(median, np.array([np.nan], F32))
    _, median = scores._score_indexed(np.array([np.nan, 2, -1], F32), np.zeros(3, I32), "median", 1)
    np.testing.assert_array_equal(median, np.array([2], F32))


def test_inputs_are_not_written():
    values = np.array([3, -1, 2, 8], F32)
    labels = np.array([1, 1, 0, 5], I32)
    before = values.copy(), labels.copy()
    for score in SCORES:
        scores._score_indexed(values, labels, score, 2)
        scores._score_exhaustive(values, 3, score, 2)
    np.testing.assert_array_equal(values, before[0])
    np.testing.assert_array_equal(labels, before[1])
