"""Where the package looks for the native library, and in which order."""

from __future__ import annotations

import os
import subprocess
import sys
from pathlib import Path

import pytest

import zelvorn
from zelvorn import _native


@pytest.mark.parametrize("virtual, variable, name", [
    (False, "ZELVORN_LIBRARY", _native.REAL_NAME),
    (True, "ZELVORN_VIRTUAL_LIBRARY", _native.VIRTUAL_NAME),
])
def test_lookup_order(monkeypatch: pytest.MonkeyPatch, virtual_copy: Path, tmp_path: Path,
                      virtual: bool, variable: str, name: str) -> None:
    # Nothing named: the system's search, then where make install puts it.
    assert _native.candidates(None, virtual) == [
        (name, "system library search"), (os.path.join("/usr/local/lib", name), "install prefix")]
    # The variable, when set, is the only place; an explicit path beats it.
    missing = str(tmp_path / "missing.so")
    monkeypatch.setenv(variable, missing)
    with pytest.raises(zelvorn.LibraryNotFound) as raised:
        zelvorn.load(virtual=virtual)
    assert [place for place, _ in raised.value.tried] == [f"{missing} ({variable})"]
    assert missing in str(raised.value)
    assert zelvorn.load(virtual_copy, virtual=virtual).path == str(virtual_copy)
    monkeypatch.setenv(variable, str(virtual_copy))
    assert zelvorn.load(virtual=virtual) is zelvorn.load(virtual_copy)


def test_not_a_zelvorn_library(tmp_path: Path) -> None:
    other = tmp_path / "not-zelvorn.so"
    other.write_text("not a shared library")
    with pytest.raises(zelvorn.LibraryNotFound) as raised:
        zelvorn.load(other)
    ((place, reason),) = raised.value.tried
    assert place == f"{other} (library argument)" and reason


@pytest.mark.skipif(sys.platform == "win32", reason="LD_LIBRARY_PATH is the loader's on Linux")
@pytest.mark.parametrize("virtual", [False, True])
def test_system_search(real_library: str, virtual: bool) -> None:
    # The loader reads LD_LIBRARY_PATH at start-up only: a new interpreter.
    library = os.environ["ZELVORN_TEST_VIRTUAL"] if virtual else real_library
    environment = dict(os.environ, LD_LIBRARY_PATH=os.path.dirname(library),
                       PYTHONPATH=str(Path(zelvorn.__file__).parents[1]))
    found = subprocess.run(
        [sys.executable, "-c",
         f"import zelvorn; l = zelvorn.load(virtual={virtual}); print(l.path, l.version)"],
        env=environment, capture_output=True, text=True, check=True).stdout
    name = _native.VIRTUAL_NAME if virtual else _native.REAL_NAME
    assert found == f"{name} Zelvorn DLL 1.5.2.0\n"


def test_scenario_is_read_once(virtual_copy: Path, demo: Path, tmp_path: Path) -> None:
    with zelvorn.open_virtual(scenario=demo, library=virtual_copy) as reader:
        assert reader.select().serial == bytes.fromhex("A1B2C3D4")
    zelvorn.open_virtual(scenario=demo, library=virtual_copy).close()  # the same one: fine
    with pytest.raises(RuntimeError, match="once"):
        zelvorn.open_virtual(scenario=tmp_path / "other.json", library=virtual_copy)
