"""Layered z-score boosting, NDCG and the grid calibration of the boost: worked examples,
errors, and randomized comparisons with the plain references."""

import math
import re

import numpy as np
import pytest

from reference.calibration import calibrate as ref_calibrate
from reference.calibration import ndcg as ref_ndcg
from reference.layered import layered_score as ref_layered
from tarsel._core import calibrate_layered_py, layered_score_py, ndcg_at_k_py

INV_LOG2_3 = 1.0 / math.log2(3.0)


def score(base, layers, **kw):
    return layered_score_py(
        np.array(base, np.float64), [(np.array(v, np.float64), m) for v, m in layers], **kw
    ).tolist()


SPIKE = ([0.0, 0.0, 0.0, 5.0], "pool")  # z of the spike = sqrt(3)
Z1 = {"z_threshold": 1.0}
Z_10 = (10.0 - 4.0) / math.sqrt(18.0)
Z_10_DOWN = math.nextafter(Z_10, 0)


@pytest.mark.parametrize(
    "base, layers, kw, expected",
    [
        # gaps 2, 1, 6 -> median 2 -> boost 6
        ([10, 8, 7, 1], [SPIKE], Z1, [10, 8, 7, 7]),
        # only the top_k values count: gaps 2, 1 -> median 1.5
        ([10, 8, 7, 1], [SPIKE], Z1 | {"top_k_for_calibration": 3}, [10, 8, 7, 5.5]),
        # nothing to calibrate from
        ([4.0], [([9.0], "pool")], {"min_nonzero_for_zscore": 0}, [4.0]),
        # a layer of the wrong length is skipped, the next ones still apply and add up
        ([10, 8, 7, 1], [([0, 0, 0, 0, 5], "pool"), SPIKE, SPIKE], Z1, [10, 8, 7, 13]),
        # gaps 2, 1, 6, 1 -> boost 4.5; nonzero pool [1, 1, 10]: mean 4, std sqrt(18),
        # z(10) = 1.414; zeros never boosted
        ([10, 8, 7, 1, 0], [([1, 1, 10, 0, 0], "nonzero")], {}, [10, 8, 7, 1, 0]),
        ([10, 8, 7, 1, 0], [([1, 1, 10, 0, 0], "nonzero")], Z1, [10, 8, 11.5, 1, 0]),
        # a constant pool: std floored at 1e-9, every z is 0
        ([10, 8, 7, 1], [([3, 3, 3, 3], "pool")], {"z_threshold": -0.5}, [16, 14, 13, 7]),
        # NaN in a pool layer taints its statistics; in a nonzero layer it is left out
        ([10, 8, 7, 1], [([0, 0, math.nan, 5], "pool")], {"z_threshold": -9.0}, [10, 8, 7, 1]),
        ([10, 8, 7, 1], [([2, 2, math.nan, 9], "nonzero")], Z1, [10, 8, 7, 7]),
        # a z equal to the threshold is not boosted: z(10) = 6 / sqrt(18) as above
        ([10, 8, 7, 1], [([1, 1, 10, 0], "nonzero")], {"z_threshold": Z_10}, [10, 8, 7, 1]),
        ([10, 8, 7, 1], [([1, 1, 10, 0], "nonzero")], {"z_threshold": Z_10_DOWN}, [10, 8, 13, 1]),
        # a NaN base next to its neighbours breaks both gaps: no boost at all
        ([5, math.nan, 3, 3], [([0, 0, 0, 5], "pool")], Z1, [5, math.nan, 3, 3]),
        # a NaN at the end is passed over; the gap 2 remains and NaN may be boosted
        ([5, 3, math.nan, 3], [([0, 0, 0, 5], "pool")], Z1, [5, 3, math.nan, 9]),
    ],
)
def test_worked_examples(base, layers, kw, expected):
    assert score(base, layers, **kw) == pytest.approx(expected, rel=1e-15, nan_ok=True)


