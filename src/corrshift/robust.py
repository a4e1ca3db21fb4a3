"""The robust p-values of the pair tests: adaptive permutation passes of the studentized
statistic, with a tail estimate beyond the cap (plain NumPy; the passes are native).

A pair's statistic T is the studentized difference of the two groups' Fisher z values (each
group's variance of r estimated from its own fourth moments; T equals ``z_diff / se`` on
normal data). Pairs whose asymptotic p-value of T is at most the screen get permutation
passes in the engine's fixed sequence; passes in which a permuted group leaves either row
constant are undefined for the pair and left out. A pair's p-value is then

* ``sequential``: ``stop_at / L`` when its count of passes at least as extreme reached
  `stop_at` after L defined passes (Besag and Clifford's sequential p-value);
* ``tail``: at the cap, the generalized Pareto tail fitted to its largest |T| (shape kept
  at 0 or above) when the fit passes the Anderson-Darling check, but never above
  ``(b + 1) / (L + 1)``;
* ``bound``: ``(b + 1) / (L + 1)`` where every fit is rejected or the tail is not below it;
* ``asymptotic``: the normal p-value of T for the pairs the screen leaves out (they are far
  from any discovery; see :func:`screen_of`).
"""

import math
from typing import Dict, Optional, Tuple

import numpy as np

#: Codes of how a p-value was obtained, and their labels (the p_how column).
ASYMPTOTIC, SEQUENTIAL, TAIL, BOUND, UNDEFINED = 0, 1, 2, 3, 4
HOW_LABELS = np.asarray(["asymptotic", "sequential", "tail", "bound", "undefined"], dtype=object)
#: Passes at least as extreme at which a pair stops (p = STOP_AT / L).
STOP_AT = 10
#: Permutation passes of a pair that does not stop.
CAP = 10000
#: Largest |T| a pair keeps for its tail: TAIL_EXCEEDANCES above the threshold, and one more.
TAIL_EXCEEDANCES = 250
KEEP = TAIL_EXCEEDANCES + 1
#: The tail is refitted with this many fewer exceedances after a rejected fit, down to
#: TAIL_FEWEST.
TAIL_STEP = 10
TAIL_FEWEST = 50
#: The largest screen (see screen_of).
SCREEN = 0.05


def screen_of(pairs: int) -> float:
    """The asymptotic p-value of T up to which a pair gets permutation passes:
    min(0.05, 500 / pairs). About 500 pairs pass it where nothing differs, whatever the
    number of pairs, so the first hundreds of entries of a table sorted by p_robust have
    permutation p-values, and Benjamini-Hochberg's cutoff stays below it unless about
    10,000 pairs are discoveries (then the engine widens it and runs again). Pairs near the
    screen stop after a few hundred passes (10 at least as extreme)."""
    return min(SCREEN, 500.0 / max(1, pairs))


def gpd_pwm(y: np.ndarray) -> Tuple[np.ndarray, np.ndarray]:
    """Probability-weighted-moment fit (Hosking and Wallis 1987) of the generalized Pareto
    distribution F(y) = 1 - (1 + xi y / sigma)^(-1/xi) to exceedances y (last axis, any
    order): (xi, sigma)."""
    y = np.sort(np.asarray(y, dtype=np.float64), axis=-1)
    m = y.shape[-1]
    weights = 1.0 - (np.arange(1, m + 1) - 0.35) / m
    a0 = y.mean(axis=-1)
    a1 = (weights * y).mean(axis=-1)
    d = a0 - 2 * a1
    with np.errstate(divide="ignore", invalid="ignore"):
        return 2 - a0 / d, 2 * a0 * a1 / d


def gpd_sf(y: np.ndarray, xi: np.ndarray, sigma: np.ndarray) -> np.ndarray:
    """Survival function of the generalized Pareto distribution (exponential at xi = 0)."""
    y = np.asarray(y, dtype=np.float64)
    xi = np.asarray(xi, dtype=np.float64)
    with np.errstate(divide="ignore", invalid="ignore", over="ignore"):
        small = np.abs(xi) < 1e-9
        base = 1 + xi * y / sigma
        power = np.where(base > 0, base ** (-1 / np.where(small, 1.0, xi)), 0.0)
        return np.where(small, np.exp(-y / sigma), power)


