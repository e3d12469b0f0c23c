"""bindings/generate.py: a function added to the header reaches both bindings
with the marshalling its @param lines give, and a header it cannot read as
the convention says is refused, not guessed at."""

from __future__ import annotations

import importlib.util
import sys
from pathlib import Path
from typing import Optional, Tuple

import pytest

_PATH = Path(__file__).resolve().parents[2] / "generate.py"
_SPEC = importlib.util.spec_from_file_location("generate", _PATH)
assert _SPEC is not None and _SPEC.loader is not None
generate = importlib.util.module_from_spec(_SPEC)
sys.modules["generate"] = generate
_SPEC.loader.exec_module(generate)


def _declared(ctype: str, doc: Optional[str]) -> str:
    param = f"\n * @param value {doc}" if doc is not None else ""
    return (f"/**\n * A function added to the header.{param}\n * @return 0.\n */\n"
            f"ZELVORN_API int16_t Zelvorn_Added(int16_t handle,\n"
            f"                                  {ctype} value);\n")


@pytest.mark.parametrize("ctype, doc, expected", [
    ("uint8_t*", "out, 1 byte, optional: the byte.", ("out byte value", "_out8")),
    ("uint8_t*", "out, ZELVORN_SERIAL_FIELD bytes, required.", ("[In, Out] byte[] value", "_bytes")),
    ("uint8_t*", "in/out, 2 bytes, required: replaced.", ("[In, Out] byte[] value", "_bytes")),
    ("const uint8_t*", "in, 6 bytes; required.", ("[In] byte[] value", "_in")),
    ("int16_t*", "in/out, required: reduced.", ("ref short value", "_out16")),
    ("int32_t*", "out, may be null: the value.", ("out int value", "_out32")),
    ("char*", "out, 20 bytes, optional.", ("[In, Out] byte[] value", "_text")),
    ("int8_t", None, ("sbyte value", "_i8")),
])
def test_an_added_function_reaches_both_bindings(ctype: str, doc: Optional[str],
                                                  expected: Tuple[str, str]) -> None:
    (function,) = generate.read_functions(_declared(ctype, doc))
    csharp, python = expected
    assert (f"public static extern short Zelvorn_Added(short handle, {csharp});"
            in generate.csharp_imports([function], ""))
    assert f'"Zelvorn_Added": [_i16, {python}],' in generate.python_prototypes([function], "")
    assert "internal Signatures.Zelvorn_Added Zelvorn_Added;" in generate.csharp_api([function], "")


@pytest.mark.parametrize("ctype, doc, refusal", [
    ("uint8_t*", None, "needs an @param line"),
    ("uint8_t*", "optional; receives the byte.", "must begin with in, out or in/out"),
    ("uint8_t*", "out, optional: the byte.", '"1 byte" or "<count> bytes"'),
    ("const uint8_t*", "out, 6 bytes.", "a const pointer is in"),
    ("uint8_t*", "in, 6 bytes.", "a const pointer is in"),
    ("uint64_t", None, "no C# form"),
])
def test_a_parameter_the_convention_does_not_describe_is_refused(
        ctype: str, doc: Optional[str], refusal: str) -> None:
    with pytest.raises(generate.SourceError, match="Zelvorn_Added.*" + refusal.replace("(", r"\(")):
        function, = generate.read_functions(_declared(ctype, doc))
        generate.csharp_imports([function], "")


def test_the_status_table_is_read_whole() -> None:
    table = ('constexpr StatusWord kStatusOk = 0x0000;\nconstexpr StatusWord kStatusGone = 0xFFFF;\n'
             'inline constexpr StatusRow kReaderStatusTable[] = {\n'
             '    {kStatusOk, "done", "carried out", false},\n'
             '    {kStatusGone, "gone",\n     "the card " "left", true},\n'
             '};\n')
    rows = generate.read_statuses(table, "kReaderStatusTable", "kStatus")
    assert [(r.word, r.constant, r.name, r.meaning, r.card_gone) for r in rows] == [
        (0, "Ok", "done", "carried out", False), (0xFFFF, "Gone", "gone", "the card left", True)]
    broken = table.replace('{kStatusOk, "done", "carried out", false}', '{kStatusOk, "done", 3}')
    with pytest.raises(generate.SourceError, match="cannot read"):
        generate.read_statuses(broken, "kReaderStatusTable", "kStatus")
