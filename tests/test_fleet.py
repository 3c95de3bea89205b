"""Many hosts on one PostgreSQL: connections held only while used, refusals for load ridden out,
a pooler in transaction mode, and multi-host URLs."""

from __future__ import annotations

import json
import os
import socket
import subprocess
import sys
import threading
import time
from collections.abc import Iterator
from pathlib import Path
from typing import Any

import kuv_meta
import kuv_store
import psycopg
import pytest
from cryptography.fernet import Fernet
from pgbouncer import Bouncer
from pgserver import PORT, Server, find_bindir
from test_cli import PUT, Realm

from kuv_secrets import secrets

FLEET = str(Path(__file__).with_name("fleet.py"))
ROLE = "host"  # not a superuser: the server keeps slots back from it
SLOTS = 20


@pytest.fixture(scope="session")
def small_server() -> Iterator[Server]:
    """A server with room for few clients, and a database of its own for the hosts."""
    bindir = find_bindir()
    assert bindir is not None, "no PostgreSQL server binaries"
    server = Server(bindir, max_connections=SLOTS)
    try:
        server.start()
        server.admin(f"CREATE ROLE {ROLE} LOGIN")
        server.admin(f"CREATE DATABASE fleet OWNER {ROLE}")
        yield server
    finally:
        server.stop()


@pytest.fixture(scope="session")
def bouncer(pg_server: Server) -> Iterator[Bouncer]:
    bouncer = Bouncer(pg_server, pool=5)
    try:
        bouncer.start()
        yield bouncer
    finally:
        bouncer.stop()


def host_url(server: Server, query: str = "") -> str:
    return server.url("fleet").replace("://kuv@", f"://{ROLE}@") + query


def stocked(server: Server, query: str, monkeypatch: pytest.MonkeyPatch) -> str:
    """The fleet's store at ``query``'s settings, named by KUV_DATABASE, holding the item a."""
    url = host_url(server, query)
    kuv_store.create(url)
    monkeypatch.setenv("KUV_DATABASE", url)
    Item(id="a").save()
    return url


@pytest.fixture
def pooled(pg_server: Server, bouncer: Bouncer, monkeypatch: pytest.MonkeyPatch) -> str:
    """A fresh store reached through the pooler, named by KUV_DATABASE."""
    url = bouncer.url(pg_server.create_database())
    monkeypatch.setenv("KUV_DATABASE", url)
    return url


class Item(kuv_meta.VirtualWorker):
    pass


def found(record_id: str) -> str | None:
    item = Item.load(record_id)
    return None if item is None else item.id


def fleet(url: str, hosts: int, times: int, every: float) -> dict[str, Any]:
    """``hosts`` processes resolving one secret of a fresh realm in ``url``."""
    key = Fernet.generate_key().decode()
    kuv_store.create(url)
    with kuv_store.using(url):
        token = Fernet(key.encode()).encrypt(b"v").decode()
        secrets.Secrets(id="s", encrypted_secret=token).save()
    env = {**os.environ, "KUV_DATABASE": url, "KUV_TOP_SECRET": key}
    args = [sys.executable, FLEET, str(hosts), str(times), str(every), "s"]
    done = subprocess.run(args, env=env, capture_output=True, text=True, timeout=120, check=True)
    return dict(json.loads(done.stdout))


