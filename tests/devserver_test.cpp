// ctest-properties: LABELS threaded
#include "devserver.h"

#include "tavrine/agent/check_cycle.h"
#include "tavrine/agent/registration.h"
#include "tavrine/agent/report.h"
#include "tavrine/net/http.h"
#include "support/process.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <csignal>
#include <string>

namespace {

using namespace std::chrono_literals;

DeviceTavrine record(const std::string& id) {
  DeviceTavrine r;
  r.device_id = id;
  r.os_version = "14.5";
  r.hostname = "<b>host</b>";
  r.disk_encryption = CheckStatus::enabled;
  r.firewall = CheckStatus::disabled;
  r.sip = CheckStatus::not_applicable;
  r.remote_login = CheckStatus::enabled;
  r.auto_login_disabled = CheckStatus::enabled;
  r.vpn_connected = CheckStatus::enabled;
  r.timestamp = 1733650000;
  return r;
}

class DevServerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    devserver::Options options;
    options.port = 0;
    options.log_requests = false;
    server_ = std::make_unique<devserver::DevServer>(options);
    ASSERT_TRUE(server_->start().has_value());
  }
  std::string url(const std::string& path) const { return server_->baseUrl() + path; }

  // Registers `id` and returns its token.
  std::string registerDevice(const std::string& id) {
    const auto payload = agent::buildRegistrationPayload(record(id));
    const auto response = http::post(url("/api/v1/agent/register/"), *payload);
    EXPECT_TRUE(response.has_value());
    if (!response) return "";
    EXPECT_EQ(response->status, 201);
    const auto json = nlohmann::json::parse(response->body);
    EXPECT_EQ(json["device_id"], id);
    return json["token"].get<std::string>();
  }

  Result<http::HttpResponse> submit(const std::string& body, const std::string& signature,
                                    const std::string& token) {
    const std::string authorization = "DeviceToken " + token;
    std::vector<http::HttpHeader> headers;
    if (!signature.empty()) headers.push_back({"X-Signature", signature});
    if (!token.empty()) headers.push_back({"Authorization", authorization});
    return http::post(url("/api/v1/agent/tavrine/"), body, headers);
  }

  std::unique_ptr<devserver::DevServer> server_;
};

TEST_F(DevServerTest, RegistrationGivesAStableTokenPerDevice) {
  const std::string token = registerDevice("DEV-A");
  EXPECT_EQ(token.size(), 40u);
  EXPECT_EQ(token.find_first_not_of("0123456789abcdef"), std::string::npos);
  EXPECT_EQ(registerDevice("DEV-A"), token);
  EXPECT_NE(registerDevice("DEV-B"), token);
  // The agent's own extraction finds the token in the answer.
  const auto response =
      http::post(url("/api/v1/agent/register/"), *agent::buildRegistrationPayload(record("DEV-A")));
  EXPECT_EQ(agent::extractToken(response->body), token);
}

TEST_F(DevServerTest, RegistrationRejectsWhatIsNotJson) {
  for (const std::string body :
       {"not json", "{\"device_id\": ", "[1, 2]", "{\"platform\": \"macos\"}"}) {
    const auto response = http::post(url("/api/v1/agent/register/"), body);
    ASSERT_TRUE(response.has_value());
    EXPECT_EQ(response->status, 400) << body;
    const auto json = nlohmann::json::parse(response->body, nullptr, false);
    ASSERT_TRUE(json.is_object()) << response->body;
    EXPECT_TRUE(json.contains("error"));
  }
  EXPECT_TRUE(server_->devices().empty());
}

