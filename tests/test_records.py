"""The realm key lookup, the cipher, and how a plain value enters a record."""

from __future__ import annotations

import os
from collections.abc import Callable
from dataclasses import dataclass, field
from pathlib import Path
from types import SimpleNamespace
from typing import Any, ClassVar

import pytest
from cryptography.fernet import Fernet, InvalidToken

from kuv_secrets import secrets

import support  # tests/support.py: the tests folder is on pytest's pythonpath

Secrets: Any = secrets.Secrets
get_top_secret: Any = secrets.get_top_secret
KEY = Fernet.generate_key().decode()
OTHER_KEY = Fernet.generate_key().decode()
PREFIX = "/run/secrets/"


@dataclass
class Host:
    """The environment and /run/secrets/ as get_top_secret sees them, rooted in a temp dir."""

    root: Path
    env: dict[str, Any] = field(default_factory=dict)
    log: list[tuple[Any, ...]] = field(default_factory=list)

    def real(self, path: str) -> str:
        assert path.startswith(PREFIX)
        return str(self.root) + "/" + path[len(PREFIX) :]


@pytest.fixture
def host(tmp_path: Path, monkeypatch: pytest.MonkeyPatch) -> Host:
    h = Host(tmp_path / "run-secrets")
    h.root.mkdir()

    class Environ(dict[str, Any]):
        def get(self, key: Any, *default: Any) -> Any:
            h.log.append(("get", key, *default))
            return h.env.get(key, *default)

    def exists(path: str) -> bool:
        h.log.append(("exists", path))
        return os.path.exists(h.real(path))

    def fake_open(path: str, *args: Any, **kwargs: Any) -> Any:
        h.log.append(("open", path, *args, *kwargs.items()))
        return open(h.real(path), *args, **kwargs)

    fake_os = SimpleNamespace(environ=Environ(), path=SimpleNamespace(exists=exists))
    monkeypatch.setattr(secrets, "os", fake_os)
    monkeypatch.setattr(secrets, "open", fake_open, raising=False)
    return h


class TestRealmKey:
    def test_environment_wins_unchanged(self, host: Host) -> None:
        host.env["KUV_TOP_SECRET"] = " env value\n"
        (host.root / "kuv_top_secret").write_text("file value")
        assert get_top_secret("kuv_top_secret") == " env value\n"
        assert host.log == [("get", "KUV_TOP_SECRET", ""), ("get", "KUV_TOP_SECRET")]

    @pytest.mark.parametrize(
        ("content", "expected"),
        [
            (" \t key value \n", "key value"),
            ("a  b\tc\n\n", "a  b\tc"),
            ("line1\nline2\n", "line1\nline2"),
            ("  \n\t ", ""),
            ("", ""),
        ],
    )
    @pytest.mark.parametrize("variable", [None, ""])
    def test_file_content_stripped(
        self, host: Host, content: str, expected: str, variable: str | None
    ) -> None:
        if variable is not None:
            host.env["KUV_TOP_SECRET"] = variable
        (host.root / "kuv_top_secret").write_text(content)
        assert get_top_secret("kuv_top_secret") == expected
        path = "/run/secrets/kuv_top_secret"
        assert host.log[1:] == [("exists", path), ("open", path, "r")]

    def test_mixed_case_name(self, host: Host) -> None:
        host.env["TOP_KEY"] = "from env"
        assert get_top_secret("Top_Key") == "from env"
        del host.env["TOP_KEY"]
        (host.root / "top_key").write_text("from file")
        assert get_top_secret(key="Top_Key") == "from file"
        assert ("exists", "/run/secrets/top_key") in host.log

    def test_nothing_found(self, host: Host) -> None:
        result = get_top_secret("kuv_top_secret")
        assert result == "" and type(result) is str
        assert [e[0] for e in host.log] == ["get", "exists"]

    def test_name_with_slash_is_concatenated(self, host: Host) -> None:
        (host.root / "a").mkdir()
        (host.root / "a" / "b").write_text("nested")
        assert get_top_secret("a/B") == "nested"
        assert host.log[0] == ("get", "A/B", "")
        assert host.log[1] == ("exists", "/run/secrets/a/b")

    def test_directory(self, host: Host) -> None:
        (host.root / "kuv_top_secret").mkdir()
        with pytest.raises(IsADirectoryError):
            get_top_secret("kuv_top_secret")

    def test_dangling_symlink(self, host: Host) -> None:
        (host.root / "kuv_top_secret").symlink_to(host.root / "gone")
        assert get_top_secret("kuv_top_secret") == ""
        assert not [e for e in host.log if e[0] == "open"]

    @pytest.mark.parametrize(
        ("key", "error"), [(None, AttributeError), (1, AttributeError), (b"k", TypeError)]
    )
    def test_key_not_a_string(self, host: Host, key: Any, error: type[Exception]) -> None:
        with pytest.raises(error):
            get_top_secret(key)

    def test_variable_read_twice(self, host: Host) -> None:
        values = iter(["present", None])

        class Vanishing:
            def get(self, key: str, *default: str) -> Any:
                return next(values)

        fake_os: Any = secrets.os
        fake_os.environ = Vanishing()
        assert get_top_secret("kuv_top_secret") is None


