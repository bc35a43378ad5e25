"""NDCG at k and the grid calibration of the layered scorer, written from their rules."""

import math

from reference.layered import layered_score


def ndcg(scores, relevance, k):
    n = len(scores)
    if n == 0 or n != len(relevance):
        return 0.0

    def dcg(rels):
        return sum((2.0**r - 1.0) / math.log2(i + 2) for i, r in enumerate(rels[:k]))

    order = sorted(range(n), key=lambda i: -scores[i])  # stable: ties keep input order
    ideal = dcg(sorted(relevance, reverse=True))
    return dcg([relevance[i] for i in order]) / ideal if ideal > 0 else 0.0


def calibrate(
    users,
    z_grid,
    boost_grid,
    k=10,
    top_k=20,
    min_nonzero=3,
    default_z=2.5,
    default_boost=3.0,
    tie_tolerance=0.003,
    min_lift=0.0,
):
    grid = []
    for z in z_grid:
        for b in boost_grid:
            values = [
                ndcg(layered_score(base, layers, z, b, top_k, min_nonzero), rel, k)
                for base, layers, rel in users
            ]
            grid.append((z, b, sum(values) / len(users) if users else 0.0, len(users)))
    baseline = sum(ndcg(base, rel, k) for base, _, rel in users) / max(len(users), 1)
    if not grid:
        return grid, (default_z, default_boost, 0.0, True)
    best = max(reversed(grid), key=lambda e: e[2])[2]  # later entries win ties
    if best - baseline < min_lift:
        return grid, (default_z, 0.0, best, True)
    near = [e for e in grid if best - e[2] <= tie_tolerance]
    if len(near) == len(grid):
        return grid, (default_z, default_boost, best, True)
    for z, b, value, _ in near:
        if abs(z - default_z) < 1e-9 and abs(b - default_boost) < 1e-9:
            return grid, (z, b, value, False)
    z, b, value, _ = sorted(near, key=lambda e: (-e[0], e[1]))[0]
    return grid, (z, b, value, False)
