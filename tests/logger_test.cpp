// ctest-properties: LABELS threaded
#include "tavrine/base/logger.h"

#include "support/temp_dir.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <map>
#include <sstream>
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

TEST(Logger, OnlyARegularFileIsKept) {
  TempDir dir;
  const std::string link = dir.file("agent.log");
  ASSERT_EQ(::symlink("/dev/null", link.c_str()), 0);
  EXPECT_FALSE(logger::openAt(link));
  EXPECT_FALSE(logger::isOpen());

  // Through a link to a regular file the log is kept as before.
  std::filesystem::remove(link);
  test_support::writeFile(dir.file("real.log"), "");
  ASSERT_EQ(::symlink("real.log", link.c_str()), 0);
  ASSERT_TRUE(logger::openAt(link));
  logger::print("through the link\n");
  logger::close();
  EXPECT_EQ(readFile(dir.file("real.log")), "through the link\n");
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

}  // namespace
