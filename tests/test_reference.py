"""Guards for the reference implementation itself, against worked values."""

import numpy as np
import pytest

import reference as ref

F32 = np.float32


class TestGenerator:
    def test_first_outputs(self):
        assert ref.mt19937_outputs(733, 3) == [3443651709, 2850269050, 143809428]

    def test_matches_numpy_engine_past_several_twists(self):
        bits = np.random.MT19937(0)
        if not hasattr(bits, "_legacy_seeding"):
            pytest.skip("numpy offers no legacy seeding")
        bits._legacy_seeding(733)
        assert ref.mt19937_outputs(733, 2000) == [int(v) for v in bits.random_raw(2000)]

    def test_column_order_carries_over(self):
        shuffler = ref.Shuffler(10)
        assert shuffler.shuffle() == [3, 2, 8, 0, 1, 6, 5, 4, 9, 7]
        assert shuffler.shuffle() == [1, 4, 7, 0, 9, 2, 6, 8, 5, 3]
        assert shuffler.shuffle() == [9, 8, 0, 3, 5, 6, 2, 4, 7, 1]

    def test_first_permutation_groups(self):
        ((g1, g2),) = ref.permutation_groups(10, 4, 6, 1)
        assert g1.tolist() == [3, 2, 8, 0]
        assert g2.tolist() == [1, 6, 5, 4, 9, 7]

    def test_draw_rejects_the_incomplete_top_block(self):
        # With m = 3, 2**32 - 1 is divisible by 3, so only x = 2**32 - 1 is rejected.
        shuffler = ref.Shuffler(0)
        shuffler.engine.next = iter([2**32 - 1, 7]).__next__
        assert shuffler.draw(3) == 1


@pytest.mark.parametrize(
    "labels, runs",
    [
        ([3, 3, 5, 5, 5, 9], [(3, 0, 2), (5, 2, 5), (9, 5, 6)]),
        ([1, 1, 2, 0, 2, 3], [(1, 0, 2), (2, 2, 3), (3, 5, 6)]),
        ([5, 4, 3], [(5, 0, 1)]),
        ([-2, -2, 0], [(-2, 0, 2), (0, 2, 3)]),
        ([], []),
    ],
)
def test_label_runs(labels, runs):
    values, starts, ends = ref.label_runs(np.array(labels, np.int32))
    assert list(zip(values.tolist(), starts.tolist(), ends.tolist())) == runs


