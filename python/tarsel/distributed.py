"""Fitting and batch recommending on a Dask cluster (``pip install 'tarsel[dask]'``).

``fit`` gives the model a single-machine ``Recommender.fit`` gives for the same
rows. The events are shuffled so that every user's events sit in one partition;
each partition validates and numbers its events, orders them, builds its users'
sessions, pairs and histories, and then, in native code over its own users,
the steps whose cost grows with the square of a user's history: the
co-occurrence graph, the EASE Gram contribution, the session and transition
graphs. Partial graphs are summed in a tree reduction on the workers, and one
worker finishes the fit: the graph transforms, the EASE solve, the content
neighbours, the steps linear in the events (counts, trend, user-CF index,
repeat profiles, baselines), the gates and the engine. The client only ever
holds futures, the per-partition row counts and the finished model.

Equality rests on three things: ids are numbered by their first row in the
frame (the partitions in order), as ``prepare_interactions`` numbers them;
events are put in (time, row) order, the order a stable sort by time of the
whole table gives; and each user's results depend only on that user's events.
"""

from __future__ import annotations

import hashlib
from collections.abc import Callable
from dataclasses import dataclass, replace
from typing import Any, overload

import numpy as np

from tarsel import _core
from tarsel._fitting import GraphSums, ease_item_limit, raw_cooccurrence
from tarsel._gates import draw_users, eligible_users, held_events
from tarsel._model import FittedModel, Summed, fit_model
from tarsel._settings import Settings
from tarsel.data import (
    IdMap,
    Interactions,
    UserHistories,
    checked_maps,
    column,
    events_of,
    feature_item_ids,
    no_positive_weight,
    numeric_column,
    prepare_item_features,
    resolve_weighting,
    timestamps_of,
)
from tarsel.recommender import Recommender, model_bytes, of_model

__all__ = ["fit", "recommend_batch"]

_POS = "__tarsel_row"  # the row's place in the whole frame, partitions in order
_NOT_BY_USER = (
    "events are not partitioned by user: a user's events span partitions "
    "(pass user_partitioned=False to shuffle them)"
)


def _dask():
    try:
        import dask
        import dask.dataframe as dd
        import distributed  # noqa: F401
    except ImportError:
        raise ImportError(
            "tarsel.distributed needs Dask; install it with pip install 'tarsel[dask]'"
        ) from None
    return dask, dd


# ---------------------------------------------------------------------- fit


