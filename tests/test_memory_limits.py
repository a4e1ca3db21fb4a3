"""Memory: the limits a run is checked against before any work (available memory, ulimit -v,
cgroup v1 and v2), the bound that keeps a max_q run's entries few (the same q-values, bit for
bit), and an allocation that fails during a run ending in one line that names what was
being built."""

import subprocess
import sys
import textwrap

import numpy as np
import pytest

import corrshift
from corrshift import _memory, cli, engine
from corrshift.engine import assemble
from corrshift.results import bh_qvalues

G1, G2 = list(range(8)), list(range(8, 17))

CGROUP_V1 = "4:memory:/jobs/job7\n3:cpu:/\n"
MOUNTS_V1 = "35 31 0:32 /jobs /sys/fs/cgroup/memory rw,relatime - cgroup cgroup rw,memory\n"
CGROUP_V2 = "0::/user.slice/run-1.scope\n"
MOUNTS_V2 = "41 31 0:38 / /sys/fs/cgroup rw,relatime - cgroup2 cgroup2 rw\n"


def files_of(table):
    return lambda path: table.get(path)


@pytest.mark.parametrize(
    "cgroup, mounts, table, expected",
    [
        (  # v1: the job's own limit, and a tighter one on its parent; cache counts as free
            CGROUP_V1,
            MOUNTS_V1,
            {
                "/sys/fs/cgroup/memory/job7/memory.limit_in_bytes": "4000000000\n",
                "/sys/fs/cgroup/memory/job7/memory.usage_in_bytes": "1000000000\n",
                "/sys/fs/cgroup/memory/job7/memory.stat": "cache 9\ntotal_inactive_file 500000000\n",
                "/sys/fs/cgroup/memory/memory.limit_in_bytes": "9223372036854771712\n",
            },
            [3500000000],
        ),
        (  # v2: "max" is no limit; the parent's limit applies
            CGROUP_V2,
            MOUNTS_V2,
            {
                "/sys/fs/cgroup/user.slice/run-1.scope/memory.max": "max\n",
                "/sys/fs/cgroup/user.slice/run-1.scope/memory.current": "5\n",
                "/sys/fs/cgroup/user.slice/memory.max": "2147483648\n",
                "/sys/fs/cgroup/user.slice/memory.current": "1073741824\n",
                "/sys/fs/cgroup/user.slice/memory.stat": "anon 1\ninactive_file 0\n",
            },
            [1073741824],
        ),
        (CGROUP_V2, MOUNTS_V1, {}, []),  # no hierarchy mounted that holds the group
        ("garbage\n", "also garbage\n", {}, []),
    ],
    ids=["v1-nested", "v2-parent", "unmounted", "unreadable"],
)
def test_control_group_limits(cgroup, mounts, table, expected):
    found = _memory.cgroup_limits(cgroup, mounts, files_of(table))
    assert [bytes_ for bytes_, _ in found] == expected
    assert all("control group" in why for _, why in found)


def test_the_tightest_limit_is_the_headroom(monkeypatch):
    monkeypatch.setattr(_memory, "limits", lambda: [(5 << 30, "a"), (1 << 30, "b"), (3 << 30, "c")])
    assert _memory.headroom() == (1 << 30, "b")
    monkeypatch.setattr(_memory, "limits", lambda: [])
    assert _memory.headroom()[0] > 1 << 60


def child(script, limit):
    """`script` run in a fresh interpreter whose address space is capped at what it has
    mapped plus `limit` bytes; its exit status and standard error."""
    prelude = textwrap.dedent(
        """
        import resource, numpy, corrshift
        with open("/proc/self/status") as fh:
            mapped = [int(l.split()[1]) * 1024 for l in fh if l.startswith("VmSize:")][0]
        resource.setrlimit(resource.RLIMIT_AS, (mapped + {limit}, mapped + {limit}))
        """
    ).format(limit=limit)
    done = subprocess.run([sys.executable, "-c", prelude + textwrap.dedent(script)], capture_output=True, text=True)
    return done.returncode, done.stderr


@pytest.mark.parametrize(
    "options, message",
    [
        ("", r"all 17,997,000 pairs of 6,000 rows need about 1\.6 GB in memory, more than this process can take "),
        ("max_p=0.5", r"need about 0\.8 GB in memory even on data without changes in correlation \(about 8,998,500 "),
    ],
    ids=["unfiltered", "max_p"],
)
def test_an_address_space_limit_refuses_a_run_before_any_work(options, message):
    status, err = child(
        """
        from corrshift import engine
        engine.run_task = lambda *a, **k: print("work started") or exit(3)
        x = numpy.random.default_rng(0).normal(size=(6000, 8)).astype(numpy.float32)
        try:
            corrshift.ztest(x, [0, 1, 2, 3], [4, 5, 6, 7], permutations=0, progress=False, {})
        except corrshift.InputError as exc:
            print(exc, file=__import__("sys").stderr)
        """.format(options),
        400 << 20,
    )
    assert status == 0, err
    assert __import__("re").search(message, err) and "ulimit -v" in err