TEST_F(DevServerTest, AcceptsWhatTheAgentSendsAndRejectsATamperedBody) {
  const std::string token = registerDevice("DEV-A");
  const std::string report = *agent::serializeTavrine(record("DEV-A"));
  const std::string signature = *agent::signPayload(report);

  auto response = submit(report, signature, token);
  ASSERT_TRUE(response.has_value());
  EXPECT_EQ(response->status, 202);
  EXPECT_EQ(server_->device("DEV-A")->report, report);

  std::string tampered = report;
  tampered[tampered.find("\"enabled\"") + 1] = 'E';
  response = submit(tampered, signature, token);
  EXPECT_EQ(response->status, 401);
  std::string upper = signature;
  upper[0] = static_cast<char>(std::toupper(upper[0] == 'a' ? 'b' : 'a'));
  EXPECT_EQ(submit(report, upper, token)->status, 401);
  EXPECT_EQ(submit(report, "", token)->status, 401);
  EXPECT_EQ(submit(report, signature.substr(0, 63), token)->status, 401);
  EXPECT_EQ(server_->device("DEV-A")->report_count, 1u);
}

TEST_F(DevServerTest, UnknownTokenIsForbidden) {
  registerDevice("DEV-A");
  const std::string report = *agent::serializeTavrine(record("DEV-A"));
  const std::string signature = *agent::signPayload(report);
  EXPECT_EQ(submit(report, signature, std::string(40, '0'))->status, 403);
  EXPECT_EQ(submit(report, signature, "")->status, 403);
}

TEST_F(DevServerTest, BodyMustBeSchema2Json) {
  const std::string token = registerDevice("DEV-A");
  for (const std::string& body :
       {std::string("not json"), std::string("{\"schema_version\": \"1.0\"}"),
        std::string("{\"schema_version\": 2.0}"), std::string("{}")}) {
    const auto response = submit(body, *agent::signPayload(body), token);
    ASSERT_TRUE(response.has_value());
    EXPECT_EQ(response->status, 400) << body;
  }
}

TEST_F(DevServerTest, KeepsTheLatestReportAndListsDevices) {
  const std::string token = registerDevice("DEV-A");
  DeviceTavrine r = record("DEV-A");
  for (int64_t t : {100, 200}) {
    r.timestamp = t;
    const std::string report = *agent::serializeTavrine(r);
    EXPECT_EQ(submit(report, *agent::signPayload(report), token)->status, 202);
  }
  registerDevice("DEV-B");
  const auto listed = http::get(url("/api/v1/devices"));
  ASSERT_TRUE(listed.has_value());
  EXPECT_EQ(listed->status, 200);
  const auto json = nlohmann::json::parse(listed->body);
  ASSERT_EQ(json["devices"].size(), 2u);
  EXPECT_EQ(json["devices"][0]["device_id"], "DEV-A");
  EXPECT_EQ(json["devices"][0]["report_count"], 2);
  EXPECT_EQ(json["devices"][0]["latest_report"]["timestamp"], 200);
  EXPECT_EQ(json["devices"][0]["registration"]["agent_version"], "0.1.0");
  EXPECT_TRUE(json["devices"][1]["latest_report"].is_null());
}

TEST_F(DevServerTest, PageShowsEachControlStateColouredBySafety) {
  const std::string token = registerDevice("DEV-A");
  const std::string report = *agent::serializeTavrine(record("DEV-A"));
  submit(report, *agent::signPayload(report), token);
  const auto page = http::get(url("/"));
  ASSERT_TRUE(page.has_value());
  EXPECT_EQ(page->status, 200);
  const std::string& html = page->body;
  EXPECT_NE(html.find("<h2>DEV-A</h2>"), std::string::npos);
  for (const char* row : {
           "<td>disk_encryption</td><td class=\"safe\">enabled</td>",
           "<td>firewall</td><td class=\"unsafe\">disabled</td>",
           "<td>sip</td><td class=\"neutral\">not_applicable</td>",
           "<td>secure_boot</td><td class=\"neutral\">unknown</td>",
           "<td>remote_login</td><td class=\"unsafe\">enabled</td>",
           "<td>auto_login_disabled</td><td class=\"safe\">enabled</td>",
           "<td>vpn_connected</td><td class=\"neutral\">enabled</td>",
       }) {
    EXPECT_NE(html.find(row), std::string::npos) << row;
  }
  EXPECT_NE(html.find("&lt;b&gt;host&lt;/b&gt;"), std::string::npos);
  EXPECT_EQ(html.find("<b>host</b>"), std::string::npos);
}

