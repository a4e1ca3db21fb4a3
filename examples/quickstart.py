"""A first look at corrshift on generated data: a z-test of every pair of rows, row scores
and set scores, with the native functions called directly."""

import time

import numpy as np

from corrshift import pipelines, scores

rng = np.random.default_rng(7)
rows, cols = 300, 60
data = rng.normal(size=(rows, cols)).astype(np.float32)
# Rows 0 and 1 move together in the first condition only.
data[1, :30] = data[0, :30] + rng.normal(scale=0.3, size=30).astype(np.float32)
group1 = np.arange(0, 30, dtype=np.int32)
group2 = np.arange(30, 60, dtype=np.int32)

start = time.perf_counter()
first_r, second_r, z_diff, p_value, perm_p = pipelines._ztest_pipeline_exhaustive(
    data, group1, group2, "pearson", "two-sided", 200, 2
)
print(f"{len(z_diff)} pairs in {time.perf_counter() - start:.2f} s")
i, j = np.triu_indices(rows, 1)
for k in np.argsort(p_value)[:5]:
    print(
        f"  rows {i[k]:3d}-{j[k]:3d}  r1 {first_r[k]:+.3f}  r2 {second_r[k]:+.3f}  "
        f"z_diff {z_diff[k]:+.3f}  p {p_value[k]:.2e}  permutation p {perm_p[k]:.3f}"
    )

row_score, row_p = pipelines._score_pipeline_exhaustive(data, group1, group2, "pearson", "mean", "two-sided", 100, 2)
print("rows with the highest mean |z_diff|:", np.argsort(-row_score)[:5])

labels, means = scores._score_indexed(z_diff[:10], np.repeat(np.arange(5, dtype=np.int32), 2), "mean", 2)
print("mean |z_diff| of five sets of two pairs:", dict(zip(labels.astype(int), np.round(means, 3))))
