"""How often a decision rule of the gates picks the candidate that is best on
a second, independent draw of held-out users.

A Gate on ``grocery`` (and ``movielens_like``) scores every held-out user under
several engines: pairs of "a part on / off" as the gates weigh them, and the
EASE base at five lambdas. The users are then split at random into two halves
of ``--users`` each, many times: on the first half each rule picks a
candidate, and the pick counts as right when that candidate has the best mean
on the second half. Rules for a pair (the part is kept or not):

* mean: keep the part when its mean gain exceeds min_gain;
* bootstrap: keep it when, besides, the lower end of the paired bootstrap 95%
  interval of its gain is above 0 (the gates' rule);
* margin: keep it when its mean gain exceeds a fixed 0.005.

For the lambdas: the best mean (the rule the gates use for lambda), or the
setting unless the best is better by the bootstrap rule.

    python benchmarks/bench_decision_rules.py [--splits 200] [--users 400]
"""

from __future__ import annotations

import argparse
import warnings

import numpy as np

from tarsel import Recommender, _core, datasets
from tarsel._fitting import Plan, engine_for, fit_parts
from tarsel._gates import Gate, Holdout
from tarsel._settings import Settings
from tarsel.evaluation import paired_bootstrap
from tarsel.recommender import _prepare

MARGIN = 0.005
LAMBDAS = (40.0, 100.0, 250.0, 625.0, 1562.5)


def scored_users(name: str, n_users: int) -> dict[str, np.ndarray]:
    """Each held-out user's NDCG@10 (the engine's own lists) per candidate."""
    data = getattr(datasets, name)(n_users=n_users)
    columns = dict(data.columns)
    columns.pop("user_col", None)
    item_col = columns.pop("item_col")
    columns.pop("weight_col", None)
    settings = Settings.from_params(Recommender(gate_users=n_users).get_params())
    prepared, features = _prepare(
        settings, data.interactions, data.item_features, item_col=item_col, **columns
    )
    holdout = Holdout.draw(prepared, n_users, 0)
    assert holdout is not None
    parts = fit_parts(settings, holdout.train, features, Plan.everything(settings), {})
    gate = Gate(settings, parts, holdout)
    found = {}
    everything = Plan(set(parts.channels), [], parts.repeat)
    found["all"] = gate.ndcg_users(engine_for(parts, everything))[0]
    for channel in sorted(parts.channels):
        plan = Plan(everything.channels - {channel}, [], parts.repeat)
        found[f"-{channel}"] = gate.ndcg_users(engine_for(parts, plan))[0]
    if parts.repeat:
        without = Plan(everything.channels, [], False)
        found["-repeat"] = gate.ndcg_users(engine_for(parts, without))[0]
    alone = Plan(set(), [], False)
    if parts.gram is not None:
        gram = parts.gram()
        for lam in LAMBDAS:
            parts.arrays["ease_b"] = _core.fit_ease_gram_py(gram, lambda_=lam)
            found[f"lambda {lam:g}"] = gate.ndcg_users(engine_for(parts, alone))[0]
    return found


def main() -> None:
    parser = argparse.ArgumentParser()
    parser.add_argument("--splits", type=int, default=200)
    parser.add_argument("--users", type=int, default=400, help="held-out users per half")
    args = parser.parse_args()
    rng = np.random.default_rng(0)
    for name in ("grocery", "movielens_like"):
        with warnings.catch_warnings():
            warnings.simplefilter("ignore")
            found = scored_users(name, 2 * args.users + 200)
        n = len(found["all"])
        pairs = [(k, "all") for k in found if k.startswith("-")]
        right = {"mean": 0, "bootstrap": 0, "margin": 0}
        lam_right = {"best mean": 0, "bootstrap": 0}
        lams = [k for k in found if k.startswith("lambda")]
        decisions = 0
        for s in range(args.splits):
            order = rng.permutation(n)
            first, second = order[: args.users], order[args.users : 2 * args.users]
            for off, on in pairs:
                a, b = found[on][first], found[off][first]
                gain = float(np.mean(a - b))
                _, low, _ = paired_bootstrap(a, b, n_resamples=300, seed=s)
                truth = float(np.mean(found[on][second] - found[off][second])) > 0
                picks = {"mean": gain > 1e-4, "bootstrap": gain > 1e-4 and low > 0}
                picks["margin"] = gain > MARGIN
                for rule, keep in picks.items():
                    right[rule] += keep == truth
                decisions += 1
            if lams:
                means = {k: float(np.mean(found[k][first])) for k in lams}
                best = max(means, key=means.get)
                setting = "lambda 250"
                _, low, _ = paired_bootstrap(
                    found[best][first], found[setting][first], n_resamples=300, seed=s
                )
                truth = max(lams, key=lambda k: float(np.mean(found[k][second])))
                lam_right["best mean"] += best == truth
                lam_right["bootstrap"] += (best if low > 0 else setting) == truth
        print(f"\n{name}: {n} held-out users, halves of {args.users}, {args.splits} splits")
        print("  mean NDCG@10 on all:", {k: round(float(np.mean(v)), 4) for k, v in found.items()})
        for rule, count in right.items():
            print(
                f"  part on/off, rule {rule:<10} right on the second half {count / decisions:.1%}"
            )
        if lams:
            for rule, count in lam_right.items():
                print(
                    f"  lambda, rule {rule:<10} right on the second half {count / args.splits:.1%}"
                )


if __name__ == "__main__":
    main()
