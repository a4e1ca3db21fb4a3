"""The corrshift command: files in, sorted TSV out, one-line errors, and the demo."""

import gzip
import os
import re
import subprocess
import sys

import numpy as np
import pytest

import corrshift
from corrshift import cli, demo
from corrshift.results import NONZERO_COLUMNS, PAIR_COLUMNS, ROBUST_COLUMNS

#: The columns of a pair table of the command line: with the robust and non-zero columns.
_AT = PAIR_COLUMNS.index("z_diff") + 1
PAIR_HEADER = list(PAIR_COLUMNS[:_AT] + ROBUST_COLUMNS + PAIR_COLUMNS[_AT:] + NONZERO_COLUMNS)
from conftest import needs_parquet

ROWS, COLS = 8, 12
GENES = ["gene{}".format(i) for i in range(ROWS)]
SAMPLES = ["S{:02d}".format(j) for j in range(COLS)]
CONDITION = ["A" if j % 3 else "B" for j in range(COLS)]  # 8 A, 4 B


@pytest.fixture(scope="module")
def values():
    rng = np.random.default_rng(11)
    x = rng.normal(size=(ROWS, COLS)).astype(np.float32)
    x[2] += x[1]
    return x


@pytest.fixture()
def files(tmp_path, values):
    data = tmp_path / "expr.tsv"
    lines = ["gene\t" + "\t".join(SAMPLES)]
    lines += [name + "\t" + "\t".join("%.9g" % v for v in row) for name, row in zip(GENES, values)]
    data.write_text("\n".join(lines) + "\n")
    sheet = tmp_path / "sheet.tsv"
    rows = ["sample\tcondition"] + ["{}\t{}".format(s, c) for s, c in zip(SAMPLES, CONDITION)][::-1]
    sheet.write_text("\n".join(rows + ["S99\tA"]) + "\n")  # S99 is not in the data
    return tmp_path, data, sheet


def run_cli(args, cwd):
    # Outside the source tree, so that the installed package is the one imported.
    return subprocess.run(
        [sys.executable, "-m", "corrshift"] + [str(a) for a in args],
        cwd=str(cwd),
        stdout=subprocess.PIPE,
        stderr=subprocess.PIPE,
        universal_newlines=True,
        timeout=120,
    )


def read_tsv(text):
    lines = text.strip().splitlines()
    assert lines[0].startswith("# group1 = ")
    lines = [line for line in lines if not line.startswith("#")]
    header = lines[0].split("\t")
    return header, [dict(zip(header, line.split("\t"))) for line in lines[1:]]


def group_names(level):
    return [s for s, c in zip(SAMPLES, CONDITION) if c == level]


def test_pairs_end_to_end(files, values):
    folder, data, sheet = files
    proc = run_cli(
        [
            "pairs",
            data,
            "--sheet",
            sheet,
            "--by",
            "condition",
            "--levels",
            "A",
            "B",
            "--permutations",
            30,
            "--jobs",
            2,
            "-o",
            "out.tsv",
        ],
        folder,
    )
    assert proc.returncode == 0, proc.stderr
    assert proc.stdout == ""
    assert "1 sample(s) with condition = 'A' are not in the data" in proc.stderr
    assert "28 pairs" in proc.stderr and "8 + 4 samples" in proc.stderr
    header, rows = read_tsv((folder / "out.tsv").read_text())
    assert header == PAIR_HEADER
    expected = corrshift.ztest(
        values, group_names("A"), group_names("B"), permutations=30, row_names=GENES, column_names=SAMPLES
    ).top()
    assert [(r["row1"], r["row2"]) for r in rows] == list(zip(expected.row1, expected.row2))
    assert (folder / "out.tsv").read_text().startswith("# group1 = A (8 samples); group2 = B (4 samples)\n")
    assert [r["class"] for r in rows] == expected.pair_class.tolist()
    for name in ("r1", "r2", "p1", "p2", "z_diff", "p_value", "q_value", "perm_p", "perm_q"):
        np.testing.assert_allclose([float(r[name]) for r in rows], expected.column(name), rtol=1e-5)


def test_rows_to_stdout_keeps_progress_on_stderr(files):
    folder, data, sheet = files
    proc = run_cli(
        [
            "rows",
            data,
            "--group1",
            ",".join(group_names("A")),
            "--group2",
            ",".join(group_names("B")),
            "--permutations",
            10,
            "--top",
            3,
        ],
        folder,
    )
    assert proc.returncode == 0, proc.stderr
    header, rows = read_tsv(proc.stdout)
    assert header == ["row", "score", "perm_p", "perm_q", "n1", "n2"] and len(rows) == 3
    assert "row-passes" in proc.stderr and "passes" not in proc.stdout


