#!/usr/bin/env bash
# Builds the libFuzzer targets with clang in build-fuzz/ and runs each one for
# a bounded time, one after the other, at low priority.
#
#   scripts/fuzz.sh [SECONDS_PER_TARGET]     (default 60)
#
# Corpora grow across runs in build-fuzz/corpus/<target>/. Inputs that crash
# a target are written to build-fuzz/findings/<target>/, and the target's
# output to build-fuzz/fuzz-logs/<target>.log. For each target the script
# prints the runs executed, the time taken and what was found. It exits 1 when
# any target found something. Not part of CI.
#
# JOBS sets the number of parallel compile jobs (default 2).

set -euo pipefail
case "${1:-}" in -h | --help) sed -n '2,/^[^#]/{/^#/s/^# \{0,1\}//p}' "$0"; exit 0 ;; esac

seconds="${1:-60}"
if [[ ! "$seconds" =~ ^[1-9][0-9]*$ ]]; then
  echo "usage: $0 [SECONDS_PER_TARGET]" >&2
  exit 2
fi

root="$(cd "$(dirname "$0")/.." && pwd)"
build="$root/build-fuzz"
targets=(list_fuzz associated_list_fuzz detect_fuzz)

# The compiler is fixed when the build directory is first configured.
compilers=()
if [[ ! -f "$build/CMakeCache.txt" ]]; then
  compilers=(-DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++)
fi
cmake -S "$root" -B "$build" "${compilers[@]}" -DPF_FUZZ=ON -DPF_BENCH=OFF >/dev/null
cmake --build "$build" --target "${targets[@]}" -j "${JOBS:-2}"

found_any=0
summary=()
for target in "${targets[@]}"; do
  corpus="$build/corpus/$target"
  findings="$build/findings/$target"
  log="$build/fuzz-logs/$target.log"
  mkdir -p "$corpus" "$findings" "$(dirname "$log")"
  marker="$(mktemp)"

  echo "== $target: ${seconds}s" >&2
  start=$(date +%s)
  status=0
  nice -n 10 "$build/fuzz/$target" "$corpus" -max_total_time="$seconds" \
    -print_final_stats=1 -timeout=60 -artifact_prefix="$findings/" >"$log" 2>&1 || status=$?
  elapsed=$(($(date +%s) - start))

  runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -n 1)
  new=$(find "$findings" -type f -newer "$marker" | sort)
  rm -f "$marker"
  if [[ -n "$new" || $status -ne 0 ]]; then
    found_any=1
    result="FOUND (exit $status): ${new:-see $log}"
  else
    result="nothing found"
  fi
  summary+=("$(printf '%-22s runs %12s   time %6ss   %s' "$target" "${runs:-?}" "$elapsed" \
    "$(echo "$result" | tr '\n' ' ')")")
done

printf '%s\n' "${summary[@]}"
exit "$found_any"
