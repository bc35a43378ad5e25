"""A plain reading of an event log: the rows in time order, exact duplicate
rows, and the per-pair folding and histories of ``prepare_interactions``."""

from __future__ import annotations

import math


def time_order(times: list[float]) -> list[int]:
    """Row numbers by time, ties in row order."""
    return sorted(range(len(times)), key=lambda r: times[r])


def duplicate_rows(rows: list[tuple]) -> list[bool]:
    """True for each row equal to an earlier row."""
    seen: set = set()
    marked = []
    for row in rows:
        marked.append(row in seen)
        seen.add(row)
    return marked


def pairs(users, items, times, weights, weighting: str, n_users: int) -> dict:
    """Events in time order folded per (user, item): pairs sorted by user and
    item, each with its weight and last time; each user's items, least
    recently consumed first."""
    events: dict[tuple[int, int], list[int]] = {}
    for e, key in enumerate(zip(users, items)):
        events.setdefault(key, []).append(e)
    keys = sorted(events)
    if weighting == "binary":
        weight = [1.0 for _ in keys]
    elif weighting == "log1p":
        weight = [math.log1p(len(events[k])) for k in keys]
    else:
        weight = [sum(weights[e] for e in events[k]) / len(events[k]) for k in keys]
    last = {k: max(events[k]) for k in keys}
    history = [sorted((last[k], k[1]) for k in keys if k[0] == u) for u in range(n_users)]
    return {
        "pair_user": [k[0] for k in keys],
        "pair_item": [k[1] for k in keys],
        "pair_weight": weight,
        "pair_count": [len(events[k]) for k in keys],
        "pair_time": None if times is None else [times[last[k]] for k in keys],
        "hist_items": [item for h in history for _, item in h],
        "hist_lengths": [len(h) for h in history],
    }
