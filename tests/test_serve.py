"""The HTTP service: in-process through Starlette's test client, and once as a
real server on a loopback port."""

import json
import os
import signal
import socket
import subprocess
import sys
import time
import urllib.request
import warnings

import pytest

pytest.importorskip("starlette")
pytest.importorskip("uvicorn")
pytest.importorskip("prometheus_client")
pytest.importorskip("httpx")
from hypothesis import given, settings  # noqa: E402
from hypothesis import strategies as st

with warnings.catch_warnings():  # this Starlette would rather have httpx2
    warnings.simplefilter("ignore")
    from starlette.testclient import TestClient  # noqa: E402

from tarsel import Recommender, datasets  # noqa: E402
from tarsel.serve import Limits, create_app  # noqa: E402

pytestmark = pytest.mark.filterwarnings("ignore:Using `httpx` with:DeprecationWarning")


def _wait(condition, seconds=20.0):
    deadline = time.monotonic() + seconds
    while not condition():
        assert time.monotonic() < deadline, "timed out"
        time.sleep(0.05)


@pytest.fixture(scope="module")
def shop():
    return datasets.grocery(n_users=150, n_items=80, n_days=60, n_new_items=0, seed=2)


@pytest.fixture(scope="module")
def fitted(shop, tmp_path_factory):
    model = Recommender(gate_users=0).fit(shop.interactions, **shop.columns)
    path = tmp_path_factory.mktemp("serve") / "shop.model"
    model.save(path)
    other = Recommender(gate_users=0, ease_max_items=0).fit(shop.interactions, **shop.columns)
    other.save(path.with_name("other.model"))
    return Recommender.load(path), path


@pytest.fixture()
def client(fitted, tmp_path):
    live = tmp_path / "live.model"
    live.write_bytes(fitted[1].read_bytes())
    app = create_app(
        str(live),
        allow_updates=True,
        reload_interval=0.05,
        limits=Limits(max_n=50, max_body_bytes=2000, max_batch_users=5),
    )
    with TestClient(app) as client:
        client.model_path = live
        yield client


def _listed(found, user=None):
    out = {key: found[key].tolist() for key in ("item", "score", "source")}
    if "unknown_items" in found:
        out["unknown_items"] = found["unknown_items"]
    return out if user is ... else {"user": user, **out}


def test_answers_equal_the_model(client, fitted, shop):
    model = fitted[0]
    user, item = int(shop.interactions["user"][0]), shop.interactions["item"][0]
    assert client.get(f"/recommend/{user}?n=4").json() == _listed(model.recommend(user, 4), user)
    got = client.get(f"/recommend/{user}", params={"n": 3, "exclude_owned": "false"}).json()
    assert got == _listed(model.recommend(user, 3, exclude_owned=False), user)
    body = {"user": str(user), "items": [item, "no-such", {"x": 1}], "n": 5}
    assert client.post("/recommend", json=body).json() == _listed(
        model.recommend(user, 5, items=[item, "no-such", None]), user
    )
    assert client.post("/recommend", json={"user": None, "items": [item]}).json() == _listed(
        model.recommend(None, 10, items=[item]), None
    )
    batch = client.post(
        "/recommend/batch",
        json={"users": [user, 7, None], "n": 2, "items": [None, None, [item, "zz"]]},
    ).json()
    assert batch["unknown_items"] == 1
    singles = [
        _listed(model.recommend(u, 2, items=b), u)
        for u, b in ((user, None), (7, None), (None, [item, "zz"]))
    ]
    singles[2].pop("unknown_items")
    assert batch["results"] == singles
    assert client.get(f"/similar/{item}?n=3").json() == {
        "item": item,
        "similar": _listed(model.similar_items(item, 3), ...),
    }


