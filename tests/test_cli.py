"""The kuv-secrets command, run as a user runs it: in a subprocess, against the installed wheel."""

from __future__ import annotations

import json
import os
import stat
import subprocess
import sys
from collections.abc import Iterator
from pathlib import Path
from typing import Any

import pytest
import yaml
from conftest import ENGINES
from cryptography.fernet import Fernet

KEY_NAME = "kuv_cli_test_key"
KEY_VAR = KEY_NAME.upper()
LAUNCHER = [sys.executable, "-m", "kuv_secrets"]
COMMANDS = ["keygen", "put", "update", "get", "render", "check", "run", "demo"]

PLAIN = "s3cr3t"
TRICKY = 'pä"ss: wörd\n🗝 {x}'  # breaks JSON, YAML and text naively pasted in


class Realm:
    """A private database and realm key, and the command run within them."""

    def __init__(self, root: Path, database: str | None = None) -> None:
        self.root = root
        self.key = Fernet.generate_key().decode()
        self.env = {k: v for k, v in os.environ.items() if not k.startswith("KUV_")}
        self.env.update(
            KUV_DATABASE=database or str(root / "realm.sqlite3"),
            KUV_SECRET_NAME=KEY_NAME,
            **{KEY_VAR: self.key},
        )

    def run(self, *args: str, stdin: bytes = b"", **env: str) -> subprocess.CompletedProcess[bytes]:
        return subprocess.run(
            [*LAUNCHER, *args],
            input=stdin,
            capture_output=True,
            cwd=self.root,
            env={**self.env, **env},
            check=False,
            timeout=60,
        )

    def put(self, value: str, *options: str) -> str:
        result = self.run("put", *options, stdin=value.encode())
        assert result.returncode == 0, result.stderr
        return result.stdout.decode().strip()


# These reach the store in every way a command does and run on PostgreSQL too. The others check
# the command's own logic (parsing, formats, files, exit statuses), or the SQLite file itself,
# and each command started on PostgreSQL pays for its client's import: they run on SQLite alone.
ON_EVERY_ENGINE = {"TestValues", "TestCheck"}


def pytest_generate_tests(metafunc: pytest.Metafunc) -> None:
    cls = metafunc.cls
    if "realm" in metafunc.fixturenames and cls is not None and cls.__name__ in ON_EVERY_ENGINE:
        metafunc.parametrize("realm", ENGINES, indirect=True)


@pytest.fixture
def realm(request: pytest.FixtureRequest, tmp_path: Path) -> Realm:
    if getattr(request, "param", "sqlite") == "sqlite":
        return Realm(tmp_path)
    return Realm(tmp_path, request.getfixturevalue("pg_server").create_database())


@pytest.fixture
def ids(realm: Realm) -> dict[str, str]:
    """Secrets of two owners under two name prefixes."""
    return {
        "plain": realm.put(PLAIN, "--owner", "ann", "--name", "prod.app.db"),
        "tricky": realm.put(TRICKY, "--owner", "ann", "--name", "prod.app.api"),
        "bob": realm.put("bobs", "--owner", "bob", "--name", "dev.app.db"),
    }


def ref(secret_id: str) -> str:
    return "${{ " + secret_id + " }}"


def leftovers(directory: Path) -> list[str]:
    return sorted(p.name for p in directory.iterdir() if p.name != "realm.sqlite3")


