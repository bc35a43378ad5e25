"""The model file: named byte sections behind a magic number, a format version
and a checksum, written atomically.

Layout (little-endian)::

    8 bytes   magic b"TARSELMD"
    u32       format version
    u32       number of sections S
    S x       16-byte section name (ASCII, NUL-padded), u64 payload length
    u32       CRC-32 of the header, the section table and every payload, in order
    payloads  back to back, in table order

Each payload is read with its own ``read`` call, so a large section (the engine
record) arrives as one ``bytes`` object without further copies. The checksum
guards against damage, not tampering: CRC-32 runs at memory speed, so checking
it adds little to loading the engine record itself.
"""
from __future__ import annotations

import os
import struct
import tempfile
import zlib
from typing import Mapping

MAGIC = b"TARSELMD"
FORMAT_VERSION = 1
_HEAD = struct.Struct("<8sII")
_ENTRY = struct.Struct("<16sQ")
_CHECKSUM = struct.Struct("<I")
_MAX_SECTIONS = 256


def write_container(path: str | os.PathLike, sections: Mapping[str, bytes]) -> None:
    """Write the sections to ``path``: to a temporary file beside it, flushed to
    disk, then renamed over ``path``, so a failure never leaves a partial model."""
    path = os.fspath(path)
    table = _HEAD.pack(MAGIC, FORMAT_VERSION, len(sections)) + b"".join(
        _ENTRY.pack(_section_name(name), len(payload)) for name, payload in sections.items())
    checksum = zlib.crc32(table)
    for payload in sections.values():
        checksum = zlib.crc32(payload, checksum)
    directory = os.path.dirname(os.path.abspath(path))
    fd, temporary = tempfile.mkstemp(dir=directory, prefix=os.path.basename(path) + ".",
                                     suffix=".partial")
    try:
        with os.fdopen(fd, "wb") as handle:
            handle.write(table)
            handle.write(_CHECKSUM.pack(checksum))
            for payload in sections.values():
                handle.write(payload)
            handle.flush()
            os.fsync(handle.fileno())
        os.replace(temporary, path)
    except BaseException:
        if os.path.exists(temporary):
            os.unlink(temporary)
        raise
    _sync_directory(directory)


def read_container(path: str | os.PathLike) -> dict[str, bytes]:
    """The sections of a model file. A file that is not a tarsel model, has an
    unknown format version, is truncated or fails its checksum raises ValueError."""
    path = os.fspath(path)
    with open(path, "rb") as handle:
        size = os.fstat(handle.fileno()).st_size
        head = handle.read(_HEAD.size)
        if len(head) < _HEAD.size or head[:8] != MAGIC:
            raise ValueError(f"{path!r} is not a tarsel model file")
        _, version, count = _HEAD.unpack(head)
        if version != FORMAT_VERSION:
            raise ValueError(f"{path!r} has model format version {version}; "
                             f"this tarsel reads version {FORMAT_VERSION}")
        if count > _MAX_SECTIONS:
            raise ValueError(f"{path!r} is corrupt (section table)")
        entries = handle.read(_ENTRY.size * count)
        stored = handle.read(_CHECKSUM.size)
        if len(entries) < _ENTRY.size * count or len(stored) < _CHECKSUM.size:
            raise ValueError(f"{path!r} is truncated")
        layout = [_ENTRY.unpack_from(entries, i * _ENTRY.size) for i in range(count)]
        if _HEAD.size + len(entries) + _CHECKSUM.size + sum(n for _, n in layout) != size:
            raise ValueError(f"{path!r} is truncated or has trailing data")
        checksum = zlib.crc32(head + entries)
        sections = {}
        for raw_name, length in layout:
            payload = handle.read(length)
            checksum = zlib.crc32(payload, checksum)
            sections[raw_name.rstrip(b"\0").decode("ascii", "replace")] = payload
    if checksum != _CHECKSUM.unpack(stored)[0]:
        raise ValueError(f"{path!r} is corrupt (checksum mismatch)")
    return sections


def _section_name(name: str) -> bytes:
    raw = name.encode("ascii")
    if not raw or len(raw) > 16 or b"\0" in raw:
        raise ValueError(f"bad section name {name!r}")
    return raw.ljust(16, b"\0")


def _sync_directory(directory: str) -> None:
    # the rename itself becomes durable only once the directory entry is on disk
    try:
        fd = os.open(directory, os.O_RDONLY)
    except OSError:
        return
    try:
        os.fsync(fd)
    except OSError:
        pass
    finally:
        os.close(fd)
