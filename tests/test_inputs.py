"""Where the data comes from: AnnData objects and files, SciPy sparse matrices, paths,
per-sample labels (groupby), and the errors for data the wrong way round or unusable."""

import numpy as np
import pytest

import corrshift
from corrshift import InputError

GENES = ["g{}".format(i) for i in range(7)]
CELLS = ["c{:02d}".format(j) for j in range(16)]
CONDITION = ["A", "B"] * 8
PERMS = 15


@pytest.fixture(scope="module")
def values():
    rng = np.random.default_rng(3)
    x = rng.normal(size=(len(GENES), len(CELLS)))
    x[1] += x[0]
    x[3, x[3] < 0] = 0.0  # sparse-like zeros
    return x


def expected_pairs(values, **kw):
    kw.setdefault("min_cells", 0)  # the fixture has a sparse row
    return corrshift.ztest(
        values, "A", "B", groupby=CONDITION, row_names=GENES, column_names=CELLS, permutations=PERMS, **kw
    )


def same(a, b):
    for name in ("r1", "r2", "z_diff", "p_value", "perm_p"):
        np.testing.assert_array_equal(getattr(a, name), getattr(b, name))
    assert a.row1.tolist() == b.row1.tolist() and (a.group1, a.group2) == (b.group1, b.group2)


@pytest.fixture(scope="module")
def adata(values):
    anndata = pytest.importorskip("anndata")
    pd = pytest.importorskip("pandas")
    sparse = pytest.importorskip("scipy.sparse")
    obs = pd.DataFrame({"condition": pd.Categorical(CONDITION), "batch": [1, 2] * 8}, index=CELLS)
    a = anndata.AnnData(X=sparse.csr_matrix(values.T.astype(np.float32)), obs=obs, var=pd.DataFrame(index=GENES))
    a.layers["doubled"] = 2.0 * values.T
    return a


def test_masks_equal_levels(values):
    mask = np.asarray(CONDITION) == "A"
    res = expected_pairs(values)
    assert (res.group1, res.group2, res.n1, res.n2) == ("A", "B", 8, 8)
    by_mask = corrshift.ztest(values, mask, ~mask, row_names=GENES, column_names=CELLS, permutations=PERMS, min_cells=0)
    np.testing.assert_array_equal(by_mask.z_diff, res.z_diff)
    assert by_mask.group1 == "c00, c02, c04, ..."


class TestAnnData:
    def test_object_with_groupby_and_sparse_x(self, adata, values):
        res = corrshift.ztest(adata, "A", "B", groupby="condition", permutations=PERMS, min_cells=0)
        same(res, expected_pairs(values.astype(np.float32)))

    def test_layer(self, adata, values):
        res = corrshift.row_scores(adata, "A", "B", groupby="condition", layer="doubled", permutations=PERMS)
        ref = corrshift.row_scores(2.0 * values, "A", "B", groupby=CONDITION, row_names=GENES, permutations=PERMS)
        np.testing.assert_array_equal(res.score, ref.score)
        assert res.row.tolist() == GENES

    def test_h5ad_file_and_sets(self, adata, values, tmp_path):
        path = tmp_path / "cells.h5ad"
        adata.write_h5ad(str(path))
        sets = {"g1": ["g0", "g2"], "g4": ["g5"]}
        res = corrshift.set_scores(str(path), sets, "A", "B", groupby="condition", permutations=PERMS)
        ref = corrshift.set_scores(
            values.astype(np.float32), sets, "A", "B", groupby=CONDITION, row_names=GENES, permutations=PERMS
        )
        np.testing.assert_array_equal(res.score, ref.score)
        np.testing.assert_array_equal(res.perm_p, ref.perm_p)

    def test_obs_names_and_masks_work_too(self, adata, values):
        first = [c for c, k in zip(CELLS, CONDITION) if k == "A"]
        second = adata.obs["condition"] == "B"
        res = corrshift.ztest(adata, first, second, permutations=PERMS, min_cells=0)
        np.testing.assert_array_equal(res.z_diff, expected_pairs(values.astype(np.float32)).z_diff)

    @pytest.mark.parametrize(
        "kw, message",
        [
            (dict(groupby="cond"), "groupby='cond': no such sample annotation; there are 'condition', 'batch'"),
            (dict(groupby="condition", layer="raw"), "layer='raw': the AnnData object has no such layer"),
            (dict(groupby="batch"), r"group1: groupby='batch' has no level 'A'; its levels are '1', '2'"),
        ],
        ids=["unknown-annotation", "unknown-layer", "unknown-level"],
    )
    def test_errors(self, adata, kw, message):
        with pytest.raises(InputError, match=message):
            corrshift.ztest(adata, "A", "B", **kw)


def test_sparse_matrix_is_read_only_where_used(values):
    sparse = pytest.importorskip("scipy.sparse")
    wide = np.hstack([values, np.full((len(GENES), 1), np.nan)])  # a column in neither group
    wide[6, 0] = np.nan  # a row in no pair
    matrix = sparse.csc_matrix(wide)
    pairs = [("g0", "g1"), ("g2", "g5")]
    res = corrshift.ztest(matrix, "A", "B", pairs, groupby=CONDITION + ["C"], row_names=GENES, permutations=PERMS)
    ref = corrshift.ztest(values, "A", "B", pairs, groupby=CONDITION, row_names=GENES, permutations=PERMS)
    np.testing.assert_array_equal(res.z_diff, ref.z_diff)


