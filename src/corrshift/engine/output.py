"""The output folder of a run that writes Parquet: its lock, preparing it (a new run, the
earlier run of the same inputs to resume, or a finished output to verify and mend) and
finishing it.

A finished output appears in one step: its part files, the returned table and the manifest
are written into a folder beside the output (``.NAME.corrshift-new``), which then takes the
output's place in one rename, so that a reader of the folder sees either no parts or all of
them. The manifest records the size and sha256 of every file of the finished output; they
are checked before a finished output is read back, and a part that differs, is missing or
is not one of them is mended by computing again only what it needs.

What is ours: a folder is an output of this package only when it holds our manifest
(``_corrshift.json``, the first file a run writes into a folder it makes or takes, after
its lock), or, when that is damaged, the copy of it that a finished output keeps in
``_finish.npz``. Within such a folder the names of its layout (manifest, lock, parts,
``_kept.npz``, ``_finish.npz``, ``_work/`` and their temporary names) are ours; any other
file, any symbolic link, and every file of a folder without our manifest is not, and is
never removed or replaced: a run refuses such a folder before any work, naming them, also
with overwrite. Files are created new, never through a symbolic link (:mod:`.files`).
``out`` given as a symbolic link is resolved once, before any work: the output is written
to the folder it names. A mount point (or a folder on another file system than the folder
that holds it) cannot be replaced by a rename and is refused before any work."""

import ctypes
import errno
import json
import os
import re
import socket
import stat
import time
import zipfile
from typing import TYPE_CHECKING, Any, Dict, List, NamedTuple, Optional, Tuple

import numpy as np

from .._inputs import InputError
from .._memory import unescape_mount_path
from . import files
from .store import MANIFEST, WORK, file_sum, manifest_text, note, save_npz, work_file, write_manifest

if TYPE_CHECKING:
    from .problem import Problem
    from .tasks import Settings

LOCK = "_corrshift.lock"
KEPT = "_kept.npz"
#: The counts over all tiles that the parts are made with, kept to remake any one part,
#: and a copy of the finished output's manifest (without this file's own checksum).
STATE = "_finish.npz"
PART = re.compile(r"^part-(\d{5,})\.parquet$")
#: The member of STATE that holds the copy of the manifest.
MANIFEST_COPY = "manifest"


def own_name(name: str) -> bool:
    """Whether `name` is a name of the layout of an output folder (asked only of folders
    that our manifest marks as ours)."""
    base = files.written_name(name)
    return base in (MANIFEST, LOCK, KEPT, STATE, WORK) or bool(PART.match(base)) or base.startswith(LOCK + ".stale-")


def _kind_fits(folder: str, name: str) -> bool:
    """Whether the entry `name` of an output folder is of the kind we make there: the work
    folder a real folder, everything else a regular file (no symbolic links)."""
    path = os.path.join(folder, name)
    return files.is_folder(path) if name == WORK else files.is_file(path)


def _quote(names: List[str], limit: int = 5) -> str:
    shown = ", ".join(sorted(names)[:limit])
    return shown + (", ... ({} in all)".format(len(names)) if len(names) > limit else "")


def _manifest_of_state(folder: str) -> Optional[Dict[str, Any]]:
    """The manifest of the finished output in `folder` from the copy in its STATE file, with
    that file's own size and checksum; None where there is no intact copy (the archive's
    CRC checks fail, or it holds none)."""
    path = os.path.join(folder, STATE)
    if not files.is_file(path):
        return None
    try:
        with zipfile.ZipFile(path) as archive:
            if archive.testzip() is not None:
                return None
        with np.load(path) as archive:
            if MANIFEST_COPY not in archive.files:
                return None
            copy = json.loads(bytes(archive[MANIFEST_COPY]).decode("utf-8"))
    except (OSError, ValueError, zipfile.BadZipFile, EOFError, KeyError):
        return None
    if not _is_manifest(copy) or not isinstance(copy.get("files"), dict):
        return None
    copy["files"][STATE] = {"bytes": os.path.getsize(path), "sha256": file_sum(path)}
    return copy


def _is_manifest(value: Any) -> bool:
    return (
        isinstance(value, dict) and isinstance(value.get("inputs"), str) and isinstance(value.get("description"), dict)
    )


