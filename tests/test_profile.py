import math

import numpy as np
import pytest

from reference.period import detect_period
from tarsel._core import InternalFailure, fit_repeat_profile

I64 = np.int64
NAN = math.nan


def fit(users, items, times, n_users, min_count=2):
    users = np.asarray(users, dtype=I64)
    items = np.asarray(items, dtype=I64)
    if times is not None:
        times = np.asarray(times, dtype=np.float64)
    return fit_repeat_profile(users, items, times, n_users, min_count)


def reference_profile(users, items, times, n_users, min_count):
    """The profile from a dict of per-pair timestamp lists (NaN last)."""
    runs = {}
    for k, (u, i) in enumerate(zip(users, items)):
        runs.setdefault((int(u), int(i)), []).append(None if times is None else float(times[k]))
    indptr = [0] * (n_users + 1)
    lists = ([], [], [], [], [])
    for (u, i), stamps in sorted(runs.items()):
        if len(stamps) < min_count:
            continue
        if times is None:
            row = (i, float(len(stamps)), NAN, NAN, 0.0)
        else:
            stamps.sort(key=lambda t: (math.isnan(t), t))
            gaps = [b - a for a, b in zip(stamps, stamps[1:])]
            row = (i, float(len(stamps)), stamps[-1], *detect_period(gaps))
        for values, value in zip(lists, row):
            values.append(value)
        indptr[u + 1] += 1
    for u in range(n_users):
        indptr[u + 1] += indptr[u]
    return (indptr, *lists)


def assert_same(actual, expected, tolerance=0.0):
    assert len(actual) == len(expected) == 6
    for got, want in zip(actual, expected):
        assert isinstance(got, list)
        np.testing.assert_allclose(np.array(got, dtype=float), np.array(want, dtype=float),
                                   rtol=tolerance, atol=tolerance)


def test_user_zero_with_item_five():
    profile = fit([0, 0, 0, 0, 1], [5, 7, 5, 5, 5], [30.0, 12.0, 10.0, 20.0, 3.0], 2)
    assert profile == ([0, 1, 1], [5], [3.0], [30.0], [10.0], [0.3])


def test_empty_input():
    assert fit([], [], [], 3) == ([0, 0, 0, 0], [], [], [], [], [])


def test_without_timestamps_counts_stay_exact():
    indptr, items, counts, last_ts, periods, quality = fit([1, 1, 1, 0, 0], [4, 4, 4, 2, 2], None, 2)
    assert (indptr, items, counts, quality) == ([0, 1, 2], [2, 4], [2.0, 3.0], [0.0, 0.0])
    assert all(math.isnan(v) for v in last_ts + periods)


@pytest.mark.parametrize(
    "times, last, period, quality",
    [
        ([5.0, 5.0], 5.0, NAN, 0.0),  # one zero gap only
        ([20.0, NAN, 10.0, 30.0], NAN, 10.0, 0.3),  # NaN ordered last
        ([-1.0, -0.0, 0.0, 2.0], 2.0, 1.5, 0.3),  # zero gaps dropped
    ],
)
def test_single_pair_times(times, last, period, quality):
    _, _, counts, last_ts, periods, qualities = fit([0] * len(times), [3] * len(times), times, 1)
    np.testing.assert_array_equal([counts, last_ts, periods, qualities],
                                  [[float(len(times))], [last], [period], [quality]])


@pytest.mark.parametrize("min_count, expected_items", [(0, [-5, 2, 9]), (1, [-5, 2, 9]), (2, [9]), (4, [])])
def test_min_count_and_item_order(min_count, expected_items):
    # Items are copied unchanged and ordered as signed integers.
    profile = fit([0, 0, 0, 0], [9, -5, 9, 2], [1.0, 2.0, 3.0, 4.0], 1, min_count)
    assert profile[1] == expected_items


def random_interactions(rng, n, n_users, n_items, with_nan=False):
    users = rng.integers(0, n_users, n)
    items = rng.integers(-2, n_items, n)
    times = rng.choice(np.arange(0.0, 400.0, 0.5), n)  # duplicates give zero gaps
    if with_nan:
        times[rng.random(n) < 0.05] = NAN
    return users, items, times


@pytest.mark.parametrize("seed", range(6))
def test_matches_reference_and_ignores_input_order(seed):
    rng = np.random.default_rng(seed)
    users, items, times = random_interactions(rng, 3000, 20, 12, with_nan=seed % 2 == 1)
    min_count = int(rng.integers(0, 4))
    profile = fit(users, items, times, 21, min_count)
    assert_same(profile, reference_profile(users, items, times, 21, min_count), 1e-12)
    order = rng.permutation(len(users))
    assert_same(fit(users[order], items[order], times[order], 21, min_count), profile)


def test_long_pairs_take_the_density_path():
    rng = np.random.default_rng(3)
    times = np.cumsum(rng.choice([1.0, 1.0, 1.0, 60.0], 40) * rng.uniform(0.9, 1.1, 40))
    users, items = np.zeros(40, I64), np.full(40, 2, I64)
    profile = fit(users, items, times, 1)
    assert_same(profile, reference_profile(users, items, times, 1, 2), 1e-12)
    assert 0.0 < profile[5][0] < 1.0


def test_surplus_items_and_timestamps_are_ignored():
    profile = fit([0, 0], [1, 1, 1, 1], [1.0, 2.0, 3.0, 4.0, 5.0], 1)
    assert profile == ([0, 1], [1], [2.0], [2.0], [1.0], [0.3])


U64_MINUS_ONE = str(2**64 - 1)


@pytest.mark.parametrize(
    "users, items, times, n_users, message",
    [
        ([0, 3, 1], [1, 1, 1], [1.0, 2.0, 3.0], 3, "the len is 3 but the index is 3"),
        # A bad user is refused even when its pair would not qualify.
        ([0, 0, 7], [1, 1, 2], [1.0, 2.0, 3.0], 3, "the len is 3 but the index is 7"),
        ([0, -1, 1], [1, 1, 1], [1.0, 2.0, 3.0], 3, "the len is 3 but the index is " + U64_MINUS_ONE),
        ([0, 1, 1], [1, 1], [1.0, 2.0, 3.0], 3, "the len is 2 but the index is 2"),
        ([0, 1, 1], [1, 1, 1], [1.0], 3, "the len is 1 but the index is 1"),
        ([0], [1], None, 0, "the len is 0 but the index is 0"),
    ],
)
def test_out_of_range_input_is_an_internal_failure(users, items, times, n_users, message):
    with pytest.raises(InternalFailure) as info:
        fit(users, items, times, n_users)
    assert str(info.value) == "index out of bounds: " + message
