"""build_engine: reading the two dicts, its checks in order and their messages."""
import numpy as np
import pytest

from tarsel import _core
from reference.engine_record import (
    ARRAY_KEYS, COUNT_KEYS, FLAG_KEYS, REAL_KEYS, random_engine_inputs)

COOC = {"cooc_indptr": np.zeros(4, np.int32)}
CANNOT_ARRAY = "^'ndarray' object cannot be converted to 'PyArray<T, D>'$"


def build(arrays=None, config=None):
    return _core.build_engine(COOC if arrays is None else arrays,
                              {"n_items": 3} if config is None else config)


# ------------------------------------------------------------------ arguments

@pytest.mark.parametrize(
    "args, message",
    [
        (([], {}), "argument 'arrays': 'list' object cannot be converted to 'PyDict'"),
        (({}, None), "argument 'config': 'NoneType' object cannot be converted to 'PyDict'"),
        (({},), "build_engine() missing 1 required positional argument: 'config'"),
    ],
)
def test_argument_errors(args, message):
    with pytest.raises(TypeError) as err:
        _core.build_engine(*args)
    assert str(err.value) == message


def test_dict_subclasses_are_accepted():
    class D(dict):
        pass

    assert isinstance(build(D(COOC), D(n_items=3)), _core.EngineState)


# ---------------------------------------------------------- checks and order

@pytest.mark.parametrize(
    "arrays, config, message",
    [
        ({}, {}, "n_items must be > 0"),
        ({}, {"n_items": 0}, "n_items must be > 0"),
        ({}, {"n_items": None}, "n_items must be > 0"),
        ({}, {"n_items": 5}, "no base scorer: provide ease_b or a cooc CSR"),
        ({"cooc_indptr": np.zeros(0, np.int32)}, {"n_items": 5},
         "no base scorer: provide ease_b or a cooc CSR"),
        ({"ease_b": np.zeros((4, 0), np.float32)}, {"n_items": 5},
         "no base scorer: provide ease_b or a cooc CSR"),
        ({"ease_b": np.ones((3, 3), np.float32)}, {"n_items": 2},
         "ease_b shape inconsistent: dim 3, len 9, n_items 2"),
        ({"ease_b": np.ones((2, 3), np.float32)}, {"n_items": 10},
         "ease_b shape inconsistent: dim 3, len 6, n_items 10"),
        ({"ease_b": np.ones((0, 3), np.float32)}, {"n_items": 7},
         "ease_b shape inconsistent: dim 3, len 0, n_items 7"),
        # A zero-row block with 2**32 columns: its squared width wraps to 0.
        ({"ease_b": np.ones((0, 2**32), np.float32)}, {"n_items": 2**40},
         "ease_b shape inconsistent: dim 4294967296, len 0, n_items 1099511627776"),
        # n_items is checked before the base scorer.
        ({"ease_b": np.ones((3, 3), np.float32)}, {"n_items": 0}, "n_items must be > 0"),
    ],
)
def test_value_errors(arrays, config, message):
    with pytest.raises(ValueError) as err:
        build(arrays, config)
    assert str(err.value) == message


@pytest.mark.parametrize("n_items", [3, 4, 100])
def test_square_block_within_catalogue_is_accepted(n_items):
    build({"ease_b": np.ones((3, 3), np.float32)}, {"n_items": n_items})


def test_type_errors_before_the_value_checks_win():
    # ease_b, n_items and cooc_indptr are read before any ValueError check.
    with pytest.raises(TypeError, match=CANNOT_ARRAY):
        build({"ease_b": np.ones((3, 3))}, {})
    with pytest.raises(TypeError, match="integer"):
        build({}, {"n_items": 2.0})
    with pytest.raises(TypeError, match=CANNOT_ARRAY):
        build({"cooc_indptr": np.zeros(3, np.int64)}, {})
    # ...while entries read afterwards come second.
    with pytest.raises(ValueError, match="n_items must be > 0"):
        build({"cooc_data": np.zeros(3)}, {})


# ---------------------------------------------------------------- array kinds

WRONG_DTYPE = {np.float32: np.float64, np.float64: np.float32, np.int32: np.int64,
               np.int64: np.int32}


