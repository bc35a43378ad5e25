"""Offline evaluation: hold-out splits, ranking metrics, a popularity baseline
and ``evaluate``, which scores fitted models on a split as a tidy table."""

from __future__ import annotations

import functools
import math
from collections.abc import Collection, Hashable, Iterable, Mapping, Sequence
from dataclasses import dataclass, field
from typing import Any, Protocol, runtime_checkable

import numpy as np

from tarsel._baselines import PERSONAL, POPULARITY, Baselines
from tarsel._progress import Steps
from tarsel.data import IdMap, column, take_rows, timestamps_of
from tarsel.errors import NotFittedError

METRICS = ("ndcg", "recall", "map", "coverage")
_DAY = 86400.0


# ------------------------------------------------------------------ splits


@dataclass
class Split:
    """Training and test rows of one interaction table, and its column names
    (passed on to ``fit``)."""

    train: Any
    test: Any
    columns: dict[str, str | None] = field(default_factory=dict)

    @property
    def user_col(self) -> str:
        return self.columns.get("user_col") or "user"

    @property
    def item_col(self) -> str:
        return self.columns.get("item_col") or "item"


def leave_last_n_out(
    interactions: Any,
    n: int = 1,
    *,
    user_col: str = "user",
    item_col: str = "item",
    time_col: str | None = None,
    session_col: str | None = None,
    time_format: str | None = None,
    **columns: str | None,
) -> Split:
    """Hold out each user's last ``n`` interactions (or sessions).

    Parameters
    ----------
    interactions : DataFrame or dict of arrays
        The interaction table (pandas, polars or a dict of equal-length arrays).
    n : int, default 1
        How many of each user's latest units are held out.
    user_col, item_col : str
        Names of the user and item columns.
    time_col : str, optional
        Orders the units by time; without it the row order is the time order.
    session_col : str, optional
        Hold out whole sessions rather than single interactions.
    time_format : str, optional
        A ``strptime`` pattern for text times (such as ``"%d-%m-%Y"``), as
        ``fit`` takes it; the split passes it on to ``fit``.
    **columns : str, optional
        Further column names (``weight_col``) passed on to ``fit`` via the split.

    Returns
    -------
    Split
        Training and test tables of the same kind as ``interactions``. Users
        with at most ``n`` units stay wholly in training.

    Raises
    ------
    ValueError
        If ``n`` is below 1, or a named column is missing or has missing values.

    Examples
    --------
    >>> table = {"user": [1, 1, 2, 2], "item": ["a", "b", "a", "c"], "t": [1, 2, 1, 3]}
    >>> split = leave_last_n_out(table, 1, time_col="t")
    >>> split.test["item"].tolist()
    ['b', 'c']
    """
    if n < 1:
        raise ValueError("n must be at least 1")
    _, user = IdMap.encode(column(interactions, user_col), f"user column {user_col!r}")
    session = (
        IdMap.encode(column(interactions, session_col), f"session column {session_col!r}")[1]
        if session_col
        else None
    )
    return _hold_out_last(
        interactions,
        n,
        user,
        session,
        user_col=user_col,
        item_col=item_col,
        time_col=time_col,
        session_col=session_col,
        time_format=time_format,
        **columns,
    )


