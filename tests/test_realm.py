"""Commands on the whole realm: list, delete, import, update of file secrets, key files."""

from __future__ import annotations

import io
import json
import os
import re
import stat
import subprocess
from pathlib import Path
from typing import TYPE_CHECKING, Any

import pytest
from kuv_fields import BooleanField
from kuv_meta import VirtualWorker, using
from test_cli import KEY_VAR, Realm, ref

from kuv_secrets.realm.records import record_class

if TYPE_CHECKING:
    from conftest import Database

OWNED = ("--owner", "o")  # Realm.put names each secret anew: an owner's names are unique
FIELDS = {"id", "owner_name", "name", "is_file", "file_path", "file_name"}
ENV_FILE = (
    '# c\r\nexport A=\'p w#1\' # n\nE=\nR=x${{ i }}\n\nT="a\\"b"\n'
    # Bash reads more than their text into these: stored, they would mean another thing.
    'D="pg://${USER}:s@db"\nH=$HOME/x\nF=a\\ b\nG=`echo hi`\nK=~/k\nS= :\n'
    'Q="\\$q\\`\\\\" # q\nB=v'
)
LEFT = [(4, "R"), (7, "D"), (8, "H"), (9, "F"), (10, "G"), (11, "K"), (12, "S"), (13, "Q")]


@pytest.fixture
def realm(tmp_path: Path, database: Database) -> Realm:
    realm = Realm(tmp_path)
    realm.env["KUV_DATABASE"] = database.url
    return realm


def listed(realm: Realm, *args: str) -> list[dict[str, Any]]:
    rows: list[dict[str, Any]] = json.loads(realm.run("list", "--format", "json", *args).stdout)
    return rows


def host_put(realm: Realm, name: str, key: str) -> str:
    """A secret stored by a host through the module, as the command line would not store it."""
    with using(realm.env["KUV_DATABASE"]):
        record = record_class(key)(secret="b", owner_name="o", name=name)
        record.save()
    return record.id


def foreign(path: Path) -> None:
    """A file of another user's, holding the secret's value: never ours to replace or remove."""
    if os.geteuid() != 0:
        pytest.skip("only root can give a file to another user")
    path.write_text("v")
    path.chmod(0o600)
    os.chown(path, 65534, 65534)


def holding(value: str, mode: int = 0o600) -> Any:
    def place(path: Path) -> None:
        path.write_text(value)
        path.chmod(mode)

    return place


# What may stand where a file secret with the value "v" is delivered, and the status of a
# command that would remove or replace it: only the secret's own file is touched.
DELIVERED = [
    pytest.param(holding("v"), 0, id="its-own"),
    pytest.param(holding("v", 0o644), 0, id="its-own-readable"),
    pytest.param(lambda p: None, 0, id="none"),
    pytest.param(holding("v", 0o664), 1, id="group-writable"),
    pytest.param(holding(""), 1, id="other-value"),
    pytest.param(lambda p: p.symlink_to(p.parent), 1, id="symlink"),
    pytest.param(Path.mkdir, 1, id="directory"),
    pytest.param(foreign, 1, id="another-users"),
]


def key_file(realm: Realm, key: str, mode: int = 0o600) -> str:
    (realm.root / "new.key").write_text(key)
    (realm.root / "new.key").chmod(mode)
    return "new.key"


class TestList:
    @pytest.mark.parametrize(
        ("args", "names"),
        [
            ([], ["a\\nb", "dev.x", "p.f"]),
            (["--owner", "a"], ["p.f"]),
            (["--prefix", "d"], ["dev.x"]),
        ],
    )
    def test_rows(self, realm: Realm, args: list[str], names: list[str]) -> None:
        realm.put("v1", "--owner", "a", "--name", "p.f", "--file", "--file-name", "k")
        realm.put("v2", "--owner", "b", "--name", "dev.x")
        # No control character reaches the terminal.
        realm.put("v3", "--owner", "c", "--name", "a\nb")
        rows = [{**r, "name": r["name"].replace("\n", "\\n")} for r in listed(realm, *args)]
        assert sorted(row["name"] for row in rows) == names and all(set(r) == FIELDS for r in rows)
        assert [row["id"] for row in rows] == sorted(row["id"] for row in rows)
        kind = {False: ["value"], True: ["file", "./k"]}
        table = realm.run("list", *args).stdout.decode()
        assert [line.split() for line in table.splitlines()] == [
            ["ID", "OWNER", "NAME", "KIND", "FILE"],
            *([r["id"], r["owner_name"], r["name"], *kind[r["is_file"]]] for r in rows),
        ]
        assert "v1" not in table + str(rows) and "gAAAA" not in table + str(rows)

    def test_undecodable_name_keeps_the_listing(self, realm: Realm) -> None:
        host_put(realm, "n\udc9b", realm.key)  # bytes a host took from a file name
        assert [row["name"] for row in listed(realm)] == ["n\udc9b"]


