"""Time to write the demo's pair table (all 1,999,000 pairs of the bundled data) as TSV and
as gzip-compressed TSV, with the current writer and with the previous one (the result
module of commit 6bec02b, loaded from git), and check that both write the same text for
the columns they share.

Run: .venv/bin/python bench/tsv_write.py [--skip-old]   (about two minutes with the old writer)
Writes bench/results/tsv_write.md and prints the same table.
"""

import argparse
import gzip
import importlib.util
import os
import subprocess
import sys
import tempfile
import time

import numpy as np

import corrshift

HERE = os.path.dirname(os.path.abspath(__file__))
OLD_COMMIT = "6bec02b"
SHARED = ("row1", "row2", "r1", "r2", "z_diff", "p_value", "q_value", "n1", "n2")


def old_results_module():
    source = subprocess.run(
        ["git", "show", OLD_COMMIT + ":src/corrshift/results.py"], cwd=HERE, check=True, stdout=subprocess.PIPE
    ).stdout
    path = os.path.join(tempfile.mkdtemp(), "old_results.py")
    with open(path, "wb") as out:
        out.write(source)
    spec = importlib.util.spec_from_file_location("old_results", path)
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)  # type: ignore[union-attr]
    return module


def timed(write, path):
    start = time.perf_counter()
    write(path)
    return time.perf_counter() - start, os.path.getsize(path)


def shared_columns(path, skip):
    opener = gzip.open if path.endswith(".gz") else open
    with opener(path, "rt") as handle:
        lines = handle.read().splitlines()[skip:]
    header = lines[0].split("\t")
    keep = [header.index(c) for c in SHARED]
    return [tuple(line.split("\t")[k] for k in keep) for line in lines[1:]]


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--skip-old", action="store_true", help="time only the current writer")
    args = parser.parse_args()
    ex = corrshift.load_example()
    pairs = corrshift.ztest(
        ex.expression,
        "BCR/ABL",
        "NEG",
        groupby=ex.mol_biol,
        permutations=10,
        row_names=ex.probes,
        column_names=ex.samples,
    )
    # The table makes p1, p2, class, q_value and perm_q on first use; the first write of a
    # fresh table pays for them once. Timed on their own, so that the rows below are the writer.
    start = time.perf_counter()
    for name in ("p1", "p2", "class_code", "q_value", "perm_q"):
        getattr(pairs, name)
    columns_seconds = time.perf_counter() - start
    folder = tempfile.mkdtemp()
    rows = []
    old = None if args.skip_old else old_results_module()
    for suffix in (".tsv", ".tsv.gz"):
        for sort in (True, False):
            new_path = os.path.join(folder, "new" + suffix)
            seconds, size = timed(lambda p: pairs.to_tsv(p, sort=sort), new_path)
            rows.append(("current", suffix, sort, seconds, size))
            if old is None:
                continue
            table = old.PairResult(
                pairs.names,
                pairs.index1,
                pairs.index2,
                [pairs.r1, pairs.r2, pairs.z_diff, pairs.p_value, pairs.perm_p],
                pairs.n1,
                pairs.n2,
                pairs.method,
                pairs.alternative,
                pairs.permutations,
                pairs.q_value,
                pairs.perm_q,
            )
            old_path = os.path.join(folder, "old" + suffix)
            seconds, size = timed(lambda p: table.to_tsv(p, sort=sort), old_path)
            rows.append(("previous ({})".format(OLD_COMMIT), suffix, sort, seconds, size))
            if not sort:  # the same order: compare the text
                if shared_columns(new_path, 1) != shared_columns(old_path, 0):
                    sys.exit("the writers differ in the shared columns " + ", ".join(SHARED))
                print("{}: same text in the shared columns".format(suffix), file=sys.stderr)
    lines = ["| writer | file | sorted | seconds | MB |", "|---|---|---|---:|---:|"]
    lines += [
        "| {} | {} | {} | {:.1f} | {:.0f} |".format(w, f, "yes" if o else "no", s, b / 1e6) for w, f, o, s, b in rows
    ]
    text = "\n".join(lines)
    text += (
        "\n\nMaking the columns that the table makes on first use (p1, p2, class, q_value, perm_q) "
        "took {:.1f} s before the first write; a fresh table's first write pays it once.".format(columns_seconds)
    )
    print(text)
    with open(os.path.join(HERE, "results", "tsv_write.md"), "w") as out:
        out.write(
            "# Writing the demo's {:,} pairs as TSV\n\n`bench/tsv_write.py`, {} columns, "
            "`to_tsv(path)` (sorted, the default) and `to_tsv(path, sort=False)`; the current writer compresses at gzip level 1, the previous one at 3.\n\n{}\n".format(
                len(pairs), len(pairs.columns), text
            )
        )


if __name__ == "__main__":
    main()
