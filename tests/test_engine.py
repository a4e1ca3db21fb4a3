"""The engine run in this process: same tables as the in-memory public functions, exact
q-values under filters, Parquet output, resuming, and refusals before any work."""

import json
import os
import sys

import numpy as np
import pytest

import corrshift
from corrshift import engine
from corrshift.results import NONZERO_COLUMNS, bh_qvalues
from conftest import assert_same_table, needs_parquet, stop_after_tasks

G1, G2 = list(range(8)), list(range(8, 17))
SETS = {3: [1, 2, 5], 0: [9, 40, 41, 42], 7: [8], 30: list(range(31, 50))}
PAIRS = [(0, 5), (7, 3), (40, 2), (12, 13)] * 40


@pytest.fixture(scope="module")
def data():
    rng = np.random.default_rng(7)
    x = rng.normal(size=(60, 17)).astype(np.float32)
    x[:12, :8] += 2 * rng.normal(size=8).astype(np.float32)  # rows 0-11 correlated in group 1 only
    return x


def in_memory(kind, x, method="pearson", alternative="two-sided", permutations=25, score="median"):
    """The table as one block call over every row and pass gives it: the reference."""
    from corrshift import _blocks, _inputs
    from corrshift.results import PairResult, RowResult, SetResult, permutation_pvalues

    matrix = _inputs.as_matrix(x)
    grp = _inputs.groups(matrix, G1, G2, False)
    first, second = _inputs.local_groups(grp.first.size, grp.second.size)
    passes = (0, permutations + 1, 2)
    common = (int(grp.first.size), int(grp.second.size))
    labels = dict(group1=grp.label1, group2=grp.label2)

    def sub(rows=None):
        return _inputs.screened_submatrix(matrix, grp, rows).data

    if kind in ("pairs", "listed"):
        if kind == "pairs":
            n = matrix.nrows
            r1, r2, z, p, counts = _blocks.ztest_block(
                sub(), first, second, (0, n), (0, n), method, alternative, *passes, statistics="api"
            )
            index1, index2 = engine.band_pairs(0, matrix.nrows - 1, matrix.nrows)
        else:
            index1, index2 = _inputs.pair_list(matrix, PAIRS)
            used = np.unique(np.concatenate([index1, index2]))
            r1, r2, z, p, counts = _blocks.pairs_block(
                sub(used),
                np.searchsorted(used, index1).astype(np.int32),
                np.searchsorted(used, index2).astype(np.int32),
                first,
                second,
                method,
                alternative,
                *passes,
                statistics="api",
            )
        return PairResult(
            matrix.row_names,
            index1,
            index2,
            r1,
            r2,
            z,
            p,
            permutation_pvalues(counts, permutations, z),
            *common,
            method,
            alternative,
            permutations,
            **labels,
        )
    if kind == "rows":
        observed, counts = _blocks.row_score_block(
            sub(), first, second, (0, matrix.nrows), method, score, alternative, *passes, statistics="api"
        )
        return RowResult(
            matrix.row_names,
            np.arange(matrix.nrows, dtype=np.int32),
            observed,
            permutation_pvalues(counts, permutations, observed),
            *common,
            score,
            method,
            alternative,
            permutations,
            **labels,
        )
    hubs, partners = _inputs.set_list(matrix, SETS)
    order = np.argsort(hubs)
    rows1 = np.concatenate([np.full(partners[k].size, hubs[k], np.int32) for k in order])
    rows2 = np.concatenate([partners[k] for k in order])
    used = np.unique(np.concatenate([rows1, rows2]))
    _, observed, counts = _blocks.set_block(
        sub(used),
        np.searchsorted(used, rows1).astype(np.int32),
        np.searchsorted(used, rows2).astype(np.int32),
        first,
        second,
        method,
        score,
        alternative,
        *passes,
        statistics="api",
    )
    back = np.argsort(order)
    return SetResult(
        matrix.row_names,
        np.asarray(hubs, np.int32),
        partners,
        observed[back],
        permutation_pvalues(counts[back], permutations, observed[back]),
        *common,
        score,
        method,
        alternative,
        permutations,
        **labels,
    )


