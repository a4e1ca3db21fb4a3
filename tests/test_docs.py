"""The Python examples of README.md and docs/usage.md run as written."""

import os
import re

import pytest

from conftest import needs_parquet

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
DOCS = ["README.md", os.path.join("docs", "usage.md")]


def python_blocks(name):
    with open(os.path.join(ROOT, name), encoding="utf-8") as handle:
        text = handle.read()
    return re.findall(r"^```python\n(.*?)^```", text, flags=re.S | re.M)


EXAMPLES = [(name, k, code) for name in DOCS for k, code in enumerate(python_blocks(name))]


def test_the_docs_have_examples():
    assert {name for name, _, _ in EXAMPLES} == set(DOCS)


@pytest.mark.filterwarnings("ignore:.* left out .*:UserWarning")
@pytest.mark.parametrize(
    "name, k, code", EXAMPLES, ids=["{}-{}".format(os.path.basename(n), k) for n, k, _ in EXAMPLES]
)
def test_example_runs(name, k, code, tmp_path, monkeypatch):
    for needed, module in (
        ("anndata", "anndata"),
        ("pandas", "pandas"),
        ("matplotlib", "matplotlib"),
        ("engine.local_cluster", "distributed"),
        ("import scanpy", "scanpy"),
    ):
        if needed in code:
            pytest.importorskip(module)
    if ".parquet" in code and needs_parquet.args[0]:
        pytest.skip("pyarrow is not usable here")
    monkeypatch.chdir(tmp_path)  # the examples write files into the working folder
    exec(compile(code, "{} block {}".format(name, k), "exec"), {"__name__": "__example__"})


TUTORIAL = os.path.join("docs", "tutorial.md")


def run_tutorial(folder):  # type: ignore[no-untyped-def]
    """The tutorial's Python blocks, one after another in one namespace, in `folder`."""
    namespace = {"__name__": "__tutorial__"}
    for k, code in enumerate(python_blocks(TUTORIAL)):
        exec(compile(code, "{} block {}".format(TUTORIAL, k), "exec"), namespace)
    return namespace


@pytest.mark.filterwarnings("ignore:.* left out .*:UserWarning")
def test_tutorial_runs_from_start_to_end(tmp_path, monkeypatch):
    for module in ("scanpy", "matplotlib", "anndata", "pandas"):
        pytest.importorskip(module)
    import matplotlib

    matplotlib.use("Agg")
    monkeypatch.chdir(tmp_path)
    done = run_tutorial(tmp_path)
    for made, name in (
        ("corrshift_overview_monocytes.png", "overview.png"),
        ("corrshift_pair_monocytes.png", "pair.png"),
        ("corrshift_heatmap_cell_types.png", "heatmap.png"),
    ):
        assert (tmp_path / "figures" / made).stat().st_size > 10000  # saved as scanpy saves
        assert os.path.exists(os.path.join(ROOT, "docs", name)), "docs/figures.py makes the docs' copy"
    assert len(done["every"]) > len(done["monocytes"]) > 1000