class TestDelete:
    def test_all_or_nothing(self, realm: Realm) -> None:
        assert realm.run("delete", "x").returncode == 4
        first, second = realm.put("v", *OWNED), realm.put("w", *OWNED)
        result = realm.run("delete", first, "no-such-id", second)
        assert result.returncode == 4 and b"no-such-id" in result.stderr
        assert len(listed(realm)) == 2
        assert realm.run("delete", first, second, first).returncode == 0
        assert listed(realm) == []
        # A file named anew at each use (no such put from the command line) can't be found.
        secret: Any = type("Secrets", (VirtualWorker,), {"is_file": BooleanField()})
        anonymous = secret(is_file=True)
        anonymous.save()
        result = realm.run("delete", "--remove-file", anonymous.id)
        assert result.returncode == 1 and b"left in place" in result.stderr

    @pytest.mark.parametrize(
        ("options", "delivered", "said"),
        [
            ([], False, ""),
            ([], True, "; its file out/k stays; --remove-file removes it"),
            (["--remove-file"], True, ""),
        ],
    )
    def test_each_deletion_is_reported(
        self, realm: Realm, options: list[str], delivered: bool, said: str
    ) -> None:
        plain = realm.put("v", *OWNED)
        secret_id = realm.put("v", *OWNED, "--file", "--file-path", "out", "--file-name", "k")
        if delivered:
            assert realm.run("get", secret_id).returncode == 0
        result = realm.run("delete", *options, plain, secret_id)
        assert (result.returncode, result.stdout) == (0, b"")
        assert result.stderr.decode().splitlines() == [
            f"kuv-secrets: note: deleted {plain}",
            f"kuv-secrets: note: deleted {secret_id}{said}",
        ]
        assert (realm.root / "out" / "k").exists() == bool(said)

    @pytest.mark.parametrize(("place", "status"), DELIVERED)
    def test_remove_file(self, realm: Realm, place: Any, status: int) -> None:
        secret_id = realm.put("v", *OWNED, "--file", "--file-path", "out", "--file-name", "k")
        (realm.root / "out").mkdir()
        place(realm.root / "out" / "k")
        result = realm.run("delete", "--remove-file", secret_id)
        assert result.returncode == status and listed(realm) == []
        assert os.path.lexists(realm.root / "out" / "k") == bool(status)
        assert not status or b"deleted 1 secrets, but: out/k: " in result.stderr


def test_import_replaces_values_by_references(realm: Realm) -> None:
    (realm.root / "app.env").write_bytes(ENV_FILE.encode())
    with open("/dev/full", "wb") as full:
        lost = realm.run("import", "app.env", "--owner", "o", "--name-prefix", "p.", stdout=full)
    assert lost.returncode == 1 and listed(realm) == []  # undelivered references aren't kept
    result = realm.run("import", "app.env", "--owner", "o", "--name-prefix", "p.")
    rows = {row["name"]: row["id"] for row in listed(realm, "--owner", "o")}
    values = {name: realm.run("get", i).stdout for name, i in rows.items()}
    assert values == {"p.A": b"p w#1", "p.T": b'a"b', "p.B": b"v"}
    expected = ENV_FILE.replace("'p w#1'", ref(rows["p.A"])).replace('"a\\"b"', ref(rows["p.T"]))
    assert result.stdout.decode() == expected.replace("B=v", "B=" + ref(rows["p.B"]))
    notes = re.findall(r"note: app\.env:(\d+): (\w+) left as is", result.stderr.decode())
    assert [(int(line), name) for line, name in notes] == LEFT
    assert not re.search(rb"pg:|HOME|echo|~|\\", result.stderr)  # no value in a note
    # What bash reads from the file is what it reads after render (the broken reference aside).
    out = result.stdout.replace(b"R=x${{ i }}\n", b"")
    (realm.root / "out.env").write_bytes(out)
    refused = realm.run("render", "out.env")  # F=a\ b comes before the last reference
    assert (refused.returncode, refused.stdout) == (1, b"")
    assert b"out.env:8: this line is outside the dotenv subset" in refused.stderr
    head, _, last = out.rpartition(b"\n")
    (realm.root / "out.env").write_bytes(last + b"\n" + head)
    (realm.root / "back.env").write_bytes(realm.run("render", "out.env").stdout)
    text_head, _, text_last = ENV_FILE.replace("R=x${{ i }}\n", "").rpartition("\n")
    (realm.root / "app.env").write_text(text_last + "\n" + text_head)
    names = " ".join(f'"${{{name}-unset}}"' for name in "AETDHFGKSQB")
    script = f'set -a; . ./"$0"; printf "%s\\0" {names}'
    env = {"PATH": os.environ["PATH"], "HOME": "/h", "USER": "u"}
    read = [
        subprocess.run(
            ["bash", "-c", script, f], cwd=realm.root, env=env, capture_output=True, check=True
        ).stdout
        for f in ("app.env", "back.env")
    ]
    assert read[0] == read[1] and b"pg://u:s@db\0/h/x\0a b\0hi\0/h/k\0" in read[1]


