"""Turning the caller's tables into the dense arrays the native core reads.

Interactions arrive as a pandas or polars DataFrame or a dict of arrays, with ids
of any hashable type. Users, items and sessions are mapped to dense indices
0..n-1 in first-seen order, events are put in time order, and repeated
(user, item) events are folded into one weighted pair for the item models.
"""

from __future__ import annotations

import json
import warnings
from collections.abc import Hashable, Mapping, Sequence
from dataclasses import dataclass
from numbers import Integral, Real
from typing import Any

import numpy as np

WEIGHTINGS = ("binary", "log1p", "rating")


# ---------------------------------------------------------------- id mapping


class IdMap:
    """A bijection between caller ids and dense indices 0..n-1.

    Ids of one type (integers, floats or text) live in a typed array and are
    looked up in bulk by binary search; other hashable ids in an object array.
    """

    def __init__(self, ids: Any):
        self._ids = id_array(ids)
        self._index: dict | None = None
        self._sorter: np.ndarray | None = None
        if len(np.unique(self._ids) if self._typed else self._dict()) != len(self._ids):
            raise ValueError("ids must be unique")

    @classmethod
    def _of_unique(cls, ids: np.ndarray) -> IdMap:
        self = cls.__new__(cls)
        self._ids, self._index, self._sorter = ids, None, None
        return self

    @classmethod
    def encode(cls, values: Any, what: str) -> tuple[IdMap, np.ndarray]:
        """Map ``values`` to dense codes in first-seen order; returns (map, codes).
        Ids are told apart as a dict tells keys apart. Missing values (None,
        NaN, pandas' NA) raise ValueError naming ``what``."""
        factorized = _factorize(values)
        if factorized is not None:
            codes, unique = factorized
            if len(codes) and codes.min() < 0:
                raise ValueError(f"{what} has missing values")
            return cls._of_unique(id_array(unique)), codes.astype(np.int64, copy=False)
        array = _typed(values)
        if array.dtype.kind == "f" and np.isnan(array).any():
            raise ValueError(f"{what} has missing values")
        if array.dtype.kind == "O":  # mixed or unusual types: one dict step per value
            index: dict = {}
            codes = np.fromiter(
                (index.setdefault(_checked_id(v, what), len(index)) for v in array.tolist()),
                dtype=np.int64,
                count=len(array),
            )
            return cls._of_unique(id_array(list(index))), codes
        unique, first, inverse = np.unique(array, return_index=True, return_inverse=True)
        order = np.argsort(first, kind="stable")  # the distinct ids in first-seen order
        rank = np.empty(len(order), dtype=np.int64)
        rank[order] = np.arange(len(order))
        return cls._of_unique(unique[order]), rank[inverse.reshape(-1)]

    def __len__(self) -> int:
        return len(self._ids)

    def __contains__(self, value: Hashable) -> bool:
        return self.get(value) is not None

    def __getstate__(self) -> dict:
        return {"_ids": self._ids}  # the lookup tables are rebuilt on demand

    def __setstate__(self, state: dict) -> None:
        self._ids, self._index, self._sorter = state["_ids"], None, None

    @property
    def ids(self) -> np.ndarray:
        return self._ids

    @property
    def _typed(self) -> bool:
        return self._ids.dtype.kind in "ifU"

    def _dict(self) -> dict:
        if self._index is None:
            self._index = {v: i for i, v in enumerate(self._ids.tolist())}
        return self._index

    def get(self, value: Hashable) -> int | None:
        """The dense index of one id, or None when it is unknown."""
        try:
            return self._dict().get(value)
        except TypeError:  # unhashable values are never ids
            return None

    def check_type(self, value: Any, what: str) -> None:
        """Raise TypeError when ``value`` (not None) cannot be one of these ids
        because its type differs, such as the text "7" among integer ids."""
        kind = self._ids.dtype.kind
        wanted = _KIND_TYPES.get(kind)
        if (
            wanted is None
            or value is None
            or (isinstance(value, wanted) and not isinstance(value, (bool, np.bool_)))
        ):
            return
        raise TypeError(
            f"{what} {value!r} is of type {type(value).__name__}, but the model's "
            f"{what} ids are {_KIND_NAMES[kind]}"
        )

    def index(self, values: Any, what: str | None = None) -> np.ndarray:
        """Dense indices of many ids; unknown ids map to -1. With ``what``, ids
        of another type than these raise TypeError (see ``check_type``)."""
        array = _typed(values)
        kind, own = array.dtype.kind, self._ids.dtype.kind
        if (
            what is not None
            and array.dtype.kind != "O"
            and len(array)
            and not (
                own == "O"
                or kind == own
                or (own == "f" and kind in "iu")
                or (own == "i" and kind == "u")
            )
        ):
            self.check_type(array[0].item() if kind != "U" else str(array[0]), what)
        if self._typed and (kind == own or (kind in "iuf" and own in "if")):
            if self._sorter is None:
                self._sorter = np.argsort(self._ids, kind="stable")
            if not len(self._ids):
                return np.full(len(array), -1, dtype=np.int64)
            spot = np.searchsorted(self._ids, array, sorter=self._sorter)
            found = self._sorter[np.minimum(spot, len(self._ids) - 1)]
            return np.where(self._ids[found] == array, found, -1).astype(np.int64)
        if what is not None:
            for v in array.tolist():
                self.check_type(v, what)
        get = self.get
        return np.fromiter(
            (-1 if (i := get(v)) is None else i for v in array.tolist()),
            dtype=np.int64,
            count=len(array),
        )

    def extend(self, values: Any, what: str = "ids") -> IdMap:
        """A new map with the unseen ``values`` appended after the existing ids,
        in first-seen order; missing values raise ValueError naming ``what``."""
        array = _typed(values)
        unseen = array[self.index(array) < 0]
        if not len(unseen):
            return self
        added, _ = IdMap.encode(unseen, what)
        if self._ids.dtype.kind == added.ids.dtype.kind:
            return IdMap._of_unique(np.concatenate([self._ids, added.ids]))
        return IdMap._of_unique(id_array(self._ids.tolist() + added.ids.tolist()))

    def append(self, values: list) -> None:
        """Append new ids in place, in order (the caller passes unseen, distinct
        ids of the map's type), at a cost in proportion to their number."""
        added = id_array(list(values))
        if self._index is not None:
            for v in added.tolist():
                self._index[v] = len(self._index)
        self._ids = (
            np.concatenate([self._ids, added])
            if added.dtype.kind == self._ids.dtype.kind
            else id_array(self._ids.tolist() + added.tolist())
        )
        self._sorter = None

    def to_bytes(self) -> tuple[str, bytes]:
        """(kind, payload) for the model file: integer and float ids as
        little-endian int64 or float64, text ids as a JSON list. Other id types
        cannot be saved."""
        if self._ids.dtype.kind == "i":
            return "int64", self._ids.astype("<i8").tobytes()
        if self._ids.dtype.kind == "f":
            return "float64", self._ids.astype("<f8").tobytes()
        if len(self._ids) == 0 or _is_text(self._ids):
            return "str", json.dumps(self._ids.tolist()).encode()
        raise ValueError(f"cannot save ids: the id list {_unsaveable(self._ids)}")

    @classmethod
    def from_bytes(cls, kind: str, payload: bytes) -> IdMap:
        if kind in ("int64", "float64"):
            return cls(np.frombuffer(payload, dtype="<i8" if kind == "int64" else "<f8"))
        if kind == "str":
            return cls(json.loads(payload))
        raise ValueError(f"unknown id kind {kind!r}")

    def lookup_text(self, text: str) -> int | None:
        """The index of an id given as text (a command line argument): the text
        itself, else its value as an integer or a float."""
        for convert in (str, int, float):
            try:
                found = self.get(convert(text))
            except ValueError:
                continue
            if found is not None:
                return found
        return None


