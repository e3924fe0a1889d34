#include "tavrine/agent/check_cycle.h"

#include "tavrine/agent/report.h"
#include "tavrine/console.h"
#include "tavrine/logger.h"
#include "tavrine/tray/tray_native.h"

#include <fmt/format.h>

#include <new>
#include <optional>
#include <string>

namespace agent {
namespace {

// Sets the status line when the menu exists.
void setStatusLine(AgentState& state, std::string_view text) {
  if (TrayState* tray = state.tray.load(); tray != nullptr)
    tray_native::setStatus(state.cocoa, *tray, text);
}

// `numbered` when it fits in a status line, else `fallback`.
std::string_view fitted(const std::string& numbered, std::string_view fallback) {
  return numbered.size() < kStatusCapacity ? std::string_view(numbered) : fallback;
}

}  // namespace

void handleTransmitFailure(AgentState& state, std::string_view reason) {
  state.consecutive_failures += 1;
  const uint32_t count = state.consecutive_failures;
  logger::print("Transmission failed ({}), consecutive failures: {}\n", reason, count);
  if (state.tray.load() != nullptr) {
    std::string text;
    try {
      text = fmt::format("Status: Reconnecting ({})", count);
    } catch (const std::bad_alloc&) {
    }
    setStatusLine(state, text.empty() ? std::string_view("Status: Reconnecting...")
                                      : fitted(text, "Status: Reconnecting..."));
  }
}

void doTavrineCheck(AgentState& state, const CheckOptions& options) {
  state.check_count += 1;
  logger::print("─── Tavrine Check #{} ───\n", state.check_count);

  Result<DeviceTavrine> record = fail(Error::Unexpected);
  try {
    record = options.collect();
  } catch (const std::bad_alloc&) {
    record = fail(Error::OutOfMemory);
  }
  if (!record) {
    logger::print("Failed to collect tavrine: {}\n", errorName(record.error()));
    handleTransmitFailure(state, "collection error");
    return;
  }
  const auto report = serializeTavrine(*record);
  if (!report) {
    logger::print("Failed to serialize tavrine: {}\n", errorName(report.error()));
    handleTransmitFailure(state, "serialization error");
    return;
  }
  const auto signature = signPayload(*report);
  if (!signature) {
    logger::print("Failed to sign payload: {}\n", errorName(signature.error()));
    handleTransmitFailure(state, "signing error");
    return;
  }

  std::chrono::milliseconds wait = kFirstRetryWait;
  for (int attempt = 0; attempt < kAttemptsPerCycle; ++attempt) {
    if (attempt > 0) {
      if (state.tray.load() != nullptr) {
        std::string text;
        try {
          text = fmt::format("Status: Retrying ({}/{})...", attempt, kRetries);
        } catch (const std::bad_alloc&) {
        }
        setStatusLine(state, text.empty() ? std::string_view("Status: Retrying...")
                                          : fitted(text, "Status: Retrying..."));
      }
      logger::print("Retry {}/{} after {}ms delay...\n", attempt, kRetries, wait.count());
      options.sleep(wait);
      wait = wait * 2 < kMaxRetryWait ? wait * 2 : kMaxRetryWait;
    }

    std::string_view message;
    // The headers: X-Signature, then Authorization when a token is held.
    http::HttpHeader headers[2] = {{"X-Signature", *signature}, {}};
    size_t header_count = 1;
    std::string authorization;
    bool header_ok = true;
    if (state.device_token) {
      constexpr std::string_view kScheme = "DeviceToken ";
      if (kScheme.size() + state.device_token->size() > kAuthorizationCapacity) {
        header_ok = false;
      } else {
        try {
          authorization.reserve(kAuthorizationCapacity);
          authorization.append(kScheme).append(*state.device_token);
          headers[header_count++] = {"Authorization", authorization};
        } catch (const std::bad_alloc&) {
          header_ok = false;
        }
      }
    }
    if (!header_ok) {
      message = "Failed to format auth header";
    } else {
      const auto response =
          http::post(state.config.tavrine_endpoint, *report,
                     std::span<const http::HttpHeader>(headers, header_count), options.limits);
      if (!response) {
        console::error("HTTP request failed: {}", errorName(response.error()));
        message = "Connection failed";
      } else if (response->status >= 200 && response->status <= 299) {
        logger::print("✓ Tavrine submitted successfully\n");
        state.consecutive_failures = 0;
        setStatusLine(state, "Status: Running");
        return;  // the response, signature, report and record are released here
      } else {
        message = "Submission failed";
      }
    }
    logger::print("✗ Tavrine submission failed: {}\n", message);
  }
  handleTransmitFailure(state, "connection failed");
}

}  // namespace agent
