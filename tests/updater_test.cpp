#include "tavrine/update/updater.h"
#include "support/process.h"
#include "support/scoped_variable.h"
#include "support/temp_dir.h"
#include "tavrine/base/crypto.h"
#include "tavrine/build_config.h"
#include "tavrine/platform/exe_path.h"
#include "tavrine/update/update_install.h"

#include <fmt/format.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <string>
#include <vector>

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
      // Past the bounds before the reader builds anything.
      {std::string(65, '['), Error::NestingTooDeep},
      {std::string(size_t{1} << 20, '['), Error::NestingTooDeep},
      {R"({"platforms": {"macos": {"version": "1", "x": )" + std::string(62, '[') +
           std::string(62, ']') + "}}}",
       Error::NestingTooDeep},
      {manifest("0.3.0") + std::string((size_t{1} << 20) - manifest("0.3.0").size() + 1, ' '),
       Error::StreamTooLong},
  };
  for (const auto& c : cases) {
    const auto parsed = parseManifest(c.text, kBase);
    ASSERT_FALSE(parsed) << c.text;
    EXPECT_EQ(errorName(parsed.error()), errorName(c.error)) << c.text;
  }
}

TEST(Manifest, SixtyFourLevelsAndOneMebibyteAreStillRead) {
  // Three levels of the manifest itself, 61 more below an ignored key.
  const auto deep = parseManifest(R"({"platforms": {"macos": {"version": "0.3.0", "x": )" +
                                      std::string(61, '[') + std::string(61, ']') + "}}}",
                                  kBase);
  ASSERT_TRUE(deep) << errorName(deep.error());
  const std::string text = manifest("0.3.0");
  const auto full = parseManifest(text + std::string((size_t{1} << 20) - text.size(), ' '), kBase);
  ASSERT_TRUE(full) << errorName(full.error());
  EXPECT_EQ(full->latest_version, "0.3.0");
}

TEST(Manifest, TheOfferFitsItsBufferUpToAVersionOf203Bytes) {
  EXPECT_EQ(updater::offerMessage("0.3.0"),
            "Version 0.3.0 is available.\nYou are running version 0.2.0.");
  const std::string fits(203, '9');
  EXPECT_EQ(updater::offerMessage(fits).size(), 256u);
  EXPECT_EQ(updater::offerMessage(fits + "9"), "A new version is available!");
}

// Little- and big-endian fields written into a header at `offset`.
void putLittle(std::string& bytes, size_t offset, uint64_t value, int width) {
  for (int i = 0; i < width; ++i) bytes[offset + i] = static_cast<char>(value >> (8 * i));
}
void putBig(std::string& bytes, size_t offset, uint64_t value, int width) {
  for (int i = 0; i < width; ++i) {
    bytes[offset + i] = static_cast<char>(value >> (8 * (width - 1 - i)));
  }
}

constexpr uint32_t kX86_64 = 0x01000007;
constexpr uint32_t kArm64 = 0x0100000c;

// A 64-bit Mach-O executable header for `cpu_type`, with 8 bytes of load
// commands after it.
std::string thinMachO(uint32_t cpu_type) {
  std::string image(40, '\0');
  putLittle(image, 0, 0xfeedfacf, 4);
  putLittle(image, 4, cpu_type, 4);
  putLittle(image, 12, 2, 4);  // MH_EXECUTE
  putLittle(image, 16, 1, 4);
  putLittle(image, 20, 8, 4);
  return image;
}

// A universal image of `slices`, with 32-bit (or 64-bit) offsets.
std::string universal(const std::vector<std::string>& slices, bool wide = false) {
  const size_t entry = wide ? 32 : 20;
  std::string image(8 + slices.size() * entry, '\0');
  putBig(image, 0, wide ? 0xcafebabf : 0xcafebabe, 4);
  putBig(image, 4, slices.size(), 4);
  for (size_t i = 0; i < slices.size(); ++i) {
    const size_t at = 8 + i * entry;
    // The slice's own processor, read from its little-endian header.
    uint32_t cpu_type = 0;
    for (int k = 7; k >= 4; --k) {
      cpu_type = (cpu_type << 8) | static_cast<unsigned char>(slices[i][k]);
    }
    putBig(image, at, cpu_type, 4);
    if (wide) {
      putBig(image, at + 8, image.size(), 8);
      putBig(image, at + 16, slices[i].size(), 8);
    } else {
      putBig(image, at + 8, image.size(), 4);
      putBig(image, at + 12, slices[i].size(), 4);
    }
    image += slices[i];
  }
  return image;
}

