"""Serving speed of EngineState.recommend and recommend_batch.

- EASE engine, 4,000 items, channels on (trend, user-CF, last-item, transition,
  popularity for new users): ``recommend_batch`` (n = 10) for 5,000 users with 5
  to 200 owned items drawn by popularity, and a Python loop of ``recommend``,
  beside the NumPy way (owned-indicator block @ B, owned items set to -inf,
  argpartition for the top n, then a sort of those n);
- the same batch with 1 and 2 pool threads (RAYON_NUM_THREADS, in subprocesses);
- co-occurrence engine, 50,000 items, built from the co-occurrence benchmark's
  interactions, with the fused channels on (trend, transition): median latency of
  one ``recommend``.

The EASE block is random: ranking speed does not depend on its values.
"""

from __future__ import annotations

import json
import os
import statistics
import subprocess
import sys
import time

import numpy as np

sys.path.insert(0, os.path.dirname(__file__))
from _common import best_of, power_law_interactions, print_table  # noqa: E402
from tarsel import _core  # noqa: E402

N = 10
EASE_ITEMS, USERS = 4_000, 5_000
COOC_USERS, COOC_ITEMS, COOC_DRAWS = 100_000, 50_000, 2_000_000
CHANNELS = {
    "trend_alpha": 0.3,
    "user_cf_alpha": 0.3,
    "last_item_alpha": 0.3,
    "transition_alpha": 0.3,
}


def requests(rng, popularity, users, low=5, high=200):
    """Owned lists of low..high items per user, drawn without replacement by popularity."""
    p = popularity / popularity.sum()
    return [
        rng.choice(len(p), int(rng.integers(low, high + 1)), replace=False, p=p).astype(np.int64)
        for _ in range(users)
    ]


def interactions_of(owneds):
    users = np.repeat(np.arange(len(owneds)), [len(o) for o in owneds]).astype(np.int64)
    return users, np.concatenate(owneds)


def channel_arrays(users, items, n_users, n_items, rng, user_cf=True):
    """Popularity, trend, transition and (optionally) the user-CF tables of an
    interaction log, from the module's own channel builders."""
    times = 1.7e9 + rng.random(len(users)) * 90 * 86400
    pop, trend, uu_data, uu_indptr, uu_deg = _core.fit_channels(
        users, items, times, n_users, n_items, n_items, 0.1, True, user_cf
    )
    trans = _core.build_directional_cooc(
        users, items, np.ones(len(users), np.float32), n_users, n_items, timestamps=times
    )
    arrays = {
        "item_pop": np.asarray(pop),
        "trend_z": np.asarray(trend),
        "trans_data": np.asarray(trans[0], np.float64),
        "trans_indices": np.asarray(trans[1], np.int32),
        "trans_indptr": np.asarray(trans[2], np.int64),
    }
    if user_cf:
        order = np.argsort(users, kind="stable")
        arrays.update(
            uu_data=np.asarray(uu_data, np.int64),
            uu_indptr=np.asarray(uu_indptr, np.int64),
            uu_deg=np.asarray(uu_deg, np.float64),
            uri_data=items[order],
            uri_indptr=np.searchsorted(users[order], np.arange(n_users + 1)).astype(np.int64),
        )
    return arrays


def ease_case(rng):
    popularity = 1.0 / np.arange(1, EASE_ITEMS + 1) ** 0.9
    popularity = popularity[rng.permutation(EASE_ITEMS)]
    owneds = requests(rng, popularity, USERS)
    users, items = interactions_of(owneds)
    arrays = channel_arrays(users, items, USERS, EASE_ITEMS, rng)
    arrays["ease_b"] = rng.standard_normal((EASE_ITEMS, EASE_ITEMS), dtype=np.float32)
    config = {"n_items": EASE_ITEMS, "n_users": USERS, **CHANNELS}
    return arrays, config, owneds


def numpy_top_n(owneds, b, n):
    x = np.zeros((len(owneds), b.shape[0]), np.float32)
    for u, owned in enumerate(owneds):
        x[u, owned] = 1.0
    scores = x @ b
    scores[x > 0] = -np.inf
    top = np.argpartition(-scores, n, axis=1)[:, :n]
    order = np.argsort(-np.take_along_axis(scores, top, axis=1), axis=1, kind="stable")
    return np.take_along_axis(top, order, axis=1)


def batch_seconds(threads: int) -> float:
    """Best time of the EASE batch in a fresh process with `threads` pool threads."""
    env = {**os.environ, "RAYON_NUM_THREADS": str(threads)}
    out = subprocess.run(
        [sys.executable, __file__, "--batch-only"],
        env=env,
        check=True,
        capture_output=True,
        text=True,
    ).stdout
    return json.loads(out.splitlines()[-1])["seconds"]


