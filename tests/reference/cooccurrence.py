"""A direct, slow co-occurrence reference: a dict of pair sums, one user at a time."""

from __future__ import annotations

import math
from collections import defaultdict

import numpy as np


def cooccurrence_dense(
    user_idx, item_idx, weights, n_users, n_items, timestamps=None, alpha=1.0, half_life_days=30.0
) -> np.ndarray:
    """The symmetric matrix as a dense float32 array; NaN-free inputs assumed."""
    histories = defaultdict(list)
    for k, (u, i) in enumerate(zip(user_idx, item_idx)):
        if 0 <= u < n_users and 0 <= i < n_items:
            t = float(timestamps[k]) if timestamps is not None else 0.0
            histories[int(u)].append((int(i), np.float32(weights[k]), t))
    tau = max(half_life_days * 86400.0, 1.0)
    if math.isnan(tau):
        tau = 1.0
    sums = defaultdict(float)
    for records in histories.values():
        for p in range(len(records)):
            for q in range(p + 1, len(records)):
                (ip, wp, tp), (iq, wq, tq) = records[p], records[q]
                if ip == iq:
                    continue
                w = float(np.float32(wp * wq))
                if timestamps is not None:
                    w *= 1.0 + alpha / (1.0 + math.exp(abs(tp - tq) / tau))
                sums[min(ip, iq), max(ip, iq)] += w
    dense = np.zeros((n_items, n_items), dtype=np.float32)
    for (lo, hi), s in sums.items():
        dense[lo, hi] = dense[hi, lo] = np.float32(s)
    return dense


def csr_to_dense(data, indices, indptr, n) -> np.ndarray:
    dense = np.zeros((n, n), dtype=np.float32)
    for r in range(n):
        for k in range(indptr[r], indptr[r + 1]):
            dense[r, indices[k]] = data[k]
    return dense
