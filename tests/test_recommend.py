"""EngineState.recommend: worked examples of each pipeline step, the argument
errors, InternalFailure on broken records, and a randomized comparison with
the plain reference pipeline."""
import math

import numpy as np
import pytest

from reference import engine_record
from reference.engines import random_engine, random_request
from reference.recommend import assert_matches as assert_matches_reference
from tarsel import _core

F32, I32, I64, F64 = np.float32, np.int32, np.int64, np.float64

# Row 0 of this block scores items 1..3 as 1, 2, 0; row 1 as 0, 0, 3.
EASE_4 = np.array([[0, 1, 2, 0], [1, 0, 0, 3], [2, 0, 0, 1], [0, 3, 1, 0]], F32)


def ease_engine(block=EASE_4, **config):
    arrays = {"ease_b": np.asarray(block, F32)}
    arrays.update(config.pop("arrays", {}))
    return _core.build_engine(arrays, {"n_items": len(block), **config})


def csr(rows, n_cols=None, dtypes=(F32, I32, I32)):
    """A CSR triple from a list of {column: value} rows."""
    data, indices, indptr = [], [], [0]
    for r in rows:
        for col in sorted(r):
            indices.append(col)
            data.append(r[col])
        indptr.append(len(indices))
    return (np.asarray(data, dtypes[0]), np.asarray(indices, dtypes[1]),
            np.asarray(indptr, dtypes[2]))


def cooc_engine(rows, n_items, **config):
    data, indices, indptr = csr(rows)
    arrays = {"cooc_data": data, "cooc_indices": indices, "cooc_indptr": indptr}
    arrays.update(config.pop("arrays", {}))
    return _core.build_engine(arrays, {"n_items": n_items, "base_is_ease": False, **config})


def assert_result(got, items, scores, labels):
    assert got[0] == items
    assert got[1] == pytest.approx(scores, rel=1e-12, abs=1e-12)
    assert got[2] == ([labels] * len(items) if isinstance(labels, str) else labels)


# ------------------------------------------------------------- base scores


@pytest.mark.parametrize("owned, n, items, scores", [
    ([0], 3, [2, 1, 3], [2.0, 1.0, 0.0]),
    ([0, 1], 3, [3, 2], [3.0, 2.0]),
    ([0, 0], 3, [2, 1, 3], [4.0, 2.0, 0.0]),            # a repeated item adds its row twice
    ([0], 1, [2], [2.0]),
    ([9, 0, -3], 3, [2, 1, 3], [2.0, 1.0, 0.0]),        # entries outside the catalogue ignored
    (np.array([0], I64), 3, [2, 1, 3], [2.0, 1.0, 0.0]),
    ((0,), 3, [2, 1, 3], [2.0, 1.0, 0.0]),
])
def test_ease_rows_are_summed_and_owned_items_excluded(owned, n, items, scores):
    assert_result(ease_engine().recommend(owned, -1, n), items, scores, "ease")


def test_ease_block_smaller_than_the_catalogue_scores_the_rest_zero():
    engine = ease_engine(np.array([[0, 2], [3, 0]], F32), n_items=4)
    engine_recommend = engine.recommend([1, 3], -1, 5)
    assert_result(engine_recommend, [0, 2], [3.0, 0.0], "ease")


def test_ease_base_without_block_ranks_by_index_on_zero_scores():
    engine = _core.build_engine({"cooc_indptr": np.zeros(4, I32)}, {"n_items": 3})
    assert_result(engine.recommend([1], -1, 5), [0, 2], [0.0, 0.0], "ease")


def test_cooc_base_keeps_only_positive_scores():
    engine = cooc_engine([{1: 2.0, 2: -1.0, 3: 0.5}, {0: 2.0}], n_items=5)
    assert_result(engine.recommend([0], -1, 10), [1, 3], [2.0, 0.5], "cooc")
    # Row 3 lies past the stored rows: it contributes nothing.
    assert_result(engine.recommend([0, 3], -1, 10), [1], [2.0], "cooc")


def test_cooc_base_with_no_positive_score_is_empty():
    engine = cooc_engine([{1: -2.0}, {0: -2.0}], n_items=3)
    assert engine.recommend([0], -1, 5) == ([], [], [])


