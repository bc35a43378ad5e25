"""``Recommender``: fits every signal the data supports with the native core,
keeps what helps on held-out users, and serves from one native engine."""
from __future__ import annotations

import json
import warnings
from typing import Any, Optional, Sequence

import numpy as np

from tarsel import _core, _live
from tarsel._container import Container, open_container, write_container
from tarsel._fitting import OPTIONAL_NATIVE, Plan, engine_for, fit_parts, popularity_order
from tarsel._gates import Gate, Holdout
from tarsel.data import IdMap, feature_item_ids, prepare_interactions, prepare_item_features


class Recommender:
    """A top-n recommender over user-item interactions.

    ``fit`` builds what the data supports (co-occurrence graph, EASE base for
    catalogues up to ``ease_max_items``, session and transition graphs when
    sessions are deep enough, content neighbours from item features, trend and
    user-CF channels, a repeat profile from timestamps), then measures NDCG@k on
    held-out users with each channel and the repeat module on and off and keeps
    only what helps. ``fit_report_`` holds those figures.

    Settings (all keyword-only):

    - ``weighting``: "binary", "log1p" (of repeats) or "rating" (mean of
      ``weight_col``); by default "rating" when ``fit`` gets a ``weight_col``.
    - ``cooc_transform`` ("raw", "cosine", "jaccard", "wilson"), ``cooc_kernel``
      ("pure_count" or "hybrid_temporal") and ``half_life_days``: the
      co-occurrence graph.
    - ``ease_max_items``, ``ease_lambda``: EASE is the base up to this many items.
    - ``min_deep_session_fraction``: the share of sessions with two or more items
      that a session layer needs; ``session_gap_seconds``: without a session
      column, events of one user closer than this form a session (None: never).
    - ``trend_alpha``, ``trend_window_fraction``, ``user_cf_alpha``,
      ``user_cf_k``, ``last_item_alpha``, ``transition_alpha``,
      ``transition_last_k``, ``transition_decay``, ``content_alpha``: the
      channels' weights and shapes (a weight of 0 turns a channel off).
    - ``content_top_k``, ``content_max_df``: content neighbours per item and the
      cap on a feature's item count; ``cold_slots``: result slots kept for items
      without history.
    - ``repeat``, ``repeat_min_count``, ``repeat_refractory_days``,
      ``repeat_freq_alpha``: the repeat-purchase module.
    - ``retrieval_budget``: candidates kept before the boost layers.
    - ``z_grid``, ``boost_grid``: the boost gate's calibration grid;
      ``pop_prior_grid``: the weights tried for the popularity addend.
    - ``gate_users``, ``gate_k``, ``min_gain``: how many users are held out, the
      NDCG cut-off, and the gain a part must bring to be kept.
    - ``random_state``: the draw of held-out users.

    Fitted attributes: ``engine_`` (the native engine), ``users_`` and
    ``items_`` (id maps), ``item_pop_``, ``kept_``, ``fit_report_``.
    """

    def __init__(
        self,
        *,
        weighting: Optional[str] = None,
        cooc_transform: str = "cosine",
        cooc_kernel: str = "pure_count",
        half_life_days: float = 30.0,
        ease_max_items: int = 20_000,
        ease_lambda: float = 250.0,
        min_deep_session_fraction: float = 0.3,
        session_gap_seconds: Optional[float] = 1800.0,
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
    ):
        self.weighting = weighting
        self.cooc_transform = cooc_transform
        self.cooc_kernel = cooc_kernel
        self.half_life_days = half_life_days
        self.ease_max_items = ease_max_items
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
        self.z_grid = tuple(z_grid)
        self.boost_grid = tuple(boost_grid)
        self.pop_prior_grid = tuple(pop_prior_grid)
        self.gate_users = gate_users
        self.gate_k = gate_k
        self.min_gain = min_gain
        self.random_state = random_state

    def get_params(self) -> dict[str, Any]:
        return {name: getattr(self, name) for name in _PARAMS}

    def set_params(self, **params: Any) -> "Recommender":
        unknown = sorted(set(params) - set(_PARAMS))
        if unknown:
            raise ValueError(f"unknown parameter {unknown[0]!r} for Recommender")
        for name, value in params.items():
            setattr(self, name, value)
        return self

    def __repr__(self) -> str:
        changed = {k: v for k, v in self.get_params().items() if v != _DEFAULTS[k]}
        return f"Recommender({', '.join(f'{k}={v!r}' for k, v in changed.items())})"

    # ----------------------------------------------------------------- fit

    def fit(self, interactions: Any, item_features: Any = None, *, user_col: str = "user",
            item_col: str = "item", time_col: Optional[str] = None,
            weight_col: Optional[str] = None, session_col: Optional[str] = None,
            progress: bool = False) -> "Recommender":
        """Fit on an interaction table (pandas/polars DataFrame or dict of arrays)
        and optional item features (a table with ``item_col`` and feature columns).
        Returns self."""
        _check_params(self)
        with _Steps(progress, total=4) as steps:
            steps.start("reading interactions")
            data, features = _prepare(self, interactions, item_features, user_col=user_col,
                                      item_col=item_col, time_col=time_col,
                                      weight_col=weight_col, session_col=session_col)
            report: dict[str, Any] = {
                "users": data.n_users, "items": data.n_items, "interactions": len(data.user_idx),
                "unavailable": sorted(n for n in OPTIONAL_NATIVE if not hasattr(_core, n)),
            }
            holdout = (Holdout.draw(data, self.gate_users, self.random_state)
                       if self.gate_users > 0 else None)
            if holdout is None:
                plan = Plan.everything(self)
                report["gates"] = ("skipped: gate_users is 0" if self.gate_users <= 0 else
                                   "skipped: too few users with two or more sessions or "
                                   "interactions")
            else:
                steps.start("fitting without the held-out sessions")
                gate_parts = fit_parts(self, holdout.train, features, Plan.everything(self),
                                        report)
                steps.start("gating on held-out users")
                plan = Gate(self, gate_parts, holdout).run(report)
            steps.start("fitting on all interactions")
            parts = fit_parts(self, data, features, plan, report)
            self.engine_ = engine_for(parts, plan)
        self.users_, self.items_ = data.users, data.items
        self.item_pop_, self._popular = parts.item_pop, None
        self._hist_indptr, self._hist_items = data.hist_indptr, data.hist_items
        self._repeat_sizes = _repeat_sizes(parts, plan, data.n_users)
        _live.after_fit(self, data, parts.repeat_profile if plan.repeat and parts.repeat else None,
                        parts.config.get("repeat_now_ts", np.nan), self.repeat_min_count)
        self.kept_ = plan.describe(parts)
        report["kept"] = self.kept_
        self.fit_report_ = report
        self.columns_ = {"user_col": user_col, "item_col": item_col, "time_col": time_col,
                         "weight_col": weight_col, "session_col": session_col}
        return self

    # ----------------------------------------------------------- recommend

    def recommend(self, user: Any, n: int = 10, *, items: Optional[Sequence[Any]] = None,
                  exclude_owned: bool = True) -> dict[str, np.ndarray]:
        """Top ``n`` items for one user, in the caller's ids.

        Parameters
        ----------
        user : hashable or None
            The user's id. Unknown users (and None) without ``items`` get the
            most popular items.
        n : int
            How many items.
        items : sequence of item ids, optional
            A live basket: these items count as consumed after the user's stored
            history, most recent last, for this request only (nothing is
            stored). An unknown or None user is then served from these items
            alone. Ids the model does not know are ignored and counted.
        exclude_owned : bool
            Leave out items the user has (basket included), except those the
            repeat model expects to be bought again when false.

        Returns
        -------
        dict
            The arrays ``item``, ``score`` and ``source`` (pass it to
            ``pandas.DataFrame``); with ``items`` also ``unknown_items``, the
            number of basket ids not in the catalogue.

        Raises
        ------
        ValueError
            When the model is not fitted, ``n`` is not a non-negative integer or
            ``items`` is not a list of ids.

        Examples
        --------
        >>> model = Recommender(gate_users=0).fit(
        ...     {"user": [1, 1, 2, 2, 3, 3], "item": ["a", "b", "a", "b", "b", "c"]})
        >>> found = model.recommend(None, 2, items=["c", "zz"])
        >>> found["item"].tolist(), found["unknown_items"]
        (['b', 'a'], 1)
        """
        self._check_fitted()
        _check_count(n)
        request = _live.basket(self, user, items)
        found = (self.engine_.recommend(request.owned, request.engine_row,
                                        self._ask(request.row, n, exclude_owned), self._pop_prior)
                 if len(request.owned) else ([], [], []))
        ranked, scores, sources = self._finish(request.owned, found, n, exclude_owned)
        result = {"item": self.items_.ids[np.asarray(ranked, dtype=np.int64)],
                  "score": np.asarray(scores, dtype=np.float64),
                  "source": np.asarray(sources, dtype=str)}
        if items is not None:
            result["unknown_items"] = request.unknown
        return result

    def recommend_batch(self, users: Sequence[Any], n: int = 10, *,
                        items: Optional[Sequence[Sequence[Any]]] = None,
                        exclude_owned: bool = True) -> dict[str, np.ndarray]:
        """Top ``n`` items for many users at once (in parallel in the native
        engine): a long table of the arrays ``user``, ``item``, ``score``,
        ``source`` and ``rank``. ``items`` gives one live basket (or None) per
        user, as ``recommend`` takes it; the result then adds ``unknown_items``,
        the number of basket ids not in the catalogue over all users."""
        self._check_fitted()
        _check_count(n)
        users = list(users)
        requests = _live.baskets(self, users, items)
        live = [r for r in requests if len(r.owned)]
        asked = max((self._ask(r.row, n, exclude_owned) for r in live), default=n)
        found = iter(self.engine_.recommend_batch([r.owned for r in live],
                                                  [r.engine_row for r in live], asked,
                                                  self._pop_prior))
        columns: tuple[list, ...] = ([], [], [], [], [])  # user, item, score, source, rank
        for user, request in zip(users, requests):
            ranked = self._finish(request.owned,
                                  next(found) if len(request.owned) else ([], [], []), n,
                                  exclude_owned)
            columns[0].extend([user] * len(ranked[0]))
            for column, values in zip(columns[1:4], ranked):
                column.extend(values)
            columns[4].extend(range(1, len(ranked[0]) + 1))
        result = {"user": _object_array(columns[0]),
                  "item": self.items_.ids[np.asarray(columns[1], dtype=np.int64)],
                  "score": np.asarray(columns[2], dtype=np.float64),
                  "source": np.asarray(columns[3], dtype=str),
                  "rank": np.asarray(columns[4], dtype=np.int64)}
        if items is not None:
            result["unknown_items"] = sum(r.unknown for r in requests)
        return result

    def similar_items(self, item: Any, n: int = 10) -> dict[str, np.ndarray]:
        """The items the model ranks highest for someone who has just ``item``."""
        self._check_fitted()
        _check_count(n)
        index = self.items_.get(item)
        if index is None:
            raise ValueError(f"unknown item {item!r}")
        items, scores, sources = self.engine_.recommend([index], -1, n)
        return {"item": self.items_.ids[np.asarray(items, dtype=np.int64)],
                "score": np.asarray(scores, dtype=np.float64), "source": np.asarray(sources, dtype=str)}

    def update(self, events: Any, **columns: Optional[str]) -> dict[str, int]:
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
            their columns differently from the fitted table.

        Returns
        -------
        dict
            ``events`` (applied), ``new_users`` and ``unknown_items`` (events
            ignored because their item is not in the model).

        Raises
        ------
        ValueError
            When the model is not fitted, a column is missing or of another
            length, a user id is missing or not of the model's id type, or the
            times cannot be read.

        Examples
        --------
        >>> model = Recommender(gate_users=0).fit(
        ...     {"user": [1, 1, 2, 2, 3, 3], "item": ["a", "b", "a", "b", "b", "c"]})
        >>> model.update({"user": [9, 9], "item": ["c", "new"]})
        {'events': 1, 'new_users': 1, 'unknown_items': 1}
        >>> model.recommend(9, 2)["item"].tolist()
        ['b', 'a']
        """
        self._check_fitted()
        return _live.update(self, events, columns)

    def _check_fitted(self) -> None:
        if not hasattr(self, "engine_"):
            raise ValueError("this Recommender is not fitted yet; call fit first")

    @property
    def _pop_prior(self) -> float:
        return float(self.kept_.get("pop_prior", 0.0))

    def _ask(self, row: Optional[int], n: int, exclude_owned: bool) -> int:
        # only the user's repeat-profile items can come back among the results;
        # ask for enough to drop them and still have n
        if row is None or not exclude_owned:
            return n
        return n + int(self._repeat_sizes[row])

    def _finish(self, owned_items, found, n: int, exclude_owned: bool) -> tuple[list, list, list]:
        """The engine's answer without owned items (when asked), cut to ``n`` with
        its cold-item slots kept, then filled up with popular items."""
        items, scores, sources = found
        owned = set(owned_items.tolist())
        dropped = owned if exclude_owned else set()
        cold = [k for k, source in enumerate(sources) if source == "cold_content"]
        regular = [k for k, (item, source) in enumerate(zip(items, sources))
                   if source != "cold_content" and item not in dropped]
        chosen = regular[: max(n - len(cold), 0)] + cold
        ranked = ([items[k] for k in chosen], [scores[k] for k in chosen],
                  [sources[k] for k in chosen])
        if len(chosen) < n:
            self._pad_popular(ranked, owned, n)
        return ranked

    def _pad_popular(self, ranked: tuple[list, list, list], owned: set, n: int) -> None:
        if getattr(self, "_popular", None) is None:
            self._popular = popularity_order(self.item_pop_).tolist()
        taken = set(ranked[0]) | owned
        for item in self._popular:
            if len(ranked[0]) >= n:
                break
            if item not in taken:
                ranked[0].append(item)
                ranked[1].append(float(self.item_pop_[item]))
                ranked[2].append("popularity")

    # ---------------------------------------------------------- save / load

    def save(self, path: str) -> None:
        """Write the fitted model (engine record, id maps, histories) to one file,
        atomically."""
        self._check_fitted()
        live_sections = _live.sections(self)
        user_kind, user_bytes = self.users_.to_bytes()
        item_kind, item_bytes = self.items_.to_bytes()
        meta = {"params": self.get_params(), "fit_report": self.fit_report_,
                "kept": self.kept_, "columns": self.columns_,
                "user_ids": user_kind, "item_ids": item_kind}
        write_container(path, {
            # first, so that loading can hand the file straight to the engine
            "engine": self.engine_.to_bytes(),
            "meta": json.dumps(meta, default=_json_default).encode(),
            "user_ids": user_bytes, "item_ids": item_bytes,
            "hist_indptr": self._hist_indptr.astype("<i8").tobytes(),
            "hist_items": self._hist_items.astype("<i8").tobytes(),
            "repeat_sizes": self._repeat_sizes.astype("<i8").tobytes(),
            "item_pop": self.item_pop_.astype("<f8").tobytes(),
            **live_sections,
        })

    @classmethod
    def load(cls, path: str) -> "Recommender":
        """Read a model written by ``save``. A file that is not a tarsel model or is
        damaged raises ValueError."""
        with open_container(path) as container:
            try:
                model = cls._from_sections(container)
            except (KeyError, TypeError, ValueError) as exc:
                container.verify()  # damage is reported as such
                raise ValueError(f"{path!r} is not a usable tarsel model: {exc}") from None
            container.verify()
        return model

    @classmethod
    def _from_sections(cls, container: Container) -> "Recommender":
        meta = json.loads(container.section("meta"))
        model = cls(**{k: v for k, v in meta["params"].items() if k in _PARAMS})
        model.users_ = IdMap.from_bytes(meta["user_ids"], container.section("user_ids"))
        model.items_ = IdMap.from_bytes(meta["item_ids"], container.section("item_ids"))
        model._hist_indptr = np.frombuffer(container.section("hist_indptr"), dtype="<i8")
        model._hist_items = np.frombuffer(container.section("hist_items"), dtype="<i8")
        model._repeat_sizes = np.frombuffer(container.section("repeat_sizes"), dtype="<i8")
        model.item_pop_ = np.frombuffer(container.section("item_pop"), dtype="<f8")
        model.fit_report_, model.kept_ = meta["fit_report"], meta["kept"]
        model.columns_ = meta["columns"]
        model.engine_ = _engine_from(container)
        _live.restore(model, container.places, container.section)
        return model


def _engine_from(container: Container) -> Any:
    """The engine record: read by the engine's own loader straight from the file
    when it is the first section (trailing sections are ignored by it) and the
    file was not replaced meanwhile, else decoded from the section's bytes."""
    start, _ = container.places["engine"]
    if start == 0 and container.unchanged_on_disk():
        engine = _core.EngineState.load(container.path)
        if container.unchanged_on_disk():
            return engine
    return _core.EngineState.from_bytes(container.section("engine"))


