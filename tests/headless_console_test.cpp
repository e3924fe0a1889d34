// ctest-properties: LABELS threaded
#include "support/process.h"
#include "support/temp_dir.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <csignal>
#include <filesystem>
#include <string>

namespace {

using namespace std::chrono_literals;
using test_support::BackgroundProcess;

class HeadlessConsole : public ::testing::Test {
 protected:
  test_support::Environment environment() const {
    test_support::Environment env;
    env.set = {{"HOME", home_.path()}};
    return env;
  }

  // The driver with its console on a pipe (or on /dev/null), once its loop is
  // about to run.
  std::unique_ptr<BackgroundProcess> start(bool pipe_input, const std::string& mode = "menu") {
    auto process = std::make_unique<BackgroundProcess>(
        std::vector<std::string>{HEADLESS_CONSOLE_DRIVER, mode}, environment(), pipe_input);
    EXPECT_TRUE(process->waitForError("Agent running.", 10s)) << process->errorOutput();
    return process;
  }

  test_support::TempDir home_;
};

TEST_F(HeadlessConsole, CommandsUseTheMenuAndQuitEndsWithStatusZero) {
  auto agent = start(true);
  agent->writeInput("menu\nclick Login...\nfrobnicate\nclick Nothing\nclick Status: Starting...\n");
  ASSERT_TRUE(agent->waitForError("Status: Starting...\" cannot be chosen", 10s))
      << agent->errorOutput();
  agent->writeInput("click Quit Tavrine\n");
  const auto ended = agent->wait(10s);
  ASSERT_TRUE(ended);
  EXPECT_EQ(ended->exit_code, 0) << ended->err;
  for (const char* line : {
           "notification: Device Trust Agent is running\n",
           "menu: Status: Starting... (disabled)\nmenu: ---\nmenu: Login...\n"
           "menu: Check for Updates...\nmenu: ---\nmenu: Quit Tavrine\n",
           "error: unknown console command \"frobnicate\"",
           "error: no menu entry \"Nothing\"\n",
       }) {
    EXPECT_NE(ended->err.find(line), std::string::npos) << line << "\nin:\n" << ended->err;
  }
}

TEST_F(HeadlessConsole, TheTailOfAnOverlongLineIsNoCommand) {
  auto agent = start(true);
  agent->writeInput(std::string(5120, 'A') + "click Quit Tavrine\nmenu\n");
  ASSERT_TRUE(agent->waitForError("menu: Quit Tavrine\n", 10s)) << agent->errorOutput();
  EXPECT_FALSE(agent->wait(300ms)) << "the agent keeps running";
  const std::string output = agent->errorOutput();
  const auto too_long = output.find("error: console line too long\n");
  ASSERT_NE(too_long, std::string::npos) << output;
  EXPECT_EQ(output.find("error:", too_long + 1), std::string::npos) << output;
  agent->writeInput("click Quit Tavrine\n");
  const auto ended = agent->wait(10s);
  ASSERT_TRUE(ended);
  EXPECT_EQ(ended->exit_code, 0);
}

TEST_F(HeadlessConsole, MenuSetUpWithAFifoForCredentials) {
  const std::string tokens = home_.path() + "/Library/Application Support/Tavrine/tokens.json";
  std::filesystem::create_directories(std::filesystem::path(tokens).parent_path());
  ASSERT_EQ(::mkfifo(tokens.c_str(), 0600), 0);
  auto agent = start(true);
  agent->writeInput("menu\n");
  EXPECT_TRUE(agent->waitForError("menu: Login...\n", 10s)) << agent->errorOutput();
}

TEST_F(HeadlessConsole, AnswerCommandAnswersTheAlert) {
  auto agent = start(true, "alert");
  ASSERT_TRUE(
      agent->waitForError("alert: Update Available: Version 9.9.9 is available. You are "
                          "running version 0.2.0. [Update Now] [Later]\n",
                          10s))
      << agent->errorOutput();
  agent->writeInput("answer Never\nanswer Update Now\n");
  ASSERT_TRUE(agent->waitForError("modal result: 1000\n", 10s)) << agent->errorOutput();
  EXPECT_NE(agent->errorOutput().find("error: the alert has no button \"Never\""),
            std::string::npos);
  agent->writeInput("click Quit Tavrine\n");
  const auto ended = agent->wait(10s);
  ASSERT_TRUE(ended);
  EXPECT_EQ(ended->exit_code, 0);
}

TEST_F(HeadlessConsole, EndOfInputAnswersWithTheLastButtonAndChangesNothingElse) {
  for (const bool pipe_input : {false, true}) {
    auto agent = start(pipe_input, "alert");
    if (pipe_input) agent->closeInput();
    ASSERT_TRUE(agent->waitForError("modal result: 1001\n", 10s)) << agent->errorOutput();
    EXPECT_FALSE(agent->wait(300ms)) << "the agent keeps running";
    agent->signal(SIGTERM);
    const auto ended = agent->wait(10s);
    ASSERT_TRUE(ended);
    EXPECT_EQ(ended->exit_code, 0);
  }
}

TEST_F(HeadlessConsole, TerminationSignalsQuitWithStatusZero) {
  for (const int signal_number : {SIGTERM, SIGINT}) {
    auto agent = start(true);
    const auto sent = std::chrono::steady_clock::now();
    agent->signal(signal_number);
    const auto ended = agent->wait(10s);
    ASSERT_TRUE(ended) << "signal " << signal_number;
    EXPECT_LT(std::chrono::steady_clock::now() - sent, 1s);
    EXPECT_EQ(ended->exit_code, 0) << ended->err;
    EXPECT_EQ(ended->term_signal, 0);
    EXPECT_NE(test_support::readFile(home_.path() + "/Library/Logs/Tavrine/agent.log")
                  .find("Agent running. Click the menu bar icon to quit.\n"),
              std::string::npos);
  }
}

}  // namespace
