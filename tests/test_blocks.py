"""The block entry points of ``corrshift._blocks`` against the public pipelines.

Tiles of rows by ranges of passes must give the public functions' values bit for bit,
and their counts must add up to ``perm_p * permutations``; the calls check their
arguments before any work, report progress per pass, and let other threads run.
"""

import os
import signal
import threading

import numpy as np
import pytest

from corrshift import _baseline, _blocks, pipelines, scores
from conftest import ticks_during

F32, I32 = np.float32, np.int32
P = 9  # permutation passes of the public calls
SPLITS = [(0, P + 1), (0, 1, P + 1), (0, 1, 4, P + 1), (0, 6, 7, P + 1)]


def matrix(nrows, ncols, seed):
    """Quarter steps (ties), a NaN, a row constant within the first group only."""
    rng = np.random.default_rng(seed)
    data = (np.round(rng.normal(size=(nrows, ncols)) * 4) / 4).astype(F32)
    data[min(2, nrows - 1), 1] = np.nan
    data[min(4, nrows - 1), : ncols // 2] = 1.5
    return data


def groups(ncols):
    half = ncols // 2
    return np.arange(half, dtype=I32), np.arange(half, ncols, dtype=I32)


def bits(a):
    return np.ascontiguousarray(a).view(np.uint8)


def assert_same(got, want):
    assert got.dtype == want.dtype and got.shape == want.shape
    np.testing.assert_array_equal(bits(got), bits(want))


def pair_position(i, j, n):
    return i * (2 * n - i - 1) // 2 + j - i - 1


def summed_counts(call, split, n_jobs):
    """The counts of the calls over the pass ranges of `split`, added, and the first
    call's other results (every call returns the observed values)."""
    total, first = None, None
    for k, (lo, hi) in enumerate(zip(split, split[1:])):
        result = call(lo, hi, n_jobs[k % len(n_jobs)])
        first = first or result
        total = result[-1] if total is None else total + result[-1]
    return first[:-1], total


def as_p(counts):
    return (counts.astype(F32) / F32(P)).astype(F32)


SHAPES = [(37, 20), (9, 12), (70, 8)]
TILES = {
    "all pairs": lambda n: ((0, n), (0, n)),
    "triangle": lambda n: ((3, n - 5), (3, n - 5)),
    "rectangle": lambda n: ((1, 4), (n - 6, n)),
    "band": lambda n: ((2, n // 2), (2, n)),
    "one row": lambda n: ((n - 3, n - 2), (0, n)),
    "empty": lambda n: ((5, 5), (0, n)),
    "overlapping": lambda n: ((n // 2, n), (0, n - 1)),
}


@pytest.mark.parametrize("shape", SHAPES, ids=["37x20", "9x12", "70x8"])
@pytest.mark.parametrize("method", ["pearson", "spearman"])
@pytest.mark.parametrize("alternative", ["two-sided", "greater", "less"])
def test_ztest_tiles_match_the_exhaustive_pipeline(shape, method, alternative, capfd):
    n, c = shape
    data = matrix(n, c, seed=n)
    g1, g2 = groups(c)
    want = pipelines._ztest_pipeline_exhaustive(data, g1, g2, method, alternative, P, 2)
    counts = np.round(want[4].astype(np.float64) * P).astype(I32)
    for k, (name, tile) in enumerate(TILES.items()):
        rows_a, rows_b = tile(n)
        at = [pair_position(i, j, n) for i in range(*rows_a) for j in range(max(rows_b[0], i + 1), rows_b[1])]
        split = SPLITS[k % len(SPLITS)]
        got, total = summed_counts(
            lambda lo, hi, jobs: _blocks.ztest_block(data, g1, g2, rows_a, rows_b, method, alternative, lo, hi, jobs),
            split,
            [1, 3, 2],
        )
        for g, w in zip(got, want[:4]):
            assert_same(g, w[at])
        assert_same(total, counts[at])
        assert_same(as_p(total), want[4][at])
    assert capfd.readouterr().out.count("Permutation progress") == 1  # the blocks print nothing


@pytest.mark.parametrize("method", ["pearson", "spearman"])
@pytest.mark.parametrize("score", ["mean", "median"])
@pytest.mark.parametrize("alternative", ["two-sided", "greater", "less"])
def test_row_score_blocks_match_the_exhaustive_pipeline(method, score, alternative, capfd):
    n, c = 29, 14
    data = matrix(n, c, seed=3)
    g1, g2 = groups(c)
    observed, perm_p = pipelines._score_pipeline_exhaustive(data, g1, g2, method, score, alternative, P, 2)
    for k, rows in enumerate([(0, n), (0, 1), (n - 1, n), (3, 20), (8, 8), (9, 26)]):
        got, total = summed_counts(
            lambda lo, hi, jobs: _blocks.row_score_block(data, g1, g2, rows, method, score, alternative, lo, hi, jobs),
            SPLITS[k % len(SPLITS)],
            [2, 1, 3],
        )
        assert_same(got[0], observed[rows[0] : rows[1]])
        assert_same(as_p(total), perm_p[rows[0] : rows[1]])
    capfd.readouterr()


@pytest.mark.parametrize("method", ["pearson", "spearman"])
@pytest.mark.parametrize("score", ["mean", "median"])
@pytest.mark.parametrize("alternative", ["two-sided", "less"])
def test_set_blocks_match_the_indexed_pipeline(method, score, alternative, capfd):
    data = matrix(40, 16, seed=8)
    g1, g2 = np.array([0, 3, 5, 7, 9, 11, 2], I32), np.array([1, 2, 4, 6, 8, 10, 12, 14], I32)  # 2 in both
    rng = np.random.default_rng(2)
    first_rows = np.sort(rng.integers(0, 40, 60)).astype(I32)
    second_rows = rng.integers(0, 40, 60).astype(I32)
    want = pipelines._score_pipeline_indexed(data, first_rows, second_rows, g1, g2, method, score, alternative, P, 2)
    got, total = summed_counts(
        lambda lo, hi, jobs: _blocks.set_block(
            data, first_rows, second_rows, g1, g2, method, score, alternative, lo, hi, jobs
        ),
        (0, 2, 5, P + 1),
        [3, 1],
    )
    assert_same(got[0], want[0])
    assert_same(got[1], want[1])
    assert_same(as_p(total), want[2])
    labels, observed, counts = _blocks.set_block(
        data, first_rows[:0], second_rows[:0], g1, g2, method, score, alternative, 0, P + 1, 2
    )
    assert labels.size == observed.size == counts.size == 0
    capfd.readouterr()


PAIR_LISTS = {
    "random with repeats": lambda n, rng: (rng.integers(0, n, 70), rng.integers(0, n, 70)),
    "reversed and self pairs": lambda n, rng: ([5, 3, 7, 0, n - 1], [3, 5, 7, n - 1, 0]),
    "one pair": lambda n, rng: ([n - 1], [2]),
    "first_rows longer": lambda n, rng: ([1, 2, 3, 4, 5, 6], [9, 8, 7]),
    "none": lambda n, rng: ([], []),
}


@pytest.mark.parametrize("pair_list", PAIR_LISTS)
@pytest.mark.parametrize("method", ["pearson", "spearman"])
@pytest.mark.parametrize("alternative", ["two-sided", "greater", "less"])
def test_pairs_blocks_match_the_indexed_pipeline(pair_list, method, alternative, capfd):
    data = matrix(41, 18, seed=12)
    g1, g2 = np.array([0, 3, 5, 7, 9, 11, 2], I32), np.arange(8, 18, dtype=I32)
    first_rows, second_rows = (np.asarray(v, I32) for v in PAIR_LISTS[pair_list](41, np.random.default_rng(7)))
    want = pipelines._ztest_pipeline_indexed(data, first_rows, second_rows, g1, g2, method, alternative, P, 2)
    for k, split in enumerate(SPLITS):
        got, total = summed_counts(
            lambda lo, hi, jobs: _blocks.pairs_block(
                data, first_rows, second_rows, g1, g2, method, alternative, lo, hi, jobs
            ),
            split,
            [[1, 2, 5][k % 3], 2, 3],
        )
        for g, w in zip(got, want[:4]):
            assert_same(g, w)
        assert_same(as_p(total), want[4])
        assert total.dtype == I32
    assert capfd.readouterr().out.count("Permutation progress") == 1  # the blocks print nothing


@pytest.mark.parametrize(
    "change, error, match",
    [
        (dict(first_rows=np.array([0, 1], I32)), ValueError, "first_rows has 2 entries"),
        (dict(second_rows=np.array([1, 12, 3], I32)), IndexError, "second_rows"),
        (dict(first_rows=np.array([-1, 1, 2], I32)), IndexError, "first_rows"),
        (dict(method="Spearman"), ValueError, "method"),
        (dict(pass_first=3, pass_last=2), ValueError, "pass_first <= pass_last"),
        (dict(n_jobs=0), ValueError, "n_jobs"),
    ],
    ids=lambda v: str(v) if not isinstance(v, dict) else ",".join(v),
)
def test_bad_pairs_block_arguments_are_refused_before_any_work(change, error, match):
    good = dict(
        data=DATA,
        first_rows=np.array([0, 1, 2], I32),
        second_rows=np.array([3, 4, 5], I32),
        first_columns=G1,
        second_columns=G2,
        method="pearson",
        alternative="less",
        pass_first=0,
        pass_last=3,
        n_jobs=2,
    )
    calls = []
    with pytest.raises(error, match=match):
        _blocks.pairs_block(**dict(good, **change), progress=calls.append)
    assert calls == []


@pytest.mark.parametrize("alternative", ["two-sided", "greater", "less"])
def test_median_row_blocks_with_ties_at_the_observed_score(alternative, capfd):
    """Few distinct values: many pairs equal a row's observed median in every pass, and
    rows of NaN, so the tallies that decide the permutation passes meet every case."""
    rng = np.random.default_rng(21)
    data = rng.integers(-1, 2, size=(33, 12)).astype(F32)
    data[6] = np.nan
    data[9, 3] = np.inf
    g1, g2 = groups(12)
    observed, perm_p = pipelines._score_pipeline_exhaustive(data, g1, g2, "spearman", "median", alternative, P, 2)
    for got, want in zip(
        (observed, perm_p), _baseline._score_pipeline_exhaustive(data, g1, g2, "spearman", "median", alternative, P, 1)
    ):
        assert_same(got, want)
    got, total = summed_counts(
        lambda lo, hi, jobs: _blocks.row_score_block(
            data, g1, g2, (4, 30), "spearman", "median", alternative, lo, hi, jobs
        ),
        (0, 3, P + 1),
        [2, 1],
    )
    assert_same(got[0], observed[4:30])
    assert_same(as_p(total), perm_p[4:30])
    capfd.readouterr()


@pytest.mark.parametrize("method", ["pearson", "spearman"])
@pytest.mark.parametrize("alternative", ["two-sided", "greater", "less"])
def test_blocks_decide_like_the_straightforward_kernel_at_the_margin(method, alternative, capfd):
    """Rows built for the permutation passes' decisions (the clamp, -2, NaN, huge and tiny
    magnitudes): int32 counts of tiles cut off the tile grid, listed pairs and row scores
    against the straightforward kernel."""
    from test_fast_kernels import margin_matrix

    n = 45
    data = margin_matrix(n, 18, seed=4)
    g1, g2 = np.arange(1, 9, dtype=I32), np.arange(9, 18, dtype=I32)
    want = _baseline._ztest_pipeline_exhaustive(data, g1, g2, method, alternative, P, 1)
    rows_a, rows_b = (3, 29), (5, 44)
    at = [pair_position(i, j, n) for i in range(*rows_a) for j in range(max(rows_b[0], i + 1), rows_b[1])]
    got, total = summed_counts(
        lambda lo, hi, jobs: _blocks.ztest_block(data, g1, g2, rows_a, rows_b, method, alternative, lo, hi, jobs),
        (0, 4, P + 1),
        [2, 3],
    )
    assert_same(as_p(total), want[4][at])
    first, second = np.triu_indices(n, 1)
    got, total = summed_counts(
        lambda lo, hi, jobs: _blocks.pairs_block(
            data, second.astype(I32), first.astype(I32), g1, g2, method, alternative, lo, hi, jobs
        ),
        (0, P + 1),
        [2],
    )
    assert_same(as_p(total), want[4])
    for score in ("mean", "median"):
        observed, perm_p = _baseline._score_pipeline_exhaustive(data, g1, g2, method, score, alternative, P, 1)
        got, total = summed_counts(
            lambda lo, hi, jobs: _blocks.row_score_block(
                data, g1, g2, (2, 40), method, score, alternative, lo, hi, jobs
            ),
            (0, 5, P + 1),
            [1, 2],
        )
        assert_same(got[0], observed[2:40])
        assert_same(as_p(total), perm_p[2:40])
    capfd.readouterr()


@pytest.mark.parametrize("statistics", ["native", "api"])
@pytest.mark.parametrize("first", [17, 23], ids=["first-group-summed", "second-group-summed"])
def test_all_pairs_passes_summing_one_group_count_like_listed_pairs(statistics, first, capfd):
    """Groups that hold every column, so the all-pairs passes may derive one group's
    correlations: their counts against the listed-pair path, which sums both groups, on
    rows near r = +-1, with ties, offsets, a group apart in mean, NaN and near-constant rows."""
    rng = np.random.default_rng(11)
    n, m = 64, 40
    data = rng.normal(size=(n, m)).astype(F32)
    data[1] = 2 * data[0] + 1
    data[2] = -data[0] + 0.01 * data[2]
    data[3] = np.round(data[3] * 2) / 2
    data[4] += 1e4
    data[5, :first] += 3
    data[6, 7] = np.nan
    data[7] = 1 + 1e-6 * data[7]
    data[8] = 0
    data[8, 3] = 1
    order = rng.permutation(m).astype(I32)
    g1, g2 = order[:first], order[first:]
    first_rows, second_rows = np.triu_indices(n, 1)
    for alternative in ("two-sided", "greater", "less"):
        tiles = _blocks.ztest_block(
            data, g1, g2, (0, n), (0, n), "pearson", alternative, 0, P + 1, 2, statistics=statistics
        )
        listed = _blocks.pairs_block(
            data,
            first_rows.astype(I32),
            second_rows.astype(I32),
            g1,
            g2,
            "pearson",
            alternative,
            0,
            P + 1,
            1,
            statistics=statistics,
        )
        assert_same(tiles[-1], listed[-1])
    capfd.readouterr()


def test_more_rows_than_the_all_pairs_limit(capfd):
    n = 46400
    rng = np.random.default_rng(4)
    data = rng.normal(size=(n, 8)).astype(F32)
    g1, g2 = np.arange(4, dtype=I32), np.arange(4, 8, dtype=I32)
    rows_a, rows_b = (0, 3), (46390, 46400)
    first = np.repeat(np.arange(*rows_a, dtype=I32), 10)
    second = np.tile(np.arange(*rows_b, dtype=I32), 3)
    for method in ("pearson", "spearman"):
        want = pipelines._ztest_pipeline_indexed(data, first, second, g1, g2, method, "two-sided", 3, 2)
        got = _blocks.ztest_block(data, g1, g2, rows_a, rows_b, method, "two-sided", 0, 4, 2)
        for g, w in zip(got[:4], want[:4]):
            assert_same(g, w)
        assert_same((got[4].astype(F32) / F32(3)).astype(F32), want[4])
    # The mean row score of row 1 over all 46,399 other rows, summed in row order.
    others = np.delete(np.arange(n, dtype=I32), 1)
    z = pipelines._ztest_pipeline_indexed(data, np.full(n - 1, 1, I32), others, g1, g2, "pearson", "less", 0, 1)[2]
    total = F32(0)
    for v in np.abs(z):
        total = F32(total + v)
    observed, _ = _blocks.row_score_block(data, g1, g2, (1, 2), "pearson", "mean", "less", 0, 1, 2)
    assert_same(observed, np.array([total / F32(n - 1)], F32))
    capfd.readouterr()


DATA = matrix(12, 10, seed=1)
G1, G2 = groups(10)
GOOD = dict(
    data=DATA,
    first_columns=G1,
    second_columns=G2,
    rows_a=(0, 12),
    rows_b=(0, 12),
    method="pearson",
    alternative="two-sided",
    pass_first=0,
    pass_last=3,
    n_jobs=2,
)


@pytest.mark.parametrize(
    "change, error, match",
    [
        (dict(method="Pearson"), ValueError, "method"),
        (dict(alternative="two_sided"), ValueError, "alternative"),
        (dict(statistics="exact"), ValueError, "statistics"),
        (dict(pass_first=4), ValueError, "pass_first <= pass_last"),
        (dict(pass_first=-1), ValueError, "pass_first"),
        (dict(pass_last=2**31), ValueError, "pass_last"),
        (dict(n_jobs=0), ValueError, "n_jobs"),
        (dict(rows_a=(0, 13)), IndexError, "rows_a"),
        (dict(rows_b=(-1, 3)), IndexError, "rows_b"),
        (dict(rows_a=(5, 2)), ValueError, "rows_a"),
        (dict(first_columns=np.array([0, 10], I32)), IndexError, "first_columns"),
        (dict(second_columns=np.arange(3, 10, dtype=I32)), ValueError, "groups hold"),
        (dict(data=DATA[0]), ValueError, "two-dimensional"),
        (dict(data=DATA.astype(np.float64)), TypeError, "incompatible"),
        (dict(first_columns=G1.astype(np.int64)), TypeError, "incompatible"),
        (dict(first_columns=[0, 2**32 + 7]), ValueError, "first_columns"),
    ],
    ids=lambda v: str(v) if not isinstance(v, dict) else ",".join(v),
)
def test_bad_arguments_are_refused_before_any_work(change, error, match):
    calls = []
    with pytest.raises(error, match=match):
        _blocks.ztest_block(**dict(GOOD, **change), progress=calls.append)
    assert calls == []


def test_bad_score_and_set_arguments():
    with pytest.raises(ValueError, match="score"):
        _blocks.row_score_block(DATA, G1, G2, (0, 3), "pearson", "Mean", "less", 0, 2, 1)
    with pytest.raises(ValueError, match="method"):
        _blocks.row_score_block(DATA, G1, G2, (0, 3), "kendall", "mean", "less", 0, 2, 1)
    with pytest.raises(IndexError, match="second_rows"):
        _blocks.set_block(
            DATA, np.array([0, 1], I32), np.array([1, 12], I32), G1, G2, "pearson", "mean", "less", 0, 2, 1
        )
    with pytest.raises(TypeError, match="progress"):
        _blocks.ztest_block(**GOOD, progress=3)
    # Groups larger than the data are fine when no permutation pass is in the range.
    wide = np.arange(8, dtype=I32)
    assert _blocks.ztest_block(**dict(GOOD, second_columns=wide, pass_last=1))[4].sum() == 0


@pytest.mark.parametrize("first, last, reports", [(0, 5, [1, 2, 3, 4, 5]), (3, 6, [1, 2, 3]), (4, 4, []), (0, 0, [])])
def test_progress_is_reported_once_per_pass_of_the_range(first, last, reports):
    seen = []
    _blocks.ztest_block(**dict(GOOD, pass_first=first, pass_last=last), progress=seen.append)
    assert seen == reports


def test_an_exception_in_the_progress_callback_ends_the_call():
    seen = []

    def progress(done):
        seen.append(done)
        if done == 2:
            raise RuntimeError("stop here")

    with pytest.raises(RuntimeError, match="stop here"):
        _blocks.row_score_block(DATA, G1, G2, (0, 12), "spearman", "median", "less", 0, 50, 2, progress=progress)
    assert seen == [1, 2]


def test_ctrl_c_ends_a_call_between_passes():
    data = matrix(200, 20, seed=6)
    g1, g2 = groups(20)
    seen = []
    timer = threading.Timer(0.2, os.kill, (os.getpid(), signal.SIGINT))
    timer.start()
    try:
        with pytest.raises(KeyboardInterrupt):
            _blocks.ztest_block(data, g1, g2, (0, 200), (0, 200), "pearson", "less", 0, 10**6, 2, progress=seen.append)
    finally:
        timer.cancel()
    assert 0 < len(seen) < 10**6


def test_pair_correlations_do_not_depend_on_the_order_of_the_rows(capfd):
    # A block stores pair (i, j), i < j, once for both rows: the pair read either way
    # round gives the same bits.
    data = matrix(30, 16, seed=9)
    g1, g2 = groups(16)
    i, j = np.triu_indices(30, 1)
    forward = pipelines._ztest_pipeline_indexed(data, i.astype(I32), j.astype(I32), g1, g2, "pearson", "less", 0, 2)
    backward = pipelines._ztest_pipeline_indexed(data, j.astype(I32), i.astype(I32), g1, g2, "pearson", "less", 0, 2)
    for f, b in zip(forward[:3], backward[:3]):
        assert_same(f, b)
    capfd.readouterr()


def test_other_threads_run_during_a_call():
    data = matrix(600, 40, seed=5)
    g1, g2 = groups(40)
    assert (
        ticks_during(lambda: _blocks.ztest_block(data, g1, g2, (0, 600), (0, 600), "pearson", "two-sided", 0, 40, 1))
        > 10000
    )


def unaligned(array):
    """A copy of `array` whose data starts one byte past an aligned address."""
    buffer = np.zeros(array.nbytes + 1, np.uint8)
    copy = buffer[1:].view(array.dtype).reshape(array.shape)
    copy[...] = array
    assert not copy.flags.aligned
    return copy


def swapped(array):
    return array.astype(array.dtype.newbyteorder())


LABELS = np.array([0, 0, 1, 1, 1, 3], I32)
PAIRS = np.array([0, 0, 2, 5], I32), np.array([1, 3, 7, 9], I32)
CALLS = {
    "score_indexed": lambda f, i: scores._score_indexed(f(DATA.ravel()), i(LABELS), "median", 2),
    "score_exhaustive": lambda f, i: scores._score_exhaustive(f(DATA.ravel()), 6, "mean", 2),
    "ztest_indexed": lambda f, i: pipelines._ztest_pipeline_indexed(
        f(DATA), i(PAIRS[0]), i(PAIRS[1]), i(G1), i(G2), "spearman", "less", 3, 2
    ),
    "ztest_exhaustive": lambda f, i: pipelines._ztest_pipeline_exhaustive(
        f(DATA), i(G1), i(G2), "pearson", "greater", 3, 2
    ),
    "score_pipeline_indexed": lambda f, i: pipelines._score_pipeline_indexed(
        f(DATA), i(PAIRS[0]), i(PAIRS[1]), i(G1), i(G2), "pearson", "mean", "two-sided", 3, 2
    ),
    "score_pipeline_exhaustive": lambda f, i: pipelines._score_pipeline_exhaustive(
        f(DATA), i(G1), i(G2), "spearman", "median", "less", 3, 2
    ),
    "ztest_block": lambda f, i: _blocks.ztest_block(
        f(DATA), i(G1), i(G2), (1, 7), (0, 12), "spearman", "less", 0, 4, 2
    ),
    "row_score_block": lambda f, i: _blocks.row_score_block(
        f(DATA), i(G1), i(G2), (2, 9), "pearson", "median", "two-sided", 1, 4, 2
    ),
    "pairs_block": lambda f, i: _blocks.pairs_block(
        f(DATA), i(PAIRS[0]), i(PAIRS[1]), i(G1), i(G2), "spearman", "greater", 0, 4, 2
    ),
    "set_block": lambda f, i: _blocks.set_block(
        f(DATA), i(PAIRS[0]), i(PAIRS[1]), i(G1), i(G2), "pearson", "mean", "greater", 0, 4, 2
    ),
    "module_block": lambda f, i: _blocks.module_block(
        f(DATA),
        i(PAIRS[0]),
        i(PAIRS[1]),
        i(np.array([0, 3, 4], I32)),
        i(np.array([0, 3, 1, 2], I32)),
        i(G1),
        i(G2),
        "spearman",
        "median",
        "less",
        0,
        4,
        2,
    ),
}


@pytest.mark.parametrize("name", CALLS)
@pytest.mark.parametrize("layout", [unaligned, swapped], ids=["unaligned", "byte-swapped"])
def test_unaligned_and_byte_swapped_inputs_give_the_aligned_results(name, layout, capfd):
    def same(a):
        return a

    want = CALLS[name](same, same)
    for got in (CALLS[name](layout, same), CALLS[name](same, layout)):
        for g, w in zip(got if isinstance(got, tuple) else (got,), want if isinstance(want, tuple) else (want,)):
            assert_same(g, w)
    capfd.readouterr()


@pytest.mark.parametrize(
    "call, name",
    [
        (lambda: scores._score_indexed(DATA.ravel(), [0, 2**32 + 7], "mean", 1), "labels"),
        (
            lambda: pipelines._ztest_pipeline_indexed(
                DATA, [0, -(2**31) - 1], PAIRS[1][:2], G1, G2, "pearson", "less", 1, 1
            ),
            "first_rows",
        ),
        (
            lambda: pipelines._score_pipeline_exhaustive(DATA, G1, [5, 2**70], "pearson", "mean", "less", 1, 1),
            "second_columns",
        ),
        (
            lambda: _blocks.set_block(DATA, PAIRS[0], [2**31] * 4, G1, G2, "pearson", "mean", "less", 0, 1, 1),
            "second_rows",
        ),
    ],
    ids=["labels", "first_rows", "beyond-int64", "blocks"],
)
def test_list_integers_beyond_int32_are_refused_by_name(call, name):
    with pytest.raises(ValueError, match=name + " holds integers outside the 32-bit range"):
        call()


# (keep_p, count_p): the filters of a max_q run, of max_p alone, everything, a keep limit
# above the count limit, limits that keep nothing, and one where one-sided statistics of
# both signs are kept.
KEPT_LIMITS = [(0.05, 0.05), (0.01, np.inf), (np.inf, np.inf), (0.7, 0.2), (0.0, 1e-300), (0.9, 0.9)]


def assert_kept(kept, full, keep_p, count_p):
    """A kept observed pass against the full outputs of the same pairs: the pairs with p at
    most keep_p in ascending position with the same bits, the distinct p-values at most
    count_p with their counts, and the p-values that are not NaN."""
    positions, r1, r2, z, p, counted, counted_pairs, defined = kept
    want = np.flatnonzero(full[3] <= keep_p)
    assert positions.dtype == np.int64 and np.array_equal(positions, want)
    for got, all_values in zip((r1, r2, z, p), full[:4]):
        assert_same(got, all_values[want])
    values, counts = np.unique(full[3][full[3] <= count_p], return_counts=True)
    assert_same(counted, values)
    assert counted_pairs.dtype == np.int64 and np.array_equal(counted_pairs, counts)
    assert defined == np.count_nonzero(~np.isnan(full[3]))


@pytest.mark.parametrize("method", ["pearson", "spearman"])
@pytest.mark.parametrize("alternative", ["two-sided", "greater", "less"])
def test_kept_observed_pass_equals_the_full_observed_pass(method, alternative):
    # Rows correlated in one group only (small p-values), ties, NaN, rows constant within a
    # group, tiles of every shape, on one and two threads.
    rng = np.random.default_rng(21)
    n, c = 90, 24
    data = matrix(n, c, seed=21)
    data[10:30, :12] += rng.normal(size=12).astype(F32) * 2
    g1, g2 = groups(c)
    for k, (keep_p, count_p) in enumerate(KEPT_LIMITS):
        for rows_a, rows_b in [((0, n), (0, n)), ((3, 40), (0, n)), ((n - 3, n - 2), (0, n)), ((5, 5), (0, n))]:
            full = _blocks.ztest_block(data, g1, g2, rows_a, rows_b, method, alternative, 0, 1, 2, statistics="api")
            kept = _blocks.ztest_block_kept(
                data, g1, g2, rows_a, rows_b, method, alternative, 1 + k % 2, keep_p=keep_p, count_p=count_p
            )
            assert_kept(kept, full, keep_p, count_p)


@pytest.mark.parametrize("pair_list", PAIR_LISTS)
def test_kept_listed_pairs_equal_the_full_listed_pairs(pair_list):
    data = matrix(41, 18, seed=12)
    data[:9, :8] += np.random.default_rng(3).normal(size=8).astype(F32)
    g1, g2 = np.array([0, 3, 5, 7, 9, 11, 2], I32), np.arange(8, 18, dtype=I32)
    first_rows, second_rows = (np.asarray(v, I32) for v in PAIR_LISTS[pair_list](41, np.random.default_rng(7)))
    for alternative in ("two-sided", "less"):
        full = _blocks.pairs_block(
            data, first_rows, second_rows, g1, g2, "pearson", alternative, 0, 1, 2, statistics="api"
        )
        for keep_p, count_p in KEPT_LIMITS:
            kept = _blocks.pairs_block_kept(
                data, first_rows, second_rows, g1, g2, "pearson", alternative, 2, keep_p=keep_p, count_p=count_p
            )
            assert_kept(kept, full, keep_p, count_p)


def test_kept_observed_pass_arguments():
    calls = []
    with pytest.raises(ValueError, match="keep_p and count_p"):
        _blocks.ztest_block_kept(DATA, G1, G2, (0, 12), (0, 12), "pearson", "less", 1, keep_p=np.nan)
    with pytest.raises(ValueError, match="method"):
        _blocks.pairs_block_kept(DATA, *PAIRS, G1, G2, "Pearson", "less", 1, keep_p=0.1, progress=calls.append)
    with pytest.raises(IndexError, match="rows_b"):
        _blocks.ztest_block_kept(DATA, G1, G2, (0, 12), (0, 13), "pearson", "less", 1, keep_p=0.1)
    assert calls == []
    _blocks.ztest_block_kept(DATA, G1, G2, (0, 12), (0, 12), "pearson", "less", 1, keep_p=0.1, progress=calls.append)
    assert calls == [1]  # the observed pass
