#!/usr/bin/env bash
# CPU time and resident size of a monitor that records against one that
# does not: two monitors (offscreen) side by side for SECONDS (default 600),
# each polling a simulator of its own once a second.
# Run by hand after a build: bench/recording_usage.sh [seconds]
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
seconds=${1:-600}
if ! [[ $seconds =~ ^[1-9][0-9]*$ ]]; then
  echo "usage: bench/recording_usage.sh [seconds]" >&2
  exit 2
fi
work=$(mktemp -d)
pids=()
cleanup() {
  for p in "${pids[@]}"; do kill "$p" 2>/dev/null || true; done
  wait 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT

declare -A monitor
for kind in plain recording; do
  mkdir -p "$work/$kind"
  "$root/build/tools/fenwire-sim" --link "$work/$kind/ttyFW" > /dev/null &
  pids+=($!)
  for _ in $(seq 50); do [ -e "$work/$kind/ttyFW" ] && break; sleep 0.1; done
  printf '[ports]\nCOM1=%s\n' "$work/$kind/ttyFW" > "$work/$kind/fen_mon.ini"
  [ "$kind" = recording ] && printf '[recording]\nRecord=1\n' >> "$work/$kind/fen_mon.ini"
  (cd "$work/$kind" && exec env QT_QPA_PLATFORM=offscreen "$root/build/program/rh_monitor" > /dev/null 2>&1) &
  monitor[$kind]=$!
  pids+=($!)
done

ticks=$(getconf CLK_TCK)
cpu() { awk '{print $14 + $15}' "/proc/$1/stat"; }
rss() { awk '/VmRSS/ {print $2}' "/proc/$1/status"; }
sleep 5 # start-up is not what we measure
declare -A c0 r0
for kind in plain recording; do c0[$kind]=$(cpu "${monitor[$kind]}"); r0[$kind]=$(rss "${monitor[$kind]}"); done
sleep "$seconds"
for kind in plain recording; do
  c1=$(cpu "${monitor[$kind]}"); r1=$(rss "${monitor[$kind]}")
  awk -v k="$kind" -v c="$((c1 - ${c0[$kind]}))" -v t="$ticks" -v s="$seconds" -v r0="${r0[$kind]}" -v r1="$r1" 'BEGIN {
    printf "%-9s CPU %.2f s per minute (%.2f %% of one core), resident %.1f MiB after start-up, %.1f MiB after %d s\n",
      k ":", c / t * 60 / s, c / t / s * 100, r0 / 1024, r1 / 1024, s
  }'
done
readings=$(cat "$work"/recording/recordings/*.csv | grep -vc '^time,')
bytes=$(cat "$work"/recording/recordings/*.csv | grep -v '^time,' | wc -c)
echo "recorded: $readings readings, $bytes bytes without the headers ($((bytes / (readings > 0 ? readings : 1))) bytes a reading)"
