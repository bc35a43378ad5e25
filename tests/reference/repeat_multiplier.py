"""Repeat multiplier written directly from its formula, one candidate at a time."""

import math


def multiplier(probs, period, refractory, confidence, elapsed, epsilon=1e-3):
    if not math.isfinite(elapsed):
        return 1.0
    p = period if period > 1e-9 else 1e-9
    t = max(elapsed, 0.0) / p
    r = refractory / p
    r = r if r > 1e-9 else 1e-9
    q = t / r
    x = (t - 0.7) * 6.0
    replenish = 1.0 / (math.exp(-x) + 1.0) if x >= 0 else math.exp(x) / (math.exp(x) + 1.0)
    curves = (1.0, replenish, 1.0 - math.exp(-(q * q)), epsilon)
    mix = 0.0
    for pk, ck in zip(probs, curves):
        if pk > 0:
            mix += pk * ck
    c = confidence
    if c < 0:
        c = 0.0
    elif c > 1:
        c = 1.0
    return (1.0 - c) + c * mix
