#include "tavrine/base/console.h"

#include "tavrine/base/immortal.h"

#include <unistd.h>

#include <cerrno>

namespace console {

std::mutex& lock() noexcept {
  // Other threads may still write while the process exits.
  return immortal<std::mutex>();
}

void writeLocked(std::string_view text) noexcept {
  while (!text.empty()) {
    const ssize_t written = ::write(STDERR_FILENO, text.data(), text.size());
    if (written < 0) {
      if (errno == EINTR) continue;
      return;  // Nowhere left to report a broken console.
    }
    text.remove_prefix(static_cast<size_t>(written));
  }
}

void line(std::string_view text) noexcept {
  std::lock_guard guard(lock());
  writeLocked(text);
}

namespace {
void diagnostic(std::string_view prefix, std::string_view text) noexcept {
  std::lock_guard guard(lock());
  writeLocked(prefix);
  writeLocked(text);
  writeLocked("\n");
}
}  // namespace

void info(std::string_view text) noexcept { diagnostic("info: ", text); }
void warning(std::string_view text) noexcept { diagnostic("warning: ", text); }
void error(std::string_view text) noexcept { diagnostic("error: ", text); }

}  // namespace console
