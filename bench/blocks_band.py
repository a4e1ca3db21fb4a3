"""Wall time of one band over all pairs (corrshift._blocks.ztest_block, as the in-process
engine runs it) against the public all-pairs z-test, on the bundled leukemia workload
(2000 probe sets, BCR/ABL against NEG), at the same job count.

Runs the two calls alternately, keeps each one's fastest run, checks that the band gives
the public call's values bit for bit, and prints the ratio band / public.

Usage: blocks_band.py [--permutations P] [--jobs J] [--repeats N] [--method M]
"""

import argparse
import contextlib
import os
import time

import numpy as np

import corrshift
from corrshift import _blocks, pipelines


@contextlib.contextmanager
def quiet_stdout():
    """The public call draws its progress line on file descriptor 1: send it away."""
    saved = os.dup(1)
    with open(os.devnull, "wb") as null:
        os.dup2(null.fileno(), 1)
        try:
            yield
        finally:
            os.dup2(saved, 1)
            os.close(saved)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--permutations", type=int, default=100)
    parser.add_argument("--jobs", type=int, default=2)
    parser.add_argument("--repeats", type=int, default=3)
    parser.add_argument("--method", default="pearson")
    options = parser.parse_args()

    example = corrshift.load_example()
    data = np.ascontiguousarray(example.expression, dtype=np.float32)
    g1 = np.flatnonzero(example.mol_biol == "BCR/ABL").astype(np.int32)
    g2 = np.flatnonzero(example.mol_biol == "NEG").astype(np.int32)
    n, p, jobs = data.shape[0], options.permutations, options.jobs

    def public():
        with quiet_stdout():
            return pipelines._ztest_pipeline_exhaustive(data, g1, g2, options.method, "two-sided", p, jobs)

    def band():
        return _blocks.ztest_block(data, g1, g2, (0, n), (0, n), options.method, "two-sided", 0, p + 1, jobs)

    best = {"public": float("inf"), "band": float("inf")}
    results = {}
    for _ in range(options.repeats):
        for name, call in (("public", public), ("band", band)):
            start = time.perf_counter()
            results[name] = call()
            best[name] = min(best[name], time.perf_counter() - start)
    want, got = results["public"], results["band"]
    for w, g in zip(want[:4], got[:4]):
        assert np.array_equal(w.view(np.uint32), g.view(np.uint32))
    assert np.array_equal((got[4].astype(np.float32) / np.float32(p)).astype(np.float32), want[4])
    print(
        "%d x %d, %s, %d permutations, n_jobs=%d, best of %d"
        % (n, data.shape[1], options.method, p, jobs, options.repeats)
    )
    print("public _ztest_pipeline_exhaustive: %.3f s" % best["public"])
    print("band ztest_block (0, n) x (0, n):  %.3f s" % best["band"])
    print("ratio band / public: %.3f" % (best["band"] / best["public"]))


if __name__ == "__main__":
    main()
