"""An independent writer and reader of the engine record: fixed-width little-endian
scalars, one-byte flags, u64-counted vectors."""

from __future__ import annotations

import struct

import numpy as np

from tarsel import _core

# The layout is the native field table's (the file tests/data/engine_record_v1.bin pins
# it independently): field and encoding in record order, vectors "v" + element format.
_VECTOR = {"float32": "vf32", "int32": "vi32", "int64": "vi64", "float64": "vf64"}
_SCALAR = {"uint64": "u64", "float64": "f64", "bool": "bool"}
LAYOUT = [
    (name, "boost" if kind == "layers" else (_VECTOR if kind == "array" else _SCALAR)[dtype])
    for name, kind, dtype in _core.engine_fields()
]
# The settings a new engine takes when its configuration leaves them out: 0 unless given
# here. Vectors default to empty.
_ZERO = {"u64": 0, "f64": 0.0, "bool": False}
DEFAULTS = {name: _ZERO[kind] for name, kind in LAYOUT if kind in _ZERO} | {
    "base_is_ease": True,
    "transition_last_k": 5,
    "transition_decay": 0.7,
    "user_cf_k": 100,
    "z_threshold": 2.5,
    "boost_multiplier": 3.0,
    "retrieval_budget": 500,
    "repeat_now_ts": float("nan"),
    "repeat_epsilon": 0.001,
}
ELEMENT = {"vf32": "<f", "vi32": "<i", "vi64": "<q", "vf64": "<d"}
DTYPE = {"vf32": np.float32, "vi32": np.int32, "vi64": np.int64, "vf64": np.float64}


def _vector(kind, values) -> bytes:
    values = np.asarray([] if values is None else values).ravel()
    if values.dtype == DTYPE[kind] and kind in ("vf32", "vf64"):
        # Float elements keep their bits: passing a float32 through a Python
        # float would quiet a signalling NaN.
        body = values.astype(values.dtype.newbyteorder("<")).tobytes()
    else:
        body = b"".join(struct.pack(ELEMENT[kind], v) for v in values)
    return struct.pack("<Q", values.size) + body


def _encode_one(value, kind) -> bytes:
    if kind == "u64":
        return struct.pack("<Q", value)
    if kind == "bool":
        return struct.pack("<B", 1 if value else 0)
    if kind == "f64":
        # Reals given as 8 raw bytes keep their exact bit pattern (NaN payloads).
        return value if isinstance(value, bytes) else struct.pack("<d", value)
    if kind == "boost":
        layers = value or []
        return struct.pack("<Q", len(layers)) + b"".join(
            _vector("vf32", d) + _vector("vi32", i) + _vector("vi32", p) for d, i, p in layers
        )
    return _vector(kind, value)


def _encoded_fields(fields: dict) -> list[bytes]:
    return [_encode_one(fields.get(name, DEFAULTS.get(name)), kind) for name, kind in LAYOUT]


def encode_record(fields: dict) -> bytes:
    """The record of `fields` (missing scalars take DEFAULTS, missing vectors
    are empty); `ease_b` is written in the order given."""
    return b"".join(_encoded_fields(fields))


def field_offset(fields: dict, name: str) -> int:
    """Byte offset of field `name` in encode_record(fields)."""
    names = [n for n, _ in LAYOUT]
    return sum(len(b) for b in _encoded_fields(fields)[: names.index(name)])


def engine_fields(arrays: dict, config: dict) -> dict:
    """The fields an engine built from these two dicts should hold: ease_b in
    logical row-major order, whatever the memory order of the given matrix."""
    fields = {k: v for k, v in config.items() if v is not None}
    fields.update({k: v for k, v in arrays.items() if v is not None})
    ease = arrays.get("ease_b")
    if ease is not None:
        rows, cols = ease.shape
        fields["ease_dim"] = cols
        fields["ease_b"] = [ease[r, c] for r in range(rows) for c in range(cols)]
    return fields


ARRAY_KEYS = {name: DTYPE[kind] for name, kind in LAYOUT if kind in DTYPE and name != "ease_b"}
COUNT_KEYS = [n for n, k in LAYOUT if k == "u64" and n != "ease_dim"]
REAL_KEYS = [n for n, k in LAYOUT if k == "f64"]
FLAG_KEYS = [n for n, k in LAYOUT if k == "bool"]


