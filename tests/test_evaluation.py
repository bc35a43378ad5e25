import math
from functools import partial

import numpy as np
import pandas as pd
import pytest

from tarsel.evaluation import (
    PersonalPopularityBaseline,
    PopularityBaseline,
    Split,
    TifuKnnReference,
    catalogue_coverage,
    evaluate,
    leave_last_basket_out,
    leave_last_n_out,
    map_at_k,
    ndcg_at_k,
    paired_bootstrap,
    recall_at_k,
    temporal_split,
)


def _reference_ndcg(recommended, relevant, k):
    dcg = sum(1.0 / math.log2(r + 2) for r, i in enumerate(recommended[:k]) if i in relevant)
    idcg = sum(1.0 / math.log2(r + 2) for r in range(min(k, len(relevant))))
    return dcg / idcg if idcg else 0.0


def _reference_ap(recommended, relevant, k):
    precisions = [
        sum(1 for j in recommended[: r + 1] if j in relevant) / (r + 1)
        for r, i in enumerate(recommended[:k])
        if i in relevant
    ]
    return sum(precisions) / min(k, len(relevant)) if relevant else 0.0


@pytest.mark.parametrize(
    "recommended, relevant, k, ndcg, recall, ap",
    [
        (["a", "b", "c"], {"b"}, 3, 1 / math.log2(3), 1.0, 0.5),
        (["a", "x", "b"], {"a", "b"}, 3, (1 + 0.5) / (1 + 1 / math.log2(3)), 1.0, (1 + 2 / 3) / 2),
        (["a", "b"], {"a", "d"}, 2, 1 / (1 + 1 / math.log2(3)), 0.5, 0.5),
        (["a"], set(), 5, 0.0, 0.0, 0.0),
        (["a"], {"a"}, 0, 0.0, 0.0, 0.0),
    ],
)
def test_metrics_on_worked_examples(recommended, relevant, k, ndcg, recall, ap):
    assert catalogue_coverage([["a", "b"], ["b", "c"], []], 6) == 0.5
    assert catalogue_coverage([], 0) == 0.0
    got = [f(recommended, relevant, k) for f in (ndcg_at_k, recall_at_k, map_at_k)]
    assert got == pytest.approx([ndcg, recall, ap])


def test_metrics_match_a_reference_on_random_lists():
    rng = np.random.default_rng(7)
    for _ in range(200):
        recommended = rng.permutation(30)[: rng.integers(0, 15)].tolist()
        relevant = set(rng.choice(30, size=rng.integers(1, 8), replace=False).tolist())
        k = int(rng.integers(1, 12))
        got = [f(recommended, relevant, k) for f in (ndcg_at_k, map_at_k)]
        assert got == pytest.approx(
            [_reference_ndcg(recommended, relevant, k), _reference_ap(recommended, relevant, k)]
        )


TABLE = {
    "user": [1, 1, 1, 2, 2, 3],
    "item": ["a", "b", "c", "a", "d", "e"],
    "t": [10, 30, 20, 5, 50, 40],
    "s": [0, 1, 1, 0, 1, 0],
}
ONE_BASKET = [(1, "b"), (1, "c"), (2, "d")]


DAY = 86400
# by day: user 1 buys a on day 0, b and c on day 1; user 2 buys a and d on day 0
DAYS = [0, DAY + 9, DAY + 5, 100, 200, 0]


@pytest.mark.parametrize(
    "split, kwargs, held",
    [
        (partial(leave_last_n_out, n=1), {}, [(1, "c"), (2, "d")]),  # row order without times
        # user 3 has a single row and stays in training
        (partial(leave_last_n_out, n=1), {"time_col": "t"}, [(1, "b"), (2, "d")]),
        (partial(leave_last_n_out, n=1), {"time_col": "t", "session_col": "s"}, ONE_BASKET),
        (partial(leave_last_n_out, n=2), {"time_col": "t"}, [(1, "b"), (1, "c")]),  # user 2 has 2
        (leave_last_basket_out, {"session_col": "s"}, ONE_BASKET),  # user 3 has one basket
        (leave_last_basket_out, {"time_col": "day_t"}, [(1, "b"), (1, "c")]),
    ],
)
@pytest.mark.parametrize("kind", [dict, pd.DataFrame, "polars"])
def test_leave_last_out_keeps_the_table_kind(split, kwargs, held, kind):
    kind = pytest.importorskip("polars").DataFrame if kind == "polars" else kind
    table = kind(dict(TABLE, day_t=DAYS))
    got = split(table, **kwargs)
    assert type(got.train) is type(table) and len(got.train["user"]) == 6 - len(held)
    test = zip(np.asarray(got.test["user"]).tolist(), np.asarray(got.test["item"]).tolist())
    assert sorted(test) == held
    assert all(got.columns[key] == value for key, value in kwargs.items())


