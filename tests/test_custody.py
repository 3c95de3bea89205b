"""Custody of the realm's secrets: rotation under a key kept on disk and always reported, and the
backup (export, restore) that goes before it and moves a store between engines."""

from __future__ import annotations

import json
import os
import random
import signal
import stat
import string
import subprocess
import threading
import time
from collections.abc import Iterator
from concurrent.futures import ThreadPoolExecutor
from pathlib import Path
from typing import TYPE_CHECKING, Any

import kuv_store
import pytest
from cryptography.fernet import Fernet, InvalidToken
from kuv_meta import transaction, using
from test_cli import KEY_VAR, LAUNCHER, Realm
from test_realm import OWNED, host_put, key_file, listed

from kuv_secrets.commands import rotate
from kuv_secrets.realm.records import record_class

from support import default_signals

if TYPE_CHECKING:
    from conftest import Database
    from pgserver import Server

ROUNDS = 3
HELD = (signal.SIGINT, signal.SIGTERM, signal.SIGHUP)
KILLED = (-signal.SIGTERM, 128 + signal.SIGTERM)
REPORT = b"Re-encrypted "
ROW = {"id": "a", "owner_name": None, "name": "n", "is_file": False, "file_path": "."}
ROW |= {"file_name": None, "encrypted_secret": "t"}


def opened(realm: Realm, secret_id: str, *keys: str) -> str:
    # Each get loads afresh: a concurrent update under the old key may land between two tries.
    for key in (realm.key, *keys) * 3:
        result = realm.run("get", secret_id, **{KEY_VAR: key})
        if result.returncode != 3:
            assert result.returncode == 0, result.stderr
            return result.stdout.decode()
    raise AssertionError(f"{secret_id} opens with none of the keys")


def made(realm: Realm, url: str) -> str:
    """Another empty store, as init makes it."""
    assert realm.run("init", KUV_DATABASE=url).returncode == 0
    return url


@pytest.fixture
def realm(tmp_path: Path, database: Database) -> Realm:
    return Realm(tmp_path, database.url)


def stock(url: str, key: str, count: int) -> list[str]:
    """Secrets made by a host in one go, as many as a put per secret would take long to store."""
    records = record_class(key)
    stocked = [records(secret=f"v{n}", owner_name="o", name=f"n{n}") for n in range(count)]
    with using(url), transaction():
        for record in stocked:
            record.save()
    return [record.id for record in stocked]


def opening(url: str, key: str) -> int:
    """How many stored secrets open with ``key``."""
    with using(url):
        records = record_class(key)
        count = 0
        for record in records.load_all():
            try:
                records.decrypt(record.encrypted_secret or "", key)
                count += 1
            except InvalidToken:
                pass
    return count


class TestRotate:
    @pytest.mark.parametrize("full", [False, True], ids=["report", "full-disk"])
    def test_reencrypts_everything(self, realm: Realm, full: bool) -> None:
        new_key = Fernet.generate_key().decode()
        no_store = realm.run("rotate", "--new-key-file", key_file(realm, new_key))
        assert no_store.returncode == 1 and b"no secret" in no_store.stderr
        values = [b"a", b"b\n", "ü\r\n".encode()]
        ids = [realm.put(value.decode(), *OWNED) for value in values]
        key, b64 = realm.key, string.ascii_uppercase + string.ascii_lowercase + string.digits + "-_"
        respelt = key[:42] + b64[b64.index(key[42]) ^ 1] + "="  # other padding bits, same bytes
        for current, given in [(key, key), (key, respelt), (key + " ", key)]:
            same = realm.run(
                "rotate", "--new-key-file", key_file(realm, given), **{KEY_VAR: current}
            )
            assert same.returncode == 3 and b"is the current realm key" in same.stderr
        dry = realm.run("rotate", "--new-key-file", key_file(realm, f"\n {new_key}\n"), "--dry-run")
        assert dry.returncode == 0 and realm.run("get", ids[0]).stdout == b"a"
        with open("/dev/full", "wb") as disk:
            stdout = disk if full else subprocess.PIPE
            result = realm.run("rotate", "--new-key-file", "new.key", stdout=stdout)
        # Committed: an unwritten report must neither read as a failure nor hide the rotation.
        assert result.returncode == 0 and b"3 secrets" in (result.stderr if full else result.stdout)
        assert realm.run("get", ids[0]).returncode == 3
        assert [realm.run("get", i, **{KEY_VAR: new_key}).stdout for i in ids] == values

    def test_one_foreign_record_stops_it(self, realm: Realm) -> None:
        mine = realm.put("a", *OWNED)
        # Made by a host under another key: the command line refuses such a put.
        foreign = host_put(realm, "n", Fernet.generate_key().decode())
        result = realm.run(
            "rotate", "--new-key-file", key_file(realm, Fernet.generate_key().decode())
        )
        assert result.returncode == 3 and foreign.encode() in result.stderr
        assert mine.encode() not in result.stderr and realm.run("get", mine).stdout == b"a"


