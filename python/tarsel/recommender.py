"""``Recommender``: fits every signal the data supports with the native core,
keeps what helps on held-out users, and serves from one native engine."""

from __future__ import annotations

import os
import warnings
from collections.abc import Iterator, Sequence
from typing import Any

import numpy as np

from tarsel import _live
from tarsel._fitting import release_free_memory, sized_batch
from tarsel._model import FittedModel, fit_model
from tarsel._progress import Bar, Steps
from tarsel._settings import NAMES as _SETTING_NAMES
from tarsel._settings import Settings
from tarsel.data import (
    feature_item_ids,
    id_array,
    prepare_interactions,
    prepare_item_features,
)
from tarsel.errors import NotFittedError, native_failures
from tarsel.report import write_report

# The most result rows one ``recommend_batch`` call returns (about 80 bytes
# each); ``iter_recommend_batch`` streams larger requests in chunks.
MAX_BATCH_ROWS = 1 << 25
# Result rows per engine call of a batch (and per chunk of ``iter_recommend_batch``
# by default): enough for the worker pool, small beside the result.
_CHUNK_ROWS = 1 << 16


class _FittedView:
    """A fitted attribute of the estimator: a field of its ``FittedModel``,
    read-only; NotFittedError (an AttributeError) before ``fit``."""

    def __init__(self, field: str):
        self.field = field

    def __set_name__(self, owner: type, name: str) -> None:
        self.name = name

    def __get__(self, model: Recommender | None, owner: type) -> Any:
        return self if model is None else getattr(model._state(), self.field)

    def __set__(self, model: Recommender, value: Any) -> None:
        raise AttributeError(f"{self.name} is read-only: it is what fit or load found")


