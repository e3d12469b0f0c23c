#!/usr/bin/env bash
# The package as a user gets it: an sdist and a wheel built with Debian's
# setuptools, `pip install` into a fresh virtual environment, both without a
# package index, then the README's example run by that environment's Python
# from outside the source tree.
#   install_check.sh WORK_DIR EXAMPLE.py   (ctest runs it as python.install)
set -euo pipefail

package="$(cd "$(dirname "$0")/.." && pwd)"
work="$1"
example="$2"
python=/usr/bin/python3

rm -rf "$work"
mkdir -p "$work/package"
# A copy, so that setuptools' build folders stay out of the source tree.
cp -r "$package/src" "$package/pyproject.toml" "$package/README.md" "$work/package/"

"$python" -m build --no-isolation --outdir "$work/dist" "$work/package" > "$work/build.log"
ls "$work"/dist/zelvorn-1.5.2.tar.gz "$work"/dist/zelvorn-1.5.2-py3-none-any.whl > /dev/null

"$python" -m venv --system-site-packages "$work/venv"
"$work/venv/bin/pip" install --no-build-isolation --no-index --quiet "$work/package"

cd "$work"
"$work/venv/bin/python" - <<'PY'
import pathlib, sys, zelvorn
where = pathlib.Path(zelvorn.__file__).resolve()
assert pathlib.Path(sys.prefix).resolve() in where.parents, f"zelvorn imported from {where}"
assert (where.parent / "py.typed").is_file(), "py.typed was not installed"
PY
"$work/venv/bin/python" "$example"
