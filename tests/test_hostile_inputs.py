"""Crafted and damaged inputs: sparse matrices whose index arrays do not fit their shape (in
memory and inside .h5ad files), NumPy files that hold objects or whose headers lie, and
arguments that the libraries underneath would reject with their own errors. Each must end in
one InputError naming the source and the fault, before any work; none may crash."""

import os
import subprocess
import sys

import numpy as np
import pytest

import corrshift
from corrshift import cli, engine

sparse = pytest.importorskip("scipy.sparse")

G1, G2 = list(range(5)), list(range(5, 10))


@pytest.fixture
def no_work(monkeypatch):
    monkeypatch.setattr(engine, "run_task", lambda *a, **k: pytest.fail("work started"))


def values(rows=6, cols=10):
    return np.random.default_rng(0).normal(size=(rows, cols)).astype(np.float32)


def damaged(kind, fault):
    """A sparse matrix of format `kind` whose arrays were changed after it was made."""
    m = getattr(sparse, kind + "_matrix")(values(), **({"blocksize": (2, 2)} if kind == "bsr" else {}))
    if fault == "index":
        (m.row if kind == "coo" else m.indices)[3] = 50
    elif fault == "negative":
        (m.col if kind == "coo" else m.indices)[0] = -3
    elif fault == "falls":
        m.indptr[2] = m.indptr[-1]
    elif fault == "start":
        m.indptr[0] = 1
    elif fault == "end":
        m.indptr[-1] = 10**6
    elif fault == "short":
        m.indptr = m.indptr[:-2]
    elif fault == "float-index":
        m.indices = m.indices.astype(np.float64)
    return m


SPARSE_FAULTS = [
    ("csr", "index", "column index 50 at position 3 lies outside 0 to 9"),
    ("csr", "negative", "column index -3 at position 0"),
    ("csr", "falls", "indptr falls from"),
    ("csr", "start", "indptr starts at 1, not 0"),
    ("csr", "end", "indptr ends at 1000000, but it holds 60 indices"),
    ("csr", "short", "indptr has 5 entries, but a 6 x 10 matrix needs 7"),
    ("csr", "float-index", "indices is not a one-dimensional integer array"),
    ("csc", "index", "row index 50 at position 3 lies outside 0 to 5"),
    ("csc", "end", "indptr ends at"),
    ("coo", "index", "row index 50 at position 3"),
    ("coo", "negative", "column index -3"),
    ("bsr", "index", "block column index 50"),
]


@pytest.mark.parametrize("kind, fault, message", SPARSE_FAULTS, ids=["-".join(c[:2]) for c in SPARSE_FAULTS])
def test_damaged_sparse_matrices_are_refused_by_name(no_work, kind, fault, message):
    with pytest.raises(corrshift.InputError, match="^data: the sparse matrix's .*" + message):
        corrshift.ztest(damaged(kind, fault), G1, G2, permutations=0, progress=False)


def test_lists_of_lists_matrix_with_a_column_past_its_width(no_work):
    m = sparse.lil_matrix(values())
    m.rows[2][0] = 99
    with pytest.raises(corrshift.InputError, match="column index 99 .* outside 0 to 9"):
        corrshift.row_scores(m, G1, G2, permutations=2, progress=False)


@pytest.mark.parametrize("kind", ["csr", "csc", "coo", "bsr", "lil", "dok", "dia"])
def test_intact_sparse_matrices_of_every_format_give_the_dense_result(kind):
    x = values()
    x[np.arange(6), np.arange(6) + 2] = 0  # a zero in every row
    m = getattr(sparse, kind + "_matrix")(x, **({"blocksize": (2, 2)} if kind == "bsr" else {}))
    dense = corrshift.ztest(x, G1, G2, permutations=5, progress=False, min_cells=0)
    got = corrshift.ztest(m, G1, G2, permutations=5, progress=False, min_cells=0)
    assert np.array_equal(dense.z_diff, got.z_diff) and np.array_equal(dense.perm_p, got.perm_p)


@pytest.fixture
def h5ad_file(tmp_path):
    anndata = pytest.importorskip("anndata")
    pd = pytest.importorskip("pandas")
    pytest.importorskip("h5py")
    obs = pd.DataFrame({"g": ["a"] * 5 + ["b"] * 5}, index=["c{}".format(i) for i in range(10)])
    path = tmp_path / "cells.h5ad"
    anndata.AnnData(X=sparse.csr_matrix(values(10, 6)), obs=obs).write_h5ad(path)
    return path


@pytest.mark.parametrize(
    "dataset, position, value, message",
    [
        ("X/indices", 3, 60, r"column index 60 at position 3 lies outside 0 to 5 in a 10 x 6 matrix"),
        ("X/indices", 0, -1, r"column index -1 at position 0"),
        ("X/indptr", 4, 2, r"indptr falls from \d+ to 2 at entry 4"),
        ("X/indptr", 10, 900, r"indptr ends at 900, but it holds 60 indices"),
    ],
)
def test_h5ad_file_with_damaged_sparse_indices_is_refused_by_the_api_and_the_cli(
    no_work, h5ad_file, capsys, dataset, position, value, message
):
    import h5py

    with h5py.File(h5ad_file, "r+") as f:
        f[dataset][position] = value
    source = r"cells\.h5ad: data \(X\): the sparse matrix's "
    with pytest.raises(corrshift.InputError, match=source + message):
        corrshift.ztest(str(h5ad_file), "a", "b", groupby="g", permutations=0, progress=False)
    assert cli.main(["pairs", str(h5ad_file), "--by", "g", "--levels", "a", "b"]) == 1
    err = capsys.readouterr().err.strip().splitlines()
    assert len(err) == 1 and err[0].startswith("corrshift: error: ") and "Traceback" not in err[0]


