#!/usr/bin/env bash
# The agent's peak resident size (VmHWM) after one update check whose
# manifest is BYTES of "[" (the development update site serves it). Uses
# ports 8000 and 3000 and the stand-in tools: run it inside `unshare -n`
# when anything else may use them. From the checkout after a build:
#   bench/manifest_memory.sh BYTES [build-dir] [agent-binary]
set -euo pipefail
cd "$(dirname "$0")/.."
bytes=$1
build=${2:-build}
agent_binary=${3:-$build/tavrine}
work=$(mktemp -d)
trap 'exec 3>&- 2>/dev/null; kill $agent $server 2>/dev/null || true; wait 2>/dev/null || true; rm -rf "$work"' EXIT

mkdir -p "$work/home" "$work/tools" "$work/updates"
printf '{\n  "IOPlatformUUID" = "MANIFEST-MEMORY-0001"\n}\n' >"$work/tools/ioreg-platform-expert.out"
printf 'manifest.local\n' >"$work/tools/hostname.out"
head -c "$bytes" /dev/zero | tr '\0' '[' >"$work/updates/manifest.json"

"$build/tavrine-devserver" --updates "$work/updates" >"$work/server.log" 2>&1 &
server=$!
sleep 0.5
mkfifo "$work/input"
HOME="$work/home" PATH="$PWD/tests/fixtures:/usr/bin:/bin" TAVRINE_STANDIN_DIR="$work/tools" \
  TAVRINE_ENV=dev "$agent_binary" <"$work/input" 2>"$work/agent.log" &
agent=$!
exec 3>"$work/input"
for _ in $(seq 600); do
  grep -q "Agent running" "$work/agent.log" && break
  sleep 0.1
done
echo "click Check for Updates..." >&3
for _ in $(seq 1200); do
  grep -q "alert: Update Check Failed" "$work/agent.log" && break
  sleep 0.1
done
grep -E "^error: (Failed to parse|Update check)" "$work/agent.log"
grep VmHWM "/proc/$agent/status"
echo "answer OK" >&3
echo "click Quit Tavrine" >&3
