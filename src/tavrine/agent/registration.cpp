#include "tavrine/agent/registration.h"

#include "tavrine/agent/report.h"
#include "tavrine/base/console.h"
#include "tavrine/base/logger.h"
#include "tavrine/base/redaction.h"
#include "tavrine/base/untrusted_text.h"

#include <fmt/format.h>

#include <new>
#include <span>

namespace agent {

Result<std::string> buildRegistrationPayload(const DeviceTavrine& record) try {
  const auto line = [](std::string& out, std::string_view key, std::string_view value) {
    out += "  \"";
    out += key;
    out += "\": \"";
    appendJsonEscaped(out, value);
    out += "\",\n";
  };
  std::string out;
  out.reserve(256 + record.device_id.size());
  out += "{\n";
  line(out, "device_id", record.device_id);
  line(out, "platform", reportedPlatform(record));
  line(out, "os_name", record.os_name);
  line(out, "os_version", record.os_version);
  line(out, "hostname", orUnknown(record.hostname));
  line(out, "model", orUnknown(record.model));
  line(out, "serial_number", orUnknown(record.serial_number));
  out += "  \"agent_version\": \"0.1.0\"\n";
  out += "}";
  return out;
} catch (const std::bad_alloc&) {
  return fail(Error::OutOfMemory);
}

std::optional<std::string_view> extractToken(std::string_view body) noexcept {
  constexpr std::string_view kKey = "\"token\":";
  const size_t key = body.find(kKey);
  if (key == std::string_view::npos) return std::nullopt;
  const size_t open = body.find('"', key + kKey.size());
  if (open == std::string_view::npos) return std::nullopt;
  const size_t close = body.find('"', open + 1);
  if (close == std::string_view::npos) return std::nullopt;
  return body.substr(open + 1, close - open - 1);
}

std::optional<std::string_view> acceptDeviceToken(std::string_view body) noexcept {
  const auto token = extractToken(body);
  if (!token || token->size() > kMaxDeviceTokenSize) return std::nullopt;
  for (const char c : *token) {
    const auto byte = static_cast<unsigned char>(c);
    // A CR or LF would end the Authorization line and start a header of the
    // backend's choosing; the other control bytes are no header value either.
    if (byte < 0x20 || byte == 0x7F) return std::nullopt;
  }
  return token;
}

namespace {

// The answer as the console and the log may show it: credentials hidden,
// the token taken from it (even one that is refused) included.
std::string shownAnswer(std::string_view body) {
  const auto token = extractToken(body);
  return redaction::redactSecrets(body, token ? std::span(&*token, 1)
                                              : std::span<const std::string_view>());
}

}  // namespace

std::string shownDeviceToken(std::string_view token) {
  // Sixteen characters shown of a short token would be most or all of it.
  if (token.size() < kShortestShownToken) return fmt::format("({} characters)", token.size());
  return fmt::format("{}...{}", token.substr(0, 8), token.substr(token.size() - 8));
}

Result<Registration> registerDevice(AgentState& state, const DeviceTavrine& record,
                                    const http::Limits& limits) try {
  logger::print("Registering device with backend...\n");
  auto payload = buildRegistrationPayload(record);
  if (!payload) return fail(payload.error());
  logger::print("Registration payload:\n{}\n", *payload);
  const std::string_view endpoint = state.config.register_endpoint;
  console::info("Registering device at: {}", endpoint);

  const auto failed = [](std::string_view message, unsigned status) {
    logger::print("ERROR: Device registration failed: {}\n", message);
    logger::print("Status code: {}\n", status);
    return Registration::not_registered;
  };

  auto response = http::post(endpoint, *payload, {}, limits);
  if (!response) {
    console::error("Device registration failed: error.{}", errorName(response.error()));
    return failed("Registration connection failed", 0);
  }
  console::info("Registration response status: {}", response->status);
  // The device token authenticates every report: it is hidden wherever the
  // answer is shown, before the cut, so that no piece of it survives there.
  const std::string shown = shownAnswer(response->body);
  if (!response->body.empty()) {
    console::info("Registration response: {}",
                  untrusted::printable(std::string_view(shown).substr(0, 500)));
  }
  if (response->status < 200 || response->status > 299) {
    return failed("Registration failed", response->status);
  }
  const auto token = acceptDeviceToken(response->body);
  if (!token) {
    logger::print("ERROR: Could not extract device token from response\n");
    logger::print("Response: {}\n", untrusted::printable(shown));
    return Registration::not_registered;
  }
  state.device_token.emplace(*token);
  logger::print("Device registered successfully!\n");
  logger::print("Device token: {}\n", shownDeviceToken(*state.device_token));
  return Registration::registered;
} catch (const std::bad_alloc&) {
  return fail(Error::OutOfMemory);
}

}  // namespace agent
