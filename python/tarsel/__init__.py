"""tarsel: a recommender library with a native C++ core.

The heavy work runs in :mod:`tarsel._core`; this package prepares data for it
and re-exports its functions.
"""
from __future__ import annotations

from tarsel import _loader

_loader.preload_native_dependencies()

from tarsel._core import (  # noqa: E402
    EngineState,
    InternalFailure,
    build_cooccurrence,
    cooc_transform,
    cooccurrence_retrieve,
    cooccurrence_signal,
    build_directional_cooc,
    symmetrize_via_transpose,
    build_session_cooccurrence,
    deep_session_fraction,
    fit_ease_py,
    metadata_knn,
    build_engine,
    calibrate_layered_py,
    layered_score_py,
    multiplier_one_py,
    multipliers_batch,
    detect_period_py,
    fit_channels,
    fit_repeat_profile,
    ndcg_at_k_py,
)

from tarsel import datasets, evaluation  # noqa: E402
from tarsel.recommender import Recommender  # noqa: E402

__all__ = [
    "Recommender",
    "datasets",
    "evaluation",
    "EngineState",
    "InternalFailure",
    "build_cooccurrence",
    "cooc_transform",
    "cooccurrence_retrieve",
    "cooccurrence_signal",
    "build_directional_cooc",
    "symmetrize_via_transpose",
    "build_session_cooccurrence",
    "deep_session_fraction",
    "fit_ease_py",
    "metadata_knn",
    "build_engine",
    "calibrate_layered_py",
    "layered_score_py",
    "multiplier_one_py",
    "multipliers_batch",
    "fit_channels",
    "detect_period_py",
    "fit_repeat_profile",
    "ndcg_at_k_py",
]

__version__ = "0.1.0"
