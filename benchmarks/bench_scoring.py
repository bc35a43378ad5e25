"""Scoring hot paths against the same computations written with NumPy.

* multipliers_batch on 1,000,000 candidates against the multiplier formula as
  vectorised NumPy.
* calibrate_layered_py on 1,000 users x 200 candidates with a 5 x 5 grid
  against the same grid loop written with NumPy (layered scoring and NDCG per
  user and grid point).

Each pair is checked to agree before the times are printed."""

from __future__ import annotations

import os
import sys

import numpy as np

sys.path.insert(0, os.path.dirname(__file__))
from _common import best_of, print_table  # noqa: E402
from tarsel import _core  # noqa: E402

N_CANDIDATES = 1_000_000
N_USERS, N_PER_USER = 1_000, 200
Z_GRID = [1.5, 2.0, 2.5, 3.0, 3.5]
BOOST_GRID = [1.0, 2.0, 3.0, 4.0, 5.0]
K, TOP_K, MIN_NONZERO = 10, 20, 3

# ------------------------------------------------------------- multipliers


def numpy_multipliers(probs, periods, refractories, confidences, elapsed, eps=1e-3):
    finite = np.isfinite(elapsed)
    p = np.fmax(periods, 1e-9)
    t = np.maximum(np.where(finite, elapsed, 0.0), 0.0) / p
    r = np.fmax(refractories / p, 1e-9)
    q = t / r
    x = (t - 0.7) * 6.0
    ex = np.exp(-np.abs(x))
    replenish = np.where(x >= 0, 1.0 / (ex + 1.0), ex / (ex + 1.0))
    curves = np.stack([np.ones_like(t), replenish, 1.0 - np.exp(-(q * q)), np.full_like(t, eps)], 1)
    mix = np.where(probs > 0, probs * curves, 0.0).sum(axis=1)
    c = np.clip(confidences, 0.0, 1.0)
    return np.where(finite, (1.0 - c) + c * mix, 1.0)


def bench_multipliers():
    rng = np.random.default_rng(0)
    n = N_CANDIDATES
    probs = rng.dirichlet(np.ones(4), n)
    periods = rng.uniform(1, 60, n) * 86400
    refractories = rng.uniform(0.5, 10, n) * 86400
    confidences = rng.uniform(0, 1, n)
    elapsed = np.where(rng.random(n) < 0.2, np.nan, rng.uniform(0, 90, n) * 86400)
    args = (probs, periods, refractories, confidences, elapsed)
    t_ours, ours = best_of(lambda: _core.multipliers_batch(*args), repeat=5)
    t_numpy, ref = best_of(lambda: numpy_multipliers(*args), repeat=5)
    np.testing.assert_allclose(ours, ref, rtol=1e-12, atol=1e-15)
    return ("multipliers_batch, 1M", t_ours, t_numpy)


# ------------------------------------------------------------- calibration


def numpy_layered(base, layers, z, b):
    out = base.copy()
    top = -np.sort(-base)[:TOP_K]
    gaps = top[:-1] - top[1:]
    gaps = gaps[gaps > 0]
    boost = b * np.median(gaps) if len(top) >= 2 and len(gaps) else 0.0
    if boost <= 0:
        return out
    for values, mode in layers:
        eligible = values > 0 if mode == "nonzero" else np.ones(len(values), bool)
        pool = values[eligible]
        if len(pool) == 0 or len(pool) < MIN_NONZERO:
            continue
        std = max(pool.std(), 1e-9)
        out[eligible & ((values - pool.mean()) / std > z)] += boost
    return out


def numpy_ndcg(scores, relevance, ideal):
    order = np.argsort(-scores, kind="stable")[:K]
    discounts = np.log2(np.arange(len(order)) + 2.0)
    dcg = ((2.0 ** relevance[order] - 1.0) / discounts).sum()
    return dcg / ideal if ideal > 0 else 0.0


def numpy_ideal(relevance):
    top = -np.sort(-relevance)[:K]
    return ((2.0**top - 1.0) / np.log2(np.arange(len(top)) + 2.0)).sum()


def numpy_calibrate_grid(users):
    ideals = [numpy_ideal(rel) for _, _, rel in users]
    grid = []
    for z in Z_GRID:
        for b in BOOST_GRID:
            total = 0.0
            for (base, layers, rel), ideal in zip(users, ideals):
                total += numpy_ndcg(numpy_layered(base, layers, z, b), rel, ideal)
            grid.append(total / len(users))
    return grid


def calibration_users():
    rng = np.random.default_rng(1)
    users = []
    for _ in range(N_USERS):
        base = np.sort(rng.gamma(2.0, 1.0, N_PER_USER))[::-1].copy()
        relevance = (rng.random(N_PER_USER) < 0.05).astype(float)
        cooc = rng.exponential(1.0, N_PER_USER) * (rng.random(N_PER_USER) < 0.3)
        cooc += relevance * rng.exponential(3.0, N_PER_USER)
        dense = rng.normal(size=N_PER_USER) + relevance * 2.0
        users.append((base, [(cooc, "nonzero"), (dense, "pool")], relevance))
    return users


def bench_calibration():
    users = calibration_users()
    t_ours, (grid, _) = best_of(
        lambda: _core.calibrate_layered_py(users, Z_GRID, BOOST_GRID, K, TOP_K, MIN_NONZERO),
        repeat=3,
    )
    t_numpy, ref = best_of(lambda: numpy_calibrate_grid(users), repeat=1)
    np.testing.assert_allclose([e[2] for e in grid], ref, rtol=1e-9)
    return ("calibrate_layered_py, 1000 x 200, 5 x 5", t_ours, t_numpy)


def main() -> None:
    rows = []
    for name, ours, baseline in (bench_multipliers(), bench_calibration()):
        rows.append((name, f"{ours:.4f}", f"{baseline:.4f}", f"{baseline / ours:.1f}x"))
    print_table("Scoring vs NumPy (seconds, best of runs)", rows)


if __name__ == "__main__":
    main()
