"""Hostile input for every native entry point.

Each call must return a result or raise one of the documented exceptions,
never crash. Under `make sanitize` any memory error or undefined behaviour met
on the way aborts the run, so these tests are the sanitizers' main diet.
Functions and engine methods are enumerated from the module.
"""
from __future__ import annotations

import copy
import ctypes
import gc
import inspect
import os
import struct
import sys
import threading
import zlib

import numpy as np
import pytest

from reference import engine_record
from tarsel import _core

ACCEPTED = (ValueError, TypeError, OverflowError, MemoryError, RuntimeError, OSError,
            IndexError, _core.InternalFailure)
MODULE_FUNCTIONS = sorted(
    name for name, obj in vars(_core).items()
    if callable(obj) and not isinstance(obj, type) and not name.startswith("_"))
ENGINE = _core.EngineState


class RaisedByArgument(Exception):
    """Raised by a hostile argument object; must reach the caller unchanged."""


def outcome(fn, *args, **kwargs):
    """The result of the call, or the accepted exception it raised."""
    try:
        return fn(*args, **kwargs)
    except ACCEPTED + (RaisedByArgument,) as exc:
        return exc


def seeded(*keys) -> np.random.Generator:
    return np.random.default_rng(zlib.crc32(repr(keys).encode()))


def complete(fn, example):
    """The example's arguments in signature order, defaults filled in."""
    bound = inspect.signature(fn).bind(**example)
    bound.apply_defaults()
    return dict(bound.arguments)


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


def module_examples():
    """Keyword arguments of one valid call per module function."""
    data, indices, indptr = SQUARE
    base = np.linspace(1.0, 0.2, 8)
    layer = np.array([0, 0, 5, 0, 1, 0, 0, 9], dtype=np.float64)
    relevance = np.array([0, 1, 0, 0, 1, 0, 0, 1], dtype=np.float64)
    probs = np.array([[0.4, 0.3, 0.2, 0.1], [0.1, 0.6, 0.2, 0.1], [0.0, 0.0, 0.1, 0.9]])
    return {
        "cooc_transform": dict(data=data, indices=indices, indptr=indptr,
                               item_counts=np.array([2.0, 3.0, 1.0, 4.0]), transform="wilson"),
        "build_cooccurrence": dict(user_idx=USERS, item_idx=ITEMS, weights=WEIGHTS, n_users=4,
                                   n_items=4, kernel="hybrid_temporal", timestamps=TIMES),
        "cooccurrence_signal": dict(data=data, indices=indices, indptr=indptr,
                                    owned_indices=[0, 2], candidate_indices=[1, 3, -1, 7]),
        "cooccurrence_retrieve": dict(data=data, indices=indices, indptr=indptr,
                                      owned_indices=[0, 2], budget=3, include_owned=True),
        "build_directional_cooc": dict(session_idx=USERS, item_idx=ITEMS, weights=WEIGHTS,
                                       n_sessions=4, n_items=4, timestamps=TIMES),
        "symmetrize_via_transpose": dict(data=data, indices=indices, indptr=indptr),
        "fit_ease_py": dict(user_idx=USERS, item_idx=ITEMS, n_users=4, n_items=4, lambda_=10.0,
                            weights=WEIGHTS, delta=0.1),
        "fit_ease_gram_py": dict(gram=np.diag([2.0, 1.0, 3.0, 1.0]), lambda_=10.0),
        "metadata_knn": dict(feat_data=np.ones(6, dtype=np.float32),
                             feat_indices=np.array([0, 1, 1, 2, 0, 2], dtype=np.int32),
                             feat_indptr=np.array([0, 2, 3, 5, 6], dtype=np.int32),
                             n_features=3, top_k=2, max_df=3),
        "build_session_cooccurrence": dict(session_idx=USERS, item_idx=ITEMS, weights=WEIGHTS,
                                           n_sessions=4, n_items=4, kernel="hybrid_temporal",
                                           timestamps=TIMES),
        "deep_session_fraction": dict(session_idx=list(USERS), item_idx=list(ITEMS)),
        "fit_channels": dict(user_idx=USERS, item_idx=ITEMS, timestamps=TIMES, n_users=4,
                             n_items=4, n_items_ext=5, trend_window_fraction=0.5,
                             want_trend=True, want_user_cf=True),
        "build_engine": engine_dicts(),
        "layered_score_py": dict(base=base, layer_specs=[(layer, "nonzero"), (base, "pool")],
                                 z_threshold=1.0, boost_multiplier=2.0, top_k_for_calibration=5,
                                 min_nonzero_for_zscore=2),
        "calibrate_layered_py": dict(users=[(base, [(layer, "nonzero")], relevance),
                                            (base[::-1], [(layer, "pool")], relevance)],
                                     z_grid=[0.5, 1.5], boost_grid=[1.0, 3.0], k=3,
                                     top_k_for_calibration=5, min_nonzero_for_zscore=2),
        "ndcg_at_k_py": dict(scores=list(base), relevance=list(relevance), k=3),
        "multipliers_batch": dict(pattern_probs=probs, periods=np.array([86400.0, 3600.0, 0.0]),
                                  refractories=np.full(3, 600.0),
                                  confidences=np.array([0.9, 0.5, 0.0]),
                                  times_since_last=np.array([40000.0, 100.0, 1e6])),
        "multiplier_one_py": dict(pattern_probs=[0.4, 0.3, 0.2, 0.1], period_seconds=86400.0,
                                  refractory_seconds=3600.0, confidence=0.8,
                                  time_since_last_seconds=50000.0),
        "detect_period_py": dict(intervals=np.array([86400.0, 90000, 80000, 86000, 2e5, 85000,
                                                     87000, 86500, 3600, 86400, 88000, 84000])),
        "fit_repeat_profile": dict(user_idx=USERS, item_idx=ITEMS, timestamps=TIMES, n_users=4,
                                   min_count=1),
    }


