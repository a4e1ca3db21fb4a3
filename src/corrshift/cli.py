"""The ``corrshift`` command: pair tests, row, set and module scores from files, and the demo."""

import argparse
import contextlib
import os
import sys
import textwrap
import time
import warnings
from typing import Any, Dict, Iterator, List, Optional, Sequence, Tuple

import numpy as np

from . import _inputs, _io, _within, engine
from ._inputs import (
    ALTERNATIVES,
    MAX_PERMUTATIONS,
    METHODS,
    MIN_GROUP_SIZE,
    SCORES,
    SIGNIFICANCE,
    InputError,
    usable_cores,
)
from ._version import __version__
from .engine.execute import ClusterLost

DETERMINISM = (
    "Results are deterministic: the permutation passes use a fixed seed, so the same input "
    "and options give the same output in every run, whatever --jobs is. There is therefore "
    "no seed option."
)
P_VALUES = (
    "perm_p is (b + 1) / (PERMUTATIONS + 1), b the number of permutation passes at least as "
    "extreme as the observed groups: the observed split counts as one of the possible splits, so "
    "the smallest perm_p is 1/(PERMUTATIONS + 1). q_value and perm_q are Benjamini-Hochberg "
    "adjusted. p_robust (pairs, the default --significance robust) is the permutation p-value of "
    "the studentized difference, resolved with up to 10,000 passes for the pairs that may be "
    "significant (p_how says how each was made: asymptotic, sequential, tail or bound); q_robust "
    "is its Benjamini-Hochberg q-value. Pairs are written by p_robust (by p_value with "
    "--significance normal), ties by |z_diff| descending; rows, sets and modules by "
    "perm_p, ties by score, most extreme first."
)
INPUT = (
    "DATA is a TSV or CSV file (.gz too) with a header of sample names and a first column of row "
    "names, a .npy/.npz file (an .npz may hold row_names/probes and column_names/samples "
    "arrays, and per-sample arrays that --by can name), or an AnnData .h5ad file (genes become "
    "rows, cells samples; --by names a column of its obs; its .raw is read when it has one and "
    "no --layer is given, as scanpy does: --no-use-raw reads X). Missing values are not allowed in "
    "the samples of the two groups. With --within COLUMN the groups are compared within each "
    "level of that sample-sheet column (e.g. the cell type) that has --min-group-size samples in "
    "both groups, each level as if its samples were given alone; the table then starts with that "
    "column, a comment line per level names its groups, and a .parquet output holds one dataset "
    "per level."
)
EXIT = (
    "Exit status: 0 on success; 2 for a usage error (an unknown option, a bad option value, a "
    "missing or conflicting group option), with the command's usage line and one error line; 1 "
    "for a data error (a file that cannot be read, unknown samples or rows, unusable values), "
    "with one line 'corrshift: error: ...'."
)


class UsageError(InputError):
    """A wrong or missing command-line option: reported with the command's usage line."""


def _fraction(text: str) -> float:
    try:
        value = float(text)
    except ValueError:
        raise argparse.ArgumentTypeError("{!r} is not a number".format(text)) from None
    if not 0.0 <= value <= 1.0:
        raise argparse.ArgumentTypeError("must lie from 0 to 1, got {}".format(text))
    return value


def _level(text: str) -> float:
    try:
        value = float(text)
    except ValueError:
        raise argparse.ArgumentTypeError("{!r} is not a number".format(text)) from None
    if not 0.0 < value < 1.0:
        raise argparse.ArgumentTypeError("must lie between 0 and 1, got {}".format(text))
    return value


def _count(minimum: int, maximum: Optional[int] = None):  # type: ignore[no-untyped-def]
    def parse(text: str) -> int:
        try:
            value = int(text)
        except ValueError:
            raise argparse.ArgumentTypeError("{!r} is not a whole number".format(text)) from None
        if value < minimum:
            raise argparse.ArgumentTypeError("must be {} or more, got {}".format(minimum, value))
        if maximum is not None and value > maximum:
            raise argparse.ArgumentTypeError("must be {} or less, got {}".format(maximum, value))
        return value

    return parse


