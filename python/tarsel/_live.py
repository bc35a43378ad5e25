"""Live requests and history updates.

A request may bring the shopper's basket: its items count as consumed after the
stored history, most recent last, for that request only. ``update`` appends new
events to the stored histories and to the repeat profile without refitting: the
item models stay as fitted, so the work is in proportion to the new events.

State beside the fitted arrays (``Live``, the ``FittedModel``'s ``live``):

- ``rows``: the histories of users changed since the last save, by row, each
  an array of distinct items, least recently consumed first (and their event
  counts). The fitted CSR ``hist_indptr``/``hist_items`` stays untouched until
  ``fold`` writes the changes into it, so an update touches only its users.
- ``hist_counts``: events per (user, item) entry of the fitted CSR, kept only
  when the engine serves a repeat profile (an entry joins the profile once it
  reaches ``repeat_min_count`` events).
- ``profile``: the served repeat profile, which the engine takes whole.
- ``now_ts``: the newest event time of the fitted data and of the updates
  applied since (NaN when the model has no times). The repeat profile's
  elapsed times are measured from it, and a service replaying its journal onto
  the model takes it as the point up to which the model holds events.
"""

from __future__ import annotations

import json
import math
import struct
from collections.abc import Sequence
from dataclasses import dataclass, field
from typing import Any, Protocol

import numpy as np

from tarsel import _baselines
from tarsel._fitting import unknown_timing
from tarsel.data import IdMap, column, timestamps_of

_EMPTY = np.zeros(0, dtype=np.int64)
SECTION = "live"


# ----------------------------------------------------------------- state


@dataclass
class Profile:
    """The repeat profile as the engine serves it: a CSR over user rows, items
    ascending (its elapsed times are measured from ``Live.now_ts``)."""

    indptr: np.ndarray  # int64
    items: np.ndarray  # int64
    counts: np.ndarray  # float64 events of the pair
    last_ts: np.ndarray  # float64 last consumption
    periods: np.ndarray  # float64 typical repurchase gap (NaN: none known)
    quality: np.ndarray  # float64 confidence in the period
    min_count: int
    timing: str = "fitted"  # how the fit timed the entries (see ``repeat_timing``)

    @classmethod
    def of(cls, arrays: Sequence[np.ndarray], min_count: int, timing: str = "fitted") -> Profile:
        indptr, items, counts, last_ts, periods, quality = arrays
        return cls(indptr, items, counts, last_ts, periods, quality, int(min_count), timing)

    def row(self, row: int) -> tuple[np.ndarray, ...]:
        if row + 1 >= len(self.indptr):
            empty = np.zeros(0)
            return _EMPTY, empty, empty, empty, empty
        a, b = self.indptr[row], self.indptr[row + 1]
        return (
            self.items[a:b],
            self.counts[a:b],
            self.last_ts[a:b],
            self.periods[a:b],
            self.quality[a:b],
        )

    def arrays(self) -> tuple[np.ndarray, ...]:
        return self.indptr, self.items, self.counts, self.last_ts, self.periods, self.quality

    def install(self, engine: Any, now_ts: float) -> None:
        engine.set_repeat_profile(*self.arrays(), now_ts)


@dataclass
class Live:
    rows: dict[int, tuple[np.ndarray, np.ndarray | None]] = field(default_factory=dict)
    hist_counts: np.ndarray | None = None
    profile: Profile | None = None
    now_ts: float = math.nan
    totals: dict[str, int] = field(
        default_factory=lambda: {"events": 0, "new_users": 0, "unknown_items": 0}
    )


class Model(Protocol):
    """What requests and updates read and change of a fitted model (the
    ``FittedModel`` that holds this module's ``Live``)."""

    engine: Any
    users: IdMap
    items: IdMap
    columns: dict[str, Any]
    hist_indptr: np.ndarray
    hist_items: np.ndarray
    repeat_sizes: np.ndarray
    baselines: _baselines.Baselines
    live: Live


