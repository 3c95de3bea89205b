"""Many hosts resolving one secret on a schedule, each a process of its own.

    python fleet.py HOSTS TIMES EVERY SECRET_ID [--warm]

KUV_DATABASE names the store and KUV_TOP_SECRET the realm key. The processes are forked from
this one after the import of the module and the database client, so that starting them costs little; each starts at a
random point of the first interval and resolves TIMES times, EVERY seconds apart; with --warm,
each first resolves once on its own before all start, so that the latencies are those of hosts
that run (that resolution's failures count, its time apart). Prints one JSON object:
resolutions, failures (a few of their messages), latencies (p50, p99, max in ms; the slowest
first resolution), the seconds taken and the resolutions per second.
"""

from __future__ import annotations

import json
import os
import random
import sys
import tempfile
import time
from pathlib import Path
from typing import Any

import kuv_store

from kuv_secrets import secrets

# A host that has run a while has its database client imported: not each child on its own.
if not kuv_store.is_path(os.environ.get(kuv_store.DATABASE_ENV, "")):
    kuv_store._psycopg()


def host(
    index: int, times: int, every: float, secret_id: str, start: float, warm: bool, out: Path
) -> None:
    random.seed(index)
    first = start + random.uniform(0, every)
    latencies: list[float] = []
    failures: list[str] = []
    firsts: list[float] = []
    for turn in range(-1 if warm else 0, times):
        time.sleep(max(0.0, first + turn * every - time.monotonic()) if turn >= 0 else 0)
        began = time.perf_counter()
        try:
            secrets.Secrets.get_secret_from_id(secret_id)
        except Exception as exc:  # noqa: BLE001 - every failure counts, whatever its kind
            failures.append(f"{type(exc).__name__}: {exc}".splitlines()[0])
            continue
        (latencies if turn >= 0 else firsts).append(time.perf_counter() - began)
    (out / f"{index}.json").write_text(json.dumps([latencies, failures, firsts]))


def percentile(ordered: list[float], share: float) -> float:
    return ordered[min(len(ordered) - 1, int(share * len(ordered)))] if ordered else 0.0


def run(hosts: int, times: int, every: float, secret_id: str, warm: bool) -> dict[str, Any]:
    with tempfile.TemporaryDirectory() as folder:
        out = Path(folder)
        # After every fork (and every warm-up).
        start = time.monotonic() + (1.0 + hosts * 0.01 if warm else 0.05 + hosts * 0.0005)
        children = []
        for index in range(hosts):
            pid = os.fork()
            if pid == 0:
                status = 1
                try:
                    host(index, times, every, secret_id, start, warm, out)
                    status = 0
                finally:
                    os._exit(status)
            children.append(pid)
        crashed = sum(os.waitstatus_to_exitcode(os.waitpid(pid, 0)[1]) != 0 for pid in children)
        seconds = time.monotonic() - start
        latencies: list[float] = []
        failures: list[str] = []
        firsts: list[float] = []
        for result in out.glob("*.json"):
            done, failed, first = json.loads(result.read_text())
            latencies += done
            failures += failed
            firsts += first
    latencies.sort()
    return {
        "resolutions": len(latencies),
        "failures": len(failures) + crashed * (times + warm),
        "messages": sorted(set(failures))[:3],
        "p50_ms": round(percentile(latencies, 0.5) * 1e3, 2),
        "p99_ms": round(percentile(latencies, 0.99) * 1e3, 2),
        "max_ms": round(latencies[-1] * 1e3 if latencies else 0.0, 2),
        "first_max_ms": round(max(firsts, default=0.0) * 1e3, 2),
        "seconds": round(seconds, 2),
        "per_second": round(len(latencies) / seconds, 1),
    }


if __name__ == "__main__":
    hosts, times, every, secret_id = sys.argv[1:5]
    print(json.dumps(run(int(hosts), int(times), float(every), secret_id, "--warm" in sys.argv)))
