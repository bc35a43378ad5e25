"""The engine record: its bytes against an independent writer, round trips,
malformed records and the file methods."""

import os
import pathlib
import struct
import subprocess
import sys
import tempfile
import textwrap
import time

import numpy as np
import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

from reference.engine_record import (
    ARRAY_KEYS,
    decode_record,
    encode_record,
    engine_fields,
    field_offset,
    random_engine_inputs,
    random_repeat_profile,
)
from tarsel import _core

EOD = "io error: unexpected end of file"
PYSTRING, PYBYTES = "cannot be converted to 'PyString'", "cannot be converted to 'PyBytes'"
MINIMAL = ({"cooc_indptr": np.zeros(4, np.int32)}, {"n_items": 3})


engine = _core.build_engine


def full_inputs(seed=7):
    return random_engine_inputs(np.random.default_rng(seed))


def load_section(path, offset, size):
    """The engine and checksum of `size` bytes at `offset` of a file."""
    fd = os.open(path, os.O_RDONLY)
    try:
        return _core.EngineState.load_section(fd, offset, size)
    finally:
        os.close(fd)


# ------------------------------------------------------------- the bytes


def test_minimal_record_worked_example():
    data = engine(*MINIMAL).to_bytes()  # every setting left out takes its default
    assert (len(data), data[8]) == (394, 1)  # base_is_ease defaults to true
    assert data == encode_record(engine_fields(*MINIMAL))


@pytest.mark.parametrize("view", [np.asfortranarray, np.transpose, lambda m: m[:, ::-1].T])
def test_ease_b_is_stored_row_major_whatever_its_strides(view):
    base = np.arange(16, dtype=np.float32).reshape(4, 4)
    ease = view(base)
    got = engine({"ease_b": ease}, {"n_items": 4}).to_bytes()
    assert got == encode_record({"n_items": 4, "ease_dim": 4, "ease_b": np.ascontiguousarray(ease)})


# ---------------------------------------------------------- round trips


def test_float_bits_survive_construction_and_loading():
    f32_nan = np.frombuffer(bytes.fromhex("0100c0ff"), np.float32)  # negative, payload
    data = engine({**MINIMAL[0], "cooc_data": f32_nan.copy()}, MINIMAL[1]).to_bytes()
    assert data[field_offset({}, "cooc_data") + 8 :][:4] == bytes.fromhex("0100c0ff")
    # signalling NaNs, which a pass through a float conversion would quiet
    ease_b = np.frombuffer(bytes.fromhex("0100a07f020080ff" + "00" * 8), np.float32)
    trend_z = np.frombuffer(bytes.fromhex("010000000000f07f"), np.float64)
    fields = dict(n_items=2, ease_dim=2, ease_b=ease_b, trend_z=trend_z)
    record = encode_record(fields)
    assert record[field_offset(fields, "ease_b") + 8 :][:8] == bytes.fromhex("0100a07f020080ff")
    assert record[field_offset(fields, "trend_z") + 8 :][:8] == trend_z.tobytes()
    assert _core.EngineState.from_bytes(record).to_bytes() == record
    assert encode_record(decode_record(record)) == record


INCONSISTENT = "inconsistent engine record: "
FORGED = "but the record's arrays hold only {} values; without arrays of that extent {} may be "
FORGED += "at most 65536"
I32, I64 = (lambda v: np.array(v, np.int32)), (lambda v: np.array(v, np.int64))
# A co-occurrence engine with every table a request reads: 4 items, 2 users, 9 features.
SIZED = dict(n_items=4, base_is_ease=False, n_users=2, content_nfeat=9, uu_deg=[1.0, 1.0])
SIZED.update(cooc_data=[1.0, 2.0], cooc_indices=I32([3, 0]), cooc_indptr=I32([0, 1, 2]))
SIZED.update(trans_data=[1.0], trans_indices=I32([2]), trans_indptr=I64([0, 0, 1]))
SIZED.update(uu_data=I64([1, 0]), uu_indptr=I64([0, 1, 2, 2, 2, 2]))
SIZED.update(uri_data=I64([1, 0]), uri_indptr=I64([0, 1, 2]), content_data=[1.0, 1.0])
SIZED.update(boost=[([1.0, 1.0], I32([1, 0]), I32([0, 1, 2]))])
SIZED.update(content_indices=I32([0, 8]), content_indptr=I32([0, 1, 2]))
BELOW = "not an index below "


