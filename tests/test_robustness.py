"""Hostile input for every native entry point.

Each call must return a result or raise one of the documented exceptions, never crash.
Under `make sanitize` any memory error or undefined behaviour met on the way aborts the run,
so these tests are the sanitizers' main diet. Functions and engine methods are enumerated
from the module; hostile arguments and records are drawn by hypothesis.
"""

from __future__ import annotations

import copy
import ctypes
import gc
import inspect
import os
import pathlib
import re
import struct
import sys
import threading
import time
from concurrent.futures import ThreadPoolExecutor

import numpy as np
import pytest
from hypothesis import HealthCheck, assume, given, settings
from hypothesis import strategies as st

from reference import engine_record
from tarsel import _core

ACCEPTED = (ValueError, TypeError, OverflowError, MemoryError, RuntimeError, OSError, IndexError)
ACCEPTED += (_core.InternalFailure,)
MODULE_FUNCTIONS = sorted(
    name
    for name, obj in vars(_core).items()
    if callable(obj)
    and not isinstance(obj, type)
    and not name.startswith("_")
    and name != "engine_fields"  # takes no argument
)
ENGINE = _core.EngineState
ALPHAS = ("trend_alpha", "user_cf_alpha", "last_item_alpha", "transition_alpha")
HYPOTHESIS = settings(
    max_examples=120, deadline=None, derandomize=True, suppress_health_check=list(HealthCheck)
)


class RaisedByArgument(Exception):
    """Raised by a hostile argument object; must reach the caller unchanged."""


def outcome(fn, *args, **kwargs):
    """The result of the call, or the accepted exception it raised."""
    try:
        return fn(*args, **kwargs)
    except ACCEPTED + (RaisedByArgument,) as exc:
        return exc


def csr(rows, data_dtype=np.float32, index_dtype=np.int32, ptr_dtype=np.int32):
    """CSR triple of rows given as lists of (column, value)."""
    indptr = np.cumsum([0] + [len(r) for r in rows]).astype(ptr_dtype)
    indices = np.array([c for r in rows for c, _ in r], dtype=index_dtype)
    data = np.array([v for r in rows for _, v in r], dtype=data_dtype)
    return data, indices, indptr


# ------------------------------------------------------------ valid examples
# Eight interactions of four users with four items, in time order.
USERS = np.array([0, 0, 1, 1, 2, 2, 3, 0], dtype=np.int64)
ITEMS = np.array([0, 1, 1, 2, 0, 3, 2, 0], dtype=np.int64)
WEIGHTS = np.array([1, 2, 1, 1, 3, 1, 1, 1], dtype=np.float32)
TIMES = np.array([0, 10, 20, 3600, 7200, 7300, 86400, 90000], dtype=np.float64)


SQUARE = csr([[(1, 2.0), (2, 1.0)], [(0, 2.0), (3, 0.5)], [(0, 1.0)], [(1, 0.5)]])


def example(name, *args, **kwargs):
    """(name, keyword arguments) of a call of module function `name`."""
    params = inspect.signature(getattr(_core, name)).parameters
    return name, {**dict(zip(params, args)), **kwargs}


