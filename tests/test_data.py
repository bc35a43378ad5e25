import datetime as dt
import math

import numpy as np
import pandas as pd
import pytest
from scipy.sparse import csr_matrix

import tarsel.data
from reference import interactions as reference
from tarsel._baselines import Baselines
from tarsel.data import IdMap, prepare_interactions, prepare_item_features


@pytest.mark.parametrize(
    "values",
    [
        [30, 10, 30, 20],
        ["b", "a", "b", "c"],
        [("x", 1), ("y", 2), ("x", 1)],
        [1, "1", 1.5, "1"],
        pd.Series(["u", "v", "u"], dtype="category"),
        np.random.default_rng(0).integers(0, 50, 300),
        np.random.default_rng(1).integers(0, 50, 300).astype(str).astype(object),
    ],
)
@pytest.mark.parametrize("hashed", [True, False])  # pandas' hash table, or NumPy's sort
def test_id_mapping_round_trips_in_first_seen_order(values, hashed, monkeypatch):
    if not hashed:
        monkeypatch.setattr(tarsel.data, "_factorize", lambda values: None)
    ids, codes = IdMap.encode(values, "user column 'user'")
    original = list(values)
    assert [ids.ids[c] for c in codes] == original
    assert codes[0] == 0 and codes.max() == len(ids) - 1
    assert ids.index(original).tolist() == codes.tolist()
    # first appearance decides the index
    assert [original.index(v) for v in ids.ids.tolist()] == sorted(
        original.index(v) for v in ids.ids.tolist()
    )


def test_unknown_ids_map_to_minus_one_and_lookup_reads_text():
    ids, _ = IdMap.encode([7, 3, 12], "ids")
    assert ids.index([3, 99, 12, [1]]).tolist() == [1, -1, 2, -1]
    assert ids.lookup_text("12") == 2 and ids.lookup_text("nope") is None
    words, _ = IdMap.encode(["12", "x"], "ids")
    assert words.lookup_text("12") == 0


@pytest.mark.parametrize(
    "values",
    [[1, None], [1.0, float("nan")], pd.Series(["a", None], dtype="string")],
)
@pytest.mark.parametrize("hashed", [True, False])
def test_missing_ids_are_rejected(values, hashed, monkeypatch):
    if not hashed:
        monkeypatch.setattr(tarsel.data, "_factorize", lambda values: None)
    with pytest.raises(ValueError, match="^user column 'user' has missing values$"):
        IdMap.encode(values, "user column 'user'")


@pytest.mark.parametrize(
    "values, kind",
    [([5, -2, 2**40], "int64"), ([1.5, -0.0, 1e300], "float64"), (["é", "a b", ""], "str")],
)
def test_id_maps_survive_bytes(values, kind):
    ids = IdMap(values)
    got_kind, payload = ids.to_bytes()
    assert got_kind == kind
    assert IdMap.from_bytes(kind, payload).ids.tolist() == values


@pytest.mark.parametrize(
    "users, message",
    [
        ([1, "a"], r"mixes ids of the types int \(1\), str \('a'\); ids must be all .*"),
        ([(1, 2), (3, 4)], r"holds ids of type tuple \(\(1, 2\)\); ids must be .*"),
        ([True, False], r"holds ids of type bool \(True\); .*"),
        (
            np.array([1, 2**63], dtype=np.uint64),
            r"holds the integer id 9223372036854775808, which does not fit in 64 bits; .*",
        ),
    ],
)
def test_ids_a_model_cannot_store_are_refused_before_fitting(users, message):
    with pytest.raises(ValueError, match=f"^user column 'user' {message}$"):
        prepare_interactions({"user": users, "item": [1, 2]})
    # the same description where such a map reaches the model file
    with pytest.raises(ValueError, match=f"^cannot save ids: the id list {message}$"):
        IdMap(users).to_bytes()


