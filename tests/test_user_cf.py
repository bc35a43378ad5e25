"""User-CF neighbours on randomized logs large enough for every way the engine counts
overlaps, against the float64 reference: neighbour sets exactly, scores to within 1e-9."""

import numpy as np
import pytest

from reference.recommend import Engine, assert_matches, user_cf_neighbours
from tarsel import _core

F32, I64, F64 = np.float32, np.int64, np.float64


def marked_log(rng, n_users, n_shared, exponent):
    """Every user owns a few shared items, popular ones often (their item -> user rows
    reach a good part of all users), and one marker item of its own: with a flat base
    and user-CF the only channel, user u's marker n_shared + u is voted for exactly when
    u is a kept neighbour. The last item belongs to nobody: it shows the unvoted score."""
    p = 1.0 / np.arange(1, n_shared + 1) ** exponent
    sets = [
        np.append(
            rng.choice(n_shared, min(int(rng.integers(0, 7)), n_shared), False, p / p.sum()),
            n_shared + u,
        )
        for u in range(n_users)
    ]
    by_item = [[u for u, s in enumerate(sets) if i in s] for i in range(n_shared + n_users + 1)]
    return sets, by_item


def arrays_of(sets, by_item, degrees):
    n_items = len(by_item)
    return {
        "ease_b": np.zeros((n_items, n_items), F32),
        "uri_data": I64(np.concatenate(sets)),
        "uri_indptr": I64(np.cumsum([0] + [len(s) for s in sets])),
        "uu_data": I64([u for row in by_item for u in row]),
        "uu_indptr": I64(np.cumsum([0] + [len(r) for r in by_item])),
        "uu_deg": F64(degrees),
    }


def assert_neighbours(engine, arrays, config, owned, user_row):
    n_items = config["n_items"]
    assert config["retrieval_budget"] >= n_items  # every item comes back
    assert_matches(engine, arrays, config, owned, user_row, n_items)
    kept = user_cf_neighbours(Engine(arrays, config), owned, user_row)
    if arrays["ease_b"].any() or any(s == -np.inf for s, _ in kept):
        return  # a varied base, or -inf votes, leave no spread to read the neighbours off
    n_shared = n_items - 1 - config["n_users"]
    scores = dict(zip(*engine.recommend(owned, user_row, n_items)[:2]))
    got = {i - n_shared for i, s in scores.items() if n_shared <= i < n_items - 1}
    got = {u for u in got if scores[n_shared + u] > scores[n_items - 1]}
    assert got == {u for _, u in kept}


@pytest.mark.parametrize("seed", range(14))
def test_neighbours_match_the_reference(seed):
    """Owned sets of rare items (few users reached: a sparse accumulator) and of popular
    ones (most users reached: counted in place, popular items read as bit columns), with
    repeats; the requesting user often among those reached; rows in storage order,
    reversed, or with a user listed twice (counted entry by entry); a few users with a
    negative degree (NaN similarities); a neighbour count from one to more than the users;
    every fourth log on a random integer base (scores only); alone and in one batch."""
    rng = np.random.default_rng([31, seed])
    n_users, n_shared = int(rng.integers(20, 700)), int(rng.integers(3, 24))
    sets, by_item = marked_log(rng, n_users, n_shared, rng.uniform(0.5, 2.0))
    degrees = [float(len(s)) for s in sets]
    popular = max(range(n_shared), key=lambda i: len(by_item[i]))
    if seed % 2:
        by_item[popular].reverse()
        by_item[(popular + 1) % n_shared].append(by_item[popular][0])
    if seed % 3 == 0:
        for u in rng.choice(n_users, 3, replace=False):
            degrees[u] = -1.0
    arrays = arrays_of(sets, by_item, degrees)
    if seed % 4 == 3:
        arrays["ease_b"] = rng.integers(-2, 3, arrays["ease_b"].shape).astype(F32)
    config = dict(n_items=n_shared + n_users + 1, n_users=n_users, user_cf_alpha=1.0)
    config["retrieval_budget"] = config["n_items"]
    config["user_cf_k"] = int(rng.choice([1, int(rng.integers(2, 60)), n_users + 5]))
    engine = _core.build_engine(arrays, config)
    requests = []
    for r in range(12):
        rare = r % 2 == 0
        pool = np.argsort([len(row) for row in by_item[:n_shared]])[: 3 if rare else n_shared]
        owned = rng.choice(pool, int(rng.integers(1, 9))).tolist()
        # The requesting user, often one of those reached.
        reached = sorted({u for o in owned for u in by_item[o]})
        user_row = int(rng.choice(reached)) if reached and r % 3 else int(rng.integers(-1, n_users))
        assert_neighbours(engine, arrays, config, owned, user_row)
        requests.append((owned, user_row))
    batch = engine.recommend_batch([o for o, _ in requests], [u for _, u in requests], 5)
    assert batch == [engine.recommend(o, u, 5) for o, u in requests]


def test_equal_similarities_at_the_cut_keep_the_smaller_users():
    """300 users who own item 0 and one more item each: those with equal degrees tie, and
    the cut keeps the smaller indices, however the request is counted."""
    n_users = 300
    sets = [np.array([0, 1 + u % 2, 3 + u]) for u in range(n_users)]
    by_item = [[u for u, s in enumerate(sets) if i in s] for i in range(4 + n_users)]
    degrees = [3.0 if u % 3 else 2.0 for u in range(n_users)]  # users 0, 3, 6, ... rank first
    arrays = arrays_of(sets, by_item, degrees)
    config = dict(n_items=4 + n_users, n_users=n_users, user_cf_alpha=1.0, user_cf_k=7)
    config["retrieval_budget"] = config["n_items"]
    engine = _core.build_engine(arrays, config)
    kept = user_cf_neighbours(Engine(arrays, config), [0], 3)
    assert [u for _, u in kept] == [0, 6, 9, 12, 15, 18, 21]
    for owned in ([0], [0, 1], [0, 0, 2]):
        assert_neighbours(engine, arrays, config, owned, 3)


@pytest.mark.parametrize("popular", [False, True])
@pytest.mark.parametrize(
    "fault, message",
    [
        ("short degrees", "the len is 299 but the index is 299$"),
        ("user past n_users", "the len is 300 but the index is 301$"),
    ],
)
def test_broken_tables_raise_and_leave_the_engine_sound(fault, message, popular):
    """A reached user without a degree, or a row naming a user past n_users, raises the
    same InternalFailure whether the request reaches few or most users; the next requests
    are answered as by a fresh engine."""
    rng = np.random.default_rng(5)
    n_users = 300
    sets, by_item = marked_log(rng, n_users, 10, 1.5)
    degrees = [float(len(s)) for s in sets]
    bad = max(range(10), key=lambda i: len(by_item[i])) if popular else 9
    by_item = [[u for u in row if u != 299] for row in by_item]
    if fault == "short degrees":  # user 299 has no degree
        degrees = degrees[:299]
        by_item[bad].append(299)
    else:
        by_item[bad].append(301)
    arrays = arrays_of(sets, by_item, degrees)
    config = dict(n_items=11 + n_users, n_users=n_users, user_cf_alpha=1.0, user_cf_k=20)
    engine = _core.build_engine(arrays, config)
    owned = list(range(10)) if popular else [bad]
    with pytest.raises(_core.InternalFailure, match="^index out of bounds: " + message):
        engine.recommend(owned, -1, 5)
    clean = [i for i in range(10) if i != bad]
    fresh = _core.build_engine(arrays, config)
    assert engine.recommend(clean, -1, 20) == fresh.recommend(clean, -1, 20)