class Manager:
    """What a fake open() returns: records how the `with` block used it."""

    def __init__(self, read: Callable[[], Any], suppress: bool = False) -> None:
        self.read = read
        self.suppress = suppress
        self.exit_error: BaseException | None = None
        self.exits: list[tuple[object, ...]] = []
        self.fp = SimpleNamespace(read=read)

    def __enter__(self) -> Any:
        return self.fp  # the file is what __enter__ returns, not the manager

    def __exit__(self, *exc: object) -> bool:
        self.exits.append(exc)
        if self.exit_error is not None:
            raise self.exit_error
        return self.suppress


class TestSecretFileClosed:
    def install(self, monkeypatch: pytest.MonkeyPatch, manager: Manager) -> list[Any]:
        calls: list[Any] = []

        def fake_open(*args: Any, **kwargs: Any) -> Manager:
            calls.append((args, kwargs))
            return manager

        monkeypatch.delenv("KUV_H5_FILE", raising=False)
        fake_os = SimpleNamespace(environ=os.environ, path=SimpleNamespace(exists=lambda p: True))
        monkeypatch.setattr(secrets, "os", fake_os)
        monkeypatch.setattr(secrets, "open", fake_open, raising=False)
        return calls

    def test_normal_path(self, monkeypatch: pytest.MonkeyPatch) -> None:
        manager = Manager(lambda: "  value \n")
        calls = self.install(monkeypatch, manager)
        assert get_top_secret("kuv_h5_file") == "value"
        assert calls == [(("/run/secrets/kuv_h5_file", "r"), {})]
        assert manager.exits == [(None, None, None)]

    def test_error_in_the_block(self, monkeypatch: pytest.MonkeyPatch) -> None:
        error = OSError("read failed")

        def fail() -> str:
            raise error

        manager = Manager(fail)
        self.install(monkeypatch, manager)
        with pytest.raises(OSError) as caught:
            get_top_secret("kuv_h5_file")
        assert caught.value is error
        [(kind, value, tb)] = manager.exits
        assert (kind, value) == (OSError, error) and tb is not None

    def test_suppressed_error_gives_empty(self, monkeypatch: pytest.MonkeyPatch) -> None:
        manager = Manager(lambda: None, suppress=True)  # None.strip() fails inside the block
        self.install(monkeypatch, manager)
        assert get_top_secret("kuv_h5_file") == ""
        assert manager.exits[0][0] is AttributeError

    def test_closing_error_replaces_the_value(self, monkeypatch: pytest.MonkeyPatch) -> None:
        manager = Manager(lambda: "value")
        manager.exit_error = error = OSError("close failed")
        self.install(monkeypatch, manager)
        with pytest.raises(OSError) as caught:
            get_top_secret("kuv_h5_file")
        assert caught.value is error


TEXTS = [
    "",
    "plain",
    "pa55 wörd",
    "ünïcödé ✓",
    "日本語",
    "astral 😀 end",
    "nul\x00inside",
    "x" * 5000,
]


