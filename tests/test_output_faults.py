"""Output folders under faults: damaged finished files and work files are found and made
again, a stopped publish never leaves a partial dataset, leftovers are cleaned up, a lost
cluster ends the run with one clear error, and a finished output is read back without
write access."""

import json
import os
import socket
import subprocess
import sys
import time

import numpy as np
import pytest

import corrshift
from corrshift import cli, engine
from corrshift.engine import output
from conftest import assert_same_table, needs_parquet, stop_after_tasks
from test_engine import G1, G2, engine_problem, files_of, lock_of, public_and_engine

pytestmark = needs_parquet

RUNS = {
    "pairs": dict(kind="pairs", permutations=25),
    "pairs-top": dict(kind="pairs", permutations=25, top=40, perm_q=True, significance="normal"),
    "rows": dict(kind="rows", permutations=25),
}
#: A filtered pair run with permutations, in two phases (its parts cut by the reported pairs).
TWO_PHASE = dict(kind="pairs", permutations=25, top=40, significance="normal")
#: A filtered run whose pairs the robust p-values choose: its parts are cut by them too.
SELECTED = dict(kind="pairs", permutations=25, top=40)


@pytest.fixture(scope="module")
def data():
    rng = np.random.default_rng(23)
    x = rng.normal(size=(60, 17)).astype(np.float32)
    x[:12, :8] += 2 * rng.normal(size=8).astype(np.float32)
    return x


def start(data, case, tmp_path):
    """The run of `case` (a name in RUNS, or options), and the files of its finished output
    in tmp_path/whole."""
    options = dict(RUNS[case] if isinstance(case, str) else case)
    kind = options.pop("kind")
    filtering = {k: options.pop(k) for k in ("top", "perm_q", "significance") if k in options}
    _, run_of = public_and_engine(kind, data, **options)

    def run(**extra):
        return run_of(progress=False, **filtering, **extra)

    run(out=tmp_path / "whole")
    return run, files_of(tmp_path / "whole")


def parts(folder):
    return sorted(n for n in os.listdir(folder) if n.startswith("part-"))


def counted(monkeypatch):
    real, calls = engine.run_task, []
    monkeypatch.setattr(engine, "run_task", lambda *a, **k: calls.append(a[2].index) or real(*a, **k))
    return calls