class TestFleet:
    @pytest.mark.parametrize("through", ["server", "pooler"])
    def test_twice_as_many_hosts_as_slots_all_resolve(
        self, small_server: Server, pg_server: Server, bouncer: Bouncer, through: str
    ) -> None:
        if through == "server":
            # Each host holds a slot a moment after each resolution, then gives it back; those
            # refused meanwhile try again.
            url = host_url(small_server, "?idle_timeout=0.01")
        else:
            # Kept connections: past psycopg's threshold, it would prepare statements that the
            # pooler's other server sessions lack.
            url = bouncer.url(pg_server.create_database())
        result = fleet(url, 2 * SLOTS, times=10, every=0.05)
        assert (result["failures"], result["messages"]) == (0, [])
        assert result["resolutions"] == 2 * SLOTS * 10

    def test_an_idle_connection_is_closed_while_the_host_sleeps(
        self, small_server: Server, monkeypatch: pytest.MonkeyPatch
    ) -> None:
        url = stocked(small_server, "?idle_timeout=0.2", monkeypatch)
        held = kuv_store._connections().slots[url].conn
        for _ in range(5):  # a burst shares one connection
            Item.load("a")
        assert kuv_store._connections().slots[url].conn is held and not held.closed
        started = time.monotonic()
        while not held.closed and time.monotonic() - started < 10:  # no call of ours meanwhile
            time.sleep(0.01)
        assert held.closed and 0.15 < time.monotonic() - started
        assert url not in kuv_store._connections().slots
        assert found("a") == "a"  # connected again

    def test_idle_timeout_zero_closes_at_once_and_a_transaction_keeps_its_own(
        self, small_server: Server, monkeypatch: pytest.MonkeyPatch
    ) -> None:
        url = host_url(small_server, "?idle_timeout=0")
        kuv_store.create(url)
        monkeypatch.setenv("KUV_DATABASE", url)
        with kuv_meta.transaction():
            Item(id="a").save()
            time.sleep(0.05)
            Item(id="b").save()
        assert url not in kuv_store._connections().slots
        assert [found(i) for i in "ab"] == ["a", "b"]

    def test_a_forked_child_never_closes_the_parents_connection(
        self, small_server: Server, monkeypatch: pytest.MonkeyPatch
    ) -> None:
        url = host_url(small_server, "?idle_timeout=0.1")
        kuv_store.create(url)
        code = (
            "import os, time, kuv_store, kuv_meta\n"
            "class Item(kuv_meta.VirtualWorker): pass\n"
            "Item(id='p').save()\n"
            "with kuv_meta.transaction():  # busy: the parent's closer leaves it alone\n"
            "    mine = kuv_store._connections().slots[os.environ['KUV_DATABASE']].conn\n"
            "    if os.fork() == 0:\n"
            "        Item.load('p'); time.sleep(0.3); os._exit(0)\n"
            "    os.wait(); print(Item.load('p').id, mine.closed)\n"
        )
        env = {**os.environ, "KUV_DATABASE": url}
        done = subprocess.run(
            [sys.executable, "-c", code],
            env=env,
            capture_output=True,
            text=True,
            timeout=60,
            check=False,
        )
        assert (done.returncode, done.stdout) == (0, "p False\n"), done.stderr


@pytest.fixture
def refusing(tmp_path: Path) -> Iterator[Path]:
    """A socket folder where a server's socket refuses every connection."""
    with socket.socket(socket.AF_UNIX) as sock:
        sock.bind(str(tmp_path / f".s.PGSQL.{PORT}"))  # bound, never listening: refused
        yield tmp_path