def test_temporal_split_cuts_at_the_latest_fraction():
    split = temporal_split(TABLE, time_col="t", test_fraction=1 / 3)
    assert sorted(split.test["t"].tolist()) == [40, 50]
    by_session = temporal_split(TABLE, time_col="t", test_fraction=1 / 3, session_col="s")
    # user 2's session 1 starts at 50 and user 3's session at 40
    assert sorted(by_session.test["t"].tolist()) == [40, 50]


@pytest.mark.parametrize(
    "make",
    [
        lambda table, **kw: leave_last_n_out(table, 1, **kw),
        lambda table, **kw: leave_last_basket_out(table, **kw),
        lambda table, **kw: temporal_split(table, test_fraction=0.4, **kw),
    ],
)
def test_splits_read_text_times_with_the_given_format(make):
    # day-first dates, whose order differs from their order as text
    days = [5, 61, 33, 1, 95, 70]
    dated = dict(TABLE, t=[f"{d % 28 + 1:02d}-{d // 28 + 1:02d}-2024" for d in days])
    numbers = make(dict(TABLE, t=[1704067200 + 86400 * d for d in days]), time_col="t")
    split = make(dated, time_col="t", time_format="%d-%m-%Y")
    assert split.test["item"].tolist() == numbers.test["item"].tolist()
    assert split.columns["time_format"] == "%d-%m-%Y"  # fit reads the times as the split did


@pytest.mark.parametrize(
    "call, message",
    [
        (lambda: leave_last_n_out(TABLE, 0), "n must be at least 1"),
        (lambda: temporal_split(TABLE, time_col="t", test_fraction=1.0), "test_fraction must .*"),
        (lambda: leave_last_n_out(TABLE, user_col="who"), r"missing column 'who' in .*"),
        (lambda: leave_last_basket_out(TABLE), "leave_last_basket_out needs session_col or .*"),
        (lambda: paired_bootstrap([1.0], [1.0, 2.0]), "paired_bootstrap needs two equally .*"),
        (
            lambda: evaluate({"a": PopularityBaseline()}, Split(TABLE, TABLE), reference="b"),
            r"reference 'b' is not one of the models \('a'\)",
        ),
    ],
)
def test_split_errors(call, message):
    with pytest.raises(ValueError, match=f"^{message}$"):
        call()


@pytest.mark.parametrize(
    "kind, allowed",
    [
        (PopularityBaseline, ["x", "z", "y"]),
        (PersonalPopularityBaseline, ["z", "y", "x"]),  # user 1's own z twice, then y, then x
    ],
)
def test_baselines_with_owned_items_excluded_or_allowed(kind, allowed):
    base = kind().fit({"user": [1, 1, 1, 2, 3, 3, 2], "item": ["y", "z", "z", "x", "x", "w", "x"]})
    got = base.recommend_batch([1, 9], n=2)
    assert got["user"].tolist() == [1, 1, 9, 9]
    # x 3 times, z twice, then y and w once each (y seen first)
    assert got["item"].tolist() == ["x", "w", "x", "z"]
    assert base.recommend_batch([1], n=3, exclude_owned=False)["item"].tolist() == allowed
    with pytest.raises(
        ValueError, match=f"^this {kind.__name__} is not fitted yet; call fit first$"
    ):
        kind().recommend_batch([1])


def test_paired_bootstrap_on_constant_and_single_differences():
    assert paired_bootstrap([0.5, 0.75, 0.125], [0.25, 0.5, -0.125]) == (0.25, 0.25, 0.25)
    assert paired_bootstrap([0.9], [0.4], n_resamples=3) == (0.5, 0.5, 0.5)
    diff, low, high = paired_bootstrap(np.r_[np.ones(50), np.zeros(50)], np.zeros(100))
    assert diff == 0.5 and 0.39 < low < 0.5 < high < 0.61  # about 1.96 * 0.05 either side


