"""A run from start to end: the checks made before any work, the settings of its tasks,
the tasks run here or on a cluster, and the result table (and the files)."""

import contextlib
import contextvars
import copy
import math
import os
from typing import Any, Callable, Dict, Iterator, List, Optional, Set, Tuple

import numpy as np

from .. import _inputs, _memory
from .._inputs import InputError
from . import execute, output, plan, tasks
from . import robust_stage
from . import two_phase as two_phase_run
from .assemble import QBound
from .problem import Filters, Problem, input_hash
from .spilled_counts import SpillingFolderStore, SpillingMemoryStore
from .store import FolderStore, MemoryStore, Store
from .tasks import Settings

#: With ``out``, the returned table holds at most this many of the written entries.
KEEP_IN_MEMORY = 1000000
#: Bytes per pair of an unfiltered all-pairs table held in memory.
BYTES_PER_PAIR = 90
#: Bytes per distinct p-value at the peak of merging the counts of all of them in memory
#: (the merged table, the batch joined to it, the sort and the summed counts: about 75
#: measured at 72 million pairs, bench/results/spilled_counts.md).
BYTES_PER_DISTINCT = 72
#: Bytes per entry that a tile of a filtered run keeps while the tiles run (r1, r2, z_diff,
#: p_value, its count, code and position, the distinct value and its count).
BYTES_PER_KEPT = 48
#: Bytes per entry of a filtered table at the peak of making it (the table's 52, the
#: q-value table's 16).
BYTES_PER_REPORTED = 70
#: What a filtered run holds besides its entries: the tiles being computed, one range of the
#: sweep over counts kept in files, and the counts of the tiles' exceedance counts.
FILTERED_BASE = 200e6
#: Distinct float32 values in [0, 1].
FLOAT32_UNIT_VALUES = 0x3F800001

ORDER_NOTE = (
    "entries in pair order (row1 ascending, then row2) for all pairs, in the order given for "
    "listed pairs and sets, in row order for rows; part files in that order by name"
)


_CHECKING: "contextvars.ContextVar[bool]" = contextvars.ContextVar("corrshift_checking", default=False)


class OutOfMemory(MemoryError):
    """An allocation failed during a run, after the checks made before it; the message says
    what was being built and how to make the run fit."""


_RUN: "contextvars.ContextVar[Optional[Tuple[Problem, Filters, Optional[str]]]]" = contextvars.ContextVar(
    "corrshift_run", default=None
)


@contextlib.contextmanager
def _building(what: str) -> Iterator[None]:
    """Within this context a failed allocation of the run ends in OutOfMemory, which names
    `what` was being built (the innermost context names it)."""
    try:
        yield
    except OutOfMemory:
        raise
    except MemoryError:
        context = _RUN.get()
        if context is None:
            raise
        raise _out_of_memory(*context, what) from None


def _out_of_memory(problem: Problem, filters: Filters, out: Optional[str], what: str) -> OutOfMemory:
    if problem.analysis.table != "pairs":
        advice = "run it on a machine or cluster with more memory"
    elif out is None:
        advice = (
            "write the entries to disk with out='pairs.parquet', or keep fewer (a smaller max_p or max_q, or top=...)"
        )
    else:
        advice = "keep fewer entries (a smaller max_p or max_q, or top=...), or use fewer threads (n_jobs)"
    have, why = _memory.headroom()
    return OutOfMemory(
        "ran out of memory while {} ({} free now: {}); to make it fit, {}".format(
            what, _memory.size_text(have), why, advice
        )
    )


class Checked(Exception):
    """Raised by :func:`run` inside :func:`check_only` once every check has passed."""


@contextlib.contextmanager
def check_only() -> Iterator[None]:
    """Within this context :func:`run` makes every check it makes before any work (the
    output folder's included) and then raises :class:`Checked` instead of computing. A
    caller with several runs to make checks them all before starting the first."""
    token = _CHECKING.set(True)
    try:
        yield
    finally:
        _CHECKING.reset(token)


