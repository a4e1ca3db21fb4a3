"""Where finished tasks and tiles are kept: in memory, or as files in the output's work
folder, whose manifest lists the finished tiles (what a resumed run skips) and the checksum
of every work file (a file that differs is computed again)."""

import contextlib
import hashlib
import json
import math
import os
import sys
from typing import Any, Dict, Optional, Sequence, Set, Tuple

import numpy as np

from .._inputs import InputError
from . import files
from .assemble import Histogram, QBound
from .summary import prune_summary

TaskKey = Tuple[int, int, int]  # (tile, first pass, last pass)

MANIFEST = "_corrshift.json"
WORK = "_work"


def file_sum(path: str) -> str:
    """The sha256 of the file at `path`, in hexadecimal."""
    digest = hashlib.sha256()
    with open(path, "rb") as fh:
        for block in iter(lambda: fh.read(1 << 20), b""):
            digest.update(block)
    return digest.hexdigest()


def _write_npz(handle: Any, arrays: Dict[str, Any]) -> None:
    """What ``numpy.savez`` writes, the archive closed also when a write fails (a full disk)."""
    import zipfile

    with zipfile.ZipFile(handle, mode="w", compression=zipfile.ZIP_STORED, allowZip64=True) as archive:
        for key, value in arrays.items():
            with archive.open(key + ".npy", "w", force_zip64=True) as member:
                np.lib.format.write_array(member, np.asanyarray(value), allow_pickle=False)


def save_npz(path: str, arrays: Dict[str, Any]) -> str:
    """Arrays saved under `path`, which appears only when the file is complete (made new,
    never through a link: :func:`.files.replace`); returns its checksum."""
    return files.replace(path, lambda fh: _write_npz(fh, arrays))


def note(text: str) -> None:
    """One line on standard error about what a run found and does about it."""
    print("corrshift: note: " + text, file=sys.stderr, flush=True)


def manifest_text(manifest: Dict[str, Any]) -> bytes:
    return json.dumps(manifest, indent=1, sort_keys=True).encode("utf-8")


def write_manifest(out: str, manifest: Dict[str, Any], sync: bool = False) -> None:
    """The manifest of the folder `out`, replaced in one rename (with `sync`, on the disk
    before it: the manifest of a finished output, which every other file is checked by)."""
    text = manifest_text(manifest)
    files.replace(os.path.join(out, MANIFEST), lambda fh: fh.write(text), sync=sync)


def work_file(name: str) -> bool:
    """Whether `name` is the name of a finished task or tile in a work folder."""
    return name.endswith(".npz") and name[:5] in ("task-", "tile-")


class Store:
    """The finished tasks (raw results of pass ranges) and tiles (their summaries) of a run."""

    def done_tiles(self) -> Set[int]:
        raise NotImplementedError

    def done_tasks(self) -> Set[TaskKey]:
        raise NotImplementedError

    def save_task(self, key: TaskKey, result: Dict[str, Any]) -> None:
        raise NotImplementedError

    def load_task(self, key: TaskKey) -> Dict[str, Any]:
        raise NotImplementedError

    def save_tile(self, tile: int, summary: Dict[str, Any], tasks: Sequence[TaskKey]) -> None:
        """Keeps a tile's summary and drops the tasks it was made of."""
        raise NotImplementedError

    def load_tile(self, tile: int) -> Dict[str, Any]:
        raise NotImplementedError

    def take_tile(self, tile: int) -> Dict[str, Any]:
        """A tile's summary, read for the last time in the run: a store in memory gives it
        up, so that its arrays go once the entries made from them have been joined."""
        return self.load_tile(tile)

    def histogram(self, tiles: int, permutations: int) -> Histogram:
        """The p-value and exceedance-count counts of all tiles of a summarised run."""
        raise NotImplementedError


class MemoryStore(Store):
    """Finished tasks and tiles in memory. With a `bound` (runs filtered by max_q) the tiles'
    entries and p-value counts above it are let go as it falls (see :class:`.assemble.QBound`)."""

    def __init__(self, bound: Optional[QBound] = None) -> None:
        self.tiles: Dict[int, Dict[str, Any]] = {}
        self.tasks: Dict[TaskKey, Dict[str, Any]] = {}
        self.hist: Optional[Histogram] = None
        self.bound = bound
        self.pruned_at = math.inf  # the bound when every tile was last cut to it

    def done_tiles(self) -> Set[int]:
        return set(self.tiles)

    def done_tasks(self) -> Set[TaskKey]:
        return set(self.tasks)

    def save_task(self, key: TaskKey, result: Dict[str, Any]) -> None:
        self.tasks[key] = result

    def load_task(self, key: TaskKey) -> Dict[str, Any]:
        return self.tasks[key]

    def save_tile(self, tile: int, summary: Dict[str, Any], tasks: Sequence[TaskKey]) -> None:
        if "p_vals" in summary:
            # Folded into one table as tiles finish, rather than kept per tile.
            if self.hist is None:
                self.hist = Histogram(summary["b_hist"].size - 1 if summary["b_hist"].size else 0, self.bound)
            if self.bound is not None and np.array_equal(summary["p_vals"], summary["kept_vals"]):
                summary = dict(summary, p_vals=summary["kept_vals"])  # one array serves both
            self.hist.add(summary, tile)
            summary = {k: v for k, v in summary.items() if k not in ("p_vals", "p_counts", "b_hist", "m")}
        self.tiles[tile] = summary
        for key in tasks:
            self.tasks.pop(key, None)
        if self.bound is not None and "kept_vals" in summary:
            limit = self.bound.bound
            if limit < 0.75 * self.pruned_at:  # every tile again, once the bound has fallen enough
                self.pruned_at = limit
                for t in list(self.tiles):
                    self._prune(t, limit)
            else:
                self._prune(tile, limit)

    def _prune(self, tile: int, limit: float) -> None:
        before = self.tiles[tile]
        after = prune_summary(before, limit)
        self.tiles[tile] = after
        if self.hist is not None and tile in self.hist.parts:
            self.hist.prune(tile, limit, (before["kept_vals"], after["kept_vals"]))

    def load_tile(self, tile: int) -> Dict[str, Any]:
        return self.tiles[tile]

    def take_tile(self, tile: int) -> Dict[str, Any]:
        return self.tiles.pop(tile)

    def histogram(self, tiles: int, permutations: int) -> Histogram:
        return self.hist if self.hist is not None else Histogram(permutations)


