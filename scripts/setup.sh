#!/usr/bin/env bash
# Installs what building and testing this project needs on Debian 12, from
# Debian's own packages. Safe to run again: when everything is already there it
# changes nothing and needs no network.
#
#   scripts/setup.sh          compiler, CMake, GoogleTest, Google Benchmark, OpenCV
#   scripts/setup.sh --dev    the same, plus clang-format for formatting the code
#
# Needs root, or sudo for a normal user.
set -euo pipefail

packages=(
  g++ make cmake
  libgtest-dev
  libbenchmark-dev
  libopencv-dev
)

for arg in "$@"; do
  case "$arg" in
    --dev) packages+=(clang-format) ;;
    -h | --help)
      sed -n '2,9p' "$0" | sed 's/^# \{0,1\}//'
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

if [ ${#missing[@]} -eq 0 ]; then
  echo "setup.sh: all build and test packages are installed."
  exit 0
fi

if [ "$(id -u)" -eq 0 ]; then
  as_root=()
elif command -v sudo >/dev/null 2>&1; then
  as_root=(sudo)
else
  echo "setup.sh: these packages are missing and installing them needs root: ${missing[*]}" >&2
  exit 1
fi

echo "setup.sh: installing ${missing[*]}"
export DEBIAN_FRONTEND=noninteractive
"${as_root[@]}" apt-get update -q
# Recommends are left out: libopencv-dev would otherwise bring Java bindings and
# sample data that nothing here uses.
"${as_root[@]}" apt-get install -y -q --no-install-recommends "${missing[@]}"
echo "setup.sh: done."
