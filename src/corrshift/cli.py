"""The ``corrshift`` command: pair tests, row scores and set scores from files, and the demo."""
import argparse
import contextlib
import os
import sys
import textwrap
import time
from typing import Any, Dict, Iterator, List, Optional, Sequence, Tuple

import numpy as np

from . import _io
from ._inputs import ALTERNATIVES, METHODS, SCORES, InputError, usable_cores

DETERMINISM = ("Results are deterministic: the permutation passes use a fixed seed, so the same input "
               "and options give the same output in every run, whatever --jobs is. There is therefore "
               "no seed option.")
P_VALUES = ("perm_p is the share of permutation passes at least as extreme as the observed groups, "
            "with no one added: its smallest nonzero value is 1/PERMUTATIONS, and 0 means fewer than "
            "that. q_value and perm_q are Benjamini-Hochberg adjusted.")
INPUT = ("DATA is a TSV or CSV file (.gz too) with a header of sample names and a first column of row "
         "names, or a .npy/.npz file (an .npz may hold row_names/probes and column_names/samples "
         "arrays). Missing values are not allowed in the samples of the two groups.")


def _count(minimum: int):  # type: ignore[no-untyped-def]
    def parse(text: str) -> int:
        try:
            value = int(text)
        except ValueError:
            raise argparse.ArgumentTypeError("{!r} is not a whole number".format(text)) from None
        if value < minimum:
            raise argparse.ArgumentTypeError("must be {} or more, got {}".format(minimum, value))
        return value
    return parse


def _add_common(parser: argparse.ArgumentParser, score: bool) -> None:
    parser.add_argument("data", metavar="DATA", help="expression matrix: rows are variables, columns samples")
    groups = parser.add_argument_group(
        "groups", "either --group1 and --group2, or --sheet, --by and --levels")
    groups.add_argument("--group1", metavar="NAMES|FILE",
                        help="samples of group 1: comma-separated names, or a file with one name per line")
    groups.add_argument("--group2", metavar="NAMES|FILE", help="samples of group 2, as --group1")
    groups.add_argument("--sheet", metavar="FILE",
                        help="sample sheet: TSV/CSV with sample names in the first column, or an .npz "
                             "of per-sample arrays (default: DATA itself when it is an .npz)")
    groups.add_argument("--by", metavar="COLUMN", help="sample-sheet column that holds the conditions")
    groups.add_argument("--levels", nargs=2, metavar=("A", "B"),
                        help="the values of --by that make group 1 and group 2")
    groups.add_argument("--allow-overlap", action="store_true",
                        help="allow samples that are in both groups")
    test = parser.add_argument_group("test")
    if score:
        test.add_argument("--score", choices=SCORES, default="median",
                          help="mean of |z_diff|, or median (of |z_diff| for two-sided) (default: median)")
    test.add_argument("--method", choices=METHODS, default="pearson", help="correlation (default: pearson)")
    test.add_argument("--alternative", choices=ALTERNATIVES, default="two-sided",
                      help="greater: higher correlation in group 1 (default: two-sided)")
    test.add_argument("--permutations", type=_count(0), default=1000, metavar="N",
                      help="permutation passes, 0 for none (default: 1000)")
    test.add_argument("--jobs", type=_count(1), default=None, metavar="N",
                      help="worker threads (default: all usable cores, here {})".format(usable_cores()))
    output = parser.add_argument_group("output")
    output.add_argument("-o", "--output", metavar="FILE", default="-",
                        help="TSV file to write, .gz for compressed (default: standard output)")
    output.add_argument("--top", type=_count(1), default=None, metavar="N",
                        help="write only the N most significant entries")


def _paragraphs(*texts: str) -> str:
    return "\n\n".join(textwrap.fill(t, 79) for t in texts)


