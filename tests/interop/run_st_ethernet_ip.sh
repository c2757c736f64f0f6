#!/usr/bin/env bash
# Starts logix-sim on a free loopback port, waits for its ready line, runs the st-ethernet-ip
# check in the given mode against it, then stops the simulator and checks that it ended cleanly.
#   run_st_ethernet_ip.sh <logix-sim> connected|unconnected
# A missing node or npm package is a failure: scripts/setup installs both.
set -euo pipefail
sim="$1"
mode="$2"
here="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"

if ! command -v node >/dev/null 2>&1; then
  echo "FAILED: node is not installed (run scripts/setup)" >&2
  exit 1
fi
if [ ! -f "$here/node_modules/st-ethernet-ip/package.json" ]; then
  echo "FAILED: st-ethernet-ip is not installed in $here (run scripts/setup)" >&2
  exit 1
fi

coproc SIM { exec "$sim" --host 127.0.0.1 --port 0 --live-interval-ms 0 2>&1; }
sim_pid=$SIM_PID
stop_sim() { kill -TERM "$sim_pid" 2>/dev/null || true; }
trap stop_sim EXIT

line=""
if ! read -r -t 60 line <&"${SIM[0]}" || [[ "$line" != "logix-sim listening on 127.0.0.1:"* ]]; then
  echo "FAILED: logix-sim did not start: $line" >&2
  exit 1
fi
port="${line##*:}"
echo "logix-sim on port $port"

status=0
(cd "$here" && node st_ethernet_ip_check.js "$port" "$mode") || status=$?

trap - EXIT
kill -TERM "$sim_pid"
sim_status=0
wait "$sim_pid" || sim_status=$?
if [ "$sim_status" -ne 0 ]; then
  echo "FAILED: logix-sim ended with status $sim_status" >&2
  status=1
fi
exit "$status"