def _add_common(parser: argparse.ArgumentParser, score: bool) -> None:
    parser.add_argument("data", metavar="DATA", help="expression matrix: rows are variables, columns samples")
    groups = parser.add_argument_group("groups", "either --group1 and --group2, or --sheet, --by and --levels")
    groups.add_argument(
        "--group1",
        metavar="NAMES|FILE",
        help="samples of group 1: comma-separated names, or a file with one name per line",
    )
    groups.add_argument("--group2", metavar="NAMES|FILE", help="samples of group 2, as --group1")
    groups.add_argument(
        "--sheet",
        metavar="FILE",
        help="sample sheet: TSV/CSV with sample names in the first column, an .npz of "
        "per-sample arrays, or an .h5ad file's obs (default: DATA itself when it "
        "is an .npz or .h5ad)",
    )
    groups.add_argument("--by", metavar="COLUMN", help="sample-sheet column that holds the conditions")
    groups.add_argument(
        "--levels", nargs=2, metavar=("A", "B"), help="the values of --by that make group 1 and group 2"
    )
    groups.add_argument("--allow-overlap", action="store_true", help="allow samples that are in both groups")
    groups.add_argument(
        "--within",
        metavar="COLUMN",
        help="compare the groups within each level of this sample-sheet column (e.g. the cell type), each level alone",
    )
    groups.add_argument(
        "--min-group-size",
        type=_count(MIN_GROUP_SIZE),
        default=MIN_GROUP_SIZE,
        metavar="N",
        help="with --within: leave out levels with fewer than N samples in a group (default: %(default)s)",
    )
    parser.add_argument("--layer", metavar="NAME", help="for an .h5ad DATA file: use this layer, not X")
    raw = parser.add_mutually_exclusive_group()
    raw.add_argument(
        "--use-raw",
        dest="use_raw",
        action="store_true",
        default=None,
        help="for an .h5ad DATA file: use its .raw (the default when it has one and no --layer is given, as in scanpy)",
    )
    raw.add_argument(
        "--no-use-raw",
        dest="use_raw",
        action="store_false",
        help="for an .h5ad DATA file: use X (or --layer), not .raw",
    )
    test = parser.add_argument_group("test")
    if score:
        test.add_argument(
            "--score",
            choices=SCORES,
            default="median",
            help="mean of |z_diff|, or median (of |z_diff| for two-sided) (default: median)",
        )
    test.add_argument("--method", choices=METHODS, default="pearson", help="correlation (default: pearson)")
    test.add_argument(
        "--alternative",
        choices=ALTERNATIVES,
        default="two-sided",
        help="greater: higher correlation in group 1 (default: two-sided)",
    )
    if not score:
        test.add_argument(
            "--class-alpha",
            type=_level,
            default=0.05,
            metavar="A",
            help="significance level of the class column: a correlation whose p-value is "
            "below A counts as + or - (default: 0.05)",
        )
    test.add_argument(
        "--permutations",
        type=_count(0, MAX_PERMUTATIONS),
        default=1000,
        metavar="N",
        help="permutation passes, 0 for none (default: 1000)",
    )
    test.add_argument(
        "--min-cells",
        type=_count(0),
        default=None,
        metavar="N",
        help="leave out rows non-zero in fewer than N samples of either group (capped at the group's "
        "size; pair tests: default 5, 0 keeps every row; other tests: default 0)",
    )
    test.add_argument(
        "--min-fraction",
        type=_fraction,
        default=None,
        metavar="F",
        help="leave out rows non-zero in fewer than this fraction of the samples of either group",
    )
    test.add_argument(
        "--jobs",
        type=_count(1),
        default=None,
        metavar="N",
        help="worker threads, at most the usable cores (default: all of them, here {})".format(usable_cores()),
    )
    output = parser.add_argument_group("output")
    output.add_argument(
        "-o",
        "--output",
        metavar="FILE",
        default="-",
        help="TSV file to write, .gz for compressed; a name ending in .parquet is a "
        "folder for a Parquet dataset, which an interrupted run resumes "
        "(default: standard output)",
    )
    output.add_argument(
        "--top", type=_count(1), default=None, metavar="N", help="keep only the N most significant entries"
    )
    output.add_argument(
        "--max-q",
        type=_fraction,
        default=None,
        metavar="Q",
        help="keep only entries with q-value at most Q (q_robust for pairs, q_value with "
        "--significance normal, perm_q for rows, sets and modules); exact over all entries",
    )
    output.add_argument(
        "--max-p",
        type=_fraction,
        default=None,
        metavar="P",
        help="keep only entries with p-value at most P (p_robust for pairs, p_value with "
        "--significance normal, perm_p for rows, sets and modules)",
    )
    output.add_argument(
        "--perm-q",
        action="store_true",
        help="pairs, with --significance normal: with --max-q, --max-p or --top, also report perm_q: "
        "run the permutation passes for every pair, not only for the pairs kept",
    )
    output.add_argument(
        "--overwrite",
        action="store_true",
        help="replace a .parquet output of other inputs or options (never a folder holding files corrshift did not write)",
    )
    cluster = parser.add_argument_group("cluster (default: this machine's cores)")
    cluster.add_argument(
        "--scheduler",
        metavar="ADDRESS",
        help="run on the Dask cluster whose scheduler is at ADDRESS, e.g. tcp://host:8786",
    )
    cluster.add_argument(
        "--workers",
        type=_count(1),
        default=None,
        metavar="N",
        help="run on a new local Dask cluster of N worker processes",
    )


