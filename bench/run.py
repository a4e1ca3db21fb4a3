"""Seconds per pass of corrshift's pipelines on the reference workload, side by side with
the multiply+add bound of this processor, the straightforward kernel (the private module
``corrshift._baseline``) and a NumPy pass as a Python user would write it.

    python bench/run.py            # the table, then the scaling plot (a few minutes)
    python bench/run.py --quick    # fewer repetitions, plot up to 4000 rows

The workload is the expression matrix shipped in src/corrshift/data: 2000 probe sets by 79
samples, group 1 the 37 BCR/ABL samples, group 2 the 42 NEG samples. A pass is one
permutation pass: a pipeline's time per pass is (time with P passes - time with 0) / P,
measured after a warm-up call in R rounds that each measure every cell once (so that other
work on the machine slows every implementation alike), and the median of the R values is
reported. The NumPy pass is timed directly, one pass after a warm-up pass. Every measurement runs in a
fresh process, so its peak resident memory is its own; NumPy runs with as many OpenBLAS
threads as n_jobs and with OPENBLAS_CORETYPE / OPENBLAS_L2_SIZE removed from its
environment (they slow the OpenBLAS that NumPy ships).

The bound is measured in the same rounds, in its own process: the rate of eight-lane
multiplies then adds on cached data (``_baseline._multiply_add_rate``, the arithmetic of a
pair's Sxy at full speed), and a pass's bound is the time its Sxy work, pairs x (37 + 42)
multiply+add pairs, would take at that rate. Each pass is also reported as a multiple of
its bound. A last measurement times the exhaustive Pearson z-test at 20,000 rows x 200
columns (seeded normal data, groups of 100 and 100 columns), through the all-pairs block
entry point, whose progress calls time each permutation pass.

Writes bench/results/results.md (the table) and bench/results/scaling.png (seconds per pass
against the number of rows, exhaustive Pearson z-test at n_jobs = 2). The plot needs
matplotlib; without it the table is still written.
"""

import argparse
import json
import os
import platform
import resource
import statistics
import subprocess
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
RESULTS = os.path.join(HERE, "results")

# case name -> (pipeline, method, score)
CASES = {
    "z-test exhaustive, Pearson": ("ztest_exhaustive", "pearson", None),
    "z-test exhaustive, Spearman": ("ztest_exhaustive", "spearman", None),
    "score exhaustive, mean": ("score_exhaustive", "pearson", "mean"),
    "score exhaustive, median": ("score_exhaustive", "pearson", "median"),
    "z-test indexed, 100,000 pairs": ("ztest_indexed", "pearson", None),
}
IMPLEMENTATIONS = ["corrshift", "straightforward", "numpy"]
LISTED_PAIRS = 100_000
WIDE = (20_000, 200)  # rows, columns of the large measurement
BOUND_ROUNDS = 200_000_000


# ---- the measuring process -----------------------------------------------------------


def workload(rows):
    """The reference matrix, or for other row counts its rows repeated with seeded noise."""
    import numpy as np

    import corrshift

    path = os.path.join(os.path.dirname(corrshift.__file__), "data", "all_leukemia_bcrabl_neg.npz")
    with np.load(path, allow_pickle=True) as archive:
        data = np.ascontiguousarray(archive["expression"], dtype=np.float32)
        mol_biol = archive["mol_biol"]
    if rows != len(data):
        rng = np.random.default_rng(rows)
        base = data[np.arange(rows) % len(data)]
        noise = rng.normal(size=base.shape).astype(np.float32) * base.std(axis=1, keepdims=True) * 0.3
        data = np.ascontiguousarray(base + noise, dtype=np.float32)
    g1 = np.flatnonzero(mol_biol == "BCR/ABL").astype(np.int32)
    g2 = np.flatnonzero(mol_biol == "NEG").astype(np.int32)
    return data, g1, g2


def native_call(module, pipeline, data, g1, g2, method, score, pairs, permutations, jobs):
    if pipeline == "ztest_exhaustive":
        return module._ztest_pipeline_exhaustive(data, g1, g2, method, "two-sided", permutations, jobs)
    if pipeline == "score_exhaustive":
        return module._score_pipeline_exhaustive(data, g1, g2, method, score, "two-sided", permutations, jobs)
    return module._ztest_pipeline_indexed(data, pairs[0], pairs[1], g1, g2, method, "two-sided", permutations, jobs)


