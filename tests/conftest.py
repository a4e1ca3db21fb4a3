# The package lives in src/, so the repository root never shadows the installed package
# (with its compiled modules); the tests import what `make build` installed.

import numpy as np
import pytest


def pytest_configure(config):  # type: ignore[no-untyped-def]
    config.addinivalue_line("markers", "slow: takes more than about 20 seconds")


@pytest.fixture
def engine_small(monkeypatch):  # type: ignore[no-untyped-def]
    """The engine on the exact pure-Python block functions, with tiles small enough that
    small data makes several of them."""
    from corrshift import engine

    try:
        import corrshift._blocks  # noqa: F401
    except ImportError:
        monkeypatch.setattr(engine, "BLOCKS", "blocks_reference")
    monkeypatch.setattr(engine, "TILE_PAIRS", 300)
    monkeypatch.setattr(engine, "MIN_TILE_PAIRS", 100)
    return engine


def _parquet_usable() -> bool:
    try:
        import pyarrow.parquet  # noqa: F401
    except ImportError:
        return False
    return True


#: Tests that write Parquet output; skipped where pyarrow is missing or cannot load.
needs_parquet = pytest.mark.skipif(not _parquet_usable(), reason="pyarrow is not usable here")


def assert_same_table(expected, actual):  # type: ignore[no-untyped-def]
    """Same columns, same values bit for bit (NaN where NaN), same dtypes."""
    assert type(expected) is type(actual)
    from corrshift.results import NONZERO_COLUMNS, ROBUST_COLUMNS

    # The non-zero counts are made by the API from the rows given, the robust columns by
    # runs that ask for them: a problem made for the engine directly has neither.
    left_out = [
        names
        for names, made in ((NONZERO_COLUMNS, "row_nonzero"), (ROBUST_COLUMNS, "p_robust"))
        if getattr(expected, made, None) is None or getattr(actual, made, None) is None
    ]
    columns = tuple(c for c in expected.columns if not any(c in names for names in left_out))
    assert columns == tuple(c for c in actual.columns if not any(c in names for names in left_out))
    assert len(expected) == len(actual)
    for name in columns:
        a, b = expected.column(name), actual.column(name)
        assert a.dtype == b.dtype, name
        if a.dtype.kind == "f":
            assert np.array_equal(a.view(np.uint8), b.view(np.uint8)), name
        else:
            assert np.array_equal(a, b), name


def ticks_during(call):  # type: ignore[no-untyped-def]
    """How often another Python thread counted while `call()` ran: many times only when
    the call lets other threads run (releases the interpreter lock)."""
    import threading

    ticks, running, started = [0], [True], threading.Event()

    def count():  # type: ignore[no-untyped-def]
        started.set()
        while running[0]:
            ticks[0] += 1

    thread = threading.Thread(target=count)
    thread.start()
    started.wait()
    try:
        before = ticks[0]
        call()
        return ticks[0] - before
    finally:
        running[0] = False
        thread.join()


#: Cells per (cell type, condition) of the `cells` AnnData: "rare" has too few stimulated cells.
CELL_COUNTS = {"B": (9, 7), "T": (12, 10), "rare": (6, 3)}


@pytest.fixture
def cells():  # type: ignore[no-untyped-def]
    """A small AnnData object: 8 genes (sparse, log-like values that vary in every group),
    cells of three cell types ("cell_type") in two conditions ("condition", ctrl/stim), a
    layer and a .raw with two more genes."""
    anndata = pytest.importorskip("anndata")
    pd = pytest.importorskip("pandas")
    sparse = pytest.importorskip("scipy.sparse")
    rng = np.random.default_rng(21)
    kinds, conditions = [], []
    for kind, (ctrl, stim) in CELL_COUNTS.items():
        kinds += [kind] * (ctrl + stim)
        conditions += ["ctrl"] * ctrl + ["stim"] * stim
    n = len(kinds)
    values = rng.gamma(2.0, 1.0, size=(n, 10)).astype(np.float32)
    values[:, 1] += np.where(np.asarray(conditions) == "stim", 1.5, -0.2) * values[:, 0]
    obs = pd.DataFrame(
        {"cell_type": pd.Categorical(kinds, categories=["T", "B", "rare"]), "condition": conditions},
        index=["c{}".format(i) for i in range(n)],
    )
    genes = ["G{}".format(j) for j in range(10)]
    full = anndata.AnnData(X=sparse.csr_matrix(np.log1p(values)), obs=obs, var=pd.DataFrame(index=genes))
    adata = full[:, :8].copy()
    adata.layers["counts"] = values[:, :8]
    adata.raw = full
    return adata


def stop_after_tasks(monkeypatch, engine, after):  # type: ignore[no-untyped-def]
    """Make the engine's tasks raise KeyboardInterrupt once `after` of them have run; returns
    the real task function, to set back."""
    real, calls = engine.run_task, []

    def interrupted(*args, **kwargs):  # type: ignore[no-untyped-def]
        if len(calls) == after:
            raise KeyboardInterrupt
        calls.append(1)
        return real(*args, **kwargs)

    monkeypatch.setattr(engine, "run_task", interrupted)
    return real