def check_filters(max_p: Any, max_q: Any, top: Any) -> Filters:
    limits = []
    for name, value in (("max_p", max_p), ("max_q", max_q)):
        if value is not None:
            if (
                isinstance(value, (bool, np.bool_))
                or not isinstance(value, (int, float, np.integer, np.floating))
                or not 0 <= float(value) <= 1
            ):
                raise InputError("{} must be a number from 0 to 1, got {!r}".format(name, value))
            value = float(value)
        limits.append(value)
    if top is not None:
        if isinstance(top, (bool, np.bool_)) or not isinstance(top, (int, np.integer)) or top < 1:
            raise InputError("top must be a positive whole number, got {!r}".format(top))
        top = int(top)
    return Filters(limits[0], limits[1], top)


def _available_memory() -> int:
    """The memory by which an in-memory table of all pairs is judged and the p-value counts
    are placed (in memory or in files): what this process can still take (the least of the
    machine's available memory, ``ulimit -v`` and its control group's limit). Tests set it."""
    return _memory.headroom()[0]


def _headroom() -> Tuple[int, str]:
    """`_available_memory()` and what limits it."""
    have = _available_memory()
    real, why = _memory.headroom()
    return have, why if have == real else "the memory available"


def _filtered_need(problem: Problem, filters: Filters, out: Optional[str]) -> Tuple[float, str]:
    """What a filtered run of all pairs (or one that writes files) holds at its peak on data
    without changes in correlation, besides the module and the data: a lower estimate for
    real data, which has more small p-values (README, "memory")."""
    items = problem.item_count()
    reported = float(items)  # entries that pass max_p (all of them without it)
    if filters.max_p is not None:
        reported = filters.max_p * items
    held = reported  # entries the tiles keep while they run
    if filters.max_q is not None:
        # The entries up to the falling bound of the q-values (assemble.QBound): about a
        # quarter of max_q's share at its peak, half-way through the tiles.
        held = min(held, filters.max_q * items / 4)
        reported = min(reported, held)
    elif filters.top is not None:
        held = min(held, float(filters.top) * len(plan.plan_tiles(problem)))
    if filters.top is not None:
        reported = min(reported, float(filters.top))
    if out is not None:
        # The tiles' entries wait in files; the returned table holds the best of them.
        reported = min(reported, float(KEEP_IN_MEMORY))
        held = held * 16 / BYTES_PER_KEPT if filters.max_q is not None else 0.0
    need = max(held * BYTES_PER_KEPT, reported * BYTES_PER_REPORTED) + FILTERED_BASE
    return need, "about {:,.0f} entries kept and {:,.0f} reported".format(held, reported)


def check_memory(problem: Problem, filters: Filters, out: Optional[str]) -> None:
    """Refuse, before any work, a run of all pairs whose table or kept entries would not fit
    in the memory this process can take: an unfiltered table in memory (BYTES_PER_PAIR a
    pair), or what a filtered run, or one that writes files, holds on data without changes
    in correlation (:func:`_filtered_need`)."""
    _check_table_memory(problem, filters, out)
    if robust_stage.applies(problem) is None:
        need = problem.item_count() * robust_stage.BYTES_PER_PAIR
        have, why = _memory.headroom()
        if need > 0.8 * have:
            raise InputError(
                "the robust p-values of {:,} pairs need about {} in memory at their peak, more than this "
                "process can take ({}: {}); pass significance='normal' for the normal-approximation columns "
                "alone, or test fewer rows or pairs".format(
                    problem.item_count(), _memory.size_text(need), _memory.size_text(have), why
                )
            )


