from collections import defaultdict

import numpy as np
import pytest
import scipy.sparse as sp

from tarsel._core import InternalFailure, build_directional_cooc, symmetrize_via_transpose
from tests.reference.csr import random_csr

i64 = lambda xs: np.asarray(xs, dtype=np.int64)  # noqa: E731
f32 = lambda xs: np.asarray(xs, dtype=np.float32)  # noqa: E731
f64 = lambda xs: np.asarray(xs, dtype=np.float64)  # noqa: E731
A, B, C = 0, 1, 2


def directional(sessions, items, weights=None, n_sessions=2, n_items=3, timestamps=None):
    weights = [1.0] * len(items) if weights is None else weights
    ts = None if timestamps is None else f64(timestamps)
    return build_directional_cooc(i64(sessions), i64(items), f32(weights), n_sessions, n_items,
                                  timestamps=ts)


def as_entries(csr):
    data, indices, indptr = csr
    return {(r, indices[j]): data[j] for r in range(len(indptr) - 1)
            for j in range(indptr[r], indptr[r + 1])}


def lists_of(rows, n):
    """CSR lists of a {(row, col): value} dict."""
    data, indices, indptr = [], [], [0]
    for r in range(n):
        for (row, col), v in sorted(rows.items()):
            if row == r:
                indices.append(col)
                data.append(v)
        indptr.append(len(indices))
    return data, indices, indptr


@pytest.mark.parametrize("sessions, items, weights, timestamps, expected", [
    ([0, 0, 0, 0], [A, B, A, C], None, None, {(A, B): 1.0, (B, A): 1.0, (A, C): 1.0}),
    ([0, 0, 0], [A, A, B], None, None, {(A, B): 1.0}),
    ([0, 0, 0], [A, B, C], None, [30.0, 10.0, 20.0], {(B, C): 1.0, (C, A): 1.0}),
    ([0, 0], [A, B], None, [5.0, 5.0], {(A, B): 1.0}),        # ties keep array order
    ([0, 0, 0], [A, B, C], [2.0, 0.0, 3.0], None, {(A, C): 6.0}),  # zero weight drops B
    ([0, 0, 0], [A, B, C], [2.0, -1.0, 3.0], None, {(A, C): 6.0}),
    # out-of-range and negative observations leave no gap
    ([0, 0, 5, -1, 0, 0], [A, 7, B, B, -2, C], None, None, {(A, C): 1.0}),
    # sessions never pair across each other; sums over sessions
    ([0, 1, 0, 1, 1], [A, A, B, B, C], [2, 3, 0.5, 1, 4], None,
     {(A, B): 4.0, (B, C): 4.0}),
    # NaN weights are kept, unlike zero and negative ones
    ([0, 0, 1, 1], [A, B, A, B], [1, float("nan"), 1, 1], None, {(A, B): float("nan")}),
])
def test_worked_examples(sessions, items, weights, timestamps, expected):
    got = as_entries(directional(sessions, items, weights, timestamps=timestamps))
    assert got.keys() == expected.keys()
    np.testing.assert_array_equal([got[k] for k in expected], list(expected.values()))


def test_result_is_lists_with_full_indptr():
    got = directional([0, 0, 0], [C, A, C], n_items=4)
    assert got == ([1.0, 1.0], [2, 0], [0, 1, 1, 2, 2])
    assert all(type(v) is float for v in got[0])


@pytest.mark.parametrize("args", [
    (i64([]), i64([]), f32([]), 3, 2),
    (i64([0, 0]), i64([0, 1]), f32([1, 1]), 3, 0),
    (i64([0, 0]), i64([]), f32([1, 1]), 3, 2),
])
def test_empty_input_ignores_timestamps(args):
    strided = np.arange(6, dtype=np.float64)[::2]
    n_items = args[4]
    expected = ([], [], [0] * (n_items + 1))
    assert build_directional_cooc(*args) == expected
    assert build_directional_cooc(*args, timestamps=strided) == expected
    assert build_directional_cooc(*args, timestamps=f64([])) == expected


def test_shortest_array_governs():
    got = build_directional_cooc(i64([0, 0, 0, 0]), i64([A, B, C]), f32([1, 1, 1, 1, 1]), 1, 3)
    assert as_entries(got) == {(A, B): 1.0, (B, C): 1.0}


def test_nan_timestamps_do_not_fail():
    # where NaN records land is open; the walk still yields only valid pairs
    got = directional([0] * 6, [A, B, C, A, B, C], timestamps=[3, float("nan"), 1, float("nan"), 2, 0])
    entries = as_entries(got)
    assert 0 < sum(entries.values()) <= 5.0
    assert all(r != c and 0 <= c < 3 for r, c in entries)


@pytest.mark.parametrize("args, kwargs, exc, message", [
    ((i64([0, 0, 0]), i64([0, 1, 1]), f32([1, 1, 1]), 1, 2), dict(timestamps=f64([0.0])),
     InternalFailure, "index out of bounds: the len is 1 but the index is 1"),
])
def test_bad_input(args, kwargs, exc, message):
    with pytest.raises(exc) as info:
        build_directional_cooc(*args, **kwargs)
    assert str(info.value) == message


