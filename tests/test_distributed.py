"""tarsel.distributed against single-machine fits, on a two-process LocalCluster."""

import json
import os
import signal

import numpy as np
import pytest

pytest.importorskip("dask.dataframe")
distributed = pytest.importorskip("distributed")
import cloudpickle  # noqa: E402
import dask  # noqa: E402
import dask.dataframe as dd  # noqa: E402
import pandas as pd  # noqa: E402

from tarsel import Recommender, _core  # noqa: E402
from tarsel import distributed as tdist  # noqa: E402
from tarsel.data import prepare_interactions  # noqa: E402

cloudpickle.register_pickle_by_value(__import__(__name__))
# random logs often leave the popularity baseline unbeaten: not what is tested here
pytestmark = pytest.mark.filterwarnings("ignore:with owned items allowed")


@pytest.fixture(scope="module")
def client():
    cluster = distributed.LocalCluster(
        n_workers=2, threads_per_worker=1, processes=True, host="127.0.0.1", dashboard_address=None
    )
    with cluster, distributed.Client(cluster) as c:
        yield c


def log(seed=0, n_users=150, n_items=40, n=3000):
    rng = np.random.default_rng(seed)
    user = rng.integers(0, n_users, n)
    item = (user * 3 + rng.zipf(1.6, n)) % n_items
    hours = rng.integers(0, 2000, n) * 3600.0  # many equal times
    session, rating = rng.integers(0, 4, n), rng.integers(1, 6, n).astype(float)
    users = [f"u{u}" for u in user]
    return pd.DataFrame(dict(user=users, item=item, time=hours, session=session, rating=rating))


FEATURES = pd.DataFrame({"item": np.arange(45), "kind": [f"k{i % 5}" for i in range(45)]})
GAPS = (dict(time_col="time"), dict(min_gain=0.0))
SESSIONS = (
    dict(time_col="time", session_col="session", drop_duplicates=True),
    dict(ease_max_items=10, cooc_transform="jaccard", cold_slots=1, min_gain=0.0),
)


def same_model(got, want):
    assert tdist._model_bytes(got) == tdist._model_bytes(want)  # the whole model file
    assert json.dumps(got.fit_report_, default=float) == json.dumps(want.fit_report_, default=float)


@pytest.mark.parametrize(
    "config, features, partitions, method",
    [(GAPS, None, 5, "tasks"), (SESSIONS, FEATURES, 3, "tasks"), (GAPS, None, 2, "p2p")],
)
def test_fit_is_the_single_machine_fit(client, config, features, partitions, method):
    (columns, settings), frame = config, log()
    want = Recommender(**settings).fit(frame, features, **columns)
    assert want.fit_report_["heldout"]["users"] > 20  # the gates ran
    events = dd.from_pandas(frame, npartitions=partitions)
    got = tdist.fit(client, events, features, shuffle_method=method, **columns, **settings)
    same_model(got, want)


def test_user_partitioned_frames_skip_the_shuffle_and_are_checked(client):
    frame = log(1)
    users = frame["user"].unique()
    groups = [frame[frame["user"].isin(users[k::3])].reset_index(drop=True) for k in range(3)]
    events = dd.from_delayed([dask.delayed(g) for g in groups], meta=frame.iloc[:0])
    got = tdist.fit(client, events, time_col="time", user_partitioned=True)
    same_model(got, Recommender().fit(pd.concat(groups, ignore_index=True), time_col="time"))
    events = dd.from_pandas(frame, npartitions=3)
    with pytest.raises(ValueError, match="not partitioned by user"):
        tdist.fit(client, events, time_col="time", user_partitioned=True)


TIMED = dict(time_col="time", weight_col="rating")
HUGE = "^item column 'item' holds the integer id 922337203685477.*, which does not fit"


@pytest.mark.parametrize(
    "bad, columns, message",
    [
        # the checks of times run before the fit, on the cluster too
        ({"time": 1.7e12}, TIMED, "time column 'time' holds 1700000000000, .*look like UNIX milli"),
        # ids no model can store; with no positive weight as well, the ids are checked first
        (None, {}, HUGE),
        (None, {"weight_col": "rating"}, HUGE),
    ],
)
def test_a_bad_partition_fails_the_fit_as_a_single_fit_does(client, bad, columns, message):
    frame = log(2).astype({"rating": object, "user": object})
    for column, value in (bad or {}).items():
        frame.loc[len(frame) - 5, column] = value
    if bad is None:
        frame = frame.assign(item=frame["item"].astype(np.uint64) + np.uint64(2**63), rating=0.0)
    with pytest.raises(ValueError, match=message):
        Recommender().fit(frame, **columns)
    with pytest.raises(ValueError, match=message):
        tdist.fit(client, dd.from_pandas(frame, npartitions=4), shuffle_method="tasks", **columns)
    with pytest.raises(ValueError, match="unknown parameter 'nope'"):
        tdist.fit(client, dd.from_pandas(frame, npartitions=4), nope=1)


