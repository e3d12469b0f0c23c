#!/bin/sh
# Checks the Debian packages as their users meet them.
#
#   check_debs.sh lintian  DEB_DIR VERSION PACKAGES LIBDIR
#   check_debs.sh contents DEB_DIR VERSION PACKAGES LIBDIR
#   check_debs.sh install  DEB_DIR VERSION PACKAGES LIBDIR C_COMPILER
#
# PACKAGES is the list of package names the build defines (space separated);
# exactly those must be in DEB_DIR, each at VERSION-1. LIBDIR is the
# libraries' folder below /usr (@LIBDIR@ in the .contents files).
#   lintian:  no errors, and only the warnings debian/lintian-warnings.txt explains;
#   contents: each package holds what debian/PACKAGE.contents promises, no
#             more, and depends on what it names; libzelvorn1 has its shlibs;
#   install:  the packages unpacked into a scratch root; programs built there
#             with pkg-config and with find_package(zelvorn) run on the
#             virtual library, dpkg-shlibdeps gives them the right dependency,
#             and the tool runs.
set -eu
set -f  # the .contents patterns are matched with case, never against files here
mode=$1
debs=$2
version=$3
packages=$4
libdir=$5
here=$(cd "$(dirname "$0")" && pwd)
deb_version=$version-1
arch=$(dpkg --print-architecture)
work=$(mktemp -d)
: >"$work/problems"
trap 'rm -rf "$work"' EXIT
# shellcheck source=common.sh
. "$here/common.sh"
deb_of() { echo "$debs/${1}_${deb_version}_$arch.deb"; }

# The same packages as the build defines, no more, no fewer, at the version.
for package in $packages; do
  [ -f "$(deb_of "$package")" ] || fail "version: no $(basename "$(deb_of "$package")") in $debs"
done
set +f
for deb in "$debs"/*.deb; do
  [ -f "$deb" ] || continue
  name=$(dpkg-deb -f "$deb" Package)
  case " $packages " in
    *" $name "*) ;;
    *) fail "$deb: a package the build does not define" ;;
  esac
  [ "$(dpkg-deb -f "$deb" Version)" = "$deb_version" ] ||
    fail "version: $name is $(dpkg-deb -f "$deb" Version), not $deb_version"
done
set -f
[ "$failures" -eq 0 ] || exit 1

case $mode in
lintian)
  status=0
  # shellcheck disable=SC2046 # one argument per package
  lintian --no-cfg $(for p in $packages; do deb_of "$p"; done) >"$work/lintian" 2>&1 || status=$?
  cat "$work/lintian"
  while read -r severity package tag _; do
    package=${package%:}
    case $severity in
      E:) fail "lintian error $tag in $package" ;;
      W:)
        grep -q "^$package $tag " "$here/debian/lintian-warnings.txt" ||
          fail "lintian warning $tag in $package, not in debian/lintian-warnings.txt"
        ;;
    esac
  done <"$work/lintian"
  # Exit status 2 comes with the errors above; 1 is lintian failing.
  [ $status -ne 1 ] || fail "lintian could not check the packages"
  ;;

contents)
  for package in $packages; do
    deb=$(deb_of "$package")
    manifest=$here/debian/$package.contents
    if [ ! -f "$manifest" ]; then
      fail "$package: no tests/packaging/debian/$package.contents saying what it holds"
      continue
    fi
    dpkg-deb --contents "$deb" | awk '$1 !~ /^d/ { print $6 }' | sed 's|^\./||' | sort >"$work/files"
    sed -e 's/#.*//' -e "s/@DEB_VERSION@/$deb_version/" -e "s|@LIBDIR@|$libdir|" "$manifest" | grep -v '^[[:space:]]*$' >"$work/manifest"
    # Every promised path is there.
    grep -v '^?\|^Depends:\|^Suggests:' "$work/manifest" | while read -r pattern; do
      found=no
      while read -r file; do
        # shellcheck disable=SC2254
        case $file in $pattern) found=yes ;; esac
      done <"$work/files"
      [ $found = yes ] || echo "$package lacks $pattern"
    done >>"$work/problems"
    # Nothing is there that was not promised.
    sed -e 's/^? *//' -e '/^Depends:/d' -e '/^Suggests:/d' "$work/manifest" >"$work/known"
    while read -r file; do
      known=no
      while read -r pattern; do
        # shellcheck disable=SC2254
        case $file in $pattern) known=yes ;; esac
      done <"$work/known"
      [ $known = yes ] || echo "$package holds $file, which its .contents does not name"
    done <"$work/files" >>"$work/problems"
    for field in Depends Suggests; do
      value=$(dpkg-deb -f "$deb" "$field")
      sed -n "s/^$field: *//p" "$work/manifest" | while read -r wanted; do
        case ", $value," in
          *", $wanted"[,\ ]*) ;;
          *) echo "$package's $field is '$value', without $wanted" ;;
        esac
      done >>"$work/problems"
    done
    dpkg-deb --fsys-tarfile "$deb" | tar -xO "./usr/share/doc/$package/changelog.Debian.gz" |
      zcat | head -1 | grep -q "($deb_version)" ||
      echo "version: $package's changelog.Debian does not start at $deb_version" >>"$work/problems"
  done
  shlibs=$(dpkg-deb --ctrl-tarfile "$(deb_of libzelvorn1)" | tar -xO ./shlibs 2>/dev/null || true)
  [ "$shlibs" = "libzelvorn 1 libzelvorn1 (>= $deb_version)" ] ||
    echo "libzelvorn1's shlibs file is '$shlibs'" >>"$work/problems"
  if [ -s "$work/problems" ]; then
    while read -r problem; do fail "$problem"; done <"$work/problems"
  fi
  ;;

