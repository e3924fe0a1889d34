#include "tavrine/agent/instance_lock.h"

#include "tavrine/base/environment.h"
#include "tavrine/base/fs_util.h"

#include <fcntl.h>
#include <sys/file.h>

#include <cerrno>

namespace agent {
namespace {

constexpr std::string_view kFolderSuffix = "/Library/Application Support/Tavrine";
constexpr std::string_view kLockName = "/agent.lock";

}  // namespace

std::optional<std::string> InstanceLock::pathFor(std::string_view home) {
  if (!environment::isUsableHome(home)) return std::nullopt;
  std::string path(home);
  path += kFolderSuffix;
  path += kLockName;
  return path;
}

Result<InstanceLock> InstanceLock::tryTake(const std::string& path) {
  const auto slash = path.rfind('/');
  if (slash != std::string::npos && slash > 0) {
    // The folder also holds the credentials file, hence owner-only.
    if (auto made = fs_util::makeDirectories(path.substr(0, slash), 0700); !made) {
      return fail(made.error());
    }
  }
  auto fd = fs_util::openRegularFile(path, O_RDWR | O_CREAT, 0600);
  if (!fd) return fail(fd.error());
  // flock, not fcntl locks: those belong to the process rather than the
  // descriptor and vanish when any descriptor of the file is closed.
  int locked;
  do {
    locked = ::flock(fd->get(), LOCK_EX | LOCK_NB);
  } while (locked != 0 && errno == EINTR);
  if (locked != 0) return fail(errno == EWOULDBLOCK ? Error::WouldBlock : errorFromErrno(errno));
  return InstanceLock(std::move(*fd));
}

}  // namespace agent