def _paragraphs(*texts: str) -> str:
    return "\n\n".join(textwrap.fill(t, 79) for t in texts)


def build_parser() -> argparse.ArgumentParser:
    raw = argparse.RawDescriptionHelpFormatter
    parser = argparse.ArgumentParser(
        prog="corrshift",
        formatter_class=raw,
        description=_paragraphs(
            "Differential correlation between two groups of samples: which pairs of "
            "rows (genes) change their correlation, which rows change most, and "
            "which sets of pairs and gene sets do."
        ),
        epilog=_paragraphs(DETERMINISM, EXIT),
    )
    parser.add_argument("--version", action="version", version="corrshift " + __version__)
    commands = parser.add_subparsers(dest="command", metavar="COMMAND")
    commands.required = True
    epilog = _paragraphs(INPUT, P_VALUES, DETERMINISM, EXIT)
    groups_usage = "(--group1 NAMES --group2 NAMES | --by COLUMN --levels A B [--sheet FILE])"

    def add(name: str, help_text: str, description: str, usage: str) -> argparse.ArgumentParser:
        return commands.add_parser(
            name,
            help=help_text,
            description=_paragraphs(description),
            epilog=epilog,
            formatter_class=raw,
            usage="corrshift {} DATA {} {}[options]".format(name, groups_usage, usage),
        )

    pairs = add(
        "pairs",
        "test pairs of rows (all pairs, or those of --pairs)",
        "Test pairs of rows for a difference in correlation between the groups. Writes a "
        "comment line naming the groups, then one line per pair (row1, row2, r1, r2, p1, p2, "
        "class, z_diff, p_robust, q_robust, p_how, n_passes, p_value, q_value, perm_p, perm_q, n1, n2, "
        "and the non-zero counts of each row in each group), most significant first.",
        "",
    )
    _add_common(pairs, score=False)
    pairs.add_argument(
        "--significance",
        choices=SIGNIFICANCE,
        default="robust",
        help="robust: p_robust and q_robust, from permutations of the studentized difference, "
        "decide the order and --max-q, --max-p and --top; normal: p_value and q_value, the normal "
        "approximation, which assumes normal data and many expressing samples (default: robust)",
    )
    pairs.add_argument(
        "--pairs",
        metavar="FILE",
        help="pairs to test: two row names per line; a first line that names no row is "
        "a header (default: every pair of rows)",
    )
    pairs.set_defaults(run=_run_pairs)

    rows = add(
        "rows",
        "score every row against all other rows",
        "Score each row over the z_diff of its pairs with all other rows, with a permutation "
        "p-value. Writes a comment line naming the groups, then one line per row (row, score, "
        "perm_p, perm_q, n1, n2).",
        "",
    )
    _add_common(rows, score=True)
    rows.set_defaults(run=_run_rows)

    sets = add(
        "sets",
        "score sets of pairs that share a hub row",
        "Score sets of pairs (a hub row and its partners), with a permutation p-value. Writes "
        "a comment line naming the groups, then one line per set (hub, size, score, perm_p, "
        "perm_q, n1, n2).",
        "--sets FILE ",
    )
    _add_common(sets, score=True)
    sets.add_argument(
        "--sets",
        metavar="FILE",
        required=True,
        help="one set per line: the hub row, then its partner rows (tab, comma or space "
        "separated); lines with the same hub are joined; a first line that names no "
        "row is a header",
    )
    sets.set_defaults(run=_run_sets)

    modules = add(
        "modules",
        "score gene sets (modules) over all pairs of their genes",
        "Score each module (gene set) over the z_diff of all pairs of its genes, with a "
        "permutation p-value. Writes a comment line naming the groups, then one line per module "
        "(module, n_genes, n_pairs, score, mean_r1, mean_r2, perm_p, perm_q, n1, n2). Genes "
        "that the data does not have are dropped, and modules left with fewer than two genes "
        "skipped; a note on standard error says how many.",
        "--gmt FILE ",
    )
    _add_common(modules, score=True)
    modules.add_argument(
        "--gmt",
        metavar="FILE",
        required=True,
        help="gene sets in GMT format: one set per line, its name, a description and "
        "its genes (row names), tab-separated",
    )
    modules.set_defaults(run=_run_modules)

    demo = commands.add_parser(
        "demo",
        help="analyse the bundled leukemia data",
        formatter_class=raw,
        usage="corrshift demo [-o DIR] [options]",
        description=_paragraphs(
            "Differential co-expression of BCR/ABL versus NEG B-lineage acute lymphoblastic "
            "leukemia (2000 most variable probe sets, 37 + 42 samples): all pairs, and every "
            "probe set's median score. Prints the top 15 of each, writes the full tables, "
            "the input as TSV, and a figure (when matplotlib is installed)."
        ),
        epilog=_paragraphs(DETERMINISM, EXIT),
    )
    demo.add_argument(
        "-o", "--output", metavar="DIR", default="corrshift-demo", help="output folder (default: corrshift-demo)"
    )
    from .demo import PAIR_PERMUTATIONS, ROW_PERMUTATIONS

    demo.add_argument(
        "--permutations",
        type=_count(0, MAX_PERMUTATIONS),
        default=PAIR_PERMUTATIONS,
        metavar="N",
        help="permutation passes of the pair test (default: %(default)s)",
    )
    demo.add_argument(
        "--row-permutations",
        type=_count(0, MAX_PERMUTATIONS),
        default=ROW_PERMUTATIONS,
        metavar="N",
        help="permutation passes of the row scores (default: %(default)s)",
    )
    demo.add_argument(
        "--jobs", type=_count(1), default=None, metavar="N", help="worker threads (default: all usable cores)"
    )
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


