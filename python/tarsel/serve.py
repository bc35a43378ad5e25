"""``tarsel serve``: a saved model behind an HTTP service (Starlette on uvicorn).

Endpoints (JSON in and out):

- ``GET /recommend/{user}?n=&exclude_owned=``
- ``POST /recommend`` with ``{"user": ..., "items": [...], "n": ..., "exclude_owned": ...}``
- ``POST /recommend/batch`` with ``{"users": [...], "items": [[...], ...], "n": ...}``
- ``GET /similar/{item}?n=``
- ``POST /events`` with ``{"events": [{"user": ..., "item": ..., "time": ...}, ...]}``
  (the model's column names; off unless updates are allowed)
- ``GET /healthz``: 200 once a model is loaded, else 503
- ``GET /metrics``: Prometheus text

Ids follow the model's id type and are read strictly: with integer ids, path
ids and JSON strings must be ASCII digits (an optional minus sign) within
64-bit range; no id may hold NUL or be longer than ``Limits.max_id_length``.
Bad input gets a 4xx answer ``{"error": message}``; ``Limits`` holds the
limits on requests and connections (413 for a body over them, 408 for a body
or headers that do not arrive in time, 400 for the rest). Model calls and the
encoding of their answers run on a thread pool (the engine releases the
interpreter lock), so the event loop keeps accepting requests meanwhile; calls
shorter than a hop to a thread run on the event loop. Single-user requests
read in one turn of the event loop are answered by one batch call.

The model file is watched: when it is replaced (or on SIGHUP) the new file is
loaded beside the served model and swapped in at once; requests already
running finish on the model they started with. A file that does not load (or
is not a regular file) is refused with a log line and the old model goes on
serving; it is tried again when the file changes.

Events accepted by ``/events`` are appended to a journal beside the model
(``MODEL.journal``) and written to disk before the answer is sent. A model
loaded on start or on a reload gets the journalled events newer than its own
data replayed onto it, and the journal drops the entries such a model covers.
Every worker process applies the journal's new entries before it answers, so
updates work with several workers.

Starlette, uvicorn and prometheus-client come with ``pip install 'tarsel[serve]'``.
"""

from __future__ import annotations

import argparse
import asyncio
import contextlib
import dataclasses
import datetime
import fcntl
import hashlib
import json
import logging
import math
import os
import re
import signal
import sys
import threading
import time
from collections.abc import Callable, Iterator
from concurrent.futures import ThreadPoolExecutor
from dataclasses import dataclass, field
from typing import Any

log = logging.getLogger("tarsel.serve")

_ENV = "TARSEL_SERVE_CONFIG"  # the settings handed to worker processes
_INT64 = 1 << 63


@dataclass(frozen=True)
class Limits:
    """What one request or connection may ask for or hold; a request over a
    limit gets 413, 408 or 400."""

    max_n: int = 1000  # results per user
    max_rows: int = 10_000  # result rows per request (users x n)
    max_body_bytes: int = 1 << 20  # request body of the recommend endpoints
    max_batch_users: int = 1000  # users in one batch request
    max_items: int = 1000  # basket items per user
    max_id_length: int = 256  # characters of one user or item id
    max_events_body_bytes: int = 2 << 20  # request body of /events
    max_events: int = 10_000  # events in one /events request
    max_new_users: int = 1000  # users new to the model in one /events request
    event_max_age: float = 30 * 86400.0  # seconds an event time may lie before the clock
    event_max_lead: float = 300.0  # seconds an event time may lie after the clock
    header_timeout: float = 10.0  # seconds for a request's headers to arrive
    body_timeout: float = 10.0  # seconds for a request's body to arrive
    keep_alive_timeout: float = 5.0  # seconds an idle keep-alive connection stays open
    max_connections: int = 1000  # open connections; more are closed at once


class ClientError(Exception):
    """A request the service refuses: the HTTP status and the message."""

    def __init__(self, status: int, message: str):
        super().__init__(message)
        self.status, self.message = status, message


class _WrongType(ClientError):
    """An id that cannot be of the model's id type (in a basket: unknown)."""


# ------------------------------------------------------------- the model


@dataclass
class _Cursor:
    """How far into the journal a served model has applied: the file
    (device, inode), the byte offset after the last line read and that line's
    sequence number."""

    file: tuple = ()
    offset: int = 0
    seq: int = 0


@dataclass(frozen=True)
class _Loaded:
    """One loaded model file and what the metrics say about it."""

    model: Any
    path: str
    identity: tuple
    checksum: str
    modified: float
    loaded_at: float
    cut: float | None = None  # the newest event time of the file's data
    lock: _ReadWriteLock = field(default_factory=lambda: _ReadWriteLock())
    cursor: _Cursor = field(default_factory=_Cursor)


def _identity(info: os.stat_result) -> tuple:
    # the change time moves on every write and on a change of permissions, so
    # a refused file is tried again once anything about it changed
    return info.st_dev, info.st_ino, info.st_size, info.st_mtime_ns, info.st_ctime_ns


def _data_cut(model: Any) -> float | None:
    """The newest event time of a model's data and its updates (None when it
    keeps none: a model without a time column)."""
    from tarsel import _live

    now = _live.live_of(model).now_ts
    if not model.columns_.get("time_col") or not math.isfinite(now):
        return None
    return float(now)


def _load_file(path: str) -> _Loaded:
    """Load a model file, with the first 16 hex digits of its SHA-256. Only a
    regular file is opened, without blocking (a FIFO or a device is refused),
    and no more than its size is read; on Linux the model is read through the
    opened descriptor, so a file swapped in meanwhile is not read half."""
    from tarsel import Recommender
    from tarsel._container import regular_file

    with regular_file(path) as (fd, info):
        digest, left = hashlib.sha256(), info.st_size
        while left > 0 and (chunk := os.read(fd, min(left, 1 << 22))):
            digest.update(chunk)
            left -= len(chunk)
        through = f"/proc/self/fd/{fd}"
        if not os.path.exists(through):
            through = path
        try:
            model = Recommender.load(through)
        except ValueError as exc:  # the file's name, not the descriptor's
            raise ValueError(str(exc).replace(through, path)) from None
    return _Loaded(
        model,
        path,
        _identity(info),
        digest.hexdigest()[:16],
        info.st_mtime,
        time.time(),
        _data_cut(model),
    )


class _ReadWriteLock:
    """Any number of readers, or one writer; a waiting writer holds off new
    readers. Updates change the engine in place, which it refuses while a
    request reads it."""

    def __init__(self) -> None:
        self._cond = threading.Condition()
        self._readers = 0
        self._writing = False
        self._waiting = 0

    @contextlib.contextmanager
    def reading(self) -> Iterator[None]:
        with self._cond:
            while self._writing or self._waiting:
                self._cond.wait()
            self._readers += 1
        try:
            yield
        finally:
            with self._cond:
                self._readers -= 1
                if not self._readers:
                    self._cond.notify_all()

    @contextlib.contextmanager
    def writing(self) -> Iterator[None]:
        with self._cond:
            self._waiting += 1
            while self._writing or self._readers:
                self._cond.wait()
            self._waiting -= 1
            self._writing = True
        try:
            yield
        finally:
            with self._cond:
                self._writing = False
                self._cond.notify_all()


# ----------------------------------------------------------- the journal


class _Stale(Exception):
    """The journal dropped entries that a served model has not applied: the
    model file (which covers them) must be loaded again."""


