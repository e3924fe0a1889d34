// ctest-properties: LABELS threaded
#include "tavrine/platform/command_runner.h"

#include "tavrine/base/unique_fd.h"

#include "support/process.h"
#include "support/temp_dir.h"

#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gmock/gmock.h>
#include "support/scoped_variable.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <optional>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace {

using test_support::ScopedVariable;

using platform::macos::execCommand;
using platform::macos::execCommandAllowFail;
using platform::macos::findProgram;
using namespace std::chrono_literals;

std::vector<std::string> shell(const std::string& script) { return {"sh", "-c", script}; }

void writeExecutable(const std::string& path, const std::string& script, mode_t mode = 0755) {
  test_support::writeFile(path, script);
  ASSERT_EQ(::chmod(path.c_str(), mode), 0);
}

bool endsWithin(pid_t pid, std::chrono::milliseconds limit) {
  const auto until = std::chrono::steady_clock::now() + limit;
  while (!test_support::processHasEnded(pid)) {
    if (std::chrono::steady_clock::now() > until) return false;
    std::this_thread::sleep_for(10ms);
  }
  return true;
}

struct OutputCase {
  const char* name;
  std::string script;
  Result<std::string> strict;
  std::optional<std::string> tolerant;
};

TEST(CommandRunner, OutputsAndExitStatusesOfBothVariants) {
  const std::string mebibyte(1048576, 'a');
  const std::vector<OutputCase> cases = {
      {"blanks before, line feed after", "printf '  enabled\\n'", "enabled", "enabled"},
      {"nothing printed, exit 0", "exit 0", "", std::nullopt},
      {"only whitespace, exit 0", "printf ' \\t\\n\\r\\v\\f'", "", std::nullopt},
      {"all six trimmed at both ends", "printf '\\t\\v\\f\\r a  b \\r\\n'", "a  b", "a  b"},
      {"inside kept", "printf 'one two\\n\\nthree\\n'", "one two\n\nthree", "one two\n\nthree"},
      {"nothing to trim", "printf word", "word", "word"},
      {"one word, exit 1", "printf word; exit 1", fail(Error::CommandFailed), "word"},
      {"silent, exit 3", "exit 3", fail(Error::CommandFailed), std::nullopt},
      {"killed by a signal", "printf hi; kill -KILL $$", fail(Error::CommandFailed), "hi"},
      {"stopped", "printf hi; kill -STOP $$", fail(Error::CommandFailed), "hi"},
      {"exactly 1 MiB", "head -c 1048576 /dev/zero | tr '\\0' a", mebibyte, mebibyte},
      {"1 MiB and one byte", "head -c 1048577 /dev/zero | tr '\\0' a", fail(Error::StreamTooLong),
       std::nullopt},
      {"too long and failing", "head -c 2000000 /dev/zero | tr '\\0' a; exit 1",
       fail(Error::StreamTooLong), std::nullopt},
      {"standard error dropped", "echo out; echo noise >&2", "out", "out"},
      {"standard error flood cannot stall", "head -c 4000000 /dev/zero >&2; echo done", "done",
       "done"},
  };
  for (const OutputCase& c : cases) {
    SCOPED_TRACE(c.name);
    testing::internal::CaptureStderr();
    const auto strict = execCommand(shell(c.script));
    const auto tolerant = execCommandAllowFail(shell(c.script));
    const std::string console = testing::internal::GetCapturedStderr();
    EXPECT_EQ(strict, c.strict);
    EXPECT_EQ(tolerant, c.tolerant);
    EXPECT_EQ(console, "") << "a child's standard error reached the console";
  }
}

TEST(CommandRunner, ReadsStandardErrorWithTheOutputWhenAsked) {
  using platform::macos::execCommandAllowFailWithErrors;
  struct Case {
    const char* name;
    std::string script;
    std::optional<std::string> expected;
  };
  const std::vector<Case> cases = {
      {"answer on standard error, exit 1",
       "echo '  sysadminctl[1:2] screenLock is off' >&2; exit 1",
       "sysadminctl[1:2] screenLock is off"},
      {"both in the order written", "echo one; echo two >&2; echo three", "one\ntwo\nthree"},
      {"the bound counts both", "head -c 600000 /dev/zero; head -c 600000 /dev/zero >&2",
       std::nullopt},
      {"silent", "exit 0", std::nullopt},
  };
  for (const Case& c : cases) {
    testing::internal::CaptureStderr();
    EXPECT_EQ(execCommandAllowFailWithErrors(shell(c.script)), c.expected) << c.name;
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "") << c.name;
  }
}

