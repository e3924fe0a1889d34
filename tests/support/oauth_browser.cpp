#include "support/oauth_browser.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <chrono>
#include <cstdlib>
#include <sstream>
#include <thread>

namespace test_support {
namespace {

using namespace std::chrono_literals;

std::string pathWithFixtures() {
  const char* old = std::getenv("PATH");
  return std::string(TAVRINE_FIXTURES_DIR) + ":" + (old != nullptr ? old : "/usr/bin:/bin");
}

}  // namespace

// A listener that closes early must fail the test's write, not end the test.
Browser::Browser() : path_("PATH", pathWithFixtures()) { ::signal(SIGPIPE, SIG_IGN); }

std::vector<std::string> Browser::openedArguments() const {
  std::vector<std::string> lines;
  std::istringstream in(readFile(record_));
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

std::string Browser::awaitOpenedUrl() {
  const auto give_up = std::chrono::steady_clock::now() + 10s;
  while (std::chrono::steady_clock::now() < give_up) {
    const std::string text = readFile(record_);
    // Only whole lines: the opener may be half-way through writing.
    if (const auto lines = openedArguments();
        lines.size() > consumed_ && !text.empty() && text.back() == '\n') {
      return lines[consumed_++];
    }
    std::this_thread::sleep_for(10ms);
  }
  ADD_FAILURE() << "the browser opener was not run";
  return {};
}

UniqueFd Browser::connect() const {
  const auto give_up = std::chrono::steady_clock::now() + 10s;
  for (;;) {
    UniqueFd fd(::socket(AF_INET, SOCK_STREAM, 0));
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(9876);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::connect(fd.get(), reinterpret_cast<sockaddr*>(&address), sizeof address) == 0) {
      return fd;
    }
    if (errno != ECONNREFUSED || std::chrono::steady_clock::now() > give_up) {
      ADD_FAILURE() << "cannot connect to the callback listener";
      return {};
    }
    std::this_thread::sleep_for(10ms);
  }
}

std::string Browser::get(const std::string& target) const {
  const UniqueFd fd = connect();
  if (!fd) return {};
  const std::string request = "GET " + target + " HTTP/1.1\r\nHost: localhost:9876\r\n\r\n";
  if (::send(fd.get(), request.data(), request.size(), 0) !=
      static_cast<ssize_t>(request.size())) {
    ADD_FAILURE() << "cannot send the request";
    return {};
  }
  const timeval limit{10, 0};
  ::setsockopt(fd.get(), SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
  std::string answer;
  char chunk[4096];
  for (;;) {
    const ssize_t got = ::read(fd.get(), chunk, sizeof chunk);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) break;
    answer.append(chunk, static_cast<size_t>(got));
  }
  return answer;
}

std::string Browser::parameter(const std::string& url, const std::string& name) {
  for (const char* lead : {"?", "&"}) {
    const std::string key = lead + name + "=";
    if (const size_t at = url.find(key); at != std::string::npos) {
      const size_t start = at + key.size();
      return url.substr(start, url.find('&', start) - start);
    }
  }
  return {};
}

}  // namespace test_support
