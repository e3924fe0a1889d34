// tavrine-publish: the update publisher's keys and signatures.
//
//   tavrine-publish keygen NAME                 NAME.pem (private, 0600) and
//                                               NAME.pub.pem; prints the kid
//   tavrine-publish sign MANIFEST --key KEY.pem writes MANIFEST.sig
//   tavrine-publish verify MANIFEST --pub PUB.pem
//                                               checks MANIFEST.sig and the
//                                               rules an agent applies
#include "tavrine/base/error.h"
#include "tavrine/base/es256.h"
#include "tavrine/base/fs_util.h"
#include "tavrine/update/update_signature.h"
#include "tavrine/update/updater.h"

#include <fcntl.h>
#include <fmt/format.h>

#include <chrono>
#include <cstdio>
#include <string>
#include <string_view>
#include <vector>

namespace {

constexpr size_t kKeyFileLimit = 64 << 10;

int usage() {
  fmt::print(stderr,
             "usage: tavrine-publish keygen NAME\n"
             "       tavrine-publish sign MANIFEST --key KEY.pem\n"
             "       tavrine-publish verify MANIFEST --pub PUB.pem\n");
  return 2;
}

int failed(std::string_view what, Error error) {
  fmt::print(stderr, "tavrine-publish: {}: error.{}\n", what, errorName(error));
  return 1;
}

// Writes `text` to a new file `path`; an existing file is never replaced, so
// a key cannot be lost to a second keygen.
Result<void> writeNew(const std::string& path, std::string_view text, mode_t mode) {
  auto fd = fs_util::openRegularFile(path, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW, mode);
  if (!fd) return fail(fd.error());
  return fs_util::writeAll(fd->get(), text);
}

// Writes `text` over `path` through a temporary name beside it, so that a
// published signature is never half written.
Result<void> replace(const std::string& path, std::string_view text) {
  const std::string temporary = path + ".tmp";
  if (auto written = writeNew(temporary, text, 0644); !written) return written;
  if (std::rename(temporary.c_str(), path.c_str()) != 0) {
    const Error error = errorFromErrno(errno);
    std::remove(temporary.c_str());
    return fail(error);
  }
  return {};
}

int keygen(const std::string& name) {
  auto key = es256::generate();
  if (!key) return failed("keygen", key.error());
  if (auto written = writeNew(name + ".pem", es256::privateKeyPem(*key), 0600); !written) {
    return failed(name + ".pem", written.error());
  }
  if (auto written = writeNew(name + ".pub.pem", es256::publicKeyPem(key->point), 0644); !written) {
    return failed(name + ".pub.pem", written.error());
  }
  fmt::print("{}\n", es256::thumbprint(key->point));
  return 0;
}

int sign(const std::string& manifest_path, const std::string& key_path) {
  const auto manifest = fs_util::readWholeFile(manifest_path, updater::kManifestLimit);
  if (!manifest) return failed(manifest_path, manifest.error());
  const auto pem = fs_util::readWholeFile(key_path, kKeyFileLimit);
  if (!pem) return failed(key_path, pem.error());
  const auto key = es256::privateKeyFromPem(*pem);
  if (!key) return failed(key_path, key.error());
  // An agent would refuse the manifest anyway; better to hear it now.
  const auto parsed = updater::parseManifest(*manifest, "");
  if (!parsed) return failed(manifest_path, parsed.error());
  if (auto rules = update_signature::checkSignedManifest(*parsed, std::chrono::system_clock::now());
      !rules) {
    return failed(manifest_path + " (expires, sha256, size)", rules.error());
  }
  const auto signature = update_signature::signManifest(*manifest, *key);
  if (!signature) return failed("sign", signature.error());
  if (auto written = replace(manifest_path + ".sig", *signature); !written) {
    return failed(manifest_path + ".sig", written.error());
  }
  fmt::print("{}.sig: signed by {}\n", manifest_path, es256::thumbprint(key->point));
  return 0;
}

int verify(const std::string& manifest_path, const std::string& pub_path) {
  const auto manifest = fs_util::readWholeFile(manifest_path, updater::kManifestLimit);
  if (!manifest) return failed(manifest_path, manifest.error());
  const auto signature =
      fs_util::readWholeFile(manifest_path + ".sig", update_signature::kSignatureFileLimit);
  if (!signature) return failed(manifest_path + ".sig", signature.error());
  const auto pem = fs_util::readWholeFile(pub_path, kKeyFileLimit);
  if (!pem) return failed(pub_path, pem.error());
  const auto key = update_signature::trustedKey(*pem);
  if (!key) return failed(pub_path, key.error());
  const std::vector<update_signature::TrustedKey> keys{*key};
  if (auto verified = update_signature::verifyManifest(*manifest, *signature, keys); !verified) {
    return failed(manifest_path + ".sig", verified.error());
  }
  const auto parsed = updater::parseManifest(*manifest, "");
  if (!parsed) return failed(manifest_path, parsed.error());
  if (auto rules = update_signature::checkSignedManifest(*parsed, std::chrono::system_clock::now());
      !rules) {
    return failed(manifest_path, rules.error());
  }
  fmt::print("{}: signed by {}, version {}, expires {}\n", manifest_path, key->kid,
             parsed->latest_version, *parsed->expires);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  const std::vector<std::string> args(argv + 1, argv + argc);
  if (args.size() == 2 && args[0] == "keygen") return keygen(args[1]);
  if (args.size() == 4 && args[0] == "sign" && args[2] == "--key") return sign(args[1], args[3]);
  if (args.size() == 4 && args[0] == "verify" && args[2] == "--pub") {
    return verify(args[1], args[3]);
  }
  return usage();
}