N_ITEMS, N_USERS, N_FEATURES = 6, 4, 3
OWNED = [[0, 1], [1, 2, 1], [4], [], [5, 3, 0, 2]]
ROWS = [0, 1, 2, -1, 3]


def engine_fields(base_is_ease=True):
    """Every field of a small engine with every channel switched on."""
    rng = seeded("engine")
    histories = [[0, 1, 3], [1, 2], [4, 0], [5, 3, 2]]
    by_item = [[u for u, h in enumerate(histories) if i in h] for i in range(N_ITEMS)]
    cooc = csr([[(j, 1.0 + i + j) for j in range(N_ITEMS) if j != i and (i + j) % 2]
                for i in range(N_ITEMS)])
    trans = csr([[((i + 1) % N_ITEMS, 0.7), ((i + 2) % N_ITEMS, 0.3)] for i in range(N_ITEMS)],
                np.float64, np.int32, np.int64)
    content = csr([[(i % N_FEATURES, 1.0), ((i + 1) % N_FEATURES, 0.5)] for i in range(N_ITEMS)])
    boost = csr([[((i + 3) % N_ITEMS, 2.0)] for i in range(N_ITEMS)])
    repeat_rows = [[0, 1], [2], [], [5, 3]]
    repeat_nnz = sum(map(len, repeat_rows))
    return {
        "n_items": N_ITEMS, "base_is_ease": base_is_ease, "ease_dim": N_ITEMS,
        "ease_b": rng.standard_normal(N_ITEMS * N_ITEMS).astype(np.float32),
        "cooc_data": cooc[0], "cooc_indices": cooc[1], "cooc_indptr": cooc[2],
        "trend_z": rng.standard_normal(N_ITEMS), "trend_alpha": 0.5, "last_item_alpha": 0.3,
        "trans_data": trans[0], "trans_indices": trans[1], "trans_indptr": trans[2],
        "transition_alpha": 0.4, "transition_last_k": 3, "transition_decay": 0.7,
        "uu_data": np.array([u for users in by_item for u in users], dtype=np.int64),
        "uu_indptr": np.cumsum([0] + [len(u) for u in by_item]).astype(np.int64),
        "uu_deg": np.array([len(h) for h in histories], dtype=np.float64),
        "uri_data": np.array([i for h in histories for i in h], dtype=np.int64),
        "uri_indptr": np.cumsum([0] + [len(h) for h in histories]).astype(np.int64),
        "user_cf_alpha": 0.2, "user_cf_k": 2, "n_users": N_USERS,
        "item_pop": np.array([5.0, 3, 0, 8, 1, 2]),
        "boost": [boost, cooc],
        "z_threshold": 1.0, "boost_multiplier": 2.0, "retrieval_budget": 5, "cold_slots": 1,
        "content_data": content[0], "content_indices": content[1],
        "content_indptr": content[2], "content_nfeat": N_FEATURES,
        "content_coldness": np.array([0.1, 0.9, 0.0, 0.8, 0.3, 0.76]),
        "cold_recency": np.array([0.0, 1.0, 0.5, 0.2, 0.0, 0.9]), "cold_recency_beta": 0.1,
        "content_alpha": 0.2, "repeat_active": True,
        "repeat_indptr": np.cumsum([0] + [len(r) for r in repeat_rows]).astype(np.int64),
        "repeat_items": np.array([i for r in repeat_rows for i in r], dtype=np.int64),
        "repeat_counts": np.arange(2.0, 2.0 + repeat_nnz),
        "repeat_last_ts": np.linspace(1e6, 1.1e6, repeat_nnz),
        "repeat_periods": np.full(repeat_nnz, 86400.0),
        "repeat_quality": np.linspace(0.2, 0.9, repeat_nnz),
        "repeat_now_ts": 1.2e6, "repeat_refractory": 3600.0, "repeat_epsilon": 1e-3,
        "repeat_freq_alpha": 0.05,
    }


