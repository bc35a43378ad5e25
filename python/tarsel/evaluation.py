"""Offline evaluation: hold-out splits, ranking metrics, a popularity baseline
and ``evaluate``, which scores fitted models on a split as a tidy table."""
from __future__ import annotations

import math
from dataclasses import dataclass, field
from typing import Any, Collection, Mapping, Optional, Protocol, Sequence, runtime_checkable

import numpy as np

from tarsel import _core
from tarsel.data import IdMap, column, take_rows, timestamps_of
from tarsel.errors import NotFittedError

METRICS = ("ndcg", "recall", "map", "coverage")


# ------------------------------------------------------------------ splits


@dataclass
class Split:
    """Training and test rows of one interaction table, and its column names
    (passed on to ``fit``)."""

    train: Any
    test: Any
    columns: dict[str, Optional[str]] = field(default_factory=dict)

    @property
    def user_col(self) -> str:
        return self.columns.get("user_col") or "user"

    @property
    def item_col(self) -> str:
        return self.columns.get("item_col") or "item"


def leave_last_n_out(interactions: Any, n: int = 1, *, user_col: str = "user",
                     item_col: str = "item", time_col: Optional[str] = None,
                     session_col: Optional[str] = None, **columns: Optional[str]) -> Split:
    """Hold out each user's last ``n`` interactions (or last ``n`` sessions when
    ``session_col`` is given), by time when ``time_col`` is given, else by row
    order. Users with at most ``n`` of them stay wholly in training."""
    if n < 1:
        raise ValueError("n must be at least 1")
    _, user = IdMap.encode(column(interactions, user_col), f"user column {user_col!r}")
    unit, unit_user, unit_time = _units(interactions, user, time_col, session_col)
    by_recency = np.lexsort((-unit_time, unit_user))
    sorted_user = unit_user[by_recency]
    first_of_user = np.searchsorted(sorted_user, sorted_user, side="left")
    rank = np.arange(len(by_recency)) - first_of_user  # 0 = the user's latest unit
    units_per_user = np.bincount(unit_user)
    held = np.zeros(len(unit_user), dtype=bool)
    held[by_recency] = (rank < n) & (units_per_user[sorted_user] > n)
    test_rows = held[unit]
    return _split(interactions, test_rows, user_col=user_col, item_col=item_col,
                  time_col=time_col, session_col=session_col, **columns)


def temporal_split(interactions: Any, *, time_col: str, test_fraction: float = 0.1,
                   user_col: str = "user", item_col: str = "item",
                   session_col: Optional[str] = None, **columns: Optional[str]) -> Split:
    """Hold out the latest ``test_fraction`` of the interactions: every row at or
    after the cut time goes to the test set (a session goes wholly to the side
    of its first interaction)."""
    if not 0.0 < test_fraction < 1.0:
        raise ValueError("test_fraction must be between 0 and 1")
    _, user = IdMap.encode(column(interactions, user_col), f"user column {user_col!r}")
    unit, _, unit_time = _units(interactions, user, time_col, session_col)
    ordered = np.sort(unit_time[unit])
    cut = ordered[min(len(ordered) - 1, int(math.floor(len(ordered) * (1.0 - test_fraction))))]
    test_rows = unit_time[unit] >= cut
    return _split(interactions, test_rows, user_col=user_col, item_col=item_col,
                  time_col=time_col, session_col=session_col, **columns)


def _units(table, user, time_col, session_col):
    """Each row's hold-out unit (its session, or the row itself), with the unit's
    user and its time (the earliest of its rows)."""
    times = (timestamps_of(column(table, time_col), time_col) if time_col
             else np.arange(len(user), dtype=np.float64))
    if session_col:
        _, session = IdMap.encode(column(table, session_col), f"session column {session_col!r}")
        _, unit = np.unique(user * (int(session.max()) + 1) + session, return_inverse=True)
        unit = unit.reshape(-1)
    else:
        unit = np.arange(len(user))
    n_units = int(unit.max()) + 1 if len(unit) else 0
    unit_time = np.full(n_units, np.inf)
    np.minimum.at(unit_time, unit, times)
    unit_user = np.zeros(n_units, dtype=np.int64)
    unit_user[unit] = user
    return unit, unit_user, unit_time


