"""Resolution by id through the framework stand-in, against the bare decrypt of the same token.

Run by hand after installing the package (with psycopg for PostgreSQL):
    python benchmarks/bench_store.py [--quick] [--postgresql URL]
Without --postgresql, a throwaway PostgreSQL server is started on a Unix socket when Debian's
server binaries are installed (as with the tests); else only SQLite runs. Each engine runs with
connections reused and with a connection opened per operation, in this process. Prints the time
of one operation and the ratios resolution / decrypt and per-operation / reused.
"""

from __future__ import annotations

import argparse
import os
import sys
import tempfile
import timeit
from collections.abc import Callable, Iterator
from contextlib import contextmanager
from pathlib import Path
from typing import Any

import kuv_store
from cryptography.fernet import Fernet

TESTS = Path(__file__).resolve().parent.parent / "tests"


def best(run: Callable[[], object], budget: float) -> float:
    """Best time of one run, repeating for roughly `budget` seconds."""
    number = 1
    while (elapsed := timeit.timeit(run, number=number)) < 0.05:
        number *= 4
    repeat = max(3, int(budget / max(elapsed, 1e-9)))
    return min(timeit.repeat(run, number=number, repeat=min(repeat, 20))) / number


@contextmanager
def connection_per_operation() -> Iterator[None]:
    """The store as it was: every operation opens (and checks the schema on) a new connection."""
    held = kuv_store._connections
    kuv_store._connections = kuv_store._Connections  # a new, empty set each time, closed after
    try:
        yield
    finally:
        kuv_store._connections = held


@contextmanager
def postgresql(url: str | None) -> Iterator[str | None]:
    if url is not None:
        yield url
        return
    sys.path.insert(0, str(TESTS))
    from pgserver import Server, find_bindir

    bindir = find_bindir()
    if bindir is None:
        yield None
        return
    server = Server(bindir)
    try:
        server.start()
        yield server.create_database()
    finally:
        server.stop()


def measure(secrets: Any, engine: str, database: str, budget: float) -> None:
    os.environ["KUV_DATABASE"] = database
    record = secrets.Secrets(secret="s3cr3t", owner_name="bench", name="bench.store.a.b")
    record.save()
    token, key = str(record.encrypted_secret), secrets.Secrets.top_secret
    decrypt = best(lambda: secrets.Secrets.decrypt(token, key), budget)

    def resolve() -> str:
        return secrets.Secrets.get_secret_from_id(record.id, "bench", "bench.store.")

    assert resolve() == "s3cr3t"
    reused = best(resolve, budget)
    with connection_per_operation():
        fresh = best(resolve, budget)
    print(f"{engine:<11} {'bare decrypt':<26} {decrypt * 1e6:>9.1f} us")
    for label, seconds in (("connection per operation", fresh), ("connection reused", reused)):
        print(
            f"{engine:<11} {label:<26} {seconds * 1e6:>9.1f} us"
            f"   {seconds / decrypt:>6.1f}x decrypt"
        )
    print(f"{engine:<11} {'reuse speed-up':<26} {fresh / reused:>9.1f}x")


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true", help="shorter timing budget")
    parser.add_argument("--postgresql", metavar="URL", help="an existing, empty database")
    args = parser.parse_args()
    budget = 0.3 if args.quick else 1.5
    os.environ["KUV_SECRET_NAME"] = "kuv_bench_key"
    os.environ["KUV_BENCH_KEY"] = Fernet.generate_key().decode()
    from kuv_secrets import secrets  # the realm key is read at this import

    print(f"CPython {sys.version.split()[0]}; resolution by id, one operation")
    with tempfile.TemporaryDirectory() as folder:
        measure(secrets, "SQLite", os.path.join(folder, "bench.sqlite3"), budget)
    with postgresql(args.postgresql) as url:
        if url is None:
            print("PostgreSQL  skipped: no server binaries and no --postgresql URL")
        else:
            measure(secrets, "PostgreSQL", url, budget)
    return 0


if __name__ == "__main__":
    sys.exit(main())
