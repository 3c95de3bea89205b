"""What the realm's memory costs: get with its audit event against get without one, and history
and log as the store grows.

Run by hand after installing the package:  python benchmarks/bench_memory.py [--quick] [--postgresql URL]
A temporary SQLite store (or the PostgreSQL database the URL names, which must be empty) gets a
realm key and one secret. ``get`` runs through ``main()`` in this process, alternating with the
same call whose trail is not written (the baseline), and as fresh processes the same way; the
medians and their ratio are printed (goal: 2x at most). On PostgreSQL it also counts the
statements a get sends with and without its event (goal: one more). Then 100 and 100,000
secrets with a version and an event each: the median time of ``history ID`` and ``log --id ID``
at each size (goal: flat).
"""

from __future__ import annotations

import argparse
import contextlib
import io
import os
import statistics
import subprocess
import sys
import tempfile
import time
from collections.abc import Callable, Iterator

from cryptography.fernet import Fernet

from kuv_secrets import cli
from kuv_secrets.realm import memory

_NO_TRAIL = (
    "import sys\n"
    "from kuv_secrets import cli\n"
    "from kuv_secrets.realm import memory\n"
    "memory.Trail.write = lambda self, ctx, consequence='': None\n"
    "sys.exit(cli.main(sys.argv[1:]))\n"
)


def _main(env: dict[str, str], *args: str) -> bytes:
    out = io.BytesIO()
    ctx = cli.Context(io.BytesIO(), out, io.StringIO(), env, os.getcwd())
    status = cli.main(list(args), ctx)
    if status:
        raise SystemExit(f"{args}: status {status}")
    return out.getvalue()


@contextlib.contextmanager
def _untrailed() -> Iterator[None]:
    write = memory.Trail.write
    memory.Trail.write = lambda self, ctx, consequence="": None  # type: ignore[method-assign]
    try:
        yield
    finally:
        memory.Trail.write = write  # type: ignore[method-assign]


def _median(call: Callable[[], object], rounds: int) -> float:
    times = []
    for _ in range(rounds):
        start = time.perf_counter()
        call()
        times.append(time.perf_counter() - start)
    return statistics.median(times)


def _pair(
    with_it: Callable[[], object], without: Callable[[], object], rounds: int
) -> tuple[float, float]:
    ours, base = [], []
    for _ in range(rounds):
        base.append(_median(without, 1))
        ours.append(_median(with_it, 1))
    return statistics.median(ours), statistics.median(base)


def _report(label: str, ours: float, base: float) -> None:
    print(f"{label:<34} {ours * 1e3:8.3f} ms  vs {base * 1e3:8.3f} ms  ratio {ours / base:5.2f}x")


def _statements(env: dict[str, str], secret_id: str, trail: bool) -> int:
    """Statements a get sends to PostgreSQL, counted by psycopg's cursor."""
    import psycopg

    _main(env, "get", secret_id)  # a connection of its own first: a connect sends statements too
    count = 0
    execute = psycopg.Connection.execute

    def counted(self: psycopg.Connection, *args: object, **kwargs: object) -> object:
        nonlocal count
        count += 1
        return execute(self, *args, **kwargs)  # type: ignore[arg-type]

    psycopg.Connection.execute = counted  # type: ignore[method-assign]
    try:
        if trail:
            _main(env, "get", secret_id)
        else:
            with _untrailed():
                _main(env, "get", secret_id)
    finally:
        psycopg.Connection.execute = execute  # type: ignore[method-assign]
    return count


def _fill(env: dict[str, str], count: int) -> str:
    """``count`` secrets with a version and an event each, written straight into the tables."""
    import kuv_journal
    import kuv_store
    from kuv_meta import using

    from kuv_secrets.realm.records import record_class

    records = record_class(env["KUV_TOP_SECRET"])
    token = records.encrypt("v", records.top_secret)
    host, user = kuv_journal.who()
    at = kuv_journal.now()
    with using(env["KUV_DATABASE"], create=False), kuv_store.transaction():
        present = len(records.load_all())
        for index in range(present, count):
            record = records(id=f"bench.{index:06d}", owner_name="bench", name=f"n{index}")
            record.encrypted_secret = token
            record.save(create=True)
            kuv_journal.restore_versions(
                "Secrets", record.id, [kuv_journal.Version(1, token, at, host, user)]
            )
        kuv_journal.restore_events(
            (at, host, user, "put", f"bench.{index:06d}", "ok") for index in range(present, count)
        )
    return f"bench.{count // 2:06d}"


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true")
    parser.add_argument("--postgresql", metavar="URL")
    args = parser.parse_args()
    rounds = 50 if args.quick else 300
    with tempfile.TemporaryDirectory() as folder:
        os.chdir(folder)
        key = Fernet.generate_key().decode()
        database = args.postgresql or os.path.join(folder, "bench.sqlite3")
        env = {**os.environ, "KUV_TOP_SECRET": key, "KUV_DATABASE": database}
        _main(env, "init")
        secret_id = cli_put(env)
        print(f"store: {'PostgreSQL' if args.postgresql else 'SQLite'}")

        def trailed() -> bytes:
            return _main(env, "get", secret_id)

        def untrailed() -> bytes:
            with _untrailed():
                return _main(env, "get", secret_id)

        trailed(), untrailed()
        _report("get in-process, event / none", *_pair(trailed, untrailed, rounds))
        command = [sys.executable, "-m", "kuv_secrets", "get", secret_id]
        floor = [sys.executable, "-c", _NO_TRAIL, "get", secret_id]
        spawned = _pair(
            lambda: subprocess.run(command, env=env, check=True, capture_output=True),
            lambda: subprocess.run(floor, env=env, check=True, capture_output=True),
            rounds // 10,
        )
        _report("get as a process, event / none", *spawned)
        if args.postgresql:
            print(
                f"statements a get sends: {_statements(env, secret_id, True)} with its event, "
                f"{_statements(env, secret_id, False)} without"
            )
        for size in (100, 100_000 // (10 if args.quick else 1)):
            middle = _fill(env, size)
            history = _median(lambda m=middle: _main(env, "history", m), rounds // 5)
            log = _median(lambda m=middle: _main(env, "log", "--id", m), rounds // 5)
            print(
                f"{size:>7} secrets: history {history * 1e3:7.3f} ms, log --id {log * 1e3:7.3f} ms"
            )


def cli_put(env: dict[str, str]) -> str:
    out = io.BytesIO()
    ctx = cli.Context(io.BytesIO(b"v"), out, io.StringIO(), env, os.getcwd())
    cli.main(["put", "--owner", "bench", "--name", "get"], ctx)
    return out.getvalue().decode().strip()


if __name__ == "__main__":
    main()