@pytest.mark.parametrize(
    "change, message",
    [
        ({"n_items": 2**27}, "n_items is 134217728 " + FORGED.format(41, "n_items")),
        ({"ease_dim": 5, "ease_b": [1.0] * 25}, "ease_dim 5 exceeds n_items 4"),
        (
            {"ease_dim": 2, "ease_b": [1.0] * 3},
            "ease_b holds 3 values, not ease_dim^2 for ease_dim 2",
        ),
        ({"cooc_indices": I32([3, 4])}, "cooc_indices[1] is 4, " + BELOW + "n_items 4"),
        ({"cooc_indptr": I32([0, 1, 3])}, "cooc_indptr row 1 spans 1..3, outside its 2 entries"),
        # rows out of order cover what they cover
        (
            {"cooc_indptr": I32([1, 0, 2]), "cooc_indices": I32([4, 0])},
            "cooc_indices[0] is 4, " + BELOW + "n_items 4",
        ),
        ({"trans_indices": I32([-1])}, "trans_indices[0] is -1, " + BELOW + "n_items 4"),
        ({"uu_data": I64([1, 2])}, "uu_data[1] is 2, " + BELOW + "n_users 2"),
        (
            {"boost": [([1.0], I32([0]), I32([0])), ([1.0], I32([2]), I32([0, 1, 1]))]},
            "boost[1].indices[0] is 2, " + BELOW + "its rows 2",
        ),
        ({"content_indices": I32([0, 9])}, "content_indices[1] is 9, " + BELOW + "content_nfeat 9"),
    ],
)
def test_loading_refuses_what_no_request_could_read(change, message):
    record = encode_record({**SIZED, **change})
    for load in (_core.EngineState.from_bytes, decode_record):  # the loader and the reference
        with pytest.raises(ValueError) as err:
            load(record)
        assert str(err.value) == INCONSISTENT + message


@pytest.mark.parametrize(
    "change",
    [
        {"n_items": 2**16, "item_pop": [1.0]},  # a count within the unbacked allowance
        {"n_users": 2**64 - 1, "uu_indptr": [], "uu_data": I64([9])},  # user-CF cannot run
        {"base_is_ease": True, "cooc_indices": I32([9, -9])},  # an EASE engine reads no cooc
        {"cooc_indices": I32([3, 0, 99]), "cooc_data": [1.0, 2.0, 3.0]},  # covered by no row
        {"cooc_indptr": I32([0, 1, 2, 2, 2, 2, 9])},  # rows past the catalogue are never read
        {"cooc_indptr": I32([2, 0, 2])},  # a row ending before its start is empty
        {"uri_indptr": I64([0, 1, 2, 7])},  # users past n_users are never neighbours
        {"repeat_indptr": I64([5, 0]), "repeat_items": I64([-1, 2**40])},  # profiles: any
    ],
)
def test_loading_accepts_every_table_requests_read_safely(change):
    record = encode_record({**SIZED, **change})
    if "repeat_indptr" in change:  # nor are construction's rules repeated
        record = encode_record({"n_items": 0, **change})
    assert _core.EngineState.from_bytes(record).to_bytes() == record
    assert encode_record(decode_record(record)) == record


# ------------------------------------------------- every engine loads back


def override(engine, rng, n_users, n_items):
    """One random override call, as the held-out gates and live updates make them."""
    kind = rng.integers(0, 3)
    if kind == 0:
        engine.set_channel_alphas(*rng.choice([0.0, 0.5, 2.0, -1.0], 4).tolist())
    elif kind == 1:
        engine.set_repeat_active(bool(rng.integers(0, 2)))
    else:
        profile = random_repeat_profile(rng, n_users, n_items)
        engine.set_repeat_profile(*profile, float(rng.choice([np.nan, 1e6])))


