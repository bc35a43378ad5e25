"""build_cooccurrence against SciPy's X.T @ X on power-law interaction sets of six shapes.

- heavy: 100,000 users, 50,000 items, 2,000,000 draws (a few heavy users);
- light: 100,000 users with about 17 items each over 50,000 items;
- light-1.05: 100,000 users with about 18 items each over 50,000 items, 2,000,000 draws,
  item popularity falling with exponent 1.05;
- sparse: 1,000,000 users, 200,000 items, 3,000,000 draws (user activity exponent 0.6);
- short: short histories of about 3 items each, 1,000,000 users, 200,000 items,
  3,000,000 draws;
- dense: a small dense catalogue, 50,000 users, 2,000 items, 2,000,000 draws.

Item popularity falls with exponent 0.9 unless stated. Draws are de-duplicated, weight
1.0. Checks that the off-diagonal matrices agree, then prints the best times of
`--repeat` rounds, SciPy and ours taking turns, and their ratios. ``--shapes`` picks
shapes, ``--quick`` takes a tenth of the users and draws of each. Run it again with
RAYON_NUM_THREADS=1 for one thread."""

from __future__ import annotations

import argparse
import os
import sys

import numpy as np
import scipy.sparse as sp

sys.path.insert(0, os.path.dirname(__file__))
from _common import best_of_each, power_law_interactions, print_table  # noqa: E402
from tarsel import _core  # noqa: E402

# name: (users, items, draws, user activity exponent, item popularity exponent)
SHAPES = {
    "heavy": (100_000, 50_000, 2_000_000, 0.6, 0.9),
    "light": (100_000, 50_000, 1_700_000, 0.0, 0.9),
    "light-1.05": (100_000, 50_000, 2_000_000, 0.0, 1.05),
    "sparse": (1_000_000, 200_000, 3_000_000, 0.6, 0.9),
    "short": (1_000_000, 200_000, 3_000_000, 0.0, 0.9),
    "dense": (50_000, 2_000, 2_000_000, 0.6, 0.9),
}


def scipy_cooccurrence(users, items, weights, n_users, n_items):
    x = sp.csr_matrix((weights, (users, items)), shape=(n_users, n_items))
    c = (x.T @ x).tocsr()
    c.setdiag(0)
    c.eliminate_zeros()
    return c


def measure(name: str, shape: tuple, repeat: int) -> list:
    n_users, n_items, n_draws, user_exponent, item_exponent = shape
    users, items, weights = power_law_interactions(
        n_users, n_items, n_draws, user_exponent=user_exponent, item_exponent=item_exponent
    )
    times = np.random.default_rng(1).random(len(users)) * 3e7

    (t_scipy, ref), (t_pure, (data, indices, indptr)), (t_temporal, _) = best_of_each(
        [
            lambda: scipy_cooccurrence(users, items, weights, n_users, n_items),
            lambda: _core.build_cooccurrence(users, items, weights, n_users, n_items),
            lambda: _core.build_cooccurrence(
                users, items, weights, n_users, n_items, "hybrid_temporal", 1.0, 30.0, times
            ),
        ],
        repeat,
    )

    ours = sp.csr_matrix((data, indices, indptr), shape=(n_items, n_items))
    diff = abs(ours - ref.astype(np.float32))
    assert diff.nnz == 0 or diff.max() == 0, f"{name}: off-diagonal matrices differ"
    label = f"{name} ({len(users):,} interactions, {ours.nnz:,} entries)"
    print(f"{label}: matrices agree; hybrid_temporal / pure_count {t_temporal / t_pure:.2f}")
    return [
        (f"{label} pure_count", f"{t_pure:.3f}", f"{t_scipy:.3f}", f"{t_scipy / t_pure:.2f}x"),
        (
            f"{label} hybrid_temporal",
            f"{t_temporal:.3f}",
            f"{t_scipy:.3f}",
            f"{t_scipy / t_temporal:.2f}x",
        ),
    ]


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--shapes", default=",".join(SHAPES), help="comma-separated shapes")
    parser.add_argument("--quick", action="store_true", help="a tenth of the users and draws")
    parser.add_argument("--repeat", type=int, default=5, help="rounds; the best time counts")
    args = parser.parse_args()
    rows = []
    for name in args.shapes.split(","):
        n_users, n_items, n_draws, *exponents = SHAPES[name]
        if args.quick:
            n_users, n_draws = n_users // 10, n_draws // 10
        rows += measure(name, (n_users, n_items, n_draws, *exponents), args.repeat)
    threads = os.environ.get("RAYON_NUM_THREADS", "all")
    print_table(
        f"build_cooccurrence vs SciPy X.T @ X (seconds, best of {args.repeat}, threads: {threads})",
        rows,
    )


if __name__ == "__main__":
    main()
