"""Bad input at every public entry point: the documented error or the host's own, never a crash,
never a half-written file."""

from __future__ import annotations

import errno
import os
import resource
import signal
from collections.abc import Callable, Iterator
from pathlib import Path
from typing import Any, ClassVar

import pytest
from cryptography.fernet import Fernet, InvalidToken

from kuv_secrets import secrets

import memory  # tests/memory.py
import reference  # tests/reference.py: the tests folder is on pytest's pythonpath

LIGHT = os.environ.get("KUV_STRESS") == "light"
BIG = (10 if LIGHT else 100) * 2**20
KEY = Fernet.generate_key().decode()
OTHER_KEY = Fernet.generate_key().decode()
TOKEN = Fernet(KEY.encode()).encrypt("value ✓".encode()).decode()


# The same operations as plain Python, for the host's own errors and their wording.
def get_top_secret(key: str) -> str:
    if os.environ.get(key.upper(), ""):
        return os.environ.get(key.upper())  # type: ignore[return-value]
    if os.path.exists("/run/secrets/" + key.lower()):
        with open("/run/secrets/" + key.lower()) as fp:
            return fp.read().strip()
    return ""


Secrets = reference.Secrets


def outcome(call: Callable[[], Any]) -> tuple[Any, ...]:
    try:
        return ("returned", call())
    except Exception as error:  # noqa: BLE001 - the outcome under comparison
        return ("raised", type(error), str(error))


def tampered(token: str) -> str:
    middle = len(token) // 2
    return token[:middle] + ("A" if token[middle] != "A" else "B") + token[middle + 1 :]


NOT_STR = [None, 42, 3.5, b"bytes", ["list"], object()]
KEYS = [*NOT_STR, "", "too short", KEY[:-1], KEY + "A", " " + KEY, KEY.replace(KEY[0], "é", 1)]
TOKENS = [
    *NOT_STR,
    "",
    "not a token",
    "ключ",
    tampered(TOKEN),
    Fernet(OTHER_KEY.encode()).encrypt(b"x").decode(),
    Fernet(KEY.encode()).encrypt(b"\xff\xfe not UTF-8").decode(),
]


class TestAgainstPython:
    """Wrong types and bad values raise what the same code in Python raises, word for word."""

    @pytest.mark.parametrize("key", [*NOT_STR, "", "\0", "kuv_\udcff", "x" * 5000])
    def test_get_top_secret(self, key: Any) -> None:
        assert outcome(lambda: secrets.get_top_secret(key)) == outcome(lambda: get_top_secret(key))

    @pytest.mark.parametrize("key", [KEY, *KEYS])
    @pytest.mark.parametrize("data", ["ok ✓", *NOT_STR, "lone \ud800 surrogate"])
    def test_encrypt(self, data: Any, key: Any) -> None:
        got = outcome(lambda: secrets.Secrets.encrypt(data, key))
        expected = outcome(lambda: Secrets.encrypt(data, key))
        if got[0] == "returned":
            assert expected[0] == "returned" and Secrets.decrypt(got[1], key) == data
        else:
            assert got == expected

    @pytest.mark.parametrize("key", [KEY, *KEYS])
    @pytest.mark.parametrize("data", [TOKEN, *TOKENS])
    def test_decrypt(self, data: Any, key: Any) -> None:
        native = outcome(lambda: secrets.Secrets.decrypt(data, key))
        assert native == outcome(lambda: Secrets.decrypt(data, key))

    @pytest.mark.parametrize(
        ("name", "args", "kwargs"),
        [
            ("get_top_secret", (), {}),
            ("get_top_secret", ("a", "b"), {}),
            ("get_top_secret", (), {"name": "a"}),
            ("encrypt", ("d",), {}),
            ("decrypt", ("d", KEY), {"data": "d"}),
            ("decrypt", (), {"data": "d", "key": KEY, "ttl": 1}),
        ],
    )
    def test_argument_errors(
        self, name: str, args: tuple[Any, ...], kwargs: dict[str, Any]
    ) -> None:
        pairs: dict[str, tuple[Any, Any]] = {
            "get_top_secret": (secrets.get_top_secret, get_top_secret),
            "encrypt": (secrets.Secrets.encrypt, Secrets.encrypt),
            "decrypt": (secrets.Secrets.decrypt, Secrets.decrypt),
        }
        native, python = pairs[name]
        assert outcome(lambda: native(*args, **kwargs)) == outcome(lambda: python(*args, **kwargs))

    @pytest.mark.parametrize("raw", [*NOT_STR, "${{ a }}", "}} ${{ ${{ b }}"])
    @pytest.mark.parametrize("resolver", [None, 1, "str", lambda *a: "v", lambda *a: b"v"])
    def test_secret_composer(self, raw: Any, resolver: Any) -> None:
        compose: Any = secrets.Secrets.secret_composer
        native = outcome(lambda: compose(raw, resolver, 1, None))
        assert native == outcome(lambda: reference.compose(raw, resolver, 1, None))


