"""tarsel beside the libraries a data scientist would otherwise pick, on realistic logs.

Models (each fitted and served in its own subprocess, so that peak memory is its own):

- ``tarsel``: ``tarsel.Recommender()`` with its defaults, fitted on the raw event table.
  Its gates weigh the fitted parts against global and personal popularity on held-out
  users and serve the best; on these logs, whose items are drawn from one popularity law
  whatever the user, popularity wins, and is served without the engine;
- ``tarsel-ungated``: ``Recommender(gate_users=0)``: no held-out gates, so the engine
  serves every part (base, channels, repeat, boost layers): the cost of the full engine;
- ``als``: ``implicit``'s alternating least squares, 64 factors, 15 iterations;
- ``itemknn``: ``implicit``'s item-kNN, cosine, K = 20 neighbours per item.

The peers get the user-item matrix built from the same raw ids (the id mapping is part of
their fit time, as it is of tarsel's) and run with their BLAS at one thread, as they
recommend. Each model is measured on every log twice, interleaved (tarsel, ALS, kNN,
tarsel, ...), and the better run is kept. Measured: fit time, time to recommend the top
10 (owned items excluded) for 10,000 users, peak resident memory of the process (VmHWM,
the log included).

Logs: ``large`` has 2,000,000 events of 200,000 users with log-normal activity over
50,000 items with power-law popularity, with timestamps and short sessions; ``ease`` has
2,000,000 events over a catalogue small enough for the EASE base (100,000 users, 4,000
items); ``tastes`` has the shape of ``large`` with personal structure: the catalogue falls
into 100 latent tastes, and each user draws most events from two of them, so that what a
user owned tells what they take next and the gates keep the model. The column ``served``
says what the gates chose to serve with owned items excluded / allowed (``model`` or a
baseline). ``--quick`` keeps the catalogues and has a tenth of the users and events.
``--compare DIR`` adds tarsel as imported from DIR (another build, for before/after).
``--stages`` instead reports, for ``Recommender()`` on each log, the resident memory at the
start of each step of the fit and the peak within it (the peak is reset at each step).

Needs the optional extra ``tarsel[peers]`` (implicit, threadpoolctl); run with
``python benchmarks/bench_peers.py [--quick] [--runs N] [--logs large,ease]``.
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

MODELS = ("tarsel", "tarsel-ungated", "als", "itemknn")
PEERS = ("als", "itemknn")
LABELS = {
    "tarsel": "tarsel Recommender() defaults",
    "tarsel-before": "tarsel (--compare build)",
    "tarsel-ungated": "tarsel Recommender(gate_users=0): every part, no gates",
    "als": "implicit ALS (64 factors, 15 iterations)",
    "itemknn": "implicit item-kNN (cosine, K=20)",
}
# name: (users, items, events)
LOGS = {
    "large": (200_000, 50_000, 2_000_000),
    "ease": (100_000, 4_000, 2_000_000),
    "tastes": (200_000, 50_000, 2_000_000),
}
# The personal log: latent tastes, the tastes each user has, and the share of a
# user's events drawn from them (the rest follow global popularity).
TASTES = {"tastes": (100, 2, 0.8)}
FIGURES = ("fit", "serve", "rss")  # the better of the runs is kept
N_SERVED = 10_000
TOP_N = 10
DAY = 86_400.0


def make_log(
    n_users: int,
    n_items: int,
    n_events: int,
    seed: int = 0,
    tastes: tuple[int, int, float] | None = None,
) -> dict[str, np.ndarray]:
    """A synthetic event log: log-normal user activity (at least one event each),
    power-law item popularity, events in short sessions (about three events, a minute
    or so apart) at random times over 180 days. Ids are integers.

    With ``tastes = (n_tastes, per_user, share)`` the items fall into ``n_tastes``
    equal groups (power-law popularity inside each), every user has ``per_user``
    of them, and a ``share`` of each user's events is drawn from the user's own
    groups, the rest from the global popularity law."""
    rng = np.random.default_rng(seed)
    activity = rng.lognormal(0.0, 1.2, n_users)
    counts = 1 + rng.multinomial(n_events - n_users, activity / activity.sum())
    users = np.repeat(np.arange(n_users), counts)
    item_p = 1.0 / np.arange(1, n_items + 1) ** 1.0
    catalogue = rng.permutation(n_items)
    items = catalogue[rng.choice(n_items, n_events, p=item_p / item_p.sum())]
    if tastes is not None:
        n_tastes, per_user, share = tastes
        size = n_items // n_tastes
        own = rng.integers(0, n_tastes, (n_users, per_user))
        personal = rng.random(n_events) < share
        taste = own[users[personal], rng.integers(0, per_user, int(personal.sum()))]
        inner_p = 1.0 / np.arange(1, size + 1) ** 1.0
        rank = rng.choice(size, len(taste), p=inner_p / inner_p.sum())
        # taste t holds the items catalogue[t * size : (t + 1) * size], most popular first
        items[personal] = catalogue[taste * size + rank]
    # Sessions: each user's events in order, cut after a geometric number of events.
    new_session = rng.random(n_events) < 1.0 / 3.0
    new_session[np.r_[0, np.cumsum(counts)[:-1]]] = True
    session = np.cumsum(new_session) - 1
    session_start = rng.random(session[-1] + 1) * 180 * DAY
    first = np.flatnonzero(new_session)
    position = np.arange(n_events) - first[session]
    times = session_start[session] + position * 60.0 + rng.random(n_events) * 30.0
    order = np.argsort(times, kind="stable")  # an export in time order
    return {
        "user": users[order].astype(np.int64),
        "item": items[order].astype(np.int64),
        "time": times[order],
        "session": session[order].astype(np.int64),
    }


def served_users(user_ids: np.ndarray) -> np.ndarray:
    distinct = np.unique(user_ids)
    rng = np.random.default_rng(7)
    return distinct[rng.choice(len(distinct), min(N_SERVED, len(distinct)), replace=False)]


def served(kept: dict) -> str:
    """What the gates serve with owned items excluded / allowed; "model" without gates."""
    serving = kept.get("serving")
    if not serving:
        return "model"
    return "/".join(serving[mode]["source"] for mode in ("owned_excluded", "owned_allowed"))


def rss_mb(field: str) -> float:
    with open("/proc/self/status") as status:
        for line in status:
            if line.startswith(field + ":"):
                return int(line.split()[1]) / 1024.0
    return float("nan")


def fit_stages(log: dict[str, np.ndarray]) -> list[tuple[str, float, float]]:
    """(stage, resident MB at its start, peak MB during it) for each step of
    ``Recommender().fit``, then for serving; the peak is reset at each step."""
    import tarsel.recommender as recommender

    stages: list[tuple[str, float, float]] = []

    def mark(name: str) -> None:
        if stages:
            stages[-1] = stages[-1][:2] + (rss_mb("VmHWM"),)
        with open("/proc/self/clear_refs", "w") as clear:
            clear.write("5")  # the peak restarts from the current size
        stages.append((name, rss_mb("VmRSS"), float("nan")))

    start = recommender.Steps.start

    def start_and_mark(self, what: str) -> None:
        mark(what)
        start(self, what)

    recommender.Steps.start = start_and_mark  # type: ignore[method-assign]
    model = recommender.Recommender().fit(
        log, user_col="user", item_col="item", time_col="time", session_col="session"
    )
    mark("recommending (after the fit)")
    model.recommend_batch(served_users(log["user"]).tolist(), TOP_N, exclude_owned=True)
    mark("")
    return stages[:-1]


def held_out_ndcg(kept: dict) -> float | None:
    """The gates' held-out NDCG of what serves with owned items excluded."""
    serving = kept.get("serving")
    return serving["owned_excluded"]["ndcg"] if serving else None


