"""Property-based fuzzing of the block module (``corrshift._blocks``), each call made in a
subprocess: well-formed calls, and calls with one argument made wrong (element type, layout,
shape, range, length, option name, pass range, thread count, progress callback).

A well-formed call must return arrays of the documented lengths, the same bits on one
thread, and counts that add up over two pass ranges splitting its own; any call may only
end in TypeError, ValueError, IndexError, RuntimeError or MemoryError, with a message, and
never crash the process (tests/reliability/fuzz_python.py).

Bounded by CORRSHIFT_FUZZ_SECONDS (default 5 here); `make fuzz` sets a longer time and
reports the number of calls tried.
"""

import os
import sys
import time

import numpy as np
import pytest
from hypothesis import HealthCheck, Phase, given, settings
from hypothesis import strategies as st

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "reliability"))
from fuzz_client import Worker  # noqa: E402
from fuzz_python import PyCall  # noqa: E402

pytest.importorskip("corrshift._blocks")

SECONDS = float(os.environ.get("CORRSHIFT_FUZZ_SECONDS", "5"))
SANITIZED = "CORRSHIFT_SANITIZED" in os.environ
EXAMPLES = int(os.environ.get("CORRSHIFT_FUZZ_EXAMPLES", "40"))
SCRIPT = os.path.join(os.path.dirname(os.path.abspath(__file__)), "reliability", "fuzz_python.py")

FLOATS = st.one_of(
    st.floats(-50, 50, width=32),
    st.sampled_from([0.0, 1.0, -1.0, float("nan"), float("inf"), -float("inf"), 3e38, 1e-45]),
)
METHODS = st.sampled_from(["pearson", "spearman"])
ALTERNATIVES = st.sampled_from(["two-sided", "greater", "less"])
SCORES = st.sampled_from(["mean", "median"])
NEAR_MISSES = ["Pearson", "spearman ", "", "two_sided", "Mean", "kendall", b"pearson", None, 0, "\0"]
BAD_ARRAYS = ["float64", "int64", "bool", "object", "complex", "strided", "fortran", "flat", "3d", "scalar", "list"]
BAD_INDEX = ["negative", "beyond", "int64", "float", "uint32", "2d", "longer", "shorter", "empty", "none"]
BAD_INTS = [-1, -(2**31), 2**31, 2**40, 1.5, None, True, "2"]
BAD_RANGES = [(3, 1), (-1, 2), (0, 10**6), (0,), (0, 1, 2), (1.0, 2.0), None, 5, "ab"]


@st.composite
def matrix(draw, min_rows=0):
    rows, cols = draw(st.integers(min_rows, 8)), draw(st.integers(4, 12))
    values = draw(st.lists(FLOATS, min_size=rows * cols, max_size=rows * cols))
    data = np.asarray(values, dtype=np.float32).reshape(rows, cols)
    if rows and draw(st.integers(0, 4)) == 0:
        data[draw(st.integers(0, rows - 1))] = 2.0  # a constant row
    if draw(st.integers(0, 2)) == 0:  # mostly finite values: correlations that mean something
        data[~np.isfinite(data)] = 0.5
    return data


@st.composite
def columns(draw, ncols):
    order = draw(st.permutations(list(range(ncols))))
    k1 = draw(st.integers(2, ncols - 2))
    k2 = draw(st.integers(2, ncols - k1))
    return np.array(order[:k1], np.int32), np.array(order[k1 : k1 + k2], np.int32)


@st.composite
def row_range(draw, nrows):
    a = draw(st.integers(0, nrows))
    return (a, draw(st.integers(a, nrows)))


@st.composite
def pair_lists(draw, nrows, count=None, sorted_first=False, distinct=True):
    count = draw(st.integers(0, 9)) if count is None else count
    if nrows < 2:
        return np.zeros(0, np.int32), np.zeros(0, np.int32)
    first = draw(st.lists(st.integers(0, nrows - 1), min_size=count, max_size=count))
    if sorted_first:
        first.sort()
    second = [draw(st.integers(0, nrows - 1).filter(lambda j, i=i: j != i or not distinct)) for i in first]
    return np.array(first, np.int32), np.array(second, np.int32)


