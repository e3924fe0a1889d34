// ctest-properties: LABELS threaded
#include "tavrine/base/logger.h"

#include "support/temp_dir.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <functional>
#include <map>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace {

using test_support::readFile;
using test_support::TempDir;

TEST(Logger, LinesFromManyThreadsReachTheFileWhole) {
  TempDir dir;
  const std::string path = dir.file("deep/Library/Logs/Tavrine/agent.log");
  ASSERT_TRUE(logger::openAt(path));
  constexpr int kThreads = 8;
  constexpr int kLines = 400;
  {
    std::vector<std::jthread> writers;
    for (int t = 0; t < kThreads; ++t) {
      writers.emplace_back([t] {
        // Lines of different lengths make torn or interleaved writes visible.
        const std::string padding(static_cast<size_t>(t) * 97, static_cast<char>('a' + t));
        for (int i = 0; i < kLines; ++i) logger::print("thread {} line {} {}|\n", t, i, padding);
      });
    }
  }
  logger::close();

  std::map<int, int> next_line;
  std::istringstream lines(readFile(path));
  std::string line;
  int total = 0;
  while (std::getline(lines, line)) {
    int t = -1, i = -1;
    ASSERT_EQ(std::sscanf(line.c_str(), "thread %d line %d", &t, &i), 2) << line;
    const std::string padding(static_cast<size_t>(t) * 97, static_cast<char>('a' + t));
    ASSERT_EQ(line, fmt::format("thread {} line {} {}|", t, i, padding));
    EXPECT_EQ(next_line[t]++, i) << "each thread's lines keep their order";
    ++total;
  }
  EXPECT_EQ(total, kThreads * kLines);
}

TEST(Logger, OversizedTextAndClosedLogReachOnlyTheConsole) {
  TempDir dir;
  const std::string path = dir.file("agent.log");
  test_support::writeFile(path, "kept\n");
  ASSERT_TRUE(logger::openAt(path));
  logger::print("first\n");
  logger::print(std::string(logger::kWriteBufferSize + 1, 'x'));
  logger::print(std::string(logger::kWriteBufferSize - 1, 'y') + "\n");
  logger::close();
  logger::print("after close\n");
  EXPECT_EQ(readFile(path), "kept\nfirst\n" + std::string(logger::kWriteBufferSize - 1, 'y') + "\n");
}