def fit(
    client: Any,
    events: Any,
    item_features: Any = None,
    *,
    user_col: str = "user",
    item_col: str = "item",
    time_col: str | None = None,
    weight_col: str | None = None,
    session_col: str | None = None,
    time_format: str | None = None,
    drop_duplicates: bool = False,
    user_partitioned: bool = False,
    shuffle_method: str | None = None,
    **settings: Any,
) -> Recommender:
    """Fit a ``Recommender`` on a Dask DataFrame of events, on the cluster.

    The result equals ``Recommender(**settings).fit(events.compute(), ...)``:
    the same id maps, counts, graphs, gate decisions and recommendations (see
    the notes on float sums in ``docs/scaling.md``).

    Parameters
    ----------
    client : distributed.Client
        The cluster to run on.
    events : dask.dataframe.DataFrame
        One row per event, with the columns named below.
    item_features : table, optional
        Item features as ``Recommender.fit`` takes them (a pandas DataFrame or
        dict of arrays); they are read on one worker.
    user_col, item_col, time_col, weight_col, session_col, time_format : str
        Column names and the format of text times, as in ``Recommender.fit``.
    drop_duplicates : bool, default False
        Leave out exact duplicate rows, as ``Recommender.fit`` does.
    user_partitioned : bool, default False
        True when every user's events already sit in one partition: the
        shuffle is skipped (and a user found in two partitions is an error).
    shuffle_method : str, optional
        Dask's shuffle method ("p2p" or "tasks"); by default Dask's choice
        (p2p on a cluster; "tasks" starts faster on small frames).
    **settings
        ``Recommender`` settings.

    Returns
    -------
    Recommender
        A fitted model, as ``Recommender.fit`` leaves it.

    Raises
    ------
    ValueError
        For unknown settings and for bad data, with the message a
        single-machine fit gives (a bad partition fails the whole fit), and
        when ``user_partitioned`` is true but a user spans partitions.
    ImportError
        When Dask is not installed.

    Examples
    --------
    >>> import dask.dataframe as dd, pandas as pd  # doctest: +SKIP
    >>> from distributed import Client, LocalCluster  # doctest: +SKIP
    >>> from tarsel import distributed  # doctest: +SKIP
    >>> client = Client(LocalCluster(n_workers=2))  # doctest: +SKIP
    >>> frame = pd.DataFrame({"user": [1, 1, 2, 2], "item": ["a", "b", "a", "c"]})
    ... # doctest: +SKIP
    >>> events = dd.from_pandas(frame, npartitions=2)  # doctest: +SKIP
    >>> model = distributed.fit(client, events, gate_users=0)  # doctest: +SKIP
    >>> model.recommend(1, n=1)["item"].tolist()  # doctest: +SKIP
    ['c']
    """
    _dask()
    model = Recommender().set_params(**settings)
    Settings.from_params(model.get_params())  # bad settings fail here, as in fit
    weighting = resolve_weighting(model.weighting, weight_col)
    columns = {
        "user_col": user_col,
        "item_col": item_col,
        "time_col": time_col,
        "weight_col": weight_col,
        "session_col": session_col,
    }
    wanted = [c for c in columns.values() if c]
    for option, name in columns.items():
        if name:
            column(events._meta, name, "interactions", option)  # a missing column fails here
    columns["time_format"] = time_format
    extra = feature_item_ids(item_features, item_col).tolist() if item_features is not None else []
    job = _Job(model.get_params(), columns, weighting, bool(drop_duplicates))

    raw = client.compute(
        _by_user(events[wanted], user_col, user_partitioned, shuffle_method, client)
    )
    scans = client.map(_scan, raw, job=job)
    maps = client.submit(_id_maps, _tree(client, scans, _merge_scans), extra, job)
    shared = client.submit(_shared, maps)  # what every partition needs
    blocks = client.map(_prepare_block, raw, maps=shared, job=job)
    del raw, scans
    eligible = client.map(_eligible, blocks)
    chosen = client.submit(_draw, eligible, shared, job)
    full = _tree(client, client.map(_partial, blocks, maps=shared, job=job), _add)
    held = client.map(_held_out, blocks, chosen=chosen)
    train_span = client.submit(_train_span, held)
    train = _tree(
        client,
        client.map(_partial, blocks, maps=shared, job=job, chosen=chosen, span=train_span),
        _add,
    )
    duplicates = client.submit(sum, client.map(_duplicates, blocks))
    blob = client.submit(_finish, job, maps, full, train, held, chosen, item_features, duplicates)
    fitted = FittedModel.from_bytes(blob.result())
    fitted.kept.warn_if_served()
    return of_model(Recommender, fitted)


@dataclass(frozen=True)
class _Job:
    params: dict
    columns: dict
    weighting: str
    drop_duplicates: bool = False

    @property
    def settings(self) -> Settings:
        return Settings.from_params(self.params)


def _by_user(
    events: Any, user_col: str, user_partitioned: bool, method: str | None, client: Any
) -> list:
    """The partitions as delayed pandas frames, each with the rows' places in the
    whole frame, every user's rows in one partition."""
    dask, dd = _dask()
    parts = events.to_delayed()
    lengths = client.compute([dask.delayed(len)(p) for p in parts], sync=True)
    offsets = np.concatenate([[0], np.cumsum(lengths)[:-1]]).astype(np.int64).tolist()
    placed = [dask.delayed(_with_rows)(p, o) for p, o in zip(parts, offsets)]
    if user_partitioned or len(placed) == 1:
        return placed
    meta = events._meta.assign(**{_POS: np.zeros(0, dtype=np.int64)})
    frame = dd.from_delayed(placed, meta=meta, verify_meta=False)
    return frame.shuffle(on=user_col, npartitions=len(placed), shuffle_method=method).to_delayed()


