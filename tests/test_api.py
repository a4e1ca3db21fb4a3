"""The Python API: names, group forms, pair and set building, q-values, errors, and
equality with the native calls it wraps."""

import io

import numpy as np
import pytest

import corrshift
from corrshift import InputError, _blocks, bh_qvalues
from corrshift.results import NONZERO_COLUMNS

PERMS = 20
ROWS, COLS = 9, 14
ROW_NAMES = ["g{}".format(i) for i in range(ROWS)]
COL_NAMES = ["s{}".format(j) for j in range(COLS)]


@pytest.fixture(scope="module")
def data():
    rng = np.random.default_rng(7)
    values = rng.normal(size=(ROWS, COLS)).astype(np.float32)
    values[1] += 0.8 * values[0]  # some real correlation
    return values


def named(**kw):
    return dict(row_names=ROW_NAMES, column_names=COL_NAMES, permutations=PERMS, n_jobs=2, **kw)


G1, G2 = [0, 2, 4, 6, 8, 10], [1, 3, 5, 7, 9, 11, 13]  # column 12 is in neither group


def sub_of(values, g1=G1, g2=G2):
    """What the API hands the block functions: the groups' columns, each row scaled by a
    power of two (exact)."""
    sub = np.asarray(values, dtype=np.float64)[:, list(g1) + list(g2)]
    sub = np.ldexp(sub, -np.frexp(np.abs(sub).max(axis=1))[1][:, None]).astype(np.float32)
    return sub, np.arange(len(g1), dtype=np.int32), np.arange(len(g1), len(g1) + len(g2), dtype=np.int32)


def plus_one(counts, permutations=PERMS):
    """(b + 1) / (P + 1) from the block functions' counts b."""
    return (counts.astype(np.float64) + 1) / (permutations + 1)


def assert_same(actual, expected):
    *values, perm_p = actual
    *block_values, counts = expected
    for a, e in zip(values, block_values):
        np.testing.assert_array_equal(a, e)
    np.testing.assert_array_equal(perm_p, plus_one(counts))


class TestEqualsBlocks:
    """The API's numbers are the block functions' API statistics over the groups' columns."""

    @pytest.mark.parametrize("method", ["pearson", "spearman"])
    @pytest.mark.parametrize("alternative", ["two-sided", "greater", "less"])
    def test_all_pairs_of_whole_matrix(self, data, method, alternative):
        g1, g2 = np.arange(6, dtype=np.int32), np.arange(6, COLS, dtype=np.int32)
        res = corrshift.ztest(data, g1, g2, method=method, alternative=alternative, permutations=PERMS)
        sub, _, _ = sub_of(data, g1.tolist(), g2.tolist())
        block = _blocks.ztest_block(
            sub, g1, g2, (0, ROWS), (0, ROWS), method, alternative, 0, PERMS + 1, 1, statistics="api"
        )
        assert_same((res.r1, res.r2, res.z_diff, res.p_value, res.perm_p), block)
        assert res.p_value.dtype == np.float64

    def test_groups_become_their_own_submatrix(self, data):
        res = corrshift.ztest(data, G1, G2, **named())
        sub, a, b = sub_of(data)
        block = _blocks.ztest_block(
            sub, a, b, (0, ROWS), (0, ROWS), "pearson", "two-sided", 0, PERMS + 1, 1, statistics="api"
        )
        assert_same((res.r1, res.r2, res.z_diff, res.p_value, res.perm_p), block)

    def test_listed_pairs_match_all_pairs(self, data):
        every = corrshift.ztest(data, G1, G2, **named())
        pairs = [("g5", "g7"), ("g0", "g1"), (8, 2), ("g1", "g0")]
        some = corrshift.ztest(data, G1, G2, pairs, **named())
        lookup = {(int(i), int(j)): k for k, (i, j) in enumerate(zip(every.index1, every.index2))}
        for k, (i, j) in enumerate(zip(some.index1, some.index2)):
            at = lookup[(min(i, j), max(i, j))]  # a pair's statistics do not depend on its order
            assert some.r1[k] == every.r1[at] and some.z_diff[k] == every.z_diff[at]
            assert some.perm_p[k] == every.perm_p[at]
        assert some.row1.tolist() == ["g5", "g0", "g8", "g1"]

    def test_row_scores(self, data):
        res = corrshift.row_scores(data, G1, G2, score="mean", **named())
        sub, a, b = sub_of(data)
        block = _blocks.row_score_block(
            sub, a, b, (0, ROWS), "pearson", "mean", "two-sided", 0, PERMS + 1, 1, statistics="api"
        )
        assert_same((res.score, res.perm_p), block)
        assert res.row.tolist() == ROW_NAMES

    @pytest.mark.parametrize("score", ["mean", "median"])
    def test_set_scores_in_given_order(self, data, score):
        sets = {"g6": ["g0", "g3", "g8"], "g2": ["g7", "g1"], "g4": "g5"}
        res = corrshift.set_scores(data, sets, G1, G2, score=score, alternative="greater", **named())
        assert res.hub.tolist() == ["g6", "g2", "g4"]
        assert res.size.tolist() == [3, 2, 1]
        sub, a, b = sub_of(data)
        first = np.array([2, 2, 4, 6, 6, 6], dtype=np.int32)
        second = np.array([7, 1, 5, 0, 3, 8], dtype=np.int32)
        labels, observed, counts = _blocks.set_block(
            sub, first, second, a, b, "pearson", score, "greater", 0, PERMS + 1, 1, statistics="api"
        )
        assert labels.tolist() == [2, 4, 6]
        used = [0, 1, 2, 3, 4, 5, 6, 7, 8]  # every row takes part, so none is renumbered
        assert sorted(set(first) | set(second)) == used
        assert_same((res.score, res.perm_p), (observed[[2, 0, 1]], counts[[2, 0, 1]]))

    def test_float64_and_int_input_are_converted_once(self, data):
        ref = corrshift.ztest(data, G1, G2, **named())
        res = corrshift.ztest(data.astype(np.float64), G1, G2, **named())
        np.testing.assert_array_equal(res.z_diff, ref.z_diff)
        counts = np.arange(ROWS * COLS).reshape(ROWS, COLS) % 7 + np.arange(ROWS)[:, None]
        by_int = corrshift.ztest(counts, G1, G2, permutations=0)
        by_float = corrshift.ztest(counts.astype(np.float32), G1, G2, permutations=0)
        np.testing.assert_array_equal(by_int.z_diff, by_float.z_diff)

    def test_overlap_when_allowed_uses_the_sample_in_both(self, data):
        g1, g2 = [0, 1, 2, 3, 4], [4, 5, 6, 7, 8]
        res = corrshift.row_scores(data, g1, g2, allow_overlap=True, **named())
        sub, a, b = sub_of(data, g1, g2)
        block = _blocks.row_score_block(
            sub, a, b, (0, ROWS), "pearson", "median", "two-sided", 0, PERMS + 1, 1, statistics="api"
        )
        assert_same((res.score, res.perm_p), block)


