#include "tavrine/signin/token_store.h"

#include "support/scoped_variable.h"
#include "support/temp_dir.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <string>

namespace {

using test_support::readFile;
using test_support::ScopedHome;
using test_support::writeFile;

mode_t permissionsOf(const std::string& path) {
  struct stat info {};
  if (::stat(path.c_str(), &info) != 0) return 0;
  return info.st_mode & 07777;
}


TEST(TokenStoreRoundTrip, EveryShapeOfRecordReadsBackAsSaved) {
  const std::vector<StoredTokens> records = {
      {},
      {"access", std::nullopt, std::nullopt, std::nullopt},
      {std::nullopt, std::nullopt, std::nullopt, "user@example.com"},
      {"a-1", "r-2", "d-3", "u@example.com"},
      {"", "", "", ""},
      {R"(with "quotes" inside)", R"(back\slash\)", R"(\"both\\")", "\\"},
      {"ends with backslash\\", std::nullopt, "tab\tand\nnewline", "\\n stays"},
  };
  for (const StoredTokens& record : records) {
    ScopedHome home;
    ASSERT_TRUE(token_store::save(record));
    const auto loaded = token_store::load();
    ASSERT_TRUE(loaded);
    EXPECT_EQ(*loaded, record) << readFile(home.tokenFile());
    EXPECT_EQ(token_store::isLoggedIn(), record.access_token.has_value());
  }
}

TEST(TokenStoreFormat, ExactBytesOnDisk) {
  ScopedHome home;
  ASSERT_TRUE(token_store::save({}));
  EXPECT_EQ(readFile(home.tokenFile()), "{\n}\n");

  ASSERT_TRUE(token_store::save({"abc", std::nullopt, std::nullopt, std::nullopt}));
  EXPECT_EQ(readFile(home.tokenFile()), "{\n  \"access_token\": \"abc\"\n}\n");

  ASSERT_TRUE(token_store::save({"a", "r", "d", "e@x"}));
  EXPECT_EQ(readFile(home.tokenFile()),
            "{\n"
            "  \"access_token\": \"a\",\n"
            "  \"refresh_token\": \"r\",\n"
            "  \"device_token\": \"d\",\n"
            "  \"user_email\": \"e@x\"\n"
            "}\n");

  ASSERT_TRUE(token_store::save({R"(q"b\)", std::nullopt, std::nullopt, std::nullopt}));
  EXPECT_EQ(readFile(home.tokenFile()), "{\n  \"access_token\": \"q\\\"b\\\\\"\n}\n");
}

TEST(TokenStoreReader, PlainTextRules) {
  struct Case {
    std::string text;
    std::optional<std::string> access_token;
  };
  const std::vector<Case> cases = {
      {"{\"access_token\":\"tight\"}", std::nullopt},               // no blank after the colon
      {"{\"access_token\":  \"two\"}", std::nullopt},               // two blanks
      {"{\"access_token\": \"open", std::nullopt},                  // no closing quote
      {"{\"access_token\": \"", std::nullopt},                      // pattern ends the text
      {"{\"access_token\": \"\"}", ""},                             // present, empty
      {"not json at all \"access_token\": \"x\" trailing", "x"},    // context ignored
      {"{\"user_email\": \"\\\"access_token\\\": \\\"inner\"}", std::nullopt},
      {"{\"refresh_token\": \"\"access_token\": \"first\", \"access_token\": \"second\"}",
       "first"},                                                    // first occurrence wins
      {"{\"access_token\": \"raw\\nkept\\u0041\"}", "raw\\nkept\\u0041"},  // other escapes stay
      {"{\"access_token\": \"a\\\\\"}", "a\\"},                     // \\ then the closing quote
  };
  for (const Case& c : cases) {
    const auto value = token_store::extractAndDupe(c.text, "access_token");
    ASSERT_TRUE(value);
    EXPECT_EQ(*value, c.access_token) << c.text;
  }
}

TEST(TokenStoreLoad, MissingFileAndSizeLimit) {
  ScopedHome home;
  auto empty = token_store::load();
  ASSERT_TRUE(empty);
  EXPECT_EQ(*empty, StoredTokens{});
  EXPECT_FALSE(token_store::isLoggedIn());
  EXPECT_TRUE(token_store::clear());  // nothing to delete is still success

  const std::string head = "{\n  \"access_token\": \"big\"\n}\n";
  std::string exact = head + std::string(token_store::kMaxFileSize - head.size(), ' ');
  writeFile(home.tokenFile(), exact);
  auto loaded = token_store::load();
  ASSERT_TRUE(loaded);
  EXPECT_EQ(loaded->access_token, "big");

  writeFile(home.tokenFile(), exact + " ");
  EXPECT_EQ(token_store::load().error(), Error::FileTooBig);
  EXPECT_FALSE(token_store::isLoggedIn());
}

TEST(TokenStoreLoad, DirectoryInPlaceOfTheFile) {
  ScopedHome home;
  std::filesystem::create_directories(home.tokenFile());
  EXPECT_EQ(token_store::load().error(), Error::IsDir);
  EXPECT_EQ(token_store::clear().error(), Error::IsDir);
  EXPECT_FALSE(token_store::save({"x", std::nullopt, std::nullopt, std::nullopt}));
  EXPECT_TRUE(std::filesystem::is_directory(home.tokenFile()));
}

TEST(TokenStoreHome, UnsetRelativeEmptyAndTooLong) {
  const test_support::ScopedVariable home("HOME", std::nullopt);
  EXPECT_EQ(token_store::load().error(), Error::NoHomeDir);
  EXPECT_EQ(token_store::save({}).error(), Error::NoHomeDir);
  EXPECT_EQ(token_store::clear().error(), Error::NoHomeDir);
  EXPECT_FALSE(token_store::isLoggedIn());

  ::setenv("HOME", "relative/home", 1);
  EXPECT_EQ(token_store::load().error(), Error::InvalidHomeDir);
  EXPECT_EQ(token_store::save({}).error(), Error::InvalidHomeDir);
  EXPECT_FALSE(token_store::isLoggedIn());

  ::setenv("HOME", "", 1);
  EXPECT_EQ(*token_store::getStorageDir(), "/Library/Application Support/Tavrine");

  // tokens.json path of exactly 1,024 bytes is refused, 1,023 is not.
  const std::string suffix = "/Library/Application Support/Tavrine/tokens.json";
  // Components stay short: only the length of the whole path is at stake.
  const auto homeOfLength = [](size_t length) {
    std::string home;
    while (home.size() < length) home += "/" + std::string(99, 'h');
    home.resize(length);
    return home;
  };
  ::setenv("HOME", homeOfLength(1024 - suffix.size()).c_str(), 1);
  EXPECT_EQ(token_store::load().error(), Error::NameTooLong);
  EXPECT_EQ(token_store::clear().error(), Error::NameTooLong);
  ::setenv("HOME", homeOfLength(1023 - suffix.size()).c_str(), 1);
  EXPECT_TRUE(token_store::load());  // a missing file under a long but legal path
}

TEST(TokenStoreSave, PrivatePermissionsAndMissingParents) {
  ScopedHome home;
  ::umask(022);
  ASSERT_TRUE(token_store::save({"secret", std::nullopt, std::nullopt, std::nullopt}));
  const std::string dir = home.path() + "/Library/Application Support/Tavrine";
  EXPECT_EQ(permissionsOf(dir), 0700u);
  EXPECT_EQ(permissionsOf(home.path() + "/Library"), 0700u);
  EXPECT_EQ(permissionsOf(home.tokenFile()), 0600u);

  // A file left world-readable by an earlier version becomes private too.
  ::chmod(home.tokenFile().c_str(), 0644);
  ASSERT_TRUE(token_store::save({"again", std::nullopt, std::nullopt, std::nullopt}));
  EXPECT_EQ(permissionsOf(home.tokenFile()), 0600u);
  // No temporary file is left beside it.
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir),
                          std::filesystem::directory_iterator()),
            1);
}

