#!/usr/bin/env bash
# Installs the Debian packages the build and the tests need, only when one is
# missing, so that a warm run costs nothing.
set -euo pipefail
pkgs=(g++ meson ninja-build pkg-config python3-dev python3-venv python3-numpy python3-pytest
      python3-hypothesis python3-mesonpy libgtest-dev libbenchmark-dev python3-matplotlib
      python3-mypy pybind11-dev python3-pybind11 python3-xarray python3-pandas python3-netcdf4
      python3-dask python3-distributed python3-tqdm netcdf-bin python3-scipy python3-emcee
      python3-pint chromium)
missing=()
for p in "${pkgs[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0
echo "installing: ${missing[*]}"
sudo=""
[ "$(id -u)" -ne 0 ] && sudo="sudo"
export DEBIAN_FRONTEND=noninteractive
$sudo apt-get update -qq
$sudo apt-get install -y -qq "${missing[@]}"