def _check_table_memory(problem: Problem, filters: Filters, out: Optional[str]) -> None:
    if not problem.analysis.every_pair:
        return
    if out is None and not filters.any:
        need = problem.item_count() * BYTES_PER_PAIR
        have, why = _headroom()
        if need > 0.8 * have:
            raise InputError(
                "all {:,} pairs of {:,} rows need about {:.1f} GB in memory, more than this process can take "
                "({:.1f} GB: {}); write them to disk with out='pairs.parquet', or keep only the best with "
                "max_q=..., max_p=... or top=...".format(
                    problem.item_count(), problem.nrows, need / 1e9, have / 1e9, why
                )
            )
        return
    need, what = _filtered_need(problem, filters, out)
    have, why = _memory.headroom()
    if need > have:
        advice = "keep fewer pairs (a smaller max_p or max_q, or top=...)"
        if out is None:
            advice += ", or write them to disk with out='pairs.parquet'"
        raise InputError(
            "the {:,} pairs of {:,} rows with these filters need about {} in memory even on data without "
            "changes in correlation ({}), more than this process can take ({}: {}); {}".format(
                problem.item_count(), problem.nrows, _memory.size_text(need), what, _memory.size_text(have), why, advice
            )
        )


def check_histogram_memory(problem: Problem, filters: Filters) -> bool:
    """Whether the counts of every distinct p-value (needed for exact q-values unless max_q
    bounds them) would not fit in memory: then they go to files (:mod:`.spilled_counts`)."""
    if not problem.analysis.every_pair or filters.max_q is not None:
        return False
    need = min(problem.item_count(), FLOAT32_UNIT_VALUES if problem.statistics != "api" else problem.item_count())
    return need * BYTES_PER_DISTINCT > 0.8 * _available_memory()


def _version() -> str:
    from .._version import __version__

    return __version__


def settings_of(problem: Problem, filters: Filters, out: Optional[str], threads: int) -> Settings:
    q_limit = None if filters.max_q is None else filters.max_q * (1 + 2.0**-40)
    keep = [v for v in (filters.max_p, q_limit) if v is not None]
    return Settings(
        blocks=tasks.BLOCKS,
        first=problem.first,
        second=problem.second,
        method=problem.method,
        alternative=problem.alternative,
        score=problem.score,
        permutations=problem.permutations,
        n1=int(problem.first.size),
        n2=int(problem.second.size),
        group1=problem.labels[0],
        group2=problem.labels[1],
        class_alpha=problem.class_alpha,
        threads=threads,
        summary=out is not None or filters.any,
        columns=out is not None,
        keep_p=min(keep) if keep else None,
        hist_limit=math.inf if q_limit is None else q_limit,
        tile_top=filters.top if filters.max_q is None else None,
        statistics=problem.statistics,
    )


def _run_tasks(
    problem: Problem,
    settings: Settings,
    tiles: List[plan.Tile],
    ranges: List[List[plan.Tile]],
    store: Store,
    client: Any,
    hosts: Dict[str, int],
    key: str,
    progress: bool,
    after_result: Optional[Callable[[int], None]],
    wanted: Optional[Set[int]] = None,
) -> None:
    """Run the tasks of `tiles` (pass `ranges` of each; only of the tiles `wanted`) that
    `store` does not hold yet."""
    if isinstance(store, FolderStore):
        resume = "the finished tasks are kept in {}: run the same again, with a working cluster, to resume".format(
            store.out
        )
    else:
        resume = "run it again with a working cluster (with out=..., a run keeps its finished tasks to resume)"
    state = execute.Run(problem, settings, tiles, ranges, store, wanted)
    state.bar = execute.Progress(progress, state.total_weight(), problem.analysis.unit)
    try:
        if client is None:
            execute.run_here(state, settings.threads)
        else:
            execute.run_dask(state, client, hosts, key, after_result, resume)
    finally:
        state.bar.close()


def _task_runner(
    client: Any, hosts: Dict[str, int], digest: str, progress: bool, after_result: Optional[Callable[[int], None]]
) -> Callable[..., None]:
    """`run_tasks(problem, settings, tiles, ranges, store, wanted=None)`: :func:`_run_tasks`
    of a run, each analysis's tasks under a cluster key of their own."""

    def run_tasks(
        problem: Problem,
        settings: Settings,
        tiles: List[plan.Tile],
        ranges: List[List[plan.Tile]],
        store: Store,
        wanted: Optional[Set[int]] = None,
    ) -> None:
        key = "corrshift-" + digest[:20] + "-" + problem.analysis.name
        _run_tasks(problem, settings, tiles, ranges, store, client, hosts, key, progress, after_result, wanted)

    return run_tasks