def engine_dicts(base_is_ease=True):
    """The (arrays, config) arguments of build_engine for engine_fields()."""
    fields = engine_fields(base_is_ease)
    arrays = {name: fields[name] for name, kind in engine_record.LAYOUT
              if kind.startswith("v") or kind == "boost"}
    arrays["ease_b"] = fields["ease_b"].reshape(N_ITEMS, N_ITEMS)
    config = {name: fields[name] for name, kind in engine_record.LAYOUT
              if kind in ("u64", "f64", "bool") and name != "ease_dim"}
    return dict(arrays=arrays, config=config)


def method_examples():
    """Keyword arguments of one valid call per engine method."""
    fields = engine_fields()
    repeat = [fields[k] for k in ("repeat_indptr", "repeat_items", "repeat_counts",
                                  "repeat_last_ts", "repeat_periods", "repeat_quality")]
    return {
        "recommend": dict(owned=OWNED[4], user_row=3, n=4, pop_prior=0.5),
        "recommend_batch": dict(owneds=OWNED, user_rows=ROWS, n=4, pop_prior=0.5),
        "set_channel_alphas": dict(trend_alpha=0.5, user_cf_alpha=0.2, last_item_alpha=0.3,
                                   transition_alpha=0.4),
        "set_repeat_active": dict(active=True),
        "set_repeat_profile": dict(zip(("indptr", "items", "counts", "last_ts", "periods",
                                        "quality"), repeat), now_ts=1.2e6),
    }


def engine_from_record(fields):
    return ENGINE.from_bytes(engine_record.encode_record(fields))


@pytest.fixture(params=[True, False], ids=["ease", "cooc"])
def engine(request):
    return _core.build_engine(**engine_dicts(base_is_ease=request.param))


def requests(engine):
    """Outcomes of a fixed set of requests on one engine."""
    return ([outcome(engine.recommend, owned, row, 4, pop_prior=0.5)
             for owned, row in zip(OWNED, ROWS)]
            + [outcome(engine.recommend_batch, OWNED, ROWS, 4, pop_prior=0.5),
               outcome(engine.to_bytes)])


# ------------------------------------------------------ hostile arguments

INT_EXTREMES = [-1, -2**31, 2**31 - 1, 2**30, -2**63, 2**63 - 1, 2**31]
FLOAT_EXTREMES = [np.nan, np.inf, -np.inf, -0.0, 1e308, -1e308, 5e-324, 2.0**63, -2.0**64]


class LyingSequence:
    """Claims three elements but fails on the second."""
    def __len__(self):
        return 3

    def __getitem__(self, i):
        if i >= 1:
            raise RaisedByArgument(i)
        return 0


class BadIndex:
    def __index__(self):
        raise RaisedByArgument("index")

    __float__ = __index__


