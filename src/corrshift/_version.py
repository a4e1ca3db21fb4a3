"""The package version: that of the installed distribution, so that it has one source
(``pyproject.toml``)."""

try:
    from importlib.metadata import PackageNotFoundError, version
except ImportError:  # pragma: no cover - Python < 3.8
    version = None  # type: ignore[assignment]

__version__ = "0+unknown"
if version is not None:
    try:
        __version__ = version("corrshift")
    except PackageNotFoundError:  # running from a source tree that was never installed
        pass
