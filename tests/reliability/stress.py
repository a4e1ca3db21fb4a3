"""Opt-in stress run (`make stress`): the exhaustive pipelines at their size limits.

1. _ztest_pipeline_exhaustive and _score_pipeline_exhaustive at 23170 rows, the most
   whose pair numbering fits 32-bit arithmetic (2n - 1 squared stays below 2^31), and at
   23171 rows, the first where it does not: the pair decoding is done in 64-bit
   arithmetic, so both must be correct. A sample of entries (the first and last pairs,
   the pairs where 32-bit decoding would have gone wrong, random pairs and rows) is
   recomputed with the reference implementation and compared bit for bit.
2. A matrix of 2^31 elements or more is rejected with ValueError by every pipeline,
   without being read or copied: it is a sparse file mapped into memory, and the peak
   resident memory must stay small.

Needs about 9 GB of free memory; prints the time and peak resident memory of each step.
"""

import os
import sys
import tempfile
import time

import numpy as np

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.dirname(HERE))
import reference as ref  # noqa: E402

from corrshift import pipelines  # noqa: E402

F32, I32 = np.float32, np.int32
NEEDED_BYTES = 10 << 30
G1, G2 = np.arange(0, 4, dtype=I32), np.arange(4, 8, dtype=I32)


def status(field):
    for line in open("/proc/self/status"):
        if line.startswith(field + ":"):
            return int(line.split()[1]) * 1024
    return 0


def reset_peak():
    try:
        with open("/proc/self/clear_refs", "w") as f:
            f.write("5")
    except OSError:
        pass


def available():
    for line in open("/proc/meminfo"):
        if line.startswith("MemAvailable:"):
            return int(line.split()[1]) * 1024
    return 0


def step(title, work):
    reset_peak()
    start = time.monotonic()
    outcome = work()
    print(
        "%-58s %7.1f s  peak %6.2f GiB  %s" % (title, time.monotonic() - start, status("VmHWM") / 2**30, outcome),
        flush=True,
    )


def pair_of(k, n):
    """(i, j) of pair numbers k in the condensed order, in exact integer arithmetic."""
    i = np.arange(n, dtype=np.int64)
    starts = i * (2 * n - i - 1) // 2
    rows = np.searchsorted(starts, k, side="right") - 1
    return rows, k - starts[rows] + rows + 1


