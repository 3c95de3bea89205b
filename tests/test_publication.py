"""Publication of a file in one step, as the module does it for a file secret and the command line
for its output: one implementation, so one table of file systems that lack what it tries first
or fail it (failures injected by a preload), run through both."""

from __future__ import annotations

import errno
import json
import os
import signal
import subprocess
import sys
import time
from collections.abc import Iterator
from pathlib import Path

import preload
import pytest

from kuv_secrets import _files

import support

VALUE = "v ✓"
THEIRS = "theirs"
USERS = ("module", "cli")
NAMED_INTERRUPTED = "tmpfile=EOPNOTSUPP write=EINTR signal=SIGINT"

# faults, file in place, replace it, calls made, outcome; the module never replaces, and it takes
# a file holding its own value as published.
TABLE: list[tuple[str, str | None, bool, str, str, tuple[str, ...]]] = [
    ("", None, False, "tmpfile linkat", "ok", USERS),
    ("tmpfile=EOPNOTSUPP", None, False, "tmpfile! link", "ok", USERS),
    ("tmpfile=EISDIR", None, False, "tmpfile! link", "ok", USERS),
    ("tmpfile=EINVAL", None, False, "tmpfile! link", "ok", USERS),
    ("linkat=ENOENT", None, False, "tmpfile linkat! link", "ok", USERS),  # no /proc
    ("linkat=EPERM", None, False, "tmpfile linkat! renameat2", "ok", USERS),
    ("tmpfile=EOPNOTSUPP link=EXDEV", None, False, "tmpfile! link! renameat2", "ok", USERS),
    ("linkat=EPERM renameat2=ENOSYS", None, False, "tmpfile linkat! renameat2!", "OSError", USERS),
    (
        "tmpfile=EOPNOTSUPP link=EPERM renameat2=EINVAL",
        None,
        False,
        "tmpfile! link! renameat2!",
        "OSError",
        USERS,
    ),
    # The file is in place whatever the directory's fsync says.
    ("dirsync=EIO", None, False, "tmpfile linkat dirsync!", "ok", USERS),
    ("dirsync=EIO", THEIRS, True, "tmpfile linkat rename dirsync!", "ok", ("cli",)),
    ("tmpfile=EOPNOTSUPP", VALUE, False, "tmpfile! link", "ok", ("module",)),
    ("", THEIRS, False, "tmpfile linkat", "taken", USERS),
    ("tmpfile=EOPNOTSUPP", THEIRS, False, "tmpfile! link", "taken", USERS),
    ("linkat=EPERM", THEIRS, False, "tmpfile linkat! renameat2", "taken", USERS),
    ("", THEIRS, True, "tmpfile linkat rename", "ok", ("cli",)),
    ("", None, True, "tmpfile linkat rename", "ok", ("cli",)),
    ("tmpfile=EOPNOTSUPP", THEIRS, True, "tmpfile! rename", "ok", ("cli",)),
    ("linkat=ENOENT", THEIRS, True, "tmpfile linkat! rename", "ok", ("cli",)),
    ("linkat=EXDEV", THEIRS, True, "tmpfile linkat! rename", "ok", ("cli",)),
    ("rename=EXDEV", THEIRS, True, "tmpfile linkat rename!", "OSError", ("cli",)),
    ("write=ENOSPC", None, False, "tmpfile write!", "OSError", USERS),
    ("tmpfile=EOPNOTSUPP write=ENOSPC", None, False, "tmpfile! write!", "OSError", USERS),
    ("write=ENOSPC", THEIRS, True, "tmpfile write!", "OSError", ("cli",)),
    ("tmpfile=EOPNOTSUPP write=ENOSPC", THEIRS, True, "tmpfile! write!", "OSError", ("cli",)),
    # Ctrl-C mid-write: Python's handler raises, and the temporary file goes.
    ("write=EINTR signal=SIGINT", None, False, "tmpfile write!", "interrupted", USERS),
    (NAMED_INTERRUPTED, None, False, "tmpfile! write!", "interrupted", USERS),
    (NAMED_INTERRUPTED, THEIRS, True, "tmpfile! write!", "interrupted", ("cli",)),
    # A signal while the data goes out: the write completes, but the file never gets its name.
    ("late=SIGINT", None, False, "tmpfile", "interrupted", USERS),
    ("tmpfile=EOPNOTSUPP late=SIGINT", None, False, "tmpfile!", "interrupted", USERS),
    ("late=SIGINT", THEIRS, True, "tmpfile", "interrupted", ("cli",)),
]

OUTCOMES = {"ValueError": "taken", "CliError": "taken", "KeyboardInterrupt": "interrupted"}


@pytest.fixture(scope="module")
def shim(tmp_path_factory: pytest.TempPathFactory) -> Path:
    return preload.build(tmp_path_factory.mktemp("shim"))


@pytest.fixture
def out(tmp_path: Path) -> Path:
    (tmp_path / "out").mkdir()
    return tmp_path / "out"


def after(directory: Path) -> dict[str, str]:
    return {p.name: p.read_text() for p in directory.iterdir()}


