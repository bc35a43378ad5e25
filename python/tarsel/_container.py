"""The model file: named byte sections with a format version, a magic number and
a checksum, written atomically (``FittedModel`` says what the sections hold).

Layout (little-endian)::

    payloads  back to back, in table order, from byte 0
    S x       16-byte section name (ASCII, NUL-padded), u64 payload length
    u32       number of sections S
    u32       format version
    8 bytes   magic b"TARSELMD"
    u32       CRC-32 of every byte before it

The trailer sits at the end so that the first section starts at byte 0: the
engine record stored first is also a file the engine's own loader reads.

Reading copies every section into memory the reader owns (no shared mapping of
a file that another program may shrink underneath it) and checks the checksum
over exactly the bytes read: a file rewritten in place while it is read fails
the check and is reported, never half-used.
"""

from __future__ import annotations

import contextlib
import errno
import os
import queue
import re
import stat
import struct
import threading
import time
import zlib
from collections.abc import Callable, Iterable, Iterator, Mapping
from typing import Any

import numpy as np

MAGIC = b"TARSELMD"
FORMAT_VERSION = 1
_ENTRY = struct.Struct("<16sQ")
_TRAILER = struct.Struct("<II8s")
_CHECKSUM = struct.Struct("<I")
_MAX_SECTIONS = 256
# Sections larger than this are read in slices of this size, each checksummed
# while the next is read.
_SLICE = 8 << 20
# A temporary file of a save whose process is gone is removed by a later save
# to the same target once it has not changed for this long.
STALE_AFTER_S = 60.0


class ModelWriteError(OSError):
    """A save that failed: names the target the caller gave, not the temporary
    file the data went to first."""

    def __init__(self, code: int, reason: str, target: str):
        super().__init__(code, reason)
        self.target = target

    def __str__(self) -> str:
        return f"cannot write {self.target!r}: {self.strerror}"


_READ_ERRORS: dict[type, type] = {}


def _read_error(exc: OSError, path: str) -> OSError:
    """The OSError of a model file that cannot be opened or read, of its own
    kind (FileNotFoundError, PermissionError, ...) and also a ValueError like
    every other load failure."""
    kind = type(exc)
    both = _READ_ERRORS.get(kind)
    if both is None:
        both = _READ_ERRORS[kind] = type(
            kind.__name__,
            (kind, ValueError),
            {"__module__": __name__, "__doc__": _read_error.__doc__},
        )
    return both(exc.errno, exc.strerror, path)


# ------------------------------------------------------------------ writing


def write_container(path: str | os.PathLike, sections: Mapping[str, bytes]) -> None:
    """Write the sections to ``path`` with ``write_atomically``, so a failure
    never leaves a partial model."""
    write_atomically(path, _chunks(sections))


def encode_container(sections: Mapping[str, bytes]) -> bytes:
    """The bytes of the file ``write_container`` writes."""
    return b"".join(_chunks(sections))


def _chunks(sections: Mapping[str, bytes]) -> list[bytes]:
    """The sections, the table and trailer after them, and the checksum."""
    table = b"".join(
        _ENTRY.pack(_section_name(name), len(payload)) for name, payload in sections.items()
    )
    tail = table + _TRAILER.pack(len(sections), FORMAT_VERSION, MAGIC)
    checksum = 0
    for payload in sections.values():
        checksum = zlib.crc32(payload, checksum)
    checksum = zlib.crc32(tail, checksum)
    return [*sections.values(), tail, _CHECKSUM.pack(checksum)]


