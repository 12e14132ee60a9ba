#!/bin/bash
# Installs, with apt-get, whatever the build, the demonstration and the tests
# need and this Debian machine does not have yet.
set -euo pipefail
packages=(cmake make g++ gcc binutils libhdf4-dev libhdf4-0-alt hdf4-tools python3 python3-hdf4 libgtest-dev
  valgrind afl++ linux-perf parallel python3-matplotlib libnetcdf-dev python3-netcdf4 python3-xarray
  libudunits2-dev netcdf-bin jq
  openssh-server openssh-client chromium python3-pil libisal-dev)
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if ((${#missing[@]})); then
  echo "setup: installing ${missing[*]}"
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq
  apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi
