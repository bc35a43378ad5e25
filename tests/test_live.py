"""Live baskets and history updates, checked against a fit on the whole log."""

import numpy as np
import pytest

from tarsel import Recommender, _container, _core, datasets
from tarsel._fitting import DUE_HOLD
from tarsel._live import history
from tarsel._model import Kept
from tarsel.data import prepare_interactions

COLUMNS = {"user_col": "user", "item_col": "item", "time_col": "time"}


def _rows(table, keep):
    return {k: np.asarray(v)[keep] for k, v in table.items()}


@pytest.fixture(scope="module")
def log():
    table = datasets.grocery(n_users=120, n_items=80, n_days=60, n_new_items=0, seed=5)
    table = {k: v for k, v in table.interactions.items() if k != "basket"}
    cut = np.quantile(table["time"], 0.8)
    return _rows(table, table["time"] <= cut), _rows(table, table["time"] > cut)


def _fit(table, **settings):
    return Recommender(gate_users=0, **settings).fit(table, **COLUMNS)


@pytest.fixture(scope="module")
def plain(log):
    # no user-specific parts: a basket answer then depends on the owned items alone
    return _fit(log[0], user_cf_alpha=0.0, repeat=False)


def _entries(profile):
    """(row, item) of each entry of a repeat profile."""
    owners = np.repeat(np.arange(len(profile.indptr) - 1), np.diff(profile.indptr))
    return list(zip(owners.tolist(), profile.items.tolist()))


def _same(a, b):
    assert [a[k].tolist() for k in ("item", "source")] == [
        b[k].tolist() for k in ("item", "source")
    ]
    np.testing.assert_allclose(a["score"], b["score"])


def test_a_basket_follows_the_history_and_is_not_kept(log, plain):
    user = int(log[0]["user"][0])
    stored = plain.items_.ids[history(plain._fitted, plain.users_.get(user))].tolist()
    basket = [stored[0], "no-such-item", plain.items_.ids[5], stored[0]]
    # the basket's items are the most recent, in the order of their last occurrence
    expected = [i for i in stored if i not in basket] + [plain.items_.ids[5], stored[0]]
    got = plain.recommend(user, 8, items=basket)
    assert got["unknown_items"] == 1
    _same(got, plain.recommend(None, 8, items=expected))
    _same(plain.recommend(-12345, 8, items=expected), plain.recommend(None, 8, items=expected))
    assert "unknown_items" not in plain.recommend(user, 8)
    kept = history(plain._fitted, plain.users_.get(user))
    assert kept.tolist() == plain.items_.index(stored).tolist()


def test_batch_baskets_equal_single_requests(log, plain):
    users = [int(u) for u in np.unique(log[0]["user"])[:5]] + [None, -12345]
    ids = plain.items_.ids
    baskets = [None, [], ["x"], list(ids[:3]), None, list(ids[7:9]), ["y", "z"]]
    batch = plain.recommend_batch(users, 5, items=baskets)
    assert batch["unknown_items"] == 3
    singles = [plain.recommend(u, 5, items=b)["item"].tolist() for u, b in zip(users, baskets)]
    assert batch["item"].reshape(-1, 5).tolist() == singles
    with pytest.raises(ValueError, match="one list per user: 1 lists for 2 users"):
        plain.recommend_batch([1, 2], items=[[]])
    with pytest.raises(TypeError, match="items must be a list of item ids, not str"):
        plain.recommend(1, items="abc")


