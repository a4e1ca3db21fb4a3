"""Two builds of corrshift side by side on this machine, with the multiply+add bound of the
processor measured in the same run: seconds per permutation pass of the public pipelines on
the reference workload (all pairs, listed pairs), of the 20,000 x 200 all-pairs z-test, and
the observed pass of a filtered 20,000 x 200 z-test as the engine runs it (tile by tile).

    python bench/compare.py OLD_DIR NEW_DIR [--rounds N] [--no-wide] [--no-observed]

Each directory holds an importable `corrshift` package (an installed site-packages, or a
source tree's src/ with the compiled modules copied next to the package files). Every
measurement runs in a fresh process, the two builds alternating; a cell is the median of its
rounds (the observed pass: the least, one or two rounds being all it affords). A pipeline's
pass is (time with P passes - time with 0) / P, in wall time and in the process's CPU time
(all threads), which other users of the machine disturb less. The bound is the rate of
`_baseline._multiply_add_rate` (eight-lane multiplies then adds on cached data,
pipelines/bench/peak.cpp) timed in CPU time in the same rounds; a pass's bound is the time its
Sxy multiplies and adds (pairs x columns) take at that rate, and "x bound" compares CPU
times. The 20,000 x 200 pass is timed by the all-pairs block's progress calls, as
bench/run.py does.

The observed pass is that of `ztest(..., max_q=0.05, permutations=0)` on made data (20,000
rows x 100 + 100 normal values, the first 300 rows correlated in group 1 only): the engine's
tiles (engine.plan), each computed by the block call and summarised for exact q-values.
OLD: `ztest_block(..., statistics="api")` and the engine's `pair_summary`; NEW, when the
build has it: `ztest_block_kept`, whose results are what the summary keeps (the kept pairs,
the distinct p-values up to the q-value limit and their counts). Its time is reported beside
the float permutation pass of the same matrix.
"""

import argparse
import json
import os
import statistics
import subprocess
import sys

CHILD = r"""
import json, os, statistics, sys, time
sys.path.insert(0, sys.argv[1])
import numpy as np
import corrshift
from corrshift import _baseline, _blocks, pipelines
case, jobs = sys.argv[2], int(sys.argv[3])

def clocks():
    return time.perf_counter(), time.process_time()

if case == "bound":
    rounds = 100_000_000 // jobs
    w, c = clocks()
    _baseline._multiply_add_rate(jobs, rounds)
    w1, c1 = clocks()
    print(json.dumps([jobs * rounds * 80.0 / (w1 - w), jobs * rounds * 80.0 / (c1 - c)]))
    sys.exit()

def made(rows=20000, columns=200):
    rng = np.random.default_rng(20)
    data = rng.normal(size=(rows, columns)).astype(np.float32)
    data[:300, : columns // 2] += 1.5 * rng.normal(size=columns // 2).astype(np.float32)
    return data, np.arange(columns // 2, dtype=np.int32), np.arange(columns // 2, columns, dtype=np.int32)

if case == "wide":
    data, g1, g2 = made()
    stamps = [clocks()]
    _blocks.ztest_block(data, g1, g2, (0, len(data)), (0, len(data)), "pearson", "two-sided", 0, 4, jobs,
                        progress=lambda done: stamps.append(clocks()))
    walls = [b[0] - a[0] for a, b in zip(stamps[1:], stamps[2:])]
    cpus = [b[1] - a[1] for a, b in zip(stamps[1:], stamps[2:])]
    print(json.dumps([statistics.median(walls), statistics.median(cpus)]))
    sys.exit()

if case == "observed":
    from corrshift.engine import plan, summary
    from corrshift.engine.tasks import Settings
    data, g1, g2 = made()
    n = len(data)
    q = 0.05 * (1 + 2.0**-40)
    cost = np.zeros(n)
    np.cumsum((n - 1 - np.arange(n - 1, dtype=np.float64)) + plan.ROW_COST, out=cost[1:])
    tiles = plan.split(cost, plan.TILE_PAIRS)
    settings = Settings(blocks="corrshift._blocks", first=g1, second=g2, method="pearson", alternative="two-sided",
                        score=None, permutations=0, n1=g1.size, n2=g2.size, group1="1", group2="2",
                        class_alpha=0.05, threads=jobs, summary=True, columns=False, keep_p=q, hist_limit=q,
                        tile_top=None, statistics="api")
    kept = 0
    w, c = clocks()
    for a, b in tiles:
        if hasattr(_blocks, "ztest_block_kept"):
            pos, r1, r2, z, p, values, counts, defined = _blocks.ztest_block_kept(
                data, g1, g2, (a, b), (a, n), "pearson", "two-sided", jobs, keep_p=q, count_p=q)
            kept_values, kept_counts, code = summary._distinct(p)  # the codes of the kept p-values
        else:
            r1, r2, z, p, counts = _blocks.ztest_block(data, g1, g2, (a, b), (a, n), "pearson", "two-sided", 0, 1,
                                                       jobs, statistics="api")
            s = summary.pair_summary(r1, r2, z, p, None, settings)
            pos = s["pos"]
        kept += len(pos)
    w1, c1 = clocks()
    print(json.dumps([w1 - w, c1 - c, kept]))
    sys.exit()

path = os.path.join(os.path.dirname(corrshift.__file__), "data", "all_leukemia_bcrabl_neg.npz")
with np.load(path, allow_pickle=True) as archive:
    data = np.ascontiguousarray(archive["expression"], np.float32)
    groups = archive["mol_biol"]
g1 = np.flatnonzero(groups == "BCR/ABL").astype(np.int32)
g2 = np.flatnonzero(groups == "NEG").astype(np.int32)
rng = np.random.default_rng(5)
first = rng.integers(0, len(data), 100_000).astype(np.int32)
second = rng.integers(0, len(data), 100_000).astype(np.int32)

def call(passes):
    if case in ("pearson", "spearman"):
        return pipelines._ztest_pipeline_exhaustive(data, g1, g2, case, "two-sided", passes, jobs)
    if case == "listed":
        return pipelines._ztest_pipeline_indexed(data, first, second, g1, g2, "pearson", "two-sided", passes, jobs)
    return pipelines._score_pipeline_exhaustive(data, g1, g2, "pearson", case, "two-sided", passes, jobs)

passes = 60 if case == "listed" else 20
saved, null = os.dup(1), os.open(os.devnull, os.O_WRONLY)
os.dup2(null, 1)  # the progress line
call(1)
stamps = []
for p in (0, passes):
    stamps.append(clocks())
    call(p)
stamps.append(clocks())
os.dup2(saved, 1)
(w0, c0), (w1, c1), (w2, c2) = stamps
print(json.dumps([((w2 - w1) - (w1 - w0)) / passes, ((c2 - c1) - (c1 - c0)) / passes]))
"""