def _split(table, test_rows, **columns) -> Split:
    return Split(take_rows(table, np.flatnonzero(~test_rows)),
                 take_rows(table, np.flatnonzero(test_rows)), columns)


# ----------------------------------------------------------------- metrics


def ndcg_at_k(recommended: Sequence, relevant: Collection, k: int = 10) -> float:
    """NDCG@k of one ranked list against a set of relevant items (binary gains)."""
    relevant = set(relevant)
    top = list(recommended)[:k]
    if not relevant or k <= 0:
        return 0.0
    # Score the list in rank order, then k filler entries, then the relevant
    # items the list missed: only the list can reach the top k, while the ideal
    # ranking still sees every relevant item.
    missed = relevant.difference(top)
    n_scored = len(top) + k + len(missed)
    scores = np.arange(n_scored, 0, -1, dtype=np.float64)
    gains = [1.0 if item in relevant else 0.0 for item in top] + [0.0] * k + [1.0] * len(missed)
    return float(_core.ndcg_at_k_py(scores, gains, k))


def recall_at_k(recommended: Sequence, relevant: Collection, k: int = 10) -> float:
    """Share of the relevant items found in the top k."""
    relevant = set(relevant)
    if not relevant:
        return 0.0
    return len(relevant.intersection(list(recommended)[:k])) / len(relevant)


def map_at_k(recommended: Sequence, relevant: Collection, k: int = 10) -> float:
    """Average precision at k: the mean of precision@i over the ranks i ≤ k that
    hold a relevant item, divided by min(k, number of relevant items)."""
    relevant = set(relevant)
    if not relevant or k <= 0:
        return 0.0
    hits, total = 0, 0.0
    for rank, item in enumerate(list(recommended)[:k], start=1):
        if item in relevant:
            hits += 1
            total += hits / rank
    return total / min(k, len(relevant))


def catalogue_coverage(recommendations: Sequence[Sequence], n_items: int) -> float:
    """Share of the catalogue that appears in at least one list."""
    if n_items <= 0:
        return 0.0
    shown = set()
    for items in recommendations:
        shown.update(items)
    return len(shown) / n_items


# --------------------------------------------------------------- baseline


class PopularityBaseline:
    """Recommends the most consumed items to everyone (skipping what each user
    already has when asked to)."""

    def fit(self, interactions: Any, item_features: Any = None, *, user_col: str = "user",
            item_col: str = "item", **ignored: Any) -> "PopularityBaseline":
        users, user_idx = IdMap.encode(column(interactions, user_col), f"user column {user_col!r}")
        items, item_idx = IdMap.encode(column(interactions, item_col), f"item column {item_col!r}")
        counts = np.bincount(item_idx, minlength=len(items)).astype(np.float64)
        self.items_ = items
        self.users_ = users
        self.ranking_ = np.lexsort((np.arange(len(items)), -counts))
        self.counts_ = counts
        order = np.argsort(user_idx, kind="stable")
        self._owned_indptr = np.concatenate(([0], np.cumsum(np.bincount(user_idx, minlength=len(users)))))
        self._owned = item_idx[order]
        return self

    def recommend_batch(self, users: Sequence, n: int = 10, *,
                        exclude_owned: bool = True) -> dict[str, np.ndarray]:
        if not hasattr(self, "ranking_"):
            raise NotFittedError("this PopularityBaseline is not fitted yet; call fit first")
        _check_count(n, "n", 0)
        rows = self.users_.index(users)
        out_user, out_item = [], []
        for user, row in zip(_as_list(users), rows.tolist()):
            owned = (set(self._owned[self._owned_indptr[row]:self._owned_indptr[row + 1]].tolist())
                     if exclude_owned and row >= 0 else set())
            picks = [i for i in self.ranking_[: n + len(owned)].tolist() if i not in owned][:n]
            out_user.extend([user] * len(picks))
            out_item.extend(picks)
        picked = np.asarray(out_item, dtype=np.int64)
        return {"user": _object_array(out_user), "item": self.items_.ids[picked],
                "score": self.counts_[picked], "source": np.full(len(picked), "popularity")}


