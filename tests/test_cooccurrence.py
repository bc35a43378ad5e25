"""The co-occurrence family: user and session co-occurrence, the directional walk and its
symmetrisation, the count transforms, and signal/retrieval from the graph; worked examples,
errors, and randomized comparisons with the plain references."""

import math
from collections import defaultdict

import numpy as np
import pytest

from reference.cooccurrence import cooccurrence_dense, csr_to_dense
from reference.csr import owned_row_sum, random_csr
from reference.neighbour_cap import top_neighbours
from tarsel._core import (
    InternalFailure,
    build_cooccurrence,
    build_directional_cooc,
    build_session_cooccurrence,
    cap_neighbours,
    cooc_transform,
    cooccurrence_retrieve,
    cooccurrence_signal,
    deep_session_fraction,
    symmetrize_via_transpose,
)

F32, F64 = np.float32, np.float64
i64, i32, f32, f64 = (lambda xs, d=d: np.asarray(xs, d) for d in (np.int64, np.int32, F32, F64))


def build(users, items, weights, n_users, n_items, **kw):
    return build_cooccurrence(i64(users), i64(items), f32(weights), n_users, n_items, **kw)


def lists_of(entries, n):
    """CSR lists of a {(row, col): value} dict."""
    keys = sorted(entries)
    indptr = np.searchsorted([r for r, _ in keys], np.arange(n + 1)).tolist()
    return [entries[k] for k in keys], [c for _, c in keys], indptr


def as_lists(result):
    return tuple(np.asarray(part).tolist() for part in result)


@pytest.mark.parametrize(
    "users, items, weights, n_items, expected",
    [
        # a repeated item pairs with every other item once per occurrence
        ([0, 0, 0], [0, 0, 1], [1, 1, 1], 2, ([2.0, 2.0], [1, 0], [0, 1, 2])),
        # zero weights leave explicit zeros
        ([0, 0], [0, 2], [0.0, 5.0], 3, ([0.0, 0.0], [2, 0], [0, 1, 1, 2])),
        # out-of-range and negative users and items are skipped
        ([0, 0, 0, -1, 5, 0], [0, 1, 9, 0, 1, -3], [1] * 6, 2, ([1.0, 1.0], [1, 0], [0, 1, 2])),
        # negative sums are kept
        ([0, 0], [1, 0], [-2.0, 3.0], 2, ([-6.0, -6.0], [1, 0], [0, 1, 2])),
    ],
)
def test_worked_examples(users, items, weights, n_items, expected):
    result = build(users, items, weights, 4, n_items)
    assert [a.dtype for a in result] == [np.float32, np.int32, np.int32]
    assert as_lists(result) == expected


def test_empty_dimensions_and_huge_counts():
    assert as_lists(build([0, 0, 1], [0, 1, 2], [1, 1, 1], 3, 0)) == ([], [], [0])
    assert as_lists(build([0, 0, 1], [0, 1, 2], [1, 1, 1], 0, 3)) == ([], [], [0, 0, 0, 0])
    got = build([2**62, 2**62, 5, 5], [0, 1, 1, 2], [1, 1, 2, 2], 2**63, 3)
    assert as_lists(got) == ([1.0, 1.0, 4.0, 4.0], [1, 0, 2, 1], [0, 1, 3, 4])


def test_timestamps_beyond_the_interactions_are_ignored():
    base = as_lists(build([0, 0, 0], [0, 1, 2], [1, 1, 1], 1, 3))
    for ts in (np.arange(20.0)[::3], f64([]), f64([1.0])):  # pure count: any shape
        assert as_lists(build([0, 0, 0], [0, 1, 2], [1, 1, 1], 1, 3, timestamps=ts)) == base
    got = build([0, 0], [0, 1], [1, 1], 1, 2, kernel="hybrid_temporal", timestamps=f64([0, 0, 7]))
    assert got[0].tolist() == [1.5, 1.5]


