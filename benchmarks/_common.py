"""Shared pieces of the benchmark scripts: data generation, timing, tables."""

from __future__ import annotations

import os
import platform
import time
from collections.abc import Callable

import numpy as np


def power_law_interactions(
    n_users: int,
    n_items: int,
    n_draws: int,
    seed: int = 0,
    user_exponent: float = 0.6,
    item_exponent: float = 0.9,
):
    """De-duplicated (user, item) pairs with Zipf-like item popularity and user activity,
    weight 1.0: the shape of a typical implicit-feedback log. `user_exponent` 0 gives
    every user about the same number of draws."""
    rng = np.random.default_rng(seed)
    user_p = 1.0 / np.arange(1, n_users + 1) ** user_exponent
    item_p = 1.0 / np.arange(1, n_items + 1) ** item_exponent
    users = rng.choice(n_users, n_draws, p=user_p / user_p.sum())
    items = rng.choice(n_items, n_draws, p=item_p / item_p.sum())
    # Shuffle ids so popularity is not sorted by index.
    users = rng.permutation(n_users)[users]
    items = rng.permutation(n_items)[items]
    keys = np.unique(users.astype(np.int64) * n_items + items)
    users, items = np.divmod(keys, n_items)
    order = rng.permutation(len(keys))
    return (
        users[order].astype(np.int64),
        items[order].astype(np.int64),
        np.ones(len(keys), np.float32),
    )


def best_of(fn: Callable[[], object], repeat: int = 3) -> tuple[float, object]:
    """Best wall time of `repeat` runs, and the last result."""
    best, result = float("inf"), None
    for _ in range(repeat):
        start = time.perf_counter()
        result = fn()
        best = min(best, time.perf_counter() - start)
    return best, result


def best_of_each(fns: list[Callable[[], object]], repeat: int = 3) -> list[tuple[float, object]]:
    """Best wall time and last result of each function, the functions taking turns in
    every round so that a change in the machine's load affects them alike."""
    best = [(float("inf"), None)] * len(fns)
    for _ in range(repeat):
        for k, fn in enumerate(fns):
            start = time.perf_counter()
            result = fn()
            best[k] = (min(best[k][0], time.perf_counter() - start), result)
    return best


def machine() -> str:
    return (
        f"{platform.machine()}, {os.cpu_count()} logical CPUs, Python {platform.python_version()}"
    )


def print_table(title: str, rows: list[tuple[str, str, str, str]]) -> None:
    header = ("case", "tarsel", "baseline", "speed-up")
    widths = [max(len(r[i]) for r in rows + [header]) for i in range(4)]
    print(f"\n{title}  ({machine()})")
    for row in [header] + rows:
        print("  ".join(cell.ljust(w) for cell, w in zip(row, widths)))