def module_examples():
    """Keyword arguments of one valid call per module function."""
    base = np.linspace(1.0, 0.2, 8)
    layer = np.array([0, 0, 5, 0, 1, 0, 0, 9], dtype=np.float64)
    relevance = np.array([0, 1, 0, 0, 1, 0, 0, 1], dtype=np.float64)
    probs = np.array([[0.4, 0.3, 0.2, 0.1], [0.1, 0.6, 0.2, 0.1], [0.0, 0.0, 0.1, 0.9]])
    log = (USERS, ITEMS, WEIGHTS, 4, 4)
    days = [86400.0, 90000, 80000, 86000, 2e5, 85000, 87000, 86500, 3600, 86400, 88000, 84000]
    calibrate_users = [(base, [(layer, "nonzero")], relevance)]
    calibrate_users.append((base[::-1], [(layer, "pool")], relevance))
    feats = np.ones(6, np.float32), np.int32([0, 1, 1, 2, 0, 2]), np.int32([0, 2, 3, 5, 6])
    repeats = probs, np.array([86400.0, 3600, 0]), np.full(3, 600.0), np.array([0.9, 0.5, 0.0])
    timed = USERS, ITEMS, TIMES
    calls = [
        example("cooc_transform", *SQUARE, np.array([2.0, 3.0, 1.0, 4.0]), "wilson"),
        example("cap_neighbours", *SQUARE, 1),
        example("build_cooccurrence", *log, kernel="hybrid_temporal", timestamps=TIMES),
        example("cooccurrence_signal", *SQUARE, [0, 2], [1, 3, -1, 7]),
        example("cooccurrence_retrieve", *SQUARE, [0, 2], 3, include_owned=True),
        example("build_directional_cooc", *log, timestamps=TIMES),
        example("symmetrize_via_transpose", *SQUARE),
        example("fit_ease_py", USERS, ITEMS, 4, 4, lambda_=10.0, weights=WEIGHTS, delta=0.1),
        example("fit_ease_gram_py", np.diag([2.0, 1.0, 3.0, 1.0]), lambda_=10.0),
        example("metadata_knn", *feats, n_features=3, top_k=2, max_df=3),
        example("build_session_cooccurrence", *log, "hybrid_temporal", timestamps=TIMES),
        example("deep_session_fraction", list(USERS), list(ITEMS)),
        example("fit_channels", *timed, 4, 4, 5, 0.5, want_trend=True, want_user_cf=True),
        ("build_engine", engine_dicts()),
        example("layered_score_py", base, [(layer, "nonzero"), (base, "pool")], 1.0, 2.0, 5, 2),
        example("calibrate_layered_py", calibrate_users, [0.5, 1.5], [1.0, 3.0], 3, 5, 2),
        example("ndcg_at_k_py", list(base), list(relevance), 3),
        example("multipliers_batch", *repeats, np.array([40000.0, 100.0, 1e6])),
        example("multiplier_one_py", [0.4, 0.3, 0.2, 0.1], 86400.0, 3600.0, 0.8, 50000.0),
        example("detect_period_py", np.array(days)),
        example("fit_repeat_profile", *timed, 4, min_count=1),
    ]
    return dict(calls)


N_ITEMS, N_USERS, N_FEATURES = 6, 4, 3
OWNED = [[0, 1], [1, 2, 1], [4], [], [5, 3, 0, 2]]
ROWS = [0, 1, 2, -1, 3]


