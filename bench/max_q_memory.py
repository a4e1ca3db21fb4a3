"""Peak memory of an all-pairs z-test filtered by max_q, and the same q-values bit for bit.

    python bench/max_q_memory.py [--rows N] [--max-q Q] [--permutations P] [--python PY ...]
                                 [--limit-as BYTES] [--parquet]

Made data (N rows, default 30,000, x 80 samples, 40 + 40; the first 200 rows share a strong
signal in group 1, so that their 19,900 pairs are reported, and the rest are noise), all pairs, ``max_q=Q`` (default 0.05), P permutations
(default 100), n_jobs 2. Each interpreter given with ``--python`` (default: this one) runs
the call in a fresh process; the table reports its wall time, its peak resident memory
(ru_maxrss) and the pairs reported, and checks that every run gives the same table (every
column, bit for bit). ``--limit-as`` runs the call under that address-space limit
(``ulimit -v``, in bytes) and reports how it ended; ``--parquet`` writes the pairs to a
Parquet folder (``out=``).
"""

import argparse
import json
import os
import platform
import subprocess
import sys
import tempfile

CHILD = r"""
import json, resource, sys, time
import numpy as np
rows, max_q, permutations, path, limit = int(sys.argv[1]), float(sys.argv[2]), int(sys.argv[3]), sys.argv[4], int(sys.argv[5])
out = sys.argv[6] or None
if limit:
    resource.setrlimit(resource.RLIMIT_AS, (limit, limit))
import corrshift
rng = np.random.default_rng(3)
x = rng.normal(size=(rows, 80)).astype(np.float32)
x[:200, :40] += 3 * np.random.default_rng(4).normal(size=40).astype(np.float32)
start = time.perf_counter()
try:
    res = corrshift.ztest(x, np.arange(40), np.arange(40, 80), permutations=permutations, max_q=max_q, n_jobs=2,
                          progress=False, out=out)
except Exception as exc:
    print(json.dumps({"wall": time.perf_counter() - start, "error": "{}: {}".format(type(exc).__name__, exc),
                      "rss": resource.getrusage(resource.RUSAGE_SELF).ru_maxrss * 1024}))
    sys.exit(0)
wall = time.perf_counter() - start
np.savez(path, **{name: res.column(name) for name in res.columns if res.column(name).dtype.kind != "O"})
print(json.dumps({"wall": wall, "rss": resource.getrusage(resource.RUSAGE_SELF).ru_maxrss * 1024, "kept": len(res)}))
"""


def processor() -> str:
    try:
        with open("/proc/cpuinfo") as fh:
            for line in fh:
                if line.startswith("model name"):
                    return line.split(":", 1)[1].strip()
    except OSError:
        pass
    return platform.processor() or "unknown"


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--rows", type=int, default=30000)
    parser.add_argument("--max-q", default="0.05")
    parser.add_argument("--permutations", type=int, default=100)
    parser.add_argument("--python", action="append", help="interpreter to run (repeat to compare builds)")
    parser.add_argument("--limit-as", type=int, default=0, help="address-space limit of the call, bytes")
    parser.add_argument("--parquet", action="store_true", help="write the pairs to a Parquet folder (out=)")
    args = parser.parse_args()
    pythons = args.python or [sys.executable]
    import numpy as np

    print("processor:", processor())
    print("load average before: {:.2f} {:.2f} {:.2f}".format(*os.getloadavg()))
    found = []
    with tempfile.TemporaryDirectory() as folder:
        for k, python in enumerate(pythons):
            path = os.path.join(folder, "{}.npz".format(k))
            parquet = os.path.join(folder, "{}.parquet".format(k)) if args.parquet else ""
            out = subprocess.run(
                [
                    python,
                    "-c",
                    CHILD,
                    str(args.rows),
                    args.max_q,
                    str(args.permutations),
                    path,
                    str(args.limit_as),
                    parquet,
                ],
                check=True,
                capture_output=True,
                text=True,
            )
            result = json.loads(out.stdout.strip().splitlines()[-1])
            if "error" not in result:
                with np.load(path) as archive:
                    result["table"] = {k: archive[k] for k in archive.files}
            found.append((python, result))
    print("load average after: {:.2f} {:.2f} {:.2f}".format(*os.getloadavg()))
    tables = [r["table"] for _, r in found if "table" in r]
    same = all(
        t.keys() == tables[0].keys()
        and all(np.array_equal(t[k].view(np.uint8), tables[0][k].view(np.uint8)) for k in t)
        for t in tables[1:]
    )
    if len(tables) > 1:
        print("tables the same, every column bit for bit:", same)
    print()
    limit = " under an address-space limit of {:,} bytes".format(args.limit_as) if args.limit_as else ""
    limit += ", Parquet output" if args.parquet else ""
    print(
        "| {:,} rows x 80, {:,} pairs, max_q={}, {} permutations{} | wall s | peak memory MB | pairs reported |".format(
            args.rows, args.rows * (args.rows - 1) // 2, args.max_q, args.permutations, limit
        )
    )
    print("|---|---|---|---|")
    for python, r in found:
        ended = "{:,}".format(r["kept"]) if "kept" in r else "refused or failed: " + r["error"]
        print("| {} | {:.1f} | {:.0f} | {} |".format(python, r["wall"], r["rss"] / 1e6, ended))
    if not same:
        sys.exit(1)


if __name__ == "__main__":
    main()