def random_engine_inputs(rng: np.random.Generator, max_len: int = 6):
    """(arrays, config) for build_engine with every key set to random values
    of random lengths (vectors unrelated to each other: construction does not
    check them)."""
    n_items = int(rng.integers(1, 6))
    dim = int(rng.integers(0, n_items + 1))
    arrays = {"ease_b": rng.standard_normal((dim, dim)).astype(np.float32)}
    for key, dtype in ARRAY_KEYS.items():
        n = int(rng.integers(0, max_len + 1))
        if np.issubdtype(dtype, np.integer):
            arrays[key] = rng.integers(-(2**31), 2**31, n).astype(dtype)
        else:
            arrays[key] = rng.standard_normal(n).astype(dtype)
    # The counts a loader checks agree with the arrays of their extent: those
    # arrays are empty or of that extent (the co-occurrence offsets never
    # empty, as the base scorer).
    n_users = int(rng.integers(0, 6))
    for group, count in ((PER_ITEM, n_items), (PER_USER, n_users)):
        for key, extra in group:
            keep = key == "cooc_indptr" or rng.integers(0, 2)
            arrays[key] = np.resize(arrays[key], (count + extra) * keep).astype(ARRAY_KEYS[key])
    arrays["boost"] = [
        (
            rng.standard_normal(int(rng.integers(0, 4))).astype(np.float32),
            rng.integers(0, 9, int(rng.integers(0, 4))).astype(np.int32),
            rng.integers(0, 9, (n_items + 1) * int(rng.integers(0, 2))).astype(np.int32),
        )
        for _ in range(int(rng.integers(0, 3)))
    ]
    config = {key: int(rng.integers(0, 2**63)) for key in COUNT_KEYS}
    config.update(n_items=n_items, n_users=n_users, content_nfeat=int(rng.integers(0, UNBACKED)))
    config.update({key: float(rng.standard_normal()) for key in REAL_KEYS})
    config.update({key: bool(rng.integers(0, 2)) for key in FLAG_KEYS})
    return arrays, config


class _Reader:
    """Front-to-back reader of a record with the decoder's two failures."""

    def __init__(self, data: bytes):
        self.data, self.pos = data, 0

    def take(self, size: int) -> bytes:
        if size > len(self.data) - self.pos:
            raise ValueError("io error: unexpected end of file")
        self.pos += size
        return self.data[self.pos - size : self.pos]

    def read(self, kind: str):
        if kind == "u64":
            return struct.unpack("<Q", self.take(8))[0]
        if kind == "f64":
            return struct.unpack("<d", self.take(8))[0]
        if kind == "bool":
            byte = self.take(1)[0]
            if byte > 1:
                raise ValueError(f"invalid u8 while decoding bool, expected 0 or 1, found {byte}")
            return bool(byte)
        if kind == "boost":
            return [
                tuple(self.read(k) for k in ("vf32", "vi32", "vi32"))
                for _ in range(self.read("u64"))
            ]
        count = self.read("u64")
        dtype = np.dtype(DTYPE[kind]).newbyteorder("<")
        return np.frombuffer(self.take(count * dtype.itemsize), dtype=dtype).astype(DTYPE[kind])


def decode_record(data: bytes) -> dict:
    """The fields of a record, in the form encode_record takes; trailing bytes
    are ignored. Fails with the decoder's ValueError messages, the size rules
    of check_sizes included."""
    reader = _Reader(data)
    fields = {name: reader.read(kind) for name, kind in LAYOUT}
    check_sizes(fields)
    return fields


UNBACKED = 2**16
# The arrays that carry each count, with the entries they hold beyond it.
PER_ITEM = [(n, 0) for n in ("item_pop", "trend_z", "content_coldness", "cold_recency")]
PER_ITEM += [(n, 1) for n in ("cooc_indptr", "trans_indptr", "content_indptr", "uu_indptr")]
PER_USER = [("uu_deg", 0), ("uri_indptr", 1), ("repeat_indptr", 1)]


def check_sizes(f: dict) -> None:
    """The loader's rule: a count a request allocates by agrees with every
    non-empty array of its extent, and beyond UNBACKED it needs one."""

    def fail(text):
        raise ValueError(f"inconsistent engine record: {text}")

    def extent(name, size, count_name, extra):
        if size and size != f[count_name] + extra:
            fail(
                f"{name} holds {size} entries but {count_name} is {f[count_name]}"
                + (" (offsets hold one more)" if extra else "")
            )

    def backed(count_name, backing, arrays):
        if f[count_name] > max(backing, UNBACKED):
            fail(
                f"{count_name} is {f[count_name]} but {arrays} hold only {backing}; without "
                f"an array of that extent {count_name} may be at most {UNBACKED}"
            )

    for name, extra in PER_ITEM:
        extent(name, len(f[name]), "n_items", extra)
    for layer in f["boost"]:
        extent("a boost layer's indptr", len(layer[2]), "n_items", 1)
    if f["ease_dim"] > f["n_items"]:
        fail(f"ease_dim {f['ease_dim']} exceeds n_items {f['n_items']}")
    if len(f["ease_b"]) != f["ease_dim"] ** 2:
        fail(f"ease_b holds {len(f['ease_b'])} values, not ease_dim^2 for ease_dim {f['ease_dim']}")
    backed(
        "n_items",
        max([f["ease_dim"]] + [max(len(f[n]) - e, 0) for n, e in PER_ITEM]),
        "its per-item arrays",
    )
    for name, extra in PER_USER:
        extent(name, len(f[name]), "n_users", extra)
    backed("n_users", max(max(len(f[n]) - e, 0) for n, e in PER_USER), "its per-user arrays")
    backed("content_nfeat", len(f["content_indices"]), "content_indices")
