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


def _pick(rng, options: list):
    return options[int(rng.integers(0, len(options)))]


def _csr(rng, rows: int, bound: int, offsets, values, max_row: int = 4):
    """(data, indices, indptr) of `rows` random rows with columns below `bound`."""
    lengths = rng.integers(0, max_row + 1, rows) if bound else np.zeros(rows, np.int64)
    indptr = np.concatenate([[0], np.cumsum(lengths)]).astype(offsets)
    indices = rng.integers(0, max(bound, 1), int(indptr[-1])).astype(offsets)
    return rng.standard_normal(len(indices)).astype(values), indices, indptr


def _rows(rng, count: int) -> int:
    """A row count: none, fewer than `count`, exactly `count` or more."""
    return int(rng.choice([0, rng.integers(0, count + 1), count, count + rng.integers(1, 4)]))


def _per_item(rng, n_items: int, dtype=np.float64):
    """Absent (None), of the catalogue's length, or of another one."""
    size = int(rng.choice([n_items, n_items, rng.integers(0, n_items + 4)]))
    return None if rng.integers(0, 4) == 0 else rng.standard_normal(size).astype(dtype)


def random_repeat_profile(rng, n_users: int, n_items: int) -> tuple:
    """(indptr, items, counts, last_ts, periods, quality) of a repeat profile for any
    number of users; items past the catalogue are skipped by requests, and counts may
    be fewer than the entries."""
    users = _rows(rng, min(n_users, 6))  # a profile may cover fewer users than there are
    _, items, indptr = _csr(rng, users, n_items + 3, np.int64, np.float64)
    m = len(items)
    last_ts = rng.choice([np.nan, 0.0, 5e5, 1e6], m)
    counts = rng.integers(1, 6, int(rng.integers(0, m + 1)) if rng.integers(0, 3) == 0 else m)
    return (
        indptr,
        items.astype(np.int64),
        counts.astype(np.float64),
        last_ts,
        rng.choice([np.nan, 3600.0, 86400.0], m),
        rng.random(m),
    )


def random_engine_inputs(rng: np.random.Generator, max_items: int = 8):
    """(arrays, config) for build_engine: every optional array present or absent, tables
    with fewer or more rows than the catalogue (their columns within the sizes they
    index), arrays per item of another length, any user count and any setting."""
    n_items = int(rng.integers(1, max_items + 1))
    arrays: dict = {}
    dim = int(rng.integers(0, n_items + 1)) if rng.integers(0, 2) else 0
    if dim:
        arrays["ease_b"] = rng.standard_normal((dim, dim)).astype(np.float32)
    if not dim or rng.integers(0, 2):
        rows = max(_rows(rng, n_items), 0 if dim else 1)
        cooc = _csr(rng, rows, n_items, np.int32, np.float32)
        arrays.update(zip(("cooc_data", "cooc_indices", "cooc_indptr"), cooc))
        if not dim and not rows:
            arrays["cooc_indptr"] = np.zeros(1, np.int32)
    for key in ("trend_z", "item_pop", "content_coldness", "cold_recency"):
        arrays[key] = _per_item(rng, n_items)
    if rng.integers(0, 2):
        trans = _csr(rng, _rows(rng, n_items), n_items, np.int64, np.float64)
        arrays.update(zip(("trans_data", "trans_indices", "trans_indptr"), trans))
    # Users named by the user tables have a degree and items; the count may exceed them.
    table_users = int(rng.integers(0, 6))
    n_users = _pick(rng, [table_users, table_users + int(rng.integers(0, 5)), 2**40, 2**64 - 1])
    if rng.integers(0, 2):
        _, users, indptr = _csr(rng, _rows(rng, n_items), table_users, np.int64, np.float64)
        arrays.update(uu_data=users, uu_indptr=indptr)
        arrays["uu_deg"] = rng.integers(1, 5, table_users + int(rng.integers(0, 2))) * 1.0
        _, items, indptr = _csr(rng, table_users, n_items, np.int64, np.float64)
        arrays.update(uri_data=items, uri_indptr=indptr)
        n_users = min(n_users, 2**16)  # a request allocates by it
    arrays["boost"] = [
        _csr(rng, rows, rows, np.int32, np.float32)
        for rows in (_rows(rng, n_items) for _ in range(int(rng.integers(0, 3))))
    ]
    content_nfeat = 0
    if rng.integers(0, 2):
        content_nfeat = int(rng.integers(1, 6))
        content = _csr(rng, _rows(rng, n_items), content_nfeat, np.int32, np.float32)
        arrays.update(zip(("content_data", "content_indices", "content_indptr"), content))
    if rng.integers(0, 2):
        arrays.update(zip(PROFILE_KEYS, random_repeat_profile(rng, n_users, n_items)))
    for key, dtype in ARRAY_KEYS.items():
        if key in arrays and arrays[key] is not None:
            arrays[key] = np.ascontiguousarray(arrays[key], dtype=dtype)
    config = {key: _pick(rng, [0, 1, 3, 500, 2**63]) for key in COUNT_KEYS}
    config.update(n_items=n_items, n_users=n_users, content_nfeat=content_nfeat)
    config.update({key: float(rng.choice([0.0, 0.5, -1.0, 2.5, np.nan])) for key in REAL_KEYS})
    config.update({key: bool(rng.integers(0, 2)) for key in FLAG_KEYS})
    config["repeat_now_ts"] = float(rng.choice([np.nan, 1e6]))
    return arrays, config