def answers(engine, requests, n, prior):
    """Every request's answer, or the failure it ends in (for the batch only its kind:
    which failing user reports first depends on scheduling)."""
    out = []
    for owned, user in requests:
        try:
            out.append(engine.recommend(owned, user, n, prior))
        except _core.InternalFailure as exc:
            out.append(str(exc))
    try:
        out.append(engine.recommend_batch(*zip(*requests), n, prior))
    except _core.InternalFailure:
        out.append(_core.InternalFailure)
    return out


@settings(max_examples=120, deadline=None, derandomize=True)
@given(seed=st.integers(0, 2**32 - 1), overrides=st.integers(0, 4))
def test_every_built_engine_loads_back_as_it_was(seed, overrides):
    rng = np.random.default_rng(seed)
    arrays, config = random_engine_inputs(rng)
    built = engine(arrays, config)
    assert built.to_bytes() == encode_record(engine_fields(arrays, config))  # the bytes
    n_items, n_users = config["n_items"], config["n_users"]
    for _ in range(overrides):
        override(built, rng, min(n_users, 8), n_items)
    data = built.to_bytes()
    loaded = [_core.EngineState.from_bytes(data), _core.EngineState._from_buffer(memoryview(data))]
    if seed % 4 == 0:  # through a file (each save is flushed to disk) and a section of one
        with tempfile.TemporaryDirectory() as folder:
            path = os.path.join(folder, "engine.bin")
            built.save(path)
            loaded.append(_core.EngineState.load(path))
            loaded.append(load_section(path, 0, len(data))[0])
    assert all(e.to_bytes() == data for e in loaded)
    requests = [
        (rng.integers(-1, n_items + 2, int(rng.integers(0, 5))).tolist(), int(rng.integers(-1, 8)))
        for _ in range(4)
    ]
    n, prior = int(rng.integers(0, n_items + 3)), float(rng.choice([0.0, 0.5]))
    expected = answers(built, requests, n, prior)
    for e in loaded:
        assert answers(e, requests, n, prior) == expected


# ------------------------------------------------------ malformed records


BAD_FLAG = "invalid u8 while decoding bool, expected 0 or 1, found "
# Counts far beyond the bytes that follow end the read before anything is allocated.
HUGE = [struct.pack("<Q", c) for c in (2**61 + 1, 2**64 - 1)]
HUGE_COUNTS = [("ease_b", HUGE[0], EOD), ("boost", HUGE[1], EOD)]


@pytest.mark.parametrize(
    "field, value, message",
    [("base_is_ease", b"\x02", BAD_FLAG + "2"), ("repeat_active", b"\xff", BAD_FLAG + "255")]
    + HUGE_COUNTS,
)
def test_a_broken_field_is_the_decoders_error(field, value, message):
    fields = engine_fields(*full_inputs())
    record = bytearray(encode_record(fields))
    at = field_offset(fields, field)
    record[at : at + len(value)] = value
    with pytest.raises(ValueError) as err:
        _core.EngineState.from_bytes(bytes(record))
    assert str(err.value) == message


class Bytes(bytes):
    pass


def test_from_bytes_takes_bytes_and_the_private_reader_any_buffer():
    data = engine(*full_inputs()).to_bytes()
    assert _core.EngineState.from_bytes(Bytes(data)).to_bytes() == data
    assert _core.EngineState._from_buffer(np.frombuffer(data, np.uint8)).to_bytes() == data
    with pytest.raises(TypeError) as err:
        _core.EngineState.from_bytes(bytearray(data))
    assert str(err.value) == f"argument 'data': 'bytearray' object {PYBYTES}"
    with pytest.raises(TypeError, match="^argument 'data': a bytes-like object is required"):
        _core.EngineState._from_buffer("x")


# ------------------------------------------------------------------ files


NOT_REGULAR = "'{}' is not a regular file"


