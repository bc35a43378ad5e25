import numpy as np
import pytest

from tarsel._core import InternalFailure, cooccurrence_retrieve, cooccurrence_signal
from tests.reference.csr import owned_row_sum, random_csr


def csr(rows, n=None):
    """CSR triple from a list of {column: value} rows."""
    data, indices, indptr = [], [], [0]
    for row in rows:
        for col, val in row.items():
            indices.append(col)
            data.append(val)
        indptr.append(len(indices))
    return (np.array(data, np.float32), np.array(indices, np.int32),
            np.array(indptr, np.int32))


# 0-1: 2, 0-2: 1, 1-2: 3, 2-3: 0 (explicit zero), 3-4: -1
GRAPH = csr([{1: 2.0, 2: 1.0}, {0: 2.0, 2: 3.0}, {0: 1.0, 1: 3.0, 3: 0.0},
             {2: 0.0, 4: -1.0}, {3: -1.0}])


def reference_retrieve(data, indices, indptr, owned, budget, include_owned):
    n = max(len(indptr) - 1, 0)
    acc = owned_row_sum(data, indices, indptr, owned, n)
    if not include_owned:
        for r in owned:
            if r < n:
                acc[r] = 0.0
    ranked = sorted((j for j in range(n) if acc[j] > 0), key=lambda j: (-acc[j], j))
    ranked = ranked[:min(budget, n)]
    return ranked, [acc[j] for j in ranked]


@pytest.mark.parametrize("owned, candidates, expected", [
    ([0], [0, 1, 2, 3, 4], [0.0, 2.0, 1.0, 0.0, 0.0]),
    ([0, 0], [1, 2], [4.0, 2.0]),
    ([0, 1], [2, 2, 0, 1], [4.0, 4.0, 2.0, 2.0]),
    ([2, 4], [3, 1], [-1.0, 3.0]),
    ([], [0, 1, 2], [0.0, 0.0, 0.0]),
    ([0, 99], [-1, 5, 1 << 40, 1], [0.0, 0.0, 0.0, 2.0]),
    ([1], [], []),
])
def test_signal_worked_examples(owned, candidates, expected):
    out = cooccurrence_signal(*GRAPH, owned, candidates)
    assert out.dtype == np.float64
    assert out.tolist() == expected


@pytest.mark.parametrize("owned, budget, include_owned, items, scores", [
    ([0], 10, False, [1, 2], [2.0, 1.0]),
    ([0, 0], 10, False, [1, 2], [4.0, 2.0]),
    # owned items lose what they got from each other
    ([0, 1], 10, False, [2], [4.0]),
    ([0, 1], 10, True, [2, 0, 1], [4.0, 2.0, 2.0]),
    ([0, 1], 2, True, [2, 0], [4.0, 2.0]),
    ([0, 1], 1, True, [2], [4.0]),
    # explicit zero and negative sums never qualify
    ([3], 10, False, [], []),
    ([2, 4], 10, False, [1, 0], [3.0, 1.0]),
    ([], 10, False, [], []),
    ([0], 0, False, [], []),
    ([7], 3, False, [], []),
])
def test_retrieve_worked_examples(owned, budget, include_owned, items, scores):
    assert cooccurrence_retrieve(*GRAPH, owned, budget, include_owned) == (items, scores)


@pytest.mark.parametrize("indptr", [[], [0]])
def test_matrix_without_rows(indptr):
    empty = (np.zeros(0, np.float32), np.zeros(0, np.int32), np.array(indptr, np.int32))
    assert cooccurrence_signal(*empty, [0, 1], [0, -1]).tolist() == [0.0, 0.0]
    assert cooccurrence_retrieve(*empty, [0], 5, True) == ([], [])


@pytest.mark.parametrize("func, prefix, extra", [
    (cooccurrence_signal, "{} must be contiguous", ([0, 1],)),
    (cooccurrence_retrieve, "{} contiguous", (3,)),
])
@pytest.mark.parametrize("position, name", [(0, "data"), (1, "indices"), (2, "indptr")])
def test_non_contiguous_array_is_internal_failure(func, prefix, extra, position, name):
    arrays = list(GRAPH)
    doubled = np.repeat(arrays[position], 2)
    arrays[position] = doubled[::2]
    with pytest.raises(InternalFailure) as info:
        func(*arrays, [0], *extra)
    assert str(info.value) == prefix.format(name) + ": NotContiguousError"


BROKEN = [
    # indptr past the end of both arrays: first bad position is 2
    ((np.ones(2, np.float32), np.array([1, 0], np.int32), np.array([0, 3, 3], np.int32)),
     "index out of bounds: the len is 2 but the index is 2"),
    # data shorter than indices
    ((np.ones(1, np.float32), np.array([1, 0], np.int32), np.array([0, 2, 2], np.int32)),
     "index out of bounds: the len is 1 but the index is 1"),
    # column past the matrix
    ((np.ones(2, np.float32), np.array([1, 2], np.int32), np.array([0, 2, 2], np.int32)),
     "index out of bounds: the len is 2 but the index is 2"),
]


@pytest.mark.parametrize("matrix, message", BROKEN)
def test_broken_csr_is_index_failure(matrix, message):
    for call in (lambda: cooccurrence_signal(*matrix, [0], [0]),
                 lambda: cooccurrence_retrieve(*matrix, [0], 5)):
        with pytest.raises(InternalFailure, match=f"^{message}$"):
            call()
    # rows that are never read are not checked
    assert cooccurrence_signal(*matrix, [1], [0]).tolist() == [0.0]


@pytest.mark.parametrize("seed", range(12))
def test_random_against_reference(seed):
    rng = np.random.default_rng(seed)
    n = int(rng.integers(1, 40))
    data, indices, indptr = random_csr(rng, n, duplicates=seed % 3 == 0)
    if seed % 2:
        data = np.abs(data).round()  # many ties
    owned = rng.integers(0, n + 3, size=int(rng.integers(0, 8))).tolist()
    candidates = rng.integers(-2, n + 2, size=15).tolist()

    acc = owned_row_sum(data, indices, indptr, owned, n)
    expected = [acc[c] if 0 <= c < n else 0.0 for c in candidates]
    assert cooccurrence_signal(data, indices, indptr, owned, candidates).tolist() == expected

    for budget in (0, 1, 3, n + 5):
        for include_owned in (False, True):
            got = cooccurrence_retrieve(data, indices, indptr, owned, budget, include_owned)
            want = reference_retrieve(data, indices, indptr, owned, budget, include_owned)
            assert got == want


@pytest.mark.parametrize("seed", range(4))
def test_random_selection_with_many_ties(seed):
    # many positive items and few distinct scores: the selection buffer is cut
    # repeatedly and ties decide most places
    rng = np.random.default_rng(100 + seed)
    n = 400
    data, indices, indptr = random_csr(rng, n, max_per_row=120)
    data = np.ceil(np.abs(data) * 2).astype(np.float32)
    owned = rng.integers(0, n, size=12).tolist()
    for budget in (1, 2, 7, 40, 150):
        got = cooccurrence_retrieve(data, indices, indptr, owned, budget)
        assert got == reference_retrieve(data, indices, indptr, owned, budget, False)