@pytest.mark.parametrize(
    "seed, n_users, heavy", [(0, 400, 0.03), (1, 400, 0.03), (2, 300_000, 3e-4)]
)
def test_mixed_histories_match_reference_and_the_serial_two_pass_build(seed, n_users, heavy):
    """A few long histories with repeats among many short ones, over enough items that rows
    take both the dense and the stamped gathering, and over few or many users (grouped in
    one round or two); the parallel one-pass build equals the serial two-pass one (the
    session builder) exactly."""
    rng = np.random.default_rng(seed)
    n_items = int(rng.integers(60, 300))
    short = rng.integers(0, 5 if n_users < 1000 else 3, n_users)
    lengths = np.where(rng.random(n_users) < heavy, 40, short)
    users = rng.permutation(np.repeat(np.arange(n_users), lengths))
    items = (rng.pareto(1.0, len(users)) * 5).astype(np.int64) % n_items
    weights = rng.choice(f32([0.5, 1.0, 2.0]), len(users))
    kw = dict(kernel="hybrid_temporal", timestamps=rng.random(len(users)) * 1e6) if seed % 2 else {}
    got = build_cooccurrence(users, items, weights, n_users, n_items, **kw)
    times = kw.get("timestamps")
    expected = cooccurrence_dense(users, items, weights, n_users, n_items, times)
    np.testing.assert_allclose(csr_to_dense(*got, n_items), expected, rtol=1e-6)
    serial = build_session_cooccurrence(users, items, weights, n_users, n_items, **kw)
    assert as_lists(got) == as_lists(serial)


@pytest.mark.parametrize("seed", range(40))
def test_matches_reference(seed):
    """Ids out of range; odd seeds weigh pairs by time (to 1e-6), some with a half-life of
    zero or NaN (the time scale floors at one second). Sessions build as users do. Over a
    few items the rows gather densely, telling visited columns by their sums: a pair whose
    products are zero, negative zero or cancel still leaves its entry, as +0.0, so the
    entries are exactly the pairs of distinct items that share a user, each row sorted."""
    rng = np.random.default_rng(seed)
    n_users, n_items, m = int(rng.integers(1, 30)), int(rng.integers(1, 12)), int(rng.integers(120))
    users, items = rng.integers(-1, n_users + 1, m), rng.integers(-1, n_items + 1, m)
    weights = rng.choice(f32([-1.0, -0.0, 0.0, 0.5, 1.0, 2.0, 3.0]), m)
    half_life = [0.1, 0.0, math.nan][seed % 3]
    times = rng.integers(0, 6, m) * (3600.0 if half_life == 0.1 else 1.0) if seed % 2 else None
    kw = dict(kernel="hybrid_temporal", alpha=0.7, half_life_days=half_life, timestamps=times)
    kw = kw if seed % 2 else {}
    data, indices, indptr = build_cooccurrence(users, items, weights, n_users, n_items, **kw)
    sessions = build_session_cooccurrence(users, items, weights, n_users, n_items, **kw)
    assert as_lists(sessions) == as_lists((data, indices, indptr))
    expected = cooccurrence_dense(users, items, weights, n_users, n_items, times, 0.7, half_life)
    got = csr_to_dense(data, indices, indptr, n_items)
    np.testing.assert_allclose(got, expected, rtol=1e-6 if seed % 2 else 0, atol=0)
    owners = [items[(users == u) & (items >= 0) & (items < n_items)] for u in range(n_users)]
    shared = {(a, b) for row in owners for a in row for b in row if a != b}
    assert {(r, c) for r in range(n_items) for c in indices[indptr[r] : indptr[r + 1]]} == shared
    assert not np.signbit(data[data == 0]).any()
    assert all(np.all(np.diff(indices[indptr[r] : indptr[r + 1]]) > 0) for r in range(n_items))


BROKEN_GRAPHS = [
    (f32([1, 1]), i32([1, 0]), i32([0, 3, 3])),
    (f32([1, 1]), i32([1, 2]), i32([0, 2, 2])),
]
ARRAYS = (i64([0, 0]), i64([0, 1]), f32([1, 1]))
SHORT_TIMES = (i64([0, 0, 0]), i64([0, 1, 1]), f32([1, 1, 1]), 1, 2)