def _pass_ranges(
    problem: Problem, tiles: List[plan.Tile], client: Any, hosts: Dict[str, int], resumable: bool
) -> List[List[plan.Tile]]:
    """The pass ranges of each tile's tasks."""
    if client is None and not resumable:
        # Nothing to resume and no worker to keep alive: every tile is one task.
        return [[(0, problem.permutations + 1)] for _ in tiles]
    return plan.plan_passes(problem, tiles, sum(hosts.values()) or 1)


def _compute(
    problem: Problem,
    settings: Settings,
    tiles: List[plan.Tile],
    filters: Filters,
    store: Store,
    client: Any,
    digest: str,
    progress: bool,
    after_result: Optional[Callable[[int], None]],
    description: Dict[str, Any],
    out: Optional[str] = None,
    two_phase: bool = False,
) -> Any:
    """Run the tasks that `store` does not hold yet, then build the result (and the files)."""
    hosts = execute.host_slots(client) if client is not None else {}
    run_tasks = _task_runner(client, hosts, digest, progress, after_result)

    stage = _robust_stage(problem, filters, out, settings.threads, run_tasks, store)
    written: List[str] = []
    write: Optional[Callable[[int, Any], None]] = None
    if out is not None:
        from .. import _parquet

        assert isinstance(store, FolderStore)
        final = output.final_folder(out, store.manifest)

        def write_part(t: int, part: Any, last: bool) -> None:
            _with_row_columns(problem, part)
            if stage is not None:
                stage.annotate(part)
            if len(part) or (last and not written):
                name = "part-{:05d}.parquet".format(t)
                _parquet.write(part, os.path.join(final, name), description)
                written.append(name)

        write = write_part

    limit = KEEP_IN_MEMORY if out is not None else None
    kept: Dict[str, Any] = {}
    if stage is not None and filters.any:
        with _building("making the table of the pairs that the robust p-values select"):
            result = _selected_table(
                problem,
                stage,
                filters,
                store,
                run_tasks,
                lambda p, t: _pass_ranges(p, t, client, hosts, out is not None),
                settings.threads,
                write,
                limit,
            )
    elif two_phase:
        threads = settings.threads
        with _building("computing the observed pass over all pairs and the permutation passes of those reported"):
            result = two_phase_run.compute(
                problem,
                settings,
                filters,
                store,
                run_tasks,
                lambda p: settings_of(p, filters, out, threads),
                write,
                limit,
                split=client is not None or out is not None,
                slots=sum(hosts.values()) or 1,
            )
    else:
        with _building("computing the tiles of the {} {}s".format(problem.item_count(), problem.analysis.unit)):
            run_tasks(problem, settings, tiles, _pass_ranges(problem, tiles, client, hosts, out is not None), store)
        count = len(tiles)
        with _building("making the table of the entries kept"):
            result = problem.analysis.finish(
                problem,
                settings,
                tiles,
                store,
                filters,
                None if write is None else lambda t, part: write(t, part, t == count - 1),
                limit,
                kept,
            )
    if stage is not None:
        if not filters.any:  # a table the stage chose has its columns already
            stage.annotate(result)
        kept.update(stage.state())  # a damaged part is made again without the stage
    if out is not None:
        assert isinstance(store, FolderStore)  # a run that writes files keeps its work in the folder
        with _building("writing the files"):
            output.finish_output(out, written, store.manifest, problem, result, kept, len(tiles))
    return result


#: What a filtered pair test with the robust significance says of its q_value and perm_q.
SELECTED_Q_NOTE = (
    "not computed: the pairs were chosen by q_robust and p_robust, and a q-value of the normal "
    "approximation needs the p-values of every pair; pass significance='normal' for q_value"
)
SELECTED_PERM_Q_NOTE = (
    "not computed: the permutation passes ran only for the reported pairs; pass "
    "significance='normal' with perm_q=True for perm_q over every pair"
)