class _Journal:
    """The accepted events, one JSON line per ``/events`` request:
    ``{"seq": n, "user": [...], "item": [...], "time": [...] or null}`` with
    ids of the model's type and times in UNIX seconds. Lines are appended and
    synced to disk before the request is answered; every process serving the
    model reads the lines past its cursor. Trimming rewrites the file without
    its leading entries that a loaded model covers, starting it with
    ``{"seq": n, "trimmed": true}`` (n: the last entry dropped) so that the
    numbering goes on and a reader behind it knows it missed entries.

    Appends and trims hold a lock on ``JOURNAL.lock`` (a file of its own, as a
    trim replaces the journal). A line cut short by a crash was never
    acknowledged: readers stop before it and the next append removes it."""

    def __init__(self, path: str, sync: bool = True):
        self.path, self.sync = path, sync

    def _file(self) -> tuple | None:
        try:
            info = os.stat(self.path)
        except FileNotFoundError:
            return None
        return info.st_dev, info.st_ino, info.st_size

    def behind(self, cursor: _Cursor) -> bool:
        """Whether the journal holds lines past ``cursor`` (one stat call)."""
        found = self._file()
        if found is None:
            return bool(cursor.file)
        return found[:2] != cursor.file or found[2] != cursor.offset

    @contextlib.contextmanager
    def _locked(self) -> Iterator[None]:
        fd = os.open(self.path + ".lock", os.O_RDWR | os.O_CREAT | os.O_CLOEXEC, 0o644)
        try:
            fcntl.flock(fd, fcntl.LOCK_EX)
            yield
        finally:
            os.close(fd)  # releases the lock

    def read(self, cursor: _Cursor) -> list[dict]:
        """The complete entries past ``cursor``, which moves past them.
        Raises _Stale when a trim dropped entries past the cursor."""
        try:
            handle = open(self.path, "rb")
        except FileNotFoundError:
            return []
        with handle:
            info = os.fstat(handle.fileno())
            file = (info.st_dev, info.st_ino)
            fresh = file != cursor.file
            offset = 0 if fresh else cursor.offset
            handle.seek(offset)
            data = handle.read(max(info.st_size - offset, 0))
        end = data.rfind(b"\n") + 1
        entries = []
        for line in data[:end].splitlines():
            try:
                entry = json.loads(line)
            except ValueError:  # a line cut short and then written over
                log.error(
                    "skipped a damaged journal line", extra={"fields": {"journal": self.path}}
                )
                continue
            seq = entry.get("seq", 0)
            if entry.get("trimmed"):
                if fresh and cursor.file and seq > cursor.seq:
                    raise _Stale
                cursor.seq = max(cursor.seq, seq)
                continue
            if seq > cursor.seq or not cursor.file:
                entries.append(entry)
        cursor.file, cursor.offset = file, offset + end
        if entries:
            cursor.seq = entries[-1]["seq"]
        return entries

    def append(self, cursor: _Cursor, entry: dict) -> list[dict]:
        """Write ``entry`` as the journal's next line; returns the entries past
        ``cursor`` (other processes' and then this one), which it moves past."""
        with self._locked():
            pending = self.read(cursor)
            fd = os.open(self.path, os.O_WRONLY | os.O_CREAT | os.O_CLOEXEC, 0o644)
            try:
                info = os.fstat(fd)
                if (info.st_dev, info.st_ino) != cursor.file:  # a journal begun just now
                    cursor.file, cursor.offset = (info.st_dev, info.st_ino), 0
                if info.st_size != cursor.offset:
                    os.ftruncate(fd, cursor.offset)  # a line a crash cut short
                entry = {"seq": cursor.seq + 1, **entry}
                data = (json.dumps(entry, separators=(",", ":"), allow_nan=False) + "\n").encode()
                written = 0
                while written < len(data):
                    written += os.pwrite(fd, data[written:], cursor.offset + written)
                if self.sync:
                    os.fsync(fd)
            finally:
                os.close(fd)
            cursor.offset += len(data)
            cursor.seq = entry["seq"]
        return [*pending, entry]

    def trim(self, cut: float) -> int:
        """Drop the leading entries whose events all lie at or before ``cut``;
        returns how many were dropped."""
        with self._locked():
            cursor = _Cursor()
            try:
                entries = self.read(cursor)
            except _Stale:  # cannot happen for a fresh cursor
                return 0
            dropped = 0
            while dropped < len(entries) and _covered(entries[dropped], cut):
                dropped += 1
            if not dropped:
                return 0
            lines = [{"seq": entries[dropped - 1]["seq"], "trimmed": True}, *entries[dropped:]]
            staged = f"{self.path}.{os.getpid()}.tmp"
            with open(staged, "w") as out:
                for entry in lines:
                    out.write(json.dumps(entry, separators=(",", ":")) + "\n")
                out.flush()
                if self.sync:
                    os.fsync(out.fileno())
            os.replace(staged, self.path)
            if self.sync:
                directory = os.open(os.path.dirname(self.path) or ".", os.O_RDONLY)
                try:
                    os.fsync(directory)
                finally:
                    os.close(directory)
            return dropped


def _covered(entry: dict, cut: float) -> bool:
    times = entry.get("time")
    return times is not None and all(t <= cut for t in times)


def _replay(loaded: _Loaded, entries: list[dict], newer_only: bool) -> int:
    """Apply journal entries to the loaded model (only the events after its
    data's cut with ``newer_only``); an entry the model refuses is logged and
    skipped. Returns the events applied."""
    model, columns = loaded.model, loaded.model.columns_
    applied = 0
    for entry in entries:
        users, items, times = entry["user"], entry["item"], entry.get("time")
        if newer_only and loaded.cut is not None and times is not None:
            keep = [k for k, t in enumerate(times) if t > loaded.cut]
            users, items, times = ([v[k] for k in keep] for v in (users, items, times))
        if not users:
            continue
        table = {columns["user_col"]: users, columns["item_col"]: items}
        if columns.get("time_col"):
            if times is None:
                continue  # events without times cannot join a model with a time column
            table[columns["time_col"]] = times
        try:
            applied += model.update(table)["events"]
        except (ValueError, TypeError) as exc:  # ids of another type than this model's
            log.error(
                "the model refused a journal entry; skipped",
                extra={"fields": {"event": "journal", "seq": entry["seq"], "error": str(exc)}},
            )
    return applied


# ----------------------------------------------------------- the service


