#!/usr/bin/python3
"""Writes what the Python and .NET bindings declare of the library from the
two headers that define it, so that each fact is written once:

- the exported functions of include/zelvorn.h, with the marshalling of each
  pointer parameter taken from its @param line (direction, and for bytes
  "1 byte" or an array), into the marked blocks of
  bindings/python/src/zelvorn/_native.py (ctypes prototypes),
  bindings/dotnet/Zelvorn/Native.cs and VirtualNative.cs (DllImports) and
  bindings/dotnet/Zelvorn/Api.cs (the delegate table);
- the reader's and the transport's status words of
  src/commands/protocol_table.h (word, name, meaning, whether the card is
  gone) into bindings/python/src/zelvorn/_statuses.py and
  bindings/dotnet/Zelvorn/StatusWords.cs.

The bindings are installed from the source tree (pip, the .csproj), so what
this writes is committed; a test runs it with --check.

    /usr/bin/python3 bindings/generate.py           # rewrite what differs
    /usr/bin/python3 bindings/generate.py --check   # fail, with a diff, when anything differs
"""

from __future__ import annotations

import difflib
import os
import re
import sys
from dataclasses import dataclass
from pathlib import Path
from typing import Callable, Dict, List, Optional, Sequence, Tuple
from xml.sax.saxutils import escape

ROOT = Path(__file__).resolve().parents[1]
HEADER = ROOT / "include" / "zelvorn.h"
PROTOCOL_TABLE = ROOT / "src" / "commands" / "protocol_table.h"
COMMAND = "/usr/bin/python3 bindings/generate.py"


class SourceError(Exception):
    """A header this script cannot read as its convention says."""


# ---- include/zelvorn.h ---------------------------------------------------------


@dataclass(frozen=True)
class Parameter:
    ctype: str  # "const uint8_t*", "int16_t", ... one space at most, "*" attached
    name: str
    direction: Optional[str] = None  # "in", "out", "in/out" for pointers
    array: bool = False  # a byte pointer to an array, not to one value

    @property
    def pointer(self) -> bool:
        return self.ctype.endswith("*")

    @property
    def pointee(self) -> str:
        return self.ctype.rstrip("*").replace("const ", "")


@dataclass(frozen=True)
class Function:
    name: str
    result: str
    parameters: Tuple[Parameter, ...]


_DECLARATION = re.compile(
    r"(/\*\*(?:(?!\*/).)*\*/)?\s*^ZELVORN_API\s+([A-Za-z_0-9 ]+?)\s*\b([A-Za-z_][A-Za-z_0-9]*)"
    r"\s*\(([^)]*)\)\s*;", re.S | re.M)
_PARAM_DOC = re.compile(r"@param\s+(\w+)\s+(.*?)(?=@param|@return|\Z)", re.S)
_DIRECTION = re.compile(r"(in/out|in|out)\b,?\s*(.*)", re.S)
_EXTENT = re.compile(r"(1 byte|[^,;:]*? bytes)(?=[,;:.]|\s*$)")
_BYTES = ("uint8_t", "char")


def _comment_text(comment: str) -> str:
    body = comment[3:-2]
    return " ".join(line.strip().lstrip("*").strip() for line in body.splitlines())


def _parameter(function: str, text: str, docs: Dict[str, str]) -> Parameter:
    text = " ".join(text.split())
    match = re.fullmatch(r"(.*?[\s*])([A-Za-z_][A-Za-z_0-9]*)", text)
    if not match:
        raise SourceError(f"{function}: cannot read the parameter {text!r}")
    ctype = re.sub(r"\s*\*", "*", match.group(1).strip())
    name = match.group(2)
    if not ctype.endswith("*"):
        return Parameter(ctype, name)
    where = f"{function}, parameter {name}"
    doc = docs.get(name)
    if doc is None:
        raise SourceError(f"{where}: a pointer needs an @param line giving its direction")
    direction = _DIRECTION.match(doc)
    if not direction:
        raise SourceError(f"{where}: its @param line must begin with in, out or in/out, "
                          f"not {doc[:40]!r}")
    kind, rest = direction.groups()
    if ctype.startswith("const ") != (kind == "in"):
        raise SourceError(f"{where}: a const pointer is in, any other out or in/out")
    array = False
    if ctype.replace("const ", "").rstrip("*") in _BYTES:
        extent = _EXTENT.match(rest)
        if not extent:
            raise SourceError(f"{where}: after its direction, its @param line must give "
                              f"\"1 byte\" or \"<count> bytes\", not {rest[:40]!r}")
        array = extent.group(1) != "1 byte"
    return Parameter(ctype, name, kind, array)


