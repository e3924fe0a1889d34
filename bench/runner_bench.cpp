// The runner's cost per call against a bare posix_spawn + waitpid of the same
// program, measured alternately in the same loop so that both see the same
// machine load. Run:
//   build/bench/runner_bench --benchmark_min_time=3
// The "ratio" counter is runner time over bare time.
#include "tavrine/platform/command_runner.h"

#include <spawn.h>
#include <sys/wait.h>

#include <benchmark/benchmark.h>

#include <chrono>
#include <cstdlib>

extern char** environ;

namespace {

void bareSpawnAndWait(const char* path) {
  char* argv[] = {const_cast<char*>(path), nullptr};
  pid_t pid = -1;
  if (::posix_spawn(&pid, path, nullptr, nullptr, argv, environ) != 0) std::abort();
  int status = 0;
  if (::waitpid(pid, &status, 0) != pid) std::abort();
}

void BM_RunnerVsBareSpawn(benchmark::State& state) {
  using Clock = std::chrono::steady_clock;
  const std::vector<std::string> argv = {"/bin/true"};
  Clock::duration bare{};
  Clock::duration runner{};
  for (auto _ : state) {
    const auto t0 = Clock::now();
    bareSpawnAndWait("/bin/true");
    const auto t1 = Clock::now();
    auto output = platform::macos::execCommand(argv);
    const auto t2 = Clock::now();
    if (!output) state.SkipWithError("the runner failed");
    benchmark::DoNotOptimize(output);
    bare += t1 - t0;
    runner += t2 - t1;
  }
  const double n = static_cast<double>(state.iterations());
  state.counters["bare_us"] = std::chrono::duration<double, std::micro>(bare).count() / n;
  state.counters["runner_us"] = std::chrono::duration<double, std::micro>(runner).count() / n;
  state.counters["ratio"] = std::chrono::duration<double>(runner).count() /
                            std::chrono::duration<double>(bare).count();
}
BENCHMARK(BM_RunnerVsBareSpawn)->Unit(benchmark::kMicrosecond)->UseRealTime();

// Tolerant runner, a program looked up along PATH, output to read.
void BM_RunnerAllowFailAlongPath(benchmark::State& state) {
  const std::vector<std::string> argv = {"echo", "enabled"};
  for (auto _ : state) benchmark::DoNotOptimize(platform::macos::execCommandAllowFail(argv));
}
BENCHMARK(BM_RunnerAllowFailAlongPath)->Unit(benchmark::kMicrosecond)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