_PARAMS = tuple(p for p in Recommender.__init__.__code__.co_varnames[1:]
                if p in Recommender.__init__.__kwdefaults__)
_DEFAULTS = dict(Recommender.__init__.__kwdefaults__)
COOC_TRANSFORMS = ("raw", "cosine", "jaccard", "wilson")


def _check_params(model: Recommender) -> None:
    if model.cooc_transform not in COOC_TRANSFORMS:
        raise ValueError(f"unknown cooc_transform {model.cooc_transform!r}; expected one of "
                         f"{', '.join(COOC_TRANSFORMS)}")
    if not 0.0 <= model.min_deep_session_fraction <= 1.0:
        raise ValueError("min_deep_session_fraction must be between 0 and 1")
    for name in ("gate_k", "retrieval_budget"):
        if getattr(model, name) < 1:
            raise ValueError(f"{name} must be at least 1")
    if not model.z_grid or not model.boost_grid:
        raise ValueError("z_grid and boost_grid must not be empty")


def _repeat_sizes(parts: Any, plan: Any, n_users: int) -> np.ndarray:
    """How many repeat-profile items each user has in the served engine."""
    if not (plan.repeat and parts.repeat):
        return np.zeros(n_users, dtype=np.int64)
    return np.diff(parts.repeat_profile[0]).astype(np.int64)


