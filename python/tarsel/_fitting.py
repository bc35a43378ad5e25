"""Building the engine's arrays and settings from prepared interactions: each
signal the data supports, and the engine for a chosen plan."""

from __future__ import annotations

import ctypes
import math
import sys
from collections.abc import Callable
from dataclasses import dataclass, field
from typing import Any, Protocol, cast

import numpy as np

from tarsel import _core
from tarsel._settings import Settings
from tarsel.data import Interactions, ItemFeatures

CHANNELS = ("trend", "user_cf", "last_item", "transition", "content")

# The engine record's fields from the native table, name -> (kind, dtype): the
# entries of build_engine's arrays and config are named and typed by it.
ENGINE_FIELDS = {name: (kind, dtype) for name, kind, dtype in _core.engine_fields()}
ARRAY_DTYPES = {n: np.dtype(d) for n, (kind, d) in ENGINE_FIELDS.items() if kind == "array"}
# the per-user repeat profile, in the order the native profile functions use
PROFILE_KEYS = tuple(n for n in ARRAY_DTYPES if n.startswith("repeat_"))


def engine_arrays(**arrays: Any) -> dict[str, np.ndarray]:
    """The given record arrays, each in its field's dtype (not copied when it
    already is); a name the record lacks raises KeyError."""
    return {name: np.asarray(a, dtype=ARRAY_DTYPES[name]) for name, a in arrays.items()}


_DAY = 86400.0

# The EASE base solves a dense items x items system: three n x n float64 blocks
# while it runs, and an n x n float32 block in the model. Without an
# ease_max_items setting, EASE is a candidate base while the solve stays within
# this memory (about 9,400 items: a MovieLens-sized catalogue, a 340 MiB block in
# the model); the gates then keep it only where held-out users show it beats
# the co-occurrence graph.
EASE_BYTES = 2 << 30
# Tuning EASE's regularisation on the held-out users also holds the Gram matrix
# (one more float64 block) and the best weights so far (a float32 block): 36
# bytes per item pair, so the gates tune it within the same memory up to about
# 7,700 items and solve larger catalogues with the setting's lambda only.
EASE_TUNING_BYTES_PER_PAIR = 36


def ease_item_limit(settings: Any) -> tuple[int, str]:
    """The largest catalogue EASE is a candidate base for, and why."""
    if settings.ease_max_items is not None:
        return int(settings.ease_max_items), "the ease_max_items setting"
    return int((EASE_BYTES / 24) ** 0.5), f"at most {EASE_BYTES / 2**30:g} GiB while solving"


def ease_tuning_limit() -> int:
    """The largest catalogue whose EASE lambda the gates tune."""
    return int((EASE_BYTES / EASE_TUNING_BYTES_PER_PAIR) ** 0.5)


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
    exclude_owned: bool | None = None  # the owned-items rule; None: the setting decides
    repeat_min_count: int | None = None  # None: the setting
    base: str | None = None  # "cooc" when the gates chose the graph over EASE
    ease_lambda: float | None = None  # EASE's regularisation; None: the setting
    repeat_freq_alpha: float | None = None  # None: the setting
    # the repeat profile's timing, as ``repeat_timing`` names it
    repeat_periods: str = "fitted"
    serving: dict[str, Any] = field(default_factory=dict)  # per mode: model or a baseline

    @classmethod
    def everything(cls, settings: Settings) -> Plan:
        return cls(
            set(CHANNELS),
            ["session", "adjacency", "content_neighbours"],
            settings.repeat,
            exclude_owned=settings.exclude_owned,
        )

    def describe(self, parts: Parts) -> dict[str, Any]:
        """What the engine built from ``parts`` with this plan serves."""
        kept = {
            "channels": sorted(self.channels & parts.channels),
            "boost_layers": [n for n in self.layers if n in parts.layers],
            "repeat": self.repeat and parts.repeat,
            "z_threshold": self.z_threshold,
            "boost_multiplier": self.boost_multiplier,
            "pop_prior": self.pop_prior,
            "exclude_owned": True if self.exclude_owned is None else self.exclude_owned,
        }
        if parts.config.get("base_is_ease") and self.ease_lambda is not None:
            kept["ease_lambda"] = self.ease_lambda
        if self.repeat_min_count is not None:
            kept["repeat_min_count"] = self.repeat_min_count
        if self.repeat_freq_alpha is not None:
            kept["repeat_freq_alpha"] = self.repeat_freq_alpha
        if self.repeat_periods != "fitted":
            kept["repeat_periods"] = self.repeat_periods
        if self.serving:
            kept["serving"] = self.serving
        return kept


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
    repeat_profile: list[np.ndarray] | None = None
    alphas: dict[str, float] = field(default_factory=dict)
    # () -> the dense float64 Gram matrix X^T X of the EASE base, formed when
    # asked (the gates tune EASE's regularisation with it); None without EASE
    gram: Callable[[], np.ndarray] | None = None


