#include "tavrine/update/updater.h"
#include "support/process.h"
#include "tavrine/base/crypto.h"
#include "tavrine/platform/exe_path.h"
#include "tavrine/update/update_install.h"

#include <gtest/gtest.h>

#include <string>

namespace {

using updater::parseManifest;
using updater::parseVersion;
using updater::Version;

constexpr std::string_view kBase = "http://localhost:3000";

// A manifest whose macOS release has `version` and the given `artifacts`
// object text (none when empty).
std::string manifest(const std::string& version, const std::string& artifacts = "") {
  std::string macos = "\"version\": \"" + version + "\", \"releaseNotes\": \"notes\"";
  if (!artifacts.empty()) macos += ", \"artifacts\": " + artifacts;
  return "{\"platforms\": {\"windows\": {}, \"macos\": {" + macos + "}}}";
}

TEST(Versions, NumbersAreComparedPartByPartAndMalformedPartsReadZero) {
  const struct {
    const char* text;
    Version expected;
  } cases[] = {
      {"0.2.0", {0, 2, 0}},
      {"0.3", {0, 3, 0}},
      {"0.10.0", {0, 10, 0}},
      {"1.2.3-beta", {1, 2, 3}},
      {"0.2-rc.7", {0, 0, 7}},  // a hyphen outside the third part spoils that part only
      {"v1.2.3", {0, 2, 3}},
      {"", {0, 0, 0}},
      {"4294967295.4294967296.-1", {4294967295u, 0, 0}},
      {" 1.2.3", {0, 2, 3}},
      {"1.2.3.4", {1, 2, 3}},
      {"1..3", {1, 0, 3}},
  };
  for (const auto& c : cases) {
    const Version got = parseVersion(c.text);
    EXPECT_EQ(got, c.expected) << c.text << " read as " << got.major << "." << got.minor << "."
                               << got.patch;
  }
  for (const auto& [text, newer] : {std::pair{"0.2.0", false},
                                    {"0.2.1", true},
                                    {"0.3", true},
                                    {"1.0.0", true},
                                    {"0.1.9", false},
                                    {"0.10.0", true},
                                    {"0.2.1-rc1", true},
                                    {"v0.2.0", false}}) {
    const auto parsed = parseManifest(manifest(text), kBase);
    ASSERT_TRUE(parsed) << text;
    EXPECT_EQ(parsed->update_available, newer) << text;
    EXPECT_EQ(parsed->latest_version, text);
    EXPECT_EQ(parsed->current_version, "0.2.0");
  }
}

TEST(Manifest, TheFirstArtifactPresentIsChosenAndItsUrlMadeAbsolute) {
  const struct {
    const char* artifacts;
    const char* url;
  } cases[] = {
      {R"({"arm64": {"url": "/a"}, "universal": {"url": "/u"}})", "http://localhost:3000/u"},
      {R"({"x86_64": {"url": "https://cdn.example/x"}})", "https://cdn.example/x"},
      // The universal entry is the one even without a URL.
      {R"({"universal": {}, "arm64": {"url": "/a"}})", ""},
      {R"({"universal": {"url": ""}})", ""},
      {R"({"sparc": {"url": "/s"}})", ""},
      {R"({"universal": {"url": "updates/x"}})", "updates/x"},
  };
  for (const auto& c : cases) {
    const auto parsed = parseManifest(manifest("0.3.0", c.artifacts), kBase);
    ASSERT_TRUE(parsed) << c.artifacts;
    EXPECT_EQ(parsed->download_url, c.url) << c.artifacts;
    EXPECT_TRUE(parsed->update_available);
    EXPECT_FALSE(parsed->sha256);
  }
  const auto bare = parseManifest(manifest("0.3.0"), kBase);
  ASSERT_TRUE(bare);
  EXPECT_EQ(bare->download_url, "");

  // The checksum of the chosen entry, kept in lowercase.
  const std::string digest(64, 'A');
  const auto sums = parseManifest(manifest("0.3.0", R"({"universal": {"url": "/u", "sha256": ")" +
                                                        digest + R"("}, "arm64": {"sha256": 5}})"),
                                  kBase);
  ASSERT_TRUE(sums);
  EXPECT_EQ(sums->sha256, std::string(64, 'a'));
}

