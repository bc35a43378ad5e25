"""Argument matching, conversion and registration rules shared by every function,
exercised through build_cooccurrence."""
import ast
import inspect
import pathlib

import numpy as np
import pytest

import tarsel
from tarsel import _core

B = _core.build_cooccurrence
U, I, W = np.array([0, 0], np.int64), np.array([0, 1], np.int64), np.array([1, 1], np.float32)

# The public table: name -> signature as exposed, in module order.
FUNCTIONS = {
    "cooc_transform": "(data, indices, indptr, item_counts, transform, wilson_z=1.96)",
    "build_cooccurrence": "(user_idx, item_idx, weights, n_users, n_items, kernel='pure_count', alpha=1.0, half_life_days=30.0, timestamps=None)",
    "cooccurrence_signal": "(data, indices, indptr, owned_indices, candidate_indices)",
    "cooccurrence_retrieve": "(data, indices, indptr, owned_indices, budget, include_owned=False)",
    "build_directional_cooc": "(session_idx, item_idx, weights, n_sessions, n_items, timestamps=None)",
    "symmetrize_via_transpose": "(data, indices, indptr)",
    "fit_ease_py": "(user_idx, item_idx, n_users, n_items, lambda_=250.0, weights=None, delta=0.0)",
    "fit_ease_gram_py": "(gram, lambda_=250.0, delta=0.0)",
    "metadata_knn": "(feat_data, feat_indices, feat_indptr, n_features, top_k=20, max_df=0)",
    "build_session_cooccurrence": "(session_idx, item_idx, weights, n_sessions, n_items, kernel='pure_count', alpha=1.0, half_life_days=30.0, timestamps=None)",
    "deep_session_fraction": "(session_idx, item_idx)",
    "fit_channels": "(user_idx, item_idx, timestamps, n_users, n_items, n_items_ext, trend_window_fraction, want_trend, want_user_cf)",
    "build_engine": "(arrays, config)",
    "layered_score_py": "(base, layer_specs, z_threshold=2.5, boost_multiplier=3.0, top_k_for_calibration=20, min_nonzero_for_zscore=3)",
    "calibrate_layered_py": "(users, z_grid, boost_grid, k=10, top_k_for_calibration=20, min_nonzero_for_zscore=3, default_z=2.5, default_boost=3.0, tie_tolerance=0.003, min_lift_over_cooc_only=0.0)",
    "ndcg_at_k_py": "(scores, relevance, k)",
    "multipliers_batch": "(pattern_probs, periods, refractories, confidences, times_since_last, one_shot_epsilon=0.001)",
    "multiplier_one_py": "(pattern_probs, period_seconds, refractory_seconds, confidence, time_since_last_seconds, one_shot_epsilon=0.001)",
    "detect_period_py": "(intervals)",
    "fit_repeat_profile": "(user_idx, item_idx, timestamps, n_users, min_count=2)",
}
# Text signatures as exposed: "$self" marks an instance method (the interpreter
# shows it as "(self, /, ...)").
METHODS = {
    "recommend": "($self, owned, user_row, n, pop_prior=0.0)",
    "recommend_batch": "($self, owneds, user_rows, n, pop_prior=0.0)",
    "set_channel_alphas": "($self, trend_alpha, user_cf_alpha, last_item_alpha, transition_alpha)",
    "set_repeat_active": "($self, active)",
    "set_repeat_profile": "($self, indptr, items, counts, last_ts, periods, quality, now_ts)",
    "save": "($self, path)",
    "load": "(path)",
    "to_bytes": "($self)",
    "from_bytes": "(data)",
}


def present_functions():
    return [name for name in vars(_core) if callable(getattr(_core, name)) and
            not isinstance(getattr(_core, name), type)]


def test_module_docstring():
    assert _core.__doc__.startswith("Module entry point. Each submodule registers its functions here.")


def test_functions_appear_in_table_order_with_their_signatures():
    names = present_functions()
    assert names == [n for n in FUNCTIONS if n in names]
    for name in names:
        fn = getattr(_core, name)
        assert str(inspect.signature(fn)) == FUNCTIONS[name]
        assert fn.__doc__.strip() and not fn.__doc__.startswith(name)  # signature line is consumed


def test_engine_methods_have_their_signatures():
    cls = getattr(_core, "EngineState", None)
    if cls is None:
        pytest.skip("EngineState not built yet")
    for name, sig in METHODS.items():
        if hasattr(cls, name):
            assert getattr(cls, name).__text_signature__ == sig


def test_internal_failure_derives_directly_from_base_exception():
    assert _core.InternalFailure.__bases__ == (BaseException,)
    assert not issubclass(_core.InternalFailure, Exception)
    assert tarsel.InternalFailure is _core.InternalFailure