class Stored(secrets.Secrets):
    """Records in the SQLite stand-in, under the test's realm key."""

    top_secret = KEY


class Memory(memory.InMemory):
    top_secret = KEY
    store: ClassVar[dict[str, Any]] = {}


@pytest.fixture(autouse=True)
def database(
    tmp_path_factory: pytest.TempPathFactory, monkeypatch: pytest.MonkeyPatch
) -> Iterator[None]:
    path = tmp_path_factory.mktemp("store") / "records.sqlite3"
    path.touch()  # an empty store: reads of a missing one fail
    monkeypatch.setenv("KUV_DATABASE", str(path))
    Memory.store.clear()
    yield
    Memory.store.clear()


def record(**fields: Any) -> str:
    """A stored record with the realm key's token for "value ✓" unless fields say otherwise."""
    made = Memory(**{"encrypted_secret": TOKEN, **fields})
    made.save()
    return made.id


class TestRealmKeys:
    @pytest.mark.parametrize(
        ("realm_key", "error"),
        [("", ValueError), ("too short", ValueError), ("é" * 44, UnicodeEncodeError)],
    )
    def test_every_operation_that_needs_it(self, realm_key: str, error: type[Exception]) -> None:
        class Keyless(Memory):
            top_secret = realm_key

        sid = record()
        with pytest.raises(error):
            Keyless(secret="v", name="a.b")
        stored = Memory(secret="old")
        stored.save()
        stored.top_secret = realm_key  # type: ignore[misc]
        with pytest.raises(error):
            stored.update_secret("new")
        assert Memory.decrypt(str(stored.encrypted_secret), KEY) == "old"
        with pytest.raises(error):
            Keyless.get_secret_from_id(sid)
        with pytest.raises(error):
            Keyless.secret_parser({"a": [f"${{{{ {sid} }}}}"]})

    @pytest.mark.parametrize("token", [tampered(TOKEN), TOKENS[-2]], ids=["tampered", "other key"])
    def test_bad_tokens_in_records(self, token: str) -> None:
        sid = record(encrypted_secret=token)
        with pytest.raises(InvalidToken):
            Memory.get_secret_from_id(sid)
        with pytest.raises(InvalidToken):
            Memory.secret_parser(["fine", {"x": f"${{{{ {sid} }}}}"}])


class TestWrongTypes:
    @pytest.mark.parametrize(
        ("secret_id", "error"),
        [(None, TypeError), (42, TypeError), (b"id", TypeError), ("", ValueError)],
    )
    def test_ids_through_the_stand_in(self, secret_id: Any, error: type[Exception]) -> None:
        with pytest.raises(error):
            Stored.get_secret_from_id(secret_id)

    def test_unhashable_id(self) -> None:
        with pytest.raises(TypeError, match="unhashable"):
            Memory.get_secret_from_id(["id"])  # type: ignore[arg-type]

    @pytest.mark.parametrize(
        ("owner", "prefix", "error", "message"),
        [
            (1, "", ValueError, "^Owner name of secret doesn't match$"),
            (b"ann", "", ValueError, "^Owner name of secret doesn't match$"),
            ("", 1, TypeError, "startswith"),
            ("", b"a", TypeError, "startswith"),
            ("", ["a"], TypeError, "startswith"),
        ],
    )
    def test_scope_of_the_wrong_type(
        self, owner: Any, prefix: Any, error: type[Exception], message: str
    ) -> None:
        sid = record(owner_name="ann", name="a.b")
        with pytest.raises(error, match=message):
            Memory.get_secret_from_id(sid, owner, prefix)
        with pytest.raises(error, match=message):
            Memory.secret_parser({"k": f"${{{{ {sid} }}}}"}, owner, prefix)

    @pytest.mark.parametrize(
        ("secret", "error"),
        [
            (None, AttributeError),
            (7, AttributeError),
            (b"v", AttributeError),
            ("\ud800", UnicodeEncodeError),
        ],
    )
    def test_plain_values(self, secret: Any, error: type[Exception]) -> None:
        with pytest.raises(error):
            Memory(secret=secret, name="a.b")
        stored = Memory(secret="old")
        stored.save()
        token = stored.encrypted_secret
        with pytest.raises(error):
            stored.update_secret(secret)
        assert stored.encrypted_secret == token

    def test_constructor_takes_keywords_only(self) -> None:
        with pytest.raises(TypeError, match=r"__init__\(\) takes 1 positional argument but 2"):
            Memory("secret")  # type: ignore[call-arg]

    def test_field_that_cannot_be_stored(self) -> None:
        made = secrets.Secrets(encrypted_secret=TOKEN, owner_name=object())  # type: ignore[arg-type]
        with pytest.raises(TypeError, match="JSON serializable"):
            made.save()
        assert secrets.Secrets.load(made.id) is None