@pytest.mark.parametrize(
    "method, path, body, status, message",
    [
        ("get", "/recommend/abc", None, 400, "user id must be an integer for this model"),
        ("get", "/recommend/1?n=51", None, 400, "n must be an integer from 0 to 50"),
        ("get", "/recommend/1?exclude_owned=maybe", None, 400, "exclude_owned must be true or"),
        ("post", "/recommend", b"{", 400, "the request body is not valid JSON"),
        ("post", "/recommend", b"[" * 1900, 400, "not valid JSON"),
        ("post", "/recommend", b" " * 2001, 413, "over the limit of 2000 bytes"),
        ("post", "/recommend", {"user": 1, "basket": []}, 400, "unknown field 'basket'"),
        ("post", "/recommend", {"user": 1, "items": "a"}, 400, "'items' must be a list"),
        ("post", "/recommend/batch", {"users": [1] * 6}, 400, "at most 5 user ids"),
        ("post", "/recommend/batch", {"users": [1], "items": []}, 400, "one list (or null) per"),
        ("get", "/similar/nothing", None, 404, "unknown item 'nothing'"),
        ("post", "/events", {"events": [{"user": 1}]}, 400, "each event must be an object"),
        ("put", "/recommend", None, 405, "Method Not Allowed"),
    ],
)
def test_bad_requests_get_a_json_error(client, method, path, body, status, message):
    kwargs = {"content": body} if isinstance(body, bytes) else {"json": body}
    answer = client.request(method.upper(), path, **(kwargs if body is not None else {}))
    assert answer.status_code == status
    assert message in answer.json()["error"]


@settings(max_examples=60, deadline=None)
@given(
    body=st.recursive(
        st.none() | st.booleans() | st.integers() | st.floats() | st.text(),
        lambda inner: (
            st.lists(inner, max_size=4)
            | st.dictionaries(
                st.sampled_from(["user", "items", "n", "users", "exclude_owned", "events"]),
                inner,
                max_size=4,
            )
        ),
        max_leaves=12,
    ),
    path=st.sampled_from(["/recommend", "/recommend/batch", "/events"]),
)
def test_nothing_a_client_sends_gives_a_server_error(fitted, body, path):
    with TestClient(create_app(str(fitted[1]), reload_interval=0, allow_updates=True)) as client:
        answer = client.post(path, content=json.dumps(body, allow_nan=True))
    assert answer.status_code < 500, answer.text


def test_events_update_the_served_model(client, shop):
    item = shop.interactions["item"][5]
    before = client.get("/recommend/123456?n=3").json()
    assert set(before["source"]) == {"popularity"}
    events = [{"user": 123456, "item": item, "time": 2e9}, {"user": 1, "item": "new", "time": 2e9}]
    assert client.post("/events", json={"events": events}).json() == {
        "events": 1,
        "new_users": 1,
        "unknown_items": 1,
    }
    after = client.get("/recommend/123456?n=3").json()
    assert after["item"] == client.post("/recommend", json={"items": [item], "n": 3}).json()["item"]


def test_updates_are_off_unless_allowed(fitted):
    with TestClient(create_app(str(fitted[1]), reload_interval=0)) as client:
        answer = client.post("/events", json={"events": []})
    assert answer.status_code == 403 and "--allow-updates" in answer.json()["error"]


def test_health_metrics_and_one_log_line_per_request(client, caplog):
    caplog.set_level("INFO", logger="tarsel.serve")
    health = client.get("/healthz").json()
    assert health["status"] == "ok" and len(health["checksum"]) == 16
    client.get("/recommend/1")
    client.get("/recommend/x")
    lines = [r.fields for r in caplog.records if getattr(r, "fields", {}).get("event") == "request"]
    got = [(f["path"], f["status"]) for f in lines]
    assert got == [("/healthz", 200), ("/recommend/1", 200), ("/recommend/x", 400)]
    assert all(f["ms"] >= 0 for f in lines)
    text = client.get("/metrics").text
    assert 'tarsel_requests_total{endpoint="recommend_user",status="400"} 1.0' in text
    assert f'tarsel_model_info{{checksum="{health["checksum"]}"' in text
    assert "tarsel_request_duration_seconds_bucket" in text and "tarsel_model_age_seconds" in text