class _Groups:
    """The two groups as the API takes them: names, or levels of per-column labels."""

    def __init__(self, group1: Any, group2: Any, labels: Optional[np.ndarray], described: str, notes: List[str]):
        self.group1, self.group2, self.labels = group1, group2, labels
        self.described, self.notes = described, notes


def _column_labels(
    args: argparse.Namespace, matrix: _inputs.Matrix, column: str, option: str, blank_missing: bool = False
) -> Tuple[np.ndarray, Optional[Tuple[List[str], List[str]]]]:
    """The `column` value of every column of the data ("" for samples the sheet lacks, and
    with `blank_missing` for missing values of the data's own annotation), and the sheet's
    (sample names, values) when it is a file of its own."""
    columns = matrix.column_names
    assert columns is not None
    if args.sheet is None:
        if matrix.sheet is None:
            raise UsageError(
                "{} needs --sheet FILE (only an .npz or .h5ad data file carries its own sample annotations)".format(
                    option
                )
            )
        if column not in [str(k) for k in matrix.sheet.keys()]:
            if column in [str(c) for c in getattr(matrix.row_sheet, "columns", ())]:
                raise InputError(
                    "{} {!r}: {} holds it as a column of var, not of obs: its cells seem to be in var and "
                    "its genes in obs (turned around); corrshift reads .h5ad files as cells x genes, so write "
                    "it turned around first (adata.T.write_h5ad(...))".format(option, column, args.data)
                )
            raise InputError(
                "{} {!r}: {} has no such per-sample annotation; it has {}".format(
                    option, column, args.data, ", ".join(repr(str(k)) for k in matrix.sheet.keys()) or "none"
                )
            )
        values = matrix.sheet[column]
        missing = values.isna().to_numpy() if blank_missing and hasattr(values, "isna") else None
        values = values.to_numpy() if hasattr(values, "to_numpy") else np.asarray(values)
        labels = np.asarray([str(v) for v in values.tolist()], dtype=object)
        if missing is not None:
            labels[missing] = ""
        return labels, None
    names, values = _io.read_sheet_column(args.sheet, column, columns, option)
    by_name = dict(zip(names, values))
    return np.asarray([by_name.get(c, "") for c in columns.tolist()], dtype=object), (names, values)


