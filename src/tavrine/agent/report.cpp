#include "tavrine/agent/report.h"

#include "tavrine/base/crypto.h"

#include <fmt/format.h>

#include <new>

namespace agent {

void appendJsonEscaped(std::string& out, std::string_view value) {
  static constexpr char kHex[] = "0123456789abcdef";
  size_t plain_start = 0;
  for (size_t i = 0; i < value.size(); ++i) {
    const auto byte = static_cast<unsigned char>(value[i]);
    if (byte >= 0x20 && byte != '"' && byte != '\\') continue;
    out.append(value.substr(plain_start, i - plain_start));
    plain_start = i + 1;
    switch (byte) {
      case '"':
        out += "\\\"";
        break;
      case '\\':
        out += "\\\\";
        break;
      case '\n':
        out += "\\n";
        break;
      case '\r':
        out += "\\r";
        break;
      case '\t':
        out += "\\t";
        break;
      case '\b':
        out += "\\b";
        break;
      case '\f':
        out += "\\f";
        break;
      default:
        out += "\\u00";
        out += kHex[byte >> 4];
        out += kHex[byte & 0x0f];
        break;
    }
  }
  out.append(value.substr(plain_start));
}

namespace {

// A text member: `head` is its line up to the value's opening quote, `tail`
// what follows the closing one. Each line is a literal of its own, so that
// the report costs few appends per member.
void text(std::string& out, std::string_view head, std::string_view value, std::string_view tail) {
  out += head;
  appendJsonEscaped(out, value);
  out += tail;
}

// A check's status: its names need no escaping.
void status(std::string& out, std::string_view head, CheckStatus value, std::string_view tail) {
  out += head;
  out += checkStatusName(value);
  out += tail;
}

}  // namespace

std::string_view orUnknown(const std::optional<std::string>& value) noexcept {
  return value ? std::string_view(*value) : std::string_view("unknown");
}

std::string_view reportedPlatform(const DeviceTavrine& record) noexcept {
  return record.platform == "darwin" ? std::string_view("macos")
                                     : std::string_view(record.platform);
}

Result<std::string> serializeTavrine(const DeviceTavrine& record) try {
  const std::string_view platform = reportedPlatform(record);
  std::string out;
  out.reserve(1024 + record.device_id.size() + record.os_version.size());
  out += "{\n  \"schema_version\": \"2.0\",\n";
  text(out, "  \"device_id\": \"", record.device_id, "\",\n");
  text(out, "  \"platform\": \"", platform, "\",\n");
  text(out, "  \"os\": {\n    \"name\": \"", record.os_name, "\",\n");
  text(out, "    \"version\": \"", record.os_version, "\"\n  },\n");
  status(out, "  \"security\": {\n    \"disk_encryption\": \"", record.disk_encryption, "\",\n");
  status(out, "    \"firewall\": \"", record.firewall, "\",\n");
  status(out, "    \"secure_boot\": \"", record.secure_boot, "\",\n");
  status(out, "    \"screen_lock\": \"", record.screen_lock, "\",\n");
  out += "    \"screen_lock_timeout\": ";
  if (record.screen_lock_timeout) {
    fmt::format_to(std::back_inserter(out), "{}", *record.screen_lock_timeout);
  } else {
    out += "null";
  }
  out += ",\n";
  status(out, "    \"screen_lock_password\": \"", record.screen_lock_password, "\",\n");
  status(out, "    \"sip\": \"", record.sip, "\",\n");
  status(out, "    \"gatekeeper\": \"", record.gatekeeper, "\",\n");
  text(out, "    \"xprotect_version\": \"", orUnknown(record.xprotect_version), "\",\n");
  status(out, "    \"os_up_to_date\": \"", record.os_up_to_date, "\",\n");
  fmt::format_to(std::back_inserter(out), "    \"pending_updates_count\": {},\n",
                 record.pending_updates_count);
  status(out, "    \"mdm_enrolled\": \"", record.mdm_enrolled, "\",\n");
  status(out, "    \"vpn_connected\": \"", record.vpn_connected, "\",\n");
  status(out, "    \"auto_login_disabled\": \"", record.auto_login_disabled, "\",\n");
  status(out, "    \"remote_login\": \"", record.remote_login, "\"\n  },\n");
  text(out, "  \"device\": {\n    \"hostname\": \"", orUnknown(record.hostname), "\",\n");
  text(out, "    \"model\": \"", orUnknown(record.model), "\",\n");
  text(out, "    \"serial_number\": \"", orUnknown(record.serial_number), "\"\n  },\n");
  fmt::format_to(std::back_inserter(out), "  \"timestamp\": {}\n}}", record.timestamp);
  return out;
} catch (const std::bad_alloc&) {
  return fail(Error::OutOfMemory);
}

Result<std::string> signPayload(std::string_view payload, std::string_view key) try {
  return crypto::toHex(crypto::hmacSha256(key, payload));
} catch (const std::bad_alloc&) {
  return fail(Error::OutOfMemory);
}

}  // namespace agent
