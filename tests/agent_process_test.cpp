// ctest-properties: RESOURCE_LOCK port8000 LABELS threaded
#include "devserver.h"
#include "support/process.h"
#include "support/temp_dir.h"
#include "tavrine/agent/instance_lock.h"
#include "tavrine/agent/report.h"
#include "tavrine/base/es256.h"
#include "tavrine/base/jws.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

namespace {

using namespace std::chrono_literals;
using test_support::BackgroundProcess;
using test_support::Environment;
using test_support::readFile;
using test_support::TempDir;
using test_support::writeFile;

constexpr const char* kDeviceId = "6F1A2B3C-0000-4D5E-8F90-ABCDEF012345";

const std::string kBanner =
    "\n"
    "╔══════════════════════════════════════════════════════════════╗\n"
    "║              Tavrine - Device Trust Agent                    ║\n"
    "║                     v0.1.0                                   ║\n"
    "╚══════════════════════════════════════════════════════════════╝\n";

// The agent binary in development mode against the stand-in tools, with a
// temporary HOME.
class AgentProcess : public ::testing::Test {
 protected:
  AgentProcess() {
    const auto tool = [this](const std::string& key, const std::string& out) {
      writeFile(tools_.file(key + ".out"), out);
    };
    tool("ioreg-platform-expert",
         "+-o J314sAP  <class IOPlatformExpertDevice>\n  {\n    \"IOPlatformUUID\" = \"" +
             std::string(kDeviceId) + "\"\n  }\n");
    tool("sw_vers-product-version", "14.5\n");
    tool("fdesetup-status", "FileVault is On.\n");
    tool("hostname", "test-mac\n");
    tool("sysctl-hw-model", "Mac14,9\n");
    tool("defaults-idle-time", "600\n");
    tool("launchctl-list", "PID\tStatus\tLabel\n-\t0\tcom.apple.example\n");
  }

  Environment environment() const {
    Environment env;
    env.set = {{"HOME", home_.path()},
               {"PATH", std::string(TAVRINE_FIXTURES_DIR) + ":/usr/bin:/bin"},
               {"TAVRINE_STANDIN_DIR", tools_.path()}};
    env.unset = {"TAVRINE_ENV"};
    return env;
  }

  std::string logFile() const { return home_.path() + "/Library/Logs/Tavrine/agent.log"; }

  // How often the stand-ins have been called with `call` ("softwareupdate -l").
  long callCount(const std::string& call) const {
    std::ifstream in(tools_.file("calls.log"));
    long count = 0;
    for (std::string line; std::getline(in, line);) count += line == call ? 1 : 0;
    return count;
  }

  // Waits until the stand-ins have been called `count` times with `call`;
  // then the process group of the last such call, which the agent starts in
  // a group of its own. -1 after `timeout`.
  pid_t waitForCall(const std::string& call, const std::string& key, long count,
                    std::chrono::milliseconds timeout) const {
    for (auto deadline = std::chrono::steady_clock::now() + timeout;
         std::chrono::steady_clock::now() < deadline; std::this_thread::sleep_for(10ms)) {
      if (callCount(call) >= count) return std::stoi(readFile(tools_.file(key + ".pid")));
    }
    return -1;
  }

  // Waits until the server holds a report from the stand-in device.
  bool waitForReport(const devserver::DevServer& server, uint64_t count = 1) {
    for (auto deadline = std::chrono::steady_clock::now() + 60s;
         std::chrono::steady_clock::now() < deadline; std::this_thread::sleep_for(20ms)) {
      const auto device = server.device(kDeviceId);
      if (device && device->report_count >= count) return true;
    }
    return false;
  }