@pytest.mark.parametrize(
    "weighting, weights",
    [
        ("binary", [1.0] * 3),
        ("log1p", [math.log(3.0), math.log(2.0), math.log(2.0)]),
        ("rating", None),
    ],
)
@pytest.mark.parametrize("kind", [dict, pd.DataFrame, "polars"])
def test_table_kinds_give_the_same_arrays(kind, weighting, weights):
    kind = pytest.importorskip("polars").DataFrame if kind == "polars" else kind
    table = {"user": ["u1", "u1", "u2", "u1"], "item": ["a", "b", "a", "a"]}
    table = kind({**table, "t": [30, 10, 20, 40], "r": [4.0, 5.0, 3.0, 2.0]})
    data = prepare_interactions(table, time_col="t", weight_col="r", weighting=weighting)
    names = "user_idx item_idx timestamps pair_user pair_item pair_time".split()
    got = {name: getattr(data, name).tolist() for name in names}
    got.update(users=data.users.ids.tolist(), items=data.items.ids.tolist())
    # events in time order: (u1,b,10) (u2,a,20) (u1,a,30) (u1,a,40)
    assert got == {
        **dict(users=["u1", "u2"], items=["a", "b"], user_idx=[0, 1, 0, 0], item_idx=[1, 0, 0, 0]),
        **dict(timestamps=[10, 20, 30, 40], pair_user=[0, 0, 1], pair_item=[0, 1, 0]),
        "pair_time": [40, 10, 20],
    }
    # the mean rating of each pair, or a weight of its count of events
    np.testing.assert_allclose(data.pair_weight, weights or [3.0, 5.0, 3.0], rtol=1e-6)
    assert data.history(0).tolist() == [1, 0]  # b, then a (most recent last)


@pytest.mark.parametrize("hashed", [True, False])
def test_one_long_id_costs_memory_in_proportion_to_the_log(hashed, monkeypatch):
    import tracemalloc

    from tarsel import Recommender

    if not hashed:
        monkeypatch.setattr(tarsel.data, "_factorize", lambda values: None)
    n = 1000
    long = "x" * 250_000  # a table of fixed width would hold 1,000 of these: 1 GB
    users = [f"u{k % 300}" for k in range(n)]
    items = [f"i{k % 40}" for k in range(n)]
    log = {"user": users[:7] + [long] + users[8:], "item": items, "time": range(n)}
    events = {"user": users[:19] + [long + "y"], "item": items[:20], "time": range(n, n + 20)}
    Recommender(gate_users=0).fit({**log, "user": users}).update(events)  # imports done
    tracemalloc.start()
    try:
        model = Recommender(gate_users=0).fit(log, time_col="time")
        model.update(events)
        peak = tracemalloc.get_traced_memory()[1]
    finally:
        tracemalloc.stop()
    assert model.users_.ids[7] == long and model.users_.ids[-1] == long + "y"
    assert len(model.recommend_batch([long, long + "y"], 3)["item"]) == 6
    assert peak < 8 * 250_000


def test_sessions_from_gaps_and_from_a_column():
    table = {"user": [0, 0, 0, 1, 1], "item": [1, 2, 3, 1, 2], "t": [0, 100, 5000, 50, 60]}
    table["s"] = ["x", "x", "y", "x", "x"]
    by_gap = prepare_interactions(table, time_col="t", session_gap_seconds=1800)
    # time order: u0@0 u1@50 u1@60 u0@100 u0@5000
    assert by_gap.session_idx.tolist() == [0, 1, 1, 0, 2]
    by_column = prepare_interactions(table, time_col="t", session_col="s")
    # user 1's "x" is not user 0's "x"
    assert by_column.session_idx.tolist() == [0, 1, 1, 0, 2]
    assert by_column.n_sessions == 3
    # duplicates are counted (and dropped) as the reference comparison below checks;
    # without times, repeated rows are repeated purchases
    assert prepare_interactions({"user": [1, 1], "item": [2, 2]}).duplicates == 0


