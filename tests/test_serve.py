"""The HTTP service in-process, through Starlette's test client."""

import json
import os
import sys
import time
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


def _model_files(shop, folder, **settings):
    """shop.model and other.model, a model without EASE, of the same log."""
    for name, extra in (("shop", {}), ("other", {"ease_max_items": 0})):
        model = Recommender(gate_users=0, **settings, **extra)
        model.fit(shop.interactions, **shop.columns).save(folder / f"{name}.model")
    return folder / "shop.model"


@pytest.fixture(scope="module")
def fitted(shop, tmp_path_factory):
    path = _model_files(shop, tmp_path_factory.mktemp("serve"))
    return Recommender.load(path), path


@pytest.fixture()
def client(fitted, tmp_path):
    live = tmp_path / "live.model"
    live.write_bytes(fitted[1].read_bytes())
    limits = Limits(max_n=50, max_body_bytes=2000, max_batch_users=5, max_rows=100, max_new_users=2)
    app = create_app(str(live), allow_updates=True, reload_interval=0.05, limits=limits)
    with TestClient(app) as client:
        client.model_path = live
        yield client


def _event(user, item, at):
    return {"user": user, "item": item, "time": at}


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
    want = model.recommend(user, 5, items=[item, "no-such", None])
    assert client.post("/recommend", json=body).json() == _listed(want, user)
    users, baskets = [user, 7, None], [None, None, [item, "zz"]]
    body = {"users": users, "n": 2, "items": baskets}
    batch = client.post("/recommend/batch", json=body).json()
    singles = [_listed(model.recommend(u, 2, items=b), u) for u, b in zip(users, baskets)]
    assert batch["unknown_items"] == singles[2].pop("unknown_items") == 1
    assert batch["results"] == singles
    similar = _listed(model.similar_items(item, 3), ...)
    assert client.get(f"/similar/{item}?n=3").json() == {"item": item, "similar": similar}


def _events(*times, user=1):
    return {"events": [_event(user, "x", at) for at in times]}


@pytest.mark.parametrize(
    "request_line, body, status, message",
    [
        ("GET /recommend/abc", None, 400, "user id must be an integer for this model"),
        ("GET /recommend/１０００", None, 400, "user id must be an integer"),
        ("GET /recommend/99999999999999999999", None, 400, "outside the 64-bit integer range"),
        ("GET /recommend/1000%00", None, 400, "must not contain NUL"),
        ("GET /recommend/" + "1" * 257, None, 400, "257 characters long, over the limit of 256"),
        ("GET /recommend/1?n=51", None, 400, "n must be an integer from 0 to 50"),
        ("GET /recommend/1?exclude_owned=maybe", None, 400, "exclude_owned must be true or"),
        ("POST /recommend", b"{", 400, "the request body is not valid JSON"),
        ("POST /recommend", b"[" * 1900, 400, "not valid JSON"),
        ("POST /recommend", b" " * 2001, 413, "over the limit of 2000 bytes"),
        ("POST /recommend", {"user": 1, "basket": []}, 400, "unknown field 'basket'"),
        ("POST /recommend", {"user": 1, "items": "a"}, 400, "'items' must be a list"),
        ("POST /recommend", {"user": 1000, "items": ["a\0"]}, 400, "must not contain NUL"),
        ("POST /recommend/batch", {"users": [1] * 6}, 400, "at most 5 user ids"),
        ("POST /recommend/batch", {"users": [1], "items": []}, 400, "one list (or null) per"),
        ("POST /recommend/batch", {"users": [1, 2, 3], "n": 40}, 400, "over the limit of 100"),
        ("GET /similar/nothing", None, 404, "unknown item 'nothing'"),
        ("POST /events", {"events": [{"user": 1}]}, 400, "each event must be an object"),
        ("POST /events", _events("now", user="u1000\0"), 400, "must not contain NUL"),
        ("POST /events", _events(1e12), 400, "outside the accepted window"),
        ("POST /events", _events("9999-12-31"), 400, "outside the accepted"),
        ("POST /events", _events(True), 400, "UNIX seconds or an ISO 8601"),
        ("POST /events", {"events": [_event(u, 1, "now") for u in (7, 8, 9)]}, 400, "3 new users"),
        ("PUT /recommend", None, 405, "Method Not Allowed"),
    ],
)
def test_bad_requests_get_a_json_error(client, request_line, body, status, message):
    for event in body.get("events", []) if isinstance(body, dict) else ():
        event["time"] = time.time() if event.get("time") == "now" else event.get("time")
    kwargs = {"content": body} if isinstance(body, bytes) else {"json": body}
    answer = client.request(*request_line.split(), **(kwargs if body is not None else {}))
    assert answer.status_code == status and message in answer.json()["error"], answer.text


