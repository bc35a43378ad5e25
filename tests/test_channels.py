"""fit_channels: item counts, the trend z-scores and the user-CF index."""

import math

import numpy as np
import pytest

from tarsel._core import InternalFailure, fit_channels

I64 = np.int64


def fit(users, items, times, n_users, n_items, n_items_ext, fraction=0.5, trend=True, user_cf=True):
    times = None if times is None else np.asarray(times, dtype=np.float64)
    sizes = n_users, n_items, n_items_ext, fraction, trend, user_cf
    got = fit_channels(np.asarray(users, I64), np.asarray(items, I64), times, *sizes)
    return tuple(np.asarray(p).tolist() for p in got)


def reference_channels(users, items, times, n_users, n_items, n_items_ext, fraction):
    m = len(items)
    counts = np.bincount(items, minlength=n_items_ext).astype(float)
    trend = []
    finite = times[~np.isnan(times)]
    if len(finite) and finite.max() > finite.min():
        cutoff = finite.max() - fraction * (finite.max() - finite.min())
        recent = np.zeros(n_items_ext)
        for k in range(m):
            if times[k] >= cutoff:
                recent[items[k]] += 1.0
        mean = math.fsum(recent) / n_items_ext
        var = math.fsum((recent - mean) ** 2) / n_items_ext
        if var > 0:
            trend = list((recent - mean) / math.sqrt(var))
    pairs = sorted({(int(i), int(u)) for u, i in zip(users[:m], items)})
    indptr = [0] * (n_items + 1)
    degrees = [0.0] * n_users
    for i, u in pairs:
        indptr[i + 1] += 1
        degrees[u] += 1.0
    return list(counts), trend, [u for _, u in pairs], np.cumsum(indptr).tolist(), degrees


@pytest.mark.parametrize("seed", range(5))
def test_matches_reference_on_random_interactions(seed):
    rng = np.random.default_rng(seed)
    n_users, n_items, n_items_ext = 30, 25, 28
    m = int(rng.integers(1, 2000))
    users = rng.integers(0, n_users, m + 3)  # surplus users are ignored
    items = rng.integers(0, n_items, m)
    times = rng.uniform(0.0, 1000.0, m)
    times[rng.random(m) < 0.05] = math.nan
    fraction = float(rng.uniform(0.05, 0.6))
    got = fit(users, items, times, n_users, n_items, n_items_ext, fraction)
    want = reference_channels(users, items, times, n_users, n_items, n_items_ext, fraction)
    assert got[0] == want[0] and got[2:] == want[2:]
    np.testing.assert_allclose(got[1], want[1], rtol=1e-12, atol=1e-12)


@pytest.mark.parametrize(
    "args, expected",
    [
        (
            ([0, 0, 0], [0, 1, 1], [0, 50, 100], 1, 2, 2, 0.5, True, False),
            ([1, 2], [-1, 1], [], [], []),
        ),
        (([0, 1], [2, 2], [1.0, 2.0], 2, 3, 4, 0.5, False, False), ([0, 0, 2, 0], [], [], [], [])),
        (([], [], [], 2, 3, 3), ([0.0] * 3, [], [], [0, 0, 0, 0], [0.0, 0.0])),
        # items between n_items and n_items_ext pass without user-CF; strided timestamps are not
        # read with the trend off
        (
            ([0, 0], [0, 2], np.arange(6.0)[::3], 1, 2, 3, 0.5, False, False),
            ([1, 0, 1], [], [], [], []),
        ),
    ],
)
def test_worked_examples(args, expected):
    assert fit(*args) == expected


@pytest.mark.parametrize(
    "items, times, fraction, trend",
    [
        ([0, 1, 1], None, 0.5, []),
        ([0, 1, 1], [math.nan] * 3, 0.5, []),
        ([0, 0, 1], [0.0, 50.0, 100.0], 0.0, [-1.0, 1.0]),  # only t_max counts
        ([0, 0, 1], [0.0, 50.0, 100.0], 1.5, [1.0, -1.0]),  # everything counts
        ([0, 1], [0.0, 10.0, 100.0], 0.5, []),  # the span includes timestamps past the interactions
    ],
)
def test_trend_cases(items, times, fraction, trend):
    assert fit([0] * len(items), items, times, 1, 2, 2, fraction, True, False)[1] == trend


U64 = 2**64


@pytest.mark.parametrize(
    "users, items, times, n_users, n_items, message",
    [
        # Refused before any trend or user-CF work.
        ([0, 0, 0], [0, 1, 2, 0], None, 2, 3, "the len is 3 but the index is 3"),
        ([0, 0], [0, 1], None, 2, 0, "attempt to divide by zero"),
        # Items between n_items and n_items_ext and negative users would otherwise decode into
        # other (user, item) pairs.
        ([0, 1, 0], [0, 2, 1], None, 2, 2, "the len is 2 but the index is 2"),
        ([0, -1], [1, 0], None, 2, 2, f"the len is 2 but the index is {U64 - 1}"),
        # Users beyond n_users: the first in (item, user) order is reported.
        ([5, 0, 3, 4], [1, 0, 1, 0], None, 2, 2, "the len is 2 but the index is 4"),
        # the item check comes before the trend; short timestamps with the trend on
        ([0, 0, 0], [0, 1, 1], [0.0, 10.0], 1, 2, "the len is 2 but the index is 2"),
    ],
)
def test_index_failures(users, items, times, n_users, n_items, message):
    with pytest.raises(InternalFailure) as info:
        fit(users, items, times, n_users, n_items, 3 - (times is not None), 0.5, times is not None)
    assert str(info.value).endswith(message)