class TestNamesAndGroups:
    @pytest.mark.parametrize("form", ["indices", "names", "mask", "numpy-indices"])
    def test_group_forms_agree(self, data, form):
        mask1, mask2 = np.isin(np.arange(COLS), G1), np.isin(np.arange(COLS), G2)
        groups = {
            "indices": (G1, G2),
            "names": ([COL_NAMES[c] for c in G1], [COL_NAMES[c] for c in G2]),
            "mask": (mask1, mask2),
            "numpy-indices": (np.array(G1, dtype=np.int64), np.array(G2, dtype=np.uint8)),
        }[form]
        res = corrshift.ztest(data, *groups, **named())
        ref = corrshift.ztest(data, G1, G2, **named())
        np.testing.assert_array_equal(res.z_diff, ref.z_diff)
        np.testing.assert_array_equal(res.perm_p, ref.perm_p)
        assert (res.n1, res.n2) == (6, 7)

    def test_all_pairs_come_in_condensed_order(self, data):
        res = corrshift.ztest(data[:4], G1, G2, permutations=0)
        assert list(zip(res.index1.tolist(), res.index2.tolist())) == [(0, 1), (0, 2), (0, 3), (1, 2), (1, 3), (2, 3)]
        assert res.row1.tolist() == ["0", "0", "0", "1", "1", "2"]  # default row names

    def test_pairs_as_array(self, data):
        res = corrshift.ztest(data, G1, G2, np.array([[3, 4], [0, 8]]), **named())
        assert res.row1.tolist() == ["g3", "g0"] and res.row2.tolist() == ["g4", "g8"]

    def test_dataframe_keeps_names(self, data):
        pd = pytest.importorskip("pandas")
        frame = pd.DataFrame(data, index=ROW_NAMES, columns=COL_NAMES)
        sheet = pd.Series(["A", "B"] * 7, index=COL_NAMES[::-1])  # other order than the columns
        res = corrshift.ztest(frame, sheet == "A", sheet == "B", permutations=PERMS, n_jobs=1)
        first = [c for c in COL_NAMES if sheet[c] == "A"]
        second = [c for c in COL_NAMES if sheet[c] == "B"]
        ref = corrshift.ztest(data, first, second, row_names=ROW_NAMES, column_names=COL_NAMES, permutations=PERMS)
        np.testing.assert_array_equal(res.z_diff, ref.z_diff)
        table = res.to_pandas()
        assert list(table.columns) == list(res.columns)
        assert table["row1"].iloc[0] == "g0" and table["n2"].iloc[0] == 7

    def test_no_permutations_gives_no_permutation_p(self, data):
        res = corrshift.ztest(data, G1, G2, permutations=0)
        assert np.isnan(res.perm_p).all() and np.isnan(res.perm_q).all()
        assert res.top(1).p_robust[0] == np.nanmin(res.p_robust)


