"""EngineState.recommend and recommend_batch: worked examples of each pipeline step, the
in-place overrides, long-row sums, argument errors, InternalFailure on broken records, and
randomized comparisons with the plain reference pipeline."""

import json
import math
import os
import subprocess
import sys
import threading

import numpy as np
import pytest

from reference import engine_record
from reference.csr import random_csr
from reference.engines import random_engine, random_profile, random_request
from reference.recommend import assert_matches
from tarsel import _core

F32, I32, I64, F64 = np.float32, np.int32, np.int64, np.float64
DAY = 86400.0
TRANS = ("trans_data", "trans_indices", "trans_indptr")
CONTENT = ("content_data", "content_indices", "content_indptr")
PROFILE = tuple(
    f"repeat_{k}" for k in ("indptr", "items", "counts", "last_ts", "periods", "quality")
)
ALPHAS = ("trend_alpha", "user_cf_alpha", "last_item_alpha", "transition_alpha")

# Row 0 of this block scores items 1..3 as 1, 2, 0; row 1 as 0, 0, 3.
EASE_4 = np.array([[0, 1, 2, 0], [1, 0, 0, 3], [2, 0, 0, 1], [0, 3, 1, 0]], F32)


def ease_engine(block=EASE_4, arrays=(), **config):
    config = {"n_items": len(block), **config}
    return _core.build_engine({"ease_b": np.asarray(block, F32), **dict(arrays)}, config)


def csr(rows, dtypes=(F32, I32, I32)):
    """A CSR triple from a list of {column: value} rows."""
    data, indices, indptr = [], [], [0]
    for r in rows:
        indices += sorted(r)
        data += [r[c] for c in sorted(r)]
        indptr.append(len(indices))
    return tuple(np.asarray(a, d) for a, d in zip((data, indices, indptr), dtypes))


def cooc_engine(rows, n_items, arrays=(), **config):
    arrays = {**dict(zip(("cooc_data", "cooc_indices", "cooc_indptr"), csr(rows))), **dict(arrays)}
    return _core.build_engine(arrays, {"n_items": n_items, "base_is_ease": False, **config})


def assert_result(got, items, scores, labels):
    assert got[0] == items
    assert got[1] == pytest.approx(scores, rel=1e-12, abs=1e-12)
    assert got[2] == ([labels] * len(items) if isinstance(labels, str) else labels)


@pytest.mark.parametrize(
    "owned, n, config, items, scores",
    [
        ([0], 3, {}, [2, 1, 3], [2.0, 1.0, 0.0]),
        ([0, 1], 3, {}, [3, 2], [3.0, 2.0]),
        ([0, 0, 9, -3], 3, {}, [2, 1, 3], [4.0, 2.0, 0.0]),  # repeats add twice, -3 and 9 unread
        ([0], 5, {"retrieval_budget": 2}, [2, 1], [2.0, 1.0]),
        ([], 3, {}, [], []),
        ([0], 0, {}, [], []),
        ([0], 3, {"retrieval_budget": 0}, [], []),
        ([0, 1, 2, 3], 3, {}, [], []),  # every score is -inf
    ],
)
def test_ease_rows_are_summed_and_owned_items_excluded(owned, n, config, items, scores):
    assert_result(ease_engine(**config).recommend(owned, -1, n), items, scores, "ease")


def test_ease_block_smaller_than_the_catalogue_scores_the_rest_zero():
    engine = ease_engine(np.array([[0, 2], [3, 0]], F32), n_items=4)
    assert_result(engine.recommend([1, 3], -1, 5), [0, 2], [3.0, 0.0], "ease")
    no_block = _core.build_engine({"cooc_indptr": np.zeros(4, I32)}, {"n_items": 3})
    assert_result(no_block.recommend([1], -1, 5), [0, 2], [0.0, 0.0], "ease")
    # The same read back from a record (loading refuses a block wider than the catalogue).
    fields = engine_record.engine_fields({"ease_b": EASE_4}, {"n_items": 4})
    record = engine_record.encode_record({**fields, "ease_dim": 2, "ease_b": [0.0, 1.0, 1.0, 0.0]})
    got = _core.EngineState.from_bytes(record).recommend([0], -1, 3)
    assert got == ([1, 2, 3], [1.0, 0.0, 0.0], ["ease"] * 3)


