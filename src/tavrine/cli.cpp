#include "tavrine/cli.h"

#include "tavrine/agent/device_key.h"
#include "tavrine/agent/run_agent.h"
#include "tavrine/base/console.h"
#include "tavrine/base/environment.h"
#include "tavrine/base/logger.h"
#include "tavrine/platform/stop_request.h"
#include "tavrine/signin/oauth_command.h"
#include "tavrine/signin/token_store.h"

#include <csignal>

namespace cli {
namespace {

constexpr std::string_view kHelpText =
    "Tavrine - Device Trust Agent v0.1.0\n"
    "\n"
    "Usage: tavrine [options] [command]\n"
    "\n"
    "Commands:\n"
    "  (none)    Run the tavrine agent (default)\n"
    "  login     Log in via browser to link this device to your account\n"
    "  logout    Log out and clear stored credentials\n"
    "  status    Show current login and device status\n"
    "  help      Show this help message\n"
    "\n"
    "Options:\n"
    "  --dev, -d   Use development server (localhost:8000)\n"
    "  --prod, -p  Use production server (default)\n"
    "\n"
    "Environment:\n"
    "  TAVRINE_ENV=dev   Set development mode via environment variable\n"
    "\n";

// A write to a closed pipe or socket must come back as an error, not end the
// process. A handler (rather than SIG_IGN) keeps children at the default.
extern "C" void ignoreBrokenPipe(int) {}

void installBrokenPipeHandler() {
  struct sigaction action {};
  action.sa_handler = ignoreBrokenPipe;
  sigemptyset(&action.sa_mask);
  action.sa_flags = SA_RESTART;
  sigaction(SIGPIPE, &action, nullptr);
}

Result<void> dispatch(Command command) {
  switch (command) {
    case Command::help:
      console::line(helpText());
      return {};
    case Command::status:
      printStatus();
      return {};
    case Command::logout:
      return logout();
    case Command::login:
      (void)platform::stopWakeFd();
      return oauth::loginCommand();
    case Command::agent:
      (void)platform::stopWakeFd();
      return agent::runAgent();
  }
  return {};
}

}  // namespace

Arguments parseArguments(std::span<const char* const> arguments) noexcept {
  Arguments parsed;
  for (const char* argument : arguments) {
    const std::string_view word(argument);
    if (word == "--dev" || word == "-d") {
      parsed.mode_override = Mode::dev;
      ++parsed.development_options;
    } else if (word == "--prod" || word == "-p") {
      parsed.mode_override = Mode::prod;
    } else if (!parsed.command_word) {
      parsed.command_word = word;
    }
  }
  return parsed;
}

Command commandFor(std::optional<std::string_view> word) noexcept {
  if (!word) return Command::agent;
  if (*word == "login") return Command::login;
  if (*word == "logout") return Command::logout;
  if (*word == "status") return Command::status;
  if (*word == "help" || *word == "--help" || *word == "-h") return Command::help;
  return Command::agent;
}

std::string_view helpText() noexcept { return kHelpText; }

namespace {

// The device key's kid and whether this mode's backend pinned it.
void printDeviceKey(const Config& config) {
  const auto key = device_key::read();
  if (!key) {
    console::line("Device key: unreadable (error.{})\n", errorName(key.error()));
  } else if (!*key) {
    console::line("Device key: none yet\n");
  } else {
    console::line("Device key: {}\n", (*key)->kid);
    console::line("Device key pinned: {}\n", (*key)->pinned_by == config.api_base ? "yes" : "no");
  }
}

}  // namespace

void printStatus() {
  const Config config = config::load();
  console::line("Mode: {}\n", modeName(config.mode));
  console::line("Server: {}\n", config.api_base);
  console::line("Updates: {}\n", config.update_manifest_url);
  const auto tokens = token_store::load();
  if (!tokens) {
    console::line("Status: Not logged in\n");
    return;
  }
  if (tokens->access_token) {
    console::line("Status: Logged in\n");
    if (tokens->user_email) console::line("User: {}\n", *tokens->user_email);
  } else {
    console::line("Status: Not logged in\n");
  }
  console::line(tokens->device_token ? "Device: Registered\n" : "Device: Not registered\n");
  printDeviceKey(config);
}

Result<void> logout() {
  if (auto cleared = token_store::clear(); !cleared) return cleared;
  console::line("Logged out successfully.\n");
  return {};
}

int main(int argc, char** argv) {
  installBrokenPipeHandler();
  logger::open(environment::processBlock());

  const std::span<const char* const> arguments(argv + (argc > 0 ? 1 : 0),
                                               argc > 1 ? static_cast<size_t>(argc - 1) : 0);
  const Arguments parsed = parseArguments(arguments);
  for (int i = 0; i < parsed.development_options; ++i) {
    logger::print("Development mode enabled (localhost:8000)\n");
  }
  if (parsed.mode_override) config::setModeOverride(*parsed.mode_override);

  const Result<void> outcome = dispatch(commandFor(parsed.command_word));
  int status = 0;
  if (!outcome) {
    console::error(errorName(outcome.error()));
    status = 1;
  }
  logger::close();
  return status;
}

}  // namespace cli
