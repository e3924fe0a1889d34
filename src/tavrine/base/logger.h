#pragma once

#include <fmt/format.h>

#include <optional>
#include <string>
#include <string_view>

// The agent log: console lines that are also worth keeping are printed
// through logger::print, which mirrors them byte for byte into
// $HOME/Library/Logs/Tavrine/agent.log.
namespace logger {

// Largest text mirrored into the log in one piece; a longer one reaches
// standard error only.
inline constexpr size_t kWriteBufferSize = 4096;
// Longest log path accepted.
inline constexpr size_t kMaxLogPathLength = 512;

// The log path for a given HOME value, or nothing when HOME is relative or
// the path would be too long.
[[nodiscard]] std::optional<std::string> logPathFor(std::string_view home);

// Opens (creating it and its directories when missing) the log under the HOME
// of `environment_block`, positioned at its end. Failure is silent: the agent
// then runs without a log. Anything but a regular file at the log path counts
// as a failure and is never waited on. Returns whether a log is open.
bool open(char* const* environment_block);

// Opens the log at an explicit path (tests and tools).
bool openAt(const std::string& path);

// Closes the log; later prints reach standard error only.
void close() noexcept;

[[nodiscard]] bool isOpen() noexcept;

// Writes `text` to standard error under the console lock, then appends the
// same bytes to the log with a single write. Safe from any thread: mirrored
// texts reach the file whole and never interleave.
void print(std::string_view text) noexcept;

template <class... Args>
void print(fmt::format_string<Args...> format, Args&&... args) {
  print(std::string_view(fmt::format(format, std::forward<Args>(args)...)));
}

}  // namespace logger