// The file actions a thread keeps name the pipe by number: each run must get
// its own pipe and its own standard error however the numbers and the
// streams asked for change from one run to the next.
TEST(CommandRunner, EachRunGetsItsOwnPipeWhateverTheDescriptorNumbers) {
  using platform::macos::execCommandAllowFailWithErrors;
  const std::string script = "echo out; echo err >&2";
  std::vector<UniqueFd> held;
  for (int round = 0; round < 3; ++round) {
    SCOPED_TRACE(round);
    EXPECT_EQ(execCommand(shell(script)), "out");
    EXPECT_EQ(execCommandAllowFailWithErrors(shell(script)), "out\nerr");
    EXPECT_EQ(execCommand(shell(script)), "out");
    // The next round's pipe gets other numbers.
    held.emplace_back(::open("/dev/null", O_RDONLY | O_CLOEXEC));
    ASSERT_TRUE(held.back());
  }
  held.clear();
  EXPECT_EQ(execCommand(shell(script)), "out");
}

TEST(CommandRunner, MissingOrUnusablePrograms) {
  test_support::TempDir dir;
  writeExecutable(dir.file("not-executable"), "#!/bin/sh\necho no\n", 0644);
  const ScopedVariable path("PATH", dir.path() + ":" + std::getenv("PATH"));

  EXPECT_EQ(execCommand({"tavrine-no-such-program"}), fail(Error::FileNotFound));
  EXPECT_EQ(execCommand({dir.file("absent")}), fail(Error::FileNotFound));
  EXPECT_EQ(execCommand({"not-executable"}), fail(Error::AccessDenied));
  EXPECT_EQ(execCommand({dir.file("not-executable")}), fail(Error::AccessDenied));
  EXPECT_EQ(execCommand({}), fail(Error::InvalidArgument));
  EXPECT_EQ(execCommandAllowFail({"tavrine-no-such-program"}), std::nullopt);
  EXPECT_EQ(execCommandAllowFail({dir.file("not-executable")}), std::nullopt);
}

TEST(CommandRunner, LooksProgramsUpAlongItsOwnSearchList) {
  test_support::TempDir first;
  test_support::TempDir second;
  writeExecutable(first.file("tool"), "not run", 0644);
  writeExecutable(second.file("tool"), "#!/bin/sh\necho second\n");
  ASSERT_EQ(::mkdir(first.file("dir").c_str(), 0755), 0);

  EXPECT_EQ(findProgram("tool", first.path() + ":" + second.path()), second.file("tool"));
  EXPECT_EQ(findProgram("tool", first.path()), fail(Error::AccessDenied));
  EXPECT_EQ(findProgram("dir", first.path()), fail(Error::FileNotFound));
  EXPECT_EQ(findProgram("tool", ""), fail(Error::FileNotFound));
  EXPECT_EQ(findProgram("tool", "::" + second.path() + "/"), second.file("tool"));
  EXPECT_EQ(findProgram("", second.path()), fail(Error::FileNotFound));
  EXPECT_EQ(findProgram("./tool", ""), "./tool");
  EXPECT_EQ(findProgram("sh", "/bin/"), "/bin/sh");

  {
    const ScopedVariable path("PATH", second.path());
    EXPECT_EQ(execCommand({"tool"}), "second");
    // sh exists on this machine, but not along this PATH.
    EXPECT_EQ(execCommand({"sh", "-c", "true"}), fail(Error::FileNotFound));
  }
  {
    // No PATH at all: the built-in list, which has sh but not our tool.
    const ScopedVariable path("PATH", std::nullopt);
    EXPECT_EQ(execCommand({"sh", "-c", "printf ok"}), "ok");
    EXPECT_EQ(execCommand({"tool"}), fail(Error::FileNotFound));
  }
}

