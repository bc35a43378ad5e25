"""The model file: named byte sections with a format version, a magic number and
a checksum, written atomically; and the fitted ``Recommender`` stored in it.

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
import json
import os
import queue
import re
import stat
import struct
import threading
import time
import zlib
from collections.abc import Iterator, Mapping
from dataclasses import dataclass
from typing import TYPE_CHECKING, Any

import numpy as np

from tarsel import _live

if TYPE_CHECKING:  # the estimator imports this module
    from tarsel.recommender import Recommender

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
    """Write the sections to ``path``: to a temporary file beside it, flushed to
    disk, then renamed over ``path``, so a failure never leaves a partial model.

    A new file gets mode 0666 less the umask; a replaced file keeps its mode,
    and a symbolic link keeps pointing at the file that gets the new content.
    A file without write permission (for anyone, or for this process) is not
    replaced.
    Temporary files of earlier saves to the same target whose process is gone
    are removed. Failures raise ``ModelWriteError`` naming ``path``.
    """
    given = os.fspath(path)
    table = b"".join(
        _ENTRY.pack(_section_name(name), len(payload)) for name, payload in sections.items()
    )
    tail = table + _TRAILER.pack(len(sections), FORMAT_VERSION, MAGIC)
    checksum = 0
    for payload in sections.values():
        checksum = zlib.crc32(payload, checksum)
    checksum = zlib.crc32(tail, checksum)
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
                for payload in sections.values():
                    handle.write(payload)
                handle.write(tail)
                handle.write(_CHECKSUM.pack(checksum))
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
        identity: tuple,
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
    size = info.st_size
    trailer_at = size - _CHECKSUM.size - _TRAILER.size
    if trailer_at < 0:
        raise ValueError(f"{path!r} is not a tarsel model file (or is truncated)")
    end = _read_exactly(fd, path, trailer_at, size - trailer_at)
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
    table = _read_exactly(fd, path, table_at, trailer_at - table_at)
    places: list[tuple[str, int]] = []
    offset = 0
    for i in range(count):
        raw_name, length = _ENTRY.unpack_from(table, i * _ENTRY.size)
        places.append((raw_name.rstrip(b"\0").decode("ascii", "replace"), length))
        offset += length
    if offset != table_at or len({name for name, _ in places}) != count:
        raise ValueError(f"{path!r} is corrupt (section table)")
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


# ------------------------------------------------------------------ the model


@dataclass(frozen=True)
class ArraySection:
    """A model attribute stored as one flat little-endian array section.
    Sections added after files were first written are ``optional``: a file
    without one loads with the attribute unset."""

    name: str
    attribute: str
    dtype: str
    optional: bool = False


# The model's array state, in file order after the engine, the metadata and
# the id maps. A new piece of state is one line here.
MODEL_ARRAYS = (
    ArraySection("hist_indptr", "_hist_indptr", "<i8"),
    ArraySection("hist_items", "_hist_items", "<i8"),
    ArraySection("repeat_sizes", "_repeat_sizes", "<i8"),
    ArraySection("item_pop", "item_pop_", "<f8"),
    ArraySection("personal_indptr", "_personal_indptr", "<i8", optional=True),
    ArraySection("personal_items", "_personal_items", "<i8", optional=True),
    ArraySection("personal_counts", "_personal_counts", "<f8", optional=True),
)


def save_model(model: Any, path: str | os.PathLike) -> None:
    """Write a fitted model (engine record, id maps, histories, settings and
    report) to ``path`` atomically; see ``write_container``."""
    # first: it folds pending updates into the histories written below
    live = _live.sections(model)
    from tarsel.errors import native_failures

    user_kind, user_bytes = model.users_.to_bytes()
    item_kind, item_bytes = model.items_.to_bytes()
    with native_failures():
        engine = model.engine_.to_bytes()
    meta = {
        "params": model.get_params(),
        "fit_report": model.fit_report_,
        "kept": model.kept_,
        "columns": model.columns_,
        "user_ids": user_kind,
        "item_ids": item_kind,
    }
    sections = {
        # first, so that the file is also an engine record file
        "engine": engine,
        "meta": json.dumps(meta, default=_json_default).encode(),
        "user_ids": user_bytes,
        "item_ids": item_bytes,
    }
    for spec in MODEL_ARRAYS:
        value = getattr(model, spec.attribute, None)
        if value is not None:
            sections[spec.name] = np.ascontiguousarray(value, dtype=spec.dtype).tobytes()
    sections.update(live)
    write_container(path, sections)


def load_model(cls: type[Recommender], path: str | os.PathLike) -> Recommender:
    """A model of class ``cls`` read from a file written by ``save_model``.
    Every failure is a ValueError that says why: a file that is not a model,
    a damaged one, or one whose parts disagree with each other."""
    from tarsel import _core

    with open_container(path, engine_section="engine") as container:
        # before any section is decoded: a damaged id table could cost far
        # more memory than the file
        container.verify()
        try:
            model = _model_from(cls, container)
        except (
            ValueError,
            KeyError,
            TypeError,
            IndexError,
            AttributeError,
            RecursionError,
            OverflowError,
            MemoryError,
            _core.InternalFailure,
        ) as exc:
            raise ValueError(
                f"{container.path!r} is not a usable tarsel model: {_reason(exc)}"
            ) from None
    return model


def _model_from(cls: type[Recommender], container: Container) -> Recommender:
    from tarsel import _core
    from tarsel.data import IdMap

    sections = container.sections
    for name in ("engine", "meta", "user_ids", "item_ids"):
        if name not in sections and not (name == "engine" and container.engine is not None):
            raise ValueError(f"it has no {name!r} section")
    meta = json.loads(bytes(sections["meta"]))
    if not isinstance(meta, dict):
        raise ValueError("its metadata is not a JSON object")
    for key, kind in (
        ("params", dict),
        ("fit_report", dict),
        ("kept", dict),
        ("columns", dict),
        ("user_ids", str),
        ("item_ids", str),
    ):
        if not isinstance(meta.get(key), kind):
            raise ValueError(f"its metadata has no {kind.__name__} {key!r}")
    params = cls.__init__.__kwdefaults__ or {}
    model = cls(**{k: v for k, v in meta["params"].items() if k in params})
    if container.engine_error is not None:
        raise container.engine_error
    model.engine_ = (
        container.engine
        if container.engine is not None
        else _core.EngineState._from_buffer(sections["engine"])
    )
    sizes = model.engine_.sizes()
    n_users, n_items = sizes["n_users"], sizes["n_items"]
    model.users_ = IdMap.from_bytes(meta["user_ids"], bytes(sections["user_ids"]))
    model.items_ = IdMap.from_bytes(meta["item_ids"], bytes(sections["item_ids"]))
    if len(model.users_) < n_users:  # updates may add users after the engine's
        _expect(len(model.users_), n_users, "user ids", "users")
    _expect(len(model.items_), n_items, "item ids", "items")
    for spec in MODEL_ARRAYS:
        if spec.name in sections:
            setattr(model, spec.attribute, _array(sections[spec.name], spec))
        elif not spec.optional:
            raise ValueError(f"it has no {spec.name!r} section")
    model.fit_report_, model.kept_ = meta["fit_report"], meta["kept"]
    model.columns_ = meta["columns"]
    _live.restore(model, sections, lambda name: bytes(sections[name]))
    _check_arrays(model, len(model.users_), n_items)
    return model


def _array(payload, spec: ArraySection) -> np.ndarray:
    width = np.dtype(spec.dtype).itemsize
    if len(payload) % width:
        raise ValueError(
            f"section {spec.name!r} holds {len(payload)} bytes, "
            f"not a whole number of {width}-byte values"
        )
    return np.frombuffer(payload, dtype=spec.dtype)


def _expect(got: int, want: int, what: str, unit: str) -> None:
    if got != want:
        raise ValueError(f"it has {got} {what} for an engine of {want} {unit}")


def _check_arrays(model: Any, n_users: int, n_items: int) -> None:
    """Every index section against the counts the file declares (the id
    maps): a request then never reads out of range or allocates by a
    forged number."""
    _expect(len(model._hist_indptr), n_users + 1, "history offsets", "users (plus one)")
    _check_lists(model._hist_indptr, model._hist_items, n_users, n_items, "histories")
    _expect(len(model._repeat_sizes), n_users, "repeat-profile sizes", "users")
    if len(model._repeat_sizes) and (
        model._repeat_sizes.min() < 0 or model._repeat_sizes.max() > n_items
    ):
        raise ValueError("its repeat-profile sizes are negative or exceed the catalogue")
    _expect(len(model.item_pop_), n_items, "item popularities", "items")
    indptr = getattr(model, "_personal_indptr", None)
    items = getattr(model, "_personal_items", None)
    if (indptr is None) != (items is None):
        raise ValueError("it has personal lists without their offsets, or offsets without lists")
    if indptr is not None and items is not None:
        # files of models updated with new users before the lists grew cover fewer
        _check_lists(indptr, items, n_users, n_items, "personal lists")
        own = getattr(model, "_personal_counts", None)
        if own is not None and (len(own) != len(items) or not np.all(own >= 1)):
            raise ValueError("its personal counts do not match its personal lists")
    profile = _live.live_of(model).profile
    if profile is not None:
        _check_lists(profile.indptr, profile.items, n_users, n_items, "repeat profile")


def _check_lists(
    indptr: np.ndarray, items: np.ndarray, n_users: int, n_items: int, what: str
) -> None:
    """A CSR of items per user: at most ``n_users`` rows whose offsets cover the
    items in order, every item in the catalogue."""
    if not 1 <= len(indptr) <= n_users + 1:
        raise ValueError(f"its {what} have {len(indptr) - 1} rows for {n_users} users")
    if indptr[0] != 0 or indptr[-1] != len(items) or np.any(np.diff(indptr) < 0):
        raise ValueError(f"the offsets of its {what} do not cover their items in order")
    if len(items) and (items.min() < 0 or items.max() >= n_items):
        raise ValueError(f"its {what} name items outside the catalogue")


def _reason(exc: BaseException) -> str:
    if isinstance(exc, KeyError):
        return f"missing {exc.args[0]!r}" if exc.args else "missing entry"
    if isinstance(exc, RecursionError):
        return "its metadata is nested too deeply"
    text = " ".join(str(exc).split())
    return text or type(exc).__name__


def _json_default(value: Any) -> Any:
    if isinstance(value, np.generic):
        return value.item()
    raise TypeError(f"cannot store {type(value).__name__} in a model file")
