"""tarsel: a recommender library with a native C++ core.

The public API is :class:`Recommender`, the exceptions in :mod:`tarsel.errors`,
:mod:`tarsel.datasets` and :mod:`tarsel.evaluation`. The native functions
themselves live in :mod:`tarsel._core`.
"""

from __future__ import annotations

import copyreg

from tarsel import _loader

_loader.preload_native_dependencies()

from tarsel import _core, datasets, errors, evaluation  # noqa: E402
from tarsel._version import __version__  # noqa: E402
from tarsel.errors import NotFittedError, TarselError  # noqa: E402
from tarsel.recommender import Recommender  # noqa: E402

# Engines pickle and deep-copy through their own serialised record.
copyreg.pickle(
    _core.EngineState, lambda engine: (_core.EngineState.from_bytes, (engine.to_bytes(),))
)

__all__ = [
    "Recommender",
    "TarselError",
    "NotFittedError",
    "datasets",
    "errors",
    "evaluation",
    "__version__",
]