@pytest.mark.parametrize("suffix", [".tsv", ".csv.gz", ".npz"])
def test_paths(values, tmp_path, suffix):
    path = tmp_path / ("data" + suffix)
    if suffix == ".npz":
        np.savez(str(path), data=values, genes=np.array(GENES), samples=np.array(CELLS), condition=np.array(CONDITION))
        res = corrshift.ztest(path, "A", "B", groupby="condition", permutations=PERMS, min_cells=0)
    else:
        import gzip

        sep = "," if ".csv" in suffix else "\t"
        text = (
            sep.join(["gene"] + CELLS)
            + "\n"
            + "".join(sep.join([g] + ["%.17g" % v for v in row]) + "\n" for g, row in zip(GENES, values))
        )
        with gzip.open(str(path), "wt") if suffix.endswith(".gz") else open(str(path), "w") as out:
            out.write(text)
        res = corrshift.ztest(str(path), "A", "B", groupby=CONDITION, permutations=PERMS, min_cells=0)
    same(res, expected_pairs(values))


@pytest.mark.parametrize(
    "make, message",
    [
        (
            lambda v, pd: (
                pd.DataFrame(v.T, index=CELLS, columns=GENES),
                ["c00", "c02", "c04", "c06"],
                ["c01", "c03", "c05", "c07"],
                None,
            ),
            "group1 names rows of data.*samples as rows.*data.T",
        ),
        (
            lambda v, pd: (v.T, np.asarray(CONDITION) == "A", np.asarray(CONDITION) == "B", None),
            "boolean mask of length 16, the number of rows, but data has 7 columns.*samples as rows",
        ),
        (lambda v, pd: (v.T, "A", "B", CONDITION), "groupby has 16 labels, one per row, but data has 7 columns"),
    ],
    ids=["dataframe-names", "numpy-mask", "groupby-labels"],
)
def test_data_the_wrong_way_round(values, make, message):
    pd = pytest.importorskip("pandas")
    data, g1, g2, groupby = make(values, pd)
    with pytest.raises(InputError, match=message):
        corrshift.ztest(data, g1, g2, groupby=groupby)


def test_pairs_as_dataframe(values):
    pd = pytest.importorskip("pandas")
    frame = pd.DataFrame({"a": ["g0", "g2"], "b": ["g1", "g5"]})
    res = corrshift.ztest(values, "A", "B", frame, groupby=CONDITION, row_names=GENES, permutations=PERMS)
    assert list(zip(res.row1, res.row2)) == [("g0", "g1"), ("g2", "g5")]
    with pytest.raises(InputError, match="two columns"):
        corrshift.ztest(values, "A", "B", frame.assign(c=1), groupby=CONDITION, row_names=GENES)


@pytest.mark.parametrize(
    "call, message",
    [
        (
            lambda v: corrshift.ztest(v, "A", "B", groupby=CONDITION, row_names=["x"] * 2 + GENES[2:]),
            r"1 row name\(s\) that occur more than once \('x'\); the pair test over all pairs",
        ),
        (
            lambda v: corrshift.row_scores(v, "A", "B", groupby=CONDITION, row_names=GENES[:6] + ["g0"]),
            "occur more than once",
        ),
        (
            lambda v: corrshift.ztest(v, "A", "B", groupby=CONDITION, permutations=2**24 + 1),
            "permutations must be between 0 and 16777216",
        ),
        (lambda v: corrshift.ztest(v, "A", "B", groupby=CONDITION, class_alpha=1.5), "class_alpha"),
        (lambda v: corrshift.ztest(v, "A", "B", groupby="condition"), "names a sample annotation, but data has none"),
        (lambda v: corrshift.ztest(v, "A", "B", layer="raw"), "only AnnData data has layers"),
        (lambda v: corrshift.ztest("no/such/file.h5ad", "A", "B"), "no such file"),
    ],
    ids=[
        "duplicate-rows",
        "duplicate-rows-scores",
        "too-many-permutations",
        "class-alpha",
        "groupby-no-sheet",
        "layer-not-anndata",
        "missing-path",
    ],
)
def test_bad_input(values, call, message):
    with pytest.raises(InputError, match=message):
        call(values)


def test_duplicate_rows_are_fine_for_listed_pairs(values):
    names = ["x", "x"] + GENES[2:]
    res = corrshift.ztest(values, "A", "B", [(0, 2)], groupby=CONDITION, row_names=names, permutations=0)
    assert res.row1.tolist() == ["x"]


def test_n_jobs_beyond_the_cores_is_capped(values):
    res = corrshift.ztest(values, "A", "B", groupby=CONDITION, permutations=PERMS, n_jobs=10**6, min_cells=0)
    np.testing.assert_array_equal(
        res.perm_p,
        corrshift.ztest(values, "A", "B", groupby=CONDITION, permutations=PERMS, n_jobs=1, min_cells=0).perm_p,
    )
