"""The demo: differential co-expression in BCR/ABL versus NEG B-lineage leukemia.

``corrshift demo`` (or :func:`run`) tests all pairs of the 2000 most variable probe sets
of the bundled data between the 37 BCR/ABL and the 42 NEG samples, scores every probe
set against all others, prints the top 15 of each and writes the full tables, the input
as TSV and a figure into an output folder.
"""

import contextlib
import gzip
import math
import os
import sys
import time
from typing import IO, Any, Callable, ContextManager, List, Optional

import numpy as np

from .api import Example, load_example, row_scores, ztest
from .results import PairResult

GROUP1, GROUP2 = "BCR/ABL", "NEG"
#: Permutation passes of the pair test and of the row scores; a row-score pass costs more
#: than a pair-test pass (it also sorts every row's pairs).
PAIR_PERMUTATIONS, ROW_PERMUTATIONS = 1000, 200
#: Pair columns shown on screen; the TSV has them all.
PAIR_SHOWN = ("row1", "row2", "r1", "r2", "class", "z_diff", "p_robust", "q_robust", "p_how", "p_value", "q_value", "perm_p")


def _write_inputs(example: Example, folder: str) -> None:
    # Nine significant digits give back every float32 value exactly.
    with gzip.open(
        os.path.join(folder, "expression.tsv.gz"), "wt", encoding="utf-8", newline="", compresslevel=6
    ) as out:
        out.write("probe\t" + "\t".join(example.samples.tolist()) + "\n")
        line = "%s" + "\t%.9g" * example.expression.shape[1] + "\n"
        for name, row in zip(example.probes.tolist(), example.expression.tolist()):
            out.write(line % ((name,) + tuple(row)))
    with open(os.path.join(folder, "samples.tsv"), "w", encoding="utf-8", newline="") as out:
        out.write("sample\tmol_biol\tbt\n")
        for row in zip(example.samples.tolist(), example.mol_biol.tolist(), example.bt.tolist()):
            out.write("\t".join(row) + "\n")


def figure(pairs: PairResult, example: Example, path: str) -> None:
    """Scatter plots of the three most significant pairs in both groups, and the observed
    z_diff against their normal null. Needs matplotlib."""
    from matplotlib.backends.backend_agg import FigureCanvasAgg  # type: ignore[import]
    from matplotlib.figure import Figure  # type: ignore[import]

    first = example.mol_biol == GROUP1
    second = example.mol_biol == GROUP2
    colours = {GROUP1: "#d95f02", GROUP2: "#1b9e77"}
    fig = Figure(figsize=(13, 8.5), dpi=100)
    FigureCanvasAgg(fig)
    grid = fig.add_gridspec(2, 3, height_ratios=[1, 0.9], hspace=0.38, wspace=0.28)
    best = pairs.top(3)
    for k in range(len(best)):
        ax = fig.add_subplot(grid[0, k])
        i, j = int(best.index1[k]), int(best.index2[k])
        for mask, label, r in ((first, GROUP1, best.r1[k]), (second, GROUP2, best.r2[k])):
            x = example.expression[i, mask].astype(np.float64)
            y = example.expression[j, mask].astype(np.float64)
            ax.scatter(x, y, s=18, alpha=0.75, color=colours[label], label="{}  r = {:.2f}".format(label, r))
            slope, intercept = np.polyfit(x, y, 1)
            xs = np.linspace(x.min(), x.max(), 2)
            ax.plot(xs, slope * xs + intercept, color=colours[label], linewidth=1.5)
        ax.set_xlabel(example.probes[i] + " (log2 expression)")
        ax.set_ylabel(example.probes[j] + " (log2 expression)")
        ax.set_title(
            "#{}: z_diff = {:.2f}, p_robust = {:.1e}".format(k + 1, best.z_diff[k], best.p_robust[k]), fontsize=10
        )
        ax.legend(fontsize=8, loc="best", frameon=False)

    z = pairs.z_diff.astype(np.float64)
    se = math.sqrt(1.0 / (pairs.n1 - 3) + 1.0 / (pairs.n2 - 3))
    if pairs.method == "spearman":
        se *= math.sqrt(1.06)  # the API's Spearman standard error
    limit = max(abs(float(z.min())), abs(float(z.max())), 4 * se)
    bins = np.linspace(-limit, limit, 161)
    grid_x = np.linspace(-limit, limit, 400)
    null = np.exp(-0.5 * (grid_x / se) ** 2) / (se * math.sqrt(2 * math.pi))
    for place, log in ((grid[1, :2], False), (grid[1, 2], True)):
        ax = fig.add_subplot(place)
        ax.hist(
            z,
            bins=bins,
            density=True,
            color="#7570b3",
            alpha=0.7,
            label="observed z_diff, {:,} pairs".format(len(pairs)),
        )
        ax.plot(
            grid_x,
            null,
            color="black",
            linewidth=1.5,
            label="normal null: mean 0, sd {:.3f} = sqrt(1/{} + 1/{})".format(se, pairs.n1 - 3, pairs.n2 - 3),
        )
        ax.set_xlabel("z_diff = atanh(r in {}) - atanh(r in {})".format(GROUP1, GROUP2))
        if log:
            ax.set_yscale("log")
            ax.set_ylim(0.5 / (len(z) * (bins[1] - bins[0])), None)
            ax.set_title("The tails, log scale", fontsize=10)
        else:
            ax.set_xlim(-6 * se, 6 * se)
            ax.set_ylim(0, float(null.max()) * 1.3)  # room for the legend
            ax.set_ylabel("density")
            ax.set_title("Observed differences against the normal null", fontsize=10)
            ax.legend(fontsize=8, frameon=False, loc="upper right")
    fig.suptitle(
        "Differential co-expression, ALL B-lineage: {} ({}) vs {} ({}), {:,} probe sets".format(
            GROUP1, pairs.n1, GROUP2, pairs.n2, example.expression.shape[0]
        ),
        fontsize=12,
    )
    fig.savefig(path)