TREND = np.array([0.0, 1.0, 0.0, -1.0])
TRANSITION = dict(zip(TRANS, csr([{1: 1.0}, {}, {}, {}], (F64, I32, I64))))


@pytest.mark.parametrize(
    "arrays, config, label",
    [
        ({}, {"trend_alpha": 1.0}, "cooc"),  # trend_z absent
        ({"trend_z": TREND}, {"trend_alpha": 1.0}, "cooc_fused"),
        ({"trend_z": TREND}, {"trend_alpha": math.nan}, "cooc"),
        (TRANSITION, {"transition_alpha": 0.5}, "cooc_fused"),
    ],
)
def test_cooc_label(arrays, config, label):
    engine = cooc_engine([{1: 1.0, 2: 2.0, 3: 3.0}], n_items=4, arrays=arrays, **config)
    assert set(engine.recommend([0], -1, 3)[2]) == {label}


@pytest.mark.parametrize(
    "pop, pop_prior, on",
    [
        (np.array([0.0, math.e - 1, math.e**2 - 1, 0.0]), 3.0, True),
        (np.arange(3.0), 1.0, False),  # popularity of another extent: no addend
        (np.arange(4.0), -1.0, False),
    ],
)
def test_popularity_addend_is_standardised_log_popularity(pop, pop_prior, on):
    engine = ease_engine(np.zeros((4, 4), F32) if on else EASE_4, arrays={"item_pop": pop})
    got = engine.recommend([0], -1, 3, pop_prior)
    p = np.log1p(pop)
    z = 3.0 * (p - p.mean()) / p.std()
    assert_result(got, [2, 1, 3], [z[2], z[1], z[3]] if on else [2.0, 1.0, 0.0], "ease")


def repeat_profile(items, last_ts, counts=None, now=100 * DAY):
    size, counts = len(items), [3.0] * len(items) if counts is None else counts
    rows = I64([0, size]), I64(items), F64(counts), F64(last_ts)
    return *rows, np.full(size, 10 * DAY), np.ones(size), now


def repeat_engine(items, last_ts, counts=None, active=True, **config):
    *arrays, now = repeat_profile(items, last_ts, counts)
    return ease_engine(
        arrays=dict(zip(PROFILE, arrays)), repeat_active=active, repeat_now_ts=now, **config
    )


def test_repeat_adjustment():
    # NaN last time: multiplier 1, score = freq + score; ln(1 + 3) * 0.5 for the owned item 0,
    # for the profile's own row only.
    engine = repeat_engine([0], [math.nan], repeat_freq_alpha=0.5)
    got = engine.recommend([0], 0, 5)
    assert_result(got, [2, 1, 0, 3], [2.0, 1.0, 0.5 * math.log(4.0), 0.0], "ease")
    for user_row in (-1, 1, 5):
        assert_result(engine.recommend([0], user_row, 5), [2, 1, 3], [2.0, 1.0, 0.0], "ease")
    # A later entry for the same item overwrites an earlier one.
    got = repeat_engine([2, 2], [93 * DAY, math.nan]).recommend([0], 0, 5)
    assert_result(got, [2, 1, 3], [2.0, 1.0, 0.0], "ease")
    # Rows 0 + 3 score items 1 and 2 as 4 and 3; item 3's entry has no count.
    engine = repeat_engine([0, 3], [math.nan, math.nan], counts=[3.0], repeat_freq_alpha=1.0)
    got = engine.recommend([0, 3], 0, 5)
    assert_result(got, [1, 2, 0, 3], [4.0, 3.0, math.log(4.0), 0.0], "ease")


