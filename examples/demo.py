"""Run the demo, as `corrshift demo` does: python examples/demo.py [-o DIR] [--permutations N] ..."""

import sys

from corrshift.cli import main

sys.exit(main(["demo"] + sys.argv[1:]))