class _Service:
    """The served model, its reloading, the journal, the request pool and the
    metrics."""

    INLINE_SECONDS = 0.0003

    def __init__(
        self,
        path: str,
        *,
        allow_updates: bool,
        reload_interval: float,
        threads: int | None,
        limits: Limits,
        initial: _Loaded | None,
        require_model: bool = False,
        journal: str | None = None,
    ):
        from prometheus_client import CollectorRegistry, Counter, Gauge, Histogram, Info

        self.path, self.allow_updates, self.limits = path, allow_updates, limits
        self.reload_interval, self.require_model = reload_interval, require_model
        # read on every load even with updates off, so that a restart without
        # them keeps the events acknowledged before
        self.journal = _Journal(journal or path + ".journal")
        self.batcher = _Batcher(self)
        # the moving average of the seconds one call of each kind takes
        # (measured first on the pool)
        self._costs = dict.fromkeys(("recommend", "batch", "similar"), 2 * self.INLINE_SECONDS)
        self.current: _Loaded | None = initial
        self.threads = threads or os.cpu_count() or 2
        self.pool: ThreadPoolExecutor | None = None
        self._refused: tuple | None = None
        self._missing = False
        self._reloading: asyncio.Lock | None = None
        self.registry = CollectorRegistry()
        self._counted: dict[tuple, tuple] = {}
        self.requests = Counter(
            "tarsel_requests",
            "Requests answered, by endpoint and status (499: the client left first)",
            ["endpoint", "status"],
            registry=self.registry,
        )
        self.latency = Histogram(
            "tarsel_request_duration_seconds",
            "Time to answer a request, by endpoint",
            ["endpoint"],
            registry=self.registry,
            buckets=(0.0005, 0.001, 0.002, 0.005, 0.01, 0.02, 0.05, 0.1, 0.2, 0.5, 1, 2, 5),
        )
        self.reloads = Counter(
            "tarsel_model_reloads",
            "Model file loads, by outcome",
            ["outcome"],
            registry=self.registry,
        )
        self.info = Info(
            "tarsel_model",
            "The served model file and the first 16 hex digits of its SHA-256",
            registry=self.registry,
        )
        Gauge(
            "tarsel_model_age_seconds",
            "Seconds since the served model file was written",
            registry=self.registry,
        ).set_function(lambda: time.time() - self.current.modified if self.current else math.nan)
        Gauge(
            "tarsel_model_loaded_timestamp_seconds",
            "When the served model was loaded",
            registry=self.registry,
        ).set_function(lambda: self.current.loaded_at if self.current else math.nan)
        self.coalesced = Counter(
            "tarsel_coalesced_requests",
            "Requests answered together with others by one recommend_batch",
            registry=self.registry,
        )
        Gauge(
            "tarsel_open_connections",
            "HTTP connections open in this process",
            registry=self.registry,
        ).set_function(lambda: len(_OPEN))

    # ---- lifecycle

    @contextlib.asynccontextmanager
    async def lifespan(self, app: Any):
        self.pool = ThreadPoolExecutor(self.threads, thread_name_prefix="tarsel-request")
        self._reloading = asyncio.Lock()
        loop = asyncio.get_running_loop()
        if self.current is not None:
            initial, self.current = self.current, None
            await loop.run_in_executor(None, self._adopt, initial)
            self.current = initial
            self._announce(initial)
        elif not await self.reload(force=True) and self.require_model:
            # a worker process that fails to start: its supervisor keeps the
            # worker it was to replace
            self.pool.shutdown()
            raise RuntimeError(f"cannot load {self.path!r}; see the log line before")
        with contextlib.suppress(ValueError, RuntimeError, NotImplementedError, AttributeError):
            # only the main thread of a process may take signals
            loop.add_signal_handler(
                signal.SIGHUP, lambda: asyncio.ensure_future(self.reload(force=True))
            )
        tasks = [asyncio.ensure_future(self._sweep())]
        if self.reload_interval > 0:
            tasks.append(asyncio.ensure_future(self._watch()))
        try:
            yield
        finally:
            for task in tasks:
                task.cancel()
                with contextlib.suppress(asyncio.CancelledError):
                    await task
            with contextlib.suppress(ValueError, RuntimeError, NotImplementedError, AttributeError):
                loop.remove_signal_handler(signal.SIGHUP)
            self.pool.shutdown(wait=True)
            _flush_logs()  # a worker process ends without running exit handlers

    async def _watch(self) -> None:
        while True:
            await asyncio.sleep(self.reload_interval)
            await self.reload()

    async def _sweep(self) -> None:
        """Close connections that have waited longer than the header timeout
        for a request's headers (uvicorn's keep-alive timer closes idle ones,
        but not one that sent part of a request, or nothing since it opened).
        Once the process shuts down, every connection without a request
        running is closed at the next look."""
        while True:
            await asyncio.sleep(
                0.1 if _GUARD["draining"] else min(1.0, self.limits.header_timeout / 4)
            )
            limit = 0.0 if _GUARD["draining"] else self.limits.header_timeout
            now = time.monotonic()
            for protocol, seen in list(_OPEN.items()):
                cycle = getattr(protocol, "cycle", None)
                if cycle is not seen[0] or (cycle is not None and not cycle.response_complete):
                    seen[0], seen[1] = cycle, now  # a request began, or is running
                elif now - seen[1] >= limit and not protocol.transport.is_closing():
                    protocol.transport.close()

    def _adopt(self, loaded: _Loaded) -> None:
        """Replay the journal onto a model just loaded (the events newer than
        its data) and trim the entries it covers; on a loader thread."""
        if not self.allow_updates and not os.path.exists(self.journal.path):
            return
        replayed = _replay(loaded, self.journal.read(loaded.cursor), newer_only=True)
        trimmed = self.journal.trim(loaded.cut) if loaded.cut is not None else 0
        if loaded.cut is None:
            log.warning(
                "the model does not record the newest time of its data: the whole journal is "
                "replayed onto it and none of it is trimmed",
                extra={"fields": {"event": "journal", "journal": self.journal.path}},
            )
        log.info(
            "journal replayed",
            extra={
                "fields": {
                    "event": "journal",
                    "journal": self.journal.path,
                    "replayed_events": replayed,
                    "trimmed_entries": trimmed,
                    "cut": loaded.cut,
                }
            },
        )

    def _prepare(self) -> _Loaded:
        loaded = _load_file(self.path)
        self._adopt(loaded)
        return loaded

    async def reload(self, force: bool = False) -> bool:
        """Load the model file again when it changed (always with ``force``)
        and swap it in; a file that fails to load is refused and logged.
        Returns whether a new model is now served."""
        assert self._reloading is not None
        async with self._reloading:
            try:
                identity = _identity(os.stat(self.path))
            except OSError as exc:
                if force or self.current is None or not self._missing:
                    log.error(
                        "cannot read the model file; the served model goes on serving",
                        extra={"fields": {"event": "reload", "path": self.path, "error": str(exc)}},
                    )
                self._missing = True
                return False
            self._missing = False
            current = self.current.identity if self.current else None
            if not force and identity in (current, self._refused):
                return False
            loop = asyncio.get_running_loop()
            try:
                # on its own thread, so requests go on meanwhile
                loaded = await loop.run_in_executor(None, self._prepare)
            except BaseException as exc:  # noqa: B036 - native failures derive from it
                if isinstance(exc, (KeyboardInterrupt, SystemExit, asyncio.CancelledError)):
                    raise
                self._refused = identity
                self.reloads.labels("refused").inc()
                log.error(
                    "refused the new model file; the old model goes on serving",
                    extra={
                        "fields": {
                            "event": "reload",
                            "path": self.path,
                            "error": " ".join(str(exc).split()),
                        }
                    },
                )
                return False
            self.current, self._refused = loaded, None
            self.reloads.labels("loaded").inc()
            self._announce(loaded)
            return True

    def _announce(self, loaded: _Loaded) -> None:
        self.info.info({"path": loaded.path, "checksum": loaded.checksum})
        log.info(
            "model loaded",
            extra={
                "fields": {
                    "event": "reload",
                    "path": loaded.path,
                    "checksum": loaded.checksum,
                    "users": len(loaded.model.users_),
                    "items": len(loaded.model.items_),
                }
            },
        )

    # ---- requests

    def loaded(self) -> _Loaded:
        if self.current is None:
            raise ClientError(503, "no model is loaded yet")
        return self.current

    def _catch_up(self, loaded: _Loaded) -> None:
        """Apply the journal's entries that other processes wrote since this
        model last looked."""
        if self.allow_updates and self.journal.behind(loaded.cursor):
            with loaded.lock.writing():
                _replay(loaded, self.journal.read(loaded.cursor), newer_only=False)

    async def answer(
        self, call: Callable[[Any], Any], encode: Callable | None = None, kind: str = ""
    ) -> Any:
        """``call(model)`` beside any update, after the journal's new entries;
        its answer comes back encoded as JSON (or by ``encode``). It runs on
        the request pool, or on the event loop itself when the calls of its
        ``kind`` ("recommend", "batch", "similar") with their encoding have lately
        taken less than ``INLINE_SECONDS`` and no update can interfere: a hop
        to a thread and back costs more than such a call."""
        encode = encode or _encode
        cost = self._costs.get(kind)

        def run(loaded: _Loaded) -> Any:
            # CPU time of this thread: on a busy pool the wall-clock time also
            # holds the waits for the interpreter lock, which would keep short
            # calls off the event loop for good
            started = time.thread_time()
            if not self.allow_updates:
                found = call(loaded.model)
            else:
                self._catch_up(loaded)
                with loaded.lock.reading():
                    found = call(loaded.model)
            encoded = encode(found)
            if cost is not None:  # a moving average of the recent calls
                self._costs[kind] = 0.95 * cost + 0.05 * (time.thread_time() - started)
            return encoded

        if cost is not None and cost < self.INLINE_SECONDS and not self.allow_updates:
            return run(self.loaded())
        return await self._on_pool(run)

    async def post_events(self, entry: dict) -> bytes:
        """Journal the events, then apply every entry the served model lacks
        (this one last)."""
        journal = self.journal

        def run(loaded: _Loaded) -> bytes:
            model = loaded.model
            with loaded.lock.writing():
                new = len({u for u in entry["user"] if u not in model.users_})
                if new > self.limits.max_new_users:
                    raise ClientError(
                        400,
                        f"the events name {new} new users; at most "
                        f"{self.limits.max_new_users} may join in one request",
                    )
                entries = journal.append(loaded.cursor, entry)
                _replay(loaded, entries[:-1], newer_only=False)
                columns = model.columns_
                table = {columns["user_col"]: entry["user"], columns["item_col"]: entry["item"]}
                if columns.get("time_col"):
                    table[columns["time_col"]] = entry["time"]
                return _encode(model.update(table))

        return await self._on_pool(run)

    async def _on_pool(self, run: Callable[[_Loaded], Any]) -> Any:
        loop = asyncio.get_running_loop()
        loaded = self.loaded()
        try:
            return await loop.run_in_executor(self.pool, run, loaded)
        except _Stale:
            # the journal dropped entries this model lacks: the model file
            # covers them (a newer model may already be served)
            if self.current is loaded:
                await self.reload(force=True)
            return await loop.run_in_executor(self.pool, run, self.loaded())

    def observe(self, endpoint: str, request: Any, status: int, started: float) -> None:
        elapsed = time.perf_counter() - started
        key = (endpoint, status)
        counted = self._counted.get(key)
        if counted is None:  # metric children by label, looked up once
            counted = self._counted[key] = (
                self.requests.labels(endpoint, str(status)),
                self.latency.labels(endpoint),
            )
        counted[0].inc()
        counted[1].observe(elapsed)
        if log.isEnabledFor(logging.INFO):
            client = request.scope.get("client")
            log.info(
                "request",
                extra={
                    "fields": {
                        "event": "request",
                        "method": request.scope["method"],
                        "path": request.scope["path"],
                        "status": status,
                        "ms": round(elapsed * 1e3, 3),
                        "client": client[0] if client else None,
                    }
                },
            )