@pytest.mark.parametrize("perm_q", [False, True])
def test_filtered_pairs_report_perm_q_when_asked(files, perm_q):
    folder, data, sheet = files
    args = ["pairs", data, "--sheet", sheet, "--by", "condition", "--levels", "A", "B", "--permutations", 30, "--top", 4]
    proc = run_cli(args + (["--perm-q", "--significance", "normal"] if perm_q else []), folder)
    assert proc.returncode == 0, proc.stderr
    header, rows = read_tsv(proc.stdout)
    assert len(rows) == 4 and ("# perm_q: not computed" in proc.stdout) != perm_q
    assert all((r["perm_q"] == "NA") != perm_q for r in rows) and all(r["perm_p"] != "NA" for r in rows)
    # The robust significance (the default) chooses the pairs: their q_value is not computed either.
    assert ("p_robust" in header) != perm_q and ("# q_value: not computed" in proc.stdout) != perm_q
    refused = run_cli(args + ["--perm-q"], folder)
    assert refused.returncode == 2 and "--perm-q needs --significance normal" in refused.stderr


@pytest.mark.parametrize(
    "args, message",
    [
        (["pairs", "missing.tsv", "--group1", "a", "--group2", "b"], "missing.tsv: no such file"),
        (
            ["rows", "{data}", "--group1", "S00,S01,S02,S03", "--group2", "S04,S05,S06,S77"],
            "group2 names 1 column.*'S77'",
        ),
        (
            ["rows", "{data}", "--sheet", "{sheet}", "--by", "condition", "--levels", "A", "C"],
            "no sample has condition = 'C'; the values are 'A', 'B'",
        ),
        (["rows", "{data}", "--sheet", "{sheet}", "--by", "cond", "--levels", "A", "B"], "--by 'cond'.*no such column"),
        (
            [
                "pairs",
                "{data}",
                "--group1",
                "S00,S01,S02,S03",
                "--group2",
                "S04,S05,S06,S07",
                "--pairs",
                "{folder}/typo.tsv",
            ],
            r"typo.tsv: 2 name\(s\) that are not rows of the data: 'gen2' \(line 1\), 'gene9' "
            r"\(line 3\)",
        ),
        (
            [
                "pairs",
                "{data}",
                "--group1",
                "S00,S01,S02,S03",
                "--group2",
                "S04,S05,S06,S07",
                "-o",
                "{folder}/no/such/dir/out.tsv",
            ],
            "-o .*out.tsv: the folder .* does not exist",
        ),
        (
            ["pairs", "{data}", "--group1", "S00,S01,S02,S03", "--group2", "S04,S05,S06,S07", "-o", "{folder}"],
            "is a directory; name a file",
        ),
        (
            ["pairs", "{folder}/vector.npy", "--group1", "0", "--group2", "1"],
            r"vector.npy: holds a 1-dimensional array of shape \(5,\)",
        ),
        (
            ["pairs", "{folder}/cube.npy", "--group1", "0", "--group2", "1"],
            r"cube.npy: holds a 3-dimensional array of shape \(2, 3, 4\)",
        ),
    ],
    ids=[
        "missing-file",
        "unknown-sample",
        "unknown-level",
        "unknown-column",
        "pairs-typo-first-line",
        "output-folder-missing",
        "output-is-folder",
        "npy-1d",
        "npy-3d",
    ],
)
def test_user_errors_are_one_line(files, capsys, monkeypatch, args, message):
    folder, data, sheet = files
    (folder / "typo.tsv").write_text("gene1\tgen2\ngene0\tgene3\ngene9\tgene1\n")
    np.save(str(folder / "vector.npy"), np.arange(5.0))
    np.save(str(folder / "cube.npy"), np.zeros((2, 3, 4)))
    args = [a.format(data=data, sheet=sheet, folder=folder) for a in args]
    monkeypatch.chdir(folder)
    assert cli.main(args) == 1
    err = capsys.readouterr().err.strip().splitlines()
    assert len(err) == 1 and err[0].startswith("corrshift: error: ")
    assert re.search(message, err[0]), err[0]