def after_fit(
    data: Any, profile: list[np.ndarray] | None, min_count: int, timing: str = "fitted"
) -> Live:
    """The live state of a freshly fitted model. ``profile`` is the served
    repeat profile's arrays (None when the engine serves none), timed as
    ``timing`` names it."""
    live = Live()
    if data.timestamps is not None and len(data.timestamps):
        live.now_ts = float(data.timestamps.max())
    if profile is not None:
        live.profile = Profile.of([np.asarray(a) for a in profile], min_count, timing)
        live.hist_counts = _history_counts(data)
    return live


def _history_counts(data: Any) -> np.ndarray:
    """Events of each (user, item) entry of the fitted histories."""
    n_items = max(data.n_items, 1)
    keys, counts = np.unique(data.user_idx * n_items + data.item_idx, return_counts=True)
    owner = np.repeat(np.arange(data.n_users, dtype=np.int64), np.diff(data.hist_indptr))
    return counts[np.searchsorted(keys, owner * n_items + data.hist_items)].astype(np.int64)


# ------------------------------------------------------------- requests


@dataclass
class Basket:
    """One request's owned items: the stored history, then the basket."""

    row: int | None  # the user's row; None when unknown
    owned: np.ndarray  # int64 distinct items, least recent first
    unknown: int  # basket ids not in the catalogue

    @property
    def engine_row(self) -> int:
        return -1 if self.row is None else self.row


def history(model: Model, row: int | None) -> np.ndarray:
    """The user's distinct items, least recently consumed first."""
    if row is None:
        return _EMPTY
    changed = model.live.rows.get(row)
    if changed is not None:
        return changed[0]
    return model.hist_items[model.hist_indptr[row] : model.hist_indptr[row + 1]]


def basket(model: Model, user: Any, items: Any) -> Basket:
    row = model.users.get(user)
    stored = history(model, row)
    if items is None:
        return Basket(row, stored, 0)
    found = model.items.index(_id_list(items))
    recent = _last_occurrences(found[found >= 0])
    owned = np.concatenate([stored[~np.isin(stored, recent)], recent]) if len(recent) else stored
    return Basket(row, owned, int(np.count_nonzero(found < 0)))


def baskets(model: Model, users: list, items: Any) -> list[Basket]:
    if items is None:
        return [basket(model, user, None) for user in users]
    lists = _id_list(items, "items")
    if len(lists) != len(users):
        raise ValueError(
            f"items must hold one list per user: {len(lists)} lists for {len(users)} users"
        )
    return [basket(model, user, basket_items) for user, basket_items in zip(users, lists)]


def _id_list(items: Any, what: str = "items") -> list:
    if isinstance(items, (str, bytes)) or not hasattr(items, "__iter__"):
        raise TypeError(f"{what} must be a list of item ids, not {type(items).__name__}")
    return items.tolist() if isinstance(items, np.ndarray) else list(items)


def _last_occurrences(items: np.ndarray) -> np.ndarray:
    """Distinct items in the order of their last occurrence."""
    if len(items) < 2:
        return items
    backwards = items[::-1]
    _, first = np.unique(backwards, return_index=True)
    return backwards[np.sort(first)][::-1]


# --------------------------------------------------------------- updates


