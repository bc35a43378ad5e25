"""The engine record: its bytes against an independent writer, round trips,
malformed records and the file methods."""
import math
import os
import pathlib
import struct
import subprocess
import sys
import textwrap

import numpy as np
import pytest

from tarsel import _core
from reference.engine_record import (
    encode_record, engine_fields, field_offset, random_engine_inputs)

EOD = "io error: unexpected end of file"
MINIMAL = ({"cooc_indptr": np.zeros(4, np.int32)}, {"n_items": 3})


def engine(arrays, config):
    return _core.build_engine(arrays, config)


def full_inputs(seed=7):
    return random_engine_inputs(np.random.default_rng(seed))


# ------------------------------------------------------------- the bytes

def test_minimal_record_worked_example():
    data = engine(*MINIMAL).to_bytes()
    assert len(data) == 378 + 16
    assert data[8] == 1  # base_is_ease defaults to true
    assert struct.unpack_from("<Q", data, 0) == (3,)
    assert data == encode_record(engine_fields(*MINIMAL))


@pytest.mark.parametrize("seed", range(12))
def test_bytes_match_the_independent_writer(seed):
    arrays, config = full_inputs(seed)
    assert engine(arrays, config).to_bytes() == encode_record(engine_fields(arrays, config))


@pytest.mark.parametrize("view", [
    lambda m: m, lambda m: np.asfortranarray(m), lambda m: m.T, lambda m: m[::-1, ::-1],
    lambda m: m[:, ::-1].T,
])
def test_ease_b_is_stored_row_major_whatever_its_strides(view):
    base = np.arange(16, dtype=np.float32).reshape(4, 4)
    ease = view(base)
    got = engine({"ease_b": ease}, {"n_items": 4}).to_bytes()
    assert got == encode_record({"n_items": 4, "ease_dim": 4,
                                 "ease_b": np.ascontiguousarray(ease)})


# ---------------------------------------------------------- round trips

def test_save_load_round_trip(tmp_path):
    e = engine(*full_inputs())
    path = str(tmp_path / "engine.bin")
    assert e.save(path) is None
    assert pathlib.Path(path).read_bytes() == e.to_bytes()
    assert _core.EngineState.load(path).to_bytes() == e.to_bytes()


def test_nan_payloads_survive():
    payload = bytes.fromhex("0100000000f8ff7f")  # a quiet NaN with a low payload bit
    f32_nan = np.frombuffer(bytes.fromhex("0100c0ff"), np.float32)  # negative, payload
    arrays = {**MINIMAL[0], "cooc_data": f32_nan.copy()}
    data = engine(arrays, MINIMAL[1]).to_bytes()
    assert data[field_offset({}, "cooc_data") + 8:][:4] == bytes.fromhex("0100c0ff")
    default_nan = data[field_offset(engine_fields(arrays, MINIMAL[1]), "repeat_now_ts"):][:8]
    assert default_nan == struct.pack("<d", math.nan)
    fields = {**engine_fields(*MINIMAL), "repeat_now_ts": payload}
    record = encode_record(fields)
    assert _core.EngineState.from_bytes(record).to_bytes() == record


def test_decoding_does_not_recheck_construction_rules():
    # n_items 0, no base scorer and an ease_b whose length is not dim squared.
    record = encode_record({"n_items": 0, "ease_dim": 5, "ease_b": [1.0, 2.0]})
    assert _core.EngineState.from_bytes(record).to_bytes() == record


def test_bytes_subclass_is_accepted():
    class B(bytes):
        pass

    data = engine(*MINIMAL).to_bytes()
    assert _core.EngineState.from_bytes(B(data)).to_bytes() == data


# ------------------------------------------------------ malformed records

@pytest.mark.parametrize("field, value", [
    ("base_is_ease", 2), ("base_is_ease", 255), ("repeat_active", 7)])
def test_bad_flag_byte(field, value):
    fields = engine_fields(*full_inputs())
    record = bytearray(encode_record(fields))
    record[field_offset(fields, field)] = value
    with pytest.raises(ValueError) as err:
        _core.EngineState.from_bytes(bytes(record))
    assert str(err.value) == f"invalid u8 while decoding bool, expected 0 or 1, found {value}"


@pytest.mark.parametrize("field", ["ease_b", "cooc_data", "trans_indptr", "boost", "repeat_quality"])
@pytest.mark.parametrize("count", [2**60, 2**61 + 1, 2**64 - 1])
def test_hostile_counts_end_early_without_allocating(field, count):
    fields = engine_fields(*full_inputs())
    record = bytearray(encode_record(fields))
    at = field_offset(fields, field)
    record[at:at + 8] = struct.pack("<Q", count)
    with pytest.raises(ValueError) as err:
        _core.EngineState.from_bytes(bytes(record))
    assert str(err.value) == EOD


@pytest.mark.parametrize("bad, kind", [
    (bytearray(b"x"), "bytearray"), (memoryview(b"x"), "memoryview"), ("x", "str")])
def test_from_bytes_takes_bytes_only(bad, kind):
    with pytest.raises(TypeError) as err:
        _core.EngineState.from_bytes(bad)
    assert str(err.value) == f"argument 'data': '{kind}' object cannot be converted to 'PyBytes'"


# ------------------------------------------------------------------ files