class _Batcher:
    """Recommendations for single users, answered together. Requests that
    arrive in the same turn of the event loop queue by (n, exclude_owned),
    and each queue goes to the engine as one ``recommend_batch`` when the turn
    ends and a thread of the pool is free; while every thread is busy, when one
    comes free, when the queue holds ``size`` requests or when its first
    request has waited ``wait`` seconds. One batch call costs the engine's
    per-call work and the hop to a thread once for all its requests. Each
    answer equals the request's own ``recommend``; a batch whose rows cannot
    be told apart (a request without rows) is answered request by request."""

    def __init__(self, service: _Service, size: int = 64, wait: float = 0.002):
        self.service, self.size, self.wait = service, size, wait
        self.busy = 0  # batch calls under way
        self.queues: dict[tuple, list] = {}

    async def recommend(self, user: Any, items: list | None, n: int, options: dict) -> bytes:
        loop = asyncio.get_running_loop()
        future = loop.create_future()
        key = (n, options.get("exclude_owned"))
        queue = self.queues.setdefault(key, [])
        queue.append((user, items, future))
        if len(queue) >= self.size:
            self._flush(key)
        elif len(queue) == 1:
            # after the other requests that this turn of the loop reads
            loop.call_soon(self._turn_ended, key, queue)
        return await future

    def _turn_ended(self, key: tuple, queue: list) -> None:
        if self.queues.get(key) is not queue:
            return
        if self.busy < self.service.threads:
            self._flush(key)
        else:
            asyncio.get_running_loop().call_later(self.wait, self._expire, key, queue)

    def _next(self) -> None:
        if self.queues and self.busy < self.service.threads:
            self._flush(next(iter(self.queues)))  # the oldest queue

    def _expire(self, key: tuple, queue: list) -> None:
        if self.queues.get(key) is queue:
            self._flush(key)

    def _flush(self, key: tuple) -> None:
        self.busy += 1
        asyncio.ensure_future(self._run(key, self.queues.pop(key)))

    async def _run(self, key: tuple, queue: list) -> None:
        n, exclude = key
        options = {} if exclude is None else {"exclude_owned": exclude}
        users, baskets = [r[0] for r in queue], [r[1] for r in queue]
        try:
            if len(queue) == 1:  # one call of recommend costs less than a batch of one
                answers = [
                    await self.service.answer(
                        _recommending(users[0], baskets[0], n, options), kind="recommend"
                    )
                ]
            else:
                answers = await self.service.answer(
                    lambda m: _coalesced(m, users, baskets, n, options),
                    lambda found: found and [_encode(a) for a in found],
                    kind="batch",
                )
        except Exception:
            answers = None
        finally:
            self.busy -= 1
            self._next()
        for k, (user, items, future) in enumerate(queue):
            if future.done():
                continue
            try:
                if answers is None:  # each request on its own, with its own error
                    answer = await self.service.answer(_recommending(user, items, n, options))
                else:
                    answer = answers[k]
                    if len(queue) > 1:
                        self.service.coalesced.inc()
            except BaseException as exc:  # noqa: B036 - handed to the waiting request
                future.set_exception(exc)
            else:
                future.set_result(answer)


def _recommending(user: Any, items: list | None, n: int, options: dict) -> Callable:
    return lambda m: {"user": user, **_rows(m.recommend(user, n, items=items, **options))}


def _coalesced(model: Any, users: list, baskets: list, n: int, options: dict) -> list | None:
    """One ``recommend_batch`` cut into the answers ``recommend`` gives each
    request; None when a request got no rows (its place in the table is then
    ambiguous)."""
    import numpy as np

    items = baskets if any(b is not None for b in baskets) else None
    found = model.recommend_batch(users, n, items=items, **options)
    starts = (found["rank"] == 1).nonzero()[0].tolist()
    if len(starts) != len(users):
        return None
    starts.append(len(found["rank"]))
    out = []
    for k, (user, basket) in enumerate(zip(users, baskets)):
        rows = {key: found[key][starts[k] : starts[k + 1]] for key in ("item", "score", "source")}
        answer = {"user": user, **_rows(rows)}
        if basket is not None:
            answer["unknown_items"] = int(np.count_nonzero(model.items_.index(basket) < 0))
        out.append(answer)
    return out


# Connections open in this process: protocol -> [the request cycle last seen,
# since when], read by _Service._sweep; the cap on their number, and whether
# the process has begun to shut down (every answer then closes its connection).
_OPEN: dict[Any, list] = {}
_GUARD: dict[str, Any] = {"max_connections": Limits.max_connections, "draining": False}


