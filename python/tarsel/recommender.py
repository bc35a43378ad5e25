"""``Recommender``: fits every signal the data supports with the native core,
keeps what helps on held-out users, and serves from one native engine."""
from __future__ import annotations

import json
from dataclasses import dataclass, field
from typing import Any, Optional, Sequence

import numpy as np

from tarsel import _core
from tarsel._container import read_container, write_container
from tarsel.data import (
    IdMap,
    Interactions,
    ItemFeatures,
    feature_item_ids,
    prepare_interactions,
    prepare_item_features,
)
from tarsel.evaluation import ndcg_at_k

CHANNELS = ("trend", "user_cf", "last_item", "transition", "content")
# channels whose weight the engine can change in place, in its argument order
_OVERRIDABLE = ("trend", "user_cf", "last_item", "transition")
_DAY = 86400.0
_MAX_GATE_PASSES = 3


class Recommender:
    """A top-n recommender over user-item interactions.

    ``fit`` builds what the data supports (co-occurrence graph, EASE base for
    catalogues up to ``ease_max_items``, session and transition graphs when
    sessions are deep enough, content neighbours from item features, trend and
    user-CF channels, a repeat profile from timestamps), then measures NDCG@k on
    held-out users with each channel and the repeat module on and off and keeps
    only what helps. ``fit_report_`` holds those figures.
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
                "unavailable": sorted(n for n in _OPTIONAL_NATIVE if not hasattr(_core, n)),
            }
            holdout = _Holdout.draw(data, self.gate_users, self.random_state)
            if holdout is None:
                plan = _Plan.everything(self)
                report["gates"] = "skipped: too few users with two or more sessions or interactions"
            else:
                steps.start("fitting without the held-out sessions")
                gate_parts = _fit_parts(self, holdout.train, features, _Plan.everything(self),
                                        report)
                steps.start("gating on held-out users")
                plan = _Gate(self, gate_parts, holdout).run(report)
            steps.start("fitting on all interactions")
            parts = _fit_parts(self, data, features, plan, report)
            self.engine_ = _build_engine(parts, plan)
        self.users_, self.items_ = data.users, data.items
        self.item_pop_, self._popular = parts.item_pop, None
        self._hist_indptr, self._hist_items = data.hist_indptr, data.hist_items
        self.kept_ = plan.describe(parts)
        report["kept"] = self.kept_
        self.fit_report_ = report
        self.columns_ = {"user_col": user_col, "item_col": item_col, "time_col": time_col,
                         "weight_col": weight_col, "session_col": session_col}
        return self

    # ----------------------------------------------------------- recommend

    def recommend(self, user: Any, n: int = 10, *, exclude_owned: bool = True) -> dict[str, np.ndarray]:
        """Top ``n`` items for one user, in the caller's ids: a dict of the arrays
        ``item``, ``score`` and ``source`` (pass it to ``pandas.DataFrame``).
        Unknown users get the most popular items. With ``exclude_owned`` false,
        items the user already has may return when the repeat model expects them
        to be bought again."""
        self._check_fitted()
        _check_count(n)
        row = self.users_.get(user)
        found = (self.engine_.recommend(self._owned(row), row, self._ask(row, n, exclude_owned))
                 if row is not None else ([], [], []))
        items, scores, sources = self._finish(row, found, n, exclude_owned)
        return {"item": self.items_.ids[np.asarray(items, dtype=np.int64)],
                "score": np.asarray(scores, dtype=np.float64),
                "source": np.asarray(sources, dtype=str)}

    def recommend_batch(self, users: Sequence[Any], n: int = 10, *,
                        exclude_owned: bool = True) -> dict[str, np.ndarray]:
        """Top ``n`` items for many users at once (in parallel in the native
        engine): a long table of the arrays ``user``, ``item``, ``score``,
        ``source`` and ``rank``."""
        self._check_fitted()
        _check_count(n)
        users = list(users)
        rows = [self.users_.get(u) for u in users]
        known = [r for r in rows if r is not None]
        asked = max((self._ask(r, n, exclude_owned) for r in known), default=n)
        found = iter(self.engine_.recommend_batch([self._owned(r) for r in known], known, asked))
        columns: tuple[list, ...] = ([], [], [], [], [])  # user, item, score, source, rank
        for user, row in zip(users, rows):
            ranked = self._finish(row, next(found) if row is not None else ([], [], []), n,
                                  exclude_owned)
            columns[0].extend([user] * len(ranked[0]))
            for column, values in zip(columns[1:4], ranked):
                column.extend(values)
            columns[4].extend(range(1, len(ranked[0]) + 1))
        return {"user": _object_array(columns[0]),
                "item": self.items_.ids[np.asarray(columns[1], dtype=np.int64)],
                "score": np.asarray(columns[2], dtype=np.float64),
                "source": np.asarray(columns[3], dtype=str),
                "rank": np.asarray(columns[4], dtype=np.int64)}

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

    def _check_fitted(self) -> None:
        if not hasattr(self, "engine_"):
            raise ValueError("this Recommender is not fitted yet; call fit first")

    def _owned(self, row: int) -> np.ndarray:
        return self._hist_items[self._hist_indptr[row]:self._hist_indptr[row + 1]]

    def _ask(self, row: Optional[int], n: int, exclude_owned: bool) -> int:
        # the repeat module may bring owned items back; ask for enough to drop them
        repeat_on = self.kept_.get("repeat", False)
        if row is None or not (exclude_owned and repeat_on):
            return n
        return n + int(self._hist_indptr[row + 1] - self._hist_indptr[row])

    def _finish(self, row, found, n: int, exclude_owned: bool) -> tuple[list, list, list]:
        """The engine's answer without owned items (when asked), cut to ``n`` with
        its cold-item slots kept, then filled up with popular items."""
        items, scores, sources = found
        owned = set(self._owned(row).tolist()) if row is not None else set()
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
            self._popular = _popularity_order(self.item_pop_).tolist()
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
        user_kind, user_bytes = self.users_.to_bytes()
        item_kind, item_bytes = self.items_.to_bytes()
        meta = {"params": self.get_params(), "fit_report": self.fit_report_,
                "kept": self.kept_, "columns": self.columns_,
                "user_ids": user_kind, "item_ids": item_kind}
        write_container(path, {
            "meta": json.dumps(meta, default=_json_default).encode(),
            "user_ids": user_bytes, "item_ids": item_bytes,
            "hist_indptr": self._hist_indptr.astype("<i8").tobytes(),
            "hist_items": self._hist_items.astype("<i8").tobytes(),
            "item_pop": self.item_pop_.astype("<f8").tobytes(),
            "engine": self.engine_.to_bytes(),
        })

    @classmethod
    def load(cls, path: str) -> "Recommender":
        """Read a model written by ``save``. A file that is not a tarsel model or is
        damaged raises ValueError."""
        sections = read_container(path)
        try:
            meta = json.loads(sections["meta"])
            params = {k: v for k, v in meta["params"].items() if k in _PARAMS}
            model = cls(**params)
            model.users_ = IdMap.from_bytes(meta["user_ids"], sections["user_ids"])
            model.items_ = IdMap.from_bytes(meta["item_ids"], sections["item_ids"])
            model._hist_indptr = np.frombuffer(sections["hist_indptr"], dtype="<i8")
            model._hist_items = np.frombuffer(sections["hist_items"], dtype="<i8")
            model.item_pop_ = np.frombuffer(sections["item_pop"], dtype="<f8")
            model.engine_ = _core.EngineState.from_bytes(sections["engine"])
        except (KeyError, TypeError, ValueError) as exc:
            raise ValueError(f"{path!r} is not a usable tarsel model: {exc}") from None
        model.fit_report_, model.kept_, model.columns_ = meta["fit_report"], meta["kept"], meta["columns"]
        return model


_PARAMS = tuple(p for p in Recommender.__init__.__code__.co_varnames[1:]
                if p in Recommender.__init__.__kwdefaults__)
_DEFAULTS = dict(Recommender.__init__.__kwdefaults__)
_OPTIONAL_NATIVE = ("fit_ease_py", "cooc_transform", "deep_session_fraction",
                    "build_session_cooccurrence", "build_directional_cooc",
                    "symmetrize_via_transpose", "metadata_knn", "fit_channels",
                    "fit_repeat_profile", "calibrate_layered_py", "cooccurrence_signal")


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


def _popularity_order(item_pop: np.ndarray) -> np.ndarray:
    return np.lexsort((np.arange(len(item_pop)), -item_pop))


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
    features = (prepare_item_features(item_features, data.items, item_col)
                if item_features is not None else None)
    return data, features


def _native(name: str):
    """A core function that this build may lack; None makes its step skip."""
    return getattr(_core, name, None)


# ------------------------------------------------------------ fit parts


@dataclass
class _Plan:
    """What to build and serve: channels, boost layers, the repeat module and the
    boost gate."""

    channels: set[str]
    layers: list[str]
    repeat: bool
    z_threshold: float = 2.5
    boost_multiplier: float = 3.0

    @classmethod
    def everything(cls, model: Recommender) -> "_Plan":
        return cls(set(CHANNELS), ["session", "adjacency", "content_neighbours"], model.repeat)

    def describe(self, parts: "_Parts") -> dict[str, Any]:
        """What the engine built from ``parts`` with this plan serves."""
        return {"channels": sorted(self.channels & parts.channels),
                "boost_layers": [n for n in self.layers if n in parts.layers],
                "repeat": self.repeat and parts.repeat, "z_threshold": self.z_threshold,
                "boost_multiplier": self.boost_multiplier}


@dataclass
class _Parts:
    """Engine arrays and settings built from one interaction set, the candidate
    boost layers by name, and which channels have data."""

    arrays: dict[str, Any]
    config: dict[str, Any]
    layers: dict[str, tuple[np.ndarray, np.ndarray, np.ndarray]] = field(default_factory=dict)
    channels: set[str] = field(default_factory=set)
    repeat: bool = False
    item_pop: np.ndarray = None  # type: ignore[assignment]
    repeat_profile: Optional[list[np.ndarray]] = None
    alphas: dict[str, float] = field(default_factory=dict)


def _fit_parts(model: Recommender, data: Interactions, features: Optional[ItemFeatures],
               plan: _Plan, report: dict[str, Any]) -> _Parts:
    parts = _Parts(arrays={}, config={
        "n_items": data.n_items, "n_users": data.n_users,
        "retrieval_budget": model.retrieval_budget, "cold_slots": model.cold_slots,
        "transition_last_k": model.transition_last_k,
        "transition_decay": model.transition_decay, "user_cf_k": model.user_cf_k,
    }, alphas={c: float(getattr(model, f"{c}_alpha")) for c in CHANNELS})
    _fit_base(model, data, parts, report)
    if data.session_idx is not None:
        _fit_session_layer(model, data, parts, plan, report)
        _fit_transitions(data, parts, plan)
    else:
        report["session_layer"] = "not built: no sessions (give session_col, or time_col)"
    if features is not None and features.n_features:
        _fit_content(model, features, parts, plan)
    _fit_channels(model, data, parts, plan)
    if model.repeat and plan.repeat and data.timestamps is not None:
        _fit_repeat(model, data, parts)
    return parts


def _fit_base(model: Recommender, data: Interactions, parts: _Parts, report) -> None:
    cooc = _core.build_cooccurrence(
        data.pair_user, data.pair_item, data.pair_weight, data.n_users, data.n_items,
        kernel=model.cooc_kernel, half_life_days=model.half_life_days,
        timestamps=data.pair_time if model.cooc_kernel != "pure_count" else None)
    users_per_item = np.bincount(data.pair_item, minlength=data.n_items).astype(np.float64)
    cooc = _transformed(model.cooc_transform, cooc, users_per_item)
    parts.arrays.update(cooc_data=cooc[0], cooc_indices=cooc[1], cooc_indptr=cooc[2])
    use_ease = data.n_items <= model.ease_max_items and _native("fit_ease_py") is not None
    if use_ease:
        parts.arrays["ease_b"] = _core.fit_ease_py(
            data.pair_user, data.pair_item, data.n_users, data.n_items,
            lambda_=model.ease_lambda, weights=data.pair_weight)
    parts.config["base_is_ease"] = use_ease
    report["base"] = "ease" if use_ease else "cooc"


def _transformed(transform: str, csr, counts: np.ndarray):
    data, indices, indptr = csr
    if transform == "raw" or _native("cooc_transform") is None:
        return data, indices, indptr
    return _core.cooc_transform(data, indices, indptr, counts, transform), indices, indptr


def _csr_arrays(lists, value_dtype, indptr_dtype=np.int32):
    data, indices, indptr = lists
    return (np.asarray(data, dtype=value_dtype), np.asarray(indices, dtype=np.int32),
            np.asarray(indptr, dtype=indptr_dtype))


def _fit_session_layer(model: Recommender, data: Interactions, parts: _Parts, plan: _Plan,
                       report) -> None:
    """The session co-occurrence boost layer, when enough sessions hold two or
    more items: built mostly from one-item sessions it would only be a sparse,
    noisy copy of the user-level graph."""
    if _native("deep_session_fraction") is None or _native("build_session_cooccurrence") is None:
        return
    fraction = float(_core.deep_session_fraction(data.session_idx, data.item_idx))
    report["deep_session_fraction"] = round(fraction, 4)
    if fraction < model.min_deep_session_fraction:
        report["session_layer"] = (f"not built: {fraction:.2f} of the sessions hold two or more "
                                   f"items (needs {model.min_deep_session_fraction:g})")
        return
    report["session_layer"] = "built"
    if "session" not in plan.layers:
        return
    # one entry per (session, item): a repeat inside a basket is not a second pairing
    _, first = np.unique(data.session_idx * data.n_items + data.item_idx, return_index=True)
    graph = _core.build_session_cooccurrence(
        data.session_idx[first], data.item_idx[first], np.ones(len(first), dtype=np.float32),
        data.n_sessions, data.n_items)
    parts.layers["session"] = _csr_arrays(graph, np.float32)


def _fit_transitions(data: Interactions, parts: _Parts, plan: _Plan) -> None:
    """Which item follows which inside a session: the transition channel, and its
    undirected form as a boost layer."""
    wanted = "transition" in plan.channels or "adjacency" in plan.layers
    if not wanted or _native("build_directional_cooc") is None:
        return
    ones = np.ones(len(data.item_idx), dtype=np.float32)
    directed = _core.build_directional_cooc(data.session_idx, data.item_idx, ones, data.n_sessions,
                                            data.n_items, timestamps=data.timestamps)
    if not len(directed[0]):
        return
    if "transition" in plan.channels:
        trans = _csr_arrays(directed, np.float64, np.int64)
        parts.arrays.update(trans_data=trans[0], trans_indices=trans[1], trans_indptr=trans[2])
        parts.channels.add("transition")
    if "adjacency" in plan.layers and _native("symmetrize_via_transpose"):
        d = _csr_arrays(directed, np.float32)
        parts.layers["adjacency"] = _csr_arrays(_core.symmetrize_via_transpose(*d), np.float32)


def _fit_content(model: Recommender, features: ItemFeatures, parts: _Parts, plan: _Plan) -> None:
    parts.arrays.update(content_data=features.data, content_indices=features.indices,
                        content_indptr=features.indptr)
    parts.config["content_nfeat"] = features.n_features
    parts.channels.add("content")
    if "content_neighbours" in plan.layers and _native("metadata_knn"):
        rows, cols, values = _core.metadata_knn(
            features.data, features.indices, features.indptr, features.n_features,
            top_k=model.content_top_k, max_df=model.content_max_df)
        parts.layers["content_neighbours"] = _coo_to_csr(
            np.asarray(rows, dtype=np.int64), np.asarray(cols, dtype=np.int64),
            np.asarray(values), len(features.indptr) - 1)


def _coo_to_csr(rows, cols, values, n_rows):
    order = np.lexsort((cols, rows))
    indptr = np.zeros(n_rows + 1, dtype=np.int32)
    np.cumsum(np.bincount(rows, minlength=n_rows), out=indptr[1:])
    return (values[order].astype(np.float32), cols[order].astype(np.int32), indptr)


def _fit_channels(model: Recommender, data: Interactions, parts: _Parts, plan: _Plan) -> None:
    counts = np.bincount(data.item_idx, minlength=data.n_items).astype(np.float64)
    parts.item_pop = counts
    parts.arrays["item_pop"] = counts
    # items with little or no history get the content channel and the cold slots
    parts.arrays["content_coldness"] = 1.0 / (1.0 + counts)
    parts.arrays.update(uri_data=data.hist_items, uri_indptr=data.hist_indptr)
    if _native("fit_channels") is None:
        return
    want_trend = "trend" in plan.channels and data.timestamps is not None
    want_cf = "user_cf" in plan.channels
    counts, trend, uu_data, uu_indptr, uu_deg = _core.fit_channels(
        data.user_idx, data.item_idx, data.timestamps, data.n_users, data.n_items,
        data.n_items, model.trend_window_fraction, want_trend, want_cf)
    if len(trend):
        parts.arrays["trend_z"] = np.asarray(trend, dtype=np.float64)
        parts.channels.add("trend")
    if want_cf:
        parts.arrays.update(uu_data=np.asarray(uu_data, dtype=np.int64),
                            uu_indptr=np.asarray(uu_indptr, dtype=np.int64),
                            uu_deg=np.asarray(uu_deg, dtype=np.float64))
        parts.channels.add("user_cf")
    if parts.config["base_is_ease"]:
        parts.channels.add("last_item")


_PROFILE_KEYS = ("repeat_indptr", "repeat_items", "repeat_counts", "repeat_last_ts",
                 "repeat_periods", "repeat_quality")
_PROFILE_DTYPES = (np.int64, np.int64, np.float64, np.float64, np.float64, np.float64)


def _fit_repeat(model: Recommender, data: Interactions, parts: _Parts) -> None:
    if _native("fit_repeat_profile") is None:
        return
    lists = _core.fit_repeat_profile(data.user_idx, data.item_idx, data.timestamps, data.n_users,
                                     min_count=model.repeat_min_count)
    profile = [np.asarray(v, dtype=t) for v, t in zip(lists, _PROFILE_DTYPES)]
    if not len(profile[1]):
        return
    parts.repeat_profile = profile
    parts.arrays.update(zip(_PROFILE_KEYS, profile))
    parts.config.update(repeat_now_ts=float(data.timestamps.max()),
                        repeat_refractory=model.repeat_refractory_days * _DAY,
                        repeat_freq_alpha=model.repeat_freq_alpha)
    parts.repeat = True


def _build_engine(parts: _Parts, plan: _Plan, layers: Optional[list[str]] = None) -> Any:
    arrays = dict(parts.arrays)
    arrays["boost"] = [parts.layers[name] for name in (plan.layers if layers is None else layers)
                       if name in parts.layers]
    config = dict(parts.config)
    config.update(_plan_alphas(parts, plan))
    config.update(repeat_active=plan.repeat and parts.repeat, z_threshold=plan.z_threshold,
                  boost_multiplier=plan.boost_multiplier)
    return _core.build_engine(arrays, config)


def _plan_alphas(parts: _Parts, plan: _Plan) -> dict[str, float]:
    on = plan.channels & parts.channels
    return {f"{c}_alpha": parts.alphas[c] if c in on else 0.0 for c in CHANNELS}


# ----------------------------------------------------------------- gates


@dataclass
class _Holdout:
    """Each sampled user's last session (or last interaction) held out, the
    remaining events as training data, and the held-out items per user."""

    train: Interactions
    rows: np.ndarray  # held-out users' rows
    relevant: list[set[int]]
    times: Optional[np.ndarray]  # time of each held-out unit (for the repeat profile)

    @classmethod
    def draw(cls, data: Interactions, n_users: int, seed: int) -> Optional["_Holdout"]:
        unit = data.session_idx if data.session_idx is not None else np.arange(len(data.user_idx))
        # events are in time order, so a user's last unit is the unit of its last event
        last_event = np.zeros(data.n_users, dtype=np.int64)
        np.maximum.at(last_event, data.user_idx, np.arange(len(data.user_idx)))
        last_unit = unit[last_event]
        units_per_user = np.bincount(data.user_idx[_first_of(unit)], minlength=data.n_users)
        eligible = np.flatnonzero(units_per_user >= 2)
        if len(eligible) < 20:
            return None
        rng = np.random.default_rng(seed)
        rows = np.sort(rng.choice(eligible, size=min(n_users, len(eligible)), replace=False))
        chosen = np.zeros(data.n_users, dtype=bool)
        chosen[rows] = True
        held = chosen[data.user_idx] & (unit == last_unit[data.user_idx])
        relevant: dict[int, set[int]] = {r: set() for r in rows.tolist()}
        for u, i in zip(data.user_idx[held].tolist(), data.item_idx[held].tolist()):
            relevant[u].add(i)
        times = None
        if data.timestamps is not None:
            times = np.full(data.n_users, np.inf)
            np.minimum.at(times, data.user_idx[held], data.timestamps[held])
            times = times[rows]
        return cls(data.select_events(~held), rows, [relevant[r] for r in rows.tolist()], times)


def _first_of(unit: np.ndarray) -> np.ndarray:
    return np.unique(unit, return_index=True)[1]


class _Gate:
    """Switches each channel, the repeat module and each boost layer off in turn
    on an engine fitted without the held-out data, keeping what raises NDCG@k."""

    def __init__(self, model: Recommender, parts: _Parts, holdout: _Holdout):
        self.model, self.parts, self.holdout = model, parts, holdout
        self.k = model.gate_k
        self.owned = [holdout.train.history(r) for r in holdout.rows.tolist()]
        if parts.repeat:
            self._align_repeat_times()

    def run(self, report: dict[str, Any]) -> _Plan:
        plan = _Plan(set(self.parts.channels), [], self.parts.repeat)
        gates: dict[str, Any] = {}
        # A part judged helpful beside others can hurt once they are gone, so
        # passes repeat until one drops nothing.
        for _ in range(_MAX_GATE_PASSES):
            before = (set(plan.channels), plan.repeat)
            self._gate_pass(plan, gates)
            if (plan.channels, plan.repeat) == before:
                break
        self._calibrate_boost(plan, gates)
        engine = _build_engine(self.parts, plan)
        report["gates"] = gates
        report["heldout"] = {"users": len(self.holdout.rows), "k": self.k,
                             "ndcg": round(self.ndcg(engine), 5),
                             "popularity_ndcg": round(self._popularity_ndcg(), 5)}
        return plan

    def _gate_pass(self, plan: _Plan, gates: dict) -> None:
        engine = _build_engine(self.parts, plan)
        current = self.ndcg(engine)
        if plan.repeat:
            current = self._gate_repeat(engine, plan, current, gates)
        for channel in [c for c in _OVERRIDABLE if c in plan.channels]:
            current = self._gate_channel(engine, plan, channel, current, gates)
        if "content" in plan.channels:
            self._gate_content(plan, current, gates)

    def ndcg(self, engine) -> float:
        found = engine.recommend_batch(self.owned, self.holdout.rows.tolist(), self.k)
        return float(np.mean([ndcg_at_k(items, rel, self.k)
                              for (items, _, _), rel in zip(found, self.holdout.relevant)]))

    def _popularity_ndcg(self) -> float:
        top = _popularity_order(self.parts.item_pop)[: self.k].tolist()
        return float(np.mean([ndcg_at_k(top, rel, self.k) for rel in self.holdout.relevant]))

    def _decide(self, name: str, on: float, off: float, gates: dict) -> bool:
        keep = on - off > self.model.min_gain
        gates[name] = {"on": round(on, 5), "off": round(off, 5), "kept": keep}
        return keep

    def _gate_repeat(self, engine, plan: _Plan, current: float, gates: dict) -> float:
        engine.set_repeat_active(False)
        off = self.ndcg(engine)
        plan.repeat = self._decide("repeat", current, off, gates)
        engine.set_repeat_active(plan.repeat)
        return current if plan.repeat else off

    def _gate_channel(self, engine, plan: _Plan, channel: str, current: float, gates) -> float:
        trial = _Plan(plan.channels - {channel}, plan.layers, plan.repeat)
        engine.set_channel_alphas(*self._overridable_alphas(trial))
        off = self.ndcg(engine)
        if self._decide(channel, current, off, gates):
            engine.set_channel_alphas(*self._overridable_alphas(plan))
            return current
        plan.channels.discard(channel)
        return off

    def _gate_content(self, plan: _Plan, current: float, gates) -> float:
        # the content weight is not an in-place override: compare two engines
        off = self.ndcg(_build_engine(self.parts, _Plan(plan.channels - {"content"}, [],
                                                        plan.repeat)))
        if self._decide("content", current, off, gates):
            return current
        plan.channels.discard("content")
        return off

    def _overridable_alphas(self, plan: _Plan) -> list[float]:
        alphas = _plan_alphas(self.parts, plan)
        return [alphas[f"{c}_alpha"] for c in _OVERRIDABLE]

    def _calibrate_boost(self, plan: _Plan, gates: dict) -> None:
        names = [n for n in ("session", "adjacency", "content_neighbours") if n in self.parts.layers]
        if not names or _native("calibrate_layered_py") is None:
            return
        slices = self._user_slices(plan)
        if not slices:
            return
        unboosted = (plan.z_threshold, 0.0, float(np.mean(
            [_core.ndcg_at_k_py(base, rel, self.k) for base, _, rel in slices])))
        best = self._calibrate(slices, names, unboosted)
        for name in list(names):
            trial = [n for n in names if n != name]
            without = self._calibrate(slices, trial, unboosted) if trial else unboosted
            if not self._decide(f"boost:{name}", best[2], without[2], gates):
                names, best = trial, without
        if names and best[1] > 0:
            plan.layers, plan.z_threshold, plan.boost_multiplier = names, best[0], best[1]
        gates["boost"] = {"layers": plan.layers, "z_threshold": plan.z_threshold,
                          "boost_multiplier": plan.boost_multiplier}

    def _calibrate(self, slices, names: list[str], unboosted: tuple) -> tuple:
        """(z, boost, ndcg) of the best gate for these layers; the unboosted figures
        when layering does not lift NDCG over the base scores."""
        users = [(base, [(layers[n], "nonzero") for n in names], rel)
                 for base, layers, rel in slices]
        _, (z, boost, ndcg, _) = _core.calibrate_layered_py(
            users, list(self.model.z_grid), list(self.model.boost_grid), k=self.k,
            min_lift_over_cooc_only=self.model.min_gain + 1e-12)
        return (z, boost, ndcg) if boost > 0 else unboosted

    def _user_slices(self, plan: _Plan):
        engine = _build_engine(self.parts, plan, layers=[])
        found = engine.recommend_batch(self.owned, self.holdout.rows.tolist(),
                                       self.model.retrieval_budget)
        slices = []
        for (items, scores, _), owned, rel in zip(found, self.owned, self.holdout.relevant):
            if not items:
                continue
            layers = {n: _core.cooccurrence_signal(*csr, owned, items)
                      for n, csr in self.parts.layers.items()}
            relevance = np.asarray([1.0 if i in rel else 0.0 for i in items])
            slices.append((np.asarray(scores, dtype=np.float64), layers, relevance))
        return slices

    def _align_repeat_times(self) -> None:
        # Each held-out user is judged at the time of its held-out session, but the
        # engine has one "now": shift the user's last-consumption times so that
        # now minus last equals the real gap before that session.
        indptr, items, counts, last_ts, periods, quality = self.parts.repeat_profile
        now = float(self.parts.config["repeat_now_ts"])
        last_ts = last_ts.copy()
        for row, when in zip(self.holdout.rows.tolist(), self.holdout.times.tolist()):
            last_ts[indptr[row]:indptr[row + 1]] += now - when
        self.parts.arrays["repeat_last_ts"] = last_ts