def test_equal_boosted_scores_keep_the_pre_boost_rank():
    # Pool by score: items 2 (10), 3 (8), 4 (7), 1 (1); gaps 2, 1, 6 give boost 3 * 2.
    block = np.zeros((5, 5), F32)
    block[0] = [0, 1, 10, 8, 7]
    # The layer is [1, 1, 0, 10] over the pool: only item 1 is an outlier (z = 1.41 > 1).
    layer = csr([{1: 10.0, 2: 1.0, 3: 1.0}] + [{}] * 4)
    engine = ease_engine(block, arrays={"boost": [layer]}, z_threshold=1.0)
    assert_result(engine.recommend([0], -1, 4), [2, 3, 4, 1], [10.0, 8.0, 7.0, 7.0], "ease")
    # Three rows only: candidates 3 and 4 read 0, owned item 4 has no row, so the pool
    # [2, 3, 1] reads the layer as [20, 0, 1]: too few positives, no boost.
    layer = csr([{0: 1.0, 1: 1.0, 2: 20.0}, {}, {}])
    engine = ease_engine(block, arrays={"boost": [layer]}, z_threshold=1.0)
    assert_result(engine.recommend([0, 4], -1, 4), [2, 3, 1], [10.0, 8.0, 1.0], "ease")
    # Without the boost, equal scores come out by item index.
    block[0] = [0, 5, 5, 5, 5]
    assert ease_engine(block).recommend([0], -1, 4)[0] == [1, 2, 3, 4]


def cold_engine(block_row, coldness, feature_values, **config):
    block = np.zeros((len(block_row),) * 2, F32)
    block[0] = block_row
    features = dict(zip(CONTENT, csr([{0: v} if v else {} for v in feature_values])))
    features["content_coldness"] = np.asarray(coldness, F64)
    return ease_engine(block, arrays=features, content_nfeat=1, **config)


def test_one_cold_slot_replaces_the_last_regular_entry():
    engine = cold_engine(
        [0, 5, 4, 3, 2, 1], [0.1] * 4 + [0.9] * 2, [1, 0, 0, 0, 1, 2], cold_slots=1
    )
    # Similarities [1, 0, 0, 0, 1, 2] standardised: item 5 scores 4 / sqrt(5).
    got = engine.recommend([0], -1, 3)
    assert_result(got, [1, 2, 5], [5.0, 4.0, 4 / math.sqrt(5)], ["ease"] * 2 + ["cold_content"])
    # The cold walk skips items already recommended (item 4 is best in both lists).
    engine = cold_engine([0, 0, 0, 0, 9, 1], [0] * 4 + [1] * 2, [1, 0, 0, 0, 2, 1], cold_slots=1)
    assert engine.recommend([0], -1, 2)[0] == [4, 5]


@pytest.mark.parametrize(
    "n, slots, items",
    [
        (3, 5, [8, 7, 6, 5, 4]),  # more picks than n: no regular entry is left
        (0, 1, [8]),  # cold picks even for n = 0
        (4, 2, [1, 2, 8, 7]),
    ],
)
def test_cold_slots(n, slots, items):
    block_row, features = [0, 9, 8, 7, 1, 1, 1, 1, 1], [1, 0, 0, 0, 1, 2, 3, 4, 5]
    engine = cold_engine(block_row, [0] * 4 + [1] * 5, features, cold_slots=slots)
    got = engine.recommend([0], -1, n)
    picks = min(slots, len(items))
    assert got[0] == items and got[2] == ["ease"] * (len(items) - picks) + ["cold_content"] * picks


@pytest.mark.parametrize("seed", range(6))
def test_batches_grouped_by_list_length_answer_as_single_requests(seed):
    # The cold walk skips items already in the list, so a longer list can pick
    # other cold items: users needing different lengths must each get their own.
    from tarsel._fitting import sized_batch

    rng = np.random.default_rng(seed)
    n_items = 9
    engine = cold_engine(
        rng.integers(0, 9, n_items).tolist(),
        rng.choice([0.1, 0.9], n_items).tolist(),
        rng.integers(0, 4, n_items).tolist(),
        cold_slots=int(rng.integers(1, 3)),
    )
    sizes = rng.integers(1, n_items + 1, 12)
    batch = lambda o, r, n: engine.recommend_batch(o, r, n, 0.0)  # noqa: E731
    got = sized_batch(batch, [[0]] * 12, [-1] * 12, sizes)
    assert got == [engine.recommend([0], -1, int(n)) for n in sizes]