def public_and_engine(kind, x, **options):
    """The in-memory reference, and a function that runs the public function (the engine)."""
    expected = in_memory(kind, x, **options)
    if kind == "pairs":
        return expected, lambda **e: corrshift.ztest(x, G1, G2, **options, **e)
    if kind == "listed":
        return expected, lambda **e: corrshift.ztest(x, G1, G2, PAIRS, **options, **e)
    if kind == "rows":
        return expected, lambda **e: corrshift.row_scores(x, G1, G2, **options, **e)
    return expected, lambda **e: corrshift.set_scores(x, SETS, G1, G2, **options, **e)


@pytest.mark.parametrize("method", ["pearson", "spearman"])
@pytest.mark.parametrize(
    "kind,options",
    [
        ("pairs", {}),
        ("pairs", {"alternative": "less"}),
        ("pairs", {"permutations": 0}),
        ("listed", {}),
        ("rows", {"score": "mean"}),
        ("rows", {"alternative": "greater"}),
        ("sets", {}),
    ],
    ids=["pairs", "pairs-less", "pairs-no-perm", "listed", "rows-mean", "rows-greater", "sets"],
)
def test_same_table_as_in_memory(engine_small, data, kind, options, method):
    options = dict({"permutations": 25}, **options, method=method)
    expected, run = public_and_engine(kind, data, **options)
    assert_same_table(expected, run(progress=False))


@needs_parquet
def test_pass_ranges_add_up(engine_small, data, monkeypatch, tmp_path):
    # Many pass ranges per tile (a run that writes files cuts them short, to resume from):
    # the counts of the ranges are summed.
    monkeypatch.setattr(engine, "TASK_SECONDS", 1e-9)
    calls = counted_tasks(monkeypatch)
    expected, run = public_and_engine("pairs", data, permutations=25)
    assert_same_table(expected, run(progress=False, out=tmp_path / "out"))
    assert len(calls) > len(engine.plan_tiles(engine_problem(data)))


def counted_tasks(monkeypatch):
    """The pass ranges of the tasks the engine runs from now on."""
    real, calls = engine.run_task, []

    def counted(data, settings, job, *args, **kwargs):
        calls.append(job.passes)
        return real(data, settings, job, *args, **kwargs)

    monkeypatch.setattr(engine, "run_task", counted)
    return calls


@pytest.mark.parametrize("kind", ["pairs", "listed", "rows", "sets"])
def test_in_process_runs_that_write_no_files_are_one_task_per_tile(engine_small, data, monkeypatch, kind):
    monkeypatch.setattr(engine, "TASK_SECONDS", 1e-9)
    calls = counted_tasks(monkeypatch)
    normal = {"significance": "normal"} if kind in ("pairs", "listed") else {}  # the main tasks alone
    expected, run = public_and_engine(kind, data, permutations=25)
    assert_same_table(expected, run(progress=False, **normal))
    assert calls == [(0, 26)]  # what is held whole anyway is computed whole
    if kind in ("pairs", "listed"):
        calls.clear()
        run(progress=False, max_q=0.5, perm_q=True, **normal)  # a filtered table is summarised tile by tile
        assert len(calls) > 1 and set(calls) == {(0, 26)}


@pytest.mark.parametrize(
    "filters",
    [
        {"max_q": 0.2},
        {"max_q": 0.0},
        {"max_p": 0.05},
        {"top": 9},
        {"max_q": 0.5, "top": 4},
        {"max_p": 0.3, "max_q": 0.4, "top": 1000},
    ],
    ids=["max_q", "max_q-0", "max_p", "top", "max_q-top", "all-three"],
)
@pytest.mark.parametrize("kind", ["pairs", "rows"])
def test_filters_keep_what_in_memory_keeps(engine_small, data, kind, filters):
    expected, run = public_and_engine(kind, data, permutations=25)
    stat, q = (expected.p_value, expected.q_value) if kind == "pairs" else (expected.perm_p, expected.perm_q)
    keep = np.ones(len(expected), dtype=bool)
    if "max_p" in filters:
        keep &= stat <= filters["max_p"]
    if "max_q" in filters:
        keep &= q <= filters["max_q"]
    kept = expected.take(np.flatnonzero(keep))
    if "top" in filters:
        kept = kept.top(filters["top"])
    # Pairs: with perm_q=True every pass runs for every pair (filtered pairs run in two phases,
    # tests/test_two_phase.py).
    normal = {"perm_q": True, "significance": "normal"} if kind == "pairs" else {}
    assert_same_table(kept, run(progress=False, **filters, **normal))