def test_a_failed_allocation_names_what_was_being_built(engine_small, monkeypatch, capsys, tmp_path):
    x = np.random.default_rng(2).normal(size=(30, 17)).astype(np.float32)

    def no_memory(*args, **kwargs):
        raise MemoryError

    monkeypatch.setattr(engine, "run_task", no_memory)
    with pytest.raises(corrshift.OutOfMemory, match=r"ran out of memory while computing the robust p-values .*out="):
        corrshift.ztest(x, G1, G2, permutations=5, progress=False)
    with pytest.raises(
        corrshift.OutOfMemory, match=r"ran out of memory while computing the tiles of the 435 pairs .*out="
    ):
        corrshift.ztest(x, G1, G2, permutations=5, progress=False, significance="normal")
    with pytest.raises(MemoryError, match=r"while computing the observed pass .*a smaller max_p or max_q"):
        corrshift.ztest(x, G1, G2, permutations=5, progress=False, max_q=0.1, significance="normal")
    path = tmp_path / "x.npy"
    np.save(path, x)
    groups = ["--group1", ",".join(map(str, G1)), "--group2", ",".join(map(str, G2))]
    assert cli.main(["rows", str(path)] + groups + ["--permutations", "3"]) == 1
    err = capsys.readouterr().err.strip().splitlines()
    assert err[-1].startswith("corrshift: error: ran out of memory while computing the tiles of the 30 rows")
    assert not any("Traceback" in line for line in err)


def p_star(p, limit):
    """The largest p-value whose q-value is at most `limit`, by the definition."""
    q = bh_qvalues(p)
    return np.max(p[q <= limit]) if np.any(q <= limit) else -np.inf


@pytest.mark.parametrize("seed", range(6))
def test_the_q_value_bound_never_falls_below_a_reported_p_value(seed):
    rng = np.random.default_rng(seed)
    p = rng.uniform(size=4000) ** rng.choice([1.0, 3.0, 12.0])  # from null to full of signal
    p[rng.random(p.size) < 0.02] = np.nan
    p[:40] = rng.choice([0.0, 1e-300, 1e-9], size=40)
    max_q = rng.choice([0.01, 0.05, 0.2, 0.9])
    limit = max_q * (1 + 2.0**-40)
    truth = p_star(p[~np.isnan(p)], max_q)
    bound = assemble.QBound(limit, p.size)
    bounds = []
    for tile in np.array_split(rng.permutation(p), 17):
        valid = tile[~np.isnan(tile)]
        values, counts = np.unique(valid[valid <= limit], return_counts=True)
        bounds.append(bound.add(values, counts, valid.size))
        assert bounds[-1] >= truth
    assert bounds == sorted(bounds, reverse=True)
    if truth < max_q / 2:
        assert bounds[-1] < limit / 2  # it did fall


@pytest.mark.parametrize(
    "options",
    [
        {"max_q": 0.05},
        {"max_q": 0.3},
        {"max_q": 0.2, "top": 7},
        {"max_q": 0.3, "max_p": 0.01},
        {"max_q": 0.2, "perm_q": True},
        {"max_q": 0.1, "method": "spearman", "permutations": 0},
    ],
    ids=["q05", "q30", "top", "with-max_p", "every-pass", "spearman-observed"],
)
@pytest.mark.parametrize("where", ["memory", "files"])
def test_max_q_tables_are_those_of_the_whole_table(engine_small, monkeypatch, tmp_path, options, where):
    rng = np.random.default_rng(17)
    x = rng.normal(size=(70, 17)).astype(np.float32)
    x[:14, :8] += 4 * rng.normal(size=8).astype(np.float32)
    options = dict({"permutations": 10, "significance": "normal"}, **options)
    whole = corrshift.ztest(
        x, G1, G2, progress=False, **{k: v for k, v in options.items() if k in ("method", "permutations", "significance")}
    )
    q = whole.q_value
    keep = q <= options["max_q"]
    if "max_p" in options:
        keep &= whole.p_value <= options["max_p"]
    bounds = []
    real = assemble.QBound.tighten
    monkeypatch.setattr(assemble.QBound, "tighten", lambda self: bounds.append(real(self)) or bounds[-1])
    got = corrshift.ztest(x, G1, G2, progress=False, **options, **({"out": tmp_path / "o"} if where == "files" else {}))
    assert bounds and bounds[-1] < options["max_q"]  # entries above it were let go
    expected = whole.take(np.flatnonzero(keep))
    if "top" in options:
        expected = expected.take(expected.order()[: options["top"]])
    assert len(got) == len(expected) > 0
    for name in ("index1", "index2", "p_value", "q_value", "z_diff"):
        a, b = np.sort(getattr(expected, name)), np.sort(getattr(got, name))
        assert np.array_equal(a.view(np.uint8), b.view(np.uint8)), name
