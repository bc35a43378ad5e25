"""Building the engine's arrays and settings from prepared interactions: each
signal the data supports, and the engine for a chosen plan."""
from __future__ import annotations

from dataclasses import dataclass, field
from typing import TYPE_CHECKING, Any, Optional

import numpy as np

from tarsel import _core
from tarsel.data import Interactions, ItemFeatures

if TYPE_CHECKING:
    from tarsel.recommender import Recommender

CHANNELS = ("trend", "user_cf", "last_item", "transition", "content")
_DAY = 86400.0

# core functions whose step is skipped (and reported) when a build lacks them
OPTIONAL_NATIVE = ("fit_ease_py", "cooc_transform", "deep_session_fraction",
                   "build_session_cooccurrence", "build_directional_cooc",
                   "symmetrize_via_transpose", "metadata_knn", "fit_channels",
                   "fit_repeat_profile", "calibrate_layered_py", "cooccurrence_signal")


def native(name: str):
    """A core function that this build may lack; None makes its step skip."""
    return getattr(_core, name, None)


def popularity_order(item_pop: np.ndarray) -> np.ndarray:
    return np.lexsort((np.arange(len(item_pop)), -item_pop))


@dataclass
class Plan:
    """What to build and serve: channels, boost layers, the repeat module and the
    boost gate."""

    channels: set[str]
    layers: list[str]
    repeat: bool
    z_threshold: float = 2.5
    boost_multiplier: float = 3.0
    pop_prior: float = 0.0

    @classmethod
    def everything(cls, model: Recommender) -> "Plan":
        return cls(set(CHANNELS), ["session", "adjacency", "content_neighbours"], model.repeat)

    def describe(self, parts: "Parts") -> dict[str, Any]:
        """What the engine built from ``parts`` with this plan serves."""
        return {"channels": sorted(self.channels & parts.channels),
                "boost_layers": [n for n in self.layers if n in parts.layers],
                "repeat": self.repeat and parts.repeat, "z_threshold": self.z_threshold,
                "boost_multiplier": self.boost_multiplier, "pop_prior": self.pop_prior}


@dataclass
class Parts:
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


@dataclass
class UserSums:
    """The per-user steps of a fit, computed over disjoint groups of users and
    summed (a distributed fit builds them). ``fit_parts`` uses them in place of
    the same results computed from all events at once, and then reads from its
    ``data`` only the sizes, the histories and whether sessions and times exist.
    """

    cooc: tuple  # raw co-occurrence CSR of the configured kernel (float32, int32, int32)
    users_per_item: np.ndarray  # float64
    gram: Any  # () -> dense float64 Gram matrix X^T X for EASE
    deep_session_fraction: float
    session: Optional[tuple]  # session co-occurrence CSR
    directed: Optional[tuple]  # transition CSR
    item_counts: np.ndarray  # float64 events per item
    trend_z: np.ndarray  # float64, empty when undefined
    user_cf: tuple  # (uu_data int64, uu_indptr int64, uu_deg float64)
    repeat: Optional[list]  # the repeat-profile lists
    now_ts: float


def fit_parts(model: Recommender, data: Interactions, features: Optional[ItemFeatures],
               plan: Plan, report: dict[str, Any], sums: Optional[UserSums] = None) -> Parts:
    parts = Parts(arrays={}, config={
        "n_items": data.n_items, "n_users": data.n_users,
        "retrieval_budget": model.retrieval_budget, "cold_slots": model.cold_slots,
        "transition_last_k": model.transition_last_k,
        "transition_decay": model.transition_decay, "user_cf_k": model.user_cf_k,
    }, alphas={c: float(getattr(model, f"{c}_alpha")) for c in CHANNELS})
    _fit_base(model, data, parts, report, sums)
    if data.session_idx is not None:
        _fit_session_layer(model, data, parts, plan, report, sums)
        _fit_transitions(data, parts, plan, sums)
    else:
        report["session_layer"] = "not built: no sessions (give session_col, or time_col)"
    if features is not None and features.n_features:
        _fit_content(model, features, parts, plan)
    _fit_channels(model, data, parts, plan, sums)
    if model.repeat and plan.repeat and data.timestamps is not None:
        _fit_repeat(model, data, parts, sums)
    return parts