@pytest.mark.parametrize("limit", [None, 0.3, 0.02], ids=["all", "some", "few"])
def test_q_values_from_counts_match_bh(limit):
    rng = np.random.default_rng(3)
    # Ties, NaN and exact zeros, as float32 p-values come out of the pipelines.
    p = rng.choice(np.linspace(0, 1, 400, dtype=np.float32), size=5000)
    p[rng.random(5000) < 0.05] = np.nan
    expected = bh_qvalues(p)
    valid = ~np.isnan(p)
    shown = valid if limit is None else valid & (p <= limit)
    values, counts = np.unique(p[shown], return_counts=True)
    q = engine.bh_from_counts(values, counts, int(valid.sum()))
    got = q[np.searchsorted(values, p[shown])]
    if limit is None:
        assert np.array_equal(got, expected[shown])
    else:  # exact wherever the q-value can pass the limit
        passing = expected[shown] <= limit
        assert np.array_equal(got[passing], expected[shown][passing])
        assert np.all(got[~passing] > limit)


@needs_parquet
def test_parquet_dataset(engine_small, data, tmp_path):
    pd = pytest.importorskip("pandas")
    import pyarrow.parquet as pq

    expected, run = public_and_engine("pairs", data, permutations=25)
    out = tmp_path / "pairs.parquet"
    result = run(progress=False, out=out)
    assert result.output == str(out)
    assert_same_table(expected, result)
    parts = sorted(p for p in os.listdir(out) if p.endswith(".parquet"))
    assert len(parts) > 1
    frame = pd.read_parquet(out)
    assert list(frame.columns) == list(result.columns)  # with the non-zero counts the API adds
    for name in NONZERO_COLUMNS:
        assert np.array_equal(frame[name].to_numpy(), result.column(name))
    for name in expected.columns:
        column = frame[name].to_numpy()
        if name in expected._text_columns:
            assert list(column.astype(str)) == list(expected.column(name))
        else:
            assert np.array_equal(column, expected.column(name).astype(column.dtype), equal_nan=True)
    first = pq.read_table(out / parts[0])
    assert str(first.schema.field("row1").type).startswith("dictionary")
    # Each file holds the names of the rows it uses, once.
    assert len(first.column("row1").chunk(0).dictionary) <= len(np.unique(first.column("row1").to_numpy()))
    meta = json.loads(first.schema.metadata[b"corrshift"])
    assert meta["permutations"] == 25 and meta["n1"] == 8 and meta["n2"] == 9
    dd = pytest.importorskip("dask.dataframe")
    assert len(dd.read_parquet(str(out)).compute()) == len(expected)


def files_of(folder):
    return {name: (folder / name).read_bytes() for name in sorted(os.listdir(folder))}


class Interrupt(Exception):
    pass


