"""The fitted model: the one owner of what a fit leaves (the serving engine, the
id maps, the users' histories, the baselines, the live state, and what the
gates kept and measured), the one fit sequence that makes it (``fit_model``,
for a single machine and for a cluster's sums alike), and its encoding as a
model file."""

from __future__ import annotations

import json
import os
import warnings
from dataclasses import dataclass
from typing import Any

import numpy as np

from tarsel import _container, _core, _live
from tarsel._baselines import BASELINES, MODES, Baselines, popularity_order
from tarsel._fitting import (
    Events,
    GraphSums,
    Parts,
    Plan,
    engine_for,
    fit_parts,
    release_free_memory,
    reusable_graphs,
)
from tarsel._gates import Gate, Holdout, draw_held
from tarsel._progress import Steps
from tarsel._settings import Settings
from tarsel.data import IdMap, ItemFeatures
from tarsel.errors import native_failures

# ------------------------------------------------------------ what was kept


@dataclass(frozen=True)
class Serving:
    """What serves one owned-items mode: the fitted engine ("model") or a
    baseline, with its popularity addend weight and held-out NDCG."""

    source: str
    pop_prior: float
    ndcg: float | None = None


@dataclass(frozen=True)
class Kept:
    """What the gates kept, read once from their record (``record``, which
    ``Recommender.kept_`` shows and the model file stores as it is)."""

    record: dict[str, Any]
    exclude_owned: bool  # the owned-items rule the gates chose
    serving: dict[bool, Serving]  # by exclude_owned

    @classmethod
    def of(cls, record: dict[str, Any]) -> Kept:
        """The typed view of a record; a malformed one raises ValueError (or
        TypeError for a value of the wrong type)."""
        default = float(record.get("pop_prior", 0.0))
        modes = record.get("serving", {})
        if not isinstance(modes, dict):
            raise ValueError("its record of what serves each mode is not a mapping")
        serving = {}
        for exclude, mode in MODES.items():
            choice = modes.get(mode, {})
            if not isinstance(choice, dict):
                raise ValueError(f"its record of what serves {mode!r} is not a mapping")
            ndcg = choice.get("ndcg")
            serving[exclude] = Serving(
                str(choice.get("source", "model")),
                float(choice.get("pop_prior", default)),
                None if ndcg is None else float(ndcg),
            )
        return cls(record, bool(record.get("exclude_owned", True)), serving)

    def served_by(self, exclude_owned: bool) -> str | None:
        """The baseline served in this mode, or None when the engine serves
        (the gates chose a baseline only where nothing fitted beat it)."""
        source = self.serving[bool(exclude_owned)].source
        return source if source in BASELINES else None

    def pop_prior(self, exclude_owned: bool) -> float:
        """The popularity addend weight the gates chose for this mode."""
        return self.serving[bool(exclude_owned)].pop_prior

    def warn_if_served(self) -> None:
        """Warn for each serving mode where no fitted model beat a simple
        baseline on the held-out users, so that the baseline itself is served
        there (the warning points at the caller of the fit)."""
        for exclude, choice in self.serving.items():
            source = self.served_by(exclude)
            if source is not None:
                rule = "excluded" if exclude else "allowed"
                warnings.warn(
                    f"with owned items {rule}, no fitted model beat {source.replace('_', ' ')}"
                    f" on the held-out users (NDCG {choice.ndcg or 0.0:.4f}); that baseline "
                    "is served in this mode",
                    stacklevel=3,
                )


# ------------------------------------------------------------ the model


@dataclass(frozen=True)
class ArraySection:
    """A model array stored as one flat little-endian array section. Sections
    added after files were first written are ``optional``."""

    name: str
    dtype: str
    optional: bool = False