class TestNewKey:
    # Where the new key would be kept; each refusal changes nothing.
    @pytest.mark.parametrize(
        ("args", "status", "said"),
        [
            (["--new-key-file", "-"], 2, b"saved nowhere"),
            (["--generate-key-file", "-"], 2, b"saved nowhere"),
            (["--new-key-file", "k", "--generate-key-file", "g"], 2, b"not allowed with"),
            (["--new-key-file", "{0o640}"], 3, b"group or others may access it"),
            (["--new-key-file", "{0o604}"], 3, b"group or others may access it"),
            (["--new-key-file", "missing"], 3, b"missing: cannot read the key"),
            (["--new-key-file", "{fifo}"], 3, b"Not a regular file but a FIFO"),
            (["--new-key-file", "{not a key}"], 3, b"does not hold a realm key"),
            (["--generate-key-file", "{0o600}"], 1, b"new.key: file exists"),
            (["--generate-key-file", "new/"], 1, b"names a directory"),
            (["--new-key-file", "{0o600}", "--backup", "{0o600}"], 1, b"file exists"),
            (["--new-key-file", "{0o600}", "--backup", "-"], 2, b"into a file"),
        ],
    )
    def test_refused(self, realm: Realm, args: list[str], status: int, said: bytes) -> None:
        secret_id = realm.put("v", *OWNED)
        for arg in args:  # "{...}": new.key, holding that
            if arg == "{fifo}":
                os.mkfifo(realm.root / "new.key")
            elif arg.startswith("{0o"):
                key_file(realm, Fernet.generate_key().decode(), int(arg[1:-1], 8))
            elif arg.startswith("{"):
                key_file(realm, arg[1:-1])
        given = ["new.key" if arg.startswith("{") else arg for arg in args]
        # What a pipe from keygen hands over is a good key, and still refused: nobody keeps it.
        result = realm.run("rotate", *given, stdin=Fernet.generate_key())
        assert (result.returncode, result.stdout) == (status, b"") and said in result.stderr
        assert realm.run("get", secret_id).stdout == b"v"

    def test_generated(self, realm: Realm) -> None:
        secret_id = realm.put("v", *OWNED)
        result = realm.run("rotate", "--generate-key-file", "k/new.key")
        assert result.returncode == 1 and b"k/new.key" in result.stderr  # no folder is made
        (realm.root / "k").mkdir()
        assert realm.run("rotate", "--generate-key-file", "k/new.key", "--dry-run").returncode == 0
        assert not (realm.root / "k" / "new.key").exists()  # a check makes nothing
        result = realm.run("rotate", "--generate-key-file", "k/new.key")
        assert result.returncode == 0 and b"in k/new.key" in result.stdout
        key_path = realm.root / "k" / "new.key"
        assert stat.S_IMODE(key_path.stat().st_mode) == 0o600
        assert opened(realm, secret_id, key_path.read_text().strip()) == "v"


