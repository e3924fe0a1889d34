// The stand-in's main thread: one FIFO of work that the application loop (and
// an alert waiting for its answer) serves, woken through a pipe that the
// termination signals share.
#include "tavrine/objc/headless/run_loop.h"

#include "tavrine/base/console.h"
#include "tavrine/base/error.h"
#include "tavrine/base/immortal.h"
#include "tavrine/base/unique_fd.h"
#include "tavrine/objc/headless/inspect.h"
#include "tavrine/objc/headless/object_model.h"
#include "tavrine/platform/stop_request.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <csignal>
#include <cstdlib>
#include <deque>
#include <mutex>

namespace objc::headless::detail {
namespace {

struct Loop {
  Loop() {
    auto wake_pipe = makePipe(O_CLOEXEC | O_NONBLOCK);
    if (!wake_pipe) fatal("cannot create the main thread's wake-up pipe");
    wake_read = std::move(wake_pipe->first);
    wake_write = std::move(wake_pipe->second);
  }

  // Any thread.
  std::mutex lock;
  std::deque<std::function<void()>> queue;
  UniqueFd wake_read;  // both ends live as long as the process
  UniqueFd wake_write;
  std::atomic<bool> ends_process{true};

  // Main thread only.
  bool running = false;
  bool stop = false;
  bool input_open = false;  // a console reads input that has not ended
  int console_fd = STDIN_FILENO;
  std::deque<std::string> answers;
  size_t terminate_count = 0;
  bool signals_armed = false;
  struct sigaction previous_int {};
  struct sigaction previous_term {};
};

// Never destroyed: the check thread may post to it while the process exits.
Loop& loop() { return immortal<Loop>(); }

// Written by the signal handler; read by the main thread after a wake-up.
std::atomic<int> pending_signal{0};
static_assert(std::atomic<int>::is_always_lock_free);
int signal_wake_fd = -1;

void wake(int fd) noexcept {
  const char byte = 1;
  // A full pipe already holds a wake-up, so a failed write loses nothing.
  [[maybe_unused]] const ssize_t ignored = ::write(fd, &byte, 1);
}

// The stop request reaches work under way on any thread (a tool the
// collection waits for, say); terminate: follows once the loop serves it.
extern "C" void onTerminationSignal(int signal_number) {
  const int saved_errno = errno;
  platform::requestStop();
  pending_signal.store(signal_number);
  wake(signal_wake_fd);
  errno = saved_errno;
}

void armSignals(Loop& l) {
  if (l.signals_armed) return;
  signal_wake_fd = l.wake_write.get();
  struct sigaction action {};
  action.sa_handler = onTerminationSignal;
  sigemptyset(&action.sa_mask);
  action.sa_flags = SA_RESTART;
  sigaction(SIGINT, &action, &l.previous_int);
  sigaction(SIGTERM, &action, &l.previous_term);
  l.signals_armed = true;
}

void disarmSignals(Loop& l) {
  if (!l.signals_armed) return;
  sigaction(SIGINT, &l.previous_int, nullptr);
  sigaction(SIGTERM, &l.previous_term, nullptr);
  l.signals_armed = false;
}

void drainWakeups(Loop& l) {
  char buffer[256];
  while (::read(l.wake_read.get(), buffer, sizeof buffer) > 0) {
  }
}

void waitForWakeup(Loop& l) {
  pollfd watched{l.wake_read.get(), POLLIN, 0};
  while (::poll(&watched, 1, -1) < 0 && errno == EINTR) {
  }
}

// A termination signal is answered like "Quit Tavrine": terminate: from the
// main thread.
void handlePendingSignal() {
  if (pending_signal.exchange(0) == 0) return;
  Id application =
      send<Id>(classNamed("NSApplication"), objc::sel_registerName("sharedApplication"));
  send<void>(application, objc::sel_registerName("terminate:"), Id{});
}

size_t serveQueue(Loop& l) {
  size_t served = 0;
  while (!l.stop) {
    std::function<void()> work;
    {
      std::lock_guard guard(l.lock);
      if (l.queue.empty()) break;
      work = std::move(l.queue.front());
      l.queue.pop_front();
    }
    AutoreleasePool pool;  // one per pass, as AppKit's loop has
    work();
    ++served;
  }
  return served;
}

// One turn of the loop: signals first, then the queue.
void serveOnce(Loop& l) {
  drainWakeups(l);
  handlePendingSignal();
  serveQueue(l);
}

}  // namespace

void postToMainThread(std::function<void()> work) {
  Loop& l = loop();
  {
    std::lock_guard guard(l.lock);
    l.queue.push_back(std::move(work));
  }
  wake(l.wake_write.get());
}

void performSelectorOnMainThread(Id self, Sel, Sel selector, Id argument, bool wait) {
  retain(self);
  retain(argument);
  auto perform = [self, selector, argument] {
    send<void>(self, selector, argument);
    release(argument);
    release(self);
  };
  if (!wait) {
    postToMainThread(std::move(perform));
    return;
  }
  if (objc::isMainThread()) {
    perform();
    return;
  }
  std::mutex done_lock;
  std::condition_variable done_signal;
  bool done = false;
  postToMainThread([&] {
    perform();
    std::lock_guard guard(done_lock);
    done = true;
    done_signal.notify_one();
  });
  std::unique_lock guard(done_lock);
  done_signal.wait(guard, [&] { return done; });
}

namespace {

// Whether a console reader could ever get a line from `fd`: not when it is
// closed, nor when it is a device other than a terminal (the null device of
// an agent started by launchd), whose end of input the reader would only
// report. The reader's thread and stack are spared then.
bool mayCarryCommands(int fd) noexcept {
  struct stat info;
  if (::fstat(fd, &info) != 0) return false;
  return !S_ISCHR(info.st_mode) || ::isatty(fd) == 1;
}

}  // namespace

void runApplicationLoop() {
  Loop& l = loop();
  if (l.running) fatal("-[NSApplication run] sent while the application runs");
  l.running = true;
  l.stop = false;
  const bool armed_here = !l.signals_armed;
  armSignals(l);
  if (l.console_fd >= 0 && mayCarryCommands(l.console_fd)) {
    l.input_open = true;
    startConsole(l.console_fd, [] { loop().input_open = false; });
  }
  while (!l.stop) {
    serveOnce(l);
    if (!l.stop) waitForWakeup(l);
  }
  stopConsole();
  l.input_open = false;
  if (armed_here) disarmSignals(l);
  l.running = false;
}

void terminateApplication() {
  Loop& l = loop();
  ++l.terminate_count;
  // AppKit ends the process from inside the loop; the log and every other
  // descriptor are closed on the way out. The console reader is joined first
  // so that no thread is abandoned half-way.
  if (l.ends_process.load()) {
    stopConsole();
    std::exit(0);
  }
  if (l.running) l.stop = true;
}

size_t waitForAlertAnswer(const std::vector<std::string>& buttons) {
  Loop& l = loop();
  for (;;) {
    while (!l.answers.empty()) {
      const std::string answer = std::move(l.answers.front());
      l.answers.pop_front();
      for (size_t i = 0; i < buttons.size(); ++i) {
        if (buttons[i] == answer) return i;
      }
      console::error("the alert has no button \"{}\"", answer);
    }
    if (!l.input_open || l.stop) return buttons.size() - 1;
    serveOnce(l);
    if (l.answers.empty() && l.input_open && !l.stop) waitForWakeup(l);
  }
}

}  // namespace objc::headless::detail

namespace objc {

void handleTerminationSignals() noexcept { headless::detail::armSignals(headless::detail::loop()); }

void runOnMainThread(std::function<void()> work) {
  headless::detail::postToMainThread(std::move(work));
}

}  // namespace objc

namespace objc::headless {

void answerAlert(std::string button) { detail::loop().answers.push_back(std::move(button)); }

size_t drainMainQueue() {
  detail::Loop& l = detail::loop();
  detail::drainWakeups(l);
  return detail::serveQueue(l);
}

size_t terminateCount() { return detail::loop().terminate_count; }

void setTerminateEndsProcess(bool ends_process) { detail::loop().ends_process = ends_process; }

void setConsoleInput(int fd) { detail::loop().console_fd = fd; }

}  // namespace objc::headless