def _sheet_labels(args: argparse.Namespace, matrix: _inputs.Matrix) -> Tuple[np.ndarray, List[str]]:
    """The --by value of every column of the data, "" for samples the sheet lacks, and notes."""
    labels, sheet = _column_labels(args, matrix, args.by, "--by")
    if sheet is None:
        return labels, []
    names, values = sheet
    columns = matrix.column_names
    assert columns is not None
    notes = []
    present = set(columns.tolist())
    for level in args.levels:
        missing = {n for n, v in zip(names, values) if v == level} - present
        if missing:
            notes.append(
                "{} sample(s) with {} = {!r} are not in the data and were left out".format(len(missing), args.by, level)
            )
    return labels, notes


def _groups(args: argparse.Namespace, matrix: _inputs.Matrix) -> _Groups:
    uses_sheet = args.sheet is not None or args.by is not None or args.levels is not None
    if uses_sheet:
        if args.group1 is not None or args.group2 is not None:
            raise UsageError("give the groups either with --group1/--group2 or with --sheet/--by/--levels, not both")
        if args.by is None or args.levels is None:
            raise UsageError("a sample sheet needs --by COLUMN and --levels A B")
        level1, level2 = args.levels
        if level1 == level2:
            raise UsageError("--levels names {!r} twice; give two different values of {!r}".format(level1, args.by))
        labels, notes = _sheet_labels(args, matrix)
        present = set(labels.tolist()) - {""}
        for level in (level1, level2):
            if level not in present:
                raise InputError(
                    "--levels: no sample has {} = {!r}; the values are {}".format(
                        args.by, level, _within.quote_levels(_within.level_order(labels))
                    )
                )
        return _Groups(level1, level2, labels, "{} = {!r} vs {!r}".format(args.by, level1, level2), notes)
    if args.group1 is None or args.group2 is None:
        raise UsageError("give the two groups with --group1 and --group2, or with --by and --levels")
    return _Groups(_io.read_name_list(args.group1), _io.read_name_list(args.group2), None, "--group1 vs --group2", [])


def _options(args: argparse.Namespace, grp: _Groups, score: bool) -> Dict[str, Any]:
    options: Dict[str, Any] = dict(
        method=args.method,
        alternative=args.alternative,
        permutations=args.permutations,
        n_jobs=args.jobs,
        allow_overlap=args.allow_overlap,
        groupby=grp.labels,
        min_cells=args.min_cells if args.min_cells is not None or score else 5,
        min_fraction=args.min_fraction,
    )
    if score:
        options["score"] = args.score
    else:
        options["class_alpha"] = args.class_alpha
    if args.scheduler is not None and args.workers is not None:
        raise UsageError("give either --scheduler or --workers, not both")
    options.update(max_q=args.max_q, max_p=args.max_p, top=args.top, overwrite=args.overwrite)
    if _parquet_output(args.output):
        options["out"] = args.output
    return options


def _parquet_output(path: str) -> bool:
    return path.rstrip("/\\").endswith(".parquet")


def _check_output(path: str) -> None:
    """Refuse an output file that cannot be written, before any work is done."""
    if path == "-" or _parquet_output(path):  # a Parquet folder is checked by the engine, before any work
        return
    if os.path.isdir(path):
        raise InputError("-o {}: is a directory; name a file".format(path))
    folder = os.path.dirname(os.path.abspath(path))
    if not os.path.isdir(folder):
        raise InputError("-o {}: the folder {} does not exist".format(path, folder))
    if os.path.exists(path) and not os.access(path, os.W_OK):
        raise InputError("-o {}: the file exists and cannot be written".format(path))
    if not os.path.exists(path) and not os.access(folder, os.W_OK | os.X_OK):
        raise InputError("-o {}: cannot create files in {}".format(path, folder))


def _load(args: argparse.Namespace) -> Tuple[_inputs.Matrix, _Groups]:
    _check_output(args.output)
    matrix = _inputs.as_matrix(args.data, layer=args.layer, use_raw=args.use_raw)
    if matrix.column_names is None:  # a .npy file: samples are numbered
        matrix.column_names = np.asarray([str(j) for j in range(matrix.ncols)], dtype=object)
    return matrix, _groups(args, matrix)


def _plural(count: int, noun: str) -> str:
    """ "1 pair", "2 pairs"; `noun` is the plural."""
    return "{:,} {}".format(count, noun[:-1] if count == 1 else noun)


