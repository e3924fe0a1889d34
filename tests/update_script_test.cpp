// The swap script on its own: generated for an executable in a temporary
// directory, run by the real /bin/bash, with the old and new builds played
// by small shell programs that note every start (the new one gives its sign
// of life as it starts), and the agent it waits for by a real process that
// holds the write end of a FIFO on the script's descriptor 3. Its pause is a
// stand-in sleep that returns at once, so a build that never answers "help"
// is given up after a hundred rounds instead of ten seconds.
#include "tavrine/update/update_install.h"

#include "support/process.h"
#include "support/temp_dir.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <memory>
#include <string>
#include <thread>

namespace {

using namespace std::chrono_literals;
using test_support::BackgroundProcess;
using test_support::readFile;
using test_support::TempDir;
using test_support::writeFile;

void writeProgram(const std::string& path, const std::string& body) {
  writeFile(path, "#!/bin/sh\n" + body);
  ASSERT_EQ(::chmod(path.c_str(), 0755), 0);
}

// The id of a process that has ended and been reaped: an old agent that is
// already gone.
pid_t endedProcess() {
  const pid_t pid = ::fork();
  if (pid == 0) ::_exit(0);
  int status = 0;
  ::waitpid(pid, &status, 0);
  return pid;
}

class SwapScript : public ::testing::Test {
 protected:
  SwapScript() {
    std::filesystem::create_directories(installDir());
    std::filesystem::create_directories(staged());
    // Each build notes its name and its arguments, then answers "help" as
    // its test wants.
    writeProgram(exe_, "echo \"old $*\" >> '" + marks() + "'\n");
    old_build_ = readFile(exe_);
    writeProgram(tools_.file("sleep"), "exit 0\n");
    tools.sleep = tools_.file("sleep");
    // launchd, as far as the script sees it: the stand-in records the call,
    // then the job's executable is started.
    writeProgram(tools_.file("launchctl"), "'" TAVRINE_FIXTURES_DIR
                                           "/launchctl' \"$@\" || exit $?\n"
                                           "\"$TAVRINE_TEST_JOB\" </dev/null &\n");
    tools.launchctl = tools_.file("launchctl");
    handover.agent = endedProcess();
    handover.ready_file = ready();
    handover.ready_wait_seconds = 10;  // room for a loaded machine
  }

  std::string installDir() const { return install_.file("it's a \"b\" $(touch pwned)"); }
  std::string staged() const { return tmp_.file("tavrine-update.abc123"); }
  std::string download() const { return staged() + "/tavrine-update"; }
  std::string script() const { return staged() + "/tavrine-update.sh"; }
  std::string marks() const { return tools_.file("marks"); }
  std::string ready() const { return tools_.file("agent.ready"); }

  // The old agent: a process that holds the write end of the FIFO that the
  // script reads on its descriptor 3.
  std::unique_ptr<BackgroundProcess> startOldAgent() {
    agent_pipe_ = tools_.file("agent.pipe");
    EXPECT_EQ(::mkfifo(agent_pipe_.c_str(), 0600), 0);
    return std::make_unique<BackgroundProcess>(std::vector<std::string>{
        "/bin/sh", "-c", "exec 4>\"$0\"; exec /bin/sleep 600", agent_pipe_});
  }
  // How the agent starts the script: the pipe's read end on descriptor 3.
  std::vector<std::string> scriptCommand() const {
    return {"/bin/bash", "-c", "exec /bin/bash \"$0\" 3<\"$1\"", script(), agent_pipe_};
  }

  // The new build, answering "help" with `help_body` and starting with
  // `start_body` (by default, its sign of life).
  void publish(const std::string& help_body, const std::string& start_body = "") {
    writeProgram(download(), "echo \"new $*\" >> '" + marks() + "'\nif [ \"$1\" = help ]; then " +
                                 help_body + "; else " +
                                 (start_body.empty() ? "echo $$ > '" + ready() + "'" : start_body) +
                                 "; fi\n");
    new_build_ = readFile(download());
    ASSERT_EQ(::chmod(download().c_str(), 0700), 0);
  }

