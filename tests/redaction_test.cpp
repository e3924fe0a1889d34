#include "tavrine/base/redaction.h"

#include <gtest/gtest.h>

#include <string>
#include <string_view>
#include <vector>

namespace {

using redaction::redactSecrets;

// However the answer writes a credential's member, its value is hidden and
// every other byte stays as it came.
TEST(Redaction, HidesCredentialMembersWhateverTheJsonLooksLike) {
  const struct {
    std::string body;
    std::string shown;
  } cases[] = {
      {R"({"refresh_token" : "RT1", "scope": "read"})",
       R"({"refresh_token" : "[redacted]", "scope": "read"})"},
      {R"({"refresh\u005ftoken":"RT2","a":1})", R"({"refresh\u005ftoken":"[redacted]","a":1})"},
      {"{\"access_token\":\r\n\t\"AT3\"\r\n}", "{\"access_token\":\r\n\t\"[redacted]\"\r\n}"},
      {R"({"access_token":"AT\"4\\"})", R"({"access_token":"[redacted]"})"},
      {R"({"session_token":"S5","token":"T6","Client_SECRET":"C7","PassWord":"P8"})",
       R"({"session_token":"[redacted]","token":"[redacted]","Client_SECRET":"[redacted]",)"
       R"("PassWord":"[redacted]"})"},
      // Any depth; everything inside a credential's value; other types and
      // names kept.
      {R"([{"user":{"id_token":"I9","name":"token"}},{"tokens":["A","B",{"x":"C"}],"n":2}])",
       R"([{"user":{"id_token":"[redacted]","name":"token"}},)"
       R"({"tokens":["[redacted]","[redacted]",{"x":"[redacted]"}],"n":2}])"},
      {R"({"token_type":"Bearer","expires_in":3600,"token_count":5,"token":null})",
       R"({"token_type":"[redacted]","expires_in":3600,"token_count":5,"token":null})"},
      {R"({"token":""})", R"({"token":"[redacted]"})"},
      // Error answers stay readable.
      {"{\"detail\"\n: \"exists\"}", "{\"detail\"\n: \"exists\"}"},
      {"Internal Server Error", "Internal Server Error"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(redactSecrets(c.body), c.shown) << c.body;
  }
}

// An answer that is not JSON, or stops half-way: what reads as JSON up to the
// break is searched, and the values the caller took are hidden wherever they
// occur.
TEST(Redaction, HidesTheKnownValuesAnywhereAndSearchesATruncatedAnswer) {
  const std::vector<std::string_view> known = {"sekrit", "aXa"};
  EXPECT_EQ(redactSecrets(R"(<html>sekrit and "token":"sekrit" again sekrit)", known),
            R"(<html>[redacted] and "token":"[redacted]" again [redacted])");
  // Overlapping and adjacent occurrences leave no piece of a value behind.
  EXPECT_EQ(redactSecrets("xaXaXay sekritsekrit.", known), "x[redacted]y [redacted].");
  // A body that breaks inside a credential hides the rest from its quote on.
  EXPECT_EQ(redactSecrets(R"({"access_token":"AT","refresh_token":"RT-cut-sh)"),
            R"({"access_token":"[redacted]","refresh_token":"[redacted])");
  EXPECT_EQ(redactSecrets("{\"n\":1,\"tokens\":[\"a\", \"b\x01c\"], \"x\": \"y\"}"),
            "{\"n\":1,\"tokens\":[\"[redacted]\", \"[redacted]");
  EXPECT_EQ(redactSecrets(R"({"detail": "cut-sh)"), R"({"detail": "cut-sh)");
  // An empty value taken by the caller hides nothing.
  EXPECT_EQ(redactSecrets("plain", std::vector<std::string_view>{""}), "plain");
}

TEST(Redaction, SecretKeyNamesAreMatchedInAnyCase) {
  for (const char* key : {"token", "X-TOKEN", "clientSecret", "db_Password", "tokenize"}) {
    EXPECT_TRUE(redaction::isSecretKey(key)) << key;
  }
  for (const char* key : {"", "tok", "expires_in", "pass", "secre"}) {
    EXPECT_FALSE(redaction::isSecretKey(key)) << key;
  }
}

}  // namespace
