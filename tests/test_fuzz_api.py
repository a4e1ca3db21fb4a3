"""Property-based fuzzing of the API functions (``ztest``, ``row_scores``, ``set_scores``,
``module_scores``) with hostile arguments, each call made in a subprocess: data of every
kind (arrays of odd element types and shapes, ragged lists, DataFrames, SciPy sparse
matrices with damaged index arrays, AnnData objects, paths), groups, pairs, sets and
modules of the wrong kind, length or range, and options of the wrong type or value.

A call may only return a result table or raise ``corrshift.InputError`` with a one-line
message; no other exception, and no crash of the process (tests/reliability/fuzz_python.py).

Bounded by CORRSHIFT_FUZZ_SECONDS (default 5 here); `make fuzz` sets a longer time and
reports the number of calls tried.
"""

import os
import sys
import time
import warnings

import numpy as np
import pytest
from hypothesis import HealthCheck, Phase, given, settings
from hypothesis import strategies as st

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "reliability"))
from fuzz_client import Worker  # noqa: E402
from fuzz_python import PyCall  # noqa: E402

SECONDS = float(os.environ.get("CORRSHIFT_FUZZ_SECONDS", "5"))
SANITIZED = "CORRSHIFT_SANITIZED" in os.environ
EXAMPLES = int(os.environ.get("CORRSHIFT_FUZZ_EXAMPLES", "40"))
SCRIPT = os.path.join(os.path.dirname(os.path.abspath(__file__)), "reliability", "fuzz_python.py")

try:
    import scipy.sparse as sparse
except ImportError:  # pragma: no cover
    sparse = None
try:
    import pandas as pd
except ImportError:  # pragma: no cover
    pd = None
try:
    import anndata
except ImportError:  # pragma: no cover
    anndata = None

VALUES = st.one_of(
    st.floats(-10, 10, width=32),
    st.sampled_from([0.0, 1.0, float("nan"), float("inf"), -float("inf"), 3e38, 1e-300, -0.0]),
)
DTYPES = ["float32", "float32", "float64", "int64", "int8", "uint8", "bool", "float16", "complex64", "object", "<U3"]
ODD = [None, 0, -1, 2.5, True, "", "x", b"x", [], {}, [[]], [None], object, (1, 2), np.float64("nan"), 2**63]


def _column_names(n):
    return ["s{}".format(j) for j in range(n)]


@st.composite
def data(draw, rows, cols, x=None):
    """Data of some kind holding a rows x cols matrix (`x`, or drawn; sometimes not quite)."""
    if x is None:
        values = np.asarray(draw(st.lists(VALUES, min_size=rows * cols, max_size=rows * cols)), np.float64)
        x = values.reshape(rows, cols)
    kind = draw(
        st.sampled_from(
            ["array"] * 4 + ["list", "ragged", "frame", "sparse", "damaged-sparse", "anndata", "path", "odd", "shape"]
        )
    )
    if kind == "array":
        dtype = draw(st.sampled_from(DTYPES))
        with np.errstate(all="ignore"):
            return x.astype(dtype) if dtype != "object" else x.astype(object)
    if kind == "list":
        return x.tolist()
    if kind == "ragged":
        rows_ = x.tolist() or [[]]
        rows_[-1] = rows_[-1][:-1] if rows_[-1] else [1.0, 2.0]
        return rows_
    if kind == "frame" and pd is not None:
        frame = pd.DataFrame(x, index=["g{}".format(i) for i in range(rows)], columns=_column_names(cols))
        if cols and draw(st.booleans()):
            frame[frame.columns[0]] = ["a"] * rows
        return frame
    if kind in ("sparse", "damaged-sparse") and sparse is not None:
        matrix = getattr(sparse, draw(st.sampled_from(["csr", "csc", "coo", "lil"])) + "_matrix")(np.nan_to_num(x))
        if kind == "damaged-sparse" and matrix.nnz:
            if matrix.format == "coo":
                matrix.row[draw(st.integers(0, matrix.nnz - 1))] = draw(st.sampled_from([-1, rows, 10**6]))
            elif matrix.format == "lil":
                matrix.rows[int(np.flatnonzero([len(r) for r in matrix.rows])[0])][0] = cols + 5
            else:
                which = draw(st.sampled_from(["indices", "indptr"]))
                array = getattr(matrix, which)
                array[draw(st.integers(0, array.size - 1))] = draw(st.sampled_from([-3, 10**6, max(rows, cols) + 1]))
        return matrix
    if kind == "anndata" and anndata is not None and pd is not None:
        with warnings.catch_warnings():
            warnings.simplefilter("ignore")
            return anndata.AnnData(
                X=np.ascontiguousarray(np.nan_to_num(x).T.astype(np.float32)),
                obs=pd.DataFrame({"g": (["a", "b"] * cols)[:cols]}, index=_column_names(cols)),
                var=pd.DataFrame(index=["g{}".format(i) for i in range(rows)]),
            )
    if kind == "path":
        return draw(st.sampled_from(["/nonexistent/x.tsv", "/", "/dev/null", "/proc/self/status", "x.h5ad"]))
    if kind == "shape":
        return x.reshape(-1) if draw(st.booleans()) else x.reshape((1,) + x.shape)
    return draw(st.sampled_from(ODD))