  // A stand-in for `tool` that fails its `failing_call`-th call (after
  // copying the first 10 bytes, as a full disk would) and runs the real one
  // otherwise.
  std::string failing(const std::string& tool, int failing_call) {
    const std::string path = tools_.file("failing-" + tool);
    const std::string count = tools_.file(tool + ".calls");
    std::filesystem::remove(count);  // counted afresh for each stand-in
    writeProgram(path, "n=$(( $(/bin/cat '" + count +
                           "' 2>/dev/null || echo 0) + 1 ))\necho $n > '" + count +
                           "'\nif [ $n -eq " + std::to_string(failing_call) +
                           " ]; then\n  for last; do :; done\n"
                           "  for a; do [ \"$a\" = \"$last\" ] || src=\"$a\"; done\n"
                           "  /usr/bin/head -c 10 \"$src\" > \"$last\"\n  exit 1\nfi\nexec /bin/" +
                           tool + " \"$@\"\n");
    return path;
  }

  void writeScript() {
    writeFile(script(), update_install::scriptText(exe_, download(), staged(), handover, tools));
  }

  // An environment whose PATH names an empty directory; the stand-in
  // launchctl records its calls in the tools' directory.
  test_support::Environment scriptEnvironment() const {
    return {.set = {{"PATH", empty_.path()},
                    {"TAVRINE_STANDIN_DIR", tools_.path()},
                    {"TAVRINE_TEST_JOB", exe_}},
            .unset = {},
            .clear = true};
  }

  // Waits for the builds to have noted `expected_marks`.
  ::testing::AssertionResult marked(const std::string& expected_marks, const std::string& err) {
    for (const auto deadline = std::chrono::steady_clock::now() + 20s;
         readFile(marks()) != expected_marks;) {
      if (std::chrono::steady_clock::now() > deadline) {
        return ::testing::AssertionFailure() << "marks:\n"
                                             << readFile(marks()) << "stderr:\n"
                                             << err;
      }
      std::this_thread::sleep_for(20ms);
    }
    return ::testing::AssertionSuccess();
  }

  // Runs the script and waits for the build it starts at the end to note
  // its start.
  ::testing::AssertionResult run(const std::string& expected_marks, int expected_status = 0) {
    writeScript();
    ran_ = test_support::runProcess(scriptCommand(), scriptEnvironment(), "", 60s);
    if (ran_.exit_code != expected_status) {
      return ::testing::AssertionFailure() << "status " << ran_.exit_code << ": " << ran_.err;
    }
    return marked(expected_marks, ran_.err);
  }

  // Only the executable and its backup are beside it; the staged files and
  // the temporary copy are gone.
  void expectCleanedUp(bool with_backup = true) {
    std::vector<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(installDir())) {
      names.push_back(entry.path().filename().string());
    }
    std::sort(names.begin(), names.end());
    if (with_backup) {
      EXPECT_EQ(names, (std::vector<std::string>{"tavrine", "tavrine.backup"}));
    } else {
      EXPECT_EQ(names, std::vector<std::string>{"tavrine"});
    }
    EXPECT_FALSE(std::filesystem::exists(staged()));
    EXPECT_FALSE(std::filesystem::exists(install_.file("pwned")));
    EXPECT_FALSE(std::filesystem::exists(exe_ + ".update-swap"));
  }

  mode_t modeOf(const std::string& path) const {
    struct stat info {};
    EXPECT_EQ(::lstat(path.c_str(), &info), 0) << path;
    return info.st_mode & 07777;
  }

  TempDir install_, tmp_, tools_, empty_;
  std::string exe_ = installDir() + "/tavrine";
  std::string old_build_, new_build_;
  std::string agent_pipe_ = "/dev/null";  // an agent that has ended
  update_install::SwapTools tools;
  update_install::Handover handover;
  test_support::ProcessResult ran_;
};

