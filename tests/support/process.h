#pragma once

#include "tavrine/base/unique_fd.h"

#include <sys/types.h>

#include <chrono>
#include <optional>
#include <string>
#include <vector>

namespace test_support {

struct ProcessResult {
  int exit_code = -1;    // -1 when the process did not exit normally
  int term_signal = 0;   // the signal that ended it, 0 otherwise
  bool timed_out = false;
  std::string out;       // standard output
  std::string err;       // standard error
};

// The environment a child gets: the test's own, with these changes.
struct Environment {
  std::vector<std::pair<std::string, std::string>> set;  // NAME, value
  std::vector<std::string> unset;                         // NAME
  bool clear = false;  // start from an empty environment instead
};

// Runs `argv` to completion, feeding `input` on standard input (closed after
// it), and returns what it printed and how it ended. A child still running
// after `timeout` is killed with SIGKILL.
ProcessResult runProcess(const std::vector<std::string>& argv, const Environment& env = {},
                         const std::string& input = "",
                         std::chrono::milliseconds timeout = std::chrono::seconds(30));

// A child running in the background (a server, or the agent), whose standard
// error is collected into a file. Killed and reaped on destruction.
class BackgroundProcess {
 public:
  BackgroundProcess(const std::vector<std::string>& argv, const Environment& env = {},
                    bool pipe_stdin = false);
  BackgroundProcess(const BackgroundProcess&) = delete;
  BackgroundProcess& operator=(const BackgroundProcess&) = delete;
  ~BackgroundProcess();

  int pid() const { return pid_; }
  // Writes to the child's standard input (needs pipe_stdin).
  void writeInput(const std::string& text);
  void closeInput();
  // Sends `signal` to the child.
  void signal(int signal_number);
  // Waits up to `timeout` for the child to end; the result, or nothing.
  std::optional<ProcessResult> wait(std::chrono::milliseconds timeout);
  // Everything the child has written to standard error (or output) so far.
  std::string errorOutput() const;
  std::string standardOutput() const;
  // Waits until standard error contains `text`; false after `timeout`.
  bool waitForError(const std::string& text, std::chrono::milliseconds timeout) const;

 private:
  int pid_ = -1;
  UniqueFd stdin_fd_;
  std::string err_path_;
  std::string out_path_;
  bool reaped_ = false;
};

// Builds the full environment block for a child.
std::vector<std::string> buildEnvironment(const Environment& env);

// A TCP port on 127.0.0.1 that was free a moment ago.
int freeLoopbackPort();

// Counts this process's open descriptors and its unreaped children; -1 when
// the system does not tell.
int openDescriptorCount();
int childProcessCount();

// Whether `pid` no longer runs: gone, or a zombie waiting to be reaped.
bool processHasEnded(pid_t pid);

// Whether no process of the process group `group` runs any more (zombies
// waiting for a reaper count as ended).
bool processGroupHasEnded(pid_t group);

// The processes now running the executable at `path`.
std::vector<pid_t> processesRunning(const std::string& path);

// The arguments `pid` was started with, its own name first; nothing when the
// system does not tell.
std::optional<std::vector<std::string>> processArguments(pid_t pid);

}  // namespace test_support
