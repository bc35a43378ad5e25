"""Base scores from many long rows: the co-occurrence base's column-blocked
sum with its dense rows, and both bases split over the pool. The scores must
be those of adding the owned rows one after another, to the bit, on any
record."""
import json
import os
import subprocess
import sys

import numpy as np
import pytest

from tarsel import _core

F32, I32 = np.float32, np.int32
N_ITEMS = 9_000  # three column blocks, the last one short


def long_rows_csr(rng, long_rows=60, unsorted=(), duplicated=(), bad_column=None):
    """Rows 0 .. long_rows - 1 hold 1,000 to 9,000 entries (the longest are
    kept dense; an unsorted row is too short for that, a row with a repeated
    column as long as can be), the other rows a few.
    Values include -0.0 and repeats, so that the order of additions shows in
    the sums."""
    lengths = np.where(np.arange(N_ITEMS) < long_rows,
                       rng.integers(1_000, N_ITEMS + 1, size=N_ITEMS),
                       rng.integers(0, 4, size=N_ITEMS))
    lengths[list(unsorted)] = 2_000
    lengths[list(duplicated)] = N_ITEMS
    rows = [np.sort(rng.choice(N_ITEMS, size=int(m), replace=False)) for m in lengths]
    for r in unsorted:
        rows[r] = rows[r][::-1].copy()
    for r in duplicated:
        rows[r][1] = rows[r][0]
    if bad_column is not None:
        rows[bad_column[0]][-1] = bad_column[1]
    indices = np.concatenate(rows).astype(I32)
    data = rng.choice(np.array([-0.0, 0.1, 1e-8, 1e8, -3.0, 0.3], F32), size=len(indices))
    indptr = np.concatenate([[0], np.cumsum(lengths)]).astype(I32)
    return data, indices, indptr


def sequential_sums(data, indices, indptr, owned):
    """Every owned row added in turn, entry by entry in float64 (np.add.at adds
    in position order, repeated columns included)."""
    scores = np.zeros(N_ITEMS)
    for o in owned:
        if o < N_ITEMS:
            lo, hi = indptr[o], indptr[o + 1]
            np.add.at(scores, indices[lo:hi], data[lo:hi].astype(np.float64))
    return scores


def expected_top(scores, owned, n):
    ranked = [i for i in np.lexsort((np.arange(N_ITEMS), -scores)).tolist()
              if i not in set(owned) and scores[i] > 0]
    return ranked[:n], [float(scores[i]) for i in ranked[:n]]


def engine_of(csr):
    data, indices, indptr = csr
    return _core.build_engine({"cooc_data": data, "cooc_indices": indices, "cooc_indptr": indptr},
                              {"n_items": N_ITEMS, "base_is_ease": False,
                               "retrieval_budget": N_ITEMS})


def requests(rng, count=4):
    # Repeats of an owned row add it again; 9,000 is past the catalogue.
    return [rng.choice(60, size=int(rng.integers(40, 80))).tolist() + [9_000]
            for _ in range(count)]


@pytest.mark.parametrize("faults", [
    {},
    # Read in one sequential pass instead of by column blocks.
    {"unsorted": (3, 7)},
    # Not kept dense: a repeated column adds twice in its place.
    {"duplicated": (0, 1, 2, 5)},
])
def test_long_rows_sum_as_one_row_after_another(faults):
    rng = np.random.default_rng(len(faults))
    csr = long_rows_csr(rng, **faults)
    engine = engine_of(csr)
    for owned in requests(rng):
        # Every positive score, in ranking order.
        items, scores, labels = engine.recommend(owned, -1, N_ITEMS)
        assert (items, scores) == expected_top(sequential_sums(*csr, owned), owned, N_ITEMS)
        assert engine.recommend_batch([owned], [-1], N_ITEMS) == [(items, scores, labels)]


def test_a_bad_column_in_a_long_row_is_an_internal_failure():
    csr = long_rows_csr(np.random.default_rng(3), bad_column=(4, -7))
    engine = engine_of(csr)
    assert engine.recommend([1, 2], -1, 3)[0]
    for call in (lambda: engine.recommend([1, 4, 2], -1, 3),
                 lambda: engine.recommend_batch([[1, 4, 2]], [-1], 3)):
        with pytest.raises(_core.InternalFailure,
                           match="^index out of bounds: the len is 9000 but the index is "
                                 "18446744073709551609$"):
            call()


SCRIPT = """
import json, sys
sys.path.insert(0, {tests!r})
import numpy as np
from test_large_row_sums import engine_of, long_rows_csr, requests
rng = np.random.default_rng(11)
engine = engine_of(long_rows_csr(rng))
print(json.dumps([engine.recommend(owned, -1, 40) for owned in requests(rng)]))
"""


def test_results_do_not_depend_on_the_pool_size():
    runs = []
    for threads in (1, 3):
        env = {**os.environ, "RAYON_NUM_THREADS": str(threads)}
        done = subprocess.run([sys.executable, "-c",
                               SCRIPT.format(tests=os.path.dirname(__file__))],
                              env=env, capture_output=True, text=True, check=True)
        runs.append(json.loads(done.stdout))
    assert runs[0] == runs[1]


def test_a_large_ease_sum_adds_the_rows_in_owned_order():
    rng = np.random.default_rng(5)
    n_items = 3_000
    block = rng.choice(np.array([1e8, -1e8, 0.1, 3.0, -0.0], F32), size=(n_items, n_items))
    engine = _core.build_engine({"ease_b": block},
                                {"n_items": n_items, "retrieval_budget": n_items})
    owned = rng.choice(n_items, size=150).tolist()  # 450,000 additions, with repeats
    expected = np.zeros(n_items)
    for o in owned:
        expected = expected + block[o].astype(np.float64)
    expected[owned] = -np.inf
    order = np.lexsort((np.arange(n_items), -expected))[:n_items - len(set(owned))]
    got = engine.recommend(owned, -1, n_items)
    assert (got[0], got[1]) == (order.tolist(), expected[order].tolist())
    assert engine.recommend_batch([owned], [-1], n_items) == [got]
