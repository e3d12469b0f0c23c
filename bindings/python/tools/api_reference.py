"""Writes the package's API reference (docs/python.md) from its docstrings.

    python3 api_reference.py > docs/python.md     # regenerate
    python3 api_reference.py --check docs/python.md  # ctest: is it current?
"""

from __future__ import annotations

import dataclasses
import enum
import inspect
import re
import sys
from pathlib import Path
from typing import Any, List

sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "src"))

import zelvorn  # noqa: E402

HEAD = """# Python API reference

The `zelvorn` package (`bindings/python/`), generated from its docstrings by
`bindings/python/tools/api_reference.py`; `python3 -m pydoc zelvorn` shows the
same. Installing, the library lookup and examples: bindings/python/README.md.
"""


def doc(thing: Any) -> str:
    return inspect.cleandoc(inspect.getdoc(thing) or "")


def signature(name: str, thing: Any) -> str:
    try:
        text = f"{name}{inspect.signature(thing)}"
    except (TypeError, ValueError):
        return name
    # The modules postpone their annotations, which come out quoted.
    return re.sub(r"(: |-> )'([^']*)'", r"\1\2", text)


def members(cls: type) -> List[str]:
    out: List[str] = []
    for name, member in cls.__dict__.items():
        if name.startswith("_") and name not in ("__init__",):
            continue
        if isinstance(member, property):
            out += [f"#### `{cls.__name__}.{name}` (property)", "", doc(member), ""]
        elif inspect.isfunction(member) and name != "__init__":
            out += [f"#### `{cls.__name__}.{signature(name, member)}`", "", doc(member), ""]
    return out


def render() -> str:
    out = [HEAD]
    functions = [n for n in zelvorn.__all__ if inspect.isfunction(getattr(zelvorn, n))]
    classes = [n for n in zelvorn.__all__ if inspect.isclass(getattr(zelvorn, n))]
    out += ["## Functions", ""]
    for name in functions:
        function = getattr(zelvorn, name)
        out += [f"### `zelvorn.{signature(name, function)}`", "", doc(function), ""]
    out += ["## Constants", "", f"- `zelvorn.TRANSPORT_KEY` = `{zelvorn.TRANSPORT_KEY!r}`: "
            "the key of a card fresh from the factory.", ""]
    out += ["## Classes", ""]
    for name in classes:
        cls = getattr(zelvorn, name)
        bases = ", ".join(b.__name__ for b in cls.__bases__ if b is not object)
        out += [f"### `zelvorn.{name}`" + (f" ({bases})" if bases else ""), "", doc(cls), ""]
        if dataclasses.is_dataclass(cls):
            fields = ", ".join(f.name for f in dataclasses.fields(cls))
            out += [f"Frozen dataclass: `{name}({fields})`.", ""]
        if issubclass(cls, enum.Enum):
            out += ["Members: " + ", ".join(f"`{m.name}` = `{m.value!r}`" for m in cls), ""]
        elif not issubclass(cls, BaseException):
            out += members(cls)
    return "\n".join(out).rstrip() + "\n"


def main() -> int:
    text = render()
    if len(sys.argv) == 3 and sys.argv[1] == "--check":
        if Path(sys.argv[2]).read_text() != text:
            print(f"{sys.argv[2]} is out of date: run python3 {sys.argv[0]} > {sys.argv[2]}")
            return 1
        return 0
    sys.stdout.write(text)
    return 0


if __name__ == "__main__":
    sys.exit(main())