@pytest.mark.parametrize(
    "times, kwargs",
    [
        (pd.to_datetime(["2024-01-01T00:00:10", "2024-01-01T00:00:00"]), {}),
        (
            pd.to_datetime(["2024-01-01T02:00:10", "2024-01-01T02:00:00"]).tz_localize("Etc/GMT-2"),
            {},
        ),
        (["2024-01-01T00:00:10", "2024-01-01T00:00:00"], {}),
        (["2024-01-01T01:00:10+01:00", "2024-01-01T00:00:00Z"], {}),
        (["01-01-2024 00:00:10", "01-01-2024 00:00:00"], {"time_format": "%d-%m-%Y %H:%M:%S"}),
        ([1704067210, 1704067200], {}),
    ],
)
def test_datetime_text_and_number_times_become_utc_seconds(times, kwargs, recwarn):
    table = pd.DataFrame({"user": [1, 1], "item": [1, 2], "t": times})
    data = prepare_interactions(table, time_col="t", **kwargs)
    assert data.timestamps.tolist() == [1704067200.0, 1704067210.0]
    assert data.item_idx.tolist() == [1, 0]
    assert not recwarn.list  # NumPy's time zone warning does not leak


@pytest.mark.parametrize(
    "pattern", ["%d/%m/%Y %H:%M:%S.%f", "%d-%m-%Y", "%Y-%m-%d %H:%M%z", "%y%m%d %I%p"]
)
def test_large_formatted_columns_parse_as_each_value_does(pattern, monkeypatch):
    # a large column goes through pandas; it must give strptime's seconds exactly
    rng = np.random.default_rng(7)
    start = dt.datetime(1990, 1, 1, tzinfo=dt.timezone(dt.timedelta(hours=-3)))
    texts = [
        (start + dt.timedelta(seconds=int(s), microseconds=int(u))).strftime(pattern)
        for s, u in zip(rng.integers(0, 10**9, 12_000), rng.integers(0, 10**6, 12_000))
    ]
    values = np.array(texts, dtype=object)
    fast = tarsel.data.timestamps_of(values, "t", pattern)
    bad = values.copy()
    bad[9_000] = "no time"  # the culprit is still named
    with pytest.raises(ValueError, match="has value 'no time', which does not match"):
        tarsel.data.timestamps_of(bad, "t", pattern)
    monkeypatch.setattr(tarsel.data, "_pandas_seconds", lambda values, pattern: None)
    assert np.array_equal(fast, tarsel.data.timestamps_of(values, "t", pattern))


@pytest.mark.parametrize(
    "times, message",
    [
        (
            [1704067200000, 1704067210000],
            "holds 1704067210000, which as UNIX seconds is 55969-09-28T02:46:40, not a time "
            "between 1900 and 2199; the values look like UNIX milliseconds: divide them by 1,000",
        ),
        (
            [1704067200 * 10**6],
            ".*the values look like UNIX microseconds: divide them by 1,000,000",
        ),
        ([-1e300], "holds -1e[+]300, .*far outside any calendar, .*; give UNIX seconds or dates"),
        # NumPy's nanoseconds would wrap these around to 1816
        (["2024-01-01", "9999-12-31"], "holds 9999-12-31T00:00:00, which is not a time .*"),
        (["2024-01-01", None], r"has missing values \(the first in row 1, counting from 0\)"),
        ([1.0, float("inf")], "has infinite values"),
    ],
)
def test_times_outside_plausible_years_are_refused_with_the_likely_unit(times, message):
    with pytest.raises(ValueError, match=f"^time column 't' {message}$"):
        prepare_interactions(
            {"user": [1] * len(times), "item": [1] * len(times), "t": times}, time_col="t"
        )
    tarsel.data.check_time_range([1e9, 7258118399.0])  # 2001 and the last second of 2199 pass


U1, I1 = {"user": [1], "item": [1]}, {"user": [1, 2], "item": [1, 2]}


