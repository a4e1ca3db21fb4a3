"""The output folder of a run that writes Parquet: its lock, preparing it (a new run, the
earlier run of the same inputs to resume, or a finished output to verify and mend) and
finishing it.

A finished output appears in one step: its part files, the returned table and the manifest
are written into a folder beside the output (``.NAME.corrshift-new``), which then takes the
output's place in one rename, so that a reader of the folder sees either no parts or all of
them. The manifest records the size and sha256 of every file of the finished output; they
are checked before a finished output is read back, and a part that differs, is missing or
is not one of them is mended by computing again only what it needs."""

import ctypes
import errno
import json
import os
import re
import shutil
import socket
import time
from typing import TYPE_CHECKING, Any, Dict, List, Optional

import numpy as np

from .._inputs import InputError
from .store import MANIFEST, WORK, file_sum, note, save_npz, write_manifest

if TYPE_CHECKING:
    from .problem import Problem
    from .tasks import Settings

LOCK = "_corrshift.lock"
KEPT = "_kept.npz"
#: The counts over all tiles that the parts are made with, kept to remake any one part.
STATE = "_finish.npz"
PART = re.compile(r"^part-(\d{5,})\.parquet$")


def _ours(name: str) -> bool:
    return (
        name in (MANIFEST, WORK, KEPT, STATE)
        or name.startswith(MANIFEST)
        or name.startswith(LOCK)
        or name.startswith(KEPT)
        or name.startswith(STATE)
        or (name.startswith("part-") and (name.endswith(".parquet") or name.endswith(".parquet.tmp")))
    )


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
        raise InputError(
            "out: {!r} is a file; Parquet output is a folder (one file per tile), give a folder name".format(out)
        )
    if os.path.isdir(out):
        foreign = [n for n in os.listdir(out) if not _ours(n)]
        if foreign:
            raise InputError(
                "out: the folder {!r} holds files that corrshift did not write ({}); give a new or empty folder".format(
                    out, ", ".join(sorted(foreign)[:3])
                )
            )


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
        self.token = json.dumps(
            {
                "host": socket.gethostname(),
                "pid": os.getpid(),
                "started": process_start(os.getpid()),
                "since": time.strftime("%Y-%m-%d %H:%M:%S"),
            },
            sort_keys=True,
        )

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
            who = (
                "process {} on {}, since {}".format(pid, host, holder.get("since", "?"))
                if holder
                else "a run that did not say which"
            )
            raise InputError(
                "out: {!r} is in use by another run ({}); wait until it ends, or give another "
                "folder. If that run is gone, delete {}".format(self.out, who, self.path)
            )
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


def beside(out: str, what: str) -> str:
    """The folder beside `out` that a finished output is built in ("new"), or that the
    folder it replaced is moved to ("old")."""
    full = os.path.abspath(out)
    return os.path.join(os.path.dirname(full), ".{}.corrshift-{}".format(os.path.basename(full), what))


def _read_manifest(folder: str) -> Optional[Dict[str, Any]]:
    try:
        with open(os.path.join(folder, MANIFEST), encoding="utf-8") as fh:
            manifest = json.load(fh)
    except (OSError, ValueError):
        return None
    return manifest if isinstance(manifest, dict) else None


def recover(out: str) -> None:
    """Finish the move of a finished output into place that a stopped run began: the
    output missing, its finished folder beside it."""
    new = beside(out, "new")
    if os.path.lexists(out) or not os.path.isdir(new):
        return
    manifest = _read_manifest(new)
    if manifest is None or not manifest.get("complete") or verify(new, manifest):
        return
    try:
        os.rename(new, out)
    except OSError as exc:
        raise _cannot_write(out, exc) from None
    note("moved the finished output of an interrupted run into place at {}".format(out))


def verify(folder: str, manifest: Dict[str, Any]) -> Dict[str, str]:
    """What is wrong with the files of the finished output in `folder`, by file name."""
    files = manifest.get("files")
    if not isinstance(files, dict) or KEPT not in files:
        return {MANIFEST: "lists no checksums"}
    problems = {}
    for name, want in sorted(files.items()):
        path = os.path.join(folder, name)
        try:
            size = os.path.getsize(path)
        except OSError:
            problems[name] = "is missing"
            continue
        try:
            if size != want["bytes"]:
                problems[name] = "has {:,} bytes, not the {:,} it was written with".format(size, want["bytes"])
            elif file_sum(path) != want["sha256"]:
                problems[name] = "differs from the file that was written (sha256)"
        except (TypeError, KeyError):
            problems[name] = "has no checksum in the manifest"
        except OSError as exc:
            problems[name] = "cannot be read ({})".format(exc.strerror or exc)
    for name in sorted(os.listdir(folder)):
        if PART.match(name) and name not in files:
            problems[name] = "is not one of the files of the output"
    return problems