class TestNoneFields:
    @pytest.mark.parametrize(
        ("fields", "scope", "error", "message"),
        [
            ({"owner_name": None}, ("ann", ""), ValueError, "^Owner name of secret doesn't match$"),
            ({"name": None}, ("", "a."), AttributeError, "startswith"),
            ({"encrypted_secret": None}, ("", ""), AttributeError, "encode"),
            ({"is_file": True, "file_path": None}, ("", ""), TypeError, "NoneType"),
        ],
    )
    def test_through_the_stand_in(
        self, fields: dict[str, Any], scope: tuple[str, str], error: type[Exception], message: str
    ) -> None:
        made = Stored(**{"encrypted_secret": TOKEN, "owner_name": "ann", "name": "a.b", **fields})
        made.save()
        with pytest.raises(error, match=message):
            Stored.get_secret_from_id(made.id, *scope)

    def test_none_is_file_means_a_plain_secret(self) -> None:
        assert Memory.get_secret_from_id(record(is_file=None)) == "value ✓"


def leftovers(directory: Path) -> list[str]:
    return sorted(p.name for p in directory.iterdir())


class TestFilePaths:
    def test_directory_under_a_regular_file(self, tmp_path: Path) -> None:
        blocker = tmp_path / "plain-file"
        blocker.write_text("x")
        sid = record(is_file=True, file_path=str(blocker / "sub"), file_name="f")
        with pytest.raises(NotADirectoryError):
            Memory.get_secret_from_id(sid)
        sid = record(is_file=True, file_path=str(blocker), file_name="f")
        with pytest.raises(FileExistsError):
            Memory.get_secret_from_id(sid)
        assert leftovers(tmp_path) == ["plain-file"]
        assert blocker.read_text() == "x"

    def test_file_name_naming_a_directory(self, tmp_path: Path) -> None:
        (tmp_path / "taken").mkdir()
        sid = record(is_file=True, file_path=str(tmp_path), file_name="taken")
        with pytest.raises(IsADirectoryError):
            Memory.get_secret_from_id(sid)
        assert leftovers(tmp_path / "taken") == []

    @pytest.mark.parametrize(
        ("file_name", "error"),
        [
            ("missing/f", FileNotFoundError),
            ("ends-with-a-slash/", IsADirectoryError),
            ("n" * 300, OSError),
        ],
    )
    def test_path_refused_when_writing(
        self, tmp_path: Path, file_name: str, error: type[Exception]
    ) -> None:
        home = tmp_path / "home"
        sid = record(is_file=True, file_path=str(home), file_name=file_name)
        with pytest.raises(error) as raised:
            Memory.get_secret_from_id(sid)
        assert isinstance(raised.value, OSError)
        assert raised.value.filename == os.path.join(str(home), file_name)
        assert leftovers(home) == []

    def test_write_that_fails_half_way(self, tmp_path: Path) -> None:
        home = tmp_path / "home"
        made = Memory(secret="a" * 100_000, is_file=True, file_path=str(home), file_name="f")
        made.save()
        # Past the file size limit a write fails with EFBIG, once SIGXFSZ no longer kills us.
        handler = signal.signal(signal.SIGXFSZ, signal.SIG_IGN)
        limit = resource.getrlimit(resource.RLIMIT_FSIZE)
        resource.setrlimit(resource.RLIMIT_FSIZE, (50_000, limit[1]))
        try:
            with pytest.raises(OSError) as raised:
                Memory.get_secret_from_id(made.id)
        finally:
            resource.setrlimit(resource.RLIMIT_FSIZE, limit)
            signal.signal(signal.SIGXFSZ, handler)
        assert (raised.value.errno, raised.value.filename) == (errno.EFBIG, str(home / "f"))
        assert leftovers(home) == []


class TestBigInput:
    @pytest.fixture
    def big(self) -> str:
        return "x" * (BIG - 8) + "${ {}}}}"

    def test_text_without_references(self, big: str) -> None:
        resolver = Memory.get_secret_from_id
        assert Memory.secret_composer(big, resolver) is big
        assert Memory.secret_parser({"a": [big]})["a"][0] is big

    def test_reference_at_the_end(self, big: str) -> None:
        sid = record()
        result = Memory.secret_composer(big + f"${{{{{sid}}}}}.", Memory.get_secret_from_id)
        assert len(result) == len(big) + len("value ✓.")
        assert result.endswith("}}}}value ✓.") and result.startswith("xxx")

    def test_as_a_key_name(self, big: str) -> None:
        assert secrets.get_top_secret(big) == ""

    def test_as_a_token(self, big: str) -> None:
        with pytest.raises(InvalidToken):
            Memory.decrypt(big, KEY)

    def test_as_a_secret(self) -> None:
        # A tenth of the size: the cipher itself takes seconds for 100 MB.
        value = "✓" * (BIG // 10)
        assert Memory.decrypt(Memory.encrypt(value, KEY), KEY) == value
