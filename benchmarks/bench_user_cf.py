"""The user-CF channel on its own: an engine whose only channel is user-CF (an empty
co-occurrence base), built from the item -> user tables of the ``ease`` and ``tastes``
logs of bench_peers.py, answering the top 10 for 10,000 users (each owning its own
distinct items, as the gates ask) with ``recommend_batch``. On ``ease`` the owned items'
rows reach most of the 100,000 users; on ``tastes`` most requests reach a few thousand
of 200,000.

``--compare DIR`` also times tarsel as imported from DIR (another build) in the same run,
the two builds taking turns, each in its own process; the better of ``--runs`` is kept,
and the answers are checked to be the same.

Run with ``python benchmarks/bench_user_cf.py [--logs ease,tastes] [--compare DIR]``.
"""

from __future__ import annotations

import argparse
import json
import os
import subprocess
import sys
import tempfile
import time

import numpy as np

sys.path.insert(0, os.path.dirname(__file__))
from _common import machine  # noqa: E402
from bench_peers import LOGS, TASTES, make_log  # noqa: E402

N_SERVED = 10_000
TOP_N = 10


def engine_and_requests(name: str):
    """The user-CF engine of log `name` and the requests of N_SERVED users."""
    from tarsel import _core
    from tarsel._fitting import engine_arrays

    n_users, n_items, n_events = LOGS[name]
    log = make_log(n_users, n_items, n_events, tastes=TASTES.get(name))
    users, items = log["user"], log["item"]
    _, _, uu_data, uu_indptr, uu_deg = _core._fit_channels_arrays(
        users, items, None, n_users, n_items, n_items, 0.1, False, True
    )
    by_user = items[np.argsort(users, kind="stable")]
    uri_indptr = np.r_[0, np.cumsum(np.bincount(users, minlength=n_users))].astype(np.int64)
    arrays = engine_arrays(
        cooc_data=np.zeros(0),
        cooc_indices=np.zeros(0),
        cooc_indptr=np.zeros(n_items + 1),
        uu_data=uu_data,
        uu_indptr=uu_indptr,
        uu_deg=uu_deg,
        uri_data=by_user,
        uri_indptr=uri_indptr,
    )
    config = dict(n_items=n_items, n_users=n_users, user_cf_alpha=1.0, user_cf_k=100)
    engine = _core.build_engine(arrays, config)
    served = np.random.default_rng(1).choice(n_users, N_SERVED, replace=False)
    owned = [np.unique(by_user[uri_indptr[u] : uri_indptr[u + 1]]).tolist() for u in served]
    return engine, owned, served.tolist()


def child(name: str, runs: int, out: str) -> None:
    engine, owned, rows = engine_and_requests(name)
    best, cpu, answer = float("inf"), float("inf"), None
    for _ in range(runs):
        start, start_cpu = time.perf_counter(), time.process_time()
        answer = engine.recommend_batch(owned, rows, TOP_N, 0.0)
        best = min(best, time.perf_counter() - start)
        cpu = min(cpu, time.process_time() - start_cpu)
    items = [list(map(int, a[0])) for a in answer]
    with open(out, "w") as f:
        json.dump({"seconds": best, "cpu": cpu, "items": items}, f)


def measure(name: str, tree: str | None, runs: int) -> dict:
    env = dict(os.environ)
    if tree is not None:
        env["PYTHONPATH"] = os.path.join(tree, "python")
    with tempfile.NamedTemporaryFile(suffix=".json") as f:
        cmd = [sys.executable, __file__, "--child", name, "--runs", str(runs), "--out", f.name]
        subprocess.run(cmd, env=env, check=True)
        with open(f.name) as g:
            return json.load(g)


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--logs", default="ease,tastes")
    parser.add_argument("--compare", default=None, help="another tarsel tree, timed alongside")
    parser.add_argument("--runs", type=int, default=3)
    parser.add_argument("--child", default=None, help=argparse.SUPPRESS)
    parser.add_argument("--out", default=None, help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.child:
        child(args.child, args.runs, args.out)
        return
    print(f"# user-CF: top {TOP_N} for {N_SERVED:,} users ({machine()})", flush=True)
    for name in args.logs.split(","):
        this = measure(name, None, args.runs)
        line = f"{name:8s} this build {this['seconds']:.3f} s ({this['cpu']:.3f} s CPU)"
        if args.compare:
            other = measure(name, args.compare, args.runs)
            same = "same answers" if other["items"] == this["items"] else "ANSWERS DIFFER"
            ratio = other["seconds"] / this["seconds"]
            line += (
                f", {args.compare} {other['seconds']:.3f} s ({other['cpu']:.3f} s CPU):"
                f" {ratio:.2f}x, {other['cpu'] / this['cpu']:.2f}x CPU; {same}"
            )
        print(line, flush=True)


if __name__ == "__main__":
    main()
