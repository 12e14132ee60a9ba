#!/bin/bash
# A single-node Slurm cluster on 127.0.0.1 for tests and trials, built from
# Debian's slurmctld, slurmd and munge without systemd and without touching
# any system file: its configuration, MUNGE key, state, logs and pid files
# live in DIR, and it listens on free ports. The MUNGE socket and slurmd's
# spool, which hold Unix sockets (whose paths may not exceed 107 bytes),
# live in a short folder of its own under /tmp, which DIR/run names and
# stop removes.
#
#   tools/slurm/test_cluster.sh start DIR   starts it; prints the line
#                                           "SLURM_CONF=DIR/slurm.conf"
#   tools/slurm/test_cluster.sh stop DIR    cancels its jobs, shuts it down,
#                                           and leaves nothing of it running
#
# Slurm's clients (sbatch, squeue, scontrol, scancel) reach it through the
# environment variable SLURM_CONF; the configuration names the MUNGE socket
# (AuthInfo, read by clients and daemons alike). Jobs run as the user who
# started the cluster, on the one node, whose CPUs are the machine's.
# Several clusters may run at once, each from a folder of its own.
# start ends with exit status 3 when the cluster cannot be started (what
# is missing, or the log's last lines, on standard error) and leaves
# nothing running then.
set -uo pipefail

usage() {
  echo "usage: tools/slurm/test_cluster.sh start|stop DIR" >&2
  exit 2
}
(($# == 2)) || usage
action=$1
dir=$2
[[ $action == start || $action == stop ]] || usage
if [[ $action == stop && ! -d $dir ]]; then
  exit 0  # nothing was started there
fi
mkdir -p "$dir" || exit 3
dir=$(cd "$dir" && pwd) || exit 3
conf=$dir/slurm.conf

say() { echo "test_cluster: $*" >&2; }

# The daemons' programs: Debian installs them in /usr/sbin.
find_tool() {
  local p
  p=$(PATH=$PATH:/usr/sbin:/sbin command -v "$1") || return 1
  echo "$p"
}

pid_of() {  # pid-file: the pid it names when that process still runs
  local pid
  [[ -s $1 ]] || return 1
  read -r pid <"$1" || true
  [[ $pid =~ ^[0-9]+$ ]] && kill -0 "$pid" 2>/dev/null && echo "$pid"
}

stop_pid() {  # pid-file: ends that process, TERM then KILL, and waits for it
  local pid i
  pid=$(pid_of "$1") || return 0
  kill -TERM "$pid" 2>/dev/null
  for ((i = 0; i < 100; i++)); do
    kill -0 "$pid" 2>/dev/null || return 0
    sleep 0.05
  done
  kill -KILL "$pid" 2>/dev/null
  for ((i = 0; i < 100; i++)); do
    kill -0 "$pid" 2>/dev/null || return 0
    sleep 0.05
  done
}

# Processes that run a job of this cluster, left by a daemon that ended
# before its jobs: slurmstepd and what it started, told by their
# environment (SLURM_CONF=<this configuration>, and for a job's own
# processes a SLURM_JOB_ID), found through /proc.
job_processes() {
  local p env comm
  for p in /proc/[0-9]*; do
    env=$(tr '\0' '\n' 2>/dev/null <"$p/environ") || continue
    grep -qxF "SLURM_CONF=$conf" <<<"$env" || continue
    read -r comm 2>/dev/null <"$p/comm" || continue
    if [[ $comm == slurmstepd ]] || grep -q '^SLURM_JOB_ID=' <<<"$env"; then
      echo "${p#/proc/}"
    fi
  done
}

stop() {
  local scancel scontrol i
  if [[ -f $conf ]] && pid_of "$dir/slurmctld.pid" >/dev/null; then
    # Jobs first: a shutdown alone leaves running jobs behind.
    scancel=$(find_tool scancel) && SLURM_CONF=$conf timeout 10 "$scancel" --user "$(id -un)" 2>/dev/null
    scontrol=$(find_tool scontrol)
    for ((i = 0; i < 100; i++)); do
      [[ -z $(SLURM_CONF=$conf timeout 5 "${scontrol}" -o show jobs 2>/dev/null |
        grep -E 'JobState=(PENDING|RUNNING|COMPLETING|CONFIGURING|SUSPENDED)') ]] && break
      sleep 0.1
    done
    [[ -n $scontrol ]] && SLURM_CONF=$conf timeout 10 "$scontrol" shutdown >/dev/null 2>&1
  fi
  stop_pid "$dir/slurmd.pid"
  stop_pid "$dir/slurmctld.pid"
  local left
  left=$(job_processes)
  [[ -n $left ]] && kill -KILL $left 2>/dev/null
  stop_pid "$dir/munged.pid"
  local run
  if [[ -f $dir/run ]] && read -r run <"$dir/run" && [[ $run == /tmp/hlc_slurm.* ]]; then
    rm -rf "$run"
  fi
  rm -f "$dir/run"
}

free_port() {
  python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])'
}

