"""The service against what breaks services: workers that cannot start, signals to the
whole process group, a server killed outright, silent connections that would use up
its descriptors, ids beyond 64 bits, and browsers sent by other sites."""

import gzip
import os
import resource
import signal
import socket
import time

import pytest

from test_service import (GRID, GRID_BASE, LONG, TOWN_TRIP, children_of, httpx,
                          in_background, map_path, running, served, wait_until)

from starlette.testclient import TestClient  # noqa: E402

from velorin.service import create_app  # noqa: E402
from velorin.service import maps, workers  # noqa: E402
from velorin.service.security import default_allowed_hosts  # noqa: E402

__all__ = ["map_path"]  # the shared fixture

# A corner of the grid: a search of a second or two, still running when a signal comes.
MEDIUM = {"from": str(GRID_BASE), "to": str(GRID_BASE + 110 * GRID + 110), "eps": "0.1"}


@pytest.fixture(scope="module")
def client(map_path):
    """Two workers; the page answers to loopback names only."""
    app = create_app(map_path, workers=2, timeout_s=5.0, queue=4,
                     allowed_hosts=default_allowed_hosts("127.0.0.1"))
    with TestClient(app, base_url="http://127.0.0.1") as client:
        yield client


def descendants(pid):
    found, todo = [], [pid]
    while todo:
        children = children_of(todo.pop())
        found += children
        todo += children
    return found


# --- Workers ------------------------------------------------------------------

def test_a_replacement_that_cannot_start_is_tried_until_it_starts(client, monkeypatch):
    pool = client.app.state.pool
    failures = []
    socketpair = socket.socketpair

    def out_of_descriptors(*args):
        if len(failures) < 3:
            failures.append(1)
            raise OSError(24, "Too many open files")
        return socketpair(*args)

    monkeypatch.setattr(workers.socket, "socketpair", out_of_descriptors)
    victim = next(p for p in children_of(pool.keeper_pid) if running(p))
    os.kill(victim, signal.SIGKILL)
    wait_until(lambda: client.get("/health").json()["workers_alive"] == 1, timeout=5)
    state = client.get("/health")
    assert state.status_code == 200 and state.json()["status"] == "degraded"
    wait_until(lambda: client.get("/health").json()["status"] == "ok", timeout=10)
    assert len(failures) == 3 and victim not in children_of(pool.keeper_pid)
    assert client.get("/route", params=TOWN_TRIP).status_code == 200


@pytest.mark.parametrize("sig", [signal.SIGTERM, signal.SIGHUP])
def test_a_signal_to_the_process_group_lets_the_search_finish_and_starts_nothing(map_path,
                                                                                  sig):
    with served(map_path, "--workers", "1", "--timeout", "60",
                start_new_session=True) as (server, url):
        with httpx.Client(base_url=url, timeout=60) as http:
            search = in_background(lambda: http.get("/route", params=MEDIUM))
            wait_until(lambda: http.get("/health").json()["workers_busy"] == 1)
            before = set(descendants(server.pid))
            os.killpg(server.pid, sig)
            seen = set()
            while server.poll() is None:
                seen.update(descendants(server.pid))
                time.sleep(0.05)
            assert search().status_code == 200
        assert seen <= before, "a process was started during shutdown"
        assert server.returncode in (0, -sig)
    wait_until(lambda: not any(running(pid) for pid in before), timeout=10)


def test_a_killed_server_takes_its_workers_along_and_its_folder_is_swept(map_path, tmp_path):
    environment = dict(os.environ, TMPDIR=str(tmp_path))
    with served(map_path, "--workers", "2", "--timeout", "60", env=environment) as (server,
                                                                                      url):
        def search():
            try:
                return httpx.get(url + "/route", params=LONG, timeout=60)
            except httpx.HTTPError as exc:
                return exc

        answer = in_background(search)
        wait_until(lambda: httpx.get(url + "/health").json()["workers_busy"] == 1)
        family = descendants(server.pid)
        assert len(family) >= 3  # the keeper and its two workers
        server.kill()
        server.wait()
        start = time.monotonic()
        wait_until(lambda: not any(running(pid) for pid in family), timeout=5)
        assert time.monotonic() - start < 2.0
        assert isinstance(answer(), httpx.HTTPError)
    [left] = tmp_path.glob(f"velorin-serve-{server.pid}-*")
    mine = tmp_path / f"velorin-serve-{os.getpid()}-live"
    mine.mkdir()
    assert maps.sweep_stale_folders(str(tmp_path)) == [str(left)]
    assert not left.exists() and mine.exists()


