#include "tavrine/agent/key_enrolment.h"

#include "tavrine/agent/check_cycle.h"
#include "tavrine/agent/report.h"
#include "tavrine/base/console.h"
#include "tavrine/base/logger.h"

#include <new>
#include <string>

namespace agent {
namespace {

Enrolment enrol(AgentState& state, const DeviceTavrine& record, const http::Limits& limits) {
  const device_key::DeviceKey& key = *state.device_key;
  const std::string body = buildEnrolmentBody(record.device_id, key);
  const auto signature = device_key::signDetached(key, body);
  if (!signature) {
    logger::print("Device key enrolment failed: error.{}; it is tried again at the next start\n",
                  errorName(signature.error()));
    return Enrolment::failed;
  }
  const std::string authorization = "DeviceToken " + state.device_token.value_or("");
  if (authorization.size() > kAuthorizationCapacity) {
    logger::print("Device key enrolment failed: the device token is too long\n");
    return Enrolment::failed;
  }
  const std::string url = std::string(state.config.api_base) + std::string(kDeviceKeyPath);
  const http::HttpHeader headers[] = {{"Authorization", authorization},
                                      {"X-Device-Signature", *signature}};
  const auto response = http::post(url, body, headers, limits);
  if (!response) {
    logger::print("Device key enrolment failed: error.{}; it is tried again at the next start\n",
                  errorName(response.error()));
    return Enrolment::failed;
  }
  switch (response->status) {
    case 200:
    case 201: {
      device_key::DeviceKey pinned = key;
      pinned.pinned_by = std::string(state.config.api_base);
      if (auto saved = device_key::save(pinned); !saved) {
        // The backend holds the key all the same; the next start asks again.
        console::warning("The device key's pin could not be recorded: error.{}",
                         errorName(saved.error()));
      }
      state.device_key = std::move(pinned);
      logger::print("Device key enrolled: {}\n", key.kid);
      return Enrolment::pinned;
    }
    case 404:
    case 405:
      logger::print(
          "The backend does not take device keys (status {}); reports rely on their HMAC "
          "signature there\n",
          response->status);
      return Enrolment::unsupported;
    case 409:
      logger::print(
          "warning: The backend holds a different key for this device; reports are signed with "
          "this Mac's key anyway\n");
      return Enrolment::conflict;
    default:
      logger::print("Device key enrolment failed: status {}; it is tried again at the next start\n",
                    response->status);
      return Enrolment::failed;
  }
}

}  // namespace

std::string buildEnrolmentBody(std::string_view device_id, const device_key::DeviceKey& key) {
  std::string body = "{\"device_id\": \"";
  appendJsonEscaped(body, device_id);
  body += "\", \"algorithm\": \"ES256\", \"public_key\": \"";
  body += device_key::publicKeyBase64(key);
  body += "\", \"storage\": \"file\"}";
  return body;
}

std::optional<Enrolment> prepareDeviceKey(AgentState& state, const DeviceTavrine& record,
                                          const http::Limits& limits) {
  try {
    auto key = device_key::loadOrCreate();
    if (!key) {
      logger::print("Device key unavailable: error.{}; reports carry the HMAC signature only\n",
                    errorName(key.error()));
      return std::nullopt;
    }
    state.device_key = std::move(*key);
    logger::print("Device key: {}\n", state.device_key->kid);
    if (state.device_key->pinned_by == state.config.api_base) return Enrolment::pinned;
    return enrol(state, record, limits);
  } catch (const std::bad_alloc&) {
    logger::print("Device key unavailable: error.OutOfMemory\n");
    return std::nullopt;
  }
}

}  // namespace agent
