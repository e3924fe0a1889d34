#pragma once

// The development update site of tavrine-devserver: serves
// GET /updates/manifest.json and the files it names from one directory, so
// that a developer can publish a build to a local agent. Every request reads
// the directory afresh: a republished build needs no restart. The manifest's
// signature, GET /updates/manifest.json.sig, is the file of that name when
// the directory has one (a publisher's own), else made on each request with
// the development update key, which development-mode agents trust.

#include <httplib.h>

#include <atomic>
#include <optional>
#include <string>
#include <string_view>
#include <thread>

namespace devserver {

struct UpdateSiteOptions {
  std::string directory;  // holds manifest.json and the builds it names
  std::string bind = "127.0.0.1";
  int port = 3000;  // 0: an ephemeral port
  bool log_requests = true;
  bool sign_manifest = true;  // false: no signature unless the directory has one
};

class UpdateSite {
 public:
  explicit UpdateSite(UpdateSiteOptions options);
  UpdateSite(const UpdateSite&) = delete;
  UpdateSite& operator=(const UpdateSite&) = delete;
  ~UpdateSite();

  // Binds and serves on a background thread; the bound port, or nothing.
  std::optional<int> start();
  void stop();
  int port() const { return port_; }
  // Turns the signing of the manifest on or off while the site runs.
  void setSigning(bool sign) { signing_.store(sign); }

 private:
  UpdateSiteOptions options_;
  httplib::Server server_;
  std::thread thread_;
  int port_ = 0;
  std::atomic<bool> signing_;
};

// The signature file of `manifest` made with the development update key.
std::string signWithDevelopmentKey(std::string_view manifest);

// Whether `name` may be served from the update directory: one plain file
// name, not hidden, with no separator and nothing that climbs out of it.
bool isPublishedName(std::string_view name);

}  // namespace devserver