def engine_fields(base_is_ease=True):
    """Every field of a small engine with every channel switched on."""
    rng = np.random.default_rng(5)
    histories, repeat_rows = [[0, 1, 3], [1, 2], [4, 0], [5, 3, 2]], [[0, 1], [2], [], [5, 3]]
    by_item = [[u for u, h in enumerate(histories) if i in h] for i in range(N_ITEMS)]
    cooc = csr([[(j, 1.0 + i + j) for j in range(N_ITEMS) if (i + j) % 2] for i in range(N_ITEMS)])
    trans = csr([[((i + 1) % 6, 0.7), ((i + 2) % 6, 0.3)] for i in range(6)], np.float64)
    content = csr([[(i % N_FEATURES, 1.0), ((i + 1) % N_FEATURES, 0.5)] for i in range(N_ITEMS)])
    fields = dict(n_items=N_ITEMS, base_is_ease=base_is_ease, ease_dim=N_ITEMS, n_users=N_USERS)
    for name, table in [("cooc", cooc), ("trans", trans), ("content", content)]:
        fields.update(zip((f"{name}_data", f"{name}_indices", f"{name}_indptr"), table))
    fields["trans_indptr"] = trans[2].astype(np.int64)
    for name, rows in [("uu", by_item), ("uri", histories), ("repeat", repeat_rows)]:
        fields[f"{name}_indptr"] = np.cumsum([0] + [len(r) for r in rows]).astype(np.int64)
        fields["repeat_items" if name == "repeat" else f"{name}_data"] = np.int64(sum(rows, []))
    nnz = sum(map(len, repeat_rows))
    fields.update(ease_b=rng.standard_normal(N_ITEMS**2).astype(np.float32), trend_alpha=0.5)
    fields.update(trend_z=rng.standard_normal(N_ITEMS), last_item_alpha=0.3, user_cf_k=2)
    fields.update(transition_alpha=0.4, transition_last_k=3, transition_decay=0.7)
    fields.update(uu_deg=np.array([len(h) for h in histories], np.float64), user_cf_alpha=0.2)
    fields.update(item_pop=np.array([5.0, 3, 0, 8, 1, 2]), z_threshold=1.0, cold_slots=1)
    fields.update(boost=[csr([[((i + 3) % 6, 2.0)] for i in range(6)]), cooc], content_alpha=0.2)
    fields.update(boost_multiplier=2.0, retrieval_budget=5, cold_recency_beta=0.1)
    fields.update(content_coldness=np.array([0.1, 0.9, 0.0, 0.8, 0.3, 0.76]))
    fields.update(cold_recency=np.array([0.0, 1.0, 0.5, 0.2, 0.0, 0.9]), repeat_active=True)
    fields.update(repeat_now_ts=1.2e6, content_nfeat=N_FEATURES, repeat_freq_alpha=0.05)
    fields.update(repeat_counts=np.arange(2.0, 2.0 + nnz), repeat_periods=np.full(nnz, 86400.0))
    fields.update(repeat_last_ts=np.linspace(1e6, 1.1e6, nnz), repeat_epsilon=1e-3)
    fields.update(repeat_quality=np.linspace(0.2, 0.9, nnz), repeat_refractory=3600.0)
    return fields


def engine_dicts(base_is_ease=True):
    """The (arrays, config) arguments of build_engine for engine_fields()."""
    fields = engine_fields(base_is_ease)
    arrays = {n: fields[n] for n, kind in engine_record.LAYOUT if kind[0] == "v" or kind == "boost"}
    arrays["ease_b"] = fields["ease_b"].reshape(N_ITEMS, N_ITEMS)
    config = {n: v for n, v in fields.items() if n not in arrays and n != "ease_dim"}
    return dict(arrays=arrays, config=config)


def method_examples():
    """Keyword arguments of one valid call per engine method."""
    fields = engine_fields()
    profile = ("indptr", "items", "counts", "last_ts", "periods", "quality")
    return {
        "recommend": dict(owned=OWNED[4], user_row=3, n=4, pop_prior=0.5),
        "recommend_batch": dict(owneds=OWNED, user_rows=ROWS, n=4, pop_prior=0.5),
        "set_channel_alphas": dict(zip(ALPHAS, (0.5, 0.2, 0.3, 0.4))),
        "set_repeat_active": dict(active=True),
        "set_repeat_profile": {p: fields["repeat_" + p] for p in profile} | {"now_ts": 1.2e6},
    }


def engine_from_record(fields):
    return ENGINE.from_bytes(engine_record.encode_record(fields))


def requests(engine):
    """Outcomes of a fixed set of requests on one engine."""
    return [
        outcome(engine.recommend, owned, row, 4, pop_prior=0.5) for owned, row in zip(OWNED, ROWS)
    ] + [outcome(engine.recommend_batch, OWNED, ROWS, 4, pop_prior=0.5), outcome(engine.to_bytes)]


# ------------------------------------------------------------ hostile arguments


class BadNumber:
    """A number whose conversion raises."""

    def __index__(self):
        raise RaisedByArgument("index")

    __float__ = __index__


