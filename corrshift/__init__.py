"""Differential correlation between two groups of observations.

The compiled modules ``scores`` and ``pipelines`` hold the native functions.
"""
from . import pipelines, scores

__all__ = ["pipelines", "scores"]