TEST_F(SwapScript, ANewBuildThatAnswersHelpReplacesTheOldOneWithMode0755AndStarts) {
  ASSERT_NO_FATAL_FAILURE(publish("exit 0"));
  ASSERT_TRUE(run("new help\nnew \n"));
  EXPECT_EQ(readFile(exe_), new_build_);
  EXPECT_EQ(modeOf(exe_), 0755u);
  EXPECT_EQ(readFile(exe_ + ".backup"), old_build_);
  expectCleanedUp();
}

// The same bound on the real clock, with the real sleep: ten seconds for the
// build that never answers (the old agent has ended already).
TEST_F(SwapScript, ABuildThatHangsOnHelpIsGivenTenSecondsOnTheRealClock) {
  ASSERT_NO_FATAL_FAILURE(publish("exec /bin/sleep 600"));
  tools.sleep = update_install::SwapTools{}.sleep;
  const auto started = std::chrono::steady_clock::now();
  ASSERT_TRUE(run("new help\nold \n"));
  const auto elapsed = std::chrono::steady_clock::now() - started;
  EXPECT_GE(elapsed, 10s);
  EXPECT_LT(elapsed, 60s);
  EXPECT_EQ(readFile(exe_), old_build_);
}

// A new build that fails its check (fails, crashes or hangs on `help`), or
// that once started ends or stays silent before its sign of life, is
// replaced by the backup, and the old build starts.
TEST_F(SwapScript, ABuildThatFailsItsCheckOrGivesNoSignOfLifeIsRolledBack) {
  handover.ready_wait_seconds = 2;
  const struct {
    std::string help, start, marks;
  } cases[] = {
      {"exit 1", "", "new help\nold \n"},
      {"kill -SEGV $$", "", "new help\nold \n"},
      {"exec /bin/sleep 600", "", "new help\nold \n"},
      {"exit 0", "exit 1", "new help\nnew \nold \n"},
      {"exit 0", "exec /bin/sleep 600", "new help\nnew \nold \n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.help + " / " + c.start);
    ASSERT_NO_FATAL_FAILURE(publish(c.help, c.start));
    std::filesystem::create_directories(staged());
    std::filesystem::remove(marks());
    ASSERT_TRUE(run(c.marks));
    EXPECT_EQ(!c.start.empty(),
              ran_.err.find("the new build gave no sign of life") != std::string::npos)
        << ran_.err;
    EXPECT_EQ(readFile(exe_), old_build_);
    EXPECT_EQ(readFile(exe_ + ".backup"), old_build_);
    expectCleanedUp();
  }
}

// A copy, move or mode change that fails (a full disk) leaves the old build
// in place and started: failing while the backup is copied moves nothing;
// failing on the new build keeps the backup; failing on the copy back of the
// backup puts the backup itself back.
TEST_F(SwapScript, AFailedCopyMoveOrChmodLeavesTheOldBuildInPlace) {
  const struct {
    std::string tool;
    int call;
    std::string help, marks;
    bool backup_kept;
  } cases[] = {
      {"cp", 1, "exit 0", "old \n", false},           // the backup's copy
      {"cp", 2, "exit 0", "old \n", true},            // the new build's copy
      {"mv", 2, "exit 0", "old \n", true},            // the new build's move
      {"chmod", 1, "exit 0", "old \n", true},         // the new build's mode
      {"cp", 3, "exit 1", "new help\nold \n", false},  // the copy back of the backup
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.tool + " call " + std::to_string(c.call));
    ASSERT_NO_FATAL_FAILURE(publish(c.help));
    std::filesystem::create_directories(staged());
    std::filesystem::remove(marks());
    std::filesystem::remove(exe_ + ".backup");
    const update_install::SwapTools working = tools;
    const std::string stand_in = failing(c.tool, c.call);
    if (c.tool == "cp") tools.cp = stand_in;
    if (c.tool == "mv") tools.mv = stand_in;
    if (c.tool == "chmod") tools.chmod = stand_in;
    ASSERT_TRUE(run(c.marks));
    tools = working;
    EXPECT_EQ(readFile(exe_), old_build_);
    EXPECT_EQ(modeOf(exe_), 0755u);
    EXPECT_EQ(std::filesystem::exists(exe_ + ".backup"), c.backup_kept);
    if (c.backup_kept) {
      EXPECT_EQ(readFile(exe_ + ".backup"), old_build_);
    }
    if (c.call < 3) expectCleanedUp(c.backup_kept);
  }
}

