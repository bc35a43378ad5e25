"""Render the model report in a real headless Chromium and check it.

Fits the demo model (or loads ``--model``), writes its report, opens it in
Chromium through the DevTools protocol and checks that the page logs no
console error or exception, requests nothing but itself, and that every chart
has a drawing of non-zero size. Saves a screenshot of the top of the page.

Needs Chromium (Debian's ``chromium`` package) and ``websocket-client`` (in the
``docs`` extra)::

    python benchmarks/check_report.py [--model shop.model] [--screenshot docs/report-screenshot.png]
"""

from __future__ import annotations

import argparse
import base64
import json
import os
import pathlib
import shutil
import subprocess
import sys
import tempfile
import time

# per chart: how many drawn shapes (bars, lines, polylines) have a non-empty box
_MEASURE = """
Array.from(document.querySelectorAll('svg.chart')).map(svg => {
  const box = svg.getBoundingClientRect();
  const drawn = Array.from(svg.querySelectorAll('rect, polyline, line'))
    .filter(el => { const b = el.getBBox(); return b.width > 0 || b.height > 0; }).length;
  return {label: svg.getAttribute('aria-label'), width: box.width, height: box.height, drawn};
})
"""


class DevTools:
    """A minimal DevTools protocol client over one page's web socket."""

    def __init__(self, url: str):
        import websocket  # websocket-client

        self._ws = websocket.create_connection(url, timeout=30)
        self._next = 0
        self.events: list[dict] = []

    def call(self, method: str, **params) -> dict:
        self._next += 1
        self._ws.send(json.dumps({"id": self._next, "method": method, "params": params}))
        while True:
            message = json.loads(self._ws.recv())
            if message.get("id") == self._next:
                if "error" in message:
                    raise RuntimeError(f"{method}: {message['error']}")
                return message.get("result", {})
            self.events.append(message)

    def wait_for(self, method: str, timeout: float = 30.0) -> dict:
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            for event in self.events:
                if event.get("method") == method:
                    return event
            self.events.append(json.loads(self._ws.recv()))
        raise TimeoutError(f"no {method} within {timeout} s")

    def close(self) -> None:
        self._ws.close()


def start_chromium(profile: str) -> tuple[subprocess.Popen, str]:
    """Start headless Chromium on a free loopback port; (process, page socket URL)."""
    binary = shutil.which("chromium") or shutil.which("chromium-browser")
    if binary is None:
        sys.exit("chromium not found: apt-get install chromium")
    process = subprocess.Popen(
        [
            binary,
            "--headless",
            "--no-sandbox",
            "--disable-gpu",
            "--no-first-run",
            "--remote-debugging-address=127.0.0.1",
            "--remote-debugging-port=0",
            f"--user-data-dir={profile}",
            "--window-size=1000,1400",
            "about:blank",
        ],
        stdout=subprocess.DEVNULL,
        stderr=subprocess.DEVNULL,
    )
    port_file = pathlib.Path(profile) / "DevToolsActivePort"
    deadline = time.monotonic() + 30
    while not port_file.exists() or not port_file.read_text().strip():
        if time.monotonic() > deadline or process.poll() is not None:
            process.kill()
            sys.exit("chromium did not open its DevTools port")
        time.sleep(0.1)
    port = int(port_file.read_text().split()[0])
    from urllib.request import urlopen

    with urlopen(f"http://127.0.0.1:{port}/json/list", timeout=10) as answer:
        pages = [t for t in json.load(answer) if t["type"] == "page"]
    return process, pages[0]["webSocketDebuggerUrl"]


def check_page(page: pathlib.Path, screenshot: pathlib.Path | None) -> list[str]:
    """Problems found with the rendered page (empty when it passes)."""
    problems = []
    with tempfile.TemporaryDirectory(prefix="tarsel-chromium-") as profile:
        process, socket_url = start_chromium(profile)
        try:
            tools = DevTools(socket_url)
            for domain in ("Page", "Runtime", "Log", "Network"):
                tools.call(f"{domain}.enable")
            tools.call(
                "Emulation.setDeviceMetricsOverride",
                width=960,
                height=1200,
                deviceScaleFactor=1,
                mobile=False,
            )
            tools.call("Page.navigate", url=page.resolve().as_uri())
            tools.wait_for("Page.loadEventFired")
            charts = tools.call("Runtime.evaluate", expression=_MEASURE, returnByValue=True)[
                "result"
            ]["value"]
            if screenshot is not None:
                shot = tools.call(
                    "Page.captureScreenshot",
                    format="png",
                    clip={"x": 0, "y": 0, "width": 960, "height": 1200, "scale": 1},
                )
                screenshot.write_bytes(base64.b64decode(shot["data"]))
            tools.close()
        finally:
            process.kill()
            process.wait()
    for event in tools.events:
        method, params = event.get("method"), event.get("params", {})
        if method == "Runtime.consoleAPICalled" and params.get("type") in ("error", "assert"):
            problems.append(f"console {params['type']}: {params.get('args')}")
        elif method == "Runtime.exceptionThrown":
            problems.append(f"exception: {params.get('exceptionDetails', {}).get('text')}")
        elif method == "Log.entryAdded" and params.get("entry", {}).get("level") == "error":
            problems.append(f"log error: {params['entry'].get('text')}")
        elif method == "Network.requestWillBeSent":
            url = params.get("request", {}).get("url", "")
            if url != page.resolve().as_uri():
                problems.append(f"request for {url}")
    if len(charts) < 4:
        problems.append(f"only {len(charts)} charts")
    for chart in charts:
        if not (chart["width"] > 0 and chart["height"] > 0 and chart["drawn"] > 0):
            problems.append(f"empty chart: {chart}")
    print(
        f"{len(charts)} charts: "
        + "; ".join(
            f"{c['label']} ({c['drawn']} shapes, {c['width']:.0f}x{c['height']:.0f})"
            for c in charts
        )
    )
    return problems


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--model", help="a saved model (default: fit the demo model)")
    parser.add_argument(
        "--screenshot",
        default=str(pathlib.Path(__file__).parents[1] / "docs" / "report-screenshot.png"),
    )
    args = parser.parse_args()
    from tarsel import Recommender, datasets

    if args.model:
        model = Recommender.load(args.model)
    else:
        shop = datasets.grocery()
        model = Recommender().fit(shop.interactions, shop.item_features, **shop.columns)
    with tempfile.TemporaryDirectory(prefix="tarsel-report-") as folder:
        page = pathlib.Path(folder) / "report.html"
        started = time.perf_counter()
        model.report(page)
        print(
            f"report written in {time.perf_counter() - started:.2f} s, "
            f"{os.path.getsize(page) / 1e3:.0f} kB"
        )
        problems = check_page(page, pathlib.Path(args.screenshot) if args.screenshot else None)
    for problem in problems:
        print("FAIL:", problem)
    if not problems:
        print(f"report renders cleanly; screenshot saved to {args.screenshot}")
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main())
