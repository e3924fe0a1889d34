#include "tavrine/base/logger.h"

#include "tavrine/base/console.h"
#include "tavrine/base/environment.h"
#include "tavrine/base/fs_util.h"
#include "tavrine/base/immortal.h"
#include "tavrine/base/unique_fd.h"

#include <fcntl.h>
#include <fmt/format.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <mutex>

namespace logger {
namespace {

constexpr std::string_view kLogFolderSuffix = "/Library/Logs/Tavrine";
constexpr std::string_view kLogName = "/agent.log";
constexpr const char* kLaunchdLogName = "launchd.log";
constexpr std::string_view kSetAsideSuffix = ".1";

// The log descriptor, only touched under the lock, so one mirrored line is
// one write. Never destroyed: a detached thread may still print while the
// process exits, and the log is closed under the lock at exit instead.
struct Log {
  std::mutex lock;
  UniqueFd fd;
  // The log's folder, held open: the log is reopened, set aside and
  // launchd.log emptied in the folder that was checked at open, whatever a
  // link on the way to it names by then.
  UniqueFd folder;
  // Made at open, so that print never allocates.
  std::string name;
  std::string set_aside_name;
  uint64_t max_bytes = kMaxLogBytes;
  // The file's size as of the last look plus what this process wrote since:
  // asking the file system on every line would double a line's cost. Other
  // writers (a one-shot command) only make it low, and the file is asked
  // again before it is set aside.
  uint64_t size = 0;
};

Log& log() { return immortal<Log>(); }

// Never through a link in the last component: a command run as root with a
// user's HOME must not append to, create or empty what the link names.
constexpr int kNoFollow = O_NOFOLLOW;

UniqueFd reopenedForAppending(const Log& l) {
  auto fd = fs_util::openRegularFileAt(l.folder.get(), l.name.c_str(),
                                       O_WRONLY | O_APPEND | O_CREAT | kNoFollow, 0666);
  return fd ? std::move(*fd) : UniqueFd();
}

uint64_t sizeOf(int fd) noexcept {
  struct stat file {};
  return ::fstat(fd, &file) == 0 ? static_cast<uint64_t>(file.st_size) : 0;
}

// launchd holds its descriptor of this file open for appending, so emptying
// it under a running agent is safe: launchd's next write lands at the new
// end, and nothing is left of a hole.
void emptyLaunchdLog(int folder, uint64_t above) noexcept {
  auto fd = fs_util::openRegularFileAt(folder, kLaunchdLogName, O_WRONLY | kNoFollow);
  if (fd && sizeOf(fd->get()) > above) (void)::ftruncate(fd->get(), 0);
}

void writeWhole(int fd, std::string_view text) noexcept {
  ssize_t written;
  do {
    written = ::write(fd, text.data(), text.size());
  } while (written < 0 && errno == EINTR);
}

// Holds an exclusive lock of the open log file (flock: per open file, so
// every process that has the full file open contends for the same lock).
class FileLock {
 public:
  explicit FileLock(int fd) noexcept : fd_(fd) {
    while (::flock(fd_, LOCK_EX) != 0 && errno == EINTR) {
    }
  }
  ~FileLock() { (void)::flock(fd_, LOCK_UN); }
  FileLock(const FileLock&) = delete;
  FileLock& operator=(const FileLock&) = delete;