def test_repeat_switch_and_profile_overrides():
    engine = ease_engine(repeat_freq_alpha=1.0)
    engine.set_repeat_profile(*repeat_profile([0], [93 * DAY]))
    assert engine.recommend([0], 0, 5)[0] == [2, 1, 3]  # off: owned item 0 stays out
    engine.set_repeat_active(True)
    # 7 of 10 days: multiplier 0.5 on ln(1 + 3) + 0.
    assert_result(engine.recommend([0], 0, 5), [2, 1, 0, 3], [2, 1, math.log(2.0), 0], "ease")
    # A NaN "now" makes every multiplier 1; strided arrays are copied through their strides.
    *arrays, _ = repeat_profile([0, 3], [93 * DAY] * 2)
    strided = [np.repeat(a, 2)[::2] for a in arrays]
    engine.set_repeat_profile(*strided, math.nan)
    expected = ([2, 0, 3, 1], [2.0, math.log(4.0), math.log(4.0), 1.0], ["ease"] * 4)
    assert engine.recommend([0], 0, 5) == expected
    strided[1][:] = 1  # the engine kept its own copy
    assert engine.recommend([0], 0, 5) == expected
    engine.set_repeat_active(False)
    assert engine.recommend([0], 0, 5)[0] == [2, 1, 3]


PROFILE_F32 = repeat_profile([0], [1.0])[:2] + (F32([3]),) + repeat_profile([0], [1.0])[3:]


@pytest.mark.parametrize(
    "method, args, error, message",
    [
        ("recommend", ("abc", -1, 3), TypeError, "argument 'owned': Can't extract `str`"),
        ("recommend", ([0], -1, -1), OverflowError, "argument 'n': can't convert negative"),
        ("set_channel_alphas", (1, "x", 0, 0), TypeError, "argument 'user_cf_alpha': must be real"),
        ("set_repeat_profile", PROFILE_F32, TypeError, "argument 'counts': 'ndarray' object"),
    ],
)
def test_bad_arguments_leave_the_engine_unchanged(method, args, error, message):
    engine = ease_engine(repeat_active=True, repeat_freq_alpha=1.0)
    engine.set_repeat_profile(*repeat_profile([0, 2], [math.nan, 93 * DAY]))
    before = engine.recommend([0], 0, 5)
    with pytest.raises(error, match=f"^{message}"):
        getattr(engine, method)(*args)
    assert engine.recommend([0], 0, 5) == before


def test_override_during_a_batch_is_refused_and_the_batch_unaffected():
    engine = ease_engine(np.random.default_rng(5).random((1500, 1500), dtype=F32))
    owneds = [list(range(u % 50, u % 50 + 60)) for u in range(3000)]
    expected = engine.recommend_batch(owneds[:50], [0] * 50, 5)
    result = []
    batch = lambda: result.append(engine.recommend_batch(owneds, [0] * 3000, 5))  # noqa: E731
    worker = threading.Thread(target=batch)
    worker.start()  # returns once the thread runs
    refused = 0
    while worker.is_alive() and not refused:
        try:
            # The same weights as before: harmless if it lands before the batch starts.
            engine.set_channel_alphas(0.0, 0.0, 0.0, 0.0)
        except RuntimeError as error:
            assert str(error) == "Already borrowed"
            refused += 1
    worker.join()
    assert refused == 1 and result[0][:50] == expected
    engine.set_repeat_active(True)  # the borrow ended with the batch


def test_one_failing_user_fails_the_batch():
    # Row 3 of the co-occurrence graph names an item past the catalogue.
    engine = cooc_engine([{1: 1.0}, {}, {}, {9: 1.0}], 4)
    owneds = [[0]] * 200
    assert engine.recommend_batch(owneds, [0] * 200, 3) == [([1], [1.0], ["cooc"])] * 200
    with pytest.raises(_core.InternalFailure, match="^index out of bounds: the len is 4 but"):
        engine.recommend_batch(owneds[:100] + [[3]] + owneds[100:], [0] * 201, 3)
    assert engine.recommend_batch([[0]], [0], 3) == [([1], [1.0], ["cooc"])]  # still usable


