"""Calibration of the pair tests' significance on real data: null splits, planted signals and
real comparisons checked pair by pair.

Run: .venv-3.13/bin/python bench/calibration.py [--quick] [--only null,planted,real,tail,cap]
[--screen 1e-5] (needs scanpy for pbmc68k_reduced, which scanpy ships and loads without a
download). On this 2-core machine shared with others (load 3-7): null section 35 minutes
with --screen 1e-5, the leukemia real comparisons 10 minutes, the whole default run over an
hour; --quick about 20 minutes, --quick --only tail about a minute. The reference code is
NumPy, 2e5-4e5 pair-passes a second here; a C++ pass is hundreds of times faster.
Writes bench/results/calibration[-quick].md (or --out) and prints the same tables.

A significance method is a function `fn(case) -> (p, how)` over all pairs of the case's
rows (`case.obs["i"]`, `case.obs["j"]`, the rows kept), or a function that returns the pairs
at q <= 0.05 directly (today's API columns). Discoveries are pairs with BH q <= 0.05 over
all pairs tested.

* Null splits: one group of samples split at random into two halves, where nothing differs:
  the bundled leukemia data's 42 NEG samples (21 + 21) and 37 BCR/ABL samples (18 + 19),
  and the cell types Dendritic (120 + 120) and CD14+ Monocyte (64 + 65) of scanpy's
  pbmc68k_reduced (.raw, log-normalised), with and without a minimum of non-zero cells per
  gene and group. Per split: the discoveries; reported: their mean and the share of splits
  with any.
* Planted signals: 40 pairs of rows of a NEG 21 + 21 split are given the correlations
  (r1, r2) exactly, keeping one row as it is and building the other from it and a second
  real row (orthogonalised), rescaled to the row's own mean and spread in each group; the
  rows come from light-tailed rows (no sample beyond 3.5 robust sd in either group) or
  from heavy-tailed rows (a sample beyond 6 robust sd). Power: planted pairs found;
  false discovery proportion: discoveries that involve no planted row, over all.
* Real comparisons: BCR/ABL vs NEG; pbmc68k_reduced cell types against each other and G1
  against S within cell types. The pairs each method reports are checked by an independent
  permutation test of that pair alone (plain NumPy, its own generator, the same statistic).
"""

import argparse
import os
import sys
import time
import warnings

import numpy as np

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import robust_reference as R  # noqa: E402

import corrshift  # noqa: E402

ALPHA = 0.05
HOW = {0: "asymptotic", 1: "passes", 2: "sequential", 3: "tail", 4: "bound"}


# --------------------------------------------------------------------------- data
class Data:
    def __init__(self, name, x, labels, names):
        self.name, self.x, self.labels, self.names = name, np.asarray(x, np.float64), labels, np.asarray(names)


def leukemia():
    ex = corrshift.load_example()
    return Data("leukemia", ex.expression, {"mol_biol": np.asarray(ex.mol_biol)}, ex.probes)


def pbmc():
    import scanpy as sc

    ad = sc.datasets.pbmc68k_reduced()
    x = ad.raw.X
    x = x.toarray() if hasattr(x, "toarray") else np.asarray(x)
    return Data(
        "pbmc68k_reduced",
        x.T,
        {"bulk_labels": np.asarray(ad.obs["bulk_labels"]), "phase": np.asarray(ad.obs["phase"])},
        ad.raw.var_names,
    )


class Case:
    """A comparison: data, two groups of columns, a method, an optional minimum of non-zero
    samples per row and group. Holds the observed statistics of all pairs (`obs`) and the
    rows of both groups (group 1 first) for the passes (`y`)."""

    def __init__(self, data, g1, g2, method="pearson", min_cells=None, x=None):
        self.data, self.g1, self.g2, self.method, self.min_cells = (
            data,
            np.asarray(g1),
            np.asarray(g2),
            method,
            min_cells,
        )
        self.x = data.x if x is None else x
        self.obs = R.all_pairs(self.x, self.g1, self.g2, method, min_cells)
        self.y = self.x[:, np.r_[self.g1, self.g2]]
        self.n1, self.n2 = len(g1), len(g2)
        self.m = self.obs["r1"].size
        self.passes = R.Passes(self.n1 + self.n2, self.n1)

    def key(self):
        return self.obs["i"].astype(np.int64) * self.x.shape[0] + self.obs["j"]


# --------------------------------------------------------------------------- methods
def normal_theory(case):
    return case.obs["p_norm"], np.zeros(case.m, np.int8)


def studentized_asymptotic(case):
    return case.obs["p_tz"], np.zeros(case.m, np.int8)


def tail_p(res, k, n_exc=250, shape="hybrid"):
    """Tail estimate of one capped pair of a permutation_p result: "nonneg" (GPD, shape >= 0),
    "free" (GPD, free shape), "normal" (a normal law with the passes' root mean square), or
    "hybrid": the larger of "free" and "normal" (None where the GPD fit is rejected)."""
    if shape in ("nonneg", "free"):
        return R.gpd_tail_p(res["top"][k], res["L"][k], res["t_obs"][k], n_exc=n_exc, shape=shape, exp_floor=False)[0]
    pn = float(R.two_sided_normal_p(res["t_obs"][k] / max(res["rms"][k], 1e-12)))
    if shape == "normal":
        return pn
    pf, _ = R.gpd_tail_p(res["top"][k], res["L"][k], res["t_obs"][k], n_exc=n_exc, shape="free", exp_floor=False)
    return None if pf is None else max(pf, pn)


