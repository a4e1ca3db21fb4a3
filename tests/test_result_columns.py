"""Columns made from others: the t-test p-values of correlations the same bits however the
work is laid out, and the columns a result table makes on first use the same as made at once,
also for a cut of the table."""

import math

import numpy as np
import pytest

from corrshift import results
from corrshift.results import ModuleResult, PairResult, RowResult, SetResult


def beta_fraction_one(x, a, b):
    """The continued fraction of I_x(a, b) for one value, step by step (modified Lentz)."""
    tiny, eps = 1e-300, 1e-15
    qab, qap, qam = a + b, a + 1.0, a - 1.0
    c, d = 1.0, 1.0 - qab * x / qap
    d = 1.0 / (tiny if abs(d) < tiny else d)
    h = d
    for m in range(1, 200 + 20 * int(math.sqrt(max(a, b))) + 1):
        m2 = 2.0 * m
        for coef in (m * (b - m) * x / ((qam + m2) * (a + m2)), -(a + m) * (qab + m) * x / ((a + m2) * (qap + m2))):
            da, ca = 1.0 + coef * d, 1.0 + coef / c
            d = 1.0 / (tiny if abs(da) < tiny else da)
            c = tiny if abs(ca) < tiny else ca
            step = d * c
            h *= step
        if abs(step - 1.0) <= eps:
            break
    return h


@pytest.mark.parametrize("a,b", [(17.5, 0.5), (0.5, 17.5), (1.0, 0.5), (99.0, 0.5)], ids=str)
def test_beta_fraction_takes_each_values_own_steps(a, b):
    rng = np.random.default_rng(11)
    limit = (a + 1.0) / (a + b + 2.0)
    # Values converging after few and after many steps, side by side.
    x = np.concatenate([rng.uniform(0, limit, 300), limit * (1 - np.geomspace(1e-12, 1e-1, 40)), [0.0]])
    rng.shuffle(x)
    expected = [beta_fraction_one(float(v), a, b) for v in x]
    assert results._beta_fraction(x, a, b).tolist() == expected


def test_correlation_pvalues_do_not_depend_on_the_chunk():
    r = np.random.default_rng(2).uniform(-1, 1, 5000).astype(np.float32)
    r[:4] = [0.0, 1.0, -1.0, np.nan]
    whole = results.correlation_pvalues(r, 37)
    assert np.array_equal(results.correlation_pvalues(r, 37, chunk=97), whole, equal_nan=True)


def pair_table(size=400, permutations=30):
    rng = np.random.default_rng(4)
    r1, r2 = (rng.uniform(-1, 1, size).astype(np.float32) for _ in range(2))
    p = rng.choice(np.linspace(0, 1, 60, dtype=np.float32), size)  # ties, as the pipelines give
    p[:5] = np.nan
    z = rng.normal(size=size).astype(np.float32)
    perm_p = results.permutation_pvalues(rng.integers(0, permutations + 1, size), permutations, z)
    index = np.arange(size, dtype=np.int32)
    return PairResult(
        np.arange(size).astype(str).astype(object),
        index,
        index[::-1].copy(),
        r1,
        r2,
        z,
        p,
        perm_p,
        9,
        12,
        "pearson",
        "two-sided",
        permutations,
        class_alpha=0.1,
    )


def score_tables():
    rng = np.random.default_rng(6)
    score = rng.normal(size=50).astype(np.float32)
    perm_p = results.permutation_pvalues(rng.integers(0, 20, 50), 19, score)
    names = np.arange(60).astype(str).astype(object)
    index = np.arange(50, dtype=np.int32)
    args = (9, 12, "median", "pearson", "two-sided", 19)
    return [
        RowResult(names, index, score, perm_p, *args),
        SetResult(names, index, [np.arange(k % 5 + 1, dtype=np.int32) for k in range(50)], score, perm_p, *args),
        ModuleResult(
            ["m{}".format(k) for k in range(50)],
            [np.arange(k % 5 + 2, dtype=np.int32) for k in range(50)],
            score,
            perm_p,
            score,
            score,
            *args,
        ),
    ]


def eager_columns(table):
    """Every column of `table` as the functions make it for the whole table at once."""
    if isinstance(table, PairResult):
        p1, p2 = results.correlation_pvalues(table.r1, 9), results.correlation_pvalues(table.r2, 12)
        return {
            "p1": p1,
            "p2": p2,
            "class_code": results.correlation_classes(table.r1, p1, table.r2, p2, 0.1),
            "q_value": results.bh_qvalues(table.p_value),
            "perm_q": results.bh_qvalues(table.perm_p),
        }
    return {"perm_q": results.bh_qvalues(table.perm_p)}


def same(a, b):
    return a.dtype == b.dtype and np.array_equal(a.view(np.uint8), b.view(np.uint8))


@pytest.mark.parametrize(
    "make", [pair_table] + [lambda k=k: score_tables()[k] for k in range(3)], ids=["pairs", "rows", "sets", "modules"]
)
def test_made_columns_are_the_eager_ones_for_a_table_and_its_cuts(make):
    expected = eager_columns(make())
    positions = np.random.default_rng(8).permutation(len(make()))[: len(make()) // 3]
    cut_first = make().take(positions)  # cut before any column was made
    whole = make()
    for name, value in expected.items():
        assert same(getattr(whole, name), value), name
        assert whole.made(name) is not None
        assert same(getattr(cut_first, name), value[positions]), name
    cut_after = whole.take(positions)  # cut of a table that made them already
    assert all(same(getattr(cut_after, name), value[positions]) for name, value in expected.items())
    top = make().top(7)
    assert same(top.perm_q, expected["perm_q"][make().order()[:7]])


def test_a_cut_makes_its_columns_only():
    whole = pair_table()
    cut = whole.top(3)
    cut.to_dict()
    assert cut.made("p1") is not None and whole.made("p1") is None and whole.made("q_value") is None
    given = pair_table().take(np.arange(10))
    assert (
        PairResult(
            given.names,
            given.index1,
            given.index2,
            given.r1,
            given.r2,
            given.z_diff,
            given.p_value,
            given.perm_p,
            9,
            12,
            "pearson",
            "two-sided",
            30,
            p1=np.zeros(10),
        ).p1.sum()
        == 0
    )
