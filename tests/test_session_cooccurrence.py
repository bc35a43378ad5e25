import numpy as np
import pytest

from tarsel._core import InternalFailure, build_cooccurrence, build_session_cooccurrence
from tarsel._core import deep_session_fraction
from tests.reference.cooccurrence import cooccurrence_dense, csr_to_dense

i64 = lambda xs: np.asarray(xs, dtype=np.int64)  # noqa: E731
f32 = lambda xs: np.asarray(xs, dtype=np.float32)  # noqa: E731
f64 = lambda xs: np.asarray(xs, dtype=np.float64)  # noqa: E731


def session_build(sessions, items, weights, n_sessions, n_items, **kw):
    return build_session_cooccurrence(i64(sessions), i64(items), f32(weights), n_sessions,
                                      n_items, **kw)


@pytest.mark.parametrize("sessions, items, weights, n_items, expected", [
    # session 0 pairs A with B; session 1 holds one item and adds nothing
    ([0, 0, 1], [0, 1, 0], [2.0, 1.5, 4.0], 2, ([3.0, 3.0], [1, 0], [0, 1, 2])),
    # negative and out-of-range sessions and items are skipped
    ([0, -1, 0, 9, 0], [2, 0, 0, 1, 7], [1, 1, 1, 1, 1], 3, ([1.0, 1.0], [2, 0], [0, 1, 1, 2])),
    ([], [], [], 2, ([], [], [0, 0, 0])),
    ([0, 0], [0, 1], [1, 1], 0, ([], [], [0])),
])
def test_worked_examples_as_lists(sessions, items, weights, n_items, expected):
    got = session_build(sessions, items, weights, 2, n_items)
    assert got == expected
    assert all(type(part) is list for part in got)
    assert all(type(v) is float for v in got[0])
    assert all(type(v) is int for part in got[1:] for v in part)


@pytest.mark.parametrize("args, kwargs, exc, message", [
    # the kernel is checked before the lengths
    ((i64([0]), i64([0, 1]), f32([1, 1]), 1, 2), dict(kernel="x"), ValueError,
     "unknown kernel: x; expected 'pure_count' or 'hybrid_temporal'"),
    ((i64([0]), i64([0, 1]), f32([1, 1]), 1, 2), {}, ValueError,
     "session_idx, item_idx, weights must have equal length"),
    ((i64([0, 0]), i64([0, 1]), f32([1]), 1, 2), {}, ValueError,
     "session_idx, item_idx, weights must have equal length"),
    ((i64([0, 0]), i64([0, 1]), f32([1, 1]), 1, 2), dict(kernel="hybrid_temporal"), ValueError,
     "kernel='hybrid_temporal' requires timestamps"),
    ((i64([0, 0, 0]), i64([0, 1, 2]), f32([1, 1, 1]), 1, 3),
     dict(kernel="hybrid_temporal", timestamps=f64([0, 1])), InternalFailure,
     "index out of bounds: the len is 2 but the index is 2"),
])
def test_bad_input(args, kwargs, exc, message):
    with pytest.raises(exc) as info:
        build_session_cooccurrence(*args, **kwargs)
    assert str(info.value) == message


@pytest.mark.parametrize("seed", range(8))
def test_random_equals_user_level_build(seed):
    rng = np.random.default_rng(seed)
    n_sessions, n_items, m = int(rng.integers(1, 30)), int(rng.integers(1, 25)), 200
    sessions = rng.integers(-1, n_sessions + 1, m)
    items = rng.integers(-1, n_items + 1, m)
    weights = rng.random(m).astype(np.float32)
    times = rng.random(m) * 1e6
    kw = dict(kernel="hybrid_temporal", alpha=0.8, half_life_days=2.0, timestamps=times) \
        if seed % 2 else {}
    got = build_session_cooccurrence(sessions, items, weights, n_sessions, n_items, **kw)
    user_level = build_cooccurrence(sessions, items, weights, n_sessions, n_items, **kw)
    assert got == tuple(part.tolist() for part in user_level)

    expected = cooccurrence_dense(sessions, items, weights, n_sessions, n_items,
                                  timestamps=times if seed % 2 else None, alpha=0.8,
                                  half_life_days=2.0)
    dense = csr_to_dense(np.asarray(got[0], np.float32), got[1], got[2], n_items)
    np.testing.assert_allclose(dense, expected, rtol=1e-6)


# ------------------------------------------------------ deep_session_fraction

@pytest.mark.parametrize("sessions, items, expected", [
    ([0, 0, 1], [5, 5, 7], 0.0),
    ([0, 0, 1, 1], [5, 6, 7, 8], 1.0),
    ([0, 0, 1], [5, 6, 7], 0.5),
    ([], [], 0.0),
    ([0, 1], [5], 0.0),             # only the common prefix is read
    ([0, 0, 1], [5, 6], 1.0),
    ([-3, -3, 2**40], [-1, 4, 4], 0.5),  # any integers count as ids
    ([2, 0, 2, 1, 0, 2], [1, 1, 1, 3, 2, 9], 2 / 3),
])
def test_deep_session_fraction_worked_examples(sessions, items, expected):
    assert deep_session_fraction(sessions, items) == expected
    assert deep_session_fraction(tuple(sessions), np.array(items, np.int64)) == expected


@pytest.mark.parametrize("seed", range(5))
def test_deep_session_fraction_random(seed):
    rng = np.random.default_rng(seed)
    sessions = rng.integers(-5, 30, int(rng.integers(1, 120))).tolist()
    items = rng.integers(0, 6, int(rng.integers(1, 120))).tolist()
    distinct = {}
    for s, i in zip(sessions, items):
        distinct.setdefault(s, set()).add(i)
    expected = sum(len(v) >= 2 for v in distinct.values()) / len(distinct)
    assert deep_session_fraction(sessions, items) == expected