@needs_parquet
@pytest.mark.parametrize("stop_after", [0, 3, 7], ids=["before-any", "mid", "late"])
@pytest.mark.parametrize("options", [{}, {"max_q": 0.3, "perm_q": True}], ids=["all", "filtered"])
def test_resume_gives_the_same_files(engine_small, data, tmp_path, monkeypatch, stop_after, options):
    # The main tasks alone (the robust stage's resume: tests/test_robust.py).
    _, public = public_and_engine("pairs", data, permutations=25)

    def run(**options):
        return public(significance="normal", **options)

    run(progress=False, out=tmp_path / "whole", **options)
    real = stop_after_tasks(monkeypatch, engine, stop_after)
    with pytest.raises(KeyboardInterrupt):
        run(progress=False, out=tmp_path / "resumed", **options)
    names = os.listdir(tmp_path / "resumed")
    assert not any(n.startswith("part-") for n in names)  # nothing partial looks complete
    manifest = json.loads((tmp_path / "resumed" / "_corrshift.json").read_text())
    assert manifest["complete"] is False and len(manifest["tiles_done"]) == stop_after
    monkeypatch.setattr(engine, "run_task", real)
    computed = []
    monkeypatch.setattr(engine, "run_task", lambda *a, **k: computed.append(1) or real(*a, **k))
    run(progress=False, out=tmp_path / "resumed", **options)
    assert len(computed) == len(engine.plan_tiles(engine_problem(data))) - stop_after
    assert files_of(tmp_path / "resumed") == files_of(tmp_path / "whole")
    # A finished output is read back, not computed again.
    computed.clear()
    again = run(progress=False, out=tmp_path / "resumed", **options)
    assert not computed
    assert_same_table(run(progress=False, **options), again)


def engine_problem(x):
    return engine.Problem(
        "all",
        x,
        np.arange(8, dtype=np.int32),
        np.arange(8, 17, dtype=np.int32),
        np.arange(len(x)).astype(str).astype(object),
        "pearson",
        "two-sided",
        25,
    )


def refuse(tmp_path):
    """Bad inputs, each with the words its message must hold."""
    blocker = tmp_path / "file"
    blocker.write_text("x")
    foreign = tmp_path / "foreign"
    foreign.mkdir()
    (foreign / "notes.txt").write_text("mine")
    cases = [
        ({"max_q": 1.5}, "max_q must be a number from 0 to 1"),
        ({"max_p": "0.1"}, "max_p must be a number"),
        ({"top": 0}, "top must be a positive whole number"),
    ]
    try:
        import distributed  # noqa: F401

        cases.append(({"client": object()}, "client must be a distributed.Client"))
    except ImportError:  # without dask any client= is refused for that reason, as tested below
        pass
    if needs_parquet.args[0]:  # pyarrow unusable: out= is refused for that reason
        return cases
    return cases + [
        ({"out": blocker}, "is a file"),
        ({"out": foreign}, "did not write"),
        ({"out": blocker / "sub"}, "cannot write"),
    ]


def test_client_without_dask_names_the_extra(engine_small, data, monkeypatch):
    monkeypatch.setitem(sys.modules, "distributed", None)  # import distributed fails
    monkeypatch.setattr(engine, "run_task", lambda *a, **k: pytest.fail("work started"))
    _, run = public_and_engine("pairs", data, permutations=25)
    with pytest.raises(ImportError, match=r'pip install "corrshift\[dask\]"'):
        run(progress=False, client=object())


def test_parquet_without_pyarrow_names_the_extra(engine_small, data, monkeypatch, tmp_path):
    monkeypatch.setitem(sys.modules, "pyarrow", None)  # as when pyarrow is missing or cannot load
    monkeypatch.setattr(engine, "run_task", lambda *a, **k: pytest.fail("work started"))
    _, run = public_and_engine("pairs", data, permutations=25)
    with pytest.raises(ImportError, match=r'needs pyarrow: pip install "corrshift\[parquet\]"'):
        run(progress=False, out=tmp_path / "out.parquet")
    assert not (tmp_path / "out.parquet").exists()


def test_bad_input_refused_before_any_work(engine_small, data, tmp_path, monkeypatch):
    monkeypatch.setattr(engine, "run_task", lambda *a, **k: pytest.fail("work started"))
    _, run = public_and_engine("pairs", data, permutations=25)
    for options, message in refuse(tmp_path):
        with pytest.raises(corrshift.InputError, match=message):
            run(progress=False, **options)
    assert (tmp_path / "foreign" / "notes.txt").read_text() == "mine"


@needs_parquet
def test_other_inputs_refused_unless_overwrite(engine_small, data, tmp_path):
    out = tmp_path / "out"
    _, run = public_and_engine("pairs", data, permutations=25)
    run(progress=False, out=out, max_q=0.5)
    _, other = public_and_engine("pairs", data, permutations=24)
    with pytest.raises(corrshift.InputError, match="other inputs or options"):
        other(progress=False, out=out, max_q=0.5)
    with pytest.raises(corrshift.InputError, match="other inputs or options"):
        run(progress=False, out=out, max_q=0.4)
    expected = in_memory("pairs", data, permutations=24)
    assert_same_table(expected, other(progress=False, out=out, overwrite=True))