def _with_rows(frame: Any, offset: int) -> Any:
    return frame.assign(**{_POS: np.arange(offset, offset + len(frame), dtype=np.int64)})


def _tree(client: Any, futures: list, combine: Callable) -> Any:
    """Pairwise reduction of futures on the workers."""
    futures = list(futures)
    while len(futures) > 1:
        paired = [client.submit(combine, a, b) for a, b in zip(futures[::2], futures[1::2])]
        futures = paired + futures[len(paired) * 2 :]
    return futures[0]


# ------------------------------------------------- ids (a distributed unique)


def _firsts(values: np.ndarray, rows: np.ndarray, what: str) -> tuple[list, np.ndarray]:
    """The distinct ids of ``values`` and the first row of each."""
    found, codes = IdMap.encode(values, what)
    first = np.unique(codes, return_index=True)[1]
    return found.ids.tolist(), rows[first]


def _scan(frame: Any, job: _Job) -> dict:
    """Validates a partition as ``prepare_interactions`` does and lists its ids
    with their first rows."""
    c = job.columns
    rows = column(frame, _POS)
    users = _firsts(column(frame, c["user_col"]), rows, f"user column {c['user_col']!r}")
    items = _firsts(column(frame, c["item_col"]), rows, f"item column {c['item_col']!r}")
    span = (np.inf, -np.inf)
    if c["time_col"]:
        times = timestamps_of(column(frame, c["time_col"]), c["time_col"], c["time_format"])
        if len(times):
            span = (float(times.min()), float(times.max()))
    positive = True
    if c["weight_col"]:
        positive = bool((numeric_column(column(frame, c["weight_col"]), c["weight_col"]) > 0).any())
    return {"users": users, "items": items, "span": span, "events": len(rows), "positive": positive}


def _merge_firsts(a: tuple, b: tuple) -> tuple[list, np.ndarray]:
    ids = a[0] + b[0]
    rows = np.concatenate([a[1], b[1]])
    first: dict = {}
    for k in np.argsort(rows, kind="stable").tolist():
        first.setdefault(ids[k], rows[k])
    return list(first), np.asarray(list(first.values()), dtype=np.int64)


def _merge_scans(a: dict, b: dict) -> dict:
    return {
        "users": _merge_firsts(a["users"], b["users"]),
        "items": _merge_firsts(a["items"], b["items"]),
        "span": (min(a["span"][0], b["span"][0]), max(a["span"][1], b["span"][1])),
        "events": a["events"] + b["events"],
        "positive": a["positive"] or b["positive"],
    }


@dataclass
class _Maps:
    users: IdMap | None  # None in the copy sent to partitions
    items: IdMap
    span: tuple[float, float]  # first and last event time
    events: int
    firsts: np.ndarray  # first row of each user, ascending: users are numbered by it

    @property
    def n_users(self) -> int:
        return len(self.firsts)


def _id_maps(scan: dict, extra: list, job: _Job) -> _Maps:
    if scan["events"] == 0:
        raise ValueError("interactions are empty")
    users_by_row = np.argsort(scan["users"][1], kind="stable")
    items_by_row = np.argsort(scan["items"][1], kind="stable")
    # the partitions' ids together: one partition's integers and another's text mix here
    users = IdMap([scan["users"][0][k] for k in users_by_row.tolist()])
    items = IdMap([scan["items"][0][k] for k in items_by_row.tolist()])
    items = checked_maps(users, items, extra, job.columns["user_col"], job.columns["item_col"])
    if not scan["positive"]:
        raise ValueError(no_positive_weight(job.columns["weight_col"]))
    return _Maps(users, items, scan["span"], scan["events"], scan["users"][1][users_by_row])


def _shared(maps: _Maps) -> _Maps:
    """The maps without the user ids: a partition finds its users' numbers from
    their first rows, so no worker but the last holds every user id."""
    return replace(maps, users=None)


# --------------------------------------------------- one partition's users


@dataclass
class _Block:
    """One partition's events as the whole table's arrays restricted to its
    users: global item indices, users renumbered 0..m-1 in global order."""

    data: Interactions
    rows: np.ndarray  # global row of each local user, ascending
    positions: np.ndarray  # each event's row in the whole frame


