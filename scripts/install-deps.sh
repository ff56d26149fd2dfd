#!/usr/bin/env bash
# Installs the Debian packages that are missing: with no argument, what the build and the whole
# test suite need; with `tool`, only what building daskel-segment needs (scripts/run.sh).
set -euo pipefail
tool=(cmake g++ make libpng-dev libtiff-dev libjpeg62-turbo-dev)
packages=("${tool[@]}" clang libclang-rt-14-dev valgrind libgtest-dev libbenchmark-dev zlib1g-dev
  octave liboctave-dev python3-dev python3-numpy pybind11-dev python3-pytest python3-pil
  python3-dask python3-distributed python3-skimage python3-imageio python3-scipy
  python3-pip python3-venv python3-setuptools python3-wheel dpkg-dev)
case "${1:-}" in
  "") ;;
  tool) packages=("${tool[@]}") ;;
  *) echo "usage: $0 [tool]" >&2; exit 2 ;;
esac
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0
sudo=""
[ "$(id -u)" -ne 0 ] && sudo=sudo
echo "Installing: ${missing[*]}"
$sudo apt-get update -q
DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -q --no-install-recommends "${missing[@]}"