def finished(out: str, digest: str) -> Optional[Dict[str, str]]:
    """What is wrong with the finished output of the run with inputs `digest` in `out`
    (empty: it is intact); None if `out` holds no such output. Needs no write access."""
    manifest = _read_manifest(out)
    if manifest is None or manifest.get("inputs") != digest or not manifest.get("complete"):
        return None
    return verify(out, manifest)


def cannot_mend(out: str, problems: Dict[str, str], refused: InputError) -> InputError:
    """The error of a damaged finished output that this run cannot lock to mend."""
    name = sorted(problems)[0]
    more = " (and {} more)".format(len(problems) - 1) if len(problems) > 1 else ""
    return InputError(
        "out: {} in {!r} {}{}, and the output cannot be mended now ({}); run the same again "
        "once the folder can be written: it makes only the damaged files again".format(
            name, out, problems[name], more, refused
        )
    )


def tidy(out: str) -> None:
    """Remove what a run stopped after finishing left behind (its work folder, its lock,
    the folders beside the output), where the folder can be written."""
    leftovers = [os.path.join(out, WORK), os.path.join(out, LOCK), beside(out, "new"), beside(out, "old")]
    if not any(os.path.lexists(p) for p in leftovers) or not os.access(out, os.W_OK | os.X_OK):
        return
    try:
        with OutputLock(out):
            for path in leftovers[:1] + leftovers[2:]:
                _remove(path)
    except InputError:  # in use by a live run, or not ours to change: left as it is
        pass


def _remove(path: str) -> None:
    if os.path.isdir(path) and not os.path.islink(path):
        shutil.rmtree(path, ignore_errors=True)
    elif os.path.lexists(path):
        os.remove(path)


def _part_tile(name: str) -> int:
    match = PART.match(name)
    assert match is not None
    return int(match.group(1))


def prepare_output(out: str, digest: str, description: Dict[str, Any], overwrite: bool) -> Dict[str, Any]:
    """The manifest of the output folder `out` (locked by this run): a new one, or the one
    of an earlier run of the same inputs. Refuses a folder that holds other results, unless
    `overwrite`. A finished output is verified: a damaged part leaves the manifest with
    ``repair``, the tiles to compute again (a damaged returned table, everything)."""
    names = [n for n in os.listdir(out) if n != LOCK]
    manifest = _read_manifest(out) if os.path.exists(os.path.join(out, MANIFEST)) else None
    if manifest is not None and manifest.get("inputs") != digest:
        if not overwrite:
            raise InputError(
                "out: {!r} holds the output of other inputs or options; pass "
                "overwrite=True (--overwrite) to replace it, or give another folder".format(out)
            )
        manifest = None
    if manifest is None and names:
        if not overwrite:
            raise InputError(
                "out: {!r} holds an unfinished output that cannot be resumed; pass "
                "overwrite=True (--overwrite) to replace it".format(out)
            )
        _clear(out)
    parent = os.path.dirname(os.path.abspath(out))
    if not os.access(parent, os.W_OK | os.X_OK):
        raise InputError(
            "out: cannot create files in {!r}, beside {!r}: a finished output is built there and "
            "moved into place in one step".format(parent, out)
        )
    if manifest is not None and (manifest.get("complete") or "repair" in manifest):
        problems = verify(out, manifest)
        if not problems and manifest.get("complete"):
            return manifest
        for name, problem in problems.items():
            note(
                "{}: {} {}; {}".format(
                    out,
                    name,
                    problem,
                    "it is removed"
                    if PART.match(name) and name not in manifest.get("files", {})
                    else "it is made again",
                )
            )
        if MANIFEST in problems or KEPT in problems or STATE in problems:
            note("{}: the whole output is computed again".format(out))
            _clear(out)
            manifest = None
        else:
            again = {_part_tile(n) for n in problems if n in manifest["files"]}
            manifest["repair"] = sorted(again | set(manifest.get("repair", [])))
            manifest["complete"] = False
    try:
        if manifest is None:
            manifest = {"inputs": digest, "description": description, "tiles_done": [], "complete": False}
        write_manifest(out, manifest)
    except OSError as exc:
        raise _cannot_write(out, exc) from None
    return manifest