def selects(problem: Problem, filters: Filters) -> bool:
    """Whether the robust columns choose the pairs that a run of `problem` reports."""
    return filters.any and robust_stage.applies(problem) is None


def _selected_table(
    problem: Problem,
    stage: robust_stage.Stage,
    filters: Filters,
    store: Store,
    run_tasks: Callable[..., None],
    ranges_of: Callable[[Problem, List[plan.Tile]], List[List[plan.Tile]]],
    threads: int,
    write: Optional[Callable[[int, Any, bool], None]],
    limit: Optional[int],
) -> Any:
    """The table of the pairs that pass `filters` by the robust columns: they run as a list
    of pairs (the observed pass and the fixed permutation passes, so their values are the
    full run's, bit for bit); their q_value and perm_q are NaN (SELECTED_Q_NOTE)."""
    from .analyses import analysis_named
    from .assemble import empty_pairs, pair_result

    positions = stage.select(filters)
    listed = copy.copy(problem)
    listed.kind = "list"
    listed.analysis = analysis_named("list")
    listed.local1, listed.local2 = robust_stage.pair_rows(problem, positions)
    if problem.kind == "list":
        listed.index1, listed.index2 = problem.index1[positions], problem.index2[positions]  # type: ignore[index]
    elif problem.rows is not None:
        listed.index1, listed.index2 = problem.rows[listed.local1], problem.rows[listed.local2]
    else:
        listed.index1, listed.index2 = listed.local1, listed.local2
    settings = settings_of(listed, Filters(), None, threads)
    if positions.size == 0:
        table = empty_pairs(problem, settings)
    else:
        tiles = plan.plan_tiles(listed)
        part_store: Store = (
            FolderStore(store.out, store.manifest, "robust-table") if isinstance(store, FolderStore) else MemoryStore()
        )
        run_tasks(listed, settings, tiles, ranges_of(listed, tiles), part_store)
        whole = listed.analysis.finish(listed, settings, tiles, part_store, Filters(), None, None)
        nan = np.full(len(whole), np.nan)
        table = pair_result(
            problem.names,
            whole.index1,
            whole.index2,
            [whole.r1, whole.r2, whole.z_diff, whole.p_value, whole.perm_p],
            settings,
            nan,
            nan,
        )
    table.q_value_note = SELECTED_Q_NOTE
    table.perm_q_note = SELECTED_PERM_Q_NOTE
    stage.annotate(table)
    if filters.top is not None:
        table = table.take(np.sort(table.order()[: filters.top]))
    cuts = plan.split(np.arange(len(table) + 1, dtype=np.float64), float(1 << 20))
    return two_phase_run.deliver(table, cuts, write, filters.top is not None, limit)


def _robust_stage(
    problem: Problem, filters: Filters, out: Optional[str], threads: int, run_tasks: Callable[..., None], store: Store
) -> Optional[robust_stage.Stage]:
    """The robust columns of a pair test that asks for them (computed before its table, so
    that every part written has them; with `out` its tasks are kept in the work folder)."""
    if robust_stage.applies(problem) is not None:
        return None

    def store_of(phase: str) -> Store:
        if isinstance(store, FolderStore):
            return FolderStore(store.out, store.manifest, phase)
        return MemoryStore()

    with _building("computing the robust p-values"):
        return robust_stage.compute(
            problem,
            run_tasks,
            lambda p: settings_of(p, filters, out, threads),
            0.05 if filters.max_q is None else filters.max_q,
            store_of,
            filters.max_p,
            every_q=filters.max_q is None,
        )