@np.errstate(over="ignore", invalid="ignore")
def extreme_value_arrays(arr, rng):
    """Copies with one entry, then every entry, set to an extreme value
    (for integers: also just past the largest valid index)."""
    if arr.dtype.kind == "i":
        info = np.iinfo(arr.dtype)
        extremes = [v for v in INT_EXTREMES if info.min <= v <= info.max]
        extremes += [arr.size, arr.size + 1]
    else:
        extremes = FLOAT_EXTREMES
    out = []
    for value in extremes:
        hostile = arr.copy()
        hostile.flat[rng.integers(arr.size)] = value
        out.append(hostile)
    return out + [np.full_like(arr, extremes[rng.integers(len(extremes))])]


def array_variants(arr, rng):
    """Arrays of other dtypes, byte orders, shapes, strides, flags and values."""
    out = [arr.astype(dt) for dt in (np.int64, np.int32, np.float32, np.float64, np.uint64,
                                     np.int8, np.bool_, np.complex128, object)
           if np.dtype(dt) != arr.dtype]
    out += [arr.astype(arr.dtype.newbyteorder()), arr[:0], arr[:-1],
            np.concatenate([arr, arr[-1:]]), np.array(arr.flat[0], dtype=arr.dtype),
            arr.reshape(1, -1), arr.reshape(-1, 1), np.repeat(arr, 2, axis=0)[::2], arr[::-1]]
    if arr.ndim == 1:
        out.append(np.broadcast_to(arr[:1], arr.shape))
        misaligned = np.zeros(arr.nbytes + 1, dtype=np.uint8)[1:].view(arr.dtype)
        misaligned[:] = arr
        frozen = arr.copy()
        frozen.setflags(write=False)
        out += [misaligned, frozen]
    return out + extreme_value_arrays(arr, rng) + [list(arr.ravel()), None, 3]


def list_variants(value, rng):
    """Hostile sequences; the first item of a list of lists or tuples also
    gets each hostile replacement of its own kind."""
    out = ["abc", LyingSequence(), iter(value), {0: 1}, b"\x01\x02", (), tuple(value),
           value * 50, [], np.array(value, dtype=object)]
    if value and isinstance(value[0], (list, tuple)):
        first, rest = value[0], value[1:]
        out += [[bad] + rest for bad in value_variants(first, rng)[::2]]
        if isinstance(first, tuple):
            out += [[first[:i] + (bad,) + first[i + 1:]] + rest
                    for i, item in enumerate(first) for bad in value_variants(item, rng)[::2]]
        return out
    if all(isinstance(v, (int, np.integer)) for v in value):
        ints = np.array(value, dtype=np.int64)
        out += [ints.astype(dt) for dt in (np.int32, np.uint64, ">i8", np.int8)]
        out += [ints, np.repeat(ints, 2)[::2]]
    for bad in (2**64, -1, 2**63, -2**63, 1.5, np.nan, None, "1", BadIndex()):
        out += [value[:i] + [bad] + value[i + 1:] for i in range(min(len(value), 2))]
    return out


def value_variants(value, rng):
    """Hostile replacements for one argument, by the kind of its valid value."""
    if isinstance(value, np.ndarray):
        return array_variants(value, rng)
    if isinstance(value, bool):
        return [1, np.bool_(not value), None, "True", np.array([True])]
    if isinstance(value, int):
        return [-1, 2**63, 2**64 - 1, 2**64, 10**30, 1.5, "3", None, np.int64(-5),
                np.uint64(2**63), BadIndex(), 0]
    if isinstance(value, float):
        return [np.nan, np.inf, -np.inf, -1e308, 10**400, "1.0", None, 1j, BadIndex()]
    if isinstance(value, str):
        return ["", "\0", "\ud800", "x" * 10000, value.upper(), b"raw", 1, None]
    if isinstance(value, (list, tuple)):
        return list_variants(list(value), rng) + ([list(value)] if isinstance(value, tuple)
                                                  else [])
    if isinstance(value, dict):
        return [list(value.items()), {}, {k: None for k in value}] + [
            {**value, key: bad} for key in value for bad in value_variants(value[key], rng)[::2]]
    return [None, 1, "x", [], {}]


