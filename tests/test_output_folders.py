"""Hostile output folders: a run writes nothing outside its output folder and removes nothing
it did not write. Folders of other tools (a pyarrow dataset, a Spark-style folder, a user's
_work/), symbolic links planted in an output, out= given as a link, a mount point, a full
file system, and finished outputs whose manifest is damaged, empty or missing."""

import json
import os
import subprocess

import numpy as np
import pytest

import corrshift
from corrshift import cli, engine
from corrshift.engine import output
from conftest import assert_same_table, needs_parquet, stop_after_tasks
from test_engine import G1, G2, files_of

pytestmark = needs_parquet


@pytest.fixture(scope="module")
def data():
    rng = np.random.default_rng(31)
    x = rng.normal(size=(40, 17)).astype(np.float32)
    x[:8, :8] += 2 * rng.normal(size=8).astype(np.float32)
    return x


def run(x, **options):
    return corrshift.ztest(x, G1, G2, permutations=10, progress=False, **options)


def tree(folder):
    """Every path under `folder` with its content (links as their target), to compare."""
    found = {}
    for root, dirs, names in os.walk(folder):
        for name in dirs + names:
            path = os.path.join(root, name)
            if os.path.islink(path):
                found[path] = "-> " + os.readlink(path)
            elif os.path.isfile(path):
                with open(path, "rb") as fh:
                    found[path] = fh.read()
            else:
                found[path] = "folder"
    return found


def foreign_folder(tmp_path, kind, name="out"):
    folder = tmp_path / name
    folder.mkdir()
    if kind == "pyarrow-dataset":
        pa = pytest.importorskip("pyarrow")
        ds = pytest.importorskip("pyarrow.dataset")
        ds.write_dataset(pa.table({"a": [1, 2, 3]}), str(folder), format="parquet")
        assert (folder / "part-0.parquet").exists()
    elif kind == "spark":
        (folder / "part-00000-1a2b.snappy.parquet").write_bytes(b"PAR1 spark")
        (folder / "_SUCCESS").write_bytes(b"")
    elif kind == "user-work":
        (folder / "_work").mkdir()
        (folder / "_work" / "tile-000000.npz").write_bytes(b"my own file")
    elif kind == "our-names-only":
        # Names of our layout, but no manifest of ours: still not ours.
        (folder / "part-00000.parquet").write_bytes(b"someone's")
        (folder / "_kept.npz").write_bytes(b"someone's")
    elif kind == "notes":
        (folder / "notes.txt").write_text("mine")
    return folder


@pytest.mark.parametrize("kind", ["pyarrow-dataset", "spark", "user-work", "our-names-only", "notes"])
@pytest.mark.parametrize("overwrite", [False, True])
def test_folders_of_others_are_refused_and_left_as_they_are(engine_small, data, tmp_path, monkeypatch, kind, overwrite):
    folder = foreign_folder(tmp_path, kind)
    before = tree(tmp_path)
    monkeypatch.setattr(engine, "run_task", lambda *a, **k: pytest.fail("work started"))
    with pytest.raises(corrshift.InputError, match=r"out: the folder .*(did not write|cannot tell which)"):
        run(data, out=folder, overwrite=overwrite)
    assert tree(tmp_path) == before


def test_files_of_others_in_our_output_are_never_removed(engine_small, data, tmp_path, monkeypatch, capsys):
    out = tmp_path / "out"
    run(data, out=out, max_q=0.5)
    (out / "notes.txt").write_text("mine")
    (out / "_work").mkdir()
    (out / "_work" / "mine.txt").write_text("mine too")
    before = tree(tmp_path)
    for options in ({"max_q": 0.5}, {"max_q": 0.4, "overwrite": True}):
        with pytest.raises(corrshift.InputError, match=r"holds corrshift's output and also files .*notes\.txt"):
            run(data, out=out, **options)
    assert tree(tmp_path) == before
    # Gone again, the output of other options replaces ours.
    (out / "notes.txt").unlink()
    (out / "_work" / "mine.txt").unlink()
    (out / "_work").rmdir()
    assert_same_table(run(data, max_q=0.4), run(data, out=out, max_q=0.4, overwrite=True))