class Events(Protocol):
    """What a fit reads of an interaction set besides its (user, item) pairs:
    ``Interactions`` provide it, and so do the totals of a distributed fit,
    whose item-item graphs come summed (``GraphSums``) instead of being built
    from the pairs."""

    user_idx: np.ndarray
    item_idx: np.ndarray
    timestamps: np.ndarray | None
    session_idx: np.ndarray | None
    n_sessions: int
    hist_indptr: np.ndarray
    hist_items: np.ndarray

    @property
    def n_users(self) -> int: ...

    @property
    def n_items(self) -> int: ...

    def history(self, user: int) -> np.ndarray: ...


# a CSR matrix as its (data, indices, indptr) arrays
CSR = tuple[np.ndarray, np.ndarray, np.ndarray]


@dataclass
class GraphSums:
    """The item-item graphs of a fit summed over disjoint groups of users (a
    distributed fit builds them): ``fit_parts`` takes them in place of building
    the same graphs from ``data``'s pairs and sessions."""

    cooc: CSR  # raw co-occurrence CSR of the configured kernel (float32, int32, int32)
    users_per_item: np.ndarray  # float64
    gram: Any  # () -> the dense float64 Gram matrix X^T X, for EASE
    deep_session_fraction: float
    session: CSR | None  # session co-occurrence CSR; None without sessions
    directed: CSR | None  # transition CSR; None without sessions


def fit_parts(
    settings: Settings,
    data: Events,
    features: ItemFeatures | None,
    plan: Plan,
    report: dict[str, Any],
    graphs: Parts | None = None,
    sums: GraphSums | None = None,
) -> Parts:
    """The engine's arrays for ``plan``. With ``graphs`` (parts fitted on nearly
    the same events), its item-item graphs and EASE solve are taken as they
    are, and only what is per user or per item count is fitted on ``data``;
    with ``sums`` the graphs come summed from a distributed fit."""
    parts = Parts(
        arrays={},
        config={
            "n_items": data.n_items,
            "n_users": data.n_users,
            "retrieval_budget": settings.retrieval_budget,
            "cold_slots": settings.cold_slots,
            "transition_last_k": settings.transition_last_k,
            "transition_decay": settings.transition_decay,
            "user_cf_k": settings.user_cf_k,
        },
        alphas={c: float(getattr(settings, f"{c}_alpha")) for c in CHANNELS},
    )
    if graphs is not None:
        parts.arrays.update({k: v for k, v in graphs.arrays.items() if k in _GRAPH_KEYS})
        parts.config["base_is_ease"] = graphs.config["base_is_ease"]
        parts.layers = {n: g for n, g in graphs.layers.items() if n in plan.layers}
        parts.channels = graphs.channels & {"transition", "content"}
    else:
        _fit_base(settings, data, parts, report, plan, sums)
        if data.session_idx is not None:
            _fit_session_layer(settings, data, parts, plan, report, sums)
            _fit_transitions(data, parts, plan, sums)
        else:
            report["session_layer"] = "not built: no sessions (give session_col, or time_col)"
    if features is not None and features.n_features:
        _fit_content(settings, features, parts, plan, build_layer=graphs is None)
    _fit_channels(settings, data, parts, plan)
    if settings.repeat and plan.repeat and data.timestamps is not None:
        _fit_repeat(settings, data, parts, plan, report)
    return parts