def damage(out, how):
    names = parts(out)
    first, last = out / names[0], out / names[-1]
    if how == "truncate":
        first.write_bytes(first.read_bytes()[:-50])
    elif how == "flip":
        raw = bytearray(first.read_bytes())
        raw[len(raw) // 2] ^= 0x10
        first.write_bytes(bytes(raw))
    elif how == "delete":
        first.unlink()
    elif how == "swap":
        a, b = first.read_bytes(), last.read_bytes()
        first.write_bytes(b)
        last.write_bytes(a)
    elif how == "extra":
        (out / "part-09999.parquet").write_bytes(first.read_bytes())
    return names[0]


@pytest.mark.parametrize("case", list(RUNS))
@pytest.mark.parametrize("how", ["truncate", "flip", "delete", "swap", "extra"])
def test_damaged_part_is_named_and_made_again(engine_small, data, tmp_path, monkeypatch, capsys, case, how):
    run, whole = start(data, case, tmp_path)
    out = tmp_path / "out"
    expected = run(out=out)
    name = damage(out, how)
    capsys.readouterr()
    calls = counted(monkeypatch)
    again = run(out=out)
    err = capsys.readouterr().err
    assert (name if how != "extra" else "part-09999.parquet") in err
    assert files_of(out) == whole
    assert_same_table(expected, again)
    # Only the tiles of damaged parts are computed again (none for scores: their parts are
    # made from the kept scores and counts).
    damaged = {"swap": 2, "extra": 0}.get(how, 1)
    assert len(set(calls)) == (damaged if case.startswith("pairs") else 0)
    calls.clear()
    run(out=out)
    assert not calls and not capsys.readouterr().err


@pytest.mark.parametrize("case", [TWO_PHASE, SELECTED], ids=["two-phase", "robust-selected"])
def test_damaged_filtered_output_is_computed_again_in_full(engine_small, data, tmp_path, monkeypatch, capsys, case):
    run, whole = start(data, case, tmp_path)
    out = tmp_path / "out"
    expected = run(out=out)
    name = damage(out, "flip")
    capsys.readouterr()
    calls = counted(monkeypatch)
    again = run(out=out)
    err = capsys.readouterr().err
    assert name in err and "computed again in full" in err
    assert calls  # both phases ran again: the earlier work went with the finished output
    assert files_of(out) == whole
    assert_same_table(expected, again)
    assert again.perm_q_note
    calls.clear()
    run(out=out)
    assert not calls and not capsys.readouterr().err


@pytest.mark.parametrize("name", ["_kept.npz", "_finish.npz", "_corrshift.json"])
def test_damaged_table_or_manifest_makes_the_whole_output_again(engine_small, data, tmp_path, capsys, name):
    run, whole = start(data, "pairs", tmp_path)
    out = tmp_path / "out"
    expected = run(out=out)
    path = out / name
    if name == "_corrshift.json":  # checksums lost: nothing can be trusted
        manifest = json.loads(path.read_text())
        del manifest["files"]
        path.write_text(json.dumps(manifest))
    else:
        path.write_bytes(path.read_bytes()[:-10])
    assert_same_table(expected, run(out=out))
    assert name in capsys.readouterr().err
    assert files_of(out) == whole


def test_a_part_damaged_on_a_read_only_folder_is_an_error_naming_it(engine_small, data, tmp_path, monkeypatch):
    run, _ = start(data, "pairs", tmp_path)
    out = tmp_path / "out"
    run(out=out)
    damage(out, "flip")
    refused = corrshift.InputError("out: cannot write to {!r}: Read-only file system".format(str(out)))
    monkeypatch.setattr(output.OutputLock, "__enter__", lambda self: (_ for _ in ()).throw(refused))
    with pytest.raises(corrshift.InputError, match="part-00000.parquet .* differs.*Read-only.*run the same again"):
        run(out=out)


class Stop(BaseException):
    """A kill at a chosen point."""


def test_stop_while_parts_are_written_shows_readers_no_parts(engine_small, data, tmp_path, monkeypatch):
    pd = pytest.importorskip("pandas")
    run, whole = start(data, "pairs", tmp_path)
    from corrshift import _parquet

    real, written = _parquet.write, []

    def write_two(*args, **kwargs):
        if len(written) == 2:
            raise Stop
        written.append(1)
        real(*args, **kwargs)

    monkeypatch.setattr(_parquet, "write", write_two)
    out = tmp_path / "out"
    with pytest.raises(Stop):
        run(out=out)
    assert not parts(out)
    assert len(pd.read_parquet(out)) == 0
    monkeypatch.setattr(_parquet, "write", real)
    calls = counted(monkeypatch)
    run(out=out)
    assert not calls and files_of(out) == whole
    assert not os.path.exists(output.beside(str(out), "new"))


@pytest.mark.parametrize("exchange", [True, False], ids=["one-swap", "two-renames"])
def test_stop_while_moving_into_place_never_shows_a_partial_dataset(
    engine_small, data, tmp_path, monkeypatch, exchange
):
    pd = pytest.importorskip("pandas")
    ds = pytest.importorskip("pyarrow.dataset")
    run, whole = start(data, "pairs", tmp_path)
    out = tmp_path / "out"
    real_exchange, real_rename = output._exchange, os.rename
    if exchange:
        monkeypatch.setattr(output, "_exchange", lambda a, b: (_ for _ in ()).throw(Stop))
    else:  # the fallback: the output moved aside, then the new one into its place
        monkeypatch.setattr(output, "_exchange", lambda a, b: False)

        def second_fails(a, b):
            if os.path.basename(a).endswith(".corrshift-new"):
                raise Stop
            real_rename(a, b)

        monkeypatch.setattr(os, "rename", second_fails)
    with pytest.raises(Stop):
        run(out=out)
    monkeypatch.setattr(output, "_exchange", real_exchange)
    monkeypatch.setattr(os, "rename", real_rename)
    dead_lock(output.beside(str(out), "new"))  # the stopped run is gone
    if out.exists():
        assert not parts(out) and len(pd.read_parquet(out)) == 0
        assert ds.dataset(str(out), format="parquet").count_rows() == 0
    else:
        with pytest.raises((OSError, ValueError)):
            pd.read_parquet(out)
    calls = counted(monkeypatch)
    run(out=out)
    assert files_of(out) == whole and not calls
    assert not os.path.exists(output.beside(str(out), "new")) and not os.path.exists(output.beside(str(out), "old"))
    dd = pytest.importorskip("dask.dataframe")
    assert len(dd.read_parquet(str(out)).compute()) == len(pd.read_parquet(tmp_path / "whole"))


def dead_lock(folder):
    """Write the lock of a run that is gone into `folder`, if it holds one."""
    lock = os.path.join(folder, "_corrshift.lock")
    if os.path.exists(lock):
        gone = subprocess.Popen([sys.executable, "-c", "pass"])
        gone.wait()
        with open(lock, "w") as fh:
            fh.write(lock_of(socket.gethostname(), gone.pid, "1"))


def test_leftovers_of_a_run_stopped_after_finishing_are_cleaned_up(engine_small, data, tmp_path, monkeypatch):
    run, whole = start(data, "pairs", tmp_path)
    out = tmp_path / "out"
    real = output._remove

    def stop_before_removing_the_work(path):
        if os.path.isdir(os.path.join(path, "_work")):
            raise Stop
        real(path)

    monkeypatch.setattr(output, "_remove", stop_before_removing_the_work)
    with pytest.raises(Stop):
        run(out=out)
    monkeypatch.setattr(output, "_remove", real)
    left = [p for p in (output.beside(str(out), "new"), output.beside(str(out), "old")) if os.path.isdir(p)]
    assert left
    (out / "_corrshift.lock").write_text("")
    dead_lock(str(out))
    (out / "_work").mkdir()
    (out / "_work" / "tile-000000.npz").write_bytes(b"left over")
    run(out=out)
    assert files_of(out) == whole
    assert not any(os.path.exists(p) for p in left)


def interrupted(monkeypatch, run, out, after):
    real = stop_after_tasks(monkeypatch, engine, after)
    with pytest.raises(KeyboardInterrupt):
        run(out=out)
    monkeypatch.setattr(engine, "run_task", real)


@pytest.mark.parametrize("what", ["tile", "task"])
@pytest.mark.parametrize("how", ["truncate", "flip", "rewrite"])
def test_damaged_work_file_is_computed_again(engine_small, data, tmp_path, monkeypatch, capsys, what, how):
    monkeypatch.setattr(engine, "TASK_SECONDS", 1e-9)  # tiles of several pass ranges: task files
    # The main tasks alone, so that the 40th task falls among them.
    run, whole = start(data, dict(RUNS["pairs"], significance="normal"), tmp_path)
    out = tmp_path / "out"
    interrupted(monkeypatch, run, out, 40)
    work = out / "_work"
    victim = work / sorted(n for n in os.listdir(work) if n.startswith(what + "-"))[0]
    raw = victim.read_bytes()
    if how == "truncate":
        victim.write_bytes(raw[: len(raw) // 2])
    elif how == "flip":
        victim.write_bytes(raw[:100] + bytes([raw[100] ^ 1]) + raw[101:])
    else:  # a valid archive, other than the one written
        with np.load(victim) as archive:
            arrays = {k: archive[k] for k in archive.files}
        np.savez(str(victim), extra=np.zeros(1), **arrays)
    capsys.readouterr()
    run(out=out)
    err = capsys.readouterr().err
    assert victim.name in err and len(err.strip().splitlines()) == 1
    assert files_of(out) == whole


@pytest.fixture
def closing_cluster():
    distributed = pytest.importorskip("distributed")
    cluster = distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True, dashboard_address=":0")
    client = distributed.Client(cluster)
    yield cluster, client
    client.close()
    cluster.close()


@pytest.mark.parametrize("lose", ["scheduler", "workers"])
def test_losing_the_cluster_is_one_error_and_the_run_resumes(engine_small, data, tmp_path, closing_cluster, lose):
    import signal

    cluster, client = closing_cluster
    problem = engine_problem(data)
    engine.run(problem, progress=False, out=tmp_path / "whole")
    pids = client.run(os.getpid)

    def lose_it(done):
        if done == 1:
            if lose == "scheduler":
                cluster.close()
            else:
                for pid in pids.values():
                    os.kill(pid, signal.SIGKILL)

    out = tmp_path / "out"
    with pytest.raises(corrshift.ClusterLost, match="lost the Dask cluster.*run the same again"):
        engine.run(problem, progress=False, client=client, out=out, _after_result=lose_it)
    assert json.loads((out / "_corrshift.json").read_text())["tiles_done"]
    engine.run(problem, progress=False, out=out)
    assert files_of(out) == files_of(tmp_path / "whole")


def test_cli_reports_a_lost_cluster_in_one_line(engine_small, tmp_path, monkeypatch, capsys):
    from corrshift.engine import execute

    real = execute.run_dask

    def lost_first(run, client, *args, **kwargs):
        client.cluster.close()
        return real(run, client, *args, **kwargs)

    monkeypatch.setattr(execute, "run_dask", lost_first)
    x = np.random.default_rng(3).normal(size=(30, 10))
    data = tmp_path / "x.tsv"
    data.write_text(
        "row\t"
        + "\t".join("s{}".format(j) for j in range(10))
        + "\n"
        + "".join("r{}\t".format(i) + "\t".join("{:.4f}".format(v) for v in row) + "\n" for i, row in enumerate(x))
    )
    status = cli.main(
        [
            "pairs",
            str(data),
            "--group1",
            "s0,s1,s2,s3,s4",
            "--group2",
            "s5,s6,s7,s8,s9",
            "--permutations",
            "5",
            "--workers",
            "1",
            "-o",
            str(tmp_path / "p.parquet"),
        ]
    )
    err = capsys.readouterr().err
    assert status == 1
    errors = [line for line in err.splitlines() if "error" in line.lower() and "distributed." not in line]
    assert len(errors) == 1 and errors[0].startswith("corrshift: error: lost the Dask cluster")
    assert "run the same again" in errors[0] and "Traceback" not in err


def test_cli_refuses_a_repeated_sample_name(tmp_path, capsys):
    data = tmp_path / "x.tsv"
    rows = np.random.default_rng(4).normal(size=(6, 6))
    header = ["a", "b", "c", "b", "e", "f"]
    data.write_text(
        "row\t"
        + "\t".join(header)
        + "\n"
        + "".join("r{}\t".format(i) + "\t".join("{:.3f}".format(v) for v in row) + "\n" for i, row in enumerate(rows))
    )
    sheet = tmp_path / "sheet.tsv"
    sheet.write_text(
        "sample\tgroup\n" + "".join("{}\t{}\n".format(s, "x" if s < "c" else "y") for s in sorted(set(header)))
    )
    status = cli.main(["pairs", str(data), "--sheet", str(sheet), "--by", "group", "--levels", "x", "y"])
    err = capsys.readouterr().err
    assert status == 1 and "names sample 'b' twice (columns 3 and 5)" in err


@pytest.mark.parametrize(
    "options,message",
    [
        ({"class_alpha": "x"}, "class_alpha must be a number"),
        ({"class_alpha": None}, "class_alpha must be a number"),
        ({"out": 3}, "out must be a folder name"),
    ],
)
def test_option_errors_are_input_errors(data, options, message):
    with pytest.raises(corrshift.InputError, match=message):
        corrshift.ztest(data, G1, G2, permutations=5, progress=False, **options)


def test_finished_output_is_read_back_without_write_access(engine_small, data, tmp_path, monkeypatch):
    run, _ = start(data, "pairs", tmp_path)
    out = tmp_path / "out"
    expected = run(out=out)
    monkeypatch.setattr(output.OutputLock, "__enter__", lambda self: pytest.fail("locked to read"))
    if os.geteuid() != 0:  # root writes anyway
        for name in os.listdir(out):
            os.chmod(out / name, 0o444)
        os.chmod(out, 0o555)
    try:
        assert_same_table(expected, run(out=out))
    finally:
        os.chmod(out, 0o755)


@pytest.fixture
def killable_cluster(tmp_path):
    """A scheduler and a worker in processes of their own, the scheduler's to be killed."""
    pytest.importorskip("distributed")
    log = open(tmp_path / "scheduler.log", "w+")
    command = [sys.executable, "-m", "distributed.cli.dask_scheduler", "--port", "0", "--dashboard-address", ":0"]
    scheduler = subprocess.Popen(command, stdout=log, stderr=log)
    address = None
    for _ in range(300):
        log.seek(0)
        found = [line.split("at:")[-1].strip() for line in log if "Scheduler at:" in line]
        if found:
            address = found[0]
            break
        time.sleep(0.1)
    worker = subprocess.Popen(
        [sys.executable, "-m", "distributed.cli.dask_worker", address or "", "--nworkers", "1", "--nthreads", "1"],
        stdout=subprocess.DEVNULL,
        stderr=subprocess.DEVNULL,
    )
    try:
        assert address, "the scheduler did not start"
        yield scheduler, address
    finally:
        for process in (worker, scheduler):
            process.kill()
            process.wait()
        log.close()


KILLED_RUN = """
import os, signal, sys, threading
import numpy as np
from corrshift import cli
from corrshift.engine import execute
pid, address, folder = int(sys.argv[1]), sys.argv[2], sys.argv[3]
real = execute.run_dask

def kill_soon(*args, **kwargs):
    threading.Timer(1.5, lambda: os.kill(pid, signal.SIGKILL)).start()
    return real(*args, **kwargs)

execute.run_dask = kill_soon
np.save(os.path.join(folder, "x.npy"), np.random.default_rng(8).normal(size=(400, 10)).astype(np.float32))
sys.exit(cli.main(["pairs", os.path.join(folder, "x.npy"), "--group1", "0,1,2,3,4", "--group2", "5,6,7,8,9",
                   "--permutations", "20000", "--scheduler", address, "-o", os.path.join(folder, "p.parquet")]))
"""


def test_a_scheduler_killed_during_a_cli_run_leaves_only_our_line(tmp_path, killable_cluster):
    # The cluster library's own ERROR tracebacks (its client reconnecting, its event loop) stay
    # quiet during the run and while the command line closes its client. The scheduler dies
    # while the worker computes a task of a few seconds (a process of its own, so that the
    # library's logging goes where it goes for a user).
    scheduler, address = killable_cluster
    done = subprocess.run(
        [sys.executable, "-c", KILLED_RUN, str(scheduler.pid), address, str(tmp_path)], capture_output=True, text=True
    )
    lines = [
        line for line in done.stderr.replace("\r", "\n").splitlines() if line.strip() and "pair-passes" not in line
    ]
    assert done.returncode == 1
    assert len(lines) == 1 and lines[0].startswith("corrshift: error: lost the Dask cluster"), done.stderr