def test_dropped_observations_need_no_timestamps():
    # only kept observations must lie within the timestamps
    got = build_directional_cooc(i64([0, 0, 0]), i64([0, 1, 1]), f32([1, 1, 0]), 1, 2,
                                 timestamps=f64([0.0, 1.0]))
    assert as_entries(got) == {(0, 1): 1.0}


def walk_reference(sessions, items, weights, n_sessions, n_items, timestamps):
    """Plain walk: each session's kept records in (time, position) order, adjacent
    distinct items summed in double over sessions in ascending order."""
    records = defaultdict(list)
    for k in range(min(len(sessions), len(items), len(weights))):
        s, i, w = int(sessions[k]), int(items[k]), np.float32(weights[k])
        if 0 <= s < n_sessions and 0 <= i < n_items and not w <= 0:
            t = k if timestamps is None else float(timestamps[k])
            records[s].append((t, k, i, w))
    sums = defaultdict(float)
    for s in sorted(records):
        walk = sorted(records[s])
        for (_, _, i, wi), (_, _, j, wj) in zip(walk, walk[1:]):
            if i != j:
                sums[i, j] += float(np.float32(wi * wj))
    return lists_of({k: float(np.float32(v)) for k, v in sums.items()}, n_items)


@pytest.mark.parametrize("seed", range(10))
def test_random_against_plain_walk(seed):
    rng = np.random.default_rng(seed)
    n_sessions, n_items, m = int(rng.integers(1, 12)), int(rng.integers(1, 10)), 150
    sessions = rng.integers(-1, n_sessions + 1, m)
    items = rng.integers(-1, n_items + 1, m - seed % 3)
    weights = rng.choice([-1.0, 0.0, 0.25, 1.0, 1.7, 3.1], m).astype(np.float32)
    timestamps = rng.integers(0, 20, m).astype(np.float64) if seed % 2 else None
    got = build_directional_cooc(sessions, items, weights, n_sessions, n_items,
                                 timestamps=timestamps)
    assert got == walk_reference(sessions, items, weights, n_sessions, n_items, timestamps)


# ------------------------------------------------------------- symmetrize

def triple(rows, n):
    data, indices, indptr = lists_of(rows, n)
    return f32(data), np.asarray(indices, np.int32), np.asarray(indptr, np.int32)


@pytest.mark.parametrize("rows, expected", [
    ({(0, 1): 2.0, (1, 0): 3.0}, {(0, 1): 5.0, (1, 0): 5.0}),
    ({(0, 1): 2.0}, {(0, 1): 2.0, (1, 0): 2.0}),
    ({(2, 2): 1.0, (0, 2): -1.0}, {(2, 2): 2.0, (0, 2): -1.0, (2, 0): -1.0}),
    ({(0, 1): 2.0, (1, 0): -2.0}, {(0, 1): 0.0, (1, 0): 0.0}),
])
def test_symmetrize_worked_examples(rows, expected):
    assert symmetrize_via_transpose(*triple(rows, 3)) == lists_of(expected, 3)


@pytest.mark.parametrize("indptr", [[], [0]])
def test_symmetrize_without_rows(indptr):
    got = symmetrize_via_transpose(f32([1.0]), np.array([0], np.int32), np.array(indptr, np.int32))
    assert got == ([], [], [0])


@pytest.mark.parametrize("data, indices, indptr, message", [
    ([1, 1], [1, 2], [0, 1, 2], "index out of bounds: the len is 2 but the index is 2"),
    ([1, 1], [1, -1], [0, 1, 2],
     "index out of bounds: the len is 2 but the index is 18446744073709551615"),
    ([1], [1, 0], [0, 1, 2], "index out of bounds: the len is 1 but the index is 1"),
    ([1, 1], [1], [0, 1, 2], "index out of bounds: the len is 1 but the index is 1"),
    # a broken row range is reported before a column that lies outside
    ([1, 1], [5, 0], [0, 1, 3], "index out of bounds: the len is 2 but the index is 2"),
])
def test_symmetrize_broken_csr(data, indices, indptr, message):
    with pytest.raises(InternalFailure) as info:
        symmetrize_via_transpose(f32(data), np.array(indices, np.int32), np.array(indptr, np.int32))
    assert str(info.value) == message


@pytest.mark.parametrize("seed", range(8))
def test_symmetrize_random_against_transpose_sum(seed):
    rng = np.random.default_rng(seed)
    n = int(rng.integers(1, 25))
    data, indices, indptr = random_csr(rng, n, duplicates=seed % 2 == 1)
    got = symmetrize_via_transpose(data, indices, indptr)

    # single-precision sums in storage order: (r, c) then (c, r) per entry
    sums = {}
    for r in range(n):
        for j in range(indptr[r], indptr[r + 1]):
            for key in ((r, int(indices[j])), (int(indices[j]), r)):
                sums[key] = np.float32(sums.get(key, np.float32(0)) + data[j])
    assert got == lists_of({k: float(v) for k, v in sums.items()}, n)

    d = sp.csr_matrix((data, indices, indptr), shape=(n, n))
    w = sp.csr_matrix((np.asarray(got[0], np.float32), got[1], got[2]), shape=(n, n))
    np.testing.assert_allclose(w.toarray(), (d + d.T).toarray(), rtol=1e-5, atol=1e-6)
