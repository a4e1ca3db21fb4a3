"""Two builds of corrshift side by side on this machine: seconds per permutation pass of the
all-pairs pipelines on the reference workload, and of the 20,000 x 200 Pearson z-test.

    python bench/compare.py OLD_DIR NEW_DIR

Each directory holds an importable `corrshift` package (an installed site-packages, or a
source tree's src/ with the compiled modules copied next to the package files). Every
measurement runs in a fresh process, the two builds alternating, five rounds; a cell is the
median of its rounds. A pass is (time with 20 passes - time with 0) / 20, in wall time and
in the process's CPU time (all threads), which other users of the machine disturb less; the
20,000 x 200 pass is timed by the all-pairs block's progress calls, as bench/run.py does.
The load average is printed before and after.
"""

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
from corrshift import _blocks, pipelines
case, jobs = sys.argv[2], int(sys.argv[3])
if case == "wide":
    data = np.random.default_rng(20).normal(size=(20000, 200)).astype(np.float32)
    g1, g2 = np.arange(100, dtype=np.int32), np.arange(100, 200, dtype=np.int32)
    stamps = [time.perf_counter()]
    _blocks.ztest_block(data, g1, g2, (0, 20000), (0, 20000), "pearson", "two-sided", 0, 4, jobs,
                        progress=lambda done: stamps.append(time.perf_counter()))
    print(json.dumps([statistics.median(b - a for a, b in zip(stamps[1:], stamps[2:])), None]))
    sys.exit()
path = os.path.join(os.path.dirname(corrshift.__file__), "data", "all_leukemia_bcrabl_neg.npz")
with np.load(path, allow_pickle=True) as archive:
    data = np.ascontiguousarray(archive["expression"], np.float32)
    groups = archive["mol_biol"]
g1 = np.flatnonzero(groups == "BCR/ABL").astype(np.int32)
g2 = np.flatnonzero(groups == "NEG").astype(np.int32)

def call(passes):
    if case in ("pearson", "spearman"):
        return pipelines._ztest_pipeline_exhaustive(data, g1, g2, case, "two-sided", passes, jobs)
    return pipelines._score_pipeline_exhaustive(data, g1, g2, "pearson", case, "two-sided", passes, jobs)

saved, null = os.dup(1), os.open(os.devnull, os.O_WRONLY)
os.dup2(null, 1)  # the progress line
call(1)
clocks = []
for passes in (0, 20):
    clocks.append((time.perf_counter(), time.process_time()))
    call(passes)
clocks.append((time.perf_counter(), time.process_time()))
os.dup2(saved, 1)
(w0, c0), (w1, c1), (w2, c2) = clocks
print(json.dumps([((w2 - w1) - (w1 - w0)) / 20, ((c2 - c1) - (c1 - c0)) / 20]))
"""


def run(path, case, jobs):
    out = subprocess.run(
        [sys.executable, "-c", CHILD, path, case, str(jobs)],
        stdout=subprocess.PIPE,
        universal_newlines=True,
        check=True,
    ).stdout
    return json.loads(out.strip().splitlines()[-1])


def main():
    builds = {"old": sys.argv[1], "new": sys.argv[2]}
    cells = [(case, jobs) for case in ("pearson", "spearman", "mean", "median") for jobs in (1, 2)]
    print("load average at the start: %.2f" % os.getloadavg()[0])
    samples = {}
    for _ in range(5):
        for case, jobs in cells:
            for name, path in builds.items():
                samples.setdefault((case, jobs, name), []).append(run(path, case, jobs))
    print("| pass | n_jobs | old s/pass | new s/pass | speed-up | old CPU s/pass | new CPU s/pass | CPU speed-up |")
    print("|---|---:|---:|---:|---:|---:|---:|---:|")
    for case, jobs in cells:
        (old, old_cpu), (new, new_cpu) = (
            [statistics.median(s[k] for s in samples[(case, jobs, name)]) for k in (0, 1)] for name in builds
        )
        print(
            "| %s | %d | %.4f | %.4f | %.2fx | %.4f | %.4f | %.2fx |"
            % (case, jobs, old, new, old / new, old_cpu, new_cpu, old_cpu / new_cpu)
        )
    wide = {name: run(path, "wide", 2)[0] for name, path in builds.items()}
    print(
        "| 20,000 x 200 Pearson | 2 | %.3f | %.3f | %.2fx | | | |"
        % (wide["old"], wide["new"], wide["old"] / wide["new"])
    )
    print("load average at the end: %.2f" % os.getloadavg()[0])


if __name__ == "__main__":
    main()