def test_update_keeps_a_secret_deleted_meanwhile(realm: Realm) -> None:
    secret_id = realm.put("v", *OWNED)

    class Typing(io.BytesIO):
        def read(self, size: int | None = -1) -> bytes:
            # Deleted once the record is loaded and the value is awaited.
            assert realm.run("delete", secret_id).returncode == 0
            return b"new"

    result = realm.run("update", secret_id, stdin=Typing())
    assert result.returncode == 4 and b"secret id not found" in result.stderr
    assert listed(realm) == []


class TestUpdateFileSecret:
    @pytest.mark.parametrize(("place", "status"), DELIVERED)
    def test_only_its_own_file_is_replaced(self, realm: Realm, place: Any, status: int) -> None:
        secret_id = realm.put("v", *OWNED, "--file", "--file-path", "out", "--file-name", "k")
        (realm.root / "out").mkdir()
        place(realm.root / "out" / "k")
        before = (realm.root / "out" / "k").lstat() if status else None
        result = realm.run("update", secret_id, stdin=b"new")
        assert result.returncode == status
        if status:
            assert b"the secret is updated, but its file out/k " in result.stderr
            assert (realm.root / "out" / "k").lstat() == before
        elif os.path.lexists(realm.root / "out" / "k"):
            assert (realm.root / "out" / "k").read_text() == "new"

    def test_delivered_file_is_replaced(self, realm: Realm) -> None:
        secret_id = realm.put("old", *OWNED, "--file", "--file-path", "out", "--file-name", "k")
        assert realm.run("get", secret_id).returncode == 0
        (realm.root / "out" / "k").chmod(0o644)
        assert realm.run("update", secret_id, stdin="néw".encode()).returncode == 0
        assert (realm.root / "out" / "k").read_text() == "néw"
        assert stat.S_IMODE((realm.root / "out" / "k").stat().st_mode) == 0o600
        assert realm.run("get", secret_id).stdout == b"out/k"

    def test_failed_file_step_is_reported(self, realm: Realm) -> None:
        secret_id = realm.put("old", *OWNED, "--file", "--file-name", "k")
        (realm.root / "k").mkdir()
        result = realm.run("update", secret_id, stdin=b"new")
        said = b"updated, but its file ./k was not replaced: Is a directory"
        assert result.returncode == 1 and said in result.stderr
        (realm.root / "k").rmdir()
        assert (realm.root / realm.run("get", secret_id).stdout.decode()).read_text() == "new"


class TestGlobalOptions:
    def test_version(self, realm: Realm) -> None:
        assert realm.run("--version").stdout.startswith(b"kuv-secrets 0.")

    @pytest.mark.parametrize(
        ("mode", "status"),
        [(0o400, 0), (0o604, 3), (0o620, 3), ("dir", 3), ("fifo", 3), ("foreign", 3)],
    )
    def test_key_file(self, realm: Realm, mode: int | str, status: int) -> None:
        secret_id = realm.put("v", *OWNED)
        realm.env[KEY_VAR] = ""
        if isinstance(mode, int):
            path = key_file(realm, realm.key + "\n", mode)
        elif mode == "foreign":
            path = key_file(realm, realm.key)
            foreign_key = realm.root / path
            foreign(foreign_key)
            foreign_key.write_text(realm.key)
        else:  # a FIFO without a writer must not be waited on
            (os.mkfifo if mode == "fifo" else os.mkdir)(realm.root / "new.key")
            path = "new.key"
        result = realm.run("--key-file", path, "get", secret_id)
        assert (result.returncode, b"new.key" in result.stderr) == (status, bool(status))
        child = realm.run("--key-file", path, "run", "--", "sh", "-c", "env > child.env")
        assert child.returncode == status
        if not status:
            assert realm.key not in (realm.root / "child.env").read_text()
