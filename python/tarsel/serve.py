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

Ids follow the model's id type: with integer ids, path ids and JSON strings
are read as integers. Bad input gets a 4xx answer ``{"error": message}``;
``Limits`` holds the request size limits (413 for a body over them, 400 for
the rest).
Native calls run on a thread pool (the engine releases the interpreter lock),
so the event loop keeps accepting requests meanwhile.

The model file is watched: when it is replaced (or on SIGHUP) the new file is
loaded beside the served model and swapped in at once; requests already
running finish on the model they started with. A file that does not load is
refused with a log line and the old model goes on serving.

Events posted to ``/events`` change the served model in memory only: a
reload replaces them with the file's contents.

Starlette, uvicorn and prometheus-client come with ``pip install 'tarsel[serve]'``.
"""

from __future__ import annotations

import argparse
import asyncio
import contextlib
import hashlib
import json
import logging
import math
import os
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


@dataclass(frozen=True)
class Limits:
    """What one request may ask for; larger requests get 413 or 400."""

    max_n: int = 1000  # results per user
    max_body_bytes: int = 1 << 20  # request body of the recommend endpoints
    max_batch_users: int = 1000  # users in one batch request
    max_items: int = 1000  # basket items per user
    max_events_body_bytes: int = 16 << 20  # request body of /events
    max_events: int = 100_000  # events in one /events request


class ClientError(Exception):
    """A request the service refuses: the HTTP status and the message."""

    def __init__(self, status: int, message: str):
        super().__init__(message)
        self.status, self.message = status, message


# ------------------------------------------------------------- the model


@dataclass(frozen=True)
class _Loaded:
    """One loaded model file and what the metrics say about it."""

    model: Any
    path: str
    identity: tuple
    checksum: str
    modified: float
    loaded_at: float
    lock: _ReadWriteLock = field(default_factory=lambda: _ReadWriteLock())


def _identity(stat: os.stat_result) -> tuple:
    return stat.st_dev, stat.st_ino, stat.st_size, stat.st_mtime_ns


def _load_file(path: str) -> _Loaded:
    """Load a model file, with the first 16 hex digits of its SHA-256 (a file
    replaced between the two reads shows a new identity, and the watcher loads
    it again)."""
    from tarsel import Recommender

    digest = hashlib.sha256()
    with open(path, "rb") as handle:
        stat = os.fstat(handle.fileno())
        while chunk := handle.read(1 << 22):
            digest.update(chunk)
    model = Recommender.load(path)
    return _Loaded(
        model, path, _identity(stat), digest.hexdigest()[:16], stat.st_mtime, time.time()
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


# ----------------------------------------------------------- the service


class _Service:
    """The served model, its reloading, the request pool and the metrics."""

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
    ):
        from prometheus_client import CollectorRegistry, Counter, Gauge, Histogram, Info

        self.path, self.allow_updates, self.limits = path, allow_updates, limits
        self.reload_interval, self.require_model = reload_interval, require_model
        self.current: _Loaded | None = initial
        self.threads = threads or os.cpu_count() or 2
        self.pool: ThreadPoolExecutor | None = None
        self._refused: tuple | None = None
        self._reloading: asyncio.Lock | None = None
        self.registry = CollectorRegistry()
        self._counted: dict[tuple, tuple] = {}
        self.requests = Counter(
            "tarsel_requests",
            "Requests answered, by endpoint and status",
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
        if initial is not None:
            self._announce(initial)

    # ---- lifecycle

    @contextlib.asynccontextmanager
    async def lifespan(self, app: Any):
        self.pool = ThreadPoolExecutor(self.threads, thread_name_prefix="tarsel-request")
        self._reloading = asyncio.Lock()
        loop = asyncio.get_running_loop()
        if self.current is None and not await self.reload(force=True) and self.require_model:
            # a worker process that fails to start: its supervisor keeps the
            # worker it was to replace
            self.pool.shutdown()
            raise RuntimeError(f"cannot load {self.path!r}; see the log line before")
        with contextlib.suppress(ValueError, RuntimeError, NotImplementedError, AttributeError):
            # only the main thread of a process may take signals
            loop.add_signal_handler(
                signal.SIGHUP, lambda: asyncio.ensure_future(self.reload(force=True))
            )
        watcher = asyncio.ensure_future(self._watch()) if self.reload_interval > 0 else None
        try:
            yield
        finally:
            if watcher is not None:
                watcher.cancel()
                with contextlib.suppress(asyncio.CancelledError):
                    await watcher
            with contextlib.suppress(ValueError, RuntimeError, NotImplementedError, AttributeError):
                loop.remove_signal_handler(signal.SIGHUP)
            self.pool.shutdown(wait=True)

    async def _watch(self) -> None:
        while True:
            await asyncio.sleep(self.reload_interval)
            await self.reload()

    async def reload(self, force: bool = False) -> bool:
        """Load the model file again when it changed (always with ``force``)
        and swap it in; a file that fails to load is refused and logged.
        Returns whether a new model is now served."""
        assert self._reloading is not None
        async with self._reloading:
            try:
                identity = _identity(os.stat(self.path))
            except OSError as exc:
                if force or self.current is None:
                    log.error(
                        "cannot read the model file",
                        extra={"fields": {"event": "reload", "path": self.path, "error": str(exc)}},
                    )
                return False
            current = self.current.identity if self.current else None
            if not force and identity in (current, self._refused):
                return False
            loop = asyncio.get_running_loop()
            try:
                # on its own thread, so requests go on meanwhile
                loaded = await loop.run_in_executor(None, _load_file, self.path)
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

    async def read(self, loaded: _Loaded, call: Callable[[Any], Any]) -> Any:
        """``call(model)`` on the request pool, beside any update."""

        def run() -> Any:
            if not self.allow_updates:
                return call(loaded.model)
            with loaded.lock.reading():
                return call(loaded.model)

        return await asyncio.get_running_loop().run_in_executor(self.pool, run)

    async def write(self, loaded: _Loaded, call: Callable[[Any], Any]) -> Any:
        def run() -> Any:
            with loaded.lock.writing():
                return call(loaded.model)

        return await asyncio.get_running_loop().run_in_executor(self.pool, run)

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


# ------------------------------------------------------------- handlers


def _handlers(service: _Service) -> list:
    limits = service.limits

    async def recommend_user(request) -> dict:
        loaded = service.loaded()
        user = _id(loaded.model.users_, request.path_params["user"], "user")
        n = _count(request.query_params.get("n", "10"), limits.max_n)
        options = _exclude_owned(request.query_params.get("exclude_owned"))
        found = await service.read(loaded, lambda m: m.recommend(user, n, **options))
        return {"user": user, **_rows(found)}

    async def recommend_post(request) -> dict:
        body = await _json_body(request, limits.max_body_bytes, dict)
        loaded = service.loaded()
        _only_keys(body, ("user", "items", "n", "exclude_owned"))
        user = _id(loaded.model.users_, body.get("user"), "user", allow_none=True)
        n = _count(body.get("n", 10), limits.max_n)
        items = _items(loaded.model.items_, body.get("items"), limits.max_items)
        options = _exclude_owned(body.get("exclude_owned"))
        found = await service.read(loaded, lambda m: m.recommend(user, n, items=items, **options))
        return {"user": user, **_rows(found)}

    async def recommend_batch(request) -> dict:
        body = await _json_body(request, limits.max_body_bytes, dict)
        loaded = service.loaded()
        _only_keys(body, ("users", "items", "n", "exclude_owned"))
        users = body.get("users")
        if not isinstance(users, list) or len(users) > limits.max_batch_users:
            raise ClientError(
                400, f"'users' must be a list of at most {limits.max_batch_users} user ids"
            )
        users = [_id(loaded.model.users_, u, "user", allow_none=True) for u in users]
        n = _count(body.get("n", 10), limits.max_n)
        items = body.get("items")
        if items is not None:
            if not isinstance(items, list) or len(items) != len(users):
                raise ClientError(400, "'items' must hold one list (or null) per user")
            items = [_items(loaded.model.items_, basket, limits.max_items) for basket in items]
        options = _exclude_owned(body.get("exclude_owned"))
        found = await service.read(
            loaded, lambda m: m.recommend_batch(users, n, items=items, **options)
        )
        return {"results": _per_user(users, found), "unknown_items": found.get("unknown_items", 0)}

    async def similar(request) -> dict:
        loaded = service.loaded()
        item = _id(loaded.model.items_, request.path_params["item"], "item")
        if item not in loaded.model.items_:
            raise ClientError(404, f"unknown item {item!r}")
        n = _count(request.query_params.get("n", "10"), limits.max_n)
        found = await service.read(loaded, lambda m: m.similar_items(item, n))
        return {"item": item, "similar": _rows(found)}

    async def events(request) -> dict:
        if not service.allow_updates:
            raise ClientError(403, "updates are off; start the service with --allow-updates")
        body = await _json_body(request, limits.max_events_body_bytes, dict)
        loaded = service.loaded()
        _only_keys(body, ("events",))
        table = _event_table(loaded.model, body.get("events"), limits.max_events)
        return await service.write(loaded, lambda m: m.update(table))

    async def healthz(request) -> Any:
        from starlette.responses import JSONResponse

        current = service.current
        if current is None:
            return JSONResponse({"status": "no model loaded"}, status_code=503)
        return {
            "status": "ok",
            "model": current.path,
            "checksum": current.checksum,
            "loaded_at": current.loaded_at,
        }

    async def metrics(request) -> Any:
        from prometheus_client import CONTENT_TYPE_LATEST, generate_latest
        from starlette.responses import Response

        return Response(generate_latest(service.registry), media_type=CONTENT_TYPE_LATEST)

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
    logged."""
    from tarsel import _core

    async def endpoint(request):
        started = time.perf_counter()
        try:
            result = await handler(request)
            response = _json_response(result) if isinstance(result, (dict, list)) else result
        except ClientError as exc:
            response = _json_response({"error": exc.message}, exc.status)
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


