#!/usr/bin/env bash
# The check cycle side by side with the bare work of a cycle
# (build/bench/cycle_bench, see its head), against the development backend on
# a free loopback port and the stand-in tools:
#   - CPU time per cycle, children excluded: median of PAIRS interleaved runs
#     of each side, CYCLES cycles a run, and the median of the pairs' ratios;
#   - instructions per cycle under callgrind (cycles 2 to CYCLES only);
#   - system calls per cycle (strace -c, the cycles on the main thread, the
#     children not followed), and context switches of the cycle thread;
#   - resident size and private dirty memory after cycles 1 and 10.
# Run from the checkout after building cycle_bench and tavrine-devserver:
#   bench/cycle.sh [build-dir] [pairs] [cycles]
# valgrind and strace are optional: without them their lines are skipped.
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build}
pairs=${2:-11}
cycles=${3:-11}
bench="$build/bench/cycle_bench"
work=$(mktemp -d)
server=
trap '[ -n "$server" ] && kill "$server" 2>/dev/null; wait 2>/dev/null || true; rm -rf "$work"' EXIT

mkdir -p "$work/tools"
printf '{\n  "IOPlatformUUID" = "CYCLE-DEVICE-0001"\n}\n' >"$work/tools/ioreg-platform-expert.out"
printf '14.5\n' >"$work/tools/sw_vers-product-version.out"
printf 'FileVault is On.\n' >"$work/tools/fdesetup-status.out"
printf 'Software Update Tool\n\nNo new software available.\n' >"$work/tools/softwareupdate-list.out"
printf 'cycle.local\n' >"$work/tools/hostname.out"
printf 'PID\tStatus\tLabel\n-\t0\tcom.openssh.sshd\n' >"$work/tools/launchctl-list.out"
export PATH="$PWD/tests/fixtures:/usr/bin:/bin" TAVRINE_STANDIN_DIR="$work/tools"

port=$(python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
"$build/tavrine-devserver" --port "$port" 2>"$work/server.log" &
server=$!
for _ in $(seq 50); do
  python3 -c "import socket; socket.create_connection(('127.0.0.1', $port))" 2>/dev/null && break
  sleep 0.1
done
base="http://127.0.0.1:$port"

# The command lines of a cycle after the first: the floor runs the same.
"$bench" agent 2 "$base" "$work/list" 2>/dev/null >/dev/null
echo "commands per cycle: $(grep -vc "^#" "$work/list")"

field() { sed -n "s/.* $1=\([^ ]*\).*/\1/p"; }
median() { sort -g | awk '{ v[NR] = $1 } END { print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }'; }

: >"$work/agent.runs"
: >"$work/floor.runs"
: >"$work/ratios"
for _ in $(seq "$pairs"); do
  : >"$work/tools/calls.log"
  a=$("$bench" agent "$cycles" "$base" 2>/dev/null)
  : >"$work/tools/calls.log"
  f=$("$bench" floor "$cycles" "$base" "$work/list" 2>/dev/null)
  echo "$a" >>"$work/agent.runs"
  echo "$f" >>"$work/floor.runs"
  awk -v a="$(echo "$a" | field cpu_us_per_cycle)" -v f="$(echo "$f" | field cpu_us_per_cycle)" \
    'BEGIN { printf "%.4f\n", a / f }' >>"$work/ratios"
done

report() {  # name key
  local a f
  a=$(field "$2" <"$work/agent.runs" | median)
  f=$(field "$2" <"$work/floor.runs" | median)
  awk -v n="$1" -v a="$a" -v f="$f" 'BEGIN { printf "%-34s agent %10.1f  floor %10.1f  ratio %.3f\n", n, a, f, a / f }'
}
echo "medians of $pairs runs of $cycles cycles each:"
report "CPU us per cycle" cpu_us_per_cycle
echo "  median of the pairs' CPU ratios: $(median <"$work/ratios")"
report "context switches per cycle" csw_per_cycle
report "RSS KiB after cycle 1" rss1_kib
report "private dirty KiB after cycle 1" private_dirty1_kib
report "RSS KiB after cycle 10" rss10_kib
report "private dirty KiB after cycle 10" private_dirty10_kib

if command -v valgrind >/dev/null; then
  instructions() {  # mode
    # The floor reads the list; the agent, given one, would write it.
    local list=()
    [ "$1" = floor ] && list=("$work/list")
    : >"$work/tools/calls.log"
    valgrind --tool=callgrind --callgrind-out-file="$work/callgrind.$1" --collect-atstart=no \
      --toggle-collect='*measuredCycles*' "$bench" "$1" "$cycles" "$base" "${list[@]}" \
      >/dev/null 2>&1
    awk -v c="$cycles" '/^totals:/ { printf "%.0f\n", $2 / (c - 1) }' "$work/callgrind.$1"
  }
  ia=$(instructions agent)
  if_=$(instructions floor)
  awk -v a="$ia" -v f="$if_" 'BEGIN { printf "%-34s agent %10d  floor %10d  ratio %.3f\n", "instructions per cycle", a, f, a / f }'
fi

if command -v strace >/dev/null; then
  # strace counts the whole run, start-up included: the difference of a run
  # of 2 cycles and one of $cycles, per cycle.
  per_cycle() {  # mode
    local short long
    short=$(cycles=2 syscalls_run "$1")
    long=$(syscalls_run "$1")
    awk -v s="$short" -v l="$long" -v c="$cycles" 'BEGIN { printf "%.0f\n", (l - s) / (c - 2) }'
  }
  syscalls_run() {  # mode, with $cycles
    local list=()
    [ "$1" = floor ] && list=("$work/list")
    : >"$work/tools/calls.log"
    TAVRINE_BENCH_MAIN_THREAD=1 strace -c -o "$work/strace.$1" \
      "$bench" "$1" "$cycles" "$base" "${list[@]}" >/dev/null 2>&1
    awk '$NF == "total" { print $4 }' "$work/strace.$1"
  }
  sa=$(per_cycle agent)
  sf=$(per_cycle floor)
  awk -v a="$sa" -v f="$sf" 'BEGIN { printf "%-34s agent %10d  floor %10d  ratio %.3f\n", "system calls per cycle", a, f, a / f }'
fi
