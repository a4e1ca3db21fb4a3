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
    assert expected.columns == actual.columns
    assert len(expected) == len(actual)
    for name in expected.columns:
        a, b = expected.column(name), actual.column(name)
        assert a.dtype == b.dtype, name
        if a.dtype.kind == "f":
            assert np.array_equal(a.view(np.uint8), b.view(np.uint8)), name
        else:
            assert np.array_equal(a, b), name


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
