// ctest-properties: LABELS threaded
#include "tavrine/net/http.h"

#include "support/process.h"
#include "support/servers.h"
#include "support/temp_dir.h"
#include "tavrine/platform/stop_request.h"

#include <arpa/inet.h>
#include <curl/curl.h>
#include <fcntl.h>
#include <fmt/format.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <thread>

namespace {

using test_support::LoopbackHttpServer;
using test_support::RawHttpServer;

// A server whose path says what to answer: /status/N answers N with the
// body "status N"; /redirect/N redirects N more times, then answers "arrived".
class StatusServer : public ::testing::Test {
 protected:
  void SetUp() override {
    server_.server().Post(R"(/status/(\d+))", [](const httplib::Request& q, httplib::Response& r) {
      r.status = std::stoi(q.matches[1]);
      r.set_content("status " + std::string(q.matches[1]), "text/plain");
    });
    server_.server().Get(R"(/status/(\d+))", [](const httplib::Request& q, httplib::Response& r) {
      r.status = std::stoi(q.matches[1]);
      r.set_content("status " + std::string(q.matches[1]), "text/plain");
    });
    const auto redirect = [](const httplib::Request& q, httplib::Response& r) {
      const int left = std::stoi(q.matches[1]);
      if (left == 0) {
        r.set_content("arrived", "text/plain");
      } else {
        r.set_redirect("/redirect/" + std::to_string(left - 1), 302);
        r.set_content("redirecting", "text/plain");
      }
    };
    server_.server().Get(R"(/redirect/(\d+))", redirect);
    server_.server().Get("/away", [](const httplib::Request& q, httplib::Response& r) {
      r.set_redirect(q.get_param_value("to"), 302);
    });
    server_.server().Post(R"(/redirect/(\d+))", redirect);
    server_.start();
  }
  std::string url(const std::string& path) { return server_.url(path); }
  LoopbackHttpServer server_;
};

TEST_F(StatusServer, EveryStatusIsAResponse) {
  for (int status : {200, 201, 299, 300, 404, 500}) {
    const std::string path = "/status/" + std::to_string(status);
    const auto posted = http::post(url(path), "{}");
    ASSERT_TRUE(posted.has_value()) << status;
    EXPECT_EQ(posted->status, status);
    EXPECT_EQ(posted->body, "status " + std::to_string(status));
    const auto got = http::get(url(path));
    ASSERT_TRUE(got.has_value()) << status;
    EXPECT_EQ(got->status, status);
    EXPECT_EQ(got->body, "status " + std::to_string(status));
  }
}

TEST_F(StatusServer, PostReturnsRedirectUnfollowed) {
  const auto response = http::post(url("/redirect/1"), "{}");
  ASSERT_TRUE(response.has_value());
  EXPECT_EQ(response->status, 302);
  EXPECT_EQ(response->body, "redirecting");
}

TEST_F(StatusServer, GetFollowsThreeRedirects) {
  const auto response = http::get(url("/redirect/3"));
  ASSERT_TRUE(response.has_value());
  EXPECT_EQ(response->status, 200);
  EXPECT_EQ(response->body, "arrived");
}

TEST_F(StatusServer, GetFailsOnTheFourthRedirect) {
  testing::internal::CaptureStderr();
  const auto response = http::get(url("/redirect/4"));
  const std::string err = testing::internal::GetCapturedStderr();
  ASSERT_FALSE(response.has_value());
  EXPECT_EQ(response.error(), Error::RequestFailed);
  EXPECT_EQ(err, "error: HTTP GET request failed: TooManyRedirects\n");
}

TEST_F(StatusServer, RedirectsOnlyToHttpOrHttps) {
  testing::internal::CaptureStderr();
  for (const char* target : {"file:///etc/passwd", "ftp://127.0.0.1/build", "gopher://x/"}) {
    const auto got = http::get(url(std::string("/away?to=") + target));
    EXPECT_FALSE(got.has_value()) << target;
  }
  const std::string err = testing::internal::GetCapturedStderr();
  EXPECT_EQ(err,
            "error: HTTP GET request failed: UnsupportedUriScheme\n"
            "error: HTTP GET request failed: UnsupportedUriScheme\n"
            "error: HTTP GET request failed: UnsupportedUriScheme\n");
}

TEST_F(StatusServer, NoProxyWhateverTheEnvironmentSays) {
  // A proxy that refuses every connection: a request through it would fail.
  const std::string proxy = "http://127.0.0.1:" + std::to_string(test_support::freeLoopbackPort());
  for (const char* name : {"http_proxy", "HTTP_PROXY", "https_proxy", "ALL_PROXY", "all_proxy"}) {
    setenv(name, proxy.c_str(), 1);
  }
  unsetenv("no_proxy");
  unsetenv("NO_PROXY");
  const auto posted = http::post(url("/status/200"), "{}");
  const auto got = http::get(url("/status/200"));
  for (const char* name : {"http_proxy", "HTTP_PROXY", "https_proxy", "ALL_PROXY", "all_proxy"}) {
    unsetenv(name);
  }
  ASSERT_TRUE(posted.has_value());
  EXPECT_EQ(posted->status, 200);
  ASSERT_TRUE(got.has_value());
  EXPECT_EQ(got->status, 200);
}

std::string answer(const std::string& status_line, const std::string& extra_headers,
                   const std::string& body) {
  return "HTTP/1.1 " + status_line + "\r\nContent-Length: " + std::to_string(body.size()) +
         "\r\nConnection: close\r\n" + extra_headers + "\r\n" + body;
}

TEST(Http, PostHeadersInOrderWithoutExpect) {
  RawHttpServer server([](const std::string&) { return answer("200 OK", "", "ok"); });
  const std::string big(100'000, 'x');  // large enough for curl to want "Expect: 100-continue"
  const http::HttpHeader headers[] = {{"X-Signature", "abc123"},
                                      {"Authorization", "DeviceToken t0k"}};
  const auto response = http::post(server.url("/api/v1/agent/tavrine/"), big, headers);
  ASSERT_TRUE(response.has_value());
  EXPECT_EQ(response->status, 200);
  EXPECT_EQ(response->body, "ok");
  const auto requests = server.requests();
  ASSERT_EQ(requests.size(), 1u);
  EXPECT_TRUE(requests[0].starts_with("POST /api/v1/agent/tavrine/ HTTP/1.1\r\n"));
  const auto lines = test_support::headerLines(requests[0]);
  std::vector<std::string> custom;
  for (const auto& line : lines) {
    if (line.starts_with("Content-Type") || line.starts_with("X-") ||
        line.starts_with("Authorization")) {
      custom.push_back(line);
    }
    EXPECT_FALSE(line.starts_with("Expect")) << line;
    EXPECT_FALSE(line.starts_with("Proxy")) << line;
  }
  EXPECT_EQ(custom,
            (std::vector<std::string>{"Content-Type: application/json", "X-Signature: abc123",
                                      "Authorization: DeviceToken t0k"}));
  EXPECT_TRUE(requests[0].ends_with("\r\n\r\n" + big));
  EXPECT_NE(std::find(lines.begin(), lines.end(), "Content-Length: 100000"), lines.end());
}

TEST(Http, PostWithoutHeadersSendsOnlyContentType) {
  RawHttpServer server([](const std::string&) { return answer("201 Created", "", ""); });
  const auto response = http::post(server.url("/r"), "{\"a\": 1}");
  ASSERT_TRUE(response.has_value());
  EXPECT_EQ(response->status, 201);
  const auto lines = test_support::headerLines(server.requests().at(0));
  int content_types = 0;
  for (const auto& line : lines) {
    if (line.starts_with("Content-Type")) {
      ++content_types;
      EXPECT_EQ(line, "Content-Type: application/json");
    }
  }
  EXPECT_EQ(content_types, 1);
}

TEST(Http, GetSendsOnlyCallerHeadersInOrder) {
  RawHttpServer server([](const std::string&) { return answer("200 OK", "", "{}"); });
  const http::HttpHeader headers[] = {{"Accept", "application/json"},
                                      {"User-Agent", http::kUserAgent}};
  const auto response = http::get(server.url("/updates/manifest.json"), headers);
  ASSERT_TRUE(response.has_value());
  const std::string request = server.requests().at(0);
  EXPECT_TRUE(request.starts_with("GET /updates/manifest.json HTTP/1.1\r\n"));
  const auto lines = test_support::headerLines(request);
  std::vector<std::string> accept_and_agent;
  for (const auto& line : lines) {
    EXPECT_FALSE(line.starts_with("Content-Type")) << line;
    if (line.starts_with("Accept:") || line.starts_with("User-Agent"))
      accept_and_agent.push_back(line);
  }
  EXPECT_EQ(accept_and_agent, (std::vector<std::string>{"Accept: application/json",
                                                        "User-Agent: Tavrine-Agent/0.2.0"}));
}

uint32_t crc32(const std::string& data) {
  uint32_t crc = 0xffffffffu;
  for (unsigned char byte : data) {
    crc ^= byte;
    for (int k = 0; k < 8; ++k) crc = (crc >> 1) ^ (0xedb88320u & (0u - (crc & 1u)));
  }
  return ~crc;
}

void appendLe(std::string& out, uint32_t value, int bytes) {
  for (int i = 0; i < bytes; ++i) out += static_cast<char>((value >> (8 * i)) & 0xff);
}

// A gzip member holding `data` in one stored deflate block (RFC 1951/1952).
std::string gzipStored(const std::string& data) {
  std::string out("\x1f\x8b\x08\x00\x00\x00\x00\x00\x00\xff", 10);
  out += '\x01';  // final block, stored
  appendLe(out, static_cast<uint32_t>(data.size()), 2);
  appendLe(out, static_cast<uint32_t>(~data.size()) & 0xffff, 2);
  out += data;
  appendLe(out, crc32(data), 4);
  appendLe(out, static_cast<uint32_t>(data.size()), 4);
  return out;
}

TEST(Http, GzipAnswerIsDecodedAndEncodingsAdvertised) {
  const std::string plain = "{\"version\": \"0.3.0\", \"notes\": \"gzip works\"}";
  RawHttpServer server([&](const std::string&) {
    return answer("200 OK", "Content-Encoding: gzip\r\n", gzipStored(plain));
  });
  const auto got = http::get(server.url("/manifest"));
  ASSERT_TRUE(got.has_value());
  EXPECT_EQ(got->body, plain);
  const auto posted = http::post(server.url("/report"), "{}");
  ASSERT_TRUE(posted.has_value());
  EXPECT_EQ(posted->body, plain);
  bool advertised = false;
  for (const auto& line : test_support::headerLines(server.requests().at(0))) {
    if (line.starts_with("Accept-Encoding:") && line.find("gzip") != std::string::npos)
      advertised = true;
  }
  EXPECT_TRUE(advertised);
}

TEST(Http, BrokenGzipFailsTheExchange) {
  RawHttpServer server([](const std::string&) {
    return answer("200 OK", "Content-Encoding: gzip\r\n", "this is not gzip at all");
  });
  testing::internal::CaptureStderr();
  const auto got = http::get(server.url("/x"));
  const std::string err = testing::internal::GetCapturedStderr();
  ASSERT_FALSE(got.has_value());
  EXPECT_EQ(got.error(), Error::RequestFailed);
  EXPECT_EQ(err, "error: HTTP GET request failed: DecompressionFailed\n");
}

TEST(Http, EmptyBody) {
  RawHttpServer server([](const std::string&) { return answer("200 OK", "", ""); });
  const auto posted = http::post(server.url("/"), "");
  ASSERT_TRUE(posted.has_value());
  EXPECT_EQ(posted->status, 200);
  EXPECT_TRUE(posted->body.empty());
  EXPECT_TRUE(server.requests().at(0).ends_with("Content-Length: 0\r\n\r\n") ||
              server.requests().at(0).find("Content-Length: 0\r\n") != std::string::npos);
  const auto got = http::get(server.url("/"));
  ASSERT_TRUE(got.has_value());
  EXPECT_TRUE(got->body.empty());
}

TEST(Http, RefusedConnectionPrintsTheNameAndFails) {
  const std::string url =
      "http://127.0.0.1:" + std::to_string(test_support::freeLoopbackPort()) + "/";
  testing::internal::CaptureStderr();
  const auto posted = http::post(url, "{}");
  const auto got = http::get(url);
  const std::string err = testing::internal::GetCapturedStderr();
  ASSERT_FALSE(posted.has_value());
  EXPECT_EQ(posted.error(), Error::RequestFailed);
  ASSERT_FALSE(got.has_value());
  EXPECT_EQ(got.error(), Error::RequestFailed);
  EXPECT_EQ(err,
            "error: HTTP request failed: ConnectionRefused\n"
            "error: HTTP GET request failed: ConnectionRefused\n");
}

TEST(Http, UnsupportedSchemeAndBadUrl) {
  testing::internal::CaptureStderr();
  const auto ftp = http::post("ftp://127.0.0.1/file", "{}");
  const auto bad = http::get("http://[::1");
  const std::string err = testing::internal::GetCapturedStderr();
  EXPECT_FALSE(ftp.has_value());
  EXPECT_FALSE(bad.has_value());
  EXPECT_EQ(err,
            "error: HTTP request failed: UnsupportedUriScheme\n"
            "error: HTTP GET request failed: InvalidUrl\n");
}

TEST(Http, StalledServerFailsAfterTheBound) {
  RawHttpServer server([](const std::string&) { return std::nullopt; });  // never answers
  http::Limits limits;
  limits.stall_timeout = std::chrono::seconds(1);
  testing::internal::CaptureStderr();
  const auto started = std::chrono::steady_clock::now();
  const auto posted = http::post(server.url("/"), "{}", {}, limits);
  const auto elapsed = std::chrono::steady_clock::now() - started;
  const std::string err = testing::internal::GetCapturedStderr();
  ASSERT_FALSE(posted.has_value());
  EXPECT_EQ(posted.error(), Error::RequestFailed);
  EXPECT_EQ(err, "error: HTTP request failed: TransferStalled\n");
  EXPECT_GE(elapsed, std::chrono::milliseconds(900));
  EXPECT_LT(elapsed, std::chrono::seconds(10));
}

// A listener whose accept queue is full and never drained: the kernel drops
// further SYNs, so the connection is never established.
TEST(Http, ConnectionThatNeverCompletesFailsAfterTheConnectBound) {
#ifndef __linux__
  GTEST_SKIP() << "relies on Linux dropping SYNs to a full accept queue";
#endif
  const int listener = ::socket(AF_INET, SOCK_STREAM, 0);
  ASSERT_GE(listener, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof(address);
  ASSERT_EQ(::bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof(address)), 0);
  ASSERT_EQ(::listen(listener, 0), 0);
  ASSERT_EQ(::getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length), 0);
  std::vector<int> fillers;
  for (int i = 0; i < 8; ++i) {
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    ::fcntl(fd, F_SETFL, O_NONBLOCK);
    (void)::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address));
    fillers.push_back(fd);
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  http::Limits limits;
  limits.connect_timeout = std::chrono::milliseconds(500);
  const std::string url = "http://127.0.0.1:" + std::to_string(ntohs(address.sin_port)) + "/";
  testing::internal::CaptureStderr();
  const auto started = std::chrono::steady_clock::now();
  const auto posted = http::post(url, "{}", {}, limits);
  const auto elapsed = std::chrono::steady_clock::now() - started;
  const std::string err = testing::internal::GetCapturedStderr();
  for (int fd : fillers) ::close(fd);
  ::close(listener);
  ASSERT_FALSE(posted.has_value());
  EXPECT_EQ(posted.error(), Error::RequestFailed);
  EXPECT_EQ(err, "error: HTTP request failed: Timeout\n");
  EXPECT_GE(elapsed, std::chrono::milliseconds(450));
  EXPECT_LT(elapsed, std::chrono::seconds(5));
}

