"""Accuracy of the correlations against double precision, before and after the rows are
prepared in float64: as given (the float32 values straight into the kernel), centred, and
standardised (what the API did before it standardised within each group); then the
native statistics against the API's on single-cell data (scanpy's pbmc68k_reduced: X,
its log-normalised values and their counts) and on noise.

Run: .venv-3.13/bin/python bench/accuracy.py [--rows 300]   (about a minute; the
single-cell table needs scanpy and SciPy, and is left out without them)
Writes bench/results/accuracy.md and prints the same tables.

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
from corrshift import _blocks, _inputs, pipelines
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


def native_and_api(values, first, second, method, alternative="two-sided"):
    """(r1, r2, p) of all pairs of `values` (rows kept by the API) with the native statistics
    over rows standardised over both groups (the API before), and with the API's."""
    columns = np.concatenate([first, second])
    g1 = np.arange(first.size, dtype=np.int32)
    g2 = np.arange(first.size, columns.size, dtype=np.int32)
    n = values.shape[0]
    before = scale_rows(np.asarray(values, dtype=np.float64)[:, columns]).astype(np.float32)
    matrix = _inputs.as_matrix(values)
    after = _inputs.screened_submatrix(matrix, _inputs.groups(matrix, first, second, False)).data
    out = []
    for sub, statistics in ((before, "native"), (after, "api")):
        r1, r2, _, p, _ = _blocks.ztest_block(
            sub, g1, g2, (0, n), (0, n), method, alternative, 0, 1, 2, statistics=statistics
        )
        out.append((r1, r2, p.astype(np.float64)))
    return out


def double_p(values, first, second, alternative):
    """The normal p-value of every pair from float64 correlations (Pearson)."""
    from scipy import stats

    bound = float(np.float32(0.99))
    d = np.arctanh(np.clip(float64_r(values, first), -bound, bound)) - np.arctanh(
        np.clip(float64_r(values, second), -bound, bound)
    )
    z = d / np.sqrt(1 / (first.size - 3) + 1 / (second.size - 3))
    return {"two-sided": 2 * stats.norm.sf(np.abs(z)), "greater": stats.norm.sf(z), "less": stats.norm.cdf(z)}[
        alternative
    ]


