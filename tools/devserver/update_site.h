#pragma once

// The development update site of tavrine-devserver: serves
// GET /updates/manifest.json and the files it names from one directory, so
// that a developer can publish a build to a local agent. Every request reads
// the directory afresh: a republished build needs no restart.

#include <httplib.h>

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

 private:
  UpdateSiteOptions options_;
  httplib::Server server_;
  std::thread thread_;
  int port_ = 0;
};

// Whether `name` may be served from the update directory: one plain file
// name, not hidden, with no separator and nothing that climbs out of it.
bool isPublishedName(std::string_view name);

}  // namespace devserver