def _repair(
    problem: Problem,
    settings: Settings,
    tiles: List[plan.Tile],
    filters: Filters,
    store: FolderStore,
    client: Any,
    digest: str,
    progress: bool,
    after_result: Optional[Callable[[int], None]],
    description: Dict[str, Any],
    out: str,
) -> Any:
    """Make the damaged parts of a finished output again (their tiles computed again where
    the parts need them) and publish it with its intact files."""
    from .. import _parquet

    analysis = problem.analysis
    again = set(store.manifest["repair"])
    hosts = execute.host_slots(client) if client is not None else {}
    run_tasks = _task_runner(client, hosts, digest, progress, after_result)
    if analysis.part_needs_tile and again:
        run_tasks(problem, settings, tiles, _pass_ranges(problem, tiles, client, hosts, True), store, again)
    counts = output.load_state(out)

    stage = robust_stage.Stage.of_state(problem, counts)
    if stage is None:
        stage = _robust_stage(problem, filters, out, settings.threads, run_tasks, store)

    def write_part(t: int, folder: str, name: str) -> None:
        part = analysis.remake_part(problem, settings, tiles, store, filters, counts, t)
        _with_row_columns(problem, part)
        if stage is not None:
            stage.annotate(part)
        _parquet.write(part, os.path.join(folder, name), description)

    output.repair_output(out, store.manifest, write_part, len(tiles), counts)
    return output.kept_table(out, problem, settings)


