"""Plain NumPy/SciPy reference of the candidate significance methods for differential
correlation that bench/calibration.py measures: the studentized statistic and its
permutation test, the plain permutation test with undefined passes left out, adaptive
passes (sequential stopping, a cap, a generalized Pareto tail), and a screen.

Everything here is written for clarity, not speed, so that an implementation can be tested
against it. Conventions (see the design notes that come with the benchmark):

* Within each group every row is standardised with divisor n (mean 0, mean square 1); for
  Spearman the row is first replaced by its average ranks within the group (ties share
  their mean rank), in the observed and in every permutation pass.
* r = mean(u v) over the group's samples.
* tau^2 = mean(w^2) with w = u v - (r/2)(u^2 + v^2): the plug-in estimate of the asymptotic
  variance of sqrt(n)(r - rho) from the group's own standardized moments; expanded it is
  (1 + r^2/2) m22 - r (m31 + m13) + (r^2/4)(m40 + m04), which is (1 - r^2)^2 for normal data.
* Studentized z-scale statistic: T = (atanh r1 - atanh r2) / sqrt(v1/(n1-3) + v2/(n2-3)),
  v = tau^2 / (1 - r^2)^2, each r clamped to [-R_CLAMP, R_CLAMP]. Under normality v = 1 and
  T is today's z_diff / se.
* A permutation pass re-splits the samples of the two groups (sizes kept); a pass in which a
  permuted group leaves either row of a pair constant is undefined for that pair and is
  left out of its count and of its number of passes.
"""

import math

import numpy as np
from scipy import special, stats

R_CLAMP_Z = 0.99  # today's clamp of the Fisher difference
R_CLAMP_T = 0.9999  # the studentized statistic's clamp (keeps 1 - r^2 > 0)
TIE_TOL = 1e-9  # relative tolerance of "at least as extreme" (float noise of equal splits)
STATISTICS = ("z", "tz", "tr", "tzf")  # plain Fisher difference, studentized z scale, r scale, z scale floored
V_FLOOR = 0.5  # "tzf": each group's v = tau^2/(1 - r^2)^2 is at least V_FLOOR


# --------------------------------------------------------------------------- preparation
def ranks(a):
    """Average ranks along the last axis."""
    return stats.rankdata(a, axis=-1, method="average")


def standardize(a, method):
    """Rows (last axis) of `a` standardised with divisor n, ranks first for Spearman.
    Returns (u, ok): ok is False where the row is constant (sd at most 2^-22 of its largest
    magnitude, the API's rule), and u is 0 there."""
    a = np.asarray(a, dtype=np.float64)
    if method == "spearman":
        a = ranks(a)
    mean = a.mean(axis=-1, keepdims=True)
    c = a - mean
    var = (c * c).mean(axis=-1)
    big = np.abs(a).max(axis=-1)
    ok = var > (2.0**-22 * big) ** 2
    ok &= var > 0
    sd = np.sqrt(np.where(ok, var, 1.0))
    u = c / sd[..., None]
    u[~ok] = 0.0
    return u, ok


def nonzero_counts(x, cols):
    return (np.asarray(x)[:, cols] != 0).sum(axis=1)


# --------------------------------------------------------------------------- statistics
def fisher_diff(r1, r2, clamp=R_CLAMP_Z):
    return np.arctanh(np.clip(r1, -clamp, clamp)) - np.arctanh(np.clip(r2, -clamp, clamp))


def studentized(r1, t1, n1, r2, t2, n2, scale="tz"):
    """The studentized statistic from each group's r and tau^2."""
    with np.errstate(divide="ignore", invalid="ignore"):
        if scale in ("tz", "tzf"):
            c1 = np.clip(r1, -R_CLAMP_T, R_CLAMP_T)
            c2 = np.clip(r2, -R_CLAMP_T, R_CLAMP_T)
            v1 = t1 / (1 - c1 * c1) ** 2
            v2 = t2 / (1 - c2 * c2) ** 2
            if scale == "tzf":
                v1 = np.maximum(v1, V_FLOOR)
                v2 = np.maximum(v2, V_FLOOR)
            return (np.arctanh(c1) - np.arctanh(c2)) / np.sqrt(v1 / (n1 - 3) + v2 / (n2 - 3))
        return (r1 - r2) / np.sqrt(t1 / n1 + t2 / n2)


