// One side of the check cycle's side-by-side measurement; bench/cycle.sh runs
// both sides against the development backend and prints the ratios.
//
//   cycle_bench agent CYCLES BASE_URL [LIST_FILE]
//   cycle_bench floor CYCLES BASE_URL LIST_FILE
//
// `agent` registers, then runs CYCLES check cycles as the agent's check
// thread does (the collector through the stand-in tools, the report, its
// signature, the POST on the thread's kept handle). With LIST_FILE it writes
// there the command lines its second cycle ran.
//
// `floor` does only the bare work of a cycle, CYCLES times: each command line
// of LIST_FILE started with posix_spawn (programs looked up once), its output
// read through a pipe, the child reaped; one HMAC-SHA256 on a kept context;
// one POST on a kept libcurl handle of the agent's very request: its report,
// its signing key and its device token, which `agent` writes to LIST_FILE
// (lines "#key K" and "#authorization A") and LIST_FILE.report, so that the
// backend accepts it as it accepts the agent's.
//
// Both run their cycles on a thread of their own, as the agent does, and
// print one line of key=value figures: CPU time of the process per cycle
// (children excluded) over cycles 2 to CYCLES, context switches of the cycle
// thread, and resident size and private dirty memory after cycles 1 and 10.
// Cycles 2 to CYCLES run inside measuredCycles(), which callgrind is told to
// count alone (--toggle-collect). With TAVRINE_BENCH_MAIN_THREAD set, the
// cycles run on the main thread, for a system-call count by strace without
// following the children.
#include "tavrine/agent/check_cycle.h"
#include "tavrine/agent/registration.h"
#include "tavrine/agent/report.h"
#include "tavrine/collect/collector.h"
#include "tavrine/platform/memory.h"

#include <curl/curl.h>
#include <fcntl.h>
#include <openssl/core_names.h>
#include <openssl/evp.h>
#include <openssl/params.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

extern char** environ;

namespace {

struct Memory {
  long rss_kib = -1;
  long private_dirty_kib = -1;
};

Memory memoryNow() {
  Memory memory;
  std::ifstream rollup("/proc/self/smaps_rollup");
  std::string line;
  while (std::getline(rollup, line)) {
    if (line.starts_with("Rss:")) memory.rss_kib = std::strtol(line.c_str() + 4, nullptr, 10);
    if (line.starts_with("Private_Dirty:")) {
      memory.private_dirty_kib = std::strtol(line.c_str() + 14, nullptr, 10);
    }
  }
  return memory;
}

double processCpuSeconds() {
  timespec now{};
  ::clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &now);
  return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) / 1e9;
}

long threadContextSwitches() {
  rusage usage{};
  ::getrusage(RUSAGE_THREAD, &usage);
  return usage.ru_nvcsw + usage.ru_nivcsw;
}

struct Figures {
  double cpu_seconds = 0;
  long context_switches = 0;
  Memory after_first;
  Memory after_tenth;
};

// Cycles 2 to `cycles`: the stretch callgrind counts.
__attribute__((noinline)) void measuredCycles(long cycles, const std::function<void()>& cycle,
                                              Figures& figures) {
  for (long i = 2; i <= cycles; ++i) {
    cycle();
    if (i == 10) figures.after_tenth = memoryNow();
  }
}

Figures runCycles(long cycles, const std::function<void()>& cycle) {
  Figures figures;
  const auto body = [&] {
    cycle();
    figures.after_first = memoryNow();
    const double cpu_before = processCpuSeconds();
    const long switches_before = threadContextSwitches();
    measuredCycles(cycles, cycle, figures);
    figures.cpu_seconds = processCpuSeconds() - cpu_before;
    figures.context_switches = threadContextSwitches() - switches_before;
  };
  if (std::getenv("TAVRINE_BENCH_MAIN_THREAD") != nullptr) {
    body();
  } else {
    std::thread(body).join();
  }
  return figures;
}

void print(const char* mode, long cycles, const Figures& f) {
  const double per_cycle = cycles > 1 ? static_cast<double>(cycles - 1) : 1.0;
  std::printf(
      "mode=%s cycles=%ld cpu_us_per_cycle=%.1f csw_per_cycle=%.1f rss1_kib=%ld "
      "private_dirty1_kib=%ld rss10_kib=%ld private_dirty10_kib=%ld\n",
      mode, cycles, f.cpu_seconds * 1e6 / per_cycle,
      static_cast<double>(f.context_switches) / per_cycle, f.after_first.rss_kib,
      f.after_first.private_dirty_kib, f.after_tenth.rss_kib, f.after_tenth.private_dirty_kib);
}