class LyingSequence:
    """Claims three elements but fails on the second."""

    def __len__(self):
        return 3

    def __getitem__(self, i):
        if i >= 1:
            raise RaisedByArgument(i)
        return 0


# Counts that are negative, tiny or too large for any size computation: a mid-sized count
# is a genuine request for gigabytes, which the plain build may start to fill and the
# sanitizer's allocator treats as fatal.
COUNTS = st.one_of(st.integers(-(2**70), 8), st.integers(2**63, 2**70))
REALS = st.one_of(st.floats(), st.sampled_from([10**400, 1j]))
ODD = st.sampled_from([None, "1", b"raw", BadNumber(), LyingSequence(), {0: 1}, object()])


def changed_values(arr, extra):
    """Copies of a non-empty array with one to three values replaced by any value of its
    dtype or one of `extra`."""

    def with_values(values):
        out = arr.copy()
        for k, v in values:
            out.reshape(-1)[k] = v
        return out

    if arr.dtype.kind == "i":
        info = np.iinfo(arr.dtype)
        value = st.one_of(st.integers(info.min, info.max), st.sampled_from(extra))
    else:
        value = st.floats(width=32 if arr.dtype.itemsize == 4 else 64)
    changes = st.lists(st.tuples(st.integers(0, arr.size - 1), value), min_size=1, max_size=3)
    return changes.map(with_values)


def hostile_array(arr):
    """Arrays of other dtypes, byte orders, shapes, strides, flags and values."""
    reshaped = [arr[:0], arr[:-1], np.concatenate([arr, arr[-1:]]), arr.reshape(1, -1)]
    reshaped += [np.repeat(arr, 2, axis=0)[::2], arr[::-1], arr.astype(arr.dtype.newbyteorder())]
    reshaped += [np.asarray(arr.flat[0]), arr.tolist()]
    if arr.ndim == 1 and arr.size:
        misaligned = np.zeros(arr.nbytes + 1, dtype=np.uint8)[1:].view(arr.dtype)
        misaligned[:] = arr
        frozen = arr.copy()
        frozen.setflags(write=False)
        reshaped += [misaligned, frozen, np.broadcast_to(arr[:1], arr.shape)]
    dtypes = [np.int64, np.int32, np.float32, np.float64, np.uint64, np.int8, np.bool_, object]
    dtypes += [np.complex128]
    strategies = [st.sampled_from(reshaped), st.sampled_from(dtypes).map(arr.astype)]
    if arr.size:
        strategies.append(changed_values(arr, [arr.size]))
    return st.one_of(*strategies)


def hostile(value):
    """A strategy of hostile replacements for one argument, by the kind of its valid value;
    the items of lists and tuples get hostile replacements of their own kind."""
    if isinstance(value, np.ndarray):
        return st.one_of(hostile_array(value), ODD)
    if isinstance(value, bool):
        return st.sampled_from([1, np.bool_(not value), None, "True", np.array([True])])
    if isinstance(value, int):
        return st.one_of(COUNTS, st.sampled_from([1.5, np.uint64(2**63), np.int64(-5)]), ODD)
    if isinstance(value, float):
        return st.one_of(REALS, ODD)
    if isinstance(value, str):
        return st.one_of(st.text(max_size=12), st.sampled_from(["\0", "\ud800", "x" * 10000]), ODD)
    if isinstance(value, (list, tuple)):
        items = list(value)
        whole = [items * 50, [], iter(items), np.array(items, dtype=object), tuple(items)]
        whole += ["abc", b"\x01\x02"]
        if not items:
            return st.one_of(st.sampled_from(whole), ODD)
        one_item = st.integers(0, len(items) - 1).flatmap(
            lambda k: hostile(items[k]).map(
                lambda bad: type(value)(items[:k] + [bad] + items[k + 1 :])
            )
        )
        return st.one_of(st.sampled_from(whole), one_item, ODD)
    if isinstance(value, dict):
        return st.one_of(
            st.sampled_from([{}, list(value.items()), dict.fromkeys(value)]),
            st.sampled_from(sorted(value)).flatmap(
                lambda k: hostile(value[k]).map(lambda bad: {**value, k: bad})
            ),
        )
    return ODD


