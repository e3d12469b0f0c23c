#!/usr/bin/env bash
# Runs every benchmark and prints the table of figures:
#   time per call (Google Benchmark), instructions per call (callgrind), USB
#   transfers per call against the fewest the reply frames allow, heap
#   allocations; then the PICC_Xch_APDU series by APDU length and its plot,
#   the comparison with the PC/SC stack when it can run here, and the Python
#   package's cost per call over raw ctypes.
# Usage: bench/run.sh [build-dir]   (make bench calls it)
set -euo pipefail

here="$(cd "$(dirname "$0")" && pwd)"
root="$(cd "$here/.." && pwd)"
build="$(cd "${1:-$root/build-bench}" && pwd)"
out="$build/bench-results"
mkdir -p "$out"

count="$build/bench/zelvorn_bench_count"
timer="$build/bench/zelvorn_bench_time"
[ -x "$count" ] || { echo "missing $count: build first" >&2; exit 1; }
[ -x "$timer" ] || { echo "missing $timer: run make bench, which builds it" >&2; exit 1; }
virtual="$build/bench/zelvorn_bench_virtual"
[ -x "$build/bench/zelvorn_bench_key_search" ] || { echo "missing zelvorn_bench_key_search: run make bench" >&2; exit 1; }
[ -x "$virtual" ] || { echo "missing $virtual: run make bench, which builds it" >&2; exit 1; }

# Calls per callgrind run; instructions per call are the difference between
# runs of 2n and n calls over n, so start-up and first-call costs drop out.
calls=${BENCH_CALLS:-500}

echo "== USB transfers and heap allocations per call (zero-latency reader)"
# A call that takes more transfers or heap than it should is reported at the
# end, after every figure has been printed.
transfers_ok=1
"$count" table | tee "$out/transfers.txt" || transfers_ok=0

echo
echo "== CPU time per call (Google Benchmark)"
"$timer" --benchmark_min_time="${BENCH_MIN_TIME:-0.2}" --benchmark_repetitions=3 \
  --benchmark_report_aggregates_only=true --benchmark_format=csv 2>/dev/null \
  | awk -F, '/_median"/ { name = $1; gsub(/"/, "", name); sub(/_median$/, "", name);
                          printf "%s\t%.1f\n", name, $4 }' > "$out/time.tsv"
echo "(CPU time per call, median of 3 runs, written to $out/time.tsv)"

