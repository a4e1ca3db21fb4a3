"""CPU and wall time of the API statistics' observed pass (double precision) of one
z-test block over all pairs: corrshift._blocks.ztest_block with statistics="api" and the
pass range [0, 1), so that no permutation pass runs.

Workloads: made data (4000 rows x 100 + 100 samples, normal noise with some shared
factors) and the bundled leukemia data (2000 probe sets, 37 + 42 samples); n_jobs 1 and 2.
Each run's fastest of --repeats is kept. --save PATH writes the outputs, --check PATH
compares them bit for bit with a saved file (so a faster kernel can be checked).

Usage: observed_pass.py [--repeats N] [--jobs 1,2] [--save PATH | --check PATH]
"""

import argparse
import time

import numpy as np

import corrshift
from corrshift import _blocks


def made_data(rows=4000, columns=200, seed=7):
    rng = np.random.default_rng(seed)
    factors = rng.standard_normal((5, columns))
    loadings = rng.standard_normal((rows, 5)) * 0.7
    data = loadings @ factors + rng.standard_normal((rows, columns))
    half = columns // 2
    return (data.astype(np.float32), np.arange(half, dtype=np.int32), np.arange(half, columns, dtype=np.int32))


def leukemia():
    example = corrshift.load_example()
    data = np.ascontiguousarray(example.expression, dtype=np.float32)
    g1 = np.flatnonzero(example.mol_biol == "BCR/ABL").astype(np.int32)
    g2 = np.flatnonzero(example.mol_biol == "NEG").astype(np.int32)
    return data, g1, g2


def observed(data, g1, g2, jobs, method):
    n = data.shape[0]
    return _blocks.ztest_block(data, g1, g2, (0, n), (0, n), method, "two-sided", 0, 1, jobs, statistics="api")


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--repeats", type=int, default=3)
    parser.add_argument("--jobs", default="1,2")
    parser.add_argument("--method", default="pearson")
    parser.add_argument("--save")
    parser.add_argument("--check")
    options = parser.parse_args()
    workloads = {"made 4000 x 100+100": made_data(), "leukemia 2000 x 37+42": leukemia()}
    saved = {}
    reference = np.load(options.check) if options.check else None
    print("| workload | pairs | n_jobs | CPU s | wall s | us CPU per pair |")
    print("|---|---:|---:|---:|---:|---:|")
    for w, (name, (data, g1, g2)) in enumerate(workloads.items()):
        pairs = data.shape[0] * (data.shape[0] - 1) // 2
        for jobs in (int(j) for j in options.jobs.split(",")):
            best_cpu = best_wall = float("inf")
            for _ in range(options.repeats):
                cpu, wall = time.process_time(), time.perf_counter()
                result = observed(data, g1, g2, jobs, options.method)
                best_cpu = min(best_cpu, time.process_time() - cpu)
                best_wall = min(best_wall, time.perf_counter() - wall)
            for k, array in enumerate(result[:4]):
                key = "w%d_%d" % (w, k)
                saved[key] = array
                if reference is not None:
                    bits = array.view(np.uint32 if array.dtype == np.float32 else np.uint64)
                    want = reference[key].view(bits.dtype)
                    assert np.array_equal(bits, want), "%s output %d differs" % (name, k)
            print(
                "| %s | %d | %d | %.2f | %.2f | %.4f |"
                % (name, pairs, jobs, best_cpu, best_wall, 1e6 * best_cpu / pairs)
            )
    if options.save:
        np.savez(options.save, **saved)
    if reference is not None:
        print("outputs identical bit for bit to %s" % options.check)


if __name__ == "__main__":
    main()
