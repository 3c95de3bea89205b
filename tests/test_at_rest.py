"""Plain values never reach the store: the database and its journal hold only Fernet tokens."""

from __future__ import annotations

import json
import sqlite3
from collections.abc import Iterator
from contextlib import closing
from pathlib import Path

import pytest
from cryptography.fernet import Fernet

from kuv_secrets import secrets

KEY = Fernet.generate_key().decode()


class Vault(secrets.Secrets):
    top_secret = KEY


# Distinctive values: ASCII, every UTF-8 length, and one long enough for overflow pages.
VALUES = [
    "hunter2-at-rest-ascii",
    "pässwörd-àt-rést-ü",
    "пароль-секрет-✓-中文密码",
    "astral-🔑🗝️-secret",
    "long-" + "".join(chr(0x41 + i % 26) for i in range(20_000)),
]


def stored_bytes(database: Path) -> dict[str, bytes]:
    """The database file and whatever journal, WAL or shared-memory file lies beside it."""
    return {p.name: p.read_bytes() for p in database.parent.glob(database.name + "*")}


def holders(database: Path, value: str) -> list[str]:
    # As UTF-8 and as the JSON escapes a store may write; a long value is split over pages, and
    # its first 64 bytes are distinctive enough.
    needles = {value.encode()[:64], json.dumps(value).encode()[1:65]}
    return [
        name
        for name, data in stored_bytes(database).items()
        if any(needle in data for needle in needles)
    ]


@pytest.fixture(params=["delete", "wal"])
def database(
    request: pytest.FixtureRequest, tmp_path: Path, monkeypatch: pytest.MonkeyPatch
) -> Iterator[Path]:
    path = tmp_path / "records.sqlite3"
    monkeypatch.setenv("KUV_DATABASE", str(path))
    if request.param == "delete":
        yield path
        return
    # WAL mode sticks to the file; a reader kept open keeps the -wal file from being removed.
    with closing(sqlite3.connect(path)) as reader:
        reader.execute("PRAGMA journal_mode=WAL")
        reader.execute("CREATE TABLE IF NOT EXISTS keepalive (x)")
        reader.execute("SELECT * FROM keepalive").fetchall()
        yield path
        assert (tmp_path / "records.sqlite3-wal").exists()


@pytest.mark.parametrize("value", VALUES)
def test_the_scan_finds_plain_text(database: Path, value: str) -> None:
    # A value handed over as if it were a token is stored as given.
    Vault(encrypted_secret=value).save()
    assert holders(database, value)


def test_constructed_and_saved(database: Path) -> None:
    records = [Vault(secret=v, owner_name="ann", name=f"a.b.{i}") for i, v in enumerate(VALUES)]
    for record in records:
        record.save()
    for record, value in zip(records, VALUES):
        assert Vault.get_secret_from_id(record.id, "ann", "a.b") == value
    assert {v: holders(database, v) for v in VALUES} == {v: [] for v in VALUES}
    assert holders(database, records[0].id)  # the records themselves are there


def test_updated(database: Path) -> None:
    record = Vault(secret="first-plain-value-" + VALUES[2], name="a.b.c")
    record.save()
    for value in VALUES:
        record.update_secret(value)
        assert Vault.get_secret_from_id(record.id) == value
    old = "first-plain-value-" + VALUES[2]
    assert {v: holders(database, v) for v in [old, *VALUES]} == {v: [] for v in [old, *VALUES]}


def test_resolved_through_a_walk(database: Path, tmp_path: Path) -> None:
    plain = Vault(secret=VALUES[3], name="a.b.c")
    plain.save()
    in_file = Vault(secret=VALUES[1], is_file=True, file_path=str(tmp_path / "out"), file_name="f")
    in_file.save()
    config = {"a": [f"${{{{ {plain.id} }}}}", f"${{{{ {in_file.id} }}}}"]}
    assert Vault.secret_parser(config) == {"a": [VALUES[3], str(tmp_path / "out" / "f")]}
    # Resolution writes the file it was asked for and nothing back into the store.
    assert holders(database, VALUES[3]) == [] and holders(database, VALUES[1]) == []
