#include "support/process.h"
#include "support/process_os.h"

#include <fcntl.h>
#include <libproc.h>
#include <sys/proc.h>
#include <sys/proc_info.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdint>
#include <vector>

namespace test_support {

UniqueFd openTcpSocket() {
  // There is no SOCK_CLOEXEC here; the flag follows at once.
  UniqueFd fd(socket(AF_INET, SOCK_STREAM, 0));
  if (fd) fcntl(fd.get(), F_SETFD, FD_CLOEXEC);
  return fd;
}

int openDescriptorCount() {
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

}  // namespace test_support
