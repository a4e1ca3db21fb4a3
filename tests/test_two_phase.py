"""Filtered z-tests run the permutation passes only for the pairs they report: the same
table as a run of every pass over every pair, except perm_q, which such a run does not
compute (and says so)."""

import json
import os

import numpy as np
import pytest

import corrshift
from corrshift import engine
from conftest import needs_parquet
from test_engine import G1, G2, PAIRS, counted_tasks, files_of

FILTERS = [{"max_q": 0.3}, {"max_p": 0.05}, {"top": 7}, {"max_p": 0.4, "max_q": 0.5, "top": 30}]
FILTER_IDS = ["max_q", "max_p", "top", "all-three"]


@pytest.fixture(scope="module")
def data():
    rng = np.random.default_rng(5)
    x = rng.normal(size=(45, 17)).astype(np.float32)
    x[:10, :8] += 2 * rng.normal(size=8).astype(np.float32)  # rows 0-9 correlated in group 1 only
    x[3, 8:] = np.round(x[3, 8:])  # ties for Spearman
    return x


def ztest(x, listed, **options):
    # The filters on the normal approximation (the robust ones: tests/test_robust.py).
    options.setdefault("significance", "normal")
    return corrshift.ztest(x, G1, G2, PAIRS if listed else None, progress=False, **options)


def assert_same_but_perm_q(full, two_phase):
    """Every column bit for bit but perm_q, which the two-phase table leaves NaN."""
    assert full.columns == two_phase.columns and len(full) == len(two_phase) and len(full)
    for name in full.columns:
        a, b = full.column(name), two_phase.column(name)
        if name == "perm_q":
            assert np.isnan(b).all()
        elif a.dtype.kind == "f":
            assert a.dtype == b.dtype and np.array_equal(a.view(np.uint8), b.view(np.uint8)), name
        else:
            assert np.array_equal(a, b), name
    assert two_phase.perm_q_note and full.perm_q_note is None


@pytest.mark.parametrize("filters", FILTERS, ids=FILTER_IDS)
@pytest.mark.parametrize("method", ["pearson", "spearman"])
@pytest.mark.parametrize("listed", [False, True], ids=["all-pairs", "listed"])
def test_same_perm_p_as_every_pass(engine_small, data, filters, method, listed):
    options = dict(filters, method=method, permutations=40)
    assert_same_but_perm_q(ztest(data, listed, perm_q=True, **options), ztest(data, listed, **options))


@pytest.mark.parametrize("tile_pairs,n_jobs", [(150, 1), (1000, 2), (1 << 19, 2)])
def test_tiles_and_threads_do_not_matter(engine_small, data, monkeypatch, tile_pairs, n_jobs):
    options = dict(max_q=0.4, permutations=30, method="spearman")
    full = ztest(data, False, perm_q=True, **options)
    monkeypatch.setattr(engine, "TILE_PAIRS", tile_pairs)
    assert_same_but_perm_q(full, ztest(data, False, n_jobs=n_jobs, **options))


def test_permutation_passes_only_for_reported_pairs(engine_small, data, monkeypatch):
    real, jobs = engine.run_task, []
    monkeypatch.setattr(engine, "run_task", lambda d, s, job, *a, **k: jobs.append(job) or real(d, s, job, *a, **k))
    result = ztest(data, False, max_q=0.3, permutations=30, significance="normal")  # its tasks alone
    observed = [j for j in jobs if j.passes == (0, 1)]
    permuted = [j for j in jobs if j.passes != (0, 1)]
    assert len(observed) > 1
    assert all(j.passes == (1, 31) for j in permuted)
    assert sum(j.rows2.size for j in permuted) == len(result) > 0


def test_no_reported_pair_runs_no_permutation_pass(engine_small, data, monkeypatch):
    passes = counted_tasks(monkeypatch)
    result = ztest(data, False, max_q=0.0, permutations=30, significance="normal")
    assert len(result) == 0 and set(passes) == {(0, 1)}


