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
1.0. Checks that the off-diagonal matrices agree, then runs `--repeat` rounds, SciPy and
ours back to back in each, and prints the median times and the median of the rounds'
ratios, so that a change in the machine's load between rounds moves both sides alike.
The load average before and after is printed with the table: on a shared machine, figures
are comparable only within one run. ``--shapes`` picks shapes, ``--quick`` takes a tenth
of the users and draws of each. Run it again with RAYON_NUM_THREADS=1 for one thread."""

from __future__ import annotations

import argparse
import os
import statistics
import sys
import time

import numpy as np
import scipy.sparse as sp

sys.path.insert(0, os.path.dirname(__file__))
from _common import power_law_interactions, print_table  # noqa: E402
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


def rounds_of_each(fns: list, repeat: int) -> tuple[list[list[float]], list[list[float]], list]:
    """Wall and process CPU times of each function in every round (the functions back to
    back within a round), and the last result of each."""
    wall: list[list[float]] = [[] for _ in fns]
    cpu: list[list[float]] = [[] for _ in fns]
    results: list = [None] * len(fns)
    for _ in range(repeat):
        for k, fn in enumerate(fns):
            start, start_cpu = time.perf_counter(), time.process_time()
            results[k] = fn()
            wall[k].append(time.perf_counter() - start)
            cpu[k].append(time.process_time() - start_cpu)
    return wall, cpu, results


def load_average() -> str:
    return " ".join(f"{x:.2f}" for x in os.getloadavg())


def measure(name: str, shape: tuple, repeat: int) -> list:
    n_users, n_items, n_draws, user_exponent, item_exponent = shape
    users, items, weights = power_law_interactions(
        n_users, n_items, n_draws, user_exponent=user_exponent, item_exponent=item_exponent
    )
    times = np.random.default_rng(1).random(len(users)) * 3e7

    wall, cpu, results = rounds_of_each(
        [
            lambda: scipy_cooccurrence(users, items, weights, n_users, n_items),
            lambda: _core.build_cooccurrence(users, items, weights, n_users, n_items),
            lambda: _core.build_cooccurrence(
                users, items, weights, n_users, n_items, "hybrid_temporal", 1.0, 30.0, times
            ),
        ],
        repeat,
    )
    t_scipy, t_pure, t_temporal = wall
    ref, (data, indices, indptr) = results[0], results[1]

    ours = sp.csr_matrix((data, indices, indptr), shape=(n_items, n_items))
    diff = abs(ours - ref.astype(np.float32))
    assert diff.nnz == 0 or diff.max() == 0, f"{name}: off-diagonal matrices differ"
    label = f"{name} ({len(users):,} interactions, {ours.nnz:,} entries)"
    median = statistics.median
    ratios = {
        kernel: [s / t for s, t in zip(t_scipy, ts)]
        for kernel, ts in (("pure_count", t_pure), ("hybrid_temporal", t_temporal))
    }
    # SciPy runs on one thread, we on all: the ratio of CPU times is the ratio of the work
    # each thread does, what bounds the wall-clock ratio on a machine with few cores.
    work = median(s / t for s, t in zip(cpu[0], cpu[1]))
    print(
        f"{label}: matrices agree; pure_count ratios per round "
        + " ".join(f"{r:.2f}" for r in ratios["pure_count"])
        + f"; CPU-time ratio {work:.2f}; load average {load_average()}"
    )
    return [
        (
            f"{label} {kernel}",
            f"{median(ts):.3f}",
            f"{median(t_scipy):.3f}",
            f"{median(ratios[kernel]):.2f}x",
        )
        for kernel, ts in (("pure_count", t_pure), ("hybrid_temporal", t_temporal))
    ]


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--shapes", default=",".join(SHAPES), help="comma-separated shapes")
    parser.add_argument("--quick", action="store_true", help="a tenth of the users and draws")
    parser.add_argument("--repeat", type=int, default=5, help="rounds; the medians count")
    args = parser.parse_args()
    rows = []
    before = load_average()
    for name in args.shapes.split(","):
        n_users, n_items, n_draws, *exponents = SHAPES[name]
        if args.quick:
            n_users, n_draws = n_users // 10, n_draws // 10
        rows += measure(name, (n_users, n_items, n_draws, *exponents), args.repeat)
    threads = os.environ.get("RAYON_NUM_THREADS", "all")
    print_table(
        f"build_cooccurrence vs SciPy X.T @ X (seconds, median of {args.repeat} rounds and "
        f"median ratio, threads: {threads}; load average before {before}, after {load_average()})",
        rows,
    )


if __name__ == "__main__":
    main()