_KIND_TYPES = {"i": Integral, "f": Real, "U": str}
_KIND_NAMES = {"i": "integers", "f": "numbers", "U": "text"}


def check_ids(ids: IdMap, what: str) -> None:
    """Refuse ids that a model cannot store, before any fitting: ``ids`` must be
    all integers that fit in 64 bits, all floats or all text. Raises ValueError
    naming ``what`` (such as "user column 'user'") and the offending type."""
    if ids.ids.dtype.kind not in "ifU" and len(ids) and not _is_text(ids.ids):
        raise ValueError(f"{what} {_unsaveable(ids.ids)}")


def _is_text(ids: np.ndarray) -> bool:
    """Whether the ids are all text (long ones may be held as objects)."""
    return ids.dtype.kind == "U" or all(isinstance(v, str) for v in ids.tolist())


def _unsaveable(ids: np.ndarray) -> str:
    """What is wrong with an object array of ids, for a message."""
    values = ids.tolist()
    kinds = sorted({type(v).__name__ for v in values})
    if kinds == ["int"]:
        big = next(v for v in values if not -(2**63) <= v < 2**63)
        return f"holds the integer id {big}, which does not fit in 64 bits; read the ids as text"
    if len(kinds) > 1:
        example = {type(v).__name__: v for v in values}
        listed = ", ".join(f"{k} ({example[k]!r})" for k in kinds)
        return (
            f"mixes ids of the types {listed}; ids must be all integers, all "
            "numbers or all text (str)"
        )
    return (
        f"holds ids of type {kinds[0]} ({values[0]!r}); ids must be integers, numbers or text (str)"
    )


