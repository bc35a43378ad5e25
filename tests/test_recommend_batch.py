"""EngineState.recommend_batch: per-user results in input order, equal to
recommend; independent of the pool size; failures fail the whole batch."""
import json
import os
import subprocess
import sys

import numpy as np
import pytest

from reference.engines import random_engine, random_request
from tarsel import _core

EASE_4 = np.array([[0, 1, 2, 0], [1, 0, 0, 3], [2, 0, 0, 1], [0, 3, 1, 0]], np.float32)


def ease_engine():
    return _core.build_engine({"ease_b": EASE_4}, {"n_items": 4})


@pytest.mark.parametrize("owneds, user_rows, expected", [
    ([], [], []),
    ([[0]], [], []),
    ([[0, 1], [3]], [0], [([3, 2], [3.0, 2.0], ["ease", "ease"])]),
    ([[0], [-1, 7], [1]], [0, 1, 2],
     [([2, 1, 3], [2.0, 1.0, 0.0], ["ease"] * 3), ([], [], []),
      ([3, 0, 2], [3.0, 1.0, 0.0], ["ease"] * 3)]),
    ((np.array([0]), (0,)), np.array([0, 5]),
     [([2, 1, 3], [2.0, 1.0, 0.0], ["ease"] * 3)] * 2),
])
def test_worked_batches(owneds, user_rows, expected):
    assert ease_engine().recommend_batch(owneds, user_rows, 3) == expected


def random_batches(seed, engines=15, users=12):
    """(arrays, config, owneds, user_rows, n, pop_prior) per random engine."""
    rng = np.random.default_rng(seed)
    for _ in range(engines):
        arrays, config = random_engine(rng)
        requests = [random_request(rng, config) for _ in range(users)]
        n, pop_prior = requests[0][2], requests[0][3]
        yield arrays, config, [r[0] for r in requests], [r[1] for r in requests], n, pop_prior


@pytest.mark.parametrize("seed", range(4))
def test_batch_equals_a_loop_of_recommend(seed):
    for arrays, config, owneds, user_rows, n, pop_prior in random_batches(seed):
        engine = _core.build_engine(arrays, config)
        expected = [engine.recommend(o, u, n, pop_prior) for o, u in zip(owneds, user_rows)]
        assert engine.recommend_batch(owneds, user_rows, n, pop_prior) == expected
        # The longer sequence's surplus is ignored.
        assert engine.recommend_batch(owneds, user_rows[:5], n, pop_prior) == expected[:5]


BATCH_SCRIPT = """
import json, sys
sys.path.insert(0, {tests!r})
from test_recommend_batch import random_batches
from tarsel import _core
out = []
for arrays, config, owneds, user_rows, n, pop_prior in random_batches(7, engines=10, users=40):
    out.append(_core.build_engine(arrays, config).recommend_batch(owneds, user_rows, n,
                                                                  pop_prior))
print(json.dumps(out))
"""


def batch_in_subprocess(threads):
    script = BATCH_SCRIPT.format(tests=os.path.dirname(__file__))
    env = {**os.environ, "RAYON_NUM_THREADS": str(threads)}
    done = subprocess.run([sys.executable, "-c", script], env=env, capture_output=True,
                          text=True, check=True)
    return json.loads(done.stdout)


def test_results_do_not_depend_on_the_pool_size():
    single = batch_in_subprocess(1)
    assert batch_in_subprocess(4) == single
    here = []
    for arrays, config, owneds, user_rows, n, pop_prior in random_batches(7, engines=10, users=40):
        here.append(_core.build_engine(arrays, config).recommend_batch(owneds, user_rows, n,
                                                                       pop_prior))
    assert json.loads(json.dumps(here)) == single


def test_one_failing_user_fails_the_batch():
    # Row 3 of the co-occurrence graph names an item past the catalogue.
    engine = _core.build_engine(
        {"cooc_data": np.ones(2, np.float32), "cooc_indices": np.array([1, 9], np.int32),
         "cooc_indptr": np.array([0, 1, 1, 1, 2], np.int32)},
        {"n_items": 4, "base_is_ease": False})
    owneds = [[0]] * 200
    assert engine.recommend_batch(owneds, [0] * 200, 3) == [([1], [1.0], ["cooc"])] * 200
    with pytest.raises(_core.InternalFailure, match="^index out of bounds: the len is 4 but"):
        engine.recommend_batch(owneds[:100] + [[3]] + owneds[100:], [0] * 201, 3)
    # The engine stays usable.
    assert engine.recommend_batch([[0]], [0], 3) == [([1], [1.0], ["cooc"])]


@pytest.mark.parametrize("args, error, message", [
    (("ab", [0], 3), TypeError, "argument 'owneds': Can't extract `str` to `Vec`"),
    ((["ab"], [0], 3), TypeError, "argument 'owneds': Can't extract `str` to `Vec`"),
    (([[0], 5], [0, 0], 3), TypeError,
     "argument 'owneds': 'int' object cannot be converted to 'Sequence'"),
    ((5, [0], 3), TypeError, "argument 'owneds': 'int' object cannot be converted to 'Sequence'"),
    (([[0]], "0", 3), TypeError, "argument 'user_rows': Can't extract `str` to `Vec`"),
    (([[0]], [0.5], 3), TypeError, "argument 'user_rows': 'float' object cannot be interpreted"),
    (([[0]], [0], -2), OverflowError, "argument 'n': can't convert negative int to unsigned"),
    (([[0]], [0], 3, "x"), TypeError, "argument 'pop_prior': must be real number, not str"),
])
def test_argument_errors(args, error, message):
    with pytest.raises(error) as info:
        ease_engine().recommend_batch(*args)
    assert str(info.value).startswith(message)
