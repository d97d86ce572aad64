#!/usr/bin/env bash
# Builds the revisit benchmark from the sample videos and evaluates Placetrace
# and the bag-of-words baseline on it; the benchmark itself lives in
# revisit/revisit_benchmark.sh, which this runs with the same arguments.
#
#   scripts/revisit_benchmark.sh [OUT_DIR]     default: docs/
#
# --help prints the benchmark's own description.
exec bash "$(dirname "$0")/../revisit/revisit_benchmark.sh" "$@"
