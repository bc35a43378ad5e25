"""``tarsel serve`` under load, beside calling the model in-process.

Fits a model on a grocery log of about 2M events (``--events`` for a smaller
one; ``--model`` keeps it for the next run), starts ``tarsel serve`` on
127.0.0.1 (once per ``--workers`` value), and sends a fixed mix of requests
(user, live-basket and similar-item) from concurrent keep-alive clients,
bounded in count and time. Reports throughput, p50/p99 latency, the error count
and the server's RSS before and after; checks every answer against the model
called in-process, and compares the service's throughput with a plain
in-process loop over the same requests.

Goals: no errors, p99 under 20 ms at 32 clients, throughput at least 70% of the
in-process loop, RSS flat. The clients run on the same machine as the server;
on a shared machine the wall-clock figures move with the other load, so the
server's CPU time per request is printed beside them.
"""

from __future__ import annotations

import argparse
import asyncio
import json
import os
import signal
import socket
import subprocess
import sys
import tempfile
import time
import urllib.parse
import urllib.request

import numpy as np

sys.path.insert(0, os.path.dirname(__file__))
from _common import machine  # noqa: E402
from tarsel import Recommender, datasets  # noqa: E402

SHOP = {"n_items": 3000, "n_days": 120, "seed": 7}


def build_model(events: int, path: str) -> None:
    started = time.perf_counter()
    # the generator's events per user, measured on a sample, size the log
    sample = datasets.grocery(n_users=200, **SHOP).interactions
    per_user = len(sample["user"]) / 200
    shop = datasets.grocery(n_users=max(round(events / per_user), 50), **SHOP)
    table = shop.interactions
    print(
        f"log: {len(table['user']):,} events, {len(np.unique(table['user'])):,} users, "
        f"{len(shop.item_features['item']):,} items "
        f"(made in {time.perf_counter() - started:.0f} s)"
    )
    started = time.perf_counter()
    model = Recommender().fit(table, shop.item_features, **shop.columns)
    model.save(path)
    print(f"fit in {time.perf_counter() - started:.0f} s; kept {model.kept_}")


def make_requests(model: Recommender, count: int, n: int, seed: int = 0) -> list[tuple]:
    """(kind, user, basket or item) in a fixed mix: half user requests, 30%
    live baskets (a fifth of them for new shoppers), 20% similar items."""
    rng = np.random.default_rng(seed)
    users, items = model.users_.ids, model.items_.ids
    popular = items[np.argsort(-model.item_pop_)[:500]]
    out = []
    for kind in rng.choice(3, size=count, p=[0.5, 0.3, 0.2]):
        if kind == 0:
            out.append(("user", users[rng.integers(len(users))].item(), None))
        elif kind == 1:
            user = users[rng.integers(len(users))].item() if rng.random() < 0.8 else None
            basket = popular[rng.integers(len(popular), size=rng.integers(1, 6))].tolist()
            out.append(("basket", user, basket))
        else:
            out.append(("similar", None, popular[rng.integers(len(popular))].item()))
    return out


def encode(request: tuple, n: int) -> bytes:
    kind, user, extra = request
    if kind == "user":
        return f"GET /recommend/{user}?n={n} HTTP/1.1\r\nHost: x\r\n\r\n".encode()
    if kind == "similar":
        path = urllib.parse.quote(str(extra), safe="")
        return f"GET /similar/{path}?n={n} HTTP/1.1\r\nHost: x\r\n\r\n".encode()
    body = json.dumps({"user": user, "items": extra, "n": n}).encode()
    return (
        b"POST /recommend HTTP/1.1\r\nHost: x\r\nContent-Type: application/json\r\n"
        b"Content-Length: " + str(len(body)).encode() + b"\r\n\r\n" + body
    )


def in_process(model: Recommender, request: tuple, n: int) -> dict:
    kind, user, extra = request
    if kind == "user":
        return model.recommend(user, n)
    if kind == "basket":
        return model.recommend(user, n, items=extra)
    return model.similar_items(extra, n)


async def load(port: int, requests: list[tuple], n: int, clients: int, limit_s: float):
    """Send every request once over ``clients`` keep-alive connections; returns
    per-request (status, latency, body) and the wall time."""
    payloads = [encode(r, n) for r in requests]
    results: list = [None] * len(payloads)
    next_index = iter(range(len(payloads)))
    deadline = time.perf_counter() + limit_s

    async def client() -> None:
        reader, writer = await asyncio.open_connection("127.0.0.1", port)
        try:
            for k in next_index:
                if time.perf_counter() > deadline:
                    return
                sent = time.perf_counter()
                writer.write(payloads[k])
                head = await reader.readuntil(b"\r\n\r\n")
                status = int(head[9:12])
                length = next(
                    int(line.split(b":")[1])
                    for line in head.split(b"\r\n")
                    if line.lower().startswith(b"content-length:")
                )
                body = await reader.readexactly(length)
                results[k] = (status, time.perf_counter() - sent, body)
        finally:
            writer.close()

    started = time.perf_counter()
    await asyncio.gather(*(client() for _ in range(clients)))
    return results, time.perf_counter() - started


def family(pid: int) -> list[int]:
    """A process and its children (the worker processes)."""
    children = []
    for entry in os.listdir("/proc"):
        if entry.isdigit():
            try:
                with open(f"/proc/{entry}/stat") as stat:
                    if int(stat.read().rsplit(")", 1)[1].split()[1]) == pid:
                        children.append(int(entry))
            except OSError:
                continue
    return [pid] + children


