"""fit_repeat_profile and fit_channels against the usual NumPy/pandas way.

Both sides work on the same 2,000,000 timestamped interactions and return the
same Python lists; each figure is the best of a few runs in this process.
"""

from __future__ import annotations

import math
import os
import sys

import numpy as np
import pandas as pd

sys.path.insert(0, os.path.dirname(__file__))
from _common import best_of, print_table  # noqa: E402
from tarsel._core import fit_channels, fit_repeat_profile  # noqa: E402

N_USERS = 100_000
N_ITEMS = 20_000
N_INTERACTIONS = 2_000_000
DAY = 86_400.0


def interactions(seed: int = 0):
    """Repeat-heavy data: user-item pairs with geometric repeat counts, each
    repeated around its own period with multiplicative noise."""
    rng = np.random.default_rng(seed)
    n_pairs = N_INTERACTIONS // 3
    counts = rng.geometric(0.3, n_pairs)
    counts = counts[: np.searchsorted(np.cumsum(counts), N_INTERACTIONS) + 1]
    counts[-1] -= counts.sum() - N_INTERACTIONS
    pair_users = rng.integers(0, N_USERS, len(counts))
    pair_items = np.minimum(rng.zipf(1.3, len(counts)) - 1, N_ITEMS - 1)
    periods = np.exp(rng.uniform(math.log(DAY), math.log(60 * DAY), len(counts)))
    users = np.repeat(pair_users, counts)
    items = np.repeat(pair_items, counts)
    gaps = np.repeat(periods, counts) * rng.lognormal(0.0, 0.3, N_INTERACTIONS)
    starts = np.repeat(rng.uniform(0, 365 * DAY, len(counts)), counts)
    times = (
        starts + np.cumsum(gaps) - np.repeat(np.cumsum(gaps)[np.cumsum(counts) - counts], counts)
    )
    times = np.round(times)  # whole seconds, as logged
    order = rng.permutation(N_INTERACTIONS)
    return users[order].astype(np.int64), items[order].astype(np.int64), times[order]


# ------------------------------------------------------- the NumPy profile


def numpy_periods(gaps, run_of_gap, n_runs):
    """The period rule over the gaps of many runs at once: the median below
    ten positive gaps, otherwise the log-gap density mode and peak ratio."""
    keep = gaps > 0
    gaps, run_of_gap = gaps[keep], run_of_gap[keep]
    n_pos = np.bincount(run_of_gap, minlength=n_runs)
    start = np.concatenate([[0], np.cumsum(n_pos)[:-1]])
    period = np.full(n_runs, np.nan)
    quality = np.zeros(n_runs)
    for n in np.unique(n_pos[n_pos > 0]):
        runs = np.flatnonzero(n_pos == n)
        block = gaps[start[runs, None] + np.arange(n)]
        if n < 10:
            period[runs] = np.median(block, axis=1)
            quality[runs] = 0.3
            continue
        for r, g in zip(runs, block):
            period[r], quality[r] = numpy_density_period(g)
    return period, quality


def numpy_density_period(g):
    y = np.log(g)
    n = len(y)
    sigma = y.std()
    lo, hi = y.min(), y.max()
    if sigma < 1e-9 or hi - lo < 1e-9:
        return g[0], 0.9
    h = n**-0.2 * sigma
    grid = lo + (np.arange(256) * (hi - lo)) / 255.0
    z = (grid[:, None] - y[None, :]) / h
    density = np.exp(z * (z * -0.5)).sum(axis=1) / ((h * n) * math.sqrt(2 * math.pi))
    inner = density[1:-1]
    peaks = np.flatnonzero((inner > density[:-2]) & (inner > density[2:])) + 1
    if len(peaks) == 0:
        return math.exp(grid[255 - np.argmax(density[::-1])]), 1.0
    top = np.sort(density[peaks])[::-1]
    mode = peaks[len(peaks) - 1 - np.argmax(density[peaks][::-1])]
    ratio = top[1] / max(top[0], 1e-9) if len(peaks) > 1 else 0.0
    return math.exp(grid[mode]), min(max(1.0 - ratio, 0.0), 1.0)


def numpy_profile(users, items, times, n_users, min_count=2):
    order = np.lexsort((times, items, users))
    u, i, t = users[order], items[order], times[order]
    new_run = np.ones(len(u), bool)
    new_run[1:] = (u[1:] != u[:-1]) | (i[1:] != i[:-1])
    starts = np.flatnonzero(new_run)
    lengths = np.diff(np.append(starts, len(u)))
    run_of = np.cumsum(new_run) - 1
    inside = ~new_run[1:]  # gaps within a run
    gap_run = run_of[1:][inside]
    gaps = np.diff(t)[inside]
    period, quality = numpy_periods(gaps, gap_run, len(starts))
    kept = lengths >= min_count
    run_users = u[starts[kept]]
    indptr = np.concatenate([[0], np.cumsum(np.bincount(run_users, minlength=n_users))])
    last = t[starts + lengths - 1]
    return (
        indptr.tolist(),
        i[starts[kept]].tolist(),
        lengths[kept].astype(float).tolist(),
        last[kept].tolist(),
        period[kept].tolist(),
        quality[kept].tolist(),
    )


# ------------------------------------------------------ the pandas channels


def pandas_channels(users, items, times, n_users, n_items, fraction):
    counts = np.bincount(items, minlength=n_items).astype(float)
    t_max, t_min = np.nanmax(times), np.nanmin(times)
    recent = np.bincount(items[times >= t_max - fraction * (t_max - t_min)], minlength=n_items)
    trend = (recent - recent.mean()) / recent.std()
    frame = pd.DataFrame({"user": users, "item": items})
    pairs = frame.drop_duplicates().sort_values(["item", "user"])
    indptr = np.concatenate([[0], np.cumsum(np.bincount(pairs["item"], minlength=n_items))])
    degrees = frame.groupby("user")["item"].nunique().reindex(range(n_users), fill_value=0)
    return (
        counts.tolist(),
        trend.tolist(),
        pairs["user"].tolist(),
        indptr.tolist(),
        degrees.astype(float).tolist(),
    )


def main():
    users, items, times = interactions()
    rows = []

    ours, profile = best_of(lambda: fit_repeat_profile(users, items, times, N_USERS))
    theirs, reference = best_of(lambda: numpy_profile(users, items, times, N_USERS))
    assert profile[:4] == reference[:4]
    np.testing.assert_allclose(profile[4], reference[4], rtol=1e-9)
    np.testing.assert_allclose(profile[5], reference[5], rtol=1e-9, atol=1e-12)
    rows.append(("fit_repeat_profile", ours, "NumPy lexsort + period rule", theirs))

    ours, channels = best_of(
        lambda: fit_channels(users, items, times, N_USERS, N_ITEMS, N_ITEMS, 0.1, True, True)
    )
    theirs, reference = best_of(lambda: pandas_channels(users, items, times, N_USERS, N_ITEMS, 0.1))
    assert channels[0] == reference[0] and channels[2:] == reference[2:]
    np.testing.assert_allclose(channels[1], reference[1], rtol=1e-9, atol=1e-12)
    rows.append(("fit_channels", ours, "pandas drop_duplicates/groupby.nunique", theirs))

    print_table(
        f"{N_INTERACTIONS:,} interactions, {N_USERS:,} users, {N_ITEMS:,} items, "
        f"{len(profile[1]):,} repeat pairs",
        [
            (name, f"{ours:.3f} s", f"{theirs:.3f} s ({baseline})", f"{theirs / ours:.1f}x")
            for name, ours, baseline, theirs in rows
        ],
    )


if __name__ == "__main__":
    main()