// Where a program was found is kept for later runs along the same PATH; a
// program gone from there is looked up again, and a new PATH is read afresh.
TEST(CommandRunner, KeepsWhereProgramsWereFound) {
  test_support::TempDir first;
  test_support::TempDir second;
  writeExecutable(first.file("kept-tool"), "#!/bin/sh\necho first\n");
  writeExecutable(second.file("kept-tool"), "#!/bin/sh\necho second\n");
  {
    const ScopedVariable path("PATH", first.path() + ":" + second.path());
    EXPECT_EQ(execCommand({"kept-tool"}), "first");
    ASSERT_EQ(::unlink(first.file("kept-tool").c_str()), 0);
    EXPECT_EQ(execCommand({"kept-tool"}), "second");
    writeExecutable(first.file("kept-tool"), "#!/bin/sh\necho first again\n");
    EXPECT_EQ(execCommand({"kept-tool"}), "second") << "looked up again though it ran";
  }
  const ScopedVariable path("PATH", first.path());
  EXPECT_EQ(execCommand({"kept-tool"}), "first again");
}

TEST(CommandRunner, PassesArgumentsUnchanged) {
  EXPECT_EQ(execCommand({"sh", "-c", "printf '[%s]' \"$@\"", "sh", "a b", "$HOME", "*", "", "'"}),
            "[a b][$HOME][*][][']");
  // Past what a command line usually holds: many arguments, a long one, and
  // a vector of strings rather than a braced list.
  std::vector<std::string> many = {"sh", "-c", "printf '[%s]' \"$@\"", "sh"};
  std::string expected;
  for (int i = 0; i < 20; ++i) {
    many.push_back(i == 7 ? std::string(700, 'x') : std::to_string(i));
    expected += "[" + many.back() + "]";
  }
  EXPECT_EQ(execCommand(many), expected);
}

TEST(CommandRunner, ChildGetsOnlyItsOwnDescriptors) {
  // Descriptors this process leaves inheritable are the caller's business;
  // the runner's own must not reach the child.
  std::set<std::string> expected = {"0", "1", "2"};
  for (int fd = 3; fd < 1024; ++fd) {
    const int flags = ::fcntl(fd, F_GETFD);
    if (flags >= 0 && !(flags & FD_CLOEXEC)) expected.insert(std::to_string(fd));
  }
  // The shell asks about its own descriptors through /dev/fd, which Linux and
  // macOS both have (links on Linux, device nodes on macOS).
  const auto listing = execCommand(
      shell("fd=0; while [ $fd -lt 1024 ]; do"
            " if [ -e /dev/fd/$fd ] || [ -L /dev/fd/$fd ]; then echo $fd; fi; fd=$((fd + 1)); done;"
            " if [ /dev/fd/2 -ef /dev/null ]; then echo /dev/null; fi"));
  ASSERT_TRUE(listing.has_value()) << errorName(listing.error());
  std::istringstream lines(*listing);
  std::vector<std::string> words((std::istream_iterator<std::string>(lines)),
                                 std::istream_iterator<std::string>());
  ASSERT_FALSE(words.empty());
  EXPECT_EQ(words.back(), "/dev/null") << "standard error is not the null device";
  words.pop_back();
  EXPECT_EQ(std::set<std::string>(words.begin(), words.end()), expected);
}

TEST(CommandRunner, TimeLimitEndsASleepingTool) {
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(execCommand(shell("printf partial; sleep 30"), 300ms), fail(Error::Timeout));
  EXPECT_EQ(execCommandAllowFail(shell("printf partial; sleep 30"), 300ms), std::nullopt);
  // A tool that closed its output and still runs.
  EXPECT_EQ(execCommand(shell("exec >&-; sleep 30"), 300ms), fail(Error::Timeout));
  EXPECT_LT(std::chrono::steady_clock::now() - start, 10s);
  // Limits at the ends of the range.
  EXPECT_EQ(execCommand(shell("printf ok"), std::chrono::milliseconds::max()), "ok");
  EXPECT_EQ(execCommand(shell("sleep 30"), 0ms), fail(Error::Timeout));
}

TEST(CommandRunner, TimeLimitKillsHelpersHoldingThePipe) {
  test_support::TempDir dir;
  const std::string pid_file = dir.file("helper.pid");
  // The tool exits at once; its helper keeps the output pipe open.
  const auto result =
      execCommand(shell("sleep 30 & echo $! > " + pid_file + "; echo started"), 300ms);
  EXPECT_EQ(result, fail(Error::Timeout));
  const std::string helper = test_support::readFile(pid_file);
  ASSERT_FALSE(helper.empty());
  EXPECT_TRUE(endsWithin(std::stoi(helper), 2s)) << "the helper outlived the time limit";
}