@pytest.mark.parametrize("n", [2, 5, 21, 60, 300])
def test_matches_reference(n):
    rng = np.random.default_rng(n)
    for trial in range(30):
        # few distinct values so ties and zero gaps are common
        base = rng.integers(0, 6, n).astype(float) * rng.choice([1.0, 0.37])
        layers = []
        for _ in range(rng.integers(0, 4)):
            length = n if rng.random() < 0.85 else n + 1
            values = rng.normal(size=length) * (rng.random(length) < 0.4)
            layers.append((values, str(rng.choice(["nonzero", "pool", "sparse", "dense"]))))
        kw = dict(
            z_threshold=float(rng.choice([-0.5, 0.0, 1.0, 1.5, 2.5])),
            boost_multiplier=float(rng.choice([0.0, 0.5, 3.0])),
            top_k=int(rng.integers(0, n + 3)),
            min_nonzero=int(rng.integers(0, 5)),
        )
        got = layered_score_py(base, layers, *kw.values())
        expected = ref_layered(base.tolist(), [(v.tolist(), m) for v, m in layers], **kw)
        assert got.tolist() == expected, (trial, kw)


@pytest.mark.parametrize(
    "scores, relevance, k, expected",
    [
        ([1, 2, 3], [1, 0, 0], 10, 0.5),  # k beyond the list uses the whole list
        ([1, 1], [0, 1], 1, 0.0),  # equal scores keep input order
        # exponential gains: relevance 2 is worth 3
        ([1, 2], [2, 1], 2, (1.0 + 3.0 * INV_LOG2_3) / (3.0 + INV_LOG2_3)),
        ([1, 2, 3], [1, 0], 3, 0.0),
        ([1, 2], [-1, -2], 2, 0.0),  # ideal DCG not > 0
    ],
)
def test_ndcg_worked_examples(scores, relevance, k, expected):
    assert ndcg_at_k_py(scores, relevance, k) == pytest.approx(expected, rel=1e-15)


@pytest.mark.parametrize("n", [1, 7, 21, 300])
def test_ndcg_matches_reference(n):
    rng = np.random.default_rng(n)
    for _ in range(40):
        scores = rng.integers(0, 5, n).astype(float) * 0.25  # plenty of ties
        relevance = rng.choice([0.0, 0.0, 1.0, 2.0, 0.5, -1.0], n)
        k = int(rng.integers(0, n + 3))
        assert ndcg_at_k_py(scores, relevance, k) == pytest.approx(
            ref_ndcg(scores.tolist(), relevance.tolist(), k), rel=1e-13, abs=0
        )
    scores[rng.random(n) < 0.3] = np.nan
    assert 0.0 <= ndcg_at_k_py(scores, np.abs(relevance), n) <= 1.0  # NaN scores: still a ratio


# One user whose relevant candidate sits last on the base scores [3, 2, 1, 0] (all gaps 1,
# so the boost equals the multiplier) and spikes in a pool layer with z = sqrt(3) = 1.732.
# Boosted by b it ranks first when b > 3 (NDCG 1), second when b = 3 (the tie keeps input
# order), last without a boost.
def spike_user():
    return np.arange(3.0, -1, -1), [(np.array([0.0, 0, 0, 10]), "pool")], np.array([0.0, 0, 0, 1])


BASELINE = 1.0 / math.log2(5.0)
LIFT = 1.0 - BASELINE  # the lift of the best point over the base scores
AT_1_5 = (1.0, 5.0, 1.0, False)


