"""File secrets published from other processes: racing each other, and under a C locale. Killed
mid-write, and on file systems that lack what publication tries first: test_publication.py."""

from __future__ import annotations

import json
import os
import subprocess
import sys
import time
from pathlib import Path

import preload
import pytest
from cryptography.fernet import Fernet

from kuv_secrets import secrets

WORKERS = 8

# Each worker imports first, reports ready, then waits for the common start signal so that the
# resolutions overlap as closely as processes allow.
WORKER = """
import json, os, sys, time
from kuv_secrets import secrets
ready, go, sid = sys.argv[1:4]
open(ready, "w").close()
while not os.path.exists(go):
    time.sleep(0.001)
try:
    print(json.dumps({"path": secrets.Secrets.get_secret_from_id(sid)}))
except BaseException as exc:
    print(json.dumps({"error": repr(exc)}))
"""


@pytest.mark.parametrize("round_", range(3))
def test_same_file_secret_from_many_processes(
    tmp_path: Path, monkeypatch: pytest.MonkeyPatch, round_: int
) -> None:
    key = Fernet.generate_key()
    value = f"round {round_}\r\nnon-ASCII ✓ " + "x" * 100_000
    monkeypatch.setenv("KUV_DATABASE", str(tmp_path / "db.sqlite3"))
    env = dict(os.environ, KUV_TOP_SECRET=key.decode())
    record = secrets.Secrets(
        encrypted_secret=Fernet(key).encrypt(value.encode()).decode(),
        is_file=True,
        file_path=str(tmp_path / "out" / "nested"),
        file_name="shared.txt",
    )
    record.save()

    go = tmp_path / "go"
    procs = [
        subprocess.Popen(
            [sys.executable, "-c", WORKER, str(tmp_path / f"ready{i}"), str(go), record.id],
            env=env,
            stdout=subprocess.PIPE,
            stderr=subprocess.PIPE,
            text=True,
        )
        for i in range(WORKERS)
    ]
    deadline = time.monotonic() + 120
    while not all((tmp_path / f"ready{i}").exists() for i in range(WORKERS)):
        assert time.monotonic() < deadline, "workers did not start"
        assert all(p.poll() is None for p in procs), [p.communicate() for p in procs]
        time.sleep(0.01)
    go.touch()
    results = []
    for p in procs:
        out, err = p.communicate(timeout=120)
        assert p.returncode == 0, err
        results.append(json.loads(out))

    expected = os.path.join(str(tmp_path / "out" / "nested"), "shared.txt")
    assert results == [{"path": expected}] * WORKERS
    assert os.listdir(tmp_path / "out" / "nested") == ["shared.txt"]
    assert Path(expected).read_bytes() == value.encode()
    assert os.stat(expected).st_mode & 0o777 == 0o600


@pytest.fixture(scope="module")
def shim(tmp_path_factory: pytest.TempPathFactory) -> Path:
    return preload.build(tmp_path_factory.mktemp("shim"))


def test_written_as_utf8_under_a_c_locale(shim: Path, tmp_path: Path) -> None:
    proc = preload.publisher(shim, tmp_path, "zażółć 🔑", LC_ALL="C", PYTHONUTF8="0")
    assert json.loads(proc.communicate(timeout=120)[0]) == {"path": str(tmp_path / "pw")}
    assert (tmp_path / "pw").read_bytes() == "zażółć 🔑".encode()
