"""Module scores: the block against a pass-by-pass reference built on the public calls,
the API against float64 NumPy and an independent permutation test, gene-set input
(GMT files, unknown genes), and the engine's tiles, pass ranges and files."""

import warnings

import numpy as np
import pytest

import blocks_reference
import corrshift
from corrshift import _blocks, engine
from corrshift.engine.analyses import module_pairs
from conftest import assert_same_table, needs_parquet, ticks_during
from test_blocks import P, as_p, assert_same, matrix, summed_counts

I32 = np.int32

# Overlapping modules (shared pairs), one of a single pair, one of two genes in reverse
# order, and the rows of matrix() with a NaN (2) and one constant within group 1 (4). Small
# modules are computed as listed pairs; large ones of nearby rows in runs of the tile
# kernel, where a row with partners far apart is the x row of several runs.
LAYOUTS = {
    "listed": (
        34,
        [[0, 1, 2, 3, 4, 5, 6], [3, 4, 5, 6, 7, 8, 9, 10, 11], [12, 30], [25, 14], list(range(15, 24)) + [4]],
    ),
    "runs": (200, [list(range(0, 120)), list(range(90, 200)), [5, 60, 150], [199, 198], list(range(100, 150))]),
}


def block_lists(modules):
    return module_pairs([np.unique(np.asarray(m, I32)) for m in modules])


@pytest.mark.parametrize("layout", LAYOUTS)
@pytest.mark.parametrize("method", ["pearson", "spearman"])
@pytest.mark.parametrize("score", ["mean", "median"])
@pytest.mark.parametrize("alternative", ["two-sided", "greater", "less"])
@pytest.mark.parametrize("statistics", ["native", "api"])
def test_module_blocks_match_the_pass_by_pass_reference(layout, method, score, alternative, statistics, capfd):
    nrows, modules = LAYOUTS[layout]
    data = matrix(nrows, 16, seed=5)
    if statistics == "api":
        data[2, 1] = 0.25  # the API refuses missing values before any block call
    g1, g2 = np.array([0, 3, 5, 7, 9, 11, 2], I32), np.array([1, 2, 4, 6, 8, 10, 12, 14], I32)  # 2 in both
    first, second, starts, members = block_lists(modules)
    # An empty module between the others, and the members of one module reversed.
    starts = np.insert(starts, 2, starts[2])
    members[starts[0] : starts[1]] = members[starts[0] : starts[1]][::-1]
    args = (data, first, second, starts, members, g1, g2, method, score, alternative)
    want = blocks_reference.module_block(*args, 0, P + 1, 1, statistics=statistics)
    for split, jobs in (((0, P + 1), [1]), ((0, 2, 5, P + 1), [3, 1, 2]), ((0, 1, P + 1), [16, 2])):
        got, total = summed_counts(
            lambda lo, hi, n: _blocks.module_block(*args, lo, hi, n, statistics=statistics), split, jobs
        )
        for g, w in zip(got, want[:3]):
            assert_same(g, w)
        assert_same(total, want[3])
    assert want[0][2] == 0 and np.isnan(want[1][2])  # the empty module
    capfd.readouterr()


def test_a_module_block_without_modules_or_pairs():
    data, g = matrix(6, 10, seed=2), np.arange(5, dtype=I32)
    none = np.zeros(0, I32)
    for starts in (np.zeros(1, I32), np.zeros(3, I32)):
        observed, r1, r2, counts = _blocks.module_block(
            data, none, none, starts, none, g, g + 5, "pearson", "median", "less", 0, 4, 2
        )
        # An empty module scores 0 in every pass, which ties (and so counts) every time.
        assert observed.tolist() == [0.0] * (starts.size - 1) and counts.tolist() == [3] * (starts.size - 1)
        assert np.isnan(r1).all() and np.isnan(r2).all()


def test_other_threads_run_during_a_module_block():
    data = matrix(400, 40, seed=5)
    first, second, starts, members = block_lists([range(0, 300), range(200, 400)])
    g1, g2 = np.arange(20, dtype=I32), np.arange(20, 40, dtype=I32)
    assert (
        ticks_during(
            lambda: _blocks.module_block(
                data, first, second, starts, members, g1, g2, "pearson", "median", "two-sided", 0, 30, 1
            )
        )
        > 10000
    )