@pytest.mark.parametrize("owned, n, config", [
    ([], 3, {}),
    ([-1, 4], 3, {}),
    ([0], 0, {}),
    ([0], 3, {"retrieval_budget": 0}),
    ([0, 1, 2, 3], 3, {}),                              # every score is -inf
])
def test_empty_results(owned, n, config):
    assert ease_engine(**config).recommend(owned, -1, n) == ([], [], [])


def test_retrieval_budget_limits_the_results():
    assert_result(ease_engine(retrieval_budget=2).recommend([0], -1, 5), [2, 1], [2.0, 1.0],
                  "ease")


# ------------------------------------------------------------------ labels

TREND = np.array([0.0, 1.0, 0.0, -1.0])
TRANSITION = csr([{1: 1.0}, {}, {}, {}], dtypes=(F64, I32, I64))


@pytest.mark.parametrize("arrays, config, label", [
    ({}, {"trend_alpha": 1.0}, "cooc"),                            # trend_z absent
    ({"trend_z": TREND}, {}, "cooc"),                              # trend weight 0
    ({"trend_z": TREND[:3]}, {"trend_alpha": 1.0}, "cooc"),        # wrong length
    ({"trend_z": TREND}, {"trend_alpha": 1.0}, "cooc_fused"),
    ({"trend_z": TREND}, {"trend_alpha": math.nan}, "cooc"),
    (dict(zip(["trans_data", "trans_indices", "trans_indptr"], TRANSITION)),
     {"transition_alpha": 0.5}, "cooc_fused"),
    (dict(zip(["trans_data", "trans_indices", "trans_indptr"], TRANSITION)),
     {"transition_alpha": 0.0}, "cooc"),
])
def test_cooc_label(arrays, config, label):
    engine = cooc_engine([{1: 1.0, 2: 2.0, 3: 3.0}], n_items=4, arrays=arrays, **config)
    assert set(engine.recommend([0], -1, 3)[2]) == {label}


def test_plain_cooc_ignores_user_cf_content_and_last_item():
    users = {"uu_data": np.array([0], I64), "uu_indptr": np.array([0, 1, 1, 1, 1], I64),
             "uu_deg": np.ones(1), "uri_data": np.array([3], I64),
             "uri_indptr": np.array([0, 1], I64)}
    content = dict(zip(["content_data", "content_indices", "content_indptr"],
                       csr([{0: 1.0}, {0: 5.0}, {}, {0: 1.0}])))
    rows = [{1: 1.0, 2: 2.0, 3: 0.5}]
    plain = cooc_engine(rows, n_items=4, trend_alpha=1.0).recommend([0], 0, 3)
    busy = cooc_engine(rows, n_items=4, arrays={**users, **content}, trend_alpha=1.0,
                       user_cf_alpha=5.0, n_users=1, content_alpha=5.0, content_nfeat=1,
                       last_item_alpha=5.0).recommend([0], 0, 3)
    assert busy == plain == ([2, 1, 3], [2.0, 1.0, 0.5], ["cooc"] * 3)


# ---------------------------------------------------------------- channels

# Population standard deviation of [0, 1, 2, 0] (row 0 of EASE_4): sqrt(0.6875).
SD_0120 = math.sqrt(0.6875)


def test_any_channel_standardises_the_base_even_when_flat_itself():
    # user-CF is on but finds no neighbour: only the standardisation shows.
    users = {"uu_data": np.zeros(0, I64), "uu_indptr": np.zeros(5, I64), "uu_deg": np.ones(1),
             "uri_data": np.zeros(0, I64), "uri_indptr": np.zeros(2, I64)}
    got = ease_engine(arrays=users, user_cf_alpha=1.0, n_users=1).recommend([0], -1, 3)
    assert_result(got, [2, 1, 3], [1.25 / SD_0120, 0.25 / SD_0120, -0.75 / SD_0120], "ease")


def test_trend_is_added_as_given():
    trend = np.array([0.0, 1.0, 0.0, 4.0])
    got = ease_engine(arrays={"trend_z": trend}, trend_alpha=0.5).recommend([0], -1, 3)
    z = (np.array([0, 1, 2, 0]) - 0.75) / SD_0120 + 0.5 * trend
    assert_result(got, [2, 3, 1], [z[2], z[3], z[1]], "ease")


# Users: 0 owns {0, 1}, 1 owns {0, 2, 3}, 2 owns {3}.
USER_SETS = [[0, 1], [0, 2, 3], [3]]