def write_atomically(path: str | os.PathLike, chunks: Iterable[bytes]) -> None:
    """Write ``chunks`` to ``path``: to a temporary file beside it, flushed to
    disk, then renamed over ``path``. Models and report pages are written so.

    A new file gets mode 0666 less the umask; a replaced file keeps its mode,
    and a symbolic link keeps pointing at the file that gets the new content.
    A file without write permission (for anyone, or for this process) is not
    replaced. Temporary files of earlier writes to the same target whose
    process is gone are removed. Failures raise ``ModelWriteError`` naming
    ``path``.
    """
    given = os.fspath(path)
    try:
        target = os.path.realpath(given) if os.path.islink(given) else given
        old = _stat_or_none(target)
        if old is not None and not stat.S_ISREG(old.st_mode):
            raise OSError(errno.EINVAL, "not a regular file")
        if old is not None and (not old.st_mode & 0o222 or not os.access(target, os.W_OK)):
            # a file its owner protected is not replaced behind their back
            raise OSError(
                errno.EACCES,
                f"it is read-only (mode {stat.S_IMODE(old.st_mode):04o}); "
                "make it writable to replace it",
            )
        directory = os.path.dirname(os.path.abspath(target))
        base = os.path.basename(target)
        remove_stale_temporaries(directory, base)
        fd, temporary = _create_temporary(directory, base)
        try:
            with os.fdopen(fd, "wb") as handle:
                if old is not None:
                    os.fchmod(handle.fileno(), stat.S_IMODE(old.st_mode))
                for chunk in chunks:
                    handle.write(chunk)
                handle.flush()
                os.fsync(handle.fileno())
            os.replace(temporary, target)
        except BaseException:
            if os.path.lexists(temporary):
                os.unlink(temporary)
            raise
        _sync_directory(directory)
    except OSError as exc:
        if isinstance(exc, ModelWriteError):
            raise
        raise ModelWriteError(exc.errno or errno.EIO, exc.strerror or str(exc), given) from exc


def _temporary_pattern(base: str) -> re.Pattern:
    # .<target name>.<pid>.<random>.partial
    return re.compile(rf"\.{re.escape(base)}\.(\d+)\.[0-9a-f]{{16}}\.partial\Z")


def _create_temporary(directory: str, base: str) -> tuple[int, str]:
    # The name carries the writing process, so that a later save can tell a
    # temporary left by a killed save from one still being written.
    flags = os.O_WRONLY | os.O_CREAT | os.O_EXCL | getattr(os, "O_CLOEXEC", 0)
    while True:
        name = f".{base}.{os.getpid()}.{os.urandom(8).hex()}.partial"
        temporary = os.path.join(directory, name)
        try:
            return os.open(temporary, flags, 0o666), temporary
        except FileExistsError:
            continue


def remove_stale_temporaries(directory: str, base: str) -> list[str]:
    """Remove the temporary files of saves to ``directory/base`` whose process
    no longer runs and that have not changed for ``STALE_AFTER_S`` seconds;
    returns their paths. Files that cannot be removed are left alone."""
    pattern = _temporary_pattern(base)
    removed: list[str] = []
    now = time.time()
    try:
        entries = list(os.scandir(directory))
    except OSError:
        return removed
    for entry in entries:
        found = pattern.match(entry.name)
        if found is None or _process_alive(int(found.group(1))):
            continue
        try:
            if now - entry.stat(follow_symlinks=False).st_mtime < STALE_AFTER_S:
                continue
            os.unlink(entry.path)
            removed.append(entry.path)
        except OSError:
            continue
    return removed


def _process_alive(pid: int) -> bool:
    if pid == os.getpid():
        return True
    try:
        os.kill(pid, 0)
    except ProcessLookupError:
        return False
    except (OSError, OverflowError, ValueError):
        return True  # another user's process, or a number no process can have
    return True


def _stat_or_none(path: str) -> os.stat_result | None:
    try:
        return os.stat(path)
    except FileNotFoundError:
        return None


# ------------------------------------------------------------------ reading


class _Checksum:
    """CRC-32 of buffers handed over in file order, computed on a worker thread
    while the reader goes on reading and the caller decodes (zlib releases the
    interpreter lock on large buffers)."""

    def __init__(self) -> None:
        self._parts: queue.SimpleQueue = queue.SimpleQueue()
        self._value = 0
        self._thread = threading.Thread(target=self._run, name="tarsel-checksum", daemon=True)
        self._thread.start()

    def add(self, part) -> None:
        self._parts.put(part)

    def add_checksum(self, crc: int) -> None:
        """Start from the checksum of the bytes before the next part (only
        before any part was added)."""
        self._parts.put(crc)

    def result(self) -> int:
        self._parts.put(None)
        self._thread.join()
        return self._value

    def _run(self) -> None:
        value = 0
        while (part := self._parts.get()) is not None:
            value = part if isinstance(part, int) else zlib.crc32(part, value)
        self._value = value