class _Gathering:
    """A transport that sends what one turn of the event loop writes to it
    with one system call. uvicorn writes an answer's head and its body
    separately, and each write to an idle socket is a send of its own: two
    sends (and two wake-ups of the client) per answer instead of one."""

    __slots__ = ("_transport", "_loop", "_parts")

    def __init__(self, transport: Any, loop: asyncio.AbstractEventLoop):
        self._transport, self._loop = transport, loop
        self._parts: list[bytes] = []

    def write(self, data: bytes) -> None:
        if data:
            if not self._parts:
                self._loop.call_soon(self._flush)
            self._parts.append(data)

    def writelines(self, lines: Any) -> None:
        for data in lines:
            self.write(data)

    def _flush(self) -> None:
        if self._parts:
            data = b"".join(self._parts) if len(self._parts) > 1 else self._parts[0]
            self._parts = []
            if not self._transport.is_closing():
                self._transport.write(data)

    def close(self) -> None:
        self._flush()
        self._transport.close()

    def write_eof(self) -> None:
        self._flush()
        self._transport.write_eof()

    def abort(self) -> None:
        self._parts = []
        self._transport.abort()

    def get_write_buffer_size(self) -> int:
        return sum(map(len, self._parts)) + self._transport.get_write_buffer_size()

    # what uvicorn calls on every request, passed on without a look-up
    def is_closing(self) -> bool:
        return self._transport.is_closing()

    def pause_reading(self) -> None:
        self._transport.pause_reading()

    def resume_reading(self) -> None:
        self._transport.resume_reading()

    def __getattr__(self, name: str) -> Any:
        return getattr(self._transport, name)


def __getattr__(name: str) -> Any:
    # uvicorn's HTTP protocol with a cap on connections and a record of them,
    # made on first use (uvicorn is an optional dependency)
    if name != "_GuardedProtocol":
        raise AttributeError(f"module {__name__!r} has no attribute {name!r}")
    from uvicorn.protocols.http import auto

    # uvicorn types its chosen protocol as a variable, which is no valid base
    # class to a type checker
    base: Any = auto.AutoHTTPProtocol

    class _GuardedProtocol(base):
        """uvicorn's protocol with a cap on connections, a record of them for
        the sweep, and a shutdown that ends keep-alive for good.

        On SIGTERM uvicorn closes its listener and asks the connections it
        knows of to close after their current answer. A connection the kernel
        handed over just before the listener closed is set up a moment later,
        after that request, and uvicorn would then keep it alive for as long as
        its client sends requests (past the shutdown limit, when the requests
        in flight are cancelled). So the process marks itself draining when
        uvicorn begins the shutdown, or when a connection arrives through a
        listener that no longer serves; from then on every answer carries
        ``Connection: close`` and the sweep closes idle connections."""

        def connection_made(self, transport: Any) -> None:
            # asyncio's server-side transports keep the listener they came through
            listener = getattr(transport, "_server", None)
            if listener is not None and not listener.is_serving():
                _GUARD["draining"] = True
            super().connection_made(_Gathering(transport, asyncio.get_running_loop()))
            if len(_OPEN) >= _GUARD["max_connections"]:
                transport.close()
                return
            _OPEN[self] = [None, time.monotonic()]

        def shutdown(self) -> None:
            _GUARD["draining"] = True  # uvicorn calls this on each connection as it shuts down
            super().shutdown()

        def connection_lost(self, exc: Exception | None) -> None:
            _OPEN.pop(self, None)
            super().connection_lost(exc)

    globals()[name] = _GuardedProtocol
    return _GuardedProtocol


# ------------------------------------------------------------- handlers


def _handlers(service: _Service) -> list:
    limits = service.limits

    async def recommend_user(request) -> bytes:
        model = service.loaded().model
        user = _id(model.users_, request.path_params["user"], "user", limits)
        n = _count(request.query_params.get("n", "10"), limits.max_n)
        options = _exclude_owned(request.query_params.get("exclude_owned"))
        return await service.batcher.recommend(user, None, n, options)

    async def recommend_post(request) -> bytes:
        body = await _json_body(request, limits.max_body_bytes, dict, limits.body_timeout)
        model = service.loaded().model
        _only_keys(body, ("user", "items", "n", "exclude_owned"))
        user = _id(model.users_, body.get("user"), "user", limits, allow_none=True)
        n = _count(body.get("n", 10), limits.max_n)
        items = _items(model.items_, body.get("items"), limits)
        options = _exclude_owned(body.get("exclude_owned"))
        return await service.batcher.recommend(user, items, n, options)

    async def recommend_batch(request) -> bytes:
        body = await _json_body(request, limits.max_body_bytes, dict, limits.body_timeout)
        model = service.loaded().model
        _only_keys(body, ("users", "items", "n", "exclude_owned"))
        users = body.get("users")
        if not isinstance(users, list) or len(users) > limits.max_batch_users:
            raise ClientError(
                400, f"'users' must be a list of at most {limits.max_batch_users} user ids"
            )
        users = [_id(model.users_, u, "user", limits, allow_none=True) for u in users]
        n = _count(body.get("n", 10), limits.max_n)
        if len(users) * n > limits.max_rows:
            raise ClientError(
                400,
                f"{len(users)} users x n={n} is over the limit of {limits.max_rows} result rows "
                "per request",
            )
        items = body.get("items")
        if items is not None:
            if not isinstance(items, list) or len(items) != len(users):
                raise ClientError(400, "'items' must hold one list (or null) per user")
            items = [_items(model.items_, basket, limits) for basket in items]
        options = _exclude_owned(body.get("exclude_owned"))

        def call(m: Any) -> dict:
            found = m.recommend_batch(users, n, items=items, **options)
            return {
                "results": _per_user(users, found),
                "unknown_items": found.get("unknown_items", 0),
            }

        return await service.answer(call)

    async def similar(request) -> bytes:
        model = service.loaded().model
        item = _id(model.items_, request.path_params["item"], "item", limits)
        if item not in model.items_:
            raise ClientError(404, f"unknown item {item!r}")
        n = _count(request.query_params.get("n", "10"), limits.max_n)
        return await service.answer(
            lambda m: {"item": item, "similar": _rows(m.similar_items(item, n))}, kind="similar"
        )

    async def events(request) -> bytes:
        if not service.allow_updates:
            raise ClientError(403, "updates are off; start the service with --allow-updates")
        body = await _json_body(request, limits.max_events_body_bytes, dict, limits.body_timeout)
        loaded = service.loaded()
        _only_keys(body, ("events",))
        entry = _event_entry(loaded, body.get("events"), limits)
        return await service.post_events(entry)

    async def healthz(request) -> Any:
        current = service.current
        if current is None:
            return _json_response({"status": "no model loaded"}, 503)
        return {
            "status": "ok",
            "model": current.path,
            "checksum": current.checksum,
            "loaded_at": current.loaded_at,
        }

    async def metrics(request) -> Any:
        from prometheus_client import CONTENT_TYPE_LATEST, generate_latest
        from starlette.responses import Response

        return Response(
            generate_latest(service.registry), media_type=CONTENT_TYPE_LATEST, headers=_closing()
        )

    return [
        ("/recommend/batch", "recommend_batch", recommend_batch, "POST"),
        ("/recommend", "recommend", recommend_post, "POST"),
        ("/recommend/{user:path}", "recommend_user", recommend_user, "GET"),
        ("/similar/{item:path}", "similar", similar, "GET"),
        ("/events", "events", events, "POST"),
        ("/healthz", "healthz", healthz, "GET"),
        ("/metrics", "metrics", metrics, "GET"),
    ]


