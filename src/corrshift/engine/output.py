"""The output folder of a run that writes Parquet: its lock, preparing it (a new run, or
the earlier run of the same inputs to resume) and finishing it (the part files moved into
place, the manifest marked complete, the returned table kept for reading back)."""
import json
import os
import shutil
import socket
import time
from typing import TYPE_CHECKING, Any, Dict, List, Optional

import numpy as np

from .._inputs import InputError
from .store import MANIFEST, WORK, save_npz, write_manifest

if TYPE_CHECKING:
    from .problem import Problem
    from .tasks import Settings

LOCK = "_corrshift.lock"
KEPT = "_kept.npz"


def _ours(name: str) -> bool:
    return (name in (MANIFEST, WORK, KEPT) or name.startswith(MANIFEST) or name.startswith(LOCK)
            or (name.startswith("part-") and (name.endswith(".parquet") or name.endswith(".parquet.tmp"))))


def _clear(out: str) -> None:
    for name in os.listdir(out):
        if name == LOCK:
            continue
        path = os.path.join(out, name)
        if os.path.isdir(path):
            shutil.rmtree(path)
        else:
            os.remove(path)


def check_output(out: str) -> None:
    """Refuse an output that is a file, or a folder that holds files of others."""
    if os.path.exists(out) and not os.path.isdir(out):
        raise InputError("out: {!r} is a file; Parquet output is a folder (one file per tile), give a "
                         "folder name".format(out))
    if os.path.isdir(out):
        foreign = [n for n in os.listdir(out) if not _ours(n)]
        if foreign:
            raise InputError("out: the folder {!r} holds files that corrshift did not write ({}); give a new "
                             "or empty folder".format(out, ", ".join(sorted(foreign)[:3])))


def _cannot_write(out: str, exc: OSError) -> InputError:
    return InputError("out: cannot write to {!r}: {}".format(out, exc.strerror or exc))


def process_start(pid: int) -> Optional[str]:
    """When process `pid` of this host started (clock ticks since boot); None where that
    cannot be read. Tells a live process from a later one that got the same number."""
    try:
        with open("/proc/{}/stat".format(pid)) as fh:
            return fh.read().rsplit(")", 1)[1].split()[19]
    except (OSError, IndexError):
        return None


def _running(pid: int, started: Optional[str]) -> bool:
    try:
        os.kill(pid, 0)
    except ProcessLookupError:
        return False
    except PermissionError:  # a process of another user
        return True
    now = process_start(pid)
    return started is None or now is None or now == started


class OutputLock:
    """The lock of an output folder, held while a run writes into it: a file created only
    if it does not exist, naming the host and process of the run. Another run is refused
    while that process lives; the lock of a process of this host that is gone is taken
    over (a killed run can be resumed)."""

    def __init__(self, out: str):
        self.out = out
        self.path = os.path.join(out, LOCK)
        self.token = json.dumps({"host": socket.gethostname(), "pid": os.getpid(),
                                 "started": process_start(os.getpid()),
                                 "since": time.strftime("%Y-%m-%d %H:%M:%S")}, sort_keys=True)

    def __enter__(self) -> "OutputLock":
        try:
            os.makedirs(self.out, exist_ok=True)
            for _ in range(5):
                try:
                    fd = os.open(self.path, os.O_CREAT | os.O_EXCL | os.O_WRONLY, 0o644)
                except FileExistsError:
                    self._take_over()
                    continue
                with os.fdopen(fd, "w", encoding="utf-8") as fh:
                    fh.write(self.token)
                return self
        except OSError as exc:
            raise _cannot_write(self.out, exc) from None
        raise InputError("out: could not lock {!r}: other runs keep taking it".format(self.out))

    def __exit__(self, *exc: Any) -> None:
        if self._read(self.path) == self.token:
            os.remove(self.path)

    @staticmethod
    def _read(path: str) -> Optional[str]:
        try:
            with open(path, encoding="utf-8") as fh:
                return fh.read()
        except FileNotFoundError:
            return None

    def _take_over(self) -> None:
        """Remove the lock of a run that is gone, or refuse."""
        text = self._read(self.path)
        if text == "":  # being written just now, or its run died while starting
            time.sleep(0.2)
            text = self._read(self.path)
        if text is None:
            return  # released meanwhile
        try:
            holder = json.loads(text)
            host, pid, started = str(holder["host"]), int(holder["pid"]), holder.get("started")
        except (ValueError, KeyError, TypeError):
            holder, host, pid, started = None, "", 0, None
        if holder is None or host != socket.gethostname() or _running(pid, started):
            who = ("process {} on {}, since {}".format(pid, host, holder.get("since", "?")) if holder
                   else "a run that did not say which")
            raise InputError("out: {!r} is in use by another run ({}); wait until it ends, or give another "
                             "folder. If that run is gone, delete {}".format(self.out, who, self.path))
        # Moved aside first, so that only the lock judged stale is removed.
        aside = "{}.stale-{}".format(self.path, os.getpid())
        try:
            os.rename(self.path, aside)
        except FileNotFoundError:
            return
        if self._read(aside) != text:  # another run's new lock: give it back
            os.rename(aside, self.path)
            raise InputError("out: {!r} is in use by another run that started just now".format(self.out))
        os.remove(aside)