def _check_count(value: Any, name: str, low: int) -> None:
    if isinstance(value, bool) or not isinstance(value, (int, np.integer)) or value < low:
        raise ValueError(f"{name} must be an integer of at least {low}, not {value!r}")


def _as_list(values: Any) -> list:
    return values.tolist() if isinstance(values, np.ndarray) else list(values)


def _object_array(values: list) -> np.ndarray:
    out = np.empty(len(values), dtype=object)
    out[:] = values
    return out


# ---------------------------------------------------------------- evaluate


def evaluate(models: Any, split: Split, *, k: int = 10, fit: bool = True,
             exclude_owned: bool = True, item_features: Any = None,
             include_cold_users: bool = False) -> Any:
    """Score one model (or a dict of named models) on a split.

    Each model is fitted on ``split.train`` first unless ``fit`` is false, then
    asked for its top ``k`` for every test user. The relevant items of a user are
    that user's test items; with ``exclude_owned`` the items the user already has
    in training are neither recommended nor counted as relevant. Users unseen in
    training are skipped unless ``include_cold_users``.

    Returns a pandas DataFrame with the columns model, metric, k, value, users.
    """
    import pandas as pd

    _check_count(k, "k", 1)
    named = models if isinstance(models, Mapping) else {_model_name(models): models}
    relevant = _relevant_items(split, exclude_owned, include_cold_users)
    users = list(relevant)
    rows = []
    for name, model in named.items():
        if fit:
            model.fit(split.train, item_features, **split.columns)
        lists = _ranked_lists(model.recommend_batch(users, n=k, exclude_owned=exclude_owned), users)
        scores = {metric: [fn(lists[u], relevant[u], k) for u in users]
                  for metric, fn in (("ndcg", ndcg_at_k), ("recall", recall_at_k),
                                     ("map", map_at_k))}
        for metric, values in scores.items():
            rows.append((name, metric, k, float(np.mean(values)) if values else 0.0, len(users)))
        n_items = len(np.unique(column(split.train, split.item_col)))
        rows.append((name, "coverage", k, catalogue_coverage(lists.values(), n_items), len(users)))
    return pd.DataFrame(rows, columns=["model", "metric", "k", "value", "users"])


@runtime_checkable
class _Gated(Protocol):
    """This library's estimator: it fits and streams its recommendations."""

    def fit(self, interactions: Any, item_features: Any = None, **columns: Any) -> Any: ...

    def iter_recommend_batch(self, users: Any, n: int = 10, **options: Any) -> Any: ...


def _model_name(model: Any) -> str:
    return "tarsel" if isinstance(model, _Gated) else type(model).__name__


def _relevant_items(split: Split, exclude_owned: bool, include_cold: bool) -> dict:
    owned: dict = {}
    for user, item in zip(_as_list(column(split.train, split.user_col)),
                          _as_list(column(split.train, split.item_col))):
        owned.setdefault(user, set()).add(item)
    relevant: dict = {}
    for user, item in zip(_as_list(column(split.test, split.user_col)),
                          _as_list(column(split.test, split.item_col))):
        if user not in owned and not include_cold:
            continue
        if exclude_owned and item in owned.get(user, ()):
            continue
        relevant.setdefault(user, set()).add(item)
    return relevant


def _ranked_lists(table: Mapping[str, np.ndarray], users: list) -> dict:
    lists: dict = {u: [] for u in users}
    for user, item in zip(_as_list(table["user"]), _as_list(table["item"])):
        lists[user].append(item)
    return lists