def id_array(ids: Any) -> np.ndarray:
    """Ids as an array of their common type: int64, float64 or text, else
    objects (mixed types are never converted into one another)."""
    if isinstance(ids, np.ndarray):
        if ids.dtype.kind in "iu" and (ids.dtype.kind == "i" or ids.max(initial=0) < 2**63):
            return ids.astype(np.int64, copy=False)
        if ids.dtype.kind in "fU":
            return ids.astype(np.float64, copy=False) if ids.dtype.kind == "f" else ids
        ids = ids.tolist()
    array = np.empty(len(ids), dtype=object)
    array[:] = ids = list(ids)
    kinds = set(map(type, ids))
    if kinds and all(issubclass(k, (int, np.integer)) and not issubclass(k, bool) for k in kinds):
        try:
            return array.astype(np.int64)
        except OverflowError:
            return array
    if kinds and all(issubclass(k, (float, np.floating)) for k in kinds):
        return array.astype(np.float64)
    if kinds and all(issubclass(k, str) for k in kinds):
        # a fixed-width table holds every id at the width of the longest: kept
        # for text of about even length, objects where one long id would
        # multiply the memory (a model file's ids are read back this way too)
        widest, total = max(map(len, ids)), sum(map(len, ids))
        return array.astype(str) if widest * len(ids) <= 4 * total + (1 << 20) else array
    return array


def _factorize(values: Any) -> tuple[np.ndarray, np.ndarray] | None:
    """(codes in first-seen order, distinct values) by pandas' hash table when
    pandas is installed (the ``tarsel[io]`` extra): it tells ids apart as a
    dict does, and marks missing values with -1. None without pandas, or for
    values it cannot hash."""
    try:
        import pandas as pd
    except ImportError:
        return None
    if not isinstance(values, (np.ndarray, pd.Series, pd.Categorical, pd.Index)):
        values = (
            np.asarray(values)
            if not isinstance(values, (list, tuple, range))
            else id_array(list(values))
        )
    if getattr(values, "ndim", 1) != 1:
        return None
    try:
        codes, unique = pd.factorize(values, sort=False, use_na_sentinel=True)
    except TypeError:  # unhashable values: the dict route reports them
        return None
    unique = unique.to_numpy() if hasattr(unique, "to_numpy") else np.asarray(unique)
    if unique.dtype.kind not in "iufUO":
        return None
    return codes, unique


def _typed(values: Any) -> np.ndarray:
    """A column of ids as a one-dimensional typed array where its values share
    one type (an object column of strings becomes a text array)."""
    if isinstance(values, np.ndarray) and values.dtype.kind in "iufU":
        return id_array(values)
    return id_array(
        values if isinstance(values, (list, tuple, range, np.ndarray)) else np.asarray(values)
    )


_MISSING_TYPES = ("NAType", "NaTType")  # pandas' missing-value markers


def _is_missing(value: Any) -> bool:
    """None, NaN or one of pandas' missing-value markers."""
    return (
        value is None
        or (isinstance(value, float) and value != value)
        or type(value).__name__ in _MISSING_TYPES
    )


def _checked_id(value: Any, what: str) -> Hashable:
    if _is_missing(value):
        raise ValueError(f"{what} has missing values")
    return value


# ------------------------------------------------------------ table access


def column(
    table: Any, name: str, what: str = "interactions", option: str | None = None
) -> np.ndarray:
    """One column of a pandas/polars DataFrame or a dict of arrays as a NumPy
    array. A missing column raises ValueError listing the columns found and
    naming the ``option`` that picks it."""
    try:
        values = table[name]
    except Exception as exc:  # KeyError, IndexError, ... and polars' ColumnNotFoundError
        if (
            not isinstance(exc, (KeyError, IndexError, TypeError, ValueError))
            and type(exc).__name__ != "ColumnNotFoundError"
        ):
            raise
        try:
            found = ", ".join(map(repr, column_names(table))) or "none"
        except Exception:
            found = "unknown"
        hint = f"; choose it with {option}" if option else ""
        raise ValueError(f"missing column {name!r} in {what} (columns: {found}){hint}") from None
    if getattr(getattr(values, "dtype", None), "tz", None) is not None:
        values = values.dt.tz_convert("UTC").dt.tz_localize(None)  # pandas: aware -> UTC
    to_numpy = getattr(values, "to_numpy", None)
    array = to_numpy() if to_numpy is not None else _array_of(values)
    if array.ndim != 1:
        raise ValueError(f"column {name!r} in {what} must be one-dimensional")
    return array


def columns_of(
    table: Any, names: Mapping[str, str | None], what: str = "interactions"
) -> dict[str, Any]:
    """The columns picked by ``names`` (option -> column name, or None), checked
    to have one length: a shorter column would misalign the rows."""
    found = {
        option: column(table, name, what, option) if name else None
        for option, name in names.items()
    }
    lengths = {names[o]: len(a) for o, a in found.items() if a is not None}
    if len(set(lengths.values())) > 1:
        listed = ", ".join(f"{name!r} has {n:,}" for name, n in lengths.items())
        raise ValueError(f"the columns of {what} differ in length: {listed} rows")
    return found


