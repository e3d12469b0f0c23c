#!/usr/bin/env bash
# The bash completion as a user meets it: bash-completion's helpers loaded,
# then tool/completion/zelvorn. Each command line of the README's tool
# examples (and a few the README does not have) is typed word by word; at
# every command word and option, pressing TAB must offer that word.
#   completion_test.sh BASH_COMPLETION_SCRIPT COMPLETION README
set -uo pipefail

helpers=$1
completion=$2
readme=$3

if [ ! -f "$helpers" ]; then
  echo "FAIL: $helpers is missing: install bash-completion (scripts/packages/tests.txt)" >&2
  exit 1
fi
# shellcheck disable=SC1090
. "$helpers"
# shellcheck disable=SC1090
. "$completion"

# The lines of the sh block under "## The command-line tool", comments cut.
mapfile -t lines < <(awk '
  /^## / { inside = ($0 == "## The command-line tool") }
  inside && /^```sh/ { block = 1; next }
  inside && block && /^```/ { exit }
  inside && block && /^zelvorn / { sub(/[ \t]+#.*/, ""); print }
' "$readme")
if [ ${#lines[@]} -lt 10 ]; then
  echo "FAIL: found ${#lines[@]} example lines in $readme, expected the tool's examples" >&2
  exit 1
fi
lines+=(
  "zelvorn --scenario demo.json mifare dump --progress"
  "zelvorn --port 0 list"
  "zelvorn mifare -k A0A1A2A3A4A5 read 4"
  "zelvorn --capture traffic.pcap --json wait --type iso"
  "zelvorn apdu -c 045A454C564F01 --script - --check"
  "zelvorn ultralight --password 12345678 --pack ABCD restore tag.json --with-lock-and-otp"
)

failures=0
checked=0
for line in "${lines[@]}"; do
  read -ra typed <<< "$line"
  for ((i = 1; i < ${#typed[@]}; i++)); do
    word=${typed[i]}
    # Command words and options; values (keys, numbers, files) are the user's.
    [[ $word =~ ^(-[a-zA-Z]|--[a-z][a-z-]*|[a-z][a-z-]*)$ ]] || continue
    COMP_WORDS=("${typed[@]:0:i+1}")
    COMP_CWORD=$i
    COMP_LINE="${COMP_WORDS[*]}"
    COMP_POINT=${#COMP_LINE}
    COMPREPLY=()
    _zelvorn zelvorn "$word" "${typed[i - 1]}"
    checked=$((checked + 1))
    offered=" ${COMPREPLY[*]} "
    if [[ $offered != *" $word "* ]]; then
      echo "FAIL: '${COMP_LINE}<TAB>' offers [${COMPREPLY[*]}], not '$word'" >&2
      failures=$((failures + 1))
    fi
  done
done
echo "$checked words of ${#lines[@]} lines checked, $failures not offered"
[ "$failures" -eq 0 ]
