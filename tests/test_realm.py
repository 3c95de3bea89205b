"""Commands on the whole realm: list, delete, rotate, import, update of file secrets, key files."""

from __future__ import annotations

import json
import os
import stat
import time
from concurrent.futures import ThreadPoolExecutor
from pathlib import Path
from typing import Any

import pytest
from cryptography.fernet import Fernet
from test_cli import KEY_VAR, Realm, ref

ROUNDS = 4
ENV_FILE = (
    '# db\r\nexport DB_PASS=\'p w#1\' # note\nEMPTY=\nURL=x${{ id }}\n\nTOKEN="a\\"b"\nBARE=v'
)


@pytest.fixture
def realm(tmp_path: Path) -> Realm:
    return Realm(tmp_path)


def listed(realm: Realm, *args: str) -> list[dict[str, Any]]:
    result = realm.run("list", "--format", "json", *args)
    assert result.returncode == 0, result.stderr
    rows: list[dict[str, Any]] = json.loads(result.stdout)
    return rows


def key_file(realm: Realm, name: str, key: str, mode: int = 0o600) -> str:
    path = realm.root / name
    path.write_text(key)
    path.chmod(mode)
    return name


class TestList:
    @pytest.mark.parametrize(
        ("args", "names"),
        [
            ([], ["dev.x", "prod.a", "prod.f"]),
            (["--owner", "ann"], ["prod.a", "prod.f"]),
            (["--prefix", "prod.a"], ["prod.a"]),
        ],
    )
    def test_rows(self, realm: Realm, args: list[str], names: list[str]) -> None:
        realm.put("v1", "--owner", "ann", "--name", "prod.a")
        realm.put("v2", "--owner", "ann", "--name", "prod.f", "--file", "--file-name", "k")
        realm.put("v3", "--owner", "bob", "--name", "dev.x")
        rows = listed(realm, *args)
        assert sorted(row["name"] for row in rows) == names
        assert [row["id"] for row in rows] == sorted(row["id"] for row in rows)
        table = realm.run("list", *args).stdout.decode()
        lines = {line.split()[0]: line.split()[1:] for line in table.splitlines()[1:]}
        for row in rows:
            assert set(row) == {"id", "owner_name", "name", "is_file", "file_path", "file_name"}
            kind = ["file", "./k"] if row["is_file"] else ["value"]
            assert lines[row["id"]] == [row["owner_name"], row["name"], *kind]
        assert "v1" not in table and "gAAAA" not in table

    def test_control_characters_are_escaped(self, realm: Realm) -> None:
        realm.put("v", "--name", "a\x1b[2Jb\nc")
        assert "a\\x1b[2Jb\\nc" in realm.run("list").stdout.decode()


class TestDelete:
    def test_all_or_nothing(self, realm: Realm) -> None:
        kept, other = realm.put("v"), realm.put("w")
        result = realm.run("delete", kept, "no-such-id", other)
        assert result.returncode == 4 and b"no-such-id" in result.stderr
        assert len(listed(realm)) == 2
        assert realm.run("delete", kept, other, kept).returncode == 0
        assert listed(realm) == []

    @pytest.mark.parametrize(
        ("place", "status", "removed"),
        [
            (lambda p: p.write_text("v"), 0, True),
            (lambda p: None, 0, True),
            (lambda p: p.symlink_to(p.parent.parent / "target"), 1, False),
            (lambda p: p.mkdir(), 1, False),
        ],
    )
    def test_remove_file(self, realm: Realm, place: Any, status: int, removed: bool) -> None:
        (realm.root / "target").write_text("not mine")
        secret_id = realm.put("v", "--file", "--file-path", "out", "--file-name", "k")
        (realm.root / "out").mkdir()
        place(realm.root / "out" / "k")
        result = realm.run("delete", "--remove-file", secret_id)
        assert result.returncode == status
        assert os.path.lexists(realm.root / "out" / "k") != removed
        assert (realm.root / "target").read_text() == "not mine"
        assert listed(realm) == []