 private:
  int fd_;
};

// Under the log's lock, before a line of `incoming` bytes is written: a log
// that the line would take past its bound is renamed and a new one started,
// so the line goes whole into the new file. Other processes (a one-shot
// command, the agent) may find the same file full at the same moment: under
// the file's own lock, only the one that finds the name still naming the
// open file renames it, and every other one opens the new file. Without
// that a late rename would put the new file over the full one set aside.
// When the set-aside name cannot be used (a folder there, no permission) the
// bound still holds: the log is emptied instead, with a line that says why.
// Any other failure leaves the line going to the file already open: a
// longer log beats a lost line.
void setAsideWhenFull(Log& l, size_t incoming) noexcept {
  if (l.size + incoming <= l.max_bytes) return;
  struct stat open_file {};
  if (::fstat(l.fd.get(), &open_file) != 0) return;
  l.size = static_cast<uint64_t>(open_file.st_size);
  if (l.size == 0 || l.size + incoming <= l.max_bytes) return;
  {
    const FileLock locked(l.fd.get());
    struct stat named {};
    const bool still_named =
        ::fstatat(l.folder.get(), l.name.c_str(), &named, AT_SYMLINK_NOFOLLOW) == 0 &&
        named.st_dev == open_file.st_dev && named.st_ino == open_file.st_ino;
    if (still_named) {
      if (::renameat(l.folder.get(), l.name.c_str(), l.folder.get(), l.set_aside_name.c_str()) !=
          0) {
        const Error why = errorFromErrno(errno);
        if (::ftruncate(l.fd.get(), 0) != 0) return;
        l.size = 0;
        char line[256];
        const auto end = fmt::format_to_n(
            line, sizeof line - 1, "Log emptied: it could not be set aside as {} (error.{})\n",
            l.set_aside_name, errorName(why));
        writeWhole(l.fd.get(), std::string_view(line, end.out));
        l.size = sizeOf(l.fd.get());
        emptyLaunchdLog(l.folder.get(), 0);
        return;
      }
      emptyLaunchdLog(l.folder.get(), 0);
    }
  }
  if (UniqueFd fresh = reopenedForAppending(l)) {
    l.fd = std::move(fresh);
    l.size = sizeOf(l.fd.get());
  }
}

void closeAtExit() { close(); }

// Opens the log folder at `folder`, creating it when missing. One owned by
// another user than the effective one is refused (AccessDenied): root, run
// with a user's HOME, must not write where that user decides. Every command
// opens the log, so the folder is looked for only when opening it fails.
Result<UniqueFd> openFolder(const std::string& folder) {
  UniqueFd fd(::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (!fd && errno == ENOENT) {
    if (auto made = fs_util::makeDirectories(folder, 0755); !made) return fail(made.error());
    fd.reset(::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  }
  if (!fd) return fail(errorFromErrno(errno));
  struct stat info {};
  if (::fstat(fd.get(), &info) != 0) return fail(errorFromErrno(errno));
  if (info.st_uid != ::geteuid()) return fail(Error::AccessDenied);
  return fd;
}

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
  const std::string folder_path =
      slash == std::string::npos ? "." : (slash == 0 ? "/" : path.substr(0, slash));
  std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
  auto folder = openFolder(folder_path);
  if (!folder) {
    if (folder.error() == Error::AccessDenied) {
      console::warning("Running without the log file: {} belongs to another user", folder_path);
    }
    return false;
  }
  // Only a regular file is kept: a FIFO would make every print wait for a
  // reader, and open itself would wait for one.
  struct stat opened {};
  auto fd = fs_util::openRegularFileAt(folder->get(), name.c_str(),
                                       O_WRONLY | O_APPEND | kNoFollow, 0, &opened);
  if (!fd && fd.error() == Error::FileNotFound) {
    fd = fs_util::openRegularFileAt(folder->get(), name.c_str(),
                                    O_WRONLY | O_APPEND | O_CREAT | kNoFollow, 0666, &opened);
  }
  if (!fd) {
    if (fd.error() == Error::SymLinkLoop) {
      console::warning("Running without the log file: {} is a symbolic link", path);
    }
    return false;
  }
  static const bool close_registered = std::atexit(closeAtExit) == 0;
  (void)close_registered;
  std::string set_aside_name = name + std::string(kSetAsideSuffix);
  std::lock_guard guard(log().lock);
  log().fd = std::move(*fd);
  log().folder = std::move(*folder);
  log().name = std::move(name);
  log().set_aside_name = std::move(set_aside_name);
  log().max_bytes = max_bytes;
  log().size = static_cast<uint64_t>(opened.st_size);
  emptyLaunchdLog(log().folder.get(), kMaxLogBytes);
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
  log().folder.reset();
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