write_conf() {  # ctld-port slurmd-port node-name run-folder
  local user cpus run=$4
  user=$(id -un)
  cpus=$(nproc)
  cat >"$conf" <<EOF
# A single-node test cluster on 127.0.0.1; every path is in $dir.
ClusterName=hlc$(basename "$dir" | tr -cd 'a-z0-9' | tail -c 20)$$
SlurmctldHost=$(hostname -s)(127.0.0.1)
SlurmctldPort=$1
SlurmdPort=$2
SlurmUser=$user
SlurmdUser=$user
AuthType=auth/munge
CredType=cred/munge
AuthInfo=socket=$run/munge.socket
StateSaveLocation=$dir/state
SlurmdSpoolDir=$run/spool
SlurmctldPidFile=$dir/slurmctld.pid
SlurmdPidFile=$dir/slurmd.pid
SlurmctldLogFile=$dir/log/slurmctld.log
SlurmdLogFile=$dir/log/slurmd.log
SlurmctldDebug=info
SlurmdDebug=info
ProctrackType=proctrack/linuxproc
TaskPlugin=task/none
JobAcctGatherType=jobacct_gather/none
AccountingStorageType=accounting_storage/none
JobCompType=jobcomp/none
MpiDefault=none
SwitchType=switch/none
SchedulerType=sched/backfill
SelectType=select/cons_tres
SelectTypeParameters=CR_CPU
SchedulerParameters=batch_sched_delay=0,sched_min_interval=0
MinJobAge=60
KillWait=5
ReturnToService=2
SlurmctldTimeout=10
SlurmdTimeout=30
NodeName=$3 NodeAddr=127.0.0.1 NodeHostname=$(hostname -s) CPUs=$cpus State=UNKNOWN
PartitionName=test Nodes=$3 Default=YES MaxTime=INFINITE State=UP
EOF
}

start() {
  local munged slurmctld slurmd scontrol tool run
  for tool in munged slurmctld slurmd scontrol sinfo; do
    if ! find_tool "$tool" >/dev/null; then
      say "cannot start: $tool is not installed (tools/setup.sh --tests installs Slurm and MUNGE)"
      exit 3
    fi
  done
  munged=$(find_tool munged)
  slurmctld=$(find_tool slurmctld)
  slurmd=$(find_tool slurmd)
  scontrol=$(find_tool scontrol)
  if pid_of "$dir/slurmctld.pid" >/dev/null; then
    say "a cluster already runs from $dir"
    exit 3
  fi
  stop  # what an earlier start left
  # A new cluster each time: no state or log of an earlier one.
  rm -rf "$dir/state" "$dir/log"
  mkdir -p "$dir/munge" "$dir/state" "$dir/log" || exit 3
  chmod 700 "$dir/munge"
  run=$(mktemp -d /tmp/hlc_slurm.XXXXXX) || exit 3
  echo "$run" >"$dir/run"
  mkdir "$run/spool" || exit 3
  # The MUNGE key: random bytes, readable by the user alone.
  if [[ ! -s $dir/munge/munge.key ]]; then
    (umask 077 && head -c 1024 /dev/urandom >"$dir/munge/munge.key") || exit 3
  fi
  if ! "$munged" --force --socket="$run/munge.socket" --key-file="$dir/munge/munge.key" \
    --pid-file="$dir/munged.pid" --seed-file="$dir/munge/munged.seed" \
    --log-file="$dir/log/munged.log" 2>"$dir/log/munged.start"; then
    say "cannot start munged:"
    tail -n 5 "$dir/log/munged.start" "$dir/log/munged.log" >&2 2>/dev/null
    stop
    exit 3
  fi
  local node attempt i up=false
  node=n$(basename "$dir" | tr -cd 'a-z0-9' | tail -c 12)$$
  for attempt in 1 2 3; do
    # Free now; another may take them before the daemons do, hence the tries.
    write_conf "$(free_port)" "$(free_port)" "$node" "$run"
    SLURM_CONF=$conf "$slurmctld" -f "$conf" -c 2>>"$dir/log/slurmctld.start" &&
      SLURM_CONF=$conf "$slurmd" -f "$conf" -N "$node" 2>>"$dir/log/slurmd.start"
    # Up once the node is idle; not at all when a daemon has gone (each
    # writes its pid file as it starts).
    for ((i = 0; i < 200; i++)); do
      if ((i >= 20)) && ! { pid_of "$dir/slurmctld.pid" && pid_of "$dir/slurmd.pid"; } >/dev/null; then
        break
      fi
      if SLURM_CONF=$conf timeout 5 "$scontrol" -o show node "$node" 2>/dev/null |
        grep -qE 'State=IDLE'; then
        up=true
        break
      fi
      sleep 0.05
    done
    $up && break
    stop_pid "$dir/slurmd.pid"
    stop_pid "$dir/slurmctld.pid"
  done
  if ! $up; then
    say "cannot start Slurm; the logs' last lines:"
    tail -n 5 "$dir"/log/slurm*.start "$dir"/log/slurmctld.log "$dir"/log/slurmd.log >&2 2>/dev/null
    stop
    exit 3
  fi
  echo "SLURM_CONF=$conf"
}

case $action in
  start) start ;;
  stop) stop ;;
esac
