"""Random CSR triples and plain readings of them."""

from __future__ import annotations

import numpy as np


def random_csr(
    rng: np.random.Generator,
    n_rows: int,
    n_cols: int | None = None,
    max_per_row: int = 6,
    duplicates: bool = False,
):
    """A random CSR triple (float32, int32, int32). Columns are ascending and
    unique per row unless `duplicates`, which allows repeated columns."""
    n_cols = n_rows if n_cols is None else n_cols
    data, indices, indptr = [], [], [0]
    for _ in range(n_rows):
        k = int(rng.integers(0, max_per_row + 1)) if n_cols else 0
        if duplicates:
            cols = rng.integers(0, n_cols, size=k)
        else:
            cols = np.sort(rng.choice(n_cols, size=min(k, n_cols), replace=False))
        indices.extend(int(c) for c in cols)
        data.extend(rng.normal(size=len(cols)))
        indptr.append(len(indices))
    return (
        np.asarray(data, dtype=np.float32),
        np.asarray(indices, dtype=np.int32),
        np.asarray(indptr, dtype=np.int32),
    )


def owned_row_sum(data, indices, indptr, owned, n_cols):
    """Dense float64 sum of the owned rows, added entry by entry in order."""
    acc = [0.0] * n_cols
    n_rows = max(len(indptr) - 1, 0)
    for r in owned:
        if r < n_rows:
            for j in range(indptr[r], indptr[r + 1]):
                acc[indices[j]] += float(data[j])
    return acc