class TestCipher:
    @pytest.mark.parametrize("text", TEXTS)
    def test_round_trip(self, text: str) -> None:
        token = Secrets.encrypt(text, KEY)
        assert type(token) is str and token.isascii()
        assert Secrets.decrypt(token, KEY) == text
        record = Secrets.__new__(Secrets)
        assert record.decrypt(data=record.encrypt(data=text, key=KEY), key=KEY) == text

    def test_tokens_differ(self) -> None:
        first, second = Secrets.encrypt("same", KEY), Secrets.encrypt("same", KEY)
        assert first != second
        assert Secrets.decrypt(first, KEY) == Secrets.decrypt(second, KEY) == "same"

    def test_token_from_another_implementation(self) -> None:
        token = Fernet(KEY.encode()).encrypt("from elsewhere ✓".encode()).decode()
        assert Secrets.decrypt(token, KEY) == "from elsewhere ✓"
        assert Fernet(KEY.encode()).decrypt(Secrets.encrypt("back", KEY).encode()) == b"back"

    def test_old_token_accepted(self) -> None:
        token = Fernet(KEY.encode()).encrypt_at_time(b"ancient", 0).decode()
        assert Secrets.decrypt(token, KEY) == "ancient"

    @pytest.mark.parametrize("token", ["", "not a token", "gAAAAA"])
    def test_invalid_tokens(self, token: str) -> None:
        with pytest.raises(InvalidToken):
            Secrets.decrypt(token, KEY)

    def test_another_key(self) -> None:
        with pytest.raises(InvalidToken):
            Secrets.decrypt(Secrets.encrypt("v", KEY), OTHER_KEY)

    def test_plaintext_not_utf8(self) -> None:
        token = Fernet(KEY.encode()).encrypt(b"\xff\xfe").decode()
        with pytest.raises(UnicodeDecodeError):
            Secrets.decrypt(token, KEY)

    @pytest.mark.parametrize("method", ["encrypt", "decrypt"])
    @pytest.mark.parametrize(
        ("key", "error"),
        [
            ("", ValueError),
            ("short", ValueError),
            ("ключ", UnicodeEncodeError),
            (None, AttributeError),
            (KEY.encode(), AttributeError),
        ],
    )
    def test_key_checked_before_data(self, method: str, key: Any, error: type[Exception]) -> None:
        with pytest.raises(error) as caught:
            getattr(Secrets, method)(None, key)
        if error is ValueError:
            with pytest.raises(ValueError) as direct:
                Fernet(key.encode())
            assert str(caught.value) == str(direct.value)
        if error is UnicodeEncodeError:
            assert caught.value.encoding == "ascii"  # type: ignore[attr-defined]

    @pytest.mark.parametrize(
        ("method", "data", "error"),
        [
            ("encrypt", b"bytes", AttributeError),
            ("decrypt", b"bytes", AttributeError),
            ("encrypt", 1, AttributeError),
            ("encrypt", "lone \ud800", UnicodeEncodeError),
        ],
    )
    def test_bad_data(self, method: str, data: Any, error: type[Exception]) -> None:
        with pytest.raises(error):
            getattr(Secrets, method)(data, KEY)

    @pytest.mark.parametrize(("method", "out"), [("encrypt", "TOKEN"), ("decrypt", "PLAIN")])
    def test_steps_and_lookup_at_each_use(
        self, monkeypatch: pytest.MonkeyPatch, method: str, out: str
    ) -> None:
        log: list[tuple[Any, ...]] = []

        class Logged(str):
            def encode(self, *args: Any, **kwargs: Any) -> bytes:
                log.append((f"{self}.encode", *args, *kwargs.items()))
                return super().encode(*args, **kwargs)

        class Cipher:
            def __init__(self, *args: Any, **kwargs: Any) -> None:
                log.append(("Fernet", *args, *kwargs.items()))

            def __getattribute__(self, name: str) -> Any:
                log.append(("get", name))
                return object.__getattribute__(self, name)

            def encrypt(self, *args: Any, **kwargs: Any) -> bytes:
                log.append(("encrypt", *args, *kwargs.items()))
                return b"TOKEN"

            def decrypt(self, *args: Any, **kwargs: Any) -> bytes:
                log.append(("decrypt", *args, *kwargs.items()))
                return b"PLAIN"

        monkeypatch.setattr(secrets, "Fernet", Cipher)
        result = getattr(Secrets, method)(Logged("data"), Logged("key"))
        assert result == out and type(result) is str
        assert log == [
            ("key.encode", "ascii"),
            ("Fernet", b"key"),
            ("get", method),
            ("data.encode",),
            (method, b"data"),
        ]

    @pytest.mark.parametrize("method", ["encrypt", "decrypt"])
    def test_method_looked_up_before_data_is_encoded(
        self, monkeypatch: pytest.MonkeyPatch, method: str
    ) -> None:
        monkeypatch.setattr(secrets, "Fernet", lambda key: SimpleNamespace())
        with pytest.raises(AttributeError, match=method):
            getattr(Secrets, method)("lone \ud800", KEY)

    @pytest.mark.parametrize("method", ["encrypt", "decrypt"])
    @pytest.mark.parametrize("out", [b"out", bytearray(b"out")])
    def test_method_in_the_instance_dict(
        self, monkeypatch: pytest.MonkeyPatch, method: str, out: Any
    ) -> None:
        seen: list[Any] = []

        def run(data: bytes) -> Any:
            seen.append(data)
            return out

        cipher = SimpleNamespace(**{method: run})
        monkeypatch.setattr(secrets, "Fernet", lambda key: cipher)
        result = getattr(Secrets, method)("dätä", KEY)
        assert (result, type(result), seen) == ("out", str, ["dätä".encode()])


