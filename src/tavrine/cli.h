#pragma once

#include "tavrine/base/config.h"
#include "tavrine/base/error.h"

#include <optional>
#include <span>
#include <string_view>

// The process entry: options, the command word, dispatch and exit status.
namespace cli {

enum class Command { agent, login, logout, status, help };

// What the arguments after the program name ask for.
struct Arguments {
  std::optional<Mode> mode_override;  // the last mode option given
  std::optional<std::string_view> command_word;  // the first other word
  int development_options = 0;  // how many --dev/-d appeared
};

// Reads every argument, whatever its position relative to the command word.
[[nodiscard]] Arguments parseArguments(std::span<const char* const> arguments) noexcept;

// The command a word names: exact, case-sensitive; none or an unknown word
// runs the agent.
[[nodiscard]] Command commandFor(std::optional<std::string_view> word) noexcept;

// The help text, byte for byte.
[[nodiscard]] std::string_view helpText() noexcept;

// The one-shot commands.
void printStatus();
[[nodiscard]] Result<void> logout();

// The whole process: start-up, one command, the log closed; returns the exit
// status.
[[nodiscard]] int main(int argc, char** argv);

}  // namespace cli