def read_functions(text: str) -> List[Function]:
    functions = []
    for comment, result, name, parameters in _DECLARATION.findall(text):
        docs = {m.group(1): " ".join(m.group(2).split())
                for m in _PARAM_DOC.finditer(_comment_text(comment) if comment else "")}
        items = [p for p in parameters.split(",") if p.strip() and p.strip() != "void"]
        functions.append(Function(name, " ".join(result.split()),
                                  tuple(_parameter(name, p, docs) for p in items)))
    if not functions:
        raise SourceError("no ZELVORN_API declarations found")
    return functions


# ---- src/commands/protocol_table.h --------------------------------------------


@dataclass(frozen=True)
class Status:
    word: int
    constant: Optional[str]  # "NoCard" for kStatusNoCard, None without a constant
    name: str
    meaning: str
    card_gone: bool


_STRING = r'((?:"(?:[^"\\]|\\.)*"\s*)+)'
_ROW = re.compile(r"\{\s*(\w+)\s*,\s*" + _STRING + r",\s*" + _STRING + r",\s*(true|false)\s*\}\s*,?")


def _c_string(literals: str) -> str:
    parts = re.findall(r'"((?:[^"\\]|\\.)*)"', literals)
    text = "".join(parts)
    if "\\" in text:
        raise SourceError(f"escapes in {text!r}: write the status text without them")
    return text


def read_statuses(text: str, table: str, prefix: str) -> List[Status]:
    constants = {name: int(value, 16) for name, value in
                 re.findall(r"constexpr StatusWord (\w+) = (0x[0-9A-Fa-f]+);", text)}
    body = re.search(r"\b" + table + r"\[\] = \{(.*?)\n\};", text, re.S)
    if not body:
        raise SourceError(f"no table {table}")
    rows = []
    rest = body.group(1)
    for match in _ROW.finditer(rest):
        word_text, name, meaning, gone = match.groups()
        if word_text in constants:
            word = constants[word_text]
        elif re.fullmatch(r"0x[0-9A-Fa-f]+", word_text):
            word = int(word_text, 16)
        else:
            raise SourceError(f"{table}: {word_text} is no status word constant")
        named = [n for n, v in constants.items() if v == word and n.startswith(prefix)]
        constant = named[0][len(prefix):] if named else None
        rows.append(Status(word, constant, _c_string(name), _c_string(meaning), gone == "true"))
    # Every row read: what the pattern did not take must be comments alone.
    left = re.sub(r"//[^\n]*", "", _ROW.sub("", rest)).strip()
    if left or not rows:
        raise SourceError(f"{table}: cannot read {left[:60]!r} as a row")
    return rows


# ---- Python ----------------------------------------------------------------------

_PY_SCALARS = {"int8_t": "_i8", "uint8_t": "_u8", "int16_t": "_i16", "int32_t": "_i32"}
_PY_POINTERS = {"uint8_t": "_out8", "int16_t": "_out16", "int32_t": "_out32",
                "ReaderStatusRecord": "_record", "char": "_text"}


def python_type(function: Function, p: Parameter) -> str:
    if not p.pointer:
        found = _PY_SCALARS.get(p.ctype)
    elif p.direction == "in":
        found = "_in" if p.pointee == "uint8_t" else None
    elif p.array and p.pointee == "uint8_t":
        found = "_bytes"
    else:
        found = _PY_POINTERS.get(p.pointee)
    if found is None:
        raise SourceError(f"{function.name}, parameter {p.name}: no ctypes form for {p.ctype}")
    return found


def python_prototypes(functions: Sequence[Function], indent: str) -> str:
    lines = [f"{indent}PROTOTYPES: Dict[str, Sequence[Any]] = {{"]
    for f in functions:
        if f.result != "int16_t":
            raise SourceError(f"{f.name}: the bindings take int16_t results only")
        types = ", ".join(python_type(f, p) for p in f.parameters)
        lines.append(f'{indent}    "{f.name}": [{types}],')
    lines.append(f"{indent}}}")
    return "\n".join(lines) + "\n"


def _py_string(text: str) -> str:
    return '"' + text.replace("\\", "\\\\").replace('"', '\\"') + '"'