def statistic(kind, r1, t1, n1, r2, t2, n2):
    if kind == "z":
        return fisher_diff(r1, r2)
    return studentized(r1, t1, n1, r2, t2, n2, kind)


def normal_se(n1, n2, method):
    f = 1.06 if method == "spearman" else 1.0
    return math.sqrt(f / (n1 - 3) + f / (n2 - 3))


def two_sided_normal_p(z):
    return special.erfc(np.abs(z) / math.sqrt(2.0))


def group_moments_all_pairs(u):
    """r and tau^2 of every pair of rows of u (rows x samples, standardised): full matrices."""
    n = u.shape[1]
    r = u @ u.T / n
    u2 = u * u
    m22 = u2 @ u2.T / n
    a31 = (u2 * u) @ u.T / n  # a31[i, j] = mean(u_i^3 u_j)
    m40 = (u2 * u2).mean(axis=1)
    tau2 = (1 + r * r / 2) * m22 - r * (a31 + a31.T) + (r * r / 4) * (m40[:, None] + m40[None, :])
    return r, np.maximum(tau2, 0.0)


def all_pairs(x, g1, g2, method="pearson", min_cells=None):
    """Observed statistics of every pair of rows of x (rows x samples) between the columns
    g1 and g2. Rows constant in a group, or non-zero in fewer than `min_cells` samples of a
    group (a count, or a fraction of the group when below 1), are left out.
    Returns a dict of condensed arrays over the kept rows' pairs (i < j) and 'rows'."""
    x = np.asarray(x, dtype=np.float64)
    n1, n2 = len(g1), len(g2)
    u1, ok1 = standardize(x[:, g1], method)
    u2, ok2 = standardize(x[:, g2], method)
    keep = ok1 & ok2
    if min_cells is not None:
        c1 = nonzero_counts(x, g1)
        c2 = nonzero_counts(x, g2)
        k1 = min_cells * n1 if min_cells < 1 else min_cells
        k2 = min_cells * n2 if min_cells < 1 else min_cells
        keep &= (c1 >= k1) & (c2 >= k2)
    rows = np.flatnonzero(keep)
    u1, u2 = u1[rows], u2[rows]
    iu = np.triu_indices(len(rows), 1)
    r1m, t1m = group_moments_all_pairs(u1)
    r2m, t2m = group_moments_all_pairs(u2)
    out = {"rows": rows, "i": rows[iu[0]], "j": rows[iu[1]], "n1": n1, "n2": n2}
    out["r1"] = np.clip(r1m[iu], -1, 1)
    out["r2"] = np.clip(r2m[iu], -1, 1)
    out["tau1"] = t1m[iu]
    out["tau2"] = t2m[iu]
    del r1m, t1m, r2m, t2m
    out["z"] = fisher_diff(out["r1"], out["r2"])
    out["p_norm"] = two_sided_normal_p(out["z"] / normal_se(n1, n2, method))
    for kind in ("tz", "tr", "tzf"):
        t = studentized(out["r1"], out["tau1"], n1, out["r2"], out["tau2"], n2, kind)
        out[kind] = t
        p = two_sided_normal_p(t)
        p[~np.isfinite(t) & ~np.isnan(t)] = 0.0
        out["p_" + kind] = p
    return out


def bh(p):
    """Benjamini-Hochberg q-values (NaN stays NaN)."""
    p = np.asarray(p, dtype=np.float64)
    q = np.full(p.shape, np.nan)
    ok = np.flatnonzero(~np.isnan(p))
    m = ok.size
    if m == 0:
        return q
    order = ok[np.argsort(p[ok], kind="stable")]
    ranked = p[order] * m / np.arange(1, m + 1)
    ranked = np.minimum.accumulate(ranked[::-1])[::-1]
    q[order] = np.minimum(ranked, 1.0)
    return q