def _read_manifest_checked(folder: str) -> Tuple[Optional[Dict[str, Any]], Optional[str]]:
    """The manifest of `folder` and what is wrong with it (None when nothing is): "is
    missing", "is empty", ... A manifest of a finished output that lists no checksums
    counts as damaged."""
    path = os.path.join(folder, MANIFEST)
    if not os.path.lexists(path):
        return None, "is missing"
    if not files.is_file(path):
        return None, "is not a file (a symbolic link?)"
    text = files.read_small(path)
    if text is None:
        return None, "cannot be read"
    if not text.strip():
        return None, "is empty"
    try:
        manifest = json.loads(text.decode("utf-8"))
    except (ValueError, UnicodeDecodeError) as exc:
        return None, "is damaged (not valid JSON: {})".format(str(exc).split(":")[0])
    if not _is_manifest(manifest):
        return None, "is not a manifest of corrshift"
    if manifest.get("complete") and (not isinstance(manifest.get("files"), dict) or KEPT not in manifest["files"]):
        return manifest, "lists no checksums"
    return manifest, None


class Survey(NamedTuple):
    """What a folder holds: our manifest (perhaps restored from its copy), what was wrong
    with the manifest file itself (None when nothing), and the entries that are not ours."""

    manifest: Optional[Dict[str, Any]]
    trouble: Optional[str]
    restored: bool
    foreign: List[str]


def survey(folder: str) -> Survey:
    """Which entries of `folder` are ours (see the module docstring)."""
    names = sorted(os.listdir(folder))
    # Empty, or held by a run that has not written its manifest yet (its lock, and perhaps
    # the manifest being written under its temporary name).
    starting = (LOCK in names or not names) and all(
        (n == LOCK or files.written_name(n) == MANIFEST and files.is_temporary(n))
        and files.is_file(os.path.join(folder, n))
        for n in names
    )
    if starting:
        return Survey(None, None, False, [])
    manifest, trouble = _read_manifest_checked(folder)
    restored = False
    if trouble is not None:
        copy = _manifest_of_state(folder)
        if copy is not None and (manifest is None or copy.get("inputs") == manifest.get("inputs")):
            manifest, restored = copy, True
        elif trouble != "lists no checksums":
            manifest = None
    if manifest is None:
        return Survey(
            None, trouble, False, [n for n in names if n != LOCK or not files.is_file(os.path.join(folder, n))]
        )
    foreign = [n for n in names if not own_name(n) or not _kind_fits(folder, n)]
    if WORK in names and WORK not in foreign:
        foreign += [os.path.join(WORK, n) for n in _foreign_work(os.path.join(folder, WORK))]
    return Survey(manifest, trouble, restored, foreign)


def work_phase(name: str) -> bool:
    """Whether `name` is a folder of the work folder that a run makes: a phase's tasks
    (two-phase permutation counts, the robust stage's observed pass and its rounds of
    passes) or the spilled counts."""
    return name in ("perm", "counts", "robust-observed", "robust-table") or bool(re.fullmatch(r"robust-passes-[0-9]+", name))


def _foreign_work(work: str) -> List[str]:
    """The entries of a work folder (and of its phases' and counts' folders) that a run
    does not make there: other names, links, folders where files go."""
    foreign = []
    for name in sorted(os.listdir(work)):
        path = os.path.join(work, name)
        if work_phase(name) and files.is_folder(path):
            foreign += [os.path.join(name, n) for n in _foreign_work(path)]
        elif not (
            (work_file(files.written_name(name)) or files.written_name(name) == "counts.bin") and files.is_file(path)
        ):
            foreign.append(name)
    return foreign


def _foreign_error(out: str, found: Survey) -> InputError:
    shown = _quote(found.foreign)
    if found.manifest is not None:
        return InputError(
            "out: the folder {!r} holds corrshift's output and also files that corrshift did not write ({}); "
            "move them away (a run replaces the folder as a whole), or give another folder".format(out, shown)
        )
    if found.trouble not in (None, "is missing") or any(own_name(n) for n in found.foreign):
        return InputError(
            "out: the folder {!r} looks like corrshift's output, but its manifest {} {} and no intact copy of "
            "it is kept in {}, so corrshift cannot tell which of its files ({}) it wrote; delete the folder or "
            "give another".format(out, MANIFEST, found.trouble or "is missing", STATE, shown)
        )
    return InputError(
        "out: the folder {!r} holds files that corrshift did not write ({}); give a new or empty folder "
        "(overwrite=True replaces only corrshift's own output)".format(out, shown)
    )


