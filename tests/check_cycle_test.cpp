// ctest-properties: LABELS threaded
#include "tavrine/agent/check_cycle.h"

#include "devserver.h"
#include "support/process.h"
#include "support/records.h"
#include "support/servers.h"
#include "tavrine/agent/registration.h"
#include "tavrine/agent/report.h"
#include "tavrine/base/config.h"
#include "tavrine/base/crypto.h"
#include "tavrine/build_config.h"

#include <fmt/format.h>
#include <gtest/gtest.h>

#include <chrono>
#include <deque>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace {

using namespace std::chrono_literals;
using test_support::LoopbackHttpServer;

// A host name with quotes, so that the delivered report must be escaped.
DeviceTavrine sampleRecord() {
  DeviceTavrine r = test_support::sampleRecord();
  r.hostname = "host \"quoted\"";
  return r;
}

struct Received {
  std::string body;
  std::string signature;
  bool has_authorization = false;
  std::string authorization;
  std::string content_type;
  std::string accept_encoding;
  int remote_port = 0;  // tells the connections apart
};

// A tavrine endpoint answering with scripted statuses (200 once the script
// is used up), and the options of a cycle that records its waits, the status
// line during each wait and its collections instead of sleeping.
class CheckCycleTest : public ::testing::Test {
 protected:
  void SetUp() override {
    server_.server().Post("/api/v1/agent/tavrine/", [this](const httplib::Request& q,
                                                           httplib::Response& r) {
      std::lock_guard guard(mutex_);
      received_.push_back({q.body, q.get_header_value("X-Signature"), q.has_header("Authorization"),
                           q.get_header_value("Authorization"), q.get_header_value("Content-Type"),
                           q.get_header_value("Accept-Encoding"), q.remote_port});
      r.status = 200;
      if (!script_.empty()) {
        r.status = script_.front();
        script_.pop_front();
      }
      r.set_content("{\"answer\": " + std::to_string(r.status) + "}", "application/json");
    });
    server_.start();
    endpoint_ = server_.url("/api/v1/agent/tavrine/");
    state_.config.tavrine_endpoint = endpoint_;
    state_.tray.store(&tray_);
    options_.collect = [this]() -> Result<DeviceTavrine> {
      ++collections_;
      return record_;
    };
    options_.sleep = [this](std::chrono::milliseconds wait) {
      waits_.push_back(wait);
      std::lock_guard guard(tray_.status_lock);
      status_during_waits_.push_back(tray_.status_text);
    };
  }

  void script(std::initializer_list<int> statuses) {
    std::lock_guard guard(mutex_);
    script_.assign(statuses.begin(), statuses.end());
  }

  std::string cycle() {
    testing::internal::CaptureStderr();
    agent::doTavrineCheck(state_, options_);
    return testing::internal::GetCapturedStderr();
  }

  std::string status() {
    std::lock_guard guard(tray_.status_lock);
    return tray_.status_text;
  }

  std::vector<Received> received() {
    std::lock_guard guard(mutex_);
    return received_;
  }

  LoopbackHttpServer server_;
  std::string endpoint_;
  AgentState state_;
  TrayState tray_;
  agent::CheckOptions options_;
  DeviceTavrine record_ = sampleRecord();
  int collections_ = 0;
  std::vector<std::chrono::milliseconds> waits_;
  std::vector<std::string> status_during_waits_;
  std::mutex mutex_;
  std::deque<int> script_;
  std::vector<Received> received_;
};

TEST_F(CheckCycleTest, FirstCycleSucceedsAtOnce) {
  state_.consecutive_failures = 4;
  const std::string err = cycle();
  EXPECT_EQ(err, "─── Tavrine Check #1 ───\n✓ Tavrine submitted successfully\n");
  EXPECT_EQ(state_.check_count, 1u);
  EXPECT_EQ(state_.consecutive_failures, 0u);
  EXPECT_EQ(status(), "Status: Running");
  EXPECT_TRUE(waits_.empty());
  const auto got = received();
  ASSERT_EQ(got.size(), 1u);
  EXPECT_EQ(got[0].body, *agent::serializeTavrine(record_));
  EXPECT_EQ(got[0].signature, crypto::toHex(crypto::hmacSha256(agent::kSigningKey, got[0].body)));
  EXPECT_EQ(got[0].content_type, "application/json");
  EXPECT_FALSE(got[0].has_authorization);  // no device token held
}

