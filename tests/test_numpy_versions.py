"""The same built modules under NumPy 1.x and 2.x give the same bits, each pair its own."""

import os
import subprocess
import sys

import numpy as np
import pytest

import numpy_battery
import reference as ref
from corrshift import _baseline, pipelines

# NumPy 1.x installed apart from a venv's NumPy 2 (requirements-numpy1.txt, by the Makefile).
NUMPY_1 = os.path.join(sys.prefix, "numpy1")
NUMPY_MAJOR = int(np.__version__.split(".")[0])


def bits(array):
    array = np.asarray(array)
    return array.dtype.str, array.shape, array.tobytes()


def test_every_pair_gets_its_own_values(capfd):
    data = numpy_battery.inputs()["issue"]
    g1, g2 = np.arange(20, dtype=np.int32), np.arange(20, 40, dtype=np.int32)
    got = pipelines._ztest_pipeline_exhaustive(data, g1, g2, "pearson", "two-sided", 40, 2)
    assert len(np.unique(got[0])) == len(np.unique(got[1])) == 15
    for want in [
        ref.ztest_pipeline_exhaustive(data, g1, g2, "pearson", "two-sided", 40),
        _baseline._ztest_pipeline_exhaustive(data, g1, g2, "pearson", "two-sided", 40, 1),
    ]:
        assert [bits(a) for a in got] == [bits(a) for a in want]
    capfd.readouterr()


def test_same_bits_under_numpy_1_and_2(tmp_path, capfd):
    if NUMPY_MAJOR < 2:
        pytest.skip("NumPy %s: no NumPy 2 for Python %d.%d" % ((np.__version__,) + sys.version_info[:2]))
    if not os.path.isdir(os.path.join(NUMPY_1, "numpy")):
        pytest.skip("no NumPy 1.x in %s (requirements-numpy1.txt; none for Python 3.13)" % NUMPY_1)
    given = numpy_battery.inputs()
    np.savez(tmp_path / "inputs.npz", **given)
    run = subprocess.run(
        [sys.executable, numpy_battery.__file__, NUMPY_1, str(tmp_path / "inputs.npz"), str(tmp_path / "numpy1.npz")],
        capture_output=True,
        text=True,
        timeout=600,
    )
    assert run.returncode == 0, run.stderr
    here = numpy_battery.results(given)
    with np.load(tmp_path / "numpy1.npz") as there:
        assert str(there["numpy_version"]).startswith("1.")
        assert sorted(there.files) == sorted(list(here) + ["numpy_version"])
        for name, array in here.items():
            assert bits(there[name]) == bits(array), name
    # The fast kernels equal the straightforward one under both.
    for name, array in here.items():
        if name.startswith("pipelines/"):
            assert bits(here["_baseline/" + name[len("pipelines/") :]]) == bits(array), name
    capfd.readouterr()