BAD_INPUT = [
    (
        lambda: build_cooccurrence(*ARRAYS, 1, 2, kernel="Pure_Count"),
        "unknown kernel: Pure_Count; expected 'pure_count' or 'hybrid_temporal'",
    ),
    (
        lambda: build_session_cooccurrence(*ARRAYS[:2], f32([1]), 1, 2),
        "session_idx, item_idx, weights must have equal length",
    ),
    (
        lambda: build_session_cooccurrence(*ARRAYS, 1, 2, kernel="hybrid_temporal"),
        "kernel='hybrid_temporal' requires timestamps",
    ),
    (
        lambda: build_cooccurrence(*ARRAYS, 1, 2**31),
        "n_items must be less than 2**31 (int32 column indices), got 2147483648",
    ),
    (
        lambda: build_directional_cooc(*SHORT_TIMES, timestamps=f64([0.0])),
        "index out of bounds: the len is 1 but the index is 1",
    ),
    # a broken row range is reported before a column that lies outside
    (
        lambda: symmetrize_via_transpose(f32([1, 1]), i32([5, 0]), i32([0, 1, 3])),
        "index out of bounds: the len is 2 but the index is 2",
    ),
    (lambda: cooc_transform(*one_entry(1, 1, 1), "Cosine"), "unknown cooc transform: Cosine"),
    (
        lambda: cooc_transform(f32([1, 1]), i32([0, 0]), i32([-1, 1]), f64([1]), "jaccard"),
        "index out of bounds: the len is 2 but the index is 18446744073709551615",
    ),
    *[
        (lambda csr=csr: cap_neighbours(*csr, 1), message)
        for csr, message in [
            ((f32([]), i32([]), i32([])), "indptr must hold at least one entry"),
            ((f32([1]), i32([0, 1]), i32([0, 1])), "data and indices must have equal length"),
            ((f32([1]), i32([0]), i32([1, 1])), "indptr must start at 0"),
            ((f32([1, 2]), i32([0, 1]), i32([0, 2, 1, 2])), "indptr must not decrease (row 1)"),
            ((f32([1, 2]), i32([0, 1]), i32([0, 1])), "indptr must end at len(data)"),
        ]
    ],
    # indptr past the end of both arrays, or a column past the rows: first bad position is 2
    *[
        (lambda m=m, call=call: call(*m), "index out of bounds: the len is 2 but the index is 2")
        for m in BROKEN_GRAPHS
        for call in (
            lambda *a: cooccurrence_signal(*a, [0], [0]),
            lambda *a: cooccurrence_retrieve(*a, [0], 5),
        )
    ],
]


@pytest.mark.parametrize("call, message", BAD_INPUT)
def test_bad_input(call, message):
    with pytest.raises((ValueError, InternalFailure)) as info:
        call()
    assert str(info.value) == message
    assert isinstance(info.value, InternalFailure) == message.startswith("index")


@pytest.mark.parametrize("seed", range(5))
def test_deep_session_fraction(seed):
    """The share of sessions with two distinct items or more; any integers count as ids, and
    only the common prefix of the two sequences is read."""
    assert deep_session_fraction((0, 0, 1), np.array([5, 6, 7, 8], np.int64)) == 0.5
    assert deep_session_fraction([], []) == 0.0
    rng = np.random.default_rng(seed)
    sessions = rng.integers(-5, 2**40, int(rng.integers(1, 120))) % 30 - 5
    items = rng.integers(0, 6, int(rng.integers(1, 120))).tolist()
    distinct = defaultdict(set)
    for s, i in zip(sessions.tolist(), items):
        distinct[s].add(i)
    expected = sum(len(v) >= 2 for v in distinct.values()) / len(distinct)
    assert deep_session_fraction(sessions.tolist(), items) == expected


A, B, C = 0, 1, 2


def as_entries(csr):
    data, indices, indptr = (np.asarray(p) for p in csr)
    return {
        (r, int(indices[j])): float(data[j])
        for r in range(len(indptr) - 1)
        for j in range(indptr[r], indptr[r + 1])
    }


@pytest.mark.parametrize(
    "sessions, items, weights, timestamps, expected",
    [
        ([0, 0, 0], [A, B, C], None, [30.0, 10.0, 20.0], {(B, C): 1.0, (C, A): 1.0}),
        # sessions never pair across each other; sums over sessions
        ([0, 1, 0, 1, 1], [A, A, B, B, C], [2, 3, 0.5, 1, 4], None, {(A, B): 4.0, (B, C): 4.0}),
        # NaN weights are kept, unlike zero and negative ones
        ([0, 0, 1, 1], [A, B, A, B], [1, math.nan, 1, 1], None, {(A, B): math.nan}),
        # dropped observations need no timestamps
        ([0, 0, 0], [A, B, B], [1, 1, 0], [0.0, 1.0], {(A, B): 1.0}),
    ],
)
def test_directional_worked_examples(sessions, items, weights, timestamps, expected):
    weights = [1.0] * len(items) if weights is None else weights
    times = None if timestamps is None else f64(timestamps)
    got = as_entries(build_directional_cooc(i64(sessions), i64(items), f32(weights), 2, 3, times))
    assert got.keys() == expected.keys()
    np.testing.assert_array_equal([got[k] for k in expected], list(expected.values()))