TEST(Download, TheWholeElfHeaderMustNameThisMachine) {
  const std::string built = test_support::readFile(TAVRINE_BINARY);
  ASSERT_GT(built.size(), 64u);
  EXPECT_TRUE(update_install::checkDownload(built, std::nullopt));
  const uint16_t here = platform::thisMachine().elf;
  EXPECT_TRUE(platform::isElfExecutableFor(built, here));

  std::string other = built;
  putLittle(other, 18, here == 62 ? 183 : 62, 2);  // x86-64 and AArch64 swapped
  std::string object_file = built;
  putLittle(object_file, 16, 1, 2);  // ET_REL
  std::string big_endian = built;
  big_endian[5] = 2;
  std::string thirty_two = built;
  thirty_two[4] = 1;
  for (const std::string& refused :
       {other, object_file, big_endian, thirty_two, built.substr(0, 4), built.substr(0, 63),
        std::string("\x7f"
                    "ELF\x02\x01\x01 rest of the image"),
        std::string(), std::string("<!DOCTYPE html><html>Sign in to the network</html>"),
        std::string("#!/bin/sh\nrm -rf ~\n")}) {
    EXPECT_FALSE(platform::isElfExecutableFor(refused, here)) << refused.size();
    const auto checked = update_install::checkDownload(refused, std::nullopt);
    ASSERT_FALSE(checked) << refused.size();
    EXPECT_EQ(checked.error(), Error::InvalidExecutable);
  }
}

TEST(Download, AMachOImageOrAUniversalSliceMustBeForThisProcessor) {
  using platform::isMachOExecutableFor;
  EXPECT_TRUE(isMachOExecutableFor(thinMachO(kArm64), kArm64));
  EXPECT_FALSE(isMachOExecutableFor(thinMachO(kArm64), kX86_64));
  EXPECT_FALSE(isMachOExecutableFor(thinMachO(kArm64).substr(0, 36), kArm64))
      << "load commands cut off";
  for (const bool wide : {false, true}) {
    const std::string both = universal({thinMachO(kX86_64), thinMachO(kArm64)}, wide);
    EXPECT_TRUE(isMachOExecutableFor(both, kArm64));
    EXPECT_TRUE(isMachOExecutableFor(both, kX86_64));
    EXPECT_FALSE(isMachOExecutableFor(universal({thinMachO(kX86_64)}, wide), kArm64));
    EXPECT_FALSE(isMachOExecutableFor(both.substr(0, both.size() - 1), kArm64))
        << "the last slice cut short";
  }
  // A universal entry that names this processor over a slice of another.
  std::string lying = universal({thinMachO(kX86_64)});
  putBig(lying, 8, kArm64, 4);
  EXPECT_FALSE(isMachOExecutableFor(lying, kArm64));
  // A Java class file shares the magic.
  EXPECT_FALSE(isMachOExecutableFor(
      std::string("\xca\xfe\xba\xbe\x00\x00\x00\x34", 8) + std::string(64, '\0'), kArm64));
  std::string thirty_two = thinMachO(kArm64);
  putLittle(thirty_two, 0, 0xfeedface, 4);
  EXPECT_FALSE(isMachOExecutableFor(thirty_two, kArm64));
  std::string library = thinMachO(kArm64);
  putLittle(library, 12, 6, 4);  // MH_DYLIB
  EXPECT_FALSE(isMachOExecutableFor(library, kArm64));
}

TEST(Download, TheChecksumWhenGivenMustMatch) {
  using update_install::checkDownload;
  const std::string native = test_support::readFile(TAVRINE_BINARY);
  const std::string digest = crypto::toHex(crypto::sha256(native));
  EXPECT_TRUE(checkDownload(native, digest));
  std::string other = digest;
  other[0] = other[0] == '0' ? '1' : '0';
  const auto mismatch = checkDownload(native, other);
  ASSERT_FALSE(mismatch);
  EXPECT_EQ(mismatch.error(), Error::ChecksumMismatch);
}

