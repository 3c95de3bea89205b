"""The kuv-secrets command, called in-process through a context of its own, and run as a user runs
it (a subprocess) for what only a process shows: signals, terminals, closed streams, races."""

from __future__ import annotations

import contextlib
import io
import json
import os
import re
import signal
import stat
import subprocess
import sys
import time
from collections.abc import Iterator
from concurrent.futures import ThreadPoolExecutor
from pathlib import Path
from typing import IO, Any

import kuv_store
import pytest
import yaml
from conftest import ENGINES
from cryptography.fernet import Fernet

from kuv_secrets import cli

from support import default_signals

KEY_NAME = "kuv_cli_test_key"
KEY_VAR = KEY_NAME.upper()
LAUNCHER = [sys.executable, "-m", "kuv_secrets"]
COMMANDS = ["init", "keygen", "put", "update", "get", "render", "check", "run", "demo"]
COMMANDS += ["list", "delete", "rotate", "import", "export", "restore"]

PUT = ["--owner", "ann", "--name", "prod.app.x"]  # later options override these
IMPORT = ["--owner", "ann", "--name-prefix", "p."]
PLAIN = "s3cr3t"
TRICKY = 'pä"ss: wörd\n🗝 {x}'  # breaks JSON, YAML and text naively pasted in


@contextlib.contextmanager
def in_folder(folder: Path) -> Iterator[None]:
    # A file secret's relative path is the process's working directory's, as for any host.
    before = os.getcwd()
    os.chdir(folder)
    try:
        yield
    finally:
        os.chdir(before)