install)
  cc=$6
  root=$work/root
  for package in $packages; do dpkg-deb -x "$(deb_of "$package")" "$root"; done
  lib=$root/usr/$libdir
  virtual=$lib/libzelvorn-virtual.so
  consumer=$here/consumer

  # pkg-config: the version, and a program built with what it says.
  export PKG_CONFIG_PATH="$lib/pkgconfig"
  [ "$(pkg-config --modversion zelvorn)" = "$version" ] ||
    fail "version: pkg-config says zelvorn $(pkg-config --modversion zelvorn), not $version"
  # shellcheck disable=SC2046
  if "$cc" -std=c11 -Wall -Wextra -Wpedantic -Werror -DZELVORN_EXPECTED_VERSION="\"$version\"" \
      -o "$work/pc-consumer" "$consumer/main.c" $(pkg-config --cflags --libs zelvorn); then
    readelf -d "$work/pc-consumer" | grep -q 'NEEDED.*\[libzelvorn\.so\.1\]' ||
      fail "the pkg-config consumer does not need libzelvorn.so.1"
    LD_LIBRARY_PATH=$lib LD_PRELOAD=$virtual "$work/pc-consumer" ||
      fail "the pkg-config consumer failed on the virtual library"
  else
    fail "a program does not build with pkg-config's flags"
  fi
  [ -f "$work/pc-consumer" ] || exit 1

  # find_package(zelvorn VERSION EXACT), from the CMake package.
  if cmake -S "$consumer" -B "$work/cmake" -DCMAKE_C_COMPILER="$cc" -DCMAKE_PREFIX_PATH="$root/usr" \
      -DZELVORN_EXPECTED_VERSION="$version" >"$work/cmake.log" 2>&1 &&
      cmake --build "$work/cmake" >>"$work/cmake.log" 2>&1; then
    LD_LIBRARY_PATH=$lib LD_PRELOAD=$virtual "$work/cmake/consumer" ||
      fail "the find_package consumer failed on the virtual library"
  else
    cat "$work/cmake.log" >&2
    fail "a program does not build with find_package(zelvorn $version EXACT)"
  fi

  # A package built from such a program depends on libzelvorn1 at least at
  # this version: what dpkg-shlibdeps makes of the shlibs file.
  mkdir -p "$work/shlibdeps/debian"
  : >"$work/shlibdeps/debian/control"
  dpkg-deb --ctrl-tarfile "$(deb_of libzelvorn1)" | tar -xO ./shlibs >"$work/shlibs" 2>/dev/null ||
    fail "libzelvorn1 has no shlibs file"
  deps=$(cd "$work/shlibdeps" && dpkg-shlibdeps -O -L"$work/shlibs" -l"$lib" "$work/pc-consumer" 2>&1) || true
  case $deps in
    *"libzelvorn1 (>= $deb_version)"*) ;;
    *) fail "dpkg-shlibdeps gives a program built against libzelvorn: $deps" ;;
  esac

  # A reader.conf entry the packages offer names a driver they install.
  set +f
  for conf in "$root"/usr/share/zelvorn/pcsc/*.conf; do
    set -f
    [ -f "$conf" ] || continue
    libpath=$(sed -n 's/^LIBPATH[[:space:]]*//p' "$conf")
    [ -f "$root$libpath" ] || fail "$(basename "$conf") names LIBPATH $libpath, which no package installs"
  done
  set -f

  # The tool as installed finds the virtual library beside the real one.
  check_tool_versions zelvorn "$root/usr/bin/zelvorn"
  ;;

*)
  echo "usage: check_debs.sh lintian|contents|install DEB_DIR VERSION PACKAGES LIBDIR [C_COMPILER]" >&2
  exit 2
  ;;
esac

finish "$mode"
