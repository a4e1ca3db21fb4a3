"""Make the figures of the docs: run the Python blocks of docs/tutorial.md, and those of
docs/usage.md that draw, in a scratch folder and keep the figures they save (into
``figures/``, as scanpy's functions save) here in docs/ under the names the docs use.

Run with an interpreter that has scanpy, matplotlib and corrshift installed, e.g.
``.venv-3.13/bin/python docs/figures.py``.
"""

import os
import re
import shutil
import sys
import tempfile
import warnings

import matplotlib

HERE = os.path.dirname(os.path.abspath(__file__))
#: The figure each block saves, and its name in docs/.
FIGURES = {
    "corrshift_overview_monocytes.png": "overview.png",
    "corrshift_pair_monocytes.png": "pair.png",
    "corrshift_heatmap_cell_types.png": "heatmap.png",
    "corrshift_overview_leukemia.png": "leukemia_overview.png",
    "corrshift_overview_leukemia_volcano.png": "leukemia_volcano.png",
    "corrshift_pair_leukemia.png": "leukemia_pair.png",
}


def blocks(name: str) -> list:
    with open(os.path.join(HERE, name), encoding="utf-8") as handle:
        return re.findall(r"^```python\n(.*?)^```", handle.read(), flags=re.S | re.M)


def main() -> int:
    matplotlib.use("Agg")
    start = os.getcwd()
    with tempfile.TemporaryDirectory() as scratch:
        os.chdir(scratch)
        try:
            with warnings.catch_warnings():
                warnings.simplefilter("ignore")
                namespace = {"__name__": "__tutorial__"}
                for code in blocks("tutorial.md"):
                    exec(compile(code, "docs/tutorial.md", "exec"), namespace)
                for code in blocks("usage.md"):
                    if "corrshift.pl." in code:
                        exec(compile(code, "docs/usage.md", "exec"), {"__name__": "__main__"})
            for made, name in FIGURES.items():
                shutil.copyfile(os.path.join("figures", made), os.path.join(HERE, name))
                print("wrote", os.path.join(HERE, name))
        finally:
            os.chdir(start)
    return 0


if __name__ == "__main__":
    sys.exit(main())
