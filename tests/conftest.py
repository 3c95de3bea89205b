"""Settings and fixtures shared by the whole suite."""

from __future__ import annotations

import os
from collections.abc import Iterator
from dataclasses import dataclass
from pathlib import Path

import pytest
from hypothesis import HealthCheck, settings
from pgserver import Server, find_bindir

# CI shares two cores among builds and sanitizers: timing is no verdict here.
settings.register_profile("kuv", deadline=None, suppress_health_check=[HealthCheck.too_slow])
settings.load_profile("kuv")

ENGINES = ["sqlite", "postgresql"]


_started: list[Server] = []


@pytest.fixture(autouse=True)
def _drop_test_databases() -> Iterator[None]:
    yield
    for server in _started:
        server.recycle_databases()


@pytest.fixture(scope="session")
def pg_server() -> Iterator[Server]:
    bindir = find_bindir()
    if bindir is None:
        reason = "no PostgreSQL server binaries (/usr/lib/postgresql/*/bin/initdb)"
        if os.environ.get("CI"):
            pytest.fail(f"{reason}: CI must test the PostgreSQL store")
        pytest.skip(reason)
    server = Server(bindir)
    try:
        server.start()
        _started.append(server)
        yield server
    finally:
        _started.clear()
        server.stop()


@dataclass
class Database:
    """A fresh, empty store of one engine; ``url`` is the value for KUV_DATABASE."""

    engine: str
    url: str
    server: Server | None = None

    def connections(self) -> int:
        """Open connections to it: on PostgreSQL, of any process; on SQLite, of this one."""
        if self.server is not None:
            return self.server.sessions(self.url)
        fds = Path("/proc/self/fd").iterdir()
        return sum(1 for fd in fds if os.path.realpath(fd) == os.path.realpath(self.url))


def new_database(engine: str, request: pytest.FixtureRequest, folder: Path) -> Database:
    if engine == "postgresql":
        server: Server = request.getfixturevalue("pg_server")
        return Database(engine, server.create_database(), server)
    return Database(engine, str(folder / "records.sqlite3"))


@pytest.fixture(params=ENGINES)
def database(
    request: pytest.FixtureRequest, tmp_path: Path, monkeypatch: pytest.MonkeyPatch
) -> Database:
    """Each engine's store, named by KUV_DATABASE for the test."""
    db = new_database(request.param, request, tmp_path)
    monkeypatch.setenv("KUV_DATABASE", db.url)
    return db
