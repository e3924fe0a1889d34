#include "tavrine/agent/report.h"
#include "support/records.h"
#include "tavrine/base/crypto.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <limits>
#include <string>

namespace {

constexpr std::string_view kFullGolden =
    "{\n"
    "  \"schema_version\": \"2.0\",\n"
    "  \"device_id\": \"6F1A2B3C-4D5E-6F70-8192-A3B4C5D6E7F8\",\n"
    "  \"platform\": \"macos\",\n"
    "  \"os\": {\n"
    "    \"name\": \"macOS\",\n"
    "    \"version\": \"14.5\"\n"
    "  },\n"
    "  \"security\": {\n"
    "    \"disk_encryption\": \"enabled\",\n"
    "    \"firewall\": \"disabled\",\n"
    "    \"secure_boot\": \"enabled\",\n"
    "    \"screen_lock\": \"enabled\",\n"
    "    \"screen_lock_timeout\": 300,\n"
    "    \"screen_lock_password\": \"enabled\",\n"
    "    \"sip\": \"enabled\",\n"
    "    \"gatekeeper\": \"disabled\",\n"
    "    \"xprotect_version\": \"2193\",\n"
    "    \"os_up_to_date\": \"disabled\",\n"
    "    \"pending_updates_count\": 2,\n"
    "    \"mdm_enrolled\": \"not_applicable\",\n"
    "    \"vpn_connected\": \"disabled\",\n"
    "    \"auto_login_disabled\": \"enabled\",\n"
    "    \"remote_login\": \"unknown\"\n"
    "  },\n"
    "  \"device\": {\n"
    "    \"hostname\": \"alice-mbp.local\",\n"
    "    \"model\": \"MacBookPro18,3\",\n"
    "    \"serial_number\": \"C02XYZ123ABC\"\n"
    "  },\n"
    "  \"timestamp\": 1733650000\n"
    "}";

// A default-constructed record: every check at its fallback, every optional absent.
constexpr std::string_view kFallbackGolden =
    "{\n"
    "  \"schema_version\": \"2.0\",\n"
    "  \"device_id\": \"unknown-device-id\",\n"
    "  \"platform\": \"macos\",\n"
    "  \"os\": {\n"
    "    \"name\": \"macOS\",\n"
    "    \"version\": \"unknown\"\n"
    "  },\n"
    "  \"security\": {\n"
    "    \"disk_encryption\": \"unknown\",\n"
    "    \"firewall\": \"unknown\",\n"
    "    \"secure_boot\": \"unknown\",\n"
    "    \"screen_lock\": \"unknown\",\n"
    "    \"screen_lock_timeout\": null,\n"
    "    \"screen_lock_password\": \"unknown\",\n"
    "    \"sip\": \"unknown\",\n"
    "    \"gatekeeper\": \"unknown\",\n"
    "    \"xprotect_version\": \"unknown\",\n"
    "    \"os_up_to_date\": \"unknown\",\n"
    "    \"pending_updates_count\": 0,\n"
    "    \"mdm_enrolled\": \"unknown\",\n"
    "    \"vpn_connected\": \"unknown\",\n"
    "    \"auto_login_disabled\": \"enabled\",\n"
    "    \"remote_login\": \"unknown\"\n"
    "  },\n"
    "  \"device\": {\n"
    "    \"hostname\": \"unknown\",\n"
    "    \"model\": \"unknown\",\n"
    "    \"serial_number\": \"unknown\"\n"
    "  },\n"
    "  \"timestamp\": 0\n"
    "}";

std::string serialize(const DeviceTavrine& r) {
  auto report = agent::serializeTavrine(r);
  EXPECT_TRUE(report.has_value());
  return report.value_or("");
}

TEST(Report, FullRecordMatchesGoldenByteForByte) {
  const std::string report = serialize(test_support::sampleRecord());
  EXPECT_EQ(report, kFullGolden);
  EXPECT_EQ(std::count(report.begin(), report.end(), '\n'), 31);  // 32 lines
  EXPECT_EQ(report.back(), '}');
  EXPECT_EQ(report.find('\r'), std::string::npos);
  EXPECT_TRUE(nlohmann::json::accept(report));
}

TEST(Report, AllFallbackRecordMatchesGolden) {
  EXPECT_EQ(serialize(DeviceTavrine{}), kFallbackGolden);
  EXPECT_TRUE(nlohmann::json::accept(serialize(DeviceTavrine{})));
}

TEST(Report, PlatformOtherThanDarwinIsKept) {
  DeviceTavrine r;
  r.platform = "linux";
  EXPECT_NE(serialize(r).find("  \"platform\": \"linux\",\n"), std::string::npos);
  r.platform = "darwin2";
  EXPECT_NE(serialize(r).find("  \"platform\": \"darwin2\",\n"), std::string::npos);
  r.platform = "Darwin";
  EXPECT_NE(serialize(r).find("  \"platform\": \"Darwin\",\n"), std::string::npos);
}

TEST(Report, NumbersAndOptionals) {
  DeviceTavrine r;
  r.screen_lock_timeout = 0;
  EXPECT_NE(serialize(r).find("\"screen_lock_timeout\": 0,\n"), std::string::npos);
  r.screen_lock_timeout = std::numeric_limits<uint32_t>::max();
  EXPECT_NE(serialize(r).find("\"screen_lock_timeout\": 4294967295,\n"), std::string::npos);
  r.pending_updates_count = std::numeric_limits<uint32_t>::max();
  EXPECT_NE(serialize(r).find("\"pending_updates_count\": 4294967295,\n"), std::string::npos);
  r.timestamp = -42;
  EXPECT_NE(serialize(r).find("\n  \"timestamp\": -42\n}"), std::string::npos);
  r.timestamp = std::numeric_limits<int64_t>::min();
  EXPECT_NE(serialize(r).find("\"timestamp\": -9223372036854775808\n}"), std::string::npos);
  r.serial_number = "";
  EXPECT_NE(serialize(r).find("\"serial_number\": \"\"\n"), std::string::npos);
  r.hostname = "";
  EXPECT_NE(serialize(r).find("\"hostname\": \"\",\n"), std::string::npos);
}

// Values are escaped so the report is always valid JSON.
TEST(Report, EscapesQuoteBackslashAndControlCharacters) {
  DeviceTavrine r;
  r.hostname = std::string("a\"b\\c\nd\re\tf\bg\fh\x01i\x1fj\x7fk\xc3\xa9l");
  const std::string report = serialize(r);
  EXPECT_NE(
      report.find(
          "\"hostname\": \"a\\\"b\\\\c\\nd\\re\\tf\\bg\\fh\\u0001i\\u001fj\x7fk\xc3\xa9l\",\n"),
      std::string::npos)
      << report;
  const auto parsed = nlohmann::json::parse(report);
  EXPECT_EQ(parsed["device"]["hostname"].get<std::string>(), *r.hostname);

  std::string with_nul("x\0y", 3);
  std::string out;
  agent::appendJsonEscaped(out, with_nul);
  EXPECT_EQ(out, "x\\u0000y");
  out.clear();
  agent::appendJsonEscaped(out, "plain text / with slash");
  EXPECT_EQ(out, "plain text / with slash");

  DeviceTavrine every;
  every.device_id = "id\"";
  every.os_version = "1\\2";
  every.model = "m\n";
  every.serial_number = "s\t";
  every.xprotect_version = "x\"";
  every.platform = "p\"";
  const auto all = nlohmann::json::parse(serialize(every));
  EXPECT_EQ(all["device_id"], "id\"");
  EXPECT_EQ(all["platform"], "p\"");
  EXPECT_EQ(all["os"]["version"], "1\\2");
  EXPECT_EQ(all["device"]["model"], "m\n");
  EXPECT_EQ(all["device"]["serial_number"], "s\t");
  EXPECT_EQ(all["security"]["xprotect_version"], "x\"");

  // The worst case for the report's room: every text byte takes six, every
  // status the longest name, every number its widest form.
  const std::string control(300, '\x01');
  DeviceTavrine widest;
  widest.device_id = widest.os_name = widest.os_version = widest.platform = control;
  widest.hostname = widest.model = widest.serial_number = widest.xprotect_version = control;
  for (CheckStatus* status :
       {&widest.disk_encryption, &widest.firewall, &widest.secure_boot, &widest.screen_lock,
        &widest.screen_lock_password, &widest.sip, &widest.gatekeeper, &widest.os_up_to_date,
        &widest.mdm_enrolled, &widest.vpn_connected, &widest.auto_login_disabled,
        &widest.remote_login}) {
    *status = CheckStatus::not_applicable;
  }
  widest.screen_lock_timeout = std::numeric_limits<uint32_t>::max();
  widest.pending_updates_count = std::numeric_limits<uint32_t>::max();
  widest.timestamp = std::numeric_limits<int64_t>::min();
  const auto wide = nlohmann::json::parse(serialize(widest));
  EXPECT_EQ(wide["device"]["serial_number"], control);
  EXPECT_EQ(wide["timestamp"], std::numeric_limits<int64_t>::min());
}

TEST(Signature, IsLowercaseHexHmacOfReportWithBuiltInKey) {
  const std::string report = serialize(test_support::sampleRecord());
  const auto signature = agent::signPayload(report);
  ASSERT_TRUE(signature.has_value());
  ASSERT_EQ(signature->size(), 64u);
  EXPECT_EQ(signature->find_first_not_of("0123456789abcdef"), std::string::npos);
  EXPECT_EQ(*signature,
            crypto::toHex(crypto::hmacSha256("sample-hmac-key-for-local-test-001", report)));
  EXPECT_EQ(agent::kSigningKey.size(), 34u);
  EXPECT_EQ(*agent::signPayload(report), *signature);  // deterministic
  EXPECT_NE(*agent::signPayload(report + " "), *signature);
}

std::string bytes(size_t count, unsigned char value) {
  return std::string(count, static_cast<char>(value));
}

struct Rfc4231Case {
  std::string key;
  std::string data;
  std::string_view mac;  // may be a prefix (case 5 is truncated)
};

TEST(Crypto, Rfc4231TestCases1To7) {
  std::string key4;
  for (int i = 1; i <= 25; ++i) key4 += static_cast<char>(i);
  const Rfc4231Case cases[] = {
      {bytes(20, 0x0b), "Hi There",
       "b0344c61d8db38535ca8afceaf0bf12b881dc200c9833da726e9376c2e32cff7"},
      {"Jefe", "what do ya want for nothing?",
       "5bdcc146bf60754e6a042426089575c75a003f089d2739839dec58b964ec3843"},
      {bytes(20, 0xaa), bytes(50, 0xdd),
       "773ea91e36800e46854db8ebd09181a72959098b3ef8c122d9635514ced565fe"},
      {key4, bytes(50, 0xcd), "82558a389a443c0ea4cc819899f2083a85f0faa3e578f8077a2e3ff46729665b"},
      {bytes(20, 0x0c), "Test With Truncation", "a3b6167473100ee06e0c796c2955552b"},
      {bytes(131, 0xaa), "Test Using Larger Than Block-Size Key - Hash Key First",
       "60e431591ee0b67f0d8a26aacbf5b77f8e0bc6213728c5140546040f0ee37f54"},
      {bytes(131, 0xaa),
       "This is a test using a larger than block-size key and a larger than block-size data. The "
       "key "
       "needs to be hashed before being used by the HMAC algorithm.",
       "9b09ffa71b942fcb27635fbcd5b0e944bfdc63644f0713938a7f51535c3a35e2"},
  };
  int number = 1;
  for (const auto& c : cases) {
    const std::string via_crypto = crypto::toHex(crypto::hmacSha256(c.key, c.data));
    const auto via_sign = agent::signPayload(c.data, c.key);
    ASSERT_TRUE(via_sign.has_value());
    EXPECT_EQ(via_crypto.substr(0, c.mac.size()), c.mac) << "test case " << number;
    EXPECT_EQ(*via_sign, via_crypto) << "test case " << number;
    ++number;
  }
  // Keys of one length in turn: a kept key must be told from another.
  for (const int index : {0, 4, 0, 4}) {
    const auto& c = cases[index];
    EXPECT_EQ(crypto::toHex(crypto::hmacSha256(c.key, c.data)).substr(0, c.mac.size()), c.mac);
  }
}

TEST(Crypto, Sha256KnownAnswers) {
  EXPECT_EQ(crypto::toHex(crypto::sha256("")),
            "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
  EXPECT_EQ(crypto::toHex(crypto::sha256("abc")),
            "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
}

TEST(Crypto, ConstantTimeEqual) {
  EXPECT_TRUE(crypto::constantTimeEqual("", ""));
  EXPECT_TRUE(crypto::constantTimeEqual("abc", "abc"));
  EXPECT_FALSE(crypto::constantTimeEqual("abc", "abd"));
  EXPECT_FALSE(crypto::constantTimeEqual("abc", "abcd"));
}

}  // namespace