TEST(TokenStoreSave, FailedSaveLeavesTheOldFileIntact) {
  ScopedHome home;
  const StoredTokens old_tokens{"old", "keep", std::nullopt, std::nullopt};
  ASSERT_TRUE(token_store::save(old_tokens));
  const std::string before = readFile(home.tokenFile());
  const std::string dir = home.path() + "/Library/Application Support/Tavrine";

  // A write that runs out of room half way: the file-size limit stops it
  // after a few bytes, whoever runs the test (directory permissions do not
  // stop root). Done in a child so the limit stays there.
  const pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    ::signal(SIGXFSZ, SIG_IGN);
    const struct rlimit limit {16, 16};
    ::setrlimit(RLIMIT_FSIZE, &limit);
    const auto saved = token_store::save({std::string(4096, 'n'), std::nullopt, std::nullopt,
                                          std::nullopt});
    ::_exit(saved ? 0 : 10 + static_cast<int>(saved.error()));
  }
  int status = 0;
  ASSERT_EQ(::waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 10 + static_cast<int>(Error::FileTooBig));
  EXPECT_EQ(readFile(home.tokenFile()), before);
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir),
                          std::filesystem::directory_iterator()),
            1)
      << "the temporary file must be removed";
  EXPECT_EQ(*token_store::load(), old_tokens);

  if (::geteuid() != 0) {
    ::chmod(dir.c_str(), 0500);
    EXPECT_EQ(token_store::save({"new", std::nullopt, std::nullopt, std::nullopt}).error(),
              Error::AccessDenied);
    ::chmod(dir.c_str(), 0700);
    EXPECT_EQ(readFile(home.tokenFile()), before);
  }
}

// What is saved can be read back: a record whose file would pass the
// reader's limit (escaping doubles a backslash) is refused before anything is
// written, and the file of the limit's exact size still saves and loads.
TEST(TokenStoreSave, RecordLargerThanTheReaderTakesIsRefused) {
  ScopedHome home;
  const StoredTokens old_tokens{"old", std::nullopt, "device", std::nullopt};
  ASSERT_TRUE(token_store::save(old_tokens));
  const std::string before = readFile(home.tokenFile());

  const StoredTokens escaped{std::string(700'000, '\\'), std::nullopt, std::nullopt, std::nullopt};
  const auto refused = token_store::save(escaped);
  ASSERT_FALSE(refused);
  EXPECT_EQ(refused.error(), Error::FileTooBig);
  EXPECT_EQ(readFile(home.tokenFile()), before);

  const size_t overhead =
      token_store::formatFile({"", std::nullopt, std::nullopt, std::nullopt}).size();
  StoredTokens largest{std::string(token_store::kMaxFileSize - overhead, 'a'), std::nullopt,
                             std::nullopt, std::nullopt};
  ASSERT_TRUE(token_store::save(largest));
  EXPECT_EQ(readFile(home.tokenFile()).size(), token_store::kMaxFileSize);
  EXPECT_EQ(*token_store::load(), largest);
  largest.access_token->push_back('a');
  EXPECT_EQ(token_store::save(largest).error(), Error::FileTooBig);
}

}  // namespace
