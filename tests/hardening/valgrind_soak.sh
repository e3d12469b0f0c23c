#!/usr/bin/env bash
# Runs the soak program under valgrind three times and compares the heap
# totals: nothing may leak, more commands must not mean more allocations, and
# each extra open/close cycle must cost exactly one allocation, given back.
#   valgrind_soak.sh VALGRIND SOAK_PROGRAM
set -euo pipefail
valgrind="$1"
soak="$2"
log="$(mktemp -d)"
trap 'rm -rf "$log"' EXIT

run() {  # cycles commands name
  "$valgrind" --error-exitcode=99 --leak-check=full --errors-for-leak-kinds=definite,indirect,possible \
    --log-file="$log/$3" "$soak" "$1" "$2" >/dev/null
  grep -q "ERROR SUMMARY: 0 errors" "$log/$3" || { cat "$log/$3"; exit 1; }
}
allocs() { sed -n 's/.*total heap usage: \([0-9,]*\) allocs, \([0-9,]*\) frees.*/\1/p' "$log/$1" | tr -d ,; }
frees() { sed -n 's/.*total heap usage: \([0-9,]*\) allocs, \([0-9,]*\) frees.*/\2/p' "$log/$1" | tr -d ,; }
inuse() { sed -n 's/.*in use at exit: \([0-9,]*\) bytes.*/\1/p' "$log/$1" | tr -d ,; }

run 1000 1000 base
run 1000 2000 commands
run 2000 1000 cycles

echo "base: $(allocs base) allocs, $(frees base) frees, $(inuse base) bytes in use at exit"
[ "$(allocs commands)" = "$(allocs base)" ] ||
  { echo "1000 more commands made $(( $(allocs commands) - $(allocs base) )) more allocations"; exit 1; }
[ $(( $(allocs cycles) - $(allocs base) )) -eq 1000 ] ||
  { echo "1000 more open/close cycles made $(( $(allocs cycles) - $(allocs base) )) more allocations"; exit 1; }
[ $(( $(frees cycles) - $(frees base) )) -eq 1000 ] || { echo "closing does not free what opening took"; exit 1; }
[ "$(inuse cycles)" = "$(inuse base)" ] && [ "$(inuse commands)" = "$(inuse base)" ] ||
  { echo "memory in use at exit grows with the workload"; exit 1; }
echo "no leak; commands allocate nothing; one allocation per open, freed by close"
