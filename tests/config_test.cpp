#include "tavrine/base/config.h"

#include "tavrine/build_config.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

// A NULL-terminated environment block built from strings.
class Block {
 public:
  explicit Block(std::vector<std::string> entries) : entries_(std::move(entries)) {
    for (auto& entry : entries_) pointers_.push_back(entry.data());
    pointers_.push_back(nullptr);
  }
  char* const* get() { return pointers_.data(); }

 private:
  std::vector<std::string> entries_;
  std::vector<char*> pointers_;
};

struct EnvironmentCase {
  std::vector<std::string> entries;
  Mode expected;
};

TEST(ConfigChoice, EnvironmentVariableDecidesWithoutOverride) {
  const std::vector<EnvironmentCase> cases = {
      {{}, Mode::prod},
      {{"TAVRINE_ENV=dev"}, Mode::dev},
      {{"TAVRINE_ENV=development"}, Mode::dev},
      {{"TAVRINE_ENV=DEV"}, Mode::prod},
      {{"TAVRINE_ENV=Development"}, Mode::prod},
      {{"TAVRINE_ENV=dev "}, Mode::prod},
      {{"TAVRINE_ENV="}, Mode::prod},
      {{"TAVRINE_ENVX=dev"}, Mode::prod},
      {{"tavrine_env=dev"}, Mode::prod},
      {{"TAVRINE_ENV=prod", "TAVRINE_ENV=dev"}, Mode::prod},
      {{"TAVRINE_ENV=dev", "TAVRINE_ENV=prod"}, Mode::dev},
      {{"", "PATH=/bin", "", "TAVRINE_ENV=dev"}, Mode::dev},
  };
  for (const auto& c : cases) {
    Block block(c.entries);
    EXPECT_EQ(config::choose(std::nullopt, block.get()).mode, c.expected)
        << "entries: " << ::testing::PrintToString(c.entries);
  }
}

TEST(ConfigChoice, OverrideWinsOverEnvironment) {
  Block dev_env({"TAVRINE_ENV=dev"});
  EXPECT_EQ(config::choose(Mode::prod, dev_env.get()).mode, Mode::prod);
  Block empty({});
  EXPECT_EQ(config::choose(Mode::dev, empty.get()).mode, Mode::dev);
}

TEST(ConfigTables, DevelopmentAndProductionValues) {
  const Config& dev = config::development();
  EXPECT_EQ(dev.api_base, "http://localhost:8000/api/v1/agent");
  EXPECT_EQ(dev.register_endpoint, "http://localhost:8000/api/v1/agent/register/");
  EXPECT_EQ(dev.tavrine_endpoint, "http://localhost:8000/api/v1/agent/tavrine/");
  EXPECT_EQ(dev.oauth_authorize_url, "http://localhost:8000/o/authorize/");
  EXPECT_EQ(dev.oauth_token_url, "http://localhost:8000/o/token/");
  EXPECT_EQ(dev.update_base_url, "http://localhost:3000");
  EXPECT_EQ(dev.interval_seconds, 30u);

  const Config& prod = config::production();
  EXPECT_EQ(prod.interval_seconds, 60u);
  EXPECT_TRUE(prod.api_base.starts_with("https://"));
  EXPECT_TRUE(prod.update_base_url.starts_with("https://"));
  EXPECT_TRUE(prod.api_base.ends_with("/api/v1/agent"));
  EXPECT_NE(prod.api_base.substr(0, prod.api_base.size() - 13), prod.update_base_url);
  for (const Config* table : {&dev, &prod}) {
    EXPECT_EQ(std::string(table->update_manifest_url),
              std::string(table->update_base_url) + "/updates/manifest.json");
  }
  // The development key stays the one the development backend verifies;
  // the production key is the one the build was configured with.
  EXPECT_EQ(dev.signing_key, "sample-hmac-key-for-local-test-001");
  EXPECT_EQ(prod.signing_key, TAVRINE_PROD_HMAC_KEY);
  EXPECT_EQ(modeName(Mode::dev), "dev");
  EXPECT_EQ(modeName(Mode::prod), "prod");
}

}  // namespace
