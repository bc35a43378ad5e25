"""A fitted model through random updates, then saved and loaded, pickled and
deep-copied: every user answers in both owned-item modes, whichever part
serves them, and every copy answers as the original."""

import copy
import pickle

import numpy as np
import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

from tarsel import Recommender
from tarsel._baselines import BASELINES, MODES
from tarsel._live import history
from tarsel._model import Kept

SOURCES = ("model",) + BASELINES


@st.composite
def logs(draw):
    n_users = draw(st.integers(2, 9))
    n_items = draw(st.integers(2, 8))
    n = draw(st.integers(n_users, 40))
    rng = np.random.default_rng(draw(st.integers(0, 2**32 - 1)))
    users = np.concatenate([np.arange(n_users), rng.integers(0, n_users, n - n_users)])
    items = np.array([f"i{k}" for k in rng.integers(0, n_items, n)])
    return {"user": users.astype(np.int64), "item": items, "time": np.sort(rng.random(n) * 2.6e6)}


@st.composite
def batches(draw, log):
    """Events of known and new users, on known and unknown items, later than
    the log."""
    known = sorted(set(log["user"].tolist()))
    items = sorted(set(log["item"].tolist()))
    event = st.tuples(
        st.sampled_from(known + [100, 101, 102]),
        st.sampled_from(items + ["unknown"]),
        st.floats(0, 5 * 86400),
    )
    users, chosen, gaps = zip(*draw(st.lists(event, min_size=1, max_size=8)))
    times = float(log["time"].max()) + 1.0 + np.cumsum(gaps)
    return {"user": list(users), "item": list(chosen), "time": times.tolist()}


def answers(model, users, n):
    return {ex: model.recommend_batch(users, n, exclude_owned=ex) for ex in (True, False)}


def check_answers(model, users, n):
    """Each user gets every item not owned, never an owned one when they are
    excluded, each once, best first."""
    found = answers(model, users, n)
    for exclude, table in found.items():
        for user in users:
            mine = table["user"] == user
            items, scores = table["item"][mine].tolist(), table["score"][mine]
            owned = set(model.items_.ids[history(model._fitted, model.users_.get(user))].tolist())
            rest = set(model.items_.ids.tolist()) - owned
            assert len(items) == len(set(items)), (user, exclude)
            assert rest <= set(items) <= (rest if exclude else rest | owned), (user, exclude)
            assert np.all(np.diff(scores) <= 0), (user, exclude, scores)
    return found


def same(a, b):
    for exclude in a:
        assert a[exclude].keys() == b[exclude].keys()
        for key in a[exclude]:
            np.testing.assert_array_equal(a[exclude][key], b[exclude][key], err_msg=key)


@settings(max_examples=15, deadline=None, derandomize=True, suppress_health_check=list(HealthCheck))
@given(st.data())
def test_updated_models_answer_everyone_and_survive_every_copy(tmp_path_factory, data):
    log = data.draw(logs(), "log")
    repeat = data.draw(st.booleans(), "repeat")
    model = Recommender(gate_users=0, repeat=repeat, repeat_min_count=2)
    model.fit(log, time_col="time")
    # the source serving each mode, as the gates would record it
    serving = {mode: data.draw(st.sampled_from(SOURCES), mode) for mode in MODES.values()}
    choice = {mode: {"source": s, "pop_prior": 0.0, "ndcg": 0.0} for mode, s in serving.items()}
    model._fitted.kept = Kept.of({**model.kept_, "serving": choice})
    newest = log["time"].max()
    for _ in range(data.draw(st.integers(1, 3), "updates")):
        events = data.draw(batches(log), "events")
        model.update(events)
        applied = [t for t, i in zip(events["time"], events["item"]) if i != "unknown"]
        newest = max([newest, *applied])
    # the newest event time of the data and of the events applied to it
    assert model._fitted.live.now_ts == newest
    users = model.users_.ids.tolist() + [12345]
    n = len(model.items_)
    found = check_answers(model, users, n)

    path = tmp_path_factory.mktemp("roundtrip") / "m.model"
    model.save(path)
    copies = [Recommender.load(path), pickle.loads(pickle.dumps(model)), copy.deepcopy(model)]
    for twin in copies:
        same(answers(twin, users, n), found)
        assert twin._fitted.live.now_ts == newest
    # a copy updates on as the original does
    more = data.draw(batches(log), "more events")
    model.update(more)
    copies[0].update(more)
    assert copies[0]._fitted.live.now_ts == model._fitted.live.now_ts >= newest
    users = model.users_.ids.tolist()
    same(check_answers(copies[0], users, n), answers(model, users, n))


@pytest.mark.parametrize("exclude", [True, False])
@pytest.mark.parametrize("source", BASELINES)
def test_baseline_scores_rank_the_list(source, exclude):
    log = {"user": [1, 1, 1, 2, 2, 3, 3, 3], "item": list("aabbcccb")}
    model = Recommender(gate_users=0, repeat=False).fit(log)
    choice = {"source": source, "pop_prior": 0.0, "ndcg": 0.0}
    model._fitted.kept = Kept.of({**model.kept_, "serving": {MODES[exclude]: choice}})
    got = model.recommend(1, 3, exclude_owned=exclude)
    # c and b are 3 of 8 events each; a 2: the share of all events, and with
    # personal popularity the user's own events of the item before it
    want = {
        (POPULAR, True): (["c"], [3 / 8]),
        (POPULAR, False): (["b", "c", "a"], [3 / 8, 3 / 8, 2 / 8]),
        (PERSONAL, True): (["c"], [3 / 8]),
        (PERSONAL, False): (["a", "b", "c"], [2 + 2 / 8, 1 + 3 / 8, 3 / 8]),
    }[source, exclude]
    assert got["item"].tolist() == want[0]
    np.testing.assert_allclose(got["score"], want[1])


POPULAR, PERSONAL = BASELINES
