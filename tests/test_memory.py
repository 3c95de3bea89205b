"""The realm's memory: versions and rollback, delivered files that follow the secret on every
host, and the audit trail, on both engines."""

from __future__ import annotations

import json
import signal
import subprocess
import sys
from pathlib import Path
from typing import Any

import kuv_store
import pytest
from conftest import Database
from cryptography.fernet import Fernet
from kuv_meta import using
from test_cli import KEY_VAR, Realm
from test_realm import OWNED, key_file

from kuv_secrets.realm.records import record_class

from support import default_signals

FILE = ("--file", "--file-path", ".", "--file-name", "k")


@pytest.fixture
def realm(tmp_path: Path, database: Database) -> Realm:
    (tmp_path / "a").mkdir()
    return Realm(tmp_path / "a", database.url)


def host(realm: Realm, name: str) -> Realm:
    """Another host of the same realm: its own folder, the same store and key."""
    (realm.root.parent / name).mkdir()
    other = Realm(realm.root.parent / name, realm.env["KUV_DATABASE"])
    other.key, other.env[KEY_VAR] = realm.key, realm.key
    return other


def history(realm: Realm, secret_id: str) -> list[tuple[int, bool]]:
    rows = json.loads(realm.run("history", secret_id, "--format", "json").stdout)
    return [(row["version"], row["current"]) for row in rows]


def events(realm: Realm, *args: str) -> list[tuple[str, str]]:
    rows = json.loads(realm.run("log", "--format", "json", *args).stdout)
    return [(row["command"], row["outcome"]) for row in rows]


def sql(realm: Realm, statement: str) -> int:
    with using(realm.env["KUV_DATABASE"]):
        return kuv_store.run(True, lambda store: store.change(statement))


def test_versions_rollback_and_check_and_set(realm: Realm) -> None:
    secret_id = realm.put("v1", *OWNED)
    for value in ("v2", "v3"):
        assert realm.run("update", secret_id, stdin=value.encode()).returncode == 0
    assert history(realm, secret_id) == [(1, False), (2, False), (3, True)]
    assert realm.run("rollback", secret_id, "--to", "1").returncode == 0
    assert realm.run("get", secret_id).stdout == b"v1"
    assert history(realm, secret_id)[-1] == (4, True)
    stale = realm.run("update", secret_id, "--if-version", "3", stdin=b"lost")
    assert stale.returncode == 1 and b"is at version 4, not 3; nothing changed" in stale.stderr
    assert realm.run("update", secret_id, "--if-version", "4", stdin=b"v5").returncode == 0
    assert realm.run("get", secret_id).stdout == b"v5"
    shown = realm.run("history", secret_id).stdout + realm.run("log").stdout
    assert not any(value in shown for value in (b"v1", b"v3", b"v5", b"lost"))


def test_a_new_secret_under_an_old_id_starts_afresh(realm: Realm) -> None:
    secret_id = realm.put("old", *OWNED)
    with using(realm.env["KUV_DATABASE"]):
        record_class(realm.key).load(secret_id).delete()  # a host deletes it, versions stay
    assert realm.put("new", *OWNED, "--id", secret_id) == secret_id
    assert history(realm, secret_id) == [(1, True)]


def test_retention(realm: Realm) -> None:
    secret_id = realm.put("v0", *OWNED)
    for n in range(1, 12):
        assert realm.run("update", secret_id, stdin=f"v{n}".encode()).returncode == 0
    assert [n for n, _ in history(realm, secret_id)] == list(range(3, 13))
    assert realm.run("retention", "2").returncode == 0
    assert realm.run("retention").stdout == b"2\n"
    assert [n for n, _ in history(realm, secret_id)] == [11, 12]
    gone = realm.run("rollback", secret_id, "--to", "3")
    assert gone.returncode == 4 and b"no longer kept: the store keeps the newest 2" in gone.stderr


