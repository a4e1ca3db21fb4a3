"""Accuracy of the correlations against double precision, before and after the rows are
prepared in float64: as given (the float32 values straight into the kernel), centred, and
standardised (the API's choice).

Run: .venv/bin/python bench/accuracy.py [--rows 300]   (about half a minute)
Writes bench/results/accuracy.md and prints the same table.

For random N(0, 1) data with no true difference between the groups, shifted by an offset
(in units of its standard deviation) and multiplied by a scale, about 1% of the pairs
should have p < 0.01. For the bundled leukemia subset (log2 intensities 3 to 13) only the
error of r counts.
"""
import argparse
import contextlib
import os
import sys
import time

import numpy as np

import corrshift
from corrshift import pipelines
from corrshift._inputs import scale_rows

PREPARATIONS = ("as given", "centre", "standardise")
HOW = {"as given": "none", "centre": "centre", "standardise": "standardise"}


def float64_r(values, columns):
    r = np.corrcoef(np.asarray(values, dtype=np.float64)[:, columns])
    return r[np.triu_indices(values.shape[0], 1)]


@contextlib.contextmanager
def quiet():
    """Send the native progress line (written to file descriptor 1) to /dev/null."""
    sys.stdout.flush()
    saved = os.dup(1)
    sink = os.open(os.devnull, os.O_WRONLY)
    try:
        os.dup2(sink, 1)
        yield
    finally:
        os.dup2(saved, 1)
        os.close(saved)
        os.close(sink)


def measure(values, n1, how):
    """r1, r2 and p-values of all pairs, with the rows prepared as `how` says."""
    sub = scale_rows(np.asarray(values, dtype=np.float64), HOW[how]).astype(np.float32)
    g1 = np.arange(n1, dtype=np.int32)
    g2 = np.arange(n1, values.shape[1], dtype=np.int32)
    with quiet():
        r1, r2, _, p, _ = pipelines._ztest_pipeline_exhaustive(sub, g1, g2, "pearson", "two-sided", 0, 2)
    ref1 = float64_r(values, np.arange(n1))
    ref2 = float64_r(values, np.arange(n1, values.shape[1]))
    diff = np.abs(np.concatenate([r1 - ref1, r2 - ref2]).astype(np.float64))
    error = float(np.max(np.where(np.isnan(diff), np.inf, diff)))  # NaN r counts as wrong
    bad = int(np.sum(~np.isfinite(r1)) + np.sum(~np.isfinite(r2)) + np.sum(r1 == -2) + np.sum(r2 == -2))
    return error, float(np.mean(p < 0.01)), bad


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--rows", type=int, default=300)
    args = parser.parse_args()
    started = time.perf_counter()
    rng = np.random.default_rng(2024)
    noise = rng.normal(size=(args.rows, 80))
    lines = ["| data | rows | " + " | ".join("{0}: max abs r error | {0}: p < 0.01 | {0}: NaN or -2".format(h)
                                            for h in PREPARATIONS) + " |",
             "|---|---:|" + "---:|---:|---:|" * len(PREPARATIONS)]
    cases = []
    for offset in (0.0, 1e3, 3e3, 1e6):
        for scale in (1e-20, 1.0, 1e19):
            cases.append(("N(0,1) + {:g}, x {:g}".format(offset, scale),
                          (scale * (offset + noise)).astype(np.float32), 40, True))
    ex = corrshift.load_example()
    order = np.argsort(ex.mol_biol != "BCR/ABL", kind="stable")  # BCR/ABL first, then NEG
    cases.append(("leukemia, all 2000 probe sets", ex.expression[:, order], 37, False))
    for name, values, n1, null in cases:
        cells = []
        for how in PREPARATIONS:
            error, share, bad = measure(values, n1, how)
            cells.append("{:.2g} | {} | {}".format(error, "{:.2%}".format(share) if null else "-", bad))
        lines.append("| {} | {} | {} |".format(name, values.shape[0], " | ".join(cells)))
    text = "\n".join(lines)
    print(text)
    out = os.path.join(os.path.dirname(os.path.abspath(__file__)), "results", "accuracy.md")
    with open(out, "w") as handle:
        handle.write("# Accuracy of r against float64, by row preparation\n\n`bench/accuracy.py`, "
                     "{} random rows x (40 + 40) samples, all 2000 rows x (37 + 42) samples of the leukemia data. 'NaN or -2': correlations that came out undefined.\n\n".format(args.rows))
        handle.write(text + "\n")
    print("{:.1f} s; wrote {}".format(time.perf_counter() - started, out))


if __name__ == "__main__":
    main()