def test_no_traceback_through_the_console(files):
    folder, data, _ = files
    lines = data.read_text().splitlines()
    lines[4] = lines[4].split("\t", 1)[0] + "\tabc" + "\t1" * (COLS - 1)
    data.write_text("\n".join(lines) + "\n")
    proc = run_cli(["pairs", data, "--group1", "S00,S01,S02,S03", "--group2", "S04,S05,S06,S07"], folder)
    assert proc.returncode == 1
    assert proc.stderr == "corrshift: error: {} line 5, column 'S00': 'abc' is not a number\n".format(data)


def test_gzip_csv_npy_and_files_of_names(files, values, capsys, monkeypatch):
    folder, _, _ = files
    csv_path = folder / "expr.csv.gz"
    with gzip.open(str(csv_path), "wt") as out:
        out.write(",".join(SAMPLES) + "\n")  # header without a corner cell
        for name, row in zip(GENES, values):
            out.write(name + "," + ",".join("%.9g" % v for v in row) + "\n")
    (folder / "g1.txt").write_text("# group A\n" + "\n".join(group_names("A")) + "\n")
    (folder / "g2.txt").write_text("\t".join(group_names("B")) + "\n")
    np.save(str(folder / "expr.npy"), values)
    a_idx = ",".join(str(j) for j, c in enumerate(CONDITION) if c == "A")
    b_idx = ",".join(str(j) for j, c in enumerate(CONDITION) if c == "B")
    monkeypatch.chdir(folder)
    assert (
        cli.main(
            [
                "pairs",
                "expr.csv.gz",
                "--group1",
                "g1.txt",
                "--group2",
                "g2.txt",
                "--permutations",
                "5",
                "-o",
                "a.tsv.gz",
            ]
        )
        == 0
    )
    assert (
        cli.main(["pairs", "expr.npy", "--group1", a_idx, "--group2", b_idx, "--permutations", "5", "-o", "b.tsv"]) == 0
    )
    _, from_csv = read_tsv(gzip.open("a.tsv.gz", "rt").read())
    _, from_npy = read_tsv((folder / "b.tsv").read_text())
    assert [r["z_diff"] for r in from_csv] == [r["z_diff"] for r in from_npy]
    assert from_npy[0]["row1"].isdigit()  # a .npy has no names: rows are numbered
    capsys.readouterr()


def test_sets_file_joins_lines_of_one_hub(files, values, capsys, monkeypatch):
    folder, data, sheet = files
    (folder / "sets.tsv").write_text("hub\tpartner\ngene1\tgene2\tgene3\ngene5\tgene0\ngene1\tgene7\n")
    monkeypatch.chdir(folder)
    assert (
        cli.main(
            [
                "sets",
                str(data),
                "--sets",
                "sets.tsv",
                "--sheet",
                str(sheet),
                "--by",
                "condition",
                "--levels",
                "A",
                "B",
                "--score",
                "mean",
                "--permutations",
                "10",
                "-o",
                "sets.out",
            ]
        )
        == 0
    )
    _, rows = read_tsv((folder / "sets.out").read_text())
    expected = corrshift.set_scores(
        values,
        {"gene1": ["gene2", "gene3", "gene7"], "gene5": ["gene0"]},
        group_names("A"),
        group_names("B"),
        score="mean",
        permutations=10,
        row_names=GENES,
        column_names=SAMPLES,
    ).top()
    assert [r["hub"] for r in rows] == expected.hub.tolist()
    assert [int(r["size"]) for r in rows] == expected.size.tolist()
    np.testing.assert_allclose([float(r["score"]) for r in rows], expected.score, rtol=1e-5)
    capsys.readouterr()


def test_help_says_results_are_deterministic():
    for command in (["--help"], ["pairs", "--help"], ["demo", "--help"]):
        with pytest.raises(SystemExit):
            cli.build_parser().parse_args(command)
    assert "no seed option" in cli.build_parser().format_help()


@pytest.mark.parametrize("with_matplotlib", [True, False], ids=["figure", "no-matplotlib"])
def test_demo_on_a_slice(tmp_path, monkeypatch, with_matplotlib):
    if with_matplotlib:
        pytest.importorskip("matplotlib")
    else:
        monkeypatch.setitem(sys.modules, "matplotlib", None)
    out = tmp_path / "report.txt"
    with open(str(out), "w") as stream:
        assert (
            demo.run(str(tmp_path / "demo"), permutations=5, row_permutations=5, n_jobs=2, rows=40, stream=stream) == 0
        )
    report = out.read_text()
    assert "Top 15 pairs" in report and "Top 15 probe sets" in report and "Run time:" in report
    written = set(os.listdir(str(tmp_path / "demo")))
    assert {"pairs.tsv.gz", "rows.tsv", "expression.tsv.gz", "samples.tsv"} <= written
    assert ("figure.png" in written) == with_matplotlib
    assert ("matplotlib is not installed" in report) != with_matplotlib
    _, pairs = read_tsv(gzip.open(str(tmp_path / "demo" / "pairs.tsv.gz"), "rt").read())
    assert len(pairs) == 40 * 39 // 2


