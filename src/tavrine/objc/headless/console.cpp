// The headless console: where there is no menu bar, a person (or a test)
// uses the menu through standard input. Each line is one command, carried out
// on the main thread as the matching click or answer would be.
#include "tavrine/base/console.h"
#include "tavrine/base/immortal.h"
#include "tavrine/objc/headless/inspect.h"
#include "tavrine/objc/headless/object_model.h"
#include "tavrine/objc/headless/run_loop.h"
#include "tavrine/base/unique_fd.h"

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <thread>

namespace objc::headless::detail {
namespace {

// A line longer than this is not a command anyone typed.
constexpr size_t kMaxLineLength = 4096;

struct Reader {
  std::thread thread;
  UniqueFd stop_read;
  UniqueFd stop_write;
};

// Never destroyed: the process may exit while the reader still waits.
Reader& reader() { return immortal<Reader>(); }

void printMenu() {
  for (const auto& entry : menuEntries()) {
    if (entry.separator) {
      console::line("menu: ---\n");
    } else {
      console::line("menu: {}{}\n", entry.title, entry.enabled ? "" : " (disabled)");
    }
  }
}

void clickFromConsole(const std::string& title) {
  for (const auto& entry : menuEntries()) {
    if (entry.separator || entry.title != title) continue;
    if (!click(entry.item)) console::error("menu entry \"{}\" cannot be chosen", title);
    return;
  }
  console::error("no menu entry \"{}\"", title);
}

void readLines(int fd, int stop_fd, std::function<void()> on_input_ended) {
  std::string pending;
  // Set once a line has outgrown the limit: its remainder, up to the next
  // line feed, belongs to the refused line and is not a command of its own.
  bool discarding = false;
  char buffer[1024];
  for (;;) {
    pollfd watched[2] = {{fd, POLLIN, 0}, {stop_fd, POLLIN, 0}};
    if (::poll(watched, 2, -1) < 0) {
      if (errno == EINTR) continue;
      break;
    }
    if (watched[1].revents != 0) return;  // the loop has ended; input has not
    const ssize_t got = ::read(fd, buffer, sizeof buffer);
    if (got < 0 && (errno == EINTR || errno == EAGAIN)) continue;
    if (got <= 0) break;
    pending.append(buffer, static_cast<size_t>(got));
    size_t newline;
    while ((newline = pending.find('\n')) != std::string::npos) {
      if (discarding) {
        discarding = false;
      } else if (newline > kMaxLineLength) {
        console::error("console line too long");
      } else {
        handleConsoleLine(pending.substr(0, newline));
      }
      pending.erase(0, newline + 1);
    }
    if (pending.size() > kMaxLineLength) {
      if (!discarding) console::error("console line too long");
      discarding = true;
      pending.clear();
    }
  }
  if (!pending.empty() && !discarding) handleConsoleLine(std::move(pending));
  postToMainThread(std::move(on_input_ended));
}

}  // namespace

void handleConsoleLine(std::string line) {
  if (!line.empty() && line.back() == '\r') line.pop_back();
  constexpr std::string_view kClick = "click ";
  constexpr std::string_view kAnswer = "answer ";
  if (line == "menu") {
    postToMainThread(printMenu);
  } else if (line.starts_with(kClick)) {
    postToMainThread([title = line.substr(kClick.size())] { clickFromConsole(title); });
  } else if (line.starts_with(kAnswer)) {
    postToMainThread([button = line.substr(kAnswer.size())] { answerAlert(button); });
  } else {
    console::error("unknown console command \"{}\" (click TITLE, answer BUTTON, menu)", line);
  }
}

void startConsole(int fd, std::function<void()> on_input_ended) {
  Reader& r = reader();
  auto stop_pipe = makePipe(O_CLOEXEC);
  if (!stop_pipe) fatal("cannot create the console's stop pipe");
  r.stop_read = std::move(stop_pipe->first);
  r.stop_write = std::move(stop_pipe->second);
  r.thread = std::thread(readLines, fd, r.stop_read.get(), std::move(on_input_ended));
}

void stopConsole() {
  Reader& r = reader();
  if (!r.thread.joinable()) return;
  const char byte = 1;
  [[maybe_unused]] const ssize_t ignored = ::write(r.stop_write.get(), &byte, 1);
  r.thread.join();
  r.stop_read.reset();
  r.stop_write.reset();
}

}  // namespace objc::headless::detail
