#!/usr/bin/env bash
# 32 simulated transmitters on one line, the simulator modelling the time
# bytes take at 9600 baud (8 data bits, 2 stop bits) and a 5 ms device
# turnaround. Prints the time of one full rh_poll cycle beside the line's
# floor (the wire time of every request and reply plus the turnarounds), the
# same 32 devices polled by one rh_poll after another, and the CPU time of
# the bridge per reading.
# Run by hand after a build: bench/bridge_cycle.sh [cycles]
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
cycles=${1:-20}
devices=32
work=$(mktemp -d)
pids=()
cleanup() {
  for p in "${pids[@]}"; do kill "$p" 2>/dev/null || true; done
  wait 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT

list=()
for a in $(seq 1 "$devices"); do list+=(--device "fwth01@$a,temperature=21.5"); done
"$root/build/tools/fenwire-sim" --char-time --turnaround 5 "${list[@]}" --link "$work/ttyFW" > /dev/null &
pids+=($!)
for _ in $(seq 50); do [ -e "$work/ttyFW" ] && break; sleep 0.1; done

# Floor of one exchange: 7-byte request, 13-byte reply, 11 bits a byte at
# 9600 baud, and the device's turnaround.
floor_ms=$(awk 'BEGIN { printf "%.1f", (7 + 13) * 11 / 9600 * 1000 + 5 }')

# The bridge, cycles back to back (an interval shorter than any cycle), no
# gap, text output (no identification).
start=$(date +%s.%N)
/usr/bin/time -f '%U %S' -o "$work/cpu" "$root/build/tools/rh_poll" --port "$work/ttyFW" \
  --address "1-$devices" --count "$cycles" --interval 0.05 --gap 0 > /dev/null 2> "$work/summary"
end=$(date +%s.%N)
read -r user sys < "$work/cpu"

# One rh_poll process per device, one reading each, one after another.
start1=$(date +%s.%N)
for a in $(seq 1 "$devices"); do
  "$root/build/tools/rh_poll" --port "$work/ttyFW" --address "$a" --count 1 > /dev/null 2>&1
done
end1=$(date +%s.%N)

awk -v s="$start" -v e="$end" -v n="$cycles" -v d="$devices" -v f="$floor_ms" -v u="$user" -v k="$sys" \
    -v s1="$start1" -v e1="$end1" 'BEGIN {
  cycle = (e - s) / n * 1000
  printf "one cycle of %d devices: %.0f ms (floor %.0f ms: %d x %.1f ms; %.2f x the floor)\n", d, cycle, d * f, d, f, cycle / (d * f)
  printf "per exchange: %.1f ms (floor %.1f ms)\n", cycle / d, f
  printf "one rh_poll after another: %.0f ms for the %d devices\n", (e1 - s1) * 1000, d
  printf "CPU of the bridge: %.2f ms per reading\n", (u + k) * 1000 / (n * d)
}'
grep -E "^requests|cycles" "$work/summary" || true
