"""Slow, obvious reference implementation of the corrshift computations.

Everything here is plain Python and NumPy, written to reproduce the native
modules' single-precision arithmetic bit for bit.  Each NumPy operation on
float32 arrays is one IEEE float32 operation, so the code keeps every operand a
float32 array or an ``np.float32`` scalar; the few steps the native code does in
double precision are spelled out with ``np.float64``.  Transcendental functions
(``atanhf``, ``erfc``) come from the C library through ctypes, because NumPy's
and Python's own versions may round differently.

Loops run over columns (or positions) in the native order and are vectorised
over pairs, rows or sets where that does not change the order of operations.
"""

import ctypes
import ctypes.util

import numpy as np

F32 = np.float32
F64 = np.float64

PERMUTATION_SEED = 733
UINT32_MAX = 2**32 - 1

CLAMP = F32(0.99)
INVALID = F32(-2.0)
SQRT_1_5 = 1.224744871391589
SQRT_2 = np.sqrt(F64(2.0))

_libm = ctypes.CDLL(ctypes.util.find_library("m") or "libm.so.6")
_libm.atanhf.restype = ctypes.c_float
_libm.atanhf.argtypes = [ctypes.c_float]
_libm.erfc.restype = ctypes.c_double
_libm.erfc.argtypes = [ctypes.c_double]
_libm.atanh.restype = ctypes.c_double
_libm.atanh.argtypes = [ctypes.c_double]


# ---------------------------------------------------------------------------
# Small helpers
# ---------------------------------------------------------------------------


def _text(option):
    """An option argument as the bytes the native code compares."""
    return option if isinstance(option, bytes) else option.encode("utf-8")


def _is(option, name):
    """Exact, case-sensitive byte comparison of an option with a name."""
    return _text(option) == name.encode("ascii")


def _f32(values):
    return np.ascontiguousarray(values, dtype=F32)


def _i32(values):
    return np.ascontiguousarray(values, dtype=np.int32)


def atanhf(values):
    """Element-wise C library atanhf of a float32 array."""
    x = _f32(values)
    out = np.empty_like(x)
    for k, v in enumerate(x.flat):
        out.flat[k] = _libm.atanhf(float(v))
    return out


def erfc(values):
    """Element-wise C library erfc of a float64 array."""
    x = np.ascontiguousarray(values, dtype=F64)
    out = np.empty_like(x)
    for k, v in enumerate(x.flat):
        out.flat[k] = _libm.erfc(float(v))
    return out


# ---------------------------------------------------------------------------
# Random generator and column shuffle
# ---------------------------------------------------------------------------


class MT19937:
    """The standard 32-bit Mersenne Twister, seeded from one 32-bit word."""

    N, M = 624, 397

    def __init__(self, seed):
        mt = [seed & 0xFFFFFFFF]
        for i in range(1, self.N):
            prev = mt[-1]
            mt.append((1812433253 * (prev ^ (prev >> 30)) + i) & 0xFFFFFFFF)
        self.mt = mt
        self.index = self.N

    def _twist(self):
        mt, n = self.mt, self.N
        for i in range(n):
            y = (mt[i] & 0x80000000) | (mt[(i + 1) % n] & 0x7FFFFFFF)
            mt[i] = mt[(i + self.M) % n] ^ (y >> 1) ^ (0x9908B0DF if y & 1 else 0)
        self.index = 0

    def next(self):
        """The next 32-bit output."""
        if self.index >= self.N:
            self._twist()
        y = self.mt[self.index]
        self.index += 1
        y ^= y >> 11
        y ^= (y << 7) & 0x9D2C5680
        y ^= (y << 15) & 0xEFC60000
        y ^= y >> 18
        return y


def mt19937_outputs(seed, n):
    """The first n outputs of MT19937 seeded with `seed`, as a list of ints."""
    gen = MT19937(seed)
    return [gen.next() for _ in range(n)]


class Shuffler:
    """The permutation generator of one call: seeded engine plus column_order.

    column_order starts as 0..ncols-1 and every shuffle() permutes the order
    left by the previous one.
    """

    def __init__(self, ncols, seed=PERMUTATION_SEED):
        self.engine = MT19937(seed)
        self.column_order = list(range(ncols))

    def draw(self, m):
        """Uniform integer in 0..m-1 by rejection on 32-bit outputs."""
        while True:
            x = self.engine.next()
            if x // m < UINT32_MAX // m or UINT32_MAX % m == m - 1:
                return x % m

    def shuffle(self):
        """Front-to-back Fisher-Yates of column_order; returns a copy of it."""
        order = self.column_order
        for t in range(1, len(order)):
            j = self.draw(t + 1)
            if j != t:
                order[t], order[j] = order[j], order[t]
        return list(order)


