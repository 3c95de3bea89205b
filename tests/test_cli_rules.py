"""The command line's copies of the module's rules agree with the module itself: reference
pairing, where the realm key comes from, and which of its failures means which exit status."""

from __future__ import annotations

import os
from pathlib import Path
from typing import Any

import pytest
from cryptography.fernet import Fernet
from hypothesis import given
from hypothesis import strategies as st

from kuv_secrets import secrets
from kuv_secrets.cli.status import describe
from kuv_secrets.realm import keys
from kuv_secrets.realm.records import record_class
from kuv_secrets.render.scan import references

# Marker pieces, so that hypothesis meets pairings, nestings and near misses often.
PIECES = st.sampled_from(["${{", "}}", "$", "{", "}", " ", "\t", "a", "é", "\n", "${", "{{"])


@given(st.lists(PIECES, max_size=24).map("".join))
def test_scanner_pairs_as_the_composer_does(text: str) -> None:
    ids: list[str] = []
    composed = secrets.Secrets.secret_composer(text, lambda i, o, p: ids.append(i) or f"<{i}>")
    found = references(text)
    assert [r.secret_id for r in found if r.secret_id is not None] == ids
    # Replacing each complete span by its value gives what the composer gives.
    pieces, at = [], 0
    for ref in found:
        if ref.secret_id is not None:
            pieces += [text[at : ref.start], f"<{ref.secret_id}>"]
            at = ref.end
    assert "".join(pieces) + text[at:] == composed
    assert all(text.startswith("${{", r.start) for r in found)


@pytest.mark.parametrize(
    ("env", "variable", "file"),
    [
        ({}, "KUV_TOP_SECRET", "/run/secrets/kuv_top_secret"),
        ({"KUV_SECRET_NAME": "Top_Key"}, "TOP_KEY", "/run/secrets/top_key"),
        ({"KUV_SECRET_NAME": "a/b"}, "A/B", "/run/secrets/a/b"),
        ({"KUV_SECRET_NAME": ""}, "", "/run/secrets/"),
    ],
)
def test_key_names_are_the_modules(
    env: dict[str, str], variable: str, file: str, monkeypatch: pytest.MonkeyPatch
) -> None:
    name = keys.key_name(env)
    assert (keys.key_variable(name), keys.secret_file(name)) == (variable, file)
    # The module finds the key the command line finds, from the same environment.
    for value in ("k3y", " spaced\n"):
        given = dict(env)
        if variable:  # no process can set a variable with an empty name
            monkeypatch.setenv(variable, value)
            given[variable] = value
        assert keys.realm_key(given) == secrets.get_top_secret(name)


def _failure(run: Any) -> BaseException:
    try:
        run()
    except Exception as exc:  # noqa: BLE001 - the failure under test
        return exc
    raise AssertionError("no failure")


@pytest.fixture
def stored(tmp_path: Path, monkeypatch: pytest.MonkeyPatch) -> Any:
    monkeypatch.setenv("KUV_DATABASE", str(tmp_path / "db.sqlite3"))
    monkeypatch.chdir(tmp_path)
    records = record_class(Fernet.generate_key().decode())
    plain = records(secret="v", owner_name="ann", name="prod.db")
    plain.save()
    delivered = records(secret="v", owner_name="ann", name="prod.f", is_file=True, file_name="f")
    delivered.save()
    (tmp_path / "f").write_text("other")
    return records, plain.id, delivered.id


@pytest.mark.parametrize(
    ("case", "status", "said"),
    [
        (lambda r, p, f: r.get_secret_from_id("missing"), 4, "secret id not found"),
        (lambda r, p, f: r.get_secret_from_id(p, "bob"), 4, "Owner name of secret"),
        (lambda r, p, f: r.get_secret_from_id(p, "", "dev."), 4, "Name prefix of secret"),
        (lambda r, p, f: record_class("").get_secret_from_id(p), 3, "Fernet key must be"),
        (lambda r, p, f: record_class("x" * 44).get_secret_from_id(p), 3, "Fernet key must be"),
        (
            lambda r, p, f: record_class(Fernet.generate_key().decode()).get_secret_from_id(p),
            3,
            "does not open",
        ),
        (lambda r, p, f: r.get_secret_from_id(f), 1, "Impossible to overwrite an existed file"),
    ],
)
def test_statuses_of_the_modules_own_failures(
    stored: Any, case: Any, status: int, said: str
) -> None:
    exc = _failure(lambda: case(*stored))
    assert said in str(exc) or said in describe(exc)[1]
    assert describe(exc)[0] == status


def test_the_modules_class_keeps_its_key() -> None:
    before = secrets.Secrets.top_secret
    records = record_class("another")
    assert (records.top_secret, secrets.Secrets.top_secret) == ("another", before)
    assert issubclass(records, secrets.Secrets) and records.__name__ == "Secrets"
    assert os.environ.get("KUV_TOP_SECRET") != "another"


@pytest.mark.parametrize("command", [["delete", "--remove-file"], ["update"]])
def test_a_file_swapped_in_after_the_check_is_left_alone(
    tmp_path: Path, monkeypatch: pytest.MonkeyPatch, command: list[str]
) -> None:
    from test_cli import PUT, Realm

    from kuv_secrets.files import trust

    realm = Realm(tmp_path)
    secret_id = realm.put("v", *PUT, "--file", "--file-name", "k")
    (tmp_path / "k").write_text("v")
    (tmp_path / "k").chmod(0o600)
    checked = trust.holds

    def swapping(path: str, expected: bytes) -> bool:
        found = checked(path, expected)
        os.rename(path, tmp_path / "moved")
        (tmp_path / "k").write_text("someone else's")
        return found

    monkeypatch.setattr(trust, "holds", swapping)
    result = realm.run(*command, secret_id, stdin=b"new")
    assert result.returncode == 1 and b"It was replaced while it was checked" in result.stderr
    assert (tmp_path / "k").read_text() == "someone else's"


@pytest.mark.parametrize(
    ("make", "said"),
    [
        (os.mkfifo, "not a regular file"),  # a FIFO without a writer is never waited on
        (lambda p: p.symlink_to("/dev/zero"), "not a regular file"),
        (lambda p: p.write_bytes(b" " * 70_000 + b"x"), "too large to hold a realm key"),
        (lambda p: p.write_bytes(b"\xff"), "not UTF-8"),
    ],
)
def test_container_key_files_that_hold_no_key(
    tmp_path: Path, monkeypatch: pytest.MonkeyPatch, make: Any, said: str
) -> None:
    from test_cli import Realm

    monkeypatch.setattr(keys, "SECRETS_DIR", f"{tmp_path}/")
    make(tmp_path / "kuv_top_secret")
    (tmp_path / "realm").mkdir()
    realm = Realm(tmp_path / "realm")
    del realm.env["KUV_SECRET_NAME"]  # the default name, whose variable the realm doesn't set
    result = realm.run("get", "x")
    assert result.returncode == 3 and said in result.stderr.decode()
