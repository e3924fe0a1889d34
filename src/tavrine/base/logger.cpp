#include "tavrine/base/logger.h"

#include "tavrine/base/console.h"
#include "tavrine/base/environment.h"
#include "tavrine/base/fs_util.h"
#include "tavrine/base/immortal.h"
#include "tavrine/base/unique_fd.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <mutex>

namespace logger {
namespace {

constexpr std::string_view kLogSuffix = "/Library/Logs/Tavrine/agent.log";

// The log descriptor, only touched under the lock, so one mirrored line is
// one write. Never destroyed: a detached thread may still print while the
// process exits, and the log is closed under the lock at exit instead.
struct Log {
  std::mutex lock;
  UniqueFd fd;
};

Log& log() { return immortal<Log>(); }

void closeAtExit() { close(); }

}  // namespace

std::optional<std::string> logPathFor(std::string_view home) {
  if (!environment::isUsableHome(home)) return std::nullopt;
  if (home.size() + kLogSuffix.size() > kMaxLogPathLength) return std::nullopt;
  std::string path(home);
  path += kLogSuffix;
  return path;
}

bool openAt(const std::string& path) {
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
  std::lock_guard guard(log().lock);
  log().fd = std::move(*fd);
  return true;
}

bool open(char* const* environment_block) {
  const auto home = environment::find(environment_block, "HOME");
  if (!home) return false;
  const auto path = logPathFor(*home);
  if (!path) return false;
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
  // One write per line keeps lines whole in the file; a failed write is
  // dropped, as the console already has the text.
  ssize_t written;
  do {
    written = ::write(l.fd.get(), text.data(), text.size());
  } while (written < 0 && errno == EINTR);
}

}  // namespace logger