def user_tables(sets, n_items, by_item=None):
    """The user-CF tables of users owning `sets`; `by_item` replaces the item ->
    user rows derived from them."""
    if by_item is None:
        by_item = [[u for u, s in enumerate(sets) if i in s] for i in range(n_items)]
    return {"uri_data": np.array([i for s in sets for i in s], I64),
            "uri_indptr": np.cumsum([0] + [len(s) for s in sets]).astype(I64),
            "uu_data": np.array(sum(by_item, []), I64),
            "uu_indptr": np.cumsum([0] + [len(b) for b in by_item]).astype(I64),
            "uu_deg": np.array([len(s) for s in sets], F64)}


@pytest.mark.parametrize("user_row, k, items", [
    # sim(0) = 1/sqrt(2) beats sim(1) = 1/sqrt(3): only user 0 votes.
    (-1, 1, [1, 2, 3]),
    (2, 1, [1, 2, 3]),
    # Both vote: item 1 gets 1/sqrt(2), items 2 and 3 get 1/sqrt(3) each.
    (-1, 2, [1, 2, 3]),
    # The user itself is no neighbour: user 1 alone votes for items 2 and 3.
    (0, 1, [2, 3, 1]),
])
def test_user_cf_votes_of_the_most_similar_users(user_row, k, items):
    engine = ease_engine(np.zeros((4, 4), F32), arrays=user_tables(USER_SETS, 4),
                         user_cf_alpha=1.0, user_cf_k=k, n_users=3)
    got = engine.recommend([0], user_row, 3)
    assert got[0] == items


def test_user_cf_equal_similarity_keeps_the_smaller_user():
    # Users 0 and 1 both overlap {0} with degree 2; k = 1 keeps user 0.
    engine = ease_engine(np.zeros((4, 4), F32), arrays=user_tables([[0, 1], [0, 2]], 4),
                         user_cf_alpha=1.0, user_cf_k=1, n_users=2)
    assert_result(engine.recommend([0], -1, 3), [1, 2, 3], [1.0, -1.0, -1.0], "ease")


def test_transition_weights_decay_with_recency_up_to_last_k():
    # Items 0..3 are owned oldest first; row r points at item 7 - r.
    rows = [{7: 1.0}, {6: 1.0}, {5: 1.0}, {4: 1.0}] + [{}] * 4
    arrays = dict(zip(["trans_data", "trans_indices", "trans_indptr"],
                      csr(rows, dtypes=(F64, I32, I64))))
    engine = ease_engine(np.zeros((8, 8), F32), arrays=arrays, transition_alpha=1.0,
                         transition_last_k=3, transition_decay=0.5)
    items, scores, _ = engine.recommend([0, 1, 2, 3], -1, 4)
    assert items == [4, 5, 6, 7]
    gaps = np.array(scores[:3]) - scores[3]
    assert gaps / gaps[0] == pytest.approx([1.0, 0.5, 0.25], rel=1e-12)


def test_last_item_channel_reads_the_most_recent_row():
    # Base rows 0 + 1 = [1, 1, 2, 3]; the last item (1) pushes item 3 further.
    got = ease_engine(last_item_alpha=2.0).recommend([0, 1], -1, 2)
    base = np.array([1, 1, 2, 3], F64)
    last = np.array([1, 0, 0, 3], F64)
    z = (base - base.mean()) / base.std() + 2.0 * (last - last.mean()) / last.std()
    assert_result(got, [3, 2], [z[3], z[2]], "ease")


def test_content_channel_is_standardised_and_weighted_by_coldness():
    features = dict(zip(["content_data", "content_indices", "content_indptr"],
                        csr([{0: 1.0}, {0: 2.0}, {1: 1.0}, {0: 1.0, 1: 1.0}])))
    coldness = np.array([1.0, 0.5, 1.0, 2.0])
    engine = ease_engine(np.zeros((4, 4), F32), arrays={**features, "content_coldness": coldness},
                         content_alpha=1.0, content_nfeat=2)
    # Profile [1, 0]: similarities [1, 2, 0, 1], mean 1, sd sqrt(0.5).
    c = np.array([1.0, 2.0, 0.0, 1.0])
    z = (c - 1.0) * coldness / math.sqrt(0.5)
    assert_result(engine.recommend([0], -1, 3), [1, 3, 2], [z[1], z[3], z[2]], "ease")


# -------------------------------------------------------------- popularity


