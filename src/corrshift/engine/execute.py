"""Running the tasks of a run: one after another in this process (each on ``n_jobs``
threads), or on a Dask cluster, where the matrix goes to every worker once, a worker runs
one task at a time on all its cores, and the results come back as they complete.
Finished tasks go to the run's store; a tile whose tasks are all done becomes a tile
summary there."""

import contextlib
import dataclasses
import importlib
import logging
from typing import TYPE_CHECKING, Any, Callable, Dict, Iterator, List, Optional, Set, Tuple

from .. import _settings
from .._inputs import InputError
from . import tasks
from .plan import Tile, tile_items
from .store import Store, TaskKey
from .tasks import Job, Settings, combine

if TYPE_CHECKING:
    from .problem import Problem

DASK_MESSAGE = 'cluster runs need dask and distributed: pip install "corrshift[dask]"'


class ClusterLost(RuntimeError):
    """The Dask cluster of a run went away (its scheduler, or all of its workers) before
    the run's tasks were done. The finished tasks of a run that writes files are kept:
    the same call resumes from them."""


#: The loggers that a lost cluster fills with tracebacks of the cluster library's own.
_QUIET_LOGGERS = ("distributed", "tornado", "asyncio")


@contextlib.contextmanager
def quiet_cluster_logs() -> Iterator[None]:
    """Within this context the cluster library and its event loop log nothing below
    CRITICAL (set back after): a scheduler lost during a run, or while its client closes,
    ends in our one line (ClusterLost) instead of their tracebacks."""
    manager = logging.Logger.manager
    names = [n for n in list(manager.loggerDict) if n.split(".")[0] in _QUIET_LOGGERS]
    loggers = [logging.getLogger(n) for n in set(names) | set(_QUIET_LOGGERS)]
    saved = [(logger, logger.level) for logger in loggers]
    for logger in loggers:
        logger.setLevel(logging.CRITICAL + 1)
    try:
        yield
    finally:
        for logger, level in saved:
            logger.setLevel(level)


def _lost_kinds(distributed: Any) -> Tuple[type, ...]:
    """The exceptions by which a client learns that its cluster is gone."""
    import asyncio
    import concurrent.futures

    kinds = [concurrent.futures.CancelledError, asyncio.CancelledError, OSError, TimeoutError]
    for module, name in (("distributed", "KilledWorker"), ("distributed.client", "ClosedClientError")):
        kind = getattr(importlib.import_module(module), name, None)
        if isinstance(kind, type):
            kinds.append(kind)
    return tuple(kinds)


def _lost(exc: BaseException, resume: str) -> ClusterLost:
    cause = " ".join(str(exc).split())
    if isinstance(exc, AttributeError):
        cause = "the client has no scheduler any more"
    elif cause:
        cause = "{}: {}".format(type(exc).__name__, cause[:200])
    else:
        cause = type(exc).__name__
    return ClusterLost(
        "lost the Dask cluster during the run (its scheduler or all its workers went away; {}); {}".format(
            cause, resume
        )
    )


class Progress:
    """A tqdm bar over pair-passes (or row- and set-passes), drawn on standard error (or in a
    notebook); not drawn when `enabled` is false or scanpy's verbosity is 0."""

    def __init__(self, enabled: bool, total: int, what: str):
        self.bar = None
        if total > 0 and _settings.show_progress(enabled):
            from tqdm.auto import tqdm  # type: ignore[import]

            self.bar = tqdm(
                total=total,
                desc="corrshift",
                unit=" {}-passes".format(what),
                unit_scale=True,
                dynamic_ncols=True,
                smoothing=0.1,
            )

    def update(self, n: int) -> None:
        if self.bar is not None and n:
            self.bar.update(n)

    def close(self) -> None:
        if self.bar is not None:
            self.bar.close()


class Run:
    """Bookkeeping of one run: which tasks remain, and turning finished tasks into tiles."""

    def __init__(
        self,
        problem: "Problem",
        settings: Settings,
        tiles: List[Tile],
        ranges: List[List[Tile]],
        store: Store,
        wanted: Optional[Set[int]] = None,
    ):
        self.problem, self.settings, self.tiles, self.ranges = problem, settings, tiles, ranges
        self.store, self.bar = store, Progress(False, 0, "")
        done_tiles = store.done_tiles()
        done_tasks = store.done_tasks()
        self.pending: Dict[int, Set[TaskKey]] = {}
        self.jobs: List[Job] = []
        for t, tile in enumerate(tiles):
            if t in done_tiles or (wanted is not None and t not in wanted):
                continue
            keys = {(t, f, l) for f, l in ranges[t]}
            self.pending[t] = keys - done_tasks
            if self.pending[t]:
                # The tile's pair lists, shared by its pass ranges.
                job = problem.analysis.job(problem, t, tile)
                self.jobs += [
                    dataclasses.replace(job, passes=(f, l)) for f, l in ranges[t] if (t, f, l) not in done_tasks
                ]
            else:
                self._finish_tile(t)

    def weight(self, job: Job) -> int:
        f, l = job.passes
        return tile_items(self.problem, job.tile) * (l - f)

    def total_weight(self) -> int:
        return sum(self.weight(j) for j in self.jobs)

    def finished(self, job: Job, result: Dict[str, Any]) -> None:
        t = job.index
        f, l = job.passes
        if len(self.ranges[t]) == 1:
            self.store.save_tile(t, result, [])
            self.pending.pop(t, None)
            return
        self.store.save_task((t, f, l), result)
        self.pending[t].discard((t, f, l))
        if not self.pending[t]:
            self._finish_tile(t)

    def _finish_tile(self, t: int) -> None:
        keys = [(t, f, l) for f, l in self.ranges[t]]
        parts = [self.store.load_task(k) for k in keys]
        self.store.save_tile(t, combine(self.settings, self.problem.analysis, parts), keys)
        self.pending.pop(t, None)


