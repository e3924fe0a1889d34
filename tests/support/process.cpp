#include "support/process.h"

#include <arpa/inet.h>
#include <dirent.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <fstream>
#include <set>
#include <sstream>
#include <stdexcept>
#include <thread>

extern char** environ;

namespace test_support {
namespace {

std::vector<char*> pointers(std::vector<std::string>& strings) {
  std::vector<char*> result;
  for (auto& s : strings) result.push_back(s.data());
  result.push_back(nullptr);
  return result;
}

ProcessResult decodeStatus(int status) {
  ProcessResult result;
  if (WIFEXITED(status)) result.exit_code = WEXITSTATUS(status);
  if (WIFSIGNALED(status)) result.term_signal = WTERMSIG(status);
  return result;
}

std::string slurp(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream content;
  content << in.rdbuf();
  return content.str();
}

}  // namespace

std::vector<std::string> buildEnvironment(const Environment& env) {
  std::vector<std::string> block;
  std::set<std::string> removed(env.unset.begin(), env.unset.end());
  for (const auto& [name, value] : env.set) removed.insert(name);
  if (!env.clear) {
    for (char** entry = environ; *entry != nullptr; ++entry) {
      const std::string text(*entry);
      const auto eq = text.find('=');
      if (removed.count(text.substr(0, eq)) != 0) continue;
      block.push_back(text);
    }
  }
  for (const auto& [name, value] : env.set) block.push_back(name + "=" + value);
  return block;
}

ProcessResult runProcess(const std::vector<std::string>& argv, const Environment& env,
                         const std::string& input, std::chrono::milliseconds timeout) {
  int in_pipe[2], out_pipe[2], err_pipe[2];
  if (pipe2(in_pipe, O_CLOEXEC) != 0 || pipe2(out_pipe, O_CLOEXEC) != 0 ||
      pipe2(err_pipe, O_CLOEXEC) != 0) {
    throw std::runtime_error("pipe failed");
  }
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, in_pipe[0], 0);
  posix_spawn_file_actions_adddup2(&actions, out_pipe[1], 1);
  posix_spawn_file_actions_adddup2(&actions, err_pipe[1], 2);
  std::vector<std::string> args = argv;
  std::vector<std::string> block = buildEnvironment(env);
  auto arg_ptrs = pointers(args);
  auto env_ptrs = pointers(block);
  pid_t pid = -1;
  const int spawned =
      posix_spawnp(&pid, args[0].c_str(), &actions, nullptr, arg_ptrs.data(), env_ptrs.data());
  posix_spawn_file_actions_destroy(&actions);
  close(in_pipe[0]);
  close(out_pipe[1]);
  close(err_pipe[1]);
  if (spawned != 0) {
    close(in_pipe[1]);
    close(out_pipe[0]);
    close(err_pipe[0]);
    throw std::runtime_error(std::string("spawn failed: ") + std::strerror(spawned));
  }

  ProcessResult result;
  std::string_view pending_input = input;
  int in_fd = in_pipe[1];
  if (pending_input.empty()) {
    close(in_fd);
    in_fd = -1;
  }
  int out_fd = out_pipe[0], err_fd = err_pipe[0];
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (out_fd >= 0 || err_fd >= 0) {
    pollfd fds[3];
    int count = 0;
    if (out_fd >= 0) fds[count++] = {out_fd, POLLIN, 0};
    if (err_fd >= 0) fds[count++] = {err_fd, POLLIN, 0};
    if (in_fd >= 0) fds[count++] = {in_fd, POLLOUT, 0};
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) {
      result.timed_out = true;
      kill(pid, SIGKILL);
      break;
    }
    if (poll(fds, count, static_cast<int>(left.count())) < 0 && errno != EINTR) break;
    for (int i = 0; i < count; ++i) {
      if (fds[i].revents == 0) continue;
      if (fds[i].fd == in_fd) {
        const ssize_t n = write(in_fd, pending_input.data(), pending_input.size());
        if (n > 0) pending_input.remove_prefix(static_cast<size_t>(n));
        if (n < 0 || pending_input.empty()) {
          close(in_fd);
          in_fd = -1;
        }
        continue;
      }
      char buffer[65536];
      const ssize_t n = read(fds[i].fd, buffer, sizeof buffer);
      std::string& sink = fds[i].fd == out_fd ? result.out : result.err;
      if (n > 0) {
        sink.append(buffer, static_cast<size_t>(n));
      } else {
        close(fds[i].fd);
        (fds[i].fd == out_fd ? out_fd : err_fd) = -1;
      }
    }
  }
  if (in_fd >= 0) close(in_fd);
  if (out_fd >= 0) close(out_fd);
  if (err_fd >= 0) close(err_fd);
  int status = 0;
  while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  ProcessResult ended = decodeStatus(status);
  result.exit_code = ended.exit_code;
  result.term_signal = ended.term_signal;
  return result;
}