# The final fit takes the gate fit's item-item graphs and EASE solve when the
# held-out events are at most this share of all events: they then change the
# graphs little, and the largest fits are spared a second build and solve.
REUSE_MAX_HELD_SHARE = 0.01


def reusable_graphs(
    gate_parts: Parts | None, holdout: Any, data: Events, report: dict[str, Any]
) -> Parts | None:
    """The gate fit's parts when the final fit may take over their graphs."""
    if gate_parts is None:
        return None
    share = 1.0 - len(holdout.train.user_idx) / max(len(data.user_idx), 1)
    reuse = share <= REUSE_MAX_HELD_SHARE
    report["graphs"] = (
        f"{'taken over from' if reuse else 'refitted after'} the gate fit: the "
        f"held-out events are {share:.2%} of all (taken over up to "
        f"{REUSE_MAX_HELD_SHARE:.0%})"
    )
    return gate_parts if reuse else None


# what fit_parts takes over from parts fitted on nearly the same events
_GRAPH_KEYS = tuple(n for n in ARRAY_DTYPES if n.startswith(("cooc_", "ease_", "trans_")))


def _fit_base(
    settings: Settings,
    data: Events,
    parts: Parts,
    report,
    plan: Plan,
    sums: GraphSums | None = None,
) -> None:
    cooc: CSR
    if sums is not None:
        cooc, users_per_item = sums.cooc, sums.users_per_item
    else:
        pairs = _with_pairs(data)
        cooc = raw_cooccurrence(settings, pairs)
        users_per_item = np.bincount(pairs.pair_item, minlength=data.n_items).astype(np.float64)
    cooc = _transformed(settings.cooc_transform, cooc, users_per_item)
    entries = len(cooc[0])
    if settings.max_neighbours is not None:
        cooc = top_neighbours(*cooc, settings.max_neighbours)
    parts.arrays.update(engine_arrays(cooc_data=cooc[0], cooc_indices=cooc[1], cooc_indptr=cooc[2]))
    limit, why = ease_item_limit(settings)
    use_ease = data.n_items <= limit and plan.base != "cooc"
    lambda_ = settings.ease_lambda if plan.ease_lambda is None else plan.ease_lambda
    if use_ease and sums is not None:
        parts.gram = sums.gram
        parts.arrays["ease_b"] = _core.fit_ease_gram_py(sums.gram(), lambda_=lambda_)
    elif use_ease:
        pairs = _with_pairs(data)
        parts.gram = _gram(pairs)
        parts.arrays["ease_b"] = _core.fit_ease_py(
            pairs.pair_user,
            pairs.pair_item,
            data.n_users,
            data.n_items,
            lambda_=lambda_,
            weights=pairs.pair_weight,
        )
    parts.config["base_is_ease"] = use_ease
    report["base"] = "ease" if use_ease else "cooc"
    n = data.n_items
    report["model_size"] = {
        "base": (
            f"EASE over {n:,} items ({n * n * 4 / 2**20:,.1f} MiB dense block)"
            if use_ease
            else f"co-occurrence graph over {n:,} items"
        ),
        "why": (
            "the gates kept the co-occurrence graph over EASE"
            if plan.base == "cooc"
            else f"EASE a candidate up to {limit:,} items: {why}; lambda {lambda_:g}"
            + (" (the setting)" if plan.ease_lambda is None else " after the gates' tuning")
        ),
        "graph_entries": int(len(cooc[0])),
        "graph_entries_before_cap": int(entries),
        "max_neighbours": settings.max_neighbours,
    }


def _gram(data: Interactions) -> Callable[[], np.ndarray]:
    """X^T X of the pair weights, formed when called: the pure co-occurrence of
    the weights off the diagonal, their squares on it (as the EASE fit forms it)."""

    def form() -> np.ndarray:
        n = data.n_items
        values, indices, indptr = _core.build_cooccurrence(
            data.pair_user, data.pair_item, data.pair_weight, data.n_users, n
        )
        dense = np.zeros((n, n))
        dense[np.repeat(np.arange(n), np.diff(indptr)), indices] = values
        weights = data.pair_weight.astype(np.float64)
        dense.flat[:: n + 1] = np.bincount(data.pair_item, weights=weights * weights, minlength=n)
        return dense

    return form


