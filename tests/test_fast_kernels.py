"""The fast kernels of ``corrshift.pipelines`` give the same bits as the straightforward
kernels, which the private module ``corrshift._baseline`` runs through the same bindings.

Every result array is compared byte for byte (NaN payloads and signed zeros included) on
seeded random data with the cases that take the rarer branches: constant rows (-2), NaN,
rows equal or opposite to another (|r| = 1, clamped), a zero row, tiny and empty groups,
columns listed twice or in both groups, and sizes off the vector width (8), the tile
(4 x 16) and the row blocks (8); and on rows built to test the permutation passes'
decision margin.
"""

import os

import numpy as np
import pytest

from corrshift import _baseline, pipelines

ALTERNATIVES = ["two-sided", "greater", "less", "sideways"]
METHODS = ["pearson", "spearman"]
JOBS = [1, 2, 3]


def matrix(nrows, ncols, seed):
    rng = np.random.default_rng(seed)
    data = rng.normal(size=(nrows, ncols)).astype(np.float32)
    if nrows > 3:
        data[3] = 2.5  # constant: -2 in both groups
    if nrows > 5:
        data[5, ncols // 2] = np.nan
    if nrows > 7:
        data[7] = -data[1]
    if nrows > 8:
        data[8] = data[2]
    if nrows > 9:
        data[9] = 0.0
    if nrows > 11:
        data[11, : ncols // 2] = 1.0  # constant within the first columns only
    return np.ascontiguousarray(data)


def cols(*values):
    return np.array(values, dtype=np.int32)


# (nrows, ncols, first_columns, second_columns, permutations)
CASES = {
    "17x13": (17, 13, cols(0, 1, 2, 3, 4, 5), cols(6, 7, 8, 9, 10, 11, 12), 3),
    "40x21-uneven": (40, 21, cols(*range(0, 21, 2)), cols(*range(1, 21, 2)), 3),
    "70x30-partial": (70, 30, cols(*range(5, 17)), cols(*range(17, 26)), 2),
    "2x8": (2, 8, cols(0, 1, 2, 3), cols(4, 5, 6, 7), 3),
    "1x6": (1, 6, cols(0, 1, 2), cols(3, 4, 5), 2),
    "tiny-groups": (19, 9, cols(0), cols(1, 2), 3),
    "size-3-groups": (19, 9, cols(0, 1, 2), cols(3, 4, 5), 3),
    "empty-group": (19, 9, cols(), cols(1, 2, 3, 4), 3),
    "shared-and-repeated": (25, 10, cols(0, 1, 2, 3, 3, 4), cols(3, 5, 6, 0, 7), 0),
}


def same(fast, slow):
    assert len(fast) == len(slow)
    for f, s in zip(fast, slow):
        f, s = np.asarray(f), np.asarray(s)
        assert f.dtype == s.dtype and f.shape == s.shape
        assert f.tobytes() == s.tobytes(), np.flatnonzero(f.view(np.uint8) != s.view(np.uint8))[:10]


def listed_pairs(nrows, count, seed, sorted_first=False):
    rng = np.random.default_rng(seed)
    first = rng.integers(0, nrows, count).astype(np.int32)
    second = rng.integers(0, nrows, count).astype(np.int32)  # also i > j and i = j
    if sorted_first:
        first.sort()
    return first, second


@pytest.fixture(params=list(CASES), ids=list(CASES))
def case(request):
    nrows, ncols, g1, g2, perms = CASES[request.param]
    return matrix(nrows, ncols, seed=nrows * 31 + ncols), g1, g2, perms


@pytest.mark.parametrize("method", METHODS)
@pytest.mark.parametrize("alternative", ALTERNATIVES)
def test_ztest_exhaustive(case, method, alternative):
    data, g1, g2, perms = case
    slow = _baseline._ztest_pipeline_exhaustive(data, g1, g2, method, alternative, perms, 1)
    for jobs in JOBS:
        same(pipelines._ztest_pipeline_exhaustive(data, g1, g2, method, alternative, perms, jobs), slow)


@pytest.mark.parametrize("method", METHODS)
@pytest.mark.parametrize("alternative", ALTERNATIVES)
def test_ztest_indexed(case, method, alternative):
    data, g1, g2, perms = case
    first, second = listed_pairs(len(data), 45, seed=len(data))
    slow = _baseline._ztest_pipeline_indexed(data, first, second, g1, g2, method, alternative, perms, 1)
    for jobs in JOBS:
        fast = pipelines._ztest_pipeline_indexed(data, first, second, g1, g2, method, alternative, perms, jobs)
        same(fast, slow)


@pytest.mark.parametrize("score", ["mean", "median"])
@pytest.mark.parametrize("method", METHODS)
@pytest.mark.parametrize("alternative", ALTERNATIVES[:3])
def test_score_exhaustive(case, score, method, alternative):
    data, g1, g2, perms = case
    slow = _baseline._score_pipeline_exhaustive(data, g1, g2, method, score, alternative, perms, 1)
    for jobs in JOBS:
        same(pipelines._score_pipeline_exhaustive(data, g1, g2, method, score, alternative, perms, jobs), slow)


@pytest.mark.parametrize("score", ["mean", "median"])
@pytest.mark.parametrize("method", METHODS)
@pytest.mark.parametrize("alternative", ALTERNATIVES[:3])
def test_score_indexed(case, score, method, alternative):
    data, g1, g2, perms = case
    first, second = listed_pairs(len(data), 60, seed=len(data) + 1, sorted_first=True)
    slow = _baseline._score_pipeline_indexed(data, first, second, g1, g2, method, score, alternative, perms, 1)
    for jobs in JOBS:
        fast = pipelines._score_pipeline_indexed(data, first, second, g1, g2, method, score, alternative, perms, jobs)
        same(fast, slow)


def margin_matrix(nrows, ncols, seed):
    """Rows that test the decision of the permutation passes: correlations at and around
    the clamp, -2 markers, NaN and infinity, ties, magnitudes beyond the cheap
    correlation's range (huge, tiny, subnormal) and a large mean over a small spread."""
    rng = np.random.default_rng(seed)
    noise = rng.normal(size=(nrows, ncols)).astype(np.float32)
    data = noise.copy()
    with np.errstate(over="ignore"):
        for r in range(1, nrows):
            base, v = data[0], noise[r]
            kind = r % 12
            data[r] = [
                v,
                3 * base + 1,
                -base,
                base + np.float32(0.1425) * v,
                2.5,
                -base + np.float32(0.143) * v,
                base * np.float32(1e30),
                v * np.float32(1e15),
                v * np.float32(1e-25),
                1e6 + 0.1 * v,
                np.round(v * 4) / 4,
                v * np.float32(1e-40),
            ][kind]
    data[5, ncols // 3] = np.inf
    data[7, ncols // 2] = np.nan
    return np.ascontiguousarray(data, dtype=np.float32)


@pytest.mark.parametrize("shape", [(37, 23), (70, 16)], ids=["37x23", "70x16"])
@pytest.mark.parametrize("method", METHODS)
@pytest.mark.parametrize("alternative", ALTERNATIVES[:3])
def test_permutation_decisions_at_the_margin(shape, method, alternative):
    nrows, ncols = shape
    data = margin_matrix(nrows, ncols, seed=nrows)
    g1, g2 = cols(*range(1, ncols // 2)), cols(*range(ncols // 2, ncols))
    first, second = listed_pairs(nrows, 300, seed=ncols)
    slow = _baseline._ztest_pipeline_exhaustive(data, g1, g2, method, alternative, 12, 1)
    slow_listed = _baseline._ztest_pipeline_indexed(data, first, second, g1, g2, method, alternative, 12, 1)
    scores = {
        score: _baseline._score_pipeline_exhaustive(data, g1, g2, method, score, alternative, 12, 1)
        for score in ("median", "mean")
    }
    for jobs in JOBS:
        same(pipelines._ztest_pipeline_exhaustive(data, g1, g2, method, alternative, 12, jobs), slow)
        same(pipelines._ztest_pipeline_indexed(data, first, second, g1, g2, method, alternative, 12, jobs), slow_listed)
        for score, want in scores.items():
            same(pipelines._score_pipeline_exhaustive(data, g1, g2, method, score, alternative, 12, jobs), want)


def test_empty_pair_list():
    data = matrix(10, 8, seed=3)
    empty = np.zeros(0, np.int32)
    for method in METHODS:
        args = (data, empty, empty, cols(0, 1, 2, 3), cols(4, 5, 6, 7), method, "two-sided", 2, 2)
        same(pipelines._ztest_pipeline_indexed(*args), _baseline._ztest_pipeline_indexed(*args))


def test_median_rows_with_nan_and_ties():
    """Rows of NaN differences and many equal differences take the median's other branches."""
    rng = np.random.default_rng(11)
    data = np.round(rng.normal(size=(45, 12)) * 2).astype(np.float32)  # ties in ranks and values
    data[4, :] = np.nan  # every pair of row 4 is NaN in both groups
    data[20, 3] = np.nan
    g1, g2 = cols(*range(6)), cols(*range(6, 12))
    for alternative in ALTERNATIVES[:3]:
        for method in METHODS:
            args = (data, g1, g2, method, "median", alternative, 3)
            same(pipelines._score_pipeline_exhaustive(*args, 2), _baseline._score_pipeline_exhaustive(*args, 1))


def test_reference_workload_subset():
    """The shipped expression data, 300 rows, every function once."""
    path = os.path.join(os.path.dirname(pipelines.__file__), "data", "all_leukemia_bcrabl_neg.npz")
    with np.load(path, allow_pickle=True) as archive:
        data = np.ascontiguousarray(archive["expression"][:300])
        mol_biol = archive["mol_biol"]
    g1 = np.flatnonzero(mol_biol == "BCR/ABL").astype(np.int32)
    g2 = np.flatnonzero(mol_biol == "NEG").astype(np.int32)
    for method in METHODS:
        args = (data, g1, g2, method, "two-sided", 2)
        same(pipelines._ztest_pipeline_exhaustive(*args, 2), _baseline._ztest_pipeline_exhaustive(*args, 1))
        for score in ("mean", "median"):
            args = (data, g1, g2, method, score, "greater", 2)
            same(pipelines._score_pipeline_exhaustive(*args, 2), _baseline._score_pipeline_exhaustive(*args, 1))