def finished_table(out: str, manifest: Dict[str, Any]) -> bool:
    """Whether `out` holds the finished output of its manifest's run (verified)."""
    return bool(manifest.get("complete"))


def final_folder(out: str) -> str:
    """Where the files of the finished output are written, beside `out`: made empty."""
    new = beside(out, "new")
    _remove(new)
    os.makedirs(new)
    return new


def _exchange(a: str, b: str) -> bool:
    """Swap the folders `a` and `b` in one step (Linux renameat2); False where the system
    cannot."""
    try:
        libc = ctypes.CDLL(None, use_errno=True)
        rename2 = libc.renameat2
    except (OSError, AttributeError):
        return False
    rename2.argtypes = [ctypes.c_int, ctypes.c_char_p, ctypes.c_int, ctypes.c_char_p, ctypes.c_uint]
    at_cwd, exchange = -100, 2
    if rename2(at_cwd, os.fsencode(a), at_cwd, os.fsencode(b), exchange) == 0:
        return True
    code = ctypes.get_errno()
    if code in (errno.ENOSYS, errno.EINVAL, errno.EOPNOTSUPP, errno.ENOTSUP):
        return False
    raise OSError(code, os.strerror(code), a)


def _move_into_place(out: str, new: str) -> None:
    """`new` becomes `out` in one step for readers; the folder it replaces is removed."""
    if _exchange(new, out):
        _remove(new)
        return
    old = beside(out, "old")
    _remove(old)
    os.rename(out, old)
    os.rename(new, out)
    _remove(old)


def _link_or_copy(source: str, target: str) -> None:
    try:
        os.link(source, target)
    except OSError:
        shutil.copyfile(source, target)


def publish(out: str, new: str, manifest: Dict[str, Any], parts: List[str], tiles: int) -> None:
    """Mark the finished output built in `new` complete (with the size and checksum of
    each of its files) and move it into the place of `out`; the work files go with the
    folder it replaces."""
    # The records of the work files (of each phase) go with the work folder.
    for key in [k for k in manifest if k == "work" or k.endswith("_work") or k.endswith("_tiles_done")]:
        del manifest[key]
    manifest.pop("repair", None)
    manifest.update(
        complete=True,
        parts=parts,
        tiles_done=list(range(tiles)),
        files={
            name: {"bytes": os.path.getsize(os.path.join(new, name)), "sha256": file_sum(os.path.join(new, name))}
            for name in parts + [KEPT, STATE]
        },
    )
    write_manifest(new, manifest)
    lock = os.path.join(out, LOCK)
    if os.path.exists(lock):  # held until the run ends, as before the move
        shutil.copyfile(lock, os.path.join(new, LOCK))
    _move_into_place(out, new)


def finish_output(
    out: str,
    written: List[str],
    manifest: Dict[str, Any],
    problem: "Problem",
    result: Any,
    state: Dict[str, Any],
    tiles: int,
) -> None:
    """Keep the returned table and the counts the parts were made with beside the
    finished parts, and publish them."""
    new = beside(out, "new")
    save_npz(os.path.join(new, KEPT), problem.analysis.kept_arrays(problem, result))
    save_npz(os.path.join(new, STATE), state)
    publish(out, new, manifest, written, tiles)


def repair_output(out: str, manifest: Dict[str, Any], write: Any, tiles: int) -> None:
    """Publish the finished output again with the tiles of ``manifest["repair"]`` made
    again by `write` (into the new folder) and the intact files of the earlier one."""
    new = final_folder(out)
    again = set(manifest["repair"])
    parts = []
    for name in manifest["parts"]:
        if _part_tile(name) in again:
            write(_part_tile(name), new, name)
        else:
            _link_or_copy(os.path.join(out, name), os.path.join(new, name))
        parts.append(name)
    for name in (KEPT, STATE):
        _link_or_copy(os.path.join(out, name), os.path.join(new, name))
    publish(out, new, manifest, parts, tiles)


def load_state(out: str) -> Dict[str, Any]:
    with np.load(os.path.join(out, STATE)) as archive:
        return {k: archive[k] for k in archive.files}


def kept_table(out: str, problem: "Problem", settings: "Settings") -> Any:
    """The table a finished output returned, read back."""
    with np.load(os.path.join(out, KEPT)) as archive:
        arrays = {k: archive[k] for k in archive.files}
    return problem.analysis.kept_table(problem, settings, arrays)