@pytest.mark.parametrize(
    ("user", "faults", "before", "replace", "calls", "outcome"),
    [(user, *row[:-1]) for row in TABLE for user in row[-1]],
)
def test_conformance(
    shim: Path,
    tmp_path: Path,
    out: Path,
    user: str,
    faults: str,
    before: str | None,
    replace: bool,
    calls: str,
    outcome: str,
) -> None:
    log, target = tmp_path / "log", out / "pw"
    if before is not None:
        target.write_text(before)
        target.chmod(0o600)
    proc = preload.publisher(
        shim,
        out,
        VALUE,
        user=user,
        replace=replace,
        FAULTS=preload.faults(faults),
        SHIM_LOG=str(log),
    )
    result = json.loads(proc.communicate(timeout=120)[0])
    assert log.read_text().split() == calls.split()
    assert OUTCOMES.get(result.get("error"), result.get("error", "ok")) == outcome, result
    # Failures name the user's path, never a temporary file.
    assert ".tmp" not in result.get("message", "")
    if result.get("error") in ("OSError", "CliError"):
        assert str(target) in result["message"]
    if outcome == "ok":
        assert result == {"path": str(target)} and target.stat().st_mode & 0o777 == 0o600
    expected = VALUE if outcome == "ok" else before
    assert after(out) == ({} if expected is None else {"pw": expected})


@pytest.mark.parametrize(("user", "before"), [("module", None), ("cli", THEIRS)])
@pytest.mark.parametrize("sig", [signal.SIGKILL, signal.SIGTERM])
def test_killed_mid_write_leaves_no_file(
    shim: Path, out: Path, user: str, before: str | None, sig: int
) -> None:
    if before is not None:
        (out / "pw").write_text(before)
    stalled = out.parent / "stalled"
    proc = preload.publisher(
        shim, out, "x", 4 << 20, user=user, replace=before is not None, STALL=str(stalled)
    )
    deadline = time.monotonic() + 120
    while not stalled.exists():
        assert proc.poll() is None and time.monotonic() < deadline, "no write was reached"
        time.sleep(0.01)
    # Half the value is written, under no name.
    assert after(out) == ({} if before is None else {"pw": before})
    proc.send_signal(sig)
    proc.communicate(timeout=120)
    assert after(out) == ({} if before is None else {"pw": before})


@pytest.mark.parametrize("force", [False, True])
@pytest.mark.parametrize("signum", [signal.SIGINT, signal.SIGTERM, signal.SIGHUP])
def test_render_interrupted_mid_write(shim: Path, out: Path, signum: int, force: bool) -> None:
    """The command's own handlers unwind publication: its status, and nothing left behind."""
    (out.parent / "in.txt").write_text("new")
    if force:
        (out / "pw").write_text(THEIRS)
    wanted = f"tmpfile=EOPNOTSUPP write=EINTR signal={signal.Signals(signum).name}"
    env = preload.environment(shim, FAULT_DIR=str(out), FAULTS=preload.faults(wanted))
    argv = [sys.executable, "-m", "kuv_secrets", "render", "in.txt", "-o", "out/pw"]
    run = subprocess.run(
        argv + ["--force"] * force,
        cwd=out.parent,
        env={**env, "KUV_DATABASE": str(out.parent / "realm.sqlite3")},
        capture_output=True,
        check=False,
        timeout=120,
        preexec_fn=support.default_signals,
    )
    assert (run.returncode, run.stderr) == (130 if signum == signal.SIGINT else 128 + signum, b"")
    assert after(out) == ({"pw": THEIRS} if force else {})


def place(kind: str, path: Path) -> None:
    if kind.startswith("link to "):
        place(kind[len("link to ") :], path.with_name("real"))
        path.symlink_to("real")
    elif kind == "fifo":
        os.mkfifo(path)
    elif kind == "directory":
        path.mkdir()
    elif kind != "nothing":
        path.write_text(kind)
        path.chmod(0o620 if kind == "writable" else 0o600)


# What stands at the path, whether links are followed, and holds(path, VALUE) or its error.
@pytest.mark.parametrize(
    ("kind", "follow", "answer"),
    [
        ("nothing", True, False),
        (VALUE, True, True),
        (VALUE + "!", True, False),
        ("", True, False),
        (f"link to {VALUE}", True, True),
        (f"link to {VALUE}", False, "ELOOP"),
        ("link to nothing", True, False),
        ("writable", True, "EACCES"),
        ("fifo", True, "EINVAL"),  # refused without waiting for a writer
        ("directory", True, "EISDIR"),
        ("link to directory", False, "ELOOP"),
    ],
)
def test_trusted_file_holds(tmp_path: Path, kind: str, follow: bool, answer: bool | str) -> None:
    """The check behind resolution's "Impossible to overwrite", which the command line asks
    before it replaces or removes a file."""
    place(kind, tmp_path / "pw")
    try:
        held: bool | str = _files.holds(tmp_path / "pw", VALUE.encode(), follow_symlinks=follow)
    except OSError as exc:
        assert exc.filename == tmp_path / "pw" and exc.errno is not None
        held = errno.errorcode[exc.errno]
    assert held == answer


@pytest.fixture(autouse=True)
def _no_stray_files(tmp_path: Path) -> Iterator[None]:
    yield
    assert not list(tmp_path.rglob("*.tmp"))