FIELDS = st.sampled_from(["user", "items", "n", "users", "exclude_owned", "events"])
JSON = st.recursive(
    st.none() | st.booleans() | st.integers() | st.floats() | st.text(),
    lambda inner: st.lists(inner, max_size=4) | st.dictionaries(FIELDS, inner, max_size=4),
    max_leaves=12,
)


@settings(max_examples=60, deadline=None)
@given(body=JSON, path=st.sampled_from(["/recommend", "/recommend/batch", "/events"]))
def test_nothing_a_client_sends_gives_a_server_error(fitted, body, path):
    with TestClient(create_app(str(fitted[1]), reload_interval=0, allow_updates=True)) as client:
        answer = client.post(path, content=json.dumps(body, allow_nan=True))
    assert answer.status_code < 500, answer.text


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


def test_reloads_swap_files_in_refuse_damaged_ones_and_fifos_and_log_a_missing_one(
    client, fitted, caplog
):
    caplog.set_level("INFO", logger="tarsel.serve")
    path, staged = client.model_path, client.model_path.with_name("staged")
    first, good = client.get("/healthz").json()["checksum"], path.read_bytes()
    before = client.get("/recommend/1000?n=5").json()

    def logged(text):
        return lambda: any(
            text in r.getMessage() + str(getattr(r, "fields", "")) for r in caplog.records
        )

    def refused(count):
        line = f'tarsel_model_reloads_total{{outcome="refused"}} {count}.0'
        return lambda: line in client.get("/metrics").text

    _put(path, fitted[1].with_name("other.model").read_bytes())
    _wait(lambda: client.get("/healthz").json()["checksum"] != first)
    swapped = client.get("/recommend/1000?n=5").json()
    assert swapped["source"] != before["source"]  # the co-occurrence model answers now
    _put(path, path.read_bytes()[:-100])
    _wait(refused(1))
    assert client.get("/recommend/1000?n=5").json() == swapped
    os.mkfifo(staged)
    os.replace(staged, path)
    _wait(logged("is not a regular file"))
    # a damaged copy of the same size and time is refused; the good bytes
    # written back under the same size and time are loaded
    damaged = bytearray(good)
    damaged[len(good) // 2] ^= 0xFF
    _put(path, bytes(damaged))
    times = (path.stat().st_atime_ns, path.stat().st_mtime_ns)
    _wait(refused(3))
    caplog.clear()
    path.write_bytes(good)
    os.utime(path, ns=times)
    _wait(logged("model loaded"))
    assert client.get("/healthz").json()["checksum"] == first
    os.remove(path)
    _wait(logged("cannot read the model file"))
    time.sleep(0.2)
    assert sum("cannot read" in r.getMessage() for r in caplog.records) == 1
    assert client.get("/recommend/1000").status_code == 200


def test_a_connection_set_up_after_the_listener_closed_is_not_kept_alive(fitted, monkeypatch):
    # The kernel can hand over a connection just before a shutting-down
    # process closes its listener, and asyncio sets it up after uvicorn asked
    # its connections to close; such a connection must close after one answer.
    import asyncio

    import uvicorn
    from uvicorn.server import ServerState

    from tarsel import serve

    app = create_app(str(fitted[1]))
    monkeypatch.setitem(serve._GUARD, "draining", False)
    config = uvicorn.Config(app, lifespan="off", log_config=None)
    config.load()

    async def exchange():
        def protocol():
            # accepted; the listener closes before the connection is set up
            asyncio.get_running_loop().call_soon(listener.close)
            return serve._GuardedProtocol(config=config, server_state=ServerState(), app_state={})

        listener = await asyncio.get_running_loop().create_server(protocol, "127.0.0.1", 0)
        port = listener.sockets[0].getsockname()[1]
        reader, writer = await asyncio.open_connection("127.0.0.1", port)
        writer.write(b"GET /healthz HTTP/1.1\r\nHost: x\r\n\r\n")
        async with asyncio.timeout(3):  # before uvicorn's keep-alive timer (5 s)
            answer = await reader.read()  # up to the server's close
        writer.close()
        return answer

    head = asyncio.run(exchange()).split(b"\r\n\r\n")[0].lower()
    assert head.startswith(b"http/1.1 503") and b"\r\nconnection: close" in head
    assert serve._GUARD["draining"]


def test_the_command_refuses_a_fifo_without_waiting_for_a_writer(tmp_path, capsys):
    from tarsel.__main__ import main

    os.mkfifo(tmp_path / "fifo.model")  # opening it to read would wait for a writer
    assert main(["serve", str(tmp_path / "fifo.model"), "--port", "0"]) == 2
    assert "is not a regular file" in capsys.readouterr().err


def test_events_update_the_served_model_and_are_journaled_in_unix_seconds(client, shop):
    item = shop.interactions["item"][5]
    assert set(client.get("/recommend/123456?n=3").json()["source"]) == {"popularity"}
    now = int(time.time())
    iso = time.strftime("%Y-%m-%dT%H:%M:%S", time.gmtime(now - 60))
    events = [_event(1000, item, str(now)), _event(1000, item, iso), _event(1001, item, now - 30)]
    events += [_event(123456, item, now - 10), _event(1, "new", now)]
    report = client.post("/events", json={"events": events}).json()
    assert report == {"events": 4, "new_users": 1, "unknown_items": 1}
    (line,) = client.model_path.with_name("live.model.journal").read_text().splitlines()
    users, times = [1000, 1000, 1001, 123456, 1], [now, now - 60, now - 30, now - 10, now]
    want = {"seq": 1, "user": users, "item": [item] * 4 + ["new"], "time": times}
    assert json.loads(line) == want
    after = client.get("/recommend/123456?n=3").json()
    assert after["item"] == client.post("/recommend", json={"items": [item], "n": 3}).json()["item"]


def _updated(path, events):
    """The model of the file with the events applied one request each."""
    model = Recommender.load(path)
    for event in events:
        model.update(_columns([event]))
    return model


def _expected(path, events, user, n=5):
    return _listed(_updated(path, events).recommend(user, n), user)


def _put(path, content):
    """Replaces the file at once, as a deployment does."""
    staged = path.with_name("staged")
    if isinstance(content, bytes):
        staged.write_bytes(content)
    else:
        content.save(staged)
    os.replace(staged, path)


@pytest.fixture(scope="module")
def unrepeated(shop, tmp_path_factory):
    """Files of models without a repeat profile: the newest event time of their
    data is all that tells the service which journal entries they hold."""
    path = _model_files(shop, tmp_path_factory.mktemp("unrepeated"), repeat=False)
    assert Recommender.load(path)._fitted.live.profile is None
    return None, path


@pytest.mark.parametrize("files", ["fitted", "unrepeated"])
def test_acknowledged_events_survive_reloads_restarts_and_trims(files, shop, tmp_path, request):
    fitted = request.getfixturevalue(files)
    live, journal = tmp_path / "live.model", tmp_path / "live.model.journal"
    live.write_bytes(fitted[1].read_bytes())
    now, item = time.time(), shop.interactions["item"][5]
    events = [_event(1000, item, now - 5), _event(777001, item, now - 1)]

    def app(updates=True):
        return TestClient(create_app(str(live), allow_updates=updates, reload_interval=0.05))

    def answers(client):
        return [client.get(f"/recommend/{u}?n=5").json() for u in (1000, 777001)]

    with app() as client:
        assert client.post("/events", json={"events": events[:1]}).status_code == 200
        assert client.post("/events", json={"events": events[1:]}).status_code == 200
        # a refit from a warehouse that predates the events replaces the file
        first = client.get("/healthz").json()["checksum"]
        _put(live, fitted[1].with_name("other.model").read_bytes())
        _wait(lambda: client.get("/healthz").json()["checksum"] != first)
        want = [_expected(live, events, u) for u in (1000, 777001)]
        assert answers(client) == want
    with app(updates=False) as client:  # a restart, even without updates
        assert answers(client) == want
        refused = client.post("/events", json={"events": []})
        assert refused.status_code == 403 and "--allow-updates" in refused.json()["error"]
    assert len(journal.read_text().splitlines()) == 2

    # a model that holds the first event: its entry leaves the journal, the
    # second is still replayed
    _put(live, _updated(live, events[:1]))
    with app() as client:
        assert answers(client) == want
    lines = [json.loads(line) for line in journal.read_text().splitlines()]
    assert lines == [{"seq": 1, "trimmed": True}, {"seq": 2, **_columns(events[1:])}]


def _columns(events):
    return {key: [e[key] for e in events] for key in ("user", "item", "time")}


def test_processes_sharing_a_journal_see_each_others_events(fitted, shop, tmp_path):
    live = tmp_path / "live.model"
    live.write_bytes(fitted[1].read_bytes())
    now, item = time.time(), shop.interactions["item"][5]
    first, second, third = (_event(u, item, now) for u in (1000, 1001, 1002))
    one = TestClient(create_app(str(live), allow_updates=True, reload_interval=0.05))
    other = TestClient(create_app(str(live), allow_updates=True, reload_interval=0))
    with one, other:
        assert one.post("/events", json={"events": [first]}).status_code == 200
        assert other.get("/recommend/1000?n=5").json() == _expected(live, [first], 1000)
        assert other.post("/events", json={"events": [second]}).status_code == 200
        assert one.get("/recommend/1001?n=5").json() == _expected(live, [first, second], 1001)
        # a journal line cut short by a crash is passed over and then removed
        journal = tmp_path / "live.model.journal"
        with open(journal, "ab") as handle:
            handle.write(b'{"seq":3,"user":[1')
        assert one.post("/events", json={"events": [third]}).status_code == 200
        assert json.loads(journal.read_text().splitlines()[-1])["seq"] == 3
        # ``one`` loads a model covering everything and trims the journal; the
        # other (which never reloads by itself) missed the third entry, so it
        # loads the file again before answering
        _put(live, covering := _updated(live, [first, second, third]))
        _wait(lambda: json.loads(journal.read_text().splitlines()[0]).get("trimmed"))
        assert other.get("/recommend/1002?n=5").json() == _listed(covering.recommend(1002, 5), 1002)


def test_concurrent_requests_answered_together_equal_the_model(fitted, shop):
    import asyncio

    import httpx

    model = fitted[0]
    items = shop.interactions["item"]
    cases = [
        (int(u), [items[k], items[k + 7], "no-such"] if k % 3 else None, 1 + k % 4, k % 5 == 0)
        for k, u in enumerate(shop.interactions["user"][::29][:120])
    ]
    cases += [(None, [items[k]], 3, False) for k in range(0, 400, 50)]
    app = create_app(str(fitted[1]), reload_interval=0, threads=1)

    async def ask(client, user, basket, n, exclude):
        body = {"user": user, "items": basket, "n": n, "exclude_owned": exclude}
        return (await client.post("/recommend", json=body)).json()

    async def run():
        async with app.router.lifespan_context(app):
            transport = httpx.ASGITransport(app=app)
            async with httpx.AsyncClient(transport=transport, base_url="http://t") as client:
                answers = await asyncio.gather(*(ask(client, *case) for case in cases))
                return answers, (await client.get("/metrics")).text

    answers, metrics = asyncio.run(run())
    for (user, basket, n, exclude), got in zip(cases, answers):
        want = model.recommend(user, n, items=basket, exclude_owned=exclude)
        assert got == _listed(want, user)
    coalesced = float(metrics.split("\ntarsel_coalesced_requests_total ")[1].split()[0])
    assert coalesced > len(cases) / 2


def test_json_integers_name_the_digit_ids_of_a_text_id_model(shop, tmp_path):
    # a CSV read by the command line gives text ids, which clients send as numbers
    events = dict(shop.interactions)
    events["user"] = [str(u) for u in events["user"]]
    model = Recommender(gate_users=0).fit(events, **shop.columns)
    model.save(tmp_path / "text.model")
    user = events["user"][0]
    with TestClient(create_app(str(tmp_path / "text.model"))) as client:
        got = client.post("/recommend", json={"user": int(user), "n": 3}).json()
        assert got == _listed(model.recommend(user, 3), user)
        assert client.post("/recommend", json={"user": True, "n": 3}).status_code == 400


def test_the_examples_need_only_the_serve_extra(monkeypatch):
    import doctest

    import tarsel.serve

    # starlette's test client needs httpx (or httpx2), which the extra does not install
    for name in ("httpx", "httpx2", "starlette.testclient"):
        monkeypatch.setitem(sys.modules, name, None)
    assert doctest.testmod(tarsel.serve, optionflags=doctest.ELLIPSIS).failed == 0