@pytest.mark.parametrize(
    "args, kwargs, message",
    [
        ((U, I), {}, "build_cooccurrence() missing 3 required positional arguments: 'weights', 'n_users', and 'n_items'"),
        ((U, I, W, 1), {}, "build_cooccurrence() missing 1 required positional argument: 'n_items'"),
        ((U,), dict(n_users=1, n_items=2), "build_cooccurrence() missing 2 required positional arguments: 'item_idx' and 'weights'"),
        ((U, I, W, 1, 2, "pure_count", 1.0, 30.0, None, 5), {},
         "build_cooccurrence() takes from 5 to 9 positional arguments but 10 were given"),
        ((U, I, W, 1, 2), dict(kernal="pure_count"), "build_cooccurrence() got an unexpected keyword argument 'kernal'"),
        ((U, I, W, 1, 2), dict(n_users=3), "build_cooccurrence() got multiple values for argument 'n_users'"),
    ],
)
def test_argument_matching_messages(args, kwargs, message):
    with pytest.raises(TypeError) as info:
        B(*args, **kwargs)
    assert str(info.value) == message


ARRAY_KIND = "object cannot be converted to 'PyArray<T, D>'"


@pytest.mark.parametrize(
    "position, value, exc, message",
    [
        (0, U.astype(np.float64), TypeError, f"argument 'user_idx': 'ndarray' {ARRAY_KIND}"),
        (0, U.astype(np.int32), TypeError, f"argument 'user_idx': 'ndarray' {ARRAY_KIND}"),
        (1, [0, 1], TypeError, f"argument 'item_idx': 'list' {ARRAY_KIND}"),
        (2, W.reshape(1, 2), TypeError, f"argument 'weights': 'ndarray' {ARRAY_KIND}"),
        (2, W.astype(">f4"), TypeError, f"argument 'weights': 'ndarray' {ARRAY_KIND}"),
        (3, -1, OverflowError, "can't convert negative int to unsigned"),
        (4, 2.0, TypeError, "argument 'n_items': 'float' object cannot be interpreted as an integer"),
        (4, 2**64, OverflowError, None),
        (5, 3, TypeError, "argument 'kernel': 'int' object cannot be converted to 'PyString'"),
        (6, "x", TypeError, "argument 'alpha': must be real number, not str"),
        (8, np.zeros(2, np.float32), TypeError, f"argument 'timestamps': 'ndarray' {ARRAY_KIND}"),
    ],
)
def test_conversion_errors(position, value, exc, message):
    args = [U, I, W, 1, 2, "pure_count", 1.0, 30.0, None]
    args[position] = value
    with pytest.raises(exc) as info:
        B(*args)
    assert type(info.value) is exc
    if message is not None:
        assert str(info.value) == message


def test_first_failing_argument_is_reported():
    with pytest.raises(TypeError, match="^argument 'item_idx'"):
        B(U, [0], [1.0], -1, 2)


@pytest.mark.parametrize(
    "n_users, alpha",
    [(np.int64(1), np.float32(1.0)), (True, 1), (np.uint8(1), np.float64(2.0))],
)
def test_scalars_through_index_and_float_protocols(n_users, alpha):
    out = B(U, I, W, n_users, 2, "hybrid_temporal", alpha, 30.0, np.zeros(2))
    assert out[0].tolist() == [1.0 + float(alpha) / 2] * 2


def test_keywords_match_positional_and_none_means_default():
    pos = B(U, I, W, 1, 2, "pure_count", 1.0, 30.0, None)
    kw = B(timestamps=None, half_life_days=30.0, alpha=1.0, kernel="pure_count",
           n_items=2, n_users=1, weights=W, item_idx=I, user_idx=U)
    for a, b in zip(pos, kw):
        np.testing.assert_array_equal(a, b)


def test_equivalent_dtypes_and_fortran_order_are_accepted():
    longlong = np.array([0, 0], dtype=np.longlong)
    fortran = np.asfortranarray(I)
    assert B(longlong, fortran, W, 1, 2)[0].tolist() == [1.0, 1.0]


def stub_signatures():
    tree = ast.parse(pathlib.Path(tarsel.__file__).with_name("_core.pyi").read_text())
    functions = {n.name: n for n in tree.body if isinstance(n, ast.FunctionDef)}
    classes = {n.name: n for n in tree.body if isinstance(n, ast.ClassDef)}
    return functions, classes


def param_names(node):
    return [a.arg for a in node.args.args]


def test_stubs_match_the_module():
    functions, classes = stub_signatures()
    assert set(functions) == set(present_functions())
    for name in present_functions():
        expected = list(inspect.signature(getattr(_core, name)).parameters)
        assert param_names(functions[name]) == expected, name
    if hasattr(_core, "EngineState"):
        methods = {n.name: n for n in classes["EngineState"].body if isinstance(n, ast.FunctionDef)}
        for name in METHODS:
            if hasattr(_core.EngineState, name):
                expected = list(inspect.signature(getattr(_core.EngineState, name)).parameters)
                assert param_names(methods[name]) == expected, name