def test_tables_say_perm_q_was_not_computed(engine_small, data, tmp_path):
    result = ztest(data, False, top=5, permutations=20)
    pytest.importorskip("pandas")
    assert "perm_q=True" in result.to_pandas().attrs["perm_q"]
    result.to_tsv(tmp_path / "t.tsv")
    comments = [line for line in (tmp_path / "t.tsv").read_text().splitlines() if line.startswith("#")]
    assert any(line.startswith("# perm_q: not computed") for line in comments)
    assert "perm_q" not in ztest(data, False, top=5, permutations=20, perm_q=True).metadata()
    assert "perm_q" not in ztest(data, False, top=5, permutations=0).metadata()


@needs_parquet
def test_files_and_pass_ranges(engine_small, data, monkeypatch, tmp_path):
    # Pass ranges cut short (as a run that writes files does to resume from) add up.
    monkeypatch.setattr(engine, "TASK_SECONDS", 1e-9)
    options = dict(max_p=0.2, permutations=25, significance="normal")  # the same columns with out=
    full = ztest(data, True, perm_q=True, **options)
    passes = counted_tasks(monkeypatch)
    written = ztest(data, True, out=tmp_path / "out", **options)
    assert_same_but_perm_q(full, written)
    assert len([p for p in passes if p[0] >= 1]) > 1
    pq = pytest.importorskip("pyarrow.parquet")
    table = pq.read_table(str(tmp_path / "out"))
    assert np.array_equal(table.column("perm_p").to_numpy(), full.perm_p)
    meta = json.loads(pq.read_schema(str(tmp_path / "out" / "part-00000.parquet")).metadata[b"corrshift"])
    assert "perm_q=True" in meta["perm_q"]


@needs_parquet
@pytest.mark.parametrize("phase", [1, 2])
def test_resume_in_either_phase(engine_small, data, tmp_path, monkeypatch, phase):
    monkeypatch.setattr(engine, "TASK_SECONDS", 1e-9)
    options = dict(max_q=0.4, permutations=25, significance="normal")  # the two phases' tasks alone
    real = engine.run_task
    whole = counted_tasks(monkeypatch)
    ztest(data, False, out=tmp_path / "whole", **options)
    monkeypatch.setattr(engine, "run_task", real)
    observed_tiles = len(
        engine.plan_tiles(
            engine.Problem(
                "all",
                data,
                np.arange(8, dtype=np.int32),
                np.arange(8, 17, dtype=np.int32),
                np.arange(45).astype(str),
                "pearson",
                "two-sided",
                0,
            )
        )
    )
    stop_after = 2 if phase == 1 else observed_tiles + 2
    calls = []

    def interrupted(*args, **kwargs):
        if len(calls) == stop_after:
            raise KeyboardInterrupt
        calls.append(args[2].passes)
        return real(*args, **kwargs)

    monkeypatch.setattr(engine, "run_task", interrupted)
    with pytest.raises(KeyboardInterrupt):
        ztest(data, False, out=tmp_path / "resumed", **options)
    manifest = json.loads((tmp_path / "resumed" / "_corrshift.json").read_text())
    assert manifest["complete"] is False and not any(n.startswith("part-") for n in os.listdir(tmp_path / "resumed"))
    assert len(manifest["tiles_done"]) == min(stop_after, observed_tiles)
    monkeypatch.setattr(engine, "run_task", real)
    again = counted_tasks(monkeypatch)
    ztest(data, False, out=tmp_path / "resumed", **options)
    assert len([p for p in again if p == (0, 1)]) == observed_tiles - min(stop_after, observed_tiles)
    assert len(again) == len(whole) - stop_after
    assert files_of(tmp_path / "resumed") == files_of(tmp_path / "whole")


def test_perm_q_must_be_a_bool(data):
    with pytest.raises(corrshift.InputError, match="perm_q"):
        ztest(data, False, max_q=0.1, perm_q="yes")