def raw_cooccurrence(settings: Settings, data: Interactions) -> CSR:
    """The co-occurrence graph of ``data``'s (user, item) pairs under the
    configured kernel, before any transform or cap."""
    return _core.build_cooccurrence(
        data.pair_user,
        data.pair_item,
        data.pair_weight,
        data.n_users,
        data.n_items,
        kernel=settings.cooc_kernel,
        half_life_days=settings.half_life_days,
        timestamps=data.pair_time if settings.cooc_kernel != "pure_count" else None,
    )


def _with_pairs(data: Events) -> Interactions:
    # only a distributed fit passes other events, and it passes their graphs summed
    assert isinstance(data, Interactions), "graphs are built from the pairs of Interactions"
    return data


def top_neighbours(data: np.ndarray, indices: np.ndarray, indptr: np.ndarray, k: int):
    """Each row of a CSR graph cut to its ``k`` largest entries (ties: the lower
    column first), columns kept in their order. Rows within ``k`` stay whole."""
    return _core.cap_neighbours(data, indices, indptr, k)


def _transformed(transform: str, csr, counts: np.ndarray):
    data, indices, indptr = csr
    if transform == "raw":
        return data, indices, indptr
    return _core.cooc_transform(data, indices, indptr, counts, transform), indices, indptr


def _layer(csr: CSR) -> CSR:
    """A graph as a boost layer's float32 CSR (summed transitions are float64)."""
    data, indices, indptr = csr
    return data.astype(np.float32, copy=False), indices, indptr


def _fit_session_layer(
    settings: Settings,
    data: Events,
    parts: Parts,
    plan: Plan,
    report,
    sums: GraphSums | None = None,
) -> None:
    """The session co-occurrence boost layer, when enough sessions hold two or
    more items: built mostly from one-item sessions it would only be a sparse,
    noisy copy of the user-level graph."""
    assert data.session_idx is not None, "fit_parts builds the session layer only with sessions"
    fraction = (
        sums.deep_session_fraction
        if sums is not None
        else float(_core.deep_session_fraction(data.session_idx, data.item_idx))
    )
    report["deep_session_fraction"] = round(fraction, 4)
    if fraction < settings.min_deep_session_fraction:
        report["session_layer"] = (
            f"not built: {fraction:.2f} of the sessions hold two or more "
            f"items (needs {settings.min_deep_session_fraction:g})"
        )
        return
    report["session_layer"] = "built"
    if "session" not in plan.layers:
        return
    if sums is not None:
        assert sums.session is not None, "summed graphs carry a session graph with sessions"
        parts.layers["session"] = _layer(sums.session)
        return
    # one entry per (session, item): a repeat inside a basket is not a second pairing
    _, first = np.unique(data.session_idx * data.n_items + data.item_idx, return_index=True)
    graph = _core._build_session_cooccurrence_arrays(
        data.session_idx[first],
        data.item_idx[first],
        np.ones(len(first), dtype=np.float32),
        data.n_sessions,
        data.n_items,
    )
    parts.layers["session"] = graph


def _fit_transitions(data: Events, parts: Parts, plan: Plan, sums: GraphSums | None = None) -> None:
    """Which item follows which inside a session: the transition channel, and its
    undirected form as a boost layer."""
    wanted = "transition" in plan.channels or "adjacency" in plan.layers
    if not wanted:
        return
    assert data.session_idx is not None, "fit_parts builds transitions only with sessions"
    directed: CSR
    if sums is not None:
        assert sums.directed is not None, "summed graphs carry transitions with sessions"
        directed = sums.directed
    else:
        ones = np.ones(len(data.item_idx), dtype=np.float32)
        directed = _core._build_directional_cooc_arrays(
            data.session_idx,
            data.item_idx,
            ones,
            data.n_sessions,
            data.n_items,
            timestamps=data.timestamps,
        )
    if not len(directed[0]):
        return
    if "transition" in plan.channels:
        values, indices, indptr = directed
        parts.arrays.update(
            engine_arrays(trans_data=values, trans_indices=indices, trans_indptr=indptr)
        )
        parts.channels.add("transition")
    if "adjacency" in plan.layers:
        d = _layer(directed)
        parts.layers["adjacency"] = _core._symmetrize_via_transpose_arrays(*d)