def direct_bh(p):
    """q_i = min over p_j >= p_i of p_j * m / rank_j, rank_j = #{k : p_k <= p_j}."""
    p = np.asarray(p, dtype=np.float64)
    ok = ~np.isnan(p)
    m = ok.sum()
    q = np.full(p.shape, np.nan)
    for i in np.flatnonzero(ok):
        q[i] = min(1.0, min(p[j] * m / (p[ok] <= p[j]).sum() for j in np.flatnonzero(ok) if p[j] >= p[i]))
    return q


class TestQValues:
    def test_worked_example(self):
        np.testing.assert_allclose(bh_qvalues([0.01, 0.04, 0.03, 0.005]), [0.02, 0.04, 0.04, 0.02])

    @pytest.mark.parametrize("seed", [0, 1, 2])
    def test_against_direct_computation(self, seed):
        rng = np.random.default_rng(seed)
        p = np.round(rng.random(40) ** 2, 2)  # many ties, some zeros
        p[[3, 17]] = np.nan
        np.testing.assert_allclose(bh_qvalues(p), direct_bh(p), rtol=1e-12)

    def test_results_carry_q_values_of_both_p_values(self, data):
        res = corrshift.ztest(data, G1, G2, **named())
        np.testing.assert_allclose(res.q_value, direct_bh(res.p_value), rtol=1e-12)
        np.testing.assert_allclose(res.perm_q, direct_bh(res.perm_p), rtol=1e-12)


class TestTables:
    @pytest.mark.parametrize("significance,column", [("robust", "p_robust"), ("normal", "p_value")])
    def test_top_sorts_by_the_headline_p_then_difference(self, data, significance, column):
        res = corrshift.ztest(data, G1, G2, significance=significance, **named())
        best = res.top(10)
        keys = list(zip(getattr(best, column).tolist(), (-np.abs(best.z_diff)).tolist()))
        assert keys == sorted(keys) and len(best) == 10

    def test_tsv_round_trip(self, data, tmp_path):
        res = corrshift.ztest(data, G1, G2, **named())
        path = tmp_path / "pairs.tsv.gz"
        res.to_tsv(path, top=5)
        import gzip

        lines = gzip.open(path, "rt").read().splitlines()
        assert lines[0] == "# group1 = s0, s2, s4, ... (6 samples); group2 = s1, s3, s5, ... (7 samples)"
        assert lines[1].split("\t") == list(res.columns)
        best = res.top(5)
        for k, line in enumerate(lines[2:]):
            fields = line.split("\t")
            assert fields[:2] == [best.row1[k], best.row2[k]]
            np.testing.assert_allclose(float(fields[7]), best.z_diff[k], rtol=1e-5)
            assert fields[6] == best.pair_class[k]
            at = lines[1].split("\t").index("n1")
            assert fields[at : at + 2] == ["6", "7"]
        assert len(lines) == 7

    def test_tsv_writes_missing_as_na(self, data):
        out = io.StringIO()
        corrshift.row_scores(data, G1, G2, permutations=0).to_tsv(out, sort=False)
        row = out.getvalue().splitlines()[2].split("\t")
        assert row[0] == "0" and row[2:4] == ["NA", "NA"]

    def test_views_share_one_order_and_the_labels(self, data):
        pd = pytest.importorskip("pandas")
        res = corrshift.ztest(data, G1, G2, **named())
        order = res.order()
        frame = res.to_pandas()
        assert list(frame.columns) == [
            "row1",
            "row2",
            "r1",
            "r2",
            "p1",
            "p2",
            "class",
            "z_diff",
            "p_robust",
            "q_robust",
            "p_how",
            "n_passes",
            "p_value",
            "q_value",
            "perm_p",
            "perm_q",
            "n1",
            "n2",
            "nonzero1_row1",
            "nonzero1_row2",
            "nonzero2_row1",
            "nonzero2_row2",
        ]
        assert frame["row1"].tolist() == res.row1[order].tolist()
        assert frame.attrs["group1"] == "s0, s2, s4, ..." and frame.attrs["n2"] == 7
        table = pd.read_csv(io.StringIO(_tsv(res)), sep="\t", comment="#")
        assert table["row2"].tolist() == frame["row2"].tolist()
        shown = res.format(4).splitlines()
        assert shown[0].split() == [c for c in res.columns if c not in ("n1", "n2") + NONZERO_COLUMNS]
        assert [line.split()[:2] for line in shown[1:]] == frame[["row1", "row2"]].head(4).values.tolist()
        assert "group1 = s0, s2, s4, ... (6 samples)" in repr(res)
        unsorted = res.to_pandas(sort=False)
        assert unsorted["row1"].tolist() == res.row1.tolist()

    def test_to_pandas_without_pandas(self, data, monkeypatch):
        import sys

        monkeypatch.setitem(sys.modules, "pandas", None)
        with pytest.raises(ImportError, match="pip install pandas"):
            corrshift.row_scores(data, G1, G2, permutations=0).to_pandas()


