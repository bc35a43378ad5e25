"""tarsel.distributed.fit on a LocalCluster of 1 and then 2 worker processes,
against the single-machine fit of the same log.

The log: 2,000,000 timestamped events (``--events`` for another size) of
events/20 users over 20,000 items with Zipf-like popularity. EASE is off
(``ease_max_items=5000``): its solve runs on one worker whatever the cluster
size and is timed in bench_item_models.py. The cluster reads the log from
Parquet files, one per partition, as it would in use. Reported per run: wall
time, bytes moved between workers (task results fetched from another worker:
the "tasks" shuffle and the reduction; the finished model sent to the client
is left out), the peak resident memory of each worker process, and the
compute time per task kind from Dask's task stream, the per-partition costs
the scaling notes extrapolate from. Every distributed model is checked to
equal the single-machine one.
"""

from __future__ import annotations

import argparse
import multiprocessing
import os
import resource
import shutil
import sys
import tempfile
import time
from collections import defaultdict

import numpy as np
import pandas as pd

sys.path.insert(0, os.path.dirname(__file__))
from _common import machine  # noqa: E402

SETTINGS = dict(ease_max_items=5000)
COLUMNS = dict(time_col="time")
PARTITIONS = 8


def event_log(n_events: int, n_items: int = 20_000, seed: int = 0) -> pd.DataFrame:
    rng = np.random.default_rng(seed)
    n_users = max(n_events // 20, 100)
    item_p = 1.0 / np.arange(1, n_items + 1) ** 0.9
    items = rng.permutation(n_items)[rng.choice(n_items, n_events, p=item_p / item_p.sum())]
    users = rng.integers(0, n_users, n_events)
    times = np.round(rng.uniform(0, 180 * 86400.0, n_events))
    return pd.DataFrame({"user": users, "item": items, "time": times})


def _peak_mb() -> float:
    return resource.getrusage(resource.RUSAGE_SELF).ru_maxrss / 1024.0


def _single(frame: pd.DataFrame, out) -> None:
    from tarsel import Recommender

    start = time.perf_counter()
    model = Recommender(**SETTINGS).fit(frame, **COLUMNS)
    out.put((time.perf_counter() - start, _peak_mb(), model.engine_.to_bytes()))


def single_machine(frame: pd.DataFrame):
    """The plain fit in a fresh process, for its own peak memory."""
    context = multiprocessing.get_context("spawn")
    out = context.Queue()
    child = context.Process(target=_single, args=(frame, out))
    child.start()
    result = out.get()
    child.join()
    return result


def _moved(dask_worker) -> int:
    return dask_worker.transfer_outgoing_bytes_total


def on_cluster(folder: str, n_workers: int):
    import dask.dataframe as dd
    from distributed import Client, LocalCluster, get_task_stream

    from tarsel import distributed as tdist

    with (
        LocalCluster(
            n_workers=n_workers,
            threads_per_worker=1,
            processes=True,
            host="127.0.0.1",
            dashboard_address=None,
            memory_limit=0,
        ) as cluster,
        Client(cluster) as client,
    ):
        events = dd.read_parquet(folder)
        with get_task_stream(client) as stream:
            start = time.perf_counter()
            model = tdist.fit(client, events, shuffle_method="tasks", **COLUMNS, **SETTINGS)
            wall = time.perf_counter() - start
        moved = sum(client.run(_moved).values()) - len(tdist._model_bytes(model))
        peaks = sorted(client.run(_peak_mb).values())
        costs: dict[str, list[float]] = defaultdict(list)
        for task in stream.data:
            kind = task["key"][0] if isinstance(task["key"], tuple) else task["key"]
            kind = str(kind).rsplit("-", 1)[0].strip("('")
            costs[kind].append(
                sum(s["stop"] - s["start"] for s in task["startstops"] if s["action"] == "compute")
            )
        return wall, moved, peaks, costs, model.engine_.to_bytes()


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--events", type=int, default=2_000_000)
    args = parser.parse_args()
    frame = event_log(args.events)
    print(
        f"{len(frame):,} events, {frame['user'].nunique():,} users, "
        f"{frame['item'].nunique():,} items, {PARTITIONS} partitions  ({machine()})"
    )
    t_single, peak_single, engine = single_machine(frame)
    folder = tempfile.mkdtemp()
    for k, part in enumerate(np.array_split(np.arange(len(frame)), PARTITIONS)):
        frame.iloc[part].to_parquet(os.path.join(folder, f"part{k:03d}.parquet"), index=False)
    print(f"\n{'run':<22}{'wall s':>9}{'moved MB':>10}  peak MB per worker")
    print(f"{'single machine':<22}{t_single:>9.1f}{'-':>10}  {peak_single:.0f} (one process)")
    for n_workers in (1, 2):
        wall, moved, peaks, costs, got = on_cluster(folder, n_workers)
        assert got == engine, "the distributed model differs from the single-machine one"
        print(
            f"{f'dask, {n_workers} worker(s)':<22}{wall:>9.1f}{moved / 1e6:>10.1f}  "
            + ", ".join(f"{p:.0f}" for p in peaks)
        )
        for kind in sorted(costs, key=lambda k: -sum(costs[k])):
            if sum(costs[kind]) >= 0.05 and kind.startswith("_"):
                spent = costs[kind]
                print(
                    f"    {kind:<34}{len(spent):>4} tasks  {sum(spent):7.2f} s  "
                    f"(longest {max(spent):.2f} s)"
                )
    shutil.rmtree(folder)
    print("\nall distributed models equal the single-machine model")


if __name__ == "__main__":
    main()