@st.composite
def group(draw, cols, other=None):
    kind = draw(st.sampled_from(["ints"] * 3 + ["names", "mask", "level", "odd", "array", "series"]))
    count = draw(st.integers(0, cols + 1))
    if kind == "ints":
        return draw(st.lists(st.integers(-2, cols + 1), min_size=count, max_size=count))
    if kind == "names":
        return [draw(st.sampled_from(_column_names(cols + 2))) for _ in range(count)]
    if kind == "mask":
        length = max(0, cols + draw(st.sampled_from([0, 0, 1, -1])))
        return draw(st.lists(st.booleans(), min_size=length, max_size=length))
    if kind == "level":
        return draw(st.sampled_from(["a", "b", "c", 1, ["a", "b"]]))
    if kind == "array":
        return np.asarray(
            draw(st.lists(st.integers(0, max(cols - 1, 0)), min_size=count, max_size=count)),
            dtype=draw(st.sampled_from(["int32", "int64", "uint8", "float64"])),
        )
    if kind == "series" and pd is not None:
        return pd.Series([True] * cols, index=_column_names(cols))
    return draw(st.sampled_from(ODD))


@st.composite
def rows_spec(draw, rows):
    return draw(st.one_of(st.integers(-1, rows + 1), st.sampled_from(["g0", "g1", "nope", None, 1.5, (0,)])))


OPTIONS = {
    "method": st.sampled_from(["pearson", "spearman", "Pearson", "kendall", None, 1]),
    "alternative": st.sampled_from(["two-sided", "greater", "less", "two_sided", None]),
    "permutations": st.one_of(st.integers(0, 12), st.sampled_from([-1, 1.5, None, True, 2**24 + 1, 2**31, "3"])),
    "n_jobs": st.one_of(st.integers(1, 3), st.sampled_from([0, -1, 2**31, 1.0, "2", None])),
    "max_p": st.sampled_from([None, None, 0.05, 1.0, 0.0, -0.1, 2.0, "0.1", float("nan")]),
    "max_q": st.sampled_from([None, None, 0.2, 1.0, 0.0, 1.5, True, float("nan")]),
    "top": st.sampled_from([None, None, 1, 5, 0, -2, 2.5, True]),
    "min_cells": st.sampled_from([None, 0, 2, -1, 1.5, True]),
    "min_fraction": st.sampled_from([None, 0.5, 1.0, 2.0, -0.1, "x"]),
    "allow_overlap": st.booleans(),
    "out": st.sampled_from([None, None, None, "<fresh folder>", "<a file>", "<foreign folder>", 3]),
    "client": st.sampled_from([None, None, None, None, object(), 1]),
    "row_names": st.sampled_from([None, None, ["a"], "abc"]),
    "layer": st.sampled_from([None, None, None, "counts", 3]),
}


@st.composite
def plausible(draw, rows, cols):
    """Well-formed data and two disjoint groups of 4 or more columns (some calls succeed)."""
    x = np.asarray(draw(st.lists(st.floats(-5, 5, width=32), min_size=rows * cols, max_size=rows * cols)), np.float32)
    order = draw(st.permutations(list(range(cols))))
    k = draw(st.integers(4, cols - 4))
    return x.reshape(rows, cols), order[:k], order[k : k + draw(st.integers(4, cols - k))]


