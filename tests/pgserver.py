"""A throwaway PostgreSQL server for the test session, on a Unix socket in a private folder."""

from __future__ import annotations

import glob
import itertools
import os
import pwd
import shutil
import subprocess
import tempfile
from pathlib import Path
from typing import Any
from urllib.parse import quote

USER = "kuv"
PORT = 5432  # only names the socket file: the server listens on no TCP address


def find_bindir() -> Path | None:
    """The newest installed server's binaries (Debian's layout)."""
    found = sorted(
        glob.glob("/usr/lib/postgresql/*/bin/initdb"), key=lambda p: int(Path(p).parts[-3])
    )
    return Path(found[-1]).parent if found else None


def _account() -> tuple[int, int] | None:
    """The unprivileged account to run as: the server refuses to run as root."""
    if os.geteuid() != 0:
        return None
    for name in ("postgres", "nobody"):
        try:
            entry = pwd.getpwnam(name)
        except KeyError:
            continue
        return entry.pw_uid, entry.pw_gid
    raise RuntimeError("running as root and no unprivileged account to run PostgreSQL as")


class Server:
    """initdb and pg_ctl run as the unprivileged account; the data lives under a tmp folder."""

    def __init__(self, bindir: Path, max_connections: int = 200) -> None:
        self.bindir = bindir
        self.max_connections = max_connections
        self.account = _account()
        self.root = Path(tempfile.mkdtemp(prefix="kuv-pg-"))
        self.data = self.root / "data"
        self.log = self.root / "server.log"
        self._names = itertools.count()
        self._made: list[str] = []
        self._free: list[str] = []
        if self.account is not None:
            os.chown(self.root, *self.account)

    def _run(self, tool: str, *args: str) -> None:
        # A minimal environment: an LD_PRELOAD of the sanitizers must not reach the server.
        env = {"PATH": "/usr/bin:/bin", "LC_ALL": "C", "TZ": "UTC"}
        user, group = self.account or (None, None)
        result = subprocess.run(
            [str(self.bindir / tool), *args],
            env=env,
            cwd=self.root,
            user=user,
            group=group,
            extra_groups=[] if user is not None else None,
            capture_output=True,
            text=True,
            timeout=120,
            check=False,
        )
        if result.returncode != 0:
            log = self.log.read_text() if self.log.exists() else ""
            raise RuntimeError(f"{tool} failed:\n{result.stdout}{result.stderr}{log}")

    def start(self) -> None:
        self._run(
            "initdb", "-D", str(self.data), "-U", USER, "-A", "trust", "-E", "UTF8", "--no-sync"
        )
        self._start()

    def _start(self) -> None:
        options = (
            f"-k {self.root} -p {PORT} -c listen_addresses=''"
            f" -c max_connections={self.max_connections}"
            " -c fsync=off -c synchronous_commit=off -c full_page_writes=off"
        )
        self._run("pg_ctl", "start", "-w", "-D", str(self.data), "-l", str(self.log), "-o", options)

    def restart(self) -> None:
        """Ends every session, as a server restart does."""
        self.halt()
        self._start()

    def halt(self) -> None:
        """Down until ``resume``: its socket is gone."""
        self._run("pg_ctl", "stop", "-w", "-m", "fast", "-D", str(self.data))

    def resume(self) -> None:
        self._start()

    def stop(self) -> None:
        try:
            if (self.data / "postmaster.pid").exists():
                self._run("pg_ctl", "stop", "-m", "immediate", "-w", "-D", str(self.data))
        finally:
            shutil.rmtree(self.root, ignore_errors=True)

    def url(self, database: str = "postgres") -> str:
        return f"postgresql://{USER}@{quote(str(self.root), safe='')}:{PORT}/{database}"

    def admin(self, statement: str, *params: object) -> list[tuple[object, ...]]:
        with self._connect("postgres") as conn:
            cursor = conn.execute(statement, params or None)
            return cursor.fetchall() if cursor.description else []

    def sessions(self, url: str) -> int:
        """Client sessions open on the database of ``url`` (a closed one ends a moment later)."""
        name = url.rsplit("/", 1)[1]
        query = "SELECT count(*) FROM pg_stat_activity WHERE datname = %s AND backend_type = %s"
        return int(str(self.admin(query, name, "client backend")[0][0]))

    def create_database(self) -> str:
        """A new empty database (one a finished test used, emptied); its URL."""
        if self._free:
            name = self._free.pop()
            # As new: no session of an earlier test left on it, and nothing in it.
            self.admin(
                "SELECT pg_terminate_backend(pid) FROM pg_stat_activity"
                " WHERE datname = %s AND pid <> pg_backend_pid()",
                name,
            )
            with self._connect(name) as conn:
                conn.execute("DROP SCHEMA public CASCADE")
                conn.execute("CREATE SCHEMA public")
        else:
            name = f"t{next(self._names)}"
            # FILE_COPY: the template is tiny and durability is off, so copying files is quickest.
            self.admin(f"CREATE DATABASE {name} TEMPLATE template0 STRATEGY FILE_COPY")
        self._made.append(name)
        return self.url(name)

    def recycle_databases(self) -> None:
        """The databases made so far are free for later tests: making one costs far more than
        emptying it."""
        self._free += self._made
        self._made.clear()

    def _connect(self, database: str) -> Any:
        import psycopg

        return psycopg.connect(self.url(database), autocommit=True)
