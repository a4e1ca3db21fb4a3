"""Subprocess that makes fuzz calls of the block module and of the API functions, so that a
crash ends this process, not the test run (the protocol of fuzz_worker.py: frames of
(calls, options) in, one (raised, message, problems) triple per call out).

A call is (target, function, args, kwargs, valid): pickled as it is (arrays, SciPy sparse
matrices with damaged index arrays, DataFrames, lists); arguments named "<fresh folder>"
and the like are made here. What a call must do:

* blocks (``corrshift._blocks``): return arrays of the documented lengths and types, or
  raise TypeError, ValueError, IndexError, RuntimeError or MemoryError with a message; a
  call built ``valid`` must succeed, give the same bits on one thread, and its counts must
  add up over two pass ranges that split its own.
* api (``corrshift.ztest``, ``row_scores``, ``set_scores``, ``module_scores``): return a
  result table, or raise ``corrshift.InputError`` (the only exception the API documents for
  arguments it cannot use) with a one-line message.

The address space is capped as in fuzz_worker.py, outside the sanitizers.
"""

import os
import resource
import shutil
import sys
import tempfile
import warnings

import numpy as np

from fuzz_worker import Console, _read_frame, _sanitized, _write_frame

from typing import Any, Dict, NamedTuple, Tuple

BLOCK_ERRORS = (TypeError, ValueError, IndexError, RuntimeError, MemoryError)


def _shown(value: Any) -> str:
    if isinstance(value, np.ndarray):
        return "array(shape=%s, dtype=%s, %s)" % (
            value.shape,
            value.dtype,
            np.array2string(value.ravel()[:12], separator=",", threshold=12),
        )
    if hasattr(value, "format") and hasattr(value, "nnz"):
        return "%s sparse %s" % (getattr(value, "format", "?"), getattr(value, "shape", "?"))
    text = repr(value)
    return text if len(text) < 120 else text[:117] + "..."


class PyCall(NamedTuple):
    target: str  # "blocks" or "api"
    function: str
    args: Tuple[Any, ...]
    kwargs: Dict[str, Any]
    valid: bool = False

    def describe(self) -> str:
        shown = [_shown(a) for a in self.args] + ["%s=%s" % (k, _shown(v)) for k, v in self.kwargs.items()]
        return "%s.%s(%s)%s" % (self.target, self.function, ", ".join(shown), " [valid]" if self.valid else "")


FOLDER_ARGS = ("<fresh folder>", "<a file>", "<foreign folder>")


def _materialise(value, scratch):
    """Arguments that name a folder made here."""
    if isinstance(value, str) and value in FOLDER_ARGS:
        path = tempfile.mkdtemp(dir=scratch)
        if value == "<fresh folder>":
            return os.path.join(path, "out.parquet")
        if value == "<a file>":
            with open(os.path.join(path, "file"), "w") as fh:
                fh.write("x")
            return os.path.join(path, "file")
        with open(os.path.join(path, "part-0.parquet"), "w") as fh:
            fh.write("someone's")
        return path
    return value


def _lengths(function, args, kwargs, out):
    """The lengths the results of a successful block call must have."""
    if function == "ztest_block":
        (a0, a1), (b0, b1) = args[3], args[4]
        count = sum(max(0, b1 - max(b0, i + 1)) for i in range(a0, a1))
        return [count] * 5
    if function == "pairs_block":
        return [len(args[2])] * 5
    if function == "row_score_block":
        return [args[3][1] - args[3][0]] * 2
    if function == "set_block":
        first = np.asarray(args[1])[: len(args[2])]
        runs = 0 if first.size == 0 else 1 + int(np.count_nonzero(first[1:] != first[:-1]))
        return [runs] * 3
    return [len(args[3]) - 1] * 4


def _pass_arguments(function):
    """Positions of pass_first, pass_last and n_jobs in a block call."""
    return {"ztest_block": 7, "pairs_block": 7, "row_score_block": 7, "set_block": 8, "module_block": 10}[function]


