"""Property-based fuzzing of every registered function, each call made in a subprocess.

Every call must either return arrays of the promised lengths and element types, equal
bit for bit to the reference implementation, to the same call with n_jobs=1 and (for
the pipelines) to the straightforward kernel of the private `_baseline` module, or
raise TypeError, ValueError, IndexError, RuntimeError or MemoryError with a message,
of the class its arguments call for (tests/reliability/fuzz_model.py). A crash or hang
of the worker process fails the test and names the call.

The run is bounded by CORRSHIFT_FUZZ_SECONDS (default 40); `make fuzz` sets a longer
time and reports the number of calls tried.
"""

import os
import sys
import time
import warnings

import numpy as np
import pytest
from hypothesis import HealthCheck, Phase, given, settings
from hypothesis import strategies as st
from hypothesis.extra import numpy as hnp

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "reliability"))
import fuzz_model as fm  # noqa: E402
from fuzz_client import Worker  # noqa: E402
from fuzz_model import Arg, Call  # noqa: E402

SECONDS = float(os.environ.get("CORRSHIFT_FUZZ_SECONDS", "40"))
SANITIZED = "CORRSHIFT_SANITIZED" in os.environ
BATCH = 8
# Examples per round of the random run.
EXAMPLES = int(os.environ.get("CORRSHIFT_FUZZ_EXAMPLES", "40"))

# Known faults, left out of the random run until they are fixed; each has its own
# regression test below, which fails once the fault is gone so that the switch is
# turned on again. CORRSHIFT_FUZZ_KNOWN_FAULTS=1 turns it on for a run.
KNOWN_FAULTS = os.environ.get("CORRSHIFT_FUZZ_KNOWN_FAULTS") == "1"
# An index or label array whose first extent exceeds its element count, e.g. shape (3, 0),
# is read past the end of its buffer.
GENERATE_SHORT_INDEX_ARRAYS = KNOWN_FAULTS

INT32_MIN, INT32_MAX = fm.INT32_MIN, fm.INT32_MAX


def _f32(value):
    return float(np.float32(value))


FLOATS = st.one_of(
    st.sampled_from([0.0, 1.0, -1.0, 2.0, 0.5, -0.0, 3.0]),
    st.floats(-100, 100, width=32),
    st.sampled_from([float("nan"), float("inf"), float("-inf"), _f32(3e38), _f32(-3e38), _f32(1e-45), _f32(1e-38)]),
)
FLOAT_DTYPES = st.one_of(
    st.just(np.dtype(np.float32)),
    st.sampled_from(
        [
            np.dtype(np.float32),
            np.dtype(np.float64),
            np.dtype(np.float16),
            np.dtype(">f4"),
            np.dtype(np.int16),
            np.dtype(np.int32),
            np.dtype(np.int64),
            np.dtype(np.bool_),
            np.dtype(np.complex64),
            np.dtype(np.uint8),
            np.dtype(object),
        ]
    ),
)
INDEX_DTYPES = st.one_of(
    st.just(np.dtype(np.int32)),
    st.sampled_from(
        [
            np.dtype(np.int32),
            np.dtype(np.int64),
            np.dtype(np.int16),
            np.dtype(np.uint16),
            np.dtype(">i4"),
            np.dtype(np.uint32),
            np.dtype(np.float64),
            np.dtype(np.bool_),
            np.dtype(np.int8),
        ]
    ),
)
LAYOUTS = st.one_of(st.just("c"), st.sampled_from(fm.LAYOUTS))

COMMON_NEAR_MISSES = ["", " ", "\0", b"", "\udcff", None, 0]
SCORES = (
    ["mean", "median"],
    [
        "Mean",
        "MEAN",
        "mean ",
        " mean",
        "mea",
        "meanx",
        "mean\0",
        b"mean",
        b"median",
        bytearray(b"median"),
        "Median",
        "m\u00e9dian",
        "medians",
    ],
)
METHODS = (
    ["pearson", "spearman"],
    ["Spearman", "SPEARMAN", "spearman ", "spearma", "spearman\0", b"spearman", "kendall"],
)
ALTERNATIVES = (
    ["two-sided", "greater", "less"],
    [
        "two_sided",
        "Two-sided",
        "two-sided ",
        "twosided",
        "greater ",
        "Greater",
        "LESS",
        "les",
        b"less",
        b"two-sided",
        "less\0",
        "greater\0",
    ],
)


