"""Every method driven on its normal and its failing paths leaks neither references nor memory."""

from __future__ import annotations

import gc
import os
import resource
import sys
import tracemalloc
import types
from collections.abc import Callable, Iterator
from pathlib import Path
from typing import Any, ClassVar

import pytest
from cryptography.fernet import Fernet, InvalidToken

from kuv_secrets import secrets

import memory  # tests/memory.py

LIGHT = os.environ.get("KUV_STRESS") == "light"
# Calls per method, shared out between its paths; the sanitizer run is an order slower.
CALLS = 5_000 if LIGHT else 100_000
# Under the sanitizer freed memory sits in quarantine, and with the host on plain malloc there
# tracemalloc shows drift in the host's own open(): only references are checked in that run.
SANITIZED = "libasan" in Path("/proc/self/maps").read_text()

KEY = Fernet.generate_key().decode()
OTHER_KEY = Fernet.generate_key().decode()


def fresh(text: str) -> str:
    """A str object of its own: the refcount of an interned or cached one is shared."""
    return "".join([text[:1], text[1:]])


class Memory(memory.InMemory):
    """Records kept in a dict, so the hot loops measure the module and not SQLite."""

    top_secret = KEY
    store: ClassVar[dict[str, Any]] = {}


class BadKey(Memory):
    top_secret = "too short"


class Unsaved(Memory):
    def save(self) -> None:
        raise OSError("disk full")


def fails(exc: type[BaseException], func: Callable[..., Any], *args: Any, **kwargs: Any) -> None:
    try:
        func(*args, **kwargs)
    except exc:
        return
    raise AssertionError(f"{func!r} did not raise {exc.__name__}")


def upper(secret_id: str, owner_name: str, prefix: str) -> str:
    return secret_id.upper()


def raising(secret_id: str, owner_name: str, prefix: str) -> str:
    raise LookupError(secret_id)


def number(secret_id: str, owner_name: str, prefix: str) -> int:
    return 42


class Loud(str):
    pass


def subclassed(secret_id: str, owner_name: str, prefix: str) -> str:
    return Loud(secret_id)


Scenario = tuple[float, Callable[[], object]]


def rss() -> int:
    pages = int(Path("/proc/self/statm").read_text().split()[1])
    return pages * resource.getpagesize()


def drive(scenarios: list[Scenario], held: list[Any]) -> None:
    """Runs every scenario its share of CALLS and checks references and memory afterwards."""

    def run(fraction: float) -> int:
        total = 0
        for share, call in scenarios:
            count = max(1, int(CALLS * share * fraction))
            for _ in range(count):
                call()
            total += count
        return total

    run(0.02)  # warm-up: caches, free lists and interned names settle here
    gc.collect()
    counts = [sys.getrefcount(obj) for obj in held]
    before = rss()
    run(1.0)
    gc.collect()
    grown = rss() - before
    assert [sys.getrefcount(obj) for obj in held] == counts
    if SANITIZED:
        return
    assert grown < 4 * 2**20, f"resident size grew by {grown} bytes"

    # Even the smallest object leaked per call (a float, 24 bytes) stands out from the noise. The
    # first traced run fills free lists and caches with traced memory; the second one reuses it.
    tracemalloc.start()
    try:
        run(0.05)
        gc.collect()
        first = tracemalloc.take_snapshot()
        traced = run(0.05)
        gc.collect()
        second = tracemalloc.take_snapshot()
    finally:
        tracemalloc.stop()
    ignore = (tracemalloc.Filter(False, tracemalloc.__file__),)
    diff = second.filter_traces(ignore).compare_to(first.filter_traces(ignore), "lineno")
    growth = sum(stat.size_diff for stat in diff)
    assert growth < max(16 * 1024, 12 * traced), [str(stat) for stat in diff[:5]]


@pytest.fixture(autouse=True)
def empty_store() -> Iterator[None]:
    Memory.store.clear()
    yield
    Memory.store.clear()


