#!/bin/sh
# make install into a user's own prefix (a folder of a home, as a user without
# root installs), then used as a packager and an application would: every
# file lies under the prefix and is recorded for make uninstall, the files
# are where they belong, the library carries its SONAME and exports what the
# header declares, and programs build against it through find_package(zelvorn)
# and through pkg-config. Then make uninstall leaves the prefix as it was.
# Usage: install_test.sh BUILD_DIR CONSUMER_SOURCE_DIR C_COMPILER
set -eu
build=$1
consumer=$2
cc=$3
scripts=$(cd "$(dirname "$0")/../../scripts" && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
home=$work/home
prefix=$home/.local
record=$work/record

fail() { echo "FAIL: $*" >&2; exit 1; }

# Something of the user's own already in the prefix, which must stay.
mkdir -p "$prefix/share/doc/notes"
echo mine >"$prefix/share/doc/notes/keep.txt"
find "$home" | sort >"$work/before"

sh "$scripts/install.sh" "$build" "$prefix" "$record" >"$work/install.log" ||
  { cat "$work/install.log" >&2; fail "make install's script failed"; }

# Nothing outside the prefix, nothing unrecorded, no folder made outside it.
while read -r file; do
  case $file in "$prefix"/*) ;; *) fail "installed outside the prefix: $file" ;; esac
done <"$record/files.txt"
while read -r folder; do
  case $folder in "$prefix"/* | "$prefix") ;; *) fail "made a folder outside the prefix: $folder" ;; esac
done <"$record/folders.txt"
find "$prefix" ! -type d ! -path "$prefix/share/doc/notes/*" | sort >"$work/present"
sort "$record/files.txt" | diff - "$work/present" >"$work/unrecorded" ||
  fail "files under the prefix and the record differ (< recorded only, > present only):
$(cat "$work/unrecorded")"
for file in bin/zelvorn share/man/man1/zelvorn.1 share/bash-completion/completions/zelvorn \
    share/doc/zelvorn-tools/tool.md lib/pcsc/drivers/ifd-zelvorn.bundle/Contents/Info.plist; do
  [ -f "$prefix/$file" ] || fail "$file is not installed under the prefix"
done
grep -q "Note: pcscd looks for drivers in" "$work/install.log" ||
  fail "the install does not say where pcscd looks for drivers"

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

# The reader.conf entry names the driver as installed under the prefix.
conf=$(grep '/zelvorn-virtual\.conf$' "$record/files.txt")
driver=$(grep '/libifd-zelvorn-virtual\.so$' "$record/files.txt")
grep -q "^LIBPATH[[:space:]]*$driver\$" "$conf" || fail "$conf does not name the driver $driver"

sh "$scripts/uninstall.sh" "$record" >/dev/null
find "$home" | sort | diff "$work/before" - >"$work/left" ||
  fail "make uninstall left the home changed (< gone, > left):
$(cat "$work/left")"
[ ! -e "$record" ] || fail "make uninstall kept its record"
echo "install and uninstall ok"