// What may sit at the log's names that the log must neither follow nor
// write through; each row says what the log does then.
TEST(Logger, HostileNamesAreNeverFollowedAndTheBoundHolds) {
  constexpr uint64_t kCap = 100;
  const std::string full(90, 'a');
  const struct {
    std::string name;
    std::function<void(const TempDir&)> plant;
    bool opens;
    std::string warning;
  } cases[] = {
      {"a link at agent.log to a file",
       [](const TempDir& d) {
         ASSERT_EQ(::symlink(d.file("victim").c_str(), d.file("log/agent.log").c_str()), 0);
       },
       false, "is a symbolic link"},
      {"a link at agent.log to a FIFO's device",
       [](const TempDir& d) {
         ASSERT_EQ(::symlink("/dev/null", d.file("log/agent.log").c_str()), 0);
       },
       false, "is a symbolic link"},
      {"a folder of another user",
       [](const TempDir& d) {
         ASSERT_EQ(::chown(d.file("log").c_str(), ::geteuid() + 1, static_cast<gid_t>(-1)), 0);
       },
       false, "belongs to another user"},
      {"a link at launchd.log to a full file",
       [](const TempDir& d) {
         ASSERT_EQ(::symlink(d.file("victim").c_str(), d.file("log/launchd.log").c_str()), 0);
       },
       true, ""},
      {"a folder at agent.log.1",
       [](const TempDir& d) { std::filesystem::create_directory(d.file("log/agent.log.1")); }, true,
       ""},
      {"a link at agent.log.1",
       [](const TempDir& d) {
         ASSERT_EQ(::symlink(d.file("victim").c_str(), d.file("log/agent.log.1").c_str()), 0);
       },
       true, ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    if (c.warning == "belongs to another user" && ::geteuid() != 0) continue;  // needs chown
    TempDir dir;
    std::filesystem::create_directory(dir.file("log"));
    const std::string victim(logger::kMaxLogBytes + 1, 'v');
    test_support::writeFile(dir.file("victim"), victim);
    ASSERT_NO_FATAL_FAILURE(c.plant(dir));
    const std::string path = dir.file("log/agent.log");
    testing::internal::CaptureStderr();
    const bool opened = logger::openAt(path, kCap);
    const std::string warned = testing::internal::GetCapturedStderr();
    EXPECT_EQ(opened, c.opens);
    if (!c.opens) {
      EXPECT_EQ(warned, "warning: Running without the log file: " +
                            (c.warning.starts_with("is") ? path : dir.file("log")) + " " +
                            c.warning + "\n");
    }
    // Well past the bound, many times over.
    for (int i = 0; i < 5; ++i) logger::print(full + "\n");
    logger::close();
    EXPECT_EQ(readFile(dir.file("victim")), victim) << "written or emptied through a link";
    if (!c.opens) continue;
    // At most the line that says why and one more.
    EXPECT_LE(std::filesystem::file_size(path), 2 * kCap);
    if (std::filesystem::is_directory(dir.file("log/agent.log.1"))) {
      EXPECT_TRUE(readFile(path).starts_with(
          "Log emptied: it could not be set aside as agent.log.1 (error.IsDir)\n"))
          << readFile(path);
    }
  }
}

TEST(Logger, PathFromHome) {
  EXPECT_EQ(logger::logPathFor("/Users/me"), "/Users/me/Library/Logs/Tavrine/agent.log");
  EXPECT_EQ(logger::logPathFor(""), "/Library/Logs/Tavrine/agent.log");
  EXPECT_FALSE(logger::logPathFor("relative/home"));
  const std::string suffix = "/Library/Logs/Tavrine/agent.log";
  EXPECT_TRUE(
      logger::logPathFor("/" + std::string(logger::kMaxLogPathLength - suffix.size() - 1, 'h')));
  EXPECT_FALSE(
      logger::logPathFor("/" + std::string(logger::kMaxLogPathLength - suffix.size(), 'h')));
}

// The lines of a log file; each must end in a line feed.
std::vector<std::string> linesOf(const std::string& content) {
  EXPECT_TRUE(content.empty() || content.ends_with('\n')) << "a line was split";
  std::vector<std::string> lines;
  std::istringstream in(content);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

TEST(Logger, AFullLogIsSetAsideWholeAndANewOneStarted) {
  TempDir dir;
  const std::string path = dir.file("agent.log");
  const std::string old_content = "from an earlier run\n";
  test_support::writeFile(path, old_content);
  constexpr uint64_t kCap = 4000;
  ASSERT_TRUE(logger::openAt(path, kCap));
  // Many lines of uneven lengths: the log is set aside many times over.
  std::vector<std::string> written;
  for (int i = 0; i < 600; ++i) {
    written.push_back(fmt::format("line {} {}", i, std::string(static_cast<size_t>(i % 53), '.')));
    logger::print(written.back() + "\n");
  }
  logger::close();

  const std::string older = readFile(path + ".1");
  const std::string newer = readFile(path);
  EXPECT_LE(older.size(), kCap);
  EXPECT_LE(newer.size(), kCap);
  // Together the two files hold the latest lines, in order, none torn.
  std::vector<std::string> kept = linesOf(older);
  const auto newer_lines = linesOf(newer);
  kept.insert(kept.end(), newer_lines.begin(), newer_lines.end());
  ASSERT_FALSE(newer_lines.empty());
  ASSERT_LE(kept.size(), written.size());
  EXPECT_EQ(kept, std::vector<std::string>(written.end() - static_cast<long>(kept.size()),
                                           written.end()));
  // The older file was full: one more line would not have fitted.
  EXPECT_GT(older.size() + written[written.size() - newer_lines.size()].size() + 1, kCap);
  EXPECT_FALSE(std::filesystem::exists(path + ".2"));
}

TEST(Logger, SettingAsideUnderConcurrentWritersLosesNothing) {
  TempDir dir;
  const std::string path = dir.file("agent.log");
  const std::string old_content = "from an earlier run\n";
  test_support::writeFile(path, old_content);
  constexpr int kThreads = 6;
  constexpr int kLines = 300;
  // Room for everything in two files, so that it is set aside exactly once.
  constexpr uint64_t kCap = 48 * 1024;
  ASSERT_TRUE(logger::openAt(path, kCap));
  {
    std::vector<std::jthread> writers;
    for (int t = 0; t < kThreads; ++t) {
      writers.emplace_back([t] {
        const std::string padding(static_cast<size_t>(t) * 7, static_cast<char>('a' + t));
        for (int i = 0; i < kLines; ++i) logger::print("thread {} line {} {}|\n", t, i, padding);
      });
    }
  }
  logger::close();

  const std::string older = readFile(path + ".1");
  const std::string newer = readFile(path);
  ASSERT_TRUE(older.starts_with(old_content)) << "the earlier content was not kept intact";
  EXPECT_LE(older.size(), kCap);
  EXPECT_LE(newer.size(), kCap);
  ASSERT_FALSE(newer.empty());
  std::map<int, int> next_line;
  int total = 0;
  for (const std::string& content : {older.substr(old_content.size()), newer}) {
    for (const std::string& line : linesOf(content)) {
      int t = -1, i = -1;
      ASSERT_EQ(std::sscanf(line.c_str(), "thread %d line %d", &t, &i), 2) << line;
      const std::string padding(static_cast<size_t>(t) * 7, static_cast<char>('a' + t));
      ASSERT_EQ(line, fmt::format("thread {} line {} {}|", t, i, padding));
      EXPECT_EQ(next_line[t]++, i) << "each thread's lines keep their order across the files";
      ++total;
    }
  }
  EXPECT_EQ(total, kThreads * kLines);
}

TEST(Logger, ALogSetAsideByAnotherProcessIsNotSetAsideAgain) {
  TempDir dir;
  const std::string path = dir.file("agent.log");
  constexpr uint64_t kCap = 100;
  ASSERT_TRUE(logger::openAt(path, kCap));
  logger::print(std::string(90, 'a') + "\n");
  // Another process sets the full log aside and starts the next one.
  ASSERT_EQ(::rename(path.c_str(), (path + ".1").c_str()), 0);
  test_support::writeFile(path, "other\n");
  logger::print(std::string(20, 'b') + "\n");
  logger::close();
  EXPECT_EQ(readFile(path + ".1"), std::string(90, 'a') + "\n");
  EXPECT_EQ(readFile(path), "other\n" + std::string(20, 'b') + "\n");
}

// Two processes that find the same log full at once: only one sets it
// aside, and the other's rename never puts the fresh log over it.
TEST(Logger, ProcessesSettingTheLogAsideAtOnceLoseNothing) {
  constexpr uint64_t kCap = 64 * 1024;
  constexpr int kProcesses = 4;
  constexpr int kLines = 200;  // 60 bytes each: all of them fit the fresh log
  for (int round = 0; round < 20; ++round) {
    SCOPED_TRACE(round);
    TempDir dir;
    const std::string path = dir.file("agent.log");
    const std::string old_content = std::string(kCap - 10, 'o') + "\n";
    test_support::writeFile(path, old_content);
    std::vector<pid_t> children;
    for (int p = 0; p < kProcesses; ++p) {
      const pid_t child = ::fork();
      ASSERT_GE(child, 0);
      if (child == 0) {
        if (!logger::openAt(path, kCap)) ::_exit(2);
        for (int i = 0; i < kLines; ++i) logger::print("process {} line {:03} {:>40}\n", p, i, "|");
        logger::close();
        ::_exit(0);
      }
      children.push_back(child);
    }
    for (const pid_t child : children) {
      int status = 0;
      ASSERT_EQ(::waitpid(child, &status, 0), child);
      ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    }
    EXPECT_EQ(readFile(path + ".1"), old_content) << "the log set aside was replaced";
    std::map<int, int> next_line;
    for (const std::string& line : linesOf(readFile(path))) {
      int p = -1, i = -1;
      ASSERT_EQ(std::sscanf(line.c_str(), "process %d line %d", &p, &i), 2) << line;
      EXPECT_EQ(next_line[p]++, i);
    }
    for (int p = 0; p < kProcesses; ++p) EXPECT_EQ(next_line[p], kLines) << p;
  }
}

// launchd appends its copy of the console to launchd.log for as long as the
// agent runs: it is emptied whenever agent.log is set aside, and launchd's
// descriptor, open for appending, goes on writing at its new end.
TEST(Logger, LaunchdLogIsEmptiedWheneverTheLogIsSetAside) {
  TempDir dir;
  const std::string path = dir.file("agent.log");
  const std::string launchd_log = dir.file("launchd.log");
  test_support::writeFile(launchd_log, "");
  const int launchd = ::open(launchd_log.c_str(), O_WRONLY | O_APPEND);
  ASSERT_GE(launchd, 0);
  constexpr uint64_t kCap = 100;
  ASSERT_TRUE(logger::openAt(path, kCap));
  logger::print(std::string(60, 'a') + "\n");
  ASSERT_EQ(::write(launchd, "one\ntwo\n", 8), 8);
  logger::print(std::string(60, 'b') + "\n");  // sets agent.log aside
  EXPECT_TRUE(std::filesystem::exists(path + ".1"));
  EXPECT_EQ(readFile(launchd_log), "");
  ASSERT_EQ(::write(launchd, "three\n", 6), 6);
  logger::close();
  ::close(launchd);
  EXPECT_EQ(readFile(launchd_log), "three\n");
}

TEST(Logger, AFullLaunchdLogIsEmptiedAtOpen) {
  TempDir home;
  const std::string folder = home.file("Library/Logs/Tavrine");
  const std::string launchd_log = folder + "/launchd.log";
  std::string home_entry = "HOME=" + home.path();
  char* block[] = {home_entry.data(), nullptr};
  for (const uint64_t size : {logger::kMaxLogBytes, logger::kMaxLogBytes + 1}) {
    SCOPED_TRACE(size);
    test_support::writeFile(launchd_log, "");
    ASSERT_EQ(::truncate(launchd_log.c_str(), static_cast<off_t>(size)), 0);
    // launchd's own descriptor, open for appending all along.
    const int launchd = ::open(launchd_log.c_str(), O_WRONLY | O_APPEND);
    ASSERT_GE(launchd, 0);
    ASSERT_TRUE(logger::open(block));
    logger::close();
    ASSERT_EQ(::write(launchd, "next\n", 5), 5);
    ::close(launchd);
    struct stat file {};
    ASSERT_EQ(::stat(launchd_log.c_str(), &file), 0);
    const uint64_t kept = size > logger::kMaxLogBytes ? 0 : size;
    EXPECT_EQ(static_cast<uint64_t>(file.st_size), kept + 5);
  }
}

}  // namespace