# Sxy multiply+add pairs of one pass: every pair, over both groups.
REFERENCE_WORK = {"listed": 100_000 * 79}
ALL_PAIRS_WORK = 1_999_000 * 79
WIDE_WORK = 19_999 * 20_000 // 2 * 200


def run(path, case, jobs):
    out = subprocess.run(
        [sys.executable, "-c", CHILD, path, case, str(jobs)],
        stdout=subprocess.PIPE,
        universal_newlines=True,
        check=True,
    ).stdout
    return json.loads(out.strip().splitlines()[-1])


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("old")
    parser.add_argument("new")
    parser.add_argument("--rounds", type=int, default=5)
    parser.add_argument("--observed-rounds", type=int, default=1)
    parser.add_argument("--no-wide", action="store_true")
    parser.add_argument("--no-observed", action="store_true")
    options = parser.parse_args()
    builds = {"old": options.old, "new": options.new}
    cells = [(case, jobs) for case in ("pearson", "spearman", "mean", "median", "listed") for jobs in (1, 2)]
    print("load average at the start: %.2f %.2f %.2f" % os.getloadavg())
    samples, bound = {}, {1: [], 2: []}
    for _ in range(options.rounds):
        for jobs in (1, 2):
            bound[jobs].append(run(options.new, "bound", jobs))
        for case, jobs in cells:
            for name, path in builds.items():
                samples.setdefault((case, jobs, name), []).append(run(path, case, jobs))
    # The fastest round of the bound: its rate is a property of the processor.
    rate = {j: (max(b[0] for b in bound[j]), max(b[1] for b in bound[j])) for j in bound}
    print(
        "multiply+add bound (lane pairs per second, wall / CPU): n_jobs 1 %.3g / %.3g, n_jobs 2 %.3g / %.3g"
        % (rate[1][0], rate[1][1], rate[2][0], rate[2][1])
    )
    print()
    print(
        "| pass | n_jobs | old s/pass | new s/pass | speed-up | old CPU s/pass | new CPU s/pass | CPU speed-up "
        "| old x bound | new x bound |"
    )
    print("|---|---:|---:|---:|---:|---:|---:|---:|---:|---:|")
    for case, jobs in cells:
        (old, old_cpu), (new, new_cpu) = (
            [statistics.median(s[k] for s in samples[(case, jobs, name)]) for k in (0, 1)] for name in builds
        )
        work = REFERENCE_WORK.get(case, ALL_PAIRS_WORK)
        cpu_bound = work / rate[jobs][1]  # CPU seconds of the bound's work
        print(
            "| %s | %d | %.4f | %.4f | %.2fx | %.4f | %.4f | %.2fx | %.2fx | %.2fx |"
            % (
                case,
                jobs,
                old,
                new,
                old / new,
                old_cpu,
                new_cpu,
                old_cpu / new_cpu,
                old_cpu / cpu_bound,
                new_cpu / cpu_bound,
            )
        )
    if not options.no_wide:
        wide = {name: run(path, "wide", 2) for name, path in builds.items()}
        cpu_bound = WIDE_WORK / rate[2][1]
        print(
            "| 20,000 x 200 Pearson | 2 | %.3f | %.3f | %.2fx | %.3f | %.3f | %.2fx | %.2fx | %.2fx |"
            % (
                wide["old"][0],
                wide["new"][0],
                wide["old"][0] / wide["new"][0],
                wide["old"][1],
                wide["new"][1],
                wide["old"][1] / wide["new"][1],
                wide["old"][1] / cpu_bound,
                wide["new"][1] / cpu_bound,
            )
        )
    if not options.no_observed:
        observed = {name: [] for name in builds}
        for _ in range(options.observed_rounds):
            for name, path in builds.items():
                observed[name].append(run(path, "observed", 2))
        print()
        print("| observed pass, 20,000 x 200, max_q=0.05, n_jobs 2 | wall s | CPU s | pairs kept |")
        print("|---|---:|---:|---:|")
        for name in builds:
            w = min(o[0] for o in observed[name])
            c = min(o[1] for o in observed[name])
            print("| %s | %.2f | %.2f | %d |" % (name, w, c, observed[name][0][2]))
        if not options.no_wide:
            for name in builds:
                print(
                    "- %s: the observed pass takes %.1f float permutation passes of the same matrix (CPU), %.1f (wall)"
                    % (
                        name,
                        min(o[1] for o in observed[name]) / wide[name][1],
                        min(o[0] for o in observed[name]) / wide[name][0],
                    )
                )
    print("load average at the end: %.2f %.2f %.2f" % os.getloadavg())


if __name__ == "__main__":
    main()