def run(
    problem: Problem,
    *,
    out: Any = None,
    overwrite: bool = False,
    client: Any = None,
    n_jobs: Optional[int] = None,
    max_p: Optional[float] = None,
    max_q: Optional[float] = None,
    top: Optional[int] = None,
    perm_q: bool = False,
    progress: bool = True,
    _after_result: Optional[Callable[[int], None]] = None,
) -> Any:
    """Compute `problem` and return its result table (see the package docstring).

    Every argument is checked, and `out` created (or its earlier run found), before any
    work. The returned table holds the entries that pass the filters (``max_p``, ``max_q``
    on the p-value for pairs and on the permutation p-value for scores; then the ``top``
    best), sorted when ``top`` is given and in pair (row, set) order otherwise. With
    `out`, at most KEEP_IN_MEMORY of them are held, the best ones; ``result.output`` names
    the folder with all of them.

    A z-test whose filters decide the reported pairs runs its permutation passes only for
    them (:mod:`.two_phase`) and reports no ``perm_q``, unless `perm_q` is True.
    """
    filters = check_filters(max_p, max_q, top)
    threads = _inputs.job_count(n_jobs)
    if problem.data.size >= 2**31:
        raise InputError(
            "data has {:,} values in the two groups' samples; at most 2**31 - 1 are supported".format(problem.data.size)
        )
    if client is not None:
        distributed = execute.require_dask()
        if not isinstance(client, distributed.Client):
            raise InputError("client must be a distributed.Client, got {!r}".format(type(client).__name__))
    if out is not None:
        from .. import _parquet

        _parquet.require()
        try:
            out = os.fspath(out)
        except TypeError:
            raise InputError("out must be a folder name (a str or path), got {!r}".format(out)) from None
        if not isinstance(out, str):
            out = os.fsdecode(out)
    given = out
    if out is not None:
        out = output.resolve(out)
    check_memory(problem, filters, out)
    spill = check_histogram_memory(problem, filters)
    settings = settings_of(problem, filters, out, threads)
    analysis = problem.analysis
    tiles = plan.plan_tiles(problem)
    if client is None and out is None and analysis.held_whole(settings):
        # In this process, what is held whole anyway is computed whole: one task.
        tiles = plan.whole(tiles)
    selected = selects(problem, filters)
    two_phase = two_phase_run.applies(problem, filters, bool(perm_q)) and not selected
    digest = input_hash(problem, filters, _version())
    if robust_stage.applies(problem) is None:
        digest = robust_stage.digest_of(digest + ("|selected" if selected else ""))
    if two_phase:
        digest = two_phase_run.digest_of(digest)
    description = {
        "kind": analysis.table,
        "method": problem.method,
        "alternative": problem.alternative,
        "score": problem.score,
        "permutations": problem.permutations,
        "n1": settings.n1,
        "n2": settings.n2,
        "group1": problem.labels[0],
        "group2": problem.labels[1],
        "entries": problem.item_count(),
        "max_p": filters.max_p,
        "max_q": filters.max_q,
        "top": filters.top,
        "order": ORDER_NOTE,
        "class_alpha": problem.class_alpha if analysis.has_classes else None,
        "corrshift": _version(),
    }
    if problem.dropped:
        description["dropped"] = problem.dropped
    if problem.matrix is not None:
        description["matrix"] = problem.matrix
    if two_phase:
        description["perm_q"] = two_phase_run.PERM_Q_NOTE
    if selected:
        description["q_value"], description["perm_q"] = SELECTED_Q_NOTE, SELECTED_PERM_Q_NOTE
    top = settings.tile_top
    if _CHECKING.get():
        if out is not None:
            output.check_output(out)
        raise Checked()
    token = _RUN.set((problem, filters, out))
    try:
        with _building("running the analysis"):
            bound = None
            if settings.summary and analysis.table == "pairs" and filters.max_q is not None:
                # The entries and counts above the largest p-value that max_q may still report are
                # let go as the tiles arrive (the q-values of the others do not depend on them).
                bound = QBound(settings.hist_limit, problem.item_count())
            if out is None:
                store = SpillingMemoryStore(problem.permutations, top) if spill else MemoryStore(bound)
                try:
                    result = _compute(
                        problem,
                        settings,
                        tiles,
                        filters,
                        store,
                        client,
                        digest,
                        progress,
                        _after_result,
                        description,
                        two_phase=two_phase,
                    )
                finally:
                    if spill:
                        store.close()
            else:
                output.recover(out)
                output.check_output(out)
                problems = output.finished(out, digest)
                if problems is not None and not problems:
                    # Read back without the lock, so that no write access is needed.
                    result = output.kept_table(out, problem, settings)
                    output.tidy(out)
                else:
                    with contextlib.ExitStack() as locked:
                        try:
                            locked.enter_context(output.OutputLock(out))
                        except InputError as exc:
                            if problems:
                                raise output.cannot_mend(out, problems, exc) from None
                            raise
                        manifest = output.prepare_output(out, digest, description, overwrite)
                        if output.finished_table(out, manifest):
                            result = output.kept_table(out, problem, settings)
                        elif "repair" in manifest and not (two_phase or selected):
                            result = _repair(
                                problem,
                                settings,
                                tiles,
                                filters,
                                FolderStore(out, manifest),
                                client,
                                digest,
                                progress,
                                _after_result,
                                description,
                                out,
                            )
                        else:
                            if "repair" in manifest:
                                # Its parts are cut by the reported pairs, which the earlier files no
                                # longer tell reliably: everything is made again and published whole.
                                output.note(
                                    "{}: a filtered pair table with permutations is computed again in full "
                                    "(from its kept work files, where there are any)".format(out)
                                )
                            store = (
                                SpillingFolderStore(out, manifest, top)
                                if spill
                                else FolderStore(out, manifest, bound=bound)
                            )
                            try:
                                result = _compute(
                                    problem,
                                    settings,
                                    tiles,
                                    filters,
                                    store,
                                    client,
                                    digest,
                                    progress,
                                    _after_result,
                                    description,
                                    out,
                                    two_phase,
                                )
                            finally:
                                if spill:
                                    store.close()
    finally:
        _RUN.reset(token)
    result.output = given
    if two_phase:
        result.perm_q_note = two_phase_run.PERM_Q_NOTE
    if selected:
        result.q_value_note, result.perm_q_note = SELECTED_Q_NOTE, SELECTED_PERM_Q_NOTE
    result.dropped = problem.dropped
    result.matrix = problem.matrix
    _with_row_columns(problem, result)
    return result


def _with_row_columns(problem: Problem, table: Any) -> None:
    """A pair table of the run with the columns looked up per row (the non-zero counts)."""
    if problem.row_nonzero is not None and problem.analysis.table == "pairs":
        table.row_nonzero = problem.row_nonzero
