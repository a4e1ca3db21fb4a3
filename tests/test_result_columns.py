"""The t-test p-values of correlations: the same bits however the work is laid out."""
import math

import numpy as np
import pytest

from corrshift import results


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
