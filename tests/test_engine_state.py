"""The EngineState class: no Python constructor, instances only from the
module's factories, independent of the caller's objects."""

import gc
import sys

import numpy as np
import pytest

from tarsel import _core


def small_engine():
    return _core.build_engine({"cooc_indptr": np.zeros(4, np.int32)}, {"n_items": 3})


@pytest.mark.parametrize("args, kwargs", [((), {}), ((1, 2), {}), ((), {"n_items": 3})])
def test_calling_the_class_raises(args, kwargs):
    with pytest.raises(TypeError, match="^No constructor defined for EngineState$"):
        _core.EngineState(*args, **kwargs)


def test_class_cannot_be_subclassed():
    with pytest.raises(TypeError):
        type("Sub", (_core.EngineState,), {})


def test_instances_are_independent_objects():
    a, b = small_engine(), small_engine()
    assert type(a) is _core.EngineState and a is not b
    assert type(a).__module__ == "tarsel._core"


def test_engine_survives_its_inputs_and_is_freed():
    arrays = {"cooc_indptr": np.zeros(4, np.int32), "ease_b": np.ones((2, 2), np.float32)}
    engine = _core.build_engine(arrays, {"n_items": 3})
    refs = [sys.getrefcount(v) for v in arrays.values()]
    del engine
    gc.collect()
    assert [sys.getrefcount(v) for v in arrays.values()] == refs
