// The update manifest and version texts: any bytes give a value or an error
// (never an exception or a fault), and what a manifest yields is consistent
// with the text it came from.
#include "tavrine/update/updater.h"

#include <fmt/format.h>
#include <nlohmann/json.hpp>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

namespace {

constexpr std::string_view kBase = "http://localhost:3000";

void require(bool condition) {
  if (!condition) std::abort();
}

bool isLowerHex(std::string_view text) {
  return text.size() == 64 && text.find_first_not_of("0123456789abcdef") == std::string_view::npos;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);

  // A version read back from its own numbers reads the same.
  const updater::Version version = updater::parseVersion(text);
  require(updater::parseVersion(
              fmt::format("{}.{}.{}", version.major, version.minor, version.patch)) == version);

  const auto manifest = updater::parseManifest(text, kBase);
  if (!manifest) {
    const Error error = manifest.error();
    require(error == Error::SyntaxError || error == Error::UnexpectedEndOfInput ||
            error == Error::MissingField || error == Error::InvalidResponse ||
            error == Error::NestingTooDeep || error == Error::StreamTooLong ||
            error == Error::OutOfMemory);
    require((error == Error::StreamTooLong) == (text.size() > updater::kManifestLimit));
    // The reader's own errors only for text that is not JSON.
    if (error == Error::SyntaxError || error == Error::UnexpectedEndOfInput) {
      require(!nlohmann::json::accept(text));
    }
    return 0;
  }
  require(nlohmann::json::accept(text));
  require(text.size() <= updater::kManifestLimit);
  require(manifest->current_version == updater::kAgentVersion);
  require(manifest->update_available == (updater::parseVersion(manifest->latest_version) >
                                         updater::parseVersion(updater::kAgentVersion)));
  const std::string& url = manifest->download_url;
  require(!url.starts_with('/'));  // a site-relative URL is always joined
  if (manifest->sha256) require(isLowerHex(*manifest->sha256));
  const std::string offer = updater::offerMessage(manifest->latest_version);
  require(offer.size() <= 256);
  return 0;
}
