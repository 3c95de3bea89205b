"""A throwaway pgbouncer in transaction pooling in front of a test server, on a Unix socket."""

from __future__ import annotations

import os
import shutil
import subprocess
import tempfile
import time
from pathlib import Path
from urllib.parse import quote

from pgserver import PORT, USER, Server, _account

BINARY = shutil.which("pgbouncer") or "/usr/sbin/pgbouncer"
BOUNCER_PORT = 6432

CONFIG = """\
[databases]
* = host={server} port={server_port}

[pgbouncer]
unix_socket_dir = {root}
listen_port = {port}
auth_type = trust
auth_file = {root}/users.txt
pool_mode = transaction
default_pool_size = {pool}
max_client_conn = 2000
max_db_connections = {pool}
logfile = {root}/pgbouncer.log
"""


class Bouncer:
    """Every database of ``server`` through at most ``pool`` server sessions, shared by
    transaction. Runs as the server's unprivileged account (pgbouncer refuses root)."""

    def __init__(self, server: Server, pool: int = 5, users: tuple[str, ...] = (USER,)) -> None:
        self.root = Path(tempfile.mkdtemp(prefix="kuv-bouncer-"))
        self.account = _account()
        config = CONFIG.format(
            server=server.root, server_port=PORT, root=self.root, port=BOUNCER_PORT, pool=pool
        )
        (self.root / "pgbouncer.ini").write_text(config)
        (self.root / "users.txt").write_text("".join(f'"{user}" ""\n' for user in users))
        if self.account is not None:
            for path in (self.root, *self.root.iterdir()):
                os.chown(path, *self.account)
        self.process: subprocess.Popen[bytes] | None = None

    def start(self) -> None:
        user, group = self.account or (None, None)
        self.process = subprocess.Popen(
            [BINARY, str(self.root / "pgbouncer.ini")],
            env={"PATH": "/usr/bin:/bin", "LC_ALL": "C"},
            cwd=self.root,
            user=user,
            group=group,
            extra_groups=[] if user is not None else None,
            stdout=subprocess.DEVNULL,
            stderr=subprocess.DEVNULL,
        )
        socket = self.root / f".s.PGSQL.{BOUNCER_PORT}"
        deadline = time.monotonic() + 30
        while not socket.exists():
            if self.process.poll() is not None or time.monotonic() > deadline:
                log = self.root / "pgbouncer.log"
                raise RuntimeError(
                    f"pgbouncer did not start:\n{log.read_text() if log.exists() else ''}"
                )
            time.sleep(0.01)

    def stop(self) -> None:
        try:
            if self.process is not None and self.process.poll() is None:
                self.process.terminate()
                self.process.wait(timeout=30)
        finally:
            shutil.rmtree(self.root, ignore_errors=True)

    def url(self, server_url: str) -> str:
        """The URL of ``server_url``'s database through the pooler."""
        database = server_url.rsplit("/", 1)[1]
        return f"postgresql://{USER}@{quote(str(self.root), safe='')}:{BOUNCER_PORT}/{database}"
