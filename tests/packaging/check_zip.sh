#!/bin/sh
# Checks the Windows zip as its users meet it, unpacked into a fresh folder.
#
#   check_zip.sh contents|consumers ZIP_DIR UNPACKED VERSION SOURCE_DIR OBJDUMP
#                MINGW_CC CLANG LLD_LINK EMULATOR...
#
#   contents:  exactly the files of windows/zip.contents under one top folder
#              named after the version; every binary 64-bit and importing
#              Windows' own DLLs only; zelvorn.dll's version resource, the
#              README, the CHANGELOG and the driver package at the version;
#              header and docs/windows.md as in the sources, the export list
#              naming the header's functions; the driver package with the
#              DLL's interface class; zelvorn.lib in the Microsoft format;
#   consumers: a program built against the unpacked zip with mingw-w64, with
#              clang in MSVC mode and lld-link against zelvorn.lib, and with
#              CMake's find_package in the mingw-w64 toolchain; each runs under
#              wine on the virtual DLL, and so does the tool.
set -eu
mode=$1
zips=$2
unpacked=$3
version=$4
source=$5
objdump=$6
mingw_cc=$7
clang=$8
lld_link=$9
shift 9
emulator=$* # wine-run.sh and wine: paths without spaces
here=$(cd "$(dirname "$0")" && pwd)
name=zelvorn-$version-win64
top=$unpacked/$name
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
: >"$work/imports"
# shellcheck source=common.sh
. "$here/common.sh"

if [ ! -f "$zips/$name.zip" ]; then
  fail "version: no $name.zip in $zips: $(ls "$zips")"
  exit 1
fi

case $mode in
contents)
  unzip -Z1 "$zips/$name.zip" | grep -v '/$' | sort >"$work/entries"
  sed "s|^|$name/|" "$here/windows/zip.contents" | grep -v "^$name/#" | sort >"$work/expected"
  diff -u "$work/expected" "$work/entries" >"$work/diff" ||
    fail "the zip's files differ from windows/zip.contents (- missing, + extra):
$(tail -n +3 "$work/diff" | grep '^[-+]')"

  # 64-bit, and nothing to load beyond Windows' own DLLs: the mingw-w64
  # runtime (libstdc++, libgcc, winpthread) must be linked in.
  for binary in "$top"/bin/*.dll "$top"/bin/*.exe; do
    [ -f "$binary" ] || continue
    "$objdump" -f "$binary" | grep -q 'file format pei-x86-64' ||
      fail "$(basename "$binary") is not a 64-bit Windows binary"
    "$objdump" -p "$binary" | sed -n 's/^[[:space:]]*DLL Name: //p' | tr '[:upper:]' '[:lower:]' |
      while read -r dll; do
        case $dll in
          kernel32.dll | msvcrt.dll | ucrtbase.dll | api-ms-win-*.dll | cfgmgr32.dll | winusb.dll) ;;
          advapi32.dll | user32.dll | shell32.dll | ole32.dll | ws2_32.dll | bcrypt.dll) ;;
          *) echo "$(basename "$binary") needs $dll, which Windows does not have" ;;
        esac
      done >>"$work/imports"
  done
  while read -r problem; do fail "$problem"; done <"$work/imports"

  if resource=$(/usr/bin/python3 "$here/windows/version_resource.py" "$top/bin/zelvorn.dll"); then
    [ "$(echo "$resource" | sort -u)" = "$version" ] ||
      fail "version: zelvorn.dll's version resource says $(echo "$resource" | tr '\n' ' ')"
  else
    fail "zelvorn.dll: $resource"
  fi
  head -1 "$top/README.txt" | grep -qF "zelvorn $version " || fail "version: README.txt is not about $version"
  grep -m1 '^## \[' "$top/CHANGELOG.md" | grep -qF "[$version]" ||
    fail "version: CHANGELOG.md's newest entry is not $version"
  cmp -s "$top/include/zelvorn.h" "$source/include/zelvorn.h" || fail "include/zelvorn.h is not the library's header"
  # The export list names exactly the functions the header declares.
  sed -n 's/^ZELVORN_API .*[ *]\([A-Za-z_][A-Za-z_0-9]*\)(.*/\1/p' "$source/include/zelvorn.h" |
    sort >"$work/declared"
  tr -d '\r' <"$top/lib/zelvorn.def" | sed -e '1,/^EXPORTS/d' -e 's/;.*//' -e 's/[[:space:]]//g' -e '/^$/d' |
    sort >"$work/listed"
  [ -s "$work/declared" ] && cmp -s "$work/declared" "$work/listed" ||
    fail "lib/zelvorn.def does not list exactly the functions of include/zelvorn.h"
  cmp -s "$top/LICENSE.txt" "$source/LICENSE" || fail "LICENSE.txt is not the licence"
  cmp -s "$top/docs/windows.md" "$source/docs/windows.md" || fail "docs/windows.md is not the Windows guide"
  # The driver package of this release, registering the DLL's interface class
  # (the test under wine reads the rest of it through setupapi).
  tr -d '\r' <"$top/driver/zelvorn.inf" >"$work/inf"
  grep -q "^DriverVer *= *[0-9/]*,$version\$" "$work/inf" ||
    fail "version: driver/zelvorn.inf's DriverVer is not at $version"
  class=$(sed -n 's/^set(ZELVORN_INTERFACE_CLASS "\(.*\)")$/\1/p' "$source/CMakeLists.txt")
  [ -n "$class" ] && grep -q "^HKR,,DeviceInterfaceGUIDs,0x10000,\"{$class}\"\$" "$work/inf" ||
    fail "driver/zelvorn.inf does not register the interface class {$class}"
  grep -aq '__IMPORT_DESCRIPTOR_zelvorn' "$top/lib/zelvorn.lib" ||
    fail "lib/zelvorn.lib is not an import library in Microsoft's format"
  ;;