def _endpoint(service: _Service, name: str, handler: Callable) -> Callable:
    """The handler with its errors turned into JSON answers, timed, counted and
    logged. A client that leaves before its request is read is logged at info
    level and counted with status 499."""
    from starlette.requests import ClientDisconnect

    from tarsel import _core

    async def endpoint(request):
        started = time.perf_counter()
        try:
            result = await handler(request)
            if isinstance(result, bytes):
                response = _json_response(result)
            elif isinstance(result, (dict, list)):
                response = _json_response(_encode(result))
            else:
                response = result
        except ClientError as exc:
            response = _json_response({"error": exc.message}, exc.status)
        except ClientDisconnect:
            log.info(
                "the client closed the connection before its request was read",
                extra={"fields": {"event": "aborted", "path": request.scope["path"]}},
            )
            service.observe(name, request, 499, started)
            return _json_response(b"{}", 499)
        except (ValueError, TypeError, KeyError, OverflowError) as exc:
            # the library's refusals of bad arguments
            response = _json_response({"error": _message(exc)}, 400)
        except (Exception, _core.InternalFailure):
            log.exception(
                "request failed",
                extra={"fields": {"event": "error", "path": request.scope["path"]}},
            )
            response = _json_response({"error": "internal error"}, 500)
        service.observe(name, request, response.status_code, started)
        return response

    return endpoint


def _message(exc: BaseException) -> str:
    text = exc.args[0] if isinstance(exc, KeyError) and exc.args else exc
    return " ".join(str(text).split())


def _encode(content: Any) -> bytes:
    return json.dumps(
        content, separators=(",", ":"), allow_nan=False, default=_json_default
    ).encode()


def _json_response(content: Any, status: int = 200) -> Any:
    """A JSON answer from encoded bytes or a value. A refusal before the body
    was read (413, 408) closes the connection, as the rest of the body would
    otherwise be taken for the next request; so does every answer once the
    process shuts down."""
    from starlette.responses import Response

    body = content if isinstance(content, bytes) else _encode(content)
    return Response(
        body, status_code=status, media_type="application/json", headers=_closing(status)
    )


def _closing(status: int = 200) -> dict | None:
    """The header that ends the connection after this answer, when it must."""
    return {"connection": "close"} if status in (408, 413) or _GUARD["draining"] else None


def _json_default(value: Any) -> Any:
    import numpy as np

    if isinstance(value, np.generic):
        return value.item()
    raise TypeError(f"cannot encode {type(value).__name__}")


# ------------------------------------------------------- request reading


async def _json_body(request: Any, limit: int, kind: type, timeout: float) -> Any:
    declared = request.headers.get("content-length")
    if declared is not None and (not declared.isdigit() or int(declared) > limit):
        raise ClientError(413, f"the request body is over the limit of {limit} bytes")
    chunks, size = [], 0
    try:
        async with asyncio.timeout(timeout):
            async for chunk in request.stream():
                size += len(chunk)
                if size > limit:
                    raise ClientError(413, f"the request body is over the limit of {limit} bytes")
                chunks.append(chunk)
    except TimeoutError:
        raise ClientError(408, f"the request body did not arrive within {timeout:g} s") from None
    try:
        body = json.loads(b"".join(chunks))
    except (ValueError, RecursionError):
        raise ClientError(400, "the request body is not valid JSON") from None
    if not isinstance(body, kind):
        raise ClientError(400, f"the request body must be a JSON {kind.__name__}")
    return body


def _only_keys(body: dict, allowed: tuple) -> None:
    unknown = sorted(set(body) - set(allowed))
    if unknown:
        raise ClientError(400, f"unknown field {unknown[0]!r}; expected {', '.join(allowed)}")


_INTEGER = re.compile(r"-?[0-9]+")
_NUMBER = re.compile(r"-?[0-9]+(\.[0-9]+)?([eE][-+]?[0-9]+)?")


def _shown(value: Any) -> str:
    return json.dumps(value, default=str)[:100]


def _id(ids: Any, value: Any, what: str, limits: Limits, allow_none: bool = False) -> Any:
    """A user or item id of the model's id type, from a path or JSON value,
    read strictly: integer ids from JSON integers or ASCII digits within 64-bit
    range, number ids from finite numbers, text ids from strings; no id longer
    than the limit or holding NUL."""
    if value is None and allow_none:
        return None
    if isinstance(value, str):
        if len(value) > limits.max_id_length:
            raise ClientError(
                400,
                f"{what} id is {len(value)} characters long, over the limit of "
                f"{limits.max_id_length}",
            )
        if "\0" in value:
            raise ClientError(400, f"{what} id must not contain NUL: {_shown(value)}")
    kind = ids.ids.dtype.kind
    if isinstance(value, bool):
        pass
    elif kind == "i":
        if isinstance(value, str) and _INTEGER.fullmatch(value):
            value = int(value)
        if isinstance(value, int):
            if -_INT64 <= value < _INT64:
                return value
            raise ClientError(400, f"{what} id {value} is outside the 64-bit integer range")
    elif kind == "f":
        if isinstance(value, str) and _NUMBER.fullmatch(value):
            value = float(value)
        if isinstance(value, (int, float)) and math.isfinite(value):
            return float(value)
    elif kind == "U":
        # A text file's ids are read as text, so a JSON integer on such a model
        # means the id written with those digits.
        if isinstance(value, int):
            value = str(value)
        if isinstance(value, str):
            return value
    elif isinstance(value, (int, float, str)):
        return value
    expected = {"i": "an integer", "f": "a number", "U": "a string"}.get(kind, "a scalar")
    raise _WrongType(400, f"{what} id must be {expected} for this model, not {_shown(value)}")


def _items(ids: Any, values: Any, limits: Limits) -> list | None:
    """Basket ids of the model's type; one that cannot be an item of the model
    becomes None, which the model counts as unknown."""
    if values is None:
        return None
    if not isinstance(values, list) or len(values) > limits.max_items:
        raise ClientError(400, f"'items' must be a list of at most {limits.max_items} item ids")
    out = []
    for value in values:
        try:
            out.append(_id(ids, value, "item", limits))
        except _WrongType:
            out.append(None)
    return out


def _count(value: Any, limit: int) -> int:
    n = -1
    if isinstance(value, int) and not isinstance(value, bool):
        n = value
    elif isinstance(value, str) and len(value) <= 20 and _INTEGER.fullmatch(value):
        n = int(value)
    if not 0 <= n <= limit:
        raise ClientError(400, f"n must be an integer from 0 to {limit}, not {_shown(value)}")
    return n


def _exclude_owned(value: Any) -> dict:
    if value is None:
        return {}
    flags = {"true": True, "1": True, "false": False, "0": False}
    if isinstance(value, bool):
        return {"exclude_owned": value}
    if isinstance(value, str) and value.lower() in flags:
        return {"exclude_owned": flags[value.lower()]}
    raise ClientError(400, "exclude_owned must be true or false")


def _event_time(value: Any, low: float, high: float) -> float:
    """UNIX seconds from a number, a numeric string or ISO 8601 text (without
    a zone: UTC), inside (low, high]."""
    seconds = math.nan
    if isinstance(value, (int, float)) and not isinstance(value, bool):
        seconds = float(value)
    elif isinstance(value, str) and len(value) <= 64:
        if _NUMBER.fullmatch(value):
            seconds = float(value)
        else:
            with contextlib.suppress(ValueError):
                moment = datetime.datetime.fromisoformat(value)
                if moment.tzinfo is None:
                    moment = moment.replace(tzinfo=datetime.UTC)
                seconds = moment.timestamp()
    if not math.isfinite(seconds):
        raise ClientError(
            400, f"event time must be UNIX seconds or an ISO 8601 date, not {_shown(value)}"
        )
    if not low < seconds <= high:
        raise ClientError(
            400,
            f"event time {_shown(value)} is outside the accepted window: after {_iso(low)} "
            f"and up to {_iso(high)}",
        )
    return seconds


