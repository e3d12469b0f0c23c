#!/bin/sh
# Each make target installs the package lists of scripts/packages/ it needs,
# and those are enough: make demo and make install configure a fresh build
# with their own options while pkg-config and find_package see only the
# packages of their lists (and CMake's own modules for the compiler and
# pkg-config). make test installs every list.
#   make_deps_test.sh SOURCE_DIR
set -eu
src=$(cd "$1" && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
failures=0
fail() { echo "FAIL: $*" >&2; failures=$((failures + 1)); }

# A variable of the Makefile, and the lists a target's recipe installs.
variable() { make -s --no-print-directory -C "$src" --eval="print-variable: ; @echo \$($1)" print-variable; }
lists_of() {
  make -n --no-print-directory -C "$src" "$1" BUILD="$work/unused" |
    sed -n 's/^bash scripts\/install-deps\.sh *//p' | head -1
}

[ -z "$(lists_of test)" ] || fail "make test installs only the lists '$(lists_of test)', not every list"

# The find_package names of the build files.
find "$src" -path "$src/build*" -prune -o -path "$src/.*" -prune -o \
  \( -name CMakeLists.txt -o -name '*.cmake' \) -print |
  xargs sed -n 's/.*find_package(\([A-Za-z0-9_]*\).*/\1/p' | sort -u >"$work/names"

for target in demo install; do
  upper=$(echo "$target" | tr a-z A-Z)
  lists=$(variable "${upper}_DEPS")
  options=$(variable "${upper}_CMAKE_OPTIONS")
  [ "$(lists_of "$target")" = "$lists" ] ||
    fail "make $target installs '$(lists_of "$target")', not its ${upper}_DEPS '$lists'"
  # shellcheck disable=SC2086 # one argument per list
  packages=$(bash "$src/scripts/install-deps.sh" --print $lists)
  for package in $packages; do dpkg -L "$package" 2>/dev/null; done >"$work/$target.files"

  # pkg-config sees the .pc files of these packages only.
  mkdir -p "$work/$target.pc"
  grep '\.pc$' "$work/$target.files" | while read -r pc; do ln -sf "$pc" "$work/$target.pc/"; done
  # find_package finds the packages that ship its configuration, and CMake's
  # modules for what every build has.
  disabled=""
  while read -r name; do
    case $name in Threads | PkgConfig) continue ;; esac
    lower=$(echo "$name" | tr A-Z a-z)
    grep -qE "/(${name}Config|${lower}-config)\.cmake$" "$work/$target.files" && continue
    disabled="$disabled -DCMAKE_DISABLE_FIND_PACKAGE_$name=ON"
  done <"$work/names"

  # shellcheck disable=SC2086
  if ! (cd "$src" && PKG_CONFIG_LIBDIR="$work/$target.pc" PKG_CONFIG_PATH="" \
        cmake -S . -B "$work/$target.build" $options $disabled >"$work/$target.log" 2>&1); then
    cat "$work/$target.log" >&2
    fail "make $target's build does not configure with the packages of '$lists' alone"
  fi
  echo "make $target: $(echo $packages | wc -w) packages of '$lists'"
done
[ "$failures" -eq 0 ]