def permutation_groups(ncols, first_count, second_count, permutations):
    """The (group 1, group 2) column lists of permutation passes 1..P."""
    shuffler = Shuffler(ncols)
    groups = []
    for _ in range(permutations):
        order = shuffler.shuffle()
        groups.append((_i32(order[:first_count]), _i32(order[first_count : first_count + second_count])))
    return groups


# ---------------------------------------------------------------------------
# Label runs, pair positions and set scores
# ---------------------------------------------------------------------------


def label_runs(labels):
    """Runs of equal labels: (values, starts, ends) as int32 arrays.

    A position whose label does not exceed the last run's label belongs to no run.
    """
    labels = [int(v) for v in np.asarray(labels).ravel()]
    values, starts, ends = [], [], []
    i = 0
    while i < len(labels):
        if values and labels[i] <= values[-1]:
            i += 1
            continue
        j = i
        while j < len(labels) and labels[j] == labels[i]:
            j += 1
        values.append(labels[i])
        starts.append(i)
        ends.append(j)
        i = j
    return _i32(values), _i32(starts), _i32(ends)


def condensed_index(i, j, n):
    """Position of the unordered pair {i, j}, i != j, in a condensed pair vector."""
    lo, hi = min(i, j), max(i, j)
    return lo * (2 * n - lo - 1) // 2 + hi - lo - 1


def condensed_pairs(n):
    """(first_rows, second_rows) of all pairs i < j of n items in condensed order."""
    first = [i for i in range(n) for _ in range(i + 1, n)]
    second = [j for i in range(n) for j in range(i + 1, n)]
    return _i32(first), _i32(second)


def pair_row_positions(p, n):
    """Condensed positions of the pairs {i, p}, i = 0..n-1, with -1 at i = p."""
    return _i32([-1 if i == p else condensed_index(i, p, n) for i in range(n)])


def _gather(values, positions):
    """The values at the non-negative positions, in position-list order."""
    values = _f32(values).ravel()
    if positions is None:
        return values
    positions = np.asarray(positions, dtype=np.int64).ravel()
    return values[positions[positions >= 0]]


def mean_abs_score(values, positions=None):
    """Mean of |value| over the positions (negative ones skipped); 0 if empty.

    Sum and count are float32 and accumulated in position order.
    """
    total, count = F32(0), F32(0)
    for v in _gather(values, positions):
        total = F32(total + np.abs(v))
        count = F32(count + F32(1))
    if count > 0:
        return F32(total / count)
    return F32(0)


def quantile_score(values, positions=None, absolute=False):
    """Upper median: element floor(m * 0.5f) of the ascending sort; 0 if empty.

    NaN sorts after every number.
    """
    picked = _gather(values, positions)
    if absolute:
        picked = np.abs(picked)
    m = len(picked)
    if m <= 0:
        return F32(0)
    return F32(np.sort(picked)[int(F32(m) * F32(0.5))])


def _set_score(values, positions, score, absolute):
    if _is(score, "mean"):
        return mean_abs_score(values, positions)
    if _is(score, "median"):
        return quantile_score(values, positions, absolute)
    return F32(np.nan)


def score_indexed(values, labels, score):
    """Score of each label run: (run labels as float32, scores float32).

    "mean" is the mean of |values|, "median" the upper median of the signed
    values; any other score gives NaN.
    """
    if len(_i32(labels)) == 0:
        raise RuntimeError("Process number error")
    run_values, starts, ends = label_runs(labels)
    scores = [_set_score(values, range(s, e), score, False) for s, e in zip(starts, ends)]
    return run_values.astype(F32), _f32(scores)


def _row_position_matrix(n):
    """Row p lists the condensed positions of the pairs {i, p}, -1 at i = p."""
    i = np.arange(n)[None, :]
    p = np.arange(n)[:, None]
    lo, hi = np.minimum(i, p), np.maximum(i, p)
    pos = lo * (2 * n - lo - 1) // 2 + hi - lo - 1
    return np.where(i == p, -1, pos)


