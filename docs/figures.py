"""Make the figures of docs/tutorial.md: run its Python blocks in a scratch folder and
keep the figures they save (overview.png, pair.png, heatmap.png) here in docs/.

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
FIGURES = ("overview.png", "pair.png", "heatmap.png")


def main() -> int:
    matplotlib.use("Agg")
    with open(os.path.join(HERE, "tutorial.md"), encoding="utf-8") as handle:
        blocks = re.findall(r"^```python\n(.*?)^```", handle.read(), flags=re.S | re.M)
    start = os.getcwd()
    with tempfile.TemporaryDirectory() as scratch:
        os.chdir(scratch)
        try:
            namespace = {"__name__": "__tutorial__"}
            with warnings.catch_warnings():
                warnings.simplefilter("ignore")
                for code in blocks:
                    exec(compile(code, "docs/tutorial.md", "exec"), namespace)
            for name in FIGURES:
                shutil.copyfile(name, os.path.join(HERE, name))
                print("wrote", os.path.join(HERE, name))
        finally:
            os.chdir(start)
    return 0


if __name__ == "__main__":
    sys.exit(main())
