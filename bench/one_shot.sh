#!/usr/bin/env bash
# The one-shot commands against an empty program that loads the same shared
# libraries (build/bench/empty_program): `tavrine help` and `tavrine status`
# (in a fresh HOME), RUNS interleaved runs each. Prints, per command, the
# median wall time and the mean CPU time (user + system) per run, each with
# its ratio to the empty program. (Peak resident size is not told here: a
# child started by vfork reports its parent's until it executes.)
#   bench/one_shot.sh [build-dir] [runs]
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build}
runs=${2:-200}
home=$(mktemp -d)
trap 'rm -rf "$home"' EXIT
HOME="$home" python3 - "$build" "$runs" <<'PY'
import os, statistics, sys, time
build, runs = sys.argv[1], int(sys.argv[2])
commands = {
    "empty program": [f"{build}/bench/empty_program"],
    "tavrine help": [f"{build}/tavrine", "help"],
    "tavrine status": [f"{build}/tavrine", "status"],
}
samples = {name: ([], []) for name in commands}
null = os.open(os.devnull, os.O_RDWR)
for _ in range(runs):
    for name, argv in commands.items():
        start = time.perf_counter()
        pid = os.posix_spawn(argv[0], argv, os.environ,
                             file_actions=[(os.POSIX_SPAWN_DUP2, null, 1),
                                           (os.POSIX_SPAWN_DUP2, null, 2)])
        _, status, usage = os.wait4(pid, 0)
        wall = time.perf_counter() - start
        if status != 0:
            sys.exit(f"{name} failed: status {status}")
        samples[name][0].append(wall * 1e6)
        samples[name][1].append((usage.ru_utime + usage.ru_stime) * 1e6)
floor_wall = statistics.median(samples["empty program"][0])
floor_cpu = statistics.mean(samples["empty program"][1])
for name, (wall, cpu) in samples.items():
    w, c = statistics.median(wall), statistics.mean(cpu)
    print(f"{name:16} wall {w:8.0f} us ({w / floor_wall:.3f}x)  cpu {c:8.0f} us ({c / floor_cpu:.3f}x)")
PY
