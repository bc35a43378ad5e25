"""Held-out quality of the defaults against a plain EASE and the simple
baselines, and the fit time, for one or more source trees in the same run
(such as the main branch and a change to it).

Data: ``movielens_full`` and ``movielens_like`` (each user's last rating held
out) and ``grocery`` (each shopper's last basket held out). Contenders: the
defaults (``Recommender()``), a plain EASE on a binary matrix with lambda tuned
on the training data (tests/reference/ease.py), popularity and personal
popularity. NDCG@10 in both owned-item modes, with the paired bootstrap 95%
interval of each difference from the plain EASE. Each tree runs in its own
process, its package first on the path; trees alternate by dataset.

    python benchmarks/bench_base_choice.py [--tree NAME=PYTHON_DIR ...] [--data NAME ...]
"""

from __future__ import annotations

import argparse
import json
import os
import subprocess
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
DATA = ("movielens_full", "movielens_like", "grocery")


def worker(name: str) -> dict:
    import warnings

    sys.path.insert(0, os.path.join(HERE, "..", "tests"))
    from reference.ease import PlainEase
    from tarsel import Recommender, datasets
    from tarsel.evaluation import (
        PersonalPopularityBaseline,
        PopularityBaseline,
        evaluate,
        leave_last_basket_out,
        leave_last_n_out,
    )

    data = getattr(datasets, name)()
    if name == "grocery":
        split = leave_last_basket_out(data.interactions, **data.columns)
        columns = data.columns
    else:
        columns = {"user_col": "user", "item_col": "item", "time_col": "time"}
        split = leave_last_n_out(data.interactions, 1, **columns)
    model = Recommender()
    started = time.perf_counter()
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        model.fit(split.train, data.item_features, **split.columns)
    fit_s = time.perf_counter() - started
    models = {
        "plain_ease": PlainEase(),
        "tarsel": model,
        "popularity": PopularityBaseline(),
        "personal": PersonalPopularityBaseline(),
    }
    for other in ("plain_ease", "popularity", "personal"):
        models[other].fit(split.train, **split.columns)
    found: dict = {"fit_s": round(fit_s, 1), "lambda": models["plain_ease"].lambda_}
    for exclude in (True, False):
        table = evaluate(models, split, fit=False, exclude_owned=exclude)
        ndcg = table[table.metric == "ndcg"].set_index("model")
        found["excluded" if exclude else "allowed"] = {
            m: [round(float(ndcg.at[m, c]), 4) for c in ("value", "ci_low", "ci_high")]
            for m in models
        }
    gates = model.fit_report_.get("gates", {})
    found["chosen"] = {
        "base": model.fit_report_.get("base"),
        "ease_lambda": model.kept_.get("ease_lambda"),
        "lambdas": gates.get("ease_lambda", {}).get("tried") if isinstance(gates, dict) else None,
        "serving": {m: s["source"] for m, s in model.kept_.get("serving", {}).items()},
    }
    return found


def main() -> None:
    parser = argparse.ArgumentParser()
    parser.add_argument("--tree", action="append", default=[], help="NAME=path to a python/ dir")
    parser.add_argument("--data", action="append", choices=DATA, default=[])
    parser.add_argument("--worker", help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.worker:
        print(json.dumps(worker(args.worker)))
        return
    trees = dict(t.split("=", 1) for t in args.tree) or {"this": os.path.join(HERE, "..", "python")}
    for name in args.data or DATA:
        for tree, path in trees.items():
            env = {**os.environ, "PYTHONPATH": os.path.abspath(path)}
            out = subprocess.run(
                [sys.executable, __file__, "--worker", name],
                env=env,
                check=True,
                capture_output=True,
                text=True,
            ).stdout
            found = json.loads(out.strip().splitlines()[-1])
            print(f"\n{name}, {tree}: fit {found['fit_s']} s; chosen {found['chosen']}")
            print(f"  plain EASE lambda tuned on the training data: {found['lambda']:g}")
            for mode in ("excluded", "allowed"):
                print(f"  owned items {mode}: NDCG@10 (diff from plain EASE, 95% CI)")
                for model, (value, low, high) in found[mode].items():
                    diff = "" if model == "plain_ease" else f"  [{low:+.4f}, {high:+.4f}]"
                    print(f"    {model:<12}{value:.4f}{diff}")
            sys.stdout.flush()


if __name__ == "__main__":
    main()
