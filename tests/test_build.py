"""What the installed shared object exports."""

from __future__ import annotations

import importlib.util
import shutil
import subprocess
from pathlib import Path

import pytest

# Each extension and its one exported symbol.
EXTENSIONS = {"kuv_secrets.secrets": "PyInit_secrets", "kuv_secrets._files": "PyInit__files"}
if importlib.util.find_spec("kuv_secrets._yamlscan"):  # built where libyaml is installed
    EXTENSIONS["kuv_secrets._yamlscan"] = "PyInit__yamlscan"


def shared_object(name: str) -> Path:
    # Finding the module loads the package but does not initialise the module.
    spec = importlib.util.find_spec(name)
    assert spec is not None and spec.origin is not None
    return Path(spec.origin)


def defined_dynamic_symbols(path: Path) -> set[str]:
    nm = shutil.which("nm")
    if nm:
        out = subprocess.run(
            [nm, "-D", "--defined-only", str(path)], check=True, capture_output=True, text=True
        ).stdout
        return {line.split()[-1] for line in out.splitlines() if line.strip()}
    try:
        from elftools.elf.elffile import ELFFile  # type: ignore[import-not-found]
    except ImportError:
        pytest.skip("neither nm nor pyelftools is available to read the symbol table")
    with path.open("rb") as stream:
        table = ELFFile(stream).get_section_by_name(".dynsym")
        return {
            sym.name
            for sym in table.iter_symbols()
            if sym.name and sym.entry["st_shndx"] != "SHN_UNDEF"
        }


@pytest.mark.parametrize(("name", "entry_point"), EXTENSIONS.items())
def test_only_the_entry_point_is_exported(name: str, entry_point: str) -> None:
    assert defined_dynamic_symbols(shared_object(name)) == {entry_point}


@pytest.mark.parametrize("name", EXTENSIONS)
def test_tests_run_against_the_installed_module(name: str) -> None:
    source_tree = Path(__file__).resolve().parent.parent / "src"
    assert source_tree not in shared_object(name).resolve().parents