def test_popularity_addend_is_standardised_log_popularity():
    pop = np.array([0.0, math.e - 1, math.e ** 2 - 1, 0.0])
    engine = ease_engine(np.zeros((4, 4), F32), arrays={"item_pop": pop})
    p = np.log1p(pop)
    z = 3.0 * (p - p.mean()) / p.std()
    assert_result(engine.recommend([0], -1, 3, 3.0), [2, 1, 3], [z[2], z[1], z[3]], "ease")


@pytest.mark.parametrize("pop, pop_prior", [(np.arange(4.0), 0.0), (np.arange(3.0), 1.0),
                                            (np.arange(4.0), -1.0)])
def test_popularity_addend_off(pop, pop_prior):
    engine = ease_engine(arrays={"item_pop": pop})
    assert_result(engine.recommend([0], -1, 3, pop_prior), [2, 1, 3], [2.0, 1.0, 0.0], "ease")


# ------------------------------------------------------------------ repeat

DAY = 86400.0


def repeat_engine(items, last_ts, counts=None, active=True, **config):
    size = len(items)
    arrays = {
        "repeat_indptr": np.array([0, size], I64), "repeat_items": np.array(items, I64),
        "repeat_counts": np.array([3.0] * size if counts is None else counts, F64),
        "repeat_last_ts": np.array(last_ts, F64), "repeat_periods": np.full(size, 10 * DAY),
        "repeat_quality": np.ones(size),
    }
    return ease_engine(arrays=arrays, repeat_active=active, repeat_now_ts=100 * DAY, **config)


@pytest.mark.parametrize("items, last_ts, config, expected", [
    # NaN last time: multiplier 1, score = freq + score; ln(1 + 3) * 0.5 for the owned item 0.
    ([0], [math.nan], {"repeat_freq_alpha": 0.5},
     ([2, 1, 0, 3], [2.0, 1.0, 0.5 * math.log(4.0), 0.0])),
    # 7 of 10 days elapsed: the replenish curve is at its midpoint, 0.5.
    ([2], [93 * DAY], {}, ([1, 2, 3], [1.0, 1.0, 0.0])),
    ([0], [93 * DAY], {"repeat_freq_alpha": 1.0}, ([2, 1, 0, 3], [2.0, 1.0, math.log(2.0), 0.0])),
    # A later entry for the same item overwrites an earlier one.
    ([2, 2], [93 * DAY, math.nan], {}, ([2, 1, 3], [2.0, 1.0, 0.0])),
    ([2, 2], [math.nan, 93 * DAY], {}, ([1, 2, 3], [1.0, 1.0, 0.0])),
    # Entries past the catalogue are skipped.
    ([7, 0], [math.nan, math.nan], {}, ([2, 1, 0, 3], [2.0, 1.0, 0.0, 0.0])),
    # Off: the owned item stays excluded.
    ([0], [math.nan], {"active": False, "repeat_freq_alpha": 0.5},
     ([2, 1, 3], [2.0, 1.0, 0.0])),
])
def test_repeat_adjustment(items, last_ts, config, expected):
    engine = repeat_engine(items, last_ts, **config)
    assert_result(engine.recommend([0], 0, 5), *expected, "ease")


@pytest.mark.parametrize("user_row", [-1, 1, 5])
def test_repeat_adjustment_needs_a_profile_row(user_row):
    engine = repeat_engine([0], [math.nan], repeat_freq_alpha=0.5)
    assert_result(engine.recommend([0], user_row, 5), [2, 1, 3], [2.0, 1.0, 0.0], "ease")


def test_missing_counts_give_no_frequency_bonus():
    engine = repeat_engine([0, 3], [math.nan, math.nan], counts=[3.0], repeat_freq_alpha=1.0)
    # Rows 0 + 3 score items 1 and 2 as 4 and 3; item 3's entry has no count.
    assert_result(engine.recommend([0, 3], 0, 5), [1, 2, 0, 3], [4.0, 3.0, math.log(4.0), 0.0],
                  "ease")


# ---------------------------------------------------------- boost and ties


def test_equal_boosted_scores_keep_the_pre_boost_rank():
    # Pool by score: items 2 (10), 3 (8), 4 (7), 1 (1); gaps 2, 1, 6 give boost 3 * 2.
    block = np.zeros((5, 5), F32)
    block[0] = [0, 1, 10, 8, 7]
    # The layer is [1, 1, 0, 10] over the pool: only item 1 is an outlier (z = 1.41 > 1).
    layer = csr([{1: 10.0, 2: 1.0, 3: 1.0}] + [{}] * 4)
    engine = ease_engine(block, arrays={"boost": [layer]}, z_threshold=1.0)
    assert_result(engine.recommend([0], -1, 4), [2, 3, 4, 1], [10.0, 8.0, 7.0, 7.0], "ease")
    # Without the boost, equal scores come out by item index.
    block[0] = [0, 5, 5, 5, 5]
    assert ease_engine(block).recommend([0], -1, 4)[0] == [1, 2, 3, 4]