TEST(Manifest, BrokenManifestsAreErrorsNeverExceptions) {
  const struct {
    std::string text;
    Error error;
  } cases[] = {
      {R"({"platforms": {"macos": {"artifacts": {}}}})", Error::MissingField},
      {R"({"platforms": {"linux": {"version": "1.0.0"}}})", Error::MissingField},
      {R"({"releases": {}})", Error::MissingField},
      {manifest("0.3.0").substr(0, 30), Error::UnexpectedEndOfInput},
      {"", Error::UnexpectedEndOfInput},
      {manifest("0.3.0") + " {}", Error::SyntaxError},
      {"<html>captive portal</html>", Error::SyntaxError},
      {"[1, 2]", Error::InvalidResponse},
      {R"({"platforms": "macos"})", Error::InvalidResponse},
      {R"({"platforms": {"macos": []}})", Error::InvalidResponse},
      {R"({"platforms": {"macos": {"version": 3}}})", Error::InvalidResponse},
      {R"({"platforms": {"macos": {"version": "1", "releaseNotes": null}}})",
       Error::InvalidResponse},
      {manifest("0.3.0", "[]"), Error::InvalidResponse},
      {manifest("0.3.0", R"({"universal": "/u"})"), Error::InvalidResponse},
      {manifest("0.3.0", R"({"universal": {"url": 7}})"), Error::InvalidResponse},
      {manifest("0.3.0", R"({"universal": {"url": "/u", "sha256": "abc"}})"),
       Error::InvalidResponse},
      {manifest("0.3.0",
                R"({"universal": {"url": "/u", "sha256": ")" + std::string(64, 'g') + "\"}}"),
       Error::InvalidResponse},
  };
  for (const auto& c : cases) {
    const auto parsed = parseManifest(c.text, kBase);
    ASSERT_FALSE(parsed) << c.text;
    EXPECT_EQ(errorName(parsed.error()), errorName(c.error)) << c.text;
  }
}

TEST(Manifest, TheOfferFitsItsBufferUpToAVersionOf203Bytes) {
  EXPECT_EQ(updater::offerMessage("0.3.0"),
            "Version 0.3.0 is available.\nYou are running version 0.2.0.");
  const std::string fits(203, '9');
  EXPECT_EQ(updater::offerMessage(fits).size(), 256u);
  EXPECT_EQ(updater::offerMessage(fits + "9"), "A new version is available!");
}

TEST(Download, OnlyAProgramOfThisPlatformWithTheRightChecksumPasses) {
  using update_install::checkDownload;
  const std::string elf =
      "\x7f"
      "ELF\x02\x01\x01 rest of the image";
  const std::string macho = "\xcf\xfa\xed\xfe rest";
  const std::string universal = "\xca\xfe\xba\xbe rest";
  const std::string native = platform::isNativeExecutable(elf) ? elf : macho;
  EXPECT_TRUE(checkDownload(native, std::nullopt));
  EXPECT_TRUE(platform::startsLikeMachO(macho));
  EXPECT_TRUE(platform::startsLikeMachO(universal));
  EXPECT_FALSE(platform::startsLikeMachO(elf));
  EXPECT_FALSE(platform::startsLikeElf(macho));
  for (const std::string& refused :
       {std::string(), std::string("<!DOCTYPE html><html>Sign in to the network</html>"),
        std::string("\x7f"
                    "EL"),
        std::string("#!/bin/sh\nrm -rf ~\n")}) {
    const auto checked = checkDownload(refused, std::nullopt);
    ASSERT_FALSE(checked) << refused;
    EXPECT_EQ(checked.error(), Error::InvalidExecutable);
  }
  const std::string digest = crypto::toHex(crypto::sha256(native));
  EXPECT_TRUE(checkDownload(native, digest));
  std::string other = digest;
  other[0] = other[0] == '0' ? '1' : '0';
  const auto mismatch = checkDownload(native, other);
  ASSERT_FALSE(mismatch);
  EXPECT_EQ(mismatch.error(), Error::ChecksumMismatch);
}

TEST(Download, AQuotedPathReachesTheShellAsItIs) {
  // Every character the shell would act on, a single quote among them.
  const std::string path = "/tmp/it's a \"b\" $(touch pwned) `id` \\ $HOME;*\n";
  const auto printed = test_support::runProcess(
      {"/bin/bash", "-c", "printf '%s' " + update_install::shellQuote(path)});
  EXPECT_EQ(printed.exit_code, 0) << printed.err;
  EXPECT_EQ(printed.out, path);
}

}  // namespace