def check_block(blocks, function, args, kwargs, valid):
    problems = []
    try:
        out = getattr(blocks, function)(*args, **kwargs)
    except BaseException as error:  # noqa: BLE001 - every exception is classified
        if not isinstance(error, BLOCK_ERRORS):
            problems.append("raised %s, which no block call may raise" % type(error).__name__)
        if valid:
            problems.append("refused a valid call: %s(%s)" % (type(error).__name__, error))
        if not str(error).strip():
            problems.append("raised %s without a message" % type(error).__name__)
        return type(error).__name__, str(error), problems
    if not valid:
        return None, "", problems
    lengths = _lengths(function, args, kwargs, out)
    if len(out) != len(lengths) or any(
        not isinstance(a, np.ndarray) or a.ndim != 1 or a.size != n for a, n in zip(out, lengths)
    ):
        problems.append("results of shapes %s, expected lengths %s" % ([getattr(a, "shape", a) for a in out], lengths))
        return None, "", problems
    at = _pass_arguments(function)
    first, last, jobs = args[at], args[at + 1], args[at + 2]
    if jobs != 1:
        single = list(args)
        single[at + 2] = 1
        again = getattr(blocks, function)(*single, **kwargs)
        if any(x.tobytes() != y.tobytes() for x, y in zip(out, again)):
            problems.append("differs between n_jobs=%d and n_jobs=1" % jobs)
    if last - first >= 2:
        cut = (first + last) // 2
        head, tail = list(args), list(args)
        head[at + 1], tail[at] = cut, cut
        a, b = getattr(blocks, function)(*head, **kwargs), getattr(blocks, function)(*tail, **kwargs)
        if not np.array_equal(a[-1].astype(np.int64) + b[-1], out[-1]):
            problems.append("the counts of passes %d..%d and %d..%d do not add up" % (first, cut, cut, last))
        for k in range(len(out) - 1):
            if a[k].tobytes() != out[k].tobytes() or b[k].tobytes() != out[k].tobytes():
                problems.append("result %d depends on the pass range" % k)
    return None, "", problems


def check_api(corrshift, function, args, kwargs, scratch):
    problems = []
    args = [_materialise(a, scratch) for a in args]
    kwargs = {k: _materialise(v, scratch) for k, v in kwargs.items()}
    try:
        with warnings.catch_warnings():
            warnings.simplefilter("ignore")
            result = getattr(corrshift, function)(*args, **kwargs)
            len(result)
            result.format(3)
    except BaseException as error:  # noqa: BLE001 - every exception is classified
        message = str(error)
        if not isinstance(error, corrshift.InputError):
            problems.append("raised %s(%r), which the API does not document" % (type(error).__name__, message[:300]))
        elif not message.strip() or "\n" in message.strip():
            problems.append("raised InputError without a one-line message: %r" % message[:200])
        return type(error).__name__, message, problems
    return None, "", problems


def main():
    frames_out = os.fdopen(os.dup(1), "wb")
    console = Console()
    warnings.simplefilter("ignore")
    np.seterr(all="ignore")
    if not _sanitized():
        limit = int(os.environ.get("CORRSHIFT_FUZZ_MEMORY_LIMIT", 6 << 30))
        resource.setrlimit(resource.RLIMIT_AS, (limit, limit))
    import corrshift
    from corrshift import _blocks

    scratch = tempfile.mkdtemp(prefix="corrshift-fuzz-")
    try:
        frames_in = sys.stdin.buffer
        while True:
            frame = _read_frame(frames_in)
            if frame is None:
                break
            calls, _ = frame
            replies = []
            for target, function, args, kwargs, valid in calls:
                if target == "blocks":
                    replies.append(check_block(_blocks, function, args, kwargs, valid))
                else:
                    replies.append(check_api(corrshift, function, args, kwargs, scratch))
                console()
            _write_frame(frames_out, replies)
    finally:
        shutil.rmtree(scratch, ignore_errors=True)


if __name__ == "__main__":
    main()
