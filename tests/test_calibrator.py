import math

import numpy as np
import pytest

from reference.calibration import calibrate as ref_calibrate
from reference.calibration import ndcg as ref_ndcg
from tarsel._core import calibrate_layered_py, ndcg_at_k_py

INV_LOG2_3 = 1.0 / math.log2(3.0)


@pytest.mark.parametrize(
    "scores, relevance, k, expected",
    [
        ([3, 2, 1], [1, 0, 0], 3, 1.0),
        ([1, 2, 3], [1, 0, 0], 3, 0.5),
        ([1, 2, 3], [1, 0, 0], 10, 0.5),  # k beyond the list uses the whole list
        ([1, 1], [0, 1], 1, 0.0),  # equal scores keep input order
        ([1, 1], [1, 0], 1, 1.0),
        # exponential gains: relevance 2 is worth 3
        ([1, 2], [2, 1], 2, (1.0 + 3.0 * INV_LOG2_3) / (3.0 + INV_LOG2_3)),
        ([2, 1, 0], [0, 2, 0], 1, 0.0),
        ([1, 2, 3], [1, 0, 0], 0, 0.0),
        ([1, 2, 3], [1, 0], 3, 0.0),
        ([], [], 3, 0.0),
        ([1, 2], [0, 0], 2, 0.0),
        ([1, 2], [-1, -2], 2, 0.0),  # ideal DCG not > 0
    ],
)
def test_ndcg_worked_examples(scores, relevance, k, expected):
    assert ndcg_at_k_py(scores, relevance, k) == pytest.approx(expected, rel=1e-15)


@pytest.mark.parametrize("n", [1, 7, 20, 21, 64, 300])
def test_ndcg_matches_reference(n):
    rng = np.random.default_rng(n)
    for _ in range(40):
        scores = rng.integers(0, 5, n).astype(float) * 0.25  # plenty of ties
        relevance = rng.choice([0.0, 0.0, 1.0, 2.0, 0.5, -1.0], n)
        k = int(rng.integers(0, n + 3))
        assert ndcg_at_k_py(scores, relevance, k) == pytest.approx(
            ref_ndcg(scores.tolist(), relevance.tolist(), k), rel=1e-13, abs=0
        )


@pytest.mark.parametrize("n", [5, 21, 100])
def test_ndcg_with_nan_scores_stays_a_ratio(n):
    rng = np.random.default_rng(n)
    scores = rng.normal(size=n)
    scores[rng.random(n) < 0.3] = np.nan
    relevance = rng.integers(0, 3, n).astype(float)
    value = ndcg_at_k_py(scores, relevance, n)
    assert 0.0 <= value <= 1.0 and value == ndcg_at_k_py(scores, relevance, n)


# One user whose relevant candidate sits last on the base scores [3, 2, 1, 0]
# (all gaps 1, so the boost equals the multiplier) and spikes in a pool layer
# with z = sqrt(3) = 1.732. Boosted by b it ranks first when b > 3 (NDCG 1),
# second when b = 3 (the tie keeps input order), last without a boost.
def spike_user():
    return (np.array([3.0, 2.0, 1.0, 0.0]), [(np.array([0.0, 0.0, 0.0, 10.0]), "pool")],
            np.array([0.0, 0.0, 0.0, 1.0]))


BASELINE = 1.0 / math.log2(5.0)


@pytest.mark.parametrize(
    "z_grid, boost_grid, kw, summary",
    [
        # every point within the tolerance: the defaults, flagged as a fallback
        ([1.0, 1.5], [3.5, 5.0], {}, (2.5, 3.0, 1.0, True)),
        # a one-point grid never discriminates, even when it differs from the defaults
        ([1.0], [5.0], {}, (2.5, 3.0, 1.0, True)),
        # highest near-best threshold, and at it the smallest boost
        ([1.0, 1.5, 2.0], [3.5, 5.0], {}, (1.5, 3.5, 1.0, False)),
        ([2.0, 1.5, 1.0], [5.0, 3.5], {}, (1.5, 3.5, 1.0, False)),
        # the defaults win when they tie the best
        ([1.0, 1.5, 2.0], [3.5, 5.0], {"default_z": 1.0, "default_boost": 5.0},
         (1.0, 5.0, 1.0, False)),
        ([1.0, 1.5, 2.0], [3.5, 5.0], {"default_z": 1.0 + 1e-10, "default_boost": 5.0},
         (1.0, 5.0, 1.0, False)),
        # the default point exists but is not near-best
        ([1.0, 2.0], [3.0, 5.0], {"default_z": 2.0, "default_boost": 3.0},
         (1.0, 5.0, 1.0, False)),
        # a wide tolerance admits the tied-second points (NDCG 1/log2(3))
        ([1.0], [3.0, 5.0, 1.0], {"tie_tolerance": 0.4}, (1.0, 3.0, INV_LOG2_3, False)),
        # not enough lift over the base scores alone: boost switched off
        ([1.0, 2.0], [5.0], {"min_lift_over_cooc_only": 1.0 - BASELINE + 1e-9},
         (2.5, 0.0, 1.0, True)),
        ([1.0, 2.0], [5.0], {"min_lift_over_cooc_only": 1.0 - BASELINE - 1e-9},
         (1.0, 5.0, 1.0, False)),
        # an empty grid
        ([], [1.0], {}, (2.5, 3.0, 0.0, True)),
        ([1.0], [], {"default_z": 9.0}, (9.0, 3.0, 0.0, True)),
    ],
)
def test_calibration_choices(z_grid, boost_grid, kw, summary):
    grid, got = calibrate_layered_py([spike_user()], z_grid, boost_grid, **kw)
    assert [(z, b) for z, b, _, _ in grid] == [(z, b) for z in z_grid for b in boost_grid]
    assert got == pytest.approx(summary, rel=1e-15) and type(got[3]) is bool


