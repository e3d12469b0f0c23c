#!/bin/sh
# make uninstall: removes the files that make install recorded in RECORD
# (scripts/install.sh), then the folders it made, deepest first, where they
# are empty; a folder that holds anything else stays. Then the record goes.
#   uninstall.sh RECORD
set -eu
record=$1

if [ ! -f "$record/files.txt" ]; then
  echo "uninstall.sh: nothing to remove: no install is recorded in $record" >&2
  exit 0
fi
removed=0
while IFS= read -r file; do
  if [ -e "$file" ] || [ -L "$file" ]; then
    rm -f "$file"
    echo "Removed: $file"
    removed=$((removed + 1))
  fi
done <"$record/files.txt"
if [ -f "$record/folders.txt" ]; then
  sort -r "$record/folders.txt" | while IFS= read -r folder; do
    rmdir "$folder" 2>/dev/null || true
  done
fi
rm -f "$record/files.txt" "$record/folders.txt"
rmdir "$record" 2>/dev/null || true
echo "Uninstalled: $removed files removed"