@pytest.mark.parametrize(
    "args, message",
    [
        (
            ["pairs", "{data}", "--group1", "S00,S01,S02,S03", "--group2", "S04,S05,S06,S07", "--perms", "10"],
            "unrecognized arguments: --perms 10",
        ),
        (
            ["rows", "{data}", "--group1", "S00,S01,S02,S03", "--group2", "S04,S05,S06,S07", "--permutations", "ten"],
            "argument --permutations: 'ten' is not a whole number",
        ),
        (
            [
                "rows",
                "{data}",
                "--group1",
                "S00,S01,S02,S03",
                "--group2",
                "S04,S05,S06,S07",
                "--permutations",
                "16777217",
            ],
            "argument --permutations: must be 16777216 or less",
        ),
        (["rows", "{data}", "--group1", "S00"], "--group1 and --group2"),
        (
            [
                "rows",
                "{data}",
                "--group1",
                "S00",
                "--group2",
                "S01",
                "--sheet",
                "{sheet}",
                "--by",
                "c",
                "--levels",
                "A",
                "B",
            ],
            "either with --group1/--group2 or with --sheet",
        ),
        (
            ["sets", "{data}", "--group1", "S00,S01,S02,S03", "--group2", "S04,S05,S06,S07"],
            "the following arguments are required: --sets",
        ),
        (["rows", "{data}", "--by", "condition", "--levels", "A", "B"], "--by needs --sheet FILE"),
    ],
    ids=[
        "unknown-option",
        "bad-value",
        "too-many-permutations",
        "one-group",
        "two-forms",
        "missing-required",
        "by-without-sheet",
    ],
)
def test_usage_errors_show_the_commands_usage(files, capsys, args, message):
    folder, data, sheet = files
    with pytest.raises(SystemExit) as stop:
        cli.main([a.format(data=data, sheet=sheet) for a in args])
    assert stop.value.code == 2
    err = capsys.readouterr().err.strip().splitlines()
    assert len(err) == 2, err
    assert err[0].startswith("usage: corrshift {} DATA ".format(args[0]))
    assert err[1].startswith("corrshift {}: error: ".format(args[0])) and re.search(message, err[1]), err[1]


def test_version(capsys):
    with pytest.raises(SystemExit) as stop:
        cli.main(["--version"])
    assert stop.value.code == 0
    assert capsys.readouterr().out.strip() == "corrshift " + corrshift.__version__
    assert re.match(r"\d+\.\d+", corrshift.__version__)


def test_many_jobs_are_capped_not_refused(files, capsys):
    folder, data, _ = files
    args = [
        "pairs",
        str(data),
        "--group1",
        "S00,S01,S02,S03",
        "--group2",
        "S04,S05,S06,S07",
        "--permutations",
        "3",
        "--jobs",
        "1000000",
        "-o",
        str(folder / "many.tsv"),
    ]
    assert cli.main(args) == 0
    capsys.readouterr()


def test_pairs_file_header_and_h5ad_with_obs_as_sheet(files, values, capsys, monkeypatch):
    anndata = pytest.importorskip("anndata")
    pd = pytest.importorskip("pandas")
    sparse = pytest.importorskip("scipy.sparse")
    folder, _, _ = files
    obs = pd.DataFrame({"condition": CONDITION}, index=SAMPLES)
    adata = anndata.AnnData(X=sparse.csr_matrix(values.T), obs=obs, var=pd.DataFrame(index=GENES))
    adata.write_h5ad(str(folder / "cells.h5ad"))
    (folder / "pairs.tsv").write_text("first\tsecond\ngene1\tgene2\ngene0\tgene3\n")
    monkeypatch.chdir(folder)
    assert (
        cli.main(
            [
                "pairs",
                "cells.h5ad",
                "--by",
                "condition",
                "--levels",
                "A",
                "B",
                "--pairs",
                "pairs.tsv",
                "--permutations",
                "10",
                "-o",
                "h5.tsv",
            ]
        )
        == 0
    )
    _, rows = read_tsv((folder / "h5.tsv").read_text())
    expected = corrshift.ztest(
        values,
        "A",
        "B",
        [("gene1", "gene2"), ("gene0", "gene3")],
        groupby=CONDITION,
        permutations=10,
        row_names=GENES,
        column_names=SAMPLES,
    ).top()
    assert [(r["row1"], r["row2"]) for r in rows] == list(zip(expected.row1, expected.row2))
    np.testing.assert_allclose([float(r["perm_p"]) for r in rows], expected.perm_p, rtol=1e-5)
    capsys.readouterr()


