"""Resolving a secret id: scope checks, decryption, and file secrets."""

from __future__ import annotations

import contextlib
import os
import re
import socket
import threading
import uuid
from collections.abc import Callable
from pathlib import Path
from types import SimpleNamespace
from typing import Any, ClassVar

import pytest
from cryptography.fernet import Fernet, InvalidToken

from kuv_secrets import secrets

KEY = Fernet.generate_key().decode()
UUID4 = re.compile(r"[0-9a-f]{8}-[0-9a-f]{4}-4[0-9a-f]{3}-[89ab][0-9a-f]{3}-[0-9a-f]{12}")


class Vault(secrets.Secrets):
    top_secret = KEY


def store(value: str, **fields: Any) -> str:
    token = Fernet(KEY.encode()).encrypt(value.encode()).decode()
    record = Vault(encrypted_secret=token, **fields)
    record.save()
    return record.id


def on_disk(value: str) -> bytes:
    return value.encode("utf-8")


@pytest.fixture(autouse=True)
def db(tmp_path: Path, monkeypatch: pytest.MonkeyPatch) -> Path:
    path = tmp_path / "records.sqlite3"
    monkeypatch.setenv("KUV_DATABASE", str(path))
    path.touch()  # an empty store: reads of a missing one fail
    return path


@pytest.fixture
def home(tmp_path: Path) -> Path:
    """An empty directory for secret files, apart from the database."""
    path = tmp_path / "home"
    path.mkdir()
    return path


class Recorder:
    """A record that logs every attribute read."""

    def __init__(self, **attrs: Any) -> None:
        self.attrs = attrs
        self.reads: list[str] = []

    def __getattr__(self, name: str) -> Any:
        self.reads.append(name)
        try:
            return self.attrs[name]
        except KeyError:
            raise AttributeError(name) from None


def probe(record: Any, value: Any = "plain") -> Any:
    """A Secrets class whose load returns `record` and whose decrypt returns `value`."""

    class Probe(secrets.Secrets):
        calls: ClassVar[list[tuple[Any, ...]]] = []

        @classmethod
        def load(cls, secret_id: str) -> Any:
            cls.calls.append(("load", secret_id))
            return record

        @classmethod
        def decrypt(cls, data: str, key: str) -> Any:
            cls.calls.append(("decrypt", data, key))
            return value

    Probe.top_secret = "realm-key"
    return Probe


def scoped(owner: Any = "ann", name: Any = "a.b.c", **extra: Any) -> Recorder:
    return Recorder(owner_name=owner, name=name, encrypted_secret="tok", is_file=False, **extra)


class TestChecks:
    @pytest.mark.parametrize("missing", [None, False, ""])
    @pytest.mark.parametrize("scope", [("", ""), ("ann", "a.")])
    def test_unknown_id(self, missing: Any, scope: tuple[str, str]) -> None:
        cls = probe(missing)
        with pytest.raises(ValueError, match="^secret id not found$"):
            cls.get_secret_from_id("id-1", *scope)
        assert cls.calls == [("load", "id-1")]

    @pytest.mark.parametrize(
        ("owner", "prefix", "reads"),
        [
            ("", "", ["encrypted_secret", "is_file"]),
            (None, None, ["encrypted_secret", "is_file"]),
            ("ann", "", ["owner_name", "encrypted_secret", "is_file"]),
            (None, "a.b", ["name", "encrypted_secret", "is_file"]),
            ("ann", "a.b", ["owner_name", "name", "encrypted_secret", "is_file"]),
        ],
    )
    def test_reads_only_what_the_scope_needs(
        self, owner: Any, prefix: Any, reads: list[str]
    ) -> None:
        record = scoped()
        cls = probe(record)
        assert cls.get_secret_from_id("id-1", owner, prefix) == "plain"
        assert record.reads == reads
        assert cls.calls == [("load", "id-1"), ("decrypt", "tok", "realm-key")]

    def test_owner_checked_before_prefix(self) -> None:
        record = scoped(owner="bob", name="x.y")
        with pytest.raises(ValueError, match="^Owner name of secret doesn't match$"):
            probe(record).get_secret_from_id("id", "ann", "a.b")
        assert record.reads == ["owner_name"]

    @pytest.mark.parametrize("owner", [None, "Ann", "ann ", ""])
    def test_owner_compared_exactly(self, owner: Any) -> None:
        cls = probe(scoped(owner=owner))
        with pytest.raises(ValueError, match="^Owner name of secret doesn't match$"):
            cls.get_secret_from_id("id", "ann")

    def test_owner_uses_the_records_inequality(self) -> None:
        class Anyone:
            def __ne__(self, other: object) -> bool:
                return False

        assert probe(scoped(owner=Anyone())).get_secret_from_id("id", "ann") == "plain"

    @pytest.mark.parametrize(
        ("name", "admitted"),
        [
            ("a.b", True),
            ("a.b.c", True),
            ("a.bc", True),
            ("a.bc.d", True),
            ("a", False),
            ("A.b.c", False),
            ("x.a.b", False),
            ("", False),
        ],
    )
    def test_prefix_is_a_plain_string_prefix(self, name: str, admitted: bool) -> None:
        cls = probe(scoped(name=name))
        if admitted:
            assert cls.get_secret_from_id("id", "", "a.b") == "plain"
        else:
            with pytest.raises(ValueError, match="^Name prefix of secret doesn't match$"):
                cls.get_secret_from_id("id", "", "a.b")

    def test_prefix_on_a_nameless_record(self) -> None:
        with pytest.raises(AttributeError, match="startswith"):
            probe(scoped(name=None)).get_secret_from_id("id", "", "a")

    def test_plain_secret_touches_no_file(self, home: Path) -> None:
        record = scoped(file_path=str(home), file_name="f")
        assert probe(record).get_secret_from_id("id") == "plain"
        assert not any(home.iterdir())
        assert "file_path" not in record.reads and "file_name" not in record.reads


