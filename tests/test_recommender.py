import copy
import dataclasses
import doctest
import pickle
from collections import Counter

import numpy as np
import pandas as pd
import pytest

import tarsel
from tarsel import Recommender, datasets
from tarsel._model import Kept
from tarsel.evaluation import PopularityBaseline, evaluate, leave_last_n_out

COLUMNS = {"user_col": "user", "item_col": "item", "time_col": "time", "session_col": "basket"}


@pytest.fixture(scope="module")
def shop():
    return datasets.grocery(n_users=300, n_items=200, n_days=90, n_new_items=10, seed=3)


@pytest.fixture(scope="module")
def model(shop):
    return Recommender(gate_users=300).fit(shop.interactions, shop.item_features, **COLUMNS)


def test_unknown_users_get_the_most_popular_items(shop, model):
    counts = Counter(shop.interactions["item"].tolist())
    got = model.recommend(-1, n=5)
    assert set(got) == {"item", "score", "source"} and len(pd.DataFrame(got)) == 5
    assert got["item"].tolist() == [item for item, _ in counts.most_common(5)]
    # the popularity baseline scores an item by its share of all events
    total = len(shop.interactions["item"])
    np.testing.assert_allclose(got["score"], [c / total for _, c in counts.most_common(5)])
    assert set(got["source"].tolist()) == {"popularity"}


@pytest.fixture(scope="module")
def cold_model(shop):
    # the engine serves every part, with cold-content slots and repeat profiles
    # of many lengths: a batch asks each user for its own list length
    return Recommender(gate_users=0, cold_slots=2).fit(
        shop.interactions, shop.item_features, **COLUMNS
    )


@pytest.mark.parametrize("exclude", [False, True])
@pytest.mark.parametrize("which", ["model", "cold_model"])
def test_batch_equals_single_requests(request, shop, which, exclude):
    fitted = request.getfixturevalue(which)
    users = [int(u) for u in np.unique(shop.interactions["user"])] + [-1, None]
    batch = fitted.recommend_batch(users, n=6, exclude_owned=exclude)
    for user in users:
        single = fitted.recommend(user, n=6, exclude_owned=exclude)
        mine = batch["user"] == user
        assert batch["item"][mine].tolist() == single["item"].tolist()
        np.testing.assert_array_equal(batch["score"][mine], single["score"])
        assert batch["source"][mine].tolist() == single["source"].tolist()
        assert batch["rank"][mine].tolist() == list(range(1, len(single["item"]) + 1))


def test_similar_items(shop, model):
    item = shop.interactions["item"][0]
    got = model.similar_items(item, n=5)
    assert 0 < len(got["item"]) <= 5 and item not in got["item"].tolist()
    with pytest.raises(ValueError, match="^unknown item 'no-such-item'$"):
        model.similar_items("no-such-item")


def test_unfitted_model_refuses_to_recommend_and_set_params_round_trips():
    with pytest.raises(
        tarsel.NotFittedError, match="^this Recommender is not fitted yet; call fit first$"
    ) as caught:
        Recommender().recommend(1)
    assert isinstance(caught.value, ValueError) and isinstance(caught.value, AttributeError)
    model = Recommender().set_params(ease_lambda=10.0)
    assert model.get_params()["ease_lambda"] == 10.0 and "ease_lambda=10.0" in repr(model)
    with pytest.raises(ValueError, match="^unknown parameter 'speed' for Recommender$"):
        model.set_params(speed=2)


def test_native_failures_reach_callers_as_tarsel_errors(model, monkeypatch):
    class Broken:
        def recommend(self, *args):
            raise tarsel._core.InternalFailure("record out of range")

    broken = copy.copy(model)
    broken._fitted = dataclasses.replace(model._fitted, engine=Broken())
    with pytest.raises(tarsel.TarselError, match="record out of range") as caught:
        broken.recommend(int(model.users_.ids[0]), exclude_owned=True)  # the engine's mode
    assert isinstance(caught.value.__cause__, tarsel._core.InternalFailure)
    # a mode served by a baseline never asks the engine
    serving = dict(model.kept_["serving"])
    serving["owned_allowed"] = {"source": "personal_popularity", "pop_prior": 0.0, "ndcg": 0.0}
    broken._fitted = dataclasses.replace(
        broken._fitted, kept=Kept.of({**model.kept_, "serving": serving})
    )
    assert len(broken.recommend(int(model.users_.ids[0]), exclude_owned=False)["item"]) == 10


def test_pickle_and_clone_keep_the_settings_and_report(model):
    # answers after save/load, pickle and deepcopy are compared in test_roundtrip
    twin = pickle.loads(pickle.dumps(model))
    assert twin.engine_ is not model.engine_
    assert twin.fit_report_ == model.fit_report_ and twin.get_params() == model.get_params()
    engine = pickle.loads(pickle.dumps(model.engine_))
    assert engine.to_bytes() == model.engine_.to_bytes()
    clone = pytest.importorskip("sklearn.base").clone(Recommender(ease_lambda=5.0, z_grid=[1.0]))
    assert clone.get_params() == Recommender(ease_lambda=5.0, z_grid=(1.0,)).get_params()
    assert not hasattr(clone, "engine_")