def test_a_replaced_file_is_swapped_in_and_a_damaged_one_refused(client, fitted, caplog):
    path, first = client.model_path, client.get("/healthz").json()["checksum"]
    before = client.get("/recommend/1000?n=5").json()
    staged = path.with_name("staged")
    staged.write_bytes(fitted[1].with_name("other.model").read_bytes())
    os.replace(staged, path)
    _wait(lambda: client.get("/healthz").json()["checksum"] != first)
    swapped = client.get("/recommend/1000?n=5").json()
    assert swapped["source"] != before["source"]  # the co-occurrence model answers now

    caplog.set_level("INFO", logger="tarsel.serve")
    staged.write_bytes(path.read_bytes()[:-100])
    os.replace(staged, path)
    _wait(lambda: any("refused" in r.message for r in caplog.records))
    assert client.get("/recommend/1000?n=5").json() == swapped
    assert 'tarsel_model_reloads_total{outcome="refused"} 1.0' in client.get("/metrics").text


def _free_port():
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        return probe.getsockname()[1]


def _get(url):
    with urllib.request.urlopen(url, timeout=5) as answer:
        return answer.status, json.loads(answer.read())


def test_the_real_server_reloads_on_sighup_without_a_failed_request(fitted, tmp_path):
    path = tmp_path / "live.model"
    path.write_bytes(fitted[1].read_bytes())
    port = _free_port()
    args = ["serve", str(path), "--port", str(port), "--reload-interval", "0"]
    server = subprocess.Popen(
        [sys.executable, "-m", "tarsel", *args], stderr=subprocess.PIPE, text=True
    )
    base = f"http://127.0.0.1:{port}"
    try:

        def up():
            assert server.poll() is None, server.stderr.read()
            try:
                return _get(base + "/healthz")[0] == 200
            except OSError:
                return False

        _wait(up, 60)
        first = _get(base + "/healthz")[1]["checksum"]
        path.write_bytes(fitted[1].with_name("other.model").read_bytes())
        server.send_signal(signal.SIGHUP)
        statuses = set()
        deadline = time.monotonic() + 30
        while _get(base + "/healthz")[1]["checksum"] == first:
            assert time.monotonic() < deadline
            statuses.add(_get(base + "/recommend/1000?n=3")[0])
        assert statuses <= {200}
    finally:
        server.terminate()
        try:
            _, log = server.communicate(timeout=20)
        except subprocess.TimeoutExpired:
            server.kill()
            _, log = server.communicate()
    lines = [json.loads(line) for line in log.splitlines() if line.startswith("{")]
    assert any(line.get("status") == 200 and line["path"] == "/healthz" for line in lines)
    assert sum(line.get("message") == "model loaded" for line in lines) == 2


def test_the_command_refuses_a_model_it_cannot_load(tmp_path, capsys):
    from tarsel.__main__ import main

    (tmp_path / "bad.model").write_bytes(b"not a model")
    assert main(["serve", str(tmp_path / "bad.model"), "--port", "0"]) == 2
    assert "is not a tarsel model file" in capsys.readouterr().err
    assert main(["serve", "m", "--workers", "2", "--allow-updates"]) == 2
    assert "--allow-updates needs --workers 1" in capsys.readouterr().err


def test_the_examples_need_only_the_serve_extra(monkeypatch):
    import doctest

    import tarsel.serve

    # starlette's test client needs httpx (or httpx2), which the extra does not install
    for name in ("httpx", "httpx2", "starlette.testclient"):
        monkeypatch.setitem(sys.modules, name, None)
    assert doctest.testmod(tarsel.serve, optionflags=doctest.ELLIPSIS).failed == 0