def row_scores(pair_values, n, score, absolute):
    """Score of each item over its n-1 pair values (vectorised over items).

    Positions are visited in the order i = 0..n-1 for every item, as in the
    per-item kernels; any other score gives NaN.
    """
    pair_values = _f32(pair_values).ravel()
    positions = _row_position_matrix(n)
    if _is(score, "mean"):
        total = np.zeros(n, F32)
        count = np.zeros(n, F32)
        for i in range(n):
            column = positions[:, i]
            real = column >= 0
            if not real.any():
                continue
            v = np.abs(pair_values[np.where(real, column, 0)])
            total = np.where(real, total + v, total).astype(F32)
            count = np.where(real, count + F32(1), count).astype(F32)
        with np.errstate(invalid="ignore", divide="ignore"):
            return np.where(count > 0, total / count, F32(0)).astype(F32)
    if _is(score, "median"):
        if n <= 1:
            return np.zeros(n, F32)
        off_diagonal = positions[positions >= 0].reshape(n, n - 1)
        picked = pair_values[off_diagonal]
        if absolute:
            picked = np.abs(picked)
        return np.sort(picked, axis=1)[:, int(F32(n - 1) * F32(0.5))].astype(F32)
    return np.full(n, np.nan, F32)


def score_exhaustive(pair_values, n, score):
    """Score of each of n items over its pairs in a condensed pair vector."""
    if n <= 0:
        raise RuntimeError("Process number error")
    return row_scores(pair_values, n, score, absolute=False)


# ---------------------------------------------------------------------------
# Correlation, Fisher difference, ranks
# ---------------------------------------------------------------------------


def pair_correlation(data, rows_i, rows_j, columns=None):
    """Population Pearson correlation of rows i and j over the listed columns.

    Five float32 accumulators per pair, updated column by column in list order;
    -2 where either variance is exactly 0; an empty column list gives NaN.
    """
    data = _f32(data)
    rows_i = np.asarray(rows_i, dtype=np.int64).ravel()
    rows_j = np.asarray(rows_j, dtype=np.int64).ravel()
    if columns is None:
        columns = range(data.shape[1])
    columns = [int(c) for c in np.asarray(columns).ravel()]
    sx, sy, sxx, syy, sxy = (np.zeros(len(rows_i), F32) for _ in range(5))
    for c in columns:
        x = data[rows_i, c]
        y = data[rows_j, c]
        sx = sx + x
        sy = sy + y
        sxx = sxx + x * x
        syy = syy + y * y
        sxy = sxy + x * y
    m = F32(len(columns))
    with np.errstate(invalid="ignore", divide="ignore"):
        mean_x = sx / m
        var_x = sxx / m - mean_x * mean_x
        mean_y = sy / m
        var_y = syy / m - mean_y * mean_y
        cov = sxy / m - mean_y * mean_x
        r = cov / np.sqrt(var_y * var_x)
    r = np.where((var_x == 0) | (var_y == 0), INVALID, r)
    return r.astype(F32)


def _inverse_sqrt(n):
    """float(1 / sqrt(double(n - 3))), with C's inf and NaN for n <= 3."""
    with np.errstate(invalid="ignore", divide="ignore"):
        return F32(F64(1.0) / np.sqrt(F64(n - 3)))


def _clamp(r):
    r = _f32(r)
    r = np.where(r < -CLAMP, -CLAMP, r)
    r = np.where(r > CLAMP, CLAMP, r)
    return r.astype(F32)


def _lower_tail(z):
    """float(0.5 * erfc(double(-z) / sqrt(2.0))), the normal CDF at z."""
    return (F64(0.5) * erfc((-z).astype(F64) / SQRT_2)).astype(F32)