def leave_last_basket_out(
    interactions: Any,
    *,
    user_col: str = "user",
    item_col: str = "item",
    time_col: str | None = None,
    session_col: str | None = None,
    time_format: str | None = None,
    **columns: str | None,
) -> Split:
    """Hold out each user's last basket: the last session, or the last day.

    A basket is a session when ``session_col`` is given, else the set of a
    user's interactions on one calendar day (UTC) of ``time_col``. Only users
    with two or more baskets have one held out; the test set is the items of
    that basket, to be scored as a set (``ndcg_at_k``, ``recall_at_k``,
    ``map_at_k``).

    Parameters
    ----------
    interactions : DataFrame or dict of arrays
        The interaction table.
    user_col, item_col : str
        Names of the user and item columns.
    time_col : str, optional
        Time of each interaction (numbers are UNIX seconds); orders the baskets
        and, without ``session_col``, defines the days.
    session_col : str, optional
        The basket of each interaction.
    time_format : str, optional
        A ``strptime`` pattern for text times, as ``fit`` takes it.
    **columns : str, optional
        Further column names passed on to ``fit`` via the split.

    Returns
    -------
    Split
        Training and test tables of the same kind as ``interactions``.

    Raises
    ------
    ValueError
        If neither ``time_col`` nor ``session_col`` is given, or a named column
        is missing or has missing values.

    Examples
    --------
    >>> day = 86400
    >>> table = {"user": [1, 1, 1, 2], "item": ["a", "b", "c", "a"],
    ...          "t": [0, day, day + 60, 0]}
    >>> split = leave_last_basket_out(table, time_col="t")
    >>> split.test["item"].tolist(), split.train["item"].tolist()
    (['b', 'c'], ['a', 'a'])
    """
    if not time_col and not session_col:
        raise ValueError("leave_last_basket_out needs session_col or time_col to form baskets")
    _, user = IdMap.encode(column(interactions, user_col), f"user column {user_col!r}")
    if session_col:
        session = IdMap.encode(
            column(interactions, session_col), f"session column {session_col!r}"
        )[1]
    else:
        assert time_col, "checked above: time_col is given when session_col is not"
        times = timestamps_of(column(interactions, time_col), time_col, time_format)
        session = np.unique(np.floor(times / _DAY), return_inverse=True)[1].reshape(-1)
    return _hold_out_last(
        interactions,
        1,
        user,
        session,
        user_col=user_col,
        item_col=item_col,
        time_col=time_col,
        session_col=session_col,
        time_format=time_format,
        **columns,
    )


def _hold_out_last(table, n: int, user, session, *, time_col, time_format, **columns) -> Split:
    unit, unit_user, unit_time = _units(table, user, time_col, session, time_format)
    by_recency = np.lexsort((-unit_time, unit_user))
    sorted_user = unit_user[by_recency]
    first_of_user = np.searchsorted(sorted_user, sorted_user, side="left")
    rank = np.arange(len(by_recency)) - first_of_user  # 0 = the user's latest unit
    units_per_user = np.bincount(unit_user)
    held = np.zeros(len(unit_user), dtype=bool)
    held[by_recency] = (rank < n) & (units_per_user[sorted_user] > n)
    return _split(table, held[unit], time_col=time_col, time_format=time_format, **columns)


def temporal_split(
    interactions: Any,
    *,
    time_col: str,
    test_fraction: float = 0.1,
    user_col: str = "user",
    item_col: str = "item",
    session_col: str | None = None,
    time_format: str | None = None,
    **columns: str | None,
) -> Split:
    """Hold out the latest ``test_fraction`` of the interactions.

    Every row at or after the cut time goes to the test set (a session goes
    wholly to the side of its first interaction).

    Parameters
    ----------
    interactions : DataFrame or dict of arrays
        The interaction table.
    time_col : str
        Time of each interaction.
    test_fraction : float, default 0.1
        Share of the interactions held out, between 0 and 1.
    user_col, item_col : str
        Names of the user and item columns.
    session_col : str, optional
        Keeps each session on one side of the cut.
    time_format : str, optional
        A ``strptime`` pattern for text times, as ``fit`` takes it.
    **columns : str, optional
        Further column names passed on to ``fit`` via the split.

    Returns
    -------
    Split
        Training and test tables of the same kind as ``interactions``.

    Raises
    ------
    ValueError
        If ``test_fraction`` is not between 0 and 1, or a named column is
        missing or unparsable.

    Examples
    --------
    >>> table = {"user": [1, 1, 2, 2], "item": ["a", "b", "a", "c"], "t": [1, 2, 3, 4]}
    >>> temporal_split(table, time_col="t", test_fraction=0.5).test["t"].tolist()
    [3, 4]
    """
    if not 0.0 < test_fraction < 1.0:
        raise ValueError("test_fraction must be between 0 and 1")
    _, user = IdMap.encode(column(interactions, user_col), f"user column {user_col!r}")
    session = (
        IdMap.encode(column(interactions, session_col), f"session column {session_col!r}")[1]
        if session_col
        else None
    )
    unit, _, unit_time = _units(interactions, user, time_col, session, time_format)
    ordered = np.sort(unit_time[unit])
    cut = ordered[min(len(ordered) - 1, int(math.floor(len(ordered) * (1.0 - test_fraction))))]
    test_rows = unit_time[unit] >= cut
    return _split(
        interactions,
        test_rows,
        user_col=user_col,
        item_col=item_col,
        time_col=time_col,
        session_col=session_col,
        time_format=time_format,
        **columns,
    )