class Realm:
    """A private database and realm key, and the command run within them."""

    def __init__(self, root: Path, database: str | None = None, *, store: bool = True) -> None:
        self.root = root
        self.key = Fernet.generate_key().decode()
        self.env = {k: v for k, v in os.environ.items() if not k.startswith("KUV_")}
        self.env.update(
            KUV_DATABASE=database or str(root / "realm.sqlite3"),
            KUV_SECRET_NAME=KEY_NAME,
            **{KEY_VAR: self.key},
        )
        self.store = store  # False: nobody has run init
        self.made: set[str] = set()
        self.provide()
        self.puts = 0

    def run(
        self, *args: str, stdin: bytes | IO[bytes] = b"", stdout: Any = subprocess.PIPE, **env: str
    ) -> subprocess.CompletedProcess[bytes]:
        """The command called in-process, with its own context: streams, environment, folder."""
        self.provide()
        out = io.BytesIO() if stdout is subprocess.PIPE else stdout
        err = io.StringIO()
        given = io.BytesIO(stdin) if isinstance(stdin, bytes) else stdin
        ctx = cli.Context(given, out, err, {**self.env, **env}, str(self.root))
        with in_folder(self.root):
            status = cli.main(list(args), ctx)
        captured = out.getvalue() if stdout is subprocess.PIPE else None
        return subprocess.CompletedProcess(args, status, captured, err.getvalue().encode())

    def spawn(
        self, *args: str, stdin: bytes = b"", stdout: Any = subprocess.PIPE, **env: str
    ) -> subprocess.CompletedProcess[bytes]:
        """The command in a process of its own, as a user runs it."""
        self.provide()
        return subprocess.run(
            [*LAUNCHER, *args],
            input=stdin,
            stdout=stdout,
            stderr=subprocess.PIPE,
            cwd=self.root,
            env={**self.env, **env},
            check=False,
            timeout=60,
            preexec_fn=default_signals,
        )

    def provide(self) -> None:
        """The store made once, as init makes it; also one a test points the realm at later."""
        target = self.env["KUV_DATABASE"]
        if self.store and target not in self.made:
            kuv_store.create(target)
            self.made.add(target)

    def put(self, value: str, *options: str) -> str:
        # A name of its own, unless given: an owner's names are unique.
        self.puts += 1
        name = f"{PUT[-1]}{self.puts}"
        result = self.run("put", *PUT, "--name", name, *options, stdin=value.encode())
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
def bare(tmp_path: Path) -> Realm:
    """A realm whose store nobody has made."""
    return Realm(tmp_path, store=False)


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
            (["put", *PUT, "--id", "{plain}"], 1, "secret id already exists"),
            (["frobnicate"], 2, "invalid choice"),
            ([], 2, "usage:"),
            (["put", *PUT, "--file-name", "x"], 2, "need --file"),
            (["render", "--format", "xml"], 2, "invalid choice"),
            (["run"], 2, "no command given"),
            (["list", "--owner", ""], 2, "must not be empty"),
            (["list", "--prefix", ""], 2, "must not be empty"),
            (["import", "-", "--owner", "", "--name-prefix", "p."], 2, "must not be empty"),
            (["rotate"], 2, "--new-key-file"),
            (["--key-file", "missing", "get", "{plain}"], 3, "missing: cannot read the key"),
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
            (None, "KUV_SECRET_NAME is set but empty"),
            (Fernet.generate_key().decode(), "wrong key"),
        ],
    )
    @pytest.mark.parametrize(
        "command",
        [["get", "{plain}"], ["update", "{plain}"], ["put", *PUT], ["import", "-", *IMPORT]],
    )
    def test_key_problems(
        self, realm: Realm, ids: dict[str, str], key: str | None, message: str, command: list[str]
    ) -> None:
        args = [a.format(**ids) for a in command]
        env = {KEY_VAR: key} if key is not None else {"KUV_SECRET_NAME": ""}
        result = realm.run(*args, stdin=b"A=other", **env)
        assert (result.returncode, result.stdout) == (3, b"")
        assert message in result.stderr.decode()
        if key:
            assert key not in result.stderr.decode()
        # Under a key that opens nothing, a write would bury a value or store one nobody opens.
        assert realm.run("get", ids["plain"]).stdout == PLAIN.encode()
        assert len(json.loads(realm.run("list", "--format", "json").stdout)) == len(ids)

    @pytest.mark.parametrize("command", ["get", "render", "check"])
    def test_refusing_to_overwrite_a_file_secret(self, realm: Realm, command: str) -> None:
        secret_id = realm.put("new", "--file", "--file-path", "out", "--file-name", "key")
        (realm.root / "out").mkdir()
        (realm.root / "out" / "key").write_text("old")
        (realm.root / "c.txt").write_text(ref(secret_id))
        result = realm.run(command, secret_id if command == "get" else "c.txt")
        assert result.returncode == 1
        assert b"out/key: Impossible to overwrite an existed file" in result.stdout + result.stderr

    @pytest.mark.parametrize("command", [[], *([c] for c in COMMANDS)])
    def test_help_documents_exit_statuses(self, realm: Realm, command: list[str]) -> None:
        result = realm.run(*command, "--help")
        assert result.returncode == 0
        assert b"exit status:" in result.stdout

    def test_console_script(self, realm: Realm) -> None:
        script = Path(sys.executable).with_name("kuv-secrets")
        if not script.exists():
            pytest.skip("no console script beside this interpreter")
        result = subprocess.run(
            [script, "keygen"], capture_output=True, check=False, preexec_fn=default_signals
        )
        assert result.returncode == 0
        Fernet(result.stdout.strip())


