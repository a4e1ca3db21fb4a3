"""Memory per pair of the all-pairs test through the API: the peak resident memory a call
adds, and what the returned table keeps, for several row counts.

Run: .venv/bin/python bench/memory.py   (about a minute)
Writes bench/results/memory.md and prints the same table.

Each measurement runs in a fresh process: the peak resident set size (ru_maxrss) after the
call minus the resident size just before it, divided by the number of pairs. The slope
between the two largest sizes is the figure the docs quote (it leaves out fixed costs).
"""

import json
import os
import subprocess
import sys

HERE = os.path.dirname(os.path.abspath(__file__))

CHILD = r"""
import json, os, resource, sys
import numpy as np
import corrshift

def rss():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")

rows = int(sys.argv[1])
rng = np.random.default_rng(0)
data = rng.normal(size=(rows, 79)).astype(np.float32)
groups = np.array(["a"] * 37 + ["b"] * 42)
before = rss()
res = corrshift.ztest(data, "a", "b", groupby=groups, permutations=2, n_jobs=2)
peak = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss * 1024
kept = sum(a.nbytes for a in (res.index1, res.index2, res.r1, res.r2, res.p1, res.p2, res.class_code,
                              res.z_diff, res.p_value, res.q_value, res.perm_p, res.perm_q))
print(json.dumps({"rows": rows, "pairs": len(res), "added": peak - before, "kept": kept}))
"""


def measure(rows: int) -> dict:
    out = subprocess.run(
        [sys.executable, "-c", CHILD, str(rows)],
        check=True,
        stdout=subprocess.PIPE,
        stderr=subprocess.DEVNULL,
        universal_newlines=True,
    ).stdout
    return json.loads(out.strip().splitlines()[-1])


def main() -> None:
    results = [measure(rows) for rows in (1000, 2000, 4000)]
    lines = [
        "| rows | pairs | peak added, MB | bytes/pair at peak | kept by the result, bytes/pair |",
        "|---:|---:|---:|---:|---:|",
    ]
    for r in results:
        lines.append(
            "| {} | {:,} | {:.0f} | {:.1f} | {:.1f} |".format(
                r["rows"], r["pairs"], r["added"] / 1e6, r["added"] / r["pairs"], r["kept"] / r["pairs"]
            )
        )
    a, b = results[-2], results[-1]
    slope = (b["added"] - a["added"]) / (b["pairs"] - a["pairs"])
    lines.append("")
    lines.append("Peak bytes per additional pair ({} to {} rows): {:.1f}".format(a["rows"], b["rows"], slope))
    text = "\n".join(lines)
    print(text)
    with open(os.path.join(HERE, "results", "memory.md"), "w") as out:
        out.write(
            "# Memory of the all-pairs test\n\n`bench/memory.py`: `corrshift.ztest` over all pairs of "
            "random float32 rows x (37 + 42) samples, 2 permutations.\n\n" + text + "\n"
        )


if __name__ == "__main__":
    main()
