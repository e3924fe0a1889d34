// The device key: its file against hostile stand-ins, the report request with
// and without its signature, and its signatures against an independent
// implementation (Node's crypto, tests/data/es256_peer.js) in both
// directions.
#include "tavrine/agent/device_key.h"

#include "devserver.h"
#include "support/process.h"
#include "support/records.h"
#include "support/servers.h"
#include "support/temp_dir.h"
#include "tavrine/agent/check_cycle.h"
#include "tavrine/agent/key_enrolment.h"
#include "tavrine/agent/registration.h"
#include "tavrine/agent/report.h"
#include "tavrine/base/jws.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>
#include <nlohmann/json.hpp>

#include <algorithm>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

namespace {

using test_support::readFile;
using test_support::ScopedHome;
using test_support::writeFile;

constexpr const char* kPeer = TAVRINE_TEST_DATA_DIR "/es256_peer.js";

std::string node() {
  for (const char* path : {"/usr/bin/node", "/usr/local/bin/node"}) {
    if (::access(path, X_OK) == 0) return path;
  }
  return "";
}

std::string keyFile(const ScopedHome& home) {
  return home.path() + "/Library/Application Support/Tavrine/device-key.json";
}

std::string captureStderr(const std::function<void()>& run) {
  testing::internal::CaptureStderr();
  run();
  return testing::internal::GetCapturedStderr();
}

// The key file text for raw X9.63 bytes, in standard Base64.
std::string fileWithKeyBytes(const std::string& bytes) {
  std::string encoded = jws::base64Url(bytes);
  for (char& c : encoded) c = c == '-' ? '+' : c == '_' ? '/' : c;
  while (encoded.size() % 4 != 0) encoded += '=';
  return "{\n  \"algorithm\": \"ES256\",\n  \"key\": \"" + encoded + "\"\n}\n";
}

std::string hexBytes(std::string_view hex) {
  std::string bytes;
  for (size_t i = 0; i + 1 < hex.size(); i += 2) {
    bytes += static_cast<char>(std::stoi(std::string(hex.substr(i, 2)), nullptr, 16));
  }
  return bytes;
}

TEST(DeviceKeyFile, AKeyIsMadeOnceKeptPrivateAndReadBack) {
  ScopedHome home;
  const std::string made_err = captureStderr([] {
    const auto key = device_key::loadOrCreate();
    ASSERT_TRUE(key);
    EXPECT_FALSE(key->pinned_by);
  });
  const auto read = device_key::read();
  ASSERT_TRUE(read && *read);
  EXPECT_EQ(made_err, "Device key created: " + (*read)->kid + "\n");
  struct stat file_info {
  }, dir_info{};
  ASSERT_EQ(::stat(keyFile(home).c_str(), &file_info), 0);
  ASSERT_EQ(::stat((home.path() + "/Library/Application Support/Tavrine").c_str(), &dir_info), 0);
  EXPECT_EQ(file_info.st_mode & 0777, 0600u);
  EXPECT_EQ(dir_info.st_mode & 0777, 0700u);
  // The same key at the next start, without a word.
  const std::string again = captureStderr([&] {
    const auto key = device_key::loadOrCreate();
    ASSERT_TRUE(key);
    EXPECT_EQ(key->kid, (*read)->kid);
  });
  EXPECT_EQ(again, "");
  // A recorded pin reads back.
  device_key::DeviceKey pinned = **read;
  pinned.pinned_by = "http://localhost:8000/api/v1/agent";
  ASSERT_TRUE(device_key::save(pinned));
  EXPECT_EQ(device_key::read()->value().pinned_by, pinned.pinned_by);
  EXPECT_EQ(readFile(keyFile(home)), device_key::formatFile(pinned));
}

// Whatever stands where the key belongs, the agent ends with one warning line
// and a key that signs; a link's target and another key's file stay as they
// were; a corrupt file is kept aside.
TEST(DeviceKeyFile, HostileKeyFilesEndInOneLineAndAWorkingKey) {
  const auto good = *device_key::fromKey(*es256::generate());
  // The private key 1 of secp256k1: a sound key of another curve.
  const std::string secp256k1 = hexBytes(
      "0479be667ef9dcbbac55a06295ce870b07029bfcdb2dce28d959f2815b16f81798"
      "483ada7726a3c4655da4fbfc0e1108a8fd17b448a68554199c47d08ffb10d4b8"
      "0000000000000000000000000000000000000000000000000000000000000001");
  const std::string full = device_key::formatFile(good);
  const size_t cut = full.find("\"key\": \"") + 30;
  struct Case {
    const char* name;
    std::function<void(const std::string& path, const std::string& elsewhere)> plant;
    const char* line;  // what the warning says
    bool set_aside;
  };
  const std::vector<Case> cases = {
      {"link to a key of another",
       [&](const std::string& path, const std::string& elsewhere) {
         writeFile(elsewhere, full);
         ASSERT_EQ(::symlink(elsewhere.c_str(), path.c_str()), 0);
       },
       "is a symbolic link, refused (error.SymLinkLoop); a new key was made\n", false},
      {"FIFO",
       [](const std::string& path, const std::string&) {
         ASSERT_EQ(::mkfifo(path.c_str(), 0600), 0);
       },
       "is not a regular file, refused (error.NotRegularFile); a new key was made\n", false},
      {"directory",
       [](const std::string& path, const std::string&) {
         ASSERT_EQ(::mkdir(path.c_str(), 0700), 0);
       },
       "is a directory, refused (error.IsDir); a new key was made for this run only "
       "(error.IsDir)\n",
       false},
      {"another user's",
       [&](const std::string& path, const std::string&) {
         writeFile(path, full);
         ASSERT_EQ(::chown(path.c_str(), 65534, 65534), 0);
       },
       "belongs to another user or cannot be read, refused (error.AccessDenied); a new key was "
       "made\n",
       false},
      {"1 MiB",
       [](const std::string& path, const std::string&) {
         writeFile(path, std::string(1024 * 1024, ' '));
       },
       "is unusable (error.FileTooBig), set aside as device-key.json.bad; a new key was made\n",
       true},
      {"truncated base64",
       [&](const std::string& path, const std::string&) { writeFile(path, full.substr(0, cut)); },
       "is unusable (error.InvalidKey), set aside as device-key.json.bad; a new key was made\n",
       true},
      {"wrong curve",
       [&](const std::string& path, const std::string&) {
         writeFile(path, fileWithKeyBytes(secp256k1));
       },
       "is unusable (error.InvalidKey), set aside as device-key.json.bad; a new key was made\n",
       true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    // Only root can give a file away.
    if (std::string_view(c.name) == "another user's" && ::geteuid() != 0) continue;
    ScopedHome home;
    const std::string path = keyFile(home);
    std::filesystem::create_directories(std::filesystem::path(path).parent_path());
    c.plant(path, home.path() + "/elsewhere.json");
    // Never opened here when it is a FIFO: that would wait for a writer.
    const std::string planted = c.set_aside ? readFile(path) : "";
    std::optional<device_key::DeviceKey> key;
    const std::string err = captureStderr([&] {
      auto made = device_key::loadOrCreate();
      ASSERT_TRUE(made);
      key = std::move(*made);
    });
    EXPECT_EQ(err, "warning: Device key file " + path + " " + c.line);
    ASSERT_TRUE(key);
    EXPECT_NE(key->kid, good.kid);
    const auto signature = device_key::signDetached(*key, "report");
    ASSERT_TRUE(signature);
    const auto parsed = jws::parseDetached(*signature);
    ASSERT_TRUE(parsed);
    EXPECT_TRUE(jws::verifyDetached(*parsed, "report", key->key.point));
    if (c.set_aside) {
      EXPECT_EQ(readFile(path + ".bad"), planted);
    }
    if (std::string_view(c.name).starts_with("link")) {
      EXPECT_EQ(readFile(home.path() + "/elsewhere.json"), full);
    }
  }
}

// The report request with a device key is the request without one, byte for
// byte, plus the X-Device-Signature line; Node verifies that signature with
// the key of the enrolment body.
TEST(DeviceKeyReport, TheRequestGainsOneHeaderAndNodeVerifiesIt) {
  test_support::RawHttpServer server([](const std::string&) -> std::optional<std::string> {
    return "HTTP/1.1 202 Accepted\r\nContent-Length: 0\r\nConnection: close\r\n\r\n";
  });
  const DeviceTavrine record = test_support::sampleRecord();
  agent::CheckOptions options;
  options.collect = [&]() -> Result<DeviceTavrine> { return record; };
  AgentState state;
  const std::string endpoint = server.url("/api/v1/agent/tavrine/");
  state.config.tavrine_endpoint = endpoint;
  state.device_token = "tok-123";
  (void)captureStderr([&] { agent::doTavrineCheck(state, options); });
  state.device_key = *device_key::fromKey(*es256::generate());
  (void)captureStderr([&] { agent::doTavrineCheck(state, options); });

  const auto requests = server.requests();
  ASSERT_EQ(requests.size(), 2u);
  const std::string prefix = "X-Device-Signature: ";
  const size_t at = requests[1].find("\r\n" + prefix);
  ASSERT_NE(at, std::string::npos) << requests[1];
  const size_t end = requests[1].find("\r\n", at + 2);
  const std::string header =
      requests[1].substr(at + 2 + prefix.size(), end - at - 2 - prefix.size());
  EXPECT_EQ(requests[1].substr(0, at) + requests[1].substr(end), requests[0]);
  // It follows the headers the report always had.
  const auto lines = test_support::headerLines(requests[1]);
  const auto found = std::find(lines.begin(), lines.end(), prefix + header);
  ASSERT_NE(found, lines.end());
  ASSERT_NE(found, lines.begin());
  EXPECT_EQ(*(found - 1), "Authorization: DeviceToken tok-123");
  const std::string report = *agent::serializeTavrine(record);
  EXPECT_TRUE(requests[0].ends_with("\r\n\r\n" + report));

  if (node().empty()) GTEST_SKIP() << "needs node";
  const std::string enrolment = agent::buildEnrolmentBody(record.device_id, *state.device_key);
  EXPECT_EQ(test_support::runProcess({node(), kPeer, "verify", enrolment, header}, {}, report).out,
            "ok");
  EXPECT_EQ(
      test_support::runProcess({node(), kPeer, "verify", enrolment, header}, {}, report + " ").out,
      "bad: signature");
}

// A key Node made is pinned by the devserver, and a report Node signed with
// it is accepted; another Node key for the same device is a conflict.
TEST(DeviceKeyDevserver, AcceptsAKeyAndAReportSignedByNode) {
  if (node().empty()) GTEST_SKIP() << "needs node";
  devserver::Options options;
  options.port = 0;
  options.log_requests = false;
  devserver::DevServer server(options);
  ASSERT_TRUE(server.start());
  httplib::Client client("127.0.0.1", server.port());
  const DeviceTavrine record = test_support::sampleRecord();
  const auto registered = client.Post("/api/v1/agent/register/",
                                      *agent::buildRegistrationPayload(record), "application/json");
  ASSERT_TRUE(registered);
  const std::string token = nlohmann::json::parse(registered->body)["token"];
  const std::string report = *agent::serializeTavrine(record);

  const auto peer = [&] {
    const auto run =
        test_support::runProcess({node(), kPeer, "sign", record.device_id}, {}, report);
    EXPECT_EQ(run.exit_code, 0) << run.err;
    return nlohmann::json::parse(run.out);
  };
  const auto enrol = [&](const nlohmann::json& signer) {
    return client.Post("/api/v1/agent/device-key/",
                       {{"Authorization", "DeviceToken " + token},
                        {"X-Device-Signature", signer["enrolment_signature"]}},
                       signer["enrolment"].get<std::string>(), "application/json");
  };
  const nlohmann::json signer = peer();
  const auto pinned = enrol(signer);
  ASSERT_TRUE(pinned);
  EXPECT_EQ(pinned->status, 201) << pinned->body;
  EXPECT_EQ(enrol(signer)->status, 200);  // the same key again
  EXPECT_EQ(enrol(peer())->status, 409);

  const auto reported = client.Post("/api/v1/agent/tavrine/",
                                    {{"X-Signature", *agent::signPayload(report)},
                                     {"Authorization", "DeviceToken " + token},
                                     {"X-Device-Signature", signer["sig"]}},
                                    report, "application/json");
  ASSERT_TRUE(reported);
  EXPECT_EQ(reported->status, 202) << reported->body;
  const auto device = server.device(record.device_id);
  ASSERT_TRUE(device);
  EXPECT_TRUE(device->report_signed_by_device);
  EXPECT_EQ(device->key_kid, signer["kid"]);
  const auto dashboard = client.Get("/");
  ASSERT_TRUE(dashboard);
  EXPECT_NE(dashboard->body.find("reports signed by the device's own key"), std::string::npos);
}

}  // namespace