@pytest.mark.parametrize(
    "change, error, match",
    [
        (dict(module_starts=np.array([1, 3], I32)), ValueError, r"module_starts\[0\] must be 0"),
        (dict(module_starts=np.array([0, 3, 2, 3], I32)), ValueError, "decreases at entry 2"),
        (dict(module_starts=np.array([0, 2], I32)), ValueError, "module_pairs has 3 entries"),
        (dict(module_starts=np.zeros(0, I32)), ValueError, "module count"),
        (dict(module_pairs=np.array([0, 1, 2], I32)), IndexError, r"module_pairs\[2\] = 2"),
        (dict(second_rows=np.array([3], I32)), ValueError, "same pairs"),
        (dict(first_rows=np.array([0, 12], I32)), IndexError, "first_rows"),
        (dict(score="Mean"), ValueError, "score"),
    ],
    ids=lambda v: ",".join(v) if isinstance(v, dict) else str(v),
)
def test_bad_module_block_arguments_are_refused_before_any_work(change, error, match):
    good = dict(
        data=matrix(12, 10, seed=1),
        first_rows=np.array([0, 1], I32),
        second_rows=np.array([3, 4], I32),
        module_starts=np.array([0, 3], I32),
        module_pairs=np.array([0, 1, 1], I32),
        first_columns=np.arange(5, dtype=I32),
        second_columns=np.arange(5, 10, dtype=I32),
        method="pearson",
        score="mean",
        alternative="less",
        pass_first=0,
        pass_last=3,
        n_jobs=2,
    )
    calls = []
    with pytest.raises(error, match=match):
        _blocks.module_block(**dict(good, **change), progress=calls.append)
    assert calls == []


@pytest.fixture(scope="module")
def example():
    ex = corrshift.load_example()
    rng = np.random.default_rng(3)
    sizes = [20, 35, 2, 60, 25]
    modules = {"m{}".format(k): ex.probes[rng.choice(400, s, replace=False)].tolist() for k, s in enumerate(sizes)}
    return ex, modules


