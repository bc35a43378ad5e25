import math

import numpy as np
import pytest

from tarsel._core import InternalFailure, cooc_transform
from tests.reference.csr import random_csr

TRANSFORMS = ["raw", "cosine", "jaccard", "wilson"]


def one_entry(v, c_row, c_col):
    """Row 0 holds column 1 with value v; counts (c_row, c_col)."""
    return (np.array([v], np.float32), np.array([1], np.int32), np.array([0, 1, 1], np.int32),
            np.array([c_row, c_col], np.float64))


def reference_value(transform, v, c_row, c_col, z):
    """The transforms written out as formulas."""
    if transform == "raw":
        return v
    if transform == "cosine":
        return v / math.sqrt(c_row * c_col)
    if transform == "jaccard":
        return v / max(c_row + c_col - v, 1.0)

    def lower(n):
        p = min(max(v / n, 0.0), 1.0)
        return ((p + z * z / (2 * n) - z * math.sqrt(p * (1 - p) / n + z * z / (4 * n * n)))
                / (1 + z * z / n))
    return min(lower(c_row), lower(c_col))


def reference(data, indices, indptr, counts, transform, z):
    def count(i):
        c = counts[i] if 0 <= i < len(counts) else 1.0
        return 1.0 if math.isnan(c) else max(c, 1.0)
    out = np.zeros(len(data), np.float64)
    for r in range(len(indptr) - 1):
        for j in range(indptr[r], indptr[r + 1]):
            out[j] = reference_value(transform, float(data[j]), count(r), count(int(indices[j])), z)
    return out


@pytest.mark.parametrize("transform, v, c_row, c_col, expected", [
    ("jaccard", 3.0, 4.0, 5.0, 0.5),
    ("jaccard", 2.0, 1.0, 1.0, 2.0),       # denominator floored at 1
    ("jaccard", 3.0, 0.0, -7.0, 3.0),
    ("cosine", 3.0, 0.0, 0.0, 3.0),        # counts below 1 count as 1
    ("cosine", 6.0, 4.0, 9.0, 1.0),
    ("cosine", 2.0, float("nan"), 4.0, 1.0),  # NaN count counts as 1
    ("wilson", -2.0, 5.0, 10.0, 0.0),      # p clamped to 0 on both sides
    ("wilson", 0.0, 5.0, 10.0, 0.0),
    ("wilson", 2.0, float("inf"), 4.0, 0.0),  # proportion 0 of infinitely many
    ("raw", 2.5, 0.0, 0.0, 2.5),
])
def test_worked_examples(transform, v, c_row, c_col, expected):
    assert cooc_transform(*one_entry(v, c_row, c_col), transform).tolist() == [expected]


@pytest.mark.parametrize("n", [1.0, 4.0, 50.0, 1e6])
def test_wilson_of_full_proportion_is_below_one(n):
    # L(1, n) = n / (n + z^2): below 1, approaching 1 as n grows
    got = cooc_transform(*one_entry(n, n, n), "wilson")[0]
    assert got == np.float32(n / (n + 1.96 ** 2))
    assert got < 1.0
    assert cooc_transform(*one_entry(n, n, n), "wilson", wilson_z=0.5)[0] == np.float32(
        n / (n + 0.25))


def test_items_without_counts_count_as_one():
    data = np.array([4.0, 4.0, 4.0], np.float32)
    indices = np.array([5, -1, 0], np.int32)  # past the counts, negative, counted
    indptr = np.array([0, 3], np.int32)
    got = cooc_transform(data, indices, indptr, np.array([16.0]), "cosine")
    assert got.tolist() == [1.0, 1.0, 0.25]


@pytest.mark.parametrize("transform", TRANSFORMS[1:])
def test_uncovered_positions_stay_zero(transform):
    data = np.array([2.0, 3.0, 5.0, 7.0], np.float32)
    indices = np.array([1, 0, 0, 0], np.int32)
    indptr = np.array([0, 1, 1, 2], np.int32)  # rows cover positions 0 and 1 only
    got = cooc_transform(data, indices, indptr, np.ones(3), transform)
    assert got[2:].tolist() == [0.0, 0.0]
    assert got[:2].tolist() != [0.0, 0.0]


@pytest.mark.parametrize("indptr", [[], [0], [0, 2]])
def test_raw_is_an_equal_distinct_copy(indptr):
    data = np.array([1.5, -2.0], np.float32)
    got = cooc_transform(data, np.array([0, 1], np.int32), np.array(indptr, np.int32),
                         np.zeros(0), "raw")
    assert got.dtype == np.float32 and got.tolist() == data.tolist()
    assert not np.shares_memory(got, data)


@pytest.mark.parametrize("transform", TRANSFORMS[1:])
@pytest.mark.parametrize("indptr", [[], [0]])
def test_matrix_without_rows_gives_zeros(transform, indptr):
    got = cooc_transform(np.ones(2, np.float32), np.zeros(2, np.int32),
                         np.array(indptr, np.int32), np.ones(2), transform)
    assert got.tolist() == [0.0, 0.0]


@pytest.mark.parametrize("name", ["Cosine", "wilson ", "", "pearson"])
@pytest.mark.parametrize("matrix", [
    one_entry(1.0, 1.0, 1.0),
    (np.zeros(0, np.float32), np.zeros(0, np.int32), np.zeros(0, np.int32), np.zeros(0)),
    (np.zeros(0, np.float32), np.zeros(0, np.int32), np.zeros(3, np.int32), np.zeros(0)),
])
def test_unknown_transform_fails_whatever_the_matrix_holds(name, matrix):
    with pytest.raises(ValueError) as info:
        cooc_transform(*matrix, name)
    assert str(info.value) == "unknown cooc transform: " + name


@pytest.mark.parametrize("indptr, message", [
    ([0, 3], "index out of bounds: the len is 2 but the index is 2"),
    ([-1, 1], "index out of bounds: the len is 2 but the index is 18446744073709551615"),
])
def test_indptr_past_the_arrays_is_index_failure(indptr, message):
    with pytest.raises(InternalFailure) as info:
        cooc_transform(np.ones(2, np.float32), np.zeros(2, np.int32),
                       np.array(indptr, np.int32), np.ones(2), "jaccard")
    assert str(info.value) == message


@pytest.mark.parametrize("transform", TRANSFORMS)
@pytest.mark.parametrize("seed", range(5))
def test_random_against_formulas(transform, seed):
    rng = np.random.default_rng(seed)
    n = int(rng.integers(1, 30))
    data, indices, indptr = random_csr(rng, n, n_cols=n + 3)  # some columns lack counts
    data = (data * 10).astype(np.float32)
    counts = rng.integers(-2, 25, size=n).astype(np.float64)
    counts[rng.random(n) < 0.1] = np.nan
    z = float(rng.uniform(0.5, 3.0))
    got = cooc_transform(data, indices, indptr, counts, transform, wilson_z=z)
    want = reference(data, indices, indptr, counts, transform, z)
    np.testing.assert_allclose(got, want, rtol=1e-6, atol=1e-7)
