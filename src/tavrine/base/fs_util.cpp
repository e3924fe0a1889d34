#include "tavrine/base/fs_util.h"

#include "tavrine/base/unique_fd.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <new>

namespace fs_util {
namespace {

// Removes the temporary file of an unfinished save.
class TemporaryFile {
 public:
  explicit TemporaryFile(std::string path) : path_(std::move(path)) {}
  TemporaryFile(const TemporaryFile&) = delete;
  TemporaryFile& operator=(const TemporaryFile&) = delete;
  ~TemporaryFile() {
    if (!path_.empty()) ::unlink(path_.c_str());
  }
  const std::string& path() const { return path_; }
  void keep() { path_.clear(); }

 private:
  std::string path_;
};

}  // namespace

Result<void> replaceFile(const std::string& directory, const std::string& path,
                         std::string_view text) {
  std::string pattern = path + ".XXXXXX";
  // mkostemp creates the file 0600, whatever the umask says.
  UniqueFd fd(::mkostemp(pattern.data(), O_CLOEXEC));
  if (!fd) return fail(errorFromErrno(errno));
  TemporaryFile temporary(pattern);
  if (auto written = writeAll(fd.get(), text); !written) return written;
  if (::fsync(fd.get()) != 0) return fail(errorFromErrno(errno));
  if (::close(fd.release()) != 0) return fail(errorFromErrno(errno));
  if (::rename(temporary.path().c_str(), path.c_str()) != 0) return fail(errorFromErrno(errno));
  temporary.keep();
  // Make the rename itself durable; the new file is in place either way.
  UniqueFd dir_fd(::open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (dir_fd) ::fsync(dir_fd.get());
  return {};
}

Result<void> makeDirectories(const std::string& path, mode_t mode) {
  if (path.empty()) return fail(Error::FileNotFound);
  struct stat info {};
  if (::stat(path.c_str(), &info) == 0) {
    if (S_ISDIR(info.st_mode)) return {};
    return fail(Error::NotDir);
  }
  // Create each missing level from the top down.
  size_t position = path.find_first_not_of('/');
  while (position != std::string::npos) {
    const size_t end = path.find('/', position);
    const std::string prefix = path.substr(0, end);
    if (::mkdir(prefix.c_str(), mode) != 0 && errno != EEXIST) {
      return fail(errorFromErrno(errno));
    }
    if (end == std::string::npos) break;
    position = path.find_first_not_of('/', end);
  }
  if (::stat(path.c_str(), &info) != 0) return fail(errorFromErrno(errno));
  if (!S_ISDIR(info.st_mode)) return fail(Error::NotDir);
  return {};
}

Result<UniqueFd> openRegularFile(const std::string& path, int flags, mode_t mode) {
  return openRegularFileAt(AT_FDCWD, path.c_str(), flags, mode);
}

Result<UniqueFd> openRegularFileAt(int folder, const char* name, int flags, mode_t mode,
                                   struct stat* info) {
  // O_NONBLOCK keeps open from waiting for the other end of a FIFO; O_NOCTTY
  // keeps a terminal from becoming ours. Only after fstat is the file known.
  UniqueFd fd(::openat(folder, name, flags | O_NONBLOCK | O_NOCTTY | O_CLOEXEC, mode));
  if (!fd) return fail(errorFromErrno(errno));
  struct stat own {};
  struct stat& checked = info != nullptr ? *info : own;
  if (::fstat(fd.get(), &checked) != 0) return fail(errorFromErrno(errno));
  if (S_ISDIR(checked.st_mode)) return fail(Error::IsDir);
  if (!S_ISREG(checked.st_mode)) return fail(Error::NotRegularFile);
  // The status flags are the ones just asked for: only O_NONBLOCK goes (the
  // access mode and creation flags are not status flags and are ignored).
  if ((flags & O_NONBLOCK) == 0 && ::fcntl(fd.get(), F_SETFL, flags) != 0) {
    return fail(errorFromErrno(errno));
  }
  return fd;
}

Result<std::string> readWholeFile(const std::string& path, size_t limit) {
  auto fd = openRegularFile(path, O_RDONLY);
  if (!fd) return fail(fd.error());
  try {
    std::string text;
    char chunk[65536];
    for (;;) {
      const ssize_t got = ::read(fd->get(), chunk, sizeof chunk);
      if (got < 0) {
        if (errno == EINTR) continue;
        return fail(errorFromErrno(errno));
      }
      if (got == 0) break;
      if (text.size() + static_cast<size_t>(got) > limit) return fail(Error::FileTooBig);
      text.append(chunk, static_cast<size_t>(got));
    }
    return text;
  } catch (const std::bad_alloc&) {
    return fail(Error::OutOfMemory);
  }
}

Result<void> writeAll(int fd, std::string_view data) {
  while (!data.empty()) {
    const ssize_t written = ::write(fd, data.data(), data.size());
    if (written < 0) {
      if (errno == EINTR) continue;
      return fail(errorFromErrno(errno));
    }
    data.remove_prefix(static_cast<size_t>(written));
  }
  return {};
}

}  // namespace fs_util
