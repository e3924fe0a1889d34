#include "devserver.h"

#include "tavrine/agent/report.h"
#include "tavrine/base/console.h"
#include "tavrine/base/crypto.h"
#include "tavrine/base/es256.h"
#include "tavrine/base/jws.h"

#include <fmt/format.h>
#include <nlohmann/json.hpp>

#include <charconv>
#include <chrono>
#include <random>

namespace devserver {
namespace {

// The detail a handler wants in the request's log line.
thread_local std::string request_note;

int64_t now() {
  return std::chrono::duration_cast<std::chrono::seconds>(
             std::chrono::system_clock::now().time_since_epoch())
      .count();
}

std::string newToken() {
  static std::mutex mutex;
  static std::random_device device;
  std::lock_guard guard(mutex);
  std::string bytes(20, '\0');
  for (auto& b : bytes) b = static_cast<char>(device() & 0xff);
  return crypto::toHex(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size());
}

void jsonError(httplib::Response& response, int status, const std::string& message) {
  response.status = status;
  response.set_content(nlohmann::json{{"error", message}}.dump(), "application/json");
  request_note = message;
}

std::string htmlEscape(std::string_view text) {
  std::string out;
  for (char c : text) {
    switch (c) {
      case '&':
        out += "&amp;";
        break;
      case '<':
        out += "&lt;";
        break;
      case '>':
        out += "&gt;";
        break;
      case '"':
        out += "&quot;";
        break;
      case '\'':
        out += "&#39;";
        break;
      default:
        out += c;
    }
  }
  return out;
}

constexpr const char* kControls[] = {
    "disk_encryption",      "firewall",      "secure_boot",         "screen_lock",
    "screen_lock_password", "sip",           "gatekeeper",          "os_up_to_date",
    "mdm_enrolled",         "vpn_connected", "auto_login_disabled", "remote_login",
};

// The dashboard colours a control by what its state means for the Mac, not
// by the word: remote login switched on is a risk, a connected VPN is
// neither good nor bad, and a control that does not apply or could not be
// read is grey.
std::string_view safetyClass(std::string_view control, std::string_view state) {
  if (control == "vpn_connected") return "neutral";
  const bool risky_when_on = control == "remote_login";
  if (state == "enabled") return risky_when_on ? "unsafe" : "safe";
  if (state == "disabled") return risky_when_on ? "safe" : "unsafe";
  return "neutral";
}

}  // namespace

std::string escapeHtml(std::string_view text) { return htmlEscape(text); }
void noteRequest(std::string note) { request_note = std::move(note); }

DevServer::DevServer(Options options) : options_(std::move(options)), oauth_(options_.clock) {
  if (options_.signing_key.empty()) options_.signing_key = std::string(agent::kSigningKey);
  routes();
}

DevServer::~DevServer() { stop(); }

void DevServer::routes() {
  server_.Post("/api/v1/agent/register/",
               [this](const httplib::Request& q, httplib::Response& r) { handleRegister(q, r); });
  server_.Post("/api/v1/agent/tavrine/",
               [this](const httplib::Request& q, httplib::Response& r) { handleReport(q, r); });
  server_.Post("/api/v1/agent/device-key/",
               [this](const httplib::Request& q, httplib::Response& r) { handleDeviceKey(q, r); });
  server_.Delete(
      R"(/admin/device-key/([^/]+))",
      [this](const httplib::Request& q, httplib::Response& r) { handleRemovePin(q, r); });
  server_.Get("/api/v1/devices",
              [this](const httplib::Request& q, httplib::Response& r) { handleDevices(q, r); });
  oauth_.addRoutes(server_);
  server_.Get("/", [this](const httplib::Request& q, httplib::Response& r) { handleIndex(q, r); });
  server_.set_logger([this](const httplib::Request& q, const httplib::Response& r) {
    std::string note;
    note.swap(request_note);
    if (!options_.log_requests) return;
    console::line("devserver: {} {} {} -> {}{}{}\n", q.remote_addr, q.method, q.path, r.status,
                  note.empty() ? "" : " ", note);
  });
}

bool DevServer::bind() {
  if (options_.port == 0) {
    port_ = server_.bind_to_any_port(options_.bind);
    return port_ > 0;
  }
  if (!server_.bind_to_port(options_.bind, options_.port)) return false;
  port_ = options_.port;
  return true;
}

std::optional<int> DevServer::start() {
  if (!bind()) return std::nullopt;
  thread_ = std::thread([this] { server_.listen_after_bind(); });
  // stop() before the loop runs would be lost: wait until it does.
  while (!server_.is_running()) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  return port_;
}

bool DevServer::serve() { return server_.listen_after_bind(); }

void DevServer::stop() {
  server_.stop();
  if (thread_.joinable()) thread_.join();
}

std::string DevServer::baseUrl() const { return fmt::format("http://{}:{}", options_.bind, port_); }

std::vector<Device> DevServer::devices() const {
  std::lock_guard guard(mutex_);
  std::vector<Device> out;
  for (const auto& [id, device] : devices_) out.push_back(device);
  return out;
}

std::optional<Device> DevServer::device(const std::string& device_id) const {
  std::lock_guard guard(mutex_);
  const auto it = devices_.find(device_id);
  if (it == devices_.end()) return std::nullopt;
  return it->second;
}

bool DevServer::removePin(const std::string& device_id) {
  std::lock_guard guard(mutex_);
  const auto it = devices_.find(device_id);
  if (it == devices_.end() || !it->second.key_point) return false;
  Device& device = it->second;
  device.key_point.reset();
  device.key_kid.clear();
  device.key_enrolment.clear();
  device.report_signed_by_device = false;
  device.device_signature.clear();
  return true;
}

std::string DevServer::deviceForAuthorization(const std::string& authorization) const {
  constexpr std::string_view kScheme = "DeviceToken ";
  if (!authorization.starts_with(kScheme)) return "";
  std::lock_guard guard(mutex_);
  const auto it = device_by_token_.find(authorization.substr(kScheme.size()));
  return it == device_by_token_.end() ? "" : it->second;
}

// Pins the key of a registered device, first key wins: the body names the
// device and carries the SubjectPublicKeyInfo, and X-Device-Signature proves
// that the sender holds its private half.
void DevServer::handleDeviceKey(const httplib::Request& request, httplib::Response& response) {
  if (!options_.device_keys) return jsonError(response, 404, "device keys are not taken here");
  const std::string device_id = deviceForAuthorization(request.get_header_value("Authorization"));
  if (device_id.empty()) return jsonError(response, 403, "unknown device token");
  const nlohmann::json body = nlohmann::json::parse(request.body, nullptr, false);
  if (!body.is_object()) return jsonError(response, 400, "body is not a JSON object");
  if (body.value("device_id", "") != device_id) {
    return jsonError(response, 403, "device_id is not the token's device");
  }
  if (body.value("algorithm", "") != "ES256")
    return jsonError(response, 400, "algorithm is not ES256");
  const auto der = es256::base64Decode(body.value("public_key", ""), false);
  const std::string point =
      der && der->size() > es256::kPointSize ? der->substr(der->size() - es256::kPointSize) : "";
  if (point.empty() || es256::publicKeyDer(point) != *der) {
    return jsonError(response, 400, "public_key is not a P-256 SubjectPublicKeyInfo");
  }
  const auto proof = jws::parseDetached(request.get_header_value("X-Device-Signature"));
  if (!proof || proof->kid != es256::thumbprint(point) ||
      !jws::verifyDetached(*proof, request.body, point)) {
    return jsonError(response, 401, "X-Device-Signature does not prove the key");
  }
  std::lock_guard guard(mutex_);
  Device& device = devices_[device_id];
  if (device.key_point && *device.key_point != point) {
    return jsonError(response, 409,
                     "device " + device_id + " holds another key (" + device.key_kid + ")");
  }
  const bool created = !device.key_point;
  device.key_point = point;
  device.key_kid = proof->kid;
  device.key_enrolment = request.body;
  response.status = created ? 201 : 200;
  response.set_content(nlohmann::json{{"kid", proof->kid}}.dump(), "application/json");
  request_note = "key " + proof->kid + " pinned for " + device_id;
}

void DevServer::handleRemovePin(const httplib::Request& request, httplib::Response& response) {
  // Administration from this machine only, whatever address is bound.
  if (request.remote_addr != "127.0.0.1" && request.remote_addr != "::1") {
    return jsonError(response, 403, "administration from loopback only");
  }
  const std::string device_id = request.matches[1];
  if (!removePin(device_id)) return jsonError(response, 404, "no key pinned for " + device_id);
  response.status = 200;
  response.set_content(R"({"removed": true})", "application/json");
  request_note = "pin removed for " + device_id;
}

void DevServer::handleRegister(const httplib::Request& request, httplib::Response& response) {
  nlohmann::json payload = nlohmann::json::parse(request.body, nullptr, false);
  if (payload.is_discarded() || !payload.is_object()) {
    return jsonError(response, 400, "body is not a JSON object");
  }
  const auto id = payload.find("device_id");
  if (id == payload.end() || !id->is_string() || id->get<std::string>().empty()) {
    return jsonError(response, 400, "missing device_id");
  }
  const std::string device_id = id->get<std::string>();
  std::string token;
  {
    std::lock_guard guard(mutex_);
    Device& device = devices_[device_id];
    if (device.token.empty()) {
      device.device_id = device_id;
      device.token = newToken();
      device_by_token_[device.token] = device_id;
    }
    device.registration = request.body;
    device.registered_at = now();
    token = device.token;
  }
  nlohmann::ordered_json answer;
  answer["token"] = token;
  answer["device_id"] = device_id;
  response.status = 201;
  response.set_content(answer.dump(), "application/json");
  request_note = "device " + device_id;
}

void DevServer::handleReport(const httplib::Request& request, httplib::Response& response) {
  const std::string expected =
      crypto::toHex(crypto::hmacSha256(options_.signing_key, request.body));
  const std::string signature = request.get_header_value("X-Signature");
  if (!crypto::constantTimeEqual(signature, expected)) {
    return jsonError(response, 401,
                     signature.empty() ? "missing X-Signature" : "invalid signature");
  }
  const std::string authorization = request.get_header_value("Authorization");
  const std::string device_id = deviceForAuthorization(authorization);
  if (device_id.empty()) {
    return jsonError(response, 403,
                     authorization.empty() ? "missing device token" : "unknown device token");
  }
  const nlohmann::json report = nlohmann::json::parse(request.body, nullptr, false);
  if (report.is_discarded() || !report.is_object()) {
    return jsonError(response, 400, "body is not a JSON object");
  }
  const auto schema = report.find("schema_version");
  if (schema == report.end() || !schema->is_string() || schema->get<std::string>() != "2.0") {
    return jsonError(response, 400, "schema_version is not \"2.0\"");
  }
  const auto found = report.find("timestamp");
  const std::optional<int64_t> timestamp = found != report.end() && found->is_number_integer()
                                               ? std::optional<int64_t>(found->get<int64_t>())
                                               : std::nullopt;
  const std::string device_signature = request.get_header_value("X-Device-Signature");
  {
    std::lock_guard guard(mutex_);
    Device& device = devices_[device_id];
    // Once a key is pinned, the shared HMAC key proves nothing: only the
    // device's own signature, over a report newer than the last, does.
    if (device.key_point) {
      if (device_signature.empty()) return jsonError(response, 401, "missing X-Device-Signature");
      const auto parsed = jws::parseDetached(device_signature);
      if (!parsed || parsed->kid != device.key_kid ||
          !jws::verifyDetached(*parsed, request.body, *device.key_point)) {
        return jsonError(response, 401, "X-Device-Signature is not by the device's pinned key");
      }
      if (!timestamp) return jsonError(response, 401, "timestamp is not an integer");
      if (device.report_timestamp && *timestamp <= *device.report_timestamp) {
        return jsonError(response, 401,
                         "replayed report: timestamp not later than the last accepted");
      }
    }
    device.report_signed_by_device = device.key_point.has_value();
    device.device_signature = device_signature;
    if (timestamp) device.report_timestamp = timestamp;
    device.report = request.body;
    device.report_count += 1;
    device.reported_at = now();
  }
  response.status = 202;
  response.set_content(R"({"status": "accepted"})", "application/json");
  request_note = "report from " + device_id;
}

void DevServer::handleDevices(const httplib::Request&, httplib::Response& response) {
  nlohmann::ordered_json list = nlohmann::ordered_json::array();
  for (const Device& device : devices()) {
    nlohmann::ordered_json entry;
    entry["device_id"] = device.device_id;
    entry["registered_at"] = device.registered_at;
    entry["registration"] = nlohmann::ordered_json::parse(device.registration, nullptr, false);
    entry["report_count"] = device.report_count;
    entry["reported_at"] = device.reported_at;
    entry["device_key"] = device.key_point ? nlohmann::ordered_json(device.key_kid) : nullptr;
    entry["signed_by_device_key"] = device.report_signed_by_device;
    entry["latest_report"] =
        device.report ? nlohmann::ordered_json::parse(*device.report, nullptr, false) : nullptr;
    list.push_back(std::move(entry));
  }
  response.status = 200;
  response.set_content(nlohmann::ordered_json{{"devices", list}}.dump(2), "application/json");
}

void DevServer::handleIndex(const httplib::Request&, httplib::Response& response) {
  std::string html =
      "<!DOCTYPE html>\n<html><head><meta charset=\"utf-8\"><title>Tavrine devserver</title>\n"
      "<style>body{font-family:sans-serif;margin:2em}table{border-collapse:collapse;margin-bottom:"
      "2em}"
      "td,th{border:1px solid #ccc;padding:4px 8px;text-align:left}"
      ".safe{color:#070}.unsafe{color:#b00}.neutral{color:#777}</style></head><body>\n"
      "<h1>Tavrine devices</h1>\n";
  const auto devices = this->devices();
  if (devices.empty()) html += "<p>No device has registered yet.</p>\n";
  for (const Device& device : devices) {
    html += fmt::format("<h2>{}</h2>\n<p>Reports received: {}</p>\n", htmlEscape(device.device_id),
                        device.report_count);
    if (!device.key_point) {
      html +=
          "<p class=\"unsafe\">Device key: none pinned; reports are signed by the shared "
          "key only</p>\n";
    } else {
      html += fmt::format(
          "<p class=\"{}\">Device key {}: {}</p>\n",
          device.report_signed_by_device ? "safe" : "neutral", htmlEscape(device.key_kid),
          device.report_signed_by_device ? "reports signed by the device's own key"
                                         : "pinned, no report signed by it accepted yet");
    }
    const nlohmann::json report =
        device.report ? nlohmann::json::parse(*device.report, nullptr, false) : nlohmann::json();
    if (!report.is_object()) {
      html += "<p>No report yet.</p>\n";
      continue;
    }
    const auto text = [](const nlohmann::json& object, const char* key) -> std::string {
      if (!object.is_object()) return "unknown";
      const auto it = object.find(key);
      if (it == object.end() || it->is_null()) return "unknown";
      return it->is_string() ? it->get<std::string>() : it->dump();
    };
    const nlohmann::json os = report.value("os", nlohmann::json());
    const nlohmann::json dev = report.value("device", nlohmann::json());
    html += fmt::format("<p>{} {} &middot; {} &middot; {} &middot; serial {}</p>\n",
                        htmlEscape(text(os, "name")), htmlEscape(text(os, "version")),
                        htmlEscape(text(dev, "hostname")), htmlEscape(text(dev, "model")),
                        htmlEscape(text(dev, "serial_number")));
    html += "<table><tr><th>Control</th><th>State</th></tr>\n";
    const nlohmann::json security = report.value("security", nlohmann::json());
    for (const char* control : kControls) {
      std::string state = text(security, control);
      if (state != "enabled" && state != "disabled" && state != "not_applicable") {
        state = "unknown";
      }
      html += fmt::format("<tr><td>{}</td><td class=\"{}\">{}</td></tr>\n", control,
                          safetyClass(control, state), state);
    }
    html += "</table>\n";
  }
  html += oauth_.dashboardSection();
  html += "</body></html>\n";
  response.status = 200;
  response.set_content(html, "text/html; charset=utf-8");
}

std::optional<Options> parseArguments(int argc, char** argv, std::string& message) {
  Options options;
  for (int i = 1; i < argc; ++i) {
    const std::string_view arg = argv[i];
    if (arg == "--help" || arg == "-h") {
      message =
          "Usage: tavrine-devserver [--bind ADDRESS] [--port PORT] [--updates DIR]"
          " [--update-port PORT]\n"
          "The development backend of Tavrine (default 127.0.0.1:8000).\n"
          "With --updates, also the update site (default port 3000), serving\n"
          "/updates/manifest.json and the files it names from DIR.\n"
          "A device's pinned key is removed, from this machine only, with\n"
          "  curl -X DELETE http://127.0.0.1:8000/admin/device-key/DEVICE_ID\n";
      return std::nullopt;
    }
    if ((arg == "--port" || arg == "--bind" || arg == "--update-port" || arg == "--updates") &&
        i + 1 >= argc) {
      message = fmt::format("tavrine-devserver: {} needs a value\n", arg);
      return std::nullopt;
    }
    if (arg == "--port" || arg == "--update-port") {
      const std::string_view value = argv[++i];
      int port = -1;
      const auto [end, ec] = std::from_chars(value.data(), value.data() + value.size(), port);
      if (ec != std::errc() || end != value.data() + value.size() || port < 0 || port > 65535) {
        message = fmt::format("tavrine-devserver: invalid port '{}'\n", value);
        return std::nullopt;
      }
      (arg == "--port" ? options.port : options.update_port) = port;
    } else if (arg == "--updates") {
      options.updates_dir = argv[++i];
    } else if (arg == "--bind") {
      options.bind = argv[++i];
    } else {
      message = fmt::format("tavrine-devserver: unknown argument '{}'\n", arg);
      return std::nullopt;
    }
  }
  return options;
}

}  // namespace devserver