# The model's array sections, in file order after the engine, the metadata and
# the id maps; the personal lists come from the baselines.
MODEL_ARRAYS = {
    spec.name: spec
    for spec in (
        ArraySection("hist_indptr", "<i8"),
        ArraySection("hist_items", "<i8"),
        ArraySection("repeat_sizes", "<i8"),
        ArraySection("item_pop", "<f8"),
        ArraySection("personal_indptr", "<i8", optional=True),
        ArraySection("personal_items", "<i8", optional=True),
        ArraySection("personal_counts", "<f8", optional=True),
    )
}


@dataclass(eq=False)
class FittedModel:
    """Everything a fit leaves, and the only place it is kept. The histories
    are the fitted CSR (``live`` holds the rows changed since); ``repeat_sizes``
    counts each user's repeat-profile items in the engine."""

    params: dict[str, Any]  # the estimator's settings, by name, as saved
    columns: dict[str, Any]  # the column names (and time format) fit was given
    engine: Any  # tarsel._core.EngineState
    users: IdMap
    items: IdMap
    item_pop: np.ndarray  # interactions per item
    hist_indptr: np.ndarray
    hist_items: np.ndarray
    repeat_sizes: np.ndarray
    baselines: Baselines
    live: _live.Live
    kept: Kept
    report: dict[str, Any]  # every figure behind the gates' choices

    @classmethod
    def of_fit(
        cls,
        params: dict[str, Any],
        columns: dict[str, Any],
        data: Events,
        parts: Parts,
        plan: Plan,
        report: dict[str, Any],
    ) -> FittedModel:
        """The model of a finished fit: the engine of ``plan`` over ``parts``
        and what serving needs of ``data``."""
        repeat = plan.repeat and parts.repeat
        profile = parts.repeat_profile if repeat else None
        sizes = np.zeros(data.n_users, dtype=np.int64)
        if profile is not None:
            sizes = np.diff(profile[0]).astype(np.int64)
        min_count = plan.repeat_min_count or int(params["repeat_min_count"])
        record = plan.describe(parts)
        report["kept"] = record
        return cls(
            params=params,
            columns=columns,
            engine=engine_for(parts, plan),
            users=data.users,  # type: ignore[attr-defined]
            items=data.items,  # type: ignore[attr-defined]
            item_pop=parts.item_pop,
            hist_indptr=data.hist_indptr,
            hist_items=data.hist_items,
            repeat_sizes=sizes,
            baselines=Baselines.of_event_set(data),
            live=_live.after_fit(data, profile, min_count, plan.repeat_periods),
            kept=Kept.of(record),
            report=report,
        )

    # ------------------------------------------------------------ encoding

    def sections(self) -> dict[str, bytes]:
        """The model file's sections, in file order (pending updates are
        folded into the histories first)."""
        live = _live.sections(self)
        user_kind, user_bytes = self.users.to_bytes()
        item_kind, item_bytes = self.items.to_bytes()
        with native_failures():
            engine = self.engine.to_bytes()
        meta = {
            "params": self.params,
            "fit_report": self.report,
            "kept": self.kept.record,
            "columns": self.columns,
            "user_ids": user_kind,
            "item_ids": item_kind,
        }
        arrays = {
            "hist_indptr": self.hist_indptr,
            "hist_items": self.hist_items,
            "repeat_sizes": self.repeat_sizes,
            "item_pop": self.item_pop,
            "personal_indptr": self.baselines.owned_indptr,
            "personal_items": self.baselines.owned_items,
            "personal_counts": self.baselines.owned_counts,
        }
        sections = {
            # first, so that the file is also an engine record file
            "engine": engine,
            "meta": json.dumps(meta, default=_json_default).encode(),
            "user_ids": user_bytes,
            "item_ids": item_bytes,
        }
        for name, spec in MODEL_ARRAYS.items():
            sections[name] = np.ascontiguousarray(arrays[name], dtype=spec.dtype).tobytes()
        sections.update(live)
        return sections

    def to_bytes(self) -> bytes:
        """The model file's bytes."""
        return _container.encode_container(self.sections())

    def save(self, path: str | os.PathLike) -> None:
        """Write the model file to ``path`` atomically."""
        _container.write_container(path, self.sections())

    @classmethod
    def from_bytes(cls, blob: bytes) -> FittedModel:
        """The model of a model file's bytes (see ``load``)."""
        return cls._decoded(_container.container_of_bytes(blob))

    @classmethod
    def load(cls, path: str | os.PathLike) -> FittedModel:
        """The model of a file written by ``save``. Every failure is a
        ValueError that says why: a file that is not a model, a damaged one,
        or one whose parts disagree with each other."""
        with _container.open_container(path, engine_section="engine") as container:
            return cls._decoded(container)

    @classmethod
    def _decoded(cls, container: _container.Container) -> FittedModel:
        # checked before any section is decoded: a damaged id table could cost
        # far more memory than the file
        container.verify()
        try:
            return cls._of_sections(container)
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

    @classmethod
    def _of_sections(cls, container: _container.Container) -> FittedModel:
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
        if container.engine_error is not None:
            raise container.engine_error
        engine = (
            container.engine
            if container.engine is not None
            else _core.EngineState._from_buffer(sections["engine"])
        )
        sizes = engine.sizes()
        n_users, n_items = sizes["n_users"], sizes["n_items"]
        users = IdMap.from_bytes(meta["user_ids"], bytes(sections["user_ids"]))
        items = IdMap.from_bytes(meta["item_ids"], bytes(sections["item_ids"]))
        if len(users) < n_users:  # updates may add users after the engine's
            _expect(len(users), n_users, "user ids", "users")
        _expect(len(items), n_items, "item ids", "items")
        arrays: dict[str, np.ndarray] = {}
        for name, spec in MODEL_ARRAYS.items():
            if name in sections:
                arrays[name] = _array(sections[name], spec)
            elif not spec.optional:
                raise ValueError(f"it has no {name!r} section")
        n_users = len(users)
        _check_arrays(arrays, n_users, n_items)
        live = _live.restore(sections, lambda name: bytes(sections[name]), arrays["hist_items"])
        if live.profile is not None:
            _check_lists(
                live.profile.indptr, live.profile.items, n_users, n_items, "repeat profile"
            )
        return cls(
            params=meta["params"],
            columns=meta["columns"],
            engine=engine,
            users=users,
            items=items,
            item_pop=arrays["item_pop"],
            hist_indptr=arrays["hist_indptr"],
            hist_items=arrays["hist_items"],
            repeat_sizes=arrays["repeat_sizes"],
            baselines=_stored_baselines(arrays),
            live=live,
            kept=Kept.of(meta["kept"]),
            report=meta["fit_report"],
        )