def test_boost_layer_rows_past_the_layer_are_ignored():
    block = np.zeros((5, 5), F32)
    block[0] = [0, 1, 10, 8, 7]
    # Three rows: candidates 3 and 4 lie past it and read 0; owned item 4 has no row.
    layer = csr([{0: 1.0, 1: 1.0, 2: 20.0}, {}, {}])
    engine = ease_engine(block, arrays={"boost": [layer]}, z_threshold=1.0)
    got = engine.recommend([0, 4], -1, 4)
    # Pool [2, 3, 1] reads the layer as [20, 0, 1]: too few positives, no boost.
    assert_result(got, [2, 3, 1], [10.0, 8.0, 1.0], "ease")


# -------------------------------------------------------------------- cold


def cold_engine(block_row, coldness, feature_values, n_items, **config):
    block = np.zeros((n_items, n_items), F32)
    block[0] = block_row
    rows = [{0: v} if v else {} for v in feature_values]
    features = dict(zip(["content_data", "content_indices", "content_indptr"], csr(rows)))
    arrays = {**features, "content_coldness": np.asarray(coldness, F64),
              **config.pop("arrays", {})}
    return ease_engine(block, arrays=arrays, content_nfeat=1, **config)


def test_one_cold_slot_replaces_the_last_regular_entry():
    engine = cold_engine([0, 5, 4, 3, 2, 1], [0.1, 0.1, 0.1, 0.1, 0.9, 0.9],
                         [1, 0, 0, 0, 1, 2], 6, cold_slots=1)
    # Similarities [1, 0, 0, 0, 1, 2] standardised: item 5 scores 4 / sqrt(5).
    assert_result(engine.recommend([0], -1, 3), [1, 2, 5], [5.0, 4.0, 4 / math.sqrt(5)],
                  ["ease", "ease", "cold_content"])


@pytest.mark.parametrize("n, slots, items", [
    (3, 5, [8, 7, 6, 5, 4]),       # more picks than n: no regular entry is left
    (0, 1, [8]),                   # cold picks even for n = 0
    (4, 2, [1, 2, 8, 7]),
])
def test_cold_slots(n, slots, items):
    engine = cold_engine([0, 9, 8, 7, 1, 1, 1, 1, 1], [0, 0, 0, 0, 1, 1, 1, 1, 1],
                         [1, 0, 0, 0, 1, 2, 3, 4, 5], 9, cold_slots=slots)
    got = engine.recommend([0], -1, n)
    assert got[0] == items
    assert got[2] == ["ease"] * (len(items) - min(slots, len(items))) + \
        ["cold_content"] * min(slots, len(items))


def test_cold_walk_skips_items_already_recommended():
    # Item 4 is both the best regular item and the best cold item.
    engine = cold_engine([0, 0, 0, 0, 9, 1], [0, 0, 0, 0, 1, 1], [1, 0, 0, 0, 2, 1], 6,
                         cold_slots=1)
    assert engine.recommend([0], -1, 2)[0] == [4, 5]


def test_cold_recency_is_added_to_cold_candidates():
    engine = cold_engine([0, 5, 4, 3, 2, 1], [0, 0, 0, 0, 1, 1], [1, 0, 0, 0, 1, 2], 6,
                         cold_slots=1, cold_recency_beta=2.0,
                         arrays={"cold_recency": np.array([0, 0, 0, 0, 1, 0], F64)})
    got = engine.recommend([0], -1, 2)
    # Item 4: (1 - 2/3) / sqrt(5/9) + 2 beats item 5's 4 / sqrt(5).
    assert_result(got, [1, 4], [5.0, 1 / math.sqrt(5) + 2.0], ["ease", "cold_content"])


# ---------------------------------------------------------------- argument errors