@needs_parquet
def test_parquet_output_on_a_local_cluster(files, values):
    pd = pytest.importorskip("pandas")
    folder, data, sheet = files
    args = [
        "pairs",
        data,
        "--sheet",
        sheet,
        "--by",
        "condition",
        "--levels",
        "A",
        "B",
        "--permutations",
        20,
        "--max-q",
        0.9,
        "-o",
        "pairs.parquet",
    ]
    proc = run_cli(args + ["--workers", 2], folder)
    assert proc.returncode == 0, proc.stderr
    expected = corrshift.ztest(
        values,
        group_names("A"),
        group_names("B"),
        permutations=20,
        progress=False,
        row_names=GENES,
        column_names=SAMPLES,
        max_q=0.9,
    )
    table = pd.read_parquet(folder / "pairs.parquet")
    assert list(table["row1"].astype(str)) == list(expected.row1)
    assert np.array_equal(table["q_robust"].to_numpy(), expected.q_robust)
    assert np.array_equal(table["perm_p"].to_numpy(), expected.perm_p) and table["q_value"].isna().all()
    assert "pairs.parquet (Parquet dataset)" in proc.stderr
    # The same command again reads the finished output; other options are refused.
    assert run_cli(args, folder).returncode == 0
    again = run_cli(args[:-4] + ["--max-q", 0.5, "-o", "pairs.parquet"], folder)
    assert again.returncode == 1 and "other inputs or options" in again.stderr


def test_scheduler_and_workers_exclude_each_other(files, capsys):
    folder, data, sheet = files
    with pytest.raises(SystemExit):
        cli.main(
            [
                "rows",
                str(data),
                "--sheet",
                str(sheet),
                "--by",
                "condition",
                "--levels",
                "A",
                "B",
                "--workers",
                "2",
                "--scheduler",
                "tcp://127.0.0.1:1",
            ]
        )
    assert "either --scheduler or --workers" in capsys.readouterr().err


def read_level_tsv(path):
    """Comment lines, then the header and the rows of a --within table."""
    lines = path.read_text().splitlines()
    comments = [line for line in lines if line.startswith("#")]
    header = lines[len(comments)].split("\t")
    return comments, header, [dict(zip(header, line.split("\t"))) for line in lines[len(comments) + 1 :]]


@pytest.mark.parametrize("groups", [["--by", "condition", "--levels", "stim", "ctrl"], "names"])
def test_within_compares_each_level_alone(cells, tmp_path, capsys, groups):
    cells.write_h5ad(tmp_path / "cells.h5ad")
    if groups == "names":
        names = {c: ",".join(cells.obs_names[(cells.obs.condition == c).to_numpy()]) for c in ("stim", "ctrl")}
        groups = ["--group1", names["stim"], "--group2", names["ctrl"]]
    assert (
        cli.main(
            ["pairs", str(tmp_path / "cells.h5ad")]
            + groups
            + ["--within", "cell_type", "--permutations", "20", "--top", "5", "-o", str(tmp_path / "out.tsv")]
        )
        == 0
    )
    err = capsys.readouterr().err
    assert "note: 1 level of 'cell_type' with fewer than 4 samples in a group left out" in err
    assert "10 pairs in 2 levels of 'cell_type'" in err
    comments, header, rows = read_level_tsv(tmp_path / "out.tsv")
    assert comments[0].startswith("# cell_type = T: group1 = ") and comments[1].startswith("# cell_type = B:")
    assert "'rare' (3 + 6)" in comments[2]
    assert header == ["cell_type"] + PAIR_HEADER
    for level in ("T", "B"):
        alone = cells[(cells.obs.cell_type == level).to_numpy()]
        expected = corrshift.ztest(alone, "stim", "ctrl", groupby="condition", permutations=20, top=5, progress=False)
        mine = [r for r in rows if r["cell_type"] == level]
        assert [(r["row1"], r["row2"]) for r in mine] == list(zip(expected.row1, expected.row2))
        np.testing.assert_allclose([float(r["perm_p"]) for r in mine], expected.perm_p, rtol=1e-5)


