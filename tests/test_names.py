"""Names that mean one secret: an owner's names are unique, import's ids are its names, and get,
update and delete find a secret by owner and name."""

from __future__ import annotations

import io
import stat
from pathlib import Path
from typing import TYPE_CHECKING

import pytest
from test_cli import Realm, ref
from test_realm import host_put, listed

if TYPE_CHECKING:
    from conftest import Database

IMPORT = ("--owner", "o", "--name-prefix", "p.")


@pytest.fixture
def realm(tmp_path: Path, database: Database) -> Realm:
    realm = Realm(tmp_path)
    realm.env["KUV_DATABASE"] = database.url
    return realm


def stored(realm: Realm) -> dict[str, tuple[str, str, bytes]]:
    """Each secret's owner, name and value, by id."""
    rows = listed(realm)
    return {r["id"]: (r["owner_name"], r["name"], realm.run("get", r["id"]).stdout) for r in rows}


class TestPut:
    def test_an_owners_name_is_taken_once(self, realm: Realm) -> None:
        first = realm.put("v", "--owner", "o", "--name", "db")
        result = realm.run("put", "--owner", "o", "--name", "db", "--id", "x", stdin=b"w")
        assert (result.returncode, result.stdout) == (1, b"")
        said = f"owner o already has a secret named db: {first}; kuv-secrets update {first}"
        assert said.encode() in result.stderr
        # Another owner's name, or another name of the owner's, is free.
        realm.put("w", "--owner", "p", "--name", "db")
        realm.put("w", "--owner", "o", "--name", "db.2")
        assert stored(realm)[first] == ("o", "db", b"v") and len(stored(realm)) == 3

    def test_name_taken_while_the_value_is_read(self, realm: Realm) -> None:
        # Free when put looked first; taken when it stores: the store's own lock decides.
        class Typing(io.BytesIO):
            def read(self, size: int | None = -1) -> bytes:
                assert realm.run("put", "--owner", "o", "--name", "db", stdin=b"1").returncode == 0
                return b"2"

        result = realm.run("put", "--owner", "o", "--name", "db", stdin=Typing())
        assert result.returncode == 1 and b"already has a secret named db" in result.stderr
        assert [value for _, _, value in stored(realm).values()] == [b"1"]


class TestImport:
    @pytest.mark.parametrize(
        ("update", "status", "taken"),
        [
            ([], 1, ["1: A: taken by p.A (owner x", "2: B: taken by ", "4: C is set again"]),
            (["--update-existing"], 1, ["1: A: taken by p.A (owner x", "4: C is set again"]),
        ],
    )
    def test_any_collision_stores_nothing(
        self, realm: Realm, update: list[str], status: int, taken: list[str]
    ) -> None:
        realm.put("x", "--id", "p.A", "--owner", "x", "--name", "other")  # the id
        realm.put("b", "--owner", "o", "--name", "p.B")  # the owner's name
        before = stored(realm)
        result = realm.run("import", "-", *IMPORT, *update, stdin=b"A=1\nB=2\nC=3\nC=4\n")
        assert (result.returncode, result.stdout) == (status, b"")
        # Every collision is listed, each on its line.
        errors = [e for e in result.stderr.decode().splitlines() if "error: standard input:" in e]
        assert len(errors) == len(taken) and all(t in e for t, e in zip(taken, errors))
        assert b"nothing imported" in result.stderr and stored(realm) == before

    def test_update_existing_gives_the_owners_secrets_the_value(self, realm: Realm) -> None:
        first = realm.run("import", "-", *IMPORT, stdin=b"A=1\n")
        assert first.stdout == f"A={ref('p.A')}\n".encode()  # the name is the id
        other = realm.put("b", "--owner", "o", "--name", "p.B")  # stored by put: a random id
        again = realm.run("import", "-", *IMPORT, stdin=b"A=2\nB=3\nC=4\n")
        assert again.returncode == 1 and b"--update-existing" in again.stderr
        result = realm.run("import", "-", *IMPORT, "--update-existing", stdin=b"A=2\nB=3\nC=4\n")
        assert result.stdout == f"A={ref('p.A')}\nB={ref(other)}\nC={ref('p.C')}\n".encode()
        assert stored(realm) == {
            "p.A": ("o", "p.A", b"2"),
            other: ("o", "p.B", b"3"),
            "p.C": ("o", "p.C", b"4"),
        }
        assert f"B: secret {other} has the new value".encode() in result.stderr

    def test_update_existing_leaves_file_secrets(self, realm: Realm) -> None:
        realm.put("f", "--owner", "o", "--name", "p.F", "--file", "--file-name", "f")
        result = realm.run("import", "-", *IMPORT, "--update-existing", stdin=b"F=v\n")
        assert result.returncode == 1 and b"which import does not update" in result.stderr

    @pytest.mark.parametrize("text", ["", "\n# A=1\n", "A=\n", "H=$HOME\nR=${{ x }}\n"])
    def test_nothing_to_import(self, realm: Realm, text: str) -> None:
        existing = realm.put("v")
        (realm.root / "app.env").write_text(text)
        result = realm.run("import", "app.env", *IMPORT)
        assert (result.returncode, result.stdout) == (1, b"")
        said = b"app.env: nothing to import" + (b": it is empty" if not text else b"\n")
        assert said in result.stderr and list(stored(realm)) == [existing]

    @pytest.mark.parametrize("prefix", [" p.", "p}}.", "${{", "\t"])
    def test_prefix_must_make_ids_a_reference_can_name(self, realm: Realm, prefix: str) -> None:
        result = realm.run("import", "-", "--owner", "o", "--name-prefix", prefix, stdin=b"A=1")
        assert result.returncode == 2 and b"cannot stand in a reference" in result.stderr

    def test_output_file(self, realm: Realm) -> None:
        existing = realm.put("v")
        app = realm.root / "app.env"
        app.write_text("A=1\n")
        refused = realm.run("import", "app.env", *IMPORT, "-o", "app.env")
        assert refused.returncode == 1 and b"--force" in refused.stderr
        unwritable = realm.run("import", "app.env", *IMPORT, "-o", "no/such/dir")
        assert unwritable.returncode == 1 and b"no/such/dir" in unwritable.stderr
        assert list(stored(realm)) == [existing]  # neither stored anything
        result = realm.run("import", "app.env", *IMPORT, "-o", "app.env", "--force")
        assert (result.returncode, result.stdout) == (0, b"")
        assert app.read_text() == f"A={ref('p.A')}\n" and stat.S_IMODE(app.stat().st_mode) == 0o600