def numpy_pass_function(pipeline, data, g1, g2, method, score, pairs):
    """One permutation pass as a NumPy user writes it: rows standardised per group in
    float32, X @ X.T, clip, arctanh, difference, compared with the observed values."""
    import numpy as np

    nrows, ncols = data.shape
    rng = np.random.default_rng(733)

    def standardised(columns):
        x = data[:, columns]
        if method == "spearman":
            x = x.argsort(axis=1).argsort(axis=1).astype(np.float32)
        x = x - x.mean(axis=1, keepdims=True)
        return x / np.sqrt((x * x).mean(axis=1, keepdims=True)), len(columns)

    def fisher(r):
        return np.arctanh(np.clip(r, -0.99, 0.99))

    if pipeline == "ztest_indexed":
        a, b = pairs

        def statistic(c1, c2):
            (y1, m1), (y2, m2) = standardised(c1), standardised(c2)
            r1 = np.einsum("ij,ij->i", y1[a], y1[b]) / m1
            r2 = np.einsum("ij,ij->i", y2[a], y2[b]) / m2
            return fisher(r1) - fisher(r2)
    else:
        upper = np.triu_indices(nrows, 1)
        diagonal = np.arange(nrows)

        def z_matrix(c1, c2):
            (y1, m1), (y2, m2) = standardised(c1), standardised(c2)
            return fisher((y1 @ y1.T) / m1) - fisher((y2 @ y2.T) / m2)

        if pipeline == "ztest_exhaustive":

            def statistic(c1, c2):
                return z_matrix(c1, c2)[upper]
        else:

            def statistic(c1, c2):
                z = np.abs(z_matrix(c1, c2))
                if score == "mean":
                    z[diagonal, diagonal] = 0.0
                    return z.sum(axis=1) / (nrows - 1)
                z[diagonal, diagonal] = np.inf  # ordered last, never the median
                middle = (nrows - 1) // 2
                return np.partition(z, middle, axis=1)[:, middle]

    observed = np.abs(statistic(g1, g2))
    counts = np.zeros(observed.shape, np.float32)

    def one_pass():
        order = rng.permutation(ncols)
        value = statistic(order[: len(g1)], order[len(g1) : len(g1) + len(g2)])
        counts[np.abs(value) >= observed] += 1.0

    return one_pass


