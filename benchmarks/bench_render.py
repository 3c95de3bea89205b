"""Rendering a large YAML file: in-place substitution against parsing and dumping the data.

Run by hand after installing the package:  python benchmarks/bench_render.py [--quick]
Both sides render the same file (2,000 references in 5 MB of compose-like YAML; --quick: 200 in
500 kB) with the same trivial resolver, in this process. Prints the time of one run and the peak
of Python allocations (tracemalloc, a second run) of each, and the ratios baseline / in-place.
"""

from __future__ import annotations

import argparse
import time
import tracemalloc
from collections.abc import Callable
from typing import Any

import yaml

from kuv_secrets import secrets
from kuv_secrets.render.formats import render


def resolve(cls: Any, secret_id: str, owner_name: str = "", prefix: str = "") -> str:
    return f"s3cr3t: #{secret_id}"


class Native(secrets.Secrets):
    get_secret_from_id = classmethod(resolve)


def parse_and_dump(records: Any, text: str) -> str:
    """The rendering this replaced: reads the data, substitutes, dumps it again."""
    rendered = records.secret_parser(yaml.safe_load(text), "", "")
    return str(yaml.safe_dump(rendered, sort_keys=False, allow_unicode=True))


def configuration(references: int, size: int) -> str:
    parts: list[str] = []
    length = index = 0
    while length < size:
        part = (
            f"service{index}:  # service {index}\n"
            f"  image: registry.example/app:1.{index % 20}\n"
            "  ports:\n    - 22:22\n    - '8080:80'\n"
            f"  environment: &env{index}\n"
            "    MODE: production\n    RETRIES: 3\n"
        )
        if index < references:
            part += (
                f"    PASSWORD: ${{{{ db.{index % 50} }}}}\n    DSN: 'pg://app:${{{{ dsn }}}}@db'\n"
            )
        parts.append(part)
        length += len(part)
        index += 1
    return "".join(parts)


def measure(run: Callable[[], str]) -> tuple[float, int]:
    start = time.perf_counter()
    run()
    elapsed = time.perf_counter() - start
    tracemalloc.start()
    try:
        run()
        peak = tracemalloc.get_traced_memory()[1]
    finally:
        tracemalloc.stop()
    return elapsed, peak


def main() -> None:
    options = argparse.ArgumentParser(description=__doc__)
    options.add_argument("--quick", action="store_true", help="a tenth of the size")
    quick = options.parse_args().quick
    references, size = (100, 500_000) if quick else (1_000, 5_000_000)
    text = configuration(references, size)
    count = text.count("${{")
    print(f"{len(text) / 1e6:.1f} MB of YAML, {count} references")
    new_time, new_peak = measure(lambda: render(Native, text, "yaml", "", "", "bench.yaml"))
    old_time, old_peak = measure(lambda: parse_and_dump(Native, text))
    print(f"{'':22}{'time':>10}{'peak memory':>16}")
    print(f"{'in place':22}{new_time:>9.2f}s{new_peak / 1e6:>13.1f} MB")
    print(f"{'parse and dump':22}{old_time:>9.2f}s{old_peak / 1e6:>13.1f} MB")
    print(f"{'ratio (dump / place)':22}{old_time / new_time:>9.1f}x{old_peak / new_peak:>13.1f}x")


if __name__ == "__main__":
    main()