def _check_count(n: Any) -> None:
    if isinstance(n, bool) or not isinstance(n, (int, np.integer)) or n < 0:
        raise ValueError(f"n must be a non-negative integer, not {n!r}")


def _json_default(value: Any) -> Any:
    if isinstance(value, np.generic):
        return value.item()
    raise TypeError(f"cannot store {type(value).__name__} in a model file")


def _object_array(values: list) -> np.ndarray:
    out = np.empty(len(values), dtype=object)
    out[:] = values
    return out


class _Steps:
    """A progress bar over the named steps of ``fit`` (tqdm when installed)."""

    def __init__(self, enabled: bool, total: int):
        self._bar, self._started = None, False
        if enabled:
            try:
                from tqdm.auto import tqdm
            except ImportError:
                return
            self._bar = tqdm(total=total, desc="fit", leave=False)

    def __enter__(self) -> "_Steps":
        return self

    def __exit__(self, *exc_info) -> None:
        if self._bar is not None:
            self._bar.update(self._bar.total - self._bar.n)
            self._bar.close()

    def start(self, what: str) -> None:
        if self._bar is not None:
            self._bar.update(int(self._started))
            self._bar.set_description(what)
        self._started = True


def _prepare(model: Recommender, interactions, item_features, *, item_col: str, **columns):
    extra = feature_item_ids(item_features, item_col) if item_features is not None else ()
    data = prepare_interactions(interactions, item_col=item_col, weighting=model.weighting,
                                session_gap_seconds=model.session_gap_seconds,
                                extra_items=extra, **columns)
    features = None
    if item_features is not None:
        features = prepare_item_features(item_features, data.items, item_col)
        sold = np.unique(data.item_idx)
        if len(extra) and not np.any(features.indptr[sold + 1] > features.indptr[sold]):
            warnings.warn("no item of item_features has interactions: are the item ids of the "
                          "two tables of the same type?", stacklevel=3)
    return data, features