def is_large(value) -> bool:
    """A count, or an array or list holding an index, of 2**20 or more (an index of 2**30
    under a huge count already sizes buffers of gigabytes)."""
    if isinstance(value, (int, np.integer)) and not isinstance(value, bool):
        return value >= 2**20
    if isinstance(value, np.ndarray) and value.dtype.kind in "iu" and value.size:
        return bool((value.astype(np.float64) >= 2.0**20).any())
    if isinstance(value, dict):
        return any(is_large(v) for v in value.values())
    return isinstance(value, (list, tuple)) and any(is_large(v) for v in value)


def target(name, engine):
    """A module function or a method of `engine`, with its example arguments."""
    examples = method_examples()
    owner, example = (
        (engine, examples[name]) if name in examples else (_core, module_examples()[name])
    )
    return getattr(owner, name), example


CALLABLES = MODULE_FUNCTIONS + sorted(method_examples())


@pytest.mark.parametrize("name", CALLABLES)
def test_hostile_arguments(name):
    """One or two arguments replaced by hostile values, passed by keyword and by position;
    a pair never combines a huge count with a large index (together they are a genuine
    request for tens of gigabytes)."""
    engines = [_core.build_engine(**engine_dicts(base_is_ease)) for base_is_ease in (True, False)]
    assert set(MODULE_FUNCTIONS) == set(module_examples())

    @HYPOTHESIS
    @given(st.data())
    def run(data):
        engine = engines[data.draw(st.integers(0, 1))]
        fn, example = target(name, engine)
        params = data.draw(
            st.lists(st.sampled_from(list(example)), min_size=1, max_size=2, unique=True)
        )
        call = {**example, **{p: data.draw(hostile(example[p])) for p in params}}
        assume(len(params) < 2 or sum(is_large(call[p]) for p in params) < 2)
        outcome(fn, **call)
        outcome(fn, *call.values())
        if fn.__self__ is engine:  # whatever an override stored must be safe to use
            requests(engine)

    run()
    fn, example = target(name, engines[0])
    outcome(fn)
    outcome(fn, **example, unexpected=1)


class Reentrant:
    """A number whose conversion first runs `action`: Python code that runs while the
    module is still taking its arguments."""

    def __init__(self, value, action):
        self.value, self.action = value, action

    def __index__(self):
        self.action()
        return int(self.value)

    def __float__(self):
        self.action()
        return float(self.value)


@pytest.mark.parametrize("name", CALLABLES)
def test_arguments_that_change_the_other_arguments(name):
    """One number, or the first number of one list, converts only after emptying every
    container and overwriting every writeable array among the arguments."""
    engine = _core.build_engine(**engine_dicts())
    fn, example = target(name, engine)
    for param in example:
        call = copy.deepcopy(example)

        def vandalise(call=call):
            for other in call.values():
                if isinstance(other, (list, dict)):
                    other.clear()
                elif isinstance(other, np.ndarray) and other.flags.writeable and other.size:
                    other[...] = -1 if other.dtype.kind in "iu" else np.nan

        holder, key = call, param
        while isinstance(holder[key], list) and holder[key]:
            holder, key = holder[key], 0
        if isinstance(holder[key], (int, float, np.integer)) and not isinstance(holder[key], bool):
            holder[key] = Reentrant(holder[key], vandalise)
            outcome(fn, **call)
    requests(engine)
    owned = []
    owned += [Reentrant(0, owned.clear), 2]  # a sequence emptied while read counts as it was
    assert _core.cooccurrence_signal(*SQUARE, owned, [1, 3, 0]).tolist() == [2.0, 0.0, 1.0]


