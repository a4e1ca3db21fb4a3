"""What a call of the native functions must do, for the fuzz worker.

A call is described by plain, picklable data (``Call``): the function name and one
``Arg`` per positional argument. An ``Arg`` holds a value and a memory layout; the
worker builds the actual argument object from it (``materialise``), so that views,
unaligned buffers and shared objects, which do not survive pickling, are made in the
process that makes the call.

``expected_errors`` is the argument model: the exception classes the call may raise
given its arguments, or an empty set when it must succeed. It follows the binding's
conversion rules (an exact or safely castable element type, a 32-bit integer, a str
or bytes) and the checks each function documents; where several arguments are wrong,
any of their errors is accepted, since the order of the checks is not part of the
contract. ``check_call`` runs a call, compares a successful result with the
reference implementation bit for bit and with a single-job run of the same call, and
returns the list of problems found.
"""

import os
import sys
from typing import Any, List, NamedTuple, Optional, Tuple

import numpy as np

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), os.pardir))
import reference as ref  # noqa: E402

INT32_MIN = -(2**31)
INT32_MAX = 2**31 - 1
EXHAUSTIVE_ROW_LIMIT = 46341
# A job count above this may exhaust threads or memory in the z-test pipelines, which
# start one thread per slice without clamping; RuntimeError or MemoryError is then fine.
RESOURCE_JOBS = 1000

F, I, S, N = "float32", "int32", "str", "int"

SIGNATURES = {
    "_score_indexed": ("scores", [("values", F), ("labels", I), ("score", S), ("n_jobs", N)]),
    "_score_exhaustive": ("scores", [("pair_values", F), ("n_items", N), ("score", S), ("n_jobs", N)]),
    "_ztest_pipeline_indexed": (
        "pipelines",
        [
            ("data", F),
            ("first_rows", I),
            ("second_rows", I),
            ("first_columns", I),
            ("second_columns", I),
            ("method", S),
            ("alternative", S),
            ("permutations", N),
            ("n_jobs", N),
        ],
    ),
    "_ztest_pipeline_exhaustive": (
        "pipelines",
        [
            ("data", F),
            ("first_columns", I),
            ("second_columns", I),
            ("method", S),
            ("alternative", S),
            ("permutations", N),
            ("n_jobs", N),
        ],
    ),
    "_score_pipeline_indexed": (
        "pipelines",
        [
            ("data", F),
            ("first_rows", I),
            ("second_rows", I),
            ("first_columns", I),
            ("second_columns", I),
            ("method", S),
            ("score", S),
            ("alternative", S),
            ("permutations", N),
            ("n_jobs", N),
        ],
    ),
    "_score_pipeline_exhaustive": (
        "pipelines",
        [
            ("data", F),
            ("first_columns", I),
            ("second_columns", I),
            ("method", S),
            ("score", S),
            ("alternative", S),
            ("permutations", N),
            ("n_jobs", N),
        ],
    ),
}
PIPELINES = {name for name, (module, _) in SIGNATURES.items() if module == "pipelines"}

# Layouts of an array argument; every one holds the same values as the given array.
LAYOUTS = ("c", "fortran", "strided", "reversed", "unaligned", "readonly", "broadcast", "list", "subclass")


class Arg(NamedTuple):
    value: Any
    layout: str = "value"  # "value": passed as is; "same": the object of argument `value`


class Call(NamedTuple):
    function: str
    args: Tuple[Arg, ...]

    def describe(self):
        parts = []
        for arg in self.args:
            if arg.layout == "same":
                parts.append("<argument %d>" % arg.value)
            elif isinstance(arg.value, np.ndarray):
                parts.append(
                    "%s(shape=%s, dtype=%s, %s)"
                    % (
                        arg.layout,
                        arg.value.shape,
                        arg.value.dtype,
                        np.array2string(arg.value.ravel()[:24], separator=",", threshold=24),
                    )
                )
            else:
                parts.append(repr(arg.value))
        return "%s(%s)" % (self.function, ", ".join(parts))


# ---------------------------------------------------------------------------
# Building the argument objects
# ---------------------------------------------------------------------------


class _Subclass(np.ndarray):
    pass