class TestValues:
    @pytest.mark.parametrize(
        "value",
        ["plain", "trailing newline\n", " padded\r\n\n", "Grüße, 秘密 🗝\n", "", "${{ x }}"],
    )
    def test_put_and_get_keep_every_byte(self, realm: Realm, value: str) -> None:
        result = realm.run("put", *PUT, "--allow-empty", stdin=value.encode())
        assert (b"note: the value ends with a newline" in result.stderr) == value.endswith("\n")
        assert realm.run("get", result.stdout.decode().strip()).stdout == value.encode()

    def test_put_options_reach_the_record(self, realm: Realm) -> None:
        secret_id = realm.put("v", "--id", "db", "--owner", "ann", "--name", "prod.db")
        assert secret_id == "db"
        assert realm.run("get", "db", "--owner", "ann", "--prefix", "prod.").stdout == b"v"
        assert realm.run("get", "db", "--owner", "ann", "--prefix", "dev.").returncode == 4

    def test_refused_id_keeps_the_stored_value(self, realm: Realm) -> None:
        realm.put("first", "--id", "db")
        assert realm.run("put", *PUT, "--id", "db", stdin=b"second").returncode == 1
        assert realm.run("get", "db").stdout == b"first"

    def test_update_replaces_the_value(self, realm: Realm) -> None:
        secret_id = realm.put("old")
        result = realm.run("update", secret_id, stdin="néw\n".encode())
        assert (result.returncode, result.stdout) == (0, b"")
        assert realm.run("get", secret_id).stdout == "néw\n".encode()

    def test_input_must_be_utf8(self, realm: Realm) -> None:
        result = realm.run("put", *PUT, stdin=b"\xff\xfe")
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
            [sys.executable, "-c", driver, "put", *PUT, "--id", "typed"],
            capture_output=True,
            cwd=realm.root,
            env=realm.env,
            check=False,
            timeout=60,
            preexec_fn=default_signals,
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
        assert result.stdout == b'{"a": [1]}'

    @pytest.mark.parametrize("args", [["c.conf"], ["-"], [], ["c.json", "--format", "text"]])
    def test_text_is_substituted_in_place(
        self, realm: Realm, ids: dict[str, str], args: list[str]
    ) -> None:
        text = f'# kept\r\nA={ref(ids["plain"])}\nB="x${{{{{ids["tricky"]}}}}}y"\n\nC=}}}} ${{'
        for name in ("c.conf", "c.json"):
            (realm.root / name).write_text(text, encoding="utf-8", newline="")
        result = realm.run("render", *args, stdin=text.encode())
        assert result.returncode == 0, result.stderr
        assert result.stdout.decode() == f'# kept\r\nA={PLAIN}\nB="x{TRICKY}y"\n\nC=}}}} ${{'

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
        assert re.search(rf"{name}:\d+: not valid".encode(), result.stderr)


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
        assert result.returncode == 4
        assert out.splitlines() == [
            f"ok    c.yaml:1: {ref(ids['plain'])}",
            "FAIL  c.yaml:3: ${{ missing-1 }}: secret id not found",
            f"FAIL  c.yaml:4: {ref(ids['bob'])}: Owner name of secret doesn't match",
            "FAIL  c.yaml:4: ${{ missing-2 }}: secret id not found",
            f"ok    c.yaml:5: {ref(ids['tricky'])}",
        ]
        assert b"3 of 5 references do not resolve" in result.stderr
        for value in (PLAIN, TRICKY, "bobs"):
            assert value not in out and value not in result.stderr.decode()

    def test_all_resolving_is_success(self, realm: Realm, ids: dict[str, str]) -> None:
        result = realm.run("check", stdin=f"x\n\ny={ref(ids['plain'])}".encode())
        expected = f"ok    standard input:3: {ref(ids['plain'])}\n"
        assert (result.returncode, result.stdout) == (0, expected.encode())

    @pytest.mark.parametrize(
        ("text", "found"),
        [
            ("${{a}}${{ b }}", ["a", "b"]),
            ("${{ a ${{ b }} c }}", [None, "b"]),
            ("${{${{c}}}}", [None, "c"]),
            ("${{ a }} b }}", ["a"]),
            ("${{\tx y\n}}", ["x y"]),
            ("abc ${{ a }", [None]),
            ("a }} ${ {b}} ${{c} }", [None]),
            ("a }} ${ {b}} $ {{c}}", []),
        ],
    )
    def test_finds_references_as_substitution_does(
        self, realm: Realm, text: str, found: list[str | None]
    ) -> None:
        realm.put("unrelated", "--owner", "o", "--name", "n")
        result = realm.run("check", "--format", "text", stdin=text.encode())
        lines = result.stdout.decode().splitlines()
        # An opening that nothing closes fails as surely as an unknown id.
        shown = [line.split("${{", 1)[1] for line in lines if line.startswith("FAIL  ")]
        ids = [None if "not a complete" in r else r.split(" }}")[0].strip() for r in shown]
        assert ids == found and len(shown) == len(lines)
        assert result.returncode == (4 if found else 0)


