"""The recommend pipeline written step by step from its rules, on the same
`arrays` and `config` dicts that build_engine takes. Slow and plain: it is the
readable statement of what one request computes, for sound records."""

from __future__ import annotations

import math

import numpy as np
import pytest

from reference.engine_record import DEFAULTS
from reference.layered import layered_score
from reference.repeat_multiplier import multiplier


class Engine:
    """Attribute access to the dicts: arrays default to empty, settings to
    their construction defaults."""

    def __init__(self, arrays, config):
        self._arrays, self._config = arrays, config

    def __getattr__(self, name):
        if name in DEFAULTS:
            value = self._config.get(name)
            return DEFAULTS[name] if value is None else value
        value = self._arrays.get(name)
        if value is None:
            return {"ease_b": np.zeros((0, 0), np.float32), "boost": []}.get(name, np.zeros(0))
        return value if name == "boost" else np.asarray(value)


def standardised(v):
    """(v - mean) / sqrt(population variance), or None for a flat vector."""
    mean = float(np.mean(v))
    var = float(np.mean((v - mean) ** 2))
    return (v - mean) / math.sqrt(var) if var > 0 else None


def add_channel(scores, v, alpha):
    z = standardised(v)
    if z is not None:
        scores += alpha * z


def row(indptr, r):
    return range(int(indptr[r]), int(indptr[r + 1]))


def owned_rows(data, indices, indptr, owned, size):
    acc = np.zeros(size)
    for o in owned:
        if o + 1 < len(indptr):
            for k in row(indptr, o):
                acc[indices[k]] += float(data[k])
    return acc


def content_similarity(e, owned):
    n, f = e.n_items, e.content_nfeat
    c = np.zeros(n)
    if f == 0 or len(e.content_data) == 0:
        return c
    profile = owned_rows(e.content_data, e.content_indices, e.content_indptr, owned, f)
    if not profile.any():
        return c
    for i in range(min(n, len(e.content_indptr) - 1)):
        c[i] = sum(
            float(e.content_data[k]) * profile[e.content_indices[k]]
            for k in row(e.content_indptr, i)
        )
    return c


def base_kind(e):
    if e.base_is_ease:
        return "ease"
    fused = (e.trend_alpha > 0 and len(e.trend_z) == e.n_items) or (
        e.transition_alpha > 0 and len(e.trans_indptr) > 0
    )
    return "cooc_fused" if fused else "cooc"


def ease_row(e, item):
    d = e.ease_b.shape[1] if e.ease_b.size else 0
    out = np.zeros(e.n_items)
    if item < d:
        width = min(d, e.n_items)
        out[:width] = e.ease_b[item, :width].astype(np.float64)
    return out


def user_cf_neighbours(e, owned, user_row):
    """The kept neighbours as (similarity, user), best first; the similarity of a user
    with a negative degree (NaN) ranks and votes as -inf."""
    overlap = np.zeros(e.n_users)
    for o in owned:
        for k in row(e.uu_indptr, o):
            overlap[e.uu_data[k]] += 1.0
    if 0 <= user_row < e.n_users:
        overlap[user_row] = 0.0
    sims = [
        (overlap[u] / (math.sqrt(len(owned)) * math.sqrt(e.uu_deg[u])), u)
        if e.uu_deg[u] >= 0
        else (-math.inf, u)
        for u in range(e.n_users)
        if overlap[u] != 0
    ]
    return sorted(sims, key=lambda s: (-s[0], s[1]))[: e.user_cf_k]


def user_cf_votes(e, owned, user_row):
    votes = np.zeros(e.n_items)
    for sim, u in user_cf_neighbours(e, owned, user_row):
        for k in row(e.uri_indptr, u):
            votes[e.uri_data[k]] += sim
    return votes


def transition_votes(e, owned):
    t = np.zeros(e.n_items)
    for r, o in enumerate(reversed(owned[len(owned) - min(e.transition_last_k, len(owned)) :])):
        weight = e.transition_decay**r
        for k in row(e.trans_indptr, o):
            t[e.trans_indices[k]] += weight * e.trans_data[k]
    return t


def blend(e, scores, owned, user_row, kind, content):
    trend = e.trend_alpha > 0 and len(e.trend_z) == e.n_items
    user_cf = e.user_cf_alpha > 0 and len(e.uu_indptr) > 0
    last_item = kind == "ease" and e.last_item_alpha > 0
    transition = e.transition_alpha > 0 and len(e.trans_indptr) > 0
    if not (trend or user_cf or content is not None or last_item or transition):
        return scores
    z = standardised(scores)
    if z is not None:
        scores = z
    if trend:
        scores = scores + e.trend_alpha * e.trend_z
    if user_cf:
        add_channel(scores, user_cf_votes(e, owned, user_row), e.user_cf_alpha)
    if content is not None:
        scores = scores + e.content_alpha * content
    if last_item:
        add_channel(scores, ease_row(e, owned[-1]), e.last_item_alpha)
    if transition:
        add_channel(scores, transition_votes(e, owned), e.transition_alpha)
    return scores