def screened_permutation(kind="tz", screen=1e-4, cap=10000, stop_at=10, tail=True, n_exc=250, shape="hybrid"):
    """Pairs whose asymptotic p (normal theory for 'z', studentized for 'tz') is at most
    `screen` get adaptive passes of statistic `kind`; the others keep the asymptotic p."""
    col = "p_norm" if kind == "z" else "p_" + kind

    def fn(case):
        s_ = screen
        while True:
            p, how = one(case, s_)
            q = R.bh(p)
            if not np.any((q <= ALPHA) & (how == 0)) or s_ >= 1:
                return p, how
            s_ = min(1.0, s_ * 10)  # BH's cutoff reached the screen: screen wider, pass again
            case.screen_raised = s_

    def one(case, screen):
        p = case.obs[col].copy()
        how = np.zeros(case.m, np.int8)
        sel = np.flatnonzero(p <= screen)
        if sel.size == 0:
            return p, how
        cache = case.__dict__.setdefault("perm_cache", {})
        ck = (kind, screen, cap, stop_at, n_exc if tail else 0)
        if ck not in cache:
            cache[ck] = R.permutation_p(
                case.y,
                case.obs["i"][sel],
                case.obs["j"][sel],
                case.n1,
                case.method,
                kind,
                case.passes,
                cap=cap,
                stop_at=stop_at,
                keep_top=n_exc + 1 if tail else 0,
            )
        res = cache[ck]
        ps = res["p"].copy()
        hw = np.where(res["stopped"], 2, 1).astype(np.int8)
        if tail:
            for k in np.flatnonzero(~res["stopped"] & (res["b"] < stop_at) & np.isfinite(res["t_obs"])):
                pt = tail_p(res, k, n_exc, shape)
                if pt is None:
                    hw[k] = 4
                else:
                    ps[k], hw[k] = min(pt, ps[k]), 3
        p[sel] = ps
        how[sel] = hw
        case.last_perm = (sel, res)
        return p, how

    fn.__name__ = "perm_{}_s{:g}_N{}_{}".format(kind, screen, cap, shape)
    return fn


def staged_permutation(kind="tz", screen=1e-4, caps=(10000, 100000, 1000000), stop_at=10, n_exc=250):
    """The screened permutation p-values with staged caps: after each cap, the pairs still at
    the cap with fewer than `stop_at` exceedances run on to the next cap (passes from the
    start again, in the same sequence) when they could still become discoveries: their
    optimistic p (the smaller of a free-shape GPD tail and a normal law with the passes' root
    mean square) passes BH at 0.05 with every other capped pair's optimistic p, and their
    reported p does not yet. Reported: sequential p, exact bound or the shape >= 0 tail."""
    col = "p_norm" if kind == "z" else "p_" + kind

    def reported(res, k):
        if res["stopped"][k]:
            return res["p"][k], 2
        pt, _ = R.gpd_tail_p(res["top"][k], res["L"][k], res["t_obs"][k], n_exc=n_exc, shape="nonneg")
        if pt is None:
            return res["p"][k], 4
        return min(pt, res["p"][k]), 3

    def optimistic(res, k, p):
        pf, _ = R.gpd_tail_p(res["top"][k], res["L"][k], res["t_obs"][k], n_exc=n_exc, shape="free", exp_floor=False)
        pn = float(R.two_sided_normal_p(res["t_obs"][k] / max(res["rms"][k], 1e-12)))
        return min(p, pn, pf if pf is not None else p)

    def fn(case):
        p = case.obs[col].copy()
        how = np.zeros(case.m, np.int8)
        sel = np.flatnonzero(p <= screen)
        case.stage_pairs = []
        if sel.size == 0:
            return p, how
        todo = sel
        total = 0
        for stage, cap in enumerate(caps):
            res = R.permutation_p(
                case.y,
                case.obs["i"][todo],
                case.obs["j"][todo],
                case.n1,
                case.method,
                kind,
                case.passes,
                cap=cap,
                stop_at=stop_at,
                keep_top=n_exc + 1,
            )
            total += res["tried"].sum()
            case.stage_pairs.append(todo.size)
            popt = p.copy()
            capped = []
            for k, idx in enumerate(todo):
                p[idx], how[idx] = reported(res, k)
                popt[idx] = p[idx]
                if how[idx] in (3, 4) and res["b"][k] < stop_at:
                    popt[idx] = optimistic(res, k, p[idx])
                    capped.append(idx)
            if stage == len(caps) - 1 or not capped:
                break
            capped = np.array(capped)
            qo, qr = R.bh(popt), R.bh(p)
            todo = capped[(qo[capped] <= ALPHA) & (qr[capped] > ALPHA)]
            if todo.size == 0:
                break
        case.total_passes = total
        case.last_perm = (sel, res)
        return p, how

    fn.__name__ = "staged_{}_s{:g}".format(kind, screen)
    return fn


