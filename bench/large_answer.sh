#!/usr/bin/env bash
# The agent's resident memory after a cycle whose every report answer is an
# endless chunked body (1 GiB offered), against the first cycle's figure of
# bench/agent_idle.sh. Uses port 8000 and the stand-in tools. Run from the
# checkout after a build:
#   bench/large_answer.sh [build-dir] [agent-binary]
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build}
agent_binary=${2:-$build/tavrine}
work=$(mktemp -d)
trap 'kill $agent $server 2>/dev/null || true; wait 2>/dev/null || true; rm -rf "$work"' EXIT

mkdir -p "$work/home" "$work/tools"
printf '{\n  "IOPlatformUUID" = "LARGE-ANSWER-0001"\n}\n' >"$work/tools/ioreg-platform-expert.out"
printf 'FileVault is On.\n' >"$work/tools/fdesetup-status.out"
printf 'large.local\n' >"$work/tools/hostname.out"

"$build/bench/large_answer_bench" 8000 2>"$work/server.log" &
server=$!
sleep 0.5
HOME="$work/home" PATH="$PWD/tests/fixtures:/usr/bin:/bin" TAVRINE_STANDIN_DIR="$work/tools" \
  "$agent_binary" --dev </dev/null 2>"$work/agent.log" &
agent=$!
for _ in $(seq 300); do
  grep -q "consecutive failures: 1" "$work/agent.log" && break
  sleep 0.1
done
sleep 1

grep -c "ResponseTooLarge" "$work/agent.log" | sed 's/^/answers cut at the bound: /'
sed 's/^/  /' "$work/server.log"
echo "resident memory after the cycle: $(awk '/^VmRSS:/ {print $2}' /proc/$agent/status) KiB"
awk '/^(Rss|Pss|Anonymous|Private_Dirty):/ {printf "  %s %s kB\n", $1, $2}' /proc/$agent/smaps_rollup