def _tsv(res):
    out = io.StringIO()
    res.to_tsv(out)
    return out.getvalue()


BAD = [
    ("empty-group", dict(group1=[]), "group1 is empty"),
    ("small-group", dict(group2=[1, 3, 5]), "group2 has 3 column.*at least 4 observations"),
    ("overlap", dict(group2=[0, 1, 3, 5]), r"share 1 column.*'s0'.*allow_overlap=True"),
    ("unknown-name", dict(group1=["s0", "s2", "s4", "nope"]), "group1 names 1 column.*'nope'"),
    ("duplicate", dict(group1=[0, 0, 2, 4]), "group1 lists column 's0' more than once"),
    ("out-of-range", dict(group1=[0, 2, 4, 99]), r"group1\[3\] = 99 is not a column of data \(0 to 13\)"),
    ("mask-length", dict(group1=[True, False]), "boolean mask of length 2 but data has 14 columns"),
    ("mixed", dict(group1=[0, "s2", 4, 6]), "not a mix"),
    ("single-string", dict(group1="s0"), "single string"),
    ("method", dict(method="Pearson"), "method must be one of 'pearson', 'spearman'"),
    ("alternative", dict(alternative="two_sided"), "alternative must be one of"),
    ("permutations", dict(permutations=-1), "permutations must be between 0"),
    ("permutations-type", dict(permutations=10.0), "permutations must be a whole number"),
    ("jobs", dict(n_jobs=0), "n_jobs must be a positive whole number"),
    ("pairs-self", dict(pairs=[("g1", "g1")]), r"pairs\[0\] pairs row 'g1' with itself"),
    ("pairs-unknown", dict(pairs=[("g1", "zz")]), "pairs.*names 1 row.*'zz'"),
    ("pairs-shape", dict(pairs=[("g1", "g2", "g3")]), r"pairs\[0\] has 3 entries"),
    ("pairs-empty", dict(pairs=[]), "pairs is empty"),
]


@pytest.mark.parametrize("change, message", [b[1:] for b in BAD], ids=[b[0] for b in BAD])
def test_user_errors_name_the_argument(data, change, message):
    args = dict(
        group1=[0, 2, 4, 6],
        group2=[1, 3, 5, 7],
        pairs=None,
        row_names=ROW_NAMES,
        column_names=COL_NAMES,
        permutations=PERMS,
    )
    args.update(change)
    with pytest.raises(InputError, match=message):
        corrshift.ztest(data, **args)


@pytest.mark.parametrize(
    "values, message",
    [
        (np.zeros(5), "two-dimensional"),
        (np.array([["a", "b"]]), "real numbers, got strings"),
        (np.ones((2, 8), dtype=bool), "real numbers, got booleans"),
    ],
    ids=["1-D", "strings", "booleans"],
)
def test_unusable_data(values, message):
    with pytest.raises(InputError, match=message):
        corrshift.ztest(values, [0, 1, 2, 3], [4, 5, 6, 7])


def test_data_problems_are_located(data):
    bad = data.copy()
    bad[3, 5] = np.nan
    with pytest.raises(InputError, match="1 missing or non-finite.*row 'g3', column 's5'"):
        corrshift.ztest(bad, G1, G2, **named())
    with pytest.raises(InputError, match="no column names; pass column_names"):
        corrshift.ztest(data, ["a", "b", "c", "d"], G2)


