#!/usr/bin/env bash
# Resident size and CPU time of the monitor polling the simulator once a
# second for 60 s (offscreen, so no display is needed).
# Run by hand after a build: bench/monitor_usage.sh [seconds]
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
seconds=${1:-60}
work=$(mktemp -d)
pids=()
cleanup() {
  for p in "${pids[@]}"; do kill "$p" 2>/dev/null || true; done
  wait 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT

"$root/build/tools/fenwire-sim" --link "$work/ttyFW" > /dev/null &
pids+=($!)
for _ in $(seq 50); do [ -e "$work/ttyFW" ] && break; sleep 0.1; done
printf '[ports]\nCOM1=%s\n' "$work/ttyFW" > "$work/fen_mon.ini"
cd "$work"
QT_QPA_PLATFORM=offscreen "$root/build/program/rh_monitor" > /dev/null 2>&1 &
monitor=$!
pids+=($monitor)

ticks=$(getconf CLK_TCK)
cpu() { awk '{print $14 + $15}' "/proc/$monitor/stat"; }
rss() { awk '/VmRSS/ {print $2}' "/proc/$monitor/status"; }
sleep 5 # start-up is not what we measure
c0=$(cpu); r0=$(rss)
sleep "$seconds"
c1=$(cpu); r1=$(rss)
awk -v c="$((c1 - c0))" -v t="$ticks" -v s="$seconds" -v r0="$r0" -v r1="$r1" 'BEGIN {
  printf "resident size: %.1f MiB after start-up, %.1f MiB after %d s\n", r0 / 1024, r1 / 1024, s
  printf "CPU: %.2f s per minute (%.2f %% of one core)\n", c / t * 60 / s, c / t / s * 100
}'
