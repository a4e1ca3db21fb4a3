# `python -m pytest` run from the repository root puts the root on sys.path, where the
# source package corrshift/ (without its compiled modules) would hide the installed one.
import os
import sys

_root = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.path[:] = [p for p in sys.path if os.path.abspath(p or os.curdir) != _root]
