#!/usr/bin/env bash
# Installs the Debian packages the build and the tests need, when any is missing.
set -euo pipefail
packages=(cmake g++ make clang libclang-rt-14-dev valgrind libgtest-dev libbenchmark-dev libpng-dev
  libtiff-dev libjpeg62-turbo-dev zlib1g-dev octave liboctave-dev python3-dev python3-numpy pybind11-dev python3-pytest python3-pil
  python3-dask python3-distributed python3-skimage python3-imageio)
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
