#include "tavrine/base/unique_fd.h"

#include "support/process.h"

#include <fcntl.h>
#include <sys/resource.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cerrno>

namespace {

bool closeOnExec(const UniqueFd& fd) { return (::fcntl(fd.get(), F_GETFD) & FD_CLOEXEC) != 0; }
bool nonBlocking(const UniqueFd& fd) { return (::fcntl(fd.get(), F_GETFL) & O_NONBLOCK) != 0; }

TEST(MakePipe, FlagsHoldForBothEndsAndBytesFlowFromWriteToRead) {
  const int baseline = test_support::openDescriptorCount();
  for (const int flags : {0, O_CLOEXEC, O_NONBLOCK, O_CLOEXEC | O_NONBLOCK}) {
    SCOPED_TRACE(flags);
    auto pipe = makePipe(flags);
    ASSERT_TRUE(pipe) << errorName(pipe.error());
    auto& [read_end, write_end] = *pipe;
    const bool cloexec = (flags & O_CLOEXEC) != 0;
    const bool nonblock = (flags & O_NONBLOCK) != 0;
    EXPECT_EQ(closeOnExec(read_end), cloexec);
    EXPECT_EQ(closeOnExec(write_end), cloexec);
    EXPECT_EQ(nonBlocking(read_end), nonblock);
    EXPECT_EQ(nonBlocking(write_end), nonblock);

    ASSERT_EQ(::write(write_end.get(), "ab", 2), 2);
    char buffer[4];
    ASSERT_EQ(::read(read_end.get(), buffer, sizeof buffer), 2);
    EXPECT_EQ(std::string(buffer, 2), "ab");
    if (nonblock) {
      errno = 0;
      EXPECT_EQ(::read(read_end.get(), buffer, sizeof buffer), -1);
      EXPECT_EQ(errno, EAGAIN);
    }
    write_end.reset();
    EXPECT_EQ(::read(read_end.get(), buffer, sizeof buffer), 0) << "no end of input";
  }
  EXPECT_EQ(test_support::openDescriptorCount(), baseline);
}

TEST(MakePipe, FailuresAreNamedAndLeaveNothingOpen) {
  const int baseline = test_support::openDescriptorCount();
  EXPECT_EQ(makePipe(O_APPEND), fail(Error::InvalidArgument));
  EXPECT_EQ(makePipe(O_CLOEXEC | O_RDWR), fail(Error::InvalidArgument));
  EXPECT_EQ(test_support::openDescriptorCount(), baseline);

  // With room for one more descriptor only, the second end cannot be had.
  const int lowest_free = ::dup(STDIN_FILENO);
  ASSERT_GE(lowest_free, 0);
  ::close(lowest_free);
  rlimit saved{};
  ASSERT_EQ(::getrlimit(RLIMIT_NOFILE, &saved), 0);
  rlimit tight = saved;
  tight.rlim_cur = static_cast<rlim_t>(lowest_free) + 1;
  ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &tight), 0);
  const auto exhausted = makePipe(O_CLOEXEC);
  ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &saved), 0);
  EXPECT_EQ(exhausted, fail(Error::ProcessFdQuotaExceeded));
  EXPECT_EQ(test_support::openDescriptorCount(), baseline);
}

}  // namespace
