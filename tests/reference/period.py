"""Period detection written from its formula, in plain Python floats.

Sums run left to right (no compensated summation) and the elementary
functions come from :mod:`math`. Grid points and medians agree with the module
to the bit; densities may differ in the last bit, because the module evaluates
its many kernel terms with its own exponential.
"""

from __future__ import annotations

import math

GRID = 256


def positive_gaps(intervals) -> list[float]:
    return [float(v) for v in intervals if v > 0]


def log_gap_density(gaps: list[float]):
    """(grid, density) of the Gaussian kernel density estimate over log-gaps,
    or None when the log-gaps are (nearly) all equal."""
    n = len(gaps)
    ys = [math.log(g) for g in gaps]
    total = 0.0
    for y in ys:
        total += y
    mu = total / n
    squares = 0.0
    for y in ys:
        squares += (y - mu) * (y - mu)
    sigma = math.sqrt(squares / n)
    lo, hi = min(ys), max(ys)
    if sigma < 1e-9 or hi - lo < 1e-9:
        return None
    h = float(n) ** -0.2 * sigma
    norm = 1.0 / ((h * n) * math.sqrt(2.0 * math.pi))
    grid = [lo + (k * (hi - lo)) / 255.0 for k in range(GRID)]
    density = []
    for g in grid:
        acc = 0.0
        for y in ys:
            z = (g - y) / h
            acc += math.exp(z * (z * -0.5))
        density.append(norm * acc)
    return grid, density


def peaks(density: list[float]) -> list[int]:
    return [
        k for k in range(1, GRID - 1) if density[k] > density[k - 1] and density[k] > density[k + 1]
    ]


def detect_period(intervals) -> tuple[float, float]:
    gaps = positive_gaps(intervals)
    n = len(gaps)
    if n == 0:
        return math.nan, 0.0
    if n < 10:
        s = sorted(gaps)
        median = s[n // 2] if n % 2 else 0.5 * (s[n // 2 - 1] + s[n // 2])
        return median, 0.3
    estimate = log_gap_density(gaps)
    if estimate is None:
        return gaps[0], 0.9
    grid, density = estimate
    tops = peaks(density)
    # Ties go to the later grid point (the longer period).
    if not tops:
        mode, ratio = max(range(GRID), key=lambda k: (density[k], k)), 0.0
    else:
        mode = max(tops, key=lambda k: (density[k], k))
        ratio = 0.0
        if len(tops) > 1:
            first, second = sorted((density[k] for k in tops), reverse=True)[:2]
            ratio = second / max(first, 1e-9)
    return math.exp(grid[mode]), min(max(1.0 - ratio, 0.0), 1.0)