def _array_of(values: Any) -> np.ndarray:
    if isinstance(values, (list, tuple)) and any(
        isinstance(v, (list, tuple, set, np.ndarray)) for v in values
    ):
        out = np.empty(len(values), dtype=object)  # a column of lists stays one-dimensional
        out[:] = list(values)
        return out
    if (
        isinstance(values, Sequence)
        and not isinstance(values, (str, bytes))
        and any(isinstance(v, str) for v in values)
    ):
        # NumPy would turn a list mixing numbers and text into text, and hold
        # every text at the width of the longest: the id rule keeps the values,
        # and objects where one long text would multiply the memory
        return id_array(values)
    return np.asarray(values)


def column_names(table: Any) -> list[str]:
    return list(table.keys()) if isinstance(table, Mapping) else [str(c) for c in table.columns]


def take_rows(table: Any, rows: np.ndarray) -> Any:
    """The given rows of a table, as a table of the same kind."""
    rows = np.asarray(rows, dtype=np.int64)
    if isinstance(table, Mapping):
        return {k: _array_of(v)[rows] for k, v in table.items()}
    if hasattr(table, "iloc"):
        return table.iloc[rows].reset_index(drop=True)
    return table[rows]


def timestamps_of(values: np.ndarray, name: str, time_format: str | None = None) -> np.ndarray:
    """UNIX seconds (float64) from numbers (taken as seconds), datetimes (a time
    zone is converted to UTC) or dates as text: ISO 8601 (``2015-07-21``,
    ``2015-07-21T10:30:00``, ``2015-07-21 10:30:00+02:00``), or parsed with
    the ``strptime`` pattern ``time_format`` (such as ``"%d-%m-%Y"``).
    Missing values, and times outside ``check_time_range``'s years, raise
    ValueError naming the column."""
    times = _seconds(values, name, time_format)
    check_time_range(times, f"time column {name!r}", numbers=values.dtype.kind in "iuf")
    return times


# The years an event time may fall in: wider than any plausible log, narrow
# enough that seconds read from milliseconds (or a sentinel such as
# 9999-12-31) are caught.
TIME_RANGE_YEARS = (1900, 2200)
_RANGE_SECONDS = (-2208988800.0, 7258118400.0)  # 1900-01-01 and 2200-01-01, UTC
_FINER_UNITS = ((1e3, "milliseconds"), (1e6, "microseconds"), (1e9, "nanoseconds"))


def check_time_range(seconds: Any, what: str = "time", *, numbers: bool = True) -> None:
    """Refuse event times (UNIX seconds) outside the years 1900 to 2199.

    Numbers outside that range are most often milliseconds (or micro- or
    nanoseconds) read as seconds: with ``numbers`` (the times were given as
    numbers) the message says so when the values divided by 1,000 (or 10**6,
    10**9) fall in the range. ``what`` names the values in the message, such
    as "time column 't'". Raises ValueError, also for missing (NaN) times.
    """
    times = np.asarray(seconds, dtype=np.float64).reshape(-1)
    if not len(times):
        return
    if np.isnan(times).any():
        raise ValueError(f"{what} has missing values")
    low, high = float(times.min()), float(times.max())
    if _RANGE_SECONDS[0] <= low and high < _RANGE_SECONDS[1]:
        return
    bad = low if low < _RANGE_SECONDS[0] else high
    years = f"not a time between {TIME_RANGE_YEARS[0]} and {TIME_RANGE_YEARS[1] - 1}"
    if not numbers:
        raise ValueError(f"{what} holds {_date_of(bad)}, which is {years}")
    for factor, unit in _FINER_UNITS:
        if _RANGE_SECONDS[0] <= low / factor and high / factor < _RANGE_SECONDS[1]:
            hint = f"the values look like UNIX {unit}: divide them by {factor:,.0f}"
            break
    else:
        hint = "give UNIX seconds or dates"
    raise ValueError(
        f"{what} holds {bad:.15g}, which as UNIX seconds is {_date_of(bad)}, {years}; {hint}"
    )


def _date_of(seconds: float) -> str:
    if not abs(seconds) < 1e15:  # beyond any calendar NumPy prints (or infinite)
        return "far outside any calendar"
    return str(np.datetime64(int(seconds), "s"))