@st.composite
def api_call(draw):
    function = draw(st.sampled_from(["ztest", "row_scores", "set_scores", "module_scores"]))
    rows, cols = draw(st.integers(0, 6)), draw(st.integers(0, 12))
    well = draw(st.booleans())
    if well:
        rows, cols = draw(st.integers(2, 6)), draw(st.integers(8, 12))
        matrix, g1, g2 = draw(plausible(rows, cols))
    args = [draw(st.one_of(st.just(matrix), data(rows, cols, matrix))) if well else draw(data(rows, cols))]
    if function == "set_scores":
        args.append(
            draw(
                st.one_of(
                    st.dictionaries(rows_spec(rows), st.lists(rows_spec(rows), max_size=4), max_size=3),
                    st.lists(st.tuples(rows_spec(rows), st.lists(rows_spec(rows), max_size=3)), max_size=3),
                    st.sampled_from(ODD),
                )
            )
        )
    elif function == "module_scores":
        args.append(
            draw(
                st.one_of(
                    st.dictionaries(st.text(max_size=3), st.lists(rows_spec(rows), max_size=5), max_size=3),
                    st.lists(st.lists(rows_spec(rows), max_size=4), max_size=3),
                    st.sampled_from(ODD + ["/nonexistent.gmt"]),
                )
            )
        )
    args += [g1, g2] if well and draw(st.integers(0, 3)) else [draw(group(cols)), draw(group(cols))]
    kwargs = {"progress": False}
    if draw(st.integers(0, 3)) == 0:
        kwargs["groupby"] = draw(st.sampled_from(["g", "nope", (["a", "b"] * cols)[:cols], ["a"], None, 3]))
    if function == "ztest" and draw(st.booleans()) and not well:
        kwargs["pairs"] = draw(
            st.one_of(
                st.lists(st.tuples(rows_spec(rows), rows_spec(rows)), max_size=4),
                st.lists(st.lists(rows_spec(rows), max_size=3), max_size=3),
                st.sampled_from(ODD + [np.zeros((2, 3), int)]),
            )
        )
        if draw(st.booleans()):
            kwargs["perm_q"] = draw(st.sampled_from([True, False, 1]))
    if function == "ztest" and draw(st.integers(0, 4)) == 0:
        kwargs["class_alpha"] = draw(st.sampled_from([0.05, 0.0, 1.0, -1, "x"]))
    if function != "ztest" and draw(st.integers(0, 3)) == 0:
        kwargs["score"] = draw(st.sampled_from(["mean", "median", "Mean", None]))
    for name in draw(st.lists(st.sampled_from(sorted(OPTIONS)), max_size=1 if well else 4, unique=True)):
        kwargs[name] = draw(OPTIONS[name])
    if "permutations" not in kwargs:
        kwargs["permutations"] = draw(st.integers(0, 8))
    return PyCall("api", function, tuple(args), kwargs)


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
            reporter.write_line("fuzz (api): %d calls tried, %d refused" % (_run["calls"], _run["raised"]))
    worker.close()


def test_random_api_calls(worker):
    @settings(
        max_examples=EXAMPLES,
        deadline=None,
        suppress_health_check=list(HealthCheck),
        phases=[Phase.explicit, Phase.reuse, Phase.generate],
        report_multiple_bugs=False,
    )
    @given(st.lists(api_call(), min_size=1, max_size=8))
    def batch(calls):
        outcomes = worker.run(calls)
        _run["calls"] += len(calls)
        _run["raised"] += sum(1 for raised, _, _ in outcomes if raised)
        report = [
            "%s\n  -> %s\n  %s" % (c.describe(), "raised %s(%r)" % (r, m[:300]) if r else "returned", "\n  ".join(p))
            for c, (r, m, p) in zip(calls, outcomes)
            if p
        ]
        assert not report, "\n\n".join(report)

    deadline = time.monotonic() + SECONDS
    batch()
    while time.monotonic() < deadline:
        batch()