def _duplicates(block: _Block) -> int:
    # exact duplicate rows found: a user's rows are all in its partition
    return block.data.duplicates


def _prepare_block(frame: Any, maps: _Maps, job: _Job) -> _Block:
    c = job.columns
    _, users = IdMap.encode(column(frame, c["user_col"]), f"user column {c['user_col']!r}")
    pos = column(frame, _POS)
    first = pos[np.unique(users, return_index=True)[1]]
    found = np.minimum(np.searchsorted(maps.firsts, first), max(maps.n_users - 1, 0))
    if len(first) and not np.array_equal(maps.firsts[found], first):
        raise ValueError(_NOT_BY_USER)
    users = found[users]
    item_idx = maps.items.index(column(frame, c["item_col"]))
    times = (
        timestamps_of(column(frame, c["time_col"]), c["time_col"], c["time_format"])
        if c["time_col"]
        else None
    )
    weights = (
        numeric_column(column(frame, c["weight_col"]), c["weight_col"])
        if c["weight_col"]
        else np.ones(len(users))
    )
    labels = (
        IdMap.encode(column(frame, c["session_col"]), f"session column {c['session_col']!r}")[1]
        if c["session_col"]
        else None
    )
    # the partition's users numbered 0..m-1 in global order
    rows, user_idx = np.unique(users, return_inverse=True)
    data, pos = events_of(
        IdMap(range(len(rows))),
        maps.items,
        user_idx.reshape(-1).astype(np.int64),
        item_idx,
        times,
        weights,
        labels,
        pos,
        weighting=job.weighting,
        session_gap_seconds=job.settings.session_gap_seconds,
        drop_duplicates=job.drop_duplicates,
    )
    return _Block(data, rows, pos)


def _eligible(block: _Block) -> tuple[np.ndarray, int]:
    """The partition's users the gates may hold out (global rows), and its
    number of users."""
    return block.rows[eligible_users(block.data)], len(block.rows)


def _draw(eligible: list, maps: _Maps, job: _Job) -> np.ndarray | None:
    """The held-out users (global rows), drawn from all partitions' eligible
    users as a single-machine fit draws them."""
    if sum(n for _, n in eligible) != maps.n_users:
        raise ValueError(_NOT_BY_USER)
    settings = job.settings
    pool = np.sort(np.concatenate([rows for rows, _ in eligible]))
    return draw_users(pool, settings.gate_users, settings.random_state)


def _held_mask(block: _Block, chosen: np.ndarray) -> np.ndarray:
    return held_events(block.data, np.isin(block.rows, chosen))


def _held_out(block: _Block, chosen: np.ndarray | None) -> dict | None:
    """The frame rows of this partition's held-out events, and the time span
    of what remains."""
    if chosen is None:
        return None
    data = block.data
    held = _held_mask(block, chosen)
    span = (np.inf, -np.inf)
    if data.timestamps is not None:
        kept = data.timestamps[~held]
        if len(kept):
            span = (float(kept.min()), float(kept.max()))
    return {"positions": block.positions[held], "span": span}


def _train_span(held: list) -> tuple[float, float]:
    spans = [h["span"] for h in held if h is not None] or [(np.inf, -np.inf)]
    return min(s[0] for s in spans), max(s[1] for s in spans)


# ------------------------------------------------------------- partial sums


@dataclass
class _Partial:
    """What one group of users adds to a fit. Sparse matrices are COO with
    keys row * n_items + column, ascending, and float64 values."""

    n_items: int
    cooc: tuple
    gram: tuple | None  # (off-diagonal COO, diagonal) when EASE is fitted
    users_per_item: np.ndarray
    sessions: tuple[int, int]  # (sessions with two or more items, sessions)
    session: tuple | None
    directed: tuple | None
    # per group of users: (global rows, hist_indptr, hist_items) and their events
    # as (global user, item, time, row) for the steps that read events
    users: list
    events: list


def _coo(csr: tuple, n: int) -> tuple[np.ndarray, np.ndarray]:
    data, indices, indptr = csr
    rows = np.repeat(np.arange(len(indptr) - 1, dtype=np.int64), np.diff(indptr))
    return rows * n + indices.astype(np.int64), data.astype(np.float64)


