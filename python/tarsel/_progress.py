"""Progress bars for long work, shown through tqdm (the ``tarsel[io]`` extra)
when the caller asks for them and someone can watch: on a terminal or in a
notebook. Redirected to a file, standard error gets no bars, so that logs do
not fill with redrawn lines.

Every bar is left with ``leave=False``: it disappears when its work is done.
While a long step runs without counting anything (a native solve, a parse), a
ticker redraws the bar every second so that its elapsed time keeps moving.
"""

from __future__ import annotations

import sys
import threading
import warnings
from collections.abc import Iterable, Iterator
from typing import Any, Self

# seconds between redraws of a bar whose count does not move
_TICK_S = 1.0


def _watched() -> bool:
    """Whether bars have a reader: standard error is a terminal, or the code
    runs in a notebook kernel (where tqdm draws a widget instead)."""
    stream = sys.stderr
    try:
        if stream is not None and stream.isatty():
            return True
    except (AttributeError, ValueError):  # replaced or closed streams
        pass
    return "ipykernel" in sys.modules


def _tqdm() -> Any | None:
    try:
        from tqdm.auto import tqdm
    except ImportError:
        warnings.warn("progress bars need tqdm: pip install 'tarsel[io]'", stacklevel=4)
        return None
    return tqdm


def _bar(enabled: bool, **options: Any) -> Any | None:
    """A tqdm bar with ``options``, or None when no bar is wanted or possible."""
    if not enabled or not _watched():
        return None
    tqdm = _tqdm()
    return None if tqdm is None else tqdm(leave=False, **options)


class _Ticker:
    """Redraws a bar every ``_TICK_S`` seconds from a daemon thread until stopped."""

    def __init__(self, bar: Any):
        self._bar, self._stop = bar, threading.Event()
        self._thread = threading.Thread(target=self._run, name="tarsel-progress", daemon=True)
        self._thread.start()

    def _run(self) -> None:
        while not self._stop.wait(_TICK_S):
            self._bar.refresh()

    def stop(self) -> None:
        self._stop.set()
        self._thread.join()


class Bar:
    """A bar over ``total`` units (users, rows), advanced with ``update``; used
    in a ``with`` block. Without a reader every call does nothing."""

    def __init__(self, enabled: bool, total: int | None, desc: str, unit: str = "it"):
        self._bar = _bar(enabled, total=total, desc=desc, unit=unit)
        self._ticker = _Ticker(self._bar) if self._bar is not None else None

    def __enter__(self) -> Self:
        return self

    def __exit__(self, *exc_info: Any) -> None:
        if self._bar is not None:
            assert self._ticker is not None
            self._ticker.stop()
            self._bar.close()

    def update(self, done: int) -> None:
        """Count ``done`` more units."""
        if self._bar is not None:
            self._bar.update(done)

    def describe(self, what: str) -> None:
        """Name the work now under way."""
        if self._bar is not None:
            self._bar.set_description(what)


class Steps(Bar):
    """A bar over ``total`` named steps: ``start`` each one, in a ``with`` block.
    A single step (``total=1``) shows one long task with its elapsed time."""

    def __init__(self, enabled: bool, total: int, desc: str = "fit"):
        super().__init__(enabled, total, desc, unit="step")
        self._started = False

    def __exit__(self, *exc_info: Any) -> None:
        if self._bar is not None:
            self._bar.update(self._bar.total - self._bar.n)
        super().__exit__(*exc_info)

    def start(self, what: str) -> None:
        self.update(int(self._started))
        self.describe(what)
        self._started = True


def iterate(steps: Iterable, enabled: bool, what: str, total: int | None = None) -> Iterator:
    """The items of ``steps``, with a bar labelled ``what`` when ``enabled``."""
    if total is None and hasattr(steps, "__len__"):
        total = len(steps)  # type: ignore[arg-type]
    with Bar(enabled, total, what) as bar:
        for step in steps:
            yield step
            bar.update(1)