@pytest.mark.parametrize("args, error, message", [
    (("abc", -1, 3), TypeError, "argument 'owned': Can't extract `str` to `Vec`"),
    ((5, -1, 3), TypeError, "argument 'owned': 'int' object cannot be converted to 'Sequence'"),
    (([1.5], -1, 3), TypeError, "argument 'owned': 'float' object cannot be interpreted"),
    (([0], "x", 3), TypeError, "argument 'user_row': 'str' object cannot be interpreted"),
    (([0], -1, -1), OverflowError, "argument 'n': can't convert negative int to unsigned"),
    (([0], -1, 2.0), TypeError, "argument 'n': 'float' object cannot be interpreted"),
    (([0], -1, 3, "x"), TypeError, "argument 'pop_prior': must be real number, not str"),
])
def test_argument_errors(args, error, message):
    with pytest.raises(error) as info:
        ease_engine().recommend(*args)
    assert str(info.value).startswith(message)


def test_keywords_match_positions():
    engine = ease_engine()
    assert engine.recommend(owned=[0], user_row=-1, n=3, pop_prior=0.0) == \
        engine.recommend([0], -1, 3)


# ------------------------------------------------------------ broken records

# User 1 owns items 1 and 2: the only neighbour of a user who owns item 1.
USERS_1 = user_tables([[], [1, 2]], 4)
USER_CF = {"user_cf_alpha": 1.0, "n_users": 2}


def users_with(**changes):
    return {**USERS_1, **{k: np.asarray(v, USERS_1[k].dtype) for k, v in changes.items()}}


TRANSITION_4 = dict(zip(["trans_data", "trans_indices", "trans_indptr"],
                        csr([{1: 1.0}] * 4, dtypes=(F64, I32, I64))))

BROKEN = {
    "cooc column past the catalogue": (
        {"cooc_data": np.ones(1, F32), "cooc_indices": np.array([4], I32),
         "cooc_indptr": np.array([0, 1], I32)}, {"base_is_ease": False}),
    "negative cooc column": (
        {"cooc_data": np.ones(1, F32), "cooc_indices": np.array([-1], I32),
         "cooc_indptr": np.array([0, 1], I32)}, {"base_is_ease": False}),
    "cooc row past its data": (
        {"cooc_data": np.ones(1, F32), "cooc_indices": np.array([1, 2], I32),
         "cooc_indptr": np.array([0, 2], I32)}, {"base_is_ease": False}),
    "transition indptr short of an owned item": (
        {**TRANSITION_4, "trans_indptr": TRANSITION_4["trans_indptr"][:1]},
        {"transition_alpha": 1.0}),
    "transition column past the catalogue": (
        {**TRANSITION_4, "trans_indices": np.array([9, 1, 1, 1], I32)},
        {"transition_alpha": 1.0}),
    "transition row past its data": (
        {**TRANSITION_4, "trans_data": np.ones(0)}, {"transition_alpha": 1.0}),
    "item-user indptr short of an owned item": (
        users_with(uu_indptr=[0]), USER_CF),
    "user past n_users": (users_with(uu_data=[5, 1]), USER_CF),
    "neighbour without a degree": (users_with(uu_deg=[0]), USER_CF),
    "neighbour without a user-item row": (users_with(uri_indptr=[0, 0]), USER_CF),
    "user-item entry past the catalogue": (users_with(uri_data=[1, 7]), USER_CF),
    "feature past content_nfeat": (
        dict(zip(["content_data", "content_indices", "content_indptr"],
                 csr([{3: 1.0}] * 4))), {"content_alpha": 1.0, "content_nfeat": 2}),
    "boost column past its rows": (
        {"boost": [csr([{2: 1.0}, {}])]}, {}),
    "repeat profile past its timestamps": (
        {"repeat_indptr": np.array([0, 2], I64), "repeat_items": np.array([1, 2], I64),
         "repeat_last_ts": np.ones(1), "repeat_periods": np.ones(2),
         "repeat_quality": np.ones(2)}, {"repeat_active": True}),
    "repeat profile past its items": (
        {"repeat_indptr": np.array([0, 5], I64), "repeat_items": np.array([1, 2], I64),
         "repeat_last_ts": np.ones(5), "repeat_periods": np.ones(5),
         "repeat_quality": np.ones(5)}, {"repeat_active": True}),
}


@pytest.mark.parametrize("case", sorted(BROKEN))
def test_broken_record_raises_internal_failure(case):
    arrays, config = BROKEN[case]
    engine = ease_engine(arrays=arrays, **config)
    with pytest.raises(_core.InternalFailure, match="^index out of bounds: the len is"):
        engine.recommend([0, 1], 0, 3)
    assert not issubclass(_core.InternalFailure, Exception)