class FolderStore(Store):
    """Finished tasks and tiles as .npz files in the output's work folder; the manifest lists
    the finished tiles and the checksum of each file. A file appears under its final name
    only when complete, and counts as done only while it matches its checksum: on opening,
    a file that differs (or that the manifest does not know) is removed, to be computed
    again."""

    def __init__(self, out: str, manifest: Dict[str, Any], phase: Optional[str] = None, bound: Optional[QBound] = None):
        self.out = out
        self.manifest = manifest
        self.bound = bound
        # A phase of a run keeps its files in a subfolder, listed under keys of its own.
        self.work = os.path.join(out, WORK) if phase is None else os.path.join(out, WORK, phase)
        prefix = "" if phase is None else phase + "_"
        self.tiles_key = prefix + "tiles_done"
        self.sums: Dict[str, str] = manifest.setdefault(prefix + "work", {})
        manifest.setdefault(self.tiles_key, [])
        files.make_folder(os.path.join(out, WORK))
        files.make_folder(self.work)
        self._check()

    def _check(self) -> None:
        damaged = []
        for name in sorted(os.listdir(self.work)):
            path = os.path.join(self.work, name)
            if not (name.endswith(".npz") and name[:5] in ("task-", "tile-")) or files.is_temporary(name):
                if files.is_temporary(name) and work_file(files.written_name(name)):
                    os.remove(path)  # left by a run stopped while writing it
                continue
            if not files.is_file(path):
                raise InputError(
                    "out: {} is not a file (a symbolic link?), which corrshift never makes in its work folder; "
                    "remove it".format(path)
                )
            known = self.sums.get(name)
            if known is not None and file_sum(path) == known:
                continue
            if known is not None:
                damaged.append(name)
            os.remove(path)
        if damaged:
            note(
                "{} of the work files in {} differ from their checksums ({}); they are computed again".format(
                    len(damaged), self.work, ", ".join(damaged[:3]) + (", ..." if len(damaged) > 3 else "")
                )
            )
        present = set(os.listdir(self.work))
        for name in [n for n in self.sums if n not in present]:
            del self.sums[name]
        self.manifest[self.tiles_key] = [
            t for t in self.manifest[self.tiles_key] if os.path.basename(self._tile_path(t)) in present
        ]

    def _keep(self, path: str, checksum: str) -> None:
        self.sums[os.path.basename(path)] = checksum

    def _tile_path(self, tile: int) -> str:
        return os.path.join(self.work, "tile-{:06d}.npz".format(tile))

    def _task_path(self, key: TaskKey) -> str:
        return os.path.join(self.work, "task-{:06d}-{}-{}.npz".format(*key))

    def done_tiles(self) -> Set[int]:
        return {t for t in self.manifest[self.tiles_key] if os.path.exists(self._tile_path(t))}

    def done_tasks(self) -> Set[TaskKey]:
        done = set()
        for name in os.listdir(self.work):
            if name.startswith("task-") and name.endswith(".npz") and name in self.sums:
                tile, f, l = name[5:-4].split("-")
                done.add((int(tile), int(f), int(l)))
        return done

    def save_task(self, key: TaskKey, result: Dict[str, Any]) -> None:
        path = self._task_path(key)
        self._keep(path, save_npz(path, result))
        write_manifest(self.out, self.manifest)

    def load_task(self, key: TaskKey) -> Dict[str, Any]:
        with np.load(self._task_path(key)) as archive:
            return {k: archive[k] for k in archive.files}

    def save_tile(self, tile: int, summary: Dict[str, Any], tasks: Sequence[TaskKey]) -> None:
        path = self._tile_path(tile)
        self._keep(path, save_npz(path, summary))
        self.manifest[self.tiles_key] = sorted(set(self.manifest[self.tiles_key]) | {tile})
        for key in tasks:
            self.sums.pop(os.path.basename(self._task_path(key)), None)
        write_manifest(self.out, self.manifest)
        for key in tasks:
            with contextlib.suppress(FileNotFoundError):
                os.remove(self._task_path(key))

    def load_tile(self, tile: int, keys: Optional[Sequence[str]] = None) -> Dict[str, Any]:
        with np.load(self._tile_path(tile)) as archive:
            return {k: archive[k] for k in (archive.files if keys is None else keys)}

    def histogram(self, tiles: int, permutations: int) -> Histogram:
        hist = Histogram(permutations, self.bound)
        for t in range(tiles):
            hist.add(self.load_tile(t, ("m", "b_hist", "p_vals", "p_counts")), t)
        return hist
