"""The engine on a real local Dask cluster of two worker processes: the same files as in
this process, also when a worker is killed in the middle of a run."""

import os
import signal

import numpy as np
import pytest

import corrshift
from corrshift import engine
from conftest import assert_same_table, needs_parquet
from test_engine import G1, G2, in_memory

distributed = pytest.importorskip("distributed")


@pytest.fixture(scope="module")
def data():
    rng = np.random.default_rng(11)
    x = rng.normal(size=(50, 17)).astype(np.float32)
    x[:10, 8:] += 2 * rng.normal(size=9).astype(np.float32)
    return x


@pytest.fixture(scope="module")
def client():
    with engine.local_cluster(2) as c:
        yield c


def files_of(folder):
    return {name: (folder / name).read_bytes() for name in sorted(os.listdir(folder))}


CASES = {
    "pairs-pearson": lambda x, **e: corrshift.ztest(x, G1, G2, permutations=20, **e),
    "pairs-spearman-filtered": lambda x, **e: corrshift.ztest(
        x, G1, G2, permutations=20, method="spearman", max_q=0.3, **e
    ),
    "rows-spearman": lambda x, **e: corrshift.row_scores(x, G1, G2, permutations=20, method="spearman", **e),
    "sets": lambda x, **e: corrshift.set_scores(
        x, {2: [1, 5, 9], 30: list(range(31, 45))}, G1, G2, permutations=20, **e
    ),
    "modules-spearman": lambda x, **e: corrshift.module_scores(
        x, [range(0, 20), range(15, 40), [3, 41, 47]], G1, G2, permutations=20, method="spearman", **e
    ),
}


@needs_parquet
@pytest.mark.parametrize("case", list(CASES))
def test_cluster_writes_the_same_files(engine_small, data, client, tmp_path, case):
    here = CASES[case](data, progress=False, out=tmp_path / "here")
    there = CASES[case](data, progress=False, out=tmp_path / "there", client=client)
    assert_same_table(here, there)
    assert files_of(tmp_path / "there") == files_of(tmp_path / "here")


@pytest.mark.parametrize("split", [False, True], ids=["whole-tiles", "pass-ranges"])
def test_cluster_matches_one_in_memory_call(engine_small, data, client, monkeypatch, split):
    if split:  # tiles cut into pass ranges, whose counts the client adds up
        monkeypatch.setattr(engine, "TASK_SECONDS", 1e-9)
    expected = in_memory("pairs", data, permutations=20, method="spearman")
    assert_same_table(
        expected, corrshift.ztest(data, G1, G2, permutations=20, method="spearman", progress=False, client=client)
    )


def test_killed_worker_gives_the_same_result(engine_small, data, monkeypatch):
    expected = CASES["pairs-pearson"](data, progress=False)
    # Slow tasks, so that the run is still going when a worker dies.
    monkeypatch.setenv("CORRSHIFT_TEST_BLOCK_DELAY", "0.4")
    with engine.local_cluster(2) as c:
        pids = c.run(os.getpid)
        killed = []

        def kill_one(done):
            if not killed:
                os.kill(next(iter(pids.values())), signal.SIGKILL)
                killed.append(done)

        result = engine.run(engine_problem_of(data), progress=False, client=c, _after_result=kill_one)
    assert killed
    assert_same_table(expected, result)


def engine_problem_of(x):
    """The problem corrshift.ztest(x, G1, G2, permutations=20) builds."""
    from corrshift import _inputs

    matrix = _inputs.as_matrix(x)
    grp = _inputs.groups(matrix, G1, G2, False)
    first, second = _inputs.local_groups(grp.first.size, grp.second.size)
    return engine.Problem(
        "all",
        _inputs.screened_submatrix(matrix, grp).data,
        first,
        second,
        matrix.row_names,
        "pearson",
        "two-sided",
        20,
        labels=(grp.label1, grp.label2),
    )


def test_connect_refuses_unreachable_scheduler_and_bad_counts():
    with pytest.raises(corrshift.InputError, match="cannot reach the Dask scheduler"):
        with engine.connect(scheduler="tcp://127.0.0.1:1", timeout="1s"):
            pass
    for options, message in (
        ({"workers": 0}, "positive whole number"),
        ({"workers": 2, "scheduler": "tcp://127.0.0.1:1"}, "not both"),
    ):
        with pytest.raises(corrshift.InputError, match=message):
            with engine.connect(**options):
                pass
    with engine.connect() as client:
        assert client is None


@pytest.mark.filterwarnings("ignore:.* left out .*:UserWarning")
def test_levels_of_a_single_cell_run_go_to_the_cluster(cells, client):
    options = dict(within="cell_type", use_raw=False, permutations=20, progress=False)
    corrshift.tl.pairs(cells, "condition", ("stim", "ctrl"), key_added="here", **options)
    corrshift.tl.pairs(cells, "condition", ("stim", "ctrl"), key_added="there", client=client, **options)
    here, there = corrshift.get.pairs_df(cells, key="here"), corrshift.get.pairs_df(cells, key="there")
    for name in here.columns:
        assert np.array_equal(here[name].to_numpy(), there[name].to_numpy()), name


def test_cluster_two_phase_perm_p_is_the_full_runs(engine_small, data, client, monkeypatch):
    from test_two_phase import assert_same_but_perm_q

    monkeypatch.setattr(engine, "TASK_SECONDS", 1e-9)  # several pass ranges per tile in both phases
    options = dict(permutations=20, method="spearman", max_p=0.1, progress=False, significance="normal")
    full = corrshift.ztest(data, G1, G2, perm_q=True, **options)
    assert_same_but_perm_q(full, corrshift.ztest(data, G1, G2, client=client, **options))
    # The pairs that the robust p-values choose (the default) run there as here.
    options["significance"] = "robust"
    here = corrshift.ztest(data, G1, G2, **options)
    assert len(here) and here.q_value_note
    assert_same_table(here, corrshift.ztest(data, G1, G2, client=client, **options))