def api_columns(case, permutations=1000):
    """Today's API on the same groups: the pairs at q_value <= 0.05 and at perm_q <= 0.05
    (as sets of row-pair keys)."""
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        res = corrshift.ztest(
            case.x.astype(np.float32),
            case.g1,
            case.g2,
            method=case.method,
            permutations=permutations,
            min_cells=case.min_cells if (case.min_cells or 0) >= 1 else None,
            min_fraction=case.min_cells if case.min_cells is not None and case.min_cells < 1 else None,
            progress=False,
            n_jobs=2,
        )
    i = np.asarray(res.index1).astype(np.int64)
    j = np.asarray(res.index2).astype(np.int64)
    lo, hi = np.minimum(i, j), np.maximum(i, j)
    key = lo * case.x.shape[0] + hi
    out = {"q_value": key[np.asarray(res.q_value) <= ALPHA]}
    if permutations:
        out["perm_q"] = key[np.asarray(res.perm_q) <= ALPHA]
        out["perm_p"] = np.asarray(res.perm_p)
        out["_p_value"] = np.asarray(res.p_value)
    return out


def discoveries(case, fn):
    p, how = fn(case)
    q = R.bh(p)
    hit = q <= ALPHA
    return case.key()[hit], p, q, how


def set_screen(screen):
    """The permutation candidates with screen `screen` (module globals used by the sections)."""
    global HEADLINE, HYBRID, PLAIN, CANDIDATES
    HEADLINE = screened_permutation("tz", screen, 10000, shape="nonneg")
    HYBRID = screened_permutation("tz", screen, 10000, shape="hybrid")
    PLAIN = screened_permutation("z", screen, 10000, shape="nonneg")
    CANDIDATES = [
        ("normal theory q (p_norm)", normal_theory),
        ("studentized, asymptotic", studentized_asymptotic),
        ("studentized, permutation", HEADLINE),
        ("studentized, perm., hybrid tail", HYBRID),
        ("plain z, permutation", PLAIN),
    ]


set_screen(1e-4)


def halves(idx, seed):
    p = np.random.default_rng(seed).permutation(idx)
    h = len(p) // 2
    return np.sort(p[:h]), np.sort(p[h:])


def log(*a):
    print(*a, flush=True)


# --------------------------------------------------------------------------- null splits
def null_section(quick, out):
    leuk, sc_ = leukemia(), pbmc()
    neg = np.flatnonzero(leuk.labels["mol_biol"] == "NEG")
    bcr = np.flatnonzero(leuk.labels["mol_biol"] == "BCR/ABL")
    dc = np.flatnonzero(sc_.labels["bulk_labels"] == "Dendritic")
    mono = np.flatnonzero(sc_.labels["bulk_labels"] == "CD14+ Monocyte")
    S = (lambda full, q: q) if quick else (lambda full, q: full)
    configs = [
        ("leukemia NEG 21+21", leuk, neg, "pearson", None, S(40, 4), S(5, 2)),
        ("leukemia NEG 21+21", leuk, neg, "spearman", None, S(6, 2), 0),
        ("leukemia BCR/ABL 18+19", leuk, bcr, "pearson", None, S(6, 2), S(2, 0)),
    ]
    for name, cells in (("pbmc Dendritic 120+120", dc), ("pbmc CD14+ Monocyte 64+65", mono)):
        for mc in (None, 3, 5, 10):
            configs.append((name, sc_, cells, "pearson", mc, S(5, 2), S(2, 1)))
        for mc in (None, 5):
            configs.append((name, sc_, cells, "spearman", mc, S(2, 1), 0))
    rows = []
    for name, data, idx, method, mc, seeds, api_seeds in configs:
        t0 = time.time()
        counts = {c: [] for c, _ in CANDIDATES}
        counts["today q_value (API)"] = []
        counts["today perm_q (API, 1000)"] = []
        passes = []
        for seed in range(seeds):
            g1, g2 = halves(idx, seed)
            case = Case(data, g1, g2, method, mc)
            for cname, fn in CANDIDATES:
                key, p, q, how = discoveries(case, fn)
                counts[cname].append(key.size)
                if fn is HEADLINE and hasattr(case, "last_perm"):
                    sel, res = case.last_perm
                    passes.append((res["tried"].sum(), sel.size, case.m))
            log("  split", name, method, mc, seed, {c: v[-1] for c, v in counts.items() if v})
            if seed < api_seeds:
                api = api_columns(case)
                counts["today q_value (API)"].append(len(api["q_value"]))
                counts["today perm_q (API, 1000)"].append(len(api["perm_q"]))
                assert set(api["q_value"]) == set(case.key()[R.bh(case.obs["p_norm"]) <= ALPHA])
        tp = np.array(passes, dtype=float) if passes else np.zeros((1, 3))
        mrows = case.obs["rows"].size
        rows.append(
            (
                name,
                method,
                "none" if mc is None else mc,
                seeds,
                mrows,
                counts,
                tp[:, 0].sum() / tp[:, 2].sum(),
                tp[:, 1].mean(),
            )
        )
        log(
            "null",
            name,
            method,
            mc,
            seeds,
            "splits",
            round(time.time() - t0, 1),
            "s",
            {k: (np.mean(v) if v else None) for k, v in counts.items()},
        )
    out.append("## Null splits (no true difference): discoveries at q <= 0.05 per split\n")
    out.append(
        "Each cell: mean discoveries per split / share of splits with any discovery (number of splits in "
        "brackets where fewer than the row's). Headline = studentized permutation (screen as in the header, "
        "sequential stop at 10 exceedances, cap 10,000 passes, GPD tail with shape >= 0). Passes/pair = "
        "the headline's permutation passes over all pairs tested.\n"
    )
    names = ["today q_value (API)", "today perm_q (API, 1000)"] + [c for c, _ in CANDIDATES]
    out.append(
        "| null split | method | min_cells | splits | rows kept | "
        + " | ".join(names)
        + " | passes/pair | pairs screened |"
    )
    out.append("|---|---|---|---:|---:|" + "---:|" * len(names) + "---:|---:|")
    for name, method, mc, seeds, mrows, counts, ppp, scr in rows:
        cells = []
        for c in names:
            v = counts[c]
            if not v:
                cells.append("-")
                continue
            cell = "{:.2f} / {:.0%}".format(np.mean(v), np.mean(np.array(v) > 0))
            if len(v) < seeds:
                cell += " ({})".format(len(v))
            cells.append(cell)
        out.append(
            "| {} | {} | {} | {} | {} | {} | {:.4f} | {:.0f} |".format(
                name, method, mc, seeds, mrows, " | ".join(cells), ppp, scr
            )
        )
    out.append("")
    return rows