@pytest.mark.parametrize(
    "z_grid, boost_grid, kw, summary",
    [
        # every point within the tolerance: the defaults, flagged as a fallback
        ([1.0, 1.5], [3.5, 5.0], {}, (2.5, 3.0, 1.0, True)),
        # highest near-best threshold, and at it the smallest boost
        ([2.0, 1.5, 1.0], [5.0, 3.5], {}, (1.5, 3.5, 1.0, False)),
        # the defaults win when they tie the best
        ([1.0, 1.5, 2.0], [3.5, 5.0], {"default_z": 1 + 1e-10, "default_boost": 5.0}, AT_1_5),
        # a wide tolerance admits the tied-second points (NDCG 1/log2(3))
        ([1.0], [3.0, 5.0, 1.0], {"tie_tolerance": 0.4}, (1.0, 3.0, INV_LOG2_3, False)),
        # not enough lift over the base scores alone: boost switched off
        ([1.0, 2.0], [5.0], {"min_lift_over_cooc_only": LIFT + 1e-9}, (2.5, 0.0, 1.0, True)),
        ([1.0, 2.0], [5.0], {"min_lift_over_cooc_only": LIFT - 1e-9}, AT_1_5),
        # an empty grid
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
    assert [e[3] for e in grid] == [3] * 8
    nobody = [(1.0, 3.0, 0.0, 0), (2.0, 3.0, 0.0, 0)], (2.5, 3.0, 0.0, True)
    assert calibrate_layered_py([], [1.0, 2.0], [3.0]) == nobody
    # A user whose relevance does not match its scores scores zero.
    short = (np.array([3.0, 2.0, 1.0, 0.0]), [], np.array([1.0, 0.0]))
    assert calibrate_layered_py([spike_user(), short], [1.0], [5.0])[0] == [(1.0, 5.0, 0.5, 2)]


@pytest.mark.parametrize("seed", range(12))
def test_calibration_matches_reference(seed):
    rng = np.random.default_rng(seed)
    users = []
    for _ in range(int(rng.integers(0, 12))):
        n = int(rng.integers(1, 30))
        layers = [
            (rng.exponential(size=n) * (rng.random(n) < 0.5), str(rng.choice(["nonzero", "pool"])))
            for _ in range(rng.integers(0, 3))
        ]
        relevance = (rng.random(n) < 0.2) * rng.integers(1, 3, n)
        users.append((rng.integers(0, 8, n) * 0.5, layers, relevance.astype(float)))
    z_grid = sorted(rng.choice([0.5, 1.0, 1.5, 2.0, 2.5, 3.0], int(rng.integers(1, 4)), False))
    boost_grid = list(rng.choice([0.0, 1.0, 2.0, 3.0, 5.0], int(rng.integers(1, 4)), False))
    counts = [int(rng.integers(0, n)) for n in (12, 25, 4)]  # k, top_k, min_nonzero
    min_lift, tie = rng.choice([0.0, 0.0, 0.02, -1.0]), float(rng.choice([0, 3e-3, 0.05]))
    options = dict(tie_tolerance=tie, min_lift_over_cooc_only=min_lift)
    grid, summary = calibrate_layered_py(users, z_grid, boost_grid, *counts, **options)
    kw = dict(zip(("k", "top_k", "min_nonzero"), counts), min_lift=min_lift, tie_tolerance=tie)
    ref_users = [(b.tolist(), [(v.tolist(), m) for v, m in ls], r.tolist()) for b, ls, r in users]
    ref_grid, ref_summary = ref_calibrate(ref_users, z_grid, boost_grid, **kw)
    assert [e[3] for e in grid] == [e[3] for e in ref_grid]
    flat = [v for e in grid for v in e[:3]]
    assert flat == pytest.approx([v for e in ref_grid for v in e[:3]], rel=1e-13)
    assert summary == pytest.approx(ref_summary, rel=1e-13)


@pytest.mark.parametrize(
    "call, error, message",
    [
        (lambda: layered_score_py(np.ones(2), [(np.ones(2),)]), IndexError, "tuple index out"),
        (lambda: calibrate_layered_py([spike_user()[:2]], [1.0], [3.0]), IndexError, "tuple index"),
        # a later bad slice fails the whole call
        (
            lambda: calibrate_layered_py(
                [spike_user(), (spike_user()[0], [(np.ones(4), "x")], spike_user()[2])],
                [1.0],
                [3.0],
            ),
            ValueError,
            "unknown z_mode: x; expected 'nonzero' or 'pool'",
        ),
    ],
)
def test_bad_layer_specs(call, error, message):
    with pytest.raises(error, match=f"^{re.escape(message)}"):
        call()
