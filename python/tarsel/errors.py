"""The exceptions of tarsel's public API."""

from __future__ import annotations

import contextlib
from collections.abc import Iterator


class TarselError(Exception):
    """A failure inside the native core that is not the caller's fault.

    The native module reports such failures as ``tarsel._core.InternalFailure``,
    which derives from ``BaseException`` so that low-level code cannot swallow
    it by accident. The ``Recommender`` API converts it to this exception, so
    that a service's ``except Exception`` catches it; the original is chained
    as ``__cause__``.
    """


class NotFittedError(ValueError, AttributeError):
    """A model was used before ``fit`` (or ``load``).

    It derives from ``ValueError`` and ``AttributeError``, as scikit-learn's
    exception of the same name does, so either ``except`` clause catches it.
    """


@contextlib.contextmanager
def native_failures() -> Iterator[None]:
    """Report the core's ``InternalFailure`` raised inside the block as
    ``TarselError``."""
    from tarsel._core import InternalFailure

    try:
        yield
    except InternalFailure as exc:
        raise TarselError(f"internal failure in the native core: {exc}") from exc
