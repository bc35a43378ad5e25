"""EngineState.recommend_batch_profiles: each profile's answers against swapping the profile
in and serving the batch, bad profiles, and the repeat calibration of a fit, which scores its
trials through it, against scoring them one swapped profile at a time."""

import math
import warnings

import numpy as np
import pytest

from reference.engines import random_engine, random_profile, random_request
from tarsel import Recommender, _core, datasets
from tarsel._gates import Gate
from test_recommend import PROFILE


def exact(batch):
    """A batch's answers with every score as its bit pattern (-0.0 and NaN included)."""
    return [(items, [s.hex() for s in scores], labels) for items, scores, labels in batch]


def random_profiles(rng, config, count):
    """Profiles for as many users as the engine has or fewer (the others then have none),
    some arrays strided."""
    out = []
    for _ in range(count):
        users = int(rng.integers(0, config["n_users"] + 1))
        profile = random_profile(rng, users, config["n_items"], 1.7e9)
        arrays = [profile[k] for k in PROFILE]
        out.append(tuple(np.repeat(a, 2)[::2] if rng.random() < 0.2 else a for a in arrays))
    return out


@pytest.mark.parametrize("seed", range(8))
def test_each_profile_answers_as_the_swapped_in_profile(seed):
    """Random engines (channels, boost layers, cold slots, repeat on or off) and profiles:
    entry v is, bit for bit, the batch served after set_repeat_profile(*profiles[v]), and the
    engine keeps its own profile."""
    rng = np.random.default_rng(seed)
    for _ in range(25):
        arrays, config = random_engine(rng)
        engine = _core.build_engine(arrays, config)
        requests = [random_request(rng, config) for _ in range(int(rng.integers(1, 7)))]
        owneds, rows = [r[0] for r in requests], [r[1] for r in requests]
        n, pop_prior = requests[0][2], requests[0][3]
        profiles = random_profiles(rng, config, int(rng.integers(1, 5)))
        own = engine.recommend_batch(owneds, rows, n, pop_prior)
        got = engine.recommend_batch_profiles(owneds, rows, n, pop_prior, profiles)
        assert engine.recommend_batch(owneds, rows, n, pop_prior) == own
        expected = []
        for profile in profiles:
            engine.set_repeat_profile(*profile, config.get("repeat_now_ts", math.nan))
            expected.append(exact(engine.recommend_batch(owneds, rows, n, pop_prior)))
        assert [exact(batch) for batch in got] == expected
        assert engine.recommend_batch_profiles(owneds, rows, n, pop_prior, []) == []


def small_engine():
    block = np.array([[0, 1, 2], [1, 0, 3], [2, 3, 0]], np.float32)
    config = dict(n_items=3, repeat_active=True, repeat_now_ts=100.0, repeat_freq_alpha=1.0)
    return _core.build_engine({"ease_b": block}, config)


PROFILE_0 = (np.int64([0, 1]), np.int64([0]), *map(np.float64, ([3.0], [50.0], [10.0], [1.0])))


@pytest.mark.parametrize(
    "profiles, message",
    [
        (3, "'int' object cannot be converted to 'Sequence'"),
        ("abc", "'str' object cannot be converted to 'Sequence'"),
        ([list(PROFILE_0)], "profile 0: 'list' object cannot be converted to 'PyTuple'"),
        (
            [PROFILE_0, PROFILE_0[:5]],
            "profile 1: holds 5 arrays, not the 6 of "
            r"\(indptr, items, counts, last_ts, periods, quality\)",
        ),
        (
            [PROFILE_0[:2] + (np.float32([3]), np.float32([50])) + PROFILE_0[4:]],
            "profile 0: array 'counts': 'ndarray' object cannot be converted to 'PyArray<T, D>'",
        ),
        (
            [PROFILE_0[:1] + ([0],) + PROFILE_0[2:]],
            "profile 0: array 'items': 'list' object cannot be converted to 'PyArray<T, D>'",
        ),
    ],
)
def test_bad_profiles_are_named(profiles, message):
    engine = small_engine()
    with pytest.raises(TypeError, match=f"^argument 'profiles': {message}$"):
        engine.recommend_batch_profiles([[0]], [0], 3, 0.0, profiles)


def test_inconsistent_profiles_fail_as_when_swapped_in():
    """Arrays that do not match each other are not checked up front: the request that reads
    past one fails as it does once the profile is the engine's, and the engine stays whole."""
    engine = small_engine()
    before = engine.recommend_batch([[0], [1]], [0, 0], 3)
    short = PROFILE_0[:3] + (np.zeros(0),) + PROFILE_0[4:]
    message = "^index out of bounds: the len is 0 but the index is 0$"
    with pytest.raises(_core.InternalFailure, match=message):
        engine.recommend_batch_profiles([[0], [1]], [0, 0], 3, 0.0, [PROFILE_0, short])
    assert engine.recommend_batch([[0], [1]], [0, 0], 3) == before
    engine.set_repeat_profile(*short, 100.0)
    with pytest.raises(_core.InternalFailure, match=message):
        engine.recommend_batch([[0], [1]], [0, 0], 3)


def test_the_entry_limit_counts_every_profile():
    engine = small_engine()
    # 86 users x 3 entries x 65536 profiles is just over 2**24 entries
    with pytest.raises(ValueError, match="^argument 'n': 5636096 users x n=3 asks for more than"):
        engine.recommend_batch_profiles([[0]] * 86, [0] * 86, 3, 0.0, [PROFILE_0] * 65536)


def one_profile_at_a_time(gate, engine, profiles):
    """The engine's own lists under each profile, swapped into the engine in turn."""
    now = float(gate.parts.config["repeat_now_ts"])
    lists = []
    for profile in profiles:
        engine.set_repeat_profile(*profile, now)
        lists.append(gate._lists(engine))
    return lists


@pytest.mark.parametrize("seed", [1, 4])
def test_repeat_calibration_matches_swapping_profiles_in(seed, monkeypatch):
    shop = datasets.grocery(n_users=250, n_items=150, n_days=90, n_new_items=0, seed=seed)
    reports = []
    for scoring in (None, one_profile_at_a_time):
        if scoring:
            monkeypatch.setattr(Gate, "_profile_lists", scoring)
        with warnings.catch_warnings():
            warnings.simplefilter("ignore")
            model = Recommender(gate_users=250).fit(shop.interactions, **shop.columns)
        reports.append(model.fit_report_)
    calibration = [r["gates"]["repeat_calibration"] for r in reports]
    assert len(calibration[0]["tried"]) >= 10
    assert [list(c["tried"].items()) for c in calibration] == [
        list(calibration[1]["tried"].items())
    ] * 2
    assert calibration[0] == calibration[1] and reports[0]["heldout"] == reports[1]["heldout"]