@overload
def _coo_add(a: tuple, b: tuple) -> tuple: ...


@overload
def _coo_add(a: tuple | None, b: tuple | None) -> tuple | None: ...


def _coo_add(a: tuple | None, b: tuple | None) -> tuple | None:
    if a is None or b is None:
        return a if b is None else b
    keys = np.concatenate([a[0], b[0]])
    if not len(keys):
        return a
    # two ascending runs: a stable sort merges them in linear time
    order = np.argsort(keys, kind="stable")
    keys, values = keys[order], np.concatenate([a[1], b[1]])[order]
    start = np.flatnonzero(np.concatenate([[True], keys[1:] != keys[:-1]]))
    return keys[start], np.add.reduceat(values, start)


def _csr(coo: tuple, n: int, dtype=np.float32) -> tuple:
    keys, values = coo
    indptr = np.zeros(n + 1, dtype=np.int32)
    np.cumsum(np.bincount(keys // n, minlength=n), out=indptr[1:])
    return values.astype(dtype), (keys % n).astype(np.int32), indptr


def _partial(
    block: _Block,
    maps: _Maps,
    job: _Job,
    chosen: np.ndarray | None = None,
    span: tuple | None = None,
) -> _Partial | None:
    """The item-item graphs over one partition's users, on all their events, or
    (given the drawn users) on those left after holding out the gates' data."""
    if span is not None and chosen is None:
        return None  # no gates: nothing is fitted without held-out data
    kept = np.ones(len(block.positions), bool) if chosen is None else ~_held_mask(block, chosen)
    data = block.data if chosen is None else block.data.select_events(kept)
    settings, n = job.settings, len(maps.items)
    cooc = _coo(raw_cooccurrence(settings, data), n)
    gram = None
    if n <= ease_item_limit(settings)[0]:
        # X^T X: the pure co-occurrence of the pair weights plus their squares
        off = (
            cooc
            if settings.cooc_kernel == "pure_count"
            else _coo(
                _core.build_cooccurrence(
                    data.pair_user, data.pair_item, data.pair_weight, data.n_users, n
                ),
                n,
            )
        )
        w = data.pair_weight.astype(np.float64)
        gram = (off, np.bincount(data.pair_item, weights=w * w, minlength=n))
    sessions, session, directed = (0, 0), None, None
    if data.session_idx is not None:
        _, first = np.unique(data.session_idx * n + data.item_idx, return_index=True)
        per_session = np.bincount(np.unique(data.session_idx[first], return_inverse=True)[1])
        sessions = (int(np.count_nonzero(per_session >= 2)), len(per_session))
        ones = np.ones(len(first), dtype=np.float32)
        session = _coo(
            _core._build_session_cooccurrence_arrays(
                data.session_idx[first], data.item_idx[first], ones, data.n_sessions, n
            ),
            n,
        )
        ones = np.ones(len(data.item_idx), dtype=np.float32)
        directed = _coo(
            _core._build_directional_cooc_arrays(
                data.session_idx,
                data.item_idx,
                ones,
                data.n_sessions,
                n,
                timestamps=data.timestamps,
            ),
            n,
        )
    events = (block.rows[data.user_idx], data.item_idx, data.timestamps, block.positions[kept])
    return _Partial(
        n_items=n,
        cooc=cooc,
        gram=gram,
        users_per_item=np.bincount(data.pair_item, minlength=n),
        sessions=sessions,
        session=session,
        directed=directed,
        users=[(block.rows, data.hist_indptr, data.hist_items)],
        events=[events],
    )


def _add(a: _Partial | None, b: _Partial | None) -> _Partial | None:
    if a is None or b is None:
        return a if b is None else b
    cooc, gram = _coo_add(a.cooc, b.cooc), None
    if a.gram is not None:
        assert b.gram is not None, "every partition has the same items and settings"
        # the pure-count graph is the Gram's off-diagonal: summed once
        same = a.gram[0] is a.cooc and b.gram[0] is b.cooc
        gram = (cooc if same else _coo_add(a.gram[0], b.gram[0]), a.gram[1] + b.gram[1])
    return _Partial(
        n_items=a.n_items,
        cooc=cooc,
        gram=gram,
        users_per_item=a.users_per_item + b.users_per_item,
        sessions=(a.sessions[0] + b.sessions[0], a.sessions[1] + b.sessions[1]),
        session=_coo_add(a.session, b.session),
        directed=_coo_add(a.directed, b.directed),
        users=a.users + b.users,
        events=a.events + b.events,
    )


# ----------------------------------------------------- the one-worker finish


@dataclass
class _Totals(UserHistories):
    """What ``fit_parts``, the gates and the model's live state read from the
    whole interaction set (its ``Events``) when its graphs come summed: the
    events in (time, row) order, the histories, and (as an empty marker)
    whether sessions exist."""

    users: IdMap
    items: IdMap
    user_idx: np.ndarray
    item_idx: np.ndarray
    timestamps: np.ndarray | None
    hist_indptr: np.ndarray
    hist_items: np.ndarray
    session_idx: np.ndarray | None
    positions: np.ndarray  # each event's row in the whole frame
    n_sessions: int = 0


def _by_global_user(groups: list, n_users: int) -> tuple[np.ndarray, np.ndarray]:
    """One CSR over all users from per-partition CSRs over their own users
    (global rows, indptr, values)."""
    counts = np.zeros(n_users, dtype=np.int64)
    owner, values = [], []
    for rows, indptr, column_values in groups:
        # (annotated: numpy's stubs type this diff as timedelta64)
        sizes: np.ndarray = np.diff(np.asarray(indptr, dtype=np.int64))
        counts[rows] = sizes
        owner.append(np.repeat(rows, sizes))
        values.append(np.asarray(column_values))
    order = np.argsort(np.concatenate(owner), kind="stable")
    indptr = np.zeros(n_users + 1, dtype=np.int64)
    np.cumsum(counts, out=indptr[1:])
    return indptr, np.concatenate(values)[order]


def _sums(total: _Partial, maps: _Maps, job: _Job, sessions: bool) -> tuple[_Totals, GraphSums]:
    assert maps.users is not None, "the finish holds the full maps"
    n = total.n_items
    hist_indptr, hist_items = _by_global_user(total.users, len(maps.users))
    users, items, times, rows = (
        np.concatenate(c)
        for c in zip(*((u, i, np.zeros(0) if t is None else t, r) for u, i, t, r in total.events))
    )
    timed = job.columns["time_col"] is not None
    order = np.lexsort((rows, times)) if timed else np.argsort(rows)

    def gram() -> np.ndarray:
        # asked for only when EASE is fitted, as the partitions summed its Gram then
        assert total.gram is not None, "no Gram matrix was summed"
        (keys, values), diagonal = total.gram
        dense = np.zeros((n, n))
        dense.flat[keys] = values
        dense.flat[:: n + 1] = diagonal
        return dense

    deep, count = total.sessions
    data = _Totals(
        maps.users,
        maps.items,
        users[order],
        items[order],
        times[order] if timed else None,
        hist_indptr,
        hist_items,
        np.zeros(0, np.int64) if sessions else None,
        rows[order],
    )
    return data, GraphSums(
        cooc=_csr(total.cooc, n),
        users_per_item=total.users_per_item.astype(np.float64),
        gram=gram,
        deep_session_fraction=deep / count if count else 0.0,
        session=_csr(total.session, n) if total.session is not None else None,
        directed=_csr(total.directed, n, np.float64) if total.directed is not None else None,
    )


def _finish(
    job: _Job,
    maps: _Maps,
    full: _Partial,
    train: _Partial | None,
    held: list,
    chosen: np.ndarray | None,
    item_features: Any,
    duplicates: int = 0,
) -> bytes:
    """The rest of the fit on one worker, from the partitions' sums; the model
    file's bytes."""
    assert maps.users is not None, "the finish holds the full maps"
    features = (
        prepare_item_features(item_features, maps.items, job.columns["item_col"])
        if item_features is not None
        else None
    )
    sessions = full.session is not None
    data, sums = _sums(full, maps, job, sessions)
    summed = Summed(sums, None)
    if chosen is not None:
        assert train is not None, "held-out users leave a training fit"
        positions = np.concatenate([h["positions"] for h in held if h is not None])
        summed.held = np.isin(data.positions, positions)
        summed.train, summed.train_graphs = _sums(train, maps, job, sessions)
    fitted = fit_model(
        job.settings,
        data,
        features,
        params=job.params,
        columns=job.columns,
        duplicates=(duplicates, job.drop_duplicates),
        summed=summed,
    )
    return fitted.to_bytes()


def _model_bytes(model: Recommender) -> bytes:
    return model_bytes(model)


def _model_from_bytes(blob: bytes) -> Recommender:
    return of_model(Recommender, FittedModel.from_bytes(blob))


# --------------------------------------------------------- batch recommend


_LOADED: dict[str, Recommender] = {}  # per worker process: the model of each token


def _loaded(blob: bytes, token: str) -> Recommender:
    model = _LOADED.get(token)
    if model is None:
        _LOADED.clear()  # one model at a time per worker
        model = _LOADED[token] = _model_from_bytes(blob)
    return model


def _answer(users: Any, model: Recommender, n: int, options: dict) -> Any:
    import pandas as pd

    found = model.recommend_batch(users.tolist(), n, **options)
    frame = pd.DataFrame({k: found[k] for k in ("user", "item", "score", "source", "rank")})
    frame["user"] = frame["user"].astype(users.dtype)
    return frame


def _answer_part(users: Any, blob: bytes, token: str, n: int, options: dict) -> Any:
    return _answer(users, _loaded(blob, token), n, options)


def recommend_batch(
    client: Any,
    model: Recommender,
    users: Any,
    n: int = 10,
    path: str | None = None,
    **options: Any,
) -> Any:
    """Top ``n`` items for every user of a Dask Series, partition by partition on
    the cluster.

    The model file's bytes are sent to every worker once (a broadcast scatter)
    and loaded there once; each partition's answer is what
    ``model.recommend_batch`` gives for its users.

    Parameters
    ----------
    client : distributed.Client
        The cluster to run on.
    model : Recommender
        A fitted model.
    users : dask.dataframe.Series or dask.dataframe.DataFrame
        User ids; of a DataFrame, the model's user column.
    n : int, default 10
        Items per user.
    path : str, optional
        A folder to write the answers to as Parquet, one file per partition.
    **options
        Passed to ``Recommender.recommend_batch`` (such as ``exclude_owned``).

    Returns
    -------
    dask.dataframe.DataFrame or None
        The long table ``user, item, score, source, rank`` (lazy), or None
        once written to ``path``.

    Raises
    ------
    ValueError
        When the model is not fitted or ``n`` is not a non-negative integer.

    Notes
    -----
    The work happens on the cluster when the frame is computed, where
    ``distributed.progress`` (or the dashboard) shows how far it has come; the
    workers draw no bars of their own.

    Examples
    --------
    >>> users = events["user"].unique()  # doctest: +SKIP
    >>> answers = distributed.recommend_batch(client, model, users, n=5)  # doctest: +SKIP
    >>> answers.compute()["item"].tolist()[:1]  # doctest: +SKIP
    ['c']
    >>> distributed.recommend_batch(client, model, users, n=5, path="answers/")
    ... # doctest: +SKIP
    """
    _dask_mod, dd = _dask()
    meta_users = users._meta
    if hasattr(meta_users, "columns"):
        name = model.columns_["user_col"]
        users, meta_users = users[name], meta_users[name]
    meta = _answer(meta_users, model, n, options)  # checks the model and n early
    blob = _model_bytes(model)
    token = hashlib.sha256(blob).hexdigest()
    shared = client.scatter(blob, broadcast=True, hash=False)
    parts = [
        _dask_mod.delayed(_answer_part)(p, shared, token, n, options) for p in users.to_delayed()
    ]
    frame = dd.from_delayed(parts, meta=meta, verify_meta=False)
    if path is None:
        return frame
    client.compute(frame.to_parquet(path, write_index=False, compute=False), sync=True)
    return None