class TestStoredRecords:
    def test_plain_value_with_scope(self) -> None:
        sid = store("pa55 wörd ✓", owner_name="ann", name="team.db.pw")
        assert Vault.get_secret_from_id(sid, "ann", "team.db") == "pa55 wörd ✓"
        assert Vault.get_secret_from_id(secret_id=sid, prefix="team.db.pw") == "pa55 wörd ✓"

    def test_reached_through_a_record(self) -> None:
        sid = store("v")
        record = Vault.load(sid)
        assert record is not None
        assert record.get_secret_from_id(sid) == "v"

    def test_key_read_from_the_class_at_each_call(self, monkeypatch: pytest.MonkeyPatch) -> None:
        sid = store("v")
        monkeypatch.setattr(Vault, "top_secret", Fernet.generate_key().decode())
        with pytest.raises(InvalidToken):
            Vault.get_secret_from_id(sid)

    def test_unknown_id_in_the_store(self) -> None:
        with pytest.raises(ValueError, match="^secret id not found$"):
            Vault.get_secret_from_id("nope", "ann", "a")


class TestFileSecrets:
    def test_first_and_second_resolution(self, tmp_path: Path) -> None:
        directory = tmp_path / "deep" / "er" / "dir"
        sid = store("line 1\nline 2 ✓", is_file=True, file_path=str(directory), file_name="pw")
        first = Vault.get_secret_from_id(sid)
        assert first == os.path.join(str(directory), "pw")
        assert Path(first).read_bytes() == on_disk("line 1\nline 2 ✓")
        before = os.stat(first)
        assert Vault.get_secret_from_id(sid) == first
        after = os.stat(first)
        assert (after.st_ino, after.st_mtime_ns) == (before.st_ino, before.st_mtime_ns)
        assert sorted(os.listdir(directory)) == ["pw"]

    def test_changed_value_is_refused(self, home: Path) -> None:
        sid = store("old", is_file=True, file_path=str(home), file_name="pw")
        path = Vault.get_secret_from_id(sid)
        record = Vault.load(sid)
        assert record is not None
        record.encrypted_secret = Fernet(KEY.encode()).encrypt(b"new").decode()
        record.save()
        for _ in range(2):
            with pytest.raises(ValueError, match="^Impossible to overwrite an existed file$"):
                Vault.get_secret_from_id(sid)
        assert Path(path).read_bytes() == b"old"

    @pytest.mark.parametrize("file_name", [None, ""])
    def test_unnamed_file_gets_a_fresh_uuid(self, home: Path, file_name: Any) -> None:
        sid = store("v", is_file=True, file_path=str(home), file_name=file_name)
        paths = {Vault.get_secret_from_id(sid) for _ in range(3)}
        assert len(paths) == 3
        for path in paths:
            assert os.path.dirname(path) == str(home)
            assert UUID4.fullmatch(os.path.basename(path))
            assert Path(path).read_bytes() == b"v"
        record = Vault.load(sid)
        assert record is not None and record.file_name == file_name

    def test_absolute_file_name(self, tmp_path: Path) -> None:
        target = tmp_path / "elsewhere.txt"
        directory = tmp_path / "made" / "anyway"
        sid = store("v", is_file=True, file_path=str(directory), file_name=str(target))
        assert Vault.get_secret_from_id(sid) == str(target)
        assert target.read_bytes() == b"v"
        assert directory.is_dir() and not any(directory.iterdir())

    def test_default_directory_is_the_working_directory(
        self, home: Path, monkeypatch: pytest.MonkeyPatch
    ) -> None:
        monkeypatch.chdir(home)
        sid = store("v", is_file=True, file_name="pw")
        assert Vault.get_secret_from_id(sid) == os.path.join(".", "pw")
        assert (home / "pw").read_bytes() == b"v"

    @pytest.mark.parametrize("value", ["", "a\r\nb", "x\ry", "\r", "trailing\n", "\n\r\n"])
    def test_value_written_and_read_back_exactly(self, home: Path, value: str) -> None:
        sid = store(value, is_file=True, file_path=str(home), file_name="pw")
        path = Vault.get_secret_from_id(sid)
        assert Path(path).read_bytes() == on_disk(value)
        assert Vault.get_secret_from_id(sid) == path

    @pytest.mark.parametrize("umask", [0o022, 0o077, 0o000])
    def test_new_file_and_directories_are_owner_only(self, home: Path, umask: int) -> None:
        os.chmod(home, 0o755)
        sid = store("v", is_file=True, file_path=str(home / "sub" / "deeper"), file_name="pw")
        old = os.umask(umask)
        try:
            path = Vault.get_secret_from_id(sid)
        finally:
            os.umask(old)
        assert os.stat(path).st_mode & 0o777 == 0o600
        for made in (home / "sub", home / "sub" / "deeper"):
            assert os.stat(made).st_mode & 0o777 == 0o700 & ~umask
        assert os.stat(home).st_mode & 0o777 == 0o755

    def test_value_without_utf8_form_is_not_quoted(self, home: Path) -> None:
        record = Recorder(encrypted_secret="t", is_file=True, file_path=str(home), file_name="pw")
        with pytest.raises(UnicodeError) as info:
            probe(record, value="\u0119\ud800").get_secret_from_id("id")
        assert not any(c in str(info.value) for c in ["\u0119", "\ud800", "\\u", "\\x"])
        assert not isinstance(info.value, UnicodeEncodeError) and info.value.__context__ is None
        assert not any(home.iterdir())

    def test_missing_directory_of_the_file_name(self, home: Path) -> None:
        target = home / "absent" / "pw"
        record = Recorder(
            encrypted_secret="t", is_file=True, file_path=str(home), file_name=str(target)
        )
        with pytest.raises(FileNotFoundError) as info:
            probe(record).get_secret_from_id("id")
        assert info.value.filename == str(target)
        assert not any(home.iterdir())

    def test_directory_in_the_way(self, home: Path) -> None:
        (home / "pw").mkdir()
        sid = store("v", is_file=True, file_path=str(home), file_name="pw")
        with pytest.raises(IsADirectoryError):
            Vault.get_secret_from_id(sid)

    def test_path_must_be_a_string(self, home: Path) -> None:
        record = Recorder(encrypted_secret="t", is_file=True, file_path=None, file_name="pw")
        with pytest.raises(TypeError):
            probe(record).get_secret_from_id("id")

    def test_record_is_not_changed(self, home: Path) -> None:
        record = Recorder(encrypted_secret="t", is_file=True, file_path=str(home), file_name="")
        path = probe(record).get_secret_from_id("id")
        assert record.attrs["file_name"] == "" and os.path.exists(path)
        assert record.reads == [
            "encrypted_secret",
            "is_file",
            "file_name",
            "file_path",
            "file_path",
        ]


