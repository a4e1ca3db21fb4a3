"""The Python API on the bundled leukemia data, in a few seconds.

Run: python examples/python_api.py
"""

import os
import tempfile

import corrshift

ex = corrshift.load_example()
bcr_abl = ex.mol_biol == "BCR/ABL"  # boolean masks over the 79 samples
neg = ex.mol_biol == "NEG"
rows = slice(0, 300)  # the first 300 probe sets keep this quick

# Every pair of the 300 probe sets: 44,850 z-tests, 200 permutation passes.
pairs = corrshift.ztest(
    ex.expression[rows], bcr_abl, neg, permutations=200, row_names=ex.probes[rows], column_names=ex.samples
)
print(pairs.format(10))

# Chosen pairs, by name.
some = corrshift.ztest(
    ex.expression,
    bcr_abl,
    neg,
    [("1005_at", "1011_s_at"), ("1038_s_at", "1005_at")],
    permutations=200,
    row_names=ex.probes,
)
print(some.format())

# A hub probe set and its partners, scored as one set.
sets = {"1005_at": ["1011_s_at", "1038_s_at", "1065_at"]}
print(
    corrshift.set_scores(
        ex.expression, sets, bcr_abl, neg, score="mean", permutations=200, row_names=ex.probes
    ).format()
)

# The whole table, most significant first (".gz" compresses; to_pandas() gives a DataFrame).
path = os.path.join(tempfile.gettempdir(), "corrshift-pairs-300.tsv")
pairs.to_tsv(path)
print("wrote", path)
