"""Argument rules shared by every native function, and the stubs kept in step with them."""

import ast
import importlib.util
import inspect
import pathlib
import re

import numpy as np
import pytest

import tarsel
from tarsel import _core

B, ENGINE = _core.build_cooccurrence, _core.EngineState
U, IT, W = np.array([0, 0], np.int64), np.array([0, 1], np.int64), np.array([1, 1], np.float32)
ROOT = pathlib.Path(__file__).parents[1]
ARRAY_KIND = "object cannot be converted to 'PyArray<T, D>'"


def _with(position, value):
    args = [U, IT, W, 1, 2, "pure_count", 1.0, 30.0, None]
    args[position] = value
    return args


NEGATIVE, NOT_INDEX = (
    "can't convert negative int to unsigned",
    "object cannot be interpreted as an integer",
)
MISSING = "missing 3 required positional arguments: 'weights', 'n_users', and 'n_items'"


@pytest.mark.parametrize(
    "call, error",
    [
        (lambda: B(U, IT), f"TypeError: build_cooccurrence() {MISSING}"),
        (
            lambda: B(U, IT, W, 1, 2, kernal="pure_count"),
            "TypeError: build_cooccurrence() got an unexpected keyword argument 'kernal'",
        ),
        (
            lambda: B(*_with(2, W.astype(">f4"))),
            f"TypeError: argument 'weights': 'ndarray' {ARRAY_KIND}",
        ),
        (lambda: B(*_with(3, -1)), f"OverflowError: argument 'n_users': {NEGATIVE}"),
        (lambda: B(*_with(4, 2.0)), f"TypeError: argument 'n_items': 'float' {NOT_INDEX}"),
        (lambda: B(*_with(6, "x")), "TypeError: argument 'alpha': must be real number, not str"),
    ],
)
def test_argument_matching_and_conversion_errors(call, error):
    with pytest.raises((TypeError, OverflowError)) as info:
        call()
    assert f"{type(info.value).__name__}: {info.value}" == error
    with pytest.raises(TypeError, match="^argument 'item_idx'"):  # the first failure is reported
        B(U, [0], [1.0], -1, 2)


@pytest.mark.parametrize(
    "n_users, alpha", [(np.int64(1), np.float32(1.0)), (True, 1), (np.uint8(1), np.float64(2.0))]
)
def test_scalars_keywords_equivalent_dtypes_and_fortran_order(n_users, alpha):
    out = B(U, IT, W, n_users, 2, "hybrid_temporal", alpha, 30.0, np.zeros(2))
    assert out[0].tolist() == [1.0 + float(alpha) / 2] * 2
    pos = B(U, IT, W, n_users, 2, "pure_count", alpha, 30.0, None)
    names = list(inspect.signature(B).parameters)[::-1]
    kw = B(**dict(zip(names, [None, 30.0, alpha, "pure_count", 2, n_users, W, IT, U])))
    other = B(np.array([0, 0], dtype=np.longlong), np.asfortranarray(IT), W, 1, 2, alpha=alpha)
    for a, b, c in zip(pos, kw, other):
        np.testing.assert_array_equal(a, b)
        np.testing.assert_array_equal(a, c)


def test_stubs_match_the_module():
    tree = ast.parse(pathlib.Path(tarsel.__file__).with_name("_core.pyi").read_text())
    stubs = {n.name: n for n in tree.body if isinstance(n, ast.FunctionDef)}
    engine = next(n for n in tree.body if isinstance(n, ast.ClassDef) and n.name == "EngineState")
    stubs.update({f"EngineState.{n.name}": n for n in engine.body if hasattr(n, "args")})
    native = {
        f"{prefix}{name}": fn
        for prefix, owner in (("", _core), ("EngineState.", ENGINE))
        for name, fn in vars(owner).items()
        if callable(fn) and not isinstance(fn, type) and not name.startswith("__")
    }
    assert set(native) <= set(stubs)
    for name, fn in native.items():
        params = [p for p in inspect.signature(fn).parameters if p != "self"]
        stub = [a.arg for a in stubs[name].args.args if a.arg not in ("self", "cls")]
        assert stub == params, name
    # the record's fields as generated from the native table
    spec = importlib.util.spec_from_file_location("engine_stub", ROOT / "tools/engine_stub.py")
    assert spec and spec.loader
    generator = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(generator)
    text = (ROOT / "python/tarsel/_core.pyi").read_text()
    assert generator.stub_block(text) == generator.render(_core.engine_fields())


def _knn_input(rng, n_items=12, n_features=5):
    dense = rng.random((n_items, n_features)) * (rng.random((n_items, n_features)) < 0.4)
    indptr = np.r_[0, np.cumsum((dense > 0).sum(1))].astype(np.int32)
    cols = np.nonzero(dense)[1].astype(np.int32)
    return dense[dense > 0].astype(np.float32), cols, indptr, n_features


def _events(rng, n=60):
    users, items = rng.integers(0, 8, n), rng.integers(0, 10, n)
    return users, items, np.ones(n, np.float32), rng.random(n) * 100


CSR32 = ("f4", "i4", "i4")


@pytest.mark.parametrize(
    "name, args, dtypes",
    [
        ("build_session_cooccurrence", lambda e, r: (*e[:3], 8, 10), CSR32),
        ("build_directional_cooc", lambda e, r: (*e[:3], 8, 10, e[3]), CSR32),
        ("symmetrize_via_transpose", lambda e, r: tuple(B(*e[:3], 8, 10)), CSR32),
        (
            "fit_channels",
            lambda e, r: (e[0], e[1], e[3], 8, 10, 10, 0.5, True, True),
            ("f8", "f8", "i8", "i8", "f8"),
        ),
        (
            "fit_repeat_profile",
            lambda e, r: (e[0], e[1] % 3, e[3], 8, 2),
            ("i8", "i8") + ("f8",) * 4,
        ),
        ("metadata_knn", lambda e, r: _knn_input(r), ("i8", "i8", "f8")),
    ],
)
@pytest.mark.parametrize("seed", range(3))
def test_internal_array_forms_equal_the_converted_lists(name, args, dtypes, seed):
    rng = np.random.default_rng(seed)
    given = args(_events(rng), rng)
    lists = getattr(_core, name)(*given)
    arrays = getattr(_core, f"_{name}_arrays")(*given)
    assert len(arrays) == len(lists) == len(dtypes)
    for a, values, dtype in zip(arrays, lists, dtypes):
        assert isinstance(values, list)
        np.testing.assert_array_equal(a, np.asarray(values, dtype=dtype), strict=True)


def test_only_the_boundary_folder_touches_python():
    """Subsystem folders are plain C++: only src/python/ includes the interpreter's or
    NumPy's headers, or anything from src/python/."""
    boundary = re.compile(r'#include\s*[<"](Python\.h|numpy/|python/)')
    offenders = [
        str(path.relative_to(ROOT))
        for path in sorted((ROOT / "src").glob("*/*.[ch]pp"))
        if path.parent.name != "python" and boundary.search(path.read_text())
    ]
    assert offenders == []
