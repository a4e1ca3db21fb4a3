"""Exact q-values from p-value counts kept in files, when merging them in memory would not
fit: the same q-values, bit for bit, as the in-memory table."""

import numpy as np
import pytest

import corrshift
from corrshift import engine
from corrshift.engine import spilled_counts
from corrshift.results import bh_qvalues
from conftest import assert_same_table, needs_parquet
from test_engine import G1, G2


@pytest.mark.parametrize("chunk", [2, 7, 200, 1 << 22])  # 200: ranges cut every 3rd value of a tile
@pytest.mark.parametrize("top", [None, 5, 400])
@pytest.mark.parametrize("dtype", [np.float32, np.float64])
def test_q_values_of_files_match_bh(monkeypatch, tmp_path, chunk, top, dtype):
    monkeypatch.setattr(spilled_counts, "CHUNK_VALUES", chunk)
    rng = np.random.default_rng(4)
    # Ties within and across tiles, NaN, exact zeros and ones.
    p = rng.choice(np.linspace(0, 1, 300), size=3000).astype(dtype)
    p[rng.random(p.size) < 0.05] = np.nan
    expected = bh_qvalues(p)
    counts = spilled_counts.SpilledCounts(0, top, str(tmp_path / "counts"))
    keep_p = 0.2
    for part in np.array_split(p, 11):
        valid = part[~np.isnan(part)]
        values, n = np.unique(valid, return_counts=True)
        kept = np.sort(valid[valid <= keep_p])
        if top is not None:
            kept = kept[:top]
        counts.add(
            {
                "m": valid.size,
                "b_hist": np.zeros(0, np.int64),
                "p_vals": values,
                "p_counts": n,
                "kept_vals": np.unique(kept),
            }
        )
    values, q = counts.q_values()
    assert values.size and values[-1] <= keep_p
    shown = ~np.isnan(p) & (p <= values[-1])
    got = q[np.searchsorted(values, p[shown])]
    assert np.array_equal(got.view(np.uint64), expected[shown].view(np.uint64))


def test_counts_file_cut_short_is_an_error(tmp_path):
    counts = spilled_counts.SpilledCounts(0, None, str(tmp_path / "counts"))
    for part in np.array_split(np.linspace(0.001, 1, 500), 3):
        counts.add(
            {
                "m": part.size,
                "b_hist": np.zeros(0, np.int64),
                "p_vals": part,
                "p_counts": np.ones(part.size, np.int64),
                "kept_vals": part[part <= 0.5],
            }
        )
    with open(counts.path, "r+b") as fh:
        fh.truncate(16 * 400)
    with pytest.raises(OSError, match="shorter than written"):
        counts.q_values()


@pytest.mark.parametrize(
    "options",
    [
        {"max_p": 0.05},
        {"top": 9},
        {"max_p": 0.3, "top": 40},
        {"max_p": 0.2, "perm_q": True},
        {"max_p": 0.1, "method": "spearman"},
    ],
    ids=["max_p", "top", "max_p-top", "every-pass", "spearman"],
)
def test_runs_that_spill_give_the_same_table(engine_small, monkeypatch, options):
    rng = np.random.default_rng(9)
    x = rng.normal(size=(50, 17)).astype(np.float32)
    x[:10, :8] += 2 * rng.normal(size=8).astype(np.float32)
    options = dict(options, significance="normal")  # the counts of the normal p-values
    expected = corrshift.ztest(x, G1, G2, permutations=20, progress=False, **options)
    monkeypatch.setattr(engine, "_available_memory", lambda: 10000)  # too little to merge the counts
    monkeypatch.setattr(spilled_counts, "CHUNK_VALUES", 64)
    made = []
    real = spilled_counts.SpilledCounts.q_values
    monkeypatch.setattr(spilled_counts.SpilledCounts, "q_values", lambda self: made.append(1) or real(self))
    assert_same_table(expected, corrshift.ztest(x, G1, G2, permutations=20, progress=False, **options))
    assert made


@needs_parquet
def test_files_of_a_spilled_run(engine_small, monkeypatch, tmp_path):
    rng = np.random.default_rng(10)
    x = rng.normal(size=(40, 17)).astype(np.float32)
    expected = corrshift.ztest(x, G1, G2, permutations=10, progress=False, out=tmp_path / "a")
    monkeypatch.setattr(engine, "_available_memory", lambda: 10000)
    monkeypatch.setattr(spilled_counts, "CHUNK_VALUES", 32)
    made = []
    real = spilled_counts.SpilledCounts.q_values
    monkeypatch.setattr(spilled_counts.SpilledCounts, "q_values", lambda self: made.append(1) or real(self))
    got = corrshift.ztest(x, G1, G2, permutations=10, progress=False, out=tmp_path / "b")
    assert_same_table(expected, got)
    assert made and not (tmp_path / "b" / "_work").exists()
    for name in ("part-00000.parquet",):
        assert (tmp_path / "a" / name).read_bytes() == (tmp_path / "b" / name).read_bytes()
