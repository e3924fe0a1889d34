#include "support/process.h"
#include "support/process_os.h"
#include "tavrine/platform/stop_request.h"

#include <dirent.h>
#include <sys/socket.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

namespace test_support {

UniqueFd openTcpSocket() { return UniqueFd(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0)); }

int acceptConnection(int listen_fd) { return accept4(listen_fd, nullptr, nullptr, SOCK_CLOEXEC); }

long sendWithoutSignal(int fd, const char* data, size_t size) {
  return send(fd, data, size, MSG_NOSIGNAL);
}

int openDescriptorCount() {
  // The stop pipe comes with the first wait that watches it: it is there
  // before the count, not half-way through what is counted.
  (void)platform::stopWakeFd();
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

std::vector<pid_t> processesRunning(const std::string& path) {
  std::vector<pid_t> found;
  for (const auto& entry : std::filesystem::directory_iterator("/proc")) {
    const std::string name = entry.path().filename().string();
    std::error_code error;
    if (name.find_first_not_of("0123456789") == std::string::npos &&
        std::filesystem::read_symlink(entry.path() / "exe", error) == path) {
      found.push_back(std::stoi(name));
    }
  }
  return found;
}

std::optional<std::vector<std::string>> processArguments(pid_t pid) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/cmdline", std::ios::binary);
  if (!in) return std::nullopt;
  std::vector<std::string> arguments;
  for (std::string argument; std::getline(in, argument, '\0');) arguments.push_back(argument);
  return arguments;
}

}  // namespace test_support