@pytest.fixture
def default_handlers() -> Iterator[None]:
    """The handlers a user's process has, whatever the test run's starter ignored."""
    given: dict[int, Any] = {signum: signal.SIG_DFL for signum in HELD}
    given[signal.SIGINT] = signal.default_int_handler
    saved = {signum: signal.signal(signum, handler) for signum, handler in given.items()}
    yield
    for signum, handler in saved.items():
        signal.signal(signum, handler)


class TestCommittedIsReported:
    @pytest.mark.parametrize("signum", HELD, ids=[s.name for s in HELD])
    @pytest.mark.parametrize("moment", ["commit", "report"])
    @pytest.mark.usefixtures("default_handlers")
    def test_signal_is_held(
        self, realm: Realm, monkeypatch: pytest.MonkeyPatch, signum: signal.Signals, moment: str
    ) -> None:
        assert threading.current_thread() is threading.main_thread()
        secret_id = realm.put("v", *OWNED)
        new_key = Fernet.generate_key().decode()

        def committed(handle: Any) -> None:  # the database has it, nobody knows yet
            commit(handle)
            os.kill(os.getpid(), signum)

        def reporting(ctx: Any, text: str) -> None:
            os.kill(os.getpid(), signum)
            write(ctx, text)

        commit, write = kuv_store._commit, rotate.write_stdout
        if moment == "commit":
            monkeypatch.setattr(kuv_store, "_commit", committed)
        else:
            monkeypatch.setattr(rotate, "write_stdout", reporting)
        result = realm.run("rotate", "--new-key-file", key_file(realm, new_key))
        assert (result.returncode, result.stdout.startswith(REPORT)) == (0, True)
        assert f"{signum.name} arrived after the new key was committed".encode() in result.stderr
        assert opened(realm, secret_id, new_key) == "v"
        assert realm.run("get", secret_id).returncode == 3
        assert not set(HELD) & (signal.pthread_sigmask(signal.SIG_BLOCK, ()) | signal.sigpending())


def full_pipe() -> tuple[int, int, int]:
    """A pipe that takes no more: its ends, and how much it holds."""
    read_end, write_end = os.pipe()
    os.set_blocking(write_end, False)
    held = 0
    for size in (65536, 1):
        try:
            while True:
                held += os.write(write_end, b"x" * size)
        except BlockingIOError:
            pass
    os.set_blocking(write_end, True)
    return read_end, write_end, held


def test_killed_rotation_changes_all_or_nothing_and_reports(
    database: Database, tmp_path: Path
) -> None:
    """SIGTERM at random points of real rotations: before the COMMIT it changes nothing, after
    it the rotation is reported and ends well, even with the report stuck on a full pipe."""
    realm = Realm(tmp_path, database.url)
    count = len(stock(database.url, realm.key, 40))

    def start(old_key: str, new_key: str, stdout: int) -> subprocess.Popen[bytes]:
        return subprocess.Popen(
            [*LAUNCHER, "rotate", "--new-key-file", key_file(realm, new_key)],
            stdout=stdout,
            stderr=subprocess.PIPE,
            cwd=realm.root,
            env={**realm.env, KEY_VAR: old_key},
            preexec_fn=default_signals,
        )

    began, current = time.monotonic(), Fernet.generate_key().decode()
    assert start(realm.key, current, subprocess.DEVNULL).communicate(timeout=60)[1] == b""
    took, rng, seen = time.monotonic() - began, random.Random(20240611), set()
    # A share of that time, or None: once the COMMIT is seen, with the report still to come.
    plan = [(full, share) for full in (True, False) for share in (0, 0.3, 0.65, 1, 1.35, None)]
    rng.shuffle(plan)
    for full, share in plan:
        new_key = Fernet.generate_key().decode()
        read_end, write_end, filler = full_pipe() if full else (*os.pipe(), 0)
        child = start(current, new_key, write_end)
        os.close(write_end)
        if share is None:
            while opening(database.url, new_key) < count and child.poll() is None:
                time.sleep(0.002)
        else:
            time.sleep(took * share * rng.uniform(0.9, 1.1))
        child.send_signal(signal.SIGTERM)
        with os.fdopen(read_end, "rb") as out:
            report = out.read()[filler:]
        err = child.communicate(timeout=60)[1]
        if opening(database.url, new_key) == count:
            assert report.startswith(REPORT), (child.returncode, err)
            # A kill once the report is out is any process's lot; a held one ends well.
            killed_after = not full and b"arrived" not in err and child.returncode in KILLED
            assert child.returncode == 0 or killed_after, err
            seen.add("held" if b"SIGTERM arrived" in err else "rotated")
            current = new_key
        else:
            # 143, or -15 before the handlers are in place, or 1 where Python wrapped the
            # signal's exception (a class body's __set_name__ does): never success.
            assert opening(database.url, current) == count
            assert (report, child.returncode in (*KILLED, 1)) == (b"", True), err
            seen.add("unchanged")
    assert seen >= {"held", "unchanged"}