def wide_workload():
    import numpy as np

    rows, columns = WIDE
    data = np.random.default_rng(20).normal(size=(rows, columns)).astype(np.float32)
    return data, np.arange(columns // 2, dtype=np.int32), np.arange(columns // 2, columns, dtype=np.int32)


def multiply_add_work(pipeline, rows, g1, g2):
    """The multiply+add pairs of one pass's Sxy: every pair, over both groups."""
    pairs = LISTED_PAIRS if pipeline == "ztest_indexed" else rows * (rows - 1) // 2
    return pairs * (len(g1) + len(g2))


def measure(cell):
    """Runs one measurement; returns seconds per pass and the peak resident memory."""
    import numpy as np

    if cell["implementation"] == "bound":
        from corrshift import _baseline

        rate = _baseline._multiply_add_rate(cell["jobs"], BOUND_ROUNDS // cell["jobs"])
        return {"rate": rate, "peak_mib": 0.0}
    if cell.get("wide"):
        # The all-pairs block over every row is the public all-pairs z-test (the same
        # pairs, plan and kernels); its progress calls time each pass on its own, which
        # the difference of two calls cannot at this size (the observed pass alone
        # allocates and fills 5 GB).
        from corrshift import _blocks

        data, g1, g2 = wide_workload()
        rows = len(data)
        stamps = [time.perf_counter()]
        _blocks.ztest_block(
            data,
            g1,
            g2,
            (0, rows),
            (0, rows),
            "pearson",
            "two-sided",
            0,
            cell["passes"] + 1,
            cell["jobs"],
            progress=lambda done: stamps.append(time.perf_counter()),
        )
        samples = [b - a for a, b in zip(stamps[1:], stamps[2:])]
        peak_kib = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
        return {"seconds": statistics.median(samples), "samples": samples, "peak_mib": peak_kib / 1024.0}
    data, g1, g2 = workload(cell["rows"])
    pipeline, method, score = cell["pipeline"], cell["method"], cell["score"]
    jobs, repeats = cell["jobs"], cell["repeats"]
    pairs = None
    if pipeline == "ztest_indexed":
        rng = np.random.default_rng(5)
        pairs = (
            rng.integers(0, len(data), LISTED_PAIRS).astype(np.int32),
            rng.integers(0, len(data), LISTED_PAIRS).astype(np.int32),
        )
    samples = []
    if cell["implementation"] == "numpy":
        one_pass = numpy_pass_function(pipeline, data, g1, g2, method, score, pairs)
        one_pass()  # warm-up
        for _ in range(repeats):
            start = time.perf_counter()
            one_pass()
            samples.append(time.perf_counter() - start)
    else:
        if cell["implementation"] == "corrshift":
            from corrshift import pipelines as module
        else:
            from corrshift import _baseline as module
        passes = cell["passes"]
        # The progress line goes to file descriptor 1; keep it out of the result.
        saved, null = os.dup(1), os.open(os.devnull, os.O_WRONLY)
        os.dup2(null, 1)
        try:
            native_call(module, pipeline, data, g1, g2, method, score, pairs, 1, jobs)  # warm-up
            for _ in range(repeats):
                start = time.perf_counter()
                native_call(module, pipeline, data, g1, g2, method, score, pairs, 0, jobs)
                middle = time.perf_counter()
                native_call(module, pipeline, data, g1, g2, method, score, pairs, passes, jobs)
                end = time.perf_counter()
                samples.append(((end - middle) - (middle - start)) / passes)
        finally:
            os.dup2(saved, 1)
    peak_kib = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
    return {"seconds": statistics.median(samples), "samples": samples, "peak_mib": peak_kib / 1024.0}


# ---- the driving process ---------------------------------------------------------------


def run_measurement(cell):
    env = dict(os.environ)
    if cell["implementation"] == "numpy":
        env.pop("OPENBLAS_CORETYPE", None)
        env.pop("OPENBLAS_L2_SIZE", None)
        env["OPENBLAS_NUM_THREADS"] = str(cell["jobs"])
    else:
        env["OPENBLAS_NUM_THREADS"] = "1"
    out = subprocess.run(
        [sys.executable, os.path.abspath(__file__), "--measure", json.dumps(cell)],
        env=env,
        check=True,
        stdout=subprocess.PIPE,
        universal_newlines=True,
    ).stdout
    return json.loads(out.strip().splitlines()[-1])


def passes_for(implementation, pipeline, rows):
    if implementation == "straightforward":
        return 2 if rows <= 2000 else 1
    if pipeline == "ztest_indexed":
        return 40
    # Enough passes that their time stands well above the noise of the observed pass
    # (which also computes every normal p-value).
    return max(8, int(20 * (2000 / rows) ** 2))


def openblas_description():
    env = dict(os.environ)
    env.pop("OPENBLAS_CORETYPE", None)
    env.pop("OPENBLAS_L2_SIZE", None)
    code = (
        "import numpy\ntry:\n import threadpoolctl\n"
        " print('; '.join('%s %s (%s kernels)' % (i.get('internal_api'), i.get('version'),"
        " i.get('architecture')) for i in threadpoolctl.threadpool_info()))\n"
        "except ImportError:\n print('OpenBLAS shipped with NumPy ' + numpy.__version__)"
    )
    return subprocess.run(
        [sys.executable, "-c", code], env=env, stdout=subprocess.PIPE, universal_newlines=True
    ).stdout.strip()


def cpu_model():
    try:
        with open("/proc/cpuinfo") as info:
            for line in info:
                if line.startswith("model name"):
                    return line.split(":", 1)[1].strip()
    except OSError:
        pass
    return platform.processor() or platform.machine()


def bound_seconds(rate, pipeline, rows=2000, groups=(37, 42)):
    pairs = LISTED_PAIRS if pipeline == "ztest_indexed" else rows * (rows - 1) // 2
    return pairs * sum(groups) / rate


def table(results, rates):
    lines = [
        "| case | n_jobs | corrshift s/pass | x bound | straightforward s/pass | vs straightforward | "
        "NumPy s/pass | vs NumPy | peak MiB (corrshift / straightforward / NumPy) |",
        "|---|---:|---:|---:|---:|---:|---:|---:|---:|",
    ]
    for case, (pipeline, _, _) in CASES.items():
        for jobs in (1, 2):
            r = {impl: results[(case, jobs, impl)] for impl in IMPLEMENTATIONS}
            fast = r["corrshift"]["seconds"]
            lines.append(
                "| %s | %d | %.4f | %.2fx | %.4f | %.1fx | %.4f | %.1fx | %.0f / %.0f / %.0f |"
                % (
                    case,
                    jobs,
                    fast,
                    fast / bound_seconds(rates[jobs], pipeline),
                    r["straightforward"]["seconds"],
                    r["straightforward"]["seconds"] / fast,
                    r["numpy"]["seconds"],
                    r["numpy"]["seconds"] / fast,
                    r["corrshift"]["peak_mib"],
                    r["straightforward"]["peak_mib"],
                    r["numpy"]["peak_mib"],
                )
            )
    return "\n".join(lines)


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--quick", action="store_true", help="fewer repetitions; plot up to 4000 rows")
    parser.add_argument("--no-plot", action="store_true", help="only the table")
    parser.add_argument("--measure", help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.measure:
        print(json.dumps(measure(json.loads(args.measure))))
        return

    repeats = 3 if args.quick else 5
    os.makedirs(RESULTS, exist_ok=True)
    load_before = os.getloadavg()[0]
    # Rounds of every cell, one repetition each, so that a machine shared with other work
    # slows all implementations alike; a cell's value is the median over the rounds.
    samples, peaks, rate_samples = {}, {}, {1: [], 2: []}
    for round_number in range(repeats):
        for jobs in (1, 2):
            rate = run_measurement({"implementation": "bound", "jobs": jobs})["rate"]
            rate_samples[jobs].append(rate)
            print(
                "round %d  multiply+add bound n_jobs=%d: %.3g lane pairs/s" % (round_number + 1, jobs, rate),
                file=sys.stderr,
            )
        for case, (pipeline, method, score) in CASES.items():
            for jobs in (1, 2):
                for impl in IMPLEMENTATIONS:
                    cell = {
                        "implementation": impl,
                        "pipeline": pipeline,
                        "method": method,
                        "score": score,
                        "jobs": jobs,
                        "rows": 2000,
                        "repeats": 1,
                        "passes": passes_for(impl, pipeline, 2000),
                    }
                    result = run_measurement(cell)
                    samples.setdefault((case, jobs, impl), []).append(result["seconds"])
                    peaks[(case, jobs, impl)] = max(peaks.get((case, jobs, impl), 0.0), result["peak_mib"])
                    print(
                        "round %d  %-32s n_jobs=%d %-16s %.4f s/pass"
                        % (round_number + 1, case, jobs, impl, result["seconds"]),
                        file=sys.stderr,
                    )
    results = {key: {"seconds": statistics.median(values), "peak_mib": peaks[key]} for key, values in samples.items()}
    rates = {j: statistics.median(values) for j, values in rate_samples.items()}
    # The large measurement: three runs of its own, each in a fresh process.
    wide_cell = {"implementation": "corrshift", "jobs": 2, "passes": 5, "wide": True}
    wide_samples = []
    for _ in range(3):
        wide_samples.append(run_measurement(wide_cell))
        print("%d x %d Pearson z-test n_jobs=2: %.3f s/pass" % (WIDE + (wide_samples[-1]["seconds"],)), file=sys.stderr)
    wide = statistics.median(w["seconds"] for w in wide_samples)
    wide_peak = max(w["peak_mib"] for w in wide_samples)
    wide_bound = bound_seconds(rates[2], "ztest_exhaustive", WIDE[0], (WIDE[1] // 2, WIDE[1] - WIDE[1] // 2))
    text = table(results, rates)
    z = {j: results[("z-test exhaustive, Pearson", j, "corrshift")]["seconds"] for j in (1, 2)}
    ratios = [
        "multiply+add bound: %.3g lane multiply+add pairs per second at n_jobs 1, %.3g at n_jobs 2; "
        "a Pearson all-pairs pass of the reference workload: %.4f s and %.4f s"
        % (rates[1], rates[2], bound_seconds(rates[1], "ztest_exhaustive"), bound_seconds(rates[2], "ztest_exhaustive"))
    ]
    for case, (pipeline, _, _) in CASES.items():
        if pipeline == "score_exhaustive" or "Spearman" in case:
            for j in (1, 2):
                ratios.append(
                    "%s at n_jobs %d: %.2fx the Pearson z-test per pass"
                    % (case, j, results[(case, j, "corrshift")]["seconds"] / z[j])
                )
    ratios.append(
        "%d rows x %d columns, Pearson all-pairs z-test at n_jobs 2: %.3f s per pass (%.2fx its bound "
        "of %.3f s), so 1000 permutations take %.1f minutes; peak %.0f MiB"
        % (WIDE + (wide, wide / wide_bound, wide_bound, 1000 * wide / 60, wide_peak))
    )
    header = (
        [
            "# corrshift benchmark",
            "",
            "Reference workload: 2000 probe sets x 79 samples (37 BCR/ABL, 42 NEG), two-sided tests.",
            "Seconds per permutation pass: the median over %d rounds, each round measuring every cell" % repeats,
            "once in its own process after a warm-up call. Peak MiB is the peak resident memory of that",
            'process (interpreter and NumPy included). "x bound" is the pass as a multiple of the time its',
            "Sxy multiplies and adds take at the multiply+add rate measured in the same rounds.",
            "",
            "- processor: %s, %d logical CPUs; load average at the start: %.2f"
            % (cpu_model(), os.cpu_count() or 0, load_before),
            "- NumPy: %s" % openblas_description(),
            "",
            text,
            "",
        ]
        + ["- " + line for line in ratios]
        + [""]
    )
    with open(os.path.join(RESULTS, "results.md"), "w") as out:
        out.write("\n".join(header))
    print("\n".join(header))

    if args.no_plot:
        return
    try:
        import matplotlib

        matplotlib.use("Agg")
        import matplotlib.pyplot as plt
    except ImportError:
        print("matplotlib is not installed: no plot", file=sys.stderr)
        return
    rows_list = [500, 1000, 2000, 4000] + ([] if args.quick else [8000])
    curves = {impl: [] for impl in IMPLEMENTATIONS}
    for rows in rows_list:
        for impl in IMPLEMENTATIONS:
            cell = {
                "implementation": impl,
                "pipeline": "ztest_exhaustive",
                "method": "pearson",
                "score": None,
                "jobs": 2,
                "rows": rows,
                "repeats": 3 if rows <= 2000 or impl == "corrshift" else 1,
                "passes": passes_for(impl, "ztest_exhaustive", rows),
            }
            seconds = run_measurement(cell)["seconds"]
            curves[impl].append(seconds)
            print("scaling rows=%d %-16s %.4f s/pass" % (rows, impl, seconds), file=sys.stderr)
    labels = {"corrshift": "corrshift", "straightforward": "straightforward kernel", "numpy": "NumPy / OpenBLAS"}
    fig, ax = plt.subplots(figsize=(6.4, 4.4))
    for impl in IMPLEMENTATIONS:
        ax.plot(rows_list, curves[impl], marker="o", label=labels[impl])
    ax.set_xscale("log")
    ax.set_yscale("log")
    ax.set_xticks(rows_list)
    ax.set_xticklabels([str(r) for r in rows_list])
    ax.set_xlabel("rows (79 columns)")
    ax.set_ylabel("seconds per permutation pass")
    ax.set_title("Exhaustive Pearson z-test, n_jobs = 2")
    ax.grid(True, which="both", alpha=0.3)
    ax.legend()
    fig.tight_layout()
    fig.savefig(os.path.join(RESULTS, "scaling.png"), dpi=120)
    with open(os.path.join(RESULTS, "results.md"), "a") as out:
        out.write("\nSeconds per pass against the number of rows (exhaustive Pearson z-test, n_jobs = 2):\n\n")
        out.write("| rows | " + " | ".join(labels[i] for i in IMPLEMENTATIONS) + " |\n")
        out.write("|---:|" + "---:|" * len(IMPLEMENTATIONS) + "\n")
        for k, rows in enumerate(rows_list):
            out.write("| %d | %s |\n" % (rows, " | ".join("%.4f" % curves[i][k] for i in IMPLEMENTATIONS)))
        out.write("\n![seconds per pass against rows](scaling.png)\n")


if __name__ == "__main__":
    main()
