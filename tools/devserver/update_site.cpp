#include "update_site.h"

#include "tavrine/base/console.h"
#include "tavrine/base/fs_util.h"
#include "tavrine/update/update_signature.h"

#include "development_update_key.h"

#include <fcntl.h>

#include <chrono>
#include <cstdlib>

namespace devserver {
namespace {

// As large as the agent accepts a download to be.
constexpr size_t kLargestFile = size_t{512} << 20;

constexpr std::string_view kManifest = "manifest.json";
constexpr std::string_view kSignature = "manifest.json.sig";

}  // namespace

std::string signWithDevelopmentKey(std::string_view manifest) {
  static const es256::PrivateKey key = [] {
    auto parsed = es256::privateKeyFromPem(kDevelopmentUpdateKey);
    if (!parsed) {
      console::line("devserver: the development update key does not read: error.{}\n",
                    errorName(parsed.error()));
      std::abort();
    }
    return *parsed;
  }();
  auto signature = update_signature::signManifest(manifest, key);
  if (!signature) {
    console::line("devserver: signing the manifest failed: error.{}\n",
                  errorName(signature.error()));
    return "";
  }
  return *signature;
}

bool isPublishedName(std::string_view name) {
  if (name.empty() || name.starts_with('.')) return false;  // ".", "..", hidden files
  return name.find_first_of(std::string_view("/\\\0", 3)) == std::string_view::npos;
}

UpdateSite::UpdateSite(UpdateSiteOptions options)
    : options_(std::move(options)), signing_(options_.sign_manifest) {
  // httplib has decoded the path already, so an encoded "/" is seen here as
  // a separator and refused with the rest.
  server_.Get(R"(/updates/(.+))", [this](const httplib::Request& request,
                                         httplib::Response& response) {
    const std::string name = request.matches[1];
    if (!isPublishedName(name)) {
      response.status = 404;
      return;
    }
    auto content = fs_util::readWholeFile(options_.directory + "/" + name, kLargestFile);
    if (!content && name == kSignature && signing_.load()) {
      content = fs_util::readWholeFile(options_.directory + "/" + std::string(kManifest),
                                       kLargestFile);
      if (content) *content = signWithDevelopmentKey(*content);
    }
    if (!content) {
      response.status = 404;
      return;
    }
    response.set_content(std::move(*content),
                         name == kManifest ? "application/json" : "application/octet-stream");
  });
  server_.set_logger([this](const httplib::Request& q, const httplib::Response& r) {
    if (!options_.log_requests) return;
    console::line("devserver: update site: {} {} {} -> {}\n", q.remote_addr, q.method, q.path,
                  r.status);
  });
}

UpdateSite::~UpdateSite() { stop(); }

std::optional<int> UpdateSite::start() {
  if (options_.port == 0) {
    port_ = server_.bind_to_any_port(options_.bind);
    if (port_ <= 0) return std::nullopt;
  } else {
    if (!server_.bind_to_port(options_.bind, options_.port)) return std::nullopt;
    port_ = options_.port;
  }
  thread_ = std::thread([this] { server_.listen_after_bind(); });
  // stop() before the loop runs would be lost: wait until it does.
  while (!server_.is_running()) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  return port_;
}

void UpdateSite::stop() {
  server_.stop();
  if (thread_.joinable()) thread_.join();
}

}  // namespace devserver
