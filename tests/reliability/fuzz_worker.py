"""Subprocess that makes fuzz calls, so that a crash ends this process, not the test run.

Protocol, both ways a sequence of frames (8-byte little-endian length, then a pickle):
the parent sends (calls, options) and receives one (raised, message, problems) triple per
call. The native code's console output goes to a capture file, not to the frame stream,
and is checked per call. The process ends when its input ends; its exit status is 0 only
if nothing went wrong outside the calls.

Outside the sanitizers, the address space is capped (CORRSHIFT_FUZZ_MEMORY_LIMIT bytes,
default 6 GiB), so that an argument that would make the process allocate without bound
shows up as a MemoryError rather than as memory pressure on the machine.
"""

import ctypes
import os
import pickle
import resource
import sys
import tempfile
import warnings

import numpy as np

import fuzz_model

_libc = ctypes.CDLL(None)


def _read_frame(stream):
    header = stream.read(8)
    if len(header) < 8:
        return None
    size = int.from_bytes(header, "little")
    payload = stream.read(size)
    if len(payload) < size:
        return None
    return pickle.loads(payload)


def _write_frame(stream, value):
    payload = pickle.dumps(value, protocol=pickle.HIGHEST_PROTOCOL)
    stream.write(len(payload).to_bytes(8, "little"))
    stream.write(payload)
    stream.flush()


class Console:
    """Standard output of the process, captured in an append-only file."""

    def __init__(self):
        fd, path = tempfile.mkstemp(prefix="corrshift-fuzz-console-")
        os.close(fd)
        self.fd = os.open(path, os.O_RDWR | os.O_APPEND)
        os.unlink(path)
        os.dup2(self.fd, 1)
        self.position = 0

    def __call__(self):
        """What was written since the last call."""
        sys.stdout.flush()
        _libc.fflush(None)
        end = os.fstat(self.fd).st_size
        data = os.pread(self.fd, end - self.position, self.position)
        if end > 1 << 20:
            os.ftruncate(self.fd, 0)
            end = 0
        self.position = end
        return data


def _sanitized():
    return "libasan" in os.environ.get("LD_PRELOAD", "") or "CORRSHIFT_SANITIZED" in os.environ


def main():
    frames_out = os.fdopen(os.dup(1), "wb")
    console = Console()
    warnings.simplefilter("ignore")
    np.seterr(all="ignore")
    if not _sanitized():
        limit = int(os.environ.get("CORRSHIFT_FUZZ_MEMORY_LIMIT", 6 << 30))
        resource.setrlimit(resource.RLIMIT_AS, (limit, limit))
    from corrshift import pipelines, scores

    modules = {"scores": scores, "pipelines": pipelines}
    try:
        from corrshift import _baseline

        modules["baseline"] = _baseline
    except ImportError:
        pass
    frames_in = sys.stdin.buffer
    while True:
        frame = _read_frame(frames_in)
        if frame is None:
            break
        calls, options = frame
        replies = []
        for call in calls:
            outcome = fuzz_model.check_call(modules, call, console, compare_reference=options.get("reference", True))
            replies.append((outcome.raised, outcome.message, outcome.problems))
        _write_frame(frames_out, replies)


if __name__ == "__main__":
    main()