# --------------------------------------------------------------------------- planted signals
STRENGTHS = ((0.9, -0.5), (0.9, -0.2), (0.8, -0.3))


def robust_max(x, cols):
    v = x[:, cols]
    med = np.median(v, axis=1, keepdims=True)
    mad = 1.4826 * np.median(np.abs(v - med), axis=1, keepdims=True)
    mad[mad == 0] = np.inf
    return (np.abs(v - med) / mad).max(axis=1)


def plant(x, g1, g2, rng, strength, background, n_pairs=40):
    """A copy of x with n_pairs pairs (a, b) whose correlation is exactly strength[0] in g1 and
    strength[1] in g2: row a is kept, row b becomes rho * a~ + sqrt(1 - rho^2) e~ in each group
    (a~ the group-standardised row a, e~ a third real row orthogonalised to a~ and
    standardised), rescaled to row b's own mean and spread there. Returns (x, a, b)."""
    x = x.copy()
    worst = np.maximum(robust_max(x, g1), robust_max(x, g2))
    pool = np.flatnonzero(worst <= 3.5) if background == "light" else np.flatnonzero(worst >= 6)
    rest = np.setdiff1d(np.arange(x.shape[0]), pool)
    ae = rng.choice(pool, 2 * n_pairs, replace=False)
    a, e = ae[:n_pairs], ae[n_pairs:]
    b = rng.choice(
        np.setdiff1d(rest, ae) if rest.size > 2 * n_pairs else np.setdiff1d(np.arange(x.shape[0]), ae),
        n_pairs,
        replace=False,
    )
    for g, rho in ((g1, strength[0]), (g2, strength[1])):
        ua, _ = R.standardize(x[a][:, g], "pearson")
        ue, _ = R.standardize(x[e][:, g], "pearson")
        ue = ue - (ua * ue).mean(axis=1, keepdims=True) * ua
        ue /= np.sqrt((ue * ue).mean(axis=1, keepdims=True))
        new = rho * ua + np.sqrt(1 - rho * rho) * ue
        vb = x[b][:, g]
        x[np.ix_(b, g)] = vb.mean(axis=1, keepdims=True) + vb.std(axis=1, keepdims=True) * new
    return x, a, b


