#include "support/process.h"

#include "support/process_os.h"
#include "tavrine/base/unique_fd.h"

#include <arpa/inet.h>
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
  auto in_pipe = makePipe(O_CLOEXEC);
  auto out_pipe = makePipe(O_CLOEXEC);
  auto err_pipe = makePipe(O_CLOEXEC);
  if (!in_pipe || !out_pipe || !err_pipe) throw std::runtime_error("pipe failed");
  auto& [in_read, in_fd] = *in_pipe;
  auto& [out_fd, out_write] = *out_pipe;
  auto& [err_fd, err_write] = *err_pipe;
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, in_read.get(), 0);
  posix_spawn_file_actions_adddup2(&actions, out_write.get(), 1);
  posix_spawn_file_actions_adddup2(&actions, err_write.get(), 2);
  std::vector<std::string> args = argv;
  std::vector<std::string> block = buildEnvironment(env);
  auto arg_ptrs = pointers(args);
  auto env_ptrs = pointers(block);
  pid_t pid = -1;
  const int spawned =
      posix_spawnp(&pid, args[0].c_str(), &actions, nullptr, arg_ptrs.data(), env_ptrs.data());
  posix_spawn_file_actions_destroy(&actions);
  in_read.reset();
  out_write.reset();
  err_write.reset();
  if (spawned != 0) {
    throw std::runtime_error(std::string("spawn failed: ") + std::strerror(spawned));
  }

  ProcessResult result;
  std::string_view pending_input = input;
  if (pending_input.empty()) in_fd.reset();
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (out_fd || err_fd) {
    pollfd fds[3];
    int count = 0;
    if (out_fd) fds[count++] = {out_fd.get(), POLLIN, 0};
    if (err_fd) fds[count++] = {err_fd.get(), POLLIN, 0};
    if (in_fd) fds[count++] = {in_fd.get(), POLLOUT, 0};
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
      if (fds[i].fd == in_fd.get()) {
        const ssize_t n = write(in_fd.get(), pending_input.data(), pending_input.size());
        if (n > 0) pending_input.remove_prefix(static_cast<size_t>(n));
        if (n < 0 || pending_input.empty()) in_fd.reset();
        continue;
      }
      char buffer[65536];
      const ssize_t n = read(fds[i].fd, buffer, sizeof buffer);
      const bool is_out = fds[i].fd == out_fd.get();
      std::string& sink = is_out ? result.out : result.err;
      if (n > 0) {
        sink.append(buffer, static_cast<size_t>(n));
      } else {
        (is_out ? out_fd : err_fd).reset();
      }
    }
  }
  in_fd.reset();
  out_fd.reset();
  err_fd.reset();
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
  const UniqueFd err_fd(mkostemp(err_pattern, O_CLOEXEC));
  const UniqueFd out_fd(mkostemp(out_pattern, O_CLOEXEC));
  err_path_ = err_pattern;
  out_path_ = out_pattern;
  UniqueFd in_read;
  if (pipe_stdin) {
    auto in_pipe = makePipe(O_CLOEXEC);
    if (!in_pipe) throw std::runtime_error("pipe failed");
    in_read = std::move(in_pipe->first);
    stdin_fd_ = std::move(in_pipe->second);
  }
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  if (pipe_stdin) {
    posix_spawn_file_actions_adddup2(&actions, in_read.get(), 0);
  } else {
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  }
  posix_spawn_file_actions_adddup2(&actions, out_fd.get(), 1);
  posix_spawn_file_actions_adddup2(&actions, err_fd.get(), 2);
  std::vector<std::string> args = argv;
  std::vector<std::string> block = buildEnvironment(env);
  auto arg_ptrs = pointers(args);
  auto env_ptrs = pointers(block);
  const int spawned =
      posix_spawnp(&pid_, args[0].c_str(), &actions, nullptr, arg_ptrs.data(), env_ptrs.data());
  posix_spawn_file_actions_destroy(&actions);
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
  if (stdin_fd_) {
    [[maybe_unused]] const ssize_t ignored = write(stdin_fd_.get(), text.data(), text.size());
  }
}

void BackgroundProcess::closeInput() { stdin_fd_.reset(); }

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
  const UniqueFd fd = openTcpSocket();
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  address.sin_port = 0;
  bind(fd.get(), reinterpret_cast<sockaddr*>(&address), sizeof address);
  socklen_t length = sizeof address;
  getsockname(fd.get(), reinterpret_cast<sockaddr*>(&address), &length);
  return ntohs(address.sin_port);
}

}  // namespace test_support