class Container:
    """A model file read into memory the reader owns: each section as bytes
    (large ones as a memoryview of their own buffer), and the checksum over
    exactly those bytes."""

    def __init__(
        self,
        path: str,
        sections: dict,
        checksum: _Checksum,
        stored: int,
        identity: tuple | None,
        engine: Any = None,
        engine_error: ValueError | None = None,
    ):
        self.path, self.sections = path, sections
        self._checksum, self._stored, self._identity = checksum, stored, identity
        self._verified: bool | None = None
        # The engine decoded straight from the file (open_container's
        # engine_section), or why that failed.
        self.engine, self.engine_error = engine, engine_error

    def section(self, name: str):
        return self.sections[name]

    def verify(self) -> None:
        """Wait for the checksum; a mismatch raises ValueError."""
        if self._verified is None:
            self._verified = self._checksum.result() == self._stored
        if self._verified:
            return
        if self._identity is not None:  # a file, not bytes in memory
            try:
                changed = _identity(os.stat(self.path)) != self._identity
            except OSError:
                changed = True
            if changed:
                raise ValueError(f"{self.path!r} changed while it was read; load it again")
        raise ValueError(f"{self.path!r} is corrupt (checksum mismatch)")

    def close(self) -> None:
        if self._verified is None:
            self._verified = self._checksum.result() == self._stored

    def __enter__(self) -> Container:
        return self

    def __exit__(self, *exc_info) -> None:
        self.close()


@contextlib.contextmanager
def regular_file(path: str | os.PathLike) -> Iterator[tuple[int, os.stat_result]]:
    """An open descriptor of the regular file at ``path`` and its status.

    The path is checked with ``os.stat`` before it is opened, so that a FIFO
    or a device is refused without blocking on it; it is opened without
    blocking (a path swapped for a FIFO in between) and checked again on the
    descriptor. Read no more than ``st_size`` bytes from it: that bounds the
    reads even where the file grows. Raises ValueError "'<path>' is not a
    regular file", or the OSError of a path that cannot be opened, which is a
    ValueError too."""
    path = os.fspath(path)
    try:
        if not stat.S_ISREG(os.stat(path).st_mode):
            raise ValueError(f"{path!r} is not a regular file")
        flags = os.O_RDONLY | os.O_NONBLOCK | getattr(os, "O_CLOEXEC", 0)
        fd = os.open(path, flags | getattr(os, "O_NOCTTY", 0))
    except OSError as exc:
        raise _read_error(exc, path) from None
    try:
        info = os.fstat(fd)
        if not stat.S_ISREG(info.st_mode):
            raise ValueError(f"{path!r} is not a regular file")
        yield fd, info
    finally:
        os.close(fd)


def open_container(path: str | os.PathLike, engine_section: str | None = None) -> Container:
    """Read a model file and start checking it. A file that is not a regular
    file, not a tarsel model, has an unknown format version or a broken section
    table raises ValueError; one that cannot be opened or read raises
    its OSError, which is a ValueError too. Call ``verify`` before trusting any
    section.

    When the section named ``engine_section`` starts the file, the engine's
    own reader decodes it from the file into ``container.engine`` (or records
    its ValueError in ``container.engine_error``) and checksums those very
    bytes as it reads them: one pass over the largest section, no copy of it."""
    path = os.fspath(path)
    with regular_file(path) as (fd, info):
        try:
            return _read_sections(fd, path, info, engine_section)
        except OSError as exc:
            raise _read_error(exc, path) from None


def read_container(path: str | os.PathLike) -> dict[str, bytes]:
    """Every section of a checked model file."""
    with open_container(path) as container:
        container.verify()
        return {name: bytes(data) for name, data in container.sections.items()}


def _read_sections(
    fd: int, path: str, info: os.stat_result, engine_section: str | None
) -> Container:
    places, table, end = _layout(
        path, info.st_size, lambda offset, length: _read_exactly(fd, path, offset, length)
    )
    checksum = _Checksum()
    engine = engine_error = None
    try:
        sections = {}
        offset = 0
        for name, length in places:
            if offset == 0 and name == engine_section:
                from tarsel import _core

                try:
                    engine, crc = _core.EngineState.load_section(fd, 0, length)
                    checksum.add_checksum(crc)
                except ValueError as exc:
                    engine_error = exc
                    sections[name] = _read_section(fd, path, offset, length, checksum)
            else:
                sections[name] = _read_section(fd, path, offset, length, checksum)
            offset += length
    finally:
        checksum.add(table)
        checksum.add(end[: _TRAILER.size])
    stored = _CHECKSUM.unpack_from(end, _TRAILER.size)[0]
    return Container(path, sections, checksum, stored, _identity(info), engine, engine_error)


