"""The held-out gates: each sampled user's last session is held out, and each
channel, the repeat module and each boost layer is kept only when it raises
NDCG@k on those users."""
from __future__ import annotations

from dataclasses import dataclass
from typing import Any, Optional

import numpy as np

from tarsel import _core
from tarsel._fitting import Parts, Plan, engine_for, native, plan_alphas, popularity_order
from tarsel._settings import Settings
from tarsel.data import Interactions
from tarsel.evaluation import ndcg_at_k

# channels whose weight the engine can change in place, in its argument order
_OVERRIDABLE = ("trend", "user_cf", "last_item", "transition")
_MAX_GATE_PASSES = 3


@dataclass
class Holdout:
    """Each sampled user's last session (or last interaction) held out, the
    remaining events as training data, and the held-out items per user."""

    train: Interactions
    rows: np.ndarray  # held-out users' rows
    relevant: list[set[int]]
    times: Optional[np.ndarray]  # time of each held-out unit (for the repeat profile)

    @classmethod
    def draw(cls, data: Interactions, n_users: int, seed: int) -> Optional["Holdout"]:
        unit = data.session_idx if data.session_idx is not None else np.arange(len(data.user_idx))
        # events are in time order, so a user's last unit is the unit of its last event
        last_event = np.zeros(data.n_users, dtype=np.int64)
        np.maximum.at(last_event, data.user_idx, np.arange(len(data.user_idx)))
        last_unit = unit[last_event]
        units_per_user = np.bincount(data.user_idx[_first_of(unit)], minlength=data.n_users)
        eligible = np.flatnonzero(units_per_user >= 2)
        if len(eligible) < 20:
            return None
        rng = np.random.default_rng(seed)
        rows = np.sort(rng.choice(eligible, size=min(n_users, len(eligible)), replace=False))
        chosen = np.zeros(data.n_users, dtype=bool)
        chosen[rows] = True
        held = chosen[data.user_idx] & (unit == last_unit[data.user_idx])
        relevant: dict[int, set[int]] = {r: set() for r in rows.tolist()}
        for u, i in zip(data.user_idx[held].tolist(), data.item_idx[held].tolist()):
            relevant[u].add(i)
        times = None
        if data.timestamps is not None:
            times = np.full(data.n_users, np.inf)
            np.minimum.at(times, data.user_idx[held], data.timestamps[held])
            times = times[rows]
        return cls(data.select_events(~held), rows, [relevant[r] for r in rows.tolist()], times)


def _first_of(unit: np.ndarray) -> np.ndarray:
    return np.unique(unit, return_index=True)[1]