def test_within_needs_a_level_with_both_groups(cells, tmp_path, capsys):
    cells.write_h5ad(tmp_path / "cells.h5ad")
    args = ["rows", str(tmp_path / "cells.h5ad"), "--by", "condition", "--levels", "stim", "ctrl"]
    assert cli.main(args + ["--within", "cell_type", "--min-group-size", "11"]) == 1
    assert "no level has at least 11 samples in both groups; 3 levels" in capsys.readouterr().err
    assert cli.main(args + ["--within", "batch"]) == 1
    assert "--within 'batch': " in capsys.readouterr().err
    with pytest.raises(SystemExit):
        cli.main(args + ["--within", "cell_type", "--min-group-size", "3"])
    assert "must be 4 or more" in capsys.readouterr().err


def test_class_alpha_sets_the_class_level(files, capsys):
    folder, data, _ = files
    args = [
        "pairs",
        str(data),
        "--group1",
        "S00,S01,S02,S03,S04",
        "--group2",
        "S05,S06,S07,S08,S09",
        "--permutations",
        "0",
    ]
    classes = []
    for alpha in ("0.05", "0.999"):
        assert cli.main(args + ["--class-alpha", alpha]) == 0
        _, rows = read_tsv(capsys.readouterr().out)
        classes.append({r["class"] for r in rows})
    assert "0/0" in classes[0] and "0/0" not in classes[1]
    with pytest.raises(SystemExit):
        cli.main(args + ["--class-alpha", "1"])
    assert "--class-alpha: must lie between 0 and 1" in capsys.readouterr().err


def test_summary_counts_in_the_singular(files, capsys):
    folder, data, _ = files
    (folder / "one.tsv").write_text("gene1\tgene2\n")
    assert (
        cli.main(
            [
                "pairs",
                str(data),
                "--group1",
                "S00,S01,S02,S03",
                "--group2",
                "S04,S05,S06,S07",
                "--pairs",
                str(folder / "one.tsv"),
                "--permutations",
                "1",
            ]
        )
        == 0
    )
    err = capsys.readouterr().err
    assert "corrshift pairs: 1 pair, " in err and ", 1 permutation (smallest" in err


def test_level_list_of_a_numeric_column_is_cut_short(tmp_path, capsys):
    values = np.random.default_rng(3).normal(size=(3, 40)).astype(np.float32)
    np.savez(tmp_path / "data.npz", data=values, count=np.arange(1000, 1040))
    assert cli.main(["rows", str(tmp_path / "data.npz"), "--by", "count", "--levels", "1", "2"]) == 1
    err = capsys.readouterr().err
    assert "the values are '1000', '1001', " in err and "... (40 in all)" in err and len(err) < 300


@pytest.mark.skipif(not os.path.exists("/dev/full"), reason="no /dev/full here")
def test_write_errors_name_the_output(files, capsys):
    folder, data, _ = files
    args = ["rows", str(data), "--group1", "S00,S01,S02,S03", "--group2", "S04,S05,S06,S07", "--permutations", "1"]
    assert cli.main(args + ["-o", "/dev/full"]) == 1
    assert capsys.readouterr().err.endswith(
        "corrshift: error: -o /dev/full: cannot write the table: No space left on device\n"
    )


def test_h5ad_from_a_newer_anndata_says_so(files, capsys):
    anndata = pytest.importorskip("anndata")
    h5py = pytest.importorskip("h5py")
    folder, _, _ = files
    path = folder / "new.h5ad"
    anndata.AnnData(X=np.ones((4, 2), dtype=np.float32)).write_h5ad(path)
    with h5py.File(path, "r+") as handle:  # an encoding that no anndata has (yet)
        handle["X"].attrs["encoding-type"] = "tensor-array"
        handle["X"].attrs["encoding-version"] = "9.1.0"
    assert cli.main(["rows", str(path), "--group1", "0,1", "--group2", "2,3"]) == 1
    err = capsys.readouterr().err
    installed = __import__("importlib.metadata").metadata.version("anndata")
    assert (
        "new.h5ad: the file was written by a newer anndata than the anndata {} installed here: its element "
        "/X is stored as 'tensor-array' (encoding version 9.1.0), which anndata {} cannot read".format(
            installed, installed
        )
        in err
    )