class TestRun:
    @pytest.mark.parametrize("code", [0, 3, 42])
    def test_environment_and_exit_status(
        self, realm: Realm, ids: dict[str, str], code: int
    ) -> None:
        script = 'printf "%s|%s" "$DB" "$PLAIN_VAR"; exit ' + str(code)
        result = realm.spawn(
            "run", "--owner", "ann", "--", "sh", "-c", script,
            DB=f"pw={ref(ids['tricky'])}", PLAIN_VAR="as is",
        )  # fmt: skip
        assert result.returncode == code
        assert result.stdout.decode() == f"pw={TRICKY}|as is"

    def test_signal_status(self, realm: Realm) -> None:
        assert realm.spawn("run", "--", "sh", "-c", "kill -TERM $$").returncode == 128 + 15

    @pytest.mark.parametrize("name", ["INT", "QUIT", "TERM", "HUP", "USR1", "USR2"])
    def test_signals_reach_the_command(self, realm: Realm, name: str) -> None:
        # A Python command: a shell's trap can miss a signal that lands while it forks its loop.
        script = (
            "import signal, sys, time\n"
            f"signal.signal(signal.SIG{name}, lambda *_: sys.exit(40))\n"
            "print('ready', flush=True)\n"
            "time.sleep(60)"
        )
        argv, pipe = [*LAUNCHER, "run", "--", sys.executable, "-c", script], subprocess.PIPE
        # A session of its own: no terminal, as under a supervisor.
        with subprocess.Popen(
            argv, stdout=pipe, env=realm.env, start_new_session=True, preexec_fn=default_signals
        ) as proc:
            try:
                assert proc.stdout and proc.stdout.readline() == b"ready\n"
                # Sent once run waits for the command, the case that matters.
                wchan, deadline = Path(f"/proc/{proc.pid}/wchan"), time.monotonic() + 30
                while wchan.read_text() != "do_wait" and time.monotonic() < deadline:
                    time.sleep(0.01)
                proc.send_signal(getattr(signal, f"SIG{name}"))
                assert proc.wait(30) == 40
            finally:  # never a hang, nor a command left behind
                with contextlib.suppress(ProcessLookupError):
                    os.killpg(proc.pid, signal.SIGKILL)

    def test_failing_references_run_nothing(self, realm: Realm) -> None:
        realm.put("other")
        result = realm.run("run", "--", "touch", "ran", DB=ref("no-such-id"), API=f"x{ref('gone')}")
        assert result.returncode == 4
        for name, secret_id in ((b"DB", b"no-such-id"), (b"API", b"gone")):
            said = b"variable " + name + b": ${{ " + secret_id + b" }}: secret id not found"
            assert said in result.stderr
        assert not (realm.root / "ran").exists()

    def test_incomplete_reference_runs_nothing(self, realm: Realm) -> None:
        realm.put("other")
        result = realm.run("run", "--", "touch", "ran", API="x${{ api-token }", DB=ref("gone"))
        assert result.returncode == 4 and not (realm.root / "ran").exists()
        assert b"variable API: holds a ${{ that no }} closes\n" in result.stderr
        assert b"api-token" not in result.stderr  # the rest of the value may be a secret
        assert b"2 of the environment's variables do not resolve" in result.stderr

    @pytest.mark.parametrize(("options", "seen"), [([], ""), (["--pass-key"], "key")])
    def test_realm_key_stays_behind(self, realm: Realm, options: list[str], seen: str) -> None:
        result = realm.spawn("run", *options, "--", "sh", "-c", f'printf %s "${{{KEY_VAR}:+key}}"')
        assert (result.returncode, result.stdout.decode()) == (0, seen)

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
    def test_runs_apart_from_the_realm(self, bare: Realm, env: dict[str, str]) -> None:
        realm = bare
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