  TempDir home_;
  TempDir tools_;
};

// A device signature of `body` by a key that is not the agent's.
std::string signatureByAnotherKey(const std::string& body) {
  return *jws::signDetached(body, *es256::generate());
}

devserver::Options quietServerOnPort8000() {
  devserver::Options options;
  options.port = 8000;
  options.log_requests = false;
  return options;
}

TEST_F(AgentProcess, RegistersReportsAndStopsOnSigterm) {
  devserver::DevServer server(quietServerOnPort8000());
  ASSERT_TRUE(server.start());
  BackgroundProcess agent({TAVRINE_BINARY, "--dev"}, environment());
  ASSERT_TRUE(waitForReport(server)) << agent.errorOutput();
  ASSERT_TRUE(agent.waitForError("✓ Tavrine submitted successfully\n", 10s));

  agent.signal(SIGTERM);
  const auto ended = agent.wait(5s);
  ASSERT_TRUE(ended) << "SIGTERM must end the agent";
  EXPECT_EQ(ended->exit_code, 0) << agent.errorOutput();
  EXPECT_EQ(ended->out, "");

  const std::string err = agent.errorOutput();
  const std::string start =
      "Development mode enabled (localhost:8000)\n" + kBanner +
      "Configuration loaded:\n"
      "  API Base: http://localhost:8000/api/v1/agent\n"
      "  Register Endpoint: http://localhost:8000/api/v1/agent/register/\n"
      "  Tavrine Endpoint: http://localhost:8000/api/v1/agent/tavrine/\n"
      "  Interval: 30s\n"
      "Collecting device information...\n"
      "Registering device with backend...\n";
  EXPECT_TRUE(err.starts_with(start)) << err;
  for (const char* line :
       {"Device registered successfully!\n", "Initializing system tray...\n",
        "notification: Device Trust Agent is running\n",
        "Agent running. Click the menu bar icon to quit.\n", "─── Tavrine Check #1 ───\n"}) {
    EXPECT_NE(err.find(line), std::string::npos) << line;
  }

  const auto device = server.device(kDeviceId);
  ASSERT_TRUE(device);
  EXPECT_NE(device->report->find("\"hostname\": \"test-mac\""), std::string::npos);
  EXPECT_NE(device->report->find("\"disk_encryption\": \"enabled\""), std::string::npos);

  // The log holds the logged lines only: no diagnostics, no notifications.
  const std::string log = readFile(logFile());
  EXPECT_TRUE(log.starts_with(start)) << log;
  EXPECT_NE(log.find("✓ Tavrine submitted successfully\n"), std::string::npos);
  EXPECT_EQ(log.find("info: "), std::string::npos);
  EXPECT_EQ(log.find("notification: "), std::string::npos);
}

// One cycle of the real agent per kind of Mac, its stand-in tools printing
// what such Macs print (tests/data/macos): the report carries what each
// reading means, and the follow-up tools run only where the first could
// not tell.
TEST_F(AgentProcess, ReportsWhatRealMacsPrint) {
  const auto real = [](const std::string& name) {
    return readFile(std::string(TAVRINE_MACOS_OUTPUTS_DIR) + "/" + name);
  };
  struct Answer {
    std::string key;
    std::string out;
    std::string err = "";
    int status = 0;
  };
  struct Mac {
    const char* name;
    std::vector<Answer> answers;
    std::vector<std::string> reported;  // lines of the report's security block
    bool asks_profiler;
    bool asks_sysadminctl;
  };
  const std::string no_policy = real("nvram-missing-variable.txt");
  const std::vector<Mac> macs = {
      {"Apple silicon on 14.7, offered only 15.2 and developer tools",
       {{"sw_vers-product-version", "14.7\n"},
        {"nvram-secure-boot-policy", "", no_policy, 1},
        {"system_profiler-ibridge", real("system_profiler-ibridge-apple-silicon-full.txt")},
        {"defaults-ask-for-password", "", real("defaults-askforpassword-missing.txt"), 1},
        {"sysadminctl-screen-lock", "", real("sysadminctl-screenlock-immediate.txt")},
        {"softwareupdate-list", real("softwareupdate-sonoma-147-major-and-clt.txt")},
        {"csrutil-status", real("csrutil-custom-sonoma.txt")}},
       {"\"secure_boot\": \"enabled\"", "\"screen_lock_password\": \"enabled\"",
        "\"os_up_to_date\": \"enabled\"", "\"pending_updates_count\": 0",
        "\"sip\": \"disabled\""},
       true,
       true},
      {"T2 at No Security, offline",
       {{"nvram-secure-boot-policy", real("nvram-t2-none.txt")},
        {"defaults-ask-for-password", "1\n"},
        {"softwareupdate-list", real("softwareupdate-offline.txt"),
         real("softwareupdate-offline-stderr.txt"), 1},
        {"csrutil-status", real("csrutil-enabled.txt")}},
       {"\"secure_boot\": \"disabled\"", "\"screen_lock_password\": \"enabled\"",
        "\"os_up_to_date\": \"unknown\"", "\"pending_updates_count\": 0",
        "\"sip\": \"enabled\""},
       false,
       false},
      {"Intel without T2",
       {{"nvram-secure-boot-policy", "", no_policy, 1},
        {"system_profiler-ibridge", real("system_profiler-ibridge-intel-no-t2.txt")}},
       {"\"secure_boot\": \"not_applicable\""},
       true,
       true},
  };
  for (const Mac& mac : macs) {
    SCOPED_TRACE(mac.name);
    for (const Answer& answer : mac.answers) {
      writeFile(tools_.file(answer.key + ".out"), answer.out);
      writeFile(tools_.file(answer.key + ".err"), answer.err);
      writeFile(tools_.file(answer.key + ".status"), std::to_string(answer.status) + "\n");
    }
    devserver::DevServer server(quietServerOnPort8000());
    ASSERT_TRUE(server.start());
    BackgroundProcess agent({TAVRINE_BINARY, "--dev"}, environment());
    ASSERT_TRUE(waitForReport(server)) << agent.errorOutput();
    agent.signal(SIGTERM);
    ASSERT_TRUE(agent.wait(5s));

    const std::string report = *server.device(kDeviceId)->report;
    for (const std::string& line : mac.reported) {
      EXPECT_NE(report.find("    " + line + ","), std::string::npos) << line << "\n" << report;
    }
    EXPECT_EQ(callCount("system_profiler SPiBridgeDataType") > 0, mac.asks_profiler);
    EXPECT_EQ(callCount("sysadminctl -screenLock status") > 0, mac.asks_sysadminctl);
    for (const Answer& answer : mac.answers) {
      for (const char* suffix : {".out", ".err", ".status"}) {
        ::unlink(tools_.file(answer.key + suffix).c_str());
      }
    }
    ::unlink(tools_.file("calls.log").c_str());
  }
}

TEST_F(AgentProcess, QuitFromTheHeadlessConsole) {
  devserver::DevServer server(quietServerOnPort8000());
  ASSERT_TRUE(server.start());
  BackgroundProcess agent({TAVRINE_BINARY, "-d"}, environment(), /*pipe_stdin=*/true);
  ASSERT_TRUE(agent.waitForError("Agent running. Click the menu bar icon to quit.\n", 60s))
      << agent.errorOutput();
  agent.writeInput("menu\n");
  agent.writeInput("click Quit Tavrine\n");
  const auto ended = agent.wait(10s);
  ASSERT_TRUE(ended) << agent.errorOutput();
  EXPECT_EQ(ended->exit_code, 0) << agent.errorOutput();
  EXPECT_EQ(agent.errorOutput().find("Agent stopped."), std::string::npos)
      << "Quit ends the process from inside the application loop";
}

TEST_F(AgentProcess, SigtermDuringACycleEndsAtOnce) {
  // The update listing takes two seconds, so the first cycle is still
  // collecting when the signal comes.
  writeFile(tools_.file("softwareupdate-list.sleep"), "2\n");
  devserver::DevServer server(quietServerOnPort8000());
  ASSERT_TRUE(server.start());
  BackgroundProcess agent({TAVRINE_BINARY, "--dev"}, environment());
  ASSERT_TRUE(agent.waitForError("─── Tavrine Check #1 ───\n", 60s)) << agent.errorOutput();
  agent.signal(SIGTERM);
  const auto ended = agent.wait(10s);
  ASSERT_TRUE(ended);
  EXPECT_EQ(ended->exit_code, 0) << agent.errorOutput();
  EXPECT_EQ(agent.errorOutput().find("submitted successfully"), std::string::npos)
      << "the cycle under way does not hold the exit up";
  const std::string log = readFile(logFile());
  EXPECT_NE(log.find("─── Tavrine Check #1 ───\n"), std::string::npos) << log;
  EXPECT_EQ(log.find("submitted successfully"), std::string::npos) << log;
}

// Whether every process of `group` has ended within `limit`.
bool groupEndsWithin(pid_t group, std::chrono::milliseconds limit) {
  for (auto deadline = std::chrono::steady_clock::now() + limit;
       std::chrono::steady_clock::now() < deadline; std::this_thread::sleep_for(10ms)) {
    if (test_support::processGroupHasEnded(group)) return true;
  }
  return test_support::processGroupHasEnded(group);
}

TEST_F(AgentProcess, TerminationSignalDuringStartUpEndsWithStatusZeroAndNoTool) {
  // The first tool of the start-up collection hangs; no server is needed, as
  // the agent never gets to registration.
  writeFile(tools_.file("defaults-idle-time.sleep"), "30\n");
  for (const int signal_number : {SIGTERM, SIGINT}) {
    SCOPED_TRACE(signal_number);
    ::unlink(tools_.file("calls.log").c_str());
    BackgroundProcess agent({TAVRINE_BINARY, "--dev"}, environment());
    const pid_t tool = waitForCall("defaults -currentHost read com.apple.screensaver idleTime",
                                   "defaults-idle-time", 1, 30s);
    ASSERT_GT(tool, 0) << agent.errorOutput();
    agent.signal(signal_number);
    // Well inside the stand-in's 30 s: the agent did not wait for the tool.
    const auto ended = agent.wait(10s);
    ASSERT_TRUE(ended) << agent.errorOutput();
    EXPECT_EQ(ended->term_signal, 0);
    EXPECT_EQ(ended->exit_code, 0) << agent.errorOutput();
    const std::string err = agent.errorOutput();
    EXPECT_TRUE(err.ends_with("Collecting device information...\n")) << err;
    EXPECT_TRUE(groupEndsWithin(tool, 5s)) << "the tool under way outlived the agent";
    EXPECT_EQ(callCount("softwareupdate -l"), 0) << "a tool was started after the signal";
  }
}

TEST_F(AgentProcess, QuitOrSigtermDuringACycleLeavesNoToolBehind) {
  // The start-up collection's update listing answers at once, the first
  // cycle's hangs.
  writeFile(tools_.file("softwareupdate-list.later.sleep"), "30\n");
  devserver::DevServer server(quietServerOnPort8000());
  ASSERT_TRUE(server.start());
  for (const bool quit : {true, false}) {
    SCOPED_TRACE(quit ? "Quit Tavrine" : "SIGTERM");
    ::unlink(tools_.file("calls.log").c_str());
    BackgroundProcess agent({TAVRINE_BINARY, "--dev"}, environment(), /*pipe_stdin=*/true);
    const pid_t tool = waitForCall("softwareupdate -l", "softwareupdate-list", 2, 60s);
    ASSERT_GT(tool, 0) << agent.errorOutput();
    ASSERT_TRUE(agent.waitForError("─── Tavrine Check #1 ───\n", 10s)) << agent.errorOutput();
    if (quit) {
      agent.writeInput("click Quit Tavrine\n");
    } else {
      agent.signal(SIGTERM);
    }
    const auto ended = agent.wait(10s);
    ASSERT_TRUE(ended) << agent.errorOutput();
    EXPECT_EQ(ended->exit_code, 0) << agent.errorOutput();
    EXPECT_TRUE(groupEndsWithin(tool, 5s)) << "the hung update listing outlived the agent";
  }
}

TEST_F(AgentProcess, ServerDownEndsCleanlyWithoutMenu) {
  BackgroundProcess agent({TAVRINE_BINARY, "--dev"}, environment());
  const auto ended = agent.wait(60s);
  ASSERT_TRUE(ended) << agent.errorOutput();
  EXPECT_EQ(ended->exit_code, 0) << agent.errorOutput();
  const std::string err = agent.errorOutput();
  EXPECT_TRUE(err.ends_with("ERROR: Device registration failed: Registration connection failed\n"
                            "Status code: 0\n"))
      << err;
  EXPECT_EQ(err.find("Initializing system tray"), std::string::npos);
  EXPECT_EQ(err.find("notification:"), std::string::npos);
}

TEST_F(AgentProcess, ASecondAgentOfTheSameUserEndsAtOnceAndTheFirstKeepsRunning) {
  devserver::DevServer server(quietServerOnPort8000());
  ASSERT_TRUE(server.start());
  BackgroundProcess first({TAVRINE_BINARY, "--dev"}, environment());
  ASSERT_TRUE(waitForReport(server)) << first.errorOutput();
  const std::string token = server.device(kDeviceId)->token;
  const long collections = callCount("sw_vers -productVersion");

  BackgroundProcess second({TAVRINE_BINARY, "--dev"}, environment());
  const auto ended = second.wait(10s);
  ASSERT_TRUE(ended) << second.errorOutput();
  EXPECT_EQ(ended->exit_code, 0);
  EXPECT_EQ(second.errorOutput(),
            "Development mode enabled (localhost:8000)\n"
            "Another Tavrine agent is already running.\n");
  EXPECT_EQ(server.device(kDeviceId)->token, token) << "the second agent registered";
  EXPECT_LE(callCount("sw_vers -productVersion"), collections + 1)
      << "only the first agent's cycle may have collected meanwhile";
  EXPECT_NE(readFile(logFile()).find("Another Tavrine agent is already running.\n"),
            std::string::npos);

  EXPECT_FALSE(first.wait(0ms)) << "the first agent ended";
  first.signal(SIGTERM);
  ASSERT_TRUE(first.wait(10s));

  // Once the first has gone, an agent starts normally.
  BackgroundProcess third({TAVRINE_BINARY, "--dev"}, environment());
  ASSERT_TRUE(third.waitForError("Agent running. Click the menu bar icon to quit.\n", 60s))
      << third.errorOutput();
  ASSERT_TRUE(waitForReport(server, 2)) << third.errorOutput();
  third.signal(SIGTERM);
  const auto third_ended = third.wait(10s);
  ASSERT_TRUE(third_ended);
  EXPECT_EQ(third_ended->exit_code, 0);
}

TEST_F(AgentProcess, ToolsDoNotInheritTheAgentLock) {
  // The start-up collection's first tool hangs; the agent is then killed
  // outright, leaving the tool running. The lock must be free all the same.
  writeFile(tools_.file("defaults-idle-time.sleep"), "30\n");
  BackgroundProcess agent({TAVRINE_BINARY, "--dev"}, environment());
  const pid_t tool = waitForCall("defaults -currentHost read com.apple.screensaver idleTime",
                                 "defaults-idle-time", 1, 30s);
  ASSERT_GT(tool, 0) << agent.errorOutput();
  const auto path = agent::InstanceLock::pathFor(home_.path());
  ASSERT_TRUE(path);
  const auto while_running = agent::InstanceLock::tryTake(*path);
  ASSERT_FALSE(while_running.has_value()) << "the running agent does not hold the lock";
  EXPECT_EQ(while_running.error(), Error::WouldBlock);

  agent.signal(SIGKILL);
  ASSERT_TRUE(agent.wait(10s));
  EXPECT_FALSE(test_support::processGroupHasEnded(tool)) << "the tool should still be running";
  EXPECT_TRUE(agent::InstanceLock::tryTake(*path).has_value()) << "the tool kept the lock";
  ::kill(-tool, SIGKILL);
  EXPECT_TRUE(groupEndsWithin(tool, 5s));
}

// The device key through the real agent and the devserver: enrolment, signed
// reports, forged and replayed ones refused, the key file lost while the agent
// is stopped (409, the warning, refused reports), the pin removed by the
// administrator, and the next start enrolled again.
TEST_F(AgentProcess, DeviceKeyEnrolmentPinningAndTheLostKey) {
  devserver::DevServer server(quietServerOnPort8000());
  ASSERT_TRUE(server.start());
  const std::string key_file =
      home_.path() + "/Library/Application Support/Tavrine/device-key.json";
  std::string first_kid;
  {
    BackgroundProcess agent({TAVRINE_BINARY, "--dev"}, environment());
    ASSERT_TRUE(waitForReport(server)) << agent.errorOutput();
    ASSERT_TRUE(agent.waitForError("✓ Tavrine submitted successfully\n", 10s));
    agent.signal(SIGTERM);
    ASSERT_TRUE(agent.wait(5s));
    const auto device = server.device(kDeviceId);
    ASSERT_TRUE(device && device->key_point);
    first_kid = device->key_kid;
    EXPECT_TRUE(device->report_signed_by_device);
    const std::string err = agent.errorOutput();
    EXPECT_NE(err.find("Device key created: " + first_kid + "\n"), std::string::npos) << err;
    EXPECT_NE(err.find("Device key enrolled: " + first_kid + "\n"), std::string::npos) << err;
    EXPECT_NE(readFile(logFile()).find("Device key enrolled: "), std::string::npos);
    // The registration the backend received is the payload the agent
    // printed, nothing of the key in it.
    const size_t payload = err.find("Registration payload:\n") + 22;
    EXPECT_EQ(device->registration, err.substr(payload, err.find("\ninfo: ", payload) - payload));
  }
  const auto status = test_support::runProcess({TAVRINE_BINARY, "--dev", "status"}, environment());
  EXPECT_NE(status.err.find("Device key: " + first_kid + "\nDevice key pinned: yes\n"),
            std::string::npos)
      << status.err;

  // Reports the agent did not sign are refused though their HMAC is right.
  const auto device = *server.device(kDeviceId);
  const std::string replayed = *device.report;
  std::string newer = replayed;
  const size_t stamp = newer.find("\"timestamp\": ") + 13;
  newer.replace(stamp, newer.find('\n', stamp) - stamp, "9999999999");
  const auto other_key = signatureByAnotherKey(newer);
  httplib::Client client("127.0.0.1", 8000);
  const auto post = [&](const std::string& body, const std::string& device_signature) {
    httplib::Headers headers = {{"X-Signature", *agent::signPayload(body)},
                                {"Authorization", "DeviceToken " + device.token}};
    if (!device_signature.empty()) headers.emplace("X-Device-Signature", device_signature);
    const auto answer = client.Post("/api/v1/agent/tavrine/", headers, body, "application/json");
    return answer ? answer->status : -1;
  };
  EXPECT_EQ(post(newer, ""), 401);                          // no device signature
  EXPECT_EQ(post(newer, device.device_signature), 401);     // the agent's, of other bytes
  EXPECT_EQ(post(newer, other_key), 401);                   // another key's
  EXPECT_EQ(post(replayed, device.device_signature), 401);  // the agent's own, again
  EXPECT_EQ(server.device(kDeviceId)->report_count, 1u);

  // The key file is lost while the agent is stopped: a new key, which the
  // backend refuses to pin, and whose reports it refuses.
  ASSERT_EQ(::unlink(key_file.c_str()), 0);
  {
    BackgroundProcess agent({TAVRINE_BINARY, "--dev"}, environment());
    ASSERT_TRUE(agent.waitForError("Transmission failed (connection failed)", 60s))
        << agent.errorOutput();
    agent.signal(SIGTERM);
    ASSERT_TRUE(agent.wait(5s));
    const std::string err = agent.errorOutput();
    const std::string warning =
        "warning: The backend holds a different key for this device; reports are signed with "
        "this Mac's key anyway\n";
    EXPECT_NE(err.find(warning), std::string::npos) << err;
    EXPECT_NE(readFile(logFile()).find(warning), std::string::npos);
    EXPECT_NE(err.find("✗ Tavrine submission failed: Submission failed\n"), std::string::npos);
    EXPECT_EQ(server.device(kDeviceId)->key_kid, first_kid);
  }
  const auto unpinned =
      test_support::runProcess({TAVRINE_BINARY, "--dev", "status"}, environment());
  EXPECT_NE(unpinned.err.find("Device key pinned: no\n"), std::string::npos) << unpinned.err;

  // The administrator removes the pin; the next start enrols the new key.
  const auto removed = client.Delete("/admin/device-key/" + std::string(kDeviceId));
  ASSERT_TRUE(removed);
  EXPECT_EQ(removed->status, 200);
  {
    BackgroundProcess agent({TAVRINE_BINARY, "--dev"}, environment());
    ASSERT_TRUE(waitForReport(server, 2)) << agent.errorOutput();
    agent.signal(SIGTERM);
    ASSERT_TRUE(agent.wait(5s));
    EXPECT_NE(agent.errorOutput().find("Device key enrolled: "), std::string::npos);
  }
  const auto after = *server.device(kDeviceId);
  EXPECT_NE(after.key_kid, first_kid);
  EXPECT_TRUE(after.report_signed_by_device);
}

// A backend without device keys: one line, and the reports go on as before,
// the device signature beside them.
TEST_F(AgentProcess, DeviceKeyAgainstABackendWithoutThem) {
  devserver::Options options = quietServerOnPort8000();
  options.device_keys = false;
  devserver::DevServer server(options);
  ASSERT_TRUE(server.start());
  BackgroundProcess agent({TAVRINE_BINARY, "--dev"}, environment());
  ASSERT_TRUE(waitForReport(server)) << agent.errorOutput();
  agent.signal(SIGTERM);
  ASSERT_TRUE(agent.wait(5s));
  const std::string line =
      "The backend does not take device keys (status 404); reports rely on their HMAC signature "
      "there\n";
  const std::string log = readFile(logFile());
  const size_t at = log.find(line);
  EXPECT_NE(at, std::string::npos) << log;
  EXPECT_EQ(log.find(line, at + 1), std::string::npos);
  const auto device = server.device(kDeviceId);
  EXPECT_FALSE(device->key_point);
  EXPECT_FALSE(device->device_signature.empty());
}

}  // namespace