TEST(DevServerArguments, PortBindAndErrors) {
  std::string message;
  std::vector<std::string> words = {"tavrine-devserver", "--port", "9000", "--bind", "0.0.0.0"};
  std::vector<char*> argv;
  for (auto& w : words) argv.push_back(w.data());
  auto options = devserver::parseArguments(static_cast<int>(argv.size()), argv.data(), message);
  ASSERT_TRUE(options.has_value());
  EXPECT_EQ(options->port, 9000);
  EXPECT_EQ(options->bind, "0.0.0.0");

  words = {"tavrine-devserver"};
  argv = {words[0].data()};
  options = devserver::parseArguments(1, argv.data(), message);
  ASSERT_TRUE(options.has_value());
  EXPECT_EQ(options->port, 8000);
  EXPECT_EQ(options->bind, "127.0.0.1");

  for (std::vector<std::string> bad :
       {std::vector<std::string>{"x", "--port", "70000"},
        std::vector<std::string>{"x", "--port", "12a"}, std::vector<std::string>{"x", "--port"},
        std::vector<std::string>{"x", "--verbose"}}) {
    argv.clear();
    for (auto& w : bad) argv.push_back(w.data());
    message.clear();
    EXPECT_FALSE(
        devserver::parseArguments(static_cast<int>(argv.size()), argv.data(), message).has_value());
    EXPECT_FALSE(message.empty());
  }
}

// Against the executable: with tavrine-devserver
// running, the agent registers and its check cycle delivers a report that the
// server verifies, keeps and lists.
TEST(DevServerExecutable, AgentCycleDeliversAVerifiedReport) {
  const int port = test_support::freeLoopbackPort();
  test_support::BackgroundProcess server(
      {TAVRINE_DEVSERVER_BINARY, "--port", std::to_string(port), "--bind", "127.0.0.1"});
  ASSERT_TRUE(
      server.waitForError("devserver: listening on http://127.0.0.1:" + std::to_string(port), 10s))
      << server.errorOutput();
  const std::string base = "http://127.0.0.1:" + std::to_string(port);
  const std::string register_endpoint = base + "/api/v1/agent/register/";
  const std::string tavrine_endpoint = base + "/api/v1/agent/tavrine/";

  AgentState state;
  state.config.register_endpoint = register_endpoint;
  state.config.tavrine_endpoint = tavrine_endpoint;
  const DeviceTavrine device = record("EXE-DEVICE");
  testing::internal::CaptureStderr();
  const auto registered = agent::registerDevice(state, device);
  agent::CheckOptions options;
  options.collect = [&] { return Result<DeviceTavrine>(device); };
  options.sleep = [](std::chrono::milliseconds) {};
  agent::doTavrineCheck(state, options);
  const std::string err = testing::internal::GetCapturedStderr();
  ASSERT_TRUE(registered.has_value());
  EXPECT_EQ(*registered, agent::Registration::registered);
  EXPECT_TRUE(err.ends_with("✓ Tavrine submitted successfully\n")) << err;
  EXPECT_EQ(state.consecutive_failures, 0u);

  const auto listed = http::get(base + "/api/v1/devices");
  ASSERT_TRUE(listed.has_value());
  const auto json = nlohmann::json::parse(listed->body);
  ASSERT_EQ(json["devices"].size(), 1u);
  EXPECT_EQ(json["devices"][0]["latest_report"],
            nlohmann::json::parse(*agent::serializeTavrine(device)));

  server.signal(SIGTERM);
  const auto ended = server.wait(10s);
  ASSERT_TRUE(ended.has_value());
  EXPECT_EQ(ended->exit_code, 0);
  const std::string log = server.errorOutput();
  EXPECT_NE(log.find("POST /api/v1/agent/register/ -> 201 device EXE-DEVICE"), std::string::npos)
      << log;
  EXPECT_NE(log.find("POST /api/v1/agent/tavrine/ -> 202 report from EXE-DEVICE"),
            std::string::npos)
      << log;
  EXPECT_NE(log.find("GET /api/v1/devices -> 200"), std::string::npos) << log;
  EXPECT_NE(log.find("devserver: stopped"), std::string::npos) << log;
}

}  // namespace