class Recommender:
    """A top-n recommender over user-item interactions.

    ``fit`` builds what the data supports (co-occurrence graph, an EASE base
    for catalogues up to ``ease_max_items`` where held-out users prefer it,
    session and transition graphs when sessions are deep enough, content
    neighbours from item features, trend and user-CF channels, a repeat profile
    from timestamps), then measures NDCG@k on
    held-out users with each channel and the repeat module on and off and keeps
    only what helps. ``fit_report_`` holds those figures.

    Every setting is keyword-only and checked by ``fit``: a bad value raises
    ``ValueError`` naming it.

    Parameters
    ----------
    weighting : {"binary", "log1p", "rating"} or None
        How repeated events of one (user, item) pair weigh: 1, log1p of their
        count, or the mean of ``weight_col``. None: "rating" when ``fit`` gets a
        ``weight_col``, else "binary".
    cooc_transform : {"raw", "cosine", "jaccard", "wilson"}
        Normalisation of the co-occurrence graph.
    cooc_kernel : {"pure_count", "hybrid_temporal"}
        Pair weights of the graph; "hybrid_temporal" decays older pairs with
        ``half_life_days`` (> 0) and needs a ``time_col``.
    ease_max_items : int >= 0 or None
        EASE is a candidate base for catalogues of at most this many items;
        the gates keep it over the co-occurrence graph only where held-out
        users show it better. None: as many as a solve within 2 GiB allows
        (about 9,400 items); ``fit_report_["base_choice"]``,
        ``fit_report_["model_size"]`` and the gates ``base:ease`` and
        ``ease_lambda`` say what was chosen, why and by how much.
    max_neighbours : int >= 1 or None
        Each item keeps its strongest neighbours in the co-occurrence graph
        (None: all of them): a smaller graph, file and memory.
    ease_lambda : float > 0
        Ridge penalty of EASE. With held-out users and up to about 7,700
        items (tuning within 2 GiB), the gates also try it divided and
        multiplied by 2.5 (one step further where an end wins) and keep the
        best; ``kept_["ease_lambda"]`` is the one served.
    min_deep_session_fraction : float in [0, 1]
        Share of sessions holding two or more items that a session layer needs.
    session_gap_seconds : float >= 0 or None
        Without a session column, events of one user closer than this form a
        session; None: never.
    trend_alpha, user_cf_alpha, last_item_alpha, transition_alpha, content_alpha : float >= 0
        Channel weights; 0 turns a channel off.
    trend_window_fraction : float in (0, 1]
        The latest share of the time range that counts as recent for the trend.
    user_cf_k, transition_last_k : int >= 1
        Neighbour users of the user-CF channel; recent items the transition
        channel follows, weighted by ``transition_decay`` (in (0, 1]) per step.
    content_top_k, content_max_df : int >= 1, int >= 0
        Content neighbours per item; the cap on a feature's item count (0: none).
    cold_slots : int >= 0
        Result slots kept for items without history.
    repeat, repeat_min_count, repeat_refractory_days, repeat_freq_alpha
        The repeat-purchase module: on or off, the purchases an item needs to
        enter a user's profile (>= 1), the days after a purchase before it may
        return (>= 0), and the weight of purchase frequency (>= 0).
    retrieval_budget : int >= 1
        Candidates kept before the boost layers.
    z_grid, boost_grid : sequences of numbers
        The boost gate's calibration grid (boosts >= 0).
    pop_prior_grid : sequence of numbers >= 0
        Weights tried for the popularity addend.
    gate_users, gate_k, min_gain : int >= 0, int >= 1, float >= 0
        Users held out by the gates (0 skips them), the NDCG cut-off, and the
        gain a part must bring to be kept.
    random_state : int >= 0
        Seed of the draw of held-out users.
    exclude_owned : bool or None
        Whether results leave out items the user already has. None: decided by
        the gates (owned items return when repeat purchases help held-out
        users). Each call of ``recommend``, ``recommend_batch`` and ``evaluate``
        may override it.

    Attributes
    ----------
    engine_ : tarsel._core.EngineState
        The native serving engine.
    users_, items_ : IdMap
        Maps between the caller's ids and dense indices.
    item_pop_ : ndarray
        Interactions per item.
    kept_, fit_report_ : dict
        What the gates kept, and every figure behind that choice.
    exclude_owned_ : bool
        The owned-items rule the model serves with.

    Examples
    --------
    >>> from tarsel import Recommender
    >>> log = {"user": [1, 1, 2, 2, 3, 3, 3], "item": ["a", "b", "a", "c", "a", "b", "c"]}
    >>> model = Recommender(gate_users=0).fit(log)
    >>> model.recommend(2, n=1)["item"].tolist()
    ['b']
    """

    def __init__(
        self,
        *,
        weighting: str | None = None,
        cooc_transform: str = "cosine",
        cooc_kernel: str = "pure_count",
        half_life_days: float = 30.0,
        ease_max_items: int | None = None,
        max_neighbours: int | None = 300,
        ease_lambda: float = 250.0,
        min_deep_session_fraction: float = 0.3,
        session_gap_seconds: float | None = 1800.0,
        trend_alpha: float = 0.3,
        trend_window_fraction: float = 0.1,
        user_cf_alpha: float = 0.3,
        user_cf_k: int = 100,
        last_item_alpha: float = 0.3,
        transition_alpha: float = 0.3,
        transition_last_k: int = 5,
        transition_decay: float = 0.7,
        content_alpha: float = 0.3,
        content_top_k: int = 20,
        content_max_df: int = 0,
        cold_slots: int = 0,
        repeat: bool = True,
        repeat_min_count: int = 2,
        repeat_refractory_days: float = 1.0,
        repeat_freq_alpha: float = 1.0,
        retrieval_budget: int = 500,
        z_grid: Sequence[float] = (1.5, 2.0, 2.5, 3.0),
        boost_grid: Sequence[float] = (1.0, 2.0, 3.0, 5.0),
        pop_prior_grid: Sequence[float] = (0.03, 0.1, 0.3, 1.0, 3.0),
        gate_users: int = 1000,
        gate_k: int = 10,
        min_gain: float = 1e-4,
        random_state: int = 0,
        exclude_owned: bool | None = None,
    ):
        # stored as given (scikit-learn's convention; grids as tuples): fit checks them
        self.weighting = weighting
        self.cooc_transform = cooc_transform
        self.cooc_kernel = cooc_kernel
        self.half_life_days = half_life_days
        self.ease_max_items = ease_max_items
        self.max_neighbours = max_neighbours
        self.ease_lambda = ease_lambda
        self.min_deep_session_fraction = min_deep_session_fraction
        self.session_gap_seconds = session_gap_seconds
        self.trend_alpha = trend_alpha
        self.trend_window_fraction = trend_window_fraction
        self.user_cf_alpha = user_cf_alpha
        self.user_cf_k = user_cf_k
        self.last_item_alpha = last_item_alpha
        self.transition_alpha = transition_alpha
        self.transition_last_k = transition_last_k
        self.transition_decay = transition_decay
        self.content_alpha = content_alpha
        self.content_top_k = content_top_k
        self.content_max_df = content_max_df
        self.cold_slots = cold_slots
        self.repeat = repeat
        self.repeat_min_count = repeat_min_count
        self.repeat_refractory_days = repeat_refractory_days
        self.repeat_freq_alpha = repeat_freq_alpha
        self.retrieval_budget = retrieval_budget
        self.z_grid = _as_tuple(z_grid)
        self.boost_grid = _as_tuple(boost_grid)
        self.pop_prior_grid = _as_tuple(pop_prior_grid)
        self.gate_users = gate_users
        self.gate_k = gate_k
        self.min_gain = min_gain
        self.random_state = random_state
        self.exclude_owned = exclude_owned

    def get_params(self, deep: bool = True) -> dict[str, Any]:
        """The settings, by name (scikit-learn's estimator interface).

        Parameters
        ----------
        deep : bool
            Accepted for scikit-learn; no setting holds an estimator.

        Returns
        -------
        dict
            Every ``__init__`` parameter and its current value.

        Examples
        --------
        >>> Recommender(ease_lambda=10.0).get_params()["ease_lambda"]
        10.0
        """
        return {name: getattr(self, name) for name in _PARAMS}

    def set_params(self, **params: Any) -> Recommender:
        """Change settings by name; they are checked by the next ``fit``.

        Returns
        -------
        Recommender
            self.

        Raises
        ------
        ValueError
            For a name that is not a setting.

        Examples
        --------
        >>> Recommender().set_params(gate_users=0)
        Recommender(gate_users=0)
        """
        unknown = sorted(set(params) - set(_PARAMS))
        if unknown:
            raise ValueError(f"unknown parameter {unknown[0]!r} for Recommender")
        for name, value in params.items():
            setattr(self, name, value)
        return self

    def __repr__(self) -> str:
        changed = {k: v for k, v in self.get_params().items() if _differs(v, _DEFAULTS[k])}
        return f"Recommender({', '.join(f'{k}={v!r}' for k, v in changed.items())})"

    # ----------------------------------------------------------------- fit

    def fit(
        self,
        interactions: Any,
        item_features: Any = None,
        *,
        user_col: str = "user",
        item_col: str = "item",
        time_col: str | None = None,
        weight_col: str | None = None,
        session_col: str | None = None,
        time_format: str | None = None,
        drop_duplicates: bool = False,
        progress: bool = False,
    ) -> Recommender:
        """Fit on an interaction table and optional item features.

        Parameters
        ----------
        interactions : pandas or polars DataFrame, or dict of arrays
            One row per event. Ids may be of any hashable type; all columns
            must have the same length.
        item_features : table, optional
            ``item_col`` and feature columns: numbers are one valued feature,
            text and categories one-hot, lists multi-hot. Items here without
            interactions can still be recommended (cold items).
        user_col, item_col : str
            The id columns.
        time_col : str, optional
            Event times: numbers (UNIX seconds), datetimes, or dates as text (ISO
            8601 such as ``2015-07-21`` or ``2015-07-21T10:30:00``, or
            ``time_format``). Enables the repeat module, the trend and sessions.
        weight_col : str, optional
            Ratings or other numeric weights.
        session_col : str, optional
            Session or basket labels (otherwise sessions come from time gaps).
        time_format : str, optional
            A ``strptime`` pattern that parses text times, such as ``"%d-%m-%Y"``.
        drop_duplicates : bool, default False
            Leave out exact duplicate rows (the same user, item, time and
            session; counted only with a ``time_col``). By default they count
            as repeated events; ``fit_report_["duplicates"]`` says how many
            there were.
        progress : bool
            Show a progress bar over the steps (needs tqdm, ``tarsel[io]``).

        Returns
        -------
        Recommender
            self, fitted.

        Raises
        ------
        ValueError
            For a bad setting, a missing column, columns of different lengths,
            missing ids or ids a model cannot store (mixed types, tuples,
            integers beyond 64 bits), unparsable times or times outside the
            years 1900-2199 (such as milliseconds read as seconds), or empty
            data.
        TarselError
            When the native core fails.

        Examples
        --------
        >>> log = {"user": [1, 1, 2, 2, 3, 3, 3], "item": ["a", "b", "a", "c", "a", "b", "c"]}
        >>> model = Recommender(gate_users=0).fit(log)
        >>> model.fit_report_["users"], model.fit_report_["items"]
        (3, 3)
        """
        settings = Settings.from_params(self.get_params())
        with Steps(progress, total=4) as steps, native_failures():
            steps.start("reading interactions")
            data, features = _prepare(
                settings,
                interactions,
                item_features,
                user_col=user_col,
                item_col=item_col,
                time_col=time_col,
                weight_col=weight_col,
                session_col=session_col,
                time_format=time_format,
                drop_duplicates=drop_duplicates,
            )
            self._fitted = fit_model(
                settings,
                data,
                features,
                params=self.get_params(),
                columns={
                    "user_col": user_col,
                    "item_col": item_col,
                    "time_col": time_col,
                    "weight_col": weight_col,
                    "session_col": session_col,
                    "time_format": time_format,
                },
                duplicates=(data.duplicates, data.duplicates_dropped),
                steps=steps,
            )
            del data, features  # the model holds what it needs of them
            release_free_memory()
        self._fitted.kept.warn_if_served()
        return self

    # the fitted state, held by one FittedModel; the attributes below are its
    # public views (the class docstring describes them)
    _fitted: FittedModel | None = None
    engine_ = _FittedView("engine")
    users_ = _FittedView("users")
    items_ = _FittedView("items")
    item_pop_ = _FittedView("item_pop")
    columns_ = _FittedView("columns")
    fit_report_ = _FittedView("report")

    @property
    def kept_(self) -> dict[str, Any]:
        """What the gates kept, as they recorded it."""
        return self._state().kept.record

    @property
    def exclude_owned_(self) -> bool:
        """The owned-items rule the model serves with: the ``exclude_owned``
        setting, or the gates' decision when it is None."""
        fitted = self._state()
        if self.exclude_owned is not None:
            return bool(self.exclude_owned)
        return fitted.kept.exclude_owned

    # ----------------------------------------------------------- recommend

    def recommend(
        self,
        user: Any,
        n: int = 10,
        *,
        items: Sequence[Any] | None = None,
        exclude_owned: bool | None = None,
    ) -> dict[str, np.ndarray]:
        """Top ``n`` items for one user, in the caller's ids.

        Parameters
        ----------
        user : hashable
            A user id of the type the model was fitted with: on a model with
            integer ids, ``"7857"`` is refused rather than matched to 7857
            (the command line, which reads text, matches it). Unknown users and
            None without ``items`` get the most popular items.
        n : int >= 0
            How many items.
        items : sequence of item ids, optional
            A live basket: these items count as consumed after the user's stored
            history, most recent last, for this request only (nothing is
            stored). An unknown or None user is then served from these items
            alone. Ids the model does not know are ignored and counted.
        exclude_owned : bool, optional
            Leave out items the user already has (basket included); None follows
            ``exclude_owned_``. When owned items are allowed, they return where
            the repeat module expects them to be bought again.

        Returns
        -------
        dict
            The arrays ``item``, ``score`` and ``source`` (which part found the
            item), best first; pass it to ``pandas.DataFrame`` for a table. With
            ``items`` also ``unknown_items``, the number of basket ids not in
            the catalogue. Scores never increase down the list: the engine's
            score; where a baseline serves, the item's share of all fitted
            events, plus the user's own events of it for personal popularity
            (``source`` "personal_popularity"); popular items that fill up a
            short list score their share, or the score before them where that
            is lower.

        Raises
        ------
        NotFittedError
            Before ``fit``.
        TypeError
            For an id of another type than the model's user ids.
        ValueError
            For a negative or non-integer ``n``.

        Examples
        --------
        >>> log = {"user": [1, 1, 2, 2, 3, 3, 3], "item": ["a", "b", "a", "c", "a", "b", "c"]}
        >>> model = Recommender(gate_users=0).fit(log)
        >>> found = model.recommend(1, n=2)
        >>> found["item"].tolist(), found["source"].tolist()
        (['c'], ['ease'])
        >>> model.recommend(None, n=2)["source"].tolist()
        ['popularity', 'popularity']
        >>> found = model.recommend(None, 2, items=["c", "zz"])
        >>> found["item"].tolist(), found["unknown_items"]
        (['a', 'b'], 1)
        """
        fitted = self._state()
        n = self._count(n)
        exclude_owned = self._exclude(exclude_owned)
        fitted.users.check_type(user, "user")
        request = _live.basket(fitted, user, items)
        with native_failures():
            found = (
                fitted.engine.recommend(
                    request.owned,
                    request.engine_row,
                    self._ask(request.row, n, exclude_owned),
                    fitted.kept.pop_prior(exclude_owned),
                )
                if len(request.owned) and self._engine_serves(exclude_owned)
                else ([], [], [])
            )
        ranked, scores, sources = self._finish(request, found, n, exclude_owned)
        result: dict[str, Any] = {
            "item": fitted.items.ids[np.asarray(ranked, dtype=np.int64)],
            "score": np.asarray(scores, dtype=np.float64),
            "source": np.asarray(sources, dtype=str),
        }
        if items is not None:
            result["unknown_items"] = request.unknown
        return result

    def recommend_batch(
        self,
        users: Any,
        n: int = 10,
        *,
        items: Sequence[Sequence[Any] | None] | None = None,
        exclude_owned: bool | None = None,
        progress: bool = False,
    ) -> dict[str, np.ndarray]:
        """Top ``n`` items for many users at once, in parallel in the engine.

        One call returns at most ``MAX_BATCH_ROWS`` rows (``len(users)`` times
        ``n``, with ``n`` cut to the catalogue size); ``iter_recommend_batch``
        streams larger requests in bounded memory.

        Parameters
        ----------
        users : sequence or ndarray
            User ids, as for ``recommend``.
        n : int >= 0
            Items per user.
        items : sequence of baskets, optional
            One live basket (a list of item ids, or None) per user, as
            ``recommend`` takes it.
        exclude_owned : bool, optional
            As for ``recommend``.
        progress : bool
            Show a bar over the users, on a terminal or in a notebook (needs
            tqdm, ``tarsel[io]``).

        Returns
        -------
        dict
            A long table of arrays: ``user``, ``item``, ``score``, ``source``
            and ``rank`` (1 = best), users in the order given. With ``items``
            also ``unknown_items``, the basket ids not in the catalogue over
            all users.

        Raises
        ------
        NotFittedError
            Before ``fit``.
        TypeError
            For ids of another type than the model's user ids, or one id (such
            as a string) where the sequence of users belongs.
        ValueError
            For a bad ``n``, or a request over ``MAX_BATCH_ROWS`` rows.

        Examples
        --------
        >>> log = {"user": [1, 1, 2, 2, 3, 3, 3], "item": ["a", "b", "a", "c", "a", "b", "c"]}
        >>> model = Recommender(gate_users=0).fit(log)
        >>> got = model.recommend_batch([1, 2], n=1)
        >>> got["user"].tolist(), got["item"].tolist(), got["rank"].tolist()
        ([1, 2], ['c', 'b'], [1, 1])
        """
        self._check_fitted()
        users = _user_array(users)
        n = self._count(n)
        if len(users) * n > MAX_BATCH_ROWS:
            raise ValueError(
                f"recommend_batch would return up to {len(users) * n:,} rows ({len(users):,} "
                f"users x n={n:,}), more than the {MAX_BATCH_ROWS:,} one call may return; "
                "use iter_recommend_batch to stream them in chunks"
            )
        # in chunks, so that the engine's per-user answers never pile up
        chunks = list(
            self._chunks(
                users,
                n,
                self._exclude(exclude_owned),
                _baskets(items, users),
                max(1, _CHUNK_ROWS // max(n, 1)),
                progress,
            )
        )
        joined: dict[str, Any] = {
            key: np.concatenate([c[key] for c in chunks])
            for key in chunks[0]
            if key != "unknown_items"
        }
        if items is not None:
            joined["unknown_items"] = sum(c["unknown_items"] for c in chunks)
        return joined

    def iter_recommend_batch(
        self,
        users: Any,
        n: int = 10,
        *,
        items: Sequence[Sequence[Any] | None] | None = None,
        exclude_owned: bool | None = None,
        chunk_size: int | None = None,
        progress: bool = False,
    ) -> Iterator[dict[str, np.ndarray]]:
        """``recommend_batch`` in chunks of users, for any number of users in
        bounded memory.

        Parameters
        ----------
        users : sequence or ndarray
            User ids, as for ``recommend``.
        n : int >= 0
            Items per user.
        items : sequence of baskets, optional
            One live basket per user, as for ``recommend_batch``.
        exclude_owned : bool, optional
            As for ``recommend``.
        chunk_size : int >= 1, optional
            Users per chunk; by default about 65,000 result rows a chunk.
        progress : bool
            Show a bar over the users answered so far, as ``recommend_batch``.

        Yields
        ------
        dict of ndarray
            ``recommend_batch``'s table for the next ``chunk_size`` users.

        Raises
        ------
        NotFittedError, TypeError, ValueError
            As ``recommend_batch``, before the first chunk.

        Examples
        --------
        >>> log = {"user": [1, 1, 2, 2, 3, 3, 3], "item": ["a", "b", "a", "c", "a", "b", "c"]}
        >>> model = Recommender(gate_users=0).fit(log)
        >>> [c["user"].tolist() for c in model.iter_recommend_batch([1, 2, 1], 1, chunk_size=2)]
        [[1, 2], [1]]
        """
        self._check_fitted()
        users = _user_array(users)
        n = self._count(n)
        if chunk_size is None:
            chunk_size = max(1, _CHUNK_ROWS // max(n, 1))
        elif (
            isinstance(chunk_size, bool)
            or not isinstance(chunk_size, (int, np.integer))
            or chunk_size < 1
            or chunk_size * n > MAX_BATCH_ROWS
        ):
            raise ValueError(
                f"chunk_size must be a positive integer with chunk_size x n at most "
                f"{MAX_BATCH_ROWS:,}, not {chunk_size!r}"
            )
        return self._chunks(
            users,
            n,
            self._exclude(exclude_owned),
            _baskets(items, users),
            int(chunk_size),
            progress,
        )

    def _chunks(
        self,
        users: np.ndarray,
        n: int,
        exclude_owned: bool,
        baskets: list | None,
        step: int,
        progress: bool,
    ) -> Iterator[dict[str, np.ndarray]]:
        """``_batch`` over successive slices of ``step`` users (one, when empty)."""
        with Bar(progress, len(users), "recommending", unit="user") as bar:
            for start in range(0, max(len(users), 1), step):
                part = users[start : start + step]
                yield self._batch(
                    part,
                    n,
                    exclude_owned,
                    None if baskets is None else baskets[start : start + step],
                )
                bar.update(len(part))

    def similar_items(self, item: Any, n: int = 10) -> dict[str, np.ndarray]:
        """The items the model ranks highest for someone who has just ``item``.

        Parameters
        ----------
        item : hashable
            An item id of the model.
        n : int >= 0
            How many items.

        Returns
        -------
        dict of ndarray
            ``item``, ``score`` and ``source``, best first.

        Raises
        ------
        NotFittedError
            Before ``fit``.
        TypeError
            For an id of another type than the model's item ids.
        ValueError
            For an unknown item or a bad ``n``.

        Examples
        --------
        >>> log = {"user": [1, 1, 2, 2, 3, 3], "item": ["a", "b", "a", "b", "c", "b"]}
        >>> Recommender(gate_users=0).fit(log).similar_items("a", n=1)["item"].tolist()
        ['b']
        """
        fitted = self._state()
        n = self._count(n)
        fitted.items.check_type(item, "item")
        index = fitted.items.get(item)
        if index is None:
            raise ValueError(f"unknown item {item!r}")
        with native_failures():
            items, scores, sources = fitted.engine.recommend([index], -1, n)
        return {
            "item": fitted.items.ids[np.asarray(items, dtype=np.int64)],
            "score": np.asarray(scores, dtype=np.float64),
            "source": np.asarray(sources, dtype=str),
        }

    def update(self, events: Any, **columns: str | None) -> dict[str, int]:
        """Add new events to the users' histories without refitting.

        Each user's events are appended to their history in time order (an
        item consumed again moves to the most recent place), so the next
        ``recommend`` answers from them. When the model serves a repeat
        profile, its event counts and last-consumption times are brought up to
        date, and a (user, item) pair that reaches ``repeat_min_count`` events
        joins it; the profile's "now" moves to the latest event. New users are
        added and served from their events at once. The work is in proportion
        to the new events and the histories of their users, plus one copy of
        the repeat profile into the engine.

        What an update does not change: the item models (co-occurrence graph,
        EASE, session and transition graphs, content neighbours), the trend and
        user-CF channels (new users do not become neighbours), item popularity,
        the repeat periods and their confidence (a pair new to the profile has
        no period until the next ``fit``), and the gates' decisions. Events of
        items the model does not know are ignored and counted until the next
        ``fit``. ``save`` keeps the updated histories and profile. Do not call
        it while another thread uses the model.

        Parameters
        ----------
        events : DataFrame or dict of arrays
            New events, with the columns ``fit`` was given (weights and
            sessions are not used). Events are taken as later than the fitted
            ones and applied in time order.
        **columns : str or None
            ``user_col``, ``item_col`` or ``time_col``, when the events name
            their columns differently from the fitted table; ``time_format``
            when their text times differ from the format ``fit`` was given.

        Returns
        -------
        dict
            ``events`` (applied), ``new_users`` and ``unknown_items`` (events
            ignored because their item is not in the model).

        Raises
        ------
        NotFittedError
            Before ``fit``.
        ValueError
            When a column is missing or of another length, a user id is missing
            or not of the model's id type, or the times cannot be read.

        Examples
        --------
        >>> model = Recommender(gate_users=0).fit(
        ...     {"user": [1, 1, 2, 2, 3, 3], "item": ["a", "b", "a", "b", "b", "c"]})
        >>> model.update({"user": [9, 9], "item": ["c", "new"]})
        {'events': 1, 'new_users': 1, 'unknown_items': 1}
        >>> model.recommend(9, 2)["item"].tolist()
        ['b', 'a']
        """
        return _live.update(self._state(), events, columns)

    def _batch(
        self, users: np.ndarray, n: int, exclude_owned: bool, items: list | None
    ) -> dict[str, np.ndarray]:
        fitted = self._state()
        fitted.users.index(users, "user")  # ids of another type raise TypeError
        requests = _live.baskets(fitted, users.tolist(), items)
        # a mode served by a baseline needs no engine answers
        live = [r for r in requests if len(r.owned)] if self._engine_serves(exclude_owned) else []
        asked = np.asarray([self._ask(r.row, n, exclude_owned) for r in live], dtype=np.int64)
        prior = fitted.kept.pop_prior(exclude_owned)
        with native_failures():
            found = iter(
                sized_batch(
                    lambda owned, rows, n: fitted.engine.recommend_batch(owned, rows, n, prior),
                    [r.owned for r in live],
                    [r.engine_row for r in live],
                    asked,
                )
            )
        columns: tuple[list, ...] = ([], [], [])  # item, score, source
        lengths = np.zeros(len(users), dtype=np.int64)
        for k, request in enumerate(requests):
            answer = next(found) if live and len(request.owned) else ([], [], [])
            ranked = self._finish(request, answer, n, exclude_owned)
            lengths[k] = len(ranked[0])
            for column, values in zip(columns, ranked):
                column.extend(values)
        starts = np.cumsum(lengths) - lengths
        result: dict[str, Any] = {
            "user": np.repeat(users, lengths),
            "item": fitted.items.ids[np.asarray(columns[0], dtype=np.int64)],
            "score": np.asarray(columns[1], dtype=np.float64),
            "source": np.asarray(columns[2], dtype=str),
            "rank": np.arange(int(lengths.sum()), dtype=np.int64) - np.repeat(starts, lengths) + 1,
        }
        if items is not None:
            result["unknown_items"] = sum(r.unknown for r in requests)
        return result

    def _state(self) -> FittedModel:
        """The fitted state; NotFittedError before ``fit`` or ``load``."""
        if self._fitted is None:
            raise NotFittedError(f"this {type(self).__name__} is not fitted yet; call fit first")
        return self._fitted

    def _check_fitted(self) -> None:
        self._state()

    def _saved(self) -> FittedModel:
        """The fitted state as a model file stores it: with the settings as
        they are now (``set_params`` after ``fit`` changes what is saved)."""
        fitted = self._state()
        fitted.params = self.get_params()
        return fitted

    def _count(self, n: Any) -> int:
        """``n`` checked, and cut to the catalogue: no answer holds more items."""
        if isinstance(n, bool) or not isinstance(n, (int, np.integer)) or n < 0:
            raise ValueError(f"n must be a non-negative integer, not {n!r}")
        return min(int(n), len(self.items_))

    def _exclude(self, exclude_owned: bool | None) -> bool:
        return self.exclude_owned_ if exclude_owned is None else bool(exclude_owned)

    def _engine_serves(self, exclude_owned: bool) -> bool:
        return self._state().kept.served_by(exclude_owned) is None

    def _ask(self, row: int | None, n: int, exclude_owned: bool) -> int:
        # only the user's repeat-profile items can come back among the results;
        # ask for enough to drop them and still have n
        if row is None or not exclude_owned:
            return n
        return n + int(self._state().repeat_sizes[row])

    def _finish(self, request: Any, found, n: int, exclude_owned: bool) -> tuple[list, list, list]:
        """The engine's answer without owned items (when asked), cut to ``n`` with
        its cold-item slots kept, then filled up with popular items."""
        fitted = self._state()
        served = fitted.kept.served_by(exclude_owned)
        if served is not None:  # nothing fitted beat this baseline in this mode
            return fitted.baselines.scored(served, request.row, n, exclude_owned, request.owned)
        items, scores, sources = found
        owned = set(request.owned.tolist())
        dropped = owned if exclude_owned else set()
        cold = [k for k, source in enumerate(sources) if source == "cold_content"]
        regular = [
            k
            for k, (item, source) in enumerate(zip(items, sources))
            if source != "cold_content" and item not in dropped
        ]
        chosen = regular[: max(n - len(cold), 0)] + cold
        ranked = (
            [items[k] for k in chosen],
            [scores[k] for k in chosen],
            [sources[k] for k in chosen],
        )
        if len(chosen) < n:
            self._pad_popular(ranked, owned, n)
        return ranked

    def _pad_popular(self, ranked: tuple[list, list, list], owned: set, n: int) -> None:
        # popular items score their share of all events, or the score before
        # them where that is lower: a list never scores better further down
        lists = self._state().baselines
        taken = set(ranked[0]) | owned
        last = ranked[1][-1] if ranked[1] else np.inf
        for item in lists.ranking.tolist():
            if len(ranked[0]) >= n:
                break
            if item not in taken:
                last = min(last, float(lists.share[item]))
                ranked[0].append(item)
                ranked[1].append(last)
                ranked[2].append("popularity")

    # ---------------------------------------------------------- save / load

    def save(self, path: str | os.PathLike) -> None:
        """Write the fitted model (engine record, id maps, histories) to one file,
        atomically: a failed save leaves an existing file as it was.

        Parameters
        ----------
        path : str or path-like
            The file to write. A new file gets mode 0666 less the umask; an
            existing one keeps its mode.

        Raises
        ------
        ValueError
            When the model is not fitted, or its ids cannot be stored.
        OSError
            When the file cannot be written; the message names ``path``.

        Examples
        --------
        >>> import os, tempfile
        >>> model = Recommender(gate_users=0).fit({"user": [1, 1, 2, 2, 3],
        ...                                        "item": [1, 2, 1, 3, 2]})
        >>> path = os.path.join(tempfile.mkdtemp(), "shop.model")
        >>> model.save(path)
        >>> Recommender.load(path).recommend(3, 2)["item"].tolist()
        [1, 3]
        """
        self._saved().save(path)

    def report(
        self,
        path: str | os.PathLike,
        evaluation: Any = None,
        *,
        users: Sequence[Any] | np.ndarray | None = None,
    ) -> None:
        """Write this model's report, one self-contained HTML page with charts.

        Parameters
        ----------
        path : str or os.PathLike
            Where to write the page.
        evaluation : pandas.DataFrame, optional
            A table from :func:`tarsel.evaluation.evaluate` to show with it.
        users : sequence or array, optional
            Held-out users whose recommendations measure the catalogue coverage.

        Raises
        ------
        NotFittedError
            If the model is not fitted.

        See Also
        --------
        tarsel.report.write_report : what the page shows.

        Examples
        --------
        >>> import os, tempfile
        >>> from tarsel import Recommender, datasets
        >>> shop = datasets.grocery(n_users=150, n_items=80, n_days=30)
        >>> model = Recommender(gate_users=60).fit(shop.interactions, **shop.columns)
        >>> with tempfile.TemporaryDirectory() as folder:
        ...     model.report(os.path.join(folder, "report.html"))
        ...     os.listdir(folder)
        ['report.html']
        """
        self._check_fitted()
        write_report(self, path, evaluation, users=users)

    @classmethod
    def load(cls, path: str | os.PathLike) -> Recommender:
        """Read a model written by ``save``.

        Parameters
        ----------
        path : str or path-like
            A model file.

        Returns
        -------
        Recommender
            The fitted model, serving exactly as the saved one did.

        Raises
        ------
        ValueError
            For every failure, saying why: a file that cannot be read (then also
            an OSError), is not a regular file or not a tarsel model, is damaged,
            changed while it was read, or holds parts that disagree.

        Examples
        --------
        >>> Recommender.load("/dev/null")
        Traceback (most recent call last):
        ...
        ValueError: '/dev/null' is not a regular file
        """
        return of_model(cls, FittedModel.load(path))


_DEFAULTS: dict[str, Any] = dict(Recommender.__init__.__kwdefaults__ or {})
_PARAMS = tuple(p for p in Recommender.__init__.__code__.co_varnames[1:] if p in _DEFAULTS)
assert _PARAMS == _SETTING_NAMES, "Recommender and Settings list the same settings in order"


def of_model(cls: type[Recommender], fitted: FittedModel) -> Recommender:
    """An estimator of class ``cls`` serving ``fitted``, with its settings."""
    model = cls(**{k: v for k, v in fitted.params.items() if k in _DEFAULTS})
    model._fitted = fitted
    return model


def model_bytes(model: Recommender) -> bytes:
    """The bytes of the file ``model.save`` writes."""
    return model._saved().to_bytes()


def _as_tuple(values: Any) -> Any:
    try:
        return values if isinstance(values, (str, bytes)) else tuple(values)
    except TypeError:
        return values  # not a sequence: fit names the setting


def _baskets(items: Any, users: np.ndarray) -> list | None:
    """One basket per user, as a list (checked for its length up front)."""
    if items is None:
        return None
    baskets = _live._id_list(items, "items")
    if len(baskets) != len(users):
        raise ValueError(
            f"items must hold one list per user: {len(baskets)} lists for {len(users)} users"
        )
    return baskets


def _differs(value: Any, default: Any) -> bool:
    try:
        return bool(value != default)
    except (TypeError, ValueError):  # arrays compare element-wise
        return True


def _user_array(users: Any) -> np.ndarray:
    """The users of a batch as a one-dimensional array of their own type; one
    id (a string is not a sequence of users here) raises TypeError."""
    if isinstance(users, (str, bytes)) or not hasattr(users, "__iter__"):
        raise TypeError(
            f"users must be a sequence of user ids, not {type(users).__name__} "
            f"({users!r:.40}); for one user, pass a list of it or call recommend"
        )
    array = users.to_numpy() if hasattr(users, "to_numpy") else users
    array = array if isinstance(array, np.ndarray) else id_array(list(array))
    if array.ndim != 1:
        raise ValueError(f"users must be one-dimensional, not of shape {array.shape}")
    return array


def _prepare(settings: Settings, interactions, item_features, *, item_col: str, **columns):
    extra = feature_item_ids(item_features, item_col) if item_features is not None else ()
    data = prepare_interactions(
        interactions,
        item_col=item_col,
        weighting=settings.weighting,
        session_gap_seconds=settings.session_gap_seconds,
        extra_items=extra,
        **columns,
    )
    features = None
    if item_features is not None:
        features = prepare_item_features(item_features, data.items, item_col)
        sold = np.unique(data.item_idx)
        if len(extra) and not np.any(features.indptr[sold + 1] > features.indptr[sold]):
            warnings.warn(
                "no item of item_features has interactions: are the item ids of the "
                "two tables of the same type?",
                stacklevel=3,
            )
    return data, features