@pytest.fixture
def victim(tmp_path):
    path = tmp_path / "victim.txt"
    path.write_text("precious")
    return path


def unfinished(data, out, monkeypatch):
    """An output stopped after some of its tasks (resumable)."""
    real = stop_after_tasks(monkeypatch, engine, 3)
    with pytest.raises(KeyboardInterrupt):
        run(data, out=out)
    monkeypatch.setattr(engine, "run_task", real)


@pytest.mark.parametrize(
    "plant",
    [
        "_corrshift.json.tmp",
        "_corrshift.json",
        "_corrshift.lock",
        "_work",
        "_work/tile-000005.npz",
        "part-00000.parquet",
    ],
)
def test_links_planted_in_an_output_are_refused_and_nothing_outside_is_written(
    engine_small, data, tmp_path, monkeypatch, victim, plant
):
    out = tmp_path / "out"
    unfinished(data, out, monkeypatch)
    target = victim
    if plant == "_work":
        os.rename(out / "_work", tmp_path / "moved-work")
        target = tmp_path / "moved-work"
    elif (out / plant).exists():
        (out / plant).unlink()
    os.symlink(target, out / plant)
    before = tree(tmp_path)
    with pytest.raises(corrshift.InputError, match=os.path.basename(plant).replace(".", r"\.")) as refused:
        run(data, out=out)
    assert "did not write" in str(refused.value) or "symbolic link" in str(refused.value)
    assert tree(tmp_path) == before and victim.read_text() == "precious"


def test_out_given_as_a_link_writes_into_the_folder_it_names(engine_small, data, tmp_path):
    expected = run(data)
    target = tmp_path / "real"
    target.mkdir()
    link = tmp_path / "link.parquet"
    os.symlink(target, link)
    got = run(data, out=link)
    assert_same_table(expected, got)
    assert got.output == str(link) and os.path.islink(link) and os.readlink(link) == str(target)
    names = sorted(os.listdir(target))
    assert "_corrshift.json" in names and "_work" not in names and "_corrshift.lock" not in names
    assert not [n for n in os.listdir(tmp_path) if "corrshift-" in n]  # nothing left beside either
    assert_same_table(expected, run(data, out=link))  # read back through the link
    assert_same_table(expected, run(data, out=str(link) + "/"))
    os.symlink(tmp_path / "nowhere", tmp_path / "dangling")
    with pytest.raises(corrshift.InputError, match=r"is a symbolic link to .*nowhere.*which does not exist"):
        run(data, out=tmp_path / "dangling")


def test_a_folder_no_rename_can_replace_is_refused_before_any_work(engine_small, data, tmp_path, monkeypatch):
    out = tmp_path / "volume"
    out.mkdir()
    monkeypatch.setattr(output, "_mount_points", lambda: [str(out)])
    real = engine.run_task
    monkeypatch.setattr(engine, "run_task", lambda *a, **k: pytest.fail("work started"))
    with pytest.raises(corrshift.InputError, match=r"is a mount point .* give a folder inside it instead"):
        run(data, out=out)
    assert os.listdir(out) == []
    monkeypatch.setattr(engine, "run_task", real)
    assert_same_table(run(data), run(data, out=out / "pairs.parquet"))


@pytest.fixture
def small_mount(tmp_path):
    """A 256 KiB tmpfs, where this test environment may mount one."""
    point = tmp_path / "small"
    point.mkdir()
    made = subprocess.run(["mount", "-t", "tmpfs", "-o", "size=256k", "tmpfs", str(point)], capture_output=True)
    if made.returncode != 0:
        pytest.skip("cannot mount a tmpfs here ({})".format(made.stderr.decode(errors="replace").strip()))
    yield point
    subprocess.run(["umount", "-l", str(point)], check=False)


