#include "tavrine/agent/check_cycle.h"

#include "tavrine/agent/report.h"
#include "tavrine/base/console.h"
#include "tavrine/base/logger.h"
#include "tavrine/tray/tray_native.h"

#include <fmt/format.h>

#include <new>
#include <optional>
#include <string>
#include <utility>

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

// Shows `format` filled with `args` on the status line when the menu exists;
// `fallback` instead when the text does not fit or cannot be made.
template <class... Args>
void setNumberedStatus(AgentState& state, std::string_view fallback,
                       fmt::format_string<Args...> format, Args&&... args) {
  if (state.tray.load() == nullptr) return;
  std::string text;
  try {
    text = fmt::format(format, std::forward<Args>(args)...);
  } catch (const std::bad_alloc&) {
  }
  setStatusLine(state, text.empty() ? fallback : fitted(text, fallback));
}

// The Authorization header of a cycle's submissions.
struct Authorization {
  // False when a token is held but its header value could not be made; then
  // no attempt of the cycle sends anything.
  bool formatted = true;
  // "DeviceToken " and the token; absent when no token is held.
  std::optional<std::string> value;
};

// Made once per cycle, before the first attempt: every attempt sends the
// same value, and one that cannot be made fails each attempt alike.
Authorization formatAuthorization(const std::optional<std::string>& token) {
  if (!token) return {};
  constexpr std::string_view kScheme = "DeviceToken ";
  if (kScheme.size() + token->size() > kAuthorizationCapacity)
    return {.formatted = false, .value = std::nullopt};
  try {
    std::string value;
    value.reserve(kAuthorizationCapacity);
    value.append(kScheme).append(*token);
    return {.value = std::move(value)};
  } catch (const std::bad_alloc&) {
    return {.formatted = false, .value = std::nullopt};
  }
}

// What every attempt of a cycle sends, and where.
struct Submission {
  std::string_view endpoint;
  std::string_view report;
  std::string_view signature;
  Authorization authorization;
  // The device key's signature of the report; absent without a device key
  // or when signing failed.
  std::optional<std::string> device_signature;
};

// One attempt: the message its failure is booked under, or std::nullopt when
// the server accepted the report (any 2xx status).
std::optional<std::string_view> submitOnce(const Submission& submission,
                                           const CheckOptions& options) {
  if (!submission.authorization.formatted) return "Failed to format auth header";
  // X-Signature, then Authorization when a token is held, then the device
  // signature.
  http::HttpHeader headers[3] = {{"X-Signature", submission.signature}, {}, {}};
  size_t header_count = 1;
  if (const auto& value = submission.authorization.value) {
    headers[header_count++] = {"Authorization", *value};
  }
  if (const auto& value = submission.device_signature) {
    headers[header_count++] = {"X-Device-Signature", *value};
  }
  // Only the status of the answer counts, so no content encoding is offered.
  const auto response =
      http::post(submission.endpoint, submission.report,
                 std::span<const http::HttpHeader>(headers, header_count), options.limits,
                 {.client = options.client, .offer_encodings = false});
  if (!response) {
    console::error("HTTP request failed: {}", errorName(response.error()));
    return "Connection failed";
  }
  if (response->status >= 200 && response->status <= 299) return std::nullopt;
  return "Submission failed";
}

// The device key's signature of `report`, made once per cycle. A failure
// never holds a report back: it goes without the header, and the failure is
// logged once per run.
std::optional<std::string> deviceSignature(AgentState& state, std::string_view report) {
  if (!state.device_key) return std::nullopt;
  auto signature = device_key::signDetached(*state.device_key, report);
  if (signature) return std::move(*signature);
  if (!state.device_signature_failure_logged) {
    state.device_signature_failure_logged = true;
    logger::print("Failed to sign with the device key: {}; reports go without it\n",
                  errorName(signature.error()));
  }
  return std::nullopt;
}

}  // namespace

void handleTransmitFailure(AgentState& state, std::string_view reason) {
  state.consecutive_failures += 1;
  const uint32_t count = state.consecutive_failures;
  logger::print("Transmission failed ({}), consecutive failures: {}\n", reason, count);
  setNumberedStatus(state, "Status: Reconnecting...", "Status: Reconnecting ({})", count);
}

namespace {

// The cycle proper; it lets go of every answer before it returns.
void checkOnce(AgentState& state, const CheckOptions& options) {
  state.check_count += 1;
  logger::print("─── Tavrine Check #{} ───\n", state.check_count);

  Result<DeviceTavrine> record = fail(Error::Unexpected);
  try {
    record = options.collect();
  } catch (const std::bad_alloc&) {
    record = fail(Error::OutOfMemory);
  }
  // Cut short because the process is ending: nothing to book or send.
  if (!record && record.error() == Error::Canceled) return;
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
  const auto signature = signPayload(*report, state.config.signing_key);
  if (!signature) {
    logger::print("Failed to sign payload: {}\n", errorName(signature.error()));
    handleTransmitFailure(state, "signing error");
    return;
  }

  const Submission submission{state.config.tavrine_endpoint, *report, *signature,
                              formatAuthorization(state.device_token),
                              deviceSignature(state, *report)};
  std::chrono::milliseconds wait = kFirstRetryWait;
  for (int attempt = 0; attempt < kAttemptsPerCycle; ++attempt) {
    if (attempt > 0) {
      setNumberedStatus(state, "Status: Retrying...", "Status: Retrying ({}/{})...", attempt,
                        kRetries);
      logger::print("Retry {}/{} after {}ms delay...\n", attempt, kRetries, wait.count());
      options.sleep(wait);
      wait = wait * 2 < kMaxRetryWait ? wait * 2 : kMaxRetryWait;
    }
    const auto failure = submitOnce(submission, options);
    if (!failure) {
      logger::print("✓ Tavrine submitted successfully\n");
      state.consecutive_failures = 0;
      setStatusLine(state, "Status: Running");
      return;  // the signature, report and record are released here
    }
    logger::print("✗ Tavrine submission failed: {}\n", *failure);
  }
  handleTransmitFailure(state, "connection failed");
}

}  // namespace

void doTavrineCheck(AgentState& state, const CheckOptions& options) {
  checkOnce(state, options);
  http::releaseLargeAnswerMemory();
}

}  // namespace agent