// The check thread keeps one handle: its reports share a connection while
// the server keeps it, and offer no content encoding, since only the status
// of the answer counts.
TEST_F(CheckCycleTest, ConsecutiveReportsShareTheKeptConnection) {
  http::Client client;
  options_.client = &client;
  state_.device_token = "tok-123";
  const std::string first = cycle();
  const std::string second = cycle();
  EXPECT_EQ(first, "─── Tavrine Check #1 ───\n✓ Tavrine submitted successfully\n");
  EXPECT_EQ(second, "─── Tavrine Check #2 ───\n✓ Tavrine submitted successfully\n");
  EXPECT_TRUE(waits_.empty());
  const auto got = received();
  ASSERT_EQ(got.size(), 2u);
  EXPECT_EQ(got[0].remote_port, got[1].remote_port) << "the second report opened a connection";
  for (const Received& report : got) {
    EXPECT_EQ(report.body, *agent::serializeTavrine(record_));
    EXPECT_EQ(report.signature, crypto::toHex(crypto::hmacSha256(agent::kSigningKey, report.body)));
    EXPECT_EQ(report.authorization, "DeviceToken tok-123");
    EXPECT_EQ(report.content_type, "application/json");
    EXPECT_EQ(report.accept_encoding, "");
  }
}

TEST_F(CheckCycleTest, FailsTwiceThenSucceeds) {
  state_.device_token = "tok-123";
  state_.consecutive_failures = 2;
  script({500, 503});
  const std::string err = cycle();
  EXPECT_EQ(err,
            "─── Tavrine Check #1 ───\n"
            "✗ Tavrine submission failed: Submission failed\n"
            "Retry 1/3 after 1000ms delay...\n"
            "✗ Tavrine submission failed: Submission failed\n"
            "Retry 2/3 after 2000ms delay...\n"
            "✓ Tavrine submitted successfully\n");
  EXPECT_EQ(waits_, (std::vector<std::chrono::milliseconds>{1000ms, 2000ms}));
  EXPECT_EQ(status_during_waits_,
            (std::vector<std::string>{"Status: Retrying (1/3)...", "Status: Retrying (2/3)..."}));
  EXPECT_EQ(status(), "Status: Running");
  EXPECT_EQ(state_.consecutive_failures, 0u);
  EXPECT_EQ(collections_, 1);
  const auto got = received();
  ASSERT_EQ(got.size(), 3u);
  for (const auto& request : got) {
    EXPECT_EQ(request.body, got[0].body);
    EXPECT_EQ(request.signature, got[0].signature);
    EXPECT_EQ(request.authorization, "DeviceToken tok-123");
  }
  EXPECT_EQ(got[0].signature, *agent::signPayload(got[0].body));
}

// The same path on the real clock: the two waits take 3 s.
TEST_F(CheckCycleTest, FailsTwiceThenSucceedsOnTheRealClock) {
  options_.sleep = agent::CheckOptions{}.sleep;
  script({500, 500});
  const auto started = std::chrono::steady_clock::now();
  const std::string err = cycle();
  const auto elapsed = std::chrono::steady_clock::now() - started;
  EXPECT_GE(elapsed, 3000ms);
  EXPECT_LT(elapsed, 6000ms);
  EXPECT_TRUE(err.ends_with("Retry 2/3 after 2000ms delay...\n✓ Tavrine submitted successfully\n"))
      << err;
  EXPECT_EQ(received().size(), 3u);
}

TEST_F(CheckCycleTest, FourFailuresBookOneFailedCycle) {
  script({500, 500, 500, 500});
  const std::string err = cycle();
  EXPECT_EQ(err,
            "─── Tavrine Check #1 ───\n"
            "✗ Tavrine submission failed: Submission failed\n"
            "Retry 1/3 after 1000ms delay...\n"
            "✗ Tavrine submission failed: Submission failed\n"
            "Retry 2/3 after 2000ms delay...\n"
            "✗ Tavrine submission failed: Submission failed\n"
            "Retry 3/3 after 4000ms delay...\n"
            "✗ Tavrine submission failed: Submission failed\n"
            "Transmission failed (connection failed), consecutive failures: 1\n");
  EXPECT_EQ(waits_, (std::vector<std::chrono::milliseconds>{1000ms, 2000ms, 4000ms}));
  EXPECT_EQ(status_during_waits_,
            (std::vector<std::string>{"Status: Retrying (1/3)...", "Status: Retrying (2/3)...",
                                      "Status: Retrying (3/3)..."}));
  EXPECT_EQ(state_.consecutive_failures, 1u);
  EXPECT_EQ(status(), "Status: Reconnecting (1)");
  EXPECT_EQ(received().size(), 4u);
}

