#!/usr/bin/env bash
# Installs the Debian packages that building and testing need. Does nothing when they are
# all present; otherwise installs the missing ones (as root, or through sudo).
set -euo pipefail

packages=(cmake make g++ git pkg-config zlib1g-dev libisal-dev libtiff-dev libpng-dev libcli11-dev libgtest-dev
          libbenchmark-dev clang clang-format clang-tidy binutils libtiff-tools python3-tifffile python3-numpy
          python3-pil python3-dev pybind11-dev python3-dask python3-distributed python3-pytest
          python3-h5py python3-zarr python3-vtk9 python3-scipy)

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$p")
  fi
done
[ ${#missing[@]} -eq 0 ] && exit 0

echo "Installing: ${missing[*]}"
sudo=""
[ "$(id -u)" -ne 0 ] && sudo="sudo"
export DEBIAN_FRONTEND=noninteractive
$sudo apt-get update -qq
$sudo apt-get install -y -qq --no-install-recommends "${missing[@]}"
