"""Progress bars for long work, shown through tqdm (the ``tarsel[io]`` extra)
when the caller asks for them."""

from __future__ import annotations

import warnings
from collections.abc import Iterable
from typing import Any


def _tqdm() -> Any | None:
    try:
        from tqdm.auto import tqdm
    except ImportError:
        warnings.warn("progress bars need tqdm: pip install 'tarsel[io]'", stacklevel=4)
        return None
    return tqdm


def iterate(steps: Iterable, enabled: bool, what: str) -> Iterable:
    """``steps`` with a bar labelled ``what`` when ``enabled``."""
    tqdm = _tqdm() if enabled else None
    return tqdm(steps, desc=what, leave=False) if tqdm is not None else steps


class Steps:
    """A bar over ``total`` named steps: ``start`` each one, in a ``with`` block."""

    def __init__(self, enabled: bool, total: int, desc: str = "fit"):
        self._started = False
        tqdm = _tqdm() if enabled else None
        self._bar = tqdm(total=total, desc=desc, leave=False) if tqdm is not None else None

    def __enter__(self) -> Steps:
        return self

    def __exit__(self, *exc_info: Any) -> None:
        if self._bar is not None:
            self._bar.update(self._bar.total - self._bar.n)
            self._bar.close()

    def start(self, what: str) -> None:
        if self._bar is not None:
            self._bar.update(int(self._started))
            self._bar.set_description(what)
        self._started = True
