"""The in-place overrides of EngineState: set_channel_alphas,
set_repeat_active and set_repeat_profile, their argument errors (which leave
the engine unchanged) and their exclusive borrow."""
import math
import threading

import numpy as np
import pytest

from reference.engines import random_engine, random_request
from reference.recommend import assert_matches
from tarsel import _core

F32, I32, I64, F64 = np.float32, np.int32, np.int64, np.float64
DAY = 86400.0
ALPHAS = ("trend_alpha", "user_cf_alpha", "last_item_alpha", "transition_alpha")
PROFILE = ("repeat_indptr", "repeat_items", "repeat_counts", "repeat_last_ts",
           "repeat_periods", "repeat_quality")


def fused_engine():
    """A co-occurrence base with trend and transition channels on."""
    arrays = {"cooc_data": np.array([1.0, 2.0, 3.0], F32),
              "cooc_indices": np.array([1, 2, 3], I32), "cooc_indptr": np.array([0, 3], I32),
              "trend_z": np.array([0.0, 3.0, 0.0, -1.0]),
              "trans_data": np.array([1.0]), "trans_indices": np.array([1], I32),
              "trans_indptr": np.array([0, 1, 1, 1, 1], I64)}
    config = {"n_items": 4, "base_is_ease": False, "trend_alpha": 1.0, "transition_alpha": 1.0}
    return _core.build_engine(arrays, config)


def test_zero_weights_turn_a_fused_base_into_plain_cooc():
    engine = fused_engine()
    before = engine.recommend([0], -1, 3)
    assert before[0] == [1, 2, 3] and set(before[2]) == {"cooc_fused"}
    assert engine.set_channel_alphas(0.0, 0.0, 0.0, 0.0) is None
    assert engine.recommend([0], -1, 3) == ([3, 2, 1], [3.0, 2.0, 1.0], ["cooc"] * 3)
    engine.set_channel_alphas(1.0, 0.0, 0.0, 1.0)
    assert engine.recommend([0], -1, 3) == before


def profile(items, last_ts, now=100 * DAY):
    size = len(items)
    return (np.array([0, size], I64), np.array(items, I64), np.full(size, 3.0),
            np.array(last_ts, F64), np.full(size, 10 * DAY), np.ones(size), now)


def repeat_engine(active):
    block = np.array([[0, 1, 2, 0], [1, 0, 0, 3], [2, 0, 0, 1], [0, 3, 1, 0]], F32)
    return _core.build_engine({"ease_b": block},
                              {"n_items": 4, "repeat_active": active, "repeat_freq_alpha": 1.0})


def test_repeat_switch_and_profile():
    engine = repeat_engine(active=False)
    engine.set_repeat_profile(*profile([0], [93 * DAY]))
    # Off: the owned item 0 stays out.
    assert engine.recommend([0], 0, 5)[0] == [2, 1, 3]
    assert engine.set_repeat_active(True) is None
    # 7 of 10 days: multiplier 0.5 on ln(1 + 3) + 0.
    assert engine.recommend([0], 0, 5) == ([2, 1, 0, 3], [2.0, 1.0, math.log(2.0), 0.0],
                                           ["ease"] * 4)
    # A NaN "now" makes every multiplier 1.
    engine.set_repeat_profile(*profile([0], [93 * DAY], now=math.nan))
    assert engine.recommend([0], 0, 5) == ([2, 0, 1, 3], [2.0, math.log(4.0), 1.0, 0.0],
                                           ["ease"] * 4)
    engine.set_repeat_active(np.bool_(False))
    assert engine.recommend([0], 0, 5)[0] == [2, 1, 3]


def test_profile_arrays_are_copied_through_their_strides():
    engine = repeat_engine(active=True)
    indptr, items, counts, last_ts, periods, quality, now = profile([0, 3], [93 * DAY] * 2)
    strided = [np.repeat(a, 2)[::2] for a in (indptr, items, counts, last_ts, periods, quality)]
    assert not strided[1].flags.c_contiguous
    engine.set_repeat_profile(*strided, now)
    expected = engine.recommend([0], 0, 5)
    engine.set_repeat_profile(indptr, items, counts, last_ts, periods, quality, now)
    assert engine.recommend([0], 0, 5) == expected
    items[:] = 1  # the engine kept its own copy
    assert engine.recommend([0], 0, 5) == expected