def _fit_content(
    settings: Settings, features: ItemFeatures, parts: Parts, plan: Plan, build_layer: bool = True
) -> None:
    parts.arrays.update(
        engine_arrays(
            content_data=features.data,
            content_indices=features.indices,
            content_indptr=features.indptr,
        )
    )
    parts.config["content_nfeat"] = features.n_features
    parts.channels.add("content")
    if "content_neighbours" in plan.layers and build_layer:
        rows, cols, values = _core._metadata_knn_arrays(
            features.data,
            features.indices,
            features.indptr,
            features.n_features,
            top_k=settings.content_top_k,
            max_df=settings.content_max_df,
        )
        parts.layers["content_neighbours"] = _coo_to_csr(
            rows, cols, values, len(features.indptr) - 1
        )


def _coo_to_csr(rows, cols, values, n_rows):
    order = np.lexsort((cols, rows))
    indptr = np.zeros(n_rows + 1, dtype=np.int32)
    np.cumsum(np.bincount(rows, minlength=n_rows), out=indptr[1:])
    return (values[order].astype(np.float32), cols[order].astype(np.int32), indptr)


def _fit_channels(settings: Settings, data: Events, parts: Parts, plan: Plan) -> None:
    counts = np.bincount(data.item_idx, minlength=data.n_items).astype(np.float64)
    parts.item_pop = counts
    parts.arrays.update(
        engine_arrays(
            item_pop=counts,
            # items with little or no history get the content channel and the cold slots
            content_coldness=1.0 / (1.0 + counts),
            uri_data=data.hist_items,
            uri_indptr=data.hist_indptr,
        )
    )
    want_trend = "trend" in plan.channels and data.timestamps is not None
    want_cf = "user_cf" in plan.channels
    _, trend, uu_data, uu_indptr, uu_deg = _core._fit_channels_arrays(
        data.user_idx,
        data.item_idx,
        data.timestamps,
        data.n_users,
        data.n_items,
        data.n_items,
        settings.trend_window_fraction,
        want_trend,
        want_cf,
    )
    if len(trend):
        parts.arrays.update(engine_arrays(trend_z=trend))
        parts.channels.add("trend")
    if want_cf:
        parts.arrays.update(engine_arrays(uu_data=uu_data, uu_indptr=uu_indptr, uu_deg=uu_deg))
        parts.channels.add("user_cf")
    if parts.config["base_is_ease"]:
        parts.channels.add("last_item")


# period ranges of the repeat-period histogram in the fit report, in days
_PERIOD_EDGES_DAYS = (0.0, 0.5, 1, 2, 3, 5, 7, 10, 14, 21, 30, 45, 60, 90, 180, 365)


def _fit_repeat(settings: Settings, data: Events, parts: Parts, plan: Plan, report) -> None:
    assert data.timestamps is not None, "fit_parts fits the repeat profile only with times"
    min_count = plan.repeat_min_count or settings.repeat_min_count
    profile = list(
        _core._fit_repeat_profile_arrays(
            data.user_idx, data.item_idx, data.timestamps, data.n_users, min_count=min_count
        )
    )
    if not len(profile[1]):
        return
    profile[4], profile[5] = repeat_timing(plan.repeat_periods, data, profile)
    parts.repeat_profile = profile
    periods = profile[4][np.isfinite(profile[4])] / _DAY
    report["repeat_periods"] = {
        "edges_days": list(_PERIOD_EDGES_DAYS) + [max(365.0, float(periods.max(initial=0)))],
        "pairs": np.histogram(periods, list(_PERIOD_EDGES_DAYS) + [np.inf])[0].tolist(),
        "without_period": int(len(profile[4]) - len(periods)),
    }
    parts.arrays.update(zip(PROFILE_KEYS, profile))
    parts.config.update(
        repeat_now_ts=float(data.timestamps.max()),
        repeat_refractory=settings.repeat_refractory_days * _DAY,
        repeat_freq_alpha=(
            settings.repeat_freq_alpha if plan.repeat_freq_alpha is None else plan.repeat_freq_alpha
        ),
    )
    parts.repeat = True


