// Many check cycles in one process, through the stand-in tools, against the
// development backend started in-process: open descriptors and resident
// memory after a warm-up and at the end, which should stay flat. Run:
//   build/bench/cycles_bench 1000 2>/dev/null
#include "tavrine/agent/check_cycle.h"
#include "tavrine/agent/registration.h"
#include "devserver.h"
#include "tavrine/collect/collector.h"

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

namespace {

long openDescriptors() {
  long count = 0;
  for (const auto& entry : std::filesystem::directory_iterator("/proc/self/fd")) {
    (void)entry;
    ++count;
  }
  return count;
}

long residentKiB() {
  std::ifstream status("/proc/self/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.starts_with("VmRSS:")) return std::strtol(line.c_str() + 6, nullptr, 10);
  }
  return -1;
}

void answer(const std::filesystem::path& dir, const std::string& key, const std::string& text) {
  std::ofstream(dir / (key + ".out")) << text;
}

}  // namespace

int main(int argc, char** argv) {
  const long cycles = argc > 1 ? std::strtol(argv[1], nullptr, 10) : 1000;
  char pattern[] = "/tmp/tavrine-cycles-XXXXXX";
  if (::mkdtemp(pattern) == nullptr) return 1;
  const std::filesystem::path tools = pattern;
  answer(tools, "ioreg-platform-expert", "{\n  \"IOPlatformUUID\" = \"SOAK-DEVICE-0001\"\n}\n");
  answer(tools, "sw_vers-product-version", "14.5\n");
  answer(tools, "fdesetup-status", "FileVault is On.\n");
  answer(tools, "hostname", "soak.local\n");
  answer(tools, "launchctl-list", "PID\tStatus\tLabel\n-\t0\tcom.openssh.sshd\n");
  ::setenv("PATH", (std::string(TAVRINE_FIXTURES_DIR) + ":/usr/bin:/bin").c_str(), 1);
  ::setenv("TAVRINE_STANDIN_DIR", pattern, 1);

  devserver::Options options;
  options.port = 0;
  options.log_requests = false;
  devserver::DevServer server(options);
  if (!server.start()) return 1;
  const std::string register_endpoint = server.baseUrl() + "/api/v1/agent/register/";
  const std::string tavrine_endpoint = server.baseUrl() + "/api/v1/agent/tavrine/";

  AgentState state;
  TrayState tray;
  state.config.register_endpoint = register_endpoint;
  state.config.tavrine_endpoint = tavrine_endpoint;
  const auto device = tavrine::collect();
  if (!device || !agent::registerDevice(state, *device)) return 1;
  state.tray.store(&tray);

  agent::CheckOptions check;
  check.sleep = [](std::chrono::milliseconds) {};
  const long warm_up = std::min(cycles, 10L);
  for (long i = 0; i < warm_up; ++i) agent::doTavrineCheck(state, check);
  const long fds_before = openDescriptors();
  const long rss_before = residentKiB();
  for (long i = warm_up; i < cycles; ++i) agent::doTavrineCheck(state, check);
  const long fds_after = openDescriptors();
  const long rss_after = residentKiB();

  const auto stored = server.device("SOAK-DEVICE-0001");
  std::printf("cycles: %ld (reports stored by the backend: %llu, failed cycles: %u)\n", cycles,
              stored ? static_cast<unsigned long long>(stored->report_count) : 0ULL,
              state.consecutive_failures);
  std::printf("open descriptors after %ld cycles: %ld, after %ld: %ld\n", warm_up, fds_before,
              cycles, fds_after);
  std::printf("resident memory after %ld cycles: %ld KiB, after %ld: %ld KiB\n", warm_up,
              rss_before, cycles, rss_after);
  server.stop();
  std::filesystem::remove_all(tools);
  return 0;
}
