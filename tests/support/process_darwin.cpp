#include "support/process.h"
#include "support/process_os.h"
#include "tavrine/platform/stop_request.h"

#include <fcntl.h>
#include <libproc.h>
#include <sys/proc.h>
#include <sys/proc_info.h>
#include <sys/socket.h>
#include <sys/sysctl.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

namespace test_support {

namespace {

// There is no SOCK_CLOEXEC or MSG_NOSIGNAL here; both follow at once as
// socket options.
UniqueFd withSocketFlags(UniqueFd fd) {
  const int on = 1;
  if (fd && (fcntl(fd.get(), F_SETFD, FD_CLOEXEC) != 0 ||
             setsockopt(fd.get(), SOL_SOCKET, SO_NOSIGPIPE, &on, sizeof on) != 0)) {
    fd.reset();
  }
  return fd;
}

}  // namespace

UniqueFd openTcpSocket() { return withSocketFlags(UniqueFd(socket(AF_INET, SOCK_STREAM, 0))); }

int acceptConnection(int listen_fd) {
  return withSocketFlags(UniqueFd(accept(listen_fd, nullptr, nullptr))).release();
}

long sendWithoutSignal(int fd, const char* data, size_t size) { return send(fd, data, size, 0); }

int openDescriptorCount() {
  // The stop pipe comes with the first wait that watches it: it is there
  // before the count, not half-way through what is counted.
  (void)platform::stopWakeFd();
  // The kernel's own table: unlike listing /dev/fd, asking opens nothing. A
  // full buffer may have cut the list short, so it grows until it is not.
  std::vector<proc_fdinfo> entries(64);
  for (;;) {
    const int buffer_size = static_cast<int>(entries.size() * sizeof(proc_fdinfo));
    const int got = proc_pidinfo(getpid(), PROC_PIDLISTFDS, 0, entries.data(), buffer_size);
    if (got <= 0) return -1;
    if (got < buffer_size) return got / static_cast<int>(PROC_PIDLISTFD_SIZE);
    entries.resize(entries.size() * 2);
  }
}

int childProcessCount() {
  // The kernel lists zombies among the children, as the Linux count does.
  std::vector<pid_t> pids(64);
  for (;;) {
    const int buffer_size = static_cast<int>(pids.size() * sizeof(pid_t));
    const int got =
        proc_listpids(PROC_PPID_ONLY, static_cast<uint32_t>(getpid()), pids.data(), buffer_size);
    if (got < 0) return -1;
    if (got < buffer_size) {
      int count = 0;
      for (size_t i = 0; i < static_cast<size_t>(got) / sizeof(pid_t); ++i) {
        if (pids[i] > 0) ++count;
      }
      return count;
    }
    pids.resize(pids.size() * 2);
  }
}

bool processHasEnded(pid_t pid) {
  proc_bsdinfo info{};
  const int got = proc_pidinfo(pid, PROC_PIDTBSDINFO, 0, &info, sizeof info);
  // The processes asked about are this test's own descendants, so a failed
  // query means there is no such process (or only its zombie) any more.
  if (got != static_cast<int>(sizeof info)) return true;
  return info.pbi_status == SZOMB;
}

bool processGroupHasEnded(pid_t group) {
  std::vector<pid_t> pids(64);
  for (;;) {
    const int buffer_size = static_cast<int>(pids.size() * sizeof(pid_t));
    const int got =
        proc_listpids(PROC_PGRP_ONLY, static_cast<uint32_t>(group), pids.data(), buffer_size);
    if (got < 0) return false;
    if (got < buffer_size) {
      for (size_t i = 0; i < static_cast<size_t>(got) / sizeof(pid_t); ++i) {
        if (pids[i] > 0 && !processHasEnded(pids[i])) return false;
      }
      return true;
    }
    pids.resize(pids.size() * 2);
  }
}

std::vector<pid_t> processesRunning(const std::string& path) {
  // The kernel reports the resolved path (/private/var/..., not /var/...).
  std::error_code error;
  const std::string wanted = std::filesystem::weakly_canonical(path, error).string();
  std::vector<pid_t> pids(256);
  for (;;) {
    const int buffer_size = static_cast<int>(pids.size() * sizeof(pid_t));
    const int got = proc_listpids(PROC_ALL_PIDS, 0, pids.data(), buffer_size);
    if (got < 0) return {};
    if (got < buffer_size) {
      pids.resize(static_cast<size_t>(got) / sizeof(pid_t));
      break;
    }
    pids.resize(pids.size() * 2);
  }
  std::vector<pid_t> found;
  std::vector<char> running(PROC_PIDPATHINFO_MAXSIZE);
  for (const pid_t pid : pids) {
    if (pid > 0 && proc_pidpath(pid, running.data(), static_cast<uint32_t>(running.size())) > 0 &&
        wanted == running.data()) {
      found.push_back(pid);
    }
  }
  return found;
}

std::optional<std::vector<std::string>> processArguments(pid_t pid) {
  // KERN_PROCARGS2: the argument count, the executable's path, padding, then
  // the arguments, each ending in a zero byte.
  int argmax_mib[] = {CTL_KERN, KERN_ARGMAX};
  int argmax = 0;
  size_t argmax_size = sizeof argmax;
  if (sysctl(argmax_mib, 2, &argmax, &argmax_size, nullptr, 0) != 0 || argmax <= 0) {
    return std::nullopt;
  }
  std::vector<char> buffer(static_cast<size_t>(argmax));
  size_t size = buffer.size();
  int mib[] = {CTL_KERN, KERN_PROCARGS2, static_cast<int>(pid)};
  if (sysctl(mib, 3, buffer.data(), &size, nullptr, 0) != 0 || size < sizeof(int)) {
    return std::nullopt;
  }
  int count = 0;
  std::memcpy(&count, buffer.data(), sizeof count);
  size_t at = sizeof count;
  while (at < size && buffer[at] != '\0') ++at;  // the executable's path
  while (at < size && buffer[at] == '\0') ++at;  // padding
  std::vector<std::string> arguments;
  while (static_cast<int>(arguments.size()) < count && at < size) {
    const size_t end = std::find(buffer.begin() + static_cast<long>(at),
                                 buffer.begin() + static_cast<long>(size), '\0') -
                       buffer.begin();
    arguments.emplace_back(buffer.data() + at, end - at);
    at = end + 1;
  }
  if (static_cast<int>(arguments.size()) != count) return std::nullopt;
  return arguments;
}

}  // namespace test_support
