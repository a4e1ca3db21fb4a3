"""The parent side of the fuzz worker: sends batches of calls, notices crashes and hangs.

A worker process serves many batches. When it dies or stops answering in the middle of
a batch, every call of the batch is replayed alone in a fresh worker, so the report
names the call that crashed, with the signal and the end of the worker's error output.
"""

import os
import pickle
import select
import signal
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
WORKER = os.path.join(HERE, "fuzz_worker.py")
# Markers of a sanitizer report in the worker's error output.
REPORT_MARKERS = (
    "ERROR: AddressSanitizer",
    "ERROR: LeakSanitizer",
    "runtime error:",
    "WARNING: ThreadSanitizer",
    "Fatal Python error",
)


class WorkerFailure(AssertionError):
    pass


def _describe_status(returncode):
    if returncode is None:
        return "did not answer in time"
    if returncode < 0:
        try:
            return "died of %s" % signal.Signals(-returncode).name
        except ValueError:
            return "died of signal %d" % -returncode
    return "exited with status %d" % returncode


class Worker:
    def __init__(self, timeout=120.0, python=None, prefix=(), script=WORKER):
        self.timeout = timeout
        self.command = list(prefix) + [python or sys.executable, script]
        self.process = None
        self.errors = None

    def _start(self):
        self.errors = tempfile.TemporaryFile()
        self.process = subprocess.Popen(
            self.command, stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=self.errors, cwd=HERE
        )

    def _error_text(self):
        self.errors.seek(0)
        return self.errors.read().decode("utf-8", "replace")

    def _stop(self, kill=False):
        """Ends the process; returns (status, error output)."""
        process, self.process = self.process, None
        if process is None:
            return 0, ""
        try:
            process.stdin.close()
        except OSError:
            pass
        if kill:
            process.kill()
        try:
            status = process.wait(timeout=self.timeout)
        except subprocess.TimeoutExpired:
            process.kill()
            process.wait()
            status = None
        process.stdout.close()
        text = self._error_text()
        self.errors.close()
        return status, text

    def _read(self, size, deadline):
        chunks, missing = [], size
        fd = self.process.stdout.fileno()
        while missing:
            left = deadline - time.monotonic()
            if left <= 0 or not select.select([fd], [], [], left)[0]:
                raise TimeoutError
            chunk = os.read(fd, missing)
            if not chunk:
                raise EOFError
            chunks.append(chunk)
            missing -= len(chunk)
        return b"".join(chunks)

    def _exchange(self, calls, options):
        if self.process is None:
            self._start()
        payload = pickle.dumps((calls, options), protocol=pickle.HIGHEST_PROTOCOL)
        deadline = time.monotonic() + self.timeout
        try:
            self.process.stdin.write(len(payload).to_bytes(8, "little") + payload)
            self.process.stdin.flush()
            size = int.from_bytes(self._read(8, deadline), "little")
            return pickle.loads(self._read(size, deadline))
        except (BrokenPipeError, EOFError):
            status, text = self._stop()
            raise WorkerFailure(_describe_status(status), text)
        except TimeoutError:
            self._stop(kill=True)
            raise WorkerFailure(_describe_status(None), "")

    def run(self, calls, reference=True):
        """Outcomes (raised, message, problems) of the calls; raises WorkerFailure naming
        the call that crashed or hung the worker."""
        options = {"reference": reference}
        try:
            return self._exchange(list(calls), options)
        except WorkerFailure as batch_failure:
            for call in calls:
                try:
                    self._exchange([call], options)
                except WorkerFailure as failure:
                    how, text = failure.args
                    raise WorkerFailure("the worker %s in the call\n  %s\n%s" % (how, call.describe(), _tail(text)))
            how, text = batch_failure.args
            raise WorkerFailure(
                "the worker %s in a batch of %d calls, but no call alone "
                "repeats it\n%s" % (how, len(calls), _tail(text))
            )

    def close(self):
        """Ends the worker; raises WorkerFailure when its exit was not clean."""
        status, text = self._stop()
        if status != 0 or any(marker in text for marker in REPORT_MARKERS):
            raise WorkerFailure("the worker %s at exit\n%s" % (_describe_status(status), _tail(text)))


def _tail(text, lines=60):
    return "\n".join(text.strip().splitlines()[-lines:])