def _json_response(content: Any, status: int = 200) -> Any:
    from starlette.responses import Response

    body = json.dumps(content, separators=(",", ":"), allow_nan=False, default=_json_default)
    return Response(body, status_code=status, media_type="application/json")


def _json_default(value: Any) -> Any:
    import numpy as np

    if isinstance(value, np.generic):
        return value.item()
    raise TypeError(f"cannot encode {type(value).__name__}")


# ------------------------------------------------------- request reading


async def _json_body(request: Any, limit: int, kind: type) -> Any:
    declared = request.headers.get("content-length")
    if declared is not None and (not declared.isdigit() or int(declared) > limit):
        raise ClientError(413, f"the request body is over the limit of {limit} bytes")
    chunks, size = [], 0
    async for chunk in request.stream():
        size += len(chunk)
        if size > limit:
            raise ClientError(413, f"the request body is over the limit of {limit} bytes")
        chunks.append(chunk)
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


def _id(ids: Any, value: Any, what: str, allow_none: bool = False) -> Any:
    """A user or item id of the model's id type, from a path or JSON value."""
    if value is None and allow_none:
        return None
    kind = ids.ids.dtype.kind
    try:
        if isinstance(value, bool):
            raise ValueError
        if kind == "i" and isinstance(value, (int, str)):
            return int(value)
        if kind == "f" and isinstance(value, (int, float, str)):
            return float(value)
        if kind == "U" and isinstance(value, str):
            return value
        if kind not in "ifU" and isinstance(value, (int, float, str)):
            return value
    except ValueError:
        pass
    expected = {"i": "an integer", "f": "a number", "U": "a string"}.get(kind, "a scalar")
    raise ClientError(
        400,
        f"{what} id must be {expected} for this model, not {json.dumps(value, default=str)[:100]}",
    )