def test_concurrent_rotation_loses_nothing(realm: Realm) -> None:
    """Puts, updates and gets under the old key while the realm moves to a new one."""
    new_key = Fernet.generate_key().decode()
    seeded = [realm.put(f"seed{i}", *OWNED) for i in range(3)]
    written = {s: {f"seed{i}", *(f"{s}.{n}" for n in range(ROUNDS))} for i, s in enumerate(seeded)}

    def write(*args: str, value: str) -> str:
        result = realm.run(*args, stdin=value.encode())
        if result.returncode == 3:  # rotated meanwhile: the retired key is refused, as it should
            result = realm.run(*args, stdin=value.encode(), **{KEY_VAR: new_key})
        assert result.returncode == 0, result.stderr
        return result.stdout.decode().strip()

    def put(worker: int) -> dict[str, str]:
        values = [f"p{worker}.{n}" for n in range(ROUNDS)]
        return {write("put", *OWNED, "--name", value, value=value): value for value in values}

    def update(secret_id: str) -> dict[str, str]:
        for n in range(ROUNDS):
            write("update", secret_id, value=f"{secret_id}.{n}")
        return {secret_id: f"{secret_id}.{ROUNDS - 1}"}

    def read(worker: int) -> dict[str, str]:
        for _ in range(ROUNDS):
            assert all(opened(realm, s, new_key) in written[s] for s in seeded)
        return {}

    def rotation() -> dict[str, str]:
        time.sleep(0.5)
        result = realm.run("rotate", "--new-key-file", key_file(realm, new_key))
        assert result.returncode == 0, result.stderr
        return {}

    with ThreadPoolExecutor(8) as pool:
        jobs = [pool.submit(put, 0), pool.submit(put, 1), pool.submit(rotation)]
        jobs += [pool.submit(update, s) for s in seeded] + [pool.submit(read, w) for w in (0, 1)]
        final = {k: v for job in jobs for k, v in job.result().items()}
    assert {row["id"] for row in listed(realm)} == set(final)
    assert {secret_id: opened(realm, secret_id, new_key) for secret_id in final} == final


def stored(url: str) -> list[dict[str, Any]]:
    with using(url):
        return sorted((vars(r) for r in record_class("").load_all()), key=lambda r: r["id"])