# --------------------------------------------------------------------------- passes
class Passes:
    """The fixed sequence of permutation passes of n samples, the first n1 of each pass forming
    group 1. Pass k (k >= 1) is the same whatever range it is asked in: passes come in blocks
    of BLOCK, each from its own seeded generator. Pass 0 is the observed split."""

    BLOCK = 4096

    def __init__(self, n, n1, seed=20261209):
        self.n, self.n1, self.seed = n, n1, seed
        self._cache = {}

    def _block(self, b):
        if b not in self._cache:
            if len(self._cache) > 8:
                self._cache.clear()
            rng = np.random.default_rng([self.seed, b])
            base = np.tile(np.arange(self.n, dtype=np.int32), (self.BLOCK, 1))
            self._cache[b] = rng.permuted(base, axis=1)
        return self._cache[b]

    def get(self, start, stop):
        """Permutations of passes start..stop-1 (start >= 1), shape (stop - start, n)."""
        parts = []
        k = start
        while k < stop:
            b, off = divmod(k - 1, self.BLOCK)
            take = min(stop - k, self.BLOCK - off)
            parts.append(self._block(b)[off : off + take])
            k += take
        return np.concatenate(parts) if len(parts) > 1 else parts[0]


def pass_statistics(y, a, b, perms, n1, method, kind):
    """Statistic `kind` of pairs (a[k], b[k]) (rows of y, samples of both groups, group 1
    first) in each pass of `perms` (C x n). Returns (K x C) with NaN for undefined passes."""
    rows, inv = np.unique(np.concatenate([a, b]), return_inverse=True)
    ia, ib = inv[: a.size], inv[a.size :]
    v = y[rows][:, perms]  # R x C x n
    n2 = perms.shape[1] - n1
    res = []
    for part, n in ((v[..., :n1], n1), (v[..., n1:], n2)):
        u, ok = standardize(part, method)
        ua, ub = u[ia], u[ib]
        prod = ua * ub
        r = prod.mean(axis=-1)
        if kind == "z":
            tau = None
        else:
            w = prod - (r[..., None] / 2) * (ua * ua + ub * ub)
            tau = (w * w).mean(axis=-1)
        res.append((np.clip(r, -1, 1), tau, ok[ia] & ok[ib]))
    (r1, t1, ok1), (r2, t2, ok2) = res
    s = statistic(kind, r1, t1, n1, r2, t2, n2)
    s = np.where(ok1 & ok2, s, np.nan)
    return s