def is_large(value) -> bool:
    """A count, or an array or list holding an index, of 2**20 or more (an
    index of 2**30 under a huge count already sizes buffers of gigabytes)."""
    if isinstance(value, (int, np.integer)) and not isinstance(value, bool):
        return value >= 2**20
    if isinstance(value, np.ndarray) and value.dtype.kind in "iu" and value.size:
        return bool((value.astype(np.float64) >= 2.0**20).any())
    return isinstance(value, list) and any(is_large(v) for v in value)


def hostile_calls(example, rng):
    """Keyword arguments: each argument replaced in turn, then random pairs.

    A pair never combines a huge count with a large index: together they are
    a genuine request for tens of gigabytes, which the plain build may start
    to fill before running out (the kernel overcommits) and which the
    sanitizer's allocator treats as fatal instead of raising MemoryError."""
    params = list(example)
    for p in params:
        for bad in value_variants(example[p], rng):
            yield {**example, p: bad}
    for _ in range(40):
        picked = [params[i] for i in rng.choice(len(params), min(2, len(params)), False)]
        call = dict(example)
        for p in picked:
            variants = value_variants(example[p], rng)
            call[p] = variants[rng.integers(len(variants))]
        if sum(is_large(call[p]) for p in picked) < 2:
            yield call
    yield {}
    yield {**example, "unexpected": 1}


def test_every_function_has_an_example():
    assert set(MODULE_FUNCTIONS) == set(module_examples())


def target(name, engine):
    """A module function or a method of `engine`, with its example arguments
    in signature order."""
    owner, examples = ((engine, method_examples()) if name in method_examples()
                       else (_core, module_examples()))
    fn = getattr(owner, name)
    return fn, complete(fn, examples[name])


CALLABLES = MODULE_FUNCTIONS + sorted(method_examples())


@pytest.mark.parametrize("name", CALLABLES)
def test_hostile_arguments(name, engine):
    fn, example = target(name, engine)
    fn(*example.values())
    for kwargs in hostile_calls(example, seeded(name)):
        outcome(fn, **kwargs)
        outcome(fn, *kwargs.values())
        if fn.__self__ is engine:  # whatever an override stored must be safe to use
            requests(engine)


class Reentrant:
    """A number whose conversion first runs `action`: Python code that runs
    while the module is still taking its arguments."""

    def __init__(self, value, action):
        self.value, self.action = value, action

    def __index__(self):
        self.action()
        return int(self.value)

    def __float__(self):
        self.action()
        return float(self.value)


def reentrant_calls(example):
    """Copies of the example with one number, or the first number of one
    list, replaced by a Reentrant that empties every container and overwrites
    every writeable array among the arguments."""
    for name in example:
        call = copy.deepcopy(example)

        def vandalise(call=call):
            for other in call.values():
                if isinstance(other, (list, dict)):
                    other.clear()
                elif isinstance(other, np.ndarray) and other.flags.writeable and other.size:
                    other[...] = -1 if other.dtype.kind in "iu" else np.nan

        holder, key = call, name
        while isinstance(holder[key], list) and holder[key]:
            holder, key = holder[key], 0
        if isinstance(holder[key], (int, float, np.integer)) and not isinstance(
                holder[key], bool):
            holder[key] = Reentrant(holder[key], vandalise)
            yield call


@pytest.mark.parametrize("name", CALLABLES)
def test_arguments_that_change_the_other_arguments(name, engine):
    fn, example = target(name, engine)
    for call in reentrant_calls(example):
        outcome(fn, **call)
    requests(engine)


def test_a_sequence_emptied_while_it_is_read_counts_as_it_was():
    owned = []
    owned += [Reentrant(0, owned.clear), 2]
    assert _core.cooccurrence_signal(*SQUARE, owned, [1, 3, 0]).tolist() == [2.0, 0.0, 1.0]


# ------------------------------------------------------------ engine records

# Counts that can make a request ask for a gigantic buffer: the sanitizer's
# allocator treats an impossible allocation as fatal where the plain build
# raises MemoryError, so requests are only made when every count is modest or
# so large that the size computation itself must refuse it.
COUNT_FIELDS = [name for name, kind in engine_record.LAYOUT if kind == "u64"]


