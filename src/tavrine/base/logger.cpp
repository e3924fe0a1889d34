#include "tavrine/base/logger.h"

#include "tavrine/base/console.h"
#include "tavrine/base/environment.h"
#include "tavrine/base/fs_util.h"
#include "tavrine/base/immortal.h"
#include "tavrine/base/unique_fd.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <mutex>

namespace logger {
namespace {

constexpr std::string_view kLogFolderSuffix = "/Library/Logs/Tavrine";
constexpr std::string_view kLogName = "/agent.log";
constexpr std::string_view kLaunchdLogName = "/launchd.log";
constexpr std::string_view kSetAsideSuffix = ".1";

// The log descriptor, only touched under the lock, so one mirrored line is
// one write. Never destroyed: a detached thread may still print while the
// process exits, and the log is closed under the lock at exit instead.
struct Log {
  std::mutex lock;
  UniqueFd fd;
  std::string path;
  std::string set_aside_path;  // made at open, so that print never allocates
  uint64_t max_bytes = kMaxLogBytes;
  // The file's size as of the last look plus what this process wrote since:
  // asking the file system on every line would double a line's cost. Other
  // writers (a one-shot command) only make it low, and the file is asked
  // again before it is set aside.
  uint64_t size = 0;
};

Log& log() { return immortal<Log>(); }

UniqueFd reopenedForAppending(const std::string& path) {
  auto fd = fs_util::openRegularFile(path, O_WRONLY | O_APPEND | O_CREAT, 0666);
  return fd ? std::move(*fd) : UniqueFd();
}

uint64_t sizeOf(int fd) noexcept {
  struct stat file {};
  return ::fstat(fd, &file) == 0 ? static_cast<uint64_t>(file.st_size) : 0;
}

// Under the log's lock, before a line of `incoming` bytes is written: a log
// that the line would take past its bound is renamed and a new one started,
// so the line goes whole into the new file. The rename happens only while
// the path still names the open file; when another process (a one-shot
// command) has set it aside already, the new file is simply opened. Any
// failure leaves the line going to the file already open: a longer log
// beats a lost line.
void setAsideWhenFull(Log& l, size_t incoming) noexcept {
  if (l.size + incoming <= l.max_bytes) return;
  struct stat open_file {};
  if (::fstat(l.fd.get(), &open_file) != 0) return;
  l.size = static_cast<uint64_t>(open_file.st_size);
  if (l.size == 0 || l.size + incoming <= l.max_bytes) return;
  struct stat named {};
  if (::stat(l.path.c_str(), &named) == 0 && named.st_dev == open_file.st_dev &&
      named.st_ino == open_file.st_ino) {
    if (::rename(l.path.c_str(), l.set_aside_path.c_str()) != 0) return;
  }
  if (UniqueFd fresh = reopenedForAppending(l.path)) {
    l.fd = std::move(fresh);
    l.size = sizeOf(l.fd.get());
  }
}

// launchd keeps its descriptor of this file open for appending, so emptying
// it under launchd is safe: its next write lands at the new end.
void emptyLaunchdLogWhenFull(const std::string& path) {
  auto fd = fs_util::openRegularFile(path, O_WRONLY);
  if (fd && sizeOf(fd->get()) > kMaxLogBytes) (void)::ftruncate(fd->get(), 0);
}

void closeAtExit() { close(); }

}  // namespace

std::optional<std::string> logPathFor(std::string_view home) {
  if (!environment::isUsableHome(home)) return std::nullopt;
  if (home.size() + kLogFolderSuffix.size() + kLogName.size() > kMaxLogPathLength) {
    return std::nullopt;
  }
  std::string path(home);
  path += kLogFolderSuffix;
  path += kLogName;
  return path;
}

bool openAt(const std::string& path, uint64_t max_bytes) {
  const auto slash = path.rfind('/');
  if (slash != std::string::npos && slash > 0) {
    if (!fs_util::makeDirectories(path.substr(0, slash), 0755)) return false;
  }
  // Only a regular file is kept: a FIFO would make every print wait for a
  // reader, and open itself would wait for one.
  auto fd = fs_util::openRegularFile(path, O_WRONLY | O_APPEND);
  if (!fd && fd.error() == Error::FileNotFound) {
    fd = fs_util::openRegularFile(path, O_WRONLY | O_APPEND | O_CREAT, 0666);
  }
  if (!fd) return false;
  static const bool close_registered = std::atexit(closeAtExit) == 0;
  (void)close_registered;
  std::string set_aside_path = path + std::string(kSetAsideSuffix);
  std::lock_guard guard(log().lock);
  log().fd = std::move(*fd);
  log().path = path;
  log().set_aside_path = std::move(set_aside_path);
  log().max_bytes = max_bytes;
  log().size = sizeOf(log().fd.get());
  return true;
}

bool open(char* const* environment_block) {
  const auto home = environment::find(environment_block, "HOME");
  if (!home) return false;
  const auto path = logPathFor(*home);
  if (!path) return false;
  emptyLaunchdLogWhenFull(path->substr(0, path->size() - kLogName.size()) +
                          std::string(kLaunchdLogName));
  return openAt(*path);
}

void close() noexcept {
  std::lock_guard guard(log().lock);
  log().fd.reset();
}

bool isOpen() noexcept {
  std::lock_guard guard(log().lock);
  return log().fd.valid();
}

void print(std::string_view text) noexcept {
  console::line(text);
  Log& l = log();
  std::lock_guard guard(l.lock);
  if (!l.fd.valid() || text.size() > kWriteBufferSize) return;
  setAsideWhenFull(l, text.size());
  // One write per line keeps lines whole in the file; a failed write is
  // dropped, as the console already has the text.
  ssize_t written;
  do {
    written = ::write(l.fd.get(), text.data(), text.size());
  } while (written < 0 && errno == EINTR);
  if (written > 0) l.size += static_cast<uint64_t>(written);
}

}  // namespace logger
