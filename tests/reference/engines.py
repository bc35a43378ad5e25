"""Random small engines (the dicts build_engine takes) with random channel
mixes, and random requests against them."""

from __future__ import annotations

import numpy as np

from reference.csr import random_csr

COOC, TRANS, CONTENT = (
    tuple(f"{k}_{p}" for p in ("data", "indices", "indptr")) for k in ("cooc", "trans", "content")
)


def _float64_csr(rng, n_rows, n_cols, max_per_row=4):
    data, indices, indptr = random_csr(rng, n_rows, n_cols, max_per_row)
    return data.astype(np.float64), indices, indptr.astype(np.int64)


def _user_items(rng, n_users, n_items):
    """user -> item and item -> user incidence of random distinct item sets."""
    sets = [
        np.sort(rng.choice(n_items, size=int(rng.integers(0, min(n_items, 6) + 1)), replace=False))
        for _ in range(n_users)
    ]
    by_item = [[u for u in range(n_users) if i in sets[u]] for i in range(n_items)]
    return dict(
        uri_data=np.concatenate(sets + [np.zeros(0)]).astype(np.int64),
        uri_indptr=np.cumsum([0] + [len(s) for s in sets]).astype(np.int64),
        uu_data=np.asarray(sum(by_item, []), dtype=np.int64),
        uu_indptr=np.cumsum([0] + [len(b) for b in by_item]).astype(np.int64),
        uu_deg=np.asarray([len(s) for s in sets], dtype=np.float64),
    )


def random_profile(rng, n_users, n_items, now):
    """Repeat-profile arrays of random users' entries, keyed as build_engine takes them."""
    lengths = rng.integers(0, 4, size=n_users)
    size = int(lengths.sum())
    return {
        "repeat_indptr": np.concatenate([[0], np.cumsum(lengths)]).astype(np.int64),
        # Some entries name items past the catalogue; they are skipped.
        "repeat_items": rng.integers(0, n_items + 2, size=size).astype(np.int64),
        "repeat_counts": rng.integers(1, 9, size=size).astype(np.float64),
        "repeat_last_ts": np.where(
            rng.random(size) < 0.2, np.nan, now - rng.uniform(0, 30 * 86400, size=size)
        ),
        "repeat_periods": rng.uniform(86400, 20 * 86400, size=size),
        "repeat_quality": rng.uniform(0, 1, size=size),
    }


def random_engine(rng: np.random.Generator):
    """(arrays, config): a random base scorer and a random subset of channels."""
    n_items = int(rng.integers(3, 25))
    n_users = int(rng.integers(1, 10))
    on = lambda p=0.5: bool(rng.random() < p)  # noqa: E731
    alpha = lambda: float(rng.uniform(0.1, 2.0)) if on() else 0.0  # noqa: E731
    arrays, config = {}, {"n_items": n_items, "n_users": n_users}
    if on():
        d = int(rng.integers(1, n_items + 1))
        arrays["ease_b"] = rng.normal(size=(d, d)).astype(np.float32)
    else:
        config["base_is_ease"] = False
        rows = n_items if on(0.8) else int(rng.integers(1, n_items))
        arrays.update(zip(COOC, random_csr(rng, rows, n_items, 5)))
        arrays["cooc_data"] = np.abs(arrays["cooc_data"]) - np.float32(0.2)
    if on():
        arrays["trend_z"] = rng.normal(size=n_items)
    config["trend_alpha"] = alpha()
    config["last_item_alpha"] = alpha()
    if on():
        arrays.update(zip(TRANS, _float64_csr(rng, n_items, n_items)))
        config["transition_last_k"] = int(rng.integers(0, 5))
        config["transition_decay"] = float(rng.uniform(0.2, 1.0))
    config["transition_alpha"] = alpha()
    if on():
        arrays.update(_user_items(rng, n_users, n_items))
        config["user_cf_k"] = int(rng.integers(1, 5))
    config["user_cf_alpha"] = alpha()
    if on():
        arrays["item_pop"] = rng.integers(0, 50, size=n_items).astype(np.float64)
    if on():
        arrays["boost"] = [
            random_csr(rng, n_items if on(0.8) else n_items // 2, None, 5)
            for _ in range(int(rng.integers(1, 3)))
        ]
        for layer in arrays["boost"]:
            layer[0][:] = np.abs(layer[0])
        config["z_threshold"] = float(rng.uniform(0.0, 2.0))
        config["boost_multiplier"] = float(rng.uniform(0.5, 3.0))
    config["retrieval_budget"] = int(rng.integers(1, n_items + 3))
    if on():
        nfeat = int(rng.integers(1, 6))
        arrays.update(zip(CONTENT, random_csr(rng, n_items, nfeat, 3)))
        arrays["content_data"] = np.abs(arrays["content_data"])
        config["content_nfeat"] = nfeat
        config["content_alpha"] = alpha()
        if on(0.7):
            arrays["content_coldness"] = rng.uniform(0, 1, size=n_items)
        if on():
            arrays["cold_recency"] = rng.uniform(0, 1, size=n_items)
            config["cold_recency_beta"] = float(rng.uniform(0, 1))
        config["cold_slots"] = int(rng.integers(0, 4))
    if on():
        now = 1.7e9
        arrays.update(random_profile(rng, n_users, n_items, now))
        config["repeat_active"] = on(0.7)
        config["repeat_now_ts"] = now
        config["repeat_refractory"] = float(rng.uniform(0, 5 * 86400))
        config["repeat_freq_alpha"] = float(rng.uniform(0, 1)) if on() else 0.0
    return arrays, config


def random_request(rng: np.random.Generator, config):
    """(owned, user_row, n, pop_prior); owned may hold repeats and entries
    outside the catalogue."""
    n_items, n_users = config["n_items"], config["n_users"]
    owned = [int(o) for o in rng.integers(-1, n_items + 1, size=int(rng.integers(0, 7)))]
    user_row = int(rng.integers(-1, n_users + 1))
    n = int(rng.integers(0, n_items + 3))
    pop_prior = float(rng.uniform(0, 2)) if rng.random() < 0.3 else 0.0
    return owned, user_row, n, pop_prior