def check_loaded(record):
    """Load a record: it must load exactly when the reference decoder reads
    it, fail with the same message otherwise, encode back to the record
    without its trailing bytes, and answer requests without crashing."""
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


def byte_mutations(record: bytes, rng):
    """Records with random bytes changed, cut short or followed by junk."""
    for _ in range(300):
        mutated = bytearray(record)
        for pos in rng.integers(0, len(record), rng.integers(1, 4)):
            mutated[pos] = rng.integers(256)
        yield bytes(mutated) + bytes(rng.integers(0, 256, rng.integers(0, 3)))
    for size in rng.integers(0, len(record), 40):
        yield record[:size]
    yield b""


def vector_mutations(arr, rng):
    """Vectors of the wrong length or order, or holding one extreme value."""
    yield from (arr[:0], arr[:-1], np.concatenate([arr, arr[-1:]]), arr[::-1].copy())
    if arr.dtype.kind == "i" and arr.size:
        extremes = [v for v in INT_EXTREMES + [2**40] if np.iinfo(arr.dtype).min <= v
                    <= np.iinfo(arr.dtype).max] + [N_ITEMS, N_USERS + 1]
    else:
        extremes = [np.nan, np.inf, -np.inf, -1.0] if arr.size else []
    for value in extremes:
        hostile = arr.copy()
        hostile[rng.integers(arr.size)] = value
        yield hostile


def field_mutations(fields, rng):
    """Records that decode cleanly but break the pipeline's assumptions."""
    bad_scalars = {"u64": (0, 1, 4096, 2**63, 2**64 - 1),
                   "f64": (np.nan, np.inf, -np.inf, -1.0, 0.0, 1e300)}
    for name, kind in engine_record.LAYOUT:
        value = fields[name]
        if kind in bad_scalars:
            yield from ({**fields, name: bad} for bad in bad_scalars[kind] + (value + 1,))
        elif kind == "bool":
            yield {**fields, name: not value}
        elif kind == "boost":
            yield {**fields, name: []}
            for layer in range(len(value)):
                for part in range(3):
                    for arr in vector_mutations(value[layer][part], rng):
                        layers = [list(v) for v in value]
                        layers[layer][part] = arr
                        yield {**fields, name: [tuple(v) for v in layers]}
        else:
            yield from ({**fields, name: arr} for arr in vector_mutations(value, rng))


def test_signalling_nans_keep_their_bits():
    fields = engine_fields()
    ease_b = fields["ease_b"].copy()
    ease_b.view(np.uint32)[:2] = [0x7FA00001, 0xFF800002]
    trend_z = fields["trend_z"].copy()
    trend_z.view(np.uint64)[0] = 0x7FF0000000000001
    record = engine_record.encode_record({**fields, "ease_b": ease_b, "trend_z": trend_z})
    assert record[25:33] == bytes.fromhex("0100a07f020080ff")
    assert ENGINE.from_bytes(record).to_bytes() == record
    assert engine_record.encode_record(engine_record.decode_record(record)) == record


@pytest.mark.parametrize("base_is_ease", [True, False])
def test_hostile_records(base_is_ease):
    fields = engine_fields(base_is_ease)
    rng = seeded("records", base_is_ease)
    for mutated in byte_mutations(engine_record.encode_record(fields), rng):
        check_loaded(mutated)
    singles = list(field_mutations(fields, rng))
    dim = N_ITEMS + 2  # a larger EASE block than the catalogue, consistent in itself
    singles.append({**fields, "ease_dim": dim, "ease_b": np.ones(dim * dim, np.float32)})
    for mutated in singles:
        check_loaded(engine_record.encode_record(mutated))
    for _ in range(150):  # several broken fields at once
        mutated = dict(fields)
        for pick in rng.choice(len(singles), size=3, replace=False):
            mutated.update({k: v for k, v in singles[pick].items() if v is not fields[k]})
        check_loaded(engine_record.encode_record(mutated))


# ------------------------------------------------------------- concurrency