// Ignores `signal_number` in this process for the life of the object.
class IgnoredSignal {
 public:
  explicit IgnoredSignal(int signal_number) : signal_number_(signal_number) {
    struct sigaction ignore {};
    ignore.sa_handler = SIG_IGN;
    sigemptyset(&ignore.sa_mask);
    ::sigaction(signal_number_, &ignore, &previous_);
  }
  IgnoredSignal(const IgnoredSignal&) = delete;
  IgnoredSignal& operator=(const IgnoredSignal&) = delete;
  ~IgnoredSignal() { ::sigaction(signal_number_, &previous_, nullptr); }

 private:
  int signal_number_;
  struct sigaction previous_ {};
};

TEST(CommandRunner, ChildrenStartWithDefaultSignalsWhateverThisProcessSet) {
  // An ignored disposition survives exec: the tool would shrug the signal off
  // and print "survived".
  const std::pair<const char*, int> signals[] = {
      {"INT", SIGINT}, {"TERM", SIGTERM}, {"PIPE", SIGPIPE}, {"HUP", SIGHUP}};
  for (const auto& [name, signal_number] : signals) {
    SCOPED_TRACE(name);
    const IgnoredSignal ignored(signal_number);
    const auto script = shell(std::string("kill -") + name + " $$; echo survived");
    EXPECT_EQ(execCommand(script), fail(Error::CommandFailed));
    EXPECT_EQ(execCommandAllowFail(script), std::nullopt);
  }
  // A signal blocked in the calling thread is not blocked in the child.
  sigset_t blocked;
  sigemptyset(&blocked);
  sigaddset(&blocked, SIGTERM);
  sigset_t previous;
  ASSERT_EQ(::pthread_sigmask(SIG_BLOCK, &blocked, &previous), 0);
  const auto masked = execCommand(shell("kill -TERM $$; echo survived"));
  ASSERT_EQ(::pthread_sigmask(SIG_SETMASK, &previous, nullptr), 0);
  EXPECT_EQ(masked, fail(Error::CommandFailed));
}

TEST(CommandRunner, LeavesNoDescriptorOrChildBehind) {
  test_support::TempDir dir;
  writeExecutable(dir.file("not-executable"), "x", 0644);
  const int descriptors = test_support::openDescriptorCount();
  const int children = test_support::childProcessCount();
  for (int round = 0; round < 40; ++round) {
    EXPECT_TRUE(execCommand(shell("echo ok")).has_value());
    EXPECT_FALSE(execCommand(shell("echo no; exit 1")).has_value());
    EXPECT_FALSE(execCommandAllowFail({"tavrine-no-such-program"}).has_value());
    EXPECT_FALSE(execCommandAllowFail({dir.file("not-executable")}).has_value());
    EXPECT_FALSE(execCommand(shell("head -c 1100000 /dev/zero; sleep 30")).has_value());
    if (round % 8 == 0) {
      EXPECT_FALSE(execCommand(shell("printf x; kill -STOP $$")).has_value());
      EXPECT_FALSE(execCommand(shell("sleep 30 & sleep 30"), 50ms).has_value());
    }
  }
  EXPECT_EQ(test_support::openDescriptorCount(), descriptors);
  EXPECT_EQ(test_support::childProcessCount(), children);
}

TEST(CommandRunner, TwoThreadsAtOnce) {
  auto work = [](const std::string& name, std::vector<std::string>& failures) {
    for (int i = 0; i < 25; ++i) {
      const std::string expected = name + std::to_string(i);
      const auto strict = execCommand(shell("sleep 0.01; echo " + expected));
      if (strict != Result<std::string>(expected)) failures.push_back("strict " + expected);
      const auto tolerant = execCommandAllowFail(shell("echo " + expected + "; exit 2"));
      if (tolerant != expected) failures.push_back("tolerant " + expected);
    }
  };
  std::vector<std::string> failures_a;
  std::vector<std::string> failures_b;
  std::thread a(work, "a", std::ref(failures_a));
  std::thread b(work, "b", std::ref(failures_b));
  a.join();
  b.join();
  EXPECT_THAT(failures_a, testing::IsEmpty());
  EXPECT_THAT(failures_b, testing::IsEmpty());
  EXPECT_EQ(test_support::childProcessCount(), 0);
}

}  // namespace
