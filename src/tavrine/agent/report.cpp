#include "tavrine/agent/report.h"

#include "tavrine/base/crypto.h"

#include <charconv>
#include <cstring>
#include <new>

namespace agent {

namespace {

// The inside of a JSON string for `value` from `out` on, which has room for
// six bytes per byte of it (the longest escape); returns the end.
char* writeJsonEscaped(char* out, std::string_view value) noexcept {
  static constexpr char kHex[] = "0123456789abcdef";
  for (const char c : value) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte >= 0x20 && byte != '"' && byte != '\\') {
      *out++ = c;
      continue;
    }
    *out++ = '\\';
    switch (byte) {
      case '"':
      case '\\':
        *out++ = c;
        break;
      case '\n':
        *out++ = 'n';
        break;
      case '\r':
        *out++ = 'r';
        break;
      case '\t':
        *out++ = 't';
        break;
      case '\b':
        *out++ = 'b';
        break;
      case '\f':
        *out++ = 'f';
        break;
      default:
        *out++ = 'u';
        *out++ = '0';
        *out++ = '0';
        *out++ = kHex[byte >> 4];
        *out++ = kHex[byte & 0x0f];
        break;
    }
  }
  return out;
}

constexpr std::size_t kLongestEscape = 6;

// Writes the report into a buffer sized beforehand for the worst case, so
// that no piece checks for room; the fixed texts are literals of known
// length.
class ReportWriter {
 public:
  explicit ReportWriter(char* at) noexcept : at_(at) {}

  template <std::size_t N>
  void put(const char (&literal)[N]) noexcept {
    std::memcpy(at_, literal, N - 1);
    at_ += N - 1;
  }
  void put(std::string_view text) noexcept {
    std::memcpy(at_, text.data(), text.size());
    at_ += text.size();
  }
  void escaped(std::string_view text) noexcept { at_ = writeJsonEscaped(at_, text); }
  void number(int64_t value) noexcept { at_ = std::to_chars(at_, at_ + kNumberRoom, value).ptr; }
  // A check's status: its names need no escaping.
  void status(CheckStatus value) noexcept { put(checkStatusName(value)); }

  [[nodiscard]] char* at() const noexcept { return at_; }

  static constexpr std::size_t kNumberRoom = 20;  // "-9223372036854775808"

 private:
  char* at_;
};

}  // namespace

void appendJsonEscaped(std::string& out, std::string_view value) {
  const std::size_t start = out.size();
  out.resize(start + value.size() * kLongestEscape);
  char* const end = writeJsonEscaped(out.data() + start, value);
  out.resize(static_cast<std::size_t>(end - out.data()));
}

std::string_view orUnknown(const std::optional<std::string>& value) noexcept {
  return value ? std::string_view(*value) : std::string_view("unknown");
}

std::string_view reportedPlatform(const DeviceTavrine& record) noexcept {
  return record.platform == "darwin" ? std::string_view("macos")
                                     : std::string_view(record.platform);
}

Result<std::string> serializeTavrine(const DeviceTavrine& record) try {
  const std::string_view platform = reportedPlatform(record);
  const std::string_view xprotect = orUnknown(record.xprotect_version);
  const std::string_view hostname = orUnknown(record.hostname);
  const std::string_view model = orUnknown(record.model);
  const std::string_view serial = orUnknown(record.serial_number);
  // The lines' fixed text and the longest status names come to under 1 KiB.
  constexpr std::size_t kFixedRoom = 1024 + 3 * ReportWriter::kNumberRoom;
  const std::size_t texts = record.device_id.size() + platform.size() + record.os_name.size() +
                            record.os_version.size() + xprotect.size() + hostname.size() +
                            model.size() + serial.size();
  std::string out;
  out.resize(kFixedRoom + texts * kLongestEscape);
  ReportWriter w(out.data());
  w.put("{\n  \"schema_version\": \"2.0\",\n  \"device_id\": \"");
  w.escaped(record.device_id);
  w.put("\",\n  \"platform\": \"");
  w.escaped(platform);
  w.put("\",\n  \"os\": {\n    \"name\": \"");
  w.escaped(record.os_name);
  w.put("\",\n    \"version\": \"");
  w.escaped(record.os_version);
  w.put("\"\n  },\n  \"security\": {\n    \"disk_encryption\": \"");
  w.status(record.disk_encryption);
  w.put("\",\n    \"firewall\": \"");
  w.status(record.firewall);
  w.put("\",\n    \"secure_boot\": \"");
  w.status(record.secure_boot);
  w.put("\",\n    \"screen_lock\": \"");
  w.status(record.screen_lock);
  w.put("\",\n    \"screen_lock_timeout\": ");
  if (record.screen_lock_timeout) {
    w.number(*record.screen_lock_timeout);
  } else {
    w.put("null");
  }
  w.put(",\n    \"screen_lock_password\": \"");
  w.status(record.screen_lock_password);
  w.put("\",\n    \"sip\": \"");
  w.status(record.sip);
  w.put("\",\n    \"gatekeeper\": \"");
  w.status(record.gatekeeper);
  w.put("\",\n    \"xprotect_version\": \"");
  w.escaped(xprotect);
  w.put("\",\n    \"os_up_to_date\": \"");
  w.status(record.os_up_to_date);
  w.put("\",\n    \"pending_updates_count\": ");
  w.number(record.pending_updates_count);
  w.put(",\n    \"mdm_enrolled\": \"");
  w.status(record.mdm_enrolled);
  w.put("\",\n    \"vpn_connected\": \"");
  w.status(record.vpn_connected);
  w.put("\",\n    \"auto_login_disabled\": \"");
  w.status(record.auto_login_disabled);
  w.put("\",\n    \"remote_login\": \"");
  w.status(record.remote_login);
  w.put("\"\n  },\n  \"device\": {\n    \"hostname\": \"");
  w.escaped(hostname);
  w.put("\",\n    \"model\": \"");
  w.escaped(model);
  w.put("\",\n    \"serial_number\": \"");
  w.escaped(serial);
  w.put("\"\n  },\n  \"timestamp\": ");
  w.number(record.timestamp);
  w.put("\n}");
  out.resize(static_cast<std::size_t>(w.at() - out.data()));
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
