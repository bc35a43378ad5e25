import math

import numpy as np
import pytest

from reference.repeat_multiplier import multiplier as ref_multiplier
from tarsel._core import InternalFailure, multiplier_one_py, multipliers_batch

DAY = 86400.0
REPLENISH = [0.0, 1.0, 0.0, 0.0]
SATIATION = [0.0, 0.0, 1.0, 0.0]
ONE_SHOT = [0.0, 0.0, 0.0, 1.0]


@pytest.mark.parametrize(
    "probs, period, refractory, confidence, elapsed, expected",
    [
        (REPLENISH, 10 * DAY, DAY, 1.0, 7 * DAY, 0.5),  # midpoint of the logistic
        (SATIATION, DAY, 3 * DAY, 0.5, 3 * DAY, 1.0 - 0.5 * math.exp(-1.0)),
        (REPLENISH, 10.0, 1.0, 1.0, 0.0, 1.0 / (1.0 + math.exp(4.2))),
        (REPLENISH, 10.0, 1.0, 1.0, -50.0, 1.0 / (1.0 + math.exp(4.2))),
        (ONE_SHOT, DAY, DAY, 1.0, 123.0, 1e-3),
        ([1.0, 0.0, 0.0, 0.0], DAY, DAY, 1.0, 5.0, 1.0),
        # negative probabilities are ignored, never subtracted
        ([-0.5, 1.0, 0.0, 0.0], 10.0, 1.0, 1.0, 7.0, 0.5),
        # probabilities are not normalised
        ([1.0, 0.0, 0.0, 1.0], DAY, DAY, 1.0, 5.0, 1.001),
        # degenerate periods: any positive time is countless periods
        (REPLENISH, 0.0, 1.0, 1.0, 1e-3, 1.0),
        (REPLENISH, float("nan"), 1.0, 1.0, 1e-3, 1.0),
        (SATIATION, 10.0, -1.0, 1.0, 1e-3, 1.0),
        (SATIATION, 10.0, 0.0, 1.0, 0.0, 0.0),
    ],
)
def test_worked_examples(probs, period, refractory, confidence, elapsed, expected):
    assert multiplier_one_py(probs, period, refractory, confidence, elapsed) == pytest.approx(
        expected, rel=1e-12, abs=1e-15
    )


@pytest.mark.parametrize("elapsed", [float("nan"), float("inf"), float("-inf")])
@pytest.mark.parametrize("confidence", [1.0, float("nan")])
def test_never_consumed_is_exactly_one(elapsed, confidence):
    assert multiplier_one_py(ONE_SHOT, float("nan"), 0.0, confidence, elapsed) == 1.0


@pytest.mark.parametrize("confidence, same_as", [(3.0, 1.0), (-1.0, 0.0)])
def test_confidence_is_clamped(confidence, same_as):
    args = ([0.1, 0.4, 0.3, 0.2], 10.0, 2.0)
    assert multiplier_one_py(*args, confidence, 4.0) == multiplier_one_py(*args, same_as, 4.0)
    assert multiplier_one_py(*args, 0.0, 4.0) == 1.0


def test_nan_confidence_propagates():
    assert math.isnan(multiplier_one_py(REPLENISH, 10.0, 1.0, float("nan"), 3.0))


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
        assert got[0] == multiplier_one_py(probs[0], periods[0], refractories[0],
                                           confidences[0], elapsed[0], 0.01)


def test_batch_reads_n_from_periods_and_ignores_longer_arrays():
    got = multipliers_batch(np.array([REPLENISH]), np.array([10.0]), np.ones(3), np.ones(3),
                            np.array([7.0, 0.0, 0.0]))
    assert got.tolist() == [0.5]
    assert multipliers_batch(np.zeros((0, 4)), *[np.zeros(0)] * 4).shape == (0,)


@pytest.mark.parametrize(
    "shape, n, message",
    [
        ((5, 4), 4, "pattern_probs must be (n, 4); got [5, 4] with n=4"),
        ((3, 5), 3, "pattern_probs must be (n, 4); got [3, 5] with n=3"),
        ((0, 3), 0, "pattern_probs must be (n, 4); got [0, 3] with n=0"),
    ],
)
def test_batch_shape_error(shape, n, message):
    with pytest.raises(ValueError) as info:
        multipliers_batch(np.zeros(shape), *[np.ones(n)] * 4)
    assert str(info.value) == message


@pytest.mark.parametrize(
    "lengths, message",
    [
        ((2, 4, 4), "index out of bounds: the len is 2 but the index is 2"),
        ((4, 3, 1), "index out of bounds: the len is 1 but the index is 1"),
        ((4, 4, 0), "index out of bounds: the len is 0 but the index is 0"),
    ],
)
def test_batch_short_arrays_are_internal_failures(lengths, message):
    with pytest.raises(InternalFailure) as info:
        multipliers_batch(np.zeros((4, 4)), np.ones(4), *[np.ones(k) for k in lengths])
    assert str(info.value) == message


@pytest.mark.parametrize(
    "call, message",
    [
        (lambda: multiplier_one_py([0.0, 1.0, 0.0], 1.0, 1.0, 1.0, 1.0),
         "pattern_probs must have length 4 [REPEAT, REPLENISH, SATIATION, ONE_SHOT]"),
        (lambda: multiplier_one_py([0.0] * 5, 1.0, 1.0, 1.0, 1.0),
         "pattern_probs must have length 4 [REPEAT, REPLENISH, SATIATION, ONE_SHOT]"),
        # the length is tested only after every argument converted
        (lambda: multiplier_one_py([0.0] * 3, 1.0, 1.0, "high", 1.0),
         "must be real number, not str"),
        (lambda: multiplier_one_py("abcd", 1.0, 1.0, 1.0, 1.0),
         "argument 'pattern_probs': Can't extract `str` to `Vec`"),
    ],
)
def test_bad_input_messages(call, message):
    with pytest.raises((ValueError, TypeError)) as info:
        call()
    assert message in str(info.value)