def numpy_module_scores(x, genes, g1, g2, score, alternative, method="pearson"):
    """Module scores in float64 from the matrix and the two groups' columns."""
    used = np.unique(np.concatenate(genes))
    x = x[used]
    genes = [np.searchsorted(used, rows) for rows in genes]

    def corr(cols):
        block = x[:, cols].astype(np.float64)
        if method == "spearman":
            block = np.argsort(np.argsort(block, axis=1), axis=1).astype(np.float64)
        return np.corrcoef(block)

    z = np.arctanh(np.clip(corr(g1), -0.99, 0.99)) - np.arctanh(np.clip(corr(g2), -0.99, 0.99))
    out = []
    for rows in genes:
        i, j = np.triu_indices(len(rows), 1)
        v = z[rows[i], rows[j]]
        if score == "mean":
            out.append(np.abs(v).mean())
        else:
            v = np.sort(np.abs(v) if alternative == "two-sided" else v)
            out.append(v[v.size // 2])
    return np.asarray(out)


@pytest.mark.parametrize(
    "score, alternative, method",
    [
        ("median", "two-sided", "pearson"),
        ("mean", "two-sided", "spearman"),
        ("median", "less", "pearson"),
        ("mean", "greater", "pearson"),
    ],
)
def test_observed_scores_equal_float64_numpy(example, score, alternative, method):
    ex, modules = example
    res = corrshift.module_scores(
        ex.expression,
        modules,
        "BCR/ABL",
        "NEG",
        groupby=ex.mol_biol,
        row_names=ex.probes,
        score=score,
        alternative=alternative,
        method=method,
        permutations=0,
        progress=False,
    )
    g1, g2 = np.flatnonzero(ex.mol_biol == "BCR/ABL"), np.flatnonzero(ex.mol_biol == "NEG")
    want = numpy_module_scores(ex.expression, res.genes, g1, g2, score, alternative, method)
    np.testing.assert_allclose(res.score, want, rtol=0, atol=1e-6)
    assert res.module.tolist() == ["m0", "m1", "m2", "m3", "m4"]
    assert res.n_pairs.tolist() == [190, 595, 1, 1770, 300] and np.isnan(res.perm_p).all()
    c1 = np.corrcoef(ex.expression[:, g1].astype(np.float64))
    for k, rows in enumerate(res.genes):
        i, j = np.triu_indices(rows.size, 1)
        if method == "pearson":
            assert abs(res.mean_r1[k] - c1[rows[i], rows[j]].mean()) < 1e-6


def test_perm_p_agrees_with_an_independent_permutation_test(example):
    ex, modules = example
    permutations = 400
    res = corrshift.module_scores(
        ex.expression,
        modules,
        "BCR/ABL",
        "NEG",
        groupby=ex.mol_biol,
        row_names=ex.probes,
        permutations=permutations,
        progress=False,
    )
    g1, g2 = np.flatnonzero(ex.mol_biol == "BCR/ABL"), np.flatnonzero(ex.mol_biol == "NEG")
    both = np.concatenate([g1, g2])
    observed = numpy_module_scores(ex.expression, res.genes, g1, g2, "median", "two-sided")
    rng = np.random.default_rng(2024)  # another generator than the seeded shuffles
    hits = np.zeros(len(res), np.int64)
    for _ in range(permutations):
        cols = rng.permutation(both)
        hits += (
            numpy_module_scores(ex.expression, res.genes, cols[: g1.size], cols[g1.size :], "median", "two-sided")
            >= observed - 1e-9
        )
    independent = (hits + 1) / (permutations + 1)
    spread = np.sqrt(2 * np.maximum(independent * (1 - independent), 0.01) / permutations)
    assert (np.abs(res.perm_p - independent) <= 4 * spread).all(), (res.perm_p, independent)


def test_a_gmt_file_with_unknown_genes_runs_and_reports_what_was_dropped(example, tmp_path):
    ex, modules = example
    gmt = tmp_path / "sets.gmt"
    lines = [
        "m0\tfirst set\t" + "\t".join(modules["m0"] + ["NOT_A_GENE", "ALSO_NOT"]),
        "# a comment line",
        "",
        "tiny\tone gene left\t{}\tMISSING".format(modules["m1"][0]),
        "m1\thttp://example.org/m1\t" + "\t".join(modules["m1"] + [modules["m1"][0]]) + "\t",
    ]
    gmt.write_text("\n".join(lines) + "\n")
    with pytest.warns(UserWarning, match=r"3 gene name\(s\) are not in data.*'tiny'"):
        res = corrshift.module_scores(
            ex.expression,
            str(gmt),
            "BCR/ABL",
            "NEG",
            groupby=ex.mol_biol,
            row_names=ex.probes,
            permutations=30,
            progress=False,
        )
    assert res.module.tolist() == ["m0", "m1"] and res.skipped == ["tiny"]
    assert res.missing.tolist() == [2, 0] and res.unknown == 3
    assert res.n_genes.tolist() == [20, 35]  # the repeated gene counts once
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        again = corrshift.module_scores(
            ex.expression,
            {"m0": modules["m0"], "m1": modules["m1"]},
            "BCR/ABL",
            "NEG",
            groupby=ex.mol_biol,
            row_names=ex.probes,
            permutations=30,
            progress=False,
        )
    for name in ("score", "perm_p", "mean_r1", "mean_r2"):
        assert_same(again.column(name), res.column(name))
    assert res.metadata()["skipped"] == ["tiny"] and "module" in res.to_pandas().columns


@pytest.mark.parametrize(
    "modules, match",
    [
        ({}, "modules is empty"),
        (42, "modules must be a dict"),
        ({"a": "GENE"}, r"modules\['a'\] must be a list"),
        ({"a": [0, 99]}, "99 is not a row of data"),
        ({"a": [0, 1.5]}, "neither a gene name nor a row number"),
        ({"a": ["x", "y"], "b": [3]}, "no module has two or more genes"),
    ],
    ids=["empty", "type", "string", "row", "float", "none-left"],
)
def test_unusable_modules_are_refused(modules, match):
    x = matrix(12, 10, seed=1)
    with pytest.raises(corrshift.InputError, match=match):
        corrshift.module_scores(x, modules, range(5), range(5, 10), permutations=5, progress=False)


def test_gmt_problems_are_refused(tmp_path):
    x = matrix(12, 10, seed=1)
    bad = tmp_path / "bad.gmt"
    for text, match in (
        ("a\t\t0\nb\tc\nd\n", "line 3"),
        ("a\tx\t1\t2\na\ty\t3\t4\n", "names two gene sets"),
        ("\n# nothing\n", "no gene sets"),
    ):
        bad.write_text(text)
        with pytest.raises(corrshift.InputError, match=match):
            corrshift.module_scores(x, bad, range(5), range(5, 10), permutations=5, progress=False)
    with pytest.raises(corrshift.InputError, match="no such file"):
        corrshift.module_scores(x, tmp_path / "missing.gmt", range(5), range(5, 10), progress=False)


ENGINE_MODULES = [list(range(0, 25)), list(range(20, 40)), [41, 45, 50], list(range(30, 60, 2))]


@needs_parquet
@pytest.mark.parametrize("method, score", [("pearson", "median"), ("spearman", "mean")])
def test_tiles_pass_ranges_and_files_give_the_table_of_one_call(engine_small, monkeypatch, tmp_path, method, score):
    rng = np.random.default_rng(7)
    x = rng.normal(size=(60, 17)).astype(np.float32)
    x[:12, :8] += 2 * rng.normal(size=8).astype(np.float32)

    def run(**extra):
        return corrshift.module_scores(
            x,
            ENGINE_MODULES,
            range(8),
            range(8, 17),
            method=method,
            score=score,
            permutations=25,
            progress=False,
            **extra,
        )

    whole = run()
    problem_tiles = []
    real = engine.plan_tiles

    def planned(problem):
        problem_tiles.append(real(problem))
        return problem_tiles[-1]

    monkeypatch.setattr(engine.plan, "plan_tiles", planned)
    monkeypatch.setattr(engine, "TASK_SECONDS", 1e-9)  # every tile cut into pass ranges
    written = run(out=tmp_path / "out")
    assert len(problem_tiles[0]) > 1
    assert_same_table(whole, written)
    assert_same_table(whole, run(out=tmp_path / "out"))  # read back
    with pytest.raises(corrshift.InputError, match="overwrite"):  # other modules, the same folder
        corrshift.module_scores(
            x,
            ENGINE_MODULES[:3],
            range(8),
            range(8, 17),
            method=method,
            score=score,
            permutations=25,
            progress=False,
            out=tmp_path / "out",
        )
    assert_same_table(whole.top(2), run(out=tmp_path / "top", top=2))
    import pyarrow.parquet as pq

    table = pq.read_table(tmp_path / "out")
    assert table.column_names == list(whole.columns)
    assert sorted(table.column("module").to_pylist()) == sorted(whole.module.tolist())


def test_cli_modules_writes_the_table_and_notes_what_was_dropped(tmp_path, capsys, monkeypatch):
    from corrshift import cli
    from test_cli import GENES, SAMPLES, group_names, read_tsv

    rng = np.random.default_rng(11)
    x = rng.normal(size=(len(GENES), len(SAMPLES))).astype(np.float32)
    np.savez(tmp_path / "expr.npz", data=x, row_names=np.asarray(GENES), column_names=np.asarray(SAMPLES))
    (tmp_path / "sets.gmt").write_text("a\tx\tgene1\tgene2\tgene3\tgeneX\nb\ty\tgene4\tgeneY\nc\tz\tgene0\tgene7\n")
    monkeypatch.chdir(tmp_path)
    a, b = group_names("A"), group_names("B")
    assert (
        cli.main(
            [
                "modules",
                "expr.npz",
                "--gmt",
                "sets.gmt",
                "--group1",
                ",".join(a),
                "--group2",
                ",".join(b),
                "--score",
                "mean",
                "--permutations",
                "10",
                "-o",
                "modules.tsv",
            ]
        )
        == 0
    )
    err = capsys.readouterr().err
    assert "2 gene name(s) are not rows of the data" in err and "skipped: 'b'" in err and "UserWarning" not in err
    header, rows = read_tsv((tmp_path / "modules.tsv").read_text())
    assert header == list(corrshift.results.MODULE_COLUMNS)
    with pytest.warns(UserWarning):
        want = corrshift.module_scores(
            x, "sets.gmt", a, b, score="mean", permutations=10, row_names=GENES, column_names=SAMPLES, progress=False
        ).top()
    assert [r["module"] for r in rows] == want.module.tolist()
    assert [int(r["n_pairs"]) for r in rows] == want.n_pairs.tolist() and sorted(want.n_pairs) == [1, 3]
    np.testing.assert_allclose([float(r["score"]) for r in rows], want.score, rtol=1e-5)


def test_genes_that_cannot_be_correlated_leave_their_modules_and_are_named(example):
    ex, modules = example
    x = ex.expression.copy()
    g1 = ex.mol_biol == "BCR/ABL"
    lookup = {p: k for k, p in enumerate(ex.probes)}
    flat = modules["m0"][0]
    x[lookup[flat], g1] = 3.0  # constant within group 1
    given = dict(modules, pair=[flat, modules["m1"][0]])
    with pytest.warns(UserWarning, match="left out 1 row"):
        res = corrshift.module_scores(
            x, given, "BCR/ABL", "NEG", groupby=ex.mol_biol, row_names=ex.probes, permutations=20, progress=False
        )
    assert res.dropped == {"constant within group1": [flat]} and res.skipped == ["pair"]
    assert res.n_genes.tolist() == [19, 35, 2, 60, 25] and lookup[flat] not in np.concatenate(res.genes)
    # The others are scored as if the gene had never been listed.
    without = {k: [g for g in v if g != flat] for k, v in modules.items()}
    want = corrshift.module_scores(
        x, without, "BCR/ABL", "NEG", groupby=ex.mol_biol, row_names=ex.probes, permutations=20, progress=False
    )
    assert_same_table(want, res.take(np.arange(len(res))))
    with pytest.warns(UserWarning, match="non-zero in fewer than"):
        few = corrshift.module_scores(
            np.where(x > np.median(x), x, 0),
            modules,
            "BCR/ABL",
            "NEG",
            groupby=ex.mol_biol,
            row_names=ex.probes,
            permutations=0,
            progress=False,
            min_fraction=0.99,
        )
    assert sum(len(v) for v in few.dropped.values()) > 0


def test_cli_modules_within_scores_each_level_alone(cells, tmp_path, capsys):
    from corrshift import cli
    from test_cli import read_level_tsv

    cells.write_h5ad(tmp_path / "cells.h5ad")
    (tmp_path / "m.gmt").write_text("a\t-\tG0\tG1\tG2\tGX\nb\t-\tG3\tG4\tG5\tG6\n")
    assert (
        cli.main(
            [
                "modules",
                str(tmp_path / "cells.h5ad"),
                "--gmt",
                str(tmp_path / "m.gmt"),
                "--by",
                "condition",
                "--levels",
                "stim",
                "ctrl",
                "--within",
                "cell_type",
                "--permutations",
                "20",
                "-o",
                str(tmp_path / "out.tsv"),
            ]
        )
        == 0
    )
    err = capsys.readouterr().err
    assert err.count("1 gene name(s) are not rows of the data") == 1 and "4 modules in 2 levels" in err
    _, header, rows = read_level_tsv(tmp_path / "out.tsv")
    assert header == ["cell_type"] + list(corrshift.ModuleResult.columns)
    for level in ("T", "B"):
        alone = cells[(cells.obs.cell_type == level).to_numpy()]
        with pytest.warns(UserWarning):
            want = corrshift.module_scores(
                alone, str(tmp_path / "m.gmt"), "stim", "ctrl", groupby="condition", permutations=20, progress=False
            ).top()
        mine = [r for r in rows if r["cell_type"] == level]
        assert [r["module"] for r in mine] == want.module.tolist()
        np.testing.assert_allclose([float(r["perm_p"]) for r in mine], want.perm_p, rtol=1e-5)
