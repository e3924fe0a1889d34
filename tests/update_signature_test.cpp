// The manifest's signature against an independent implementation: Node's
// crypto signs and verifies (tests/data/es256_peer.js), the agent's verifier
// and signer meet it.
#include "tavrine/update/update_signature.h"
#include "support/process.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>
#include <unistd.h>

#include <chrono>
#include <string>
#include <vector>

namespace {

using namespace std::chrono;
using update_signature::TrustedKey;

constexpr const char* kPeer = TAVRINE_TEST_DATA_DIR "/es256_peer.js";
constexpr std::string_view kManifest =
    R"({"expires": "2027-03-01T00:00:00Z", "platforms": {"macos": {"version": "0.3.0",)"
    R"( "artifacts": {"universal": {"url": "/updates/build", "size": 5,)"
    R"( "sha256": "2cf24dba5fb0a30e26e83b2ac5b9e29e1b161e5c1fa7425e73043362938b9824"}}}}})";

std::string node() {
  for (const char* path : {"/usr/bin/node", "/usr/local/bin/node"}) {
    if (::access(path, X_OK) == 0) return path;
  }
  return "";
}

TrustedKey key(const std::string& pem) {
  auto trusted = update_signature::trustedKey(pem);
  EXPECT_TRUE(trusted) << pem;
  return trusted.value_or(TrustedKey{});
}

TEST(UpdateSignature, SignaturesOfAnIndependentSignerVerifyAndEveryChangeIsRefused) {
  if (node().empty()) GTEST_SKIP() << "needs node";
  const auto signed_by_node =
      test_support::runProcess({node(), kPeer, "sign"}, {}, std::string(kManifest));
  ASSERT_EQ(signed_by_node.exit_code, 0) << signed_by_node.err;
  const auto peer = nlohmann::json::parse(signed_by_node.out);
  const std::string sig = peer["sig"];
  const TrustedKey trusted = key(peer["pub"]);
  EXPECT_EQ(trusted.kid, peer["kid"]) << "the same RFC 7638 thumbprint";
  const std::vector<TrustedKey> keys{key(peer["other_pub"]), trusted};

  const auto changed = [](std::string text, size_t at) {
    text[at] = text[at] == 'A' ? 'B' : 'A';
    return text;
  };
  const size_t dots = sig.find("..");
  const std::string manifest(kManifest);
  const struct {
    const char* name;
    std::string manifest, sig;
    std::vector<TrustedKey> keys;
    Result<void> expected;
  } cases[] = {
      {"as signed", manifest, sig, keys, {}},
      {"end of line after the signature", manifest, sig + "\r\n", keys, {}},
      {"a byte of the manifest", changed(manifest, 40), sig, keys, fail(Error::SignatureInvalid)},
      {"a byte appended to the manifest", manifest + " ", sig, keys,
       fail(Error::SignatureInvalid)},
      {"a byte of the header", manifest, changed(sig, 5), keys, fail(Error::SignatureInvalid)},
      {"another header, same key", manifest,
       std::string(peer["typ"]) + sig.substr(dots), keys, fail(Error::SignatureInvalid)},
      {"a byte of the signature", manifest, changed(sig, dots + 10), keys,
       fail(Error::SignatureInvalid)},
      {"the last byte of the signature", manifest, changed(sig, sig.size() - 2), keys,
       fail(Error::SignatureInvalid)},
      {"a key the build does not trust", manifest, sig, {keys[0]},
       fail(Error::UnknownSigningKey)},
      {"no key trusted", manifest, sig, {}, fail(Error::UnknownSigningKey)},
      {"the trusted kid with another key's point", manifest, sig,
       {TrustedKey{trusted.kid, keys[0].point}}, fail(Error::SignatureInvalid)},
      {"ES384 named", manifest, peer["es384"], keys, fail(Error::SignatureInvalid)},
      {"a critical extension", manifest, peer["crit"], keys, fail(Error::SignatureInvalid)},
      {"the payload attached", manifest,
       sig.substr(0, dots + 1) + "e30" + sig.substr(dots + 1), keys,
       fail(Error::SignatureInvalid)},
      {"padding", manifest, sig + "==", keys, fail(Error::SignatureInvalid)},
      {"empty", manifest, "", keys, fail(Error::SignatureInvalid)},
      {"an HTML page", manifest, "<html>Not Found</html>", keys, fail(Error::SignatureInvalid)},
      {"past four KiB", manifest, sig + std::string(4096, ' '), keys,
       fail(Error::StreamTooLong)},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const auto got = update_signature::verifyManifest(c.manifest, c.sig, c.keys);
    EXPECT_EQ(got.has_value(), c.expected.has_value());
    if (!got && !c.expected) {
      EXPECT_EQ(errorName(got.error()), errorName(c.expected.error()));
    }
  }

  // The other way round: the agent's signer, checked by Node.
  const auto own = es256::generate();
  ASSERT_TRUE(own);
  const auto own_sig = update_signature::signManifest(kManifest, *own);
  ASSERT_TRUE(own_sig);
  const auto checked = test_support::runProcess(
      {node(), kPeer, "verify", es256::publicKeyPem(own->point), *own_sig}, {},
      std::string(kManifest));
  EXPECT_EQ(checked.out, "ok") << checked.err;
  const auto reread = es256::privateKeyFromPem(es256::privateKeyPem(*own));
  ASSERT_TRUE(reread);
  EXPECT_EQ(reread->scalar, own->scalar);
  EXPECT_EQ(reread->point, own->point);
}

TEST(UpdateSignature, TheConfiguredKeysAreTrustedInBothModesAndTheDevelopmentKeyInDevOnly) {
  const auto generated = es256::generate();
  ASSERT_TRUE(generated);
  const std::string pem = es256::publicKeyPem(generated->point);
  const std::vector<std::string_view> configured{pem};
  const auto kids = [](const std::vector<TrustedKey>& keys) {
    std::vector<std::string> names;
    for (const auto& k : keys) names.push_back(k.kid);
    return names;
  };
  const auto dev_only = kids(update_signature::trustedKeys(Mode::dev, {}));
  ASSERT_EQ(dev_only.size(), 1u);
  const std::string kid = es256::thumbprint(generated->point);
  EXPECT_TRUE(update_signature::trustedKeys(Mode::prod, {}).empty()) << "unsigned, as before";
  EXPECT_EQ(kids(update_signature::trustedKeys(Mode::prod, configured)),
            std::vector<std::string>{kid});
  EXPECT_EQ(kids(update_signature::trustedKeys(Mode::dev, configured)),
            (std::vector<std::string>{kid, dev_only[0]}));
}

TEST(UpdateSignature, ASignedManifestNeedsAFutureExpiryAndTheArtifactsHashAndSize) {
  const auto now = sys_days{2027y / 2 / 1} + 12h;
  const auto rules = [&](const std::string& expires, const std::string& artifact) {
    std::string text = R"({"platforms": {"macos": {"version": "0.3.0", "artifacts": {"universal": )" +
                       artifact + "}}}}";
    if (!expires.empty()) text = R"({"expires": )" + expires + ", " + text.substr(1);
    const auto manifest = updater::parseManifest(text, "http://localhost:3000");
    if (!manifest) return std::string(errorName(manifest.error()));
    const auto checked = update_signature::checkSignedManifest(*manifest, now);
    return checked ? std::string("ok") : std::string(errorName(checked.error()));
  };
  const std::string whole = R"({"url": "/b", "size": 12, "sha256": ")" + std::string(64, 'a') +
                            R"("})";
  const struct {
    std::string expires, artifact, expected;
  } cases[] = {
      {R"("2027-03-01T00:00:00Z")", whole, "ok"},
      {R"("2027-02-01T12:00:01.5Z")", whole, "ok"},
      {R"("2027-02-01T12:00:00Z")", whole, "ManifestExpired"},
      {R"("2026-12-31T23:59:59Z")", whole, "ManifestExpired"},
      {"", whole, "MissingField"},
      {R"("2027-03-01")", whole, "InvalidResponse"},
      {R"("2027-03-01T00:00:00+01:00")", whole, "InvalidResponse"},
      {R"("2027-02-30T00:00:00Z")", whole, "InvalidResponse"},
      {R"("2027-03-01T24:00:00Z")", whole, "InvalidResponse"},
      {"1800000000", whole, "InvalidResponse"},
      {R"("2027-03-01T00:00:00Z")", R"({"url": "/b", "size": 12})", "MissingField"},
      {R"("2027-03-01T00:00:00Z")", R"({"url": "/b", "sha256": ")" + std::string(64, 'a') + "\"}",
       "MissingField"},
      {R"("2027-03-01T00:00:00Z")", R"({"url": "/b", "size": -1})", "InvalidResponse"},
      {R"("2027-03-01T00:00:00Z")", R"({"url": "/b", "size": "12"})", "InvalidResponse"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(rules(c.expires, c.artifact), c.expected) << c.expires << " " << c.artifact;
  }
}

}  // namespace
