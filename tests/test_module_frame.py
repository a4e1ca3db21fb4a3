"""What both extension modules share: registration, signatures, argument conversion,
option matching, the interpreter-version and NumPy checks, console silence and thread safety."""

import glob
import json
import re
import shutil
import subprocess
import sys
import textwrap
import threading

import numpy as np
import pytest

import reference as ref
from corrshift import _baseline, _blocks, pipelines, scores

F32, I32 = np.float32, np.int32
ARRAY_F, ARRAY_I = "numpy.ndarray[numpy.float32]", "numpy.ndarray[numpy.int32]"


def _tuple(*items):
    return "Tuple[" + ", ".join(items) + "]"


# Argument and result types of every registered function, in registration order.
SIGNATURES = {
    scores: [
        ("_score_indexed", [ARRAY_F, ARRAY_I, "str", "int"], _tuple(ARRAY_F, ARRAY_F)),
        ("_score_exhaustive", [ARRAY_F, "int", "str", "int"], ARRAY_F),
    ],
    pipelines: [
        ("_ztest_pipeline_indexed", [ARRAY_F] + [ARRAY_I] * 4 + ["str", "str", "int", "int"], _tuple(*[ARRAY_F] * 5)),
        (
            "_score_pipeline_indexed",
            [ARRAY_F] + [ARRAY_I] * 4 + ["str"] * 3 + ["int", "int"],
            _tuple(ARRAY_I, ARRAY_F, ARRAY_F),
        ),
        ("_ztest_pipeline_exhaustive", [ARRAY_F, ARRAY_I, ARRAY_I, "str", "str", "int", "int"], _tuple(*[ARRAY_F] * 5)),
        (
            "_score_pipeline_exhaustive",
            [ARRAY_F, ARRAY_I, ARRAY_I] + ["str"] * 3 + ["int", "int"],
            _tuple(ARRAY_F, ARRAY_F),
        ),
    ],
}
MODULES = pytest.mark.parametrize("module", [scores, pipelines], ids=["scores", "pipelines"])


@MODULES
def test_functions_are_registered_in_order_without_module_docstring(module):
    own = [name for name in vars(module) if name.startswith("_") and not name.startswith("__")]
    assert own == [name for name, _, _ in SIGNATURES[module]]
    assert module.__doc__ is None


@pytest.mark.parametrize(
    "module, name, args, result",
    [(m, *s) for m in SIGNATURES for s in SIGNATURES[m]],
    ids=[s[0] for m in SIGNATURES for s in SIGNATURES[m]],
)
def test_rendered_signature(module, name, args, result):
    params = ", ".join("arg%d: %s" % (k, t) for k, t in enumerate(args))
    assert getattr(module, name).__doc__ == "%s(%s) -> %s\n" % (name, params, result)


# --- argument conversion ---------------------------------------------------------

VALUES = np.array([1, -3, 2, -2, 5], F32)
LABELS = np.array([0, 0, 1, 1, 1], I32)


@pytest.mark.parametrize(
    "call",
    [
        lambda: scores._score_indexed(VALUES.astype(np.float64), LABELS, "mean", 1),
        lambda: scores._score_indexed(VALUES, LABELS.astype(np.int64), "mean", 1),
        lambda: scores._score_indexed(LABELS, LABELS, "mean", 1),
        lambda: scores._score_indexed(VALUES, LABELS, "mean", 1.0),
        lambda: scores._score_indexed(VALUES, LABELS, "mean", 2**31),
        lambda: scores._score_indexed(VALUES, LABELS, 3, 1),
        lambda: scores._score_exhaustive(VALUES, 2.0, "mean", 1),
        lambda: scores._score_exhaustive(VALUES.astype(np.float64), 2, "median", 1),
    ],
    ids=[
        "float64-values",
        "int64-labels",
        "int32-values",
        "float-jobs",
        "jobs-out-of-range",
        "int-score",
        "float-items",
        "float64-pairs",
    ],
)
def test_mismatched_scores_arguments_raise_type_error(call, capfd):
    with pytest.raises(TypeError, match="incompatible function arguments"):
        call()
    assert capfd.readouterr() == ("", "")


