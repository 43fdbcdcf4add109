#!/usr/bin/env bash
# A private pcscd with vpcd and the card emulator for the e2e tests, started
# and stopped as a ctest fixture (one daemon serves every e2e test of a run).
#   pcscd_harness.sh start DIR EMULATOR   writes DIR/state: either "skip <why>"
#                                         or the readers, port, serial, control
#   pcscd_harness.sh stop DIR             stops both by PID
# pcscd's socket path is compiled in (/run/pcscd/pcscd.comm): one daemon per
# machine, run as root. When it cannot run here the state says why and the
# tests report SKIPPED (this one exits 77, ctest's skip); with CI=true that
# is a failure instead.
set -uo pipefail
action=${1:?start|stop}
dir=$(realpath -m "${2:?state folder}")
rundir=/run/pcscd
driver=/usr/lib/pcsc/drivers/serial/libifdvpcd.so

stop_pid() {  # pid file
  local f=$1 pid
  [ -f "$f" ] || return 0
  pid=$(cat "$f")
  rm -f "$f"
  [ -n "$pid" ] && kill -0 "$pid" 2>/dev/null || return 0
  kill -TERM "$pid" 2>/dev/null
  # Waits for the process to end, not for a fixed time.
  for _ in $(seq 800); do
    kill -0 "$pid" 2>/dev/null || return 0
    sleep 0.01
  done
  kill -KILL "$pid" 2>/dev/null
}

stop_all() {
  stop_pid "$dir/emulator.pid"
  stop_pid "$dir/pcscd.pid"
}

if [ "$action" = stop ]; then
  stop_all
  exit 0
fi

emulator=${3:?card emulator program}
stop_all  # a previous run of ours that was not stopped
rm -rf "$dir"
mkdir -p "$dir"

skip() {
  if [ "${CI:-}" = true ]; then
    echo "FAILED: the e2e harness cannot run: $1" >&2
    echo "fail $1" >"$dir/state"
    exit 1
  fi
  echo "skip $1" >"$dir/state"
  echo "SKIPPED: $1"
  exit 77
}

command -v pcscd >/dev/null || skip "pcscd is not installed (scripts/install-deps.sh)"
[ -e "$driver" ] || skip "vpcd is not installed (package vsmartcard-vpcd)"
[ "$(id -u)" -eq 0 ] || skip "pcscd's socket $rundir/pcscd.comm needs root"
if [ -f "$rundir/pcscd.pid" ]; then
  old=$(cat "$rundir/pcscd.pid" 2>/dev/null)
  if [ -n "$old" ] && kill -0 "$old" 2>/dev/null; then
    skip "a pcscd not started by the tests runs (pid $old)"
  fi
  # A stale daemon's files: its PID is dead.
  rm -f "$rundir/pcscd.pid" "$rundir/pcscd.comm"
fi
if pgrep -x pcscd >/dev/null; then
  skip "a pcscd not started by the tests runs (pid $(pgrep -x pcscd | tr '\n' ' '))"
fi
if [ -S "$rundir/pcscd.comm" ]; then
  rm -f "$rundir/pcscd.comm"
fi

trap 'stop_all' ERR
port=$("$emulator" --free-port-pair) || skip "no free port pair on this machine"
serial=$(od -An -N4 -tx1 /dev/urandom | tr -d ' \n')
mkdir -p "$dir/reader.conf.d" "$rundir"
# vpcd's hostname /dev/null makes it listen (never its reverse mode, which
# crashed pcscd); it listens on every address, hence the random port and
# serial and a daemon that lives only for the run.
cat >"$dir/reader.conf.d/vpcd" <<CONF
FRIENDLYNAME "QRL ifdh T"
DEVICENAME /dev/null:$port
LIBPATH $driver
CHANNELID $port
CONF

setsid pcscd -f -c "$dir/reader.conf.d" </dev/null >"$dir/pcscd.log" 2>&1 &
echo $! >"$dir/pcscd.pid"
for _ in $(seq 500); do
  [ -S "$rundir/pcscd.comm" ] && break
  kill -0 "$(cat "$dir/pcscd.pid")" 2>/dev/null || break
  sleep 0.01
done
if [ ! -S "$rundir/pcscd.comm" ]; then
  cat "$dir/pcscd.log" >&2
  stop_all
  echo "FAILED: pcscd made no socket within 5 s" >&2
  exit 1
fi

setsid "$emulator" --port "$port" --serial "$serial" --control "$dir/control.sock" \
  --fixture "$(dirname "$0")/e2e_card.txt" \
  </dev/null >"$dir/emulator.log" 2>&1 &
echo $! >"$dir/emulator.pid"
if ! "$emulator" --wait-card "QRL ifdh T 00 00" 10000; then
  cat "$dir/pcscd.log" "$dir/emulator.log" >&2
  stop_all
  echo "FAILED: no card in the emulator's reader within 10 s" >&2
  exit 1
fi
{
  echo "reader QRL ifdh T 00 00"
  echo "empty QRL ifdh T 00 01"
  echo "serial $serial"
  echo "port $port"
  echo "control $dir/control.sock"
} >"$dir/state"
echo "pcscd $(cat "$dir/pcscd.pid") and the emulator $(cat "$dir/emulator.pid") on port $port, serial $serial"
