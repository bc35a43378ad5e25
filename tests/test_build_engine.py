"""build_engine: reading the two dicts, its checks in order and their messages."""

import gc
import sys

import numpy as np
import pytest

from reference.engine_record import (
    ARRAY_KEYS,
    COUNT_KEYS,
    FLAG_KEYS,
    REAL_KEYS,
    random_engine_inputs,
)
from tarsel import _core

COOC = {"cooc_indptr": np.zeros(4, np.int32)}
CANNOT_ARRAY = "'ndarray' object cannot be converted to 'PyArray<T, D>'"


def build(arrays=COOC, config=None):
    return _core.build_engine(arrays, {"n_items": 3} if config is None else config)


NO_BASE = "no base scorer: provide ease_b or a cooc CSR"
WRAPPED = "ease_b shape inconsistent: dim 4294967296, len 0, n_items 1099511627776"
EASE_3 = {"ease_b": np.ones((3, 3), np.float32)}


@pytest.mark.parametrize(
    "arrays, config, error, message",
    [
        ([], {}, TypeError, "argument 'arrays': 'list' object cannot be converted to 'PyDict'"),
        ({}, {"n_items": None}, ValueError, "n_items must be > 0"),
        ({}, {"n_items": 5}, ValueError, NO_BASE),
        ({"ease_b": np.zeros((4, 0), np.float32)}, {"n_items": 5}, ValueError, NO_BASE),
        (EASE_3, {"n_items": 2}, ValueError, "ease_b shape inconsistent: dim 3, len 9, n_items 2"),
        # A zero-row block with 2**32 columns: its squared width wraps to 0.
        ({"ease_b": np.ones((0, 2**32), np.float32)}, {"n_items": 2**40}, ValueError, WRAPPED),
        # n_items is checked before the base scorer...
        (EASE_3, {"n_items": 0}, ValueError, "n_items must be > 0"),
        # ...but after ease_b, n_items and cooc_indptr are read; later entries come second.
        ({"ease_b": np.ones((3, 3))}, {}, TypeError, CANNOT_ARRAY),
        ({"cooc_data": np.zeros(3)}, {}, ValueError, "n_items must be > 0"),
    ],
)
def test_refused_dicts(arrays, config, error, message):
    with pytest.raises(error) as err:
        build(arrays, config)
    assert str(err.value) == message


def test_accepted_dicts_and_boost_layers():
    with pytest.raises(TypeError, match="^No constructor defined for EngineState$"):
        _core.EngineState(n_items=3)  # engines come only from the factories
    for n_items in (3, 4, 100):  # a square block within the catalogue
        build({"ease_b": np.ones((3, 3), np.float32)}, {"n_items": n_items})

    class D(dict):
        pass

    build(D(COOC, other="x"), D(n_items=3, other=object()))  # unknown keys are ignored
    # None is the same as a missing key
    arrays = {**{k: None for k in ARRAY_KEYS}, **COOC, "ease_b": None, "boost": None}
    config = {**{k: None for k in COUNT_KEYS + REAL_KEYS + FLAG_KEYS}, "n_items": 3}
    assert build(arrays, config).to_bytes() == build(COOC, {"n_items": 3}).to_bytes()
    boost_layer = tuple(np.zeros(2, d) for d in (np.float32, np.int32, np.int32))
    with pytest.raises(TypeError, match="^'tuple' object cannot be converted to 'PyList'$"):
        build({**COOC, "boost": (boost_layer,)})
    build({**COOC, "boost": [boost_layer + ("ignored",), boost_layer]})


WRONG_DTYPE = dict(
    zip([np.float32, np.float64, np.int32, np.int64], [np.float64, np.float32, np.int64, np.int32])
)


@pytest.mark.parametrize("key", sorted(ARRAY_KEYS))
def test_every_array_entry_checks_dtype_dimensions_and_contiguity(key):
    dtype = ARRAY_KEYS[key]
    base = {**COOC, "ease_b": np.ones((1, 1), np.float32)}
    build({**base, key: np.zeros(4, dtype)})  # the right kind is accepted
    for bad in (np.zeros(4, WRONG_DTYPE[dtype]), np.zeros((2, 2), dtype)):
        with pytest.raises(TypeError, match=f"^{CANNOT_ARRAY}$"):
            build({**base, key: bad})
    with pytest.raises(TypeError, match="^The given array is not contiguous$"):
        build({**base, key: np.zeros(8, dtype)[::2]})


@pytest.mark.parametrize(
    "keys, good, bad, error, message",
    [
        # (keys, an accepted value of another type, refused value, error, message)
        (COUNT_KEYS, np.int64(7), 1.0, TypeError, "'float' object cannot be interpreted as an"),
        (COUNT_KEYS, 7, -1, OverflowError, None),
        (REAL_KEYS, 1, "1.0", TypeError, "must be real number, not str"),
        (FLAG_KEYS, np.bool_(False), 1, TypeError, "'int' object cannot be converted to 'PyBool'"),
    ],
)
def test_settings_are_read_by_kind(keys, good, bad, error, message):
    for key in keys:
        build(config={"n_items": 3, key: good})
        with pytest.raises(error) as err:
            build(config={"n_items": 3, key: bad})
        assert str(err.value).startswith(message or "")


def _frozen(arrays, how):
    """``arrays`` with each array made read-only: in place ("own"), as a read-only
    view of a writeable array ("view"), or over immutable bytes ("bytes")."""

    def freeze(a):
        if how == "view":
            a = a.view()
        elif how == "bytes":
            a = np.frombuffer(a.tobytes(), a.dtype).reshape(a.shape)
        a.flags.writeable = False
        return a

    out = {k: freeze(v) for k, v in arrays.items() if k != "boost" and v is not None}
    out["boost"] = [tuple(freeze(a) for a in layer) for layer in arrays["boost"]]
    return out


@pytest.mark.parametrize("how, held", [("own", True), ("bytes", True), ("view", False)])
@pytest.mark.parametrize("seed", range(4))
def test_read_only_arrays_are_held_others_copied_and_all_released(how, held, seed):
    arrays, config = random_engine_inputs(np.random.default_rng(seed))
    copied = build(arrays, config).to_bytes()
    frozen = _frozen(arrays, how)
    entries = [v for k, v in frozen.items() if k != "boost"]
    entries += [a for layer in frozen["boost"] for a in layer]
    refs = [sys.getrefcount(a) for a in entries]
    contents = [a.tobytes() for a in entries]
    engine = build(frozen, config)
    # an array is held while the engine lives when nothing can write under it
    assert [sys.getrefcount(a) for a in entries] == [r + held for r in refs]
    assert engine.to_bytes() == copied
    if how == "view":  # the base stays writeable: the engine took a copy
        for base in {id(a.base): a.base for a in entries}.values():
            base.fill(0)
        del base
        assert engine.to_bytes() == copied
    # serving and replacing the repeat profile leave the held arrays as they were
    engine.set_repeat_profile(np.zeros(1, np.int64), np.zeros(0, np.int64), *[np.zeros(0)] * 4, 0.0)
    engine.recommend_batch([np.zeros(0, np.int64)], [0], 3, 0.0)
    if how != "view":
        assert [a.tobytes() for a in entries] == contents
    del engine
    gc.collect()
    assert [sys.getrefcount(a) for a in entries] == refs
