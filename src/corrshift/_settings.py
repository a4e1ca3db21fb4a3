"""What scanpy's settings say, where scanpy is in use, and what corrshift does without it.

* Progress bars (``tqdm.auto``): drawn unless ``progress=False`` or, when scanpy has been
  imported, ``sc.settings.verbosity`` is 0 (errors only).
* One log line per stored result (``added to .uns['corrshift_pairs']``): through scanpy's
  logging when scanpy has been imported (shown from ``sc.settings.verbosity = "info"`` on,
  as scanpy's own lines are), else the ``corrshift`` logger of :mod:`logging` at INFO.
* Figures: the folder, format and suffix of ``save=``, and whether ``show=None`` shows
  (``sc.settings.figdir``, ``file_format_figs``, ``plot_suffix``, ``autosave``,
  ``autoshow``); without scanpy, scanpy's defaults (``./figures``, png) and showing when
  matplotlib is interactive.
* Warnings point at the first line outside this package, the user's call.
"""

import logging
import os
import sys
import warnings
from typing import Any, Optional, Type

_PACKAGE = os.path.dirname(os.path.abspath(__file__)) + os.sep

logger = logging.getLogger("corrshift")


def scanpy_settings() -> Any:
    """``scanpy.settings`` when scanpy has been imported, else None (scanpy is never
    imported here: it is slow to import and may not be installed)."""
    module = sys.modules.get("scanpy")
    return getattr(module, "settings", None)


def verbosity() -> Optional[int]:
    """``sc.settings.verbosity`` as a number (0 errors, 1 warnings, 2 info, 3 hints, 4
    debug), or None without scanpy."""
    settings = scanpy_settings()
    try:
        return None if settings is None else int(settings.verbosity)
    except (AttributeError, TypeError, ValueError):
        return None


def show_progress(progress: Any) -> bool:
    """Whether to draw a progress bar: `progress` is true and scanpy's verbosity (if any)
    is above 0."""
    level = verbosity()
    return bool(progress) and (level is None or level >= 1)


def info(message: str) -> None:
    """One line at the level of scanpy's "added to .uns[...]" lines."""
    module = sys.modules.get("scanpy")
    log = getattr(module, "logging", None)
    if log is not None and hasattr(log, "info"):
        log.info(message)
    else:
        logger.info(message)


def saving(message: str) -> None:
    """The line that names a saved figure (a warning in scanpy's logging, as scanpy's is)."""
    module = sys.modules.get("scanpy")
    log = getattr(module, "logging", None)
    if log is not None and hasattr(log, "warning"):
        log.warning(message)
    else:
        logger.info(message)


def caller_stacklevel() -> int:
    """The `stacklevel` of :func:`warnings.warn` that names the first frame outside this
    package, for a call of warnings.warn in the function that calls this one."""
    frame = sys._getframe(2)  # stacklevel 2: the caller of the function that warns
    level = 2
    while frame is not None and frame.f_code.co_filename.startswith(_PACKAGE):
        frame = frame.f_back
        level += 1
    return level


def warn(message: str, category: Type[Warning] = UserWarning) -> None:
    """:func:`warnings.warn` pointing at the user's line that called into corrshift."""
    warnings.warn(message, category, stacklevel=caller_stacklevel())