def single_cell_table():
    """Before (native statistics) and after (the API's) on pbmc68k_reduced and on noise."""
    try:
        import scanpy as sc
        from scipy import stats
    except ImportError:
        return None
    adata = sc.datasets.pbmc68k_reduced()
    labels = adata.obs["bulk_labels"].astype(str).to_numpy()
    first, second = np.flatnonzero(labels == "CD14+ Monocyte"), np.flatnonzero(labels == "Dendritic")
    log = adata.raw.X.toarray().T.astype(np.float32)
    ex = corrshift.load_example()
    cases = [
        ("pbmc X (scaled)", adata.X.T.astype(np.float32), first, second),
        ("pbmc log-normalised", log, first, second),
        ("pbmc counts (expm1 of log)", np.expm1(log).astype(np.float32), first, second),
        (
            "leukemia (dense)",
            ex.expression,
            np.flatnonzero(ex.mol_biol == "BCR/ABL"),
            np.flatnonzero(ex.mol_biol == "NEG"),
        ),
    ]
    rows = [
        "| data | statistics | max abs r - float64 | r outside [-1, 1] | p = 0 where double p > 1e-300 "
        "(two-sided, greater, less) | max abs Spearman r - SciPy | max Spearman r change, cells "
        "shuffled within groups |",
        "|---|---|---:|---:|---:|---:|---:|",
    ]
    rng = np.random.default_rng(18)
    for name, values, first, second in cases:
        matrix = _inputs.as_matrix(values)
        kept = _inputs.screened_submatrix(matrix, _inputs.groups(matrix, first, second, False)).kept
        x = values[kept]
        pear = native_and_api(x, first, second, "pearson")
        spear = native_and_api(x, first, second, "spearman")
        shuffled = np.concatenate([rng.permutation(first), rng.permutation(second)])
        again = native_and_api(x[:, shuffled], np.arange(first.size), np.arange(first.size, shuffled.size), "spearman")
        scipy_r1 = stats.spearmanr(x[:, first].astype(np.float64).T).correlation[np.triu_indices(x.shape[0], 1)]
        ref1, ref2 = float64_r(x, first), float64_r(x, second)
        for k, statistics in enumerate(("native", "API")):
            r1, r2, _ = pear[k]
            zeros = []
            for alternative in ("two-sided", "greater", "less"):
                p = native_and_api(x, first, second, "pearson", alternative)[k][2]
                zeros.append(int(np.sum((p == 0) & (double_p(x, first, second, alternative) > 1e-300))))
            error = max(np.abs(r1 - ref1).max(), np.abs(r2 - ref2).max())
            outside = int(np.sum(np.abs(r1) > 1) + np.sum(np.abs(r2) > 1))
            rows.append(
                "| {} ({} rows, {} + {} samples) | {} | {:.2g} | {} | {} | {:.3g} | {:.3g} |".format(
                    name,
                    x.shape[0],
                    first.size,
                    second.size,
                    statistics,
                    error,
                    outside,
                    ", ".join(map(str, zeros)),
                    np.abs(spear[k][0] - scipy_r1).max(),
                    np.abs(again[k][0] - spear[k][0]).max(),
                )
            )
    null = ["| group sizes | native: Spearman p < 0.01 | API: Spearman p < 0.01 |", "|---|---:|---:|"]
    for n1, n2 in ((37, 42), (129, 240), (10, 12)):
        noise = np.random.default_rng(n1).normal(size=(300, n1 + n2)).astype(np.float32)
        shares = [
            float(np.mean(p < 0.01))
            for _, _, p in native_and_api(noise, np.arange(n1), np.arange(n1, n1 + n2), "spearman")
        ]
        null.append("| {} + {} | {:.2%} | {:.2%} |".format(n1, n2, *shares))
    return (
        "\n".join(rows)
        + "\n\nNull share of Spearman p < 0.01 on N(0, 1) noise, 300 rows (44,850 pairs):\n\n"
        + "\n".join(null)
    )


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--rows", type=int, default=300)
    args = parser.parse_args()
    started = time.perf_counter()
    rng = np.random.default_rng(2024)
    noise = rng.normal(size=(args.rows, 80))
    lines = [
        "| data | rows | "
        + " | ".join("{0}: max abs r error | {0}: p < 0.01 | {0}: NaN or -2".format(h) for h in PREPARATIONS)
        + " |",
        "|---|---:|" + "---:|---:|---:|" * len(PREPARATIONS),
    ]
    cases = []
    for offset in (0.0, 1e3, 3e3, 1e6):
        for scale in (1e-20, 1.0, 1e19):
            cases.append(
                ("N(0,1) + {:g}, x {:g}".format(offset, scale), (scale * (offset + noise)).astype(np.float32), 40, True)
            )
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
        handle.write(
            "# Accuracy of r against float64, by row preparation\n\n`bench/accuracy.py`, "
            "{} random rows x (40 + 40) samples, all 2000 rows x (37 + 42) samples of the leukemia "
            "data. 'NaN or -2': correlations that came out undefined.\n\n".format(args.rows)
        )
        handle.write(text + "\n")
        cells = single_cell_table()
        if cells is not None:
            print(cells)
            handle.write(
                "\n# Single-cell and dense data: the native statistics and the API's\n\n"
                "scanpy's pbmc68k_reduced, CD14+ Monocyte (129 cells) vs Dendritic (240 cells), and the "
                "bundled leukemia data, BCR/ABL vs NEG; the rows the API keeps; 'native': the native statistics over rows standardised over "
                "both groups (what the API reported before), 'API': the API's statistics.\n\n"
            )
            handle.write(cells + "\n")
    print("{:.1f} s; wrote {}".format(time.perf_counter() - started, out))


if __name__ == "__main__":
    main()