class TestExitStatus:
    @pytest.mark.parametrize(
        ("args", "status", "message"),
        [
            (["get", "no-such-id"], 4, "secret id not found"),
            (["get", "{plain}", "--owner", "bob"], 4, "Owner name of secret doesn't match"),
            (["get", "{plain}", "--prefix", "dev."], 4, "Name prefix of secret doesn't match"),
            (["update", "no-such-id"], 4, "secret id not found"),
            (["put", "--id", "{plain}"], 1, "secret id already exists"),
            (["frobnicate"], 2, "invalid choice"),
            ([], 2, "usage:"),
            (["put", "--file-name", "x"], 2, "need --file"),
            (["render", "--format", "xml"], 2, "invalid choice"),
            (["run"], 2, "no command given"),
        ],
    )
    def test_failures(
        self, realm: Realm, ids: dict[str, str], args: list[str], status: int, message: str
    ) -> None:
        result = realm.run(*(a.format(**ids) for a in args), stdin=b"other")
        assert (result.returncode, result.stdout) == (status, b"")
        assert message in result.stderr.decode()
        assert PLAIN not in result.stderr.decode()

    @pytest.mark.parametrize(
        ("key", "message"),
        [
            ("", f"no realm key: set {KEY_VAR}"),
            ("not-a-key", "Fernet key must be 32 url-safe base64-encoded bytes."),
            ("é" * 44, "non-ASCII"),
            (Fernet.generate_key().decode(), "wrong key"),
        ],
    )
    def test_key_problems(self, realm: Realm, ids: dict[str, str], key: str, message: str) -> None:
        result = realm.run("get", ids["plain"], **{KEY_VAR: key})
        assert (result.returncode, result.stdout) == (3, b"")
        assert message in result.stderr.decode()
        if key:
            assert key not in result.stderr.decode()

    def test_refusing_to_overwrite_a_file_secret(self, realm: Realm) -> None:
        secret_id = realm.put("new", "--file", "--file-path", "out", "--file-name", "key")
        (realm.root / "out").mkdir()
        (realm.root / "out" / "key").write_text("old")
        result = realm.run("get", secret_id)
        assert result.returncode == 1
        assert result.stderr == b"kuv-secrets: error: Impossible to overwrite an existed file\n"

    @pytest.mark.parametrize("command", [[], *([c] for c in COMMANDS)])
    def test_help_documents_exit_statuses(self, realm: Realm, command: list[str]) -> None:
        result = realm.run(*command, "--help")
        assert result.returncode == 0
        assert b"exit status:" in result.stdout

    def test_console_script(self, realm: Realm) -> None:
        script = Path(sys.executable).with_name("kuv-secrets")
        if not script.exists():
            pytest.skip("no console script beside this interpreter")
        result = subprocess.run([script, "keygen"], capture_output=True, check=False)
        assert result.returncode == 0
        Fernet(result.stdout.strip())


class TestValues:
    @pytest.mark.parametrize(
        "value",
        ["plain", "trailing newline\n", " padded\r\n\n", "Grüße, 秘密 🗝\n", "", "${{ x }}"],
    )
    def test_put_and_get_keep_every_byte(self, realm: Realm, value: str) -> None:
        secret_id = realm.put(value)
        assert realm.run("get", secret_id).stdout == value.encode()

    def test_put_options_reach_the_record(self, realm: Realm) -> None:
        secret_id = realm.put("v", "--id", "db", "--owner", "ann", "--name", "prod.db")
        assert secret_id == "db"
        assert realm.run("get", "db", "--owner", "ann", "--prefix", "prod.").stdout == b"v"
        assert realm.run("get", "db", "--owner", "ann", "--prefix", "dev.").returncode == 4

    def test_refused_id_keeps_the_stored_value(self, realm: Realm) -> None:
        realm.put("first", "--id", "db")
        assert realm.run("put", "--id", "db", stdin=b"second").returncode == 1
        assert realm.run("get", "db").stdout == b"first"

    def test_update_replaces_the_value(self, realm: Realm) -> None:
        secret_id = realm.put("old")
        result = realm.run("update", secret_id, stdin="néw\n".encode())
        assert (result.returncode, result.stdout) == (0, b"")
        assert realm.run("get", secret_id).stdout == "néw\n".encode()

    def test_input_must_be_utf8(self, realm: Realm) -> None:
        result = realm.run("put", stdin=b"\xff\xfe")
        assert result.returncode == 1
        assert b"not UTF-8" in result.stderr

    def test_file_secret_prints_its_path(self, realm: Realm) -> None:
        secret_id = realm.put("content\n", "--file", "--file-path", "run/app", "--file-name", "k")
        result = realm.run("get", secret_id)
        path = realm.root / result.stdout.decode()
        assert path == realm.root / "run" / "app" / "k"
        assert path.read_bytes() == b"content\n"

    def test_terminal_prompt_does_not_echo(self, realm: Realm) -> None:
        # A fresh process gives the command a terminal; typing waits for the prompt, since
        # the prompt flushes whatever was typed before it.
        driver = """
import os, pty, sys
pid, fd = pty.fork()
if pid == 0:
    os.execv(sys.executable, [sys.executable, "-m", "kuv_secrets", *sys.argv[1:]])
screen = b""
while b"Secret value:" not in screen:
    screen += os.read(fd, 1024)
os.write(fd, b"hidden value\\n")
while True:
    try:
        chunk = os.read(fd, 1024)
    except OSError:
        break
    if not chunk:
        break
    screen += chunk
sys.stdout.buffer.write(screen)
sys.exit(os.waitstatus_to_exitcode(os.waitpid(pid, 0)[1]))
"""
        result = subprocess.run(
            [sys.executable, "-c", driver, "put", "--id", "typed"],
            capture_output=True,
            cwd=realm.root,
            env=realm.env,
            check=False,
            timeout=60,
        )
        assert result.returncode == 0, result.stdout + result.stderr
        assert b"typed" in result.stdout and b"hidden" not in result.stdout
        assert realm.run("get", "typed").stdout == b"hidden value"