class TestSetScores:
    def test_kernels(self):
        assert ref.mean_abs_score([-1, 2, -3]) == 2
        assert ref.quantile_score([4, 1, 3, 2]) == 3
        assert ref.quantile_score([-5, 1]) == 1
        assert ref.quantile_score([-5, 1], absolute=True) == 5
        assert ref.mean_abs_score([1, 2], [-1, -1]) == 0
        assert ref.quantile_score([1, 2], []) == 0

    def test_pair_rows(self):
        assert ref.pair_row_positions(2, 4).tolist() == [1, 3, -1, 5]
        assert ref.pair_row_positions(3, 4).tolist() == [2, 4, 5, -1]

    def test_score_indexed(self):
        values, labels = [1, -3, 2, -2, 5], [0, 0, 1, 1, 1]
        run_labels, mean = ref.score_indexed(values, labels, "mean")
        assert run_labels.dtype == F32 and run_labels.tolist() == [0, 1]
        assert mean.tolist() == [2, 3]
        assert ref.score_indexed(values, labels, b"median")[1].tolist() == [1, 2]
        assert np.isnan(ref.score_indexed(values, labels, "Mean")[1]).all()

    def test_score_exhaustive(self):
        assert ref.score_exhaustive([1, -2, 4], 3, "mean").tolist() == [1.5, 2.5, 3]
        assert ref.score_exhaustive([1, -2, 4], 3, "median").tolist() == [1, 4, 4]
        assert ref.score_exhaustive([], 1, "median").tolist() == [0]

    @pytest.mark.parametrize("score, absolute", [("mean", False), ("median", False), ("median", True)])
    def test_vectorised_rows_match_the_per_item_kernels(self, score, absolute):
        n = 9
        values = np.random.default_rng(5).standard_normal(n * (n - 1) // 2).astype(F32)
        rows = ref.row_scores(values, n, score, absolute)
        for p in range(n):
            positions = ref.pair_row_positions(p, n)
            expected = (
                ref.mean_abs_score(values, positions)
                if score == "mean"
                else ref.quantile_score(values, positions, absolute)
            )
            assert rows[p].tobytes() == F32(expected).tobytes()


class TestCorrelation:
    def test_worked_rows(self):
        data = np.array([[1, 2, 3, 4], [2, 4, 6, 9], [4, 3, 2, 1], [5, 5, 5, 5]], F32)
        r = ref.pair_correlation(data, [0, 0, 0, 3], [1, 2, 3, 0])
        assert r[0] == pytest.approx(0.994377, abs=1e-6)
        assert r[1] == -1
        assert r[2] == -2 and r[3] == -2

    def test_columns_in_list_order_and_empty_list(self):
        data = np.random.default_rng(2).standard_normal((3, 8)).astype(F32)
        cols = [6, 1, 3, 0, 7]
        r = ref.pair_correlation(data, [0, 1], [2, 0], cols)
        expected = [np.corrcoef(data[i, cols], data[j, cols])[0, 1] for i, j in [(0, 2), (1, 0)]]
        assert r == pytest.approx(expected, abs=1e-5)
        assert np.isnan(ref.pair_correlation(data, [0], [1], []))[0]


class TestFisher:
    @pytest.mark.parametrize(
        "method, expected",
        [
            ("pearson", {"two-sided": 0.312291, "greater": 0.156145, "less": 0.843855}),
            ("spearman", {"two-sided": 0.409366, "greater": 0.204683, "less": 0.795317}),
        ],
    )
    def test_worked_example(self, method, expected):
        for alternative, p_expected in expected.items():
            z, p = ref.fisher_difference([0.5], 20, [0.2], 20, method, alternative)
            assert z.dtype == F32 and p.dtype == F32
            assert z[0] == pytest.approx(0.346574, abs=1e-6)
            assert p[0] == pytest.approx(p_expected, abs=1e-6)
        assert ref.fisher_difference([0.5], 20, [0.2], 20, method, "both")[1][0] == -2

    def test_clamping_and_small_groups(self):
        z, _ = ref.fisher_difference([-2, 1.5], 20, [0, 0], 20, "pearson", "less")
        assert z[0] == ref.atanhf([-0.99])[0] and z[1] == -z[0]
        z, p = ref.fisher_difference([0.5], 3, [0.2], 20, "pearson", "two-sided")
        assert p[0] == 1 and np.isfinite(z[0])
        assert ref.fisher_difference([0.5], 3, [0.2], 20, "pearson", "less")[1][0] == 0.5
        z, p = ref.fisher_difference([0.5], 2, [0.2], 20, "pearson", "greater")
        assert np.isnan(p[0]) and np.isfinite(z[0])
        z, p = ref.fisher_difference([0.5], 20, [0.2], 20, "pearson", "less", with_p=False)
        assert p is None


class TestRanks:
    def test_worked_rows(self):
        ranks = ref.rank_rows(np.array([[3, 1, 2]], F32), None, np.zeros((1, 3), F32))
        assert ranks.tolist() == [[2, 0, 1]]
        ranks = np.full((1, 5), -7, F32)
        ref.rank_rows(np.array([[5, 0, 9, 0, 1]], F32), [4, 0, 2], ranks)
        assert ranks.tolist() == [[1, -7, 2, -7, 0]]

    def test_ties_in_list_order_and_nan_last(self):
        ranks = ref.rank_rows(np.array([[2, np.nan, 2, 1]], F32), [2, 1, 0, 3], np.zeros((1, 4), F32))
        assert ranks.tolist() == [[2, 3, 1, 0]]


class TestDriver:
    def test_counting_rules(self):
        observed = np.array([1, -1, np.nan, 0.5], F32)
        permuted = np.array([-1, -2, 1, np.nan], F32)

        def scorer(source, g1, g2, observed_pass):
            return observed if observed_pass else permuted

        data = np.zeros((1, 4), F32)
        counts = {
            alt: ref.permutation_passes(data, [0, 1], [2, 3], "pearson", alt, 4, scorer)[1].tolist()
            for alt in ("two-sided", "greater", "less", "neither")
        }
        assert counts == {
            "two-sided": [1, 1, 0, 0],
            "greater": [0, 0, 0, 0],
            "less": [1, 1, 0, 0],
            "neither": [0, 0, 0, 0],
        }

    def test_spearman_shared_column_keeps_group_two_rank(self):
        data = np.array([[10, 20, 30]], F32)
        seen = []

        def scorer(source, g1, g2, observed_pass):
            seen.append(source.copy())
            return np.zeros(1, F32)

        ref.permutation_passes(data, [0, 1], [1, 2], "spearman", "less", 0, scorer)
        assert seen[0].tolist() == [[0, 0, 1]]

    def test_pipelines_agree(self):
        data = np.random.default_rng(3).standard_normal((5, 9)).astype(F32)
        cols = ([0, 2, 4, 6], [1, 3, 5, 7, 8])
        first, second = ref.condensed_pairs(5)
        for method in ("pearson", "spearman"):
            full = ref.ztest_pipeline_exhaustive(data, *cols, method, "two-sided", 6)
            listed = ref.ztest_pipeline_indexed(data, first, second, *cols, method, "two-sided", 0)
            for a, b in zip(full[:4], listed[:4]):
                assert a.tobytes() == b.tobytes()
            assert not listed[4].any()
            rows, _ = ref.score_pipeline_exhaustive(data, *cols, method, "mean", "two-sided", 0)
            assert rows.tobytes() == ref.score_exhaustive(full[2], 5, "mean").tobytes()
            labels, sets, _ = ref.score_pipeline_indexed(data, first, second, *cols, method, "median", "greater", 0)
            assert labels.tolist() == [0, 1, 2, 3]
            assert sets[0] == ref.quantile_score(full[2][:4])