def _stored_baselines(arrays: dict[str, np.ndarray]) -> Baselines:
    """The baselines of a model file. A file written before the personal
    counts were kept counts each listed item once (one written before personal
    order was kept lists the user's history)."""
    counts = np.asarray(arrays["item_pop"], dtype=np.float64)
    indptr, items = arrays.get("personal_indptr"), arrays.get("personal_items")
    own = arrays.get("personal_counts")
    if indptr is None or items is None:
        indptr, items, own = arrays["hist_indptr"], arrays["hist_items"], None
    if own is not None:
        return Baselines(counts, popularity_order(counts), indptr, items, own)
    lists = Baselines(counts, popularity_order(counts), indptr, items, np.ones(len(items)))
    users, items, own = lists.entries()
    return Baselines.of_entries(counts, users, items, own, len(indptr) - 1)


def _array(payload: Any, spec: ArraySection) -> np.ndarray:
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


def _check_arrays(arrays: dict[str, np.ndarray], n_users: int, n_items: int) -> None:
    """Every index section against the counts the file declares (the id
    maps): a request then never reads out of range or allocates by a forged
    number."""
    indptr, items = arrays["hist_indptr"], arrays["hist_items"]
    _expect(len(indptr), n_users + 1, "history offsets", "users (plus one)")
    _check_lists(indptr, items, n_users, n_items, "histories")
    sizes = arrays["repeat_sizes"]
    _expect(len(sizes), n_users, "repeat-profile sizes", "users")
    if len(sizes) and (sizes.min() < 0 or sizes.max() > n_items):
        raise ValueError("its repeat-profile sizes are negative or exceed the catalogue")
    _expect(len(arrays["item_pop"]), n_items, "item popularities", "items")
    personal, listed = arrays.get("personal_indptr"), arrays.get("personal_items")
    if (personal is None) != (listed is None):
        raise ValueError("it has personal lists without their offsets, or offsets without lists")
    if personal is not None and listed is not None:
        # files of models updated with new users before the lists grew cover fewer
        _check_lists(personal, listed, n_users, n_items, "personal lists")
        own = arrays.get("personal_counts")
        if own is not None and (len(own) != len(listed) or not np.all(own >= 1)):
            raise ValueError("its personal counts do not match its personal lists")


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


