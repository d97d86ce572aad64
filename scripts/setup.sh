#!/usr/bin/env bash
# Installs what building and testing this project needs on Debian 12, from
# Debian's own packages. Safe to run again: when everything is already there it
# changes nothing and needs no network.
#
#   scripts/setup.sh          compiler, CMake, GoogleTest, Google Benchmark, OpenCV, SQLite,
#                             Xvfb and xdotool for the window tests, clang for the
#                             fuzzers, pybind11, numpy, pytest and OpenCV for Debian's
#                             python3 (the Python module and its tests), Dask and its
#                             distributed scheduler (placefinder.cluster), Chromium
#                             for the test that opens Placetrace's report in a
#                             browser, and the sample videos in data/
#   scripts/setup.sh --dev    the same, plus clang-format for formatting the code
#
# Needs root, or sudo for a normal user.
set -euo pipefail

packages=(
  g++ make cmake pkg-config
  libgtest-dev
  libbenchmark-dev
  libopencv-dev
  xvfb xdotool
  clang libclang-rt-14-dev
  libsqlite3-dev sqlite3
  libcli11-dev
  python3-dev pybind11-dev python3-numpy python3-pytest python3-opencv
  python3-dask python3-distributed
  chromium
)

for arg in "$@"; do
  case "$arg" in
    --dev) packages+=(clang-format) ;;
    -h | --help)
      sed -n '2,/^[^#]/{/^#/s/^# \{0,1\}//p}' "$0"
      exit 0
      ;;
    *)
      echo "setup.sh: unknown argument '$arg' (try --help)" >&2
      exit 2
      ;;
  esac
done

missing=()
for p in "${packages[@]}"; do
  status=$(dpkg-query -W -f='${db:Status-Status}' "$p" 2>/dev/null || true)
  [ "$status" = installed ] || missing+=("$p")
done

as_root_ok=1
if [ "$(id -u)" -eq 0 ]; then
  as_root=()
elif command -v sudo >/dev/null 2>&1; then
  as_root=(sudo)
else
  as_root=()
  as_root_ok=
fi

root=$(cd "$(dirname "$0")/.." && pwd)
videos=(Megamind.avi tree.avi vtest.avi)
missing_videos=()
for v in "${videos[@]}"; do
  [ -s "$root/data/$v" ] || missing_videos+=("$v")
done

# Extracts the sample videos from Debian's OpenCV documentation package into
# data/ (git-ignored); only the three videos are kept.
fetch_videos() {
  [ ${#missing_videos[@]} -eq 0 ] && return 0
  echo "setup.sh: fetching the sample videos ${missing_videos[*]} into data/"
  local tmp
  tmp=$(mktemp -d)
  # A stale package list cannot download; refresh it once and try again.
  (cd "$tmp" && apt-get download -q opencv-doc >/dev/null 2>&1) \
    || { [ -n "$as_root_ok" ] && "${as_root[@]}" apt-get update -q >/dev/null \
      && (cd "$tmp" && apt-get download -q opencv-doc >/dev/null); } || {
    rm -rf "$tmp"
    echo "setup.sh: could not download opencv-doc" >&2
    return 1
  }
  dpkg -x "$tmp"/opencv-doc_*.deb "$tmp/x"
  mkdir -p "$root/data"
  for v in "${missing_videos[@]}"; do
    local f
    f=$(find "$tmp/x" -path "*/examples/data/$v" -print -quit)
    if [ -z "$f" ]; then
      rm -rf "$tmp"
      echo "setup.sh: $v is not in opencv-doc" >&2
      return 1
    fi
    cp "$f" "$root/data/$v"
  done
  rm -rf "$tmp"
}

if [ ${#missing[@]} -eq 0 ]; then
  echo "setup.sh: all build and test packages are installed."
  fetch_videos
  exit 0
fi

if [ -z "$as_root_ok" ]; then
  echo "setup.sh: these packages are missing and installing them needs root: ${missing[*]}" >&2
  exit 1
fi

echo "setup.sh: installing ${missing[*]}"
export DEBIAN_FRONTEND=noninteractive
"${as_root[@]}" apt-get update -q
# Recommends are left out: libopencv-dev would otherwise bring Java bindings and
# sample data that nothing here uses.
"${as_root[@]}" apt-get install -y -q --no-install-recommends "${missing[@]}"
fetch_videos
echo "setup.sh: done."
