"""Start-up of the command line: what a command imports, and the shortcuts taken to import less."""

from __future__ import annotations

import errno
import fcntl
import io
import os
import re
import shutil
import signal
import struct
import sys
import termios
import threading
from collections.abc import Iterator
from pathlib import Path
from typing import Any

import pytest
from cryptography.fernet import Fernet

from kuv_secrets import __version__, cli
from kuv_secrets.cli import parser
from kuv_secrets.render import yamlspans

from support import run_json

SECRET = "s3cr3t"


@pytest.fixture
def env(tmp_path: Path) -> dict[str, str]:
    """A realm with one secret, "app.db", and a JSON and a YAML file that refer to it."""
    realm = {
        "KUV_TOP_SECRET": Fernet.generate_key().decode(),
        "KUV_DATABASE": str(tmp_path / "kuv.sqlite3"),
    }
    ctx = cli.Context(
        io.BytesIO(SECRET.encode()), io.BytesIO(), io.StringIO(), realm, str(tmp_path)
    )
    assert cli.main(["init"], ctx) == 0
    ctx.stdin = io.BytesIO(SECRET.encode())
    assert cli.main(["put", "--owner", "o", "--name", "n", "--id", "app.db"], ctx) == 0
    (tmp_path / "app.json").write_text('{"password": "${{ app.db }}"}')
    (tmp_path / "app.yaml").write_text("password: ${{ app.db }}\n")
    return realm


class TestImports:
    # What each command must not import: each module costs the start-up of every run.
    @pytest.mark.parametrize(
        ("args", "unused"),
        [
            (["--version"], {"argparse", "kuv_meta", "kuv_secrets.secrets", "threading", "shutil"}),
            (["keygen"], {"kuv_meta", "sqlite3", "kuv_secrets.secrets"}),
            # The module's uuid imports threading on 3.10 (through platform and subprocess).
            (["get", "app.db"], {"yaml", "dataclasses", "kuv_secrets.render.formats", "shutil"}),
            (["render", "app.json"], {"yaml", "shutil"}),
            (["render", "app.yaml"], {"shutil"}),
        ],
    )
    def test_a_command_imports_what_it_uses(
        self, env: dict[str, str], tmp_path: Path, args: list[str], unused: set[str]
    ) -> None:
        seen = run_json(
            f"""
            import io, sys
            from kuv_secrets import cli
            ctx = cli.Context(None, io.BytesIO(), io.StringIO(), {env!r}, {str(tmp_path)!r})
            status = cli.main({args!r}, ctx)
            emit([status, sorted(sys.modules), ctx.stdout.getvalue().decode()])
            """
        )
        status, modules, out = seen
        assert (status, bool(out)) == (0, True)
        assert unused.isdisjoint(modules)
        assert ("yaml" in modules) == (args[-1] == "app.yaml")


class _ShortWrites(io.RawIOBase):
    """Unbuffered output that takes at most three bytes a call, as a pipe may."""

    def __init__(self) -> None:
        self.data = bytearray()

    def writable(self) -> bool:
        return True

    def write(self, data: Any) -> int:
        self.data += bytes(data[:3])
        return min(3, len(data))

    def getvalue(self) -> bytes:
        return bytes(self.data)


class _Failing(io.BytesIO):
    def __init__(self, err: int) -> None:
        super().__init__()
        self.err = err

    def write(self, data: Any) -> int:
        raise OSError(self.err, os.strerror(self.err))


class TestVersion:
    # "--vers" is an abbreviation that only argparse's own version action understands.
    @pytest.mark.parametrize(
        "stdout",
        [io.BytesIO, _ShortWrites, lambda: None, lambda: _Failing(errno.EPIPE)],
        ids=["buffered", "short writes", "closed", "broken pipe"],
    )
    def test_answered_as_argparse_answers(self, stdout: Any) -> None:
        results = []
        for flag in ("--version", "--vers"):
            out, err = stdout(), io.StringIO()
            status = cli.main([flag], cli.Context(None, out, err, {}, os.getcwd()))
            results.append((status, out.getvalue() if out else None, err.getvalue()))
        assert results[0] == results[1]
        if results[0][0] == 0:
            assert results[0][1] == f"kuv-secrets {__version__}\n".encode()


@pytest.fixture
def terminal(request: pytest.FixtureRequest) -> Iterator[Any]:
    """A terminal of the given width, or None."""
    if request.param is None:
        yield None
        return
    leader, follower = os.openpty()
    fcntl.ioctl(follower, termios.TIOCSWINSZ, struct.pack("HHHH", 24, request.param, 0, 0))
    with open(follower, "wb", buffering=0) as stream:
        yield stream
    os.close(leader)


class TestHelpWidth:
    # The width shutil gives argparse, but asked of the context's environment and output.
    @pytest.mark.parametrize("columns", [None, "", "abc", "0", "-3", "90", " 61 "])
    @pytest.mark.parametrize(
        "terminal",
        [
            None,
            57,
            0,
        ],
        indirect=True,
    )
    def test_as_shutil_finds_it(
        self, monkeypatch: pytest.MonkeyPatch, columns: str | None, terminal: Any
    ) -> None:
        monkeypatch.delenv("LINES", raising=False)
        monkeypatch.delenv("COLUMNS", raising=False)
        if columns is not None:
            monkeypatch.setenv("COLUMNS", columns)
        monkeypatch.setattr(sys, "__stdout__", terminal)
        ctx = cli.Context(None, terminal, None, dict(os.environ), os.getcwd())
        # 3.10's shutil takes a terminal's 0 columns as they are; later ones fall back to 80.
        assert parser._help_width(ctx) == (shutil.get_terminal_size().columns or 80) - 2


class TestSignals:
    def test_a_command_in_another_thread_leaves_handlers_alone(self, env: dict[str, str]) -> None:
        before = signal.getsignal(signal.SIGTERM)
        out = io.BytesIO()
        ctx = cli.Context(None, out, io.StringIO(), env, os.getcwd())
        statuses: list[int] = []
        worker = threading.Thread(target=lambda: statuses.append(cli.main(["get", "app.db"], ctx)))
        worker.start()
        worker.join()
        assert (statuses, out.getvalue()) == ([0], SECRET.encode())
        assert signal.getsignal(signal.SIGTERM) is before


def test_yaml_unsafe_characters_listed_as_the_complement_of_what_yaml_takes() -> None:
    # The pattern as first written: slow to compile, but in YAML's own terms.
    takes = "\x09\x0a\x0d\x20-\x7e\xa0-\ud7ff\ue000-\ufefe\uff00-\ufffd\U00010000-\U0010ffff"
    oracle = re.compile(f"[^{takes}]|[\u2028\u2029]")
    every = "".join(map(chr, range(sys.maxunicode + 1)))
    found = [m.start() for m in yamlspans._UNSAFE.compiled.finditer(every)]
    assert found == [m.start() for m in oracle.finditer(every)]