@contextlib.contextmanager
def _writing(path: str) -> Iterator[Any]:
    """The output as an open text file (standard output for "-"); a failed write names the
    output, and a partly written file is removed."""
    if path == "-":
        try:
            yield sys.stdout
            sys.stdout.flush()
        except BrokenPipeError:
            raise
        except OSError as err:
            raise InputError("standard output: cannot write the table: {}".format(err.strerror or err)) from None
        return
    from .results import _open_output

    try:
        handle = _open_output(path)
    except OSError as err:
        raise InputError("-o {}: cannot open the file: {}".format(path, err.strerror or err)) from None
    try:
        with handle:
            yield handle
    except OSError as err:
        if os.path.isfile(path):  # not a device such as /dev/full
            os.remove(path)
        raise InputError("-o {}: cannot write the table: {}".format(path, err.strerror or err)) from None


def _target(path: str) -> str:
    if path == "-":
        return "standard output"
    return "{} (Parquet dataset)".format(path) if _parquet_output(path) else path


def _test_summary(result: Any, started: float) -> str:
    smallest = " (smallest perm_p {:.3g})".format(1.0 / (result.permutations + 1)) if result.permutations else ""
    return "{}, {}, {}{}, {:.1f} s".format(
        result.method,
        result.alternative,
        _plural(result.permutations, "permutations"),
        smallest,
        time.perf_counter() - started,
    )


def _matrix_read(result: Any) -> str:
    """Which matrix of an .h5ad file the run read, for the summary line."""
    return "" if result.matrix is None else " (values: {})".format(result.matrix)


def _say_left_out(args: argparse.Namespace, result: Any, where: str = "") -> None:
    for why, names in result.dropped.items():
        print(
            "corrshift {}: {}left out {}, {}: {}".format(
                args.command, where, _plural(len(names), "rows"), why, ", ".join(names)
            ),
            file=sys.stderr,
        )


def _finish(args: argparse.Namespace, result: Any, what: str, grp: _Groups, started: float) -> int:
    for note in grp.notes:
        print("corrshift: note: " + note, file=sys.stderr)
    if not _parquet_output(args.output):
        with _writing(args.output) as handle:
            result.to_tsv(handle, top=args.top)
    print(
        "corrshift {}: {}, {}: {} + {} samples{}, {}; wrote {}".format(
            args.command,
            _plural(len(result), what),
            grp.described,
            result.n1,
            result.n2,
            _matrix_read(result),
            _test_summary(result, started),
            _target(args.output),
        ),
        file=sys.stderr,
    )
    _say_left_out(args, result)
    return 0


class _Levels:
    """The levels of --within to compare, those left out, and each level's groups."""

    def __init__(self, args: argparse.Namespace, matrix: _inputs.Matrix, grp: _Groups):
        labels, _ = _column_labels(args, matrix, args.within, "--within", blank_missing=True)
        if args.by is not None and args.within == args.by:
            raise UsageError("--within {!r} is also --by: each of its levels holds one group only".format(args.within))
        self.column = args.within
        self.limit = args.min_group_size
        ncols = matrix.ncols
        masks = []
        if grp.labels is not None:
            self.positions = None
            masks = [grp.labels == grp.group1, grp.labels == grp.group2]
        else:
            lookup = matrix.column_lookup()
            self.positions = [
                _inputs._as_index_list(names, ncols, "column", option, lookup)
                for option, names in (("--group1", grp.group1), ("--group2", grp.group2))
            ]
            for positions in self.positions:
                mask = np.zeros(ncols, dtype=bool)
                mask[positions] = True
                masks.append(mask)
        categories = None
        if args.sheet is None and matrix.sheet is not None:
            column = matrix.sheet[args.within]
            if hasattr(column, "cat"):
                categories = list(column.cat.categories)
        self.kept, self.skipped = _within.split_levels(
            labels, masks[0], masks[1], self.limit, _within.level_order(labels, categories)
        )
        if not self.kept:
            raise _within.no_level_error(self.skipped, self.column, self.limit)
        self.grp = grp

    def group_args(self, level: _within.Level) -> Tuple[Any, Any, Dict[str, Any]]:
        grp = self.grp
        if self.positions is None:
            assert grp.labels is not None
            return grp.group1, grp.group2, {"groupby": grp.labels[level.columns]}
        inside = np.zeros(int(level.columns.max()) + 1, dtype=bool)
        inside[level.columns] = True
        chosen = [
            [name for name, p in zip(names, positions) if p < inside.size and inside[p]]
            for names, positions in zip((grp.group1, grp.group2), self.positions)
        ]
        return chosen[0], chosen[1], {}