def _layout(array, layout):
    if layout == "c":
        return np.array(array, order="C")
    if layout == "fortran":
        return np.asfortranarray(array)
    if layout == "strided":
        if array.ndim == 0:
            return array.copy()
        wide = np.repeat(array, 2, axis=0)
        return wide[::2]
    if layout == "reversed":
        if array.ndim == 0:
            return array.copy()
        return array[::-1].copy()[::-1]
    if layout == "unaligned":
        if array.dtype.itemsize == 1 or array.dtype.hasobject:
            return array.copy()
        raw = np.zeros(array.nbytes + 1, np.uint8)
        out = raw[1:].view(array.dtype).reshape(array.shape)
        out[...] = array
        return out
    if layout == "readonly":
        out = array.copy()
        out.flags.writeable = False
        return out
    if layout == "broadcast":
        # Zero strides where an extent is 1, stretched to the same shape.
        return np.broadcast_to(array, array.shape)
    if layout == "list":
        return array.tolist()
    if layout == "subclass":
        return array.copy().view(_Subclass)
    raise ValueError("unknown layout " + layout)


def materialise(call):
    """The argument objects of a call."""
    objects = []
    for arg in call.args:
        if arg.layout == "same":
            objects.append(objects[arg.value])
        elif arg.layout == "value":
            objects.append(arg.value)
        else:
            objects.append(_layout(arg.value, arg.layout))
    return objects


# ---------------------------------------------------------------------------
# The argument model
# ---------------------------------------------------------------------------


class Mismatch(Exception):
    """The binding rejects the argument before the body runs."""


def convert(obj, kind):
    """What the native code receives for `obj` as a parameter of `kind`."""
    if kind in (F, I):
        dtype = np.dtype(np.float32 if kind == F else np.int32)
        if isinstance(obj, np.ndarray):
            # Passing the array, not its dtype: NumPy casts 0-d arrays by value.
            if not np.can_cast(obj, dtype, "safe"):
                raise Mismatch
            return np.array(obj, dtype=dtype, order="C")
        try:
            return np.array(obj, dtype=dtype, order="C")
        except (TypeError, ValueError, OverflowError):
            raise Mismatch
    if kind == S:
        if isinstance(obj, str):
            try:
                return obj.encode("utf-8")
            except UnicodeEncodeError:
                raise Mismatch
        if isinstance(obj, (bytes, bytearray)):
            return bytes(obj)
        raise Mismatch
    if isinstance(obj, float) or not isinstance(obj, (int, np.integer)):
        raise Mismatch
    value = int(obj)
    if not INT32_MIN <= value <= INT32_MAX:
        raise Mismatch
    return value


def beyond_int32(obj):
    """Whether an int32 argument given as a sequence holds integers outside int32, which
    the binding refuses (ValueError) instead of letting NumPy wrap them."""
    if isinstance(obj, np.ndarray):
        return False
    try:
        values = np.asarray(obj)
    except Exception:  # noqa: BLE001 - not array-like: the conversion rejects it
        return False
    if values.size == 0:
        return False
    if values.dtype.kind == "O":
        return all(isinstance(v, int) for v in values.ravel())
    if values.dtype.kind not in "iu":
        return False
    return int(values.min()) < INT32_MIN or int(values.max()) > INT32_MAX


def _list_length(array, name, errors):
    """The first extent of an index list, noting what makes it unusable."""
    if array.ndim == 0:
        errors.append((ValueError, name + " has no dimension"))
        return None
    length = array.shape[0]
    if array.size < length:
        errors.append((ValueError, name + " holds fewer elements than its first extent"))
        return None
    return length


def _check_indices(array, length, limit, name, errors):
    if length is None:
        return
    entries = array.ravel()[:length]
    if np.any((entries < 0) | (entries >= limit)):
        errors.append((IndexError, name + " lists an index outside 0.." + str(limit - 1)))


def _runs(labels):
    values, starts, ends = ref.label_runs(labels)
    return values, starts, ends


def _data_shape(data, errors):
    if data.ndim != 2:
        errors.append((ValueError, "data is not two-dimensional"))
        return None
    rows, cols = data.shape
    if rows * cols >= 2**31:
        errors.append((ValueError, "data has 2^31 elements or more"))
        return None
    return rows, cols


