#include "tavrine/agent/instance_lock.h"

#include "support/temp_dir.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <gtest/gtest.h>

namespace {

using agent::InstanceLock;
using test_support::TempDir;

TEST(InstanceLock, OneHolderAtATimeAndFreeAgainOnceLetGo) {
  TempDir home;
  const auto path = InstanceLock::pathFor(home.path());
  ASSERT_EQ(path, home.path() + "/Library/Application Support/Tavrine/agent.lock");
  {
    auto first = InstanceLock::tryTake(*path);
    ASSERT_TRUE(first.has_value()) << errorName(first.error());
    // A second open of the file is a second holder, as another process's is.
    auto second = InstanceLock::tryTake(*path);
    ASSERT_FALSE(second.has_value());
    EXPECT_EQ(second.error(), Error::WouldBlock);
  }
  EXPECT_TRUE(InstanceLock::tryTake(*path).has_value());

  struct stat file {
  }, folder{};
  ASSERT_EQ(::stat(path->c_str(), &file), 0);
  ASSERT_EQ(::stat((home.path() + "/Library/Application Support/Tavrine").c_str(), &folder), 0);
  EXPECT_EQ(file.st_mode & 07777, 0600u);
  EXPECT_EQ(folder.st_mode & 07777, 0700u);
}

TEST(InstanceLock, UnusablePlacesAreNamedFailures) {
  EXPECT_FALSE(InstanceLock::pathFor("relative/home"));
  TempDir home;
  test_support::writeFile(home.file("Library"), "a file where the folder belongs\n");
  const auto blocked = InstanceLock::tryTake(*InstanceLock::pathFor(home.path()));
  ASSERT_FALSE(blocked.has_value());
  EXPECT_EQ(blocked.error(), Error::NotDir);
  ASSERT_EQ(::mkdir(home.file("lock-dir").c_str(), 0700), 0);
  const auto directory = InstanceLock::tryTake(home.file("lock-dir"));
  ASSERT_FALSE(directory.has_value());
  EXPECT_EQ(directory.error(), Error::IsDir);
}

}  // namespace