def _ztest_args(rng, nrows=5, ncols=12):
    data = rng.standard_normal((nrows, ncols)).astype(F32)
    return [
        data,
        np.array([0, 0, 1, 3], I32),
        np.array([1, 2, 4, 4], I32),
        np.arange(0, ncols, 2, dtype=I32),
        np.arange(1, ncols, 2, dtype=I32),
    ]


@pytest.mark.parametrize(
    "position, bad",
    [
        (0, lambda a: a.astype(np.float64)),
        (1, lambda a: a.astype(np.int64)),
        (3, lambda a: a.astype(F32)),
        (7, lambda a: 2.0),
    ],
    ids=["float64-data", "int64-rows", "float32-columns", "float-permutations"],
)
def test_mismatched_pipeline_arguments_fail_before_output(position, bad, capfd):
    args = _ztest_args(np.random.default_rng(0)) + ["pearson", "two-sided", 2, 1]
    args[position] = bad(args[position])
    with pytest.raises(TypeError, match="incompatible function arguments"):
        pipelines._ztest_pipeline_indexed(*args)
    assert capfd.readouterr() == ("", "")


def test_non_contiguous_scores_inputs_read_as_contiguous_copies():
    rng = np.random.default_rng(1)
    values = rng.standard_normal((40, 30)).astype(F32).T  # 2-D, transposed
    labels = np.sort(rng.integers(-5, 60, 2400)).astype(I32)[::2]  # strided
    pairs = rng.standard_normal(3 * 190).astype(F32)[1::3]  # strided, 20 items
    assert not (values.flags.c_contiguous or labels.flags.c_contiguous or pairs.flags.c_contiguous)
    for score in ["mean", "median"]:
        got = scores._score_indexed(values, labels, score, 3)
        want = scores._score_indexed(np.ascontiguousarray(values), np.ascontiguousarray(labels), score, 3)
        np.testing.assert_array_equal(got, want)
        np.testing.assert_array_equal(got, ref.score_indexed(values.ravel()[:1200], labels, score))
        np.testing.assert_array_equal(
            scores._score_exhaustive(pairs, 20, score, 2), scores._score_exhaustive(pairs.copy(), 20, score, 2)
        )


def test_non_contiguous_pipeline_inputs_read_as_contiguous_copies():
    rng = np.random.default_rng(2)
    data, first, second, cols1, cols2 = _ztest_args(rng, 6, 14)
    views = [
        np.asfortranarray(data),
        np.repeat(first, 2)[::2],
        np.repeat(second, 3)[1::3],
        np.repeat(cols1, 2)[::2],
        np.repeat(cols2, 2)[1::2],
    ]
    assert not any(v.flags.c_contiguous for v in views)
    for method in ["pearson", "spearman"]:
        got = pipelines._ztest_pipeline_indexed(*views, method, "two-sided", 4, 2)
        want = pipelines._ztest_pipeline_indexed(data, first, second, cols1, cols2, method, "two-sided", 4, 2)
        np.testing.assert_array_equal(got, want)


def test_bytes_options_equal_str_options():
    for score in ["mean", "median"]:
        np.testing.assert_array_equal(
            scores._score_indexed(VALUES, LABELS, score.encode(), 2), scores._score_indexed(VALUES, LABELS, score, 2)
        )
        np.testing.assert_array_equal(
            scores._score_exhaustive(VALUES, 3, score.encode(), 2), scores._score_exhaustive(VALUES, 3, score, 2)
        )
    args = _ztest_args(np.random.default_rng(3))
    np.testing.assert_array_equal(
        pipelines._ztest_pipeline_indexed(*args, b"spearman", b"less", 3, 1),
        pipelines._ztest_pipeline_indexed(*args, "spearman", "less", 3, 1),
    )
    np.testing.assert_array_equal(
        pipelines._score_pipeline_exhaustive(args[0], *args[3:], b"pearson", b"median", b"greater", 3, 1),
        pipelines._score_pipeline_exhaustive(args[0], *args[3:], "pearson", "median", "greater", 3, 1),
    )