def build_parser() -> argparse.ArgumentParser:
    raw = argparse.RawDescriptionHelpFormatter
    parser = argparse.ArgumentParser(
        prog="corrshift", formatter_class=raw,
        description=_paragraphs("Differential correlation between two groups of samples: which pairs of "
                                "rows (genes) change their correlation, which rows change most, and "
                                "which sets of pairs do."),
        epilog=_paragraphs(DETERMINISM))
    commands = parser.add_subparsers(dest="command", metavar="COMMAND")
    commands.required = True
    epilog = _paragraphs(INPUT, P_VALUES, DETERMINISM)

    def add(name: str, help_text: str, description: str) -> argparse.ArgumentParser:
        return commands.add_parser(name, help=help_text, description=_paragraphs(description),
                                   epilog=epilog, formatter_class=raw)

    pairs = add("pairs", "test pairs of rows (all pairs, or those of --pairs)",
                "Test pairs of rows for a difference in correlation between the groups. Writes one "
                "line per pair (row1, row2, r1, r2, z_diff, p_value, q_value, perm_p, perm_q, n1, "
                "n2), most significant first.")
    _add_common(pairs, score=False)
    pairs.add_argument("--pairs", metavar="FILE",
                       help="pairs to test: two row names per line (default: every pair of rows)")
    pairs.set_defaults(run=_run_pairs)

    rows = add("rows", "score every row against all other rows",
               "Score each row over the z_diff of its pairs with all other rows, with a permutation "
               "p-value. Writes one line per row (row, score, perm_p, perm_q, n1, n2).")
    _add_common(rows, score=True)
    rows.set_defaults(run=_run_rows)

    sets = add("sets", "score sets of pairs that share a hub row",
               "Score sets of pairs (a hub row and its partners), with a permutation p-value. Writes "
               "one line per set (hub, size, score, perm_p, perm_q, n1, n2).")
    _add_common(sets, score=True)
    sets.add_argument("--sets", metavar="FILE", required=True,
                      help="one set per line: the hub row, then its partner rows (tab, comma or space "
                           "separated); lines with the same hub are joined")
    sets.set_defaults(run=_run_sets)

    demo = commands.add_parser(
        "demo", help="analyse the bundled leukemia data", formatter_class=raw,
        description=_paragraphs(
            "Differential co-expression of BCR/ABL versus NEG B-lineage acute lymphoblastic "
            "leukemia (2000 most variable probe sets, 37 + 42 samples): all pairs, and every "
            "probe set's median score. Prints the top 15 of each, writes the full tables, "
            "the input as TSV, and a figure (when matplotlib is installed)."),
        epilog=_paragraphs(DETERMINISM))
    demo.add_argument("-o", "--output", metavar="DIR", default="corrshift-demo",
                      help="output folder (default: corrshift-demo)")
    from .demo import PAIR_PERMUTATIONS, ROW_PERMUTATIONS

    demo.add_argument("--permutations", type=_count(0), default=PAIR_PERMUTATIONS, metavar="N",
                      help="permutation passes of the pair test (default: %(default)s)")
    demo.add_argument("--row-permutations", type=_count(0), default=ROW_PERMUTATIONS, metavar="N",
                      help="permutation passes of the row scores (default: %(default)s)")
    demo.add_argument("--jobs", type=_count(1), default=None, metavar="N",
                      help="worker threads (default: all usable cores)")
    demo.set_defaults(run=_run_demo)
    return parser


@contextlib.contextmanager
def progress_to_stderr() -> Iterator[None]:
    """Send what native code writes to standard output (the progress line) to stderr.

    Standard output then carries only the result table.
    """
    sys.stdout.flush()
    try:
        saved = os.dup(1)
    except OSError:  # no standard output at all
        yield
        return
    try:
        os.dup2(2, 1)
        yield
    finally:
        _flush_c_stdio()
        os.dup2(saved, 1)
        os.close(saved)


def _flush_c_stdio() -> None:
    try:
        import ctypes

        ctypes.CDLL(None).fflush(None)
    except (OSError, AttributeError):
        pass


def _groups(args: argparse.Namespace, columns: np.ndarray) -> Tuple[List[str], List[str], str, List[str]]:
    """Group members, a description for the summary line, and notes."""
    uses_sheet = args.sheet is not None or args.by is not None or args.levels is not None
    if uses_sheet:
        if args.group1 is not None or args.group2 is not None:
            raise InputError("give the groups either with --group1/--group2 or with --sheet/--by/--levels, "
                             "not both")
        if args.by is None or args.levels is None:
            raise InputError("a sample sheet needs --by COLUMN and --levels A B")
        sheet = args.sheet
        if sheet is None:
            if not args.data.endswith(".npz"):
                raise InputError("--by needs --sheet FILE (only an .npz data file can serve as its own "
                                 "sample sheet)")
            sheet = args.data
        level1, level2 = args.levels
        if level1 == level2:
            raise InputError("--levels names {!r} twice; give two different values of {!r}".format(
                level1, args.by))
        names, values = _io.read_sheet_column(sheet, args.by, columns)
        present = set(columns.tolist())
        members = []
        notes = []
        for level in (level1, level2):
            chosen = {n for n, v in zip(names, values) if v == level}
            if not chosen:
                raise InputError("--levels: no sample has {} = {!r}; the values are {}".format(
                    args.by, level, ", ".join(repr(v) for v in sorted(set(values)))))
            missing = chosen - present
            if missing:
                notes.append("{} sample(s) with {} = {!r} are not in the data and were left out".format(
                    len(missing), args.by, level))
            # In the order of the data's columns, like a boolean mask.
            members.append([c for c in columns.tolist() if c in chosen])
        return members[0], members[1], "{} = {!r} vs {!r}".format(args.by, level1, level2), notes
    if args.group1 is None or args.group2 is None:
        raise InputError("give the two groups with --group1 and --group2, or with --sheet, --by and --levels")
    return _io.read_name_list(args.group1), _io.read_name_list(args.group2), "--group1 vs --group2", []


def _options(args: argparse.Namespace, score: bool) -> Dict[str, Any]:
    options: Dict[str, Any] = dict(method=args.method, alternative=args.alternative,
                                   permutations=args.permutations, n_jobs=args.jobs,
                                   allow_overlap=args.allow_overlap)
    if score:
        options["score"] = args.score
    return options