def test_directional_result_has_a_full_indptr_and_survives_nan_timestamps():
    got = build_directional_cooc(i64([0, 0, 0]), i64([C, A, C]), f32([1, 1, 1]), 1, 4)
    assert as_lists(got) == ([1.0, 1.0], [2, 0], [0, 1, 1, 2, 2])
    assert as_lists(
        build_directional_cooc(i64([]), i64([]), f32([]), 3, 2, timestamps=np.arange(6.0)[::2])
    ) == ([], [], [0] * 3)
    # where NaN records land is open; the walk still yields only valid pairs
    times = f64([3, math.nan, 1, math.nan, 2, 0])
    entries = as_entries(
        build_directional_cooc(i64([0] * 6), i64([0, 1, 2] * 2), f32([1] * 6), 1, 3, times)
    )
    assert 0 < sum(entries.values()) <= 5.0 and all(r != c and 0 <= c < 3 for r, c in entries)


def walk_reference(sessions, items, weights, n_sessions, n_items, timestamps):
    """Each session's kept records in (time, position) order, adjacent distinct items summed
    in double over sessions in ascending order."""
    records = defaultdict(list)
    for k in range(min(len(sessions), len(items), len(weights))):
        s, i, w = int(sessions[k]), int(items[k]), np.float32(weights[k])
        if 0 <= s < n_sessions and 0 <= i < n_items and not w <= 0:
            records[s].append((k if timestamps is None else float(timestamps[k]), k, i, w))
    sums = defaultdict(float)
    for s in sorted(records):
        walk = sorted(records[s])
        for (_, _, i, wi), (_, _, j, wj) in zip(walk, walk[1:]):
            if i != j:
                sums[i, j] += float(np.float32(wi * wj))
    return lists_of({k: float(np.float32(v)) for k, v in sums.items()}, n_items)


@pytest.mark.parametrize("seed", range(10))
def test_directional_random_against_plain_walk(seed):
    rng = np.random.default_rng(seed)
    n_sessions, n_items, m = int(rng.integers(1, 12)), int(rng.integers(1, 10)), 150
    sessions = rng.integers(-1, n_sessions + 1, m)
    items = rng.integers(-1, n_items + 1, m - seed % 3)
    weights = rng.choice([-1.0, 0.0, 0.25, 1.0, 1.7, 3.1], m).astype(np.float32)
    timestamps = rng.integers(0, 20, m).astype(np.float64) if seed % 2 else None
    args = sessions, items, weights, n_sessions, n_items, timestamps
    assert as_lists(build_directional_cooc(*args)) == walk_reference(*args)


def triple(entries, n):
    data, indices, indptr = lists_of(entries, n)
    return f32(data), i32(indices), i32(indptr)


@pytest.mark.parametrize(
    "entries, expected",
    [
        ({(0, 1): 2.0, (1, 0): 3.0}, {(0, 1): 5.0, (1, 0): 5.0}),
        ({(2, 2): 1.0, (0, 2): -1.0}, {(2, 2): 2.0, (0, 2): -1.0, (2, 0): -1.0}),
        ({(0, 1): 2.0, (1, 0): -2.0}, {(0, 1): 0.0, (1, 0): 0.0}),
    ],
)
def test_symmetrize_worked_examples(entries, expected):
    assert as_lists(symmetrize_via_transpose(*triple(entries, 3))) == lists_of(expected, 3)
    assert as_lists(symmetrize_via_transpose(f32([1.0]), i32([0]), i32([]))) == ([], [], [0])


@pytest.mark.parametrize("seed", range(8))
def test_symmetrize_random_against_transpose_sum(seed):
    rng = np.random.default_rng(seed)
    n = int(rng.integers(1, 25))
    data, indices, indptr = random_csr(rng, n, duplicates=seed % 2 == 1)
    got = as_lists(symmetrize_via_transpose(data, indices, indptr))
    # single-precision sums in storage order: (r, c) then (c, r) per entry
    sums = {}
    for r in range(n):
        for j in range(indptr[r], indptr[r + 1]):
            for key in ((r, int(indices[j])), (int(indices[j]), r)):
                sums[key] = np.float32(sums.get(key, np.float32(0)) + data[j])
    assert got == lists_of({k: float(v) for k, v in sums.items()}, n)