def fisher_difference(r1, n1, r2, n2, method, alternative, with_p=True):
    """Fisher z difference and its normal p-value: (z_diff, p_value or None).

    z_diff = atanhf(clamp(r1)) - atanhf(clamp(r2)); the p-value uses the
    standard error sqrt(1/(n2-3) + 1/(n1-3)), times sqrt(1.5) for "spearman";
    an unrecognised alternative gives -2.
    """
    a = _inverse_sqrt(n1)
    b = _inverse_sqrt(n2)
    d = (atanhf(_clamp(r1)) - atanhf(_clamp(r2))).astype(F32)
    if not with_p:
        return d, None
    if _is(method, "spearman"):
        a = F32(F64(a) * SQRT_1_5)
        b = F32(F64(b) * SQRT_1_5)
    with np.errstate(invalid="ignore", over="ignore"):
        se = np.sqrt(F32(F32(b * b) + F32(a * a)))
        z = (d / se).astype(F32)
        if _is(alternative, "less"):
            p = _lower_tail(z)
        elif _is(alternative, "greater"):
            p = (F32(1) - _lower_tail(z)).astype(F32)
        elif _is(alternative, "two-sided"):
            upper = (np.abs(d) / se).astype(F32)
            p = (F32(2) * _lower_tail(-upper)).astype(F32)
        else:
            p = np.full(d.shape, INVALID, F32)
    return d, p.astype(F32)


def rank_rows(data, columns, ranks):
    """Rank each row of `data` over the listed columns into `ranks`, in place.

    Ranks are 0..L-1 as float32; equal values get consecutive ranks in list
    order and NaN ranks after every number.  Other columns are left alone.
    Returns `ranks`.
    """
    data = _f32(data)
    if columns is None:
        columns = range(data.shape[1])
    columns = np.asarray(columns, dtype=np.int64).ravel()
    if len(columns) == 0:
        return ranks
    rows = np.arange(data.shape[0])
    order = np.argsort(data[:, columns], axis=1, kind="stable")
    for k in range(len(columns)):
        ranks[rows, columns[order[:, k]]] = F32(k)
    return ranks


def average_rank_rows(data, columns, ranks):
    """Average ranks (from 0) of each row over the listed columns into `ranks`, in
    place: tied values share the mean of the ranks they occupy. Returns `ranks`."""
    data = _f32(data)
    columns = np.asarray(columns, dtype=np.int64).ravel()
    for row in range(data.shape[0]):
        values = data[row, columns].astype(F64)
        below = (values[None, :] < values[:, None]).sum(axis=1)
        equal = (values[None, :] == values[:, None]).sum(axis=1)
        ranks[row, columns] = (below + (equal - 1) / 2.0).astype(F32)
    return ranks


# ---------------------------------------------------------------------------
# The API's statistics (the block functions' statistics="api")
# ---------------------------------------------------------------------------


def standardised(data, columns):
    """Each row over the listed columns standardised in double: (float32 values
    (x - mean) / sd, float64 unit vectors (x - mean) / sqrt(sum of squares)); sums in
    list order; a constant row gives zeros and NaN."""
    x = _f32(data)[:, np.asarray(columns, dtype=np.int64)].astype(F64)
    m = F64(x.shape[1])
    total = np.zeros(x.shape[0])
    for c in range(x.shape[1]):
        total = total + x[:, c]
    mean = total / m
    squares = np.zeros(x.shape[0])
    for c in range(x.shape[1]):
        d = x[:, c] - mean
        squares = squares + d * d
    constant = (x == x[:, :1]).all(axis=1)
    squares[constant] = 0.0
    with np.errstate(invalid="ignore", divide="ignore"):
        values = ((x - mean[:, None]) / np.sqrt(squares / m)[:, None]).astype(F32)
        unit = (x - mean[:, None]) / np.sqrt(squares)[:, None]
    values[constant] = 0.0
    unit[constant] = np.nan
    return values, unit


def api_observed(data, rows_i, rows_j, first_columns, second_columns, method, alternative):
    """The API's observed pass: (r1, r2, z_diff as float32, p-value as float64)."""
    stats = []
    for columns in (first_columns, second_columns):
        _, unit = standardised(data, columns)
        dot = np.zeros(len(rows_i))
        for c in range(unit.shape[1]):
            dot = dot + unit[rows_i, c] * unit[rows_j, c]
        stats.append(np.clip(dot, -1.0, 1.0))
    bound = F64(CLAMP)
    c1, c2 = (np.clip(r, -bound, bound) for r in stats)
    d = np.array([_libm.atanh(a) - _libm.atanh(b) for a, b in zip(c1, c2)], dtype=F64)
    factor = 1.06 if _is(method, "spearman") else 1.0
    n1, n2 = len(first_columns), len(second_columns)
    z = d / np.sqrt(factor / (n1 - 3) + factor / (n2 - 3))
    if _is(alternative, "two-sided"):
        p = erfc(np.abs(z) / SQRT_2)
    elif _is(alternative, "greater"):
        p = 0.5 * erfc(z / SQRT_2)
    else:
        p = 0.5 * erfc(-z / SQRT_2)
    return stats[0].astype(F32), stats[1].astype(F32), d.astype(F32), p


