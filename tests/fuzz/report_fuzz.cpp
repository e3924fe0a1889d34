// The report and the registration payload stay valid JSON, and carry each
// text value unchanged, whatever the tools and the host reported.
#include "tavrine/agent/registration.h"
#include "tavrine/agent/report.h"

#include <nlohmann/json.hpp>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  // Seven-bit text keeps the values valid UTF-8, which the JSON reader
  // insists on; quotes, backslashes and control characters all stay in play.
  std::string text(reinterpret_cast<const char*>(data), size);
  for (char& byte : text) byte = static_cast<char>(byte & 0x7f);
  std::string pieces[5];
  size_t piece = 0;
  for (char byte : text) {
    if (byte == '\x7f' && piece < 4) {
      ++piece;
    } else {
      pieces[piece] += byte;
    }
  }
  DeviceTavrine record;
  record.device_id = pieces[0];
  record.os_version = pieces[1];
  record.hostname = pieces[2];
  record.model = pieces[3];
  record.xprotect_version = pieces[4];

  const auto report = agent::serializeTavrine(record);
  if (!report) std::abort();
  const auto parsed = nlohmann::json::parse(*report, nullptr, false);
  if (parsed.is_discarded()) std::abort();
  if (parsed["device_id"] != pieces[0] || parsed["os"]["version"] != pieces[1] ||
      parsed["device"]["hostname"] != pieces[2] || parsed["device"]["model"] != pieces[3] ||
      parsed["security"]["xprotect_version"] != pieces[4]) {
    std::abort();
  }

  const auto payload = agent::buildRegistrationPayload(record);
  if (!payload) std::abort();
  const auto registration = nlohmann::json::parse(*payload, nullptr, false);
  if (registration.is_discarded() || registration["hostname"] != pieces[2]) std::abort();
  return 0;
}
