"""File secrets published from other processes: racing each other, killed mid-write, and on file
systems without unnamed files, hard links or exclusive renames (failures injected by a preload)."""

from __future__ import annotations

import errno
import json
import os
import re
import signal
import subprocess
import sys
import time
from pathlib import Path
from typing import Any

import pytest
from cryptography.fernet import Fernet

from kuv_secrets import secrets

import support

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


# A preload that fails chosen calls (FAULTS=" call=errno ..."), logs the publication calls to
# SHIM_LOG ("call!" when failed) and, with STALL set, creates that file and stops at a large write.
SHIM = r"""
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>
#define REAL(f) ((__typeof__(&f))dlsym(RTLD_NEXT, #f))
#define TMPFILE (020000000 | 0200000)

static int fails(const char *call) {
    char key[32];
    snprintf(key, sizeof key, " %s=", call);
    const char *hit = strstr(getenv("FAULTS"), key);
    int err = hit ? atoi(hit + strlen(key)) : 0;
    FILE *log = fopen(getenv("SHIM_LOG"), "a");
    fprintf(log, "%s%s\n", call, err ? "!" : "");
    fclose(log);
    return errno = err;
}
int open64(const char *path, int flags, unsigned mode) {
    return (flags & TMPFILE) == TMPFILE && fails("tmpfile") ? -1 : REAL(open64)(path, flags, mode);
}
int linkat(int a, const char *from, int b, const char *to, int flags) {
    return fails("linkat") ? -1 : REAL(linkat)(a, from, b, to, flags);
}
int link(const char *from, const char *to) { return fails("link") ? -1 : REAL(link)(from, to); }
int renameat2(int a, const char *from, int b, const char *to, unsigned flags) {
    return fails("renameat2") ? -1 : REAL(renameat2)(a, from, b, to, flags);
}
ssize_t write(int fd, const void *data, size_t size) {
    const char *stall = getenv("STALL");
    if (stall && size >= 1 << 20 && fclose(fopen(stall, "w")) == 0)
        for (;;) pause();
    return REAL(write)(fd, data, size);
}
"""

# Resolves the file secret "pw" in argv[1], of value json.loads(argv[2]) * int(argv[3]), blind
# to a file in place as when another process publishes first.
PUBLISHER = """
import json, os, sys
from types import SimpleNamespace
from kuv_secrets import secrets

class Probe(secrets.Secrets):
    @classmethod
    def load(cls, secret_id):
        return SimpleNamespace(
            encrypted_secret="t", is_file=True, file_path=sys.argv[1], file_name="pw")

    @classmethod
    def decrypt(cls, data, key):
        return json.loads(sys.argv[2]) * int(sys.argv[3])

secrets.os = SimpleNamespace(path=SimpleNamespace(join=os.path.join, exists=lambda p: False))
try:
    print(json.dumps({"path": Probe.get_secret_from_id("id")}))
except Exception as exc:
    print(json.dumps({"error": type(exc).__name__, "message": str(exc)}))
"""


@pytest.fixture(scope="module")
def shim(tmp_path_factory: pytest.TempPathFactory) -> Path:
    folder = tmp_path_factory.mktemp("shim")
    (folder / "shim.c").write_text(SHIM)
    cc = ["cc", "-shared", "-fPIC", "-O1", "-o", "shim.so", "shim.c", "-ldl"]
    subprocess.run(cc, cwd=folder, check=True)
    return folder / "shim.so"


def publisher(shim: Path, directory: Path, value: str, repeat: int = 1, **env: str) -> Any:
    environ = {k: v for k, v in os.environ.items() if not k.startswith("KUV_")}
    # The sanitizer run preloads its runtimes; they must stay first.
    environ["LD_PRELOAD"] = " ".join(filter(None, [os.environ.get("LD_PRELOAD"), str(shim)]))
    environ.update(PYTHONPATH=str(support.FAKE_FRAMEWORK), FAULTS=" ", SHIM_LOG=os.devnull)
    environ.update(env)
    argv = [sys.executable, "-c", PUBLISHER, str(directory), json.dumps(value), str(repeat)]
    return subprocess.Popen(argv, env=environ, stdout=subprocess.PIPE, text=True)


