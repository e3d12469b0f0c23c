#!/usr/bin/env bash
# Runs every fuzz target in a build folder for a fixed time, two at a time,
# each from the committed seeds plus what earlier runs found, and prints how
# many inputs each one executed. Inputs are kept to 512 bytes: a few dozen
# calls each, which keeps the rate of executions high. The readers of files
# (the targets named *_file_fuzz) run for a number of inputs instead,
# FUZZ_FILE_RUNS (3 million) however long that takes, on files up to 4 KiB.
#   scripts/run-fuzz.sh BUILD_DIR/fuzz SECONDS [EXTRA LIBFUZZER FLAGS...]
set -euo pipefail
dir="$1"
seconds="$2"
shift 2
src="$(cd "$(dirname "$0")/.." && pwd)/fuzz/corpus"
parallel="${FUZZ_PARALLEL:-2}"

targets=()
for t in "$dir"/*_fuzz; do
  [ -x "$t" ] && targets+=("$t")
done
[ ${#targets[@]} -gt 0 ] || { echo "no fuzz targets in $dir" >&2; exit 1; }

run() {
  local t="$1" name
  shift
  name="$(basename "$t")"
  mkdir -p "$dir/corpus/$name"
  local limit=(-max_total_time="$seconds" -max_len=512)
  case "$name" in
    *_file_fuzz) limit=(-runs="${FUZZ_FILE_RUNS:-3000000}" -max_len=4096) ;;
  esac
  if "$t" "${limit[@]}" -timeout=10 -rss_limit_mb=2048 -print_final_stats=1 \
      "$@" "$dir/corpus/$name" "$src/$name" >"$dir/$name.log" 2>&1; then
    echo "$name: $(grep -m1 number_of_executed_units "$dir/$name.log" | awk '{print $2}') executions, no finding"
  else
    echo "$name: FINDING, see $dir/$name.log" >&2
    tail -40 "$dir/$name.log" >&2
    return 1
  fi
}

status=0
pids=()
for t in "${targets[@]}"; do
  run "$t" "$@" &
  pids+=($!)
  if [ ${#pids[@]} -ge "$parallel" ]; then
    wait "${pids[0]}" || status=1
    pids=("${pids[@]:1}")
  fi
done
for p in "${pids[@]}"; do wait "$p" || status=1; done
exit $status