@pytest.mark.parametrize(
    ("args", "status", "said"),
    [
        (["rollback", "{id}", "--to", "9"], 4, b"has no version 9: the newest is 2"),
        (["rollback", "{id}", "--to", "2"], 1, b"is the current value"),
        (["rollback", "nope", "--to", "1"], 4, b"secret id not found"),
        (["rollback", "{id}", "--to", "0"], 2, b"not a version number"),
        (["update", "{id}", "--if-version", "x"], 2, b"not a version number"),
        (["history", "nope"], 4, b"secret id not found"),
        (["log", "--id", "nope"], 4, b"no events, and no secret"),
        (["log", "--since", "yesterday"], 2, b"give a date"),
        (["log", "--since", "2026-13-01"], 2, b"give a date"),
        (["log", "--since", "9" * 30 + "d"], 2, b"give a date"),
        (["log", "--since", "0001-01-01T00:00:00+01:00"], 2, b"give a date"),
        (["retention", "0"], 2, b"not a version number"),
    ],
)
def test_bad_input_changes_nothing(realm: Realm, args: list[str], status: int, said: bytes) -> None:
    secret_id = realm.put("v1", *OWNED)
    realm.run("update", secret_id, stdin=b"v2")
    result = realm.run(*(arg.format(id=secret_id) for arg in args), stdin=b"v3")
    assert (result.returncode, said in result.stderr) == (status, True), result.stderr
    assert realm.run("get", secret_id).stdout == b"v2"
    assert history(realm, secret_id) == [(1, False), (2, True)]


def test_the_trail_holds_every_request_and_no_value(realm: Realm) -> None:
    secret_id = realm.put("pa55-value", *OWNED)
    (realm.root / "c.yaml").write_text(f"a: ${{{{ {secret_id} }}}}\n")
    session = [
        (["get", secret_id], 0),
        (["update", secret_id], 0),
        (["render", "c.yaml"], 0),
        (["get", secret_id, "--owner", "other"], 4),
        (["get", "missing"], 4),
        (["run", "true"], 0),
        (["--key-file", key_file(realm, Fernet.generate_key().decode()), "get", secret_id], 3),
        (["delete", secret_id], 0),
    ]
    for args, status in session:
        assert (
            realm.run(*args, stdin=b"n3w-value", A=f"${{{{ {secret_id} }}}}").returncode == status
        )
    assert realm.run("get", secret_id, **{KEY_VAR: Fernet.generate_key().decode()}).returncode == 4
    assert events(realm, "--id", secret_id) == [
        ("put", "ok"),
        ("get", "ok"),
        ("update", "ok"),
        ("render", "ok"),
        ("get", "denied"),
        ("run", "ok"),
        ("get", "key error"),
        ("delete", "ok"),
        ("get", "not found"),
    ]
    assert events(realm, "--id", "missing") == [("get", "not found")]
    assert events(realm, "--since", "1h")[0] == events(realm, "--since", "0999-01-01")[0]
    assert events(realm, "--since", "2999-01-01") == []
    dumped = realm.run("export", "-o", "-").stdout + realm.run("log").stdout
    assert b"pa55" not in dumped and b"n3w" not in dumped and realm.key.encode() not in dumped
    for statement in ("UPDATE kuv_events SET outcome = 'ok'", "DELETE FROM kuv_events"):
        with pytest.raises(Exception, match="append-only"):
            sql(realm, statement)


def test_a_trail_that_cannot_be_written_fails_the_command(realm: Realm) -> None:
    secret_id = realm.put("v1", *OWNED)
    if realm.env["KUV_DATABASE"].startswith("postgresql"):
        sql(
            realm,
            "CREATE FUNCTION refuse() RETURNS trigger LANGUAGE plpgsql AS "
            "$$ BEGIN RAISE EXCEPTION 'disk full'; END $$; CREATE TRIGGER refusing BEFORE INSERT "
            "ON kuv_events FOR EACH ROW EXECUTE FUNCTION refuse()",
        )
    else:
        sql(
            realm,
            "CREATE TRIGGER refusing BEFORE INSERT ON kuv_events BEGIN SELECT RAISE(ABORT, 'disk full'); END",
        )
    (realm.root / "c.yaml").write_text(f"a: ${{{{ {secret_id} }}}}\n")
    for read in (realm.run("get", secret_id), realm.run("check", "c.yaml")):
        assert (read.returncode, read.stdout) == (1, b"")
        assert b"the audit trail could not be written" in read.stderr
    assert realm.run("update", secret_id, stdin=b"v2").returncode == 1
    assert realm.run("rollback", secret_id, "--to", "1").returncode == 1
    sql(
        realm,
        "DROP TRIGGER refusing"
        + (" ON kuv_events" if "postgresql" in realm.env["KUV_DATABASE"] else ""),
    )
    assert realm.run("get", secret_id).stdout == b"v1"
    assert history(realm, secret_id) == [(1, True)]