def time_batch(engine, owneds):
    rows = list(range(len(owneds)))
    return best_of(lambda: engine.recommend_batch(owneds, rows, N))


def cooc_case(rng):
    users, items, weights = power_law_interactions(COOC_USERS, COOC_ITEMS, COOC_DRAWS)
    data, indices, indptr = _core.build_cooccurrence(users, items, weights, COOC_USERS, COOC_ITEMS)
    arrays = {
        "cooc_data": data,
        "cooc_indices": indices,
        "cooc_indptr": indptr,
        **channel_arrays(users, items, COOC_USERS, COOC_ITEMS, rng, user_cf=False),
    }
    config = {"n_items": COOC_ITEMS, "base_is_ease": False, "n_users": COOC_USERS, **CHANNELS}
    popularity = np.asarray(arrays["item_pop"]) + 1.0
    owneds = requests(rng, popularity, 300)
    row_sizes = np.diff(indptr)
    entries = statistics.median(int(row_sizes[o].sum()) for o in owneds)
    return _core.build_engine(arrays, config), owneds, entries


def median_latency(engine, owneds):
    lists = [o.tolist() for o in owneds]
    for owned in lists[:20]:
        engine.recommend(owned, -1, N)
    times = []
    for owned in lists:
        start = time.perf_counter()
        engine.recommend(owned, -1, N)
        times.append(time.perf_counter() - start)
    return statistics.median(times)


def main() -> None:
    rng = np.random.default_rng(0)
    arrays, config, owneds = ease_case(rng)
    engine = _core.build_engine(arrays, config)
    lists = [o.tolist() for o in owneds]
    t_batch, found = time_batch(engine, lists)
    t_loop, _ = best_of(lambda: [engine.recommend(o, u, N) for u, o in enumerate(lists)], 1)
    t_numpy, top = best_of(lambda: numpy_top_n(owneds, arrays["ease_b"], N))
    assert all(len(f[0]) == N for f in found) and top.shape == (USERS, N)

    plain = _core.build_engine({"ease_b": arrays["ease_b"]}, {"n_items": EASE_ITEMS})
    t_plain, plain_found = time_batch(plain, lists)
    agree = np.mean([f[0] == t.tolist() for f, t in zip(plain_found, top)])

    degrees = np.diff(arrays["uu_indptr"])
    overlap = statistics.median(int(degrees[o].sum()) for o in owneds)
    print(f"user-CF: {overlap:,.0f} (item, user) pairs counted per request, median")

    rate = lambda seconds: f"{USERS / seconds:,.0f}/s"  # noqa: E731
    print_table(
        f"EASE engine, {EASE_ITEMS:,} items, {USERS:,} users, n = {N} (users per second)",
        [
            (
                "recommend_batch, channels on",
                rate(t_batch),
                rate(t_numpy),
                f"{t_numpy / t_batch:.2f}x",
            ),
            (
                "loop of recommend, channels on",
                rate(t_loop),
                rate(t_numpy),
                f"{t_numpy / t_loop:.2f}x",
            ),
            (
                "recommend_batch, EASE only",
                rate(t_plain),
                rate(t_numpy),
                f"{t_numpy / t_plain:.2f}x",
            ),
        ],
    )
    print(
        f"EASE-only top {N} equal to NumPy's for {agree:.1%} of users "
        "(float32 products against float64 sums may swap near-ties)"
    )

    one, two = batch_seconds(1), batch_seconds(2)
    print(
        f"\nrecommend_batch with 1 pool thread: {rate(one)}, with 2: {rate(two)}, "
        f"speed-up {one / two:.2f}x"
    )

    cooc, cooc_owneds, entries = cooc_case(rng)
    latency = median_latency(cooc, cooc_owneds)
    short = median_latency(cooc, [o[:5] for o in cooc_owneds])
    print(
        f"\nco-occurrence engine, {COOC_ITEMS:,} items, fused channels on: median latency of "
        f"one recommend {latency * 1e3:.3f} ms ({entries:,.0f} stored entries summed per "
        f"request, median); {short * 1e3:.3f} ms for 5 owned items"
    )


def batch_only() -> None:
    arrays, config, owneds = ease_case(np.random.default_rng(0))
    seconds, _ = time_batch(_core.build_engine(arrays, config), [o.tolist() for o in owneds])
    print(json.dumps({"seconds": seconds}))


if __name__ == "__main__":
    batch_only() if "--batch-only" in sys.argv else main()
