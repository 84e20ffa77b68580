#!/usr/bin/env bash
# Soak: the monitor (offscreen) polls the simulator once a second for MINUTES
# while the line spoils a random few replies (bench/soak_sim.cpp: about 1 %
# bad CRCs, 0.5 % silences, 0.2 % partial replies, 0.1 % garbage, 0.1 %
# bogus length fields). Prints the monitor's resident size, open file
# descriptors and threads at the start and the end, the poll period as the
# line saw it (median, 1st and 99th percentile, longest gap) and whether the
# monitor survived.
# Run by hand after a build: bench/soak.sh MINUTES   (FENWIRE_BUILD_DIR, default build)
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
build=$root/${FENWIRE_BUILD_DIR:-build}
minutes=${1:-}
if ! [[ $minutes =~ ^[1-9][0-9]*$ ]]; then
  echo "usage: bench/soak.sh MINUTES" >&2
  exit 2
fi
# Start-up (window, first file writes) is not what we measure.
settle_s=5
# How often the monitor is looked at, to catch its end when it comes.
check_s=5

work=$(mktemp -d)
sim=
monitor=
cleanup() {
  for p in $monitor $sim; do kill "$p" 2>/dev/null || true; done
  wait 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT

"$build/bench/soak_sim" "$work/ttyFW" > "$work/line.txt" &
sim=$!
for _ in $(seq 50); do [ -e "$work/ttyFW" ] && break; sleep 0.1; done
printf '[ports]\nCOM1=%s\n' "$work/ttyFW" > "$work/fen_mon.ini"
(cd "$work" && exec env QT_QPA_PLATFORM=offscreen "$build/program/rh_monitor" > monitor.log 2>&1) &
monitor=$!

alive() { kill -0 "$monitor" 2>/dev/null && ! grep -q '^State:.*Z' "/proc/$monitor/status" 2>/dev/null; }
sample() {
  local rss fds threads
  rss=$(awk '/VmRSS/ {printf "%.1f MiB", $2 / 1024}' "/proc/$monitor/status")
  fds=$(find "/proc/$monitor/fd" -mindepth 1 -maxdepth 1 2>/dev/null | wc -l)
  threads=$(awk '/^Threads/ {print $2}' "/proc/$monitor/status")
  printf '%-6s resident %s, %d open file descriptors, %d threads\n' "$1:" "$rss" "$fds" "$threads"
}

sleep "$settle_s"
alive || { echo "the monitor did not start (see its output below)"; cat "$work/monitor.log"; exit 1; }
echo "soak: $minutes min, monitor pid $monitor, line $work/ttyFW"
sample start
end=$((SECONDS + minutes * 60))
while [ $SECONDS -lt $end ] && alive; do sleep "$check_s"; done
survived=no
if alive; then
  survived=yes
  sample end
fi
kill "$monitor" 2>/dev/null || true
wait "$monitor" 2>/dev/null || true
monitor=
kill -TERM "$sim"
wait "$sim" || true
sim=
cat "$work/line.txt"
echo "survived: $survived"
[ "$survived" = yes ]
