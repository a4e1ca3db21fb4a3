"""One small call of each function, and each way a call can be rejected, for valgrind.

Run by memcheck.py under valgrind; prints one line per call so that a missing line shows
where the process stopped.
"""

import numpy as np

from corrshift import _blocks, pipelines, scores

F32, I32 = np.float32, np.int32
rng = np.random.default_rng(5)
data = rng.standard_normal((7, 10)).astype(F32)
data[2] = 1.0  # a constant row: correlation -2
data[4, 3] = np.nan
g1, g2 = np.arange(5, dtype=I32), np.array([5, 6, 7, 8, 4], I32)  # column 4 in both
rows1, rows2 = np.array([0, 0, 1, 3, 3, 5], I32), np.array([1, 2, 4, 4, 6, 6], I32)
labels = np.array([0, 0, 1, 1, 1, 4, 4, 9], I32)
pairs = rng.standard_normal(21).astype(F32)


def call(name, function, *args, **keywords):
    try:
        result = function(*args, **keywords)
        shapes = [r.shape for r in (result if isinstance(result, tuple) else (result,))]
        print(name, "returned", shapes, flush=True)
    except Exception as error:  # noqa: BLE001 - every outcome is printed
        print(name, "raised", type(error).__name__, flush=True)


for score in ("mean", "median", "other"):
    call("score_indexed " + score, scores._score_indexed, data.ravel(), labels, score, 3)
    call("score_exhaustive " + score, scores._score_exhaustive, pairs, 7, score, 3)
for method, alternative in (("pearson", "two-sided"), ("spearman", "less"), ("x", "y")):
    call(
        "ztest_indexed " + method,
        pipelines._ztest_pipeline_indexed,
        data,
        rows1,
        rows2,
        g1,
        g2,
        method,
        alternative,
        4,
        3,
    )
    call("ztest_exhaustive " + method, pipelines._ztest_pipeline_exhaustive, data, g1, g2, method, alternative, 4, 2)
    call(
        "score_pipeline_indexed " + method,
        pipelines._score_pipeline_indexed,
        data,
        rows1,
        rows2,
        g1,
        g2,
        method,
        "median",
        alternative,
        4,
        2,
    )
    call(
        "score_pipeline_exhaustive " + method,
        pipelines._score_pipeline_exhaustive,
        data,
        g1,
        g2,
        method,
        "mean",
        alternative,
        4,
        3,
    )

for method, alternative in (("pearson", "two-sided"), ("spearman", "less")):
    call("ztest_block " + method, _blocks.ztest_block, data, g1, g2, (1, 4), (2, 7), method, alternative, 0, 3, 2)
    call(
        "row_score_block " + method,
        _blocks.row_score_block,
        data,
        g1,
        g2,
        (2, 6),
        method,
        "median",
        alternative,
        2,
        4,
        3,
    )
    call("pairs_block " + method, _blocks.pairs_block, data, rows1, rows2, g1, g2, method, alternative, 0, 4, 2)
    call("set_block " + method, _blocks.set_block, data, rows1, rows2, g1, g2, method, "mean", alternative, 1, 3, 2)
call(
    "ztest_block progress",
    _blocks.ztest_block,
    data,
    g1,
    g2,
    (0, 7),
    (0, 7),
    "pearson",
    "greater",
    0,
    3,
    2,
    progress=lambda done: None,
)

# Rejected calls: conversion, argument checks, job counts.
call("type error", pipelines._ztest_pipeline_exhaustive, data.astype(np.float64), g1, g2, "pearson", "less", 1, 1)
call(
    "non-contiguous copy",
    pipelines._ztest_pipeline_exhaustive,
    np.asfortranarray(data),
    g1,
    g2,
    "pearson",
    "less",
    1,
    1,
)
call("index error", pipelines._ztest_pipeline_indexed, data, rows1, rows2 + 3, g1, g2, "pearson", "less", 1, 1)
call("value error", pipelines._score_pipeline_exhaustive, data, g1, g2, "pearson", "max", "less", 1, 1)
call(
    "group sizes",
    pipelines._score_pipeline_indexed,
    data,
    rows1,
    rows2,
    g1,
    np.arange(9, dtype=I32),
    "pearson",
    "mean",
    "less",
    1,
    1,
)
call("jobs", scores._score_indexed, data.ravel(), labels, "mean", 0)
call("jobs", pipelines._ztest_pipeline_exhaustive, data, g1, g2, "pearson", "less", 1, -1)
call(
    "unaligned",
    pipelines._ztest_pipeline_exhaustive,
    np.frombuffer(b"\0" + data.tobytes(), F32, count=data.size, offset=1).reshape(data.shape),
    g1,
    g2,
    "pearson",
    "less",
    1,
    1,
)
call("list beyond int32", _blocks.ztest_block, data, [0, 2**32], g2, (0, 7), (0, 7), "pearson", "less", 0, 2, 1)
call("pairs_block lengths", _blocks.pairs_block, data, rows1[:2], rows2, g1, g2, "pearson", "less", 0, 2, 1)
call("block rows", _blocks.row_score_block, data, g1, g2, (3, 9), "pearson", "mean", "less", 0, 2, 1)
call("empty", pipelines._score_pipeline_indexed, data, rows1[:0], rows2[:0], g1, g2, "pearson", "mean", "less", 1, 1)