def update(model: Model, events: Any, columns: dict[str, str | None]) -> dict[str, int]:
    """Apply new events to ``model``; see ``Recommender.update``."""
    names = _event_columns(model, columns)
    live = model.live
    users_raw = column(events, str(names["user_col"]), "events")
    items_raw = column(events, str(names["item_col"]), "events")
    time_col = names["time_col"]
    times = (
        timestamps_of(column(events, time_col, "events"), time_col, names["time_format"])
        if time_col
        else None
    )
    lengths = {len(users_raw), len(items_raw)} | ({len(times)} if times is not None else set())
    if len(lengths) > 1:
        raise ValueError(f"the event columns differ in length: {sorted(lengths)}")
    if live.profile is not None and times is None:
        raise ValueError(
            "this model serves a repeat profile, so events need a time column "
            f"(time_col={model.columns.get('time_col')!r} at fit)"
        )
    order = np.argsort(times, kind="stable") if times is not None else np.arange(len(users_raw))
    item_idx = model.items.index(items_raw)[order]
    known = item_idx >= 0
    user_ids = _checked_users(model, np.asarray(users_raw, dtype=object)[order][known])
    times = times[order][known] if times is not None else None
    item_idx = item_idx[known]
    report = {
        "events": int(known.sum()),
        "new_users": 0,
        "unknown_items": int(len(known) - known.sum()),
    }

    new_users = list(dict.fromkeys(u for u in user_ids if u not in model.users))
    first_new = len(model.users)
    new_rows = {u: first_new + k for k, u in enumerate(new_users)}
    rows = np.fromiter(
        (model.users.get(u) if u not in new_rows else new_rows[u] for u in user_ids),
        dtype=np.int64,
        count=len(user_ids),
    )
    changes = _changed_rows(model, live, rows, item_idx, times)
    profile = _updated_profile(live.profile, changes) if live.profile is not None else None
    now_ts = live.now_ts
    if times is not None and len(times):
        now_ts = float(np.fmax(now_ts, times.max()))
    lists = _updated_baselines(model.baselines, rows, item_idx, first_new + len(new_users))

    # Everything above only read the model. The engine may refuse its new
    # profile (while a request runs on it), so it goes first: then either the
    # whole update happens or none of it.
    if profile is not None:
        profile.install(model.engine, now_ts)
        live.profile = profile
    live.now_ts = now_ts
    if new_users:
        model.users.append(new_users)
    sizes = _repeat_sizes(model, live, changes)
    for row, (hist, counts, _) in changes.items():
        live.rows[row] = (hist, counts)
    model.repeat_sizes = sizes
    model.baselines = lists
    report["new_users"] = len(new_users)
    for key, value in report.items():
        live.totals[key] += value
    return report


def _event_columns(model: Model, columns: dict[str, str | None]) -> dict[str, str | None]:
    allowed = ("user_col", "item_col", "time_col", "time_format")
    unknown = sorted(set(columns) - set(allowed))
    if unknown:
        raise ValueError(f"unknown argument {unknown[0]!r}; update takes {', '.join(allowed)}")
    # what fit was given, unless the call says otherwise: text times in the
    # fitted time_format too
    fitted = model.columns
    return {
        name: columns.get(
            name, fitted.get(name, name[:-4] if name in ("user_col", "item_col") else None)
        )
        for name in allowed
    }


def _checked_users(model: Model, users: np.ndarray) -> list:
    """The events' user ids; a wrong type raises TypeError, as in ``recommend``."""
    values = users.tolist()
    integers = model.users.ids.dtype.kind == "i"
    for value in values:
        if value is None or (isinstance(value, float) and value != value):
            raise ValueError("user column of events has missing values")
        model.users.check_type(value, "user")
        if integers and not -(2**63) <= value < 2**63:
            raise ValueError(f"user id {value} does not fit in 64 bits")
    return values


