import math

import numpy as np
import pytest

from tarsel._core import InternalFailure, fit_channels

I64 = np.int64


def fit(users, items, times, n_users, n_items, n_items_ext, fraction=0.5, trend=True, user_cf=True):
    users = np.asarray(users, dtype=I64)
    items = np.asarray(items, dtype=I64)
    if times is not None:
        times = np.asarray(times, dtype=np.float64)
    return fit_channels(users, items, times, n_users, n_items, n_items_ext, fraction, trend, user_cf)


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
    for i in range(n_items):
        indptr[i + 1] += indptr[i]
    return list(counts), trend, [u for _, u in pairs], indptr, degrees


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


def test_trend_worked_example():
    assert fit([0, 0, 0], [0, 1, 1], [0.0, 50.0, 100.0], 1, 2, 2, 0.5, True, False) == (
        [1.0, 2.0], [-1.0, 1.0], [], [], [])


def test_both_channels_off():
    assert fit([0, 1], [2, 2], [1.0, 2.0], 2, 3, 4, 0.5, False, False) == (
        [0.0, 0.0, 2.0, 0.0], [], [], [], [])


@pytest.mark.parametrize(
    "items, times, fraction, trend",
    [
        ([0, 1, 1], None, 0.5, []),
        ([0, 1, 1], [], 0.5, []),
        ([0, 1, 1], [4.0, 4.0, 4.0], 0.5, []),
        ([0, 1, 1], [math.nan] * 3, 0.5, []),
        ([0, 1], [1.0, 2.0], 1.0, []),  # one recent interaction each: flat
        ([0, 1, 1], [0.0, 100.0, math.nan], 0.5, [-1.0, 1.0]),  # NaN never recent
        ([0, 0, 1], [0.0, 50.0, 100.0], 0.0, [-1.0, 1.0]),  # only t_max counts
        ([0, 0, 1], [0.0, 50.0, 100.0], 1.5, [1.0, -1.0]),  # everything counts
        # The span includes timestamps past the interactions.
        ([0, 1], [0.0, 10.0, 100.0], 0.5, []),
    ],
)
def test_trend_cases(items, times, fraction, trend):
    assert fit([0] * len(items), items, times, 1, 2, 2, fraction, True, False)[1] == trend


def test_repeated_interaction_counts_once_in_the_index():
    assert fit([1, 1, 1], [0, 0, 0], None, 2, 2, 2, trend=False) == (
        [3.0, 0.0], [], [1], [0, 1, 1], [0.0, 1.0])


def test_two_users_of_one_item():
    assert fit([1, 0], [1, 1], None, 2, 2, 2)[2:] == ([0, 1], [0, 0, 2], [1.0, 1.0])


def test_no_interactions():
    assert fit([], [], [], 2, 3, 3) == ([0.0] * 3, [], [], [0, 0, 0, 0], [0.0, 0.0])


U64 = 2**64


@pytest.mark.parametrize(
    "users, items, n_users, n_items, message",
    [
        # Refused before any trend or user-CF work.
        ([0, 0], [0, 3], 2, 3, "index out of bounds: the len is 3 but the index is 3"),
        ([0, 0], [0, -2], 2, 3, f"index out of bounds: the len is 3 but the index is {U64 - 2}"),
        ([0, 0, 0], [0, 1, 2, 0], 2, 3, "index out of bounds: the len is 3 but the index is 3"),
        ([0, 0], [0, 1], 2, 0, "attempt to divide by zero"),
        # Items between n_items and n_items_ext and negative users would
        # otherwise decode into other (user, item) pairs.
        ([0, 1, 0], [0, 2, 1], 2, 2, "index out of bounds: the len is 2 but the index is 2"),
        ([0, -1], [1, 0], 2, 2, f"index out of bounds: the len is 2 but the index is {U64 - 1}"),
        # Users beyond n_users: the first in (item, user) order is reported.
        ([5, 0, 3, 4], [1, 0, 1, 0], 2, 2, "index out of bounds: the len is 2 but the index is 4"),
        ([2**62, 0], [1, 0], 2, 2, f"index out of bounds: the len is 2 but the index is {2**62}"),
    ],
)
def test_index_failures(users, items, n_users, n_items, message):
    with pytest.raises(InternalFailure) as info:
        fit(users, items, None, n_users, n_items, 3, 0.5, False, True)
    assert str(info.value) == message


def test_item_index_failure_comes_before_the_trend():
    strided = np.arange(6, dtype=np.float64)[::2]
    with pytest.raises(InternalFailure, match="the len is 2 but the index is 2$"):
        fit_channels(np.zeros(3, I64), np.array([0, 1, 2], I64), strided, 1, 2, 2, 0.5, True, True)


def test_short_timestamps_with_trend_on():
    with pytest.raises(InternalFailure, match="^index out of bounds: the len is 2 but the index is 2$"):
        fit([0, 0, 0], [0, 1, 1], [0.0, 10.0], 1, 2, 2, 0.5, True, False)


def test_items_between_n_items_and_n_items_ext_pass_without_user_cf():
    assert fit([0, 0], [0, 2], None, 1, 2, 3, 0.5, False, False)[0] == [1.0, 0.0, 1.0]


def test_longer_user_idx_is_accepted():
    assert fit([0, 1, 7, 9], [1, 0], None, 2, 2, 2)[2:] == ([1, 0], [0, 1, 2], [1.0, 1.0])


def test_non_contiguous_timestamps_are_not_read_with_trend_off():
    strided = np.arange(6, dtype=np.float64)[::2]
    assert fit_channels(np.zeros(3, I64), np.zeros(3, I64), strided, 1, 1, 1, 0.5, False, False)[0] == [3.0]
