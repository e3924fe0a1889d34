#include "tavrine/signin/oauth_command.h"

#include "tavrine/base/config.h"
#include "tavrine/base/console.h"
#include "tavrine/base/logger.h"
#include "tavrine/platform/child_process.h"
#include "tavrine/platform/stop_request.h"
#include "tavrine/signin/oauth.h"
#include "tavrine/signin/token_store.h"

#include <csignal>
#include <iterator>

namespace oauth {
namespace {

volatile std::sig_atomic_t received_signal = 0;

extern "C" void stopTheLogin(int signal_number) {
  received_signal = signal_number;
  platform::requestStop();
  platform::killLiveChildren();
}

// While the login runs, SIGINT and SIGTERM end the browser opener's process
// group with it: the opener runs in a group of its own, which a signal to
// this process (a Ctrl-C at the terminal, say) does not reach, and it may
// still be running when the login ends. The login then gives up at its next
// step, and endIfSignaled() ends the process by that signal, as it would have
// ended without the handler.
class TerminationSignalsEndTheOpener {
 public:
  TerminationSignalsEndTheOpener() noexcept {
    struct sigaction action {};
    action.sa_handler = stopTheLogin;
    sigemptyset(&action.sa_mask);
    for (size_t i = 0; i < std::size(kSignals); ++i) {
      ::sigaction(kSignals[i], &action, &previous_[i]);
    }
  }
  TerminationSignalsEndTheOpener(const TerminationSignalsEndTheOpener&) = delete;
  TerminationSignalsEndTheOpener& operator=(const TerminationSignalsEndTheOpener&) = delete;
  ~TerminationSignalsEndTheOpener() { restore(); }

  void endIfSignaled() noexcept {
    const int signal_number = received_signal;
    if (signal_number == 0) return;
    restore();
    ::signal(signal_number, SIG_DFL);
    logger::close();
    ::raise(signal_number);
  }

 private:
  static constexpr int kSignals[] = {SIGINT, SIGTERM};

  void restore() noexcept {
    for (size_t i = 0; i < std::size(kSignals); ++i) {
      ::sigaction(kSignals[i], &previous_[i], nullptr);
    }
  }

  struct sigaction previous_[std::size(kSignals)] {};
};

}  // namespace

Result<void> loginCommand() {
  const std::string_view mode = modeName(config::load().mode);
  logger::print("Starting OAuth login flow (mode: {})...\n", mode);
  console::line("Opening browser for login ({} mode)...\n", mode);

  const Config config = config::load();
  TerminationSignalsEndTheOpener signals;
  auto result = login(standardConfig(config.oauth_authorize_url, config.oauth_token_url));
  signals.endIfSignaled();
  if (!result) {
    // A sign-in that did not happen is not a failure of the process.
    logger::print("Login failed: error.{}\n", errorName(result.error()));
    console::line("Login failed. Please try again.\n");
    return {};
  }
  logger::print("Login successful! Access token received.\n");
  console::line("Login successful!\n");

  // The device token from an earlier registration stays; an unreadable file
  // is replaced by the new record.
  const Result<StoredTokens> previous = token_store::load();
  StoredTokens tokens;
  tokens.access_token = std::move(result->access_token);
  tokens.refresh_token = std::move(result->refresh_token);
  if (previous) tokens.device_token = previous->device_token;
  if (auto saved = token_store::save(tokens); !saved) return saved;

  console::line("You are now logged in. Run 'tavrine' to start the agent.\n");
  signals.endIfSignaled();
  return {};
}

}  // namespace oauth
