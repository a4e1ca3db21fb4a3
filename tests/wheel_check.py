"""A wheel installed into a fresh venv of its series works there (`make test-all-pythons`).

Run with the venv's interpreter, outside the source tree: the package must come from the
venv, its compiled modules must load, and a pair test, row scores and the command line must
give what NumPy gives for the same correlations. Exits non-zero on any failure.
"""

import math
import os
import subprocess
import sys

import numpy as np

import corrshift
from corrshift import pipelines

where = os.path.dirname(corrshift.__file__)
if not where.startswith(sys.prefix):
    sys.exit("wheel check: corrshift comes from {}, not from the venv {}".format(where, sys.prefix))

ex = corrshift.load_example()
data, names = ex.expression[:60], ex.probes[:60]
first, second = ex.mol_biol == "BCR/ABL", ex.mol_biol == "NEG"
res = corrshift.ztest(data, first, second, permutations=50, row_names=names, progress=False)
if len(res) != 60 * 59 // 2:
    sys.exit("wheel check: {} pairs, expected {}".format(len(res), 60 * 59 // 2))
x = data.astype(np.float64)
for k in range(0, len(res), 97):
    i, j = int(res.index1[k]), int(res.index2[k])
    for r, mask in ((res.r1[k], first), (res.r2[k], second)):
        expected = np.corrcoef(x[i, mask], x[j, mask])[0, 1]
        if abs(float(r) - expected) > 1e-6:
            sys.exit("wheel check: r of pair {} is {}, NumPy gives {}".format(k, r, expected))
    z = math.atanh(min(0.99, max(-0.99, float(res.r1[k])))) - math.atanh(min(0.99, max(-0.99, float(res.r2[k]))))
    se = math.sqrt(1.0 / (first.sum() - 3) + 1.0 / (second.sum() - 3))
    if abs(float(res.z_diff[k]) - z) > 1e-6 or abs(res.p_value[k] - math.erfc(abs(z) / se / math.sqrt(2))) > 1e-6:
        sys.exit("wheel check: z_diff or p_value of pair {} differs from the formula".format(k))
rows = corrshift.row_scores(data, first, second, permutations=20, row_names=names, progress=False)
if len(rows) != 60 or not np.all((rows.perm_p > 0) & (rows.perm_p <= 1)):
    sys.exit("wheel check: row scores are not 60 p-values in (0, 1]")
group1 = np.flatnonzero(first).astype(np.int32)
group2 = np.flatnonzero(second).astype(np.int32)
native = pipelines._ztest_pipeline_exhaustive(data[:20], group1, group2, "pearson", "two-sided", 10, 1)
if native[0].shape != (190,):
    sys.exit("wheel check: the native pipeline gave {} values, expected 190".format(native[0].shape))
script = os.path.join(os.path.dirname(sys.executable), "corrshift")
shown = subprocess.run([script, "--version"], stdout=subprocess.PIPE, universal_newlines=True, check=True).stdout
if shown.split() != ["corrshift", corrshift.__version__]:
    sys.exit("wheel check: corrshift --version printed {!r}".format(shown))
print(
    "wheel check: Python {}.{}, NumPy {}, corrshift {} from {}: {} pairs and {} rows as NumPy gives them".format(
        sys.version_info[0], sys.version_info[1], np.__version__, corrshift.__version__, where, len(res), len(rows)
    )
)