consumers)
  consumer=$source/tests/packaging/consumer
  # Each program in a folder of its own, with the virtual DLL beside it
  # under the real one's name, the way the README tells users to try it.
  run_on_virtual() {
    cp "$top/bin/zelvorn-virtual.dll" "$(dirname "$1")/zelvorn.dll"
    # shellcheck disable=SC2086 # the emulator is a command and its argument
    $emulator "$1"
  }

  mkdir -p "$work/mingw"
  if "$mingw_cc" -std=c11 -Wall -Wextra -Wpedantic -Werror -DZELVORN_EXPECTED_VERSION="\"$version\"" \
      -I"$top/include" "$consumer/main.c" -L"$top/lib" -lzelvorn -o "$work/mingw/consumer.exe"; then
    "$objdump" -p "$work/mingw/consumer.exe" | grep -q 'DLL Name: zelvorn.dll' ||
      fail "the mingw-w64 consumer does not import zelvorn.dll"
    run_on_virtual "$work/mingw/consumer.exe" || fail "the mingw-w64 consumer failed on the virtual DLL"
  else
    fail "a program does not build with mingw-w64 against the zip"
  fi

  mkdir -p "$work/msvc"
  if "$clang" --target=x86_64-pc-windows-msvc -ffreestanding -Wall -Werror -DZELVORN_NO_C_RUNTIME \
      -DZELVORN_EXPECTED_VERSION="\"$version\"" -I"$top/include" -c "$consumer/main.c" -o "$work/msvc/consumer.obj" &&
      "$lld_link" /nologo /nodefaultlib /entry:ZelvornAppEntry /subsystem:console \
        "$work/msvc/consumer.obj" "$top/lib/zelvorn.lib" /out:"$work/msvc/consumer.exe"; then
    run_on_virtual "$work/msvc/consumer.exe" || fail "the MSVC-mode consumer failed on the virtual DLL"
  else
    fail "a program does not build with clang in MSVC mode and lld-link against zelvorn.lib"
  fi

  # The project's mingw-w64 toolchain confines find_package to the toolchain's
  # root, as cross toolchains do: the unzipped folder joins the roots, the
  # way a cross-compiling user adds it.
  cat >"$work/toolchain.cmake" <<EOF
include("$source/cmake/mingw-w64.cmake")
list(APPEND CMAKE_FIND_ROOT_PATH "$top")
EOF
  if cmake -S "$consumer" -B "$work/cmake" -DCMAKE_TOOLCHAIN_FILE="$work/toolchain.cmake" \
      -DZELVORN_EXPECTED_VERSION="$version" >"$work/cmake.log" 2>&1 &&
      cmake --build "$work/cmake" >>"$work/cmake.log" 2>&1; then
    run_on_virtual "$work/cmake/consumer.exe" || fail "the find_package consumer failed on the virtual DLL"
  else
    cat "$work/cmake.log" >&2
    fail "a program does not build with find_package(zelvorn $version EXACT) in the mingw-w64 toolchain"
  fi

  # The tool finds the virtual DLL beside itself.
  # shellcheck disable=SC2086 # the emulator is a command and its argument
  check_tool_versions zelvorn.exe $emulator "$top/bin/zelvorn.exe"
  ;;

*)
  echo "usage: check_zip.sh contents|consumers ZIP_DIR UNPACKED VERSION SOURCE_DIR OBJDUMP MINGW_CC CLANG LLD_LINK EMULATOR..." >&2
  exit 2
  ;;
esac

finish "$mode"
