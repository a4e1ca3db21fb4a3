"""One call of every function of the compiled modules, for comparing their results under
two NumPy releases bit for bit (tests/test_numpy_versions.py).

Run as a script, ``python numpy_battery.py NUMPY_DIR INPUTS OUTPUTS`` imports NumPy from
NUMPY_DIR first, computes the results of the inputs saved in INPUTS (an .npz file) and
saves them, with the NumPy version, to OUTPUTS.
"""

import sys

if __name__ == "__main__":  # the NumPy to run under comes before the venv's own
    sys.path.insert(0, sys.argv[1])

from typing import Dict  # noqa: E402

import numpy as np  # noqa: E402

from corrshift import _baseline, _blocks, pipelines, scores  # noqa: E402

F32, I32 = np.float32, np.int32
PERMUTATIONS = 12


def inputs() -> Dict[str, np.ndarray]:
    rng = np.random.default_rng(17)
    return {
        # Under a NumPy whose layout the binding misread, every pair of this matrix got
        # the first pair's values.
        "issue": rng.standard_normal((6, 40)).astype(F32),
        "data": rng.standard_normal((37, 30)).astype(F32),
        "first": np.arange(0, 13, dtype=I32),
        "second": np.arange(13, 30, dtype=I32),
        "first_rows": np.sort(rng.integers(0, 37, 120)).astype(I32),
        "second_rows": rng.integers(0, 37, 120).astype(I32),
        "values": rng.standard_normal(666).astype(F32),
        "labels": np.sort(rng.integers(-3, 40, 666)).astype(I32),
    }


def results(x: Dict[str, np.ndarray]) -> Dict[str, np.ndarray]:
    """Every result array, by call and position."""
    out: Dict[str, np.ndarray] = {}

    def keep(name: str, result: object) -> None:
        for k, array in enumerate(result if isinstance(result, tuple) else (result,)):
            out["%s/%d" % (name, k)] = array

    data, g1, g2, rows1, rows2 = x["data"], x["first"], x["second"], x["first_rows"], x["second_rows"]
    for score in ["mean", "median"]:
        keep("scores._score_indexed/" + score, scores._score_indexed(x["values"], x["labels"], score, 2))
        keep("scores._score_exhaustive/" + score, scores._score_exhaustive(x["values"], 37, score, 2))
    for module in [pipelines, _baseline]:
        name = module.__name__.split(".")[-1]
        for method in ["pearson", "spearman"]:
            tag = "%s/%s/" % (name, method)
            keep(
                tag + "issue",
                module._ztest_pipeline_exhaustive(
                    x["issue"],
                    np.arange(20, dtype=I32),
                    np.arange(20, 40, dtype=I32),
                    method,
                    "two-sided",
                    PERMUTATIONS,
                    2,
                ),
            )
            keep(
                tag + "ztest_exhaustive",
                module._ztest_pipeline_exhaustive(data, g1, g2, method, "greater", PERMUTATIONS, 2),
            )
            keep(
                tag + "ztest_indexed",
                module._ztest_pipeline_indexed(data, rows1, rows2, g1, g2, method, "less", PERMUTATIONS, 2),
            )
            keep(
                tag + "score_indexed",
                module._score_pipeline_indexed(
                    data, rows1, rows2, g1, g2, method, "mean", "two-sided", PERMUTATIONS, 2
                ),
            )
            keep(
                tag + "score_exhaustive",
                module._score_pipeline_exhaustive(data, g1, g2, method, "median", "two-sided", PERMUTATIONS, 2),
            )
    for method in ["pearson", "spearman"]:
        tag = "_blocks/%s/" % method
        keep(
            tag + "ztest_block",
            _blocks.ztest_block(data, g1, g2, (3, 20), (0, 37), method, "two-sided", 0, PERMUTATIONS + 1, 2),
        )
        keep(tag + "pairs_block", _blocks.pairs_block(data, rows1, rows2, g1, g2, method, "greater", 1, 9, 2))
        keep(
            tag + "row_score_block",
            _blocks.row_score_block(data, g1, g2, (5, 30), method, "mean", "less", 0, PERMUTATIONS + 1, 2),
        )
        keep(
            tag + "set_block",
            _blocks.set_block(data, rows1, rows2, g1, g2, method, "median", "two-sided", 0, PERMUTATIONS + 1, 2),
        )
    return out


if __name__ == "__main__":
    with np.load(sys.argv[2]) as saved:
        given = {name: saved[name] for name in saved.files}
    np.savez(sys.argv[3], numpy_version=np.array(np.__version__), **results(given))
