#!/usr/bin/env bash
# Runs a Windows test program under wine: wine-run.sh WINE PROGRAM [ARGS...]
#
# The tests share one throwaway wine prefix (WINEPREFIX, by default one under
# the temporary folder), made on first use without any window and without
# the .NET and HTML helpers, which the tests never need and which take most of
# the setup time. Extra DLL overrides in WINEDLLOVERRIDES are kept.
set -euo pipefail

wine="$1"
shift
wineserver="$(dirname "$wine")/wineserver"
[ -x "$wineserver" ] || wineserver="$(command -v wineserver || true)"

export WINEPREFIX="${WINEPREFIX:-${TMPDIR:-/tmp}/zelvorn-wine-$(id -u)}"
export WINEDEBUG="${WINEDEBUG:--all}"
export WINEDLLOVERRIDES="mscoree,mshtml=${WINEDLLOVERRIDES:+;$WINEDLLOVERRIDES}"
unset DISPLAY WAYLAND_DISPLAY

mkdir -p "$(dirname "$WINEPREFIX")"
(
    flock 9
    if [ ! -f "$WINEPREFIX/system.reg" ]; then
        "$wine" wineboot --init >/dev/null 2>&1 || true
        if [ -n "$wineserver" ]; then "$wineserver" --wait || true; fi
        if [ ! -f "$WINEPREFIX/system.reg" ]; then
            echo "wine-run.sh: could not set up the wine prefix $WINEPREFIX" >&2
            exit 1
        fi
    fi
) 9>"$WINEPREFIX.lock"

exec "$wine" "$@"