@pytest.fixture
def Probe() -> Any:
    """A Secrets subclass whose framework initialiser and save only record their calls."""

    class Tap(secrets.VirtualWorker):  # type: ignore[misc]
        inits: ClassVar[list[list[tuple[str, Any]]]] = []
        saves: ClassVar[list[tuple[Any, ...]]] = []

        def __init__(self, **fields: Any) -> None:
            type(self).inits.append(list(fields.items()))

        def save(self, *args: Any, **kwargs: Any) -> None:
            type(self).saves.append((self.encrypted_secret, *args, *kwargs.items()))

    class Probe(Secrets, Tap):  # type: ignore[misc]
        top_secret = KEY

    Tap.inits, Tap.saves = [], []
    return Probe


def decrypt(token: str, key: str = KEY) -> str:
    return Fernet(key.encode()).decrypt(token.encode()).decode()


class TestConstruction:
    def test_secret_becomes_the_token_last(self, Probe: Any) -> None:
        Probe(secret="pa55 ✓", owner_name="ann", name="a.b.c.d")
        [fields] = Probe.inits
        assert [k for k, _ in fields] == ["owner_name", "name", "encrypted_secret"]
        assert dict(fields)["owner_name"] == "ann" and dict(fields)["name"] == "a.b.c.d"
        assert decrypt(dict(fields)["encrypted_secret"]) == "pa55 ✓"

    @pytest.mark.parametrize(
        ("kwargs", "order"),
        [
            (
                {"encrypted_secret": "old", "owner_name": "o", "secret": "v"},
                ["encrypted_secret", "owner_name"],
            ),
            ({"secret": "v", "encrypted_secret": "old", "name": "n"}, ["encrypted_secret", "name"]),
        ],
    )
    def test_secret_replaces_a_given_token_in_place(
        self, Probe: Any, kwargs: dict[str, Any], order: list[str]
    ) -> None:
        Probe(**kwargs)
        [fields] = Probe.inits
        assert [k for k, _ in fields] == order
        assert decrypt(dict(fields)["encrypted_secret"]) == "v"

    def test_token_alone_passes_untouched(self, Probe: Any) -> None:
        token = object()
        Probe(encrypted_secret=token, is_file=True)
        assert Probe.inits == [[("encrypted_secret", token), ("is_file", True)]]

    @pytest.mark.parametrize("value", ["", "x"])
    def test_any_present_secret_is_encrypted(self, Probe: Any, value: str) -> None:
        Probe(secret=value)
        [[(name, token)]] = Probe.inits
        assert name == "encrypted_secret" and decrypt(token) == value

    @pytest.mark.parametrize("value", [None, b"bytes", 5])
    def test_encrypt_failure_stops_before_the_framework(self, Probe: Any, value: Any) -> None:
        with pytest.raises(AttributeError):
            Probe(secret=value, owner_name="o")
        assert Probe.inits == []

    def test_no_keywords(self, Probe: Any) -> None:
        Probe()
        assert Probe.inits == [[]]

    def test_callers_mapping_unchanged(self, Probe: Any) -> None:
        given = {"secret": "v", "name": "n"}
        Probe(**given)
        assert given == {"secret": "v", "name": "n"}

    def test_positional_argument_rejected_first(self, Probe: Any) -> None:
        with pytest.raises(TypeError, match=r"^Secrets\.__init__\(\) takes 1 positional argument"):
            Probe("v", secret="v")
        assert Probe.inits == []

    def test_key_and_encrypt_read_through_the_instance(self, Probe: Any) -> None:
        record = Probe.__new__(Probe)
        record.top_secret = OTHER_KEY
        assert record.__init__(secret="v") is None
        assert decrypt(Probe.inits[0][0][1], OTHER_KEY) == "v"

        calls: list[tuple[Any, ...]] = []

        def encrypt(*args: Any, **kwargs: Any) -> str:
            calls.append((*args, *kwargs.items()))
            return "T"

        record.encrypt = encrypt
        record.__init__(secret="w")
        assert calls == [("w", OTHER_KEY)]
        assert Probe.inits[1] == [("encrypted_secret", "T")]

    def test_result_of_the_framework_ignored(self, Probe: Any) -> None:
        base = Probe.__mro__[2]
        base.__init__ = lambda self, **fields: 5
        assert Probe.__new__(Probe).__init__() is None

    def test_framework_error_unchanged(self, Probe: Any) -> None:
        error = LookupError("framework")

        def refuse(self: Any, **fields: Any) -> None:
            raise error

        Probe.__mro__[2].__init__ = refuse
        with pytest.raises(LookupError) as caught:
            Probe(secret="v")
        assert caught.value is error


