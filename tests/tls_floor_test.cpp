// The TLS floor, against a loopback server that offers only TLS 1.1. The
// TLS library here refuses TLS 1.1 by its own settings, so this suite loosens
// them for its process (before the first exchange loads them) to show that
// the agent refuses it by itself.
#include "tavrine/net/http.h"

#include "support/process.h"
#include "support/process_os.h"
#include "support/temp_dir.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <memory>
#include <string>
#include <thread>

namespace {

using namespace std::chrono_literals;
using test_support::BackgroundProcess;
using test_support::TempDir;

// True once something accepts connections on 127.0.0.1:`port`.
bool accepting(int port) {
  const UniqueFd fd = test_support::openTcpSocket();
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  address.sin_port = htons(static_cast<uint16_t>(port));
  return fd && ::connect(fd.get(), reinterpret_cast<sockaddr*>(&address), sizeof(address)) == 0;
}

// `openssl s_server` on an ephemeral port with a self-signed certificate,
// speaking only the protocol `protocol_flag` names (or any, when empty).
class TlsServer {
 public:
  TlsServer(const TempDir& dir, const std::string& protocol_flag) {
    port_ = test_support::freeLoopbackPort();
    std::vector<std::string> argv = {"openssl", "s_server",
                                     "-quiet",  "-www",
                                     "-accept", "127.0.0.1:" + std::to_string(port_),
                                     "-cert",   dir.file("cert.pem"),
                                     "-key",    dir.file("key.pem"),
                                     "-cipher", "DEFAULT@SECLEVEL=0"};
    if (!protocol_flag.empty()) argv.push_back(protocol_flag);
    process_ = std::make_unique<BackgroundProcess>(argv);
    const auto deadline = std::chrono::steady_clock::now() + 5s;
    while (!accepting(port_) && std::chrono::steady_clock::now() < deadline) {
      std::this_thread::sleep_for(10ms);
    }
  }
  std::string url() const { return "https://127.0.0.1:" + std::to_string(port_) + "/"; }

 private:
  int port_ = 0;
  std::unique_ptr<BackgroundProcess> process_;
};

TEST(TlsFloor, ServerOfferingOnlyTls11IsRefused) {
  TempDir dir;
  test_support::writeFile(dir.file("loose.cnf"),
                          "openssl_conf = openssl_init\n"
                          "[openssl_init]\nssl_conf = ssl_sect\n"
                          "[ssl_sect]\nsystem_default = system_default_sect\n"
                          "[system_default_sect]\nMinProtocol = TLSv1\n"
                          "CipherString = DEFAULT@SECLEVEL=0\n");
  ASSERT_EQ(setenv("OPENSSL_CONF", dir.file("loose.cnf").c_str(), 1), 0);
  const auto made = test_support::runProcess(
      {"openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-keyout", dir.file("key.pem"),
       "-out", dir.file("cert.pem"), "-days", "1", "-subj", "/CN=127.0.0.1", "-addext",
       "subjectAltName=IP:127.0.0.1"});
  ASSERT_EQ(made.exit_code, 0) << made.err;

  const TlsServer modern(dir, "");
  const TlsServer old(dir, "-tls1_1");
  http::Limits limits;
  limits.connect_timeout = 5s;
  limits.stall_timeout = 5s;
  testing::internal::CaptureStderr();
  // The self-signed certificate fails every exchange; how far the handshake
  // got tells the two servers apart.
  const auto to_modern = http::post(modern.url(), "{}", {}, limits);
  const auto to_old = http::post(old.url(), "{}", {}, limits);
  const auto got_old = http::get(old.url(), {}, limits);
  const std::string err = testing::internal::GetCapturedStderr();
  unsetenv("OPENSSL_CONF");
  EXPECT_FALSE(to_modern.has_value());
  EXPECT_FALSE(to_old.has_value());
  EXPECT_FALSE(got_old.has_value());
  EXPECT_EQ(err,
            "error: HTTP request failed: CertificateVerificationFailed\n"
            "error: HTTP request failed: TlsInitializationFailed\n"
            "error: HTTP GET request failed: TlsInitializationFailed\n");
}

}  // namespace