class TestByName:
    @pytest.mark.parametrize(
        ("args", "status", "said"),
        [
            (["get", "--name", "db", "--owner", "o"], 0, ""),
            (["get", "--name", "db", "--owner", "o", "--prefix", "x."], 4, "Name prefix"),
            (["get", "--name", "db", "--owner", "p"], 4, "secret not found: owner p has none"),
            (["get", "--name", "nope", "--owner", "o"], 4, "secret not found"),
            (["get", "{id}", "--owner", "p"], 4, "Owner name of secret doesn't match"),
            (["get", "{id}", "--name", "db", "--owner", "o"], 2, "either an ID or --name"),
            (["get", "--name", "db"], 2, "--name needs --owner"),
            (["get"], 2, "either an ID or --name"),
            (["update", "--name", "nope", "--owner", "o"], 4, "secret not found"),
            (["update", "{id}", "--owner", "o"], 2, "--owner goes with --name"),
            (["delete", "--name", "nope", "--owner", "o"], 4, "secret not found"),
            (["delete", "{id}", "--name", "db", "--owner", "o"], 2, "either an ID or --name"),
            (["delete"], 2, "either an ID or --name"),
        ],
    )
    def test_selection(self, realm: Realm, args: list[str], status: int, said: str) -> None:
        secret_id = realm.put("v", "--owner", "o", "--name", "db")
        result = realm.run(*(a.format(id=secret_id) for a in args), stdin=b"new")
        assert result.returncode == status and said in result.stderr.decode()
        assert result.stdout == (b"v" if status == 0 else b"")
        assert stored(realm) == {secret_id: ("o", "db", b"v")}

    def test_update_and_delete(self, realm: Realm) -> None:
        secret_id = realm.put("v", "--owner", "o", "--name", "db")
        other = realm.put("w", "--owner", "p", "--name", "db")
        update = realm.run("update", "--name", "db", "--owner", "o", stdin=b"new")
        assert update.returncode == 0 and stored(realm)[secret_id][2] == b"new"
        delete = realm.run("delete", "--name", "db", "--owner", "o")
        assert delete.returncode == 0 and f"deleted {secret_id}\n".encode() in delete.stderr
        assert list(stored(realm)) == [other]

    def test_a_name_hosts_stored_twice_needs_the_id(self, realm: Realm) -> None:
        ids = sorted(host_put(realm, "db", realm.key) for _ in range(2))
        result = realm.run("get", "--name", "db", "--owner", "o")
        assert result.returncode == 1
        assert f"several secrets named db: {', '.join(ids)}; give the id".encode() in result.stderr