def _units(table, user, time_col, session, time_format):
    """Each row's hold-out unit (its session of this user, or the row itself),
    with the unit's user and its time (the earliest of its rows)."""
    times = (
        timestamps_of(column(table, time_col), time_col, time_format)
        if time_col
        else np.arange(len(user), dtype=np.float64)
    )
    if session is not None:
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


def _split(table, test_rows, *, time_format: str | None, **columns) -> Split:
    if time_format is not None:  # fit reads the times as the split did
        columns["time_format"] = time_format
    return Split(
        take_rows(table, np.flatnonzero(~test_rows)),
        take_rows(table, np.flatnonzero(test_rows)),
        columns,
    )


# ----------------------------------------------------------------- metrics


def ndcg_at_k(recommended: Sequence, relevant: Collection, k: int = 10) -> float:
    """NDCG@k of one ranked list against a set of relevant items (binary gains).

    Parameters
    ----------
    recommended : sequence
        The ranked list, best first.
    relevant : collection
        The relevant items (a set: order and repeats do not matter).
    k : int, default 10
        Cut-off.

    Returns
    -------
    float
        DCG of the top ``k`` over the DCG of an ideal list; 0 without relevant
        items or with ``k`` of 0.

    Raises
    ------
    TypeError
        If ``relevant`` holds unhashable items.

    Examples
    --------
    >>> round(ndcg_at_k(["a", "b", "c"], {"b"}, 3), 4)
    0.6309
    >>> ndcg_at_k(["a", "b"], {"a", "b", "c"}, 2)
    1.0
    """
    relevant = relevant if isinstance(relevant, (set, frozenset)) else set(relevant)
    if not relevant or k <= 0:
        return 0.0
    dcg = sum(
        1.0 / math.log2(rank + 2)
        for rank, item in enumerate(list(recommended)[:k])
        if item in relevant
    )
    return dcg / _ideal_dcg(min(k, len(relevant)))


@functools.lru_cache(maxsize=1024)
def _ideal_dcg(hits: int) -> float:
    return sum(1.0 / math.log2(rank + 2) for rank in range(hits))


def recall_at_k(recommended: Sequence, relevant: Collection, k: int = 10) -> float:
    """Share of the relevant items found in the top k.

    Parameters
    ----------
    recommended : sequence
        The ranked list, best first.
    relevant : collection
        The relevant items.
    k : int, default 10
        Cut-off.

    Returns
    -------
    float
        Hits in the top ``k`` over the number of relevant items; 0 without
        relevant items.

    Raises
    ------
    TypeError
        If ``relevant`` holds unhashable items.

    Examples
    --------
    >>> recall_at_k(["a", "b", "c"], {"c", "d"}, 3)
    0.5
    """
    relevant = set(relevant)
    if not relevant:
        return 0.0
    return len(relevant.intersection(list(recommended)[:k])) / len(relevant)


def map_at_k(recommended: Sequence, relevant: Collection, k: int = 10) -> float:
    """Average precision at k.

    The sum of precision@i over the ranks i ≤ k that hold a relevant item,
    divided by min(k, number of relevant items).

    Parameters
    ----------
    recommended : sequence
        The ranked list, best first.
    relevant : collection
        The relevant items.
    k : int, default 10
        Cut-off.

    Returns
    -------
    float
        Between 0 and 1; 0 without relevant items or with ``k`` of 0.

    Raises
    ------
    TypeError
        If ``relevant`` holds unhashable items.

    Examples
    --------
    >>> map_at_k(["a", "x", "b"], {"a", "b"}, 3)  # (1 + 2/3) / 2
    0.8333333333333333
    """
    relevant = set(relevant)
    if not relevant or k <= 0:
        return 0.0
    hits, total = 0, 0.0
    for rank, item in enumerate(list(recommended)[:k], start=1):
        if item in relevant:
            hits += 1
            total += hits / rank
    return total / min(k, len(relevant))