def _layout(
    path: str, size: int, read: Callable[[int, int], bytes]
) -> tuple[list[tuple[str, int]], bytes, bytes]:
    """The (name, length) of each section of a file of ``size`` bytes, in file
    order, its section table and its trailer (with the checksum), read with
    ``read(offset, length)``; a file that is not a model raises ValueError."""
    trailer_at = size - _CHECKSUM.size - _TRAILER.size
    if trailer_at < 0:
        raise ValueError(f"{path!r} is not a tarsel model file (or is truncated)")
    end = read(trailer_at, size - trailer_at)
    count, version, magic = _TRAILER.unpack_from(end, 0)
    if magic != MAGIC:
        raise ValueError(f"{path!r} is not a tarsel model file (or is truncated)")
    if version != FORMAT_VERSION:
        raise ValueError(
            f"{path!r} has model format version {version}; "
            f"this tarsel reads version {FORMAT_VERSION}"
        )
    table_at = trailer_at - count * _ENTRY.size
    if count > _MAX_SECTIONS or table_at < 0:
        raise ValueError(f"{path!r} is corrupt (section table)")
    table = read(table_at, trailer_at - table_at)
    places: list[tuple[str, int]] = []
    offset = 0
    for i in range(count):
        raw_name, length = _ENTRY.unpack_from(table, i * _ENTRY.size)
        places.append((raw_name.rstrip(b"\0").decode("ascii", "replace"), length))
        offset += length
    if offset != table_at or len({name for name, _ in places}) != count:
        raise ValueError(f"{path!r} is corrupt (section table)")
    return places, table, end


def container_of_bytes(blob: bytes, name: str = "<model bytes>") -> Container:
    """A model file's bytes as a ``Container`` (its sections are views of
    ``blob``), as ``open_container`` reads a file; ``name`` stands for the
    path in messages."""
    view = memoryview(blob)
    places, table, end = _layout(name, len(view), lambda o, n: bytes(view[o : o + n]))
    checksum = _Checksum()
    sections, offset = {}, 0
    for section, length in places:
        sections[section] = view[offset : offset + length]
        checksum.add(sections[section])
        offset += length
    checksum.add(table)
    checksum.add(end[: _TRAILER.size])
    stored = _CHECKSUM.unpack_from(end, _TRAILER.size)[0]
    return Container(name, sections, checksum, stored, None)


def _read_section(fd: int, path: str, offset: int, length: int, checksum: _Checksum):
    """One section in memory of its own, handed to the checksum as it arrives:
    small ones as bytes, large ones in slices of a fresh buffer, so that the
    checksum runs while the rest is read."""
    if length <= _SLICE:
        data = _read_exactly(fd, path, offset, length)
        checksum.add(data)
        return data
    # numpy's stubs declare ndarray a Buffer only for Python 3.12 and later
    view = memoryview(np.empty(length, dtype=np.uint8)).cast("B")  # type: ignore[arg-type]
    done = 0
    while done < length:
        got = os.preadv(fd, [view[done : done + min(_SLICE, length - done)]], offset + done)
        if got == 0:
            raise _shrank(path)
        checksum.add(view[done : done + got])
        done += got
    return view


def _read_exactly(fd: int, path: str, offset: int, length: int) -> bytes:
    """``length`` bytes from ``offset``; a file that ends early (it shrank since
    it was opened) raises ValueError."""
    parts, got = [], 0
    while True:
        part = os.pread(fd, length - got, offset + got)
        parts.append(part)
        got += len(part)
        if got == length:
            return part if len(parts) == 1 else b"".join(parts)
        if not part:
            raise _shrank(path)


def _shrank(path: str) -> ValueError:
    return ValueError(f"{path!r} changed while it was read (it is shorter now); load it again")


def _identity(info: os.stat_result) -> tuple[int, int, int, int]:
    return info.st_dev, info.st_ino, info.st_size, info.st_mtime_ns


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
