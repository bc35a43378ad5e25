"""Repeat consumption: the multiplier curves, period detection and the per-user profile."""

import math

import numpy as np
import pytest

from reference.period import detect_period, log_gap_density, peaks
from reference.repeat_multiplier import multiplier as ref_multiplier
from tarsel._core import (
    InternalFailure,
    detect_period_py,
    fit_repeat_profile,
    multiplier_one_py,
    multipliers_batch,
)

DAY = 86400.0
NAN = math.nan
I64 = np.int64
REPLENISH = [0.0, 1.0, 0.0, 0.0]
ONE_SHOT = [0.0, 0.0, 0.0, 1.0]


@pytest.mark.parametrize(
    "probs, period, refractory, confidence, elapsed, expected",
    [
        (REPLENISH, 10 * DAY, DAY, 1.0, 7 * DAY, 0.5),  # midpoint of the logistic
        # never consumed is exactly one; NaN confidence propagates
        (ONE_SHOT, NAN, 0.0, NAN, math.inf, 1.0),
        (REPLENISH, 10.0, 1.0, NAN, 3.0, NAN),
    ],
)
def test_multiplier_worked_examples(probs, period, refractory, confidence, elapsed, expected):
    got = multiplier_one_py(probs, period, refractory, confidence, elapsed)
    assert got == pytest.approx(expected, rel=1e-12, abs=1e-15, nan_ok=True)


def test_batch_matches_reference_in_any_layout():
    rng = np.random.default_rng(7)
    n = 2000
    probs = rng.uniform(-0.2, 1.0, size=(n, 4))
    periods = rng.choice([0.0, -3.0, np.nan, 1.0, 50.0, 1e6], size=n) * rng.uniform(0.5, 2, n)
    refractories = rng.choice([0.0, 2.0, 30.0, np.nan], size=n)
    confidences = rng.uniform(-0.5, 1.5, size=n)
    elapsed = rng.choice([np.nan, np.inf, -5.0, 0.0, 1.0, 40.0, 1e7], size=n)
    elapsed = elapsed * rng.uniform(0.5, 2, n)
    expected = [
        ref_multiplier(p, *rest, 0.01)
        for p, *rest in zip(probs.tolist(), periods, refractories, confidences, elapsed)
    ]
    for layout in (probs, np.asfortranarray(probs), np.repeat(probs, 2, axis=1)[:, ::2]):
        got = multipliers_batch(layout, periods, refractories, confidences, elapsed, 0.01)
        assert got.dtype == np.float64 and got.shape == (n,)
        np.testing.assert_allclose(got, expected, rtol=1e-14, atol=0)
        firsts = (a[0] for a in (periods, refractories, confidences, elapsed))
        assert got[0] == multiplier_one_py(probs[0], *firsts, 0.01)
    # n comes from periods; longer arrays are read up to it.
    longer = np.ones(3), np.ones(3), np.array([7.0, 0.0, 0.0])
    assert multipliers_batch(np.array([REPLENISH]), np.array([10.0]), *longer).tolist() == [0.5]


ONES_4 = [np.ones(4)] * 4


@pytest.mark.parametrize(
    "call, exc, message",
    [
        (
            lambda: multipliers_batch(np.zeros((5, 4)), *ONES_4),
            ValueError,
            "pattern_probs must be (n, 4); got [5, 4] with n=4",
        ),
        (
            lambda: multipliers_batch(np.zeros((4, 4)), *ONES_4[:3], np.ones(1)),
            InternalFailure,
            "index out of bounds: the len is 1 but the index is 1",
        ),
        (
            lambda: multiplier_one_py([0.0] * 5, 1.0, 1.0, 1.0, 1.0),
            ValueError,
            "pattern_probs must have length 4 [REPEAT, REPLENISH, SATIATION, ONE_SHOT]",
        ),
    ],
)
def test_multiplier_bad_input(call, exc, message):
    with pytest.raises(exc) as info:
        call()
    assert str(info.value) == message


def period(values):
    return detect_period_py(np.asarray(values, dtype=np.float64))


@pytest.mark.parametrize(
    "values, expected",
    [
        # Log-gaps spread by less than 1e-9: the first positive gap is returned.
        ([0.0, 1.0 + 2**-40] + [1.0] * 9, (1.0 + 2**-40, 0.9)),
        ([], (NAN, 0.0)),
        ([0.0, -3.0, NAN], (NAN, 0.0)),
    ],
)
def test_period_worked_examples(values, expected):
    np.testing.assert_equal(period(values), expected)