// Each mode's reports carry the signature under that mode's key.
TEST_F(CheckCycleTest, EachModeSignsWithItsOwnKey) {
  char* const no_environment[] = {nullptr};
  for (const Mode mode : {Mode::prod, Mode::dev}) {
    state_.config = config::choose(mode, no_environment);
    state_.config.tavrine_endpoint = endpoint_;
    cycle();
  }
  const auto got = received();
  ASSERT_EQ(got.size(), 2u);
  EXPECT_EQ(got[0].signature,
            crypto::toHex(crypto::hmacSha256(TAVRINE_PROD_HMAC_KEY, got[0].body)));
  EXPECT_EQ(got[1].signature, crypto::toHex(crypto::hmacSha256(agent::kSigningKey, got[1].body)));
  if (std::string_view(TAVRINE_PROD_HMAC_KEY) != agent::kSigningKey) {
    EXPECT_NE(got[0].signature, got[1].signature);
  }
}

TEST_F(CheckCycleTest, SuccessAndFailureStatuses) {
  for (int status : {200, 201, 202, 204, 299}) {
    script({status});
    const std::string err = cycle();
    EXPECT_TRUE(err.ends_with("✓ Tavrine submitted successfully\n")) << status << err;
    EXPECT_EQ(err.find("✗"), std::string::npos) << status;
  }
  for (int status : {300, 304, 401, 404, 500}) {
    script({status});
    const std::string err = cycle();
    EXPECT_NE(
        err.find(
            "✗ Tavrine submission failed: Submission failed\nRetry 1/3 after 1000ms delay...\n"),
        std::string::npos)
        << status << err;
    EXPECT_TRUE(err.ends_with("✓ Tavrine submitted successfully\n")) << status;
  }
  EXPECT_EQ(state_.consecutive_failures, 0u);
  EXPECT_EQ(state_.check_count, 10u);
}

TEST_F(CheckCycleTest, ThreeFailedCyclesThenAGoodOne) {
  script({500, 500, 500, 500, 500, 500, 500, 500, 500, 500, 500, 500});
  for (uint32_t n = 1; n <= 3; ++n) {
    const std::string err = cycle();
    EXPECT_TRUE(err.ends_with("Transmission failed (connection failed), consecutive failures: " +
                              std::to_string(n) + "\n"))
        << err;
    EXPECT_EQ(status(), "Status: Reconnecting (" + std::to_string(n) + ")");
    EXPECT_EQ(state_.consecutive_failures, n);
  }
  const std::string err = cycle();
  EXPECT_EQ(err, "─── Tavrine Check #4 ───\n✓ Tavrine submitted successfully\n");
  EXPECT_EQ(status(), "Status: Running");
  EXPECT_EQ(state_.consecutive_failures, 0u);
  EXPECT_EQ(state_.check_count, 4u);
  EXPECT_EQ(collections_, 4);
  EXPECT_EQ(received().size(), 13u);
}

TEST_F(CheckCycleTest, TokenOf117BytesSendsNothing) {
  state_.device_token = std::string(117, 't');
  const std::string err = cycle();
  const std::string failed = "✗ Tavrine submission failed: Failed to format auth header\n";
  EXPECT_EQ(err, "─── Tavrine Check #1 ───\n" + failed + "Retry 1/3 after 1000ms delay...\n" +
                     failed + "Retry 2/3 after 2000ms delay...\n" + failed +
                     "Retry 3/3 after 4000ms delay...\n" + failed +
                     "Transmission failed (connection failed), consecutive failures: 1\n");
  EXPECT_EQ(waits_, (std::vector<std::chrono::milliseconds>{1000ms, 2000ms, 4000ms}));
  EXPECT_TRUE(received().empty());
  EXPECT_EQ(status(), "Status: Reconnecting (1)");
}