class Gate:
    """Switches each channel, the repeat module and each boost layer off in turn
    on an engine fitted without the held-out data, keeping what raises NDCG@k."""

    def __init__(self, settings: Settings, parts: Parts, holdout: Holdout):
        self.settings, self.parts, self.holdout = settings, parts, holdout
        self.k = settings.gate_k
        self.owned = [holdout.train.history(r) for r in holdout.rows.tolist()]
        if parts.repeat:
            self._align_repeat_times()

    def run(self, report: dict[str, Any]) -> Plan:
        plan = Plan(set(self.parts.channels), [], self.parts.repeat)
        gates: dict[str, Any] = {}
        # A part judged helpful beside others can hurt once they are gone, so
        # passes repeat until one drops nothing.
        for _ in range(_MAX_GATE_PASSES):
            before = (set(plan.channels), plan.repeat)
            self._gate_pass(plan, gates)
            if (plan.channels, plan.repeat) == before:
                break
        self._gate_popularity(plan, gates)
        self._calibrate_boost(plan, gates)
        engine = engine_for(self.parts, plan)
        report["gates"] = gates
        report["heldout"] = {"users": len(self.holdout.rows), "k": self.k,
                             "ndcg": round(self.ndcg(engine, plan.pop_prior), 5),
                             "popularity_ndcg": round(self._popularity_ndcg(), 5)}
        return plan

    def _gate_pass(self, plan: Plan, gates: dict) -> None:
        engine = engine_for(self.parts, plan)
        current = self.ndcg(engine)
        if plan.repeat:
            current = self._gate_repeat(engine, plan, current, gates)
        for channel in [c for c in _OVERRIDABLE if c in plan.channels]:
            current = self._gate_channel(engine, plan, channel, current, gates)
        if "content" in plan.channels:
            self._gate_content(plan, current, gates)

    def ndcg(self, engine, pop_prior: float = 0.0) -> float:
        found = engine.recommend_batch(self.owned, self.holdout.rows.tolist(), self.k, pop_prior)
        return float(np.mean([ndcg_at_k(items, rel, self.k)
                              for (items, _, _), rel in zip(found, self.holdout.relevant)]))

    def _popularity_ndcg(self) -> float:
        top = popularity_order(self.parts.item_pop)[: self.k].tolist()
        return float(np.mean([ndcg_at_k(top, rel, self.k) for rel in self.holdout.relevant]))

    def _decide(self, name: str, on: float, off: float, gates: dict) -> bool:
        keep = on - off > self.settings.min_gain
        gates[name] = {"on": round(on, 5), "off": round(off, 5), "kept": keep}
        return keep

    def _gate_repeat(self, engine, plan: Plan, current: float, gates: dict) -> float:
        engine.set_repeat_active(False)
        off = self.ndcg(engine)
        plan.repeat = self._decide("repeat", current, off, gates)
        engine.set_repeat_active(plan.repeat)
        return current if plan.repeat else off

    def _gate_channel(self, engine, plan: Plan, channel: str, current: float, gates) -> float:
        trial = Plan(plan.channels - {channel}, plan.layers, plan.repeat)
        engine.set_channel_alphas(*self._overridable_alphas(trial))
        off = self.ndcg(engine)
        if self._decide(channel, current, off, gates):
            engine.set_channel_alphas(*self._overridable_alphas(plan))
            return current
        plan.channels.discard(channel)
        return off

    def _gate_content(self, plan: Plan, current: float, gates) -> None:
        # the content weight is not an in-place override: compare two engines
        off = self.ndcg(engine_for(self.parts, Plan(plan.channels - {"content"}, [], plan.repeat)))
        if not self._decide("content", current, off, gates):
            plan.channels.discard("content")

    def _gate_popularity(self, plan: Plan, gates: dict) -> None:
        """The weight of the engine's popularity addend (ln(1 + count) per item),
        chosen on the held-out users; 0 unless some weight helps."""
        engine = engine_for(self.parts, plan)
        scored = [(self.ndcg(engine, w), w) for w in self.settings.pop_prior_grid if w > 0]
        if not scored:
            return
        best, weight = max(scored, key=lambda pair: (pair[0], -pair[1]))
        if self._decide("popularity", best, self.ndcg(engine), gates):
            plan.pop_prior = weight
        gates["popularity"]["weight"] = weight

    def _overridable_alphas(self, plan: Plan) -> list[float]:
        alphas = plan_alphas(self.parts, plan)
        return [alphas[f"{c}_alpha"] for c in _OVERRIDABLE]

    def _calibrate_boost(self, plan: Plan, gates: dict) -> None:
        names = [n for n in ("session", "adjacency", "content_neighbours") if n in self.parts.layers]
        if not names or native("calibrate_layered_py") is None:
            return
        slices = self._user_slices(plan)
        if not slices:
            return
        unboosted = (plan.z_threshold, 0.0, float(np.mean(
            [_core.ndcg_at_k_py(base, rel, self.k) for base, _, rel in slices])))
        best = self._calibrate(slices, names, unboosted)
        for name in list(names):
            trial = [n for n in names if n != name]
            without = self._calibrate(slices, trial, unboosted) if trial else unboosted
            if not self._decide(f"boost:{name}", best[2], without[2], gates):
                names, best = trial, without
        if names and best[1] > 0:
            plan.layers, plan.z_threshold, plan.boost_multiplier = names, best[0], best[1]
        gates["boost"] = {"layers": plan.layers, "z_threshold": plan.z_threshold,
                          "boost_multiplier": plan.boost_multiplier}

    def _calibrate(self, slices, names: list[str], unboosted: tuple) -> tuple:
        """(z, boost, ndcg) of the best gate for these layers; the unboosted figures
        when layering does not lift NDCG over the base scores."""
        users = [(base, [(layers[n], "nonzero") for n in names], rel)
                 for base, layers, rel in slices]
        _, (z, boost, ndcg, _) = _core.calibrate_layered_py(
            users, list(self.settings.z_grid), list(self.settings.boost_grid), k=self.k,
            min_lift_over_cooc_only=self.settings.min_gain + 1e-12)
        return (z, boost, ndcg) if boost > 0 else unboosted

    def _user_slices(self, plan: Plan):
        engine = engine_for(self.parts, plan, layers=[])
        found = engine.recommend_batch(self.owned, self.holdout.rows.tolist(),
                                       self.settings.retrieval_budget, plan.pop_prior)
        slices = []
        for (items, scores, _), owned, rel in zip(found, self.owned, self.holdout.relevant):
            if not items:
                continue
            layers = {n: _core.cooccurrence_signal(*csr, owned, items)
                      for n, csr in self.parts.layers.items()}
            relevance = np.asarray([1.0 if i in rel else 0.0 for i in items])
            slices.append((np.asarray(scores, dtype=np.float64), layers, relevance))
        return slices

    def _align_repeat_times(self) -> None:
        # Each held-out user is judged at the time of its held-out session, but the
        # engine has one "now": shift the user's last-consumption times so that
        # now minus last equals the real gap before that session.
        indptr, items, counts, last_ts, periods, quality = self.parts.repeat_profile
        now = float(self.parts.config["repeat_now_ts"])
        last_ts = last_ts.copy()
        for row, when in zip(self.holdout.rows.tolist(), self.holdout.times.tolist()):
            last_ts[indptr[row]:indptr[row + 1]] += now - when
        self.parts.arrays["repeat_last_ts"] = last_ts