@st.composite
def modules(draw, nrows):
    """Distinct pairs (i < j) and modules over them."""
    if nrows < 2:
        return np.zeros(0, np.int32), np.zeros(0, np.int32), np.zeros(1, np.int32), np.zeros(0, np.int32)
    pairs = sorted(
        {
            (min(i, j), max(i, j))
            for i, j in draw(
                st.lists(
                    st.tuples(st.integers(0, nrows - 1), st.integers(0, nrows - 1)).filter(lambda p: p[0] != p[1]),
                    min_size=1,
                    max_size=8,
                )
            )
        }
    )
    sizes = draw(st.lists(st.integers(1, 4), min_size=1, max_size=4))
    members = [draw(st.integers(0, len(pairs) - 1)) for _ in range(sum(sizes))]
    starts = np.concatenate([[0], np.cumsum(sizes)]).astype(np.int32)
    return (
        np.array([p[0] for p in pairs], np.int32),
        np.array([p[1] for p in pairs], np.int32),
        starts,
        np.array(members, np.int32),
    )


@st.composite
def well_formed(draw):
    function = draw(st.sampled_from(["ztest_block", "pairs_block", "row_score_block", "set_block", "module_block"]))
    data = draw(matrix())
    nrows, ncols = data.shape
    g1, g2 = draw(columns(ncols))
    first = draw(st.integers(0, 5))
    passes = (first, draw(st.integers(first, first + 5)))
    jobs = draw(st.integers(1, 3))
    kwargs = {"statistics": draw(st.sampled_from(["native", "api"]))}
    if function == "ztest_block":
        args = (data, g1, g2, draw(row_range(nrows)), draw(row_range(nrows)), draw(METHODS), draw(ALTERNATIVES))
    elif function == "pairs_block":
        a, b = draw(pair_lists(nrows))
        args = (data, a, b, g1, g2, draw(METHODS), draw(ALTERNATIVES))
    elif function == "row_score_block":
        args = (data, g1, g2, draw(row_range(nrows)), draw(METHODS), draw(SCORES), draw(ALTERNATIVES))
    elif function == "set_block":
        a, b = draw(pair_lists(nrows, sorted_first=True))
        args = (data, a, b, g1, g2, draw(METHODS), draw(SCORES), draw(ALTERNATIVES))
    else:
        a, b, starts, members = draw(modules(nrows))
        args = (data, a, b, starts, members, g1, g2, draw(METHODS), draw(SCORES), draw(ALTERNATIVES))
    return PyCall("blocks", function, args + passes + (jobs,), kwargs, True)


def _bad_array(kind, array):
    if kind == "strided":
        return np.repeat(array, 2, axis=0)[::2] if array.ndim else array
    if kind == "fortran":
        return np.asfortranarray(array) if array.ndim == 2 and min(array.shape) > 1 else array.astype(np.float64)
    if kind == "flat":
        return array.ravel()
    if kind == "3d":
        return array.reshape((1,) + array.shape)
    if kind == "scalar":
        return np.float32(1.0)
    if kind == "list":
        return array.tolist()
    with np.errstate(all="ignore"):
        return array.astype(
            {"float64": np.float64, "int64": np.int64, "bool": bool, "object": object, "complex": np.complex64}[kind]
        )