# --- exact option matching -------------------------------------------------------


@pytest.mark.parametrize("score", ["Mean", "MEAN", "mean ", " mean", "Median", "median\n", "m\u00e9an"])
def test_score_names_match_byte_for_byte(score):
    run_labels, values = scores._score_indexed(VALUES, LABELS, score, 2)
    np.testing.assert_array_equal(run_labels, np.array([0, 1], F32))
    assert np.isnan(values).all()
    assert np.isnan(scores._score_exhaustive(VALUES, 3, score, 2)).all()


@pytest.mark.parametrize("method", ["Pearson", "SPEARMAN", "Spearman", "spearman ", "", "rank"])
def test_unmatched_method_is_pearson(method):
    args = _ztest_args(np.random.default_rng(4))
    pearson = pipelines._ztest_pipeline_indexed(*args, "pearson", "two-sided", 3, 2)
    np.testing.assert_array_equal(pipelines._ztest_pipeline_indexed(*args, method, "two-sided", 3, 2), pearson)
    spearman = pipelines._ztest_pipeline_indexed(*args, "spearman", "two-sided", 3, 2)
    assert not np.array_equal(spearman[2], pearson[2])


# --- interpreter-version check ---------------------------------------------------

_LOADER = textwrap.dedent("""
    import importlib.machinery, json, os, sys, types
    exec(sys.argv[1])  # what happens before the files load
    out = {"version": sys.version, "major_minor": list(sys.version_info[:2]), "results": []}
    for path in sys.argv[2:]:
        name = os.path.basename(path).split(".")[0]
        loader = importlib.machinery.ExtensionFileLoader(name, path)
        try:
            module = loader.create_module(types.SimpleNamespace(name=name, origin=path))
            loader.exec_module(module)
            out["results"].append(["loaded", [k for k in vars(module) if k[0] == "_" != k[1]]])
        except BaseException as error:
            out["results"].append([type(error).__name__, str(error)])
    print(json.dumps(out))
""")


# The interpreter running the tests loads the files with its site-packages (NumPy) and its
# environment: -I would ignore the PYTHONMALLOC=malloc that `make sanitize` sets.
OWN = ["-s"]


def _load_under(python, flags=("-I", "-S"), prelude="", modules=(scores, pipelines)):
    run = subprocess.run(
        [python, *flags, "-c", _LOADER, prelude] + [m.__file__ for m in modules],
        capture_output=True,
        text=True,
        timeout=120,
    )
    assert run.returncode == 0, run.stderr
    return json.loads(run.stdout)


def _interpreter(which):
    if which == "default":
        return shutil.which("python3")
    found = sorted(glob.glob("/root/.pyenv/versions/%s.*/bin/python%s" % (which, which)))
    return found[-1] if found else None


# The modules under test were built for the interpreter running the tests.
BUILT_FOR = "%d.%d" % sys.version_info[:2]


@pytest.mark.parametrize("which", ["default", "3.7", "3.8", "3.9", "3.12", "3.13"])
def test_other_interpreter_refuses_to_load(which):
    python = _interpreter(which)
    if python is None:
        pytest.skip("no %s python3 interpreter" % which)
    out = _load_under(python)
    if out["major_minor"] == list(sys.version_info[:2]):
        pytest.skip("%s is a Python %s interpreter, like the build" % (python, BUILT_FOR))
    message = (
        "Python version mismatch: module was compiled for Python %s, but the "
        "interpreter version is incompatible: %s." % (BUILT_FOR, out["version"])
    )
    for kind, text in out["results"]:
        assert kind == "ImportError"
        # Another interpreter may lack C API functions the build links against (an older one
        # the newer functions, a newer one private functions it dropped): then its dynamic
        # loader refuses the file before the module's own check can run.
        if "undefined symbol" not in text:
            assert text == message