class TestStore:
    def test_of_racing_puts_one_wins(self, realm: Realm) -> None:
        with ThreadPoolExecutor(10) as pool:
            runs = pool.map(
                lambda i: realm.spawn("put", *PUT, f"--name=n{i}", "--id", "one", stdin=b"%d" % i),
                range(10),
            )
            results = [(r.returncode, b"already exists" in r.stderr) for r in runs]
        assert sorted(results) == [(0, False)] + [(1, True)] * 9
        assert realm.run("get", "one").stdout == b"%d" % results.index((0, False))
        assert stat.S_IMODE((realm.root / "realm.sqlite3").stat().st_mode) == 0o600

    @pytest.mark.parametrize("args", [["get", "x"], ["render"], ["check"], ["run", "--", "true"]])
    def test_reads_create_no_store(self, bare: Realm, args: list[str]) -> None:
        realm = bare
        result = realm.run(*args, stdin=ref("x").encode(), DB=ref("x"))
        assert result.returncode == 1 and b"Traceback" not in result.stderr
        said = (result.stdout + result.stderr).decode()
        assert "realm.sqlite3 (the path comes from KUV_DATABASE); create it with `kuv-" in said
        assert leftovers(realm.root) == [] and not (realm.root / "realm.sqlite3").exists()

    def test_unprinted_id_is_not_kept(self, realm: Realm) -> None:
        with open("/dev/full", "wb") as full:
            result = realm.run("put", *PUT, "--id", "lost", stdin=b"v", stdout=full)
        assert result.returncode == 1 and b"the secret was not stored" in result.stderr
        assert realm.run("get", "lost").returncode == 4

    @pytest.mark.parametrize(
        ("args", "stdin", "message"),
        [
            (["get", "x", "--owner", ""], b"", "--owner: must not be empty"),
            (["render", "--prefix", ""], b"", "--prefix: must not be empty"),
            (["check", "--owner", ""], b"", "--owner: must not be empty"),
            (["run", "--prefix", "", "--", "true"], b"", "--prefix: must not be empty"),
            (["put", *PUT, "--owner", ""], b"v", "--owner: must not be empty"),
            (["put", "--name", "n"], b"v", "arguments are required: --owner"),
            (["put", "--owner", "o"], b"v", "arguments are required: --name"),
            (["put", *PUT, "--file"], b"v", "--file needs --file-name"),
            (["put", *PUT, "--file", "--file-name", "a/b"], b"v", "not a plain file name"),
            (["put", *PUT, "--file", "--file-name", ".."], b"v", "not a plain file name"),
            (["put", *PUT, "--file", "--file-name", ""], b"v", "not a plain file name"),
            (["put", *PUT], b"", "the value is empty; use --allow-empty"),
            (["put", *PUT, "--file", "--file-name", "f\udc9b"], b"v", "--file-name: not UTF-8"),
            *(
                (["put", *PUT, "--id", i], b"v", "cannot stand in a reference")
                for i in ("", " a", "a}}")
            ),
        ],
    )
    def test_usage_errors(self, bare: Realm, args: list[str], stdin: bytes, message: str) -> None:
        realm = bare
        result = realm.run(*args, stdin=stdin)
        assert (result.returncode, result.stdout) == (2, b"")
        assert message in result.stderr.decode()
        assert leftovers(realm.root) == [] and not (realm.root / "realm.sqlite3").exists()