def option(names):
    valid, near = names
    return st.one_of(
        st.sampled_from(valid),
        st.sampled_from(valid),
        st.sampled_from(near + COMMON_NEAR_MISSES),
        st.text(max_size=4),
        st.binary(max_size=4),
    )


def job_count():
    extremes = [INT32_MIN, 0, -1, 2**31, -(2**31) - 1, True, np.int64(3), 2.0, None, "2"]
    if not SANITIZED:
        # Thread and memory exhaustion in the z-test pipelines, caught by the worker's
        # address-space cap; the sanitizers' shadow memory rules that cap out.
        extremes += [INT32_MAX, 100000]
    return st.one_of(st.integers(1, 4), st.integers(-2, 70), st.sampled_from(extremes))


def permutation_count():
    return st.one_of(
        st.integers(0, 3), st.integers(-3, 40), st.sampled_from([INT32_MIN, INT32_MAX, 2**31, 1.0, None, True])
    )


def _retype(array, dtype):
    with warnings.catch_warnings(), np.errstate(all="ignore"):
        warnings.simplefilter("ignore")
        return array.astype(dtype)


def array_arg(draw, base, dtypes):
    """An argument holding `base`, possibly in another element type and memory layout."""
    value = _retype(base, draw(dtypes))
    return Arg(value, draw(LAYOUTS))


@st.composite
def float_array(draw, shape):
    array = draw(hnp.arrays(np.float32, shape, elements=FLOATS))
    if array.ndim == 2 and array.shape[0] and draw(st.integers(0, 3)) == 0:
        array[draw(st.integers(0, array.shape[0] - 1))] = draw(FLOATS)  # a constant row
    return array


@st.composite
def data_matrix(draw, max_rows=7, max_cols=9):
    ndim = draw(st.one_of(st.just(2), st.sampled_from([2, 1, 3, 0])))
    if ndim == 2:
        shape = (draw(st.integers(0, max_rows)), draw(st.integers(0, max_cols)))
    else:
        shape = tuple(draw(st.integers(0, 3)) for _ in range(ndim))
    return draw(float_array(shape))


@st.composite
def index_values(draw, limit, length, ordered=False):
    in_range = st.integers(0, limit - 1) if limit > 0 else st.just(0)
    element = st.one_of(in_range, in_range, st.integers(-2, limit + 1), st.sampled_from([INT32_MIN, INT32_MAX]))
    values = draw(st.lists(element, min_size=length, max_size=length))
    if ordered and draw(st.integers(0, 4)) > 0:
        values.sort()
    return values


@st.composite
def index_array(draw, values):
    """An int32 list of `values` whose first extent is len(values), or a degenerate one."""
    array = np.array(values, np.int32)
    shapes = ["flat", "flat", "flat", "column", "row", "scalar"]
    if GENERATE_SHORT_INDEX_ARRAYS:
        shapes.append("short")
    shape = draw(st.sampled_from(shapes))
    if shape == "column":
        return array.reshape(len(values), 1)
    if shape == "row" and values:
        return array.reshape(1, len(values))
    if shape == "scalar":
        return np.array(values[0] if values else 0, np.int32)
    if shape == "short":
        return np.zeros((len(values) + 1, 0), np.int32)
    return array