TEST(Http, DefaultLimits) {
  const http::Limits limits;
  EXPECT_EQ(limits.connect_timeout, std::chrono::seconds(30));
  EXPECT_EQ(limits.stall_timeout, std::chrono::seconds(60));
  // Every POST, the sign-in's token request among them, and the manifest.
  EXPECT_EQ(limits.total_timeout, std::chrono::seconds(60));
  EXPECT_FALSE(limits.cut_at_limit);
  EXPECT_EQ(limits.max_post_response, 1024u * 1024);
  EXPECT_EQ(limits.max_get_response, 512u * 1024 * 1024);
}

TEST(Http, OversizedAnswerFails) {
  const std::string body(5000, 'b');
  http::Limits limits;
  limits.max_post_response = 4999;
  limits.max_get_response = 4999;
  // With a Content-Length (refused before reading) and chunked (refused while reading).
  RawHttpServer sized([&](const std::string&) { return answer("200 OK", "", body); });
  RawHttpServer chunked([&](const std::string&) {
    return std::optional<std::string>(
        "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\nConnection: close\r\n\r\n"
        "9c4\r\n" +
        body.substr(0, 2500) + "\r\n9c4\r\n" + body.substr(2500) + "\r\n0\r\n\r\n");
  });
  testing::internal::CaptureStderr();
  const auto a = http::post(sized.url("/"), "{}", {}, limits);
  const auto b = http::get(chunked.url("/"), {}, limits);
  const std::string err = testing::internal::GetCapturedStderr();
  EXPECT_FALSE(a.has_value());
  EXPECT_FALSE(b.has_value());
  EXPECT_EQ(err,
            "error: HTTP request failed: ResponseTooLarge\n"
            "error: HTTP GET request failed: ResponseTooLarge\n");
  // Exactly at the bound is fine.
  limits.max_post_response = 5000;
  limits.max_get_response = 5000;
  EXPECT_TRUE(http::post(sized.url("/"), "{}", {}, limits).has_value());
  EXPECT_TRUE(http::get(chunked.url("/"), {}, limits).has_value());
  // On one kept handle each request's bound is its own, whatever the one
  // before it had.
  http::Client client;
  for (const size_t bound : {5000u, 4999u, 4999u, 5000u, 5000u, 4999u}) {
    limits.max_post_response = bound;
    testing::internal::CaptureStderr();
    const auto kept = http::post(sized.url("/"), "{}", {}, limits, {.client = &client});
    (void)testing::internal::GetCapturedStderr();
    EXPECT_EQ(kept.has_value(), bound == 5000) << bound;
  }
}

