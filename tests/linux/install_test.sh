#!/bin/sh
# Installs the build into a scratch prefix and uses it as a packager and an
# application would: the files are where they belong, the library carries
# its SONAME and exports what the header declares, and programs build
# against it through find_package(zelvorn) and through pkg-config.
# Usage: install_test.sh BUILD_DIR CONSUMER_SOURCE_DIR C_COMPILER
set -eu
build=$1
consumer=$2
cc=$3
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
prefix=$work/prefix

fail() { echo "FAIL: $*" >&2; exit 1; }

cmake --install "$build" --prefix "$prefix" >/dev/null

pc=$(find "$prefix" -name zelvorn.pc)
[ -n "$pc" ] || fail "no pkg-config file installed"
export PKG_CONFIG_PATH="$(dirname "$pc")"
libdir=$(pkg-config --variable=libdir zelvorn)
includedir=$(pkg-config --variable=includedir zelvorn)

[ -f "$includedir/zelvorn.h" ] || fail "header not installed in $includedir"
[ -f "$prefix/lib/udev/rules.d/70-zelvorn.rules" ] || fail "udev rules not installed"
grep -q '^SUBSYSTEM=="usb".*TAG+="uaccess"' "$prefix/lib/udev/rules.d/70-zelvorn.rules" ||
  fail "udev rules lack the reader line"
[ -f "$libdir/cmake/zelvorn/zelvornConfig.cmake" ] || fail "CMake package config not installed"

lib=$libdir/libzelvorn.so
[ -L "$lib" ] || fail "no libzelvorn.so link in $libdir"
readelf -d "$lib" | grep -q 'SONAME.*\[libzelvorn\.so\.[0-9]*\]' || fail "library lacks a versioned SONAME"

# The exported functions are exactly those the header declares.
declared=$(sed -n 's/^ZELVORN_API [^(]* \([A-Za-z_0-9]*\)(.*/\1/p' "$includedir/zelvorn.h" | sort)
exported=$(nm -D --defined-only "$lib" | awk '$2 == "T" { print $3 }' | sort)
[ -n "$declared" ] || fail "no declarations found in the header"
[ "$declared" = "$exported" ] || fail "exports differ from the header:
$(printf '%s\n' "$declared" > "$work/d"; printf '%s\n' "$exported" > "$work/e"; diff "$work/d" "$work/e")"

cmake -S "$consumer" -B "$work/cmake" -DCMAKE_C_COMPILER="$cc" \
  -DCMAKE_PREFIX_PATH="$prefix" -DCMAKE_BUILD_RPATH="$libdir" >/dev/null
cmake --build "$work/cmake" >/dev/null
"$work/cmake/consumer"

# shellcheck disable=SC2046
"$cc" -std=c99 -Wall -Wextra -Wpedantic -Werror -o "$work/pc-consumer" "$consumer/main.c" \
  $(pkg-config --cflags --libs zelvorn) -Wl,-rpath,"$libdir"
"$work/pc-consumer"
echo "install ok"
