"""Fresh interpreters for start-up behaviour, which one process can only see once."""

from __future__ import annotations

import importlib.util
import json
import os
import signal
import subprocess
import sys
import textwrap
from collections.abc import Iterable, Mapping
from pathlib import Path
from typing import Any

TESTS = Path(__file__).resolve().parent
FAKE_FRAMEWORK = TESTS / "fakeframework"

# Every snippet may end with emit(value): the value comes back through run_json.
PRELUDE = "import json as _json\n\ndef emit(value):\n    print(_json.dumps(value))\n\n"


def package_dir() -> Path:
    """The installed kuv_secrets folder (finding it does not initialise the module)."""
    spec = importlib.util.find_spec("kuv_secrets")
    assert spec is not None and spec.submodule_search_locations is not None
    return Path(next(iter(spec.submodule_search_locations)))


def default_signals() -> None:
    """For a child: undo what started the test run ignored (nohup, a background job), so that
    signal tests see what a user's process sees."""
    for signum in (signal.SIGINT, signal.SIGQUIT, signal.SIGTERM, signal.SIGHUP):
        signal.signal(signum, signal.SIG_DFL)


def run_python(
    code: str,
    *,
    env: Mapping[str, str] | None = None,
    path: Iterable[Path | str] = (),
) -> subprocess.CompletedProcess[str]:
    """Runs `code` in a new interpreter with no KUV_* variables but those in `env`.

    `path` becomes PYTHONPATH, ahead of the installed packages (a fake framework goes there).
    """
    environ = {k: v for k, v in os.environ.items() if not k.startswith("KUV_")}
    environ.pop("PYTHONPATH", None)
    environ.update(env or {})
    entries = [str(p) for p in path]
    if entries:
        environ["PYTHONPATH"] = os.pathsep.join(entries)
    return subprocess.run(
        [sys.executable, "-W", "error", "-c", PRELUDE + textwrap.dedent(code)],
        check=False,
        env=environ,
        cwd=TESTS,
        capture_output=True,
        text=True,
        timeout=120,
        preexec_fn=default_signals,
    )


def run_json(
    code: str,
    *,
    env: Mapping[str, str] | None = None,
    path: Iterable[Path | str] = (),
) -> Any:
    """Runs `code` like run_python and returns what its last emit() printed."""
    proc = run_python(code, env=env, path=path)
    assert proc.returncode == 0, proc.stderr
    lines = proc.stdout.splitlines()
    assert lines, f"no output; stderr:\n{proc.stderr}"
    return json.loads(lines[-1])