class TestTakenMeanwhile:
    """The path appears between the existence test and the publication."""

    @pytest.fixture
    def blind(self, monkeypatch: pytest.MonkeyPatch) -> None:
        path = SimpleNamespace(join=os.path.join, exists=lambda p: False)
        monkeypatch.setattr(secrets, "os", SimpleNamespace(path=path))

    def test_same_content_is_accepted(self, home: Path, blind: None) -> None:
        (home / "pw").write_bytes(b"v")
        os.chmod(home / "pw", 0o644)
        sid = store("v", is_file=True, file_path=str(home), file_name="pw")
        assert Vault.get_secret_from_id(sid) == str(home / "pw")
        assert os.listdir(home) == ["pw"]
        assert os.stat(home / "pw").st_mode & 0o777 == 0o644

    def test_other_content_is_kept(self, home: Path, blind: None) -> None:
        (home / "pw").write_bytes(b"theirs")
        sid = store("mine", is_file=True, file_path=str(home), file_name="pw")
        with pytest.raises(ValueError, match="^Impossible to overwrite an existed file$"):
            Vault.get_secret_from_id(sid)
        assert (home / "pw").read_bytes() == b"theirs"
        assert os.listdir(home) == ["pw"]

    def test_dangling_symlink_is_not_followed(self, home: Path) -> None:
        # os.path.exists is false for it, so only the exclusive publication notices it.
        outside = home / "outside"
        (home / "pw").symlink_to(outside)
        sid = store("v", is_file=True, file_path=str(home), file_name="pw")
        with pytest.raises(FileNotFoundError):
            Vault.get_secret_from_id(sid)
        assert not outside.exists()