class TestCipher:
    def test_encrypt(self) -> None:
        data, key, bad, wide = fresh("s3cr3t ✓"), fresh(KEY), fresh("short"), fresh("ключ")
        drive(
            [
                (0.7, lambda: Memory.encrypt(data, key)),
                (0.1, lambda: fails(ValueError, Memory.encrypt, data, bad)),
                (0.1, lambda: fails(UnicodeEncodeError, Memory.encrypt, data, wide)),
                (0.1, lambda: fails(AttributeError, Memory.encrypt, None, key)),
            ],
            [data, key, bad, wide, Memory],
        )

    def test_decrypt(self) -> None:
        token = fresh(Fernet(KEY.encode()).encrypt(b"value").decode())
        tampered = fresh(token[:20] + ("A" if token[20] != "A" else "B") + token[21:])
        key, other = fresh(KEY), fresh(OTHER_KEY)
        drive(
            [
                (0.6, lambda: Memory.decrypt(token, key)),
                (0.15, lambda: fails(InvalidToken, Memory.decrypt, token, other)),
                (0.15, lambda: fails(InvalidToken, Memory.decrypt, tampered, key)),
                (0.1, lambda: fails(AttributeError, Memory.decrypt, token.encode(), key)),
            ],
            [token, tampered, key, other],
        )


class TestRecords:
    def test_init(self) -> None:
        value, owner, name = fresh("plain value"), fresh("ann"), fresh("a.b.c.d")
        drive(
            [
                (0.6, lambda: Memory(secret=value, owner_name=owner, name=name)),
                (0.1, lambda: Memory(owner_name=owner, encrypted_secret=value)),
                (0.1, lambda: fails(AttributeError, Memory, secret=None, owner_name=owner)),
                (0.1, lambda: fails(ValueError, BadKey, secret=value, name=name)),
                # The framework refuses the field after encryption: the keywords must go too.
                (0.1, lambda: fails(TypeError, Memory, secret=value, colour=name)),
            ],
            [value, owner, name, Memory, BadKey],
        )

    def test_update_secret(self) -> None:
        record = Memory(secret="old")
        unsaved = Unsaved(secret="old")
        broken = Memory(secret="old")
        broken.top_secret = "not a key"  # type: ignore[misc]
        value = fresh("new value")
        drive(
            [
                (0.7, lambda: record.update_secret(value)),
                (0.1, lambda: fails(OSError, unsaved.update_secret, value)),
                (0.1, lambda: fails(ValueError, broken.update_secret, value)),
                (0.1, lambda: fails(AttributeError, record.update_secret, 7)),
            ],
            [record, unsaved, broken, value],
        )
        assert Memory.decrypt(str(record.encrypted_secret), KEY) == value


class TestResolution:
    def test_get_secret_from_id(self, tmp_path: Path) -> None:
        def put(value: str, **fields: Any) -> str:
            record = Memory(secret=value, owner_name="ann", name="a.b.c", **fields)
            record.save()
            return fresh(record.id)

        plain = put("plain")
        foreign = Memory(owner_name="ann", name="a.b.c")
        foreign.encrypted_secret = Fernet(OTHER_KEY.encode()).encrypt(b"x").decode()
        foreign.save()
        same = put("in the file", is_file=True, file_path=str(tmp_path), file_name="same")
        (tmp_path / "same").write_text("in the file")
        other = put("new value", is_file=True, file_path=str(tmp_path), file_name="other")
        (tmp_path / "other").write_text("old value")
        owner, prefix, wrong = fresh("ann"), fresh("a.b"), fresh("bob")
        missing, foreign_id = fresh("no such id"), fresh(foreign.id)
        get = Memory.get_secret_from_id
        drive(
            [
                (0.55, lambda: get(plain, owner, prefix)),
                (0.1, lambda: get(same, owner)),
                (0.05, lambda: fails(ValueError, get, missing, owner, prefix)),
                (0.05, lambda: fails(ValueError, get, plain, wrong, prefix)),
                (0.05, lambda: fails(ValueError, get, plain, owner, wrong)),
                (0.1, lambda: fails(InvalidToken, get, foreign_id)),
                (0.1, lambda: fails(ValueError, get, other)),
            ],
            [plain, same, other, owner, prefix, wrong, missing, foreign_id, Memory],
        )
        assert (tmp_path / "other").read_text() == "old value"

    def test_new_files(self, tmp_path: Path) -> None:
        # Each call writes a new UUID-named file, so this path gets a few hundred calls only.
        record = Memory(secret="to a file", is_file=True, file_path=str(tmp_path))
        record.save()
        sid = fresh(record.id)
        before = sys.getrefcount(sid)
        for _ in range(300):
            Memory.get_secret_from_id(sid)
        assert sys.getrefcount(sid) == before
        assert len(os.listdir(tmp_path)) == 300


