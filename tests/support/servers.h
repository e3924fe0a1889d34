#pragma once

// Real peers for the HTTP-facing suites, all on 127.0.0.1 with ephemeral
// ports: a cpp-httplib server on a background thread, and a raw TCP server
// that records the exact request bytes and answers with exact bytes (or
// never answers).

#include "tavrine/base/unique_fd.h"

#include <httplib.h>

#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace test_support {

// An httplib::Server serving on a background thread. Add the routes through
// server() before start().
class LoopbackHttpServer {
 public:
  LoopbackHttpServer() = default;
  LoopbackHttpServer(const LoopbackHttpServer&) = delete;
  LoopbackHttpServer& operator=(const LoopbackHttpServer&) = delete;
  ~LoopbackHttpServer();

  httplib::Server& server() { return server_; }
  // Binds an ephemeral port on 127.0.0.1 and serves; returns the port.
  int start();
  void stop();
  int port() const { return port_; }
  std::string url(const std::string& path) const;

 private:
  httplib::Server server_;
  std::thread thread_;
  int port_ = 0;
};

// Serves one connection at a time: reads a whole request (headers and a
// Content-Length body), records it, and sends what the responder returns,
// then closes. A responder returning nothing keeps the connection open and
// silent until the server is destroyed.
class RawHttpServer {
 public:
  using Responder = std::function<std::optional<std::string>(const std::string& request)>;
  explicit RawHttpServer(Responder responder);
  RawHttpServer(const RawHttpServer&) = delete;
  RawHttpServer& operator=(const RawHttpServer&) = delete;
  ~RawHttpServer();

  int port() const { return port_; }
  std::string url(const std::string& path) const;
  std::vector<std::string> requests() const;

 private:
  void loop();

  Responder responder_;
  UniqueFd listen_fd_;
  UniqueFd wake_read_;
  UniqueFd wake_write_;
  int port_ = 0;
  std::thread thread_;
  mutable std::mutex mutex_;
  std::vector<std::string> requests_;
  std::vector<int> held_;
};

// The header lines of a raw request (after the request line), in order.
std::vector<std::string> headerLines(const std::string& request);

}  // namespace test_support