def pass_statistics_sums(y, a, b, perms, n1, kind):
    """Pearson only: the same as pass_statistics, from each group's power sums of the rows
    (x, x^2, x^3, x^4) and of the pairs (xy, x^2 y, x y^2, x^3 y, x y^3, x^2 y^2), the sums
    a kernel would accumulate; group 2's sums are the totals less group 1's. The rows are
    first standardised over both groups, so that the group means stay near 0."""
    rows, inv = np.unique(np.concatenate([a, b]), return_inverse=True)
    ia, ib = inv[: a.size], inv[a.size :]
    x, _ = standardize(y[rows], "pearson")  # R x n, over both groups
    n = y.shape[1]
    n2 = n - n1
    member = np.zeros(perms.shape, dtype=np.float64)
    np.put_along_axis(member, perms[:, :n1], 1.0, axis=1)  # C x n: 1 for group 1
    pw = [x, x * x, x * x * x, (x * x) * (x * x)]
    xa, xb = x[ia], x[ib]
    pp = [xa * xb, pw[1][ia] * xb, xa * pw[1][ib], pw[2][ia] * xb, xa * pw[2][ib], pw[1][ia] * pw[1][ib]]
    row1 = [member @ q.T for q in pw]  # C x R each
    pair1 = [member @ q.T for q in pp]  # C x K each
    rowt = [q.sum(axis=1) for q in pw]
    pairt = [q.sum(axis=1) for q in pp]
    res = []
    for g, ng in ((1, n1), (2, n2)):
        if g == 1:
            R_, P_ = row1, pair1
        else:
            R_ = [t[None, :] - s for t, s in zip(rowt, row1)]
            P_ = [t[None, :] - s for t, s in zip(pairt, pair1)]
        ex = [s / ng for s in R_]
        ep = [s / ng for s in P_]
        A, Bm = ex[0][:, ia], ex[0][:, ib]
        xx, yy = ex[1][:, ia], ex[1][:, ib]
        cxx = xx - A * A
        cyy = yy - Bm * Bm
        ok = (cxx > 1e-12 * xx) & (cyy > 1e-12 * yy) & (cxx > 0) & (cyy > 0)
        cxx = np.where(ok, cxx, 1.0)
        cyy = np.where(ok, cyy, 1.0)
        exy, ex2y, exy2, ex3y, exy3, ex2y2 = ep
        cxy = exy - A * Bm
        r = np.clip(cxy / np.sqrt(cxx * cyy), -1, 1)
        if kind == "z":
            tau = None
        else:
            x3, y3 = ex[2][:, ia], ex[2][:, ib]
            x4, y4 = ex[3][:, ia], ex[3][:, ib]
            m22 = (
                ex2y2
                - 2 * Bm * ex2y
                - 2 * A * exy2
                + Bm * Bm * xx
                + A * A * yy
                + 4 * A * Bm * exy
                - 3 * A * A * Bm * Bm
            ) / (cxx * cyy)
            m31 = (ex3y - Bm * x3 - 3 * A * ex2y + 3 * A * Bm * xx + 3 * A * A * exy - 3 * A**3 * Bm) / (
                cxx * np.sqrt(cxx * cyy)
            )
            m13 = (exy3 - A * y3 - 3 * Bm * exy2 + 3 * A * Bm * yy + 3 * Bm * Bm * exy - 3 * Bm**3 * A) / (
                cyy * np.sqrt(cxx * cyy)
            )
            m40 = (x4 - 4 * A * x3 + 6 * A * A * xx - 3 * A**4) / (cxx * cxx)
            m04 = (y4 - 4 * Bm * y3 + 6 * Bm * Bm * yy - 3 * Bm**4) / (cyy * cyy)
            tau = np.maximum((1 + r * r / 2) * m22 - r * (m31 + m13) + (r * r / 4) * (m40 + m04), 0.0)
        res.append((r, tau, ok))
    (r1, t1, ok1), (r2, t2, ok2) = res
    s = statistic(kind, r1, t1, n1, r2, t2, n2)
    return np.where(ok1 & ok2, s, np.nan).T


def observed_statistic(y, a, b, n1, method, kind):
    n = y.shape[1]
    return pass_statistics(y, a, b, np.arange(n)[None, :], n1, method, kind)[:, 0]