def test_streamed_batches_equal_one_batch_and_big_requests_are_refused(model, monkeypatch):
    users = np.concatenate([model.users_.ids[:25], [-5]])
    whole = model.recommend_batch(users, 6)
    chunks = list(model.iter_recommend_batch(users, 6, chunk_size=4))
    assert len(chunks) == 7 and [len(np.unique(c["user"])) for c in chunks][-1] == 2
    for key in whole:
        np.testing.assert_array_equal(np.concatenate([c[key] for c in chunks]), whole[key])
    assert whole["user"].dtype == np.int64 and whole["rank"][:7].tolist() == [1, 2, 3, 4, 5, 6, 1]
    monkeypatch.setattr(tarsel.recommender, "MAX_BATCH_ROWS", 100)
    with pytest.raises(
        ValueError,
        match=r"^recommend_batch would return up to 156 rows \(26 "
        r"users x n=6\), more than the 100 one call may return",
    ):
        model.recommend_batch(users, 6)
    with pytest.raises(ValueError, match="^chunk_size must be a positive integer"):
        model.iter_recommend_batch(users, 6, chunk_size=0)


def test_ids_of_another_type_are_refused_and_none_is_unknown(model):
    wrong_user = "^user '1000' is of type str, but the model's user ids are integers$"
    for call, users in ((model.recommend, "1000"), (model.recommend_batch, [1000, "1000"])):
        with pytest.raises(TypeError, match=wrong_user):  # one exception type for one fault
            call(users)
    with pytest.raises(
        TypeError, match=r"^users must be a sequence of user ids, not str \('1000'\)"
    ):
        model.recommend_batch("1000")
    with pytest.raises(
        TypeError, match="^item 589 is of type int, but the model's item ids are text$"
    ):
        model.similar_items(589)
    assert model.recommend(None, 3)["source"].tolist() == ["popularity"] * 3


@pytest.mark.parametrize("module", [tarsel.recommender, tarsel.datasets])
def test_the_examples_in_the_docstrings_run(module):
    assert doctest.testmod(module, optionflags=doctest.ELLIPSIS).failed == 0


def test_the_model_beats_popularity_and_keeps_repeats_for_staples(model):
    held = model.fit_report_["heldout"]
    assert held["ndcg"] > held["popularity_ndcg"]
    # EASE fits the memory bound here, so the gates chose the base by held-out evidence
    chose_ease = model.fit_report_["gates"]["base:ease"]["kept"]
    assert model.fit_report_["base"] == ("ease" if chose_ease else "cooc")
    # shoppers re-buy their staples: without the repeat module they can never be recommended
    assert model.fit_report_["gates"]["repeat"]["kept"]
    assert model.kept_["repeat"]


def _noise_features(shop):
    items = shop.item_features["item"]
    return {"item": items, "tag": np.random.default_rng(0).integers(0, 5, len(items)).astype(str)}


@pytest.mark.parametrize(
    "channel, settings, features",
    [
        ("content", {"content_alpha": 30.0}, _noise_features),  # random tags, heavily weighted
        ("trend", {"trend_alpha": 30.0}, lambda shop: shop.item_features),  # drowns the user's own
    ],
)
def test_a_channel_built_to_hurt_is_switched_off(shop, channel, settings, features):
    if channel == "trend":  # where shoppers mostly rebuy their own items
        shop = datasets.rebuying(n_users=300, n_items=200, n_days=90, seed=3)
    harmful = Recommender(gate_users=300, **settings)
    harmful.fit(shop.interactions, features(shop), **COLUMNS)
    gate = harmful.fit_report_["gates"][channel]
    # the harm shows in the engine's own lists or in those with owned items excluded
    excluded = gate["owned_excluded"]
    assert max(gate["off"] - gate["on"], excluded["off"] - excluded["on"]) > 0.01
    assert not gate["kept"]
    assert channel not in harmful.kept_["channels"]


def _trending_log(seed=0):
    """Everyone buys 8 of 80 items at random, then one of 5 new items in the
    last ten days: only the trend can point at those."""
    rng = np.random.default_rng(seed)
    rows = []
    for user in range(200):
        for item in rng.choice(80, size=8, replace=False).tolist():
            rows.append((user, item, rng.uniform(0, 100) * 86400, 2 * user))
        new = 80 + int(rng.integers(0, 5))
        rows.append((user, new, (100 + rng.uniform(0, 10)) * 86400, 2 * user + 1))
    return dict(zip(("user", "item", "time", "basket"), map(list, zip(*rows))))


def test_a_channel_that_helps_is_kept():
    model = Recommender(gate_users=100).fit(_trending_log(), **COLUMNS)
    gate = model.fit_report_["gates"]["trend"]
    assert gate["on"] > gate["off"] + 0.1 and gate["kept"]
    assert model.kept_["channels"] == ["trend"]
    assert not model.kept_["repeat"]  # nothing was bought twice