def nested(value: Any, ids: dict[str, str]) -> Any:
    """A configuration with references at every depth; ``value`` turns an id into its cell."""
    return {
        "top": value(ids["plain"]),
        "${{ key stays }}": "x",
        "db": {"password": value(ids["tricky"]), "port": 5432, "tls": None},
        "list": [value(ids["plain"]), [True, {"deep": value(ids["tricky"])}], 1.5],
    }


RENDERED = {"plain": PLAIN, "tricky": TRICKY}


def expected(ids: dict[str, str]) -> Any:
    by_id = {ids[name]: value for name, value in RENDERED.items()}
    return nested(lambda i: f"<{by_id[i]}>", ids)


def as_cell(secret_id: str) -> str:
    return f"<{ref(secret_id)}>"


class TestRender:
    @pytest.mark.parametrize(
        ("name", "dump", "load", "args"),
        [
            ("c.json", json.dumps, json.loads, []),
            ("c.yaml", yaml.safe_dump, yaml.safe_load, []),
            ("c.YML", yaml.safe_dump, yaml.safe_load, []),
            ("c.conf", json.dumps, json.loads, ["--format", "json"]),
            ("c.json", yaml.safe_dump, yaml.safe_load, ["--format", "yaml"]),
        ],
    )
    def test_structured_round_trip(
        self, realm: Realm, ids: dict[str, str], name: str, dump: Any, load: Any, args: list[str]
    ) -> None:
        (realm.root / name).write_text(dump(nested(as_cell, ids)), encoding="utf-8")
        result = realm.run("render", name, *args)
        assert result.returncode == 0, result.stderr
        assert load(result.stdout.decode()) == expected(ids)
        assert "wörd".encode() in result.stdout  # written as text, not escaped

    def test_json_layout(self, realm: Realm, ids: dict[str, str]) -> None:
        result = realm.run("render", "-", "--format", "json", stdin=b'{"a": [1]}')
        assert result.stdout == b'{\n  "a": [\n    1\n  ]\n}\n'

    @pytest.mark.parametrize("args", [["c.env"], ["-"], [], ["c.json", "--format", "text"]])
    def test_text_is_substituted_in_place(
        self, realm: Realm, ids: dict[str, str], args: list[str]
    ) -> None:
        text = f'# kept\r\nA={ref(ids["plain"])}\nB="x${{{{{ids["tricky"]}}}}}y"\n\nC=}}}} ${{{{'
        for name in ("c.env", "c.json"):
            (realm.root / name).write_text(text, encoding="utf-8", newline="")
        result = realm.run("render", *args, stdin=text.encode())
        assert result.returncode == 0, result.stderr
        assert result.stdout.decode() == f'# kept\r\nA={PLAIN}\nB="x{TRICKY}y"\n\nC=}}}} ${{{{'

    @pytest.mark.parametrize(
        ("limits", "status"),
        [
            (["--owner", "ann"], 0),
            (["--prefix", "prod.app."], 0),
            (["--owner", "ann", "--prefix", "prod."], 0),
            (["--owner", "bob"], 4),
            (["--prefix", "dev."], 4),
        ],
    )
    def test_limits(
        self, realm: Realm, ids: dict[str, str], limits: list[str], status: int
    ) -> None:
        (realm.root / "c.yaml").write_text(yaml.safe_dump(nested(as_cell, ids)))
        assert realm.run("render", "c.yaml", *limits).returncode == status

    @pytest.mark.parametrize("force", [[], ["--force"]])
    def test_failure_writes_nothing(
        self, realm: Realm, ids: dict[str, str], force: list[str]
    ) -> None:
        config = {"ok": ref(ids["plain"]), "later": [ref("no-such-id")]}
        (realm.root / "c.json").write_text(json.dumps(config))
        result = realm.run("render", "c.json", "-o", "out.json", *force)
        assert (result.returncode, result.stdout) == (4, b"")
        assert leftovers(realm.root) == ["c.json"]

    def test_output_file_is_private_and_not_replaced(
        self, realm: Realm, ids: dict[str, str]
    ) -> None:
        (realm.root / "c.env").write_text(f"A={ref(ids['plain'])}\n")
        out = realm.root / "out.env"
        assert realm.run("render", "c.env", "-o", "out.env").stdout == b""
        assert out.read_text() == f"A={PLAIN}\n"
        assert stat.S_IMODE(out.stat().st_mode) == 0o600

        out.write_text("mine")
        out.chmod(0o644)
        refused = realm.run("render", "c.env", "-o", "out.env")
        assert refused.returncode == 1 and b"--force" in refused.stderr
        assert out.read_text() == "mine"

        assert realm.run("render", "c.env", "-o", "out.env", "--force").returncode == 0
        assert out.read_text() == f"A={PLAIN}\n"
        assert stat.S_IMODE(out.stat().st_mode) == 0o600
        assert leftovers(realm.root) == ["c.env", "out.env"]

    @pytest.mark.parametrize(("name", "content"), [("c.json", "{"), ("c.yaml", "a: [")])
    def test_malformed_input(self, realm: Realm, name: str, content: str) -> None:
        (realm.root / name).write_text(content)
        result = realm.run("render", name)
        assert (result.returncode, result.stdout) == (1, b"")
        assert f"{name}: not valid".encode() in result.stderr