def run_tarsel(log: dict[str, np.ndarray], users: np.ndarray, **settings) -> dict:
    from tarsel import Recommender

    start = time.perf_counter()
    model = Recommender(**settings).fit(
        log, user_col="user", item_col="item", time_col="time", session_col="session"
    )
    fit = time.perf_counter() - start
    start = time.perf_counter()
    model.recommend_batch(users.tolist(), TOP_N, exclude_owned=True)  # as the peers serve
    serve = time.perf_counter() - start
    return {
        "fit": fit,
        "serve": serve,
        "served": served(model.kept_),
        "ndcg": held_out_ndcg(model.kept_),
    }


def run_implicit(name: str, log: dict[str, np.ndarray], users: np.ndarray) -> dict:
    import scipy.sparse as sp
    from threadpoolctl import threadpool_limits

    with threadpool_limits(1, "blas"):
        from implicit.als import AlternatingLeastSquares
        from implicit.nearest_neighbours import CosineRecommender

        start = time.perf_counter()
        user_ids, user_rows = np.unique(log["user"], return_inverse=True)
        item_ids, item_cols = np.unique(log["item"], return_inverse=True)
        matrix = sp.csr_matrix(
            (np.ones(len(user_rows), np.float32), (user_rows, item_cols)),
            shape=(len(user_ids), len(item_ids)),
        )
        matrix.sum_duplicates()
        if name == "als":
            model = AlternatingLeastSquares(factors=64, iterations=15, random_state=0)
        else:
            model = CosineRecommender(K=20)
        model.fit(matrix, show_progress=False)
        fit = time.perf_counter() - start

        start = time.perf_counter()
        rows = np.searchsorted(user_ids, users)
        model.recommend(rows, matrix[rows], N=TOP_N, filter_already_liked_items=True)
        return {"fit": fit, "serve": time.perf_counter() - start}


def child(name: str, path: str) -> None:
    """One measurement in this process: prints a JSON line with the figures."""
    with np.load(path) as stored:
        log = {key: stored[key] for key in stored.files}
    if name == "stages":
        print(json.dumps({"stages": fit_stages(log)}))
        return
    users = served_users(log["user"])
    if name == "tarsel":
        got = run_tarsel(log, users)
    elif name == "tarsel-ungated":
        got = run_tarsel(log, users, gate_users=0)
    else:
        got = run_implicit(name, log, users)
    print(json.dumps({**got, "rss": rss_mb("VmHWM")}))


