"""metadata_knn: the skipping and capping rules, bad CSR input, and dense F @ F.T."""

import numpy as np
import pytest

from tarsel._core import InternalFailure, metadata_knn


def knn(rows, n_features, **kwargs):
    """metadata_knn of a list of rows, each a list of (feature, value)."""
    data = np.array([v for row in rows for _, v in row], np.float32)
    indices = np.array([f for row in rows for f, _ in row], np.int32)
    indptr = np.cumsum([0] + [len(row) for row in rows]).astype(np.int32)
    return as_lists(metadata_knn(data, indices, indptr, n_features, **kwargs))


def as_lists(result):
    return tuple(np.asarray(p).tolist() for p in result)


def test_groups_are_ranked_and_ties_go_to_the_smaller_item():
    rows = [[(0, 1.0), (1, 1.0)], [(0, 2.0)], [(1, 2.0)], [(0, 1.0), (1, 3.0)], [(2, 5.0)]]
    assert knn(rows, 3) == (
        [0, 0, 0, 1, 1, 2, 2, 3, 3, 3],
        [3, 1, 2, 0, 3, 3, 0, 2, 0, 1],
        [4.0, 2.0, 2.0, 2.0, 2.0, 6.0, 2.0, 6.0, 4.0, 2.0],
    )
    # The cut keeps the best; among equal scores the smaller items.
    assert knn(rows, 3, top_k=1) == ([0, 1, 2, 3], [3, 0, 3, 2], [4.0, 2.0, 6.0, 6.0])


@pytest.mark.parametrize(
    "rows, n_features, kwargs",
    [
        ([[(0, 1.0)], [(0, 1.0)]], 1, dict(top_k=0)),
        ([[(0, 1.0)], [(0, 1.0)]], 0, {}),
    ],
)
def test_no_neighbours(rows, n_features, kwargs):
    assert knn(rows, n_features, **kwargs) == ([], [], [])


def test_max_df_keeps_a_feature_at_the_cap_and_drops_it_above():
    rows = [[(0, 1.0), (1, 1.0)], [(0, 2.0)], [(1, 1.0)], [(1, 1.0)]]
    # Feature 1 is carried by 3 items: above a cap of 2, so items 2 and 3, which share
    # nothing else, have no neighbour.
    assert knn(rows, 2, max_df=2) == ([0, 1], [1, 0], [2.0, 2.0])
    assert knn(rows, 2, max_df=3)[0] == [0, 0, 0, 1, 2, 2, 3, 3]


def test_inverted_and_negative_row_ranges_are_empty():
    data, indices = np.ones(3, np.float32), np.zeros(3, np.int32)
    # Rows [0, 2), [2, 1) (inverted: empty), [1, 3) and [3, 3).
    got = metadata_knn(data, indices, np.array([0, 2, 1, 3, 3], np.int32), 1)
    assert as_lists(got)[:2] == ([0, 2], [2, 0])
    # A negative start compares as a huge position: the row is inverted.
    got = metadata_knn(data, indices, np.array([-1, 3, 3], np.int32), 1)
    assert as_lists(got) == ([], [], [])


@pytest.mark.parametrize("n_data, indptr, index", [(3, [0, 2, 4], 3), (2, [0, 3], 2)])
def test_rows_past_the_arrays(n_data, indptr, index):
    with pytest.raises(InternalFailure) as err:
        metadata_knn(np.ones(n_data, np.float32), np.zeros(3, np.int32), np.int32(indptr), 1)
    assert str(err.value) == f"index out of bounds: the len is {n_data} but the index is {index}"


def knn_reference(data, indices, indptr, n_features, top_k, max_df):
    """Dense float64 F @ F.T, self-pairs removed, the best top_k positive scores per item
    ordered by score descending then item ascending."""
    n_items = len(indptr) - 1
    f = np.zeros((n_items, n_features))
    df = np.zeros(n_features, np.int64)
    for r in range(n_items):
        for j in range(indptr[r], indptr[r + 1]):
            if 0 <= indices[j] < n_features:
                f[r, indices[j]] += data[j]
                df[indices[j]] += 1
    if max_df:
        f[:, df > max_df] = 0.0
    s = f @ f.T
    out = ([], [], [])
    for i in range(n_items):
        ranked = sorted((-s[i, o], o) for o in range(n_items) if o != i and s[i, o] > 0)
        for part, values in zip(out, zip(*[(i, o, -neg) for neg, o in ranked[:top_k]])):
            part.extend(values)
    return out


@pytest.mark.parametrize(
    "seed, n_items, n_features, top_k, max_df",
    [(0, 30, 8, 5, 0), (1, 80, 20, 3, 6), (2, 200, 40, 20, 0), (3, 50, 5, 100, 12)],
)
def test_matches_dense_products(seed, n_items, n_features, top_k, max_df):
    rng = np.random.default_rng(seed)
    indptr = np.concatenate([[0], np.cumsum(rng.integers(0, 6, n_items))]).astype(np.int32)
    # Small integer values keep every score exact whatever the summation order, so even
    # ties compare exactly; duplicates and out-of-range features included.
    indices = rng.integers(-1, n_features + 2, indptr[-1]).astype(np.int32)
    data = rng.integers(-2, 5, indptr[-1]).astype(np.float32)
    got = as_lists(metadata_knn(data, indices, indptr, n_features, top_k=top_k, max_df=max_df))
    assert got == knn_reference(data, indices, indptr, n_features, top_k, max_df)