def _bad_index(kind, array, limit):
    if kind == "negative":
        return np.concatenate([array, np.array([-1], np.int32)])[-max(array.size, 1) :]
    if kind == "beyond":
        return np.concatenate([np.array([limit + 3], np.int32), array])[: max(array.size, 1)]
    if kind == "int64":
        return array.astype(np.int64)
    if kind == "float":
        return array.astype(np.float32)
    if kind == "uint32":
        return (array.astype(np.int64) + 2**32 - 1).astype(np.uint32)
    if kind == "2d":
        return np.zeros((array.size + 1, 0), np.int32)
    if kind == "longer":
        return np.concatenate([array, array, np.array([0], np.int32)])
    if kind == "shorter":
        return array[:-1] if array.size else np.zeros(0, np.int32)
    if kind == "empty":
        return np.zeros(0, np.int32)
    return None


@st.composite
def one_call(draw):
    call = draw(well_formed())
    if draw(st.integers(0, 2)) == 0:
        return call
    args, kwargs = list(call.args), dict(call.kwargs)
    data = args[0]
    what = draw(st.sampled_from(["array", "index", "int", "range", "text", "kwarg"]))
    if what == "array":
        args[0] = _bad_array(draw(st.sampled_from(BAD_ARRAYS)), data)
    elif what == "index":
        spots = [k for k, a in enumerate(args) if isinstance(a, np.ndarray) and a.dtype == np.int32]
        k = draw(st.sampled_from(spots))
        args[k] = _bad_index(draw(st.sampled_from(BAD_INDEX)), args[k], max(data.shape))
    elif what == "int":
        k = draw(st.sampled_from([len(args) - 3, len(args) - 2, len(args) - 1]))
        args[k] = draw(st.sampled_from(BAD_INTS))
    elif what == "range":
        spots = [k for k, a in enumerate(args) if isinstance(a, tuple)]
        if spots:
            args[draw(st.sampled_from(spots))] = draw(st.sampled_from(BAD_RANGES))
        else:
            args = args[:-1]  # one argument too few
    elif what == "text":
        spots = [k for k, a in enumerate(args) if isinstance(a, str)]
        args[draw(st.sampled_from(spots))] = draw(st.sampled_from(NEAR_MISSES))
    else:
        kwargs = draw(
            st.sampled_from(
                [
                    {"statistics": "exact"},
                    {"statistics": None},
                    {"progress": 3},
                    {"progress": "x"},
                    {"unknown": 1},
                    {"statistics": "api", "progress": None},
                ]
            )
        )
    return PyCall("blocks", call.function, tuple(args), kwargs, False)


_run = {"calls": 0, "raised": 0}


@pytest.fixture(scope="module")
def worker(request):
    worker = Worker(timeout=600.0 if SANITIZED else 120.0, script=SCRIPT)
    yield worker
    plugins = request.config.pluginmanager
    reporter, capture = plugins.getplugin("terminalreporter"), plugins.getplugin("capturemanager")
    if reporter is not None and capture is not None and _run["calls"]:
        with capture.global_and_fixture_disabled():
            reporter.ensure_newline()
            reporter.write_line("fuzz (blocks): %d calls tried, %d refused" % (_run["calls"], _run["raised"]))
    worker.close()


def _report(calls, outcomes):
    return [
        "%s\n  -> %s\n  %s"
        % (call.describe(), "raised %s(%r)" % (raised, message) if raised else "returned", "\n  ".join(problems))
        for call, (raised, message, problems) in zip(calls, outcomes)
        if problems
    ]


def test_random_block_calls(worker):
    @settings(
        max_examples=EXAMPLES,
        deadline=None,
        suppress_health_check=list(HealthCheck),
        phases=[Phase.explicit, Phase.reuse, Phase.generate],
        report_multiple_bugs=False,
    )
    @given(st.lists(one_call(), min_size=1, max_size=8))
    def batch(calls):
        outcomes = worker.run(calls)
        _run["calls"] += len(calls)
        _run["raised"] += sum(1 for raised, _, _ in outcomes if raised)
        report = _report(calls, outcomes)
        assert not report, "\n\n".join(report)

    deadline = time.monotonic() + SECONDS
    batch()
    while time.monotonic() < deadline:
        batch()