def _finish_levels(args: argparse.Namespace, levels: _Levels, results: List[Any], what: str, started: float) -> int:
    for note in levels.grp.notes:
        print("corrshift: note: " + note, file=sys.stderr)
    left_out = _within.describe_skipped(levels.skipped, levels.column, levels.limit) if levels.skipped else None
    if left_out:
        print("corrshift: note: " + left_out, file=sys.stderr)
    if not _parquet_output(args.output):
        with _writing(args.output) as handle:
            for level, result in zip(levels.kept, results):
                handle.write("# {} = {}: {}\n".format(levels.column, level.name, result.header_comment()[2:]))
            if left_out:
                handle.write("# {}\n".format(left_out))
            handle.write("\t".join((levels.column,) + tuple(results[0].columns)) + "\n")
            for level, result in zip(levels.kept, results):
                result._write(handle, result._positions(True, args.top), lead=level.name, header=False)
    entries = sum(len(r) for r in results)
    print(
        "corrshift {}: {} in {} of {!r}, {}{}: {}; wrote {}".format(
            args.command,
            _plural(entries, what),
            _plural(len(results), "levels"),
            levels.column,
            levels.grp.described,
            _matrix_read(results[0]),
            _test_summary(results[0], started),
            "{} (a Parquet dataset per level)".format(args.output)
            if _parquet_output(args.output)
            else _target(args.output),
        ),
        file=sys.stderr,
    )
    for level, result in zip(levels.kept, results):
        _say_left_out(args, result, "{} = {}: ".format(levels.column, level.name))
    return 0


def _analyse(
    args: argparse.Namespace,
    function: Any,
    matrix: _inputs.Matrix,
    grp: _Groups,
    options: Dict[str, Any],
    what: str,
    started: float,
    leading: Sequence[Any] = (),
) -> int:
    """Run `function` (an API function) on the data, or on each level of --within, and
    write the table."""
    levels = _Levels(args, matrix, grp) if args.within is not None else None
    with progress_to_stderr(), _rows_left_out_said_once(), engine.connect(args.scheduler, args.workers) as client:
        if levels is None:
            result = function(matrix, *leading, grp.group1, grp.group2, client=client, **options)
        else:
            results = _within.run_levels(
                function, matrix, levels.kept, levels.column, levels.group_args, dict(options, client=client), leading
            )
    if levels is None:
        return _finish(args, result, what, grp, started)
    return _finish_levels(args, levels, results, what, started)


def _unknown_rows(path: str, unknown: List[Tuple[int, str]]) -> InputError:
    shown = ", ".join("{!r} (line {})".format(name, number) for number, name in unknown[:10])
    more = ", ... ({} in all)".format(len(unknown)) if len(unknown) > 10 else ""
    return InputError("{}: {} name(s) that are not rows of the data: {}{}".format(path, len(unknown), shown, more))


def _row_lines(path: str, known: set) -> List[Tuple[int, List[str]]]:
    """Lines of a pairs or sets file; a first line that names no row of the data is a header."""
    lines = _io.read_row_lines(path)
    if lines and not any(name in known for name in lines[0][1]):
        lines = lines[1:]
    unknown = [(number, name) for number, fields in lines for name in fields if name not in known]
    if unknown:
        raise _unknown_rows(path, unknown)
    return lines


def _read_pairs(path: str, rows: np.ndarray) -> List[Tuple[str, str]]:
    pairs = []
    for number, fields in _row_lines(path, set(rows.tolist())):
        if len(fields) != 2:
            raise InputError("{} line {}: {} names; a pair is two row names".format(path, number, len(fields)))
        pairs.append((fields[0], fields[1]))
    if not pairs:
        raise InputError("{}: the file lists no pairs".format(path))
    return pairs


def _read_sets(path: str, rows: np.ndarray) -> Dict[str, List[str]]:
    sets: Dict[str, List[str]] = {}
    for number, fields in _row_lines(path, set(rows.tolist())):
        if len(fields) < 2:
            raise InputError("{} line {}: a set needs a hub row and at least one partner".format(path, number))
        sets.setdefault(fields[0], []).extend(fields[1:])
    if not sets:
        raise InputError("{}: the file lists no sets".format(path))
    return sets


@contextlib.contextmanager
def _rows_left_out_said_once() -> Iterator[None]:
    """The API's warning about rows left out stays quiet: the summary lines name them."""
    with warnings.catch_warnings():
        warnings.filterwarnings("ignore", message="left out", category=UserWarning)
        yield