def resolve(out: str) -> str:
    """The folder to write: `out`, or the folder a symbolic link `out` names (resolved once,
    here, before any work)."""
    out = out.rstrip(os.sep) or out  # "link/" names the link too
    if not os.path.islink(out):
        return out
    target = os.path.realpath(out)
    if not os.path.exists(target):
        raise InputError(
            "out: {!r} is a symbolic link to {!r}, which does not exist; make that folder or give another".format(
                out, target
            )
        )
    return target


def _mount_points() -> List[str]:
    try:
        with open("/proc/self/mountinfo", encoding="utf-8", errors="replace") as fh:
            return [unescape_mount_path(line.split()[4]) for line in fh if len(line.split()) > 4]
    except OSError:
        return []


def _cannot_rename(out: str) -> bool:
    """Whether the folder `out` is a mount point, or on another file system than the folder
    that holds it: then no rename can replace it."""
    full = os.path.abspath(out)
    parent = os.path.dirname(full)
    try:
        if os.stat(full).st_dev != os.stat(parent).st_dev:
            return True
    except OSError:
        return False
    return os.path.ismount(full) or os.path.realpath(full) in _mount_points()


def check_output(out: str) -> None:
    """Refuse, before any work, an output that is a file, a folder that holds files that are
    not ours, a folder beside it (where a finished output is built) that is not ours, and a
    folder that no rename can replace."""
    if os.path.lexists(out) and not files.is_folder(out):
        raise InputError(
            "out: {!r} is a file; Parquet output is a folder (one file per tile), give a folder name".format(out)
        )
    if files.is_folder(out):
        found = survey(out)
        if found.foreign:
            raise _foreign_error(out, found)
        if _cannot_rename(out):
            raise InputError(
                "out: {!r} is a mount point (or lies on another file system than the folder that holds it): a "
                "finished output is built beside it and takes its place in one rename, which cannot replace a "
                "mount point; give a folder inside it instead, e.g. {!r}".format(
                    out, os.path.join(out, "pairs.parquet")
                )
            )
    for what in ("new", "old"):
        path = beside(out, what)
        if os.path.lexists(path):
            found = survey(path) if files.is_folder(path) else Survey(None, None, False, [os.path.basename(path)])
            if found.foreign:
                raise InputError(
                    "out: {!r}, beside the output, is not corrshift's (it holds {}); move it away, a run builds its "
                    "output there".format(path, _quote(found.foreign))
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
            if not os.path.lexists(self.out):
                os.makedirs(os.path.dirname(os.path.abspath(self.out)), exist_ok=True)
            files.make_folder(self.out)
            for _ in range(5):
                try:
                    fh = files.create(self.path)
                except FileExistsError:
                    self._take_over()
                    continue
                with fh:
                    fh.write(self.token.encode("utf-8"))
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
            with files.open_existing(path) as fh:
                return fh.read(1 << 16).decode("utf-8", "replace")
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
    manifest, trouble = _read_manifest_checked(folder)
    return manifest if trouble is None else None


def recover(out: str) -> None:
    """Finish the move of a finished output into place that a stopped run began: the
    output missing, its finished folder beside it."""
    new = beside(out, "new")
    if os.path.lexists(out) or not files.is_folder(new):
        return
    manifest = _read_manifest(new)
    if manifest is None or not manifest.get("complete") or verify(new, manifest) or survey(new).foreign:
        return
    try:
        os.rename(new, out)
    except OSError as exc:
        raise _cannot_write(out, exc) from None
    note("moved the finished output of an interrupted run into place at {}".format(out))


def verify(folder: str, manifest: Dict[str, Any]) -> Dict[str, str]:
    """What is wrong with the files of the finished output in `folder`, by file name."""
    listed = manifest.get("files")
    if not isinstance(listed, dict) or KEPT not in listed:
        return {MANIFEST: "lists no checksums"}
    problems = {}
    for name, want in sorted(listed.items()):
        path = os.path.join(folder, name)
        try:
            info = os.lstat(path)
        except OSError:
            problems[name] = "is missing"
            continue
        if not stat.S_ISREG(info.st_mode):
            problems[name] = "is not the file that was written (a symbolic link or a folder)"
            continue
        try:
            if info.st_size != want["bytes"]:
                problems[name] = "has {:,} bytes, not the {:,} it was written with".format(info.st_size, want["bytes"])
            elif file_sum(path) != want["sha256"]:
                problems[name] = "differs from the file that was written (sha256)"
        except (TypeError, KeyError):
            problems[name] = "has no checksum in the manifest"
        except OSError as exc:
            problems[name] = "cannot be read ({})".format(exc.strerror or exc)
    for name in sorted(os.listdir(folder)):
        if PART.match(name) and name not in listed and files.is_file(os.path.join(folder, name)):
            problems[name] = "is not one of the files of the output"
    return problems


def finished(out: str, digest: str) -> Optional[Dict[str, str]]:
    """What is wrong with the finished output of the run with inputs `digest` in `out`
    (empty: it is intact); None if `out` holds no such output, or its manifest itself is
    damaged (then a locked run restores it). Needs no write access."""
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


def _remove_names(folder: str, work: bool = False, keep: Tuple[str, ...] = ()) -> List[str]:
    """Remove the entries of `folder` that are ours (names of the layout of an output folder,
    or with `work` of a work folder), the work folders' own entries likewise; returns what
    was left in place."""
    left = []
    for name in sorted(os.listdir(folder)):
        path = os.path.join(folder, name)
        if name in keep:
            continue
        base = files.written_name(name)
        if work:
            ours_folder = work_phase(name) and files.is_folder(path)
            ours_file = (work_file(base) or base == "counts.bin") and files.is_file(path)
        else:
            ours_folder = name == WORK and files.is_folder(path)
            ours_file = own_name(name) and name != WORK and files.is_file(path)
        if ours_folder:
            inner = _remove_names(path, work=True)
            if inner:
                left += [os.path.join(name, n) for n in inner]
                continue
            os.rmdir(path)
        elif ours_file:
            os.remove(path)
        else:
            left.append(name)
    return left


def _remove(path: str) -> None:
    """Remove what this package wrote at `path`: a work folder, a lock, or an output folder
    (the one beside the output, or the one it replaced) that holds our manifest. Only the
    names of their layouts go; anything else stays in place, said in a note."""
    if not os.path.lexists(path):
        return
    name = os.path.basename(path)
    if not files.is_folder(path):
        if name == LOCK and files.is_file(path):
            os.remove(path)
        else:
            note("left {} in place: corrshift did not make it".format(path))
        return
    if name == WORK:
        left = _remove_names(path, work=True)
    elif survey(path).manifest is None and any(n != LOCK for n in os.listdir(path)):
        left = sorted(os.listdir(path))
    else:
        left = _remove_names(path)
    if left:
        note("left {} in place: it holds files that corrshift did not write ({})".format(path, _quote(left)))
        return
    os.rmdir(path)


def _part_tile(name: str) -> int:
    match = PART.match(name)
    assert match is not None
    return int(match.group(1))


def _clear(out: str) -> None:
    """Remove our files of the output folder `out` (locked by this run), for a new output."""
    left = _remove_names(out, keep=(LOCK,))
    if left:  # checked before: only files that appeared meanwhile
        raise InputError(
            "out: the folder {!r} holds files that corrshift did not write ({}); they were left in place".format(
                out, _quote(left)
            )
        )


def prepare_output(out: str, digest: str, description: Dict[str, Any], overwrite: bool) -> Dict[str, Any]:
    """The manifest of the output folder `out` (locked by this run): a new one, or the one
    of an earlier run of the same inputs. Refuses a folder that holds other results, unless
    `overwrite`, and one that holds files not ours in any case. A finished output is
    verified: a damaged part leaves the manifest with ``repair``, the tiles to compute again
    (a damaged returned table, everything). A damaged or missing manifest of a finished
    output is restored from its copy in STATE, which the files are then checked against."""
    found = survey(out)
    if found.foreign:
        raise _foreign_error(out, found)
    manifest = found.manifest
    if found.trouble is not None and manifest is not None and found.restored:
        note(
            "{}: its manifest {} {}; the copy kept in {} is intact: the files are checked against it, and the "
            "manifest is written again".format(out, MANIFEST, found.trouble, STATE)
        )
    if manifest is not None and manifest.get("inputs") != digest:
        if not overwrite:
            raise InputError(
                "out: {!r} holds the output of other inputs or options; pass "
                "overwrite=True (--overwrite) to replace it, or give another folder".format(out)
            )
        _clear(out)
        manifest = None
    parent = os.path.dirname(os.path.abspath(out))
    if not os.access(parent, os.W_OK | os.X_OK):
        raise InputError(
            "out: cannot create files in {!r}, beside {!r}: a finished output is built there and "
            "moved into place in one step".format(parent, out)
        )
    if manifest is not None and (manifest.get("complete") or "repair" in manifest):
        problems = verify(out, manifest)
        if found.trouble is not None and not found.restored:
            problems[MANIFEST] = found.trouble
        if not problems and manifest.get("complete"):
            if found.restored:
                write_manifest(out, manifest, sync=True)
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


def final_folder(out: str, manifest: Dict[str, Any]) -> str:
    """Where the files of the finished output are written, beside `out`: made empty, with
    the run's manifest (not complete yet) as its first file, which marks it as ours."""
    new = beside(out, "new")
    _remove(new)
    if os.path.lexists(new):
        raise InputError("out: {!r}, beside the output, holds files that corrshift did not write".format(new))
    files.make_folder(new)
    write_manifest(new, dict(manifest, complete=False))
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
    """`new` becomes `out` in one step for readers; what we wrote of the folder it replaces
    is removed."""
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
        os.link(source, target, follow_symlinks=False)
    except OSError:
        with files.open_existing(source) as src, files.create(target) as dst:
            for block in iter(lambda: src.read(1 << 20), b""):
                dst.write(block)


def publish(out: str, new: str, manifest: Dict[str, Any], parts: List[str], tiles: int, state: Dict[str, Any]) -> None:
    """Mark the finished output built in `new` complete (with the size and checksum of
    each of its files) and move it into the place of `out`; the work files go with the
    folder it replaces. `state` (the counts the parts were made with) is saved as STATE
    with a copy of the manifest, so that a damaged manifest can be restored."""
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
            for name in parts + [KEPT]
        },
    )
    copy = np.frombuffer(manifest_text(manifest), dtype=np.uint8)
    path = os.path.join(new, STATE)
    manifest["files"][STATE] = {
        "bytes": 0,
        "sha256": save_npz(path, dict(state, **{MANIFEST_COPY: copy})),
    }
    manifest["files"][STATE]["bytes"] = os.path.getsize(path)
    write_manifest(new, manifest, sync=True)
    token = OutputLock._read(os.path.join(out, LOCK))
    if token:  # held until the run ends, as before the move
        with files.create(os.path.join(new, LOCK)) as fh:
            fh.write(token.encode("utf-8"))
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
    publish(out, new, manifest, written, tiles, state)


def repair_output(out: str, manifest: Dict[str, Any], write: Any, tiles: int, state: Dict[str, Any]) -> None:
    """Publish the finished output again with the tiles of ``manifest["repair"]`` made
    again by `write` (into the new folder) and the intact files of the earlier one."""
    new = final_folder(out, manifest)
    again = set(manifest["repair"])
    parts = []
    for name in manifest["parts"]:
        if _part_tile(name) in again:
            write(_part_tile(name), new, name)
        else:
            _link_or_copy(os.path.join(out, name), os.path.join(new, name))
        parts.append(name)
    _link_or_copy(os.path.join(out, KEPT), os.path.join(new, KEPT))
    publish(out, new, manifest, parts, tiles, state)


def load_state(out: str) -> Dict[str, Any]:
    with np.load(os.path.join(out, STATE)) as archive:
        return {k: archive[k] for k in archive.files if k != MANIFEST_COPY}


def kept_table(out: str, problem: "Problem", settings: "Settings") -> Any:
    """The table a finished output returned, read back."""
    with np.load(os.path.join(out, KEPT)) as archive:
        arrays = {k: archive[k] for k in archive.files}
    return problem.analysis.kept_table(problem, settings, arrays)