def _seconds(values: np.ndarray, name: str, time_format: str | None) -> np.ndarray:
    if values.dtype.kind == "M":
        if np.isnat(values).any():
            raise ValueError(f"time column {name!r} has missing values")
        if np.datetime_data(values.dtype)[0] in ("ns", "ps", "fs", "as"):
            return values.astype("datetime64[ns]").astype(np.int64) / 1e9
        # coarser units reach far beyond 2262, where nanoseconds would wrap
        return values.astype("datetime64[us]").astype(np.int64) / 1e6
    if values.dtype.kind == "O" and len(values) and hasattr(values[0], "tzinfo"):
        return _aware_seconds(values, name)
    if values.dtype.kind in "iuf":
        times = values.astype(np.float64)
        if np.isinf(times).any():
            raise ValueError(f"time column {name!r} has infinite values")
        return times
    if values.dtype.kind == "b":
        raise ValueError(f"time column {name!r} must hold numbers or dates")
    if values.dtype.kind == "O":
        missing = [k for k, v in enumerate(values.tolist()) if _is_missing(v)]
        if missing:
            raise ValueError(
                f"time column {name!r} has missing values (the first in row "
                f"{missing[0]:,}, counting from 0)"
            )
    if time_format is not None:
        return _formatted_seconds(values, name, time_format)
    try:
        with warnings.catch_warnings():
            # NumPy converts a zone offset (+02:00, Z) to UTC, and warns that it
            # keeps no zone: the seconds are right, so the warning is noise
            warnings.simplefilter("ignore", UserWarning)
            # the unit follows the text (days, seconds, ...), so that no year wraps
            parsed = np.asarray(np.char.strip(values.astype(str)), dtype="datetime64")
    except ValueError:
        bad = _first_unparsable(values)
        raise ValueError(
            f"time column {name!r} has unparsable value {bad!r}; give dates "
            "as ISO 8601 (2015-07-21 or 2015-07-21T10:30:00), numbers "
            "(UNIX seconds), or pass time_format, a strptime pattern such as '%d-%m-%Y'"
        ) from None
    return _seconds(parsed, name, None)


def _aware_seconds(values: np.ndarray, name: str) -> np.ndarray:
    try:
        return np.fromiter(
            (v.timestamp() for v in values.tolist()), dtype=np.float64, count=len(values)
        )
    except (AttributeError, TypeError, ValueError):
        raise ValueError(f"time column {name!r} mixes datetimes with other values") from None


def _formatted_seconds(values: np.ndarray, name: str, time_format: str) -> np.ndarray:
    import datetime as dt

    if len(values) >= 10_000:
        fast = _pandas_seconds(values, time_format)
        if fast is not None:
            return fast
    # logs repeat their times (every event of a basket, or of a day): each
    # distinct text is parsed once, which makes a large log several times faster
    parsed: dict[str, float] = {}
    out = np.empty(len(values))
    for k, v in enumerate(values.tolist()):
        text = str(v)
        seconds = parsed.get(text)
        if seconds is None:
            try:
                when = dt.datetime.strptime(text, time_format)
            except ValueError:
                raise ValueError(
                    f"time column {name!r} has value {v!r}, which does not match "
                    f"time_format {time_format!r}"
                ) from None
            if when.tzinfo is None:
                when = when.replace(tzinfo=dt.UTC)
            seconds = parsed[text] = when.timestamp()
        out[k] = seconds
    return out


def _pandas_seconds(values: np.ndarray, time_format: str) -> np.ndarray | None:
    """Large columns through pandas' vectorised parser when it is installed,
    with the values the pattern-by-pattern parse gives (naive times are UTC);
    None when pandas is missing or refuses any value, so that the slow parse
    names the culprit."""
    try:
        import pandas as pd
    except ImportError:
        return None
    try:
        parsed = pd.to_datetime(pd.Series(values, dtype=object), format=time_format, utc=True)
    except (ValueError, TypeError, OverflowError):
        return None
    if parsed.isna().any():
        return None
    # microseconds are exact in a double, so dividing them rounds as strptime's
    # timestamp() does
    micros = parsed.to_numpy(dtype="datetime64[us]").astype(np.int64)
    return micros / 1e6


def _first_unparsable(values: np.ndarray) -> Any:
    for v in values.tolist():
        try:
            np.datetime64(str(v))
        except ValueError:
            return v
    return values[0] if len(values) else None


def numeric_column(values: np.ndarray, name: str) -> np.ndarray:
    try:
        out = values.astype(np.float64)
    except (TypeError, ValueError):
        raise ValueError(f"weight column {name!r} must be numeric") from None
    if np.isnan(out).any():
        raise ValueError(f"weight column {name!r} has missing values")
    if np.isinf(out).any():
        raise ValueError(f"weight column {name!r} has infinite values")
    return out


# ------------------------------------------------------------ interactions


class UserHistories:
    """Sizes and per-user histories of an event set: its id maps and its
    history CSR (``hist_indptr`` into ``hist_items``)."""

    users: IdMap
    items: IdMap
    hist_indptr: np.ndarray
    hist_items: np.ndarray

    @property
    def n_users(self) -> int:
        return len(self.users)

    @property
    def n_items(self) -> int:
        return len(self.items)

    def history(self, user: int) -> np.ndarray:
        return self.hist_items[self.hist_indptr[user] : self.hist_indptr[user + 1]]


