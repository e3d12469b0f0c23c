"""The README's example as the README runs it: bindings/python/example.py is
the README's Python block, and the README's command line, run from the
repository root on the virtual library, prints the README's output.

    readme_command.py VIRTUAL_LIBRARY   (ctest runs it as python.readme_command)
"""

import os
import re
import shlex
import subprocess
import sys
from pathlib import Path

package = Path(__file__).resolve().parents[1]
root = package.parents[1]
readme = (package / "README.md").read_text()
blocks = re.findall(r"^```(\w*)\n(.*?)^```\n", readme, re.S | re.M)

example = next(text for language, text in blocks if language == "python")
assert (package / "example.py").read_text() == example, \
    "bindings/python/example.py differs from the README's example"

run = next(i for i, (language, text) in enumerate(blocks)
           if language == "sh" and "example.py" in text)
words = shlex.split(blocks[run][1].replace("\\\n", " "))
expected = blocks[run + 1][1]

env = {name: value for name, value in os.environ.items() if not name.startswith("ZELVORN_")}
while "=" in words[0]:
    name, value = words.pop(0).split("=", 1)
    env[name] = value
# The build folder of this test, wherever the README's "build/" is.
assert env.get("ZELVORN_LIBRARY", "").startswith("build/"), env.get("ZELVORN_LIBRARY")
env["ZELVORN_LIBRARY"] = sys.argv[1]
assert words[0] == "python3", words
words[0] = sys.executable

result = subprocess.run(words, cwd=root, env=env, capture_output=True, text=True)
assert result.returncode == 0, result.stderr
assert result.stdout == expected, f"printed:\n{result.stdout}\nthe README says:\n{expected}"
print("the README's example runs as the README says")