@st.composite
def column_groups(draw, ncols, args):
    """Appends first_columns and second_columns to args: in range, duplicated, shared
    between the groups, the very same object, or too many for the permutation draw."""
    fitting = st.integers(0, max(ncols, 0))
    first_count = draw(st.one_of(fitting, st.integers(0, 8)))
    second_count = draw(st.one_of(st.integers(0, max(ncols - first_count, 0)), st.integers(0, 8)))
    first = draw(index_values(ncols, first_count))
    args.append(array_arg(draw, draw(index_array(first)), INDEX_DTYPES))
    how = draw(st.sampled_from(["own", "own", "shared", "same"]))
    if how == "same":
        args.append(Arg(len(args) - 1, "same"))
        return
    second = draw(index_values(ncols, second_count))
    if how == "shared" and first:
        second = (first + second)[: max(second_count, 1)]
    args.append(array_arg(draw, draw(index_array(second)), INDEX_DTYPES))


@st.composite
def score_indexed_call(draw):
    count = draw(st.integers(0, 9))
    labels = draw(
        st.lists(st.one_of(st.integers(-3, 5), st.sampled_from([INT32_MIN, INT32_MAX])), min_size=count, max_size=count)
    )
    if draw(st.integers(0, 4)) > 0:
        labels.sort()
    extra = draw(st.one_of(st.just(0), st.integers(-2, 3)))
    values = draw(float_array((max(count + extra, 0),)))
    if values.size and draw(st.integers(0, 5)) == 0:
        values = values.reshape(1, values.size)
    return Call(
        "_score_indexed",
        (
            array_arg(draw, values, FLOAT_DTYPES),
            array_arg(draw, draw(index_array(labels)), INDEX_DTYPES),
            Arg(draw(option(SCORES))),
            Arg(draw(job_count())),
        ),
    )