// A caller that refuses long answers in its own words gets the start of one,
// marked, and no error line; an answer within the bound is not marked.
TEST(Http, AnOversizedAnswerCanBeCutInsteadOfFailing) {
  const std::string body(5000, 'b');
  RawHttpServer sized([&](const std::string&) { return answer("200 OK", "", body); });
  RawHttpServer chunked([&](const std::string&) {
    return std::optional<std::string>(
        "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\nConnection: close\r\n\r\n"
        "9c4\r\n" +
        body.substr(0, 2500) + "\r\n9c4\r\n" + body.substr(2500) + "\r\n0\r\n\r\n");
  });
  http::Limits limits;
  limits.max_get_response = 4000;
  limits.cut_at_limit = true;
  testing::internal::CaptureStderr();
  for (const RawHttpServer* server : {&sized, &chunked}) {
    const auto got = http::get(server->url("/"), {}, limits);
    ASSERT_TRUE(got.has_value());
    EXPECT_EQ(got->status, 200);
    EXPECT_TRUE(got->truncated);
    EXPECT_EQ(got->body, body.substr(0, 4000));
  }
  limits.max_get_response = 5000;
  const auto whole = http::get(sized.url("/"), {}, limits);
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
  ASSERT_TRUE(whole.has_value());
  EXPECT_FALSE(whole->truncated);
  EXPECT_EQ(whole->body, body);
}

