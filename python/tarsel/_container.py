"""The model file: named byte sections with a format version, a magic number and
a checksum, written atomically.

Layout (little-endian)::

    payloads  back to back, in table order, from byte 0
    S x       16-byte section name (ASCII, NUL-padded), u64 payload length
    u32       number of sections S
    u32       format version
    8 bytes   magic b"TARSELMD"
    u32       CRC-32 of every byte before it

The trailer sits at the end so that the first section starts at byte 0: a
serving record stored first can be read straight from the file by its own
loader, while the checksum runs beside it on a memory map.
"""
from __future__ import annotations

import mmap
import os
import struct
import tempfile
import threading
import zlib
from typing import Mapping, Optional

MAGIC = b"TARSELMD"
FORMAT_VERSION = 1
_ENTRY = struct.Struct("<16sQ")
_TRAILER = struct.Struct("<II8s")
_CHECKSUM = struct.Struct("<I")
_MAX_SECTIONS = 256


def write_container(path: str | os.PathLike, sections: Mapping[str, bytes]) -> None:
    """Write the sections to ``path``: to a temporary file beside it, flushed to
    disk, then renamed over ``path``, so a failure never leaves a partial model."""
    path = os.fspath(path)
    table = b"".join(_ENTRY.pack(_section_name(name), len(payload))
                     for name, payload in sections.items())
    tail = table + _TRAILER.pack(len(sections), FORMAT_VERSION, MAGIC)
    checksum = 0
    for payload in sections.values():
        checksum = zlib.crc32(payload, checksum)
    checksum = zlib.crc32(tail, checksum)
    directory = os.path.dirname(os.path.abspath(path))
    fd, temporary = tempfile.mkstemp(dir=directory, prefix=os.path.basename(path) + ".",
                                     suffix=".partial")
    try:
        with os.fdopen(fd, "wb") as handle:
            for payload in sections.values():
                handle.write(payload)
            handle.write(tail)
            handle.write(_CHECKSUM.pack(checksum))
            handle.flush()
            os.fsync(handle.fileno())
        os.replace(temporary, path)
    except BaseException:
        if os.path.exists(temporary):
            os.unlink(temporary)
        raise
    _sync_directory(directory)


class Container:
    """An open model file: its sections' places, the small sections' bytes, and
    a checksum that is computed on a worker thread while the caller decodes."""

    def __init__(self, path: str, handle, size: int):
        self.path, self._handle = path, handle
        self._map = mmap.mmap(handle.fileno(), 0, access=mmap.ACCESS_READ) if size else None
        self.places: dict[str, tuple[int, int]] = {}
        self._checksum: Optional[int] = None
        self._worker: Optional[threading.Thread] = None
        self._identity = _identity(os.fstat(handle.fileno()))

    def section(self, name: str) -> bytes:
        start, length = self.places[name]
        return self._map[start:start + length]

    def unchanged_on_disk(self) -> bool:
        """Whether ``path`` still names the file this container has open."""
        try:
            return _identity(os.stat(self.path)) == self._identity
        except OSError:
            return False

    def verify(self) -> None:
        """Wait for the checksum; a mismatch raises ValueError."""
        if self._worker is not None:
            self._worker.join()
        if self._checksum != self._stored:
            raise ValueError(f"{self.path!r} is corrupt (checksum mismatch)")

    def close(self) -> None:
        if self._worker is not None:
            self._worker.join()
        if self._map is not None:
            self._map.close()
        self._handle.close()

    def __enter__(self) -> "Container":
        return self

    def __exit__(self, *exc_info) -> None:
        self.close()

    def _start_checksum(self, covered: int, stored: int) -> None:
        self._stored = stored

        def run() -> None:
            # zlib releases the interpreter lock on large buffers
            with memoryview(self._map) as whole, whole[:covered] as part:
                self._checksum = zlib.crc32(part)

        self._worker = threading.Thread(target=run, name="tarsel-checksum", daemon=True)
        self._worker.start()


def open_container(path: str | os.PathLike) -> Container:
    """Open a model file and start checking it. A file that is not a tarsel
    model, has an unknown format version or a broken section table raises
    ValueError; call ``verify`` before trusting any section."""
    path = os.fspath(path)
    handle = open(path, "rb")
    try:
        size = os.fstat(handle.fileno()).st_size
        container = Container(path, handle, size)
    except BaseException:
        handle.close()
        raise
    try:
        _read_layout(container, size)
    except BaseException:
        container.close()
        raise
    return container


def read_container(path: str | os.PathLike) -> dict[str, bytes]:
    """Every section of a checked model file."""
    with open_container(path) as container:
        container.verify()
        return {name: container.section(name) for name in container.places}


def _read_layout(container: Container, size: int) -> None:
    path, view = container.path, container._map
    trailer_at = size - _CHECKSUM.size - _TRAILER.size
    if trailer_at < 0 or view[trailer_at + 8:trailer_at + 16] != MAGIC:
        raise ValueError(f"{path!r} is not a tarsel model file (or is truncated)")
    count, version, _ = _TRAILER.unpack_from(view, trailer_at)
    if version != FORMAT_VERSION:
        raise ValueError(f"{path!r} has model format version {version}; "
                         f"this tarsel reads version {FORMAT_VERSION}")
    table_at = trailer_at - count * _ENTRY.size
    if count > _MAX_SECTIONS or table_at < 0:
        raise ValueError(f"{path!r} is corrupt (section table)")
    offset = 0
    for i in range(count):
        raw_name, length = _ENTRY.unpack_from(view, table_at + i * _ENTRY.size)
        container.places[raw_name.rstrip(b"\0").decode("ascii", "replace")] = (offset, length)
        offset += length
    if offset != table_at:
        raise ValueError(f"{path!r} is corrupt (section table)")
    stored = _CHECKSUM.unpack_from(view, size - _CHECKSUM.size)[0]
    container._start_checksum(size - _CHECKSUM.size, stored)


def _identity(stat: os.stat_result) -> tuple[int, int, int, int]:
    return stat.st_dev, stat.st_ino, stat.st_size, stat.st_mtime_ns


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
