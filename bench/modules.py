"""Module scores on the bundled data: 60 modules of 20-500 genes, 1000 permutations.

    .venv/bin/python bench/modules.py [--permutations 1000] [--jobs 2] [--numpy-permutations 20]

On the bundled leukemia subset (2000 probe sets, 37 BCR/ABL + 42 NEG samples), 60 modules of
20 to 500 probe sets drawn at random (fixed seed), scored "median" and "mean":

(a) `corrshift.module_scores` end to end (input checks, the standardised matrix, the
    engine, the table), with --jobs threads;
(b) the same modules through listed pairs: `corrshift.ztest` of the distinct pairs of the
    modules with the same permutations, then the observed module scores aggregated from
    its z_diff. This
    gives the observed scores but no permutation p-value of a module: it is what the
    pair path costs, not a way to test modules;
(c) NumPy in float64: the correlations of each group over the modules' genes, the module
    scores, and a permutation test with NumPy's own generator, timed over
    --numpy-permutations passes and scaled to --permutations.

Wall time and CPU time (this process and its threads) of each, and the 1-minute load
average before and after: the machine's 2 cores are shared, and CPU time varies far less
with the load than wall time. The observed scores of (a) are checked against (c).
Writes bench/results/modules.md.
"""

import argparse
import os
import time
from typing import Any, Callable, Dict, List, Tuple

import numpy as np

import corrshift

HERE = os.path.dirname(os.path.abspath(__file__))


def make_modules(probes: np.ndarray, count: int = 60, seed: int = 60) -> Dict[str, List[str]]:
    rng = np.random.default_rng(seed)
    sizes = rng.integers(20, 501, count)
    sizes[0], sizes[1] = 500, 20  # both ends of the range
    return {
        "M{:02d}".format(k): probes[rng.choice(probes.size, int(s), replace=False)].tolist()
        for k, s in enumerate(sizes)
    }


def timed(fn: Callable[[], Any]) -> Tuple[Any, float, float]:
    wall, cpu = time.perf_counter(), time.process_time()
    out = fn()
    return out, time.perf_counter() - wall, time.process_time() - cpu


def numpy_scores(x: np.ndarray, genes: List[np.ndarray], g1: np.ndarray, g2: np.ndarray, score: str) -> np.ndarray:
    """float64 module scores ("two-sided": the median of |z_diff|, the upper one for an even count)."""

    def fisher(cols: np.ndarray) -> np.ndarray:
        return np.arctanh(np.clip(np.corrcoef(x[:, cols].astype(np.float64)), -0.99, 0.99))

    z = fisher(g1) - fisher(g2)
    out = np.empty(len(genes))
    for k, rows in enumerate(genes):
        i, j = np.triu_indices(rows.size, 1)
        v = np.abs(z[rows[i], rows[j]])
        out[k] = v.mean() if score == "mean" else np.sort(v)[v.size // 2]
    return out


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--permutations", type=int, default=1000)
    parser.add_argument("--jobs", type=int, default=2)
    parser.add_argument("--numpy-permutations", type=int, default=20)
    parser.add_argument("--output", default=os.path.join(HERE, "results", "modules.md"))
    args = parser.parse_args()

    ex = corrshift.load_example()
    modules = make_modules(ex.probes)
    g1, g2 = np.flatnonzero(ex.mol_biol == "BCR/ABL"), np.flatnonzero(ex.mol_biol == "NEG")
    lookup = {p: k for k, p in enumerate(ex.probes.tolist())}
    genes = [np.sort(np.asarray([lookup[g] for g in m])) for m in modules.values()]
    keys = np.concatenate([r[i].astype(np.int64) * 4096 + r[j] for r in genes for i, j in [np.triu_indices(r.size, 1)]])
    distinct_keys, member = np.unique(keys, return_inverse=True)
    listed = np.stack([distinct_keys // 4096, distinct_keys % 4096], axis=1)
    pairs, distinct = keys.size, distinct_keys.size
    common = dict(
        groupby=ex.mol_biol, row_names=ex.probes, permutations=args.permutations, n_jobs=args.jobs, progress=False
    )
    rows = []
    load_before = os.getloadavg()[0]
    for score in ("median", "mean"):
        res, wall, cpu = timed(
            lambda: corrshift.module_scores(ex.expression, modules, "BCR/ABL", "NEG", score=score, **common)
        )
        want = numpy_scores(ex.expression, genes, g1, g2, score)
        worst = float(np.max(np.abs(res.score - want)))
        rows.append(
            (
                "(a) `module_scores`, score {!r}".format(score),
                wall,
                cpu,
                "max |score - float64 NumPy| {:.1e}; smallest perm_p {:.4f}".format(worst, res.perm_p.min()),
            )
        )

    def through_pairs() -> np.ndarray:
        table = corrshift.ztest(ex.expression, "BCR/ABL", "NEG", listed, **common)
        z, at = np.abs(table.z_diff)[member.reshape(-1)], 0
        out = []
        for r in genes:
            n = r.size * (r.size - 1) // 2
            out.append(np.sort(z[at : at + n])[n // 2])
            at += n
        return np.asarray(out)

    scores_b, wall, cpu = timed(through_pairs)
    rows.append(
        (
            "(b) `ztest` of the {:,} distinct pairs + median per module (no module p-values)".format(distinct),
            wall,
            cpu,
            "max |score - (a) median| {:.1e}".format(
                float(np.max(np.abs(scores_b - numpy_scores(ex.expression, genes, g1, g2, "median"))))
            ),
        )
    )

    rng = np.random.default_rng(1)
    both = np.concatenate([g1, g2])

    def numpy_test() -> None:
        observed = numpy_scores(ex.expression, genes, g1, g2, "median")
        for _ in range(args.numpy_permutations):
            cols = rng.permutation(both)
            numpy_scores(ex.expression, genes, cols[: g1.size], cols[g1.size :], "median") >= observed

    _, wall, cpu = timed(numpy_test)
    scale = (args.permutations + 1) / (args.numpy_permutations + 1)
    rows.append(
        (
            "(c) NumPy float64, median, {} passes timed, scaled to {}".format(
                args.numpy_permutations + 1, args.permutations + 1
            ),
            wall * scale,
            cpu * scale,
            "one thread of NumPy's own (BLAS may use more)",
        )
    )
    load_after = os.getloadavg()[0]

    lines = [
        "# Module scores benchmark",
        "",
        "60 modules of 20-500 probe sets (random, seed 60) of the bundled leukemia data (2000 probe sets, "
        "37 + 42 samples): {:,} pairs, {:,} of them distinct; {} permutations, n_jobs={}. Run on {}.".format(
            pairs, distinct, args.permutations, args.jobs, time.strftime("%Y-%m-%d %H:%M")
        ),
        "",
        "| case | wall s | CPU s | note |",
        "|---|---:|---:|---|",
    ]
    lines += ["| {} | {:.1f} | {:.1f} | {} |".format(name, wall, cpu, note) for name, wall, cpu, note in rows]
    lines += [
        "",
        "1-minute load average on the 2 shared cores: {:.2f} before, {:.2f} after (the benchmark's own "
        "threads included).".format(load_before, load_after),
        "",
    ]
    text = "\n".join(lines)
    with open(args.output, "w") as fh:
        fh.write(text)
    print(text)


if __name__ == "__main__":
    main()