def _items(ids: Any, values: Any, limit: int) -> list | None:
    """Basket ids of the model's type; one that cannot be an item of the model
    becomes None, which the model counts as unknown."""
    if values is None:
        return None
    if not isinstance(values, list) or len(values) > limit:
        raise ClientError(400, f"'items' must be a list of at most {limit} item ids")
    out = []
    for value in values:
        try:
            out.append(_id(ids, value, "item"))
        except ClientError:
            out.append(None)
    return out


def _count(value: Any, limit: int) -> int:
    try:
        if isinstance(value, bool) or isinstance(value, float):
            raise ValueError
        n = int(value)
    except (TypeError, ValueError):
        n = -1
    if not 0 <= n <= limit:
        raise ClientError(
            400,
            f"n must be an integer from 0 to {limit}, not {json.dumps(value, default=str)[:100]}",
        )
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


def _event_table(model: Any, events: Any, limit: int) -> dict:
    """The events as a table with the model's column names."""
    if not isinstance(events, list) or not events or len(events) > limit:
        raise ClientError(400, f"'events' must be a list of 1 to {limit} event objects")
    columns = model.columns_
    names = [columns["user_col"], columns["item_col"]]
    if columns.get("time_col"):
        names.append(columns["time_col"])
    table: dict[str, list] = {name: [] for name in names}
    for event in events:
        if not isinstance(event, dict) or any(name not in event for name in names):
            raise ClientError(
                400, f"each event must be an object with the fields {', '.join(map(repr, names))}"
            )
        for name in names:
            table[name].append(event[name])
    table[names[0]] = [_id(model.users_, u, "user") for u in table[names[0]]]
    table[names[1]] = _items(model.items_, table[names[1]], limit) or []
    if len(names) == 3 and not all(
        isinstance(t, (int, float, str)) and not isinstance(t, bool) for t in table[names[2]]
    ):
        raise ClientError(400, "event times must be numbers (UNIX seconds) or ISO dates")
    return table


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
        Request size limits.

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
    )
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
        "--reload-interval",
        type=float,
        default=2.0,
        help="seconds between checks for a new model file (0: only SIGHUP)",
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
    config = {
        "model": os.path.abspath(args.model),
        "allow_updates": args.allow_updates,
        "reload_interval": args.reload_interval,
        "threads": args.threads,
        "log_level": args.log_level,
    }
    serve(**config, host=args.host, port=args.port, workers=args.workers)
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
) -> None:
    """Run the service until interrupted (what ``tarsel serve`` does).

    The model file is loaded first, so a missing or damaged file stops here
    with its error instead of starting a service without a model. Events
    accepted by ``POST /events`` live in the process's memory: a reload
    replaces them with the file's contents, so save an updated model (or
    refit) and replace the file to keep them.

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
    allow_updates, reload_interval, threads
        As for ``create_app``.
    log_level : str
        "info" logs one JSON line per request.

    Returns
    -------
    None

    Raises
    ------
    ValueError, OSError
        When the model file cannot be loaded, or updates are asked for with
        more than one worker.
    ImportError
        When the ``serve`` extra is not installed.
    """
    import uvicorn

    if allow_updates and workers > 1:
        raise ValueError(
            "--allow-updates needs --workers 1: each worker holds its own copy of the model, "
            "and an event would reach only one of them"
        )
    initial = _load_file(os.path.abspath(model))  # the file's errors, before listening
    _configure_logging(log_level)
    settings: dict[str, Any] = {
        "model": os.path.abspath(model),
        "allow_updates": allow_updates,
        "reload_interval": reload_interval,
        "threads": threads,
        "log_level": log_level,
    }
    options: dict[str, Any] = {
        "host": host,
        "port": port,
        "log_config": None,
        "access_log": False,
        "log_level": log_level,
    }
    if workers == 1:
        app = _build(
            settings["model"],
            allow_updates=allow_updates,
            reload_interval=reload_interval,
            threads=threads,
            limits=Limits(),
            initial=initial,
        )
        uvicorn.run(app, **options)
        return
    del initial  # each worker loads its own copy
    os.environ[_ENV] = json.dumps(settings)
    uvicorn.run("tarsel.serve:_app_from_environment", factory=True, workers=workers, **options)


def _app_from_environment() -> Any:
    """The application of a worker process, from the settings its parent left
    in the environment."""
    settings = json.loads(os.environ[_ENV])
    _configure_logging(settings["log_level"])
    return _build(
        settings["model"],
        allow_updates=settings["allow_updates"],
        reload_interval=settings["reload_interval"],
        threads=settings["threads"],
        limits=Limits(),
        initial=None,
        require_model=True,
    )


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


def _configure_logging(level: str) -> None:
    handler = logging.StreamHandler(sys.stderr)
    handler.setFormatter(_JsonFormatter())
    root = logging.getLogger()
    root.handlers[:] = [handler]
    root.setLevel(level.upper())