def anderson_darling(y: np.ndarray, xi: np.ndarray, sigma: np.ndarray) -> np.ndarray:
    """Anderson-Darling statistic A^2 of exceedances y (last axis) against the fitted GPD."""
    y = np.sort(np.asarray(y, dtype=np.float64), axis=-1)
    m = y.shape[-1]
    z = 1 - gpd_sf(y, np.asarray(xi)[..., None], np.asarray(sigma)[..., None])
    z = np.clip(z, 1e-300, 1 - 1e-16)
    i = np.arange(1, m + 1)
    return -m - ((2 * i - 1) * (np.log(z) + np.log(1 - z[..., ::-1]))).mean(axis=-1)


_CRITICAL: Dict[Tuple[float, int, float, int], float] = {}


def simulated_critical(grid: float, m: int, level: float = 0.05, reps: int = 4000) -> float:
    """The 1 - `level` quantile of A^2 over `reps` PWM-fitted GPD samples of size m and
    shape `grid`, drawn with a fixed seed."""
    uniform = np.random.default_rng(12345).random((reps, m))
    y = (uniform ** (-grid) - 1) / grid if abs(grid) > 1e-9 else -np.log(uniform)
    xs, ss = gpd_pwm(y)
    a2 = anderson_darling(y, xs, ss)
    return float(np.quantile(a2[np.isfinite(a2)], 1 - level))


def ad_critical(xi: float, m: int, level: float = 0.05, reps: int = 4000) -> float:
    """The 1 - `level` quantile of A^2 for PWM-fitted GPD samples of size m and shape xi
    (on a grid of 0.1 from -0.5 to 0.5): :func:`simulated_critical`, simulated once per
    grid point; those of the tail fits' sizes are stored in ``_critical_values.py``
    (``python -m corrshift.robust`` writes it; a test checks it against the simulation)."""
    grid = float(np.round(np.clip(np.round(xi * 10) / 10, -0.5, 0.5), 1))
    key = (grid, int(m), float(level), int(reps))
    if key not in _CRITICAL:
        if not _CRITICAL:
            from ._critical_values import CRITICAL

            _CRITICAL.update(CRITICAL)
        if key not in _CRITICAL:
            _CRITICAL[key] = simulated_critical(grid, int(m), level, reps)
    return _CRITICAL[key]


def _write_critical_values(path: str) -> None:
    """Write the critical values of every grid point and tail size that tail_p uses."""
    lines = [
        '"""Critical values of the Anderson-Darling check of the tail fits, made by',
        "``python -m corrshift.robust`` (:func:`corrshift.robust.simulated_critical`: level",
        '0.05, 4000 samples): (shape grid, size, level, samples) -> critical value."""',
        "",
        "from typing import Dict, Tuple",
        "",
        "CRITICAL: Dict[Tuple[float, int, float, int], float] = {",
    ]
    for tenths in range(-5, 6):
        grid = float(np.round(tenths / 10, 1))
        for m in range(TAIL_FEWEST, TAIL_EXCEEDANCES + 1, TAIL_STEP):
            lines.append("    ({!r}, {}, 0.05, 4000): {!r},".format(grid, m, simulated_critical(grid, m)))
    lines.append("}")
    with open(path, "w", encoding="utf-8") as out:
        out.write("\n".join(lines) + "\n")


def tail_p(top: np.ndarray, defined: int, t_obs: float, start: int = TAIL_EXCEEDANCES) -> Optional[float]:
    """P(|T| >= |t_obs|) estimated from one pair's largest |T| `top` (descending, NaN
    padded) of its `defined` passes: the exceedances over the threshold halfway between the
    k-th and (k+1)-th largest (k = 250, lowered by 10 down to 50 while the Anderson-Darling
    check rejects the fit), a PWM-fitted generalized Pareto tail with its shape kept at 0
    or above (a fitted negative shape, a bounded tail, is replaced by the exponential tail
    with the exceedances' mean as scale: bounded fits were wrong by orders of magnitude
    beyond the passes on real null pairs). None when every fit is rejected. `start` is the
    first k tried."""
    t = abs(float(t_obs))
    top = np.asarray(top, dtype=np.float64)
    top = top[np.isfinite(top)]
    k = min(start, top.size - 1)
    while k >= TAIL_FEWEST:
        u = 0.5 * (top[k - 1] + top[k])
        y = top[:k] - u
        xi, sigma = gpd_pwm(y)
        if np.isfinite(xi) and sigma > 0 and anderson_darling(y, xi, sigma) <= ad_critical(float(xi), k):
            if xi < 0:
                xi, sigma = 0.0, float(y.mean())
            return k / defined * float(gpd_sf(t - u, xi, sigma))
        k -= TAIL_STEP
    return None


