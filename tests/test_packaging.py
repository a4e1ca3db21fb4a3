"""The installed package is what every import finds, the repository root included."""

import os
import subprocess
import sys

import corrshift

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))


def run_in_root(*args):
    return subprocess.run(
        [sys.executable] + list(args),
        cwd=ROOT,
        stdout=subprocess.PIPE,
        stderr=subprocess.PIPE,
        universal_newlines=True,
        timeout=120,
    )


def test_import_and_module_run_from_the_repository_root():
    imported = run_in_root(
        "-c",
        "import corrshift, sys; print(corrshift.__file__); "
        "from corrshift import pipelines, scores; print(pipelines.__file__)",
    )
    assert imported.returncode == 0, imported.stderr
    package_file, module_file = imported.stdout.split()
    assert package_file == corrshift.__file__
    assert not package_file.startswith(os.path.join(ROOT, "src"))
    assert os.path.dirname(module_file) == os.path.dirname(package_file)

    helped = run_in_root("-m", "corrshift", "--help")
    assert helped.returncode == 0, helped.stderr
    assert helped.stdout.startswith("usage: corrshift")


def test_one_version_everywhere():
    shown = run_in_root("-m", "corrshift", "--version")
    assert shown.returncode == 0, shown.stderr
    assert shown.stdout.split() == ["corrshift", corrshift.__version__]


def test_a_build_from_source_writes_nothing_into_the_source_folder():
    """scikit-build-core keeps its CMake folder where pyproject.toml says: no build-dir there
    means a temporary folder (`pip install ./clone` leaves the clone as it was)."""
    with open(os.path.join(ROOT, "pyproject.toml"), encoding="utf-8") as handle:
        settings = [line for line in handle if line.split("=")[0].strip() in ("build-dir", "build_dir")]
    assert settings == []
