"""Every code block of README.md and docs/usage.md runs as written, as a script of its own in
a fresh subprocess (Python blocks with this interpreter, shell blocks with bash and this
interpreter's `corrshift` on the PATH), in a scratch folder holding the data they need.

A block that is not meant to run says so: output is fenced as ```text, and a command block
that needs what a test cannot have (a Dask scheduler, tools corrshift does not use) has the
line `<!-- not run: the reason -->` right above its fence. Each block is one test case, so
that they can run in parallel."""

import importlib.util
import os
import re
import subprocess
import sys

import pytest

from conftest import needs_parquet

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
DOCS = ["README.md", os.path.join("docs", "usage.md")]
#: A fenced block: an optional "not run" line above it, its language and its code.
FENCE = re.compile(r"^(?:<!-- not run: ([^>]*?) -->\n)?```([^\n]*)\n(.*?)^```", flags=re.S | re.M)


def blocks(name):
    """(language, code, reason it is not run or None) of each fenced block of `name`."""
    with open(os.path.join(ROOT, name), encoding="utf-8") as handle:
        text = handle.read()
    return [(language.strip(), code, reason) for reason, language, code in FENCE.findall(text)]


def python_blocks(name):
    return [code for language, code, _ in blocks(name) if language == "python"]


BLOCKS = [(name, k, language, code, reason) for name in DOCS for k, (language, code, reason) in enumerate(blocks(name))]
RUN = [b for b in BLOCKS if b[2] in ("python", "sh") and not b[4]]


def test_every_block_is_run_or_marked():
    assert {name for name, *_ in RUN} == set(DOCS)
    for name, k, language, code, reason in BLOCKS:
        assert language in ("python", "sh", "text"), "{} block {}: fence it as python, sh or text".format(name, k)
        assert not (reason and language == "text"), "{} block {}: output needs no 'not run' line".format(name, k)


#: What a block needs, by a text it holds: the module that must be importable.
NEEDS = (
    ("anndata", "anndata"),
    ("pandas", "pandas"),
    ("matplotlib", "matplotlib"),
    ("local_cluster", "distributed"),
    ("import scanpy", "scanpy"),
)


def prepare(folder):
    """What the blocks read: the demo's input files (as `make demo` writes them) and the
    README's `.venv/bin/corrshift`, this interpreter's command."""
    from corrshift import demo, load_example

    os.makedirs(os.path.join(folder, "corrshift-demo"))
    demo._write_inputs(load_example(), os.path.join(folder, "corrshift-demo"))
    os.makedirs(os.path.join(folder, ".venv", "bin"))
    os.symlink(
        os.path.join(os.path.dirname(sys.executable), "corrshift"), os.path.join(folder, ".venv", "bin", "corrshift")
    )


@pytest.mark.parametrize(
    "name, k, language, code",
    [b[:4] for b in RUN],
    ids=["{}-{}-{}".format(os.path.basename(b[0]), b[1], b[2]) for b in RUN],
)
def test_block_runs_as_a_script(name, k, language, code, tmp_path):
    for needed, module in NEEDS:
        if needed in code and importlib.util.find_spec(module) is None:
            pytest.skip("needs {}".format(module))
    if ".parquet" in code and needs_parquet.args[0]:
        pytest.skip("pyarrow is not usable here")
    prepare(str(tmp_path))
    script = tmp_path / ("block.py" if language == "python" else "block.sh")
    script.write_text(code, encoding="utf-8")
    command = [sys.executable, script.name] if language == "python" else ["bash", "-e", script.name]
    env = dict(os.environ, PATH=os.path.dirname(sys.executable) + os.pathsep + os.environ.get("PATH", ""))
    env["MPLBACKEND"] = "Agg"
    done = subprocess.run(
        command, cwd=str(tmp_path), env=env, stdout=subprocess.PIPE, stderr=subprocess.PIPE, timeout=600
    )
    assert done.returncode == 0, "{} block {} ({}) failed:\n{}{}".format(
        name, k, language, done.stdout.decode(errors="replace")[-3000:], done.stderr.decode(errors="replace")[-3000:]
    )


TUTORIAL = os.path.join("docs", "tutorial.md")


def run_tutorial(folder):  # type: ignore[no-untyped-def]
    """The tutorial's Python blocks, one after another in one namespace, in `folder`."""
    namespace = {"__name__": "__tutorial__"}
    for k, code in enumerate(python_blocks(TUTORIAL)):
        exec(compile(code, "{} block {}".format(TUTORIAL, k), "exec"), namespace)
    return namespace


@pytest.mark.filterwarnings("ignore:(.* )?left out .*:UserWarning")
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