def _iso(seconds: float) -> str:
    return datetime.datetime.fromtimestamp(seconds, datetime.UTC).isoformat(timespec="seconds")


def _event_entry(loaded: _Loaded, events: Any, limits: Limits) -> dict:
    """The events checked and in the journal's form: ids of the model's type
    and times in UNIX seconds. A time must lie after the newest event of the
    served file's data (a reload takes the data as holding the events up to
    then), no more than ``event_max_age`` before the clock and no more than
    ``event_max_lead`` after it."""
    if not isinstance(events, list) or not events or len(events) > limits.max_events:
        raise ClientError(400, f"'events' must be a list of 1 to {limits.max_events} event objects")
    model = loaded.model
    columns = model.columns_
    names = [columns["user_col"], columns["item_col"]]
    time_col = columns.get("time_col")
    if time_col:
        names.append(time_col)
    now = time.time()
    low = now - limits.event_max_age
    if loaded.cut is not None:
        low = max(low, loaded.cut)
    high = now + limits.event_max_lead
    users, items, times = [], [], []
    for event in events:
        if not isinstance(event, dict) or any(name not in event for name in names):
            raise ClientError(
                400, f"each event must be an object with the fields {', '.join(map(repr, names))}"
            )
        users.append(_id(model.users_, event[names[0]], "user", limits))
        try:
            items.append(_id(model.items_, event[names[1]], "item", limits))
        except _WrongType:
            items.append(None)
        if time_col:
            times.append(_event_time(event[time_col], low, high))
    return {"user": users, "item": items, "time": times if time_col else None}


# --------------------------------------------------------------- answers


def _rows(found: dict) -> dict:
    out = {
        "item": found["item"].tolist(),
        "score": _floats(found["score"]),
        "source": found["source"].tolist(),
    }
    if "unknown_items" in found:
        out["unknown_items"] = int(found["unknown_items"])
    return out


def _floats(values: Any) -> list:
    return [v if math.isfinite(v) else None for v in values.tolist()]


def _per_user(users: list, found: dict) -> list[dict]:
    """The batch's long table cut into one answer per requested user. Each
    user's rows are contiguous and ranked from 1; a user without rows (who
    owns every item) is skipped over by matching the next rows' user."""
    out = [{"user": u, "item": [], "score": [], "source": []} for u in users]
    starts = (found["rank"] == 1).nonzero()[0].tolist() + [len(found["rank"])]
    table_users = found["user"].tolist()
    j = 0
    for begin, end in zip(starts, starts[1:]):
        k = j
        while k < len(users) and not (
            users[k] is table_users[begin] or users[k] == table_users[begin]
        ):
            k += 1
        k = j if k == len(users) else k  # ids equal to nothing (NaN) keep the order
        out[k].update(_rows({key: found[key][begin:end] for key in ("item", "score", "source")}))
        j = k + 1
    return out


# ------------------------------------------------------------------ app


def create_app(
    model_path: str,
    *,
    allow_updates: bool = False,
    reload_interval: float = 2.0,
    threads: int | None = None,
    limits: Limits = Limits(),
    journal: str | None = None,
) -> Any:
    """The ASGI application serving one model file.

    Parameters
    ----------
    model_path : str
        A model file written by ``Recommender.save`` or ``tarsel fit``. It is
        loaded when the application starts; ``/healthz`` answers 503 until then.
    allow_updates : bool
        Whether ``POST /events`` may add events to the served model.
    reload_interval : float
        Seconds between checks of the model file for a replacement (0: never;
        SIGHUP reloads in any case).
    threads : int, optional
        Threads that run the model's calls (default: the number of CPUs).
    limits : Limits
        Limits on requests and connections.
    journal : str, optional
        The journal of accepted events (default: the model's path with
        ``.journal`` added); used when updates are allowed.

    Returns
    -------
    starlette.applications.Starlette

    Raises
    ------
    ImportError
        When the ``serve`` extra is not installed.

    Notes
    -----
    Starlette's ``TestClient`` drives the application in-process, as the
    tests do; it needs ``httpx``, which the ``test`` extra installs and the
    ``serve`` extra does not.

    Examples
    --------
    >>> import os, tempfile
    >>> from tarsel import Recommender
    >>> model = Recommender(gate_users=0).fit(
    ...     {"user": [1, 1, 2, 2, 3, 3], "item": ["a", "b", "a", "b", "b", "c"]})
    >>> path = os.path.join(tempfile.mkdtemp(), "shop.model")
    >>> model.save(path)
    >>> app = create_app(path)
    >>> sorted(route.path for route in app.routes)  # doctest: +NORMALIZE_WHITESPACE
    ['/events', '/healthz', '/metrics', '/recommend', '/recommend/batch',
     '/recommend/{user:path}', '/similar/{item:path}']
    >>> import uvicorn
    >>> uvicorn.run(app, host="127.0.0.1", port=8000)  # doctest: +SKIP
    """
    return _build(
        model_path,
        allow_updates=allow_updates,
        reload_interval=reload_interval,
        threads=threads,
        limits=limits,
        initial=None,
        journal=journal,
    )


def _build(
    model_path: str,
    *,
    allow_updates: bool,
    reload_interval: float,
    threads: int | None,
    limits: Limits,
    initial: _Loaded | None,
    require_model: bool = False,
    journal: str | None = None,
) -> Any:
    _require()
    from starlette.applications import Starlette
    from starlette.exceptions import HTTPException
    from starlette.routing import Route

    service = _Service(
        os.path.abspath(model_path),
        allow_updates=allow_updates,
        reload_interval=reload_interval,
        threads=threads,
        limits=limits,
        initial=initial,
        require_model=require_model,
        journal=journal and os.path.abspath(journal),
    )
    _GUARD.update(max_connections=limits.max_connections, draining=False)
    routes = [
        Route(path, _endpoint(service, name, handler), methods=[method], name=name)
        for path, name, handler, method in _handlers(service)
    ]

    async def http_error(request, exc: HTTPException):
        response = _json_response({"error": exc.detail}, exc.status_code)
        service.observe("other", request, exc.status_code, time.perf_counter())
        return response

    handlers: dict[Any, Any] = {HTTPException: http_error}
    app = Starlette(routes=routes, lifespan=service.lifespan, exception_handlers=handlers)
    app.state.service = service
    return app


def _require() -> None:
    try:
        import prometheus_client  # noqa: F401
        import starlette  # noqa: F401
        import uvicorn  # noqa: F401
    except ImportError as exc:
        raise ImportError(
            f"tarsel serve needs {exc.name}, which is not installed; install "
            "the extra with: pip install 'tarsel[serve]'"
        ) from None


# ------------------------------------------------------------------ CLI


# the limits that ``tarsel serve`` takes as options, with their help
_COMMAND_LIMITS = (
    ("max_id_length", "characters of one id"),
    ("event_max_age", "seconds an event time may lie before the clock"),
    ("event_max_lead", "seconds an event time may lie after the clock"),
    ("max_connections", "open connections per process"),
    ("header_timeout", "seconds for a request's headers to arrive"),
    ("body_timeout", "seconds for a request's body to arrive"),
    ("keep_alive_timeout", "seconds an idle connection stays open"),
)


