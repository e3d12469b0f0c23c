#!/usr/bin/env bash
# Installs the Debian packages the build and the tests need, when missing.
# Run as root (CI and the development machines are); does nothing when every
# package is already there.
set -euo pipefail

packages=(
  cmake make g++ pkg-config
  libgtest-dev libgmock-dev
)

# Further package lists of the parts that need them (one package a line),
# and any lists named on the command line (make bench adds its own).
here="$(cd "$(dirname "$0")" && pwd)"
for list in "$here"/packages/*.txt "$@"; do
  [ -f "$list" ] || continue
  while read -r pkg; do
    case "$pkg" in ''|'#'*) continue ;; esac
    packages+=("$pkg")
  done < "$list"
done

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