@dataclass
class Interactions(UserHistories):
    """Dense, time-ordered interaction arrays and the maps back to caller ids.

    Events keep every interaction (the repeat profile and the session graphs
    need repeats and order); pairs fold each (user, item) into one weight.
    """

    users: IdMap
    items: IdMap
    user_idx: np.ndarray  # int64, one per event, events in time order
    item_idx: np.ndarray  # int64
    timestamps: np.ndarray | None  # float64 UNIX seconds, or None
    session_idx: np.ndarray | None  # int64 dense session of each event, or None
    n_sessions: int
    pair_user: np.ndarray  # int64, distinct (user, item) pairs sorted by user
    pair_item: np.ndarray  # int64
    pair_weight: np.ndarray  # float32
    pair_count: np.ndarray  # int32 (int64 beyond 2**31 events) events of each pair
    pair_time: np.ndarray | None  # float64 last time of each pair
    hist_indptr: np.ndarray  # int64 per-user rows into hist_items
    hist_items: np.ndarray  # int64 distinct items of each user, least recent first
    event_weights: np.ndarray  # float64 weight column value of each event (1 without one)
    weighting: str
    # exact duplicate rows (same user, item, time and session) found in the table,
    # and whether they were dropped (else they count as repeated events)
    duplicates: int = 0
    duplicates_dropped: bool = False

    def select_events(self, keep: np.ndarray) -> Interactions:
        """The same maps with only the events where ``keep`` is true."""
        session = self.session_idx[keep] if self.session_idx is not None else None
        times = self.timestamps[keep] if self.timestamps is not None else None
        return _assemble(
            self.users,
            self.items,
            self.user_idx[keep],
            self.item_idx[keep],
            times,
            session,
            self.n_sessions,
            self.event_weights[keep],
            self.weighting,
        )


def prepare_interactions(
    table: Any,
    *,
    user_col: str = "user",
    item_col: str = "item",
    time_col: str | None = None,
    weight_col: str | None = None,
    session_col: str | None = None,
    weighting: str | None = None,
    session_gap_seconds: float | None = None,
    extra_items: Any = (),
    time_format: str | None = None,
    drop_duplicates: bool = False,
) -> Interactions:
    """Map a caller's interaction table to dense arrays.

    ``weighting`` is "binary" (every pair weighs 1), "log1p" (log1p of the number
    of events of the pair) or "rating" (the mean of ``weight_col`` over the pair);
    by default "rating" when ``weight_col`` is given, else "binary". Without a
    session column, events of one user less than ``session_gap_seconds`` apart
    form a session (when timestamps exist and the gap is given).
    ``extra_items`` are item ids known without interactions (new items);
    ``time_format`` parses text times (see ``timestamps_of``). Exact duplicate
    rows (see ``duplicate_events``) are counted, and left out with
    ``drop_duplicates``. Columns of different lengths raise ValueError, as do
    ids a model cannot store (see ``check_ids``) and a weight column without
    any positive value.
    """
    weighting = resolve_weighting(weighting, weight_col)
    raw = columns_of(
        table,
        {
            "user_col": user_col,
            "item_col": item_col,
            "time_col": time_col,
            "weight_col": weight_col,
            "session_col": session_col,
        },
    )
    if len(raw["user_col"]) == 0:
        raise ValueError("interactions are empty")
    users, user_idx = IdMap.encode(raw["user_col"], f"user column {user_col!r}")
    items, item_idx = IdMap.encode(raw["item_col"], f"item column {item_col!r}")
    items = checked_maps(users, items, extra_items, user_col, item_col)
    times = timestamps_of(raw["time_col"], time_col, time_format) if time_col else None
    weights = (
        numeric_column(raw["weight_col"], weight_col) if weight_col else np.ones(len(user_idx))
    )
    if weight_col and not (weights > 0).any():
        raise ValueError(no_positive_weight(weight_col))
    labels = (
        IdMap.encode(raw["session_col"], f"session column {session_col!r}")[1]
        if session_col
        else None
    )
    return events_of(
        users,
        items,
        user_idx,
        item_idx,
        times,
        weights,
        labels,
        np.arange(len(user_idx)),
        weighting=weighting,
        session_gap_seconds=session_gap_seconds,
        drop_duplicates=drop_duplicates,
    )[0]


def events_of(
    users: IdMap,
    items: IdMap,
    user_idx: np.ndarray,
    item_idx: np.ndarray,
    times: np.ndarray | None,
    weights: np.ndarray,
    labels: np.ndarray | None,
    rows: np.ndarray,
    *,
    weighting: str,
    session_gap_seconds: float | None,
    drop_duplicates: bool,
) -> tuple[Interactions, np.ndarray]:
    """The checked columns of a table's events (or of all the events of some
    of its users) as ``Interactions``, and the table row of each event kept.

    ``labels`` are session labels as codes; ``rows`` the events' rows in the
    table. Events are put in (time, row) order, the order a stable sort by
    time of the whole table gives; exact duplicates are counted and, with
    ``drop_duplicates``, all but the first row of each are left out."""

    def take(index: np.ndarray) -> None:
        nonlocal user_idx, item_idx, weights, rows, times, labels
        user_idx, item_idx, weights, rows = (a[index] for a in (user_idx, item_idx, weights, rows))
        times = times[index] if times is not None else None
        labels = labels[index] if labels is not None else None

    # events of a whole table come in row order: a stable sort by time is then
    # the (time, row) order, and without times they are in order already
    in_rows = bool(np.all(rows[1:] > rows[:-1]))
    if times is not None:
        # a log exported in time order is taken as it is
        if not (in_rows and bool(np.all(times[1:] >= times[:-1]))):
            take(np.argsort(times, kind="stable") if in_rows else np.lexsort((rows, times)))
    elif not in_rows:
        take(np.argsort(rows, kind="stable"))
    # the first row of a group of duplicates comes first in (time, row) order
    duplicate = duplicate_events(user_idx, item_idx, times, labels)
    n_duplicates = int(np.count_nonzero(duplicate))
    if drop_duplicates and n_duplicates:
        take(~duplicate)
    if labels is not None:
        # sessions are keyed by (user, session) so that reused labels never merge users
        session_idx = _dense_codes(user_idx * (int(labels.max(initial=0)) + 1) + labels)
    elif times is not None and session_gap_seconds is not None:
        session_idx = _sessions_by_gap(user_idx, times, session_gap_seconds)
    else:
        session_idx = None
    n_sessions = int(session_idx.max()) + 1 if session_idx is not None and len(user_idx) else 0
    data = _assemble(
        users, items, user_idx, item_idx, times, session_idx, n_sessions, weights, weighting
    )
    data.duplicates, data.duplicates_dropped = n_duplicates, bool(drop_duplicates)
    return data, rows