def test_threads_share_an_engine_while_overrides_are_attempted():
    """Readers on several threads while another thread flips the channel
    weights between two settings: every read sees one whole setting, and an
    override meets only the documented borrow error."""
    engine = engine_from_record(engine_fields())
    settings = [(0.5, 0.2, 0.3, 0.4), (0.0, 1.5, 0.0, 2.0)]
    owneds, rows = OWNED * 40, ROWS * 40
    reads = [lambda: engine.recommend(OWNED[0], ROWS[0], 4),
             lambda: engine.recommend_batch(owneds, rows, 4), engine.to_bytes]
    expected = []
    for alphas in settings:
        engine.set_channel_alphas(*alphas)
        expected.append([read() for read in reads])
    engine.set_channel_alphas(*settings[0])
    profile = method_examples()["set_repeat_profile"]
    errors, override_outcomes, stop = [], [], threading.Event()

    def reader(kind):
        try:
            for _ in range(60):
                assert reads[kind]() in [e[kind] for e in expected]
        except BaseException as exc:  # reported on the main thread
            errors.append(exc)

    def writer():
        i = 0
        while not stop.is_set():
            i += 1
            for call in (lambda: engine.set_channel_alphas(*settings[i % 2]),
                         lambda: engine.set_repeat_active(True),
                         lambda: engine.set_repeat_profile(**profile)):
                try:
                    override_outcomes.append(call())
                except RuntimeError as exc:
                    override_outcomes.append(str(exc))

    old_interval = sys.getswitchinterval()
    sys.setswitchinterval(1e-5)
    try:
        readers = [threading.Thread(target=reader, args=(k % 3,)) for k in range(6)]
        overrides = threading.Thread(target=writer)
        for t in readers + [overrides]:
            t.start()
        for t in readers:
            t.join()
        stop.set()
        overrides.join()
    finally:
        sys.setswitchinterval(old_interval)
    assert errors == []
    assert set(override_outcomes) <= {None, "Already borrowed"}
    assert engine.to_bytes() in [e[2] for e in expected]


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
    """Functions that release the interpreter lock share the worker pool with
    each other and with batches; results must not depend on who else runs."""
    engine = engine_from_record(engine_fields())
    calls = [(getattr(_core, name), module_examples()[name]) for name in MODULE_FUNCTIONS]
    calls.append((engine.recommend_batch, dict(owneds=OWNED * 20, user_rows=ROWS * 20, n=4)))
    expected = [canonical(fn(**example)) for fn, example in calls]
    mismatches = []

    def run(offset):
        for i in range(3 * len(calls)):
            k = (i + offset) % len(calls)
            try:
                if canonical(calls[k][0](**calls[k][1])) != expected[k]:
                    mismatches.append(k)
            except BaseException as exc:  # reported on the main thread
                mismatches.append(f"{k}: {exc!r}")

    threads = [threading.Thread(target=run, args=(k * 3,)) for k in range(4)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert mismatches == []


# ------------------------------------------------------------- memory use

def _heap_counter():
    """Bytes currently allocated through malloc and operator new: the
    sanitizer allocator's own count when it is loaded, else glibc's."""
    process = ctypes.CDLL(None)
    if hasattr(process, "__sanitizer_get_current_allocated_bytes"):
        fn = process.__sanitizer_get_current_allocated_bytes
        fn.restype = ctypes.c_size_t
        return fn

    class MallInfo2(ctypes.Structure):
        _fields_ = [(f, ctypes.c_size_t) for f in ("arena", "ordblks", "smblks", "hblks",
                                                   "hblkhd", "usmblks", "fsmblks", "uordblks",
                                                   "fordblks", "keepcost")]

    mallinfo2 = process.mallinfo2
    mallinfo2.restype = MallInfo2
    return lambda: mallinfo2().uordblks + mallinfo2().hblkhd


HEAP_BYTES = _heap_counter()


def memory_in_use():
    gc.collect()
    return HEAP_BYTES(), sys.getallocatedblocks()


def assert_flat(call, repeats=150):
    """Leaks show as growth in each of two rounds of `repeats` calls; one-off
    growth (caches, the pool's threads) shows in the warm-up only."""
    for _ in range(repeats // 3):
        call()
    first = memory_in_use()
    growth = []
    for _ in range(2):
        for _ in range(repeats):
            call()
        now = memory_in_use()
        growth.append((now[0] - first[0], now[1] - first[1]))
        first = now
    # A leaked Python object or buffer per call would add at least 32 bytes
    # or one block per call in both rounds.
    assert not all(b > 16 * repeats or blocks > repeats // 4 for b, blocks in growth), growth


@pytest.mark.skipif(not os.environ.get("TARSEL_SANITIZED"), reason="not the sanitizer run")
def test_the_sanitizer_run_uses_an_instrumented_module():
    with open(_core.__file__, "rb") as module:
        binary = module.read()
    assert b"__asan_init" in binary and b"__ubsan_handle_" in binary
    assert hasattr(ctypes.CDLL(None), "__sanitizer_get_current_allocated_bytes")


@pytest.mark.parametrize("make", [lambda: 1.5 * np.random.rand(), lambda: bytes(100)],
                         ids=["float", "bytes"])
def test_memory_check_sees_a_leak(make):
    kept = []
    with pytest.raises(AssertionError):
        assert_flat(lambda: kept.append(make()))


def wrong_first_argument(example):
    first = next(iter(example))
    bad = example[first]
    bad = bad.astype(np.complex128) if isinstance(bad, np.ndarray) else object()
    return {**example, first: bad}


def leak_cases():
    """(call that succeeds, call that fails) per function, method and record."""
    engine = engine_from_record(engine_fields())
    record = engine.to_bytes()
    fields = engine_fields()
    # A pipeline failure on a worker thread must unwind every buffer.
    broken = engine_from_record({**fields, "cooc_indices": fields["cooc_indices"] + 100,
                                 "base_is_ease": False})
    cases = {"record": (lambda: ENGINE.from_bytes(record).to_bytes(),
                        lambda: outcome(ENGINE.from_bytes, record[:-9])),
             "failing requests": (
                 lambda: outcome(broken.recommend, OWNED[0], ROWS[0], 4),
                 lambda: outcome(broken.recommend_batch, OWNED * 20, ROWS * 20, 4))}
    owners = [(_core, module_examples()), (engine, method_examples())]
    for owner, examples in owners:
        for name, example in examples.items():
            fn = getattr(owner, name)
            cases[name] = (lambda fn=fn, ex=example: fn(**ex),
                           lambda fn=fn, ex=wrong_first_argument(example): outcome(fn, **ex))
    return cases


@pytest.mark.parametrize("name", sorted(leak_cases()))
def test_no_leaks(name):
    for call in leak_cases()[name]:
        assert_flat(call)



# ------------------------------------------------- shared array rules

def strided_copy(arr):
    return np.repeat(arr, 2, axis=0)[::2]


OTHER_DTYPE = {"f": {4: np.float64, 8: np.float32}, "i": {4: np.int64, 8: np.int32}}


@pytest.mark.parametrize("name", MODULE_FUNCTIONS)
def test_array_arguments_strided_or_of_another_dtype(name):
    """A strided array gives the contiguous result or a contiguity error,
    never data read past its strides; another dtype, rank or a list is
    refused naming its argument."""
    fn = getattr(_core, name)
    example = module_examples()[name]
    expected = canonical(fn(**example))
    for param, value in example.items():
        if not isinstance(value, np.ndarray) or not value.size:
            continue
        strided = outcome(fn, **{**example, param: strided_copy(value)})
        if isinstance(strided, BaseException):
            assert (type(strided), str(strided)) == (
                TypeError, "The given array is not contiguous") or (
                type(strided) is _core.InternalFailure and str(strided).startswith(param)
                and str(strided).endswith(" contiguous: NotContiguousError"))
        else:
            assert canonical(strided) == expected, param
        other_dtype = value.astype(OTHER_DTYPE[value.dtype.kind][value.dtype.itemsize])
        other_rank = value.reshape(1, -1) if value.ndim == 1 else value.ravel()
        for other in (other_dtype, other_rank, value.tolist()):
            with pytest.raises(TypeError) as info:
                fn(**{**example, param: other})
            kind = type(other).__name__
            assert str(info.value) == (
                f"argument '{param}': '{kind}' object cannot be converted to 'PyArray<T, D>'")


@pytest.mark.parametrize("name", MODULE_FUNCTIONS)
def test_the_callers_arguments_are_never_written(name):
    fn = getattr(_core, name)
    example = module_examples()[name]
    before = canonical(copy.deepcopy(example))
    fn(**example)
    assert canonical(example) == before
