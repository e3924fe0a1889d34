#pragma once

#include <fmt/format.h>

#include <mutex>
#include <string_view>

// Standard error is the system's only console. Everything written to it goes
// through one process-wide lock so that lines from different threads never
// interleave.
namespace console {

// The standard-error lock. Hold it only around complete writes.
[[nodiscard]] std::mutex& lock() noexcept;

// Writes `text` to standard error exactly as given (no line feed is added).
// The caller must hold lock().
void writeLocked(std::string_view text) noexcept;

// A plain console line: `text` as given, standard error only.
void line(std::string_view text) noexcept;

// Diagnostics: "info: ", "warning: " or "error: ", the text, and a line feed.
void info(std::string_view text) noexcept;
void warning(std::string_view text) noexcept;
void error(std::string_view text) noexcept;

template <class... Args>
void line(fmt::format_string<Args...> format, Args&&... args) {
  line(std::string_view(fmt::format(format, std::forward<Args>(args)...)));
}
template <class... Args>
void info(fmt::format_string<Args...> format, Args&&... args) {
  info(std::string_view(fmt::format(format, std::forward<Args>(args)...)));
}
template <class... Args>
void warning(fmt::format_string<Args...> format, Args&&... args) {
  warning(std::string_view(fmt::format(format, std::forward<Args>(args)...)));
}
template <class... Args>
void error(fmt::format_string<Args...> format, Args&&... args) {
  error(std::string_view(fmt::format(format, std::forward<Args>(args)...)));
}

}  // namespace console