def _columns(shape, first_columns, second_columns, permutations, errors):
    first_count = _list_length(first_columns, "first_columns", errors)
    second_count = _list_length(second_columns, "second_columns", errors)
    if permutations < 0 or permutations == INT32_MAX:
        errors.append((ValueError, "permutations out of range"))
    if shape is None:
        return
    _check_indices(first_columns, first_count, shape[1], "first_columns", errors)
    _check_indices(second_columns, second_count, shape[1], "second_columns", errors)
    if (
        permutations > 0
        and first_count is not None
        and second_count is not None
        and first_count + second_count > shape[1]
    ):
        errors.append((ValueError, "groups larger than the columns of data"))


def _model(function, a):
    """(errors, result shapes): errors is a list of (class, reason); shapes is a list of
    (length, dtype) of the promised results when the call succeeds."""
    errors = []
    f32, i32 = np.dtype(np.float32), np.dtype(np.int32)
    if function == "_score_indexed":
        values, labels, score, n_jobs = a
        count = _list_length(labels, "labels", errors)
        if count is None:
            return errors, None
        if min(n_jobs, count) < 1:
            errors.append((RuntimeError, "job count below 1"))
        if values.size < count:
            errors.append((ValueError, "values shorter than labels"))
        runs = len(_runs(labels.ravel()[:count])[0])
        return errors, [(runs, f32), (runs, f32)]
    if function == "_score_exhaustive":
        pair_values, n_items, score, n_jobs = a
        if min(n_jobs, n_items) < 1:
            errors.append((RuntimeError, "job count below 1"))
            return errors, None
        if pair_values.size < n_items * (n_items - 1) // 2:
            errors.append((ValueError, "pair_values shorter than the pairs"))
        return errors, [(n_items, f32)]

    data = a[0]
    shape = _data_shape(data, errors)
    if function in ("_ztest_pipeline_indexed", "_score_pipeline_indexed"):
        first_rows, second_rows, first_columns, second_columns = a[1:5]
        first_length = _list_length(first_rows, "first_rows", errors)
        second_length = _list_length(second_rows, "second_rows", errors)
        permutations, n_jobs = a[-2], a[-1]
        if function == "_ztest_pipeline_indexed":
            pairs, other, other_length = second_length, first_rows, first_length
            if n_jobs < 1:
                errors.append((RuntimeError, "job count below 1"))
        else:
            pairs, other, other_length = first_length, second_rows, second_length
            if a[6] not in (b"mean", b"median"):
                errors.append((ValueError, "unknown score"))
        _columns(shape, first_columns, second_columns, permutations, errors)
        if pairs is None or other_length is None:
            return errors, None
        if other_length < pairs:
            errors.append((ValueError, "pair lists of different lengths"))
            return errors, None
        if shape is not None:
            _check_indices(first_rows, pairs, shape[0], "first_rows", errors)
            _check_indices(second_rows, pairs, shape[0], "second_rows", errors)
        if function == "_ztest_pipeline_indexed":
            return errors, [(pairs, f32)] * 5
        sets = len(_runs(first_rows.ravel()[:pairs])[0])
        if min(n_jobs, sets) < 1:
            errors.append((RuntimeError, "job count below 1"))
        return errors, [(sets, i32), (sets, f32), (sets, f32)]

    first_columns, second_columns = a[1], a[2]
    permutations, n_jobs = a[-2], a[-1]
    if function == "_ztest_pipeline_exhaustive" and n_jobs < 1:
        errors.append((RuntimeError, "job count below 1"))
    if function == "_score_pipeline_exhaustive" and a[4] not in (b"mean", b"median"):
        errors.append((ValueError, "unknown score"))
    if shape is not None and shape[0] > EXHAUSTIVE_ROW_LIMIT:
        errors.append((ValueError, "too many rows for all pairs"))
    _columns(shape, first_columns, second_columns, permutations, errors)
    if shape is None:
        return errors, None
    rows = shape[0]
    if function == "_ztest_pipeline_exhaustive":
        return errors, [(rows * (rows - 1) // 2, f32)] * 5
    if min(n_jobs, rows) < 1:
        errors.append((RuntimeError, "job count below 1"))
    return errors, [(rows, f32)] * 2


def converted(call, objects):
    """The values the native body sees, or None when the binding rejects the call."""
    kinds = [kind for _, kind in SIGNATURES[call.function][1]]
    values = []
    try:
        for obj, kind in zip(objects, kinds):
            if kind == I and beyond_int32(obj):
                values.append(OutOfRange())
            else:
                values.append(convert(obj, kind))
    except Mismatch:
        return None
    return values


class OutOfRange:
    """An int32 sequence argument with integers beyond int32: the call raises ValueError."""


def expected_errors(call, values):
    """(required, tolerated, reasons, shapes): the call must raise one of `required`
    when that is not empty, may also end with one of `tolerated`, and otherwise returns
    arrays of the promised (length, dtype) `shapes`."""
    if values is None:
        return {TypeError}, set(), ["an argument the binding cannot convert"], None
    if any(isinstance(v, OutOfRange) for v in values):
        return {ValueError}, set(), ["a list of integers beyond int32"], None
    errors, shapes = _model(call.function, values)
    tolerated = set()
    if call.function in ("_ztest_pipeline_indexed", "_ztest_pipeline_exhaustive") and values[-1] > RESOURCE_JOBS:
        tolerated = {RuntimeError, MemoryError}
    return {cls for cls, _ in errors}, tolerated, [reason for _, reason in errors], shapes


# ---------------------------------------------------------------------------
# Reference results
# ---------------------------------------------------------------------------


def reference_result(function, a):
    """The results the reference implementation gives for converted arguments `a`."""
    if function == "_score_indexed":
        values, labels, score, _ = a
        count = labels.shape[0]
        return ref.score_indexed(values.ravel(), labels.ravel()[:count], score)
    if function == "_score_exhaustive":
        pair_values, n_items, score, _ = a
        return (ref.score_exhaustive(pair_values.ravel(), n_items, score),)
    if function == "_ztest_pipeline_indexed":
        data, fr, sr, fc, sc, method, alternative, permutations, _ = a
        pairs = sr.shape[0]
        return ref.ztest_pipeline_indexed(
            data, fr.ravel()[:pairs], sr.ravel()[:pairs], _head(fc), _head(sc), method, alternative, permutations
        )
    if function == "_ztest_pipeline_exhaustive":
        data, fc, sc, method, alternative, permutations, _ = a
        return ref.ztest_pipeline_exhaustive(data, _head(fc), _head(sc), method, alternative, permutations)
    if function == "_score_pipeline_indexed":
        data, fr, sr, fc, sc, method, score, alternative, permutations, _ = a
        pairs = fr.shape[0]
        labels, observed, p = ref.score_pipeline_indexed(
            data, fr.ravel()[:pairs], sr.ravel()[:pairs], _head(fc), _head(sc), method, score, alternative, permutations
        )
        return labels, observed, p
    data, fc, sc, method, score, alternative, permutations, _ = a
    return ref.score_pipeline_exhaustive(data, _head(fc), _head(sc), method, score, alternative, permutations)


def _head(index_list):
    return index_list.ravel()[: index_list.shape[0]]


def _same_bits(a, b, signed_zeros=False):
    """Equal element for element, bit for bit, except that any two NaNs are equal and,
    unless `signed_zeros`, so are -0 and +0: a median of a set holding both zeros may be
    either, since the order of equal values in a sort is not fixed."""
    a = np.ascontiguousarray(a)
    b = np.ascontiguousarray(b, dtype=a.dtype)
    if a.shape != b.shape:
        return False
    if a.dtype.kind == "f":
        nan_a, nan_b = np.isnan(a), np.isnan(b)
        if not np.array_equal(nan_a, nan_b):
            return False
        zero_a = np.zeros_like(nan_a) if signed_zeros else a == 0
        zero_b = np.zeros_like(nan_b) if signed_zeros else b == 0
        a = np.where(nan_a | zero_a, 0, a).astype(a.dtype)
        b = np.where(nan_b | zero_b, 0, b).astype(a.dtype)
    return a.tobytes() == b.tobytes()


# ---------------------------------------------------------------------------
# Running one call
# ---------------------------------------------------------------------------


class Outcome(NamedTuple):
    call: Call
    raised: Optional[str]
    message: str
    problems: List[str]


def _as_tuple(result):
    return result if isinstance(result, tuple) else (result,)


def check_call(modules, call, console, compare_reference=True):
    """Makes the call and returns its Outcome. `console` is (read) -> bytes written to
    standard output since the last read."""
    module = modules[SIGNATURES[call.function][0]]
    function = getattr(module, call.function)
    objects = materialise(call)
    values = converted(call, objects)
    required, tolerated, reasons, shapes = expected_errors(call, values)
    problems = []
    console()
    try:
        result = function(*objects)
    except Exception as error:  # noqa: BLE001 - every exception is classified below
        printed = console()
        message = str(error)
        if type(error) not in (TypeError, ValueError, IndexError, RuntimeError, MemoryError):
            problems.append("raised %s, which no call may raise" % type(error).__name__)
        elif type(error) not in required | tolerated:
            problems.append(
                "raised %s(%r) but expected %s"
                % (type(error).__name__, message, " or ".join(sorted(c.__name__ for c in required)) or "success")
            )
        elif printed and type(error) in required:
            problems.append("printed %r before rejecting the call" % printed[:80])
        if not message.strip():
            problems.append("raised %s without a message" % type(error).__name__)
        return Outcome(call, type(error).__name__, message, problems)
    printed = console()
    if required:
        problems.append("succeeded although %s" % "; ".join(reasons))
        return Outcome(call, None, "", problems)
    results = _as_tuple(result)
    if len(results) != len(shapes):
        problems.append("returned %d results, promised %d" % (len(results), len(shapes)))
        return Outcome(call, None, "", problems)
    for k, (array, (length, dtype)) in enumerate(zip(results, shapes)):
        if not isinstance(array, np.ndarray):
            problems.append("result %d is a %s" % (k, type(array).__name__))
            continue
        if array.shape != (length,) or array.dtype != dtype:
            problems.append("result %d is %s %s, promised (%d,) %s" % (k, array.shape, array.dtype, length, dtype))
        if not (array.flags.c_contiguous and array.flags.writeable and array.flags.owndata):
            problems.append("result %d is not a fresh writeable array" % k)
    if problems:
        return Outcome(call, None, "", problems)
    if call.function in PIPELINES:
        text = printed.decode("latin-1")
        if not (text.startswith("Permutation progress: [") and text.endswith("%\n")):
            problems.append("progress line %r" % text[-80:])
    elif printed:
        problems.append("printed %r" % printed[:80])

    if values[-1] != 1:
        single = list(objects)
        single[-1] = 1
        again = _as_tuple(function(*single))
        console()
        for k, (x, y) in enumerate(zip(results, again)):
            if x.tobytes() != y.tobytes():
                problems.append("result %d differs between n_jobs=%d and n_jobs=1" % (k, values[-1]))
    baseline = modules.get("baseline")
    if baseline is not None and call.function in PIPELINES:
        # The straightforward kernel, built into a private module, must give the same bits
        # (NaN payloads aside) on whatever the fast kernel accepted.
        plain = _as_tuple(getattr(baseline, call.function)(*objects))
        console()
        for k, (x, y) in enumerate(zip(results, plain)):
            if not _same_bits(x, y, signed_zeros=True):
                problems.append(
                    "result %d differs from the straightforward kernel: %s vs %s"
                    % (k, np.array2string(x[:8]), np.array2string(y[:8]))
                )
    if compare_reference:
        try:
            expected = reference_result(call.function, values)
        except Exception as error:  # noqa: BLE001
            problems.append("the reference failed: %r" % error)
        else:
            for k, (x, y) in enumerate(zip(results, expected)):
                if not _same_bits(x, y):
                    problems.append(
                        "result %d differs from the reference: %s vs %s"
                        % (k, np.array2string(x[:8]), np.array2string(np.asarray(y)[:8]))
                    )
    return Outcome(call, None, "", problems)