@pytest.mark.parametrize("seed", range(4))
def test_overridden_engines_match_the_reference(seed):
    rng = np.random.default_rng(seed)
    for _ in range(20):
        arrays, config = random_engine(rng)
        engine = _core.build_engine(arrays, config)
        alphas = [float(rng.choice([0.0, rng.uniform(0.1, 2.0)])) for _ in ALPHAS]
        engine.set_channel_alphas(*alphas)
        config.update(zip(ALPHAS, alphas))
        if rng.random() < 0.5:
            active = bool(rng.random() < 0.5)
            engine.set_repeat_active(active)
            config["repeat_active"] = active
        if rng.random() < 0.5:
            new = random_engine_profile(rng, config)
            engine.set_repeat_profile(*(new[k] for k in PROFILE), new["now"])
            arrays.update({k: new[k] for k in PROFILE})
            config["repeat_now_ts"] = new["now"]
        for _ in range(4):
            assert_matches(engine, arrays, config, *random_request(rng, config))


def random_engine_profile(rng, config):
    n_users, n_items = config["n_users"], config["n_items"]
    lengths = rng.integers(0, 4, size=n_users)
    size = int(lengths.sum())
    now = float(rng.choice([math.nan, 2e9]))
    return {"repeat_indptr": np.concatenate([[0], np.cumsum(lengths)]).astype(I64),
            "repeat_items": rng.integers(0, n_items, size=size).astype(I64),
            "repeat_counts": rng.integers(1, 5, size=size).astype(F64),
            "repeat_last_ts": 2e9 - rng.uniform(0, 20 * DAY, size=size),
            "repeat_periods": rng.uniform(DAY, 10 * DAY, size=size),
            "repeat_quality": rng.uniform(0, 1, size=size), "now": now}


GOOD_PROFILE = profile([0], [93 * DAY])


def with_arg(i, value):
    args = list(GOOD_PROFILE)
    args[i] = value
    return tuple(args)


@pytest.mark.parametrize("method, args, error, message", [
    ("set_channel_alphas", (1.0, "x", 0.0, 0.0), TypeError,
     "argument 'user_cf_alpha': must be real number, not str"),
    ("set_channel_alphas", (1.0, 0.0, 0.0), TypeError, "missing 1 required positional"),
    ("set_repeat_active", (1,), TypeError,
     "argument 'active': 'int' object cannot be converted to 'PyBool'"),
    ("set_repeat_profile", with_arg(2, np.full(1, 3.0, F32)), TypeError,
     "argument 'counts': 'ndarray' object cannot be converted to 'PyArray<T, D>'"),
    ("set_repeat_profile", with_arg(0, np.zeros((1, 2), I64)), TypeError,
     "argument 'indptr': 'ndarray' object cannot be converted to 'PyArray<T, D>'"),
    ("set_repeat_profile", with_arg(1, [0]), TypeError,
     "argument 'items': 'list' object cannot be converted to 'PyArray<T, D>'"),
    ("set_repeat_profile", with_arg(6, "now"), TypeError,
     "argument 'now_ts': must be real number, not str"),
])
def test_bad_arguments_leave_the_engine_unchanged(method, args, error, message):
    engine = repeat_engine(active=True)
    engine.set_repeat_profile(*profile([0, 2], [math.nan, 93 * DAY]))
    before = engine.recommend([0], 0, 5)
    with pytest.raises(error) as info:
        getattr(engine, method)(*args)
    assert message in str(info.value)
    assert engine.recommend([0], 0, 5) == before


def large_engine():
    rng = np.random.default_rng(5)
    block = rng.random((1500, 1500), dtype=F32)
    return _core.build_engine({"ease_b": block}, {"n_items": 1500})


def test_override_during_a_batch_is_refused_and_the_batch_unaffected():
    engine = large_engine()
    owneds = [list(range(u % 50, u % 50 + 60)) for u in range(3000)]
    expected = engine.recommend_batch(owneds[:50], [0] * 50, 5)
    result, started = [], threading.Event()

    def run():
        started.set()
        result.append(engine.recommend_batch(owneds, [0] * len(owneds), 5))

    worker = threading.Thread(target=run)
    worker.start()
    started.wait()
    refused = 0
    while worker.is_alive() and not refused:
        try:
            # The same weights as before: harmless if it lands before the batch starts.
            engine.set_channel_alphas(0.0, 0.0, 0.0, 0.0)
        except RuntimeError as error:
            assert str(error) == "Already borrowed"
            refused += 1
    worker.join()
    assert refused == 1
    assert result[0][:50] == expected
    # The borrow ended with the batch.
    engine.set_repeat_active(True)
