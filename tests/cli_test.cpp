#include "tavrine/cli.h"

#include "support/process.h"
#include "support/temp_dir.h"

#include <fmt/format.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>

#include <string>
#include <vector>

namespace {

using namespace std::chrono_literals;
using test_support::Environment;
using test_support::ProcessResult;
using test_support::runProcess;
using test_support::TempDir;
using test_support::writeFile;

struct ArgumentCase {
  std::vector<const char*> arguments;
  std::optional<Mode> mode;
  std::optional<std::string_view> word;
  int development_lines;
  cli::Command command;
};

TEST(CommandLine, EveryArgumentIsReadAndTheLastModeWins) {
  using cli::Command;
  const std::vector<ArgumentCase> cases = {
      {{}, std::nullopt, std::nullopt, 0, Command::agent},
      {{"status", "--dev"}, Mode::dev, "status", 1, Command::status},
      {{"--dev", "status"}, Mode::dev, "status", 1, Command::status},
      {{"-d", "-d"}, Mode::dev, std::nullopt, 2, Command::agent},
      {{"--dev", "--prod", "status"}, Mode::prod, "status", 1, Command::status},
      {{"-p", "-d"}, Mode::dev, std::nullopt, 1, Command::agent},
      {{"login", "logout"}, std::nullopt, "login", 0, Command::login},
      {{"logout"}, std::nullopt, "logout", 0, Command::logout},
      {{"--verbose"}, std::nullopt, "--verbose", 0, Command::agent},
      {{"-x"}, std::nullopt, "-x", 0, Command::agent},
      {{"foo", "status"}, std::nullopt, "foo", 0, Command::agent},
      {{"HELP"}, std::nullopt, "HELP", 0, Command::agent},
      {{"help"}, std::nullopt, "help", 0, Command::help},
      {{"--help"}, std::nullopt, "--help", 0, Command::help},
      {{"-h", "-p"}, Mode::prod, "-h", 0, Command::help},
      {{"--DEV"}, std::nullopt, "--DEV", 0, Command::agent},
      {{""}, std::nullopt, "", 0, Command::agent},
  };
  for (const ArgumentCase& c : cases) {
    const cli::Arguments parsed = cli::parseArguments(c.arguments);
    const std::string label = ::testing::PrintToString(c.arguments);
    EXPECT_EQ(parsed.mode_override, c.mode) << label;
    EXPECT_EQ(parsed.command_word, c.word) << label;
    EXPECT_EQ(parsed.development_options, c.development_lines) << label;
    EXPECT_EQ(cli::commandFor(parsed.command_word), c.command) << label;
  }
}

// The built binary, run with a temporary HOME (or none) and no TAVRINE_ENV.
class TavrineProcess : public ::testing::Test {
 protected:
  ProcessResult run(std::vector<std::string> arguments, Environment env = {},
                    std::chrono::milliseconds timeout = std::chrono::seconds(30)) {
    arguments.insert(arguments.begin(), TAVRINE_BINARY);
    env.unset.push_back("TAVRINE_ENV");
    if (!home_unset_) env.set.emplace_back("HOME", home_.path());
    env.unset.push_back("HOME");
    ProcessResult result = runProcess(arguments, env, "", timeout);
    EXPECT_EQ(result.out, "") << "nothing is ever written to standard output";
    return result;
  }
  std::string tokenFile() const {
    return home_.path() + "/Library/Application Support/Tavrine/tokens.json";
  }
  std::string logFile() const { return home_.path() + "/Library/Logs/Tavrine/agent.log"; }