def planted_section(quick, out):
    leuk = leukemia()
    neg = np.flatnonzero(leuk.labels["mol_biol"] == "NEG")
    reps = 1 if quick else 2
    methods = ("pearson",) if quick else ("pearson", "spearman")
    rows = []
    for method in methods:
        if method == "spearman":
            reps = 1
        for strength in STRENGTHS[:1] if method == "spearman" else STRENGTHS:
            for background in ("light", "heavy"):
                t0 = time.time()
                power = {c: [] for c, _ in CANDIDATES}
                fdp = {c: [] for c, _ in CANDIDATES}
                for rep in range(reps):
                    g1, g2 = halves(neg, 100 + rep)
                    xp, a, b = plant(leuk.x, g1, g2, np.random.default_rng(200 + rep), strength, background)
                    case = Case(leuk, g1, g2, method, x=xp)
                    n = xp.shape[0]
                    planted = set((np.minimum(a, b) * n + np.maximum(a, b)).tolist())
                    touched = set(a.tolist()) | set(b.tolist())
                    for cname, fn in CANDIDATES:
                        key, p, q, how = discoveries(case, fn)
                        found = sum(1 for k in key.tolist() if k in planted)
                        false = sum(1 for k in key.tolist() if k // n not in touched and k % n not in touched)
                        power[cname].append(found / len(planted))
                        fdp[cname].append(false / max(key.size, 1))
                rows.append((method, strength, background, reps, power, fdp))
                log(
                    "planted",
                    method,
                    strength,
                    background,
                    round(time.time() - t0, 1),
                    "s",
                    {k: np.mean(v) for k, v in power.items()},
                    {k: np.mean(v) for k, v in fdp.items()},
                )
    out.append("## Planted signals: 40 pairs in a NEG 21 + 21 split (2,000 probe sets)\n")
    out.append(
        "Power = share of the planted pairs at q <= 0.05; FDP = discoveries that involve no planted row, "
        "over all discoveries. Light: rows with no sample beyond 3.5 robust sd in either group; heavy: "
        "rows with a sample beyond 6 robust sd. Means over the replicates.\n"
    )
    names = [c for c, _ in CANDIDATES]
    out.append("| method | r1 vs r2 | background | replicates | " + " | ".join(names) + " |")
    out.append("|---|---|---|---:|" + "---|" * len(names))
    for method, strength, background, reps, power, fdp in rows:
        cells = ["{:.0%} / FDP {:.0%}".format(np.mean(power[c]), np.mean(fdp[c])) for c in names]
        out.append(
            "| {} | {} vs {} | {} | {} | {} |".format(
                method, strength[0], strength[1], background, reps, " | ".join(cells)
            )
        )
    out.append("")
    return rows


# --------------------------------------------------------------------------- real comparisons
def independent_p(x, y, n1, method, kind, passes=20000, seed=4242):
    """An independent two-sided permutation test of one pair: its own generator (random keys
    sorted), its own arithmetic (SciPy's ranks, NumPy's std); undefined passes left out."""
    from scipy import stats as st

    rng = np.random.default_rng(seed)
    n = x.size

    def one(idx):
        out = []
        for g in (idx[..., :n1], idx[..., n1:]):
            a, b = x[g], y[g]
            if method == "spearman":
                a, b = st.rankdata(a, axis=-1), st.rankdata(b, axis=-1)
            sa, sb = a.std(axis=-1), b.std(axis=-1)
            ok = (sa > 1e-12 * np.abs(a).max(axis=-1)) & (sb > 1e-12 * np.abs(b).max(axis=-1))
            za = (a - a.mean(axis=-1, keepdims=True)) / np.where(ok, sa, 1)[..., None]
            zb = (b - b.mean(axis=-1, keepdims=True)) / np.where(ok, sb, 1)[..., None]
            r = np.clip(np.mean(za * zb, axis=-1), -1, 1)
            m22, m31, m13 = np.mean(za**2 * zb**2, -1), np.mean(za**3 * zb, -1), np.mean(za * zb**3, -1)
            m40, m04 = np.mean(za**4, -1), np.mean(zb**4, -1)
            tau = (1 + r**2 / 2) * m22 - r * (m31 + m13) + r**2 / 4 * (m40 + m04)
            out.append((r, tau, ok, g.shape[-1]))
        (r1, t1, o1, k1), (r2, t2, o2, k2) = out
        s = R.statistic(kind, r1, t1, k1, r2, t2, k2)
        return np.where(o1 & o2, np.abs(s), np.nan)

    t_obs = one(np.arange(n)[None, :])[0]
    cnt = dfn = 0
    done = 0
    while done < passes:
        c = min(5000, passes - done)
        idx = np.argsort(rng.random((c, n)), axis=1)
        s = one(idx)
        ok = ~np.isnan(s)
        cnt += int((s[ok] >= t_obs * (1 - 1e-9)).sum())
        dfn += int(ok.sum())
        done += c
    return (cnt + 1) / (dfn + 1)


def real_cases(quick):
    leuk, sc_ = leukemia(), pbmc()
    mb = leuk.labels["mol_biol"]
    bl, ph = sc_.labels["bulk_labels"], sc_.labels["phase"]
    cases = [("leukemia BCR/ABL vs NEG", leuk, np.flatnonzero(mb == "BCR/ABL"), np.flatnonzero(mb == "NEG"))]
    comps = [("CD14+ Monocyte", "Dendritic"), ("CD19+ B", "CD4+/CD25 T Reg"), ("CD14+ Monocyte", "CD56+ NK")]
    if quick:
        comps = comps[:1]
    for a, b in comps:
        cases.append(("pbmc {} vs {}".format(a, b), sc_, np.flatnonzero(bl == a), np.flatnonzero(bl == b)))
    for ct in ("Dendritic",) if quick else ("Dendritic", "CD14+ Monocyte", "CD19+ B"):
        cases.append(
            (
                "pbmc G1 vs S in {}".format(ct),
                sc_,
                np.flatnonzero((bl == ct) & (ph == "G1")),
                np.flatnonzero((bl == ct) & (ph == "S")),
            )
        )
    return cases


def real_section(quick, out, notes):
    rows = []
    n_check = 8 if quick else 20
    check_passes = 5000 if quick else 20000
    for name, data, g1, g2 in real_cases(quick):
        spearman = not quick and (data.name == "leukemia" or "Dendritic" in name and "G1" not in name)
        for method in ("pearson", "spearman") if spearman else ("pearson",):
            for mc in (None,) if data.name == "leukemia" else (None, 5):
                t0 = time.time()
                case = Case(data, g1, g2, method, mc)
                thr = {}
                res_row = {}
                for cname, fn in CANDIDATES:
                    key, p, q, how = discoveries(case, fn)
                    hit = np.flatnonzero(q <= ALPHA)
                    thr[cname] = p[hit].max() if hit.size else 0.0
                    kind = "tz" if cname.startswith("studentized") else "z"
                    best = hit[np.argsort(p[hit], kind="stable")][:n_check]
                    conf = [
                        independent_p(
                            case.y[case.obs["i"][k]], case.y[case.obs["j"][k]], case.n1, method, kind, check_passes
                        )
                        for k in best
                    ]
                    conf = np.array(conf)
                    res_row[cname] = (
                        hit.size,
                        best.size,
                        int((conf <= 0.001).sum()),
                        int((conf <= 0.01).sum()),
                        np.bincount(how[hit], minlength=5),
                    )
                    if cname == "normal theory q (p_norm)":
                        normal_hits = hit
                    if fn is HEADLINE:
                        head_p, head_how, head_q = p, how, q
                # screen check: pairs just above the screen
                above = np.flatnonzero((case.obs["p_tz"] > 1e-4) & (case.obs["p_tz"] <= 1e-3))
                rng = np.random.default_rng(5)
                if above.size > 300:
                    above = np.sort(rng.choice(above, 300, replace=False))
                scr = R.permutation_p(
                    case.y,
                    case.obs["i"][above],
                    case.obs["j"][above],
                    case.n1,
                    method,
                    "tz",
                    case.passes,
                    cap=10000,
                    stop_at=10,
                    keep_top=251,
                )
                cutoff = ALPHA * max(res_row["studentized, permutation"][0], 1) / case.m
                sp = scr["p"].copy()
                for k in np.flatnonzero(~scr["stopped"] & (scr["b"] < 10)):
                    pt = tail_p(scr, k, 250, "hybrid")
                    if pt is not None:
                        sp[k] = min(sp[k], pt)
                rows.append(
                    (
                        name,
                        method,
                        mc,
                        case.n1,
                        case.n2,
                        case.m,
                        res_row,
                        float(np.min(sp)) if above.size else None,
                        int((sp <= cutoff).sum()) if above.size else 0,
                    )
                )
                # today's pairs at q <= 0.05: kept by the headline, and why the others go
                if data.name == "leukemia":
                    kept = int((head_q[normal_hits] <= ALPHA).sum())
                    hw = np.bincount(head_how[normal_hits], minlength=5)
                    lines = [
                        "{} ({}): today's q_value <= 0.05: {} pairs; the headline keeps {}.".format(
                            name, method, normal_hits.size, kept
                        )
                    ]
                    lines.append(
                        "  their headline p by how it was made: "
                        + ", ".join("{} {}".format(HOW[h], int(c)) for h, c in enumerate(hw) if c)
                    )
                    gone = normal_hits[head_q[normal_hits] > ALPHA]
                    if gone.size:
                        lines.append(
                            "  the others: headline p median {:.2g} (range {:.2g}..{:.2g}); stopped "
                            "sequentially (perm p >= 10/L) {}".format(
                                np.median(head_p[gone]),
                                head_p[gone].min(),
                                head_p[gone].max(),
                                int((head_how[gone] == 2).sum()),
                            )
                        )
                    # permutation spread of z (relative to its normal se) and of tz, on these pairs
                    a, b = case.obs["i"][normal_hits], case.obs["j"][normal_hits]
                    perms = case.passes.get(1, 2001)
                    sz = R.pass_statistics(case.y, a, b, perms, case.n1, method, "z")
                    st_ = R.pass_statistics(case.y, a, b, perms, case.n1, method, "tz")
                    spz = np.nanstd(sz, axis=1) / R.normal_se(case.n1, case.n2, method)
                    spt = np.nanstd(st_, axis=1)
                    lines.append(
                        "  permutation spread (2,000 passes) of z_diff / normal se: median {:.2f}, range "
                        "{:.2f}..{:.2f}; of the studentized T: median {:.2f}, range {:.2f}..{:.2f}".format(
                            np.median(spz), spz.min(), spz.max(), np.median(spt), spt.min(), spt.max()
                        )
                    )
                    notes.extend(lines)
                    for l in lines:
                        log(l)
                log("real", name, method, mc, round(time.time() - t0, 1), "s", {k: v[:4] for k, v in res_row.items()})
    out.append("## Real comparisons: pairs at q <= 0.05, and the best of them checked one by one\n")
    out.append(
        "Each cell: pairs at q <= 0.05; of the best (at most {}), how many an independent permutation test "
        "of that pair ({} passes, the method's own statistic: studentized T for the studentized columns, "
        "z_diff otherwise) puts at p <= 0.001 / p <= 0.01. Screen check: 300 pairs with 1e-4 < p_tz <= 1e-3 "
        "(all when fewer) run adaptively (10,000 passes, hybrid tail, the optimistic one): their smallest "
        "permutation p, and how many fall at or below the headline's BH cutoff (0.05 x max(discoveries, 1) / pairs).\n".format(
            n_check, check_passes
        )
    )
    names = [c for c, _ in CANDIDATES]
    out.append(
        "| comparison | method | min_cells | n1 + n2 | pairs | "
        + " | ".join(names)
        + " | screen: min p above / below cutoff |"
    )
    out.append("|---|---|---|---|---:|" + "---|" * len(names) + "---|")
    for name, method, mc, n1, n2, m, res_row, mn, below in rows:
        cells = ["{} ({}: {} / {})".format(*res_row[c][:4]) for c in names]
        out.append(
            "| {} | {} | {} | {} + {} | {} | {} | {} / {} |".format(
                name,
                method,
                "none" if mc is None else mc,
                n1,
                n2,
                m,
                " | ".join(cells),
                "-" if mn is None else "{:.2g}".format(mn),
                below,
            )
        )
    out.append("")
    out.extend(l if l.startswith("  ") else "\n" + l for l in notes)
    out.append("")
    return rows


# --------------------------------------------------------------------------- tail estimates
def tail_section(quick, out):
    """Planted pairs whose permutation p lies in 1e-7..1e-5: the tail estimate from 10,000
    passes against brute force (passes until 20 at least as extreme)."""
    leuk = leukemia()
    neg = np.flatnonzero(leuk.labels["mol_biol"] == "NEG")
    g1, g2 = halves(neg, 300)
    rng = np.random.default_rng(301)
    rows = []
    targets = (1e-5,) if quick else (1e-5, 1e-6)
    for kind in ("tz", "z"):
        # candidates: single pairs of light rows planted at a range of strengths
        xs, pairs = [], []
        for r1 in np.linspace(0.55, 0.85, 13):
            xp, a, b = plant(leuk.x, g1, g2, rng, (r1, -0.3), "light", n_pairs=3)
            xs.append(xp)
            pairs.extend((len(xs) - 1, int(ai), int(bi)) for ai, bi in zip(a, b))
        est = []
        for xi_, a, b in pairs:
            y = xs[xi_][:, np.r_[g1, g2]][[a, b]]
            res = R.permutation_p(
                y,
                np.array([0]),
                np.array([1]),
                len(g1),
                "pearson",
                kind,
                R.Passes(42, 21),
                cap=10000,
                stop_at=None,
                keep_top=251,
            )
            pt, k = R.gpd_tail_p(res["top"][0], res["L"][0], res["t_obs"][0], shape="nonneg")
            pf, _ = R.gpd_tail_p(res["top"][0], res["L"][0], res["t_obs"][0], shape="free", exp_floor=False)
            sd = np.std(
                R.pass_statistics_sums(y, np.array([0]), np.array([1]), R.Passes(42, 21).get(1, 10001), 21, kind)[0]
            )
            pn = float(R.two_sided_normal_p(res["t_obs"][0] / sd))
            est.append((pt, pf, pn, y, res["t_obs"][0], res["b"][0]))
        used = set()
        for target in targets:
            cands = [i for i, e in enumerate(est) if e[0] is not None and i not in used]
            if not cands:
                break
            i = min(cands, key=lambda i: abs(np.log(est[i][0] / target)))
            used.add(i)
            pt, pf, pn, y, t, b0 = est[i]
            t0 = time.time()
            pb, cnt, dfn = R.brute_force_p(
                y,
                0,
                1,
                21,
                "pearson",
                kind,
                R.Passes(42, 21, seed=77),
                want_exceed=20,
                max_passes=int(min(4e7, 40 / max(pt, 1e-9))),
                chunk=50000,
                t_obs=t,
            )
            rows.append((kind, t, b0, pt, pf, pn, pb, cnt, dfn, time.time() - t0))
            log(
                "tail",
                kind,
                "T",
                round(t, 3),
                "gpd>=0 {:.3g} free {:.3g} normal {:.3g} brute {:.3g} ({} of {})".format(
                    pt, pf if pf is not None else float("nan"), pn, pb, cnt, dfn
                ),
                round(time.time() - t0, 1),
                "s",
            )
    out.append("## Tail estimates against brute force (planted pairs, NEG 21 + 21, Pearson)\n")
    out.append(
        "Tail estimate from the pair's 10,000 passes (exceedances over its 251st largest |T|, PWM fit, "
        "Anderson-Darling check): shape kept >= 0 (the recommendation), shape free, and a normal law with the "
        "passes' standard deviation; brute force: passes until 20 at least as extreme (or the count shown).\n"
    )
    out.append(
        "| statistic | observed | exceedances in 10,000 | GPD, shape >= 0 | GPD, free shape | normal, perm sd | "
        "brute force | exceedances / passes | ratio (shape >= 0 / brute) |"
    )
    out.append("|---|---:|---:|---:|---:|---:|---:|---:|---:|")
    for kind, t, b0, pt, pf, pn, pb, cnt, dfn, _ in rows:
        out.append(
            "| {} | {:.3f} | {} | {:.3g} | {} | {:.3g} | {:.3g} | {} / {} | {:.2f} |".format(
                kind, t, b0, pt, "rejected" if pf is None else "{:.3g}".format(pf), pn, pb, cnt, dfn, pt / pb
            )
        )
    out.append("")
    return rows


# --------------------------------------------------------------------------- main
def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--quick", action="store_true", help="a few splits and comparisons (a few minutes)")
    ap.add_argument("--only", default="null,planted,real,tail", help="sections to run, comma-separated")
    ap.add_argument("--out", default=None, help="results file (default bench/results/calibration[-quick].md)")
    ap.add_argument(
        "--screen",
        type=float,
        default=1e-4,
        help="asymptotic p of the screen (default 1e-4; the null splits give the same discoveries with "
        "1e-5 in a quarter of the time, as long as BH's cutoff stays below it)",
    )
    args = ap.parse_args()
    set_screen(args.screen)
    sections = args.only.split(",")
    here = os.path.dirname(os.path.abspath(__file__))
    path = args.out or os.path.join(here, "results", "calibration{}.md".format("-quick" if args.quick else ""))
    import platform

    cpu = next(
        (l.split(":", 1)[1].strip() for l in open("/proc/cpuinfo") if l.startswith("model name")), platform.processor()
    )
    out = [
        "# Calibration of the pair tests on real data\n",
        "`bench/calibration.py{}` ({}; {}; load before the run: {}).\n".format(
            " --quick" if args.quick else "", cpu, time.strftime("%Y-%m-%d"), os.getloadavg()[0]
        ),
        "Discoveries are pairs at Benjamini-Hochberg q <= 0.05 over all pairs tested. Candidates: today's "
        "`q_value` (normal theory, checked equal to the reference's `p_norm`), today's `perm_q` (1000 fixed "
        "passes), the studentized statistic's asymptotic p, the studentized statistic's permutation p (the "
        "headline candidate) and the plain z_diff's permutation p with undefined passes left out; both "
        "permutation candidates: screen at asymptotic p <= "
        + "{:g}".format(args.screen)
        + ", sequential stop at 10 exceedances, cap "
        "10,000 passes, GPD tail (shape >= 0) for pairs at the cap with fewer than 10, else (b+1)/(L+1).\n",
    ]
    t0 = time.time()
    notes = []
    if "null" in sections:
        null_section(args.quick, out)
    if "planted" in sections:
        planted_section(args.quick, out)
    if "real" in sections:
        real_section(args.quick, out, notes)
    if "tail" in sections:
        tail_section(args.quick, out)
    if "cap" in sections:
        staged_cap_section(args.quick, out)
    out.append("Run time: {:.0f} s.".format(time.time() - t0))
    text = "\n".join(out) + "\n"
    with open(path, "w") as f:
        f.write(text)
    print(text)


def staged_cap_section(quick, out, caps=(100000, 1000000)):
    """The headline with a larger cap for the pairs that could still become discoveries: the
    planted pairs (0.9 vs -0.5, light rows) and the 20 non-planted pairs at the 10,000 cap
    with the largest |T| run on to each cap; BH again with their new p-values."""
    leuk = leukemia()
    neg = np.flatnonzero(leuk.labels["mol_biol"] == "NEG")
    lines = []
    for background in ("light",):
        g1, g2 = halves(neg, 100)
        xp, a, b = plant(leuk.x, g1, g2, np.random.default_rng(200), STRENGTHS[0], background)
        case = Case(leuk, g1, g2, "pearson", x=xp)
        n = xp.shape[0]
        planted = np.minimum(a, b) * n + np.maximum(a, b)
        key = case.key()
        p0, how0 = HEADLINE(case)
        sel, res = case.last_perm
        pos = np.flatnonzero(np.isin(key, planted))
        capped = sel[(how0[sel] >= 3)]
        others = capped[~np.isin(key[capped], planted)]
        others = others[np.argsort(-np.abs(case.obs["tz"][others]))][:20]
        run = np.concatenate([pos, others])
        base = int((R.bh(p0)[pos] <= ALPHA).sum())
        normal = int((R.bh(case.obs["p_norm"])[pos] <= ALPHA).sum())
        lines.append(
            "{} rows: normal theory finds {} of 40, the headline with cap 10,000 {}".format(background, normal, base)
        )
        for cap in caps[:1] if quick else caps:
            t0 = time.time()
            r2 = R.permutation_p(
                case.y,
                case.obs["i"][run],
                case.obs["j"][run],
                case.n1,
                "pearson",
                "tz",
                case.passes,
                cap=cap,
                stop_at=10,
                keep_top=251,
            )
            p = p0.copy()
            for k, idx in enumerate(run):
                pk = r2["p"][k]
                if not r2["stopped"][k]:
                    pt, _ = R.gpd_tail_p(r2["top"][k], r2["L"][k], r2["t_obs"][k], shape="nonneg")
                    if pt is not None:
                        pk = min(pk, pt)
                p[idx] = pk
            q = R.bh(p)
            found = int((q[pos] <= ALPHA).sum())
            hits = np.flatnonzero(q <= ALPHA)
            touched = set(a.tolist()) | set(b.tolist())
            false = sum(1 for k in key[hits].tolist() if k // n not in touched and k % n not in touched)
            lines.append(
                "  cap {:,}: finds {} of 40 (false discoveries {} of {}); planted pairs' p median {:.2g}; "
                "{:.0f} s for {} pairs".format(
                    cap, found, false, hits.size, np.median(p[pos]), time.time() - t0, run.size
                )
            )
            log(lines[-2] if len(lines) >= 2 else "", lines[-1])
    out.append("## Larger caps for the pairs that could become discoveries (planted 0.9 vs -0.5)\n")
    out.extend(lines)
    out.append("")


if __name__ == "__main__":
    main()
