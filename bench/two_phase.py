"""Filtered pair runs in two phases against the observed pass alone and against every pass
over every pair.

    python bench/two_phase.py [--large] [--rounds N] [--jobs N]

The bundled leukemia data (2,000 probe sets, BCR/ABL vs NEG, 37 + 42 samples), all
1,999,000 pairs, max_q=0.05, 1000 permutations: the observed pass alone (permutations=0),
the two-phase run, and the run of every pass over every pair (perm_q=True), in this
process, `n_jobs` 2. Each is timed in wall time and in the process's CPU time (all
threads), which other users of the machine disturb less; the load average is printed before
and after. The two-phase run's perm_p is checked against the full run's, bit for bit.
`--large` adds made data of 20,000 rows x 200 samples (100 + 100, a few hundred rows
correlated in group 1 only), max_q=0.05, 1000 permutations, Parquet output.
"""

import argparse
import os
import statistics
import sys
import tempfile
import time
from typing import Any, Callable, Dict, List, Tuple

import numpy as np

import corrshift


def timed(call: Callable[[], Any], rounds: int) -> Tuple[Any, float, float]:
    """The result of the last call, and the median wall and CPU seconds of `rounds` calls."""
    walls: List[float] = []
    cpus: List[float] = []
    result = None
    for _ in range(rounds):
        w, c = time.perf_counter(), time.process_time()
        result = call()
        walls.append(time.perf_counter() - w)
        cpus.append(time.process_time() - c)
    return result, statistics.median(walls), statistics.median(cpus)


def load() -> str:
    one, five, fifteen = os.getloadavg()
    return "{:.2f} {:.2f} {:.2f}".format(one, five, fifteen)


def leukemia(rounds: int, jobs: int) -> List[Dict[str, Any]]:
    ex = corrshift.load_example()
    common = dict(groupby=ex.mol_biol, max_q=0.05, n_jobs=jobs, progress=False)

    def run(**options: Any) -> Any:
        return corrshift.ztest(ex.expression, "BCR/ABL", "NEG", **common, **options)

    rows = []
    observed, w0, c0 = timed(lambda: run(permutations=0), rounds)
    rows.append(dict(case="observed pass alone", wall=w0, cpu=c0, kept=len(observed)))
    two, w1, c1 = timed(lambda: run(permutations=1000), rounds)
    rows.append(dict(case="two phases, 1000 permutations", wall=w1, cpu=c1, kept=len(two)))
    full, w2, c2 = timed(lambda: run(permutations=1000, perm_q=True), 1)
    rows.append(dict(case="every pass over every pair (perm_q=True)", wall=w2, cpu=c2, kept=len(full)))
    same = np.array_equal(two.perm_p.view(np.uint64), full.perm_p.view(np.uint64))
    print("perm_p of the two-phase run equals the full run's, bit for bit:", same)
    if not same:
        sys.exit(1)
    for row in rows:
        row["vs observed"] = row["wall"] / w0
    return rows


def large(jobs: int) -> List[Dict[str, Any]]:
    rng = np.random.default_rng(20)
    data = rng.normal(size=(20000, 200)).astype(np.float32)
    data[:300, :100] += 1.5 * rng.normal(size=100).astype(np.float32)  # correlated in group 1 only
    g1, g2 = np.arange(100), np.arange(100, 200)
    rows = []
    with tempfile.TemporaryDirectory() as folder:
        for permutations in (0, 1000):
            out = os.path.join(folder, "p{}.parquet".format(permutations))
            result, wall, cpu = timed(
                lambda: corrshift.ztest(
                    data, g1, g2, permutations=permutations, max_q=0.05, n_jobs=jobs, out=out, progress=False
                ),
                1,
            )
            rows.append(
                dict(
                    case="20,000 x 200, {} permutations, Parquet".format(permutations),
                    wall=wall,
                    cpu=cpu,
                    kept=len(result),
                )
            )
    rows[1]["vs observed"] = rows[1]["wall"] / rows[0]["wall"]
    rows[0]["vs observed"] = 1.0
    return rows


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--large", action="store_true")
    parser.add_argument("--rounds", type=int, default=3)
    parser.add_argument("--jobs", type=int, default=2)
    args = parser.parse_args()
    print("load average before:", load())
    rows = leukemia(args.rounds, args.jobs)
    if args.large:
        rows += large(args.jobs)
    print("load average after:", load())
    print()
    print("| run | wall s | CPU s | wall / observed pass | pairs kept |")
    print("|---|---|---|---|---|")
    for row in rows:
        print("| {case} | {wall:.2f} | {cpu:.2f} | {vs observed:.2f}x | {kept:,} |".format(**row))


if __name__ == "__main__":
    main()
