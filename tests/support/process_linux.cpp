#include "support/process.h"
#include "support/process_os.h"

#include <dirent.h>
#include <sys/socket.h>

#include <fstream>
#include <sstream>
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

bool processGroupHasEnded(pid_t group) {
  DIR* processes = opendir("/proc");
  if (processes == nullptr) return false;
  bool ended = true;
  while (dirent* entry = readdir(processes)) {
    if (entry->d_name[0] < '0' || entry->d_name[0] > '9') continue;
    std::ifstream stat(std::string("/proc/") + entry->d_name + "/stat");
    std::string text((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
    // After the command name: state, parent, process group.
    const auto paren = text.rfind(')');
    if (paren == std::string::npos) continue;
    std::istringstream fields(text.substr(paren + 1));
    char state = 0;
    pid_t parent = 0;
    pid_t process_group = 0;
    if (!(fields >> state >> parent >> process_group)) continue;
    if (process_group == group && state != 'Z') {
      ended = false;
      break;
    }
  }
  closedir(processes);
  return ended;
}

}  // namespace test_support
