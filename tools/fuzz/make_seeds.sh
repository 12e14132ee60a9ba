#!/bin/bash
# Writes the seed inputs of the fuzzing target hlc_edr_fuzz into DIR: for
# every instrument, a TLM file of good records of each of its products
# (fixed records several to a packet, segmented records from first, middle
# and last segments) with a few packets that are dropped, behind the two
# selector bytes (instrument, "-apid" kind) that the target reads first.
#
#   make_seeds.sh TLMBUILD DIR
set -euo pipefail
tlmbuild=$1
dir=$2
mkdir -p "$dir"

# seed NAME INSTRUMENT KIND: the description on standard input.
seed() {
  local tlm
  tlm=$(mktemp)
  "$tlmbuild" "$tlm"
  { printf "\\x$(printf %02x "$2")\\x$(printf %02x "$3")"; cat "$tlm"; } >"$dir/$1"
  rm -f "$tlm"
}

seed gem 0 0 <<'EOF'
pkt apid=32 sec=10 data=ramp:92:1
pkt apid=33 sec=11 data=ramp:50:2
pkt apid=31 flags=1 count=5 sec=12 sub=3 data=ramp:1000:3
pkt apid=31 flags=2 count=6 sec=12 sub=3 data=ramp:2454:4
pkt apid=41 flags=1 count=7 sec=13 data=ramp:1180:5
pkt apid=41 flags=2 count=8 sec=13 data=ramp:1180:6
pkt apid=31 flags=2 count=9 sec=14 data=ramp:10
pkt apid=32 sec=15 data=ramp:47
pkt apid=25 sec=16 data=ramp:52
EOF
seed gim 1 0 <<'EOF'
pkt apid=29 sec=20 data=ramp:132:1
pkt apid=30 sec=21 data=ramp:94:2
pkt apid=28 flags=1 count=1 sec=22 data=ramp:1668:3
pkt apid=28 flags=2 count=2 sec=22 data=ramp:1668:4
pkt apid=42 flags=1 count=16383 sec=23 data=ramp:4000:5
pkt apid=42 flags=0 count=0 sec=23 data=ramp:4000:6
pkt apid=42 flags=2 count=1 sec=23 data=ramp:328:7
pkt apid=34 flags=1 count=10 sec=24 data=ramp:5000:8
pkt apid=34 flags=0 count=11 sec=24 data=ramp:5000:9
pkt apid=34 flags=2 count=12 sec=24 data=ramp:2934:10
pkt apid=34 flags=0 count=14 sec=24 data=ramp:10
pkt apid=30 sec=25 data=ramp:93
EOF
seed con 2 0 <<'EOF'
pkt apid=25 sec=30 data=ramp:104:1
pkt apid=25 sec=31 data=ramp:52:2 fill=1 prefill=41
pkt apid=25 sec=32 data=ramp:52:3
pkt apid=25 sec=33 data=ramp:51
pkt apid=27 sec=34 data=ramp:40
EOF
seed mec 3 0 <<'EOF'
pkt apid=24 sec=40 data=ramp:288:1
pkt apid=26 sec=41 data=ramp:168:2
pkt apid=26 sec=42 data=ramp:166:3
pkt apid=24 sec=43 data=ramp:0
EOF
seed acs 4 1 <<'EOF'
pkt apid=27 sec=50 data=3FE000000000000000000000000000003FD0000000000000BFC000000000000041D26580B4800000
pkt apid=27 sec=51 data=ramp:39
pkt apid=25 sec=52 data=ramp:52
EOF
seed gim_diag 1 5 <<'EOF'
pkt apid=34 flags=1 count=1 sec=60 data=ramp:12000
pkt apid=34 flags=2 count=2 sec=60 data=ramp:934
EOF
seed gem_raw 0 4 <<'EOF'
pkt apid=41 flags=1 count=1 sec=70 data=ramp:2000
pkt apid=41 flags=2 count=2 sec=70 data=ramp:360
EOF