@st.composite
def score_exhaustive_call(draw):
    n_items = draw(
        st.one_of(st.integers(0, 9), st.integers(-2, 9), st.sampled_from([INT32_MAX, INT32_MIN, 46342, 2**31, 3.0]))
    )
    small = n_items if isinstance(n_items, int) and 0 <= n_items <= 9 else 0
    extra = draw(st.one_of(st.just(0), st.integers(-2, 2)))
    values = draw(float_array((max(small * (small - 1) // 2 + extra, 0),)))
    return Call(
        "_score_exhaustive",
        (array_arg(draw, values, FLOAT_DTYPES), Arg(n_items), Arg(draw(option(SCORES))), Arg(draw(job_count()))),
    )


def _pair_lists(draw, nrows, args, ordered):
    """Appends first_rows and second_rows: usually of one length, sometimes not."""
    count = draw(st.integers(0, 8))
    other = max(count + draw(st.one_of(st.just(0), st.integers(-1, 1))), 0)
    first_count, second_count = (count, other) if ordered else (other, count)
    first = draw(index_values(nrows, first_count, ordered=ordered))
    args.append(array_arg(draw, draw(index_array(first)), INDEX_DTYPES))
    if draw(st.integers(0, 9)) == 0:
        args.append(Arg(len(args) - 1, "same"))
        return
    second = draw(index_values(nrows, second_count))
    args.append(array_arg(draw, draw(index_array(second)), INDEX_DTYPES))


@st.composite
def pipeline_call(draw, function):
    data = draw(data_matrix())
    nrows = data.shape[0] if data.ndim == 2 else 0
    ncols = data.shape[1] if data.ndim == 2 else 0
    args = [array_arg(draw, data, FLOAT_DTYPES)]
    if function.endswith("indexed"):
        _pair_lists(draw, nrows, args, ordered=function == "_score_pipeline_indexed")
    draw(column_groups(ncols, args))
    args.append(Arg(draw(option(METHODS))))
    if function.startswith("_score"):
        args.append(Arg(draw(option(SCORES))))
    args.append(Arg(draw(option(ALTERNATIVES))))
    args.append(Arg(draw(permutation_count())))
    args.append(Arg(draw(job_count())))
    return Call(function, tuple(args))


ANY_CALL = st.one_of(
    score_indexed_call(),
    score_exhaustive_call(),
    *[
        pipeline_call(name)
        for name in (
            "_ztest_pipeline_indexed",
            "_ztest_pipeline_exhaustive",
            "_score_pipeline_indexed",
            "_score_pipeline_exhaustive",
        )
    ],
)


def _problems(calls, outcomes):
    report = []
    for call, (raised, message, problems) in zip(calls, outcomes):
        if problems:
            report.append(
                "%s\n  -> %s\n  %s"
                % (
                    call.describe(),
                    "raised %s(%r)" % (raised, message) if raised else "returned",
                    "\n  ".join(problems),
                )
            )
    return report


_run = {"calls": 0}


@pytest.fixture(scope="module")
def worker(request):
    worker = Worker(timeout=600.0 if SANITIZED else 120.0)
    yield worker
    plugins = request.config.pluginmanager
    reporter, capture = plugins.getplugin("terminalreporter"), plugins.getplugin("capturemanager")
    if reporter is not None and capture is not None and _run["calls"]:
        with capture.global_and_fixture_disabled():
            reporter.ensure_newline()
            reporter.write_line("fuzz: %d calls tried" % _run["calls"])
    worker.close()


def test_random_calls(worker):
    # Rounds of EXAMPLES examples each until the time is up: a round is a complete
    # Hypothesis run, so stopping between rounds never cuts one short. No shrinking:
    # the report already names each failing call on its own.
    @settings(
        max_examples=EXAMPLES,
        deadline=None,
        suppress_health_check=list(HealthCheck),
        phases=[Phase.explicit, Phase.reuse, Phase.generate],
        print_blob=True,
        report_multiple_bugs=False,
    )
    @given(st.lists(ANY_CALL, min_size=1, max_size=BATCH))
    def batch(calls):
        _run["calls"] += len(calls)
        report = _problems(calls, worker.run(calls))
        assert not report, "\n\n".join(report)

    deadline = time.monotonic() + SECONDS
    batch()
    while time.monotonic() < deadline:
        batch()


# --- regressions and limits ---------------------------------------------------------

F32, I32 = np.float32, np.int32
DATA = np.random.default_rng(7).standard_normal((5, 8)).astype(F32)
ROWS = np.array([0, 0, 1, 3], I32)
OTHER_ROWS = np.array([1, 2, 4, 4], I32)
GROUP1, GROUP2 = np.array([0, 1, 2, 3], I32), np.array([4, 5, 6, 7], I32)


def _call(function, *args):
    return Call(function, tuple(Arg(a, "c") if isinstance(a, np.ndarray) else Arg(a) for a in args))


def _one_call_of_each(data=DATA):
    return [
        _call("_score_indexed", data[0], np.array([0, 0, 1, 1, 2, 2, 2, 5], I32), "median", 2),
        _call("_score_exhaustive", data.ravel()[:10], 5, "mean", 3),
        _call("_ztest_pipeline_indexed", data, ROWS, OTHER_ROWS, GROUP1, GROUP2, "spearman", "greater", 5, 2),
        _call("_ztest_pipeline_exhaustive", data, GROUP1, GROUP2, "pearson", "two-sided", 5, 3),
        _call("_score_pipeline_indexed", data, ROWS, OTHER_ROWS, GROUP1, GROUP2, "pearson", "median", "less", 5, 2),
        _call("_score_pipeline_exhaustive", data, GROUP1, GROUP2, "spearman", "mean", "two-sided", 5, 2),
    ]


def _replace(call, position, arg):
    args = list(call.args)
    args[position] = arg
    return Call(call.function, tuple(args))


def _assert_clean(worker, calls):
    report = _problems(calls, worker.run(calls))
    assert not report, "\n\n".join(report)


def test_one_valid_call_of_each_function(worker):
    _assert_clean(worker, _one_call_of_each())


# (function, position) of every index or label list.
INDEX_ARGUMENTS = [
    (0, 1),
    (2, 1),
    (2, 2),
    (2, 3),
    (2, 4),
    (3, 1),
    (3, 2),
    (4, 1),
    (4, 2),
    (4, 3),
    (4, 4),
    (5, 1),
    (5, 2),
]


@pytest.mark.parametrize(
    "which, position",
    INDEX_ARGUMENTS,
    ids=["%s-arg%d" % (_one_call_of_each()[w].function, p) for w, p in INDEX_ARGUMENTS],
)
def test_index_list_with_fewer_elements_than_its_first_extent(worker, which, position):
    # Shape (4, 0): first extent 4, no element. Reading four entries runs past the buffer;
    # the call must be rejected with ValueError instead.
    call = _replace(_one_call_of_each()[which], position, Arg(np.zeros((4, 0), I32), "c"))
    _assert_clean(worker, [call])


@pytest.mark.parametrize("which", range(6), ids=[c.function for c in _one_call_of_each()])
def test_unaligned_arrays(worker, which):
    # An unaligned float32 or int32 array is copied to aligned storage before any work,
    # so the undefined-behaviour sanitizer finds no misaligned read.
    call = _one_call_of_each()[which]
    args = tuple(Arg(a.value, "unaligned") if a.layout == "c" else a for a in call.args)
    _assert_clean(worker, [Call(call.function, args)])


@pytest.mark.skipif(SANITIZED, reason="needs an address-space cap, which the sanitizers rule out")
@pytest.mark.parametrize("which", [2, 3], ids=["indexed", "exhaustive"])
def test_largest_job_count_in_the_ztest_pipelines(worker, which):
    # The z-test pipelines do not clamp the job count; 2^31 - 1 jobs must end in an
    # exception (here MemoryError under the worker's address-space cap), not a crash,
    # and the next call must work.
    call = _one_call_of_each()[which]
    huge = _replace(call, len(call.args) - 1, Arg(INT32_MAX))
    raised, message, problems = worker.run([huge], reference=False)[0]
    assert not problems and raised in ("MemoryError", "RuntimeError") and message
    _assert_clean(worker, [call])


@pytest.mark.skipif(SANITIZED, reason="needs an address-space cap, which the sanitizers rule out")
def test_matrix_of_2_31_elements_is_rejected_without_being_read(tmp_path):
    # 46341 x 46341 float32 elements (2^31 + 4633) in a sparse file: mapped, never touched.
    # The check must reject it before anything reads, copies or allocates per element.
    import subprocess

    script = r"""
import resource, sys
import numpy as np
from corrshift import pipelines
data = np.memmap(sys.argv[1], dtype=np.float32, mode="w+", shape=(46341, 46341))
resource.setrlimit(resource.RLIMIT_AS, (data.nbytes + (3 << 30),) * 2)
groups = np.arange(3, dtype=np.int32), np.arange(3, 6, dtype=np.int32)
pairs = np.array([0], np.int32), np.array([1], np.int32)
calls = [
    lambda: pipelines._ztest_pipeline_indexed(data, *pairs, *groups, "pearson", "less", 0, 1),
    lambda: pipelines._ztest_pipeline_exhaustive(data, *groups, "pearson", "less", 0, 1),
    lambda: pipelines._score_pipeline_indexed(data, *pairs, *groups, "pearson", "mean", "less", 0, 1),
    lambda: pipelines._score_pipeline_exhaustive(data, *groups, "pearson", "mean", "less", 0, 1),
]
for call in calls:
    try:
        call()
        print("accepted")
    except ValueError as error:
        print("ValueError", error)
rss = [l for l in open("/proc/self/status") if l.startswith("VmHWM")][0].split()[1]
print("peak-kib", rss)
"""
    path = tmp_path / "huge.f32"
    run = subprocess.run(
        [sys.executable, "-c", script, str(path)], capture_output=True, text=True, timeout=120, cwd=str(tmp_path)
    )
    assert run.returncode == 0, run.stderr
    lines = run.stdout.splitlines()
    assert all(line.startswith("ValueError") and "46341" in line for line in lines[:4]), lines
    assert int(lines[4].split()[1]) < 500 * 1024, "peak resident memory %s KiB" % lines[4]
    assert os.stat(path).st_blocks * 512 < 1 << 20, "the matrix was written"