TRANSITION_4 = dict(zip(TRANS, csr([{1: 1.0}] * 4, (F64, I32, I64))))
# One broken table per channel. User 1 owns items 1 and 2: the only neighbour of a user who
# owns item 1, but the item -> user rows name user 5 of 2.
USERS_1 = dict(uri_data=I64([1, 2]), uri_indptr=I64([0, 0, 2]), uu_data=I64([5, 1]))
USERS_1 |= dict(uu_indptr=I64([0, 0, 1, 2, 2]), uu_deg=F64([0, 2]))
REPEAT = dict(repeat_indptr=I64([0, 2]), repeat_items=I64([1, 2]), repeat_last_ts=F64([1]))
REPEAT |= dict(repeat_periods=F64([1, 1]), repeat_quality=F64([1, 1]))
BROKEN = {
    "cooc column past the catalogue": (
        dict(zip(("cooc_data", "cooc_indices", "cooc_indptr"), csr([{4: 1.0}]))),
        {"base_is_ease": False},
    ),
    "transition row past its data": (
        {**TRANSITION_4, "trans_data": np.ones(0)},
        {"transition_alpha": 1.0},
    ),
    "user past n_users": (USERS_1, {"user_cf_alpha": 1.0, "n_users": 2}),
    "feature past content_nfeat": (
        dict(zip(CONTENT, csr([{3: 1.0}] * 4))),
        {"content_alpha": 1.0, "content_nfeat": 2},
    ),
    "boost column past its rows": ({"boost": [csr([{2: 1.0}, {}])]}, {}),
    "repeat profile past its timestamps": (REPEAT, {"repeat_active": True}),
}


@pytest.mark.parametrize("case", sorted(BROKEN))
def test_broken_record_raises_internal_failure(case):
    arrays, config = BROKEN[case]
    engine = ease_engine(arrays=arrays, **config)
    with pytest.raises(_core.InternalFailure, match="^index out of bounds: the len is"):
        engine.recommend([0, 1], 0, 3)


def test_broken_rows_of_unused_channels_are_not_read():
    arrays = {**TRANSITION_4, "trans_indices": np.array([9, 9, 9, 9], I32)}
    assert ease_engine(arrays=arrays).recommend([0], -1, 1)[0] == [2]


N_LONG = 9_000  # three column blocks of the co-occurrence sum, the last one short


def long_rows_csr(rng, unsorted=(), duplicated=(), bad_column=None):
    """Rows 0..59 hold 1,000 to 9,000 entries (the longest are kept dense; an unsorted row is
    too short for that, a row with a repeated column as long as can be), the others a few.
    Values include -0.0 and repeats, so that the order of additions shows in the sums."""
    lengths = np.where(
        np.arange(N_LONG) < 60,
        rng.integers(1_000, N_LONG + 1, size=N_LONG),
        rng.integers(0, 4, size=N_LONG),
    )
    lengths[list(unsorted)] = 2_000
    lengths[list(duplicated)] = N_LONG
    rows = [np.sort(rng.choice(N_LONG, size=int(m), replace=False)) for m in lengths]
    for r in unsorted:
        rows[r] = rows[r][::-1].copy()
    for r in duplicated:
        rows[r][1] = rows[r][0]
    if bad_column is not None:
        rows[bad_column[0]][-1] = bad_column[1]
    indices = np.concatenate(rows).astype(I32)
    data = rng.choice(np.array([-0.0, 0.1, 1e-8, 1e8, -3.0, 0.3], F32), size=len(indices))
    return data, indices, np.concatenate([[0], np.cumsum(lengths)]).astype(I32)


def long_engine(data, indices, indptr):
    return _core.build_engine(
        {"cooc_data": data, "cooc_indices": indices, "cooc_indptr": indptr},
        {"n_items": N_LONG, "base_is_ease": False, "retrieval_budget": N_LONG},
    )


