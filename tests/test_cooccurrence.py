import os
import subprocess
import sys
import textwrap
import threading
import time

import numpy as np
import pytest
from hypothesis import given, settings, strategies as st

from tarsel import _core
from tests.reference.cooccurrence import cooccurrence_dense, csr_to_dense

i64 = lambda xs: np.asarray(xs, dtype=np.int64)  # noqa: E731
f32 = lambda xs: np.asarray(xs, dtype=np.float32)  # noqa: E731
f64 = lambda xs: np.asarray(xs, dtype=np.float64)  # noqa: E731


def build(users, items, weights, n_users, n_items, **kw):
    return _core.build_cooccurrence(i64(users), i64(items), f32(weights), n_users, n_items, **kw)


def as_rows(result):
    data, indices, indptr = result
    return [
        [(int(indices[k]), float(data[k])) for k in range(indptr[r], indptr[r + 1])]
        for r in range(len(indptr) - 1)
    ]


@pytest.mark.parametrize(
    "users, items, weights, n_items, rows",
    [
        # a repeated item pairs with every other item once per occurrence
        ([0, 0, 0], [0, 0, 1], [1, 1, 1], 2, [[(1, 2.0)], [(0, 2.0)]]),
        # two users sharing a pair: 2*0.5 + 1*3 = 4
        ([0, 0, 1, 1], [0, 1, 0, 1], [2.0, 0.5, 1.0, 3.0], 2, [[(1, 4.0)], [(0, 4.0)]]),
        # one interaction, or one item repeated, contributes nothing
        ([0, 1, 1], [0, 1, 1], [1, 1, 1], 2, [[], []]),
        # zero weights leave explicit zeros
        ([0, 0], [0, 2], [0.0, 5.0], 3, [[(2, 0.0)], [], [(0, 0.0)]]),
        # out-of-range and negative users and items are skipped
        ([0, 0, 0, -1, 5, 0], [0, 1, 9, 0, 1, -3], [1, 1, 1, 1, 1, 1], 2, [[(1, 1.0)], [(0, 1.0)]]),
        # negative sums are kept
        ([0, 0], [1, 0], [-2.0, 3.0], 2, [[(1, -6.0)], [(0, -6.0)]]),
    ],
)
def test_worked_examples(users, items, weights, n_items, rows):
    result = build(users, items, weights, 4, n_items)
    assert [a.dtype for a in result] == [np.float32, np.int32, np.int32]
    assert as_rows(result) == rows


@pytest.mark.parametrize("n_users, n_items, indptr", [(3, 0, [0]), (0, 3, [0, 0, 0, 0])])
def test_empty_dimensions(n_users, n_items, indptr):
    data, indices, ptr = build([0, 0, 1], [0, 1, 2], [1, 1, 1], n_users, n_items)
    assert data.size == 0 and indices.size == 0
    assert ptr.tolist() == indptr


@pytest.mark.parametrize(
    "half_life_days, gap, factor",
    [
        (30.0, 0.0, 1.5),  # same instant: 1 + alpha/2
        (30.0, 1e12, 1.0),  # gap far beyond tau: factor -> 1
        (0.0, 1.0, 1.0 + 1.0 / (1.0 + np.exp(1.0))),  # tau floors at 1 second
        (float("nan"), 2.0, 1.0 + 1.0 / (1.0 + np.exp(2.0))),
    ],
)
def test_temporal_factor(half_life_days, gap, factor):
    data, _, _ = build([0, 0], [0, 1], [2.0, 3.0], 1, 2, kernel="hybrid_temporal",
                       alpha=1.0, half_life_days=half_life_days, timestamps=f64([100.0, 100.0 + gap]))
    assert data.tolist() == pytest.approx([6.0 * factor] * 2, rel=1e-6)


def test_pure_count_ignores_timestamps_of_any_shape():
    strided = np.arange(20, dtype=np.float64)[::3]
    base = build([0, 0, 0], [0, 1, 2], [1, 1, 1], 1, 3)
    for ts in (strided, f64([]), f64([1.0])):
        got = build([0, 0, 0], [0, 1, 2], [1, 1, 1], 1, 3, timestamps=ts)
        assert as_rows(got) == as_rows(base)


def test_longer_timestamps_are_accepted():
    got = build([0, 0], [0, 1], [1, 1], 1, 2, kernel="hybrid_temporal", timestamps=f64([0, 0, 7, 7]))
    assert got[0].tolist() == [1.5, 1.5]


@settings(max_examples=60, deadline=None)
@given(
    st.integers(1, 6).flatmap(lambda n_users: st.integers(1, 8).flatmap(lambda n_items: st.tuples(
        st.just(n_users), st.just(n_items),
        st.lists(st.tuples(st.integers(-1, n_users), st.integers(-1, n_items),
                           st.sampled_from([0.0, 0.5, 1.0, 2.0, 3.0]), st.integers(0, 5)),
                 max_size=40)))),
    st.booleans(),
)
def test_matches_reference(case, temporal):
    n_users, n_items, rows = case
    users = i64([r[0] for r in rows])
    items = i64([r[1] for r in rows])
    weights = f32([r[2] for r in rows])
    times = f64([r[3] * 3600.0 for r in rows])
    kw = dict(kernel="hybrid_temporal", alpha=0.7, half_life_days=0.1, timestamps=times) if temporal else {}
    data, indices, indptr = _core.build_cooccurrence(users, items, weights, n_users, n_items, **kw)
    expected = cooccurrence_dense(users, items, weights, n_users, n_items,
                                  timestamps=times if temporal else None, alpha=0.7, half_life_days=0.1)
    np.testing.assert_allclose(csr_to_dense(data, indices, indptr, n_items), expected, rtol=1e-6)
    for r in range(n_items):
        row = indices[indptr[r]:indptr[r + 1]]
        assert np.all(np.diff(row) > 0) and r not in row


