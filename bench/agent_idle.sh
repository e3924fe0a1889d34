#!/usr/bin/env bash
# The running headless agent between cycles: resident memory after its first
# cycle, and the CPU time and wake-ups (context switches of all its threads)
# over a quiet stretch before the next cycle. Uses the development backend on
# port 8000 and the stand-in tools. Run from the checkout after a build:
#   bench/agent_idle.sh [build-dir] [quiet-seconds]
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build}
quiet=${2:-20}
work=$(mktemp -d)
trap 'kill $agent $server 2>/dev/null || true; wait 2>/dev/null || true; rm -rf "$work"' EXIT

mkdir -p "$work/home" "$work/tools"
printf '{\n  "IOPlatformUUID" = "IDLE-DEVICE-0001"\n}\n' >"$work/tools/ioreg-platform-expert.out"
printf 'FileVault is On.\n' >"$work/tools/fdesetup-status.out"
printf 'idle.local\n' >"$work/tools/hostname.out"

"$build/tavrine-devserver" --port 8000 2>"$work/server.log" &
server=$!
sleep 0.5
HOME="$work/home" PATH="$PWD/tests/fixtures:/usr/bin:/bin" TAVRINE_STANDIN_DIR="$work/tools" \
  "$build/tavrine" --dev </dev/null 2>"$work/agent.log" &
agent=$!
for _ in $(seq 100); do
  grep -q "submitted successfully" "$work/agent.log" && break
  sleep 0.1
done
sleep 1

rss=$(awk '/^VmRSS:/ {print $2}' /proc/$agent/status)
switches() {
  cat /proc/$agent/task/*/status | awk '/ctxt_switches/ {sum += $2} END {print sum}'
}
ticks() { awk '{print $14 + $15}' /proc/$agent/stat; }
threads=$(ls /proc/$agent/task | wc -l)
s0=$(switches); t0=$(ticks)
sleep "$quiet"
s1=$(switches); t1=$(ticks)
echo "resident memory after the first cycle: ${rss} KiB"
echo "threads: $threads"
echo "over ${quiet} s between cycles: CPU ticks $((t1 - t0)) (of $(getconf CLK_TCK)/s), context switches $((s1 - s0))"
awk '/^(Rss|Pss|Anonymous|Pss_Anon|Pss_File|Shared_Clean|Private_Clean|Private_Dirty):/ {printf "  %s %s kB\n", $1, $2}' /proc/$agent/smaps_rollup