# ------------------------------------------------------------ engine records

# Counts a request may size buffers by: requests are made only when every count is modest
# or so large that the size computation itself must refuse it.
COUNT_FIELDS = [name for name, kind in engine_record.LAYOUT if kind == "u64"]


def check_loaded(record):
    """A record loads exactly when the reference decoder reads it, fails with the same
    message otherwise, encodes back to itself without trailing bytes, and answers requests
    without crashing."""
    loaded = outcome(ENGINE.from_bytes, record)
    try:
        fields = engine_record.decode_record(record)
    except ValueError as exc:
        assert isinstance(loaded, ValueError) and str(loaded) == str(exc)
        return
    assert not isinstance(loaded, BaseException), loaded
    assert loaded.to_bytes() == engine_record.encode_record(fields)
    if all(fields[n] <= 4096 or fields[n] >= 2**63 for n in COUNT_FIELDS):
        requests(loaded)


SCALARS = {
    "u64": st.sampled_from([0, 1, 7, 4096, 2**63, 2**64 - 1]),
    "f64": st.one_of(st.floats(), st.sampled_from([-1.0, 0.0, 1e300])),
    "bool": st.booleans(),
}


def hostile_vector(arr):
    cuts = st.sampled_from([arr[:0], arr[:-1], np.concatenate([arr, arr[-1:]]), arr[::-1].copy()])
    return st.one_of(cuts, changed_values(arr, [N_ITEMS, N_USERS + 1])) if arr.size else cuts


def hostile_field(fields, name, kind):
    value = fields[name]
    if kind in SCALARS:
        return SCALARS[kind]
    if kind != "boost":
        return hostile_vector(value)
    if not value:
        return st.just([])
    layer = st.tuples(st.integers(0, len(value) - 1), st.integers(0, 2)).flatmap(
        lambda lp: hostile_vector(value[lp[0]][lp[1]]).map(
            lambda arr: [
                tuple(arr if (i, j) == lp else part for j, part in enumerate(layers))
                for i, layers in enumerate(value)
            ]
        )
    )
    return st.one_of(st.just([]), layer)


@pytest.mark.parametrize("base_is_ease", [True, False])
@HYPOTHESIS
@given(st.data())
def test_hostile_records(base_is_ease, data):
    """Records with one to three fields broken, then with bytes changed, cut short or
    followed by junk."""
    fields = dict(engine_fields(base_is_ease))
    for name, kind in data.draw(
        st.lists(st.sampled_from(engine_record.LAYOUT), min_size=1, max_size=3)
    ):
        fields[name] = data.draw(hostile_field(fields, name, kind))
    if data.draw(st.booleans()):  # a larger EASE block than the catalogue, consistent in itself
        dim = N_ITEMS + 2
        fields.update(ease_dim=dim, ease_b=np.ones(dim * dim, np.float32))
    record = engine_record.encode_record(fields)
    check_loaded(record)
    mutated = bytearray(record)
    for pos, byte in data.draw(
        st.lists(st.tuples(st.integers(0, len(record) - 1), st.integers(0, 255)), max_size=3)
    ):
        mutated[pos] = byte
    cut = data.draw(st.integers(0, len(record)))
    check_loaded(bytes(mutated[:cut]) + data.draw(st.binary(max_size=3)))


# ------------------------------------------------------------------ threads


def heavy_calls():
    rng = np.random.default_rng(3)
    users, items = rng.integers(0, 2000, 40000), rng.integers(0, 1500, 40000)
    many = rng.integers(0, 20000, 400000), np.minimum(rng.zipf(1.3, 400000) - 1, 4999)
    weights = rng.random(400000).astype(np.float32)
    return {
        "fit_ease_py": lambda: _core.fit_ease_py(users, items, 2000, 1500),
        "build_cooccurrence": lambda: _core.build_cooccurrence(
            *many, weights, 20000, 5000, "hybrid_temporal", timestamps=np.zeros(400000)
        ),
    }


