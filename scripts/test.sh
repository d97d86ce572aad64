#!/usr/bin/env bash
# Configures, builds and runs every test of the project with CTest.
#
#   scripts/test.sh                      build in build/ and run all tests, then build in
#                                        build-asan/ with AddressSanitizer and
#                                        UndefinedBehaviorSanitizer and run them again
#   scripts/test.sh --plain              only the first half: build/
#   scripts/test.sh --sanitize           only the second half: build-asan/
#   scripts/test.sh --build-dir DIR      use DIR as the build directory (one build)
#   scripts/test.sh -- -R iList          pass what follows "--" on to ctest
#
# JOBS sets how many compile and test jobs run at once (default 2).
# Exits non-zero when the build fails, a test fails, or no test is found.
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
jobs=${JOBS:-2}
sanitize=OFF
both=1
build_dir=
ctest_args=()

while [ $# -gt 0 ]; do
  case "$1" in
    --sanitize) sanitize=ON; both= ;;
    --plain) both= ;;
    --build-dir)
      [ $# -ge 2 ] || { echo "test.sh: --build-dir needs a directory" >&2; exit 2; }
      build_dir=$2
      both=
      shift
      ;;
    --)
      shift
      ctest_args=("$@")
      break
      ;;
    -h | --help)
      sed -n '2,/^[^#]/{/^#/s/^# \{0,1\}//p}' "$0"
      exit 0
      ;;
    *)
      echo "test.sh: unknown argument '$1' (try --help)" >&2
      exit 2
      ;;
  esac
  shift
done

# Both halves, the sanitized one last so that its CTest summary ends the output.
if [ -n "$both" ]; then
  bash "$0" --plain -- "${ctest_args[@]}"
  exec bash "$0" --sanitize -- "${ctest_args[@]}"
fi

if [ -z "$build_dir" ]; then
  if [ "$sanitize" = ON ]; then build_dir=$root/build-asan; else build_dir=$root/build; fi
fi

# The sanitized build runs the tests only; benchmarks are left to the plain build.
if [ "$sanitize" = ON ]; then bench=OFF; else bench=ON; fi

cmake -S "$root" -B "$build_dir" -DPF_SANITIZE="$sanitize" -DPF_BENCH="$bench"
cmake --build "$build_dir" -j "$jobs"

# In the sanitized build a finding fails its test (the compile flags make every
# finding fatal); leaks count too, and undefined behaviour prints a stack trace.
export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1}

# --timeout keeps a hanging test from using up the whole run.
ctest --test-dir "$build_dir" --output-on-failure --no-tests=error --timeout 600 \
  -j "$jobs" "${ctest_args[@]}"