def run(
    output_dir: str = "corrshift-demo",
    permutations: int = PAIR_PERMUTATIONS,
    row_permutations: int = ROW_PERMUTATIONS,
    n_jobs: Optional[int] = None,
    progress: Callable[[], ContextManager[Any]] = contextlib.nullcontext,
    stream: Optional[IO[str]] = None,
    rows: Optional[int] = None,
) -> int:
    """Run the demo and write its files into `output_dir`; returns 0.

    Parameters
    ----------
    output_dir : str
        Folder for the tables and the figure; created when missing.
    permutations : int, default 1000
        Permutation passes of the pair test.
    row_permutations : int, default 200
        Permutation passes of the row scores (each costs as much as a pair-test pass).
    n_jobs : int, optional
        Worker threads; None uses every usable core.
    progress : callable, optional
        Context manager factory wrapped around each native call (the command line sends
        the progress line to standard error with it).
    stream : text file, optional
        Where the report goes (default: standard output).
    rows : int, optional
        Use only the first `rows` probe sets (a quick check of the whole run).
    """
    out = stream if stream is not None else sys.stdout

    def say(text: str = "") -> None:
        out.write(text + "\n")
        out.flush()

    started = time.perf_counter()
    example = load_example()
    if rows is not None:
        example = example._replace(expression=example.expression[:rows], probes=example.probes[:rows])
    first = example.mol_biol == GROUP1
    second = example.mol_biol == GROUP2
    nrows = example.expression.shape[0]
    os.makedirs(output_dir, exist_ok=True)
    say(
        "corrshift demo: acute lymphoblastic leukemia, B lineage, {} ({} samples) vs {} ({} samples)".format(
            GROUP1, int(first.sum()), GROUP2, int(second.sum())
        )
    )
    say(
        "{} of the most variable probe sets, {:,} pairs, Pearson correlation, two-sided tests".format(
            nrows, nrows * (nrows - 1) // 2
        )
    )
    say()
    say("Pair test, {} permutations ...".format(permutations))
    t0 = time.perf_counter()
    with progress():
        pairs = ztest(
            example.expression,
            GROUP1,
            GROUP2,
            groupby=example.mol_biol,
            permutations=permutations,
            n_jobs=n_jobs,
            row_names=example.probes,
            column_names=example.samples,
        )
    t_pairs = time.perf_counter() - t0
    say("  done in {:.1f} s".format(t_pairs))
    say("Row scores (median |z_diff| of each probe set with all others), {} permutations ...".format(row_permutations))
    t0 = time.perf_counter()
    with progress():
        scores = row_scores(
            example.expression,
            GROUP1,
            GROUP2,
            groupby=example.mol_biol,
            score="median",
            permutations=row_permutations,
            n_jobs=n_jobs,
            row_names=example.probes,
            column_names=example.samples,
        )
    t_rows = time.perf_counter() - t0
    say("  done in {:.1f} s".format(t_rows))
    say()
    say(
        "Top 15 pairs by p_robust (r1: {}; r2: {}; p_robust from permutations of the studentized difference, "
        "p_value from the normal approximation; perm_p = (b + 1) / ({} + 1), b the passes at least as "
        "extreme):".format(GROUP1, GROUP2, permutations)
    )
    say(pairs.format(15, columns=PAIR_SHOWN))
    say(
        "{:,} pairs at q_robust <= 0.05 ({:,} at q_value <= 0.05, the normal approximation)".format(
            int(np.count_nonzero(pairs.q_robust <= 0.05)), int(np.count_nonzero(pairs.q_value <= 0.05))
        )
    )
    say()
    say("Top 15 probe sets by perm_p, then score:")
    say(scores.format(15))
    say()

    t0 = time.perf_counter()
    written: List[str] = []
    pairs.to_tsv(os.path.join(output_dir, "pairs.tsv.gz"))
    scores.to_tsv(os.path.join(output_dir, "rows.tsv"))
    _write_inputs(example, output_dir)
    written += ["pairs.tsv.gz", "rows.tsv", "expression.tsv.gz", "samples.tsv"]
    try:
        import matplotlib  # type: ignore[import]  # noqa: F401
    except ImportError:
        say("Figure skipped: matplotlib is not installed (pip install matplotlib).")
    else:
        figure(pairs, example, os.path.join(output_dir, "figure.png"))
        written.append("figure.png")
    t_write = time.perf_counter() - t0
    say("Wrote {} to {}{} ({:.1f} s)".format(", ".join(written), os.path.abspath(output_dir), os.sep, t_write))
    say(
        "Run time: {:.1f} s (pair test {:.1f} s, row scores {:.1f} s)".format(
            time.perf_counter() - started, t_pairs, t_rows
        )
    )
    return 0


if __name__ == "__main__":  # pragma: no cover
    run()