def checked_maps(
    users: IdMap, items: IdMap, extra_items: Any, user_col: str, item_col: str
) -> IdMap:
    """Checks that a model can store the ids (see ``check_ids``); the item
    map with the ``extra_items`` known without interactions after its own."""
    check_ids(users, f"user column {user_col!r}")
    check_ids(items, f"item column {item_col!r}")
    items = items.extend(extra_items, f"item column {item_col!r} of item_features")
    check_ids(items, f"item column {item_col!r} of interactions and item_features together")
    return items


def resolve_weighting(weighting: str | None, weight_col: str | None) -> str:
    """The weighting a fit uses: ``weighting``, else "rating" with a weight
    column and "binary" without; unknown names raise ValueError."""
    weighting = weighting or ("rating" if weight_col else "binary")
    if weighting not in WEIGHTINGS:
        raise ValueError(
            f"unknown weighting {weighting!r}; expected one of {', '.join(WEIGHTINGS)}"
        )
    if weighting == "rating" and weight_col is None:
        raise ValueError("weighting='rating' needs weight_col")
    return weighting


def no_positive_weight(weight_col: str) -> str:
    """The message for a weight column without any positive value."""
    return (
        f"every value of weight column {weight_col!r} is zero or negative: "
        "nothing would be learnt (items are related through positive weights)"
    )


def duplicate_events(
    user_idx: np.ndarray,
    item_idx: np.ndarray,
    times: np.ndarray | None,
    sessions: np.ndarray | None,
) -> np.ndarray:
    """Which events repeat an earlier row exactly: the same user, item, time
    and session (every row after the first of such a group is marked). Without
    times nothing is marked, since repeated purchases cannot be told apart
    from copies of one row then."""
    marked = np.zeros(len(user_idx), dtype=bool)
    if times is None or len(user_idx) < 2:
        return marked
    # only rows whose time another row shares can repeat a row: the full
    # comparison runs on them alone (in row order), often none at all
    by_time = np.argsort(times, kind="stable")
    ordered_times = times[by_time]
    tie = ordered_times[1:] == ordered_times[:-1]
    del ordered_times
    shared = np.zeros(len(times), dtype=bool)
    shared[by_time[1:][tie]] = True
    shared[by_time[:-1][tie]] = True
    del by_time, tie
    rows = np.flatnonzero(shared)
    if len(rows) < 2:
        return marked
    keys = [user_idx, item_idx, times] + ([sessions] if sessions is not None else [])
    keys = [key[rows] for key in keys]
    order = np.lexsort(keys[::-1])  # stable: the first row of a group stays first
    same = np.ones(len(order) - 1, dtype=bool)
    for key in keys:
        ordered = key[order]
        same &= ordered[1:] == ordered[:-1]
    marked[rows[order[1:]]] = same
    return marked


def _dense_codes(keys: np.ndarray) -> np.ndarray:
    factorized = _factorize(keys)  # a hash table: no sort of the events
    if factorized is not None:
        return factorized[0].astype(np.int64, copy=False)
    _, first, codes = np.unique(keys, return_index=True, return_inverse=True)
    # renumber in first-seen order so session numbers follow time
    rank = np.empty(len(first), dtype=np.int64)
    rank[np.argsort(first, kind="stable")] = np.arange(len(first))
    return rank[codes.reshape(-1)]


def _sessions_by_gap(user_idx: np.ndarray, times: np.ndarray, gap: float) -> np.ndarray:
    by_user = np.lexsort((times, user_idx))
    u, t = user_idx[by_user], times[by_user]
    starts = np.ones(len(u), dtype=bool)
    starts[1:] = (u[1:] != u[:-1]) | (t[1:] - t[:-1] > gap)
    sessions = np.empty(len(u), dtype=np.int64)
    sessions[by_user] = np.cumsum(starts) - 1
    return _dense_codes(sessions)