def add_serve_command(commands: Any) -> argparse.ArgumentParser:
    """Add ``tarsel serve`` to the command line's subcommands.

    Parameters
    ----------
    commands : argparse._SubParsersAction
        The subcommands of the ``tarsel`` parser.

    Returns
    -------
    argparse.ArgumentParser
        The ``serve`` parser, which runs ``serve`` through its ``run`` default.

    Examples
    --------
    >>> parser = argparse.ArgumentParser(prog="tarsel")
    >>> _ = add_serve_command(parser.add_subparsers())
    >>> args = parser.parse_args(["serve", "shop.model", "--port", "9000"])
    >>> args.model, args.host, args.port, args.workers, args.allow_updates
    ('shop.model', '127.0.0.1', 9000, 1, False)
    """
    parser = commands.add_parser(
        "serve",
        help="serve a model over HTTP",
        description="Serve a model file over HTTP; see the module tarsel.serve for the endpoints.",
    )
    parser.add_argument("model", help="a model file written by 'tarsel fit'")
    parser.add_argument("--host", default="127.0.0.1", help="address (default 127.0.0.1)")
    parser.add_argument("--port", type=int, default=8000, help="port (default 8000)")
    parser.add_argument(
        "--workers",
        type=int,
        default=1,
        help="processes, each with its own copy of the model (default 1)",
    )
    parser.add_argument(
        "--threads",
        type=int,
        default=None,
        help="threads per process for model calls (default: CPUs)",
    )
    parser.add_argument(
        "--allow-updates", action="store_true", help="accept new events on POST /events"
    )
    parser.add_argument(
        "--journal",
        default=None,
        help="the journal of accepted events (default: MODEL.journal)",
    )
    parser.add_argument(
        "--reload-interval",
        type=float,
        default=2.0,
        help="seconds between checks for a new model file (0: only SIGHUP)",
    )
    for name, help_text in _COMMAND_LIMITS:
        default = getattr(Limits, name)
        parser.add_argument(
            "--" + name.replace("_", "-"),
            type=type(default),
            default=default,
            help=f"{help_text} (default {default:.15g})",
        )
    parser.add_argument(
        "--log-level",
        default="info",
        choices=("debug", "info", "warning", "error"),
        help="'info' logs one line per request (default)",
    )
    parser.set_defaults(run=_run)
    return parser


def _run(args: argparse.Namespace) -> int:
    try:
        _require()
    except ImportError as exc:
        print(f"tarsel: error: {exc}", file=sys.stderr)
        return 2
    if args.workers < 1 or args.threads is not None and args.threads < 1:
        raise ValueError("--workers and --threads must be at least 1")
    if not 0 <= args.port <= 65535:
        raise ValueError(f"--port must be from 0 to 65535, not {args.port}")
    limits = Limits(**{name: getattr(args, name) for name, _ in _COMMAND_LIMITS})
    if any(getattr(limits, name) <= 0 for name, _ in _COMMAND_LIMITS):
        raise ValueError("the limits and timeouts must be positive")
    serve(
        os.path.abspath(args.model),
        host=args.host,
        port=args.port,
        workers=args.workers,
        allow_updates=args.allow_updates,
        reload_interval=args.reload_interval,
        threads=args.threads,
        log_level=args.log_level,
        limits=limits,
        journal=args.journal,
    )
    return 0


def serve(
    model: str,
    *,
    host: str = "127.0.0.1",
    port: int = 8000,
    workers: int = 1,
    allow_updates: bool = False,
    reload_interval: float = 2.0,
    threads: int | None = None,
    log_level: str = "info",
    limits: Limits = Limits(),
    journal: str | None = None,
) -> None:
    """Run the service until interrupted (what ``tarsel serve`` does).

    The model file is loaded first, so a missing or damaged file stops here
    with its error instead of starting a service without a model. SIGTERM or
    Ctrl-C stops accepting connections and lets the requests in flight finish
    (for up to 30 s).

    Parameters
    ----------
    model : str
        The model file.
    host, port : str, int
        Where to listen.
    workers : int
        Processes; each loads its own copy of the model and watches the file
        by itself, and ``/metrics`` reports the process that answers. SIGHUP
        to the main process replaces the workers one at a time; a new worker
        that cannot load the file does not start, and the old one serves on.
        With updates allowed, each worker applies the journal's new entries
        before it answers.
    allow_updates, reload_interval, threads, limits, journal
        As for ``create_app``.
    log_level : str
        "info" logs one JSON line per request.

    Returns
    -------
    None

    Raises
    ------
    ValueError, OSError
        When the model file cannot be loaded.
    ImportError
        When the ``serve`` extra is not installed.
    """
    import uvicorn

    path = os.path.abspath(model)
    initial = _load_file(path)  # the file's errors, before listening
    _configure_logging(log_level)
    settings: dict[str, Any] = {
        "model": path,
        "allow_updates": allow_updates,
        "reload_interval": reload_interval,
        "threads": threads,
        "log_level": log_level,
        "limits": dataclasses.asdict(limits),
        "journal": journal and os.path.abspath(journal),
    }
    options: dict[str, Any] = {
        "host": host,
        "port": port,
        "log_config": None,
        "access_log": False,
        "log_level": log_level,
        "http": "tarsel.serve:_GuardedProtocol",
        "timeout_keep_alive": limits.keep_alive_timeout,
        "timeout_graceful_shutdown": 30,
        "h11_max_incomplete_event_size": 64 * 1024,
    }
    if workers == 1:
        uvicorn.run(_app_of(settings, initial=initial), **options)
        return
    del initial  # each worker loads its own copy
    os.environ[_ENV] = json.dumps(settings)
    uvicorn.run("tarsel.serve:_app_from_environment", factory=True, workers=workers, **options)


def _app_of(settings: dict, initial: _Loaded | None) -> Any:
    return _build(
        settings["model"],
        allow_updates=settings["allow_updates"],
        reload_interval=settings["reload_interval"],
        threads=settings["threads"],
        limits=Limits(**settings["limits"]),
        initial=initial,
        require_model=initial is None,
        journal=settings["journal"],
    )


def _app_from_environment() -> Any:
    """The application of a worker process, from the settings its parent left
    in the environment."""
    settings = json.loads(os.environ[_ENV])
    _configure_logging(settings["log_level"])
    return _app_of(settings, initial=None)


class _JsonFormatter(logging.Formatter):
    """One JSON object per line: time, level, logger, message and the record's
    ``fields``."""

    def format(self, record: logging.LogRecord) -> str:
        line = {
            "time": round(record.created, 3),
            "level": record.levelname.lower(),
            "logger": record.name,
            "message": record.getMessage(),
        }
        line.update(getattr(record, "fields", {}))
        if record.exc_info:
            line["traceback"] = self.formatException(record.exc_info)
        return json.dumps(line, default=str)


class _GatheringHandler(logging.StreamHandler):
    """Writes the lines of a quarter second at once (warnings and errors at
    once), so that a request's log line costs no system call of its own."""

    def __init__(self, stream: Any):
        super().__init__(stream)
        self._lines: list[str] = []
        threading.Thread(target=self._flush_often, daemon=True).start()

    def emit(self, record: logging.LogRecord) -> None:
        try:
            line = self.format(record) + "\n"
        except Exception:
            self.handleError(record)
            return
        with self.lock:  # type: ignore[union-attr]
            self._lines.append(line)
        if record.levelno >= logging.WARNING:
            self.flush()

    def flush(self) -> None:
        with self.lock:  # type: ignore[union-attr]
            lines, self._lines = self._lines, []
            if lines:
                with contextlib.suppress(OSError, ValueError):
                    self.stream.write("".join(lines))
                    self.stream.flush()

    def _flush_often(self) -> None:
        while True:
            time.sleep(0.25)
            self.flush()


def _flush_logs() -> None:
    for handler in logging.getLogger().handlers:
        handler.flush()


def _configure_logging(level: str) -> None:
    handler = _GatheringHandler(sys.stderr)
    handler.setFormatter(_JsonFormatter())
    root = logging.getLogger()
    root.handlers[:] = [handler]
    root.setLevel(level.upper())
