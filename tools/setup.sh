#!/bin/bash
# Installs, with apt-get, what this Debian machine does not have yet:
#
#   tools/setup.sh           what building, installing and running the programs need
#   tools/setup.sh --tests   that, and what the test suite, fuzzing and the
#                            benchmarks need
#
# No system service is left enabled or running by the second set: the
# daemons that its packages would start (the SSH server) are kept from
# starting while they are installed and are disabled afterwards (the SSH
# server, MUNGE and Slurm's daemons); the tests start daemons of their own,
# on loopback, and stop them.
set -euo pipefail

# Building (the record library, the programs, their man pages), running
# the programs and the tools (the batch's GNU parallel, the quick-look's
# matplotlib and Pillow), and looking at an EDR (hdp).
run=(cmake make g++ gcc binutils libhdf4-dev libhdf4-0-alt hdf4-tools libnetcdf-dev libisal-dev
  help2man python3 python3-numpy python3-matplotlib python3-pil python3-xarray python3-netcdf4
  parallel)
# The tests (GoogleTest, pyhdf, udunits2, ncdump, jq, CDO for the flat
# netCDF export, an SSH server and client on loopback, a single-node Slurm
# cluster with MUNGE on loopback, headless Chromium), fuzzing (AFL++) and
# the benchmarks (valgrind, perf).
tests=(libgtest-dev python3-hdf4 libudunits2-dev netcdf-bin jq cdo openssh-server openssh-client
  slurmctld slurmd slurm-client munge chromium valgrind afl++ linux-perf)
# The services that packages of the test set bring.
services=(ssh.service ssh.socket munge.service slurmctld.service slurmd.service)

packages=("${run[@]}")
with_tests=false
case ${1:-} in
  --tests) with_tests=true; packages+=("${tests[@]}") ;;
  "") ;;
  *) echo "usage: tools/setup.sh [--tests]" >&2; exit 2 ;;
esac

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if ((${#missing[@]})); then
  echo "setup: installing ${missing[*]}"
  export DEBIAN_FRONTEND=noninteractive
  # While the packages are installed no service starts (invoke-rc.d asks
  # policy-rc.d; 101: not allowed).
  policy=/usr/sbin/policy-rc.d
  own_policy=false
  if [[ ! -e $policy ]]; then
    printf '#!/bin/sh\nexit 101\n' >"$policy"
    chmod 755 "$policy"
    own_policy=true
  fi
  trap '$own_policy && rm -f "$policy"' EXIT
  apt-get update -qq
  apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi
if $with_tests; then
  for s in "${services[@]}"; do
    [[ -e /lib/systemd/system/$s ]] || continue
    deb-systemd-helper disable "$s" >/dev/null 2>&1 || true
    if [[ -d /run/systemd/system ]]; then
      systemctl disable --now "$s" >/dev/null 2>&1 || true
    fi
    name=${s%.*}
    [[ -e /etc/init.d/$name ]] && update-rc.d "$name" disable >/dev/null 2>&1 || true
  done
fi