class TestRotate:
    def test_reencrypts_everything(self, realm: Realm) -> None:
        ids = [realm.put(value) for value in ("a", "b\n", "")]
        new_key = Fernet.generate_key().decode()
        key_file(realm, "new.key", f"\n {new_key}\n")
        dry = realm.run("rotate", "--new-key-file", "new.key", "--dry-run")
        assert dry.returncode == 0 and realm.run("get", ids[0]).stdout == b"a"
        result = realm.run("rotate", "--new-key-file", "-", stdin=new_key.encode())
        assert result.returncode == 0 and b"3 secrets" in result.stdout
        assert realm.run("get", ids[0]).returncode == 3
        got = [realm.run("get", i, **{KEY_VAR: new_key}).stdout for i in ids]
        assert got == [b"a", b"b\n", b""]

    def test_one_foreign_record_stops_it(self, realm: Realm) -> None:
        mine = realm.put("a")
        other = {KEY_VAR: Fernet.generate_key().decode()}
        foreign = realm.run("put", stdin=b"b", **other).stdout.decode().strip()
        key_file(realm, "new.key", Fernet.generate_key().decode())
        result = realm.run("rotate", "--new-key-file", "new.key")
        assert result.returncode == 3
        assert foreign.encode() in result.stderr and mine.encode() not in result.stderr
        assert realm.run("get", mine).stdout == b"a"

    @pytest.mark.parametrize(
        ("key", "mode", "message"),
        [
            (None, 0o600, "the new key is the current realm key"),
            ("not a key", 0o600, "new.key: does not hold a realm key"),
            (Fernet.generate_key().decode(), 0o640, "new.key: group or others may access"),
        ],
    )
    def test_refused_keys(self, realm: Realm, key: str | None, mode: int, message: str) -> None:
        secret_id = realm.put("a")
        key_file(realm, "new.key", realm.key if key is None else key, mode)
        result = realm.run("rotate", "--new-key-file", "new.key")
        assert result.returncode == 3 and message in result.stderr.decode()
        assert realm.run("get", secret_id).stdout == b"a"


class TestImport:
    def test_values_become_references(self, realm: Realm) -> None:
        (realm.root / "app.env").write_bytes(ENV_FILE.encode())
        result = realm.run("import", "app.env", "--owner", "ann", "--name-prefix", "prod.")
        assert result.returncode == 0, result.stderr
        rows = {row["name"]: row["id"] for row in listed(realm, "--owner", "ann")}
        assert sorted(rows) == ["prod.BARE", "prod.DB_PASS", "prod.TOKEN"]
        expected = ENV_FILE.replace("'p w#1'", ref(rows["prod.DB_PASS"]))
        expected = expected.replace('"a\\"b"', ref(rows["prod.TOKEN"]))
        assert result.stdout.decode() == expected.replace("=v", "=" + ref(rows["prod.BARE"]))
        values = {name: realm.run("get", i).stdout for name, i in rows.items()}
        assert values == {"prod.BARE": b"v", "prod.DB_PASS": b"p w#1", "prod.TOKEN": b'a"b'}

    def test_failure_stores_nothing(self, realm: Realm) -> None:
        realm.put("existing")
        args = ["import", "-", "--owner", "ann", "--name-prefix", ""]
        result = realm.run(*args, stdin=b"A=1\nB=2\n", **{KEY_VAR: "bad"})
        assert (result.returncode, result.stdout) == (3, b"")
        assert len(listed(realm)) == 1


