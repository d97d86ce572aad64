#!/usr/bin/env bash
# Installs the build into a scratch prefix, then configures, builds and runs
# the outside project CONSUMER against the installed package only. With a
# Python interpreter given, also imports the installed Python package and its
# cluster tool from their place under the prefix (PYTHON_DIR, relative to it)
# and runs one detection, with the environment settings VAR=VALUE in the
# interpreter's environment.
#
#   install_test.sh BUILD_DIR CONSUMER_DIR [PYTHON PYTHON_DIR [VAR=VALUE...]]
set -u
build=$1
consumer=$2
python=${3:-}
python_dir=${4:-}
python_env=("${@:5}")
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
prefix=$work/prefix

cmake --install "$build" --prefix "$prefix" >"$work/install.log" 2>&1 \
  || { cat "$work/install.log"; echo "FAIL cmake --install"; exit 1; }
[ -f "$prefix/include/placefinder/LocationDetector.h" ] || { echo "FAIL no headers installed"; exit 1; }
# Test helpers stay in the source tree.
for helper in ReferenceDetector.h SceneFrames.h; do
  [ ! -e "$prefix/include/placefinder/$helper" ] || { echo "FAIL the test helper $helper is installed"; exit 1; }
done

# Only the prefix is searched for the package (and the system for OpenCV), so
# nothing from the build or source tree can stand in for it.
cmake -S "$consumer" -B "$work/build" -DCMAKE_PREFIX_PATH="$prefix" \
  -DCMAKE_FIND_USE_PACKAGE_REGISTRY=OFF >"$work/configure.log" 2>&1 \
  || { cat "$work/configure.log"; echo "FAIL configuring the outside project"; exit 1; }
cmake --build "$work/build" >"$work/build.log" 2>&1 \
  || { cat "$work/build.log"; echo "FAIL building the outside project"; exit 1; }
"$work/build/consumer" || { echo "FAIL the outside project's checks"; exit 1; }

if [ -n "$python" ]; then
  (cd "$work" && env "${python_env[@]}" PYTHONPATH="$prefix/$python_dir" "$python" -c '
import numpy, placefinder, placefinder.cluster, sys
assert placefinder.__file__.startswith(sys.argv[1]), placefinder.__file__
assert placefinder.cluster.__file__.startswith(sys.argv[1]), placefinder.cluster.__file__
frame = numpy.full((64, 64), 20, numpy.uint8)
frame[20:44, 20:44] = 230
assert len(placefinder.detect(frame)) > 0
print("ok   python: the installed package imports and detects")' "$prefix") \
    || { echo "FAIL importing the installed Python module"; exit 1; }
fi
echo "ok   installed into a scratch prefix and used from an outside project"