// The same path on the real clock: the three waits take 7 s and no request
// is ever made.
TEST_F(CheckCycleTest, TokenOf117BytesOnTheRealClock) {
  options_.sleep = agent::CheckOptions{}.sleep;
  state_.device_token = std::string(117, 't');
  const auto started = std::chrono::steady_clock::now();
  const std::string err = cycle();
  const auto elapsed = std::chrono::steady_clock::now() - started;
  EXPECT_GE(elapsed, 7000ms);
  EXPECT_LT(elapsed, 10000ms);
  EXPECT_TRUE(received().empty());
  EXPECT_EQ(state_.consecutive_failures, 1u);
}

TEST_F(CheckCycleTest, TokenOf116BytesFits) {
  const std::string token(116, 'k');
  state_.device_token = token;
  const std::string err = cycle();
  EXPECT_TRUE(err.ends_with("✓ Tavrine submitted successfully\n"));
  ASSERT_EQ(received().size(), 1u);
  EXPECT_EQ(received()[0].authorization, "DeviceToken " + token);
}

TEST_F(CheckCycleTest, EmptyTokenStillSendsAuthorization) {
  state_.device_token = "";
  cycle();
  ASSERT_EQ(received().size(), 1u);
  EXPECT_TRUE(received()[0].has_authorization);
}

TEST_F(CheckCycleTest, CollectionFailureAfterASuccess) {
  cycle();
  options_.collect = []() -> Result<DeviceTavrine> { return fail(Error::CommandFailed); };
  const std::string err = cycle();
  EXPECT_EQ(err,
            "─── Tavrine Check #2 ───\n"
            "Failed to collect tavrine: CommandFailed\n"
            "Transmission failed (collection error), consecutive failures: 1\n");
  EXPECT_EQ(status(), "Status: Reconnecting (1)");
  EXPECT_EQ(received().size(), 1u);
}

TEST_F(CheckCycleTest, WithoutTrayNoStatusLineChanges) {
  state_.tray.store(nullptr);
  script({500, 500, 500, 500});
  const std::string err = cycle();
  EXPECT_TRUE(err.starts_with(
      "─── Tavrine Check #1 ───\n✗ Tavrine submission failed: Submission failed\n"));
  EXPECT_TRUE(err.ends_with("Transmission failed (connection failed), consecutive failures: 1\n"));
  EXPECT_EQ(status(), "Status: Starting...");
  EXPECT_EQ(status_during_waits_, (std::vector<std::string>(3, "Status: Starting...")));
}

TEST(CheckCycle, ConnectionRefusedOnEveryAttempt) {
  AgentState state;
  const std::string endpoint =
      "http://127.0.0.1:" + std::to_string(test_support::freeLoopbackPort()) +
      "/api/v1/agent/tavrine/";
  state.config.tavrine_endpoint = endpoint;
  agent::CheckOptions options;
  options.collect = [] { return Result<DeviceTavrine>(sampleRecord()); };
  std::vector<std::chrono::milliseconds> waits;
  options.sleep = [&](std::chrono::milliseconds wait) { waits.push_back(wait); };
  const int descriptors = test_support::openDescriptorCount();
  testing::internal::CaptureStderr();
  agent::doTavrineCheck(state, options);
  const std::string err = testing::internal::GetCapturedStderr();
  EXPECT_EQ(test_support::openDescriptorCount(), descriptors);
  const std::string attempt =
      "error: HTTP request failed: ConnectionRefused\n"
      "error: HTTP request failed: RequestFailed\n"
      "✗ Tavrine submission failed: Connection failed\n";
  EXPECT_EQ(err, "─── Tavrine Check #1 ───\n" + attempt + "Retry 1/3 after 1000ms delay...\n" +
                     attempt + "Retry 2/3 after 2000ms delay...\n" + attempt +
                     "Retry 3/3 after 4000ms delay...\n" + attempt +
                     "Transmission failed (connection failed), consecutive failures: 1\n");
  EXPECT_EQ(waits.size(), 3u);
  EXPECT_EQ(state.consecutive_failures, 1u);
}

