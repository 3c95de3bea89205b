"""Many threads substituting and resolving through one class at once."""

from __future__ import annotations

import os
import sys
import threading
import time
from collections.abc import Callable, Iterator
from pathlib import Path
from typing import Any, ClassVar

import pytest
from cryptography.fernet import Fernet

from kuv_secrets import secrets

import memory  # tests/memory.py

LIGHT = os.environ.get("KUV_STRESS") == "light"
THREADS = 8
ITERATIONS = 100 if LIGHT else 10_000 // THREADS  # per thread, 10,000 in all
KEY = Fernet.generate_key().decode()


class Shared(memory.InMemory):
    """Records in a dict shared by all threads; a dict lookup and store are atomic."""

    top_secret = KEY
    store: ClassVar[dict[str, Any]] = {}


class Stored(secrets.Secrets):
    """The same through the SQLite stand-in, which opens a connection per call."""

    __record_kind__ = "Stored"
    top_secret = KEY


@pytest.fixture(autouse=True)
def busy_switching(tmp_path: Path, monkeypatch: pytest.MonkeyPatch) -> Iterator[None]:
    # Hand the GIL over far more often than usual, so the threads interleave inside every call.
    monkeypatch.setenv("KUV_DATABASE", str(tmp_path / "records.sqlite3"))
    interval = sys.getswitchinterval()
    sys.setswitchinterval(1e-4)
    Shared.store.clear()
    yield
    sys.setswitchinterval(interval)
    Shared.store.clear()


def in_threads(work: Callable[[int], None], count: int = THREADS) -> None:
    """Runs work(0) .. work(count - 1) in threads started together; re-raises the first error."""
    barrier = threading.Barrier(count)
    errors: list[BaseException] = []

    def main(index: int) -> None:
        try:
            barrier.wait()
            work(index)
        except BaseException as error:  # noqa: BLE001 - handed to the test thread
            errors.append(error)
            barrier.abort()

    threads = [threading.Thread(target=main, args=(i,)) for i in range(count)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join(timeout=600)
        assert not thread.is_alive(), "a thread hung"
    if errors:
        raise errors[0]


def ref(record: secrets.Secrets) -> str:
    return "${{ %s }}" % record.id  # noqa: UP031 - braces would need doubling twice


@pytest.mark.parametrize(("cls", "iterations"), [(Shared, ITERATIONS), (Stored, ITERATIONS // 10)])
def test_substituting_and_resolving(cls: type[secrets.Secrets], iterations: int) -> None:
    common = cls(secret="common ✓", owner_name="ops", name="realm.shared.pw")
    common.save()

    def work(index: int) -> None:
        owner, prefix = f"owner{index}", f"team.t{index}"
        own = cls(secret=f"{index}:start", owner_name=owner, name=f"{prefix}.pw")
        own.save()
        config = {"dsn": f"u:{ref(common)}@h", "own": [ref(own), 7, {"deep": f"<{ref(common)}>"}]}
        value = f"{index}:start"
        for i in range(iterations):
            if i % 16 == 15:
                value = f"{index}:{i}:{'😀' * (i % 3)}"
                assert own.update_secret(value) is own
            expected = {"dsn": "u:common ✓@h", "own": [value, 7, {"deep": "<common ✓>"}]}
            assert cls.secret_parser(config) == expected
            assert cls.get_secret_from_id(own.id, owner, prefix) == value
            assert cls.secret_composer(f"[{ref(own)}]", cls.get_secret_from_id) == f"[{value}]"
            assert cls.decrypt(cls.encrypt(value, KEY), KEY) == value

    in_threads(work)


def resolve_together(secret_id: str) -> list[str]:
    paths: list[str] = []
    in_threads(lambda _: paths.append(Shared.get_secret_from_id(secret_id)))
    return paths


def test_one_file_secret_from_all_threads(tmp_path: Path) -> None:
    value = "in a file ✓\n" * 1000
    rounds = 5 if LIGHT else 40
    for round_ in range(rounds):
        record = Shared(secret=value, is_file=True, file_path=str(tmp_path), file_name=f"f{round_}")
        record.save()
        assert resolve_together(record.id) == [str(tmp_path / f"f{round_}")] * THREADS
    # Every round published one complete file and left no temporary file behind.
    assert sorted(os.listdir(tmp_path)) == sorted(f"f{r}" for r in range(rounds))
    assert all((tmp_path / f"f{r}").read_text() == value for r in range(rounds))


def nested(depth: int, width: int) -> Any:
    if depth == 0:
        return [f"a ${{{{ k{i} }}}} b" for i in range(width)] + [None, 3]
    return {f"n{i}": nested(depth - 1, width) for i in range(width)} | {"l": [nested(depth - 1, 2)]}


def resolved(source: Any) -> Any:
    if isinstance(source, dict):
        return {k: resolved(v) for k, v in source.items()}
    if isinstance(source, list):
        return [resolved(v) for v in source]
    if isinstance(source, str):
        return source.replace("${{ ", "").replace(" }}", "").replace("a k", "a K")
    return source


class Yielding(secrets.Secrets):
    """A resolver that gives the GIL away in the middle of every resolution."""

    lock = threading.Lock()

    @classmethod
    def get_secret_from_id(cls, secret_id: str, owner_name: str = "", prefix: str = "") -> str:
        time.sleep(0)
        with cls.lock:
            pass
        return secret_id.upper()


class TestSharedStructure:
    def test_concurrent_walks_of_one_structure(self) -> None:
        config = nested(3, 3)
        expected = resolved(config)
        walks = 3 if LIGHT else 20

        def work(_: int) -> None:
            for _ in range(walks):
                assert Yielding.secret_parser(config) == expected

        in_threads(work)
        assert resolved(config) == expected  # the shared input is unchanged

    def test_walks_while_another_thread_changes_the_structure(self) -> None:
        config: dict[str, Any] = {"items": [f"${{{{ x{i} }}}}" for i in range(50)], "map": {}}
        done = threading.Event()

        def change() -> None:
            i = 0
            while not done.is_set():
                i += 1
                config["items"].append(f"${{{{ y{i} }}}}")
                config["map"][f"k{i % 7}"] = [f"${{{{ z{i} }}}}"]
                if len(config["items"]) > 60:
                    del config["items"][:20]
                config["map"].pop(f"k{(i + 3) % 7}", None)
                time.sleep(0)

        def walk(_: int) -> None:
            for _ in range(30 if LIGHT else 300):
                try:
                    result = Yielding.secret_parser(config)
                except RuntimeError as error:
                    assert "changed" in str(error) and "during iteration" in str(error)
                    continue
                flat = result["items"] + [v for vs in result["map"].values() for v in vs]
                assert all(not v.startswith("$") and v == v.upper() for v in flat), flat

        changer = threading.Thread(target=change)
        changer.start()
        try:
            in_threads(walk, THREADS - 1)
        finally:
            done.set()
            changer.join()