def repeat_pairs(e, scores, user_row):
    if user_row < 0 or not e.repeat_active or user_row + 1 >= len(e.repeat_indptr):
        return []
    pairs = []
    for k in row(e.repeat_indptr, user_row):
        item = int(e.repeat_items[k])
        if item >= e.n_items:
            continue
        last = e.repeat_last_ts[k]
        since = e.repeat_now_ts - last if math.isfinite(last) else math.nan
        curve = (e.repeat_periods[k], e.repeat_refractory, e.repeat_quality[k], since)
        mult = multiplier((0.0, 1.0, 0.0, 0.0), *curve, e.repeat_epsilon)
        freq = 0.0
        if e.repeat_freq_alpha > 0 and k < len(e.repeat_counts):
            freq = e.repeat_freq_alpha * math.log1p(e.repeat_counts[k])
        pairs.append((item, mult * (freq + scores[item])))
    return pairs


def cold_picks(e, owned, regular):
    c = content_similarity(e, owned)
    z = standardised(c)
    if z is not None:
        c = z
    if len(e.cold_recency) == e.n_items and e.cold_recency_beta > 0:
        c = c + e.cold_recency_beta * e.cold_recency
    c = np.where(np.asarray(e.content_coldness) >= 0.75, c, -np.inf)
    c[list(owned)] = -np.inf
    order = sorted((i for i in range(e.n_items) if np.isfinite(c[i])), key=lambda i: (-c[i], i))
    picks = [i for i in order if i not in set(regular)][: e.cold_slots]
    return picks, c


def recommend(arrays, config, owned, user_row, n, pop_prior=0.0):
    e = Engine(arrays, config)
    owned = [int(o) for o in owned if 0 <= o < e.n_items]
    if not owned:
        return [], [], []
    kind = base_kind(e)

    if kind == "ease":
        scores = sum((ease_row(e, o) for o in owned), np.zeros(e.n_items))
    else:
        scores = owned_rows(e.cooc_data, e.cooc_indices, e.cooc_indptr, owned, e.n_items)

    content = None
    if e.content_alpha > 0 and e.content_nfeat != 0 and kind != "cooc":
        c = content_similarity(e, owned)
        mean = float(np.mean(c))
        var = float(np.mean((c - mean) ** 2))
        if var > 0:
            w = e.content_coldness if len(e.content_coldness) == e.n_items else 1.0
            content = (c - mean) * w / math.sqrt(var)

    if kind != "cooc":
        scores = blend(e, scores, owned, user_row, kind, content)
    if pop_prior > 0 and len(e.item_pop) == e.n_items:
        add_channel(scores, np.log1p(e.item_pop), pop_prior)

    pairs = repeat_pairs(e, scores, user_row)
    scores[owned] = -np.inf
    for item, value in pairs:
        scores[item] = value

    budget = min(e.retrieval_budget, e.n_items)
    candidates = [i for i in range(e.n_items) if np.isfinite(scores[i])]
    if budget == 0 or not candidates:
        return [], [], []
    pool = sorted(candidates, key=lambda i: (-scores[i], i))[:budget]

    layers = []
    for data, indices, indptr in e.boost:
        rows = max(len(indptr) - 1, 0)
        acc = owned_rows(data, indices, indptr, owned, rows)
        layers.append(([acc[i] if i < rows else 0.0 for i in pool], "nonzero"))
    pool_scores = [scores[i] for i in pool]
    boosted = layered_score(pool_scores, layers, e.z_threshold, e.boost_multiplier, 20, 3)

    ranked = sorted(range(len(pool)), key=lambda p: (-boosted[p], p))[:n]
    if kind == "cooc":
        ranked = [p for p in ranked if boosted[p] > 0]
    items = [pool[p] for p in ranked]
    values = [boosted[p] for p in ranked]
    labels = [kind] * len(items)

    if e.cold_slots > 0 and e.content_nfeat > 0 and len(e.content_coldness) == e.n_items:
        picks, c = cold_picks(e, owned, items)
        keep = max(n - len(picks), 0)
        items = items[:keep] + picks
        values = values[:keep] + [float(c[i]) for i in picks]
        labels = labels[:keep] + ["cold_content"] * len(picks)
    return items, [float(v) for v in values], labels


def assert_matches(engine, arrays, config, owned, user_row, n, pop_prior=0.0):
    """engine.recommend gives the reference's items and labels exactly and its
    scores to within 1e-9."""
    items, scores, labels = engine.recommend(owned, user_row, n, pop_prior)
    ref_items, ref_scores, ref_labels = recommend(arrays, config, owned, user_row, n, pop_prior)
    assert (items, labels) == (ref_items, ref_labels)
    assert scores == pytest.approx(ref_scores, rel=1e-9, abs=1e-9)