def long_requests(rng, count=4):
    # Repeats of an owned row add it again; 9,000 is past the catalogue.
    return [
        rng.choice(60, size=int(rng.integers(40, 80))).tolist() + [N_LONG] for _ in range(count)
    ]


@pytest.mark.parametrize("faults", [{}, {"unsorted": (3, 7)}, {"duplicated": (0, 1, 2, 5)}])
def test_long_rows_sum_as_one_row_after_another(faults):
    rng = np.random.default_rng(len(faults))
    data, indices, indptr = long_rows_csr(rng, **faults)
    engine = long_engine(data, indices, indptr)
    for owned in long_requests(rng):
        scores = np.zeros(N_LONG)
        for o in owned[:-1]:  # np.add.at adds in position order, repeated columns included
            lo, hi = indptr[o], indptr[o + 1]
            np.add.at(scores, indices[lo:hi], data[lo:hi].astype(F64))
        ranked = [
            i
            for i in np.lexsort((np.arange(N_LONG), -scores)).tolist()
            if i not in set(owned) and scores[i] > 0
        ]
        items, values, labels = engine.recommend(owned, -1, N_LONG)
        assert (items, values) == (ranked, [float(scores[i]) for i in ranked])
        assert engine.recommend_batch([owned], [-1], N_LONG) == [(items, values, labels)]


def test_a_bad_column_in_a_long_row_is_an_internal_failure():
    engine = long_engine(*long_rows_csr(np.random.default_rng(3), bad_column=(4, -7)))
    assert engine.recommend([1, 2], -1, 3)[0]
    message = f"^index out of bounds: the len is 9000 but the index is {2**64 - 7}$"
    with pytest.raises(_core.InternalFailure, match=message):
        engine.recommend([1, 4, 2], -1, 3)
    with pytest.raises(_core.InternalFailure, match=message):
        engine.recommend_batch([[1, 4, 2]], [-1], 3)


def test_a_large_ease_sum_adds_the_rows_in_owned_order():
    rng = np.random.default_rng(5)
    n_items = 3_000
    block = rng.choice(np.array([1e8, -1e8, 0.1, 3.0, -0.0], F32), size=(n_items, n_items))
    engine = ease_engine(block, retrieval_budget=n_items)
    owned = rng.choice(n_items, size=150).tolist()  # 450,000 additions, with repeats
    expected = np.zeros(n_items)
    for o in owned:
        expected = expected + block[o].astype(F64)
    expected[owned] = -np.inf
    order = np.lexsort((np.arange(n_items), -expected))[: n_items - len(set(owned))]
    got = engine.recommend(owned, -1, n_items)
    assert (got[0], got[1]) == (order.tolist(), expected[order].tolist())
    assert engine.recommend_batch([owned], [-1], n_items) == [got]


def random_batches(seed, engines, users):
    """(arrays, config, owneds, user_rows, n, pop_prior) per random engine."""
    rng = np.random.default_rng(seed)
    for _ in range(engines):
        arrays, config = random_engine(rng)
        owneds, rows, ns, priors = zip(*(random_request(rng, config) for _ in range(users)))
        yield arrays, config, list(owneds), list(rows), ns[0], priors[0]


POOL_SCRIPT = """
import hashlib, json, sys
sys.path.insert(0, {tests!r})
import numpy as np
from test_recommend import long_engine, long_rows_csr, long_requests, random_batches
from tarsel import _core
out = [_core.build_engine(a, c).recommend_batch(o, u, n, p)
       for a, c, o, u, n, p in random_batches(7, engines=10, users=40)]
rng = np.random.default_rng(11)
engine = long_engine(*long_rows_csr(rng))
out += [engine.recommend(owned, -1, 40) for owned in long_requests(rng)]
users, items = rng.integers(0, 2000, 60000), np.minimum(rng.zipf(1.3, 60000) - 1, 999)
cooc = _core.build_cooccurrence(users, items, rng.random(60000).astype(np.float32), 2000, 1000,
                                "hybrid_temporal", 0.5, 3.0, rng.random(60000) * 1e7)
out.append(hashlib.sha256(b"".join(a.tobytes() for a in cooc)).hexdigest())
print(json.dumps(out))
"""