TEST(CheckCycle, HandleTransmitFailureCountsAndShows) {
  AgentState state;
  TrayState tray;
  state.tray.store(&tray);
  state.consecutive_failures = 41;
  testing::internal::CaptureStderr();
  agent::handleTransmitFailure(state, "signing error");
  EXPECT_EQ(testing::internal::GetCapturedStderr(),
            "Transmission failed (signing error), consecutive failures: 42\n");
  EXPECT_EQ(state.consecutive_failures, 42u);
  EXPECT_EQ(tray.status_text, "Status: Reconnecting (42)");
  state.consecutive_failures = 4294967294u;
  testing::internal::CaptureStderr();
  agent::handleTransmitFailure(state, "collection error");
  (void)testing::internal::GetCapturedStderr();
  EXPECT_EQ(tray.status_text, "Status: Reconnecting (4294967295)");
}

// A server that closes each connection after its answer, without saying so
// beforehand, costs the kept handle a new connection and nothing more: no
// failed attempt, no retry.
TEST(CheckCycle, ServerThatClosedTheKeptConnectionCostsOnlyANewOne) {
  test_support::RawHttpServer server([](const std::string&) -> std::optional<std::string> {
    return "HTTP/1.1 200 OK\r\nContent-Type: application/json\r\nContent-Length: 2\r\n\r\n{}";
  });
  const std::string endpoint = server.url("/api/v1/agent/tavrine/");
  AgentState state;
  TrayState tray;
  state.config.tavrine_endpoint = endpoint;
  state.tray.store(&tray);
  const DeviceTavrine record = sampleRecord();
  http::Client client;
  agent::CheckOptions options;
  options.collect = [&] { return Result<DeviceTavrine>(record); };
  options.sleep = [](std::chrono::milliseconds) { FAIL() << "no retry expected"; };
  options.client = &client;
  for (int cycle = 1; cycle <= 3; ++cycle) {
    testing::internal::CaptureStderr();
    agent::doTavrineCheck(state, options);
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              fmt::format("─── Tavrine Check #{} ───\n✓ Tavrine submitted successfully\n", cycle));
  }
  const auto requests = server.requests();
  ASSERT_EQ(requests.size(), 3u);  // one connection each
  for (const std::string& request : requests) {
    EXPECT_TRUE(request.ends_with(*agent::serializeTavrine(record)));
  }
}

// Against the development backend, a registered agent's
// check cycle delivers a report that the server verifies and keeps.
TEST(CheckCycle, DeliversAVerifiedReportToTheDevserver) {
  devserver::Options server_options;
  server_options.port = 0;
  server_options.log_requests = false;
  devserver::DevServer server(server_options);
  ASSERT_TRUE(server.start().has_value());
  const std::string register_endpoint = server.baseUrl() + "/api/v1/agent/register/";
  const std::string tavrine_endpoint = server.baseUrl() + "/api/v1/agent/tavrine/";

  AgentState state;
  TrayState tray;
  state.config.register_endpoint = register_endpoint;
  state.config.tavrine_endpoint = tavrine_endpoint;
  const DeviceTavrine record = sampleRecord();
  testing::internal::CaptureStderr();
  const auto registered = agent::registerDevice(state, record);
  state.tray.store(&tray);
  agent::CheckOptions options;
  options.collect = [&] { return Result<DeviceTavrine>(record); };
  options.sleep = [](std::chrono::milliseconds) { FAIL() << "no retry expected"; };
  agent::doTavrineCheck(state, options);
  const std::string err = testing::internal::GetCapturedStderr();

  ASSERT_TRUE(registered.has_value());
  EXPECT_EQ(*registered, agent::Registration::registered);
  ASSERT_TRUE(state.device_token.has_value());
  EXPECT_EQ(state.device_token->size(), 40u);
  EXPECT_TRUE(err.ends_with("─── Tavrine Check #1 ───\n✓ Tavrine submitted successfully\n")) << err;
  EXPECT_EQ(tray.status_text, "Status: Running");
  const auto device = server.device(record.device_id);
  ASSERT_TRUE(device.has_value());
  EXPECT_EQ(device->token, *state.device_token);
  EXPECT_EQ(device->report_count, 1u);
  EXPECT_EQ(device->report, *agent::serializeTavrine(record));
}

}  // namespace
