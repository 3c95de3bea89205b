"""Custody of the realm's secrets: the backup (export, restore) that goes before a rotation and
moves a store between engines."""

from __future__ import annotations

import json
import stat
from pathlib import Path
from typing import TYPE_CHECKING, Any

import pytest
from kuv_meta import using
from test_cli import KEY_VAR, Realm
from test_realm import OWNED, host_put, listed

from kuv_secrets.realm.records import record_class

if TYPE_CHECKING:
    from conftest import Database
    from pgserver import Server

ROW = {"id": "a", "owner_name": None, "name": "n", "is_file": False, "file_path": "."}
ROW |= {"file_name": None, "encrypted_secret": "t"}


def made(realm: Realm, url: str) -> str:
    """Another empty store, as init makes it."""
    assert realm.run("init", KUV_DATABASE=url).returncode == 0
    return url


@pytest.fixture
def realm(tmp_path: Path, database: Database) -> Realm:
    return Realm(tmp_path, database.url)


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
        rows = [json.loads(line) for line in first.splitlines()]
        assert [r["id"] for r in rows] == sorted(r["id"] for r in rows)
        assert any(r["file_name"] == "k" for r in rows)
        sqlite, postgresql = realm.env["KUV_DATABASE"], made(realm, pg_server.create_database())
        (tmp_path / "b.jsonl").write_bytes(first)
        for target in (postgresql, made(realm, str(tmp_path / "again.sqlite3"))):
            assert realm.run("restore", "b.jsonl", KUV_DATABASE=target).returncode == 0
            assert realm.run("export", "-o", "-", KUV_DATABASE=target).stdout == first
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

    @pytest.mark.parametrize("command", ["export", "restore"])
    def test_help(self, realm: Realm, command: str) -> None:
        assert b"exit status:" in realm.run(command, "--help").stdout