def _fit_base(model: Recommender, data: Interactions, parts: Parts, report, sums) -> None:
    if sums is None:
        cooc = _core.build_cooccurrence(
            data.pair_user, data.pair_item, data.pair_weight, data.n_users, data.n_items,
            kernel=model.cooc_kernel, half_life_days=model.half_life_days,
            timestamps=data.pair_time if model.cooc_kernel != "pure_count" else None)
        users_per_item = np.bincount(data.pair_item, minlength=data.n_items).astype(np.float64)
    else:
        cooc, users_per_item = sums.cooc, sums.users_per_item
    cooc = _transformed(model.cooc_transform, cooc, users_per_item)
    parts.arrays.update(cooc_data=cooc[0], cooc_indices=cooc[1], cooc_indptr=cooc[2])
    use_ease = data.n_items <= model.ease_max_items and native("fit_ease_py") is not None
    if use_ease and sums is not None:
        parts.arrays["ease_b"] = _core.fit_ease_gram_py(sums.gram(), lambda_=model.ease_lambda)
    elif use_ease:
        parts.arrays["ease_b"] = _core.fit_ease_py(
            data.pair_user, data.pair_item, data.n_users, data.n_items,
            lambda_=model.ease_lambda, weights=data.pair_weight)
    parts.config["base_is_ease"] = use_ease
    report["base"] = "ease" if use_ease else "cooc"


def _transformed(transform: str, csr, counts: np.ndarray):
    data, indices, indptr = csr
    if transform == "raw" or native("cooc_transform") is None:
        return data, indices, indptr
    return _core.cooc_transform(data, indices, indptr, counts, transform), indices, indptr


def _csr_arrays(lists, value_dtype, indptr_dtype=np.int32):
    data, indices, indptr = lists
    return (np.asarray(data, dtype=value_dtype), np.asarray(indices, dtype=np.int32),
            np.asarray(indptr, dtype=indptr_dtype))


def _fit_session_layer(model: Recommender, data: Interactions, parts: Parts, plan: Plan,
                       report, sums) -> None:
    """The session co-occurrence boost layer, when enough sessions hold two or
    more items: built mostly from one-item sessions it would only be a sparse,
    noisy copy of the user-level graph."""
    if native("deep_session_fraction") is None or native("build_session_cooccurrence") is None:
        return
    fraction = (sums.deep_session_fraction if sums is not None else
                float(_core.deep_session_fraction(data.session_idx, data.item_idx)))
    report["deep_session_fraction"] = round(fraction, 4)
    if fraction < model.min_deep_session_fraction:
        report["session_layer"] = (f"not built: {fraction:.2f} of the sessions hold two or more "
                                   f"items (needs {model.min_deep_session_fraction:g})")
        return
    report["session_layer"] = "built"
    if "session" not in plan.layers:
        return
    if sums is not None:
        parts.layers["session"] = _csr_arrays(sums.session, np.float32)
        return
    # one entry per (session, item): a repeat inside a basket is not a second pairing
    _, first = np.unique(data.session_idx * data.n_items + data.item_idx, return_index=True)
    graph = _core.build_session_cooccurrence(
        data.session_idx[first], data.item_idx[first], np.ones(len(first), dtype=np.float32),
        data.n_sessions, data.n_items)
    parts.layers["session"] = _csr_arrays(graph, np.float32)


