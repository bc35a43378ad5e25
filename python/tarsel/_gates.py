"""The held-out gates: each sampled user's last session is held out, and each
channel, the repeat module and each boost layer is kept only when it raises
NDCG@k on those users. Then the fitted model, the base alone and the simple
baselines are weighed in both serving modes (owned items excluded or allowed),
and each mode serves the best of them."""

from __future__ import annotations

from dataclasses import dataclass
from typing import Any

import numpy as np

from tarsel import _core
from tarsel._baselines import BASELINES, MODES, PERSONAL, POPULARITY, Baselines
from tarsel._fitting import (
    PROFILE_KEYS,
    Events,
    Parts,
    Plan,
    ease_tuning_limit,
    engine_for,
    mean_gap_periods,
    plan_alphas,
    repeat_timing,
    sized_batch,
)
from tarsel._settings import Settings
from tarsel.data import Interactions
from tarsel.evaluation import ndcg_at_k, paired_bootstrap

# channels whose weight the engine can change in place, in its argument order
_OVERRIDABLE = ("trend", "user_cf", "last_item", "transition")
_MAX_GATE_PASSES = 3
# Weights of purchase frequency tried against the setting's, as multiples of it.
_FREQ_FACTORS = (0.3, 3.0, 10.0, 30.0, 100.0, 1000.0)
# The repeat profile's timings tried (see ``repeat_timing``).
_TIMINGS = ("fitted", "mean_gap", "none", "due")
# A calibrated choice replaces the setting only when the lower end of the paired
# bootstrap interval of its gain is above 0: picking the best of several
# candidates on a few hundred users otherwise favours noise.
_CONFIDENCE = 0.95
_RESAMPLES = 1000
# EASE's regularisation tried beside the setting's, as multiples of it. Held-out
# NDCG changes slowly with lambda near its best (on the MovieLens-sized log:
# 0.0568, 0.0583, 0.0570, 0.0574 at 50, 100, 250, 500), so steps of 2.5 find
# that plateau; a winner at either end gets one more step that way. Each
# candidate is one more solve of the same Gram matrix: two, at most three.
_LAMBDA_STEP = 2.5


@dataclass
class Holdout:
    """Each sampled user's last session (or last interaction) held out, the
    remaining events as training data, and the held-out items per user."""

    train: Events  # Interactions, or a distributed fit's totals
    rows: np.ndarray  # held-out users' rows
    relevant: list[set[int]]
    times: np.ndarray | None  # time of each held-out unit (for the repeat profile)

    @classmethod
    def draw(cls, data: Interactions, n_users: int, seed: int) -> Holdout | None:
        held = draw_held(data, n_users, seed)
        return None if held is None else cls.of(data.select_events(~held), data, held)

    @classmethod
    def of(cls, train: Events, data: Events, held: np.ndarray) -> Holdout:
        """The hold-out of the ``held`` events of ``data``, ``train`` being the
        rest of them."""
        rows = np.unique(data.user_idx[held])
        relevant: dict[int, set[int]] = {r: set() for r in rows.tolist()}
        for u, i in zip(data.user_idx[held].tolist(), data.item_idx[held].tolist()):
            relevant[u].add(i)
        times = None
        if data.timestamps is not None:
            times = np.full(data.n_users, np.inf)
            np.minimum.at(times, data.user_idx[held], data.timestamps[held])
            times = times[rows]
        return cls(train, rows, [relevant[r] for r in rows.tolist()], times)


# Fewer users with two or more sessions (or events) than this leave the gates
# too little to measure on: they are skipped.
MIN_HELD_OUT_USERS = 20


def eligible_users(data: Events) -> np.ndarray:
    """Which users may be held out: those with two or more sessions (or events
    without sessions). Reads only each user's own events, so a distributed fit
    asks it of each group of users."""
    first = _first_of(_units(data))
    return np.bincount(data.user_idx[first], minlength=data.n_users) >= 2


def draw_users(eligible: np.ndarray, n_users: int, seed: int) -> np.ndarray | None:
    """The held-out users' rows, ascending, drawn from the ``eligible`` rows
    (ascending); None when there are too few of them to measure on."""
    if n_users <= 0 or len(eligible) < MIN_HELD_OUT_USERS:
        return None
    rng = np.random.default_rng(seed)
    return np.sort(rng.choice(eligible, size=min(n_users, len(eligible)), replace=False))