class TestUpdate:
    def test_returns_self_and_saves_once(self, Probe: Any) -> None:
        record = Probe(secret="old")
        assert record.update_secret("new ✓") is record
        assert Probe.saves == [(record.encrypted_secret,)]
        assert decrypt(record.encrypted_secret) == "new ✓"
        assert record.update_secret(new_secret="again").update_secret("third") is record
        assert len(Probe.saves) == 3

    def test_encrypt_failure_keeps_the_old_token(self, Probe: Any) -> None:
        record = Probe()
        record.encrypted_secret = "old-token"
        with pytest.raises(AttributeError):
            record.update_secret(None)
        assert record.encrypted_secret == "old-token"
        assert Probe.saves == []

    def test_save_failure_keeps_the_new_token_in_memory(self, Probe: Any) -> None:
        error = OSError("disk full")

        def refuse(self: Any) -> None:
            raise error

        Probe.save = refuse
        record = Probe()
        with pytest.raises(OSError) as caught:
            record.update_secret("new")
        assert caught.value is error
        assert decrypt(record.encrypted_secret) == "new"

    def test_assignment_failure_skips_save(self, Probe: Any) -> None:
        class Guarded(Probe):  # type: ignore[misc]
            @property
            def encrypted_secret(self) -> str:
                return "old"

            @encrypted_secret.setter
            def encrypted_secret(self, value: str) -> None:
                raise PermissionError("read-only")

        with pytest.raises(PermissionError):
            Guarded().update_secret("new")
        assert Probe.saves == []

    def test_attribute_order(self, Probe: Any) -> None:
        log: list[str] = []
        watched = {"encrypt", "top_secret", "save", "encrypted_secret"}

        class Watched(Probe):  # type: ignore[misc]
            def __getattribute__(self, name: str) -> Any:
                if name in watched:
                    log.append(name)
                return super().__getattribute__(name)

            def __setattr__(self, name: str, value: Any) -> None:
                log.append(f"set {name}")
                super().__setattr__(name, value)

        record = Watched(secret="v")
        assert log == ["encrypt", "top_secret"]
        log.clear()
        record.update_secret("w")
        # What follows "save" is the recording save reading the token back.
        assert log[: log.index("save") + 1] == [
            "encrypt",
            "top_secret",
            "set encrypted_secret",
            "save",
        ]

    def test_key_read_through_the_instance(self, Probe: Any) -> None:
        record = Probe()
        record.top_secret = OTHER_KEY
        record.update_secret("v")
        assert decrypt(record.encrypted_secret, OTHER_KEY) == "v"
        Probe.top_secret = ""
        with pytest.raises(ValueError):
            Probe().update_secret("v")


def test_with_a_framework_whose_namespace_is_not_a_dict() -> None:
    out = support.run_json(
        f"""
        import kuv_meta
        from kuv_secrets import secrets
        from cryptography.fernet import Fernet
        record = secrets.Secrets(secret="v", owner_name="o", name="a.b")
        kuv_meta.SAVE_CALLS.clear()
        record.update_secret("w")
        dec = lambda t: Fernet({KEY!r}.encode()).decrypt(t.encode()).decode()
        [(_, fields)] = kuv_meta.INIT_CALLS
        [(_, _, saved)] = kuv_meta.SAVE_CALLS
        emit([[k for k, _ in fields], dec(dict(fields)["encrypted_secret"]),
              dec(saved["encrypted_secret"]), saved["owner_name"]])
        """,
        env={"KUV_TOP_SECRET": KEY},
        path=[support.FAKE_FRAMEWORK],
    )
    assert out == [["owner_name", "name", "encrypted_secret"], "v", "w", "o"]