@pytest.mark.parametrize(
    "method, where, kind, message",
    [
        ("save", None, TypeError, f"argument 'path': 'PosixPath' object {PYSTRING}"),
        ("load", "a\0b", OSError, "file name contained an unexpected NUL byte"),
        ("load", "missing", OSError, f"{os.strerror(2)} (os error 2)"),
        ("save", "missing/x", OSError, f"{os.strerror(2)} (os error 2)"),
        ("save", "file/x", OSError, f"{os.strerror(20)} (os error 20)"),
        # a pipe or a device can yield data without end (/dev/zero)
        ("load", "/dev/zero", ValueError, NOT_REGULAR),
        ("load", "fifo", ValueError, NOT_REGULAR),
    ],
)
def test_file_errors(method, where, kind, message, tmp_path):
    (tmp_path / "file").write_bytes(b"")
    path = tmp_path / "x" if where is None else os.path.join(tmp_path, where)
    writer = None
    if where == "fifo":  # opening a pipe for reading waits for a writer
        os.mkfifo(path)
        writer = subprocess.Popen(["sh", "-c", f"sleep 1 > {path}"])
    call = engine(*MINIMAL).save if method == "save" else _core.EngineState.load
    try:
        with pytest.raises(kind) as err:
            call(path)
    finally:
        if writer:
            writer.wait(timeout=30)
    assert type(err.value) is kind and str(err.value) == message.format(path)
    assert {p.name for p in tmp_path.iterdir()} <= {"file", "fifo"}  # nothing written


def large_engine():
    # Element runs longer than the reader's staging buffer, with small fields
    # between and after them.
    arrays, config = full_inputs(9)
    rng = np.random.default_rng(2)
    arrays["ease_b"] = rng.random((300, 300), dtype=np.float32)
    arrays["cooc_data"] = rng.random(70_000, dtype=np.float32)
    arrays["cooc_indices"] = (np.arange(70_000) % 300).astype(np.int32)
    arrays["cooc_indptr"] = np.array([0, 70_000], np.int32)
    config["n_items"] = 300
    return engine(arrays, config)


def test_large_record_file_round_trip_and_truncation(tmp_path):
    e, path = large_engine(), tmp_path / "large.bin"
    data = e.to_bytes()
    assert e.save(str(path)) is None and path.read_bytes() == data
    path.write_bytes(data + b"trailing")
    assert _core.EngineState.load(str(path)).to_bytes() == data
    for cut in (30, 65_536, 360_025, 400_000, len(data) - 1):
        path.write_bytes(data[:cut])
        with pytest.raises(ValueError, match=f"^{EOD}$"):
            _core.EngineState.load(str(path))


@pytest.mark.parametrize("umask", [0o022, 0o077, 0])
def test_new_files_take_0666_less_umask_and_replaced_ones_keep_mode_and_links(umask, tmp_path):
    target, link, e = tmp_path / "real.bin", tmp_path / "link.bin", engine(*full_inputs())
    old = os.umask(umask)
    try:
        engine(*MINIMAL).save(str(target))
        assert target.stat().st_mode & 0o777 == 0o666 & ~umask
        target.chmod(0o640)
        link.symlink_to(target)
        e.save(str(link))  # replaces the file the link names
    finally:
        os.umask(old)
    assert link.is_symlink() and target.read_bytes() == e.to_bytes()
    assert target.stat().st_mode & 0o777 == 0o640
    assert sorted(p.name for p in tmp_path.iterdir()) == ["link.bin", "real.bin"]


def test_failed_save_leaves_the_old_file_intact(tmp_path):
    # A file-size limit makes the write fail part-way (EFBIG) in a child process.
    old, new = engine(*MINIMAL), engine({"ease_b": np.ones((64, 64), np.float32)}, {"n_items": 64})
    target = tmp_path / "engine.bin"
    old.save(str(target))
    script = textwrap.dedent(f"""
        import resource, signal
        from tarsel import _core
        signal.signal(signal.SIGXFSZ, signal.SIG_IGN)
        new = _core.EngineState.from_bytes(open({str(tmp_path / "new.bin")!r}, 'rb').read())
        resource.setrlimit(resource.RLIMIT_FSIZE, (4096, 4096))
        try:
            new.save({str(target)!r})
        except OSError as e:
            print(e.args[0])
    """)
    (tmp_path / "new.bin").write_bytes(new.to_bytes())
    out = subprocess.run(
        [sys.executable, "-c", script], capture_output=True, text=True, check=True
    ).stdout.strip()
    assert out == f"{os.strerror(27)} (os error 27)"
    assert target.read_bytes() == old.to_bytes()
    assert sorted(p.name for p in tmp_path.iterdir()) == ["engine.bin", "new.bin"]


