#pragma once

// The development backend (tavrine-devserver): registers devices, verifies
// and keeps their signed tavrine reports, and shows them. The class can be
// started in-process on an ephemeral port, which is how the tests use it.

#include "oauth_server.h"

#include <httplib.h>

#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace devserver {

struct Options {
  std::string bind = "127.0.0.1";
  int port = 8000;  // 0: an ephemeral port
  // The HMAC key that report signatures must match.
  std::string signing_key;   // empty: the agent's built-in key
  bool log_requests = true;  // one line per request on standard error
  Clock clock;               // what sign-in codes expire by; empty: the system clock
  // The update site (update_site.h), started by main when a directory is given.
  int update_port = 3000;
  std::string updates_dir;  // empty: no update site
  // Whether the backend takes device keys: without them the enrolment
  // endpoint answers 404, as an older backend would.
  bool device_keys = true;
};

// What the server knows of one device.
struct Device {
  std::string device_id;
  std::string token;
  std::string registration;           // the last registration payload, as received
  std::optional<std::string> report;  // the latest accepted report, as received
  uint64_t report_count = 0;
  int64_t registered_at = 0;  // seconds since the epoch
  int64_t reported_at = 0;
  // The device key pinned at enrolment (the first one wins), as its public
  // point and kid; once pinned, only reports it signed are accepted.
  std::optional<std::string> key_point;
  std::string key_kid;
  std::string key_enrolment;  // the body of the enrolment that pinned it
  // Whether the latest accepted report carried a valid signature of the
  // pinned key, and that signature as received.
  bool report_signed_by_device = false;
  std::string device_signature;
  // The "timestamp" of the latest accepted report: a pinned device's next
  // report must be later.
  std::optional<int64_t> report_timestamp;
};

class DevServer {
 public:
  explicit DevServer(Options options = {});
  DevServer(const DevServer&) = delete;
  DevServer& operator=(const DevServer&) = delete;
  ~DevServer();

  // Binds and starts serving on a background thread; the bound port, or
  // nothing when the address could not be bound.
  std::optional<int> start();
  // Binds the address (port() then tells the port); false when it cannot.
  bool bind();
  // Serves the bound address on the calling thread until stop().
  bool serve();
  void stop();
  [[nodiscard]] bool isRunning() const { return server_.is_running(); }

  int port() const { return port_; }
  std::string baseUrl() const;

  // Snapshots for tests and the pages.
  std::vector<Device> devices() const;
  std::optional<Device> device(const std::string& device_id) const;
  // Forgets the device key pinned for `device_id` (a Mac that was erased);
  // false when none was.
  bool removePin(const std::string& device_id);
  std::vector<SignIn> signIns() const { return oauth_.signIns(); }

  // The underlying server, for later endpoints (OAuth, update site).
  httplib::Server& server() { return server_; }

 private:
  void routes();
  // The device a "DeviceToken ..." Authorization value names, or "".
  std::string deviceForAuthorization(const std::string& authorization) const;
  void handleRegister(const httplib::Request& request, httplib::Response& response);
  void handleReport(const httplib::Request& request, httplib::Response& response);
  void handleDeviceKey(const httplib::Request& request, httplib::Response& response);
  void handleRemovePin(const httplib::Request& request, httplib::Response& response);
  void handleDevices(const httplib::Request& request, httplib::Response& response);
  void handleIndex(const httplib::Request& request, httplib::Response& response);

  Options options_;
  OAuthServer oauth_;
  httplib::Server server_;
  std::thread thread_;
  int port_ = 0;

  mutable std::mutex mutex_;
  std::map<std::string, Device> devices_;               // by device_id
  std::map<std::string, std::string> device_by_token_;  // token -> device_id
};

// `text` with &, <, >, " and ' written as character references.
std::string escapeHtml(std::string_view text);

// Adds a detail to the log line of the request being handled on this thread.
void noteRequest(std::string note);

// Parses the command line of tavrine-devserver ("--port N", "--bind ADDR",
// "--update-port N", "--updates DIR", "--help"). Returns nothing and sets `message` on a usage error or help.
std::optional<Options> parseArguments(int argc, char** argv, std::string& message);

}  // namespace devserver