def test_equal_peaks_and_flat_tops_pick_the_longer_period():
    # Powers of two make the log-gaps exact multiples of ln 2, so the density is symmetric
    # and its two peaks are exactly equal.
    gaps = [1.0] * 5 + [128.0] * 5
    grid, density = log_gap_density(gaps)
    assert peaks(density) == [2, 253] and density[2] == density[253]
    assert period(gaps) == (math.exp(grid[253]), 0.0)
    gaps = [8.0] * 4 + [32.0] * 4 + [16.0] * 5
    grid, density = log_gap_density(gaps)
    assert peaks(density) == [] and density[127] == density[128] == max(density)
    assert period(gaps) == (math.exp(grid[128]), 1.0)


def test_period_matches_reference_on_random_gaps():
    rng = np.random.default_rng(7)
    extreme = [  # kernel terms far below the smallest double underflow to zero
        [1e-300, 1e300] + [1.0] * 20,
        list(np.exp(np.linspace(-700.0, 700.0, 50))),
        [1e-3] * 30 + [2e-3] * 30 + [1e6],
    ]
    for trial in range(200):
        n = int(rng.integers(1, 60))
        centres = rng.uniform(0.0, 4.0, size=rng.integers(1, 4))
        gaps = np.exp(rng.choice(centres, size=n) + rng.normal(0.0, 0.25, size=n))
        gaps[rng.random(n) < 0.1] = 0.0  # dropped by the detector
        gaps = extreme[trial] if trial < len(extreme) else gaps
        np.testing.assert_allclose(period(gaps), detect_period(gaps), rtol=1e-12, atol=1e-12)


def fit(users, items, times, n_users, min_count=2):
    times = None if times is None else np.asarray(times, dtype=np.float64)
    return fit_repeat_profile(I64(users), I64(items), times, n_users, min_count)


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
    return (np.cumsum(indptr).tolist(), *lists)


def assert_same(actual, expected, tolerance=0.0):
    assert len(actual) == len(expected) == 6
    for got, want in zip(actual, expected):
        np.testing.assert_allclose(np.float64(got), np.float64(want), tolerance, tolerance)


@pytest.mark.parametrize(
    "args, expected",
    [
        (([], [], [], 3), ([0, 0, 0, 0], [], [], [], [], [])),
        (
            ([1, 1, 1, 0, 0], [4, 4, 4, 2, 2], None, 2),
            ([0, 1, 2], [2, 4], [2.0, 3.0], [NAN, NAN], [NAN, NAN], [0.0, 0.0]),
        ),
        # surplus items and timestamps are ignored
        (([0, 0], [1, 1, 1, 1], [1.0, 2.0, 3.0, 4.0, 5.0], 1), ([0, 1], [1], [2], [2], [1], [0.3])),
    ],
)
def test_profile_worked_examples(args, expected):
    assert_same(fit(*args), expected)


@pytest.mark.parametrize("seed", range(6))
def test_profile_matches_reference_and_ignores_input_order(seed):
    rng = np.random.default_rng(seed)
    users, items = rng.integers(0, 20, 3000), rng.integers(-2, 12, 3000)
    times = rng.choice(np.arange(0.0, 400.0, 0.5), 3000)  # duplicates give zero gaps
    if seed % 2:
        times[rng.random(3000) < 0.05] = NAN
    min_count = int(rng.integers(0, 4))
    profile = fit(users, items, times, 21, min_count)
    assert_same(profile, reference_profile(users, items, times, 21, min_count), 1e-12)
    order = rng.permutation(len(users))
    assert_same(fit(users[order], items[order], times[order], 21, min_count), profile)


@pytest.mark.parametrize(
    "users, items, times, n_users, message",
    [
        ([0, 3, 1], [1, 1, 1], [1.0, 2.0, 3.0], 3, "the len is 3 but the index is 3"),
        # A bad user is refused even when its pair would not qualify.
        ([0, 0, 7], [1, 1, 2], [1.0, 2.0, 3.0], 3, "the len is 3 but the index is 7"),
        ([0, 1, 1], [1, 1], [1.0, 2.0, 3.0], 3, "the len is 2 but the index is 2"),
    ],
)
def test_profile_out_of_range_input_is_an_internal_failure(users, items, times, n_users, message):
    with pytest.raises(InternalFailure) as info:
        fit(users, items, times, n_users)
    assert str(info.value) == "index out of bounds: " + message