def prepare_output(out: str, digest: str, description: Dict[str, Any], overwrite: bool) -> Dict[str, Any]:
    """The manifest of the output folder `out` (locked by this run): a new one, or the one
    of an earlier run of the same inputs. Refuses a folder that holds other results, unless
    `overwrite`."""
    manifest = None
    names = [n for n in os.listdir(out) if n != LOCK]
    path = os.path.join(out, MANIFEST)
    if os.path.exists(path):
        try:
            with open(path, encoding="utf-8") as fh:
                manifest = json.load(fh)
        except (OSError, ValueError):
            manifest = None
        if manifest is not None and manifest.get("inputs") != digest:
            if not overwrite:
                raise InputError("out: {!r} holds the output of other inputs or options; pass "
                                 "overwrite=True (--overwrite) to replace it, or give another folder"
                                 .format(out))
            manifest = None
    if manifest is None and names:
        if not overwrite:
            raise InputError("out: {!r} holds an unfinished output that cannot be resumed; pass "
                             "overwrite=True (--overwrite) to replace it".format(out))
        _clear(out)
    try:
        if manifest is None:
            manifest = {"inputs": digest, "description": description, "tiles_done": [], "complete": False}
        write_manifest(out, manifest)
    except OSError as exc:
        raise _cannot_write(out, exc) from None
    return manifest


def finished_table(out: str, manifest: Dict[str, Any]) -> bool:
    """Whether `out` holds the finished output of its manifest's run."""
    return bool(manifest.get("complete")) and os.path.exists(os.path.join(out, KEPT))


def final_folder(out: str) -> str:
    """Where the part files are written until the run is complete."""
    final = os.path.join(out, WORK, "final")
    os.makedirs(final, exist_ok=True)
    return final


def finish_output(out: str, written: List[str], manifest: Dict[str, Any], problem: "Problem", result: Any) -> None:
    """Keep the returned table, move the finished parts into place, mark the run complete
    and drop the work files."""
    save_npz(os.path.join(out, KEPT), problem.analysis.kept_arrays(problem, result))
    for name in os.listdir(out):
        if name.startswith("part-") and name not in written:
            os.remove(os.path.join(out, name))
    final = os.path.join(out, WORK, "final")
    for name in written:
        os.replace(os.path.join(final, name), os.path.join(out, name))
    manifest["complete"] = True
    manifest["parts"] = written
    write_manifest(out, manifest)
    shutil.rmtree(os.path.join(out, WORK), ignore_errors=True)


def kept_table(out: str, problem: "Problem", settings: "Settings") -> Any:
    """The table a finished output returned, read back."""
    with np.load(os.path.join(out, KEPT)) as archive:
        arrays = {k: archive[k] for k in archive.files}
    return problem.analysis.kept_table(problem, settings, arrays)