def _assemble(
    users, items, user_idx, item_idx, times, session_idx, n_sessions, weights, weighting
) -> Interactions:
    n_items, n_events = len(items), len(user_idx)
    # the distinct (user, item) pairs from one stable sort of the events by pair:
    # a pair's events then lie together in event order, the latest last
    order = np.argsort(user_idx * n_items + item_idx, kind="stable")
    ordered_user, ordered_item = user_idx[order], item_idx[order]
    starts = np.ones(n_events, dtype=bool)
    starts[1:] = (ordered_user[1:] != ordered_user[:-1]) | (ordered_item[1:] != ordered_item[:-1])
    first = np.flatnonzero(starts)
    pair_user, pair_item = ordered_user[first], ordered_item[first]
    del ordered_user, ordered_item
    ends = np.append(first[1:], n_events) if len(first) else first
    counts = ends - first
    last_seen = order[ends - 1]  # events are in time order
    del ends
    if weighting == "binary":
        pair_weight = np.ones(len(first))
    elif weighting == "log1p":
        pair_weight = np.log1p(counts)
    else:
        pair_of = np.empty(n_events, dtype=np.int64)
        pair_of[order] = np.cumsum(starts) - 1
        pair_weight = np.bincount(pair_of, weights=weights, minlength=len(first)) / counts
        del pair_of
    del order, starts, first
    pair_count = counts.astype(np.int32 if n_events < 2**31 else np.int64)
    pair_time = times[last_seen] if times is not None else None
    # each user's distinct items, least recently consumed first (pairs are by
    # user already, and no two pairs share a last event)
    hist_order = np.argsort(pair_user * max(n_events, 1) + last_seen)
    hist_items = pair_item[hist_order]
    hist_indptr = np.zeros(len(users) + 1, dtype=np.int64)
    np.cumsum(np.bincount(pair_user, minlength=len(users)), out=hist_indptr[1:])
    return Interactions(
        users=users,
        items=items,
        user_idx=user_idx.astype(np.int64, copy=False),
        item_idx=item_idx.astype(np.int64, copy=False),
        timestamps=times,
        session_idx=session_idx,
        n_sessions=n_sessions,
        pair_user=pair_user.astype(np.int64, copy=False),
        pair_item=pair_item.astype(np.int64, copy=False),
        pair_weight=pair_weight.astype(np.float32, copy=False),
        pair_count=pair_count,
        pair_time=pair_time,
        hist_indptr=hist_indptr,
        hist_items=hist_items.astype(np.int64, copy=False),
        event_weights=weights,
        weighting=weighting,
    )


# ------------------------------------------------------------ item features


@dataclass
class ItemFeatures:
    """An item x feature CSR over the dense item indices, and the feature names."""

    data: np.ndarray  # float32
    indices: np.ndarray  # int32
    indptr: np.ndarray  # int32, n_items + 1
    names: list[str]

    @property
    def n_features(self) -> int:
        return len(self.names)


def feature_item_ids(table: Any, item_col: str) -> np.ndarray:
    return column(table, item_col, "item_features", "item_col")


def prepare_item_features(table: Any, items: IdMap, item_col: str) -> ItemFeatures:
    """Encode every column except ``item_col``: numbers as one valued feature,
    text and categories one-hot ("col=value"), lists multi-hot. Missing values
    are left out."""
    feature_item_ids(table, item_col)  # a missing item column is named as such
    found = columns_of(table, {name: name for name in column_names(table)}, "item_features")
    rows = items.index(found.pop(item_col))
    names: dict[str, int] = {}
    entries: list[tuple[int, int, float]] = []
    for name, values in found.items():
        for row, value in zip(rows.tolist(), values.tolist()):
            for feature, amount in _feature_values(name, value):
                entries.append((row, names.setdefault(feature, len(names)), amount))
    return _features_csr(entries, len(items), list(names))


def _feature_values(name: str, value: Any) -> list[tuple[str, float]]:
    if value is None or (isinstance(value, float) and value != value):
        return []
    if isinstance(value, bool):
        return [(name, 1.0)] if value else []
    if isinstance(value, (int, float)):
        return [(name, float(value))] if value != 0 else []
    if isinstance(value, (list, tuple, set, frozenset, np.ndarray)):
        return [(f"{name}={v}", 1.0) for v in value]
    return [(f"{name}={value}", 1.0)]


def _features_csr(entries, n_items: int, names: list[str]) -> ItemFeatures:
    if entries:
        row, col, val = (np.asarray(x) for x in zip(*entries))
    else:
        row, col, val = np.zeros(0, np.int64), np.zeros(0, np.int64), np.zeros(0)
    order = np.lexsort((col, row))
    row, col, val = row[order], col[order], val[order]
    indptr = np.zeros(n_items + 1, dtype=np.int32)
    np.cumsum(np.bincount(row, minlength=n_items), out=indptr[1:])
    return ItemFeatures(val.astype(np.float32), col.astype(np.int32), indptr, names)