def test_all_pairs_beyond_one_call_need_a_filter_or_out():
    # More rows than one native call can number: the engine tiles them, but the whole
    # in-memory table would not fit; the refusal says so, with the memory, before any work.
    values = np.random.default_rng(0).normal(size=(corrshift.MAX_EXHAUSTIVE_ROWS + 1, 8)).astype(np.float32)
    with pytest.raises(InputError, match=r"1,073,767,311 pairs .* need about 9\d\.\d GB in memory.*max_q="):
        corrshift.ztest(values, [0, 1, 2, 3], [4, 5, 6, 7])


@pytest.mark.parametrize(
    "sets, message",
    [
        ({}, "sets is empty"),
        ({"g1": []}, r"sets\['g1'\] has no partner rows"),
        ({"g1": ["g2", "g1"]}, "lists the hub row itself"),
        ({"g1": ["g2", "g2"]}, "partner 'g2' more than once"),
        ({"g1": ["g2"], 1: ["g3"]}, "row 'g1' is the hub of two sets"),
        ({"zz": ["g2"]}, "1 row.*'zz'"),
        ("g1", "must map each hub row"),
    ],
    ids=["empty", "no-partners", "self", "duplicate-partner", "same-hub", "unknown-hub", "string"],
)
def test_set_errors(data, sets, message):
    with pytest.raises(InputError, match=message):
        corrshift.set_scores(data, sets, G1, G2, **named())


def test_dataframe_with_label_column():
    pd = pytest.importorskip("pandas")
    frame = pd.DataFrame({"gene": ["a", "b"], "s1": [1.0, 2.0], "s2": [3.0, 1.0]})
    with pytest.raises(InputError, match=r"'gene' are not numeric.*set_index\('gene'\)"):
        corrshift.ztest(frame, [0], [1])


class TestSparseRows:
    """The default min_cells and the non-zero counts of each pair's rows."""

    @staticmethod
    def sparse(seed=5):
        rng = np.random.default_rng(seed)
        x = rng.normal(size=(6, 12)) + 3.0
        x[1, [0, 1, 2, 3]] = 0.0  # 2 non-zero of the 6 in group 1
        x[2, 6:11] = 0.0  # 1 non-zero of the 6 in group 2
        x[3, [0, 6]] = 0.0  # 5 and 5: kept
        return x

    def test_default_leaves_out_rows_expressed_in_fewer_than_five(self):
        x = self.sparse()
        g1, g2 = list(range(6)), list(range(6, 12))
        with pytest.warns(UserWarning, match="min_cells=5"):
            res = corrshift.ztest(x, g1, g2, permutations=0)
        assert sorted(set(res.row1) | set(res.row2)) == ["0", "3", "4", "5"]
        assert sum(len(v) for v in res.dropped.values()) == 2
        for off in (0, None):
            every = corrshift.ztest(x, g1, g2, permutations=0, min_cells=off)
            assert len(every) == 15 and not every.dropped
        # Capped at the group's size: groups of 4 need all 4 non-zero, not 5.
        y = np.random.default_rng(1).normal(size=(5, 8)) + 9.0
        y[2, 0] = 0.0
        with pytest.warns(UserWarning, match="fewer than 4 of the 4 samples of group1"):
            small = corrshift.ztest(y, [0, 1, 2, 3], [4, 5, 6, 7], permutations=0)
        assert "2" not in set(small.row1) | set(small.row2) and len(small) == 6

    def test_non_zero_counts_follow_the_pairs(self, tmp_path):
        pd = pytest.importorskip("pandas")
        x = self.sparse()
        res = corrshift.ztest(
            x, list(range(6)), list(range(6, 12)), [(3, 0), (1, 2), (0, 4)], min_cells=0, permutations=0
        )
        expect = {0: (6, 6), 1: (2, 6), 2: (6, 1), 3: (5, 5), 4: (6, 6)}
        frame = res.to_pandas(sort=False)
        for k, (a, b) in enumerate([(3, 0), (1, 2), (0, 4)]):
            row = frame.iloc[k]
            assert (row["nonzero1_row1"], row["nonzero2_row1"]) == expect[a]
            assert (row["nonzero1_row2"], row["nonzero2_row2"]) == expect[b]
        # Cut tables and files keep them.
        best = res.top(1)
        assert best.nonzero1_row1.tolist() == [expect[int(best.row1[0])][0]]
        path = tmp_path / "t.tsv"
        res.to_tsv(path, sort=False)
        table = pd.read_csv(path, sep="\t", comment="#")
        assert table["nonzero2_row2"].tolist() == [6, 1, 6]
