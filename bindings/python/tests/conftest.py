"""Fixtures: a fresh virtual reader for every test.

The virtual library keeps its reader and cards for the life of the process
and reads its scenario once, so each test loads its own copy of the library
file: a copy is a separate library to the system's loader, with a reader of
its own. CTest names the built libraries, the demo scenario and the
command-line tool in ZELVORN_TEST_VIRTUAL, ZELVORN_TEST_REAL,
ZELVORN_TEST_SCENARIO and ZELVORN_TEST_TOOL.
"""

from __future__ import annotations

import json
import os
import shutil
import sys
from pathlib import Path
from typing import Any, Callable, Dict, Iterator

import pytest

sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "src"))

import zelvorn  # noqa: E402


def _required(variable: str) -> str:
    value = os.environ.get(variable)
    if not value:
        pytest.exit(f"{variable} is not set: run these tests through ctest (make test)", 2)
    return value


@pytest.fixture(autouse=True)
def clean_environment(monkeypatch: pytest.MonkeyPatch) -> None:
    for variable in ("ZELVORN_LIBRARY", "ZELVORN_VIRTUAL_LIBRARY", "ZELVORN_VIRTUAL_SCENARIO",
                     "ZELVORN_VIRTUAL_STATE"):
        monkeypatch.delenv(variable, raising=False)


@pytest.fixture
def virtual_copy(tmp_path: Path) -> Path:
    """A private copy of the virtual library: a reader nobody has used."""
    copy = tmp_path / "libzelvorn-virtual.so"
    shutil.copyfile(_required("ZELVORN_TEST_VIRTUAL"), copy)
    return copy


@pytest.fixture
def real_library() -> str:
    return _required("ZELVORN_TEST_REAL")


@pytest.fixture
def tool() -> str:
    return _required("ZELVORN_TEST_TOOL")


@pytest.fixture
def demo() -> Path:
    return Path(_required("ZELVORN_TEST_SCENARIO"))


@pytest.fixture
def reader(virtual_copy: Path, demo: Path) -> Iterator[zelvorn.Reader]:
    """The virtual reader on the demo scenario: a MIFARE Classic 1K (sector 1
    under key A A0A1A2A3A4A5), a processor card, a type B card, a ticket."""
    with zelvorn.open_virtual(scenario=demo, library=virtual_copy) as r:
        yield r


@pytest.fixture
def scenario_reader(virtual_copy: Path,
                    tmp_path: Path) -> Callable[[Dict[str, Any]], zelvorn.Reader]:
    """Opens the virtual reader on a scenario given as a dictionary."""

    def open_on(scenario: Dict[str, Any]) -> zelvorn.Reader:
        path = tmp_path / "scenario.json"
        path.write_text(json.dumps(scenario))
        return zelvorn.open_virtual(scenario=path, library=virtual_copy)

    return open_on
