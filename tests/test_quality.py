import warnings

import numpy as np
import pytest

from tarsel import Recommender, datasets
from tarsel._fitting import Plan, fit_parts
from tarsel._gates import Gate, Holdout
from tarsel._settings import Settings
from tarsel.evaluation import (
    PersonalPopularityBaseline,
    PopularityBaseline,
    evaluate,
    leave_last_basket_out,
)
from tarsel.recommender import _prepare


def test_held_out_ndcg_at_least_every_baseline_in_both_modes():
    shop = datasets.grocery(n_users=300, n_items=150, n_days=120, n_new_items=0, seed=1)
    split = leave_last_basket_out(shop.interactions, **shop.columns)
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        model = Recommender(gate_users=300).fit(split.train, **split.columns)
    models = {"tarsel": model, "pop": PopularityBaseline(), "own": PersonalPopularityBaseline()}
    for baseline in list(models.values())[1:]:
        baseline.fit(split.train, **split.columns)
    for exclude_owned in (True, False):
        table = evaluate(models, split, exclude_owned=exclude_owned, fit=False, n_resamples=10)
        ndcg = table[table.metric == "ndcg"].set_index("model")["value"]
        assert ndcg["tarsel"] >= ndcg.drop("tarsel").max()
    report = model.fit_report_["heldout"]
    assert set(report["candidates"]["owned_allowed"]) >= {"model", "base", "personal_popularity"}
    assert report["serving"] == model.kept_["serving"]


def _rebuy_log():
    # each user buys the same two items in every basket; co-occurrence points elsewhere
    rng = np.random.default_rng(0)
    users, items, times = [], [], []
    for u in range(60):
        own = [(u % 6) * 2, (u % 6) * 2 + 1]
        for day in range(5):
            basket = own + rng.choice(np.arange(12, 30), size=2, replace=False).tolist()
            users += [u] * len(basket)
            items += basket
            times += [day * 86400 + u] * len(basket)
    return {"user": users, "item": items, "time": times}


def test_a_baseline_nothing_beats_is_served_with_a_warning(tmp_path):
    log = _rebuy_log()
    with pytest.warns(
        UserWarning, match="with owned items allowed, no fitted model beat personal popularity"
    ):
        model = Recommender(gate_users=60, exclude_owned=None).fit(log, time_col="time")
    assert model.exclude_owned_ is False and model.kept_["exclude_owned"] is False
    assert model.kept_["serving"]["owned_allowed"]["source"] == "personal_popularity"
    personal = PersonalPopularityBaseline().fit(log)
    users = [0, 7, 59, 999]
    expected = personal.recommend_batch(users, 5, exclude_owned=False)
    for served in (model, Recommender.load(_saved(model, tmp_path))):
        got = served.recommend_batch(users, 5)  # the model's own rule: owned allowed
        assert got["item"].tolist() == expected["item"].tolist()
        assert served.recommend(7, 2)["item"].tolist() == [2, 3]
        assert not {2, 3} & set(served.recommend(7, 4, exclude_owned=True)["item"].tolist())


def _saved(model, tmp_path):
    path = tmp_path / "m.model"
    model.save(path)
    return path


@pytest.mark.parametrize("setting", [True, False])
def test_the_owned_rule_setting_wins_over_the_gates(setting):
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        model = Recommender(gate_users=60, exclude_owned=setting).fit(_rebuy_log(), time_col="time")
    assert model.exclude_owned_ is setting and model.kept_["exclude_owned"] is setting
    got = model.recommend(7, 4)["item"].tolist()
    assert bool({2, 3} & set(got)) is not setting


def test_the_gates_judge_the_repeat_profile_at_each_held_out_time():
    # Every basket of _rebuy_log is a day after the user's previous one, so at the
    # time of a held-out basket each pair last bought in the kept basket before
    # it was bought exactly one day earlier, however late the engine's "now" is.
    settings = Settings.from_params(Recommender(gate_users=30).get_params())
    data, _ = _prepare(settings, _rebuy_log(), None, item_col="item", time_col="time")
    holdout = Holdout.draw(data, settings.gate_users, 0)
    parts = fit_parts(settings, holdout.train, None, Plan.everything(settings), {})
    indptr, last = parts.repeat_profile[0], parts.repeat_profile[3].copy()
    Gate(settings, parts, holdout)
    aligned, now = parts.arrays["repeat_last_ts"], parts.config["repeat_now_ts"]
    held, latest = np.zeros(len(last), bool), np.zeros(len(last), bool)
    for row in holdout.rows.tolist():
        pairs = slice(indptr[row], indptr[row + 1])
        held[pairs], latest[pairs] = True, last[pairs] == last[pairs].max()
    assert latest.sum() >= 2 * len(holdout.rows) and now > last[held].max()
    np.testing.assert_allclose(now - aligned[latest], 86400.0, rtol=0, atol=1e-6)
    np.testing.assert_array_equal(aligned[~held], last[~held])