BackgroundProcess::BackgroundProcess(const std::vector<std::string>& argv, const Environment& env,
                                     bool pipe_stdin) {
  char err_pattern[] = "/tmp/tavrine-bg-err-XXXXXX";
  char out_pattern[] = "/tmp/tavrine-bg-out-XXXXXX";
  const int err_fd = mkostemp(err_pattern, O_CLOEXEC);
  const int out_fd = mkostemp(out_pattern, O_CLOEXEC);
  err_path_ = err_pattern;
  out_path_ = out_pattern;
  int in_pipe[2] = {-1, -1};
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  if (pipe_stdin) {
    if (pipe2(in_pipe, O_CLOEXEC) != 0) throw std::runtime_error("pipe failed");
    posix_spawn_file_actions_adddup2(&actions, in_pipe[0], 0);
  } else {
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  }
  posix_spawn_file_actions_adddup2(&actions, out_fd, 1);
  posix_spawn_file_actions_adddup2(&actions, err_fd, 2);
  std::vector<std::string> args = argv;
  std::vector<std::string> block = buildEnvironment(env);
  auto arg_ptrs = pointers(args);
  auto env_ptrs = pointers(block);
  const int spawned =
      posix_spawnp(&pid_, args[0].c_str(), &actions, nullptr, arg_ptrs.data(), env_ptrs.data());
  posix_spawn_file_actions_destroy(&actions);
  close(err_fd);
  close(out_fd);
  if (pipe_stdin) {
    close(in_pipe[0]);
    stdin_fd_ = in_pipe[1];
  }
  if (spawned != 0) {
    pid_ = -1;
    throw std::runtime_error(std::string("spawn failed: ") + std::strerror(spawned));
  }
}

BackgroundProcess::~BackgroundProcess() {
  closeInput();
  if (pid_ > 0 && !reaped_) {
    kill(pid_, SIGKILL);
    int status;
    while (waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
    }
  }
  unlink(err_path_.c_str());
  unlink(out_path_.c_str());
}

void BackgroundProcess::writeInput(const std::string& text) {
  if (stdin_fd_ >= 0) {
    [[maybe_unused]] const ssize_t ignored = write(stdin_fd_, text.data(), text.size());
  }
}

void BackgroundProcess::closeInput() {
  if (stdin_fd_ >= 0) close(stdin_fd_);
  stdin_fd_ = -1;
}

void BackgroundProcess::signal(int signal_number) {
  if (pid_ > 0 && !reaped_) kill(pid_, signal_number);
}

std::optional<ProcessResult> BackgroundProcess::wait(std::chrono::milliseconds timeout) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (!reaped_) {
    int status = 0;
    const pid_t got = waitpid(pid_, &status, WNOHANG);
    if (got == pid_) {
      reaped_ = true;
      ProcessResult result = decodeStatus(status);
      result.err = errorOutput();
      result.out = standardOutput();
      return result;
    }
    if (std::chrono::steady_clock::now() >= deadline) return std::nullopt;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return std::nullopt;
}

std::string BackgroundProcess::errorOutput() const { return slurp(err_path_); }
std::string BackgroundProcess::standardOutput() const { return slurp(out_path_); }

bool BackgroundProcess::waitForError(const std::string& text,
                                     std::chrono::milliseconds timeout) const {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (std::chrono::steady_clock::now() < deadline) {
    if (errorOutput().find(text) != std::string::npos) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return errorOutput().find(text) != std::string::npos;
}

int freeLoopbackPort() {
  const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  address.sin_port = 0;
  bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
  socklen_t length = sizeof address;
  getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
  close(fd);
  return ntohs(address.sin_port);
}

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

}  // namespace test_support