def api_source(data, g1, g2, method):
    """What a pass of the API's statistics reads: the data, or for "spearman" one buffer
    of its average ranks over group 1, then over group 2."""
    data = _f32(data)
    if not _is(method, "spearman"):
        return data
    ranks = np.zeros(data.shape, F32)
    average_rank_rows(data, g1, ranks)
    return average_rank_rows(data, g2, ranks)


def api_pass_z(source, rows_i, rows_j, g1, g2, n1, n2, method, alternative):
    """A pass's single-precision z_diff in the API's statistics: the float kernel over the
    rows standardised within each group."""
    r = []
    for g in (g1, g2):
        values = standardised(source, g)[0]
        r.append(pair_correlation(values, rows_i, rows_j, range(values.shape[1])))
    return fisher_difference(r[0], n1, r[1], n2, method, alternative, with_p=False)[0]


def api_ztest(data, rows_i, rows_j, first_columns, second_columns, method, alternative, permutations):
    """The z-test of listed pairs in the API's statistics: (r1, r2, z_diff, p_value,
    exceedance counts over `permutations` passes)."""
    data = _f32(data)
    rows_i, rows_j = np.asarray(rows_i, dtype=np.int64), np.asarray(rows_j, dtype=np.int64)
    source = api_source(data, first_columns, second_columns, method)
    r1, r2, z, p = api_observed(source, rows_i, rows_j, first_columns, second_columns, method, alternative)
    counts = np.zeros(len(rows_i), np.int64)
    n1, n2 = len(first_columns), len(second_columns)
    for g1, g2 in permutation_groups(data.shape[1], n1, n2, permutations):
        pz = api_pass_z(api_source(data, g1, g2, method), rows_i, rows_j, g1, g2, n1, n2, method, alternative)
        counts += _exceeds(pz, z, alternative)
    return r1, r2, z, p, counts


def api_scores(data, rows_i, rows_j, first_columns, second_columns, method, alternative, permutations, score_of):
    """Scores in the API's statistics, score_of(z_diff of the pairs) per pass: (observed,
    exceedance counts over `permutations` passes)."""
    data = _f32(data)
    n1, n2 = len(first_columns), len(second_columns)
    passes = [(first_columns, second_columns)] + permutation_groups(data.shape[1], n1, n2, permutations)
    observed = counts = None
    for k, (g1, g2) in enumerate(passes):
        z = api_pass_z(api_source(data, g1, g2, method), rows_i, rows_j, g1, g2, n1, n2, method, "two-sided")
        values = _f32(score_of(z))
        if k == 0:
            observed, counts = values, np.zeros(len(values), np.int64)
        else:
            counts += _exceeds(values, observed, alternative)
    return observed, counts


# ---------------------------------------------------------------------------
# Permutation driver and pipelines
# ---------------------------------------------------------------------------


def _exceeds(x, o, alternative):
    """Where a permutation statistic is at least as extreme as the observed one."""
    with np.errstate(invalid="ignore"):
        if _is(alternative, "two-sided"):
            return np.abs(x) >= np.abs(o)
        if _is(alternative, "greater"):
            return x >= o
        if _is(alternative, "less"):
            return x <= o
    return np.zeros(len(o), dtype=bool)


def permutation_passes(data, first_columns, second_columns, method, alternative, permutations, pass_scorer):
    """Observed pass plus `permutations` shuffled passes: (observed, p-values).

    pass_scorer(source, group1, group2, observed_pass) returns the float32
    statistic per item.  For "spearman" the source is one rank buffer that each
    pass ranks over group 1 and then over group 2.
    """
    if permutations < 0:
        raise ValueError("negative permutation count")
    data = _f32(data)
    first_columns, second_columns = _i32(first_columns), _i32(second_columns)
    first_count, second_count = len(first_columns), len(second_columns)
    spearman = _is(method, "spearman")
    ranks = np.full(data.shape, np.nan, F32) if spearman else None
    shuffler = Shuffler(data.shape[1])
    observed = counts = None
    for r in range(permutations + 1):
        if r == 0:
            g1, g2 = first_columns, second_columns
        else:
            order = shuffler.shuffle()
            g1 = _i32(order[:first_count])
            g2 = _i32(order[first_count : first_count + second_count])
        source = data
        if spearman:
            rank_rows(data, g1, ranks)
            rank_rows(data, g2, ranks)
            source = ranks
        values = _f32(pass_scorer(source, g1, g2, r == 0))
        if r == 0:
            observed = values
            counts = np.zeros(len(values), F32)
        else:
            counts = np.where(_exceeds(values, observed, alternative), counts + F32(1), counts).astype(F32)
    if permutations > 0:
        counts = (counts / F32(permutations)).astype(F32)
    return observed, counts