def _load(args: argparse.Namespace) -> Tuple[np.ndarray, np.ndarray, np.ndarray, List[str], List[str], str,
                                             List[str]]:
    values, rows, columns = _io.read_matrix(args.data)
    group1, group2, described, notes = _groups(args, columns)
    return values, rows, columns, group1, group2, described, notes


def _finish(args: argparse.Namespace, result: Any, what: str, described: str, notes: Sequence[str],
            started: float) -> int:
    for note in notes:
        print("corrshift: note: " + note, file=sys.stderr)
    if args.output == "-":
        result.to_tsv(sys.stdout, top=args.top)
        sys.stdout.flush()
        target = "standard output"
    else:
        result.to_tsv(args.output, top=args.top)
        target = args.output
    smallest = " (smallest nonzero perm_p {:.3g})".format(1.0 / result.permutations) \
        if result.permutations else ""
    print("corrshift {}: {} {}, {}: {} + {} samples, {}, {}, {} permutations{}, {:.1f} s; wrote {}".format(
        args.command, len(result), what, described, result.n1, result.n2, result.method,
        result.alternative, result.permutations, smallest, time.perf_counter() - started, target),
        file=sys.stderr)
    return 0


def _read_pairs(path: str, rows: np.ndarray) -> List[Tuple[str, str]]:
    known = set(rows.tolist())
    pairs = []
    for k, (number, fields) in enumerate(_io.read_row_lines(path)):
        if len(fields) < 2:
            raise InputError("{} line {}: a pair needs two row names".format(path, number))
        a, b = fields[0], fields[1]
        if k == 0 and (a not in known or b not in known):
            continue  # a header line
        for name in (a, b):
            if name not in known:
                raise InputError("{} line {}: {!r} is not a row of the data".format(path, number, name))
        pairs.append((a, b))
    if not pairs:
        raise InputError("{}: the file lists no pairs".format(path))
    return pairs


def _read_sets(path: str, rows: np.ndarray) -> Dict[str, List[str]]:
    known = set(rows.tolist())
    sets: Dict[str, List[str]] = {}
    for k, (number, fields) in enumerate(_io.read_row_lines(path)):
        if k == 0 and fields[0] not in known:
            continue  # a header line
        if len(fields) < 2:
            raise InputError("{} line {}: a set needs a hub row and at least one partner".format(
                path, number))
        for name in fields:
            if name not in known:
                raise InputError("{} line {}: {!r} is not a row of the data".format(path, number, name))
        sets.setdefault(fields[0], []).extend(fields[1:])
    if not sets:
        raise InputError("{}: the file lists no sets".format(path))
    return sets


def _run_pairs(args: argparse.Namespace) -> int:
    from .api import ztest

    started = time.perf_counter()
    values, rows, columns, group1, group2, described, notes = _load(args)
    pairs = _read_pairs(args.pairs, rows) if args.pairs is not None else None
    with progress_to_stderr():
        result = ztest(values, group1, group2, pairs, row_names=rows, column_names=columns,
                       **_options(args, score=False))
    return _finish(args, result, "pairs", described, notes, started)


def _run_rows(args: argparse.Namespace) -> int:
    from .api import row_scores

    started = time.perf_counter()
    values, rows, columns, group1, group2, described, notes = _load(args)
    with progress_to_stderr():
        result = row_scores(values, group1, group2, row_names=rows, column_names=columns,
                            **_options(args, score=True))
    return _finish(args, result, "rows", described, notes, started)


def _run_sets(args: argparse.Namespace) -> int:
    from .api import set_scores

    started = time.perf_counter()
    values, rows, columns, group1, group2, described, notes = _load(args)
    sets = _read_sets(args.sets, rows)
    with progress_to_stderr():
        result = set_scores(values, sets, group1, group2, row_names=rows, column_names=columns,
                            **_options(args, score=True))
    return _finish(args, result, "sets", described, notes, started)


def _run_demo(args: argparse.Namespace) -> int:
    from . import demo

    return demo.run(args.output, permutations=args.permutations, row_permutations=args.row_permutations,
                    n_jobs=args.jobs, progress=progress_to_stderr)


def main(argv: Optional[Sequence[str]] = None) -> int:
    """Run the command line `argv` (default: ``sys.argv[1:]``); returns the exit status."""
    args = build_parser().parse_args(argv)
    try:
        return int(args.run(args))
    except InputError as err:
        print("corrshift: error: {}".format(err), file=sys.stderr)
        return 1
    except KeyboardInterrupt:
        print("\ncorrshift: interrupted", file=sys.stderr)
        return 130
    except BrokenPipeError:
        # The reader of standard output went away (e.g. `| head`): not an error.
        devnull = os.open(os.devnull, os.O_WRONLY)
        os.dup2(devnull, sys.stdout.fileno())
        return 0
    except OSError as err:
        print("corrshift: error: {}".format(err), file=sys.stderr)
        return 1


if __name__ == "__main__":  # pragma: no cover
    sys.exit(main())
