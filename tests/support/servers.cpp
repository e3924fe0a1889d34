#include "support/servers.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <strings.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <chrono>
#include <stdexcept>

namespace test_support {

LoopbackHttpServer::~LoopbackHttpServer() { stop(); }

int LoopbackHttpServer::start() {
  port_ = server_.bind_to_any_port("127.0.0.1");
  if (port_ <= 0) throw std::runtime_error("cannot bind a loopback port");
  thread_ = std::thread([this] { server_.listen_after_bind(); });
  while (!server_.is_running()) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  // The server reports running before it has made its worker threads; once it
  // has answered a request they all exist, so a test that counts the
  // process's threads starts from a settled count.
  httplib::Client probe("127.0.0.1", port_);
  probe.Get("/.probe");
  return port_;
}

void LoopbackHttpServer::stop() {
  server_.stop();
  if (thread_.joinable()) thread_.join();
}

std::string LoopbackHttpServer::url(const std::string& path) const {
  return "http://127.0.0.1:" + std::to_string(port_) + path;
}

RawHttpServer::RawHttpServer(Responder responder) : responder_(std::move(responder)) {
  listen_fd_.reset(::socket(AF_INET, SOCK_STREAM, 0));
  if (listen_fd_) ::fcntl(listen_fd_.get(), F_SETFD, FD_CLOEXEC);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  address.sin_port = 0;
  socklen_t length = sizeof(address);
  auto wake_pipe = makePipe(O_CLOEXEC);
  if (!listen_fd_ ||
      ::bind(listen_fd_.get(), reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0 ||
      ::listen(listen_fd_.get(), 16) != 0 ||
      ::getsockname(listen_fd_.get(), reinterpret_cast<sockaddr*>(&address), &length) != 0 ||
      !wake_pipe) {
    throw std::runtime_error("cannot start the raw server");
  }
  wake_read_ = std::move(wake_pipe->first);
  wake_write_ = std::move(wake_pipe->second);
  port_ = ntohs(address.sin_port);
  thread_ = std::thread([this] { loop(); });
}

RawHttpServer::~RawHttpServer() {
  const char byte = 'x';
  (void)!::write(wake_write_.get(), &byte, 1);
  if (thread_.joinable()) thread_.join();
  for (int fd : held_) ::close(fd);
}

std::string RawHttpServer::url(const std::string& path) const {
  return "http://127.0.0.1:" + std::to_string(port_) + path;
}

std::vector<std::string> RawHttpServer::requests() const {
  std::lock_guard guard(mutex_);
  return requests_;
}

namespace {

std::string readRequest(int fd) {
  std::string data;
  char buffer[4096];
  size_t body_start = std::string::npos;
  size_t content_length = 0;
  while (true) {
    if (body_start != std::string::npos && data.size() >= body_start + content_length) break;
    const ssize_t got = ::read(fd, buffer, sizeof(buffer));
    if (got <= 0) break;
    data.append(buffer, static_cast<size_t>(got));
    if (body_start == std::string::npos) {
      const size_t end = data.find("\r\n\r\n");
      if (end == std::string::npos) continue;
      body_start = end + 4;
      for (const auto& line : headerLines(data)) {
        if (line.size() > 15 && strncasecmp(line.c_str(), "content-length:", 15) == 0) {
          content_length = std::stoul(line.substr(15));
        }
      }
    }
  }
  return data;
}

void writeAll(int fd, const std::string& data) {
  size_t done = 0;
  while (done < data.size()) {
#ifdef MSG_NOSIGNAL
    const ssize_t put = ::send(fd, data.data() + done, data.size() - done, MSG_NOSIGNAL);
#else
    const ssize_t put = ::send(fd, data.data() + done, data.size() - done, 0);
#endif
    if (put <= 0) return;
    done += static_cast<size_t>(put);
  }
}

}  // namespace

void RawHttpServer::loop() {
  while (true) {
    pollfd fds[2] = {{listen_fd_.get(), POLLIN, 0}, {wake_read_.get(), POLLIN, 0}};
    if (::poll(fds, 2, -1) < 0) continue;
    if (fds[1].revents != 0) return;
    const int client = ::accept(listen_fd_.get(), nullptr, nullptr);
    if (client < 0) continue;
    ::fcntl(client, F_SETFD, FD_CLOEXEC);
#ifdef SO_NOSIGPIPE
    const int on = 1;
    ::setsockopt(client, SOL_SOCKET, SO_NOSIGPIPE, &on, sizeof(on));
#endif
    timeval timeout{5, 0};
    ::setsockopt(client, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof(timeout));
    const std::string request = readRequest(client);
    {
      std::lock_guard guard(mutex_);
      requests_.push_back(request);
    }
    const auto answer = responder_(request);
    if (answer) {
      writeAll(client, *answer);
      ::shutdown(client, SHUT_WR);
      ::close(client);
    } else {
      std::lock_guard guard(mutex_);
      held_.push_back(client);
    }
  }
}

std::vector<std::string> headerLines(const std::string& request) {
  std::vector<std::string> lines;
  const size_t end = request.find("\r\n\r\n");
  size_t position = request.find("\r\n");
  while (position != std::string::npos && position < end) {
    const size_t next = request.find("\r\n", position + 2);
    lines.push_back(request.substr(position + 2, next - position - 2));
    position = next;
  }
  return lines;
}

}  // namespace test_support