def test_what_does_not_fit_is_refused(engine_small, data, monkeypatch):
    monkeypatch.setattr(engine, "_available_memory", lambda: 10000)
    real = engine.run_task
    monkeypatch.setattr(engine, "run_task", lambda *a, **k: pytest.fail("work started"))
    _, run = public_and_engine("pairs", data, permutations=25)
    with pytest.raises(corrshift.InputError, match=r"need about .* GB in memory.*out="):
        run(progress=False)
    monkeypatch.setattr(engine, "run_task", real)
    run(progress=False, max_q=0.01)  # a filtered table fits (tests/test_spilled_counts.py)


@pytest.mark.parametrize("nrows", [2, 3, 1001, 60000])
def test_bands_cover_every_pair_once(nrows):
    problem = engine.Problem(
        "all",
        np.zeros((nrows, 8), np.float32),
        np.arange(4, dtype=np.int32),
        np.arange(4, 8, dtype=np.int32),
        np.zeros(nrows, object),
        "pearson",
        "two-sided",
        99,
    )
    tiles = engine.plan_tiles(problem)
    assert tiles[0][0] == 0 and tiles[-1][1] == nrows - 1
    assert all(a < b and b == c for (a, b), (c, _) in zip(tiles, tiles[1:] + [(tiles[-1][1], 0)]))
    offsets = [engine.condensed_offset(a, nrows) for a, _ in tiles] + [nrows * (nrows - 1) // 2]
    assert [engine.tile_items(problem, t) for t in tiles] == list(np.diff(offsets))
    for ranges in engine.plan_passes(problem, tiles, slots=8):
        assert ranges[0][0] == 0 and ranges[-1][1] == 100
        assert all(b == c for (_, b), (c, _) in zip(ranges, ranges[1:]))


@pytest.mark.parametrize("nrows", [1, 2, 3, 9])
def test_band_pairs_follow_condensed_order(nrows):
    for a0 in range(nrows):
        for a1 in range(a0, nrows + 1):  # a band may end with the last row, which has no partner
            expected = [(i, j) for i in range(a0, a1) for j in range(i + 1, nrows)]
            first, second = engine.band_pairs(a0, a1, nrows)
            assert first.dtype == second.dtype == np.int32
            assert list(zip(first.tolist(), second.tolist())) == expected
            positions = np.arange(len(expected))[::2]
            some = engine.band_pairs(a0, a1, nrows, positions)
            assert list(zip(*(a.tolist() for a in some))) == expected[::2]


@pytest.mark.parametrize("limit", [0.05, 0.1, 1 / 3, 0.0, 1e-300, 1.0 + 2.0**-40, np.inf])
def test_float32_filter_is_the_float64_comparison(limit):
    near = np.float32(limit) if np.isfinite(limit) else np.float32(1)
    p = np.concatenate(
        [np.nextafter(near, np.float32(k * np.inf), dtype=np.float32) * np.ones(1, np.float32) for k in (-1, 1)]
        + [[near, 0, 1, np.nan], np.linspace(0, 1, 101, dtype=np.float32)]
    )
    p = p.astype(np.float32)
    assert np.array_equal(engine.at_most(p, limit), p.astype(np.float64) <= limit)


@needs_parquet
@pytest.mark.slow
def test_more_rows_than_one_call_can_number(tmp_path):
    blocks = pytest.importorskip("corrshift._blocks")  # noqa: F841
    rng = np.random.default_rng(1)
    n = 46400
    x = rng.normal(size=(n, 16)).astype(np.float32)
    x[1, :8] = x[0, :8]  # correlated in group 1,
    x[1, 8:] = -x[0, 8:]  # anticorrelated in group 2
    result = corrshift.ztest(
        x,
        list(range(8)),
        list(range(8, 16)),
        permutations=0,
        max_q=1e-3,
        progress=False,
        out=tmp_path / "many",
        significance="normal",  # the robust stage keeps every pair's p-value: 37 GB here
    )
    assert ("0", "1") in set(zip(result.row1, result.row2))


def test_progress_goes_to_stderr_only(data, capfd):
    pytest.importorskip("corrshift._blocks")  # the public pipelines draw their own line on fd 1
    corrshift.ztest(data, G1, G2, permutations=25)
    out, err = capfd.readouterr()
    assert out == "" and "pair-passes" in err
    corrshift.ztest(data, G1, G2, permutations=25, progress=False)
    assert capfd.readouterr() == ("", "")


@pytest.mark.parametrize(
    "values",
    [
        [0.5, 0.25, 0.5, np.nan, 0.0, 1.0, 0.25, np.nan],
        [np.nan, np.nan],
        [],
        [-0.0, 0.0, -2.0, 0.5, np.nan],  # signed values: the sorting shortcut does not apply
    ],
    ids=["ties-nan-zero", "all-nan", "empty", "signed"],
)
def test_distinct_values_and_codes(values):
    values = np.asarray(values, dtype=np.float32)
    distinct, counts, code = engine._distinct(values)
    valid = ~np.isnan(values)
    expected, expected_counts = np.unique(values[valid], return_counts=True)
    assert np.array_equal(distinct, expected) and np.array_equal(counts, expected_counts)
    assert np.all(code[~valid] == -1)
    assert np.array_equal(distinct[code[valid]], values[valid])


@needs_parquet
@pytest.mark.parametrize("blocks", ["corrshift._blocks", "blocks_reference"], ids=["native", "stand-in"])
def test_listed_pairs_in_pass_ranges(engine_small, data, monkeypatch, tmp_path, blocks):
    monkeypatch.setattr(engine, "BLOCKS", blocks)
    monkeypatch.setattr(engine, "TASK_SECONDS", 1e-9)
    calls = counted_tasks(monkeypatch)
    expected, run = public_and_engine("listed", data, permutations=25)
    assert_same_table(expected, run(progress=False, out=tmp_path / "out"))
    assert any(f > 0 for f, _ in calls)


KILLED_CLIENT = """
import sys, numpy as np, corrshift
from corrshift import engine
engine.TILE_PAIRS, engine.MIN_TILE_PAIRS = 300, 100
if len(sys.argv) > 2:
    sys.path.insert(0, sys.argv[2])
    engine.BLOCKS = "blocks_reference"
    import os; os.environ["CORRSHIFT_TEST_BLOCK_DELAY"] = "0.2"
x = np.load(sys.argv[1] + ".npy")
corrshift.ztest(x, list(range(8)), list(range(8, 17)), permutations=25, out=sys.argv[1], max_q=0.5,
                progress=False, significance="normal")  # the main tasks: the stand-in has no robust passes
"""


def whole_then_slow(data, tmp_path, name):
    """Run the client script into tmp_path/whole, then start it with slow tasks (the
    stand-in with a delay) into tmp_path/`name`; returns that process."""
    import subprocess
    import sys

    np.save(str(tmp_path / "whole.npy"), data)
    np.save(str(tmp_path / (name + ".npy")), data)
    here = os.path.dirname(os.path.abspath(__file__))
    subprocess.run(
        [sys.executable, "-c", KILLED_CLIENT, str(tmp_path / "whole")], check=True, stdout=subprocess.DEVNULL
    )
    return subprocess.Popen(
        [sys.executable, "-c", KILLED_CLIENT, str(tmp_path / name), here], stdout=subprocess.DEVNULL
    )


@needs_parquet
def test_killed_client_resumes_to_the_same_files(data, tmp_path):
    import subprocess
    import sys
    import time

    proc = whole_then_slow(data, tmp_path, "killed")  # killed once a few tiles are done
    manifest = tmp_path / "killed" / "_corrshift.json"
    deadline = time.time() + 60
    while time.time() < deadline:
        if manifest.exists() and len(json.loads(manifest.read_text() or "{}").get("tiles_done", [])) >= 2:
            break
        time.sleep(0.05)
    proc.kill()
    proc.wait()
    done = json.loads(manifest.read_text())
    assert not done["complete"] and done["tiles_done"]
    subprocess.run(
        [sys.executable, "-c", KILLED_CLIENT, str(tmp_path / "killed")], check=True, stdout=subprocess.DEVNULL
    )
    assert files_of(tmp_path / "killed") == files_of(tmp_path / "whole")


def test_table_large_enough_for_side_by_side_columns():
    # 79,800 pairs: above the size from which the engine computes p1 and p2 on two threads.
    x = np.random.default_rng(5).normal(size=(400, 17)).astype(np.float32)
    expected, run = public_and_engine("pairs", x, permutations=3)
    assert_same_table(expected, run(progress=False, n_jobs=2))


def lock_of(host, pid, started=None):
    return json.dumps({"host": host, "pid": pid, "started": started, "since": "earlier"})


@needs_parquet
@pytest.mark.parametrize("holder", ["live", "other-host", "unreadable", "writing-its-manifest"])
def test_a_folder_in_use_by_another_run_is_refused(engine_small, data, tmp_path, monkeypatch, holder):
    import socket
    import subprocess
    import sys

    _, run = public_and_engine("pairs", data, permutations=25)
    out = tmp_path / "out"
    out.mkdir()
    other = subprocess.Popen([sys.executable, "-c", "import time; time.sleep(60)"])
    try:
        text = {
            "live": lock_of(socket.gethostname(), other.pid, engine._process_start(other.pid)),
            "other-host": lock_of("elsewhere", os.getpid()),
            "unreadable": "{",
        }.get(holder, lock_of(socket.gethostname(), other.pid, engine._process_start(other.pid)))
        (out / "_corrshift.lock").write_text(text)
        held = ["_corrshift.lock"]
        if holder == "writing-its-manifest":  # caught between taking the lock and renaming
            held.append("_corrshift.json.{}-0123abcd.tmp".format(other.pid))
            (out / held[-1]).write_text("{")
        monkeypatch.setattr(engine, "run_task", lambda *a, **k: pytest.fail("work started"))
        with pytest.raises(corrshift.InputError, match="in use by another run"):
            run(progress=False, out=out)
        assert sorted(os.listdir(out)) == sorted(held) and (out / "_corrshift.lock").read_text() == text
    finally:
        other.kill()
        other.wait()


@needs_parquet
@pytest.mark.parametrize("holder", ["gone", "number-reused"])
def test_the_lock_of_a_run_that_is_gone_is_taken_over(engine_small, data, tmp_path, holder):
    import socket
    import subprocess
    import sys

    _, run = public_and_engine("pairs", data, permutations=25)
    run(progress=False, out=tmp_path / "whole", max_q=0.5)
    out = tmp_path / "out"
    out.mkdir()
    if holder == "gone":
        gone = subprocess.Popen([sys.executable, "-c", "pass"])
        gone.wait()
        text = lock_of(socket.gethostname(), gone.pid, "1")
    else:  # a live process, but not the one that started at that time
        text = lock_of(socket.gethostname(), os.getpid(), "not-its-start")
    (out / "_corrshift.lock").write_text(text)
    run(progress=False, out=out, max_q=0.5)
    assert files_of(out) == files_of(tmp_path / "whole")  # the lock is gone with the run


@needs_parquet
def test_a_second_run_into_the_same_folder_is_refused_while_the_first_writes(data, tmp_path):
    import time

    first = whole_then_slow(data, tmp_path, "busy")
    try:
        manifest = tmp_path / "busy" / "_corrshift.json"
        deadline = time.time() + 60
        while not manifest.exists() and time.time() < deadline:
            time.sleep(0.05)
        with pytest.raises(corrshift.InputError, match="in use by another run"):
            corrshift.ztest(
                data, G1, G2, permutations=25, out=tmp_path / "busy", max_q=0.5, progress=False, significance="normal"
            )
        assert first.wait(120) == 0
    finally:
        first.kill()
        first.wait()
    assert files_of(tmp_path / "busy") == files_of(tmp_path / "whole")