TEST(Download, AnUnusableTmpdirFallsBackToTmp) {
  test_support::TempDir dir;
  test_support::writeFile(dir.file("a-file"), "");
  for (const std::string& tmpdir : {dir.file("missing"), dir.file("a-file")}) {
    SCOPED_TRACE(tmpdir);
    const test_support::ScopedVariable variable("TMPDIR", tmpdir);
    std::string directory;
    {
      const auto outcome =
          update_install::stage("build", "/Applications/tavrine", update_install::thisAgent());
      ASSERT_TRUE(outcome.success) << outcome.message;
      directory = outcome.staged.directory();
      EXPECT_TRUE(directory.starts_with("/tmp/tavrine-update.")) << directory;
      EXPECT_EQ(test_support::readFile(outcome.staged.downloadPath()), "build");
    }
    EXPECT_FALSE(std::filesystem::exists(directory)) << "removed with its owner";
  }
  const test_support::ScopedVariable usable("TMPDIR", dir.path());
  const auto outcome =
      update_install::stage("build", "/Applications/tavrine", update_install::thisAgent());
  ASSERT_TRUE(outcome.success);
  EXPECT_TRUE(outcome.staged.directory().starts_with(dir.path() + "/tavrine-update."));
}

TEST(Download, OnlyThisBuildsLaunchdLabelMakesTheAgentALaunchdJob) {
  // What launchd's own label looks like, what a terminal started by launchd
  // passes on, and nothing.
  const struct {
    std::optional<std::string> value;
    std::string service;
  } cases[] = {
      {TAVRINE_LAUNCHD_LABEL, fmt::format("gui/{}/{}", ::getuid(), TAVRINE_LAUNCHD_LABEL)},
      {"0", ""},
      {"application.com.apple.Terminal.1234", ""},
      {std::string(TAVRINE_LAUNCHD_LABEL) + ".other", ""},
      {std::nullopt, ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.value.value_or("(unset)"));
    const test_support::ScopedVariable variable("XPC_SERVICE_NAME", c.value);
    const auto agent = update_install::thisAgent();
    EXPECT_EQ(agent.agent, ::getpid());
    EXPECT_EQ(agent.launchd_service, c.service);
  }
}

TEST(Download, AnExecutableIsReplaceableOnlyWhereThisProcessMayRenameOverIt) {
  test_support::TempDir dir;
  test_support::writeFile(dir.file("tavrine"), "");
  EXPECT_TRUE(update_install::checkReplaceable(dir.file("tavrine")));
  const auto missing = update_install::checkReplaceable(dir.file("missing/tavrine"));
  ASSERT_FALSE(missing);
  EXPECT_EQ(missing.error(), Error::FileNotFound);
}

// What checkReplaceable() tells another user than the files' owner: asked in
// a child that has become "nobody" (0 for yes, 1 for AccessDenied, 2 for
// anything else).
int replaceableByNobody(const std::string& exe) {
  const pid_t child = ::fork();
  if (child == 0) {
    if (::setgid(65534) != 0 || ::setuid(65534) != 0) ::_exit(3);
    const auto replaceable = update_install::checkReplaceable(exe);
    ::_exit(replaceable ? 0 : replaceable.error() == Error::AccessDenied ? 1 : 2);
  }
  int status = 0;
  ::waitpid(child, &status, 0);
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

TEST(Download, AnotherUsersInstallFolderOrExecutableInAStickyFolderIsNotReplaceable) {
  if (::geteuid() != 0) GTEST_SKIP() << "only root can ask as another user";
  test_support::TempDir dir;
  ASSERT_EQ(::chmod(dir.path().c_str(), 0755), 0);
  for (const char* folder : {"system", "sticky"}) {
    std::filesystem::create_directory(dir.file(folder));
    test_support::writeFile(dir.file(std::string(folder) + "/tavrine"), "");
  }
  ASSERT_EQ(::chmod(dir.file("sticky").c_str(), 01777), 0);
  test_support::writeFile(dir.file("sticky/mine"), "");
  ASSERT_EQ(::chown(dir.file("sticky/mine").c_str(), 65534, 65534), 0);

  EXPECT_EQ(replaceableByNobody(dir.file("system/tavrine")), 1) << "root's 0755 folder";
  EXPECT_EQ(replaceableByNobody(dir.file("sticky/tavrine")), 1) << "root's file, sticky folder";
  EXPECT_EQ(replaceableByNobody(dir.file("sticky/mine")), 0) << "its own file there";
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