def test_broken_rows_of_unused_channels_are_not_read():
    # The transition table is broken, but its channel is off.
    arrays = {**TRANSITION_4, "trans_indices": np.array([9, 9, 9, 9], I32)}
    assert ease_engine(arrays=arrays).recommend([0], -1, 1)[0] == [2]


def loaded_engine(**changes):
    """An engine read back from a record of EASE_4 with fields replaced."""
    fields = engine_record.engine_fields({"ease_b": EASE_4}, {"n_items": 4})
    return _core.EngineState.from_bytes(engine_record.encode_record({**fields, **changes}))


# (Loading refuses an EASE block wider than the catalogue or not square.)
@pytest.mark.parametrize("changes, expected", [
    ({"ease_dim": 2, "ease_b": [0.0, 1.0, 1.0, 0.0]}, ([1, 2, 3], [1.0, 0.0, 0.0], ["ease"] * 3)),
])
def test_loaded_records_that_construction_would_refuse(changes, expected):
    assert loaded_engine(**changes).recommend([0], -1, 3) == expected


# --------------------------------------------------------------- reference


@pytest.mark.parametrize("seed", range(12))
def test_matches_the_reference_pipeline(seed):
    rng = np.random.default_rng(seed)
    for _ in range(30):
        arrays, config = random_engine(rng)
        engine = _core.build_engine(arrays, config)
        for _ in range(4):
            assert_matches_reference(engine, arrays, config, *random_request(rng, config))


def tied_engine(rng, n_items=120, n_users=300):
    """An EASE engine with small integer scores and user-CF on users with one
    or two items of a small pool: most scores and most similarities tie, and
    the candidate and neighbour lists are long beside the kept counts."""
    arrays = {"ease_b": rng.integers(-2, 3, size=(n_items, n_items)).astype(F32),
              "trend_z": np.round(rng.normal(size=n_items))}
    sets = [rng.choice(8, size=int(rng.integers(1, 3)), replace=False) for _ in range(n_users)]
    arrays.update(user_tables(sets, n_items))
    config = {"n_items": n_items, "n_users": n_users, "user_cf_k": int(rng.integers(1, 9)),
              "user_cf_alpha": 0.5, "trend_alpha": float(rng.choice([0.0, 0.25])),
              "retrieval_budget": int(rng.integers(1, 60))}
    return arrays, config


def tied_requests(rng, config):
    for n in (0, 1, 7, 80):
        owned = rng.choice(8, size=3).tolist() + rng.integers(0, 120, size=4).tolist()
        yield owned, int(rng.integers(-1, 300)), n


def shared_items_engine(rng, n_items=40, n_users=400):
    """User-CF on users whose items follow a steep popularity curve, so that a
    few items are shared by most users, with faults a record may carry: one
    popular item lists a user twice, another lists users out of order."""
    p = 1.0 / np.arange(1, n_items + 1) ** 1.5
    sets = [rng.choice(n_items, size=int(rng.integers(1, 12)), replace=False, p=p / p.sum())
            for _ in range(n_users)]
    by_item = [[u for u, s in enumerate(sets) if i in s] for i in range(n_items)]
    by_item[0].append(by_item[0][0])
    by_item[1].reverse()
    arrays = {"ease_b": rng.integers(-2, 3, size=(n_items, n_items)).astype(F32),
              **user_tables(sets, n_items, by_item)}
    config = {"n_items": n_items, "n_users": n_users, "user_cf_alpha": 1.0,
              "user_cf_k": int(rng.integers(1, 40))}
    return arrays, config


def shared_items_requests(rng, config):
    # Repeated owned items count once per occurrence.
    for _ in range(25):
        owned = rng.choice(config["n_items"], size=int(rng.integers(1, 30))).tolist()
        yield owned, int(rng.integers(-1, config["n_users"])), 10


@pytest.mark.parametrize("seed", range(3))
@pytest.mark.parametrize("make_engine, requests", [
    (tied_engine, tied_requests),
    (shared_items_engine, shared_items_requests),
])
def test_user_cf_engines_match_the_reference(make_engine, requests, seed):
    rng = np.random.default_rng(seed)
    arrays, config = make_engine(rng)
    engine = _core.build_engine(arrays, config)
    for owned, user_row, n in requests(rng, config):
        assert_matches_reference(engine, arrays, config, owned, user_row, n)