def rss_mb(pid: int) -> float:
    """Resident memory of the server and its workers."""
    total = 0
    for member in family(pid):
        with open(f"/proc/{member}/status") as status:
            total += next(int(line.split()[1]) for line in status if line.startswith("VmRSS:"))
    return total / 1024


def cpu_seconds(pid: int) -> float:
    """User and system CPU time of the server and its workers so far."""
    total = 0
    for member in family(pid):
        with open(f"/proc/{member}/stat") as stat:
            fields = stat.read().rsplit(")", 1)[1].split()
        total += int(fields[11]) + int(fields[12])
    return total / os.sysconf("SC_CLK_TCK")


def free_port() -> int:
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        return probe.getsockname()[1]


def start_server(path: str, port: int, workers: int, log_path: str) -> subprocess.Popen:
    with open(log_path, "w") as log:
        server = subprocess.Popen(
            [
                sys.executable,
                "-m",
                "tarsel",
                "serve",
                path,
                "--port",
                str(port),
                "--workers",
                str(workers),
            ],
            stderr=log,
        )
    deadline = time.monotonic() + 300
    while True:
        if server.poll() is not None:
            raise SystemExit(f"the server stopped; see {log_path}")
        try:
            with urllib.request.urlopen(f"http://127.0.0.1:{port}/healthz", timeout=2) as r:
                if r.status == 200:
                    return server
        except OSError:
            pass
        if time.monotonic() > deadline:
            server.kill()
            raise SystemExit("the server did not come up in 300 s")
        time.sleep(0.2)


def same(answer: bytes, expected: dict) -> bool:
    got = json.loads(answer)
    got = got.get("similar", got)
    return (
        got["item"] == expected["item"].tolist()
        and got["source"] == expected["source"].tolist()
        and np.allclose(got["score"], expected["score"], rtol=1e-12, atol=0)
    )


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--events", type=int, default=2_000_000, help="size of the log")
    parser.add_argument(
        "--model",
        help="the model file: served when it exists, else fitted and kept there for the next run",
    )
    parser.add_argument("--requests", type=int, default=20_000)
    parser.add_argument("--clients", type=int, default=32)
    parser.add_argument("-n", type=int, default=10)
    parser.add_argument(
        "--workers",
        type=int,
        nargs="+",
        default=[1, os.cpu_count() or 2],
        help="server processes; one run for each value given",
    )
    parser.add_argument("--time-limit", type=float, default=300.0, help="seconds of load")
    args = parser.parse_args()

    with tempfile.TemporaryDirectory() as folder:
        path = args.model or os.path.join(folder, "shop.model")
        if not os.path.exists(path):
            build_model(args.events, path)
        model = Recommender.load(path)
        requests = make_requests(model, args.requests, args.n)
        started, cpu = time.perf_counter(), time.process_time()
        expected = [in_process(model, r, args.n) for r in requests]
        loop_wall, loop_cpu = time.perf_counter() - started, time.process_time() - cpu
        loop_rate = len(requests) / loop_wall
        print(
            f"\n{len(requests):,} requests (50% user, 30% basket, 20% similar; n={args.n}), "
            f"{args.clients} clients  ({machine()})"
        )
        print(
            f"  in-process loop: {loop_rate:,.0f} requests/s, "
            f"{loop_cpu / len(requests) * 1e3:.3f} ms CPU each"
        )
        failed = False
        for workers in args.workers:
            failed |= run_service(
                args, path, folder, workers, requests, expected, loop_rate, loop_cpu / len(requests)
            )
    if failed:
        raise SystemExit(1)


def run_service(
    args,
    path: str,
    folder: str,
    workers: int,
    requests: list,
    expected: list,
    loop_rate: float,
    loop_cpu: float,
) -> bool:
    """One load run against a fresh server; prints its figures and returns
    whether anything failed."""
    port, log_path = free_port(), os.path.join(folder, f"serve-{workers}.log")
    server = start_server(path, port, workers, log_path)
    try:
        # a short warm-up, so that lazily built indexes and thread scratch exist
        asyncio.run(load(port, requests[:500], args.n, args.clients, 60))
        rss_before, cpu_before = rss_mb(server.pid), cpu_seconds(server.pid)
        results, wall = asyncio.run(load(port, requests, args.n, args.clients, args.time_limit))
        rss_after, server_cpu = rss_mb(server.pid), cpu_seconds(server.pid) - cpu_before
    finally:
        server.send_signal(signal.SIGINT)
        try:
            server.wait(timeout=30)
        except subprocess.TimeoutExpired:
            server.kill()
    done = [r for r in results if r is not None]
    errors = sum(status != 200 for status, _, _ in done) + len(results) - len(done)
    mismatches = sum(
        not same(body, want) for (status, _, body), want in zip(results, expected) if status == 200
    )
    latency = np.array([seconds for _, seconds, _ in done]) * 1e3
    rate, cpu = len(done) / wall, server_cpu / max(len(done), 1)
    print(f"  tarsel serve --workers {workers}: {len(done):,} requests answered")
    print(f"    throughput      {rate:,.0f} requests/s ({rate / loop_rate:.2f} of in-process)")
    print(
        f"    server CPU      {cpu * 1e3:.3f} ms per request ({loop_cpu / cpu:.2f} of in-process)"
    )
    print(
        f"    latency         p50 {np.percentile(latency, 50):.2f} ms, "
        f"p99 {np.percentile(latency, 99):.2f} ms, max {latency.max():.1f} ms"
    )
    print(f"    errors          {errors}; answers unlike in-process: {mismatches}")
    print(f"    server RSS      {rss_before:.0f} MB before, {rss_after:.0f} MB after")
    return bool(errors or mismatches)


if __name__ == "__main__":
    main()