std::string fixtures(const char* tool) { return std::string(TAVRINE_FIXTURES_DIR) + "/" + tool; }

long callsLogged() {
  std::ifstream log(std::string(std::getenv("TAVRINE_STANDIN_DIR")) + "/calls.log");
  long count = 0;
  std::string line;
  while (std::getline(log, line)) ++count;
  return count;
}

// Writes what the floor needs to send the agent's request ("#key K",
// "#authorization A", the report beside `path`), then copies lines `first`
// to `end` (not included) of calls.log into `path`.
void writeCalls(const AgentState& state, const std::string& report, long first, long end,
                const std::string& path) {
  std::ofstream(path + ".report") << report;
  std::ifstream log(std::string(std::getenv("TAVRINE_STANDIN_DIR")) + "/calls.log");
  std::ofstream list(path);
  list << "#key " << state.config.signing_key << '\n'
       << "#authorization DeviceToken " << state.device_token.value_or("") << '\n';
  std::string line;
  for (long i = 0; i < end && std::getline(log, line); ++i) {
    if (i >= first) list << line << '\n';
  }
}

int runAgent(long cycles, const std::string& base, const char* list_path) {
  platform::keepLargeBlocksOutOfTheHeap();
  platform::useOneHeapArena();
  tavrine::Tools tools;
  tools.socketfilterfw = fixtures("socketfilterfw");
  tavrine::UpdateListingCache updates;

  AgentState state;
  TrayState tray;
  const std::string register_endpoint = base + "/api/v1/agent/register/";
  const std::string tavrine_endpoint = base + "/api/v1/agent/tavrine/";
  state.config.register_endpoint = register_endpoint;
  state.config.tavrine_endpoint = tavrine_endpoint;
  {
    const auto device = tavrine::collect(tools);
    if (!device || !agent::registerDevice(state, *device)) return 1;
  }
  state.tray.store(&tray);

  long calls_after_first = -1;
  long calls_after_second = -1;
  long cycle_number = 0;
  const auto figures = [&] {
    http::Client client;  // the check thread's kept handle
    agent::CheckOptions options;
    options.collect = [&] { return tavrine::collect(tools, updates); };
    options.sleep = [](std::chrono::milliseconds) {};
    options.client = &client;
    return runCycles(cycles, [&] {
      agent::doTavrineCheck(state, options);
      ++cycle_number;
      if (list_path == nullptr || cycle_number > 2) return;
      (cycle_number == 1 ? calls_after_first : calls_after_second) = callsLogged();
    });
  }();
  if (state.consecutive_failures != 0) {
    std::fprintf(stderr, "cycle_bench: reports failed\n");
    return 1;
  }
  if (list_path != nullptr && cycles >= 2) {
    // Only the second cycle's lines: the first also read the update listing.
    // The floor signs and posts a report of this run.
    const auto device = tavrine::collect(tools, updates);
    const auto report = device ? agent::serializeTavrine(*device) : fail(device.error());
    if (!report) return 1;
    writeCalls(state, *report, calls_after_first, calls_after_second, list_path);
  }
  print("agent", cycles, figures);
  return 0;
}

struct Command {
  std::string path;
  std::vector<std::string> argv;
  std::vector<const char*> pointers;  // argv's, null-terminated, made once
};

// The program's path along PATH, looked up once at start.
std::string lookUp(const std::string& name) {
  std::istringstream path(std::getenv("PATH"));
  std::string directory;
  while (std::getline(path, directory, ':')) {
    const std::string candidate = directory + "/" + name;
    if (::access(candidate.c_str(), X_OK) == 0) return candidate;
  }
  return name;
}

// One command started, read to the end and reaped: the bare work.
void runBare(const Command& command, std::string& output) {
  int pipe_fds[2];
  if (::pipe2(pipe_fds, O_CLOEXEC) != 0) std::abort();
  posix_spawn_file_actions_t actions;
  ::posix_spawn_file_actions_init(&actions);
  ::posix_spawn_file_actions_adddup2(&actions, pipe_fds[1], STDOUT_FILENO);
  ::posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
  pid_t pid = -1;
  const int rc = ::posix_spawn(&pid, command.path.c_str(), &actions, nullptr,
                                const_cast<char* const*>(command.pointers.data()), environ);
  ::posix_spawn_file_actions_destroy(&actions);
  ::close(pipe_fds[1]);
  char chunk[16384];
  output.clear();
  ssize_t got;
  while ((got = ::read(pipe_fds[0], chunk, sizeof chunk)) > 0) {
    output.append(chunk, static_cast<size_t>(got));
  }
  ::close(pipe_fds[0]);
  if (rc == 0) ::waitpid(pid, nullptr, 0);
}