def test_a_section_load_checksums_every_byte_it_covers(tmp_path):
    import zlib

    noise = np.random.default_rng(4).integers(0, 256, (1 << 20) + 3, dtype=np.uint8).tobytes()
    path = tmp_path / "sections.bin"
    # a small record with every tail length past the 64-byte folding blocks, and one with
    # runs past the reader's staging buffer and a long tail; both at two alignments
    for data, tails in [
        (encode_record(SIZED), [*range(0, 130), 1000, 4997]),
        (large_engine().to_bytes(), [0, 7, 1 << 20]),
    ]:
        for start in (0, 3):
            for n in tails:
                tail = noise[start : start + n]
                path.write_bytes(b"abc"[:start] + data + tail + b"cd")
                loaded, crc = load_section(path, start, len(data) + n)
                assert loaded.to_bytes() == data and crc == zlib.crc32(data + tail)
    with pytest.raises(ValueError, match=f"^{EOD}$"):
        load_section(path, 3, len(data) - 1)
    with pytest.raises(ValueError, match=f"^{EOD}$"):  # past the end of the file
        load_section(path, 3, len(data) + n + 3)


# ------------------------------------------------------------ model files


@pytest.fixture(scope="module")
def fitted(tmp_path_factory):
    from tarsel import Recommender

    rng = np.random.default_rng(3)
    table = {
        "user": rng.integers(0, 40, 600),
        "item": rng.integers(0, 30, 600),
        "time": np.arange(600, dtype=float) * 3600,
    }
    model = Recommender(gate_users=0).fit(table, time_col="time")
    path = tmp_path_factory.mktemp("model") / "shop.model"
    model.save(path)
    return model, path


def forge(path, out, sections):
    """A copy of a model file with changed sections (a section may be a function of its
    old bytes, None drops it), and a valid checksum."""
    from tarsel._container import read_container, write_container

    parts = read_container(path)
    parts.update({k: v(parts[k]) if callable(v) else v for k, v in sections.items()})
    write_container(out, {k: v for k, v in parts.items() if v is not None})
    return out


I8, OUTSIDE = np.dtype("<i8"), " outside the catalogue"


def forged_engine(**fields):
    return lambda old: encode_record({**decode_record(old), **fields})


def first_id(value):
    """A section change that replaces its first 64-bit id."""
    return lambda old: I8.type(value).tobytes() + old[8:]


@pytest.mark.parametrize(
    "sections, message",
    [
        (
            {"engine": forged_engine(n_items=2**27)},
            INCONSISTENT + "n_items is 134217728 but the record's arrays hold only",
        ),
        ({"engine": None}, "it has no 'engine' section"),
        ({"meta": b"[" * 100_000 + b"]" * 100_000}, "its metadata is nested too deeply"),
        ({"meta": b"[1]"}, "its metadata is not a JSON object"),
        ({"user_ids": b"12345678"}, "it has 1 user ids for an engine of 40 users"),
        (
            {"hist_indptr": np.arange(41, dtype=I8).tobytes()},
            "the offsets of its histories do not cover their items in order",
        ),
        ({"hist_items": first_id(30)}, "its histories name items" + OUTSIDE),
        ({"repeat_sizes": b"1234"}, "section 'repeat_sizes' holds 4 bytes"),
        ({"personal_items": first_id(-1)}, "its personal lists name items" + OUTSIDE),
        (
            {"personal_indptr": np.zeros(42, I8).tobytes()},
            "its personal lists have 41 rows for 40 users",
        ),
        (
            {"personal_counts": lambda old: old[8:]},
            "its personal counts do not match its personal lists",
        ),
        (
            {"repeat_sizes": np.full(40, 2**40, I8).tobytes()},
            "its repeat-profile sizes are negative or exceed the catalogue",
        ),
    ],
)
def test_forged_model_files_are_value_errors(fitted, tmp_path, sections, message):
    from tarsel import Recommender

    path = forge(fitted[1], tmp_path / "forged.model", sections)
    with pytest.raises(ValueError) as err:
        Recommender.load(path)
    assert type(err.value) is ValueError and message in str(err.value)
    assert str(err.value).startswith(f"{str(path)!r} is not a usable tarsel model: ")