TEST_F(SwapScript, ALinkPlantedAtTheBackupOrTheTemporaryNameIsReplacedNotWrittenThrough) {
  ASSERT_NO_FATAL_FAILURE(publish("exit 0"));
  TempDir elsewhere;
  writeFile(elsewhere.file("victim"), "keep me");
  ASSERT_EQ(::symlink(elsewhere.file("victim").c_str(), (exe_ + ".backup").c_str()), 0);
  ASSERT_EQ(::symlink(elsewhere.file("victim").c_str(), (exe_ + ".update-swap").c_str()), 0);
  ASSERT_TRUE(run("new help\nnew \n"));
  EXPECT_EQ(readFile(elsewhere.file("victim")), "keep me");
  EXPECT_EQ(readFile(exe_ + ".backup"), old_build_);
  EXPECT_FALSE(std::filesystem::is_symlink(exe_ + ".backup"));
  EXPECT_EQ(readFile(exe_), new_build_);
  expectCleanedUp();

  // A link to a directory: the backup must not land inside it.
  std::filesystem::remove(exe_ + ".backup");
  std::filesystem::create_directories(staged());
  ASSERT_NO_FATAL_FAILURE(publish("exit 0"));
  std::filesystem::remove(marks());
  ASSERT_EQ(::symlink(elsewhere.path().c_str(), (exe_ + ".backup").c_str()), 0);
  ASSERT_TRUE(run("new help\nnew \n"));
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(elsewhere.path()),
                          std::filesystem::directory_iterator()),
            1);
  expectCleanedUp();
}

TEST_F(SwapScript, TheSwapWaitsForTheOldAgentToEndAndThenGoesAhead) {
  ASSERT_NO_FATAL_FAILURE(publish("exit 0"));
  tools.sleep = update_install::SwapTools{}.sleep;  // thirty real seconds of room
  const auto agent = startOldAgent();
  handover.agent = agent->pid();
  writeScript();
  BackgroundProcess swap(scriptCommand(), scriptEnvironment());
  std::this_thread::sleep_for(3s);  // longer than any fixed pause would be
  EXPECT_EQ(readFile(exe_), old_build_) << "nothing swapped under a running agent";
  EXPECT_FALSE(std::filesystem::exists(exe_ + ".backup"));
  EXPECT_EQ(readFile(marks()), "");
  agent->signal(SIGTERM);
  ASSERT_TRUE(agent->wait(10s));
  const auto ended = swap.wait(30s);
  ASSERT_TRUE(ended) << swap.errorOutput();
  EXPECT_EQ(ended->exit_code, 0) << swap.errorOutput();
  ASSERT_TRUE(marked("new help\nnew \n", swap.errorOutput()));
  EXPECT_EQ(readFile(exe_), new_build_);
  expectCleanedUp();
}

TEST_F(SwapScript, AnAgentThatOutlivesTheWaitKeepsItsBuildAndNothingIsStarted) {
  ASSERT_NO_FATAL_FAILURE(publish("exit 0"));
  const auto agent = startOldAgent();
  handover.agent = agent->pid();
  handover.agent_wait_seconds = 1;
  ASSERT_TRUE(run("", 1));
  EXPECT_NE(ran_.err.find("Tavrine update not installed: the agent (process " +
                          std::to_string(agent->pid()) + ") still runs\n"),
            std::string::npos)
      << ran_.err;
  EXPECT_EQ(readFile(exe_), old_build_);
  expectCleanedUp(false);
  EXPECT_FALSE(std::filesystem::exists(tools_.file("calls.log")));
}