@pytest.mark.parametrize(
    ("faults", "existing", "calls", "outcome"),
    [
        ("", None, "tmpfile linkat", "ok"),
        ("tmpfile=EOPNOTSUPP", None, "tmpfile! link", "ok"),
        ("tmpfile=EISDIR", None, "tmpfile! link", "ok"),
        ("tmpfile=EINVAL", None, "tmpfile! link", "ok"),
        ("linkat=ENOENT", None, "tmpfile linkat! link", "ok"),  # no /proc
        ("linkat=EPERM", None, "tmpfile linkat! renameat2", "ok"),
        ("tmpfile=EOPNOTSUPP link=EXDEV", None, "tmpfile! link! renameat2", "ok"),
        ("tmpfile=EOPNOTSUPP", "v ✓", "tmpfile! link", "ok"),
        ("linkat=EPERM", "theirs", "tmpfile linkat! renameat2", "ValueError"),
        ("linkat=EPERM renameat2=ENOSYS", None, "tmpfile linkat! renameat2!", "OSError"),
        (
            "tmpfile=EOPNOTSUPP link=EPERM renameat2=EINVAL",
            None,
            "tmpfile! link! renameat2!",
            "OSError",
        ),
    ],
)
def test_publication_routes(
    shim: Path, tmp_path: Path, faults: str, existing: str | None, calls: str, outcome: str
) -> None:
    log, target = tmp_path / "log", tmp_path / "out" / "pw"
    target.parent.mkdir()
    if existing is not None:
        target.write_text(existing)
        target.chmod(0o600)
    faults = " " + re.sub(r"[A-Z]+", lambda m: str(getattr(errno, m[0])), faults)
    proc = publisher(shim, target.parent, "v ✓", FAULTS=faults, SHIM_LOG=str(log))
    result = json.loads(proc.communicate(timeout=120)[0])
    assert log.read_text().split() == calls.split()
    if outcome == "ok":
        assert result == {"path": str(target)} and target.stat().st_mode & 0o777 == 0o600
    else:
        assert result["error"] == outcome
    if outcome == "OSError":
        assert "neither by a hard link nor by an exclusive rename" in result["message"]
        assert repr(str(target)) in result["message"] and ".tmp" not in result["message"]
    assert os.listdir(target.parent) == ([] if outcome == "OSError" else ["pw"])
    assert outcome == "OSError" or target.read_text() == (existing or "v ✓")


def test_written_as_utf8_under_a_c_locale(shim: Path, tmp_path: Path) -> None:
    proc = publisher(shim, tmp_path, "zażółć 🔑", LC_ALL="C", PYTHONUTF8="0")
    assert json.loads(proc.communicate(timeout=120)[0]) == {"path": str(tmp_path / "pw")}
    assert (tmp_path / "pw").read_bytes() == "zażółć 🔑".encode()


@pytest.mark.parametrize("sig", [signal.SIGKILL, signal.SIGTERM])
def test_killed_mid_write_leaves_no_file(shim: Path, tmp_path: Path, sig: int) -> None:
    stalled = tmp_path / "stalled"
    proc = publisher(shim, tmp_path / "out", "x", 4 << 20, STALL=str(stalled))
    deadline = time.monotonic() + 120
    while not stalled.exists():
        assert proc.poll() is None and time.monotonic() < deadline, "no write was reached"
        time.sleep(0.01)
    assert os.listdir(tmp_path / "out") == []  # half the value is written, under no name
    proc.send_signal(sig)
    proc.communicate(timeout=120)
    assert os.listdir(tmp_path / "out") == []
