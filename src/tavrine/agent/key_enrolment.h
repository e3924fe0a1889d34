#pragma once

#include "tavrine/agent/agent_state.h"
#include "tavrine/base/error.h"
#include "tavrine/collect/collector.h"
#include "tavrine/net/http.h"

#include <string>
#include <string_view>

// Enrolment of the device key: the backend is asked to pin the public half
// for this device, so that from then on it accepts only reports this Mac
// signed.
namespace agent {

// The path below the API base that takes the public key.
inline constexpr std::string_view kDeviceKeyPath = "/device-key/";

// What an enrolment came to.
enum class Enrolment {
  pinned,       // 200 or 201: remembered in the key file
  unsupported,  // 404 or 405: a backend without device keys
  conflict,     // 409: the backend holds another key for this device
  failed,       // anything else: tried again at the next start
};

// The one-line request body: device_id, "ES256", the Base64 of the public
// key's SubjectPublicKeyInfo DER, and "file" for where the key is kept.
[[nodiscard]] std::string buildEnrolmentBody(std::string_view device_id,
                                             const device_key::DeviceKey& key);

// Makes or loads the device key into state.device_key and, unless the key
// file says this backend already pinned it, enrols it: a POST to
// {api_base}/device-key/ with the reports' Authorization header and the body
// signed by the key itself (X-Device-Signature). Never stops the agent: every
// outcome is logged and the reports go on. Nothing when no key could be made.
std::optional<Enrolment> prepareDeviceKey(AgentState& state, const DeviceTavrine& record,
                                          const http::Limits& limits = {});

}  // namespace agent