// launchd starts the new build; when it does not, no sign of life comes and
// the previous build is put back and started through launchd the same way.
TEST_F(SwapScript, UnderLaunchdTheJobIsKickstartedAndNoBuildIsStartedDirectly) {
  handover.launchd_service = "gui/501/com.example.agent";
  const std::string kickstart = "launchctl kickstart -k gui/501/com.example.agent\n";
  for (const bool kickstart_fails : {false, true}) {
    SCOPED_TRACE(kickstart_fails);
    ASSERT_NO_FATAL_FAILURE(publish("exit 0"));
    std::filesystem::create_directories(staged());
    std::filesystem::remove(marks());
    std::filesystem::remove(tools_.file("calls.log"));
    if (kickstart_fails) writeFile(tools_.file("launchctl-kickstart.status"), "5\n");
    writeFile(exe_, old_build_);  // the previous round's new build is gone
    handover.ready_wait_seconds = kickstart_fails ? 2 : 10;
    // The check of the new build, then only what launchd started.
    ASSERT_TRUE(run(kickstart_fails ? "new help\n" : "new help\nnew \n"));
    EXPECT_EQ(readFile(tools_.file("calls.log")),
              kickstart_fails ? kickstart + kickstart : kickstart);
    EXPECT_EQ(ran_.err.find("launchd did not start") != std::string::npos, kickstart_fails)
        << ran_.err;
    EXPECT_EQ(readFile(exe_), kickstart_fails ? old_build_ : new_build_);
    expectCleanedUp();
    // The build launchd started is done before the next round begins.
    for (const auto deadline = std::chrono::steady_clock::now() + 10s;
         !kickstart_fails && !std::filesystem::exists(ready()) &&
         std::chrono::steady_clock::now() < deadline;) {
      std::this_thread::sleep_for(20ms);
    }
  }
}

// What stands at the backup's or the temporary copy's name and is not a
// regular file is removed first: the old build never lands inside it and the
// rollback still works.
TEST_F(SwapScript, AFolderOrFifoAtTheBackupOrTheTemporaryNameIsRemovedFirst) {
  for (const std::string suffix : {".backup", ".update-swap"}) {
    for (const bool fifo : {false, true}) {
      SCOPED_TRACE(suffix + (fifo ? " FIFO" : " folder"));
      ASSERT_NO_FATAL_FAILURE(publish("exit 0", "exit 1"));
      std::filesystem::create_directories(staged());
      std::filesystem::remove(marks());
      const std::string planted = exe_ + suffix;
      if (fifo) {
        ASSERT_EQ(::mkfifo(planted.c_str(), 0600), 0);
      } else {
        std::filesystem::create_directories(planted + "/inner");
      }
      ASSERT_TRUE(run("new help\nnew \nold \n"));
      EXPECT_EQ(readFile(exe_), old_build_);
      EXPECT_EQ(readFile(exe_ + ".backup"), old_build_);
      expectCleanedUp();
      std::filesystem::remove(exe_ + ".backup");
    }
  }
}

// The wait is on the agent's pipe, not its process id: an id that another
// process has taken, or that belongs to a zombie, holds nothing up.
TEST_F(SwapScript, AnAgentsIdThatLivesOnHoldsNothingUp) {
  const pid_t zombie = ::fork();
  if (zombie == 0) ::_exit(0);
  for (const pid_t id : {::getpid(), zombie}) {
    SCOPED_TRACE(id);
    ASSERT_NO_FATAL_FAILURE(publish("exit 0"));
    std::filesystem::create_directories(staged());
    std::filesystem::remove(marks());
    handover.agent = id;
    ASSERT_TRUE(run("new help\nnew \n"));
    EXPECT_EQ(readFile(exe_), new_build_);
    expectCleanedUp();
  }
  int status = 0;
  ::waitpid(zombie, &status, 0);
}

TEST(SwapTools, EveryToolIsAnAbsolutePathThatMacOsAndDebianHave) {
  const update_install::SwapTools tools;
  for (const std::string& path :
       {tools.sleep, tools.cp, tools.mv, tools.chmod, tools.rm, tools.rmdir}) {
    EXPECT_TRUE(path.starts_with("/bin/")) << path;
    EXPECT_EQ(::access(path.c_str(), X_OK), 0) << path;
  }
  EXPECT_EQ(tools.launchctl, "/bin/launchctl");  // macOS only
}

}  // namespace
