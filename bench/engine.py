"""The engine against the single all-pairs call, its throughput, and its memory at 20,000 rows.

    .venv/bin/python bench/engine.py [--permutations 200] [--skip-cluster] [--skip-memory]

(a) in this process vs one `_ztest_pipeline_exhaustive` call on the bundled leukemia subset
    (2000 probe sets, 37 BCR/ABL + 42 NEG samples), at the same thread count;
(b) a local cluster of 2 worker processes x 1 thread vs the single call with n_jobs=2;
(c) pair-passes per core-second, and what that means for 20,000 genes x 200 samples x 1000
    permutations here and on a 10-node x 32-core cluster;
(d) peak memory of a 20,000-row all-pairs run with max_q=0.05 (random data, few passes),
    measured in a child process.

The engine runs on the native block functions when the package has them, otherwise on the
exact pure-Python stand-in of the tests (say so in the table: its speed is not the
engine's). Writes bench/results/engine.md.
"""
import argparse
import contextlib
import os
import resource
import subprocess
import sys
import time
from typing import Any, Dict, Iterator, List

import numpy as np

import corrshift
from corrshift import _inputs, engine, pipelines, results

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)


def use_blocks() -> str:
    try:
        import corrshift._blocks  # noqa: F401
        return "native blocks (corrshift._blocks)"
    except ImportError:
        sys.path.insert(0, os.path.join(ROOT, "tests"))
        engine.BLOCKS = "blocks_reference"
        return "pure-Python stand-in (tests/blocks_reference.py), NOT the native blocks"


@contextlib.contextmanager
def quiet_stdout() -> Iterator[None]:
    """The public pipelines draw their progress line on fd 1; keep it out of the timings' output."""
    sys.stdout.flush()
    saved = os.dup(1)
    null = os.open(os.devnull, os.O_WRONLY)
    os.dup2(null, 1)
    try:
        yield
    finally:
        os.dup2(saved, 1)
        os.close(null)
        os.close(saved)


def reference_problem(permutations: int) -> engine.Problem:
    ex = corrshift.load_example()
    matrix = _inputs.as_matrix(ex.expression, ex.probes, ex.samples)
    grp = _inputs.groups(matrix, "BCR/ABL", "NEG", False, ex.mol_biol)
    first, second = _inputs.local_groups(grp.first.size, grp.second.size)
    return engine.Problem("all", _inputs.submatrix(matrix, grp), first, second, matrix.row_names, "pearson",
                          "two-sided", permutations, labels=(grp.label1, grp.label2))


def single_call_table(problem: engine.Problem, threads: int) -> Any:
    """The same table from one all-pairs call, as the public function built it before the engine."""
    P = problem.permutations
    r1, r2, z, p, share = pipelines._ztest_pipeline_exhaustive(problem.data, problem.first, problem.second,
                                                               "pearson", "two-sided", P, threads)
    index1, index2 = engine.band_pairs(0, problem.nrows - 1, problem.nrows)
    perm_p = results.permutation_pvalues(results.exceedance_counts(share, P), P, z)
    return results.PairResult(problem.names, index1, index2, r1, r2, z, p, perm_p, problem.first.size,
                              problem.second.size, "pearson", "two-sided", P)


def timed(fn: Any, repeat: int = 3) -> float:
    best = float("inf")
    for _ in range(repeat):
        start = time.perf_counter()
        fn()
        best = min(best, time.perf_counter() - start)
    return best


def block_time(fn: Any) -> Dict[str, float]:
    """Wall time of `fn` and the part of it spent inside the tasks (block calls and tile summaries)."""
    inside = [0.0]
    real = engine.run_task

    def counted(*args: Any, **kwargs: Any) -> Any:
        start = time.perf_counter()
        try:
            return real(*args, **kwargs)
        finally:
            inside[0] += time.perf_counter() - start

    engine.run_task = counted
    try:
        start = time.perf_counter()
        fn()
        return {"wall": time.perf_counter() - start, "blocks": inside[0]}
    finally:
        engine.run_task = real


