// ctest-properties: LABELS threaded
#include "tavrine/agent/registration.h"

#include "support/process.h"
#include "support/records.h"
#include "support/servers.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <algorithm>
#include <string>
#include <vector>

namespace {

using test_support::LoopbackHttpServer;

constexpr std::string_view kPayload =
    "{\n"
    "  \"device_id\": \"6F1A2B3C-4D5E-6F70-8192-A3B4C5D6E7F8\",\n"
    "  \"platform\": \"macos\",\n"
    "  \"os_name\": \"macOS\",\n"
    "  \"os_version\": \"14.5\",\n"
    "  \"hostname\": \"alice-mbp.local\",\n"
    "  \"model\": \"MacBookPro18,3\",\n"
    "  \"serial_number\": \"C02XYZ123ABC\",\n"
    "  \"agent_version\": \"0.1.0\"\n"
    "}";

TEST(RegistrationPayload, TemplateByteForByte) {
  const auto payload = agent::buildRegistrationPayload(test_support::sampleIdentity());
  ASSERT_TRUE(payload.has_value());
  EXPECT_EQ(*payload, kPayload);
}

TEST(RegistrationPayload, AbsentFieldsAreUnknownAndOtherPlatformsKept) {
  DeviceTavrine r;
  r.platform = "linux";
  const auto payload = agent::buildRegistrationPayload(r);
  ASSERT_TRUE(payload.has_value());
  EXPECT_EQ(*payload,
            "{\n"
            "  \"device_id\": \"unknown-device-id\",\n"
            "  \"platform\": \"linux\",\n"
            "  \"os_name\": \"macOS\",\n"
            "  \"os_version\": \"unknown\",\n"
            "  \"hostname\": \"unknown\",\n"
            "  \"model\": \"unknown\",\n"
            "  \"serial_number\": \"unknown\",\n"
            "  \"agent_version\": \"0.1.0\"\n"
            "}");
}

// A host name with a quote, a backslash or a control
// character still gives valid JSON.
TEST(RegistrationPayload, EscapesStringValues) {
  DeviceTavrine r = test_support::sampleIdentity();
  r.hostname = "Bob's \"Mac\"\\\n";
  r.serial_number = std::string("a\x01z");
  const auto payload = agent::buildRegistrationPayload(r);
  ASSERT_TRUE(payload.has_value());
  EXPECT_NE(payload->find("  \"hostname\": \"Bob's \\\"Mac\\\"\\\\\\n\",\n"), std::string::npos)
      << *payload;
  EXPECT_NE(payload->find("  \"serial_number\": \"a\\u0001z\",\n"), std::string::npos);
  const auto parsed = nlohmann::json::parse(*payload);
  EXPECT_EQ(parsed["hostname"], *r.hostname);
  EXPECT_EQ(parsed["serial_number"], *r.serial_number);
}

TEST(TokenExtraction, EdgeCasesOfThePart) {
  EXPECT_EQ(agent::extractToken(R"({"token": "abc123"})"), "abc123");
  EXPECT_EQ(agent::extractToken(R"({"token":"abc123"})"), "abc123");
  EXPECT_EQ(agent::extractToken(R"({"token":""})"), "");
  // null followed by another member: the next member's name is taken.
  EXPECT_EQ(agent::extractToken(R"({"token": null, "device_id": "x"})"), "device_id");
  // A blank before the colon fails.
  EXPECT_EQ(agent::extractToken(R"({"token" : "abc"})"), std::nullopt);
  EXPECT_EQ(agent::extractToken(R"({"device_id": "x"})"), std::nullopt);
  EXPECT_EQ(agent::extractToken(R"({"token": null})"), std::nullopt);
  EXPECT_EQ(agent::extractToken(R"({"token": "abc)"), std::nullopt);
  EXPECT_EQ(agent::extractToken(R"({"token":)"), std::nullopt);
  EXPECT_EQ(agent::extractToken(R"({"token":")"), std::nullopt);
  EXPECT_EQ(agent::extractToken(""), std::nullopt);
  // The first occurrence wins.
  EXPECT_EQ(agent::extractToken(R"({"token":"one","x":{"token":"two"}})"), "one");
}

// A backend whose answer the test sets.
class RegistrationTest : public ::testing::Test {
 protected:
  void SetUp() override {
    server_.server().Post("/api/v1/agent/register/",
                          [this](const httplib::Request& q, httplib::Response& r) {
                            received_ = q.body;
                            content_type_ = q.get_header_value("Content-Type");
                            r.status = status_;
                            r.set_content(body_, "application/json");
                          });
    server_.start();
    endpoint_ = server_.url("/api/v1/agent/register/");
    state_.config.register_endpoint = endpoint_;
  }

  // Registers and returns what was printed.
  std::string run(agent::Registration expected) {
    testing::internal::CaptureStderr();
    const auto outcome = agent::registerDevice(state_, test_support::sampleIdentity());
    std::string err = testing::internal::GetCapturedStderr();
    EXPECT_TRUE(outcome.has_value());
    if (outcome) {
      EXPECT_EQ(*outcome, expected);
    }
    return err;
  }

  std::string prefix() const {
    return "Registering device with backend...\n"
           "Registration payload:\n" +
           std::string(kPayload) + "\ninfo: Registering device at: " + endpoint_ + "\n";
  }

  LoopbackHttpServer server_;
  std::string endpoint_;
  AgentState state_;
  int status_ = 201;
  std::string body_;
  std::string received_;
  std::string content_type_;
};

TEST_F(RegistrationTest, SixCharacterTokenIsShownByItsLengthOnly) {
  body_ = R"({"token": "abc123"})";
  const std::string err = run(agent::Registration::registered);
  EXPECT_EQ(err, prefix() +
                     "info: Registration response status: 201\n"
                     "info: Registration response: {\"token\": \"[redacted]\"}\n"
                     "Device registered successfully!\n"
                     "Device token: (6 characters)\n");
  ASSERT_TRUE(state_.device_token.has_value());
  EXPECT_EQ(*state_.device_token, "abc123");
  EXPECT_EQ(received_, kPayload);
  EXPECT_EQ(content_type_, "application/json");
}

TEST_F(RegistrationTest, FortyCharacterTokenShowsHeadAndTail) {
  const std::string token = "0123456789abcdef0123456789abcdefFEDCBA98";
  status_ = 200;
  body_ = R"({"token": ")" + token + R"(", "device_id": "x"})";
  const std::string err = run(agent::Registration::registered);
  EXPECT_TRUE(err.ends_with("Device registered successfully!\nDevice token: 01234567...FEDCBA98\n"))
      << err;
  EXPECT_EQ(state_.device_token, token);
}

TEST_F(RegistrationTest, EmptyTokenRegisters) {
  body_ = R"({"token":""})";
  const std::string err = run(agent::Registration::registered);
  EXPECT_TRUE(err.ends_with("Device token: (0 characters)\n")) << err;
  ASSERT_TRUE(state_.device_token.has_value());
  EXPECT_EQ(*state_.device_token, "");
}

TEST_F(RegistrationTest, NullTokenTakesTheNextMemberName) {
  body_ = R"({"token": null, "device_id": "abc"})";
  run(agent::Registration::registered);
  EXPECT_EQ(state_.device_token, "device_id");
}

TEST_F(RegistrationTest, ConflictStatusFails) {
  status_ = 409;
  body_ = R"({"token": "abc123"})";
  const std::string err = run(agent::Registration::not_registered);
  EXPECT_EQ(err, prefix() +
                     "info: Registration response status: 409\n"
                     "info: Registration response: {\"token\": \"[redacted]\"}\n"
                     "ERROR: Device registration failed: Registration failed\n"
                     "Status code: 409\n");
  EXPECT_FALSE(state_.device_token.has_value());
}

TEST_F(RegistrationTest, EmptyBodyPrintsNoResponseLine) {
  status_ = 500;
  body_ = "";
  const std::string err = run(agent::Registration::not_registered);
  EXPECT_EQ(err, prefix() +
                     "info: Registration response status: 500\n"
                     "ERROR: Device registration failed: Registration failed\n"
                     "Status code: 500\n");
}

TEST_F(RegistrationTest, BlankBeforeColonFailsExtraction) {
  status_ = 201;
  body_ = R"({"token" : "abc123"})";
  const std::string err = run(agent::Registration::not_registered);
  EXPECT_EQ(err, prefix() +
                     "info: Registration response status: 201\n"
                     "info: Registration response: {\"token\" : \"[redacted]\"}\n"
                     "ERROR: Could not extract device token from response\n"
                     "Response: {\"token\" : \"[redacted]\"}\n");
  EXPECT_FALSE(state_.device_token.has_value());
}

TEST_F(RegistrationTest, LongBodyIsCutTo500BytesInTheInfoLineOnly) {
  status_ = 200;
  body_ = std::string(2000, 'z');
  const std::string err = run(agent::Registration::not_registered);
  EXPECT_NE(err.find("info: Registration response: " + std::string(500, 'z') + "\n"),
            std::string::npos);
  EXPECT_NE(err.find("Response: " + body_ + "\n"), std::string::npos);
}

// A token is sent as a header value: one that could end the header line or
// carry other control bytes, or is too long to send, is no token at all. It
// is not shown either.
TEST_F(RegistrationTest, TokenUnfitForAHeaderIsNotExtracted) {
  const std::vector<std::string> tokens = {
      "abc\r\nX-Injected: 1",
      "abc\rdef",
      "abc\ndef",
      std::string("abc\0def", 7),
      "abc\tdef",
      "abc\x7f",
      "\x01",
      "abc\x1f",
      std::string(agent::kMaxDeviceTokenSize + 1, 't'),
  };
  for (const auto& token : tokens) {
    SCOPED_TRACE(::testing::PrintToString(token.substr(0, 40)));
    state_.device_token.reset();
    body_ = R"({"token": ")" + token + R"("})";
    const std::string err = run(agent::Registration::not_registered);
    // A raw control byte breaks the JSON inside the token: all after its
    // opening quote is hidden.
    const bool json = std::ranges::none_of(token, [](char c) { return c >= 0 && c < 0x20; });
    const std::string shown = std::string(R"({"token": "[redacted])") + (json ? "\"}" : "");
    EXPECT_EQ(err, prefix() + "info: Registration response status: 201\n" +
                       "info: Registration response: " + shown + "\n" +
                       "ERROR: Could not extract device token from response\n" +
                       "Response: " + shown + "\n");
    EXPECT_FALSE(state_.device_token.has_value());
  }
}

bool onlyLineFeedsBelowSpace(std::string_view text) {
  for (const char c : text) {
    const auto byte = static_cast<unsigned char>(c);
    if ((byte < 0x20 && byte != '\n') || byte == 0x7F) return false;
  }
  return true;
}

// The device token authenticates every report: no line shows it, whatever
// the answer looks like. Error answers stay readable, and no control byte of
// an answer reaches the console raw.
TEST_F(RegistrationTest, AnswersAreShownWithoutTheTokenOrRawControlBytes) {
  const std::string token = "0123456789abcdef0123456789abcdefFEDCBA98";
  const struct {
    int status;
    std::string body;
    std::string shown;
  } cases[] = {
      {201, R"({"id":7,"token":")" + token + R"(","session_token":"S1"})",
       R"({"id":7,"token":"[redacted]","session_token":"[redacted]"})"},
      {201, "{\"Token\"\r\n :\t\"" + token + "\", \"token\":\"" + token + "\"}",
       "{\"Token\"\\x0D\\x0A :\\x09\"[redacted]\", \"token\":\"[redacted]\"}"},
      {201, R"({"device":{"token":")" + token + R"(", "x": )" + token,
       R"({"device":{"token":"[redacted]", "x": [redacted])"},
      {409, "{\"detail\"\n: \"exists\"}", "{\"detail\"\\x0A: \"exists\"}"},
      {500, "oops\x1b[2J\rLogin successful!\x7f", "oops\\x1B[2J\\x0DLogin successful!\\x7F"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.body);
    status_ = c.status;
    body_ = c.body;
    testing::internal::CaptureStderr();
    (void)agent::registerDevice(state_, test_support::sampleIdentity());
    const std::string err = testing::internal::GetCapturedStderr();
    EXPECT_NE(err.find("info: Registration response: " + c.shown + "\n"), std::string::npos)
        << err;
    EXPECT_EQ(err.find(token), std::string::npos) << err;
    EXPECT_TRUE(onlyLineFeedsBelowSpace(err)) << err;
  }
}

TEST_F(RegistrationTest, PrintableAndHighBytesAndTheLongestTokenAreKept) {
  const std::vector<std::string> tokens = {
      " !~abc XYZ",
      "caf\xc3\xa9-\x80\xff",
      std::string(agent::kMaxDeviceTokenSize, 't'),
      std::string(31, 'u'),
      "abcdefgh" + std::string(16, 'v') + "12345678",
  };
  for (const auto& token : tokens) {
    SCOPED_TRACE(::testing::PrintToString(token.substr(0, 40)));
    state_.device_token.reset();
    body_ = R"({"token": ")" + token + R"("})";
    const std::string err = run(agent::Registration::registered);
    const std::string shown = token.size() < 32
                                  ? "(" + std::to_string(token.size()) + " characters)"
                                  : token.substr(0, 8) + "..." + token.substr(token.size() - 8);
    EXPECT_TRUE(err.ends_with("Device registered successfully!\nDevice token: " + shown + "\n"))
        << err;
    EXPECT_EQ(state_.device_token, token);
  }
}

TEST(Registration, ConnectionFailure) {
  AgentState state;
  const std::string endpoint =
      "http://127.0.0.1:" + std::to_string(test_support::freeLoopbackPort()) +
      "/api/v1/agent/register/";
  state.config.register_endpoint = endpoint;
  testing::internal::CaptureStderr();
  const auto outcome = agent::registerDevice(state, test_support::sampleIdentity());
  const std::string err = testing::internal::GetCapturedStderr();
  ASSERT_TRUE(outcome.has_value());
  EXPECT_EQ(*outcome, agent::Registration::not_registered);
  EXPECT_EQ(err,
            "Registering device with backend...\n"
            "Registration payload:\n" +
                std::string(kPayload) + "\ninfo: Registering device at: " + endpoint +
                "\n"
                "error: HTTP request failed: ConnectionRefused\n"
                "error: Device registration failed: error.RequestFailed\n"
                "ERROR: Device registration failed: Registration connection failed\n"
                "Status code: 0\n");
  EXPECT_FALSE(state.device_token.has_value());
}

}  // namespace