// Answers every connection with a status line and headers at once, then one
// byte of its body every 100 ms: never silent long enough to look stalled.
class TricklingServer {
 public:
  TricklingServer() {
    listener_ = UniqueFd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof(address);
    if (::bind(listener_.get(), reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0 ||
        ::listen(listener_.get(), 8) != 0 ||
        ::getsockname(listener_.get(), reinterpret_cast<sockaddr*>(&address), &length) != 0) {
      throw std::runtime_error("cannot listen");
    }
    port_ = ntohs(address.sin_port);
    thread_ = std::thread([this] { serve(); });
  }
  TricklingServer(const TricklingServer&) = delete;
  TricklingServer& operator=(const TricklingServer&) = delete;
  ~TricklingServer() {
    stop_ = true;
    ::shutdown(listener_.get(), SHUT_RDWR);
    thread_.join();
  }
  std::string url(const std::string& path) const {
    return "http://127.0.0.1:" + std::to_string(port_) + path;
  }

 private:
  void serve() {
    while (!stop_) {
      const UniqueFd connection(::accept4(listener_.get(), nullptr, nullptr, SOCK_CLOEXEC));
      if (!connection) return;
      char request[4096];
      (void)::recv(connection.get(), request, sizeof request, 0);
      const std::string head = "HTTP/1.1 200 OK\r\nContent-Length: 100000\r\n\r\n";
      if (::send(connection.get(), head.data(), head.size(), MSG_NOSIGNAL) < 0) continue;
      while (!stop_ && ::send(connection.get(), "x", 1, MSG_NOSIGNAL) == 1) {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
      }
    }
  }

  UniqueFd listener_;
  int port_ = 0;
  std::atomic<bool> stop_{false};
  std::thread thread_;
};

TEST(Http, ATricklingServerIsCutOffByTheOverallBound) {
  TricklingServer server;
  http::Limits limits;
  limits.total_timeout = std::chrono::milliseconds(1500);
  const http::HttpHeader form[] = {{"Content-Type", "application/x-www-form-urlencoded"}};
  testing::internal::CaptureStderr();
  const auto started = std::chrono::steady_clock::now();
  const auto posted = http::post(server.url("/"), "{}", {}, limits);
  const auto got = http::get(server.url("/"), {}, limits);
  // The exchange under the sign-in's token request.
  const auto token = http::detail::perform({.post = true,
                                            .url = server.url("/token"),
                                            .body = "grant_type=authorization_code",
                                            .headers = form,
                                            .max_redirects = 0,
                                            .max_response = limits.max_post_response,
                                            .limits = limits,
                                            .failure_label = "Token request"});
  const auto elapsed = std::chrono::steady_clock::now() - started;
  const std::string err = testing::internal::GetCapturedStderr();
  EXPECT_FALSE(posted.has_value());
  EXPECT_FALSE(got.has_value());
  ASSERT_FALSE(token.has_value());
  EXPECT_EQ(token.error(), Error::RequestFailed);
  EXPECT_EQ(err,
            "error: HTTP request failed: TransferTimedOut\n"
            "error: HTTP GET request failed: TransferTimedOut\n"
            "error: Token request failed: TransferTimedOut\n");
  // Three bounds of 1.5 s; the trickle alone would take 10,000 s each.
  EXPECT_GE(elapsed, std::chrono::milliseconds(4400));
  EXPECT_LT(elapsed, std::chrono::seconds(30));
}

// Without a bound given, a POST answer stops at 1 MiB while a GET keeps room
// for downloads.
TEST(Http, DefaultBoundsOfPostAndGet) {
  const std::string body((size_t{1} << 20) + 1, 'b');
  RawHttpServer sized([&](const std::string& request) {
    const bool exact = request.find(" /exact ") != std::string::npos;
    return answer("200 OK", "", exact ? body.substr(1) : body);
  });
  RawHttpServer chunked([&](const std::string&) {
    return std::optional<std::string>(
        "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\nConnection: close\r\n\r\n" +
        fmt::format("{:x}\r\n", body.size()) + body + "\r\n0\r\n\r\n");
  });
  testing::internal::CaptureStderr();
  const auto posted_sized = http::post(sized.url("/over"), "{}");
  const auto posted_chunked = http::post(chunked.url("/"), "{}");
  const auto posted_exact = http::post(sized.url("/exact"), "{}");
  const auto got = http::get(chunked.url("/"));
  const std::string err = testing::internal::GetCapturedStderr();
  EXPECT_FALSE(posted_sized.has_value());
  EXPECT_FALSE(posted_chunked.has_value());
  ASSERT_TRUE(posted_exact.has_value());
  EXPECT_EQ(posted_exact->body.size(), size_t{1} << 20);
  ASSERT_TRUE(got.has_value());
  EXPECT_EQ(got->body, body);
  EXPECT_EQ(err,
            "error: HTTP request failed: ResponseTooLarge\n"
            "error: HTTP request failed: ResponseTooLarge\n");
}

#ifdef CPPHTTPLIB_OPENSSL_SUPPORT
TEST(Http, SelfSignedCertificateFailsVerification) {
  test_support::TempDir dir;
  const std::string cert = dir.file("cert.pem");
  const std::string key = dir.file("key.pem");
  const auto made = test_support::runProcess({"openssl", "req", "-x509", "-newkey", "rsa:2048",
                                              "-nodes", "-keyout", key, "-out", cert, "-days", "1",
                                              "-subj", "/CN=127.0.0.1", "-addext",
                                              "subjectAltName=IP:127.0.0.1,DNS:localhost"});
  ASSERT_EQ(made.exit_code, 0) << made.err;
  httplib::SSLServer server(cert.c_str(), key.c_str());
  ASSERT_TRUE(server.is_valid());
  server.Get("/", [](const httplib::Request&, httplib::Response& r) {
    r.set_content("secret", "text/plain");
  });
  server.Post("/", [](const httplib::Request&, httplib::Response& r) {
    r.set_content("secret", "text/plain");
  });
  const int port = server.bind_to_any_port("127.0.0.1");
  ASSERT_GT(port, 0);
  std::thread thread([&] { server.listen_after_bind(); });
  while (!server.is_running()) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  const std::string url = "https://127.0.0.1:" + std::to_string(port) + "/";
  testing::internal::CaptureStderr();
  const auto posted = http::post(url, "{}");
  const auto got = http::get(url);
  const std::string err = testing::internal::GetCapturedStderr();
  server.stop();
  thread.join();
  ASSERT_FALSE(posted.has_value());
  EXPECT_EQ(posted.error(), Error::RequestFailed);
  ASSERT_FALSE(got.has_value());
  EXPECT_EQ(err,
            "error: HTTP request failed: CertificateVerificationFailed\n"
            "error: HTTP GET request failed: CertificateVerificationFailed\n");
}
#endif

// An https server with a certificate of the test's own, trusted through the
// limits, beside the plain StatusServer.
class HttpsRedirects : public StatusServer {
 protected:
  void SetUp() override {
    StatusServer::SetUp();
    const auto made = test_support::runProcess(
        {"openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-keyout",
         dir_.file("key.pem"), "-out", dir_.file("cert.pem"), "-days", "1", "-subj",
         "/CN=127.0.0.1", "-addext", "subjectAltName=IP:127.0.0.1"});
    ASSERT_EQ(made.exit_code, 0) << made.err;
    secure_ = std::make_unique<httplib::SSLServer>(dir_.file("cert.pem").c_str(),
                                                   dir_.file("key.pem").c_str());
    ASSERT_TRUE(secure_->is_valid());
    secure_->Get("/away", [](const httplib::Request& q, httplib::Response& r) {
      r.set_redirect(q.get_param_value("to"), 302);
    });
    secure_->Get("/final", [](const httplib::Request&, httplib::Response& r) {
      r.set_content("secure", "text/plain");
    });
    port_ = secure_->bind_to_any_port("127.0.0.1");
    ASSERT_GT(port_, 0);
    thread_ = std::thread([this] { secure_->listen_after_bind(); });
    while (!secure_->is_running()) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    certificate_ = dir_.file("cert.pem");
    limits_.trusted_certificates = certificate_;
  }
  void TearDown() override {
    if (secure_) secure_->stop();
    if (thread_.joinable()) thread_.join();
  }
  std::string secureUrl(const std::string& path) const {
    return "https://127.0.0.1:" + std::to_string(port_) + path;
  }