def _run_pairs(args: argparse.Namespace) -> int:
    from .api import ztest

    started = time.perf_counter()
    matrix, grp = _load(args)
    options = _options(args, grp, score=False)
    if args.perm_q and args.significance == "robust" and (args.max_q, args.max_p, args.top) != (None, None, None):
        raise UsageError(
            "--perm-q needs --significance normal: with the robust significance, --max-q, --max-p and --top "
            "choose the pairs by q_robust and p_robust, and only those run the table's permutation passes"
        )
    options["perm_q"] = args.perm_q
    options["significance"] = args.significance
    options["pairs"] = _read_pairs(args.pairs, matrix.row_names) if args.pairs is not None else None
    return _analyse(args, ztest, matrix, grp, options, "pairs", started)


def _run_rows(args: argparse.Namespace) -> int:
    from .api import row_scores

    started = time.perf_counter()
    matrix, grp = _load(args)
    return _analyse(args, row_scores, matrix, grp, _options(args, grp, score=True), "rows", started)


def _run_sets(args: argparse.Namespace) -> int:
    from .api import set_scores

    started = time.perf_counter()
    matrix, grp = _load(args)
    sets = _read_sets(args.sets, matrix.row_names)
    return _analyse(args, set_scores, matrix, grp, _options(args, grp, score=True), "sets", started, (sets,))


def _run_modules(args: argparse.Namespace) -> int:
    from .api import module_scores

    started = time.perf_counter()
    matrix, grp = _load(args)
    runs: List[Any] = []
    said: List[str] = []  # the modules skipped that a note names already

    def scores(*given: Any, **options: Any) -> Any:
        """module_scores, with notes instead of its warnings (once, also over --within levels)."""
        with warnings.catch_warnings(record=True) as caught:
            warnings.simplefilter("always")
            warnings.filterwarnings("ignore", message="modules: ", category=UserWarning)
            warnings.filterwarnings("ignore", message="left out", category=UserWarning)
            result = module_scores(*given, **options)
        for warning in caught:  # the GMT file's own notes (a description that is a gene), once
            text = str(warning.message)
            if text not in said:
                grp.notes.append(text)
                said.append(text)
        if not runs and result.unknown:
            grp.notes.append(
                "{}: {} gene name(s) are not rows of the data and were dropped".format(args.gmt, result.unknown)
            )
        runs.append(result)
        fresh = [name for name in result.skipped if name not in said]
        if fresh:
            grp.notes.append(
                "{}: {} module(s) with fewer than 2 usable genes were skipped: {}".format(
                    args.gmt, len(fresh), _inputs._quote_list(fresh)
                )
            )
            said.extend(fresh)
        return result

    return _analyse(args, scores, matrix, grp, _options(args, grp, score=True), "modules", started, (args.gmt,))


def _run_demo(args: argparse.Namespace) -> int:
    from . import demo

    return demo.run(
        args.output,
        permutations=args.permutations,
        row_permutations=args.row_permutations,
        n_jobs=args.jobs,
        progress=progress_to_stderr,
    )


def _subcommand(parser: argparse.ArgumentParser, name: Optional[str]) -> argparse.ArgumentParser:
    for action in parser._actions:
        if isinstance(action, argparse._SubParsersAction) and name in action.choices:
            return action.choices[name]
    return parser


def main(argv: Optional[Sequence[str]] = None) -> int:
    """Run the command line `argv` (default: ``sys.argv[1:]``); returns the exit status.

    Usage errors exit with status 2 after the command's usage line and one error line; data
    errors with status 1 after one line ``corrshift: error: ...``.
    """
    parser = build_parser()
    args, extra = parser.parse_known_args(argv)
    command = _subcommand(parser, getattr(args, "command", None))
    if extra:
        # Reported by the subcommand, so that its own usage line is shown.
        command.error("unrecognized arguments: {}".format(" ".join(extra)))
    try:
        return int(args.run(args))
    except UsageError as err:
        command.error(str(err))
        return 2  # not reached: error() exits
    except (InputError, ClusterLost, MemoryError, ImportError) as err:
        # Expected failures (bad input, a lost cluster, too little memory, a missing extra):
        # one line, no traceback.
        print("corrshift: error: {}".format(str(err) or type(err).__name__), file=sys.stderr)
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
        where = "{}: ".format(err.filename) if err.filename else ""
        print("corrshift: error: {}{}".format(where, err.strerror or err), file=sys.stderr)
        return 1


if __name__ == "__main__":  # pragma: no cover
    sys.exit(main())