def test_a_real_mount_point_and_a_full_file_system(small_mount, tmp_path, capsys):
    x = np.random.default_rng(5).normal(size=(300, 12))
    source = tmp_path / "x.tsv"
    lines = ["row\t" + "\t".join("s{}".format(j) for j in range(12))]
    lines += ["r{}\t".format(i) + "\t".join("{:.5f}".format(v) for v in row) for i, row in enumerate(x)]
    source.write_text("\n".join(lines) + "\n")
    groups = ["--group1", "s0,s1,s2,s3,s4,s5", "--group2", "s6,s7,s8,s9,s10,s11", "--permutations", "0"]
    # The mount point itself: refused before any work.
    with pytest.raises(corrshift.InputError, match="is a mount point"):
        corrshift.ztest(x, list(range(6)), list(range(6, 12)), permutations=0, out=small_mount, progress=False)
    capsys.readouterr()
    # A folder inside it, on a file system too small for the 44,850 pairs: one line naming the file.
    for name in ("pairs.parquet", "pairs.tsv"):
        status = cli.main(["pairs", str(source)] + groups + ["-o", str(small_mount / name)])
        err = capsys.readouterr().err.strip().splitlines()
        assert status == 1 and "Traceback" not in "\n".join(err)
        assert err[-1].startswith("corrshift: error: ") and "No space left on device" in err[-1]
        assert str(small_mount) in err[-1]


@pytest.mark.parametrize("how", ["missing", "empty", "garbage", "no-checksums"])
def test_a_damaged_manifest_of_a_finished_output_is_restored_from_its_copy(
    engine_small, data, tmp_path, monkeypatch, capsys, how
):
    whole = tmp_path / "whole"
    expected = run(data, out=whole)
    out = tmp_path / "out"
    run(data, out=out)
    manifest = out / "_corrshift.json"
    if how == "missing":
        manifest.unlink()
    elif how == "empty":
        manifest.write_bytes(b"")
    elif how == "garbage":
        manifest.write_bytes(manifest.read_bytes()[:40])
    else:
        text = json.loads(manifest.read_text())
        del text["files"]
        manifest.write_text(json.dumps(text))
    capsys.readouterr()
    calls = []
    real = engine.run_task
    monkeypatch.setattr(engine, "run_task", lambda *a, **k: calls.append(1) or real(*a, **k))
    assert_same_table(expected, run(data, out=out))
    err = capsys.readouterr().err
    said = {"missing": "is missing", "empty": "is empty", "garbage": "is damaged", "no-checksums": "lists no checksums"}
    assert "_corrshift.json " + said[how] in err and "copy kept in _finish.npz is intact" in err
    assert not calls and files_of(out) == files_of(whole)


def test_a_damaged_manifest_and_a_damaged_part_make_only_that_part_again(
    engine_small, data, tmp_path, monkeypatch, capsys
):
    whole = tmp_path / "whole"
    run(data, out=whole)
    out = tmp_path / "out"
    run(data, out=out)
    (out / "_corrshift.json").unlink()
    part = out / "part-00001.parquet"
    part.write_bytes(part.read_bytes()[:-30])
    calls = []
    real = engine.run_task
    monkeypatch.setattr(engine, "run_task", lambda *a, **k: calls.append(a[2].index) or real(*a, **k))
    run(data, out=out)
    assert set(calls) == {1} and files_of(out) == files_of(whole)
    assert "part-00001.parquet has" in capsys.readouterr().err


@pytest.mark.parametrize("finished", [True, False], ids=["finished", "unfinished"])
def test_a_manifest_without_any_intact_copy_is_refused_and_nothing_is_removed(
    engine_small, data, tmp_path, monkeypatch, finished
):
    out = tmp_path / "out"
    if finished:
        run(data, out=out)
        state = out / "_finish.npz"
        state.write_bytes(state.read_bytes()[:-100])
    else:
        unfinished(data, out, monkeypatch)
    (out / "_corrshift.json").write_text("{")
    before = tree(tmp_path)
    for overwrite in (False, True):
        with pytest.raises(corrshift.InputError, match=r"manifest _corrshift.json is damaged .*cannot tell which"):
            run(data, out=out, overwrite=overwrite)
    assert tree(tmp_path) == before