def memory_child(rows: int, cols: int, permutations: int) -> None:
    use_blocks()
    rng = np.random.default_rng(0)
    data = rng.normal(size=(rows, cols)).astype(np.float32)
    half = cols // 2
    start = time.perf_counter()
    with quiet_stdout():
        result = corrshift.ztest(data, list(range(half)), list(range(half, cols)), permutations=permutations,
                                 max_q=0.05, progress=False)
    print("{} {} {:.1f}".format(resource.getrusage(resource.RUSAGE_SELF).ru_maxrss, len(result),
                                time.perf_counter() - start))


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--permutations", type=int, default=200)
    parser.add_argument("--skip-cluster", action="store_true")
    parser.add_argument("--skip-memory", action="store_true")
    parser.add_argument("--results", default="engine.md", help="file name under bench/results/")
    parser.add_argument("--note", default="", help="a line to add under the title, e.g. where the blocks came from")
    parser.add_argument("--memory-child", nargs=3, type=int, metavar=("ROWS", "COLS", "PERMUTATIONS"),
                        help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.memory_child:
        memory_child(*args.memory_child)
        return 0

    source = use_blocks()
    P = args.permutations
    problem = reference_problem(P)
    pairs = problem.item_count()
    passes = P + 1
    lines: List[str] = ["# Engine benchmark", ""] + ([args.note, ""] if args.note else []) + [
                        "Blocks: {}. Workload: {} probe sets x {} + {} samples, {} permutations ({:,} pairs, "
                        "{} passes). Best of 3 runs.".format(source, problem.nrows, problem.first.size,
                                                             problem.second.size, P, pairs, passes), ""]
    rows = ["| case | threads | single call s | engine s | inside tasks s | engine / single call |",
            "|---|---:|---:|---:|---:|---:|"]
    engine_seconds = {}
    for threads in (1, 2):
        # Interleaved, best of 3: the machine's load drifts while the runs go on.
        single, public, runs = float("inf"), float("inf"), []
        with quiet_stdout():
            for _ in range(3):
                single = min(single, timed(lambda: pipelines._ztest_pipeline_exhaustive(
                    problem.data, problem.first, problem.second, "pearson", "two-sided", P, threads), 1))
                public = min(public, timed(lambda: single_call_table(problem, threads), 1))
                runs.append(block_time(lambda: engine.run(problem, n_jobs=threads, progress=False)))
        best = min(runs, key=lambda t: t["wall"])
        engine_seconds[threads] = best["wall"]
        rows.append("| (a) in-process engine (table with q-values) | {} | {:.2f} | {:.2f} | {:.2f} | {:.2f}x |".format(
            threads, single, best["wall"], best["blocks"], best["wall"] / single))
        rows.append("| for comparison: the single call and the same table built from it | {} | {:.2f} | {:.2f} | | "
                    "{:.2f}x |".format(threads, single, public, public / single))
        print("\n".join(rows[-2:]), flush=True)
        if threads == 2:
            single2 = single
    if not args.skip_cluster:
        with quiet_stdout(), engine.local_cluster(2, threads=1) as client:
            engine.run(problem, client=client, progress=False)  # workers warm: data and imports
            cluster = float("inf")
            for _ in range(3):
                cluster = min(cluster, timed(lambda: engine.run(problem, client=client, progress=False), 1))
                single2 = min(single2, timed(lambda: pipelines._ztest_pipeline_exhaustive(
                    problem.data, problem.first, problem.second, "pearson", "two-sided", P, 2), 1))
        rows.append("| (b) local cluster, 2 workers x 1 thread | 2 | {:.2f} | {:.2f} | | {:.2f}x |".format(
            single2, cluster, cluster / single2))
        print(rows[-1], flush=True)
    lines += rows + [""]

    # (c) Throughput, scaled by columns: a pass costs about pairs x samples.
    rate = pairs * passes / (engine_seconds[2] * 2)
    per_sample = rate * (problem.first.size + problem.second.size)
    big_pairs, big_passes, big_samples = 20000 * 19999 // 2, 1001, 200
    work = big_pairs * big_passes * big_samples / per_sample
    lines += ["| (c) throughput | value |", "|---|---:|",
              "| pair-passes per core-second ({} samples) | {:,.0f} |".format(
                  problem.first.size + problem.second.size, rate),
              "| projected: 20,000 genes x 200 samples x 1000 permutations, this machine (2 cores) | {:.1f} h |"
              .format(work / 2 / 3600),
              "| projected: the same on 10 nodes x 32 cores | {:.1f} min |".format(work / 320 / 60), ""]
    print("\n".join(lines[-5:]), flush=True)

    if not args.skip_memory:
        child = subprocess.run([sys.executable, os.path.abspath(__file__), "--memory-child", "20000", "40", "2"],
                               check=True, stdout=subprocess.PIPE, universal_newlines=True)
        maxrss_kb, kept, seconds = child.stdout.split()[-3:]
        lines += ["| (d) memory | value |", "|---|---:|",
                  "| 20,000 rows x 40 samples, all 199,990,000 pairs, 2 permutations, max_q=0.05: peak RSS | "
                  "{:.0f} MiB |".format(int(maxrss_kb) / 1024),
                  "| entries kept / run time | {} / {} s |".format(kept, seconds), ""]
        print("\n".join(lines[-4:]), flush=True)
    os.makedirs(os.path.join(HERE, "results"), exist_ok=True)
    with open(os.path.join(HERE, "results", args.results), "w") as fh:
        fh.write("\n".join(lines))
    return 0


if __name__ == "__main__":
    sys.exit(main())
