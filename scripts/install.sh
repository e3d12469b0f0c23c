#!/bin/sh
# make install: the install rules of a build folder under PREFIX (and
# $DESTDIR, when set, in front of every path). Keeps a record for make
# uninstall in RECORD: the files written (files.txt, from CMake's install
# manifest) and the folders the install made (folders.txt), added to what an
# earlier install recorded there.
#   install.sh BUILD PREFIX RECORD
set -eu
build=$1
prefix=$2
record=$3
dest=${DESTDIR-}

fail() { echo "install.sh: $*" >&2; exit 1; }
case $prefix in
  /*) ;;
  *) fail "PREFIX must be an absolute path, not '$prefix'" ;;
esac
mkdir -p "$record"
# CMake's list of what it installed; its last line has no line end.
manifest=$build/install_manifest.txt
lines() { sed '$a\' "$manifest"; }

# A first install into a scratch folder tells which files the real one will
# write, and so which folders it will make: those that are not there yet.
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
DESTDIR=$scratch cmake --install "$build" --prefix "$prefix" >/dev/null
[ -s "$manifest" ] || fail "the install wrote no manifest in $build"
lines | while IFS= read -r file; do
  folder=$(dirname "$file")
  while [ "$folder" != / ] && [ ! -d "$dest$folder" ]; do
    echo "$dest$folder"
    folder=$(dirname "$folder")
  done
done >"$scratch/folders"

cmake --install "$build" --prefix "$prefix"
lines | sed "s|^|$dest|" | cat - "$record/files.txt" 2>/dev/null | sort -u >"$scratch/files"
cat "$scratch/folders" "$record/folders.txt" 2>/dev/null | sort -u >"$scratch/all-folders"
mv "$scratch/files" "$record/files.txt"
mv "$scratch/all-folders" "$record/folders.txt"
echo "Installed $(lines | wc -l) files under $dest$prefix (make uninstall removes them)"

# What a prefix other than the system's own means for the two services that
# look for files of ours in folders of their own.
dropdir=$(pkg-config --variable=usbdropdir libpcsclite 2>/dev/null || echo /usr/lib/pcsc/drivers)
if ! grep -q "^$dropdir/ifd-zelvorn\.bundle/" "$manifest"; then
  echo "Note: pcscd looks for drivers in $dropdir only: make install PCSCD_DROPDIR=$dropdir puts the PC/SC driver there"
fi
if ! grep -q '^\(/usr\)\{0,1\}/lib/udev/rules\.d/\|^/etc/udev/rules\.d/' "$manifest"; then
  echo "Note: udev reads no rules from $prefix: copy $prefix/lib/udev/rules.d/70-zelvorn.rules into /etc/udev/rules.d to let users open the reader"
fi