  TempDir home_;
  bool home_unset_ = false;
};

constexpr std::string_view kHelp =
    "Tavrine - Device Trust Agent v0.1.0\n\nUsage: tavrine [options] [command]\n\nCommands:\n"
    "  (none)    Run the tavrine agent (default)\n"
    "  login     Log in via browser to link this device to your account\n"
    "  logout    Log out and clear stored credentials\n"
    "  status    Show current login and device status\n"
    "  help      Show this help message\n\nOptions:\n"
    "  --dev, -d   Use development server (localhost:8000)\n"
    "  --prod, -p  Use production server (default)\n\nEnvironment:\n"
    "  TAVRINE_ENV=dev   Set development mode via environment variable\n\n";

TEST_F(TavrineProcess, HelpIsExactAndNotLogged) {
  for (const char* word : {"help", "--help", "-h"}) {
    const ProcessResult result = run({word});
    EXPECT_EQ(result.exit_code, 0) << word;
    EXPECT_EQ(result.err, kHelp) << word;
  }
  EXPECT_EQ(test_support::readFile(logFile()), "") << "help is console only";
}

TEST_F(TavrineProcess, StatusInBothModes) {
  const std::string prod_head = fmt::format("Mode: prod\nServer: {}\nUpdates: {}\n",
                                            config::production().api_base,
                                            config::production().update_manifest_url);
  const std::string dev_head =
      "Mode: dev\nServer: http://localhost:8000/api/v1/agent\n"
      "Updates: http://localhost:3000/updates/manifest.json\n";
  const std::string signed_out =
      "Status: Not logged in\nDevice: Not registered\nDevice key: none yet\n";
  const auto withEnv = [](const char* value) {
    Environment env;
    env.set.emplace_back("TAVRINE_ENV", value);
    return env;
  };

  EXPECT_EQ(run({"status"}).err, prod_head + signed_out);
  EXPECT_EQ(run({"--dev", "status"}).err,
            "Development mode enabled (localhost:8000)\n" + dev_head + signed_out);
  EXPECT_EQ(run({"status", "-d"}).err,
            "Development mode enabled (localhost:8000)\n" + dev_head + signed_out);
  EXPECT_EQ(run({"-d", "-p", "status"}).err,
            "Development mode enabled (localhost:8000)\n" + prod_head + signed_out);
  EXPECT_EQ(run({"status"}, withEnv("development")).err, dev_head + signed_out);
  EXPECT_EQ(run({"status"}, withEnv("Dev")).err, prod_head + signed_out);

  // The development line is a logged line; the status report is not.
  EXPECT_EQ(test_support::readFile(logFile()),
            "Development mode enabled (localhost:8000)\n"
            "Development mode enabled (localhost:8000)\n"
            "Development mode enabled (localhost:8000)\n");
}

TEST_F(TavrineProcess, StatusWithCredentials) {
  writeFile(tokenFile(),
            "{\n  \"access_token\": \"a\",\n  \"device_token\": \"d\",\n"
            "  \"user_email\": \"me@example.com\"\n}\n");
  ProcessResult result = run({"status"});
  EXPECT_EQ(result.exit_code, 0);
  EXPECT_TRUE(result.err.ends_with("Tokens loaded from " + tokenFile() +
                                   "\nStatus: Logged in\nUser: me@example.com\n"
                                   "Device: Registered\nDevice key: none yet\n"))
      << result.err;

  writeFile(tokenFile(), "{\n  \"device_token\": \"d\"\n}\n");
  result = run({"status"});
  EXPECT_TRUE(
      result.err.ends_with("Status: Not logged in\nDevice: Registered\nDevice key: none yet\n"))
      << result.err;

  writeFile(tokenFile(), "{\n  \"access_token\": \"\"\n}\n");
  result = run({"status"});
  EXPECT_TRUE(
      result.err.ends_with("Status: Logged in\nDevice: Not registered\nDevice key: none yet\n"))
      << result.err;
}

TEST_F(TavrineProcess, LogoutDeletesTheFile) {
  writeFile(tokenFile(), "{\n  \"access_token\": \"a\"\n}\n");
  const ProcessResult result = run({"logout"});
  EXPECT_EQ(result.exit_code, 0);
  EXPECT_EQ(result.err, "Tokens cleared\nLogged out successfully.\n");
  EXPECT_FALSE(std::filesystem::exists(tokenFile()));
  EXPECT_EQ(test_support::readFile(logFile()), "Tokens cleared\n");
  EXPECT_EQ(run({"logout"}).exit_code, 0) << "no file is still a successful logout";
}

TEST_F(TavrineProcess, WithoutHome) {
  home_unset_ = true;
  ProcessResult result = run({"status"});
  EXPECT_EQ(result.exit_code, 0);
  EXPECT_TRUE(result.err.ends_with("Status: Not logged in\n")) << result.err;
  EXPECT_EQ(result.err.find("Device:"), std::string::npos);

  result = run({"logout"});
  EXPECT_EQ(result.exit_code, 1);
  EXPECT_EQ(result.err, "error: NoHomeDir\n");
  EXPECT_FALSE(std::filesystem::exists(home_.path() + "/Library")) << "no log without HOME";
}

TEST_F(TavrineProcess, LogIsAppendedAcrossRuns) {
  writeFile(logFile(), "earlier run\n");
  run({"-d", "status"});
  run({"--dev", "help"});
  EXPECT_EQ(test_support::readFile(logFile()),
            "earlier run\nDevelopment mode enabled (localhost:8000)\n"
            "Development mode enabled (localhost:8000)\n");
}

TEST_F(TavrineProcess, CredentialsThatAreNotAFileReadAsSignedOut) {
  const std::string dir = std::filesystem::path(tokenFile()).parent_path();
  std::filesystem::create_directories(dir);
  const auto expectIgnored = [&](const char* what, const char* error) {
    const ProcessResult result = run({"status"}, {}, 5s);
    EXPECT_FALSE(result.timed_out) << what;
    EXPECT_EQ(result.exit_code, 0) << what;
    EXPECT_TRUE(result.err.ends_with(
        fmt::format("warning: Credentials file {} is not a regular file, ignored: error.{}\n"
                    "Status: Not logged in\n",
                    tokenFile(), error)))
        << what << ":\n"
        << result.err;
    std::filesystem::remove(tokenFile());
  };
  ASSERT_EQ(::mkfifo(tokenFile().c_str(), 0600), 0);
  expectIgnored("FIFO", "NotRegularFile");
  ASSERT_EQ(::symlink("/dev/zero", tokenFile().c_str()), 0);
  expectIgnored("/dev/zero behind a link", "NotRegularFile");
  std::filesystem::create_directory(tokenFile());
  expectIgnored("directory", "IsDir");

  // A link to a regular file reads as the file; logout removes the link only.
  const std::string target = home_.path() + "/elsewhere.json";
  writeFile(target, "{\n  \"access_token\": \"a\"\n}\n");
  ASSERT_EQ(::symlink(target.c_str(), tokenFile().c_str()), 0);
  ProcessResult result = run({"status"}, {}, 5s);
  EXPECT_EQ(result.err.find("warning:"), std::string::npos) << result.err;
  EXPECT_TRUE(
      result.err.ends_with("Tokens loaded from " + tokenFile() +
                           "\nStatus: Logged in\nDevice: Not registered\nDevice key: none yet\n"))
      << result.err;
  EXPECT_EQ(run({"logout"}, {}, 5s).exit_code, 0);
  EXPECT_FALSE(std::filesystem::exists(std::filesystem::symlink_status(tokenFile())));
  EXPECT_EQ(test_support::readFile(target), "{\n  \"access_token\": \"a\"\n}\n");
}

TEST_F(TavrineProcess, LogThatCannotBeKeptSafely) {
  // A FIFO in place of the log: commands neither wait for a reader nor fail.
  std::filesystem::create_directories(std::filesystem::path(logFile()).parent_path());
  ASSERT_EQ(::mkfifo(logFile().c_str(), 0600), 0);
  for (const char* word : {"help", "status"}) {
    const ProcessResult result = run({"--dev", word}, {}, 5s);
    EXPECT_FALSE(result.timed_out) << word;
    EXPECT_EQ(result.exit_code, 0) << word;
    EXPECT_TRUE(result.err.starts_with("Development mode enabled (localhost:8000)\n")) << word;
  }
  EXPECT_EQ(run({"help"}, {}, 5s).err, kHelp);

  // A relative HOME is refused for the log as for the credentials: nothing
  // appears under the working directory.
  TempDir work;
  Environment env;
  env.set.emplace_back("HOME", "relative/home");
  const ProcessResult result = runProcess(
      {"/bin/sh", "-c", "cd \"$1\" && exec \"$0\" --dev status", TAVRINE_BINARY, work.path()}, env,
      "", 5s);
  EXPECT_EQ(result.exit_code, 0) << result.err;
  EXPECT_TRUE(result.err.ends_with("Status: Not logged in\n")) << result.err;
  EXPECT_TRUE(std::filesystem::is_empty(work.path()));
}

}  // namespace
