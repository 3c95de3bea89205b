"""The typed stub: a strict host type-checks against it, and it matches the compiled module."""

from __future__ import annotations

import importlib.util
import os
import subprocess
import sys
from pathlib import Path

import pytest

pytest.importorskip("mypy")

TESTS = Path(__file__).resolve().parent
FRAMEWORK = TESTS.parent / "framework"


def _mypy(args: list[str], cwd: Path, **env: str) -> subprocess.CompletedProcess[str]:
    return subprocess.run(
        [sys.executable, "-m", *args],
        check=False,
        cwd=cwd,
        env={**os.environ, **env},
        capture_output=True,
        text=True,
        timeout=300,
    )


@pytest.fixture(scope="module")
def cache(tmp_path_factory: pytest.TempPathFactory) -> str:
    """One mypy cache for the module's runs: the standard library's stubs are read once."""
    return str(tmp_path_factory.mktemp("mypy") / "cache")


def test_strict_host_code_checks(tmp_path: Path, cache: str) -> None:
    result = _mypy(
        ["mypy", "--strict", "--cache-dir", cache, str(TESTS / "typing_usage.py")], tmp_path
    )
    assert result.returncode == 0, result.stdout + result.stderr


# Built where libyaml is installed.
OPTIONAL = [name for name in ["kuv_secrets._yamlscan"] if importlib.util.find_spec(name)]


def test_stub_matches_runtime(tmp_path: Path) -> None:
    # The framework's modules carry no py.typed marker, so their source is named explicitly.
    result = _mypy(
        ["mypy.stubtest", "kuv_secrets.secrets", "kuv_secrets._files", *OPTIONAL],
        tmp_path,
        MYPYPATH=str(FRAMEWORK),
    )
    assert result.returncode == 0, result.stdout + result.stderr


def test_python_parts_are_strictly_typed(tmp_path: Path, cache: str) -> None:
    root = TESTS.parent
    parts = [
        root / "src" / "kuv_secrets",
        *(FRAMEWORK / f"kuv_{m}.py" for m in ("fields", "journal", "meta", "store")),
    ]
    result = _mypy(
        ["mypy", "--strict", "--cache-dir", cache, *map(str, parts)],
        tmp_path,
        MYPYPATH=str(FRAMEWORK),
    )
    assert result.returncode == 0, result.stdout + result.stderr