class TestOutput:
    @pytest.mark.parametrize("force", [[], ["--force"]])
    @pytest.mark.parametrize("target", ["/dev/null", "fifo", "dir", "dir/", "-"])
    def test_only_regular_files(self, realm: Realm, target: str, force: list[str]) -> None:
        os.mkfifo(realm.root / "fifo")
        (realm.root / "dir").mkdir()
        # Refused before anything resolves, which would fail with status 4 here.
        stdin = b"plain" if target == "-" else ref("no-such-id").encode()
        result = realm.run("render", "-o", target, *force, stdin=stdin)
        to_stdout = target == "-"
        assert (result.returncode, result.stdout) == ((0, b"plain") if to_stdout else (1, b""))
        assert to_stdout or b"must be a regular file" in result.stderr
        assert stat.S_ISCHR(os.stat("/dev/null").st_mode)
        assert stat.S_ISFIFO((realm.root / "fifo").stat().st_mode)
        assert leftovers(realm.root) == ["dir", "fifo"] and not any((realm.root / "dir").iterdir())

    @pytest.mark.parametrize("args", [["list"], ["list", "--format", "json"], ["check", "c.txt"]])
    def test_full_disk_fails_in_words(self, realm: Realm, args: list[str]) -> None:
        (realm.root / "c.txt").write_text(ref(realm.put("v")))
        with open("/dev/full", "wb") as full:
            result = realm.run(*args, stdout=full)
        assert result.returncode == 1
        assert result.stderr.endswith(b"to standard output: No space left on device\n")

    @pytest.mark.parametrize("args", [["put", *PUT, "--id", "lost"], ["list"]])
    def test_stream_closed_under_the_command(self, realm: Realm, args: list[str]) -> None:
        closed = io.BytesIO()
        closed.close()
        result = realm.run(*args, stdin=b"v", stdout=closed)
        assert result.returncode == 1 and b"output: it is closed" in result.stderr
        assert realm.run("get", "lost").returncode == 4  # nobody learnt the id: not kept

    @pytest.mark.parametrize("closed", [">&-", "2>&-"])
    def test_closed_streams(self, realm: Realm, closed: str) -> None:
        argv = ["sh", "-c", f'exec "$@" {closed}', "sh", *LAUNCHER, "put", *PUT, "--id", "lost"]
        env, stdin = realm.env, b"v\n"
        popen = {"cwd": realm.root, "env": env, "preexec_fn": default_signals}
        run = subprocess.run(argv, input=stdin, capture_output=True, check=False, **popen)
        if closed == ">&-":  # nobody learns the id: nothing is kept
            assert run.returncode == 1 and realm.run("get", "lost").returncode == 4
        else:  # the note about the final newline goes nowhere, least of all into the id
            assert (run.returncode, run.stdout) == (0, b"lost\n")

    def test_messages_spell_out_control_characters(self, realm: Realm) -> None:
        result = realm.run("render", "in\x1b[2J.yaml")
        assert result.returncode == 1 and b"in\\x1b[2J.yaml: No such file" in result.stderr

    @pytest.mark.parametrize("unbuffered", ["", "1"])
    @pytest.mark.parametrize("command", ["get", "render"])
    def test_broken_pipe_fails(self, realm: Realm, command: str, unbuffered: str) -> None:
        (realm.root / "big.txt").write_text("x" * 1_000_000)
        args = ["get", realm.put("x" * 1_000_000)] if command == "get" else ["render", "big.txt"]
        pipe = subprocess.PIPE
        env = {**realm.env, "PYTHONUNBUFFERED": unbuffered}
        argv = [*LAUNCHER, *args]
        popen = {"cwd": realm.root, "env": env, "preexec_fn": default_signals}
        with subprocess.Popen(argv, stdout=pipe, stderr=pipe, **popen) as proc:
            assert proc.stdout and proc.stderr and proc.stdout.read(5) == b"xxxxx"
            proc.stdout.close()  # the rest can go nowhere now
            assert proc.wait(60) == 1
            assert proc.stderr.read().endswith(b"standard output: the reader closed it\n")

    @pytest.mark.parametrize("signum", [signal.SIGTERM, signal.SIGHUP])
    def test_signal_during_render_leaves_nothing(self, realm: Realm, signum: int) -> None:
        os.mkfifo(realm.root / "in.env")
        args = [*LAUNCHER, "render", "in.env", "-o", "out.env"]
        popen = {"cwd": realm.root, "env": realm.env, "preexec_fn": default_signals}
        with subprocess.Popen(args, stderr=subprocess.PIPE, **popen) as proc:
            with open(realm.root / "in.env", "w"):  # open once the command opens it
                # Sent in the blocking read: a signal caught just before it would wait for it.
                wchan, deadline = Path(f"/proc/{proc.pid}/wchan"), time.monotonic() + 30
                while "pipe_read" not in wchan.read_text() and time.monotonic() < deadline:
                    time.sleep(0.01)
                proc.send_signal(signum)
                assert proc.wait(60) == 128 + signum
            assert proc.stderr and proc.stderr.read() == b""
        assert leftovers(realm.root) == ["in.env"]


@pytest.fixture(autouse=True)
def _no_stray_files(tmp_path: Path) -> Iterator[None]:
    yield
    assert not list(tmp_path.rglob("*.tmp"))  # publication's temporary files