def _fit_transitions(data: Interactions, parts: Parts, plan: Plan, sums) -> None:
    """Which item follows which inside a session: the transition channel, and its
    undirected form as a boost layer."""
    wanted = "transition" in plan.channels or "adjacency" in plan.layers
    if not wanted or native("build_directional_cooc") is None:
        return
    if sums is not None:
        directed = sums.directed
    else:
        ones = np.ones(len(data.item_idx), dtype=np.float32)
        directed = _core.build_directional_cooc(data.session_idx, data.item_idx, ones,
                                                data.n_sessions, data.n_items,
                                                timestamps=data.timestamps)
    if not len(directed[0]):
        return
    if "transition" in plan.channels:
        trans = _csr_arrays(directed, np.float64, np.int64)
        parts.arrays.update(trans_data=trans[0], trans_indices=trans[1], trans_indptr=trans[2])
        parts.channels.add("transition")
    if "adjacency" in plan.layers and native("symmetrize_via_transpose"):
        d = _csr_arrays(directed, np.float32)
        parts.layers["adjacency"] = _csr_arrays(_core.symmetrize_via_transpose(*d), np.float32)


def _fit_content(model: Recommender, features: ItemFeatures, parts: Parts, plan: Plan) -> None:
    parts.arrays.update(content_data=features.data, content_indices=features.indices,
                        content_indptr=features.indptr)
    parts.config["content_nfeat"] = features.n_features
    parts.channels.add("content")
    if "content_neighbours" in plan.layers and native("metadata_knn"):
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


def _fit_channels(model: Recommender, data: Interactions, parts: Parts, plan: Plan,
                  sums) -> None:
    counts = (sums.item_counts if sums is not None else
              np.bincount(data.item_idx, minlength=data.n_items).astype(np.float64))
    parts.item_pop = counts
    parts.arrays["item_pop"] = counts
    # items with little or no history get the content channel and the cold slots
    parts.arrays["content_coldness"] = 1.0 / (1.0 + counts)
    parts.arrays.update(uri_data=data.hist_items, uri_indptr=data.hist_indptr)
    if native("fit_channels") is None:
        return
    want_trend = "trend" in plan.channels and data.timestamps is not None
    want_cf = "user_cf" in plan.channels
    if sums is not None:
        trend = sums.trend_z if want_trend else ()
        uu_data, uu_indptr, uu_deg = sums.user_cf
    else:
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


def _fit_repeat(model: Recommender, data: Interactions, parts: Parts, sums) -> None:
    if native("fit_repeat_profile") is None:
        return
    lists = (sums.repeat if sums is not None else
             _core.fit_repeat_profile(data.user_idx, data.item_idx, data.timestamps,
                                      data.n_users, min_count=model.repeat_min_count))
    profile = [np.asarray(v, dtype=t) for v, t in zip(lists, _PROFILE_DTYPES)]
    if not len(profile[1]):
        return
    parts.repeat_profile = profile
    parts.arrays.update(zip(_PROFILE_KEYS, profile))
    now_ts = sums.now_ts if sums is not None else float(data.timestamps.max())
    parts.config.update(repeat_now_ts=now_ts,
                        repeat_refractory=model.repeat_refractory_days * _DAY,
                        repeat_freq_alpha=model.repeat_freq_alpha)
    parts.repeat = True


def engine_for(parts: Parts, plan: Plan, layers: Optional[list[str]] = None) -> Any:
    arrays = dict(parts.arrays)
    arrays["boost"] = [parts.layers[name] for name in (plan.layers if layers is None else layers)
                       if name in parts.layers]
    config = dict(parts.config)
    config.update(plan_alphas(parts, plan))
    config.update(repeat_active=plan.repeat and parts.repeat, z_threshold=plan.z_threshold,
                  boost_multiplier=plan.boost_multiplier)
    return _core.build_engine(arrays, config)


def plan_alphas(parts: Parts, plan: Plan) -> dict[str, float]:
    on = plan.channels & parts.channels
    return {f"{c}_alpha": parts.alphas[c] if c in on else 0.0 for c in CHANNELS}