PROFILE_KEYS = [
    f"repeat_{p}" for p in ("indptr", "items", "counts", "last_ts", "periods", "quality")
]


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
    of check_record included."""
    reader = _Reader(data)
    fields = {name: reader.read(kind) for name, kind in LAYOUT}
    check_record(fields)
    return fields


UNBACKED = 2**16


def _values_held(f: dict) -> int:
    vectors = [f[name] for name, kind in LAYOUT if kind in DTYPE]
    return sum(len(v) for v in vectors) + sum(len(x) for layer in f["boost"] for x in layer)


def _check_table(f, indptr_name, indptr, reach, limit, indices_name, indices, bound_name, bound):
    """Rows below `reach` lie within `limit` entries (an end not above its start is an
    empty row); the entries they cover are columns below `bound`."""

    def fail(text):
        raise ValueError(f"inconsistent engine record: {text}")

    indptr = [int(x) for x in indptr]
    covered = np.zeros(limit + 1, np.int64)  # +1 per row start, -1 past its end
    for r in range(min(max(len(indptr) - 1, 0), reach)):
        b, e = indptr[r], indptr[r + 1]
        if e <= b:
            continue
        if b < 0 or e > limit:
            fail(f"{indptr_name} row {r} spans {b}..{e}, outside its {limit} entries")
        covered[b] += 1
        covered[e] -= 1
    for k in np.flatnonzero(np.cumsum(covered)[:limit] > 0):
        v = int(indices[k])
        if not 0 <= v < bound:
            fail(f"{indices_name}[{k}] is {v}, not an index below {bound_name} {bound}")


def check_record(f: dict) -> None:
    """The loader's rule: the EASE block construction would accept, counts a request
    allocates by within UNBACKED or the array values the record holds, and every table
    row a request can read within its arrays and sizes."""

    def fail(text):
        raise ValueError(f"inconsistent engine record: {text}")

    if f["ease_dim"] > f["n_items"]:
        fail(f"ease_dim {f['ease_dim']} exceeds n_items {f['n_items']}")
    if len(f["ease_b"]) != f["ease_dim"] ** 2:
        fail(f"ease_b holds {len(f['ease_b'])} values, not ease_dim^2 for ease_dim {f['ease_dim']}")
    values = _values_held(f)
    user_cf = len(f["uu_indptr"]) > 0
    content = f["content_nfeat"] != 0 and len(f["content_data"]) > 0
    for name, used in (("n_items", True), ("n_users", user_cf), ("content_nfeat", content)):
        if used and f[name] > max(values, UNBACKED):
            fail(
                f"{name} is {f[name]} but the record's arrays hold only {values} values; "
                f"without arrays of that extent {name} may be at most {UNBACKED}"
            )
    items, users = f["n_items"], f["n_users"]

    def table(prefix, indptr, reach, data, indices, bound_name, bound, names=None):
        indptr_name, indices_name = names or (f"{prefix}_indptr", f"{prefix}_indices")
        limit = min(len(data), len(indices))
        _check_table(f, indptr_name, indptr, reach, limit, indices_name, indices, bound_name, bound)

    if not f["base_is_ease"]:
        table("cooc", f["cooc_indptr"], items, f["cooc_data"], f["cooc_indices"], "n_items", items)
    table("trans", f["trans_indptr"], items, f["trans_data"], f["trans_indices"], "n_items", items)
    if user_cf:
        names = ("uu_indptr", "uu_data")
        table("", f["uu_indptr"], items, f["uu_data"], f["uu_data"], "n_users", users, names)
        names = ("uri_indptr", "uri_data")
        table("", f["uri_indptr"], users, f["uri_data"], f["uri_data"], "n_items", items, names)
    for i, (data, indices, indptr) in enumerate(f["boost"]):
        rows = max(len(indptr) - 1, 0)
        names = (f"boost[{i}].indptr", f"boost[{i}].indices")
        table("", indptr, items, data, indices, "its rows", rows, names)
    if content:
        nfeat = f["content_nfeat"]
        cols = (f["content_data"], f["content_indices"])
        table("content", f["content_indptr"], items, *cols, "content_nfeat", nfeat)
