"""Threads: concurrent Python callers, interrupted calls, and failed thread starts.

Calls hold the interpreter lock throughout, so two Python threads are served one after
the other and must get the results of serial calls. A call ended by an interrupt, or by
a worker thread that could not be started, must leave no thread behind and no state
that changes the next call's results.
"""

import json
import os
import select
import signal
import subprocess
import sys
import textwrap
import threading
import time

import numpy as np
import pytest

from corrshift import pipelines, scores

F32, I32 = np.float32, np.int32
SANITIZED = "CORRSHIFT_SANITIZED" in os.environ
PREFIX = b"Permutation progress: "


def _child_env():
    env = dict(os.environ)
    # NumPy's BLAS would otherwise start threads of its own at import.
    env.update(OPENBLAS_NUM_THREADS="1", OMP_NUM_THREADS="1", MKL_NUM_THREADS="1")
    return env


# --- two Python threads ----------------------------------------------------------------


def _workload(seed):
    rng = np.random.default_rng(seed)
    data = rng.standard_normal((40, 12)).astype(F32)
    g1, g2 = np.arange(6, dtype=I32), np.arange(6, 12, dtype=I32)
    first = np.sort(rng.integers(0, 40, 120)).astype(I32)
    second = rng.integers(0, 40, 120).astype(I32)
    labels = np.sort(rng.integers(0, 50, 3000)).astype(I32)
    values = rng.standard_normal(3000).astype(F32)
    return [
        lambda j: pipelines._ztest_pipeline_exhaustive(data, g1, g2, "spearman", "two-sided", 6, j),
        lambda j: pipelines._ztest_pipeline_indexed(data, first, second, g1, g2, "pearson", "less", 6, j),
        lambda j: pipelines._score_pipeline_indexed(data, first, second, g1, g2, "spearman", "median", "greater", 6, j),
        lambda j: pipelines._score_pipeline_exhaustive(data, g1, g2, "pearson", "mean", "two-sided", 6, j),
        lambda j: scores._score_indexed(values, labels, "median", j),
        lambda j: scores._score_exhaustive(values[: 40 * 39 // 2], 40, "mean", j),
    ]


def test_two_python_threads_get_the_results_of_serial_calls(capfd):
    workloads = [_workload(1), _workload(2)]
    expected = [[call(1) for call in calls] for calls in workloads]
    failures = []
    start = threading.Barrier(2)

    def caller(calls, wanted):
        try:
            start.wait(timeout=60)
            for jobs in (3, 1, 2, 7):
                for call, result in zip(calls, wanted):
                    for got, want in zip(call(jobs), result):
                        np.testing.assert_array_equal(got, want)
        except Exception as error:  # noqa: BLE001 - reported by the main thread
            failures.append(error)

    threads = [threading.Thread(target=caller, args=args) for args in zip(workloads, expected)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join(timeout=300)
    assert not any(thread.is_alive() for thread in threads)
    assert not failures, failures
    # Calls never overlap, so every progress line is whole.
    lines = capfd.readouterr().out.encode().split(b"\n")
    assert lines[-1] == b""
    assert len(lines) - 1 == 4 * 5 * 2
    assert all(line.startswith(PREFIX) and line.endswith(b"] 100%") for line in lines[:-1])


# --- interrupts --------------------------------------------------------------------------

#: The children's thread count: threads() now, settled(target) once the kernel has reaped
#: joined threads (they stay in the count until then): the count when it is `target`, or,
#: without one, the same twice; at most 2 s.
THREAD_COUNT = textwrap.dedent("""
    def threads():
        return int([l.split()[1] for l in open("/proc/self/status") if l.startswith("Threads:")][0])

    def settled(target=None):
        import time
        end, last = time.monotonic() + 2.0, threads()
        while time.monotonic() < end:
            time.sleep(0.02)
            now = threads()
            if now == (last if target is None else target):
                return now
            last = now
        return threads()
""")


INTERRUPTED_CHILD = textwrap.dedent("""
    import json, sys
    import numpy as np
    from corrshift import pipelines as pl

    {thread_count}

    rng = np.random.default_rng(3)
    big = rng.standard_normal((1200, 40)).astype(np.float32)
    small = big[:9, :14]
    g1, g2 = np.arange(20, dtype=np.int32), np.arange(20, 40, dtype=np.int32)
    s1, s2 = np.arange(6, dtype=np.int32), np.arange(6, 14, dtype=np.int32)
    first = np.sort(rng.integers(0, 1200, 60000)).astype(np.int32)
    second = rng.integers(0, 1200, 60000).astype(np.int32)
    method = sys.argv[2]

    def call(name, data, a, b, rows, permutations):
        if name == "ztest_indexed":
            return pl._ztest_pipeline_indexed(data, rows[0], rows[1], a, b, method, "two-sided",
                                              permutations, 3)
        if name == "ztest_exhaustive":
            return pl._ztest_pipeline_exhaustive(data, a, b, method, "greater", permutations, 3)
        if name == "score_indexed":
            return pl._score_pipeline_indexed(data, rows[0], rows[1], a, b, method, "median", "less",
                                              permutations, 3)
        return pl._score_pipeline_exhaustive(data[:400], a, b, method, "mean", "two-sided",
                                             permutations, 3)

    name = sys.argv[1]
    small_rows = (first[:50] % 9, second[:50] % 9)
    before = [r.tobytes() for r in call(name, small, s1, s2, small_rows, 7)]
    base = settled()
    outcomes = []
    for attempt in range(2):
        print("started", file=sys.stderr, flush=True)
        try:
            call(name, big, g1, g2, (first, second), 1000000)
            outcomes.append("finished")
        except KeyboardInterrupt:
            outcomes.append("interrupted")
        outcomes.append(settled(base))
        after = [r.tobytes() for r in call(name, small, s1, s2, small_rows, 7)]
        outcomes.append(after == before)
    print(json.dumps({"base": base, "outcomes": outcomes}), file=sys.stderr, flush=True)
""").replace("{thread_count}\n", THREAD_COUNT)


def _read_until(fd, marker, deadline):
    seen = b""
    while marker not in seen:
        left = deadline - time.monotonic()
        assert left > 0, "no %r from the child, got %r" % (marker, seen[-200:])
        if select.select([fd], [], [], left)[0]:
            chunk = os.read(fd, 65536)
            assert chunk, "the child closed its output after %r" % seen[-200:]
            seen += chunk
    return seen


@pytest.mark.parametrize(
    "name, method",
    [
        ("ztest_indexed", "spearman"),
        ("ztest_exhaustive", "pearson"),
        ("score_indexed", "pearson"),
        ("score_exhaustive", "spearman"),
    ],
)
def test_interrupted_call_leaves_no_thread_and_changes_no_later_result(tmp_path, name, method):
    # Interrupted twice in one process, each time once the observed pass is done: the
    # call ends with KeyboardInterrupt, the thread count is back to that of the idle
    # process, and the same small call gives the same bytes before and after.
    child = subprocess.Popen(
        [sys.executable, "-c", INTERRUPTED_CHILD, name, method],
        cwd=str(tmp_path),
        env=_child_env(),
        stdout=subprocess.PIPE,
        stderr=subprocess.PIPE,
    )
    try:
        deadline = time.monotonic() + (600 if SANITIZED else 120)
        out, err = child.stdout.fileno(), child.stderr.fileno()
        for _ in range(2):
            _read_until(err, b"started\n", deadline)
            _read_until(out, b"] 0%", deadline)  # the observed pass is complete
            time.sleep(0.2)
            child.send_signal(signal.SIGINT)
        _, errors = child.communicate(timeout=max(1.0, deadline - time.monotonic()))
    finally:
        if child.poll() is None:
            child.kill()
            child.wait()
    assert child.returncode == 0, errors.decode()
    report = json.loads(errors.decode().strip().splitlines()[-1])
    base = report["base"]
    assert report["outcomes"] == ["interrupted", base, True] * 2


# --- worker threads that cannot be started ----------------------------------------------

START_FAILURE_CHILD = textwrap.dedent("""
    import ctypes, json, os, resource, sys
    import numpy as np
    from corrshift import pipelines as pl, scores as sc

    libc = ctypes.CDLL(None)
    {thread_count}
    def vm_size():
        return int([l.split()[1] for l in open("/proc/self/status") if l.startswith("VmSize:")][0]) * 1024

    rng = np.random.default_rng(4)
    data = rng.standard_normal((600, 10)).astype(np.float32)
    g1, g2 = np.arange(5, dtype=np.int32), np.arange(5, 10, dtype=np.int32)
    rows = (np.sort(rng.integers(0, 600, 3000)).astype(np.int32), rng.integers(0, 600, 3000).astype(np.int32))
    pair_values = rng.standard_normal(3000 * 2999 // 2).astype(np.float32)
    labels = np.sort(rng.integers(0, 3000, 20000)).astype(np.int32)
    calls = {
        "score_indexed_scores": lambda j: sc._score_indexed(pair_values[:20000], labels, "median", j),
        "score_exhaustive_scores": lambda j: sc._score_exhaustive(pair_values, 3000, "mean", j),
        "ztest_indexed": lambda j: pl._ztest_pipeline_indexed(data, rows[0], rows[1], g1, g2, "spearman",
                                                              "less", 2, j),
        "ztest_exhaustive": lambda j: pl._ztest_pipeline_exhaustive(data, g1, g2, "pearson", "less", 2, j),
        "score_indexed": lambda j: pl._score_pipeline_indexed(data, rows[0], rows[1], g1, g2, "pearson",
                                                              "mean", "less", 2, j),
        "score_exhaustive": lambda j: pl._score_pipeline_exhaustive(data, g1, g2, "spearman", "median",
                                                                    "less", 2, j),
    }
    report = {}
    for name, call in calls.items():
        expected = [r.tobytes() for r in call(2)]
        base = settled()
        soft, hard = resource.getrlimit(resource.RLIMIT_AS)
        # Room for a few thread stacks, not for the hundreds or thousands asked for.
        resource.setrlimit(resource.RLIMIT_AS, (vm_size() + (64 << 20), hard))
        libc.fflush(None)
        start = os.lseek(1, 0, os.SEEK_END)
        try:
            call(3000)
            error = None
        except Exception as e:
            error = [type(e).__name__, str(e)]
        finally:
            resource.setrlimit(resource.RLIMIT_AS, (soft, hard))
        libc.fflush(None)
        printed = os.pread(1, os.lseek(1, 0, os.SEEK_END) - start, start).decode()
        report[name] = {"error": error, "threads": settled(base) - base, "printed": printed,
                        "next call equal": [r.tobytes() for r in call(2)] == expected}
    os.write(2, json.dumps(report).encode())
""").replace("{thread_count}\n", THREAD_COUNT)


@pytest.mark.skipif(SANITIZED, reason="needs an address-space cap, which the sanitizers rule out")
def test_failed_thread_start_joins_the_started_threads_and_raises(tmp_path):
    # The system refuses new threads once the address space is nearly used up; the calls
    # ask for 3000 jobs, which every function turns into hundreds of threads or more. Whatever had started is joined, the error
    # is a RuntimeError with the system's text (or MemoryError), a pipeline prints nothing after its
    # "Permutation progress: " prefix, and the same call with 2 jobs then works.
    console = tmp_path / "console"
    console.write_bytes(b"")
    with open(console, "ab+") as out:
        run = subprocess.run(
            [sys.executable, "-c", START_FAILURE_CHILD, str(console)],
            cwd=str(tmp_path),
            env=_child_env(),
            stdout=out,
            stderr=subprocess.PIPE,
            timeout=300,
        )
    assert run.returncode == 0, run.stderr.decode()
    report = json.loads(run.stderr.decode().strip().splitlines()[-1])
    for name, outcome in report.items():
        # A worker may instead fail to allocate its scratch under the cap: MemoryError.
        assert outcome["error"] is not None and outcome["error"][0] in ("RuntimeError", "MemoryError"), (name, outcome)
        assert outcome["error"][1], (name, outcome)
        assert outcome["threads"] == 0, (name, outcome)
        assert outcome["printed"] == ("" if name.endswith("_scores") else PREFIX.decode()), (name, outcome)
        assert outcome["next call equal"], (name, outcome)