def held_events(data: Events, chosen: np.ndarray) -> np.ndarray:
    """Which events are held out: the last session (or last event) of each
    user marked in ``chosen`` (one flag per user)."""
    unit = _units(data)
    # events are in time order, so a user's last unit is the unit of its last event
    last_event = np.zeros(data.n_users, dtype=np.int64)
    np.maximum.at(last_event, data.user_idx, np.arange(len(data.user_idx)))
    last_unit = unit[last_event]
    return chosen[data.user_idx] & (unit == last_unit[data.user_idx])


def draw_held(data: Events, n_users: int, seed: int) -> np.ndarray | None:
    """The held-out events of ``n_users`` users drawn with ``seed``, or None
    when the gates are skipped."""
    rows = draw_users(np.flatnonzero(eligible_users(data)), n_users, seed)
    if rows is None:
        return None
    chosen = np.zeros(data.n_users, dtype=bool)
    chosen[rows] = True
    return held_events(data, chosen)


def _units(data: Events) -> np.ndarray:
    return data.session_idx if data.session_idx is not None else np.arange(len(data.user_idx))


def _means(values: tuple[list, list, list]) -> tuple[float, float, float]:
    excluded, allowed, whole = (float(np.mean(v)) if v else 0.0 for v in values)
    return excluded, allowed, whole


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
            parts.arrays["repeat_last_ts"] = self._aligned_last_ts(self._repeat_profile())
        self._prepare_weighing()

    def run(self, report: dict[str, Any]) -> Plan:
        plan = Plan(set(self.parts.channels), [], self.parts.repeat)
        gates: dict[str, Any] = {}
        self._choose_base(plan, gates, report)
        if plan.repeat:
            self._calibrate_repeat(plan, gates)
        # A part judged helpful beside others can hurt once they are gone, so
        # passes repeat until one drops nothing.
        for _ in range(_MAX_GATE_PASSES):
            before = (set(plan.channels), plan.repeat)
            self._gate_pass(plan, gates)
            if (plan.channels, plan.repeat) == before:
                break
        self._calibrate_boost(plan, gates)
        engine = engine_for(self.parts, plan)
        report["gates"] = gates
        figures = self._engine_figures("model", engine)
        del engine  # one engine at a time: the base alone is built next
        report["heldout"] = self._weigh(plan, figures)
        return plan

    def _gate_pass(self, plan: Plan, gates: dict) -> None:
        engine = engine_for(self.parts, plan)
        current = self.ndcg_users(engine)
        if plan.repeat:
            current = self._gate_repeat(engine, plan, current, gates)
        for channel in [c for c in _OVERRIDABLE if c in plan.channels]:
            current = self._gate_channel(engine, plan, channel, current, gates)
        if "content" in plan.channels:
            self._gate_content(plan, current, gates)

    def ndcg_users(self, engine) -> tuple[np.ndarray, np.ndarray]:
        """Each held-out user's NDCG@k of the engine's own list (repeat profile
        entries back, other owned items left out) against the whole held-out
        basket, and with owned items excluded (only users with a new held-out
        item have that figure)."""
        lists = self._lists(engine)
        excluded = self._score_users(lists, 0, ([], [], []))[0]
        return self._own_ndcg(lists), np.asarray(excluded)

    def _lists(self, engine) -> list[list[int]]:
        rows = self.holdout.rows.tolist()
        found = sized_batch(
            lambda owned, rows, n: engine.recommend_batch(owned, rows, n, 0.0),
            self.owned,
            rows,
            self.k + self._repeat_room(),
        )
        return [items for items, _, _ in found]

    def _own_ndcg(self, lists: list[list[int]]) -> np.ndarray:
        """Each held-out user's NDCG@k of the engine's own list."""
        return np.asarray(
            [
                ndcg_at_k(items[: self.k], rel, self.k)
                for items, rel in zip(lists, self.holdout.relevant)
            ]
        )

    # ------------------------------------------------- baselines and modes

    def _prepare_weighing(self) -> None:
        """The baselines and each held-out user's relevant items per mode."""
        self.baselines = Baselines.of_event_set(self.holdout.train)
        self._relevant = {
            True: [
                rel.difference(own.tolist()) for rel, own in zip(self.holdout.relevant, self.owned)
            ],
            False: self.holdout.relevant,
        }
        self._weights = [0.0] + sorted({float(w) for w in self.settings.pop_prior_grid if w > 0})

    def _engine_figures(self, name: str, engine) -> dict[str, tuple[float, float, float]]:
        """(owned excluded, owned allowed, owned excluded scored on everything)
        of ``engine`` with each popularity addend weight, by candidate name."""
        weights = self._weights
        per_weight: list[tuple[list, list, list]] = [([], [], []) for _ in weights]
        for lo, lists in self._variant_lists(
            len(weights),
            lambda owned, rows, n: engine.recommend_batch_priors(owned, rows, n, weights),
        ):
            for values, chunk in zip(per_weight, lists):
                self._score_users(chunk, lo, values)
        return {_candidate(name, w): _means(v) for w, v in zip(weights, per_weight)}

    def _profile_lists(self, engine, profiles: list[tuple]) -> list[list[list[int]]]:
        """The engine's own lists of the held-out users (as ``_lists``) under
        each repeat profile of ``profiles``."""
        lists: list[list[list[int]]] = [[] for _ in profiles]
        for _, chunks in self._variant_lists(
            len(profiles),
            lambda owned, rows, n: engine.recommend_batch_profiles(owned, rows, n, 0.0, profiles),
        ):
            for whole, chunk in zip(lists, chunks):
                whole += chunk
        return lists

    def _variant_lists(self, variants: int, batch):
        """Yields (first user, lists): the held-out users in chunks whose
        answers for ``variants`` variants each take about the memory of one
        batch, and per variant the chunk's item lists. ``batch(owned, rows,
        n)`` answers users for every variant, each asked for ``n`` entries."""
        asked, rows = self.k + self._repeat_room(), self.holdout.rows.tolist()
        step = max(1, -(-len(rows) // variants))
        by_user = lambda owned, rows, n: list(zip(*batch(owned, rows, n)))  # noqa: E731
        for lo in range(0, len(rows), step):
            end = lo + step
            found = sized_batch(by_user, self.owned[lo:end], rows[lo:end], asked[lo:end])
            yield lo, [[answers[v][0] for answers in found] for v in range(variants)]

    def _weigh(self, plan: Plan, figures: dict[str, tuple[float, float, float]]) -> dict[str, Any]:
        """Held-out NDCG@k of every candidate in both serving modes: the gated
        model (``figures``, from ``_engine_figures``) and the base alone, each
        with every popularity addend weight, and the baselines. Chooses the
        owned-items rule (when the setting leaves it open), the engine, and
        what each mode serves; returns the figures."""
        base_plan = Plan(set(), [], False)
        plans = {"model": plan}
        if plan.channels or plan.repeat or plan.layers:
            plans["base"] = base_plan
            figures.update(self._engine_figures("base", engine_for(self.parts, base_plan)))
        weights = self._weights
        for kind in BASELINES:
            figures[kind] = self._scores(
                [self._baseline_list(kind, r) for r in self.holdout.rows.tolist()]
            )
        exclude = self.settings.exclude_owned
        if exclude is None:
            # owned items come back when that finds more of the next basket
            allowed = max(f[1] for f in figures.values())
            excluded = max(f[2] for f in figures.values())
            exclude = not allowed > excluded + self.settings.min_gain
        plan.exclude_owned = bool(exclude)
        primary = 0 if exclude else 1

        def serving_with(engine_name: str) -> dict[str, dict[str, Any]]:
            chosen = {}
            for mode, column in ((True, 0), (False, 1)):
                options = [(_candidate(engine_name, w), w) for w in weights]
                options += [(kind, 0.0) for kind in BASELINES]
                # the first of equals wins: the model before a baseline, low weights first
                name, w = max(options, key=lambda o: (figures[o[0]][column], -options.index(o)))
                chosen[MODES[mode]] = {
                    "source": name if name in BASELINES else "model",
                    "pop_prior": w,
                    "ndcg": figures[name][column],
                }
            return chosen

        # One engine serves both modes: the one best in the rule's own mode, and
        # in the other mode on a tie (a mode served by a baseline ties).
        options = {name: serving_with(name) for name in plans}
        modes = (MODES[bool(exclude)], MODES[not exclude])
        chosen_engine = max(
            options,
            key=lambda e: (
                options[e][modes[0]]["ndcg"],
                options[e][modes[1]]["ndcg"],
                e == "model",
            ),
        )
        chosen_plan = plans[chosen_engine]
        plan.channels, plan.layers, plan.repeat = (
            set(chosen_plan.channels),
            list(chosen_plan.layers),
            chosen_plan.repeat,
        )
        serving = options[chosen_engine]
        for choice in serving.values():
            choice["ndcg"] = round(choice["ndcg"], 5)
        plan.serving = serving
        plan.pop_prior = serving[MODES[plan.exclude_owned]]["pop_prior"]
        mode = MODES[plan.exclude_owned]
        return {
            "users": len(self.holdout.rows),
            "k": self.k,
            "exclude_owned": plan.exclude_owned,
            "engine": chosen_engine,
            "ndcg": serving[mode]["ndcg"],
            "popularity_ndcg": round(figures[POPULARITY][primary], 5),
            "candidates": {
                MODES[m]: {
                    n: round(f[c], 5) for n, f in figures.items() if not (m and n == PERSONAL)
                }
                for m, c in ((True, 0), (False, 1))
            },
            "serving": serving,
            # the held-out users' rows, for the model report's coverage figure
            "rows": self.holdout.rows.tolist(),
        }

    def _repeat_profile(self) -> list[np.ndarray]:
        # the fit sets parts.repeat together with the profile, and a plan keeps
        # the repeat module only where the parts have it
        assert self.parts.repeat_profile is not None, "no repeat profile was fitted"
        return self.parts.repeat_profile

    def _repeat_room(self) -> np.ndarray:
        # owned items reach the engine's list only through the repeat profile;
        # ask each user for enough to drop them and still have k (as serving does)
        if not self.parts.repeat:
            return np.zeros(len(self.holdout.rows), dtype=np.int64)
        indptr = self._repeat_profile()[0]
        return indptr[self.holdout.rows + 1] - indptr[self.holdout.rows]

    def _baseline_list(self, kind: str, row: int) -> tuple[list[int], list[int]]:
        return (
            self.baselines.top(kind, row, self.k, True),
            self.baselines.top(kind, row, self.k, False),
        )

    def _scores(self, found: list) -> tuple[float, float, float]:
        """NDCG@k with owned items excluded, allowed, and excluded but scored
        against the whole held-out basket, of the engine's raw lists (or of a
        baseline's two lists), served as ``recommend`` would."""
        return _means(self._score_users(found, 0, ([], [], [])))

    def _score_users(
        self, found: list, first: int, values: tuple[list, list, list]
    ) -> tuple[list, list, list]:
        """Appends the three NDCG@k of each list of ``found`` (held-out users
        ``first`` on) to ``values``; a user without a new held-out item has no
        figure with owned items excluded."""
        excluded, allowed, whole = values
        for u, lists in enumerate(found, start=first):
            own, rel_ex, rel = self.owned[u], self._relevant[True][u], self._relevant[False][u]
            if isinstance(lists, tuple):
                ex_list, all_list = lists
            else:
                owned = set(own.tolist())
                ex_list = self._padded([i for i in lists if i not in owned], owned)
                all_list = self._padded(list(lists), owned)
            if rel_ex:
                excluded.append(ndcg_at_k(ex_list, rel_ex, self.k))
            allowed.append(ndcg_at_k(all_list, rel, self.k))
            whole.append(ndcg_at_k(ex_list, rel, self.k))
        return values

    def _padded(self, items: list[int], owned: set) -> list[int]:
        items = items[: self.k]
        if len(items) < self.k:
            taken = set(items) | owned
            items += [
                i
                for i in self.baselines.ranking[: 2 * self.k + len(taken)].tolist()
                if i not in taken
            ][: self.k - len(items)]
        return items

    def _choose_base(self, plan: Plan, gates: dict, report: dict[str, Any]) -> None:
        """EASE, its regularisation tuned (``_tune_ease``), or the co-occurrence
        graph as the base, by the held-out users: the gate fit holds both (the
        graph is always built), so the choice costs a few batches of
        recommendations and solves of one Gram matrix; the final fit then
        solves once with the chosen lambda, or not at all when the graph won."""
        if not self.parts.config["base_is_ease"]:
            return
        alone = Plan(set(), [], False)
        ease = self._tune_ease(plan, alone, gates)
        self.parts.config["base_is_ease"] = False
        cooc = self.ndcg_users(engine_for(self.parts, alone))
        # neither base is the simpler one: the better on the held-out users
        # (in the engine's own lists) serves, EASE on a tie
        keep = float(np.mean(ease[0])) >= float(np.mean(cooc[0]))
        self._decide("base:ease", ease, cooc, gates)
        gates["base:ease"]["kept"] = keep
        report["base_choice"] = _base_why(plan, gates)
        if keep:
            self.parts.config["base_is_ease"] = True
            return
        plan.base = "cooc"
        self.parts.arrays.pop("ease_b", None)
        self.parts.channels.discard("last_item")
        plan.channels.discard("last_item")
        report["base"] = "cooc"
        report["model_size"]["base"] = (
            f"co-occurrence graph over {self.holdout.train.n_items:,} items"
        )
        report["model_size"]["why"] = "the gates kept the co-occurrence graph over EASE"

    def _tune_ease(self, plan: Plan, alone: Plan, gates: dict) -> tuple:
        """EASE's lambda among the setting and multiples of it a factor
        ``_LAMBDA_STEP`` apart, by the held-out NDCG@k of the base alone.
        Each value is one model at another strength of regularisation, none
        simpler than another: the best mean wins (the setting on a tie), and
        the paired interval of its gain over the setting is reported. Leaves
        the winner's weights in the parts; returns its per-user figures."""
        setting = float(self.settings.ease_lambda)
        assert self.parts.gram is not None, "a fit with EASE can form its Gram matrix"
        tried = {setting: self.ndcg_users(engine_for(self.parts, alone))}
        best = plan.ease_lambda = setting
        limit = ease_tuning_limit()
        if self.holdout.train.n_items > limit:
            gates["ease_lambda"] = {
                "setting": setting,
                "chosen": setting,
                "tried": {f"{setting:g}": round(float(np.mean(tried[setting][0])), 5)},
                "why": f"not tuned: tuning holds 1.5 times a solve's memory, within "
                f"the bound up to {limit:,} items",
            }
            return tried[setting]
        gram = self.parts.gram()
        best_b = self.parts.arrays["ease_b"]
        queue = [setting / _LAMBDA_STEP, setting * _LAMBDA_STEP]
        while queue:
            lambda_ = queue.pop(0)
            # the last candidate's weights go before the next solve, unless best
            del self.parts.arrays["ease_b"]
            self.parts.arrays["ease_b"] = _core.fit_ease_gram_py(gram, lambda_=lambda_)
            tried[lambda_] = self.ndcg_users(engine_for(self.parts, alone))
            if float(np.mean(tried[lambda_][0])) > float(np.mean(tried[best][0])):
                best, best_b = lambda_, self.parts.arrays["ease_b"]
            if not queue and best != setting and len(tried) == 3:
                # the best at an end: one more step that way
                queue.append(best * (_LAMBDA_STEP if best > setting else 1 / _LAMBDA_STEP))
        del gram
        self.parts.arrays["ease_b"] = best_b
        plan.ease_lambda = best
        _, low, high = paired_bootstrap(
            tried[best][0], tried[setting][0], n_resamples=_RESAMPLES, confidence=_CONFIDENCE
        )
        gates["ease_lambda"] = {
            "setting": setting,
            "chosen": best,
            "gain_ci": [round(low, 5), round(high, 5)],
            "tried": {f"{lam:g}": round(float(np.mean(v[0])), 5) for lam, v in tried.items()},
        }
        return tried[best]

    def _calibrate_repeat(self, plan: Plan, gates: dict) -> None:
        """The repeat profile's minimum count (the setting, or 1 so that any
        owned item can come back), its timing (see ``repeat_timing``) and the
        weight of purchase frequency (the setting, or a multiple of it), chosen
        on the held-out users by a search along one of them at a time: the
        weight under the fitted timing, then the timing, then the minimum
        count, then the weight again. That is at most 17 trials where the
        whole grid is 56, and on grocery() and rebuying() it reaches the
        grid's best. The engine scores an entry's frequency as
        alpha * ln(1 + count): one engine built with the largest weight scores
        a smaller weight w when handed the counts (1 + count) ** (w / alpha) - 1,
        which cannot overflow, so the trials differ only in the repeat profile,
        and one engine batch answers many of them at once."""
        alpha = float(self.parts.config["repeat_freq_alpha"])
        setting = int(self.settings.repeat_min_count)
        profiles = {setting: (self._repeat_profile(), self.parts.arrays["repeat_last_ts"])}
        # a setting of 0 leaves purchase frequency out of the score
        weights = [alpha] + ([alpha * f for f in _FREQ_FACTORS] if alpha > 0 else [])
        largest = max(weights)
        self.parts.config["repeat_freq_alpha"] = largest
        engine = engine_for(self.parts, plan)
        scored: dict[tuple[int, str, float], np.ndarray] = {}
        tried: dict[tuple[int, str, float], np.ndarray] = {}
        shapes: dict[tuple[int, str], tuple[np.ndarray, np.ndarray]] = {}
        weighted: dict[tuple[int, float], np.ndarray] = {}
        gaps: dict[int, tuple[np.ndarray, np.ndarray]] = {}

        def gaps_of(count: int, profile: list[np.ndarray]) -> tuple[np.ndarray, np.ndarray]:
            # two timings read the same gaps of one profile: measured once
            if count not in gaps:
                gaps[count] = mean_gap_periods(self.holdout.train, profile)
            return gaps[count]

        def arrays_of(trial: tuple[int, str, float]) -> tuple:
            count, kind, weight = trial
            if count not in profiles:
                once = self._fitted_profile(count)
                profiles[count] = (once, self._aligned_last_ts(once))
            profile, last_ts = profiles[count]
            if (count, kind) not in shapes:
                shapes[(count, kind)] = repeat_timing(
                    kind, self.holdout.train, profile, lambda: gaps_of(count, profile)
                )
            # one array per weight, shared by the timings tried with it
            if (count, weight) not in weighted:
                weighted[(count, weight)] = (
                    np.expm1(np.log1p(profile[2]) * (weight / largest))
                    if largest > 0
                    else profile[2]
                )
            return (*profile[:2], weighted[(count, weight)], last_ts, *shapes[(count, kind)])

        def score(trials: list) -> None:
            new = [t for t in trials if t not in scored]
            for trial, lists in zip(new, self._profile_lists(engine, list(map(arrays_of, new)))):
                # the engine's own lists decide: no owned-excluded figure
                scored[trial] = self._own_ndcg(lists)

        def pick(trials: list, incumbent: tuple[int, str, float]) -> tuple[int, str, float]:
            tried.update((t, scored[t]) for t in trials if t not in tried)
            # the incumbent stays on a tie
            return max(trials, key=lambda t: (float(np.mean(tried[t])), t == incumbent))

        # A trial costs little beside the work every user's request shares, so
        # one batch scores the first stage with every second stage it can lead
        # to, and another the minimum count's with every last stage.
        score([(setting, kind, w) for kind in _TIMINGS for w in weights])
        first = (setting, "fitted", alpha)
        best = pick([(setting, "fitted", w) for w in weights], first)
        best = pick([(setting, kind, best[2]) for kind in _TIMINGS], best)
        if setting > 1:
            score([(1, best[1], w) for w in weights])
            best = pick([best, (1, best[1], best[2])], best)
        best = pick([(best[0], best[1], w) for w in weights], best)
        default = tried[first]
        _, low, _ = paired_bootstrap(
            tried[best], default, n_resamples=_RESAMPLES, confidence=_CONFIDENCE
        )
        chosen = best if low > 0 else first
        count, kind, weight = chosen
        gates["repeat_calibration"] = {
            "on": round(float(np.mean(tried[chosen])), 5),
            "off": round(float(np.mean(default)), 5),
            "gain_ci_low": round(low, 5),
            "kept": chosen != first,
            "weight": weight,
            "periods": kind,
            "min_count": count,
            "tried": {
                f"min count {c}, {p} periods, weight {w:g}": round(float(np.mean(v)), 5)
                for (c, p, w), v in tried.items()
            },
        }
        # the engines built from here on score with the chosen profile and weight
        plan.repeat_periods, plan.repeat_freq_alpha = kind, weight
        self.parts.config["repeat_freq_alpha"] = weight
        profile, last_ts = profiles[count]
        profile[4:6] = shapes[(count, kind)]
        if count != setting:
            plan.repeat_min_count = count
            self.parts.repeat_profile = profile
        self.parts.arrays.update(zip(PROFILE_KEYS, profile))
        self.parts.arrays["repeat_last_ts"] = last_ts

    def _fitted_profile(self, min_count: int) -> list[np.ndarray]:
        train = self.holdout.train
        assert train.timestamps is not None, "a repeat profile is fitted only with times"
        return list(
            _core._fit_repeat_profile_arrays(
                train.user_idx, train.item_idx, train.timestamps, train.n_users, min_count=min_count
            )
        )

    def _decide(self, name: str, on: tuple, off: tuple, gates: dict) -> bool:
        """Keep a part when, in one serving mode (the engine's own lists, or
        owned items excluded), its per-user NDCG@k gain over going without it
        exceeds ``min_gain`` with the lower end of its paired bootstrap
        interval above 0, and it does not plainly harm the other mode (the
        upper end there at least 0): the simpler engine stays unless the
        held-out users show the part helps beyond their sampling noise, and
        one engine serves both modes."""
        own, excluded = (
            paired_bootstrap(a, b, n_resamples=_RESAMPLES, confidence=_CONFIDENCE)
            for a, b in zip(on, off)
        )
        keep = any(
            gain > self.settings.min_gain and low > 0 and other[2] >= 0
            for (gain, low, _), other in ((own, excluded), (excluded, own))
        )
        gates[name] = {
            "on": round(float(np.mean(on[0])), 5),
            "off": round(float(np.mean(off[0])), 5),
            "gain_ci": [round(own[1], 5), round(own[2], 5)],
            "owned_excluded": {
                "on": round(float(np.mean(on[1])), 5) if len(on[1]) else 0.0,
                "off": round(float(np.mean(off[1])), 5) if len(off[1]) else 0.0,
                "gain_ci": [round(excluded[1], 5), round(excluded[2], 5)],
            },
            "kept": keep,
        }
        return keep

    def _gate_repeat(self, engine, plan: Plan, current: tuple, gates: dict) -> tuple:
        engine.set_repeat_active(False)
        off = self.ndcg_users(engine)
        plan.repeat = self._decide("repeat", current, off, gates)
        engine.set_repeat_active(plan.repeat)
        return current if plan.repeat else off

    def _gate_channel(self, engine, plan: Plan, channel: str, current: tuple, gates) -> tuple:
        trial = Plan(plan.channels - {channel}, plan.layers, plan.repeat)
        engine.set_channel_alphas(*self._overridable_alphas(trial))
        off = self.ndcg_users(engine)
        if self._decide(channel, current, off, gates):
            engine.set_channel_alphas(*self._overridable_alphas(plan))
            return current
        plan.channels.discard(channel)
        return off

    def _gate_content(self, plan: Plan, current: tuple, gates) -> None:
        # the content weight is not an in-place override: compare two engines
        without = Plan(plan.channels - {"content"}, [], plan.repeat)
        off = self.ndcg_users(engine_for(self.parts, without))
        if not self._decide("content", current, off, gates):
            plan.channels.discard("content")

    def _overridable_alphas(self, plan: Plan) -> list[float]:
        alphas = plan_alphas(self.parts, plan)
        return [alphas[f"{c}_alpha"] for c in _OVERRIDABLE]

    def _calibrate_boost(self, plan: Plan, gates: dict) -> None:
        names: list[str] = [
            n for n in ("session", "adjacency", "content_neighbours") if n in self.parts.layers
        ]
        if not names:
            return
        slices = self._user_slices(plan)
        if not slices:
            return
        unboosted = (
            plan.z_threshold,
            0.0,
            float(np.mean([_core.ndcg_at_k_py(base, rel, self.k) for base, _, rel in slices])),
        )
        best = self._calibrate(slices, names, unboosted)
        for name in list(names):
            trial = [n for n in names if n != name]
            without = self._calibrate(slices, trial, unboosted) if trial else unboosted
            # the calibrator reports means: each layer's share is judged by
            # them, the layers together by the paired interval below
            keep = best[2] - without[2] > self.settings.min_gain
            gates[f"boost:{name}"] = {
                "on": round(best[2], 5),
                "off": round(without[2], 5),
                "kept": keep,
            }
            if not keep:
                names, best = trial, without
        if names and best[1] > 0:
            layered = Plan(
                plan.channels, names, plan.repeat, z_threshold=best[0], boost_multiplier=best[1]
            )
            on = self.ndcg_users(engine_for(self.parts, layered))
            off = self.ndcg_users(engine_for(self.parts, plan, layers=[]))
            if self._decide("boost_layers", on, off, gates):
                plan.layers, plan.z_threshold, plan.boost_multiplier = names, best[0], best[1]
            else:  # the layers leave together: no line may say one was kept
                for name in names:
                    gates[f"boost:{name}"]["kept"] = False
        gates["boost"] = {
            "layers": plan.layers,
            "z_threshold": plan.z_threshold,
            "boost_multiplier": plan.boost_multiplier,
        }

    def _calibrate(self, slices, names: list[str], unboosted: tuple) -> tuple:
        """(z, boost, ndcg) of the best gate for these layers; the unboosted figures
        when layering does not lift NDCG over the base scores."""
        users = [
            (base, [(layers[n], "nonzero") for n in names], rel) for base, layers, rel in slices
        ]
        grid, (z, boost, ndcg, _) = _core.calibrate_layered_py(
            users,
            list(self.settings.z_grid),
            list(self.settings.boost_grid),
            k=self.k,
            min_lift_over_cooc_only=self.settings.min_gain + 1e-12,
        )
        # Near-ties go to the default point, but the summary carries the best
        # point's NDCG: the figure is the chosen point's own, from the grid.
        ndcg = next((n for gz, gb, n, _ in grid if (gz, gb) == (z, boost)), ndcg)
        return (z, boost, ndcg) if boost > 0 else unboosted

    def _user_slices(self, plan: Plan):
        engine = engine_for(self.parts, plan, layers=[])
        found = engine.recommend_batch(
            self.owned, self.holdout.rows.tolist(), self.settings.retrieval_budget, plan.pop_prior
        )
        slices = []
        for (items, scores, _), owned, rel in zip(found, self.owned, self.holdout.relevant):
            layers = {
                n: _core.cooccurrence_signal(*csr, owned, items)
                for n, csr in self.parts.layers.items()
            }
            relevance = [1.0 if i in rel else 0.0 for i in items]
            # The calibrator's NDCG divides by the ideal DCG of the relevance it
            # is given: held-out items the pool missed enter below every pool
            # score, with no layer value (no boost can lift them), after
            # unscored fillers up to k, so that each user's figure is the
            # NDCG@k of the engine's own list against the whole held-out
            # basket, as every other gate measures it.
            missed = len(rel) - int(sum(relevance))
            filler = max(self.k - len(items), 0)
            extra = filler + missed
            low = (min(scores) if scores else 0.0) - 1.0
            base = np.concatenate(
                [
                    np.asarray(scores, dtype=np.float64),
                    np.full(filler, low),
                    np.full(missed, low - 1),
                ]
            )
            relevance += [0.0] * filler + [1.0] * missed
            layers = {n: np.concatenate([v, np.zeros(extra)]) for n, v in layers.items()}
            slices.append((base, layers, np.asarray(relevance)))
        return slices

    def _aligned_last_ts(self, profile: list[np.ndarray]) -> np.ndarray:
        # Each held-out user is judged at the time of its held-out session, but the
        # engine has one "now": shift the user's last-consumption times so that
        # now minus last equals the real gap before that session.
        assert self.holdout.times is not None, "a repeat profile is fitted only with times"
        indptr, last_ts = profile[0], profile[3].copy()
        now = float(self.parts.config["repeat_now_ts"])
        for row, when in zip(self.holdout.rows.tolist(), self.holdout.times.tolist()):
            last_ts[indptr[row] : indptr[row + 1]] += now - when
        return last_ts


def gate_figures(figures: dict[str, Any], exclude_owned: bool) -> tuple[float, float, bool]:
    """A gate line's held-out NDCG with the part on and off in the owned-items
    mode the model serves, and whether they are of that mode: a gate measures
    the engine's own lists (owned items back only through the repeat profile,
    which is how owned items are allowed) and, where its decision weighed them,
    the lists with owned items excluded. A line without the served mode's
    figures gives the own lists' (flag False)."""
    if not exclude_owned:
        return float(figures["on"]), float(figures["off"]), True
    excluded = figures.get("owned_excluded")
    if excluded is None:
        return float(figures["on"]), float(figures["off"]), False
    return float(excluded["on"]), float(excluded["off"]), True


def _base_why(plan: Plan, gates: dict) -> str:
    """Which base the gates chose and with which lambda (the ``base:ease`` and
    ``ease_lambda`` gates hold the held-out figures)."""
    tuned = gates["ease_lambda"]
    tried = ", ".join(tuned["tried"])
    setting = f"the setting {tuned['setting']:g}"
    ease = f"EASE with lambda {plan.ease_lambda:g} (tried {tried}; {setting})"
    if gates["base:ease"]["kept"]:
        return f"{ease}, kept over the co-occurrence graph by the held-out users"
    return f"the co-occurrence graph, kept over {ease} by the held-out users"


def _candidate(engine: str, weight: float) -> str:
    return engine if weight == 0 else f"{engine}+popularity({weight:g})"
