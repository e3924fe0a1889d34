#include "tavrine/agent/run_agent.h"

#include "tavrine/agent/agent_state.h"
#include "tavrine/agent/check_cycle.h"
#include "tavrine/agent/check_loop.h"
#include "tavrine/agent/instance_lock.h"
#include "tavrine/agent/key_enrolment.h"
#include "tavrine/agent/registration.h"
#include "tavrine/base/config.h"
#include "tavrine/base/console.h"
#include "tavrine/base/environment.h"
#include "tavrine/base/immortal.h"
#include "tavrine/base/logger.h"
#include "tavrine/collect/collector.h"
#include "tavrine/net/http.h"
#include "tavrine/objc/runtime.h"
#include "tavrine/platform/child_process.h"
#include "tavrine/platform/memory.h"
#include "tavrine/platform/stop_request.h"
#include "tavrine/platform/thread.h"
#include "tavrine/tray/macos.h"
#include "tavrine/update/update_install.h"

#include <unistd.h>

#include <cstdlib>
#include <memory>
#include <new>
#include <optional>
#include <string>

namespace agent {
namespace {

std::string repeated(std::string_view piece, int count) {
  std::string text;
  for (int i = 0; i < count; ++i) text += piece;
  return text;
}

void printBanner() {
  logger::print(
      "\n{}\n{}\n{}\n{}\n", "╔" + repeated("═", 62) + "╗",
      "║" + std::string(14, ' ') + "Tavrine - Device Trust Agent" + std::string(20, ' ') + "║",
      "║" + std::string(21, ' ') + "v0.1.0" + std::string(35, ' ') + "║",
      "╚" + repeated("═", 62) + "╝");
}

void printConfiguration(const Config& config) {
  logger::print("Configuration loaded:\n");
  logger::print("  API Base: {}\n", config.api_base);
  logger::print("  Register Endpoint: {}\n", config.register_endpoint);
  logger::print("  Tavrine Endpoint: {}\n", config.tavrine_endpoint);
  logger::print("  Interval: {}s\n", config.interval_seconds);
}

// The agent's shared state lives as long as the process: the detached check
// thread may still hold it while the process exits.
AgentState& processState() { return immortal<AgentState>(); }

// Hands the main thread to the application loop until it returns (it does
// not when the application terminates the process).
void runApplicationLoop(const AgentState& state) {
  const objc::Id app =
      objc::send<objc::Id>(state.cocoa.app_class, objc::sel_registerName("sharedApplication"));
  objc::send<void>(app, objc::sel_registerName("run"));
}

// Runs the check loop on a detached thread, each cycle in its own
// autorelease pool so the strings of its status changes are let go. The
// thread keeps one HTTP handle for all of its reports.
Result<void> startCheckThread(AgentState& state) {
  return platform::startDetachedThread([&state] {
    http::Client client;
    CheckOptions options;
    options.client = &client;
    runCheckLoop(state, processPacer(), [&state, &options] {
      const objc::AutoreleasePool pool;
      doTavrineCheck(state, options);
    });
  });
}

// "Quit Tavrine" and the termination signals end the process from inside the
// application loop with exit status 0. No cycle may run while the process
// exits: the libraries' own exit handlers tear down state that a cycle uses
// (the TLS and hashing library's locks, for one). So the checks are stopped,
// and the cycle lock is taken and kept for good; when a cycle holds it, the
// process ends at once, its log closed, without those handlers. Either way
// no destructor runs for a tool under way, so its group is killed here;
// the stop request first, so that the cycle starts no tool after it.
void stopChecksAtExit() {
  platform::requestStop();
  platform::killLiveChildren();
  CheckPacer& pacer = processPacer();
  if (TrayState* tray = processState().tray.load()) stopChecks(*tray, pacer);
  if (pacer.cycleLock().try_lock()) return;  // kept locked until the end
  logger::close();
  ::_exit(0);
}

// This user's agent lock, as far as it could be taken.
struct UserLock {
  std::optional<InstanceLock> held;  // absent when the agent runs without one
  bool another_agent_running = false;
};

// When the lock cannot be made at all, the agent runs without it, with a
// warning: a Mac that goes unreported is worse than one reported twice.
UserLock takeUserLock() {
  const auto home = environment::find("HOME");
  const auto path = home ? InstanceLock::pathFor(*home) : std::nullopt;
  if (!path) {
    console::warning("Running without the agent lock: error.{}",
                     errorName(home ? Error::InvalidHomeDir : Error::NoHomeDir));
    return {};
  }
  auto lock = InstanceLock::tryTake(*path);
  if (lock) return {.held = std::move(*lock)};
  if (lock.error() == Error::WouldBlock)
    return {.held = std::nullopt, .another_agent_running = true};
  console::warning("Running without the agent lock: error.{}", errorName(lock.error()));
  return {};
}

}  // namespace

Result<void> runAgent() {
  // First of all, so that a second agent of the same user collects nothing,
  // registers nothing and leaves no banner in the running agent's log.
  const UserLock lock = takeUserLock();
  if (lock.another_agent_running) {
    logger::print("Another Tavrine agent is already running.\n");
    return {};
  }
  platform::keepLargeBlocksOutOfTheHeap();
  platform::useOneHeapArena();
  // From here on SIGINT and SIGTERM request a stop instead of killing the
  // process: each start-up step gives up at once (the tool under way is
  // killed), and the agent ends with status 0 at the next step.
  objc::handleTerminationSignals();
  AgentState& state = processState();
  printBanner();
  state.config = config::load();
  printConfiguration(state.config);

  logger::print("Collecting device information...\n");
  auto device = tavrine::collect();
  if (!device && device.error() == Error::Canceled) return {};
  if (!device) return fail(device.error());
  if (platform::stopRequested()) return {};

  auto registration = registerDevice(state, *device);
  http::releaseLargeAnswerMemory();
  if (!registration) return fail(registration.error());
  if (*registration == Registration::not_registered) return {};
  if (platform::stopRequested()) return {};
  // The outcome is logged inside; the reports go on whatever it was.
  (void)prepareDeviceKey(state, *device);
  if (platform::stopRequested()) return {};

  logger::print("Initializing system tray...\n");
  std::unique_ptr<TrayState> tray;
  try {
    tray = std::make_unique<TrayState>();
  } catch (const std::bad_alloc&) {
    return fail(Error::OutOfMemory);
  }
  if (auto menu = tray::macos::setupMenu(state.cocoa); !menu) return fail(menu.error());
  tray::macos::bindActions(state.cocoa, state.tray);
  state.tray.store(tray.get());
  tray::macos::showNotification(state.cocoa, "Device Trust Agent is running");

  if (auto started = startCheckThread(state); !started) {
    detachTray(state, processPacer());
    tray::macos::removeStatusItem(state.cocoa);
    return fail(started.error());
  }
  std::atexit(stopChecksAtExit);
  // A swap script that started this build waits for this before it lets it
  // be: the lock is held, the menu is up and the checks run.
  update_install::signalReady();
  logger::print("Agent running. Click the menu bar icon to quit.\n");
  runApplicationLoop(state);

  // The loop returned: take the menu down, then release what the check
  // thread used once no cycle can use it any more.
  tray::macos::removeStatusItem(state.cocoa);
  detachTray(state, processPacer());
  tray.reset();
  state.device_token.reset();
  logger::print("Agent stopped.\n");
  return {};
}

}  // namespace agent