def sample_pairs(n, rng):
    total = n * (n - 1) // 2
    # Where e*e - 8k with e = 2n - 1 leaves the 32-bit range, and the ends of the order.
    e2 = (2 * n - 1) ** 2
    wrap = max(0, (e2 - (2**31 - 1) + 7) // 8)
    edges = [0, 1, 2, n - 2, n - 1, wrap - 1, wrap, wrap + 1, total // 2, total - 2, total - 1]
    ks = np.array(
        sorted({k for k in edges if 0 <= k < total} | set(rng.integers(0, total, 3000).tolist())), dtype=np.int64
    )
    return ks


def source_of(data, method):
    if method != "spearman":
        return data
    ranks = np.zeros_like(data)
    ref.rank_rows(data, G1, ranks)
    ref.rank_rows(data, G2, ranks)
    return ranks


def check_ztest(data, method, alternative):
    n = data.shape[0]
    result = pipelines._ztest_pipeline_exhaustive(data, G1, G2, method, alternative, 0, 2)
    total = n * (n - 1) // 2
    assert all(r.shape == (total,) and r.dtype == F32 for r in result), [r.shape for r in result]
    ks = sample_pairs(n, np.random.default_rng(n))
    i, j = pair_of(ks, n)
    source = source_of(data, method)
    r1 = ref.pair_correlation(source, i, j, G1)
    r2 = ref.pair_correlation(source, i, j, G2)
    z, p = ref.fisher_difference(r1, len(G1), r2, len(G2), method, alternative)
    for name, got, want in zip(("first_r", "second_r", "z_diff", "p_value"), result, (r1, r2, z, p)):
        got = got[ks]
        same = (got.view(np.uint32) == want.view(np.uint32)) | (np.isnan(got) & np.isnan(want))
        assert same.all(), "%s differs at pair %d" % (name, ks[~same][0])
    assert not result[4].any(), "permutation p-values with no permutation pass"
    del result
    return "%d pairs, %d checked" % (total, len(ks))


def check_scores(data, method, score, alternative):
    n = data.shape[0]
    observed, p_values = pipelines._score_pipeline_exhaustive(data, G1, G2, method, score, alternative, 0, 2)
    assert observed.shape == p_values.shape == (n,)
    assert not p_values.any()
    rng = np.random.default_rng(n + 1)
    rows = sorted({0, 1, n // 2, n - 2, n - 1} | set(rng.integers(0, n, 6).tolist()))
    source = source_of(data, method)
    for p in rows:
        others = np.array([i for i in range(n) if i != p], dtype=np.int64)
        lo, hi = np.minimum(others, p), np.maximum(others, p)
        r1 = ref.pair_correlation(source, lo, hi, G1)
        r2 = ref.pair_correlation(source, lo, hi, G2)
        z, _ = ref.fisher_difference(r1, len(G1), r2, len(G2), method, "two-sided", with_p=False)
        if score == "mean":
            want = ref.mean_abs_score(z)
        else:
            want = ref.quantile_score(z, absolute=alternative == "two-sided")
        assert np.float32(observed[p]).tobytes() == np.float32(want).tobytes() or (
            np.isnan(observed[p]) and np.isnan(want)
        ), "row %d: %r, want %r" % (p, observed[p], want)
    return "%d rows, %d checked" % (n, len(rows))


def check_limit(data, label):
    pairs = np.array([0], I32), np.array([1], I32)
    calls = [
        lambda: pipelines._ztest_pipeline_indexed(data, *pairs, G1, G2, "pearson", "less", 0, 1),
        lambda: pipelines._ztest_pipeline_exhaustive(data, G1, G2, "pearson", "less", 0, 1),
        lambda: pipelines._score_pipeline_indexed(data, *pairs, G1, G2, "pearson", "mean", "less", 0, 1),
        lambda: pipelines._score_pipeline_exhaustive(data, G1, G2, "pearson", "mean", "less", 0, 1),
    ]
    messages = set()
    for call in calls:
        try:
            call()
        except ValueError as error:
            messages.add(str(error))
        else:
            raise AssertionError("a %s matrix of %d elements was accepted" % (label, data.size))
    assert status("VmHWM") < 1 << 30, "the matrix was touched"
    return "ValueError: " + " | ".join(sorted(messages))


def main():
    if available() < NEEDED_BYTES and "--force" not in sys.argv:
        print(
            "stress: %.1f GiB available, %.0f GiB needed; pass --force to run anyway"
            % (available() / 2**30, NEEDED_BYTES / 2**30)
        )
        return 2
    rng = np.random.default_rng(23171)
    full = rng.standard_normal((23171, 8)).astype(F32)
    full[17] = 2.0  # a constant row: correlation -2 in both groups
    for n, method, score, alternative in (
        (23170, "pearson", "mean", "two-sided"),
        (23171, "spearman", "median", "greater"),
    ):
        data = np.ascontiguousarray(full[:n])
        step(
            "_ztest_pipeline_exhaustive %d rows, %s, %s" % (n, method, alternative),
            lambda: check_ztest(data, method, alternative),
        )
        step(
            "_score_pipeline_exhaustive %d rows, %s, %s" % (n, method, score),
            lambda: check_scores(data, method, score, alternative),
        )
    with tempfile.TemporaryDirectory() as scratch:
        path = os.path.join(scratch, "huge.f32")
        huge = np.memmap(path, dtype=F32, mode="w+", shape=(46341, 46341))
        step("46341 x 46341 sparse mapped matrix (2^31 + 4633 elements)", lambda: check_limit(huge, "mapped"))
        assert os.stat(path).st_blocks * 512 < 1 << 20, "the mapped matrix was written"
        del huge
    try:
        lazy = np.empty((1 << 16, 1 << 15), F32)  # 2^31 elements, 8 GiB never touched
    except MemoryError:
        print("65536 x 32768 np.empty matrix: the system refuses 8 GiB of address space; skipped")
    else:
        step("65536 x 32768 np.empty matrix (2^31 elements)", lambda: check_limit(lazy, "lazily allocated"))
    print("stress: all checks passed")
    return 0


if __name__ == "__main__":
    sys.exit(main())
