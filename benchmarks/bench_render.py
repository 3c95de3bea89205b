"""Rendering large configuration files: throughput against the parsers and a text render.

Run by hand after installing the package:  python benchmarks/bench_render.py [--quick]
Each format renders a 5 MB file with 2,000 references (--quick: 500 kB, 200) with a trivial
resolver, in this process. Printed: MB/s of render; its time against reading the same file with
the format's own reader (yaml.load with CSafeLoader, json.loads) and against a text render of
the same file (plain substitution, the floor for a render); the peak of Python allocations; and
check's listing of a text file with 20,000 references, which must grow linearly.
"""

from __future__ import annotations

import argparse
import functools
import json
import time
import tracemalloc
from collections.abc import Callable
from typing import Any

import yaml

from kuv_secrets import secrets
from kuv_secrets.render.formats import find, render


def resolve(cls: Any, secret_id: str, owner_name: str = "", prefix: str = "") -> str:
    return f"s3cr3t: #{secret_id}"


class Native(secrets.Secrets):
    get_secret_from_id = classmethod(resolve)


def yaml_file(references: int, size: int) -> str:
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
        if index < references // 2:
            part += (
                f"    PASSWORD: ${{{{ db.{index % 50} }}}}\n    DSN: 'pg://app:${{{{ dsn }}}}@db'\n"
            )
        parts.append(part)
        length += len(part)
        index += 1
    return "".join(parts)


def json_file(references: int, size: int) -> str:
    services: dict[str, object] = {}
    length = index = 0
    while length < size:
        service: dict[str, object] = {
            "image": f"registry.example/app:1.{index % 20}",
            "ports": ["22:22", "8080:80"],
            "environment": {"MODE": "production", "RETRIES": 3},
        }
        if index < references // 2:
            service["environment"] = {
                "PASSWORD": f"${{{{ db.{index % 50} }}}}",
                "DSN": "pg://app:${{ dsn }}@db",
            }
        services[f"service{index}"] = service
        length += 150
        index += 1
    return json.dumps(services, indent=2)


def dotenv_file(references: int, size: int) -> str:
    lines: list[str] = []
    length = index = 0
    while length < size:
        line = f"# service {index}\nSERVICE_{index}_IMAGE=registry.example/app:1.{index % 20}\n"
        line += f"SERVICE_{index}_MODE='production'\n"
        if index < references // 2:
            line += f"SERVICE_{index}_PASSWORD=${{{{ db.{index % 50} }}}}\n"
            line += f'SERVICE_{index}_DSN="pg://app:${{{{ dsn }}}}@db"\n'
        lines.append(line)
        length += len(line)
        index += 1
    return "".join(lines)


def timed(run: Callable[[], object], repeat: int = 3) -> float:
    best = float("inf")
    for _ in range(repeat):
        start = time.perf_counter()
        run()
        best = min(best, time.perf_counter() - start)
    return best


def peak(run: Callable[[], object]) -> int:
    tracemalloc.start()
    try:
        run()
        return tracemalloc.get_traced_memory()[1]
    finally:
        tracemalloc.stop()


def main() -> None:
    options = argparse.ArgumentParser(description=__doc__)
    options.add_argument("--quick", action="store_true", help="a tenth of the size")
    quick = options.parse_args().quick
    references, size = (200, 500_000) if quick else (2_000, 5_000_000)
    readers: dict[str, tuple[Callable[[str], object], str]] = {
        "yaml": (lambda t: yaml.load(t, Loader=yaml.CSafeLoader), "CSafeLoader"),
        "json": (json.loads, "json.loads"),
        "dotenv": (str.splitlines, "splitlines"),
    }
    makers = {"yaml": yaml_file, "json": json_file, "dotenv": dotenv_file}
    heads = ("MB", 6), ("refs", 7), ("MB/s", 8), ("reader", 14), ("x reader", 10), ("x text", 8)
    print(" " * 8 + "".join(f"{head:>{width}}" for head, width in heads) + f"{'peak':>9}")
    for fmt, make in makers.items():
        text = make(references, size)
        mb = len(text.encode()) / 1e6
        run = functools.partial(render, Native, text, fmt, "", "", "bench")
        took = timed(run)
        reader, name = readers[fmt]
        read = timed(functools.partial(reader, text), 1 if fmt == "yaml" else 3)
        plain = timed(functools.partial(render, Native, text, "text", "", "", "bench"))
        print(
            f"{fmt:8}{mb:>6.1f}{text.count('${{'):>7}{mb / took:>8.1f}{name:>14}"
            f"{read / took:>9.2f}x{plain / took:>7.2f}x{peak(run) / 1e6:>6.1f} MB"
        )
    count = references * 10
    pad = "x" * (size * 9 // 10 // count)  # 4.5 MB in full
    listing = "".join(f"{pad}\nvalue ${{{{ id.{k % 50} }}}} here\n" for k in range(count))
    for part in (listing[: len(listing) // 2], listing):
        took = timed(functools.partial(find, part, "text", "bench"))
        refs = part.count("${{")
        each = took / refs * 1e6
        print(f"check   {len(part) / 1e6:>6.1f}{refs:>7}{took * 1e3:>8.0f} ms, {each:.2f} us each")


if __name__ == "__main__":
    main()
