"""The simple baselines a fitted model is weighed against on held-out users
(global popularity, and each user's own most-bought items before it), and the
serving of one of them in a mode where nothing fitted beat it."""

from __future__ import annotations

from dataclasses import dataclass, field
from typing import Any

import numpy as np

POPULARITY, PERSONAL = "popularity", "personal_popularity"
BASELINES = (POPULARITY, PERSONAL)
# the two serving modes, as named in the fit report
MODES = {True: "owned_excluded", False: "owned_allowed"}


def popularity_order(counts: np.ndarray) -> np.ndarray:
    """Items by count, most consumed first; ties by index."""
    return np.lexsort((np.arange(len(counts)), -np.asarray(counts)))


def _places(ranking: np.ndarray) -> np.ndarray:
    """Each item's place in ``ranking``."""
    places = np.empty(len(ranking), dtype=np.int64)
    places[ranking] = np.arange(len(ranking))
    return places


def personal_order(
    places: np.ndarray, users: np.ndarray, items: np.ndarray, own: np.ndarray
) -> np.ndarray:
    """The order of (user, item, own count) entries by user, then own count
    (most first), then the items' ``places`` in the popularity ranking."""
    return np.lexsort((places[items], -np.asarray(own), users))


@dataclass
class Baselines:
    """What the baselines need: the popularity ranking, and each user's items
    in personal order (own count, most first, then the popularity ranking)
    with their counts.

    Scores: the popularity baseline scores an item by its share of all events
    (in [0, 1]); personal popularity scores a user's own item by the user's
    events of it plus that share, so that own items come first and every list
    reads best first."""

    counts: np.ndarray  # float64 per item
    ranking: np.ndarray  # item indices, most popular first
    owned_indptr: np.ndarray  # int64 per user
    owned_items: np.ndarray  # int64, each user's items in personal order
    owned_counts: np.ndarray  # float64, the user's events of each of them
    share: np.ndarray = field(init=False)  # each item's share of all events
    rank: np.ndarray = field(init=False)  # each item's place in the ranking

    def __post_init__(self) -> None:
        total = float(self.counts.sum())
        self.share = self.counts / total if total > 0 else np.zeros(len(self.counts))
        self.rank = _places(self.ranking)

    @classmethod
    def from_events(
        cls, user_idx: np.ndarray, item_idx: np.ndarray, n_users: int, n_items: int
    ) -> Baselines:
        counts = np.bincount(item_idx, minlength=n_items).astype(np.float64)
        width = max(n_items, 1)
        pairs, own = np.unique(user_idx * width + item_idx, return_counts=True)
        return cls.of_entries(counts, pairs // width, pairs % width, own, n_users)

    @classmethod
    def of_event_set(cls, data: Any) -> Baselines:
        """The baselines of an event set: from its (user, item) pairs and their
        event counts where it has them (no sort of the events), else from its
        events."""
        own = getattr(data, "pair_count", None)
        if own is None:
            return cls.from_events(data.user_idx, data.item_idx, data.n_users, data.n_items)
        counts = np.bincount(data.item_idx, minlength=data.n_items).astype(np.float64)
        return cls.of_entries(counts, data.pair_user, data.pair_item, own, data.n_users)

    @classmethod
    def of_entries(
        cls,
        counts: np.ndarray,
        users: np.ndarray,
        items: np.ndarray,
        own: np.ndarray,
        n_users: int,
    ) -> Baselines:
        """The baselines of item counts and (user, item, own count) entries,
        each (user, item) pair at most once, in any order."""
        ranking = popularity_order(counts)
        order = personal_order(_places(ranking), users, items, own)
        indptr = np.zeros(n_users + 1, dtype=np.int64)
        np.cumsum(np.bincount(users, minlength=n_users), out=indptr[1:])
        return cls(
            counts,
            ranking,
            indptr,
            np.asarray(items, dtype=np.int64)[order],
            np.asarray(own, dtype=np.float64)[order],
        )

    def entries(self) -> tuple[np.ndarray, np.ndarray, np.ndarray]:
        """Every (user, item, own count) entry."""
        users = np.repeat(np.arange(len(self.owned_indptr) - 1), np.diff(self.owned_indptr))
        return users, self.owned_items, self.owned_counts

    def owned(self, row: int | None) -> tuple[np.ndarray, np.ndarray]:
        """The user's items in personal order and the user's events of each;
        none for an unknown user (or one the lists do not cover)."""
        if row is None or row < 0 or row + 1 >= len(self.owned_indptr):
            return self.owned_items[:0], self.owned_counts[:0]
        a, b = self.owned_indptr[row], self.owned_indptr[row + 1]
        return self.owned_items[a:b], self.owned_counts[a:b]

    def personal(
        self, row: int | None, owned: np.ndarray | None = None
    ) -> tuple[np.ndarray, np.ndarray]:
        """``owned`` with the request's items (history, updates, live basket):
        those the lists do not hold count as one event each, and take their
        place in personal order."""
        stored, own = self.owned(row)
        if owned is None or not len(owned):
            return stored, own
        extra = np.asarray(owned, dtype=np.int64)
        extra = np.unique(extra[~np.isin(extra, stored)])
        if not len(extra):
            return stored, own
        items = np.concatenate((stored, extra))
        own = np.concatenate((own, np.ones(len(extra))))
        order = personal_order(self.rank, np.zeros(len(items), np.int64), items, own)
        return items[order], own[order]

    def top(self, *request: Any) -> list[int]:
        """The items of ``scored`` (same arguments)."""
        return self.scored(*request)[0]

    def scored(
        self,
        kind: str,
        row: int | None,
        n: int,
        exclude_owned: bool,
        owned: np.ndarray | None = None,
    ) -> tuple[list, list, list]:
        """The baseline's top ``n`` for one user as the engine answers, (items,
        scores, sources): with ``personal_popularity`` and owned items allowed,
        the user's own items first; then the most popular items not yet listed
        (nor owned, when they are excluded). Scores as the class says."""
        share = self.share
        head: list[int] = []
        scores: list[float] = []
        if exclude_owned:  # only which items are owned matters, not their order
            skip = set(self.owned(row)[0].tolist())
            if owned is not None:
                skip.update(np.asarray(owned, dtype=np.int64).tolist())
        elif kind == PERSONAL:
            items, own = self.personal(row, owned)
            head = items[:n].tolist()
            scores = (own[:n] + share[items[:n]]).tolist()
            skip = set(head)
        else:
            skip = set()
        own_count = len(head)
        for item in self.ranking[: n + len(skip)].tolist():
            if len(head) >= n:
                break
            if item not in skip:
                head.append(item)
                scores.append(float(share[item]))
        return head, scores, [PERSONAL] * own_count + [POPULARITY] * (len(head) - own_count)