def first_tail_fits(top: np.ndarray, defined: np.ndarray, t_obs: np.ndarray) -> Tuple[np.ndarray, np.ndarray]:
    """:func:`tail_p`'s first fit (k = TAIL_EXCEEDANCES) for pairs whose `top` rows (one a
    pair) are all finite, at once: (estimate, accepted), the estimate made with the same
    operations as tail_p on each row where the fit is accepted (where it is rejected,
    tail_p then tries fewer exceedances). Each value depends on its own row alone, so not
    on which pairs share a task; NumPy 1.x may give power on an array and on a scalar
    different last bits."""
    k = TAIL_EXCEEDANCES
    out = np.full(top.shape[0], np.nan)
    taken = np.zeros(top.shape[0], dtype=bool)
    if top.shape[0] == 0:
        return out, taken
    u = 0.5 * (top[:, k - 1] + top[:, k])
    y = top[:, :k] - u[:, None]
    xi, sigma = gpd_pwm(y)
    fitted = np.flatnonzero(np.isfinite(xi) & (sigma > 0))
    if fitted.size == 0:
        return out, taken
    a2 = anderson_darling(y[fitted], xi[fitted], sigma[fitted])
    critical = np.array([ad_critical(float(x), k) for x in xi[fitted].tolist()])
    accepted = fitted[a2 <= critical]
    xi, sigma = xi[accepted], sigma[accepted]
    for n in np.flatnonzero(xi < 0).tolist():  # the exponential tail, scaled by the mean
        xi[n], sigma[n] = 0.0, float(y[accepted[n]].mean())
    t = np.abs(np.asarray(t_obs, dtype=np.float64)[accepted])
    out[accepted] = k / np.asarray(defined, dtype=np.float64)[accepted] * gpd_sf(t - u[accepted], xi, sigma)
    taken[accepted] = True
    return out, taken


def smallest_p(n1: int, n2: int) -> float:
    """The smallest p-value a permutation test of groups of n1 and n2 samples can have: one
    split of C(n1 + n2, n1) (at least the smallest positive double)."""
    tiny = float(np.finfo(np.float64).tiny)
    try:
        return max(1.0 / math.comb(n1 + n2, n1), tiny)
    except OverflowError:  # more splits than a double holds
        return tiny


def pass_pvalues(
    t_obs: np.ndarray,
    counts: np.ndarray,
    defined: np.ndarray,
    top: np.ndarray,
    smallest: float,
    stop_at: int = STOP_AT,
) -> Tuple[np.ndarray, np.ndarray]:
    """The p-values of pairs that ran their passes (to the stop or to the cap), and how
    each was obtained (SEQUENTIAL, TAIL, BOUND; UNDEFINED where the observed T or every
    pass is undefined: p is NaN). A tail estimate is never below `smallest`
    (:func:`smallest_p`): beyond the observed split there is no more extreme one to count."""
    counts = np.asarray(counts, dtype=np.int64)
    defined = np.asarray(defined, dtype=np.int64)
    p = np.full(counts.shape, np.nan)
    how = np.full(counts.shape, UNDEFINED, dtype=np.int8)
    usable = np.isfinite(t_obs) & (defined > 0)
    stopped = usable & (counts >= stop_at)
    p[stopped] = counts[stopped] / defined[stopped]
    how[stopped] = SEQUENTIAL
    capped = np.flatnonzero(usable & ~stopped)
    bound = (counts[capped] + 1) / (defined[capped] + 1)
    p[capped], how[capped] = bound, BOUND
    full = capped[np.isfinite(top[capped]).all(axis=1)] if capped.size else capped
    estimates, accepted = first_tail_fits(top[full], defined[full], t_obs[full])
    first = dict(zip(full.tolist(), zip(estimates.tolist(), accepted.tolist())))
    for k, b in zip(capped.tolist(), bound.tolist()):
        estimate: Optional[float]
        if k in first and first[k][1]:
            estimate = first[k][0]
        else:  # not fitted together (NaN in its passes), or that fit rejected: fewer exceedances
            estimate = tail_p(top[k], int(defined[k]), float(t_obs[k]), TAIL_EXCEEDANCES - TAIL_STEP * (k in first))
        if estimate is not None and max(estimate, smallest) < b:
            p[k], how[k] = max(estimate, smallest), TAIL
    return p, how


if __name__ == "__main__":
    import os

    _write_critical_values(os.path.join(os.path.dirname(os.path.abspath(__file__)), "_critical_values.py"))