def python_statuses(reader: Sequence[Status], transport: Sequence[Status]) -> str:
    out = [
        '"""The status words the library passes through from the reader and from its',
        "USB transport: word, name, meaning, and whether the card is gone.",
        "",
        "Generated by bindings/generate.py from src/commands/protocol_table.h: edit",
        f'that table, then run {COMMAND}."""',
        "",
        "from typing import Tuple",
        "",
        "StatusRow = Tuple[int, str, str, bool]",
        "",
    ]
    for s in reader:
        if s.constant:
            out.append(f"{_snake(s.constant).upper()} = 0x{s.word:04X}")
    for title, rows in (("READER", reader), ("TRANSPORT", transport)):
        out += ["", f"{title}_STATUSES: Tuple[StatusRow, ...] = ("]
        for s in rows:
            out.append(f"    (0x{s.word:04X}, {_py_string(s.name)},")
            out.append(f"     {_py_string(s.meaning)}, {s.card_gone}),")
        out.append(")")
    return "\n".join(out) + "\n"


def _snake(camel: str) -> str:
    return re.sub(r"(?<!^)(?=[A-Z])", "_", camel)


# ---- C# --------------------------------------------------------------------------

_CS_SCALARS = {"int8_t": "sbyte", "uint8_t": "byte", "int16_t": "short", "uint16_t": "ushort",
               "int32_t": "int", "uint32_t": "uint", "ReaderStatusRecord": "ReaderStatusRecord"}


def csharp_parameter(function: Function, p: Parameter, attributes: bool) -> str:
    pointee = _CS_SCALARS.get(p.pointee)
    if not p.pointer:
        if pointee is None or p.pointee == "ReaderStatusRecord":
            raise SourceError(f"{function.name}, parameter {p.name}: no C# form for {p.ctype}")
        return f"{pointee} {p.name}"
    if p.pointee in _BYTES and (p.array or p.pointee == "char"):
        if not p.array:
            raise SourceError(f"{function.name}, parameter {p.name}: text must be an array")
        marshal = "[In] " if p.direction == "in" else "[In, Out] "
        return f"{marshal if attributes else ''}byte[] {p.name}"
    if pointee is None or p.direction == "in":
        raise SourceError(f"{function.name}, parameter {p.name}: no C# form for {p.ctype} "
                          f"({p.direction})")
    return f"{'ref' if p.direction == 'in/out' else 'out'} {pointee} {p.name}"


def _wrapped(head: str, items: List[str], tail: str, limit: int = 120) -> List[str]:
    """head(items, ...)tail, broken after a comma where a line would pass limit,
    continuation lines aligned after the parenthesis."""
    lines = [head + "("]
    align = " " * len(lines[0])
    for i, item in enumerate(items):
        piece = item + (", " if i < len(items) - 1 else ")" + tail)
        if len(lines[-1]) + len(piece.rstrip()) > limit and lines[-1].strip() != head.strip() + "(":
            lines[-1] = lines[-1].rstrip()
            lines.append(align)
        lines[-1] += piece
    if not items:
        lines[-1] += ")" + tail
    return [line.rstrip() for line in lines]


def csharp_imports(functions: Sequence[Function], indent: str) -> str:
    lines: List[str] = []
    for f in functions:
        if lines:
            lines.append("")
        lines.append(f"{indent}[DllImport(LibraryName, CallingConvention = CallingConvention.Cdecl, "
                     "ExactSpelling = true)]")
        lines += _wrapped(f"{indent}public static extern short {f.name}",
                          [csharp_parameter(f, p, True) for p in f.parameters], ";")
    return "\n".join(lines) + "\n"


def csharp_api(functions: Sequence[Function], indent: str) -> str:
    lines = [f"{indent}// Each function's signature, under the function's own name.",
             f"{indent}internal static class Signatures", f"{indent}{{"]
    for f in functions:
        lines += _wrapped(f"{indent}    internal delegate short {f.name}",
                          [csharp_parameter(f, p, False) for p in f.parameters], ";")
    lines += [f"{indent}}}", ""]
    for f in functions:
        lines.append(f"{indent}internal Signatures.{f.name} {f.name};")
    return "\n".join(lines) + "\n"


def _cs_string(text: str) -> str:
    return '"' + text.replace("\\", "\\\\").replace('"', '\\"') + '"'