@pytest.mark.parametrize("key", sorted(ARRAY_KEYS))
def test_every_array_entry_checks_dtype_dimensions_and_contiguity(key):
    dtype = ARRAY_KEYS[key]
    base = {**COOC, "ease_b": np.ones((1, 1), np.float32)}
    build({**base, key: np.zeros(4, dtype)})  # the right kind is accepted
    build({**base, key: None})
    for bad in (np.zeros(4, WRONG_DTYPE[dtype]), np.zeros((2, 2), dtype)):
        with pytest.raises(TypeError, match=CANNOT_ARRAY):
            build({**base, key: bad})
    with pytest.raises(TypeError, match="^'list' object cannot be converted to 'PyArray<T, D>'$"):
        build({**base, key: [0, 0, 0, 0]})
    with pytest.raises(TypeError, match="^The given array is not contiguous$"):
        build({**base, key: np.zeros(8, dtype)[::2]})


@pytest.mark.parametrize("bad", [np.ones((3, 3)), np.ones(9, np.float32), [[1.0]]])
def test_ease_b_must_be_a_two_dimensional_float32_array(bad):
    kind = type(bad).__name__
    with pytest.raises(TypeError) as err:
        build({"ease_b": bad}, {"n_items": 9})
    assert str(err.value) == f"'{kind}' object cannot be converted to 'PyArray<T, D>'"


def boost_layer(dtypes=(np.float32, np.int32, np.int32)):
    return tuple(np.zeros(2, d) for d in dtypes)


@pytest.mark.parametrize(
    "boost, error, message",
    [
        ((boost_layer(),), TypeError, "'tuple' object cannot be converted to 'PyList'"),
        ([list(boost_layer())], TypeError, "'list' object cannot be converted to 'PyTuple'"),
        ([boost_layer(), 5], TypeError, "'int' object cannot be converted to 'PyTuple'"),
        ([boost_layer()[:2]], IndexError, "tuple index out of range"),
        ([boost_layer((np.float64, np.int32, np.int32))], TypeError, CANNOT_ARRAY[1:-1]),
        ([boost_layer((np.float32, np.int32, np.int64))], TypeError, CANNOT_ARRAY[1:-1]),
    ],
)
def test_boost_errors(boost, error, message):
    with pytest.raises(error) as err:
        build({**COOC, "boost": boost})
    assert str(err.value) == message


def test_boost_tuples_may_carry_extra_items_and_subclasses():
    class L(list):
        pass

    build({**COOC, "boost": L([boost_layer() + ("ignored",), boost_layer()])})


# ------------------------------------------------------------------- settings

SETTING_KINDS = [
    # (keys, an accepted value of another type, refused value, error, message)
    (COUNT_KEYS, np.int64(7), 1.0, TypeError, "'float' object cannot be interpreted as an integer"),
    (COUNT_KEYS, 7, -1, OverflowError, None),
    (REAL_KEYS, 1, "1.0", TypeError, "must be real number, not str"),
    (FLAG_KEYS, np.bool_(False), 1, TypeError, "'int' object cannot be converted to 'PyBool'"),
]


@pytest.mark.parametrize("keys, good, bad, error, message", SETTING_KINDS)
def test_settings_are_read_by_kind(keys, good, bad, error, message):
    for key in keys:
        build(config={"n_items": 3, key: good})
        with pytest.raises(error) as err:
            build(config={"n_items": 3, key: bad})
        assert message is None or str(err.value) == message


def test_unknown_keys_are_ignored():
    build({**COOC, "other": "x"}, {"n_items": 3, "other": object()})


# ------------------------------------------------------------- stored values

def test_none_is_the_same_as_a_missing_key():
    arrays = {**{k: None for k in ARRAY_KEYS}, **COOC, "ease_b": None, "boost": None}
    config = {**{k: None for k in COUNT_KEYS + REAL_KEYS + FLAG_KEYS}, "n_items": 3}
    assert build(arrays, config).to_bytes() == build(COOC, {"n_items": 3}).to_bytes()


def test_engine_is_independent_of_the_callers_arrays():
    arrays, config = random_engine_inputs(np.random.default_rng(1))
    engine = build(arrays, config)
    before = engine.to_bytes()
    for value in arrays.values():
        for a in value if isinstance(value, list) else [(value,)]:
            for x in a:
                x[...] = 0
    arrays["boost"].clear()
    assert engine.to_bytes() == before
