"""File secrets published from other processes: racing each other, killed mid-write, and on file
systems without unnamed files, hard links or exclusive renames (failures injected by a preload)."""

from __future__ import annotations

import errno
import json
import os
import shutil
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


# Fails chosen calls (FAULTS="call=errno ..."), logs the publication calls it sees to SHIM_LOG
# ("call" passed on, "call!" failed), and stops a process at its first large write when STALL
# names a file to create then.
SHIM = r"""
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/types.h>
#include <unistd.h>

#define REAL(name) ((__typeof__(&name))dlsym(RTLD_NEXT, #name))

static int faulted(const char *call) {
    const char *spec = getenv("FAULTS"), *p = spec;
    size_t n = strlen(call);
    int err = 0;
    while (p && (p = strstr(p, call))) {
        if ((p == spec || p[-1] == ' ') && p[n] == '=') err = atoi(p + n + 1);
        p += n;
    }
    const char *log = getenv("SHIM_LOG");
    if (log) {
        int fd = REAL(open)(log, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0600);
        dprintf(fd, "%s%s\n", call, err ? "!" : "");
        close(fd);
    }
    errno = err;
    return err;
}

#define OPEN(name)                                                                  \
    int name(const char *path, int flags, ...) {                                    \
        va_list ap;                                                                 \
        va_start(ap, flags);                                                        \
        mode_t mode = va_arg(ap, mode_t);                                           \
        va_end(ap);                                                                 \
        if ((flags & O_TMPFILE) == O_TMPFILE && faulted("tmpfile")) return -1;      \
        return REAL(name)(path, flags, mode);                                       \
    }
OPEN(open)
OPEN(open64)

int linkat(int a, const char *from, int b, const char *to, int flags) {
    return faulted("linkat") ? -1 : REAL(linkat)(a, from, b, to, flags);
}

int link(const char *from, const char *to) {
    return faulted("link") ? -1 : REAL(link)(from, to);
}

int renameat2(int a, const char *from, int b, const char *to, unsigned flags) {
    return faulted("renameat2") ? -1 : REAL(renameat2)(a, from, b, to, flags);
}

ssize_t write(int fd, const void *data, size_t size) {
    const char *stall = getenv("STALL");
    if (stall && size >= (1 << 20)) {
        close(REAL(open)(stall, O_WRONLY | O_CREAT | O_CLOEXEC, 0600));
        for (;;) pause();
    }
    return REAL(write)(fd, data, size);
}
"""

# Resolves a file secret "pw" in argv[1] holding argv[2] * int(argv[3]), blind to a file in
# place as when another process publishes first.
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
        return sys.argv[2] * int(sys.argv[3])

secrets.os = SimpleNamespace(path=SimpleNamespace(join=os.path.join, exists=lambda p: False))
try:
    print(json.dumps({"path": Probe.get_secret_from_id("id")}))
except Exception as exc:
    print(json.dumps({"error": type(exc).__name__, "message": str(exc)}))
"""


@pytest.fixture(scope="module")
def shim(tmp_path_factory: pytest.TempPathFactory) -> Path:
    compiler = shutil.which("cc") or shutil.which("gcc")
    if compiler is None:
        pytest.skip("no C compiler")
    folder = tmp_path_factory.mktemp("shim")
    (folder / "shim.c").write_text(SHIM)
    subprocess.run(
        [compiler, "-shared", "-fPIC", "-O1", "-o", "shim.so", "shim.c", "-ldl"],
        cwd=folder,
        check=True,
    )
    return folder / "shim.so"


def publisher(shim: Path, directory: Path, value: str, repeat: int = 1, **env: str) -> Any:
    environ = {k: v for k, v in os.environ.items() if not k.startswith("KUV_")}
    # The sanitizer run preloads its runtimes; they must stay first.
    environ["LD_PRELOAD"] = " ".join(filter(None, [os.environ.get("LD_PRELOAD"), str(shim)]))
    environ["PYTHONPATH"] = str(support.FAKE_FRAMEWORK)
    environ.update(env)
    argv = [sys.executable, "-c", PUBLISHER, str(directory), value, str(repeat)]
    return subprocess.Popen(argv, env=environ, stdout=subprocess.PIPE, text=True)


E = errno
ROUTES = [
    # faults, file in place, calls seen, outcome
    ("", None, "tmpfile linkat", "ok"),
    (f"tmpfile={E.EOPNOTSUPP}", None, "tmpfile! link", "ok"),
    (f"tmpfile={E.EISDIR}", None, "tmpfile! link", "ok"),
    (f"tmpfile={E.EINVAL}", None, "tmpfile! link", "ok"),
    (f"linkat={E.ENOENT}", None, "tmpfile linkat! link", "ok"),
    (f"linkat={E.EPERM}", None, "tmpfile linkat! renameat2", "ok"),
    (f"tmpfile={E.EOPNOTSUPP} link={E.EXDEV}", None, "tmpfile! link! renameat2", "ok"),
    (f"tmpfile={E.EOPNOTSUPP}", "v ✓", "tmpfile! link", "ok"),
    (f"linkat={E.EPERM}", "theirs", "tmpfile linkat! renameat2", "ValueError"),
    (f"linkat={E.EPERM} renameat2={E.ENOSYS}", None, "tmpfile linkat! renameat2!", "OSError"),
    (
        f"tmpfile={E.EOPNOTSUPP} link={E.EPERM} renameat2={E.EINVAL}",
        None,
        "tmpfile! link! renameat2!",
        "OSError",
    ),
]


@pytest.mark.parametrize(("faults", "existing", "calls", "outcome"), ROUTES)
def test_publication_routes(
    shim: Path, tmp_path: Path, faults: str, existing: str | None, calls: str, outcome: str
) -> None:
    directory, log = tmp_path / "out", tmp_path / "log"
    directory.mkdir()
    target = directory / "pw"
    if existing is not None:
        target.write_text(existing)
        target.chmod(0o600)
    proc = publisher(shim, directory, "v ✓", FAULTS=faults, SHIM_LOG=str(log))
    result = json.loads(proc.communicate(timeout=120)[0])
    assert log.read_text().split() == calls.split()
    if outcome == "ok":
        assert result == {"path": str(target)}
        assert target.read_bytes() == "v ✓".encode() and target.stat().st_mode & 0o777 == 0o600
    else:
        assert result["error"] == outcome
    if outcome == "OSError":
        assert "neither by a hard link nor by an exclusive rename" in result["message"]
        assert repr(str(target)) in result["message"] and ".tmp" not in result["message"]
    assert os.listdir(directory) == ([] if outcome == "OSError" else ["pw"])
    if existing is not None:
        assert target.read_text() == existing


@pytest.mark.parametrize("sig", [signal.SIGKILL, signal.SIGTERM])
def test_killed_mid_write_leaves_no_file(shim: Path, tmp_path: Path, sig: int) -> None:
    directory, stalled = tmp_path / "out", tmp_path / "stalled"
    directory.mkdir()
    proc = publisher(shim, directory, "x", 4 << 20, STALL=str(stalled))
    deadline = time.monotonic() + 120
    while not stalled.exists():
        assert proc.poll() is None, proc.communicate()
        assert time.monotonic() < deadline, "the write was never reached"
        time.sleep(0.01)
    assert os.listdir(directory) == []  # half the value is written, under no name
    proc.send_signal(sig)
    proc.communicate(timeout=120)
    assert os.listdir(directory) == []