def catalogue_coverage(recommendations: Iterable[Iterable[Hashable]], n_items: int) -> float:
    """Share of the catalogue that appears in at least one list.

    Parameters
    ----------
    recommendations : iterable of iterables
        One list of items per user.
    n_items : int
        Size of the catalogue.

    Returns
    -------
    float
        Distinct items shown over ``n_items``; 0 for an empty catalogue.

    Raises
    ------
    TypeError
        If the lists hold unhashable items.

    Examples
    --------
    >>> catalogue_coverage([["a", "b"], ["b", "c"]], 6)
    0.5
    """
    if n_items <= 0:
        return 0.0
    shown: set[Hashable] = set()
    for items in recommendations:
        shown.update(items)
    return len(shown) / n_items


# -------------------------------------------------------------- baselines


class PopularityBaseline:
    """Recommends the most consumed items to everyone.

    With owned items excluded, each user's own items are skipped.

    Examples
    --------
    >>> base = PopularityBaseline().fit({"user": [1, 1, 2, 3], "item": ["x", "y", "x", "z"]})
    >>> base.recommend_batch([1, 2], n=2)["item"].tolist()
    ['z', 'y', 'z']
    """

    _kind = POPULARITY

    def fit(
        self,
        interactions: Any,
        item_features: Any = None,
        *,
        user_col: str = "user",
        item_col: str = "item",
        **ignored: Any,
    ) -> PopularityBaseline:
        """Count each item's interactions and each user's own items.

        Parameters
        ----------
        interactions : DataFrame or dict of arrays
            The training table.
        item_features : ignored
            Accepted so that ``evaluate`` can fit every model alike.
        user_col, item_col : str
            Names of the user and item columns.
        **ignored : str
            Other column names (``time_col`` and so on), accepted and unused.

        Returns
        -------
        self

        Raises
        ------
        ValueError
            If a column is missing or has missing values.

        Examples
        --------
        >>> PopularityBaseline().fit({"user": [1], "item": ["x"]}).items_.ids.tolist()
        ['x']
        """
        users, user_idx = IdMap.encode(column(interactions, user_col), f"user column {user_col!r}")
        items, item_idx = IdMap.encode(column(interactions, item_col), f"item column {item_col!r}")
        self.users_, self.items_ = users, items
        self._lists = Baselines.from_events(user_idx, item_idx, len(users), len(items))
        self.counts_ = self._lists.counts
        return self

    def recommend_batch(
        self, users: Sequence, n: int = 10, *, exclude_owned: bool | None = None
    ) -> dict[str, np.ndarray]:
        """Top ``n`` items for each user, as a long table.

        Parameters
        ----------
        users : sequence
            User ids; unknown users get the global ranking.
        n : int, default 10
            Items per user.
        exclude_owned : bool, optional
            Skip the items each user already has (None: True).

        Returns
        -------
        dict of numpy.ndarray
            The arrays ``user``, ``item``, ``score`` (the item's share of all
            events; for personal popularity the user's own events of it plus
            that share) and ``source``.

        Raises
        ------
        NotFittedError
            If the baseline is not fitted yet.
        ValueError
            If ``n`` is not a non-negative integer.

        Examples
        --------
        >>> base = PopularityBaseline().fit({"user": [1, 2, 2], "item": ["x", "y", "y"]})
        >>> base.recommend_batch([1], n=2, exclude_owned=False)["item"].tolist()
        ['y', 'x']
        """
        if not hasattr(self, "_lists"):
            raise NotFittedError(f"this {type(self).__name__} is not fitted yet; call fit first")
        _check_count(n, "n", 0)
        exclude = True if exclude_owned is None else bool(exclude_owned)
        out_user, out_item, out_score, out_source = [], [], [], []
        for user, row in zip(_as_list(users), self.users_.index(users).tolist()):
            items, scores, sources = self._lists.scored(self._kind, row, n, exclude)
            out_user.extend([user] * len(items))
            out_item.extend(items)
            out_score.extend(scores)
            out_source.extend(sources)
        return {
            "user": _object_array(out_user),
            "item": self.items_.ids[np.asarray(out_item, dtype=np.int64)],
            "score": np.asarray(out_score, dtype=np.float64),
            "source": np.asarray(out_source, dtype=str).reshape(-1),
        }