class TestBackup:
    def test_moves_between_engines_byte_for_byte(self, tmp_path: Path, pg_server: Server) -> None:
        realm = Realm(tmp_path)
        plain = realm.put("v1", "--owner", "ann", "--name", "Grüße.秘密")
        realm.put("v2", "--file", "--file-path", "out", "--file-name", "k", "--id", "f.1")
        host_put(realm, "n\udc9b", realm.key)  # bytes a host took from a file name
        first = realm.run("export", "-o", "-").stdout
        rows = [json.loads(line) for line in first.splitlines() if b'"id"' in line]
        assert [r["id"] for r in rows] == sorted(r["id"] for r in rows)
        assert any(r["file_name"] == "k" for r in rows)
        sqlite, postgresql = realm.env["KUV_DATABASE"], made(realm, pg_server.create_database())
        (tmp_path / "b.jsonl").write_bytes(first)
        for target in (postgresql, made(realm, str(tmp_path / "again.sqlite3"))):
            assert realm.run("restore", "b.jsonl", KUV_DATABASE=target).returncode == 0
            again = realm.run("export", "-o", "-", KUV_DATABASE=target).stdout
            # Only the trail grows: the restore and the first export went on record.
            assert again.startswith(first) and b'"outcome": "ok"' in again[len(first) :]
            assert stored(target) == stored(sqlite)
        assert realm.run("get", plain, KUV_DATABASE=postgresql).stdout == b"v1"

    @pytest.mark.parametrize(
        ("lines", "said"),
        [
            (['{"id": "a",'], b":1: not JSON: Expecting property name"),
            ([{}, "[]"], b":2: not a JSON object"),
            (["", {}], b":1: not JSON: Expecting value"),
            ([{"owner_name": ..., "name": ...}], b":1: missing owner_name, name; nothing"),
            ([{"extra": 1}], b":1: unknown field extra"),
            ([json.dumps(ROW)[:-1] + ', "id": "b"}'], b":1: a field is given twice"),
            ([{"is_file": 0}], b":1: is_file must be true or false"),
            ([{}, {"id": None}], b":2: id must be a string;"),
            ([{"name": 5}], b":1: name must be a string or null"),
            ([{}, {"owner_name": "o"}], b":2: id a again, first on line 1"),
        ],
    )
    def test_bad_lines_restore_nothing(
        self, realm: Realm, lines: list[str | dict[str, Any]], said: bytes
    ) -> None:
        def line(given: str | dict[str, Any]) -> str:  # a dict: ROW changed so (... drops)
            if isinstance(given, str):
                return given
            return json.dumps({k: v for k, v in {**ROW, **given}.items() if v is not ...})

        text = "".join(line(given) + "\n" for given in lines)
        result = realm.run("restore", "-", stdin=text.encode())
        assert result.returncode == 1 and b"standard input" + said in result.stderr
        assert realm.run("list").returncode == 1 or listed(realm) == []

    def test_restore_fills_an_empty_store_only(self, realm: Realm) -> None:
        (realm.root / "b.jsonl").write_bytes(b"")
        realm.put("v", *OWNED)
        assert realm.run("export", "-o", "b.jsonl").returncode == 1  # never overwritten
        assert realm.run("export", "-o", "b.jsonl", "--force", **{KEY_VAR: ""}).returncode == 0
        assert stat.S_IMODE((realm.root / "b.jsonl").stat().st_mode) == 0o600
        result = realm.run("restore", "b.jsonl")
        assert result.returncode == 1 and b"holds 1 secrets" in result.stderr
        assert len(listed(realm)) == 1

    def test_a_record_restore_would_refuse_stops_the_export(self, realm: Realm) -> None:
        with using(realm.env["KUV_DATABASE"]):
            record_class(realm.key)(secret="v", owner_name="o", is_file="yes").save()
        result = realm.run("export", "-o", "b.jsonl")
        assert result.returncode == 1 and b"is_file must be true or false" in result.stderr
        assert not (realm.root / "b.jsonl").exists()

    def test_rotate_takes_one_first(self, realm: Realm, tmp_path: Path) -> None:
        secret_id = realm.put("v", *OWNED)
        before = realm.run("export", "-o", "-").stdout
        result = realm.run("rotate", "--generate-key-file", "new.key", "--backup", "b.jsonl")
        assert result.returncode == 0 and b"under the old key, they are in b.jsonl" in result.stdout
        assert (realm.root / "b.jsonl").read_bytes().startswith(before)
        again = {"KUV_DATABASE": made(realm, str(tmp_path / "again.sqlite3"))}
        again[KEY_VAR] = Fernet.generate_key().decode()
        restored = realm.run("restore", "b.jsonl", **again)
        assert restored.returncode == 0 and b"the realm key opens none of them" in restored.stderr
        assert realm.run("get", secret_id, KUV_DATABASE=again["KUV_DATABASE"]).stdout == b"v"

    @pytest.mark.parametrize("command", ["export", "restore"])
    def test_help(self, realm: Realm, command: str) -> None:
        assert b"exit status:" in realm.run(command, "--help").stdout