# ------------------------------------------------------------ the fit


@dataclass
class Summed:
    """What a distributed fit hands ``fit_model`` in place of building the
    item-item graphs from the events' pairs: the graphs summed over all events,
    the held-out events (None: the gates are skipped), and the remaining
    events' totals and graphs."""

    graphs: GraphSums
    held: np.ndarray | None
    train: Events | None = None
    train_graphs: GraphSums | None = None


def fit_model(
    settings: Settings,
    events: Events,
    features: ItemFeatures | None,
    *,
    params: dict[str, Any],
    columns: dict[str, Any],
    duplicates: tuple[int, bool] = (0, False),
    summed: Summed | None = None,
    steps: Steps | None = None,
) -> FittedModel:
    """Fit every part on the events without the held-out users' last
    sessions, gate them on those users, and fit what was kept on all events.

    ``events`` are prepared interactions, or with ``summed`` a distributed
    fit's totals. ``params`` and ``columns`` are stored with the model (a
    ``time_format`` of None is left out); ``duplicates`` is the number of exact
    duplicate rows found and whether they were dropped."""
    steps = steps if steps is not None else Steps(False, total=4)
    report: dict[str, Any] = {
        "users": events.n_users,
        "items": events.n_items,
        "interactions": len(events.user_idx),
    }
    if duplicates[0]:
        report["duplicates"] = {"rows": duplicates[0], "dropped": duplicates[1]}
    held = (
        draw_held(events, settings.gate_users, settings.random_state)
        if summed is None
        else summed.held
    )
    gate_parts = holdout = train = None
    if held is None:
        plan = Plan.everything(settings)
        report["gates"] = (
            "skipped: gate_users is 0"
            if settings.gate_users <= 0
            else "skipped: too few users with two or more sessions or interactions"
        )
    else:
        train = events.select_events(~held) if summed is None else summed.train  # type: ignore[attr-defined]
        assert train is not None, "held-out users leave a training set"
        holdout = Holdout.of(train, events, held)
        steps.start("fitting without the held-out sessions")
        gate_parts = fit_parts(
            settings,
            train,
            features,
            Plan.everything(settings),
            report,
            sums=summed.train_graphs if summed is not None else None,
        )
        steps.start("gating on held-out users")
        plan = Gate(settings, gate_parts, holdout).run(report)
    steps.start("fitting on all interactions")
    graphs = reusable_graphs(gate_parts, holdout, events, report)
    # the held-out split and the rest of the gate fit are not needed any more
    held = holdout = gate_parts = train = None
    release_free_memory()
    parts = fit_parts(
        settings,
        events,
        features,
        plan,
        report,
        graphs=graphs,
        sums=summed.graphs if summed is not None else None,
    )
    graphs = None
    stored = {k: v for k, v in columns.items() if k != "time_format" or v is not None}
    # the caller releases the memory of the parts once it drops the events too
    return FittedModel.of_fit(params, stored, events, parts, plan, report)