# --- Connections ----------------------------------------------------------------

def test_silent_connections_cannot_lock_the_server_out(map_path):
    """Under a low descriptor limit, more silent connections than the server keeps: it
    still answers, closes idle ones, and says so in one line, without tracebacks."""
    def low_limit():
        resource.setrlimit(resource.RLIMIT_NOFILE, (100, 160))  # raised to 160 at start

    with served(map_path, "--workers", "1", "--idle-timeout", "1",
                preexec_fn=low_limit) as (server, url):
        assert "connections up to 94" in "".join(server.startup)
        port = int(url.rsplit(":", 1)[1])
        silent = [socket.create_connection(("127.0.0.1", port)) for _ in range(94 + 10)]
        try:
            start = time.monotonic()
            with httpx.Client(base_url=url, timeout=10) as http:
                assert http.get("/health").status_code == 200
            assert time.monotonic() - start < 2.0
            # Every silent connection is closed by the idle timeout.
            silent[-1].settimeout(5)
            assert silent[-1].recv(1) == b""
        finally:
            for s in silent:
                s.close()
        with socket.create_connection(("127.0.0.1", port)) as idle:
            idle.settimeout(5)
            start = time.monotonic()
            assert idle.recv(1) == b"" and 0.5 < time.monotonic() - start < 3
        time.sleep(0.2)
    log = "".join(server.log)
    assert "Traceback" not in log and log.count("closing the ones that have waited") == 1


# --- Parameters and browsers -------------------------------------------------------

@pytest.mark.parametrize("place", [str(2**64), str(10**30), str(-(2**63) - 1), "-1"])
def test_node_ids_beyond_64_bits_are_bad_parameters(client, place):
    response = client.get("/route", params={"from": TOWN_TRIP["from"], "to": place})
    assert response.status_code == 400
    assert response.json()["parameter"] == "to" and "node id" in response.json()["error"]


def test_every_answer_tells_browsers_what_the_page_may_do(client):
    for path in ("/", "/health", "/static/page.js", "/no/such/page"):
        headers = client.get(path).headers
        assert "script-src 'self'" in headers["content-security-policy"]
        assert "frame-ancestors 'none'" in headers["content-security-policy"]
        assert headers["x-content-type-options"] == "nosniff"
        assert headers["x-frame-options"] == "DENY"


@pytest.mark.parametrize("host, status", [
    ("127.0.0.1:8000", 200), ("localhost", 200), ("[::1]:8000", 200), ("app.localhost", 200),
    ("rebound.example.com", 400), ("127.0.0.1.example.com:8000", 400), ("", 400),
])
def test_only_loopback_names_reach_a_loopback_service(client, host, status):
    assert client.get("/health", headers={"host": host}).status_code == status


def test_allowed_hosts_follow_the_listening_address():
    assert default_allowed_hosts("0.0.0.0") == ["*"]
    assert "[::1]" in default_allowed_hosts("::1")
    assert "127.0.0.2" in default_allowed_hosts("127.0.0.2")


def test_the_network_is_served_plain_and_compressed_alike(client):
    plain = client.get("/network", headers={"accept-encoding": "identity"})
    packed = client.get("/network", headers={"accept-encoding": "gzip"})
    assert "content-encoding" not in plain.headers
    assert packed.headers["content-encoding"] == "gzip"
    assert plain.json() == packed.json() and plain.json()["features"]