class TestUpdateFileSecret:
    def test_delivered_file_is_replaced(self, realm: Realm) -> None:
        secret_id = realm.put("old", "--file", "--file-path", "out", "--file-name", "k")
        assert realm.run("get", secret_id).returncode == 0
        (realm.root / "out" / "k").chmod(0o644)
        assert realm.run("update", secret_id, stdin="néw".encode()).returncode == 0
        assert (realm.root / "out" / "k").read_text() == "néw"
        assert stat.S_IMODE((realm.root / "out" / "k").stat().st_mode) == 0o600
        assert realm.run("get", secret_id).stdout == b"out/k"

    def test_failed_file_step_is_reported(self, realm: Realm) -> None:
        secret_id = realm.put("old", "--file", "--file-name", "k")
        (realm.root / "k").mkdir()
        result = realm.run("update", secret_id, stdin=b"new")
        assert result.returncode == 1 and b"updated, but ./k is not a regular file" in result.stderr
        (realm.root / "k").rmdir()
        assert (realm.root / realm.run("get", secret_id).stdout.decode()).read_text() == "new"


class TestGlobalOptions:
    def test_version(self, realm: Realm) -> None:
        assert realm.run("--version").stdout.startswith(b"kuv-secrets 0.")

    def test_key_file_replaces_the_variable_and_stays_out_of_children(self, realm: Realm) -> None:
        secret_id = realm.put("v")
        key_file(realm, "realm.key", realm.key + "\n")
        realm.env[KEY_VAR] = ""
        got = realm.run("--key-file", "realm.key", "get", secret_id)
        assert (got.returncode, got.stdout) == (0, b"v")
        child = realm.run("--key-file", "realm.key", "run", "--", "env")
        assert child.returncode == 0 and realm.key.encode() not in child.stdout

    @pytest.mark.parametrize(("mode", "status"), [(0o400, 0), (0o604, 3), (0o620, 3)])
    def test_key_file_modes(self, realm: Realm, mode: int, status: int) -> None:
        secret_id = realm.put("v")
        key_file(realm, "realm.key", realm.key, mode)
        result = realm.run("--key-file", "realm.key", "get", secret_id)
        assert result.returncode == status
        assert (b"realm.key" in result.stderr) == bool(status)


class TestConcurrentRotation:
    def test_nothing_lost_and_every_read_opens(self, realm: Realm) -> None:
        new_key = Fernet.generate_key().decode()
        key_file(realm, "new.key", new_key)
        seeded = [realm.put(f"seed{i}") for i in range(3)]
        written = {
            s: {f"seed{i}", *(f"{s}.{n}" for n in range(ROUNDS))} for i, s in enumerate(seeded)
        }

        def opened(secret_id: str) -> str:
            # Each get loads afresh: an update under the old key may land between the two.
            for key in (realm.key, new_key) * 3:
                result = realm.run("get", secret_id, **{KEY_VAR: key})
                if result.returncode != 3:
                    assert result.returncode == 0, result.stderr
                    return result.stdout.decode()
            raise AssertionError(f"{secret_id} opens with neither key, repeatedly")

        def put(worker: int) -> dict[str, str]:
            return {realm.put(f"p{worker}.{n}"): f"p{worker}.{n}" for n in range(ROUNDS)}

        def update(secret_id: str) -> dict[str, str]:
            for n in range(ROUNDS):
                result = realm.run("update", secret_id, stdin=f"{secret_id}.{n}".encode())
                assert result.returncode == 0, result.stderr
            return {secret_id: f"{secret_id}.{ROUNDS - 1}"}

        def read(worker: int) -> dict[str, str]:
            for _ in range(ROUNDS):
                for secret_id in seeded:
                    assert opened(secret_id) in written[secret_id]
            return {}

        def rotate() -> dict[str, str]:
            time.sleep(0.5)
            result = realm.run("rotate", "--new-key-file", "new.key")
            assert result.returncode == 0, result.stderr
            return {}

        with ThreadPoolExecutor(8) as pool:
            jobs = [pool.submit(put, 0), pool.submit(put, 1), pool.submit(rotate)]
            jobs += [pool.submit(update, s) for s in seeded] + [pool.submit(read, 0)]
            jobs += [pool.submit(read, 1)]
            final = {k: v for job in jobs for k, v in job.result().items()}
        assert len(listed(realm)) == len(final)
        assert {secret_id: opened(secret_id) for secret_id in final} == final
