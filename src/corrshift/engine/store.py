"""Where finished tasks and tiles are kept: in memory, or as files in the output's work
folder, whose manifest lists the finished tiles (what a resumed run skips)."""
import contextlib
import json
import os
from typing import Any, Dict, Optional, Sequence, Set, Tuple

import numpy as np

from .assemble import Histogram

TaskKey = Tuple[int, int, int]  # (tile, first pass, last pass)

MANIFEST = "_corrshift.json"
WORK = "_work"


def save_npz(path: str, arrays: Dict[str, Any]) -> None:
    """Arrays saved under `path`, which appears only when the file is complete."""
    tmp = path + ".tmp.npz"
    np.savez(tmp, **arrays)
    os.replace(tmp, path)


def write_manifest(out: str, manifest: Dict[str, Any]) -> None:
    path = os.path.join(out, MANIFEST)
    with open(path + ".tmp", "w", encoding="utf-8") as fh:
        json.dump(manifest, fh, indent=1, sort_keys=True)
    os.replace(path + ".tmp", path)


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

    def histogram(self, tiles: int, permutations: int) -> Histogram:
        """The p-value and exceedance-count counts of all tiles of a summarised run."""
        raise NotImplementedError


class MemoryStore(Store):
    def __init__(self) -> None:
        self.tiles: Dict[int, Dict[str, Any]] = {}
        self.tasks: Dict[TaskKey, Dict[str, Any]] = {}
        self.hist: Optional[Histogram] = None

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
                self.hist = Histogram(summary["b_hist"].size - 1 if summary["b_hist"].size else 0)
            self.hist.add(summary)
            summary = {k: v for k, v in summary.items() if k not in ("p_vals", "p_counts", "b_hist", "m")}
        self.tiles[tile] = summary
        for key in tasks:
            self.tasks.pop(key, None)

    def load_tile(self, tile: int) -> Dict[str, Any]:
        return self.tiles[tile]

    def histogram(self, tiles: int, permutations: int) -> Histogram:
        return self.hist if self.hist is not None else Histogram(permutations)


class FolderStore(Store):
    """Finished tasks and tiles as .npz files in the output's work folder; the manifest lists
    the finished tiles. A file appears under its final name only when complete."""

    def __init__(self, out: str, manifest: Dict[str, Any]):
        self.out = out
        self.work = os.path.join(out, WORK)
        self.manifest = manifest
        os.makedirs(self.work, exist_ok=True)

    def _tile_path(self, tile: int) -> str:
        return os.path.join(self.work, "tile-{:06d}.npz".format(tile))

    def _task_path(self, key: TaskKey) -> str:
        return os.path.join(self.work, "task-{:06d}-{}-{}.npz".format(*key))

    def done_tiles(self) -> Set[int]:
        return {t for t in self.manifest["tiles_done"] if os.path.exists(self._tile_path(t))}

    def done_tasks(self) -> Set[TaskKey]:
        done = set()
        for name in os.listdir(self.work):
            if name.startswith("task-") and name.endswith(".npz") and ".tmp" not in name:
                tile, f, l = name[5:-4].split("-")
                done.add((int(tile), int(f), int(l)))
        return done

    def save_task(self, key: TaskKey, result: Dict[str, Any]) -> None:
        save_npz(self._task_path(key), result)

    def load_task(self, key: TaskKey) -> Dict[str, Any]:
        with np.load(self._task_path(key)) as archive:
            return {k: archive[k] for k in archive.files}

    def save_tile(self, tile: int, summary: Dict[str, Any], tasks: Sequence[TaskKey]) -> None:
        save_npz(self._tile_path(tile), summary)
        self.manifest["tiles_done"] = sorted(set(self.manifest["tiles_done"]) | {tile})
        write_manifest(self.out, self.manifest)
        for key in tasks:
            with contextlib.suppress(FileNotFoundError):
                os.remove(self._task_path(key))

    def load_tile(self, tile: int, keys: Optional[Sequence[str]] = None) -> Dict[str, Any]:
        with np.load(self._tile_path(tile)) as archive:
            return {k: archive[k] for k in (archive.files if keys is None else keys)}

    def histogram(self, tiles: int, permutations: int) -> Histogram:
        hist = Histogram(permutations)
        for t in range(tiles):
            hist.add(self.load_tile(t, ("m", "b_hist", "p_vals", "p_counts")))
        return hist