# "due" timing: pairs whose gaps are at least this regular have a period, and
# every entry is held back to 1 - DUE_HOLD of its score until its period is
# near (the engine's multiplier, with no period: never). Held-out users of
# grocery() picked 0.3 over 0.6 (0.6 ranked below the untimed profile).
DUE_REGULARITY = 0.5
DUE_HOLD = 0.3


def repeat_timing(
    kind: str,
    data: Events,
    profile: list[np.ndarray],
    gaps: Callable[[], tuple[np.ndarray, np.ndarray]] | None = None,
) -> tuple[np.ndarray, np.ndarray]:
    """The periods and their confidence that a repeat profile holds back items
    with until they are due: "fitted", the native detector's; "mean_gap", each
    pair's mean gap and regularity (``mean_gap_periods``); "none", no holding
    back (confidence 0), so that purchase frequency alone ranks the entries;
    "due", every entry held back a little and a regularly rebought one freed
    when due, which lifts the items due now above the other owned items (the
    engine's multiplier can only hold back, never raise). ``gaps`` gives
    ``mean_gap_periods(data, profile)`` when a caller trying several timings
    keeps it."""
    measured = gaps if gaps is not None else (lambda: mean_gap_periods(data, profile))
    if kind == "mean_gap":
        return measured()
    if kind == "none":
        return profile[4], np.zeros(len(profile[5]))
    if kind == "due":
        periods, regularity = measured()
        period, hold = unknown_timing(kind)
        periods = np.where(regularity >= DUE_REGULARITY, periods, period)
        return periods, np.full(len(periods), hold)
    return profile[4], profile[5]


def unknown_timing(kind: str) -> tuple[float, float]:
    """The period and confidence of a profile entry whose rebuying rhythm is
    unknown under timing ``kind``: under "due" it is held back like every
    irregular entry (an infinite period is never reached), otherwise it has no
    period and is not held back. Entries that join the profile after the fit
    get this, so that they rank as the fitted ones would."""
    if kind == "due":
        return math.inf, DUE_HOLD
    return math.nan, 0.0


def mean_gap_periods(data: Events, profile: list[np.ndarray]) -> tuple[np.ndarray, np.ndarray]:
    """Each profile pair's period as the mean gap between its consecutive
    events, and its confidence as the gaps' regularity, 1 minus their
    coefficient of variation (at least 0; 0 below two gaps): a pair bought
    like clockwork is held back until it is due, one bought at random is not.
    Pairs without a gap get no period (NaN)."""
    assert data.timestamps is not None, "periods are measured only with times"
    indptr, items = profile[0], profile[1]
    n_items = max(int(data.n_items), 1)
    owner = np.repeat(np.arange(len(indptr) - 1, dtype=np.int64), np.diff(indptr))
    wanted = owner * n_items + items
    keys = data.user_idx.astype(np.int64) * n_items + data.item_idx
    order = np.lexsort((data.timestamps, keys))
    keys, times = keys[order], data.timestamps[order].astype(np.float64)
    same = keys[1:] == keys[:-1]
    gaps, gap_keys = np.diff(times)[same], keys[1:][same]
    periods, quality = np.full(len(wanted), np.nan), np.zeros(len(wanted))
    if not len(gaps):
        return periods, quality
    found, where = np.unique(gap_keys, return_inverse=True)
    n = np.bincount(where).astype(np.float64)
    mean = np.bincount(where, gaps) / n
    spread = np.sqrt(np.maximum(np.bincount(where, gaps * gaps) / n - mean * mean, 0.0))
    at = np.minimum(np.searchsorted(found, wanted), len(found) - 1)
    has = found[at] == wanted
    periods[has] = mean[at[has]]
    regular = has & (n[at] >= 2)
    rough = spread[at[regular]] / np.maximum(mean[at[regular]], 1.0)
    quality[regular] = np.nan_to_num(np.clip(1.0 - rough, 0.0, 1.0))  # NaN times: no confidence
    return periods, quality


