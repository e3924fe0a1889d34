#pragma once

#include "tavrine/base/error.h"
#include "tavrine/platform/arguments.h"

#include <chrono>
#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace platform::macos {

// At most this much standard output is taken from one command; one byte more
// is StreamTooLong.
inline constexpr std::size_t kOutputLimit = 1048576;

// How long a command may run unless the caller gives its own limit.
inline constexpr std::chrono::milliseconds kDefaultTimeLimit = std::chrono::seconds(30);

// The search list for programs when the environment has no PATH.
inline constexpr std::string_view kDefaultSearchPath = "/usr/local/bin:/bin/:/usr/bin";

// Runs `argv` (program first, no shell) and returns its standard output with
// ASCII whitespace removed from both ends. Fails with the start or execution
// error (FileNotFound for a program found nowhere), StreamTooLong,
// CommandFailed for a non-zero exit or an end by a signal or stop, Timeout
// when `time_limit` passes (the child's whole process group is then killed),
// Canceled when the process is asked to stop (platform::requestStop: the
// group is killed alike, and nothing is started once asked), or OutOfMemory. Standard error of the
// child is discarded. Safe to call from any thread, several at once.
[[nodiscard]] Result<std::string> execCommand(
    Arguments argv, std::chrono::milliseconds time_limit = kDefaultTimeLimit);

// Like execCommand, but whatever the exit status: the trimmed standard
// output when the command could be run, finished in time and printed
// something other than whitespace; nothing otherwise.
[[nodiscard]] std::optional<std::string> execCommandAllowFail(
    Arguments argv, std::chrono::milliseconds time_limit = kDefaultTimeLimit);

// Like execCommandAllowFail, for a tool that gives its answer on standard
// error: its standard output and error are read together, as they arrive,
// within the same 1 MiB and the same time limit.
[[nodiscard]] std::optional<std::string> execCommandAllowFailWithErrors(
    Arguments argv, std::chrono::milliseconds time_limit = kDefaultTimeLimit);

// Runs `argv` (program first, looked up as by findProgram, no shell) with
// this process's environment and standard input, output and error, and waits
// for it to end, whatever its exit status, but no longer than `wait_limit`: a
// program still running then is let run on (platform::reapInBackground).
// Fails with the start error (FileNotFound for a program found nowhere), or
// with Canceled when the process is asked to stop while it waits (the
// child's group is then killed).
[[nodiscard]] Result<void> runAttached(Arguments argv, std::chrono::milliseconds wait_limit);

// The path a program name runs from: a name with a slash as given; otherwise
// the first regular, executable file of that name in the directories of
// `search_path` (colon-separated; empty entries are skipped rather than read
// as the working directory). FileNotFound when there is none, AccessDenied
// when only non-executable files of that name were found.
[[nodiscard]] Result<std::string> findProgram(std::string_view name,
                                              std::string_view search_path);

// findProgram along the PATH of this process's environment at the time of the
// call, or kDefaultSearchPath when it has none.
[[nodiscard]] Result<std::string> findProgram(std::string_view name);

// `text` without the six ASCII whitespace characters at either end.
[[nodiscard]] std::string_view trimWhitespace(std::string_view text) noexcept;

}  // namespace platform::macos