@pytest.mark.parametrize("damaged", [False, True])
def test_long_ids_cost_memory_in_proportion_to_the_file(fitted, tmp_path, damaged):
    import json
    import tracemalloc

    from tarsel import Recommender

    ids = [f"item-{k}" for k in range(30)]
    ids[3] = "x" * 250_000  # a table of fixed width would hold 30 of these
    path = forge(
        fitted[1],
        tmp_path / "long.model",
        {
            "meta": lambda old: old.replace(b'"item_ids": "int64"', b'"item_ids": "str"'),
            "item_ids": json.dumps(ids).encode(),
        },
    )
    if damaged:
        raw = bytearray(path.read_bytes())
        raw[len(raw) // 2] ^= 1  # inside the ids
        path.write_bytes(bytes(raw))
    tracemalloc.start()
    try:
        if damaged:
            with pytest.raises(ValueError, match=r"is corrupt \(checksum mismatch\)$"):
                Recommender.load(path)
        else:
            assert Recommender.load(path).items_.ids.tolist() == ids
        peak = tracemalloc.get_traced_memory()[1]
    finally:
        tracemalloc.stop()
    assert peak < 8 * path.stat().st_size


def test_a_missing_model_file(tmp_path):
    from tarsel import Recommender

    with pytest.raises(FileNotFoundError) as err:
        Recommender.load(tmp_path / "absent")
    assert isinstance(err.value, ValueError)
    assert str(err.value) == f"[Errno 2] No such file or directory: {str(tmp_path / 'absent')!r}"


def test_a_loader_racing_an_in_place_rewriter(fitted, tmp_path):
    """`cp other.model live.model` while a process loads it: each load gives
    a whole model or a ValueError, and the loader never dies (SIGBUS)."""
    from tarsel import Recommender

    model, path = fitted
    small = tmp_path / "small.model"
    Recommender(gate_users=0).fit({"user": [1, 1, 2], "item": [1, 2, 1]}).save(small)
    live = tmp_path / "live.model"
    live.write_bytes(path.read_bytes())
    loader = textwrap.dedent(f"""
        import collections
        from tarsel import Recommender
        seen = collections.Counter()
        for _ in range(300):
            try:
                seen[len(Recommender.load({str(live)!r}).items_)] += 1
            except ValueError as exc:
                seen["ValueError"] += 1
        print(dict(seen))
    """)
    rewriter = textwrap.dedent(f"""
        import shutil, time
        end = time.monotonic() + 60
        while time.monotonic() < end:
            for source in ({str(small)!r}, {str(path)!r}):
                shutil.copyfile(source, {str(live)!r})  # in place, as cp does
    """)
    writer = subprocess.Popen([sys.executable, "-c", rewriter])
    try:
        done = subprocess.run(
            [sys.executable, "-c", loader], capture_output=True, text=True, timeout=120
        )
    finally:
        writer.kill()
        writer.wait()
    assert done.returncode == 0, done.stderr
    seen = eval(done.stdout)
    assert sum(seen.values()) == 300 and set(seen) <= {2, 30, "ValueError"}


def test_a_failed_model_save_names_its_target(fitted, tmp_path):
    target = tmp_path / "missing" / "x.model"
    with pytest.raises(OSError) as err:
        fitted[0].save(target)
    assert str(err.value) == f"cannot write {str(target)!r}: No such file or directory"
    assert list(tmp_path.iterdir()) == []


def test_a_killed_save_leaves_a_temporary_that_the_next_save_removes(fitted, tmp_path):
    from tarsel import _container

    model, path = fitted
    target = tmp_path / "live.model"
    script = textwrap.dedent(f"""
        import os, sys, time
        from tarsel import Recommender
        def stall(fd):
            print("writing", flush=True)
            time.sleep(60)
        os.fsync = stall
        Recommender.load({str(path)!r}).save({str(target)!r})
    """)
    saver = subprocess.Popen([sys.executable, "-c", script], stdout=subprocess.PIPE, text=True)
    try:
        assert saver.stdout.readline() == "writing\n"
        # a save in progress keeps its temporary
        model.save(target)
        left = [p for p in tmp_path.iterdir() if p.name.endswith(".partial")]
        assert len(left) == 1 and str(saver.pid) in left[0].name
    finally:
        saver.kill()
        saver.wait()
    # once the owner is gone, a temporary that has not changed for a while goes
    model.save(target)
    assert left[0].exists()  # too recent to be sure of
    stale = time.time() - _container.STALE_AFTER_S - 1
    os.utime(left[0], (stale, stale))
    model.save(target)
    assert sorted(p.name for p in tmp_path.iterdir()) == ["live.model"]


def test_engine_saves_remove_temporaries_of_killed_saves(tmp_path):
    ended = subprocess.Popen(["true"])  # a process id no longer in use
    ended.wait()
    gone = ended.pid
    old = time.time() - 120
    names = {
        f".e.bin.tmp-{gone}-0": False,
        f".e.bin.tmp-{os.getpid()}-9": True,
        f".other.bin.tmp-{gone}-0": True,
        f".e.bin.tmp-{gone}-1": True,
    }
    for name in names:
        (tmp_path / name).write_bytes(b"partial")
        if not name.endswith("-1"):  # -1 changed just now: maybe still being written
            os.utime(tmp_path / name, (old, old))
    engine(*MINIMAL).save(str(tmp_path / "e.bin"))
    kept = {name for name, keep in names.items() if keep}
    assert {p.name for p in tmp_path.iterdir()} == kept | {"e.bin"}


# ------------------------------------------------------------ pinned layout

PINNED = pathlib.Path(__file__).parent / "data" / "engine_record_v1.bin"


def pinned_inputs():
    """Every field set, each to a value of its own (the arrays the loader
    checks of the catalogue's or the users' extent)."""
    arrays = dict(trend_z=[0.1, -0.2], cooc_data=[0.5, 1.5], cooc_indices=[1, 0])
    arrays.update(cooc_indptr=[0, 1, 2], trans_data=[2.5], trans_indices=[1])
    arrays.update(trans_indptr=[0, 1, 1], uu_data=[0, 1, 1], uu_indptr=[0, 2, 3], uu_deg=[1, 2])
    arrays.update(uri_data=[0, 0, 1], uri_indptr=[0, 1, 3], item_pop=[3.0, 1.0])
    arrays.update(content_data=[1.0, 0.5], content_indices=[2, 0], content_indptr=[0, 1, 2])
    arrays.update(content_coldness=[0.5, 0.25], cold_recency=[0.0, 1.0], repeat_indptr=[0, 1, 1])
    arrays.update(repeat_items=[1], repeat_counts=[2.0], repeat_last_ts=[100.0])
    arrays.update(repeat_periods=[7.0], repeat_quality=[0.9])
    arrays = {k: np.array(v, ARRAY_KEYS[k]) for k, v in arrays.items()}
    arrays["ease_b"] = np.array([[1.5, -2.0], [0.25, 4.0]], np.float32)
    arrays["boost"] = [(np.float32([0.75]), np.int32([0]), np.int32([0, 0, 1]))]
    config = dict(n_items=2, base_is_ease=False, trend_alpha=0.3, last_item_alpha=0.4)
    config.update(transition_alpha=0.5, transition_last_k=3, transition_decay=0.6, n_users=2)
    config.update(user_cf_alpha=0.7, user_cf_k=9, z_threshold=1.5, boost_multiplier=2.5)
    config.update(retrieval_budget=77, cold_slots=1, content_nfeat=3, cold_recency_beta=0.2)
    config.update(content_alpha=0.8, repeat_active=True, repeat_now_ts=200.0)
    config.update(repeat_refractory=1.5, repeat_epsilon=0.01, repeat_freq_alpha=0.9)
    return arrays, config


def test_the_record_layout_is_pinned_by_a_file():
    data = PINNED.read_bytes()
    assert engine(*pinned_inputs()).to_bytes() == data  # this version writes that layout
    assert _core.EngineState.from_bytes(data).to_bytes() == data  # and reads it back