def csharp_statuses(reader: Sequence[Status], transport: Sequence[Status]) -> str:
    out = [
        "// The status words the library passes through from the reader and from its",
        "// USB transport: word, name, meaning, and whether the card is gone.",
        "//",
        "// Generated by bindings/generate.py from src/commands/protocol_table.h: edit",
        f"// that table, then run {COMMAND}.",
        "namespace Zelvorn",
        "{",
        "    public static partial class StatusWords",
        "    {",
    ]
    for s in reader:
        if s.constant:
            summary = escape(f"{s.name}: {s.meaning}.")
            out.append(f"        /// <summary>{summary}</summary>")
            out.append(f"        public const ushort {s.constant} = 0x{s.word:04X};")
            out.append("")
    for title, rows in (("reader", reader), ("transport", transport)):
        out.append(f"        private static readonly StatusWordInfo[] {title}Rows =")
        out.append("        {")
        for s in rows:
            out.append(f"            new StatusWordInfo(0x{s.word:04X}, {_cs_string(s.name)},")
            out.append(f"                               {_cs_string(s.meaning)}, "
                       f"{'true' if s.card_gone else 'false'}),")
        out.append("        };")
        if title == "reader":
            out.append("")
    out += ["    }", "}"]
    return "\n".join(out) + "\n"


# ---- The files ---------------------------------------------------------------------

BEGIN = "--- generated by bindings/generate.py from include/zelvorn.h: edit the header, not this block ---"
END = "--- end of the generated block ---"


def replace_block(path: Path, text: str, comment: str,
                  render: Callable[[str], str]) -> str:
    """text with the block between the markers replaced by render(indent)."""
    pattern = re.compile(r"^([ \t]*)" + re.escape(f"{comment} {BEGIN}") + r"\n(.*?)^[ \t]*"
                         + re.escape(f"{comment} {END}") + r"\n", re.S | re.M)
    blocks = list(pattern.finditer(text))
    if len(blocks) != 1:
        raise SourceError(f"{path.relative_to(ROOT)}: expected one block between "
                          f"'{comment} {BEGIN}' and '{comment} {END}', found {len(blocks)}")
    block = blocks[0]
    indent = block.group(1)
    new = f"{indent}{comment} {BEGIN}\n{render(indent)}{indent}{comment} {END}\n"
    return text[:block.start()] + new + text[block.end():]


def expected_files() -> Dict[Path, str]:
    functions = read_functions(HEADER.read_text())
    table = PROTOCOL_TABLE.read_text()
    reader = read_statuses(table, "kReaderStatusTable", "kStatus")
    transport = read_statuses(table, "kTransportStatusTable", "kTransport")
    python = ROOT / "bindings" / "python" / "src" / "zelvorn"
    dotnet = ROOT / "bindings" / "dotnet" / "Zelvorn"
    files: Dict[Path, str] = {}
    blocks: List[Tuple[Path, str, Callable[[str], str]]] = [
        (python / "_native.py", "#", lambda i: python_prototypes(functions, i)),
        (dotnet / "Native.cs", "//", lambda i: csharp_imports(functions, i)),
        (dotnet / "VirtualNative.cs", "//", lambda i: csharp_imports(functions, i)),
        (dotnet / "Api.cs", "//", lambda i: csharp_api(functions, i)),
    ]
    for path, comment, render in blocks:
        files[path] = replace_block(path, path.read_text(), comment, render)
    files[python / "_statuses.py"] = python_statuses(reader, transport)
    files[dotnet / "StatusWords.cs"] = csharp_statuses(reader, transport)
    return files


def main(argv: List[str]) -> int:
    check = argv[1:] == ["--check"]
    if argv[1:] and not check:
        print(f"usage: {COMMAND} [--check]", file=sys.stderr)
        return 2
    try:
        files = expected_files()
    except SourceError as e:
        print(f"generate.py: {e}", file=sys.stderr)
        return 1
    stale = []
    for path, text in files.items():
        current = path.read_text() if path.exists() else ""
        if current == text:
            continue
        stale.append(path)
        name = str(path.relative_to(ROOT))
        if check:
            sys.stdout.writelines(difflib.unified_diff(
                current.splitlines(True), text.splitlines(True), name, name + " (generated)"))
        else:
            temporary = path.with_name(path.name + ".new")
            temporary.write_text(text)
            os.replace(temporary, path)
            print(f"rewrote {name}")
    if check and stale:
        names = ", ".join(str(p.relative_to(ROOT)) for p in stale)
        print(f"{names}: not what include/zelvorn.h and src/commands/protocol_table.h give; "
              f"run {COMMAND} and commit the result", file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