class PersonalPopularityBaseline(PopularityBaseline):
    """Each user's own most-consumed items first, then the most popular ones.

    With owned items excluded it is the same as ``PopularityBaseline``.

    Examples
    --------
    >>> base = PersonalPopularityBaseline().fit(
    ...     {"user": [1, 1, 1, 2, 2, 3], "item": ["y", "z", "z", "x", "x", "x"]})
    >>> base.recommend_batch([1], n=3, exclude_owned=False)["item"].tolist()
    ['z', 'y', 'x']
    """

    _kind = PERSONAL


class TifuKnnReference:
    """A next-basket reference after TIFU-kNN: each user's baskets as a
    time-decayed item vector, blended with the mean vector of the user's
    nearest neighbours.

    A user's baskets, in time order, form ``m`` groups of consecutive baskets,
    as equal in size as possible (each basket its own group with fewer than
    ``m``). In a group of s baskets the j-th weighs ``r_b ** (s - j)`` and the
    group vector is the weighted sum of the baskets' item indicators over s;
    with G groups the user vector is the sum of ``r_g ** (G - g)`` times group
    g, over G. An item scores ``alpha`` times the user's vector plus
    ``1 - alpha`` times the mean vector of the ``k`` users nearest in
    Euclidean distance; items of equal score follow popularity. The defaults
    are the published settings for the Ta Feng grocery log. User vectors are
    held dense: memory is users x items x 8 bytes.

    Examples
    --------
    >>> log = {"user": [1, 1, 1, 2, 2], "item": ["x", "y", "x", "y", "z"],
    ...        "basket": [10, 10, 11, 20, 21]}
    >>> ref = TifuKnnReference(k=1, alpha=0.5).fit(log, session_col="basket")
    >>> ref.recommend_batch([1], n=3, exclude_owned=False)["item"].tolist()
    ['x', 'y', 'z']
    """

    def __init__(
        self, *, m: int = 7, r_b: float = 0.9, r_g: float = 0.7, alpha: float = 0.7, k: int = 300
    ):
        self.m, self.r_b, self.r_g, self.alpha, self.k = m, r_b, r_g, alpha, k

    def fit(
        self,
        interactions: Any,
        item_features: Any = None,
        *,
        user_col: str = "user",
        item_col: str = "item",
        time_col: str | None = None,
        session_col: str | None = None,
        **ignored: Any,
    ) -> TifuKnnReference:
        """Build every user's vector. Baskets are the ``session_col`` labels,
        else the events of one user at one ``time_col`` instant, else single
        events; they are ordered by time when ``time_col`` is given.

        Raises
        ------
        ValueError
            For a bad setting, a missing column or missing values.
        """
        _check_count(self.m, "m", 1)
        _check_count(self.k, "k", 1)
        for name in ("r_b", "r_g", "alpha"):
            value = getattr(self, name)
            if not isinstance(value, (int, float)) or not 0.0 <= value <= 1.0:
                raise ValueError(f"{name} must be a number in [0, 1], not {value!r}")
        users, user_idx = IdMap.encode(column(interactions, user_col), f"user column {user_col!r}")
        items, item_idx = IdMap.encode(column(interactions, item_col), f"item column {item_col!r}")
        n = len(user_idx)
        if session_col is not None:
            _, basket = IdMap.encode(column(interactions, session_col), f"column {session_col!r}")
        elif time_col is not None:
            basket = np.unique(
                timestamps_of(column(interactions, time_col), time_col), return_inverse=True
            )[1]
        else:
            basket = np.arange(n)
        when = (
            timestamps_of(column(interactions, time_col), time_col)
            if time_col is not None
            else np.arange(n, dtype=np.float64)
        )
        self.users_, self.items_ = users, items
        self._lists = Baselines.from_events(user_idx, item_idx, len(users), len(items))
        vectors = np.zeros((len(users), len(items)))
        order = np.lexsort((np.arange(n), when, user_idx))
        user_idx, item_idx, basket = user_idx[order], item_idx[order], basket[order]
        starts = np.flatnonzero(np.r_[True, user_idx[1:] != user_idx[:-1]])
        for lo, hi in zip(starts.tolist(), np.r_[starts[1:], n].tolist()):
            vectors[user_idx[lo]] = self._user_vector(item_idx[lo:hi], basket[lo:hi], len(items))
        self.vectors_ = vectors
        return self

    def _user_vector(self, items: np.ndarray, basket: np.ndarray, n_items: int) -> np.ndarray:
        # baskets numbered in order of their first event
        _, first, number = np.unique(basket, return_index=True, return_inverse=True)
        rank = np.empty(len(first), dtype=np.int64)
        rank[np.argsort(first)] = np.arange(len(first))
        number = rank[number]
        n_baskets = len(first)
        groups = min(self.m, n_baskets)
        sizes = np.full(groups, n_baskets // groups) + (np.arange(groups) < n_baskets % groups)
        group = np.repeat(np.arange(groups), sizes)
        position = np.arange(n_baskets) - np.repeat(np.cumsum(sizes) - sizes, sizes)
        size = sizes[group]
        weight = (
            self.r_b ** (size - 1 - position) / size * self.r_g ** (groups - 1 - group) / groups
        )
        vector = np.zeros(n_items)
        pairs = np.unique(number * n_items + items)  # an item counts once per basket
        np.add.at(vector, pairs % n_items, weight[pairs // n_items])
        return vector

    def _scores(self, rows: np.ndarray) -> np.ndarray:
        """Each row's item scores (zeros for an unknown user, -1). Users go in
        blocks: a block's distances to every user and its neighbour means are
        matrix products, and a block holds about a million distances."""
        vectors = self.vectors_
        norms = np.einsum("ij,ij->i", vectors, vectors)
        n_users = len(vectors)
        k = min(self.k, n_users - 1)
        scores = np.zeros((len(rows), vectors.shape[1]))
        step = max(1, (1 << 20) // max(n_users, 1))
        known = np.flatnonzero(rows >= 0)
        for lo in range(0, len(known) if k > 0 else 0, step):
            at = known[lo : lo + step]
            own = rows[at]
            distance = norms[None, :] + norms[own, None] - 2.0 * (vectors[own] @ vectors.T)
            distance[np.arange(len(own)), own] = np.inf  # a user is not its own neighbour
            nearest = np.argpartition(distance, k - 1, axis=1)[:, :k]
            pick = np.zeros((len(own), n_users))
            np.put_along_axis(pick, nearest, 1.0 / k, axis=1)
            scores[at] = self.alpha * vectors[own] + (1.0 - self.alpha) * (pick @ vectors)
        if k == 0:
            scores[known] = self.alpha * vectors[rows[known]]
        return scores

    def recommend_batch(
        self, users: Sequence, n: int = 10, *, exclude_owned: bool | None = None
    ) -> dict[str, np.ndarray]:
        """Top ``n`` items for each user, as ``PopularityBaseline.recommend_batch``
        gives them (owned items excluded unless ``exclude_owned`` is False);
        unknown users get the popularity ranking."""
        if not hasattr(self, "vectors_"):
            raise NotFittedError(f"this {type(self).__name__} is not fitted yet; call fit first")
        _check_count(n, "n", 0)
        exclude = True if exclude_owned is None else bool(exclude_owned)
        users = _as_list(users)
        rows = self.users_.index(users)
        scores = self._scores(rows)
        rank = np.empty(len(self._lists.ranking), dtype=np.int64)
        rank[self._lists.ranking] = np.arange(len(rank))
        out_user, out_item, out_score = [], [], []
        for user, row, score in zip(users, rows.tolist(), scores):
            order = np.lexsort((rank, -score))
            if exclude and row >= 0:
                order = order[~np.isin(order, self._lists.owned(row))]
            top = order[:n]
            out_user.extend([user] * len(top))
            out_item.extend(top.tolist())
            out_score.extend(score[top].tolist())
        return {
            "user": _object_array(out_user),
            "item": self.items_.ids[np.asarray(out_item, dtype=np.int64)],
            "score": np.asarray(out_score, dtype=np.float64),
            "source": np.full(len(out_item), "tifu_knn"),
        }


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


def paired_bootstrap(
    a: Sequence[float] | np.ndarray,
    b: Sequence[float] | np.ndarray,
    *,
    n_resamples: int = 1000,
    confidence: float = 0.95,
    seed: int = 0,
) -> tuple[float, float, float]:
    """Confidence interval for the difference of two models' mean score.

    The users are resampled with replacement, the same draw for both models
    (paired), and the interval is the percentile interval of mean(a) - mean(b)
    over the resamples.

    Parameters
    ----------
    a, b : sequence of float
        One score per user for each model, in the same user order.
    n_resamples : int, default 1000
        Bootstrap resamples.
    confidence : float, default 0.95
        Coverage of the interval, between 0 and 1.
    seed : int, default 0
        Seed of the resampling (the same seed gives the same interval).

    Returns
    -------
    (float, float, float)
        The observed difference of the means, and the interval's low and high
        ends. With no users all three are 0.

    Raises
    ------
    ValueError
        If ``a`` and ``b`` differ in length, ``n_resamples`` is below 1 or
        ``confidence`` is not between 0 and 1.

    Examples
    --------
    >>> diff, low, high = paired_bootstrap([1.0, 0.5, 1.0, 0.0], [0.5, 0.5, 0.0, 0.0])
    >>> diff, low <= diff <= high
    (0.375, True)
    >>> paired_bootstrap([0.2, 0.4], [0.2, 0.4])
    (0.0, 0.0, 0.0)
    """
    diffs = np.asarray(a, dtype=np.float64) - np.asarray(b, dtype=np.float64)
    if np.shape(a) != np.shape(b) or diffs.ndim != 1:
        raise ValueError("paired_bootstrap needs two equally long sequences of scores")
    if n_resamples < 1:
        raise ValueError("n_resamples must be at least 1")
    if not 0.0 < confidence < 1.0:
        raise ValueError("confidence must be between 0 and 1")
    if not len(diffs):
        return 0.0, 0.0, 0.0
    rng = np.random.default_rng(seed)
    means = np.empty(n_resamples)
    # resampled in blocks so that memory stays near a million draws
    block = max(1, 1_000_000 // len(diffs))
    for start in range(0, n_resamples, block):
        stop = min(n_resamples, start + block)
        draw = rng.integers(0, len(diffs), size=(stop - start, len(diffs)))
        means[start:stop] = diffs[draw].mean(axis=1)
    tail = (1.0 - confidence) / 2.0
    low, high = np.quantile(means, [tail, 1.0 - tail])
    return float(diffs.mean()), float(low), float(high)


def evaluate(
    models: Any,
    split: Split,
    *,
    k: int = 10,
    fit: bool = True,
    exclude_owned: bool | None = None,
    item_features: Any = None,
    include_cold_users: bool = False,
    reference: str | None = None,
    n_resamples: int = 1000,
    seed: int = 0,
    progress: bool = False,
) -> Any:
    """Score one model (or a dict of named models) on a split.

    Each model is fitted on ``split.train`` first unless ``fit`` is false, then
    asked for its top ``k`` for every test user. The relevant items of a user
    are that user's test items; with owned items excluded, the items the user
    already has in training are neither recommended nor counted as relevant.
    Each model's NDCG, recall and MAP are compared with the reference model's
    on the same users by a paired bootstrap (95% interval).

    Parameters
    ----------
    models : model or dict of str to model
        Objects with ``fit`` and ``recommend_batch(users, n, exclude_owned=...)``
        such as ``Recommender``, ``PopularityBaseline`` or
        ``PersonalPopularityBaseline``.
    split : Split
        From ``leave_last_basket_out``, ``leave_last_n_out`` or
        ``temporal_split``.
    k : int, default 10
        Cut-off of the metrics.
    fit : bool, default True
        Fit each model on ``split.train`` first.
    exclude_owned : bool, optional
        The owned-items rule for every model. None takes the first model's own
        rule (``exclude_owned_`` of a fitted ``Recommender``), else True.
    item_features : DataFrame or dict of arrays, optional
        Passed to ``fit``.
    include_cold_users : bool, default False
        Also score test users unseen in training.
    reference : str, optional
        Name of the model the others are compared with (default: the first).
    n_resamples : int, default 1000
        Bootstrap resamples for the intervals.
    seed : int, default 0
        Seed of the bootstrap.
    progress : bool, default False
        Show a bar over the steps, on a terminal or in a notebook (needs tqdm,
        ``tarsel[io]``); this library's models draw their own fit and batch
        bars beneath it.

    Returns
    -------
    pandas.DataFrame
        The columns model, metric, k, value, users, diff, ci_low and ci_high:
        ``diff`` is the model's value minus the reference's, with its interval;
        they are NaN for the reference itself and for coverage. The rule used
        is in ``table.attrs["exclude_owned"]``.

    Raises
    ------
    ValueError
        If ``k`` is not a positive integer, ``reference`` names no model, or a
        model raises it while fitting.

    Examples
    --------
    >>> split = Split({"user": [1, 1, 2, 2, 3], "item": ["x", "y", "x", "z", "x"]},
    ...               {"user": [1, 2, 3], "item": ["z", "y", "y"]})
    >>> table = evaluate({"popularity": PopularityBaseline()}, split, k=1)
    >>> table[table.metric == "ndcg"][["model", "value", "users"]].to_dict("records")
    [{'model': 'popularity', 'value': 1.0, 'users': 3}]
    """
    import pandas as pd

    _check_count(k, "k", 1)
    named = dict(models) if isinstance(models, Mapping) else {_model_name(models): models}
    reference = next(iter(named), None) if reference is None else reference
    if reference not in named:
        raise ValueError(
            f"reference {reference!r} is not one of the models ({', '.join(map(repr, named))})"
        )
    # this library's models draw their own bars beneath the steps
    own = {
        name: {"progress": progress} if isinstance(m, _Gated) else {} for name, m in named.items()
    }
    steps = Steps(progress, total=len(named) * (2 if fit else 1) + 2, desc="evaluate")
    with steps:
        if fit:
            for name, model in named.items():
                steps.start(f"fitting {name}")
                model.fit(split.train, item_features, **split.columns, **own[name])
        if exclude_owned is None:
            exclude_owned = bool(getattr(next(iter(named.values())), "exclude_owned_", True))
        steps.start("finding the held-out items")
        relevant = _relevant_items(split, exclude_owned, include_cold_users)
        users = list(relevant)
        # a set, not np.unique: sorting a million text ids takes seconds
        n_items = len(set(_as_list(column(split.train, split.item_col))))
        scores, coverage = {}, {}
        for name, model in named.items():
            steps.start(f"scoring {name}")
            found = model.recommend_batch(users, n=k, exclude_owned=exclude_owned, **own[name])
            lists = _ranked_lists(found, users)
            scores[name] = {
                metric: [fn(lists[u], relevant[u], k) for u in users]
                for metric, fn in (("ndcg", ndcg_at_k), ("recall", recall_at_k), ("map", map_at_k))
            }
            coverage[name] = catalogue_coverage(lists.values(), n_items)
        steps.start("bootstrapping the differences")
        rows = []
        nan = float("nan")
        for name in named:
            for metric, values in scores[name].items():
                compared = (
                    (nan, nan, nan)
                    if name == reference
                    else paired_bootstrap(
                        values, scores[reference][metric], n_resamples=n_resamples, seed=seed
                    )
                )
                mean = float(np.mean(values)) if values else 0.0
                rows.append((name, metric, k, mean, len(users), *compared))
            rows.append((name, "coverage", k, coverage[name], len(users), nan, nan, nan))
    table = pd.DataFrame(
        rows, columns=["model", "metric", "k", "value", "users", "diff", "ci_low", "ci_high"]
    )
    table.attrs["exclude_owned"] = bool(exclude_owned)
    return table


@runtime_checkable
class _Gated(Protocol):
    """This library's estimator: it fits and streams its recommendations."""

    def fit(self, interactions: Any, item_features: Any = None, **columns: Any) -> Any: ...

    def iter_recommend_batch(self, users: Any, n: int = 10, **options: Any) -> Any: ...


def _model_name(model: Any) -> str:
    return "tarsel" if isinstance(model, _Gated) else type(model).__name__


def _relevant_items(split: Split, exclude_owned: bool, include_cold: bool) -> dict:
    owned: dict = {}
    for user, item in zip(
        _as_list(column(split.train, split.user_col)), _as_list(column(split.train, split.item_col))
    ):
        owned.setdefault(user, set()).add(item)
    relevant: dict = {}
    for user, item in zip(
        _as_list(column(split.test, split.user_col)), _as_list(column(split.test, split.item_col))
    ):
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
