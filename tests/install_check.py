"""A user's install beside today's single-cell stack (`make test-install`).

Run with the interpreter of a fresh venv that already holds scanpy, anndata and the rest,
and the paths of corrshift wheels, sdists or source folders, each installed in turn as a
user would (an sdist or a folder is built in pip's isolated build environment): installing
must change no version already installed and leave `pip check` clean, and the package must
then import beside scanpy and test the genes of scanpy's bundled pbmc68k_reduced data, read
offline, as AnnData, with the same bits as the same matrix given as a NumPy array. Each is
uninstalled again before the next. Exits non-zero on any failure.
"""

import json
import subprocess
import sys
import tempfile

USE = """
import warnings
import numpy as np, scanpy as sc, corrshift
adata = sc.datasets.pbmc68k_reduced()
levels = ("CD14+ Monocyte", "CD56+ NK")
labels = adata.obs["bulk_labels"].to_numpy()
# The first 120 genes that vary within both groups (a constant row has no correlation).
varies = np.logical_and(*[np.ptp(np.asarray(adata.X[labels == level]), axis=0) > 0 for level in levels])
genes = adata[:, np.flatnonzero(varies)[:120]].copy()
with warnings.catch_warnings():
    warnings.simplefilter("error")  # nothing that corrshift does may warn
    # X (scaled), not .raw, which every entry point reads by default as scanpy does
    result = corrshift.ztest(genes, *levels, groupby="bulk_labels", permutations=60, progress=False, use_raw=False)
    plain = corrshift.ztest(np.asarray(genes.X, dtype=np.float32).T, labels == levels[0], labels == levels[1],
                            permutations=60, row_names=list(genes.var_names), progress=False)
assert len(result) == 120 * 119 // 2 and result.matrix == "X", (len(result), result.matrix)
for name in ["r1", "r2", "z_diff", "p_value", "perm_p"]:
    assert np.array_equal(result.column(name).view(np.uint32), plain.column(name).view(np.uint32)), name
# Distinct pairs get distinct values (z_diff joins both groups: r alone repeats exactly for
# pairs of genes expressed in one cell each, now that r is computed accurately).
assert len(np.unique(result.column("z_diff"))) > 0.99 * len(result), "pairs share their values"
from importlib.metadata import version
print(", ".join("%s %s" % (name, version(name)) for name in ["numpy", "pandas", "anndata", "scanpy", "corrshift"])
      + ": %d pairs of pbmc68k_reduced, %s vs %s" % (len(result), *levels))
print(result.format(3))
"""


def installed():
    listed = subprocess.run(
        [sys.executable, "-m", "pip", "list", "--format=json"], check=True, capture_output=True, text=True
    ).stdout
    return {package["name"].lower(): package["version"] for package in json.loads(listed)}


def pip(*args):
    subprocess.run([sys.executable, "-m", "pip", *args, "--quiet"], check=True)


def check(target, before):
    """Install `target` (a wheel, an sdist or a source folder) as a user would, check, uninstall."""
    pip("install", target)
    after = installed()
    changed = {
        name: (before.get(name), after.get(name))
        for name in set(before) | set(after)
        if before.get(name) != after.get(name)
    }
    if list(changed) != ["corrshift"] or changed["corrshift"][0] is not None:
        sys.exit("install check: installing %s changed %s" % (target, changed))
    checked = subprocess.run([sys.executable, "-m", "pip", "check"], capture_output=True, text=True)
    if checked.returncode != 0:
        sys.exit("install check: pip check after %s: %s%s" % (target, checked.stdout, checked.stderr))
    # Started elsewhere, so that the package comes from the venv.
    with tempfile.TemporaryDirectory() as elsewhere:
        use = subprocess.run([sys.executable, "-c", USE], capture_output=True, text=True, timeout=600, cwd=elsewhere)
    if use.returncode != 0:
        sys.exit("install check: using %s beside scanpy failed:\n%s%s" % (target, use.stdout, use.stderr))
    print(
        "install check: %s added corrshift %s to %d packages and changed none; pip check: %s\n%s"
        % (target, changed["corrshift"][1], len(before), checked.stdout.strip(), use.stdout),
        end="",
    )
    pip("uninstall", "--yes", "corrshift")
    if installed() != before:
        sys.exit("install check: uninstalling corrshift did not restore the venv")


if __name__ == "__main__":
    if len(sys.argv) < 2:
        sys.exit("usage: install_check.py WHEEL_OR_SDIST_OR_FOLDER...")
    before = installed()
    if "scanpy" not in before or "corrshift" in before:
        sys.exit("install check: needs a venv with scanpy and without corrshift")
    for target in sys.argv[1:]:
        check(target, before)