size_t discard(char*, size_t size, size_t count, void*) { return size * count; }

int runFloor(long cycles, const std::string& base, const char* list_path) {
  std::vector<Command> commands;
  std::string key;
  std::string authorization;
  {
    std::ifstream list(list_path);
    std::string line;
    while (std::getline(list, line)) {
      if (line.starts_with("#key ")) {
        key = line.substr(5);
        continue;
      }
      if (line.starts_with("#authorization ")) {
        authorization = "Authorization: " + line.substr(15);
        continue;
      }
      std::istringstream words(line);
      Command command;
      for (std::string word; words >> word;) command.argv.push_back(word);
      if (command.argv.empty()) continue;
      command.path = command.argv.front() == "socketfilterfw" ? fixtures("socketfilterfw")
                                                              : lookUp(command.argv.front());
      for (const std::string& word : command.argv) command.pointers.push_back(word.c_str());
      command.pointers.push_back(nullptr);
      commands.push_back(std::move(command));
    }
  }
  std::ostringstream report;
  report << std::ifstream(std::string(list_path) + ".report").rdbuf();
  const std::string body = report.str();
  if (commands.empty() || key.empty() || body.empty()) return 1;
  platform::useOneHeapArena();

  EVP_MAC* mac = EVP_MAC_fetch(nullptr, "HMAC", nullptr);
  EVP_MAC_CTX* mac_context = EVP_MAC_CTX_new(mac);
  char digest[] = "SHA256";
  const OSSL_PARAM params[] = {OSSL_PARAM_construct_utf8_string(OSSL_MAC_PARAM_DIGEST, digest, 0),
                               OSSL_PARAM_construct_end()};
  EVP_MAC_CTX_set_params(mac_context, params);
  const std::string url = base + "/api/v1/agent/tavrine/";

  curl_global_init(CURL_GLOBAL_DEFAULT);
  CURL* easy = curl_easy_init();
  std::string output;
  int refused = 0;
  const auto figures = runCycles(cycles, [&] {
    for (const Command& command : commands) runBare(command, output);
    unsigned char tag[32];
    size_t length = 0;
    EVP_MAC_init(mac_context, reinterpret_cast<const unsigned char*>(key.data()), key.size(),
                 nullptr);
    EVP_MAC_update(mac_context, reinterpret_cast<const unsigned char*>(body.data()), body.size());
    EVP_MAC_final(mac_context, tag, &length, sizeof tag);
    static constexpr char kDigits[] = "0123456789abcdef";
    std::string signature = "X-Signature: ";
    for (size_t i = 0; i < length; ++i) {
      signature += kDigits[tag[i] >> 4];
      signature += kDigits[tag[i] & 0x0f];
    }
    curl_slist* headers = curl_slist_append(nullptr, "Content-Type: application/json");
    headers = curl_slist_append(headers, signature.c_str());
    headers = curl_slist_append(headers, authorization.c_str());
    curl_easy_setopt(easy, CURLOPT_URL, url.c_str());
    curl_easy_setopt(easy, CURLOPT_POSTFIELDS, body.c_str());
    curl_easy_setopt(easy, CURLOPT_HTTPHEADER, headers);
    curl_easy_setopt(easy, CURLOPT_WRITEFUNCTION, &discard);
    long status = 0;
    if (curl_easy_perform(easy) != CURLE_OK ||
        curl_easy_getinfo(easy, CURLINFO_RESPONSE_CODE, &status) != CURLE_OK || status != 202) {
      ++refused;
    }
    curl_slist_free_all(headers);
  });
  if (refused != 0) {
    std::fprintf(stderr, "cycle_bench: the backend refused %d of the floor's reports\n", refused);
    return 1;
  }
  curl_easy_cleanup(easy);
  EVP_MAC_CTX_free(mac_context);
  EVP_MAC_free(mac);
  print("floor", cycles, figures);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 4) {
    std::fprintf(stderr, "usage: cycle_bench agent|floor CYCLES BASE_URL [LIST_FILE]\n");
    return 2;
  }
  const std::string mode = argv[1];
  const long cycles = std::strtol(argv[2], nullptr, 10);
  const char* list = argc > 4 ? argv[4] : nullptr;
  if (cycles < 1 || std::getenv("TAVRINE_STANDIN_DIR") == nullptr) return 2;
  if (mode == "agent") return runAgent(cycles, argv[3], list);
  if (mode == "floor" && list != nullptr) return runFloor(cycles, argv[3], list);
  return 2;
}