class TestCheck:
    def test_reports_every_failure_at_once(self, realm: Realm, ids: dict[str, str]) -> None:
        config = {
            "a": ref(ids["plain"]),
            "b": [ref("missing-1"), {"c": f"{ref(ids['bob'])} and {ref('missing-2')}"}],
            "d": ref(ids["tricky"]),
        }
        (realm.root / "c.yaml").write_text(yaml.safe_dump(config))
        result = realm.run("check", "c.yaml", "--owner", "ann")
        out = result.stdout.decode()
        assert result.returncode == 1
        assert out.splitlines() == [
            f"ok    a: {ids['plain']}",
            "FAIL  b[0]: missing-1 (secret id not found)",
            f"FAIL  b[1].c: {ids['bob']} (Owner name of secret doesn't match)",
            "FAIL  b[1].c: missing-2 (secret id not found)",
            f"ok    d: {ids['tricky']}",
        ]
        assert b"3 of 5 references do not resolve" in result.stderr
        for value in (PLAIN, TRICKY, "bobs"):
            assert value not in out and value not in result.stderr.decode()

    def test_all_resolving_is_success(self, realm: Realm, ids: dict[str, str]) -> None:
        result = realm.run("check", stdin=f"x\n\ny={ref(ids['plain'])}".encode())
        assert (result.returncode, result.stdout) == (0, f"ok    line 3: {ids['plain']}\n".encode())

    @pytest.mark.parametrize(
        ("text", "found"),
        [
            ("${{a}}${{ b }}", ["a", "b"]),
            ("${{ a ${{ b }} c }}", ["b"]),
            ("${{${{c}}}}", ["c"]),
            ("${{ a }} b }}", ["a"]),
            ("${{\tx y\n}}", ["x y"]),
            ("abc ${{ a }", []),
            ("a }} ${ {b}} ${{c} }", []),
        ],
    )
    def test_finds_references_as_substitution_does(
        self, realm: Realm, text: str, found: list[str]
    ) -> None:
        result = realm.run("check", "--format", "text", stdin=text.encode())
        lines = result.stdout.decode().splitlines()
        assert [line.split(": ", 1)[1].split(" (")[0] for line in lines] == found
        assert result.returncode == (1 if found else 0)


