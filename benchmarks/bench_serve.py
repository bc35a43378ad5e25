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
server's CPU time per request is printed beside them, and the machine and its
load average before each run. Each run also sends the same number of
``GET /healthz`` requests, which call no model, to show what the HTTP layer
alone costs, and prints the load generator's own CPU per request.

``--soak SECONDS`` runs the long soak instead: the clients read while another
client posts events for new users, the model file is replaced twice and the
service restarts once; it reports failed requests, acknowledged events missing
from their users' answers and the server's RSS over time.
"""

from __future__ import annotations

import argparse
import asyncio
import contextlib
import json
import os
import random
import re
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import threading
import time
import urllib.parse
import urllib.request

import numpy as np

sys.path.insert(0, os.path.dirname(__file__))
from _common import machine  # noqa: E402
from tarsel import Recommender, datasets  # noqa: E402

SHOP = {"n_items": 3000, "n_days": 120, "seed": 7}


def where() -> str:
    """The machine and its load average now."""
    cpu = ""
    with contextlib.suppress(OSError):
        with open("/proc/cpuinfo") as info:
            cpu = next((line.split(":", 1)[1].strip() for line in info if "model name" in line), "")
    load = ", ".join(f"{v:.1f}" for v in os.getloadavg())
    return f"{machine()}{', ' + cpu if cpu else ''}; load average {load}"


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
    if kind == "healthz":
        return b"GET /healthz HTTP/1.1\r\nHost: x\r\n\r\n"
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


def start_server(
    path: str, port: int, workers: int, log_path: str, *options: str
) -> subprocess.Popen:
    command = [sys.executable, "-m", "tarsel", "serve", path, "--port", str(port)]
    with open(log_path, "a") as log:
        server = subprocess.Popen([*command, "--workers", str(workers), *options], stderr=log)
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
    parser.add_argument(
        "--soak", type=float, default=0, help="run the soak for this many seconds instead"
    )
    args = parser.parse_args()

    with tempfile.TemporaryDirectory() as folder:
        path = args.model or os.path.join(folder, "shop.model")
        if not os.path.exists(path):
            build_model(args.events, path)
        model = Recommender.load(path)
        requests = make_requests(model, args.requests, args.n)
        if args.soak:
            return soak(args, path, folder, model, requests)
        started, cpu = time.perf_counter(), time.process_time()
        expected = [in_process(model, r, args.n) for r in requests]
        loop_wall, loop_cpu = time.perf_counter() - started, time.process_time() - cpu
        loop_rate = len(requests) / loop_wall
        print(
            f"\n{len(requests):,} requests (50% user, 30% basket, 20% similar; n={args.n}), "
            f"{args.clients} clients  ({where()})"
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
    print(f"  ({where()})")
    server = start_server(path, port, workers, log_path)
    try:
        # a short warm-up, so that lazily built indexes and thread scratch exist
        asyncio.run(load(port, requests[:500], args.n, args.clients, 60))
        rss_before, cpu_before = rss_mb(server.pid), cpu_seconds(server.pid)
        client_cpu = time.process_time()
        results, wall = asyncio.run(load(port, requests, args.n, args.clients, args.time_limit))
        client_cpu = time.process_time() - client_cpu
        rss_after, server_cpu = rss_mb(server.pid), cpu_seconds(server.pid) - cpu_before
        # the same load of GET /healthz: what the HTTP layer costs without a model call
        cpu_before = cpu_seconds(server.pid)
        bare = [("healthz", None, None)] * len(requests)
        bare_results, bare_wall = asyncio.run(
            load(port, bare, args.n, args.clients, args.time_limit)
        )
        bare_cpu = cpu_seconds(server.pid) - cpu_before
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
    bare_done = sum(r is not None and r[0] == 200 for r in bare_results)
    print(
        f"    HTTP alone      {bare_done / bare_wall:,.0f} requests/s, "
        f"{bare_cpu / max(bare_done, 1) * 1e3:.3f} ms server CPU per request (GET /healthz)"
    )
    print(
        f"    clients         {client_cpu / max(len(done), 1) * 1e3:.3f} ms CPU per request "
        "(the load generator, on the same machine)"
    )
    return bool(errors or mismatches or bare_done < len(bare))


def soak(args, path: str, folder: str, model: Recommender, requests: list) -> None:
    """Reads from ``args.clients`` clients and events from one more for
    ``args.soak`` seconds; the model file is replaced (by a copy) at a quarter
    and at half time and the service restarted at three quarters. Then every
    acknowledged event must show: each new user's answer equals the model's
    with the acknowledged events applied in order."""
    live, log_path, port = (
        os.path.join(folder, "live.model"),
        os.path.join(folder, "soak.log"),
        free_port(),
    )
    shutil.copyfile(path, live)
    workers = max(args.workers)
    options = ("--allow-updates", "--reload-interval", "0.5")
    print(f"\nsoak: {args.soak:.0f} s, {args.clients} clients, --workers {workers}  ({where()})")
    server = start_server(live, port, workers, log_path, *options)
    stop, acknowledged, counts = threading.Event(), [], {"ok": 0, "failed": 0, "retried": 0}
    payloads = [encode(r, args.n) for r in requests]
    items = model.items_.ids[np.argsort(-model.item_pop_)[:200]].tolist()

    def reader(seed: int) -> None:
        rng, connection = random.Random(seed), None
        while not stop.is_set():
            try:
                connection = connection or socket.create_connection(("127.0.0.1", port), 10)
                connection.sendall(rng.choice(payloads))
                status = int(_response(connection)[9:12])
                counts["ok" if status == 200 else "failed"] += 1
            except (OSError, ValueError) as exc:  # closed or refused while it restarted
                counts["failed" if "without a length" in str(exc) else "retried"] += 1
                connection = connection.close() if connection else None
                time.sleep(0.01)

    def poster() -> None:
        user = 10**9
        while not stop.is_set():
            event = {"user": user, "item": random.choice(items), "time": time.time()}
            body = json.dumps({"events": [event]}).encode()
            request = urllib.request.Request(
                f"http://127.0.0.1:{port}/events", body, {"Content-Type": "application/json"}
            )
            with contextlib.suppress(OSError):
                with urllib.request.urlopen(request, timeout=10) as answer:
                    if answer.status == 200:
                        acknowledged.append(event)
                        user += 1
            time.sleep(0.01)

    threads = [threading.Thread(target=reader, args=(k,)) for k in range(args.clients)]
    threads.append(threading.Thread(target=poster))
    for thread in threads:
        thread.start()
    rss = [rss_mb(server.pid)]
    try:
        for step in ("replace", "replace", "restart"):
            time.sleep(args.soak / 4)
            rss.append(rss_mb(server.pid))
            if step == "replace":
                shutil.copyfile(path, live + ".staged")
                os.replace(live + ".staged", live)
            else:
                server.send_signal(signal.SIGTERM)
                server.wait(timeout=60)
                server = start_server(live, port, workers, log_path, *options)
        time.sleep(args.soak / 4)
        rss.append(rss_mb(server.pid))
    finally:
        stop.set()
        for thread in threads:
            thread.join(timeout=60)
    try:
        expected, lost = Recommender.load(path), 0
        for event in acknowledged:
            expected.update({key: [event[key]] for key in ("user", "item", "time")})
        for event in acknowledged:
            url = f"http://127.0.0.1:{port}/recommend/{event['user']}?n={args.n}"
            try:
                with urllib.request.urlopen(url, timeout=10) as answer:
                    lost += not same(answer.read(), expected.recommend(event["user"], args.n))
            except OSError:
                lost += 1
    finally:
        server.send_signal(signal.SIGTERM)
        server.wait(timeout=60)
    print(
        f"  reads: {counts['ok']:,} answered, {counts['failed']} failed, "
        f"{counts['retried']} connections retried (closed or refused during the restart)"
    )
    print(f"  events: {len(acknowledged):,} acknowledged, {lost} missing from their users' answers")
    print(f"  server RSS (MB) at each quarter: {', '.join(f'{r:.0f}' for r in rss)}")
    if counts["failed"] or lost:
        raise SystemExit(1)


def _response(connection: socket.socket) -> bytes:
    """One whole HTTP response from a blocking socket."""
    data = b""
    while b"\r\n\r\n" not in data:
        chunk = connection.recv(1 << 16)
        if not chunk:
            raise ValueError("closed")
        data += chunk
    head, _, body = data.partition(b"\r\n\r\n")
    declared = re.search(rb"(?im)^content-length:\s*(\d+)", head)
    if declared is None:  # an answer without a length ends with the connection
        raise ConnectionError(f"answer without a length: {head[:12]!r}")
    length = int(declared.group(1))
    while len(body) < length:
        chunk = connection.recv(1 << 16)
        if not chunk:
            raise ValueError("closed")
        body += chunk
    return head


if __name__ == "__main__":
    main()