def test_own_interpreter_loads_the_same_files():
    assert re.match(re.escape(BUILT_FOR) + r"(\D|$)", sys.version)
    out = _load_under(sys.executable, flags=OWN)
    assert out["results"] == [["loaded", [name for name, _, _ in SIGNATURES[module]]] for module in (scores, pipelines)]


# --- NumPy check -----------------------------------------------------------------

# NumPy as it would be if its arrays had another layout: a C ABI version that is neither
# 1.x's nor 2.x's, reported through the C API table the modules read.
_OTHER_LAYOUT = textwrap.dedent("""
    import ctypes, importlib, numpy
    core = importlib.import_module("numpy._core.multiarray" if int(numpy.__version__.split(".")[0]) >= 2
                                   else "numpy.core.multiarray")
    abi = ctypes.CFUNCTYPE(ctypes.c_uint)(lambda: 0x3000000)
    table = (ctypes.c_void_p * 1)(ctypes.cast(abi, ctypes.c_void_p))
    capsule = ctypes.pythonapi.PyCapsule_New
    capsule.restype, capsule.argtypes = ctypes.py_object, [ctypes.c_void_p, ctypes.c_char_p, ctypes.c_void_p]
    core._ARRAY_API = capsule(ctypes.addressof(table), None, None)
""")


@pytest.mark.parametrize(
    "flags, prelude, message",
    [
        (
            OWN,
            _OTHER_LAYOUT,
            "NumPy version mismatch: module was compiled for the array layouts of NumPy 1.x and 2.x (C ABI versions "
            "0x1000009 and 0x2000000), but NumPy %s has another (C ABI version 0x3000000); install NumPy 1.x or 2.x "
            '(pip install "numpy<3") or a corrshift built for this NumPy.' % np.__version__,
        ),
        (["-I", "-S"], "", "initialization failed"),  # no NumPy on the path
    ],
    ids=["other-array-layout", "no-numpy"],
)
def test_modules_refuse_to_load_beside_a_numpy_they_cannot_read(flags, prelude, message):
    out = _load_under(sys.executable, flags, prelude, modules=(scores, pipelines, _blocks, _baseline))
    assert out["results"] == [["ImportError", message]] * 4


# --- console and threads ---------------------------------------------------------


def test_scores_print_nothing(capfd):
    for score in ["mean", "median", "other"]:
        scores._score_indexed(VALUES, LABELS, score, 3)
        scores._score_exhaustive(VALUES, 3, score, 3)
    with pytest.raises(RuntimeError, match="^Process number error$"):
        scores._score_indexed(VALUES, LABELS, "mean", 0)
    with pytest.raises(ValueError, match="^pair_values has 5 elements but 9 items need 36$"):
        scores._score_exhaustive(VALUES, 9, "mean", 1)
    assert capfd.readouterr() == ("", "")


def test_two_python_threads_calling_scores_at_once():
    rng = np.random.default_rng(5)
    inputs = []
    for k in range(2):
        labels = np.sort(rng.integers(0, 300, 20000)).astype(I32)
        values = rng.standard_normal(20000).astype(F32)
        pairs = rng.standard_normal(150 * 149 // 2).astype(F32)
        score = ["mean", "median"][k]
        inputs.append(
            (
                values,
                labels,
                pairs,
                score,
                scores._score_indexed(values, labels, score, 1),
                scores._score_exhaustive(pairs, 150, score, 1),
            )
        )
    start = threading.Barrier(2)
    failures = []

    def caller(values, labels, pairs, score, indexed, exhaustive):
        try:
            start.wait(timeout=60)
            for jobs in [2, 3, 2, 1, 3] * 4:
                np.testing.assert_array_equal(scores._score_indexed(values, labels, score, jobs), indexed)
                np.testing.assert_array_equal(scores._score_exhaustive(pairs, 150, score, jobs), exhaustive)
        except BaseException as error:  # reported on the main thread
            failures.append(error)

    threads = [threading.Thread(target=caller, args=args) for args in inputs]
    for t in threads:
        t.start()
    for t in threads:
        t.join(timeout=300)
    assert not any(t.is_alive() for t in threads)
    assert failures == []
