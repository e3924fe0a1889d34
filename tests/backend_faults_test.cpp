// ctest-properties: LABELS threaded
// A hostile or broken backend against the check cycle and the registration,
// each bounded to seconds by short limits: every fault ends the cycle as a
// failed one with the line naming it, and leaves no descriptor behind.
#include "tavrine/agent/check_cycle.h"
#include "tavrine/agent/registration.h"

#include "support/process.h"
#include "support/process_os.h"
#include "support/records.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

namespace {

using namespace std::chrono_literals;

// Serves one connection at a time on 127.0.0.1: reads the request head and
// its Content-Length body, records the request line, then hands the socket
// to the handler, which writes what it likes; the server closes it after.
class FaultyBackend {
 public:
  using Handler = std::function<void(int fd)>;
  explicit FaultyBackend(Handler handler) : handler_(std::move(handler)) {
    listen_fd_ = test_support::openTcpSocket().release();
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof(address);
    if (listen_fd_ < 0 ||
        ::bind(listen_fd_, reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0 ||
        ::listen(listen_fd_, 8) != 0 ||
        ::getsockname(listen_fd_, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
      throw std::runtime_error("cannot start the backend");
    }
    port_ = ntohs(address.sin_port);
    thread_ = std::thread([this] { loop(); });
  }
  FaultyBackend(const FaultyBackend&) = delete;
  FaultyBackend& operator=(const FaultyBackend&) = delete;
  ~FaultyBackend() {
    stopping_ = true;
    thread_.join();
    ::close(listen_fd_);
  }

  std::string url(const std::string& path) const {
    return "http://127.0.0.1:" + std::to_string(port_) + path;
  }
  std::vector<std::string> requestLines() const {
    std::lock_guard guard(mutex_);
    return request_lines_;
  }

  // Writes all of `data`; false once the peer is gone.
  static bool send(int fd, const std::string& data) {
    size_t done = 0;
    while (done < data.size()) {
      const long put = test_support::sendWithoutSignal(fd, data.data() + done, data.size() - done);
      if (put <= 0) return false;
      done += static_cast<size_t>(put);
    }
    return true;
  }
  // Waits (at most ten seconds) until the peer closes its end.
  static void awaitPeerClose(int fd) {
    char buffer[256];
    const auto deadline = std::chrono::steady_clock::now() + 10s;
    while (std::chrono::steady_clock::now() < deadline) {
      pollfd poller{fd, POLLIN, 0};
      if (::poll(&poller, 1, 100) > 0 && ::recv(fd, buffer, sizeof(buffer), 0) <= 0) return;
    }
  }

 private:
  void loop() {
    while (!stopping_) {
      pollfd poller{listen_fd_, POLLIN, 0};
      if (::poll(&poller, 1, 20) <= 0) continue;
      const int client = test_support::acceptConnection(listen_fd_);
      if (client < 0) continue;
      const std::string request = readRequest(client);
      {
        std::lock_guard guard(mutex_);
        request_lines_.push_back(request.substr(0, request.find("\r\n")));
      }
      handler_(client);
      ::close(client);
    }
  }

  static std::string readRequest(int fd) {
    std::string data;
    char buffer[4096];
    size_t wanted = std::string::npos;
    while (data.size() < wanted) {
      pollfd poller{fd, POLLIN, 0};
      if (::poll(&poller, 1, 5000) <= 0) break;
      const ssize_t got = ::recv(fd, buffer, sizeof(buffer), 0);
      if (got <= 0) break;
      data.append(buffer, static_cast<size_t>(got));
      const size_t head_end = data.find("\r\n\r\n");
      if (wanted == std::string::npos && head_end != std::string::npos) {
        const size_t field = data.find("Content-Length: ");
        const size_t length = field < head_end ? std::stoul(data.substr(field + 16)) : 0;
        wanted = head_end + 4 + length;
      }
    }
    return data;
  }

  Handler handler_;
  int listen_fd_ = -1;
  int port_ = 0;
  std::atomic<bool> stopping_{false};
  std::thread thread_;
  mutable std::mutex mutex_;
  std::vector<std::string> request_lines_;
};

// True once this process has no more descriptors open than `before`; the
// backend closes its side of the last connection a moment after the client.
bool descriptorsBackTo(int before) {
  const auto deadline = std::chrono::steady_clock::now() + 2s;
  while (test_support::openDescriptorCount() > before) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(10ms);
  }
  return true;
}

constexpr const char* kReportPath = "/api/v1/agent/tavrine/";

// One check cycle against `backend`, with short bounds and waits recorded
// instead of slept; its lines.
struct CycleRun {
  std::string lines;
  std::chrono::steady_clock::duration elapsed{};
  std::vector<std::chrono::milliseconds> waits;
  AgentState state;
};

std::unique_ptr<CycleRun> runCycle(const FaultyBackend& backend) {
  auto run = std::make_unique<CycleRun>();
  const std::string endpoint = backend.url(kReportPath);
  run->state.config.tavrine_endpoint = endpoint;
  run->state.device_token = "fault-token";
  agent::CheckOptions options;
  options.collect = [] { return Result<DeviceTavrine>(test_support::sampleRecord()); };
  options.sleep = [&run](std::chrono::milliseconds wait) { run->waits.push_back(wait); };
  options.limits.connect_timeout = 1s;
  options.limits.stall_timeout = 1s;
  testing::internal::CaptureStderr();
  const auto started = std::chrono::steady_clock::now();
  agent::doTavrineCheck(run->state, options);
  run->elapsed = std::chrono::steady_clock::now() - started;
  run->lines = testing::internal::GetCapturedStderr();
  return run;
}

// The lines of a cycle whose four attempts each fail with `attempt_lines`.
std::string failedCycle(const std::string& attempt_lines) {
  return "─── Tavrine Check #1 ───\n" + attempt_lines + "Retry 1/3 after 1000ms delay...\n" +
         attempt_lines + "Retry 2/3 after 2000ms delay...\n" + attempt_lines +
         "Retry 3/3 after 4000ms delay...\n" + attempt_lines +
         "Transmission failed (connection failed), consecutive failures: 1\n";
}

std::string transportFailure(const std::string& name) {
  return "error: HTTP request failed: " + name +
         "\n"
         "error: HTTP request failed: RequestFailed\n"
         "✗ Tavrine submission failed: Connection failed\n";
}

std::string head(const std::string& status_line, const std::string& fields) {
  return "HTTP/1.1 " + status_line + "\r\n" + fields + "\r\n";
}

// Sends chunks of 64 KiB until the peer goes away.
void endlessChunkedAnswer(int fd) {
  if (!FaultyBackend::send(fd, head("200 OK", "Transfer-Encoding: chunked\r\n"))) return;
  const std::string chunk = "10000\r\n" + std::string(0x10000, 'x') + "\r\n";
  while (FaultyBackend::send(fd, chunk)) {
  }
}

struct Fault {
  const char* name;
  FaultyBackend::Handler handler;
  std::string attempt_lines;
};

const std::vector<Fault>& faults() {
  static const std::vector<Fault> all = {
      {"RedirectOnPost",
       [](int fd) {
         FaultyBackend::send(fd,
                             head("302 Found", "Location: /elsewhere/\r\nContent-Length: 0\r\n"));
       },
       "✗ Tavrine submission failed: Submission failed\n"},
      {"ResetMidAnswer",
       [](int fd) {
         FaultyBackend::send(fd,
                             head("200 OK", "Content-Length: 1000\r\n") + std::string(100, 'x'));
         std::this_thread::sleep_for(50ms);
         const linger abort_on_close{1, 0};  // close sends a reset
         ::setsockopt(fd, SOL_SOCKET, SO_LINGER, &abort_on_close, sizeof(abort_on_close));
       },
       transportFailure("ConnectionResetByPeer")},
      {"GarbageInsteadOfHttp",
       [](int fd) {
         FaultyBackend::send(fd, std::string("\x16\x03\x01\x00\xff garbage \r\n\r\n\x7f\x80", 20));
       },
       transportFailure("MalformedResponse")},
      {"EndlessChunkedAnswer", endlessChunkedAnswer, transportFailure("ResponseTooLarge")},
      {"StallMidAnswer",
       [](int fd) {
         FaultyBackend::send(fd, head("200 OK", "Content-Length: 1000\r\n") + "{\"partial\": ");
         FaultyBackend::awaitPeerClose(fd);
       },
       transportFailure("TransferStalled")},
  };
  return all;
}

class BackendFault : public ::testing::TestWithParam<size_t> {};

// Every attempt meets the same fault; the cycle makes its four attempts and
// is booked as failed, and the descriptors are back where they were.
TEST_P(BackendFault, FailsTheCycleAndLeavesNoDescriptor) {
  const Fault& fault = faults()[GetParam()];
  const int descriptors = test_support::openDescriptorCount();
  {
    FaultyBackend backend(fault.handler);
    const auto run = runCycle(backend);
    EXPECT_EQ(run->lines, failedCycle(fault.attempt_lines));
    EXPECT_EQ(run->waits, (std::vector<std::chrono::milliseconds>{1000ms, 2000ms, 4000ms}));
    EXPECT_EQ(run->state.consecutive_failures, 1u);
    // Four attempts, each ended by the one-second bounds rather than the
    // defaults of 30 and 60 s. curl measures a stall in whole seconds, so an
    // attempt may take two; the margin above that is for sanitizer builds.
    EXPECT_LT(run->elapsed, 20s);
    // A redirect is never followed: every request went to the report path.
    EXPECT_EQ(backend.requestLines(),
              std::vector<std::string>(4, "POST " + std::string(kReportPath) + " HTTP/1.1"));
  }
  EXPECT_TRUE(descriptorsBackTo(descriptors));
}

INSTANTIATE_TEST_SUITE_P(Matrix, BackendFault, ::testing::Range(size_t{0}, faults().size()),
                         [](const auto& info) { return std::string(faults()[info.param].name); });

// Registration meets the faults too: none registers, each says why.
TEST(BackendFaults, RegistrationRefusesARedirectAndAnEndlessAnswer) {
  struct Case {
    FaultyBackend::Handler handler;
    std::string tail;
  };
  const std::vector<Case> cases = {
      {[](int fd) {
         FaultyBackend::send(
             fd, head("307 Temporary Redirect", "Location: /elsewhere/\r\nContent-Length: 16\r\n") +
                     R"({"token": "abc"})");
       },
       "info: Registration response status: 307\n"
       "info: Registration response: {\"token\": \"[redacted]\"}\n"
       "ERROR: Device registration failed: Registration failed\n"
       "Status code: 307\n"},
      {endlessChunkedAnswer,
       "error: HTTP request failed: ResponseTooLarge\n"
       "error: Device registration failed: error.RequestFailed\n"
       "ERROR: Device registration failed: Registration connection failed\n"
       "Status code: 0\n"},
  };
  for (const auto& c : cases) {
    const int descriptors = test_support::openDescriptorCount();
    {
      FaultyBackend backend(c.handler);
      AgentState state;
      const std::string endpoint = backend.url("/api/v1/agent/register/");
      state.config.register_endpoint = endpoint;
      http::Limits limits;
      limits.stall_timeout = 1s;
      testing::internal::CaptureStderr();
      const auto outcome = agent::registerDevice(state, test_support::sampleIdentity(), limits);
      const std::string lines = testing::internal::GetCapturedStderr();
      ASSERT_TRUE(outcome.has_value());
      EXPECT_EQ(*outcome, agent::Registration::not_registered);
      EXPECT_TRUE(lines.ends_with(c.tail)) << lines;
      EXPECT_FALSE(state.device_token.has_value());
      EXPECT_EQ(backend.requestLines().size(), 1u);
    }
    EXPECT_TRUE(descriptorsBackTo(descriptors));
  }
}

}  // namespace
