#!/usr/bin/env bash
# Installs the Debian packages a make target needs, when missing: the
# compiler and CMake always, and the package lists of scripts/packages/ named
# on the command line, by name ("tool" is scripts/packages/tool.txt,
# "optional/bench" scripts/packages/optional/bench.txt) or by path. Without a
# list named, every list in scripts/packages/ (what make test needs).
#   install-deps.sh [--print] [LIST...]   --print: list the packages, install nothing
# Run as root (CI and the development machines are), or it uses sudo; does
# nothing when every package is already there.
set -euo pipefail

print=0
if [ "${1-}" = "--print" ]; then
  print=1
  shift
fi

packages=(cmake make g++ pkg-config)

here="$(cd "$(dirname "$0")" && pwd)"
lists=("$@")
if [ ${#lists[@]} -eq 0 ]; then
  lists=("$here"/packages/*.txt)
fi
for list in "${lists[@]}"; do
  case "$list" in
    */*.txt) ;;
    *) list="$here/packages/$list.txt" ;;
  esac
  if [ ! -f "$list" ]; then
    echo "install-deps.sh: no package list $list" >&2
    exit 2
  fi
  while read -r pkg; do
    case "$pkg" in ''|'#'*) continue ;; esac
    packages+=("$pkg")
  done < "$list"
done

if [ "$print" -eq 1 ]; then
  printf '%s\n' "${packages[@]}" | sort -u
  exit 0
fi

missing=()
for pkg in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q 'install ok installed'; then
    missing+=("$pkg")
  fi
done

if [ ${#missing[@]} -eq 0 ]; then
  exit 0
fi

echo "Installing: ${missing[*]}"
SUDO=""
if [ "$(id -u)" -ne 0 ]; then SUDO="sudo"; fi
export DEBIAN_FRONTEND=noninteractive
$SUDO apt-get update -q
$SUDO apt-get install -y -q --no-install-recommends "${missing[@]}"