def test_the_cli_process_survives_a_damaged_sparse_file(h5ad_file):
    # The fault that once ended the process with SIGSEGV, in a process of its own.
    import h5py

    with h5py.File(h5ad_file, "r+") as f:
        f["X/indices"][5] = 10**6
    done = subprocess.run(
        [sys.executable, "-m", "corrshift", "rows", str(h5ad_file), "--by", "g", "--levels", "a", "b"],
        capture_output=True,
        text=True,
    )
    assert done.returncode == 1 and "column index 1000000" in done.stderr


def npy_with_header(path, shape, descr="<f4", payload=64):
    header = "{{'descr': '{}', 'fortran_order': False, 'shape': {}, }}".format(descr, shape).encode("latin1")
    header += b" " * (118 - len(header)) + b"\n"
    path.write_bytes(b"\x93NUMPY\x01\x00" + len(header).to_bytes(2, "little") + header + b"\0" * payload)
    return path


def test_numpy_files_that_hold_objects_or_lie_about_their_size(no_work, tmp_path, monkeypatch):
    cases = []
    np.savez(tmp_path / "objects.npz", data=np.array([[1, "a"], [2, None]], dtype=object))
    cases.append(
        (tmp_path / "objects.npz", r"objects\.npz \(data\): holds an array of Python objects.*never unpickles")
    )
    np.save(tmp_path / "objects.npy", np.array([[1, {}]], dtype=object))
    cases.append((tmp_path / "objects.npy", "holds an array of Python objects"))
    cases.append(
        (
            npy_with_header(tmp_path / "huge.npy", (1000000, 1000000)),
            r"huge\.npy: its header describes a float32 array of shape \(1000000, 1000000\) "
            r"\(4,000,000,000,000 bytes\), but the file holds 64 bytes",
        )
    )
    np.save(tmp_path / "whole.npy", values())
    raw = (tmp_path / "whole.npy").read_bytes()
    (tmp_path / "cut.npy").write_bytes(raw[:-8])
    cases.append((tmp_path / "cut.npy", "240 bytes.*holds 232 bytes of values; the file is damaged or cut short"))
    (tmp_path / "garbage.npy").write_bytes(b"\x93NUMPY\x01\x00\x10\x00{'descr': 'xx'")
    cases.append((tmp_path / "garbage.npy", "not a readable NumPy file"))
    for path, message in cases:
        with pytest.raises(corrshift.InputError, match=message):
            corrshift.ztest(str(path), [0, 1, 2, 3], [4, 5, 6, 7], permutations=0, progress=False)
    # A header whose array would fit the file but not the memory this process may take.
    from corrshift import _memory

    monkeypatch.setattr(_memory, "headroom", lambda: (100, "the address-space limit (ulimit -v) of 1 GB"))
    with pytest.raises(
        corrshift.InputError, match=r"whole\.npy: its float32 array of shape \(6, 10\) needs 240 bytes .*ulimit -v"
    ):
        corrshift.ztest(str(tmp_path / "whole.npy"), [0, 1, 2, 3], [4, 5, 6, 7], permutations=0, progress=False)


@pytest.mark.parametrize(
    "call, message",
    [
        (
            lambda x: corrshift.ztest([[1.0, 2, 3, 4], [1, 2]], [0], [1]),
            r"rows of different lengths \(row 0 has 4, row 1 has 2\)",
        ),
        (lambda x: corrshift.ztest(x, 5, G2), r"group1 is a single value 5; .* e\.g\. \[5\]"),
        (lambda x: corrshift.ztest(x, G1, 2.5), r"group2 is a single value 2\.5; give a list"),
        (lambda x: corrshift.ztest(x, np.int64(3), G2), r"single value 3"),
        (lambda x: corrshift.ztest(x, np.array(4), G2), r"single value 4"),
        (
            lambda x: corrshift.row_scores(x, True, G2),
            r"single value True; give a list of column positions or names, or",
        ),
        (
            lambda x: corrshift.set_scores(np.vstack([x[:1] * 0 + 1, x[1:]]), {0: [1, 2]}, G1, G2, permutations=0),
            r"sets: no set is left to score: .*constant within group1: '0'",
        ),
    ],
    ids=["ragged", "int-group", "float-group", "numpy-int", "0-d", "bool", "sets-all-left-out"],
)
@pytest.mark.filterwarnings("ignore:left out")
def test_library_errors_become_refusals(no_work, call, message):
    with pytest.raises(corrshift.InputError, match=message):
        call(values())


def test_row_scores_with_every_row_left_out_is_an_empty_table():
    x = values()
    x[:, :5] = 1.0
    with pytest.warns(UserWarning, match="left out 6 row"):
        res = corrshift.row_scores(x, G1, G2, permutations=3, progress=False)
    assert len(res) == 0 and len(res.dropped["constant within group1"]) == 6


def test_scalar_level_of_groupby_is_still_a_level():
    x = values()
    res = corrshift.ztest(x, 1, 2, groupby=[1] * 5 + [2] * 5, permutations=0, progress=False)
    assert res.n1 == res.n2 == 5


if os.name != "posix":  # pragma: no cover
    pytestmark = pytest.mark.skip("POSIX only")