def engine_for(parts: Parts, plan: Plan, layers: list[str] | None = None) -> Any:
    """The engine serving ``plan`` from ``parts``. The fit's arrays are made
    read-only and handed over: the engine holds them instead of copying them,
    so that every engine built from one fit shares its arrays."""
    arrays: dict[str, Any] = {name: _read_only(a) for name, a in parts.arrays.items()}
    arrays["boost"] = [
        tuple(_read_only(a) for a in parts.layers[name])
        for name in (plan.layers if layers is None else layers)
        if name in parts.layers
    ]
    config = dict(parts.config)
    config.update(plan_alphas(parts, plan))
    config.update(
        repeat_active=plan.repeat and parts.repeat,
        z_threshold=plan.z_threshold,
        boost_multiplier=plan.boost_multiplier,
    )
    # the engine ignores entries it does not know: a misnamed one would be lost
    unknown = (arrays.keys() | config.keys()) - ENGINE_FIELDS.keys()
    assert not unknown, f"not engine fields: {sorted(unknown)}"
    return _core.build_engine(
        cast("_core.EngineArrays", arrays), cast("_core.EngineConfig", config)
    )


def size_groups(sizes: np.ndarray) -> list[tuple[int, np.ndarray]]:
    """Users grouped for batch engine calls when user i needs a list of
    ``sizes[i]`` entries: ``(n, positions)`` per group, one group per distinct
    size. One call for all users would ask each for the longest need, and a few
    long repeat profiles then make every answer long (a thousand entries built
    and dropped per user). Asking each user for exactly its need also keeps a
    batch's answer for a user equal to that user's single request: the
    cold-content slots skip the items already in the list, so a longer list
    can change which cold items are picked."""
    sizes = np.asarray(sizes, dtype=np.int64)
    need, where = np.unique(sizes, return_inverse=True)
    order = np.argsort(where, kind="stable")
    starts = np.searchsorted(where[order], np.arange(len(need) + 1))
    return [(int(n), order[starts[g] : starts[g + 1]]) for g, n in enumerate(need.tolist())]


def sized_batch(
    batch: Callable[[list, list[int], int], list], owned: list, rows: list[int], sizes: np.ndarray
) -> list:
    """The answers of ``batch(owned, rows, n)``, an engine batch call with one
    answer per user, where user i needs ``sizes[i]`` entries: one call per
    group of ``size_groups``, the answers back in the users' order."""
    answers: list = [None] * len(rows)
    for n, positions in size_groups(sizes):
        picked = positions.tolist()
        for p, answer in zip(
            picked, batch([owned[p] for p in picked], [rows[p] for p in picked], n)
        ):
            answers[p] = answer
    return answers


def _read_only(array: np.ndarray) -> np.ndarray:
    # the fit's own arrays: nothing writes into them once they are fitted
    array.flags.writeable = False
    return array


def plan_alphas(parts: Parts, plan: Plan) -> dict[str, float]:
    on = plan.channels & parts.channels
    return {f"{c}_alpha": parts.alphas[c] if c in on else 0.0 for c in CHANNELS}


def release_free_memory() -> None:
    """Hands the heap's free memory back to the system. A fit frees hundreds
    of arrays of a few MiB; the C library keeps such blocks for reuse and
    would leave a fitted model's process hundreds of MiB larger than what it
    holds. Only glibc has the call; elsewhere this does nothing."""
    if not sys.platform.startswith("linux"):
        return
    try:
        trim = ctypes.CDLL(None).malloc_trim
    except (OSError, AttributeError):  # another C library (musl)
        return
    trim(0)
