import os
import stat
import threading

import numpy as np
import pytest

from tarsel import _container
from tarsel._container import (
    container_of_bytes,
    encode_container,
    read_container,
    write_container,
)

SECTIONS = {"meta": b'{"a": 1}', "empty": b"", "engine": bytes(range(256)) * 10}


def test_sections_round_trip(tmp_path):
    path = tmp_path / "m.tarsel"
    write_container(path, SECTIONS)
    assert read_container(path) == SECTIONS
    raw = path.read_bytes()
    assert raw[-12:-4] == b"TARSELMD"
    assert raw.startswith(SECTIONS["meta"])  # the first section starts at byte 0
    assert os.listdir(tmp_path) == ["m.tarsel"]  # no temporary file left behind
    # the same file as bytes in memory, as a cluster fit hands its model over
    assert encode_container(SECTIONS) == raw
    container = container_of_bytes(raw)
    container.verify()
    assert {name: bytes(data) for name, data in container.sections.items()} == SECTIONS


def _damaged(tmp_path, change):
    path = tmp_path / "m.tarsel"
    write_container(path, SECTIONS)
    raw = bytearray(path.read_bytes())
    path.write_bytes(bytes(change(raw)))
    return path


NOT_OURS = r"is not a tarsel model file \(or is truncated\)"


@pytest.mark.parametrize(
    "change, message",
    [
        (lambda raw: b"user,item\n1,2\n", NOT_OURS),
        (lambda raw: raw[:-1], NOT_OURS),
        (
            lambda raw: raw[:-16] + b"\x02\x00\x00\x00" + raw[-12:],
            "has model format version 2; this tarsel reads version 1",
        ),
        (lambda raw: raw[:-20] + b"\x09\x00\x00\x00" + raw[-16:], r"is corrupt \(section table\)"),
        (lambda raw: raw[:5] + bytes([raw[5] ^ 1]) + raw[6:], r"is corrupt \(checksum mismatch\)"),
    ],
)
def test_damaged_or_foreign_files_raise_value_error(tmp_path, change, message):
    path = _damaged(tmp_path, change)
    with pytest.raises(ValueError, match=message):
        read_container(path)
    with pytest.raises(ValueError, match=message):
        container_of_bytes(path.read_bytes()).verify()


def test_a_failed_write_keeps_the_old_file(tmp_path, monkeypatch):
    path = tmp_path / "m.tarsel"
    write_container(path, {"meta": b"old"})

    def broken_fsync(fd):
        raise OSError(28, "No space left on device")

    monkeypatch.setattr(_container.os, "fsync", broken_fsync)
    with pytest.raises(OSError, match="No space left"):
        write_container(path, {"meta": b"new"})
    monkeypatch.undo()
    assert read_container(path) == {"meta": b"old"}
    assert os.listdir(tmp_path) == ["m.tarsel"]


@pytest.mark.parametrize("kind", ["fifo", "link to /dev/zero"])
def test_only_regular_files_are_opened(tmp_path, kind):
    path = tmp_path / "m.tarsel"
    if kind == "fifo":
        os.mkfifo(path)  # opening it for reading would wait for a writer
    else:
        path.symlink_to("/dev/zero")  # reading it would never end
    outcome: list = []
    reader = threading.Thread(
        target=lambda: outcome.append(_raised(read_container, path)), daemon=True
    )
    reader.start()
    reader.join(10)
    assert outcome == [f"{str(path)!r} is not a regular file"]


def _raised(call, *args):
    try:
        call(*args)
    except ValueError as exc:
        return str(exc)


def test_new_files_follow_the_umask_replaced_ones_keep_their_mode_read_only_ones_stay(tmp_path):
    # models and report pages are written alike
    from tarsel import _core

    path = tmp_path / "m.tarsel"
    umask = os.umask(0o027)
    try:
        write_container(path, {"meta": b"old"})
    finally:
        os.umask(umask)
    assert stat.S_IMODE(path.stat().st_mode) == 0o640
    path.chmod(0o604)
    write_container(path, {"meta": b"old"})
    assert stat.S_IMODE(path.stat().st_mode) == 0o604
    path.chmod(0o444)
    with pytest.raises(OSError) as err:
        write_container(path, {"meta": b"new"})
    assert err.value.errno == 13 and str(err.value) == (
        f"cannot write {str(path)!r}: it is read-only (mode 0444); make it writable to replace it"
    )
    engine = _core.build_engine({"cooc_indptr": np.zeros(3, np.int32)}, {"n_items": 2})
    with pytest.raises(OSError, match=r"^Permission denied \(os error 13\)$"):
        engine.save(str(path))
    assert read_container(path) == {"meta": b"old"}
    assert os.listdir(tmp_path) == ["m.tarsel"]