def test_recommend_batch_answers_partition_by_partition(client, tmp_path):
    frame = log(4)
    model = Recommender().fit(frame, time_col="time")
    users = pd.Series(model.users_.ids.tolist()[::3] + ["new"], name="user")
    want = pd.DataFrame(model.recommend_batch(users.tolist(), 5, exclude_owned=False))
    answers = tdist.recommend_batch(client, model, dd.from_pandas(users, 3), 5, exclude_owned=False)
    pd.testing.assert_frame_equal(answers.compute().reset_index(drop=True), want, check_dtype=False)
    frames, out = dd.from_pandas(users.to_frame(), 2), str(tmp_path / "out")
    assert tdist.recommend_batch(client, model, frames, 5, path=out) is None
    written, expected = (
        t.sort_values(["user", "rank"])["item"].tolist()
        for t in (pd.read_parquet(out), pd.DataFrame(model.recommend_batch(users.tolist(), 5)))
    )
    assert written == expected


def test_float_sums_differ_from_one_pass_by_a_few_float32_roundings():
    """Weighted pairs and the temporal kernel give float sums; per-partition
    sums are rounded to float32 once each and then added exactly, so each entry
    is within (partitions + 1) float32 roundings of the one-pass value; EASE
    from the summed Gram stays within 1e-5 of the direct fit."""
    frame = log(5)
    model = Recommender(weighting="rating", cooc_kernel="hybrid_temporal")
    columns = dict(user_col="user", item_col="item", time_col="time", weight_col="rating")
    job = tdist._Job(
        model.get_params(), dict(columns, session_col=None, time_format=None), "rating"
    )
    scan = tdist._scan(tdist._with_rows(frame, 0), job)
    maps = tdist._id_maps(scan, [], job)
    ids = frame["user"].map({u: k % 5 for k, u in enumerate(frame["user"].unique())})
    total = None
    for k in range(5):
        part = tdist._with_rows(frame, 0)[ids.to_numpy() == k]
        total = tdist._add(total, tdist._partial(tdist._prepare_block(part, maps, job), maps, job))
    data = prepare_interactions(frame, time_col="time", weight_col="rating")
    pairs = (data.pair_user, data.pair_item, data.pair_weight, data.n_users, data.n_items)
    one = _core.build_cooccurrence(*pairs, kernel="hybrid_temporal", timestamps=data.pair_time)
    summed = tdist._csr(total.cooc, data.n_items)
    np.testing.assert_array_equal(summed[1], one[1])
    np.testing.assert_allclose(summed[0], one[0], rtol=6 * 2.0**-24, atol=0)
    gram = tdist._sums(total, maps, job, False)[1].gram()
    direct = _core.fit_ease_py(*pairs[:2], *pairs[3:], weights=data.pair_weight)
    fitted = _core.fit_ease_gram_py(np.ascontiguousarray(gram))
    np.testing.assert_allclose(fitted, direct, atol=1e-5)
    # the same bits from the matrix in either memory order
    assert _core.fit_ease_gram_py(np.asfortranarray(gram)).tobytes() == fitted.tobytes()
    with pytest.raises(ValueError, match="gram must be a square matrix"):
        _core.fit_ease_gram_py(np.zeros((2, 3)))


def _die_once(frame, marker):
    """Kills its worker process the first time any partition is read."""
    if not os.path.exists(marker):
        open(marker, "w").close()
        os.kill(os.getpid(), signal.SIGKILL)
    return frame


def test_a_worker_killed_mid_fit_changes_nothing(client, tmp_path):
    frame = log(3)
    marker = str(tmp_path / "killed")
    events = dd.from_pandas(frame, npartitions=4).map_partitions(
        _die_once, marker, meta=frame.iloc[:0]
    )
    before = set(client.run(os.getpid).values())
    got = tdist.fit(client, events, time_col="time", shuffle_method="tasks")
    assert os.path.exists(marker) and set(client.run(os.getpid).values()) != before
    same_model(got, Recommender().fit(frame, time_col="time"))