def test_evaluate_returns_a_tidy_table():
    train = {"user": [1, 1, 2, 2, 3], "item": ["x", "y", "x", "z", "x"]}
    test = {"user": [1, 2, 3, 4], "item": ["z", "y", "y", "x"]}
    split = Split(train, test, {"user_col": "user", "item_col": "item"})
    models = {"popularity": PopularityBaseline(), "allowed": PopularityBaseline()}
    table = evaluate(models, split, k=1, reference="allowed")
    assert list(table.columns) == "model metric k value users diff ci_low ci_high".split()
    first = table[table.model == "popularity"]
    values = dict(zip(first["metric"], first["value"]))
    # top-1 after exclusion: user 1 -> z (hit), user 2 -> y (hit), user 3 -> y (hit)
    assert values == {"ndcg": 1.0, "recall": 1.0, "map": 1.0, "coverage": pytest.approx(2 / 3)}
    assert set(table["users"]) == {3}  # user 4 is new and skipped
    assert first["diff"].tolist()[:3] == [0.0, 0.0, 0.0] and table["diff"].isna().sum() == 5


def test_tifu_knn_reference_worked_example():
    # user 1: baskets {a}, {b}, {a}; with m=2 the groups are baskets (0, 1) and (2):
    # a = 0.5**1/2 * 0.5**1/2 + 1 * 0.5**0/1 = 0.5625, b = 0.5**0/2 * 0.5/2 = 0.125
    log = {"user": [1, 1, 1, 2, 2, 3], "item": list("ababcc"), "time": [0, 10, 20, 0, 10, 0]}
    ref = TifuKnnReference(m=2, r_b=0.5, r_g=0.5, alpha=1.0, k=1).fit(log, time_col="time")
    got = ref.recommend_batch([1, 9], n=3, exclude_owned=False)
    assert got["item"].tolist() == ["a", "b", "c"] * 2  # user 9: popularity, ties by order
    np.testing.assert_allclose(got["score"][:2], [0.5625, 0.125])
    # user 2 ({b}, {c}: b 0.35, c 0.5) is nearest to user 3 ({c}: c 1.0) at alpha 0.5
    half = TifuKnnReference(alpha=0.5, k=1).fit(log, time_col="time")
    got = half.recommend_batch([2], n=3, exclude_owned=False)
    np.testing.assert_allclose(got["score"], [0.75, 0.175, 0.0])
    assert half.recommend_batch([2], n=3)["item"].tolist() == ["a"]
    with pytest.raises(ValueError, match=r"r_b must be a number in \[0, 1\], not 2"):
        TifuKnnReference(r_b=2).fit(log)


def test_tifu_knn_scores_match_a_per_user_reference_across_blocks():
    # 1,100 users: the scores are computed in blocks of fewer users than that.
    # Each user's score against a plain loop over the other users, where the
    # k-th nearest distance is not tied with the next (else the set is open).
    rng = np.random.default_rng(5)
    n_users, k = 1100, 7
    sizes = rng.integers(1, 6, size=n_users * 3)
    log = {
        "user": np.repeat(np.arange(n_users * 3) // 3, sizes),
        "item": rng.integers(0, 15, size=int(sizes.sum())),
        "basket": np.repeat(np.arange(n_users * 3), sizes),
    }
    ref = TifuKnnReference(m=2, k=k).fit(log, session_col="basket")
    got = ref.recommend_batch(np.arange(n_users), n=15, exclude_owned=False)
    vectors = ref.vectors_[ref.users_.index(np.arange(n_users))]
    checked = 0
    for u in range(n_users):
        distance = ((vectors - vectors[u]) ** 2).sum(axis=1)
        distance[u] = np.inf
        order = np.argsort(distance, kind="stable")
        if np.isclose(distance[order[k - 1]], distance[order[k]], rtol=1e-9, atol=1e-12):
            continue
        expected = 0.7 * vectors[u] + 0.3 * vectors[order[:k]].mean(axis=0)
        items = ref.items_.index(got["item"][u * 15 : (u + 1) * 15])
        np.testing.assert_allclose(got["score"][u * 15 : (u + 1) * 15], expected[items], atol=1e-12)
        checked += 1
    assert checked > n_users // 2
