"""Layered z-score boosting written directly from its rules (no NaN in the base)."""

import math

NONZERO = {"nonzero", "nonzero_subset", "sparse"}


def boost_amount(base, top_k, multiplier):
    top = sorted(base, reverse=True)[: min(len(base), top_k)]
    gaps = sorted(g for g in (a - b for a, b in zip(top, top[1:])) if g > 0)
    if len(top) < 2 or not gaps:
        return 0.0
    m = len(gaps)
    median = gaps[m // 2] if m % 2 else (gaps[m // 2 - 1] + gaps[m // 2]) / 2.0
    return multiplier * median


def layered_score(base, layers, z_threshold=2.5, boost_multiplier=3.0, top_k=20, min_nonzero=3):
    out = [float(v) for v in base]
    n = len(out)
    boost = boost_amount(out, top_k, boost_multiplier) if n >= 2 else 0.0
    if not layers or not boost > 0:
        return out
    for values, mode in layers:
        if len(values) != n:
            continue
        nonzero = mode in NONZERO
        pool = [float(v) for v in values if v > 0] if nonzero else [float(v) for v in values]
        if not pool or len(pool) < min_nonzero:
            continue
        mean = sum(pool) / len(pool)
        var = sum((x - mean) * (x - mean) for x in pool) / len(pool)
        root = math.sqrt(var) if var == var else float("nan")
        std = root if root > 1e-9 else 1e-9
        for i, v in enumerate(values):
            if (not nonzero or v > 0) and (v - mean) / std > z_threshold:
                out[i] += boost
    return out