  test_support::TempDir dir_;
  std::unique_ptr<httplib::SSLServer> secure_;
  std::thread thread_;
  int port_ = 0;
  std::string certificate_;
  http::Limits limits_;
};

TEST_F(HttpsRedirects, HttpsNeverLeadsBackToHttp) {
  // Within https, and up from http to https: followed.
  const auto within = http::get(secureUrl("/away?to=" + secureUrl("/final")), {}, limits_);
  ASSERT_TRUE(within.has_value());
  EXPECT_EQ(within->body, "secure");
  const auto up = http::get(url("/away?to=" + secureUrl("/final")), {}, limits_);
  ASSERT_TRUE(up.has_value());
  EXPECT_EQ(up->body, "secure");

  // Down to http, directly or after a step up.
  testing::internal::CaptureStderr();
  const auto down = http::get(secureUrl("/away?to=" + url("/status/200")), {}, limits_);
  const auto up_and_down = http::get(
      url("/away?to=" +
          httplib::detail::encode_query_param(secureUrl("/away?to=" + url("/status/200")))),
      {}, limits_);
  const std::string err = testing::internal::GetCapturedStderr();
  EXPECT_FALSE(down.has_value());
  EXPECT_FALSE(up_and_down.has_value());
  EXPECT_EQ(err,
            "error: HTTP GET request failed: InsecureRedirect\n"
            "error: HTTP GET request failed: InsecureRedirect\n");
}

TEST(Http, RedirectRefusals) {
  EXPECT_EQ(http::detail::redirectRefusal("https://a/", true), std::nullopt);
  EXPECT_EQ(http::detail::redirectRefusal("HTTPS://a/", true), std::nullopt);
  EXPECT_EQ(http::detail::redirectRefusal("http://a/", false), std::nullopt);
  EXPECT_EQ(http::detail::redirectRefusal("http://a/", true), Error::InsecureRedirect);
  EXPECT_EQ(http::detail::redirectRefusal("Http://a/", true), Error::InsecureRedirect);
  EXPECT_EQ(http::detail::redirectRefusal("file:///etc/passwd", false),
            Error::UnsupportedUriScheme);
  EXPECT_EQ(http::detail::redirectRefusal("httpx://a/", false), Error::UnsupportedUriScheme);
  EXPECT_EQ(http::detail::redirectRefusal("http:/a", false), Error::UnsupportedUriScheme);
}

TEST(Http, FailureNameMapping) {
  EXPECT_EQ(http::failureFromCurl(CURLE_COULDNT_CONNECT, ECONNREFUSED), Error::ConnectionRefused);
  EXPECT_EQ(http::failureFromCurl(CURLE_COULDNT_CONNECT, ENETUNREACH), Error::NetworkUnreachable);
  EXPECT_EQ(http::failureFromCurl(CURLE_COULDNT_CONNECT, EHOSTUNREACH), Error::HostUnreachable);
  EXPECT_EQ(http::failureFromCurl(CURLE_COULDNT_CONNECT, 0), Error::ConnectionFailed);
  EXPECT_EQ(http::failureFromCurl(CURLE_COULDNT_RESOLVE_HOST), Error::NameResolutionFailed);
  EXPECT_EQ(http::failureFromCurl(CURLE_SSL_CONNECT_ERROR), Error::TlsInitializationFailed);
  EXPECT_EQ(http::failureFromCurl(CURLE_PEER_FAILED_VERIFICATION),
            Error::CertificateVerificationFailed);
  EXPECT_EQ(http::failureFromCurl(CURLE_UNSUPPORTED_PROTOCOL), Error::UnsupportedUriScheme);
  EXPECT_EQ(http::failureFromCurl(CURLE_UNSUPPORTED_PROTOCOL, 0, true), Error::MalformedResponse);
  EXPECT_EQ(http::failureFromCurl(CURLE_URL_MALFORMAT), Error::InvalidUrl);
  EXPECT_EQ(http::failureFromCurl(CURLE_TOO_MANY_REDIRECTS), Error::TooManyRedirects);
  EXPECT_EQ(http::failureFromCurl(CURLE_OPERATION_TIMEDOUT, 0, false), Error::Timeout);
  EXPECT_EQ(http::failureFromCurl(CURLE_OPERATION_TIMEDOUT, 0, true), Error::TransferStalled);
  EXPECT_EQ(http::failureFromCurl(CURLE_FILESIZE_EXCEEDED), Error::ResponseTooLarge);
  EXPECT_EQ(http::failureFromCurl(CURLE_RECV_ERROR, ECONNRESET), Error::ConnectionResetByPeer);
  EXPECT_EQ(http::failureFromCurl(CURLE_RECV_ERROR, 0), Error::ReceiveFailed);
  EXPECT_EQ(http::failureFromCurl(CURLE_SEND_ERROR, EPIPE), Error::BrokenPipe);
  EXPECT_EQ(http::failureFromCurl(CURLE_GOT_NOTHING), Error::EmptyResponse);
  EXPECT_EQ(http::failureFromCurl(CURLE_WEIRD_SERVER_REPLY), Error::MalformedResponse);
  EXPECT_EQ(http::failureFromCurl(CURLE_PARTIAL_FILE), Error::TruncatedResponse);
  EXPECT_EQ(http::failureFromCurl(CURLE_BAD_CONTENT_ENCODING), Error::DecompressionFailed);
}

TEST(Http, ServerClosingWithoutAnswerIsEmptyResponse) {
  RawHttpServer server([](const std::string&) { return std::optional<std::string>(""); });
  testing::internal::CaptureStderr();
  const auto posted = http::post(server.url("/"), "{}");
  const std::string err = testing::internal::GetCapturedStderr();
  EXPECT_FALSE(posted.has_value());
  EXPECT_EQ(err, "error: HTTP request failed: EmptyResponse\n");
}

// A stop request (SIGTERM in the agent) ends an exchange with a silent
// backend at once, as Canceled and without an error line. The stop cannot
// be taken back, so the exchange runs in a child of its own.
TEST(HttpStop, StopRequestEndsAnExchangeAtOnceWithoutAnErrorLine) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(
      {
        RawHttpServer silent([](const std::string&) { return std::nullopt; });
        http::Limits limits;
        limits.stall_timeout = std::chrono::seconds(20);  // the bound the stop must beat
        std::thread([] {
          std::this_thread::sleep_for(std::chrono::milliseconds(300));
          platform::requestStop();
        }).detach();
        const auto posted = http::post(silent.url("/"), "{}", {}, limits);
        std::_Exit(!posted && posted.error() == Error::Canceled ? 0 : 1);
      },
      ::testing::ExitedWithCode(0), ::testing::Not(::testing::HasSubstr("error:")));
}

}  // namespace