def test_export_restore_and_rotate_carry_the_memory(realm: Realm, tmp_path: Path) -> None:
    secret_id = realm.put("v1", *OWNED)
    realm.run("update", secret_id, stdin=b"v2")
    new_key = Fernet.generate_key().decode()
    assert realm.run("rotate", "--new-key-file", key_file(realm, new_key)).returncode == 0
    realm.key = realm.env[KEY_VAR] = new_key
    assert realm.run("export", "-o", "b.jsonl").returncode == 0
    again = str(tmp_path / "again.sqlite3")
    assert realm.run("init", KUV_DATABASE=again).returncode == 0
    assert realm.run("restore", "b.jsonl", KUV_DATABASE=again).returncode == 0
    realm.env["KUV_DATABASE"] = again
    assert history(realm, secret_id) == [(1, False), (2, True)]
    assert events(realm, "--id", secret_id) == [
        ("put", "ok"),
        ("update", "ok"),
        ("rotate", "ok"),
        ("restore", "ok"),  # the export's own event came after what it wrote
    ]
    assert realm.run("rollback", secret_id, "--to", "1").returncode == 0
    assert realm.run("get", secret_id).stdout == b"v1"


@pytest.mark.parametrize("reader", [["get", "{id}"], ["render", "c.txt"], ["run", "cat", "k"]])
def test_a_file_follows_the_secret_on_every_host(realm: Realm, reader: list[str]) -> None:
    other = host(realm, "b")
    secret_id = realm.put("v1", *OWNED, *FILE)
    (other.root / "c.txt").write_text(f"${{{{ {secret_id} }}}}")
    assert other.run("get", secret_id).returncode == 0
    assert realm.run("update", secret_id, stdin=b"v2").returncode == 0
    args = [arg.format(id=secret_id) for arg in reader]
    result = other.run(*args, A=f"${{{{ {secret_id} }}}}")
    assert result.returncode == 0, result.stderr
    assert b"held version 1 of" in result.stderr and (other.root / "k").read_bytes() == b"v2"
    # Another file there is not the secret's: refused, as ever.
    (other.root / "k").write_bytes(b"not ours")
    realm.run("update", secret_id, stdin=b"v3")
    assert other.run(*args, A=f"${{{{ {secret_id} }}}}").returncode == 1
    assert (other.root / "k").read_bytes() == b"not ours"


def test_two_host_processes_update_and_render_in_turn(realm: Realm) -> None:
    hosts = [realm, host(realm, "b")]
    secret_id = realm.put("v0", *OWNED, *FILE)
    for turn in range(1, 4):
        writer = hosts[turn % 2]
        assert writer.spawn("update", secret_id, stdin=f"v{turn}".encode()).returncode == 0
        for each in hosts:
            (each.root / "c.txt").write_text(f"${{{{ {secret_id} }}}}")
            rendered = each.spawn("render", "c.txt")
            assert rendered.stdout == b"./k", rendered.stderr
            assert (each.root / "k").read_bytes() == f"v{turn}".encode()


# The command run with the store's COMMIT killing the process just before or just after it.
_KILLED = """\
import os, signal, sys, kuv_store
from kuv_secrets import cli
commit = kuv_store._commit
def killing(handle):
    if sys.argv[1] == "after":
        commit(handle)
    os.kill(os.getpid(), signal.SIGKILL)
kuv_store._commit = killing
cli.main(sys.argv[2:])
"""


@pytest.mark.parametrize("moment", ["before", "after"])
@pytest.mark.parametrize("command", [["update", "{id}"], ["rollback", "{id}", "--to", "1"]])
def test_killed_at_the_commit_leaves_all_or_nothing(
    realm: Realm, command: list[str], moment: str
) -> None:
    secret_id = realm.put("v1", *OWNED)
    realm.run("update", secret_id, stdin=b"v2")
    args = [arg.format(id=secret_id) for arg in command]
    killed = subprocess.run(
        [sys.executable, "-c", _KILLED, moment, *args],
        input=b"v3",
        env=realm.env,
        cwd=realm.root,
        capture_output=True,
        timeout=60,
        preexec_fn=default_signals,
        check=False,
    )
    assert killed.returncode == -signal.SIGKILL
    done = moment == "after"
    changed = {"update": b"v3", "rollback": b"v1"}[command[0]]
    assert realm.run("get", secret_id).stdout == (changed if done else b"v2")
    assert history(realm, secret_id) == [(1, False), (2, not done)] + [(3, True)] * done
    logged: list[Any] = events(realm, "--id", secret_id)
    assert logged[2:-1] == [(command[0], "ok")] * done
