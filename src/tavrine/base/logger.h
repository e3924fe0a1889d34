#pragma once

#include <fmt/format.h>

#include <cstdint>
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
// Once a line would take the log past this size, the log is set aside as
// agent.log.1 (replacing an older one) and a new one is started: at most
// about twice this much is ever kept. When agent.log.1 cannot be used, the
// log is emptied instead, with a line that says why. The same bound holds
// for launchd.log, launchd's record of the agent's standard output and
// error: emptied at open once it has grown past it, and whenever the log is
// set aside.
inline constexpr uint64_t kMaxLogBytes = 10 * 1024 * 1024;

// The log path for a given HOME value, or nothing when HOME is relative or
// the path would be too long.
[[nodiscard]] std::optional<std::string> logPathFor(std::string_view home);

// Opens (creating it and its directories when missing) the log under the HOME
// of `environment_block`, positioned at its end. Failure is silent (the agent
// then runs without a log) except where openAt says otherwise. Returns
// whether a log is open.
bool open(char* const* environment_block);

// Opens the log at an explicit path (tests and tools), set aside once it
// would grow past `max_bytes`. Never through a link in the log's last
// component, and never in a folder owned by another user than the effective
// one: both are refused with one warning on the console. Anything but a
// regular file at the log path counts as a failure and is never waited on.
bool openAt(const std::string& path, uint64_t max_bytes = kMaxLogBytes);

// Closes the log; later prints reach standard error only.
void close() noexcept;

[[nodiscard]] bool isOpen() noexcept;

// Writes `text` to standard error under the console lock, then appends the
// same bytes to the log with a single write. Safe from any thread: mirrored
// texts reach the file whole, never interleave, and never straddle the set
// aside log and the new one.
void print(std::string_view text) noexcept;

template <class... Args>
void print(fmt::format_string<Args...> format, Args&&... args) {
  print(std::string_view(fmt::format(format, std::forward<Args>(args)...)));
}

}  // namespace logger
