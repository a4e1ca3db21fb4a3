"""Runs memcheck_calls.py under valgrind memcheck and judges the report.

Fails on any invalid read, write or free anywhere in the process, on any use of
uninitialised memory with a frame in the corrshift modules, and on any definitely lost
block whose allocation has a frame in them. Other findings (the interpreter's and
NumPy's own) are counted and listed, not failed. The interpreter runs with
PYTHONMALLOC=malloc, so that every object is a block valgrind tracks; that also removes
the reason for the interpreter's usual suppression file (pymalloc's reads of its own
arena headers).

Usage: memcheck.py [--python PYTHON] [--keep XML]
"""

import argparse
import os
import subprocess
import sys
import tempfile
import time
import xml.etree.ElementTree as ET

HERE = os.path.dirname(os.path.abspath(__file__))
ALWAYS_FATAL = {"InvalidRead", "InvalidWrite", "InvalidFree", "MismatchedFree", "InvalidJump", "Overlap", "FishyValue"}
FATAL_IN_MODULE = {
    "UninitCondition",
    "UninitValue",
    "SyscallParam",
    "Leak_DefinitelyLost",
    "InvalidMemPool",
    "ClientCheck",
}


def _frames(error):
    for frame in error.iter("frame"):
        yield {field: (frame.findtext(field) or "") for field in ("obj", "fn", "dir", "file", "line")}


def _in_module(error):
    for f in _frames(error):
        obj = os.path.basename(f["obj"])
        if obj.startswith(("scores.cpython", "pipelines.cpython", "_baseline.cpython", "_blocks.cpython")):
            return True
        if f["dir"].startswith(ROOT) and not f["dir"].startswith(os.path.join(ROOT, "tests")):
            return True
    return False


def _describe(error):
    kind = error.findtext("kind")
    what = error.findtext("what") or error.findtext("xwhat/text") or ""
    lines = ["%s: %s" % (kind, what)]
    for f in list(_frames(error))[:12]:
        where = "%s:%s" % (f["file"], f["line"]) if f["file"] else os.path.basename(f["obj"])
        lines.append("    %s (%s)" % (f["fn"] or "?", where))
    return "\n".join(lines)


ROOT = os.path.dirname(os.path.dirname(HERE))


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--python", default=sys.executable)
    parser.add_argument("--keep", help="also write valgrind's XML report here")
    options = parser.parse_args()
    # The program runs from a scratch directory: a relative interpreter path (the
    # Makefile's .venv/bin/python) must be made absolute first. abspath, not realpath:
    # the virtual environment's python must keep its own path to find its packages.
    python = os.path.abspath(options.python) if os.sep in options.python else options.python

    with tempfile.TemporaryDirectory() as scratch:
        xml_path = options.keep or os.path.join(scratch, "memcheck.xml")
        env = dict(os.environ, PYTHONMALLOC="malloc", OPENBLAS_NUM_THREADS="1")
        command = [
            "valgrind",
            "--tool=memcheck",
            "--leak-check=full",
            "--show-leak-kinds=definite",
            "--errors-for-leak-kinds=definite",
            "--track-origins=yes",
            "--num-callers=40",
            "--xml=yes",
            "--xml-file=" + xml_path,
            python,
            os.path.join(HERE, "memcheck_calls.py"),
        ]
        start = time.monotonic()
        # Run from the scratch directory: the source tree's corrshift/ must not shadow
        # the installed package.
        run = subprocess.run(command, cwd=scratch, env=env, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
        seconds = time.monotonic() - start
        if run.returncode != 0:
            print(run.stdout, run.stderr, sep="\n")
            print("memcheck: the program under valgrind exited with %d" % run.returncode)
            return 1
        root = ET.parse(xml_path).getroot()

    # The pipelines' progress lines end in "\n"; each call's own line follows its line.
    calls = [line for line in run.stdout.splitlines() if " returned " in line or " raised " in line]
    errors = root.findall("error")
    fatal, other, outside = [], {}, []
    for error in errors:
        kind = error.findtext("kind")
        if kind in ALWAYS_FATAL or (kind in FATAL_IN_MODULE and _in_module(error)):
            fatal.append(error)
        else:
            other[kind] = other.get(kind, 0) + 1
            outside.append(error)
    print("memcheck: %d calls under valgrind in %.0f s" % (len(calls), seconds))
    for line in calls:
        print("  " + line)
    print(
        "memcheck: %d findings outside the modules (not failed): %s"
        % (len(errors) - len(fatal), ", ".join("%s x%d" % kv for kv in sorted(other.items())) or "none")
    )
    where = {}
    for error in outside:
        names = [f["fn"] for f in _frames(error) if f["fn"] and not f["fn"].startswith(("malloc", "_Py", "Py"))]
        where[names[0] if names else "?"] = where.get(names[0] if names else "?", 0) + 1
    if where:
        print("  first frames outside the interpreter: " + ", ".join("%s x%d" % kv for kv in sorted(where.items())))
    if fatal:
        print("memcheck: %d findings in or against the modules:" % len(fatal))
        for error in fatal:
            print(_describe(error))
        return 1
    print("memcheck: no invalid access, no uninitialised use and no definitely lost block of the modules")
    return 0


if __name__ == "__main__":
    sys.exit(main())