def permutation_p(
    y,
    a,
    b,
    n1,
    method,
    kind,
    passes,
    cap=10000,
    stop_at=10,
    keep_top=0,
    max_elements=6_000_000,
    t_obs=None,
    use_sums=True,
):
    """Two-sided permutation p-values of pairs (a, b) with adaptive passes.

    Passes run in the fixed sequence; undefined passes are left out. A pair stops at the
    pass where its count of passes at least as extreme as the observed one reaches
    `stop_at` (p = stop_at / L, L its defined passes so far: Besag and Clifford's
    sequential p-value); otherwise it runs `cap` passes and p = (b + 1) / (L + 1).
    stop_at=None runs every pair to the cap. keep_top > 0 keeps each pair's largest |T|
    of its defined passes (for the tail fit) in the result's 'top' (K x keep_top, descending).

    Returns a dict: p, b, L (defined passes), tried (passes run), stopped (bool), t_obs, top.
    """
    a = np.asarray(a)
    b_ = np.asarray(b)
    K = a.size
    if t_obs is None:
        t_obs = observed_statistic(y, a, b_, n1, method, kind)
    thr = np.abs(t_obs) * (1 - TIE_TOL)
    count = np.zeros(K, np.int64)
    defined = np.zeros(K, np.int64)
    tried = np.zeros(K, np.int64)
    stopped = np.zeros(K, bool)
    done = ~np.isfinite(t_obs)
    top = np.full((K, keep_top), -np.inf) if keep_top else None
    sumsq = np.zeros(K)
    n = y.shape[1]
    start = 1
    chunk = 64
    while True:
        active = np.flatnonzero(~done)
        if active.size == 0 or start > cap:
            break
        per_pass = active.size * (12 if method == "pearson" and use_sums else n)
        c = int(max(1, min(chunk, max_elements // max(per_pass, 1), cap - start + 1)))
        perms = passes.get(start, start + c)
        if method == "pearson" and use_sums:
            s = np.abs(pass_statistics_sums(y, a[active], b_[active], perms, n1, kind))
        else:
            s = np.abs(pass_statistics(y, a[active], b_[active], perms, n1, method, kind))
        dfn = ~np.isnan(s)
        exc = dfn & (s >= thr[active, None])
        sumsq[active] += np.where(dfn, s * s, 0.0).sum(axis=1)
        if stop_at is not None:
            cb = np.cumsum(exc, axis=1) + count[active, None]
            cl = np.cumsum(dfn, axis=1) + defined[active, None]
            hit = cb >= stop_at
            any_hit = hit.any(axis=1)
            first = np.argmax(hit, axis=1)
            idx = np.arange(active.size)
            count[active] = np.where(any_hit, stop_at, cb[:, -1])
            defined[active] = np.where(any_hit, cl[idx, first], cl[:, -1])
            tried[active] += np.where(any_hit, first + 1, c)
            stopped[active[any_hit]] = True
            done[active[any_hit]] = True
        else:
            count[active] += exc.sum(axis=1)
            defined[active] += dfn.sum(axis=1)
            tried[active] += c
        if keep_top:
            s2 = np.where(dfn, s, -np.inf)
            both = np.concatenate([top[active], s2], axis=1)
            if both.shape[1] > keep_top:
                both = -np.partition(-both, keep_top - 1, axis=1)[:, :keep_top]
            top[active] = both
        start += c
        chunk = min(chunk * 2, 8192)
    p = np.where(stopped, count / np.maximum(defined, 1), (count + 1) / (defined + 1))
    p = np.where(np.isfinite(t_obs), p, np.nan)
    if keep_top:
        top = -np.sort(-top, axis=1)
    return {
        "p": p,
        "b": count,
        "L": defined,
        "tried": tried,
        "stopped": stopped,
        "t_obs": t_obs,
        "top": top,
        "rms": np.sqrt(sumsq / np.maximum(defined, 1)),
    }


# --------------------------------------------------------------------------- tail fit
def gpd_pwm(y):
    """Probability-weighted-moment fit (Hosking and Wallis 1987) of a generalized Pareto
    distribution F(y) = 1 - (1 + xi y / sigma)^(-1/xi) to exceedances y (last axis, any
    order). Returns (xi, sigma)."""
    y = np.sort(y, axis=-1)
    m = y.shape[-1]
    pp = (np.arange(1, m + 1) - 0.35) / m
    a0 = y.mean(axis=-1)
    a1 = ((1 - pp) * y).mean(axis=-1)
    d = a0 - 2 * a1
    xi = 2 - a0 / d
    sigma = 2 * a0 * a1 / d
    return xi, sigma


def gpd_sf(y, xi, sigma):
    y = np.asarray(y, dtype=np.float64)
    with np.errstate(divide="ignore", invalid="ignore", over="ignore"):
        small = np.abs(xi) < 1e-9
        base = 1 + xi * y / sigma
        sf = np.where(small, np.exp(-y / sigma), np.where(base > 0, base ** (-1 / np.where(small, 1, xi)), 0.0))
    return sf


def anderson_darling(y, xi, sigma):
    y = np.sort(y, axis=-1)
    m = y.shape[-1]
    z = 1 - gpd_sf(y, np.asarray(xi)[..., None], np.asarray(sigma)[..., None])
    z = np.clip(z, 1e-300, 1 - 1e-16)
    i = np.arange(1, m + 1)
    return -m - ((2 * i - 1) * (np.log(z) + np.log(1 - z[..., ::-1]))).mean(axis=-1)


_AD_TABLE = {}


def ad_critical(xi, m, level=0.05, reps=4000):
    """Critical value of the Anderson-Darling statistic of a PWM-fitted GPD sample of size m
    and shape xi, by simulation (cached on a grid of xi)."""
    grid = np.round(np.clip(np.round(xi * 10) / 10, -0.5, 0.5), 1)
    key = (float(grid), int(m), level)
    if key not in _AD_TABLE:
        rng = np.random.default_rng(12345)
        uu = rng.random((reps, m))
        g = float(grid)
        y = (uu ** (-g) - 1) / g if abs(g) > 1e-9 else -np.log(uu)
        xs, ss = gpd_pwm(y)
        a2 = anderson_darling(y, xs, ss)
        _AD_TABLE[key] = float(np.quantile(a2[np.isfinite(a2)], 1 - level))
    return _AD_TABLE[key]


def gpd_tail_p(top, n_defined, t_obs, n_exc=250, step=10, min_exc=50, exp_floor=True, shape="nonneg"):
    """Tail estimate of P(|T| >= |t_obs|) from one pair's largest null statistics `top`
    (descending) out of n_defined passes: exceedances over the threshold halfway between the
    n_exc-th and (n_exc+1)-th largest, a PWM-fitted GPD, and an Anderson-Darling check;
    n_exc is lowered by `step` until the fit is accepted (at least min_exc).
    shape="nonneg" extrapolates with max(xi, 0): a fitted negative shape (a bounded, lighter
    than exponential tail) is replaced by the exponential tail fitted to the same exceedances
    (scale = their mean); shape="free" keeps the fitted shape, and then exp_floor replaces
    only a fit whose upper end lies below t_obs. Returns (p, n_exc used) or (None, 0)."""
    t = abs(t_obs)
    top = top[np.isfinite(top)]
    k = min(n_exc, top.size - 1)
    while k >= min_exc:
        u = 0.5 * (top[k - 1] + top[k])
        y = top[:k] - u
        xi, sigma = gpd_pwm(y)
        if np.isfinite(xi) and sigma > 0 and anderson_darling(y, xi, sigma) <= ad_critical(xi, k):
            if (shape == "nonneg" and xi < 0) or (exp_floor and xi < 0 and u + sigma / -xi <= t):
                xi, sigma = 0.0, float(y.mean())
            p = k / n_defined * float(gpd_sf(t - u, xi, sigma))
            return p, k
        k -= step
    return None, 0


def brute_force_p(y, a, b, n1, method, kind, passes, want_exceed=20, max_passes=10**8, chunk=20000, t_obs=None):
    """One pair's permutation p-value with passes run until `want_exceed` passes at least as
    extreme are seen (or max_passes). Returns (p, b, L)."""
    y2 = y[[a, b]]
    if t_obs is None:
        t_obs = observed_statistic(y2, np.array([0]), np.array([1]), n1, method, kind)[0]
    thr = abs(t_obs) * (1 - TIE_TOL)
    cnt = dfn = 0
    start = 1
    while cnt < want_exceed and start <= max_passes:
        c = min(chunk, max_passes - start + 1)
        perms = passes.get(start, start + c)
        if method == "pearson":
            s = np.abs(pass_statistics_sums(y2, np.array([0]), np.array([1]), perms, n1, kind)[0])
        else:
            s = np.abs(pass_statistics(y2, np.array([0]), np.array([1]), perms, n1, method, kind)[0])
        ok = ~np.isnan(s)
        cnt += int((s[ok] >= thr).sum())
        dfn += int(ok.sum())
        start += c
    return (cnt + 1) / (dfn + 1), cnt, dfn