def unix_socket(path: Path) -> None:
    with socket.socket(socket.AF_UNIX) as listener:
        listener.bind(os.path.relpath(path))  # relative: socket paths are short


def fifo(path: Path) -> None:
    os.mkfifo(path)

    # Opens the writing end later, so that a resolution blocked on the FIFO fails instead of hanging.
    def unblock() -> None:
        with contextlib.suppress(OSError):
            os.close(os.open(path, os.O_WRONLY | os.O_NONBLOCK))

    timer = threading.Timer(20, unblock)
    timer.daemon = True
    timer.start()


def regular(mode: int = 0o600, uid: int = -1, size: int | None = None) -> Callable[[Path], None]:
    def make(path: Path) -> None:
        path.write_bytes(b"v")
        if size is not None:
            os.truncate(path, size)  # sparse: cheap to make, ruinous to read whole
        os.chmod(path, mode)
        if uid != -1:
            if os.geteuid() != 0:
                pytest.skip("giving a file away needs root")
            os.chown(path, uid, -1)

    return make


class TestFileInPlace:
    """Only a regular file of ours that nobody else may change is read, and only as far as needed."""

    @pytest.mark.parametrize(
        ("make", "error", "words"),
        [
            (fifo, OSError, "a FIFO"),
            (unix_socket, OSError, "a socket"),
            (lambda p: p.symlink_to("/dev/zero"), OSError, "a character device"),
            (regular(size=1 << 36), ValueError, "^Impossible to overwrite an existed file$"),
            (regular(uid=12345), PermissionError, "another user owns"),
            (regular(0o620), PermissionError, "group or others may write"),
            (regular(0o602), PermissionError, "group or others may write"),
            (regular(0o644), None, ""),
            (regular(0o400), None, ""),
        ],
    )
    def test_kinds(self, home: Path, make: Any, error: Any, words: str) -> None:
        make(home / "pw")
        sid = store("v", is_file=True, file_path=str(home), file_name="pw")
        if error is None:
            assert Vault.get_secret_from_id(sid) == str(home / "pw")
            return
        with pytest.raises(error, match=words) as info:
            Vault.get_secret_from_id(sid)
        if error is not ValueError:
            assert type(info.value) is error and info.value.filename == str(home / "pw")
            assert str(home / "pw") in str(info.value)
        assert os.listdir(home) == ["pw"]


class TestLookedUpAtEachUse:
    def test_uuid_and_str(self, home: Path, monkeypatch: pytest.MonkeyPatch) -> None:
        monkeypatch.setattr(secrets, "uuid", SimpleNamespace(uuid4=lambda: 42))
        monkeypatch.setattr(secrets, "str", lambda v: f"n{v}", raising=False)
        sid = store("v", is_file=True, file_path=str(home))
        assert Vault.get_secret_from_id(sid) == str(home / "n42")

    def test_os_and_path(self, home: Path, monkeypatch: pytest.MonkeyPatch) -> None:
        made: list[Any] = []

        class FakePath:
            def __init__(self, p: str) -> None:
                self.p = p

            def mkdir(self, **kwargs: Any) -> None:
                made.append((self.p, kwargs))
                os.makedirs(self.p, exist_ok=True)

        joined = SimpleNamespace(join=lambda d, f: f"{d}/x-{f}", exists=os.path.exists)
        monkeypatch.setattr(secrets, "os", SimpleNamespace(path=joined))
        monkeypatch.setattr(secrets, "Path", FakePath)
        sid = store("v", is_file=True, file_path=str(home / "d"), file_name="pw")
        assert Vault.get_secret_from_id(sid) == f"{home}/d/x-pw"
        assert made == [(str(home / "d"), {"mode": 0o700, "exist_ok": True})]

    def test_uuid_default_is_real(self, home: Path) -> None:
        sid = store("v", is_file=True, file_path=str(home))
        name = os.path.basename(Vault.get_secret_from_id(sid))
        assert uuid.UUID(name).version == 4
