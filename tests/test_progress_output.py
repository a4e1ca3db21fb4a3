"""Console output of the pipelines: the progress line on file descriptor 1, and Ctrl-C."""

import os
import re
import select
import signal
import subprocess
import sys
import textwrap
import time

import numpy as np
import pytest

from corrshift import pipelines as pl

F32, I32 = np.float32, np.int32
PREFIX = "Permutation progress: "
WIDTH = 50


def one_percent_bar(cycles):
    """What `cycles` updates of the bar write when each raises the percentage by at most one."""
    out = ["[" + " " * WIDTH + "] 0%"]
    if cycles == 1:
        return out[0]
    last = 0
    for progress in range(cycles):
        p = int(progress * 100.0 / (cycles - 1))
        if p == last + 1:
            out.append(("\b\b" if p <= 10 else "\b\b\b") + "%d%%" % p)
        if p % 2 == 0:
            out.append("\b" + "\b" * (3 if p < 10 else 4 if p < 100 else 5))
            n = WIDTH - int((p - 1) / 2)  # C division truncates toward zero
            out.append("\b" * n + ("#" if p else " ") + " " * (n - 1) + "] %d%%" % p)
        last = p
    return "".join(out)


def frame(p):
    return "[" + "#" * (p // 2) + " " * (WIDTH - p // 2) + "] %d%%" % p


def terminal_snapshots(text):
    """The line as a terminal shows it each time a '%' has been written.

    A backspace moves the cursor one cell left; other characters overwrite the cell
    under the cursor. At every '%' the cursor must stand at the end of the line.
    """
    line, pos, shots = [], 0, []
    for ch in text:
        if ch == "\b":
            assert pos > len(PREFIX), "backspace into the label"
            pos -= 1
            continue
        if pos < len(line):
            line[pos] = ch
        else:
            line.append(ch)
        pos += 1
        if ch == "%":
            assert pos == len(line), "stale characters after the percentage"
            shots.append("".join(line))
    return shots


def tiny():
    data = np.random.default_rng(7).standard_normal((4, 8)).astype(F32)
    return data, np.arange(0, 4, dtype=I32), np.arange(4, 8, dtype=I32)


PIPELINES = {
    "ztest-indexed": lambda d, g1, g2, p: pl._ztest_pipeline_indexed(
        d, np.array([0, 1], I32), np.array([2, 3], I32), g1, g2, "spearman", "two-sided", p, 2
    ),
    "ztest-exhaustive": lambda d, g1, g2, p: pl._ztest_pipeline_exhaustive(d, g1, g2, "pearson", "less", p, 2),
    "score-indexed": lambda d, g1, g2, p: pl._score_pipeline_indexed(
        d, np.array([0, 0, 1], I32), np.array([2, 3, 3], I32), g1, g2, "pearson", "median", "greater", p, 2
    ),
    "score-exhaustive": lambda d, g1, g2, p: pl._score_pipeline_exhaustive(
        d, g1, g2, "spearman", "mean", "two-sided", p, 1
    ),
}


@pytest.mark.parametrize("permutations", [0, 100, 200])
@pytest.mark.parametrize("run", PIPELINES.values(), ids=PIPELINES.keys())
def test_progress_line_bytes(run, permutations, capfdbinary):
    run(*tiny(), permutations)
    expected = PREFIX + one_percent_bar(permutations + 1) + "\n"
    assert capfdbinary.readouterr().out == expected.encode("ascii")


def test_one_percent_bar_worked_bytes():
    # Guards the generator itself: the first five updates of a 201-cycle bar.
    blanks = " " * WIDTH
    expected = (
        "["
        + blanks
        + "] 0%"
        + "\b" * 54
        + blanks
        + "] 0%"
        + "\b" * 54
        + blanks
        + "] 0%"
        + "\b\b1%"
        + "\b\b2%"
        + "\b" * 54
        + "#"
        + " " * 49
        + "] 2%"
    )
    assert one_percent_bar(201).startswith(expected)
    assert terminal_snapshots(PREFIX + one_percent_bar(101))[-1] == PREFIX + frame(100)


@pytest.mark.parametrize("permutations", [1, 2, 10, 33, 50, 69, 100, 200])
def test_line_shows_true_percentage_and_cells(permutations, capfdbinary):
    PIPELINES["ztest-exhaustive"](*tiny(), permutations)
    out = capfdbinary.readouterr().out.decode("ascii")
    assert out.startswith(PREFIX) and out.endswith("\n") and out.count("\n") == 1
    shots = terminal_snapshots(out[:-1])
    well_formed = re.compile(re.escape(PREFIX) + r"\[#* *\] \d+%$")
    assert all(well_formed.match(s) and s.index("]") == len(PREFIX) + WIDTH + 1 for s in shots)
    # The last snapshot of every percentage is the complete display of that percentage.
    settled = {}
    for s in shots:
        settled[int(s.split()[-1][:-1])] = s
    cycles = permutations + 1
    percentages = sorted({int(k * 100.0 / (cycles - 1)) for k in range(cycles)})
    assert sorted(settled) == percentages
    assert all(settled[p] == PREFIX + frame(p) for p in percentages)
    assert shots[-1] == PREFIX + frame(100)


def test_ten_permutations_redraw_every_frame(capfdbinary):
    PIPELINES["score-exhaustive"](*tiny(), 10)
    shots = terminal_snapshots(capfdbinary.readouterr().out.decode("ascii")[:-1])
    distinct = [s for k, s in enumerate(shots) if k == 0 or s != shots[k - 1]]
    assert distinct == [PREFIX + frame(p) for p in range(0, 101, 10)]
    assert shots[-1] == PREFIX + "[" + "#" * WIDTH + "] 100%"


def child_env():
    # Unbuffered Python also unbuffers C's stdout, which would hide a missing flush.
    env = {k: v for k, v in os.environ.items() if k != "PYTHONUNBUFFERED"}
    for name in ("OPENBLAS_NUM_THREADS", "OMP_NUM_THREADS", "MKL_NUM_THREADS"):
        env[name] = "1"
    return env


def test_output_is_flushed_when_the_call_returns(tmp_path):
    script = textwrap.dedent("""
        import os
        import numpy as np
        from corrshift import pipelines as pl
        data = np.random.default_rng(7).standard_normal((4, 8)).astype(np.float32)
        pl._score_pipeline_exhaustive(data, np.arange(4, dtype=np.int32),
                                      np.arange(4, 8, dtype=np.int32), "pearson", "mean",
                                      "two-sided", 100, 2)
        os.write(1, b"|after")
    """)
    done = subprocess.run(
        [sys.executable, "-c", script],
        cwd=str(tmp_path),
        env=child_env(),
        stdout=subprocess.PIPE,
        stderr=subprocess.PIPE,
        timeout=60,
    )
    assert done.returncode == 0, done.stderr.decode()
    assert done.stdout == (PREFIX + one_percent_bar(101) + "\n").encode("ascii") + b"|after"


INTERRUPTED_CHILD = textwrap.dedent("""
    import sys, threading, time
    import numpy as np
    from corrshift import pipelines as pl
    data = np.random.default_rng(0).standard_normal((1500, 60)).astype(np.float32)
    g1, g2 = np.arange(30, dtype=np.int32), np.arange(30, 60, dtype=np.int32)
    print("started", file=sys.stderr, flush=True)
    try:
        pl._ztest_pipeline_exhaustive(data, g1, g2, "pearson", "two-sided", 2000, 2)
        print("finished", file=sys.stderr, flush=True)
    except KeyboardInterrupt:
        print("interrupted", file=sys.stderr, flush=True)
    small = pl._ztest_pipeline_exhaustive(data[:5], g1, g2, "spearman", "two-sided", 3, 2)
    def count():
        return [l.split()[1] for l in open("/proc/self/status") if l.startswith("Threads:")][0]
    # A joined thread stays in the count until the kernel has reaped it: wait up to 2 s.
    deadline = time.monotonic() + 2.0
    while count() != "1" and time.monotonic() < deadline:
        time.sleep(0.02)
    threads = count()
    print("ok", len(small[0]), threading.active_count(), threads, file=sys.stderr, flush=True)
""")


def read_until(stream, marker, deadline):
    seen = b""
    while marker not in seen:
        left = deadline - time.monotonic()
        assert left > 0, "child printed no progress: %r" % seen
        ready, _, _ = select.select([stream], [], [], left)
        if ready:
            chunk = os.read(stream.fileno(), 4096)
            assert chunk, "child closed its output: %r" % seen
            seen += chunk
    return seen


def test_interrupt_ends_the_call_and_leaves_no_worker(tmp_path):
    child = subprocess.Popen(
        [sys.executable, "-c", INTERRUPTED_CHILD],
        cwd=str(tmp_path),
        env=child_env(),
        stdout=subprocess.PIPE,
        stderr=subprocess.PIPE,
    )
    try:
        deadline = time.monotonic() + 60
        assert child.stderr.readline() == b"started\n"
        # The first frame appears once the observed pass is done: the call is running.
        head = read_until(child.stdout, b"] 0%", deadline)
        time.sleep(0.5)
        child.send_signal(signal.SIGINT)
        tail, errors = child.communicate(timeout=max(1.0, deadline - time.monotonic()))
    finally:
        if child.poll() is None:
            child.kill()
            child.wait()
    assert child.returncode == 0, errors.decode()
    assert errors.decode().split("\n")[:2] == ["interrupted", "ok 10 1 1"]
    calls = (head + tail).split(PREFIX.encode())
    assert len(calls) == 3 and b"\n" not in calls[1] and calls[2].endswith(b"] 100%\n")