def run_here(run: Run, n_jobs: int) -> None:
    for job in run.jobs:
        items = tile_items(run.problem, job.tile)
        shown = [0]

        def progress(n: int, items: int = items, shown: List[int] = shown) -> None:
            run.bar.update(items * (n - shown[0]))
            shown[0] = n

        result = tasks.run_task(run.problem.data, run.settings, job, n_jobs, progress=progress)
        run.bar.update(run.weight(job) - items * shown[0])
        run.finished(job, result)


def require_dask() -> Any:
    try:
        import distributed  # type: ignore[import]
    except ImportError:
        raise ImportError(DASK_MESSAGE) from None
    return distributed


def host_slots(client: Any) -> Dict[str, int]:
    """Tasks each host of the cluster runs at once: the sum of its workers' threads."""
    from distributed.comm import get_address_host  # type: ignore[import]

    try:
        info = client.scheduler_info(n_workers=-1)
    except TypeError:  # older distributed lists every worker anyway
        info = client.scheduler_info()
    slots: Dict[str, int] = {}
    for address, worker in info.get("workers", {}).items():
        host = get_address_host(address)
        slots[host] = slots.get(host, 0) + int(worker.get("nthreads", 1))
    return slots


def run_dask(
    run: Run,
    client: Any,
    slots: Dict[str, int],
    key_prefix: str,
    after_result: Optional[Callable[[int], None]] = None,
    resume: str = "run it again",
) -> None:
    """Run the jobs of `run` on the cluster of `client`; ClusterLost (with `resume`, what
    to do then) if the cluster goes away meanwhile."""
    distributed = require_dask()
    if not run.jobs:
        return
    lost = _lost_kinds(distributed)
    futures: Dict[Any, Job] = {}
    done = 0
    quiet = quiet_cluster_logs()
    quiet.__enter__()
    try:
        try:
            # A key of its own: a run that scatters the same matrix again (the second phase of
            # a filtered z-test) must not meet the release of the earlier copy under the same key.
            data = client.scatter(run.problem.data, broadcast=True, hash=False)
            for job in run.jobs:
                f, l = job.passes
                key = "{}-{}-{}-{}".format(key_prefix, job.index, f, l)
                futures[client.submit(tasks.run_task, data, run.settings, job, None, slots, key=key, pure=True)] = job
            finished = distributed.as_completed(list(futures))
        except lost + (AttributeError,) as exc:  # a client whose cluster is gone has no scheduler
            raise _lost(exc, resume) from None
        while True:
            try:
                future = next(finished, None)
                if future is None:
                    break
                job = futures.pop(future)
                result = future.result()
                future.release()
            except lost as exc:
                raise _lost(exc, resume) from None
            run.finished(job, result)
            run.bar.update(run.weight(job))
            done += 1
            if after_result is not None:
                after_result(done)
    finally:
        if futures:
            with contextlib.suppress(Exception):
                client.cancel(list(futures))
        quiet.__exit__(None, None, None)


@contextlib.contextmanager
def local_cluster(workers: int, threads: int = 1) -> Iterator[Any]:
    """A client of a new cluster of `workers` worker processes on this machine."""
    distributed = require_dask()
    import dask  # type: ignore[import]

    # Dask starts workers with a 64 KiB malloc trim threshold, which makes every large NumPy
    # temporary a fresh mmap and the per-pair columns several times slower; these workers
    # keep freed memory for reuse up to 256 MiB and map only blocks of 32 MiB and more.
    environ = dict(dask.config.get("distributed.nanny.pre-spawn-environ", {}) or {})
    environ.update(MALLOC_TRIM_THRESHOLD_=str(256 << 20), MALLOC_MMAP_THRESHOLD_=str(32 << 20))
    with dask.config.set({"distributed.nanny.pre-spawn-environ": environ}):
        cluster = distributed.LocalCluster(
            n_workers=workers, threads_per_worker=threads, processes=True, dashboard_address=":0"
        )
    try:
        with distributed.Client(cluster) as client:
            yield client
    finally:
        with quiet_cluster_logs():
            cluster.close()


@contextlib.contextmanager
def connect(scheduler: Optional[str] = None, workers: Optional[int] = None, timeout: str = "30s") -> Iterator[Any]:
    """A client of the cluster at `scheduler`, or of a new local cluster of `workers` worker
    processes; None when neither is given (the run stays in this process)."""
    if scheduler is not None and workers is not None:
        raise InputError("give either a scheduler address or a number of local workers, not both")
    if scheduler is None and workers is None:
        yield None
        return
    distributed = require_dask()
    if workers is not None:
        if isinstance(workers, bool) or not isinstance(workers, int) or workers < 1:
            raise InputError("workers must be a positive whole number, got {!r}".format(workers))
        with local_cluster(workers) as client:
            yield client
        return
    try:
        client = distributed.Client(scheduler, timeout=timeout)
    except (OSError, TimeoutError) as exc:
        raise InputError("cannot reach the Dask scheduler at {!r}: {}".format(scheduler, exc)) from None
    try:
        yield client
    finally:
        # A scheduler gone by now (lost during the run, or stopped after it) is not an error
        # of closing: its client's reconnection attempts and tracebacks stay quiet.
        with quiet_cluster_logs():
            client.close()