def test_results_do_not_depend_on_the_pool_size():
    """Batches, long rows and a co-occurrence build; malformed sizes fall back to the CPU count
    and absurd ones are capped."""
    runs = []
    for threads in ("1", "3", "0", "abc", "99999999999999999999"):
        script = POOL_SCRIPT.format(tests=os.path.dirname(__file__))
        env = {**os.environ, "RAYON_NUM_THREADS": threads}
        done = subprocess.run([sys.executable, "-c", script], env=env, capture_output=True)
        runs.append(json.loads(done.stdout))
    assert all(run == runs[0] for run in runs)


@pytest.mark.parametrize("seed", range(12))
def test_matches_the_reference_pipeline(seed):
    """Random engines, every other one with random overrides applied: each request matches the
    reference, and a batch of them equals the loop of single requests."""
    for arrays, config, owneds, user_rows, n, pop_prior in random_batches(seed, 30, 6):
        engine = _core.build_engine(arrays, config)
        rng = np.random.default_rng([seed, len(owneds[0])])
        if rng.random() < 0.5:
            alphas = [float(rng.choice([0.0, rng.uniform(0.1, 2.0)])) for _ in ALPHAS]
            engine.set_channel_alphas(*alphas)
            config.update(zip(ALPHAS, alphas))
            config["repeat_active"] = bool(rng.random() < 0.5)
            engine.set_repeat_active(config["repeat_active"])
            if rng.random() < 0.5:
                arrays.update(random_profile(rng, config["n_users"], config["n_items"], 2e9))
                config["repeat_now_ts"] = float(rng.choice([math.nan, 2e9]))
                engine.set_repeat_profile(*(arrays[k] for k in PROFILE), config["repeat_now_ts"])
        for owned, user_row in zip(owneds, user_rows):
            assert_matches(engine, arrays, config, owned, user_row, n, pop_prior)
        expected = [engine.recommend(o, u, n, pop_prior) for o, u in zip(owneds, user_rows)]
        assert engine.recommend_batch(owneds, user_rows, n, pop_prior) == expected
        # The longer sequence's surplus is ignored.
        assert engine.recommend_batch(owneds, user_rows[:3], n, pop_prior) == expected[:3]
        # A grid of popularity weights answers as one batch per weight.
        priors = [pop_prior, 0.0, float(rng.uniform(0.01, 3.0)), pop_prior]
        assert engine.recommend_batch_priors(owneds, user_rows, n, priors) == [
            engine.recommend_batch(owneds, user_rows, n, w) for w in priors
        ]


@pytest.mark.parametrize("seed", range(4))
def test_retrieval_over_many_blocks_matches_the_reference(seed):
    """Catalogues of hundreds of items whose co-occurrence scores are small integers (many
    equal scores at the budget's edge), with and without a boost layer, budgets below and above
    the number of blocks: the pool and the answer are the reference's."""
    rng = np.random.default_rng([25, seed])
    n_items = int(rng.integers(100, 700))
    data, indices, indptr = random_csr(rng, n_items, max_per_row=60)
    arrays = {"cooc_data": np.round(data * 2).astype(F32), "cooc_indices": indices}
    arrays["cooc_indptr"] = indptr
    if seed % 2:
        arrays["boost"] = [random_csr(rng, n_items, max_per_row=8)]
    for budget in (1, int(rng.integers(2, 40)), int(rng.integers(40, n_items + 5))):
        config = dict(n_items=n_items, base_is_ease=False, retrieval_budget=budget)
        config["trend_alpha"] = 0.5  # a fused base: negative scores stay candidates
        arrays["trend_z"] = np.round(rng.normal(size=n_items), 1)
        engine = _core.build_engine(arrays, config)
        for _ in range(5):
            owned = rng.choice(n_items, int(rng.integers(1, 6))).tolist()
            assert_matches(engine, arrays, config, owned, -1, int(rng.integers(0, 60)))