@pytest.mark.parametrize(
    "settings, timing", [({}, "fitted"), ({"repeat_min_count": 3}, "fitted"), ({}, "due")]
)
def test_update_equals_a_fit_on_the_whole_log(log, settings, timing, tmp_path, monkeypatch):
    early, late = log
    model = _fit(early, **settings)
    fitted = model._fitted.live.profile
    fitted.timing = timing  # as if the gates had chosen it
    timing_of = dict(zip(_entries(fitted), zip(fitted.periods.tolist(), fitted.quality.tolist())))
    late = dict(late, item=late["item"].astype(object))
    late["item"][:4] = "brand-new"
    report = model.update(late)
    known = np.isin(late["item"], early["item"])
    new_users = set(late["user"][known].tolist()) - set(early["user"].tolist())
    counts = {"events": known.sum(), "new_users": len(new_users)}
    assert report == {**counts, "unknown_items": len(known) - known.sum()} and not known[:4].any()

    whole = {k: np.concatenate([early[k], v[known]]) for k, v in late.items()}
    reference = prepare_interactions(whole, **COLUMNS)
    min_count = model.kept_.get("repeat_min_count", model.repeat_min_count)
    events = (reference.user_idx, reference.item_idx, reference.timestamps, reference.n_users)
    profile = [np.asarray(a) for a in _core.fit_repeat_profile(*events, min_count=min_count)]
    rows = model.users_.index(reference.users.ids)
    items = model.items_.ids
    served = model._fitted.live.profile
    for user, row in enumerate(rows):
        want = reference.items.ids[reference.history(user)].tolist()
        assert items[history(model._fitted, row)].tolist() == want
        a, b = profile[0][user], profile[0][user + 1]
        c, d = served.indptr[row], served.indptr[row + 1]
        repeated = reference.items.ids[profile[1][a:b]]
        assert items[served.items[c:d]].tolist() == sorted(repeated, key=model.items_.get)
        order = np.argsort(model.items_.index(repeated))
        np.testing.assert_array_equal(served.counts[c:d], profile[2][a:b][order])
        np.testing.assert_array_equal(served.last_ts[c:d], profile[3][a:b][order])
    assert model._fitted.live.now_ts == whole["time"].max()
    # periods and their quality stay as fitted; an entry new to the profile has
    # no known rhythm: under "due" it is held back, otherwise it has no period
    unknown = {"fitted": (np.nan, 0.0), "due": (np.inf, DUE_HOLD)}[timing]
    got = list(zip(served.periods.tolist(), served.quality.tolist()))
    want = [timing_of.get(entry, unknown) for entry in _entries(served)]
    np.testing.assert_array_equal(got, want)
    assert len(timing_of) < len(want)
    assert np.diff(served.indptr).tolist() == model._fitted.repeat_sizes.tolist()

    # the model file keeps all of it, and a loaded model updates on from there
    model.save(tmp_path / "m.model")
    monkeypatch.setattr(_container, "_SLICE", 4096)  # large sections come as memoryviews
    loaded = Recommender.load(tmp_path / "m.model")
    assert loaded._fitted.live.profile.timing == timing
    users = list(model.users_.ids[-5:]) + list(model.users_.ids[:5])
    more = _rows(early, slice(0, 50))
    more["time"] = more["time"] + 10**6
    assert loaded.update(more) == model.update(more)
    for user, exclude in zip(users, [True, False] * 5):
        _same(*(m.recommend(user, 6, exclude_owned=exclude) for m in (loaded, model)))


ONE = {"user": [1], "item": ["a"], "time": [1]}
TEXT_USER = "user 'x' is of type str, but the model's user ids are integers"


@pytest.mark.parametrize(
    "events, columns, message",
    [
        ({**ONE, "user": ["x"]}, {}, TEXT_USER),
        ({**ONE, "user": [None]}, {}, "user column of events has missing"),
        ({**ONE, "user": [1, 2], "time": [1, 2]}, {}, r"differ in length: \[1, 2\]"),
        ({"user": [1], "item": ["a"]}, {"time_col": None}, "events need a time column"),
        (ONE, {"weight_col": "w"}, "unknown argument"),
    ],
)
def test_bad_events_change_nothing(events, columns, message):
    model = _fit({"user": [1, 1, 1, 2, 2], "item": list("abaab"), "time": range(5)})
    before = model.recommend(1, 3, exclude_owned=False)
    with pytest.raises(TypeError if "of type" in message else ValueError, match=message):
        model.update(events, **columns)
    _same(model.recommend(1, 3, exclude_owned=False), before)
    assert len(model.users_) == 2 and not model._fitted.live.rows


def test_new_users_grow_the_personal_lists_and_the_file(tmp_path):
    model = _fit({"user": [1, 1, 2, 2, 3], "item": list("abbca"), "time": range(5)}, repeat=False)
    serving = {"owned_allowed": {"source": "personal_popularity"}}
    model._fitted.kept = Kept.of({**model.kept_, "serving": serving})
    model.update({"user": [9, 9, 9, 1], "item": list("ccab"), "time": [9, 9, 9, 9]})
    got = model.recommend(9, 3, exclude_owned=False)
    # c twice, then a; each by the user's own events plus its share of the fitted events
    assert got["item"].tolist() == ["c", "a", "b"]
    np.testing.assert_allclose(got["score"], [2 + 1 / 5, 1 + 2 / 5, 2 / 5])
    assert model.recommend(1, 2, exclude_owned=False)["item"].tolist() == ["b", "a"]
    model.save(tmp_path / "m.model")
    loaded = Recommender.load(tmp_path / "m.model")
    assert len(loaded._fitted.baselines.owned_indptr) == len(loaded.users_) + 1
    _same(loaded.recommend(9, 3, exclude_owned=False), got)


def test_events_are_read_in_the_fitted_time_format():
    days = [f"{d:02d}-03-2024" for d in range(1, 6)]
    table = {"user": [1, 1, 1, 2, 2], "item": list("abaab"), "time": days}
    model = Recommender(gate_users=0).fit(table, **COLUMNS, time_format="%d-%m-%Y")
    twin = _fit({**table, "time": [86400 * d for d in range(5)]})
    events = {"user": [2, 3], "item": ["b", "a"], "time": ["13-03-2024", "12-03-2024"]}
    assert model.update(events) == twin.update({**events, "time": [86400 * 12, 86400 * 11]})
    assert model.update({**events, "time": ["2024/03/14"] * 2}, time_format="%Y/%m/%d")["events"]
    assert twin.update({**events, "time": [86400 * 13] * 2})["events"] == 2
    for user in (2, 3):
        _same(*(m.recommend(user, 3, exclude_owned=False) for m in (model, twin)))
