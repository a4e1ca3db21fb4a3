"""Exact q-values with max_p only: the counts of every distinct p-value merged in memory,
against the same counts kept in files and swept in ranges.

    python bench/spilled_counts.py [ROWS [MAX_P [files]]]

Made data (ROWS rows, default 6,000, x 80 samples, 40 + 40), all pairs, max_p=MAX_P (default
0.01), no permutations, n_jobs 2. Each way runs in a fresh process; the table reports its
wall time and its peak resident memory (ru_maxrss, which counts memory-mapped file pages
too), and checks that the q-values are the same, bit for bit. With ``files`` only the
counts in files are run (for sizes whose counts would not fit in memory).
"""

import json
import os
import subprocess
import sys
import tempfile

CHILD = r"""
import json, resource, sys, time
import numpy as np
import corrshift
from corrshift import engine
rows, spill, path, max_p = int(sys.argv[1]), sys.argv[2] == "files", sys.argv[3], float(sys.argv[4])
if spill:
    engine._available_memory = lambda: 10000  # too little to merge the counts: files
x = np.random.default_rng(3).normal(size=(rows, 80)).astype(np.float32)
x[:200, :40] += np.random.default_rng(4).normal(size=40).astype(np.float32)
start = time.perf_counter()
res = corrshift.ztest(x, np.arange(40), np.arange(40, 80), permutations=0, max_p=max_p, n_jobs=2, progress=False)
wall = time.perf_counter() - start
np.save(path, res.q_value)
print(json.dumps({"wall": wall, "rss": resource.getrusage(resource.RUSAGE_SELF).ru_maxrss * 1024, "kept": len(res)}))
"""


def main() -> None:
    rows = int(sys.argv[1]) if len(sys.argv) > 1 else 6000
    max_p = sys.argv[2] if len(sys.argv) > 2 else "0.01"
    ways = ("files",) if sys.argv[3:] == ["files"] else ("memory", "files")
    import numpy as np

    print("load average before: {:.2f} {:.2f} {:.2f}".format(*os.getloadavg()))
    found = {}
    with tempfile.TemporaryDirectory() as folder:
        for way in ways:
            path = os.path.join(folder, way + ".npy")
            out = subprocess.run(
                [sys.executable, "-c", CHILD, str(rows), way, path, max_p], check=True, capture_output=True, text=True
            ).stdout
            found[way] = json.loads(out.strip().splitlines()[-1])
            found[way]["q"] = np.load(path)
    same = "memory" not in found or np.array_equal(
        found["memory"]["q"].view(np.uint64), found["files"]["q"].view(np.uint64)
    )
    print("load average after: {:.2f} {:.2f} {:.2f}".format(*os.getloadavg()))
    if "memory" in found:
        print("q-values the same, bit for bit:", same)
    print()
    print(
        "| {:,} rows, {:,} pairs, max_p={} | wall s | peak memory MB | pairs kept |".format(
            rows, rows * (rows - 1) // 2, max_p
        )
    )
    print("|---|---|---|---|")
    for way, label in (("memory", "counts merged in memory"), ("files", "counts in files, swept in ranges")):
        if way not in found:
            continue
        f = found[way]
        print("| {} | {:.1f} | {:.0f} | {:,} |".format(label, f["wall"], f["rss"] / 1e6, f["kept"]))
    if not same:
        sys.exit(1)


if __name__ == "__main__":
    main()