@pytest.mark.parametrize(
    "table, kwargs, message",
    [
        ({"user": [1], "itm": [2]}, {}, r"missing column 'item' in interactions \(columns: .*"),
        ({**I1, "t": [5]}, {"time_col": "t"}, "the columns .* 'item' has 2, 't' has 1 rows"),
        (
            {**I1, "t": ["2024-01-01", "soon"]},
            {"time_col": "t"},
            "time column 't' has unparsable .*",
        ),
        ({**I1, "r": [0, -1]}, {"weight_col": "r"}, "every value of weight column 'r' is zero .*"),
        ({"user": [], "item": []}, {}, "interactions are empty"),
        ({**U1, "r": ["five"]}, {"weight_col": "r"}, "weight column 'r' must be numeric"),
        ({**I1, "r": [1, np.inf]}, {"weight_col": "r"}, "weight column 'r' has infinite values"),
        (U1, {"weighting": "tfidf"}, "unknown weighting 'tfidf'; expected one of binary, .*"),
    ],
)
def test_bad_interactions_raise_clear_errors(table, kwargs, message):
    with pytest.raises(ValueError, match=f"^{message}$"):
        prepare_interactions(table, **kwargs)


def test_item_features_encode_numbers_categories_and_lists():
    data = prepare_interactions({"user": [0, 0], "item": ["a", "b"]}, extra_items=["c"])
    features = {"item": ["c", "a", "b"], "kind": ["tea", "tea", None], "price": [2.5, 0.0, 1.0]}
    got = prepare_item_features({**features, "tags": [["x", "y"], [], ["y"]]}, data.items, "item")
    assert data.items.ids.tolist() == ["a", "b", "c"]
    assert got.names == ["kind=tea", "price", "tags=x", "tags=y"]
    dense = csr_matrix((got.data, got.indices, got.indptr), (3, got.n_features)).toarray()
    np.testing.assert_array_equal(dense, [[1, 0, 0, 0], [0, 1, 0, 1], [1, 2.5, 1, 1]])
    assert got.indptr.dtype == np.int32 and got.indices.dtype == np.int32


@pytest.mark.parametrize("seed", range(12))
def test_events_pairs_and_histories_match_a_plain_reading(seed):
    rng = np.random.default_rng(seed)
    n = int(rng.integers(1, 80))
    # few distinct values of each column, so that ties and exact repeats are common
    table = {
        "u": rng.integers(0, rng.integers(1, 9), n),
        "i": rng.integers(0, rng.integers(1, 9), n),
        "t": rng.integers(0, rng.integers(1, 12), n).astype(float),
        "s": rng.integers(0, 3, n),
        "w": rng.integers(1, 5, n).astype(float),
    }
    if seed % 3 == 0:  # an export already in time order
        table["t"].sort()
    weighting = ("binary", "log1p", "rating")[seed % 3]
    drop = seed % 2 == 0
    columns = dict(user_col="u", item_col="i", time_col="t", session_col="s", weight_col="w")
    data = prepare_interactions(table, **columns, weighting=weighting, drop_duplicates=drop)
    raw = list(zip(*(table[c].tolist() for c in "uits")))
    duplicate = reference.duplicate_rows(raw)
    assert data.duplicates == sum(duplicate)
    kept = [r for r, d in enumerate(duplicate) if not (drop and d)]
    ordered = [kept[k] for k in reference.time_order([raw[r][2] for r in kept])]
    events = zip(data.users.ids[data.user_idx], data.items.ids[data.item_idx], data.timestamps)
    assert [tuple(e) for e in events] == [raw[r][:3] for r in ordered]
    # the whole log and a part of its events fold the same way
    keep = rng.random(len(data.user_idx)) < 0.5
    part = data.select_events(keep)
    events = (data.user_idx, data.item_idx, data.timestamps, data.event_weights)
    for folded, rows in ((data, slice(None)), (part, keep)):
        expected = reference.pairs(*(a[rows].tolist() for a in events), weighting, data.n_users)
        for name in ("pair_user", "pair_item", "pair_count", "pair_time", "hist_items"):
            assert getattr(folded, name).tolist() == expected[name], name
        np.testing.assert_allclose(folded.pair_weight, expected["pair_weight"], rtol=1e-6)
        assert np.diff(folded.hist_indptr).tolist() == expected["hist_lengths"]
    # the baselines from the pairs are those from the events
    lists = Baselines.of_event_set(part)
    events = Baselines.from_events(part.user_idx, part.item_idx, part.n_users, part.n_items)
    for name in ("ranking", "owned_indptr", "owned_items", "owned_counts"):
        assert getattr(lists, name).tolist() == getattr(events, name).tolist(), name
