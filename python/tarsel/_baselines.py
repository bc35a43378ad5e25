"""The simple baselines a fitted model is weighed against on held-out users
(global popularity, and each user's own most-bought items before it), and the
serving of one of them in a mode where nothing fitted beat it."""

from __future__ import annotations

import warnings
from dataclasses import dataclass
from typing import Any

import numpy as np

POPULARITY, PERSONAL = "popularity", "personal_popularity"
BASELINES = (POPULARITY, PERSONAL)
# the two serving modes, as named in the fit report
MODES = {True: "owned_excluded", False: "owned_allowed"}


def popularity_order(counts: np.ndarray) -> np.ndarray:
    """Items by count, most consumed first; ties by index."""
    return np.lexsort((np.arange(len(counts)), -np.asarray(counts)))


@dataclass
class Baselines:
    """What the baselines need: the popularity ranking, and each user's items
    in personal order (own count, most first, then the popularity ranking)."""

    counts: np.ndarray  # float64 per item
    ranking: np.ndarray  # item indices, most popular first
    owned_indptr: np.ndarray  # int64 per user
    owned_items: np.ndarray  # int64, each user's items in personal order

    @classmethod
    def from_events(
        cls, user_idx: np.ndarray, item_idx: np.ndarray, n_users: int, n_items: int
    ) -> Baselines:
        counts = np.bincount(item_idx, minlength=n_items).astype(np.float64)
        ranking = popularity_order(counts)
        pairs, own = np.unique(user_idx * max(n_items, 1) + item_idx, return_counts=True)
        users, items = pairs // max(n_items, 1), pairs % max(n_items, 1)
        rank = np.empty(n_items, dtype=np.int64)
        rank[ranking] = np.arange(n_items)
        order = np.lexsort((rank[items], -own, users))
        indptr = np.zeros(n_users + 1, dtype=np.int64)
        np.cumsum(np.bincount(users, minlength=n_users), out=indptr[1:])
        return cls(counts, ranking, indptr, items[order].astype(np.int64))

    def owned(self, row: int | None) -> np.ndarray:
        if row is None or row < 0:
            return self.owned_items[:0]
        return self.owned_items[self.owned_indptr[row] : self.owned_indptr[row + 1]]

    def personal(self, row: int | None, owned: np.ndarray | None = None) -> np.ndarray:
        """The user's items in personal order; items of ``owned`` (the request's
        items: history, updates, live basket) that the fit did not see follow."""
        stored = self.owned(row)
        if owned is None or not len(owned):
            return stored
        extra = np.asarray(owned, dtype=np.int64)
        return np.concatenate((stored, extra[~np.isin(extra, stored)]))

    def top(
        self,
        kind: str,
        row: int | None,
        n: int,
        exclude_owned: bool,
        owned: np.ndarray | None = None,
    ) -> list[int]:
        """The baseline's top ``n`` for one user: with ``personal_popularity``
        and owned items allowed, the user's own items first; then the most
        popular items not yet listed (nor owned, when they are excluded)."""
        head: list[int] = []
        if exclude_owned:  # only which items are owned matters, not their order
            skip = set(self.owned(row).tolist())
            if owned is not None:
                skip.update(np.asarray(owned, dtype=np.int64).tolist())
        elif kind == PERSONAL:
            head = self.personal(row, owned)[:n].tolist()
            skip = set(head)
        else:
            skip = set()
        for item in self.ranking[: n + len(skip)].tolist():
            if len(head) >= n:
                break
            if item not in skip:
                head.append(item)
        return head

    def scored(
        self,
        kind: str,
        row: int | None,
        n: int,
        exclude_owned: bool,
        owned: np.ndarray | None = None,
    ) -> tuple[list, list, list]:
        """``top`` as the engine's (items, scores, sources): the score is the
        item's popularity; the user's own items are labelled as such."""
        items = self.top(kind, row, n, exclude_owned, owned)
        own = len(self.personal(row, owned)) if kind == PERSONAL and not exclude_owned else 0
        own = min(own, len(items))
        counts = [float(self.counts[i]) for i in items]
        return items, counts, [PERSONAL] * own + [POPULARITY] * (len(items) - own)


def served_by(kept: dict[str, Any], exclude_owned: bool) -> str | None:
    """The baseline the fitted model serves in this mode, or None when the
    engine does (the gates chose a baseline only where nothing fitted beat it)."""
    choice = kept.get("serving", {}).get(MODES[bool(exclude_owned)], {})
    source = choice.get("source", "model")
    return source if source in BASELINES else None


def pop_prior(kept: dict[str, Any], exclude_owned: bool) -> float:
    """The popularity addend weight the gates chose for this mode."""
    choice = kept.get("serving", {}).get(MODES[bool(exclude_owned)], {})
    return float(choice.get("pop_prior", kept.get("pop_prior", 0.0)))


def warn_if_served(kept: dict[str, Any]) -> None:
    """Warn for each serving mode where no fitted model beat a simple baseline
    on the held-out users, so that the baseline itself is served there."""
    for exclude, mode in MODES.items():
        source = served_by(kept, exclude)
        if source is not None:
            figure = kept["serving"][mode]["ndcg"]
            rule = "excluded" if exclude else "allowed"
            name = source.replace("_", " ")
            warnings.warn(
                f"with owned items {rule}, no fitted model beat {name}"
                f" on the held-out users (NDCG {figure:.4f}); that baseline is served "
                "in this mode",
                stacklevel=3,
            )


def after_fit(model: Any, data: Any) -> None:
    """Keep each user's items in personal order on a freshly fitted model (saved
    with it), for serving personal popularity."""
    lists = Baselines.from_events(data.user_idx, data.item_idx, data.n_users, data.n_items)
    model._personal_indptr, model._personal_items = lists.owned_indptr, lists.owned_items
    model._baseline_lists = lists


def of(model: Any) -> Baselines:
    """The baselines of a fitted or loaded model (a file written before personal
    order was kept serves each user's items in the order of the history)."""
    lists = getattr(model, "_baseline_lists", None)
    if lists is None:
        indptr = getattr(model, "_personal_indptr", None)
        items = getattr(model, "_personal_items", None)
        if indptr is None or items is None:
            indptr, items = model._hist_indptr, model._hist_items
        counts = np.asarray(model.item_pop_, dtype=np.float64)
        lists = model._baseline_lists = Baselines(
            counts, popularity_order(counts), np.asarray(indptr), np.asarray(items)
        )
    return lists