@pytest.mark.parametrize("name", sorted(heavy_calls()))
def test_a_python_thread_runs_during_long_calls(name):
    """Had the lock been held throughout, another thread could have run only at the edges of
    the call, never in its middle half."""
    call, seen, stop = heavy_calls()[name], [], threading.Event()

    def spin():
        while not stop.is_set():
            now = time.perf_counter()
            if not seen or now - seen[-1] > 1e-3:
                seen.append(now)

    thread = threading.Thread(target=spin)
    thread.start()
    try:
        start = time.perf_counter()
        call()
        end = time.perf_counter()
    finally:
        stop.set()
        thread.join()
    quarter = (end - start) / 4
    assert any(start + quarter < t < end - quarter for t in seen)


def canonical(result):
    """A comparable form of a result, exact to the bit."""
    if isinstance(result, np.ndarray):
        return ("array", result.dtype.str, result.shape, result.tobytes())
    if isinstance(result, (list, tuple)):
        return (type(result).__name__, tuple(canonical(r) for r in result))
    if isinstance(result, float):
        return ("float", struct.pack("<d", result))
    if isinstance(result, dict):
        return ("dict", tuple((k, canonical(v)) for k, v in result.items()))
    if isinstance(result, ENGINE):
        return ("engine", result.to_bytes())
    return result


def test_every_function_from_several_threads_at_once():
    """Functions that release the interpreter lock share the worker pool with each other and
    with batches; results must not depend on who else runs."""
    engine = engine_from_record(engine_fields())
    calls = [(getattr(_core, name), module_examples()[name]) for name in MODULE_FUNCTIONS]
    calls.append((engine.recommend_batch, dict(owneds=OWNED * 20, user_rows=ROWS * 20, n=4)))
    expected = [canonical(fn(**example)) for fn, example in calls]

    def run(offset):
        for i in range(3 * len(calls)):
            k = (i + offset) % len(calls)
            assert canonical(calls[k][0](**calls[k][1])) == expected[k], k

    old_interval = sys.getswitchinterval()
    sys.setswitchinterval(1e-5)  # threads take turns often
    try:
        with ThreadPoolExecutor(4) as pool:
            list(pool.map(run, range(0, 12, 3)))  # raises what a thread raised
    finally:
        sys.setswitchinterval(old_interval)


# --------------------------------------------------------------- memory use


def heap_counter():
    """Bytes allocated through malloc and operator new: the sanitizer allocator's own count
    when it is loaded, else glibc's."""
    process = ctypes.CDLL(None)
    if hasattr(process, "__sanitizer_get_current_allocated_bytes"):
        fn = process.__sanitizer_get_current_allocated_bytes
        fn.restype = ctypes.c_size_t
        return fn

    class MallInfo2(ctypes.Structure):
        names = "arena ordblks smblks hblks hblkhd usmblks fsmblks uordblks fordblks keepcost"
        _fields_ = [(f, ctypes.c_size_t) for f in names.split()]

    process.mallinfo2.restype = MallInfo2
    return lambda: process.mallinfo2().uordblks + process.mallinfo2().hblkhd


HEAP_BYTES = heap_counter()