@pytest.mark.parametrize("method", ["save", "load"])
def test_path_must_be_str(method, tmp_path):
    call = getattr(engine(*MINIMAL), method)
    with pytest.raises(TypeError) as err:
        call(tmp_path / "x")
    assert str(err.value) == "argument 'path': 'PosixPath' object cannot be converted to 'PyString'"
    with pytest.raises(OSError) as err:
        call(str(tmp_path) + "/a\0b")
    assert type(err.value) is OSError
    assert err.value.args == ("file name contained an unexpected NUL byte",)


@pytest.mark.parametrize("method, where, code", [
    ("load", "missing", 2), ("load", "dir", 21), ("save", "missing/x", 2), ("save", "dir", 21),
    ("save", "file/x", 20),
])
def test_os_errors(method, where, code, tmp_path):
    (tmp_path / "dir").mkdir()
    (tmp_path / "file").write_bytes(b"")
    e = engine(*MINIMAL)
    call = e.save if method == "save" else _core.EngineState.load
    with pytest.raises(OSError) as err:
        call(str(tmp_path / where))
    assert type(err.value) is OSError
    assert err.value.args == (f"{os.strerror(code)} (os error {code})",)
    assert sorted(p.name for p in tmp_path.iterdir()) == ["dir", "file"]


def test_load_of_every_proper_prefix(tmp_path):
    data = engine(*full_inputs(5)).to_bytes()
    path = tmp_path / "prefix.bin"
    path.write_bytes(data)
    for n in reversed(range(len(data))):
        os.truncate(path, n)
        with pytest.raises(ValueError) as err:
            _core.EngineState.load(str(path))
        assert str(err.value) == EOD


def large_engine():
    # Element runs longer than the reader's staging buffer, with small fields
    # between and after them.
    arrays, config = full_inputs(9)
    arrays["ease_b"] = np.random.default_rng(2).random((300, 300), dtype=np.float32)
    arrays["cooc_indices"] = np.arange(70_000, dtype=np.int32)
    config["n_items"] = 300
    return engine(arrays, config)


def test_large_record_file_round_trip_and_truncation(tmp_path):
    data = large_engine().to_bytes()
    path = tmp_path / "large.bin"
    path.write_bytes(data + b"trailing")
    assert _core.EngineState.load(str(path)).to_bytes() == data
    for cut in (30, 65_536, 360_025, 400_000, len(data) - 1):
        path.write_bytes(data[:cut])
        with pytest.raises(ValueError, match=f"^{EOD}$"):
            _core.EngineState.load(str(path))


def test_load_from_a_pipe(tmp_path):
    data = large_engine().to_bytes()
    fifo = tmp_path / "pipe"
    os.mkfifo(fifo)
    (tmp_path / "data.bin").write_bytes(data)
    # Another process feeds the pipe: load holds the interpreter lock.
    writer = subprocess.Popen(["cp", str(tmp_path / "data.bin"), str(fifo)])
    try:
        loaded = _core.EngineState.load(str(fifo))
    finally:
        writer.wait(timeout=30)
    assert loaded.to_bytes() == data


@pytest.mark.parametrize("umask", [0o022, 0o077, 0])
def test_new_file_mode_is_0666_less_umask(umask, tmp_path):
    old = os.umask(umask)
    try:
        engine(*MINIMAL).save(str(tmp_path / "e.bin"))
    finally:
        os.umask(old)
    assert (tmp_path / "e.bin").stat().st_mode & 0o777 == 0o666 & ~umask


def test_replacing_keeps_mode_and_follows_links(tmp_path):
    target = tmp_path / "real.bin"
    target.write_bytes(b"old")
    target.chmod(0o640)
    link = tmp_path / "link.bin"
    link.symlink_to(target)
    e = engine(*full_inputs())
    e.save(str(link))
    assert link.is_symlink()
    assert target.read_bytes() == e.to_bytes()
    assert target.stat().st_mode & 0o777 == 0o640
    assert sorted(p.name for p in tmp_path.iterdir()) == ["link.bin", "real.bin"]


def test_save_to_a_device_writes_in_place():
    engine(*MINIMAL).save(os.devnull)
    assert os.path.exists(os.devnull) and not os.path.isfile(os.devnull)


def test_failed_save_leaves_the_old_file_intact(tmp_path):
    # A file-size limit makes the write fail part-way (EFBIG) in a child process.
    old, new = engine(*MINIMAL), engine({"ease_b": np.ones((64, 64), np.float32)}, {"n_items": 64})
    target = tmp_path / "engine.bin"
    old.save(str(target))
    script = textwrap.dedent(f"""
        import resource, signal
        from tarsel import _core
        signal.signal(signal.SIGXFSZ, signal.SIG_IGN)
        new = _core.EngineState.from_bytes(open({str(tmp_path / 'new.bin')!r}, 'rb').read())
        resource.setrlimit(resource.RLIMIT_FSIZE, (4096, 4096))
        try:
            new.save({str(target)!r})
        except OSError as e:
            print(e.args[0])
    """)
    (tmp_path / "new.bin").write_bytes(new.to_bytes())
    out = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True,
                         check=True).stdout.strip()
    assert out == f"{os.strerror(27)} (os error 27)"
    assert target.read_bytes() == old.to_bytes()
    assert sorted(p.name for p in tmp_path.iterdir()) == ["engine.bin", "new.bin"]
