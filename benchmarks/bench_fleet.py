"""Many hosts resolving against one PostgreSQL server with room for 20 clients, directly and
through pgbouncer in transaction pooling.

Run by hand after installing the package (with psycopg), on a machine with Debian's PostgreSQL
server binaries and pgbouncer:
    python benchmarks/bench_fleet.py [--quick] [--hosts 50,100,200] [--seconds 5]
Each host is a process of its own (forked after the imports, see tests/fleet.py) resolving one
secret by id every 0.2 s, after a first resolution (its failures count; its time is shown apart,
the slowest of them: the wait of hosts that found no slot). Prints, for each way of connecting and number of hosts, the
resolutions per second, their p50 and p99 latency and the failures.
"""

from __future__ import annotations

import argparse
import json
import os
import subprocess
import sys
from pathlib import Path
from typing import Any

TESTS = Path(__file__).resolve().parent.parent / "tests"
sys.path.insert(0, str(TESTS))

import kuv_store
from cryptography.fernet import Fernet
from pgbouncer import Bouncer
from pgserver import Server, find_bindir

from kuv_secrets import secrets

ROLE = "host"  # not a superuser, as hosts are: 3 of the 20 slots are kept back from it
SLOTS = 20
POOL = 10
EVERY = 0.2


def fleet(url: str, hosts: int, seconds: float) -> dict[str, Any]:
    key = Fernet.generate_key().decode()
    with kuv_store.using(url):
        token = Fernet(key.encode()).encrypt(b"v").decode()
        secrets.Secrets(id="s", encrypted_secret=token).save()
    env = {**os.environ, "KUV_DATABASE": url, "KUV_TOP_SECRET": key}
    times = max(1, round(seconds / EVERY))
    args = [sys.executable, str(TESTS / "fleet.py"), str(hosts), str(times), str(EVERY), "s"]
    args.append("--warm")
    done = subprocess.run(args, env=env, capture_output=True, text=True, check=True)
    return dict(json.loads(done.stdout))


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true", help="2 s per run")
    parser.add_argument("--hosts", default="50,100,200", help="numbers of hosts, comma-separated")
    parser.add_argument("--seconds", type=float, default=5.0, help="length of each run")
    args = parser.parse_args()
    seconds = 2.0 if args.quick else args.seconds
    bindir = find_bindir()
    if bindir is None:
        print("no PostgreSQL server binaries (/usr/lib/postgresql/*/bin)")
        return 1
    server = Server(bindir, max_connections=SLOTS)
    bouncer = Bouncer(server, pool=POOL, users=(ROLE,))
    try:
        server.start()
        bouncer.start()
        server.admin(f"CREATE ROLE {ROLE} LOGIN")
        server.admin(f"CREATE DATABASE fleet OWNER {ROLE}")
        direct = server.url("fleet").replace("://kuv@", f"://{ROLE}@")
        pooled = bouncer.url(direct).replace("://kuv@", f"://{ROLE}@")
        kuv_store.create(direct)
        ways = [
            ("direct, idle_timeout 2 s (default)", direct),
            ("direct, idle_timeout=0.05", direct + "?idle_timeout=0.05"),
            (f"pgbouncer, pool {POOL}", pooled),
        ]
        print(
            f"CPython {sys.version.split()[0]}; max_connections={SLOTS}; each host resolves "
            f"every {EVERY} s for {seconds:g} s"
        )
        print(
            f"{'connection':<36} {'hosts':>5} {'res/s':>7} {'p50 ms':>8} {'p99 ms':>8} "
            f"{'fail':>6} {'1st max s':>9}"
        )
        for label, url in ways:
            for hosts in map(int, args.hosts.split(",")):
                r = fleet(url, hosts, seconds)
                print(
                    f"{label:<36} {hosts:>5} {r['per_second']:>7} {r['p50_ms']:>8} "
                    f"{r['p99_ms']:>8} {r['failures']:>6} {r['first_max_ms'] / 1e3:>9.2f}"
                    + (f"  {r['messages'][0][:60]}" if r["messages"] else ""),
                    flush=True,
                )
    finally:
        bouncer.stop()
        server.stop()
    return 0


if __name__ == "__main__":
    sys.exit(main())