def power_law_interactions(n_users, n_items, n_draws, seed):
    rng = np.random.default_rng(seed)
    users = rng.integers(0, n_users, n_draws)
    items = np.minimum(rng.zipf(1.3, n_draws) - 1, n_items - 1)
    return users.astype(np.int64), items.astype(np.int64), rng.random(n_draws).astype(np.float32)


SCRIPT = textwrap.dedent("""
    import hashlib, numpy as np
    from tarsel import _core
    rng = np.random.default_rng(7)
    users = rng.integers(0, 2000, 60000).astype(np.int64)
    items = np.minimum(rng.zipf(1.3, 60000) - 1, 999).astype(np.int64)
    weights = rng.random(60000).astype(np.float32)
    times = rng.random(60000) * 1e7
    out = _core.build_cooccurrence(users, items, weights, 2000, 1000, "hybrid_temporal", 0.5, 3.0, times)
    print(hashlib.sha256(b"".join(a.tobytes() for a in out)).hexdigest())
""")


def test_result_does_not_depend_on_pool_size():
    """Malformed sizes fall back to the CPU count and absurd ones are capped."""
    digests = set()
    for threads in ("1", "2", "5", "0", "-3", "abc", "4x", "2147483648", "99999999999999999999"):
        env = dict(os.environ, RAYON_NUM_THREADS=threads)
        out = subprocess.run([sys.executable, "-c", SCRIPT], env=env, capture_output=True, text=True, check=True)
        digests.add(out.stdout.strip())
    assert len(digests) == 1


def test_python_thread_runs_while_building():
    users, items, weights = power_law_interactions(20000, 5000, 400000, seed=3)
    ticks = 0
    done = threading.Event()

    def spin():
        nonlocal ticks
        while not done.is_set():
            ticks += 1
            time.sleep(0)

    thread = threading.Thread(target=spin)
    thread.start()
    try:
        start_ticks = ticks
        started = time.perf_counter()
        _core.build_cooccurrence(users, items, weights, 20000, 5000, "hybrid_temporal",
                                 timestamps=np.zeros(len(users)))
        elapsed = time.perf_counter() - started
        progressed = ticks - start_ticks
    finally:
        done.set()
        thread.join()
    assert elapsed > 0.01
    assert progressed > 100


# ---------------------------------------------------------------- bad input

ARRAYS = (i64([0, 0]), i64([0, 1]), f32([1, 1]))


@pytest.mark.parametrize(
    "args, kwargs, exc, message",
    [
        (ARRAYS + (1, 2), dict(kernel="Pure_Count"), ValueError,
         "unknown kernel: Pure_Count; expected 'pure_count' or 'hybrid_temporal'"),
        ((i64([0]), i64([0, 1]), f32([1, 1]), 1, 2), {}, ValueError,
         "user_idx, item_idx, weights must have equal length"),
        (ARRAYS + (1, 2), dict(kernel="hybrid_temporal"), ValueError,
         "kernel='hybrid_temporal' requires timestamps"),
        (ARRAYS + (1, 2**31), {}, ValueError,
         "n_items must be less than 2**31 (int32 column indices), got 2147483648"),
    ],
)
def test_errors(args, kwargs, exc, message):
    with pytest.raises(exc) as info:
        _core.build_cooccurrence(*args, **kwargs)
    assert str(info.value) == message


def test_check_order_kernel_before_contiguity_before_length():
    strided = np.arange(4, dtype=np.int64)[::2]
    with pytest.raises(ValueError, match="unknown kernel"):
        _core.build_cooccurrence(strided, i64([0]), f32([1, 1, 1]), 1, 1, "x")
    with pytest.raises(TypeError, match="not contiguous"):
        _core.build_cooccurrence(i64([0]), strided, f32([1, 1, 1]), 1, 1)


def test_short_timestamps_are_an_internal_failure():
    with pytest.raises(_core.InternalFailure) as info:
        build([0, 0, 0], [0, 1, 2], [1, 1, 1], 1, 3, kernel="hybrid_temporal", timestamps=f64([0.0]))
    assert str(info.value) == "index out of bounds: the len is 1 but the index is 1"


@pytest.mark.parametrize("user", [0, 2**40, 2**62])
def test_huge_counts_and_indices_with_little_data(user):
    data, indices, indptr = build([user, user, 5, 5], [0, 1, 1, 2], [1, 1, 2, 2], 2**63, 3)
    assert as_rows((data, indices, indptr)) == [[(1, 1.0)], [(0, 1.0), (2, 4.0)], [(1, 4.0)]]