class TestRun:
    @pytest.mark.parametrize("code", [0, 3, 42])
    def test_environment_and_exit_status(
        self, realm: Realm, ids: dict[str, str], code: int
    ) -> None:
        script = 'printf "%s|%s" "$DB" "$PLAIN_VAR"; exit ' + str(code)
        result = realm.run(
            "run", "--owner", "ann", "--", "sh", "-c", script,
            DB=f"pw={ref(ids['tricky'])}", PLAIN_VAR="as is",
        )  # fmt: skip
        assert result.returncode == code
        assert result.stdout.decode() == f"pw={TRICKY}|as is"

    def test_signal_status(self, realm: Realm) -> None:
        assert realm.run("run", "--", "sh", "-c", "kill -TERM $$").returncode == 128 + 15

    def test_failing_reference_runs_nothing(self, realm: Realm) -> None:
        realm.put("other")
        result = realm.run("run", "--", "touch", "ran", DB=ref("no-such-id"))
        assert result.returncode == 4
        assert not (realm.root / "ran").exists()

    def test_missing_command(self, realm: Realm) -> None:
        assert realm.run("run", "--", "no-such-command-here").returncode == 127


class TestKeygen:
    def test_prints_fresh_keys(self, realm: Realm) -> None:
        keys = {realm.run("keygen").stdout for _ in range(2)}
        assert len(keys) == 2
        for key in keys:
            Fernet(key.strip())

    def test_output_file(self, realm: Realm) -> None:
        result = realm.run("keygen", "-o", "key")
        key = realm.root / "key"
        assert (result.returncode, result.stdout) == (0, b"")
        assert stat.S_IMODE(key.stat().st_mode) == 0o600
        Fernet(key.read_text().strip())

        before = key.read_bytes()
        assert realm.run("keygen", "-o", "key").returncode == 1
        assert key.read_bytes() == before

    def test_key_file_serves_as_the_realm_key(self, realm: Realm) -> None:
        realm.run("keygen", "-o", "key")
        realm.env[KEY_VAR] = (realm.root / "key").read_text().strip()
        assert realm.run("get", realm.put("v")).stdout == b"v"


class TestDemo:
    @pytest.mark.parametrize("env", [{}, {"KUV_SECRET_NAME": "", KEY_VAR: ""}])
    def test_runs_apart_from_the_realm(self, realm: Realm, env: dict[str, str]) -> None:
        result = realm.run("demo", **env)
        out = result.stdout.decode()
        assert result.returncode == 0, result.stderr
        assert "password: correct horse battery staple" in out
        assert "greeting: Grüße aus der Buchhaltung" in out
        key_file = next(line for line in out.splitlines() if "key_file: /" in line)
        path = Path(key_file.split("key_file: ")[1])
        assert path.name == "tls.key" and not path.parent.exists()  # removed with the demo
        assert "BEGIN DEMO KEY" not in out
        assert "Name prefix of secret doesn't match" in out
        assert leftovers(realm.root) == []
        assert not (realm.root / "realm.sqlite3").exists()

    def test_in_process_keeps_the_loaded_realm(
        self, monkeypatch: pytest.MonkeyPatch, tmp_path: Path, capsys: pytest.CaptureFixture[str]
    ) -> None:
        from kuv_secrets import cli, secrets

        monkeypatch.setenv("KUV_DATABASE", str(tmp_path / "mine.sqlite3"))
        monkeypatch.setattr(secrets.Secrets, "top_secret", "the host's key")
        before = dict(os.environ)
        assert cli.main(["demo"]) == 0
        assert "correct horse battery staple" in capsys.readouterr().out
        assert secrets.Secrets.top_secret == "the host's key"
        assert dict(os.environ) == before
        assert not (tmp_path / "mine.sqlite3").exists()


@pytest.fixture(autouse=True)
def _no_stray_files(tmp_path: Path) -> Iterator[None]:
    yield
    assert not any(p.name.startswith(".kuv-secrets-") for p in tmp_path.iterdir())
