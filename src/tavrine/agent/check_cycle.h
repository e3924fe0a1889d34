#pragma once

#include "tavrine/agent/agent_state.h"
#include "tavrine/base/error.h"
#include "tavrine/collect/collector.h"
#include "tavrine/net/http.h"

#include <chrono>
#include <functional>
#include <string_view>
#include <thread>

// One check cycle: collect, serialize, sign, submit with up to
// three retries, and book a cycle that ends without success.
namespace agent {

// What a cycle uses from outside, replaceable in tests. The defaults are the
// real collector and the real clock.
struct CheckOptions {
  std::function<Result<DeviceTavrine>()> collect = [] { return tavrine::collect(); };
  std::function<void(std::chrono::milliseconds)> sleep = [](std::chrono::milliseconds wait) {
    std::this_thread::sleep_for(wait);
  };
  http::Limits limits{};
  // The handle the calling thread keeps for its reports, so that a cycle
  // reuses the last one's connection while the server keeps it; nothing for
  // a client of each attempt's own.
  http::Client* client = nullptr;
};

// Attempts per cycle, and the waits before the retries.
inline constexpr int kAttemptsPerCycle = 4;
inline constexpr int kRetries = kAttemptsPerCycle - 1;
inline constexpr std::chrono::milliseconds kFirstRetryWait{1000};
inline constexpr std::chrono::milliseconds kMaxRetryWait{30000};
// "DeviceToken " followed by the token must fit in this many bytes.
inline constexpr size_t kAuthorizationCapacity = 128;
// A status line holds at most this many bytes, its terminating NUL included.
inline constexpr size_t kStatusCapacity = 64;

// Runs one cycle on `state`. Never fails: every problem is reported on the
// console and the status line and ends the cycle. After a cycle that held a
// large answer, the freed memory is given back to the system.
void doTavrineCheck(AgentState& state, const CheckOptions& options = {});

// Books a cycle that ended without a successful submission: counts it,
// prints the cycle-failed line and shows "Status: Reconnecting ({count})".
void handleTransmitFailure(AgentState& state, std::string_view reason);

}  // namespace agent
