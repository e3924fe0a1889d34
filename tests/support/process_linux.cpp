#include "support/process.h"
#include "support/process_os.h"

#include <dirent.h>
#include <sys/socket.h>

#include <fstream>
#include <string>

namespace test_support {

UniqueFd openTcpSocket() { return UniqueFd(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0)); }

int openDescriptorCount() {
  int count = 0;
  DIR* dir = opendir("/proc/self/fd");
  if (dir == nullptr) return -1;
  while (dirent* entry = readdir(dir)) {
    if (entry->d_name[0] != '.') ++count;
  }
  closedir(dir);
  return count - 1;  // the directory stream itself
}

int childProcessCount() {
  // Children of every thread of this process, zombies included.
  int count = 0;
  DIR* tasks = opendir("/proc/self/task");
  if (tasks == nullptr) return -1;
  while (dirent* task = readdir(tasks)) {
    if (task->d_name[0] == '.') continue;
    std::ifstream in(std::string("/proc/self/task/") + task->d_name + "/children");
    std::string pid;
    while (in >> pid) ++count;
  }
  closedir(tasks);
  return count;
}

bool processHasEnded(pid_t pid) {
  std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
  if (!stat) return true;
  std::string text((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
  // The state follows the command name, which may itself hold parentheses.
  const auto paren = text.rfind(')');
  return paren != std::string::npos && paren + 2 < text.size() && text[paren + 2] == 'Z';
}

}  // namespace test_support
