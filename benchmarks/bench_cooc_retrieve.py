"""cooccurrence_retrieve per request against SciPy row slicing, sum and argpartition.

The graph is built by build_cooccurrence from a power-law interaction set
(100,000 users, 50,000 items, 2,000,000 draws, de-duplicated per user and
item); each request owns one user's history. Both ways answer the same
requests in the same run; the table gives the time per request and the ratio.
"""

from __future__ import annotations

import os

# Idle BLAS threads would spin on the shared cores; neither side uses BLAS.
os.environ.setdefault("OPENBLAS_NUM_THREADS", "1")

import time  # noqa: E402

import numpy as np  # noqa: E402
import scipy.sparse as sp  # noqa: E402

from tarsel._core import build_cooccurrence, cooccurrence_retrieve

N_USERS, N_ITEMS, N_DRAWS = 100_000, 50_000, 2_000_000
N_REQUESTS = 300
BUDGETS = (50, 500)


def power_law_interactions(seed: int = 0):
    rng = np.random.default_rng(seed)
    users = rng.integers(0, N_USERS, N_DRAWS)
    popularity = 1.0 / np.arange(1, N_ITEMS + 1) ** 0.9
    items = rng.choice(N_ITEMS, N_DRAWS, p=popularity / popularity.sum())
    pairs = np.unique(users * N_ITEMS + items)
    return (pairs // N_ITEMS).astype(np.int64), (pairs % N_ITEMS).astype(np.int64)


def scipy_retrieve(matrix: sp.csr_matrix, owned: np.ndarray, budget: int):
    scores = np.asarray(matrix[owned].sum(axis=0)).ravel()
    scores[owned] = 0.0
    k = min(budget, scores.size)
    top = np.argpartition(-scores, k - 1)[:k] if k < scores.size else np.arange(scores.size)
    top = top[np.lexsort((top, -scores[top]))]
    top = top[scores[top] > 0]
    return top.tolist(), scores[top].tolist()


def per_request(fn, requests) -> float:
    """CPU time of this thread per request: on a shared machine it is steadier
    than wall time, and both sides run on this thread only."""
    started = time.thread_time()
    for owned in requests:
        fn(owned)
    return (time.thread_time() - started) / len(requests)


def main() -> None:
    users, items = power_law_interactions()
    started = time.perf_counter()
    data, indices, indptr = build_cooccurrence(
        users, items, np.ones(len(users), np.float32), N_USERS, N_ITEMS
    )
    print(
        f"graph: {len(users):,} interactions, {len(data):,} stored entries, "
        f"built in {time.perf_counter() - started:.1f} s"
    )
    matrix = sp.csr_matrix((data, indices, indptr), shape=(N_ITEMS, N_ITEMS))

    starts = np.searchsorted(users, np.arange(N_USERS + 1))
    rng = np.random.default_rng(1)
    picked = rng.choice(N_USERS, N_REQUESTS, replace=False)
    requests = [items[starts[u] : starts[u + 1]] for u in picked]
    owned_lists = [r.tolist() for r in requests]
    mean_owned = np.mean([len(r) for r in requests])
    row_entries = np.mean([np.sum(np.diff(indptr)[r]) for r in requests])
    print(
        f"requests: {N_REQUESTS}, {mean_owned:.1f} owned items and "
        f"{row_entries:,.0f} row entries each on average\n"
    )

    print(
        f"{'budget':>6} | {'tarsel (us/request)':>20} | {'SciPy (us/request)':>19} | "
        f"{'SciPy / tarsel':>14}"
    )
    print("-" * 70)
    for budget in BUDGETS:
        for owned, owned_list in zip(requests[:20], owned_lists):
            ours = cooccurrence_retrieve(data, indices, indptr, owned_list, budget)
            theirs = scipy_retrieve(matrix, owned, budget)
            assert np.allclose(ours[1], theirs[1], rtol=1e-9), "results differ"
        ours_t = min(
            per_request(
                lambda o, b=budget: cooccurrence_retrieve(data, indices, indptr, o, b), owned_lists
            )
            for _ in range(3)
        )
        theirs_t = min(
            per_request(lambda o, b=budget: scipy_retrieve(matrix, o, b), requests)
            for _ in range(3)
        )
        print(
            f"{budget:>6} | {ours_t * 1e6:>20.1f} | {theirs_t * 1e6:>19.1f} | "
            f"{theirs_t / ours_t:>13.1f}x"
        )


if __name__ == "__main__":
    main()