def test_plain_pairs_without_times_fit_and_serve():
    rng = np.random.default_rng(0)
    users = np.repeat(np.arange(60), 6)
    items = (users % 3) * 10 + rng.integers(0, 10, size=len(users))  # three tastes
    table = {"u": users.astype(str), "i": items, "stars": rng.integers(1, 6, size=len(users))}
    model = Recommender(gate_users=60)
    model.fit(pd.DataFrame(table), user_col="u", item_col="i", weight_col="stars")
    assert "repeat" not in model.fit_report_["gates"] and not model.kept_["repeat"]
    got = model.recommend("4", n=5)  # user 4 likes items 10..19
    assert all(10 <= i < 20 for i in got["item"].tolist()[:3])


@pytest.mark.parametrize(
    "settings, users, reason",
    [({}, 2, "too few users"), ({"gate_users": 0}, 40, "gate_users is 0")],
)
def test_gates_are_skipped_without_held_out_users(settings, users, reason):
    table = {"user": np.repeat(np.arange(users), 2).tolist(), "item": ["a", "b"] * users}
    table["item"][3] = "c"  # user 1 has a and c
    model = Recommender(**settings).fit(table)
    assert model.fit_report_["gates"].startswith(f"skipped: {reason}")
    assert model.recommend(0, n=1)["item"].tolist() == ["c"]


@pytest.mark.parametrize(
    "settings, message",
    [
        ({"cooc_transform": "tfidf"}, "unknown cooc_transform 'tfidf'; expected one of raw, .*"),
        ({"min_deep_session_fraction": 1.5}, "min_deep_session_fraction must be a number .*"),
        ({"user_cf_k": -1}, "user_cf_k must be an integer of at least 1, not -1"),
        ({"trend_alpha": float("nan")}, "trend_alpha must be a number at least 0, not nan"),
        ({"repeat": "yes"}, "repeat must be True or False, not 'yes'"),
        ({"z_grid": [1, None]}, r"z_grid must be a non-empty sequence of finite numbers, .*"),
    ],
)
def test_every_bad_setting_is_refused_by_fit_by_name(settings, message):
    with pytest.raises(ValueError, match=f"^{message}$"):
        Recommender(**settings).fit({"user": [1], "item": [2]})


@pytest.mark.parametrize(
    "call, message",
    [
        (lambda m, s: m.recommend(1000, -1), "n must be a non-negative integer, not -1"),
        (
            lambda m, s: PopularityBaseline().fit(s.interactions).recommend_batch([1000], n=-1),
            "n must be an integer of at least 0, not -1",
        ),
        (
            lambda m, s: evaluate(m, leave_last_n_out(s.interactions, **COLUMNS), k=-1, fit=False),
            "k must be an integer of at least 1, not -1",
        ),
    ],
)
def test_bad_counts_are_refused_everywhere(shop, model, call, message):
    with pytest.raises(ValueError, match=f"^{message}$"):
        call(model, shop)


def test_shallow_sessions_get_no_session_layer():
    rows = [(u, u % 7 + k, u * 10 + k) for u in range(40) for k in range(3)]
    table = dict(zip(("user", "item", "basket"), map(list, zip(*rows))))  # one item per basket
    model = Recommender(gate_users=40).fit(table, session_col="basket")
    assert model.fit_report_["deep_session_fraction"] == 0.0
    assert model.fit_report_["session_layer"].startswith("not built: 0.00 of the sessions")
    assert "session" not in model.kept_["boost_layers"]


def test_features_that_match_no_sold_item_are_flagged():
    table = {"user": [1, 1, 2, 2] * 10, "item": [1, 2, 1, 3] * 10}
    with pytest.warns(UserWarning, match="no item of item_features has interactions"):
        Recommender().fit(table, {"item": [7, 8, 9], "kind": ["a", "b", "a"]})
    with pytest.raises(ValueError, match="mixes ids of the types int .*, str "):
        Recommender().fit(table, {"item": ["1", "2", "3"], "kind": ["a", "b", "a"]})


def test_the_popularity_addend_is_weighed_on_held_out_users():
    # six distinct picks per user from a power law: the cosine co-occurrence base
    # divides popularity out, so adding it back helps
    rng = np.random.default_rng(1)
    p = 1 / np.arange(1, 301)
    picks = [rng.choice(300, size=6, replace=False, p=p / p.sum()) for _ in range(400)]
    table = {"user": np.repeat(np.arange(400), 6).tolist(), "item": np.concatenate(picks).tolist()}
    model = Recommender(gate_users=400, ease_max_items=0).fit(table)
    held = model.fit_report_["heldout"]
    figures, weight = held["candidates"]["owned_excluded"], model.kept_["pop_prior"]
    assert weight > 0
    assert figures[f"{held['engine']}+popularity({weight:g})"] > figures[held["engine"]] + 0.01
    assert model.fit_report_["base"] == "cooc"