TRANSFORMS = ["raw", "cosine", "jaccard", "wilson"]


def one_entry(v, c_row, c_col):
    """Row 0 holds column 1 with value v; counts (c_row, c_col)."""
    return f32([v]), i32([1]), i32([0, 1, 1]), f64([c_row, c_col])


def transform_reference(data, indices, indptr, counts, transform, z):
    def count(i):
        c = counts[i] if 0 <= i < len(counts) else 1.0
        return 1.0 if math.isnan(c) else max(c, 1.0)

    def value(v, a, b):
        if transform == "raw":
            return v
        if transform == "cosine":
            return v / math.sqrt(a * b)
        if transform == "jaccard":
            return v / max(a + b - v, 1.0)

        def lower(n):
            p = min(max(v / n, 0.0), 1.0)
            return (p + z * z / (2 * n) - z * math.sqrt(p * (1 - p) / n + z * z / (4 * n * n))) / (
                1 + z * z / n
            )

        return min(lower(a), lower(b))

    out = np.zeros(len(data))
    for r in range(len(indptr) - 1):
        for j in range(indptr[r], indptr[r + 1]):
            out[j] = value(float(data[j]), count(r), count(int(indices[j])))
    return out


@pytest.mark.parametrize(
    "transform, v, c_row, c_col, expected",
    [
        ("jaccard", 3.0, 4.0, 5.0, 0.5),
        ("cosine", 2.0, math.nan, 4.0, 1.0),  # NaN count counts as 1
        ("wilson", 2.0, math.inf, 4.0, 0.0),  # proportion 0 of infinitely many
        ("wilson", 4.0, 4.0, 4.0, 4 / (4 + 1.96**2)),  # L(1, n) = n / (n + z^2)
    ],
)
def test_transform_worked_examples(transform, v, c_row, c_col, expected):
    assert cooc_transform(*one_entry(v, c_row, c_col), transform).tolist() == [np.float32(expected)]


def test_transform_edges():
    # Columns past the counts, or negative, count as one.
    got = cooc_transform(f32([4, 4, 4]), i32([5, -1, 0]), i32([0, 3]), f64([16.0]), "cosine")
    assert got.tolist() == [1.0, 1.0, 0.25]
    # Positions no row covers stay zero; no rows at all gives zeros.
    got = cooc_transform(
        f32([2, 3, 5, 7]), i32([1, 0, 0, 0]), i32([0, 1, 1, 2]), np.ones(3), "jaccard"
    )
    assert got.tolist() == [2.0, 3.0, 0.0, 0.0]
    got = cooc_transform(f32([1, 1]), i32([0, 0]), i32([]), np.ones(2), "wilson")
    assert got.tolist() == [0, 0]
    # raw is an equal, distinct copy.
    data = f32([1.5, -2.0])
    got = cooc_transform(data, i32([0, 1]), i32([0]), np.zeros(0), "raw")
    assert got.tolist() == data.tolist() and not np.shares_memory(got, data)


@pytest.mark.parametrize("transform", TRANSFORMS)
@pytest.mark.parametrize("seed", range(4))
def test_transform_random_against_formulas(transform, seed):
    rng = np.random.default_rng(seed)
    n = int(rng.integers(1, 30))
    data, indices, indptr = random_csr(rng, n, n_cols=n + 3)  # some columns lack counts
    data = (data * 10).astype(np.float32)
    counts = rng.integers(-2, 25, size=n).astype(np.float64)
    counts[rng.random(n) < 0.1] = np.nan
    z = float(rng.uniform(0.5, 3.0))
    got = cooc_transform(data, indices, indptr, counts, transform, z)
    want = transform_reference(data, indices, indptr, counts, transform, z)
    np.testing.assert_allclose(got, want, rtol=1e-6, atol=1e-7)