class TestSubstitution:
    def test_secret_composer(self) -> None:
        texts = [fresh(t) for t in ("a ${{ b }} c", "é ${{b}} ${{", "✓ ${{b}}}}", "🔑 ${{ b }}")]
        loud, owner, prefix = Loud("x ${{ y }} z"), fresh("ann"), fresh("a.b")
        compose = Memory.secret_composer

        def each_width() -> None:
            for text in texts:
                compose(text, upper, owner, prefix)

        drive(
            [
                (0.15, each_width),
                (0.15, lambda: compose(loud, upper, owner, prefix)),
                (0.1, lambda: compose(texts[0], None)),
                (0.15, lambda: compose(texts[0], subclassed, owner, prefix)),
                (0.15, lambda: fails(LookupError, compose, texts[1], raising, owner, prefix)),
                (0.15, lambda: fails(TypeError, compose, texts[2], number, owner, prefix)),
                (0.1, lambda: fails(TypeError, compose, loud, number)),
                (0.05, lambda: fails(AttributeError, compose, 12345, upper)),
            ],
            [*texts, loud, owner, prefix, upper, raising, number, subclassed],
        )

    def test_secret_parser(self) -> None:
        record = Memory(secret="value", owner_name="ann", name="a.b.c")
        record.save()
        ref = f"${{{{ {record.id} }}}}"
        config = {"a": [ref, {"b": ref, "n": 1}], "c": (ref,), "d": "no reference"}
        broken = {"a": ["fine", "${{ no such id }}"]}
        loop: list[Any] = []
        loop.append(loop)
        owner, prefix = fresh("ann"), fresh("a.b")

        class Numbers(Memory):
            @classmethod
            def get_secret_from_id(
                cls, secret_id: str, owner_name: str = "", prefix: str = ""
            ) -> Any:
                return 7

        def recursion() -> None:
            fails(RecursionError, Memory.secret_parser, loop)

        drive(
            [
                (0.6, lambda: Memory.secret_parser(config, owner, prefix)),
                (0.2, lambda: fails(ValueError, Memory.secret_parser, broken, owner)),
                (0.1995, lambda: fails(TypeError, Numbers.secret_parser, config)),
                # Each call walks 1,000 levels (10,000 on 3.13) before it fails: a few calls.
                (0.0005, recursion),
            ],
            [config, broken, loop, owner, prefix, record, Memory, Numbers],
        )
        assert Memory.secret_parser(config, owner, prefix)["a"] == ["value", {"b": "value", "n": 1}]


class TestRealmKey:
    def test_get_top_secret(self, tmp_path: Path, monkeypatch: pytest.MonkeyPatch) -> None:
        monkeypatch.setenv("KUV_H6_LEAK_KEY", "from the environment")
        good, undecodable = tmp_path / "good", tmp_path / "bad"
        good.write_text("  from the file\n")
        undecodable.write_bytes(b"\xff\xfe")
        files = {"kuv_h6_file_key": good, "kuv_h6_bad_key": undecodable}
        real_exists = os.path.exists

        def exists(path: str) -> bool:
            return path[len("/run/secrets/") :] in files or real_exists(path)

        def opener(path: str, mode: str) -> Any:
            return open(files[path[len("/run/secrets/") :]], mode, encoding="utf-8")

        fake_os = types.SimpleNamespace(
            environ=os.environ, path=types.SimpleNamespace(exists=exists)
        )
        monkeypatch.setattr(secrets, "os", fake_os)
        monkeypatch.setattr(secrets, "open", opener, raising=False)
        env, absent, in_file, bad = (
            fresh(k)
            for k in ("kuv_h6_leak_key", "kuv_h6_absent", "kuv_h6_file_key", "kuv_h6_bad_key")
        )
        get = secrets.get_top_secret
        drive(
            [
                (0.4, lambda: get(env)),
                (0.2, lambda: get(absent)),
                (0.2, lambda: get(in_file)),
                (0.1, lambda: fails(UnicodeDecodeError, get, bad)),
                (0.1, lambda: fails(AttributeError, get, None)),
            ],
            [env, absent, in_file, bad, opener],
        )
        assert get(in_file) == "from the file"