def measure(name: str, path: str, compare: str | None) -> dict[str, float]:
    env = dict(os.environ, OPENBLAS_NUM_THREADS="1", MKL_NUM_THREADS="1")
    if name == "tarsel-before":
        env["PYTHONPATH"] = os.pathsep.join(filter(None, [compare, env.get("PYTHONPATH")]))
        name = "tarsel"
    done = subprocess.run(
        [sys.executable, __file__, "--child", name, path],
        env=env,
        capture_output=True,
        text=True,
        check=False,
    )
    if done.returncode != 0:
        raise SystemExit(f"{name} failed:\n{done.stderr}")
    return json.loads(done.stdout.strip().splitlines()[-1])


def report(log_name: str, shape: tuple[int, int, int], best: dict[str, dict[str, float]]) -> None:
    n_users, n_items, n_events = shape
    print(
        f"\nlog '{log_name}': {n_events:,} events, {n_users:,} users, {n_items:,} items; "
        f"top-{TOP_N} for {min(N_SERVED, n_users):,} users  ({machine()})"
    )
    header = ("model", "fit s", "top-10 s", "peak RSS MB", "served", "held-out NDCG")
    rows = [
        (
            LABELS[m],
            f"{best[m]['fit']:.2f}",
            f"{best[m]['serve']:.3f}",
            f"{best[m]['rss']:.0f}",
            best[m].get("served", ""),
            "" if best[m].get("ndcg") is None else f"{best[m]['ndcg']:.5f}",
        )
        for m in best
    ]
    for ours in ("tarsel", "tarsel-ungated", "tarsel-before"):
        for peer in PEERS:
            if ours not in best or peer not in best:
                continue
            t, p = best[ours], best[peer]
            rows.append(
                (
                    f"{ours} / {peer} (below 1: tarsel better)",
                    f"{t['fit'] / p['fit']:.2f}",
                    f"{t['serve'] / p['serve']:.3f}",
                    f"{t['rss'] / p['rss']:.2f}",
                    "",
                    "",
                )
            )
    widths = [max(len(r[i]) for r in rows + [header]) for i in range(len(header))]
    for row in [header] + rows:
        print("  ".join(cell.ljust(w) for cell, w in zip(row, widths)))


def report_stages(log_name: str, stages: list[tuple[str, float, float]]) -> None:
    print(f"\nlog '{log_name}': memory by step of Recommender().fit  ({machine()})")
    print(f"{'step':42}  {'MB at start':>11}  {'peak MB':>8}")
    for name, at_start, peak in stages:
        print(f"{name:42}  {at_start:11.0f}  {peak:8.0f}")


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true", help="logs ten times smaller")
    parser.add_argument("--runs", type=int, default=2, help="interleaved runs per model")
    parser.add_argument(
        "--logs", default="large,ease,tastes", help="comma-separated: large, ease, tastes"
    )
    parser.add_argument("--models", default=",".join(MODELS), help="comma-separated models")
    parser.add_argument(
        "--compare",
        metavar="DIR",
        help="also run the tarsel package found in DIR, as 'tarsel-before'",
    )
    parser.add_argument(
        "--stages",
        action="store_true",
        help="only the resident and peak memory of each fit step of Recommender()",
    )
    parser.add_argument("--child", nargs=2, help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.child:
        child(*args.child)
        return
    try:
        import implicit  # noqa: F401
        import threadpoolctl  # noqa: F401
    except ImportError:
        print(
            "bench_peers: skipped, needs the optional extra tarsel[peers] "
            "(pip install 'tarsel[peers]')"
        )
        return
    models = [m for m in args.models.split(",") if m]
    if args.compare:
        models.insert(models.index("tarsel") + 1 if "tarsel" in models else 0, "tarsel-before")
    unknown = set(models) - set(MODELS) - {"tarsel-before"}
    if unknown:
        raise SystemExit(f"unknown models {sorted(unknown)}; choose from {MODELS}")
    with tempfile.TemporaryDirectory() as folder:
        for log_name in args.logs.split(","):
            shape = LOGS[log_name]
            if args.quick:  # the catalogues stay: serving cost follows them
                shape = (shape[0] // 10, shape[1], shape[2] // 10)
            path = os.path.join(folder, f"{log_name}.npz")
            np.savez(path, **make_log(*shape, tastes=TASTES.get(log_name)))
            if args.stages:
                report_stages(log_name, measure("stages", path, None)["stages"])
                continue
            best: dict[str, dict[str, float]] = {}
            for _ in range(args.runs):
                for name in models:
                    got = measure(name, path, args.compare)
                    kept = best.setdefault(name, got)
                    best[name] = {key: min(kept[key], got[key]) for key in FIGURES} | {
                        key: got[key] for key in got if key not in FIGURES
                    }
            report(log_name, shape, best)


if __name__ == "__main__":
    main()
