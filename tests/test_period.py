import math

import numpy as np
import pytest

from reference.period import detect_period, log_gap_density, peaks
from tarsel._core import detect_period_py


def run(values):
    return detect_period_py(np.asarray(values, dtype=np.float64))


@pytest.mark.parametrize(
    "values, expected",
    [
        ([5.0], (5.0, 0.3)),
        ([4.0, 2.0], (3.0, 0.3)),
        ([0.0, 3.0, 1.0, 2.0], (2.0, 0.3)),
        # Nine positive gaps among zeros and negatives still take the median.
        ([9, 0, 1, -4, 8, 2, 7, 3, 0, 6, 4, 5], (5.0, 0.3)),
        ([7.0] * 10, (7.0, 0.9)),
        # Log-gaps spread by less than 1e-9: the first positive gap is returned.
        ([0.0, 1.0 + 2**-40] + [1.0] * 9, (1.0 + 2**-40, 0.9)),
    ],
)
def test_worked_examples(values, expected):
    assert run(values) == expected


@pytest.mark.parametrize("values", [[], [0.0, -3.0, math.nan], [-1.0] * 20])
def test_no_positive_gap(values):
    period, quality = run(values)
    assert math.isnan(period) and quality == 0.0


def test_ten_gaps_take_the_density_path():
    gaps = [1.0, 2.0, 2.0, 3.0, 3.0, 3.0, 4.0, 4.0, 5.0, 9.0]
    period, quality = run(gaps)
    assert quality == 1.0  # one peak, not the 0.3 of the median path
    grid, density = log_gap_density(gaps)
    assert period in [math.exp(g) for g in grid]
    assert period != 3.0


def test_two_peaks_quality_is_one_minus_the_density_ratio():
    gaps = [1.0, 1.1, 0.9, 1.05, 0.95, 1.0, 1.02, 0.98, 7.0, 7.5, 6.5, 7.2]
    period, quality = run(gaps)
    grid, density = log_gap_density(gaps)
    tops = sorted((density[k] for k in peaks(density)), reverse=True)
    assert len(tops) == 2
    assert quality == pytest.approx(1.0 - tops[1] / tops[0], rel=0, abs=1e-12)
    assert 0.0 < quality < 1.0
    assert 0.8 < period < 1.2  # the stronger cluster


def test_equal_peaks_pick_the_longer_period_with_quality_zero():
    # Powers of two make the log-gaps exact multiples of ln 2, so the density
    # is symmetric and its two peaks are exactly equal.
    gaps = [1.0] * 5 + [128.0] * 5
    grid, density = log_gap_density(gaps)
    assert peaks(density) == [2, 253] and density[2] == density[253]
    assert run(gaps) == (math.exp(grid[253]), 0.0)


def test_flat_top_without_peak_picks_the_later_point():
    gaps = [8.0] * 4 + [32.0] * 4 + [16.0] * 5
    grid, density = log_gap_density(gaps)
    assert peaks(density) == []
    assert density[127] == density[128] == max(density)
    assert run(gaps) == (math.exp(grid[128]), 1.0)


def mixture(rng, n):
    centres = rng.uniform(0.0, 4.0, size=rng.integers(1, 4))
    logs = rng.choice(centres, size=n) + rng.normal(0.0, 0.25, size=n)
    gaps = np.exp(logs)
    gaps[rng.random(n) < 0.1] = 0.0  # dropped by the detector
    return gaps


def test_matches_reference_on_random_gaps():
    rng = np.random.default_rng(7)
    for _ in range(200):
        gaps = mixture(rng, int(rng.integers(1, 60)))
        np.testing.assert_allclose(run(gaps), detect_period(gaps), rtol=1e-12, atol=1e-12)


@pytest.mark.parametrize(
    "gaps",
    [
        # Kernel terms far below the smallest double underflow to zero.
        [1e-300, 1e300] + [1.0] * 20,
        [1e-300] * 3 + [1e300] * 3 + [1.0] * 20 + [1e10] * 5,
        list(np.exp(np.linspace(-700.0, 700.0, 50))),
        [1e-3] * 30 + [2e-3] * 30 + [1e6],
    ],
)
def test_extreme_spreads_match_reference(gaps):
    np.testing.assert_allclose(run(gaps), detect_period(gaps), rtol=1e-12, atol=1e-12)