def ztest_pipeline_indexed(
    data, first_rows, second_rows, first_columns, second_columns, method, alternative, permutations
):
    """(first_r, second_r, z_diff, p_value, permutation p-value) per listed pair."""
    second_rows = _i32(second_rows)
    pairs = len(second_rows)
    first_rows = _i32(first_rows)[:pairs]
    first_count, second_count = len(_i32(first_columns)), len(_i32(second_columns))
    kept = {}

    def scorer(source, g1, g2, observed_pass):
        r1 = pair_correlation(source, first_rows, second_rows, g1)
        r2 = pair_correlation(source, first_rows, second_rows, g2)
        z, p = fisher_difference(r1, first_count, r2, second_count, method, alternative, with_p=observed_pass)
        if observed_pass:
            kept.update(first_r=r1, second_r=r2, p_value=p)
        return z

    z_diff, perm_p = permutation_passes(data, first_columns, second_columns, method, alternative, permutations, scorer)
    return kept["first_r"], kept["second_r"], z_diff, kept["p_value"], perm_p


def ztest_pipeline_exhaustive(data, first_columns, second_columns, method, alternative, permutations):
    """The indexed z-test over all pairs of rows, in condensed pair order."""
    first_rows, second_rows = condensed_pairs(_f32(data).shape[0])
    return ztest_pipeline_indexed(
        data, first_rows, second_rows, first_columns, second_columns, method, alternative, permutations
    )


def score_pipeline_indexed(
    data, first_rows, second_rows, first_columns, second_columns, method, score, alternative, permutations
):
    """Set scores of the pair sets sharing a first row: (labels, observed, p-values).

    Sets are the label runs of first_rows; a set scores its pairs' z_diff by
    "mean" of absolute values or upper "median" (of absolute values exactly when
    alternative is "two-sided").
    """
    first_rows, second_rows = _i32(first_rows), _i32(second_rows)
    labels, starts, ends = label_runs(first_rows)
    if len(labels) == 0:
        raise RuntimeError("Process number error")
    first_count, second_count = len(_i32(first_columns)), len(_i32(second_columns))
    absolute = _is(alternative, "two-sided")
    in_sets = np.concatenate([np.arange(s, e) for s, e in zip(starts, ends)])
    rows_i, rows_j = first_rows[in_sets], second_rows[in_sets]

    def scorer(source, g1, g2, observed_pass):
        r1 = pair_correlation(source, rows_i, rows_j, g1)
        r2 = pair_correlation(source, rows_i, rows_j, g2)
        z_sets, _ = fisher_difference(r1, first_count, r2, second_count, method, "two-sided", with_p=False)
        z = np.full(len(first_rows), np.nan, F32)
        z[in_sets] = z_sets
        return [_set_score(z, range(s, e), score, absolute) for s, e in zip(starts, ends)]

    observed, p = permutation_passes(data, first_columns, second_columns, method, alternative, permutations, scorer)
    return labels, observed, p


def score_pipeline_exhaustive(data, first_columns, second_columns, method, score, alternative, permutations):
    """Score of each row over its pairs with all other rows: (observed, p-values)."""
    data = _f32(data)
    nrows = data.shape[0]
    if nrows == 0:
        raise RuntimeError("Process number error")
    first_rows, second_rows = condensed_pairs(nrows)
    first_count, second_count = len(_i32(first_columns)), len(_i32(second_columns))
    absolute = _is(alternative, "two-sided")

    def scorer(source, g1, g2, observed_pass):
        r1 = pair_correlation(source, first_rows, second_rows, g1)
        r2 = pair_correlation(source, first_rows, second_rows, g2)
        z, _ = fisher_difference(r1, first_count, r2, second_count, method, "two-sided", with_p=False)
        return row_scores(z, nrows, score, absolute)

    return permutation_passes(data, first_columns, second_columns, method, alternative, permutations, scorer)