def test_grid_entries():
    grid, _ = calibrate_layered_py([spike_user()] * 3, [1.0, 2.0], [1.0, 1.5, 3.0, 4.0])
    expected = [1 / math.log2(5), 0.5, INV_LOG2_3, 1.0] + [BASELINE] * 4
    assert [e[2] for e in grid] == pytest.approx(expected, rel=1e-15)
    assert {e[3] for e in grid} == {3}
    assert all(type(e[3]) is int for e in grid)


def test_no_users():
    grid, summary = calibrate_layered_py([], [1.0, 2.0], [3.0])
    assert grid == [(1.0, 3.0, 0.0, 0), (2.0, 3.0, 0.0, 0)]
    assert summary == (2.5, 3.0, 0.0, True)


def test_user_with_mismatched_relevance_scores_zero():
    short = (np.array([3.0, 2.0, 1.0, 0.0]), [], np.array([1.0, 0.0]))
    grid, _ = calibrate_layered_py([spike_user(), short], [1.0], [5.0])
    assert grid == [(1.0, 5.0, 0.5, 2)]


def random_users(rng, count):
    users = []
    for _ in range(count):
        n = int(rng.integers(1, 30))
        base = rng.integers(0, 8, n) * 0.5
        layers = []
        for _ in range(rng.integers(0, 3)):
            values = rng.exponential(size=n) * (rng.random(n) < 0.5)
            layers.append((values, str(rng.choice(["nonzero", "pool"]))))
        relevance = (rng.random(n) < 0.2) * rng.integers(1, 3, n)
        users.append((base.astype(float), layers, relevance.astype(float)))
    return users


@pytest.mark.parametrize("seed", range(20))
def test_calibration_matches_reference(seed):
    rng = np.random.default_rng(seed)
    users = random_users(rng, int(rng.integers(0, 12)))
    z_grid = sorted(rng.choice([0.5, 1.0, 1.5, 2.0, 2.5, 3.0], int(rng.integers(1, 4)), False))
    boost_grid = list(rng.choice([0.0, 1.0, 2.0, 3.0, 5.0], int(rng.integers(1, 4)), False))
    kw = dict(k=int(rng.integers(0, 12)), top_k=int(rng.integers(0, 25)),
              min_nonzero=int(rng.integers(0, 4)),
              tie_tolerance=float(rng.choice([0.0, 0.003, 0.05])),
              min_lift=float(rng.choice([0.0, 0.0, 0.02, -1.0])))
    grid, summary = calibrate_layered_py(
        users, z_grid, boost_grid, kw["k"], kw["top_k"], kw["min_nonzero"],
        tie_tolerance=kw["tie_tolerance"], min_lift_over_cooc_only=kw["min_lift"])
    ref_users = [(b.tolist(), [(v.tolist(), m) for v, m in ls], r.tolist()) for b, ls, r in users]
    ref_grid, ref_summary = ref_calibrate(ref_users, z_grid, boost_grid, **kw)
    assert [e[3] for e in grid] == [e[3] for e in ref_grid]
    flat = [v for e in grid for v in e[:3]]
    assert flat == pytest.approx([v for e in ref_grid for v in e[:3]], rel=1e-13)
    assert summary == pytest.approx(ref_summary, rel=1e-13)


def test_strided_base_and_layers_are_read_as_given():
    base, layers, rel = spike_user()
    strided = (np.repeat(base, 2)[::2], [(np.repeat(layers[0][0], 3)[::3], "pool")], rel)
    assert calibrate_layered_py([strided], [1.0], [5.0])[0] == [(1.0, 5.0, 1.0, 1)]


@pytest.mark.parametrize(
    "users, error, message",
    [
        ((spike_user(),), TypeError,
         "argument 'users': 'tuple' object cannot be converted to 'PyList'"),
        ([list(spike_user())], TypeError, "'list' object cannot be converted to 'PyTuple'"),
        ([(spike_user()[0], [[spike_user()[1][0][0], "pool"]], spike_user()[2])], TypeError,
         "'list' object cannot be converted to 'PyTuple'"),
        ([spike_user()[:2]], IndexError, "tuple index out of range"),
        ([(spike_user()[0], [(spike_user()[1][0][0], "Dense")], spike_user()[2])], ValueError,
         "unknown z_mode: Dense; expected 'nonzero' or 'pool'"),
        ([(spike_user()[0], [], np.zeros(8)[::2])], TypeError,
         "The given array is not contiguous"),
        # a later bad slice fails the whole call
        ([spike_user(), (spike_user()[0], [(np.zeros(4), "x")], spike_user()[2])], ValueError,
         "unknown z_mode: x; expected 'nonzero' or 'pool'"),
    ],
)
def test_calibration_bad_input(users, error, message):
    with pytest.raises(error) as info:
        calibrate_layered_py(users, [1.0], [3.0])
    assert str(info.value) == message