class TestOverload:
    def test_a_full_server_is_waited_for(
        self, small_server: Server, monkeypatch: pytest.MonkeyPatch
    ) -> None:
        stocked(small_server, "?idle_timeout=0", monkeypatch)
        taken = [psycopg.connect(host_url(small_server)) for _ in range(SLOTS - 3)]
        try:
            timer = threading.Timer(0.5, taken.pop().close)
            timer.start()
            started = time.monotonic()
            assert found("a") == "a"
            assert 0.4 < time.monotonic() - started < 5
            timer.join()
        finally:
            for conn in taken:
                conn.close()

    def test_a_server_down_is_waited_for_until_it_is_up(
        self, small_server: Server, monkeypatch: pytest.MonkeyPatch
    ) -> None:
        stocked(small_server, "?idle_timeout=0", monkeypatch)
        small_server.halt()
        timer = threading.Timer(0.3, small_server.resume)
        timer.start()
        try:
            assert found("a") == "a"
        finally:
            timer.join()

    @pytest.mark.parametrize("cause", ["Connection refused", "remaining connection slots"])
    def test_retries_end_at_the_connect_limit_naming_the_store(
        self, small_server: Server, refusing: Path, cause: str
    ) -> None:
        if cause == "Connection refused":
            url = f"postgresql://kuv:S3CRET@{str(refusing).replace('/', '%2F')}:{PORT}/db"
        else:
            url = host_url(small_server).replace(f"{ROLE}@", f"{ROLE}:S3CRET@")
        url += "?connect_timeout=1"
        taken = [psycopg.connect(host_url(small_server)) for _ in range(SLOTS - 3)]
        try:
            started = time.monotonic()
            with kuv_store.using(url), pytest.raises(kuv_store.StoreUnavailableError) as caught:
                Item.load("a")
            assert 0.9 < time.monotonic() - started < 3
        finally:
            for conn in taken:
                conn.close()
        message = str(caught.value)
        assert message.startswith(f"cannot connect to the secret store at {kuv_store.redact(url)}")
        assert cause in message and "tried" in message and "S3CRET" not in message

    def test_other_refusals_fail_at_once(self, small_server: Server) -> None:
        url = host_url(small_server).replace(f"{ROLE}@", "nobody@")
        started = time.monotonic()
        with kuv_store.using(url), pytest.raises(kuv_store.StoreUnavailableError, match="nobody"):
            Item.load("a")
        assert time.monotonic() - started < 5  # retried, it would take 10 s


class TestFailover:
    def test_a_down_host_is_passed_over_for_the_writable_one(
        self, small_server: Server, tmp_path: Path, monkeypatch: pytest.MonkeyPatch
    ) -> None:
        up = host_url(small_server).split("@")[1].rsplit(":", 1)[0]
        down = str(tmp_path).replace("/", "%2F")
        query = f"host={down},{up}&port={PORT},{PORT}&target_session_attrs=read-write"
        monkeypatch.setenv("KUV_DATABASE", f"postgresql://{ROLE}@/fleet?{query}")
        Item(id="f").save()
        assert found("f") == "f"

    def test_target_session_attrs_reaches_libpq(self, small_server: Server) -> None:
        url = host_url(small_server, "?target_session_attrs=standby")
        with kuv_store.using(url), pytest.raises(kuv_store.StoreUnavailableError, match="standby"):
            Item.load("a")


class TestPooled:
    def test_records_and_transactions(self, pooled: str) -> None:
        for n in range(8):  # past psycopg's threshold for preparing
            Item(id=f"i{n}", name=str(n)).save()
        with kuv_meta.transaction():
            item, gone = Item.load("i1"), Item.load("i2")
            assert item is not None and gone is not None
            item.name = "changed"
            item.save()
            gone.delete()
        assert [getattr(Item.load(i), "name", None) for i in ("i1", "i2")] == ["changed", None]
        assert kuv_store.create(pooled) is False

    def test_the_command_line(self, pooled: str, tmp_path: Path) -> None:
        realm = Realm(tmp_path, pooled)
        ids = [realm.put(f"v{n}") for n in range(6)]
        assert realm.run("update", ids[0], stdin=b"new").returncode == 0
        assert [realm.run("get", i).stdout for i in ids[:2]] == [b"new", b"v1"]
        listed = json.loads(realm.run("list", "--format", "json").stdout)
        assert sorted(entry["id"] for entry in listed) == sorted(ids)
        new_key = Fernet.generate_key().decode()
        (tmp_path / "new.key").write_text(new_key)
        (tmp_path / "new.key").chmod(0o600)
        assert realm.run("rotate", "--new-key-file", "new.key").returncode == 0
        realm.env["KUV_CLI_TEST_KEY"] = new_key
        assert realm.run("get", ids[1]).stdout == b"v1"
        assert realm.run("put", *PUT, "--id", ids[1], stdin=b"x").returncode == 1