@pytest.mark.parametrize("seed", range(8))
def test_cap_neighbours_matches_the_reference(seed):
    """Rows longer and shorter than k, empty rows, many equal values and NaNs; the cut keeps
    the reference's entries in their stored order."""
    rng = np.random.default_rng([7, seed])
    n_rows, n_cols = int(rng.integers(1, 40)), int(rng.integers(1, 60))
    lengths = rng.integers(0, n_cols + 1, n_rows)
    indices = np.concatenate([np.sort(rng.choice(n_cols, m, False)) for m in lengths] + [[]])
    data = rng.integers(-2, 4, len(indices)).astype(np.float32)  # ties at the cut
    data[rng.random(len(data)) < 0.1] = np.nan
    indptr = np.concatenate([[0], np.cumsum(lengths)]).astype(np.int32)
    for k in {0, 1, int(rng.integers(1, n_cols + 2)), n_cols}:
        got = cap_neighbours(data, indices.astype(np.int32), indptr, k)
        want = top_neighbours(data, indices.astype(np.int32), indptr, k)
        for g, w in zip(got, want):
            np.testing.assert_array_equal(g, w)
            assert g.dtype == w.dtype


# 0-1: 2, 0-2: 1, 1-2: 3, 2-3: 0 (explicit zero), 3-4: -1
GRAPH = (
    f32([2, 1, 2, 3, 1, 3, 0, 0, -1, -1]),
    i32([1, 2, 0, 2, 0, 1, 3, 2, 4, 3]),
    i32([0, 2, 4, 7, 9, 10]),
)


def retrieve_reference(data, indices, indptr, owned, budget, include_owned):
    n = max(len(indptr) - 1, 0)
    acc = owned_row_sum(data, indices, indptr, owned, n)
    for r in [] if include_owned else owned:
        if r < n:
            acc[r] = 0.0
    ranked = sorted((j for j in range(n) if acc[j] > 0), key=lambda j: (-acc[j], j))
    return ranked[: min(budget, n)], [acc[j] for j in ranked[: min(budget, n)]]


@pytest.mark.parametrize(
    "owned, candidates, expected",
    [
        ([0, 1], [2, 2, 0, 1], [4.0, 4.0, 2.0, 2.0]),
        ([2, 4], [3, 1], [-1.0, 3.0]),
        ([0, 99], [-1, 5, 1 << 40, 1], [0.0, 0.0, 0.0, 2.0]),
    ],
)
def test_signal_worked_examples(owned, candidates, expected):
    out = cooccurrence_signal(*GRAPH, owned, candidates)
    assert out.dtype == np.float64 and out.tolist() == expected


@pytest.mark.parametrize(
    "owned, budget, include_owned, items, scores",
    [
        ([0, 1], 10, False, [2], [4.0]),  # owned items lose what they got from each other
        ([0, 1], 2, True, [2, 0], [4.0, 2.0]),
        ([3], 10, False, [], []),  # explicit zero and negative sums never qualify
        ([2, 4], 10, False, [1, 0], [3.0, 1.0]),
    ],
)
def test_retrieve_worked_examples(owned, budget, include_owned, items, scores):
    assert as_lists(cooccurrence_retrieve(*GRAPH, owned, budget, include_owned)) == (items, scores)


def test_rows_never_read_are_not_checked():
    assert [cooccurrence_signal(*m, [1], [0]).tolist() for m in BROKEN_GRAPHS] == [[0.0]] * 2


@pytest.mark.parametrize("seed", range(14))
def test_signal_and_retrieve_random_against_reference(seed):
    """Small graphs, and (seeds 12, 13) many positive items of few distinct scores, where the
    selection buffer is cut repeatedly and ties decide most places."""
    rng = np.random.default_rng(seed)
    n = int(rng.integers(1, 40)) if seed < 12 else 400
    data, indices, indptr = random_csr(rng, n, duplicates=seed % 3 == 0, max_per_row=n // 3 + 4)
    if seed % 2 or seed >= 12:
        data = np.ceil(np.abs(data) * 2).astype(np.float32)  # many ties
    owned = rng.integers(0, n + 3, size=int(rng.integers(0, 13))).tolist()
    candidates = rng.integers(-2, n + 2, size=15).tolist()
    acc = owned_row_sum(data, indices, indptr, owned, n)
    assert cooccurrence_signal(data, indices, indptr, owned, candidates).tolist() == [
        acc[c] if 0 <= c < n else 0.0 for c in candidates
    ]
    for budget in (0, 1, 2, 7, 40, n + 5):
        for include_owned in (False, True):
            args = data, indices, indptr, owned, budget, include_owned
            assert as_lists(cooccurrence_retrieve(*args)) == retrieve_reference(*args)