def _changed_rows(
    model: Model, live: Live, rows: np.ndarray, item_idx: np.ndarray, times: np.ndarray | None
) -> dict[int, tuple]:
    """For each user with events: the new history (items, least recently
    consumed first), its event counts (when kept) and each item's last event
    time among these events (NaN for none). Vectorised over all the users, so
    the cost follows the events and the histories of their users."""
    if not len(rows):
        return {}
    touched = np.unique(rows)
    old_owner, old_items, old_counts = _gather_histories(model, live, touched)
    # one entry per stored item and per event; the stored ones come first, so
    # that the position orders each user's entries in time
    owner = np.concatenate([old_owner, np.searchsorted(touched, rows)])
    items = np.concatenate([old_items, item_idx])
    width = max(len(model.items), 1)
    pairs, inverse = np.unique(owner * width + items, return_inverse=True)
    last = np.zeros(len(pairs), dtype=np.int64)
    np.maximum.at(last, inverse, np.arange(len(owner)))
    counts = np.zeros(len(pairs), dtype=np.int64)
    np.add.at(counts, inverse, np.concatenate([old_counts, np.ones(len(rows), np.int64)]))
    seen = np.full(len(pairs), np.nan)
    if times is not None:
        np.fmax.at(seen, inverse[len(old_owner) :], times)
    order = np.lexsort((last, pairs // width))
    pair_owner, pair_items = pairs[order] // width, pairs[order] % width
    counts, seen = counts[order], seen[order]
    bounds = np.searchsorted(pair_owner, np.arange(len(touched) + 1)).tolist()
    kept = live.hist_counts is not None
    return {
        row: (pair_items[a:b], counts[a:b] if kept else None, seen[a:b])
        for row, a, b in zip(touched.tolist(), bounds, bounds[1:])
    }


def _gather_histories(
    model: Model, live: Live, touched: np.ndarray
) -> tuple[np.ndarray, np.ndarray, np.ndarray]:
    """The stored histories of the ``touched`` rows as flat arrays: the
    position in ``touched`` of each entry, its item and its event count (0
    when counts are not kept)."""
    changed = [k for k, row in enumerate(touched.tolist()) if row in live.rows]
    fitted = np.ones(len(touched), dtype=bool)
    fitted[changed] = False
    fitted &= touched + 1 < len(model.hist_indptr)  # new users have no fitted row
    positions = np.flatnonzero(fitted)
    counts = live.hist_counts if live.hist_counts is not None else None
    owner, (items, *rest) = _gather(
        model.hist_indptr,
        [model.hist_items] + ([counts] if counts is not None else []),
        touched[positions],
    )
    parts = [(positions[owner], items, rest[0] if rest else np.zeros(len(items), np.int64))]
    for k in changed:
        hist, hist_counts = live.rows[int(touched[k])]
        parts.append(
            (
                np.full(len(hist), k, dtype=np.int64),
                hist,
                hist_counts if hist_counts is not None else np.zeros(len(hist), np.int64),
            )
        )
    flat = [np.concatenate(column) for column in zip(*parts)]
    by_owner = np.argsort(flat[0], kind="stable")  # keeps each history's order
    return flat[0][by_owner], flat[1][by_owner], flat[2][by_owner].astype(np.int64)


def _gather(
    indptr: np.ndarray, arrays: list[np.ndarray], rows: np.ndarray
) -> tuple[np.ndarray, list[np.ndarray]]:
    """The entries of ``rows`` of a CSR, and for each the position of its row
    in ``rows``."""
    starts, ends = indptr[rows], indptr[rows + 1]
    lengths = ends - starts
    owner = np.repeat(np.arange(len(rows)), lengths)
    at = np.arange(int(lengths.sum())) - np.repeat(np.cumsum(lengths) - lengths, lengths)
    at += np.repeat(starts, lengths)
    return owner, [array[at] for array in arrays]


def _updated_profile(old: Profile, changes: dict[int, tuple]) -> Profile | None:
    """The profile with the changed users' rows rebuilt: every history entry
    with ``min_count`` events or more, counts and last times brought up to
    date, periods and their quality as fitted (a new entry's rhythm is
    unknown: it is timed like the fitted entries without one)."""
    if not changes:
        return None
    touched = np.fromiter(changes, dtype=np.int64, count=len(changes))
    lengths = np.array([len(change[0]) for change in changes.values()], dtype=np.int64)
    owner = np.repeat(touched, lengths)
    items, counts, seen = (np.concatenate([c[k] for c in changes.values()]) for k in range(3))
    eligible = counts >= old.min_count
    owner, items, counts, seen = owner[eligible], items[eligible], counts[eligible], seen[eligible]
    order = np.lexsort((items, owner))  # profile rows hold their items ascending
    owner, items, counts, seen = owner[order], items[order], counts[order], seen[order]

    fitted = touched[touched + 1 < len(old.indptr)]
    where, (p_items, p_last, p_periods, p_quality) = _gather(
        old.indptr, [old.items, old.last_ts, old.periods, old.quality], fitted
    )
    width = max(int(max(items.max(initial=0), p_items.max(initial=0))) + 1, 1)
    stored = fitted[where] * width + p_items  # ascending: rows, then items
    wanted = owner * width + items
    at = np.minimum(np.searchsorted(stored, wanted), max(len(stored) - 1, 0))
    had = stored[at] == wanted if len(stored) else np.zeros(len(wanted), dtype=bool)
    last_ts = np.fmax(_kept(p_last, at, had, np.nan), seen)
    period, hold = unknown_timing(old.timing)
    periods = _kept(p_periods, at, had, period)
    quality = _kept(p_quality, at, had, hold)

    bounds = np.searchsorted(owner, touched, side="left"), np.searchsorted(owner, touched, "right")
    replaced = {
        row: (items[a:b], counts[a:b].astype(np.float64), last_ts[a:b], periods[a:b], quality[a:b])
        for row, a, b in zip(touched.tolist(), bounds[0].tolist(), bounds[1].tolist())
    }
    indptr, arrays = splice(old.indptr, old.arrays()[1:], replaced)
    return Profile.of([indptr, *arrays], old.min_count, old.timing)


def _kept(values: np.ndarray, at: np.ndarray, had: np.ndarray, default: float) -> np.ndarray:
    """``values[at]`` where ``had``, else ``default``."""
    out = np.full(len(at), default, dtype=np.float64)
    out[had] = values[at[had]]
    return out


def _updated_baselines(
    lists: _baselines.Baselines, rows: np.ndarray, items: np.ndarray, n_users: int
) -> _baselines.Baselines:
    """The personal lists with the events' users' rows rebuilt (their own
    counts grown by the events, in personal order again) and rows for
    ``n_users`` users; item popularity stays as fitted."""
    touched = np.unique(rows)
    covered = touched[touched + 1 < len(lists.owned_indptr)]
    where, (old_items, old_own) = _gather(
        lists.owned_indptr, [lists.owned_items, lists.owned_counts], covered
    )
    width = max(len(lists.counts), 1)
    keys = np.concatenate([covered[where] * width + old_items, rows * width + items])
    pairs, inverse = np.unique(keys, return_inverse=True)
    own = np.zeros(len(pairs), dtype=np.float64)
    np.add.at(own, inverse, np.concatenate([old_own, np.ones(len(rows))]))
    owner, items = pairs // width, pairs % width
    order = _baselines.personal_order(lists.rank, owner, items, own)
    owner, items, own = owner[order], items[order], own[order]
    bounds = np.searchsorted(owner, np.append(touched, n_users)).tolist()
    replaced = {
        row: (items[a:b], own[a:b]) for row, a, b in zip(touched.tolist(), bounds, bounds[1:])
    }
    if n_users >= len(lists.owned_indptr):  # every user gets a row, empty or not
        replaced.setdefault(n_users - 1, (_EMPTY, np.zeros(0)))
    indptr, (items, own) = splice(
        lists.owned_indptr, [lists.owned_items, lists.owned_counts], replaced
    )
    return _baselines.Baselines(lists.counts, lists.ranking, indptr, items, own)


def _repeat_sizes(model: Model, live: Live, changes: dict[int, tuple]) -> np.ndarray:
    sizes = np.asarray(model.repeat_sizes, dtype=np.int64)
    n_users = len(model.users)
    if len(sizes) < n_users:
        sizes = np.concatenate([sizes, np.zeros(n_users - len(sizes), dtype=np.int64)])
    else:
        sizes = sizes.copy()
    if live.profile is not None:
        indptr = live.profile.indptr
        for row in changes:
            sizes[row] = indptr[row + 1] - indptr[row] if row + 1 < len(indptr) else 0
    return sizes


def splice(
    indptr: np.ndarray, arrays: Sequence[np.ndarray], replaced: dict[int, tuple]
) -> tuple[np.ndarray, list[np.ndarray]]:
    """A CSR with the rows in ``replaced`` (row -> one array per CSR array)
    swapped in; rows past the end are added, empty rows between them."""
    n_old = len(indptr) - 1
    rows = sorted(replaced)
    n_new = max(n_old, rows[-1] + 1) if rows else n_old
    sizes = np.zeros(n_new, dtype=np.int64)
    sizes[:n_old] = np.diff(indptr)
    pieces: list[list[np.ndarray]] = [[] for _ in arrays]
    done = 0
    for row in rows:
        start, end = indptr[min(row, n_old)], indptr[min(row + 1, n_old)]
        for piece, array, new in zip(pieces, arrays, replaced[row]):
            piece += [array[done:start], new]
        done = end
        sizes[row] = len(replaced[row][0])
    out = [
        np.concatenate(piece + [array[done:]]).astype(array.dtype, copy=False)
        for piece, array in zip(pieces, arrays)
    ]
    new_indptr = np.zeros(n_new + 1, dtype=np.int64)
    np.cumsum(sizes, out=new_indptr[1:])
    return new_indptr, out


def fold(model: Model) -> None:
    """Write the changed histories into the fitted CSR (before a save)."""
    live = model.live
    if not live.rows:
        return
    arrays = [model.hist_items] + ([live.hist_counts] if live.hist_counts is not None else [])
    replaced = {
        row: (hist,) + ((counts,) if live.hist_counts is not None else ())
        for row, (hist, counts) in live.rows.items()
    }
    indptr, out = splice(model.hist_indptr, arrays, replaced)
    model.hist_indptr, model.hist_items = indptr, out[0]
    if live.hist_counts is not None:
        live.hist_counts = out[1]
    live.rows = {}


# ------------------------------------------------------------ model file

_PROFILE_DTYPES = {
    "indptr": "<i8",
    "items": "<i8",
    "counts": "<f8",
    "last_ts": "<f8",
    "periods": "<f8",
    "quality": "<f8",
}
_HEADER = struct.Struct("<I")


def sections(model: Model) -> dict[str, bytes]:
    """The model file section of the live state: a JSON header (counts, the
    newest event time, the profile's settings, array lengths) and the arrays
    after it."""
    fold(model)
    live = model.live
    header: dict[str, Any] = {"totals": live.totals, "arrays": []}
    payload: list[bytes] = []

    def add(name: str, array: np.ndarray, dtype: str) -> None:
        header["arrays"].append([name, dtype, len(array)])
        payload.append(np.ascontiguousarray(array, dtype=dtype).tobytes())

    if live.hist_counts is not None:
        add("hist_counts", live.hist_counts, "<i8")
    if math.isfinite(live.now_ts):
        header["now_ts"] = live.now_ts
    if live.profile is not None:
        header["min_count"] = live.profile.min_count
        header["timing"] = live.profile.timing
        for name, dtype in _PROFILE_DTYPES.items():
            add(name, getattr(live.profile, name), dtype)
    raw = json.dumps(header).encode()
    return {SECTION: _HEADER.pack(len(raw)) + raw + b"".join(payload)}


def restore(places: dict, read: Any, hist_items: np.ndarray) -> Live:
    """Rebuild the live state from the section (absent in older files:
    updates then change the histories only). Files from before the newest
    event time was kept for every model hold it only beside a repeat profile,
    under the same key. Raises ValueError when damaged."""
    live = Live()
    if SECTION not in places:
        return live
    data = read(SECTION)
    (size,) = _HEADER.unpack_from(data, 0)
    header = json.loads(bytes(data[_HEADER.size : _HEADER.size + size]))
    offset, arrays = _HEADER.size + size, {}
    for name, dtype, length in header["arrays"]:
        width = np.dtype(dtype).itemsize
        if length < 0 or offset + length * width > len(data):
            raise ValueError(f"the {SECTION!r} section is truncated")
        arrays[name] = np.frombuffer(data, dtype=dtype, count=length, offset=offset).copy()
        offset += length * width
    live.totals.update({k: int(v) for k, v in header["totals"].items()})
    live.now_ts = float(header.get("now_ts", math.nan))
    live.hist_counts = arrays.get("hist_counts")
    if live.hist_counts is not None and len(live.hist_counts) != len(hist_items):
        raise ValueError("the stored event counts do not match the histories")
    if "indptr" in arrays:
        profile = Profile.of(
            [arrays[name] for name in _PROFILE_DTYPES],
            header["min_count"],
            str(header.get("timing", "fitted")),  # files before the timing was kept
        )
        ends = profile.indptr
        if (
            not math.isfinite(live.now_ts)
            or len(ends) == 0
            or ends[0] != 0
            or np.any(np.diff(ends) < 0)
            or ends[-1] != len(profile.items)
            or any(len(a) != len(profile.items) for a in profile.arrays()[2:])
        ):
            raise ValueError("the stored repeat profile is inconsistent")
        live.profile = profile
    return live