def assert_flat(call, repeats=150):
    """Leaks show as growth in each of two rounds of `repeats` calls; one-off growth (caches,
    the pool's threads) shows in the warm-up only. A leaked Python object or buffer per call
    adds at least 32 bytes or one block per call in both rounds."""
    for _ in range(repeats // 3):
        call()
    growth = []
    for _ in range(2):
        gc.collect()
        before = (HEAP_BYTES(), sys.getallocatedblocks())
        for _ in range(repeats):
            call()
        gc.collect()
        growth.append((HEAP_BYTES() - before[0], sys.getallocatedblocks() - before[1]))
    assert not all(b > 16 * repeats or blocks > repeats // 4 for b, blocks in growth), growth


@pytest.mark.skipif(not os.environ.get("TARSEL_SANITIZED"), reason="not the sanitizer run")
def test_the_sanitizer_run_uses_an_instrumented_module():
    binary = pathlib.Path(_core.__file__).read_bytes()
    assert b"__asan_init" in binary and b"__ubsan_handle_" in binary
    assert hasattr(ctypes.CDLL(None), "__sanitizer_get_current_allocated_bytes")


@pytest.mark.parametrize(
    "make", [lambda: 1.5 * np.random.rand(), lambda: bytes(100)], ids=["float", "bytes"]
)
def test_memory_check_sees_a_leak(make):
    kept = []
    with pytest.raises(AssertionError):
        assert_flat(lambda: kept.append(make()))


def leak_cases():
    """(call that succeeds, call that fails) per function, method and record."""
    engine = engine_from_record(engine_fields())
    record = engine.to_bytes()
    fields = engine_fields()
    # A pipeline failure on a worker thread must unwind every buffer (construction takes
    # a broken table as it is; loading would refuse it).
    dicts = engine_dicts(base_is_ease=False)
    dicts["arrays"]["cooc_indices"] = fields["cooc_indices"] + 100
    broken = _core.build_engine(**dicts)
    cases = {
        "record": (
            lambda: ENGINE.from_bytes(record).to_bytes(),
            lambda: outcome(ENGINE.from_bytes, record[:-9]),
        ),
        "failing requests": (
            lambda: outcome(broken.recommend, OWNED[0], ROWS[0], 4),
            lambda: outcome(broken.recommend_batch, OWNED * 20, ROWS * 20, 4),
        ),
    }
    for owner, examples in [(_core, module_examples()), (engine, method_examples())]:
        for name, example in examples.items():
            first, fn = next(iter(example)), getattr(owner, name)
            value = example[first]
            value = value.astype(complex) if isinstance(value, np.ndarray) else object()
            bad = {**example, first: value}
            cases[name] = (
                lambda fn=fn, ex=example: fn(**ex),
                lambda fn=fn, ex=bad: outcome(fn, **ex),
            )
    return cases


@pytest.mark.parametrize("name", sorted(leak_cases()))
def test_no_leaks(name):
    for call in leak_cases()[name]:
        assert_flat(call)


# ------------------------------------------------------------ shared array rules

OTHER_DTYPE = {"f": {4: np.float64, 8: np.float32}, "i": {4: np.int64, 8: np.int32}}


@pytest.mark.parametrize("name", MODULE_FUNCTIONS)
def test_array_arguments_strided_or_of_another_kind(name):
    """A strided array gives the contiguous result or a contiguity error, never data read
    past its strides; another dtype, rank or a list is refused naming its argument; the
    caller's arguments are never written."""
    fn = getattr(_core, name)
    example = module_examples()[name]
    before = canonical(copy.deepcopy(example))
    expected = canonical(fn(**example))
    assert canonical(example) == before
    for param, value in example.items():
        if not isinstance(value, np.ndarray) or not value.size:
            continue
        strided = outcome(fn, **{**example, param: np.repeat(value, 2, axis=0)[::2]})
        if not isinstance(strided, BaseException):
            assert canonical(strided) == expected, param
        elif type(strided) is _core.InternalFailure:
            assert re.fullmatch(f"{param}.* contiguous: NotContiguousError", str(strided))
        else:
            assert (type(strided), str(strided)) == (TypeError, "The given array is not contiguous")
        other_dtype = value.astype(OTHER_DTYPE[value.dtype.kind][value.dtype.itemsize])
        for other in (other_dtype, value.tolist()):  # one message for any dtype, rank or list
            with pytest.raises(TypeError) as info:
                fn(**{**example, param: other})
            assert str(info.value) == (
                f"argument '{param}': '{type(other).__name__}' object "
                "cannot be converted to 'PyArray<T, D>'"
            )