echo
echo "== Instructions per call (callgrind)"
instructions() {  # calls, program, its run arguments less the count, then "--" and
                  # extra callgrind options; prints instructions per call
  local n0="$1" program="$2"; shift 2
  local args=() a b
  while [ $# -gt 0 ] && [ "$1" != "--" ]; do args+=("$1"); shift; done
  [ $# -gt 0 ] && shift
  for n in "$n0" "$((2 * n0))"; do
    valgrind --tool=callgrind --collect-atstart=no --toggle-collect=zelvorn_bench_measured "$@" \
      --callgrind-out-file="$out/cg.out" "$program" run "${args[@]}" "$n" 2>/dev/null
    b=$(awk '/^totals:/ { print $2 }' "$out/cg.out")
    if [ "$n" = "$n0" ]; then a=$b; fi
  done
  rm -f "$out/cg.out"
  echo $(( (b - a) / n0 ))
}
# Leaving the device's transfer functions out of the count leaves the
# library's own share.
device=(--toggle-collect='zelvorn::replay::(anonymous namespace)::ControlOut*'
        --toggle-collect='zelvorn::replay::(anonymous namespace)::ReadPipe*')
: > "$out/instructions.tsv"
while IFS=$'\t' read -r name family; do
  lib=$(instructions "$calls" "$count" "$name" -- "${device[@]}")
  all=$(instructions "$calls" "$count" "$name" --)
  printf '%s\t%s\t%s\n' "$name" "$lib" "$all" >> "$out/instructions.tsv"
done < <("$count" list)
echo "(written to $out/instructions.tsv)"

echo
echo "== Figures per call"
awk -F'\t' -v OFS='\t' '
  FILENAME ~ /time.tsv$/ { ns[$1] = $2; next }
  FILENAME ~ /instructions.tsv$/ { lib[$1] = $2; all[$1] = $3; next }
  FNR == 1 { next }
  { split($0, f, / +/);
    name = f[1]; n = split($0, g, / +/);
    printf "| %-26s | %11s | %21s | %25s | %17s | %12s | %12s | %11s |\n", name, ns[name], lib[name],
           all[name], g[n-5], g[n-3], g[n-2], g[n-1] }
' "$out/time.tsv" "$out/instructions.tsv" "$out/transfers.txt" > "$out/figures.md.body"
{
  echo "| function                   | CPU ns/call | instructions, library | instructions, with device | control transfers | 8-byte reads | fewest reads | heap blocks |"
  echo "|---|--:|--:|--:|--:|--:|--:|--:|"
  cat "$out/figures.md.body"
} | tee "$out/figures.md"
rm -f "$out/figures.md.body"

# The same series on the virtual reader, with a card that runs the block
# protocol and a file system behind it.
rm -f "$out/apdu-virtual.dat"
echo
echo "== PICC_Xch_APDU on the virtual reader (UPDATE BINARY, extended length)"
"$virtual" series > "$out/virtual-time.tsv"
reader=(--toggle-collect='zelvorn::virt::VirtualReader::ControlOut*'
        --toggle-collect='zelvorn::virt::VirtualReader::ReadPipe*')
printf '%-7s %10s %14s %14s\n' length ns/APDU "instr. library" "instr. +reader"
while IFS=$'\t' read -r length ns; do
  lib=$(instructions 100 "$virtual" "$length" -- "${reader[@]}")
  all=$(instructions 100 "$virtual" "$length" --)
  printf '%s\t%s\t%s\t%s\n' "$length" "$ns" "$lib" "$all" >> "$out/apdu-virtual.dat"
  printf '%-7s %10s %14s %14s\n' "$length" "$ns" "$lib" "$all"
done < "$out/virtual-time.tsv"

# The APDU series and its plot.
if grep -q '^PICC_Xch_APDU/' "$out/instructions.tsv"; then
  awk -F'\t' '
    FILENAME ~ /time.tsv$/ { ns[$1] = $2; next }
    /^PICC_Xch_APDU\// { split($1, p, "/"); print p[2], ns[$1], $2 }
  ' "$out/time.tsv" "$out/instructions.tsv" | sort -n > "$out/apdu.dat"
  with_virtual="$out/apdu-virtual.dat"
  if command -v gnuplot > /dev/null; then
    gnuplot -e "data='$out/apdu.dat'; virtual='$with_virtual'; output='$out/apdu.png'" "$here/apdu.gp"
    echo "plot: $out/apdu.png"
  fi
fi

echo
echo "== Side by side with the PC/SC stack"
driver="$build/pcsc/libifd-zelvorn-virtual.so"
"$here/pcsc/compare.sh" "$virtual" "$build/pcsc/reader.conf" "${BENCH_PCSC_COUNT:-300}" \
  "$out/pcsc.md" && cat "$out/pcsc.md" || true

# Our driver's own cost: IFDHTransmitToICC called in this process as pcscd
# calls it, against the library's PICC_Xch_APDU, for the same APDUs to the
# same virtual card; with the virtual reader's own work left out and in.
echo
echo "== Instructions per APDU: the PC/SC driver in process against the library"
printf '| APDU | library | driver | driver, reader and card included |\n|---|--:|--:|--:|\n' \
  | tee "$out/pcsc-instructions.md"
i=0
for name in "GET CHALLENGE" "SELECT by name" "200-byte UPDATE BINARY"; do
  lib=$(instructions 100 "$virtual" apdu "$i" -- "${reader[@]}")
  drv=$(instructions 100 "$virtual" driver "$driver" "$here/pcsc/card.json" "$i" -- "${reader[@]}")
  all=$(instructions 100 "$virtual" driver "$driver" "$here/pcsc/card.json" "$i" --)
  printf '| %s | %s | %s | %s |\n' "$name" "$lib" "$drv" "$all" | tee -a "$out/pcsc-instructions.md"
  i=$((i + 1))
done

# The tool's key search: control transfers of a whole dump of the demo card.
echo
echo "== MIFARE Classic key search (the tool on the virtual reader, demo card)"
"$build/bench/zelvorn_bench_key_search" --benchmark_format=console 2>/dev/null \
  | tee "$out/key-search.txt"
# A whole Type 2 tag dump by the tool, counted from its USB capture.
echo
echo "== Type 2 tag dumps: telegrams and USB transfers"
/usr/bin/python3 "$root/bench/type2_dump.py" "$build/tool/zelvorn" | tee "$out/type2.md"
# ndef read of a 100-byte message on each card family.
echo
echo "== NDEF reads: card commands against the fewest"
/usr/bin/python3 "$root/bench/ndef_read.py" "$build/tool/zelvorn" | tee "$out/ndef.md"

# The Python package against raw ctypes, per call, in one process.
python_library="$build/bindings/python/bench-virtual-library.txt"
if [ -f "$python_library" ]; then
  echo
  echo "== The Python package against raw ctypes"
  PYTHONDONTWRITEBYTECODE=1 /usr/bin/python3 "$root/bindings/python/bench/read_bench.py" \
    "$(cat "$python_library")" "$root/tool/scenarios/demo.json" | tee "$out/python.md"
fi

if [ "$transfers_ok" = 0 ]; then
  echo "Some calls differ from the fewest transfers or allocate: see DIFFERS above." >&2
  exit 1
fi
